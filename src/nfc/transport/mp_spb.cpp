// The miniport over the SPB bus behind the bus proxy: the proxy counts the controller's
// interrupts into the worker, which then reads one frame by chip kind. NCI chips run NDLC in
// the miniport; its frames wait in a queue of their own until the worker writes them.
#include <atomic>
#include <cstring>
#include <string>

#include "platform.h"
#include "transport/miniportcommon.h"
#include "transport/miniports.h"
#include "transport/spbproxy.h"
#include "transport/spbproxy_api.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kPollMs = 5;
constexpr uint32_t kReadTraceEvery = 1000;
constexpr uint32_t kLinePulseMs = 30;
constexpr uint32_t kPowerPulseMs = 50;
constexpr uint32_t kPowerSettleMs = 100;
constexpr uint8_t kPn544LengthMin = 3;
constexpr uint8_t kPn544LengthMax = 32;
constexpr uint32_t kPn544JunkLimit = 10;
constexpr uint32_t kQueueNodes = 10;   // as many frames as the link can have under way

struct TSpbLibrary {
    nfcLinkL1Consumer_t nfcLinkL1Consumer = nullptr;
    nfcCloseL1_t nfcCloseL1 = nullptr;
#define SPB_POINTER(name, result, parameters) name##_t name = nullptr;
    SPBPROXY_PROXIMITY_FUNCTIONS(SPB_POINTER)
#undef SPB_POINTER
};

struct TSpb {
    TSpSpbRegistration registration{};
    void* handle = nullptr;
    std::atomic<bool> open{false};
    std::atomic<uint32_t> irqCount{0};
    std::atomic<int32_t> pendingIrq{0};
    std::atomic<uint32_t> writes{0};
    std::atomic<uint32_t> reads{0};
    std::atomic<bool> polling{false};
    uint32_t resets = 0;
    uint32_t readSizeIndex = 0;
    TNdlc* ndlc = nullptr;
    // The link's frames, written by the worker; NDLC queues them from its own thread. A frame
    // given up is NDLC's to send again.
    TChipTxNode nodes[kQueueNodes];
    TChipTxQueue queue;
    BYTE rx[MP_NDLC_RX_SIZE];
    BYTE up[NDLC_FRAME_MAX];
};

TSpbLibrary g_lib;
TSpb g_spb;

TSpb& spb(TChipTransport* r) { return *static_cast<TSpb*>(r->miniport); }
bool proximity(const TChipTransport* r) { return r->flags & CHIP_PROXIMITY; }

// ---- The bus --------------------------------------------------------------------------------

bool busWrite(TChipTransport* r, const BYTE* data, DWORD length) {
    TSpb& s = spb(r);
    if (!s.open) return false;
    if (proximity(r)) return g_lib.spbWrite(data, length) == 0;
    return s.registration.write(s.handle, data, length) != 0;
}

bool busRead(TChipTransport* r, BYTE* buffer, DWORD size) {
    TSpb& s = spb(r);
    if (!s.open) return false;
    if (proximity(r)) return g_lib.spbRead(buffer, size) == 0;
    return s.registration.read(s.handle, buffer, size) != 0;
}

int32_t mpSpbWrite(TChipTransport* r, const BYTE* buffer, DWORD length) {
    debugPrint(0, "## mpSpbWrite no. %d, len %d", static_cast<int>(++spb(r).writes), static_cast<int>(length));
    return busWrite(r, buffer, length) ? static_cast<int32_t>(length) : -1;
}

int32_t mpSpbNdlcWrite(TChipTransport* r, const BYTE* buffer, DWORD length) { return mpNdlcWrite(spb(r).ndlc, buffer, length); }

// The whole size or 0: a failed read never hands back bytes as data.
int32_t mpSpbRead(TChipTransport* r, BYTE* buffer, DWORD size) {
    TSpb& s = spb(r);
    const uint32_t n = ++s.reads;
    if (!s.polling || n % kReadTraceEvery == 0) debugPrint(0, "mpSpbRead() no. %d ,%d bytes", static_cast<int>(n), static_cast<int>(size));
    const bool read = mpReadRetrying([&] { return busRead(r, buffer, size); },
                                     [&](uint32_t retry, uint32_t ms) {
                                         if (retry == 1) debugPrint(DBG_ERROR, "! read failed: %s", platErrorText(platLastError()).c_str());
                                         debugPrint(0, "## mSpbRead (%d) retry %d/3 in %d milliseconds.", static_cast<int>(n),
                                                    static_cast<int>(retry), static_cast<int>(ms));
                                     });
    return read ? static_cast<int32_t>(size) : 0;
}

bool readAll(TChipTransport* r, BYTE* buffer, DWORD size) { return mpSpbRead(r, buffer, size) == static_cast<int32_t>(size); }

// Called by the proxy on its own thread for every interrupt of the controller.
void mpL1EventProc(void* record, uint32_t gpioState) {
    auto* r = static_cast<TChipTransport*>(record);
    TSpb& s = g_spb;
    const uint32_t count = ++s.irqCount;
    ++s.pendingIrq;
    debugPrint(0, "## mpL1EventProc irq cnt %d, gpio state %d", static_cast<int>(count), static_cast<int>(gpioState));
    r->workerSemaphore.release();
}

DWORD mpSpbGpioGet(TChipTransport* r, DWORD) {
    const int32_t pending = spb(r).pendingIrq;
    return pending > 0 ? static_cast<DWORD>(pending) : 0;
}

// ---- The link's transmit queue --------------------------------------------------------------

void spbQueueWrite(TChipTransport* r, const uint8_t* data, uint32_t length) {
    if (!chipTxQueueAdd(&spb(r).queue, nullptr, data, length)) {
        debugPrint(DBG_ERROR, "! %s,no buffer", "spbQueueWrite");
        return;
    }
    r->workerSemaphore.release();
}

// Writes the queued frames in order, while the bus takes them.
void spbTransmitStep(TChipTransport* r) {
    while (chipTxQueueStep(r, &spb(r).queue) >= 0) {
    }
}

void ndlc_callback(void* owner, uint32_t event, const uint8_t* data, uint32_t length) {
    auto* r = static_cast<TChipTransport*>(owner);
    TRACE_L1(MP_TRACE_CALLBACK, "ndlc_callback enter");
    if (event == NDLC_EVENT_DSWRITE) {
        TRACE_L1(MP_TRACE_CALLBACK, "event NDLC_EVENT_DSWRITE for %d bytes", static_cast<int>(length));
        if (debugL1On(MP_TRACE_RAW)) debugDump(data, "TX NDLC DATA", length);
        spbQueueWrite(r, data, length);
    } else {
        mpNdlcEvent(r, event, data, length, spb(r).up);
    }
    TRACE_L1(MP_TRACE_CALLBACK, "ndlc_callback exit");
}

// ---- Receive passes -------------------------------------------------------------------------

// A length byte, then as many bytes; junk lengths are skipped, a run of them gives up.
void receivePn544(TChipTransport* r) {
    TSpb& s = spb(r);
    uint32_t junk = 0;
    for (;;) {
        if (!readAll(r, s.rx, 1)) return;
        const uint8_t length = s.rx[0];
        if (length >= kPn544LengthMin && length <= kPn544LengthMax) break;
        debugPrint(DBG_ERROR, "chip: ! got junk lenght byte %d. skipping", length);
        if (++junk > kPn544JunkLimit) {
            debugPrint(DBG_ERROR, "chip: ! got 10 junk bytes in a row. giving up.");
            return;
        }
    }
    const DWORD length = s.rx[0];
    if (!readAll(r, s.rx + 1, length)) {
        debugPrint(DBG_ERROR, "chip: ! frame of %d bytes not read, dropped", static_cast<int>(length));
        return;
    }
    chipSignal(r, comeDataReceived, COM_SUCCESS, s.rx, length + 1);
}

void receiveHciChunk(TChipTransport* r) {
    TSpb& s = spb(r);
    const uint32_t size = mpHciChunkSize(s.readSizeIndex);
    if (!readAll(r, s.rx, size)) return;
    s.readSizeIndex = mpHciNextChunk(s.readSizeIndex, s.rx, size);
    if (debugL1On(MP_TRACE_RAW)) {
        const std::string title = "I2C READ " + std::to_string(s.reads.load()) + " RAW";
        debugDump(s.rx, title.c_str(), size);
    }
    chipSignal(r, comeDataReceived, COM_SUCCESS, s.rx, size);
}

void receiveFrame(TChipTransport* r) {
    TSpb& s = spb(r);
    if (r->flags & CHIP_PN544) receivePn544(r);
    else if (r->flags & CHIP_NCI_ST21) mpReceiveNdlcFrame(r, s.rx, s.ndlc);
    else receiveHciChunk(r);
}

// One interrupt is one frame; the first one ends polling.
bool takeInterrupt(TSpb& s) {
    int32_t pending = s.pendingIrq.load();
    do {
        if (pending <= 0) return false;
    } while (!s.pendingIrq.compare_exchange_weak(pending, pending - 1));
    debugPrint(0, "## SPB thread signal %d, GPIO state %d", static_cast<int>(s.irqCount.load()), static_cast<int>(pending - 1));
    if (s.polling.exchange(false)) debugPrint(0, "# stop polling mode #");
    return true;
}

void mpSpbThreadWorker(TChipTransport* r) {
    TSpb& s = spb(r);
    const PlatWait w = r->workerSemaphore.wait(s.polling ? kPollMs : PLAT_INFINITE);
    if (w == PlatWait::Failed || !r->running) {
        debugPrint(0, "## SPB thread exit worker signaled");
        return;
    }
    if (w == PlatWait::Timeout) TRACE_L1(MP_TRACE_CALLBACK, "## SPB thread poll");
    chipTransmitStep(r);
    spbTransmitStep(r);
    if (!(w == PlatWait::Timeout && s.irqCount > 0) && !takeInterrupt(s)) return;
    receiveFrame(r);
    // Interrupts beyond what the semaphore can count are not lost: the worker wakes itself.
    if (s.pendingIrq > 0 && r->workerSemaphore.count() == 0) r->workerSemaphore.release();
}

// ---- Open, close and reset ------------------------------------------------------------------

void releaseBus(TChipTransport* r) {
    TSpb& s = spb(r);
    if (!s.open.exchange(false)) return;
    if (proximity(r)) g_lib.spbClose();
    else g_lib.nfcCloseL1(s.handle);
    s.handle = nullptr;
}

bool linkBus(TChipTransport* r) {
    TSpb& s = spb(r);
    if (proximity(r)) {
        // A non-zero answer is the open bus.
        if (g_lib.spbOpen(&mpL1EventProc, r) != 0) return true;
        debugPrint(DBG_ERROR, "nfcLinkL1Consumer failed!");
        return false;
    }
    if (g_lib.nfcLinkL1Consumer(SPBPROXY_SPB_PORT, &s.registration, &s.handle) == 0 || !s.registration.write ||
        !s.registration.read || !s.registration.lineControl) {
        debugPrint(DBG_ERROR, "nfcLinkL1Consumer failed!");
        s.handle = nullptr;
        return false;
    }
    return true;
}

DWORD mpSpbOpen(TChipTransport* r, const char*, const char* parameters) {
    TSpb& s = g_spb;
    r->miniport = &s;   // from here on the close cleans up whatever the open leaves
    s.registration = TSpSpbRegistration{};
    s.registration.record = r;
    s.registration.eventProc = &mpL1EventProc;
    s.handle = nullptr;
    s.irqCount = 0;
    s.pendingIrq = 0;
    s.writes = s.reads = 0;
    s.resets = s.readSizeIndex = 0;
    s.polling = (r->flags & CHIP_POLLBUS) != 0;
    debugPrint(0, "mpSpbOpen(), for %p and signal proc %p", static_cast<void*>(r), reinterpret_cast<void*>(&mpL1EventProc));
    chipTxQueueInit(&s.queue, s.nodes, kQueueNodes);
    s.queue.write = &mpSpbWrite;
    if (!linkBus(r)) return static_cast<DWORD>(-1);
    s.open = true;
    debugPrint(0, "New SPB access handle %p", s.handle);
    if ((r->flags & CHIP_NCI_ST21) && !(s.ndlc = NdlcCreate(r, &ndlc_callback, NdlcFlagsFor(parameters)))) return COM_ERR_OPEN;
    return 0;
}

void mpSpbClose(TChipTransport* r) {
    TSpb& s = spb(r);
    NdlcDestroy(s.ndlc);   // its worker may be queueing: it goes before the queue
    s.ndlc = nullptr;
    chipTxQueueStop(&s.queue);
    releaseBus(r);
}

void powerCycle(TChipTransport* r) {
    TSpb& s = spb(r);
    if (proximity(r)) {
        g_lib.spbPower(0);
        platSleepMs(kPowerPulseMs);
        g_lib.spbPower(1);
    } else if (s.open) {
        s.registration.lineControl(s.handle, 0);
        platSleepMs(kLinePulseMs);
        s.registration.lineControl(s.handle, 1);
    }
    platSleepMs(kPowerSettleMs);
}

// The first reset brings the controller up; a later one gives the bus up and leaves the
// transport closed (no bus handle), and says so.
DWORD mSpReset(TChipTransport* r) {
    TSpb& s = spb(r);
    debugPrint(0, "mSpReset");
    debugPrint(0, "mSpReset, REPOWER chip");
    powerCycle(r);
    if (!(r->flags & CHIP_PN544)) mpInitialClearing(r);
    ++s.resets;
    s.writes = 0;
    if (s.resets < 2) return 0;
    debugPrint(DBG_ERROR, "! mSpReset: reset no. %d, transport closed", static_cast<int>(s.resets));
    chipStopWorkerThread(r);
    mpSpbClose(r);
    r->miniport = nullptr;
    return COM_ERR_STATE;
}

constexpr TMiniportOps kSpbOps = {&mpSpbOpen,    &mpSpbClose, &mpSpbWrite,             &mpSpbRead,
                                  &mpSpbGpioGet, nullptr,     &mSpReset,               &chipStartWorkerThread,
                                  nullptr,       &mpSpbThreadWorker, nullptr};

bool lookUp(TChipTransport* r) {
    TSpbLibrary b;
    bool complete = true;
    if (r->flags & CHIP_PROXIMITY) {
#define SPB_LOOKUP(name, result, parameters)                                         \
    b.name = reinterpret_cast<name##_t>(spbProxySymbol(#name));                     \
    complete = complete && b.name;
        SPBPROXY_PROXIMITY_FUNCTIONS(SPB_LOOKUP)
#undef SPB_LOOKUP
    } else {
        b.nfcLinkL1Consumer = reinterpret_cast<nfcLinkL1Consumer_t>(spbProxySymbol("nfcLinkL1Consumer"));
        b.nfcCloseL1 = reinterpret_cast<nfcCloseL1_t>(spbProxySymbol("nfcCloseL1"));
        complete = b.nfcLinkL1Consumer && b.nfcCloseL1;
    }
    if (complete) g_lib = b;
    return complete;
}

}  // namespace

DWORD chipInitMiniportSpb(TChipTransport* r, TMiniportOps* ops) {
    if (!lookUp(r)) return COM_ERR_NO_RESOURCES;
    *ops = kSpbOps;
    if (r->flags & CHIP_NCI_ST21) ops->write = &mpSpbNdlcWrite;
    return 0;
}
