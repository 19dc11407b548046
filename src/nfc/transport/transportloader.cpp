#include "transport/transportloader.h"

#include <cstring>

#include "transport/chiptransport.h"
#include "transport/serialfrontend.h"
#include "util/config.h"
#include "util/trace.h"

namespace {

constexpr size_t kIoTypeSize = 33;    // IOTYPE: at most 32 characters

constexpr TTransportOps kSerialOps = {&comOpen, &comClose, &comWrite, &comReset, &comSetProperty, &comGetProperty};
constexpr TTransportOps kChipOps = {&chipTransportOpen,  &chipTransportClose,       &chipTransportWrite,
                                    &chipTransportReset, &chipTransportSetProperty, &chipTransportGetProperty};

} // namespace

int32_t transportLayerLoad(TTransportLink* link, const char* device, const char* parameters, TComCallBack callBack) {
    const char* text = parameters ? parameters : "";
    debugPrint(0, "Load ehci/nci transport layer device <%s> param <%s>", device ? device : "", text);
    if (!link->ops.open) {
        char ioType[kIoTypeSize] = "";
        cfgGetParam(text, "IOTYPE", ioType, sizeof ioType);
        link->ops = std::strcmp(ioType, "SERIAL") == 0 ? kSerialOps : kChipOps;
    }
    if (std::strstr(text, "FWDOWNLOAD")) return 0;
    // Any value of the normalised string fits: a port name is never cut.
    char port[CFG_NORMALISED_SIZE] = "";
    cfgGetParam(text, "PORT", port, sizeof port);
    TComHandle lower = nullptr;
    const DWORD status = link->ops.open(port, text, callBack, link, &lower);
    if (status >= COM_ERR_CONTROL_BLOCK) {
        debugPrint(DBG_ERROR, "! ehci/nci transport layer open failed 0x%X", status);
        return -1;
    }
    link->lower = lower;
    ++link->instanceCount;
    return static_cast<int32_t>(status);
}

int32_t transportLayerClose(TTransportLink* link) {
    --link->instanceCount;
    debugPrint(0, "transportLayerClose(), instanceCount=%d", static_cast<int>(link->instanceCount));
    const TComHandle lower = link->lower.load();
    // Otherwise the close completion (event 2) clears the handle later.
    if (link->ops.close && lower && link->ops.close(lower) == COM_SUCCESS) link->lower = nullptr;
    debugPrint(0, "transportLayerClose(), exit");
    return 0;
}
