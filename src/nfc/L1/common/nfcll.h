// Layer 1: the task between the NFC manager (or LLCP) above and the com task below. It hosts
// exactly one chip driver, chosen by the reader type, and serves it the link and activation
// state, timers, the P2P transmit queue and receive buffer, the tag-rule bookkeeping, RF-field
// debouncing and every upward message. The driver plugs in through TNfcllMiniport.
#pragma once

#include <cstdint>

#include "L1/common/nfcllmsg.h"
#include "corvane.h"
#include "os/os.h"

constexpr uint16_t NFCLL_TIMER_COUNT = 15;        // layer 1's own, then the drivers' (up to id 14)
constexpr uint16_t NFCLL_RX_BUFFER_SIZE = 2051;
constexpr uint16_t NFCLL_FRAGMENT_PN53X = 240;
constexpr uint16_t NFCLL_DEFERRED_MAX = 8;       // upward messages held while a device indication waits
constexpr uint16_t NFCLL_TX_QUEUE_MAX = 16;      // P2P frames waiting behind the one being sent
constexpr uint32_t NFCLL_FIELD_DEBOUNCE_MS = 130;

// Reader-type families.
enum : uint16_t { NFCLL_FAMILY_PN53X = 0x100, NFCLL_FAMILY_ETSI = 0x200, NFCLL_FAMILY_NCI = 0x400 };

// Layer-1 task ids (queue names) by family.
enum : uint8_t { NFCLL_TASK_PN53X = 179, NFCLL_TASK_ETSI = 181, NFCLL_TASK_NCI = 183 };

enum NfcllState : uint32_t {
    NFCLL_STATE_IDLE = 0,
    NFCLL_STATE_RESETTING = 1,
    NFCLL_STATE_ACTIVATING = 2,
    NFCLL_STATE_ACTIVE = 3,
    NFCLL_STATE_RESET_REQUESTED = 4,
    NFCLL_STATE_DEACTIVATED = 5,
    NFCLL_STATE_RELEASED = 6,
};

enum : uint32_t { NFCLL_LINK_DOWN = 0, NFCLL_LINK_ACTIVE = 1, NFCLL_LINK_RELEASED = 2 };

// Flags word.
enum : uint32_t {
    NFCLL_FLAG_CHECK_PENDING = 0x1,
    NFCLL_FLAG_LISTEN_PENDING = 0x2,
    NFCLL_FLAG_PN53X_4 = 0x4,
    NFCLL_FLAG_MF_AUTH = 0x8,
    NFCLL_FLAG_PN53X_10 = 0x10,
    NFCLL_FLAG_DEVICE_IND_PENDING = 0x20,
    NFCLL_FLAG_PN53X_40 = 0x40,
    NFCLL_FLAG_RF_FIELD = 0x80,
    NFCLL_FLAG_RF_FIELD_REPORTED = 0x100,
    NFCLL_FLAG_HEALTH_MONITOR = 0x200,
    NFCLL_FLAG_ACTIVITY_CHECK = 0x400,
};

// Timer ids of layer 1; drivers use 2 and above.
enum : uint8_t { NFCLL_TIMER_ACTIVATION = 0, NFCLL_TIMER_RF_FIELD = 1 };

// Bits of the NFC trace word.
enum : uint32_t {
    NFCLL_TRC_STARTUP = 0x1,
    NFCLL_TRC_CONF = 0x2,
    NFCLL_TRC_ERROR = 0x4,
    NFCLL_TRC_TIMER = 0x400,
    NFCLL_TRC_P2P = 0x80000,
    NFCLL_TRC_STATE = 0x200000,
    NFCLL_TRC_DUMP = 0x400000,
};

// Causes layer 1 gives.
enum : uint16_t {
    NFCLL_CAUSE_OK = 0,
    NFCLL_CAUSE_NO_DRIVER = 5,
    NFCLL_CAUSE_WRONG_STATE = 7,
    NFCLL_CAUSE_INVALID_DATA = 0x0B,
    NFCLL_CAUSE_NO_RESOURCES = 12,      // also: the driver has no initialisation step
    NFCLL_CAUSE_AUTH_FAILED = 19,
    NFCLL_CAUSE_PENDING = 25,
    NFCLL_CAUSE_ACT_TIMEOUT = 264,
    NFCLL_CAUSE_LINK_LOST = 518,
};

constexpr uint32_t NFCLL_TAG_MIFARE_CLASSIC = 0x7000030;
constexpr uint32_t NFCLL_TAG_ULTRALIGHT = 0x40;

struct TNfcllContext;

// The chip driver's operations; an empty slot is skipped.
struct TNfcllMiniport {
    uint16_t (*initializationStep)(TNfcllContext* ll, TNfcCapabilityBlock* capabilities);
    void (*chipDone)(TNfcllContext* ll);
    void (*dataIndication)(TNfcllContext* ll, const uint8_t* buffer, uint16_t length, uint16_t offset);
    void (*listenRequest)(TNfcllContext* ll, uint32_t mask, const TNfcListenParam* params);
    void (*transactionRequest)(TNfcllContext* ll, const uint8_t* data, uint16_t length, uint32_t timeout);
    void (*ioControlRequest)(TNfcllContext* ll, uint32_t code, void* instance, uint32_t timeout, const uint8_t* input,
                             uint16_t inputLength, uint8_t* output, uint16_t outputSize);
    void (*selectRequest)(TNfcllContext* ll, uint8_t endpoint);
    void (*timerExpired)(TNfcllContext* ll, uint8_t timerId);
    void (*lineSignal)(TNfcllContext* ll, uint32_t parameter);
    void (*hwioParamConf)(TNfcllContext* ll, void* buffer, uint16_t value);
    uint32_t (*linkProtocol)(TNfcllContext* ll);
    uint32_t (*otherMessage)(TNfcllContext* ll);      // 0: handled
    void (*phResetRequest)(TNfcllContext* ll);
    void (*checkRequest)(TNfcllContext* ll, const uint8_t* data, uint16_t length);
};

struct TNfcllTimer {
    uint8_t running;
    uint8_t channel;        // bumped on every reset, so that a late expiry is recognised
};

// A P2P frame being sent in fragments.
struct TNfcllTransmit {
    uint32_t flags;         // NFCLL_MSG_OWNS_BUFFER: released once sent
    uint16_t offset;
    uint16_t length;
    uint8_t* buffer;
    uint16_t sent;
};

// The P2P frame being received.
struct TNfcllReceive {
    uint16_t length;
    uint8_t* buffer;        // NFCLL_RX_BUFFER_SIZE bytes of the receive pool
};

// Zeroed by the module manager; the driver's part follows it in the same segment.
struct TNfcllContext {
    uint32_t queueWord;
    OsMessage message;              // the one being handled
    uint16_t queueId;
    uint16_t rxPool;
    uint16_t pool2;
    uint16_t dsQueue;               // the com task
    uint16_t usQueue;               // the NFC manager, or LLCP while a P2P link runs
    uint16_t timerQueue;
    uint16_t readerType;
    uint32_t state;
    uint32_t linkState;
    uint32_t listenMask;
    uint32_t mode;                  // not 0 while a device is active
    uint16_t mfAuthBlock;
    uint8_t ulSectorSelect;         // 0..3
    void* driver;
    TNfcllTimer timers[NFCLL_TIMER_COUNT];
    TNfcllTransactionResult result;
    TNfcTagInfo device;
    OsMessage deferred[NFCLL_DEFERRED_MAX];   // oldest at deferredHead
    uint16_t deferredHead;
    uint16_t deferredCount;
    uint32_t flags;
    TNfcCapabilityBlock capabilities;
    OsMessage txQueue[NFCLL_TX_QUEUE_MAX];    // PH_DATA requests behind the current one
    uint16_t txHead;
    uint16_t txCount;
    TNfcllTransmit tx;
    TNfcllReceive rx;
    TNfcllMiniport miniport;
    uint32_t retryCount;
    // The activity check's two counters: P2P fragments handed to the driver, and frames that had
    // to wait in the transmit queue since the last check; the first as that check saw it.
    uint32_t hmFragments;
    uint32_t hmQueued;
    uint32_t hmFragmentsChecked;
    uint32_t requestTick;           // when the current transaction was asked for
    uint8_t* ioOutput;              // the pending I/O control's output, owned by its requester
    uint16_t ioOutputSize;
    bool initialised;
    uint16_t driverPool;            // the driver's own packet and receive buffers (0: none)
};

// A chip driver's init: fills the miniport slots and its part of the context; 1 when ready.
using TNfcllDriverInit = int32_t (*)(TNfcllContext* ll);

// ---- Module registration and life cycle -----------------------------------------------------
// Registers the layer-1 task of the reader type's family with the module manager. A reader type
// of no family is refused with OS_NOT_FOUND and a "!" trace.
OsResult nfcllRegister(uint16_t readerType);
int32_t nfcllInit(void* segment, uint32_t moduleWord);
void nfcllDone(void* segment);
void nfcllTask(void* instance);
// The driver part of the context.
template <typename T>
T* nfcllDriver(TNfcllContext* ll) {
    return static_cast<T*>(ll->driver);
}
// Lets tests put a driver of their own in place of the family's; empty restores the families'.
void nfcllSetDriverInit(TNfcllDriverInit init, uint16_t driverSize);

// ---- Services for the driver (worker thread, inside its slots) -------------------------------
void nfcllSetState(TNfcllContext* ll, uint32_t state);
void nfcllSetTimer(TNfcllContext* ll, uint8_t timerId, uint32_t ms);
void nfcllRestartTimer(TNfcllContext* ll, uint8_t timerId, uint32_t ms);
void nfcllResetTimer(TNfcllContext* ll, uint8_t timerId);

// Runs the initialisation step again; the activation confirmation goes up once it is done.
void nfcllSendUsActConf(TNfcllContext* ll);

// PH_DATA_REQ to the com task with a buffer of layer 1's receive pool; false when none is free.
bool nfcllSendDsData(TNfcllContext* ll, const uint8_t* data, uint16_t length);
// PH_DATA_REQ with the driver's own pool buffer, which the com task owns from here on: its
// release callback runs once the link below has delivered it (or at once when it is refused).
bool nfcllSendDsDataReq(TNfcllContext* ll, uint8_t* buffer, uint16_t length);

// Upward messages. Those that answer or follow a device indication wait while the NFC manager
// has not yet answered it.
void nfcllSendUs(TNfcllContext* ll, const OsMessage& message);
void nfcllSendUsDeferrable(TNfcllContext* ll, const OsMessage& message);
void nfcllSendUsCause(TNfcllContext* ll, uint16_t code, uint16_t cause);
void nfcllSendUsListenConf(TNfcllContext* ll, uint16_t cause, uint32_t value);
void nfcllSendUsSelectConf(TNfcllContext* ll, uint16_t cause);
void nfcllSendUsDeviceInd(TNfcllContext* ll);
void nfcllSendUsTechRemoved(TNfcllContext* ll, uint16_t cause);
// The answer's bytes are copied into the pending request's output, which the confirmation then
// carries; an answer that does not fit is refused with cause 0x0B.
void nfcllSendUsIoControlConf(TNfcllContext* ll, uint16_t cause, const uint8_t* data, uint16_t length);
void nfcllSendUsEndpointInd(TNfcllContext* ll, uint8_t endpoint, uint32_t tagType, uint32_t last);
void nfcllSendUsSeInd(TNfcllContext* ll, const TNfcllSeInd& indication);
// The link to a device ended below (NFCLL_DEACT_IND); the device record may be empty.
void nfcllSendUsDeactInd(TNfcllContext* ll, const TNfcTagInfo* device);
// A DEP exchange step succeeded: LLCP restarts its link time-out on it.
void nfcllSendUsLlcpTriggerInd(TNfcllContext* ll);

// A transaction's answer. The data are copied into a buffer of the receive pool that travels
// with the indication; data that do not fit are refused with cause 0x0B and no data.
void nfcllSendUsTransactionInd(TNfcllContext* ll, const uint8_t* data, uint16_t cause, uint32_t length);
// The check confirmation without data.
void nfcllSendUsTransactionResult(TNfcllContext* ll, uint16_t cause);

// RF field as the driver sees it; layer 1 debounces the field-off.
void nfcllReportRfField(TNfcllContext* ll, bool on);

// The health monitor's services for the drivers that watch their controller's activity
// themselves. The check marks the activity flag and compares the P2P transmit side with what
// the last check saw: 1 when it moved while a P2P link or a reader is active, else 0. The
// result is the driver's answer to a health-monitor request, taken as the RF field is.
uint32_t nfcllHealthMonCheck(TNfcllContext* ll);
void nfcllHealthMonResult(TNfcllContext* ll, uint32_t value);

// P2P transmit and receive.
void nfcllPushNextP2PFragment(TNfcllContext* ll);
void nfcllPurgeTxQueue(TNfcllContext* ll);
void nfcllStoreP2pRxData(TNfcllContext* ll, uint32_t length, const uint8_t* data, bool more);
bool nfcllPrepareNewRxBuffer(TNfcllContext* ll);
