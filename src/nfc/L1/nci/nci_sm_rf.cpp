// The NCI driver's RF states: discovery and its set-up, host selection, the active poll side
// and its deactivation, the listen side (the host as a card or a P2P target), radio off,
// wake-up, and the direct IO sub-states.
#include <cstring>

#include "L1/nci/nci.h"
#include "util/stackbytes.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;
constexpr uint32_t kPollTypes = 0xF07;
constexpr uint8_t kLoopbackBytes[3] = {0x06, 0x06, 0x06};

enum : uint8_t { DEACT_IDLE = 0, DEACT_SLEEP = 1, DEACT_SLEEP_AF = 2, DEACT_DISCOVERY = 3 };

TNciContext* nciOf(TStateMachine* sm) { return static_cast<TNciContext*>(sm->owner); }

// Sends and, when that fails, reports it as the state's error.
bool sendOrSignal(TNciContext* nci, uint32_t result, const char* state) {
    if (nciSendOk(result)) return true;
    nciSignalError(static_cast<uint16_t>(result), nci, state);
    return false;
}

// After a deactivation to idle: discovery again when the listen mask changed, else idle.
uint32_t afterIdleDeactivation(TStateMachine* sm) {
    return nciChangeTo(sm, nciListenMaskChanged(nciOf(sm)) ? &nciStateStartDiscovery : &nciStateIdle);
}

// Errors after which the controller is still discovering: an activation that failed, a
// discovery it tore down itself.
bool discoveryGoesOn(uint8_t status) { return status == 0xA1 || status == 0xA2; }

uint32_t byDeactivationType(TStateMachine* sm) {
    // The endpoint is no longer active: after a sleep it is selected anew.
    nciOf(sm)->selecting = NCI_NO_ENDPOINT;
    switch (nciOf(sm)->deactType) {
    case DEACT_IDLE: return afterIdleDeactivation(sm);
    case DEACT_DISCOVERY: return nciChangeTo(sm, &nciStateDiscovery);
    default: return nciChangeTo(sm, &nciStateW4HostSelect);
    }
}

// The outcome of an activation notification in the discovery states.
uint32_t activated(TStateMachine* sm, uint16_t result) {
    TNciContext* nci = nciOf(sm);
    if (result == 0) {
        if (!nci->active.listen && nci->active.rfInterface != 0) return nciChangeTo(sm, nciPollActiveState(nci));
        return nciChangeTo(sm, &nciStateListenActive);
    }
    if (result == 5) return SM_DONE;
    if (result == NCI_CAUSE_FAILED && nci->activeListenTypes == 0) {
        TRACE(kTrcNci, "nci: Waiting for DEACTIVATE_NTF, ignoring ACTIVATED_NTF");
        return SM_DONE;
    }
    return nciChangeTo(sm, &nciStateInvalidActive);
}

// RF_PARAMETER_UPDATE_CMD and its answer, alike in the poll and the listen states.
uint32_t parameterUpdate(TNciContext* nci, uint16_t event, const char* state) {
    if (event == EV_NCI_RF_PARAMETER_UPDATE_CMD) {
        if (const uint16_t cause = nciSendParameterUpdate(nci)) nciSignalError(cause, nci, state);
        return SM_DONE;
    }
    nciStopResponseTimer(nci);
    if (nciHandleStatusRsp(nci, "nciHandleParameterUpdateRsp") != 0) TRACE(NFCLL_TRC_ERROR, "nci: ! Error setting parameter");
    return SM_DONE;
}

// A deactivation notification while the host is the card: where the reader (or the host) sent it.
uint32_t listenDeactivated(TStateMachine* sm) {
    TNciContext* nci = nciOf(sm);
    nci->selecting = NCI_NO_ENDPOINT;
    switch (nci->deactType) {
    case DEACT_IDLE: return afterIdleDeactivation(sm);
    case DEACT_DISCOVERY: return nciChangeTo(sm, &nciStateDiscovery);
    case DEACT_SLEEP:
    case DEACT_SLEEP_AF: return nciChangeTo(sm, &nciStateListenSleep);
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: Unsupported deactivateMode 0x%X", static_cast<unsigned>(nci->deactType));
        return SM_DONE;
    }
}

// The deactivation answer of the listen states: only an error is worth a word.
void listenDeactivateRsp(TNciContext* nci) {
    if (nciHandleDeactivateRsp(nci) == 0) return;
    nciStopResponseTimer(nci);
    nciSignalCompletion(nci, evNciError);
}

uint32_t finishDiscoveryInit(TStateMachine* sm, uint16_t result) {
    TNciContext* nci = nciOf(sm);
    if (result == NCI_CAUSE_PENDING) return SM_DONE;
    // The controller is discovering now: a new set-up takes it back to idle first, since it
    // refuses a second RF_DISCOVER_CMD while discovery runs.
    if (result == 0)
        return nciChangeTo(sm, nciListenMaskChanged(nci) ? &nciStateDiscoveryStop : &nciStateDiscovery);
    if (result == NCI_CAUSE_NO_RESOURCES) nciSignalCompletion(nci, evNciInternalError);
    else nciSignalError(result, nci, "nciStateStartDiscovery");
    return nciChangeTo(sm, &nciStateIdle);
}

// The data of a request on the static RF connection, with the response timer.
void sendData(TNciContext* nci, const char* state) {
    sendOrSignal(nci, nciSendCommand(nci, 0x0000, nci->txData, nci->txLength), state);
}

} // namespace

// Only a tag activated on the maker's MIFARE interface takes its framing: a MIFARE Plus card in
// security level 0, or an ISO-DEP card that may be one, talks ISO-DEP.
SmHandler nciPollActiveState(const TNciContext* nci) {
    constexpr uint8_t kMakerMifareInterface = 6;   // internal number of maker 0x04's interface 0x80
    if (nci->maker == 0x04 && (nci->tagType & NFCLL_TAG_MIFARE_CLASSIC) &&
        nci->active.rfInterface == kMakerMifareInterface)
        return &nciStateMfPollActive;
    return &nciStatePollActive;
}

uint32_t nciStateStartDiscovery(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY:
        nci->discState = NCI_DISC_INIT;
        return finishDiscoveryInit(sm, nciRunDiscoveryInit(nci, event));
    case EV_NCI_CORE_SET_CONFIG_RSP:
    case EV_NCI_RF_SET_LM_ROUTING_RSP:
    case EV_NCI_RF_GET_LM_ROUTING_NTF:
    case EV_NCI_RF_DISCOVER_RSP:
    case EV_NCI_NFCEE_MODE_SET_RSP:
    case EV_NCI_DOVUVODAV_PRESENCE_CHECK_RSP:
    case EV_NCI_DOVUVODAV_PC_DEACTIVATE_RSP:
    case EV_NCI_DOVUVODAV_SET_PM_ROUTING_RSP:
        nciStopResponseTimer(nci);
        return finishDiscoveryInit(sm, nciRunDiscoveryInit(nci, event));
    // A new listen request waits for the set-up under way, which looks at the mask when it ends.
    case EV_NCI_RF_DISCOVER_CMD: return SM_DONE;
    case EV_NCI_RF_NFCEE_DISCOVERY_REQ_NTF: nciHandleNfceeDiscoveryReqNtf(nci); return SM_DONE;
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateDiscovery(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY:
        nciSetTagType(nci, 0);
        nci->techTimeout = 0;
        nci->selecting = NCI_NO_ENDPOINT;
        return SM_DONE;
    case EV_SM_RETURNED:
    case EV_SM_RETURNED_ERROR:
        return (nciListenMaskChanged(nci) || nci->routing.changed) ? nciChangeTo(sm, &nciStateDiscoveryStop) : SM_DONE;
    // Any other error leaves the controller's discovery in doubt: it is brought up again, and the
    // listen asked for resumes.
    case EV_NCI_CORE_GENERIC_ERROR_NTF:
        nciHandleGenericErrorNtf(nci);
        if (!discoveryGoesOn(nci->genericErrorStatus)) nciRecoverController(nci, false);
        return SM_DONE;
    case EV_NCI_RF_DISCOVER_CMD:
        if (nciListenMaskChanged(nci)) return nciChangeTo(sm, &nciStateDiscoveryStop);
        nciSignalCompletion(nci, evNciListenActive);
        return SM_DONE;
    case EV_NCI_RF_DISCOVER_NTF: {
        nci->endpointCount = 0;
        nci->selecting = NCI_NO_ENDPOINT;
        const uint16_t result = nciHandleDiscoverNtf(nci);
        if (result == NCI_CAUSE_PENDING) return nciChangeTo(sm, &nciStateW4AllDiscoveries);
        if (result != 0) return SM_DONE;
        TRACE(kTrcNci, "nci: ! WARNING: Only single discovery notification received");
        nci->selected = &nci->endpoints[0];
        nciPushEvent(nci, EV_NCI_RF_DISCOVER_SELECT_CMD);
        return nciChangeTo(sm, &nciStateW4HostSelect);
    }
    case EV_NCI_RF_INTF_ACTIVATED_NTF: return activated(sm, nciHandleIntfActivatedNtf(nci));
    case EV_NCI_WAKE_UP_DONE_RSP: nciSignalCompletion(nci, evNciOk); return SM_DONE;
    case EV_NCI_WAKE_UP_DONE_NTF: return nciChangeTo(sm, &nciStateWakeup);
    case EV_NCI_IO_SE_REQUEST: return nciEnterSubState(sm, &nciStateIoSeRequest);
    case EV_NCI_RF_NFCEE_DISCOVERY_REQ_NTF:
        nciHandleNfceeDiscoveryReqNtf(nci);
        return nciListenMaskChanged(nci) ? nciChangeTo(sm, &nciStateDiscoveryStop) : SM_DONE;
    case EV_SM_EXIT:
    case EV_NCI_RF_DEACTIVATE_NTF: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateDiscoveryStop(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY: sendOrSignal(nci, nciSendDeactivate(nci, DEACT_IDLE), "nciStateDiscoveryStop"); return SM_DONE;
    case EV_NCI_RF_DEACTIVATE_RSP:
        nciStopResponseTimer(nci);
        nci->activeListenTypes = 0;
        nciNfceeReportListenStates(nci);
        if (nciListenMaskChanged(nci)) return nciChangeTo(sm, &nciStateStartDiscovery);
        nciSignalCompletion(nci, evNciListenActive);
        return nciChangeTo(sm, &nciStateIdle);
    // A tag the controller had active is reported gone before the answer.
    case EV_NCI_RF_DEACTIVATE_NTF:
    case EV_NCI_RF_DISCOVER_CMD: return SM_DONE;
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateW4AllDiscoveries(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_NCI_RF_DISCOVER_NTF:
        return nciHandleDiscoverNtf(nci) == 0 ? nciChangeTo(sm, &nciStateW4HostSelect) : SM_DONE;
    case EV_NCI_RF_DEACTIVATE_RSP:
        nciSignalCompletion(nci, evNciListenCanceled);
        return nciChangeTo(sm, &nciStateIdle);
    // Before a selection the controller only goes back to idle: a new listen request starts over.
    case EV_NCI_RF_DISCOVER_CMD: return nciChangeTo(sm, &nciStateDiscoveryStop);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateW4HostSelect(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_NCI_RF_DISCOVER_SELECT_CMD:
        if (nci->selected) sendOrSignal(nci, nciSendDiscoverSelect(nci), "nciStateW4HostSelect");
        return SM_DONE;
    case EV_NCI_WAKE_UP:
        if (nci->deactMode == DEACT_SLEEP && nci->selected)
            sendOrSignal(nci, nciSendDiscoverSelect(nci), "nciStateW4HostSelect");
        return SM_DONE;
    case EV_NCI_RF_DISCOVER_SELECT_RSP:
        if (nciHandleStatusRsp(nci, "nciHandleDiscoverSelectRsp") == 0) {
            nciSignalCompletion(nci, evNciOk);
            return SM_DONE;
        }
        nciSignalCompletion(nci, evNciError);
        return nciChangeTo(sm, &nciStateIdle);
    case EV_NCI_RF_INTF_ACTIVATED_NTF:
        nciStopResponseTimer(nci);
        return activated(sm, nciHandleIntfActivatedNtf(nci));
    case EV_NCI_RF_DEACTIVATE_RSP:
        nciSignalCompletion(nci, evNciListenCanceled);
        return nciChangeTo(sm, &nciStateIdle);
    case EV_NCI_MARVELD_PRESENCE_CHECK: nciSignalCompletion(nci, evNciState); return SM_DONE;
    // No activation came: the controller is taken back to idle once, the only way out it allows here.
    case EV_NCI_MARVELD_TIMEOUT:
    case EV_NCI_RF_DISCOVER_CMD: return nciChangeTo(sm, &nciStateDiscoveryStop);
    // The selected endpoint did not come up: the controller discovers again. A select still
    // waiting learns it; any other error leaves the controller in doubt.
    case EV_NCI_CORE_GENERIC_ERROR_NTF:
        nciHandleGenericErrorNtf(nci);
        if (!discoveryGoesOn(nci->genericErrorStatus)) {
            nciRecoverController(nci, false);
            return SM_DONE;
        }
        nciStopResponseTimer(nci);
        if (nci->transType == NCI_TRANSTYPE_SELECT) nciSignalCompletion(nci, evNciError);
        return nciChangeTo(sm, &nciStateDiscovery);
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStatePollActive(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_NCI_MARVELD_DATA_REQ:
    case EV_NCI_MARVELD_PRESENCE_CHECK: sendData(nci, "nciStatePollActive"); return SM_DONE;
    case EV_NCI_DATA:
        if (nci->rxConnId != 0) return SM_NOT_HANDLED;   // an NFCEE's, not the RF's
        TRACE(kTrcNci, "nci: response after %d ms", static_cast<int>(platTickMs() - nci->ll->requestTick));
        nciStopResponseTimer(nci);
        nciHandleData(nci);
        return SM_DONE;
    case EV_NCI_MARVELD_TIMEOUT: nciSignalError(NCI_CAUSE_FAILED, nci, "nciStatePollActive"); return SM_DONE;
    case EV_NCI_CORE_GENERIC_ERROR_NTF:
    case EV_NCI_CORE_INTERFACE_ERROR_NTF:
        nciStopResponseTimer(nci);
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciStatePollActive");
        return SM_DONE;
    case EV_NCI_RF_DISCOVER_CMD:
        nci->deactMode = nfcmanOptionByte() == 2 ? DEACT_SLEEP : DEACT_DISCOVERY;
        return nciChangeTo(sm, &nciStatePollActiveDeact);
    case EV_NCI_RF_DEACTIVATE_CMD:
        nci->deactMode = DEACT_IDLE;
        return nciChangeTo(sm, &nciStatePollActiveDeact);
    case EV_NCI_SLEEP:
        // The sleeping tag is the one a wake-up selects again.
        nci->deactMode = DEACT_SLEEP;
        nci->selected = &nci->active;
        return nciChangeTo(sm, &nciStatePollActiveDeact);
    // The controller reports a lost tag itself, whoever made it: the driver follows it.
    case EV_NCI_RF_DEACTIVATE_NTF:
        nciStopResponseTimer(nci);
        nciHandleDeactivateNtf(nci);
        return byDeactivationType(sm);
    case EV_NCI_DOVUVODAV_PRESENCE_CHECK_NTF:
        nciSignalCompletion(nci, evNciTagRemoved);
        return nciChangeTo(sm, &nciStateDiscovery);
    case EV_NCI_RF_T3T_POLLING_CMD:
        if (nci->active.protocol == 3 && !nci->active.listen) sendOrSignal(nci, nciSendT3tPolling(nci), "nciStatePollActive");
        else nciSignalError(NCI_CAUSE_WRONG_PARAMETER, nci, "nciStatePollActive");
        return SM_DONE;
    case EV_NCI_RF_T3T_POLLING_RSP:
        if (nciHandleStatusRsp(nci, "nciHandleT3tPollingRsp") == 0) return SM_DONE;
        nciStopResponseTimer(nci);
        nciSignalCompletion(nci, evNciError);
        return SM_DONE;
    case EV_NCI_RF_T3T_POLLING_NTF:
        nciStopResponseTimer(nci);
        nciSignalCompletion(nci, nciHandleT3tPollingNtf(nci) == 0 ? evNciOk : evNciError);
        return SM_DONE;
    case EV_NCI_RF_PARAMETER_UPDATE_CMD:
    case EV_NCI_RF_PARAMETER_UPDATE_RSP: return parameterUpdate(nci, event, "nciStatePollActive");
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStatePollActiveDeact(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY: {
        const uint8_t type = nciListenMaskChanged(nci) ? DEACT_IDLE : nci->deactMode == DEACT_SLEEP ? DEACT_SLEEP : DEACT_DISCOVERY;
        sendOrSignal(nci, nciSendDeactivate(nci, type), "nciStatePollActiveDeact");
        return SM_DONE;
    }
    case EV_NCI_RF_DEACTIVATE_RSP:
        if (nci->rxLength != 1 || nci->rxPayload[0] != 0) {
            nciStopResponseTimer(nci);
            nciSignalCompletion(nci, evNciError);
        }
        return SM_DONE;
    case EV_NCI_RF_DEACTIVATE_NTF:
        nciStopResponseTimer(nci);
        nciHandleDeactivateNtf(nci);
        if (!(nci->flags & NCI_FLAG_LISTENING)) nciSignalCompletion(nci, evNciListenCanceled);
        return byDeactivationType(sm);
    case EV_SM_EXIT:
        nciStopResponseTimer(nci);
        nciSetTagType(nci, 0);
        return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateListenActive(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_NCI_MARVELD_DATA_REQ: sendData(nci, "nciStateListenActive"); return SM_DONE;
    case EV_NCI_DATA:
        if (nci->rxConnId != 0) return SM_NOT_HANDLED;   // an NFCEE's, not the RF's
        nciStopResponseTimer(nci);
        nciHandleData(nci);
        return SM_DONE;
    case EV_NCI_MARVELD_TIMEOUT:
    case EV_NCI_CORE_INTERFACE_ERROR_NTF:
        nciStopResponseTimer(nci);
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciStateListenActive");
        return SM_DONE;
    case EV_NCI_RF_DISCOVER_CMD:
        return nciListenMaskChanged(nci) ? nciChangeTo(sm, &nciStateDiscoveryStop) : SM_NOT_HANDLED;
    case EV_NCI_RF_DEACTIVATE_CMD:
        nci->deactMode = DEACT_IDLE;
        return nciChangeTo(sm, &nciStateListenActiveDeact);
    case EV_NCI_SLEEP:
        nci->deactMode = DEACT_SLEEP;
        return nciChangeTo(sm, &nciStateListenActiveDeact);
    case EV_NCI_RF_DEACTIVATE_RSP: listenDeactivateRsp(nci); return SM_DONE;
    case EV_NCI_RF_DEACTIVATE_NTF:
        nciStopResponseTimer(nci);
        nciHandleDeactivateNtf(nci);
        return listenDeactivated(sm);
    case EV_NCI_RF_PARAMETER_UPDATE_CMD:
    case EV_NCI_RF_PARAMETER_UPDATE_RSP: return parameterUpdate(nci, event, "nciStateListenActive");
    case EV_NCI_RF_INTF_ACTIVATED_NTF: return SM_DONE;
    case EV_NCI_IO_SE_REQUEST: return nciEnterSubState(sm, &nciStateIoSeRequest);
    case EV_SM_RETURNED:
    case EV_SM_RETURNED_ERROR: return SM_DONE;
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateListenActiveDeact(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY: sendOrSignal(nci, nciSendDeactivate(nci, nci->deactMode), "nciStateListenActiveDeact"); return SM_DONE;
    case EV_NCI_RF_DEACTIVATE_RSP: listenDeactivateRsp(nci); return SM_DONE;
    case EV_NCI_RF_DEACTIVATE_NTF:
        nciStopResponseTimer(nci);
        if (!(nci->flags & NCI_FLAG_LISTENING)) nciSignalCompletion(nci, evNciListenCanceled);
        nciHandleDeactivateNtf(nci);
        return listenDeactivated(sm);
    // The reader's data that crossed the request are still the reader's.
    case EV_NCI_DATA:
        if (nci->rxConnId != 0) return SM_NOT_HANDLED;   // an NFCEE's, not the RF's
        nciHandleData(nci);
        return SM_DONE;
    case EV_SM_EXIT:
        nciStopResponseTimer(nci);
        nciSetTagType(nci, 0);
        return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateListenSleep(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_NCI_RF_INTF_ACTIVATED_NTF:
        return nciHandleIntfActivatedNtf(nci) == 0 ? nciChangeTo(sm, &nciStateListenActive) : SM_DONE;
    case EV_NCI_RF_DEACTIVATE_RSP:
        nciStopResponseTimer(nci);
        if (nci->deactType == DEACT_IDLE) return SM_DONE;
        nciSignalCompletion(nci, evNciListenCanceled);
        return nciChangeTo(sm, &nciStateIdle);
    case EV_NCI_RF_DEACTIVATE_NTF:
        nciStopResponseTimer(nci);
        nciHandleDeactivateNtf(nci);
        if (nci->deactType != DEACT_DISCOVERY)
            TRACE(NFCLL_TRC_ERROR, "nci: ! Unexpected deactivate mode %s in stateListenSleep",
                  nci->deactType == DEACT_IDLE ? "IDLE" : "SLEEP");
        return nciChangeTo(sm, &nciStateDiscovery);
    case EV_SM_RETURNED:
    case EV_SM_RETURNED_ERROR: return nciListenMaskChanged(nci) ? nciChangeTo(sm, &nciStateStartDiscovery) : SM_DONE;
    case EV_NCI_IO_SE_REQUEST: return nciEnterSubState(sm, &nciStateIoSeRequest);
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateInvalidActive(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY: sendOrSignal(nci, nciSendDeactivate(nci, DEACT_IDLE), "nciStateInvalidActive"); return SM_DONE;
    case EV_NCI_RF_DEACTIVATE_RSP: return SM_DONE;
    // A controller that notifies nothing after the answer is idle all the same: discovery starts again.
    case EV_NCI_MARVELD_TIMEOUT:
    case EV_NCI_RF_DEACTIVATE_NTF:
        nciStopResponseTimer(nci);
        return nciChangeTo(sm, &nciStateStartDiscovery);
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateRadioDisable(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY:
        nci->savedListenMask = nci->listenMask;
        sendOrSignal(nci, nciSendDeactivate(nci, DEACT_IDLE), "nciStateRadioDisable");
        return SM_DONE;
    case EV_NCI_RF_DEACTIVATE_RSP:
        nciStopResponseTimer(nci);
        if (nci->tagType) nciSignalCompletion(nci, evNciTagRemoved);
        return nciChangeTo(sm, &nciStateRadioOff);
    case EV_NCI_RF_DEACTIVATE_NTF: return SM_DONE;
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateRadioOff(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY:
        nciSetTagType(nci, 0);
        nci->activeListenTypes = 0;
        nciSignalCompletion(nci, evNciOk);
        return SM_DONE;
    case EV_NCI_RF_DEACTIVATE_CMD:
        nci->savedListenMask = 0;
        nciSignalCompletion(nci, evNciListenCanceled);
        return SM_DONE;
    case EV_NCI_RADIO_ON_REQUEST:
        if (!nci->savedListenMask) {
            nciSignalCompletion(nci, evNciOk);
            return nciChangeTo(sm, &nciStateIdle);
        }
        nci->listenMask = nci->savedListenMask;
        nciSignalCompletion(nci, evNciOk);
        return nciChangeTo(sm, &nciStateStartDiscovery);
    // Requests wait for the radio; what the controller sends is taken as in any state.
    case EV_NCI_RF_DISCOVER_CMD:
    case EV_NCI_MARVELD_DATA_REQ:
    case EV_NCI_MARVELD_PRESENCE_CHECK:
    case EV_NCI_RADIO_OFF_REQUEST:
    case EV_NCI_SLEEP:
    case EV_NCI_ECHO_REQUEST:
    case EV_NCI_IO_GET_PARAMETER:
    case EV_NCI_IO_SET_PARAMETER:
    case EV_NCI_IO_SE_REQUEST:
    case EV_NCI_RF_T3T_POLLING_CMD:
    case EV_NCI_RF_DISCOVER_SELECT_CMD: nciSignalCompletion(nci, evNciState); return SM_DONE;
    case EV_SM_EXIT:
    case EV_NCI_RF_DEACTIVATE_NTF: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateWakeup(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY:
        if (nci->activeListenTypes & kPollTypes) TRACE(NFCLL_TRC_ERROR, "nci: ! Found active poll listener during wakeup.");
        sendOrSignal(nci, nciSendCommand(nci, 0x2F00, nullptr, 0), "nciStateWakeup");
        return SM_DONE;
    case EV_NCI_WAKE_UP_DONE_RSP:
        nciStopResponseTimer(nci);
        return nciChangeTo(sm, &nciStateDiscovery);
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// ---- Sub-states -----------------------------------------------------------------------------
uint32_t nciStateIoGetParameter(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kTrcNci, "nci: Enter direct IO GET_PARAMETER request");
        // A count byte and at most 255 ids: a longer list is no request the controller can take.
        if (nci->ioInput && nci->ioInputLength && nci->ioInputLength <= 1u + 0xFF &&
            nciSendOk(nciSendGetConfig(nci, nci->ioInput, nci->ioInputLength)))
            return SM_DONE;
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unable to handle IOCTL");
        nciSignalError(NCI_CAUSE_INVALID_DATA, nci, "nciStateIoGetParameter");
        return SM_MASTER_ERROR;
    case EV_NCI_CORE_GET_CONFIG_RSP: {
        nciStopResponseTimer(nci);
        uint16_t length = 0;
        if (const uint16_t cause = nciHandleGetConfigRsp(nci, &length)) {
            nciSignalError(cause, nci, "nciStateIoGetParameter");
            return SM_MASTER_ERROR;
        }
        ncillUsCallback(nci, evNciDataIndication, nci->ioOutput, length);
        return SM_MASTER;
    }
    case EV_NCI_MARVELD_TIMEOUT:
        nciSignalCompletion(nci, evNciTimeout);
        return SM_MASTER_ERROR;
    case EV_SM_EXIT:
        nciStopResponseTimer(nci);
        TRACE(kTrcNci, "nci: Exit direct IO GET_PARAMETER request");
        return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateNfccLoopback(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    auto sendBytes = [&] {
        std::memcpy(nci->loopbackSent, kLoopbackBytes, sizeof kLoopbackBytes);
        const uint32_t result = nciPacketSend(nci->loopbackConnId, &nci->packet, 0x0000, nci->loopbackSent, sizeof kLoopbackBytes);
        if (nciSendOk(result)) {
            nfcllRestartTimer(nci->ll, NCI_TIMER_RESPONSE, NCI_DEFAULT_TAG_TIMEOUT);
            nci->flags |= NCI_FLAG_RESPONSE_TIMER;
            return SM_DONE;
        }
        nciSignalError(static_cast<uint16_t>(result), nci, "nciStateNfccLoopback");
        return SM_MASTER_ERROR;
    };
    switch (event) {
    case EV_SM_ENTRY:
        if (nci->loopbackConnId) return sendBytes();
        if (nciSendOk(nciSendLoopbackCreate(nci))) return SM_DONE;
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciStateNfccLoopback");
        return SM_MASTER_ERROR;
    case EV_NCI_CORE_CONN_CREATE_RSP: {
        nciStopResponseTimer(nci);
        uint8_t connId = 0;
        if (nciHandleConnCreateRsp(nci, &connId) != 0 || connId == 0) {
            nciSignalCompletion(nci, evNciError);
            return SM_MASTER_ERROR;
        }
        nci->loopbackConnId = connId;
        TRACE(kTrcNci, "nci: Loopback connection opened");
        return sendBytes();
    }
    case EV_NCI_DATA:
        if (nci->rxConnId != nci->loopbackConnId) return SM_NOT_HANDLED;
        nciStopResponseTimer(nci);
        if (nci->rxLength == sizeof kLoopbackBytes && std::memcmp(nci->rxPayload, nci->loopbackSent, sizeof kLoopbackBytes) == 0) {
            TRACE(kTrcNci, "nci: Loopback test successfull");
            ncillUsCallback(nci, evNciDataIndication, nci->loopbackSent, sizeof kLoopbackBytes);
            return SM_MASTER;
        }
        TRACE(NFCLL_TRC_ERROR, "nci: ! Loopback test failed");
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciStateNfccLoopback");
        return SM_MASTER_ERROR;
    case EV_NCI_MARVELD_TIMEOUT:
        nciSignalCompletion(nci, evNciTimeout);
        return SM_MASTER_ERROR;
    // The loop-back connection could not carry the bytes: they will not come back.
    case EV_NCI_CORE_INTERFACE_ERROR_NTF:
        if (nci->rxLength < 2 || nci->rxPayload[1] != nci->loopbackConnId) return SM_NOT_HANDLED;
        nciStopResponseTimer(nci);
        nciSignalError(NCI_CAUSE_FAILED, nci, "nciStateNfccLoopback");
        return SM_MASTER_ERROR;
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// The caller's bytes go to the controller as they are; whatever comes next ends the request, and
// a controller that sends nothing ends it with the response time-out.
uint32_t nciStateRawRequest(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY: {
        TRACE(NFCLL_TRC_ERROR, "nci: ! WARNING: Sending raw packet");
        const uint8_t* raw = nci->ioInput;
        if (!raw || !nci->ioInputLength || !nfcllSendDsData(nci->ll, raw, nci->ioInputLength)) {
            nciSignalError(NCI_CAUSE_INVALID_DATA, nci, "nciStateRawRequest");
            return SM_MASTER_ERROR;
        }
        // A command among the raw bytes is answered like any other.
        if ((raw[0] & 0xE0) == 0x20 && nci->ioInputLength >= 2)
            nci->awaitedResponse = static_cast<uint16_t>(((raw[0] & 0xEF) << 8 | raw[1]) + 0x2000);
        nci->responseTimeout = NCI_DEFAULT_TAG_TIMEOUT;
        nfcllRestartTimer(nci->ll, NCI_TIMER_RESPONSE, nci->responseTimeout);
        nci->flags |= NCI_FLAG_RESPONSE_TIMER;
        return SM_DONE;
    }
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    case EV_NCI_MARVELD_TIMEOUT:
        nciSignalCompletion(nci, evNciTimeout);
        return SM_MASTER_ERROR;
    default: nciSignalCompletion(nci, evNciOk); return SM_MASTER;
    }
}

// ---- MIFARE Classic on maker 0x04 --------------------------------------------------------------
uint32_t nciStateMfPollActive(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY: nci->mfState = NCI_MF_STATE_IDLE; return SM_DONE;
    case EV_NCI_MARVELD_DATA_REQ:
        if (const uint16_t cause = nciMifareSend(nci)) nciSignalError(cause, nci, "nciStateMfPollActive");
        return SM_DONE;
    case EV_NCI_MARVELD_PRESENCE_CHECK: return nciChangeTo(sm, &nciStateMfPresenceCheck);
    case EV_NCI_MARVELD_TIMEOUT:
    case EV_NCI_RF_INTF_ACTIVATED_NTF: nciSignalError(NCI_CAUSE_FAILED, nci, "nciStateMfPollActive"); return SM_DONE;
    case EV_NCI_CORE_GENERIC_ERROR_NTF:
        nciStopResponseTimer(nci);
        return nciEnterSubState(sm, &nciStateMfPollActiveReact);
    case EV_NCI_CORE_INTERFACE_ERROR_NTF:
        nciStopResponseTimer(nci);
        nci->deactMode = DEACT_DISCOVERY;
        return nciChangeTo(sm, &nciStatePollActiveDeact);
    case EV_NCI_DATA: {
        if (nci->rxConnId != 0) return SM_NOT_HANDLED;   // an NFCEE's, not the RF's
        nciStopResponseTimer(nci);
        const uint16_t result = nciMifareReply(nci);
        if (result == NCI_CAUSE_AUTH) return nciEnterSubState(sm, &nciStateMfPollActiveReact);
        if (result != 0) {
            TRACE(NFCLL_TRC_ERROR, "nci: ! Unexpected result handling Mifare data");
            nciSignalError(result, nci, "nciStateMfPollActive");
        }
        return SM_DONE;
    }
    case EV_SM_RETURNED: return SM_DONE;
    // The tag did not come back after the re-activation: the controller is discovering again.
    case EV_SM_RETURNED_ERROR: return nciChangeTo(sm, &nciStateDiscovery);
    default: return nciStatePollActive(sm, event);
    }
}

uint32_t nciStateMfPresenceCheck(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    auto answered = [&](uint32_t outcome) {
        nciSignalCompletion(nci, outcome);
        return nciChangeTo(sm, &nciStateMfPollActive);
    };
    switch (event) {
    case EV_SM_ENTRY:
        if (nciMifareSend(nci) != 0) return answered(evNciTagRemoved);
        return SM_DONE;
    case EV_NCI_DATA:
        if (nci->rxConnId != 0) return SM_NOT_HANDLED;   // an NFCEE's, not the RF's
        nciStopResponseTimer(nci);
        if (nciMifareReply(nci) != 0) return answered(evNciTagRemoved);
        return nciChangeTo(sm, &nciStateMfPollActive);
    case EV_NCI_CORE_GENERIC_ERROR_NTF:
    case EV_NCI_MARVELD_TIMEOUT: return answered(evNciTagRemoved);
    case EV_NCI_NXP_PRESENCE_CHECK_NTF:
        return answered(nci->rxLength >= 1 && nci->rxPayload[0] == 0 ? evNciDataIndication : evNciTagRemoved);
    case EV_SM_EXIT: nciStopResponseTimer(nci); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nciStateMfPollActiveReact(TStateMachine* sm, uint16_t event) {
    TNciContext* nci = nciOf(sm);
    switch (event) {
    case EV_SM_ENTRY:
        if (nciSendOk(nciSendDeactivate(nci, DEACT_DISCOVERY))) return SM_DONE;
        nciSignalCompletion(nci, evNciTagRemoved);
        return SM_MASTER_ERROR;
    case EV_NCI_RF_DEACTIVATE_RSP: return SM_DONE;
    case EV_NCI_RF_DEACTIVATE_NTF:
        nciStopResponseTimer(nci);
        nfcllRestartTimer(nci->ll, NCI_TIMER_MIFARE, NCI_MIFARE_REACTIVATION_MS);
        return SM_DONE;
    case EV_NCI_RF_INTF_ACTIVATED_NTF:
        nciHandleIntfActivatedNtf(nci);
        nciSignalCompletion(nci, evNciErrorAuthentication);
        return SM_MASTER;
    // The re-activation timer ends the wait as the response timer does: the tag is gone.
    case EV_NCI_MARVELD_TEST:
    case EV_NCI_MARVELD_TIMEOUT:
        nciSignalCompletion(nci, evNciTagRemoved);
        return SM_MASTER_ERROR;
    case EV_SM_EXIT:
        nfcllResetTimer(nci->ll, NCI_TIMER_MIFARE);
        nciStopResponseTimer(nci);
        return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}
