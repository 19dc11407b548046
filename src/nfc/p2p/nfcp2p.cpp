// The P2P records and the primitives that come back for them: each turns into an event of the
// record's callback with a TP2pConnection built for it. A record freed during an upcall stays
// allocated until no upcall runs, whatever thread asks for the deferred free.
#include "p2p/nfcp2p.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <set>

#include "api/nfcapi_init.h"
#include "core/nfaceregistry.h"
#include "core/nfcmgr.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kCauseBase = 0x400;
constexpr int kLeakRound = 8;

struct CauseStatus {
    uint16_t cause;
    NfcApiStatus status;
};
constexpr CauseStatus kCauseStatus[] = {{0, 0},   {1, 23},  {5, 10},  {7, 11},     {19, 8},
                                        {22, 19}, {23, 20}, {26, 25}, {28, 2},     {0x30F, 12}};

PlatLock& lockOf(int which) {
    static PlatLock locks[3];
    static const bool made = (locks[0].create(), locks[1].create(), locks[2].create(), true);
    (void)made;
    return locks[which];
}
PlatLock& recordLock() { return lockOf(0); }   // the live records
PlatLock& listLock() { return lockOf(1); }     // the active-listener list
PlatLock& freeLock() { return lockOf(2); }     // the deferred-free list and the upcall count

std::set<TP2pLink*>& records() {
    static std::set<TP2pLink*> all;
    return all;
}
std::vector<TP2pLink*>& listeners() {
    static std::vector<TP2pLink*> list;
    return list;
}
std::vector<TP2pLink*>& freed() {
    static std::vector<TP2pLink*> list;
    return list;
}
int g_upcalls = 0; // under freeLock

// Counts an upcall while it runs: the deferred free waits for none to run.
struct UpcallScope {
    UpcallScope() {
        PlatLockGuard g(freeLock());
        ++g_upcalls;
    }
    ~UpcallScope() {
        PlatLockGuard g(freeLock());
        --g_upcalls;
    }
};

// The record's first word is the link context, except for event 12, which names the new link.
void signal(TP2pLink* link, uint32_t event, const TP2pConnection& record) {
    TP2pConnection copy = record;
    TNfcEventCallback callback;
    {
        PlatLockGuard g(recordLock());
        callback = link->callback;
        if (event != nfcEventConnectIndication) copy.context = link->context;
    }
    if (!callback) return;
    callback(link->instance ? link->instance->context : nullptr, event, link->listenerContext, &copy);
}

TP2pConnection withCause(uint32_t cause) {
    TP2pConnection c{};
    c.cause = cause & 0xFFFFu;
    return c;
}

TP2pConnection connectedRecord(const TP2pLink* link) {
    TP2pConnection c{};
    c.connected = TP2pConnected{link->remoteWindow, link->remoteMiu, link->localSap, link->remoteSap};
    return c;
}

void end(TP2pLink* link, uint32_t event, uint16_t cause) {
    link->state = P2P_CLOSED;
    signal(link, event, withCause(cause));
    p2pFreeLink(link);
}

void signalDisconnected(TP2pLink* link, uint16_t cause) {
    TRACE(TRC_API, "! %s: with hLink %p and context %p", "p2pSignalDisconnected", link->lower, link->context);
    end(link, nfcEventDisconnected, cause);
}

void signalHangupTerminated(TP2pLink* link, uint16_t cause) {
    TRACE(TRC_API, "! %s: with hLink %p and context %p", "p2pSignalHangupTerminated", link->lower, link->context);
    end(link, nfcEventHangupTerminated, cause);
}

// The record an upward primitive is for. A connection accepted on a listener is still named by
// its listener until the application answers it: its LLCP link tells it apart.
TP2pLink* recordFor(void* upper, void* lower) {
    PlatLockGuard g(recordLock());
    auto* link = static_cast<TP2pLink*>(upper);
    if (!records().count(link) || link->magic == P2P_MAGIC_FREED) return nullptr;
    if (!link->listenerMarker || !lower || link->lower == lower) return link;
    for (TP2pLink* other : records())
        if (other->lower == lower && other->magic == P2P_MAGIC_CONNECTION) return other;
    return link;
}

void onConnectConfirmation(const TNfaceLlcpLinkCause& p) {
    TP2pLink* link = recordFor(p.hApp, nullptr);
    if (!link || link->magic != P2P_MAGIC_CONNECTION) {
        TRACE(TRC_ERROR, "! p2pOnConnectConfirmation, invalid link reference %p", p.hApp);
        return;
    }
    if (p.cause == 0) {
        link->lower = p.hLink;
        TRACE(TRC_API, "Register lower instance %p for link %p", p.hLink, static_cast<void*>(link));
        signal(link, nfcEventConnectProceeding, withCause(0));
        return;
    }
    TRACE(TRC_API, "Active connection failed, cause 0x%X, pLink %p is now invalid", p.cause,
          static_cast<void*>(link));
    end(link, nfcEventConnectFailed, p.cause);
}

// A listener's accepted connection becomes a record of its own, announced with event 12.
void signalConnected(TP2pLink* link, void* lower) {
    p2pDeferredLinkFree();
    if (link->listenerMarker) {
        TP2pLink* accepted = p2pAllocLink(P2P_MAGIC_CONNECTION, 0);
        if (!accepted) {
            TRACE(TRC_ERROR, "! p2p: no memory for the connection of listener %p", static_cast<void*>(link));
            return;
        }
        accepted->instance = link->instance;
        accepted->listener = link->listener;
        accepted->context = link->context;
        accepted->callback = link->callback;
        accepted->window = link->window;
        accepted->miu = link->miu;
        accepted->localSap = link->localSap;
        accepted->sap = link->sap;
        accepted->remoteSap = link->remoteSap;
        accepted->remoteMiu = link->remoteMiu;
        accepted->remoteWindow = link->remoteWindow;
        accepted->listenerContext = link->listenerContext;
        accepted->lower = lower;
        accepted->state = P2P_CONNECTED;
        TP2pConnection c = connectedRecord(accepted);
        c.newConnection = accepted;
        signal(link, nfcEventConnectIndication, c);
        return;
    }
    p2pPut(link->instance, nfaceMsgMake<NFACE_NFC_LLCP_CON_ACT_RESP>({link, lower}));
    // A socket is connected from the start, and its application may already be sending on it.
    if (link->state != P2P_CONNECTED) link->state = P2P_CONNECTED;
    TRACE(TRC_API, "p2p: Signal connected (miu %d,%d, sap 0x%X)", link->miu, link->remoteMiu, link->remoteSap);
    signal(link, nfcEventConnected, connectedRecord(link));
}

void onConnectActiveIndication(const TNfaceLlcpConActInd& p) {
    TP2pLink* link = recordFor(p.hApp, nullptr);
    if (!link) {
        TRACE(TRC_ERROR, "! p2pOnConnectActiveIndication, invalid link reference %p", p.hApp);
        return;
    }
    // A socket has no one peer SAP, and its data handles run on from its first send.
    if (!link->connectionless) {
        link->localSap = p.ssap;
        link->remoteWindow = p.remoteWindow;
        link->remoteMiu = p.remoteMiu;
        link->remoteSap = p.dsap;
        link->dataHandle = 0;
    }
    TRACE(TRC_API, "p2p: connect active pLink %p, miu %d, window size %d", static_cast<void*>(link), p.remoteMiu,
          p.remoteWindow);
    signalConnected(link, p.hLink);
}

void onListenConfirmation(const TNfaceLlcpLinkCause& p) {
    TP2pLink* link = recordFor(p.hApp, nullptr);
    if (!link) return;
    if (p.cause == 0) {
        link->lower = p.hLink;
        TRACE(TRC_API, "p2p: Register lower instance %p for link %p", p.hLink, static_cast<void*>(link));
    } else {
        TRACE(TRC_API, "p2p: Passive connection failed, cause 0x%X, pLink %p is now invalid", p.cause,
              static_cast<void*>(link));
    }
}

void onDisconnectConfirmation(const TNfaceLlcpLinkCause& p) {
    TP2pLink* link = recordFor(p.hApp, p.hLink);
    if (!link) return;
    if (link->state == P2P_CONNECT_PENDING || link->state == P2P_LISTENING)
        signalDisconnected(link, p.cause);
    else if (link->state == P2P_DISCONNECT_PENDING && p.cause != 0)
        signalHangupTerminated(link, p.cause);
}

void onDisconnectIndication(TNfcApiInstance* instance, const TNfaceLlcpLinkCause& p) {
    TP2pLink* link = recordFor(p.hApp, p.hLink);
    if (!link) {
        TRACE(TRC_ERROR, "! p2pOnDisconnectIndication, invalid link reference %p", p.hApp);
        // The record went first (its application is being destroyed): LLCP still holds the
        // link until it is answered.
        if (instance && p.hLink) p2pPut(instance, nfaceMsgMake<NFACE_NFC_LLCP_DISC_RESP>({p.hLink}));
        return;
    }
    p2pPut(link->instance, nfaceMsgMake<NFACE_NFC_LLCP_DISC_RESP>({p.hLink}));
    if (link->state == P2P_DISCONNECT_PENDING)
        signalHangupTerminated(link, p.cause);
    else if (link->state == P2P_CONNECTED)
        signalDisconnected(link, p.cause);
    else
        end(link, nfcEventConnectFailed, p.cause);
}

void onDataIndication(const TNfaceLlcpDataInd& p) {
    TP2pLink* link = recordFor(p.hApp, p.hLink);
    if (!link) return;
    if (link->state != P2P_CONNECTED) {
        // Its receive buffer goes back, or the LLCP link would soon turn busy for good.
        TRACE(TRC_ERROR, "! data indication in in invalid state 0x%X", static_cast<unsigned>(link->state));
        p2pPut(link->instance, nfaceMsgMake<NFACE_NFC_LLCP_DATA_RESP>({p.hLink, p.handle}));
        return;
    }
    TP2pConnection c{};
    c.data = TP2pData{const_cast<BYTE*>(p.data), p.length, p.ssap};
    signal(link, nfcEventDataIndication, c);
}

// The caller's buffer is free again either way; a non-zero cause says its data were not sent.
void onDataConfirmation(const TNfaceLlcpDataConf& p) {
    TP2pLink* link = recordFor(p.hApp, p.hLink);
    if (link) signal(link, nfcEventDataTransmitted, withCause(p.cause));
}

} // namespace

TP2pLink* p2pAllocLink(uint32_t magic, size_t areaSize) {
    auto* link = new (std::nothrow) TP2pLink{};
    if (!link) return nullptr;
    try {
        link->area.assign(areaSize, 0);
    } catch (const std::bad_alloc&) {
        delete link;
        return nullptr;
    }
    link->magic = magic;
    TRACE(TRC_API, "p2pAllocLink %p, link size %d", static_cast<void*>(link),
          static_cast<int>(sizeof(TP2pLink) + areaSize));
    PlatLockGuard g(recordLock());
    records().insert(link);
    return link;
}

void p2pFreeLink(TP2pLink* link) {
    {
        // The worker may end a link while its going application frees what it has left: the
        // record is marked and listed for the deferred free once, or it would be deleted twice.
        PlatLockGuard g(recordLock());
        if (link->magic == P2P_MAGIC_FREED) return;
        link->magic = P2P_MAGIC_FREED;
    }
    {
        PlatLockGuard g(listLock());
        if (link->listed) {
            auto& list = listeners();
            list.erase(std::remove(list.begin(), list.end(), link), list.end());
            link->listed = 0;
        }
    }
    TRACE(TRC_API, "p2pFreeLink: link %p marked for destruction", static_cast<void*>(link));
    PlatLockGuard g(freeLock());
    freed().push_back(link);
}

void p2pDeferredLinkFree() {
    std::vector<TP2pLink*> doomed;
    {
        PlatLockGuard g(freeLock());
        if (g_upcalls > 0) return;
        doomed.swap(freed());
    }
    std::vector<TP2pLink*> held;
    for (TP2pLink* link : doomed) {
        {
            PlatLockGuard g(recordLock());
            if (link->calls) {
                held.push_back(link);
                continue;
            }
            records().erase(link);
        }
        TRACE(TRC_API, "p2pDeferredLinkFree: link %p deleted", static_cast<void*>(link));
        delete link;
    }
    if (held.empty()) return;
    PlatLockGuard g(freeLock());
    freed().insert(freed().end(), held.begin(), held.end());
}

void p2pHoldLink(TP2pLink* link) {
    PlatLockGuard g(recordLock());
    ++link->calls;
}

bool p2pLetGoLink(TP2pLink* link) {
    PlatLockGuard g(recordLock());
    --link->calls;
    return link->magic == P2P_MAGIC_FREED;
}

TP2pLink* p2pCheckLink(const void* handle, uint32_t magic, uint32_t alternative) {
    PlatLockGuard g(recordLock());
    auto* link = static_cast<TP2pLink*>(const_cast<void*>(handle));
    if (handle && records().count(link) && (link->magic == magic || (alternative && link->magic == alternative)))
        return link;
    TRACE(TRC_ERROR, "! invalid P2P connection handle hConnection %p", handle);
    return nullptr;
}

void p2pListAdd(TP2pLink* link) {
    PlatLockGuard g(listLock());
    listeners().push_back(link);
    link->listed = 1;
}

void p2pSetCallback(TP2pLink* link, void* context, TNfcEventCallback callback) {
    PlatLockGuard g(recordLock());
    link->context = context;
    link->callback = callback;
}

void p2pFreeListenersFromInstance(TNfcApiInstance* instance) {
    TRACE(TRC_API, "p2pFreeListenersFromInstance: cleanup for leaking listeners, pInst = %p",
          static_cast<void*>(instance));
    std::vector<TP2pLink*> leaking;
    {
        PlatLockGuard g(recordLock());
        for (TP2pLink* link : records())
            if (link->instance == instance && link->magic != P2P_MAGIC_FREED && link->state != P2P_CLOSED &&
                link->state != P2P_DISCONNECT_PENDING)
                leaking.push_back(link);
    }
    for (size_t i = 0; i < leaking.size(); ++i) {
        TP2pLink* link = leaking[i];
        TRACE(TRC_API, link->listenerMarker ? "p2p Listenserver %p is leaking. will disconnect now."
                                            : "p2p connection %p is leaking. will disconnect now.",
              static_cast<void*>(link));
        p2pDisconnectRequest(link);
        if (i + 1 == kLeakRound) TRACE(TRC_API, "p2pFreeListenersFromInstance: next round");
    }
    // The application goes: what its links would still have told it can reach nobody.
    std::vector<TP2pLink*> left;
    {
        PlatLockGuard g(recordLock());
        for (TP2pLink* link : records())
            if (link->instance == instance && link->magic != P2P_MAGIC_FREED) left.push_back(link);
    }
    for (TP2pLink* link : left) {
        link->state = P2P_CLOSED;
        p2pFreeLink(link);
    }
    p2pDeferredLinkFree();
    TRACE(TRC_API, "p2pFreeListenersFromInstance: cleanup done");
}

void p2pDone() {
    std::vector<TP2pLink*> all;
    {
        PlatLockGuard g(recordLock());
        all.assign(records().begin(), records().end());
        records().clear();
    }
    {
        PlatLockGuard g(listLock());
        listeners().clear();
    }
    {
        PlatLockGuard g(freeLock());
        freed().clear();
    }
    for (TP2pLink* link : all) delete link;
}

NfcApiStatus p2pPut(TNfcApiInstance* instance, TnfcapiMsg message) {
    const NfaceEntryTable* table = nfcapiEntryTable();
    void* hApp = nullptr;
    if (instance) {
        PlatLockGuard g(instance->lock);
        hApp = instance->hApp;
    }
    if (!table || !hApp || table->putMessage(hApp, &message) != nfcStatusOk) {
        TRACE(TRC_ERROR, "nfcapi: putMessage failed ! ");
        return nfcStatusBadParameter;
    }
    return nfcStatusPending;
}

NfcApiStatus p2pCauseToStatus(uint16_t cause) {
    const uint16_t plain = cause >= kCauseBase ? static_cast<uint16_t>(cause - kCauseBase) : cause;
    for (const CauseStatus& row : kCauseStatus)
        if (row.cause == plain) return row.status;
    return nfcStatusFailed;
}

void p2pOnUpcall(TNfcApiInstance* instance, const TnfcapiMsg& m) {
    UpcallScope scope;
    switch (m.code) {
        case NFACE_NFC_LLCP_CON_CONF: onConnectConfirmation(nfaceMsgGet<NFACE_NFC_LLCP_CON_CONF>(m)); break;
        case NFACE_NFC_LLCP_CON_ACT_IND: onConnectActiveIndication(nfaceMsgGet<NFACE_NFC_LLCP_CON_ACT_IND>(m)); break;
        case NFACE_NFC_LLCP_LISTEN_CONF: onListenConfirmation(nfaceMsgGet<NFACE_NFC_LLCP_LISTEN_CONF>(m)); break;
        case NFACE_NFC_LLCP_DISC_CONF: onDisconnectConfirmation(nfaceMsgGet<NFACE_NFC_LLCP_DISC_CONF>(m)); break;
        case NFACE_NFC_LLCP_DISC_IND: onDisconnectIndication(instance, nfaceMsgGet<NFACE_NFC_LLCP_DISC_IND>(m)); break;
        case NFACE_NFC_LLCP_DATA_CONF: onDataConfirmation(nfaceMsgGet<NFACE_NFC_LLCP_DATA_CONF>(m)); break;
        case NFACE_NFC_LLCP_DATA_IND: onDataIndication(nfaceMsgGet<NFACE_NFC_LLCP_DATA_IND>(m)); break;
        default: break;
    }
}

NfcApiStatus p2pDisconnectRequest(void* hConnection) {
    TP2pLink* link = p2pCheckLink(hConnection, P2P_MAGIC_CONNECTION, P2P_MAGIC_SOCKET);
    if (!link) return nfcStatusInvalidHandle;
    switch (link->state) {
        case P2P_CONNECT_PENDING:
        case P2P_CONNECTED:
        case P2P_LISTENING: {
            if (link->state != P2P_LISTENING && nfcmanP2pRawMode() == 1) {
                // No disconnection is confirmed in this mode: the record would never be freed.
                link->state = P2P_CLOSED;
                p2pFreeLink(link);
                return nfcStatusOk;
            }
            int32_t before = link->state;
            if (!link->state.compare_exchange_strong(before, P2P_DISCONNECT_PENDING)) return nfcStatusWrongState;
            if (p2pPut(link->instance, nfaceMsgMake<NFACE_NFC_LLCP_DISC_REQ>({link, link->lower})) !=
                nfcStatusPending) {
                link->state = before;
                return nfcStatusFailed;
            }
            return nfcStatusOk;
        }
        default:
            TRACE(TRC_ERROR, "P2P ! invalid state 0x%X for disconnect", static_cast<unsigned>(link->state));
            return nfcStatusWrongState;
    }
}
