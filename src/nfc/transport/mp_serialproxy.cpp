// The miniport over the bus proxy's serial link: the proxy moves whole packets on threads of
// its own and calls back with what arrives; the worker only sends.
#include <cstring>
#include <string>

#include "platform.h"
#include "transport/miniports.h"
#include "transport/spbproxy.h"
#include "transport/spbproxy_api.h"
#include "util/config.h"
#include "util/trace.h"

namespace {

struct TSerialProxy {
    nfcLinkL1Consumer_t link = nullptr;
    nfcCloseL1_t close = nullptr;
    TSpSerialRegistration registration{};
    void* handle = nullptr;
    uint32_t writes = 0;
    uint32_t lastTick = 0;
};

TSerialProxy g_serial;

TSerialProxy& serial(TChipTransport* r) { return *static_cast<TSerialProxy*>(r->miniport); }

// The proxy owns the bytes only for the call; the layer above copies them before it returns.
void mpSerialDataProc(void* record, const uint8_t* data, uint32_t length) {
    auto* r = static_cast<TChipTransport*>(record);
    if (data && length) {
        chipSignal(r, comeDataReceived, COM_SUCCESS, const_cast<BYTE*>(data), length);
    } else if (length == SPBPROXY_DEVICE_REMOVED) {
        debugPrint(DBG_ERROR, "! serial proxy: device removed");
        chipSignal(r, comeAdapterPlugout, CHIP_STATUS_REMOVED, nullptr, 0);
    }
}

// The chip transport completes a frame once the proxy has taken it: a second completion here
// would hand the layer above a buffer it never wrote.
void mpSerialTxDoneProc(void*, uint8_t* buffer) {
    TRACE_L1(0x40000000u, "serial proxy: transmission of %p done", static_cast<void*>(buffer));
}

// A port name the proxy cannot hold is refused whole: a cut name could open another device.
bool proxyPort(const char* parameters, char (&port)[SPBPROXY_PORT_MAX + 1]) {
    std::string value(parameters ? std::strlen(parameters) + 1 : 1, '\0');   // no value is longer
    port[0] = '\0';
    if (!cfgGetParam(parameters, "PORT", value.data(), value.size())) return true;
    const size_t length = std::strlen(value.c_str());
    if (length > SPBPROXY_PORT_MAX) {
        debugPrint(DBG_ERROR, "! mpSerialOpen(), PORT '%s' is longer than %u characters", value.c_str(), SPBPROXY_PORT_MAX);
        return false;
    }
    std::memcpy(port, value.c_str(), length + 1);
    return true;
}

DWORD mpSerialOpen(TChipTransport* r, const char*, const char* parameters) {
    TSerialProxy& s = g_serial;
    r->miniport = &s;
    s.handle = nullptr;
    s.writes = 0;
    s.registration = TSpSerialRegistration{};
    s.registration.record = r;
    s.registration.dataProc = &mpSerialDataProc;
    s.registration.txDoneProc = &mpSerialTxDoneProc;
    debugPrint(0, "chip: mpSerialOpen(), for %p and signal data proc %p", static_cast<void*>(r),
               reinterpret_cast<void*>(&mpSerialDataProc));
    char port[SPBPROXY_PORT_MAX + 1];
    if (!proxyPort(parameters, port)) return static_cast<DWORD>(-1);
    if (s.link(port, &s.registration, &s.handle) == 0 || !s.registration.write) {
        debugPrint(DBG_ERROR, "mpSerialOpen(),! cannot register proxy entry points");
        s.handle = nullptr;
        return static_cast<DWORD>(-1);
    }
    debugPrint(0, "new serial proxy access handle %p", s.handle);
    return 0;
}

void mpSerialClose(TChipTransport* r) {
    TSerialProxy& s = serial(r);
    if (s.handle) s.close(s.handle);
    s.handle = nullptr;
}

int32_t mpSerialWrite(TChipTransport* r, const BYTE* buffer, DWORD length) {
    TSerialProxy& s = serial(r);
    debugPrint(0, "## mpSerialWrite no. %d, len %d", static_cast<int>(++s.writes), static_cast<int>(length));
    s.lastTick = platTickMs();
    return s.registration.write(s.handle, buffer, length) ? static_cast<int32_t>(length) : -1;
}

// Two frames within one tick would reach the proxy back to back: the second waits a tick.
void mpSerialThreadWorker(TChipTransport* r) {
    if (r->workerSemaphore.wait(PLAT_INFINITE) == PlatWait::Failed || !r->running) {
        debugPrint(0, "## serial proxy thread exit worker signaled");
        return;
    }
    if (platTickMs() == serial(r).lastTick && dlQueueCount(&r->tx.pending) != 0) platSleepMs(1);
    chipTransmitStep(r);
}

constexpr TMiniportOps kSerialOps = {&mpSerialOpen, &mpSerialClose, &mpSerialWrite,        nullptr,
                                     nullptr,       nullptr,        nullptr,               &chipStartWorkerThread,
                                     nullptr,       &mpSerialThreadWorker, nullptr};

}  // namespace

DWORD chipInitMiniportSerialProxy(TChipTransport*, TMiniportOps* ops) {
    auto link = reinterpret_cast<nfcLinkL1Consumer_t>(spbProxySymbol("nfcLinkL1Consumer"));
    auto close = reinterpret_cast<nfcCloseL1_t>(spbProxySymbol("nfcCloseL1"));
    if (!link || !close) return COM_ERR_NO_RESOURCES;
    g_serial.link = link;
    g_serial.close = close;
    *ops = kSerialOps;
    return 0;
}
