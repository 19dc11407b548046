// Service discovery: the SNL PDUs on SAP 1 both ways, and the four transaction slots of the
// requests the applications have open.
#include <cstring>

#include "llcp/llcplm.h"
#include "mm/mm.h"
#include "util/trace.h"

namespace {

constexpr char kEvaluate[] = "nfcllcpEvaluateSNLFrame";
constexpr uint8_t kNoSnlVersion = 0x10;
constexpr uint16_t kMaxAnswer = 251;

void answerRequest(const TLlcp* p, const uint8_t* value, uint8_t length, uint8_t* answer, uint16_t& n, uint16_t limit) {
    const uint8_t tid = value[0];
    TRACE(LLCP_TRACE, "LLCP: %s -- request tid %d '%.*s'", kEvaluate, tid, length - 1,
          reinterpret_cast<const char*>(value + 1));
    const uint8_t found = llcpLookupService(p, value + 1, static_cast<uint8_t>(length - 1));
    if (n + 4u > limit) {
        TRACE(TRC_ERROR, "! LLCP: %s -- no room for the answer to tid %d", kEvaluate, tid);
        return;
    }
    const uint8_t sdres[] = {LLCP_PARAM_SDRES, 2, tid, found == LLCP_NO_SAP ? uint8_t{0} : found};
    std::memcpy(answer + n, sdres, sizeof sdres);
    n = static_cast<uint16_t>(n + sizeof sdres);
}

void takeResponse(TLlcp* p, uint8_t tid, uint8_t sap) {
    TRACE(LLCP_TRACE, "LLCP: %s -- response sap=0x%X", kEvaluate, sap);
    for (TLlcpSdpSlot& slot : p->sdp) {
        if (!slot.busy || slot.tid != tid) continue;
        slot.busy = 0;
        llcpSendSdpConf(p, slot.app, slot.requester, slot.request, sap ? LLCP_OK : LLCP_SDP_NOT_FOUND, sap);
        return;
    }
    TRACE(TRC_ERROR, "! LLCP: %s -- response -- no TID found!", kEvaluate);
}

} // namespace

void nfcllcpEvaluateSNLFrame(TLlcp* p, const LlcpPdu& pdu) {
    if (p->remote.version == kNoSnlVersion || !(p->flags & LLCP_ACTIVE)) {
        if (p->remote.version == kNoSnlVersion)
            TRACE(TRC_ERROR, "! LLCP: %s -- remote LLCP does not support SNL, do not respond!", kEvaluate);
        else
            TRACE(TRC_ERROR, "! LLCP: %s -- do not respond as LLCP is not activated!", kEvaluate);
        nfcllcpStartTimerSYMM(p);
        return;
    }
    if (pdu.header.ssap != LLCP_SAP_SDP) {
        TRACE(TRC_ERROR, "! LLCP: %s -- dSap invalid (%d)!", kEvaluate, pdu.header.ssap);
        return;
    }
    const uint16_t limit = p->remote.miu < kMaxAnswer ? p->remote.miu : kMaxAnswer;
    uint8_t answer[kMaxAnswer];
    uint16_t n = 0;
    CByteReader reader(pdu.payload, pdu.payloadLength);
    uint8_t type = 0, length = 0;
    const uint8_t* value = nullptr;
    while (reader.u8(type)) {
        if (!reader.u8(length) || !reader.take(length, value)) {
            TRACE(TRC_ERROR, "LLCP: ! ERROR: TLVLength = %d, data length = %d", length, pdu.payloadLength);
            break;
        }
        if (type == LLCP_PARAM_SDREQ && length >= 1)
            answerRequest(p, value, length, answer, n, limit);
        else if (type == LLCP_PARAM_SDRES && length == 2)
            takeResponse(p, value[0], value[1]);
        else if (type == LLCP_PARAM_SDREQ || type == LLCP_PARAM_SDRES)
            TRACE(TRC_ERROR, "! LLCP: %s -- %s of length %d skipped", kEvaluate, llcpParamName(type), length);
        else
            TRACE(TRC_ERROR, "! LLCP: %s -- unknown parameterType %d!", kEvaluate, type);
    }
    if (n) nfcllcpSendSNLFrame(p, answer, n);
}

void nfcllcpHandleNFCLLCPSdpReq(TLlcp* p) {
    constexpr char fn[] = "nfcllcpHandleNFCLLCPSdpReq";
    const auto f = osMsgFields<TNfaceLlcpSdpReq>(p->msg);
    const uint32_t app = mmWordInstance(p->msg.source);
    p->lastApp = app;
    p->lastCommand = p->msg.command;
    uint16_t cause = LLCP_OK;
    TLlcpSdpSlot* slot = nullptr;
    if (!(p->flags & LLCP_ACTIVE)) {
        TRACE(TRC_ERROR, "! %s: LLCP not yet activated !", fn);
        cause = LLCP_WRONG_STATE;
    } else if (f.nameLength > LLCP_NAME_MAX || (f.nameLength && !f.name)) {
        TRACE(TRC_ERROR, "! %s: Service Name URI is too long (%d > %d)", fn, f.nameLength, LLCP_NAME_MAX);
        cause = LLCP_BAD_PARAMETER;
    } else {
        for (TLlcpSdpSlot& s : p->sdp)
            if (!s.busy) {
                slot = &s;
                break;
            }
        if (!slot) {
            TRACE(TRC_ERROR, "LLCP: NO free TID!");
            cause = LLCP_NO_RESOURCES;
        }
    }
    if (slot) {
        *slot = TLlcpSdpSlot{app, f.hApp, p->msg.spare, slot->tid, 1};
        TRACE(LLCP_TRACE, "LLCP: get NFC_LLCP_SDP_REQ, hApp=%p, sn=%.*s, len=0x%X", f.hApp, f.nameLength,
              f.nameLength ? f.name : "", f.nameLength);
        uint8_t tlv[2 + 1 + LLCP_NAME_MAX];
        tlv[0] = LLCP_PARAM_SDREQ;
        tlv[1] = static_cast<uint8_t>(f.nameLength + 1);
        tlv[2] = slot->tid;
        if (f.nameLength) std::memcpy(tlv + 3, f.name, f.nameLength);
        cause = nfcllcpSendSNLFrame(p, tlv, static_cast<uint16_t>(3 + f.nameLength));
        if (cause != LLCP_OK) slot->busy = 0;
    }
    if (cause != LLCP_OK) llcpSendSdpConf(p, app, f.hApp, p->msg.spare, llcpUpCause(cause), 0);
}

void llcpAnswerSdpRequests(TLlcp* p, uint16_t cause, uint32_t app) {
    for (TLlcpSdpSlot& slot : p->sdp) {
        if (!slot.busy || (app && slot.app != app)) continue;
        slot.busy = 0;
        llcpSendSdpConf(p, slot.app, slot.requester, slot.request, llcpUpCause(cause), 0);
    }
}
