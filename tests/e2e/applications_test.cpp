// Several applications on one library, through the public API against the simulated controller:
// what one application does (going away, I/O controls, giving a request up, racing its own
// handle's destroy) never costs another its answer, and nothing of an application is used once
// it is gone. The library's end leaves no thread of its own behind.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <latch>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api_stack.h"
#include "event_log.h"
#include "tags/ndef_image.h"
#include "tags/t2t_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::Fault;
using simtags::T2tTag;

constexpr uint16_t kData = 0x0000, kGetConfig = 0x2003, kGetConfigRsp = 0x4003, kRfDiscover = 0x2103,
                   kRfDeactivate = 0x2106;
constexpr DWORD kPollPeriod = 0x1008, kGetParameter = 0x1300;
constexpr DWORD kWholeRequest = 0xFFFFFFFF;
constexpr uint32_t kShortWait = 4000;      // ms an application here waits for an answer
constexpr auto kCallBound = std::chrono::milliseconds(ApiStack::kBounded + 1000);

Bytes counting(size_t n, uint8_t from) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(from + 7 * k);
    return b;
}

// Another application of the same process, with a callback of its own.
struct OtherApp {
    NfcHandle h = nullptr;
    EventLog log;
    NfcListenerHandle listener = nullptr;

    NfcApiStatus create(DWORD mask) {
        if (NfcApiStatus status = nfcCreate(&log, &EventLog::callback, &h)) return status;
        return mask ? nfcRegisterListener(h, nullptr, mask, nullptr, &listener) : NfcApiStatus{nfcStatusOk};
    }
};

// The stack's application holds a Type 2 tag, detected and connected.
struct TagHeld {
    explicit TagHeld(std::shared_ptr<T2tTag> t, DWORD otherMask = 0) : tag(std::move(t)) {
        if (stack.start() != nfcStatusOk) return;
        nfcSetReaderTimeout(stack.handle(), kShortWait, kWholeRequest);
        if (otherMask && other.create(otherMask) != nfcStatusOk) return;
        listener = stack.listen(TAG_ISO14443A);
        if (!listener || !stack.waitForCommands(kRfDiscover, 1)) return;
        stack.sim().rf().enter(tag);
        TNfcTagInfo info{};
        ready = stack.waitFor(nfcEventTagDetected) && nfcConnectTag(listener, 0) == nfcStatusOk &&
                nfcGetTagInfo(listener, -1, &info) == nfcStatusOk;
    }
    Bytes image() {
        Bytes copy;
        EXPECT_TRUE(stack.sim().call([&](ncisim::Controller&) { copy = tag->memory; }));
        return copy;
    }
    // Runs the call on a thread of its own once the controller has the tag's next data packet to
    // answer, which it holds back meanwhile: the call is under way when this returns.
    std::future<NfcApiStatus> underWay(std::function<NfcApiStatus()> call, uint32_t holdMs) {
        const size_t sent = stack.commands(kData).size();
        stack.sim().setFault(kData, Fault::delayed(holdMs));
        auto f = std::async(std::launch::async, std::move(call));
        EXPECT_TRUE(waitForData(sent + 1)) << stack.sim().describe();
        return f;
    }
    bool waitForData(size_t n) {
        const ncisim::Recorder& r = stack.sim().recorder();
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ApiStack::kBounded);
        for (;;) {
            const size_t seen = r.packets().size();
            if (stack.commands(kData).size() >= n) return true;
            if (std::chrono::steady_clock::now() > until || !r.waitForPackets(seen + 1, ApiStack::kBounded)) return false;
        }
    }

    std::shared_ptr<T2tTag> tag;
    ApiStack stack;
    OtherApp other;
    NfcListenerHandle listener = nullptr;
    bool ready = false;
};

enum class Action { Read, Write, Format };
struct ReleaseCase {
    const char* name;
    Action action;
    DWORD otherMask;        // the same technology as the tag's holder, or another one
};

class ReleaseDuringAnAction : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(ReleaseDuringAnAction, TheActionGetsItsAnswerAndTheTagItsWholeMessage) {
    const ReleaseCase c = GetParam();
    const Bytes message = counting(100, 3);
    auto tag = T2tTag::make(T2tTag::Chip::Ntag144, c.action != Action::Format);
    if (c.action == Action::Read) tag->put(16, simtags::ndefTlv(message));
    TagHeld s(tag, c.otherMask);
    ASSERT_TRUE(s.ready) << s.stack.sim().describe();

    Bytes got(256);
    WORD length = static_cast<WORD>(got.size());
    auto action = s.underWay(
        [&] {
            switch (c.action) {
            case Action::Read: return nfcReadNdefMessage(s.listener, got.data(), &length);
            case Action::Write: return nfcWriteNdefMessage(s.listener, message.data(), static_cast<WORD>(message.size()));
            case Action::Format: return nfcFormatNdef(s.listener, 0);
            }
            return NfcApiStatus{nfcStatusFailed};
        },
        60);
    EXPECT_EQ(nfcDestroy(s.other.h), nfcStatusOk);
    ASSERT_EQ(action.wait_for(kCallBound), std::future_status::ready);
    EXPECT_EQ(action.get(), nfcStatusOk) << s.stack.sim().describe();
    s.stack.sim().setFault(kData, Fault{});

    switch (c.action) {
    case Action::Read:
        got.resize(length);
        EXPECT_EQ(got, message);
        break;
    case Action::Write: {
        const Bytes image = s.image();
        EXPECT_EQ(simtags::ndefMessage(Bytes(image.begin() + 16, image.end())), message);
        break;
    }
    case Action::Format: {
        // A release that changed the listen mask restarted discovery once the format was through.
        if (c.otherMask != TAG_ISO14443A) {
            ASSERT_TRUE(s.stack.waitFor(nfcEventTagDetected, 1)) << s.stack.sim().describe();
            ASSERT_EQ(nfcConnectTag(s.listener, 0), nfcStatusOk);
        }
        TNfcTagInfo info{};
        ASSERT_EQ(nfcGetTagInfo(s.listener, -1, &info), nfcStatusOk);
        EXPECT_EQ(+info.tagType & TAG_NDEF, +TAG_NDEF);
        break;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(SeveralApplications, ReleaseDuringAnAction,
                         ::testing::Values(ReleaseCase{"ReadSameTechnology", Action::Read, TAG_ISO14443A},
                                           ReleaseCase{"ReadOtherTechnology", Action::Read, TAG_14443B},
                                           ReleaseCase{"WriteSameTechnology", Action::Write, TAG_ISO14443A},
                                           ReleaseCase{"WriteOtherTechnology", Action::Write, TAG_14443B},
                                           ReleaseCase{"FormatSameTechnology", Action::Format, TAG_ISO14443A},
                                           ReleaseCase{"FormatOtherTechnology", Action::Format, TAG_14443B}),
                         [](const ::testing::TestParamInfo<ReleaseCase>& info) { return std::string(info.param.name); });

TEST(SeveralApplications, AReleaseThatLeavesTheListenMaskAsItWasLeavesTheTagAndDiscoveryAlone) {
    TagHeld s(T2tTag::make(T2tTag::Chip::Ntag144, true), TAG_ISO14443A);
    ASSERT_TRUE(s.ready) << s.stack.sim().describe();
    const size_t discovers = s.stack.commands(kRfDiscover).size();
    EXPECT_EQ(nfcDestroy(s.other.h), nfcStatusOk);
    EXPECT_EQ(nfcCheckTag(s.listener), nfcStatusOk);
    EXPECT_EQ(s.stack.count(nfcEventTagRemoved), 0u);
    EXPECT_EQ(s.stack.count(nfcEventTagDetected), 1u);
    EXPECT_EQ(s.stack.commands(kRfDiscover).size(), discovers);
    EXPECT_TRUE(s.stack.commands(kRfDeactivate).empty());
}

TEST(SeveralApplications, ACheckIsAnsweredToItsCallerWhileAnotherApplicationMakesIoControls) {
    TagHeld s(T2tTag::make(T2tTag::Chip::Ntag144, true), TAG_14443B);
    ASSERT_TRUE(s.ready) << s.stack.sim().describe();
    auto check = s.underWay([&] { return nfcCheckTag(s.listener); }, 300);
    const Bytes period{0xE8, 0x03};
    for (int n = 0; n < 5; ++n) {
        WORD none = 0;
        EXPECT_EQ(nfcDeviceIoControl(s.other.h, kPollPeriod, period.data(), 2, nullptr, &none), nfcStatusOk);
    }
    ASSERT_EQ(check.wait_for(kCallBound), std::future_status::ready);
    EXPECT_EQ(check.get(), nfcStatusOk) << s.stack.sim().describe();
}

// The application's write waits behind the presence check the poll timer started, which the tag
// is slow to answer; the application gives the write up and frees its message. The library
// neither reads the message afterwards nor writes anything to the tag.
TEST(SeveralApplications, AWriteGivenUpWhileItWaitedNeverReachesTheTagNorReadsTheCallersMessage) {
    TagHeld s(T2tTag::make(T2tTag::Chip::Ntag144, true));
    ASSERT_TRUE(s.ready) << s.stack.sim().describe();
    const Bytes before = s.image();
    const Bytes period{0x64, 0x00};
    WORD none = 0;
    ASSERT_EQ(nfcDeviceIoControl(s.stack.handle(), kPollPeriod, period.data(), 2, nullptr, &none), nfcStatusOk);
    // The next poll period's check is under way and unanswered for a while.
    auto check = s.underWay([] { return NfcApiStatus{nfcStatusOk}; }, 600);
    ASSERT_EQ(check.get(), nfcStatusOk);

    ASSERT_EQ(nfcSetReaderTimeout(s.stack.handle(), 100, kWholeRequest), nfcStatusOk);
    const Bytes message = counting(30, 9);
    auto copy = std::make_unique<uint8_t[]>(message.size());
    std::copy(message.begin(), message.end(), copy.get());
    EXPECT_EQ(nfcWriteNdefMessage(s.listener, copy.get(), static_cast<WORD>(message.size())), nfcStatusTimeout);
    copy.reset();

    s.stack.sim().setFault(kData, Fault{});
    ASSERT_EQ(nfcSetReaderTimeout(s.stack.handle(), kShortWait, kWholeRequest), nfcStatusOk);
    // A check of the application's own comes after everything that waited before it.
    EXPECT_EQ(nfcCheckTag(s.listener), nfcStatusOk) << s.stack.sim().describe();
    EXPECT_EQ(s.image(), before);
}

// Each round, a call of a new application and its destroy run on two threads at once. The call
// answers (with its outcome, or 5 for a handle destroyed under it) and nothing crashes.
TEST(SeveralApplications, ADestroyRacingACallOfItsApplicationOnAnotherThreadLeavesEveryCallAnswered) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), nfcStatusOk);
    ASSERT_NE(stack.listen(TAG_ISO14443A), nullptr);
    const Bytes period{0xE8, 0x03};
    const std::vector<std::function<NfcApiStatus(OtherApp&)>> calls = {
        [](OtherApp& a) { return nfcUnregisterListener(a.listener); },
        [](OtherApp& a) {
            uint8_t buffer[16];
            WORD length = sizeof buffer;
            return nfcReadNdefMessage(a.listener, buffer, &length);
        },
        [](OtherApp& a) { return nfcCheckTag(a.listener); },
        [&](OtherApp& a) {
            WORD none = 0;
            return nfcDeviceIoControl(a.h, kPollPeriod, period.data(), 2, nullptr, &none);
        },
        [](OtherApp& a) {
            NfcListenerHandle second = nullptr;
            return nfcRegisterListener(a.h, nullptr, TAG_14443B, nullptr, &second);
        },
        [](OtherApp& a) { return nfcSetReaderTimeout(a.h, 500, TAG_ISO14443A); },
        [](OtherApp& a) { return nfcDestroy(a.h); },
    };
    for (int round = 0; round < 70; ++round) {
        SCOPED_TRACE(round);
        OtherApp a;
        ASSERT_EQ(a.create(TAG_ISO14443A), nfcStatusOk);
        std::latch go(2);
        auto call = std::async(std::launch::async, [&] {
            go.arrive_and_wait();
            return calls[round % calls.size()](a);
        });
        go.arrive_and_wait();
        const NfcApiStatus destroyed = nfcDestroy(a.h);
        EXPECT_TRUE(destroyed == nfcStatusOk || destroyed == nfcStatusInvalidHandle);
        ASSERT_EQ(call.wait_for(kCallBound), std::future_status::ready);
        EXPECT_NE(call.get(), nfcStatusTimeout);
    }
}

TEST(SeveralApplications, TheLastDoneAnswersACallStillWaitingAndFreesNothingUnderIt) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), nfcStatusOk);
    stack.sim().setFault(kGetConfigRsp, Fault::delayed(1000));
    auto waiting = std::async(std::launch::async, [&] {
        const Bytes ids{0x01, 0x32};
        uint8_t out[32];
        WORD length = sizeof out;
        return nfcDeviceIoControl(stack.handle(), kGetParameter, ids.data(), 2, out, &length);
    });
    ASSERT_TRUE(stack.waitForCommands(kGetConfig, 1)) << stack.sim().describe();
    stack.done();
    ASSERT_EQ(waiting.wait_for(kCallBound), std::future_status::ready);
    EXPECT_EQ(waiting.get(), nfcStatusInvalidHandle);
}

std::multiset<std::string> threadNames() {
    std::multiset<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names.insert(name);
    }
    return names;
}

TEST(SeveralApplications, TheLastDoneEndsEveryThreadTheLibraryStarted) {
    ApiStack stack;
    const std::multiset<std::string> before = threadNames();
    ASSERT_EQ(stack.start(), nfcStatusOk);
    NfcListenerHandle listener = stack.listen(TAG_ISO14443A);
    ASSERT_TRUE(listener && stack.waitForCommands(kRfDiscover, 1)) << stack.sim().describe();
    stack.sim().rf().enter(T2tTag::make(T2tTag::Chip::Ntag144, true));
    ASSERT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
    EXPECT_EQ(nfcCheckTag(listener), nfcStatusOk);
    EXPECT_NE(threadNames(), before);
    stack.done();
    EXPECT_EQ(threadNames(), before);
}

} // namespace
