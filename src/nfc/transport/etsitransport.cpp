#include "transport/etsitransport.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/serialchannel.h"
#include "transport/shdlc.h"
#include "transport/transportbuffer.h"
#include "transport/transportloader.h"
#include "util/config.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTraceShdlcDump = 0x400000u;   // layer-1 bit: hex dumps of SHDLC frames
constexpr uint32_t kBufferCount = 21;
constexpr uint32_t kActionMaximum = 32;
constexpr uint32_t kDefaultWindow = 2;
constexpr DWORD kErrTx = 0x34;          // no room for the frame, or the link gave it up
constexpr DWORD kErrLinkLost = 0x35;
constexpr size_t kDecimalSize = 12;

enum TActionType : uint32_t { actSend = 1, actReceived = 2, actTimer = 4, actStop = 8, actFrameBuffer = 16 };

struct TBaudPair {
    const char* text;
    uint32_t flags;
};
constexpr TBaudPair kBaudPairs[] = {
    {"BAUDRATE=115200,230400", 0x10060000}, {"BAUDRATE=115200,460800", 0x10070000},
    {"BAUDRATE=230400,115200", 0x10050000}, {"BAUDRATE=230400,460800", 0x10070000},
    {"BAUDRATE=460800,115200", 0x10050000}, {"BAUDRATE=115200,9600", 0x10000000},
    {"BAUDRATE=9600,115200", 0x10050000},
};

// The rate a baud-rate change asks for, by the code the reset carries (link flag bits 16 to 19).
struct TRateCode {
    uint32_t code;
    DWORD baud;
};
constexpr TRateCode kRateCodes[] = {{0, 9600}, {5, 115200}, {6, 230400}, {7, 460800}};
constexpr uint32_t kRateCodeShift = 16;
constexpr uint32_t kRateCodeMask = 0xF;

struct TEtsiLink {
    TTransportLink link;
    uint32_t linkFlags = 0;
    uint32_t window = kDefaultWindow;
    std::atomic<TShdlc*> shdlc{nullptr};
    // Set from the first reset to the close: received bytes go to the worker, which takes them
    // under the link lock, so an answer that comes while the reset is still setting the link up
    // (the controller's UA) finds it set up.
    std::atomic<bool> linkReset{false};
    dlQueue actions;
    TTransportBufferPool pool;
    TTransportBuffer nodes[kBufferCount];
    PlatThread* worker = nullptr;
    PlatSemaphore actionReady;
    PlatSemaphore started;
    PlatLock linkLock;
    // Sends the link had no transmit element for yet, oldest first: they wait, never lost.
    TTransportBuffer* deferred[kBufferCount] = {};
    uint32_t deferredCount = 0;
    char parameters[CFG_NORMALISED_SIZE] = "";   // the configuration as the lower transport sees it
};

TEtsiLink g_etsi;

bool valid(TComHandle handle) { return transportLinkValid(&g_etsi.link, handle); }

DWORD invalidHandle(TComHandle handle) {
    debugPrint(DBG_ERROR, "etsiTransport: ! Invalid handle %p", handle);
    return COM_ERR_HANDLE;
}

void signalUp(DWORD event, DWORD status, BYTE* buffer, DWORD length) {
    transportSignalUp(&g_etsi.link, event, status, buffer, length);
}

uint32_t decimalOf(const char* parameters, const char* key, uint32_t fallback) {
    char value[kDecimalSize] = "";
    if (!cfgGetParam(parameters, key, value, sizeof value)) return fallback;
    return static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
}

// The link flags of the configuration. A baud-rate change leaves only the first rate in the
// adapter's copy, blanking the separator and the second rate in place, so the lower transport
// opens the port at that first rate and every word after it still reads as it stands.
void readOptions(char* parameters) {
    g_etsi.window = decimalOf(parameters, "WINDOWSIZE", kDefaultWindow);
    if (decimalOf(parameters, "LENGTHMODE", 0)) g_etsi.linkFlags |= SHDLC_LENGTH_MODE;
    if (decimalOf(parameters, "ST21REBOOT", 0)) g_etsi.linkFlags |= SHDLC_CHIP_REBOOT;
    for (const TBaudPair& pair : kBaudPairs)
        if (std::strstr(parameters, pair.text)) g_etsi.linkFlags |= pair.flags;
    if (!(g_etsi.linkFlags & SHDLC_BAUD_CHANGE)) return;
    char* p = std::strstr(parameters, "BAUDRATE=");
    if (!p) return;
    p += std::strlen("BAUDRATE=");
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    if (*p != ',') return;
    do *p++ = ' ';
    while (std::isdigit(static_cast<unsigned char>(*p)));
}

bool queueAction(uint32_t type, const BYTE* bytes, BYTE* data, uint32_t length) {
    TTransportBuffer* action = comAllocBuffer(&g_etsi.pool, dlQueueCount(&g_etsi.actions));
    if (!action) {
        debugPrint(DBG_ERROR, "! cannot alloc buffer for comQueueAction");
        return false;
    }
    action->type = type;
    action->length = length;
    if (bytes) std::memcpy(action->area, bytes, length);
    else action->data = data;
    dlQueueAddTail(&g_etsi.actions, &action->node);
    g_etsi.actionReady.release();
    return true;
}

void completeFailed(TTransportBuffer* action) {
    signalUp(comeTransmitCompleted, kErrTx, action->data, action->length);
    transportBufferRelease(&g_etsi.pool, action);
}

// Hands the waiting sends to the link while it has room for them.
void sendDeferred(TShdlc* shdlc) {
    uint32_t done = 0;
    while (done < g_etsi.deferredCount && shdlc && shdlcCanQueue(shdlc)) {
        TTransportBuffer* action = g_etsi.deferred[done++];
        if (shdlcSend(shdlc, action->length, action->data) != 0) completeFailed(action);
        else transportBufferRelease(&g_etsi.pool, action);
    }
    std::memmove(g_etsi.deferred, g_etsi.deferred + done, (g_etsi.deferredCount - done) * sizeof g_etsi.deferred[0]);
    g_etsi.deferredCount -= done;
}

void dropDeferred() {
    for (uint32_t i = 0; i < g_etsi.deferredCount; ++i) completeFailed(g_etsi.deferred[i]);
    g_etsi.deferredCount = 0;
}

// Runs one action on the worker; false for the stop action. A send the link has no room for
// keeps its node until it is handed over.
bool runAction(TTransportBuffer* action) {
    PlatLockGuard guard(g_etsi.linkLock);
    TShdlc* shdlc = g_etsi.shdlc.load();
    switch (action->type) {
    case actSend:
        if (!shdlc) {
            completeFailed(action);
            return true;
        }
        g_etsi.deferred[g_etsi.deferredCount++] = action;
        break;
    case actReceived:
        if (shdlc) shdlcDecode(action->area, shdlc, action->length);
        transportBufferRelease(&g_etsi.pool, action);
        break;
    case actTimer:
        if (shdlc) shdlcTimerExpired(shdlc, action->length);
        transportBufferRelease(&g_etsi.pool, action);
        break;
    case actStop:
        debugPrint(0, "stop thread signaled, leave worker thread");
        return false;
    default: transportBufferRelease(&g_etsi.pool, action); break;
    }
    sendDeferred(shdlc);
    return true;
}

void workerThread(void*) {
    debugPrint(0, "SHDLC worker thread started");
    debugPrint(0, "SHDLC worker thread is ready to be used..");
    g_etsi.started.release();
    for (;;) {
        if (g_etsi.actionReady.wait(PLAT_INFINITE) == PlatWait::Failed) return;
        auto* action = reinterpret_cast<TTransportBuffer*>(dlQueueRemoveHead(&g_etsi.actions));
        if (!action) continue;
        if (!runAction(action)) return;
    }
}

int32_t comStartWorkerThread() {
    dlQueueInitLockless(&g_etsi.actions);
    g_etsi.actionReady.create(0, kActionMaximum);
    g_etsi.started.create(0, 1);
    g_etsi.linkLock.create();
    g_etsi.worker = platThreadStart("ehci Transport worker", &workerThread, nullptr);
    if (!g_etsi.worker) {
        debugPrint(DBG_ERROR, "%s: failed to start server thread!", "comStartWorkerThread");
        g_etsi.actionReady.destroy();
        g_etsi.started.destroy();
        return -1;
    }
    g_etsi.started.wait(PLAT_INFINITE);
    g_etsi.started.destroy();
    debugPrint(0, "%s: worker thread 0x%X started", "comStartWorkerThread", platThreadId(g_etsi.worker));
    return 0;
}

void comStopWorkerThread() {
    debugPrint(0, " close worker thread");
    if (!g_etsi.worker) return;
    TTransportBuffer stop{};
    stop.type = actStop;
    dlQueueAddTail(&g_etsi.actions, &stop.node);
    g_etsi.actionReady.release();
    platThreadJoin(g_etsi.worker, PLAT_INFINITE);
    g_etsi.worker = nullptr;
    g_etsi.actionReady.destroy();
    debugPrint(0, "%s: exit", "comStopWorkerThread");
}

// Leaves what a stopped worker never took back in the free queue.
void drainActions() {
    while (auto* action = reinterpret_cast<TTransportBuffer*>(dlQueueRemoveHead(&g_etsi.actions))) {
        if (action->type == actSend) signalUp(comeTransmitCompleted, kErrTx, action->data, action->length);
        if (action->type != actStop) transportBufferRelease(&g_etsi.pool, action);
    }
}

const char* frameKind(uint8_t control, char* text, size_t size) {
    if ((control & 0xC0) == 0x80) std::snprintf(text, size, "IFrame R(%d) S(%d)", control & 7, (control >> 3) & 7);
    else if ((control & 0xF8) == 0xC0) std::snprintf(text, size, "RR(%d)", control & 7);
    else if ((control & 0xF8) == 0xC8) std::snprintf(text, size, "REJ R(%d)", control & 7);
    else if ((control & 0xF8) == 0xD0) std::snprintf(text, size, "RNR(%d)", control & 7);
    else if (control == 0xE6) std::snprintf(text, size, "UA");
    else if (control == 0xF9) std::snprintf(text, size, "RSET");
    else std::snprintf(text, size, "???");
    return text;
}

void dumpReceived(const BYTE* bytes, DWORD length) {
    if (length < 4 || !debugL1On(kTraceShdlcDump)) return;
    DWORD at = 0;
    const bool lengthMode = g_etsi.linkFlags & SHDLC_LENGTH_MODE;
    if (!lengthMode)
        while (at + 1 < length && bytes[at] == 0x7E && bytes[at + 1] == 0x7E) ++at;
    DWORD end = length;
    if (!lengthMode)
        while (end > at + 1 && bytes[end - 1] == 0x7E && bytes[end - 2] == 0x7E) --end;
    const DWORD controlAt = at + (lengthMode ? 1 : 2);
    if (controlAt >= end) return;
    char kind[32];
    char title[64];
    std::snprintf(title, sizeof title, "%s [%s]", "RX SHDLC", frameKind(bytes[controlAt], kind, sizeof kind));
    debugDump(bytes + at, title, end - at);
}

void writeFrame(BYTE* buffer, uint32_t length, uint32_t flags) {
    debugPrint(0, " shdlc tx %p %d, flags 0x%X", static_cast<void*>(buffer), static_cast<int>(length), flags);
    if (debugL1On(kTraceShdlcDump)) debugDump(buffer, "TX SHDLC", length);
    const TComHandle lower = g_etsi.link.lower.load();
    // The lower transport copies the frame as it takes it, so the frame buffer goes back at once.
    if (lower) g_etsi.link.ops.write(lower, buffer, length);
    if (flags & SHDLC_FRAME_BUFFER) {
        if (TTransportBuffer* node = transportBufferOf(&g_etsi.pool, buffer)) transportBufferRelease(&g_etsi.pool, node);
    }
}

// The controller answered a reset that asked for another rate: it talks at that rate from now
// on, so the port follows before the next frame.
void followRateChange() {
    if (!(g_etsi.linkFlags & SHDLC_BAUD_CHANGE)) return;
    const uint32_t code = (g_etsi.linkFlags >> kRateCodeShift) & kRateCodeMask;
    for (const TRateCode& rate : kRateCodes) {
        if (rate.code != code) continue;
        const TComHandle lower = g_etsi.link.lower.load();
        DWORD baud = rate.baud;
        const DWORD status = lower && g_etsi.link.ops.setProperty
                                 ? g_etsi.link.ops.setProperty(lower, compBaudRate, &baud, sizeof baud)
                                 : COM_ERR_PROPERTY;
        if (status == COM_SUCCESS || status == COM_ERR_PROPERTY)
            debugPrint(0, "etsiTransport: the controller takes %u baud now, the port 0x%X", static_cast<unsigned>(baud), status);
        else
            debugPrint(DBG_ERROR, "etsiTransport: ! the port cannot take %u baud, 0x%X", static_cast<unsigned>(baud), status);
        return;
    }
    debugPrint(DBG_ERROR, "etsiTransport: ! rate code %u unknown", static_cast<unsigned>(code));
}

void releaseBuffer(void* buffer) {
    if (TTransportBuffer* node = transportBufferOf(&g_etsi.pool, static_cast<BYTE*>(buffer)))
        transportBufferRelease(&g_etsi.pool, node);
}

void shdlcEvent(void*, uint32_t event, void* buffer, uint32_t length, uint32_t value) {
    auto* bytes = static_cast<BYTE*>(buffer);
    switch (event) {
    case shdlceGetBuffer: {
        TTransportBuffer* node = comAllocBuffer(&g_etsi.pool, dlQueueCount(&g_etsi.actions));
        if (node) node->type = actFrameBuffer;
        *static_cast<BYTE**>(buffer) = node ? node->data : nullptr;
        break;
    }
    case shdlceReleaseBuffer: releaseBuffer(buffer); break;
    case shdlceTxCompleted:
        debugPrint(0, " shdlc tx completed %p, length %d", buffer, static_cast<int>(length));
        signalUp(comeTransmitCompleted, value ? kErrTx : COM_SUCCESS, bytes, length);
        break;
    case shdlceWrite: writeFrame(bytes, length, value); break;
    case shdlceDataReceived:
        signalUp(comeDataReceived, COM_SUCCESS, bytes, length);
        releaseBuffer(buffer);
        break;
    case shdlceLinkEstablished:
        debugPrint(0, "SHDLC link established, reset completed");
        followRateChange();
        signalUp(comeResetCompleted, COM_SUCCESS, nullptr, 0);
        break;
    case shdlceLinkLost: signalUp(comeDeviceError, kErrLinkLost, nullptr, 0); break;
    case shdlceFlushLower: {
        debugPrint(0, "SHDLC requested flush of lower layer");
        const TComHandle lower = g_etsi.link.lower.load();
        if (lower && g_etsi.link.ops.setProperty) g_etsi.link.ops.setProperty(lower, compFlushTx, nullptr, 0);
        break;
    }
    case shdlceLock: g_etsi.linkLock.lock(); break;
    case shdlceUnlock: g_etsi.linkLock.unlock(); break;
    case shdlceTimerStart: signalUp(comeTimerStart, length, nullptr, value); break;
    case shdlceTimerStop: signalUp(comeTimerStop, length, nullptr, 0); break;
    default: break;
    }
}

void closeShdlc() {
    PlatLockGuard guard(g_etsi.linkLock);
    dropDeferred();
    if (TShdlc* shdlc = g_etsi.shdlc.exchange(nullptr)) shdlcClose(shdlc);
}

DWORD resetController() {
    debugPrint(0, "compResetController, hCom=%p", static_cast<void*>(&g_etsi.link));
    g_etsi.linkReset = true;
    const TComHandle lower = g_etsi.link.lower.load();
    const DWORD status = lower && g_etsi.link.ops.setProperty
                             ? g_etsi.link.ops.setProperty(lower, compResetController, nullptr, 0)
                             : COM_ERR_PROPERTY;
    PlatLockGuard guard(g_etsi.linkLock);
    closeShdlc();
    // A lower transport that gave up at the reset has reported the link lost: no link to set up.
    if (comResetFailed(status)) {
        debugPrint(DBG_ERROR, "! compResetController, reset of the lower transport failed 0x%X", status);
        return status;
    }
    TShdlc* shdlc = nullptr;
    if (shdlcOpen(g_etsi.window, &shdlcEvent, &g_etsi, g_etsi.linkFlags, &shdlc) != 0) {
        transportLayerClose(&g_etsi.link);
        return COM_ERR_OPEN;
    }
    g_etsi.shdlc = shdlc;
    return COM_SUCCESS;
}

void freeLink() {
    transportBufferPoolDestroy(&g_etsi.pool);
    g_etsi.link.flags = 0;
}

// Received bytes go to the worker; a long chunk as several actions, so no byte is lost.
void received(TTransportLink*, BYTE* bytes, DWORD length) {
    if (!g_etsi.linkReset.load()) return;
    dumpReceived(bytes, length);
    for (DWORD at = 0; at < length; at += TRANSPORT_BUFFER_SIZE) {
        const DWORD part = length - at < TRANSPORT_BUFFER_SIZE ? length - at : TRANSPORT_BUFFER_SIZE;
        if (!queueAction(actReceived, bytes + at, nullptr, part)) break;
    }
}

// A failed transmission is a device error of its own status.
constexpr TTransportAdapter kAdapter = {"", " ", "shldc ", 0, COM_ERR_NO_RESOURCES, &received};

} // namespace

DWORD etsiTransportOpen(const char* device, const char* parameters, TComCallBack callBack, void* context, TComHandle* handle) {
    debugPrint(0, "comOpen ET enter, <%s> param <%s>", device ? device : "", parameters ? parameters : "");
    if (!handle) return COM_ERR_HANDLE;
    *handle = nullptr;
    if (!transportLayerSettle(&g_etsi.link)) {
        debugPrint(DBG_ERROR, "! etsiTransport no free link");
        return COM_ERR_NO_RESOURCES;
    }
    TTransportLink& link = g_etsi.link;
    link.magic = TRANSPORT_LINK_MAGIC;
    link.flags = TRANSPORT_IN_USE;
    link.lower = nullptr;
    link.upperCallback = callBack;
    link.upperContext = context;
    link.layer = &g_etsi;
    link.ops = TTransportOps{};
    link.instanceCount = 0;
    g_etsi.linkFlags = 0;
    g_etsi.shdlc = nullptr;
    g_etsi.linkReset = false;
    transportBufferPoolInit(&g_etsi.pool, g_etsi.nodes, kBufferCount);
    std::snprintf(g_etsi.parameters, sizeof g_etsi.parameters, "%s", parameters ? parameters : "");
    readOptions(g_etsi.parameters);
    DWORD status = COM_PENDING;
    if (transportLayerLoad(&link, device, g_etsi.parameters, &etsiTransportLowerCallback) == -1) {
        status = COM_ERR_OPEN;
    } else if (comStartWorkerThread() != 0) {
        transportLayerClose(&link);
        status = COM_ERR_OPEN;
    }
    if (status == COM_PENDING) *handle = &link;
    else freeLink();
    debugPrint(0, "comOpen ET exit status 0x%X, phCom = %p", status, *handle);
    return status;
}

DWORD etsiTransportClose(TComHandle handle) {
    debugPrint(0, "comClose ET enter %p", handle);
    if (!valid(handle)) return invalidHandle(handle);
    TTransportLink& link = g_etsi.link;
    link.flags |= TRANSPORT_CLOSE_PENDING;
    g_etsi.linkReset = false;
    comStopWorkerThread();
    closeShdlc();
    drainActions();
    transportBufferPoolDestroy(&g_etsi.pool);
    g_etsi.linkLock.destroy();
    // Otherwise the lower transport completes the close with event 2.
    const DWORD status = transportLayerClose(&link);
    link.flags &= ~TRANSPORT_CLOSE_PENDING;
    if (status == COM_SUCCESS) signalUp(comeCloseCompleted, COM_SUCCESS, nullptr, 0);
    debugPrint(0, "comClose ET exit 0x%X", status);
    return status;
}

DWORD etsiTransportWrite(TComHandle handle, BYTE* buffer, DWORD length) {
    if (!valid(handle)) return invalidHandle(handle);
    debugPrint(0, "comWrite ET, h=%p, %p %d (qSize=%d)", handle, static_cast<void*>(buffer), static_cast<int>(length),
               static_cast<int>(dlQueueCount(&g_etsi.actions)));
    // The com layer releases the buffer itself when the write is refused.
    return queueAction(actSend, nullptr, buffer, length) ? COM_SUCCESS : kErrTx;
}

DWORD etsiTransportResponse(TComHandle handle, BYTE* buffer) {
    debugPrint(0, "comResponse, h=%p, %p", handle, static_cast<void*>(buffer));
    if (!valid(handle)) return invalidHandle(handle);
    PlatLockGuard guard(g_etsi.linkLock);
    TShdlc* shdlc = g_etsi.shdlc.load();
    if (!shdlc) return COM_ERR_HANDLE;
    shdlcResponse(shdlc);
    if (buffer) releaseBuffer(buffer);
    return COM_SUCCESS;
}

DWORD ehciLayerSetProperty(TComHandle handle, DWORD property, void* value, DWORD length) {
    if (property != compTimerExpired)
        debugPrint(0, "ehciLayerSetProperty() hCOM %p, property 0x%X", handle, static_cast<unsigned>(property));
    if (!valid(handle)) return invalidHandle(handle);
    switch (property) {
    case compResetController: return resetController();
    case compTraceFlags: {
        DWORD word = 0;
        if (!value || length < sizeof word) return COM_ERR_SETTER;
        std::memcpy(&word, value, sizeof word);
        debugSetFlags(word);
        return COM_SUCCESS;
    }
    case compTimerExpired:
        if (value && length >= 1) queueAction(actTimer, nullptr, nullptr, *static_cast<const BYTE*>(value));
        return COM_ERR_PROPERTY;
    default: return COM_ERR_PROPERTY;
    }
}

DWORD etsiTransportGetProperty(TComHandle handle, DWORD property, void* value, DWORD* length) {
    if (!valid(handle)) return invalidHandle(handle);
    if (property != compTraceFlags) return COM_ERR_PROPERTY;
    const DWORD word = debugGetFlags();
    if (!value || !length || *length < sizeof word) return COM_ERR_SETTER;
    std::memcpy(value, &word, sizeof word);
    *length = sizeof word;
    return COM_SUCCESS;
}

void etsiTransportLowerCallback(void* context, DWORD event, DWORD status, BYTE* buffer, DWORD length) {
    transportLowerEvent(static_cast<TTransportLink*>(context), kAdapter, event, status, buffer, length);
}

uint32_t etsiTransportLinkFlags() { return g_etsi.linkFlags; }
uint32_t etsiTransportWindow() { return g_etsi.window; }
