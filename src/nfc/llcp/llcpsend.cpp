// The downstream side of the link: the instance and link timers, the send queue that waits
// for this side's turn, aggregation of queued PDUs into one frame, the idle SYMM, and the
// builders of the PDUs the task itself sends.
#include <algorithm>
#include <cstring>

#include "hw/hw_timer.h"
#include "llcp/llcplm.h"
#include "os/os_mem.h"
#include "transport/com.h"
#include "util/trace.h"

namespace {

constexpr const char* kTimerNames[] = {"?", "SYMM", "LTO", "SHUTDOWN", "ACK"};
constexpr uint32_t kLtoMarginMs = 350;
constexpr uint32_t kBypassLtoMs = 59650;
constexpr uint16_t kAgfOverhead = 4; // the length prefixes of the first two PDUs
constexpr uint16_t kUiHeader = 2;
constexpr uint16_t kIHeader = 3;

const char* timerName(uint8_t id) { return kTimerNames[id < std::size(kTimerNames) ? id : 0]; }

uint32_t& runningFlag(TLlcp* p, uint8_t id, uint8_t channel) {
    return id <= LLCP_TIMER_SHUTDOWN ? p->timerRunning[id - 1] : p->links[channel].ackTimerRunning;
}

void sendTimerCommand(TLlcp* p, uint16_t command, uint8_t id, uint8_t channel, uint32_t ticks) {
    OsMessage message{};
    message.command = command;
    message.source = p->moduleWord;
    osMsgSetFields(message, HwTimerFields{id, channel, 0, 0, ticks});
    if (osMessageSend(p->timerQueue, &message) != OS_OK) TRACE(TRC_ERROR, "! LLCP: timer %d not sent", id);
}

uint16_t wireLength(const TLlcpSendElement& e) {
    const uint16_t header = e.kind == LLCP_SEND_UI ? kUiHeader : (e.kind == LLCP_SEND_I || e.kind == LLCP_SEND_S) ? kIHeader : 0;
    return static_cast<uint16_t>(e.length + header);
}

TLlcpSendElement* popElement(TLlcp* p) {
    TLlcpSendElement* e = p->queueHead;
    if (!e) return nullptr;
    p->queueHead = e->next;
    if (!p->queueHead) p->queueTail = nullptr;
    --p->queued;
    return e;
}

void freeElement(TLlcp* p, TLlcpSendElement* e) {
    if (e->buffer) osBufferRelease(e->buffer);
    *e = TLlcpSendElement{};
    e->next = p->freeElements;
    p->freeElements = e;
}

bool queueElement(TLlcp* p, const TLlcpSendElement& item) {
    TLlcpSendElement* e = p->freeElements;
    if (!e) {
        TRACE(TRC_ERROR, "%s: Free send queue element expected !", "nfcllcpSendDownstream");
        if (item.buffer) osBufferRelease(item.buffer);
        return false;
    }
    p->freeElements = e->next;
    *e = item;
    e->next = nullptr;
    if (p->queueTail)
        p->queueTail->next = e;
    else
        p->queueHead = e;
    p->queueTail = e;
    ++p->queued;
    TRACE(LLCP_TRACE, "nfcllcpSendDownstream() qs=%d, tsym=%d", p->queued, static_cast<int>(p->timerRunning[0]));
    if (!p->receiving) nfcllcpLMSendDownstream(p);
    return true;
}

// The N(R) a frame of the link carries as it goes out; once it acknowledges all, the
// acknowledgement timer has nothing left to do.
uint8_t takeNr(TLlcp* p, TLlcpLink& link) {
    link.nrSent = llcpLinkNr(&link);
    if (link.nrSent == (link.vr & 0x0Fu)) llcpStopTimer(p, LLCP_TIMER_ACK, llcpLinkIndex(&link));
    return link.nrSent;
}

// Writes the element's PDU at out and gives the element back; a UI is confirmed to its requester.
// With adopt, a downstream-pool buffer of the element is kept there for the frame.
uint16_t writeElement(TLlcp* p, TLlcpSendElement* e, uint8_t* out, uint8_t** adopt) {
    uint16_t n = 0;
    if (e->kind == LLCP_SEND_UI) {
        llcpWriteHeader(out, e->dsap, LLCP_UI, e->ssap);
        if (e->length) std::memcpy(out + kUiHeader, e->body, e->length);
        n = wireLength(*e);
        TLlcpLink* link = e->link < LLCP_LINKS ? &p->links[e->link] : nullptr;
        if (link && (link->flags & LLCP_LINK_IN_USE)) llcpSendDataConf(p, link, LLCP_OK, e->handle, e->request);
    } else if (e->kind == LLCP_SEND_I) {
        // The acknowledgement rides on the frame: N(R) is V(R) as it goes out.
        TLlcpLink& link = p->links[e->link];
        llcpWriteHeader(out, e->dsap, LLCP_I, e->ssap);
        out[2] = static_cast<uint8_t>(e->ns << 4 | takeNr(p, link));
        if (e->length) std::memcpy(out + kIHeader, e->body, e->length);
        n = wireLength(*e);
    } else if (e->kind == LLCP_SEND_S) {
        TLlcpLink& link = p->links[e->link];
        llcpWriteHeader(out, link.remoteSap, (link.flags & LLCP_LINK_RNR_SENT) ? LLCP_RNR : LLCP_RR, link.localSap);
        out[2] = takeNr(p, link);
        n = wireLength(*e);
    } else {
        std::memcpy(out, e->buffer, e->length);
        n = e->length;
    }
    llcpTracePdu("\\/", out, n);
    if (adopt && !*adopt && e->dsBuffer) {
        *adopt = e->buffer;
        e->buffer = nullptr;
    }
    freeElement(p, e);
    return n;
}

bool aggregates(const TLlcpSendElement& a, const TLlcpSendElement& b, uint16_t miu) {
    return !(a.kind == LLCP_SEND_UI && b.kind == LLCP_SEND_UI) &&
           uint32_t{wireLength(a)} + wireLength(b) + kAgfOverhead <= miu;
}

// The queued PDUs as one frame in frame; its length, 0 when the first element cannot be sent.
uint16_t buildFrame(TLlcp* p, uint8_t* frame, uint8_t** adopt) {
    const uint16_t miu = p->remote.miu;
    TLlcpSendElement* first = popElement(p);
    if (wireLength(*first) > LLCP_DS_BUFFER) {
        TRACE(TRC_ERROR, "!! LLCP: %s PDU of %d bytes does not fit a frame, dropped", "nfcllcpLMSendDownstream",
              wireLength(*first));
        freeElement(p, first);
        return 0;
    }
    if (!p->queueHead || !aggregates(*first, *p->queueHead, miu)) {
        if (wireLength(*first) > miu + 2u)
            TRACE(TRC_ERROR, "!! LLCP: %s length of packet too LONG (%d > %d)!!", "nfcllcpLMSendDownstream",
                  wireLength(*first), miu);
        return writeElement(p, first, frame, adopt);
    }
    llcpWriteHeader(frame, LLCP_SAP_LM, LLCP_AGF, LLCP_SAP_LM);
    uint16_t length = 2;
    bool withUi = false;
    for (TLlcpSendElement* e = first; e;) {
        withUi = withUi || e->kind == LLCP_SEND_UI;
        const uint16_t n = wireLength(*e);
        frame[length] = static_cast<uint8_t>(n >> 8);
        frame[length + 1] = static_cast<uint8_t>(n);
        length = static_cast<uint16_t>(length + 2 + writeElement(p, e, frame + length + 2, adopt));
        const TLlcpSendElement* next = p->queueHead;
        const bool fits =
            next && uint32_t{length} - 2u + 2u + wireLength(*next) <= miu && !(withUi && next->kind == LLCP_SEND_UI);
        e = fits ? popElement(p) : nullptr;
    }
    llcpTracePdu("\\/", frame, length);
    return length;
}

void sendFrame(TLlcp* p, uint8_t* buffer, uint16_t length) {
    OsMessage message{};
    message.command = PH_DATA_REQ;
    message.source = p->moduleWord;
    osMsgSetFields(message, PhDataFields{PH_DATA_OWNED, 0, length, buffer});
    llcpSendDown(p, message);
    p->flags &= ~LLCP_MY_TURN;
    llcpStartTimerLTO(p);
    nfcllcpStopTimerSYMM(p);
}

uint8_t* takeBuffer(uint16_t pool, uint16_t size) {
    void* buffer = nullptr;
    return osBufferGet(pool, size, &buffer, nullptr, nullptr) == OS_OK ? static_cast<uint8_t*>(buffer) : nullptr;
}

bool queuePdu(TLlcp* p, uint8_t* buffer, uint16_t length, uint8_t link, bool dsBuffer = false) {
    TLlcpSendElement e{};
    e.dsBuffer = dsBuffer;
    e.buffer = buffer;
    e.length = length;
    e.link = link;
    e.kind = LLCP_SEND_PDU;
    return queueElement(p, e);
}

} // namespace

void llcpStartTimer(TLlcp* p, uint8_t id, uint32_t ms, uint8_t channel) {
    const uint32_t ticks = (ms + HW_TIMER_TICK_MS - 1) / HW_TIMER_TICK_MS;
    uint32_t& running = runningFlag(p, id, channel);
    if (running) {
        TRACE(LLCP_TRACE, "LLCP: Restart %s (%d) timer %d,(%d ticks)", timerName(id), id, channel,
              static_cast<int>(ticks));
        sendTimerCommand(p, HW_TIMER_RESTART, id, channel, ticks);
    } else {
        TRACE(LLCP_TRACE, "LLCP: Start %s (%d) timer %d, (%d ticks), pLlcp %p", timerName(id), id, channel,
              static_cast<int>(ticks), static_cast<void*>(p));
        sendTimerCommand(p, HW_TIMER_START, id, channel, ticks);
    }
    running = 1;
}

void llcpStopTimer(TLlcp* p, uint8_t id, uint8_t channel) {
    uint32_t& running = runningFlag(p, id, channel);
    if (!running) return;
    TRACE(LLCP_TRACE, "LLCP: Stop timer %s (%d) ", timerName(id), id);
    sendTimerCommand(p, HW_TIMER_STOP, id, channel, 0);
    running = 0;
}

void nfcllcpStartTimerSYMM(TLlcp* p) {
    if (p->rawMode == LLCP_RAW_BYPASS || p->timerRunning[LLCP_TIMER_SYMM - 1]) return;
    uint32_t base = 0;
    if (p->flags & LLCP_FIRST_SYMM) {
        p->flags &= ~LLCP_FIRST_SYMM;
        base = p->local.lto / 5u;
    } else if (p->lastRxType == LLCP_SYMM) {
        base = p->remote.ltoMs / 50u;
    } else {
        base = p->local.lto * 3u / 10u;
    }
    // This side answers within the link time-out it announced, whatever the peer's.
    const uint32_t ceiling = std::min<uint32_t>(p->remote.ltoMs, p->local.lto * 10u) / 20u;
    if (base < 10) base = 10;
    if (base > ceiling) base = ceiling;
    if (p->rawMode == LLCP_RAW_FAST_SYMM) base = 6;
    if (base == 0) base = 1;
    TRACE(LLCP_TRACE_SYMM, "LLCP: Start SYMM #%d", static_cast<int>(p->symmSent));
    llcpStartTimer(p, LLCP_TIMER_SYMM, base * HW_TIMER_TICK_MS);
}

void nfcllcpStopTimerSYMM(TLlcp* p) {
    if (!p->timerRunning[LLCP_TIMER_SYMM - 1]) return;
    TRACE(LLCP_TRACE_SYMM, "LLCP: Stop SYMM #%d", static_cast<int>(p->symmSent));
    llcpStopTimer(p, LLCP_TIMER_SYMM);
}

void llcpStartTimerLTO(TLlcp* p) {
    const uint32_t ms = p->remote.ltoMs + kLtoMarginMs + (p->rawMode == LLCP_RAW_BYPASS ? kBypassLtoMs : 0);
    llcpStartTimer(p, LLCP_TIMER_LTO, ms);
}

void llcpStopTimerLTO(TLlcp* p) { llcpStopTimer(p, LLCP_TIMER_LTO); }

void llcpElementsInit(TLlcp* p) {
    p->freeElements = nullptr;
    for (TLlcpSendElement& e : p->elements) {
        e = TLlcpSendElement{};
        e.next = p->freeElements;
        p->freeElements = &e;
    }
    p->queueHead = p->queueTail = nullptr;
    p->queued = 0;
}

void llcpFlushDownstream(TLlcp* p) {
    // A UI is answered when it leaves the queue, as not sent: its requester waits for that.
    while (TLlcpSendElement* e = popElement(p)) {
        TLlcpLink* link = e->link < LLCP_LINKS ? &p->links[e->link] : nullptr;
        if (e->kind == LLCP_SEND_UI && link && (link->flags & LLCP_LINK_IN_USE))
            llcpSendDataConf(p, link, LLCP_NOT_ACTIVE, e->handle, e->request);
        freeElement(p, e);
    }
}

uint8_t nfcllcpLMDiscardLinkData(TLlcp* p, TLlcpLink* link, uint16_t confirm) {
    const uint8_t index = llcpLinkIndex(link);
    uint8_t deleted = 0;
    TLlcpSendElement* kept = nullptr;
    TLlcpSendElement* keptTail = nullptr;
    while (TLlcpSendElement* e = popElement(p)) {
        if (e->link != index) {
            e->next = nullptr;
            (keptTail ? keptTail->next : kept) = e;
            keptTail = e;
            continue;
        }
        if (confirm && e->kind == LLCP_SEND_UI) llcpSendDataConf(p, link, confirm, e->handle, e->request);
        freeElement(p, e);
        ++deleted;
    }
    p->queueHead = kept;
    p->queueTail = keptTail;
    for (const TLlcpSendElement* e = kept; e; e = e->next) ++p->queued;
    return deleted;
}

void nfcllcpLMSendDownstream(TLlcp* p) {
    constexpr char fn[] = "nfcllcpLMSendDownstream";
    if (!(p->flags & LLCP_MY_TURN)) return;
    while (p->queueHead) {
        // With the pool empty, a queued PDU's own downstream buffer carries the frame.
        uint8_t* buffer = takeBuffer(p->dsPool, LLCP_DS_BUFFER);
        if (!buffer && !p->queueHead->dsBuffer) {
            TRACE(TRC_ERROR, "! %s: no buffer available (Length %d)", fn, wireLength(*p->queueHead));
            break;
        }
        uint8_t frame[LLCP_DS_BUFFER];
        const uint16_t length = buildFrame(p, frame, buffer ? nullptr : &buffer);
        if (!buffer) continue;
        if (length == 0) {
            osBufferRelease(buffer);
            continue;
        }
        std::memcpy(buffer, frame, length);
        p->flags &= ~LLCP_LAST_SENT_SYMM;
        sendFrame(p, buffer, length);
        return;
    }
    if (p->rawMode == LLCP_RAW_NONE || p->timerRunning[LLCP_TIMER_SYMM - 1]) {
        uint8_t* buffer = takeBuffer(p->dsPool, 2);
        if (!buffer) buffer = takeBuffer(p->ctrlPool, 2);
        if (!buffer) {
            TRACE(TRC_ERROR, "!! LLCP: %s No buffer to send idle SYMM!!", fn);
            nfcllcpStartTimerSYMM(p);
            return;
        }
        llcpWriteHeader(buffer, LLCP_SAP_LM, LLCP_SYMM, LLCP_SAP_LM);
        ++p->symmSent;
        llcpTracePdu("\\/", buffer, 2);
        p->flags |= LLCP_LAST_SENT_SYMM;
        sendFrame(p, buffer, 2);
        return;
    }
    TRACE(TRC_ERROR, "!! LLCP: %s no buffer for SYMM !!", fn);
    nfcllcpStartTimerSYMM(p);
}

bool nfcllcpSendDownstream(TLlcp* p, uint8_t* buffer, uint16_t length, uint8_t link, bool dsBuffer) {
    return queuePdu(p, buffer, length, link, dsBuffer);
}

bool llcpSendRoom(const TLlcp* p) { return p->freeElements != nullptr; }

bool llcpSendIDownstream(TLlcp* p, TLlcpLink* link, const TLlcpPending& data, uint8_t ns) {
    TLlcpSendElement e{};
    e.body = data.data;
    e.length = data.length;
    e.link = llcpLinkIndex(link);
    e.kind = LLCP_SEND_I;
    e.dsap = link->remoteSap;
    e.ssap = link->localSap;
    e.handle = data.handle;
    e.ns = ns;
    e.request = data.request;
    return queueElement(p, e);
}

bool llcpSendUiDownstream(TLlcp* p, TLlcpLink* link, const TLlcpPending& data) {
    TLlcpSendElement e{};
    e.body = data.data;
    e.length = data.length;
    e.link = llcpLinkIndex(link);
    e.kind = LLCP_SEND_UI;
    e.dsap = link->remoteSap;
    e.ssap = link->localSap;
    e.handle = data.handle;
    e.request = data.request;
    return queueElement(p, e);
}

void nfcllcpSendSFRAME(TLlcp* p, TLlcpLink* link) {
    const uint8_t index = llcpLinkIndex(link);
    for (const TLlcpSendElement* e = p->queueHead; e; e = e->next)
        if (e->kind == LLCP_SEND_S && e->link == index) return; // it tells the state when it goes
    TLlcpSendElement e{};
    e.link = index;
    e.kind = LLCP_SEND_S;
    queueElement(p, e);
}

void nfcllcpSendDM(TLlcp* p, uint8_t dsap, uint8_t ssap, uint8_t reason) {
    uint8_t* buffer = takeBuffer(p->ctrlPool, 3);
    if (!buffer) {
        TRACE(TRC_ERROR, "%s no buffer (size=%d) from pool %d !", "nfcllcpSendDM", 3, p->ctrlPool);
        return;
    }
    llcpWriteHeader(buffer, dsap, LLCP_DM, ssap);
    buffer[2] = reason;
    queuePdu(p, buffer, 3, LLCP_NO_LINK);
}

uint16_t nfcllcpSendUFRAME(TLlcp* p, TLlcpLink* link, uint8_t ptype, const char* name, uint8_t nameLength,
                           const uint8_t* info) {
    const bool withName = ptype == LLCP_CONNECT && name && nameLength;
    const bool withLink = (ptype == LLCP_CONNECT || ptype == LLCP_CC) && !(p->option & LLCP_OPTION_NO_MIUX_RW);
    const uint16_t size =
        static_cast<uint16_t>(2 + (withName ? 2 + nameLength : 0) + (withLink ? 7 : 0) + (ptype == LLCP_FRMR ? 4 : 0));
    const uint16_t pool = size <= LLCP_CTRL_BUFFER ? p->ctrlPool : p->dsPool;
    uint8_t* buffer = takeBuffer(pool, size);
    if (!buffer) {
        TRACE(TRC_ERROR, "%s no buffer (size=%d) from pool %d !", "nfcllcpSendUFRAME", size, pool);
        return LLCP_NO_RESOURCES;
    }
    llcpWriteHeader(buffer, link->remoteSap, ptype, link->localSap);
    uint16_t n = 2;
    if (withName) {
        buffer[n++] = LLCP_PARAM_SN;
        buffer[n++] = nameLength;
        std::memcpy(buffer + n, name, nameLength);
        n = static_cast<uint16_t>(n + nameLength);
    }
    if (withLink && link->miu > LLCP_DEFAULT_MIU) {
        const uint16_t miux = static_cast<uint16_t>(link->miu - LLCP_DEFAULT_MIU);
        const uint8_t miuxTlv[] = {LLCP_PARAM_MIUX, 2, static_cast<uint8_t>(miux >> 8), static_cast<uint8_t>(miux)};
        std::memcpy(buffer + n, miuxTlv, sizeof miuxTlv);
        n += sizeof miuxTlv;
    }
    if (withLink) {
        const uint8_t rw[] = {LLCP_PARAM_RW, 1, link->window};
        std::memcpy(buffer + n, rw, sizeof rw);
        n += sizeof rw;
    }
    if (ptype == LLCP_FRMR) {
        std::memcpy(buffer + n, info, 4);
        n += 4;
    }
    // A FRMR ends its link: it must outlive the link's queued data.
    const uint8_t owner = ptype == LLCP_FRMR ? LLCP_NO_LINK : llcpLinkIndex(link);
    return queuePdu(p, buffer, n, owner, pool == p->dsPool) ? LLCP_OK : LLCP_NO_RESOURCES;
}

uint16_t nfcllcpSendSNLFrame(TLlcp* p, const uint8_t* tlvs, uint16_t length) {
    const uint32_t size = 2u + length;
    uint8_t* buffer = size <= LLCP_DS_BUFFER ? takeBuffer(p->dsPool, static_cast<uint16_t>(size)) : nullptr;
    if (!buffer) {
        TRACE(TRC_ERROR, "%s no buffer (size=%d) in global pool !", "nfcllcpSendSNLFrame", static_cast<int>(size));
        return LLCP_NO_RESOURCES;
    }
    llcpWriteHeader(buffer, LLCP_SAP_SDP, LLCP_SNL, LLCP_SAP_SDP);
    if (length) std::memcpy(buffer + 2, tlvs, length);
    return queuePdu(p, buffer, static_cast<uint16_t>(size), LLCP_NO_LINK, true) ? LLCP_OK : LLCP_NO_RESOURCES;
}

void llcpBufferCheck(TLlcp* p) {
    const uint16_t ds = osPoolFree(p->dsPool);
    const uint16_t ctrl = osPoolFree(p->ctrlPool);
    if (ds == 0 || ctrl < LLCP_CTRL_BUFFERS - 1) TRACE(TRC_ERROR, "LLCP: !! WARNING, buffer leak: !!");
    TRACE(LLCP_TRACE, "LLCP: # DS buffers=%d(%d), # Ctrl buffers=%d(%d)", ds, LLCP_DS_BUFFERS, ctrl, LLCP_CTRL_BUFFERS);
}

void llcpTracePdu(const char* direction, const uint8_t* frame, uint16_t length) {
    LlcpPdu pdu;
    if (!llcpSplitPdu(frame, length, pdu)) return;
    const LlcpHeader& h = pdu.header;
    const char* name = llcpPtypeName(h.ptype);
    const unsigned l = length;
    switch (h.ptype) {
        case LLCP_SYMM:
            TRACE(LLCP_TRACE_SYMM, "%s L%2.2x %s sSAP %2.2x dSAP %2.2x", direction, l, name, h.ssap, h.dsap);
            return;
        case LLCP_DM:
            TRACE(LLCP_TRACE, "%s L%2.2x %s sSAP %2.2x dSAP %2.2x reason %2.2x", direction, l, name, h.ssap, h.dsap,
                  pdu.payloadLength ? pdu.payload[0] : 0u);
            return;
        case LLCP_I:
            TRACE(LLCP_TRACE, "%s L%2.2x %s sSAP %2.2x dSAP %2.2x NR %1.1x NS %1.1x", direction, l, name, h.ssap,
                  h.dsap, pdu.nr, pdu.ns);
            return;
        case LLCP_RR:
        case LLCP_RNR:
            TRACE(LLCP_TRACE, "%s L%2.2x %s sSAP %2.2x dSAP %2.2x NR %1.1x", direction, l, name, h.ssap, h.dsap,
                  pdu.nr);
            return;
        case LLCP_SNL: {
            CByteReader reader(pdu.payload, pdu.payloadLength);
            uint8_t type = 0, tlvLength = 0, tid = 0;
            const uint8_t* uri = nullptr;
            const bool request = reader.u8(type) && type == LLCP_PARAM_SDREQ && reader.u8(tlvLength) &&
                                 tlvLength >= 1 && reader.u8(tid) && reader.take(tlvLength - 1u, uri);
            TRACE(LLCP_TRACE, "%s L%2.2x %s sSAP %2.2x dSAP %2.2x TID %d uri '%.*s'", direction, l, name, h.ssap,
                  h.dsap, request ? tid : 0, request ? tlvLength - 1 : 0,
                  request ? reinterpret_cast<const char*>(uri) : "");
            return;
        }
        default: break;
    }
    if (std::strcmp(name, "unknown") == 0) {
        TRACE(LLCP_TRACE, "%s L%2.2x %s (%2.2x) sSAP %2.2x dSAP %2.2x", direction, l, name, h.ptype, h.ssap, h.dsap);
        return;
    }
    TRACE(LLCP_TRACE, "%s L%2.2x %s sSAP %2.2x dSAP %2.2x", direction, l, name, h.ssap, h.dsap);
    if (h.ptype != LLCP_PAX && h.ptype != LLCP_CONNECT && h.ptype != LLCP_CC) return;
    CByteReader reader(pdu.payload, pdu.payloadLength);
    uint8_t type = 0, tlvLength = 0;
    while (reader.u8(type) && reader.u8(tlvLength) && reader.skip(tlvLength))
        TRACE(LLCP_TRACE, "%s 0x%2.2x", llcpParamName(type), tlvLength);
}
