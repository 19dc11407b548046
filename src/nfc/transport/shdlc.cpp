#include "transport/shdlc.h"

#include <cstring>

#include "platform/platform.h"
#include "util/bytereader.h"
#include "util/crc16.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeXor = 0x20;
constexpr uint8_t kRset = 0xF9;
constexpr uint8_t kUa = 0xE6;
constexpr uint8_t kRr = 0xC0;
constexpr uint8_t kRej = 0xC8;
constexpr uint8_t kRnr = 0xD0;
constexpr uint32_t kT2Ms = 80;
constexpr uint32_t kT3FirstMs = 100;
constexpr uint32_t kT3LaterMs = 200;
constexpr uint32_t kT2Retries = 10;
constexpr uint32_t kT3Retries = 20;
constexpr uint32_t kRebootPauseMs = 20;
constexpr uint32_t kTxElements = 4;
constexpr uint32_t kMaxWindow = 7;
constexpr uint32_t kLengthByteLimit = 32;
constexpr uint32_t kGivenUp = 1;          // event 3 value of a frame that was never acknowledged
constexpr uint8_t kRebootCommand[] = {0x66, 0x48, 0xF6};

enum TFrameKind { fkI, fkRr, fkRej, fkRnr, fkRset, fkUa, fkUnknown };

struct TTxElement {
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
};

// A first-in first-out list of transmit elements; together the two lists never hold more than
// the elements there are.
struct TTxList {
    TTxElement items[kTxElements];
    uint32_t head = 0;
    uint32_t count = 0;

    void push(TTxElement e) { items[(head + count++) % kTxElements] = e; }
    TTxElement pop() {
        TTxElement e = items[head];
        head = (head + 1) % kTxElements;
        --count;
        return e;
    }
    const TTxElement& at(uint32_t i) const { return items[(head + i) % kTxElements]; }
};

} // namespace

struct TShdlc {
    bool inUse = false;
    int32_t state = 0;
    bool lengthMode = false;
    TShdlcCallback callback = nullptr;
    void* context = nullptr;
    uint32_t flags = 0;
    uint32_t configuredWindow = 0;
    uint32_t window = 0;
    uint8_t vs = 0, vr = 0;
    uint32_t unacked = 0;
    uint32_t retries = 0;
    uint32_t rejCount = 0;
    bool remoteBusy = false;
    bool ackSent = false;
    bool recovering = false;
    bool firstSetUp = true;
    uint32_t pendingIndications = 0;
    uint32_t t3Ms = kT3FirstMs;
    uint8_t* rx = nullptr;
    uint32_t rxLength = 0;
    uint8_t header[2] = {};
    uint32_t headerLength = 0;
    bool inFrame = false;
    bool escape = false;
    bool overflow = false;       // the frame outgrew the buffer: everything up to the next flag goes
    uint8_t signature[3] = {};
    bool haveSignature = false;
    uint32_t repeatCount = 0;
    TTxList txQueue;
    TTxList sentQueue;
};

namespace {

TShdlc g_shdlc;

void emit(TShdlc* s, uint32_t event, void* buffer = nullptr, uint32_t length = 0, uint32_t value = 0) {
    s->callback(s->context, event, buffer, length, value);
}

uint8_t* takeBuffer(TShdlc* s) {
    uint8_t* buffer = nullptr;
    emit(s, shdlceGetBuffer, &buffer, SHDLC_BUFFER_SIZE);
    return buffer;
}

void setState(TShdlc* s, int32_t state) {
    debugPrint(0, "shdlc: Change state %d -> %d", s->state, state);
    s->state = state;
}

void timerStart(TShdlc* s, uint32_t slot, uint32_t ms) {
    debugPrint(0, "shdlc: shdlcTimerStart, T%u, value %u ", slot + 1, ms);
    emit(s, shdlceTimerStart, nullptr, slot, ms);
}

void timerStop(TShdlc* s, uint32_t slot) { emit(s, shdlceTimerStop, nullptr, slot); }

void stopAllTimers(TShdlc* s) {
    for (uint32_t slot : {shdlcTimerT1, shdlcTimerT2, shdlcTimerT3}) timerStop(s, slot);
}

uint32_t freeElements(const TShdlc* s) { return kTxElements - s->txQueue.count - s->sentQueue.count; }

// Frames the covered bytes (address or length byte, control, payload) with their FCS into out;
// in flag mode with the flags and every flag or escape byte escaped. Returns the frame length.
class CFrameWriter {
public:
    CFrameWriter(uint8_t* out, bool flagMode) : out_(out), flagMode_(flagMode) {
        if (flagMode_) out_[at_++] = kFlag;
    }
    void add(const uint8_t* bytes, uint32_t n) {
        crc_ = crc16X25Update(crc_, bytes, n);
        for (uint32_t i = 0; i < n; ++i) put(bytes[i]);
    }
    uint32_t finish() {
        const uint16_t fcs = static_cast<uint16_t>(~crc_);
        put(static_cast<uint8_t>(fcs));
        put(static_cast<uint8_t>(fcs >> 8));
        if (flagMode_) out_[at_++] = kFlag;
        return at_;
    }

private:
    void put(uint8_t b) {
        if (flagMode_ && (b == kFlag || b == kEscape)) {
            out_[at_++] = kEscape;
            b ^= kEscapeXor;
        }
        out_[at_++] = b;
    }
    uint8_t* out_;
    bool flagMode_;
    uint32_t at_ = 0;
    uint16_t crc_ = 0xFFFF;
};

// Builds and writes one frame of control byte and payload; false when no buffer came.
bool writeFrame(TShdlc* s, uint8_t control, const uint8_t* payload, uint32_t length, uint8_t** written = nullptr,
                uint32_t* writtenLength = nullptr) {
    uint8_t* buffer = takeBuffer(s);
    if (!buffer) {
        debugPrint(DBG_ERROR, "shdlc: ! out of memory (0x%4X)", control);
        return false;
    }
    CFrameWriter w(buffer, !s->lengthMode);
    const uint8_t lead = s->lengthMode ? static_cast<uint8_t>(length + 3) : 0;
    w.add(&lead, 1);
    w.add(&control, 1);
    w.add(payload, length);
    const uint32_t frameLength = w.finish();
    if (written) *written = buffer;
    if (writtenLength) *writtenLength = frameLength;
    emit(s, shdlceWrite, buffer, frameLength, SHDLC_FRAME_BUFFER);
    return true;
}

void sendRset(TShdlc* s) {
    uint8_t fields[3] = {static_cast<uint8_t>(s->configuredWindow), 0, 0};
    uint32_t n = 2;
    if (s->flags & SHDLC_BAUD_CHANGE) fields[n++] = static_cast<uint8_t>((s->flags >> 16) & 0x0F);
    timerStop(s, shdlcTimerT1);
    debugPrint(0, "shdlc: send RSET, window %u, %u bytes", s->configuredWindow, n);
    writeFrame(s, kRset, fields, n);
}

void sendRebootCommand(TShdlc* s) {
    uint8_t* buffer = takeBuffer(s);
    if (!buffer) {
        debugPrint(DBG_ERROR, "shdlc: ! out of memory (0x%4X)", kRebootCommand[0]);
        return;
    }
    uint32_t n = 0;
    if (!s->lengthMode) buffer[n++] = kFlag;
    std::memcpy(buffer + n, kRebootCommand, sizeof kRebootCommand);
    n += sizeof kRebootCommand;
    if (!s->lengthMode) buffer[n++] = kFlag;
    emit(s, shdlceWrite, buffer, n, SHDLC_FRAME_BUFFER);
    platSleepMs(kRebootPauseMs);
}

void sendSFrame(TShdlc* s, uint8_t kind) {
    const uint8_t control = static_cast<uint8_t>(kind | s->vr);
    timerStop(s, shdlcTimerT1);
    s->ackSent = true;
    debugPrint(0, "shdlc: send S-Frame, 0x%X R(%d) %s", control, s->vr, kind == kRr ? "RR" : kind == kRej ? "REJ" : "RNR");
    writeFrame(s, control, nullptr, 0);
}

void sendIFrame(TShdlc* s, const TTxElement& e) {
    const uint8_t control = static_cast<uint8_t>(0x80 | s->vs << 3 | s->vr);
    timerStop(s, shdlcTimerT1);
    timerStop(s, shdlcTimerT2);
    uint8_t* frame = nullptr;
    uint32_t frameLength = 0;
    if (writeFrame(s, control, e.buffer, e.length, &frame, &frameLength))
        debugPrint(0, "shdlc: Tx I-frame R(%d) S(%d) length 0x%X - %u (buffer %p)", s->vr, s->vs, frameLength, frameLength,
                   static_cast<void*>(frame));
    s->ackSent = true;
    timerStart(s, shdlcTimerT2, kT2Ms);
    ++s->unacked;
    s->vs = (s->vs + 1) & 7;
}

void runSender(TShdlc* s) {
    if (s->state != 2) return;
    while (s->unacked < s->window && !s->remoteBusy && s->txQueue.count) {
        debugPrint(0, "shdlc: send I-Frame, R(%d) S(%d) DIFF %u,K %u,remote busy %d,tx count %u", s->vr, s->vs, s->unacked,
                   s->window, s->remoteBusy, s->txQueue.count);
        const TTxElement e = s->txQueue.pop();
        s->sentQueue.push(e);
        sendIFrame(s, e);
    }
}

void sendUnacknowledged(TShdlc* s) {
    debugPrint(0, "shdlc: shdlcSendUnacknowledgedIFrame() send queue count %u", s->sentQueue.count);
    s->vs = (s->vs - s->unacked) & 7;
    s->unacked = 0;
    for (uint32_t i = 0; i < s->sentQueue.count; ++i) sendIFrame(s, s->sentQueue.at(i));
}

// Hands every frame of a list up as given up; their buffers go back with the completion.
void discard(TShdlc* s, TTxList& list) {
    while (list.count) {
        const TTxElement e = list.pop();
        emit(s, shdlceTxCompleted, e.buffer, e.length, kGivenUp);
    }
}

bool validNr(TShdlc* s, uint8_t nr) {
    const uint32_t diff = (s->vs - nr) & 7;
    if (diff <= s->unacked) return true;
    debugPrint(DBG_ERROR, "shdlc: ! N(R) error - V S(%d)  N R(%d) DIFF=%u", s->vs, nr, diff);
    return false;
}

// Only for a valid N(R): never more frames leave than the sent queue holds.
void acknowledge(TShdlc* s, uint8_t nr) {
    const uint32_t stillOpen = (s->vs - nr) & 7;
    uint32_t done = s->unacked - stillOpen;
    if (done > s->sentQueue.count) done = s->sentQueue.count;
    for (uint32_t i = 0; i < done; ++i) {
        const TTxElement e = s->sentQueue.pop();
        emit(s, shdlceTxCompleted, e.buffer, e.length, 0);
    }
    s->unacked = stillOpen;
    if (done) s->retries = 0;
    if (nr == s->vs && !s->remoteBusy) {
        timerStop(s, shdlcTimerT2);
    } else if (done) {
        timerStop(s, shdlcTimerT2);
        timerStart(s, shdlcTimerT2, kT2Ms);
    }
}

void releaseRx(TShdlc* s) {
    if (s->rx) emit(s, shdlceReleaseBuffer, s->rx);
    s->rx = nullptr;
    s->rxLength = 0;
    s->headerLength = 0;
}

void protocolError(TShdlc* s) {
    s->recovering = true;
    stopAllTimers(s);
    setState(s, 1);
    setState(s, 3);
    sendRset(s);
    timerStart(s, shdlcTimerT3, s->t3Ms);
}

// The controller reset itself or stopped answering: the upper layers start it again.
void linkLost(TShdlc* s) {
    stopAllTimers(s);
    if (s->flags & SHDLC_CHIP_REBOOT) {
        debugPrint(0, "shdlc: ship crash detected. send chip software boot command");
        sendRebootCommand(s);
    }
    debugPrint(DBG_ERROR, "shdlc: ship crash detected. Forcing shutdown as a chip-bug workaround");
    setState(s, 0);
    emit(s, shdlceLinkLost);
}

void resetProtocol(TShdlc* s) {
    s->window = s->configuredWindow;
    s->vs = s->vr = 0;
    s->unacked = s->retries = s->rejCount = s->repeatCount = 0;
    s->remoteBusy = s->ackSent = s->haveSignature = false;
    stopAllTimers(s);
    debugPrint(0, "shdlc: Reset protocol, windows size %u", s->window);
}

void sendAcknowledgeResponse(TShdlc* s) {
    if (s->txQueue.count && !s->remoteBusy && s->unacked < s->window) {
        debugPrint(0, "shdlc: ! shdlcSendAcknowledgeResponse suppressed %u %d %u %u", s->txQueue.count, s->remoteBusy,
                   s->unacked, s->window);
        return;
    }
    sendSFrame(s, kRr);
}

// True when the payload went up with the receive buffer.
bool onIFrame(TShdlc* s, uint8_t ns, uint8_t nr, uint32_t payloadLength) {
    const bool nrValid = validNr(s, nr);
    s->ackSent = false;
    bool passedUp = false;
    if (ns == s->vr) {
        s->vr = (s->vr + 1) & 7;
        s->rejCount = 0;
        if (nrValid) acknowledge(s, nr);
        ++s->pendingIndications;
        uint8_t* payload = s->rx;
        s->rx = nullptr;
        passedUp = true;
        emit(s, shdlceDataReceived, payload, payloadLength);
        if (nrValid) {
            sendAcknowledgeResponse(s);
        } else {
            debugPrint(DBG_ERROR, "shdlc: ! shdlcHandleProtocolError on I-Frame Receive");
        }
    } else {
        if (nrValid) acknowledge(s, nr);
        // The count only leaves a multiple of 6 here and returns to 0 with the next frame in
        // sequence: one REJ per episode of lost frames.
        if (s->rejCount % 6 == 0) {
            ++s->rejCount;
            debugPrint(DBG_ERROR, "shdlc: ! N(S) error - V R(%d) , S(%d)", s->vr, ns);
            sendSFrame(s, kRej);
        }
    }
    runSender(s);
    return passedUp;
}

void onRr(TShdlc* s, uint8_t nr) {
    if (!validNr(s, nr)) {
        debugPrint(DBG_ERROR, "!!!! shdlc: RR error %d", nr);
        return;
    }
    s->remoteBusy = false;
    acknowledge(s, nr);
    runSender(s);
}

void onRnr(TShdlc* s, uint8_t nr) {
    debugPrint(0, "shdlc: RNR in state %d", s->state);
    if (!validNr(s, nr)) {
        debugPrint(DBG_ERROR, "!!!! shdlc: RNR error %d", nr);
        protocolError(s);
        return;
    }
    s->remoteBusy = true;
    acknowledge(s, nr);
}

void onRej(TShdlc* s, uint8_t nr) {
    if (!validNr(s, nr)) {
        debugPrint(DBG_ERROR, "!!!! shdlc: REJ error %d", nr);
        protocolError(s);
        return;
    }
    if (nr == s->vs) {
        debugPrint(0, "shdlc: REJ without delta, treating as RR ins state %d", s->state);
        onRr(s, nr);
        return;
    }
    debugPrint(0, "shdlc: REJ in state %d", s->state);
    emit(s, shdlceFlushLower);
    s->remoteBusy = false;
    acknowledge(s, nr);
    sendUnacknowledged(s);
}

void onUa(TShdlc* s) {
    debugPrint(0, "shdlc: >> UA in state %d, protocol error %d, (sentQueue %u,txQueue %u)", s->state, s->recovering,
               s->sentQueue.count, s->txQueue.count);
    if (s->state != 1 && s->state != 3) {
        debugPrint(DBG_ERROR, "shdlc: UA frame received in wrong state");
        return;
    }
    resetProtocol(s);
    setState(s, 2);
    if (s->firstSetUp) {
        s->firstSetUp = false;
        emit(s, shdlceLinkEstablished);
        runSender(s);
    } else if (s->recovering) {
        s->recovering = false;
        sendUnacknowledged(s);
        runSender(s);
    } else {
        runSender(s);
    }
}

TFrameKind kindOf(uint8_t control, uint8_t& ns, uint8_t& nr) {
    nr = control & 7;
    ns = (control >> 3) & 7;
    if ((control & 0xC0) == 0x80) return fkI;
    if ((control & 0xE0) == 0xC0) {
        switch (control & 0xF8) {
        case kRr: return fkRr;
        case kRej: return fkRej;
        case kRnr: return fkRnr;
        default:
            debugPrint(DBG_ERROR, "shdlc: ! rx unknown S-frame 0x%2X, R(%d)", control, nr);
            return fkUnknown;
        }
    }
    if (control == kRset) return fkRset;
    if (control == kUa) return fkUa;
    debugPrint(DBG_ERROR, "shdlc: ! rx unknown frame 0x%2X", control);
    return fkUnknown;
}

// The repeated I-frame filter: the first repetition of the previous I-frame is dropped.
bool repeatedIFrame(TShdlc* s, uint8_t control, const uint8_t* fcs) {
    const uint8_t signature[3] = {control, fcs[0], fcs[1]};
    if (!s->haveSignature || std::memcmp(signature, s->signature, sizeof signature) != 0) {
        std::memcpy(s->signature, signature, sizeof signature);
        s->haveSignature = true;
        s->repeatCount = 0;
        return false;
    }
    if (++s->repeatCount == 1) {
        debugPrint(0, "shdlc: repeated I-Frame ignored, repeat-count = %u", s->repeatCount);
        return true;
    }
    debugPrint(0, "shdlc: repeated I-Frame count exceeded. letting through");
    s->repeatCount = 0;
    return false;
}

// Checks and acts on the frame of header and buffer; false when its FCS was bad.
bool handleFrame(TShdlc* s) {
    uint16_t crc = crc16X25Update(0xFFFF, s->header, 2);
    crc = crc16X25Update(crc, s->rx, s->rxLength);
    if (crc != CRC16_X25_RESIDUE) {
        debugPrint(DBG_ERROR, "shdlc: ! FCS error, data length %u", s->rxLength + 2);
        return false;
    }
    const uint32_t payloadLength = s->rxLength - 2;
    const uint8_t control = s->header[1];
    if (s->state == 0) return true;
    if (!s->lengthMode && s->header[0] != 0) {
        debugPrint(DBG_ERROR, "shdlc: ! RFU not zero 0x%2.2X", s->header[0]);
        return true;
    }
    uint8_t ns = 0, nr = 0;
    const TFrameKind kind = kindOf(control, ns, nr);
    if (kind == fkI && repeatedIFrame(s, control, s->rx + payloadLength)) return true;
    switch (kind) {
    case fkI:
        if (onIFrame(s, ns, nr, payloadLength)) return true;
        break;
    case fkRr: onRr(s, nr); break;
    case fkRej: onRej(s, nr); break;
    case fkRnr: onRnr(s, nr); break;
    case fkUa: onUa(s); break;
    case fkRset: linkLost(s); break;
    case fkUnknown: break;
    }
    return true;
}

// The frame collected so far is done: checked, handled and its buffer released unless passed up.
bool completeFrame(TShdlc* s) {
    const bool good = handleFrame(s);
    s->rxLength = 0;
    s->headerLength = 0;
    return good;
}

bool store(TShdlc* s, uint8_t b) {
    if (s->headerLength < 2) {
        s->header[s->headerLength++] = b;
        return true;
    }
    if (s->rxLength >= SHDLC_BUFFER_SIZE) {
        debugPrint(DBG_ERROR, "shdlc: ! RxBuffer too short (0x%4X)", s->rxLength);
        return false;
    }
    s->rx[s->rxLength++] = b;
    return true;
}

bool haveRxBuffer(TShdlc* s) {
    if (!s->rx) s->rx = takeBuffer(s);
    if (s->rx) return true;
    debugPrint(DBG_ERROR, "shdlc: ! out of memory (0x%4X)", SHDLC_BUFFER_SIZE);
    return false;
}

int32_t decodeFlagMode(TShdlc* s, CByteReader in) {
    uint8_t b;
    while (in.u8(b)) {
        if (!haveRxBuffer(s)) return -1;
        if (b == kFlag) {
            if (!s->escape && s->inFrame && !s->overflow && s->rxLength >= 2)
                completeFrame(s);
            s->escape = s->overflow = false;
            s->inFrame = true;
            s->headerLength = s->rxLength = 0;
            continue;
        }
        if (!s->inFrame || s->overflow) continue;
        if (b == kEscape) {
            s->escape = true;
            continue;
        }
        if (s->escape) {
            b ^= kEscapeXor;
            s->escape = false;
        }
        if (!store(s, b)) s->overflow = true;
    }
    return 0;
}

int32_t decodeLengthMode(TShdlc* s, CByteReader in) {
    uint8_t b;
    while (in.u8(b)) {
        if (!haveRxBuffer(s)) return -1;
        if (s->headerLength == 0) {
            if (b > kLengthByteLimit) debugPrint(DBG_ERROR, "shdlc: ! Buffer seems wrong, length byte is %d", b);
            if (b < 3) continue;   // no frame is that short: look for the next length byte
        }
        store(s, b);
        const uint32_t held = s->headerLength + s->rxLength;
        if (held > 3 && held == uint32_t{s->header[0]} + 1u && !completeFrame(s)) return 0;
    }
    return 0;
}

bool live(const TShdlc* s) { return s == &g_shdlc && s->inUse; }

class CLinkLock {
public:
    explicit CLinkLock(TShdlc* s) : s_(s) { emit(s_, shdlceLock); }
    ~CLinkLock() { emit(s_, shdlceUnlock); }

private:
    TShdlc* s_;
};

} // namespace

int32_t shdlcOpen(uint32_t windowSize, TShdlcCallback callback, void* context, uint32_t linkFlags, TShdlc** instance) {
    debugPrint(0, "shdlc: open, window size %u, flags 0x%X", windowSize, linkFlags);
    if (instance) *instance = nullptr;
    if (g_shdlc.inUse || !callback || !instance) {
        debugPrint(DBG_ERROR, "shdlc: ! no free link");
        return -1;
    }
    TShdlc* s = &g_shdlc;
    *s = TShdlc{};
    s->inUse = true;
    s->callback = callback;
    s->context = context;
    s->flags = linkFlags;
    s->lengthMode = (linkFlags & SHDLC_LENGTH_MODE) != 0;
    s->configuredWindow = windowSize == 0 ? 4 : windowSize <= 2 ? 2 : windowSize > kMaxWindow ? kMaxWindow : windowSize;
    s->window = s->configuredWindow;
    *instance = s;
    if (linkFlags & SHDLC_NO_INITIAL_RESET) {
        setState(s, 2);
        return 0;
    }
    if (linkFlags & SHDLC_CHIP_REBOOT) sendRebootCommand(s);
    sendRset(s);
    timerStart(s, shdlcTimerT3, kT3FirstMs);
    s->t3Ms = kT3LaterMs;
    setState(s, 1);
    return 0;
}

int32_t shdlcClose(TShdlc* s) {
    debugPrint(0, "shdlc: close, hInstance=%p", static_cast<void*>(s));
    if (!live(s)) return -1;
    s->inUse = false;
    s->state = 0;
    debugPrint(0, "shdlc: discard TX queues (sentQueue=%u, txQueue=%u)", s->sentQueue.count, s->txQueue.count);
    discard(s, s->sentQueue);
    discard(s, s->txQueue);
    emit(s, shdlceFlushLower);
    releaseRx(s);
    stopAllTimers(s);
    return 0;
}

int32_t shdlcSend(TShdlc* s, uint32_t length, uint8_t* buffer) {
    if (!live(s)) return -1;
    CLinkLock lock(s);
    const uint32_t limit = s->lengthMode ? SHDLC_BUFFER_SIZE - 4 : (SHDLC_BUFFER_SIZE - 2) / 2 - 4;
    if (length > limit || (length && !buffer)) {
        debugPrint(DBG_ERROR, "shdlc: ! given length (%u) too big", length);
        return -1;
    }
    if (!freeElements(s)) {
        debugPrint(DBG_ERROR, "shdlc: ! out of TxQueue element");
        return -1;
    }
    s->txQueue.push(TTxElement{buffer, length});
    runSender(s);
    return 0;
}

int32_t shdlcDecode(const uint8_t* bytes, TShdlc* s, uint32_t length) {
    if (!s) {
        debugPrint(DBG_ERROR, "!shdlcDecode pShdlc instance is null in ");
        return -1;
    }
    if (!bytes) {
        debugPrint(DBG_ERROR, "! shdlcDecode, buffer is NULL");
        return -1;
    }
    if (!live(s)) return -1;
    CLinkLock lock(s);
    const CByteReader in(bytes, length);
    return s->lengthMode ? decodeLengthMode(s, in) : decodeFlagMode(s, in);
}

void shdlcTimerExpired(TShdlc* s, uint32_t slot) {
    if (!live(s)) return;
    CLinkLock lock(s);
    if (slot == shdlcTimerT2) {
        debugPrint(0, "shdlc: T2 expired pShdlc->RetryCount=%u ", s->retries);
        if (s->state != 2) return;
        if (s->retries++ < kT2Retries) {
            sendUnacknowledged(s);
            return;
        }
        if (s->sentQueue.count) {
            const TTxElement e = s->sentQueue.pop();
            emit(s, shdlceTxCompleted, e.buffer, e.length, kGivenUp);
            if (s->unacked) --s->unacked;
        }
        debugPrint(DBG_ERROR, "! shdlc: repeated i-frame > 10 times. Enforcing reset.");
        linkLost(s);
    } else if (slot == shdlcTimerT3) {
        debugPrint(0, "shdlc: T3 expired");
        if (s->state != 1 && s->state != 3) return;
        s->t3Ms = kT3LaterMs;
        if (s->retries++ >= kT3Retries) {
            debugPrint(DBG_ERROR, "shdlc: 20 x T3 expired, link lost ");
            setState(s, 0);
            stopAllTimers(s);
            emit(s, shdlceLinkLost);
            return;
        }
        sendRset(s);
        timerStart(s, shdlcTimerT3, s->t3Ms);
    } else {
        debugPrint(DBG_ERROR, "! shdlc: timerID %u not handled!", slot);
    }
}

void shdlcResponse(TShdlc* s) {
    if (!live(s)) return;
    CLinkLock lock(s);
    if (s->pendingIndications) --s->pendingIndications;
    if (!s->pendingIndications && !s->ackSent && s->state == 2) sendSFrame(s, kRr);
}

int32_t shdlcState(const TShdlc* s) { return live(s) ? s->state : 0; }

bool shdlcCanQueue(const TShdlc* s) { return live(s) && freeElements(s) > 0; }
