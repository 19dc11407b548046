// The SNEP server: listens for one client at a time, reassembles its requests (asking for the
// rest with CONTINUE) and answers them, itself or through the application.
#include <mutex>
#include <new>
#include <string_view>

#include "p2p/p2pops.h"
#include "p2p/snepcodec.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kServerMagic = 0x54395343u;
constexpr DWORD kServerWindow = 2;
constexpr DWORD kMaxMiu = 2048;
constexpr BYTE kDefaultSap = 4;
constexpr const char* kDefaultName = "urn:nfc:sn:snep";

#define SNEP_SSTATES(X)                                                                                       \
    X(INIT) X(CONNECTED) X(TX_ONLY) X(TX_FIRST) X(TX_WAIT) X(TX_NEXT) X(RX) X(RX_CONTINUE) X(DISCONNECTING) \
    X(STOP_DISC) X(STOPPING) X(STOPPED)
#define SNEP_STATE_ENUM(s) S_##s,
enum ServerState : int { SNEP_SSTATES(SNEP_STATE_ENUM) };
#define SNEP_STATE_NAME(s) #s,
constexpr const char* kStateNames[] = {SNEP_SSTATES(SNEP_STATE_NAME)};

}  // namespace

struct TSnepServer : TP2pService {
    SnepRx rx;
    SnepTx tx;
    uint32_t fragment = 0;
    P2pLinkHandle listener = nullptr;
    int state = S_INIT;
    TSnepCallback callback = nullptr;
    void* context = nullptr;
    TSnepServerReport report{};
    bool defaultServer = false;
    DWORD flags = 0;
};

namespace {

std::recursive_mutex gServerLock;  // the current server and its replacement
TSnepServer* gServer = nullptr;

unsigned handleBits(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

TSnepServer* checkServer(SnepServerHandle handle) {
    if (handle && handle->magic == kServerMagic) return handle;
    if (handle)
        TRACE(TRC_ERROR, "SNEP server: ! Invalid server handle %#x. magic %X wrong", handleBits(handle), handle->magic);
    return nullptr;
}

void setState(TSnepServer* s, int state) {
    TRACE(TRC_API, "SNEP server: Changing state %s -> %s", kStateNames[s->state], kStateNames[state]);
    s->state = state;
}

void notify(TSnepServer* s, DWORD event, void* report) {
    if (s->callback && !s->dead.load(std::memory_order_acquire)) s->callback(s->context, event, report);
}

void freeServer(TSnepServer* s) {
    TRACE(TRC_API, "SNEP: Releasing communication buffers %X\n", handleBits(s));
    {
        std::lock_guard<std::recursive_mutex> lock(gServerLock);
        if (gServer == s) gServer = nullptr;
    }
    s->magic = P2P_MAGIC_FREED;
    delete s;
}

void disconnectOnError(TSnepServer* s) {
    const NfcApiStatus status = p2pOps().disconnectRequest(s->connection);
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "SNEP server: ! Error disconnecting from client: %d", status);
        setState(s, S_INIT);
    } else {
        setState(s, S_DISCONNECTING);
    }
}

// Sends a whole message; its first fragment goes now.
bool sendMessage(TSnepServer* s, uint8_t code, const BYTE* data, DWORD length) {
    if (!snepBuild(s->tx, code, data, length)) return false;
    const bool single = s->tx.size <= s->fragment;
    const int previous = s->state;
    setState(s, single ? S_TX_ONLY : S_TX_FIRST);
    if (snepSendFragment(s->connection, s->tx, s->fragment) == nfcStatusFailed) {
        setState(s, previous);
        return false;
    }
    return true;
}

void respondOrDisconnect(TSnepServer* s, uint8_t code) {
    if (!sendMessage(s, code, nullptr, 0)) {
        TRACE(TRC_ERROR, "SNEP server: ! Error sending response\n");
        disconnectOnError(s);
    }
}

void progress(TSnepServer* s, uint32_t done, uint32_t total) {
    s->report.progress = {done, total ? static_cast<DWORD>(uint64_t{done} * 100 / total) : 100};
    notify(s, snepEventProgress, &s->report);
}

void deliver(TSnepServer* s) {
    TRACE(TRC_API, "SNEP server: Data complete, passing %d bytes to application", s->rx.ndefLength);
    setState(s, S_RX);
    if (s->rx.code == SNEP_REQ_GET) {
        s->report.get = {s->rx.ndefLength, s->rx.acceptable, s->rx.buffer.data()};
        notify(s, snepEventGetReceived, &s->report);
    } else {
        s->report.put = {s->rx.ndefLength, s->rx.buffer.data()};
        notify(s, snepEventPutReceived, &s->report);
    }
    if (!(s->flags & SNEP_SERVER_APPLICATION_RESPONDS) && s->state == S_RX) respondOrDisconnect(s, SNEP_RESP_SUCCESS);
}

uint8_t answerToBrokenRequest(SnepRxResult result) {
    switch (result) {
    case SnepRxResult::WrongVersion: return SNEP_RESP_UNSUPPORTED_VERSION;
    case SnepRxResult::TooLong: return SNEP_RESP_EXCESS_DATA;
    case SnepRxResult::BadGet: return SNEP_RESP_BAD_REQUEST;
    default: return SNEP_RESP_REJECT;
    }
}

void onFirstFragment(TSnepServer* s, const TP2pData& data) {
    const SnepRxResult result = snepReceiveFirst(s->rx, data.data, data.length);
    if (result != SnepRxResult::Complete && result != SnepRxResult::More) {
        TRACE(TRC_ERROR, "SNEP server: ! Error handling first fragment of request\n");
        respondOrDisconnect(s, answerToBrokenRequest(result));
        return;
    }
    if (s->rx.code == SNEP_REQ_GET && s->defaultServer) {
        TRACE(TRC_ERROR, "SNEP server: ! Default server doesn't accept GET messages\n");
        respondOrDisconnect(s, SNEP_RESP_BAD_REQUEST);
        return;
    }
    if (s->rx.code != SNEP_REQ_GET && s->rx.code != SNEP_REQ_PUT) {
        respondOrDisconnect(s, SNEP_RESP_NOT_IMPLEMENTED);
        return;
    }
    if (result == SnepRxResult::Complete) {
        deliver(s);
        return;
    }
    setState(s, S_RX_CONTINUE);
    SnepTx cont;
    if (!snepBuild(cont, SNEP_RESP_CONTINUE, nullptr, 0) ||
        p2pOps().dataRequest(s->connection, cont.buffer.data(), cont.size) != nfcStatusOk) {
        TRACE(TRC_ERROR, "SNEP server: ! Error sending continue message\n");
        disconnectOnError(s);
        return;
    }
    s->tx = std::move(cont);   // kept until its transmission is confirmed
    progress(s, s->rx.held, s->rx.ndefLength);
}

void onClientAnswer(TSnepServer* s, const TP2pData& data) {
    SnepRx answer;
    if (snepReceiveFirst(answer, data.data, data.length) != SnepRxResult::Complete) {
        TRACE(TRC_ERROR, "SNEP server: ! Error receiving response from client\n");
        disconnectOnError(s);
    } else if (answer.code == SNEP_REQ_CONTINUE) {
        setState(s, S_TX_NEXT);
        if (snepSendFragment(s->connection, s->tx, s->fragment) == nfcStatusFailed) disconnectOnError(s);
    } else {
        setState(s, S_CONNECTED);
        notify(s, snepEventFailed, &s->report);
    }
}

void onDataIndication(TSnepServer* s, const TP2pData& data) {
    switch (s->state) {
    case S_CONNECTED:
        onFirstFragment(s, data);
        break;
    case S_TX_WAIT:
        onClientAnswer(s, data);
        break;
    case S_RX:
    case S_RX_CONTINUE:
        if (snepReceiveNext(s->rx, data.data, data.length) == SnepRxResult::Complete) deliver(s);
        else progress(s, s->rx.held, s->rx.ndefLength);
        break;
    default:
        TRACE(TRC_ERROR, "SNEP server: ! nfcEventDataIndication in illegal state %d", s->state);
    }
}

void onDataTransmitted(TSnepServer* s) {
    switch (s->state) {
    case S_CONNECTED:
    case S_STOP_DISC:
    case S_RX:
        break;
    case S_TX_ONLY:
        setState(s, S_CONNECTED);
        notify(s, snepEventResponse, &s->report);
        break;
    case S_TX_FIRST:
        progress(s, s->tx.sent, s->tx.size);
        setState(s, S_TX_WAIT);
        break;
    case S_TX_NEXT:
        if (s->tx.sent < s->tx.size) {
            progress(s, s->tx.sent, s->tx.size);
            if (snepSendFragment(s->connection, s->tx, s->fragment) == nfcStatusFailed) disconnectOnError(s);
        } else {
            setState(s, S_CONNECTED);
            notify(s, snepEventResponse, &s->report);
        }
        break;
    case S_RX_CONTINUE:
        setState(s, S_RX);
        break;
    default:
        TRACE(TRC_ERROR, "SNEP server: ! nfcEventDataTransmitted in illegal state %d", s->state);
    }
}

DWORD serverCallback(void* app, DWORD event, void* listenerContext, void* record);

void onConnectIndication(TSnepServer* s, const TP2pConnection& record) {
    if (s->state != S_INIT) return;
    setState(s, S_CONNECTED);
    s->connection = record.newConnection;
    s->fragment = record.connected.remoteMiu;
    notify(s, snepEventConnected, &s->report);
    p2pOps().connectResponse(s->connection, s, serverCallback);
}

void handleEvent(TSnepServer* s, DWORD event, TP2pConnection* record) {
    switch (event) {
    case nfcEventConnectIndication:
        onConnectIndication(s, *record);
        break;
    case nfcEventDataIndication:
        onDataIndication(s, record->data);
        if (s->connection) p2pOps().dataResponse(s->connection);
        break;
    case nfcEventDataTransmitted:
        onDataTransmitted(s);
        break;
    case nfcEventDisconnected:
        if (s->state == S_STOP_DISC || s->state == S_STOPPING) {
            TRACE(TRC_ERROR, "SNEP server: ! nfcEventDisconnected in invalid state\n");
            if (s->state == S_STOP_DISC) {
                // The client is gone; the listener goes next and its hangup ends the server.
                setState(s, S_STOPPING);
                s->connection = nullptr;
                p2pOps().disconnectRequest(s->listener);
            }
            break;
        }
        setState(s, S_INIT);
        s->connection = nullptr;
        notify(s, snepEventClientDisconnected, &s->report);
        break;
    case nfcEventHangupTerminated: {
        if (s->state == S_STOP_DISC) {
            // The client's connection went as asked; the listener goes next and its hangup ends
            // the server.
            setState(s, S_STOPPING);
            s->connection = nullptr;
            p2pOps().disconnectRequest(s->listener);
            break;
        }
        TSnepCallback callback = s->dead.load(std::memory_order_acquire) ? nullptr : s->callback;
        void* context = s->context;
        freeServer(s);
        if (callback) callback(context, snepEventEnded, nullptr);
        break;
    }
    default:
        TRACE(TRC_ERROR, "SNEP server: ! Unexpected event %d, ignoring", event);
    }
}

DWORD serverCallback(void* app, DWORD event, void* listenerContext, void* record) {
    auto* connection = static_cast<TP2pConnection*>(record);
    TRACE(TRC_API, "snepServerCallback, hApp %p, event %d, hListener %p", app, event, listenerContext);
    void* handle = event == nfcEventConnectIndication ? listenerContext : (connection ? connection->context : nullptr);
    if (!handle) {
        TRACE(TRC_ERROR, "SNEP server: ! snepServerCallback, no context, ignoring NFACE event %X", event);
        return 0;
    }
    TSnepServer* s = checkServer(static_cast<TSnepServer*>(handle));
    if (s) handleEvent(s, event, connection);
    return 0;
}

}  // namespace

CORVANE_API NfcApiStatus snepStartServer(SnepServerHandle* hServer, NfcHandle hNfc, const char* serviceName,
                                         BYTE sap, DWORD miu, void* context, TSnepCallback callback) {
    if (!hServer) return nfcStatusBadParameter;
    *hServer = nullptr;
    if (miu > kMaxMiu) {
        TRACE(TRC_API, "SNEP server: Reduce application MIU to %d", kMaxMiu);
        miu = kMaxMiu;
    }
    if (!callback) {
        TRACE(TRC_ERROR, "SNEP server: ! Callback function is invalid");
        return nfcStatusFailed;
    }
    if (p2pOps().onEventThread()) return nfcStatusWrongState;
    std::lock_guard<std::recursive_mutex> lock(gServerLock);
    if (gServer) {
        TRACE(TRC_ERROR, "SNEP server: ! Server %p already running", static_cast<void*>(gServer));
        return nfcStatusFailed;
    }
    auto* s = new (std::nothrow) TSnepServer;
    if (!s) {
        TRACE(TRC_ERROR, "SNEP: %s ! No memory available", "snepStartServer");
        return nfcStatusFailed;
    }
    s->magic = kServerMagic;
    s->callback = callback;
    s->context = context;
    s->defaultServer = serviceName ? std::string_view(serviceName) == kDefaultName : sap == kDefaultSap;
    const NfcApiStatus status = p2pOps().listenRequest(hNfc, s, serverCallback, 1, kServerWindow, miu, sap,
                                                       serviceName, &s->listener);
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "SNEP server: ! Listen request failed: %d", status);
        freeServer(s);
        return nfcStatusFailed;
    }
    gServer = s;
    TRACE(TRC_API, "SNEP server: Started, handle %p, (hListen %p)", static_cast<void*>(s),
          static_cast<void*>(s->listener));
    *hServer = s;
    return nfcStatusOk;
}

CORVANE_API NfcApiStatus snepServerSetFlag(SnepServerHandle hServer, DWORD flag) {
    TSnepServer* s = checkServer(hServer);
    if (!s) return nfcStatusBadParameter;
    s->flags |= flag;
    return nfcStatusOk;
}

CORVANE_API NfcApiStatus snepSendResponse(SnepServerHandle hServer, BYTE code, const BYTE* ndef, DWORD length) {
    if (!hServer) {
        TRACE(TRC_ERROR, "SNEP server: ! Invalid server handle NULL");
        return nfcStatusFailed;
    }
    TSnepServer* s = checkServer(hServer);
    if (!s) return nfcStatusFailed;
    switch (code) {
    case SNEP_RESP_SUCCESS: case SNEP_RESP_NOT_FOUND: case SNEP_RESP_EXCESS_DATA: case SNEP_RESP_BAD_REQUEST:
    case SNEP_RESP_NOT_IMPLEMENTED: case SNEP_RESP_REJECT:
        break;
    default:
        TRACE(TRC_ERROR, "SNEP server: ! Unsupported response code %d", code);
        return nfcStatusBadParameter;
    }
    if (s->state != S_RX) {
        TRACE(TRC_ERROR, "SNEP server: ! Invalid server state %d for sending data", s->state);
        return nfcStatusFailed;
    }
    if ((!ndef && length) || !sendMessage(s, code, ndef, length)) {
        TRACE(TRC_ERROR, "SNEP server: ! Error sending response\n");
        return nfcStatusFailed;
    }
    return nfcStatusOk;
}

namespace {

// Ends the client's connection, then the listener, whose hangup ends the server: false when
// neither could be asked to go.
bool stopServer(TSnepServer* s) {
    if (s->state == S_STOPPING) return true;
    const bool withClient = s->state != S_INIT;
    setState(s, withClient ? S_STOP_DISC : S_STOPPING);
    const NfcApiStatus status = p2pOps().disconnectRequest(withClient ? s->connection : s->listener);
    if (status != nfcStatusOk) TRACE(TRC_ERROR, "SNEP server: ! Error closing connection: %d", status);
    return status == nfcStatusOk;
}

}  // namespace

CORVANE_API NfcApiStatus snepStopServer(SnepServerHandle hServer) {
    TRACE(TRC_API, "%s %p", "snepStopServer", static_cast<void*>(hServer));
    if (TSnepServer* s = checkServer(hServer)) stopServer(s);
    return nfcStatusOk;
}

CORVANE_API NfcApiStatus snepReleaseServer(SnepServerHandle hServer) {
    std::lock_guard<std::recursive_mutex> lock(gServerLock);
    TRACE(TRC_API, "%s %p (g %p)", "snepReleaseServer", static_cast<void*>(hServer), static_cast<void*>(gServer));
    if (!hServer || hServer != gServer) return hServer && !gServer ? nfcStatusOk : nfcStatusBadParameter;
    // A running server's listener still names the record: the server stops, and the listener's
    // final event frees it without calling the application back.
    hServer->dead.store(true, std::memory_order_release);
    if (!stopServer(hServer)) freeServer(hServer);
    return nfcStatusOk;
}
