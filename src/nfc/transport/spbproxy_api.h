// The calls and registration records between the serial-proxy and SPB miniports and the bus
// proxy's run-time library "libspbProxy.so". One list feeds the binding and the fake library.
#pragma once

#include <cstdint>

extern "C" {
using SpProxyWrite_t = int32_t (*)(void* handle, const uint8_t* data, uint32_t length);   // non-zero: taken
using SpDataProc_t = void (*)(void* record, const uint8_t* data, uint32_t length);
using SpTxDoneProc_t = void (*)(void* record, uint8_t* buffer);
using SpProxyRead_t = int32_t (*)(void* handle, uint8_t* buffer, uint32_t size);          // non-zero: read
using SpLineControl_t = void (*)(void* handle, uint32_t value);                           // the power line
using SpEventProc_t = void (*)(void* record, uint32_t gpioState);                         // an interrupt

// Handed to the proxy by the serial-proxy miniport; the proxy fills the entries.
struct TSpSerialRegistration {
    void* record;
    SpProxyWrite_t write;
    void* reserved[3];
    uintptr_t zero;
    SpDataProc_t dataProc;
    SpTxDoneProc_t txDoneProc;
};

// Handed to the proxy by the SPB miniport; the proxy fills the bus entries.
struct TSpSpbRegistration {
    void* record;
    SpProxyWrite_t write;
    SpProxyRead_t read;
    SpLineControl_t lineControl;
    SpEventProc_t eventProc;
};
}

// X(name, result, parameters)
#define SPBPROXY_LINK_FUNCTIONS(X)                                                          \
    X(nfcLinkL1Consumer, int32_t, (const char* port, void* registration, void** handle))    \
    X(nfcCloseL1, int32_t, (void* handle))

// The proximity bus's own calls: 0 answers success, except spbOpen, which answers non-zero.
#define SPBPROXY_PROXIMITY_FUNCTIONS(X)                                                     \
    X(spbOpen, int32_t, (SpEventProc_t eventProc, void* record))                            \
    X(spbClose, int32_t, (void))                                                            \
    X(spbWrite, int32_t, (const uint8_t* data, uint32_t length))                            \
    X(spbRead, int32_t, (uint8_t* buffer, uint32_t size))                                   \
    X(spbPower, int32_t, (uint32_t on))

#define SPBPROXY_POINTER_TYPE(name, result, parameters) using name##_t = result(*) parameters;
extern "C" {
SPBPROXY_LINK_FUNCTIONS(SPBPROXY_POINTER_TYPE)
SPBPROXY_PROXIMITY_FUNCTIONS(SPBPROXY_POINTER_TYPE)
}
#undef SPBPROXY_POINTER_TYPE

constexpr char SPBPROXY_LIBRARY[] = "libspbProxy.so";
constexpr uint32_t SPBPROXY_DEVICE_REMOVED = 1617;   // the length the proxy reports a removed device with
constexpr uint32_t SPBPROXY_PORT_MAX = 16;
constexpr char SPBPROXY_SPB_PORT[] = "SPB";            // the port the SPB miniport links to
