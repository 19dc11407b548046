// The controller's execution environments (NFCEEs): their table and the capability block's list,
// discovery and status changes, mode set, action notifications and their transaction records,
// the operations on an NFCEE the host reaches over a direct connection, and the secure-element
// IO controls that drive them.
#include <algorithm>
#include <cstring>

#include "L1/common/nfcll_sehandle.h"
#include "L1/nci/nci.h"
#include "os/os.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;
constexpr uint8_t kProtocolHciAccess = 1;
constexpr uint8_t kTriggerTransaction = 0x10;
constexpr uint8_t kTagAid = 0x81, kTagParams = 0x82;
constexpr uint8_t kInvalidStateChange = 12;
constexpr uint16_t kCapHciAccess = 0x20, kCapNoHciOpen = 0x40;
constexpr uint32_t kExchangeTimeout = 6000;   // ms an NFCEE may take for an answer when the caller gives none
constexpr uint16_t kBatteryModeRefused = 5;

enum : uint16_t { OC_CORE_CONN_CREATE_CMD = 0x2004, OC_CORE_CONN_CLOSE_CMD = 0x2005,
                  OC_RF_GET_LM_ROUTING_CMD = 0x2102, OC_NFCEE_MODE_SET_CMD = 0x2201, OC_SWP_WAKEUP_CMD = 0x2F08 };
enum : uint32_t { NFCLL_SE_STATUS = 2, NFCLL_SE_REMOVED = 3 };

CByteReader payloadOf(const TNciContext* nci) { return CByteReader(nci->rxPayload, nci->rxLength); }

bool sendFailed(uint32_t result) { return result != 0 && result != NCI_CAUSE_PENDING; }
uint16_t stepOf(uint32_t sendResult) {
    return sendFailed(sendResult) ? static_cast<uint16_t>(sendResult) : uint16_t{NCI_CAUSE_PENDING};
}

const char* techModeName(uint8_t techMode) {
    switch (techMode) {
    case 0x80: return "LISTEN_A";
    case 0x81: return "LISTEN_B";
    case 0x82: return "LISTEN_F";
    default: return "?";
    }
}

const char* statusName(uint8_t status) {
    switch (status) {
    case NCI_NFCEE_ENABLED: return "ENABLED";
    case NCI_NFCEE_DISABLED: return "DISABLED";
    case NCI_NFCEE_REMOVED: return "REMOVED";
    default: return "?";
    }
}

bool hciInUse(const TNciContext* nci) { return (nci->flags & NCI_FLAG_HCI_EXCLUSIVE) != 0; }

// An NFCEE the controller announces again after a reset keeps the handle its applications hold.
NfcSecureHandle handleFor(TNciContext* nci, uint8_t id) {
    for (const TNciKnownHandle& known : nci->knownHandles)
        if (known.handle && known.id == id) return known.handle;
    const NfcSecureHandle handle = nfcllNewSeHandle();
    for (TNciKnownHandle& known : nci->knownHandles)
        if (!known.handle) {
            known = TNciKnownHandle{id, handle};
            break;
        }
    return handle;
}

// The public record is read on the application's thread: it changes under the lock the list is copied with.
void setVirtualMode(TNciNfcee& ee, bool on) {
    PlatLockGuard g(osLock());
    if (on) ee.info.mode |= NFC_SE_MODE_VIRTUAL;
    else ee.info.mode &= ~NFC_SE_MODE_VIRTUAL;
}

void setDefaultOperations(TNciNfcee& ee) {
    ee.open = &nciSeOpen;
    ee.close = &nciSeClose;
    ee.exchange = &nciSeExchange;
    ee.setMode = &nciSeSetMode;
}

// The capability block lists the records in use; the HCI-access NFCEE is no secure element.
void publish(TNciContext* nci) {
    TNfcCapabilityBlock* block = nci->capabilities;
    if (!block) return;
    PlatLockGuard g(osLock());
    uint8_t n = 0;
    for (TNciNfcee& ee : nci->nfcees) {
        if (!ee.valid || (hciInUse(nci) && (ee.capabilities & kCapHciAccess))) continue;
        block->secureElements[n++] = &ee.info;
    }
    for (uint8_t i = n; i < NFC_MAX_SECURE_ELEMENTS; ++i) block->secureElements[i] = nullptr;
    block->secureElementCount = n;
}

uint16_t capabilitiesOf(const TNciContext* nci, uint8_t protocols, uint8_t id) {
    static constexpr uint16_t kByProtocol[] = {0x12, 0x20, 0x42, 0x82};
    uint16_t caps = 0;
    for (int bit = 0; bit < 4; ++bit)
        if (protocols & 1u << bit) caps |= kByProtocol[bit];
    const bool gateway = (nci->maker == 0x02 && id == 2) || (nci->maker == 0x0C && id == 0x32);
    caps |= gateway ? 0x2000 : 0x1000;
    TRACE(kTrcNci, "nci: Added capabilities %#x", caps);
    return caps;
}

void postSeInd(TNciContext* nci, uint32_t kind, const TNciNfcee& ee, uint32_t flags, const TNfcTransaction* transaction) {
    nfcllSendUsSeInd(nci->ll, TNfcllSeInd{kind, ee.info.handle, flags, transaction});
}

bool changeAllowed(uint8_t from, uint8_t to) {
    if (to == NCI_NFCEE_ENABLED) return from == NCI_NFCEE_DISABLED;
    return from == NCI_NFCEE_ENABLED || from == NCI_NFCEE_DISABLED;
}

uint16_t changeStatus(TNciContext* nci, TNciNfcee& ee, uint8_t status) {
    if (status > NCI_NFCEE_REMOVED) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unknown NFCEE status %#x", status);
        return NCI_CAUSE_INVALID_DATA;
    }
    if (!changeAllowed(ee.status, status)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid state change for NFCEE %d, going from %s to %s", ee.id,
              statusName(ee.status), statusName(status));
        return kInvalidStateChange;
    }
    TRACE(kTrcNci, "nci: NFCEE %d going from %s to %s", ee.id, statusName(ee.status), statusName(status));
    ee.status = status;
    setVirtualMode(ee, status == NCI_NFCEE_ENABLED);
    postSeInd(nci, status == NCI_NFCEE_REMOVED ? NFCLL_SE_REMOVED : NFCLL_SE_STATUS, ee, status, nullptr);
    return 0;
}

// The record a new NFCEE takes: the fourth is kept for the HCI-access NFCEE while the HCI network is in use.
TNciNfcee* freeRecord(TNciContext* nci, bool hciAccess, uint8_t id) {
    if (hciAccess) {
        TNciNfcee& last = nci->nfcees[NCI_MAX_NFCEES - 1];
        return last.valid ? nullptr : &last;
    }
    const int records = hciInUse(nci) ? NCI_MAX_NFCEES - 1 : NCI_MAX_NFCEES;
    for (int i = 0; i < records; ++i)
        if (!nci->nfcees[i].valid) return &nci->nfcees[i];
    TRACE(NFCLL_TRC_ERROR, "nci: ! No space available for new NFCEE %d", id);
    return nullptr;
}

bool tlvsValid(CByteReader& r) {
    uint8_t count = 0;
    if (!r.u8(count)) return true;   // a notification may end before its TLVs
    for (uint8_t i = 0; i < count; ++i) {
        uint8_t type = 0, length = 0;
        if (!r.u8(type) || !r.u8(length) || !r.skip(length)) return false;
    }
    return true;
}

uint16_t addNfcee(TNciContext* nci, uint8_t id, uint8_t status, CByteReader& r) {
    uint8_t count = 0;
    const uint8_t* protocols = nullptr;
    // The count is checked against the payload before any protocol is read.
    if (!r.u8(count) || count == 0 || !r.take(count, protocols)) {
        TRACE(NFCLL_TRC_ERROR, "nci: missing NFCEE protocol infos, ignore it !");
        return NCI_CAUSE_INVALID_DATA;
    }
    bool hciAccess = false;
    for (uint8_t i = 0; i < count; ++i) hciAccess |= protocols[i] == kProtocolHciAccess;
    hciAccess &= hciInUse(nci);
    if (hciAccess && nci->nfcees[NCI_MAX_NFCEES - 1].valid) return 13;
    TNciNfcee* ee = freeRecord(nci, hciAccess, id);
    if (!ee) return 13;
    if (!tlvsValid(r)) {
        TRACE(NFCLL_TRC_ERROR, "nci: invalid NFCEE TLV, ignore it !");
        return NCI_CAUSE_INVALID_DATA;
    }
    if (!hciAccess) TRACE(kTrcNci, "nci:  Adding new NFCEE %#0x", id);
    *ee = TNciNfcee{};
    ee->valid = true;
    ee->id = id;
    ee->status = status;
    ee->firstProtocol = protocols[0];
    for (uint8_t i = 0; i < count; ++i) {
        if (protocols[i] < 8) ee->protocols |= static_cast<uint8_t>(1u << protocols[i]);
        else TRACE(kTrcNci, "nci: Unknwon NFCEE protocol %#0x", protocols[i]);
    }
    ee->capabilities = capabilitiesOf(nci, ee->protocols, id);
    if (hciAccess) ee->capabilities |= kCapHciAccess;
    ee->info = TNfcInfoSE{handleFor(nci, id), ee->capabilities, static_cast<WORD>(status != NCI_NFCEE_DISABLED ? NFC_SE_MODE_VIRTUAL : 0), {}, id};
    setDefaultOperations(*ee);
    if (hciAccess) nci->hci.access = ee;
    // The others are reached through the HCI network's card pipes, unless they say otherwise.
    else if (hciInUse(nci) && !(ee->capabilities & kCapNoHciOpen)) ee->open = &nciSeHciOpen;
    ++nci->nfceeCount;
    if (nci->nfceeCount > nci->nfceeAnnounced) {
        TRACE(kTrcNci, "nci: More NFCEEs detected (%d)", nci->nfceeCount);
        nci->nfceeAnnounced = nci->nfceeCount;
    }
    publish(nci);
    return hciAccess ? 5 : 0;
}

// Copies at most 16 bytes and at most what the data still holds.
uint16_t takeBounded(CByteReader& r, uint32_t length, uint8_t* out) {
    const uint32_t n = std::min<uint32_t>({length, 16, static_cast<uint32_t>(r.remaining())});
    const uint8_t* bytes = nullptr;
    r.take(n, bytes);
    if (n) std::memcpy(out, bytes, n);
    return static_cast<uint16_t>(n);
}

TNciNfcee* requestNfcee(TNciContext* nci) {
    TNciNfcee* ee = nciNfceeByHandle(nci, nci->ioHandle);
    if (!ee) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Cannot find secure element for hSecure=%p",
              reinterpret_cast<void*>(static_cast<uintptr_t>(nci->ioHandle)));
        TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid SE handle %p", reinterpret_cast<void*>(static_cast<uintptr_t>(nci->ioHandle)));
    }
    return ee;
}

bool needsHandle(uint32_t code) {
    return code == 0x8002 || code == 0x8003 || code == 0x8004 || code == 0x8008 || code == 0x800A;
}

uint16_t readRoutes(TNciContext* nci) {
    if (!nci->ioOutput || nci->ioOutputSize == 0 || nci->ioOutputSize % NCI_ROUTE_RECORD_SIZE != 0) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! ERROR: Buffer size %d is not a multiple of routing data size",
              static_cast<int>(nci->ioOutputSize));
        return NCI_CAUSE_INVALID_DATA;
    }
    nci->routesRead = 0;
    return stepOf(nciSendCommand(nci, OC_RF_GET_LM_ROUTING_CMD, nullptr, 0));
}

uint16_t routesChanged(TNciContext* nci, uint16_t cause) {
    if (cause == 0) nciSignalCompletion(nci, evNciNfceeRouteAddInd);
    return cause;
}

// The sub-state's way out: the outcome goes up, and the master learns whether it failed.
uint32_t leave(TNciContext* nci, uint16_t cause, uint32_t outcome, const char* source) {
    if (cause) {
        nciSignalError(cause, nci, source);
        return SM_MASTER_ERROR;
    }
    nciSignalCompletion(nci, outcome);
    return SM_MASTER;
}

uint32_t exchangeAnswer(TNciContext* nci) {
    nciStopResponseTimer(nci);
    if (nci->rxLength > nci->ioOutputSize || (nci->rxLength && !nci->ioOutput)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! SE answer of %u bytes, room for %u", static_cast<unsigned>(nci->rxLength),
              static_cast<unsigned>(nci->ioOutputSize));
        nciSignalError(NCI_CAUSE_INVALID_DATA, nci, "nciStateIoSeRequest");
        return SM_MASTER_ERROR;
    }
    if (nci->rxLength) std::memcpy(nci->ioOutput, nci->rxPayload, nci->rxLength);
    ncillUsCallback(nci, evNciDataIndication, nci->ioOutput, nci->rxLength);
    return SM_MASTER;
}

// A reader's command while the request waits: it goes up as it does outside the request.
uint32_t readerData(TNciContext* nci) {
    nci->seSignalling = false;
    const uint32_t type = nci->transType;
    if (type == NCI_TRANSTYPE_IOCTL) nci->transType = nci->savedTransType;
    ncillUsCallback(nci, evNciDataIndication, nci->rxPayload, nci->rxLength);
    if (type == NCI_TRANSTYPE_IOCTL) nci->transType = type;
    nci->seSignalling = true;
    return SM_DONE;
}

// The sub-state was left before the answer came: the request learns it now, and the answer,
// when it comes, is taken for no later request.
void abandonSeRequest(TNciContext* nci) {
    if (!nci->seWaiting) return;
    TRACE(NFCLL_TRC_ERROR, "nci: ! SE command %#x left before its answer", static_cast<unsigned>(nci->ioCode));
    if (nci->ioNfcee && nci->ioCode == NFC_IOCTL_SE_EXCHANGE && nci->ioNfcee->connId) ++nci->ioNfcee->lateAnswers;
    nciSignalCompletion(nci, evNciState);
}

// What the HCI network signalled for the request: it ends the sub-state, or the request waits on.
uint32_t hciAnswer(TNciContext* nci, uint32_t outcome) {
    if (outcome == evNciNone) return SM_DONE;
    nciStopResponseTimer(nci);
    return outcome == evNciError ? SM_MASTER_ERROR : SM_MASTER;
}

uint32_t connectionOpened(TNciContext* nci) {
    nciStopResponseTimer(nci);
    uint8_t connId = 0;
    uint16_t cause = nciHandleConnCreateRsp(nci, &connId);
    if (cause == 0 && nci->ioNfcee) {
        nci->ioNfcee->connId = connId;
        TRACE(kTrcNci, "nci: Connection to NFCEE %d opened", nci->ioNfcee->id);
    }
    return leave(nci, cause, evNciNfceeOpenInd, "nciHandleConnCreateRsp");
}

// The tag-type bit of a listen technology-and-mode the controller asks an NFCEE for.
uint32_t listenTypeOf(uint8_t techMode) {
    switch (techMode) {
    case 0x80: return 0x100000;
    case 0x81: return 0x200000;
    case 0x82: return 0x400000;
    default: return 0;
    }
}

bool answersReaders(const TNciNfcee& ee) { return ee.valid && ee.status == NCI_NFCEE_ENABLED; }

// What the NFCEE's routes ask for and it supports.
uint32_t matchOf(const TNciContext* nci, const TNciNfcee& ee) {
    uint32_t wanted = 0;
    const TNciRoutingTable& t = nci->routing;
    for (uint8_t i = 0; i < t.count; ++i)
        if (t.entries[i].route == ee.id || t.entries[i].route == NCI_ROUTE_ANY) wanted |= nciRoutingListenMask(t.entries[i]);
    return wanted & ee.supportedListenMask;
}

void setListenState(TNciNfcee& ee, uint8_t state) {
    if (state == ee.listenState) return;
    TRACE(kTrcNci, "nci: NFCEE %d changing state %d to %d", ee.id, ee.listenState, state);
    ee.listenState = state;
}

void updateListenState(const TNciContext* nci, TNciNfcee& ee) {
    if (ee.listenState > NCI_EE_LISTEN_REPORT_OFF) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid NFCEE state 0x%X for NFCEE %d", ee.listenState, ee.id);
        ee.listenState = NCI_EE_LISTEN_OFF;
    }
    const bool matches = answersReaders(ee) && matchOf(nci, ee) != 0;
    if (matches && ee.listenState == NCI_EE_LISTEN_OFF) setListenState(ee, NCI_EE_LISTEN_REPORT_ON);
    else if (matches && ee.listenState == NCI_EE_LISTEN_REPORT_OFF) setListenState(ee, NCI_EE_LISTEN_ON);
    else if (!matches && ee.listenState == NCI_EE_LISTEN_REPORT_ON) setListenState(ee, NCI_EE_LISTEN_OFF);
    else if (!matches && ee.listenState == NCI_EE_LISTEN_ON) setListenState(ee, NCI_EE_LISTEN_REPORT_OFF);
}

} // namespace

// ---- Lookup and reset ---------------------------------------------------------------------------
TNciNfcee* nciNfceeById(TNciContext* nci, uint8_t id) {
    for (TNciNfcee& ee : nci->nfcees)
        if (ee.valid && ee.id == id) return &ee;
    return nullptr;
}

TNciNfcee* nciNfceeByHandle(TNciContext* nci, NfcSecureHandle handle) {
    for (TNciNfcee& ee : nci->nfcees)
        if (ee.valid && handle != 0 && ee.info.handle == handle) return &ee;
    return nullptr;
}

TNciNfcee* nciNfceeByConnection(TNciContext* nci, uint8_t connId) {
    for (TNciNfcee& ee : nci->nfcees)
        if (ee.valid && connId != 0 && ee.connId == connId) return &ee;
    return nullptr;
}

bool nciNfceeDropsLateAnswer(TNciContext* nci, uint8_t connId) {
    TNciNfcee* ee = nciNfceeByConnection(nci, connId);
    if (!ee || ee->lateAnswers == 0) return false;
    --ee->lateAnswers;
    TRACE(NFCLL_TRC_ERROR, "nci: ! late answer of NFCEE %d dropped", ee->id);
    return true;
}

void nciNfceeReset(TNciContext* nci) {
    // Taken off the list first: a record being cleared is no longer one the application copies.
    for (TNciNfcee& ee : nci->nfcees) ee.valid = false;
    publish(nci);
    for (TNciNfcee& ee : nci->nfcees) {
        ee = TNciNfcee{};
        setDefaultOperations(ee);
    }
    nci->nfceeCount = 0;
    nci->hci = TNciHciState{};
}

// ---- Notifications and responses -----------------------------------------------------------------
uint16_t nciHandleNfceeDiscoverNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t id = 0, status = 0;
    if (!r.has(4) || !r.u8(id) || !r.u8(status)) return nciTooShort(nci, "nciHandleNfceeDiscoverNtf", 4);
    if (TNciNfcee* ee = nciNfceeById(nci, id)) return changeStatus(nci, *ee, status);
    return addNfcee(nci, id, status, r);
}

uint16_t nciHandleNfceeModeSetRsp(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t status = 0;
    if (!r.u8(status)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid size %d", static_cast<int>(nci->rxLength));
        return NCI_CAUSE_INVALID_DATA;
    }
    if (status != 0) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Found errorcode 0x%02X", status);
        return NCI_CAUSE_FAILED;
    }
    TNciNfcee* ee = nciNfceeById(nci, nci->modeSetId);
    if (!ee) return NCI_CAUSE_WRONG_PARAMETER;
    setVirtualMode(*ee, ee->requestedMode != 0);
    if (ee->requestedMode) {
        ee->status = NCI_NFCEE_ENABLED;
        return 0;
    }
    ee->status = NCI_NFCEE_DISABLED;
    ee->supportedListenMask = 0;
    return 0;
}

bool nciParseTransaction(const uint8_t* data, uint32_t length, TNfcTransaction* out) {
    *out = TNfcTransaction{};
    CByteReader r(data, length);
    uint8_t tag = 0, aidLength = 0;
    if (!r.u8(tag) || tag != kTagAid || !r.u8(aidLength)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! TRANSACTION EVENT, but no AID, length %d, ignore", static_cast<int>(length));
        return false;
    }
    TRACE(kTrcNci, "nci: TRANSACTION EVENT, length %d", static_cast<int>(length));
    // Every length from the wire is bounded by the field and by what the data still holds.
    out->aidLength = takeBounded(r, aidLength, out->aid);
    uint8_t next = 0;
    if (!r.u8(next)) return true;
    if (next == kTagParams) {
        uint8_t paramLength = 0;
        if (r.u8(paramLength)) out->paramLength = takeBounded(r, paramLength, out->param);
        return true;
    }
    // No parameter tag after the AID: the AID runs on up to a 0x82 byte, and the rest are the parameters.
    while (next != kTagParams) {
        if (out->aidLength < sizeof out->aid) out->aid[out->aidLength++] = next;
        if (!r.u8(next)) return true;
    }
    TRACE(kTrcNci, "ehci: Transaction params detected, length %d", static_cast<int>(r.remaining()));
    if (r.remaining() > sizeof out->param) TRACE(NFCLL_TRC_ERROR, "nci: ! AID param length cutted !");
    out->paramLength = takeBounded(r, static_cast<uint32_t>(r.remaining()), out->param);
    return true;
}

uint16_t nciHandleNfceeActionNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t id = 0, trigger = 0, length = 0;
    const uint8_t* data = nullptr;
    if (!r.u8(id) || !r.u8(trigger) || !r.u8(length)) {
        TRACE(NFCLL_TRC_ERROR, "nci: Invalid length, shorter than minimum");
        return NCI_CAUSE_INVALID_DATA;
    }
    if (!r.take(length, data)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! action data of %d bytes, %d received", length, static_cast<int>(r.remaining()));
        return NCI_CAUSE_INVALID_DATA;
    }
    TNciNfcee* ee = nciNfceeById(nci, id);
    if (!ee) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Received data for unknown NFCEE %d", id);
        return NCI_CAUSE_INVALID_DATA;
    }
    if (trigger != kTriggerTransaction) {
        TRACE(kTrcNci, "nci: NFCEE action %#x currently ignored", trigger);
        return 0;
    }
    TRACE(kTrcNci, "nci: NFCEE transaction indication");
    TNfcTransaction* record = &nci->transactions[nci->nextTransaction];
    if (!nciParseTransaction(data, length, record)) return NCI_CAUSE_INVALID_DATA;
    nci->nextTransaction = static_cast<uint8_t>((nci->nextTransaction + 1) % NCI_TRANSACTION_RECORDS);
    postSeInd(nci, NFCLL_SE_TRANSACTION, *ee, 0, record);
    return 0;
}

uint16_t nciHandleNfceeDiscoveryReqNtf(TNciContext* nci) {
    CByteReader r = payloadOf(nci);
    uint8_t count = 0;
    if (!r.u8(count)) return nciTooShort(nci, "nciHandleNfceeDiscoveryReqNtf", 1);
    for (uint8_t i = 0; i < count; ++i) {
        uint8_t type = 0, length = 0, id = 0, techMode = 0, protocol = 0;
        CByteReader entry(nullptr, 0);
        if (!r.u8(type) || !r.u8(length) || !r.split(length, entry) || !entry.u8(id) || !entry.u8(techMode) ||
            !entry.u8(protocol))
            return nciTooShort(nci, "nciHandleNfceeDiscoveryReqNtf", 5);
        TNciNfcee* ee = nciNfceeById(nci, id);
        if (!ee) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Received data for unknown NFCEE %d", id);
            continue;
        }
        const uint32_t bit = listenTypeOf(techMode);
        if (type == 0) {
            ee->supportedListenMask |= bit;
            TRACE(kTrcNci, "nci: Adding techmode %s for NFCEE %d, supportedListenMask=0x%X", techModeName(techMode), id,
                  static_cast<unsigned>(ee->supportedListenMask));
        } else if (type == 1) {
            ee->supportedListenMask &= ~bit;
            TRACE(kTrcNci, "nci: Removing techmode %s for NFCEE %d, supportedListenMask=0x%X", techModeName(techMode), id,
                  static_cast<unsigned>(ee->supportedListenMask));
            const uint8_t technology = static_cast<uint8_t>(techMode & 0x7F);
            nciRoutingRemoveEntries(nci, NCI_ROUTE_TECH, id, 0xFF, &technology, 1);
        } else {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Unknown routing command type %d", type);
        }
    }
    return 0;
}

uint32_t nciNfceeListenMask(const TNciContext* nci) {
    TRACE(kTrcNci, "nci: nciNfceeGetListenMask enter");
    uint32_t mask = 0;
    for (const TNciNfcee& ee : nci->nfcees) {
        if (!answersReaders(ee)) continue;
        TRACE(kTrcNci, "nci:  - Found active NFCEE %d, supported listen mask 0x%.08X ", ee.id,
              static_cast<unsigned>(ee.supportedListenMask));
        const uint32_t match = matchOf(nci, ee);
        if (match) TRACE(kTrcNci, "nci:  - Found matching listen mask 0x%.08X", static_cast<unsigned>(match));
        mask |= match;
    }
    TRACE(kTrcNci, "nci: nciNfceeGetListenMask exit, final mask = 0x%.08X", static_cast<unsigned>(mask));
    return mask;
}

void nciNfceeReportListenStates(TNciContext* nci) {
    for (TNciNfcee& ee : nci->nfcees) {
        updateListenState(nci, ee);
        if (ee.listenState == NCI_EE_LISTEN_REPORT_ON) {
            TRACE(kTrcNci, "nci: Sending NFCEE_ACTIVATED_IND uptream");
            postSeInd(nci, NFCLL_SE_ACTIVATED, ee, ee.supportedListenMask, nullptr);
            setListenState(ee, NCI_EE_LISTEN_ON);
        } else if (ee.listenState == NCI_EE_LISTEN_REPORT_OFF) {
            TRACE(kTrcNci, "nci: Sending NFCEE_DEACTIVATED_IND uptream");
            postSeInd(nci, NFCLL_SE_DEACTIVATED, ee, 0, nullptr);
            setListenState(ee, NCI_EE_LISTEN_OFF);
        }
    }
}

// ---- Operations of an NFCEE on a direct connection ----------------------------------------------
uint16_t nciSeOpen(TNciContext* nci, TNciNfcee* ee) {
    TRACE(kTrcNci, "nci: %s, id %d", "nciSeOpen", ee->id);
    if (ee->connId) {
        // Open already: the connection serves the new caller as it is.
        nciSignalCompletion(nci, evNciNfceeOpenInd);
        return 0;
    }
    const uint8_t payload[] = {0x03, 0x01, 0x01, 0x02, ee->id, ee->firstProtocol};
    return stepOf(nciSendCommand(nci, OC_CORE_CONN_CREATE_CMD, payload, sizeof payload));
}

uint16_t nciSeClose(TNciContext* nci, TNciNfcee* ee) {
    TRACE(kTrcNci, "nci: %s, id %d", "nciSeClose", ee->id);
    const uint8_t connId = ee->connId;
    if (!connId) {
        nciSignalCompletion(nci, evNciNfceeCloseInd);
        return 0;
    }
    ee->connId = 0;
    nciConnectionClose(&nci->packet, connId);
    return stepOf(nciSendCommand(nci, OC_CORE_CONN_CLOSE_CMD, &connId, 1));
}

uint16_t nciSeExchange(TNciContext* nci, TNciNfcee* ee) {
    TRACE(kTrcNci, "nci: %s, id %d, %p %d", "nciSeExchange", ee->id, static_cast<const void*>(nci->ioInput),
          static_cast<int>(nci->ioInputLength));
    if (!ee->connId || !nci->ioInput || nci->ioInputLength == 0) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! NFCEE %d has no connection or the APDU is empty", ee->id);
        return NCI_CAUSE_INVALID_DATA;
    }
    const uint32_t sent = nciPacketSend(ee->connId, &nci->packet, 0x0000, nci->ioInput, nci->ioInputLength);
    if (sendFailed(sent)) return static_cast<uint16_t>(sent);
    nci->responseTimeout = nci->ioTimeout ? nci->ioTimeout : kExchangeTimeout;
    nfcllRestartTimer(nci->ll, NCI_TIMER_RESPONSE, nci->responseTimeout);
    nci->flags |= NCI_FLAG_RESPONSE_TIMER;
    return NCI_CAUSE_PENDING;
}

uint16_t nciSeSetMode(TNciContext* nci, TNciNfcee* ee, uint8_t mode) {
    if (mode > 1) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Invalid NFCEE mode %#x", mode);
        return NCI_CAUSE_WRONG_PARAMETER;
    }
    if (mode) TRACE(kTrcNci, "nci: %s, virtual id %d", "nciSeSetMode", ee->id);
    else TRACE(kTrcNci, "nci: %s, off id %d", "nciSeSetMode", ee->id);
    ee->requestedMode = mode;
    nci->modeSetId = ee->id;
    const uint8_t payload[] = {ee->id, mode};
    return stepOf(nciSendCommand(nci, OC_NFCEE_MODE_SET_CMD, payload, sizeof payload));
}

// ---- The secure-element IO controls --------------------------------------------------------------
uint16_t nciRunSeIoControl(TNciContext* nci) {
    const uint32_t code = nci->ioCode;
    TRACE(kTrcNci, "nci: SE command %#x", static_cast<unsigned>(code));
    TNciNfcee* ee = nullptr;
    if (needsHandle(code) && !(ee = requestNfcee(nci))) return NCI_CAUSE_INVALID_DATA;
    nci->ioNfcee = ee;
    switch (code) {
    case 0x110A: {
        const uint8_t value = nci->ioInput && nci->ioInputLength ? nci->ioInput[0] : 1;
        return stepOf(nciSendCommand(nci, OC_SWP_WAKEUP_CMD, &value, 1));
    }
    case 0x110B: {
        const uint16_t cause = nci->ioInput && nci->ioInputLength ? nciHciHardReset(nci, nci->ioInput[0])
                                                                   : uint16_t{NCI_CAUSE_INVALID_DATA};
        if (cause == 0) nciSignalCompletion(nci, evNciOk);
        return cause;
    }
    case 0x8002: return ee->open(nci, ee);
    case 0x8003: return ee->exchange(nci, ee);
    case 0x8004: return ee->close(nci, ee);
    case 0x8008: return ee->setMode(nci, ee, 1);
    case 0x800A: return ee->setMode(nci, ee, 0);
    case 0x800B:
    case 0x800C: return kBatteryModeRefused;
    case 0x800D: return routesChanged(nci, nciRoutingAddRecords(nci, nci->ioInput, nci->ioInputLength));
    case 0x800E: return readRoutes(nci);
    case 0x800F:
        nciRoutingRemoveEntries(nci, NCI_ROUTE_ANY_TYPE, NCI_ROUTE_ANY, 0xFF, nullptr, 0);
        return routesChanged(nci, 0);
    default: return NCI_CAUSE_NO_RESOURCES;
    }
}

namespace {

uint32_t seRequestStep(TStateMachine* sm, TNciContext* nci, uint16_t event) {
    switch (event) {
    case EV_SM_ENTRY: {
        nci->seWaiting = true;
        const uint16_t result = nciRunSeIoControl(nci);
        if (result == NCI_CAUSE_PENDING) return SM_DONE;
        if (result == 0) return SM_MASTER;
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unable to handle IOCTL");
        nciSignalError(result, nci, "nciStateIoSeRequest");
        return SM_MASTER_ERROR;
    }
    case EV_NCI_CORE_CONN_CREATE_RSP: return connectionOpened(nci);
    case EV_NCI_CORE_CONN_CLOSE_RSP:
        nciStopResponseTimer(nci);
        return leave(nci, nciHandleStatusRsp(nci, "nciHandleConnCloseRsp"), evNciNfceeCloseInd, "nciStateIoSeRequest");
    case EV_NCI_NFCEE_MODE_SET_RSP:
        nciStopResponseTimer(nci);
        return leave(nci, nciHandleNfceeModeSetRsp(nci), evNciNfceeModeSetInd, "nciHandleNfceeModeSetRsp");
    case EV_NCI_DOVUVODAV_SWP_WAKEUP_RSP:
        nciStopResponseTimer(nci);
        return leave(nci, nciHandleStatusRsp(nci, "nciHandleSwpWakeupRsp"), evNciOk, "nciStateIoSeRequest");
    case EV_NCI_DATA:
        if (nciHciOwnsData(nci, nci->rxConnId)) return hciAnswer(nci, nciHciReceive(nci));
        if (nci->rxConnId == 0 && sm->master == &nciStateListenActive) return readerData(nci);
        if (!nci->ioNfcee || nci->rxConnId != nci->ioNfcee->connId) return SM_NOT_HANDLED;
        return exchangeAnswer(nci);
    case EV_NCI_CREDIT: return hciAnswer(nci, nciHciCredit(nci));
    case EV_NCI_RF_GET_LM_ROUTING_RSP:
        if (nciHandleStatusRsp(nci, "nciHandleGetRoutingRsp") == 0) return SM_DONE;
        nciStopResponseTimer(nci);
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciStateIoSeRequest");
        return SM_MASTER_ERROR;
    case EV_NCI_RF_GET_LM_ROUTING_NTF: {
        const uint16_t result = nciRoutingReadNtf(nci);
        if (result == NCI_CAUSE_PENDING) return SM_DONE;
        nciStopResponseTimer(nci);
        if (result) {
            nciSignalError(result, nci, "nciStateIoSeRequest");
            return SM_MASTER_ERROR;
        }
        ncillUsCallback(nci, evNciNfceeRouteGetInd, nci->ioOutput, nci->routesRead * NCI_ROUTE_RECORD_SIZE);
        return SM_MASTER;
    }
    case EV_NCI_MARVELD_TIMEOUT:
        // The answer may still come: it belongs to no later exchange.
        if (nci->ioNfcee && nci->ioCode == NFC_IOCTL_SE_EXCHANGE && nci->ioNfcee->connId) ++nci->ioNfcee->lateAnswers;
        nciSignalCompletion(nci, evNciTimeout);
        return SM_MASTER_ERROR;
    // The controller could not carry the exchange to the NFCEE: no answer will come.
    case EV_NCI_CORE_INTERFACE_ERROR_NTF:
        if (!nci->ioNfcee || nci->rxLength < 2 || nci->rxPayload[1] != nci->ioNfcee->connId) return SM_NOT_HANDLED;
        nciStopResponseTimer(nci);
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciStateIoSeRequest");
        return SM_MASTER_ERROR;
    case EV_SM_EXIT:
        nciStopResponseTimer(nci);
        abandonSeRequest(nci);
        // An answer after this is no longer the request's: nothing writes into its output.
        nci->ioNfcee = nullptr;
        nciHciAbandon(nci);
        return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

} // namespace

uint32_t nciStateIoSeRequest(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = static_cast<TNciContext*>(sm->owner);
    // What the sub-state signals answers the request, whatever transaction layer 1 started meanwhile.
    nci->seSignalling = true;
    const uint32_t result = seRequestStep(sm, nci, event);
    nci->seSignalling = false;
    return result;
}
