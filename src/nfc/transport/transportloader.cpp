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

// Closes the lower transport once more; true once it is gone. Its close completion may have
// cleared the handle already; a close it could not finish leaves the link held for a retry.
bool closeLower(TTransportLink* link) {
    const TComHandle lower = link->lower.load();
    if (!lower || !link->ops.close) {
        link->lower = nullptr;
        return true;
    }
    const DWORD status = link->ops.close(lower);
    if (status == COM_SUCCESS) {
        link->lower = nullptr;
        return true;
    }
    if (status != COM_PENDING) {
        debugPrint(DBG_ERROR, "! transportLayerClose(), lower close not finished 0x%X, the link waits for it", status);
        link->flags |= TRANSPORT_CLOSE_DEFERRED;
    }
    return !link->lower.load();
}

void freeLink(TTransportLink* link) { link->flags &= ~(TRANSPORT_IN_USE | TRANSPORT_CLOSE_DEFERRED); }

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

DWORD transportLayerClose(TTransportLink* link) {
    --link->instanceCount;
    debugPrint(0, "transportLayerClose(), instanceCount=%d", static_cast<int>(link->instanceCount));
    const bool closed = closeLower(link);
    if (closed) freeLink(link);
    debugPrint(0, "transportLayerClose(), exit");
    return closed ? COM_SUCCESS : COM_PENDING;
}

bool transportLayerSettle(TTransportLink* link) {
    const uint32_t flags = link->flags.load();
    if (!(flags & TRANSPORT_IN_USE)) return true;
    if (!(flags & TRANSPORT_CLOSE_DEFERRED)) return false;
    debugPrint(0, "transportLayerSettle(), finishing the close of lower %p", link->lower.load());
    if (!closeLower(link)) return false;
    freeLink(link);
    return true;
}

bool transportLinkValid(const TTransportLink* link, TComHandle handle) {
    const uint32_t flags = link->flags.load();
    return handle == link && link->magic == TRANSPORT_LINK_MAGIC && (flags & TRANSPORT_IN_USE) &&
           !(flags & TRANSPORT_CLOSE_DEFERRED);
}

void transportSignalUp(TTransportLink* link, DWORD event, DWORD status, BYTE* buffer, DWORD length) {
    if (link->upperCallback) link->upperCallback(link->upperContext, event, status, buffer, length);
}

void transportLowerEvent(TTransportLink* link, const TTransportAdapter& a, DWORD event, DWORD status, BYTE* buffer,
                         DWORD length) {
    switch (event) {
    case comeOpenCompleted:
        debugPrint(0, "%s%p Transport open completed, status %d", a.tag, static_cast<void*>(link), static_cast<int>(status));
        transportSignalUp(link, comeOpenCompleted, status, nullptr, 0);
        break;
    case comeCloseCompleted: {
        // The close of the adapter reports it itself; any other (a deferred one finishing, or the
        // lower transport's own) is passed up.
        const bool closing = link->flags.load() & TRANSPORT_CLOSE_PENDING;
        debugPrint(0, "%s%shCom %p, Transport close completed (close pending %d)", a.tag, a.gap, static_cast<void*>(link),
                   closing ? 1 : 0);
        link->lower = nullptr;
        freeLink(link);
        if (!closing) transportSignalUp(link, comeCloseCompleted, status, nullptr, 0);
        break;
    }
    case comeDataReceived:
        if (buffer && length) a.received(link, buffer, length);
        break;
    case comeTransmitCompleted:
        if (!a.txTraceBits || debugL1On(a.txTraceBits))
            debugPrint(0, "%s%p %sTransfer TX completed %p - %d", a.tag, static_cast<void*>(link), a.txKind,
                       static_cast<void*>(buffer), static_cast<int>(length));
        // A write that a reset, close or removal dropped is no device error.
        if (status == COM_ERR_STATE) debugPrint(0, "%swrite dropped by the lower transport", a.tag);
        else if (status != COM_SUCCESS)
            transportSignalUp(link, comeDeviceError, a.txErrorStatus ? a.txErrorStatus : status, nullptr, 0);
        break;
    case comeDeviceError:
    case comeBreak:
    case comeDsr:
    case comeCts:
    case comeDcd:
    case comeRing:
        break;
    case comeAdapterPlugout:
        debugPrint(0, "%s%s%p Transport device removed", a.tag, a.gap, static_cast<void*>(link));
        transportSignalUp(link, comeAdapterPlugout, status, nullptr, 0);
        break;
    default:
        debugPrint(DBG_ERROR, "%s! Unknown transport event 0x%X", a.tag, event);
        break;
    }
}
