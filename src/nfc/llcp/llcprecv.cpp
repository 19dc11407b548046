// A received frame: link management on SAP 0, the link a PDU belongs to, the checks it must
// pass there, and when this side answers.
#include <cstring>

#include "llcp/llcplm.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kDmNoService = 2;
constexpr uint8_t kDmDisconnected = 0;

void handleSymm(TLlcp* p, uint16_t length) {
    if (length != 2) {
        TRACE(TRC_ERROR, "!! LLCP: SYMM invalid length (0x%X)", length);
        return;
    }
    ++p->rxSymm;
    TRACE(LLCP_TRACE_SYMM, "RX Symm #%d", static_cast<int>(p->rxSymm));
    if (!(p->flags & LLCP_ACTIVATED) && p->rxSymm >= 2) llcpSendDlDeactInd(p);
}

void answerPax(TLlcp* p) {
    const uint16_t wks = llcpLocalWks(p);
    void* memory = nullptr;
    if (osBufferGet(p->ctrlPool, LLCP_CTRL_BUFFER, &memory, nullptr, nullptr) != OS_OK) {
        TRACE(TRC_ERROR, "%s no buffer (size=%d) from pool %d !", "nfcllcpSendPAX", LLCP_CTRL_BUFFER, p->ctrlPool);
        return;
    }
    const uint8_t pax[LLCP_CTRL_BUFFER] = {0x00,
                                           0x40,
                                           LLCP_PARAM_VERSION,
                                           1,
                                           0x11,
                                           LLCP_PARAM_MIUX,
                                           2,
                                           0x07,
                                           0x80,
                                           LLCP_PARAM_WKS,
                                           2,
                                           static_cast<uint8_t>(wks >> 8),
                                           static_cast<uint8_t>(wks),
                                           LLCP_PARAM_LTO,
                                           1,
                                           0x28};
    std::memcpy(memory, pax, sizeof pax);
    nfcllcpSendDownstream(p, static_cast<uint8_t*>(memory), sizeof pax, LLCP_NO_LINK);
}

void handlePax(TLlcp* p, const LlcpPdu& pdu) {
    if (!llcpTlvsWhole(pdu.payload, pdu.payloadLength)) {
        TRACE(TRC_ERROR, "!! LLCP: PAX invalid length (0x%X)", pdu.payloadLength);
        return;
    }
    llcpEvaluateParams(pdu.payload, pdu.payloadLength, p->remote);
    if (!(p->flags & LLCP_INITIATOR)) answerPax(p);
}

void handleAgf(TLlcp* p, const LlcpPdu& pdu, bool inAgf) {
    const LlcpAgfCheck check = inAgf ? LlcpAgfCheck::Nested : llcpCheckAgf(pdu.payload, pdu.payloadLength);
    if (check == LlcpAgfCheck::Nested) {
        TRACE(TRC_ERROR, "!! LLCP: AGF inside AGF refused (0x%X)", pdu.payloadLength);
        return;
    }
    if (check == LlcpAgfCheck::BadLength) {
        TRACE(TRC_ERROR, "!! LLCP: AGF invalid length (0x%X)", pdu.payloadLength);
        return;
    }
    if (check == LlcpAgfCheck::SinglePdu) TRACE(TRC_ERROR, "!! LLCP: Warning, only 1 PDU in AGF frame !!");
    TRACE(LLCP_TRACE, "LLCP: AGF begin len 0x%X (%d)", pdu.payloadLength, pdu.payloadLength);
    CByteReader reader(pdu.payload, pdu.payloadLength);
    const uint8_t* inner = nullptr;
    uint16_t length = 0;
    for (int i = 0; llcpNextAgfPdu(reader, inner, length); ++i) {
        TRACE(LLCP_TRACE, "LLCP: AGF nfcllcpHandleUpstreamMessage frame(%d)len 0x%X", i, length);
        nfcllcpHandleUpstreamMessage(p, inner, length, true);
    }
    TRACE(LLCP_TRACE, "LLCP: AGF end");
}

void nfcllcpLMHandleDISC(TLlcp* p) {
    constexpr char fn[] = "nfcllcpLMHandleDISC";
    llcpSendDiscIndAll(p, LLCP_OK);
    if (p->rawMode == LLCP_RAW_NONE) {
        TRACE(LLCP_TRACE, "%s: send DM", fn);
        nfcllcpSendDM(p, LLCP_SAP_LM, LLCP_SAP_LM, kDmDisconnected);
    } else if (p->flags & LLCP_INITIATOR) {
        TRACE(LLCP_TRACE, "%s: send DL_DEACT_IND", fn);
        llcpSendDlDeactInd(p);
    } else {
        TRACE(LLCP_TRACE, "%s: send SYMM", fn);
        nfcllcpStartTimerSYMM(p);
        nfcllcpLMSendDownstream(p);
    }
    p->flags &= ~LLCP_ACTIVE;
    if (p->rawMode == LLCP_RAW_NONE) nfcllcpStopTimerSYMM(p);
}

void handleLinkManagement(TLlcp* p, const LlcpPdu& pdu, uint16_t length, bool inAgf) {
    switch (pdu.header.ptype) {
        case LLCP_SYMM: handleSymm(p, length); break;
        case LLCP_PAX: handlePax(p, pdu); break;
        case LLCP_AGF: handleAgf(p, pdu, inAgf); break;
        case LLCP_DISC: nfcllcpLMHandleDISC(p); break;
        case LLCP_DM: {
            OsMessage message{};
            message.command = LLCP_DL_DM;
            message.source = p->moduleWord;
            llcpSendDown(p, message);
            break;
        }
        default: TRACE(TRC_ERROR, "!! LLCP: LM unknown type (0x%X)", pdu.header.ptype);
    }
}

// A CONNECT to the discovery SAP that names its service goes to the SAP of that name.
uint8_t connectTarget(TLlcp* p, const LlcpPdu& pdu) {
    const uint8_t* name = nullptr;
    uint8_t nameLength = 0;
    if (pdu.header.dsap != LLCP_SAP_SDP ||
        !llcpFindTlv(pdu.payload, pdu.payloadLength, LLCP_PARAM_SN, name, nameLength))
        return pdu.header.dsap;
    const uint8_t sap = llcpLookupService(p, name, nameLength);
    if (sap == LLCP_NO_SAP) {
        TRACE(TRC_ERROR, "! LLCP: given service name within SN param NOT found");
        return pdu.header.dsap;
    }
    TRACE(LLCP_TRACE, "LLCP: given service name within SN param found");
    return sap;
}

TLlcpLink* linkFor(TLlcp* p, LlcpPdu& pdu) {
    switch (pdu.header.ptype) {
        case LLCP_CONNECT:
            pdu.header.dsap = connectTarget(p, pdu);
            return nfcllcpFindLinkForCON(p, pdu.header.dsap, pdu.header.ssap);
        case LLCP_CC: return nfcllcpFindLinkForCC(p, pdu.header.dsap, pdu.header.ssap);
        case LLCP_UI: return nfcllcpFindLinkForConLess(p, pdu.header.dsap);
        default: return nfcllcpFindLink(p, pdu.header.ssap, pdu.header.dsap);
    }
}

bool initiatorWaits(const TLlcp* p) {
    const uint8_t t = p->lastRxType;
    if (t == LLCP_CONNECT || t == LLCP_CC || t == LLCP_RR) return true;
    return t == LLCP_SYMM && p->queued == 0 && (p->flags & LLCP_LAST_SENT_SYMM);
}

} // namespace

void nfcllcpHandleUpstreamMessage(TLlcp* p, const uint8_t* frame, uint16_t length, bool inAgf) {
    LlcpPdu pdu;
    if (length < 2 || !llcpSplitPdu(frame, length, pdu)) {
        TRACE(TRC_ERROR, "!! LLCP: frame too short flen=0x%X", length);
        return;
    }
    p->lastRxType = pdu.header.ptype;
    llcpTracePdu("/\\", frame, length);
    if (pdu.header.dsap == LLCP_SAP_LM && pdu.header.ssap == LLCP_SAP_LM) {
        handleLinkManagement(p, pdu, length, inAgf);
        return;
    }
    if (!(p->flags & LLCP_ACTIVE)) return;
    if (pdu.header.ptype == LLCP_SNL) {
        nfcllcpEvaluateSNLFrame(p, pdu);
        return;
    }
    TLlcpLink* link = linkFor(p, pdu);
    if (!link) {
        TRACE(TRC_ERROR, "!! LLCP: unassigned rx frame: 0x%X 0x%X .., with dSAP %#X, sSAP %#X", frame[0], frame[1],
              pdu.header.dsap, pdu.header.ssap);
        // A datagram has no one to refuse it, and a DM or FRMR is never answered: two stacks
        // would bounce them between each other for as long as the link lasts.
        const uint8_t t = pdu.header.ptype;
        if (t != LLCP_UI && t != LLCP_DM && t != LLCP_FRMR)
            nfcllcpSendDM(p, pdu.header.ssap, pdu.header.dsap, kDmNoService);
        return;
    }
    const uint8_t flags = llcpCheckPdu(pdu, link->miu ? link->miu : LLCP_DEFAULT_MIU);
    if (flags) {
        llcpLinkReject(p, link, pdu, flags);
        return;
    }
    link->ns = pdu.ns;
    link->nr = pdu.nr;
    if (pdu.header.ptype == LLCP_UI) {
        link->remoteSap = pdu.header.ssap;
        llcpSendDataUp(p, link, pdu.header.ssap, pdu.payload, pdu.payloadLength);
        return;
    }
    llcpLinkReceive(p, link, pdu);
}

void llcpHandleFrame(TLlcp* p, const uint8_t* frame, uint16_t length) {
    llcpStartTimerLTO(p);
    p->flags |= LLCP_MY_TURN;
    p->receiving = true;
    nfcllcpHandleUpstreamMessage(p, frame, length, false);
    p->receiving = false;
    const bool target = !(p->flags & LLCP_INITIATOR);
    if (!(p->flags & LLCP_ACTIVE)) {
        // The link's last answers (the DM to a DISC) still go out.
        if (p->queued) nfcllcpLMSendDownstream(p);
        if (target) nfcllcpStartTimerSYMM(p);
        return;
    }
    // A link that took frames it cannot acknowledge yet holds the answer for the application's
    // buffers, which come back at once, or for its acknowledgement timer.
    for (const TLlcpLink& link : p->links)
        if ((link.flags & LLCP_LINK_ACK_HELD) && link.state == LLCP_STATE_CONNECTED) return;
    if (target || !initiatorWaits(p))
        nfcllcpLMSendDownstream(p);
    else
        nfcllcpStartTimerSYMM(p);
}
