// The ST21's own reader gates: the combined Type 1 / Type 2 (MIFARE) reader, with the steps that
// tell a tag from a P2P device polling and the frame-waiting header of its commands, the presence
// check, and the wired card pipe that carries APDUs to the embedded secure element.
#include <algorithm>
#include <cstring>

#include "L1/ehci/ehci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kType1 = 0x400, kType2 = 0x40;
constexpr uint32_t kUidMax = 15;
constexpr uint32_t kRidIdentifierMax = 13;
constexpr uint32_t kUltralightAnswer = 15;   // a READ of an Ultralight answers more than this
constexpr uint32_t kP2pPollsInRow = 2;
constexpr uint8_t kPresence = 0x30;
constexpr uint8_t kExchangeTimeout = 0x0A;
constexpr uint8_t kEvtSendData = 0x10, kEvtIgnored = 0x20;

// Pipe states (each names the answer it waits for).
enum : uint32_t {
    kOpened = 11, kClosed = 12, kPolling = 30, kWaiting = 31, kExchange = 34, kCheck = EHCI_STATE_CHECK,
    kAtqa = EHCI_STATE_PRIVATE + 340, kRid, kSak, kUid, kProbe,
};

uint32_t g_p2pPolls;   // P2P devices polling, ignored one after the other

// Tag types by SAK and ATQA.
struct TypeRow {
    uint8_t sak;
    uint16_t atqa;
    uint32_t type;
};
constexpr TypeRow kTypes[] = {
    {0x00, 0x0044, 0x40},      {0x08, 0x0004, 0x10},      {0x88, 0x0004, 0x10},      {0x18, 0x0002, 0x20},
    {0x20, 0x0044, 0x2000000}, {0x20, 0x0042, 0x4000000}, {0x09, 0x0004, 0x1000000},
};

uint32_t typeOf(const TNfcTagInfo& tag) {
    for (const TypeRow& row : kTypes)
        if (row.sak == tag.a.sak && row.atqa == tag.a.atqa) return row.type;
    return ehciTypeAIdentify(tag.a.atqa, tag.a.sak, tag.uidLength);
}

void copyUid(TNfcTagInfo& tag, const uint8_t* data, uint32_t length) {
    const uint32_t n = std::min(length, kUidMax);
    std::memset(tag.uid, 0, sizeof tag.uid);
    std::memcpy(tag.uid, data, n);
    tag.uidLength = static_cast<uint16_t>(n);
}

int32_t exchange(TEhciPipe* pipe, const uint8_t* frame, uint32_t length, uint32_t state) {
    uint8_t request[EHCI_PACKET_MAX] = {kExchangeTimeout};
    const uint32_t n = std::min<uint32_t>(length, sizeof request - 3);
    std::memcpy(request + 1, frame, n);
    return ehciSendCommand(pipe, EHCI_WR_XCHG_DATA, request, n + 1, state);
}

void readUid(TEhciPipe* pipe) { ehciGetParam(pipe, 0x02, kUid); }

void atqaRead(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    const uint16_t atqa = length >= 2 ? static_cast<uint16_t>(data[1] << 8 | data[0]) : 0;
    e->tagRecord.a.atqa = atqa;
    TRACE(kTrc, "ehci: ATQA=0x%.04X, listenMask 0x%08X", static_cast<unsigned>(atqa),
          static_cast<unsigned>(e->listenMask));
    if (atqa == 0x0C00) {
        if (!(e->listenMask & kType1)) {
            TRACE(kTrc, "ehci: Type-1 not requested");
            ehciHandleRelisten(e);
            return;
        }
        TRACE(kTrc, "ehci: Type-1 detected, get RID");
        constexpr uint8_t kRidCommand[7] = {0x78};
        exchange(pipe, kRidCommand, sizeof kRidCommand, kRid);
        return;
    }
    if (e->listenMask & kType2) {
        ehciGetParam(pipe, 0x04, kSak);
        return;
    }
    if (e->listenMask & kType1) {
        TRACE(kTrc, "ehci: Type-1 requested, start again");
        ehciHandleRelisten(e);
    }
}

// HR0 and HR1, then the identifier.
void ridRead(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    if (length) debugDump(data, "ehci: JEWEL RID", length);
    if (length >= 2 && length - 2 <= kRidIdentifierMax) copyUid(e->tagRecord, data + 2, length - 2);
    else TRACE(kErr, "ehci: Type-1 RID response unexpected length %d", static_cast<int>(length));
    e->activated = 1;
    ehciTargetReady(e, pipe, kType1);
}

// A P2P device polling answers with SAK 0x40: the chip is let go on polling past it.
void p2pPolling(TEhciPipe* pipe) {
    TRACE(kTrc, "ehci: Ignore P2P polling SAK 0x40");
    if (++g_p2pPolls > kP2pPollsInRow) TRACE(kTrc, "ehci: Ignore restart listen, too many P2P polling in row");
    pipe->state = kPolling;
    ehciEndOperation(pipe, nullptr);
}

void sakRead(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    const uint8_t sak = length ? data[0] : 0;
    e->tagRecord.a.sak = sak;
    TRACE(kTrc, "ehci: SAK response 0x%02X", static_cast<unsigned>(sak));
    if ((sak & 0x64) == 0x40) {
        p2pPolling(pipe);
        return;
    }
    switch (e->tagRecord.a.atqa) {
    case 0x0002:
    case 0x0004:
    case 0x0044: readUid(pipe); return;
    case 0xC000: ehciHandleRelisten(e); return;
    default: {
        TRACE(kTrc, "ehci: try mifare read");
        constexpr uint8_t kRead[2] = {0x30, 0x01};
        exchange(pipe, kRead, sizeof kRead, kProbe);
        return;
    }
    }
}

void probeRead(TEhciInstance* e, TEhciPipe* pipe, uint32_t length, uint32_t code) {
    if (!code && length > kUltralightAnswer) {
        readUid(pipe);
        return;
    }
    TRACE(kTrc, "ehci: No Mifare-UL, retry listen again");
    ehciHandleRelisten(e);
}

void uidRead(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    TRACE(kTrc, "ehci: UID response");
    copyUid(e->tagRecord, data, length);
    e->activated = 1;
    ehciTargetReady(e, pipe, typeOf(e->tagRecord));
}

void exchangeResult(TEhciInstance* e, TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    if (!pipe->rxBuffer) {
        ehciUp(e, EV_EHCI_TRANSACTION_TIMEOUT, nullptr, code ? code : 3);
        return;
    }
    const uint32_t packet = length;
    const bool whole = ehciJoinInPipe(pipe, data, length, code);
    TRACE(kTrc, "ehci: Type1/2 data, is Chaining %d, length %d, total %d", !whole, static_cast<int>(packet),
          static_cast<int>(whole ? length : pipe->join.length));
    if (!whole) return;
    const bool type1 = e->tagRecord.tagType == kType1;
    if (code) {
        if (type1 && pipe->retries) {
            TRACE(kTrc, "ehci: retry transmission once");
            pipe->retries = 0;
            e->txSent = 0;
            ehciPipeTransmit(pipe);
            return;
        }
        TRACE(kErr, "ehci: ! TRANSCEIVE failed 0x%X", static_cast<unsigned>(code));
        ehciUp(e, EV_EHCI_TRANSACTION_TIMEOUT, nullptr, code);
        return;
    }
    const uint8_t* answer = data;
    uint32_t n = length;
    // A Type 1 answer of three bytes carries one byte of data, the second.
    if (type1 && n == 3) {
        ++answer;
        n = 1;
    }
    if ((e->stripLastByteMask & e->tagRecord.tagType) && n > 1) --n;
    ehciUp(e, EV_EHCI_READER_RESPONSE, const_cast<uint8_t*>(answer), n);
}

void readerResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    const uint32_t state = pipe->state;
    if (code && (state == kAtqa || state == kSak || state == kUid || state == kRid)) {
        ehciHandleRelisten(e);
        return;
    }
    switch (state) {
    case kOpened: ehciOpenRFPipeCompleted(pipe); break;
    case kClosed:
        pipe->flags &= ~EHCI_P_OPEN;
        ehciStopNextReader(e);
        break;
    case kAtqa: atqaRead(e, pipe, data, length); break;
    case kRid: ridRead(e, pipe, data, length); break;
    case kSak: sakRead(e, pipe, data, length); break;
    case kProbe: probeRead(e, pipe, length, code); break;
    case kUid: uidRead(e, pipe, data, length); break;
    case kExchange: exchangeResult(e, pipe, data, length, code); break;
    case kCheck: ehciCheckAnswer(pipe, code); break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(state));
        break;
    }
}

void readerEvent(TEhciPipe* pipe, uint8_t event, const uint8_t*, uint32_t) {
    TEhciInstance* e = pipe->owner;
    if (event != EHCI_EVT_TARGET_DISCOVERED || pipe->state != kPolling || (e->flags & EHCI_F_CANCEL)) {
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
        return;
    }
    TRACE(kTrc, "ehci: Type1/2 tag discovered, get ATQA (listenMask 0x%08X", static_cast<unsigned>(e->listenMask));
    e->pendingMask = 0;
    e->currentPipe = pipe;
    e->tagRecord = TNfcTagInfo{};
    ehciGetParam(pipe, 0x03, kAtqa);
}

// Type 2 commands take the core's header; the others a frame-waiting byte, short for the Type 1
// commands that start with 0x00 or 0x10.
uint32_t readerHeader(TEhciPipe* pipe, uint8_t* packet) {
    TEhciInstance* e = pipe->owner;
    if (e->tagRecord.tagType == kType2) return ehciReaderHeader(pipe, packet);
    const uint8_t first = e->txLength ? e->txData[0] : 0xFF;
    if (first != 0x00 && first != 0x10) return ehciReaderHeader(pipe, packet);
    e->commandWatchTimeout = 10;
    packet[1] = EHCI_WR_XCHG_DATA;
    packet[2] = 0x18;
    return 3;
}

// ---- Card pipe -----------------------------------------------------------------------------------------
void cardAnswer(TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    if (!pipe->rxBuffer) {
        ehciIoAnswer(e, 3);
        return;
    }
    if (!ehciJoinInPipe(pipe, data, length)) return;
    pipe->state = kWaiting;
    ehciIoAnswer(e, 0, data, length);
}

void cardResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    TRACE(kTrc, "ehci: card gate dispatch response 0x%X", static_cast<unsigned>(code));
    if (pipe->state == kOpened) {
        if (code) {
            pipe->flags &= ~EHCI_P_OPEN;
            return;
        }
        pipe->state = kWaiting;
        ehciSt21SoftReset(e);
        return;
    }
    if (code && !(pipe->flags & EHCI_P_RX_MORE)) {
        ehciTimerStop(e, EHCI_TIMER_IO);
        ehciIoAnswer(e, 3);
        return;
    }
    cardAnswer(pipe, data, length);
}

void cardEvent(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    TRACE(kTrc, "ehci: card gate dispatch event 0x%X, length %d", static_cast<unsigned>(event), static_cast<int>(length));
    if (event == kEvtIgnored) return;
    if (event != kEvtSendData) {
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
        return;
    }
    ehciTimerStop(e, EHCI_TIMER_IO);
    cardAnswer(pipe, data, length);
}

}  // namespace

void ehciSt21ClearP2pPolls() { g_p2pPolls = 0; }

void ehciSt21ReaderInstall(TEhciPipe* pipe) {
    ehciRfInstall(pipe);
    pipe->response = &readerResponse;
    pipe->event = &readerEvent;
    pipe->writeHeader = &readerHeader;
}

int32_t ehciSt21CheckRequest(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    constexpr uint32_t kCommandChecked[] = {0x10, 0x20, 0x1000000, 0x2000000, 0x4000000, kType1};
    TEhciPipe* pipe = e->currentPipe;
    const uint32_t type = e->tagRecord.tagType;
    int32_t sent = -1;
    if (pipe && std::find(std::begin(kCommandChecked), std::end(kCommandChecked), type) != std::end(kCommandChecked))
        sent = ehciSendCheck(pipe, kPresence, nullptr, 0);
    else if (pipe)
        sent = ehciTransactionRequest(e, data, length);
    if (sent < 0) {
        const uint16_t cause = 1;
        ehciUp(e, EV_EHCI_TRANSACTION_RESULT, nullptr, 0, reinterpret_cast<uintptr_t>(&cause));
    }
    return 0;
}

void ehciSt21CardInstall(TEhciPipe* pipe) {
    pipe->response = &cardResponse;
    pipe->event = &cardEvent;
    pipe->open = &ehciOpenPipe;
    pipe->writeHeader = &ehciCardHeader;
}

void ehciSt21SecureExchange(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    TEhciPipe* pipe = e->pipes.se;
    TRACE(kTrc, "ehci: ehciStmSecureElementExchange() enter, length %d", static_cast<int>(length));
    if (!pipe || !pipe->id || !(pipe->flags & EHCI_P_OPEN) || length == 0 || length > sizeof e->txMessage) {
        ehciIoAnswer(e, !pipe || !pipe->id || !(pipe->flags & EHCI_P_OPEN) ? 3 : 2);
        return;
    }
    ehciTakeRxBuffer(pipe);
    ehciPipeSend(pipe, data, length);
    TRACE(kTrc, "ehci: ehciStmSecureElementExchange() exit (%d fragments pending)", e->txSent < e->txLength ? 1 : 0);
}
