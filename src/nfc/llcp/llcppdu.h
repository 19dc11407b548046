// The LLCP wire format as this stack builds and checks it: the PDU header, the parameter TLVs,
// the evaluation of the peer's link parameters, the checks a PDU must pass before a link sees
// it, and aggregated frames. Pure functions over bytes; every read goes through CByteReader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/bytereader.h"

#define LLCP_PDU_TYPES(X) \
    X(SYMM, 0)            \
    X(PAX, 1)             \
    X(AGF, 2)             \
    X(UI, 3)              \
    X(CONNECT, 4)         \
    X(DISC, 5)            \
    X(CC, 6)              \
    X(DM, 7)              \
    X(FRMR, 8)            \
    X(SNL, 9)             \
    X(I, 12)              \
    X(RR, 13)             \
    X(RNR, 14)

#define LLCP_PTYPE_ENUM(name, value) LLCP_##name = value,
enum LlcpPtype : uint8_t { LLCP_PDU_TYPES(LLCP_PTYPE_ENUM) };
#undef LLCP_PTYPE_ENUM

#define LLCP_PARAMETERS(X) \
    X(VERSION, 1)          \
    X(MIUX, 2)             \
    X(WKS, 3)              \
    X(LTO, 4)              \
    X(RW, 5)               \
    X(SN, 6)               \
    X(OPT, 7)              \
    X(SDREQ, 8)            \
    X(SDRES, 9)

#define LLCP_PARAM_ENUM(name, value) LLCP_PARAM_##name = value,
enum LlcpParam : uint8_t { LLCP_PARAMETERS(LLCP_PARAM_ENUM) };
#undef LLCP_PARAM_ENUM

const char* llcpPtypeName(uint8_t ptype); // "unknown" for a type outside the table
const char* llcpParamName(uint8_t type);

constexpr uint16_t LLCP_DEFAULT_MIU = 128;
constexpr uint16_t LLCP_MAX_MIU = 2048;
constexpr uint8_t LLCP_SAP_LM = 0;
constexpr uint8_t LLCP_SAP_SDP = 1;

// Error flags of a refused PDU, as FRMR carries them.
enum : uint8_t {
    LLCP_FRMR_W = 0x80, // control field
    LLCP_FRMR_I = 0x40, // information field length
    LLCP_FRMR_R = 0x20, // N(R)
    LLCP_FRMR_S = 0x10, // N(S)
};

struct LlcpHeader {
    uint8_t dsap;
    uint8_t ptype;
    uint8_t ssap;
};

// Two bytes: DSAP(6) | PTYPE(4) | SSAP(6).
bool llcpReadHeader(CByteReader& reader, LlcpHeader& header);
void llcpWriteHeader(uint8_t* out, uint8_t dsap, uint8_t ptype, uint8_t ssap);

// The peer's link parameters; the values are the defaults every evaluation starts from.
struct LlcpRemoteParams {
    uint8_t version = 0;
    uint16_t miu = LLCP_DEFAULT_MIU;
    uint16_t ltoMs = 400;
    uint16_t wks = 0x0001;
    uint8_t lcs = 0;
};

// Resets params to the defaults and takes every parameter the TLVs carry. A TLV whose length
// runs past the bytes, or is shorter than its value, is traced and not read.
void llcpEvaluateParams(const uint8_t* data, size_t length, LlcpRemoteParams& params);
// True when the bytes are a sequence of whole TLVs.
bool llcpTlvsWhole(const uint8_t* data, size_t length);
// The value of the first TLV of the type, when one is whole; a later truncated TLV doesn't matter.
bool llcpFindTlv(const uint8_t* data, size_t length, uint8_t type, const uint8_t*& value, uint8_t& valueLength);

// A received PDU, split by llcpCheckPdu.
struct LlcpPdu {
    LlcpHeader header{};
    uint8_t ns = 0;
    uint8_t nr = 0;
    uint8_t sequence = 0;
    bool hasSequence = false; // I, RR and RNR carry one
    const uint8_t* payload = nullptr;
    uint16_t payloadLength = 0;
};

// Splits a frame (at least the 2 header bytes) into header, sequence and payload.
bool llcpSplitPdu(const uint8_t* frame, uint16_t length, LlcpPdu& pdu);
// The checks a PDU must pass before a link handles it: 0, or the FRMR error flags.
uint8_t llcpCheckPdu(const LlcpPdu& pdu, uint16_t linkMiu);

// An AGF's information field is whole length-prefixed PDUs, at least two, none an AGF itself.
enum class LlcpAgfCheck { Valid, SinglePdu, BadLength, Nested };
LlcpAgfCheck llcpCheckAgf(const uint8_t* payload, uint16_t length);
// The next inner PDU of a checked AGF.
bool llcpNextAgfPdu(CByteReader& reader, const uint8_t*& pdu, uint16_t& length);
