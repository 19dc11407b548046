// The nfcP2P calls the peer services (SNEP, NPP, handover) make, behind one table, and the
// service record base they share: magic, semaphore of the synchronous calls, dead-marking.
// Tests swap the table for a scripted peer and a wait that does not take ten seconds.
#pragma once

#include <atomic>
#include <cstdint>

#include "corvane.h"
#include "platform.h"

struct TP2pOps {
    NfcApiStatus (*connectRequest)(NfcListenerHandle, void*, TNfcEventCallback, DWORD, DWORD, BYTE, const char*,
                                   P2pLinkHandle*);
    NfcApiStatus (*listenRequest)(NfcHandle, void*, TNfcEventCallback, DWORD, DWORD, DWORD, BYTE, const char*,
                                  P2pLinkHandle*);
    NfcApiStatus (*connectResponse)(P2pLinkHandle, void*, TNfcEventCallback);
    NfcApiStatus (*disconnectRequest)(P2pLinkHandle);
    NfcApiStatus (*dataRequest)(P2pLinkHandle, const BYTE*, DWORD);
    NfcApiStatus (*dataResponse)(P2pLinkHandle);
    // The controller's largest LLCP frame, 0 when it is not known.
    DWORD (*llcpFrameSize)(NfcHandle);
    // True on the thread that delivers P2P events, where a synchronous call would dead-lock.
    bool (*onEventThread)();
    // The wait of a synchronous call, given the milliseconds the call allows.
    PlatWait (*wait)(PlatSemaphore& semaphore, uint32_t timeoutMs);
};

const TP2pOps& p2pOps();
// Null restores the library's own table.
void p2pSetOps(const TP2pOps* ops);

constexpr uint32_t P2P_SERVICE_WAIT_MS = 10000;

// The head of every client and server record of the services.
struct TP2pService {
    uint32_t magic = 0;
    PlatSemaphore semaphore;         // synchronous calls wait on it; the event handler releases it
    P2pLinkHandle connection = nullptr;  // written by the caller's thread only
    std::atomic<bool> ended{false};  // the link had its final event and no longer names the record
    std::atomic<bool> dead{false};   // given up by its caller; its events are no longer handled
    std::atomic<int> holds{2};       // the caller's and the link's
};

// A record is held by its caller and by its link (from the connect request to the link's final
// event) and freed by whichever lets go last. The caller may let go while the link still runs (a
// time-out, a release while connected): the link is then disconnected and its events only
// awaited.
// Drops one hold: true when it was the last and the record is to be freed.
inline bool p2pServiceDrop(TP2pService& service) { return service.holds.fetch_sub(1, std::memory_order_acq_rel) == 1; }
// The caller lets go: true when the record is to be freed now.
bool p2pServiceGiveUp(TP2pService& service);
// Events after which the link no longer names the record.
inline bool p2pServiceFinalEvent(DWORD event) {
    return event == nfcEventConnectFailed || event == nfcEventDisconnected || event == nfcEventHangupTerminated;
}
// Waits for the event handler: Signaled, or Timeout once the service's wait ran out.
PlatWait p2pServiceWait(TP2pService& service);
void p2pServiceSignal(TP2pService& service);
