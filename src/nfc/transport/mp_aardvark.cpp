// The two miniports over the I2C host adapter: the ETSI HCI chips read their byte stream in
// chunks, the NCI chips frame every packet with NDLC, which runs inside the miniport.
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"
#include "transport/aardvark_api.h"
#include "transport/miniportcommon.h"
#include "transport/miniports.h"
#include "transport/ndlc.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTraceRaw = MP_TRACE_RAW;
constexpr uint32_t kTraceCallback = MP_TRACE_CALLBACK;
constexpr uint32_t kVersionMin = 0x0500;
constexpr uint32_t kVersionMax = 0x0500FFFFu;
constexpr int32_t kMaxDevices = 16;
constexpr uint32_t kReadFailuresToRemove = 6;
constexpr uint32_t kResetPulseMs = 30;
constexpr uint32_t kResetIrqStepMs = 20;
constexpr uint32_t kResetIrqLimitMs = 500;

struct TAardvarkLibrary {
    void* library = nullptr;
#define AARDVARK_POINTER(name, result, parameters) name##_t name = nullptr;
    AARDVARK_FUNCTIONS(AARDVARK_POINTER)
#undef AARDVARK_POINTER
};

struct TAardvark {
    int32_t slot = 0;
    int32_t handle = -1;
    uint16_t slave = 1;
    bool activeHigh = false;
    bool resetLine = false;
    uint32_t readSizeIndex = 0;
    uint32_t readFailures = 0;
    uint32_t resets = 0;
    PlatLock bus;
    PlatLock gpio;
    TNdlc* ndlc = nullptr;
    BYTE rx[MP_NDLC_RX_SIZE];
    BYTE up[NDLC_FRAME_MAX];
};

TAardvarkLibrary g_lib;
TAardvark g_aa;

TAardvark& aa(TChipTransport* r) { return *static_cast<TAardvark*>(r->miniport); }
bool contains(const char* text, const char* word) { return text && std::strstr(text, word) != nullptr; }

void unbind() {
    if (g_lib.library) platLibraryClose(g_lib.library);
    g_lib = {};
}

bool versionAccepted(uint32_t v) { return (v & 0xFFFF) >= kVersionMin && v <= kVersionMax; }

// Loads the adapter's library beside ours: -1 not loadable, -4 a version we cannot use,
// -3 an entry missing.
int32_t bind() {
    if (g_lib.library) return 0;
    std::string error;
    const std::string path = platLibraryFolder() + AARDVARK_LIBRARY;
    TAardvarkLibrary b;
    b.library = platLibraryOpen(path, &error);
    if (!b.library) {
        debugPrint(DBG_ERROR, "! i2capi: cannot load %s: %s", path.c_str(), error.c_str());
        return -1;
    }
    g_lib = b;
    auto version = reinterpret_cast<c_version_t>(platLibrarySymbol(b.library, "c_version"));
    if (!version || !versionAccepted(version())) {
        debugPrint(DBG_ERROR, "! i2capi: %s has no usable c_version", path.c_str());
        unbind();
        return -4;
    }
    bool complete = true;
#define AARDVARK_LOOKUP(name, result, parameters)                                            \
    g_lib.name = reinterpret_cast<name##_t>(platLibrarySymbol(b.library, #name));            \
    if (!g_lib.name) {                                                                       \
        debugPrint(DBG_ERROR, "! i2capi: %s misses %s", path.c_str(), #name);                \
        complete = false;                                                                    \
    }
    AARDVARK_FUNCTIONS(AARDVARK_LOOKUP)
#undef AARDVARK_LOOKUP
    if (complete) return 0;
    unbind();
    return -3;
}

bool findSlot(int32_t& slot) {
    uint16_t devices[kMaxDevices] = {};
    uint32_t ids[kMaxDevices] = {};
    int32_t count = g_lib.c_aa_find_devices_ext(kMaxDevices, devices, kMaxDevices, ids);
    if (count <= 0) {
        debugPrint(DBG_ERROR, "! i2capi: no I2C device found");
        return false;
    }
    slot = -1;
    for (int32_t i = 0; i < count && i < kMaxDevices; ++i) {
        debugPrint(0, " #%d. I2C device: info 0x%X, ID 0x%X", static_cast<int>(i), devices[i], ids[i]);
        if (slot < 0 && !(devices[i] & AARDVARK_IN_USE)) slot = i;
    }
    if (slot >= 0) return true;
    debugPrint(DBG_ERROR, "! i2capi: No free AARDVARK I2C device slot found");
    return false;
}

uint16_t slaveAddress(const char* parameters) {
    const char* at = std::strstr(parameters, "SLAVEADDRESS");
    if (!at || !at[12]) return 1;
    long value = std::strtol(at + 13, nullptr, 10);   // one character, the equals sign, is skipped
    return value <= 0 || value > 0xFFFF ? 1 : static_cast<uint16_t>(value);
}

// ---- Bus access -------------------------------------------------------------------------------

int32_t i2cWrite(TChipTransport* r, const BYTE* data, DWORD length) {
    TAardvark& a = aa(r);
    if (length > 0xFFFF) return -1;
    PlatLockGuard g(a.bus);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt) platSleepMs(5);
        uint16_t written = 0;
        if (g_lib.c_aa_i2c_write_ext(a.handle, a.slave, 0, static_cast<uint16_t>(length), data, &written) == 0)
            return written;
    }
    return -1;
}

int32_t locI2cRead(TChipTransport* r, BYTE* buffer, DWORD size) {
    TAardvark& a = aa(r);
    PlatLockGuard g(a.bus);
    uint16_t got = 0;
    int32_t status = 0;
    const bool read = mpReadRetrying(
        [&] { return (status = g_lib.c_aa_i2c_read_ext(a.handle, a.slave, 0, static_cast<uint16_t>(size), buffer, &got)) == 0; },
        [&](uint32_t retry, uint32_t ms) {
            debugPrint(DBG_ERROR, "## aa_i2c_read_ext returns %d (%s)", static_cast<int>(status), g_lib.c_aa_status_string(status));
            debugPrint(0, "## locI2cRead retry %d/3 in %d milliseconds.", static_cast<int>(retry), static_cast<int>(ms));
        });
    return read ? (got <= size ? got : static_cast<int32_t>(size)) : -1;
}

bool irqActive(TAardvark& a) {
    PlatLockGuard g(a.bus);
    int32_t bits = g_lib.c_aa_gpio_get(a.handle);
    if (bits < 0) return false;
    bool high = (bits & AARDVARK_GPIO_IRQ) != 0;
    return a.activeHigh ? high : !high;
}

DWORD mpAardvarkGpioGet(TChipTransport* r, DWORD) { return irqActive(aa(r)) ? 1 : 0; }

void mpAardvarkGpioSet(TChipTransport* r, DWORD line, DWORD value) {
    if (line != 1) return;
    TAardvark& a = aa(r);
    PlatLockGuard g(a.bus);
    g_lib.c_aa_gpio_set(a.handle, value ? AARDVARK_GPIO_RESET : 0);
}

void resetPulse(TAardvark& a) {
    {
        PlatLockGuard g(a.bus);
        g_lib.c_aa_gpio_set(a.handle, 0);
    }
    platSleepMs(kResetPulseMs);
    PlatLockGuard g(a.bus);
    g_lib.c_aa_gpio_set(a.handle, AARDVARK_GPIO_RESET);
}

// After the pulse the controller holds its interrupt line until it has booted.
void i2cNfcbGenerateResetPulse(TAardvark& a) {
    TRACE_L1(kTraceCallback, "%s -- enter", "i2cNfcbGenerateResetPulse");
    PlatLockGuard g(a.gpio);
    resetPulse(a);
    uint32_t waited = 0;
    while (irqActive(a) && waited < kResetIrqLimitMs) {
        platSleepMs(kResetIrqStepMs);
        waited += kResetIrqStepMs;
    }
    if (waited >= kResetIrqLimitMs) debugPrint(0, "i2cNfcbGenerateResetPulse: timeout = %u", waited);
    TRACE_L1(kTraceCallback, "%s -- exit", "i2cNfcbGenerateResetPulse");
}

DWORD mpAardvarkReset(TChipTransport* r) {
    TAardvark& a = aa(r);
    ++a.resets;
    if (a.handle >= 0 && a.resetLine) {
        PlatLockGuard g(a.gpio);
        resetPulse(a);
    }
    return 0;
}

DWORD mpNfcbAardvarkReset(TChipTransport* r) {
    TAardvark& a = aa(r);
    if (a.handle >= 0 && a.resetLine) i2cNfcbGenerateResetPulse(a);
    return 0;
}

// ---- Open and close ---------------------------------------------------------------------------

void ndlc_callback(void* owner, uint32_t event, const uint8_t* data, uint32_t length);

bool configureAdapter(TChipTransport* r) {
    TAardvark& a = aa(r);
    a.handle = g_lib.c_aa_open(a.slot);
    if (a.handle < 0) {
        debugPrint(DBG_ERROR, "! i2capi: aa_open() slot %d failed with error %d (win error %d)", static_cast<int>(a.slot),
                   static_cast<int>(a.handle), platLastError());
        return false;
    }
    g_lib.c_aa_configure(a.handle, 2);
    g_lib.c_aa_i2c_pullup(a.handle, 3);
    if (!a.activeHigh) g_lib.c_aa_gpio_pullup(a.handle, AARDVARK_GPIO_IRQ);
    if (a.resetLine) {
        g_lib.c_aa_gpio_direction(a.handle, AARDVARK_GPIO_RESET);
        resetPulse(a);
    }
    g_lib.c_aa_target_power(a.handle, 0);
    g_lib.c_aa_i2c_bitrate(a.handle, 400);
    g_lib.c_aa_i2c_bus_timeout(a.handle, 50);
    g_lib.c_aa_target_power(a.handle, 3);
    return mpInitialClearing(r);
}

DWORD openAdapter(TChipTransport* r, const char* parameters, bool ndlc) {
    TAardvark& a = g_aa;
    a.handle = -1;
    a.readSizeIndex = a.readFailures = a.resets = 0;
    r->miniport = &a;   // from here on the close cleans up whatever the open leaves
    a.activeHigh = contains(parameters, "HIPOL");
    a.slave = slaveAddress(parameters);
    a.bus.create();
    a.gpio.create();
    a.resetLine = r->flags & (ndlc ? (CHIP_ST21NFCB | CHIP_NCI_ST21) : CHIP_ST21NFCB);
    if (ndlc && !(a.ndlc = NdlcCreate(r, &ndlc_callback, NdlcFlagsFor(parameters)))) return COM_ERR_OPEN;
    if (!configureAdapter(r)) {
        debugPrint(DBG_ERROR, "! mpAardvarkOpen() failed.");
        return COM_ERR_OPEN;
    }
    debugPrint(0, "mpAardvarkOpen() successfully");
    return 0;
}

DWORD mpAardvarkOpen(TChipTransport* r, const char*, const char* parameters) { return openAdapter(r, parameters, false); }
DWORD mpNfcbAardvarkOpen(TChipTransport* r, const char*, const char* parameters) { return openAdapter(r, parameters, true); }

void mpAardvarkClose(TChipTransport* r) {
    TAardvark& a = aa(r);
    debugPrint(0, "chip close Aardvark");
    NdlcDestroy(a.ndlc);   // its worker may be writing: it goes before the locks
    a.ndlc = nullptr;
    a.bus.destroy();
    a.gpio.destroy();
    a.handle = -1;
    debugPrint(0, "free Aardvark library");
    unbind();
}

// ---- Writes and the worker ------------------------------------------------------------------

int32_t mpAardvarkWrite(TChipTransport* r, const BYTE* buffer, DWORD length) { return i2cWrite(r, buffer, length); }

int32_t mpNfcbAardvarkWrite(TChipTransport* r, const BYTE* buffer, DWORD length) { return mpNdlcWrite(aa(r).ndlc, buffer, length); }

// A dead adapter answers no read: the 6th failure in a row reports it removed and ends the worker.
bool readFailed(TChipTransport* r) {
    TAardvark& a = aa(r);
    if (++a.readFailures < kReadFailuresToRemove) return false;
    debugPrint(DBG_ERROR, "chip: %d times read failed, signal L1 remove !", static_cast<int>(a.readFailures));
    chipSignal(r, comeAdapterPlugout, COM_SUCCESS, nullptr, 0);
    r->running = false;
    return true;
}

void receivePassHci(TChipTransport* r) {
    TAardvark& a = aa(r);
    while (r->running && irqActive(a)) {
        const uint32_t size = mpHciChunkSize(a.readSizeIndex);
        int32_t got = locI2cRead(r, a.rx, size);
        if (got <= 0) {
            if (readFailed(r)) return;
            continue;
        }
        a.readFailures = 0;
        a.readSizeIndex = mpHciNextChunk(a.readSizeIndex, a.rx, static_cast<uint32_t>(got));
        if (debugL1On(kTraceRaw) && !mpHciAllIdle(a.rx, static_cast<uint32_t>(got))) debugDump(a.rx, "i2c READ RAW", static_cast<uint32_t>(got));
        chipSignal(r, comeDataReceived, COM_SUCCESS, a.rx, static_cast<DWORD>(got));
    }
}

void receiveNdlcFrame(TChipTransport* r) {
    TAardvark& a = aa(r);
    if (mpReceiveNdlcFrame(r, a.rx, a.ndlc)) a.readFailures = 0;
    else readFailed(r);
}

void receivePassNdlc(TChipTransport* r) {
    TAardvark& a = aa(r);
    PlatLockGuard g(a.gpio);
    while (r->running && irqActive(a)) receiveNdlcFrame(r);
}

void workerLoop(TChipTransport* r, void (*receivePass)(TChipTransport*)) {
    receivePass(r);
    while (r->running) {
        PlatWait w = r->workerSemaphore.wait(5);
        if (w == PlatWait::Failed) break;
        if (w == PlatWait::Signaled) {
            TRACE_L1(kTraceCallback, "ThreadWorker disp TX enter");
            chipTransmitStep(r);
            TRACE_L1(kTraceCallback, "ThreadWorker disp TX exit");
        }
        receivePass(r);
    }
}

void mpAarvarkThreadWorker(TChipTransport* r) {
    workerLoop(r, &receivePassHci);
    debugPrint(0, "mpAarvarkThreadWorker() exit");
}

void mpNfcbAardvarkThreadWorker(TChipTransport* r) {
    debugPrint(0, "mpNfcbAardvarkThreadWorker() enter");
    workerLoop(r, &receivePassNdlc);
    debugPrint(0, "mpNfcbAardvarkThreadWorker() exit");
}

DWORD mpAardvarkStartThread(TChipTransport* r) {
    r->gpioState = irqActive(aa(r)) ? 1 : 0;
    return chipStartWorkerThread(r);
}

void ndlc_callback(void* owner, uint32_t event, const uint8_t* data, uint32_t length) {
    auto* r = static_cast<TChipTransport*>(owner);
    TRACE_L1(kTraceCallback, "ndlc_callback enter");
    switch (event) {
    case NDLC_EVENT_DSWRITE:
        TRACE_L1(kTraceCallback, "event NDLC_EVENT_DSWRITE for %d bytes", static_cast<int>(length));
        if (debugL1On(kTraceRaw)) debugDump(data, "TX NDLC DATA", length);
        i2cWrite(r, data, length);   // a lost frame is NDLC's to repeat
        break;
    default:
        mpNdlcEvent(r, event, data, length, aa(r).up);
        break;
    }
    TRACE_L1(kTraceCallback, "ndlc_callback exit");
}

constexpr TMiniportOps kHciOps = {&mpAardvarkOpen,        &mpAardvarkClose, &mpAardvarkWrite,      &locI2cRead,
                                  &mpAardvarkGpioGet,     &mpAardvarkGpioSet, &mpAardvarkReset,    &mpAardvarkStartThread,
                                  nullptr,                &mpAarvarkThreadWorker, nullptr};
constexpr TMiniportOps kNdlcOps = {&mpNfcbAardvarkOpen,   &mpAardvarkClose, &mpNfcbAardvarkWrite,  &locI2cRead,
                                   &mpAardvarkGpioGet,    &mpAardvarkGpioSet, &mpNfcbAardvarkReset, &mpAardvarkStartThread,
                                   nullptr,               &mpNfcbAardvarkThreadWorker, nullptr};

DWORD setup(TMiniportOps* ops, const TMiniportOps& table) {
    if (bind() != 0) return COM_ERR_NO_RESOURCES;
    int32_t slot = 0;
    if (!findSlot(slot)) {
        unbind();
        return COM_ERR_NO_RESOURCES;
    }
    g_aa.slot = slot;
    *ops = table;
    return 0;
}

}  // namespace

DWORD chipInitMiniportAardvark(TChipTransport*, TMiniportOps* ops) { return setup(ops, kHciOps); }
DWORD chipInitMiniportAardvarkNdlc(TChipTransport*, TMiniportOps* ops) { return setup(ops, kNdlcOps); }
