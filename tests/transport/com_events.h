// Records what a lower interface reports through its callback, for waits with a time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/comlower.h"

struct ComEvent {
    DWORD event;
    DWORD status;
    BYTE* buffer;
    DWORD length;
    std::thread::id thread;   // the thread that reported it
};

class ComEvents {
public:
    // Runs inside the callback before the event is recorded.
    std::function<void(DWORD event)> onEvent;

    static void callBack(void* context, DWORD event, DWORD status, BYTE* buffer, DWORD length) {
        auto* self = static_cast<ComEvents*>(context);
        if (self->onEvent) self->onEvent(event);
        std::lock_guard<std::mutex> g(self->m_);
        self->events_.push_back({event, status, buffer, length, std::this_thread::get_id()});
        if (event == comeDataReceived) {
            self->received_.insert(self->received_.end(), buffer, buffer + length);
            self->packets_.emplace_back(buffer, buffer + length);
        }
        self->cv_.notify_all();
    }

    // Waits until at least n events of the kind were reported.
    bool waitFor(DWORD event, size_t n = 1, uint32_t timeoutMs = 5000) {
        return waitUntil([&] { return countLocked(event) >= n; }, timeoutMs);
    }
    bool waitReceived(size_t bytes, uint32_t timeoutMs = 5000) {
        return waitUntil([&] { return received_.size() >= bytes; }, timeoutMs);
    }

    std::vector<ComEvent> all() {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }
    std::vector<ComEvent> of(DWORD event) {
        std::vector<ComEvent> out;
        for (const auto& e : all())
            if (e.event == event) out.push_back(e);
        return out;
    }
    size_t count(DWORD event) {
        std::lock_guard<std::mutex> g(m_);
        return countLocked(event);
    }
    std::vector<uint8_t> received() {
        std::lock_guard<std::mutex> g(m_);
        return received_;
    }
    // The bytes of each data event apart.
    std::vector<std::vector<uint8_t>> packets() {
        std::lock_guard<std::mutex> g(m_);
        return packets_;
    }

private:
    size_t countLocked(DWORD event) const {
        size_t n = 0;
        for (const auto& e : events_) n += e.event == event;
        return n;
    }
    template <typename Pred>
    bool waitUntil(Pred pred, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), pred);
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::vector<ComEvent> events_;
    std::vector<uint8_t> received_;
    std::vector<std::vector<uint8_t>> packets_;
};

// Polls a condition that has no event of its own, for at most timeoutMs.
template <typename Pred>
bool eventually(Pred pred, uint32_t timeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}
