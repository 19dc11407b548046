// A careless or hostile application: every export that takes a handle, a buffer or a length is
// called with empty handles and pointers, a forged handle, zero and maximum lengths and
// codes the library does not know, in each state of the stack. Every call answers within its
// time-out, the stack still finds and reads the next tag, and nfcDone returns (the stack's
// destructor runs it; a worker thread that spins fails the test by its time-out).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <vector>

#include "api_stack.h"
#include "tags/t2t_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::Fault;

constexpr uint16_t kCoreInitRsp = 0x4001, kRfDiscover = 0x2103;
constexpr WORD kMaxLength = 0xFFFF;
constexpr auto kCallBound = std::chrono::milliseconds(ApiStack::kBounded + 1000);

// A handle the library never gave out: memory of the caller's that looks like nothing.
NfcListenerHandle forgedHandle() {
    alignas(16) static uint8_t memory[256];
    std::fill(std::begin(memory), std::end(memory), 0x5A);
    return reinterpret_cast<NfcListenerHandle>(memory);
}

// What a call may use: the live handles of the state, a forged one, and buffers
// as large as any length a caller can name.
struct Caller {
    NfcHandle h = nullptr;
    NfcListenerHandle listener = nullptr;   // the state's listener, or empty
    NfcListenerHandle forged = forgedHandle();   // never given out by the library
    Bytes big = Bytes(kMaxLength, 0x5A);
    Bytes out = Bytes(kMaxLength, 0);
    WORD length = 0;
    DWORD size = 0;
    TNfcTagInfo info{};
    TNfcCapabilities caps{};
    BYTE sap = 0;

    WORD* room(WORD n) {
        length = n;
        return &length;
    }
};

struct Call {
    const char* name;
    std::function<NfcApiStatus(Caller&)> run;
    bool mustFail;   // an empty or stale handle, or a missing pointer the call needs
};

DWORD ignoreEvent(void*, DWORD, void*, void*) { return 0; }

const std::vector<Call>& calls() {
    static const std::vector<Call> table = {
        {"nfcGetCapabilities no handle", [](Caller& c) { return nfcGetCapabilities(nullptr, &c.caps, sizeof c.caps); }, true},
        {"nfcGetCapabilities forged handle", [](Caller& c) { return nfcGetCapabilities(reinterpret_cast<NfcHandle>(c.forged), &c.caps, sizeof c.caps); }, true},
        {"nfcGetCapabilities no record", [](Caller& c) { return nfcGetCapabilities(c.h, nullptr, sizeof c.caps); }, true},
        {"nfcGetCapabilities size 0", [](Caller& c) { return nfcGetCapabilities(c.h, &c.caps, 0); }, true},
        {"nfcCreate no handle pointer", [](Caller&) { return nfcCreate(nullptr, &ignoreEvent, nullptr); }, true},
        {"nfcDestroy no handle", [](Caller&) { return nfcDestroy(nullptr); }, true},
        {"nfcRegisterListener no handle", [](Caller&) {
             NfcListenerHandle out = nullptr;
             return nfcRegisterListener(nullptr, nullptr, TAG_ISO14443A, nullptr, &out);
         }, true},
        {"nfcRegisterListener no out pointer", [](Caller& c) { return nfcRegisterListener(c.h, nullptr, 0xFFFFFFFF, nullptr, nullptr); }, true},
        {"nfcUnregisterListener no handle", [](Caller&) { return nfcUnregisterListener(nullptr); }, true},
        {"nfcUnregisterListener forged", [](Caller& c) { return nfcUnregisterListener(c.forged); }, true},
        {"nfcSetReaderTimeout no handle", [](Caller&) { return nfcSetReaderTimeout(nullptr, 100, 0xFFFFFFFF); }, true},
        {"nfcGetTagInfo no handle", [](Caller& c) { return nfcGetTagInfo(nullptr, 0, &c.info); }, true},
        {"nfcGetTagInfo forged", [](Caller& c) { return nfcGetTagInfo(c.forged, 0, &c.info); }, true},
        {"nfcGetTagInfo no record", [](Caller& c) { return nfcGetTagInfo(c.listener, 0, nullptr); }, true},
        {"nfcGetTagInfo odd flags", [](Caller& c) { return nfcGetTagInfo(c.listener, -1, &c.info); }, false},
        {"nfcConnectTag forged", [](Caller&c) { return nfcConnectTag(c.forged, 0xFFFF); }, true},
        {"nfcDisconnectTag no handle", [](Caller&) { return nfcDisconnectTag(nullptr); }, true},
        {"nfcFormat forged", [](Caller& c) { return nfcFormat(c.forged, 0, 0); }, true},
        {"nfcFormatNdef no handle", [](Caller&) { return nfcFormatNdef(nullptr, 0xFFFFFFFF); }, true},
        {"nfcMakeReadOnly forged", [](Caller& c) { return nfcMakeReadOnly(c.forged); }, true},
        {"nfcSelectTag no data", [](Caller& c) { return nfcSelectTag(c.listener, nullptr, 5); }, true},
        {"nfcSelectTag length 0", [](Caller& c) { return nfcSelectTag(c.listener, c.big.data(), 0); }, false},
        {"nfcSelectTag maximum length", [](Caller& c) { return nfcSelectTag(c.listener, c.big.data(), kMaxLength); }, false},
        {"nfcCheckTag forged", [](Caller& c) { return nfcCheckTag(c.forged); }, true},
        {"nfcExchangePdu no pdu", [](Caller& c) { return nfcExchangePdu(c.listener, nullptr, 2, c.out.data(), c.room(64)); }, true},
        {"nfcExchangePdu length 0", [](Caller& c) { return nfcExchangePdu(c.listener, c.big.data(), 0, c.out.data(), c.room(64)); }, true},
        {"nfcExchangePdu no output", [](Caller& c) { return nfcExchangePdu(c.listener, c.big.data(), 2, nullptr, c.room(64)); }, true},
        {"nfcExchangePdu no output length", [](Caller& c) { return nfcExchangePdu(c.listener, c.big.data(), 2, c.out.data(), nullptr); }, true},
        {"nfcExchangePdu maximum length", [](Caller& c) { return nfcExchangePdu(c.listener, c.big.data(), kMaxLength, c.out.data(), c.room(kMaxLength)); }, false},
        {"nfcExchangePdu forged", [](Caller& c) { return nfcExchangePdu(c.forged, c.big.data(), 2, c.out.data(), c.room(64)); }, true},
        {"nfcTransmitPdu no pdu", [](Caller& c) { return nfcTransmitPdu(c.listener, nullptr, 3); }, true},
        {"nfcTransmitPdu maximum length", [](Caller& c) { return nfcTransmitPdu(c.listener, c.big.data(), kMaxLength); }, false},
        {"nfcWriteNdefMessage no message", [](Caller& c) { return nfcWriteNdefMessage(c.listener, nullptr, 10); }, true},
        {"nfcWriteNdefMessage maximum length", [](Caller& c) { return nfcWriteNdefMessage(c.listener, c.big.data(), kMaxLength); }, false},
        {"nfcReadNdefMessage no buffer", [](Caller& c) { return nfcReadNdefMessage(c.listener, nullptr, c.room(64)); }, true},
        {"nfcReadNdefMessage no length", [](Caller& c) { return nfcReadNdefMessage(c.listener, c.out.data(), nullptr); }, true},
        {"nfcDeviceIoControl no handle", [](Caller& c) { return nfcDeviceIoControl(nullptr, 0x1300, nullptr, 0, c.out.data(), c.room(32)); }, true},
        {"nfcDeviceIoControl forged handle", [](Caller& c) { return nfcDeviceIoControl(reinterpret_cast<NfcHandle>(c.forged), 0x1004, nullptr, 0, c.out.data(), c.room(8)); }, true},
        {"nfcDeviceIoControl get parameter without input", [](Caller& c) { return nfcDeviceIoControl(c.h, 0x1300, nullptr, 0, c.out.data(), c.room(32)); }, true},
        {"nfcDeviceIoControl get parameter no output", [](Caller& c) { return nfcDeviceIoControl(c.h, 0x1300, c.big.data(), 2, nullptr, nullptr); }, false},
        {"nfcDeviceIoControl get parameter maximum input", [](Caller& c) { return nfcDeviceIoControl(c.h, 0x1300, c.big.data(), kMaxLength, c.out.data(), c.room(kMaxLength)); }, false},
        {"nfcDeviceIoControl set parameter no input", [](Caller& c) { return nfcDeviceIoControl(c.h, 0x1203, nullptr, kMaxLength, nullptr, c.room(0)); }, false},
        {"nfcDeviceIoControl echo no output", [](Caller& c) { return nfcDeviceIoControl(c.h, 0x1004, nullptr, 0, nullptr, c.room(8)); }, false},
        {"nfcDeviceIoControl echo maximum input", [](Caller& c) { return nfcDeviceIoControl(c.h, 0x1004, c.big.data(), kMaxLength, c.out.data(), c.room(kMaxLength)); }, false},
        {"nfcDeviceIoControl unknown code", [](Caller& c) { return nfcDeviceIoControl(c.h, 0xDEADBEEF, c.big.data(), 16, c.out.data(), c.room(16)); }, true},
        {"nfcDeviceIoControl reader time-out short", [](Caller& c) { return nfcDeviceIoControl(c.h, NFC_IOCTL_READER_TIMEOUT, c.big.data(), 3, nullptr, c.room(0)); }, true},
        {"nfcSecureGetList no callback", [](Caller& c) { return nfcSecureGetList(c.h, nullptr, nullptr); }, true},
        {"nfcSecureSetMode unknown element", [](Caller& c) { return nfcSecureSetMode(c.h, 0xFFFFFFFF, 0xFFFFFFFF); }, true},
        {"nfcSecureSetBatteryMode no handle", [](Caller&) { return nfcSecureSetBatteryMode(nullptr, 1, 1); }, true},
        {"nfcSecureOpen no out pointer", [](Caller& c) { return nfcSecureOpen(c.h, 1, nullptr); }, true},
        {"nfcSecureClose no handle", [](Caller&) { return nfcSecureClose(nullptr); }, true},
        {"nfcSecureExchangePdu no handle", [](Caller& c) { return nfcSecureExchangePdu(nullptr, c.big.data(), kMaxLength, c.out.data(), c.room(kMaxLength)); }, true},
        {"nfcSecureGetATR no handle", [](Caller&) { return nfcSecureGetATR(nullptr, nullptr, nullptr); }, true},
        {"nfcSecureSetTimeout unknown element", [](Caller& c) { return nfcSecureSetTimeout(c.h, 0xFFFFFFFF, 0xFFFFFFFF); }, true},
        {"nfcSecureAddRoutingEntries no entries", [](Caller& c) { return nfcSecureAddRoutingEntries(c.h, nullptr, 0xFFFFFFFF); }, true},
        {"nfcSecureGetRoutingEntries no size", [](Caller& c) { return nfcSecureGetRoutingEntries(c.h, nullptr, nullptr); }, true},
        {"nfcSecureClearRoutingEntries no handle", [](Caller&) { return nfcSecureClearRoutingEntries(nullptr); }, true},
        {"nfcInitFirmwareDownload no record", [](Caller&) { return nfcInitFirmwareDownload(nullptr, nullptr); }, true},
    };
    return table;
}

// Runs the table; each call must come back within its bound, and the calls that cannot work
// must say so.
void runTable(Caller& caller, const char* state) {
    SCOPED_TRACE(state);
    for (const Call& call : calls()) {
        SCOPED_TRACE(call.name);
        const auto start = std::chrono::steady_clock::now();
        const NfcApiStatus status = call.run(caller);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kCallBound);
        if (call.mustFail) {
            EXPECT_NE(status, nfcStatusOk);
        }
    }
}

size_t readBlock(NfcListenerHandle listener) {
    const Bytes read{0x30, 0x00};
    uint8_t answer[64];
    WORD length = sizeof answer;
    if (nfcExchangePdu(listener, read.data(), static_cast<WORD>(read.size()), answer, &length) != nfcStatusOk) return 0;
    return length;
}

TEST(HostileCaller, EveryExportAnswersInEveryStateAndTheNextTagIsStillRead) {
    ApiStack stack;
    Caller caller;
    ncisim::RfSettings rf;
    rf.removal = ncisim::Removal::LinkLoss;
    stack.sim().rf().configure(rf);
    stack.sim().setFault(kCoreInitRsp, Fault::delayed(300));
    ASSERT_EQ(stack.start(), 0u);
    caller.h = stack.handle();
    runTable(caller, "starting");
    stack.sim().setFault(kCoreInitRsp, Fault{});

    runTable(caller, "idle");

    // A second application listens too; the tag goes to the first.
    caller.listener = stack.listen(TAG_ISO14443A);
    ASSERT_NE(caller.listener, nullptr);
    Caller other;
    ASSERT_EQ(nfcCreate(nullptr, &ignoreEvent, &other.h), nfcStatusOk);
    ASSERT_EQ(nfcRegisterListener(other.h, nullptr, TAG_ISO14443A, nullptr, &other.listener), nfcStatusOk);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1)) << stack.sim().describe();
    runTable(caller, "listening");

    auto tag = std::make_shared<simtags::T2tTag>();
    stack.sim().rf().enter(tag);
    ASSERT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
    runTable(caller, "tag active");

    ASSERT_EQ(nfcConnectTag(caller.listener, 0), nfcStatusOk);
    runTable(caller, "tag connected");

    // The tag's answer is held back while a second application runs the table beside the
    // exchange. (One application's calls come one at a time: they share its request record.)
    stack.sim().setFault(0x0000, Fault::delayed(400));
    auto pending = std::async(std::launch::async, [&] { return readBlock(caller.listener); });
    runTable(other, "during a raw exchange");
    // The maximum-length transmit of the connected state may still be streaming and cost the
    // tag its link: the exchange only has to come back.
    EXPECT_EQ(pending.wait_for(kCallBound), std::future_status::ready);
    stack.sim().setFault(0x0000, Fault{});

    stack.sim().rf().leave(tag);
    ASSERT_TRUE(stack.waitFor(nfcEventTagRemoved)) << stack.sim().describe();
    runTable(caller, "after removal");

    const size_t detected = stack.count(nfcEventTagDetected);
    stack.sim().rf().enter(std::make_shared<simtags::T2tTag>());
    ASSERT_TRUE(stack.waitFor(nfcEventTagDetected, detected)) << stack.sim().describe();
    ASSERT_EQ(nfcConnectTag(caller.listener, 0), nfcStatusOk) << stack.sim().describe();
    EXPECT_EQ(readBlock(caller.listener), 16u) << stack.sim().describe();
    EXPECT_EQ(nfcDestroy(other.h), nfcStatusOk);
}

} // namespace
