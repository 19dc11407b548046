// Discovery set-up: the routes the host answers for, the configuration parameters before each
// discovery, RF_DISCOVER_CMD, and the steps that send them in turn.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "L1/common/nfcll_listen.h"
#include "L1/nci/nci.h"
#include "util/bytereader.h"
#include "util/stackbytes.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;
constexpr uint32_t kPollTypes = 0xF07;
constexpr uint32_t kP2pRows = 0x4B000;
constexpr uint32_t kActiveRows = 0x48000;
constexpr uint32_t kP2pInitiator = 0x41000, kP2pTarget = 0xA000;
constexpr uint32_t kNoReader = 0x40000000;
constexpr uint16_t kRoutingBuffer = 256;

enum : uint16_t {
    OC_RF_SET_LM_ROUTING_CMD = 0x2101,
    OC_RF_DISCOVER_CMD = 0x2103,
    OC_PRESENCE_CHECK_CMD = 0x2F01,
    OC_PC_DEACTIVATE_CMD = 0x2F02,
    OC_SET_PM_ROUTING_CMD = 0x2F05,
};

// Configuration parameter ids.
enum : uint8_t {
    PB_BAIL_OUT = 0x11,
    PF_BIT_RATE = 0x18,
    PI_BIT_RATE = 0x21,
    PN_ATR_REQ_GEN_BYTES = 0x29,
    PN_ATR_REQ_CONFIG = 0x2A,
    LA_BIT_FRAME_SDD = 0x30,
    LA_PLATFORM_CONFIG = 0x31,
    LA_SEL_INFO = 0x32,
    LA_NFCID1 = 0x33,
    LB_NFCID0 = 0x39,
    LF_T3T_IDENTIFIERS_1 = 0x40,
    LF_PROTOCOL_TYPE = 0x50,
    LF_T3T_FLAGS = 0x53,
    LI_FWI = 0x58,
    LA_HIST_BY = 0x59,
    LI_BIT_RATE = 0x5B,
    LN_WT = 0x60,
    LN_ATR_RES_GEN_BYTES = 0x61,
    LN_ATR_RES_CONFIG = 0x62,
    RF_FIELD_INFO = 0x80,
    RF_NFCEE_ACTION = 0x81,
    VENDOR_15693_BIT_RATE = 0xD0,
};

#define NCI_DISC_NAME(name) #name,
constexpr const char* kDiscNames[] = {NCI_DISC_STATES(NCI_DISC_NAME)};
#undef NCI_DISC_NAME

const char* discName(uint32_t state) { return state < std::size(kDiscNames) ? kDiscNames[state] : "?"; }

bool sendFailed(uint32_t result) { return result != 0 && result != NCI_CAUSE_PENDING; }
uint16_t stepOf(uint32_t sendResult) {
    return sendFailed(sendResult) ? static_cast<uint16_t>(sendResult) : uint16_t{NCI_CAUSE_PENDING};
}

uint8_t techModeOf(const TNciRfMapRow& row) {
    const bool listen = row.mode == 2;
    const bool active = (row.typeBit & kActiveRows) != 0;
    switch (row.technology) {
    case 0: return active ? (listen ? 0x83 : 0x03) : (listen ? 0x80 : 0x00);
    case 1: return listen ? 0x81 : 0x01;
    case 2: return active ? (listen ? 0x85 : 0x05) : (listen ? 0x82 : 0x02);
    case 3: return listen ? 0x86 : 0x06;
    default: return 0x77;
    }
}

bool interfaceSupported(const TNciContext* nci, const TNciRfMapRow& row) {
    return row.rfInterface < 16 && (nci->rfInterfaces & 1u << row.rfInterface);
}

// ---- The routing table ----------------------------------------------------------------------
bool sameValue(const TNciRoutingEntry& e, uint8_t type, const uint8_t* value, uint8_t length) {
    return e.type == type && e.length == length && std::memcmp(e.value, value, length) == 0;
}

bool hasEntries(const TNciRoutingTable& t, bool poll) {
    for (uint8_t i = 0; i < t.count; ++i)
        if (((t.entries[i].type & 0x80) != 0) == poll) return true;
    return false;
}

// The host's own entry for one technology or protocol, unless someone answers for it already.
void addHostRoute(TNciContext* nci, uint8_t type, uint8_t value) {
    const TNciRoutingTable& t = nci->routing;
    for (uint8_t i = 0; i < t.count; ++i) {
        if (!sameValue(t.entries[i], type, &value, 1)) continue;
        if (t.entries[i].route != 0) TRACE(kTrcNci, "nci: Routing entry for NFCEE found, not creating new entry");
        else TRACE(kTrcNci, "nci: %s, routing entry for route %d already exists", "nciAddRoute_Wrapper", 0);
        return;
    }
    nciRoutingAddEntry(nci, &value, type, 0, 0x01, 1);
}

uint16_t sendRouting(TNciContext* nci, bool poll) {
    uint8_t buffer[kRoutingBuffer];
    const uint32_t length = nciRoutingEncode(&nci->routing, poll, buffer, sizeof buffer);
    if (length == 0) return NCI_CAUSE_WRONG_PARAMETER;
    return stepOf(nciSendCommand(nci, poll ? OC_SET_PM_ROUTING_CMD : OC_RF_SET_LM_ROUTING_CMD, buffer, length));
}

// ---- Configuration parameters -------------------------------------------------------------
uint8_t bitRateCode(uint32_t kbps) {
    switch (kbps) {
    case 106: return 0;
    case 212: return 1;
    case 424: return 2;
    case 848: return 3;
    case 7: return 0x80;
    case 26: return 0x81;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unsupported bitrate %#x, cannot convert", static_cast<unsigned>(kbps));
        return 0;
    }
}

uint16_t addByte(TNciContext* nci, uint8_t id, uint8_t value) { return nciParamsAdd(nci, id, &value, 1); }

uint16_t listenAParams(TNciContext* nci, const TNfcListenParam& p, bool* bitRateAdded) {
    const uint16_t flags = p.listenAFlags;
    uint16_t cause = 0;
    // The application's lengths are bounded by their fields.
    if (flags & NFC_LISTEN_A_NFCID1)
        cause |= nciParamsAdd(nci, LA_NFCID1, p.nfcid1, std::min<uint32_t>(p.nfcid1Length, sizeof p.nfcid1));
    const uint8_t sdd = (flags & NFC_LISTEN_A_SDD) ? p.sdd & 0x1F : 4;
    const uint8_t platform = (flags & NFC_LISTEN_A_SDD) ? p.platformConfig & 0x0F : 0;
    const uint8_t sak = (flags & NFC_LISTEN_A_SAK) ? p.sak : 0x20;
    TRACE(kTrcNci, "nci: sak=%#x sdd=%#x pfConf=%#x", sak, sdd, platform);
    cause |= addByte(nci, LA_BIT_FRAME_SDD, sdd);
    cause |= addByte(nci, LA_PLATFORM_CONFIG, platform);
    cause |= addByte(nci, LA_SEL_INFO, sak);
    cause |= addByte(nci, LI_FWI, 8);
    if (flags & NFC_LISTEN_A_BIT_RATE) {
        cause |= addByte(nci, LI_BIT_RATE, bitRateCode(p.listenABitRate));
        *bitRateAdded = true;
    }
    if (flags & NFC_LISTEN_A_HISTORICAL_BYTES)
        cause |= nciParamsAdd(nci, LA_HIST_BY, p.historicalBytes,
                              std::min<uint32_t>(p.historicalBytesLength, sizeof p.historicalBytes));
    return cause;
}

uint16_t listenBParams(TNciContext* nci, const TNfcListenParam& p, bool* bitRateAdded) {
    const uint16_t flags = p.listenBFlags;
    uint16_t cause = 0;
    if (flags & NFC_LISTEN_B_NFCID0) cause |= nciParamsAdd(nci, LB_NFCID0, p.nfcid0, sizeof p.nfcid0);
    if ((flags & NFC_LISTEN_B_BIT_RATE) && !*bitRateAdded) {
        cause |= addByte(nci, LI_BIT_RATE, bitRateCode(p.listenBBitRate));
        *bitRateAdded = true;
    }
    return cause;
}

uint16_t listenFParams(TNciContext* nci, const TNfcListenParam& p, bool* bitRateAdded) {
    const uint16_t flags = p.listenFFlags;
    uint16_t cause = 0;
    if (flags & NFC_LISTEN_F_IDENTIFIERS) {
        const uint16_t code = p.systemCode;
        uint8_t identifiers[10] = {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
        std::memcpy(identifiers + 2, p.nfcid2, sizeof p.nfcid2);
        const uint8_t t3tFlags[2] = {0x01, 0x00};
        cause |= nciParamsAdd(nci, LF_T3T_IDENTIFIERS_1, identifiers, sizeof identifiers);
        cause |= nciParamsAdd(nci, LF_T3T_FLAGS, t3tFlags, sizeof t3tFlags);
    }
    if ((flags & NFC_LISTEN_F_BIT_RATE) && !*bitRateAdded) {
        cause |= addByte(nci, LI_BIT_RATE, bitRateCode(p.listenFBitRate));
        *bitRateAdded = true;
    }
    if (!(nci->ll->listenMask & 0x2000)) cause |= addByte(nci, LF_PROTOCOL_TYPE, 0);
    return cause;
}

// The P2P data rate code of the listen block (1 106 ... 7 6780 kbit/s) as PF_BIT_RATE; 0 adds nothing.
uint8_t p2pBitRate(uint8_t dataRate) {
    if (dataRate >= 2 && dataRate <= 7) return static_cast<uint8_t>(dataRate - 1);
    if (dataRate != 1) TRACE(NFCLL_TRC_ERROR, "nci: datarate %d not supported, fallback to 106", static_cast<int>(dataRate));
    return 0;
}

// The NFCID1 a P2P target answers with: 4, 7 or 10 of the given bytes, none under 4.
uint8_t p2pNfcidLength(uint8_t given) {
    if (given >= 10) return 10;
    if (given >= 7) return 7;
    return given >= 4 ? 4 : 0;
}

// The general bytes of the ATR and its configuration byte: an application that gives its own
// puts the configuration byte first; without them the block holds the default general bytes
// alone. The lengths are bounded by their fields.
struct AtrParts {
    const uint8_t* general;
    uint8_t generalLength;
    bool configGiven;
    uint8_t config;
};

AtrParts atrPartsOf(const TNfcListenParam& p) {
    TNfcllAtrView atr{};
    if (nfcllListenAtr(&p, atr) && atr.given)
        return AtrParts{atr.bytes, static_cast<uint8_t>(atr.length), p.atrLength != 0, atr.config};
    return AtrParts{p.atrBytes, std::min<uint8_t>(p.atrLength, sizeof p.atrBytes), false, 0};
}

uint16_t nciPrepareP2PParameters(TNciContext* nci, const TNfcListenParam& p, uint32_t mask) {
    uint16_t cause = 0;
    if (nfcmanP2pRawMode() == 2) cause |= addByte(nci, LN_WT, 10);
    const AtrParts atr = atrPartsOf(p);
    if (mask & kP2pInitiator) {
        cause |= nciParamsAdd(nci, PN_ATR_REQ_GEN_BYTES, atr.general, atr.generalLength);
        if (atr.configGiven) cause |= addByte(nci, PN_ATR_REQ_CONFIG, atr.config);
        if (p.p2pFlags & NFC_P2P_DATA_RATE)
            if (const uint8_t code = p2pBitRate(p.p2pDataRate)) cause |= addByte(nci, PF_BIT_RATE, code);
    }
    if (mask & kP2pTarget) {
        cause |= addByte(nci, LA_SEL_INFO, 0x40);
        cause |= nciParamsAdd(nci, LN_ATR_RES_GEN_BYTES, atr.general, atr.generalLength);
        if (atr.configGiven) cause |= addByte(nci, LN_ATR_RES_CONFIG, atr.config);
        if (nci->ll->listenMask & kP2pTarget) cause |= addByte(nci, LF_PROTOCOL_TYPE, 2);
    }
    TRACE(kTrcNci, "%s: check NFC_ID_VALID %d", "nciPrepareP2PParameters", p.p2pFlags & NFC_P2P_NFCID_VALID);
    if ((mask & kP2pRows) && (p.p2pFlags & NFC_P2P_NFCID_VALID)) {
        const uint8_t length = p2pNfcidLength(std::min<uint8_t>(p.p2pNfcidLength, sizeof p.p2pNfcid));
        TRACE(kTrcNci, "%s: call nciAddConfigParamPayload with %d bytes", "nciPrepareP2PParameters", length);
        cause |= nciParamsAdd(nci, LA_NFCID1, p.p2pNfcid, length);
    }
    return cause;
}

uint16_t prepareParameters(TNciContext* nci) {
    const uint32_t mask = nci->listenMask;
    static const TNfcListenParam kNone{};
    const TNfcListenParam& p = nci->listenParams ? *nci->listenParams : kNone;
    nciParamsClear(nci);
    uint16_t cause = 0;
    if ((mask & 0x3) && (p.poll14443Flags & NFC_POLL_BIT_RATE))
        cause |= addByte(nci, PI_BIT_RATE, bitRateCode(p.poll14443BitRate));
    if (mask & 0x300) cause |= addByte(nci, PF_BIT_RATE, (mask & 0x200) ? 2 : 1);
    if ((mask & 0x4) && (p.poll15693Flags & NFC_POLL_BIT_RATE) &&
        (nci->maker == 0x07 || nci->maker == 0x0C || nci->maker == 0xFF))
        cause |= addByte(nci, VENDOR_15693_BIT_RATE, bitRateCode(p.poll15693BitRate));
    cause |= addByte(nci, PB_BAIL_OUT, (mask & 0x2000000) ? 0 : 1);
    bool bitRateAdded = false;
    if (mask & 0x100000) cause |= listenAParams(nci, p, &bitRateAdded);
    if (mask & 0x200000) cause |= listenBParams(nci, p, &bitRateAdded);
    if (mask & 0x400000) cause |= listenFParams(nci, p, &bitRateAdded);
    cause |= nciPrepareP2PParameters(nci, p, mask);
    TRACE(kTrcNci, "listenMask: 0x%X", static_cast<unsigned>(mask));
    cause |= addByte(nci, RF_NFCEE_ACTION, 1);
    cause |= addByte(nci, RF_FIELD_INFO, (mask & 0x1000000) ? 1 : 0);
    return cause ? NCI_CAUSE_PARAM_TOO_LONG : 0;
}

// ---- RF_DISCOVER_CMD ---------------------------------------------------------------------------
// A reader must find the NFCEEs that technology routes name, whatever the listen request asked:
// each enabled route to an enabled NFCEE adds its technology's listen mode. 0 for a route whose
// technology has no listen mode.
uint32_t addNfceeRoutes(TNciContext* nci, uint8_t* out, uint32_t length, uint32_t size) {
    static constexpr uint8_t kListenModes[] = {0x80, 0x81, 0x82, 0x86};
    const TNciRoutingTable& t = nci->routing;
    for (uint8_t i = 0; i < t.count; ++i) {
        const TNciRoutingEntry& e = t.entries[i];
        if (e.type != NCI_ROUTE_TECH || e.route == 0) continue;
        const TNciNfcee* ee = nciNfceeById(nci, e.route);
        if (!ee || ee->status != NCI_NFCEE_ENABLED) continue;
        if (e.value[0] >= std::size(kListenModes)) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! RF Technology (%02X) not found", e.value[0]);
            return 0;
        }
        const uint8_t value = kListenModes[e.value[0]];
        bool known = false;
        for (uint32_t at = 1; at < length; at += 2) known |= out[at] == value;
        if (known || length + 2 > size) continue;
        out[length++] = value;
        out[length++] = 1;
        ++out[0];
    }
    return length;
}

uint32_t buildDiscover(TNciContext* nci, uint8_t* out, uint32_t size) {
    nci->activeListenTypes = nci->listenMask | nciNfceeListenMask(nci);
    uint32_t length = 1;
    out[0] = 0;
    for (size_t i = 0; const TNciRfMapRow* row = nciRfMapRow(nci->maker, i); ++i) {
        if (!(row->typeBit & nci->listenMask)) continue;
        if (!interfaceSupported(nci, *row)) {
            TRACE(kTrcNci, "nci: Interface %d not supported", static_cast<int>(row->rfInterface));
            continue;
        }
        const uint8_t value = techModeOf(*row);
        bool known = false;
        for (uint32_t at = 1; at < length; at += 2) known |= out[at] == value;
        if (known || length + 2 > size) continue;
        out[length++] = value;
        out[length++] = 1;   // every discovery period
        ++out[0];
    }
    return addNfceeRoutes(nci, out, length, size);
}

// Controllers with their own presence check have it started before a discovery with readers.
uint32_t afterParameters(const TNciContext* nci) {
    const bool check = (nci->features & NCI_FEATURE_PRESENCE_CHECK) && !(nci->listenMask & kNoReader);
    return check ? NCI_DISC_START_PRESENCE_CHECK : NCI_DISC_START;
}

// One step of the current state; the next one in *next when it moves on.
uint16_t discStep(TNciContext* nci, uint16_t event, uint32_t* next) {
    auto unexpected = [&] {
        TRACE(NFCLL_TRC_ERROR, "nci: ! ERROR in discovery initialization: Event %s (%#x) in state %s (%#x)",
              smEventName(event), static_cast<unsigned>(event), discName(nci->discState),
              static_cast<unsigned>(nci->discState));
        return uint16_t{NCI_CAUSE_NO_RESOURCES};
    };
    switch (nci->discState) {
    case NCI_DISC_INIT:
        *next = (nci->features & NCI_FEATURE_LISTEN_ROUTING) ? NCI_DISC_LM_ROUTING : NCI_DISC_PARAMETER;
        return 0;
    case NCI_DISC_LM_ROUTING:
    case NCI_DISC_PM_ROUTING: {
        const bool poll = nci->discState == NCI_DISC_PM_ROUTING;
        const uint32_t after = poll ? NCI_DISC_PARAMETER : NCI_DISC_PM_ROUTING;
        if (event == EV_SM_ENTRY) {
            const TNciRoutingTable& t = nci->routing;
            const bool wanted = t.changed && (poll ? hasEntries(t, true)
                                                   : hasEntries(t, false) || (nci->activeListenTypes & kPollTypes));
            if (!wanted) *next = after;
            return wanted ? sendRouting(nci, poll) : 0;
        }
        if (event != (poll ? EV_NCI_DOVUVODAV_SET_PM_ROUTING_RSP : EV_NCI_RF_SET_LM_ROUTING_RSP)) return unexpected();
        if (nciHandleStatusRsp(nci, "nciHandleSetRoutingRsp") != 0) return NCI_CAUSE_FAILED;
        *next = after;
        return 0;
    }
    case NCI_DISC_PARAMETER:
        if (event == EV_SM_ENTRY) {
            nci->routing.changed = false;
            if (uint16_t cause = prepareParameters(nci)) return cause;
            if (nci->params[0] == 0) {
                *next = afterParameters(nci);
                return 0;
            }
            return stepOf(nciSendSetConfig(nci));
        }
        if (event != EV_NCI_CORE_SET_CONFIG_RSP) return unexpected();
        if (nciHandleCoreSetConfigRsp(nci) != 0) return NCI_CAUSE_WRONG_PARAMETER;
        *next = afterParameters(nci);
        return 0;
    case NCI_DISC_START_PRESENCE_CHECK:
        if (event == EV_SM_ENTRY) {
            static constexpr uint8_t kPresenceCheck[2] = {0x01, 0x00};
            if (nci->listenMask & kNoReader) return stepOf(nciSendCommand(nci, OC_PC_DEACTIVATE_CMD, nullptr, 0));
            return stepOf(nciSendCommand(nci, OC_PRESENCE_CHECK_CMD, kPresenceCheck, sizeof kPresenceCheck));
        }
        if (event != EV_NCI_DOVUVODAV_PRESENCE_CHECK_RSP && event != EV_NCI_DOVUVODAV_PC_DEACTIVATE_RSP) return unexpected();
        *next = NCI_DISC_START;
        return 0;
    case NCI_DISC_START:
        if (event == EV_SM_ENTRY) {
            uint8_t payload[1 + 2 * 32];
            const uint32_t length = buildDiscover(nci, payload, sizeof payload);
            if (length == 0) return NCI_CAUSE_WRONG_PARAMETER;
            return stepOf(nciSendCommand(nci, OC_RF_DISCOVER_CMD, payload, length));
        }
        if (event != EV_NCI_RF_DISCOVER_RSP) return unexpected();
        if (uint16_t cause = nciHandleDiscoverRsp(nci)) return cause;
        *next = NCI_DISC_FINISHED;
        return 0;
    case NCI_DISC_FINISHED: return 0;
    default: return unexpected();
    }
}

} // namespace

bool nciListenMaskChanged(const TNciContext* nci) {
    const uint32_t wanted = nci->listenMask | nciNfceeListenMask(nci);
    if (wanted != nci->activeListenTypes) {
        TRACE(kTrcNci, "nci: Change in listen mask, current=0x%X, new=0x%X", static_cast<unsigned>(nci->activeListenTypes),
              static_cast<unsigned>(wanted));
        return true;
    }
    TRACE(kTrcNci, "nci: No change in listen mask, current=0x%X, new=0x%X", static_cast<unsigned>(nci->activeListenTypes),
          static_cast<unsigned>(wanted));
    return false;
}

void nciRoutingHostRoutes(TNciContext* nci, uint32_t mask) {
    TNciRoutingTable& t = nci->routing;
    bool hostAid = false;
    uint8_t kept = 0;
    for (uint8_t i = 0; i < t.count; ++i) {
        const TNciRoutingEntry& e = t.entries[i];
        if (e.route == 0 && (e.type == NCI_ROUTE_TECH || e.type == NCI_ROUTE_PROTOCOL)) continue;
        hostAid |= e.route == 0 && e.type == NCI_ROUTE_AID;
        t.entries[kept++] = e;
    }
    if (kept != t.count) t.changed = true;
    t.count = kept;
    for (size_t i = 0; const TNciRfMapRow* row = nciRfMapRow(nci->maker, i); ++i) {
        if (row->mode != 2 || !(row->typeBit & mask) || !interfaceSupported(nci, *row)) continue;
        if (row->typeBit == 0x100000 && row->protocol == 4 && hostAid) continue;
        addHostRoute(nci, NCI_ROUTE_TECH, static_cast<uint8_t>(row->technology));
        addHostRoute(nci, NCI_ROUTE_PROTOCOL, static_cast<uint8_t>(row->protocol));
    }
    TRACE(kTrcNci, "nci: Routing table:");
    for (uint8_t i = 0; i < t.count; ++i)
        TRACE(kTrcNci, "nci:  Entry %d: type %d, route %d, PS %#x, value %#x", i, t.entries[i].type, t.entries[i].route,
              t.entries[i].powerState, t.entries[i].value[0]);
}

uint16_t nciRunDiscoveryInit(TNciContext* nci, uint16_t event) {
    for (;;) {
        uint32_t next = nci->discState;
        if (uint16_t result = discStep(nci, event, &next)) return result;
        if (nci->discState == NCI_DISC_FINISHED) {
            nciSignalCompletion(nci, evNciListenActive);
            return 0;
        }
        if (next == nci->discState) return NCI_CAUSE_PENDING;
        TRACE(kTrcNci, "nci: Changing discovery initialization state %s -> %s", discName(nci->discState), discName(next));
        nci->discState = next;
        event = EV_SM_ENTRY;
    }
}
