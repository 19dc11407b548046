// The NCI driver's handlers of the core responses and notifications, its command builders and
// the parameter buffer of CORE_SET_CONFIG_CMD.
#include <cstring>

#include "L1/nci/nci.h"
#include "L1/nci/nci_trace.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;
constexpr uint8_t kHostVersion = 0x10;   // NCI 1.0
constexpr uint16_t kParamSpace = NCI_PARAM_BUFFER_SIZE - 1;   // TLV bytes after the count

enum : uint16_t {
    OC_CORE_RESET_CMD = 0x2000,
    OC_CORE_INIT_CMD = 0x2001,
    OC_CORE_SET_CONFIG_CMD = 0x2002,
    OC_RF_DISCOVER_MAP_CMD = 0x2100,
    OC_NFCEE_DISCOVER_CMD = 0x2200,
};

CByteReader payloadOf(const TNciContext* nci) { return CByteReader(nci->rxPayload, nci->rxLength); }

uint16_t resetFailed(TNciContext* nci, uint16_t cause) {
    TRACE(NFCLL_TRC_ERROR, "nci: Error during reset");
    nciFullReset(nci);
    return cause;
}

uint8_t featuresOf(const uint8_t octets[4]) {
    uint8_t f = 0;
    if (octets[0] & 0x06) f |= 0x01;
    if (octets[0] & 0x01) f |= 0x02;
    if (octets[1] & 0x08) f |= 0x04;
    if (octets[1] & 0x04) f |= 0x08;
    if (octets[1] & 0x02) f |= 0x10;
    if (octets[2] & 0x02) f |= 0x20;
    if (octets[2] & 0x01) f |= 0x40;
    return f;
}

void takeIdentity(TNciContext* nci) {
    TNfcCapabilityBlock* block = nci->capabilities;
    if (!block) return;
    std::memcpy(block->softwareVersion, nci->makerInfo, sizeof nci->makerInfo);
    std::memset(block->vendorName, 0, sizeof block->vendorName);
    if (const char* name = nciMakerName(nci->maker)) {
        constexpr size_t kPrefix = sizeof "NCI_MANU_" - 1;
        std::strncpy(block->vendorName, name + kPrefix, sizeof block->vendorName - 1);
    }
}

} // namespace

// Internal numbering of an RF interface; the manufacturer tells what 0x80 is.
uint8_t nciInternalInterface(uint8_t nci, uint8_t maker) {
    if (nci < 0x80) return nci;
    switch (nci) {
    case 0x80: return maker == 0x04 ? 6 : 5;
    case 0x81: return 7;
    case 0x82: return 8;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: ! Manufacturer-specific interface %x unknown, cannot map", static_cast<unsigned>(nci));
        return 0;
    }
}

uint16_t nciTooShort(const TNciContext* nci, const char* handler, uint32_t expected) {
    TRACE(NFCLL_TRC_ERROR, "nci: ! %s - not enough parameters (is %u, expected %d)", handler,
          static_cast<unsigned>(nci->rxLength), static_cast<int>(expected));
    return NCI_CAUSE_INVALID_DATA;
}

// ---- Resets of the context ------------------------------------------------------------------------
void nciPartialReset(TNciContext* nci) {
    nci->flags &= ~(NCI_FLAG_LISTENING | NCI_FLAG_LISTEN_RESTARTED);
    nci->activeListenTypes = 0;
    nci->selected = nullptr;
    nci->txData = nullptr;
    nci->txLength = 0;
    // The reset closed every dynamic connection in the controller, the loop-back one too.
    for (uint8_t id = 1; id < NCI_CONNECTION_COUNT; ++id) nciConnectionClose(&nci->packet, id);
    nci->loopbackConnId = 0;
}

void nciFullReset(TNciContext* nci) {
    nciPartialReset(nci);
    nci->nfceeAnnounced = 0;
    nci->nfceeFound = 0;
    nciNfceeReset(nci);
}

// ---- Handlers -----------------------------------------------------------------------------------
uint16_t nciHandleCoreResetRsp(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0, version = 0, configStatus = 0;
    if (!r.u8(status) || !r.u8(version) || !r.u8(configStatus))
        return resetFailed(nci, nciTooShort(nci, "nciHandleCoreResetRsp", 3));
    if (status != 0) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! CORE_RESET_RSP status 0x%02X", static_cast<unsigned>(status));
        return resetFailed(nci, NCI_CAUSE_FAILED);
    }
    if (version >= 0x20) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! NciVersion of NFCC %d.%d is greater than the one of the DH %d.%d", version >> 4,
              version & 0xF, kHostVersion >> 4, kHostVersion & 0xF);
        return resetFailed(nci, NCI_CAUSE_FAILED);
    }
    nci->configStatus = configStatus;
    if (configStatus == 0 && nci->resetType <= 1) {
        TRACE(kTrcNci, "nci: Partial reset");
        nciPartialReset(nci);
    } else if (configStatus == 1 && nci->resetType == 1) {
        TRACE(kTrcNci, "nci: Full reset");
        nciFullReset(nci);
    } else {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unknown config status 0x%X", static_cast<unsigned>(configStatus));
        return resetFailed(nci, NCI_CAUSE_FAILED);
    }
    return 0;
}

uint16_t nciHandleCoreResetNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t reason = 0, configStatus = 0;
    if (!r.u8(reason) || !r.u8(configStatus)) return nciTooShort(nci, "nciHandleCoreResetNtf", 2);
    nci->configStatus = configStatus;
    if (configStatus == 0) {
        nciPartialReset(nci);
        return 0;
    }
    if (configStatus == 1) {
        nciFullReset(nci);
        return NCI_CAUSE_PENDING;
    }
    return NCI_CAUSE_FAILED;
}

uint16_t nciHandleCoreInitRsp(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0, count = 0;
    const uint8_t* features = nullptr;
    if (!r.u8(status) || !r.take(4, features) || !r.u8(count)) return nciTooShort(nci, "nciHandleCoreInitRsp", 18);
    // The fields after the interface list sit behind it: the message is as long as the list says.
    const uint32_t needed = 17u + count;
    const uint8_t* interfaces = nullptr;
    const uint8_t* info = nullptr;
    uint16_t routing = 0, largeParam = 0;
    uint8_t maxConnections = 0, maxControl = 0, maker = 0;
    if (!r.take(count, interfaces) || !r.u8(maxConnections) || !r.u16le(routing) || !r.u8(maxControl) ||
        !r.u16le(largeParam) || !r.u8(maker) || !r.take(4, info))
        return nciTooShort(nci, "nciHandleCoreInitRsp", static_cast<int>(needed));
    if (status != 0) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! CORE_INIT_RSP status 0x%02X", static_cast<unsigned>(status));
        return NCI_CAUSE_FAILED;
    }
    nci->features = featuresOf(features);
    nci->maker = maker;
    nci->rfInterfaces = 0;
    for (uint8_t k = 0; k < count; ++k) {
        const uint8_t internal = nciInternalInterface(interfaces[k], maker);
        if (internal < 16) nci->rfInterfaces = static_cast<uint16_t>(nci->rfInterfaces | 1u << internal);
    }
    nci->maxConnections = maxConnections;
    nci->routingTableSize = routing;
    nci->largeParamSize = largeParam;
    nci->maxControlPayload = maxControl;
    // A control payload of 0 could carry no command at all: the packet layer keeps its own then.
    if (maxControl) nci->packet.maxControlPayload = maxControl;
    else TRACE(NFCLL_TRC_ERROR, "nci: ! maximum control payload 0 ignored");
    std::memcpy(nci->makerInfo, info, sizeof nci->makerInfo);
    nciTraceSetManufacturer(maker);
    takeIdentity(nci);
    nci->capabilityWord = nciCapabilityWord(nci->rfInterfaces, maker, nci->ll->readerType);
    if (maker == 0x0C || maker == 0x02) {
        TRACE(kTrcNci, "nci: Exlusive use HCI network, not visible for API");
        nci->flags |= NCI_FLAG_HCI_EXCLUSIVE;
    }
    return 0;
}

uint16_t nciHandleCoreSetConfigRsp(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0, invalid = 0;
    if (!r.u8(status) || !r.u8(invalid)) return nciTooShort(nci, "nciHandleCoreSetConfigRsp", 2);
    return status == 0 && invalid == 0 ? 0 : NCI_CAUSE_WRONG_PARAMETER;
}

uint16_t nciHandleDiscoverMapRsp(TNciContext* nci) {
    nciStopResponseTimer(nci);
    CByteReader r = payloadOf(nci);
    uint8_t status = 0;
    if (!r.u8(status)) return nciTooShort(nci, "nciHandleDiscoverMapRsp", 1);
    if (status == 0) return 0;
    return status == 0x05 ? 1 : NCI_CAUSE_FAILED;
}

uint16_t nciHandleFieldInfoNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0;
    if (!r.u8(status)) return nciTooShort(nci, "nciHandleFieldInfoNtf", 1);
    nciSignalCompletion(nci, status == 1 ? evNciFieldOn : evNciFieldOff);
    return 0;
}

uint16_t nciHandleNfceeDiscoverRsp(TNciContext* nci, uint8_t* count) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0;
    if (!r.u8(status) || !r.u8(*count)) return nciTooShort(nci, "nciHandleNfceeDiscoverRsp", 2);
    return status == 0 ? 0 : NCI_CAUSE_FAILED;
}

// ---- Command builders ---------------------------------------------------------------------------
uint32_t nciSendCoreReset(TNciContext* nci) {
    nci->resetType = 1;
    return nciSendCommand(nci, OC_CORE_RESET_CMD, &nci->resetType, 1);
}

uint32_t nciSendCoreInit(TNciContext* nci) { return nciSendCommand(nci, OC_CORE_INIT_CMD, nullptr, 0); }

uint32_t nciSendSetConfig(TNciContext* nci) {
    return nciSendCommand(nci, OC_CORE_SET_CONFIG_CMD, nci->params, nci->paramsUsed);
}

uint32_t nciSendDiscoverMap(TNciContext* nci) {
    uint8_t payload[1 + 3 * 32];
    const uint32_t length = nciBuildDiscoverMap(nci, payload, sizeof payload);
    return nciSendCommand(nci, OC_RF_DISCOVER_MAP_CMD, payload, length);
}

uint32_t nciSendNfceeDiscover(TNciContext* nci) {
    const uint8_t enable = 1;
    return nciSendCommand(nci, OC_NFCEE_DISCOVER_CMD, &enable, 1);
}

// ---- Parameter buffer ---------------------------------------------------------------------------
void nciParamsClear(TNciContext* nci) {
    nci->params[0] = 0;
    nci->paramsUsed = 1;
}

uint16_t nciParamsAdd(TNciContext* nci, uint8_t id, const uint8_t* value, uint32_t length) {
    if (!nci->paramsUsed) nciParamsClear(nci);
    if (length == 0) return 0;
    if (length >= 256) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Length of given payload is too big (%d bytes)", static_cast<int>(length));
        return NCI_CAUSE_WRONG_PARAMETER;
    }
    const uint32_t used = nci->paramsUsed - 1u;
    if (used + 2 + length > kParamSpace) return NCI_CAUSE_PARAM_TOO_LONG;
    uint8_t* out = nci->params + nci->paramsUsed;
    out[0] = id;
    out[1] = static_cast<uint8_t>(length);
    std::memcpy(out + 2, value, length);
    nci->paramsUsed = static_cast<uint16_t>(nci->paramsUsed + 2 + length);
    ++nci->params[0];
    return 0;
}
