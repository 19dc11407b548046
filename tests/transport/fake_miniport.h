// An in-process miniport for the chip transport: scripted write results, a log of every write
// call, a gate that holds the worker inside a write, and bytes injected as if read from the bus.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "transport/chiptransport.h"

class FakeMiniport {
public:
    using Bytes = std::vector<uint8_t>;

    // Installs this fake as the set-up of the given candidates while it lives.
    explicit FakeMiniport(std::vector<TChipMiniport> slots = {chipMpAardvarkNdlc}) {
        current() = this;
        for (TChipMiniport slot : slots) setups_.setup[slot] = &FakeMiniport::setup;
        chipSetMiniportSetups(&setups_);
    }
    ~FakeMiniport() {
        chipSetMiniportSetups(nullptr);
        current() = nullptr;
    }
    FakeMiniport(const FakeMiniport&) = delete;
    FakeMiniport& operator=(const FakeMiniport&) = delete;

    // Script, set before the open.
    bool stream = false;          // the bus is a byte stream
    DWORD openStatus = 0;
    DWORD resetStatus = 0;

    // Results of the next write calls; once used up, every write takes the whole frame.
    void scriptWrites(std::vector<int32_t> results) {
        std::lock_guard<std::mutex> g(m_);
        results_.insert(results_.end(), results.begin(), results.end());
    }
    // While closed, a write waits (at most 5 s) before it runs.
    void closeGate() {
        std::lock_guard<std::mutex> g(m_);
        gateOpen_ = false;
    }
    void openGate() {
        std::lock_guard<std::mutex> g(m_);
        gateOpen_ = true;
        cv_.notify_all();
    }
    // Bytes the worker hands up as read from the bus.
    void receive(Bytes bytes) {
        {
            std::lock_guard<std::mutex> g(m_);
            rx_.push_back(std::move(bytes));
        }
        if (record_) chipTriggerWorker(record_);
    }

    // What each write call was given.
    std::vector<Bytes> writes() {
        std::lock_guard<std::mutex> g(m_);
        return writes_;
    }
    bool waitWrites(size_t n, uint32_t timeoutMs = 5000) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return writes_.size() >= n; });
    }
    // True once the worker sits in a write at the closed gate.
    bool waitWriter(uint32_t timeoutMs = 5000) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return waiting_; });
    }
    int opens() const { return opens_; }
    int closes() const { return closes_; }
    int stops() const { return stops_; }
    int resets() const { return resets_; }

private:
    static FakeMiniport*& current() {
        static FakeMiniport* fake = nullptr;
        return fake;
    }
    static FakeMiniport* of(TChipTransport* r) { return static_cast<FakeMiniport*>(r->miniport); }

    static DWORD setup(TChipTransport* r, TMiniportOps* ops) {
        *ops = TMiniportOps{};
        ops->open = &open;
        ops->close = &close;
        ops->write = &write;
        ops->reset = &reset;
        ops->stopThread = &stopThread;
        ops->threadWorker = &worker;
        if (current()->stream) r->flags |= CHIP_BYTE_STREAM;
        return 0;
    }
    static DWORD open(TChipTransport* r, const char*, const char*) {
        FakeMiniport* self = current();
        ++self->opens_;
        if (self->openStatus) return self->openStatus;
        r->miniport = self;
        self->record_ = r;
        return 0;
    }
    static void close(TChipTransport* r) {
        ++of(r)->closes_;
        of(r)->record_ = nullptr;
    }
    static DWORD reset(TChipTransport* r) {
        ++of(r)->resets_;
        return of(r)->resetStatus;
    }
    static void stopThread(TChipTransport* r) {
        ++of(r)->stops_;
        of(r)->openGate();
    }
    static int32_t write(TChipTransport* r, const BYTE* buffer, DWORD length) {
        FakeMiniport* self = of(r);
        std::unique_lock<std::mutex> g(self->m_);
        self->waiting_ = true;
        self->cv_.notify_all();
        self->cv_.wait_for(g, std::chrono::seconds(5), [&] { return self->gateOpen_; });
        self->waiting_ = false;
        if (!r->running) return -1;   // the bus is going away
        self->writes_.emplace_back(buffer, buffer + length);
        self->cv_.notify_all();
        if (self->results_.empty()) return static_cast<int32_t>(length);
        const int32_t result = self->results_.front();
        self->results_.pop_front();
        return result;
    }
    // One pass, as the bus miniports' loops do it: wait to be woken, hand up what was read, send
    // one frame.
    static void worker(TChipTransport* r) {
        r->workerSemaphore.wait(PLAT_INFINITE);
        FakeMiniport* self = of(r);
        std::deque<Bytes> rx;
        {
            std::lock_guard<std::mutex> g(self->m_);
            rx.swap(self->rx_);
        }
        for (Bytes& chunk : rx) chipSignal(r, comeDataReceived, COM_SUCCESS, chunk.data(), static_cast<DWORD>(chunk.size()));
        if (r->running) chipTransmitStep(r);
    }

    TChipMiniportSetups setups_{};
    TChipTransport* record_ = nullptr;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<int32_t> results_;
    std::vector<Bytes> writes_;
    std::deque<Bytes> rx_;
    bool gateOpen_ = true;
    bool waiting_ = false;
    std::atomic<int> opens_{0}, closes_{0}, stops_{0}, resets_{0};
};
