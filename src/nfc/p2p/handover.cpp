// Connection handover over LLCP: a client sends a Handover Request and takes the Select, a
// server hands each Request to the application and sends its Select back.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "p2p/p2pops.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kClientMagic = 0x40C71E47u;
constexpr uint32_t kServerMagic = 0x405EAFEAu;
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
};

struct THandoverServer {
    uint32_t magic = kServerMagic;
    NfcHandle application = nullptr;
    P2pLinkHandle listener = nullptr, connection = nullptr;
    void* context = nullptr;
    THandoverCallback callback = nullptr;
    int state = HO_IDLE;
    uint32_t fragment = 0;
};

namespace {

std::recursive_mutex gServerLock;
THandoverServer* gServer = nullptr;

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
    if (s->callback) s->callback(s->context, event, data, length);
}

void freeServer(THandoverServer* s) {
    TRACE(TRC_API, "ho: %s %p", "hoServerReleaseResources", static_cast<void*>(s));
    std::lock_guard<std::recursive_mutex> lock(gServerLock);
    if (gServer == s) gServer = nullptr;
    s->magic = P2P_MAGIC_FREED;
    delete s;
}

DWORD serverCallback(void* app, DWORD event, void* listenerContext, void* record);

void serverEvent(THandoverServer* s, DWORD event, TP2pConnection* record) {
    switch (event) {
    case nfcEventConnectIndication:
        if (s->state != HO_LISTENING) {
            TRACE(TRC_ERROR, "ho: ! Connect indication in wrong state %d", s->state);
            break;
        }
        s->state = HO_CONNECTED;
        s->connection = record->newConnection;
        s->fragment = record->connected.remoteMiu;
        serverNotify(s, handoverEventClientConnected, nullptr, 0);
        p2pOps().connectResponse(s->connection, s, serverCallback);
        break;
    case nfcEventDataIndication:
        if (s->state != HO_CONNECTED) {
            TRACE(TRC_ERROR, "! ho: Data indication in wrong state %d", s->state);
        } else {
            s->state = HO_REQUEST;
            serverNotify(s, handoverEventRequestReceived, record->data.data, record->data.length);
        }
        // The request has been handed over (or refused): LLCP gets its receive buffer back.
        if (s->connection) p2pOps().dataResponse(s->connection);
        break;
    case nfcEventDataTransmitted:
        serverNotify(s, handoverEventSelectSent, nullptr, 0);
        if (s->state == HO_REQUEST) s->state = HO_CONNECTED;
        else TRACE(TRC_ERROR, "ho: ! Data transmitted in wrong state %d", s->state);
        break;
    case nfcEventDisconnected:
        s->state = HO_LISTENING;
        s->connection = nullptr;
        serverNotify(s, handoverEventClientDisconnected, nullptr, 0);
        break;
    case nfcEventHangupTerminated: {
        THandoverCallback callback = s->callback;
        void* context = s->context;
        freeServer(s);
        if (callback) callback(context, handoverEventServerEnded, nullptr, 0);
        break;
    }
    default:
        TRACE(TRC_ERROR, "ho: ! Unexpected event %d, ignoring", event);
    }
}

DWORD serverCallback(void*, DWORD event, void* listenerContext, void* record) {
    TRACE(TRC_API, "ho: Received NFace+spa event %#x", event);
    auto* connection = static_cast<TP2pConnection*>(record);
    void* handle = event == nfcEventConnectIndication ? listenerContext : (connection ? connection->context : nullptr);
    auto* s = static_cast<THandoverServer*>(handle);
    if (!s) {
        TRACE(TRC_ERROR, "ho: ! No context, ignoring event\n");
    } else if (s->magic != kServerMagic) {
        TRACE(TRC_ERROR, "ho: ! Invalid server handle %p, magic invalid", handle);
    } else {
        serverEvent(s, event, connection);
    }
    return 0;
}

}  // namespace

CORVANE_API NfcApiStatus handoverConnect(NfcListenerHandle hListen, NfcHandle hNfc, HandoverClientHandle* hClient,
                                         void* context, THandoverCallback callback, BOOL asynchronous) {
    if (!hClient) return nfcStatusFailed;
    *hClient = nullptr;
    if (!asynchronous && p2pOps().onEventThread()) return nfcStatusWrongState;
    THandoverClient* c = nullptr;
    const NfcApiStatus status = connectClient(hListen, hNfc, c, context, callback, asynchronous != 0);
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
    NfcApiStatus status = p2pOps().dataRequest(c->connection, request, length);
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
    std::lock_guard<std::recursive_mutex> lock(gServerLock);
    *hServer = nullptr;
    if (gServer) {
        TRACE(TRC_ERROR, "ho: ! Server %p already running", static_cast<void*>(gServer));
        return 0;
    }
    auto* s = new (std::nothrow) THandoverServer;
    if (!s) return 0;
    s->application = hNfc;
    s->context = context;
    s->callback = callback;
    const NfcApiStatus status = p2pOps().listenRequest(hNfc, s, serverCallback, 1, kWindow, serviceMiu(hNfc), 0,
                                                       kServiceName, &s->listener);
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "ho: ! Listen request failed: %d", status);
        freeServer(s);
        return 0;
    }
    s->state = HO_LISTENING;
    gServer = s;
    *hServer = s;
    TRACE(TRC_API, "ho: %s() exit hServer %p", "handoverStartServer", static_cast<void*>(s));
    return 1;
}

CORVANE_API BOOL handoverSendSelect(HandoverServerHandle hServer, const BYTE* select, DWORD length) {
    TRACE(TRC_API, "ho: %s() enter, handle %p (%p %d)", "handoverSendSelect", static_cast<void*>(hServer),
          static_cast<const void*>(select), length);
    bool ok = false;
    if (!hServer || hServer->magic != kServerMagic) {
        TRACE(TRC_ERROR, "ho: ! Invalid server handle %p, magic invalid", static_cast<void*>(hServer));
    } else if (hServer->state != HO_REQUEST) {
        TRACE(TRC_ERROR, "ho: ! Send select in wrong state %d\n", hServer->state);
    } else {
        ok = p2pOps().dataRequest(hServer->connection, select, length) == nfcStatusOk;
        if (!ok) hServer->state = HO_CONNECTED;
    }
    TRACE(TRC_API, "ho: %s() exit %s", "handoverSendSelect", ok ? "success" : "! failed");
    return ok;
}

CORVANE_API BOOL handoverReleaseServer(HandoverServerHandle hServer) {
    TRACE(TRC_API, "ho: %s() enter, handle %p", "handoverReleaseServer", static_cast<void*>(hServer));
    std::lock_guard<std::recursive_mutex> lock(gServerLock);
    const bool current = hServer && hServer == gServer && hServer->magic == kServerMagic;
    if (current) {
        if (hServer->state == HO_IDLE) {
            freeServer(hServer);
        } else {
            const NfcApiStatus status = p2pOps().disconnectRequest(hServer->listener);
            if (status != nfcStatusOk) TRACE(TRC_ERROR, "ho: ! Error disconnecting: %d", status);
        }
    }
    TRACE(TRC_API, "ho: %s() exit %s", "handoverReleaseServer", current ? "success" : "failed !");
    return current;
}
