#include "event_log.h"

#include <chrono>

DWORD EventLog::callback(void* context, DWORD event, void* listenerContext, void* record) {
    auto* log = static_cast<EventLog*>(context);
    Event e{event, listenerContext, 0, 0};
    if (event == nfcEventTagDetected && record) e.tagType = static_cast<TNfcTagInfo*>(record)->tagType;
    if (event == nfcEventFieldActivity && record) e.value = *static_cast<DWORD*>(record);
    {
        std::lock_guard<std::mutex> g(log->m_);
        log->events_.push_back(e);
    }
    if (log->inside) log->inside(e);
    log->changed_.notify_all();
    return 0;
}

bool EventLog::waitCount(size_t count, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_);
    return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return events_.size() >= count; });
}

std::vector<EventLog::Event> EventLog::events() const {
    std::lock_guard<std::mutex> g(m_);
    return events_;
}
