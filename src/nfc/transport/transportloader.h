// The lower transports below a transport adapter: the serial front end for IOTYPE "SERIAL",
// the chip transport for every other bus. The loader picks one by the configuration, opens it
// with the configured port and closes it again.
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
// Closes the lower transport; its handle is forgotten once the close answered 0.
int32_t transportLayerClose(TTransportLink* link);
