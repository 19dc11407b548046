// The ST21's NFC-IP-1 gates: the FeliCa reader that is also the NFC-DEP initiator (gate 0x14) and
// the NFC-DEP target (gate 0x24). Both carry raw NFCIP-1 frames: once a peer is found or has
// activated the target, the NFC-IP-1 engine runs the link over the pipe.
#include <algorithm>
#include <cstring>

#include "L1/ehci/ehci.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kFelicaBits = 0x300, kInitiator = 0x1000, kTarget = 0x2000, kCardF = 0x400000;
constexpr uint32_t kTypeFelica = 0x100, kTypeNfcDepTarget = 0x1000, kTypeNfcDepInitiator = 0x2000;
constexpr uint32_t kNfcid2Length = 8, kPmmLength = 8, kNfcid1Length = 8, kWithSystemCode = 18;
constexpr uint32_t kOwnNfcid1Length = 7;
constexpr uint8_t kNfcDepPrefix[2] = {0x01, 0xFE};
// The tail of the NFCID2 the target presents when the application gives none.
constexpr uint8_t kDefaultNfcid2Tail[6] = {0x53, 0x54, 0x32, 0x31, 0x49, 0x50};
constexpr uint32_t kTargetRecord = 19;   // NFCID2 and its padding, as the target gate takes it
constexpr uint8_t kTargetRate = 2, kSensRes[2] = {0x00, 0x08}, kSelRes = 0x40, kTargetMode = 2;

// Pipe states (each names the answer it waits for); the core's are kOpened, kPolling, kExchange.
enum : uint32_t {
    kOpened = 11, kPolling = 30, kExchange = 34,
    kSpeedSet = EHCI_STATE_PRIVATE + 360, kCodeSet, kNfcid2, kNfcid1, kSensResRead, kRateRead, kCaps, kCapsSet,
    kSensResSet, kSelResSet, kId1Set, kId2Set, kModeSet, kWaiting, kReleased,
};

// Target events of the gate 0x24.
enum : uint8_t { kEvtData = 0x10, kEvtFieldOn = 0x11, kEvtActivated = 0x13, kEvtFieldOff = 0x14 };

// The core's reader operations the pipes fall back on, and the identifier the target presents.
struct Ip1 {
    void (*readerResponse)(TEhciPipe*, const uint8_t*, uint32_t, uint32_t);
    uint8_t nfcid2[kNfcid2Length];
};
Ip1 g_ip1;

// A link is up on the current pipe: a new discovery or activation does not interrupt it.
bool p2pInProgress(const TEhciInstance* e) {
    return e->currentPipe && e->currentPipe->state == kExchange &&
           (e->tagRecord.tagType & (kTypeNfcDepTarget | kTypeNfcDepInitiator));
}

// A gate that does not open is given up for this listen.
void giveUp(TEhciPipe* pipe) {
    pipe->owner->pendingMask &= ~pipe->processMask;
    ehciStartNextReader(pipe->owner);
}

// ---- Initiator and FeliCa reader (gate 0x14) ---------------------------------------------------------------
// Bits 8-9 of the listen mask (the FeliCa rates) twice; the initiator's rate from the listen
// parameters, or all three.
uint8_t speedByte(const TEhciInstance* e) {
    const auto felica = static_cast<uint8_t>(((e->listenMask >> 8) & 0x3) * 2);
    if (!(e->listenMask & kInitiator)) return felica;
    const TNfcListenParam* p = e->listenParams;
    if (!p || !(p->p2pFlags & NFC_P2P_DATA_RATE)) return 7;
    switch (p->p2pDataRate) {
    case 1: return felica | 1;
    case 2: return felica | 3;
    case 3: return 7;
    default: TRACE(kErr, "ehci: invalid dataRate in paramIP1: %d", static_cast<int>(p->p2pDataRate)); return 7;
    }
}

void setSystemCode(TEhciPipe* pipe) {
    const TEhciInstance* e = pipe->owner;
    const TNfcListenParam* p = e->listenParams;
    const bool given = (e->listenMask & kFelicaBits) && p && (p->listenFFlags & NFC_LISTEN_F_IDENTIFIERS);
    const uint16_t code = given ? p->systemCode : 0xFFFF;
    const uint8_t value[4] = {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code), 0x00, 0x00};
    ehciSetParam(pipe, 0x02, value, sizeof value, kCodeSet);
}

void initiatorOpen(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    if ((e->flags & EHCI_F_STAY_OPEN) && (pipe->flags & EHCI_P_OPEN)) {
        ehciOpenRFPipeCompleted(pipe);
        return;
    }
    ehciOpenPipe(pipe);
}

void initiatorEvent(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    if (event != EHCI_EVT_TARGET_DISCOVERED || pipe->state != kPolling || (e->flags & EHCI_F_CANCEL) ||
        p2pInProgress(e)) {
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
        return;
    }
    TRACE(kTrc, "ehci: terminate listen (process mask 0x%.08X), TAG discovered", static_cast<unsigned>(e->pendingMask));
    e->pendingMask = 0;
    ehciStartNextReader(e);
    ehciSt21ClearP2pPolls();
    TRACE(kTrc, "ehci: xxx discovered, status 0x%X (%d ms), read NFCID2", length ? data[0] : 0u,
          static_cast<int>(pipe->responseTime));
    e->currentPipe = pipe;
    e->tagRecord = TNfcTagInfo{};
    ehciGetParam(pipe, 0x03, kNfcid2);
}

void setIdentifier(TNfcTagInfo& tag, const uint8_t* id, uint32_t length) {
    std::memset(tag.uid, 0, sizeof tag.uid);
    std::memcpy(tag.uid, id, length);
    tag.uidLength = static_cast<uint16_t>(length);
}

// {NFCID2 (8), PMm (8), system code (2)} as far as it came; nothing is an NFC-DEP target at 106 kbit/s.
void nfcid2Read(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    TNfcTagInfo& tag = e->tagRecord;
    CByteReader r(data, length);
    const uint8_t* id = nullptr;
    if (length == 0) {
        TRACE(kTrc, "ehci: No NFCID2, assume IP-1 detected(106k)");
        ehciGetParam(pipe, 0x04, kNfcid1);
        return;
    }
    if (length >= kWithSystemCode) {
        tag.felica.systemCode = static_cast<uint16_t>(data[16] << 8 | data[17]);
        TRACE(kTrc, "ehci: Felica system code 0x%.04X", static_cast<unsigned>(tag.felica.systemCode));
    } else {
        TRACE(kTrc, "ehci: Felica no system code. Use 0000");
    }
    if (!r.take(kNfcid2Length, id)) {
        TRACE(kErr, "ehci: ! NFCID2 of %d bytes, listen again", static_cast<int>(length));
        ehciHandleRelisten(e);
        return;
    }
    setIdentifier(tag, id, kNfcid2Length);
    if (std::equal(std::begin(kNfcDepPrefix), std::end(kNfcDepPrefix), id)) {
        if (!(e->listenMask & kInitiator)) {
            // Nobody asked for a peer: the gate is closed, or the chip would find it again at
            // once, and the other readers poll on.
            TRACE(kErr, "ehci: ! NFCID2, IP-1 detected, but no P2P listener");
            ehciSendCommand(pipe, EHCI_ANY_CLOSE_PIPE, nullptr, 0, kReleased);
            return;
        }
        TRACE(kTrc, "ehci: NFCID2, IP-1 detected");
        tag.tagType = kTypeNfcDepTarget;
    } else {
        TRACE(kTrc, "NFC ID2, read SENS RES");
        const uint8_t* pmm = nullptr;
        if (r.take(kPmmLength, pmm)) std::memcpy(tag.felica.pmm, pmm, kPmmLength);
        tag.tagType = kTypeFelica;
    }
    ehciGetParam(pipe, 0x05, kSensResRead);
}

void nfcid1Read(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    uint8_t id[kNfcid1Length] = {};
    std::memcpy(id, data, std::min(length, kNfcid1Length));
    if (debugOn(NFCLL_TRC_DUMP)) debugDump(id, "NFC ID1", kNfcid1Length);
    setIdentifier(e->tagRecord, id, kNfcid1Length);
    e->tagRecord.tagType = kTypeNfcDepTarget;
    ehciGetParam(pipe, 0x05, kSensResRead);
}

void initiatorReady(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    TRACE(kTrc, "ehci: data rate 0x%X", length ? data[0] : 0u);
    ehciTakeRxBuffer(pipe);
    e->activated = 1;
    ehciTargetReady(e, pipe, e->tagRecord.tagType);
}

void initiatorResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    const uint32_t state = pipe->state;
    const uint32_t n = code ? 0 : length;
    if (code && (state == kNfcid2 || state == kNfcid1)) {
        ehciHandleRelisten(e);
        return;
    }
    switch (state) {
    case kOpened: {
        if (code) {
            giveUp(pipe);
            return;
        }
        const uint8_t speed = speedByte(e);
        ehciSetParam(pipe, 0x01, &speed, 1, kSpeedSet);
        return;
    }
    case kSpeedSet: setSystemCode(pipe); return;
    case kCodeSet: ehciOpenRFPipeCompleted(pipe); return;
    case kPolling: TRACE(kErr, "Unexpected/delayed response in listen state, ignored"); return;
    case kNfcid2: nfcid2Read(e, pipe, data, n); return;
    case kNfcid1: nfcid1Read(e, pipe, data, n); return;
    case kSensResRead: ehciGetParam(pipe, 0x01, kRateRead); return;
    case kRateRead: initiatorReady(e, pipe, data, n); return;
    case kReleased:
        pipe->flags &= ~EHCI_P_OPEN;
        ehciStartPolling(e);
        return;
    default: g_ip1.readerResponse(pipe, data, length, code); return;
    }
}

// ---- Target (gate 0x24) ------------------------------------------------------------------------------------
void targetOpened(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    TRACE(kTrc, "ehci: %s ID 0x%X <%s>, pending mask 0x%.08X, pipe mask 0x%.08X", "ehciStmOpenIP1PipeCompleted",
          static_cast<unsigned>(pipe->id), pipe->name, static_cast<unsigned>(e->pendingMask),
          static_cast<unsigned>(pipe->processMask));
    ehciSetParam(pipe, 0x01, &kTargetMode, 1, kModeSet);
}

void setNfcid1(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    const TNfcListenParam* p = e->listenParams;
    if (p && (p->p2pFlags & NFC_P2P_NFCID_VALID)) {
        if (p->p2pNfcidLength <= sizeof p->p2pNfcid) {
            ehciSetParam(pipe, 0x05, p->p2pNfcid, p->p2pNfcidLength, kId1Set);
            return;
        }
        TRACE(kErr, "ehci: %s given ID1 length to big %d", pipe->name, static_cast<int>(p->p2pNfcidLength));
    }
    ehciSetParam(pipe, 0x05, e->sessionIdentity, kOwnNfcid1Length, kId1Set);
}

// 01 FE, the tail, then padding; its first eight bytes are the identifier the initiator is told.
void setNfcid2(TEhciPipe* pipe) {
    const TNfcListenParam* p = pipe->owner->listenParams;
    const bool given = p && (p->listenFFlags & NFC_LISTEN_F_IDENTIFIERS);
    uint8_t record[kTargetRecord] = {kNfcDepPrefix[0], kNfcDepPrefix[1]};
    std::memcpy(record + 2, given ? p->nfcid2 + 2 : kDefaultNfcid2Tail, sizeof kDefaultNfcid2Tail);
    std::memcpy(g_ip1.nfcid2, record, kNfcid2Length);
    ehciSetParam(pipe, 0x04, record, sizeof record, kId2Set);
}

void targetResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    switch (pipe->state) {
    case kOpened:
        if (code) giveUp(pipe);
        else ehciGetParam(pipe, 0x08, kCaps);
        return;
    case kCaps: {
        TRACE(kTrc, "ehci: # IP1  target, speed caps 0x%X, set data rate to max 212 kHz",
              !code && length ? data[0] : 0u);
        ehciSetParam(pipe, 0x08, &kTargetRate, 1, kCapsSet);
        return;
    }
    case kCapsSet:
        TRACE(kTrc, "ehci: # IP1  target, set SENS_RES to 0x0008");
        ehciSetParam(pipe, 0x06, kSensRes, sizeof kSensRes, kSensResSet);
        return;
    case kSensResSet:
        TRACE(kTrc, "ehci: # IP1  target, set SEL_RES");
        ehciSetParam(pipe, 0x07, &kSelRes, 1, kSelResSet);
        return;
    case kSelResSet: setNfcid1(pipe); return;
    case kId1Set: setNfcid2(pipe); return;
    case kId2Set: targetOpened(pipe); return;
    case kModeSet:
        e->pendingMask &= ~pipe->processMask;
        pipe->state = kWaiting;
        ehciStartNextReader(e);
        return;
    default: g_ip1.readerResponse(pipe, data, length, code); return;
    }
}

void activated(TEhciInstance* e, TEhciPipe* pipe) {
    if (pipe->state != kWaiting || p2pInProgress(e)) {
        TRACE(kErr, "ehci: ! IP-1 target, card activated in bad state, ignored");
        return;
    }
    TRACE(kTrc, "ehci: IP-1 target, card activated");
    ehciSt21ClearP2pPolls();
    e->pendingMask = 0;
    ehciStartNextReader(e);
    e->currentPipe = pipe;
    e->tagRecord = TNfcTagInfo{};
    setIdentifier(e->tagRecord, g_ip1.nfcid2, kNfcid2Length);
    ehciTakeRxBuffer(pipe);
    e->activated = 0;
    ehciTargetReady(e, pipe, (e->listenMask & kCardF) ? kCardF : kTypeNfcDepInitiator);
}

// The initiator's frame, joined from its packets, goes to the engine.
void received(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    TRACE(kTrc, "ehci: IP1 RX data in state %d len %d", static_cast<int>(pipe->state), static_cast<int>(length));
    if (!pipe->rxBuffer) {
        TRACE(kErr, "! No RX buffer present");
        return;
    }
    if (!ehciJoinInPipe(pipe, data, length)) return;
    ehciUp(e, EV_EHCI_READER_RESPONSE, const_cast<uint8_t*>(data), length);
}

void targetEvent(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    const bool active = pipe->state == kExchange && e->currentPipe == pipe;
    switch (event) {
    case kEvtData:
        if (active) received(e, pipe, data, length);
        else TRACE(kErr, "ehci: IP1 RX data ignored, bad state %d !", static_cast<int>(pipe->state));
        return;
    case kEvtFieldOn: TRACE(kTrc, "ehci: <%s> Field ON", pipe->name); return;
    case kEvtActivated: activated(e, pipe); return;
    case kEvtFieldOff:
        if (active) {
            TRACE(kTrc, "ehci: Field OFF, IP-1 target signal remove");
            pipe->state = kWaiting;
            ehciSignalRemoval(e);
        } else if (pipe->state == kWaiting) {
            TRACE(kTrc, "ehci: Field OFF in state TAG listen ignore");
        } else {
            TRACE(kTrc, "ehci: Field OFF ignored");
        }
        return;
    default:
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
        return;
    }
}

void installTarget(TEhciPipe* pipe);

// Card-F emulation alone takes the core's card operations; NFC-DEP the target's own.
void targetOpen(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    if ((e->listenMask & kCardF) && !(e->listenMask & kTarget)) {
        ehciCardInstall(pipe);
        pipe->open = &targetOpen;
    } else {
        installTarget(pipe);
    }
    ehciOpenPipe(pipe);
}

void installTarget(TEhciPipe* pipe) {
    pipe->response = &targetResponse;
    pipe->event = &targetEvent;
    pipe->open = &targetOpen;
    pipe->stop = &ehciStopPipe;
    pipe->writeHeader = &ehciCardHeader;
}

}  // namespace

void ehciSt21Ip1Install(TEhciPipe* initiator, TEhciPipe* target) {
    g_ip1 = Ip1{};
    ehciRfInstall(initiator);
    g_ip1.readerResponse = initiator->response;
    initiator->response = &initiatorResponse;
    initiator->event = &initiatorEvent;
    initiator->open = &initiatorOpen;
    installTarget(target);
}
