#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api_harness.h"
#include "core/nfaceapi.h"
#include "core/nfaceregistry.h"
#include "event_log.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kWait = 5000;

struct NfcApiTest : ::testing::Test {
    void SetUp() override { debugSetFlags(0xFFFFFFFFu); }

    NfcHandle create() {
        NfcHandle h = nullptr;
        EXPECT_EQ(nfcCreate(&log, &EventLog::callback, &h), nfcStatusOk);
        return h;
    }
    std::vector<uint32_t> listenMasks() {
        std::vector<uint32_t> masks;
        for (const auto& r : harness.manager().received(NFACE_LISTEN_REQ))
            masks.push_back(nfaceMsgGet<NFACE_LISTEN_REQ>(r.message).mask);
        return masks;
    }

    TraceCapture cap;
    EventLog log;
    ApiHarness harness;
};

} // namespace

TEST_F(NfcApiTest, FourApplicationsAndAFifthRefused) {
    NfcHandle apps[4];
    for (NfcHandle& h : apps) h = create();
    NfcHandle fifth = reinterpret_cast<NfcHandle>(&log);
    EXPECT_EQ(nfcCreate(&log, &EventLog::callback, &fifth), nfcStatusNoResources);
    EXPECT_EQ(fifth, nullptr);
    EXPECT_TRUE(cap.contains("! no free application slot avail"));

    ASSERT_EQ(nfcDestroy(apps[2]), nfcStatusOk);
    EXPECT_TRUE(cap.contains("nfcapi: app at slot 2 is removed"));
    EXPECT_EQ(nfcCreate(&log, &EventLog::callback, &fifth), nfcStatusOk);
    EXPECT_NE(fifth, nullptr);
}

TEST_F(NfcApiTest, FailedRegistrationLeavesNoApplication) {
    harness.manager().onRequest(NFACE_REGISTER_REQ, [](FakeNfcManager& f, const FakeNfcManager::Request& r) {
        f.deliver(r.app, nfaceMsgMake<NFACE_REGISTER_CONF>({nullptr, nfcCauseNoResources}));
        f.drop(r.app);
    });
    NfcHandle h = reinterpret_cast<NfcHandle>(&log);
    EXPECT_EQ(nfcCreate(&log, &EventLog::callback, &h), nfcStatusStartFailed);
    EXPECT_EQ(h, nullptr);
    harness.manager().onRequest(NFACE_REGISTER_REQ, [](FakeNfcManager& f, const FakeNfcManager::Request& r) {
        f.deliver(r.app, nfaceMsgMake<NFACE_REGISTER_CONF>({nullptr, 0}));
        f.deliver(r.app, nfaceMsgMake<NFACE_ACT_IND>({0, 0, 1, &f.capabilities}));
    });
    NfcHandle apps[4];
    for (NfcHandle& a : apps) a = create();       // the failed one took no slot
}

TEST_F(NfcApiTest, NullForgedAndDestroyedHandlesAnswerInvalidHandle) {
    NfcHandle destroyed = create();
    NfcListenerHandle dropped = nullptr;
    NfcHandle live = create();
    ASSERT_EQ(nfcRegisterListener(live, nullptr, TAG_ISO14443A, nullptr, &dropped), nfcStatusOk);
    ASSERT_EQ(nfcUnregisterListener(dropped), nfcStatusOk);
    ASSERT_EQ(nfcDestroy(destroyed), nfcStatusOk);

    // A forged listener carries the right magic word, and a forged address points nowhere: neither
    // is taken, and nothing is read through the second.
    TNfcListener lookalike{};
    lookalike.magic = NFC_MAGIC_LISTENER;
    lookalike.owner = live;
    const NfcHandle apps[] = {nullptr, reinterpret_cast<NfcHandle>(0x10), destroyed};
    const NfcListenerHandle listeners[] = {nullptr, reinterpret_cast<NfcListenerHandle>(0x10), &lookalike, dropped};
    TNfcCapabilities caps{};
    for (NfcHandle h : apps) {
        NfcListenerHandle l = nullptr;
        EXPECT_EQ(nfcDestroy(h), nfcStatusInvalidHandle);
        EXPECT_EQ(nfcGetCapabilities(h, &caps, sizeof caps), nfcStatusInvalidHandle);
        EXPECT_EQ(nfcSetReaderTimeout(h, 100, 0xFFFFFFFFu), nfcStatusInvalidHandle);
        EXPECT_EQ(nfcRegisterListener(h, nullptr, TAG_ISO14443A, nullptr, &l), nfcStatusInvalidHandle);
    }
    for (NfcListenerHandle l : listeners) EXPECT_EQ(nfcUnregisterListener(l), nfcStatusInvalidHandle);
    EXPECT_TRUE(cap.contains("! invalid handle hNfc, NULL pointer"));
    EXPECT_TRUE(cap.contains("! invalid handle hListen, NULL pointer"));
    EXPECT_TRUE(cap.contains("TAG 0x5453494C  not found (0x0)"));
    EXPECT_EQ(nfcDestroy(live), nfcStatusOk);
}

TEST_F(NfcApiTest, ListenerMasksConflictOnlyWithinOneApplication) {
    NfcHandle first = create();
    NfcHandle second = create();
    NfcListenerHandle a = nullptr, b = nullptr, c = nullptr, none = nullptr;
    ASSERT_EQ(nfcRegisterListener(first, nullptr, 0x1, nullptr, &a), nfcStatusOk);
    EXPECT_EQ(nfcRegisterListener(first, nullptr, 0x41, nullptr, &none), nfcStatusListenMaskConflict);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(cap.contains("listener with given mask 0x00000041 already pending 0x00000001"));
    ASSERT_EQ(nfcRegisterListener(second, nullptr, 0x41, nullptr, &b), nfcStatusOk);
    // A secure-element listener keeps its bit as a flag; the no-reader bit never stays in a listener.
    ASSERT_EQ(nfcRegisterListener(first, nullptr, NFC_LISTEN_SECURE_ELEMENT | NFC_LISTEN_NO_READER | 0x4, nullptr, &c),
              nfcStatusOk);
    EXPECT_EQ(c->mask, 0x4u);
    EXPECT_EQ(c->secureElement, 1);
    // Each change of an application's mask is a listen request with everything it listens for.
    EXPECT_EQ(listenMasks(), (std::vector<uint32_t>{0x1, 0x41, 0x40000005}));

    ASSERT_EQ(nfcUnregisterListener(a), nfcStatusOk);
    EXPECT_TRUE(cap.contains("nfcapi: Remove listener mask 0x1 -> listen mask is now 0x40000004"));
    ASSERT_EQ(nfcUnregisterListener(c), nfcStatusOk);
    EXPECT_EQ(listenMasks(), (std::vector<uint32_t>{0x1, 0x41, 0x40000005, 0x40000004, 0}));
    EXPECT_EQ(first->listenMask, 0u);
}

TEST_F(NfcApiTest, EmptyMaskOnAnEmptyApplicationSendsNothing) {
    NfcHandle h = create();
    NfcListenerHandle l = nullptr;
    EXPECT_EQ(nfcRegisterListener(h, nullptr, 0, nullptr, &l), nfcStatusOk);
    EXPECT_NE(l, nullptr);
    ASSERT_TRUE(harness.manager().sync(kWait));
    EXPECT_TRUE(listenMasks().empty());
    EXPECT_TRUE(cap.contains("nfcapi: Current Listen mask 0x0 not changed"));
}

TEST_F(NfcApiTest, RefusedListenRequestLeavesNoListener) {
    NfcHandle h = create();
    harness.manager().onRequest(NFACE_LISTEN_REQ, [](FakeNfcManager& f, const FakeNfcManager::Request& r) {
        f.answer(r, nfaceMsgMake<NFACE_LISTEN_CONF>({nfcCauseWrongState}));
    });
    NfcListenerHandle l = reinterpret_cast<NfcListenerHandle>(&log);
    EXPECT_EQ(nfcRegisterListener(h, nullptr, TAG_ISO14443A, nullptr, &l), nfcStatusWrongState);
    EXPECT_EQ(l, nullptr);
    EXPECT_EQ(h->listenMask, 0u);
    EXPECT_EQ(h->listeners.count, 0u);
}

TEST_F(NfcApiTest, PeerToPeerIdentifierGetsItsPrefixInTheStacksCopyOnly) {
    NfcHandle h = create();
    TNfcListenParam params{};
    params.p2pFlags = NFC_P2P_NFCID_VALID;
    const uint8_t id[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::memcpy(params.p2pNfcid, id, sizeof id);
    params.p2pNfcidLength = sizeof id;
    const TNfcListenParam before = params;
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, nullptr, P2P_TARGET, &params, &l), nfcStatusOk);
    EXPECT_EQ(std::memcmp(&params, &before, sizeof params), 0);

    const auto sent = nfaceMsgGet<NFACE_LISTEN_REQ>(harness.manager().received(NFACE_LISTEN_REQ).at(0).message);
    ASSERT_NE(sent.params, nullptr);
    const uint8_t expected[] = {0x01, 0xFE, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(sent.params->p2pNfcid, expected, sizeof expected), 0);
    EXPECT_EQ(sent.params->p2pNfcidLength, 10);
    EXPECT_TRUE(cap.contains("nfcapi: Adjusted UID, new length 10"));
}

TEST_F(NfcApiTest, CapabilitiesNeedRoomForTheActiveController) {
    NfcHandle h = create();
    TNfcCapabilities caps{};
    const WORD needed = NFC_CAPABILITIES_SIZE(1);
    EXPECT_EQ(nfcGetCapabilities(h, nullptr, needed), nfcStatusBadParameter);
    EXPECT_EQ(nfcGetCapabilities(h, &caps, needed - 1), nfcStatusBadParameter);
    ASSERT_EQ(nfcGetCapabilities(h, &caps, needed), nfcStatusOk);
    const TNfcCapabilityBlock* block = caps.controller;
    EXPECT_EQ(caps.controllerCount, 1);
    EXPECT_EQ(block, &harness.manager().capabilities);
    EXPECT_TRUE(cap.contains("nfcapi: caps listen supported mask 0xF3FFFF"));
}

TEST_F(NfcApiTest, CallsWhileTheLibraryIsNotInitialisedAnswerAStatus) {
    NfcHandle open = create();
    // The harness initialised the library once: one nfcDone releases the application left open
    // and stops the stack.
    ASSERT_EQ(nfcDone(), nfcStatusOk);
    EXPECT_TRUE(cap.contains("release unclosed application no 0"));
    EXPECT_TRUE(cap.contains("Last client done, internal reinit"));
    EXPECT_EQ(harness.manager().received(NFACE_RELEASE_REQ).size(), 1u);
    ASSERT_EQ(nfcapiState(), NFCAPI_STATE_IDLE);

    NfcHandle h = reinterpret_cast<NfcHandle>(&log);
    EXPECT_EQ(nfcCreate(&log, &EventLog::callback, &h), nfcStatusStartFailed);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(nfcCreate(&log, &EventLog::callback, nullptr), nfcStatusBadParameter);
    EXPECT_EQ(nfcCreateEx(2, &log, &EventLog::callback, &h), nfcStatusBadParameter);
    EXPECT_EQ(nfcDestroy(open), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcDone(), nfcStatusOk);                 // nothing left to stop

    // A new start works as the first one did.
    ASSERT_EQ(nfcInitialize(ApiHarness::kConfiguration), nfcStatusOk);
    NfcHandle again = create();
    EXPECT_NE(again, nullptr);
}

TEST_F(NfcApiTest, InitialiseCountsItsCallsAndOnlyTheLastDoneStopsTheStack) {
    ASSERT_EQ(harness.started(), nfcStatusOk);
    // Each later call takes the trace words of its string all the same.
    EXPECT_EQ(nfcInitialize("READERTYPE=NCI TRACES.NFC=FFFF7FFF"), nfcStatusAlreadyInitialized);
    EXPECT_EQ(debugGetFlags(), 0xFFFF7FFFu);
    for (int count = 3; count <= 15; ++count) EXPECT_EQ(nfcInitialize(ApiHarness::kConfiguration), nfcStatusAlreadyInitialized);
    // The count has no room for a sixteenth call: refused, never wrapped.
    EXPECT_EQ(nfcInitialize(ApiHarness::kConfiguration), nfcStatusNoResources);
    EXPECT_TRUE(cap.contains("nfcInitialize() exit, status=0xC (initCount 15)"));
    for (int count = 15; count > 1; --count) ASSERT_EQ(nfcDone(), nfcStatusOk);
    EXPECT_NE(nfcapiState(), NFCAPI_STATE_IDLE);
    ASSERT_EQ(nfcDone(), nfcStatusOk);
    EXPECT_EQ(nfcapiState(), NFCAPI_STATE_IDLE);
}

TEST(NfcVersion, TextAndApiVersion) {
    DWORD api = 0;
    EXPECT_STREQ(nfcGetVersion(&api), "16.1.153.0");
    EXPECT_EQ(api, 0x20004u);
    EXPECT_STREQ(nfcGetVersion(nullptr), "16.1.153.0");
}
