// Card emulation on the ETSI HCI card gates (A, B and F) and the secure elements' connectivity
// pipe: the card pipes' open sequences and stop, the events an external reader causes (field,
// activation, data, deactivation), and the transaction events of a secure element.
#include <algorithm>
#include <cstring>

#include "L1/ehci/ehci.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint8_t kDefaultSak = 0x20;
constexpr uint16_t kDefaultAtqa = 0x4800;
constexpr uint8_t kCardOptions = 0xA3;
constexpr uint8_t kModeOn = 0x02;
constexpr uint8_t kModeOff = 0xFF;
constexpr uint8_t kTagAid = 0x81;
constexpr uint8_t kTagParams = 0x82;

// Card-pipe states (each names the answer it waits for).
enum : uint32_t {
    kOpened = 11, kClosed = 12, kFieldOn = 14, kFieldOff = 18, kActive = 31, kIdle = 34, kModeSet = 47,
    kStopping = 48, kSakSet = 130, kUidSet = 131, kAtqaSet = 132, kOptionsSet = 134, kUidBSet = 138,
    kRatesSet = 145, kIdentitySet = 153, kDeleted = 160,
};

// The card-F identity the ST21 presents: system code, IDm, eight zero bytes and a last 1.
constexpr uint32_t kCardFRecord = 19;
constexpr uint8_t kDefaultSystemCode[2] = {0x12, 0xFC};
constexpr uint8_t kDefaultIdm[8] = {0x06, 0x66, 0, 0, 0, 0, 0, 0};

// Card-emulation events of the controller.
enum : uint8_t { kEvtData = 0x10, kEvtFieldOn = 0x11, kEvtDeactivated = 0x12, kEvtActivated = 0x13, kEvtFieldOff = 0x14 };

// Connectivity events of a secure element.
enum : uint8_t { kEvtConnectivity = 0x10, kEvtTransaction = 0x12, kEvtOperationEnded = 0x13 };

uint8_t rateCode(uint16_t kbits) {
    switch (kbits) {
    case 212: return 1;
    case 424: return 2;
    case 848: return 3;
    default: return 0;
    }
}

const TNfcListenParam* paramsOf(const TEhciInstance* e) { return e->listenParams; }

void setRates(TEhciPipe* pipe, uint16_t card, uint16_t reader, uint8_t index) {
    const uint8_t rates[3] = {rateCode(card), rateCode(reader), 0};
    ehciSetParam(pipe, index, rates, sizeof rates, kRatesSet);
}

void setMode(TEhciPipe* pipe, uint8_t mode, uint32_t state) { ehciSetParam(pipe, 0x01, &mode, 1, state); }

void openCardA(TEhciInstance* e, TEhciPipe* pipe) {
    TRACE(kTrc, "ehci: ## OPEN RF CARD-A SUCCESSFULLY, pipe ID %d", static_cast<int>(pipe->id));
    const TNfcListenParam* p = paramsOf(e);
    if (p && (p->listenAFlags & NFC_LISTEN_A_NFCID1)) {
        TRACE(kTrc, "ehci: set UID for emu");
        ehciSetParam(pipe, 0x02, p->nfcid1, std::min<uint32_t>(p->nfcid1Length, sizeof p->nfcid1), kUidSet);
        return;
    }
    setRates(pipe, p ? p->listenABitRate : 0, p ? p->poll14443BitRate : 0, 0x09);
}

void openCardB(TEhciInstance* e, TEhciPipe* pipe) {
    TRACE(kTrc, "ehci: ## OPEN RF CARD-B SUCCESSFULLY, pipe ID %d", static_cast<int>(pipe->id));
    const TNfcListenParam* p = paramsOf(e);
    if (p && (p->listenBFlags & NFC_LISTEN_B_NFCID0)) {
        uint8_t uid[10] = {};
        std::memcpy(uid, p->nfcid0, sizeof p->nfcid0);
        ehciSetParam(pipe, 0x02, uid, sizeof uid, kUidBSet);
        return;
    }
    setRates(pipe, p ? p->listenBBitRate : 0, p ? p->poll14443BitRate : 0, 0x06);
}

// On the ST21 the card-F gate is also the NFC-DEP target's: it is given the card's own identity,
// or it would present what the last NFC-DEP session left there.
void setCardFIdentity(TEhciInstance* e, TEhciPipe* pipe) {
    const TNfcListenParam* p = paramsOf(e);
    const bool given = p && (p->listenFFlags & NFC_LISTEN_F_IDENTIFIERS);
    uint8_t record[kCardFRecord] = {};
    if (given) {
        record[0] = static_cast<uint8_t>(p->systemCode >> 8);
        record[1] = static_cast<uint8_t>(p->systemCode);
        TRACE(kTrc, "ehci: use IDM from application");
        std::memcpy(record + 2, p->nfcid2, sizeof p->nfcid2);
    } else {
        std::memcpy(record, kDefaultSystemCode, sizeof kDefaultSystemCode);
        std::memcpy(record + 2, kDefaultIdm, sizeof kDefaultIdm);
    }
    record[kCardFRecord - 1] = 1;
    ehciSetParam(pipe, 0x04, record, sizeof record, kIdentitySet);
}

void openAnswer(TEhciInstance* e, TEhciPipe* pipe) {
    if (pipe == e->pipes.cardA) openCardA(e, pipe);
    else if (pipe == e->pipes.cardF) {
        TRACE(kTrc, "ehci: ## OPEN RF CARD-F SUCCESSFULLY, pipe ID %d", static_cast<int>(pipe->id));
        if (e->flags & EHCI_F_ST21) {
            const uint8_t one = 1;
            ehciSetParam(pipe, 0x08, &one, 1, kRatesSet);
        } else {
            setMode(pipe, kModeOn, kModeSet);
        }
    } else openCardB(e, pipe);
}

// The NFC-IP-1 initiator learns whether card A emulates beside it (bit 13 of the listen); its
// answer is not waited for.
void tellInitiator(TEhciInstance* e) {
    TEhciPipe* initiator = e->pipes.nfcipInitiator;
    if (!initiator || !initiator->id) return;
    const auto bit = static_cast<uint8_t>((e->listenMask >> 13) & 1);
    ehciSetParamUnanswered(initiator, 0x0D, &bit, 1);
}

void cardAStep(TEhciInstance* e, TEhciPipe* pipe) {
    const TNfcListenParam* p = paramsOf(e);
    switch (pipe->state) {
    case kUidSet: setRates(pipe, p ? p->listenABitRate : 0, p ? p->poll14443BitRate : 0, 0x09); break;
    case kRatesSet: {
        const uint8_t sak = p && (p->listenAFlags & NFC_LISTEN_A_SAK) ? p->sak : kDefaultSak;
        ehciSetParam(pipe, 0x03, &sak, 1, kSakSet);
        break;
    }
    case kSakSet: {
        const bool given = p && (p->listenAFlags & NFC_LISTEN_A_SDD);
        const uint8_t atqa[2] = {given ? p->sdd : static_cast<uint8_t>(kDefaultAtqa >> 8),
                                 given ? p->platformConfig : static_cast<uint8_t>(kDefaultAtqa & 0xFF)};
        ehciSetParam(pipe, 0x04, atqa, sizeof atqa, kAtqaSet);
        break;
    }
    case kAtqaSet: ehciSetParam(pipe, 0x06, &kCardOptions, 1, kOptionsSet); break;
    case kOptionsSet:
        tellInitiator(e);
        setMode(pipe, kModeOn, kModeSet);
        break;
    default: setMode(pipe, kModeOn, kModeSet); break;
    }
}

void cardStarted(TEhciInstance* e, TEhciPipe* pipe) {
    pipe->flags &= ~EHCI_P_RUNNING;
    e->pendingMask &= ~pipe->processMask;
    pipe->state = kIdle;
    ehciStartNextReader(e);
}

void deletePipe(TEhciInstance* e, TEhciPipe* pipe) {
    TRACE(kTrc, "ehci: delete pipe 0x%X <%s>, state %d", static_cast<unsigned>(pipe->id), pipe->name,
          static_cast<int>(pipe->state));
    e->deleting = pipe;
    const uint8_t id = pipe->id;
    ehciSendAdmin(e, EHCI_ADM_DELETE_PIPE, &id, 1, kDeleted);
}

void cardResponse(TEhciPipe* pipe, const uint8_t*, uint32_t, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    switch (pipe->state) {
    case kOpened:
        if (code) {
            // A card gate that does not open is given up for this listen.
            e->pendingMask &= ~pipe->processMask;
            ehciStartNextReader(e);
            return;
        }
        openAnswer(e, pipe);
        break;
    case kUidSet:
    case kSakSet:
    case kAtqaSet:
    case kOptionsSet: cardAStep(e, pipe); break;
    case kUidBSet: setRates(pipe, 0, 0, 0x06); break;
    case kRatesSet:
        if (pipe == e->pipes.cardA) cardAStep(e, pipe);
        else if (pipe == e->pipes.cardF) setCardFIdentity(e, pipe);
        else setMode(pipe, kModeOn, kModeSet);
        break;
    case kIdentitySet: setMode(pipe, kModeOn, kModeSet); break;
    case kModeSet: cardStarted(e, pipe); break;
    case kStopping:
        if (code == 6) {
            e->pendingMask &= ~pipe->processMask;
            ehciStopNextReader(e);
        } else {
            ehciStopPipe(pipe);
        }
        break;
    case kClosed:
        pipe->flags &= ~EHCI_P_OPEN;
        if (pipe->flags & EHCI_P_DELETE_AFTER_CLOSE) deletePipe(e, pipe);
        else ehciStopNextReader(e);
        break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
        break;
    }
}

void cardStop(TEhciPipe* pipe) {
    pipe->flags &= ~EHCI_P_CARD_ACTIVE;
    setMode(pipe, kModeOff, kStopping);
}

void activate(TEhciInstance* e, TEhciPipe* pipe) {
    e->pendingMask = 0;
    ehciStartNextReader(e);
    e->currentPipe = pipe;
    e->tagRecord = TNfcTagInfo{};
    pipe->flags |= EHCI_P_CARD_ACTIVE;
    pipe->state = kActive;
    ehciTargetReady(e, pipe, pipe->processMask);
}

// What the reader sent: the controller's status byte ends it, and for the stripped types one more.
void cardData(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    if (!(e->flags & EHCI_F_FIELD_ON)) {
        TRACE(kErr, "ehci: RX EMU data ignored, bad state");
        return;
    }
    if (!(pipe->flags & EHCI_P_CARD_ACTIVE)) {
        TRACE(kTrc, "ehci: RX EMU data in global field ON but ACTIVATED missing");
        activate(e, pipe);
    }
    TRACE(kTrc, "ehci: RX EMU Card data");
    if (!(pipe->flags & EHCI_P_RX_CONTINUED) && !ehciTakeRxBuffer(pipe)) {
        TRACE(kErr, "!ehci: ehciAllocBuffer failed for card-pipe");
        return;
    }
    if (!ehciJoinInPipe(pipe, data, length)) return;
    uint32_t n = length;
    if (n > 1) --n;
    if ((e->stripLastByteMask & e->tagRecord.tagType) && n >= 1) --n;
    ehciUp(e, EV_EHCI_READER_RESPONSE, const_cast<uint8_t*>(data), n);
}

void removal(TEhciInstance* e) {
    e->tagRecord = TNfcTagInfo{};
    e->lastTagType = 0;
    ehciSignalRemoval(e);
}

void cardEvent(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    switch (event) {
    case kEvtFieldOn:
        TRACE(kTrc, "ehci: Field ON");
        pipe->state = kFieldOn;
        e->flags |= EHCI_F_FIELD_ON;
        ehciUp(e, EV_EHCI_FIELD, nullptr, 1);
        break;
    case kEvtActivated:
        e->flags |= EHCI_F_FIELD_ON;
        ehciUp(e, EV_EHCI_FIELD, nullptr, 1);
        if (pipe->state == kStopping) {
            TRACE(kTrc, "ehci: Card activated, ignore switch off pending");
            break;
        }
        TRACE(kTrc, "ehci: ## CARD ACTIVATED  ##");
        activate(e, pipe);
        break;
    case kEvtData: cardData(e, pipe, data, length); break;
    case kEvtDeactivated:
        TRACE(kTrc, "ehci: ## CARD DEACTIVATED ##");
        pipe->flags &= ~EHCI_P_CARD_ACTIVE;
        pipe->state = kFieldOn;
        removal(e);
        break;
    case kEvtFieldOff: {
        TRACE(kTrc, "ehci: Field OFF");
        e->flags &= ~EHCI_F_FIELD_ON;
        ehciUp(e, EV_EHCI_FIELD, nullptr, 0);
        const bool wasActive = (pipe->flags & EHCI_P_CARD_ACTIVE) != 0;
        pipe->flags &= ~EHCI_P_CARD_ACTIVE;
        pipe->state = kFieldOff;
        if (wasActive) removal(e);
        break;
    }
    default: TRACE(kErr, "ehciEventStub ! pipe %d, event 0x%X unsupported", static_cast<int>(pipe->id), event); break;
    }
}

// 81 L AID [82 L parameters]: each length within its field and within what remains.
bool parseTransaction(const uint8_t* data, uint32_t length, TNfcTransaction& out) {
    out = TNfcTransaction{};
    CByteReader r(data, length);
    uint8_t tag = 0, n = 0;
    const uint8_t* bytes = nullptr;
    if (!r.u8(tag) || tag != kTagAid) {
        TRACE(kErr, "ehci: TRANSACTION EVENT, but no AID, length %d, ignore", static_cast<int>(length));
        return false;
    }
    TRACE(kTrc, "ehci: TRANSACTION EVENT, length %d", static_cast<int>(length));
    if (!r.u8(n) || n > sizeof out.aid || !r.take(n, bytes)) {
        TRACE(kErr, "ehci: ! malformed AID in transaction event, ignore");
        return false;
    }
    std::memcpy(out.aid, bytes, n);
    out.aidLength = n;
    if (r.empty()) return true;
    if (!r.u8(tag) || tag != kTagParams || !r.u8(n) || n > sizeof out.param || !r.take(n, bytes)) {
        TRACE(kErr, "ehci: ! malformed transaction params, ignore");
        return false;
    }
    TRACE(kTrc, "ehci: Transaction params detected, length %d", static_cast<int>(n));
    std::memcpy(out.param, bytes, n);
    out.paramLength = n;
    return true;
}

void connectivityEvent(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    TRACE(kTrc, "ehci: Dispatch connectivity pipe event 0x%X, length %d", static_cast<unsigned>(event),
          static_cast<int>(length));
    switch (event) {
    case kEvtConnectivity:
        TRACE(kTrc, "ehci: CONNECTIVITY EVENT");
        if (debugOn(NFCLL_TRC_DUMP) && length) debugDump(data, "ehci: connectivity", length);
        break;
    case kEvtTransaction: {
        TNfcTransaction& record = e->transactions[e->nextTransaction];
        if (!parseTransaction(data, length, record)) break;
        e->nextTransaction = static_cast<uint8_t>((e->nextTransaction + 1) % EHCI_TRANSACTIONS);
        const TNfcInfoSE& se = pipe == e->pipes.ese && e->pipes.ese ? e->seRecords[1] : e->seRecords[0];
        ehciUp(e, EV_EHCI_SE_TRANSACTION, &record, sizeof record, static_cast<uintptr_t>(se.handle));
        break;
    }
    case kEvtOperationEnded: removal(e); break;
    default:
        TRACE(kErr, "ehci: Dispatch connectivity pipe, unknown event 0x%X!", static_cast<unsigned>(event));
        break;
    }
}

void connectivityResponse(TEhciPipe* pipe, const uint8_t*, uint32_t length, uint32_t code) {
    TRACE(kTrc, "ehci: connectivity pipe response 0x%X, state %d, length %d", static_cast<unsigned>(code),
          static_cast<int>(pipe->state), static_cast<int>(length));
    if (pipe->state == kClosed) TRACE(kTrc, "ehci: Connectivity pipe is closed");
    else TRACE(kErr, "ehci: Connectivity pipe ! unknown response");
}

}  // namespace

void ehciCardInstall(TEhciPipe* pipe) {
    pipe->response = &cardResponse;
    pipe->event = &cardEvent;
    pipe->open = &ehciOpenPipe;
    pipe->stop = &cardStop;
}

void ehciConnectivityInstall(TEhciPipe* pipe) {
    pipe->response = &connectivityResponse;
    pipe->event = &connectivityEvent;
}

void ehciPipeDeleted(TEhciInstance* e) {
    if (TEhciPipe* pipe = e->deleting) pipe->id = 0;
    e->deleting = nullptr;
    ehciStopNextReader(e);
}
