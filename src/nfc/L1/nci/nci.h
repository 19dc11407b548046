// The NCI driver: the chip part of layer 1 for controllers that speak NCI 1.0. Every request of
// layer 1 becomes an event of the driver's state machine; every outcome goes back to layer 1
// through ncillUsCallback, which turns it into the upward message.
#pragma once

#include <cstdint>

#include "L1/common/nfcll.h"
#include "L1/common/nfcllmsg.h"
#include "L1/nci/nci_events.h"
#include "L1/nci/nci_packet.h"
#include "util/sm.h"

constexpr int NCI_MAX_ENDPOINTS = 5;
constexpr int NCI_TAG_TIMEOUT_SLOTS = 10;
constexpr uint32_t NCI_DEFAULT_TAG_TIMEOUT = 1400;
constexpr uint16_t NCI_PARAM_BUFFER_SIZE = 255;   // a count byte and up to 254 bytes of TLVs
constexpr uint32_t NCI_DISCOVER_MAP_RETRIES = 3;   // resends of RF_DISCOVER_MAP while the controller is not ready
constexpr uint32_t NCI_RESET_RETRIES = 2;          // resends of CORE_RESET on a silent controller
constexpr uint32_t NCI_INIT_CMD_TIMEOUTS = 2;      // CORE_INIT is sent at most twice

// Layer-1 timer ids of the driver.
enum : uint8_t { NCI_TIMER_RESPONSE = 7, NCI_TIMER_HCI_ADMIN = 8, NCI_TIMER_HCI_EXCHANGE = 9, NCI_TIMER_HCI_PIPE = 10,
                 NCI_TIMER_MIFARE = 11 };

// Init states: 0 not initialised, 1 done; the others are the start-up sub-states.
enum : uint32_t {
    NCI_INIT_NONE = 0,
    NCI_INIT_DONE = 1,
    NCI_INIT_VENDOR = 2,
    NCI_INIT_CONFIG = 4,
    NCI_INIT_NFCEE = 5,
    NCI_INIT_HCI = 6,
    NCI_INIT_DISCOVER_MAP = 8,
    NCI_INIT_FINISHED = 9,
};

// Flags word.
enum : uint32_t {
    NCI_FLAG_LISTENING = 0x1,
    NCI_FLAG_LISTEN_RESTARTED = 0x2,
    NCI_FLAG_HCI_EXCLUSIVE = 0x4,
    NCI_FLAG_RESPONSE_TIMER = 0x8,
    NCI_FLAG_TEMP_TIMEOUT = 0x10,
};

// NFCC feature bits derived from CORE_INIT_RSP.
enum : uint8_t { NCI_FEATURE_LISTEN_ROUTING = 0x1C, NCI_FEATURE_PRESENCE_CHECK = 0x80 };

#define NCI_TRANSTYPES(X) X(IDLE) X(LISTEN) X(SELECT) X(CHECK) X(DATA) X(IOCTL) X(RESET)
#define NCI_TRANSTYPE_ENUM(name) NCI_TRANSTYPE_##name,
enum NciTransType : uint32_t { NCI_TRANSTYPES(NCI_TRANSTYPE_ENUM) NCI_TRANSTYPE_COUNT };
#undef NCI_TRANSTYPE_ENUM

#define NCI_OUTCOMES(X)                                                                                         \
    X(evNciNone) X(evNciOk) X(evNciInitCompleted) X(evNciListenActive) X(evNciListenCanceled) X(evNciFieldOn)   \
    X(evNciFieldOff) X(evNciRfDiscovered) X(evNciRfIntfActivated) X(evNciRfDeactivated) X(evNciTagIndication)   \
    X(evNciTagRemoved) X(evNciDataIndication) X(evNciCreditIndication) X(evNciDeactivateInd)                    \
    X(evNciNfceeModeSetInd) X(evNciNfceeOpenInd) X(evNciNfceeCloseInd) X(evNciNfceeActionInd)                   \
    X(evNciNfceeAidSetInd) X(evNciNfceeRouteAddInd) X(evNciNfceeRouteGetInd) X(evNciTimerReset) X(evNciTimeout) \
    X(evNciResetCompleted) X(evNciState) X(evNciSleeping) X(evNciError) X(evNciInternalError)                   \
    X(evNciErrorAuthentication)
#define NCI_OUTCOME_ENUM(name) name,
enum NciOutcome : uint32_t { NCI_OUTCOMES(NCI_OUTCOME_ENUM) NCI_OUTCOME_COUNT };
#undef NCI_OUTCOME_ENUM

// Causes of the driver.
enum : uint16_t {
    NCI_CAUSE_OK = 0,
    NCI_CAUSE_FRAME_STATUS = 0x0A,
    NCI_CAUSE_INVALID_DATA = 0x0B,
    NCI_CAUSE_PARAM_TOO_LONG = 0x0D,
    NCI_CAUSE_NO_RESOURCES = 0x0C,
    NCI_CAUSE_WRONG_PARAMETER = 0x11,
    NCI_CAUSE_AUTH = 0x13,
    NCI_CAUSE_PENDING = 0x19,
    NCI_CAUSE_FAILED = 0x206,
};

// The technology-specific parameters of a discovered or activated endpoint, each bounded by its field.
struct TNciTechParams {
    uint8_t sensRes[2];             // NFC-A
    uint8_t nfcidLength;            // NFCID1 (A), NFCID0 (B), NFCID2 (F), the UID (15693) or the barcode (Kovio)
    uint8_t nfcid[16];
    uint8_t selResLength;
    uint8_t selRes;
    uint8_t sensbResLength;         // NFC-B
    uint8_t sensbRes[12];
    uint8_t bitRate;                // NFC-F
    uint8_t sensfResLength;
    uint8_t sensfRes[18];
    uint8_t flags15693;             // ISO 15693
    uint8_t dsfid;
};

constexpr uint8_t NCI_TECH_NONE = 0xFF;
constexpr uint8_t NCI_GENERAL_BYTES_MAX = NFCLL_GENERAL_BYTES_MAX;   // as the device record holds them

// One device the controller reports: found in discovery, or activated.
struct TNciEndpoint {
    uint8_t id;                     // index of the record
    uint8_t discoveryId;            // the controller's RF Discovery ID
    uint8_t protocol;
    uint8_t rfInterface;            // internal numbering
    uint8_t techMode;
    uint8_t technology;             // 0 A, 1 B, 2 F, 3 15693, 0x80 the maker's own, 0xFF none
    bool listen;                    // bit 7 of the mode
    bool last;                      // the last notification of a discovery
    uint32_t tagType;
    uint8_t nfceeId;                // the listen-mode routing target
    TNciTechParams tech;
    uint8_t txBitRate;
    uint8_t rxBitRate;
    uint8_t activationLength;
    uint8_t activation[255];
    uint8_t generalBytesLength;     // NFC-DEP: of the peer's ATR_REQ or ATR_RES
    uint8_t generalBytes[NCI_GENERAL_BYTES_MAX];
};

// Listen-mode routing: the controller's table of who answers a reader.
constexpr int NCI_ROUTING_ENTRIES = 8;
enum : uint8_t { NCI_ROUTE_TECH = 0, NCI_ROUTE_PROTOCOL = 1, NCI_ROUTE_AID = 2, NCI_ROUTE_POLL_TECH = 0x80,
                 NCI_ROUTE_POLL_PROTOCOL = 0x81 };
struct TNciRoutingEntry {
    uint8_t type;
    uint8_t route;                  // NFCEE id, 0 the host
    uint8_t powerState;
    uint8_t length;
    uint8_t value[16];
};
struct TNciRoutingTable {
    TNciRoutingEntry entries[NCI_ROUTING_ENTRIES];
    uint8_t count;
    bool changed;
};

// An execution environment the controller announces. The public record comes first: the
// capability block lists its address.
constexpr int NCI_MAX_NFCEES = 4;
constexpr int NCI_TRANSACTION_RECORDS = 8;
enum : uint8_t { NCI_NFCEE_ENABLED = 0, NCI_NFCEE_DISABLED = 1, NCI_NFCEE_REMOVED = 2 };
// Listen states: whether the NFCEE answers a reader, and what is still to be reported.
enum : uint8_t { NCI_EE_LISTEN_OFF = 0, NCI_EE_LISTEN_REPORT_ON = 1, NCI_EE_LISTEN_ON = 2, NCI_EE_LISTEN_REPORT_OFF = 3 };
struct TNciNfcee;
struct TNciContext;
// An APDU on its way to an NFCEE behind the HCI network and the answer coming back: the answer
// is written only into the room of the request that is still waiting for it.
struct TNciHciExchange {
    const uint8_t* tx;
    uint16_t txLength;
    uint16_t txSent;
    uint8_t* rx;
    uint32_t rxSize;
    uint32_t rxReceived;
};
constexpr uint8_t NCI_HCI_ATR_MAX = 33;
// An NFCEE's operations: 0 done, 25 waiting for the controller, else the cause.
using TNciSeOperation = uint16_t (*)(TNciContext* nci, TNciNfcee* ee);
using TNciSeModeOperation = uint16_t (*)(TNciContext* nci, TNciNfcee* ee, uint8_t mode);
struct TNciNfcee {
    TNfcInfoSE info;
    bool valid;
    uint8_t id;
    uint8_t status;
    uint8_t requestedMode;
    uint8_t protocols;              // bit n for protocol n
    uint8_t firstProtocol;
    uint16_t capabilities;
    uint32_t supportedListenMask;
    uint8_t listenState;
    uint8_t connId;                 // 0: no connection
    uint8_t lateAnswers;            // answers still due for exchanges that timed out
    TNciSeOperation open;
    TNciSeOperation close;
    TNciSeOperation exchange;
    TNciSeModeOperation setMode;
    // Behind the HCI network.
    uint8_t connectivityPipe;
    uint8_t cardPipe;
    bool atrReceived;
    uint8_t atrLength;
    uint8_t atr[NCI_HCI_ATR_MAX];
    TNciHciExchange hci;
};

// The handle given to an NFCEE id, kept across the controller's resets.
struct TNciKnownHandle {
    uint8_t id;
    NfcSecureHandle handle;   // 0: unused
};

// The HCI host side: the steps of the admin pipe's bring-up, then ready.
enum : uint8_t { NCI_HCI_OFF = 0, NCI_HCI_OPEN_ADMIN = 1, NCI_HCI_SET_IDENTITY = 2, NCI_HCI_SET_WHITE_LIST = 3,
                 NCI_HCI_GET_SESSION = 5, NCI_HCI_READY = 6, NCI_HCI_UPDATE_IDENTITY = 8 };
// What the request on an NFCEE behind the network waits for.
enum : uint8_t { NCI_HCI_WAIT_NONE = 0, NCI_HCI_WAIT_ATR = 1, NCI_HCI_WAIT_DATA = 2 };
constexpr uint32_t NCI_HCI_MESSAGE_MAX = 64;   // admin and connectivity messages, put together
struct TNciHciState {
    uint8_t step;
    TNciNfcee* access;              // the HCI-access NFCEE
    TNciNfcee* current;             // the NFCEE of the request under way
    uint8_t waiting;
    uint8_t rxPipe;                 // the message being received
    uint8_t rxInstruction;
    bool rxContinues;
    bool rxDiscarding;              // the rest of a refused message is dropped
    bool multiPacket;
    uint8_t message[NCI_HCI_MESSAGE_MAX];
    uint32_t messageLength;
};

// The discovery set-up's own steps.
#define NCI_DISC_STATES(X) X(NCI_DISC_INIT) X(NCI_DISC_LM_ROUTING) X(NCI_DISC_PM_ROUTING) X(NCI_DISC_PARAMETER) \
    X(NCI_DISC_START_PRESENCE_CHECK) X(NCI_DISC_START) X(NCI_DISC_FINISHED) X(NCI_DISC_GET_ROUTINGTABLE)
#define NCI_DISC_ENUM(name) name,
enum NciDiscState : uint32_t { NCI_DISC_STATES(NCI_DISC_ENUM) };
#undef NCI_DISC_ENUM

constexpr uint8_t NCI_NO_ENDPOINT = 0xFF;

// The MIFARE Classic exchange of maker 0x04: what the next reply answers.
#define NCI_MF_STATES(X) X(NCI_MF_STATE_IDLE) X(NCI_MF_STATE_AUTHENTICATING) X(NCI_MF_STATE_WRITE1) X(NCI_MF_STATE_WRITE2)
#define NCI_MF_ENUM(name) name,
enum : uint8_t { NCI_MF_STATES(NCI_MF_ENUM) };
#undef NCI_MF_ENUM
constexpr uint32_t NCI_MIFARE_REACTIVATION_MS = 1500;

// A request of layer 1 that waits while the driver is busy: NCI takes one command at a time, so
// a request is served only once the one under way has its answer. Its buffers stay the
// requester's until it is answered.
constexpr int NCI_WAITING_REQUESTS = 8;
enum : uint8_t { NCI_REQ_LISTEN, NCI_REQ_DATA, NCI_REQ_CHECK, NCI_REQ_IOCTL, NCI_REQ_SELECT, NCI_REQ_RESET,
                 NCI_REQ_DEACTIVATE };
struct TNciRequest {
    uint8_t kind;
    uint8_t index;                  // select: the endpoint
    uint32_t value;                 // listen: the mask; I/O control: the code
    const TNfcListenParam* params;
    void* instance;
    uint32_t timeout;
    const uint8_t* input;
    uint16_t inputLength;
    uint8_t* output;
    uint16_t outputSize;
};

// An RF notification that came while an I/O sub-state held the controller: its master state
// takes it once the sub-state has returned, so that the driver follows the controller's RF state.
constexpr int NCI_HELD_NOTIFICATIONS = 8;
constexpr uint32_t NCI_HELD_PAYLOAD_MAX = 255;
struct TNciHeldNotification {
    uint16_t event;
    uint16_t opcode;
    uint32_t length;
    uint8_t payload[NCI_HELD_PAYLOAD_MAX];
};

struct TNciContext;
// Outgoing data as the RF interface wants it; false when they cannot be mapped.
using TNciMapOutgoing = bool (*)(TNciContext* nci, const uint8_t* data, uint16_t length);
using TNciAfterSend = void (*)(TNciContext* nci);
// An incoming frame as the RF interface gives it: 0 and the frame in *data and *length, or a cause.
using TNciMapIncoming = uint16_t (*)(TNciContext* nci, const uint8_t** data, uint32_t* length);

struct TNciContext {
    uint32_t initState;
    uint32_t flags;
    TNfcllContext* ll;
    TNciEndpoint endpoints[NCI_MAX_ENDPOINTS];
    uint8_t endpointCount;
    TNciEndpoint* selected;
    uint8_t selecting;              // the endpoint being selected or active, NCI_NO_ENDPOINT for none
    TNciEndpoint active;            // the activated endpoint
    uint32_t transType;
    uint32_t savedTransType;
    TNciMapOutgoing mapOutgoing;
    TNciAfterSend afterSend;
    TNciMapIncoming mapIncoming;
    const uint8_t* txData;          // the mapped outgoing data
    uint16_t txLength;
    uint32_t tagTimeouts[NCI_TAG_TIMEOUT_SLOTS];
    uint32_t ioCode;
    const uint8_t* ioInput;
    uint16_t ioInputLength;
    uint8_t* ioOutput;
    uint16_t ioOutputSize;
    uint32_t listenMask;
    const TNfcListenParam* listenParams;
    uint32_t savedListenMask;       // kept by radio off
    uint8_t deactMode;              // requested: 0 idle, 1 sleep, 3 discovery
    uint8_t deactType;              // of the last RF_DEACTIVATE_NTF
    uint32_t discState;
    TNciRoutingTable routing;
    uint8_t loopbackConnId;         // 0: none open
    uint8_t loopbackSent[3];
    uint8_t genericErrorStatus;
    uint8_t frameError;
    uint8_t mfState;
    uint8_t mfKept[16];             // the data of a MIFARE write, sent once the first part is acknowledged
    uint8_t mfKeptLength;             // the cause of a frame the RF interface refused, as an error's status
    uint16_t rfInterfaces;          // one bit per internal interface number
    uint8_t features;
    uint8_t maxConnections;
    uint16_t routingTableSize;
    uint8_t maxControlPayload;
    uint16_t largeParamSize;
    uint8_t maker;
    uint8_t makerInfo[4];
    uint8_t resetType;
    uint8_t configStatus;
    TNfcCapabilityBlock* capabilities;
    uint32_t tagType;
    uint32_t activeListenTypes;
    uint32_t capabilityWord;
    uint8_t params[NCI_PARAM_BUFFER_SIZE];
    uint16_t paramsUsed;            // bytes of params, the count byte included
    TNciPacketLayer packet;
    uint8_t nfceeAnnounced;
    uint8_t nfceeFound;
    TNciNfcee nfcees[NCI_MAX_NFCEES];
    TNciKnownHandle knownHandles[NCI_MAX_NFCEES];
    TNciHciState hci;
    uint8_t nfceeCount;             // records in use
    uint8_t modeSetId;              // the NFCEE of the last mode set
    // The transactions reported upward: the indication carries a record's address, which the
    // layers above read later, so a burst of transactions must not overwrite one still unread.
    TNfcTransaction transactions[NCI_TRANSACTION_RECORDS];
    uint8_t nextTransaction;
    NfcSecureHandle ioHandle;       // the secure element of the IO control
    uint32_t ioTimeout;             // ms, 0 for the default
    TNciNfcee* ioNfcee;
    uint16_t routesRead;            // records of a routing read so far
    // The message being handled.
    uint16_t rxOpcode;
    uint8_t rxConnId;
    const uint8_t* rxPayload;
    uint32_t rxLength;
    uint32_t responseTimeout;
    uint32_t techTimeout;
    uint32_t savedTimeout;
    uint32_t resetRetries;
    uint32_t initCmdTimeouts;
    uint32_t discoverMapRetries;
    TStateMachine sm;
    bool draining;                  // the machine is running its ring
    // The secure-element request in its sub-state is kept apart from the transaction type: layer 1
    // may start a listen or a reset while the controller still owes the request its answer.
    bool seWaiting;                 // the request has not been answered yet
    bool seSignalling;              // its sub-state is running: what is signalled answers it
    // One command at a time: the response awaited (0 for none). A response that is not the one
    // awaited answers a command given up already and is dropped.
    uint16_t awaitedResponse;
    TNciRequest waiting[NCI_WAITING_REQUESTS];
    uint8_t waitingHead;
    uint8_t waitingCount;
    TNciHeldNotification held[NCI_HELD_NOTIFICATIONS];
    uint8_t heldHead;
    uint8_t heldCount;
    bool settling;                  // held notifications and waiting requests are being served
    // The controller is being brought back after a fault of its own; set once layer 1 has been
    // told of it, so that it is told once.
    bool recovering;
    bool faultReported;
};

// ---- Driver entry (layer 1) -----------------------------------------------------------------------
int32_t nciInit(TNfcllContext* ll);

// ---- Events and outcomes ----------------------------------------------------------------------------
// Queues the event and runs the machine; false when the ring is full. Once the machine is at
// rest, held notifications and waiting requests are served.
bool nciPushEvent(TNciContext* nci, uint16_t event);
// True while the driver cannot take a new request: an answer is awaited, a sub-state holds the
// controller, or a state is on its way between two of the controller's states.
bool nciBusy(const TNciContext* nci);
// True for an event of a notification that an I/O sub-state leaves to its master.
bool nciHeldBySubState(const TNciContext* nci, uint16_t event);
// True while the controller is being brought up (reset, init and the start-up steps).
bool nciStartingUp(const TNciContext* nci);
// True in a state on its way from one of the controller's RF states to another: an answer is due.
bool nciOnTheWay(const TNciContext* nci);
// The controller lost its state (it reset itself, or left a command unanswered): the request
// under way gets its failure, layer 1 learns of the fault (always with report, else when
// something depended on the controller's state: a request, an active endpoint), and the
// controller is brought up again; the activation confirmation tells when it is back.
void nciRecoverController(TNciContext* nci, bool report);
// NFCLL_ERROR_IND; during a recovery, once.
void nciReportFault(TNciContext* nci);
void nciSignalCompletion(TNciContext* nci, uint32_t outcome);
void nciSignalError(uint16_t cause, TNciContext* nci, const char* source);
// A request still waiting for its answer gets it, failed, when what it waits for ends.
void nciAnswerRequestUnderWay(TNciContext* nci, const char* source);
void ncillUsCallback(TNciContext* nci, uint32_t outcome, const uint8_t* data, uint32_t length);
void nciSetTransType(TNciContext* nci, uint32_t type);
const char* nciOutcomeName(uint32_t outcome);

// ---- Tag timeouts -----------------------------------------------------------------------------------
uint32_t nciGetTimeoutIndex(uint32_t tagType);
uint32_t nciGetTagTimeout(const TNciContext* nci, uint32_t tagType);
void nciSetTagTimeouts(TNciContext* nci, uint32_t timeout, uint32_t mask);

// ---- Sending ----------------------------------------------------------------------------------------
// Sends a control message with the response timer; 0, 25 (waits for credit) or a cause.
uint32_t nciSendCommand(TNciContext* nci, uint16_t opcode, const uint8_t* payload, uint32_t length);
void nciStopResponseTimer(TNciContext* nci);
void nciDefaultHooks(TNciContext* nci);
// The tag type of the active endpoint, and layer 1's activation kind with it (0: none).
void nciSetTagType(TNciContext* nci, uint32_t tagType);

// ---- State machine (nci_sm.cpp: start-up, Idle, default; nci_sm_rf.cpp: the RF states) -------------
void nciStateMachineInit(TNciContext* nci);
// Changes to the next state; a sub-state that changes away leaves no master behind.
uint32_t nciChangeTo(TStateMachine* sm, SmHandler next);
// Enters a sub-state of the current state; refused with evNciState unless the state is at rest
// (idle, discovery or an active tag, with no answer awaited) and hosts no sub-state already.
uint32_t nciEnterSubState(TStateMachine* sm, SmHandler sub);
#define NCI_RF_STATES(X)                                                                                       \
    X(nciStateStartDiscovery) X(nciStateDiscovery) X(nciStateDiscoveryStop) X(nciStateW4AllDiscoveries)       \
    X(nciStateW4HostSelect) X(nciStatePollActive) X(nciStatePollActiveDeact) X(nciStateListenActive)            \
    X(nciStateListenActiveDeact) X(nciStateListenSleep) X(nciStateIoSeRequest) X(nciStateIoGetParameter)    \
    X(nciStateInvalidActive) X(nciStateRadioDisable) X(nciStateRadioOff) X(nciStateNfccLoopback) X(nciStateWakeup) \
    X(nciStateRawRequest) X(nciStateMfPollActive) X(nciStateMfPresenceCheck) X(nciStateMfPollActiveReact)
#define NCI_STATE_DECLARE(name) uint32_t name(TStateMachine* sm, uint16_t event);
NCI_STATE_DECLARE(nciStateDeact)
NCI_STATE_DECLARE(nciStateReset)
NCI_STATE_DECLARE(nciStateIdle)
NCI_RF_STATES(NCI_STATE_DECLARE)
#undef NCI_STATE_DECLARE
// Where an activated poll-mode endpoint goes.
SmHandler nciPollActiveState(const TNciContext* nci);

// ---- Frame mapping and bit rates (nci_framemap.cpp) -------------------------------------------------
uint16_t nciMapIncomingWhole(TNciContext* nci, const uint8_t** data, uint32_t* length);
// The hooks for an activated RF interface (internal numbering); 0, or 0x0B for an unknown one.
uint16_t nciSetFrameMapping(TNciContext* nci, uint8_t rfInterface, uint8_t protocol);
// An NCI bit-rate code in kbit/s; 0 for one not recognised.
uint32_t nciBitRateKbps(uint8_t code, uint8_t maker);

// ---- RF messages (nci_rf.cpp) -----------------------------------------------------------------------
uint8_t nciTechnologyOf(uint8_t techMode);
uint32_t nciTagTypeOf(const TNciContext* nci, const TNciEndpoint& ep);
uint16_t nciExtractTechParameters(const TNciContext* nci, TNciEndpoint* ep, const uint8_t* bytes, uint32_t length);
uint16_t nciHandleDiscoverRsp(TNciContext* nci);
// A response whose first byte is its status: 0, or 0x206.
uint16_t nciHandleStatusRsp(TNciContext* nci, const char* handler);
// 0 for the last notification of a discovery, 25 while more follow, else a cause.
uint16_t nciHandleDiscoverNtf(TNciContext* nci);
uint16_t nciHandleIntfActivatedNtf(TNciContext* nci);
uint16_t nciHandleDeactivateRsp(TNciContext* nci);
uint16_t nciHandleDeactivateNtf(TNciContext* nci);
uint16_t nciHandleGenericErrorNtf(TNciContext* nci);
uint16_t nciHandleData(TNciContext* nci);
uint16_t nciHandleConnCreateRsp(TNciContext* nci, uint8_t* connId);
// Copies the answer into the IO control's output; its length in *length.
uint16_t nciHandleGetConfigRsp(TNciContext* nci, uint16_t* length);
uint16_t nciHandleT3tPollingNtf(TNciContext* nci);
uint32_t nciSendDiscoverSelect(TNciContext* nci);
uint32_t nciSendDeactivate(TNciContext* nci, uint8_t type);
uint32_t nciSendT3tPolling(TNciContext* nci);
uint32_t nciSendGetConfig(TNciContext* nci, const uint8_t* ids, uint16_t length);
uint32_t nciSendLoopbackCreate(TNciContext* nci);
// RF_PARAMETER_UPDATE_CMD with the gathered parameters: 0 sent, else the cause of the refusal.
uint16_t nciSendParameterUpdate(TNciContext* nci);
// A send result that is neither done nor waiting for credit is a failure.
bool nciSendOk(uint32_t result);

// ---- MIFARE Classic of maker 0x04 (nci_mifare.cpp) ---------------------------------------------------
uint8_t nciMifareSector(uint32_t tagType, uint8_t block);
// Sends the request's command as the vendor frames it; 0 or a cause.
uint16_t nciMifareSend(TNciContext* nci);
// Takes the reply: 0 when it is handled (signalled, or the next part sent), 0x13 for a failed
// authentication, else the cause of an unexpected reply.
uint16_t nciMifareReply(TNciContext* nci);

// ---- Discovery set-up (nci_discover.cpp) ------------------------------------------------------------
bool nciListenMaskChanged(const TNciContext* nci);
uint32_t nciNfceeListenMask(const TNciContext* nci);
// The host's technology and protocol routes for the listen types of a new mask.
void nciRoutingHostRoutes(TNciContext* nci, uint32_t mask);
// One step of the discovery set-up: 0 when discovery runs, 25 while waiting, else the cause.
uint16_t nciRunDiscoveryInit(TNciContext* nci, uint16_t event);

// ---- NFCEEs and secure-element access (nci_nfcee.cpp) -----------------------------------------------
// NFCEE_DISCOVER_NTF: 0, 5 for the HCI-access NFCEE that start-up opens, else the cause.
uint16_t nciHandleNfceeDiscoverNtf(TNciContext* nci);
uint16_t nciHandleNfceeModeSetRsp(TNciContext* nci);
uint16_t nciHandleNfceeActionNtf(TNciContext* nci);
// The transaction record of an action's data: false (traced, 0x0B) when it names no AID.
bool nciParseTransaction(const uint8_t* data, uint32_t length, TNfcTransaction* out);
TNciNfcee* nciNfceeById(TNciContext* nci, uint8_t id);
TNciNfcee* nciNfceeByHandle(TNciContext* nci, NfcSecureHandle handle);
TNciNfcee* nciNfceeByConnection(TNciContext* nci, uint8_t connId);
void nciNfceeReset(TNciContext* nci);
// True for the answer of an exchange that timed out: it is dropped, whatever state is current.
bool nciNfceeDropsLateAnswer(TNciContext* nci, uint8_t connId);
uint16_t nciHandleNfceeDiscoveryReqNtf(TNciContext* nci);
// Moves the NFCEEs' listen states to what the routes and the NFCEEs' states now give, then
// reports each NFCEE that became active or inactive.
void nciNfceeReportListenStates(TNciContext* nci);
uint16_t nciSeOpen(TNciContext* nci, TNciNfcee* ee);
uint16_t nciSeClose(TNciContext* nci, TNciNfcee* ee);
uint16_t nciSeExchange(TNciContext* nci, TNciNfcee* ee);
uint16_t nciSeSetMode(TNciContext* nci, TNciNfcee* ee, uint8_t mode);
// Runs the pending secure-element IO control: 0 answered, 25 waiting, else the cause.
uint16_t nciRunSeIoControl(TNciContext* nci);

// ---- The HCI network over NCI (nci_hci.cpp) ----------------------------------------------------------
// Opens the admin pipe once the HCI-access NFCEE's connection is open: 25, or the cause.
uint16_t nciStartHciNetwork(TNciContext* nci);
bool nciHciReady(const TNciContext* nci);
// True for the HCI-access NFCEE's connection.
bool nciHciOwnsData(const TNciContext* nci, uint8_t connId);
// One HCP packet of the message being handled. The outcome it signalled for the request under
// way (evNciNfceeOpenInd with the ATR as evNciDataIndication, evNciDataIndication, evNciError),
// or evNciNone.
uint32_t nciHciReceive(TNciContext* nci);
// Credit came back on the HCI connection: the next packet of an exchange leaves. evNciError
// when it could not, else evNciNone.
uint32_t nciHciCredit(TNciContext* nci);
// The pipe timer ran out: the session identity takes the pipes known now.
void nciHciUpdateIdentity(TNciContext* nci);
// The request under way is over: nothing more is written into its room.
void nciHciAbandon(TNciContext* nci);
// HARD RESET to the NFCEE with this id: 0 sent, else 0x0B.
uint16_t nciHciHardReset(TNciContext* nci, uint8_t id);
uint16_t nciSeHciOpen(TNciContext* nci, TNciNfcee* ee);
uint16_t nciSeHciClose(TNciContext* nci, TNciNfcee* ee);
uint16_t nciSeHciExchange(TNciContext* nci, TNciNfcee* ee);

// ---- Listen-mode routing (nci_routing.cpp) -----------------------------------------------------------
constexpr uint32_t NCI_ROUTE_RECORD_SIZE = 27;
enum : uint8_t { NCI_ROUTE_ANY_TYPE = 3, NCI_ROUTE_ANY = 0xFF };
// 0, 11 a clash, 13 the table is full, 17 a length that does not fit the type, 23 no room on the controller.
uint16_t nciRoutingAddEntry(TNciContext* nci, const uint8_t* value, uint8_t type, uint8_t route, uint8_t powerState,
                            uint8_t length);
// 0, or 11 when nothing matched; value null for any value.
uint16_t nciRoutingRemoveEntries(TNciContext* nci, uint8_t type, uint8_t route, uint8_t powerState,
                                 const uint8_t* value, uint8_t length);
// The listen-mode (types 0-2) or poll-mode (0x80, 0x81) command payload: more flag 0, count and
// entries, for either; 0 when it does not fit. The table stays changed until the discovery set-up
// has sent both.
uint32_t nciRoutingEncode(const TNciRoutingTable* table, bool poll, uint8_t* out, uint32_t size);
// The tag-type bits of an entry; 0 for one not known.
uint32_t nciRoutingListenMask(const TNciRoutingEntry& entry);
// Adds the 27-byte records one by one up to the first failure: 0 or its cause.
uint16_t nciRoutingAddRecords(TNciContext* nci, const uint8_t* records, uint32_t length);
// RF_GET_LISTEN_MODE_ROUTING_NTF into records at the IO control's output: 0 the last one, 25 more follow, else the cause.
uint16_t nciRoutingReadNtf(TNciContext* nci);

// ---- Start-up (nci_init.cpp) ------------------------------------------------------------------------
// 0 done, 25 waiting for the controller, else the cause of the failure.
uint16_t nciDoInitialization(TNciContext* nci, uint16_t event);
void nciFinishInitialization(TNciContext* nci);
uint32_t nciCapabilityWord(uint16_t rfInterfaces, uint8_t maker, uint16_t readerType);
// One row of the RF mapping table.
struct TNciRfMapRow {
    uint32_t typeBit;       // listen/poll type bit of the listen mask
    uint32_t rfInterface;   // internal numbering
    uint32_t protocol;
    uint32_t mode;          // 1 poll, 2 listen
    uint32_t tagType;
    uint32_t technology;    // 0 A, 1 B, 2 F, 3 15693, 0x80 the maker's own
};
// The rows in their order, the built-in ones and then the maker's; null past the last.
const TNciRfMapRow* nciRfMapRow(uint8_t maker, size_t index);
// The RF_DISCOVER_MAP_CMD payload from the mapping table; its length.
uint32_t nciBuildDiscoverMap(const TNciContext* nci, uint8_t* out, uint32_t size);
const char* nciMakerName(uint8_t maker);

// ---- Message handlers and command builders (nci_msg.cpp) --------------------------------------------
// Each handler reads the message being handled; 0, or the cause of its failure.
uint16_t nciHandleCoreResetRsp(TNciContext* nci);
uint16_t nciHandleCoreResetNtf(TNciContext* nci);
uint16_t nciHandleCoreInitRsp(TNciContext* nci);
uint16_t nciHandleCoreSetConfigRsp(TNciContext* nci);
// 0, 1 when the controller is not ready yet (send again), or a cause.
uint16_t nciHandleDiscoverMapRsp(TNciContext* nci);
uint16_t nciHandleFieldInfoNtf(TNciContext* nci);
// The number of NFCEEs the controller announces in *count.
uint16_t nciHandleNfceeDiscoverRsp(TNciContext* nci, uint8_t* count);
void nciPartialReset(TNciContext* nci);
void nciFullReset(TNciContext* nci);

uint32_t nciSendCoreReset(TNciContext* nci);
uint32_t nciSendCoreInit(TNciContext* nci);
uint32_t nciSendSetConfig(TNciContext* nci);
uint32_t nciSendDiscoverMap(TNciContext* nci);
uint32_t nciSendNfceeDiscover(TNciContext* nci);

// The parameter buffer of CORE_SET_CONFIG_CMD.
void nciParamsClear(TNciContext* nci);
uint16_t nciParamsAdd(TNciContext* nci, uint8_t id, const uint8_t* value, uint32_t length);

// RF interfaces: NCI value to internal numbering, and back.
uint8_t nciInternalInterface(uint8_t nciValue, uint8_t maker);
uint8_t nciNciInterface(uint32_t internal);

// Not enough bytes for the handler: traced, and 0x0B.
uint16_t nciTooShort(const TNciContext* nci, const char* handler, uint32_t expected);
