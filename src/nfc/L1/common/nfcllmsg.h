// The messages between layer 1 and the layer above it (the NFC manager, or LLCP while a P2P
// link runs): requests come down, confirmations and indications go up. They are OsMessage
// commands; one table gives every code its name and the record of its fields, and a message is
// written and read only through that record (nfcllMsgMake / nfcllMsgGet), never by byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "corvane.h"
#include "os/os.h"
#include "transport/com.h"

// ---- Field records --------------------------------------------------------------------------
struct TNfcllEmpty {};

struct TNfcllCause {
    uint16_t cause;
};

// NFCLL_ACT_CONF: the capability block lives in layer 1 as long as the stack does.
struct TNfcllActConf {
    uint16_t cause;
    TNfcCapabilityBlock* capabilities;
};

// NFCLL_LISTEN_REQ: params points at the requester's copy, which stays valid until the next one.
struct TNfcllListenReq {
    uint32_t mask;
    const TNfcListenParam* params;
};

struct TNfcllListenConf {
    uint16_t cause;
    uint32_t value;
};

// NFCLL_TRANSACTION_REQ and NFCLL_CHECK_REQ. The data stay owned by the requester until the
// answer comes; a time-out of 0 asks for the controller driver's default (a check has none).
struct TNfcllTransactionReq {
    const uint8_t* data;
    uint16_t length;
    uint32_t timeout;       // ms
};

struct TNfcllSelectReq {
    uint8_t endpoint;
    uint32_t tagType;
};

// NFCLL_US_QUEUE_REQ: the queue that becomes layer 1's upper queue.
struct TNfcllUsQueueReq {
    uint16_t queueId;
};

// NFCLL_IOCONTROL_REQ: input and output stay owned by the requester until the confirmation.
struct TNfcllIoControlReq {
    void* instance;
    const uint8_t* input;
    uint8_t* output;
    uint32_t code;
    uint32_t timeout;       // ms
    uint16_t inputLength;
    uint16_t outputSize;
};

// NFCLL_IOCONTROL_CONF: length is 0 unless the cause is 0.
struct TNfcllIoControlConf {
    uint16_t cause;
    uint16_t length;
    const uint8_t* data;
};

struct TNfcllHealthMonReq {
    uint8_t on;
};

// What a transaction or check produced.
struct TNfcllTransactionResult {
    uint16_t cause;
    uint16_t errorLength;   // the length, when the cause is not 0
    uint16_t dataLength;    // the length, when the cause is 0
    const uint8_t* data;
};

// NFCLL_TRANSACTION_IND and NFCLL_CHECK_CONF. With NFCLL_MSG_OWNS_BUFFER the result record
// starts a buffer of layer 1's receive pool (the data follow it) and the receiver releases
// that buffer with osBufferRelease(result); without it the record lives in layer 1.
struct TNfcllTransactionInd {
    uint32_t flags;
    uint16_t recordSize;    // sizeof(TNfcllTransactionResult)
    TNfcllTransactionResult* result;
};
constexpr uint32_t NFCLL_MSG_OWNS_BUFFER = 0x1;

// NFCLL_DEVICE_IND: the device record lives in layer 1 and holds until the next indication.
struct TNfcllDeviceInd {
    uint16_t cause;
    TNfcTagInfo* device;
};

// A P2P device record carries the peer's general bytes in place of the historical bytes: up to
// 50 bytes from there, counted by the historical-bytes length.
constexpr size_t NFCLL_GENERAL_BYTES_OFFSET = offsetof(TNfcTagInfo, a.historicalBytes);
constexpr size_t NFCLL_GENERAL_BYTES_MAX = offsetof(TNfcTagInfo, historicalBytesLength) - NFCLL_GENERAL_BYTES_OFFSET;
static_assert(NFCLL_GENERAL_BYTES_MAX == 50);

// NFCLL_DEVICE_RESP, from the NFC manager or LLCP; layer 1 reads none of it.
struct TNfcllDeviceResp {
    const TNfcTagInfo* device;
    uint16_t miu;
};

// NFCLL_DEACT_IND, and the deactivation request that goes down to LLCP and layer 1.
struct TNfcllDevice {
    const TNfcTagInfo* device;     // empty: no device
};

struct TNfcllRfFieldInd {
    uint32_t state;         // 1 field on, 0 field off
};

struct TNfcllEndpointInd {
    uint8_t endpoint;
    uint32_t tagType;
    uint32_t last;          // not 0 for the last end point of a discovery
};

// NFC_SE_IND: for kinds 0 and 1 the flags word is set; for kind 4 the transaction record.
struct TNfcllSeInd {
    uint32_t kind;
    NfcSecureHandle hSecure;
    uint32_t flags;
    const TNfcTransaction* transaction;
};
enum : uint32_t { NFCLL_SE_ACTIVATED = 0, NFCLL_SE_DEACTIVATED = 1, NFCLL_SE_TRANSACTION = 4 };

// PH_DATA_REQ from above (a P2P frame to send) and PH_DATA_IND up (a whole P2P frame). With
// NFCLL_MSG_OWNS_BUFFER in flags the buffer is a pool buffer that the receiver releases.
using TNfcllPhData = PhDataFields;
static_assert(NFCLL_MSG_OWNS_BUFFER == PH_DATA_OWNED);

// The com layer's PH_RESET_CONF parameter, read as a cause.
static_assert(sizeof(TNfcllCause) == sizeof(PhParamFields) && offsetof(PhParamFields, parameter) == 0);

// ---- The codes ------------------------------------------------------------------------------
// The PH_ primitives that also travel between layer 1 and the layer above: their codes are the
// com layer's (transport/com.h), their fields the same layouts as the com layer's.
#define NFCLL_PH_MESSAGES(X)                                        \
    X(0x0103, PH_DATA_REQ, TNfcllPhData)                            \
    X(0x0105, PH_RESET_REQ, TNfcllEmpty)                            \
    X(0x0145, PH_RESET_CONF, TNfcllCause)                           \
    X(0x0183, PH_DATA_IND, TNfcllPhData)

#define NFCLL_MESSAGES(X)                                           \
    X(0x0209, DL_DEACT_REQ, TNfcllDevice)                           \
    X(0x8608, NFCLL_ACT_REQ, TNfcllEmpty)                           \
    X(0x860D, NFCLL_LISTEN_REQ, TNfcllListenReq)                    \
    X(0x8639, NFCLL_TRANSACTION_REQ, TNfcllTransactionReq)          \
    X(0x863A, NFCLL_CHECK_REQ, TNfcllTransactionReq)                \
    X(0x863B, NFCLL_SELECT_REQ, TNfcllSelectReq)                    \
    X(0x863E, NFCLL_US_QUEUE_REQ, TNfcllUsQueueReq)                 \
    X(0x863F, NFCLL_IOCONTROL_REQ, TNfcllIoControlReq)              \
    X(0x8640, NFCLL_HEALTHMON_REQ, TNfcllHealthMonReq)              \
    X(0x8648, NFCLL_ACT_CONF, TNfcllActConf)                        \
    X(0x864D, NFCLL_LISTEN_CONF, TNfcllListenConf)                  \
    X(0x867A, NFCLL_CHECK_CONF, TNfcllTransactionInd)               \
    X(0x867B, NFCLL_SELECT_CONF, TNfcllCause)                       \
    X(0x867E, NFCLL_US_QUEUE_CONF, TNfcllEmpty)                     \
    X(0x867F, NFCLL_IOCONTROL_CONF, TNfcllIoControlConf)            \
    X(0x8689, NFCLL_DEACT_IND, TNfcllDevice)                        \
    X(0x868F, NFCLL_ERROR_IND, TNfcllCause)                         \
    X(0x8692, NFCLL_RELEASE_IND, TNfcllEmpty)                       \
    X(0x86AA, NFCLL_ENDPOINT_IND, TNfcllEndpointInd)                \
    X(0x86B8, NFCLL_RF_FIELD_IND, TNfcllRfFieldInd)                 \
    X(0x86B9, NFCLL_TRANSACTION_IND, TNfcllTransactionInd)          \
    X(0x86BA, NFCLL_DEVICE_IND, TNfcllDeviceInd)                    \
    X(0x86BC, NFCLL_TECH_REMOVE_IND, TNfcllCause)                   \
    X(0x86C0, NFCLL_HEALTHMON_IND, TNfcllEmpty)                     \
    X(0x86FA, NFCLL_DEVICE_RESP, TNfcllDeviceResp)                  \
    X(0xA164, NFCLL_LLCP_TRIGGER_IND, TNfcllEmpty)                  \
    X(0xA174, NFC_SE_IND, TNfcllSeInd)

#define NFCLL_CODE_ENUM(code, name, fields) name = code,
enum NfcllCode : uint16_t { NFCLL_MESSAGES(NFCLL_CODE_ENUM) };
#undef NFCLL_CODE_ENUM

#define NFCLL_PH_CODE_IS_COMS(code, name, fields) static_assert(name == code, #name " is the com layer's");
NFCLL_PH_MESSAGES(NFCLL_PH_CODE_IS_COMS)
#undef NFCLL_PH_CODE_IS_COMS

template <uint16_t Code>
struct NfcllFieldsOf;
#define NFCLL_FIELDS_OF(code, name, fields) \
    template <>                             \
    struct NfcllFieldsOf<code> {            \
        using type = fields;                \
    };
NFCLL_MESSAGES(NFCLL_FIELDS_OF)
NFCLL_PH_MESSAGES(NFCLL_FIELDS_OF)
#undef NFCLL_FIELDS_OF

#define NFCLL_FIELDS_FIT(code, name, fields)                                                          \
    static_assert(std::is_trivially_copyable_v<fields> && sizeof(fields) <= OS_MESSAGE_FIELDS, \
                  #name " fits the message");
NFCLL_MESSAGES(NFCLL_FIELDS_FIT)
#undef NFCLL_FIELDS_FIT

// A message of the code with its fields; the source word is the sender's own queue name.
template <uint16_t Code>
OsMessage nfcllMsgMake(uint32_t source, const typename NfcllFieldsOf<Code>::type& fields = {}) {
    OsMessage message{};
    message.command = Code;
    message.source = source;
    if constexpr (!std::is_empty_v<typename NfcllFieldsOf<Code>::type>) osMsgSetFields(message, fields);
    return message;
}

template <uint16_t Code>
typename NfcllFieldsOf<Code>::type nfcllMsgGet(const OsMessage& message) {
    if constexpr (std::is_empty_v<typename NfcllFieldsOf<Code>::type>)
        return {};
    else
        return osMsgFields<typename NfcllFieldsOf<Code>::type>(message);
}

// The name of a code as the traces print it; empty for a code not in the table.
const char* nfcllCodeName(uint16_t code);
