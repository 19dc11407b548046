// A scripted P2P layer for the peer services: it takes the place of the nfcP2P calls, records
// what the services send, and delivers the events a test queues (or its peer script answers
// with) on the test's own thread. A synchronous service call's wait first delivers everything
// queued, then times out at once when nothing released it: no ten-second waits.
// It keeps the rules of the library's P2P layer: a link has no event after its final one (7, 8
// or 9) and its handle is refused from then on (5); a second disconnect or a send while
// disconnecting is refused (11); a listener takes no more connections than it asked for, none
// once it is closing, and ends only after the connections it accepted (as LLCP holds it).
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
        DWORD maxConnections = 0;         // of a listener
        Link* acceptedBy = nullptr;       // the listener of an accepted connection
        bool disconnecting = false;
        bool ended = false;               // its final event was delivered
        bool refused = false;             // a connection its listener could not take
        bool hangupDue = false;           // a listener closed while connections still ran
    };

    FakeP2p();
    ~FakeP2p();

    // What the peer does when a service acts; the defaults answer like a willing peer.
    std::function<void(Link&)> onConnect;            // default: events 6 and 5
    std::function<void(Link&, const Bytes&)> onData; // default: event 10
    std::function<void(Link&)> onDisconnect;         // default: hangup()

    NfcApiStatus connectResult = nfcStatusOk, listenResult = nfcStatusOk, dataResult = nfcStatusOk;
    uint16_t remoteMiu = 128;
    DWORD frameSize = 248;

    // Queues an event for the link; pump() delivers.
    void connected(Link& link);
    void data(Link& link, const Bytes& bytes);
    void transmitted(Link& link);
    void event(Link& link, DWORD event, DWORD cause = 0);
    // A client arrives at the listener: returns the new connection's link, refused (and never
    // announced) when the listener is closing or has as many connections as it takes.
    Link& connectIndication(Link& listener);
    // The end of a disconnection the service asked for: event 9, for a listener once its
    // connections are gone.
    void hangup(Link& link);

    void pump();
    Link* last() { return links_.empty() ? nullptr : links_.back().get(); }
    std::vector<Link*> links() const {
        std::vector<Link*> all;
        for (const auto& link : links_) all.push_back(link.get());
        return all;
    }
    Link* listener();  // the newest that has not ended
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
    int liveConnections(const Link& listener) const;
    void connectionEnded(Link& link);
    std::deque<std::unique_ptr<Link>> links_;
    std::deque<Queued> queue_;
    bool delivering_ = false;
    int timeouts_ = 0;
};
