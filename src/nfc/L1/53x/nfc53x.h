// The PN53x driver's frame layer and command data: the command table, the frame writer, the
// reassembly of the byte stream from layer 1 and the decoders that turn each complete frame into
// one event of the driver's state machine, plus the builders of the listen commands.
#pragma once

#include <cstdint>

#include "L1/common/nfcll.h"

constexpr uint16_t NFC53X_RX_BUFFER_SIZE = 600;
constexpr uint16_t NFC53X_JUMP_DATA_SIZE = 58;
constexpr uint16_t NFC53X_TARGET_DATA_SIZE = 132;
constexpr uint16_t NFC53X_CE_BLOCK_SIZE = 126;
constexpr uint16_t NFC53X_GENERAL_BYTES_MAX = 50;
constexpr uint8_t NFC53X_TIMER_RESPONSE = 3;
constexpr uint8_t NFC53X_TIMER_POLL = 4;        // the relisten after a failed MIFARE step
constexpr uint8_t NFC53X_TIMER_FIELD = 5;       // the FeliCa card emulation's field check
constexpr uint32_t NFC53X_RESPONSE_MS = 1000;
constexpr uint32_t NFC53X_RELISTEN_MS = 150;
constexpr uint32_t NFC53X_FIELD_CHECK_MS = 1000;
constexpr uint16_t NFC53X_DEP_PIECE = 240;      // the most a DEP command carries of a frame
// Room for a whole host frame: the wake-up start, LEN, LCS, 255 bytes, DCS and the postamble.
constexpr uint16_t NFC53X_FRAME_MAX = 8 + 2 + 255 + 2;

// Request ids callers name commands by (the table's order differs).
enum Nfc53xRequest : uint32_t {
    NFC53X_REQ_IN_JUMP_FOR_DEP = 0,
    NFC53X_REQ_TG_INIT_AS_TARGET = 1,
    NFC53X_REQ_TG_GET_DEP_DATA = 2,
    NFC53X_REQ_TG_SET_DEP_DATA = 3,
    NFC53X_REQ_IN_DATA_EXCHANGE = 4,
    NFC53X_REQ_IN_LIST_PASSIVE_TARGET = 5,
    NFC53X_REQ_RF_CONFIGURATION = 6,
    NFC53X_REQ_IN_SELECT = 7,
    NFC53X_REQ_GET_FIRMWARE_VERSION = 8,
    NFC53X_REQ_TAMA_ACK = 10,
    NFC53X_REQ_TG_INIT_CE = 11,
    NFC53X_REQ_SAM_CONFIG_INIT = 12,
    NFC53X_REQ_SAM_CONFIG_NORMAL = 13,
    NFC53X_REQ_SAM_CONFIG_WIRED = 14,
    NFC53X_REQ_SAM_CONFIG_VIRTUAL = 15,
    NFC53X_REQ_GET_GENERAL_STATUS = 16,
    NFC53X_REQ_RF_ITEM2 = 17,
    NFC53X_REQ_RF_ITEM5 = 18,
    NFC53X_REQ_TG_GET_INITIATOR_COMMAND = 20,
    NFC53X_REQ_TG_RESPONSE_TO_INITIATOR = 21,
    NFC53X_REQ_EMPTY_IN_DATA_EXCHANGE = 22,
    NFC53X_REQ_IN_DATA_EXCHANGE_MORE = 23,
    NFC53X_REQ_TG_SET_META_DATA = 24,
    NFC53X_REQ_REGULATION_TEST = 25,
    NFC53X_REQ_IO_RF_CONFIGURATION = 26,
    NFC53X_REQ_IO_GENERAL_STATUS = 27,
    NFC53X_REQ_READ_REGISTER = 28,
    NFC53X_REQ_WRITE_REGISTER = 29,
    NFC53X_REQ_READ_GPIO = 30,
    NFC53X_REQ_WRITE_GPIO = 31,
    NFC53X_REQ_COUNT = 32,
};

// Events of the driver's state machine, with their trace names: X(number, name).
#define NFC53X_EVENTS(X)                                                                     \
    X(0, EVT_NONE) X(1, EVT_RESET) X(2, EVT_LISTEN_NONE) X(3, EVT_LISTEN_TAG) X(4, EVT_TRANSACTION) \
    X(5, EVT_RAW_TRANS) X(6, EVT_SELECT) X(7, EVT_ACK) X(8, EVT_NACK) X(9, EVT_TIMEOUT_ACK)        \
    X(10, EVT_GENERIC_RESPONSE) X(11, EVT_LISTEN_RESPONSE) X(12, EVT_SELECT_RESPONSE)              \
    X(13, EVT_RESPONSE_ERROR) X(14, EVT_LISTEN_P2P_IN) X(15, EVT_LISTEN_P2P_TG)                    \
    X(16, EVT_TIMEOUT_RELISTEN) X(17, EVT_P2P_GET_DONE) X(18, EVT_P2P_SET_DONE) X(19, EVT_LISTEN_CE) \
    X(20, EVT_LISTEN_CE_WIRED) X(21, EVT_LISTEN_CE_SECURE) X(22, EVT_FELICA_POLL)                  \
    X(23, EVT_FELICA_PDU) X(24, EVT_CHECK_FIELD) X(25, EVT_P2P_METASET_DONE)                        \
    X(26, EVT_P2P_TARGET_RELEASED) X(27, EVT_IO_RESPONSE)

#define NFC53X_EVENT_ENUM(number, name) NFC53X_##name = number,
enum Nfc53xEvent : uint32_t { NFC53X_EVENTS(NFC53X_EVENT_ENUM) };
#undef NFC53X_EVENT_ENUM

// The driver's states, with their trace names: X(number, name).
#define NFC53X_STATES(X)                                                                          \
    X(0, INACTIVE) X(1, INIT1) X(2, INIT2) X(3, INIT3) X(4, INIT4) X(5, INIT5) X(6, DEACTIVATE_RELEASE) \
    X(7, DEACTIVATE_RF) X(8, DEACTIVATE_RF_1) X(9, DEACTIVATE_RF_2) X(10, ACTIVATE_TAG)               \
    X(11, ACTIVATE_TAG_1) X(12, ACTIVATE_TAG_2) X(13, ACTIVATE_TAG_OK) X(14, SEND_RAW) X(15, SEND_TAG) \
    X(16, SEND_TAG_1) X(17, SEND_TAG_2) X(18, SELECT_TAG) X(19, SELECT_TAG_1) X(20, SELECT_TAG_2)      \
    X(21, ACTIVATE_P2P_IN) X(22, ACTIVATE_P2P_IN_1) X(23, ACTIVATE_P2P_IN_2) X(24, ACTIVATE_P2P_IN_OK) \
    X(25, ACTIVATE_P2P_TG) X(26, ACTIVATE_P2P_TG_1) X(27, ACTIVATE_P2P_TG_2) X(28, ACTIVATE_P2P_TG_OK) \
    X(29, SEND_RECV_P2P_IN) X(30, SEND_RECV_P2P_IN_1) X(31, SEND_RECV_P2P_IN_2) X(32, SEND_P2P_TG)     \
    X(33, SEND_P2P_TG_1) X(34, RECV_P2P_TG) X(35, RELISTEN_TAG) X(36, RELISTEN_TAG2) X(37, CE_GETDATA) \
    X(38, CE_PUTDATA) X(39, CE_LISTEN) X(40, CE_WIRED1) X(41, CE_WIRED2) X(42, CE_SECURE1)             \
    X(43, CE_SECURE2) X(44, CE_SECURE3) X(45, CE_FELICA) X(46, SEND_P2P_TG_2)                          \
    X(47, IO_GET_GENERAL_STATUS) X(48, IO_RF_CONFIGURATION) X(49, IO_READ_REGISTER)                    \
    X(50, IO_WRITE_REGISTER) X(51, IO_READ_GPIO) X(52, IO_WRITE_GPIO) X(53, INIT6)

#define NFC53X_STATE_ENUM(number, name) NFC53X_STATE_##name = number,
enum Nfc53xState : uint32_t { NFC53X_STATES(NFC53X_STATE_ENUM) };
#undef NFC53X_STATE_ENUM

// Trace names of events, states and SAM status bytes.
const char* nfc53xEventStr(uint32_t event);
const char* nfc53xStateStr(uint32_t state);
const char* nfc53xSamStatusStr(uint8_t status);

// Activation kinds of the layer-1 context (its mode word).
enum : uint32_t { NFC53X_KIND_DEACT = 0, NFC53X_KIND_P2P_IN = 1, NFC53X_KIND_P2P_TG = 2, NFC53X_KIND_CE = 3,
                  NFC53X_KIND_READER = 4 };

// The state machine's entry for the reader's events; the output lives until it returns.
using TNfc53xEventSink = void (*)(TNfcllContext* ll, uint32_t event, const uint8_t* output, uint16_t length);

// The driver's part of the layer-1 context.
struct TNfc53xPart {
    uint8_t rx[NFC53X_RX_BUFFER_SIZE];
    uint16_t rxLength;
    uint32_t inProcess;
    uint32_t answerDue;             // the pending command was acknowledged and its answer is timed
    uint32_t answerMs;              // how long it may take: the transaction's own time-out, or 0
    uint32_t pendingId;
    uint32_t bufferedEvent;
    uint32_t state;
    uint32_t pollType;              // tag-type bits of the poll under way
    uint32_t firmware;              // IC, version, revision and support bytes, first byte highest
    uint8_t lastError;              // low six bits of the last status byte
    uint8_t fieldPresent;
    uint8_t samStatus;
    uint8_t retryMark;
    uint8_t targetMode;             // 1 type A, 2 FeliCa, once initialised as target
    uint8_t selectIndex;            // the target a select request names
    uint32_t listenType;            // of the last listen request
    uint16_t ioLength;              // bytes of the I/O result in ll->ioOutput
    uint32_t ioSavedState;          // where an I/O request returns to
    uint16_t bufferedLength;        // the buffered event's data
    uint8_t bufferedData[NFCLL_RX_BUFFER_SIZE];
    // As card: the reader's command as its pieces come (status byte first), and the answer as
    // its pieces go.
    uint16_t ceCommandLength;
    uint8_t ceCommand[NFCLL_RX_BUFFER_SIZE];
    uint16_t ceAnswerLength;
    uint16_t ceAnswerSent;
    uint8_t ceAnswer[NFCLL_RX_BUFFER_SIZE];
    uint8_t jumpData[NFC53X_JUMP_DATA_SIZE];        // InJumpForDEP, command bytes included
    uint16_t jumpLength;
    uint8_t targetData[NFC53X_TARGET_DATA_SIZE];    // TgInitAsTarget, command bytes included
    uint16_t targetLength;
    uint8_t ceBlock[NFC53X_CE_BLOCK_SIZE];          // TgInitCE data
    uint16_t ceLength;
    uint8_t generalBytes[NFC53X_GENERAL_BYTES_MAX]; // of the peer, from its ATR
    uint16_t generalBytesLength;
    TNfc53xEventSink handleEvent;
};

inline TNfc53xPart* nfc53xPart(TNfcllContext* ll) { return nfcllDriver<TNfc53xPart>(ll); }

// The driver's entry for reader types of this family: fills the miniport slots, starts at INIT1.
int32_t nfc53xInit(TNfcllContext* ll);

// ---- Command table ---------------------------------------------------------------------------
struct TNfc53xCommand {
    uint32_t id;
    const char* name;
    uint32_t flag;
    const uint8_t* bytes;
    uint16_t length;
};
// The row of a request id; null for an id outside the table.
const TNfc53xCommand* nfc53xCommand(uint32_t id);

// ---- State machine ------------------------------------------------------------------------------
// The driver's slots of the miniport, other than the start-up and the frame reader's.
void nfc53xHandleEvent(TNfcllContext* ll, uint32_t event, const uint8_t* data, uint16_t length);
void nfc53xHandleListenReq(TNfcllContext* ll, uint32_t type, const TNfcListenParam* params);
void nfc53xHandleTransactionReq(TNfcllContext* ll, const uint8_t* data, uint16_t length, uint32_t timeout);
void nfc53xHandleSelectReq(TNfcllContext* ll, uint8_t index);
void nfc53xHandleIoControlReq(TNfcllContext* ll, uint32_t code, void* instance, uint32_t timeout, const uint8_t* input,
                              uint16_t inputLength, uint8_t* output, uint16_t outputSize);
void nfc53xHandleTimerExpired(TNfcllContext* ll, uint8_t timerId);
void nfc53xHandleLineSignal(TNfcllContext* ll, uint32_t signal);
uint32_t nfc53xHandleOtherMessage(TNfcllContext* ll);

// ---- Frames -----------------------------------------------------------------------------------
// Builds and sends one frame; false when it is refused (too long) or layer 1 could not send it,
// in which case nothing about the pending request has changed.
bool nfc53xSendDsCommand(TNfcllContext* ll, uint32_t id, const uint8_t* data, uint16_t length);
// The dataIndication slot: appends the bytes and hands each complete frame's event to the sink.
void nfc53xDataIndication(TNfcllContext* ll, const uint8_t* buffer, uint16_t length, uint16_t offset);
uint8_t nfc53xAsciiHexToInt(char c);

// ---- Command data (listen builders) ------------------------------------------------------------
// Each returns false, building nothing, when the parameters' general bytes do not fit.
bool nfc53xBuildInJumpForDep(TNfcllContext* ll, const TNfcListenParam* params);
bool nfc53xBuildTgInitAsTarget(TNfcllContext* ll, const TNfcListenParam* params);
bool nfc53xBuildCeBlock(TNfcllContext* ll, bool felica, const TNfcListenParam* params);
// InListPassiveTarget data (after the MaxTg byte of the row) for a poll type; its length.
uint16_t nfc53xInListPassiveTargetData(uint32_t pollType, uint8_t* out);

// ---- Response decoders (data = the bytes after the response code) ------------------------------
uint32_t nfc53xDecodeInListPassiveTarget(TNfcllContext* ll, const uint8_t* data, uint16_t size);
uint32_t nfc53xDecodeTgInitAsTarget(TNfcllContext* ll, const uint8_t* data, uint16_t size);
uint32_t nfc53xDecodeInJumpForDep(TNfcllContext* ll, const uint8_t* data, uint16_t size);
uint32_t nfc53xP2pReceive(TNfcllContext* ll, bool initiator, const uint8_t* data, uint16_t size);
uint32_t nfc53xDecodeSetDepData(TNfcllContext* ll, bool meta, const uint8_t* data, uint16_t size);
// TgGetDEPData as card: the reader's command, joined from its pieces; output is the whole
// command behind a status byte once its last piece came.
uint32_t nfc53xCeReceive(TNfcllContext* ll, const uint8_t* data, uint16_t size, const uint8_t*& output,
                         uint16_t& length);
