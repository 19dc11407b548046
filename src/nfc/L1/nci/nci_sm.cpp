// The NCI driver's state machine: the start-up states, Idle and the default handler.
#include <iterator>

#include "L1/nci/nci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;

TNciContext* nciOf(TStateMachine* sm) { return static_cast<TNciContext*>(sm->owner); }

uint32_t changeTo(TStateMachine* sm, SmHandler next) { return nciChangeTo(sm, next); }

void traceSendError(const char* state, uint32_t cause, uint16_t event) {
    TRACE(NFCLL_TRC_ERROR, "nci: (%s) Received cause 0x%02X while processing event 0x%02X", state,
          static_cast<unsigned>(cause), static_cast<unsigned>(event));
}

// Start-up failed: layer 1 learns it and the machine waits for the next reset.
uint32_t startupFailed(TStateMachine* sm, uint32_t outcome) {
    TNciContext* nci = nciOf(sm);
    nciSignalCompletion(nci, outcome);
    nci->recovering = false;
    return changeTo(sm, &nciStateDeact);
}

// Layer 1 gave the activation up (its time-out, or the link went): the start-up stops where it
// is, says nothing more, and a new activation starts it from the beginning.
bool startupAbandoned(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    const uint32_t state = nci->ll->state;
    if (event == EV_SM_EXIT || state == NFCLL_STATE_ACTIVATING || state == NFCLL_STATE_ACTIVE ||
        state == NFCLL_STATE_RESET_REQUESTED)
        return false;
    TRACE(NFCLL_TRC_ERROR, "nci: ! start-up abandoned by layer 1 (state %d)", static_cast<int>(state));
    nci->initState = NCI_INIT_NONE;
    nci->recovering = false;
    return true;
}

// A request the current state cannot serve is answered at once, so that no requester waits for ever.
uint32_t refuseRequest(TStateMachine* sm, uint16_t event, uint32_t outcome) {
    TRACE(kTrcNci, "nci: ! Unhandled event %s in state %s", smEventName(event), smStateName(sm, sm->current));
    nciSignalCompletion(nciOf(sm), outcome);
    return SM_DONE;
}

uint32_t nciStateInitCmd(TStateMachine* sm, uint16_t event);
uint32_t nciStateInit(TStateMachine* sm, uint16_t event);
uint32_t nciDefaultHandler(TStateMachine* sm, uint16_t event);

} // namespace

uint32_t nciStateReset(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    if (startupAbandoned(sm, event)) return changeTo(sm, &nciStateDeact);
    switch (event) {
    case EV_SM_ENTRY:
        nci->initState = NCI_INIT_VENDOR;
        nci->resetRetries = 0;
        [[fallthrough]];
    case EV_NCI_MARVELD_TIMEOUT:
        if (event == EV_NCI_MARVELD_TIMEOUT && nci->resetRetries++ >= NCI_RESET_RETRIES) {
            // A controller that never answers is not asked for ever.
            TRACE(NFCLL_TRC_ERROR, "nci: ! no answer to CORE_RESET_CMD");
            return startupFailed(sm, evNciTimeout);
        }
        if (uint32_t cause = nciSendCoreReset(nci); cause != 0 && cause != NCI_CAUSE_PENDING)
            traceSendError("nciStateReset", cause, event);
        return SM_DONE;
    case EV_NCI_CORE_RESET_RSP:
        nciStopResponseTimer(nci);
        if (nciHandleCoreResetRsp(nci) != 0) return startupFailed(sm, evNciError);
        nci->initCmdTimeouts = 0;
        return changeTo(sm, &nciStateInitCmd);
    // The controller resetting while it is reset anyway: the answer to the reset follows.
    case EV_NCI_CORE_RESET_NTF:
    case EV_NCI_RF_DEACTIVATE_NTF: return SM_DONE;
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

namespace {

uint32_t nciStateInitCmd(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    if (startupAbandoned(sm, event)) return changeTo(sm, &nciStateDeact);
    switch (event) {
    case EV_SM_ENTRY:
        if (uint32_t cause = nciSendCoreInit(nci); cause != 0 && cause != NCI_CAUSE_PENDING) {
            traceSendError("nciStateInitCmd", cause, event);
            return startupFailed(sm, evNciError);
        }
        return SM_DONE;
    case EV_NCI_MARVELD_TIMEOUT:
        if (++nci->initCmdTimeouts >= NCI_INIT_CMD_TIMEOUTS) return startupFailed(sm, evNciTimeout);
        return changeTo(sm, &nciStateInitCmd);
    case EV_NCI_CORE_INIT_RSP:
        nciStopResponseTimer(nci);
        if (nciHandleCoreInitRsp(nci) != 0) return startupFailed(sm, evNciError);
        return changeTo(sm, &nciStateInit);
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateInit(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    if (startupAbandoned(sm, event)) return changeTo(sm, &nciStateDeact);
    switch (event) {
    case EV_SM_ENTRY:
    case EV_NCI_CORE_SET_CONFIG_RSP:
    case EV_NCI_CORE_GET_CONFIG_RSP:
    case EV_NCI_CORE_CONN_CREATE_RSP:
    case EV_NCI_CORE_CONN_CLOSE_RSP:
    case EV_NCI_RF_DISCOVER_MAP_RSP:
    case EV_NCI_NFCEE_DISCOVER_RSP:
    case EV_NCI_NFCEE_DISCOVER_NTF:
    case EV_NCI_NFCEE_MODE_SET_RSP:
    case EV_NCI_DATA:
    case EV_NCI_NXP_PROPRIETARY_ACT_RSP:
    case EV_NCI_NXP_SET_POWER_MODE_RSP:
    case EV_NCI_MARVELD_TIMEOUT: {
        const uint16_t result = nciDoInitialization(nci, event);
        if (result == NCI_CAUSE_PENDING) return SM_DONE;
        if (result != 0) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! start-up stopped in init state %d with cause %#x",
                  static_cast<int>(nci->initState), static_cast<unsigned>(result));
            return startupFailed(sm, evNciError);
        }
        nciFinishInitialization(nci);
        nciSignalCompletion(nci, evNciResetCompleted);
        return changeTo(sm, &nciStateIdle);
    }
    case EV_NCI_RF_NFCEE_DISCOVERY_REQ_NTF: nciHandleNfceeDiscoveryReqNtf(nci); return SM_DONE;
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// CORE_SET_CONFIG_CMD with the one parameter an IO control gives: id in byte 3, value from byte 4.
void nciPrepareIoSetParamRequest(TNciContext* nci) {
    if (!nci->ioInput || nci->ioInputLength < 4) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! '%s' given param too small", "nciPrepareIoSetParamRequest");
        nciSignalError(NCI_CAUSE_INVALID_DATA, nci, "nciPrepareIoSetParamRequest");
        return;
    }
    nciParamsClear(nci);
    uint16_t cause = nciParamsAdd(nci, nci->ioInput[3], nci->ioInput + 4, nci->ioInputLength - 4u);
    if (cause == 0) {
        const uint32_t sent = nciSendSetConfig(nci);
        if (sent != 0 && sent != NCI_CAUSE_PENDING) cause = static_cast<uint16_t>(sent);
    }
    if (cause) nciSignalError(cause, nci, "nciPrepareIoSetParamRequest");
}

uint32_t nciDefaultHandler(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    // The request under way learns of the silence. A state at rest stays as the controller's is;
    // one on its way between two of them no longer knows where the controller is.
    case EV_NCI_MARVELD_TIMEOUT:
        nciSignalCompletion(nci, evNciTimeout);
        if (nciOnTheWay(nci)) nciRecoverController(nci, false);
        return SM_DONE;
    case EV_NCI_CORE_RESET_CMD: return changeTo(sm, &nciStateReset);
    // The controller reset itself: nothing it had is left; it is brought up again.
    case EV_NCI_CORE_RESET_NTF:
        nciHandleCoreResetNtf(nci);
        nciRecoverController(nci, true);
        return SM_DONE;
    case EV_NCI_CORE_SET_CONFIG_RSP:
        nciStopResponseTimer(nci);
        nciSignalCompletion(nci, nciHandleCoreSetConfigRsp(nci) == 0 ? evNciOk : evNciError);
        return SM_DONE;
    case EV_NCI_RF_FIELD_INFO_NTF: nciHandleFieldInfoNtf(nci); return SM_DONE;
    case EV_NCI_NFCEE_DISCOVER_NTF: nciHandleNfceeDiscoverNtf(nci); return SM_DONE;
    case EV_NCI_RF_NFCEE_ACTION_NTF: nciHandleNfceeActionNtf(nci); return SM_DONE;
    case EV_NCI_DOVUVODAV_SWP_WAKEUP_RSP:
        nciStopResponseTimer(nci);
        nciSignalCompletion(nci, evNciOk);
        return SM_DONE;
    // A master state that has nothing to do after its sub-state leaves the return here.
    case EV_SM_RETURNED:
    case EV_SM_RETURNED_ERROR:
    case EV_NCI_CORE_DOVUVODAV_STRING_NTF:
    case EV_NCI_CORE_DOVUVODAV_HEX_NTF:
    case EV_NCI_RF_GET_LM_ROUTING_RSP:
    case EV_NCI_RF_GET_LM_ROUTING_NTF:
    case EV_NCI_DOVUVODAV_PRESENCE_CHECK_NTF: return SM_DONE;
    case EV_NCI_NFCEE_MODE_SET_RSP:
        nciStopResponseTimer(nci);
        nciHandleNfceeModeSetRsp(nci);
        return SM_DONE;
    case EV_NCI_RF_NFCEE_DISCOVERY_REQ_NTF:
        nciHandleNfceeDiscoveryReqNtf(nci);
        return sm->current == &nciStateIdle && nciListenMaskChanged(nci) ? changeTo(sm, &nciStateStartDiscovery)
                                                                         : SM_DONE;
    case EV_NCI_HCI_TIMEOUT: nciHciUpdateIdentity(nci); return SM_DONE;
    // The HCI network's messages arrive whatever the state: pipes, identity, transactions.
    case EV_NCI_DATA:
        if (nciHciOwnsData(nci, nci->rxConnId)) nciHciReceive(nci);
        else TRACE(kTrcNci, "nci: ! data on connection %d not awaited in state %s", nci->rxConnId, smStateName(sm, sm->current));
        return SM_DONE;
    case EV_NCI_CREDIT: nciHciCredit(nci); return SM_DONE;
    case EV_NCI_IO_SE_REQUEST:
        TRACE(NFCLL_TRC_ERROR, "nci: ! SE io control only allowed in IDLE and DISCOVERY");
        nciSignalCompletion(nci, evNciState);
        return SM_DONE;
    case EV_NCI_RADIO_ON_REQUEST: nciSignalCompletion(nci, evNciState); return SM_DONE;
    case EV_NCI_IO_SET_PARAMETER: nciPrepareIoSetParamRequest(nci); return SM_DONE;
    case EV_NCI_RESET_TIMER:
        if (nci->flags & NCI_FLAG_RESPONSE_TIMER) nfcllRestartTimer(nci->ll, NCI_TIMER_RESPONSE, nci->responseTimeout);
        return SM_DONE;
    case EV_NCI_MARVELD_DATA_REQ:
    case EV_NCI_MARVELD_PRESENCE_CHECK:
        // No tag is active: the requester gets its answer now rather than never.
        TRACE(NFCLL_TRC_ERROR, "nci: ! %s without an active tag in state %s", smEventName(event),
              smStateName(sm, sm->current));
        nciSignalCompletion(nci, evNciError);
        return SM_DONE;
    case EV_NCI_RF_DISCOVER_CMD:
        if (!nciListenMaskChanged(nci)) {
            if (!nciSendOk(nciSendDeactivate(nci, 3))) nciSignalError(NCI_CAUSE_FAILED, nci, "nciDefaultHandler");
            return SM_DONE;
        }
        return changeTo(sm, &nciStateDiscoveryStop);
    case EV_NCI_RF_DEACTIVATE_CMD: return changeTo(sm, &nciStateDiscoveryStop);
    case EV_NCI_RADIO_OFF_REQUEST: return changeTo(sm, &nciStateRadioDisable);
    case EV_NCI_IO_GET_PARAMETER: return nciEnterSubState(sm, &nciStateIoGetParameter);
    case EV_NCI_ECHO_REQUEST: return nciEnterSubState(sm, &nciStateNfccLoopback);
    case EV_NCI_IO_RAW_REQUEST: return nciEnterSubState(sm, &nciStateRawRequest);
    case EV_NCI_RF_DISCOVER_SELECT_CMD: return refuseRequest(sm, event, evNciError);
    case EV_NCI_SLEEP:
    case EV_NCI_RF_PARAMETER_UPDATE_CMD:
    case EV_NCI_RF_T3T_POLLING_CMD: return refuseRequest(sm, event, evNciState);
    // Their IO controls are answered when they are asked; a state that cannot serve them lets them pass.
    case EV_NCI_WAKE_UP:
    case EV_NCI_WAKE_UP_DONE_NTF: return SM_DONE;
    default:
        TRACE(kTrcNci, "nci: ! Unhandled event %s in state %s", smEventName(event), smStateName(sm, sm->current));
        return SM_DONE;
    }
}

#define NCI_STATE_ENTRY(name) {&name, #name},
const SmStateEntry kStates[] = {
    NCI_STATE_ENTRY(nciStateDeact) NCI_STATE_ENTRY(nciStateReset) NCI_STATE_ENTRY(nciStateInitCmd)
    NCI_STATE_ENTRY(nciStateInit) NCI_STATE_ENTRY(nciStateIdle) NCI_RF_STATES(NCI_STATE_ENTRY)
    NCI_STATE_ENTRY(nciDefaultHandler)
};
#undef NCI_STATE_ENTRY

} // namespace

uint32_t nciStateDeact(TStateMachine* sm, uint16_t event) {
    switch (event) {
    case EV_NCI_CORE_RESET_CMD: return changeTo(sm, &nciStateReset);
    case EV_SM_ENTRY:
    case EV_SM_EXIT:
    case EV_NCI_NFCEE_DISCOVER_NTF:
    // A controller that is not up takes nothing but a reset.
    case EV_NCI_CORE_RESET_NTF: return SM_DONE;
    case EV_NCI_RF_DISCOVER_CMD:
    case EV_NCI_RF_DEACTIVATE_CMD:
    case EV_NCI_IO_SET_PARAMETER:
    case EV_NCI_IO_GET_PARAMETER:
    case EV_NCI_IO_RAW_REQUEST:
    case EV_NCI_ECHO_REQUEST:
    case EV_NCI_RADIO_OFF_REQUEST: return refuseRequest(sm, event, evNciState);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateIdle(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY:
        nciDefaultHooks(nci);
        nciSetTagType(nci, 0);
        return SM_DONE;
    case EV_SM_RETURNED: return nciListenMaskChanged(nci) ? changeTo(sm, &nciStateStartDiscovery) : SM_DONE;
    case EV_NCI_RF_DISCOVER_CMD: return changeTo(sm, &nciStateStartDiscovery);
    case EV_NCI_RF_DEACTIVATE_CMD: nciSignalCompletion(nci, evNciDeactivateInd); return SM_DONE;
    case EV_NCI_WAKE_UP_DONE_RSP: nciSignalCompletion(nci, evNciOk); return SM_DONE;
    case EV_NCI_RADIO_OFF_REQUEST: return changeTo(sm, &nciStateRadioOff);
    case EV_NCI_IO_SE_REQUEST: return nciEnterSubState(sm, &nciStateIoSeRequest);
    case EV_NCI_RF_SET_LM_ROUTING_RSP:
    case EV_SM_RETURNED_ERROR: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciChangeTo(TStateMachine* sm, SmHandler next) {
    sm->next = next;
    sm->master = nullptr;
    return SM_CHANGE;
}

namespace {

// A sub-state takes every message of the controller until it returns. Only a state that is at
// rest can host one: start-up, the steps of discovery and deactivation, and a state with a
// command or an exchange under way wait for answers that the sub-state would swallow. The
// machine keeps one master: a second level would lose the way back.
bool canHostSubState(const TStateMachine* sm, SmHandler sub) {
    // A secure element answers while a reader talks to the host or to it.
    const bool listening = sub == &nciStateIoSeRequest &&
                           (sm->current == &nciStateListenActive || sm->current == &nciStateListenSleep);
    const bool resting = sm->current == &nciStateIdle || sm->current == &nciStateDiscovery ||
                         sm->current == &nciStatePollActive || sm->current == &nciStateMfPollActive || listening;
    return resting && !sm->master && !(static_cast<const TNciContext*>(sm->owner)->flags & NCI_FLAG_RESPONSE_TIMER);
}

} // namespace

bool nciStartingUp(const TNciContext* nci) {
    const SmHandler s = nci->sm.current;
    return s == &nciStateReset || s == &nciStateInitCmd || s == &nciStateInit;
}

bool nciOnTheWay(const TNciContext* nci) {
    static const SmHandler kOnTheWay[] = {&nciStateStartDiscovery, &nciStateDiscoveryStop, &nciStatePollActiveDeact,
                                          &nciStateListenActiveDeact, &nciStateInvalidActive, &nciStateRadioDisable,
                                          &nciStateWakeup, &nciStateMfPresenceCheck};
    for (SmHandler s : kOnTheWay)
        if (nci->sm.current == s) return true;
    return false;
}

bool nciBusy(const TNciContext* nci) {
    return nci->sm.master || nci->awaitedResponse || (nci->flags & NCI_FLAG_RESPONSE_TIMER) || nciStartingUp(nci) ||
           nciOnTheWay(nci);
}

bool nciHeldBySubState(const TNciContext* nci, uint16_t event) {
    const SmHandler s = nci->sm.current;
    if (!nci->sm.master || (s != &nciStateIoSeRequest && s != &nciStateIoGetParameter && s != &nciStateNfccLoopback &&
                            s != &nciStateRawRequest))
        return false;
    switch (event) {
    case EV_NCI_RF_DISCOVER_NTF:
    case EV_NCI_RF_INTF_ACTIVATED_NTF:
    case EV_NCI_RF_DEACTIVATE_NTF:
    case EV_NCI_CORE_GENERIC_ERROR_NTF: return true;
    // An interface error of the RF connection is the master's; one of the sub-state's own connection is its.
    case EV_NCI_CORE_INTERFACE_ERROR_NTF: return nci->rxLength >= 2 && nci->rxPayload[1] == 0;
    default: return false;
    }
}

uint32_t nciEnterSubState(TStateMachine* sm, SmHandler sub) {
    if (!canHostSubState(sm, sub)) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! %s refused in state %s", smStateName(sm, sub), smStateName(sm, sm->current));
        nciSignalCompletion(nciOf(sm), evNciState);
        return SM_DONE;
    }
    sm->master = sm->current;
    sm->next = sub;
    return SM_SUBSTATE;
}

void nciStateMachineInit(TNciContext* nci) {
    smInit(&nci->sm, &nciStateDeact, &nciDefaultHandler, nci, kStates, static_cast<uint16_t>(std::size(kStates)), "nci:",
           kTrcNci);
    smRegisterEventNames(NCI_EVENT_CLASS, NCI_EVENT_COUNT, kNciEventNames);
}
