// The PN544's NFC-IP-1 initiator and target pipes. The chip runs NFC-DEP itself: the host opens
// the pipes with the speeds and general bytes of the listen, learns of a link by the activation
// event, reads the peer's ATR and the frame size, and then exchanges the link's payloads in
// frames of at most that size, each frame cut into HCP packets and announced by its MI byte.
#include <algorithm>
#include <cstring>

#include "L1/common/nfcll_listen.h"
#include "L1/ehci/ehci.h"
#include "util/bytereader.h"
#include "util/stackbytes.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kInitiatorType = 0x1000, kTargetType = 0x2000;
constexpr uint32_t kFirstHeader = 3;     // pipe, 0x41, MI
constexpr uint32_t kNextHeader = 1;      // pipe
constexpr uint8_t kDataEvent = 0x01;     // header 0x41
constexpr uint8_t kReleaseEvent = 0x35;  // header 0x75

enum : uint8_t { kActivated = 0x02, kDeactivated = 0x03, kData = 0x04, kContinueMi = 0x05, kActivate = 0x13 };
enum : uint8_t { kSpeedParam = 1, kAtrReqParam = 2, kAtrResParam = 3, kFrameSizeParam = 12, kFlagsParam = 13 };

// Pipe states (each names the answer it waits for): 60 is reader A's activation step, whose
// NFC-DEP command this pipe carries; the pipe's own steps count from the private base.
enum : uint32_t {
    kOpened = 11, kClosed = 12, kPolling = 30, kExchange = 34, kReaderAActivation = 60,
    kSpeedSet = EHCI_STATE_PRIVATE + 200, kAtrSet, kFlagsSet, kActivating, kAtrRead, kFrameSize,
};

// The one link's state: the message being sent and the frame being received.
struct Ip1 {
    const uint8_t* data = nullptr;
    uint32_t total = 0;
    uint32_t sent = 0;
    uint32_t inFrame = 0;       // bytes of the current frame sent
    uint8_t mi = 0;             // of the current frame
    uint16_t maxFrame = 0;
    bool sending = false;
    bool waitingMi = false;
    bool more = false;          // MI of the frame being received
    // Frames that come while the link is still being read wait for the frame length, joined:
    // an initiator may send a whole chained message before the chip has answered the reads.
    uint8_t held[NFCLL_RX_BUFFER_SIZE] = {};
    uint32_t heldLength = 0;
    bool heldMore = false;      // MI of the last frame held
    uint8_t atr[NFCLL_GENERAL_BYTES_MAX] = {};
    TEhciJoin atrJoin = {};
};
Ip1 g;

bool isInitiator(const TEhciPipe* pipe) { return pipe == pipe->owner->pipes.nfcipInitiator; }
const char* roleName(const TEhciPipe* pipe) { return isInitiator(pipe) ? "Initiator" : "Target"; }

void traceUnexpected(const TEhciPipe* pipe) {
    TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
}

// ---- Opening ---------------------------------------------------------------------------------------
uint8_t speedMask(const TEhciInstance* e, bool initiator) {
    const uint32_t mask = e->listenMask;
    if (initiator) {
        if (!((mask & 0x1000) && (mask & 0x300))) return 0x38;
        return static_cast<uint8_t>(0x06 | ((mask & 0x40000) ? 0x38 : 0));
    }
    return static_cast<uint8_t>(((mask & 0x2000) ? 0x07 : 0) | ((mask & 0x8000) ? 0x08 : 0));
}

void setByte(TEhciPipe* pipe, uint8_t index, uint8_t value, uint32_t state) { ehciSetParam(pipe, index, &value, 1, state); }

// The general bytes of the listen (the application's, else those the manager put in their place);
// false when there are none or they do not fit one registry write.
bool setGeneralBytes(TEhciPipe* pipe) {
    const TNfcListenParam* p = pipe->owner->listenParams;
    TNfcllAtrView atr;
    if (!p || !nfcllListenAtr(p, atr)) return false;
    const uint8_t* bytes = atr.given ? atr.bytes : p->atrBytes;
    const uint32_t n = atr.given ? atr.length : std::min<uint32_t>(p->atrLength, sizeof p->atrBytes);
    if (!n) return false;
    if (n > EHCI_PACKET_MAX - 3) {
        TRACE(kErr, "ehci: ! %d general bytes do not fit the IP-1 registry", static_cast<int>(n));
        return false;
    }
    const bool initiator = isInitiator(pipe);
    TRACE(kTrc, "%s", initiator ? "ehci: set ATR_REQ" : "ehci: set ATR_RES");
    return ehciSetParam(pipe, initiator ? kAtrReqParam : kAtrResParam, bytes, n, kAtrSet) >= 0;
}

void generalBytesSet(TEhciPipe* pipe) {
    if (isInitiator(pipe)) {
        ehciOpenRFPipeCompleted(pipe);
        return;
    }
    setByte(pipe, kFlagsParam, (pipe->owner->listenMask >> 20) & 1, kFlagsSet);
}

// ---- Link ------------------------------------------------------------------------------------------
// The link is over: the peer is reported gone.
void endLink(TEhciPipe* pipe) {
    g = Ip1{};
    pipe->state = kPolling;
    ehciSignalRemoval(pipe->owner);
}

void activate(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    if (!ehciTakeRxBuffer(pipe)) {
        TRACE(kErr, "!ehci: ehciAllocBuffer failed for ip1 pipe");
        return;
    }
    g = Ip1{};
    e->currentPipe = pipe;
    e->tagRecord = TNfcTagInfo{};
    const bool initiator = isInitiator(pipe);
    TRACE(kTrc, "%s", initiator ? "ehci: IP-1 active mode activated" : "ehci: IP-1 passive mode activated");
    e->tagRecord.tagType = initiator ? kInitiatorType : kTargetType;
    ehciGetParam(pipe, initiator ? kAtrResParam : kAtrReqParam, kAtrRead);
}

void passUp(TEhciPipe* pipe, const uint8_t* data, uint32_t length, bool more) {
    TRACE(NFCLL_TRC_P2P, "IP-1 RX%s DATA,%s MI=%d, length=%d,%d", isInitiator(pipe) ? " INITIATOR" : " TARGET",
          more ? " more" : "", more ? 1 : 0, static_cast<int>(length), static_cast<int>(g.maxFrame));
    ehciUp(pipe->owner, EV_EHCI_P2P_DATA, const_cast<uint8_t*>(data), length, more ? 1 : 0);
}

// The ATR answer, kept as far as the record holds it.
void atrRead(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    if (!ehciJoin(g.atrJoin, pipe, g.atr, sizeof g.atr, data, length, code)) return;
    const uint32_t stored = code ? 0 : std::min<uint32_t>(length, sizeof g.atr);
    TRACE(kTrc, "ehci: IP1 ATR REQ/RSP len %d", static_cast<int>(stored));
    auto* record = reinterpret_cast<uint8_t*>(&e->tagRecord);
    std::memcpy(record + NFCLL_GENERAL_BYTES_OFFSET, data, stored);
    e->tagRecord.historicalBytesLength = static_cast<uint16_t>(stored);
    if (!isInitiator(pipe)) ehciTargetReady(e, pipe, kTargetType);
    ehciGetParam(pipe, kFrameSizeParam, kFrameSize);
}

void frameSizeRead(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    const uint8_t b = !code && length ? data[0] : 0;
    g.maxFrame = ehci544IP1FrameLength(b, nfcmanP2pRawMode() != 0);
    TRACE(kTrc, "ehci: IP1 Get param response 0x%X, max frame length %d", static_cast<unsigned>(b),
          static_cast<int>(g.maxFrame));
    if (isInitiator(pipe)) {
        ehciTargetReady(e, pipe, kInitiatorType);
        return;
    }
    pipe->state = kExchange;
    if (!g.heldLength) return;
    TRACE(kTrc, "ehci: signal deferred first RX frame");
    const uint32_t n = g.heldLength;
    g.heldLength = 0;
    passUp(pipe, g.held, n, g.heldMore);
}

void ip1Response(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    switch (pipe->state) {
    case kOpened:
        if (code) {
            traceUnexpected(pipe);
            ehciOpenRFPipeCompleted(pipe);
            return;
        }
        TRACE(kTrc, "ehci: ## OPEN IP-1 %s SUCCESSFULLY, pipe ID %d", roleName(pipe), static_cast<int>(pipe->id));
        setByte(pipe, kSpeedParam, speedMask(e, isInitiator(pipe)), kSpeedSet);
        return;
    case kSpeedSet:
        if (!setGeneralBytes(pipe)) generalBytesSet(pipe);
        return;
    case kAtrSet: generalBytesSet(pipe); return;
    case kFlagsSet: ehciOpenRFPipeCompleted(pipe); return;
    case kClosed:
        pipe->flags &= ~EHCI_P_OPEN;
        ehciStopNextReader(e);
        return;
    case kActivating:
        if (!code) {
            activate(pipe);
            return;
        }
        ehciSendEventData(pipe, kReleaseEvent, nullptr, 0);
        pipe->state = kPolling;
        return;
    case kReaderAActivation:
        if (!code) {
            activate(pipe);
            return;
        }
        // Reader A saw an NFC-DEP SAK, but no target links: reader A polls on.
        TRACE(kTrc, "ehci: Looks like IP-1 target at destination, RETRY");
        pipe->state = kPolling;
        if (e->pipes.readerA) ehciRepoll(e->pipes.readerA);
        return;
    case kAtrRead: atrRead(pipe, data, length, code); return;
    case kFrameSize: frameSizeRead(pipe, data, length, code); return;
    default: traceUnexpected(pipe); return;
    }
}

// ---- Receiving -------------------------------------------------------------------------------------
bool receiving(const TEhciPipe* pipe) {
    return pipe->state == kExchange || pipe->state == kAtrRead || pipe->state == kFrameSize;
}

// A frame is one data event, joined: the RF status and MI bytes, then the data. False when the
// frame is not taken.
bool frameStart(TEhciPipe* pipe, const uint8_t*& data, uint32_t& length) {
    if (!receiving(pipe) || !pipe->rxBuffer) {
        TRACE(kErr, "ehci: bad state %d for RX data", static_cast<int>(pipe->state));
        return false;
    }
    if (pipe->join.cut) {
        // No frame of the link is this long: a link that sends one is not trusted on.
        TRACE(kErr, "ehci: ! IP-1 RX frame beyond %d bytes cut, link ended", static_cast<int>(EHCI_RX_SIZE));
        endLink(pipe);
        return false;
    }
    CByteReader r(data, length);
    uint8_t status = 0, mi = 0;
    if (!r.u8(status) || !r.u8(mi)) {
        TRACE(kErr, "ehci: ! IP-1 RX frame of %d bytes without its status", static_cast<int>(length));
        endLink(pipe);
        return false;
    }
    if (status) {
        TRACE(kErr, "ehci: IP-1 RF error 0x%X !", static_cast<unsigned>(status));
        endLink(pipe);
        return false;
    }
    if (g.sending || g.waitingMi) {
        // The peer may answer only a whole message; the rest of ours would be read from a buffer
        // that layer 1 lets go as soon as an answer comes up.
        TRACE(kErr, "ehci: ! IP-1 RX frame while %d of %d bytes are sent, link ended", static_cast<int>(g.sent),
              static_cast<int>(g.total));
        endLink(pipe);
        return false;
    }
    g.more = mi == 1;
    data += 2;
    length -= 2;
    return true;
}

void frameDone(TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    if (pipe->state == kExchange) {
        passUp(pipe, data, length, g.more);
        return;
    }
    TRACE(kTrc, "ehci: deferr first RX frame");
    if (length > sizeof g.held - g.heldLength) {
        TRACE(kErr, "ehci: ! IP-1 RX frames held beyond %d bytes, link ended", static_cast<int>(sizeof g.held));
        endLink(pipe);
        return;
    }
    std::memcpy(g.held + g.heldLength, data, length);
    g.heldLength += length;
    g.heldMore = g.more;
}

void dataEvent(TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    if (!ehciJoinInPipe(pipe, data, length)) return;
    if (frameStart(pipe, data, length)) frameDone(pipe, data, length);
}

// ---- Sending ---------------------------------------------------------------------------------------
bool sendPacket(TEhciPipe* pipe);
void packetSent(TEhciPipe* pipe) {
    if (!g.sending || g.waitingMi) return;
    if (!sendPacket(pipe)) endLink(pipe);
}

// The next packet of the current frame; false when no buffer could be had.
bool sendPacket(TEhciPipe* pipe) {
    const uint32_t left = g.total - g.sent;
    const bool first = g.inFrame == 0;
    const uint32_t header = first ? kFirstHeader : kNextHeader;
    const uint32_t n = std::min({EHCI_PACKET_MAX - header, left, g.maxFrame - g.inFrame});
    const bool frameEnd = n == left || g.inFrame + n == g.maxFrame;
    uint8_t* packet = ehciTakeChainedPacket(pipe, header + n, frameEnd ? nullptr : &packetSent);
    if (!packet) {
        TRACE(kErr, "ehci: ! no TX buffer for IP-1 data, %d bytes left", static_cast<int>(left));
        g.sending = false;
        return false;
    }
    packet[0] = static_cast<uint8_t>((frameEnd ? EHCI_CB : 0) | pipe->id);
    if (first) {
        g.mi = left > g.maxFrame ? 1 : 0;
        packet[1] = static_cast<uint8_t>(EHCI_TYPE_EVENT | kDataEvent);
        packet[2] = g.mi;
    }
    std::memcpy(packet + header, g.data + g.sent, n);
    TRACE(kTrc, "## ehci544IP1Transmit %s txLength %d, txSend %d (%d) left %d", first ? "FIRST" : "",
          static_cast<int>(g.total), static_cast<int>(g.sent), static_cast<int>(n), static_cast<int>(left - n));
    g.sent += n;
    g.inFrame += n;
    if (frameEnd) {
        TRACE(kTrc, "ehci: tx sent %d, MI=0x%X, tx length %d, frame length %d, fragment sent %d %s",
              static_cast<int>(g.sent), static_cast<unsigned>(g.mi), static_cast<int>(g.total),
              static_cast<int>(g.maxFrame), static_cast<int>(g.inFrame), g.sent == g.total ? "Last Frame" : "");
        g.inFrame = 0;
        g.waitingMi = g.sent < g.total;
        g.sending = g.waitingMi;
        if (g.waitingMi) TRACE(kTrc, "ehci: waiting for MI");
    }
    etsiHciSendFrame(packet, pipe, header + n);
    return true;
}

void ip1Event(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    switch (event) {
    case kActivated: activate(pipe); return;
    case kDeactivated: {
        TRACE(kTrc, "ehci: IP-1 mode deactivated");
        // The application learns that the peer has gone, as with any other end of the link.
        if (receiving(pipe)) endLink(pipe);
        return;
    }
    case kData: dataEvent(pipe, data, length); return;
    case kContinueMi:
        TRACE(kTrc, "ehci: IP-1 CONTINUE MI");
        if (!g.waitingMi) return;
        g.waitingMi = false;
        g.sending = true;
        if (!sendPacket(pipe)) endLink(pipe);
        return;
    default:
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
        return;
    }
}

void install(TEhciPipe* pipe) {
    if (!pipe) return;
    pipe->response = &ip1Response;
    pipe->event = &ip1Event;
    pipe->open = &ehciOpenPipe;
    pipe->stop = &ehciStopPipe;
    pipe->transmit = &ehci544IP1Transmit;
    pipe->writeHeader = nullptr;
}

}  // namespace

void ehci544IP1Install(TEhciInstance* e) {
    g = Ip1{};
    install(e->pipes.nfcipInitiator);
    install(e->pipes.nfcipTarget);
}

int32_t ehci544IP1Transmit(TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    // An empty request only says that layer 1 has nothing more to send.
    if (length == 0) return 0;
    if (pipe->state != kExchange || !g.maxFrame || g.sending || !data) {
        TRACE(kErr, "ehci: ! ehci544IP1Transmit, bad state %d for pipe <%s>", static_cast<int>(pipe->state), pipe->name);
        return -1;
    }
    g.data = data;
    g.total = length;
    g.sent = 0;
    g.inFrame = 0;
    g.sending = true;
    return sendPacket(pipe) ? 0 : -1;
}

bool ehci544IP1Sending() { return g.sending; }

void ehci544IP1Activate(TEhciInstance* e) {
    TEhciPipe* pipe = e->pipes.nfcipInitiator;
    if (ehciSendCommand(pipe, kActivate, nullptr, 0, kActivating) < 0)
        TRACE(kErr, "ehci: ! IP-1 activation not sent on <%s>", pipe->name);
}

uint16_t ehci544IP1FrameLength(uint8_t sizeByte, bool optionByte) {
    if (sizeByte <= 191) return static_cast<uint16_t>((sizeByte / 64 + 1) * 64 - 4);
    return optionByte ? 252 : 250;
}
