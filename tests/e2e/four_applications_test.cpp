// Four applications of one process call the library at random for a bounded time, each from a
// thread of its own, while a Type 2 tag comes and goes: they listen and stop listening, read,
// write and check the tag, exchange PDUs, make I/O controls, and three of them go away and come
// back. Every call must come back with its own answer before its time-out: none may time out,
// and what a read returns is a message that was written; the I/O controls the controller answers
// cross the listens the others restart. CORVANE_STRESS_SECONDS sets the length of the run (a few
// seconds by default).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
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
using Clock = std::chrono::steady_clock;
using simtags::T2tTag;

constexpr uint16_t kRfDiscover = 0x2103;
constexpr DWORD kPollPeriod = 0x1008, kSetParameter = 0x1203, kGetParameter = 0x1300;
constexpr uint32_t kRequestTimeout = 3000;      // ms each application waits for an answer
constexpr auto kLate = std::chrono::milliseconds(kRequestTimeout + 500);

uint32_t secondsToRun() {
    const char* text = std::getenv("CORVANE_STRESS_SECONDS");
    const long seconds = text ? std::strtol(text, nullptr, 10) : 0;
    return seconds > 0 ? static_cast<uint32_t>(seconds) : 3;
}

// Every call of the run with its answer; what the applications wrote, for the reads to match.
class Ledger {
public:
    void answer(const std::string& call, NfcApiStatus status, Clock::duration took) {
        std::lock_guard<std::mutex> g(m_);
        ++answers_[call][status];
        ++calls_;
        if (took > kLate) late_.push_back(call);
        answered_.notify_all();
    }
    // Waits until n calls have been answered, at most until the time.
    void waitCalls(size_t n, Clock::time_point until) {
        std::unique_lock<std::mutex> g(m_);
        answered_.wait_until(g, until, [&] { return calls_ >= n; });
    }
    void wrote(const Bytes& message) {
        std::lock_guard<std::mutex> g(m_);
        written_.insert(message);
    }
    bool written(const Bytes& message) const {
        std::lock_guard<std::mutex> g(m_);
        return written_.count(message) != 0;
    }
    size_t count(NfcApiStatus status) const {
        std::lock_guard<std::mutex> g(m_);
        size_t n = 0;
        for (const auto& [call, statuses] : answers_) {
            const auto it = statuses.find(status);
            if (it != statuses.end()) n += it->second;
        }
        return n;
    }
    size_t calls() const {
        std::lock_guard<std::mutex> g(m_);
        return calls_;
    }
    std::vector<std::string> late() const {
        std::lock_guard<std::mutex> g(m_);
        return late_;
    }
    std::string describe() const {
        std::lock_guard<std::mutex> g(m_);
        std::string out;
        for (const auto& [call, statuses] : answers_) {
            out += call + ":";
            for (const auto& [status, times] : statuses) out += " " + std::to_string(status) + "x" + std::to_string(times);
            out += "\n";
        }
        return out;
    }

private:
    mutable std::mutex m_;
    std::condition_variable answered_;
    size_t calls_ = 0;
    std::map<std::string, std::map<NfcApiStatus, size_t>> answers_;
    std::vector<std::string> late_;
    std::set<Bytes> written_;
};

// One application and the thread that drives it.
class Application {
public:
    Application(int id, Ledger& ledger, NfcHandle fixed) : id_(id), ledger_(ledger), random_(1000 + id), h_(fixed),
                                                          fixed_(fixed != nullptr) {}

    void run(Clock::time_point until) {
        while (Clock::now() < until) step();
        for (NfcListenerHandle l : listeners_) call("nfcUnregisterListener", [&] { return nfcUnregisterListener(l); });
        listeners_.clear();
        if (!fixed_ && h_) call("nfcDestroy", [&] { return nfcDestroy(h_); });
    }

private:
    NfcApiStatus call(const std::string& name, const std::function<NfcApiStatus()>& f) {
        const auto start = Clock::now();
        const NfcApiStatus status = f();
        ledger_.answer(name, status, Clock::now() - start);
        return status;
    }

    bool ensureApplication() {
        if (h_) return true;
        if (call("nfcCreate", [&] { return nfcCreate(&log_, &EventLog::callback, &h_); }) != nfcStatusOk) {
            h_ = nullptr;
            return false;
        }
        return call("nfcSetReaderTimeout", [&] { return nfcSetReaderTimeout(h_, kRequestTimeout, 0xFFFFFFFF); }) ==
               nfcStatusOk;
    }

    NfcListenerHandle anyListener() { return listeners_.empty() ? nullptr : listeners_[pick(listeners_.size())]; }
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

    void step() {
        if (!ensureApplication()) return;
        NfcListenerHandle l = anyListener();
        switch (pick(12)) {
        case 0: {
            static constexpr DWORD kMasks[] = {TAG_ISO14443A, TAG_14443B, TAG_ISO14443A | TAG_14443B, TAG_FELICA_TYPE3};
            NfcListenerHandle added = nullptr;
            const DWORD mask = kMasks[pick(std::size(kMasks))];
            if (call("nfcRegisterListener", [&] { return nfcRegisterListener(h_, nullptr, mask, nullptr, &added); }) ==
                nfcStatusOk)
                listeners_.push_back(added);
            break;
        }
        case 1:
            if (!l) break;
            call("nfcUnregisterListener", [&] { return nfcUnregisterListener(l); });
            std::erase(listeners_, l);
            break;
        case 2:
            if (l) call("nfcConnectTag", [&] { return nfcConnectTag(l, 0); });
            break;
        case 3: {
            if (!l) break;
            Bytes got(512);
            WORD length = static_cast<WORD>(got.size());
            if (call("nfcReadNdefMessage", [&] { return nfcReadNdefMessage(l, got.data(), &length); }) != nfcStatusOk) break;
            got.resize(length);
            if (!ledger_.written(got)) ADD_FAILURE() << "application " << id_ << " read a message nobody wrote";
            break;
        }
        case 4: {
            if (!l) break;
            const Bytes message = ownMessage();
            ledger_.wrote(message);
            call("nfcWriteNdefMessage",
                 [&] { return nfcWriteNdefMessage(l, message.data(), static_cast<WORD>(message.size())); });
            break;
        }
        case 5:
            if (l) call("nfcCheckTag", [&] { return nfcCheckTag(l); });
            break;
        case 6: {
            if (!l) break;
            const Bytes read{0x30, 0x04};
            uint8_t out[32];
            WORD length = sizeof out;
            if (call("nfcExchangePdu", [&] { return nfcExchangePdu(l, read.data(), 2, out, &length); }) == nfcStatusOk &&
                length != 16)
                ADD_FAILURE() << "application " << id_ << " got " << length << " bytes for a READ";
            break;
        }
        case 7: {
            const Bytes period{0xE8, 0x03};
            WORD none = 0;
            call("nfcDeviceIoControl poll period",
                 [&] { return nfcDeviceIoControl(h_, kPollPeriod, period.data(), 2, nullptr, &none); });
            break;
        }
        case 8: {
            const Bytes set{0x00, 0x00, 0x00, 0x32, 0x60};
            const Bytes ids{0x01, 0x32};
            uint8_t out[32];
            WORD length = sizeof out, none = 0;
            call("nfcDeviceIoControl set parameter",
                 [&] { return nfcDeviceIoControl(h_, kSetParameter, set.data(), 5, nullptr, &none); });
            call("nfcDeviceIoControl get parameter",
                 [&] { return nfcDeviceIoControl(h_, kGetParameter, ids.data(), 2, out, &length); });
            break;
        }
        case 9: {
            TNfcTagInfo info{};
            if (l) call("nfcGetTagInfo", [&] { return nfcGetTagInfo(l, pick(2) ? -1 : 0, &info); });
            break;
        }
        case 10:
            if (l) call("nfcDisconnectTag", [&] { return nfcDisconnectTag(l); });
            break;
        case 11:
            // Going away now and then, as a reader tool does; its listeners go with it.
            if (fixed_ || pick(4) != 0) break;
            call("nfcDestroy", [&] { return nfcDestroy(h_); });
            h_ = nullptr;
            listeners_.clear();
            break;
        }
    }

    Bytes ownMessage() {
        Bytes m(8 + pick(40));
        m[0] = static_cast<uint8_t>(id_);
        m[1] = static_cast<uint8_t>(++written_);
        for (size_t k = 2; k < m.size(); ++k) m[k] = static_cast<uint8_t>(m[1] + k);
        return m;
    }

    const int id_;
    Ledger& ledger_;
    std::mt19937 random_;
    EventLog log_;
    NfcHandle h_;
    const bool fixed_;
    std::vector<NfcListenerHandle> listeners_;
    uint8_t written_ = 0;
};

TEST(FourApplications, RandomCallsEachGetTheirOwnAnswerInTime) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), nfcStatusOk);
    ASSERT_EQ(nfcSetReaderTimeout(stack.handle(), kRequestTimeout, 0xFFFFFFFF), nfcStatusOk);
    Ledger ledger;
    auto tag = T2tTag::make(T2tTag::Chip::Ntag144, true);
    const Bytes first{0xD1, 0x01, 0x01, 0x54, 0x00};
    ledger.wrote(first);
    ledger.wrote(Bytes{});      // what a write the tag's leaving cut short leaves
    tag->put(16, simtags::ndefTlv(first));
    stack.sim().rf().enter(tag);

    const auto until = Clock::now() + std::chrono::seconds(secondsToRun());
    std::vector<std::unique_ptr<Application>> apps;
    for (int id = 0; id < 4; ++id) apps.push_back(std::make_unique<Application>(id, ledger, id == 0 ? stack.handle() : nullptr));
    std::vector<std::thread> threads;
    for (auto& app : apps) threads.emplace_back([&app, until] { app->run(until); });
    // The tag leaves the field and comes back now and then, as a hand moves it.
    std::mt19937 random(7);
    bool in = true;
    for (size_t calls = 0; Clock::now() < until; in = !in) {
        calls += 50 + random() % 150;
        ledger.waitCalls(calls, until);
        if (in) stack.sim().rf().leave(tag);
        else stack.sim().rf().enter(tag);
    }
    for (std::thread& t : threads) t.join();
    std::cout << ledger.calls() << " calls\n" << ledger.describe();
    EXPECT_EQ(ledger.count(nfcStatusTimeout), 0u) << ledger.describe();
    EXPECT_TRUE(ledger.late().empty()) << ledger.late().front();

    // The stack still finds the tag and reads it for the one application left.
    if (in) stack.sim().rf().leave(tag);
    const size_t seen = stack.count(nfcEventTagDetected);
    NfcListenerHandle listener = stack.listen(TAG_ISO14443A);
    ASSERT_NE(listener, nullptr);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1));
    stack.sim().rf().enter(tag);
    ASSERT_TRUE(stack.waitFor(nfcEventTagDetected, seen)) << stack.sim().describe();
    ASSERT_EQ(nfcConnectTag(listener, 0), nfcStatusOk);
    const Bytes read{0x30, 0x04};
    uint8_t out[32];
    WORD length = sizeof out;
    EXPECT_EQ(nfcExchangePdu(listener, read.data(), 2, out, &length), nfcStatusOk);
    EXPECT_EQ(length, 16);
}

} // namespace
