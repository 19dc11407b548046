// The miniport over the ARM evaluation board: the board's library waits for the controller's
// interrupt line and moves whole packets, so the worker only probes, reads and sends.
#include <cstring>
#include <string>

#include "platform.h"
#include "transport/armboard_api.h"
#include "transport/miniports.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTraceCallback = 0x40000000u;   // layer-1 bit
constexpr uint32_t kWriteTries = 5;
constexpr uint32_t kPowerStepMs = 100;
constexpr uint32_t kSenseTimeoutMs = 20;

struct TArmLibrary {
    void* library = nullptr;
#define ARMBOARD_POINTER(name, result, parameters) name##_t name = nullptr;
    ARMBOARD_FUNCTIONS(ARMBOARD_POINTER)
#undef ARMBOARD_POINTER
};

struct TArmBoard {
    void* handle = nullptr;
    BYTE rx[ARMBOARD_RX_MAX];
};

TArmLibrary g_lib;
TArmBoard g_arm;

TArmBoard& arm(TChipTransport* r) { return *static_cast<TArmBoard*>(r->miniport); }

void unbind() {
    if (g_lib.library) platLibraryClose(g_lib.library);
    g_lib = {};
}

bool bind() {
    if (g_lib.library) return true;
    std::string error;
    g_lib.library = platLibraryOpen(platLibraryFolder() + ARMBOARD_LIBRARY, &error);
    if (!g_lib.library) {
        debugPrint(DBG_ERROR, "! cannot load 'ARMBoard.dll'");
        return false;
    }
    bool complete = true;
#define ARMBOARD_LOOKUP(name, result, parameters)                                           \
    g_lib.name = reinterpret_cast<name##_t>(platLibrarySymbol(g_lib.library, #name));       \
    complete = complete && g_lib.name;
    ARMBOARD_FUNCTIONS(ARMBOARD_LOOKUP)
#undef ARMBOARD_LOOKUP
    if (complete) return true;
    debugPrint(DBG_ERROR, "! missing dynalink in 'ARMBoard.dll'");
    unbind();
    return false;
}

// A status word: the call's 8-bit status high, the low byte of the board's last error low.
uint32_t withLastError(TArmBoard& a, uint8_t status) {
    uint16_t* error = nullptr;
    g_lib.phRpc_H_GetLastError(a.handle, &error);
    return (static_cast<uint32_t>(status) << 8) | (error ? (*error & 0xFF) : 0);
}

uint8_t ioControl(TArmBoard& a, uint8_t code, uint8_t mode, uint32_t* value) {
    const uint8_t status = g_lib.phRpc_H_DevIoCtl(a.handle, code, mode, value);
    TRACE_L1(kTraceCallback, "rpcIoControl %.02X %.02X  %.08X -> %x", code, mode, value ? *value : 0u, status);
    return status;
}

uint8_t ioControlValue(TArmBoard& a, uint8_t code, uint32_t value) { return ioControl(a, code, 255, &value); }

void lineControl(TArmBoard& a, uint8_t line, uint8_t value) {
    if (g_lib.phRpc_H_DevIoLineCtl(a.handle, line, value, 0) != 0) debugPrint(DBG_ERROR, "! rpcDevLineControl failed");
}

void powerCycle(TArmBoard& a) {
    debugPrint(0, "reset power enter");
    lineControl(a, ARMBOARD_LINE_POWER, 0);
    platSleepMs(kPowerStepMs);
    lineControl(a, ARMBOARD_LINE_POWER, 1);
    platSleepMs(kPowerStepMs);
    debugPrint(0, "reset power exit");
}

// Waits in the board for the interrupt line, up to the sense time-out; 0: an interrupt is there.
uint32_t irqProbe(TArmBoard& a) {
    const uint32_t start = platTickMs();
    const uint32_t result = withLastError(a, ioControl(a, ARMBOARD_IOCTL_WAIT_IRQ, 255, nullptr));
    TRACE_L1(kTraceCallback, "Wait IRQ -> %X (%d ms)", result, static_cast<int>(platTickMs() - start));
    return result;
}

void traceBoard(TArmBoard& a) {
    const char* text = nullptr;
    uint8_t present = 0;
    g_lib.phRpc_H_GetHostInfo(a.handle, 0, &text, &present);
    debugPrint(0, "host info  : %s", text && present ? text : "");
    text = nullptr;
    present = 0;
    g_lib.phRpc_H_GetDeviceInfo(a.handle, 5, &text, &present);
    debugPrint(0, "device info: %s", text && present ? text : "");
}

void setUpInterface(TArmBoard& a, bool i2c) {
    if (i2c) {
        g_lib.phRpc_H_DutInit(a.handle, 1, 40, 400000, 0, 0);
        ioControlValue(a, 0x50, 0);
    } else {
        g_lib.phRpc_H_DutInit(a.handle, 2, 0, 6400000, 0, 0);
        uint32_t zero = 0;
        ioControl(a, 0x41, 0, &zero);
    }
    for (uint8_t code : {0x42, 0x4D, 0x4A}) ioControl(a, code, 0, nullptr);
    ioControlValue(a, 0x44, 2);
    ioControlValue(a, 0x47, 0);
    ioControl(a, 0x4E, 0, nullptr);
    ioControlValue(a, 0x47, 2);
}

DWORD mpArmOpen(TChipTransport* r, const char*, const char* parameters) {
    TArmBoard& a = g_arm;
    r->miniport = &a;
    debugPrint(0, "call rpcOpen");
    a.handle = nullptr;
    if (g_lib.phRpc_H_Open(&a.handle, 0, 0) != 0) {
        debugPrint(DBG_ERROR, "! rpcOpen failed");
        a.handle = nullptr;
        return static_cast<DWORD>(-1);
    }
    debugPrint(0, "rpcOpen called successfully");
    powerCycle(a);
    traceBoard(a);
    setUpInterface(a, parameters && std::strstr(parameters, "I2C"));
    lineControl(a, 8, 0);
    powerCycle(a);
    debugPrint(0, "Try IRQ pin, sense timeout 20ms");
    ioControlValue(a, ARMBOARD_IOCTL_SENSE_TIMEOUT, kSenseTimeoutMs);
    irqProbe(a);
    // The worker's wait stays this short: a cancel (a stop, a write to send) that comes before
    // the wait began is not kept by the board, and the worker looks at its work again soon.
    g_lib.phRpc_H_SetTimeout(a.handle, kSenseTimeoutMs);
    g_lib.phRpc_H_SetCommParam(a.handle);
    return 0;
}

void mpArmClose(TChipTransport* r) {
    TArmBoard& a = arm(r);
    if (a.handle) g_lib.phRpc_H_Close(&a.handle);
    a.handle = nullptr;
    unbind();
}

// A board that is still busy with the last packet answers status 3: the packet is offered again.
int32_t mpArmWrite(TChipTransport* r, const BYTE* buffer, DWORD length) {
    TArmBoard& a = arm(r);
    if (length > 0xFFFF) return -1;
    uint32_t status = 0;
    for (uint32_t tries = 0; tries < kWriteTries; ++tries) {
        g_lib.phRpc_H_CancelIo(a.handle);
        uint16_t size = static_cast<uint16_t>(length);
        status = withLastError(a, g_lib.phRpc_H_DutTx(a.handle, buffer, &size));
        debugPrint(0, "rpcWrite(%d) = %X", static_cast<int>(length), status);
        if ((status >> 8) != ARMBOARD_STATUS_BUSY) break;
    }
    if (status == 0) return static_cast<int32_t>(length);
    debugPrint(DBG_ERROR, "! rpcWrite failed %#x", status);
    return -1;
}

// The board hands out its own buffer: a packet longer than ours is dropped, never cut.
void receivePacket(TChipTransport* r) {
    TArmBoard& a = arm(r);
    uint8_t* data = nullptr;
    uint16_t length = 0;
    const uint8_t status = g_lib.phRpc_H_DutRx(a.handle, &data, &length, ARMBOARD_RX_MAX);
    debugPrint(0, "RPC Read %d -> %d bytes", static_cast<int>(status), static_cast<int>(length));
    if (status != 0 || !data || length == 0) return;
    if (length > ARMBOARD_RX_MAX) {
        debugPrint(DBG_ERROR, "! RPC Read of %d bytes is longer than %d, dropped", static_cast<int>(length),
                   static_cast<int>(ARMBOARD_RX_MAX));
        return;
    }
    std::memcpy(a.rx, data, length);
    chipSignal(r, comeDataReceived, COM_SUCCESS, a.rx, length);
}

void mpArmThreadWorker(TChipTransport* r) {
    if (irqProbe(arm(r)) == 0) receivePacket(r);
    if (r->running) chipTransmitStep(r);
}

// Ends an interrupt wait in progress, so the worker comes round at once; one that has not begun
// yet ends with its sense time-out.
void mpArmTrigger(TChipTransport* r) { g_lib.phRpc_H_CancelIo(arm(r).handle); }

DWORD mpArmReset(TChipTransport*) { return 0; }

constexpr TMiniportOps kArmOps = {&mpArmOpen, &mpArmClose, &mpArmWrite,    nullptr,           nullptr,      nullptr,
                                  &mpArmReset, &chipStartWorkerThread, &mpArmTrigger, &mpArmThreadWorker, &mpArmTrigger};

}  // namespace

DWORD chipInitMiniportArmBoard(TChipTransport*, TMiniportOps* ops) {
    if (!bind()) return COM_ERR_NO_RESOURCES;
    *ops = kArmOps;
    return 0;
}
