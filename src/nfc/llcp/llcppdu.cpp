#include "llcp/llcppdu.h"

#include "util/trace.h"

namespace {

struct Name {
    uint8_t value;
    const char* text;
};

#define LLCP_NAME_ROW(name, value) {value, #name},
constexpr Name kPtypeNames[] = {LLCP_PDU_TYPES(LLCP_NAME_ROW)};
constexpr Name kParamNames[] = {LLCP_PARAMETERS(LLCP_NAME_ROW)};
#undef LLCP_NAME_ROW

template <size_t N>
const char* nameOf(const Name (&table)[N], uint8_t value) {
    for (const Name& row : table)
        if (row.value == value) return row.text;
    return "unknown";
}

struct Tlv {
    uint8_t type;
    uint8_t length;
    const uint8_t* value;
};

enum class TlvRead { Done, Next, Truncated };

TlvRead readTlv(CByteReader& reader, Tlv& tlv) {
    if (reader.empty()) return TlvRead::Done;
    if (!reader.u8(tlv.type) || !reader.u8(tlv.length) || !reader.take(tlv.length, tlv.value))
        return TlvRead::Truncated;
    return TlvRead::Next;
}

uint16_t be16(const uint8_t* value) { return static_cast<uint16_t>(value[0] << 8 | value[1]); }

// The width each evaluated parameter's value needs.
uint8_t widthOf(uint8_t type) { return type == LLCP_PARAM_MIUX || type == LLCP_PARAM_WKS ? 2 : 1; }

void takeParam(const Tlv& tlv, LlcpRemoteParams& params) {
    switch (tlv.type) {
        case LLCP_PARAM_VERSION: params.version = tlv.value[0]; break;
        case LLCP_PARAM_MIUX: {
            // Computed wide: 128 + 0xFFFF must be cut to the maximum, never wrap.
            const uint32_t miu = LLCP_DEFAULT_MIU + uint32_t{be16(tlv.value)};
            if (miu > LLCP_MAX_MIU)
                TRACE(TRC_NFCMAN, "LLCP: reduced value for remote miu from %u to %d", miu, LLCP_MAX_MIU);
            params.miu = static_cast<uint16_t>(miu > LLCP_MAX_MIU ? LLCP_MAX_MIU : miu);
            break;
        }
        case LLCP_PARAM_WKS: params.wks = be16(tlv.value); break;
        case LLCP_PARAM_LTO:
            if (tlv.value[0] != 0) params.ltoMs = static_cast<uint16_t>(tlv.value[0] * 10u);
            break;
        case LLCP_PARAM_OPT: params.lcs = tlv.value[0] & 3u; break;
        default: DEBUG_BREAK("nfc/llcp/llcppdu.cpp");
    }
}

} // namespace

const char* llcpPtypeName(uint8_t ptype) { return nameOf(kPtypeNames, ptype); }
const char* llcpParamName(uint8_t type) { return nameOf(kParamNames, type); }

bool llcpReadHeader(CByteReader& reader, LlcpHeader& header) {
    uint8_t b0 = 0, b1 = 0;
    if (!reader.u8(b0) || !reader.u8(b1)) return false;
    header.dsap = b0 >> 2;
    header.ptype = static_cast<uint8_t>((b0 & 3u) << 2 | b1 >> 6);
    header.ssap = b1 & 0x3Fu;
    return true;
}

void llcpWriteHeader(uint8_t* out, uint8_t dsap, uint8_t ptype, uint8_t ssap) {
    out[0] = static_cast<uint8_t>((dsap & 0x3Fu) << 2 | (ptype >> 2 & 3u));
    out[1] = static_cast<uint8_t>((ptype & 3u) << 6 | (ssap & 0x3Fu));
}

void llcpEvaluateParams(const uint8_t* data, size_t length, LlcpRemoteParams& params) {
    params = LlcpRemoteParams{};
    CByteReader reader(data, length);
    Tlv tlv{};
    for (TlvRead r; (r = readTlv(reader, tlv)) != TlvRead::Done;) {
        if (r == TlvRead::Truncated) {
            TRACE(TRC_ERROR, "LLCP: ! ERROR: TLVLength = %d, data length = %d", tlv.length, static_cast<int>(length));
            break;
        }
        if (tlv.type == 0 || tlv.type > LLCP_PARAM_OPT || tlv.type == LLCP_PARAM_RW || tlv.type == LLCP_PARAM_SN) {
            DEBUG_BREAK("nfc/llcp/llcppdu.cpp");
            continue;
        }
        if (tlv.length < widthOf(tlv.type)) {
            TRACE(TRC_ERROR, "LLCP: ! %s with length %d skipped", llcpParamName(tlv.type), tlv.length);
            continue;
        }
        takeParam(tlv, params);
    }
    TRACE(TRC_NFCMAN, "LLCP: remote info: LTO %d ms, MIU 0x%X, WKS 0x%X, LCS 0x%X, Version 0x%X", params.ltoMs,
          params.miu, params.wks, params.lcs, params.version);
}

bool llcpTlvsWhole(const uint8_t* data, size_t length) {
    CByteReader reader(data, length);
    Tlv tlv{};
    TlvRead r;
    while ((r = readTlv(reader, tlv)) == TlvRead::Next) {
    }
    return r == TlvRead::Done;
}

bool llcpFindTlv(const uint8_t* data, size_t length, uint8_t type, const uint8_t*& value, uint8_t& valueLength) {
    CByteReader reader(data, length);
    Tlv tlv{};
    while (readTlv(reader, tlv) == TlvRead::Next) {
        if (tlv.type != type) continue;
        value = tlv.value;
        valueLength = tlv.length;
        return true;
    }
    return false;
}

bool llcpSplitPdu(const uint8_t* frame, uint16_t length, LlcpPdu& pdu) {
    CByteReader reader(frame, length);
    pdu = LlcpPdu{};
    if (!llcpReadHeader(reader, pdu.header)) return false;
    const uint8_t type = pdu.header.ptype;
    if ((type == LLCP_I || type == LLCP_RR || type == LLCP_RNR) && reader.u8(pdu.sequence)) {
        pdu.hasSequence = true;
        pdu.ns = pdu.sequence >> 4;
        pdu.nr = pdu.sequence & 0x0Fu;
    }
    pdu.payload = reader.here();
    pdu.payloadLength = static_cast<uint16_t>(reader.remaining());
    return true;
}

uint8_t llcpCheckPdu(const LlcpPdu& pdu, uint16_t linkMiu) {
    const uint8_t type = pdu.header.ptype;
    const bool sequenced = type == LLCP_I || type == LLCP_RR || type == LLCP_RNR;
    if (sequenced && !pdu.hasSequence) {
        TRACE(TRC_ERROR, "%s", type == LLCP_I ? "LLCP: I frame too short!" : "LLCP: S frame too short!");
        return LLCP_FRMR_I;
    }
    switch (type) {
        case LLCP_I:
        case LLCP_UI:
            if (pdu.payloadLength <= linkMiu) return 0;
            TRACE(TRC_ERROR, "LLCP: SDU too long (0x%X) max 0x%X!", pdu.payloadLength, linkMiu);
            return LLCP_FRMR_I;
        case LLCP_CONNECT:
        case LLCP_CC:
            if (llcpTlvsWhole(pdu.payload, pdu.payloadLength)) return 0;
            TRACE(TRC_ERROR, "LLCP: TLV length error!");
            return LLCP_FRMR_I;
        case LLCP_RR:
        case LLCP_RNR:
            if (pdu.ns != 0) {
                TRACE(TRC_ERROR, "LLCP: N(S) not expected!");
                return LLCP_FRMR_W;
            }
            [[fallthrough]];
        case LLCP_DISC:
            if (pdu.payloadLength == 0) return 0;
            TRACE(TRC_ERROR, "LLCP: payload not expected!");
            return LLCP_FRMR_I;
        case LLCP_DM:
            if (pdu.payloadLength == 1) return 0;
            TRACE(TRC_ERROR, "%s", pdu.payloadLength == 0 ? "LLCP: DM cause field missing" : "LLCP: DM length error");
            return LLCP_FRMR_I;
        case LLCP_FRMR:
            if (pdu.payloadLength == 4) return 0;
            TRACE(TRC_ERROR, "%s", pdu.payloadLength == 0 ? "LLCP: FRMR data missing!" : "LLCP: FRMR length error!");
            return LLCP_FRMR_I;
        default: TRACE(TRC_ERROR, "LLCP: unknown command (0x%X)!", type); return LLCP_FRMR_W;
    }
}

bool llcpNextAgfPdu(CByteReader& reader, const uint8_t*& pdu, uint16_t& length) {
    return reader.has(3) && reader.u16be(length) && reader.take(length, pdu);
}

LlcpAgfCheck llcpCheckAgf(const uint8_t* payload, uint16_t length) {
    CByteReader reader(payload, length);
    int count = 0;
    const uint8_t* pdu = nullptr;
    uint16_t pduLength = 0;
    while (!reader.empty()) {
        if (!llcpNextAgfPdu(reader, pdu, pduLength) || pduLength < 2) return LlcpAgfCheck::BadLength;
        CByteReader inner(pdu, pduLength);
        LlcpHeader header{};
        if (llcpReadHeader(inner, header) && header.ptype == LLCP_AGF) return LlcpAgfCheck::Nested;
        ++count;
    }
    if (count == 0) return LlcpAgfCheck::BadLength;
    return count == 1 ? LlcpAgfCheck::SinglePdu : LlcpAgfCheck::Valid;
}
