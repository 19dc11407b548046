// Connection handover over LLCP: a client sends a Handover Request and takes the Select, a
// server hands each Request to the application and sends its Select back.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "p2p/p2pserver.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kClientMagic = 0x40C71E47u;
constexpr DWORD kWindow = 1;
constexpr const char* kServiceName = "urn:nfc:sn:handover";
constexpr DWORD kMinMiu = 128, kMaxMiu = 2048;

enum ServerState : int { HO_IDLE = 0, HO_LISTENING = 1, HO_CONNECTED = 2, HO_REQUEST = 3 };

// The capabilities' frame size, kept inside what a P2P link accepts.
DWORD serviceMiu(NfcHandle hNfc) { return std::clamp(p2pOps().llcpFrameSize(hNfc), kMinMiu, kMaxMiu); }

}  // namespace

struct THandoverClient : TP2pService {
    void* context = nullptr;
    BYTE* response = nullptr;
    WORD capacity = 0;
    THandoverCallback callback = nullptr;
    NfcApiStatus status = nfcStatusFailed;
    bool asynchronous = false;
    // The request of a synchronous exchange: LLCP sends it from here, and the record, unlike the
    // caller's buffer, lasts until the link's final event.
    std::vector<BYTE> request;
};

namespace {

CP2pServer* gServer = nullptr;  // the current server, under CP2pServer::lock()

DWORD serverCallback(void* app, DWORD event, void* listenerContext, void* record);

}  // namespace

struct THandoverServer : CP2pServer {
    THandoverServer(THandoverCallback cb, void* ctx) : CP2pServer(gServer, serverCallback, "ho: "), context(ctx), callback(cb) {}
    void* context = nullptr;
    THandoverCallback callback = nullptr;
    int state = HO_IDLE;
    uint32_t fragment = 0;
    // The Select being sent: LLCP sends it from here until it is transmitted, whatever the
    // caller does with its own buffer once the call returned.
    std::vector<BYTE> select;
    bool selecting = false;  // a Select is on its way: the one answer to the request

    void onClientConnected(const TP2pConnected& connected) override;
    void onData(const TP2pData& data) override;
    void onTransmitted(DWORD cause) override;
    void onClientGone() override;
    void onStopping(bool) override {}
    void onEnded() override;
};

namespace {

void freeClient(THandoverClient* c) {
    c->magic = P2P_MAGIC_FREED;
    delete c;
}

void clientNotify(THandoverClient* c, DWORD event, BYTE* data, DWORD length) {
    if (c->asynchronous && c->callback) c->callback(c->context, event, data, length);
}

void clientEvent(THandoverClient* c, DWORD event, TP2pConnection* record) {
    switch (event) {
    case nfcEventConnected:
        c->status = nfcStatusOk;
        clientNotify(c, handoverEventConnected, nullptr, 0);
        p2pServiceSignal(*c);
        break;
    case nfcEventConnectProceeding:
        break;
    case nfcEventDataTransmitted:
        clientNotify(c, handoverEventRequestSent, nullptr, 0);
        break;
    case nfcEventDataIndication: {
        const TP2pData& data = record->data;
        const bool fits = data.length <= c->capacity;
        if (fits) {
            if (data.length && c->response) std::memcpy(c->response, data.data, data.length);
            c->capacity = data.length;
            c->status = nfcStatusOk;
        }
        clientNotify(c, handoverEventSelectReceived, data.data, data.length);
        p2pOps().dataResponse(c->connection);
        if (fits) p2pServiceSignal(*c);  // last: the waiter goes on with the record
        break;
    }
    case nfcEventConnectFailed:
    case nfcEventDisconnected:
    case nfcEventHangupTerminated:
        c->ended.store(true, std::memory_order_release);
        if (c->status == nfcStatusOk && event == nfcEventConnectFailed) c->status = nfcStatusFailed;
        clientNotify(c, handoverEventFailed, nullptr, 0);
        p2pServiceSignal(*c);
        break;
    default:
        TRACE(TRC_ERROR, "Handover client: ! Unexpected event %#x, ignoring", event);
    }
}

DWORD clientCallback(void*, DWORD event, void*, void* record) {
    if (event < nfcEventConnected || event > nfcEventConnectIndication) {
        TRACE(TRC_ERROR, "Handover: ! Unexpected event %d in hoGetClientHandleFromEvent()", event);
        return 0;
    }
    auto* connection = static_cast<TP2pConnection*>(record);
    auto* c = connection ? static_cast<THandoverClient*>(connection->context) : nullptr;
    if (!c || c->magic != kClientMagic) {
        TRACE(TRC_ERROR, "Handover client: ! No context, ignoring event\n");
        return 0;
    }
    TRACE(TRC_API, "Handover client: Received event %#x", event);
    const bool final = p2pServiceFinalEvent(event);
    if (!c->dead.load(std::memory_order_acquire)) clientEvent(c, event, connection);
    else if (event == nfcEventDataIndication) p2pOps().dataResponse(c->connection);
    if (final && p2pServiceDrop(*c)) freeClient(c);
    return 0;
}

// Ends a client: a link that still names it is disconnected and frees it on its final event.
void releaseClient(THandoverClient* c) {
    TRACE(TRC_API, "Handover client: release");
    if (p2pServiceGiveUp(*c)) freeClient(c);
}

NfcApiStatus connectClient(NfcListenerHandle hListen, NfcHandle hNfc, THandoverClient*& out, void* context,
                           THandoverCallback callback, bool asynchronous) {
    TRACE(TRC_API, "Handover client: CONNECT request");
    out = nullptr;
    auto* c = new (std::nothrow) THandoverClient;
    if (!c) return nfcStatusFailed;
    c->magic = kClientMagic;
    c->context = context;
    c->callback = callback;
    c->asynchronous = asynchronous;
    c->semaphore.create(0, 1);
    if (p2pOps().connectRequest(hListen, c, clientCallback, kWindow, serviceMiu(hNfc), 0, kServiceName,
                                &c->connection) != nfcStatusOk) {
        TRACE(TRC_ERROR, "Handover client: No connection established");
        freeClient(c);
        return nfcStatusFailed;
    }
    out = c;
    if (asynchronous) {
        p2pServiceDrop(*c);  // nothing releases an asynchronous client but the end of its link
        return nfcStatusPending;
    }
    if (p2pServiceWait(*c) != PlatWait::Signaled || c->status != nfcStatusOk) {
        TRACE(TRC_ERROR, "Handover client: Timeout connecting to server");
        releaseClient(c);
        out = nullptr;
        return nfcStatusFailed;
    }
    return nfcStatusOk;
}

void serverNotify(THandoverServer* s, DWORD event, BYTE* data, DWORD length) {
    if (s->callback && s->calling()) s->callback(s->context, event, data, length);
}

DWORD serverCallback(void*, DWORD event, void* listenerContext, void* record) {
    TRACE(TRC_API, "ho: Received NFace+spa event %#x", event);
    return THandoverServer::deliver("ho: ", gServer, event, listenerContext, record);
}

}  // namespace

void THandoverServer::onClientConnected(const TP2pConnected& connected) {
    state = HO_CONNECTED;
    fragment = connected.remoteMiu;
    serverNotify(this, handoverEventClientConnected, nullptr, 0);
}

// The request is handed over (or refused) and its receive buffer goes back to LLCP.
void THandoverServer::onData(const TP2pData& data) {
    if (state != HO_CONNECTED) {
        TRACE(TRC_ERROR, "! ho: Data indication in wrong state %d", state);
        return;
    }
    state = HO_REQUEST;
    serverNotify(this, handoverEventRequestReceived, data.data, data.length);
}

void THandoverServer::onTransmitted(DWORD cause) {
    selecting = false;
    if (cause) return;  // not sent: the connection is ending
    serverNotify(this, handoverEventSelectSent, nullptr, 0);
    if (state == HO_REQUEST) state = HO_CONNECTED;
    else TRACE(TRC_ERROR, "ho: ! Data transmitted in wrong state %d", state);
}

void THandoverServer::onClientGone() {
    state = HO_LISTENING;
    selecting = false;
    serverNotify(this, handoverEventClientDisconnected, nullptr, 0);
}

void THandoverServer::onEnded() {
    TRACE(TRC_API, "ho: %s %p", "hoServerReleaseResources", static_cast<void*>(this));
    state = HO_IDLE;
    if (callback) callback(context, handoverEventServerEnded, nullptr, 0);
}

CORVANE_API NfcApiStatus handoverConnect(NfcListenerHandle hListen, NfcHandle hNfc, HandoverClientHandle* hClient,
                                         void* context, THandoverCallback callback, BOOL asynchronous) {
    if (!hClient) return nfcStatusFailed;
    *hClient = nullptr;
    if (!asynchronous && p2pOps().onEventThread()) return nfcStatusWrongState;
    THandoverClient* c = nullptr;
    const NfcApiStatus status = connectClient(hListen, hNfc, c, context, callback, asynchronous != 0);
    // No call releases a client: like an asynchronous one, a connected client goes with the end of
    // its link.
    if (status == nfcStatusOk) p2pServiceDrop(*c);
    *hClient = c;
    return status;
}

CORVANE_API NfcApiStatus handoverSendRequest(NfcListenerHandle hListen, NfcHandle hNfc, const BYTE* request,
                                             DWORD length, BYTE* response, WORD* responseLength) {
    TRACE(TRC_API, "handoverSendRequest(), hApp %p, pRequest %p len %d", static_cast<void*>(hNfc),
          static_cast<const void*>(request), length);
    if (!request || !responseLength) return nfcStatusFailed;
    if (p2pOps().onEventThread()) return nfcStatusWrongState;
    THandoverClient* c = nullptr;
    if (connectClient(hListen, hNfc, c, nullptr, nullptr, false) != nfcStatusOk) return nfcStatusFailed;
    c->response = response;
    c->capacity = response ? *responseLength : 0;
    c->status = nfcStatusFailed;
    NfcApiStatus status = nfcStatusFailed;
    try {
        c->request.assign(request, request + length);
        status = p2pOps().dataRequest(c->connection, c->request.data(), length);
    } catch (const std::bad_alloc&) {
        TRACE(TRC_ERROR, "Handover client: ! No memory for the request of %u bytes", length);
    }
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "Handover client: ! nfcP2PDataRequest failed with status %d", status);
        status = nfcStatusFailed;
    } else if (p2pServiceWait(*c) != PlatWait::Signaled) {
        TRACE(TRC_ERROR, "Handover client: ! Timeout transmitting data");
        status = nfcStatusFailed;
    } else {
        status = c->status;
        if (status == nfcStatusOk) *responseLength = c->capacity;
    }
    // The Select (or its absence) is settled: a late one no longer reaches the caller's buffer.
    c->response = nullptr;
    c->capacity = 0;
    TRACE(TRC_API, "Handover client: disconnect");
    if (!c->ended.load(std::memory_order_acquire)) {
        if (p2pOps().disconnectRequest(c->connection) != nfcStatusOk) {
            TRACE(TRC_ERROR, "! Handover client: No disconnection possible");
        } else if (p2pServiceWait(*c) != PlatWait::Signaled || !c->ended.load(std::memory_order_acquire)) {
            TRACE(TRC_ERROR, "! Handover client: Timeout disconnecting");
        }
    }
    releaseClient(c);
    return status;
}

CORVANE_API NfcApiStatus handoverSendRequest_Async(HandoverClientHandle hClient, const BYTE* request,
                                                   DWORD length) {
    TRACE(TRC_API, "handoverSendRequest_Async(), hClient %p, pRequest %p len %d", static_cast<void*>(hClient),
          static_cast<const void*>(request), length);
    if (!hClient || hClient->magic != kClientMagic || !hClient->asynchronous) {
        TRACE(TRC_ERROR, "Handover client: ! should only be called for async");
        return nfcStatusFailed;
    }
    hClient->capacity = 0;
    const NfcApiStatus status = p2pOps().dataRequest(hClient->connection, request, length);
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "Handover client: ! nfcP2PDataRequest failed with status %d", status);
        return nfcStatusFailed;
    }
    return nfcStatusPending;
}

CORVANE_API BOOL handoverStartServer(HandoverServerHandle* hServer, NfcHandle hNfc, void* context,
                                     THandoverCallback callback) {
    TRACE(TRC_API, "ho: %s() enter, hApp %p", "handoverStartServer", static_cast<void*>(hNfc));
    if (!hServer) return 0;
    *hServer = nullptr;
    auto* s = new (std::nothrow) THandoverServer(callback, context);
    if (!s) return 0;
    s->state = HO_LISTENING;
    NfcApiStatus status = nfcStatusOk;
    switch (THandoverServer::start(s, hNfc, kWindow, serviceMiu(hNfc), 0, kServiceName, &status)) {
    case CP2pServer::Start::AlreadyRunning:
        TRACE(TRC_ERROR, "ho: ! Server %p already running", static_cast<void*>(gServer));
        return 0;
    case CP2pServer::Start::ListenFailed:
        TRACE(TRC_ERROR, "ho: ! Listen request failed: %d", status);
        TRACE(TRC_API, "ho: %s %p", "hoServerReleaseResources", static_cast<void*>(s));
        return 0;
    case CP2pServer::Start::Started:
        break;
    }
    *hServer = s;
    TRACE(TRC_API, "ho: %s() exit hServer %p", "handoverStartServer", static_cast<void*>(s));
    return 1;
}

CORVANE_API BOOL handoverSendSelect(HandoverServerHandle hServer, const BYTE* select, DWORD length) {
    TRACE(TRC_API, "ho: %s() enter, handle %p (%p %d)", "handoverSendSelect", static_cast<void*>(hServer),
          static_cast<const void*>(select), length);
    std::lock_guard<std::recursive_mutex> g(CP2pServer::lock());
    auto* s = static_cast<THandoverServer*>(CP2pServer::live(static_cast<CP2pServer*>(hServer), gServer));
    bool ok = false;
    if (!s) {
        TRACE(TRC_ERROR, "ho: ! Invalid server handle %p, magic invalid", static_cast<void*>(hServer));
    } else if (s->state != HO_REQUEST || s->selecting) {
        TRACE(TRC_ERROR, "ho: ! Send select in wrong state %d\n", s->state);
    } else if (select || !length) {
        try {
            s->select.assign(select, select + length);
            ok = s->send(s->select.data(), length);
            s->selecting = ok;
        } catch (const std::bad_alloc&) {
            TRACE(TRC_ERROR, "ho: ! No memory for a Select of %u bytes", length);
        }
        if (!ok) s->state = HO_CONNECTED;
    }
    TRACE(TRC_API, "ho: %s() exit %s", "handoverSendSelect", ok ? "success" : "! failed");
    return ok;
}

CORVANE_API BOOL handoverReleaseServer(HandoverServerHandle hServer) {
    TRACE(TRC_API, "ho: %s() enter, handle %p", "handoverReleaseServer", static_cast<void*>(hServer));
    std::lock_guard<std::recursive_mutex> g(CP2pServer::lock());
    const bool current = hServer && static_cast<CP2pServer*>(hServer) == gServer;
    if (current) {
        // Its links still name the record: the listener goes (after a client still there), and
        // its end tells the application the server ended; the last link's end frees the record.
        hServer->release(false);
        hServer->dropIfFree();
    }
    TRACE(TRC_API, "ho: %s() exit %s", "handoverReleaseServer", current ? "success" : "failed !");
    return current;
}
