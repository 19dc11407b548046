// The PN53x driver's state machine: the requests from layer 1 become events, the frame reader's
// decoders give the controller's answers as events, and each state turns them into commands and
// upward messages. While a command waits for its controller the one request that arrives is
// kept, with its data, and runs once the controller is free again.
#include <algorithm>
#include <cstring>

#include "L1/53x/nfc53x.h"
#include "util/trace.h"

namespace {

constexpr uint16_t kCauseFailed = 0x206;
constexpr uint16_t kCauseTimeout = 0x108;
constexpr uint16_t kCauseBadState = 7;
constexpr uint16_t kCauseInvalidType = 0x11;
constexpr uint16_t kCauseAuthFailed = 19;
constexpr uint16_t kCauseNotSupported = 5;
constexpr uint8_t kErrorAuthentication = 0x14;
constexpr uint32_t kTraceStates = 0x40000000u;
constexpr uint32_t kPollTypeA = 0x1;
constexpr uint32_t kPollFelica212 = 0x100;
constexpr uint32_t kPollFelica424 = 0x200;
constexpr uint32_t kSignalDsrOn = 6;
constexpr uint32_t kSignalDsrOff = 7;
constexpr uint16_t kDeactivationRequest = 0x209;
constexpr uint16_t kDisconnectIndication = 0x282;

using State = uint32_t;

// The event being handled: its number and the data that came with it.
struct Event {
    uint32_t number;
    const uint8_t* data;
    uint16_t length;
    bool is(std::initializer_list<uint32_t> numbers) const {
        return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
    }
};

void setState(TNfc53xPart* part, State next) {
    if (debugOn(kTraceStates))
        TRACE(kTraceStates, "nfc53x: setState %d %s -> %d %s", static_cast<int>(part->state),
              nfc53xStateStr(part->state), static_cast<int>(next), nfc53xStateStr(next));
    part->state = next;
}

bool send(TNfcllContext* ll, uint32_t request, const uint8_t* data = nullptr, uint16_t length = 0) {
    if (nfc53xSendDsCommand(ll, request, data, length)) return true;
    TRACE(NFCLL_TRC_ERROR, "nfc53x: ! request %u not sent", static_cast<unsigned>(request));
    return false;
}

void listenConf(TNfcllContext* ll, uint16_t cause) {
    nfcllSendUsListenConf(ll, cause, cause == 0 ? nfc53xPart(ll)->listenType : 0);
}

// A failed transaction carries the controller's status byte, when there is one.
void transactionFailed(TNfcllContext* ll, uint16_t cause) {
    const uint8_t status = nfc53xPart(ll)->lastError;
    nfcllSendUsTransactionInd(ll, status ? &status : nullptr, cause, status ? 1 : 0);
}

void transactionData(TNfcllContext* ll, const uint8_t* data, uint16_t length) {
    nfcllSendUsTransactionInd(ll, data, 0, length);
}

// "The data after the first byte": an answer without even its first byte is an error.
bool afterFirstByte(const Event& e, const uint8_t*& data, uint16_t& length) {
    if (!e.data || e.length < 1) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! answer without its first byte");
        return false;
    }
    data = e.data + 1;
    length = static_cast<uint16_t>(e.length - 1);
    return true;
}

void technologyDetected(TNfcllContext* ll) {
    TRACE(NFCLL_TRC_STATE, "nfc53x: signal technology detection");
    nfcllSendUsDeviceInd(ll);
}

void technologyRemoved(TNfcllContext* ll, uint16_t cause) {
    TRACE(NFCLL_TRC_STATE, "nfc53x: signal technology remove");
    ll->mode = NFC53X_KIND_DEACT;
    nfcllSendUsTechRemoved(ll, cause);
}

void inactive(TNfcllContext* ll) {
    nfcllResetTimer(ll, NFC53X_TIMER_POLL);
    setState(nfc53xPart(ll), NFC53X_STATE_INACTIVE);
}

void notHandled(const char* text, const Event& e) { TRACE(NFCLL_TRC_ERROR, text, static_cast<int>(e.number)); }

// ---- Entry states: they act on whatever event brought them there --------------------------------
void startDeactivation(TNfcllContext* ll) {
    TNfc53xPart* part = nfc53xPart(ll);
    part->retryMark = 0;
    send(ll, NFC53X_REQ_SAM_CONFIG_NORMAL);
    setState(part, NFC53X_STATE_DEACTIVATE_RF_1);
}

void enterDeactivation(TNfcllContext* ll) {
    setState(nfc53xPart(ll), NFC53X_STATE_DEACTIVATE_RF);
    startDeactivation(ll);
}

void sendPassiveTarget(TNfcllContext* ll) {
    uint8_t data[8];
    const uint16_t length = nfc53xInListPassiveTargetData(nfc53xPart(ll)->pollType, data);
    send(ll, NFC53X_REQ_IN_LIST_PASSIVE_TARGET, data, length);
}

void enterActivateTag(TNfcllContext* ll) {
    setState(nfc53xPart(ll), NFC53X_STATE_ACTIVATE_TAG);
    sendPassiveTarget(ll);
    setState(nfc53xPart(ll), NFC53X_STATE_ACTIVATE_TAG_1);
}

// A MIFARE authentication goes out as command, block, key, UID (the caller gives UID, key); the
// reordering happens in the outgoing copy, so that a retry of the caller's bytes is sent right.
void enterSendTag(TNfcllContext* ll, const Event& e) {
    TNfc53xPart* part = nfc53xPart(ll);
    setState(part, NFC53X_STATE_SEND_TAG);
    uint8_t frame[NFC53X_FRAME_MAX];
    const uint16_t length = std::min<uint16_t>(e.data ? e.length : 0, sizeof frame);
    if (length) std::memcpy(frame, e.data, length);
    if (part->pollType == kPollTypeA && length == 12 && (frame[0] == 0x60 || frame[0] == 0x61)) {
        uint8_t uid[4];
        std::memcpy(uid, frame + 2, 4);
        std::memmove(frame + 2, frame + 6, 6);
        std::memcpy(frame + 8, uid, 4);
        ll->flags |= NFCLL_FLAG_PN53X_10;
    }
    if (part->pollType == kPollTypeA && length == 2 && frame[0] == 0x30) ll->flags |= NFCLL_FLAG_PN53X_10;
    // What does not fit one command (or finds no buffer) is refused, not left waiting.
    if (e.length > sizeof frame || !send(ll, NFC53X_REQ_IN_DATA_EXCHANGE, frame, length)) {
        ll->flags &= ~NFCLL_FLAG_PN53X_10;
        nfcllSendUsTransactionInd(ll, nullptr, kCauseFailed, 0);
        return setState(part, NFC53X_STATE_ACTIVATE_TAG_OK);
    }
    setState(part, NFC53X_STATE_SEND_TAG_1);
}

void enterSelect(TNfcllContext* ll) {
    TNfc53xPart* part = nfc53xPart(ll);
    setState(part, NFC53X_STATE_SELECT_TAG);
    send(ll, NFC53X_REQ_IN_SELECT, &part->selectIndex, 1);
    setState(part, NFC53X_STATE_SELECT_TAG_1);
}

void enterP2pInitiator(TNfcllContext* ll) {
    setState(nfc53xPart(ll), NFC53X_STATE_ACTIVATE_P2P_IN);
    send(ll, NFC53X_REQ_IN_JUMP_FOR_DEP);
    setState(nfc53xPart(ll), NFC53X_STATE_ACTIVATE_P2P_IN_1);
}

void enterSendRecvP2pIn(TNfcllContext* ll, const Event& e) {
    setState(nfc53xPart(ll), NFC53X_STATE_SEND_RECV_P2P_IN);
    send(ll, NFC53X_REQ_IN_DATA_EXCHANGE, e.data, e.length);
    setState(nfc53xPart(ll), NFC53X_STATE_SEND_RECV_P2P_IN_1);
}

void enterP2pTarget(TNfcllContext* ll) {
    setState(nfc53xPart(ll), NFC53X_STATE_ACTIVATE_P2P_TG);
    send(ll, NFC53X_REQ_TG_INIT_AS_TARGET);
    setState(nfc53xPart(ll), NFC53X_STATE_ACTIVATE_P2P_TG_1);
}

void receiveAsTarget(TNfcllContext* ll) {
    setState(nfc53xPart(ll), NFC53X_STATE_RECV_P2P_TG);
    send(ll, NFC53X_REQ_TG_GET_DEP_DATA);
}

// Sends one fragment as target: the message's last one as TgSetDEPData, the others as meta data.
void sendAsTarget(TNfcllContext* ll, const Event& e) {
    if (!e.data || e.length == 0) {
        TRACE(NFCLL_TRC_STATE, "NFCLL_STATE_SEND_P2P_TG got empty trans_req");
        return;
    }
    const bool more = ll->tx.sent < ll->tx.length;
    send(ll, more ? NFC53X_REQ_TG_SET_META_DATA : NFC53X_REQ_TG_SET_DEP_DATA, e.data, e.length);
}

// ---- The states' own handling ---------------------------------------------------------------------
void deactivateRf1(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number == NFC53X_EVT_TIMEOUT_ACK) {
        if (part->retryMark) {
            listenConf(ll, kCauseTimeout);
            return inactive(ll);
        }
        TRACE(NFCLL_TRC_STATE, "nfc53x: retry on NFCLL_STATE_DEACTIVATE_RF");
        send(ll, NFC53X_REQ_SAM_CONFIG_NORMAL);
        part->retryMark = 1;
        return;
    }
    if (e.is({NFC53X_EVT_GENERIC_RESPONSE, NFC53X_EVT_P2P_GET_DONE})) {
        send(ll, NFC53X_REQ_RF_CONFIGURATION);
        return setState(part, NFC53X_STATE_DEACTIVATE_RF_2);
    }
    if (e.number == NFC53X_EVT_ACK) return;
    if (e.number == NFC53X_EVT_RESPONSE_ERROR) technologyRemoved(ll, kCauseFailed);
    listenConf(ll, e.number == NFC53X_EVT_P2P_TARGET_RELEASED ? 0 : kCauseFailed);
    inactive(ll);
}

void deactivateRf2(TNfcllContext* ll, const Event& e) {
    if (e.number == NFC53X_EVT_ACK) return;
    uint16_t cause = kCauseFailed;
    if (e.number == NFC53X_EVT_TIMEOUT_ACK) cause = kCauseTimeout;
    if (e.is({NFC53X_EVT_GENERIC_RESPONSE, NFC53X_EVT_LISTEN_RESPONSE, NFC53X_EVT_P2P_TARGET_RELEASED})) cause = 0;
    if (e.number == NFC53X_EVT_RESPONSE_ERROR) technologyRemoved(ll, kCauseFailed);
    listenConf(ll, cause);
    inactive(ll);
}

// After a command's ACK, a NACK or a time-out: the answer to wait for, or the failure to report.
template <typename Fail>
void afterCommand(TNfcllContext* ll, const Event& e, State next, Fail fail) {
    if (e.number == NFC53X_EVT_ACK) return setState(nfc53xPart(ll), next);
    if (e.is({NFC53X_EVT_NACK, NFC53X_EVT_RESPONSE_ERROR})) fail(kCauseFailed);
    else if (e.number == NFC53X_EVT_TIMEOUT_ACK) fail(kCauseTimeout);
    else return;
    inactive(ll);
}

void activateTag1(TNfcllContext* ll, const Event& e) {
    if (e.number == NFC53X_EVT_ACK) listenConf(ll, 0);
    afterCommand(ll, e, NFC53X_STATE_ACTIVATE_TAG_2, [ll](uint16_t cause) { listenConf(ll, cause); });
}

void activateTag2(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number == NFC53X_EVT_LISTEN_RESPONSE) {
        technologyDetected(ll);
        return setState(part, NFC53X_STATE_ACTIVATE_TAG_OK);
    }
    if (e.number != NFC53X_EVT_RESPONSE_ERROR) return;
    technologyRemoved(ll, kCauseFailed);
    inactive(ll);
}

void activateTagOk(TNfcllContext* ll, const Event& e) {
    if (e.number == NFC53X_EVT_TRANSACTION) {
        ll->mode = NFC53X_KIND_READER;
        enterSendTag(ll, e);
    } else if (e.number == NFC53X_EVT_SELECT) {
        enterSelect(ll);
    }
}

void sendRaw(TNfcllContext* ll, const Event& e) {
    if (e.number == NFC53X_EVT_NACK || e.number == NFC53X_EVT_RESPONSE_ERROR) transactionFailed(ll, kCauseFailed);
    else if (e.number == NFC53X_EVT_TIMEOUT_ACK) transactionFailed(ll, kCauseTimeout);
    else if (e.number == NFC53X_EVT_GENERIC_RESPONSE) transactionData(ll, e.data, e.length);
    else return;
    inactive(ll);
}

void sendTag1(TNfcllContext* ll, const Event& e) {
    afterCommand(ll, e, NFC53X_STATE_SEND_TAG_2, [ll](uint16_t cause) {
        ll->flags &= ~NFCLL_FLAG_PN53X_10;
        transactionFailed(ll, cause);
    });
}

// A MIFARE step that failed leaves the tag halted: it is polled again, and the failure is
// reported once it answers (or not).
void relisten(TNfcllContext* ll, TNfc53xPart* part) {
    const uint8_t error = part->lastError;
    sendPassiveTarget(ll);
    part->lastError = error;
    setState(part, NFC53X_STATE_RELISTEN_TAG);
}

void sendTag2(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    const bool mark = ll->flags & NFCLL_FLAG_PN53X_10;
    if (e.number == NFC53X_EVT_ACK) return;
    ll->flags &= ~NFCLL_FLAG_PN53X_10;
    switch (e.number) {
    case NFC53X_EVT_TIMEOUT_ACK:
        part->rxLength = 0;
        transactionFailed(ll, kCauseTimeout);
        break;
    case NFC53X_EVT_GENERIC_RESPONSE: {
        const uint8_t* data = nullptr;
        uint16_t length = 0;
        if (!afterFirstByte(e, data, length)) {
            transactionFailed(ll, kCauseFailed);
            break;
        }
        transactionData(ll, data, length);
        break;
    }
    case NFC53X_EVT_RESPONSE_ERROR:
        if (mark) return relisten(ll, part);
        transactionFailed(ll, kCauseFailed);
        break;
    default: return;
    }
    setState(part, NFC53X_STATE_ACTIVATE_TAG_OK);
}

void relistenTag(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (!e.is({NFC53X_EVT_ACK, NFC53X_EVT_NACK, NFC53X_EVT_TIMEOUT_ACK})) return;
    nfcllSetTimer(ll, NFC53X_TIMER_POLL, NFC53X_RELISTEN_MS);
    if (e.number == NFC53X_EVT_ACK) return setState(part, NFC53X_STATE_RELISTEN_TAG2);
    transactionFailed(ll, kCauseFailed);
    inactive(ll);
}

void relistenTag2(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number == NFC53X_EVT_ACK) return;
    nfcllResetTimer(ll, NFC53X_TIMER_POLL);
    uint16_t cause = kCauseFailed;
    if (e.number != NFC53X_EVT_TIMEOUT_RELISTEN && part->lastError == kErrorAuthentication) cause = kCauseAuthFailed;
    nfcllSendUsTransactionInd(ll, nullptr, cause, 0);
    setState(part, NFC53X_STATE_ACTIVATE_TAG_OK);
}

void selectTag1(TNfcllContext* ll, const Event& e) {
    afterCommand(ll, e, NFC53X_STATE_SELECT_TAG_2, [ll](uint16_t cause) { nfcllSendUsSelectConf(ll, cause); });
}

void selectTag2(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number == NFC53X_EVT_GENERIC_RESPONSE) nfcllSendUsSelectConf(ll, 0);
    else if (e.number == NFC53X_EVT_RESPONSE_ERROR) nfcllSendUsSelectConf(ll, kCauseFailed);
    else if (e.number == NFC53X_EVT_TIMEOUT_ACK) nfcllSendUsSelectConf(ll, kCauseTimeout);   // acknowledged, never answered
    else return;
    setState(part, NFC53X_STATE_ACTIVATE_TAG_OK);
}

void activateP2pIn1(TNfcllContext* ll, const Event& e) {
    if (e.number == NFC53X_EVT_ACK) listenConf(ll, 0);
    afterCommand(ll, e, NFC53X_STATE_ACTIVATE_P2P_IN_2, [ll](uint16_t cause) { listenConf(ll, cause); });
}

void activateP2pIn2(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number != NFC53X_EVT_LISTEN_RESPONSE) return;
    ll->mode = NFC53X_KIND_P2P_IN;
    ll->device.tagType = P2P_INITIATOR;
    technologyDetected(ll);
    setState(part, NFC53X_STATE_ACTIVATE_P2P_IN_OK);
}

void p2pLost(TNfcllContext* ll) {
    nfcllPurgeTxQueue(ll);
    technologyRemoved(ll, kCauseFailed);
    inactive(ll);
}

void sendRecvP2pIn1(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number == NFC53X_EVT_LISTEN_NONE) {
        nfcllPurgeTxQueue(ll);
        part->retryMark = 0;
        send(ll, NFC53X_REQ_SAM_CONFIG_NORMAL);
        return setState(part, NFC53X_STATE_DEACTIVATE_RF_1);
    }
    if (e.is({NFC53X_EVT_NACK, NFC53X_EVT_TIMEOUT_ACK, NFC53X_EVT_RESPONSE_ERROR})) return p2pLost(ll);
    if (e.number == NFC53X_EVT_GENERIC_RESPONSE) {
        setState(part, NFC53X_STATE_ACTIVATE_P2P_IN_OK);
        return nfcllPushNextP2PFragment(ll);
    }
    if (e.number != NFC53X_EVT_ACK) notHandled("! nfc53x:NFCLL_STATE_SEND_RECV_P2P_IN_1 not handled event=%d", e);
}

void sendRecvP2pIn2(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (!e.is({NFC53X_EVT_ACK, NFC53X_EVT_GENERIC_RESPONSE, NFC53X_EVT_RESPONSE_ERROR}))
        return notHandled("! nfc53x: NFCLL_STATE_SEND_RECV_P2P_IN_2 not handled event=%d", e);
    nfcllPurgeTxQueue(ll);
    part->retryMark = 0;
    send(ll, NFC53X_REQ_SAM_CONFIG_NORMAL);
    setState(part, NFC53X_STATE_DEACTIVATE_RF_1);
}

void targetUp(TNfcllContext* ll) {
    ll->mode = NFC53X_KIND_P2P_TG;
    ll->device.tagType = P2P_TARGET;
    technologyDetected(ll);
    nfcllPrepareNewRxBuffer(ll);
    receiveAsTarget(ll);
}

void activateP2pTg1(TNfcllContext* ll, const Event& e) {
    if (e.number == NFC53X_EVT_LISTEN_RESPONSE) return targetUp(ll);
    if (e.number == NFC53X_EVT_ACK) listenConf(ll, 0);
    afterCommand(ll, e, NFC53X_STATE_ACTIVATE_P2P_TG_2, [ll](uint16_t cause) { listenConf(ll, cause); });
}

void sendP2pTg(TNfcllContext* ll, const Event& e) {
    switch (e.number) {
    case NFC53X_EVT_LISTEN_NONE:
        listenConf(ll, 0);
        return inactive(ll);
    case NFC53X_EVT_TRANSACTION: return sendAsTarget(ll, e);
    case NFC53X_EVT_NACK:
    case NFC53X_EVT_TIMEOUT_ACK:
    case NFC53X_EVT_RESPONSE_ERROR: return p2pLost(ll);
    case NFC53X_EVT_P2P_SET_DONE: return receiveAsTarget(ll);
    case NFC53X_EVT_P2P_METASET_DONE: return nfcllPushNextP2PFragment(ll);
    case NFC53X_EVT_ACK:
    case NFC53X_EVT_GENERIC_RESPONSE: return;
    default: notHandled("! nfc53x: NFCLL_STATE_SEND_P2P_TG not handled event=%d", e);
    }
}

void targetFailed(TNfcllContext* ll, TNfc53xPart* part) {
    technologyRemoved(ll, kCauseFailed);
    part->retryMark = 0;
    send(ll, NFC53X_REQ_SAM_CONFIG_NORMAL);
    setState(part, NFC53X_STATE_DEACTIVATE_RF_1);
}

void sendP2pTg1(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    nfcllPurgeTxQueue(ll);
    if (e.number == NFC53X_EVT_ACK) {
        send(ll, NFC53X_REQ_TAMA_ACK);
        return setState(part, NFC53X_STATE_SEND_P2P_TG_2);
    }
    if (e.is({NFC53X_EVT_NACK, NFC53X_EVT_TIMEOUT_ACK, NFC53X_EVT_GENERIC_RESPONSE, NFC53X_EVT_RESPONSE_ERROR,
              NFC53X_EVT_P2P_SET_DONE}))
        targetFailed(ll, part);
}

void sendP2pTg2(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number == NFC53X_EVT_P2P_SET_DONE) return targetFailed(ll, part);
    notHandled("! nfc53x: NFCLL_STATE_SEND_P2P_TG_2 not handled event=%d", e);
}

void recvP2pTg(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    switch (e.number) {
    case NFC53X_EVT_NACK:
    case NFC53X_EVT_TIMEOUT_ACK:
    case NFC53X_EVT_RESPONSE_ERROR: return p2pLost(ll);
    case NFC53X_EVT_P2P_GET_DONE:
        setState(part, NFC53X_STATE_SEND_P2P_TG);
        return nfcllPushNextP2PFragment(ll);
    case NFC53X_EVT_P2P_TARGET_RELEASED:
        nfcllPurgeTxQueue(ll);
        technologyRemoved(ll, 0);
        return inactive(ll);
    case NFC53X_EVT_TRANSACTION:
    case NFC53X_EVT_ACK:
    case NFC53X_EVT_GENERIC_RESPONSE: return;
    default: notHandled("! nfc53x: NFCLL_STATE_RECV_P2P_TG not handled event=%d", e);
    }
}

void noDevice(TNfcllContext* ll, TNfc53xPart* part) {
    TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA response error 0x%X, signal no device", static_cast<unsigned>(part->lastError));
    technologyRemoved(ll, kCauseFailed);
    inactive(ll);
}

// The reader's command after the first byte goes up as a transaction.
void ceCommand(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    const uint8_t* data = nullptr;
    uint16_t length = 0;
    if (!afterFirstByte(e, data, length)) return noDevice(ll, part);
    setState(part, NFC53X_STATE_CE_PUTDATA);
    transactionData(ll, data, length);
}

void ceListen(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    switch (e.number) {
    case NFC53X_EVT_ACK: return listenConf(ll, 0);
    case NFC53X_EVT_NACK:
    case NFC53X_EVT_RESPONSE_ERROR: return noDevice(ll, part);
    case NFC53X_EVT_TIMEOUT_ACK:
        listenConf(ll, kCauseTimeout);
        return inactive(ll);
    case NFC53X_EVT_LISTEN_RESPONSE:
        ll->mode = NFC53X_KIND_CE;
        technologyDetected(ll);
        if (part->targetMode == 2) return ceCommand(ll, part, e);
        setState(part, NFC53X_STATE_CE_GETDATA);
        send(ll, NFC53X_REQ_TG_GET_DEP_DATA);
        return;
    default: return;
    }
}

void ceGetData(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    switch (e.number) {
    case NFC53X_EVT_LISTEN_NONE:
        listenConf(ll, 0);
        return inactive(ll);
    case NFC53X_EVT_NACK:
    case NFC53X_EVT_RESPONSE_ERROR: return noDevice(ll, part);
    case NFC53X_EVT_TIMEOUT_ACK:
        nfcllPurgeTxQueue(ll);
        technologyRemoved(ll, kCauseFailed);
        return enterDeactivation(ll);
    case NFC53X_EVT_GENERIC_RESPONSE:
    case NFC53X_EVT_FELICA_PDU: return ceCommand(ll, part, e);
    default: return;
    }
}

// The card's answer in pieces: every piece but the last as meta data.
bool sendAnswerPiece(TNfcllContext* ll, TNfc53xPart* part) {
    const uint16_t n = std::min<uint16_t>(static_cast<uint16_t>(part->ceAnswerLength - part->ceAnswerSent), NFC53X_DEP_PIECE);
    const bool last = part->ceAnswerSent + n == part->ceAnswerLength;
    const uint8_t* piece = part->ceAnswer + part->ceAnswerSent;
    part->ceAnswerSent = static_cast<uint16_t>(part->ceAnswerSent + n);
    return send(ll, last ? NFC53X_REQ_TG_SET_DEP_DATA : NFC53X_REQ_TG_SET_META_DATA, piece, n);
}

bool sendAnswer(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (part->targetMode == 2) return send(ll, NFC53X_REQ_TG_RESPONSE_TO_INITIATOR, e.data, e.length);
    if (e.length > sizeof part->ceAnswer) return false;
    part->ceAnswerLength = e.data ? e.length : 0;
    part->ceAnswerSent = 0;
    if (part->ceAnswerLength) std::memcpy(part->ceAnswer, e.data, part->ceAnswerLength);
    return sendAnswerPiece(ll, part);
}

void cePutData(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    const bool felica = part->targetMode == 2;
    switch (e.number) {
    case NFC53X_EVT_TRANSACTION:
        if (sendAnswer(ll, part, e)) return;
        technologyRemoved(ll, kCauseFailed);
        return inactive(ll);
    case NFC53X_EVT_P2P_METASET_DONE:
        if (sendAnswerPiece(ll, part)) return;
        technologyRemoved(ll, kCauseFailed);
        return inactive(ll);
    case NFC53X_EVT_ACK:
        if (felica) nfcllSetTimer(ll, NFC53X_TIMER_FIELD, NFC53X_FIELD_CHECK_MS);
        return;
    case NFC53X_EVT_NACK:
    case NFC53X_EVT_RESPONSE_ERROR:
    case NFC53X_EVT_CHECK_FIELD:
        technologyRemoved(ll, kCauseFailed);
        return inactive(ll);
    case NFC53X_EVT_GENERIC_RESPONSE:
    case NFC53X_EVT_P2P_SET_DONE:
        setState(part, NFC53X_STATE_CE_GETDATA);
        send(ll, NFC53X_REQ_TG_GET_DEP_DATA);
        return;
    case NFC53X_EVT_FELICA_POLL:
        nfcllResetTimer(ll, NFC53X_TIMER_FIELD);
        send(ll, NFC53X_REQ_TG_GET_INITIATOR_COMMAND);
        return setState(part, NFC53X_STATE_CE_GETDATA);
    default: return;
    }
}

void ceWired1(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.is({NFC53X_EVT_NACK, NFC53X_EVT_RESPONSE_ERROR})) {
        listenConf(ll, kCauseFailed);
        return inactive(ll);
    }
    if (e.number != NFC53X_EVT_GENERIC_RESPONSE) return;
    static constexpr uint8_t kTypeA = 0x00;
    send(ll, NFC53X_REQ_IN_LIST_PASSIVE_TARGET, &kTypeA, 1);
    setState(part, NFC53X_STATE_CE_WIRED2);
}

void ceWired2(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number == NFC53X_EVT_ACK) {
        listenConf(ll, 0);
        return setState(part, NFC53X_STATE_ACTIVATE_TAG_2);
    }
    if (!e.is({NFC53X_EVT_NACK, NFC53X_EVT_RESPONSE_ERROR})) return;
    listenConf(ll, kCauseFailed);
    inactive(ll);
}

void ceSecure1(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.is({NFC53X_EVT_ACK, NFC53X_EVT_LISTEN_CE_SECURE})) return;
    if (e.number == NFC53X_EVT_GENERIC_RESPONSE) {
        listenConf(ll, 0);
        return setState(part, NFC53X_STATE_CE_SECURE2);
    }
    listenConf(ll, kCauseFailed);
    inactive(ll);
}

// The SAM's report: a field gone with the SAM done is where a secure-element event would go up;
// no such event is defined for this controller, so the trace stays the only sign.
void ceSecure3(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number == NFC53X_EVT_ACK) return;
    if (e.number == NFC53X_EVT_GENERIC_RESPONSE) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: TAMAStatus Field is %s, SAM: %s", part->fieldPresent ? "ON" : "OFF",
              nfc53xSamStatusStr(part->samStatus));
        if (!part->fieldPresent && (part->samStatus == 0x81 || part->samStatus == 0x01))
            TRACE(NFCLL_TRC_STATE, "nfc53x: Send SeEventInd upstream");
        return setState(part, NFC53X_STATE_CE_SECURE2);
    }
    if (e.number == NFC53X_EVT_RESPONSE_ERROR) technologyRemoved(ll, kCauseFailed);
    inactive(ll);
}

// An I/O request ends with its answer, or with the failure of its command; either way the
// driver goes back to where the request found it.
void ioState(TNfcllContext* ll, TNfc53xPart* part, const Event& e, bool withData) {
    uint16_t cause = 0;
    if (e.is({NFC53X_EVT_NACK, NFC53X_EVT_RESPONSE_ERROR})) cause = kCauseFailed;
    else if (e.number == NFC53X_EVT_TIMEOUT_ACK) cause = kCauseTimeout;
    else if (e.number != NFC53X_EVT_IO_RESPONSE) return;
    nfcllSendUsIoControlConf(ll, cause, withData ? ll->ioOutput : nullptr, withData ? part->ioLength : 0);
    setState(part, part->ioSavedState);
}

void stateHandling(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    switch (part->state) {
    case NFC53X_STATE_DEACTIVATE_RF: return startDeactivation(ll);
    case NFC53X_STATE_DEACTIVATE_RF_1: return deactivateRf1(ll, part, e);
    case NFC53X_STATE_DEACTIVATE_RF_2: return deactivateRf2(ll, e);
    case NFC53X_STATE_ACTIVATE_TAG: return enterActivateTag(ll);
    case NFC53X_STATE_ACTIVATE_TAG_1: return activateTag1(ll, e);
    case NFC53X_STATE_ACTIVATE_TAG_2: return activateTag2(ll, part, e);
    case NFC53X_STATE_ACTIVATE_TAG_OK: return activateTagOk(ll, e);
    case NFC53X_STATE_SEND_RAW: return sendRaw(ll, e);
    case NFC53X_STATE_SEND_TAG: return enterSendTag(ll, e);
    case NFC53X_STATE_SEND_TAG_1: return sendTag1(ll, e);
    case NFC53X_STATE_SEND_TAG_2: return sendTag2(ll, part, e);
    case NFC53X_STATE_RELISTEN_TAG: return relistenTag(ll, part, e);
    case NFC53X_STATE_RELISTEN_TAG2: return relistenTag2(ll, part, e);
    case NFC53X_STATE_SELECT_TAG: return enterSelect(ll);
    case NFC53X_STATE_SELECT_TAG_1: return selectTag1(ll, e);
    case NFC53X_STATE_SELECT_TAG_2: return selectTag2(ll, part, e);
    case NFC53X_STATE_ACTIVATE_P2P_IN: return enterP2pInitiator(ll);
    case NFC53X_STATE_ACTIVATE_P2P_IN_1: return activateP2pIn1(ll, e);
    case NFC53X_STATE_ACTIVATE_P2P_IN_2: return activateP2pIn2(ll, part, e);
    case NFC53X_STATE_ACTIVATE_P2P_IN_OK:
        if (e.number == NFC53X_EVT_TRANSACTION && e.data && e.length) enterSendRecvP2pIn(ll, e);
        return;
    case NFC53X_STATE_SEND_RECV_P2P_IN: return enterSendRecvP2pIn(ll, e);
    case NFC53X_STATE_SEND_RECV_P2P_IN_1: return sendRecvP2pIn1(ll, part, e);
    case NFC53X_STATE_SEND_RECV_P2P_IN_2: return sendRecvP2pIn2(ll, part, e);
    case NFC53X_STATE_ACTIVATE_P2P_TG: return enterP2pTarget(ll);
    case NFC53X_STATE_ACTIVATE_P2P_TG_1: return activateP2pTg1(ll, e);
    case NFC53X_STATE_ACTIVATE_P2P_TG_2:
        if (e.number == NFC53X_EVT_LISTEN_RESPONSE) targetUp(ll);
        return;
    case NFC53X_STATE_ACTIVATE_P2P_TG_OK:
        if (e.number == NFC53X_EVT_TRANSACTION) setState(part, NFC53X_STATE_SEND_P2P_TG);
        return;
    case NFC53X_STATE_SEND_P2P_TG: return sendP2pTg(ll, e);
    case NFC53X_STATE_SEND_P2P_TG_1: return sendP2pTg1(ll, part, e);
    case NFC53X_STATE_SEND_P2P_TG_2: return sendP2pTg2(ll, part, e);
    case NFC53X_STATE_RECV_P2P_TG: return recvP2pTg(ll, part, e);
    case NFC53X_STATE_CE_LISTEN: return ceListen(ll, part, e);
    case NFC53X_STATE_CE_GETDATA: return ceGetData(ll, part, e);
    case NFC53X_STATE_CE_PUTDATA: return cePutData(ll, part, e);
    case NFC53X_STATE_CE_WIRED1: return ceWired1(ll, part, e);
    case NFC53X_STATE_CE_WIRED2: return ceWired2(ll, part, e);
    case NFC53X_STATE_CE_SECURE1: return ceSecure1(ll, part, e);
    case NFC53X_STATE_CE_SECURE3: return ceSecure3(ll, part, e);
    case NFC53X_STATE_IO_GET_GENERAL_STATUS:
    case NFC53X_STATE_IO_READ_REGISTER:
    case NFC53X_STATE_IO_READ_GPIO: return ioState(ll, part, e, true);
    case NFC53X_STATE_IO_RF_CONFIGURATION:
    case NFC53X_STATE_IO_WRITE_REGISTER:
    case NFC53X_STATE_IO_WRITE_GPIO: return ioState(ll, part, e, false);
    default:
        TRACE(NFCLL_TRC_STATE, "nfc53x: event %u not handled in state %u", static_cast<unsigned>(e.number),
              static_cast<unsigned>(part->state));
    }
}

bool inStates(const TNfc53xPart* part, std::initializer_list<State> states) {
    return std::find(states.begin(), states.end(), part->state) != states.end();
}

// Events that act the same in every state; false for those the state handles itself.
bool anyState(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    switch (e.number) {
    case NFC53X_EVT_NONE: return true;
    case NFC53X_EVT_LISTEN_NONE:
        part->rxLength = 0;
        if (inStates(part, {NFC53X_STATE_SEND_RECV_P2P_IN_1, NFC53X_STATE_SEND_P2P_TG, NFC53X_STATE_CE_GETDATA}))
            return false;
        enterDeactivation(ll);
        return true;
    case NFC53X_EVT_LISTEN_TAG:
        if (part->state == NFC53X_STATE_INACTIVE ||
            (part->state >= NFC53X_STATE_ACTIVATE_TAG && part->state <= NFC53X_STATE_ACTIVATE_TAG_OK)) {
            enterActivateTag(ll);
        } else {
            TRACE(NFCLL_TRC_ERROR, "nfc53x: ! bad state %d for TAG LISTEN", static_cast<int>(part->state));
            listenConf(ll, kCauseBadState);
        }
        return true;
    case NFC53X_EVT_RAW_TRANS:
        // The caller's frame goes out as it is, so it must fit what a host frame can be.
        if (e.length == 0 || e.length > NFC53X_FRAME_MAX || !e.data) {
            TRACE(NFCLL_TRC_ERROR, "nfc53x: ! raw frame of %d bytes refused", static_cast<int>(e.length));
            nfcllSendUsTransactionInd(ll, nullptr, kCauseFailed, 0);
            return true;
        }
        part->lastError = 0;
        if (!nfcllSendDsData(ll, e.data, e.length)) {
            nfcllSendUsTransactionInd(ll, nullptr, kCauseFailed, 0);
            return true;
        }
        part->inProcess = 1;
        part->pendingId = NFC53X_REQ_COUNT;   // the caller's own frame: its answer is due like any other
        nfcllSetTimer(ll, NFC53X_TIMER_RESPONSE, NFC53X_RESPONSE_MS);
        setState(part, NFC53X_STATE_SEND_RAW);
        return true;
    case NFC53X_EVT_LISTEN_P2P_IN: enterP2pInitiator(ll); return true;
    case NFC53X_EVT_LISTEN_P2P_TG: enterP2pTarget(ll); return true;
    case NFC53X_EVT_LISTEN_CE:
        send(ll, NFC53X_REQ_TG_INIT_CE, part->ceBlock, part->ceLength);
        setState(part, NFC53X_STATE_CE_LISTEN);
        return true;
    case NFC53X_EVT_LISTEN_CE_WIRED:
        send(ll, NFC53X_REQ_SAM_CONFIG_WIRED);
        setState(part, NFC53X_STATE_CE_WIRED1);
        return true;
    case NFC53X_EVT_LISTEN_CE_SECURE:
        send(ll, NFC53X_REQ_SAM_CONFIG_VIRTUAL);
        setState(part, NFC53X_STATE_CE_SECURE1);
        return true;
    default: return false;
    }
}

// A request displaced by a newer one while the controller was busy is answered, never dropped.
void answerDisplaced(TNfcllContext* ll, uint32_t event) {
    TRACE(NFCLL_TRC_ERROR, "nfc53x: ! buffered event %d (%s) replaced", static_cast<int>(event), nfc53xEventStr(event));
    switch (event) {
    case NFC53X_EVT_LISTEN_NONE:
    case NFC53X_EVT_LISTEN_TAG:
    case NFC53X_EVT_LISTEN_P2P_IN:
    case NFC53X_EVT_LISTEN_P2P_TG:
    case NFC53X_EVT_LISTEN_CE:
    case NFC53X_EVT_LISTEN_CE_WIRED:
    case NFC53X_EVT_LISTEN_CE_SECURE: return nfcllSendUsListenConf(ll, kCauseFailed, 0);
    case NFC53X_EVT_TRANSACTION:
    case NFC53X_EVT_RAW_TRANS: return nfcllSendUsTransactionInd(ll, nullptr, kCauseFailed, 0);
    case NFC53X_EVT_SELECT: return nfcllSendUsSelectConf(ll, kCauseFailed);
    default: return;
    }
}

void buffer(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (e.number == NFC53X_EVT_NONE || e.number == NFC53X_EVT_ACK) return;
    if (e.number == NFC53X_EVT_LISTEN_NONE &&
        inStates(part, {NFC53X_STATE_DEACTIVATE_RF_1, NFC53X_STATE_DEACTIVATE_RF_2}))
        return;
    if (e.length > sizeof part->bufferedData) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! event %d with %d bytes cannot wait", static_cast<int>(e.number),
              static_cast<int>(e.length));
        return answerDisplaced(ll, e.number);
    }
    if (part->bufferedEvent != NFC53X_EVT_NONE) answerDisplaced(ll, part->bufferedEvent);
    TRACE(NFCLL_TRC_STATE, "nfc53x: event %d (%s) buffered, request in process", static_cast<int>(e.number),
          nfc53xEventStr(e.number));
    part->bufferedEvent = e.number;
    part->bufferedLength = e.data ? e.length : 0;
    if (part->bufferedLength) std::memcpy(part->bufferedData, e.data, part->bufferedLength);
}

bool isRequest(uint32_t event) {
    return event == NFC53X_EVT_LISTEN_NONE || event == NFC53X_EVT_LISTEN_TAG || event == NFC53X_EVT_TRANSACTION ||
           event == NFC53X_EVT_RAW_TRANS || event == NFC53X_EVT_SELECT || event == NFC53X_EVT_LISTEN_P2P_IN ||
           event == NFC53X_EVT_LISTEN_P2P_TG || (event >= NFC53X_EVT_LISTEN_CE && event <= NFC53X_EVT_LISTEN_CE_SECURE);
}

// States whose command has been taken (its ACK came) but not yet answered: a request waits
// there too, or it would take the answer's place and leave its own requester unanswered.
bool awaitingAnswer(const TNfc53xPart* part) {
    const State s = part->state;
    return s == NFC53X_STATE_SEND_TAG_1 || s == NFC53X_STATE_SEND_TAG_2 || s == NFC53X_STATE_SELECT_TAG_1 ||
           s == NFC53X_STATE_SELECT_TAG_2 || s == NFC53X_STATE_SEND_RAW || s == NFC53X_STATE_RELISTEN_TAG ||
           s == NFC53X_STATE_RELISTEN_TAG2 || s == NFC53X_STATE_ACTIVATE_TAG_1 ||
           (s >= NFC53X_STATE_IO_GET_GENERAL_STATUS && s <= NFC53X_STATE_IO_WRITE_GPIO);
}

bool mustWait(const TNfc53xPart* part, uint32_t event) {
    return part->inProcess || (isRequest(event) && awaitingAnswer(part));
}

// A tag transaction or selection that meets no tag is answered at once, never left waiting.
bool refusedInState(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    const bool p2p = ll->mode == NFC53X_KIND_P2P_IN || ll->mode == NFC53X_KIND_P2P_TG;
    if (e.number == NFC53X_EVT_TRANSACTION && !p2p &&
        !inStates(part, {NFC53X_STATE_ACTIVATE_TAG_OK, NFC53X_STATE_CE_PUTDATA})) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! transaction in state %s", nfc53xStateStr(part->state));
        nfcllSendUsTransactionInd(ll, nullptr, kCauseBadState, 0);
        return true;
    }
    if (e.number == NFC53X_EVT_SELECT && part->state != NFC53X_STATE_ACTIVATE_TAG_OK) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! select in state %s", nfc53xStateStr(part->state));
        nfcllSendUsSelectConf(ll, kCauseBadState);
        return true;
    }
    return false;
}

void run(TNfcllContext* ll, TNfc53xPart* part, const Event& e) {
    if (!anyState(ll, part, e) && !refusedInState(ll, part, e)) stateHandling(ll, part, e);
}

// The buffered event runs once the controller is free; its data are copied out first, since
// running it may buffer the next.
void runBuffered(TNfcllContext* ll, TNfc53xPart* part) {
    while (part->bufferedEvent != NFC53X_EVT_NONE && !mustWait(part, part->bufferedEvent)) {
        const uint32_t number = part->bufferedEvent;
        part->bufferedEvent = NFC53X_EVT_NONE;
        if (number == NFC53X_EVT_LISTEN_NONE && part->state >= NFC53X_STATE_DEACTIVATE_RF &&
            part->state <= NFC53X_STATE_DEACTIVATE_RF_2)
            continue;
        uint8_t data[sizeof part->bufferedData];
        const uint16_t length = part->bufferedLength;
        std::memcpy(data, part->bufferedData, length);
        TRACE(NFCLL_TRC_STATE, "nfc53x: start buffered event %d (%s)", static_cast<int>(number), nfc53xEventStr(number));
        run(ll, part, Event{number, length ? data : nullptr, length});
    }
}

uint32_t ioStateOf(uint32_t code, uint32_t& request) {
    struct IoCode {
        uint32_t code, request, state;
    };
    static constexpr IoCode kCodes[] = {
        {0x1009, NFC53X_REQ_READ_GPIO, NFC53X_STATE_IO_READ_GPIO},
        {0x100A, NFC53X_REQ_WRITE_GPIO, NFC53X_STATE_IO_WRITE_GPIO},
        {0x1101, NFC53X_REQ_IO_RF_CONFIGURATION, NFC53X_STATE_IO_RF_CONFIGURATION},
        {0x1102, NFC53X_REQ_REGULATION_TEST, NFC53X_STATE_INACTIVE},
        {0x1104, NFC53X_REQ_WRITE_REGISTER, NFC53X_STATE_IO_WRITE_REGISTER},
        {0x1105, NFC53X_REQ_READ_REGISTER, NFC53X_STATE_IO_READ_REGISTER},
        {0x1109, NFC53X_REQ_IO_GENERAL_STATUS, NFC53X_STATE_IO_GET_GENERAL_STATUS},
    };
    for (const IoCode& c : kCodes)
        if (c.code == code) {
            request = c.request;
            return c.state;
        }
    request = NFC53X_REQ_COUNT;
    return NFC53X_STATE_INACTIVE;
}

// States in which the controller waits for nothing, so that an I/O command cannot take the place
// of an answer still to come.
bool idleForIo(const TNfc53xPart* part) {
    return !part->inProcess && inStates(part, {NFC53X_STATE_INACTIVE, NFC53X_STATE_ACTIVATE_TAG_OK,
                                               NFC53X_STATE_ACTIVATE_P2P_IN_OK, NFC53X_STATE_CE_SECURE2});
}

}  // namespace

void nfc53xHandleEvent(TNfcllContext* ll, uint32_t event, const uint8_t* data, uint16_t length) {
    TNfc53xPart* part = nfc53xPart(ll);
    TRACE(NFCLL_TRC_STATE, "nfc53x: event=%d (%s) in state %d %s, last error 0x%X, len data=%d", static_cast<int>(event),
          nfc53xEventStr(event), static_cast<int>(part->state), nfc53xStateStr(part->state),
          static_cast<unsigned>(part->lastError), static_cast<int>(length));
    const Event e{event, data, length};
    if (mustWait(part, event)) return buffer(ll, part, e);
    run(ll, part, e);
    runBuffered(ll, part);
}

void nfc53xHandleListenReq(TNfcllContext* ll, uint32_t type, const TNfcListenParam* params) {
    TNfc53xPart* part = nfc53xPart(ll);
    TRACE(NFCLL_TRC_STATE, "nfc53x: nfc53xHandleListenReq enter");
    ll->device.historicalBytesLength = 0;
    part->generalBytesLength = 0;
    part->listenType = type;
    uint32_t event = NFC53X_EVT_NONE;
    bool built = true;
    switch (type) {
    case 0: event = NFC53X_EVT_LISTEN_NONE; break;
    case TAG_ISO14443A:
    case TAG_14443B:
    case kPollFelica212:
    case kPollFelica424:
    case TAG_JEWEL_TYPE1: event = NFC53X_EVT_LISTEN_TAG; break;
    case P2P_INITIATOR:
        built = nfc53xBuildInJumpForDep(ll, params);
        event = NFC53X_EVT_LISTEN_P2P_IN;
        break;
    case P2P_TARGET:
        built = nfc53xBuildTgInitAsTarget(ll, params);
        event = NFC53X_EVT_LISTEN_P2P_TG;
        break;
    case CE_SECURE_CE: event = NFC53X_EVT_LISTEN_CE_SECURE; break;
    case CE_HOST_14443A_106:
    case CE_HOST_FELICA:
        built = nfc53xBuildCeBlock(ll, type == CE_HOST_FELICA, params);
        event = NFC53X_EVT_LISTEN_CE;
        break;
    default:
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! nfcllHandleListenReq, invalid ListenReq.Type 0x%X", static_cast<unsigned>(type));
        nfcllSendUsListenConf(ll, kCauseInvalidType, 0);
        return;
    }
    part->pollType = type;
    if (!built) nfcllSendUsListenConf(ll, kCauseInvalidType, 0);
    else nfc53xHandleEvent(ll, event, nullptr, 0);
    TRACE(NFCLL_TRC_STATE, "nfc53x: nfc53xHandleListenReq exit");
}

void nfc53xHandleTransactionReq(TNfcllContext* ll, const uint8_t* data, uint16_t length, uint32_t timeout) {
    nfc53xPart(ll)->answerMs = timeout;
    const uint32_t event = (ll->flags & NFCLL_FLAG_PN53X_4) ? NFC53X_EVT_RAW_TRANS : NFC53X_EVT_TRANSACTION;
    nfc53xHandleEvent(ll, event, data, length);
}

void nfc53xHandleSelectReq(TNfcllContext* ll, uint8_t index) {
    nfc53xPart(ll)->selectIndex = index;
    nfc53xHandleEvent(ll, NFC53X_EVT_SELECT, nullptr, 0);
}

void nfc53xHandleIoControlReq(TNfcllContext* ll, uint32_t code, void*, uint32_t, const uint8_t* input,
                              uint16_t inputLength, uint8_t*, uint16_t) {
    TNfc53xPart* part = nfc53xPart(ll);
    uint32_t request = 0;
    const uint32_t state = ioStateOf(code, request);
    if (request == NFC53X_REQ_COUNT) return nfcllSendUsIoControlConf(ll, kCauseNotSupported, nullptr, 0);
    if (!idleForIo(part)) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! I/O control 0x%X refused in state %s", static_cast<unsigned>(code),
              nfc53xStateStr(part->state));
        return nfcllSendUsIoControlConf(ll, kCauseFailed, nullptr, 0);
    }
    if (request == NFC53X_REQ_REGULATION_TEST && inputLength < 1) return nfcllSendUsIoControlConf(ll, kCauseFailed, nullptr, 0);
    if (request == NFC53X_REQ_REGULATION_TEST) inputLength = 1;
    part->ioLength = 0;
    if (!nfc53xSendDsCommand(ll, request, input, inputLength)) return nfcllSendUsIoControlConf(ll, kCauseFailed, nullptr, 0);
    if (request == NFC53X_REQ_REGULATION_TEST) {
        // The controller sends its test signal until the next command and answers nothing: no
        // answer is waited for, so the next request goes out at once.
        part->inProcess = 0;
        nfcllResetTimer(ll, NFC53X_TIMER_RESPONSE);
        return nfcllSendUsIoControlConf(ll, 0, nullptr, 0);
    }
    part->ioSavedState = part->state;
    setState(part, state);
}

void nfc53xHandleTimerExpired(TNfcllContext* ll, uint8_t timerId) {
    TNfc53xPart* part = nfc53xPart(ll);
    TRACE(NFCLL_TRC_STATE, "nfc53x: timer expired, id=%d", static_cast<int>(timerId));
    switch (timerId) {
    case NFC53X_TIMER_RESPONSE:
        if (!part->inProcess && !part->answerDue) return;
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! no response to request %u", static_cast<unsigned>(part->pendingId));
        part->inProcess = 0;
        part->answerDue = 0;
        return nfc53xHandleEvent(ll, NFC53X_EVT_TIMEOUT_ACK, nullptr, 0);
    case NFC53X_TIMER_POLL: return nfc53xHandleEvent(ll, NFC53X_EVT_TIMEOUT_RELISTEN, nullptr, 0);
    case NFC53X_TIMER_FIELD: return nfc53xHandleEvent(ll, NFC53X_EVT_CHECK_FIELD, nullptr, 0);
    default: TRACE(NFCLL_TRC_ERROR, "! nfc53x: timeout ignored, id=%d", static_cast<int>(timerId));
    }
}

void nfc53xHandleLineSignal(TNfcllContext* ll, uint32_t signal) {
    TNfc53xPart* part = nfc53xPart(ll);
    if (signal == kSignalDsrOff) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: ciDSROffReq detected OFF OFF");
        return;
    }
    if (signal != kSignalDsrOn) return;
    TRACE(NFCLL_TRC_STATE, "nfc53x: ciDSROnReq detected ON ON");
    if (part->state == NFC53X_STATE_CE_LISTEN) TRACE(NFCLL_TRC_STATE, "nfc53x: CE tag signalling follows");
    if (part->state != NFC53X_STATE_CE_SECURE2) return;
    send(ll, NFC53X_REQ_GET_GENERAL_STATUS);
    setState(part, NFC53X_STATE_CE_SECURE3);
}

uint32_t nfc53xHandleOtherMessage(TNfcllContext* ll) {
    const uint16_t command = ll->message.command;
    if (command == kDisconnectIndication) TRACE(NFCLL_TRC_STATE, "nfc53x: nfc53xHandleDisconnectIndication!");
    if (command != kDeactivationRequest && command != kDisconnectIndication) return kCauseFailed;
    nfcllSendUsDeactInd(ll, nullptr);
    return 0;
}
