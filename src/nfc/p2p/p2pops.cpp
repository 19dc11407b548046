// The library's own table of nfcP2P calls and the service record base.
#include "p2p/p2pops.h"

#include "api/nfcapi_init.h"

// The connection exports come with the P2P connections; until they are linked in, a service
// call finds them missing and fails like a put that could not be posted.
#pragma weak nfcP2PConnectRequest
#pragma weak nfcP2PListenRequest
#pragma weak nfcP2PConnectResponse
#pragma weak nfcP2PDisconnectRequest
#pragma weak nfcP2PDataRequest
#pragma weak nfcP2PDataResponse

namespace {

template <auto Export, typename... A>
NfcApiStatus callExport(A... args) {
    return Export ? Export(args...) : NfcApiStatus{nfcStatusFailed};
}

DWORD capabilityFrameSize(NfcHandle hNfc) {
    TNfcCapabilities capabilities{};
    if (nfcGetCapabilities(hNfc, &capabilities, NFC_CAPABILITIES_SIZE(1)) != nfcStatusOk ||
        !capabilities.controllerCount || !capabilities.controller)
        return 0;
    return capabilities.controller->maxLlcpFrameSize;
}

PlatWait semaphoreWait(PlatSemaphore& semaphore, uint32_t timeoutMs) { return semaphore.wait(timeoutMs); }

const TP2pOps kLibraryOps = {
    [](NfcListenerHandle l, void* c, TNfcEventCallback cb, DWORD w, DWORD m, BYTE s, const char* n,
       P2pLinkHandle* h) { return callExport<nfcP2PConnectRequest>(l, c, cb, w, m, s, n, h); },
    [](NfcHandle a, void* c, TNfcEventCallback cb, DWORD mc, DWORD w, DWORD m, BYTE s, const char* n,
       P2pLinkHandle* h) { return callExport<nfcP2PListenRequest>(a, c, cb, mc, w, m, s, n, h); },
    [](P2pLinkHandle h, void* c, TNfcEventCallback cb) { return callExport<nfcP2PConnectResponse>(h, c, cb); },
    [](P2pLinkHandle h) { return callExport<nfcP2PDisconnectRequest>(h); },
    [](P2pLinkHandle h, const BYTE* d, DWORD n) { return callExport<nfcP2PDataRequest>(h, d, n); },
    [](P2pLinkHandle h) { return callExport<nfcP2PDataResponse>(h); },
    capabilityFrameSize,
    nfcapiOnWorkerThread,
    semaphoreWait,
};

std::atomic<const TP2pOps*> gOps{&kLibraryOps};

}  // namespace

const TP2pOps& p2pOps() { return *gOps.load(std::memory_order_acquire); }

void p2pSetOps(const TP2pOps* ops) { gOps.store(ops ? ops : &kLibraryOps, std::memory_order_release); }

bool p2pServiceAbandon(TP2pService& service) {
    service.dead.store(true, std::memory_order_release);
    return service.connection && p2pOps().disconnectRequest(service.connection) == nfcStatusOk;
}

PlatWait p2pServiceWait(TP2pService& service) { return p2pOps().wait(service.semaphore, P2P_SERVICE_WAIT_MS); }

void p2pServiceSignal(TP2pService& service) { service.semaphore.release(); }
