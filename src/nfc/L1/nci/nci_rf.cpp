// The NCI driver's RF messages: discovered and activated endpoints with their tag types and
// technology parameters, the tag record layer 1 hands upward, deactivations, data, and the RF
// commands the states send.
#include <algorithm>
#include <bit>
#include <cstring>

#include "L1/nci/nci.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;
constexpr uint32_t kTagNfcee = 0x20000;

enum : uint16_t {
    OC_CORE_GET_CONFIG_CMD = 0x2003,
    OC_CORE_CONN_CREATE_CMD = 0x2004,
    OC_RF_DISCOVER_SELECT_CMD = 0x2104,
    OC_RF_DEACTIVATE_CMD = 0x2106,
    OC_RF_T3T_POLLING_CMD = 0x2108,
    OC_RF_PARAMETER_UPDATE_CMD = 0x210B,
};

constexpr uint8_t INTERFACE_FRAME = 1;
// NFC-DEP activation parameters: the length byte, then the ATR_REQ or ATR_RES from its NFCID3 on,
// whose general bytes follow DID, BS, BR, (TO,) PP.
constexpr uint32_t kNfcid3At = 1, kNfcid3Length = 10;
constexpr uint32_t kAtrReqGeneralBytesAt = 15, kAtrResGeneralBytesAt = 16;

enum : uint8_t { PROTOCOL_T2T = 2, PROTOCOL_ISO_DEP = 4, PROTOCOL_NFC_DEP = 5 };
enum : uint8_t { TECH_A = 0, TECH_B = 1, TECH_F = 2, TECH_15693 = 3, TECH_MAKER = 0x80 };

CByteReader payloadOf(const TNciContext* nci) { return CByteReader(nci->rxPayload, nci->rxLength); }

bool sendFailed(uint32_t result) { return result != 0 && result != NCI_CAUSE_PENDING; }

// Copies n bytes into a field of the given size; more than it holds is cut with a trace.
uint8_t copyBounded(uint8_t* field, size_t size, const uint8_t* bytes, size_t n, const char* what) {
    if (n > size) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! %s of %d bytes, %d kept", what, static_cast<int>(n), static_cast<int>(size));
        n = size;
    }
    if (n) std::memcpy(field, bytes, n);
    return static_cast<uint8_t>(n);
}

uint16_t paramsTooShort(const char* what, uint32_t is, uint32_t expected) {
    TRACE(NFCLL_TRC_ERROR, "nci: ! %s - not enough parameters (is %u, expected %d)", what, static_cast<unsigned>(is),
          static_cast<int>(expected));
    return NCI_CAUSE_INVALID_DATA;
}

// A length byte and the bytes it counts, which must be there.
bool lengthAndBytes(CByteReader& r, uint8_t& length, const uint8_t*& bytes) { return r.u8(length) && r.take(length, bytes); }

uint16_t extractPollA(TNciTechParams& t, CByteReader r, uint32_t size) {
    const uint8_t* sens = nullptr;
    const uint8_t* id = nullptr;
    const uint8_t* sel = nullptr;
    uint8_t idLength = 0, selLength = 0;
    if (size < 4 || !r.take(2, sens) || !lengthAndBytes(r, idLength, id) || !lengthAndBytes(r, selLength, sel))
        return paramsTooShort("nciExtractTechParameters", size, 4);
    std::memcpy(t.sensRes, sens, 2);
    t.nfcidLength = copyBounded(t.nfcid, 10, id, idLength, "NFCID1");
    t.selResLength = selLength ? 1 : 0;
    t.selRes = selLength ? sel[0] : 0;
    return 0;
}

uint16_t extractPollB(TNciTechParams& t, CByteReader r, uint32_t size) {
    const uint8_t* sensb = nullptr;
    uint8_t length = 0;
    if (size < 12 || !lengthAndBytes(r, length, sensb)) return paramsTooShort("nciExtractTechParameters", size, 12);
    t.sensbResLength = copyBounded(t.sensbRes, sizeof t.sensbRes, sensb, length, "SENSB_RES");
    t.nfcidLength = std::min<uint8_t>(t.sensbResLength, 4);
    std::memcpy(t.nfcid, sensb, t.nfcidLength);
    return 0;
}

uint16_t extractF(TNciTechParams& t, CByteReader r, uint32_t size, bool listen) {
    const uint8_t* bytes = nullptr;
    uint8_t length = 0;
    if (listen) {
        if (size != 1 && size != 9) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Wrong size of NFCID2 (%d instead of 8)", static_cast<int>(size) - 1);
            return NCI_CAUSE_INVALID_DATA;
        }
        if (!lengthAndBytes(r, length, bytes) || (length != 0 && length != 8)) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Wrong size of NFCID2 (%d instead of 8)", static_cast<int>(length));
            return NCI_CAUSE_INVALID_DATA;
        }
        t.nfcidLength = copyBounded(t.nfcid, 8, bytes, length, "NFCID2");
        return 0;
    }
    if (size < 18 || !r.u8(t.bitRate) || !lengthAndBytes(r, length, bytes) || length < 16)
        return paramsTooShort("nciExtractTechParameters", size, 18);
    t.sensfResLength = copyBounded(t.sensfRes, sizeof t.sensfRes, bytes, length, "SENSF_RES");
    std::memcpy(t.nfcid, bytes, 8);
    t.nfcidLength = 8;
    return 0;
}

uint16_t extract15693(TNciTechParams& t, CByteReader r, uint32_t size, uint8_t maker) {
    const uint8_t* uid = nullptr;
    if (!r.u8(t.flags15693) || !r.u8(t.dsfid) || !r.take(8, uid)) return paramsTooShort("nciExtractTechParameters", size, 10);
    if (maker == 0x04) {
        // This maker hands the UID over as it travels, least significant byte first.
        std::reverse_copy(uid, uid + 8, t.nfcid);
        t.nfcid[0] = 0xE0;
    } else {
        std::memcpy(t.nfcid, uid, 8);
    }
    t.nfcidLength = 8;
    return 0;
}

uint32_t refineTechA(const TNciEndpoint& ep, uint32_t tagType) {
    const uint16_t atqa = static_cast<uint16_t>(ep.tech.sensRes[0] << 8 | ep.tech.sensRes[1]);
    const uint8_t sak = ep.tech.selRes;
    auto unexpected = [&](uint32_t type) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unexpected ATQA (%#x %#x) and/ or SAK (%#x) values", ep.tech.sensRes[0],
              ep.tech.sensRes[1], sak);
        return type;
    };
    if (ep.protocol == PROTOCOL_T2T || ep.protocol == 0x80) {
        switch (sak) {
        case 0x00: return atqa == 0x4400 ? 0x40 : unexpected(0x40);
        case 0x08: return atqa == 0x0400 || atqa == 0x4400 ? 0x10 : unexpected(0x40);
        case 0x09: return atqa == 0x0400 ? 0x1000000 : unexpected(0x40);
        case 0x18: return atqa == 0x0200 ? 0x20 : atqa == 0x4200 ? 0x4000000 : unexpected(0x40);
        case 0x20: return atqa == 0x4403 ? 0x40 : unexpected(0x40);
        case 0x88: return atqa == 0x0400 ? 0x10 : unexpected(0x40);
        default: return unexpected(0x40);
        }
    }
    if (ep.protocol == PROTOCOL_ISO_DEP) {
        if (sak != 0x20) return unexpected(0x1);
        switch (atqa) {
        case 0x0400:
        case 0x4800: return 0x1;
        case 0x4200: return 0x4000000;
        case 0x4400: return 0x2000000;
        case 0x4403: return 0x80;
        default: return unexpected(0x1);
        }
    }
    TRACE(NFCLL_TRC_ERROR, "nci: ! Unhandled protocol for TechA");
    return tagType;
}

// (2^FWI x 302) / 1000 ms; a byte of 0xF0 or more counts as FWI 4.
uint32_t fwiTimeout(uint8_t byte) {
    const uint32_t fwi = byte >= 0xF0 ? 4u : byte >> 4u;
    return (1u << fwi) * 302u / 1000u;
}

uint32_t techTimeoutOf(const TNciEndpoint& ep) {
    if (ep.technology == TECH_B && !ep.listen && ep.tech.sensbResLength >= 11) return fwiTimeout(ep.tech.sensbRes[10]);
    // Activation parameters: the length byte, then the ATS from T0 (TB is byte 3) or the ATR_RES (TO is byte 14).
    if (ep.technology == TECH_A && !ep.listen && ep.protocol == PROTOCOL_ISO_DEP && ep.activationLength > 3)
        return fwiTimeout(ep.activation[3]);
    if (ep.protocol == PROTOCOL_NFC_DEP && !ep.listen && ep.activationLength > 14) {
        const uint32_t to = std::min<uint32_t>(ep.activation[14] & 0x0Fu, 14u);
        return (1u << to) * 302u / 1000u + 100u;
    }
    return 0;
}

// The historical bytes of an ATS (length byte, T0, the interface bytes T0 announces, then them).
void atsHistoricalBytes(const TNciEndpoint& ep, TNfcTagInfo& info) {
    if (ep.activationLength < 2) return;
    const uint32_t atsEnd = std::min<uint32_t>(1u + ep.activation[0], ep.activationLength);
    const uint32_t start = 2u + static_cast<uint32_t>(std::popcount(static_cast<unsigned>(ep.activation[1] & 0x70)));
    if (start >= atsEnd) return;
    uint8_t historical[sizeof info.a.historicalBytes];
    const uint8_t n = copyBounded(historical, sizeof historical, ep.activation + start, atsEnd - start, "ATS");
    std::memcpy(info.a.historicalBytes, historical, n);
    info.historicalBytesLength = n;
}

// The peer's general bytes of an NFC-DEP activation, bounded by the endpoint's room.
void takeGeneralBytes(TNciEndpoint& ep) {
    const uint32_t start = ep.listen ? kAtrReqGeneralBytesAt : kAtrResGeneralBytesAt;
    if (ep.protocol != PROTOCOL_NFC_DEP || ep.activationLength < 1) return;
    const uint32_t end = std::min<uint32_t>(1u + ep.activation[0], ep.activationLength);
    if (end <= start) return;
    const uint32_t needed = end - start;
    if (needed > sizeof ep.generalBytes)
        TRACE(NFCLL_TRC_ERROR, "nci: ! Not enough room for generic bytes (%d bytes needed, %d available)",
              static_cast<int>(needed), static_cast<int>(sizeof ep.generalBytes));
    ep.generalBytesLength = static_cast<uint8_t>(std::min<uint32_t>(needed, sizeof ep.generalBytes));
    std::memcpy(ep.generalBytes, ep.activation + start, ep.generalBytesLength);
}

// A P2P device is known by its NFCID3 and its general bytes.
void fillP2pInfo(const TNciEndpoint& ep, TNfcTagInfo& info) {
    if (ep.activationLength >= kNfcid3At + kNfcid3Length) {
        std::memcpy(info.uid, ep.activation + kNfcid3At, kNfcid3Length);
        info.uidLength = kNfcid3Length;
    }
    std::memcpy(reinterpret_cast<uint8_t*>(&info) + NFCLL_GENERAL_BYTES_OFFSET, ep.generalBytes, ep.generalBytesLength);
    info.historicalBytesLength = ep.generalBytesLength;
}

// Listen mode: an NFCEE routed for the endpoint's technology answers the reader, not the host.
void checkNfceeRoute(TNciContext* nci, TNciEndpoint& ep) {
    TRACE(kTrcNci, "nci: Listen-mode activated, checking for NFCEE");
    const TNciRoutingTable& t = nci->routing;
    for (uint8_t i = 0; i < t.count; ++i) {
        const TNciRoutingEntry& e = t.entries[i];
        if (e.type != NCI_ROUTE_TECH || e.route == 0 || e.length != 1 || e.value[0] != ep.technology) continue;
        TRACE(kTrcNci, "nci: Endpoint is talking to NFCEE %d", static_cast<int>(e.route));
        ep.nfceeId = e.route;
        ep.tagType = kTagNfcee;
        return;
    }
}

void fillTagInfo(TNciContext* nci, const TNciEndpoint& ep, TNfcTagInfo& info) {
    info = TNfcTagInfo{};
    info.tagType = ep.tagType;
    uint8_t uid[sizeof info.uid] = {};
    const uint8_t uidLength = copyBounded(uid, sizeof uid, ep.tech.nfcid, ep.tech.nfcidLength, "UID");
    std::memcpy(info.uid, uid, sizeof uid);
    info.uidLength = uidLength;
    info.rx = static_cast<uint16_t>(nciBitRateKbps(ep.rxBitRate, nci->maker));
    info.tx = static_cast<uint16_t>(nciBitRateKbps(ep.txBitRate, nci->maker));
    switch (ep.technology) {
    case TECH_A:
        info.a.atqa = static_cast<uint16_t>(ep.tech.sensRes[0] << 8 | ep.tech.sensRes[1]);
        info.a.sak = ep.tech.selRes;
        if (ep.protocol == PROTOCOL_ISO_DEP && !ep.listen) atsHistoricalBytes(ep, info);
        break;
    case TECH_B: {
        if (ep.tech.sensbResLength >= 8) {
            std::memcpy(info.b.applicationData, ep.tech.sensbRes + 4, sizeof info.b.applicationData);
            info.afi = ep.tech.sensbRes[4];
        }
        // The ATTRIB answer: its length byte, MBLI and CID, then the higher-layer response.
        if (ep.activationLength >= 2 && !ep.listen) {
            const uint32_t end = std::min<uint32_t>(1u + ep.activation[0], ep.activationLength);
            uint8_t hlr[sizeof info.b.higherLayerResponse];
            const uint8_t n = end > 2 ? copyBounded(hlr, sizeof hlr, ep.activation + 2, end - 2, "higher-layer response") : 0;
            std::memcpy(info.b.higherLayerResponse, hlr, n);
            info.higherLayerResponseLength = n;
        }
        break;
    }
    case TECH_F:
        if (ep.tech.sensfResLength >= 16) std::memcpy(info.felica.pmm, ep.tech.sensfRes + 8, sizeof info.felica.pmm);
        if (ep.tech.sensfResLength >= 18)
            info.felica.systemCode = static_cast<uint16_t>(ep.tech.sensfRes[16] << 8 | ep.tech.sensfRes[17]);
        break;
    case TECH_15693:
        info.iso15693.flags = ep.tech.flags15693;
        info.iso15693.dsfid = ep.tech.dsfid;
        break;
    case TECH_MAKER: break;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unexpected technology %#x %s when extracting taginfo",
              static_cast<unsigned>(ep.technology), ep.listen ? "listen" : "poll");
        break;
    }
    if (ep.protocol == PROTOCOL_NFC_DEP) fillP2pInfo(ep, info);
}

// The listen types that accept a tag type, widened as the controller reports them.
bool inListenTypes(const TNciEndpoint& ep, uint32_t active) {
    uint32_t accepted = active;
    if (active & 0x1) accepted |= 0x70000F0;
    if (active & 0x2) accepted |= 0x80;
    if (active & 0x200) accepted |= 0x100;
    if ((active & 0x40000) && (ep.protocol == 3 || ep.protocol == PROTOCOL_NFC_DEP)) return true;
    if ((active & 0x8000) && (ep.techMode == 0x83 || ep.techMode == 0x85)) return true;
    return (ep.tagType & accepted) != 0;
}

// The endpoint's own fields from the head of RF_DISCOVER_NTF or RF_INTF_ACTIVATED_NTF.
void takeTechMode(TNciEndpoint& ep, uint8_t techMode) {
    ep.techMode = techMode;
    ep.technology = nciTechnologyOf(techMode);
    ep.listen = (techMode & 0x80) != 0;
}

} // namespace

// ---- Technologies and tag types ------------------------------------------------------------
uint8_t nciTechnologyOf(uint8_t techMode) {
    switch (techMode) {
    case 0x00:
    case 0x03:
    case 0x80:
    case 0x83: return TECH_A;
    case 0x01:
    case 0x81: return TECH_B;
    case 0x02:
    case 0x05:
    case 0x82:
    case 0x85: return TECH_F;
    case 0x06:
    case 0x86: return TECH_15693;
    case 0x77: return TECH_MAKER;
    default:
        if ((techMode >= 0x70 && techMode <= 0x7F) || techMode >= 0xF0)
            TRACE(kTrcNci, "nci: Proprietary TechMode %#x", static_cast<unsigned>(techMode));
        else
            TRACE(NFCLL_TRC_ERROR, "nci: ! TechMode %#x is RFU", static_cast<unsigned>(techMode));
        return NCI_TECH_NONE;
    }
}

uint32_t nciTagTypeOf(const TNciContext* nci, const TNciEndpoint& ep) {
    if (ep.protocol == 0x06) return 0x4;
    if (ep.protocol == 0x8A) return 0x800;
    uint32_t tagType = 0;
    const uint32_t mode = ep.listen ? 2 : 1;
    for (size_t i = 0; const TNciRfMapRow* row = nciRfMapRow(nci->maker, i); ++i)
        if ((row->protocol == ep.protocol || ep.protocol == 0 || ep.protocol >= 0x80) && row->technology == ep.technology &&
            row->mode == mode)
            tagType |= row->tagType;
    TRACE(kTrcNci, "nci: Get tag type: protocol=0x%02X, techMode=0x%02X -> technology %d, mode %d",
          static_cast<unsigned>(ep.protocol), static_cast<unsigned>(ep.techMode), static_cast<int>(ep.technology),
          static_cast<int>(mode));
    if (ep.technology == TECH_A && !ep.listen) tagType = refineTechA(ep, tagType);
    return tagType;
}

uint16_t nciExtractTechParameters(const TNciContext* nci, TNciEndpoint* ep, const uint8_t* bytes, uint32_t length) {
    ep->tech = TNciTechParams{};
    CByteReader r(bytes, length);
    switch (ep->techMode) {
    case 0x00:
    case 0x03: return extractPollA(ep->tech, r, length);
    case 0x01: return extractPollB(ep->tech, r, length);
    case 0x02:
    case 0x05: return extractF(ep->tech, r, length, false);
    case 0x82:
    case 0x85: return extractF(ep->tech, r, length, true);
    case 0x06: return extract15693(ep->tech, r, length, nci->maker);
    case 0x77:
        // The barcode is the tag's identity: it travels in the parameters and is kept as its UID.
        ep->tech.nfcidLength = copyBounded(ep->tech.nfcid, sizeof ep->tech.nfcid, bytes, length, "barcode");
        return 0;
    case 0x80:
    case 0x81:
    case 0x83:
        if (length) TRACE(NFCLL_TRC_ERROR, "nci: ! nciExtractTechParameters: Unexpected data");
        return 0;
    default: TRACE(NFCLL_TRC_ERROR, "nci: ! nciExtractTechParameters: Unexpected TechMode"); return NCI_CAUSE_INVALID_DATA;
    }
}

// ---- Handlers -----------------------------------------------------------------------------
uint16_t nciHandleDiscoverRsp(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0;
    if (!r.u8(status)) return nciTooShort(nci, "nciHandleDiscoverRsp", 1);
    if (status == 0) {
        nciNfceeReportListenStates(nci);
        return 0;
    }
    return status == 0x06 ? 28 : NCI_CAUSE_FAILED;
}

uint16_t nciHandleStatusRsp(TNciContext* nci, const char* handler) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0;
    if (!r.u8(status)) return nciTooShort(nci, handler, 1);
    return status == 0 ? 0 : NCI_CAUSE_FAILED;
}

uint16_t nciHandleDiscoverNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t discoveryId = 0, protocol = 0, techMode = 0, n = 0, type = 0;
    const uint8_t* params = nullptr;
    if (nci->rxLength < 5) return nciTooShort(nci, "nciHandleDiscoverNtf", 5);
    if (!r.u8(discoveryId) || !r.u8(protocol) || !r.u8(techMode) || !r.u8(n) || !r.take(n, params) || !r.u8(type) ||
        !r.empty())
        return nciTooShort(nci, "nciHandleDiscoverNtf", n + 5);
    const bool last = type == 0 || type == 1;
    if (nci->endpointCount >= NCI_MAX_ENDPOINTS) {
        // Nothing is kept of it, but the discovery still ends with the last one: the host selects
        // among those it kept, or the controller would wait for a select for ever.
        TRACE(NFCLL_TRC_ERROR, "nci: ! Too many endpoints discovered");
        if (!last) return NCI_CAUSE_PENDING;
        nci->endpoints[nci->endpointCount - 1].last = true;
        ncillUsCallback(nci, evNciRfDiscovered, nullptr, 1);
        return 0;
    }
    TNciEndpoint& ep = nci->endpoints[nci->endpointCount];
    ep = TNciEndpoint{};
    ep.id = nci->endpointCount;
    ep.discoveryId = discoveryId;
    ep.protocol = protocol;
    takeTechMode(ep, techMode);
    TRACE(kTrcNci, "nci: New endpoint %p, ID %d allocated for extern ID %d", static_cast<void*>(&ep), ep.id, discoveryId);
    if (uint16_t cause = nciExtractTechParameters(nci, &ep, params, n)) return cause;
    ep.tagType = nciTagTypeOf(nci, ep);
    // The interface the select will ask for: the one the RF mapping gives the protocol.
    ep.rfInterface = 1;
    for (size_t i = 0; const TNciRfMapRow* row = nciRfMapRow(nci->maker, i); ++i)
        if (row->protocol == protocol && row->mode == 1 && row->rfInterface < 16 && (nci->rfInterfaces & 1u << row->rfInterface)) {
            ep.rfInterface = static_cast<uint8_t>(row->rfInterface);
            break;
        }
    ep.last = last;
    ++nci->endpointCount;
    ncillUsCallback(nci, evNciRfDiscovered, nullptr, ep.last ? 1 : 0);
    return ep.last ? 0 : NCI_CAUSE_PENDING;
}

uint16_t nciHandleIntfActivatedNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t discoveryId = 0, rfInterface = 0, protocol = 0, techMode = 0, maxPayload = 0, credits = 0, n = 0;
    uint8_t txRate = 0, rxRate = 0, m = 0;
    const uint8_t* tech = nullptr;
    const uint8_t* activation = nullptr;
    if (nci->rxLength < 11) return nciTooShort(nci, "nciHandleIntfActivatedNtf", 11);
    // Each nested length is checked before the fields behind it are read.
    if (!r.u8(discoveryId) || !r.u8(rfInterface) || !r.u8(protocol) || !r.u8(techMode) || !r.u8(maxPayload) ||
        !r.u8(credits) || !r.u8(n) || !r.take(n, tech) || !r.skip(1) || !r.u8(txRate) || !r.u8(rxRate) ||
        !r.u8(m) || !r.take(m, activation)) {
        TRACE(NFCLL_TRC_ERROR, "%s ! Invalid tech parameter length %d", "nci:", static_cast<int>(n));
        return NCI_CAUSE_INVALID_DATA;
    }
    TNciEndpoint& ep = nci->active;
    ep = TNciEndpoint{};
    ep.discoveryId = discoveryId;
    ep.rfInterface = nciInternalInterface(rfInterface, nci->maker);
    ep.protocol = protocol;
    takeTechMode(ep, techMode);
    if (ep.rfInterface == 0 && protocol == 0) {
        TRACE(kTrcNci, "nci: Ignore NCI_RFIF_NFCEE_DIRECT notification and NCI_PROTOCOL_UNDETERMINED");
        return 5;
    }
    // The static connection carries this endpoint's data: what waited for the last one is dropped.
    const uint8_t payload = nci->packet.connections[0].maxPayload;
    const bool payloadValid = ep.rfInterface == 0 ? maxPayload != 0 : maxPayload >= 32;
    if (!payloadValid)
        TRACE(NFCLL_TRC_ERROR, "%s ! Invalid MaxDataPacketPayloadSize of %d", "nci:", static_cast<int>(maxPayload));
    nciConnectionClose(&nci->packet, 0);
    nciConnectionSetup(&nci->packet, 0, payloadValid ? maxPayload : payload, credits);
    if (uint16_t cause = nciSetFrameMapping(nci, ep.rfInterface, protocol)) return cause;
    ep.txBitRate = txRate;
    ep.rxBitRate = rxRate;
    if (uint16_t cause = nciExtractTechParameters(nci, &ep, tech, n)) {
        TRACE(NFCLL_TRC_ERROR, "%s ! Invalid tech parameter length %d", "nci:", static_cast<int>(n));
        return cause;
    }
    // The activation parameters as they come; the first byte is the length of the answer they carry.
    ep.activationLength = copyBounded(ep.activation, sizeof ep.activation, activation, m, "activation parameters");
    takeGeneralBytes(ep);
    if (ep.rfInterface == 0) {
        TRACE(kTrcNci, "%s NFCEE_DIRECT interface activated", "nci:");
        ep.tagType = kTagNfcee;
    } else {
        ep.tagType = nciTagTypeOf(nci, ep);
        if (ep.listen) checkNfceeRoute(nci, ep);
    }
    if (const uint32_t techTimeout = techTimeoutOf(ep)) {
        nci->techTimeout = techTimeout;
        TRACE(kTrcNci, "nci: Set techTimeout to %d ms", static_cast<int>(techTimeout));
    }
    if (ep.tagType != kTagNfcee && !inListenTypes(ep, nci->activeListenTypes)) {
        TRACE(kTrcNci, "nci: Tagtype %#x not in listen mask %#x", static_cast<unsigned>(ep.tagType),
              static_cast<unsigned>(nci->activeListenTypes));
        ep.tagType = 0;
    }
    if (ep.tagType == kTagNfcee) {
        TRACE(kTrcNci, "nci: NFFEE activated from external reader, wait for transaction");
        return 0;
    }
    if (ep.tagType == 0) {
        TRACE(kTrcNci, "nci: Not listening for this type");
        return NCI_CAUSE_FAILED;
    }
    fillTagInfo(nci, ep, nci->ll->device);
    nciSetTagType(nci, ep.tagType);
    ncillUsCallback(nci, evNciTagIndication, ep.activation, ep.activationLength);
    return 0;
}

uint16_t nciHandleDeactivateRsp(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0;
    if (nci->rxLength != 1 || !r.u8(status)) return NCI_CAUSE_FAILED;
    if (status == 0) return 0;
    return status == 1 ? NCI_CAUSE_WRONG_PARAMETER : NCI_CAUSE_FAILED;
}

uint16_t nciHandleDeactivateNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t type = 0, reason = 0;
    if (!r.u8(type) || !r.u8(reason)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid DeactivateIndication");
        type = 0;
        reason = 3;
    }
    nci->deactType = type;
    if (type == 0) nci->activeListenTypes = 0;
    if (reason != 0) {
        if (type == 1 || type == 2) {
            nciSignalCompletion(nci, evNciSleeping);
        } else if (nci->active.tagType == kTagNfcee) {
            TRACE(kTrcNci, "nci: NFCEE deactivated, not sending indication upstream");
            // What the host sent the reader meanwhile gets no answer from it any more.
            nciAnswerRequestUnderWay(nci, "nciHandleDeactivateInd");
        } else {
            TRACE(kTrcNci, "nci: Tag deactivated, sending indication upstream");
            nciSignalCompletion(nci, evNciTagRemoved);
        }
        return 0;
    }
    switch (type) {
    case 1:
    case 2: nciSignalCompletion(nci, evNciSleeping); break;
    case 3: nciSignalCompletion(nci, evNciListenActive); break;
    default: nciSignalCompletion(nci, evNciDeactivateInd); break;
    }
    return 0;
}

uint16_t nciHandleGenericErrorNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0;
    if (!r.u8(status)) return nciTooShort(nci, "nciHandleGenericErrorNtf", 1);
    TRACE(NFCLL_TRC_ERROR, "nci: ! NCI_CORE_GENERIC_ERROR_NTF in state 0x%X", static_cast<unsigned>(nci->transType));
    nci->genericErrorStatus = status;
    return status == 0 ? 0 : NCI_CAUSE_FAILED;
}

uint16_t nciHandleData(TNciContext* nci) {
    if (nci->transType != NCI_TRANSTYPE_IOCTL) {
        ncillUsCallback(nci, evNciDataIndication, nci->rxPayload, nci->rxLength);
        return 0;
    }
    // Tag data never answer an I/O control: they go to the exchange the control interrupted,
    // or nowhere.
    if (nci->savedTransType != NCI_TRANSTYPE_DATA && nci->savedTransType != NCI_TRANSTYPE_CHECK) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! %u bytes of tag data while an I/O control waits, dropped",
              static_cast<unsigned>(nci->rxLength));
        return 0;
    }
    nci->transType = nci->savedTransType;
    ncillUsCallback(nci, evNciDataIndication, nci->rxPayload, nci->rxLength);
    nci->savedTransType = NCI_TRANSTYPE_IDLE;
    nci->transType = NCI_TRANSTYPE_IOCTL;
    return 0;
}

uint16_t nciHandleConnCreateRsp(TNciContext* nci, uint8_t* connId) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0, maxPayload = 0, credits = 0;
    if (!r.u8(status)) return nciTooShort(nci, "nciHandleConnCreateRsp", 1);
    if (status != 0) return NCI_CAUSE_FAILED;
    // An open connection is described by all of its fields.
    if (!r.u8(maxPayload) || !r.u8(credits) || !r.u8(*connId)) return nciTooShort(nci, "nciHandleConnCreateRsp", 4);
    if (*connId >= NCI_CONNECTION_COUNT) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid connection ID %d", static_cast<int>(*connId));
        return NCI_CAUSE_WRONG_PARAMETER;
    }
    return static_cast<uint16_t>(nciConnectionSetup(&nci->packet, *connId, maxPayload, credits));
}

uint16_t nciHandleGetConfigRsp(TNciContext* nci, uint16_t* length) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0;
    if (!r.u8(status)) return nciTooShort(nci, "nciHandleGetConfigRsp", 1);
    if (status != 0) return NCI_CAUSE_FAILED;
    // The caller's room bounds the copy; an answer that does not fit is refused, not cut.
    if (nci->rxLength > nci->ioOutputSize || (nci->rxLength && !nci->ioOutput)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! GET_CONFIG answer of %u bytes, room for %u", static_cast<unsigned>(nci->rxLength),
              static_cast<unsigned>(nci->ioOutputSize));
        return NCI_CAUSE_INVALID_DATA;
    }
    if (nci->rxLength) std::memcpy(nci->ioOutput, nci->rxPayload, nci->rxLength);
    *length = static_cast<uint16_t>(nci->rxLength);
    return 0;
}

uint16_t nciHandleT3tPollingNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0, count = 0;
    if (!r.u8(status) || !r.u8(count)) return nciTooShort(nci, "nciHandleT3tPollingNtf", 2);
    return status == 0 ? 0 : NCI_CAUSE_FAILED;
}

// ---- Builders -------------------------------------------------------------------------------
uint32_t nciSendDiscoverSelect(TNciContext* nci) {
    const TNciEndpoint& ep = *nci->selected;
    const uint8_t payload[3] = {ep.discoveryId, ep.protocol, nciNciInterface(ep.rfInterface)};
    nci->selecting = ep.id;
    return nciSendCommand(nci, OC_RF_DISCOVER_SELECT_CMD, payload, sizeof payload);
}

uint32_t nciSendDeactivate(TNciContext* nci, uint8_t type) {
    return nciSendCommand(nci, OC_RF_DEACTIVATE_CMD, &type, 1);
}

uint16_t nciSendParameterUpdate(TNciContext* nci) {
    if (nci->active.rfInterface != INTERFACE_FRAME) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! PARAMETER_UPDATE_CMD not valid for current RF interface");
        return NFCLL_CAUSE_WRONG_STATE;
    }
    if (nci->paramsUsed < 2 || nci->params[0] == 0) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid number of parameters");
        return NCI_CAUSE_INVALID_DATA;
    }
    if (sendFailed(nciSendCommand(nci, OC_RF_PARAMETER_UPDATE_CMD, nci->params, nci->paramsUsed))) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unable to update parameter");
        return NCI_CAUSE_FAILED;
    }
    return 0;
}

uint32_t nciSendT3tPolling(TNciContext* nci) {
    const uint8_t payload[4] = {0xFF, 0xFF, 0x00, 0x00};
    return nciSendCommand(nci, OC_RF_T3T_POLLING_CMD, payload, sizeof payload);
}

uint32_t nciSendGetConfig(TNciContext* nci, const uint8_t* ids, uint16_t length) {
    return nciSendCommand(nci, OC_CORE_GET_CONFIG_CMD, ids, length);
}

uint32_t nciSendLoopbackCreate(TNciContext* nci) {
    const uint8_t payload[2] = {0x01, 0x00};
    return nciSendCommand(nci, OC_CORE_CONN_CREATE_CMD, payload, sizeof payload);
}

bool nciSendOk(uint32_t result) { return !sendFailed(result); }
