// The library's own table of nfcP2P calls and the service record base.
#include "p2p/p2pops.h"

#include "api/nfcapi_init.h"

namespace {

DWORD capabilityFrameSize(NfcHandle hNfc) {
    TNfcCapabilities capabilities{};
    if (nfcGetCapabilities(hNfc, &capabilities, NFC_CAPABILITIES_SIZE(1)) != nfcStatusOk ||
        !capabilities.controllerCount || !capabilities.controller)
        return 0;
    return capabilities.controller->maxLlcpFrameSize;
}

PlatWait semaphoreWait(PlatSemaphore& semaphore, uint32_t timeoutMs) { return semaphore.wait(timeoutMs); }

const TP2pOps kLibraryOps = {
    nfcP2PConnectRequest, nfcP2PListenRequest, nfcP2PConnectResponse, nfcP2PDisconnectRequest,
    nfcP2PDataRequest,    nfcP2PDataResponse,
    capabilityFrameSize,
    nfcapiOnWorkerThread,
    semaphoreWait,
};

std::atomic<const TP2pOps*> gOps{&kLibraryOps};

}  // namespace

const TP2pOps& p2pOps() { return *gOps.load(std::memory_order_acquire); }

void p2pSetOps(const TP2pOps* ops) { gOps.store(ops ? ops : &kLibraryOps, std::memory_order_release); }

bool p2pServiceGiveUp(TP2pService& service) {
    service.dead.store(true, std::memory_order_release);
    if (service.connection && !service.ended.load(std::memory_order_acquire))
        p2pOps().disconnectRequest(service.connection);
    return p2pServiceDrop(service);
}

PlatWait p2pServiceWait(TP2pService& service) { return p2pOps().wait(service.semaphore, P2P_SERVICE_WAIT_MS); }

void p2pServiceSignal(TP2pService& service) { service.semaphore.release(); }
