// The NFC-DEP engine: one instance per link, driven by the frames and expiries its host feeds in.
#include "L1/common/ip1msg.h"

#include <algorithm>
#include <cstring>

#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = 0x40;
constexpr uint32_t kErr = 0x04;
constexpr uint8_t kCmdI = 0xD4, kCmdT = 0xD5;
enum : uint8_t { ATR_REQ = 0x00, PSL_REQ = 0x04, DEP_REQ = 0x06, DSL_REQ = 0x08, RLS_REQ = 0x0A };
enum : uint8_t { ATR_RES = 0x01, PSL_RES = 0x05, DEP_RES = 0x07, DSL_RES = 0x09, RLS_RES = 0x0B };
constexpr uint8_t kPfbType = 0xE0, kPfbInfo = 0x00, kPfbAck = 0x40, kPfbSupv = 0x80, kPfbBit4 = 0x10;
constexpr uint8_t kPfbNadDid = 0x0C, kPniMask = 0x03;
constexpr uint32_t kControlTimeout = 309;
constexpr uint8_t kDefaultTo = 0x0A, kDefaultPp = NFCIP_DEFAULT_PP, kWtMax = 11, kResponseWtMax = 14;
// The general bytes of the LLCP magic with version, MIU, well-known services, link time-out and options.
constexpr uint8_t kGeneralBytes[20] = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x02, 0x02, 0x07, 0x80,
                                       0x03, 0x02, 0x00, 0x03, 0x04, 0x01, 0x32, 0x07, 0x01, 0x03};

// States.
enum : uint32_t {
    kIdle = 0, kTargetReady = 1, kTargetHolding = 3, kTargetDeselected = 4, kReleased = 5, kWaitAtr = 6,
    kInitiatorReady = 7, kWaitDep = 9, kWaitDsl = 10, kWaitRls = 11,
};

TNfcipInstance g_default;

void fail(TNfcipInstance* ip, int32_t code) {
    if (ip->cb.error) ip->cb.error(ip->user, code);
}
void event(TNfcipInstance* ip, uint32_t ev, const uint8_t* data = nullptr, uint32_t length = 0) {
    if (ip->cb.event) ip->cb.event(ip->user, ev, data, length);
}

uint32_t wtMs(const TNfcipInstance* ip) { return ((1u << ip->responseWt) * 302u) / 1000u; }

void send(TNfcipInstance* ip, const uint8_t* frame, uint32_t length, uint32_t timeout) {
    ip->lastLength = static_cast<uint16_t>(std::min<uint32_t>(length, sizeof ip->last));
    std::memcpy(ip->last, frame, ip->lastLength);
    ip->lastTimeout = static_cast<uint16_t>(timeout);
    if (ip->cb.transmit) ip->cb.transmit(ip->user, ip->last, ip->lastLength, timeout);
}
void resend(TNfcipInstance* ip) {
    if (ip->cb.transmit && ip->lastLength) ip->cb.transmit(ip->user, ip->last, ip->lastLength, ip->lastTimeout);
}

uint8_t cmd0(const TNfcipInstance* ip) { return ip->role == NFCIP_INITIATOR ? kCmdI : kCmdT; }
uint8_t depCmd(const TNfcipInstance* ip) {
    return ip->role == NFCIP_INITIATOR ? uint8_t{DEP_REQ} : uint8_t{DEP_RES};
}

// A PDU without payload (ACK, NACK, attention) or with the RTOX byte.
void sendShort(TNfcipInstance* ip, uint8_t pfb, const uint8_t* payload = nullptr, uint32_t n = 0) {
    uint8_t f[8] = {static_cast<uint8_t>(4 + n), cmd0(ip), depCmd(ip), pfb};
    if (n) std::memcpy(f + 4, payload, n);
    send(ip, f, 4 + n, wtMs(ip));
}

void sendAck(TNfcipInstance* ip, bool nack) {
    TRACE(kTrc, "nfcipSendAck %s %d", nack ? "NACK" : "ACK", static_cast<int>(ip->pni));
    const uint8_t type = nack ? (kPfbAck | kPfbBit4) : kPfbAck;
    if (ip->role == NFCIP_INITIATOR) {
        // A NACK asks again for the PDU the initiator waits for: its number stays.
        if (!nack) ip->pni = (ip->pni + 1) & kPniMask;
        sendShort(ip, type | ip->pni);
    } else {
        sendShort(ip, type | ip->pni);
        ip->pni = (ip->pni + 1) & kPniMask;
    }
}

uint16_t lrOf(uint8_t pp) {
    constexpr uint16_t kLr[4] = {64, 128, 192, 255};
    return kLr[(pp >> 4) & 0x3];
}

uint32_t room(const TNfcipInstance* ip, bool first) { return first && ip->lr > 192 ? ip->lr - 5u : ip->lr - 4u; }

void sendPiece(TNfcipInstance* ip, bool first) {
    const uint32_t left = ip->txLength - ip->pieceStart;
    const uint32_t n = std::min(left, room(ip, first));
    ip->pieceLength = static_cast<uint16_t>(n);
    uint8_t f[4 + 255];
    f[0] = static_cast<uint8_t>(4 + n);
    f[1] = cmd0(ip);
    f[2] = depCmd(ip);
    f[3] = static_cast<uint8_t>(ip->pni | (n < left ? kPfbBit4 : 0));
    std::memcpy(f + 4, ip->tx + ip->pieceStart, n);
    send(ip, f, 4 + n, ip->role == NFCIP_INITIATOR ? wtMs(ip) : 0);
}

void dropMessage(TNfcipInstance* ip) {
    ip->txLength = ip->pieceStart = ip->pieceLength = 0;
    ip->txPending = false;
}

void sendInitiatorPiece(TNfcipInstance* ip, bool advance) {
    TRACE(kTrc, "nfcipSendInitiatorPiece");
    if (ip->deactivating || !ip->txPending) return;
    if (advance) {
        ip->pieceStart = static_cast<uint16_t>(ip->pieceStart + ip->pieceLength);
        ip->pni = (ip->pni + 1) & kPniMask;
    }
    if (ip->pieceStart >= ip->txLength) {
        dropMessage(ip);
        return;
    }
    ip->state = kWaitDep;
    sendPiece(ip, ip->pieceStart == 0);
}

void sendDeactivationRes(TNfcipInstance* ip) {
    const uint8_t f[6] = {0x06, kCmdT, DEP_RES, ip->pni, 0x00, 0x00};
    send(ip, f, sizeof f, wtMs(ip));
}

void sendTargetPiece(TNfcipInstance* ip) {
    if (ip->deactivating) {
        sendDeactivationRes(ip);
        return;
    }
    const bool first = ip->pieceStart == 0;
    sendPiece(ip, first);
    TRACE(kTrc, "nfcipSendTargetPiece sLen %d, pni %d, more %d", static_cast<int>(ip->pieceLength),
          static_cast<int>(ip->pni), ip->pieceStart + ip->pieceLength < ip->txLength);
    if (ip->pieceStart + ip->pieceLength >= ip->txLength) {
        dropMessage(ip);
        ip->pni = (ip->pni + 1) & kPniMask;
        ip->state = kTargetReady;
    }
}

// The packet number of the response piece sent last: once the last piece of a message is out
// the number has moved on, and an initiator that lost that piece names the one before.
uint8_t lastSentPni(const TNfcipInstance* ip) {
    return ip->txPending ? ip->pni : static_cast<uint8_t>((ip->pni + kPniMask) & kPniMask);
}

// Without a DID a control frame is 3 bytes long; 4 only when its fourth byte is the DID.
bool controlAccepted(const TNfcipInstance* ip, const uint8_t* f, uint32_t length) {
    return length == 3 || (length == 4 && f[3] == ip->did);
}

void sendControl(TNfcipInstance* ip, uint8_t cmd1, const uint8_t* request, uint32_t requestLength) {
    // The answer carries a DID byte only when the request did.
    const bool withDid = requestLength >= 4;
    const uint8_t f[4] = {static_cast<uint8_t>(withDid ? 4 : 3), kCmdT, cmd1, withDid ? request[3] : uint8_t{0}};
    send(ip, f, withDid ? 4u : 3u, 0);
}

bool append(TNfcipInstance* ip, const uint8_t* data, uint32_t n) {
    if (n == 0 || ip->rxLength + n > sizeof ip->rx) return false;
    std::memcpy(ip->rx + ip->rxLength, data, n);
    ip->rxLength = static_cast<uint16_t>(ip->rxLength + n);
    return true;
}

void deliver(TNfcipInstance* ip) {
    const uint16_t n = ip->rxLength;
    ip->rxLength = 0;
    event(ip, NFCIP_EV_DATA, ip->rx, n);
}

// ---- Target side ---------------------------------------------------------------------------------------
void handleAtrReq(TNfcipInstance* ip, const uint8_t* f, uint32_t length) {
    if (length <= 16 || (f[16] & 0x01) || f[13] != 0) return;
    TRACE(kTrc, "nfcipHandleAtrReq, localDID = 0x%X", static_cast<unsigned>(ip->did));
    if (ip->state != kIdle && ip->state != kTargetReady) {
        fail(ip, NFCIP_ERR_PROTOCOL);
        return;
    }
    ip->lr = lrOf(f[16]);
    std::memcpy(ip->remoteNfcid3, f + 3, 10);
    ip->remoteBs = f[14];
    ip->remoteBr = f[15];
    ip->state = kTargetReady;
    ip->pni = 0;
    event(ip, NFCIP_EV_ACTIVATED, f + 17, length - 17);
    TRACE(kTrc, "nfcipSendATR_RES");
    uint8_t r[18 + NFCIP_GB_MAX] = {0, kCmdT, ATR_RES};
    std::memcpy(r + 3, ip->localId, 10);
    r[16] = kDefaultTo;
    r[17] = ip->localPp;
    const uint8_t* gb = ip->localGbLength ? ip->localGb : kGeneralBytes;
    const uint32_t n = ip->localGbLength ? ip->localGbLength : sizeof kGeneralBytes;
    std::memcpy(r + 18, gb, n);
    r[0] = static_cast<uint8_t>(18 + n);
    send(ip, r, 18 + n, 0);
}

void handleDepReq(TNfcipInstance* ip, const uint8_t* f, uint32_t length) {
    if (length < 4 || (f[3] & kPfbNadDid)) return;
    const uint8_t pfb = f[3], pni = pfb & kPniMask;
    switch (pfb & kPfbType) {
    case kPfbInfo:
        if (pni != ip->pni) {
            TRACE(kErr, "!nfcipHandleDepReq wrong pni [%d] should be [%d]", static_cast<int>(pni), static_cast<int>(ip->pni));
            return;
        }
        if (ip->state >= kWaitDep) return;
        if (ip->state != kTargetReady && ip->state != kTargetHolding) {
            TRACE(kErr, "!nfcipHandleDepReq wrong state [%d]", static_cast<int>(ip->state));
            fail(ip, NFCIP_ERR_PROTOCOL);
            return;
        }
        if (ip->deactivating) {
            sendDeactivationRes(ip);
            ip->pni = (ip->pni + 1) & kPniMask;
            return;
        }
        if (!append(ip, f + 4, length - 4)) {
            TRACE(kErr, "!nfcipHandleDepReq: too much data [%d]", static_cast<int>(ip->rxLength + length - 4));
            sendAck(ip, true);
            return;
        }
        if (pfb & kPfbBit4) {
            sendAck(ip, false);
            return;
        }
        ip->state = kTargetHolding;
        TRACE(kTrc, "nfcipHandleDepReq: indicated data (len %d)", static_cast<int>(ip->rxLength));
        deliver(ip);
        // A response given before the request was whole goes now; one given meanwhile already went.
        if (ip->txPending && ip->pieceLength == 0) sendTargetPiece(ip);
        return;
    case kPfbAck:
        if (pni == ((ip->pni + 1) & kPniMask) && ip->txPending) {
            ip->pni = pni;
            if (!(pfb & kPfbBit4)) ip->pieceStart = static_cast<uint16_t>(ip->pieceStart + ip->pieceLength);
            sendTargetPiece(ip);
        } else if ((pfb & kPfbBit4) && pni == lastSentPni(ip)) {
            TRACE(kErr, "! nfcipHandleDepReq (NACK): PNI is equal to the last send pni (%d) --> retransmit",
                  static_cast<int>(pni));
            resend(ip);
        } else {
            TRACE(kErr, "! nfcipHandleDepReq (NACK): PNI is not equal to the last send pni (%d)", static_cast<int>(pni));
        }
        return;
    case kPfbSupv:
        if (!(pfb & kPfbBit4)) sendShort(ip, pfb, f + 4, std::min<uint32_t>(length - 4, 4));
        return;
    default: return;
    }
}

void handleTargetControl(TNfcipInstance* ip, uint8_t cmd1, const uint8_t* f, uint32_t length) {
    const bool psl = cmd1 == PSL_REQ;
    if (psl ? length != 6 : !controlAccepted(ip, f, length)) {
        fail(ip, NFCIP_ERR_PROTOCOL);
        return;
    }
    if (psl) {
        const uint8_t r[4] = {0x04, kCmdT, PSL_RES, f[3]};
        send(ip, r, sizeof r, 0);
        return;
    }
    ip->state = cmd1 == DSL_REQ ? kTargetDeselected : kIdle;
    sendControl(ip, cmd1 == DSL_REQ ? DSL_RES : RLS_RES, f, length);
}

// ---- Initiator side --------------------------------------------------------------------------------------
void sendAtrReq(TNfcipInstance* ip) {
    uint8_t f[37] = {37, kCmdI, ATR_REQ};
    std::memcpy(f + 3, ip->localId, 8);
    f[16] = kDefaultPp;
    std::memcpy(f + 17, kGeneralBytes, sizeof kGeneralBytes);
    send(ip, f, sizeof f, kControlTimeout);
}

void handleAtrRes(TNfcipInstance* ip, const uint8_t* f, uint32_t length) {
    if (length < 18) {
        TRACE(kErr, "!nfcipHandleAtrRes too short");
        return;
    }
    if (f[13] != 0) {
        TRACE(kErr, "!nfcipHandleAtrRes no support for DID/NAD yet");
        return;
    }
    if (ip->state != kWaitAtr) {
        TRACE(kErr, "!nfcipHandleAtrRes NFCIP_ERROR_PROTOCOL_VIOLATION state %d", static_cast<int>(ip->state));
        fail(ip, NFCIP_ERR_PROTOCOL);
        return;
    }
    ip->lr = lrOf(f[17]);
    std::memcpy(ip->remoteNfcid3, f + 3, 10);
    ip->remoteBs = f[14];
    ip->remoteBr = f[15];
    ip->remoteTo = f[16];
    ip->wt = ip->remoteTo > kWtMax ? kWtMax : ip->remoteTo;
    ip->extraRetries = ip->remoteTo > kWtMax ? 1 : 0;
    ip->retryBudget = ip->extraRetries;
    ip->timeouts = 0;
    ip->responseWt = std::min(ip->wt, kResponseWtMax);
    TRACE(kTrc, "nfcipHandleAtrRes remote TO %02X %02X %02X", f[16], ip->wt, ip->extraRetries);
    ip->state = kInitiatorReady;
    ip->pni = 0;
    ip->remoteGbLength = static_cast<uint16_t>(std::min<uint32_t>(length - 18, sizeof ip->remoteGb));
    std::memcpy(ip->remoteGb, f + 18, ip->remoteGbLength);
    event(ip, NFCIP_EV_ACTIVATED, ip->remoteGb, ip->remoteGbLength);
    sendInitiatorPiece(ip, false);
}

void handleDepRes(TNfcipInstance* ip, const uint8_t* f, uint32_t length) {
    ip->timeouts = 0;
    if (length < 4 || (f[3] & kPfbNadDid)) return;
    const uint8_t pfb = f[3], pni = pfb & kPniMask;
    switch (pfb & kPfbType) {
    case kPfbAck:
        if (pni != ip->pni) {
            TRACE(kErr, "! nfcipHandleDepRes NFCIP_DEP_TYPE_ACK wrong pni is %d desired value %d", static_cast<int>(pni),
                  static_cast<int>(ip->pni));
            return;
        }
        ip->responseWt = std::min(ip->wt, kResponseWtMax);
        ip->retryBudget = ip->extraRetries;
        if (ip->deactivating) nfcipSendDslReq(ip);
        else sendInitiatorPiece(ip, !(pfb & kPfbBit4));
        return;
    case kPfbSupv:
        if (pfb & kPfbBit4) {
            const uint8_t rtox = length > 4 ? f[4] : 0;
            uint8_t n = 0;
            while (n < 8 && (1u << n) < rtox) ++n;
            ip->retryBudget = n;
            ip->responseWt = std::min(ip->wt, kResponseWtMax);
            TRACE(kTrc, "nfcipHandleDepRes wtx, new TO = %d, add %d", static_cast<int>(wtMs(ip)), static_cast<int>(n));
            TRACE(kTrc, "nfcipSendSupv %s ", "wtx");
            sendShort(ip, kPfbSupv | kPfbBit4, &rtox, 1);
        } else if (ip->deactivating) {
            nfcipSendDslReq(ip);
        } else {
            sendInitiatorPiece(ip, false);
        }
        return;
    case kPfbInfo: break;
    default:
        if (debugOn(kTrc)) debugDump(f, "nfcipSendNack: PFB unknown!", length);
        sendAck(ip, true);
        return;
    }
    if (pni != ip->pni) {
        sendAck(ip, true);
        return;
    }
    if (ip->state < kWaitDep) {
        fail(ip, NFCIP_ERR_PROTOCOL);
        return;
    }
    if (ip->state > kWaitDep) return;
    if (ip->deactivating) {
        nfcipSendDslReq(ip);
        return;
    }
    if (!append(ip, f + 4, length - 4)) {
        TRACE(kErr, "%s: packets overflow our buffer slen=%d datalen=%d!", "nfcipHandleDepRes",
              static_cast<int>(ip->rxLength), static_cast<int>(length - 4));
        sendAck(ip, true);
        return;
    }
    if (pfb & kPfbBit4) {
        sendAck(ip, false);
        return;
    }
    dropMessage(ip);
    ip->state = kInitiatorReady;
    ip->pni = (ip->pni + 1) & kPniMask;
    deliver(ip);
}

void handleInitiatorControl(TNfcipInstance* ip, uint8_t cmd1, const uint8_t* f, uint32_t length) {
    if (cmd1 == PSL_RES) {
        if (length != 4) {
            fail(ip, NFCIP_ERR_PROTOCOL);
            return;
        }
        const uint8_t two = 2;
        event(ip, NFCIP_EV_PSL, &two, 1);
        event(ip, NFCIP_EV_ACTIVATED, ip->remoteGb, ip->remoteGbLength);
        ip->state = kInitiatorReady;
        sendInitiatorPiece(ip, false);
        return;
    }
    if (!controlAccepted(ip, f, length)) {
        fail(ip, NFCIP_ERR_PROTOCOL);
        return;
    }
    if (cmd1 == DSL_RES) {
        ip->state = kWaitRls;
        const uint8_t r[3] = {0x03, kCmdI, RLS_REQ};
        send(ip, r, sizeof r, kControlTimeout);
        return;
    }
    ip->state = kReleased;
    event(ip, NFCIP_EV_DEACTIVATED);
}

const char* cmdName(uint8_t c0, uint8_t c1) {
    constexpr const char* kReq[] = {"AtrReq", "WupReq", "PslReq", "DepReq", "DslReq", "RlsReq"};
    constexpr const char* kRes[] = {"AtrRes", "WupRes", "PslRes", "DepRes", "DslRes", "RlsRes"};
    if (c0 == kCmdI && !(c1 & 1) && c1 <= RLS_REQ) return kReq[c1 / 2];
    if (c0 == kCmdT && (c1 & 1) && c1 <= RLS_RES) return kRes[c1 / 2];
    return "!unknown!";
}

}  // namespace

TNfcipInstance* nfcipDefault() { return &g_default; }
void nfcipResetForTest() { g_default = TNfcipInstance{}; }

void nfcipBind(TNfcipInstance* ip, void* user, const TNfcipCallbacks& callbacks) {
    *ip = TNfcipInstance{};
    ip->user = user;
    ip->cb = callbacks;
}

int32_t nfcipTargetInit(TNfcipInstance* ip, const uint8_t* nfcid3t, const uint8_t* generalBytes, uint32_t length,
                        uint8_t pp) {
    TRACE(kTrc, "nfcipTargetInit");
    if (!ip) return -1;
    ip->role = NFCIP_TARGET;
    ip->state = kIdle;
    ip->localIdLength = 10;
    if (nfcid3t) std::memcpy(ip->localId, nfcid3t, 10);
    ip->wt = ip->responseWt = kDefaultTo;
    ip->lr = 64;
    ip->localPp = pp;
    if (generalBytes && length <= NFCIP_GB_MAX) {
        std::memcpy(ip->localGb, generalBytes, length);
        ip->localGbLength = static_cast<uint8_t>(length);
    } else if (generalBytes) {
        TRACE(kErr, "%s: given GB len to big (%d)!", "nfcipTargetInit", static_cast<int>(length));
    }
    return 0;
}

int32_t nfcipInitiatorInit(TNfcipInstance* ip, const uint8_t* nfcid2, uint32_t length) {
    TRACE(kTrc, "nfcipInitiatorInit");
    if (!ip || length != 8) {
        TRACE(kErr, "nfcipInitiatorInit invalid nfcId2 len !!");
        return -1;
    }
    ip->role = NFCIP_INITIATOR;
    std::memcpy(ip->localId, nfcid2, 8);
    ip->localIdLength = 8;
    ip->lr = 64;
    ip->state = kWaitAtr;
    sendAtrReq(ip);
    return 0;
}

void nfcipHandleRcv(TNfcipInstance* ip, const uint8_t* f, uint32_t length) {
    if (!f || length < 3) {
        fail(ip, NFCIP_ERR_SHORT);
        return;
    }
    TRACE(kTrc, "nfcipHandleRcv [%s]", cmdName(f[1], f[2]));
    const uint8_t c1 = f[2];
    if (f[1] == kCmdI) {
        switch (c1) {
        case ATR_REQ: handleAtrReq(ip, f, length); return;
        case DEP_REQ: handleDepReq(ip, f, length); return;
        case PSL_REQ:
        case DSL_REQ:
        case RLS_REQ: handleTargetControl(ip, c1, f, length); return;
        default:
            if (c1 == 2 || ((c1 & 1) && c1 <= 9)) return;
            fail(ip, NFCIP_ERR_REQUEST);
            return;
        }
    }
    if (f[1] == kCmdT) {
        switch (c1) {
        case ATR_RES: handleAtrRes(ip, f, length); return;
        case DEP_RES: handleDepRes(ip, f, length); return;
        case PSL_RES:
        case DSL_RES:
        case RLS_RES: handleInitiatorControl(ip, c1, f, length); return;
        default:
            if (c1 == 3 || !(c1 & 1)) return;
            fail(ip, NFCIP_ERR_RESPONSE);
            return;
        }
    }
    fail(ip, NFCIP_ERR_CMD0);
}

int32_t nfcipSendData(TNfcipInstance* ip, uint32_t length, const uint8_t* data) {
    if (ip->deactivating) TRACE(kErr, "! nfcipSendData already deactivated");
    if (ip->txPending) {
        TRACE(kErr, "nfcipSendData TRANSMITTER_BLOCKED");
        return NFCIP_ERR_BLOCKED;
    }
    if (length > NFCIP_MESSAGE_MAX) {
        TRACE(kErr, "nfcipSendData TRANSFERSIZE");
        return NFCIP_ERR_SIZE;
    }
    const bool initiator = ip->role == NFCIP_INITIATOR && ip->state == kInitiatorReady;
    const bool target = ip->role == NFCIP_TARGET && (ip->state == kTargetReady || ip->state == kTargetHolding);
    if (!initiator && !target) {
        TRACE(kErr, "nfcipSendData PROTOCOL_VIOLATION in target mode (state 0x%X)!", static_cast<unsigned>(ip->state));
        return NFCIP_ERR_PROTOCOL;
    }
    if (length) std::memcpy(ip->tx, data, length);
    ip->txLength = static_cast<uint16_t>(length);
    ip->pieceStart = ip->pieceLength = 0;
    ip->txPending = true;
    if (initiator) sendInitiatorPiece(ip, false);
    else if (ip->state == kTargetHolding) sendTargetPiece(ip);
    return 0;
}

void nfcipHandleTimeout(TNfcipInstance* ip) {
    ++ip->timeouts;
    TRACE(kTrc, "%s: cause %d (%d, %d), state %d", "nfcipHandleTimeout", 0, static_cast<int>(ip->timeouts),
          static_cast<int>(ip->retryBudget), static_cast<int>(ip->state));
    if (ip->timeouts <= ip->retryBudget) {
        resend(ip);
        return;
    }
    if (ip->timeouts == ip->retryBudget + 1) {
        if (ip->lastLength >= 4 && (ip->last[3] & kPfbBit4) && (ip->last[3] & kPfbType) != kPfbSupv) {
            TRACE(kTrc, "nfcipHandleTimeout: retransmit NACK");
            resend(ip);
        } else if (ip->state == kWaitAtr) {
            sendAtrReq(ip);
        } else {
            TRACE(kTrc, "nfcipSendSupv %s ", "ATTN");
            const uint8_t f[4] = {0x04, cmd0(ip), depCmd(ip), kPfbSupv};
            if (ip->cb.transmit) ip->cb.transmit(ip->user, f, sizeof f, wtMs(ip));
        }
        return;
    }
    ip->timeouts = 0;
    fail(ip, NFCIP_ERR_RETRIES);
}

void nfcipDeactivateProtocol(TNfcipInstance* ip, bool localRequest) {
    TRACE(kTrc, "%s: state %d, localReq %d", "nfcipDeactivateProtocol", static_cast<int>(ip->state), localRequest);
    ip->localRequest = localRequest;
    if (localRequest) ip->deactivating = 1;
    if (ip->role == NFCIP_TARGET) sendDeactivationRes(ip);
    else if (ip->state == kInitiatorReady) nfcipSendDslReq(ip);
}

void nfcipSendDslReq(TNfcipInstance* ip) {
    if (!ip->localRequest) {
        event(ip, NFCIP_EV_DEACTIVATED);
        return;
    }
    TRACE(kTrc, "nfcipSendDslReq");
    if (ip->state > kWaitDep) return;
    ip->state = kWaitDsl;
    const uint8_t f[3] = {0x03, kCmdI, DSL_REQ};
    send(ip, f, sizeof f, kControlTimeout);
}
