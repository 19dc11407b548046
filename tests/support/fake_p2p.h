// A scripted P2P layer for the peer services: it takes the place of the nfcP2P calls, records
// what the services send, and delivers the events a test queues (or its peer script answers
// with) on the test's own thread. A synchronous service call's wait first delivers everything
// queued, then times out at once when nothing released it: no ten-second waits.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "corvane.h"
#include "p2p/p2pops.h"

class FakeP2p {
public:
    using Bytes = std::vector<uint8_t>;

    struct Link {
        TNfcEventCallback callback = nullptr;
        void* context = nullptr;          // first word of its events
        void* listenerContext = nullptr;  // third argument of its callback
        bool listener = false;
        DWORD miu = 0, window = 0;
        BYTE sap = 0;
        std::string name;
        std::vector<Bytes> sent;          // every data request, as sent
        // Where each request was sent from: the caller's buffer must still hold it when the
        // send is confirmed, as LLCP sends from there (a freed one trips AddressSanitizer).
        std::vector<const BYTE*> sentFrom;
        size_t confirmed = 0;
        int changedBeforeConfirmed = 0;
        int dataResponses = 0;
        int disconnects = 0;
    };

    FakeP2p();
    ~FakeP2p();

    // What the peer does when a service acts; the defaults answer like a willing peer.
    std::function<void(Link&)> onConnect;            // default: events 6 and 5
    std::function<void(Link&, const Bytes&)> onData; // default: event 10
    std::function<void(Link&)> onDisconnect;         // default: event 9 (connection) or 9 (listener)

    NfcApiStatus connectResult = nfcStatusOk, listenResult = nfcStatusOk, dataResult = nfcStatusOk;
    uint16_t remoteMiu = 128;
    DWORD frameSize = 248;

    // Queues an event for the link; pump() delivers.
    void connected(Link& link);
    void data(Link& link, const Bytes& bytes);
    void transmitted(Link& link);
    void event(Link& link, DWORD event, DWORD cause = 0);
    // A client arrives at the listener: returns the new connection's link.
    Link& connectIndication(Link& listener);

    void pump();
    Link* last() { return links_.empty() ? nullptr : links_.back().get(); }
    Link* listener();
    int timeouts() const { return timeouts_; }
    bool deliveringEvents() const { return delivering_; }

    static Link& of(P2pLinkHandle handle) { return *reinterpret_cast<Link*>(handle); }
    static P2pLinkHandle handle(Link& link) { return reinterpret_cast<P2pLinkHandle>(&link); }

private:
    struct Queued {
        Link* link;
        DWORD event;
        TP2pConnection record;
        Bytes bytes;
    };
    static FakeP2p* current_;
    static const TP2pOps kOps;
    friend struct FakeP2pOps;

    Link& newLink();
    void confirm(Link& link);
    std::deque<std::unique_ptr<Link>> links_;
    std::deque<Queued> queue_;
    bool delivering_ = false;
    int timeouts_ = 0;
};
