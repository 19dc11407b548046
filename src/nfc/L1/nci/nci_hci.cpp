// The HCI host side for controllers that keep their secure elements behind an HCI network: the
// admin pipe and the session identity, the pipes the secure elements create, and open, APDU
// exchange, close and hard reset of a secure element over its card pipe. Everything travels as
// HCP packets on the NCI connection to the HCI-access NFCEE.
#include <algorithm>
#include <cstring>

#include "L1/nci/nci.h"
#include "os/os.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;
constexpr uint8_t kAdminPipe = 0x01, kLastFragment = 0x80, kPipeMask = 0x7F;
enum : uint8_t { HCP_COMMAND = 0x00, HCP_EVENT = 0x40, HCP_RESPONSE = 0x80, HCP_TYPE_MASK = 0xC0 };
// Instructions as they stand in the header byte, type included.
constexpr uint8_t ANY_SET_PARAMETER = 0x01, ANY_GET_PARAMETER = 0x02, ANY_OPEN_PIPE = 0x03, ANY_OK = 0x80;
constexpr uint8_t ADM_NOTIFY_PIPE_CREATED = 0x12, ADM_NOTIFY_PIPE_DELETED = 0x14, ADM_NOTIFY_ALL_PIPE_CLEARED = 0x15;
constexpr uint8_t EVT_SEND_DATA = 0x50, EVT_SOFT_RESET = 0x51, EVT_HARD_RESET = 0x60, EVT_END_OF_TRANSFER = 0x61;
// Card and connectivity instructions once bit 6 is masked.
constexpr uint8_t CARD_DATA = 0x10, CARD_WTX = 0x11, CONN_CONNECTIVITY = 0x10, CONN_TRANSACTION = 0x12,
                  CONN_OPERATION_END = 0x13;
constexpr uint8_t kIndexSession = 0x01, kIndexWhiteList = 0x03;
constexpr uint8_t kGateConnectivity = 0x41, kGateCard = 0xF0;
constexpr uint8_t kHostUicc = 0x02, kHostCardGate = 0xC0;
constexpr uint8_t kFirstData = 26, kNextData = 27;   // APDU bytes in the first and in every further packet
constexpr uint32_t kAdminTimeout = 3000, kExchangeTimeout = 6000, kPipeTimeout = 2000;
constexpr uint8_t kSession[] = {'E', 'L', 'L', 'I'};
constexpr uint8_t kSessionLength = 8, kPipeCreatedLength = 5;
constexpr uint16_t kCapHciAccess = 0x20, kCapNoHciOpen = 0x40, kCapGateway = 0x2000, kCapCard = 0x12;
constexpr int kSessionNfcees = 2;
enum : uint32_t { NFCLL_SE_STATUS = 2 };

TNciHciState& hciOf(TNciContext* nci) { return nci->hci; }

bool sendFailed(uint32_t result) { return result != 0 && result != NCI_CAUSE_PENDING; }

uint16_t send(TNciContext* nci, const uint8_t* bytes, uint32_t length) {
    TNciNfcee* access = nci->hci.access;
    if (!access || !access->connId) {
        TRACE(NFCLL_TRC_ERROR, "nci: [hci] ! no connection to the HCI network");
        return NCI_CAUSE_INVALID_DATA;
    }
    const uint32_t result = nciPacketSend(access->connId, &nci->packet, 0x0000, bytes, length);
    return sendFailed(result) ? static_cast<uint16_t>(result) : uint16_t{NCI_CAUSE_PENDING};
}

uint16_t sendAdmin(TNciContext* nci, uint8_t step, const uint8_t* bytes, uint32_t length) {
    nci->hci.step = step;
    nfcllRestartTimer(nci->ll, NCI_TIMER_HCI_ADMIN, kAdminTimeout);
    return send(nci, bytes, length);
}

void sendOk(TNciContext* nci, uint8_t pipe) {
    TRACE(kTrcNci, "[hci] send OK");
    const uint8_t bytes[] = {static_cast<uint8_t>(pipe | kLastFragment), ANY_OK};
    send(nci, bytes, sizeof bytes);
}

// NFCEEs whose pipes the session identity keeps, in record order.
bool keptInSession(const TNciNfcee& ee) { return ee.valid && !(ee.capabilities & (kCapHciAccess | kCapNoHciOpen)); }

template <typename Fn>
void forSessionNfcees(TNciContext* nci, Fn fn) {
    int n = 0;
    for (TNciNfcee& ee : nci->nfcees)
        if (keptInSession(ee) && n < kSessionNfcees) fn(ee, n++);
}

// ANY_SET_PARAMETER of the session identity: "ELLI" and the pipes known now, zero-filled.
uint16_t sendIdentity(TNciContext* nci, uint8_t step) {
    uint8_t bytes[3 + kSessionLength] = {kAdminPipe | kLastFragment, ANY_SET_PARAMETER, kIndexSession};
    std::memcpy(bytes + 3, kSession, sizeof kSession);
    forSessionNfcees(nci, [&](const TNciNfcee& ee, int n) {
        bytes[7 + 2 * n] = ee.connectivityPipe;
        bytes[8 + 2 * n] = ee.cardPipe;
    });
    return sendAdmin(nci, step, bytes, sizeof bytes);
}

void restoreSession(TNciContext* nci, const uint8_t* data, uint32_t length) {
    // Eight bytes or none: a shorter identity restores nothing.
    if (length < kSessionLength || std::memcmp(data, kSession, sizeof kSession) != 0) return;
    forSessionNfcees(nci, [&](TNciNfcee& ee, int n) {
        ee.connectivityPipe = data[4 + 2 * n];
        ee.cardPipe = data[5 + 2 * n];
        TRACE(kTrcNci, "[hci] NFCEE %d restored, connectivity pipe 0x%X, card pipe 0x%X", ee.id, ee.connectivityPipe,
              ee.cardPipe);
    });
}

void setCapabilities(TNciNfcee& ee, uint16_t add) {
    PlatLockGuard g(osLock());
    ee.capabilities |= add;
    ee.info.capabilities = ee.capabilities;
}

bool gatewayId(const TNciContext* nci, uint8_t id) {
    return (nci->maker == 0x02 && id == 2) || (nci->maker == 0x0C && id == 0x50);
}

// ADM_NOTIFY_PIPE_CREATED: creator host and gate, host and gate, pipe.
void pipeCreated(TNciContext* nci, const uint8_t* data, uint32_t length) {
    nfcllResetTimer(nci->ll, NCI_TIMER_HCI_PIPE);
    if (length < kPipeCreatedLength) {
        TRACE(NFCLL_TRC_ERROR, "[hci] ! pipe created notification of %u bytes", static_cast<unsigned>(length));
        sendOk(nci, kAdminPipe);
        return;
    }
    const uint8_t host = data[0], gate = data[3], pipe = data[4];
    TNciNfcee* ee = nciNfceeById(nci, host);
    if (!ee) {
        TRACE(NFCLL_TRC_ERROR, "[hci] ! cannot find real NFCEE id 0x%X for pipe ID NTF", host);
        ee = nci->hci.access;
    }
    if (gate == kGateConnectivity) {
        ee->connectivityPipe = pipe;
        TRACE(kTrcNci, "[hci] NFCCEE %p, ID %d, set connectivity pipe ID 0x%X", static_cast<void*>(ee), ee->id, pipe);
        if (gatewayId(nci, ee->id)) setCapabilities(*ee, kCapGateway);
    } else if (gate == kGateCard) {
        ee->cardPipe = pipe;
        TRACE(kTrcNci, "[hci] NFCCEE %p, ID %d, card pipe ID 0x%X", static_cast<void*>(ee), ee->id, pipe);
        setCapabilities(*ee, kCapCard);
        nfcllSendUsSeInd(nci->ll, TNfcllSeInd{NFCLL_SE_STATUS, ee->info.handle, ee->status, nullptr});
    }
    sendOk(nci, kAdminPipe);
}

void adminMessage(TNciContext* nci, uint8_t instruction, const uint8_t* data, uint32_t length) {
    TNciHciState& hci = hciOf(nci);
    if ((instruction & HCP_TYPE_MASK) == HCP_COMMAND) {
        if (hci.step != NCI_HCI_READY) return;
        if (instruction == ADM_NOTIFY_PIPE_CREATED) pipeCreated(nci, data, length);
        else if (instruction == ADM_NOTIFY_PIPE_DELETED || instruction == ADM_NOTIFY_ALL_PIPE_CLEARED) sendOk(nci, kAdminPipe);
        return;
    }
    switch (hci.step) {
    case NCI_HCI_OPEN_ADMIN: {
        TRACE(kTrcNci, "[hci] Admin pipe open, get session ID");
        const uint8_t bytes[] = {kAdminPipe | kLastFragment, ANY_GET_PARAMETER, kIndexSession};
        sendAdmin(nci, NCI_HCI_GET_SESSION, bytes, sizeof bytes);
        return;
    }
    case NCI_HCI_GET_SESSION: {
        restoreSession(nci, data, length);
        TRACE(kTrcNci, "[hci] get session id completed, set white list");
        const uint8_t bytes[] = {kAdminPipe | kLastFragment, ANY_SET_PARAMETER, kIndexWhiteList, kHostUicc, kHostCardGate};
        sendAdmin(nci, NCI_HCI_SET_WHITE_LIST, bytes, sizeof bytes);
        return;
    }
    case NCI_HCI_SET_WHITE_LIST:
        TRACE(kTrcNci, "[hci] set white list completed, set identity");
        sendIdentity(nci, NCI_HCI_SET_IDENTITY);
        return;
    case NCI_HCI_SET_IDENTITY:
    case NCI_HCI_UPDATE_IDENTITY:
        nfcllResetTimer(nci->ll, NCI_TIMER_HCI_ADMIN);
        TRACE(kTrcNci, hci.step == NCI_HCI_SET_IDENTITY ? "nci: [hci] set identity completed"
                                                        : "nci: [hci] set identity 2 completed");
        hci.step = NCI_HCI_READY;
        return;
    default: return;
    }
}

// The request on this NFCEE learns its outcome; one no longer waiting learns nothing.
uint32_t finish(TNciContext* nci, TNciNfcee& ee, uint32_t outcome, uint16_t cause, const uint8_t* data, uint32_t length) {
    TNciHciState& hci = hciOf(nci);
    if (hci.current != &ee || hci.waiting == NCI_HCI_WAIT_NONE) return evNciNone;
    hci.waiting = NCI_HCI_WAIT_NONE;
    if (outcome == evNciError) nciSignalError(cause, nci, "hciProcessReceivedData");
    else ncillUsCallback(nci, outcome, data, length);
    return outcome;
}

// The ATR goes to the open that waits for it, in the room it gave, and is kept for later opens.
uint32_t deliverAtr(TNciContext* nci, TNciNfcee& ee) {
    TNciHciState& hci = hciOf(nci);
    if (hci.current != &ee || hci.waiting != NCI_HCI_WAIT_ATR) return evNciNone;
    const uint32_t n = nci->ioOutput ? std::min<uint32_t>(ee.atrLength, nci->ioOutputSize) : 0;
    if (n) std::memcpy(nci->ioOutput, ee.atr, n);
    return finish(nci, ee, evNciDataIndication, 0, nci->ioOutput, n);
}

uint32_t atrReceived(TNciContext* nci, TNciNfcee& ee, const uint8_t* data, uint32_t length) {
    nfcllResetTimer(nci->ll, NCI_TIMER_HCI_ADMIN);
    if (length < 2) return evNciNone;
    ee.atrLength = static_cast<uint8_t>(std::min<uint32_t>(length, sizeof ee.atr));
    std::memcpy(ee.atr, data, ee.atrLength);
    ee.atrReceived = true;
    debugDump(ee.atr, "ATR data", ee.atrLength);
    return deliverAtr(nci, ee);
}

// Bytes of a data event into the waiting request's room.
uint32_t hciProcessReceivedData(TNciContext* nci, TNciNfcee& ee, const uint8_t* data, uint32_t length, bool last) {
    TNciHciState& hci = hciOf(nci);
    TNciHciExchange& x = ee.hci;
    if (hci.current != &ee || hci.waiting != NCI_HCI_WAIT_DATA || !x.rx) {
        TRACE(NFCLL_TRC_ERROR, "[hci] ! %u bytes for no exchange, dropped", static_cast<unsigned>(length));
        return evNciNone;
    }
    if (length > x.rxSize - x.rxReceived) {
        TRACE(NFCLL_TRC_ERROR, "[hci] %s, rx buffer to small %d < %u !", "hciProcessReceivedData",
              static_cast<int>(x.rxSize), static_cast<unsigned>(x.rxReceived + length));
        hci.rxDiscarding = !last;
        nfcllResetTimer(nci->ll, NCI_TIMER_HCI_EXCHANGE);
        return finish(nci, ee, evNciError, NCI_CAUSE_INVALID_DATA, nullptr, 0);
    }
    if (length) std::memcpy(x.rx + x.rxReceived, data, length);
    x.rxReceived += length;
    if (!last) return evNciNone;
    nfcllResetTimer(nci->ll, NCI_TIMER_HCI_EXCHANGE);
    return finish(nci, ee, evNciDataIndication, 0, x.rx, x.rxReceived);
}

void pipeOpened(TNciContext* nci, uint8_t pipe, const char* trace) {
    TRACE(kTrcNci, "%s", trace);
    sendOk(nci, pipe);
    nfcllRestartTimer(nci->ll, NCI_TIMER_HCI_PIPE, kPipeTimeout);
}

uint32_t cardMessage(TNciContext* nci, TNciNfcee& ee, const uint8_t* data, uint32_t length, bool last) {
    const uint8_t instruction = nci->hci.rxInstruction;
    if ((instruction & HCP_TYPE_MASK) == HCP_RESPONSE) return last ? atrReceived(nci, ee, data, length) : evNciNone;
    switch (instruction & ~HCP_EVENT) {
    case ANY_OPEN_PIPE:
        if (last) pipeOpened(nci, ee.cardPipe, "[hci] open card pipe NTF");
        return evNciNone;
    case CARD_DATA: return hciProcessReceivedData(nci, ee, data, length, last);
    case CARD_WTX:
        TRACE(kTrcNci, "[hci] WTX Request");
        nfcllRestartTimer(nci->ll, NCI_TIMER_HCI_EXCHANGE, kExchangeTimeout);
        return evNciNone;
    default: return evNciNone;
    }
}

void connectivityMessage(TNciContext* nci, TNciNfcee& ee, const uint8_t* data, uint32_t length) {
    switch (nci->hci.rxInstruction & ~HCP_EVENT) {
    case ANY_OPEN_PIPE: pipeOpened(nci, ee.connectivityPipe, "[hci] open connectivity pipe NTF"); return;
    case CONN_CONNECTIVITY: TRACE(kTrcNci, "nci: [hci] EVENT connectivity (ignored)"); return;
    case CONN_TRANSACTION: {
        TRACE(kTrcNci, "nci: [hci] Transaction indication");
        TNfcTransaction* record = &nci->transactions[nci->nextTransaction];
        if (!nciParseTransaction(data, length, record)) return;
        nci->nextTransaction = static_cast<uint8_t>((nci->nextTransaction + 1) % NCI_TRANSACTION_RECORDS);
        nfcllSendUsSeInd(nci->ll, TNfcllSeInd{NFCLL_SE_TRANSACTION, ee.info.handle, 0, record});
        return;
    }
    case CONN_OPERATION_END: TRACE(kTrcNci, "[hci] EVENT Operation end (ignored)"); return;
    default: return;
    }
}

TNciNfcee* ownerOf(TNciContext* nci, uint8_t pipe, bool* card) {
    for (TNciNfcee& ee : nci->nfcees) {
        if (!ee.valid || pipe == 0) continue;
        if (ee.cardPipe == pipe) {
            *card = true;
            return &ee;
        }
        if (ee.connectivityPipe == pipe) {
            *card = false;
            return &ee;
        }
    }
    return nullptr;
}

// A message that is not card data is put together first; one longer than any this side reads is dropped.
bool collect(TNciHciState& hci, const uint8_t* data, uint32_t length) {
    if (length > NCI_HCI_MESSAGE_MAX - hci.messageLength) {
        TRACE(NFCLL_TRC_ERROR, "[hci] ! message on pipe %d longer than %u bytes, dropped", hci.rxPipe,
              static_cast<unsigned>(NCI_HCI_MESSAGE_MAX));
        hci.rxDiscarding = true;
        return false;
    }
    if (length) std::memcpy(hci.message + hci.messageLength, data, length);
    hci.messageLength += length;
    return true;
}

uint32_t dispatch(TNciContext* nci, const uint8_t* data, uint32_t length, bool first, bool last) {
    TNciHciState& hci = hciOf(nci);
    bool card = false;
    TNciNfcee* ee = hci.rxPipe == kAdminPipe ? nullptr : ownerOf(nci, hci.rxPipe, &card);
    if (hci.rxPipe != kAdminPipe && !ee) {
        TRACE(NFCLL_TRC_ERROR, "[hci] ! rx unhandlet, no nfcee found for pipe ID %d", hci.rxPipe);
        return evNciNone;
    }
    if (card && (hci.rxInstruction & ~HCP_EVENT) == CARD_DATA && (hci.rxInstruction & HCP_TYPE_MASK) == HCP_EVENT) {
        if (first && ee->lateAnswers) {
            // The answer of an exchange that timed out: it belongs to no later one.
            --ee->lateAnswers;
            TRACE(NFCLL_TRC_ERROR, "nci: ! late answer of NFCEE %d dropped", ee->id);
            hci.rxDiscarding = !last;
            return evNciNone;
        }
        return cardMessage(nci, *ee, data, length, last);
    }
    if (!collect(hci, data, length) || !last) return evNciNone;
    if (!ee) adminMessage(nci, hci.rxInstruction, hci.message, hci.messageLength);
    else if (card) return cardMessage(nci, *ee, hci.message, hci.messageLength, true);
    else connectivityMessage(nci, *ee, hci.message, hci.messageLength);
    return evNciNone;
}

bool creditFree(TNciContext* nci, uint8_t connId) {
    TNciConnection& c = nci->packet.connections[connId];
    return c.credits != 0 && dlQueueCount(&c.queue) == 0;
}

// The APDU as one data event, a packet per credit: the header only in the first, CB only in the last.
bool sendFragments(TNciContext* nci, TNciNfcee& ee) {
    TNciHciExchange& x = ee.hci;
    TNciNfcee* access = nci->hci.access;
    while (x.txSent < x.txLength && access && access->connId && creditFree(nci, access->connId)) {
        uint8_t packet[2 + kFirstData + 1];
        uint32_t n = 0;
        packet[n++] = ee.cardPipe;
        uint32_t room = kNextData;
        if (x.txSent == 0) {
            packet[n++] = EVT_SEND_DATA;
            room = kFirstData;
        }
        const uint32_t chunk = std::min<uint32_t>(room, x.txLength - x.txSent);
        std::memcpy(packet + n, x.tx + x.txSent, chunk);
        n += chunk;
        x.txSent = static_cast<uint16_t>(x.txSent + chunk);
        if (x.txSent == x.txLength) packet[0] |= kLastFragment;
        TRACE(kTrcNci, "[hci] exchange txLength %d, txSent %d", x.txLength, x.txSent);
        TRACE(kTrcNci, "[hci] EV_TRANSMIT_DATA, len %u", static_cast<unsigned>(n));
        if (send(nci, packet, n) != NCI_CAUSE_PENDING) return false;
    }
    nci->hci.multiPacket = x.txSent < x.txLength;
    if (x.txSent == x.txLength)
        nfcllRestartTimer(nci->ll, NCI_TIMER_HCI_EXCHANGE, nci->ioTimeout ? nci->ioTimeout : kExchangeTimeout);
    return true;
}

uint16_t sendToCard(TNciContext* nci, const TNciNfcee& ee, uint8_t instruction, const char* trace) {
    TRACE(kTrcNci, "%s", trace);
    const uint8_t bytes[] = {static_cast<uint8_t>(ee.cardPipe | kLastFragment), instruction};
    return send(nci, bytes, sizeof bytes);
}

} // namespace

uint16_t nciStartHciNetwork(TNciContext* nci) {
    TRACE(kTrcNci, "[hci] %s, open admin pipe", "nciStartHciNetwork");
    const uint8_t bytes[] = {kAdminPipe | kLastFragment, ANY_OPEN_PIPE};
    return sendAdmin(nci, NCI_HCI_OPEN_ADMIN, bytes, sizeof bytes);
}

bool nciHciReady(const TNciContext* nci) { return nci->hci.step == NCI_HCI_READY; }

bool nciHciOwnsData(const TNciContext* nci, uint8_t connId) {
    const TNciNfcee* access = nci->hci.access;
    return access && access->connId != 0 && connId == access->connId;
}

uint32_t nciHciReceive(TNciContext* nci) {
    TNciHciState& hci = hciOf(nci);
    CByteReader r(nci->rxPayload, nci->rxLength);
    uint8_t header = 0;
    if (!r.u8(header)) return evNciNone;
    const bool last = header & kLastFragment;
    const bool first = !hci.rxContinues;
    if (first) {
        hci.rxDiscarding = false;
        hci.messageLength = 0;
        if (!r.u8(hci.rxInstruction)) {
            TRACE(NFCLL_TRC_ERROR, "[hci] ! first packet without its message header");
            return evNciNone;
        }
        hci.rxPipe = header & kPipeMask;
    } else if ((header & kPipeMask) != hci.rxPipe) {
        TRACE(NFCLL_TRC_ERROR, "[hci] ! packet for pipe %d inside a message on pipe %d", header & kPipeMask, hci.rxPipe);
    }
    hci.rxContinues = !last;
    if (hci.rxDiscarding) return evNciNone;
    const uint8_t* data = nullptr;
    const uint32_t length = static_cast<uint32_t>(r.remaining());
    r.take(length, data);
    return dispatch(nci, data, length, first, last);
}

uint32_t nciHciCredit(TNciContext* nci) {
    TNciNfcee* ee = nci->hci.current;
    TRACE(kTrcNci, "[hci] credit indication (nfcee %p)", static_cast<void*>(ee));
    if (!ee || nci->hci.waiting != NCI_HCI_WAIT_DATA || !nci->hci.multiPacket || sendFragments(nci, *ee)) return evNciNone;
    return finish(nci, *ee, evNciError, NCI_CAUSE_FAILED, nullptr, 0);
}

void nciHciUpdateIdentity(TNciContext* nci) {
    if (nci->hci.step != NCI_HCI_READY) return;
    TRACE(kTrcNci, "[hci] Update session ID");
    sendIdentity(nci, NCI_HCI_UPDATE_IDENTITY);
}

void nciHciAbandon(TNciContext* nci) {
    TNciHciState& hci = hciOf(nci);
    TNciNfcee* ee = hci.current;
    if (ee && hci.waiting == NCI_HCI_WAIT_DATA) {
        nfcllResetTimer(nci->ll, NCI_TIMER_HCI_EXCHANGE);
        // A command that left whole may still be answered.
        if (ee->hci.txSent == ee->hci.txLength) ++ee->lateAnswers;
    }
    if (ee) ee->hci = TNciHciExchange{};
    hci.current = nullptr;
    hci.waiting = NCI_HCI_WAIT_NONE;
    hci.multiPacket = false;
}

uint16_t nciHciHardReset(TNciContext* nci, uint8_t id) {
    const TNciNfcee* ee = nciNfceeById(nci, id);
    if (!ee) {
        TRACE(NFCLL_TRC_ERROR, "nfcee for ID %d not found", id);
        return NCI_CAUSE_INVALID_DATA;
    }
    if (!ee->cardPipe) {
        TRACE(NFCLL_TRC_ERROR, "nfcee has no card pipe for ID %d !", id);
        return NCI_CAUSE_INVALID_DATA;
    }
    return sendToCard(nci, *ee, EVT_HARD_RESET, "[hci] send 'HARD RESET'") == NCI_CAUSE_PENDING ? 0 : NCI_CAUSE_INVALID_DATA;
}

uint16_t nciSeHciOpen(TNciContext* nci, TNciNfcee* ee) {
    TRACE(kTrcNci, "nci: %s, id %d, card gate ID 0x%X", "nciSeHciOpen", ee->id, ee->cardPipe);
    if (!ee->cardPipe) return NCI_CAUSE_INVALID_DATA;
    if (const uint16_t sent = sendToCard(nci, *ee, EVT_SOFT_RESET, "[hci] send 'SOFT RESET'"); sent != NCI_CAUSE_PENDING)
        return sent;
    ee->close = &nciSeHciClose;
    ee->exchange = &nciSeHciExchange;
    TNciHciState& hci = hciOf(nci);
    hci.current = ee;
    hci.waiting = NCI_HCI_WAIT_ATR;
    if (ee->atrReceived) {
        deliverAtr(nci, *ee);
        return 0;
    }
    TRACE(kTrcNci, "[hci] send get ATR");
    const uint8_t bytes[] = {static_cast<uint8_t>(ee->cardPipe | kLastFragment), ANY_GET_PARAMETER, kIndexSession};
    nfcllRestartTimer(nci->ll, NCI_TIMER_HCI_ADMIN, kAdminTimeout);
    return send(nci, bytes, sizeof bytes);
}

uint16_t nciSeHciClose(TNciContext* nci, TNciNfcee* ee) {
    TRACE(kTrcNci, "nci: %s, id %d", "nciSeHciClose", ee->id);
    sendToCard(nci, *ee, EVT_END_OF_TRANSFER, "[hci] send 'END OF TRANSFER'");
    nciSignalCompletion(nci, evNciNfceeCloseInd);
    return 0;
}

uint16_t nciSeHciExchange(TNciContext* nci, TNciNfcee* ee) {
    TRACE(kTrcNci, "nci: %s, id %d, %p %d", "nciSeHciExchange", ee->id, static_cast<const void*>(nci->ioInput),
          static_cast<int>(nci->ioInputLength));
    if (!ee->cardPipe || !nci->ioInput || nci->ioInputLength == 0) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! NFCEE %d has no card pipe or the APDU is empty", ee->id);
        return NCI_CAUSE_INVALID_DATA;
    }
    ee->hci = TNciHciExchange{nci->ioInput, nci->ioInputLength, 0, nci->ioOutput, nci->ioOutputSize, 0};
    TNciHciState& hci = hciOf(nci);
    hci.current = ee;
    hci.waiting = NCI_HCI_WAIT_DATA;
    return sendFragments(nci, *ee) ? uint16_t{NCI_CAUSE_PENDING} : uint16_t{NCI_CAUSE_FAILED};
}
