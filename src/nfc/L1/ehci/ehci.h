// The ETSI HCI controller driver: one instance talks HCP on pipes to the controller's gates,
// brings it up through the administration and identity gates, answers I/O control and runs its
// timers. Everything chip-specific plugs in through the variant hooks and the secure-element
// activator. Every entry runs on the layer-1 task; the instance has no lock.
#pragma once

#include <cstdint>

#include "L1/common/nfcll.h"

constexpr uint32_t EHCI_PIPES = 24;
constexpr uint32_t EHCI_TX_SLOTS = 20;
constexpr uint32_t EHCI_GATES_MAX = 20;
constexpr uint32_t EHCI_RX_SIZE = 262;
constexpr uint32_t EHCI_PACKET_MAX = 28;          // one HCP packet on the link
constexpr uint32_t EHCI_PACKET_BUFFER = 32;
constexpr uint32_t EHCI_DEFERRED_MAX = 4;
constexpr uint32_t EHCI_TRANSACTIONS = 4;        // SE transaction records, each kept until the next round          // host commands waiting for their ANY_OK
constexpr uint8_t EHCI_TIMER_BASE = 7;             // driver timer n is layer-1 timer n + 7
constexpr uint8_t EHCI_TIMER_HEALTH = 6;           // layer 1's health-monitor timer
constexpr uint32_t EHCI_COMMAND_WATCH_MS = 1500;
constexpr uint32_t EHCI_HEALTH_DEFAULT_MS = 5000;
constexpr uint16_t EHCI_CAUSE_FAILED = 0x206;
constexpr uint16_t EHCI_TX_COMPLETED = 0x02E1;     // the layer-1 task's own note of a released TX buffer
// Pipe states that are no step of the start or of the reader operations count from here, so that a
// traced state number never reads as a step it is not.
constexpr uint32_t EHCI_STATE_PRIVATE = 1000;
constexpr uint32_t EHCI_STATE_CHECK = EHCI_STATE_PRIVATE + 1;   // a presence check's command waits for its answer

// Driver timers (index = layer-1 id - 7).
enum : uint8_t { EHCI_TIMER_REDISCOVERY = 0, EHCI_TIMER_WATCHDOG = 1, EHCI_TIMER_SECURE = 2, EHCI_TIMER_IO = 5 };

// Instance flags.
enum : uint32_t {
    EHCI_F_INIT = 0x1,
    EHCI_F_REINIT = 0x2,
    EHCI_F_CREATE_PIPES = 0x10,
    EHCI_F_OWN_IDENTITY = 0x20,
    EHCI_F_UICC_HOST = 0x40,
    EHCI_F_SE_HOST = 0x80,
    EHCI_F_SEVERAL = 0x100,
    EHCI_F_STAY_OPEN = 0x200,
    EHCI_F_CLOSE_ON_STOP = 0x400,
    EHCI_F_WAITING = 0x2000,
    EHCI_F_LISTEN = 0x4000,
    EHCI_F_CANCEL = 0x8000,
    EHCI_F_PN544 = 0x10000,
    EHCI_F_ST21 = 0x20000,
    EHCI_F_ST21B = 0x40000,
    EHCI_F_DEMO = 0x80000,
    EHCI_F_PLAIN = 0x100000,
    EHCI_F_VARIANT = 0x400000,
    EHCI_F_REQUEST_READERS = 0x800000,
    EHCI_F_LISTEN_DIFF = 0x1000000,
    EHCI_F_MODEL_B1 = 0x2000000,
    EHCI_F_FIELD_ON = 0x4000000,
    EHCI_F_IO_PENDING = 0x8000000,
    EHCI_F_DEFERRED_DUE = 0x10000000,
    EHCI_F_SMARTMX = 0x20000000,
    EHCI_F_SE_CLOSED = 0x40000000,
};

// Pipe flags.
enum : uint32_t {
    EHCI_P_OPEN = 0x2,
    EHCI_P_ON_DEMAND = 0x4,
    EHCI_P_DELETE_AFTER_CLOSE = 0x8,
    EHCI_P_RUNNING = 0x10,
    EHCI_P_RX_CONTINUED = 0x20,         // the packet being read continues a message
    EHCI_P_TX_MORE = 0x40,
    EHCI_P_RX_MORE = 0x80,
    EHCI_P_CARD = 0x200,
    EHCI_P_RAW = 0x400,
    EHCI_P_SECURE = 0x800,
    EHCI_P_AUTH = 0x1000,               // a MIFARE authentication is on its way
    EHCI_P_MIFARE_READ = 0x8000,
    EHCI_P_OPENED = 0x10000,
    EHCI_P_CLOSE_ON_STOP = 0x40000,
    EHCI_P_CLOSE_ON_STOP2 = 0x80000,
    EHCI_P_CARD_ACTIVE = 0x100000,
};

// Instructions and message types of HCP.
enum : uint8_t {
    EHCI_ANY_SET_PARAMETER = 0x01,
    EHCI_ANY_GET_PARAMETER = 0x02,
    EHCI_ANY_OPEN_PIPE = 0x03,
    EHCI_ANY_CLOSE_PIPE = 0x04,
    EHCI_ADM_CREATE_PIPE = 0x10,
    EHCI_WR_XCHG_DATA = 0x10,
    EHCI_ADM_DELETE_PIPE = 0x11,
    EHCI_ADM_CLEAR_ALL_PIPE = 0x14,
    EHCI_EVT_TARGET_DISCOVERED = 0x10,
    EHCI_EVT_HOT_PLUG = 0x03,
    EHCI_EVT_POST_DATA = 0x02,
    EHCI_EVT_READER_REQUESTED = 0x10,
    EHCI_EVT_SEND_DATA = 0x10,           // on card pipes
    EHCI_EVT_END_OPERATION = 0x11,
    EHCI_TYPE_COMMAND = 0x00,
    EHCI_TYPE_EVENT = 0x40,
    EHCI_TYPE_RESPONSE = 0x80,
    EHCI_CB = 0x80,
};

// Gates the frame creates pipes to.
enum : uint8_t { EHCI_GATE_LOOPBACK = 0x04, EHCI_GATE_IDENTITY = 0x05 };

// The instance's up-calls, each mapped onto a layer-1 service by ehciCallBack.
enum EhciCallBackEvent : uint32_t {
    EV_EHCI_INIT_DONE = 1,
    EV_EHCI_GET_BUFFER = 2,
    EV_EHCI_GET_TX_BUFFER = 3,
    EV_EHCI_RELEASE_BUFFER = 4,
    EV_EHCI_SEND = 5,
    EV_EHCI_READER_RESPONSE = 6,
    EV_EHCI_P2P_DATA = 7,
    EV_EHCI_TRANSACTION_TIMEOUT = 8,
    EV_EHCI_TRANSACTION_FAILED = 9,
    EV_EHCI_LISTEN_CONF = 10,
    EV_EHCI_LISTEN_CANCELLED = 11,
    EV_EHCI_TARGET_DETECTED = 12,
    EV_EHCI_TIMER_START = 13,
    EV_EHCI_TIMER_STOP = 14,
    EV_EHCI_TIMER_RESTART = 15,
    EV_EHCI_TARGET_REMOVED = 16,
    EV_EHCI_CHIP_FAILURE = 17,
    EV_EHCI_IO_DONE = 18,
    EV_EHCI_SE_TRANSACTION = 19,
    EV_EHCI_TRANSACTION_RESULT = 20,
    EV_EHCI_IDENTIFIER = 22,
    EV_EHCI_LLCP_TRIGGER = 23,
    EV_EHCI_IO_ANSWER = 24,
    EV_EHCI_FIELD = 25,
    EV_EHCI_HM_INTERVAL = 26,
};

struct TEhciInstance;
struct TEhciPipe;

// A message being joined from its packets: the bytes kept so far and the code of its first packet.
struct TEhciJoin {
    uint32_t length;
    uint32_t code;
    bool cut;                    // bytes were lost for want of room
    bool dropped;                // the buffer went before the message was whole: the rest is not taken
};

using TEhciUpCall = uint32_t (*)(void* userData, uint32_t event, void* p, uint32_t len, uintptr_t extra);

struct TEhciPipe {
    TEhciInstance* owner;
    uint8_t id;
    uint32_t state;
    const char* name;
    uint32_t flags;
    uint8_t* rxBuffer;
    uint32_t rxSize;
    TEhciJoin join;              // the message being joined in rxBuffer
    uint8_t lastHeader;
    uint8_t retries;
    uint16_t txPending;
    uint32_t timeout;            // ms
    uint32_t responseTime;       // ms
    uint32_t processMask;
    uint32_t tagType;
    uint8_t answersIgnored;      // commands sent without waiting for their answers, which are dropped
    uint8_t gate;                // what create asks for
    uint8_t adminState;          // the Admin step that answers the creation
    void (*response)(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code);
    void (*event)(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length);
    void (*unused)(TEhciPipe* pipe);
    void (*create)(TEhciPipe* pipe);
    void (*open)(TEhciPipe* pipe);
    void (*stop)(TEhciPipe* pipe);
    // A pipe that frames its messages itself (the PN544's NFC-IP-1 pipes); -1 when nothing went.
    int32_t (*transmit)(TEhciPipe* pipe, const uint8_t* data, uint32_t length);
    uint32_t (*writeHeader)(TEhciPipe* pipe, uint8_t* packet);
};

struct TEhciTxSlot {
    TEhciPipe* pipe;
    uint32_t inUse;
    uint32_t startWatchdog;
    void (*continuation)(TEhciPipe* pipe);
};

// The chip variant's hooks, in slot order; an empty one is skipped.
struct TEhciHooks {
    void (*variantSetup)(TEhciInstance* e);
    void (*listenStop)(TEhciInstance* e);
    void (*listenStartWheel)(TEhciInstance* e);
    void (*adminResponse)(TEhciPipe* admin, const uint8_t* data, uint32_t length, uint32_t code);
    void (*preInit)(TEhciInstance* e);
    void (*startPipes)(TEhciInstance* e);
    void (*loopbackOpened)(TEhciInstance* e);
    int32_t (*checkRequest)(TEhciInstance* e, const uint8_t* data, uint32_t length);
    void (*hostCommand)(TEhciPipe* pipe, uint8_t instruction, const uint8_t* data, uint32_t length);
    int32_t (*deviceIo)(TEhciInstance* e, uint32_t code, const uint8_t* input, uint32_t inputLength, uint8_t* output,
                        uint32_t outputSize);
    uint16_t (*secureHandler)(TEhciInstance* e, uint32_t code, TNfcInfoSE* se, const uint8_t* data, uint32_t length);
    void (*nfcipEvent)(TEhciInstance* e, uint8_t first);
    void (*relisten)(TEhciInstance* e);
};

// The variant's secure-element activator, in slot order.
struct TSeActivatorOps {
    void* (*init)(TEhciInstance* e);
    void (*reset)(void* context);
    int32_t (*timerExpired)(void* context, uint32_t index);
    void (*hotPlug)(void* context, uint8_t first);
    void (*hostList)(void* context, const uint8_t* data, uint32_t length);
    void (*pipeNotification)(void* context, TEhciPipe* pipe);
    void (*enableSe)(void* context, TNfcInfoSE* se);
    void (*disableSe)(void* context, TNfcInfoSE* se);
    void (*secureOpen)(void* context, TNfcInfoSE* se);
    void (*secureClose)(void* context, TNfcInfoSE* se);
    void (*uiccStatus)(void* context, uint32_t status);
};

// The named pipes, pointers into the instance's records.
struct TEhciPipeNames {
    TEhciPipe* admin;
    TEhciPipe* identity;
    TEhciPipe* extra;
    TEhciPipe* readerA;
    TEhciPipe* readerB;
    TEhciPipe* felica;
    TEhciPipe* jewel;
    TEhciPipe* iso15693;
    TEhciPipe* cardA;
    TEhciPipe* cardB;
    TEhciPipe* cardB2;
    TEhciPipe* cardF;
    TEhciPipe* nfcipTarget;
    TEhciPipe* nfcipInitiator;
    TEhciPipe* connectivity;
    TEhciPipe* variant;
    TEhciPipe* se;
    TEhciPipe* ese;
    TEhciPipe* mifare;
    TEhciPipe* loopback;
    TEhciPipe* polling;
    TEhciPipe* variant2;
    TEhciPipe* variant3;
};

struct TEhciInstance {
    uint32_t state;
    uint32_t flags;
    void* userData;
    TEhciUpCall upCall;
    TEhciHooks hooks;
    const TNfcListenParam* listenParams;
    uint32_t listenMask;
    uint32_t lastListenMask;
    uint32_t listenStopMask;
    uint32_t pendingMask;
    uint32_t supportedMask;
    uint32_t requestedMask;
    uint32_t lastTagType;
    TNfcTagInfo tagRecord;
    TNfcTagInfo secondTag;               // the second of several targets, as far as the PN544 read it
    uint32_t rediscoverPending;          // a target went up and its removal is still to be told
    uint32_t presenceCheckActive;
    uint8_t authBlock;
    uint8_t authenticatedBlock;
    uint8_t activated;
    uint32_t retryCount;
    uint32_t stripLastByteMask;
    uint32_t secureTimeout;
    TEhciPipeNames pipes;
    TEhciTxSlot slots[EHCI_TX_SLOTS];
    TEhciPipe* currentPipe;
    TEhciPipe pipe[EHCI_PIPES];
    uint32_t txLength;
    uint32_t txSent;
    const uint8_t* txData;
    TEhciPipe* txResume;                 // a message cut short for want of a buffer
    uint8_t txMessage[EHCI_RX_SIZE];     // the copy that txData points at while it is cut
    uint32_t seReinitIndex;             // the next record to bring back after a reset
    bool seReinitPending;               // its request's answer continues the completion
    uint32_t ioCode;                     // of the I/O control that is pending
    uint8_t* ioBuffer;
    uint32_t ioBufferSize;
    uint8_t* rawBuffer;
    uint32_t rawBufferSize;
    uint32_t commandWatchTimeout;
    TNfcCapabilityBlock* capabilities;
    TNfcInfoSE seRecords[2];
    TNfcInfoSE* currentSe;
    const TSeActivatorOps* seOps;
    void* seContext;
    TEhciPipe* deferredPipe[EHCI_DEFERRED_MAX];   // oldest first
    uint8_t deferredCount;
    uint8_t gateList[EHCI_GATES_MAX];
    uint8_t gateCount;
    uint8_t modelId;
    uint8_t hciVersion;
    uint8_t whiteList[4];
    uint8_t whiteListLength;
    uint8_t sessionIdentity[8];
    uint16_t readerType;
    uint16_t failure;                   // the code of a failed initialisation, 0 when it went well
    uint8_t gather[EHCI_RX_SIZE];       // an Admin or identity answer that came in several packets
    TEhciJoin gatherJoin;
    TEhciPipe* deleting;                // the pipe whose ADM_DELETE_PIPE is answered next
    TNfcTransaction transactions[EHCI_TRANSACTIONS];
    uint8_t nextTransaction;
    uint32_t startTick;                 // ms, when the initialisation began
    uint32_t sentTick;                  // ms, when the last packet left
};

// The driver part of the layer-1 context.
enum : uint32_t { EHCI_DRV_RUNNING = 1, EHCI_DRV_CREATED = 2, EHCI_DRV_RESET_DONE = 3, EHCI_DRV_REPORTED = 4,
                  EHCI_DRV_RESETTING = 5 };
struct TEhciPart {
    uint32_t state;
    TNfcllContext* ll;
    TEhciInstance* instance;
    uint32_t healthInterval;            // ms
    struct TNfcipInstance* nfcip;       // the NFC-DEP engine once a link was handed to it, else null
};

inline TEhciPart* ehciPart(TNfcllContext* ll) { return nfcllDriver<TEhciPart>(ll); }

// ---- Frame (ehci.cpp) ---------------------------------------------------------------------------
int32_t ehciInit(TNfcllContext* ll);
uint32_t ehciCallBack(void* userData, uint32_t event, void* p, uint32_t len, uintptr_t extra);
uint32_t etsiHciCreateInstance(TEhciInstance** handle, uint16_t readerType, void* userData, TNfcCapabilityBlock* caps);
uint32_t etsiHciInitInstance(void* userData, uint32_t reinit, TEhciUpCall upCall, TEhciInstance* e);
void etsiHciReset(TEhciInstance* e);
// The start's steps on the Admin and identity pipes.
void ehciAdminResponse(TEhciPipe* admin, const uint8_t* data, uint32_t length, uint32_t code);
void ehciPreInitCompleted(TEhciInstance* e);
void ehciIdentityResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code);
void ehciSaveIdentity(TEhciInstance* e);
void ehciInitCompleted(TEhciInstance* e);
void ehciInitFailed(TEhciInstance* e, uint32_t code);
// The answer to a secure element's re-initialisation after a reset: true when it was one, and the
// completion went on instead of an I/O-control answer going up.
bool ehciSeReinitAnswered(TEhciInstance* e);
// Lets tests start from a cleared instance.
void ehciResetForTest();
TEhciInstance* ehciInstance();

// ---- HCP, pipes and gates (ehci_hcp.cpp) -------------------------------------------------------------
inline uint32_t ehciUp(TEhciInstance* e, uint32_t event, void* p = nullptr, uint32_t len = 0, uintptr_t extra = 0) {
    return e->upCall(e->userData, event, p, len, extra);
}
void ehciTimerStart(TEhciInstance* e, uint8_t index, uint32_t ms);
void ehciTimerStop(TEhciInstance* e, uint8_t index);
uint32_t ehciWatchdogMs(const TEhciInstance* e);
const char* ehciResponseText(uint32_t code);
void ehciPipeReset(TEhciInstance* e, bool first);
void ehciCreatePipe(const char* name, TEhciPipe* pipe, uint8_t gate, uint32_t adminState);
void ehciOpenPipe(TEhciPipe* pipe);
void ehciClearAllPipes(TEhciInstance* e);
// The command senders return -1 when no completion slot or buffer is free, and send nothing.
int32_t ehciGetParam(TEhciPipe* pipe, uint8_t index, uint32_t nextState);
int32_t ehciSetParam(TEhciPipe* pipe, uint8_t index, const uint8_t* data, uint32_t length, uint32_t nextState);
int32_t ehciSendAnyOk(TEhciPipe* pipe);
// A parameter set whose answer is not waited for: the pipe keeps its state and drops the answer.
int32_t ehciSetParamUnanswered(TEhciPipe* pipe, uint8_t index, const uint8_t* data, uint32_t length);
int32_t ehciSendAdmin(TEhciInstance* e, uint8_t instruction, const uint8_t* data, uint32_t length, uint32_t nextState);
void ehciClosePipe(TEhciPipe* pipe);
// An event, with data when given; no answer is awaited.
int32_t ehciSendEvent(TEhciPipe* pipe, uint8_t event, uint32_t nextState, const uint8_t* data = nullptr,
                      uint32_t length = 0);
// EVT_END_OPERATION; a continuation runs at its TX completion.
int32_t ehciEndOperation(TEhciPipe* pipe, void (*continuation)(TEhciPipe* pipe));
void ehciAdminEvent(TEhciPipe* admin, uint8_t event, const uint8_t* data, uint32_t length);
void etsiHciSendFrame(uint8_t* packet, TEhciPipe* pipe, uint32_t length);
// Cuts the message into packets; the message is copied, so the caller's bytes may go. A message
// longer than EHCI_RX_SIZE is refused whole (false) and nothing goes out.
bool ehciPipeSend(TEhciPipe* pipe, const uint8_t* data, uint32_t length);
// A packet buffer whose TX completion runs the continuation (none when null); null when no
// completion slot or buffer is free.
uint8_t* ehciTakeChainedPacket(TEhciPipe* pipe, uint32_t length, void (*continuation)(TEhciPipe* pipe));
void ehciPipeTransmit(TEhciPipe* pipe);
uint8_t ehciReaderTimeoutByte(uint32_t ms);
// Header writers of a message's first packet (WR_XCHG_DATA and its time-out byte; EVT_SEND_DATA;
// EVT_POST_DATA); they return the packet's header length.
uint32_t ehciReaderHeader(TEhciPipe* pipe, uint8_t* packet);
uint32_t ehciCardHeader(TEhciPipe* pipe, uint8_t* packet);
uint32_t ehciLoopbackHeader(TEhciPipe* pipe, uint8_t* packet);
void etsiHciTxCompleted(TEhciInstance* e, uint32_t slot);
void etsiHciReceiveFrame(TEhciInstance* e, const uint8_t* packet, uint32_t length);
// The pipe's receive buffer of EHCI_RX_SIZE bytes, taken from layer 1 when it has none; false
// when none is free. Its release drops a message that was being joined in it.
bool ehciTakeRxBuffer(TEhciPipe* pipe);
void ehciReleaseRxBuffer(TEhciPipe* pipe);
// The one join of a message's packets (responses and events alike), for the packet just read on
// the pipe: false while more follow, and for a message that was dropped. The first packet starts
// the join afresh; the packets are kept in `into`, cut at `size` bytes. Once the message is whole,
// data and length name all of it and code its first packet's code; a message of one packet passes
// as it is.
bool ehciJoin(TEhciJoin& join, const TEhciPipe* pipe, uint8_t* into, uint32_t size, const uint8_t*& data,
              uint32_t& length, uint32_t& code);
// The join in the pipe's own receive buffer, taken when a message comes in several packets; an
// event passes no code.
bool ehciJoinInPipe(TEhciPipe* pipe, const uint8_t*& data, uint32_t& length, uint32_t& code);
bool ehciJoinInPipe(TEhciPipe* pipe, const uint8_t*& data, uint32_t& length);
// The Admin answers to pipe creations and the variant's own steps.
void ehciCreatedResponse(TEhciPipe* admin, const uint8_t* data, uint32_t length, uint32_t code);
void ehciCreateNextReader(TEhciInstance* e);
// The first pipe, in the passes' bit order, that serves a bit of the mask; null when none does.
TEhciPipe* ehciNextPipe(TEhciInstance* e, uint32_t mask);
void ehciCreateByGate(TEhciPipe* pipe);      // create operation: ADM_CREATE_PIPE to the pipe's gate
void ehciResponseStub(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code);
void ehciEventStub(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length);

// A variant's pipe by record: its name, gate, creation step and listen bit; `always` bits are
// supported whatever the gate list says.
struct TEhciVariantPipe {
    TEhciPipe* TEhciPipeNames::*pipe;
    const char* name;
    uint8_t gate;
    uint8_t adminState;
    uint32_t mask;
    uint32_t flags;
    bool always;
};
// Fills the records from firstRecord on, one per row, with the reader or card operations.
void ehciVariantPipes(TEhciInstance* e, const TEhciVariantPipe* rows, uint32_t count, uint32_t firstRecord);
// The listen bits of the rows whose gates the list names.
uint32_t ehciVariantMask(const TEhciVariantPipe* rows, uint32_t count, const uint8_t* gates, uint32_t gateCount);

// ---- I/O control and timers (ehci_io.cpp) --------------------------------------------------------------
void ehciHandleIoControlReq(TNfcllContext* ll, uint32_t code, void* handle, uint32_t timeout, const uint8_t* input,
                            uint16_t inputLength, uint8_t* output, uint16_t outputSize);
uint32_t etsiHciIoControl(TEhciInstance* e, uint32_t code, NfcSecureHandle handle, uint32_t timeout,
                          const uint8_t* input, uint32_t inputLength, uint8_t* output, uint32_t outputSize);
void ehciHandleTimerExpired(TNfcllContext* ll, uint8_t timerId);
void etsiHciTimerExpired(uint32_t index, TEhciInstance* e);
void etsiHciTxCompletedCallBack(void* slot);
// The layer-1 context whose task handles the completions of released TX buffers.
void ehciTxCompletionsTo(TNfcllContext* ll);
void ehciIoAnswer(TEhciInstance* e, uint16_t cause, const uint8_t* data = nullptr, uint32_t length = 0);
void ehciLoopbackEvent(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length);
void ehciLoopbackResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code);

// ---- Secure-element records (ehci_se.cpp) --------------------------------------------------------------
// Fills record `index` (mode 0) and lists it in the capability block; null when there is no room.
TNfcInfoSE* ehciSeAppend(TEhciInstance* e, uint32_t index, uint16_t caps, uint32_t extra, uint8_t id);
NfcSecureHandle ehciSeHandleById(const TEhciInstance* e, uint8_t id);   // 0 when no listed record has it
TNfcInfoSE* ehciSeByHandle(TEhciInstance* e, NfcSecureHandle handle);

// ---- Reader operations and the listen cycle (ehci_rf.cpp) ----------------------------------------------
void ehciHandleListenReq(TNfcllContext* ll, uint32_t mask, const TNfcListenParam* params);
void ehciHandleTransactionReq(TNfcllContext* ll, const uint8_t* data, uint16_t length, uint32_t timeout);
int32_t etsiHciStartListen(uint32_t mask, TEhciInstance* e, const TNfcListenParam* params);
int32_t etsiHciCancelListen(TEhciInstance* e);
// -1 when nothing could be sent: layer 1 then fails the transaction.
int32_t etsiHciTransceive(uint32_t timeout, TEhciInstance* e, const uint8_t* data, uint32_t length);
int32_t ehciTransactionRequest(TEhciInstance* e, const uint8_t* data, uint32_t length);
uint32_t ehciTypeAIdentify(uint16_t atqa, uint8_t sak, uint32_t uidLength);
// Gives a reader pipe its response, event, open and stop operations.
void ehciRfInstall(TEhciPipe* pipe);
// The target on the pipe is ready: its record goes up and the pipe waits for exchanges.
void ehciTargetReady(TEhciInstance* e, TEhciPipe* pipe, uint32_t type);
void ehciStartNextReader(TEhciInstance* e);
void ehciStopNextReader(TEhciInstance* e);
void ehciOpenRFPipeCompleted(TEhciPipe* pipe);
void ehciStopPipe(TEhciPipe* pipe);
void ehciStartPolling(TEhciInstance* e);
void ehciStopPolling(TEhciInstance* e);
void ehciHandleRelisten(TEhciInstance* e);
// The target that went up has gone (up-call event 16).
void ehciSignalRemoval(TEhciInstance* e);
// EVT_END_OPERATION, then EVT_READER_REQUESTED: the reader polls anew.
void ehciRepoll(TEhciPipe* pipe);
// A count split into two bytes (first << 8 | second) whose product first x (second + 1) covers it.
uint16_t ehciSplitCount(uint32_t n);
// A presence check's command on the pipe; its answer goes up as the check's result.
int32_t ehciSendCheck(TEhciPipe* pipe, uint8_t instruction, const uint8_t* data, uint32_t length);
void ehciCheckAnswer(TEhciPipe* pipe, uint32_t code);

// ---- Card emulation and connectivity (ehci_card.cpp) ------------------------------------------------
void ehciCardInstall(TEhciPipe* pipe);
void ehciConnectivityInstall(TEhciPipe* pipe);
// The Admin answer to a card pipe's deletion: the pipe has no id any more and the stop goes on.
void ehciPipeDeleted(TEhciInstance* e);

// ---- Plain variant (ehci_plain.cpp) --------------------------------------------------------------------
void ehciPlainPreInit(TEhciInstance* e);
uint32_t ehciPlainSupportedMask(const uint8_t* gates, uint32_t count);

// ---- Demo board (ehci_demo.cpp) --------------------------------------------------------------------
void ehciDemoPreInit(TEhciInstance* e);
uint32_t ehciDemoSupportedMask(const uint8_t* gates, uint32_t count);
// The ISO 15693 reader's exchange: the board's own command, then the time-out byte.
uint32_t ehciDemoVicinityHeader(TEhciPipe* pipe, uint8_t* packet);

// ---- NFC-DEP through the NFC-IP-1 engine (ehci_nfcip.cpp) ----------------------------------------------
// The engine's callbacks; `user` is the layer-1 context.
void ehciNfcipTransmitFunc(void* user, const uint8_t* data, uint32_t length, uint32_t timeout);
void ehciNfcipEvtCbFunc(void* user, uint32_t event, const uint8_t* data, uint32_t length);
void ehciNfcipErrorIndFunc(void* user, int32_t cause);
// A detected NFC-DEP peer (role word 1 or 2): on the chips whose pipes carry raw NFCIP-1 frames the
// engine takes the link over. True when it did: the device indication then waits for its activation.
bool ehciNfcipTakeOver(TNfcllContext* ll, const TNfcListenParam* params);
// A reader response and a time-out in NFC-DEP mode; true when the engine took them.
bool ehciNfcipReceive(TNfcllContext* ll, const uint8_t* data, uint32_t length);
bool ehciNfcipTimeout(TNfcllContext* ll);
// A transaction while the engine runs the link in role 1 or 2; true when the engine took it.
bool ehciNfcipTransaction(TNfcllContext* ll, const uint8_t* data, uint16_t length);
// Layer 1's NFC-DEP deactivation, with (0x209) or without (0x282) local request.
void ehciNfcipDeactivate(TNfcllContext* ll, bool localRequest);
// A removal before the engine ever saw its peer answer is no removal of a link.
bool ehciNfcipIgnoresRemoval(TNfcllContext* ll);
// ---- PN544 variant (ehci_pn544.cpp) -----------------------------------------------------------------
// Its pipes by name: `extra` the device manager (its id is the one the session identity keeps),
// `polling` the polling loop, `se` the UICC pipe, `variant2` the wired interface to the SmartMX.
void ehciPn544PreInit(TEhciInstance* e);
// A command or an event with data on any pipe (one packet); -1 when nothing could be sent.
int32_t ehciSendCommand(TEhciPipe* pipe, uint8_t instruction, const uint8_t* data, uint32_t length, uint32_t nextState);
int32_t ehciSendEventData(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length);
// A secure element's state up to layer 1 (NFC_SE_IND): len the kind (NFCLL_SE_ACTIVATED or
// NFCLL_SE_DEACTIVATED), extra the record's handle, p a uint32_t of flags or null.
constexpr uint32_t EV_EHCI_SE_STATE = 27;
// The UICC pipe states whose answers go to the activator: the SWP status read (to `uiccStatus`)
// and the enable parameter written (nothing to do).
constexpr uint32_t EHCI_544_UICC_STATUS = 72;
constexpr uint32_t EHCI_544_UICC_ENABLE = 73;
// The polling loop's phase byte for the current listen (bit 7 cleared when asked), written; its
// answer reads the UICC's SWP status for the activator.
void ehci544RewritePhases(TEhciInstance* e, bool withoutIdleBit);
uint8_t ehci544Phases(const TEhciInstance* e);
// The SmartMX mode change that the pending secure request asks for.
void ehci544ProcessNextSE(TEhciInstance* e);
// The FeliCa reader and the NFC-IP-1 pipes as the PN544 sets them up; the demo board shares them.
void ehci544FelicaIp1Setup(TEhciInstance* e);

// ---- PN544 NFC-IP-1 pipes (ehci_pn544_ip1.cpp) ---------------------------------------------------------
// NFC-DEP runs inside the chip: the initiator (gate 0x30) and target (gate 0x31) pipes carry the
// link's payloads in frames of the chip's own MI framing. P2P data goes up as EV_EHCI_P2P_DATA
// with extra = 1 while more frames of the message follow.
void ehci544IP1Install(TEhciInstance* e);
int32_t ehci544IP1Transmit(TEhciPipe* pipe, const uint8_t* data, uint32_t length);
// True while a message is being cut into frames; the reader pipes' header writers then write none.
bool ehci544IP1Sending();
// The FeliCa reader found an NFC-DEP target: the initiator pipe is asked to activate it.
void ehci544IP1Activate(TEhciInstance* e);
// The maximum frame length for the frame-size byte of the chip's registry.
uint16_t ehci544IP1FrameLength(uint8_t sizeByte, bool optionByte);

// ---- PN544 secure-element activator (ehci_pn544_se.cpp) ----------------------------------------------
extern const TSeActivatorOps ehci544SeActivatorOps;
enum : uint32_t { EHCI544_SE_IDLE = 0, EHCI544_SE_ACTIVATING = 3, EHCI544_SE_DEACTIVATING = 4 };
// The activator's one context, which its init clears and returns.
struct TEhci544SeActivator {
    TEhciInstance* instance;
    uint32_t activity;
    bool hotPlugArmed;
    bool guardArmed;
    uint32_t requested;          // the UICC state the application wants, 1 on
    uint32_t current;            // the UICC state last reported, 1 connected
    uint8_t errorCount;          // failed activations since the last request
    uint8_t notifyFlags;         // 0x1 the connectivity pipe exists, 0x4 too many errors
    bool failureCounted;         // the status read that a hot-plug time-out forced, which counted already
};
// Driver timers of the activator: the SWP guard and the UICC hot plug.
enum : uint8_t { EHCI_TIMER_SWP_GUARD = 3, EHCI_TIMER_HOT_PLUG = 4 };

// ---- ST21NFCA/B variant (ehci_st21.cpp, ehci_st21_reader.cpp, ehci_st21_ip1.cpp, ehci_st21_route.cpp) --
// Its pipes by name: variant2 the device manager (fixed id 2), mifare and jewel the type 1/2
// reader, felica and nfcipInitiator the FeliCa reader and NFC-DEP initiator, nfcipTarget and cardF
// the NFC-DEP target, connectivity the UICC's connectivity pipe, variant the eSE's, se and ese the
// wired card pipe to the eSE.
void ehciSt21PreInit(TEhciInstance* e);
const char* ehciSt21GateName(uint8_t gate);
const char* ehciSt21HostName(uint8_t host);
// The type 1/2 reader gate: its operations, and the polls of P2P devices ignored in a row.
void ehciSt21ReaderInstall(TEhciPipe* pipe);
void ehciSt21ClearP2pPolls();
// The NFC-IP-1 gates, whose pipes carry raw NFCIP-1 frames: the FeliCa reader and NFC-DEP
// initiator, and the NFC-DEP target.
void ehciSt21Ip1Install(TEhciPipe* initiator, TEhciPipe* target);
// The wired card pipe to the eSE: opening it sends the soft reset on the device manager; an APDU
// goes out with ehciSt21SecureExchange and its answer completes the pending I/O control.
void ehciSt21CardInstall(TEhciPipe* pipe);
void ehciSt21SecureExchange(TEhciInstance* e, const uint8_t* data, uint32_t length);
void ehciSt21SoftReset(TEhciInstance* e);
// Presence check of the current target.
int32_t ehciSt21CheckRequest(TEhciInstance* e, const uint8_t* data, uint32_t length);
// AID routing in the controller (codes 0x800D-0x800F): the cause at once, or 0 when the answer
// comes later; the device manager's answers in the routing states go to ehciSt21RouteAnswer.
uint16_t ehciSt21Routing(TEhciInstance* e, uint32_t code, const uint8_t* data, uint32_t length);
bool ehciSt21RouteAnswer(TEhciPipe* manager, const uint8_t* data, uint32_t length, uint32_t code);
// Every start begins without a routing request under way.
void ehciSt21RouteReset();

// ---- ST21 secure-element activator (ehci_st21_se.cpp) -------------------------------------------------
extern const TSeActivatorOps ehciSt21SeActivatorOps;
