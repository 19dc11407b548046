#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api_harness.h"
#include "core/nfaceapi.h"
#include "event_log.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kWait = 5000;       // ms; a bound that only a broken stack reaches
constexpr uint32_t kShort = 50;        // ms; a time-out that is meant to expire

struct NfaceApiTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        ASSERT_EQ(harness.started(), nfcStatusOk);
        ASSERT_EQ(nfcCreate(&log, &EventLog::callback, &h), nfcStatusOk);
    }
    void TearDown() override { debugSetFlags(0xFFFFFFFFu); }

    // A read whose answer is copied into `room`.
    NfcApiStatus read(std::vector<uint8_t>& room) {
        h->io.transfer = TNfaceTransfer{room.data(), nullptr, 0, 0, static_cast<uint16_t>(room.size())};
        TnfcapiMsg m = nfaceMsgMake<NFACE_READ_REQ>({1, room.data(), 0, static_cast<uint16_t>(room.size())});
        return nfcapiRequest(&m, h);
    }
    static TnfcapiMsg readInd(uint16_t request, const char* text) {
        TnfcapiMsg m = nfaceMsgMake<NFACE_READ_IND>(
            {0, reinterpret_cast<const uint8_t*>(text), static_cast<uint16_t>(std::strlen(text))});
        m.request = request;
        return m;
    }
    FakeNfcManager& fake() { return harness.manager(); }

    TraceCapture cap;
    EventLog log;
    ApiHarness harness;
    NfcHandle h = nullptr;
};

std::string text(const std::vector<uint8_t>& room, size_t n) { return std::string(room.begin(), room.begin() + n); }

} // namespace

TEST_F(NfaceApiTest, RequestGetsItsAnswerWithTheCauseMappedToAStatus) {
    fake().onRequest(NFACE_IO_CONTROL_REQ, [](FakeNfcManager& f, const FakeNfcManager::Request& r) {
        f.answer(r, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({nfcCauseNotImplemented, nullptr, 0}));
    });
    EXPECT_EQ(nfcSetReaderTimeout(h, 500, TAG_ISO14443A), nfcStatusNotImplemented);
    EXPECT_EQ(h->readerTimeouts[READER_DEFAULT], 1500u);
    EXPECT_EQ(h->readerTimeouts[READER_14443B], NFCAPI_REQUEST_TIMEOUT);

    const auto sent = fake().received(NFACE_IO_CONTROL_REQ);
    ASSERT_EQ(sent.size(), 1u);
    const auto io = nfaceMsgGet<NFACE_IO_CONTROL_REQ>(sent[0].message);
    EXPECT_EQ(io.code, uint32_t{NFC_IOCTL_READER_TIMEOUT});
    ASSERT_EQ(io.transfer->writeLength, 8);
    uint32_t input[2];
    std::memcpy(input, io.transfer->writeData, sizeof input);
    EXPECT_EQ(input[0], 500u);
    EXPECT_EQ(input[1], uint32_t{TAG_ISO14443A});

    // The request time-out alone is a setting of the application: nothing is sent.
    EXPECT_EQ(nfcSetReaderTimeout(h, 500, 0xFFFFFFFFu), nfcStatusOk);
    EXPECT_EQ(h->requestTimeout, 500u);
    EXPECT_EQ(fake().received(NFACE_IO_CONTROL_REQ).size(), 1u);
}

TEST_F(NfaceApiTest, TimeoutCancelsTheRequestAndItsLateAnswerChangesNothing) {
    ASSERT_EQ(nfcSetReaderTimeout(h, kShort, 0xFFFFFFFFu), nfcStatusOk);
    std::vector<uint8_t> first(8, 0xAA);
    EXPECT_EQ(read(first), nfcStatusTimeout);
    EXPECT_TRUE(cap.contains("! Timeout waiting for NFACE request result"));

    // The stack is told which request was given up.
    ASSERT_TRUE(fake().waitFor(NFACE_CANCEL_REQ, 1, kWait));
    const uint16_t given = fake().received(NFACE_READ_REQ).at(0).message.request;
    EXPECT_NE(given, 0);
    EXPECT_EQ(fake().received(NFACE_CANCEL_REQ)[0].message.request, given);

    // Its answer comes while nothing waits: dropped, and the buffer of the returned call is untouched.
    fake().inject(0, readInd(given, "late"));
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_TRUE(cap.contains("! ignore command completion, cancelled"));
    EXPECT_EQ(first, std::vector<uint8_t>(8, 0xAA));

    // Nor does it wake the next request, which still waits for its own answer.
    std::vector<uint8_t> second(8, 0xBB);
    EXPECT_EQ(read(second), nfcStatusTimeout);
    EXPECT_EQ(second, std::vector<uint8_t>(8, 0xBB));
}

TEST_F(NfaceApiTest, OnlyTheAnswerOfThePendingRequestEndsIt) {
    ASSERT_EQ(nfcSetReaderTimeout(h, kShort, 0xFFFFFFFFu), nfcStatusOk);
    std::vector<uint8_t> first(8, 0xAA);
    ASSERT_EQ(read(first), nfcStatusTimeout);
    const uint16_t stale = fake().received(NFACE_READ_REQ).at(0).message.request;

    // While the next read waits: the late answer of the first, then a confirmation of another
    // kind, then its own answer.
    fake().onRequest(NFACE_READ_REQ, [stale](FakeNfcManager& f, const FakeNfcManager::Request& r) {
        f.deliver(r.app, readInd(stale, "stale"));
        f.answer(r, nfaceMsgMake<NFACE_WRITE_CONF>({nfcCauseFatal}));
        f.answer(r, readInd(0, "fresh data"));
    });
    ASSERT_EQ(nfcSetReaderTimeout(h, kWait, 0xFFFFFFFFu), nfcStatusOk);
    std::vector<uint8_t> second(4, 0xBB);
    EXPECT_EQ(read(second), nfcStatusOk);
    EXPECT_EQ(h->resultLength, 10);                    // all that came; the room took what fits
    EXPECT_EQ(text(second, 4), "fres");
    EXPECT_EQ(first, std::vector<uint8_t>(8, 0xAA));
    EXPECT_TRUE(cap.contains("cancelled (waiting for request"));
    EXPECT_TRUE(cap.contains("! complete unsolicited command (A031 A042)"));
}

TEST_F(NfaceApiTest, PutMessageRefusesWhatCannotReachTheManager) {
    TnfcapiMsg good = nfaceMsgMake<NFACE_TEST_REQ>();
    TnfcapiMsg tooLong = good;
    tooLong.length = NFACE_MESSAGE_MAX + 1;
    void* const hApp = h->hApp;
    int foreign = 0;
    struct Case {
        void* hApp;
        const TnfcapiMsg* message;
        NfcApiStatus status;
    };
    const Case cases[] = {{nullptr, &good, 2}, {hApp, nullptr, 3}, {&foreign, &good, 2}, {hApp, &tooLong, 3}};
    const uint32_t breaks = debugBreakCount();
    for (const Case& c : cases) EXPECT_EQ(nfacePutMessage(c.hApp, c.message), c.status);
    EXPECT_EQ(debugBreakCount(), breaks + 1);          // the impossible length is an internal failure
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_TRUE(fake().received(NFACE_TEST_REQ).empty());
    EXPECT_EQ(nfacePutMessage(hApp, &good), 0u);
    EXPECT_TRUE(fake().waitFor(NFACE_TEST_REQ, 1, kWait));

    // Once the stack has stopped nothing is posted, whatever the handle.
    ASSERT_EQ(nfcDone(), nfcStatusOk);
    EXPECT_EQ(nfacePutMessage(hApp, &good), 11u);
    EXPECT_TRUE(cap.contains("! nfcapiPutMessage(), OS not ready"));
}

TEST_F(NfaceApiTest, DeviceIndicationGoesToTheFirstListenerWhoseMaskFits) {
    int typeB, felica424, typeA, secure, rf;
    struct Registration {
        void* context;
        DWORD mask;
    };
    const Registration registrations[] = {
        {&typeB, TAG_14443B}, {&felica424, 0x200}, {&typeA, TAG_ISO14443A | TAG_JEWEL_TYPE1}, {&secure, NFC_LISTEN_SECURE_ELEMENT},
        {&rf, NFC_LISTEN_RF_FIELD},
    };
    for (const Registration& r : registrations) {
        NfcListenerHandle l = nullptr;
        ASSERT_EQ(nfcRegisterListener(h, r.context, r.mask, nullptr, &l), nfcStatusOk);
    }
    struct Case {
        DWORD tagType;
        void* expected;        // the listener signalled, empty when none is
    };
    const Case cases[] = {
        {TAG_FELICA_TYPE3, &felica424},                    // a FeliCa tag fits a 424 kbit/s listener
        {TAG_NDEF | TAG_ULTRALIGHT_TYPE2, &typeA},         // NDEF content plays no part
        {TAG_MIFARE_PLUS_4K, &typeA},
        {TAG_14443B, &typeB},
        {CE_SECURE_CE, &secure},
        {TAG_KOVIO_BARCODE, nullptr},
        {TAG_ISO14443A | TAG_14443B, nullptr},             // not one technology
    };
    size_t signalled = 0;
    for (const Case& c : cases) {
        TNfcTagInfo tag{};
        tag.tagType = c.tagType;
        TNfcTagInfo* tags[] = {&tag};
        fake().inject(0, nfaceMsgMake<NFACE_DEVICE_IND>({0, 1, tags}));
        ASSERT_TRUE(fake().sync(kWait));
        const auto events = log.events();
        if (!c.expected) {
            EXPECT_EQ(events.size(), signalled) << std::hex << c.tagType;
            continue;
        }
        ASSERT_EQ(events.size(), ++signalled) << std::hex << c.tagType;
        EXPECT_EQ(events.back().event, DWORD{nfcEventTagDetected});
        EXPECT_EQ(events.back().listenerContext, c.expected) << std::hex << c.tagType;
        EXPECT_EQ(events.back().tagType, c.tagType);
    }
    EXPECT_TRUE(cap.contains("nfcapi: ! No listener found for signaling, ignore indication for mask 0x00000800"));
}

TEST_F(NfaceApiTest, TagFoundBeforeTheListenIsConfirmedReachesTheNewListener) {
    // The manager finds a tag at once and reports it ahead of the listen confirmation, as a quick
    // controller does while the registering thread has not yet run again.
    TNfcTagInfo tag{};
    tag.tagType = TAG_ULTRALIGHT_TYPE2;
    fake().onRequest(NFACE_LISTEN_REQ, [&tag](FakeNfcManager& f, const FakeNfcManager::Request& r) {
        TNfcTagInfo* tags[] = {&tag};
        f.deliver(r.app, nfaceMsgMake<NFACE_DEVICE_IND>({0, 1, tags}));
        f.answer(r, nfaceMsgMake<NFACE_LISTEN_CONF>({0}));
    });
    int reader;
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &reader, TAG_ISO14443A, nullptr, &l), nfcStatusOk);
    const auto events = log.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, DWORD{nfcEventTagDetected});
    EXPECT_EQ(events[0].listenerContext, &reader);
    EXPECT_EQ(events[0].tagType, DWORD{TAG_ULTRALIGHT_TYPE2});
}

TEST_F(NfaceApiTest, IndicationsBecomeTheirEvents) {
    int reader, field;
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &reader, TAG_ISO14443A | CE_HOST_14443A_106, nullptr, &l), nfcStatusOk);
    ASSERT_EQ(nfcRegisterListener(h, &field, NFC_LISTEN_RF_FIELD, nullptr, &l), nfcStatusOk);
    TNfcTagInfo emulated{};
    emulated.tagType = CE_HOST_14443A_106;
    emulated.uidLength = 7;
    TNfcTagInfo* tags[] = {&emulated};
    const uint8_t select[] = {0x00, 0xA4, 0x04, 0x00};

    struct Case {
        TnfcapiMsg message;
        DWORD event;
        void* listenerContext;
        DWORD value;
    };
    const Case cases[] = {
        {nfaceMsgMake<NFACE_DEVICE_IND>({0, 1, tags}), nfcEventTagDetected, &reader, 0},
        {nfaceMsgMake<NFACE_TRANSACTION_IND>({0, select, 0, sizeof select, 0}), nfcEventReaderRequest, &reader, 0},
        {nfaceMsgMake<NFACE_RF_FIELD_IND>({1}), nfcEventFieldActivity, &field, 1},
        {nfaceMsgMake<NFACE_TECH_REMOVE_IND>({0}), nfcEventTagRemoved, &reader, 0},
        {nfaceMsgMake<NFACE_DEVICE_REMOVED_IND>(), nfcEventPnpRemovedIndication, nullptr, 0},
    };
    TNfcTagInfo seen{};
    TNfcReaderRequest request{};
    log.inside = [&](const EventLog::Event& e) {
        if (e.event == nfcEventTagDetected) seen = h->tag;
        if (e.event == nfcEventReaderRequest) request = h->eventParam.readerRequest;
    };
    size_t n = 0;
    for (const Case& c : cases) {
        fake().inject(0, c.message);
        ASSERT_TRUE(log.waitCount(++n, kWait)) << c.event;
        const auto e = log.events().back();
        EXPECT_EQ(e.event, c.event);
        EXPECT_EQ(e.listenerContext, c.listenerContext) << c.event;
        EXPECT_EQ(e.value, c.value) << c.event;
    }
    const WORD uidLength = seen.uidLength, pduLength = request.length;
    const DWORD tagType = h->tag.tagType;
    EXPECT_EQ(uidLength, 0);                           // an emulated card shows no identifier
    EXPECT_EQ(pduLength, sizeof select);
    EXPECT_EQ(tagType, 0u);                            // cleared by the removal
}

TEST_F(NfaceApiTest, CallsThatWouldWaitForTheWorkerAreRefusedInsideTheCallback) {
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, nullptr, TAG_ISO14443A, nullptr, &l), nfcStatusOk);
    std::vector<NfcApiStatus> inside;
    NfcHandle second = h;
    NfcListenerHandle more = l;
    log.inside = [&](const EventLog::Event&) {
        inside.push_back(nfcSetReaderTimeout(h, 500, TAG_ISO14443A));
        inside.push_back(nfcRegisterListener(h, nullptr, TAG_14443B, nullptr, &more));
        inside.push_back(nfcUnregisterListener(l));
        inside.push_back(nfcCreate(&log, &EventLog::callback, &second));
        inside.push_back(nfcDestroy(h));
        inside.push_back(nfcDone());
    };
    TNfcTagInfo tag{};
    tag.tagType = TAG_ISO14443A;
    TNfcTagInfo* tags[] = {&tag};
    fake().inject(0, nfaceMsgMake<NFACE_DEVICE_IND>({0, 1, tags}));
    ASSERT_TRUE(log.waitCount(1, kWait));
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_EQ(inside, (std::vector<NfcApiStatus>(6, nfcStatusWrongState)));
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(more, nullptr);
    EXPECT_EQ(nfcapiState(), NFCAPI_STATE_RUNNING);
    // The same calls work from the application's own thread once the callback has returned.
    EXPECT_EQ(nfcSetReaderTimeout(h, 500, TAG_ISO14443A), nfcStatusOk);
    EXPECT_EQ(nfcUnregisterListener(l), nfcStatusOk);
    EXPECT_EQ(nfcDestroy(h), nfcStatusOk);
}

TEST_F(NfaceApiTest, DestroyedApplicationGetsNoMoreUpcalls) {
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, nullptr, TAG_ISO14443A, nullptr, &l), nfcStatusOk);
    const int app = fake().appOf(h);
    TNfcApiInstance* gone = h;
    ASSERT_EQ(nfcDestroy(h), nfcStatusOk);
    TNfcTagInfo tag{};
    tag.tagType = TAG_ISO14443A;
    TNfcTagInfo* tags[] = {&tag};
    // The manager's entry is gone; a stray upcall with the old instance is dropped.
    fake().later([&](FakeNfcManager&) {
        TnfcapiMsg m = nfaceMsgMake<NFACE_DEVICE_IND>({0, 1, tags});
        nfcapiDeliverUpstream(&m, &nfaceUpcall, gone);
    });
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_GE(app, 0);
    EXPECT_TRUE(log.events().empty());
    EXPECT_TRUE(cap.contains("is not registered, message 0xA014 dropped"));
}
