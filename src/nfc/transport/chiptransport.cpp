#include "transport/chiptransport.h"

#include <cstring>
#include <iterator>

#include "transport/miniports.h"
#include "util/config.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kMagic = 0x683A5620u;
constexpr size_t kNameSize = 33;                 // READERTYPE and IOTYPE: at most 32 characters
constexpr uint32_t kTraceData = 0x80000000u;     // layer-1 bits
constexpr uint32_t kTraceWrite = 0x10000000u;

constexpr const char* kMiniportNames[chipMpCount] = {"SPB", "serial proxy", "Aardvark NDLC", "ARM board", "Aardvark HCI"};

constexpr TChipMiniportSetups kLibrarySetups = {{&chipInitMiniportSpb, &chipInitMiniportSerialProxy, &chipInitMiniportAardvarkNdlc, &chipInitMiniportArmBoard, &chipInitMiniportAardvark}};

TChipTransport g_chip;
std::atomic<const TChipMiniportSetups*> g_setups{&kLibrarySetups};

TChipTxNode* nodeOf(dlQueueNode* node) { return reinterpret_cast<TChipTxNode*>(node); }
static_assert(offsetof(TChipTxNode, link) == 0);

TChipTransport* validRecord(TComHandle handle) {
    if (handle != &g_chip) {
        debugPrint(DBG_ERROR, "! chipTransportValidateInstance: handle %p unknown", handle);
        return nullptr;
    }
    if (g_chip.magic != kMagic || !g_chip.inUse) {
        debugPrint(DBG_ERROR, "! chipTransportValidateInstance: tag invalid 0x%08X instead of 0x%08X", g_chip.magic, kMagic);
        return nullptr;
    }
    return &g_chip;
}

int32_t writeFrame(TChipTransport* r, const BYTE* buffer, DWORD length) {
    return r->ops.write ? r->ops.write(r, buffer, length) : -1;
}

void frameDone(TChipTransport* r, BYTE* caller, DWORD length, DWORD status) {
    chipSignal(r, comeTransmitCompleted, status, caller, length);
}

void prepareRecord(TChipTransport* r, TComCallBack callBack, void* context) {
    r->magic = kMagic;
    r->inUse = true;
    r->callback = callBack;
    r->context = context;
    r->miniport = nullptr;
    r->flags = 0;
    r->ops = TMiniportOps{};
    r->running = false;
    r->worker = nullptr;
    r->gpioState = 0;
    chipTxQueueInit(&r->tx, r->nodes, CHIP_TX_NODES);
    r->tx.write = &writeFrame;
    r->tx.done = &frameDone;
}

void releaseRecord(TChipTransport* r) {
    r->inUse = false;
    r->magic = 0;
    r->miniport = nullptr;
}

void closeMiniport(TChipTransport* r) {
    if (r->miniport && r->ops.close) r->ops.close(r);
    r->miniport = nullptr;
}

bool contains(const char* text, const char* word) { return text && std::strstr(text, word) != nullptr; }

bool trySetup(TChipTransport* r, TChipMiniport which) {
    TMiniportSetup setup = g_setups.load()->setup[which];
    if (!setup) {
        debugPrint(DBG_ERROR, "! chip: %s miniport is not part of this build", kMiniportNames[which]);
        return false;
    }
    TMiniportOps ops{};
    if (setup(r, &ops) != 0) return false;   // a failed set-up leaves the table for the next candidate
    r->ops = ops;
    return true;
}

void retrigger(void* record) {
    debugPrint(0, "chip: retrigger transmit");
    chipTriggerWorker(static_cast<TChipTransport*>(record));
}

// Wakes the worker for another try in a while.
void startRetrigger(TChipTransport* r, TChipTxQueue* q) {
    if (q->retrigger) platTimerCancel(q->retrigger);
    q->retrigger = platTimerStart(CHIP_RETRIGGER_MS, &retrigger, r);
}

// Hands a node back and reports its frame as done.
void completeNode(TChipTransport* r, TChipTxQueue* q, TChipTxNode* node, DWORD status) {
    BYTE* caller = node->caller;
    const DWORD length = node->length;
    dlQueueAddTail(&q->freeNodes, &node->link);
    if (q->done) q->done(r, caller, length, status);
}

int32_t transmitFailed(TChipTransport* r, TChipTxQueue* q, TChipTxNode* node, int32_t result) {
    ++q->failures;
    if (node->retries == 0) debugPrint(DBG_ERROR, "chip: TX failed %d", static_cast<int>(result));
    if (q->failures < CHIP_TX_TRIES) {
        ++node->retries;
        dlQueueAddHead(&q->pending, &node->link);
        startRetrigger(r, q);
        return -1;
    }
    debugPrint(DBG_ERROR, "! TX recover after 5 tries failed, assume general problem");
    completeNode(r, q, node, CHIP_ERR_TX);
    return -1;
}

// The layer below has no room yet: the frame keeps its place, and nothing counts as failed.
int32_t transmitBusy(TChipTransport* r, TChipTxQueue* q, TChipTxNode* node) {
    TRACE_L1(kTraceWrite, "chip: TX busy below, frame %p waits", static_cast<void*>(node->caller));
    dlQueueAddHead(&q->pending, &node->link);
    startRetrigger(r, q);
    return -1;
}

// Reports every frame still queued as not sent: nobody waits for a completion that never comes.
void dropPending(TChipTransport* r, DWORD status, const char* why) {
    while (dlQueueNode* n = dlQueueRemoveHead(&r->tx.pending)) {
        TChipTxNode* node = nodeOf(n);
        debugPrint(0, "%s buffer %p, len = %d", why, static_cast<void*>(node->caller), static_cast<int>(node->length));
        completeNode(r, &r->tx, node, status);
    }
}

// The miniport's reset. One that had to give its bus up (the SPB miniport from its second reset
// on) leaves the transport closed: the link is reported lost, so the stack opens it again.
DWORD resetMiniport(TChipTransport* r) {
    if (!r->miniport) return COM_ERR_STATE;
    if (!r->ops.reset) return COM_ERR_PROPERTY;
    const DWORD status = r->ops.reset(r);
    if (r->miniport) return status;
    debugPrint(DBG_ERROR, "! chip: the bus closed at its reset, link lost");
    dropPending(r, COM_ERR_STATE, "chip: dropped");
    chipSignal(r, comeAdapterPlugout, COM_SUCCESS, nullptr, 0);
    return status >= COM_ERR_CONTROL_BLOCK ? status : COM_ERR_STATE;
}

void chipWorkerThread(void* record) {
    auto* r = static_cast<TChipTransport*>(record);
    debugPrint(0, "chip: worker thread started, GPIO state 0x%X", r->gpioState);
    r->gpioState = 0;
    chipSignal(r, comeOpenCompleted, COM_SUCCESS, nullptr, 0);
    while (r->running.load()) r->ops.threadWorker(r);
    debugPrint(0, "chip worker thread: done.");
}

} // namespace

void chipSetMiniportSetups(const TChipMiniportSetups* setups) { g_setups = setups ? setups : &kLibrarySetups; }

void chipSignal(TChipTransport* record, DWORD event, DWORD status, BYTE* buffer, DWORD length) {
    if (record->callback) record->callback(record->context, event, status, buffer, length);
}

void chipTriggerWorker(TChipTransport* record) {
    if (record->ops.trigger) record->ops.trigger(record);
    else record->workerSemaphore.release();   // a full semaphore already wakes the worker
}

void chipInitMiniport(TChipTransport* r, const char* parameters) {
    char reader[kNameSize] = "";
    char ioType[kNameSize] = "";
    cfgGetParam(parameters, "READERTYPE", reader, sizeof reader);
    cfgGetParam(parameters, "IOTYPE", ioType, sizeof ioType);
    debugPrint(0, "chip: %s, ioType=%s, reader=%s", "chipInitMiniport", ioType, reader);
    if (contains(parameters, "POLLBUS")) r->flags |= CHIP_POLLBUS;
    if (contains(parameters, "PROXIMITY")) r->flags |= CHIP_PROXIMITY;
    if (contains(reader, "NCI_ST21")) r->flags |= CHIP_NCI_ST21;
    if (std::strcmp(reader, "PN544") == 0) r->flags = (r->flags & ~CHIP_POLLBUS) | CHIP_PN544;

    if ((std::strcmp(ioType, "SPB") == 0 || std::strcmp(ioType, "PROXIMITY") == 0) && trySetup(r, chipMpSpb)) {
        r->flags |= CHIP_SPB;
        return;
    }
    if (std::strcmp(ioType, "SERIALUMDF") == 0 && trySetup(r, chipMpSerialProxy)) return;
    if (contains(reader, "NCI_ST21") && trySetup(r, chipMpAardvarkNdlc)) return;
    if ((contains(reader, "PN547") || contains(reader, "PN548") || contains(reader, "NCF3340")) && trySetup(r, chipMpArmBoard))
        return;
    if (contains(reader, "ST21NFCB")) r->flags |= CHIP_ST21NFCB;
    if (contains(reader, "ST21NFCA")) r->flags |= CHIP_ST21NFCA;
    if (r->flags & (CHIP_ST21NFCA | CHIP_ST21NFCB)) trySetup(r, chipMpAardvarkHci);
}

DWORD chipStartWorkerThread(TChipTransport* r) {
    if (!r->ops.threadWorker) {
        debugPrint(DBG_ERROR, "! chip: miniport without worker loop");
        return COM_ERR_OPEN;
    }
    r->workerSemaphore.create(0, CHIP_WORKER_TRIGGER_MAX);
    // Running before the thread exists: a close right after the open always finds it set.
    r->running = true;
    r->worker = platThreadStart("Chip Worker Thread", &chipWorkerThread, r);
    if (!r->worker) {
        r->running = false;
        r->workerSemaphore.destroy();
        return COM_ERR_OPEN;
    }
    debugPrint(0, "chip: start worker thread OK. L1 flags 0x%X", debugGetL1Flags());
    return COM_SUCCESS;
}

DWORD chipStopWorkerThread(TChipTransport* r) {
    debugPrint(0, "chip: stop worker thread, running = %d, hThread=%p", r->running.load() ? 1 : 0,
               static_cast<void*>(r->worker));
    if (r->running.exchange(false)) {
        if (r->ops.stopThread) r->ops.stopThread(r);
        r->workerSemaphore.release();
        debugPrint(0, "chip worker thread stopped");
    }
    if (r->worker) {
        if (platThreadIsCurrent(r->worker)) {
            // A thread cannot wait for itself; it leaves its loop now that running is clear.
            debugPrint(DBG_ERROR, "! chip: worker thread stopped from inside itself");
            return COM_ERR_STATE;
        }
        platThreadJoin(r->worker, PLAT_INFINITE);
        debugPrint(0, "chip: destroy thread %p", static_cast<void*>(r->worker));
        r->worker = nullptr;
    }
    r->workerSemaphore.destroy();
    return COM_SUCCESS;
}

void chipTxQueueInit(TChipTxQueue* q, TChipTxNode* nodes, uint32_t count) {
    dlQueueInitLockless(&q->freeNodes);
    dlQueueInitLockless(&q->pending);
    for (uint32_t i = 0; i < count; ++i) dlQueueAddTail(&q->freeNodes, &nodes[i].link);
    q->failures = 0;
    q->retrigger = 0;
}

void chipTxQueueStop(TChipTxQueue* q) {
    if (q->retrigger) platTimerCancel(q->retrigger);
    q->retrigger = 0;
}

bool chipTxQueueAdd(TChipTxQueue* q, BYTE* caller, const BYTE* frame, DWORD length) {
    dlQueueNode* free = length <= CHIP_FRAME_MAX ? dlQueueRemoveHead(&q->freeNodes) : nullptr;
    if (!free) return false;
    TChipTxNode* node = nodeOf(free);
    if (length) std::memcpy(node->data, frame, length);
    node->caller = caller;
    node->length = length;
    node->sent = 0;
    node->retries = 0;
    dlQueueAddTail(&q->pending, &node->link);
    return true;
}

int32_t chipTxQueueStep(TChipTransport* r, TChipTxQueue* q) {
    dlQueueNode* head = dlQueueRemoveHead(&q->pending);
    if (!head) return -2;
    TChipTxNode* node = nodeOf(head);
    // A byte stream goes on where it stopped; a frame bus takes the whole frame or nothing.
    const bool stream = r->flags & CHIP_BYTE_STREAM;
    const BYTE* from = stream ? node->data + node->sent : node->data;
    const DWORD want = stream ? node->length - node->sent : node->length;
    if (debugL1On(kTraceData)) debugDump(from, "CHIP TX", want);
    int32_t written = q->write(r, from, want);
    if (written == CHIP_WRITE_BUSY) return transmitBusy(r, q, node);
    if (written >= 0 && static_cast<DWORD>(written) < want && (!stream || written == 0)) {
        debugPrint(DBG_ERROR, "chip: ! short write %d of %d", static_cast<int>(written), static_cast<int>(want));
        written = -1;
    }
    if (written < 0) return transmitFailed(r, q, node, written);
    q->failures = 0;
    node->sent += static_cast<DWORD>(written) < want ? static_cast<DWORD>(written) : want;
    if (node->sent < node->length) {
        dlQueueAddHead(&q->pending, &node->link);
        chipTriggerWorker(r);
        return written;
    }
    if (node->retries) TRACE_L1(kTraceWrite, "## retriggered frame written");
    completeNode(r, q, node, COM_SUCCESS);
    // A worker takes one frame per wake, and the wakes of the frames behind a retried one were
    // spent on its tries.
    if (dlQueueCount(&q->pending)) chipTriggerWorker(r);
    return written;
}

int32_t chipTransmitStep(TChipTransport* r) { return chipTxQueueStep(r, &r->tx); }

DWORD chipTransportOpen(const char* port, const char* parameters, TComCallBack callBack, void* context, TComHandle* handle) {
    debugPrint(0, "chip: comOpen enter, <%s> <%s>", port ? port : "", parameters ? parameters : "");
    if (!handle) return COM_ERR_HANDLE;
    *handle = nullptr;
    TChipTransport* r = &g_chip;
    if (r->inUse) {
        debugPrint(DBG_ERROR, "! chipTrans no free link");
        return COM_ERR_NO_RESOURCES;
    }
    prepareRecord(r, callBack, context);
    chipInitMiniport(r, parameters);
    DWORD status = COM_PENDING;
    if (!r->ops.open) {
        debugPrint(DBG_ERROR, "! chip: chipInitMiniport() failed, missing 'chipOpen' proc");
        status = COM_ERR_NO_RESOURCES;
    } else if (r->ops.open(r, port ? port : "", parameters ? parameters : "") != 0) {
        status = COM_ERR_OPEN;
    } else if ((r->ops.startThread ? r->ops.startThread(r) : chipStartWorkerThread(r)) != 0) {
        debugPrint(DBG_ERROR, "! cannot start chip worker thread");
        status = COM_ERR_OPEN;
    }
    if (status == COM_PENDING) {
        *handle = r;
    } else {
        closeMiniport(r);
        releaseRecord(r);
    }
    debugPrint(0, "chip: comOpen exit status 0x%X, phCom = %p", status, *handle);
    return status;
}

DWORD chipTransportClose(TComHandle handle) {
    debugPrint(0, "chip: comClose enter %p", handle);
    TChipTransport* r = validRecord(handle);
    if (!r) return COM_ERR_HANDLE;
    // The worker first: once it is gone nothing starts the retrigger timer again.
    chipStopWorkerThread(r);
    chipTxQueueStop(&r->tx);
    closeMiniport(r);
    dropPending(r, COM_ERR_STATE, "chip: dropped");
    releaseRecord(r);
    chipSignal(r, comeCloseCompleted, COM_SUCCESS, nullptr, 0);
    debugPrint(0, "chip: comClose exit 0x%X", COM_SUCCESS);
    return COM_SUCCESS;
}

DWORD chipTransportReset(TComHandle handle) {
    debugPrint(0, "chip: comReset enter %p", handle);
    TChipTransport* r = validRecord(handle);
    if (!r) return COM_ERR_HANDLE;
    const DWORD status = resetMiniport(r);
    debugPrint(0, "chip: comReset exit");
    return status;
}

DWORD chipTransportWrite(TComHandle handle, BYTE* buffer, DWORD length) {
    TChipTransport* r = validRecord(handle);
    if (!r) {
        debugPrint(DBG_ERROR, "chip: comWrite() enter, %p, invalid handle !", handle);
        return COM_ERR_HANDLE;
    }
    TRACE_L1(kTraceWrite, "chip: comWrite() enter, %p, %p %d (tx pending %d)", handle, static_cast<void*>(buffer),
             static_cast<int>(length), static_cast<int>(dlQueueCount(&r->tx.pending)));
    if (length > CHIP_FRAME_MAX || (!buffer && length)) {
        debugPrint(DBG_ERROR, "chip: ! comWrite() frame of %d bytes refused", static_cast<int>(length));
        return COM_ERR_TOO_LONG;
    }
    if (!r->miniport) {
        debugPrint(DBG_ERROR, "chip: ! comWrite() after the bus closed");
        return COM_ERR_STATE;
    }
    if (!chipTxQueueAdd(&r->tx, buffer, buffer, length)) {
        debugPrint(DBG_ERROR, "ic2: ! comWrite RNR, (pending %d)", static_cast<int>(dlQueueCount(&r->tx.pending)));
        return CHIP_ERR_TX;
    }
    chipTriggerWorker(r);
    return COM_SUCCESS;
}

DWORD chipTransportSetProperty(TComHandle handle, DWORD property, void*, DWORD) {
    debugPrint(0, "chipTransportSetProperty 0x%X", property);
    TChipTransport* r = validRecord(handle);
    if (!r) return COM_ERR_HANDLE;
    switch (property) {
    case compResetController:
        return (r->flags & CHIP_SPB) ? resetMiniport(r) : COM_ERR_PROPERTY;
    case compTraceFlags:
        return COM_SUCCESS;
    case compFlushTx:
        debugPrint(0, "Flush tx queue called");
        dropPending(r, COM_SUCCESS, "i2c: flushed");
        return COM_ERR_PROPERTY;
    default:
        return COM_ERR_PROPERTY;
    }
}

DWORD chipTransportGetProperty(TComHandle, DWORD, void* value, DWORD* length) {
    if (value && length) std::memset(value, 0, *length);
    if (length) *length = 0;
    return COM_ERR_PROPERTY;
}
