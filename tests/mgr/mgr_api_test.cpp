// The manager under the real API: an application sees the activation, the tag with its record,
// its removal and the errors as statuses, over a fake layer 1 on the OS worker thread.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "api/nfcapi_modules.h"
#include "core/nfcmgr.h"
#include "corvane.h"
#include "fake_layer1.h"
#include "fake_llcp.h"
#include "fake_taghandler.h"
#include "hw/hw_timer.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kWait = 5000;        // ms; a bound that only a broken stack reaches

// Packed fields are compared through copies.
template <typename T>
T copy(T value) {
    return value;
}

OsResult registerTimer(uint16_t) { return hwTimerRegister(); }

constexpr NfcapiModule kModules[] = {{"hardware timer", &registerTimer},
                                     {"layer 1", &FakeLayer1::registerModules},
                                     {"LLCP", &FakeLlcp::registerModule},
                                     {"NFC manager", &nfcmanRegister}};
constexpr NfcapiServices kServices = {kModules, std::size(kModules), NfcapiComLayer{}, &nfcmanRegisterApplication};

// What the application's callback saw, with copies of the records it was given.
struct Seen {
    DWORD event;
    void* listenerContext;
    TNfcTagInfo tag;
};

class Application {
public:
    static DWORD callback(void* context, DWORD event, void* listenerContext, void* record) {
        auto* self = static_cast<Application*>(context);
        Seen seen{event, listenerContext, {}};
        if (event == nfcEventTagDetected && record) std::memcpy(&seen.tag, record, sizeof seen.tag);
        std::lock_guard<std::mutex> g(self->m_);
        self->seen_.push_back(seen);
        self->changed_.notify_all();
        return 0;
    }
    bool waitCount(size_t n) {
        std::unique_lock<std::mutex> g(m_);
        return changed_.wait_for(g, std::chrono::milliseconds(kWait), [&] { return seen_.size() >= n; });
    }
    std::vector<Seen> seen() const {
        std::lock_guard<std::mutex> g(m_);
        return seen_;
    }

private:
    mutable std::mutex m_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
};

struct MgrApiTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        l1.capabilities.supportedMask = 0x00F3FFFFu;
        l1.capabilities.flags = 0x1000D;
        nfcapiSetServices(&kServices);
    }
    void TearDown() override {
        EXPECT_EQ(nfcDone(), nfcStatusOk);
        nfcapiSetServices(nullptr);
    }

    FakeLayer1 l1;
    FakeLlcp llcp;
    FakeTagHandler th;
    Application app;
};

} // namespace

TEST_F(MgrApiTest, AnApplicationSeesActivationTagRecordRemovalAndErrors) {
    l1.capabilities.flags &= ~NFC_CAP_HCE_WITH_VIRTUAL_SE;
    ASSERT_EQ(nfcInitialize("READERTYPE=NCI"), nfcStatusOk);
    NfcHandle h = nullptr;
    ASSERT_EQ(nfcCreate(&app, &Application::callback, &h), nfcStatusOk);

    // The activation brought the controller's capabilities.
    TNfcCapabilities caps{};
    ASSERT_EQ(nfcGetCapabilities(h, &caps, sizeof caps), nfcStatusOk);
    EXPECT_EQ(copy(caps.controllerCount), 1);
    ASSERT_EQ(copy(caps.controller), &l1.capabilities);
    EXPECT_EQ(copy(caps.controller->supportedMask), 0xD1F3FFFFu);

    int listenerContext = 0;
    NfcListenerHandle listener = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &listenerContext, TAG_ISO14443A, nullptr, &listener), nfcStatusOk);
    ASSERT_TRUE(l1.waitFor(NFCLL_LISTEN_REQ, 1, kWait));
    EXPECT_EQ(l1.listenMasks().back(), uint32_t{TAG_ISO14443A});

    // A tag: the application gets its record as layer 1 reported it, with what the handler found.
    TNfcTagInfo tag{};
    tag.tagType = TAG_ULTRALIGHT_TYPE2;
    const uint8_t uid[] = {0x04, 0x5A, 0x6B, 0x7C, 0x8D, 0x9E, 0xAF};
    std::memcpy(tag.uid, uid, sizeof uid);
    tag.uidLength = sizeof uid;
    tag.a.atqa = 0x0044;
    tag.a.sak = 0x00;
    tag.chipCode = 0x00040003;
    l1.deviceIndication(tag);
    ASSERT_TRUE(app.waitCount(1));
    Seen detected = app.seen()[0];
    EXPECT_EQ(detected.event, DWORD{nfcEventTagDetected});
    EXPECT_EQ(detected.listenerContext, &listenerContext);
    const TNfcTagInfo got = detected.tag;
    EXPECT_EQ(copy(got.tagType), uint32_t{TAG_ULTRALIGHT_TYPE2});
    EXPECT_EQ(copy(got.uidLength), sizeof uid);
    EXPECT_EQ(std::memcmp(got.uid, uid, sizeof uid), 0);
    EXPECT_EQ(copy(got.a.atqa), 0x0044);
    EXPECT_EQ(copy(got.chipCode), 0x00040003u);
    EXPECT_EQ(copy(got.access), NFC_TAG_READABLE | NFC_TAG_WRITABLE);

    // The tag answers a raw PDU and a presence check through the real exports.
    l1.onCommand(NFCLL_TRANSACTION_REQ, [](FakeLayer1& f, const OsMessage& m) {
        const auto pdu = nfcllMsgGet<NFCLL_TRANSACTION_REQ>(m);
        f.transactionIndication(0, pdu.data[0] == 0x30 ? std::vector<uint8_t>(16, 0x5A) : std::vector<uint8_t>{0x90, 0x00});
    });
    l1.onCommand(NFCLL_CHECK_REQ, [](FakeLayer1& f, const OsMessage&) { f.checkConfirmation(0); });
    ASSERT_EQ(nfcConnectTag(listener, 0), nfcStatusOk);
    const BYTE select[] = {0x00, 0xA4, 0x04, 0x00};
    BYTE answer[4] = {};
    WORD answerLength = sizeof answer;
    EXPECT_EQ(nfcExchangePdu(listener, select, sizeof select, answer, &answerLength), nfcStatusOk);
    ASSERT_EQ(answerLength, 2);
    EXPECT_EQ(answer[0], 0x90);
    EXPECT_EQ(nfcCheckTag(listener), nfcStatusOk);
    // An answer beyond the caller's buffer, and a request the tag's state does not take.
    const BYTE read[] = {0x30, 0x04};
    answerLength = sizeof answer;
    EXPECT_EQ(nfcExchangePdu(listener, read, sizeof read, answer, &answerLength), nfcStatusNoResources);
    EXPECT_EQ(answerLength, 0);
    BYTE ndef[16];
    WORD ndefLength = sizeof ndef;
    EXPECT_EQ(nfcReadNdefMessage(listener, ndef, &ndefLength), nfcStatusWrongState);

    // The controller reports the tag gone.
    l1.indicate<NFCLL_TECH_REMOVE_IND>({0});
    ASSERT_TRUE(app.waitCount(2));
    EXPECT_EQ(app.seen()[1].event, DWORD{nfcEventTagRemoved});

    // Errors come back as statuses: a technology the controller lacks, host card emulation
    // while a secure element is in virtual mode.
    NfcListenerHandle other = nullptr;
    EXPECT_EQ(nfcRegisterListener(h, nullptr, 0x08000000u, nullptr, &other), nfcStatusNotImplemented);
    TNfcInfoSE se{};
    se.mode = NFC_SE_MODE_VIRTUAL;
    l1.capabilities.secureElements[0] = &se;
    l1.capabilities.secureElementCount = 1;
    EXPECT_EQ(nfcRegisterListener(h, nullptr, CE_HOST_14443A_106, nullptr, &other), nfcStatusFailed);
    EXPECT_EQ(other, nullptr);

    EXPECT_EQ(nfcUnregisterListener(listener), nfcStatusOk);
    EXPECT_EQ(nfcDestroy(h), nfcStatusOk);
}

TEST_F(MgrApiTest, AFailedActivationFailsTheApplicationsStart) {
    l1.activationCause = nfcCauseAckMissing;
    ASSERT_EQ(nfcInitialize("READERTYPE=NCI"), nfcStatusOk);
    NfcHandle h = nullptr;
    EXPECT_EQ(nfcCreate(&app, &Application::callback, &h), nfcStatusStartFailed);
    EXPECT_EQ(h, nullptr);
}
