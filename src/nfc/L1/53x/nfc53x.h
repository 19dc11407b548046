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
constexpr uint8_t NFC53X_TIMER_POLL = 4;
constexpr uint32_t NFC53X_RESPONSE_MS = 1000;

// Request ids callers name commands by (the table's order differs).
enum Nfc53xRequest : uint32_t {
    NFC53X_REQ_IN_JUMP_FOR_DEP = 0,
    NFC53X_REQ_TG_INIT_AS_TARGET = 1,
    NFC53X_REQ_TG_GET_DEP_DATA = 2,
    NFC53X_REQ_TG_SET_DEP_DATA = 3,
    NFC53X_REQ_IN_DATA_EXCHANGE = 4,
    NFC53X_REQ_IN_LIST_PASSIVE_TARGET = 5,
    NFC53X_REQ_RF_CONFIGURATION = 6,
    NFC53X_REQ_GET_FIRMWARE_VERSION = 8,
    NFC53X_REQ_TAMA_ACK = 10,
    NFC53X_REQ_TG_INIT_CE = 11,
    NFC53X_REQ_SAM_CONFIG_INIT = 12,
    NFC53X_REQ_SAM_CONFIG_NORMAL = 13,
    NFC53X_REQ_GET_GENERAL_STATUS = 16,
    NFC53X_REQ_RF_ITEM2 = 17,
    NFC53X_REQ_RF_ITEM5 = 18,
    NFC53X_REQ_EMPTY_IN_DATA_EXCHANGE = 22,
    NFC53X_REQ_IN_DATA_EXCHANGE_MORE = 23,
    NFC53X_REQ_TG_SET_META_DATA = 24,
    NFC53X_REQ_IO_RF_CONFIGURATION = 26,
    NFC53X_REQ_IO_GENERAL_STATUS = 27,
    NFC53X_REQ_COUNT = 32,
};

// Events of the driver's state machine that the frame reader gives.
enum Nfc53xEvent : uint32_t {
    NFC53X_EVT_NONE = 0,
    NFC53X_EVT_RESET = 1,
    NFC53X_EVT_ACK = 7,
    NFC53X_EVT_NACK = 8,
    NFC53X_EVT_GENERIC_RESPONSE = 10,
    NFC53X_EVT_LISTEN_RESPONSE = 11,
    NFC53X_EVT_RESPONSE_ERROR = 13,
    NFC53X_EVT_P2P_GET_DONE = 17,
    NFC53X_EVT_P2P_SET_DONE = 18,
    NFC53X_EVT_FELICA_POLL = 22,
    NFC53X_EVT_FELICA_PDU = 23,
    NFC53X_EVT_P2P_METASET_DONE = 25,
    NFC53X_EVT_P2P_TARGET_RELEASED = 26,
    NFC53X_EVT_IO_RESPONSE = 27,
};

// The driver states the decoders look at.
enum Nfc53xState : uint32_t {
    NFC53X_STATE_INACTIVE = 0,
    NFC53X_STATE_INIT2 = 2,
    NFC53X_STATE_INIT3 = 3,
    NFC53X_STATE_INIT4 = 4,
    NFC53X_STATE_INIT5 = 5,
    NFC53X_STATE_DEACTIVATE_RF = 7,
    NFC53X_STATE_DEACTIVATE_RF_2 = 9,
    NFC53X_STATE_SEND_RAW = 14,
    NFC53X_STATE_CE_LISTEN = 39,
    NFC53X_STATE_INIT6 = 53,
};

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
    uint16_t ioLength;              // bytes of the I/O result in ll->ioOutput
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
