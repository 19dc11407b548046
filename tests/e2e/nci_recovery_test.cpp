// An application with a listener registered, against a simulated NCI controller that resets by
// itself, reports errors, loses or delays an answer, at any moment: the stack brings the
// controller back and the tag in the field is detected again without any call of the
// application's, and the controller never sees a second command while one is unanswered.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api_stack.h"
#include "secure_support.h"
#include "tags/t2t_tag.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::Controller;
using ncisim::Fault;
using ncisim::NciMessage;

constexpr uint16_t kCoreReset = 0x2000, kRfDiscover = 0x2103, kRfDiscoverRsp = 0x4103, kRfDeactivateRsp = 0x4106;
constexpr uint32_t kBeyondTimeout = 2000;   // ms: longer than the driver waits for an answer

// A second listener with another mask makes the stack restart discovery: the next answer of
// this key is the one that goes wrong.
void onRestart(ApiStack& stack, uint16_t key, Fault fault) {
    fault.times = 1;
    stack.sim().setFault(key, fault);
    ASSERT_NE(stack.listen(TAG_14443B), nullptr);
}

void resetsItself(ApiStack& s) { s.sim().call([](Controller& c) { c.resetByItself(); }); }
void genericError(ApiStack& s) { s.sim().send(NciMessage::control(0x6007, {0xB0})); }
void interfaceError(ApiStack& s) { s.sim().send(NciMessage::control(0x6008, {0xB0, 0x00})); }
void deactivationAnswerLost(ApiStack& s) { onRestart(s, kRfDeactivateRsp, Fault::dropped()); }
void discoveryAnswerLate(ApiStack& s) { onRestart(s, kRfDiscoverRsp, Fault::delayed(kBeyondTimeout)); }
// The tag's next answer on the static RF connection is lost.
void tagAnswerLost(ApiStack& s) {
    Fault lost = Fault::dropped();
    lost.times = 1;
    s.sim().setFault(0x0000, lost);
}

// A fault, where it finds the stack (discovering with no tag, the tag coming after the fault;
// or with the tag detected and left in the field), and whether the controller is reset for it.
struct RecoveryCase {
    const char* name;
    void (*inject)(ApiStack&);
    bool tagPresent;
    bool reset;
};

std::ostream& operator<<(std::ostream& os, const RecoveryCase& c) { return os << c.name; }

const RecoveryCase kCases[] = {
    {"ResetWhileDiscovering", &resetsItself, false, true},
    {"ResetWithATag", &resetsItself, true, true},
    {"GenericErrorWhileDiscovering", &genericError, false, true},
    {"GenericErrorWithATag", &genericError, true, true},
    {"InterfaceErrorWhileDiscovering", &interfaceError, false, false},
    {"InterfaceErrorWithATag", &interfaceError, true, true},
    {"DeactivationAnswerLostWhileDiscovering", &deactivationAnswerLost, false, true},
    {"DiscoveryAnswerLateWhileDiscovering", &discoveryAnswerLate, false, true},
    {"TagAnswerLostWithATag", &tagAnswerLost, true, false},
};

struct Recovery : ::testing::TestWithParam<RecoveryCase> {};

TEST_P(Recovery, TheTagIsDetectedAgainWithoutAnApplicationCall) {
    const RecoveryCase& c = GetParam();
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    ASSERT_NE(stack.listen(TAG_ISO14443A), nullptr);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1)) << stack.sim().describe();
    auto tag = std::make_shared<simtags::T2tTag>();
    size_t detections = 0;
    if (c.tagPresent) {
        stack.sim().rf().enter(tag);
        ASSERT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
        detections = 1;
    }
    c.inject(stack);
    if (c.reset) {
        ASSERT_TRUE(stack.waitForCommands(kCoreReset, 2, 3 * ApiStack::kBounded)) << stack.sim().describe();
    }
    if (!c.tagPresent) stack.sim().rf().enter(tag);
    EXPECT_TRUE(stack.waitFor(nfcEventTagDetected, detections, 3 * ApiStack::kBounded)) << stack.sim().describe();
}

INSTANTIATE_TEST_SUITE_P(FaultsAndStates, Recovery, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Faults that meet a request ---------------------------------------------------------------

// The call's status, and how long it took.
template <typename Call>
std::pair<NfcApiStatus, std::chrono::milliseconds> timed(Call call) {
    const auto start = std::chrono::steady_clock::now();
    const NfcApiStatus status = call();
    return {status, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)};
}

constexpr std::chrono::milliseconds kPrompt{3000};   // far below the API's own time-out

TEST(RecoveryOfARequest, AResetThatAnswersADataExchangeFailsItAndTheTagIsDetectedAgain) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    NfcListenerHandle listener = stack.listen(TAG_ISO14443A);
    ASSERT_NE(listener, nullptr);
    stack.sim().rf().enter(std::make_shared<simtags::T2tTag>());
    ASSERT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
    ASSERT_EQ(nfcConnectTag(listener, 0), nfcStatusOk);
    // The controller answers the next data on the RF connection by resetting itself.
    stack.sim().call([](Controller& c) { c.intercept(0x0000, [](Controller& ctl, const NciMessage&) { ctl.resetByItself(); }); });
    const Bytes read{0x30, 0x04};
    Bytes answer(64);
    WORD length = static_cast<WORD>(answer.size());
    const auto [status, took] =
        timed([&] { return nfcExchangePdu(listener, read.data(), static_cast<WORD>(read.size()), answer.data(), &length); });
    EXPECT_NE(status, nfcStatusOk);
    EXPECT_LT(took, kPrompt);
    EXPECT_TRUE(stack.waitFor(nfcEventTagDetected, 1, 3 * ApiStack::kBounded)) << stack.sim().describe();
}

ncisim::NciIdentity withSecureElement() {
    ncisim::NciIdentity id = ncisim::NciIdentity::generic();
    ncisim::NfceeInfo ese;
    ese.id = 0x10;
    id.nfcees = {ese};
    return id;
}

TEST(RecoveryOfARequest, AnIoControlInFlightAtAResetIsAnsweredAndTheNextOneIsServed) {
    ApiStack stack(withSecureElement());
    ASSERT_EQ(stack.start(), 0u);
    SeList list;
    ASSERT_EQ(nfcSecureGetList(stack.handle(), &list, &SeList::add), nfcStatusOk);
    const NfcSecureHandle ese = list.handleOf(0x10);
    ASSERT_NE(ese, 0u);
    // The controller resets itself instead of answering the mode set.
    stack.sim().call([](Controller& c) { c.intercept(0x2201, [](Controller& ctl, const NciMessage&) { ctl.resetByItself(); }); });
    const auto [status, took] = timed([&] { return nfcSecureSetMode(stack.handle(), ese, 0); });
    EXPECT_NE(status, nfcStatusOk);
    EXPECT_NE(status, nfcStatusTimeout);
    EXPECT_LT(took, kPrompt);
    // Once the controller is back, I/O controls are served again; until then they are refused, never held.
    ASSERT_TRUE(stack.waitForCommands(kCoreReset, 3)) << stack.sim().describe();
    NfcApiStatus again = nfcStatusWrongState;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ApiStack::kBounded);
         again != nfcStatusOk && std::chrono::steady_clock::now() < until;) {
        const auto [next, nextTook] = timed([&] { return nfcSecureSetMode(stack.handle(), ese, 0); });
        EXPECT_NE(next, nfcStatusTimeout);
        EXPECT_LT(nextTook, kPrompt);
        again = next;
    }
    EXPECT_EQ(again, nfcStatusOk) << stack.sim().describe();
}

// A second application whose listener goes with it: its nfcDestroy restarts the listen.
struct SecondApplication {
    static DWORD callback(void*, DWORD, void*, void*) { return 0; }
    NfcHandle handle = nullptr;
};

// Sets the controller's parameter 0x32 through layer 1.
NfcApiStatus setParameter(NfcHandle h) {
    const Bytes set{0x00, 0x00, 0x00, 0x32, 0x60};
    WORD none = 0;
    return nfcDeviceIoControl(h, 0x1203, set.data(), static_cast<WORD>(set.size()), nullptr, &none);
}

TEST(RecoveryOfARequest, AnIoControlWaitingForTheControllerAtAResetIsAnsweredByTheResetAndTheNextOneIsServed) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    ASSERT_NE(stack.listen(TAG_ISO14443A), nullptr);
    // The listen restart another application's listener asks for is held by the controller: the
    // I/O control that follows waits in the driver for the controller, the manager counts it as
    // layer 1's.
    SecondApplication other;
    ASSERT_EQ(nfcCreate(&other, &SecondApplication::callback, &other.handle), nfcStatusOk);
    const size_t discoveries = stack.commands(kRfDiscover).size();
    stack.sim().call([](Controller& c) { c.intercept(kRfDiscover, [](Controller&, const NciMessage&) {}); });
    auto listen = std::async(std::launch::async, [&] {
        NfcListenerHandle otherListener = nullptr;
        return nfcRegisterListener(other.handle, nullptr, TAG_14443B, nullptr, &otherListener);
    });
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, discoveries + 1)) << stack.sim().describe();
    TraceCapture trace;
    debugSetFlags(0xFFFFFFFFu);
    auto read = std::async(std::launch::async, [&] { return timed([&] { return setParameter(stack.handle()); }); });
    bool waiting = false;   // "request 3": an I/O control
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ApiStack::kBounded);
         !waiting && std::chrono::steady_clock::now() < until;
         std::this_thread::yield())
        waiting = trace.contains("request 3 waits");
    debugSetFlags(0);
    ASSERT_TRUE(waiting);
    // The manager's reset that follows the controller's undoes whatever the controller would still
    // do for the I/O control: the reset answers it, at once, and never with success.
    stack.sim().call([](Controller& c) { c.resetByItself(); });
    const auto [status, took] = read.get();
    EXPECT_NE(status, nfcStatusOk);
    EXPECT_NE(status, nfcStatusTimeout);
    EXPECT_LT(took, kPrompt);
    EXPECT_NE(listen.get(), nfcStatusTimeout);
    // Once the controller is back the next one is served; until then they are refused, never held.
    NfcApiStatus again = nfcStatusWrongState;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ApiStack::kBounded);
         again != nfcStatusOk && std::chrono::steady_clock::now() < until;) {
        const auto [next, nextTook] = timed([&] { return setParameter(stack.handle()); });
        EXPECT_NE(next, nfcStatusTimeout);
        EXPECT_LT(nextTook, kPrompt);
        again = next;
    }
    EXPECT_EQ(again, nfcStatusOk) << stack.sim().describe();
    stack.sim().rf().enter(std::make_shared<simtags::T2tTag>());
    EXPECT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
}

struct RoutingReadCase {
    const char* name;
    Fault fault;   // on the answer to the read
};

std::ostream& operator<<(std::ostream& os, const RoutingReadCase& c) { return os << c.name; }

struct RoutingReadCrossed : ::testing::TestWithParam<RoutingReadCase> {};

TEST_P(RoutingReadCrossed, ByAListenRestartBothAreServedAndTagsAreDetectedAfterwards) {
    ApiStack stack(withSecureElement());
    ASSERT_EQ(stack.start(), 0u);
    ASSERT_NE(stack.listen(TAG_ISO14443A), nullptr);
    SecondApplication other;
    ASSERT_EQ(nfcCreate(&other, &SecondApplication::callback, &other.handle), nfcStatusOk);
    NfcListenerHandle otherListener = nullptr;
    ASSERT_EQ(nfcRegisterListener(other.handle, nullptr, TAG_14443B, nullptr, &otherListener), nfcStatusOk);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 2)) << stack.sim().describe();

    Fault fault = GetParam().fault;
    fault.times = 1;
    stack.sim().setFault(0x4102, fault);
    auto read = std::async(std::launch::async, [&] {
        TNfcRoutingEntry entries[8]{};
        DWORD size = sizeof entries;
        return nfcSecureGetRoutingEntries(stack.handle(), entries, &size);
    });
    ASSERT_TRUE(stack.waitForCommands(0x2102, 1)) << stack.sim().describe();
    const auto [destroyed, took] = timed([&] { return nfcDestroy(other.handle); });
    EXPECT_EQ(destroyed, nfcStatusOk);
    EXPECT_LT(took, kPrompt);
    EXPECT_NE(read.get(), nfcStatusTimeout);

    stack.sim().rf().enter(std::make_shared<simtags::T2tTag>());
    EXPECT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
    NfcListenerHandle more = nullptr;
    EXPECT_EQ(nfcRegisterListener(stack.handle(), nullptr, TAG_15693, nullptr, &more), nfcStatusOk);
}

const RoutingReadCase kRoutingReads[] = {
    {"AnswerHeld", Fault::delayed(600)},
    {"AnswerLost", Fault::dropped()},
};

INSTANTIATE_TEST_SUITE_P(ControllerReactions, RoutingReadCrossed, ::testing::ValuesIn(kRoutingReads),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
