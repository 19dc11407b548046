// Records the events an application callback receives, and lets a test act inside the callback.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "corvane.h"

class EventLog {
public:
    struct Event {
        DWORD event;
        void* listenerContext;
        DWORD tagType;          // of the tag record of event 1, else 0
        DWORD value;            // the word of event 16, else 0
    };

    // Pass as the callback with the log as its context.
    static DWORD callback(void* context, DWORD event, void* listenerContext, void* record);

    // Runs inside the callback, on the worker thread, after the event is recorded.
    std::function<void(const Event&)> inside;

    bool waitCount(size_t count, uint32_t timeoutMs);
    std::vector<Event> events() const;

private:
    mutable std::mutex m_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};
