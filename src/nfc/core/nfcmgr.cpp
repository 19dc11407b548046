#include "core/nfcmgr.h"

#include <cstring>
#include <iterator>
#include <new>

#include "core/nfaceapi.h"
#include "hw/hw_timer.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "th/th_subtypes.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "nfcman:";

#define NFCMAN_EVENT_NAME(name, command) "EV_NFCMAN_" #name,
constexpr const char* kEventNames[] = {NFCMAN_EVENTS(NFCMAN_EVENT_NAME)};
#undef NFCMAN_EVENT_NAME

struct CommandEvent {
    uint16_t command;
    uint16_t event;
};
#define NFCMAN_COMMAND_EVENT(name, command) {command, EV_NFCMAN_##name},
constexpr CommandEvent kCommandEvents[] = {NFCMAN_EVENTS(NFCMAN_COMMAND_EVENT)};
#undef NFCMAN_COMMAND_EVENT

#define NFCMAN_APP_STATE_NAME(name) "NFCMAN_APPSTATE_" #name,
constexpr const char* kAppStateNames[] = {NFCMAN_APP_STATES(NFCMAN_APP_STATE_NAME)};
#undef NFCMAN_APP_STATE_NAME

// What the API core posts to the manager's own queue: a registration or a release.
struct TNfcmanAppReq {
    TNfaceRegistration registration;
    void* hApp;
    uint16_t code;
};

std::atomic<TNfcManager*> g_self{nullptr};
std::atomic<uint16_t> g_readerType{0};      // of the start that registered the manager

// What the callers of each entry gave up, written on their threads: a request of the entry's
// application that is not newer than the newest one given up has nobody waiting for it. The
// owner tells a late caller of an application that left from the entry's next application.
struct GivenUp {
    const void* owner;
    uint16_t newest;        // 0: none
};
GivenUp g_givenUp[NFCMAN_APPS];

// The application requests that concern the current device.
bool isTagRequest(uint16_t command) {
    switch (command) {
    case NFACE_FORMAT_REQ:
    case NFACE_READ_REQ:
    case NFACE_WRITE_REQ:
    case NFACE_TRANSACTION_REQ:
    case NFACE_TEST_REQ:
    case NFACE_SET_READONLY_REQ:
    case NFACE_NFC_NDEF_CHECK_REQ: return true;
    default: return false;
    }
}

bool isLlcpCode(uint16_t command) { return command >= 0xA100 && command <= 0xA15F; }

uint16_t eventOf(uint16_t command) {
    for (const CommandEvent& e : kCommandEvents)
        if (e.command != 0 && e.command == command) return e.event;
    return 0;
}

// ---- The API core's side --------------------------------------------------------------------

int findApp(const void* hApp) {
    const TNfcManager* p = g_self.load();
    if (!p) return -1;
    for (int i = 0; i < NFCMAN_APPS; ++i)
        if (hApp == &p->apps[i] && p->apps[i].inUse.load()) return i;
    return -1;
}

NfcApiStatus postAppRequest(const TNfcmanAppReq& request) {
    TNfcManager* p = g_self.load();
    if (!p) return nfcStatusInvalidHandle;
    OsMessage message{};
    message.command = NFCMAN_APP_REQ;
    message.source = p->ownWord & ~MM_WORD_INSTANCE_BITS;
    osMsgSetFields(message, request);
    return osMessageSend(p->ownQueue, &message) == OS_OK ? nfcStatusOk : nfcStatusStartFailed;
}

NfcApiStatus releaseApp(void* hApp) {
    if (findApp(hApp) < 0) {
        TRACE(TRC_ERROR, "! nfaceRelease: app %p is not registered", hApp);
        return nfcStatusInvalidHandle;
    }
    const NfcApiStatus status = postAppRequest(TNfcmanAppReq{{}, hApp, NFACE_RELEASE_REQ});
    if (status == nfcStatusStartFailed) TRACE(TRC_ERROR, "! nfaceRelease: no mem %d", 0);
    return status;
}

void giveUp(void* hApp, const void* userHandle, uint16_t request) {
    const int index = findApp(hApp);
    if (index < 0 || request == 0) return;
    PlatLockGuard g(nfcmanCallerLock());
    if (g_givenUp[index].owner == userHandle) g_givenUp[index].newest = request;
}

const TNfaceManagerLink& managerLink(uint32_t moduleWord) {
    static TNfaceManagerLink link;
    link = TNfaceManagerLink{NFCMAN_QUEUE_NAME, moduleWord & ~MM_WORD_INSTANCE_BITS, &findApp, &releaseApp, &giveUp};
    return link;
}

// ---- Taking a message -----------------------------------------------------------------------

void storePools(TNfcManager* p) {
    const auto f = osMsgFields<MmLinkProtocolFields>(p->msg);
    p->usPool = f.pool1;
    if (p->dsPool == 0) p->dsPool = f.pool2;
    TRACE(NFCMAN_TRACE, "%s LINK_PROTOCOL, uspool=0x%X, dspool=0x%X", kPrefix, p->usPool, p->dsPool);
}

void timerExpired(TNfcManager* p) {
    const auto f = osMsgFields<HwTimerFields>(p->msg);
    static constexpr uint16_t kTimerEvents[NFCMAN_TIMERS] = {EV_NFCMAN_TIMER_LISTENPHASE, EV_NFCMAN_TIMER_POLLCARD,
                                                             EV_NFCMAN_TIMER_HEALTHMONITOR};
    if (f.timerId >= NFCMAN_TIMERS) {
        TRACE(TRC_ERROR, "%s ! Unknown timer ID %#X", kPrefix, f.timerId);
        return;
    }
    // An expiry that crossed a reset of its timer is late: the timer no longer runs.
    if (!p->timerRunning[f.timerId] || p->timerChannel[f.timerId] != f.channel) {
        TRACE(NFCMAN_TRACE, "%s late expiry of timer %d ignored", kPrefix, f.timerId);
        return;
    }
    p->timerRunning[f.timerId] = false;
    nfcmanPostEvent(p, kTimerEvents[f.timerId]);
}

// The release the message carries becomes the taken request; false when it names no application.
bool takeRelease(TNfcManager* p) {
    const auto r = osMsgFields<TNfcmanAppReq>(p->msg);
    const int index = findApp(r.hApp);
    if (index < 0 || p->apps[index].tag != NFCMAN_APP_TAG) {
        TRACE(TRC_ERROR, "%s ! PH_DATA_REQ ill app %p command 0x%X", kPrefix, r.hApp, r.code);
        return false;
    }
    p->taken = TNfcmanRequest{&p->apps[index], NFACE_RELEASE_REQ, 0, NFCMAN_MODE_RELEASE};
    return true;
}

void appRequest(TNfcManager* p) {
    const auto r = osMsgFields<TNfcmanAppReq>(p->msg);
    if (r.code == NFACE_REGISTER_REQ) {
        nfcmanPostEvent(p, EV_NFCMAN_REGISTER_REQ);
        return;
    }
    if (r.code != NFACE_RELEASE_REQ) {
        TRACE(TRC_ERROR, "%s ! unhandled msg 0x%X (app 0x%p) length %d", kPrefix, r.code, r.hApp,
              static_cast<int>(sizeof r));
        return;
    }
    if (takeRelease(p)) nfcmanPostEvent(p, EV_NFCMAN_RELEASE_REQ);
}

// The application of a message of the NFC API queue: 0 none, else its entry index + 1.
int senderIndex(const OsMessage& m) {
    return mmWordName(m.source) == NFCMAN_QUEUE_NAME ? mmWordInstance(m.source) : 0;
}

bool givenUpBeforeServed(TNfcManager* p) {
    {
        PlatLockGuard g(nfcmanCallerLock());
        if (!nfcmanGivenUp(p->taken)) return false;
    }
    TRACE(NFCMAN_TRACE, "%s request 0x%X %u given up by its application before it was served, dropped", kPrefix,
          p->taken.code, p->taken.id);
    return true;
}

// Notes the request the message carries and its application; false when the message is dropped.
bool noteSender(TNfcManager* p) {
    const OsMessage& m = p->msg;
    const int index = senderIndex(m);
    if (index == 0) return true;
    if (index > NFCMAN_APPS) {
        TRACE(TRC_ERROR, "%s ! bad app index %d > %d", kPrefix, index, NFCMAN_APPS);
        return false;
    }
    TNfcmanApp* app = &p->apps[index - 1];
    if (!app->inUse) {
        TRACE(TRC_ERROR, "%s ! message 0x%X of application %d, which is not registered", kPrefix, m.command, index);
        return false;
    }
    // An LLCP primitive is answered by LLCP with its own number: it is no request of the manager's.
    // Nor is a cancel: it names a request of the application's that came before.
    if (isLlcpCode(m.command) || m.command == NFACE_CANCEL_REQ) {
        p->taken.app = app;
        return true;
    }
    p->taken = TNfcmanRequest{app, m.command, m.spare, NFCMAN_MODE_NONE};
    if (givenUpBeforeServed(p)) return false;
    // The device serves one application's request at a time.
    if (isTagRequest(m.command) && p->onDevice.code != 0 && p->onDevice.app != app) {
        TRACE(TRC_ERROR, "%s ! Received message while transaction is pending", kPrefix);
        TRACE(TRC_ERROR, "%s ! reject message for app 0x%p", kPrefix, static_cast<void*>(app));
        nfcmanRefuseTaken(p, nfcCauseWrongState);
        return false;
    }
    return true;
}

// A request its caller gave up: not started, it is dropped; started, it runs to its end on the
// device, and its answer goes nowhere.
void cancel(TNfcManager* p) {
    TNfcmanApp* app = p->taken.app;
    const uint16_t id = p->msg.spare;
    TRACE(NFCMAN_TRACE, "%s request %u given up by its application", kPrefix, id);
    for (uint8_t n = 0; n < p->parkedCount; ++n) {
        OsMessage& parked = p->parked[(p->parkedHead + n) % NFCMAN_PARKED];
        if (parked.spare != id || senderIndex(parked) != nfcmanAppIndex(p, app) + 1) continue;
        TRACE(NFCMAN_TRACE, "%s queued request 0x%X %u dropped", kPrefix, parked.command, id);
        parked.command = 0;     // a hole, passed over when the queue is taken
    }
    for (TNfcmanRequest* r : {&p->onDevice, &p->io})
        if (r->app == app && r->id == id) r->id = 0;
    if (app->listenRequest == id) app->listenRequest = 0;
}

void take(TNfcManager* p, const OsMessage& message) {
    p->msg = message;
    p->taken = TNfcmanRequest{};
    if (!noteSender(p)) return;
    const uint16_t command = message.command;
    switch (command) {
    case MM_LINK_PROTOCOL: storePools(p); return;
    case HW_TIMER_EXPIRED: timerExpired(p); return;
    case NFCMAN_APP_REQ: appRequest(p); return;
    case NFC_SE_IND: nfcmanSecureElementIndication(p); return;
    case NFACE_CANCEL_REQ: cancel(p); return;
    default: break;
    }
    if (isLlcpCode(command)) {
        if (nfaceGoesDown(command)) nfcmanLlcpForward(p);
        else nfcmanLlcpUpward(p);
        return;
    }
    uint16_t event = eventOf(command);
    if (event == 0) {
        TRACE(TRC_ERROR, "%s ! Unknown command %#x, no matching event found", kPrefix, command);
        return;
    }
    if (event == EV_NFCMAN_TECH_REMOVE_IND) event = EV_NFCMAN_DEVICE_IND;
    if (event == EV_NFCMAN_DEVICE_IND) {
        const TNfcTagInfo* device = command == NFCLL_DEVICE_IND ? nfcllMsgGet<NFCLL_DEVICE_IND>(message).device : nullptr;
        const uint16_t cause = command == NFCLL_DEVICE_IND ? nfcllMsgGet<NFCLL_DEVICE_IND>(message).cause
                                                           : nfcllMsgGet<NFCLL_TECH_REMOVE_IND>(message).cause;
        TRACE(NFCMAN_TRACE, "%s DEVICE_IND cause=%#x tagtype=%#x cmd=0x%X", kPrefix, cause,
              device ? device->tagType : 0u, command);
    }
    nfcmanPostEvent(p, event);
}

// The states whose entry takes what was parked.
bool takesParked(SmHandler state) {
    return state == &nfcmanStateIdle || state == &nfcmanStateListenConfirmed || state == &nfcmanStateLegacyTag ||
           state == &nfcmanStateNdefTag;
}

// Takes the oldest parked request, passing over those that were given up.
void takeParked(TNfcManager* p) {
    while (p->parkedCount) {
        const OsMessage message = p->parked[p->parkedHead];
        p->parkedHead = static_cast<uint8_t>((p->parkedHead + 1) % NFCMAN_PARKED);
        --p->parkedCount;
        if (message.command == 0) continue;
        const uint16_t event = message.command == NFCMAN_APP_REQ ? uint16_t{EV_NFCMAN_RELEASE_REQ} : eventOf(message.command);
        if (event == 0) {
            TRACE(TRC_ERROR, "%s ! Found invalid queued event 0x%X", kPrefix, message.command);
            return;
        }
        TRACE(NFCMAN_TRACE, "%s Found queued request 0x%X", kPrefix, event);
        take(p, message);
        return;
    }
}

void nfcmanTask(void* instance) {
    auto* p = static_cast<TNfcManager*>(instance);
    OsMessage message{};
    if (osMessageReceive(p->ownQueue, &message) != OS_OK) return;
    take(p, message);
    smProcessEvents(&p->sm);
    // Whatever the states did with it, a buffer the indication brought is given back.
    nfcmanReleaseL1Buffer(message);
    // A state that takes parked requests gets them once this message is through, so that no
    // request is taken in the middle of another one's handling: each gets one look, oldest first,
    // while the state still takes them. One that has to wait again stays for the next.
    while (p->takeParked) {
        p->takeParked = false;
        for (size_t looks = p->parkedCount; looks && p->parkedCount; --looks) {
            takeParked(p);
            smProcessEvents(&p->sm);
            if (!takesParked(p->sm.current)) break;
        }
    }
    p->taken = TNfcmanRequest{};
}

void sendTimer(TNfcManager* p, uint16_t command, uint8_t id, uint32_t ms) {
    OsMessage message{};
    message.command = command;
    message.source = p->ownWord;
    osMsgSetFields(message, HwTimerFields{id, p->timerChannel[id], 0, 0, ms / HW_TIMER_TICK_MS});
    if (osMessageSend(p->timerQueue, &message) != OS_OK) TRACE(TRC_ERROR, "%s ! timer %d not sent", kPrefix, id);
}

} // namespace

// ---- Start-up -------------------------------------------------------------------------------

OsResult nfcmanRegister(uint16_t readerType) {
    g_readerType = readerType;
    static_assert(sizeof(TNfcManager) <= 0xFFFF, "the instance fits a module segment");
    return osModuleRegister(NFCMAN_QUEUE_NAME, sizeof(TNfcManager), &nfcmanInit, &nfcmanExit, MM_TYPE_TASK);
}

int32_t nfcmanInit(void* segment, uint32_t moduleWord) {
    auto* p = new (segment) TNfcManager{};
    p->ownWord = moduleWord;
    p->readerType = g_readerType.load();
    p->initStatus = NFCMAN_INIT_PENDING;
    p->pollPeriodMs = NFCMAN_POLL_PERIOD_MS;
    p->deviceList[0] = &p->device;
    nfcmanResetWheel(p);
    for (TNfcmanApp& app : p->apps) app.owner = p;
    {
        PlatLockGuard g(nfcmanCallerLock());
        for (GivenUp& entry : g_givenUp) entry = GivenUp{};
    }
    if (osTaskCreate(p, &nfcmanTask, moduleWord, &p->ownQueue) != OS_OK || osGetTimerQueueID(&p->timerQueue) != OS_OK) {
        TRACE(TRC_ERROR, "%s ! task not created", kPrefix);
        return -1;
    }
    smRegisterEventNames(NFCMAN_EVENT_CLASS, static_cast<uint16_t>(std::size(kEventNames)), kEventNames);
    thInstallSubtypes();
    nfcmanSetStackBytes(0, 0);
    g_self = p;
    nfaceAttachManager(&managerLink(moduleWord));
    nfcmanStartMachine(p);
    return 0;
}

void nfcmanExit(void* segment) {
    auto* p = static_cast<TNfcManager*>(segment);
    if (g_self.load() == p) {
        nfaceAttachManager(nullptr);
        g_self = nullptr;
    }
    nfcmanFreeActionBuffer(p);
    nfcmanFreeIoBuffers(p);
    nfcmanFreeLentIoBuffers(p);
    p->~TNfcManager();
}

NfcApiStatus nfcmanRegisterApplication(const TNfaceRegistration& registration) {
    if (!g_self.load()) {
        TRACE(TRC_ERROR, "! nfaceRegister: cannot find NFC API queue");
        return nfcStatusInvalidHandle;
    }
    const NfcApiStatus status = postAppRequest(TNfcmanAppReq{registration, nullptr, NFACE_REGISTER_REQ});
    if (status != nfcStatusOk) TRACE(TRC_ERROR, "! nfcapiRegister: no mem %d", 0);
    return status;
}

// ---- Shared helpers -------------------------------------------------------------------------

const char* nfcmanAppStateName(uint32_t state) {
    return state < std::size(kAppStateNames) ? kAppStateNames[state] : "undefined";
}

void nfcmanSetAppState(TNfcmanApp* app, uint32_t state) {
    TRACE(NFCMAN_TRACE, "%s change application state %s => %s", kPrefix, nfcmanAppStateName(app->state),
          nfcmanAppStateName(state));
    app->state = state;
}

int nfcmanAppIndex(const TNfcManager* p, const TNfcmanApp* app) { return app ? static_cast<int>(app - p->apps) : -1; }

uint32_t nfcmanElapsed(const TNfcManager* p) { return platTickMs() - p->startTick; }

void nfcmanPostEvent(TNfcManager* p, uint16_t event) {
    if (!smPostEvent(&p->sm, event)) TRACE(TRC_ERROR, "%s ! event ring full, %s lost", kPrefix, smEventName(event));
}

bool nfcmanSendTo(TNfcManager* p, uint16_t queue, const OsMessage& message) {
    OsMessage copy = message;
    copy.source = p->ownWord;
    const OsResult result = osMessageSend(queue, &copy);
    if (result != OS_OK) TRACE(TRC_ERROR, "%s ! dsDispatcher: Sending message failed: %d", kPrefix, result);
    return result == OS_OK;
}

bool nfcmanSendL1(TNfcManager* p, const OsMessage& message) { return nfcmanSendTo(p, p->l1Queue, message); }

void nfcmanSetTimer(TNfcManager* p, uint8_t id, uint32_t ms) {
    if (p->timerRunning[id]) return;
    TRACE(NFCMAN_TRACE, "%s nfcmanSetTimer, timerID %d [ms]=%d", kPrefix, id, static_cast<int>(ms));
    p->timerRunning[id] = true;
    sendTimer(p, HW_TIMER_START, id, ms);
}

void nfcmanResetTimer(TNfcManager* p, uint8_t id) {
    if (!p->timerRunning[id]) return;
    TRACE(NFCMAN_TRACE, "%s nfcmanResetTimer, timerID %d", kPrefix, id);
    sendTimer(p, HW_TIMER_STOP, id, 0);
    p->timerRunning[id] = false;
    ++p->timerChannel[id];
}

void nfcmanRestartTimer(TNfcManager* p, uint8_t id, uint32_t ms) {
    TRACE(NFCMAN_TRACE, "%s nfcmanRestartTimer, timerID %d [ms]=%d", kPrefix, id, static_cast<int>(ms));
    sendTimer(p, p->timerRunning[id] ? HW_TIMER_RESTART : HW_TIMER_START, id, ms);
    p->timerRunning[id] = true;
}

bool nfcmanPark(TNfcManager* p) {
    const OsMessage message = p->msg;
    if (p->parkedCount == NFCMAN_PARKED) {
        TRACE(TRC_ERROR, "%s ! no room to queue request 0x%X", kPrefix, message.command);
        nfcmanRefuseTaken(p, nfcCauseWrongState);
        return false;
    }
    TRACE(NFCMAN_TRACE, "%s Queueing request", kPrefix);
    p->parked[(p->parkedHead + p->parkedCount) % NFCMAN_PARKED] = message;
    ++p->parkedCount;
    // It is answered when it is taken again.
    p->taken = TNfcmanRequest{};
    return true;
}

void nfcmanRefuseTaken(TNfcManager* p, uint16_t cause) { nfcmanAnswerRequest(p, p->taken, cause); }

void nfcmanTakeParked(TNfcManager* p) {
    if (p->parkedCount) p->takeParked = true;
}

void nfcmanDropParked(TNfcManager* p, uint16_t cause) {
    while (p->parkedCount) {
        const OsMessage message = p->parked[p->parkedHead];
        p->parkedHead = static_cast<uint8_t>((p->parkedHead + 1) % NFCMAN_PARKED);
        --p->parkedCount;
        if (message.command == 0) continue;
        TRACE(TRC_ERROR, "%s ! Found queued message, discarding it", kPrefix);
        p->msg = message;
        if (message.command == NFCMAN_APP_REQ) {
            // A release waits for nothing the reset leaves: it is confirmed now.
            if (takeRelease(p)) nfcmanReleaseNow(p, nfcCauseOk);
            continue;
        }
        // Its application still waits: it learns that the request ended.
        const int index = senderIndex(message);
        if (index < 1 || index > NFCMAN_APPS || !p->apps[index - 1].inUse) continue;
        TNfcmanRequest request{&p->apps[index - 1], message.command, message.spare, NFCMAN_MODE_NONE};
        nfcmanAnswerRequest(p, request, cause);
    }
}

void nfcmanForgetParked(TNfcManager* p, const TNfcmanApp* app) {
    for (uint8_t n = 0; n < p->parkedCount; ++n) {
        OsMessage& parked = p->parked[(p->parkedHead + n) % NFCMAN_PARKED];
        if (parked.command == 0 || senderIndex(parked) != nfcmanAppIndex(p, app) + 1) continue;
        TRACE(NFCMAN_TRACE, "%s queued request 0x%X of a released application dropped", kPrefix, parked.command);
        parked.command = 0;
    }
}

void nfcmanAnswer(TNfcManager* p, TNfcmanRequest& request, TnfcapiMsg message) {
    const TNfcmanRequest r = request;
    request = TNfcmanRequest{};
    if (!r.app || r.id == 0) {
        TRACE(NFCMAN_TRACE, "%s answer 0x%X of request 0x%X not sent, nobody waits for it", kPrefix, message.code, r.code);
        return;
    }
    message.request = r.id;
    nfcmanSendUsMessage(p, r.app, message);
}

TNfcmanApp* nfcmanHolder(TNfcManager* p) {
    for (TNfcmanApp& app : p->apps)
        if (app.inUse && app.deviceIndicated) return &app;
    return nullptr;
}

void nfcmanStartGivenUp(const TNfcmanApp* app) {
    PlatLockGuard g(nfcmanCallerLock());
    g_givenUp[nfcmanAppIndex(app->owner, app)] = GivenUp{app->userHandle, 0};
}

PlatLock& nfcmanCallerLock() {
    static PlatLock lock;
    static const bool made = (lock.create(), true);
    (void)made;
    return lock;
}

bool nfcmanGivenUp(const TNfcmanRequest& request) {
    if (!request.app || request.id == 0) return false;
    const int index = nfcmanAppIndex(request.app->owner, request.app);
    const uint16_t newest = g_givenUp[index].newest;
    // Identities count up and wrap: within half the range, the newer one is ahead.
    return newest != 0 && static_cast<int16_t>(newest - request.id) >= 0;
}

void nfcmanFreeActionBuffer(TNfcManager* p) {
    osMemoryRelease(p->actionBuffer);
    p->actionBuffer = nullptr;
    p->actionSize = 0;
}

void nfcmanFreeIoBuffers(TNfcManager* p) {
    osMemoryRelease(p->ioInput);
    osMemoryRelease(p->ioOutput);
    p->ioInput = nullptr;
    p->ioOutput = nullptr;
    p->ioOutputSize = 0;
}

void nfcmanFreeLentIoBuffers(TNfcManager* p) {
    osMemoryRelease(p->ioLentInput);
    osMemoryRelease(p->ioLentOutput);
    p->ioLentInput = nullptr;
    p->ioLentOutput = nullptr;
}

bool nfcmanCopyActionData(TNfcManager* p, const uint8_t* data, uint16_t length, uint16_t room) {
    nfcmanFreeActionBuffer(p);
    const uint16_t size = length > room ? length : room;
    if (size == 0) return true;
    void* memory = nullptr;
    if (osMemoryAllocate(size, &memory) != OS_OK) {
        TRACE(TRC_ERROR, "%s ! no memory for %d bytes of the request", kPrefix, static_cast<int>(size));
        return false;
    }
    p->actionBuffer = static_cast<uint8_t*>(memory);
    p->actionSize = size;
    if (data && length) std::memcpy(p->actionBuffer, data, length);
    return true;
}
