// The P2P events an application callback receives, with the words of each record that tests
// look at, and a hook that runs inside the callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "corvane.h"

// The P2P events one callback receives, with the record's words that matter.
struct P2pEvents {
    static constexpr uint32_t kWait = 5000; // ms; only a broken stack reaches it

    struct Event {
        DWORD event;
        void* context;   // the first word
        DWORD cause;
        TP2pConnected connected;
        std::string data;
        BYTE sourceSap;
    };
    static DWORD callback(void* application, DWORD event, void*, void* record) {
        auto* self = static_cast<P2pEvents*>(application);
        const bool p2p = event >= nfcEventConnected && event <= nfcEventConnectIndication;
        const auto* c = p2p ? static_cast<const TP2pConnection*>(record) : nullptr;
        Event e{event, c ? c->context : nullptr, c ? c->cause : 0, c ? c->connected : TP2pConnected{}, {}, 0};
        if (c && event == nfcEventDataIndication) {
            e.data.assign(reinterpret_cast<const char*>(c->data.data), c->data.length);
            e.sourceSap = c->data.sourceSap;
        }
        {
            std::lock_guard<std::mutex> g(self->m);
            self->events.push_back(e);
        }
        self->changed.notify_all();
        if (self->inside) self->inside(e);
        return 0;
    }
    bool waitCount(size_t n) {
        std::unique_lock<std::mutex> g(m);
        return changed.wait_for(g, std::chrono::milliseconds(kWait), [&] { return events.size() >= n; });
    }
    // Waits until n events of the code have come; the last of them.
    bool waitEvent(DWORD code, size_t n, Event* last = nullptr) {
        std::unique_lock<std::mutex> g(m);
        return changed.wait_for(g, std::chrono::milliseconds(kWait), [&] {
            size_t seen = 0;
            for (const Event& e : events)
                if (e.event == code && ++seen == n) {
                    if (last) *last = e;
                    return true;
                }
            return false;
        });
    }
    std::vector<DWORD> codes() {
        std::lock_guard<std::mutex> g(m);
        std::vector<DWORD> out;
        for (const Event& e : events) out.push_back(e.event);
        return out;
    }
    Event at(size_t i) {
        std::lock_guard<std::mutex> g(m);
        return events.at(i);
    }
    std::function<void(const Event&)> inside;
    std::mutex m;
    std::condition_variable changed;
    std::vector<Event> events;
};

