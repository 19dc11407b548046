#include "fake_p2p.h"

#include <cstring>

FakeP2p* FakeP2p::current_ = nullptr;

struct FakeP2pOps {
    static FakeP2p& f() { return *FakeP2p::current_; }

    static NfcApiStatus connectRequest(NfcListenerHandle, void* context, TNfcEventCallback callback, DWORD window,
                                       DWORD miu, BYTE sap, const char* name, P2pLinkHandle* out) {
        if (f().connectResult != nfcStatusOk) return f().connectResult;
        FakeP2p::Link& link = f().newLink();
        link.callback = callback;
        link.context = context;
        link.window = window;
        link.miu = miu;
        link.sap = sap;
        link.name = name ? name : "";
        *out = FakeP2p::handle(link);
        if (f().onConnect) f().onConnect(link);
        return nfcStatusOk;
    }
    static NfcApiStatus listenRequest(NfcHandle, void* context, TNfcEventCallback callback, DWORD maxConnections,
                                      DWORD window, DWORD miu, BYTE sap, const char* name, P2pLinkHandle* out) {
        if (f().listenResult != nfcStatusOk) return f().listenResult;
        FakeP2p::Link& link = f().newLink();
        link.listener = true;
        link.maxConnections = maxConnections;
        link.callback = callback;
        link.context = link.listenerContext = context;
        link.window = window;
        link.miu = miu;
        link.sap = sap;
        link.name = name ? name : "";
        *out = FakeP2p::handle(link);
        return nfcStatusOk;
    }
    // A handle the library's P2P layer still knows: null and ended links are refused with 5.
    static FakeP2p::Link* known(P2pLinkHandle h) {
        FakeP2p::Link* link = h ? &FakeP2p::of(h) : nullptr;
        return link && !link->ended ? link : nullptr;
    }
    static NfcApiStatus connectResponse(P2pLinkHandle h, void* context, TNfcEventCallback callback) {
        FakeP2p::Link* link = known(h);
        if (!link || link->listener) return nfcStatusInvalidHandle;
        link->context = context;
        link->callback = callback;
        return nfcStatusOk;
    }
    static NfcApiStatus disconnectRequest(P2pLinkHandle h) {
        FakeP2p::Link* link = known(h);
        if (!link) return nfcStatusInvalidHandle;
        if (link->disconnecting) return nfcStatusWrongState;
        link->disconnecting = true;
        ++link->disconnects;
        if (f().onDisconnect) f().onDisconnect(*link);
        return nfcStatusOk;
    }
    static NfcApiStatus dataRequest(P2pLinkHandle h, const BYTE* data, DWORD length) {
        FakeP2p::Link* known = FakeP2pOps::known(h);
        if (!known) return nfcStatusInvalidHandle;
        if (known->listener || known->disconnecting) return nfcStatusWrongState;
        if (f().dataResult != nfcStatusOk) return f().dataResult;
        FakeP2p::Link& link = *known;
        link.sent.emplace_back(data, data + length);
        link.sentFrom.push_back(data);
        if (f().onData) f().onData(link, link.sent.back());
        return nfcStatusOk;
    }
    static NfcApiStatus dataResponse(P2pLinkHandle h) {
        FakeP2p::Link* link = known(h);
        if (!link) return nfcStatusInvalidHandle;
        ++link->dataResponses;
        return nfcStatusOk;
    }
    static DWORD frameSize(NfcHandle) { return f().frameSize; }
    static bool onEventThread() { return f().deliveringEvents(); }
    static PlatWait wait(PlatSemaphore& semaphore, uint32_t) {
        f().pump();
        if (semaphore.wait(0) == PlatWait::Signaled) return PlatWait::Signaled;
        ++f().timeouts_;
        return PlatWait::Timeout;
    }
};

const TP2pOps FakeP2p::kOps = {
    FakeP2pOps::connectRequest, FakeP2pOps::listenRequest, FakeP2pOps::connectResponse,
    FakeP2pOps::disconnectRequest, FakeP2pOps::dataRequest, FakeP2pOps::dataResponse,
    FakeP2pOps::frameSize, FakeP2pOps::onEventThread, FakeP2pOps::wait,
};

FakeP2p::FakeP2p() {
    current_ = this;
    onConnect = [this](Link& link) {
        event(link, nfcEventConnectProceeding);
        connected(link);
    };
    onData = [this](Link& link, const Bytes&) { transmitted(link); };
    onDisconnect = [this](Link& link) { hangup(link); };
    p2pSetOps(&kOps);
}

FakeP2p::~FakeP2p() {
    p2pSetOps(nullptr);
    current_ = nullptr;
}

FakeP2p::Link& FakeP2p::newLink() {
    links_.push_back(std::make_unique<Link>());
    return *links_.back();
}

FakeP2p::Link* FakeP2p::listener() {
    for (auto it = links_.rbegin(); it != links_.rend(); ++it)
        if ((*it)->listener && !(*it)->ended) return it->get();
    return nullptr;
}

void FakeP2p::event(Link& link, DWORD event, DWORD cause) {
    Queued q{&link, event, {}, {}};
    q.record.cause = cause;
    queue_.push_back(std::move(q));
}

void FakeP2p::connected(Link& link) {
    Queued q{&link, nfcEventConnected, {}, {}};
    q.record.connected = {2, remoteMiu, 0x20, 4};
    queue_.push_back(std::move(q));
}

void FakeP2p::transmitted(Link& link) { event(link, nfcEventDataTransmitted); }

void FakeP2p::data(Link& link, const Bytes& bytes) { queue_.push_back({&link, nfcEventDataIndication, {}, bytes}); }

int FakeP2p::liveConnections(const Link& listener) const {
    int n = 0;
    for (const auto& link : links_) n += link->acceptedBy == &listener && !link->ended && !link->refused;
    return n;
}

FakeP2p::Link& FakeP2p::connectIndication(Link& listener) {
    Link& link = newLink();
    link.callback = listener.callback;
    link.context = link.listenerContext = listener.listenerContext;
    link.acceptedBy = &listener;
    if (listener.ended || listener.disconnecting || liveConnections(listener) > static_cast<int>(listener.maxConnections)) {
        link.refused = link.ended = true;  // LLCP answers the peer with DM; the service hears nothing
        return link;
    }
    Queued q{&listener, nfcEventConnectIndication, {}, {}};
    q.record.connected = {2, remoteMiu, 4, 0x20};
    q.record.newConnection = handle(link);
    queue_.push_back(std::move(q));
    return link;
}

void FakeP2p::confirm(Link& link) {
    if (link.confirmed >= link.sent.size()) return;
    const Bytes& sent = link.sent[link.confirmed];
    if (!sent.empty() && std::memcmp(link.sentFrom[link.confirmed], sent.data(), sent.size()) != 0)
        ++link.changedBeforeConfirmed;
    ++link.confirmed;
}

void FakeP2p::hangup(Link& link) {
    if (link.listener && liveConnections(link) > 0) {
        link.hangupDue = true;  // LLCP holds a closing listener until its connections are released
        return;
    }
    event(link, nfcEventHangupTerminated);
}

void FakeP2p::connectionEnded(Link& link) {
    Link* listener = link.acceptedBy;
    if (listener && listener->hangupDue && liveConnections(*listener) == 0) {
        listener->hangupDue = false;
        event(*listener, nfcEventHangupTerminated);
    }
}

void FakeP2p::pump() {
    if (delivering_) return;
    delivering_ = true;
    while (!queue_.empty()) {
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        if (q.link->ended) continue;  // nothing comes after a link's final event
        if (q.event == nfcEventDataIndication && q.link->disconnecting) {
            ++q.link->dataResponses;  // the P2P layer gives a closing link's buffer back itself
            continue;
        }
        const bool final = p2pServiceFinalEvent(q.event);
        if (final) q.link->ended = true;
        if (q.event != nfcEventConnectIndication) q.record.context = q.link->context;
        if (q.event == nfcEventDataIndication) q.record.data = {q.bytes.data(), static_cast<WORD>(q.bytes.size()), 4};
        if (q.event == nfcEventDataTransmitted) confirm(*q.link);
        q.link->callback(nullptr, q.event, q.link->listenerContext, &q.record);
        if (final) connectionEnded(*q.link);
    }
    delivering_ = false;
}
