// The application side of LLCP links: one record per connection, listener or connectionless
// socket, the LLCP primitives the exports send for them, and the events the primitives that
// come back turn into. Records are freed late, once no upcall can still be reading them.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "core/nfaceapi.h"

constexpr uint16_t P2P_NAME_MAX = 128;
constexpr uint32_t P2P_SOCKET_AREA = 2 * 2 * 2048;
constexpr uint16_t P2P_MIN_MIU = 128;
constexpr uint16_t P2P_MAX_MIU = 2048;
constexpr uint32_t P2P_MAX_WINDOW = 15;

enum P2pState : int32_t {
    P2P_CLOSED = 0,
    P2P_CONNECT_PENDING = 1,
    P2P_LISTENING = 2,
    P2P_DISCONNECT_PENDING = 3,
    P2P_CONNECTED = 4,
};

struct TP2pLink {
    uint32_t magic = 0;
    TNfcApiInstance* instance = nullptr;
    void* listener = nullptr;       // a connection's TNfcListener; a socket itself
    TNfcEventCallback callback = nullptr;
    void* context = nullptr;        // first word of every TP2pConnection of the link
    void* listenerContext = nullptr; // third argument of every event callback of the link
    std::atomic<int32_t> state{P2P_CLOSED}; // exports and upcalls change it on their own threads
    uint32_t listed = 0;            // in the active-listener list
    std::vector<uint8_t> area;      // the receive buffers LLCP cuts
    uint16_t window = 0, miu = 0;
    uint8_t maxConnections = 0, localSap = 0;
    void* lower = nullptr;          // the LLCP link
    uint32_t connectionless = 0;
    uint32_t listenerMarker = 0;    // its connect indications make new connections
    uint8_t dataHandle = 0, sap = 0;
    uint16_t remoteWindow = 0, remoteMiu = 0;
    uint8_t remoteSap = 0;
    uint16_t nameLength = 0;
    char name[P2P_NAME_MAX + 1] = {}; // a copy: the caller's string may go while LLCP still names it
    uint32_t calls = 0;             // exports waiting with it (under the record lock)
};

// ---- Records (nfcp2p.cpp) -------------------------------------------------------------------
// A new record of the magic with a zeroed area of the size; null when memory is short.
TP2pLink* p2pAllocLink(uint32_t magic, size_t areaSize);
// Marks the record freed and leaves it for the deferred free.
void p2pFreeLink(TP2pLink* link);
// Deletes the records freed so far, unless a P2P upcall still runs; one an export still waits
// with stays for a later round.
void p2pDeferredLinkFree();
// An export that waits with a record holds it: whoever frees it meanwhile, it is deleted only
// once the export lets go. Letting go is true when the record was freed meanwhile, and the
// export touches it no more.
void p2pHoldLink(TP2pLink* link);
bool p2pLetGoLink(TP2pLink* link);
// The live record behind a handle whose magic is one of the two (the second may be 0); else null.
TP2pLink* p2pCheckLink(const void* handle, uint32_t magic, uint32_t alternative = 0);
void p2pListAdd(TP2pLink* link);
// The context and callback of the link's events from now on; an event being signalled keeps the old.
void p2pSetCallback(TP2pLink* link, void* context, TNfcEventCallback callback);
void p2pFreeListenersFromInstance(TNfcApiInstance* instance);
// The global reset: every record goes.
void p2pDone();

// ---- Primitives and events ------------------------------------------------------------------
// Sends the primitive on the record's application without waiting: 17 queued, 6 not.
NfcApiStatus p2pPut(TNfcApiInstance* instance, TnfcapiMsg message);
NfcApiStatus p2pCauseToStatus(uint16_t cause);
// The P2P upcalls of the NFACE callback; LISTEN_CONF and SDP_CONF also complete the wait.
void p2pOnUpcall(TNfcApiInstance* instance, const TnfcapiMsg& message);
NfcApiStatus p2pDisconnectRequest(void* hConnection);
