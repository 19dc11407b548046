// The NCI driver's context, its miniport entries for layer 1, the completion and error signals
// and the mapping of outcomes to layer 1's upward messages.
#include "L1/nci/nci.h"

#include <cstring>
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

// Layer 1's activation kind of an endpoint's tag type: 1 a P2P target found (the host is the
// initiator), 2 a P2P initiator found, 3 a reader of the host as a card, 4 a tag; 0 none.
uint32_t activationKind(uint32_t tagType) {
    constexpr uint32_t kP2pTarget = 0x1000, kP2pInitiator = 0x2000, kCardEmulation = 0xF00000;
    if (tagType == 0) return 0;
    if (tagType & kP2pTarget) return 1;
    if (tagType & kP2pInitiator) return 2;
    if (tagType & kCardEmulation) return 3;
    return 4;
}

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

// Notifications that a command's response comes before: those of its own opcode, and the
// activation that follows a selection.
bool followsResponse(uint16_t response, uint16_t opcode) {
    constexpr uint16_t kSelectRsp = 0x4104, kActivatedNtf = 0x6105;
    if ((opcode & 0xE000) != 0x6000) return false;
    return (opcode & 0x1FFF) == (response & 0x1FFF) || (response == kSelectRsp && opcode == kActivatedNtf);
}

void holdNotification(TNciContext* nci, uint16_t event) {
    if (nci->heldCount == NCI_HELD_NOTIFICATIONS || nci->rxLength > NCI_HELD_PAYLOAD_MAX) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! no room to hold %s while a sub-state runs, dropped", smEventName(event));
        return;
    }
    TNciHeldNotification& h = nci->held[(nci->heldHead + nci->heldCount++) % NCI_HELD_NOTIFICATIONS];
    h.event = event;
    h.opcode = nci->rxOpcode;
    h.length = nci->rxLength;
    if (h.length) std::memcpy(h.payload, nci->rxPayload, h.length);
    TRACE(kTrcNci, "nci: %s held until the sub-state returns", smEventName(event));
}

// The master state takes what the controller said while the sub-state ran, in the order it came.
void replayHeld(TNciContext* nci) {
    TNciHeldNotification h = nci->held[nci->heldHead];
    nci->heldHead = static_cast<uint8_t>((nci->heldHead + 1) % NCI_HELD_NOTIFICATIONS);
    --nci->heldCount;
    nci->rxOpcode = h.opcode;
    nci->rxConnId = 0;
    nci->rxPayload = h.payload;
    nci->rxLength = h.length;
    nciPushEvent(nci, h.event);
    nci->rxPayload = nullptr;
    nci->rxLength = 0;
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
        if ((opcode & 0xE000) == 0x4000) {
            // Its command was given up (or never sent): it answers nothing now.
            if (opcode != nci->awaitedResponse) {
                TRACE(NFCLL_TRC_ERROR, "nci: ! response %#x not awaited, dropped", static_cast<unsigned>(opcode));
                return;
            }
            nci->awaitedResponse = 0;
        } else if (nci->awaitedResponse && followsResponse(nci->awaitedResponse, opcode)) {
            // The controller sends this only after the response: the response was lost on the way.
            TRACE(NFCLL_TRC_ERROR, "nci: ! response %#x lost before %#x", static_cast<unsigned>(nci->awaitedResponse),
                  static_cast<unsigned>(opcode));
            nci->awaitedResponse = 0;
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
        if (nciHeldBySubState(nci, event)) {
            holdNotification(nci, event);
            return;
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

// ---- Requests of layer 1 ---------------------------------------------------------------------
// Each request is served once the driver is at rest, in the order it came.
void runListen(TNciContext* nci, uint32_t mask, const TNfcListenParam* params) {
    // The data of a card emulation waits for the reader's next command: a listen takes the radio first.
    nciAnswerRequestUnderWay(nci, "nciHandleListenReq");
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

void runTransaction(TNciContext* nci, const uint8_t* data, uint16_t length, uint32_t timeout) {
    if (length == 0) {
        // On a P2P link layer 1 says so when its transmit queue has run empty: nobody waits for an answer.
        if (nci->tagType & kTagP2P) return;
        // Nothing to send is refused at once: silence would hold the requester and everything behind it.
        TRACE(NFCLL_TRC_ERROR, "nci: ! transaction without data");
        nfcllSendUsTransactionInd(nci->ll, nullptr, NFCLL_CAUSE_INVALID_DATA, 0);
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

// States in which an endpoint is active: the controller reports its loss by itself.
bool endpointActive(const TNciContext* nci) {
    for (SmHandler state : {nci->sm.current, nci->sm.master})
        if (state == &nciStatePollActive || state == &nciStateMfPollActive || state == &nciStateMfPresenceCheck ||
            state == &nciStateListenActive || state == &nciStateListenSleep)
            return true;
    return false;
}

// Without a command for the tag the controller's own account answers: it reports a lost tag by
// itself, so an active endpoint is present. Not answering would leave the check waiting.
void answerEmptyCheck(TNciContext* nci) {
    const uint32_t pending = nci->transType;
    nciSetTransType(nci, NCI_TRANSTYPE_CHECK);
    nciSignalCompletion(nci, nci->tagType != 0 && endpointActive(nci) ? evNciDataIndication : evNciTagRemoved);
    if (pending == NCI_TRANSTYPE_IOCTL) nciSetTransType(nci, NCI_TRANSTYPE_IOCTL);
}

void runCheck(TNciContext* nci, const uint8_t* data, uint16_t length) {
    if (nci->transType != NCI_TRANSTYPE_IDLE) {
        // One answer: the request under way keeps its own.
        TRACE(NFCLL_TRC_ERROR, "nci: llc: TAG not present");
        nfcllSendUsTransactionResult(nci->ll, NFCLL_CAUSE_WRONG_STATE);
        return;
    }
    sendRequest(nci, data, length, NCI_TRANSTYPE_CHECK, EV_NCI_MARVELD_PRESENCE_CHECK, "nciHandleCheckReq");
}

// IO-control codes whose request the driver keeps for a later state.
bool keepsRequest(uint32_t code) {
    return code == 0x110A || code == 0x110B || (code >= 0x8002 && code <= 0x8004) || (code >= 0x8007 && code <= 0x800F);
}

void runIoControl(TNciContext* nci, const TNciRequest& r) {
    const uint32_t code = r.value;
    // The answer travels in this request's own output, whatever came after it.
    nci->ll->ioOutput = r.output;
    nci->ll->ioOutputSize = r.output ? r.outputSize : 0;
    nci->savedTransType = nci->transType;
    nciSetTransType(nci, NCI_TRANSTYPE_IOCTL);
    auto keep = [&] {
        nci->ioCode = code;
        nci->ioInput = r.input;
        nci->ioInputLength = r.inputLength;
        nci->ioOutput = r.output;
        nci->ioOutputSize = r.outputSize;
        // The secure element's handle travels as the request's instance.
        nci->ioHandle = static_cast<NfcSecureHandle>(reinterpret_cast<uintptr_t>(r.instance));
        nci->ioTimeout = r.timeout;
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
        if (r.inputLength != 8 || !r.input) {
            nciSignalError(NCI_CAUSE_INVALID_DATA, nci, "nciHandleIoControlReq");
            return;
        }
        const uint8_t* in = r.input;
        const uint32_t timeout = static_cast<uint32_t>(in[0] | in[1] << 8 | in[2] << 16) | static_cast<uint32_t>(in[3]) << 24;
        const uint32_t mask = static_cast<uint32_t>(in[4] | in[5] << 8 | in[6] << 16) | static_cast<uint32_t>(in[7]) << 24;
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

void runSelect(TNciContext* nci, uint8_t index) {
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

void runReset(TNciContext* nci) {
    nciAnswerRequestUnderWay(nci, "nciHandlePhResetRequest");
    nci->recovering = false;
    nciSetTransType(nci, NCI_TRANSTYPE_RESET);
    nciPushEvent(nci, EV_NCI_CORE_RESET_CMD);
}

void serve(TNciContext* nci, const TNciRequest& r) {
    switch (r.kind) {
    case NCI_REQ_LISTEN: runListen(nci, r.value, r.params); break;
    case NCI_REQ_DATA: runTransaction(nci, r.input, r.inputLength, r.timeout); break;
    case NCI_REQ_CHECK: runCheck(nci, r.input, r.inputLength); break;
    case NCI_REQ_IOCTL: runIoControl(nci, r); break;
    case NCI_REQ_SELECT: runSelect(nci, r.index); break;
    case NCI_REQ_RESET: runReset(nci); break;
    case NCI_REQ_DEACTIVATE: nciPushEvent(nci, EV_NCI_RF_DEACTIVATE_CMD); break;
    default: break;
    }
}

// Every request is answered: one that finds no room to wait is refused at once.
void refuse(TNciContext* nci, const TNciRequest& r) {
    TRACE(NFCLL_TRC_ERROR, "nci: ! request %d refused, %d are waiting already", r.kind, nci->waitingCount);
    switch (r.kind) {
    case NCI_REQ_LISTEN: nfcllSendUsListenConf(nci->ll, NFCLL_CAUSE_WRONG_STATE, 0); break;
    case NCI_REQ_DATA: nfcllSendUsTransactionInd(nci->ll, nullptr, NCI_CAUSE_FAILED, 0); break;
    case NCI_REQ_CHECK: nfcllSendUsTransactionResult(nci->ll, NFCLL_CAUSE_WRONG_STATE); break;
    case NCI_REQ_IOCTL:
        nci->ll->ioOutput = nullptr;
        nfcllSendUsIoControlConf(nci->ll, NFCLL_CAUSE_WRONG_STATE, nullptr, 0);
        break;
    case NCI_REQ_SELECT: nfcllSendUsSelectConf(nci->ll, NCI_CAUSE_FAILED); break;
    case NCI_REQ_RESET: nfcllSendUsCause(nci->ll, NFCLL_ERROR_IND, NCI_CAUSE_FAILED); break;
    default: break;
    }
}

void request(TNciContext* nci, const TNciRequest& r) {
    if (!nciBusy(nci) && nci->waitingCount == 0) {
        serve(nci, r);
        return;
    }
    if (nci->waitingCount == NCI_WAITING_REQUESTS) {
        refuse(nci, r);
        return;
    }
    TRACE(kTrcNci, "nci: request %d waits, the controller is busy in %s", r.kind, smStateName(&nci->sm, nci->sm.current));
    nci->waiting[(nci->waitingHead + nci->waitingCount++) % NCI_WAITING_REQUESTS] = r;
}

// Once the machine is at rest: first what the controller said while a sub-state ran, then the
// requests that waited for the controller.
void settle(TNciContext* nci) {
    if (nci->settling) return;
    nci->settling = true;
    for (;;) {
        if (!nci->sm.master && nci->heldCount) {
            replayHeld(nci);
            continue;
        }
        if (nci->waitingCount && !nciBusy(nci)) {
            const TNciRequest r = nci->waiting[nci->waitingHead];
            nci->waitingHead = static_cast<uint8_t>((nci->waitingHead + 1) % NCI_WAITING_REQUESTS);
            --nci->waitingCount;
            serve(nci, r);
            continue;
        }
        break;
    }
    nci->settling = false;
}

// ---- Miniport entries: layer 1's requests ---------------------------------------------------------
void nciHandleListenReq(TNfcllContext* ll, uint32_t mask, const TNfcListenParam* params) {
    TNciRequest r{};
    r.kind = NCI_REQ_LISTEN;
    r.value = mask;
    r.params = params;
    request(nciOf(ll), r);
}

void nciHandleTransactionReq(TNfcllContext* ll, const uint8_t* data, uint16_t length, uint32_t timeout) {
    TNciRequest r{};
    r.kind = NCI_REQ_DATA;
    r.input = data;
    r.inputLength = length;
    r.timeout = timeout;
    request(nciOf(ll), r);
}

void nciHandleCheckReq(TNfcllContext* ll, const uint8_t* data, uint16_t length) {
    TNciContext* nci = nciOf(ll);
    if (length == 0) {
        answerEmptyCheck(nci);
        return;
    }
    TNciRequest r{};
    r.kind = NCI_REQ_CHECK;
    r.input = data;
    r.inputLength = length;
    request(nci, r);
}

void nciHandleIoControlReq(TNfcllContext* ll, uint32_t code, void* instance, uint32_t timeout, const uint8_t* input,
                           uint16_t inputLength, uint8_t* output, uint16_t outputSize) {
    TNciRequest r{};
    r.kind = NCI_REQ_IOCTL;
    r.value = code;
    r.instance = instance;
    r.timeout = timeout;
    r.input = input;
    r.inputLength = inputLength;
    r.output = output;
    r.outputSize = outputSize;
    request(nciOf(ll), r);
}

void nciHandleSelectReq(TNfcllContext* ll, uint8_t index) {
    TNciRequest r{};
    r.kind = NCI_REQ_SELECT;
    r.index = index;
    request(nciOf(ll), r);
}

void nciTimerExpired(TNfcllContext* ll, uint8_t timerId) {
    TNciContext* nci = nciOf(ll);
    nci->flags &= ~NCI_FLAG_RESPONSE_TIMER;
    switch (timerId) {
    case NCI_TIMER_RESPONSE:
    case NCI_TIMER_HCI_ADMIN:
    case NCI_TIMER_HCI_EXCHANGE:
        TRACE(kTrcNci, "nci:  ! chip watch response timer expired");
        // The command is given up: a response that still comes answers nothing.
        if (timerId == NCI_TIMER_RESPONSE) nci->awaitedResponse = 0;
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
        TNciRequest r{};
        r.kind = NCI_REQ_DEACTIVATE;
        request(nciOf(ll), r);
        return 0;
    }
    return NCI_CAUSE_FAILED;
}

void nciHandlePhResetRequest(TNfcllContext* ll) {
    TNciRequest r{};
    r.kind = NCI_REQ_RESET;
    request(nciOf(ll), r);
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
    // Nobody waits for an answer: the controller itself failed, and the layers above must know.
    case evNciTimeout:
    case evNciError: nciReportFault(nci); break;
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
    case evNciError: nciReportFault(nci); return Mapped::Handled;
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
    case evNciState: nfcllSendUsTransactionInd(ll, nullptr, NFCLL_CAUSE_WRONG_STATE, 0); return Mapped::Handled;
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
    case evNciError: nciReportFault(nci); return Mapped::Handled;
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
    settle(nci);
    return true;
}

void nciReportFault(TNciContext* nci) {
    if (nci->recovering && nci->faultReported) return;
    nci->faultReported = nci->recovering;
    nfcllSendUsCause(nci->ll, NFCLL_ERROR_IND, NCI_CAUSE_FAILED);
}

void nciRecoverController(TNciContext* nci, bool report) {
    TRACE(NFCLL_TRC_ERROR, "nci: ! controller lost its state in %s, bringing it up again", smStateName(&nci->sm, nci->sm.current));
    const bool depended = nci->transType != NCI_TRANSTYPE_IDLE || nci->seWaiting || nci->tagType != 0 || endpointActive(nci);
    nci->recovering = true;
    nci->faultReported = false;
    nciStopResponseTimer(nci);
    for (uint8_t timer : {NCI_TIMER_HCI_ADMIN, NCI_TIMER_HCI_EXCHANGE, NCI_TIMER_HCI_PIPE, NCI_TIMER_MIFARE})
        nfcllResetTimer(nci->ll, timer);
    nci->awaitedResponse = 0;
    nci->heldCount = 0;
    // The request under way fails; a reset that layer 1 asked for is answered when it is done.
    for (int k = 0; k < 2 && nci->transType != NCI_TRANSTYPE_IDLE && nci->transType != NCI_TRANSTYPE_RESET; ++k)
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciRecoverController");
    if (report || depended) nciReportFault(nci);
    nciSetTagType(nci, 0);
    nciPushEvent(nci, EV_NCI_CORE_RESET_CMD);
}

void nciSetTagType(TNciContext* nci, uint32_t tagType) {
    nci->tagType = tagType;
    nci->ll->mode = activationKind(tagType);
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

void nciAnswerRequestUnderWay(TNciContext* nci, const char* source) {
    if (nci->transType != NCI_TRANSTYPE_IDLE && nci->transType != NCI_TRANSTYPE_RESET)
        nciSignalError(NCI_CAUSE_FAILED, nci, source);
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
    constexpr uint16_t kCoreReset = 0x2000;
    const bool command = opcode >= 0x2000;
    // NCI takes one command at a time; only a reset may take the place of one left unanswered.
    if (command && nci->awaitedResponse && opcode != kCoreReset) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! command %#x refused, the response %#x is still awaited", static_cast<unsigned>(opcode),
              static_cast<unsigned>(nci->awaitedResponse));
        return NFCLL_CAUSE_WRONG_STATE;
    }
    if (nci->flags & NCI_FLAG_RESPONSE_TIMER)
        TRACE(kTrcNci, "nci: ! WARNING, sending message %#x while timer is running", static_cast<unsigned>(opcode));
    const uint32_t result = nciPacketSend(0, &nci->packet, opcode, payload, length);
    if (result != 0 && result != NCI_CAUSE_PENDING) return result;
    if (command) nci->awaitedResponse = static_cast<uint16_t>(opcode + 0x2000);
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
