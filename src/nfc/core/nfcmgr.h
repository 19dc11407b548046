// The NFC manager: the task between the API core and layer 1. It owns the applications and their
// listen masks, brings the controller up, cycles it through the technologies the applications
// listen for, receives detected devices, drives their tag handlers and serialises every
// application request on the one current device. One state machine drives all of it; the
// modules nfcmgr*.cpp share this record.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform.h"

#include "L1/common/nfcllmsg.h"
#include "core/nfacemsg.h"
#include "os/os.h"
#include "th/th_handler.h"
#include "util/sm.h"
#include "util/stackbytes.h"

constexpr uint32_t NFCMAN_TRACE = 0x800;
constexpr int NFCMAN_APPS = 4;
constexpr uint16_t NFCMAN_APP_TAG = 0x5041;        // "AP"
constexpr uint16_t NFCMAN_INIT_PENDING = 0xFFFF;
constexpr int NFCMAN_WHEEL_ENTRIES = 12;
constexpr int NFCMAN_ENDPOINTS = 5;
constexpr int NFCMAN_PARKED = 8;                   // requests that wait for a state that takes them
constexpr uint32_t NFCMAN_POLL_PERIOD_MS = 1000;
constexpr uint32_t NFCMAN_HM_PERIOD_MS = 1200;

// Commands of the manager's own queue besides the message tables.
enum : uint16_t {
    NFCMAN_APP_REQ = 0x8603,        // a registration or release from the API core
    NFCMAN_LLCP_SET_PARAMETER = 0xC2,
    NFCMAN_DL_DEACT_IND = 0x289,
};

// The events of the manager's machine and the commands that raise them (0: raised inside).
#define NFCMAN_EVENTS(X)                          \
    X(LINK_PROTOCOL, 0xC1)                        \
    X(BUILD_PROTOCOL_STACK_CONF, 0xCA)            \
    X(ACT_CONF, 0x8648)                           \
    X(LLCP_TRIGGER_IND, 0xA164)                   \
    X(NFCLL_ERROR_IND, 0x868F)                    \
    X(LISTEN_CONF, 0x864D)                        \
    X(ENDPOINT_IND, 0x86AA)                       \
    X(SELECT_CONF, 0x867B)                        \
    X(DEVICE_IND, 0x86BA)                         \
    X(DEVICE_CONF, 0xA012)                        \
    X(TRANSACTION_IND, 0x86B9)                    \
    X(TECH_REMOVE_IND, 0x86BC)                    \
    X(CHECK_CONF, 0x867A)                         \
    X(US_QUEUE_ID_CONF, 0x867E)                   \
    X(PH_DATA_IND, 0x183)                         \
    X(PH_RESET_CONF, 0x145)                       \
    X(DL_DEACT_IND, 0x289)                        \
    X(NDEF_CHECK_CONF, 0xA182)                    \
    X(IOCONTROL_CONF, 0x867F)                     \
    X(HEALTHMON_IND, 0x86C0)                      \
    X(RF_FIELD_IND, 0x86B8)                       \
    X(NFCLL_RELEASE_IND, 0x8692)                  \
    X(REGISTER_REQ, 0xA081)                       \
    X(RELEASE_REQ, 0xA091)                        \
    X(LISTEN_REQ, 0xA001)                         \
    X(SELECT_REQ, 0xA211)                         \
    X(READ_REQ, 0xA031)                           \
    X(WRITE_REQ, 0xA041)                          \
    X(FORMAT_REQ, 0xA021)                         \
    X(TRANSACTION_REQ, 0xA051)                    \
    X(IOCONTROL_REQ, 0xA191)                      \
    X(TEST_REQ, 0xA061)                           \
    X(SET_READONLY_REQ, 0xA0A1)                   \
    X(NDEF_CHECK_REQ, 0xA181)                     \
    X(DEACT_REQ, 0xA201)                          \
    X(NDEFCHECK_FINISHED, 0)                      \
    X(TRANSACTION_FINISHED, 0)                    \
    X(TRANSACTION_ERROR, 0)                       \
    X(TIMER_LISTENPHASE, 0)                       \
    X(TIMER_NDEF_ACTION, 0)                       \
    X(TIMER_POLLCARD, 0)                          \
    X(TIMER_HEALTHMONITOR, 0)                     \
    X(DEV_REMOVE, 0)

constexpr uint16_t NFCMAN_EVENT_CLASS = 3;
#define NFCMAN_EVENT_ENUM(name, command) EV_NFCMAN_##name,
enum NfcmanEvent : uint16_t { EV_NFCMAN_BEFORE_FIRST = (NFCMAN_EVENT_CLASS << 8) - 1, NFCMAN_EVENTS(NFCMAN_EVENT_ENUM) };
#undef NFCMAN_EVENT_ENUM

// Application states, with their trace names.
#define NFCMAN_APP_STATES(X) X(INIT) X(REGISTERED) X(ACTIVATED) X(LISTEN) X(LISTEN_CONF) X(DEV_IND) X(RELEASE) X(RELEASE_CONF)
#define NFCMAN_APP_STATE_ENUM(name) NFCMAN_APPSTATE_##name,
enum NfcmanAppState : uint32_t { NFCMAN_APP_STATES(NFCMAN_APP_STATE_ENUM) };
#undef NFCMAN_APP_STATE_ENUM

// What the NDEF action in progress is.
enum NfcmanMode : uint32_t {
    NFCMAN_MODE_NONE = 0,
    NFCMAN_MODE_WHEEL = 1,
    NFCMAN_MODE_READ = 2,
    NFCMAN_MODE_WRITE = 3,
    NFCMAN_MODE_TRANSACTION = 4,
    NFCMAN_MODE_FORMAT = 5,
    NFCMAN_MODE_READONLY = 6,
    NFCMAN_MODE_RELEASE = 10,
};

enum NfcmanTimer : uint8_t {
    NFCMAN_TIMER_LISTEN = 0,
    NFCMAN_TIMER_POLLCARD = 1,
    NFCMAN_TIMER_HEALTH = 2,
    NFCMAN_TIMERS = 3,
};

// Health-monitor states, with their trace names.
#define NFCMAN_HM_STATES(X) X(IDLE) X(WAITING) X(FINISHED) X(ERROR)
#define NFCMAN_HM_STATE_ENUM(name) NFCMAN_HM_##name,
enum NfcmanHmState : uint32_t { NFCMAN_HM_STATES(NFCMAN_HM_STATE_ENUM) };
#undef NFCMAN_HM_STATE_ENUM

// Listen-mask and tag-type bits the manager reads.
constexpr uint32_t NFCMAN_NDEF_LISTENER = 0x80000000u;     // the application waits for NDEF tags
constexpr uint32_t NFCMAN_NO_READER = NFC_LISTEN_NO_READER;
constexpr uint32_t NFCMAN_KEEP_LISTENING = NFC_LISTEN_KEEP_LISTENING;
constexpr uint32_t NFCMAN_NO_HEALTH_MONITOR = 0x10000000u;
constexpr uint32_t NFCMAN_P2P_DEVICE = 0x3000u;

struct TNfcManager;
struct TNfcmanApp;

// A request of an application that the manager has taken and not yet answered: who asked, what
// it asks, its identity, which the answer carries back, and what it runs as on the device. An
// identity of 0 means that nobody waits for the answer any more: its caller gave it up, left, or
// never waits.
struct TNfcmanRequest {
    TNfcmanApp* app = nullptr;
    uint16_t code = 0;                  // the request's NFACE code; 0: no request
    uint16_t id = 0;
    uint32_t mode = NFCMAN_MODE_NONE;
};

// One application. hApp, as the API core knows it, is the entry's address.
struct TNfcmanApp {
    uint16_t tag;
    std::atomic<uint32_t> inUse;        // read on the callers' threads by the API core's lookups
    uint32_t activationReported;
    uint32_t deviceIndicated;
    uint32_t virtualSe;
    uint32_t listenType;
    TNfcManager* owner;
    void* userHandle;
    void (*callback)(void* instance, const void* message);
    uint32_t state;
    uint16_t listenRequest;             // identity of its listen request still to be answered, 0 none
};

struct TNfcmanWheelEntry {
    uint32_t mask;
    uint16_t minMs;
    uint16_t maxMs;
    uint32_t flags;                     // bit 0: random dwell
};

struct TNfcmanEndpoint {
    uint8_t id;
    uint32_t tagType;
};

struct TNfcManager {
    TStateMachine sm;
    uint32_t ownWord;
    uint16_t ownQueue;
    uint16_t timerQueue;
    uint32_t l1Word;
    uint16_t l1Queue;
    uint16_t llcpQueue;
    uint16_t usPool;
    uint16_t dsPool;
    uint16_t readerType;

    OsMessage msg;                      // the message being handled
    TNfcmanRequest taken;               // the request it carries, while it is being handled
    TNfcmanRequest onDevice;            // the request the current device serves
    TNfcmanRequest io;                  // the I/O control layer 1 has for an application

    bool timerRunning[NFCMAN_TIMERS];
    uint8_t timerChannel[NFCMAN_TIMERS];
    uint32_t hmState;
    uint8_t hmAnswer[3];

    TTagHandler th;
    bool thBound;                       // the handler belongs to the current device

    TNfcmanApp apps[NFCMAN_APPS];
    bool ioPending;                     // layer 1 has an I/O control: an application's or the echo

    TNfcTagInfo device;                 // the current device; type 0 when there is none
    TNfcTagInfo* deviceList[1];
    TNfcTagInfo heldDevice;             // a P2P device waiting for LLCP
    bool probing;                       // a MIFARE Plus candidate is being probed
    uint32_t deviceCount;               // device indications sent, for the traces
    uint16_t result;                    // cause of the last tag-handler result
    uint32_t startTick;

    TNfcListenParam listenParams;

    // The NDEF action; its mode is its request's.
    uint32_t readOffset;
    bool readMore;                      // the last read reported more data
    bool writeMore;                     // the last write part announced more
    uint32_t actionExchanges;           // PDUs the handler sent for the action
    uint8_t* actionBuffer;              // the manager's copy of what an action reads or writes
    uint16_t actionSize;
    uint16_t readSize;                  // room of the caller of a raw transaction

    uint8_t* ioInput;                   // the manager's copies of an I/O control's input and output
    uint8_t* ioOutput;
    uint16_t ioOutputSize;
    uint8_t* ioLentInput;               // the copies of an I/O control the reset gave up: layer 1 may
    uint8_t* ioLentOutput;              // still use them until it answers it or confirms the reset

    TNfcmanEndpoint endpoints[NFCMAN_ENDPOINTS];
    uint8_t endpointCount;

    TNfcCapabilityBlock* capabilities;
    uint32_t supportedMask;
    uint32_t capFlags;
    uint16_t initStatus;

    TNfcmanWheelEntry wheel[NFCMAN_WHEEL_ENTRIES];
    uint8_t wheelIndex;
    uint32_t globalMask;
    uint32_t activeMask;                // the mask last given to layer 1
    bool readerListener;
    bool keepListening;
    uint32_t pollPeriodMs;
    uint16_t lastIoctl;                 // the last I/O-control code sent; 0x1003 stops the wheel

    OsMessage parked[NFCMAN_PARKED];
    uint8_t parkedHead;
    uint8_t parkedCount;
    bool takeParked;                    // a state asked for the next parked request
};

// ---- Start-up ---------------------------------------------------------------------------------
OsResult nfcmanRegister(uint16_t readerType);
int32_t nfcmanInit(void* segment, uint32_t moduleWord);
void nfcmanExit(void* segment);
// Hands an application to the manager: 0 queued, 4 no room, 5 no manager.
NfcApiStatus nfcmanRegisterApplication(const TNfaceRegistration& registration);

// ---- Shared by the manager's modules ----------------------------------------------------------
const char* nfcmanAppStateName(uint32_t state);
void nfcmanSetAppState(TNfcmanApp* app, uint32_t state);
int nfcmanAppIndex(const TNfcManager* p, const TNfcmanApp* app);
uint32_t nfcmanElapsed(const TNfcManager* p);

// Task and queues (nfcmgr.cpp).
void nfcmanPostEvent(TNfcManager* p, uint16_t event);
bool nfcmanSendL1(TNfcManager* p, const OsMessage& message);
bool nfcmanSendTo(TNfcManager* p, uint16_t queue, const OsMessage& message);
void nfcmanSetTimer(TNfcManager* p, uint8_t id, uint32_t ms);
void nfcmanResetTimer(TNfcManager* p, uint8_t id);
void nfcmanRestartTimer(TNfcManager* p, uint8_t id, uint32_t ms);
// Requests that arrive while their state cannot take them wait here.
bool nfcmanPark(TNfcManager* p);
// The next parked request is taken once the message being handled is through.
void nfcmanTakeParked(TNfcManager* p);
void nfcmanDropParked(TNfcManager* p, uint16_t cause);
// Drops the parked requests of the application; nobody answers them.
void nfcmanForgetParked(TNfcManager* p, const TNfcmanApp* app);
// Refuses the request just taken.
void nfcmanRefuseTaken(TNfcManager* p, uint16_t cause);
// Sends the answer to the request's application with the request's identity; the request ends.
// Nobody gets an answer of a request that nobody waits for.
void nfcmanAnswer(TNfcManager* p, TNfcmanRequest& request, TnfcapiMsg message);
// The application that holds the current device, empty for none.
TNfcmanApp* nfcmanHolder(TNfcManager* p);

// A caller that stops waiting may free at once what its request points at: the manager reads a
// request's data in the caller's memory only under this lock, and only while the caller still
// waits.
PlatLock& nfcmanCallerLock();
// A new application of the entry has given up nothing yet.
void nfcmanStartGivenUp(const TNfcmanApp* app);
// Whether the caller of the request gave it up. Caller lock held.
bool nfcmanGivenUp(const TNfcmanRequest& request);
// Runs read() on what the taken request names in its caller's memory, unless the caller gave the
// request up: then nothing is read, nobody waits for its answer any more, and the answer is false.
template <typename Read>
bool nfcmanReadCaller(TNfcManager* p, Read read) {
    PlatLockGuard g(nfcmanCallerLock());
    if (nfcmanGivenUp(p->taken)) {
        p->taken.id = 0;
        return false;
    }
    read();
    return true;
}
// Frees the manager's copies of an action's and an I/O control's data.
void nfcmanFreeActionBuffer(TNfcManager* p);
void nfcmanFreeIoBuffers(TNfcManager* p);
void nfcmanFreeLentIoBuffers(TNfcManager* p);
// Takes a copy of length bytes (none when data is empty); false without memory.
bool nfcmanCopyActionData(TNfcManager* p, const uint8_t* data, uint16_t length, uint16_t room);

// States (nfcmgrstates.cpp).
void nfcmanStartMachine(TNfcManager* p);
uint32_t nfcmanStateStartup(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateActivating(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateIdle(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateListenPending(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateListenConfirmed(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateNdefDetection(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateNdefTag(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateNdefAction(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateLegacyTag(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateTransaction(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateTest(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateCardEmu(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateP2PInit(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateP2P(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateP2PStopped(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateReset(TStateMachine* m, uint16_t event);
uint32_t nfcmanStateError(TStateMachine* m, uint16_t event);
uint32_t nfcmanDefaultHandler(TStateMachine* m, uint16_t event);
SmHandler nfcmanIdleOrListen(const TNfcManager* p);
SmHandler nfcmanTagState(const TNfcManager* p);
SmHandler nfcmanStateAfterCheck(TNfcManager* p);

// Applications and listening (nfcmgrlisten.cpp).
void nfcmanHandleRegister(TNfcManager* p);
void nfcmanRefuseRegistration(TNfcManager* p, uint16_t cause);
// Whether releasing the application changes what the controller listens for: the union of the
// listen masks, or the holder of the device.
bool nfcmanReleaseRestarts(const TNfcManager* p, const TNfcmanApp* app);
// Releases the application of the taken request; true when the release waits for layer 1's
// listen confirmation, which a release that changes nothing the controller does never waits for.
bool nfcmanHandleRelease(TNfcManager* p);
// Releases the application of the taken request at once, confirming with the cause.
void nfcmanReleaseNow(TNfcManager* p, uint16_t cause);
void nfcmanTakeActivation(TNfcManager* p, const TNfcllActConf& conf);
bool nfcmanComputeGlobalMask(TNfcManager* p);
// The listen rules for the current application's LISTEN_REQ.
enum : uint32_t { LISTEN_CONFIRMED = 0x1, LISTEN_CHANGED = 0x2, LISTEN_RELISTEN = 0x4, LISTEN_ERROR = 0x8 };
uint32_t nfcmanListenRequest(TNfcManager* p);
// Answers the application's listen request with the cause; a confirmation moves the application on.
void nfcmanSendListenConf(TNfcManager* p, TNfcmanApp* app, uint16_t cause);
void nfcmanListenConfirmation(TNfcManager* p);
// Confirms every release that waits for the controller.
void nfcmanConfirmReleases(TNfcManager* p);
bool nfcmanAnyAppListening(const TNfcManager* p);
// Sends the next listen request; false when the wheel is stopped.
bool nfcmanRestartWheel(TNfcManager* p);
// The current phase's dwell in ms, 0 for none.
uint32_t nfcmanWheelDwell(TNfcManager* p);
void nfcmanStartWheelTimer(TNfcManager* p);
// Puts the wheel table in its initial form.
void nfcmanResetWheel(TNfcManager* p);
void nfcmanSendListen(TNfcManager* p, uint32_t mask);
uint32_t nfcmanTagTypeToListenMask(uint32_t tagType);
uint32_t nfcmanReaderMask(uint32_t listenMask);
void nfcmanEndpointIndication(TNfcManager* p);

// Devices and requests on them (nfcmgrdevice.cpp). The functions that may move the machine
// answer the next state, empty to stay.
TNfcmanApp* nfcmanCheckMatchedApp(TNfcManager* p, uint32_t tagType, bool onlyPlainListeners);
SmHandler nfcmanDeviceIndication(TNfcManager* p);
SmHandler nfcmanNextStateAfterDevice(TNfcManager* p);
bool nfcmanDeviceToApp(TNfcManager* p, uint16_t cause);
void nfcmanDeviceRemoved(TNfcManager* p);
void nfcmanStartNdefCheck(TNfcManager* p);
void nfcmanReportNdefCheck(TNfcManager* p);
// Starts the tag-handler action of the request; false when it was refused (and answered).
bool nfcmanStartAction(TNfcManager* p);
// An action that ended with 518 after the handler asked the tag: the tag is taken as gone. A
// handler that refused the action without asking (a family without format) leaves it present.
bool nfcmanActionLostTag(const TNfcManager* p);
void nfcmanSendActionConfirmation(TNfcManager* p);
bool nfcmanStartTransaction(TNfcManager* p);
void nfcmanTransactionIndication(TNfcManager* p);
SmHandler nfcmanHandlerTransactionIndication(TNfcManager* p);
void nfcmanStartTest(TNfcManager* p);
void nfcmanCheckConfirmation(TNfcManager* p);
void nfcmanSendTestIndication(TNfcManager* p);
// Ends a raw transaction the tag no longer answers.
void nfcmanEndTransaction(TNfcManager* p, uint16_t cause);
SmHandler nfcmanCardEmuRequest(TNfcManager* p);
void nfcmanCardEmuResponse(TNfcManager* p);
void nfcmanStartP2p(TNfcManager* p);
// Answers the request with its refusal and the cause; it ends.
void nfcmanAnswerRequest(TNfcManager* p, TNfcmanRequest& request, uint16_t cause);
// Answers what waits for the controller with the cause: the device's request and the listens.
void nfcmanRefusePending(TNfcManager* p, uint16_t cause);
// The transaction result a layer-1 indication carries; false when it carries none.
bool nfcmanTransactionResult(const OsMessage& message, uint16_t* cause, const uint8_t** data, uint16_t* length);
void nfcmanReleaseL1Buffer(const OsMessage& message);

// Upward messages (nfcmgrup.cpp).
void nfcmanSendUsMessage(TNfcManager* p, TNfcmanApp* app, TnfcapiMsg message);
void nfcmanDeliver(void (*callback)(void*, const void*), void* userHandle, const TnfcapiMsg& message);
void nfcmanSendActInd(TNfcManager* p, TNfcmanApp* app, uint16_t cause);
void nfcmanSecureElementIndication(TNfcManager* p);
void nfcmanRfFieldIndication(TNfcManager* p);
void nfcmanPhysicalRemoveIndication(TNfcManager* p);
void nfcmanTraceManufacturer(const TNfcTagInfo& device);

// I/O control (nfcmgrioctl.cpp) and the health monitor (nfcmgrhm.cpp).
void nfcmanIoControlRequest(TNfcManager* p);
// The reset's end of a pending I/O control: its requester is answered with 518.
void nfcmanAbandonIoControl(TNfcManager* p);
void nfcmanIoControlConfirmation(TNfcManager* p);
void nfcmanAnswerIoControl(TNfcManager* p, TNfcmanRequest& request, uint16_t cause);
bool nfcmanHmActive(const TNfcManager* p);
void nfcmanHmStart(TNfcManager* p);
void nfcmanHmStop(TNfcManager* p);
void nfcmanHmIdleIndication(TNfcManager* p);
// True when the confirmation belongs to the health monitor.
bool nfcmanHmConfirmation(TNfcManager* p, const TNfcllIoControlConf& conf);
bool nfcmanHmWaiting(const TNfcManager* p);
const char* nfcmanHmStateName(uint32_t state);

// LLCP binding (nfcmgrllcp.cpp).
bool nfcmanBindLlcp(TNfcManager* p);
void nfcmanLlcpSetParameter(TNfcManager* p, uint32_t tagType);
void nfcmanLlcpDeviceResponse(TNfcManager* p, const TNfcTagInfo& device);
void nfcmanLlcpDeactivate(TNfcManager* p);
void nfcmanLlcpForward(TNfcManager* p);
void nfcmanLlcpUpward(TNfcManager* p);
void nfcmanSendUsQueue(TNfcManager* p, uint16_t queue);
