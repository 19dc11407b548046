#include "core/nfaceapi.h"

#include <algorithm>
#include <atomic>

#include "api/nfcapi_modules.h"
#include "core/nfaceregistry.h"
#include "core/nfacesignal.h"
#include "core/nfacetrace.h"
#include "p2p/nfcp2p.h"
#include "util/apinames.h"
#include "util/trace.h"

namespace {

constexpr char kSource[] = "..\\..\\src\\nfc\\core\\nfaceapi";
constexpr int kAppShift = 19;                     // bits 19-21 of a source word: application entry + 1
constexpr uint32_t kAppBits = 0x7u << kAppShift;
constexpr uint8_t kNfcidPrefix[2] = {0x01, 0xFE};
constexpr size_t kNfcidMax = sizeof(TNfcListenParam::p2pNfcid);

// Results of nfacePutMessage, and of nfcapiRegister without a record.
enum : NfcApiStatus { PUT_OK = 0, PUT_NO_APP = 2, PUT_NO_MESSAGE = 3, PUT_NO_ELEMENT = 6, PUT_NOT_READY = 11 };
constexpr NfcApiStatus kNoRecord = 3;

std::atomic<const TNfaceManagerLink*> g_manager{nullptr};
std::atomic<uint32_t> g_callbackThread{0};

// One release waits for its confirmation at a time: the release semaphore is shared.
PlatLock& releaseLock() {
    static PlatLock lock;
    static const bool made = (lock.create(), true);
    (void)made;
    return lock;
}

void* hAppOf(TNfcApiInstance* instance) {
    PlatLockGuard g(instance->lock);
    return instance->hApp;
}

void clearPending(TNfcApiInstance* instance) {
    PlatLockGuard g(instance->lock);
    instance->pending = 0;
    instance->pendingRequest = 0;
}

// Whether a message answers the pending request: a read is answered by its indication, a
// transaction and an activation by their indications whatever was asked.
bool answers(uint16_t received, uint16_t pending) {
    return received == NFACE_TRANSACTION_IND || received == NFACE_ACT_IND || (received & 0xFFF0) == (pending & 0xFFF0);
}

// Ends the pending request with the cause when the message answers it, after apply() has stored
// what the answer carries. A message that answers no pending request changes nothing: least of
// all the caller's buffer, which may belong to a call that has already returned.
template <typename Apply>
void completeWith(TNfcApiInstance* instance, const TnfcapiMsg& message, uint16_t cause, NfcApiStatus status,
                  Apply apply) {
    TRACE(TRC_API, "nfcapi: # instance %p, cause 0x%X last command 0x%X", static_cast<void*>(instance), cause,
          message.code);
    {
        PlatLockGuard g(instance->lock);
        if (!instance->pending) {
            TRACE(TRC_ERROR, "! ignore command completion, cancelled");
            return;
        }
        if (message.request != instance->pendingRequest) {
            TRACE(TRC_ERROR, "! ignore command completion of request %u, cancelled (waiting for request %u)",
                  message.request, instance->pendingRequest);
            return;
        }
        if (!answers(message.code, instance->pending)) {
            TRACE(TRC_ERROR, "! complete unsolicited command (%X %X)", instance->pending, message.code);
            return;
        }
        apply();
        instance->result = status;
        instance->pending = 0;
        instance->pendingRequest = 0;
    }
    // Released without the lock, which the woken caller takes at once. Nothing of the instance is
    // touched after it: the caller may free it as soon as its wait returns.
    instance->resultSemaphore.release();
}

template <typename Apply>
void complete(TNfcApiInstance* instance, const TnfcapiMsg& message, uint16_t cause, Apply apply) {
    completeWith(instance, message, cause, nfcapiCauseToStatus(cause), apply);
}

void complete(TNfcApiInstance* instance, const TnfcapiMsg& message, uint16_t cause) {
    complete(instance, message, cause, [] {});
}

// Stores the answer's length and copies what fits into the room of the request. Lock held.
// The manager may have filled the caller's room already and point at it: nothing to copy then.
void takeAnswer(TNfcApiInstance* instance, const uint8_t* data, uint16_t length) {
    instance->resultLength = length;
    const TNfaceTransfer& room = instance->io.transfer;
    if (room.readData && data && length && data != room.readData)
        std::memmove(room.readData, data, std::min(length, room.readLength));
}

void onDeviceIndication(TNfcApiInstance* instance, const TNfaceDeviceInd& p) {
    if (p.count == 0 || !p.tags || !p.tags[0]) {
        TRACE(TRC_ERROR, "! nfaceCallback(), device indication without a tag");
        return;
    }
    TRACE(TRC_API, "nfcapi: NFace++ TAG indication, type 0x%.08X", p.tags[0]->tagType);
    nfcSignalTagIndication(instance, *p.tags[0]);
}

void onTransactionIndication(TNfcApiInstance* instance, const TnfcapiMsg& message) {
    const auto p = nfaceMsgGet<NFACE_TRANSACTION_IND>(message);
    uint32_t tagType;
    {
        PlatLockGuard g(instance->lock);
        tagType = instance->tag.tagType;
    }
    if (!(tagType & NFC_MASK_CARD_EMULATION)) {
        complete(instance, message, p.cause, [&] { takeAnswer(instance, p.data ? p.data + p.offset : nullptr, p.length); });
        return;
    }
    // In card emulation the indication is what a reader sent: it goes to the application.
    if (!instance->callback || p.cause != 0) return;
    instance->eventParam.readerRequest = TNfcReaderRequest{const_cast<BYTE*>(p.data), p.length};
    instance->callback(instance->context, nfcEventReaderRequest, instance->listenerContext, &instance->eventParam);
}

void onActivation(TNfcApiInstance* instance, const TnfcapiMsg& message) {
    const auto p = nfaceMsgGet<NFACE_ACT_IND>(message);
    {
        PlatLockGuard g(instance->lock);
        if (instance->activationSeen) return;
        instance->activationSeen = 1;
    }
    if (p.cause == 0) {
        nfcapiSetCapabilities(TNfcCapabilities{p.reserved, p.controllerCount, p.capabilities});
        TRACE(TRC_API, "nfcapi: Found supported listen mask 0x%.08X, max Controller = %d, SE count %d",
              p.capabilities ? p.capabilities->supportedMask : 0u, p.controllerCount,
              p.capabilities ? p.capabilities->secureElementCount : 0);
    }
    complete(instance, message, p.cause);
}

void onRegistration(TNfcApiInstance* instance, const TnfcapiMsg& message) {
    const auto p = nfaceMsgGet<NFACE_REGISTER_CONF>(message);
    if (p.cause != 0) {
        complete(instance, message, p.cause);
        return;
    }
    {
        PlatLockGuard g(instance->lock);
        instance->hApp = p.hApp;
    }
    TRACE(TRC_API, "new hApplication=%p, wait for ACT_IND", p.hApp);
}

void onRelease(TNfcApiInstance* instance, const TnfcapiMsg& message) {
    const auto p = nfaceMsgGet<NFACE_RELEASE_CONF>(message);
    if (p.cause == 0) {
        PlatLockGuard g(instance->lock);
        instance->hApp = nullptr;
    }
    complete(instance, message, p.cause);
}

void onTagRemoved(TNfcApiInstance* instance) {
    if (!instance->callback) return;
    {
        PlatLockGuard g(instance->lock);
        instance->tag = TNfcTagInfo{};
    }
    instance->callback(instance->context, nfcEventTagRemoved, instance->listenerContext, nullptr);
}

void onSecureElement(TNfcApiInstance* instance, const TNfaceSeInd& p) {
    if (p.event == NFACE_SE_TRANSACTION) nfcSignalTransaction(instance, p.hSecure, p.transaction);
    else nfcSignalSecureNotification(instance, p.hSecure, p.event, p.flags);
}

void onDeviceRemoved(TNfcApiInstance* instance) {
    TRACE(TRC_ERROR, "! Physical layer is removed");
    if (instance->callback)
        instance->callback(instance->context, nfcEventPnpRemovedIndication, nullptr, nullptr);
}

// A peer-to-peer identifier given to the stack starts with 01 FE.
void prefixNfcid(TNfcListenParam& params, uint32_t mask) {
    if (!(mask & NFC_MASK_P2P) || !(params.p2pFlags & NFC_P2P_NFCID_VALID)) return;
    if (params.p2pNfcid[0] == kNfcidPrefix[0] && params.p2pNfcid[1] == kNfcidPrefix[1]) return;
    std::memmove(params.p2pNfcid + 2, params.p2pNfcid, kNfcidMax - 2);
    std::memcpy(params.p2pNfcid, kNfcidPrefix, sizeof kNfcidPrefix);
    params.p2pNfcidLength = static_cast<BYTE>(std::min<size_t>(params.p2pNfcidLength + 2u, kNfcidMax));
    TRACE(TRC_API, "nfcapi: Adjusted UID, new length %d", params.p2pNfcidLength);
}

uint16_t nextIdentity(uint16_t last) { return last == 0xFFFF ? 1 : static_cast<uint16_t>(last + 1); }

} // namespace

// ---- The NFC manager's side ---------------------------------------------------------------

void nfaceAttachManager(const TNfaceManagerLink* link) { g_manager = link; }

NfcApiStatus nfaceRegister(const TNfaceRegistration* record) {
    const auto registerApplication = nfcapiServices().registerApplication;
    if (!registerApplication) {
        TRACE(TRC_ERROR, "! nfaceRegister: cannot find NFC API queue");
        return nfcStatusInvalidHandle;
    }
    return registerApplication(*record);
}

NfcApiStatus nfaceRelease(void* hApp) {
    TRACE(TRC_API, "nfaceRelease: app %p", hApp);
    const TNfaceManagerLink* link = g_manager.load();
    if (!link) {
        TRACE(TRC_ERROR, "! nfaceRelease: cannot find NFC API queue");
        return nfcStatusInvalidHandle;
    }
    return link->releaseApp(hApp);
}

void nfaceGiveUp(void* hApp, const void* userHandle, uint16_t request) {
    const TNfaceManagerLink* link = g_manager.load();
    if (link && link->giveUp && hApp) link->giveUp(hApp, userHandle, request);
}

// ---- The entry table ------------------------------------------------------------------------

NfcApiStatus nfaceOpen(const char* configuration, NfcapiDownloadCallback callback, void* context,
                       NfaceEntryTable** table) {
    // One table serves every start: it outlives any caller that still holds it.
    static NfaceEntryTable entries{nullptr,         &nfcapiInitialize, &nfcapiDone, &nfcapiRegister,
                                   &nfacePutMessage, &nfcapiRelease};
    const NfcApiStatus status = nfcapiInitialize(configuration, callback, context);
    const bool running = status == nfcStatusOk || status == nfcStatusNoResources;
    *table = running ? &entries : nullptr;
    return running ? nfcStatusOk : nfcStatusStartFailed;
}

NfcApiStatus nfcapiRegister(const TNfaceRegistration* record, uint32_t size) {
    TRACE(TRC_API, "nfcapiRegister() enter, state %d", static_cast<int>(nfcapiState()));
    NfcApiStatus status;
    if (!record || size < sizeof *record) {
        status = kNoRecord;
    } else {
        TNfaceRegistration copy = *record;
        copy.reserved = 0;
        PlatLockGuard g(nfcapiRegistrationLock());
        switch (nfcapiState()) {
        case NFCAPI_STATE_RUNNING:
            status = nfaceRegister(&copy);
            break;
        case NFCAPI_STATE_STARTING:
            TRACE(TRC_API, "OS initialize pending, queue message");
            status = nfcapiQueueRegistration(copy);
            break;
        default:
            // Only a stack in download mode has a table but no worker: nothing would ever take it.
            TRACE(TRC_ERROR, "! OS not initialized, registration refused");
            status = nfcStatusWrongState;
        }
    }
    TRACE(TRC_API, "nfcapiRegister() exit, status=0x%X", status);
    return status;
}

// ---- Upcalls --------------------------------------------------------------------------------

bool nfcapiOnCallbackThread() { return nfcapiOnWorkerThread() || g_callbackThread.load() == platCurrentThreadId(); }

void nfcapiDeliverUpstream(const TnfcapiMsg* message, TNfaceUpcall upcall, void* instance) {
    if (!message || !upcall) return;
    {
        PlatLockGuard g(nfcapiUpcallLock());
        const uint32_t outer = g_callbackThread.exchange(platCurrentThreadId());
        upcall(instance, message);
        g_callbackThread = outer;
    }
    if (message->code == NFACE_RELEASE_CONF) nfcapiReleaseSemaphore().release();
}

void nfaceUpcall(void* instance, const void* message) {
    nfaceCallback(static_cast<TNfcApiInstance*>(instance), static_cast<const TnfcapiMsg*>(message));
}

void nfaceCallback(TNfcApiInstance* instance, const TnfcapiMsg* message) {
    if (!message) return;
    // Only the upcall lock keeps a destroyed instance allocated: one that left its slot gets nothing.
    if (!nfcapiInstanceLive(instance)) {
        TRACE(TRC_ERROR, "! nfaceCallback(), instance %p is not registered, message 0x%X dropped",
              static_cast<void*>(instance), message->code);
        return;
    }
    {
        PlatLockGuard g(instance->lock);
        instance->lastReceived = message->code;
    }
    const TnfcapiMsg& m = *message;
    switch (m.code) {
    case NFACE_LISTEN_CONF:
    case NFACE_WRITE_CONF:
    case NFACE_SET_READONLY_CONF:
    case NFACE_TAG_SELECT_CONF:
        complete(instance, m, nfaceMsgGet<NFACE_LISTEN_CONF>(m).cause);
        break;
    case NFACE_DEVICE_IND:
        onDeviceIndication(instance, nfaceMsgGet<NFACE_DEVICE_IND>(m));
        break;
    case NFACE_FORMAT_CONF: {
        const auto p = nfaceMsgGet<NFACE_FORMAT_CONF>(m);
        complete(instance, m, p.cause, [&] {
            instance->tag.ndefMaxSize = p.maxNdefSize;
            instance->tag.access |= NFC_TAG_WRITABLE | NFC_TAG_FORMATTABLE;
            TRACE(TRC_API, "New max NDEF size on TAG = %d", static_cast<int>(p.maxNdefSize));
        });
        break;
    }
    case NFACE_READ_IND:
    case NFACE_IO_CONTROL_CONF: {
        const auto p = nfaceMsgGet<NFACE_READ_IND>(m);
        complete(instance, m, p.cause, [&] { takeAnswer(instance, p.data, p.length); });
        break;
    }
    case NFACE_TRANSACTION_IND:
        onTransactionIndication(instance, m);
        break;
    case NFACE_TEST_IND:
        complete(instance, m, nfaceMsgGet<NFACE_TEST_IND>(m).cause);
        break;
    case NFACE_REGISTER_CONF:
        onRegistration(instance, m);
        break;
    case NFACE_RELEASE_CONF:
        onRelease(instance, m);
        break;
    case NFACE_TECH_REMOVE_IND:
        onTagRemoved(instance);
        break;
    case NFACE_ACT_IND:
        onActivation(instance, m);
        break;
    case NFACE_NFC_LLCP_LISTEN_CONF: {
        const uint16_t cause = nfaceMsgGet<NFACE_NFC_LLCP_LISTEN_CONF>(m).cause;
        p2pOnUpcall(instance, m);
        completeWith(instance, m, cause, p2pCauseToStatus(cause), [] {});
        break;
    }
    case NFACE_NFC_LLCP_SDP_CONF: {
        const auto p = nfaceMsgGet<NFACE_NFC_LLCP_SDP_CONF>(m);
        completeWith(instance, m, p.cause, p2pCauseToStatus(p.cause), [&] {
            if (p.cause == 0) takeAnswer(instance, &p.sap, sizeof p.sap);
        });
        break;
    }
    case NFACE_NFC_LLCP_CON_CONF:
    case NFACE_NFC_LLCP_CON_ACT_IND:
    case NFACE_NFC_LLCP_DISC_CONF:
    case NFACE_NFC_LLCP_DISC_IND:
    case NFACE_NFC_LLCP_DATA_CONF:
    case NFACE_NFC_LLCP_DATA_IND:
        p2pOnUpcall(instance, m);
        break;
    case NFACE_NFC_SE_IND:
        onSecureElement(instance, nfaceMsgGet<NFACE_NFC_SE_IND>(m));
        break;
    case NFACE_NFC_NDEF_CHECK_CONF: {
        const auto p = nfaceMsgGet<NFACE_NFC_NDEF_CHECK_CONF>(m);
        const bool refreshed = (p.cause == nfcCauseOk || p.cause == nfcCauseNotNfcForumTag) && p.tag;
        complete(instance, m, refreshed ? uint16_t{nfcCauseOk} : p.cause, [&] {
            if (refreshed) instance->tag = *p.tag;
        });
        break;
    }
    case NFACE_RF_FIELD_IND:
        nfcSignalRFIndication(instance, nfaceMsgGet<NFACE_RF_FIELD_IND>(m).state);
        break;
    case NFACE_DEVICE_REMOVED_IND:
        onDeviceRemoved(instance);
        break;
    default:
        TRACE(TRC_ERROR, "! nfaceCallback(), invalid command 0x%X", m.code);
    }
}

// ---- Requests -------------------------------------------------------------------------------

NfcApiStatus nfacePutMessage(void* hApp, const TnfcapiMsg* message) {
    if (!hApp) {
        TRACE(TRC_ERROR, "! nfcapiPutMessage(), app is NULL");
        return PUT_NO_APP;
    }
    if (!message) {
        TRACE(TRC_ERROR, "! nfcapiPutMessage(), msg is NULL");
        return PUT_NO_MESSAGE;
    }
    if (nfcapiState() != NFCAPI_STATE_RUNNING) {
        TRACE(TRC_ERROR, "! nfcapiPutMessage(), OS not ready");
        return PUT_NOT_READY;
    }
    const TNfaceManagerLink* link = g_manager.load();
    const int index = link ? link->findApp(hApp) : -1;
    uint16_t queue = 0;
    if (index < 0 || osQueueFindByName(link->queueName, &queue) != OS_OK) {
        TRACE(TRC_ERROR, "%s ! cannot find app %p", "nfacePutMessage", hApp);
        return PUT_NO_APP;
    }
    if (message->length < NFACE_HEADER_SIZE || message->length > NFACE_MESSAGE_MAX) {
        DEBUG_BREAK(kSource);
        return PUT_NO_MESSAGE;
    }
    if (debugOn(TRC_NFACE)) nfaceTraceMessage(message);
    OsMessage os{};
    os.command = message->code;
    os.spare = message->request;
    os.source = (link->moduleWord & ~kAppBits) | (static_cast<uint32_t>(index + 1) << kAppShift);
    std::memcpy(os.fields, message->payload, message->length - NFACE_HEADER_SIZE);
    return osMessageSend(queue, &os) == OS_OK ? PUT_OK : PUT_NO_ELEMENT;
}

NfcApiStatus nfcapiRelease(void* hApp, uint32_t timeoutMs) {
    TRACE(TRC_API, "nfcapiRelease() enter, hApp=0x%p", hApp);
    NfcApiStatus status;
    if (nfcapiOnCallbackThread()) {
        // The confirmation could only come through the upcall this thread is running.
        TRACE(TRC_ERROR, "! nfcapiRelease() refused inside the event callback");
        status = nfcStatusWrongState;
    } else {
        PlatLockGuard g(releaseLock());
        PlatSemaphore& released = nfcapiReleaseSemaphore();
        while (released.wait(0) == PlatWait::Signaled) {}
        status = nfaceRelease(hApp);
        if (status == nfcStatusOk) {
            const PlatWait w = released.wait(timeoutMs);
            if (w == PlatWait::Timeout) {
                TRACE(TRC_ERROR, "! Timeout waiting for release of app %p", hApp);
                status = nfcStatusTimeout;
            } else if (w == PlatWait::Failed) {
                TRACE(TRC_ERROR, "! failure while waiting for release of app %p", hApp);
                status = nfcStatusWaitFailed;
            }
        }
    }
    TRACE(TRC_API, "nfcapiRelease() exit, status=0x%X", status);
    return status;
}

NfcApiStatus nfcapiRegisterApp(TNfcApiInstance* instance) {
    instance->lock.create();
    if (!instance->resultSemaphore.create(0, 1)) return nfcStatusNoResources;
    const NfaceEntryTable* table = nfcapiEntryTable();
    if (!table) return nfcStatusStartFailed;
    {
        PlatLockGuard g(instance->lock);
        instance->pending = NFACE_REGISTER_REQ;
        instance->pendingRequest = 0;       // the registration is answered by messages of no request
    }
    const TNfaceRegistration record{instance, &nfaceUpcall, 0, 0};
    NfcApiStatus status = table->registerApp(&record, sizeof record);
    if (status != nfcStatusOk && status != nfcStatusPending) {
        clearPending(instance);
        return nfcStatusFailed;
    }
    status = nfcapiWaitResult(NFCAPI_ACTIVATION_TIMEOUT, instance);
    if (status == nfcStatusOk || status == nfcStatusPending) return status;
    if (void* hApp = hAppOf(instance)) {
        TRACE(TRC_API, "Create access failed, but application exits, release app");
        if (table->release(hApp, NFCAPI_REQUEST_TIMEOUT) == nfcStatusOk) {
            PlatLockGuard g(instance->lock);
            instance->hApp = nullptr;
        }
    }
    return status;
}

NfcApiStatus nfcapiRequest(TnfcapiMsg* message, TNfcApiInstance* instance) {
    if (nfcapiOnCallbackThread()) {
        // Its answer would have to come through the upcall this thread is running.
        TRACE(TRC_ERROR, "! request 0x%X refused inside the event callback", message->code);
        return nfcStatusWrongState;
    }
    const NfaceEntryTable* table = nfcapiEntryTable();
    if (!table) {
        TRACE(TRC_ERROR, "! request 0x%X refused, the library is not initialized", message->code);
        return nfcStatusStartFailed;
    }
    void* hApp;
    uint32_t timeoutMs;
    {
        PlatLockGuard g(instance->lock);
        if (instance->destroyed) {
            TRACE(TRC_ERROR, "! request 0x%X refused, its application is being destroyed", message->code);
            return nfcStatusInvalidHandle;
        }
        // A wake-up left from an earlier request never ends this one.
        while (instance->resultSemaphore.wait(0) == PlatWait::Signaled) {}
        instance->lastRequest = nextIdentity(instance->lastRequest);
        instance->pending = message->code;
        instance->pendingRequest = instance->lastRequest;
        instance->resultLength = 0;
        message->request = instance->lastRequest;
        hApp = instance->hApp;
        timeoutMs = instance->requestTimeout;
    }
    if (table->putMessage(hApp, message) != PUT_OK) {
        TRACE(TRC_ERROR, "nfcapi: putMessage failed ! ");
        clearPending(instance);
        PlatLockGuard g(instance->lock);
        return instance->destroyed ? nfcStatusInvalidHandle : nfcStatusBadParameter;
    }
    return nfcapiWaitResult(timeoutMs, instance);
}

bool nfcapiStartDestroy(TNfcApiInstance* instance) {
    PlatLockGuard g(instance->lock);
    if (instance->destroyed) return false;
    instance->destroyed = 1;
    return true;
}

void nfcapiAbortRequest(TNfcApiInstance* instance, NfcApiStatus status) {
    void* hApp;
    uint16_t aborted;
    {
        PlatLockGuard g(instance->lock);
        if (!instance->pending || instance->pendingRequest == 0) return;
        TRACE(TRC_ERROR, "! request 0x%X ends without its answer, status 0x%X", instance->pending, status);
        instance->result = status;
        instance->pending = 0;
        aborted = instance->pendingRequest;
        instance->pendingRequest = 0;
        hApp = instance->hApp;
    }
    // A manager that still knows the application (its release was not confirmed in time) may
    // still hold the request: it is given up before its caller goes.
    nfaceGiveUp(hApp, instance, aborted);
    instance->resultSemaphore.release();
}

NfcApiStatus nfcapiWaitResult(uint32_t timeoutMs, TNfcApiInstance* instance) {
    const PlatWait w = instance->resultSemaphore.wait(timeoutMs);
    uint16_t cancelled = 0;
    {
        PlatLockGuard g(instance->lock);
        if (w == PlatWait::Signaled) return instance->result;
        if (w == PlatWait::Timeout && !instance->pending) {
            // The answer came between the end of the wait and the lock: take it, and its wake-up.
            // Only a completer clears pending on another thread, and it releases right after it let
            // go of the lock: the wait ends at once, and the instance outlives that release.
            instance->resultSemaphore.wait(PLAT_INFINITE);
            return instance->result;
        }
        cancelled = instance->pendingRequest;
        instance->pending = 0;
        instance->pendingRequest = 0;
    }
    if (w != PlatWait::Timeout) {
        TRACE(TRC_ERROR, "! failure while waiting for NFACE request result");
        return nfcStatusWaitFailed;
    }
    TRACE(TRC_ERROR, "! Timeout waiting for NFACE request result");
    // Given up before the caller returns: from now on the stack reads nothing the request points
    // at, and does not start it. The cancel drops it where it waits.
    void* hApp = hAppOf(instance);
    nfaceGiveUp(hApp, instance, cancelled);
    TnfcapiMsg cancel = nfaceMsgMake<NFACE_CANCEL_REQ>();
    cancel.request = cancelled;
    if (const NfaceEntryTable* table = nfcapiEntryTable()) table->putMessage(hApp, &cancel);
    return nfcStatusTimeout;
}

NfcApiStatus nfcapiListen(TNfcApiInstance* instance, const TNfcListenParam* params, uint32_t mask) {
    TNfaceListenReq request{mask, nullptr};
    if (params) {
        // The stack reads its own copy: the caller's block is never written and may go at once.
        instance->listenParams = *params;
        prefixNfcid(instance->listenParams, mask);
        request.params = &instance->listenParams;
    }
    TnfcapiMsg message = nfaceMsgMake<NFACE_LISTEN_REQ>(request);
    return nfcapiRequest(&message, instance);
}

NfcApiStatus nfcapiIoControlParameters(TNfcApiInstance* instance, uint32_t code, uint16_t inputLength) {
    TNfaceIoBlock& io = instance->io;
    io.transfer = TNfaceTransfer{nullptr, reinterpret_cast<const uint8_t*>(io.parameters), 0,
                                 std::min<uint16_t>(inputLength, sizeof io.parameters), 0};
    TnfcapiMsg message = nfaceMsgMake<NFACE_IO_CONTROL_REQ>({&io.transfer, code, 0});
    return nfcapiRequest(&message, instance);
}
