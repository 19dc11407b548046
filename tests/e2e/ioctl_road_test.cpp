// Device I/O controls that reach the controller driver while it is busy with something else:
// each one gets one answer, the stack goes on detecting and reading tags, and nfcDone returns
// (the stack's destructor runs it, so a worker thread that spins fails the test by its time-out).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <vector>

#include "api_stack.h"
#include "nci/nci_sim_message.h"
#include "tags/t2t_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::Fault;
using ncisim::NciMessage;

constexpr uint16_t kCoreReset = 0x2000, kCoreInitRsp = 0x4001, kSetConfig = 0x2002, kGetConfig = 0x2003,
                   kGetConfigRsp = 0x4003, kConnCreate = 0x2004, kRfDiscover = 0x2103, kRfDeactivate = 0x2106;
constexpr DWORD kGetParameter = 0x1300, kSetParameter = 0x1203, kEcho = 0x1004;
const Bytes kRead{0x30, 0x00};

NfcListenerHandle detectAndConnect(ApiStack& stack, size_t nth = 0) {
    NfcListenerHandle listener = stack.listen(TAG_ISO14443A);
    if (!listener || !stack.waitForCommands(kRfDiscover, 1)) return nullptr;
    stack.sim().rf().enter(std::make_shared<simtags::T2tTag>());
    if (!stack.waitFor(nfcEventTagDetected, nth) || nfcConnectTag(listener, 0) != nfcStatusOk) return nullptr;
    return listener;
}

size_t readBlock(NfcListenerHandle listener) {
    uint8_t answer[64];
    WORD length = sizeof answer;
    if (nfcExchangePdu(listener, kRead.data(), static_cast<WORD>(kRead.size()), answer, &length) != nfcStatusOk) return 0;
    return length;
}

TEST(IoControlRoad, GetParameterWithoutInputWithATagActiveIsAnsweredOnceAndTheTagStays) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    NfcListenerHandle listener = detectAndConnect(stack);
    ASSERT_NE(listener, nullptr) << stack.sim().describe();
    uint8_t out[32];
    WORD length = sizeof out;
    EXPECT_NE(nfcDeviceIoControl(stack.handle(), kGetParameter, nullptr, 0, out, &length), nfcStatusOk);
    EXPECT_EQ(readBlock(listener), 16u) << stack.sim().describe();
    EXPECT_TRUE(stack.commands(kGetConfig).empty());
    EXPECT_TRUE(stack.commands(kRfDeactivate).empty());
}

TEST(IoControlRoad, GetParameterWithoutInputDuringStartUpIsAnsweredAndTheStackComesUp) {
    ApiStack stack;
    stack.sim().setFault(kCoreInitRsp, Fault::delayed(300));
    ASSERT_EQ(stack.start(), 0u);
    uint8_t out[32];
    WORD length = sizeof out;
    EXPECT_NE(nfcDeviceIoControl(stack.handle(), kGetParameter, nullptr, 0, out, &length), nfcStatusOk);
    const Bytes ids{0x01, 0x32};
    length = sizeof out;
    EXPECT_NE(nfcDeviceIoControl(stack.handle(), kGetParameter, ids.data(), 2, out, &length), nfcStatusOk);
    NfcListenerHandle listener = detectAndConnect(stack);
    ASSERT_NE(listener, nullptr) << stack.sim().describe();
    EXPECT_EQ(readBlock(listener), 16u);
}

TEST(IoControlRoad, GetParameterTimeOutWithATagActiveGivesOneAnswerAndTheTagStaysConnected) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    NfcListenerHandle listener = detectAndConnect(stack);
    ASSERT_NE(listener, nullptr) << stack.sim().describe();
    const Bytes set{0x00, 0x00, 0x00, 0x32, 0x60};
    WORD length = 0;
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), kSetParameter, set.data(), static_cast<WORD>(set.size()), nullptr, &length),
              nfcStatusOk);
    stack.sim().setFault(kGetConfigRsp, Fault::dropped());
    const Bytes ids{0x01, 0x32};
    uint8_t out[32];
    length = sizeof out;
    EXPECT_NE(nfcDeviceIoControl(stack.handle(), kGetParameter, ids.data(), 2, out, &length), nfcStatusOk);
    stack.sim().setFault(kGetConfigRsp, Fault{});
    EXPECT_EQ(readBlock(listener), 16u) << stack.sim().describe();
    EXPECT_EQ(stack.count(nfcEventTagRemoved), 0u);
    EXPECT_TRUE(stack.commands(kRfDeactivate).empty());
    // The controller still answers the next request of the same kind.
    length = sizeof out;
    EXPECT_EQ(nfcDeviceIoControl(stack.handle(), kGetParameter, ids.data(), 2, out, &length), nfcStatusOk);
    EXPECT_EQ(Bytes(out, out + length), (Bytes{0x00, 0x01, 0x32, 0x01, 0x60}));
}

TEST(IoControlRoad, EchoAfterTheControllerResetItselfOpensANewLoopbackConnection) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    uint8_t echo[8] = {};
    WORD length = sizeof echo;
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), kEcho, nullptr, 0, echo, &length), nfcStatusOk) << stack.sim().describe();
    ASSERT_TRUE(stack.sim().call([](ncisim::Controller& ctl) {
        ctl.closeDynamicConnections();
        ctl.respond(ncisim::CORE_RESET_NTF, {0x00, 0x00});
    }));
    ASSERT_TRUE(stack.waitForCommands(kCoreReset, 2)) << stack.sim().describe();
    // The stack starts again; until it is up an echo may be refused, never left unanswered.
    NfcApiStatus status = nfcStatusFailed;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ApiStack::kBounded);
    while (status != nfcStatusOk && std::chrono::steady_clock::now() < until) {
        length = sizeof echo;
        std::fill(std::begin(echo), std::end(echo), 0);
        status = nfcDeviceIoControl(stack.handle(), kEcho, nullptr, 0, echo, &length);
    }
    ASSERT_EQ(status, nfcStatusOk) << stack.sim().describe();
    EXPECT_EQ(Bytes(echo, echo + length), (Bytes{0x06, 0x06, 0x06}));
    EXPECT_EQ(stack.commands(kConnCreate).size(), 2u);
    NfcListenerHandle listener = detectAndConnect(stack);
    ASSERT_NE(listener, nullptr) << stack.sim().describe();
    EXPECT_EQ(readBlock(listener), 16u);
}

TEST(IoControlRoad, TagDataArrivingInSegmentsWhileAnIoControlWaitsNeverAnswerIt) {
    ncisim::NciIdentity identity = ncisim::NciIdentity::generic();
    identity.txDataSegment = 16;
    ApiStack stack(identity);
    ASSERT_EQ(stack.start(), 0u);
    NfcListenerHandle listener = detectAndConnect(stack);
    ASSERT_NE(listener, nullptr) << stack.sim().describe();
    // The controller has stray tag data for the host just before it answers the parameter.
    Bytes stray(200);
    for (size_t k = 0; k < stray.size(); ++k) stray[k] = static_cast<uint8_t>(k);
    stray.back() = 0x00;   // the frame's status: a well-formed answer of the tag
    stack.sim().onCommand(kSetConfig, [stray](ncisim::Controller& ctl, const NciMessage&) {
        ctl.sendData(0, stray);
        ctl.sendData(0, stray);
        ctl.respond(0x4002, {0x00, 0x00});
    });
    const Bytes set{0x00, 0x00, 0x00, 0x32, 0x60};
    Bytes out(256, 0xEE);
    WORD length = static_cast<WORD>(out.size());
    EXPECT_EQ(nfcDeviceIoControl(stack.handle(), kSetParameter, set.data(), static_cast<WORD>(set.size()), out.data(), &length),
              nfcStatusOk);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(readBlock(listener), 16u) << stack.sim().describe();
}

} // namespace
