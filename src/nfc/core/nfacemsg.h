// The messages between the API core and the NFC manager: requests go down, confirmations and
// indications come up. One table gives every code its name and its payload record; a payload
// is read and written only through its record, never by byte offset. The records the manager
// shares with its tasks live here too, and nothing of the API or the manager is included, so
// the tag handlers and LLCP read them from below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "corvane.h"
#include "os/os.h"

// ---- Payload records ----------------------------------------------------------------------
struct TNfaceEmpty {};

// The keys B that the locked trailers of a MIFARE Classic tag get: the directory's and the NFC
// sectors'. A key of all zeros names none, and the handler keeps its own.
struct TNfaceReadonlyReq {
    uint8_t madKeyB[6];
    uint8_t nfcKeyB[6];
};

struct TNfaceCause {
    uint16_t cause;
};

// What the API registers with the NFC manager for one application: the start-up keeps the same
// record for registrations that wait for the worker.
using TNfaceUpcall = void (*)(void* instance, const void* message);
struct TNfaceRegistration {
    void* instance;
    TNfaceUpcall upcall;
    uint16_t value;
    uint16_t reserved;
};

// ---- Shared with the manager's tasks --------------------------------------------------------
constexpr OsQueueName NFCMAN_QUEUE_NAME = 0xB2;
constexpr OsQueueName NFCMAN_LLCP_QUEUE_NAME = 0xB1;

// The set-parameter block that tells LLCP its role on a new P2P link (command 0xC2).
struct TNfcmanLlcpParameters {
    uint32_t reserved0[2];
    uint32_t role;                      // NFCMAN_LLCP_INITIATOR or NFCMAN_LLCP_TARGET
    uint32_t reserved12[4];
    uint32_t lto;                       // 0: LLCP keeps its own remote link time-out
    uint8_t reserved32[40];
};
static_assert(sizeof(TNfcmanLlcpParameters) == 72 && offsetof(TNfcmanLlcpParameters, role) == 8 &&
              offsetof(TNfcmanLlcpParameters, lto) == 28);
struct TNfcmanSetParameterFields {
    TNfcmanLlcpParameters* parameters;  // a buffer of the global pool; LLCP releases it
};
enum : uint32_t { NFCMAN_LLCP_INITIATOR = 196, NFCMAN_LLCP_TARGET = 197 };

// The transfer descriptor of an application instance, reused by each request: what the NFC
// manager reads (write data) and the room the API core copies an answer into (read data).
struct TNfaceTransfer {
    uint8_t* readData;
    const uint8_t* writeData;
    uint16_t mode;          // 0; NFACE_TRANSFER_UNANSWERED for a PDU that gets no answer
    uint16_t writeLength;
    uint16_t readLength;
};
constexpr uint16_t NFACE_TRANSFER_UNANSWERED = 18;

struct TNfaceListenReq {
    uint32_t mask;
    const TNfcListenParam* params;
};

struct TNfaceDeviceInd {
    uint16_t cause;
    uint16_t count;
    TNfcTagInfo* const* tags;
};

struct TNfaceFormatReq {
    uint16_t messageCount;
    uint16_t ndefLength;
    uint16_t flags;
};

struct TNfaceFormatConf {
    uint16_t cause;
    uint32_t maxNdefSize;
};

struct TNfaceReadReq {
    uint16_t flag;          // 1 a new read, 2 its continuation
    uint8_t* buffer;
    uint16_t offset;
    uint16_t bufferLength;
};

// READ_IND and IO_CONTROL_CONF.
struct TNfaceDataInd {
    uint16_t cause;
    const uint8_t* data;
    uint16_t length;
};

struct TNfaceWriteReq {
    uint16_t flag;
    const uint8_t* data;
    uint16_t offset;
    uint16_t length;
};

// TRANSACTION_REQ and TAG_SELECT.
struct TNfaceTransferReq {
    TNfaceTransfer* transfer;
};

struct TNfaceTransactionInd {
    uint16_t cause;
    const uint8_t* data;
    uint16_t offset;        // of the answer in the data
    uint16_t length;
    uint16_t value;
};

struct TNfaceTestInd {
    uint16_t cause;
    uint16_t contact;
};

struct TNfaceApp {
    void* hApp;
};

struct TNfaceRegisterConf {
    void* hApp;
    uint16_t cause;
};

struct TNfaceActInd {
    uint16_t cause;
    uint32_t reserved;
    uint16_t controllerCount;
    TNfcCapabilityBlock* capabilities;
};

struct TNfaceSeInd {
    uint32_t event;         // NFACE_SE_TRANSACTION, else a notification kind
    NfcSecureHandle hSecure;
    uint32_t flags;
    const TNfcTransaction* transaction;
};
constexpr uint32_t NFACE_SE_TRANSACTION = 4;

struct TNfaceNdefCheckConf {
    uint16_t cause;
    const TNfcTagInfo* tag;
};

struct TNfaceIoControlReq {
    TNfaceTransfer* transfer;
    uint32_t code;
    uint32_t parameter;     // the secure element's handle, or 0
    uint16_t timeoutMs = 0; // for the controller driver; 0 its default
};

struct TNfaceRfFieldInd {
    uint32_t state;         // 1 field on, 0 field off
};

// LLCP links and sockets.
struct TNfaceLlcpConReq {
    void* context;
    uint8_t* buffer;        // the receive buffers are cut from here; the requester's until the link is freed
    const char* name;       // copied by LLCP
    uint32_t bufferSize;
    uint16_t nameLength;
    uint16_t miu;
    uint8_t window;
    uint8_t dsap;
};

struct TNfaceLlcpListenReq {
    void* context;
    uint8_t* buffer;
    const char* name;
    uint32_t bufferSize;
    uint16_t nameLength;
    uint16_t miu;
    uint8_t window;
    uint8_t maxConnections;
    uint8_t ssap;
    uint8_t mode;           // 1 connection-oriented, 0 connectionless
};

struct TNfaceLlcpLink {
    void* hApp;
    void* hLink;
};

struct TNfaceLlcpLinkCause {
    void* hApp;
    void* hLink;
    uint16_t cause;
};

struct TNfaceLlcpConActInd {
    void* hApp;
    void* hLink;
    uint16_t remoteMiu;
    uint8_t ssap;
    uint8_t dsap;
    uint8_t remoteWindow;
};

struct TNfaceLlcpLinkOnly {
    void* hLink;
};

struct TNfaceLlcpDataReq {
    void* hLink;
    const uint8_t* data;    // stays the requester's until the confirmation
    uint16_t length;
    uint8_t handle;
    uint8_t dsap;           // a connectionless link sends to this SAP
};

struct TNfaceLlcpDataConf {
    void* hApp;
    void* hLink;
    uint16_t cause;
    uint8_t handle;
};

struct TNfaceLlcpDataInd {
    void* hApp;
    void* hLink;
    const uint8_t* data;
    uint16_t length;
    uint8_t ssap;           // the sender's SAP: a datagram is answered there
    uint8_t handle;
};

struct TNfaceLlcpDataResp {
    void* hLink;
    uint8_t handle;
};

struct TNfaceLlcpSdpReq {
    void* hApp;
    const char* name;
    uint16_t nameLength;
};

struct TNfaceLlcpSdpConf {
    void* hApp;
    uint16_t cause;
    uint8_t sap;
};

// ---- The codes: low nibble 1 request, 2 confirmation, 4 indication, 8 response --------------
#define NFACE_MESSAGES(X)                                                   \
    X(0xA001, LISTEN_REQ, TNfaceListenReq)                                  \
    X(0xA002, LISTEN_CONF, TNfaceCause)                                     \
    X(0xA014, DEVICE_IND, TNfaceDeviceInd)                                  \
    X(0xA021, FORMAT_REQ, TNfaceFormatReq)                                  \
    X(0xA022, FORMAT_CONF, TNfaceFormatConf)                                \
    X(0xA031, READ_REQ, TNfaceReadReq)                                      \
    X(0xA034, READ_IND, TNfaceDataInd)                                      \
    X(0xA041, WRITE_REQ, TNfaceWriteReq)                                    \
    X(0xA042, WRITE_CONF, TNfaceCause)                                      \
    X(0xA051, TRANSACTION_REQ, TNfaceTransferReq)                           \
    X(0xA054, TRANSACTION_IND, TNfaceTransactionInd)                        \
    X(0xA061, TEST_REQ, TNfaceEmpty)                                        \
    X(0xA064, TEST_IND, TNfaceTestInd)                                      \
    X(0xA074, ERROR_IND, TNfaceCause)                                       \
    X(0xA081, REGISTER_REQ, TNfaceRegistration)                             \
    X(0xA082, REGISTER_CONF, TNfaceRegisterConf)                            \
    X(0xA091, RELEASE_REQ, TNfaceApp)                                       \
    X(0xA092, RELEASE_CONF, TNfaceCause)                                    \
    X(0xA0A1, SET_READONLY_REQ, TNfaceReadonlyReq)                          \
    X(0xA0A2, SET_READONLY_CONF, TNfaceCause)                               \
    X(0xA0B4, TECH_REMOVE_IND, TNfaceCause)                                 \
    X(0xA0C4, ACT_IND, TNfaceActInd)                                        \
    X(0xA0D1, CANCEL_REQ, TNfaceEmpty)                                      \
    X(0xA101, NFC_LLCP_CON_REQ, TNfaceLlcpConReq)                           \
    X(0xA102, NFC_LLCP_CON_CONF, TNfaceLlcpLinkCause)                       \
    X(0xA114, NFC_LLCP_CON_ACT_IND, TNfaceLlcpConActInd)                    \
    X(0xA118, NFC_LLCP_CON_ACT_RESP, TNfaceLlcpLink)                        \
    X(0xA121, NFC_LLCP_LISTEN_REQ, TNfaceLlcpListenReq)                     \
    X(0xA122, NFC_LLCP_LISTEN_CONF, TNfaceLlcpLinkCause)                    \
    X(0xA131, NFC_LLCP_DISC_REQ, TNfaceLlcpLink)                            \
    X(0xA132, NFC_LLCP_DISC_CONF, TNfaceLlcpLinkCause)                      \
    X(0xA134, NFC_LLCP_DISC_IND, TNfaceLlcpLinkCause)                       \
    X(0xA138, NFC_LLCP_DISC_RESP, TNfaceLlcpLinkOnly)                       \
    X(0xA141, NFC_LLCP_DATA_REQ, TNfaceLlcpDataReq)                         \
    X(0xA142, NFC_LLCP_DATA_CONF, TNfaceLlcpDataConf)                       \
    X(0xA144, NFC_LLCP_DATA_IND, TNfaceLlcpDataInd)                         \
    X(0xA148, NFC_LLCP_DATA_RESP, TNfaceLlcpDataResp)                       \
    X(0xA151, NFC_LLCP_SDP_REQ, TNfaceLlcpSdpReq)                           \
    X(0xA152, NFC_LLCP_SDP_CONF, TNfaceLlcpSdpConf)                         \
    X(0xA174, NFC_SE_IND, TNfaceSeInd)                                      \
    X(0xA181, NFC_NDEF_CHECK_REQ, TNfaceEmpty)                              \
    X(0xA182, NFC_NDEF_CHECK_CONF, TNfaceNdefCheckConf)                     \
    X(0xA191, IO_CONTROL_REQ, TNfaceIoControlReq)                           \
    X(0xA192, IO_CONTROL_CONF, TNfaceDataInd)                               \
    X(0xA201, DEACT_REQ, TNfaceEmpty)                                       \
    X(0xA211, TAG_SELECT, TNfaceTransferReq)                                \
    X(0xA212, TAG_SELECT_CONF, TNfaceCause)                                 \
    X(0xA304, RF_FIELD_IND, TNfaceRfFieldInd)                               \
    X(0xA404, DEVICE_REMOVED_IND, TNfaceEmpty)

#define NFACE_CODE_ENUM(code, name, payload) NFACE_##name = code,
enum NfaceCode : uint16_t { NFACE_MESSAGES(NFACE_CODE_ENUM) };
#undef NFACE_CODE_ENUM

// The payload record of each code.
template <uint16_t Code>
struct NfacePayloadOf;
#define NFACE_PAYLOAD_OF(code, name, payload) \
    template <>                               \
    struct NfacePayloadOf<code> {             \
        using type = payload;                 \
    };
NFACE_MESSAGES(NFACE_PAYLOAD_OF)
#undef NFACE_PAYLOAD_OF

// ---- The message ----------------------------------------------------------------------------
// Down, the payload travels in the OsMessage's fields; so no payload is larger than they are.
constexpr size_t NFACE_PAYLOAD_MAX = OS_MESSAGE_FIELDS;

struct TnfcapiMsg {
    uint16_t code;
    uint16_t length;        // bytes of header and payload
    // The identity of the request that this message asks or answers. The NFC manager answers a
    // request with the identity it came with; a message that answers no request carries 0.
    uint16_t request;
    uint16_t reserved;
    alignas(8) uint8_t payload[NFACE_PAYLOAD_MAX];
};
constexpr uint16_t NFACE_HEADER_SIZE = offsetof(TnfcapiMsg, payload);
constexpr uint16_t NFACE_MESSAGE_MAX = sizeof(TnfcapiMsg);

#define NFACE_PAYLOAD_FITS(code, name, payload)                                             \
    static_assert(std::is_trivially_copyable_v<payload> && sizeof(payload) <= NFACE_PAYLOAD_MAX, \
                  #name " fits the message");
NFACE_MESSAGES(NFACE_PAYLOAD_FITS)
#undef NFACE_PAYLOAD_FITS

template <uint16_t Code>
TnfcapiMsg nfaceMsgMake(const typename NfacePayloadOf<Code>::type& payload = {}) {
    using Payload = typename NfacePayloadOf<Code>::type;
    TnfcapiMsg message{};
    message.code = Code;
    message.length = std::is_empty_v<Payload> ? NFACE_HEADER_SIZE
                                              : static_cast<uint16_t>(NFACE_HEADER_SIZE + sizeof(Payload));
    if constexpr (!std::is_empty_v<Payload>) std::memcpy(message.payload, &payload, sizeof(Payload));
    return message;
}

template <uint16_t Code>
typename NfacePayloadOf<Code>::type nfaceMsgGet(const TnfcapiMsg& message) {
    using Payload = typename NfacePayloadOf<Code>::type;
    Payload payload{};
    if constexpr (!std::is_empty_v<Payload>) std::memcpy(&payload, message.payload, sizeof(Payload));
    return payload;
}

// The name of a code as the traces print it; empty for a code not in the table.
const char* nfaceCodeName(uint16_t code);

inline bool nfaceGoesDown(uint16_t code) { return (code & 0x9) != 0; }   // a request or a response
