// Drives the library's millisecond tick by hand while it lives.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"

class ManualClock {
public:
    explicit ManualClock(uint32_t start = 1000) {
        now().store(start);
        previous_ = platSetTickSource(&ManualClock::read);
    }
    ~ManualClock() { platSetTickSource(previous_); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    void advance(uint32_t ms) { now().fetch_add(ms); }
    uint32_t value() const { return now().load(); }

private:
    static std::atomic<uint32_t>& now() {
        static std::atomic<uint32_t> tick{0};
        return tick;
    }
    static uint32_t read() { return now().load(); }
    PlatTickSource previous_;
};
