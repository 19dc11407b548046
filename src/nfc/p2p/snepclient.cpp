// The SNEP client: connects to a SNEP server, sends PUT and GET requests fragment by fragment
// and takes the responses, all inside the P2P events of its connection.
#include <cstring>
#include <deque>
#include <new>
#include <utility>

#include "p2p/p2pops.h"
#include "p2p/snepcodec.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kClientMagic = 0x5439C713u;
constexpr DWORD kClientWindow = 2;
constexpr uint8_t kKindGet = SNEP_TRANSFER_GET, kKindPut = SNEP_TRANSFER_PUT;

#define SNEP_CSTATES(X) X(INIT) X(CONNECTED) X(TX_ONLY) X(TX_FIRST) X(TX_WAIT) X(TX_NEXT) X(RX) X(RX_CONTINUE) X(DISCONNECTING)
#define SNEP_STATE_ENUM(s) C_##s,
enum ClientState : int { SNEP_CSTATES(SNEP_STATE_ENUM) };
#define SNEP_STATE_NAME(s) #s,
constexpr const char* kStateNames[] = {SNEP_CSTATES(SNEP_STATE_NAME)};

}  // namespace

struct TSnepClient : TP2pService {
    SnepRx rx;
    SnepTx tx;
    SnepTx cont;  // the CONTINUE of a fragmented response, sent by the event handler
    uint32_t fragment = 0;
    uint8_t kind = 0, remoteSap = 0;
    bool asynchronous = false;
    void* context = nullptr;
    TSnepCallback callback = nullptr;
    int state = C_INIT;
    TSnepClientReport report{};
    NfcApiStatus status = nfcStatusOk;
    BYTE* getOutput = nullptr;
    DWORD getAcceptable = 0;
    TSnepTransferEntry* batch = nullptr;
    DWORD batchCount = 0, batchIndex = 0;
    bool wake = false;  // the waiter is released once the event handler is done with the record
    // The server answered before the last fragment's transmission was confirmed (its LLCP may
    // hold back the acknowledgement): those confirmations are still to come and are taken then.
    uint32_t confirmationsDue = 0;
    // LLCP sends from the buffer until it confirms the send: a request that starts before then
    // builds in a new one, and the old ones wait here for their confirmations, oldest first.
    std::deque<SnepTx> unconfirmed;
};

namespace {

TSnepClient* checkClient(SnepClientHandle handle) {
    if (handle && handle->magic == kClientMagic && !handle->dead.load(std::memory_order_acquire)) return handle;
    // A released record may still be waiting for its link's end: its handle is no longer valid.
    if (handle) TRACE(TRC_ERROR, "SNEP client: ! Invalid client handle %#x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
    return nullptr;
}

void setState(TSnepClient* c, int state) {
    TRACE(TRC_API, "SNEP client: Changing state %s -> %s", kStateNames[c->state], kStateNames[state]);
    c->state = state;
}

void freeClient(TSnepClient* c) {
    TRACE(TRC_API, "SNEP: Releasing communication buffers %X\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(c)));
    c->magic = P2P_MAGIC_FREED;
    delete c;
}

NfcApiStatus startEntry(TSnepClient* c);

NfcApiStatus beginRequest(TSnepClient* c, uint8_t kind, const BYTE* data, DWORD length, BYTE* output,
                          DWORD acceptable) {
    if (c->state != C_CONNECTED) {
        TRACE(TRC_ERROR, "SNEP client: ! Request in invalid state %d", c->state);
        return nfcStatusWrongState;
    }
    const bool get = kind == kKindGet;
    if (c->confirmationsDue > c->unconfirmed.size()) c->unconfirmed.push_back(std::move(c->tx));
    c->tx = SnepTx{};
    if (!snepBuild(c->tx, get ? SNEP_REQ_GET : SNEP_REQ_PUT, data, length, get, acceptable)) return nfcStatusFailed;
    c->kind = kind;
    c->getOutput = output;
    c->getAcceptable = acceptable;
    // The state goes first: the transmission's event may overtake the return of the send.
    const bool single = c->tx.size <= c->fragment;
    setState(c, single ? C_TX_ONLY : C_TX_FIRST);
    if (snepSendFragment(c->connection, c->tx, c->fragment) == nfcStatusFailed) {
        TRACE(TRC_ERROR, "SNEP client: ! Data not sent\n");
        setState(c, C_CONNECTED);
        return nfcStatusFailed;
    }
    return nfcStatusPending;
}

NfcApiStatus startEntry(TSnepClient* c) {
    TSnepTransferEntry& entry = c->batch[c->batchIndex];
    TRACE(TRC_API, "SNEP client: Servicing message %d\n", c->batchIndex);
    return beginRequest(c, static_cast<uint8_t>(entry.kind), entry.data, entry.length, entry.output,
                        entry.acceptableLength);
}

// Every reported event ends in the callback (asynchronous), the next batch entry, or the waiter.
void reportEvent(TSnepClient* c, DWORD event, NfcApiStatus status) {
    c->status = status;
    if (c->asynchronous && c->callback) c->callback(c->context, event, &c->report);
    const bool requestDone = event == snepEventResponse || event == snepEventFailed;
    if (c->batch && requestDone) {
        if (status == nfcStatusOk && ++c->batchIndex < c->batchCount && startEntry(c) == nfcStatusPending) return;
        c->batch = nullptr;
    }
    c->wake = !c->asynchronous;
}

void reportFailure(TSnepClient* c, DWORD code, NfcApiStatus status) {
    c->report = {0, code};
    reportEvent(c, snepEventFailed, status);
}

void handleResponse(TSnepClient* c) {
    setState(c, C_CONNECTED);
    if (c->rx.code != SNEP_RESP_SUCCESS) {
        TRACE(TRC_ERROR, "SNEP client: ! Message rejected from server with response %d", c->rx.code);
        reportFailure(c, c->rx.code, nfcStatusFailed);
        return;
    }
    if (c->kind == kKindGet) {
        // The caller's buffer holds only what it said it accepts.
        if (c->rx.ndefLength > c->getAcceptable) {
            TRACE(TRC_ERROR, "SNEP client: ! Invalid length of response, got %d bytes, expected %d bytes",
                  c->rx.ndefLength, c->getAcceptable);
            reportFailure(c, c->rx.code, nfcStatusBadParameter);
            return;
        }
        if (c->rx.ndefLength) std::memcpy(c->getOutput, c->rx.buffer.data(), c->rx.ndefLength);
    } else if (c->kind != kKindPut) {
        TRACE(TRC_ERROR, "SNEP client: ! Unexpected client request %d", c->kind);
    }
    c->report = {c->rx.ndefLength, SNEP_RESP_SUCCESS};
    reportEvent(c, snepEventResponse, nfcStatusOk);
}

void onResponseFragment(TSnepClient* c, SnepRxResult result) {
    if (result == SnepRxResult::Complete) {
        handleResponse(c);
    } else if (result == SnepRxResult::More) {
        setState(c, C_RX_CONTINUE);
        // LLCP sends from the caller's buffer until the send is confirmed: the CONTINUE lives in
        // the record, apart from the request, which its caller's thread may still be reading.
        if (!snepBuild(c->cont, SNEP_REQ_CONTINUE, nullptr, 0) ||
            p2pOps().dataRequest(c->connection, c->cont.buffer.data(), c->cont.size) != nfcStatusOk) {
            TRACE(TRC_ERROR, "SNEP server: ! Error sending continue message\n");
        }
    } else {
        TRACE(TRC_ERROR, "SNEP client: ! Error receiving reply from server: %d", static_cast<int>(result));
        setState(c, C_CONNECTED);
        reportFailure(c, 0, nfcStatusFailed);
    }
}

void onDataIndication(TSnepClient* c, const TP2pData& data) {
    if (c->state == C_TX_FIRST || c->state == C_TX_ONLY) {
        ++c->confirmationsDue;
        setState(c, c->state == C_TX_FIRST ? C_TX_WAIT : C_RX);
    }
    switch (c->state) {
    case C_TX_WAIT: {
        SnepRx answer;
        const SnepRxResult result = snepReceiveFirst(answer, data.data, data.length);
        if (result != SnepRxResult::Complete) {
            TRACE(TRC_ERROR, "SNEP client: ! Error receiving reply from server: %d", static_cast<int>(result));
            setState(c, C_CONNECTED);
            reportFailure(c, 0, nfcStatusFailed);
        } else if (answer.code == SNEP_RESP_CONTINUE) {
            setState(c, C_TX_NEXT);
            if (snepSendFragment(c->connection, c->tx, c->fragment) == nfcStatusFailed) {
                setState(c, C_CONNECTED);
                reportFailure(c, 0, nfcStatusFailed);
            }
        } else {
            TRACE(TRC_ERROR, "SNEP client: ! Message rejected from server with response %d", answer.code);
            setState(c, C_CONNECTED);
            reportFailure(c, answer.code, nfcStatusFailed);
        }
        break;
    }
    case C_RX:
        onResponseFragment(c, snepReceiveFirst(c->rx, data.data, data.length));
        break;
    case C_RX_CONTINUE:
        if (snepReceiveNext(c->rx, data.data, data.length) == SnepRxResult::Complete) handleResponse(c);
        break;
    default:
        // Nothing was asked: no request of the caller failed, the data are not taken.
        TRACE(TRC_ERROR, "SNEP client: ! nfcEventDataIndication in invalid state %s, %d bytes dropped",
              kStateNames[c->state], data.length);
    }
}

void progress(TSnepClient* c) {
    c->report = {c->tx.sent, c->tx.size ? static_cast<DWORD>(uint64_t{c->tx.sent} * 100 / c->tx.size) : 100};
    if (c->asynchronous && c->callback) c->callback(c->context, snepEventProgress, &c->report);
}

void onDataTransmitted(TSnepClient* c) {
    if (c->confirmationsDue) {
        --c->confirmationsDue;
        if (!c->unconfirmed.empty()) c->unconfirmed.pop_front();
        return;
    }
    switch (c->state) {
    case C_TX_FIRST:
        progress(c);
        setState(c, C_TX_WAIT);
        break;
    case C_TX_NEXT:
        if (c->tx.sent < c->tx.size) {
            progress(c);
            if (snepSendFragment(c->connection, c->tx, c->fragment) == nfcStatusFailed) {
                setState(c, C_CONNECTED);
                reportFailure(c, 0, nfcStatusFailed);
            }
        } else {
            setState(c, C_RX);
        }
        break;
    case C_TX_ONLY:
        setState(c, C_RX);
        break;
    case C_RX_CONTINUE:
    case C_RX:
        break;
    default:
        TRACE(TRC_ERROR, "SNEP client: ! nfcEventDataTransmitted in invalid state %s", kStateNames[c->state]);
        c->status = nfcStatusWrongState;
    }
}

void onConnected(TSnepClient* c, const TP2pConnected& connected) {
    if (c->state != C_INIT) {
        // Not a failure of the request that may be going on: that one still gets its own answer.
        TRACE(TRC_ERROR, "SNEP client: ! nfcEventConnected in invalid state %d, dropped", c->state);
        c->status = nfcStatusWrongState;
        return;
    }
    setState(c, C_CONNECTED);
    c->remoteSap = connected.remoteSap;
    c->fragment = connected.remoteMiu;
    TRACE(TRC_API, "SNEP client: Connected on SAP %d", c->remoteSap);
    c->report = {};
    reportEvent(c, snepEventConnected, nfcStatusOk);
}

void onDisconnected(TSnepClient* c) {
    const int state = c->state;
    if (state == C_INIT) {
        TRACE(TRC_ERROR, "SNEP client: ! nfcEventDisconnected in invalid state %d", state);
        c->status = nfcStatusWrongState;
        return;
    }
    setState(c, C_INIT);
    c->report = {};
    if (state == C_DISCONNECTING) {
        TRACE(TRC_API, "SNEP client: Disconnected from SAP %d", c->remoteSap);
        reportEvent(c, snepEventEnded, nfcStatusOk);
    } else if (state == C_CONNECTED) {
        reportEvent(c, snepEventEnded, nfcStatusFailed);
    } else {
        reportEvent(c, snepEventFailed, nfcStatusFailed);
    }
}

void handleEvent(TSnepClient* c, DWORD event, TP2pConnection* record) {
    switch (event) {
    case nfcEventConnected:
        onConnected(c, record->connected);
        break;
    case nfcEventConnectFailed:
        if (c->state == C_INIT) {
            TRACE(TRC_ERROR, "SNEP client: ! Connection failed\n");
            reportFailure(c, 0, nfcStatusFailed);
        } else {
            TRACE(TRC_ERROR, "SNEP client: ! nfcEventConnectFailed in invalid state %d", c->state);
            reportFailure(c, 0, nfcStatusWrongState);
        }
        break;
    case nfcEventDisconnected:
        onDisconnected(c);
        break;
    case nfcEventHangupTerminated:
        if (c->state == C_DISCONNECTING) {
            TRACE(TRC_API, "SNEP client: Connection terminated\n");
            setState(c, C_INIT);
            c->report = {};
            reportEvent(c, snepEventEnded, nfcStatusOk);
        } else {
            TRACE(TRC_ERROR, "SNEP client: ! nfcEventHangupTerminated in invalid state %d", c->state);
            c->status = nfcStatusWrongState;
        }
        break;
    case nfcEventDataTransmitted:
        onDataTransmitted(c);
        break;
    case nfcEventDataIndication:
        onDataIndication(c, record->data);
        break;
    default:
        break;
    }
}

DWORD clientCallback(void*, DWORD event, void*, void* record) {
    if (event < nfcEventConnected || event > nfcEventConnectIndication) {
        TRACE(TRC_ERROR, "SNEP common: ! Unexpected event %d in snepGetClientHandleFromEvent()", event);
        return 0;
    }
    auto* connection = static_cast<TP2pConnection*>(record);
    auto* c = connection ? static_cast<TSnepClient*>(connection->context) : nullptr;
    if (!c || c->magic != kClientMagic) {
        TRACE(TRC_ERROR, "SNEP client: ! No context, ignoring event\n");
        return 0;
    }
    const bool final = p2pServiceFinalEvent(event);
    if (final) c->ended.store(true, std::memory_order_release);
    if (!c->dead.load(std::memory_order_acquire)) {
        handleEvent(c, event, connection);
        if (std::exchange(c->wake, false)) p2pServiceSignal(*c);
    }
    if (event == nfcEventDataIndication) p2pOps().dataResponse(c->connection);
    if (final && p2pServiceDrop(*c)) freeClient(c);
    return 0;
}

// A synchronous call waits for the event handler; a time-out is a failure.
NfcApiStatus waitOutcome(TSnepClient* c, NfcApiStatus started, const char* timeoutText) {
    if (started != nfcStatusPending || c->asynchronous) return started;
    if (p2pServiceWait(*c) != PlatWait::Signaled) {
        TRACE(TRC_ERROR, "%s", timeoutText);
        return nfcStatusFailed;
    }
    return c->status;
}

// A synchronous call from the event thread would wait for itself.
bool blocksEventThread(const TSnepClient* c) { return !c->asynchronous && p2pOps().onEventThread(); }

}  // namespace

CORVANE_API NfcApiStatus snepConnect(SnepClientHandle* hClient, NfcListenerHandle hListen, const char* serviceName,
                                     BYTE sap, DWORD miu, void* context, TSnepCallback callback, BOOL asynchronous) {
    TRACE(TRC_API, "SNEP client: CONNECT request to service %s, SAP %d, miu %d", serviceName ? serviceName : "",
          sap, miu);
    if (!hClient) return nfcStatusBadParameter;
    *hClient = nullptr;
    if (asynchronous && !callback) {
        TRACE(TRC_ERROR, "SNEP server: ! Callback function is invalid");
        return nfcStatusFailed;
    }
    if (!asynchronous && p2pOps().onEventThread()) return nfcStatusWrongState;
    if (serviceName) sap = 1;
    auto* c = new (std::nothrow) TSnepClient;
    if (!c) return nfcStatusFailed;
    c->magic = kClientMagic;
    c->asynchronous = asynchronous != 0;
    c->context = context;
    c->callback = callback;
    if (!c->asynchronous) c->semaphore.create(0, 1);
    const NfcApiStatus status =
        p2pOps().connectRequest(hListen, c, clientCallback, kClientWindow, miu, sap, serviceName, &c->connection);
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "SNEP client: ! No connection to service %s, SAP %d established: %d",
              serviceName ? serviceName : "", sap, status);
        freeClient(c);  // no link holds it
        return nfcStatusFailed;
    }
    if (c->asynchronous) {
        *hClient = c;
        return nfcStatusPending;
    }
    if (p2pServiceWait(*c) != PlatWait::Signaled) {
        TRACE(TRC_ERROR, "SNEP client: ! Timeout connecting to server\n");
        if (p2pServiceGiveUp(*c)) freeClient(c);
        return nfcStatusFailed;
    }
    if (c->status != nfcStatusOk) {
        const NfcApiStatus failed = c->status;
        if (p2pServiceGiveUp(*c)) freeClient(c);
        return failed;
    }
    *hClient = c;
    return nfcStatusOk;
}

CORVANE_API NfcApiStatus snepPut(SnepClientHandle hClient, const BYTE* ndef, DWORD length) {
    TRACE(TRC_API, "SNEP client: PUT request %p, NDEF length = %d", static_cast<const void*>(ndef), length);
    TSnepClient* c = checkClient(hClient);
    if (!c || (!ndef && length)) return nfcStatusBadParameter;
    if (blocksEventThread(c)) return nfcStatusWrongState;
    return waitOutcome(c, beginRequest(c, kKindPut, ndef, length, nullptr, 0), "SNEP client: ! Timeout transmitting data\n");
}

CORVANE_API NfcApiStatus snepGet(SnepClientHandle hClient, const BYTE* request, DWORD length, BYTE* output,
                                 DWORD* acceptableLength) {
    TSnepClient* c = checkClient(hClient);
    if (!c || !output || !acceptableLength || (!request && length)) return nfcStatusBadParameter;
    TRACE(TRC_API, "SNEP client: GET request, NDEF length = %d, acceptable length = %d", length, *acceptableLength);
    if (blocksEventThread(c)) return nfcStatusWrongState;
    const NfcApiStatus status = waitOutcome(c, beginRequest(c, kKindGet, request, length, output, *acceptableLength),
                                            "SNEP client: ! Timeout transmitting data\n");
    if (status == nfcStatusOk && !c->asynchronous) *acceptableLength = c->rx.ndefLength;
    return status;
}

CORVANE_API NfcApiStatus snepTransfer(SnepClientHandle hClient, TSnepTransferEntry* entries, DWORD count) {
    TSnepClient* c = checkClient(hClient);
    if (!c || !entries || !count) return nfcStatusBadParameter;
    for (DWORD i = 0; i < count; ++i)
        if (entries[i].kind != SNEP_TRANSFER_GET && entries[i].kind != SNEP_TRANSFER_PUT) return nfcStatusBadParameter;
    if (blocksEventThread(c)) return nfcStatusWrongState;
    c->batch = entries;
    c->batchCount = count;
    c->batchIndex = 0;
    const NfcApiStatus started = startEntry(c);
    if (started != nfcStatusPending) c->batch = nullptr;
    return waitOutcome(c, started, "SNEP client: ! Timeout transmitting data\n");
}

CORVANE_API NfcApiStatus snepDisconnect(SnepClientHandle hClient) {
    TRACE(TRC_API, "SNEP client: DISCONNECT request");
    TSnepClient* c = checkClient(hClient);
    if (!c) return nfcStatusBadParameter;
    if (c->state == C_INIT) return nfcStatusOk;
    if (blocksEventThread(c)) return nfcStatusWrongState;
    const int previous = c->state;
    setState(c, C_DISCONNECTING);
    const NfcApiStatus status = p2pOps().disconnectRequest(c->connection);
    if (status != nfcStatusOk) {
        TRACE(TRC_ERROR, "SNEP client: ! Disconnect failed: %d", status);
        setState(c, previous);
        return nfcStatusFailed;
    }
    return waitOutcome(c, nfcStatusPending, "SNEP client: ! Timeout disconnecting from server\n");
}

CORVANE_API NfcApiStatus snepReleaseClient(SnepClientHandle hClient) {
    TRACE(TRC_API, "SNEP client: RELEASE request");
    TSnepClient* c = checkClient(hClient);
    if (!c) return nfcStatusBadParameter;
    // A link that still names the record is disconnected; its final event frees the record.
    if (p2pServiceGiveUp(*c)) freeClient(c);
    return nfcStatusOk;
}
