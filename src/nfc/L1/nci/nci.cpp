// The NCI driver's context, its miniport entries for layer 1, the completion and error signals
// and the mapping of outcomes to layer 1's upward messages.
#include "L1/nci/nci.h"

#include <new>

#include "L1/nci/nci_trace.h"
#include "transport/nci_opcodes.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;    // the driver's state and message traces
constexpr uint32_t kTagP2P = 0x3000;

#define NCI_TRANSTYPE_NAME(name) "NCI_TRANSTYPE_" #name,
constexpr const char* kTransTypeNames[] = {NCI_TRANSTYPES(NCI_TRANSTYPE_NAME)};
#undef NCI_TRANSTYPE_NAME

#define NCI_OUTCOME_NAME(name) #name,
constexpr const char* kOutcomeNames[] = {NCI_OUTCOMES(NCI_OUTCOME_NAME)};
#undef NCI_OUTCOME_NAME

// The event each row of the shared opcode table raises.
struct OpcodeEvents {
    uint16_t events[NCI_OPCODE_COUNT];
};
constexpr OpcodeEvents makeOpcodeEvents() {
    OpcodeEvents table{};
    for (size_t i = 0; i < NCI_OPCODE_COUNT; ++i) table.events[i] = nciEventOfName(kNciOpcodes[i].event);
    return table;
}
constexpr OpcodeEvents kOpcodeEvents = makeOpcodeEvents();
constexpr bool everyEventKnown() {
    for (size_t i = 0; i < NCI_OPCODE_COUNT; ++i)
        if (kNciOpcodes[i].event && kOpcodeEvents.events[i] == 0) return false;
    return true;
}
static_assert(everyEventKnown(), "every event of the opcode table is a state-machine event");

// Tag-type bits of the 0x8011 mask, by timeout slot.
struct TimeoutSlot {
    uint32_t mask;
    uint32_t slot;
};
constexpr TimeoutSlot kTimeoutMask[] = {{0x400, 1}, {0x40, 2}, {0x100, 3}, {0x80, 4}, {0x1, 5},
                                        {0x2, 6},   {0x4, 7},  {0x30, 8},  {0x3000, 9}};

TNciContext* nciOf(TNfcllContext* ll) { return nfcllDriver<TNciContext>(ll); }

const char* transTypeName(uint32_t type) { return type < NCI_TRANSTYPE_COUNT ? kTransTypeNames[type] : "?"; }

void restoreTemporaryTimeout(TNciContext* nci) {
    if (!(nci->flags & NCI_FLAG_TEMP_TIMEOUT)) return;
    nci->tagTimeouts[nciGetTimeoutIndex(nci->tagType)] = nci->savedTimeout;
    nci->flags &= ~NCI_FLAG_TEMP_TIMEOUT;
}

// ---- The packet layer's neighbours ---------------------------------------------------------
uint32_t nciTransportSend(void* user, const uint8_t* packet, uint32_t length) {
    auto* nci = static_cast<TNciContext*>(user);
    if (length > 0xFFFF || !nfcllSendDsData(nci->ll, packet, static_cast<uint16_t>(length))) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! No memory available for sending message");
        return 4;
    }
    return 0;
}

void ncillTransportRxUs(void* user, uint32_t kind, uint16_t opcode, uint8_t connId, const uint8_t* payload,
                        uint32_t length) {
    auto* nci = static_cast<TNciContext*>(user);
    switch (kind) {
    case NCI_RX_MESSAGE: {
        const int row = nciOpcodeFindEvent(opcode, nci->maker);
        if (row < 0) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! ncillTransportRxUs(), opcode 0x%02X not found!", static_cast<unsigned>(opcode));
            return;
        }
        if (nci->lateResponse && opcode == nci->lateResponse) {
            // Its request was answered when another one took the controller: it answers nothing now.
            TRACE(NFCLL_TRC_ERROR, "nci: ! late response %#x of a secure-element request dropped", static_cast<unsigned>(opcode));
            nci->lateResponse = 0;
            return;
        }
        nci->rxOpcode = opcode;
        nci->rxConnId = connId;
        nci->rxPayload = payload;
        nci->rxLength = length;
        uint16_t event = kOpcodeEvents.events[row];
        if (event == EV_NCI_DATA && connId != 0 && nciNfceeDropsLateAnswer(nci, connId)) return;
        // Frames of the RF interface arrive as it shapes them; one it refuses is an error, not data.
        if (event == EV_NCI_DATA && connId == 0) {
            if (const uint16_t cause = nci->mapIncoming(nci, &nci->rxPayload, &nci->rxLength)) {
                nci->frameError = static_cast<uint8_t>(cause);
                nci->rxPayload = &nci->frameError;
                nci->rxLength = 1;
                event = EV_NCI_CORE_GENERIC_ERROR_NTF;
            }
        }
        nciPushEvent(nci, event);
        // The payload lives in the packet layer's buffer only until the next packet.
        nci->rxPayload = nullptr;
        nci->rxLength = 0;
        return;
    }
    case NCI_RX_CREDITS:
        // Credits matter to the driver only for HCI exchanges waiting to be sent.
        if (nciHciOwnsData(nci, connId)) nciPushEvent(nci, EV_NCI_CREDIT);
        return;
    case NCI_RX_SEGMENT: nciPushEvent(nci, EV_NCI_RESET_TIMER); return;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: ! unknown receive kind %u (cause 0x%X)", static_cast<unsigned>(kind),
              static_cast<unsigned>(NCI_CAUSE_WRONG_PARAMETER));
        return;
    }
}

bool defaultMapOutgoing(TNciContext* nci, const uint8_t* data, uint16_t length) {
    nci->txData = data;
    nci->txLength = length;
    return true;
}

void defaultAfterSend(TNciContext*) {}

// ---- Miniport entries ------------------------------------------------------------------------
uint16_t nciInitializationStep(TNfcllContext* ll, TNfcCapabilityBlock* capabilities) {
    TNciContext* nci = nciOf(ll);
    switch (nci->initState) {
    case NCI_INIT_NONE:
        nci->capabilities = capabilities;
        nciPushEvent(nci, EV_NCI_CORE_RESET_CMD);
        return NCI_CAUSE_PENDING;
    case NCI_INIT_DONE: return 0;
    default: return NCI_CAUSE_PENDING;
    }
}

void nciChipDoneHandler(TNfcllContext* ll) {
    TNciContext* nci = nciOf(ll);
    nciPacketDone(&nci->packet);
    nci->~TNciContext();
}

void nciHandleDataIndication(TNfcllContext* ll, const uint8_t* buffer, uint16_t length, uint16_t offset) {
    TNciContext* nci = nciOf(ll);
    if (nci->tagType & kTagP2P) {
        TRACE(kTrcNci, "nci: Triggering LLCP");
        nfcllSendUs(ll, nfcllMsgMake<NFCLL_LLCP_TRIGGER_IND>(ll->queueWord));
    }
    nciPacketReceive(&nci->packet, buffer + offset, length);
}

void nciHandleListenReq(TNfcllContext* ll, uint32_t mask, const TNfcListenParam* params) {
    TNciContext* nci = nciOf(ll);
    nciSetTransType(nci, NCI_TRANSTYPE_LISTEN);
    nci->listenMask = mask;
    nci->listenParams = params;
    if (mask != nci->activeListenTypes && (nci->features & NCI_FEATURE_LISTEN_ROUTING)) nciRoutingHostRoutes(nci, mask);
    bool pushed;
    if (mask) {
        if (nci->flags & NCI_FLAG_LISTENING) nci->flags |= NCI_FLAG_LISTEN_RESTARTED;
        nci->flags |= NCI_FLAG_LISTENING;
        pushed = nciPushEvent(nci, EV_NCI_RF_DISCOVER_CMD);
    } else {
        nci->flags &= ~(NCI_FLAG_LISTENING | NCI_FLAG_LISTEN_RESTARTED);
        pushed = nciPushEvent(nci, EV_NCI_RF_DEACTIVATE_CMD);
    }
    if (!pushed) nciSignalError(0, nci, "nciHandleListenReq");
}

// The common part of a transaction and a check: the data mapped for the interface, then the event.
void sendRequest(TNciContext* nci, const uint8_t* data, uint16_t length, uint32_t type, uint16_t event,
                 const char* source) {
    nciSetTransType(nci, type);
    if (!nci->mapOutgoing(nci, data, length)) {
        TRACE(NFCLL_TRC_ERROR, "nci: Unable to map outgoing data");
        nciSignalError(0, nci, source);
        return;
    }
    if (!nciPushEvent(nci, event)) {
        nciSignalError(0, nci, source);
        return;
    }
    nci->afterSend(nci);
}

void nciHandleTransactionReq(TNfcllContext* ll, const uint8_t* data, uint16_t length, uint32_t timeout) {
    TNciContext* nci = nciOf(ll);
    if (length == 0) {
        // On a P2P link layer 1 says so when its transmit queue has run empty: nobody waits for an answer.
        if (nci->tagType & kTagP2P) return;
        // Nothing to send is refused at once: silence would hold the requester and everything behind it.
        TRACE(NFCLL_TRC_ERROR, "nci: ! transaction without data");
        nfcllSendUsTransactionInd(ll, nullptr, NFCLL_CAUSE_INVALID_DATA, 0);
        return;
    }
    if (timeout) {
        const uint32_t slot = nciGetTimeoutIndex(nci->tagType);
        if (!(nci->flags & NCI_FLAG_TEMP_TIMEOUT)) nci->savedTimeout = nci->tagTimeouts[slot];
        nci->flags |= NCI_FLAG_TEMP_TIMEOUT;
        nci->tagTimeouts[slot] = timeout;
    }
    sendRequest(nci, data, length, NCI_TRANSTYPE_DATA, EV_NCI_MARVELD_DATA_REQ, "nciHandleTransactionReq");
}

void nciHandleCheckReq(TNfcllContext* ll, const uint8_t* data, uint16_t length) {
    TNciContext* nci = nciOf(ll);
    if (length == 0 || nci->transType == NCI_TRANSTYPE_IOCTL) {
        // Without a command for the tag, or while an I/O control's sub-state holds the controller,
        // the controller's own account answers: it reports a lost tag by itself, so an active tag
        // is present. Not answering would leave the check waiting; a refusal would lose the tag.
        const uint32_t pending = nci->transType;
        nciSetTransType(nci, NCI_TRANSTYPE_CHECK);
        const bool present =
            nci->tagType != 0 && (nci->sm.current == &nciStatePollActive || nci->sm.master == &nciStatePollActive);
        nciSignalCompletion(nci, present ? evNciDataIndication : evNciTagRemoved);
        if (pending == NCI_TRANSTYPE_IOCTL) nciSetTransType(nci, NCI_TRANSTYPE_IOCTL);
        return;
    }
    if (nci->transType != NCI_TRANSTYPE_IDLE) {
        // One answer: the request under way keeps its own.
        TRACE(NFCLL_TRC_ERROR, "nci: llc: TAG not present");
        nfcllSendUsTransactionResult(ll, NFCLL_CAUSE_WRONG_STATE);
        return;
    }
    sendRequest(nci, data, length, NCI_TRANSTYPE_CHECK, EV_NCI_MARVELD_PRESENCE_CHECK, "nciHandleCheckReq");
}

// IO-control codes whose request the driver keeps for a later state.
bool keepsRequest(uint32_t code) {
    return code == 0x110A || code == 0x110B || (code >= 0x8002 && code <= 0x8004) || (code >= 0x8007 && code <= 0x800F);
}

void nciHandleIoControlReq(TNfcllContext* ll, uint32_t code, void* instance, uint32_t timeout, const uint8_t* input,
                           uint16_t inputLength, uint8_t* output, uint16_t outputSize) {
    TNciContext* nci = nciOf(ll);
    nci->savedTransType = nci->transType;
    nciSetTransType(nci, NCI_TRANSTYPE_IOCTL);
    auto keep = [&] {
        nci->ioCode = code;
        nci->ioInput = input;
        nci->ioInputLength = inputLength;
        nci->ioOutput = output;
        nci->ioOutputSize = outputSize;
        // The secure element's handle travels as the request's instance.
        nci->ioHandle = static_cast<NfcSecureHandle>(reinterpret_cast<uintptr_t>(instance));
        nci->ioTimeout = timeout;
    };
    uint16_t event = 0;
    switch (code) {
    case 0x1003: event = EV_NCI_SLEEP; break;
    case 0x1004: event = EV_NCI_ECHO_REQUEST; break;
    case 0x1006: event = EV_NCI_RADIO_ON_REQUEST; break;
    case 0x1007: event = EV_NCI_RADIO_OFF_REQUEST; break;
    case 0x100B: event = EV_NCI_RF_T3T_POLLING_CMD; break;
    case 0x100C:
    case 0x100D:
        if (!nciPushEvent(nci, code == 0x100C ? EV_NCI_WAKE_UP_DONE_NTF : EV_NCI_WAKE_UP)) break;
        nciSignalCompletion(nci, evNciOk);
        return;
    case 0x1203: keep(); event = EV_NCI_IO_SET_PARAMETER; break;
    case 0x1300: keep(); event = EV_NCI_IO_GET_PARAMETER; break;
    case 0x8001:
        // One answer: a completion with an error and then an error signal would confirm twice.
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciHandleIoControlReq");
        return;
    case NFC_IOCTL_READER_TIMEOUT: {
        if (inputLength != 8 || !input) {
            nciSignalError(NCI_CAUSE_INVALID_DATA, nci, "nciHandleIoControlReq");
            return;
        }
        const uint32_t timeout = static_cast<uint32_t>(input[0] | input[1] << 8 | input[2] << 16) |
                                 static_cast<uint32_t>(input[3]) << 24;
        const uint32_t mask = static_cast<uint32_t>(input[4] | input[5] << 8 | input[6] << 16) |
                              static_cast<uint32_t>(input[7]) << 24;
        nciSetTagTimeouts(nci, timeout, mask);
        nciSignalCompletion(nci, evNciOk);
        return;
    }
    default:
        if (keepsRequest(code)) {
            keep();
            event = EV_NCI_IO_SE_REQUEST;
            break;
        }
        TRACE(NFCLL_TRC_ERROR, "nci: ! IO_CTRL %#x not handled", static_cast<unsigned>(code));
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciHandleIoControlReq");
        return;
    }
    if (!event || !nciPushEvent(nci, event)) nciSignalError(NCI_CAUSE_FAILED, nci, "nciHandleIoControlReq");
}

void nciHandleSelectReq(TNfcllContext* ll, uint8_t index) {
    TNciContext* nci = nciOf(ll);
    nciSetTransType(nci, NCI_TRANSTYPE_SELECT);
    if (index >= nci->endpointCount) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! select of endpoint %d, %d discovered", static_cast<int>(index),
              static_cast<int>(nci->endpointCount));
        nciSignalCompletion(nci, evNciError);
        return;
    }
    if (index == nci->selecting) {
        // One discovery must not select twice: the endpoint already being selected or active is confirmed.
        TRACE(kTrcNci, "nci: Endpoint %d already selected", static_cast<int>(index));
        nciSignalCompletion(nci, evNciOk);
        return;
    }
    nci->selected = &nci->endpoints[index];
    if (!nciPushEvent(nci, EV_NCI_RF_DISCOVER_SELECT_CMD)) nciSignalError(0, nci, "nciHandleSelectReq");
}

void nciTimerExpired(TNfcllContext* ll, uint8_t timerId) {
    TNciContext* nci = nciOf(ll);
    nci->flags &= ~NCI_FLAG_RESPONSE_TIMER;
    switch (timerId) {
    case NCI_TIMER_RESPONSE:
    case NCI_TIMER_HCI_ADMIN:
    case NCI_TIMER_HCI_EXCHANGE:
        TRACE(kTrcNci, "nci:  ! chip watch response timer expired");
        nciPushEvent(nci, EV_NCI_MARVELD_TIMEOUT);
        break;
    case NCI_TIMER_HCI_PIPE: nciPushEvent(nci, EV_NCI_HCI_TIMEOUT); break;
    case NCI_TIMER_MIFARE: nciPushEvent(nci, EV_NCI_MARVELD_TEST); break;
    default: TRACE(NFCLL_TRC_ERROR, "nci: ! Unknown timer ID"); break;
    }
}

uint32_t nciHandleOtherMessage(TNfcllContext* ll) {
    const uint16_t command = ll->message.command;
    if (command == 0x209 || command == 0x282) {
        nciPushEvent(nciOf(ll), EV_NCI_RF_DEACTIVATE_CMD);
        return 0;
    }
    return NCI_CAUSE_FAILED;
}

void nciHandlePhResetRequest(TNfcllContext* ll) {
    TNciContext* nci = nciOf(ll);
    nciSetTransType(nci, NCI_TRANSTYPE_RESET);
    nciPushEvent(nci, EV_NCI_CORE_RESET_CMD);
}

// ---- Upstream mapping by transaction type ------------------------------------------------------
enum class Mapped { Handled, Stay, Unhandled };

void receivedData(TNciContext* nci, const uint8_t* data, uint32_t length) {
    TNfcllContext* ll = nci->ll;
    if (nci->tagType & kTagP2P) {
        nfcllStoreP2pRxData(ll, length, data, false);
        nfcllPushNextP2PFragment(ll);
        return;
    }
    nfcllSendUsTransactionInd(ll, data, 0, length);
}

Mapped mapIdle(TNciContext* nci, uint32_t outcome, const uint8_t* data, uint32_t length) {
    TNfcllContext* ll = nci->ll;
    switch (outcome) {
    case evNciRfDiscovered:
        // The discovery handler passes the last-notification flag as the length.
        if (nci->endpointCount) {
            const TNciEndpoint& ep = nci->endpoints[nci->endpointCount - 1];
            nfcllSendUsEndpointInd(ll, ep.id, ep.tagType, length);
        }
        break;
    case evNciTagIndication: nfcllSendUsDeviceInd(ll); break;
    case evNciTagRemoved:
    case evNciDeactivateInd: nfcllSendUsTechRemoved(ll, NCI_CAUSE_FAILED); break;
    case evNciDataIndication: receivedData(nci, data, length); break;
    case evNciError: nfcllSendUsCause(ll, NFCLL_ERROR_IND, NCI_CAUSE_FAILED); break;
    default:
        TRACE(kTrcNci, "nci: Idle, not sending notification for event %#x upstream", static_cast<unsigned>(outcome));
        break;
    }
    return Mapped::Handled;
}

Mapped mapListen(TNciContext* nci, uint32_t outcome, uint32_t length) {
    TNfcllContext* ll = nci->ll;
    switch (outcome) {
    case evNciListenActive: nfcllSendUsListenConf(ll, length ? 13 : 0, 0); return Mapped::Handled;
    case evNciListenCanceled: nfcllSendUsListenConf(ll, length ? NFCLL_CAUSE_WRONG_STATE : 0, 0); return Mapped::Handled;
    case evNciTagRemoved:
    case evNciDeactivateInd:
        if ((nci->flags & NCI_FLAG_LISTENING) && (nci->activeListenTypes & 0x4BF07) &&
            !(nci->flags & NCI_FLAG_LISTEN_RESTARTED)) {
            nfcllSendUsTechRemoved(ll, 0);
        } else {
            nfcllSendUsListenConf(ll, 0, 0);
            nci->flags &= ~NCI_FLAG_LISTEN_RESTARTED;
        }
        return Mapped::Handled;
    case evNciTimeout:
    case evNciError: nfcllSendUsCause(ll, NFCLL_ERROR_IND, NCI_CAUSE_FAILED); return Mapped::Handled;
    case evNciState: nfcllSendUsListenConf(ll, NFCLL_CAUSE_WRONG_STATE, 0); return Mapped::Handled;
    case evNciInternalError: nfcllSendUsListenConf(ll, NFCLL_CAUSE_NO_RESOURCES, 0); return Mapped::Handled;
    default: return Mapped::Unhandled;
    }
}

Mapped mapCheck(TNciContext* nci, uint32_t outcome, const uint8_t* data, uint32_t length) {
    TNfcllContext* ll = nci->ll;
    switch (outcome) {
    case evNciListenActive:
    case evNciTagRemoved:
    case evNciError:
    case evNciErrorAuthentication: nfcllSendUsTransactionInd(ll, nullptr, NCI_CAUSE_FAILED, 0); return Mapped::Handled;
    case evNciDataIndication: nfcllSendUsTransactionInd(ll, data, 0, length); return Mapped::Handled;
    case evNciState: nfcllSendUsTransactionInd(ll, nullptr, NFCLL_CAUSE_WRONG_STATE, 0); return Mapped::Handled;
    default: return Mapped::Unhandled;
    }
}

Mapped mapData(TNciContext* nci, uint32_t outcome, const uint8_t* data, uint32_t length) {
    TNfcllContext* ll = nci->ll;
    switch (outcome) {
    case evNciListenActive:
    case evNciTagRemoved:
        ll->device.tagType = 0;
        nfcllSendUsTechRemoved(ll, NCI_CAUSE_FAILED);
        return Mapped::Handled;
    case evNciTagIndication: return Mapped::Stay;
    case evNciDataIndication: receivedData(nci, data, length); return Mapped::Handled;
    case evNciError:
        if (nci->tagType & kTagP2P) nfcllSendUsTechRemoved(ll, NCI_CAUSE_FAILED);
        else nfcllSendUsTransactionInd(ll, nullptr, NCI_CAUSE_FAILED, 0);
        return Mapped::Handled;
    case evNciErrorAuthentication: nfcllSendUsTransactionInd(ll, nullptr, NCI_CAUSE_AUTH, 0); return Mapped::Handled;
    default: return Mapped::Unhandled;
    }
}

Mapped mapIoControl(TNciContext* nci, uint32_t outcome, const uint8_t* data, uint32_t length) {
    TNfcllContext* ll = nci->ll;
    switch (outcome) {
    case evNciOk:
    case evNciDataIndication:
    case evNciNfceeRouteGetInd:
        nfcllSendUsIoControlConf(ll, 0, data, static_cast<uint16_t>(length > 0xFFFF ? 0 : length));
        return Mapped::Handled;
    case evNciNfceeModeSetInd:
    case evNciNfceeOpenInd:
    case evNciNfceeCloseInd:
    case evNciNfceeAidSetInd:
    case evNciNfceeRouteAddInd:
    case evNciSleeping: nfcllSendUsIoControlConf(ll, 0, nullptr, 0); return Mapped::Handled;
    case evNciTimeout:
    case evNciError:
        nfcllSendUsIoControlConf(ll, length ? static_cast<uint16_t>(length) : uint16_t{NCI_CAUSE_FAILED}, nullptr, 0);
        return Mapped::Handled;
    case evNciState: nfcllSendUsIoControlConf(ll, NFCLL_CAUSE_WRONG_STATE, nullptr, 0); return Mapped::Handled;
    default: return Mapped::Unhandled;
    }
}

// A handled outcome ends the transaction; an IO control's gives the controller back to the one it interrupted.
void endTransaction(TNciContext* nci) {
    if (nci->transType == NCI_TRANSTYPE_IOCTL) nci->seWaiting = false;
    if (nci->transType == NCI_TRANSTYPE_IOCTL && nci->savedTransType != NCI_TRANSTYPE_IOCTL)
        nciSetTransType(nci, nci->savedTransType);
    else
        nciSetTransType(nci, NCI_TRANSTYPE_IDLE);
}

// The secure-element request's outcome is its IO-control confirmation, whichever transaction
// layer 1 started while it waited; that transaction keeps its type.
void answerSeRequest(TNciContext* nci, uint32_t outcome, const uint8_t* data, uint32_t length) {
    TRACE(kTrcNci, "nci: ncillUsCallback %s for %s", nciOutcomeName(outcome), transTypeName(NCI_TRANSTYPE_IOCTL));
    if (mapIoControl(nci, outcome, data, length) == Mapped::Unhandled) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Error handling event %d for transaction type %d", static_cast<int>(outcome),
              static_cast<int>(NCI_TRANSTYPE_IOCTL));
        return;
    }
    nci->seWaiting = false;
    if (nci->transType == NCI_TRANSTYPE_IOCTL) endTransaction(nci);
}

Mapped mapReset(TNciContext* nci, uint32_t outcome) {
    TNfcllContext* ll = nci->ll;
    switch (outcome) {
    case evNciTimeout:
    case evNciError: nfcllSendUsCause(ll, NFCLL_ERROR_IND, NCI_CAUSE_FAILED); return Mapped::Handled;
    case evNciResetCompleted: nfcllSendUsCause(ll, PH_RESET_CONF, 0); return Mapped::Handled;
    default: return Mapped::Unhandled;
    }
}

} // namespace

// ---- Initialisation ------------------------------------------------------------------------------
int32_t nciInit(TNfcllContext* ll) {
    auto* nci = new (ll->driver) TNciContext{};
    nci->ll = ll;
    TNfcllMiniport& mp = ll->miniport;
    mp.initializationStep = &nciInitializationStep;
    mp.chipDone = &nciChipDoneHandler;
    mp.dataIndication = &nciHandleDataIndication;
    mp.listenRequest = &nciHandleListenReq;
    mp.transactionRequest = &nciHandleTransactionReq;
    mp.ioControlRequest = &nciHandleIoControlReq;
    mp.selectRequest = &nciHandleSelectReq;
    mp.timerExpired = &nciTimerExpired;
    mp.otherMessage = &nciHandleOtherMessage;
    mp.phResetRequest = &nciHandlePhResetRequest;
    mp.checkRequest = &nciHandleCheckReq;
    for (uint32_t& timeout : nci->tagTimeouts) timeout = NCI_DEFAULT_TAG_TIMEOUT;
    nci->selecting = NCI_NO_ENDPOINT;
    nciDefaultHooks(nci);
    nciTraceSetManufacturer(0);
    nciPacketInit(&nci->packet, &nciTransportSend, nci, &ncillTransportRxUs, nci);
    nciStateMachineInit(nci);
    return 1;
}

void nciDefaultHooks(TNciContext* nci) {
    nci->mapOutgoing = &defaultMapOutgoing;
    nci->afterSend = &defaultAfterSend;
    nci->mapIncoming = &nciMapIncomingWhole;
}

// ---- Events and outcomes -------------------------------------------------------------------------
bool nciPushEvent(TNciContext* nci, uint16_t event) {
    if (!smPostEvent(&nci->sm, event)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! event ring full, %s dropped", smEventName(event));
        return false;
    }
    // An event pushed by a handler waits for the handler to finish; the running drain takes it.
    if (nci->draining) return true;
    nci->draining = true;
    smProcessEvents(&nci->sm);
    nci->draining = false;
    return true;
}

void nciSetTransType(TNciContext* nci, uint32_t type) {
    if (nci->transType != type)
        TRACE(kTrcNci, "nci: Changing from %s to %s", transTypeName(nci->transType), transTypeName(type));
    nci->transType = type;
}

const char* nciOutcomeName(uint32_t outcome) { return outcome < NCI_OUTCOME_COUNT ? kOutcomeNames[outcome] : "?"; }

void nciSignalCompletion(TNciContext* nci, uint32_t outcome) {
    TRACE(kTrcNci, "nci:  %s event %#x, %p %d", "nciSignalCompletion", static_cast<unsigned>(outcome), nullptr, 0);
    restoreTemporaryTimeout(nci);
    ncillUsCallback(nci, outcome, nullptr, 0);
}

void nciSignalError(uint16_t cause, TNciContext* nci, const char* source) {
    TRACE(NFCLL_TRC_ERROR, "nci: ! nciSignalError from '%s' with cause %#x", source, static_cast<unsigned>(cause));
    restoreTemporaryTimeout(nci);
    // The cause travels in the length: only the IO-control confirmation reads it.
    ncillUsCallback(nci, evNciError, nullptr, cause);
}

void ncillUsCallback(TNciContext* nci, uint32_t outcome, const uint8_t* data, uint32_t length) {
    TNfcllContext* ll = nci->ll;
    if (nci->seSignalling && nci->seWaiting && outcome != evNciFieldOn && outcome != evNciFieldOff &&
        outcome != evNciNfceeActionInd) {
        answerSeRequest(nci, outcome, data, length);
        return;
    }
    TRACE(kTrcNci, "nci: ncillUsCallback %s for %s", nciOutcomeName(outcome), transTypeName(nci->transType));
    if (outcome == evNciFieldOn || outcome == evNciFieldOff) {
        nfcllReportRfField(ll, outcome == evNciFieldOn);
        return;
    }
    if (outcome == evNciNfceeActionInd) nfcllSendUsSeInd(ll, TNfcllSeInd{NFCLL_SE_TRANSACTION, 0, 0, nullptr});

    Mapped mapped = Mapped::Unhandled;
    switch (nci->transType) {
    case NCI_TRANSTYPE_IDLE: mapped = mapIdle(nci, outcome, data, length); break;
    case NCI_TRANSTYPE_LISTEN: mapped = mapListen(nci, outcome, length); break;
    case NCI_TRANSTYPE_SELECT:
        nfcllSendUsSelectConf(ll, outcome == evNciOk ? 0 : NCI_CAUSE_FAILED);
        mapped = Mapped::Handled;
        break;
    case NCI_TRANSTYPE_CHECK: mapped = mapCheck(nci, outcome, data, length); break;
    case NCI_TRANSTYPE_DATA: mapped = mapData(nci, outcome, data, length); break;
    case NCI_TRANSTYPE_IOCTL: mapped = mapIoControl(nci, outcome, data, length); break;
    case NCI_TRANSTYPE_RESET: mapped = mapReset(nci, outcome); break;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: ! Transaction type %#x not handled for event %#x",
              static_cast<unsigned>(nci->transType), static_cast<unsigned>(outcome));
        return;
    }
    if (mapped == Mapped::Unhandled) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Error handling event %d for transaction type %d", static_cast<int>(outcome),
              static_cast<int>(nci->transType));
        return;
    }
    if (mapped == Mapped::Stay) return;
    endTransaction(nci);
}

// ---- Tag timeouts ----------------------------------------------------------------------------------
uint32_t nciGetTimeoutIndex(uint32_t tagType) {
    switch (tagType) {
    case 0: return 0;
    case 0x1: return 5;
    case 0x2: return 6;
    case 0x4: return 7;
    case 0x10:
    case 0x20:
    case 0x2000000:
    case 0x4000000: return 8;
    case 0x40: return 2;
    case 0x80: return 4;
    case 0x100: return 3;
    case 0x400: return 1;
    case 0x1000:
    case 0x2000: return 9;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: ! nciGetTimeoutIndex: Unexpected tagtype 0%X", static_cast<unsigned>(tagType));
        return 0;
    }
}

uint32_t nciGetTagTimeout(const TNciContext* nci, uint32_t tagType) {
    const uint32_t slot = nciGetTimeoutIndex(tagType);
    if (slot >= NCI_TAG_TIMEOUT_SLOTS) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! nciGetTagTimeout: Invalid tagtype 0%X", static_cast<unsigned>(tagType));
        return NCI_DEFAULT_TAG_TIMEOUT;
    }
    return nci->tagTimeouts[slot];
}

void nciSetTagTimeouts(TNciContext* nci, uint32_t timeout, uint32_t mask) {
    if (timeout == 0) timeout = NCI_DEFAULT_TAG_TIMEOUT;
    TRACE(kTrcNci, "nci: Set tag timeout %d ms, mask 0%X", static_cast<int>(timeout), static_cast<unsigned>(mask));
    for (const TimeoutSlot& entry : kTimeoutMask)
        if (mask & entry.mask) nci->tagTimeouts[entry.slot] = timeout;
}

// ---- Sending ----------------------------------------------------------------------------------------
uint32_t nciSendCommand(TNciContext* nci, uint16_t opcode, const uint8_t* payload, uint32_t length) {
    if (nci->flags & NCI_FLAG_RESPONSE_TIMER)
        TRACE(kTrcNci, "nci: ! WARNING, sending message %#x while timer is running", static_cast<unsigned>(opcode));
    const uint32_t result = nciPacketSend(0, &nci->packet, opcode, payload, length);
    if (result != 0 && result != NCI_CAUSE_PENDING) return result;
    if (opcode >= 0x2000) nci->lastCommand = opcode;
    const uint32_t timeout =
        nciResponseTimeout(nci->tagType, nciGetTagTimeout(nci, nci->tagType), nci->techTimeout, opcode < 0x2000);
    if (timeout) {
        nci->responseTimeout = timeout;
        nfcllRestartTimer(nci->ll, NCI_TIMER_RESPONSE, timeout);
        nci->flags |= NCI_FLAG_RESPONSE_TIMER;
    }
    return result;
}

void nciStopResponseTimer(TNciContext* nci) {
    nfcllResetTimer(nci->ll, NCI_TIMER_RESPONSE);
    nci->flags &= ~NCI_FLAG_RESPONSE_TIMER;
}
