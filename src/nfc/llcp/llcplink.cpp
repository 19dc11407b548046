// The five link records: taking them for listeners and outgoing connections, cloning accepted
// connections off a listener, finding the link a received PDU belongs to, and giving them back.
#include "llcp/llcplm.h"
#include "util/trace.h"

namespace {

const char* modeOf(const TLlcpLink* link) { return (link->flags & LLCP_LINK_CO) ? "CO" : "CLS"; }

bool inUse(const TLlcpLink& link) { return (link.flags & LLCP_LINK_IN_USE) != 0; }
bool connectionOriented(const TLlcpLink& link) { return (link.flags & LLCP_LINK_CO) != 0; }

// Taken: in use, its counters and sequence state fresh, the instance counting one more link.
void take(TLlcp* p, TLlcpLink* link, uint32_t flags) {
    const uint32_t index = link->flags & 0xFFu;
    link->flags = index | LLCP_LINK_IN_USE | flags;
    link->counters[0] = link->counters[1] = link->counters[2] = 0;
    link->vs = link->vr = link->vsa = link->ns = link->nr = link->outstanding = link->nrSent = 0;
    link->queued = 0;
    link->accepted = 0;
    link->rxFree.clear();
    link->rxInUse.clear();
    link->pending.clear();
    link->unacked.clear();
    link->area = nullptr;
    link->blocksUsed = 0;
    link->block = LLCP_NO_BLOCK;
    ++p->linkCount;
}

TLlcpLink* listenerOf(TLlcp* p, uint8_t localSap) {
    for (TLlcpLink& link : p->links)
        if (inUse(link) && connectionOriented(link) && link.localSap == localSap && link.remoteSap == LLCP_NO_SAP &&
            !(link.flags & LLCP_LINK_OUTGOING))
            return &link;
    return nullptr;
}

// An accepted link receives into the first free block of its listener's area.
void giveBlock(TLlcpLink* listener, TLlcpLink* link) {
    if (!listener->area) return;
    const size_t blockSize = size_t{listener->window} * listener->miu;
    for (uint8_t i = 0; i < listener->maxConnections; ++i) {
        if (listener->blocksUsed & (1u << i)) continue;
        listener->blocksUsed |= static_cast<uint16_t>(1u << i);
        link->block = i;
        llcpLinkGiveRxBuffers(link, listener->area + i * blockSize, listener->window, listener->miu);
        return;
    }
}

} // namespace

void llcpLinksInit(TLlcp* p) {
    for (int i = 0; i < LLCP_LINKS; ++i) {
        TLlcpLink& link = p->links[i];
        link = TLlcpLink{};
        link.owner = p;
        link.flags = static_cast<uint32_t>(i);
        link.remoteSap = LLCP_NO_SAP;
    }
}

uint8_t llcpLinkIndex(const TLlcpLink* link) { return static_cast<uint8_t>(link->flags & 0xFFu); }

TLlcpLink* llcpLinkOf(TLlcp* p, const void* handle) {
    for (TLlcpLink& link : p->links)
        if (&link == handle) return &link;
    return nullptr;
}

uint16_t llcpCheckLinkHandle(const TLlcp* p, const void* link, uint32_t app) {
    for (const TLlcpLink& slot : p->links)
        if (&slot == link) return inUse(slot) && slot.app == app ? LLCP_OK : LLCP_BAD_PARAMETER;
    return LLCP_BAD_PARAMETER;
}

void nfcllcpChangeState(TLlcpLink* link, uint32_t state) {
    TRACE(LLCP_TRACE, "nfcllcpChangeState: 0x%X -> 0x%X", link->state, state);
    link->state = state;
}

TLlcpLink* nfcllcpGetNextFreeLink(TLlcp* p) {
    for (TLlcpLink& link : p->links)
        if (!inUse(link)) return &link;
    TRACE(TRC_ERROR, "!! %s: no more free links", "nfcllcpGetNextFreeLink");
    return nullptr;
}

uint16_t nfcllcpAllocListenLink(TLlcp* p, TLlcpLink** out, uint32_t app, void* upper, uint8_t sap, const char* name,
                                uint8_t nameLength, bool co) {
    constexpr char fn[] = "nfcllcpAllocListenLink";
    TRACE(LLCP_TRACE, "%s: SAP=0x%X, mode=%s", fn, sap, co ? "CO" : "CLS");
    *out = nullptr;
    for (const TLlcpLink& link : p->links)
        if (inUse(link) && link.localSap == sap && link.remoteSap == LLCP_NO_SAP && connectionOriented(link) == co) {
            TRACE(TRC_ERROR, "!! %s: SAP=0x%X already in use", fn, sap);
            return LLCP_SAP_IN_USE;
        }
    TLlcpLink* link = nfcllcpGetNextFreeLink(p);
    if (!link) {
        TRACE(TRC_ERROR, "!! %s: no free link for SAP=0x%X", fn, sap);
        return LLCP_NO_RESOURCES;
    }
    const uint16_t result = nfcLlcpAllocSapForListen(p, &sap, name, nameLength);
    if (result != LLCP_OK) return result;
    take(p, link, co ? uint32_t{LLCP_LINK_CO} : 0u);
    link->app = app;
    link->upper = upper;
    link->localSap = sap;
    link->remoteSap = link->firstRemoteSap = LLCP_NO_SAP;
    nfcllcpChangeState(link, co ? LLCP_STATE_IDLE : LLCP_STATE_CONNECTED);
    TRACE(LLCP_TRACE, "%s: initialized link with SAP=0x%X", fn, sap);
    *out = link;
    return LLCP_OK;
}

uint16_t nfcllcpAllocConLink(TLlcp* p, TLlcpLink** out, uint32_t app, void* upper, uint8_t remoteSap, const char* name,
                             uint8_t nameLength) {
    constexpr char fn[] = "nfcllcpAllocConLink";
    TRACE(LLCP_TRACE, "%s: SAP=0x%X, mode=%s", fn, remoteSap, "CO");
    *out = nullptr;
    if (name && nameLength) {
        if (remoteSap > LLCP_SAP_SDP) {
            TRACE(TRC_ERROR, "! %s: It is not allowed to specify a sap and a service name", fn);
            return LLCP_BAD_PARAMETER;
        }
        remoteSap = LLCP_SAP_SDP;
    }
    for (const TLlcpLink& link : p->links)
        if (inUse(link) && connectionOriented(link) && link.remoteSap == remoteSap && link.upper == upper) {
            TRACE(TRC_ERROR, "!! %s: SAP=0x%X already in use", fn, remoteSap);
            return LLCP_SAP_IN_USE;
        }
    TLlcpLink* link = nfcllcpGetNextFreeLink(p);
    if (!link) {
        TRACE(TRC_ERROR, "!! %s: no free link for SAP=0x%X", fn, remoteSap);
        return LLCP_NO_RESOURCES;
    }
    const uint8_t localSap = nfcLlcpAllocSapForConnection(p, nullptr, 0);
    if (localSap == LLCP_NO_SAP) return LLCP_NO_RESOURCES;
    take(p, link, LLCP_LINK_CO | LLCP_LINK_OUTGOING);
    link->localSap = localSap;
    link->app = app;
    link->remoteSap = link->firstRemoteSap = remoteSap;
    link->upper = upper;
    nfcllcpChangeState(link, LLCP_STATE_IDLE);
    *out = link;
    return LLCP_OK;
}

void nfcllcpReleaseLink(TLlcp* p, TLlcpLink* link) {
    constexpr char fn[] = "nfcllcpReleaseLink";
    TRACE(LLCP_TRACE, "%s: sSAP=0x%X dSAP=0x%X, mode=%s", fn, link->localSap, link->remoteSap, modeOf(link));
    if (!inUse(*link)) {
        TRACE(TRC_ERROR, "!! %s: trying to release unused link", fn);
        return;
    }
    llcpStopTimer(p, LLCP_TIMER_ACK, llcpLinkIndex(link));
    const int deleted = link->pending.count + nfcllcpLMDiscardLinkData(p, link, 0);
    TRACE(LLCP_TRACE, "LLCP: nfcllcpLMDiscardLinkData %d elements deleted", deleted);
    link->pending.clear();
    link->unacked.clear();
    const bool accepted =
        connectionOriented(*link) && !(link->flags & LLCP_LINK_OUTGOING) && link->remoteSap != LLCP_NO_SAP;
    if (accepted) {
        TLlcpLink* listener = listenerOf(p, link->localSap);
        if (!listener) {
            TRACE(TRC_ERROR, "!! %s: no mother listening SAP found", fn);
        } else {
            if (link->rxFree.empty() && link->rxInUse.empty())
                TRACE(TRC_ERROR, "!! %s: no buffer associated, strange !!!", fn);
            if (link->block != LLCP_NO_BLOCK) listener->blocksUsed &= static_cast<uint16_t>(~(1u << link->block));
            if (listener->accepted) --listener->accepted;
            if (listener->accepted == 0 && listener->state == LLCP_STATE_DISCONNECTING) {
                llcpFreeSap(p, listener->localSap);
                llcpSendDiscInd(p, listener, LLCP_OK);
            }
        }
    }
    link->flags &= 0xFFu;
    --p->linkCount;
    link->state = LLCP_STATE_FREE;
    link->remoteSap = LLCP_NO_SAP;
}

TLlcpLink* nfcllcpCloneListenLink(TLlcp* p, TLlcpLink* listener, TLlcpLink* link, uint8_t remoteSap) {
    constexpr char fn[] = "nfcllcpCloneListenLink";
    if (listener->accepted >= listener->maxConnections) {
        TRACE(TRC_ERROR, "!! %s: no more BufferPointers on Listener, sSAP=0x%X, dSAP=0x%X, mode=%s", fn,
              listener->localSap, remoteSap, modeOf(listener));
        return nullptr;
    }
    ++listener->accepted;
    TRACE(LLCP_TRACE, " %s: clone %p to %p dsap=0x%X", fn, static_cast<void*>(listener), static_cast<void*>(link),
          remoteSap);
    take(p, link, LLCP_LINK_CO);
    link->window = listener->window;
    link->miu = listener->miu;
    link->localSap = listener->localSap;
    link->app = listener->app;
    link->upper = listener->upper;
    link->remoteSap = link->firstRemoteSap = remoteSap;
    giveBlock(listener, link);
    link->state = LLCP_STATE_IDLE;
    return link;
}

TLlcpLink* nfcllcpFindLinkForCON(TLlcp* p, uint8_t localSap, uint8_t remoteSap) {
    constexpr char fn[] = "nfcllcpFindLinkForCON";
    // A link already bound to the peer's SAP handles the CONNECT itself (both sides connecting).
    for (TLlcpLink& link : p->links)
        if (inUse(link) && connectionOriented(link) && link.localSap == localSap && link.remoteSap == remoteSap)
            return &link;
    TLlcpLink* listener = listenerOf(p, localSap);
    if (!listener) {
        TRACE(TRC_ERROR, "!! %s: no listener found, sSAP=0x%X, dSAP=0x%X, mode=%s", fn, localSap, remoteSap, "CO");
        return nullptr;
    }
    if (listener->accepted >= listener->maxConnections) {
        TRACE(TRC_ERROR, "!! %s: no more free links for link 0x%X, sSAP=0x%X, dSAP=0x%X, mode=%s", fn,
              llcpLinkIndex(listener), localSap, remoteSap, "CO");
        return nullptr;
    }
    if (listener->state == LLCP_STATE_DISCONNECTING) return nullptr;
    TLlcpLink* link = nfcllcpGetNextFreeLink(p);
    return link ? nfcllcpCloneListenLink(p, listener, link, remoteSap) : nullptr;
}

TLlcpLink* nfcllcpFindLinkForCC(TLlcp* p, uint8_t localSap, uint8_t remoteSap) {
    for (TLlcpLink& link : p->links)
        if (inUse(link) && connectionOriented(link) && (link.flags & LLCP_LINK_OUTGOING) &&
            (link.state == LLCP_STATE_CONNECTING || link.state == LLCP_STATE_DISCONNECTING) &&
            link.localSap == localSap) {
            link.remoteSap = link.firstRemoteSap = remoteSap;
            return &link;
        }
    for (TLlcpLink& link : p->links)
        if (inUse(link) && connectionOriented(link) && link.localSap == localSap && link.remoteSap == remoteSap)
            return &link;
    TRACE(LLCP_TRACE, "%s: link not found, sSAP=0x%X, dSAP=0x%X, mode=%s", "nfcllcpFindLinkForCC", localSap, remoteSap,
          "CO");
    return nullptr;
}

TLlcpLink* nfcllcpFindLink(TLlcp* p, uint8_t remoteSap, uint8_t localSap) {
    for (TLlcpLink& link : p->links)
        if (inUse(link) && connectionOriented(link) && link.localSap == localSap && link.remoteSap == remoteSap)
            return &link;
    TRACE(LLCP_TRACE, "%s: link not found, sSAP=0x%X, dSAP=0x%X, mode=CO", "nfcllcpFindLink", localSap, remoteSap);
    return nullptr;
}

TLlcpLink* nfcllcpFindLinkForConLess(TLlcp* p, uint8_t localSap) {
    for (TLlcpLink& link : p->links)
        if (inUse(link) && !connectionOriented(link) && link.localSap == localSap) return &link;
    TRACE(TRC_ERROR, "!! %s: link not found, sSAP=0x%X, mode=CLS", "nfcllcpFindLinkForConLess", localSap);
    return nullptr;
}

void llcpLinkGiveRxBuffers(TLlcpLink* link, uint8_t* memory, uint8_t count, uint16_t miu) {
    link->rxFree.clear();
    link->rxInUse.clear();
    for (uint8_t i = 0; i < count && !link->rxFree.full(); ++i)
        link->rxFree.push(TLlcpRxBuffer{memory + static_cast<size_t>(i) * miu, miu, 0});
    link->window = count;
    link->miu = miu;
}
