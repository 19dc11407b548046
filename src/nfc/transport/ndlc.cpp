#include "transport/ndlc.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform.h"
#include "util/crc16.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTraceNdlc = 0x10000000u;   // layer-1 bit
constexpr uint32_t kT1Ms = 100;
constexpr uint32_t kWaitMs = 400;
constexpr uint32_t kT2Ms = 1200;
constexpr uint32_t kRingSlots = 8;              // one slot stays free to tell full from empty
constexpr uint32_t kResources = 10;
constexpr uint32_t kFrameMin = 4;
constexpr uint32_t kCrcSize = 2;
constexpr uint32_t kSentMax = 1 + NDLC_FRAME_MAX + kCrcSize;

constexpr uint8_t kPcbData = 0x80;
constexpr uint8_t kPcbSupervisor = 0xC0;
constexpr uint8_t kPcbCrc = 0x08;
constexpr uint8_t kDataFirst = 0x04;
constexpr uint8_t kSupervisorFirst = 0x02;
constexpr uint8_t kKindMask = 0x30;
enum : uint8_t { kKindNoInfo = 0x00, kKindNack = 0x10, kKindAck = 0x20, kKindWait = 0x30 };

enum TRingType : uint32_t { ringTxData = 1, ringRxData = 2 };

enum TNdlcEvt : uint32_t {
    EVT_RX_DATA,
    EVT_RX_JUNK,
    EVT_RX_ACK,
    EVT_RX_NACK,
    EVT_RX_WAIT,
    EVT_T1_TIMEOUT,
    EVT_T2_TIMEOUT,
    EVT_TX_DATA,
    evtCount
};

constexpr const char* kEventNames[evtCount] = {"EVT_RX_DATA",    "EVT_RX_JUNK",    "EVT_RX_ACK",  "EVT_RX_NACK",
                                               "EVT_RX_WAIT",    "EVT_T1_TIMEOUT", "EVT_T2_TIMEOUT", "EVT_TX_DATA"};
constexpr const char* kStateNames[] = {"NDLC_STATE_IDLE", "NDLC_STATE_DATA_ACK", "NDLC_STATE_SUPER_ACK",
                                       "NDLC_STATE_ERROR", "NDLC_STATE_LINKLOST"};
constexpr const char* kPiggyback[] = {"", ", Piggyback NACK", ", Piggyback ACK", ", Piggyback WAIT"};
constexpr const char* kSupervisorKinds[] = {"NOINFO", "NACK", "ACK", "WAIT"};

const char* eventName(uint32_t e) { return e < evtCount ? kEventNames[e] : "EVT_UNKOWN"; }
const char* stateName(uint32_t s) { return s <= NDLC_STATE_LINKLOST ? kStateNames[s] : "NDLC_STATE_UNKNOWN"; }

struct TNdlcResource {
    uint8_t data[NDLC_FRAME_MAX];
    uint32_t length;
    TNdlcResource* next;
};

struct TNdlcRingMsg {
    uint32_t type;
    const uint8_t* data;
    uint32_t length;
    TNdlcResource* resource;
};

struct TNdlcTimer {
    bool running = false;
    uint32_t start = 0;
    uint32_t duration = 0;
};

struct TNdlcFrame {
    uint8_t bytes[kSentMax];
    uint32_t length = 0;
};

bool isSupervisor(uint8_t pcb) { return pcb >= kPcbSupervisor; }
bool isData(uint8_t pcb) { return pcb >= kPcbData && pcb < kPcbSupervisor; }
uint32_t crcSize(const uint8_t* frame) { return (frame[0] & kPcbCrc) ? kCrcSize : 0; }

void appendCrc(uint8_t* frame, uint32_t lengthBeforeCrc) {
    uint16_t crc = crc16X25(frame, lengthBeforeCrc);
    frame[lengthBeforeCrc] = static_cast<uint8_t>(crc);
    frame[lengthBeforeCrc + 1] = static_cast<uint8_t>(crc >> 8);
}

bool crcMatches(const uint8_t* frame, uint32_t length) {
    uint16_t crc = crc16X25(frame, length - kCrcSize);
    return frame[length - 2] == static_cast<uint8_t>(crc) && frame[length - 1] == static_cast<uint8_t>(crc >> 8);
}

void traceFrame(const char* direction, const uint8_t* frame, uint32_t length, bool crcValid) {
    if (!debugL1On(kTraceNdlc) || length == 0) return;
    debugPrint(0, "\t%s NDLC decode %d bytes:", direction, static_cast<int>(length));
    uint8_t pcb = frame[0];
    const char* crcText = (pcb & kPcbCrc) ? (crcValid ? ", Valid CRC" : ", Invalid CRC") : "";
    if (isData(pcb))
        debugPrint(0, "\tData%s%s%s", kPiggyback[(pcb & kKindMask) >> 4], (pcb & kDataFirst) ? "" : ", Retransmit", crcText);
    else if (isSupervisor(pcb))
        debugPrint(0, "\tSupervisor %s%s%s", kSupervisorKinds[(pcb & kKindMask) >> 4],
                   (pcb & kSupervisorFirst) ? "" : ", Retransmit", crcText);
    else
        debugPrint(0, "Invalid NDLC frame");
}

// Keeps the instance alive for a caller inside it: destroy waits until none is left.
class TCallerScope {
public:
    explicit TCallerScope(std::atomic<uint32_t>& callers) : callers_(callers) { callers_.fetch_add(1); }
    ~TCallerScope() { callers_.fetch_sub(1); }
    TCallerScope(const TCallerScope&) = delete;
    TCallerScope& operator=(const TCallerScope&) = delete;
private:
    std::atomic<uint32_t>& callers_;
};

}  // namespace

struct TNdlc {
    void* owner = nullptr;
    TNdlcCallback callback = nullptr;
    uint32_t flags = 0;
    std::atomic<uint32_t> state{NDLC_STATE_IDLE};
    TNdlcTimer t1;
    TNdlcTimer t2;
    PlatThread* worker = nullptr;
    std::atomic<bool> exit{false};
    std::atomic<bool> closing{false};
    std::atomic<uint32_t> callers{0};
    PlatSemaphore workerSemaphore;
    PlatSemaphore bufferSemaphore;
    PlatSemaphore copyDone;
    PlatLock lock;
    TNdlcRingMsg ring[kRingSlots]{};
    uint32_t ringRead = 0;
    uint32_t ringWrite = 0;
    TNdlcResource resources[kResources]{};
    TNdlcResource* freeList = nullptr;
    TNdlcResource* txHead = nullptr;
    TNdlcResource* txTail = nullptr;
    TNdlcResource* sending = nullptr;
    // Our unacknowledged data frame and our last supervisor frame are kept apart, so that an
    // acknowledgement sent meanwhile never replaces the data a resend must repeat.
    TNdlcFrame lastData;
    TNdlcFrame lastSupervisor;
    TNdlcFrame received;
    TNdlcFrame lastAccepted;
};

namespace {

bool fullMode(const TNdlc* n) { return (n->flags & NDLC_FULL_MODE) != 0; }
bool finalState(uint32_t s) { return s == NDLC_STATE_ERROR || s == NDLC_STATE_LINKLOST; }

void setState(TNdlc* n, uint32_t next) {
    uint32_t now = n->state.load();
    if (now != next) TRACE_L1(kTraceNdlc, "Changing state from %s -> %s", stateName(now), stateName(next));
    n->state = next;
    // No buffer comes back once the link has ended: none is handed out any more.
    if (finalState(next)) n->bufferSemaphore.destroy();
}

void startT1(TNdlc* n, uint32_t ms = kT1Ms) { n->t1 = {true, platTickMs(), ms}; }
void startT2(TNdlc* n) { n->t2 = {true, platTickMs(), kT2Ms}; }
void stopTimers(TNdlc* n) { n->t1.running = n->t2.running = false; }

void write(TNdlc* n, const TNdlcFrame& f) {
    traceFrame("TX", f.bytes, f.length, true);
    n->callback(n->owner, NDLC_EVENT_DSWRITE, f.bytes, f.length);
}

void sendSupervisor(TNdlc* n, uint8_t kind) {
    TNdlcFrame& f = n->lastSupervisor;
    f.bytes[0] = static_cast<uint8_t>((fullMode(n) ? 0xCA : 0xC2) | kind);
    f.bytes[1] = 0x00;
    if (fullMode(n)) appendCrc(f.bytes, 2);
    else f.bytes[2] = f.bytes[3] = 0x00;
    f.length = 4;
    write(n, f);
}

// Sends the next waiting packet; false when none waits.
bool sendNextData(TNdlc* n) {
    TNdlcResource* r;
    {
        PlatLockGuard g(n->lock);
        r = n->txHead;
        if (r) {
            n->txHead = r->next;
            if (!n->txHead) n->txTail = nullptr;
        }
    }
    if (!r) {
        TRACE_L1(kTraceNdlc, "no new NCI data to transmit, enter wait..");
        return false;
    }
    TRACE_L1(kTraceNdlc, "trigger transport of next NCI data downstream");
    n->sending = r;
    TNdlcFrame& f = n->lastData;
    f.bytes[0] = fullMode(n) ? 0x8C : 0x84;
    std::memcpy(f.bytes + 1, r->data, r->length);
    f.length = 1 + r->length;
    if (fullMode(n)) {
        appendCrc(f.bytes, f.length);
        f.length += kCrcSize;
    }
    write(n, f);
    return true;
}

void resend(TNdlc* n, TNdlcFrame& f) {
    if (f.length == 0) {
        TRACE_L1(kTraceNdlc, "unable to resend empty packet");
        return;
    }
    if (isData(f.bytes[0])) f.bytes[0] &= static_cast<uint8_t>(~kDataFirst);
    else if (isSupervisor(f.bytes[0])) f.bytes[0] &= static_cast<uint8_t>(~kSupervisorFirst);
    else debugPrint(DBG_ERROR, "!malformed packet in inst->lastDsFrame ???");
    if (f.bytes[0] & kPcbCrc) appendCrc(f.bytes, f.length - kCrcSize);
    write(n, f);
}

void passUp(TNdlc* n) {
    const TNdlcFrame& f = n->received;
    n->callback(n->owner, NDLC_EVENT_DATAIND, f.bytes + 1, f.length - 1 - crcSize(f.bytes));
}

void releaseSent(TNdlc* n) {
    if (!n->sending) return;
    {
        PlatLockGuard g(n->lock);
        n->sending->next = n->freeList;
        n->freeList = n->sending;
    }
    n->sending = nullptr;
    n->bufferSemaphore.release();
}

void startData(TNdlc* n) {
    if (!sendNextData(n)) return;
    startT1(n);
    startT2(n);
    setState(n, NDLC_STATE_DATA_ACK);
}

void handleIdle(TNdlc* n, uint32_t event) {
    switch (event) {
    case EVT_TX_DATA:
        startData(n);
        break;
    case EVT_RX_DATA:
        if (fullMode(n)) sendSupervisor(n, kKindAck);
        passUp(n);
        if (!fullMode(n)) break;
        // T2 too: a controller that never acknowledges ends the link instead of holding it.
        startT1(n);
        startT2(n);
        setState(n, NDLC_STATE_SUPER_ACK);
        break;
    case EVT_RX_JUNK:
        n->callback(n->owner, NDLC_EVENT_JUNK, nullptr, 0);
        if (!fullMode(n)) break;
        sendSupervisor(n, kKindNack);
        startT1(n);
        startT2(n);
        setState(n, NDLC_STATE_SUPER_ACK);
        break;
    case EVT_RX_ACK:
    case EVT_RX_NACK:
    case EVT_RX_WAIT:
        setState(n, NDLC_STATE_ERROR);
        n->callback(n->owner, NDLC_EVENT_ERROR, nullptr, 0);
        break;
    default:
        break;
    }
}

// The two waiting states differ in the frame they repeat and in what they do with data.
void handleWaiting(TNdlc* n, uint32_t event, TNdlcFrame& pending) {
    bool dataAck = n->state == NDLC_STATE_DATA_ACK;
    switch (event) {
    case EVT_RX_DATA:
        if (!dataAck) break;   // dropped: the controller repeats it once our frame is acknowledged
        if (fullMode(n)) sendSupervisor(n, kKindAck);
        passUp(n);
        break;
    case EVT_RX_JUNK:
        n->callback(n->owner, NDLC_EVENT_JUNK, nullptr, 0);
        [[fallthrough]];
    case EVT_RX_NACK:
    case EVT_T1_TIMEOUT:
        resend(n, pending);
        startT1(n);
        break;
    case EVT_RX_WAIT:
        startT1(n, kWaitMs);
        break;
    case EVT_RX_ACK:
        stopTimers(n);
        if (dataAck) releaseSent(n);
        setState(n, NDLC_STATE_IDLE);
        startData(n);
        break;
    case EVT_T2_TIMEOUT:
        n->t1.running = false;
        setState(n, NDLC_STATE_LINKLOST);
        n->callback(n->owner, NDLC_EVENT_LINKLOST, nullptr, 0);
        break;
    case EVT_TX_DATA:
        debugPrint(DBG_ERROR, "!got impossible event EVT_TX_DATA in WaitSuperAck state");
        break;
    default:
        break;
    }
}

void handleEvent(TNdlc* n, uint32_t event) {
    uint32_t state = n->state.load();
    if (finalState(state)) {
        debugPrint(DBG_ERROR, "!Unable to handle event %s in state %s", eventName(event), stateName(state));
        return;
    }
    TRACE_L1(kTraceNdlc, "handle event %s in state %s", eventName(event), stateName(state));
    if (state == NDLC_STATE_IDLE) handleIdle(n, event);
    else handleWaiting(n, event, state == NDLC_STATE_DATA_ACK ? n->lastData : n->lastSupervisor);
}

bool isRepeat(const TNdlcFrame& f, const TNdlcFrame& last) {
    if (last.length == 0) return false;
    uint8_t pcb = f.bytes[0];
    if (isData(pcb)) {
        return !(pcb & kDataFirst) && (pcb | kDataFirst) == last.bytes[0] && f.length == last.length &&
               std::memcmp(f.bytes + 1, last.bytes + 1, f.length - 1 - crcSize(f.bytes)) == 0;
    }
    return !(pcb & kSupervisorFirst) && (pcb | kSupervisorFirst) == last.bytes[0] && f.bytes[1] == last.bytes[1];
}

// The event a valid, new frame stands for, or evtCount when it is to be dropped.
uint32_t classify(TNdlc* n) {
    const TNdlcFrame& f = n->received;
    uint8_t pcb = f.bytes[0];
    if (isData(pcb)) return EVT_RX_DATA;
    switch (pcb & kKindMask) {
    case kKindNack:
        return EVT_RX_NACK;
    case kKindAck:
        return EVT_RX_ACK;
    case kKindWait:
        return EVT_RX_WAIT;
    default:
        TRACE_L1(kTraceNdlc, "received unexpected supervisor frame with pcb %0x02x", pcb);
        return evtCount;
    }
}

bool frameValid(const TNdlcFrame& f) {
    if (f.length < kFrameMin || f.length > NDLC_FRAME_MAX) {
        debugPrint(DBG_ERROR, "received ndlc frame has illegal size %d", static_cast<int>(f.length));
        return false;
    }
    if (!isData(f.bytes[0]) && !isSupervisor(f.bytes[0])) return false;
    if ((f.bytes[0] & kPcbCrc) && !crcMatches(f.bytes, f.length)) {
        debugPrint(DBG_ERROR, "received ndlc frame FCS error");
        debugDump(f.bytes, "FCS Error on!", f.length);
        return false;
    }
    return true;
}

void receive(TNdlc* n, const TNdlcRingMsg& m) {
    TRACE_L1(kTraceNdlc, "received new NDLC data from CLF");
    TNdlcFrame& f = n->received;
    std::memcpy(f.bytes, m.data, m.length);
    f.length = m.length;
    n->copyDone.release();
    bool valid = frameValid(f);
    traceFrame("RX", f.bytes, f.length, valid);
    if (!valid) {
        handleEvent(n, EVT_RX_JUNK);
        return;
    }
    if (isRepeat(f, n->lastAccepted)) {
        TRACE_L1(kTraceNdlc, "received repeated frame. Ignored");
        return;
    }
    n->lastAccepted = f;
    uint32_t event = classify(n);
    if (event != evtCount) handleEvent(n, event);
}

void queueForSending(TNdlc* n, TNdlcResource* r) {
    TRACE_L1(kTraceNdlc, "received new NCI data from stack");
    {
        PlatLockGuard g(n->lock);
        r->next = nullptr;
        if (n->txTail) n->txTail->next = r;
        else n->txHead = r;
        n->txTail = r;
    }
    if (n->state == NDLC_STATE_IDLE) handleEvent(n, EVT_TX_DATA);
}

void handleMessage(TNdlc* n) {
    TNdlcRingMsg m;
    {
        PlatLockGuard g(n->lock);
        if (n->ringRead == n->ringWrite) return;   // the wake of destroy carries no message
        m = n->ring[n->ringRead];
        n->ringRead = (n->ringRead + 1) % kRingSlots;
    }
    if (m.type == ringTxData) queueForSending(n, m.resource);
    else receive(n, m);
}

bool post(TNdlc* n, const TNdlcRingMsg& m) {
    {
        PlatLockGuard g(n->lock);
        uint32_t next = (n->ringWrite + 1) % kRingSlots;
        if (next == n->ringRead) {
            debugPrint(DBG_ERROR, "NDLC thread message ring: RNR (implement me!!)");
            return false;
        }
        n->ring[n->ringWrite] = m;
        n->ringWrite = next;
    }
    n->workerSemaphore.release();
    return true;
}

uint32_t remaining(const TNdlcTimer& t, uint32_t now) {
    int32_t left = static_cast<int32_t>(t.start + t.duration - now);
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

uint32_t nextWaitMs(const TNdlc* n) {
    uint32_t now = platTickMs();
    uint32_t wait = PLAT_INFINITE;
    for (const TNdlcTimer* t : {&n->t1, &n->t2})
        if (t->running && remaining(*t, now) + 1 < wait) wait = remaining(*t, now) + 1;
    return wait;
}

void expireTimer(TNdlc* n, TNdlcTimer& t, int number, uint32_t event) {
    uint32_t now = platTickMs();
    if (!t.running || remaining(t, now) > 0) return;
    t.running = false;
    TRACE_L1(kTraceNdlc, "timer T%d expired (waited for %dms)", number, static_cast<int>(now - t.start));
    handleEvent(n, event);
}

void NdlcThread(void* argument) {
    TNdlc* n = static_cast<TNdlc*>(argument);
    TRACE_L1(kTraceNdlc, "thread running");
    while (!n->exit) {
        PlatWait w = n->workerSemaphore.wait(nextWaitMs(n));
        if (w == PlatWait::Failed) {
            debugPrint(DBG_ERROR, "!Something went horribly wrong.. The semaphore wait function failed");
            break;
        }
        // Timers are looked at on every wake, so a due timer is never held back by traffic.
        expireTimer(n, n->t1, 1, EVT_T1_TIMEOUT);
        expireTimer(n, n->t2, 2, EVT_T2_TIMEOUT);
        if (n->exit) {
            TRACE_L1(kTraceNdlc, "received exit request from upper layer");
            break;
        }
        if (w == PlatWait::Signaled) handleMessage(n);
    }
    TRACE_L1(kTraceNdlc, "thread about to exit");
}

bool createSemaphores(TNdlc* n) {
    return n->workerSemaphore.create(0, kRingSlots + 1) && n->bufferSemaphore.create(kResources, kResources) &&
           n->copyDone.create(0, kRingSlots);
}

}  // namespace

uint32_t NdlcFlagsFor(const char* parameters) {
    return (parameters && std::strstr(parameters, "NONDLCCRC")) ? 0 : NDLC_FULL_MODE;
}

TNdlc* NdlcCreate(void* owner, TNdlcCallback callback, uint32_t flags) {
    TRACE_L1(kTraceNdlc, "NdlcCreate enter");
    TNdlc* n = new (std::nothrow) TNdlc;
    if (!n) {
        debugPrint(DBG_ERROR, "!out of memory");
        return nullptr;
    }
    n->owner = owner;
    n->callback = callback;
    n->flags = flags;
    if (!createSemaphores(n)) {
        debugPrint(DBG_ERROR, "!sem_init failed");
        delete n;
        return nullptr;
    }
    n->lock.create();
    for (uint32_t i = 0; i < kResources; ++i) {
        n->resources[i].next = n->freeList;
        n->freeList = &n->resources[i];
    }
    n->worker = platThreadStart("ndlc", NdlcThread, n);
    if (!n->worker) {
        debugPrint(DBG_ERROR, "!failed to spawn workerthread ");
        delete n;
        return nullptr;
    }
    TRACE_L1(kTraceNdlc, "NdlcCreate exit");
    return n;
}

void NdlcDestroy(TNdlc* n) {
    if (!n) return;
    n->closing = true;
    // The exit goes straight to the worker: a full ring must not keep it running.
    n->exit = true;
    n->workerSemaphore.release();
    platThreadJoin(n->worker, PLAT_INFINITE);
    n->bufferSemaphore.destroy();
    n->copyDone.destroy();
    n->workerSemaphore.destroy();
    while (n->callers.load() != 0) platYield();
    delete n;
    TRACE_L1(kTraceNdlc, "NdlcDestroy done");
}

bool NdlcSendDownstream(uint32_t length, TNdlc* n, const uint8_t* packet) {
    if (length == 0 || length > NDLC_FRAME_MAX || !packet) {
        debugPrint(DBG_ERROR, "NdlcSendDownstream size to large %d instead of %d", static_cast<int>(length),
                   static_cast<int>(NDLC_FRAME_MAX));
        return false;
    }
    TCallerScope scope(n->callers);
    if (n->closing || finalState(n->state)) return false;
    // The caller is the bus reader too: waiting here would keep the acknowledgement that frees
    // a buffer from ever being read.
    if (n->bufferSemaphore.wait(0) != PlatWait::Signaled) {
        TRACE_L1(kTraceNdlc, "NdlcSendDownstream: no free buffer, the packet waits above");
        return false;
    }
    TNdlcResource* r;
    {
        PlatLockGuard g(n->lock);
        r = n->freeList;
        n->freeList = r->next;
    }
    std::memcpy(r->data, packet, length);
    r->length = length;
    if (post(n, {ringTxData, nullptr, 0, r})) return true;
    {
        PlatLockGuard g(n->lock);
        r->next = n->freeList;
        n->freeList = r;
    }
    n->bufferSemaphore.release();
    return false;
}

bool NdlcLinkEnded(const TNdlc* n) { return n->closing || finalState(n->state); }

bool NdlcSendUpstream(uint32_t length, const uint8_t* frame, TNdlc* n) {
    if (length == 0 || length > NDLC_FRAME_MAX || !frame) {
        debugPrint(DBG_ERROR, "NdlcSendUpstream size to large %d instead of %d", static_cast<int>(length),
                   static_cast<int>(NDLC_FRAME_MAX));
        return false;
    }
    TCallerScope scope(n->callers);
    if (n->closing) return false;
    // A refused post never waits: nobody would ever copy the frame.
    if (!post(n, {ringRxData, frame, length, nullptr})) return false;
    return n->copyDone.wait(PLAT_INFINITE) == PlatWait::Signaled;
}
