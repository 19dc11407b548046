// The lower transports below a transport adapter: the serial front end for IOTYPE "SERIAL",
// the chip transport for every other bus. The loader picks one by the configuration, opens it
// with the configured port and closes it again. What both adapters do with the lower
// transport's link lives here once: when the link is in use, how it is closed, and what the
// lower transport's events mean.
#pragma once

#include <atomic>
#include <cstdint>

#include "transport/comlower.h"

using TTransportResetFunc = DWORD (*)(TComHandle handle);

// The operations of a lower transport; the statuses are those of the lower interfaces.
struct TTransportOps {
    TComOpenFunc open;
    TComCloseFunc close;
    TComWriteFunc write;
    TTransportResetFunc reset;
    TComSetPropertyFunc setProperty;
    TComGetPropertyFunc getProperty;
};

constexpr uint32_t TRANSPORT_LINK_MAGIC = 0xDEADBEEFu;

enum : uint32_t {
    TRANSPORT_IN_USE = 0x1,
    TRANSPORT_CLOSE_PENDING = 0x4,
    // Closed by its adapter, but the lower transport could not finish its close yet (a thread
    // of its own was still inside a callback): the link is held until it has.
    TRANSPORT_CLOSE_DEFERRED = 0x8,
};

// A transport adapter's one link to its lower transport.
struct TTransportLink {
    uint32_t magic = 0;
    std::atomic<uint32_t> flags{0};
    std::atomic<TComHandle> lower{nullptr};    // what the lower open handed out; empty once closed
    TComCallBack upperCallback = nullptr;
    void* upperContext = nullptr;
    void* layer = nullptr;                     // the adapter's receive side
    TTransportOps ops{};
    int32_t instanceCount = 0;
};

// Fills the link's operations from IOTYPE; with FWDOWNLOAD in the parameters that is all and
// the answer is 0. Otherwise opens the lower transport on PORT with the callback and the link
// as its context: -1 when that fails, else the open's status.
int32_t transportLayerLoad(TTransportLink* link, const char* device, const char* parameters, TComCallBack callBack);

// The close rule of both adapters. Closes the lower transport and answers 0 once it is closed:
// the link is free again. Otherwise 1: the lower transport reports its close completed (event 2)
// later, and the link stays in use until it has; a lower close that could not finish yet is
// tried again by the next open (transportLayerSettle), which its completion lets through.
DWORD transportLayerClose(TTransportLink* link);
// Before an open: finishes a close the lower transport deferred. True when the link is free.
bool transportLayerSettle(TTransportLink* link);
// A handle of this link that may be used: the link is open and not being closed.
bool transportLinkValid(const TTransportLink* link, TComHandle handle);

void transportSignalUp(TTransportLink* link, DWORD event, DWORD status, BYTE* buffer, DWORD length);

// What tells the two adapters apart in their handling of the lower transport's events.
struct TTransportAdapter {
    const char* tag;           // starts every trace line of the adapter
    const char* gap;           // starts the close and removal lines after the tag
    const char* txKind;        // names the transmission in its completion line
    uint32_t txTraceBits;      // layer-1 bits that let the completion line through; 0: always
    DWORD txErrorStatus;       // of the device error a failed transmission becomes; 0: its own
    void (*received)(TTransportLink* link, BYTE* bytes, DWORD length);
};

// The lower transport's callback, for both adapters.
void transportLowerEvent(TTransportLink* link, const TTransportAdapter& adapter, DWORD event, DWORD status, BYTE* buffer,
                         DWORD length);
