#include "transport/ncitransport.h"

#include <atomic>
#include <cstring>

#include "transport/ncireceive.h"
#include "transport/transportloader.h"
#include "util/config.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTraceTransfer = 0x40000000u;   // layer-1 bit: every write and received chunk
constexpr size_t kReaderTypeSize = 33;
constexpr DWORD kMaxFrame = 8 + NCI_MAX_PACKET;     // room for a prefix and a suffix

TTransportLink g_link;
TNciReceiveContext g_rx;
// Set by a controller reset: the receive side drops a packet that the reset cut.
std::atomic<bool> g_rxRestart{false};

bool valid(TComHandle handle) { return transportLinkValid(&g_link, handle); }

DWORD invalidHandle(TComHandle handle) {
    debugPrint(DBG_ERROR, "nciTransport: ! Invalid handle %p", handle);
    return COM_ERR_HANDLE;
}

void signalUp(DWORD event, DWORD status, BYTE* buffer, DWORD length) { transportSignalUp(&g_link, event, status, buffer, length); }

void deliverPacket(void*, BYTE* packet, DWORD length) { signalUp(comeDataReceived, COM_SUCCESS, packet, length); }

void received(TTransportLink*, BYTE* bytes, DWORD length) {
    if (g_rxRestart.exchange(false)) nciReceiveRestart(&g_rx);
    nciReceiveBytes(&g_rx, bytes, length);
}

constexpr TTransportAdapter kAdapter = {"nciTransport: ", "", "", kTraceTransfer, 0, &received};

void prepareLink(TComCallBack callBack, void* context) {
    g_link.magic = TRANSPORT_LINK_MAGIC;
    g_link.flags = TRANSPORT_IN_USE;
    g_link.lower = nullptr;
    g_link.upperCallback = callBack;
    g_link.upperContext = context;
    g_link.layer = &g_rx;
    g_link.ops = TTransportOps{};
    g_link.instanceCount = 0;
}

uint16_t readerTypeOf(const char* parameters) {
    char name[kReaderTypeSize] = "";
    cfgGetParam(parameters, "READERTYPE", name, sizeof name);
    return cfgReaderTypeCode(name);
}

// The frame as it goes on the line: prefix, packet, suffix. One write, so that a frame bus
// sees one frame and a failed write never leaves a lone prefix on the line.
DWORD frameOf(const BYTE* packet, DWORD length, BYTE* frame) {
    const TNciFraming& f = g_rx.framing;
    DWORD at = 0;
    if (f.txPrefixLength) std::memcpy(frame, f.txPrefix, f.txPrefixLength);
    at += f.txPrefixLength;
    std::memcpy(frame + at, packet, length);
    at += length;
    if (f.txSuffixLength) std::memcpy(frame + at, f.txSuffix, f.txSuffixLength);
    return at + f.txSuffixLength;
}

} // namespace

DWORD nciTransportOpen(const char* device, const char* parameters, TComCallBack callBack, void* context, TComHandle* handle) {
    debugPrint(0, "nciTransport: comOpen NT enter, <%s> param <%s>", device ? device : "", parameters ? parameters : "");
    if (!handle) return COM_ERR_HANDLE;
    *handle = nullptr;
    if (!transportLayerSettle(&g_link)) {
        debugPrint(DBG_ERROR, "nciTransport: ! nciTransport no free link");
        return COM_ERR_NO_RESOURCES;
    }
    prepareLink(callBack, context);
    nciReceiveInit(&g_rx, readerTypeOf(parameters), &deliverPacket, &g_link);
    g_rxRestart = false;
    DWORD status = COM_PENDING;
    if (transportLayerLoad(&g_link, device, parameters, &nciTransportLowerCallback) == -1) {
        status = COM_ERR_OPEN;
    } else if (!g_link.lower.load()) {
        // Download parameters only choose the lower transport: no open completion would ever come.
        debugPrint(DBG_ERROR, "nciTransport: ! no lower transport opened");
        status = COM_ERR_OPEN;
    }
    if (status == COM_PENDING) *handle = &g_link;
    else g_link.flags = 0;
    debugPrint(0, "nciTransport: comOpen exit status 0x%X, phCom = %p", status, *handle);
    return status;
}

DWORD nciTransportClose(TComHandle handle) {
    debugPrint(0, "nciTransport: comClose enter %p", handle);
    if (!valid(handle)) return invalidHandle(handle);
    g_link.flags |= TRANSPORT_CLOSE_PENDING;
    // Otherwise the lower transport completes the close with event 2.
    const DWORD status = transportLayerClose(&g_link);
    g_link.flags &= ~TRANSPORT_CLOSE_PENDING;
    if (status == COM_SUCCESS) signalUp(comeCloseCompleted, COM_SUCCESS, nullptr, 0);
    debugPrint(0, "nciTransport: comClose exit 0x%X", status);
    return status;
}

DWORD nciTransportWrite(TComHandle handle, BYTE* buffer, DWORD length) {
    TRACE_L1(kTraceTransfer, "nciTransport: write h=%p, %p %d", handle, static_cast<void*>(buffer), static_cast<int>(length));
    if (!valid(handle)) return invalidHandle(handle);
    const TComHandle lower = g_link.lower.load();
    if (!lower) {
        debugPrint(DBG_ERROR, "nciTransport: ! write without lower transport");
        return COM_ERR_STATE;
    }
    if (!buffer || length < NCI_HEADER_SIZE || length > NCI_MAX_PACKET) {
        debugPrint(DBG_ERROR, "nciTransport: ! write length %d not valid", static_cast<int>(length));
        return COM_ERR_TOO_LONG;
    }
    BYTE frame[kMaxFrame];
    return g_link.ops.write(lower, frame, frameOf(buffer, length, frame));
}

DWORD nciTransportSetProperty(TComHandle handle, DWORD property, void* value, DWORD length) {
    if (!valid(handle)) return invalidHandle(handle);
    switch (property) {
    case compResetController: {
        debugPrint(0, "nciTransport: compResetController, hCom=%p", handle);
        const TComHandle lower = g_link.lower.load();
        const DWORD status = lower && g_link.ops.reset ? g_link.ops.reset(lower) : COM_SUCCESS;
        // A lower transport that gave up at the reset has reported the link lost: no completion.
        if (comResetFailed(status)) {
            debugPrint(DBG_ERROR, "nciTransport: ! reset of the lower transport failed 0x%X", status);
            return status;
        }
        g_rxRestart = true;
        signalUp(comeResetCompleted, COM_SUCCESS, nullptr, 0);
        return COM_SUCCESS;
    }
    case compTraceFlags: {
        DWORD word = 0;
        if (!value || length < sizeof word) return COM_ERR_SETTER;
        std::memcpy(&word, value, sizeof word);
        debugSetL1Flags(word);
        return COM_SUCCESS;
    }
    default:
        return COM_ERR_PROPERTY;
    }
}

DWORD nciTransportGetProperty(TComHandle handle, DWORD property, void* value, DWORD* length) {
    if (!valid(handle)) return invalidHandle(handle);
    if (property != compTraceFlags) return COM_ERR_PROPERTY;
    const DWORD word = debugGetL1Flags();
    if (!value || !length || *length < sizeof word) return COM_ERR_SETTER;
    std::memcpy(value, &word, sizeof word);
    *length = sizeof word;
    return COM_SUCCESS;
}

void nciTransportLowerCallback(void* context, DWORD event, DWORD status, BYTE* buffer, DWORD length) {
    if ((event != comeDataReceived && event != comeTransmitCompleted) || debugL1On(kTraceTransfer))
        debugPrint(0, "nciTransport: Transport layer callback, event=%#0x, length %d", event, static_cast<int>(length));
    transportLowerEvent(static_cast<TTransportLink*>(context), kAdapter, event, status, buffer, length);
}
