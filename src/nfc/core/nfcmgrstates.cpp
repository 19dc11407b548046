// The manager's state machine: the state table, each state's handler and the default handler
// that takes what a state leaves.
#include <cstring>
#include <iterator>

#include "core/nfcmgr.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "nfcman:";
constexpr uint32_t kGlobalPoolName = 0xF1;

// Layer-1 task by reader-type bit; the module manager starts it under this name.
struct Layer1Task {
    uint16_t readerBit;
    uint8_t task;
};
constexpr Layer1Task kLayer1Tasks[] = {{0x200, 181}, {0x100, 179}, {0x400, 183}};

// The stack description of a build: one instance of protocol 2 with the layer-1 task in the middle.
constexpr uint16_t kPoolCounts[3] = {10, 8, 8};
constexpr uint16_t kPoolLengthA = 0x106;
constexpr uint16_t kPoolLengthBC = 0x803;

TNfcManager* self(TStateMachine* m) { return static_cast<TNfcManager*>(m->owner); }

uint32_t go(TStateMachine* m, SmHandler next) {
    if (!next) return SM_DONE;
    m->next = next;
    return SM_CHANGE;
}

bool isRequest(uint16_t event) {
    switch (event) {
    case EV_NFCMAN_LISTEN_REQ:
    case EV_NFCMAN_SELECT_REQ:
    case EV_NFCMAN_READ_REQ:
    case EV_NFCMAN_WRITE_REQ:
    case EV_NFCMAN_FORMAT_REQ:
    case EV_NFCMAN_TRANSACTION_REQ:
    case EV_NFCMAN_TEST_REQ:
    case EV_NFCMAN_SET_READONLY_REQ:
    case EV_NFCMAN_NDEF_CHECK_REQ: return true;
    default: return false;
    }
}

// A release that changes what the controller listens for waits until the device has answered the
// request it serves: it would take the device away under it. Any other goes at once.
uint32_t releaseAfterDevice(TNfcManager* p) {
    if (p->taken.app && nfcmanReleaseRestarts(p, p->taken.app)) {
        nfcmanPark(p);
        return SM_DONE;
    }
    nfcmanHandleRelease(p);
    return SM_DONE;
}

bool deviceInMessage(const TNfcManager* p) {
    if (p->msg.command != NFCLL_DEVICE_IND) return false;
    const TNfcTagInfo* device = nfcllMsgGet<NFCLL_DEVICE_IND>(p->msg).device;
    return device && device->tagType != 0;
}

// ---- Stack build and activation ---------------------------------------------------------------

bool buildProtocolStack(TNfcManager* p) {
    uint8_t task = 0;
    for (const Layer1Task& t : kLayer1Tasks)
        if (p->readerType & t.readerBit) {
            task = t.task;
            break;
        }
    if (task == 0) {
        // No layer 1 would ever answer: the manager halts at once.
        TRACE(TRC_ERROR, "%s ! nfcapiBuildProtocolStack: Invalid nfcReaderType", kPrefix);
        return false;
    }
    uint16_t pool = 0, manager = 0;
    void* buffer = nullptr;
    if (osPoolFindByName(kGlobalPoolName, &pool) != OS_OK ||
        osBufferGet(pool, sizeof(MmStackDescriptor), &buffer, nullptr, nullptr) != OS_OK) {
        TRACE(TRC_ERROR, "%s ! Not enough memory %d for protocol stack", kPrefix, static_cast<int>(sizeof(MmStackDescriptor)));
        return false;
    }
    auto* descriptor = static_cast<MmStackDescriptor*>(buffer);
    *descriptor = MmStackDescriptor{1, 2, 0, task, 0, p->ownQueue, 0, kPoolCounts[0], kPoolCounts[1], kPoolCounts[2], 0,
                                    kPoolLengthA, kPoolLengthBC, 0, {}};
    OsMessage message{};
    message.command = MM_BUILD_REQ;
    osMsgSetFields(message, MmBuildFields{task, 0, descriptor});
    TRACE(NFCMAN_TRACE, "%s Send build protocol stack request", kPrefix);
    if (osQueueFindByName(MM_QUEUE_NAME, &manager) != OS_OK || !nfcmanSendTo(p, manager, message)) {
        osBufferRelease(buffer);
        return false;
    }
    return true;
}

bool isLayer1Task(uint8_t handle) {
    for (const Layer1Task& t : kLayer1Tasks)
        if (t.task == handle) return true;
    return false;
}

bool stackBuilt(TNfcManager* p) {
    const auto f = osMsgFields<MmBuildAnswerFields>(p->msg);
    MmBuildResult built{};
    if (f.descriptor) {
        std::memcpy(&built, f.descriptor, sizeof built);
        osBufferRelease(f.descriptor);
    }
    const uint8_t handle = mmWordName(built.middle);
    TRACE(NFCMAN_TRACE, "%s BUILD_PROTOCOL_STACK_CONF, handle %d", kPrefix, handle);
    if (f.result != MM_BUILD_OK) {
        TRACE(TRC_ERROR, "%s build protocol stack failed - info = 0x%X", kPrefix, f.result);
        return false;
    }
    if (!isLayer1Task(handle)) {
        TRACE(TRC_ERROR, "%s ! build protocol stack wrong handle = 0x%X", kPrefix, handle);
        return false;
    }
    if (osQueueFindByName(built.middle, &p->l1Queue) != OS_OK) {
        TRACE(TRC_ERROR, "%s ! build protocol stack - unknown QueueName", kPrefix);
        return false;
    }
    p->l1Word = built.middle;
    if (!nfcmanBindLlcp(p)) return false;
    TRACE(NFCMAN_TRACE, "%s nfcmanActivateStack: Send NFCLL_ACT_REQ", kPrefix);
    return nfcmanSendL1(p, nfcllMsgMake<NFCLL_ACT_REQ>(p->ownWord));
}

SmHandler afterReset(const TNfcManager* p);

// ---- Health-monitor events, shared by the two listening states --------------------------------

// SM_NOT_HANDLED when the event is not the health monitor's.
uint32_t healthMonitorEvent(TStateMachine* m, uint16_t event);

} // namespace

// ---- The states ---------------------------------------------------------------------------------


namespace {

#define NFCMAN_STATE(name) {&nfcmanState##name, "nfcmanState" #name}
constexpr SmStateEntry kStates[] = {
    NFCMAN_STATE(Startup),    NFCMAN_STATE(Activating),     NFCMAN_STATE(Idle),       NFCMAN_STATE(ListenPending),
    NFCMAN_STATE(ListenConfirmed), NFCMAN_STATE(NdefDetection), NFCMAN_STATE(NdefTag), NFCMAN_STATE(NdefAction),
    NFCMAN_STATE(LegacyTag),  NFCMAN_STATE(Transaction),    NFCMAN_STATE(Test),       NFCMAN_STATE(CardEmu),
    NFCMAN_STATE(P2PInit),    NFCMAN_STATE(P2P),            NFCMAN_STATE(P2PStopped), NFCMAN_STATE(Reset),
    NFCMAN_STATE(Error),      {&nfcmanDefaultHandler, "nfcmanDefaultHandler"},
};
#undef NFCMAN_STATE

SmHandler afterReset(const TNfcManager* p) {
    for (const TNfcmanApp& app : p->apps)
        if (app.inUse && (app.state == NFCMAN_APPSTATE_LISTEN || app.state == NFCMAN_APPSTATE_LISTEN_CONF ||
                          app.state == NFCMAN_APPSTATE_DEV_IND))
            return &nfcmanStateListenPending;
    return nfcmanIdleOrListen(p);
}

uint32_t healthMonitorEvent(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_NFCMAN_IOCONTROL_CONF: nfcmanIoControlConfirmation(p); return SM_DONE;
    case EV_NFCMAN_HEALTHMON_IND: nfcmanHmIdleIndication(p); return SM_DONE;
    case EV_NFCMAN_TIMER_HEALTHMONITOR: return go(m, &nfcmanStateReset);
    default: return SM_NOT_HANDLED;
    }
}

} // namespace

void nfcmanStartMachine(TNfcManager* p) {
    smInit(&p->sm, &nfcmanStateStartup, &nfcmanDefaultHandler, p, kStates, static_cast<uint16_t>(std::size(kStates)),
           kPrefix, NFCMAN_TRACE);
    smHandleEvent(&p->sm, EV_SM_ENTRY);
}

uint32_t nfcmanStateStartup(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY: return buildProtocolStack(p) ? SM_DONE : go(m, &nfcmanStateError);
    case EV_NFCMAN_BUILD_PROTOCOL_STACK_CONF: return go(m, stackBuilt(p) ? &nfcmanStateActivating : &nfcmanStateError);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nfcmanStateActivating(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_NFCMAN_ACT_CONF:
        nfcmanTakeActivation(p, nfcllMsgGet<NFCLL_ACT_CONF>(p->msg));
        return go(m, &nfcmanStateIdle);
    case EV_NFCMAN_NFCLL_ERROR_IND: {
        const uint16_t cause = nfcllMsgGet<NFCLL_ERROR_IND>(p->msg).cause;
        TRACE(TRC_ERROR, "%s ! Error during activation", kPrefix);
        if (TNfcmanApp* app = p->onDevice.app ? p->onDevice.app : nfcmanHolder(p)) nfcmanSendActInd(p, app, cause);
        return cause == nfcCauseWrongState ? SM_DONE : go(m, &nfcmanStateError);
    }
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nfcmanStateIdle(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY: nfcmanTakeParked(p); return SM_DONE;
    case EV_NFCMAN_RELEASE_REQ: return nfcmanHandleRelease(p) ? go(m, &nfcmanStateListenPending) : SM_DONE;
    case EV_NFCMAN_LISTEN_REQ:
        if (!(nfcmanListenRequest(p) & LISTEN_CHANGED)) return SM_DONE;
        if (!(p->capFlags & NFC_CAP_OWN_POLLING_LOOP)) p->wheelIndex = 0;
        return go(m, &nfcmanStateListenPending);
    case EV_NFCMAN_TEST_REQ: nfcmanRefuseTaken(p, nfcCauseRejected); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nfcmanStateListenPending(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY:
        nfcmanHmStart(p);
        if (nfcmanRestartWheel(p)) return SM_DONE;
        nfcmanHmStop(p);
        return go(m, &nfcmanStateIdle);
    case EV_NFCMAN_LISTEN_CONF:
        nfcmanListenConfirmation(p);
        if (nfcmanAnyAppListening(p)) return go(m, &nfcmanStateListenConfirmed);
        nfcmanHmStop(p);
        return go(m, &nfcmanStateIdle);
    // The controller was brought up again under the listen request, which it serves afterwards.
    case EV_NFCMAN_ACT_CONF: nfcmanTakeActivation(p, nfcllMsgGet<NFCLL_ACT_CONF>(p->msg)); return SM_DONE;
    case EV_NFCMAN_DEVICE_IND: return SM_DONE;
    case EV_NFCMAN_RELEASE_REQ: nfcmanHandleRelease(p); return SM_DONE;
    case EV_NFCMAN_LISTEN_REQ: nfcmanPark(p); return SM_DONE;
    default: return healthMonitorEvent(m, event);
    }
}

uint32_t nfcmanStateListenConfirmed(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY:
        nfcmanStartWheelTimer(p);
        nfcmanTakeParked(p);
        return SM_DONE;
    case EV_SM_EXIT:
        nfcmanResetTimer(p, NFCMAN_TIMER_LISTEN);
        nfcmanHmStop(p);
        return SM_DONE;
    case EV_NFCMAN_ENDPOINT_IND: nfcmanEndpointIndication(p); return SM_DONE;
    case EV_NFCMAN_DEVICE_IND: return go(m, nfcmanDeviceIndication(p));
    case EV_NFCMAN_DEVICE_CONF: return go(m, nfcmanNextStateAfterDevice(p));
    case EV_NFCMAN_TRANSACTION_IND: return go(m, nfcmanHandlerTransactionIndication(p));
    case EV_NFCMAN_LISTEN_REQ: {
        TNfcmanApp* app = p->taken.app;
        const uint32_t flags = nfcmanListenRequest(p);
        if (flags & LISTEN_CHANGED) return go(m, &nfcmanStateListenPending);
        if (!(flags & LISTEN_CONFIRMED)) nfcmanSendListenConf(p, app, nfcCauseOk);
        return SM_DONE;
    }
    case EV_NFCMAN_TIMER_LISTENPHASE: return go(m, &nfcmanStateListenPending);
    // The controller was brought up again after a fault of its own: it listens for nothing until asked again.
    case EV_NFCMAN_ACT_CONF:
        nfcmanTakeActivation(p, nfcllMsgGet<NFCLL_ACT_CONF>(p->msg));
        return go(m, &nfcmanStateListenPending);
    case EV_NFCMAN_DEV_REMOVE:
        return (p->globalMask & NFCMAN_P2P_DEVICE) ? go(m, &nfcmanStateListenPending) : SM_DONE;
    default: return healthMonitorEvent(m, event);
    }
}

uint32_t nfcmanStateNdefDetection(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY:
        p->startTick = platTickMs();
        nfcmanStartNdefCheck(p);
        return SM_DONE;
    case EV_SM_EXIT:
        TRACE(NFCMAN_TRACE, "%s NDEF detection finished (%d ms)", kPrefix, static_cast<int>(nfcmanElapsed(p)));
        nfcmanReportNdefCheck(p);
        return SM_DONE;
    case EV_NFCMAN_DEVICE_IND:
        if (deviceInMessage(p)) {
            TRACE(TRC_ERROR, "%s ! DEVICE_IND in unexpected state", kPrefix);
            return SM_DONE;
        }
        TRACE(NFCMAN_TRACE, "%s Tag lost during NDEF check, restart wheel", kPrefix);
        p->result = nfcCauseRejected;
        return go(m, &nfcmanStateListenPending);
    case EV_NFCMAN_TRANSACTION_IND: return go(m, nfcmanHandlerTransactionIndication(p));
    case EV_NFCMAN_LISTEN_REQ: nfcmanListenRequest(p); return SM_DONE;
    case EV_NFCMAN_NDEFCHECK_FINISHED: return go(m, nfcmanStateAfterCheck(p));
    case EV_NFCMAN_DEV_REMOVE: return go(m, nfcmanIdleOrListen(p));
    case EV_NFCMAN_RELEASE_REQ: return releaseAfterDevice(p);
    default: return SM_NOT_HANDLED;
    }
}

namespace {

// What NdefTag and LegacyTag share; the NDEF actions other than format only on an NDEF tag.
uint32_t tagState(TStateMachine* m, uint16_t event, bool ndef) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY:
        if (p->readerListener && !(p->capFlags & NFC_CAP_NO_PRESENCE_POLLING))
            nfcmanSetTimer(p, NFCMAN_TIMER_POLLCARD, p->pollPeriodMs);
        nfcmanTakeParked(p);
        return SM_DONE;
    case EV_SM_EXIT: nfcmanResetTimer(p, NFCMAN_TIMER_POLLCARD); return SM_DONE;
    case EV_NFCMAN_READ_REQ:
    case EV_NFCMAN_WRITE_REQ:
    case EV_NFCMAN_SET_READONLY_REQ:
        if (!ndef) return SM_NOT_HANDLED;
        [[fallthrough]];
    case EV_NFCMAN_FORMAT_REQ:
        return nfcmanStartAction(p) ? go(m, &nfcmanStateNdefAction) : SM_DONE;
    case EV_NFCMAN_TRANSACTION_REQ: return go(m, &nfcmanStateTransaction);
    case EV_NFCMAN_TEST_REQ:
    case EV_NFCMAN_NDEF_CHECK_REQ:
        // The device serves it until its answer; a check by the poll timer is nobody's.
        p->onDevice = p->taken;
        p->taken = TNfcmanRequest{};
        return go(m, event == EV_NFCMAN_TEST_REQ ? &nfcmanStateTest : &nfcmanStateNdefDetection);
    case EV_NFCMAN_TIMER_POLLCARD: return go(m, &nfcmanStateTest);
    case EV_NFCMAN_LISTEN_REQ: return (nfcmanListenRequest(p) & LISTEN_RELISTEN) ? go(m, &nfcmanStateListenPending) : SM_DONE;
    case EV_NFCMAN_DEV_REMOVE: return go(m, nfcmanIdleOrListen(p));
    // A controller that reports the tag's removal itself is believed at once.
    case EV_NFCMAN_DEVICE_IND: return go(m, nfcmanDeviceIndication(p));
    // A tag selected again has a new handler, which says when it knows the tag.
    case EV_NFCMAN_DEVICE_CONF: return go(m, nfcmanNextStateAfterDevice(p));
    default: return SM_NOT_HANDLED;
    }
}

} // namespace

uint32_t nfcmanStateNdefTag(TStateMachine* m, uint16_t event) { return tagState(m, event, true); }

uint32_t nfcmanStateLegacyTag(TStateMachine* m, uint16_t event) { return tagState(m, event, false); }

uint32_t nfcmanStateNdefAction(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY: p->startTick = platTickMs(); return SM_DONE;
    case EV_SM_EXIT:
        TRACE(NFCMAN_TRACE, "%s NDEF transaction finished (%d ms)", kPrefix, static_cast<int>(nfcmanElapsed(p)));
        nfcmanSendActionConfirmation(p);
        return SM_DONE;
    case EV_NFCMAN_TRANSACTION_ERROR:
        if (nfcmanActionLostTag(p)) return go(m, nfcmanIdleOrListen(p));
        [[fallthrough]];
    case EV_NFCMAN_TRANSACTION_FINISHED: return go(m, nfcmanTagState(p));
    case EV_NFCMAN_TRANSACTION_IND: return go(m, nfcmanHandlerTransactionIndication(p));
    case EV_NFCMAN_DEVICE_IND: return go(m, nfcmanDeviceIndication(p));
    // The tag left during the action: no handler answers any more, the action ends with it.
    case EV_NFCMAN_DEV_REMOVE:
        p->result = nfcCauseRejected;
        return go(m, nfcmanIdleOrListen(p));
    case EV_NFCMAN_RELEASE_REQ: return releaseAfterDevice(p);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nfcmanStateTransaction(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY:
        p->startTick = platTickMs();
        return nfcmanStartTransaction(p) ? SM_DONE : go(m, nfcmanTagState(p));
    case EV_SM_EXIT:
        TRACE(NFCMAN_TRACE, "%s Transaction finished (%d ms)", kPrefix, static_cast<int>(nfcmanElapsed(p)));
        return SM_DONE;
    case EV_NFCMAN_TRANSACTION_IND:
        nfcmanTransactionIndication(p);
        return go(m, nfcmanTagState(p));
    case EV_NFCMAN_DEVICE_IND:
        nfcmanEndTransaction(p, nfcCauseNotPlausible);
        return go(m, nfcmanDeviceIndication(p));
    case EV_NFCMAN_DEV_REMOVE: return go(m, &nfcmanStateListenPending);
    case EV_NFCMAN_RELEASE_REQ: return releaseAfterDevice(p);
    default:
        if (!isRequest(event)) return SM_NOT_HANDLED;
        nfcmanPark(p);
        return SM_DONE;
    }
}

uint32_t nfcmanStateTest(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY:
        p->startTick = platTickMs();
        nfcmanStartTest(p);
        return SM_DONE;
    case EV_SM_EXIT:
        TRACE(NFCMAN_TRACE, "%s Tag test finished (%d ms)", kPrefix, static_cast<int>(nfcmanElapsed(p)));
        nfcmanSendTestIndication(p);
        return SM_DONE;
    case EV_NFCMAN_CHECK_CONF: nfcmanCheckConfirmation(p); return SM_DONE;
    case EV_NFCMAN_NFCLL_ERROR_IND:
        TRACE(NFCMAN_TRACE, "%s NFCLL_ERROR_IND -> DEV_REMOVE", kPrefix);
        p->result = nfcllMsgGet<NFCLL_ERROR_IND>(p->msg).cause;
        nfcmanDeviceRemoved(p);
        return SM_NOT_HANDLED;
    case EV_NFCMAN_TRANSACTION_FINISHED: return go(m, nfcmanTagState(p));
    case EV_NFCMAN_DEV_REMOVE: return go(m, nfcmanIdleOrListen(p));
    case EV_NFCMAN_RELEASE_REQ: return releaseAfterDevice(p);
    default:
        if (!isRequest(event)) return SM_NOT_HANDLED;
        nfcmanPark(p);
        return SM_DONE;
    }
}

uint32_t nfcmanStateCardEmu(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_NFCMAN_TRANSACTION_IND: return go(m, nfcmanCardEmuRequest(p));
    case EV_NFCMAN_TRANSACTION_REQ: nfcmanCardEmuResponse(p); return SM_DONE;
    case EV_NFCMAN_DEVICE_IND: return go(m, nfcmanDeviceIndication(p));
    case EV_NFCMAN_NFCLL_ERROR_IND:
        nfcmanFreeActionBuffer(p);
        nfcmanDeviceRemoved(p);
        return SM_NOT_HANDLED;
    case EV_NFCMAN_LISTEN_REQ: return (nfcmanListenRequest(p) & LISTEN_RELISTEN) ? go(m, &nfcmanStateListenPending) : SM_DONE;
    case EV_NFCMAN_DEV_REMOVE: return go(m, &nfcmanStateListenPending);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nfcmanStateP2PInit(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY: nfcmanSendUsQueue(p, p->llcpQueue); return SM_DONE;
    case EV_NFCMAN_US_QUEUE_ID_CONF: nfcmanStartP2p(p); return go(m, &nfcmanStateP2P);
    // Until LLCP holds layer 1's upper queue, a restart would leave it there.
    case EV_NFCMAN_RELEASE_REQ: return releaseAfterDevice(p);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nfcmanStateP2P(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_NFCMAN_DEVICE_IND:
        if (deviceInMessage(p)) return SM_NOT_HANDLED;
        [[fallthrough]];
    case EV_NFCMAN_DL_DEACT_IND:
        nfcmanDeviceRemoved(p);
        nfcmanSendUsQueue(p, p->ownQueue);
        return go(m, &nfcmanStateP2PStopped);
    case EV_NFCMAN_RELEASE_REQ:
        if (!nfcmanHandleRelease(p)) return SM_DONE;
        nfcmanLlcpDeactivate(p);
        return go(m, &nfcmanStateP2PStopped);
    case EV_NFCMAN_LISTEN_REQ:
        if (!(nfcmanListenRequest(p) & LISTEN_RELISTEN)) return SM_DONE;
        nfcmanLlcpDeactivate(p);
        return go(m, &nfcmanStateP2PStopped);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nfcmanStateP2PStopped(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_NFCMAN_DEVICE_IND:
    case EV_NFCMAN_DL_DEACT_IND: nfcmanSendUsQueue(p, p->ownQueue); return SM_DONE;
    case EV_NFCMAN_US_QUEUE_ID_CONF: return go(m, &nfcmanStateListenPending);
    case EV_NFCMAN_LISTEN_REQ: nfcmanListenRequest(p); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nfcmanStateReset(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY:
        nfcmanDropParked(p, nfcCauseRejected);
        // The reset ends the link to a device: its application learns so, and its handler
        // holds nothing of the manager's any more.
        nfcmanDeviceRemoved(p);
        nfcmanFreeActionBuffer(p);
        // A release that waited for the controller's listen confirmation gets none after a reset.
        nfcmanConfirmReleases(p);
        nfcmanAbandonIoControl(p);
        nfcmanSendL1(p, nfcllMsgMake<PH_RESET_REQ>(p->ownWord));
        return SM_DONE;
    case EV_NFCMAN_PH_RESET_CONF:
        nfcmanFreeLentIoBuffers(p);   // a layer 1 that is reset holds no request any more
        return go(m, afterReset(p));
    case EV_NFCMAN_NFCLL_ERROR_IND: return go(m, &nfcmanStateError);
    case EV_NFCMAN_LISTEN_CONF: nfcmanListenConfirmation(p); return SM_DONE;
    case EV_NFCMAN_RELEASE_REQ: nfcmanHandleRelease(p); return SM_DONE;
    case EV_NFCMAN_LISTEN_REQ:
        TRACE(NFCMAN_TRACE, "%s LISTEN_REQ during RESET", kPrefix);
        nfcmanListenRequest(p);
        return SM_DONE;
    case EV_NFCMAN_IOCONTROL_REQ: nfcmanAnswerIoControl(p, p->taken, nfcCauseWrongState); return SM_DONE;
    case EV_NFCMAN_ACT_CONF: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t nfcmanStateError(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_SM_ENTRY: TRACE(TRC_ERROR, "%s NFCManager halted", kPrefix); return SM_DONE;
    case EV_NFCMAN_ACT_CONF:
        nfcmanTakeActivation(p, nfcllMsgGet<NFCLL_ACT_CONF>(p->msg));
        if (p->globalMask == 0) return go(m, &nfcmanStateIdle);
        TRACE(NFCMAN_TRACE, "%s restore current listener", kPrefix);
        nfcmanSendListen(p, p->globalMask & 0x6EFFFFFFu);
        return go(m, &nfcmanStateListenPending);
    case EV_NFCMAN_NFCLL_RELEASE_IND: nfcmanPhysicalRemoveIndication(p); return SM_DONE;
    case EV_NFCMAN_REGISTER_REQ: nfcmanRefuseRegistration(p, nfcCauseFatal); return SM_DONE;
    case EV_NFCMAN_RELEASE_REQ: nfcmanReleaseNow(p, nfcCauseFatal); return SM_DONE;
    case EV_NFCMAN_IOCONTROL_REQ: nfcmanAnswerIoControl(p, p->taken, nfcCauseFatal); return SM_DONE;
    default:
        if (!isRequest(event)) return SM_NOT_HANDLED;
        nfcmanRefuseTaken(p, nfcCauseFatal);
        return SM_DONE;
    }
}

uint32_t nfcmanDefaultHandler(TStateMachine* m, uint16_t event) {
    TNfcManager* p = self(m);
    switch (event) {
    case EV_NFCMAN_NFCLL_ERROR_IND: {
        const uint16_t cause = nfcllMsgGet<NFCLL_ERROR_IND>(p->msg).cause;
        TRACE(TRC_ERROR, "%s nfcmanDefaultHandler, current cmd 0x%X, pApp %p", kPrefix, p->onDevice.code,
              static_cast<void*>(p->onDevice.app));
        nfcmanRefusePending(p, nfcCauseRejected);
        return cause == nfcCauseWrongState ? SM_DONE : go(m, &nfcmanStateReset);
    }
    case EV_NFCMAN_PH_DATA_IND: TRACE(TRC_ERROR, "%s ! PH_DATA_IND in unexpected state", kPrefix); return SM_DONE;
    case EV_NFCMAN_IOCONTROL_CONF: nfcmanIoControlConfirmation(p); return SM_DONE;
    case EV_NFCMAN_RF_FIELD_IND: nfcmanRfFieldIndication(p); return SM_DONE;
    case EV_NFCMAN_NFCLL_RELEASE_IND:
        nfcmanRefusePending(p, nfcCauseFatal);
        nfcmanPhysicalRemoveIndication(p);
        return go(m, &nfcmanStateError);
    case EV_NFCMAN_REGISTER_REQ: nfcmanHandleRegister(p); return SM_DONE;
    case EV_NFCMAN_RELEASE_REQ: return nfcmanHandleRelease(p) ? go(m, &nfcmanStateListenPending) : SM_DONE;
    case EV_NFCMAN_SELECT_REQ:
        // No state selects a tag for an application: the caller learns so at once.
        nfcmanRefuseTaken(p, nfcCauseNotImplemented);
        return SM_DONE;
    case EV_NFCMAN_IOCONTROL_REQ: nfcmanIoControlRequest(p); return SM_DONE;
    case EV_NFCMAN_DEACT_REQ: nfcmanLlcpDeactivate(p); return SM_DONE;
    case EV_NFCMAN_LLCP_TRIGGER_IND:
    case EV_NFCMAN_SELECT_CONF:
    case EV_NFCMAN_TIMER_LISTENPHASE: return SM_DONE;
    default:
        if (isRequest(event)) {
            nfcmanRefuseTaken(p, nfcCauseWrongState);
            return SM_DONE;
        }
        TRACE(TRC_ERROR, "%s ! Unexpected event %s in state %s", kPrefix, smEventName(event),
              smStateName(m, m->current));
        return SM_DONE;
    }
}

SmHandler nfcmanIdleOrListen(const TNfcManager* p) {
    return (p->readerListener || p->keepListening) ? &nfcmanStateListenPending : &nfcmanStateIdle;
}

SmHandler nfcmanTagState(const TNfcManager* p) {
    return (p->thBound && p->th.isNdef) ? &nfcmanStateNdefTag : &nfcmanStateLegacyTag;
}

SmHandler nfcmanStateAfterCheck(TNfcManager* p) {
    if (p->result == nfcCauseRejected) return &nfcmanStateListenPending;
    for (const TNfcmanApp& app : p->apps)
        if (app.inUse && (app.state == NFCMAN_APPSTATE_DEV_IND || app.state == NFCMAN_APPSTATE_LISTEN_CONF))
            return nfcmanTagState(p);
    return nfcmanIdleOrListen(p);
}

