// The SNEP server: listens for one client at a time, reassembles its requests (asking for the
// rest with CONTINUE) and answers them, itself or through the application.
#include <new>
#include <string_view>

#include "p2p/p2pserver.h"
#include "p2p/snepcodec.h"
#include "util/trace.h"

namespace {

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

namespace {

CP2pServer* gServer = nullptr;  // the current server, under CP2pServer::lock()

DWORD serverCallback(void* app, DWORD event, void* listenerContext, void* record);

}  // namespace

struct TSnepServer : CP2pServer {
    TSnepServer(TSnepCallback cb, void* ctx)
        : CP2pServer(gServer, serverCallback, "SNEP server: "), callback(cb), context(ctx) {}
    SnepRx rx;
    SnepTx tx;
    uint32_t fragment = 0;
    int state = S_INIT;
    TSnepCallback callback = nullptr;
    void* context = nullptr;
    TSnepServerReport report{};
    bool defaultServer = false;
    DWORD flags = 0;

    void onClientConnected(const TP2pConnected& connected) override;
    void onData(const TP2pData& data) override;
    void onTransmitted(DWORD cause) override;
    void onClientGone() override;
    void onStopping(bool withClient) override;
    void onEnded() override;
};

namespace {

unsigned handleBits(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// The live server behind an application's handle; traced when there is none.
TSnepServer* checkServer(SnepServerHandle handle) {
    if (CP2pServer* s = CP2pServer::live(static_cast<CP2pServer*>(handle), gServer))
        return static_cast<TSnepServer*>(s);
    if (handle) TRACE(TRC_ERROR, "SNEP server: ! Invalid server handle %#x", handleBits(handle));
    return nullptr;
}

void setState(TSnepServer* s, int state) {
    TRACE(TRC_API, "SNEP server: Changing state %s -> %s", kStateNames[s->state], kStateNames[state]);
    s->state = state;
}

void notify(TSnepServer* s, DWORD event, void* report) {
    if (s->callback && s->calling()) s->callback(s->context, event, report);
}

// A protocol error ends the client's connection; its end returns the server to waiting.
void disconnectOnError(TSnepServer* s) {
    setState(s, S_DISCONNECTING);
    if (!s->closeClient() && s->state == S_DISCONNECTING) setState(s, S_INIT);
}

// Sends a whole message; its first fragment goes now.
bool sendMessage(TSnepServer* s, uint8_t code, const BYTE* data, DWORD length) {
    if (!s->client() || !snepBuild(s->tx, code, data, length)) return false;
    const bool single = s->tx.size <= s->fragment;
    const int previous = s->state;
    setState(s, single ? S_TX_ONLY : S_TX_FIRST);
    if (snepSendFragment(s->client(), s->tx, s->fragment) == nfcStatusFailed) {
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

void deliverRequest(TSnepServer* s) {
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
        deliverRequest(s);
        return;
    }
    setState(s, S_RX_CONTINUE);
    SnepTx cont;
    if (!snepBuild(cont, SNEP_RESP_CONTINUE, nullptr, 0) || !s->send(cont.buffer.data(), cont.size)) {
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
        if (snepSendFragment(s->client(), s->tx, s->fragment) == nfcStatusFailed) disconnectOnError(s);
    } else {
        setState(s, S_CONNECTED);
        notify(s, snepEventFailed, &s->report);
    }
}

}  // namespace

void TSnepServer::onClientConnected(const TP2pConnected& connected) {
    setState(this, S_CONNECTED);
    fragment = connected.remoteMiu;
    notify(this, snepEventConnected, &report);
}

void TSnepServer::onData(const TP2pData& data) {
    switch (state) {
    case S_CONNECTED:
        onFirstFragment(this, data);
        break;
    case S_TX_WAIT:
        onClientAnswer(this, data);
        break;
    case S_RX:
    case S_RX_CONTINUE:
        if (snepReceiveNext(rx, data.data, data.length) == SnepRxResult::Complete) deliverRequest(this);
        else progress(this, rx.held, rx.ndefLength);
        break;
    default:
        TRACE(TRC_ERROR, "SNEP server: ! nfcEventDataIndication in illegal state %d", state);
    }
}

void TSnepServer::onTransmitted(DWORD cause) {
    // Not sent: the connection is ending, and its end brings the server back to waiting.
    if (cause) return;
    switch (state) {
    case S_CONNECTED:
    case S_RX:
        break;
    case S_TX_ONLY:
        setState(this, S_CONNECTED);
        notify(this, snepEventResponse, &report);
        break;
    case S_TX_FIRST:
        progress(this, tx.sent, tx.size);
        setState(this, S_TX_WAIT);
        break;
    case S_TX_NEXT:
        if (tx.sent < tx.size) {
            progress(this, tx.sent, tx.size);
            if (snepSendFragment(client(), tx, fragment) == nfcStatusFailed) disconnectOnError(this);
        } else {
            setState(this, S_CONNECTED);
            notify(this, snepEventResponse, &report);
        }
        break;
    case S_RX_CONTINUE:
        setState(this, S_RX);
        break;
    default:
        TRACE(TRC_ERROR, "SNEP server: ! nfcEventDataTransmitted in illegal state %d", state);
    }
}

void TSnepServer::onClientGone() {
    setState(this, S_INIT);
    rx = SnepRx{};
    notify(this, snepEventClientDisconnected, &report);
}

void TSnepServer::onStopping(bool withClient) { setState(this, withClient ? S_STOP_DISC : S_STOPPING); }

void TSnepServer::onEnded() {
    TRACE(TRC_API, "SNEP: Releasing communication buffers %X\n", handleBits(this));
    if (callback) callback(context, snepEventEnded, nullptr);
}

namespace {

DWORD serverCallback(void* app, DWORD event, void* listenerContext, void* record) {
    TRACE(TRC_API, "snepServerCallback, hApp %p, event %d, hListener %p", app, event, listenerContext);
    return TSnepServer::deliver("SNEP server: ", gServer, event, listenerContext, record);
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
    auto* s = new (std::nothrow) TSnepServer(callback, context);
    if (!s) {
        TRACE(TRC_ERROR, "SNEP: %s ! No memory available", "snepStartServer");
        return nfcStatusFailed;
    }
    s->defaultServer = serviceName ? std::string_view(serviceName) == kDefaultName : sap == kDefaultSap;
    NfcApiStatus status = nfcStatusOk;
    switch (TSnepServer::start(s, hNfc, kServerWindow, miu, sap, serviceName, &status)) {
    case CP2pServer::Start::AlreadyRunning:
        TRACE(TRC_ERROR, "SNEP server: ! Server %p already running", static_cast<void*>(gServer));
        return nfcStatusFailed;
    case CP2pServer::Start::ListenFailed:
        TRACE(TRC_ERROR, "SNEP server: ! Listen request failed: %d", status);
        return nfcStatusFailed;
    case CP2pServer::Start::Started:
        break;
    }
    TRACE(TRC_API, "SNEP server: Started, handle %p", static_cast<void*>(s));
    *hServer = s;
    return nfcStatusOk;
}

CORVANE_API NfcApiStatus snepServerSetFlag(SnepServerHandle hServer, DWORD flag) {
    std::lock_guard<std::recursive_mutex> g(CP2pServer::lock());
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
    std::lock_guard<std::recursive_mutex> g(CP2pServer::lock());
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

CORVANE_API NfcApiStatus snepStopServer(SnepServerHandle hServer) {
    TRACE(TRC_API, "%s %p", "snepStopServer", static_cast<void*>(hServer));
    std::lock_guard<std::recursive_mutex> g(CP2pServer::lock());
    if (TSnepServer* s = checkServer(hServer)) {
        s->stop();
        s->dropIfFree();
    }
    return nfcStatusOk;
}

CORVANE_API NfcApiStatus snepReleaseServer(SnepServerHandle hServer) {
    std::lock_guard<std::recursive_mutex> g(CP2pServer::lock());
    TRACE(TRC_API, "%s %p (g %p)", "snepReleaseServer", static_cast<void*>(hServer), static_cast<void*>(gServer));
    if (!hServer || static_cast<CP2pServer*>(hServer) != gServer)
        return hServer && !gServer ? nfcStatusOk : nfcStatusBadParameter;
    // A running server's links still name the record: the server stops, and the last link's
    // final event frees it without calling the application back.
    TSnepServer* s = static_cast<TSnepServer*>(gServer);
    s->release(true);
    s->dropIfFree();
    return nfcStatusOk;
}
