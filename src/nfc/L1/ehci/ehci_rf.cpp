// The RF side of the ETSI HCI driver: layer 1's listen, transaction and check requests, the
// listen cycle over the reader pipes (open in bit order, poll, stop), a discovered target's
// activation step by step through the reader gates' registries, and the exchanges with it.
#include <algorithm>
#include <cstring>

#include "L1/ehci/ehci.h"
#include "util/stackbytes.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kReaderBits = 0xF07;
constexpr uint32_t kCardBits = 0xF00000;
constexpr uint32_t kMifareClassic = 0x10 | 0x20 | 0x1000000 | 0x2000000 | 0x4000000;
constexpr uint32_t kRediscoveryMs = 400;
constexpr uint8_t kUidMax = 16;

// Pipe states of the reader operations (each names the answer it waits for): the steps of the
// reader gates' activation keep their numbers, the check has a name of its own.
enum : uint32_t {
    kOpened = 11, kClosed = 12, kPolling = 30, kActive = 31, kExchange = 34,
    kSak = 36, kUid = 32, kFwi = 140, kAtqa = 33, kActivation = 60, kHistorical = 139, kRateSet = 137,
    kChipSet = 59, kSecondSak = 157, kSecondUid = 155, kSecondAtqa = 156,
    kPupi = 37, kAfi = 38, kHigherLayer = 179, kAppData = 180,
    kInventory = 172, kAfiSet = 173,
    kCheck = EHCI_STATE_CHECK,
};

// Commands of the PN544 and the demo board on reader A and the NFC-IP-1 initiator: the ISO 14443-4
// activation, the NFC-DEP activation, the presence check (Activate ID), and the event that lets
// a target go while the polling goes on.
enum : uint8_t { kIsoActivate = 0x12, kNfcDepActivate = 0x13, kActivateId = 0x32, kRelease = 0x35 };
constexpr uint32_t kNfcDepSakMask = 0x64, kNfcDepSak = 0x40, kIsoDepSak = 0x20;
constexpr uint32_t kInitiatorBit = 0x1000;
constexpr uint32_t kFirstVariantRecord = 3;   // the records after the link, Admin and identity pipes

// Type-A identification by ATQA and SAK; ATQA 0x0044 (and 0) is decided by identifyBySak. The
// MIFARE rows of ATQA 0x0004 look at the SAK's low nibble, but never past its ISO-DEP bit (0x20):
// ISO-DEP cards and phones emulating one answer ATQA 0x0004 with SAK 0x20, and are no MIFARE.
struct TypeARow {
    uint16_t atqa;
    uint8_t sakMask;
    uint8_t sak;
    uint32_t type;
};
constexpr TypeARow kTypeA[] = {
    {0x0004, 0x2F, 0x00, 0x10},      {0x0004, 0x2F, 0x08, 0x10},      {0x0004, 0x2F, 0x04, 0x4000000},
    {0x0004, 0x2F, 0x09, 0x1000000}, {0x0002, 0xFF, 0x18, 0x20},      {0x0002, 0xFF, 0x10, 0x2000000},
    {0x0042, 0xFF, 0x11, 0x4000000}, {0x0084, 0xFF, 0x00, 0x40},      {0x0344, 0x00, 0x00, 0x80},
};

uint32_t identifyBySak(uint8_t sak, uint32_t uidLength) {
    switch (sak) {
    case 0x00: return uidLength == 7 ? 0x40 : 0x80;
    case 0x10: return 0x2000000;
    case 0x08: return 0x10;
    case 0x20: return 0x1;
    default: return 0x80;
    }
}

bool isReader(const TEhciInstance* e, const TEhciPipe* pipe) {
    return pipe && (pipe == e->pipes.readerA || pipe == e->pipes.readerB || pipe == e->pipes.iso15693 ||
                    pipe == e->pipes.felica || pipe == e->pipes.jewel);
}

int32_t requestReader(TEhciPipe* pipe) {
    TRACE(kTrc, "ehci:  EHCI_EVENT_READER_REQUESTED pipe 0x%X <%s>", static_cast<unsigned>(pipe->id), pipe->name);
    return ehciSendEvent(pipe, EHCI_EVT_READER_REQUESTED, kPolling);
}

void confirmListen(TEhciInstance* e, uint32_t failure) {
    e->flags &= ~(EHCI_F_LISTEN | EHCI_F_CANCEL);
    ehciUp(e, EV_EHCI_LISTEN_CONF, nullptr, failure, e->requestedMask);
}

void relisten(TEhciInstance* e) { ehciHandleRelisten(e); }

bool isPn544OrDemo(const TEhciInstance* e) { return (e->flags & (EHCI_F_PN544 | EHCI_F_DEMO)) != 0; }

// The reader bit rates of a listen, as the gates' registries code them.
uint8_t bitRateCode(uint16_t kbits) {
    switch (kbits) {
    case 212: return 1;
    case 424: return 2;
    case 848: return 3;
    default: return 0;
    }
}

}  // namespace

void ehciTargetReady(TEhciInstance* e, TEhciPipe* pipe, uint32_t type) {
    for (TEhciPipe& p : e->pipe) {
        if (!(p.flags & EHCI_P_RAW) && &p != e->pipes.nfcipTarget && &p != e->pipes.nfcipInitiator)
            ehciReleaseRxBuffer(&p);
    }
    e->tagRecord.tagType = type;
    e->lastTagType = type;
    e->rediscoverPending = 1;
    pipe->state = kExchange;
    ehciUp(e, EV_EHCI_TARGET_DETECTED, &e->tagRecord, sizeof e->tagRecord,
           reinterpret_cast<uintptr_t>(e->listenParams));
}

namespace {

void copyUid(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    const uint32_t n = std::min<uint32_t>(length, kUidMax);
    std::memset(e->tagRecord.uid, 0, sizeof e->tagRecord.uid);
    std::memcpy(e->tagRecord.uid, data, n);
    e->tagRecord.uidLength = static_cast<uint16_t>(n);
}

void deliver(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    if ((e->stripLastByteMask & e->tagRecord.tagType) && length > 1) --length;
    ehciUp(e, EV_EHCI_READER_RESPONSE, const_cast<uint8_t*>(data), length);
}

// A MIFARE step that failed leaves the card halted: it is looked for again. The PN544 wakes it
// with Activate ID; the others poll for it anew.
void rediscover(TEhciInstance* e, TEhciPipe* pipe) {
    e->authenticatedBlock = 255;
    e->presenceCheckActive = 1;
    pipe->state = kActive;
    if (e->flags & EHCI_F_PN544) {
        const uint32_t n = std::min<uint32_t>(e->tagRecord.uidLength, EHCI_PACKET_MAX - 2);
        ehciSendCommand(pipe, kActivateId, e->tagRecord.uid, n, kActive);
    } else {
        ehciEndOperation(pipe, nullptr);
        requestReader(pipe);
    }
    ehciTimerStart(e, EHCI_TIMER_REDISCOVERY, kRediscoveryMs);
}

// The card answered again after a failed MIFARE step: that step fails, and the card stays.
void discoveredAgain(TEhciInstance* e, TEhciPipe* pipe) {
    TRACE(kTrc, "ehci: ISO-14443A tag discovered again, signal failed transaction");
    e->presenceCheckActive = 0;
    ehciTimerStop(e, EHCI_TIMER_REDISCOVERY);
    ehciUp(e, EV_EHCI_TRANSACTION_FAILED);
    pipe->state = kExchange;
}

void targetGone(TEhciInstance* e) {
    e->tagRecord = TNfcTagInfo{};
    e->lastTagType = 0;
    ehciSignalRemoval(e);
}

// The PN544's Activate ID after a failed MIFARE step: the card is there again, or it has gone.
void presenceAnswer(TEhciInstance* e, TEhciPipe* pipe, uint32_t code) {
    if (!e->presenceCheckActive) {
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
        return;
    }
    if (!code) {
        discoveredAgain(e, pipe);
        return;
    }
    TRACE(kErr, "ehci: Mifare presence check failed, signal remove");
    e->presenceCheckActive = 0;
    ehciTimerStop(e, EHCI_TIMER_REDISCOVERY);
    pipe->state = kExchange;
    targetGone(e);
}

void exchangeResult(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    const uint32_t type = e->tagRecord.tagType;
    if (code) {
        if (pipe->flags & EHCI_P_AUTH) {
            TRACE(kErr, "ehci: ! Mifare authentication failed on block %d, discover TAG again",
                  static_cast<int>(e->authBlock));
            rediscover(e, pipe);
            return;
        }
        // The PN544 refuses a MIFARE Classic command the halted card cannot take with code 7.
        if ((e->flags & EHCI_F_PN544) && code == 7 && (type == 0x10 || type == 0x20)) {
            rediscover(e, pipe);
            return;
        }
        if (pipe == e->pipes.iso15693 && pipe->retries) {
            TRACE(kTrc, "ehci: retry transmission");
            --pipe->retries;
            e->txSent = 0;
            ehciPipeTransmit(pipe);
            return;
        }
        if (!(type & 0x3000)) TRACE(kErr, "ehci: ! TRANSCEIVE failed 0x%X", static_cast<unsigned>(code));
        ehciUp(e, EV_EHCI_TRANSACTION_TIMEOUT, nullptr, code);
        return;
    }
    if (pipe->flags & EHCI_P_AUTH) e->authenticatedBlock = e->authBlock;
    if ((type == 0x1 || type == 0x2) && length < 2) {
        ehciUp(e, EV_EHCI_TRANSACTION_TIMEOUT, nullptr, 9);
        return;
    }
    if ((e->flags & EHCI_F_PN544) && (pipe->flags & EHCI_P_MIFARE_READ) && length == 0) {
        TRACE(kErr, "ehci: ! Mifare read with 0 bytes unexpected, signal error");
        ehciUp(e, EV_EHCI_TRANSACTION_TIMEOUT, nullptr, 9);
        return;
    }
    deliver(e, data, length);
}

// The answer to a presence check: the check's result, whatever the tag type.
void checkAnswer(TEhciInstance* e, TEhciPipe* pipe, uint32_t code) {
    pipe->state = kExchange;
    const uint16_t cause = code ? 3 : 0;
    ehciUp(e, EV_EHCI_TRANSACTION_RESULT, nullptr, 0, reinterpret_cast<uintptr_t>(&cause));
}

void openAnswer(TEhciInstance* e, TEhciPipe* pipe) {
    const TNfcListenParam* p = e->listenParams;
    if (pipe == e->pipes.readerA) {
        TRACE(kTrc, "ehci: ## OPEN RF READER A SUCCESSFULLY, pipe ID %d", static_cast<int>(pipe->id));
        const uint8_t rate = p && (p->poll14443Flags & NFC_POLL_BIT_RATE) ? bitRateCode(p->poll14443BitRate) : 0;
        ehciSetParam(pipe, 0x01, &rate, 1, kRateSet);
    } else if (pipe == e->pipes.iso15693) {
        const uint8_t afi = p && (p->poll15693Flags & NFC_POLL_AFI) ? p->poll15693Afi : 0;
        ehciSetParam(pipe, 0x02, &afi, 1, kAfiSet);
    } else {
        TRACE(kTrc, "ehci: ## OPEN RF READER B SUCCESSFULLY, pipe ID %d", static_cast<int>(pipe->id));
        ehciOpenRFPipeCompleted(pipe);
    }
}

void fwiRead(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    const uint8_t fwi = !code && length ? data[0] : 0;
    TRACE(kTrc, "ehci: FWI = 0x%X, get ATQA", static_cast<unsigned>(fwi));
    if (nfcmanP2pRawMode() && (fwi >> 4)) pipe->timeout = (302u << (fwi >> 4)) / 1000;
    ehciGetParam(pipe, 0x04, kAtqa);
}

uint16_t atqaOf(const uint8_t* data, uint32_t length) {
    return length >= 2 ? static_cast<uint16_t>(data[1] << 8 | data[0]) : length ? data[0] : 0;
}

void readerADone(TEhciInstance* e, TEhciPipe* pipe);

void atqaRead(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    const uint16_t atqa = atqaOf(data, length);
    const uint8_t sak = e->tagRecord.a.sak;
    e->tagRecord.a.atqa = atqa;
    e->tagRecord.tagType = ehciTypeAIdentify(atqa, sak, e->tagRecord.uidLength);
    TRACE(kTrc, "ehci: Type-A Tag, SAK=0x%X, ATQA=0x%.04X", static_cast<unsigned>(sak), static_cast<unsigned>(atqa));
    pipe->state = kActive;
    e->authenticatedBlock = 255;
    if (!isPn544OrDemo(e)) {
        ehciGetParam(pipe, 0x05, kHistorical);
        return;
    }
    // These chips activate ISO 14443-4 on the host's command, and only then know the historical bytes.
    if (!(sak & kIsoDepSak)) {
        readerADone(e, pipe);
        return;
    }
    TRACE(kTrc, "ehci: Continue with ISO 14443-A activation ...");
    ehciSendCommand(pipe, kIsoActivate, nullptr, 0, kActivation);
}

// The SAK of an NFC-DEP target on a chip that activates it itself: the initiator pipe takes it
// over when the listen asks for it, else it is let go.
void nfcDepSak(TEhciInstance* e, TEhciPipe* pipe) {
    pipe->state = kPolling;
    TEhciPipe* initiator = e->pipes.nfcipInitiator;
    if ((e->listenMask & kInitiatorBit) && initiator && initiator->id) {
        TRACE(kTrc, "ehci: IP1 SAK detected, continue IP1 activation");
        ehciSendCommand(initiator, kNfcDepActivate, nullptr, 0, kActivation);
        return;
    }
    TRACE(kTrc, "ehci: NFC-DEP SAK 0x%X without IP-1 initiator, relisten", static_cast<unsigned>(e->tagRecord.a.sak));
    ehciHandleRelisten(e);
}

void sakRead(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    e->tagRecord.a.sak = length ? data[0] : 0;
    if (isPn544OrDemo(e) && (e->tagRecord.a.sak & kNfcDepSakMask) == kNfcDepSak) {
        nfcDepSak(e, pipe);
        return;
    }
    TRACE(kTrc, "ehci: SAK 0x%X response, get UID", static_cast<unsigned>(e->tagRecord.a.sak));
    ehciGetParam(pipe, 0x02, kUid);
}

// The answer to the ISO 14443-4 activation on reader A.
void activationAnswer(TEhciPipe* pipe, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    if (code) {
        readerADone(e, pipe);
        return;
    }
    TRACE(kTrc, "ehci: continue ISO activation, get historical bytes");
    ehciGetParam(pipe, 0x05, kHistorical);
}

// Several targets on a PN544: the second one's SAK, UID and ATQA are read into a record of its own.
void secondTargetStep(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TNfcTagInfo& second = e->secondTag;
    if (code) {
        TRACE(kErr, "ehci: second TAG selection error, ignore");
        ehciTargetReady(e, pipe, e->tagRecord.tagType);
        return;
    }
    switch (pipe->state) {
    case kSecondSak:
        second.a.sak = length ? data[0] : 0;
        TRACE(kTrc, "ehci: TAG 2 SAK 0x%X response, get UID", static_cast<unsigned>(second.a.sak));
        ehciGetParam(pipe, 0x02, kSecondUid);
        return;
    case kSecondUid: {
        const uint32_t n = std::min<uint32_t>(length, kUidMax);
        std::memcpy(second.uid, data, n);
        second.uidLength = static_cast<uint16_t>(n);
        TRACE(kTrc, "ehci: TAG 2 UID response, get ATQA");
        ehciGetParam(pipe, 0x04, kSecondAtqa);
        return;
    }
    default:
        second.a.atqa = atqaOf(data, length);
        second.tagType = ehciTypeAIdentify(second.a.atqa, second.a.sak, second.uidLength);
        ehciTargetReady(e, pipe, e->tagRecord.tagType);
        return;
    }
}

// Reader A's target is activated; with several in the field the PN544 reads the second one first.
// In a wired session the target is the SmartMX: its historical bytes answer the open.
void readerADone(TEhciInstance* e, TEhciPipe* pipe) {
    if (e->flags & EHCI_F_SMARTMX) {
        TRACE(kTrc, "ehci: Open SmartMX access successfully");
        ehciTimerStop(e, EHCI_TIMER_SECURE);
        pipe->state = kExchange;
        const uint32_t n = std::min<uint32_t>(e->tagRecord.historicalBytesLength, sizeof e->tagRecord.a.historicalBytes);
        ehciIoAnswer(e, 0, e->tagRecord.a.historicalBytes, std::min<uint32_t>(n, e->ioBufferSize));
        return;
    }
    if ((e->flags & EHCI_F_PN544) && (e->flags & EHCI_F_SEVERAL)) {
        TRACE(kTrc, "ehci: Start second TAG evaluation");
        e->secondTag = TNfcTagInfo{};
        ehciGetParam(pipe, 0x03, kSecondSak);
        return;
    }
    ehciTargetReady(e, pipe, e->tagRecord.tagType);
}

// Historical bytes are kept up to the record's field, whatever length the controller gives.
void historicalRead(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    const uint32_t n = code ? 0 : std::min<uint32_t>(length, sizeof e->tagRecord.a.historicalBytes);
    std::memcpy(e->tagRecord.a.historicalBytes, data, n);
    e->tagRecord.historicalBytesLength = static_cast<uint16_t>(n);
    e->activated = (e->flags & EHCI_F_SEVERAL) ? 0 : 1;
    readerADone(e, pipe);
}

void readerBStep(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TNfcTagInfo& tag = e->tagRecord;
    const uint32_t n = code ? 0 : length;
    switch (pipe->state) {
    case kPupi:
        copyUid(e, data, n);
        if (debugOn(NFCLL_TRC_DUMP)) debugDump(tag.uid, "ehci: TypeB PUPI", tag.uidLength);
        ehciGetParam(pipe, 0x02, kAfi);
        break;
    case kAfi:
        tag.afi = n ? data[0] : 0;
        tag.tagType = 0x2;
        TRACE(kTrc, "ehci: TypeB AFI %d", static_cast<int>(tag.afi));
        ehciGetParam(pipe, 0x05, kHigherLayer);
        break;
    case kHigherLayer: {
        const uint32_t m = std::min<uint32_t>(n, sizeof tag.b.higherLayerResponse);
        std::memcpy(tag.b.higherLayerResponse, data, m);
        tag.higherLayerResponseLength = static_cast<uint16_t>(m);
        ehciGetParam(pipe, 0x04, kAppData);
        break;
    }
    default: {
        std::memcpy(tag.b.applicationData, data, std::min<uint32_t>(n, sizeof tag.b.applicationData));
        if (debugOn(NFCLL_TRC_DUMP)) debugDump(tag.b.applicationData, "ehci: TypeB Application Data", 4);
        pipe->state = kActive;
        e->activated = 1;
        ehciTargetReady(e, pipe, 0x2);
        break;
    }
    }
}

// The inventory answer: flags, DSFID, then the UID least significant byte first.
void inventoryRead(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    TNfcTagInfo& tag = e->tagRecord;
    if (length > 2) {
        tag.iso15693.flags = data[0];
        tag.iso15693.dsfid = data[1];
    }
    if (length >= 10) {
        for (uint32_t i = 0; i < 8; ++i) tag.uid[i] = data[9 - i];
        tag.uidLength = 8;
    }
    pipe->state = kActive;
    e->activated = 1;
    ehciTargetReady(e, pipe, 0x4);
}

void readerResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    if (!ehciJoinInPipe(pipe, data, length, code)) return;
    const uint32_t state = pipe->state;
    // A failed activation step gives the target up and polls again.
    const bool activation = state == kSak || state == kUid || state == kAtqa || state == kPupi || state == kInventory;
    if (code && activation) {
        relisten(e);
        return;
    }
    switch (state) {
    case kOpened: openAnswer(e, pipe); break;
    case kRateSet:
        if (e->flags & EHCI_F_PN544) {
            const uint8_t zero = 0;
            ehciSetParam(pipe, 0x10, &zero, 1, kChipSet);
        } else {
            ehciOpenRFPipeCompleted(pipe);
        }
        break;
    case kChipSet:
        // The wired SmartMX takes the reader over: it polls for nothing of the listen.
        if (e->flags & EHCI_F_SMARTMX) {
            pipe->flags |= EHCI_P_RUNNING;
            pipe->state = kPolling;
        } else {
            ehciOpenRFPipeCompleted(pipe);
        }
        break;
    case kAfiSet: ehciOpenRFPipeCompleted(pipe); break;
    case kClosed:
        pipe->flags &= ~EHCI_P_OPEN;
        ehciStopNextReader(e);
        break;
    case kSak: sakRead(e, pipe, data, length); break;
    case kActivation: activationAnswer(pipe, code); break;
    case kSecondSak:
    case kSecondUid:
    case kSecondAtqa: secondTargetStep(e, pipe, data, length, code); break;
    case kActive: presenceAnswer(e, pipe, code); break;
    case kCheck: checkAnswer(e, pipe, code); break;
    case kUid:
        copyUid(e, data, length);
        TRACE(kTrc, "ehci: UID response, get FWI");
        ehciGetParam(pipe, 0x06, kFwi);
        break;
    case kFwi: fwiRead(pipe, data, length, code); break;
    case kAtqa: atqaRead(e, pipe, data, length); break;
    case kHistorical: historicalRead(e, pipe, data, length, code); break;
    case kPupi:
    case kAfi:
    case kHigherLayer:
    case kAppData: readerBStep(e, pipe, data, length, code); break;
    case kInventory: inventoryRead(e, pipe, data, length); break;
    case kExchange: exchangeResult(e, pipe, data, length, code); break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(state));
        break;
    }
}

const char* technologyOf(const TEhciInstance* e, const TEhciPipe* pipe) {
    if (pipe == e->pipes.readerA) return "ISO-14443A";
    if (pipe == e->pipes.readerB) return "ISO-14443B";
    return "vicinity";
}

void targetDiscovered(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    TRACE(kTrc, "ehci: terminate listen (process mask 0x%.08X), TAG discovered", static_cast<unsigned>(e->pendingMask));
    e->pendingMask = 0;
    ehciStartNextReader(e);
    const uint8_t status = length ? data[0] : 0;
    if (status == 3) {
        TRACE(kTrc, "ehci: Several TAGS detected");
        e->flags |= EHCI_F_SEVERAL;
    }
    e->currentPipe = pipe;
    if (pipe == e->pipes.readerA && e->presenceCheckActive) {
        discoveredAgain(e, pipe);
        return;
    }
    e->tagRecord = TNfcTagInfo{};
    if (pipe == e->pipes.readerA) {
        TRACE(kTrc, "ehci: ISO-14443A tag discovered, status 0x%X (%d ms), get SAK", static_cast<unsigned>(status),
              static_cast<int>(pipe->responseTime));
        ehciGetParam(pipe, 0x03, kSak);
    } else if (pipe == e->pipes.readerB) {
        TRACE(kTrc, "ehci: ISO-14443B tag discovered, status 0x%X (%d ms)", static_cast<unsigned>(status),
              static_cast<int>(pipe->responseTime));
        ehciGetParam(pipe, 0x03, kPupi);
    } else {
        TRACE(kTrc, "ehci: vicinity tag discovered, status 0x%X (%d ms), get INVENTORY", static_cast<unsigned>(status),
              static_cast<int>(pipe->responseTime));
        ehciGetParam(pipe, 0x01, kInventory);
    }
}

void readerEvent(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    if (event != EHCI_EVT_TARGET_DISCOVERED) {
        TRACE(kErr, "ehci: ! unsupported event 0x%X on RF reader pipe <%s>", static_cast<unsigned>(event), pipe->name);
        return;
    }
    if (pipe->state != kPolling || (e->flags & EHCI_F_CANCEL)) {
        TRACE(kErr, "ehci: %s tag discovered in bad state %d, ignored", technologyOf(e, pipe),
              static_cast<int>(pipe->state));
        return;
    }
    targetDiscovered(e, pipe, data, length);
}

bool cardEmulationRefused(const TEhciInstance* e) {
    const TNfcCapabilityBlock* caps = e->capabilities;
    for (uint32_t i = 0; caps && i < caps->secureElementCount && i < NFC_MAX_SECURE_ELEMENTS; ++i) {
        const TNfcInfoSE* se = caps->secureElements[i];
        if (se && (se->mode & NFC_SE_MODE_VIRTUAL)) return !(caps->flags & NFC_CAP_HCE_WITH_VIRTUAL_SE);
    }
    return false;
}

TEhciPipe* activeReader(TEhciInstance* e) {
    TEhciPipe* const order[] = {e->pipes.readerA, e->pipes.readerB, e->pipes.felica, e->pipes.iso15693, e->pipes.jewel};
    for (TEhciPipe* pipe : order)
        if (pipe && pipe->id && (e->listenMask & pipe->processMask)) return pipe;
    return nullptr;
}

void setReaderStates(TEhciInstance* e, uint32_t state) {
    TEhciPipe* const readers[] = {e->pipes.readerA, e->pipes.readerB, e->pipes.felica, e->pipes.iso15693, e->pipes.jewel};
    for (TEhciPipe* pipe : readers)
        if (pipe && (e->listenMask & pipe->processMask)) pipe->state = state;
}

}  // namespace

uint32_t ehciTypeAIdentify(uint16_t atqa, uint8_t sak, uint32_t uidLength) {
    if (atqa == 0x0044 || atqa == 0) return identifyBySak(sak, uidLength);
    for (const TypeARow& row : kTypeA)
        if (row.atqa == atqa && (sak & row.sakMask) == row.sak) return row.type;
    return 0x1;
}

void ehciRfInstall(TEhciPipe* pipe) {
    pipe->response = &readerResponse;
    pipe->event = &readerEvent;
    pipe->open = &ehciOpenPipe;
    pipe->stop = &ehciStopPipe;
}

// ---- Passes over the pipes -----------------------------------------------------------------------
void ehciStartNextReader(TEhciInstance* e) {
    TRACE(kTrc, "ehci: StartNextReader(), pending mask 0x%.08X", static_cast<unsigned>(e->pendingMask));
    if (!(e->flags & EHCI_F_LISTEN)) {
        TRACE(kTrc, "ehci: ignored, listen already confirmed");
        return;
    }
    while (e->pendingMask) {
        TEhciPipe* pipe = ehciNextPipe(e, e->pendingMask);
        if (!pipe || pipe->open == nullptr || !pipe->stop) {
            // A bit that no pipe here serves would stall the listen: it is given up.
            TRACE(kErr, "! Cannot get next pipe from mask 0x%X", static_cast<unsigned>(e->pendingMask));
            e->pendingMask &= pipe ? ~pipe->processMask : 0;
            continue;
        }
        if ((pipe->flags & EHCI_P_ON_DEMAND) && !pipe->id) pipe->create(pipe);
        else pipe->open(pipe);
        return;
    }
    TRACE(kTrc, "ehci: All reader started for listen mask 0x%08X, start wheel", static_cast<unsigned>(e->listenMask));
    if (e->hooks.listenStartWheel) e->hooks.listenStartWheel(e);
}

void ehciStopNextReader(TEhciInstance* e) {
    TRACE(kTrc, "ehci: StopNextReader(), pending process mask 0x%.08X, stop mask 0x%.08X, last 0x%.08X",
          static_cast<unsigned>(e->pendingMask), static_cast<unsigned>(e->listenStopMask),
          static_cast<unsigned>(e->lastListenMask));
    while (e->pendingMask) {
        TEhciPipe* pipe = ehciNextPipe(e, e->pendingMask);
        if (!pipe) {
            e->pendingMask = 0;
            break;
        }
        if (!pipe->id || !pipe->stop) {
            e->pendingMask &= ~pipe->processMask;
            continue;
        }
        pipe->stop(pipe);
        return;
    }
    if (e->listenStopMask) {
        // The readers of the old mask are stopped: the new mask's are started.
        e->listenStopMask = 0;
        for (uint32_t i = kFirstVariantRecord; i < EHCI_PIPES; ++i) e->pipe[i].flags &= ~EHCI_P_CLOSE_ON_STOP2;
        e->lastListenMask = e->listenMask;
        e->pendingMask = e->listenMask;
        ehciStartNextReader(e);
        return;
    }
    e->listenMask = 0;
    // The target that went up is out of reach once its reader stopped: its removal is told first.
    if (e->rediscoverPending) ehciSignalRemoval(e);
    else if (e->hooks.relisten) e->hooks.relisten(e);
    e->flags &= ~EHCI_F_CANCEL;
    ehciUp(e, EV_EHCI_LISTEN_CANCELLED);
}

void ehciOpenRFPipeCompleted(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    TRACE(kTrc, "ehci: %s ID 0x%X <%s>, pending mask 0x%.08X, pipe mask 0x%.08X", "ehciOpenRFPipeCompleted",
          static_cast<unsigned>(pipe->id), pipe->name, static_cast<unsigned>(e->pendingMask),
          static_cast<unsigned>(pipe->processMask));
    pipe->state = kPolling;
    if (e->pendingMask & pipe->processMask) {
        e->pendingMask &= ~pipe->processMask;
        pipe->flags |= EHCI_P_RUNNING;
        if ((e->flags & EHCI_F_REQUEST_READERS) && requestReader(pipe) < 0) {
            confirmListen(e, 3);
            return;
        }
    }
    ehciStartNextReader(e);
}

void ehciStopPipe(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    const bool close = (e->flags & EHCI_F_CLOSE_ON_STOP) || (pipe->flags & (EHCI_P_CLOSE_ON_STOP | EHCI_P_CLOSE_ON_STOP2));
    TRACE(kTrc, "ehci: stop pipe 0x%X <%s>, processMask %X, close on stop %d %d", static_cast<unsigned>(pipe->id),
          pipe->name, static_cast<unsigned>(pipe->processMask), (e->flags & EHCI_F_CLOSE_ON_STOP) != 0, close);
    ehciReleaseRxBuffer(pipe);
    e->pendingMask &= ~pipe->processMask;
    pipe->flags &= ~EHCI_P_RUNNING;
    if (close && (pipe->flags & EHCI_P_OPEN)) ehciClosePipe(pipe);
    else ehciStopNextReader(e);
}

// ---- Polling -------------------------------------------------------------------------------------------
void ehciStartPolling(TEhciInstance* e) {
    TRACE(kTrc, "ehci: Start polling, listen mask 0x%X", static_cast<unsigned>(e->listenMask));
    setReaderStates(e, kPolling);
    if (TEhciPipe* pipe = activeReader(e)) requestReader(pipe);
    else if (e->listenMask & kReaderBits)
        TRACE(kErr, "! ehci: Start polling failed, ehciGetAnyActiveRfPipe returned NULL");
}

void ehciStopPolling(TEhciInstance* e) {
    TRACE(kTrc, "ehci: Stop polling");
    setReaderStates(e, kOpened);
    TEhciPipe* pipe = e->currentPipe && (e->currentPipe->flags & EHCI_P_RUNNING) && isReader(e, e->currentPipe)
                          ? e->currentPipe
                          : activeReader(e);
    if (pipe) ehciEndOperation(pipe, nullptr);
}

void ehciSignalRemoval(TEhciInstance* e) {
    e->rediscoverPending = 0;
    ehciUp(e, EV_EHCI_TARGET_REMOVED);
}

void ehciRepoll(TEhciPipe* pipe) {
    ehciEndOperation(pipe, nullptr);
    requestReader(pipe);
}

void ehciHandleRelisten(TEhciInstance* e) {
    TRACE(kTrc, "ehci: ehciHandleRelisten, for last tag 0x%X", static_cast<unsigned>(e->lastTagType));
    if (e->flags & EHCI_F_DEMO) {
        if (e->hooks.listenStartWheel) e->hooks.listenStartWheel(e);
        return;
    }
    TEhciPipe* pipe = e->currentPipe;
    // The PN544 lets the target go and its polling loop goes on by itself.
    if (e->flags & EHCI_F_PN544) {
        if (pipe && !(pipe->flags & EHCI_P_CARD)) ehciSendEvent(pipe, kRelease, kPolling);
        return;
    }
    if ((e->lastTagType & (kCardBits | 0x2000)) || !isReader(e, pipe)) return;
    ehciRepoll(pipe);
    if (e->hooks.relisten) e->hooks.relisten(e);
}

uint16_t ehciSplitCount(uint32_t n) {
    if (n < 256) return static_cast<uint16_t>(n << 8);
    // The integer square root, bit by bit over 16 bits: (b + 1) x (b + 1) is at least n.
    uint32_t root = 0;
    for (uint32_t bit = 1u << 15; bit; bit >>= 1)
        if ((root | bit) * (root | bit) <= n) root |= bit;
    const uint32_t first = std::min<uint32_t>(root + 1, 255), second = std::min<uint32_t>(root, 255);
    return static_cast<uint16_t>(first << 8 | second);
}

int32_t ehciSendCheck(TEhciPipe* pipe, uint8_t instruction, const uint8_t* data, uint32_t length) {
    return ehciSendCommand(pipe, instruction, data, length, kCheck);
}

void ehciCheckAnswer(TEhciPipe* pipe, uint32_t code) { checkAnswer(pipe->owner, pipe, code); }

// ---- Listen --------------------------------------------------------------------------------------------
int32_t etsiHciStartListen(uint32_t mask, TEhciInstance* e, const TNfcListenParam* params) {
    TRACE(kTrc, "ehci: Start listen (pending 0x%.08X), mask 0x%.08X (last mask 0x%.08X,last tag 0x%.08X)",
          static_cast<unsigned>(e->pendingMask), static_cast<unsigned>(mask), static_cast<unsigned>(e->lastListenMask),
          static_cast<unsigned>(e->lastTagType));
    // Card emulation beside an enabled secure element needs the controller's feature for it.
    if ((mask & kCardBits) && cardEmulationRefused(e)) {
        confirmListen(e, 3);
        return 0;
    }
    mask &= ~0x20000u;
    if (mask && mask == (e->listenMask & ~0x20040u) && e->lastTagType) {
        e->requestedMask = mask;
        ehciHandleRelisten(e);
        confirmListen(e, 0);
        return 0;
    }
    e->listenParams = params;
    e->flags = (e->flags & ~EHCI_F_SEVERAL) | EHCI_F_LISTEN;
    const uint32_t previous = e->listenMask;
    e->listenStopMask = previous;
    e->requestedMask = mask;
    e->listenMask = mask & e->supportedMask;
    // The ST21 finds Type 2 tags of reader A through its type 1/2 gate.
    if ((e->flags & EHCI_F_ST21) && (e->listenMask & 0x1)) e->listenMask |= e->supportedMask & 0x40;
    e->presenceCheckActive = 0;
    // Chips that keep their readers running stop only those that are no longer wanted, and close them.
    if ((e->flags & EHCI_F_LISTEN_DIFF) && previous && previous != e->listenMask) {
        e->listenStopMask = previous & ~e->listenMask;
        TRACE(kTrc, "ehci: listen mask changed, diff 0x%.08X", static_cast<unsigned>(e->listenStopMask));
        for (uint32_t i = kFirstVariantRecord; i < EHCI_PIPES; ++i) e->pipe[i].flags |= EHCI_P_CLOSE_ON_STOP2;
    }
    TRACE(kTrc, "ehci: start listen process, listen stop mask 0x%.08X, listen mask 0x%.08X",
          static_cast<unsigned>(e->listenStopMask), static_cast<unsigned>(e->listenMask));
    if (e->listenStopMask) {
        e->pendingMask = e->listenStopMask;
        if (e->hooks.listenStop) e->hooks.listenStop(e);
        else ehciStopNextReader(e);
        return 0;
    }
    e->lastListenMask = e->listenMask;
    for (uint32_t i = kFirstVariantRecord; i < EHCI_PIPES; ++i) e->pipe[i].flags &= ~EHCI_P_CLOSE_ON_STOP2;
    e->pendingMask = e->listenMask;
    ehciStartNextReader(e);
    return 0;
}

int32_t etsiHciCancelListen(TEhciInstance* e) {
    TRACE(kTrc, "ehci: Cancel listen (pending mask 0x%X)", static_cast<unsigned>(e->pendingMask));
    ehciTimerStop(e, EHCI_TIMER_WATCHDOG);
    e->flags |= EHCI_F_CANCEL;
    e->pendingMask = e->listenMask;
    e->listenStopMask = 0;
    setReaderStates(e, kOpened);
    if (e->hooks.listenStop) e->hooks.listenStop(e);
    else ehciStopNextReader(e);
    return 0;
}

void ehciHandleListenReq(TNfcllContext* ll, uint32_t mask, const TNfcListenParam* params) {
    TEhciInstance* e = ehciPart(ll)->instance;
    const int32_t result = !e ? -1 : mask ? etsiHciStartListen(mask, e, params) : etsiHciCancelListen(e);
    if (!result) return;
    TRACE(kErr, "nfcll: NFCLL_LISTEN_CONF cause 0x%.04X", 7u);
    nfcllSendUsListenConf(ll, 7, 0);
}

// ---- Exchanges -----------------------------------------------------------------------------------------
void ehciHandleTransactionReq(TNfcllContext* ll, const uint8_t* data, uint16_t length, uint32_t timeout) {
    TEhciInstance* e = ehciPart(ll)->instance;
    if (ehciNfcipTransaction(ll, data, length)) return;
    if (!e || etsiHciTransceive(timeout, e, data, length) < 0)
        nfcllSendUsTransactionInd(ll, nullptr, EHCI_CAUSE_FAILED, 0);
}

int32_t etsiHciTransceive(uint32_t timeout, TEhciInstance* e, const uint8_t* data, uint32_t length) {
    TEhciPipe* pipe = e->currentPipe;
    if (!pipe) {
        TRACE(kErr, "ehci: ! %s, no current pipe", "etsiHciTransceive");
        return -1;
    }
    if (timeout && timeout != pipe->timeout) {
        TRACE(kTrc, "ehci: command watch timeout changed to %d ms", static_cast<int>(timeout));
        pipe->timeout = timeout;
    }
    e->commandWatchTimeout = pipe->timeout;
    if (pipe->state != 0 && pipe->state != kActive && pipe->state != kExchange) {
        TRACE(kErr, "ehci: ! %s, bad state %d for pipe <%s>", "etsiHciTransceive", static_cast<int>(pipe->state),
              pipe->name);
        return -1;
    }
    pipe->retries = e->activated;
    return ehciTransactionRequest(e, data, length);
}

int32_t ehciTransactionRequest(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    TEhciPipe* pipe = e->currentPipe;
    if (pipe && pipe->transmit) return pipe->transmit(pipe, data, length);
    // An empty message would send nothing, and nothing would ever answer it.
    if (!pipe || length == 0) {
        TRACE(kErr, "ehci: ! %s, nothing to send", "ehciTransactionRequest");
        return -1;
    }
    if (length > EHCI_RX_SIZE) {
        TRACE(kErr, "ehci: ! %s, %d bytes refused, %d at most", "ehciTransactionRequest", static_cast<int>(length),
              static_cast<int>(EHCI_RX_SIZE));
        return -1;
    }
    if (!ehciTakeRxBuffer(pipe)) {
        TRACE(kErr, "ehci: ! %s cannot alloc buffer, length = %d", "ehciTransactionRequest", static_cast<int>(length));
        return -1;
    }
    if ((pipe->flags & EHCI_P_CARD) && pipe->state == 18) {
        TRACE(kErr, "Emu deactivated or field off");
        ehciUp(e, EV_EHCI_TRANSACTION_TIMEOUT, nullptr, 9);
        return 0;
    }
    pipe->flags &= ~(EHCI_P_AUTH | EHCI_P_MIFARE_READ);
    if ((e->tagRecord.tagType & kMifareClassic) && length >= 1) {
        // The block of an authentication is its second byte: a shorter command names none.
        if ((data[0] == 0x60 || data[0] == 0x61) && length >= 2) {
            pipe->flags |= EHCI_P_AUTH;
            e->authBlock = data[1];
        } else if (data[0] == 0x30) {
            pipe->flags |= EHCI_P_MIFARE_READ;
        }
    }
    return ehciPipeSend(pipe, data, length) ? 0 : -1;
}
