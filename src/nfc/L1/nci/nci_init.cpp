// The NCI controller's start-up after CORE_INIT: the makers' own steps, NFCEE discovery, the
// configuration, the RF mapping, and the capabilities that layer 1 hands upward.
#include <iterator>

#include "L1/nci/nci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;

using RfMapRow = TNciRfMapRow;

constexpr RfMapRow kRfMap[] = {
    {0x400, 1, 1, 1, 0x400, 0},           {0x1, 1, 2, 1, 0x40, 0},
    {0x100, 1, 3, 1, 0x100, 2},           {0x200, 1, 3, 1, 0x100, 2},
    {0x1, 2, 4, 1, 0x80, 0},              {0x2, 2, 4, 1, 0x2, 1},
    {0x1000, 3, 5, 1, 0x1000, 0},         {0x1000, 3, 5, 1, 0x1000, 2},
    {0x40000, 3, 5, 1, 0x1000, 0},        {0x40000, 3, 5, 1, 0x1000, 2},
    {0x2000, 3, 5, 2, 0x2000, 0},         {0x2000, 3, 5, 2, 0x2000, 2},
    {0x8000, 3, 5, 2, 0x2000, 0},         {0x8000, 3, 5, 2, 0x2000, 2},
    {0x400000, 1, 3, 2, 0x400000, 2},     {0x100000, 2, 4, 2, 0x100000, 0},
    {0x200000, 2, 4, 2, 0x200000, 1},
};
static_assert(std::size(kRfMap) == 17);

// The makers' extra rows: ISO 15693, MIFARE Classic on the maker's own interface, Kovio barcodes.
constexpr RfMapRow kRfMapNxp[] = {
    {0x4, 1, 0x06, 1, 0x4, 3}, {0x1, 6, 0x80, 1, 0x10, 0}, {0x800, 1, 0x8A, 1, 0x800, 0x80}};
constexpr RfMapRow kRfMapOthers[] = {{0x4, 1, 0x86, 1, 0x4, 3}, {0x800, 5, 0x8A, 1, 0x800, 0x80}};

struct Maker {
    uint8_t id;
    const char* name;
};
constexpr Maker kMakers[] = {
    {0x02, "NCI_MANU_STM"},      {0x04, "NCI_MANU_NXP"},     {0x07, "NCI_MANU_TEXAS_INSTRUMENTS"},
    {0x0C, "NCI_MANU_TOSHIBA"},  {0x1A, "NCI_MANU_SONY"},    {0x1F, "NCI_MANU_MELEXIS"},
    {0x2E, "NCI_MANU_BROADCOM"}, {0x3F, "NCI_MANU_AMS"},     {0xFF, "NCI_MANU_DOVUVODAV"},
};

template <size_t N>
bool isOneOf(uint8_t maker, const uint8_t (&makers)[N]) {
    for (uint8_t m : makers)
        if (m == maker) return true;
    return false;
}

struct RowSpan {
    const RfMapRow* rows;
    size_t count;
};

RowSpan extraRows(uint8_t maker) {
    if (maker == 0x04) return {kRfMapNxp, std::size(kRfMapNxp)};
    if (maker == 0x07 || maker == 0x0C || maker == 0xFF) return {kRfMapOthers, std::size(kRfMapOthers)};
    return {nullptr, 0};
}

void setSubState(TNciContext* nci, uint32_t state) {
    TRACE(kTrcNci, "nci: init state %d -> %d", static_cast<int>(nci->initState), static_cast<int>(state));
    nci->initState = state;
}

uint16_t notAccepted(TNciContext* nci, uint16_t event) {
    TRACE(NFCLL_TRC_ERROR, "nci: ! Error handling event 0x%02X in init state %d", static_cast<unsigned>(event),
          static_cast<int>(nci->initState));
    return NFCLL_CAUSE_WRONG_STATE;
}

// A send that is neither done nor waiting for credit failed.
bool sendFailed(uint32_t result) { return result != 0 && result != NCI_CAUSE_PENDING; }

uint16_t stepOf(uint32_t sendResult) { return sendFailed(sendResult) ? static_cast<uint16_t>(sendResult) : uint16_t{NCI_CAUSE_PENDING}; }

// One step of the current sub-state; NCI_INIT_* in *next when it moves on.
uint16_t runVendor(TNciContext* nci, uint16_t event, uint32_t* next) {
    if (nci->maker != 0x04) {
        *next = NCI_INIT_NFCEE;
        return 0;
    }
    switch (event) {
    case EV_SM_ENTRY: return stepOf(nciSendCommand(nci, 0x2F02, nullptr, 0));
    case EV_NCI_NXP_PROPRIETARY_ACT_RSP: {
        nciStopResponseTimer(nci);
        const uint8_t powerMode = 0;
        return stepOf(nciSendCommand(nci, 0x2F00, &powerMode, 1));
    }
    case EV_NCI_NXP_SET_POWER_MODE_RSP:
        nciStopResponseTimer(nci);
        *next = NCI_INIT_NFCEE;
        return 0;
    default: return notAccepted(nci, event);
    }
}

uint16_t runNfceeDiscovery(TNciContext* nci, uint16_t event, uint32_t* next) {
    switch (event) {
    case EV_SM_ENTRY:
        // The controller announces its NFCEEs anew: records of an earlier start-up are gone.
        nciNfceeReset(nci);
        return stepOf(nciSendNfceeDiscover(nci));
    case EV_NCI_NFCEE_DISCOVER_RSP: {
        nciStopResponseTimer(nci);
        uint8_t count = 0;
        if (uint16_t cause = nciHandleNfceeDiscoverRsp(nci, &count)) return cause;
        nci->nfceeAnnounced = count;
        nci->nfceeFound = 0;
        if (count == 0) *next = NCI_INIT_CONFIG;
        return 0;
    }
    case EV_NCI_NFCEE_DISCOVER_NTF:
        // An NFCEE that cannot be taken is left out; start-up goes on with the others.
        if (const uint16_t result = nciHandleNfceeDiscoverNtf(nci); result != 0 && result != 5)
            TRACE(NFCLL_TRC_ERROR, "nci: ! NFCEE not added, cause %#x", static_cast<unsigned>(result));
        if (++nci->nfceeFound >= nci->nfceeAnnounced) *next = NCI_INIT_CONFIG;
        return 0;
    default: return notAccepted(nci, event);
    }
}

uint16_t runConfiguration(TNciContext* nci, uint16_t event, uint32_t* next) {
    switch (event) {
    case EV_SM_ENTRY: {
        nciParamsClear(nci);
        if (nci->maker != 0x2E) {
            *next = NCI_INIT_DISCOVER_MAP;
            return 0;
        }
        const uint8_t value[] = {0x02, 0x00, 0x00};
        if (uint16_t cause = nciParamsAdd(nci, 0xC9, value, sizeof value)) return cause;
        return stepOf(nciSendSetConfig(nci));
    }
    case EV_NCI_CORE_SET_CONFIG_RSP:
        nciStopResponseTimer(nci);
        if (nciHandleCoreSetConfigRsp(nci) != 0) return NCI_CAUSE_WRONG_PARAMETER;
        *next = NCI_INIT_DISCOVER_MAP;
        return 0;
    default: return notAccepted(nci, event);
    }
}

uint16_t runDiscoverMap(TNciContext* nci, uint16_t event, uint32_t* next) {
    switch (event) {
    case EV_SM_ENTRY:
        nci->discoverMapRetries = 0;
        return stepOf(nciSendDiscoverMap(nci));
    case EV_NCI_RF_DISCOVER_MAP_RSP: {
        const uint16_t result = nciHandleDiscoverMapRsp(nci);
        if (result == 1) {
            // A controller that stays "not ready" must not be asked for ever.
            if (nci->discoverMapRetries++ >= NCI_DISCOVER_MAP_RETRIES) {
                TRACE(NFCLL_TRC_ERROR, "nci: ! NFCC still not ready after %d retries", static_cast<int>(NCI_DISCOVER_MAP_RETRIES));
                return NCI_CAUSE_FAILED;
            }
            TRACE(kTrcNci, "nci: Retry sending message, NFCC seems not ready");
            return stepOf(nciSendDiscoverMap(nci));
        }
        if (result != 0) return NCI_CAUSE_FAILED;
        *next = (nci->flags & NCI_FLAG_HCI_EXCLUSIVE) ? NCI_INIT_HCI : NCI_INIT_FINISHED;
        return 0;
    }
    default: return notAccepted(nci, event);
    }
}

// Start-up goes on without the HCI network when it cannot be brought up.
uint16_t hciUnavailable(uint32_t* next) {
    TRACE(kTrcNci, "nci: HCI network not available, not visible for API");
    *next = NCI_INIT_FINISHED;
    return 0;
}

// Maker 0x02 enables the HCI-access NFCEE before it opens it; the others open it, bring the
// network up and enable it last.
uint16_t runHciNetwork(TNciContext* nci, uint16_t event, uint32_t* next) {
    TNciNfcee* access = nci->hci.access;
    const bool enableFirst = nci->maker == 0x02;
    if (!access) return hciUnavailable(next);
    auto step = [&](uint16_t result) { return result == NCI_CAUSE_PENDING || result == 0 ? result : hciUnavailable(next); };
    switch (event) {
    case EV_SM_ENTRY: return step(enableFirst ? nciSeSetMode(nci, access, 1) : nciSeOpen(nci, access));
    case EV_NCI_NFCEE_MODE_SET_RSP:
        nciStopResponseTimer(nci);
        if (nciHandleNfceeModeSetRsp(nci) != 0) return hciUnavailable(next);
        if (!enableFirst) *next = NCI_INIT_FINISHED;
        return enableFirst ? step(nciSeOpen(nci, access)) : 0;
    case EV_NCI_CORE_CONN_CREATE_RSP: {
        nciStopResponseTimer(nci);
        uint8_t connId = 0;
        if (nciHandleConnCreateRsp(nci, &connId) != 0) return hciUnavailable(next);
        access->connId = connId;
        TRACE(kTrcNci, "nci: Connection to NFCEE %d opened", access->id);
        return step(nciStartHciNetwork(nci));
    }
    case EV_NCI_DATA: {
        if (!nciHciOwnsData(nci, nci->rxConnId)) return notAccepted(nci, event);
        const bool wasReady = nciHciReady(nci);
        nciHciReceive(nci);
        if (wasReady || !nciHciReady(nci)) return 0;
        if (enableFirst) *next = NCI_INIT_FINISHED;
        return enableFirst ? 0 : step(nciSeSetMode(nci, access, 1));
    }
    case EV_NCI_MARVELD_TIMEOUT: return hciUnavailable(next);
    // An NFCEE the controller announces while the network comes up is taken on the way.
    case EV_NCI_NFCEE_DISCOVER_NTF:
        if (const uint16_t result = nciHandleNfceeDiscoverNtf(nci); result != 0 && result != 5)
            TRACE(NFCLL_TRC_ERROR, "nci: ! NFCEE not added, cause %#x", static_cast<unsigned>(result));
        return 0;
    default: return notAccepted(nci, event);
    }
}

} // namespace

uint8_t nciNciInterface(uint32_t internal) {
    switch (internal) {
    case 5:
    case 6: return 0x80;
    case 7: return 0x81;
    case 8: return 0x82;
    default: return static_cast<uint8_t>(internal);
    }
}

const TNciRfMapRow* nciRfMapRow(uint8_t maker, size_t index) {
    if (index < std::size(kRfMap)) return &kRfMap[index];
    const RowSpan extra = extraRows(maker);
    index -= std::size(kRfMap);
    return index < extra.count ? &extra.rows[index] : nullptr;
}

const char* nciMakerName(uint8_t maker) {
    for (const Maker& m : kMakers)
        if (m.id == maker) return m.name;
    return nullptr;
}

uint32_t nciCapabilityWord(uint16_t rfInterfaces, uint8_t maker, uint16_t readerType) {
    uint32_t word = 0;
    if (rfInterfaces & 1u << 1) {
        word = isOneOf(maker, {0x04, 0x07, 0x0C, 0x1F}) ? 0x305 : 0x301;
        if (maker != 0x07 && readerType != 0x412) word |= 0x400;
        if (maker == 0x0C || maker == 0x04) word |= 0x800;
    }
    if (rfInterfaces & 1u << 3) {
        word |= isOneOf(maker, {0x04, 0x0C, 0x3F, 0xFF}) ? 0x4B000 : 0x3000;
        if (maker == 0x3F) word &= ~0x2000u;
    }
    if (rfInterfaces & 1u << 2) {
        word |= 0x2;
        if (maker != 0x07 && maker != 0xFF) word |= 0x20000;
        if (maker == 0xFF) word |= 0x100000;
        else if (maker != 0x3F) word |= 0x300000;
    }
    word |= 0x2000000;
    if (maker != 0x3F) word |= 0x400000;
    return word;
}

uint32_t nciBuildDiscoverMap(const TNciContext* nci, uint8_t* out, uint32_t size) {
    const bool proprietary15693 = isOneOf(nci->maker, {0x04, 0x07, 0x0C, 0x1F});
    uint32_t length = 1;
    out[0] = 0;
    auto add = [&](const RfMapRow& row) {
        if (row.rfInterface >= 16 || !(nci->rfInterfaces & 1u << row.rfInterface)) return;
        if (row.protocol == 3 && row.mode == 2) return;
        if (row.protocol == 0x86 && !proprietary15693) return;
        const uint8_t entry[3] = {static_cast<uint8_t>(row.protocol), static_cast<uint8_t>(row.mode),
                                  nciNciInterface(row.rfInterface)};
        for (uint32_t at = 1; at < length; at += 3)
            if (out[at] == entry[0] && out[at + 1] == entry[1] && out[at + 2] == entry[2]) return;
        if (length + 3 > size) return;
        for (uint8_t b : entry) out[length++] = b;
        ++out[0];
    };
    for (size_t i = 0; const TNciRfMapRow* row = nciRfMapRow(nci->maker, i); ++i) add(*row);
    return length;
}

uint16_t nciDoInitialization(TNciContext* nci, uint16_t event) {
    for (;;) {
        uint32_t next = nci->initState;
        uint16_t result = 0;
        switch (nci->initState) {
        case NCI_INIT_VENDOR: result = runVendor(nci, event, &next); break;
        case NCI_INIT_NFCEE: result = runNfceeDiscovery(nci, event, &next); break;
        case NCI_INIT_CONFIG: result = runConfiguration(nci, event, &next); break;
        case NCI_INIT_DISCOVER_MAP: result = runDiscoverMap(nci, event, &next); break;
        case NCI_INIT_HCI: result = runHciNetwork(nci, event, &next); break;
        case NCI_INIT_FINISHED: return 0;
        default: return notAccepted(nci, event);
        }
        if (result != 0) return result;
        if (next == nci->initState) return NCI_CAUSE_PENDING;
        setSubState(nci, next);
        event = EV_SM_ENTRY;
    }
}

void nciFinishInitialization(TNciContext* nci) {
    TRACE(kTrcNci, "nci: init finished, capabilities are 0x%X", static_cast<unsigned>(nci->capabilityWord));
    if (TNfcCapabilityBlock* block = nci->capabilities) {
        block->supportedMask = nci->capabilityWord;
        block->flags = 0x1000D | (nci->maker == 0x04 ? 0x20u : 0u);
    }
    nci->initState = NCI_INIT_DONE;
    nci->recovering = false;
    nfcllSendUsActConf(nci->ll);
}
