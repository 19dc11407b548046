// The tag-handler frame as its owner, the NFC manager, drives it: one handler record per detected
// tag, the factory that picks the tag's family, the commands the owner posts into the handler's
// state machine and the two owner operations through which the handler sends its PDUs and
// reports the end of each command. A family joins through its init function; a family that is
// not part of the build has none, and a tag of that family gets no handler.
#pragma once

#include <cstddef>
#include <cstdint>

#include "corvane.h"
#include "util/sm.h"

struct TTagHandler;

// Family operations: a property reader (found is 1 when the family knows the id) and writer.
using ThGetProperty = uint32_t (*)(TTagHandler* handler, uint32_t id, int* found);
using ThSetProperty = uint32_t (*)(TTagHandler* handler, uint32_t id, uint32_t value);
// Owner operations: the result of a command, and a PDU to send (1 when it was handed on).
using ThConfirm = void (*)(TTagHandler* handler, uint16_t code, uint16_t cause, uint32_t argument);
using ThSendPdu = uint32_t (*)(TTagHandler* handler, const uint8_t* pdu, uint16_t size, uint8_t flags, uint16_t timeout);

// Events of the handlers' state machines: one source for codes and names.
#define TH_EVENTS(X)                 \
    X(EV_TH_INIT)                    \
    X(EV_TH_CMD_CHECK_NDEF)          \
    X(EV_TH_CMD_READ)                \
    X(EV_TH_CMD_WRITE)               \
    X(EV_TH_CMD_FORMAT)              \
    X(EV_TH_CMD_FORMAT_ERASE)        \
    X(EV_TH_CMD_TEST)                \
    X(EV_TH_CMD_SET_READONLY)        \
    X(EV_TH_CMD_CAPACITY_SEARCH)     \
    X(EV_TH_CMD_MAGIC)               \
    X(EV_TH_DEVICE_IND)              \
    X(EV_TH_TRANSACTION_IND)         \
    X(EV_TH_TRANSACTION_ERROR_IND)   \
    X(EV_TH_CHECK_CONF)              \
    X(EV_TH_CHECK_CONF_ERROR)

constexpr uint16_t TH_EVENT_CLASS = 2;
#define TH_EVENT_ENUM(name) name,
enum ThEvent : uint16_t { EV_TH_BEFORE_FIRST = (TH_EVENT_CLASS << 8) - 1, TH_EVENTS(TH_EVENT_ENUM) };
#undef TH_EVENT_ENUM

// The command in progress; it decides what thSendTransactionIndication reports.
enum ThCommandMode : uint32_t {
    TH_MODE_CHECK_NDEF = 0,
    TH_MODE_READ = 1,
    TH_MODE_WRITE = 2,
    TH_MODE_FORMAT = 3,
    TH_MODE_TEST = 4,
    TH_MODE_SET_READONLY = 5,
    TH_MODE_NONE = 6,
};

// Access bits of a handler.
enum : uint16_t {
    TH_ACCESS_READ = 0x1,
    TH_ACCESS_WRITE = 0x2,
    TH_ACCESS_FORMATTABLE = 0x4,
};

// What a family reports once it has identified its tag (with the NFACE codes of the other results).
constexpr uint16_t TH_DEVICE_CONF = 0xA012;
constexpr uint8_t TH_PDU_CHECK = 0x1;           // sendPdu flag: a presence check, not a transaction
constexpr uint16_t TH_FORMAT_ERASE = 0x4;       // format flag: erase
constexpr size_t TH_PDU_SIZE = 272;
// No command of any tag a family serves needs more exchanges than this; past it the frame
// refuses to send, so no tag's memory or answers keep a command going for ever.
constexpr uint32_t TH_MAX_EXCHANGES = 1u << 18;
constexpr size_t TH_FAMILY_STATE_SIZE = 1024;

// The read or write in progress: filled by the owner, advanced by the family.
struct ThCommandBlock {
    uint32_t size;              // of the read, or of this part of the write
    uint32_t offset;            // into the NDEF message
    uint8_t* buffer;            // where a read delivers
    const uint8_t* data;        // what a write takes
    uint32_t delivered;         // bytes the read delivered, or the write took
    uint32_t final;             // 1 when this write part is the last
    uint32_t progress[2];       // the family's counters
};

struct TTagHandler {
    ThGetProperty getProperty;
    ThSetProperty setProperty;
    ThConfirm confirm;
    ThSendPdu sendPdu;
    TStateMachine sm;
    const uint8_t* rspData;     // the last answer, valid until the next exchange
    uint32_t rspLength;
    uint32_t sendResult;
    uint16_t cause;             // of the last exchange or local failure
    TNfcTagInfo* deviceTagInfo;
    uint16_t readerType;
    TNfcTagInfo* tagInfo;
    uint32_t tagType;           // TAG_NDEF included
    uint32_t tagSubtype;
    uint32_t physicalSize;
    uint32_t maxNdefSize;
    uint32_t currentNdefSize;
    uint8_t uid[16];
    uint8_t uidLength;
    uint32_t isNdef;
    uint16_t access;
    uint32_t formatSize;
    uint16_t formatFlags;
    void* owner;
    uint32_t commandMode;
    uint32_t exchanges;         // PDUs the command in progress has sent
    uint16_t heldCause;         // of a read served from the cache, reported once the tag has answered
    ThCommandBlock command;
    uint8_t pdu[TH_PDU_SIZE];
    alignas(8) uint8_t family[TH_FAMILY_STATE_SIZE];   // the family's own fields
};

// The families, by the tag types they take.
enum ThFamily : int {
    TH_FAMILY_TYPE4,
    TH_FAMILY_ISO15693,
    TH_FAMILY_MIFARE,
    TH_FAMILY_TYPE2,
    TH_FAMILY_TYPE3,
    TH_FAMILY_TYPE1,
    TH_FAMILY_KOVIO,
    TH_FAMILY_COUNT,
    TH_FAMILY_NONE = -1,
};

// A family's init: fills the family's operations and state machine and enters its Idle state.
// 1 when it took the tag.
using ThFamilyInit = uint32_t (*)(TTagHandler* handler);

// The family of a tag type (TAG_NDEF ignored, exact values only), TH_FAMILY_NONE for none.
ThFamily thFamilyOf(uint32_t tagType);
// The init of each family in this build, by ThFamily, empty for a family that is not part of it.
extern const ThFamilyInit* const thBuildFamilyInits;
// Tests put stand-ins in place of the build's inits; empty restores the build's.
void thSetFamilyInits(const ThFamilyInit* inits);

// A tag-subtype row: the whole chip code and its name.
struct ThSubtype {
    uint32_t code;
    const char* name;
};
// The library-wide subtype table that the families provide; empty until they do.
void thSetSubtypeTable(const ThSubtype* rows, size_t count);
// The name of a chip code, "<unknown>" for a code not in the table.
const char* thSubtypeName(uint32_t code);

// ---- Owner's entry points -------------------------------------------------------------------
// Clears the handler and lets the tag's family take it: 1 taken, 0 no family for the tag.
uint32_t thCreate(TNfcTagInfo* tagInfo, TTagHandler* handler, void* owner, ThConfirm confirm, ThSendPdu sendPdu);
void thDeviceIndication(TTagHandler* handler, uint16_t readerType, TNfcTagInfo* device);
void thCheckNdef(TTagHandler* handler);
void thRead(TTagHandler* handler, uint32_t size, uint32_t offset, uint8_t* buffer);
void thWrite(TTagHandler* handler, const uint8_t* data, uint32_t size, bool final);
void thFormat(TTagHandler* handler, uint32_t size, uint16_t flags);
void thTest(TTagHandler* handler);
void thSetReadonly(TTagHandler* handler);
void thTransactionIndication(TTagHandler* handler, uint16_t cause, const uint8_t* data, uint32_t length);
void thCheckConfirmation(TTagHandler* handler, uint16_t cause, const uint8_t* data, uint32_t length);

// ---- Services for the families --------------------------------------------------------------
// 0 handed on, 10 when the owner refused it (or the command has used up its exchanges).
uint16_t thSendPdu(TTagHandler* handler, const uint8_t* pdu, uint16_t size, uint8_t flags, uint16_t extra);
// Reports the end of the command in progress, by its mode.
void thSendTransactionIndication(TTagHandler* handler, uint16_t cause);
