// Layer 1's task: registration, start and exit, the dispatcher of its queue, activation of the
// controller and the link state.
#include "L1/common/nfcll_internal.h"

#include <cstring>
#include <type_traits>

#include "L1/53x/nfc53x.h"
#include "L1/ehci/ehci.h"
#include "L1/nci/nci.h"
#include "hw/hw_timer.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

constexpr char kSource[] = "..\\..\\src\\nfc\\L1\\common\\nfcll.c";

// The driver part starts on this boundary after the common part.
constexpr size_t kDriverAlign = 16;
constexpr size_t driverOffset() { return (sizeof(TNfcllContext) + kDriverAlign - 1) / kDriverAlign * kDriverAlign; }

struct Family {
    uint16_t bit;
    uint8_t task;
    const char* name;
    TNfcllDriverInit init;
    uint16_t driverSize;
};
constexpr Family kFamilies[] = {
    {NFCLL_FAMILY_PN53X, NFCLL_TASK_PN53X, "PN53x", &nfc53xInit, static_cast<uint16_t>(sizeof(TNfc53xPart))},
    {NFCLL_FAMILY_ETSI, NFCLL_TASK_ETSI, "ETSI HCI", &ehciInit, static_cast<uint16_t>(sizeof(TEhciPart))},
    {NFCLL_FAMILY_NCI, NFCLL_TASK_NCI, "NCI", &nciInit, static_cast<uint16_t>(sizeof(TNciContext))},
};
// Drivers that keep buffers of their own beside layer 1's: 32-byte packets and receive buffers.
struct DriverPool {
    uint16_t family;
    uint16_t packets, packetLength, receives, receiveLength;
};
constexpr DriverPool kDriverPools[] = {
    {NFCLL_FAMILY_ETSI, 20, 32, 25, 262},
};
static_assert(driverOffset() + sizeof(TNciContext) <= 0xFFFF, "the layer-1 segment fits a module segment");
static_assert(driverOffset() + sizeof(TNfc53xPart) <= 0xFFFF, "the layer-1 segment fits a module segment");

struct Registration {
    uint16_t readerType = 0;
    TNfcllDriverInit testInit = nullptr;
    uint16_t testDriverSize = 0;
};
Registration g_registration;

const Family* familyOf(uint16_t readerType) {
    for (const Family& family : kFamilies)
        if (readerType & family.bit) return &family;
    return nullptr;
}

TNfcllDriverInit driverInitOf(uint16_t readerType) {
    if (g_registration.testInit) return g_registration.testInit;
    const Family* family = familyOf(readerType);
    return family ? family->init : nullptr;
}

uint32_t activationTimeout(uint16_t readerType) {
    if (readerType & NFCLL_FAMILY_ETSI) return 6000;
    if (readerType == 0x411) return 5000;
    if (readerType & NFCLL_FAMILY_NCI) return 2000;
    return 500;
}

// The pool is found again on a second start, so its partitions are made once.
bool openDriverPool(TNfcllContext* ll, uint32_t poolBase) {
    for (const DriverPool& p : kDriverPools) {
        if (!(ll->readerType & p.family)) continue;
        const uint32_t name = poolBase | 0x3F7u;
        if (osPoolFindByName(name, &ll->driverPool) == OS_OK) return true;
        return osPoolCreate(name, p.packetLength, p.packets, &ll->driverPool) == OS_OK &&
               osPoolCreate(name, p.receiveLength, p.receives, &ll->driverPool) == OS_OK;
    }
    return true;
}

// ---- Downward ---------------------------------------------------------------------------------
struct NoFields {};

template <typename Fields = NoFields>
void sendDs(TNfcllContext* ll, uint16_t command, const Fields& fields = {}) {
    OsMessage message{};
    message.command = command;
    message.source = ll->queueWord;
    if constexpr (!std::is_empty_v<Fields>) osMsgSetFields(message, fields);
    if (osMessageSend(ll->dsQueue, &message) != OS_OK)
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! cannot send 0x%X to the com task", static_cast<unsigned>(command));
}

void releaseIfOwned(uint32_t flags, void* buffer) {
    if ((flags & NFCLL_MSG_OWNS_BUFFER) && buffer) osBufferRelease(buffer);
}

// ---- Activation -------------------------------------------------------------------------------
void confirmActivation(TNfcllContext* ll, uint16_t cause) {
    nfcllResetTimer(ll, NFCLL_TIMER_ACTIVATION);
    nfcllSendUs(ll, nfcllMsgMake<NFCLL_ACT_CONF>(ll->queueWord, {cause, &ll->capabilities}));
}

void startActivation(TNfcllContext* ll) {
    nfcllSetState(ll, NFCLL_STATE_ACTIVATING);
    nfcllSetTimer(ll, NFCLL_TIMER_ACTIVATION, activationTimeout(ll->readerType));
    nfcllSendUsActConf(ll);
}

} // namespace

void nfcllActivationTimedOut(TNfcllContext* ll) {
    ++ll->retryCount;
    if ((ll->readerType & NFCLL_FAMILY_PN53X) && ll->retryCount == 1) {
        startActivation(ll);
        return;
    }
    nfcllSetState(ll, NFCLL_STATE_IDLE);
    nfcllSendUs(ll, nfcllMsgMake<NFCLL_ACT_CONF>(ll->queueWord, {NFCLL_CAUSE_ACT_TIMEOUT, &ll->capabilities}));
}

namespace {

// ---- Handlers of the task's commands -----------------------------------------------------------
void onHwioParamConf(TNfcllContext* ll) {
    const auto f = osMsgFields<PhHwioParamFields>(ll->message);
    if (ll->miniport.hwioParamConf) ll->miniport.hwioParamConf(ll, f.buffer, f.value);
    if (ll->state == NFCLL_STATE_ACTIVATING) nfcllSendUsActConf(ll);
}

void onLinkProtocol(TNfcllContext* ll) {
    const auto f = osMsgFields<MmLinkProtocolFields>(ll->message);
    TRACE(NFCLL_TRC_STATE, "nfcll: LinkProtocol us id 0x%X ds id 0x%X", static_cast<unsigned>(f.above),
          static_cast<unsigned>(f.below));
    ll->usQueue = f.above;
    ll->dsQueue = f.below;
    sendDs(ll, PH_LINK_INFO, PhLinkInfoFields{ll->queueWord, f.above});
    if (ll->miniport.linkProtocol) ll->miniport.linkProtocol(ll);
}

void onActivationRequest(TNfcllContext* ll) {
    if (ll->linkState != NFCLL_LINK_ACTIVE) {
        TRACE(NFCLL_TRC_STARTUP, "nfcll: nfcllHandleSetParameterConf: activate serial port");
        sendDs(ll, PH_ACT_REQ);
        TRACE(NFCLL_TRC_STATE, "nfcll: \\/ PH_ACT_REQ");
    }
    if (ll->state == NFCLL_STATE_ACTIVATING) nfcllSendUsActConf(ll);
}

void onSetParameterConf(TNfcllContext* ll) {
    const auto f = osMsgFields<PhSetParameterFields>(ll->message);
    TRACE(NFCLL_TRC_STATE, "nfcll: nfcllHandleSetParameterConf, error code 0x%X", static_cast<unsigned>(f.result));
    if (f.buffer) osBufferRelease(f.buffer);
    if (f.result == 0) {
        onActivationRequest(ll);
        return;
    }
    TRACE(NFCLL_TRC_ERROR, "nfcll:!! set parameter failed with code 0x%04X", static_cast<unsigned>(f.result));
    confirmActivation(ll, NFCLL_CAUSE_LINK_LOST);
}

void onLineSignal(TNfcllContext* ll) {
    if (ll->miniport.lineSignal) ll->miniport.lineSignal(ll, osMsgFields<PhParamFields>(ll->message).parameter);
}

void onResetRequest(TNfcllContext* ll) {
    // A pending check keeps its mark: whatever ends it across the reset answers it as a check.
    ll->flags &= ~(NFCLL_FLAG_PN53X_4 | NFCLL_FLAG_MF_AUTH | NFCLL_FLAG_PN53X_10);
    if (!ll->miniport.phResetRequest) {
        nfcllSendUsCause(ll, PH_RESET_CONF, 0);
        return;
    }
    nfcllSetState(ll, NFCLL_STATE_RESET_REQUESTED);
    sendDs(ll, PH_RESET_REQ, PhParamFields{0});
}

void onResetConf(TNfcllContext* ll) {
    TRACE(NFCLL_TRC_STATE, "nfcll: /\\ PH_RESET_CONF in state 0x%X", static_cast<unsigned>(ll->state));
    if (ll->state == NFCLL_STATE_RESETTING) {
        ll->linkState = NFCLL_LINK_ACTIVE;
        ll->retryCount = 0;
        startActivation(ll);
    } else if (ll->state == NFCLL_STATE_RESET_REQUESTED) {
        ll->miniport.phResetRequest(ll);
    } else {
        TRACE(NFCLL_TRC_STATE, "nfcll: ! ignore message bad state");
    }
}

void onResetFailed(TNfcllContext* ll) { nfcllSendUsCause(ll, NFCLL_ERROR_IND, NFCLL_CAUSE_LINK_LOST); }

void onReleaseConf(TNfcllContext* ll) {
    TRACE(NFCLL_TRC_STATE, "nfcll: PH_RELEASE_CONF");
    nfcllSendUs(ll, nfcllMsgMake<NFCLL_RELEASE_IND>(ll->queueWord));
}

void onDataIndication(TNfcllContext* ll) {
    const auto f = nfcllMsgGet<PH_DATA_IND>(ll->message);
    if (!ll->miniport.dataIndication)
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! data indication before reader detected");
    else if (f.buffer)
        ll->miniport.dataIndication(ll, f.buffer, f.length, f.offset);
    releaseIfOwned(f.flags, f.buffer);
}

void onActivationIndication(TNfcllContext* ll) {
    ll->linkState = NFCLL_LINK_ACTIVE;
    if (ll->state == NFCLL_STATE_DEACTIVATED) {
        nfcllSendUsCause(ll, NFCLL_ERROR_IND, NFCLL_CAUSE_LINK_LOST);
        return;
    }
    TRACE(NFCLL_TRC_STATE, "nfcll: /\\ PH_ACT_IND");
    TRACE(NFCLL_TRC_STATE, "nfcll: \\/ PH_RESET_REQ");
    sendDs(ll, PH_RESET_REQ, PhParamFields{0});
    nfcllSetState(ll, NFCLL_STATE_RESETTING);
}

void onDeactivationIndication(TNfcllContext* ll) {
    TRACE(NFCLL_TRC_STATE, "nfcll: PH_DEACT_IND, state 0x%X, mode %d", static_cast<unsigned>(ll->state),
          static_cast<int>(ll->mode));
    ll->linkState = NFCLL_LINK_DOWN;
    switch (ll->state) {
    case NFCLL_STATE_RESETTING:
        nfcllSetState(ll, NFCLL_STATE_IDLE);
        confirmActivation(ll, NFCLL_CAUSE_LINK_LOST);
        sendDs(ll, PH_DEACT_REQ);
        break;
    case NFCLL_STATE_ACTIVE:
        nfcllSetState(ll, NFCLL_STATE_DEACTIVATED);
        sendDs(ll, PH_DEACT_REQ);
        if (ll->mode) nfcllSendUsTechRemoved(ll, NFCLL_CAUSE_LINK_LOST);
        break;
    case NFCLL_STATE_RESET_REQUESTED:
        nfcllSetState(ll, NFCLL_STATE_DEACTIVATED);
        sendDs(ll, PH_DEACT_REQ);
        break;
    case NFCLL_STATE_IDLE:
    case NFCLL_STATE_ACTIVATING:
        // Answered now, the activation is over: the driver's start-up confirms nothing more.
        nfcllSetState(ll, NFCLL_STATE_IDLE);
        confirmActivation(ll, NFCLL_CAUSE_LINK_LOST);
        break;
    default:
        break;
    }
}

void onAdapterRemoved(TNfcllContext* ll) {
    nfcllSetState(ll, NFCLL_STATE_RELEASED);
    sendDs(ll, PH_RELEASE_REQ);
    ll->linkState = NFCLL_LINK_RELEASED;
}

void onListenRequest(TNfcllContext* ll) {
    const auto f = nfcllMsgGet<NFCLL_LISTEN_REQ>(ll->message);
    TRACE(NFCLL_TRC_STATE, "nfcll: NFCLL_LISTEN_REQ state 0x%X, Type='0x%.08X' %s", static_cast<unsigned>(ll->state),
          static_cast<unsigned>(f.mask), ll->miniport.listenRequest ? "" : "(no driver)");
    if (!(ll->flags & NFCLL_FLAG_DEVICE_IND_PENDING) && ll->linkState != NFCLL_LINK_ACTIVE) {
        nfcllSendUsListenConf(ll, NFCLL_CAUSE_LINK_LOST, 0);
        return;
    }
    // A driver that cannot listen yet must still answer, or the application's listener would
    // wait for a confirmation that never comes.
    if (!ll->miniport.listenRequest) {
        nfcllSendUsListenConf(ll, NFCLL_CAUSE_NO_DRIVER, 0);
        return;
    }
    ll->listenMask = f.mask;
    ll->flags |= NFCLL_FLAG_LISTEN_PENDING;
    ll->miniport.listenRequest(ll, f.mask, f.params);
}

void onSelectRequest(TNfcllContext* ll) {
    const auto f = nfcllMsgGet<NFCLL_SELECT_REQ>(ll->message);
    if (!ll->miniport.selectRequest) {
        TRACE(NFCLL_TRC_ERROR, "nfcll: Select request before reader detected");
        nfcllSendUsSelectConf(ll, NFCLL_CAUSE_WRONG_STATE);
        return;
    }
    TRACE(NFCLL_TRC_STATE, "nfcll: Select Req tagIdx %d", static_cast<int>(f.endpoint));
    ll->miniport.selectRequest(ll, f.endpoint);
}

void onUsQueueRequest(TNfcllContext* ll) {
    const auto f = nfcllMsgGet<NFCLL_US_QUEUE_REQ>(ll->message);
    TRACE(NFCLL_TRC_STATE, "nfcllHandleUsQueueIDRequest");
    ll->usQueue = f.queueId;
    nfcllPurgeTxQueue(ll);
    OsMessage conf = nfcllMsgMake<NFCLL_US_QUEUE_CONF>(ll->queueWord);
    conf.source = ll->message.source;
    if (osMessageSendByName(&conf, ll->queueWord) != OS_OK)
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! cannot answer the upper-queue request of 0x%X",
              static_cast<unsigned>(ll->message.source));
    nfcllFlushDeferred(ll);
}

void onIoControlRequest(TNfcllContext* ll) {
    const auto f = nfcllMsgGet<NFCLL_IOCONTROL_REQ>(ll->message);
    TRACE(NFCLL_TRC_STATE, "nfcll: Io control req, command 0x%X,hInstance %p, (%p,%d),(%p,%d), timeout %d ms",
          static_cast<unsigned>(f.code), f.instance, static_cast<const void*>(f.input), static_cast<int>(f.inputLength),
          static_cast<void*>(f.output), static_cast<int>(f.outputSize), static_cast<int>(f.timeout));
    ll->ioOutput = f.output;
    ll->ioOutputSize = f.output ? f.outputSize : 0;
    if (!ll->miniport.ioControlRequest) {
        nfcllSendUsIoControlConf(ll, NFCLL_CAUSE_NO_DRIVER, nullptr, 0);
        return;
    }
    ll->miniport.ioControlRequest(ll, f.code, f.instance, f.timeout, f.input, f.inputLength, f.output, f.outputSize);
}

void onHealthMonitor(TNfcllContext* ll) {
    const bool on = nfcllMsgGet<NFCLL_HEALTHMON_REQ>(ll->message).on != 0;
    TRACE(NFCLL_TRC_STATE, "nfcll: Turning health monitoring %s", on ? "on" : "off");
    if (on) ll->flags |= NFCLL_FLAG_HEALTH_MONITOR;
    else ll->flags &= ~NFCLL_FLAG_HEALTH_MONITOR;
}

void onLlcpActivated(TNfcllContext* ll) {
    TRACE(NFCLL_TRC_STATE, "nfcll: %s", "nfcllHandleActivateConfirmation");
    nfcllFlushDeferred(ll);
}

void onErrorIndication(TNfcllContext* ll) {
    nfcllSendUsCause(ll, NFCLL_ERROR_IND, nfcllMsgGet<NFCLL_ERROR_IND>(ll->message).cause);
}

void onDeviceResponse(TNfcllContext* ll) {
    ll->flags &= ~NFCLL_FLAG_DEVICE_IND_PENDING;
    nfcllFlushDeferred(ll);
}

using Handler = void (*)(TNfcllContext* ll);
struct Row {
    uint16_t command;
    Handler handler;
};
constexpr Row kCommands[] = {
    {PH_HWIO_PARAM_CONF, &onHwioParamConf},
    {MM_LINK_PROTOCOL, &onLinkProtocol},
    {PH_SET_PARAMETER_CONF, &onSetParameterConf},
    {PH_LINE_SIGNAL, &onLineSignal},
    {HW_TIMER_EXPIRED, &nfcllHandleTimerExpiry},
    {PH_DATA_REQ, &nfcllHandleDataRequest},
    {PH_RESET_REQ, &onResetRequest},
    {PH_RESET_CONF, &onResetConf},
    {PH_RESET_FAILED, &onResetFailed},
    {PH_RELEASE_CONF, &onReleaseConf},
    {PH_DATA_IND, &onDataIndication},
    {PH_ACT_IND, &onActivationIndication},
    {PH_DEACT_IND, &onDeactivationIndication},
    {PH_ADAPTER_REMOVED, &onAdapterRemoved},
    {NFCLL_ACT_REQ, &onActivationRequest},
    {NFCLL_LISTEN_REQ, &onListenRequest},
    {NFCLL_TRANSACTION_REQ, &nfcllHandleTransactionRequest},
    {NFCLL_CHECK_REQ, &nfcllHandleCheckRequest},
    {NFCLL_SELECT_REQ, &onSelectRequest},
    {NFCLL_US_QUEUE_REQ, &onUsQueueRequest},
    {NFCLL_IOCONTROL_REQ, &onIoControlRequest},
    {NFCLL_HEALTHMON_REQ, &onHealthMonitor},
    {NFCLL_ACT_CONF, &onLlcpActivated},
    {NFCLL_ERROR_IND, &onErrorIndication},
    {NFCLL_DEVICE_RESP, &onDeviceResponse},
};

void dispatch(TNfcllContext* ll) {
    for (const Row& row : kCommands)
        if (row.command == ll->message.command) {
            row.handler(ll);
            return;
        }
    if (!ll->miniport.otherMessage || ll->miniport.otherMessage(ll) != 0)
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! nfcllHandleMessage: unexpected L1 message 0x%X",
              static_cast<unsigned>(ll->message.command));
}

} // namespace

// ---- Registration and life cycle ----------------------------------------------------------------
OsResult nfcllRegister(uint16_t readerType) {
    const Family* family = familyOf(readerType);
    if (!family) {
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! reader type 0x%X names no controller family", static_cast<unsigned>(readerType));
        return OS_NOT_FOUND;
    }
    g_registration.readerType = readerType;
    const uint16_t driverSize = g_registration.testInit ? g_registration.testDriverSize : family->driverSize;
    return osModuleRegister(family->task, static_cast<uint16_t>(driverOffset() + driverSize), &nfcllInit, &nfcllDone,
                            MM_TYPE_STACK_LAYER);
}

void nfcllSetDriverInit(TNfcllDriverInit init, uint16_t driverSize) {
    g_registration.testInit = init;
    g_registration.testDriverSize = init ? driverSize : 0;
}

int32_t nfcllInit(void* segment, uint32_t moduleWord) {
    auto* ll = static_cast<TNfcllContext*>(segment);
    TRACE(NFCLL_TRC_STARTUP, "nfcllInit(), reader type 0x%X", static_cast<unsigned>(g_registration.readerType));
    if (ll->initialised) {
        osQueueSetName(ll->queueId, moduleWord);
        return 0;
    }
    ll->queueWord = moduleWord;
    ll->readerType = g_registration.readerType;
    if (osTaskCreate(ll, &nfcllTask, moduleWord, &ll->queueId) != OS_OK) {
        DEBUG_BREAK(kSource);
        return -1;
    }
    // Without its pools layer 1 could carry no frame: the start fails instead of seeming to work.
    const uint32_t poolBase = moduleWord & ~0x3FFu;
    if (osPoolFindByName(poolBase | 0x1F7u, &ll->rxPool) != OS_OK ||
        osPoolFindByName(poolBase | 0x2F7u, &ll->pool2) != OS_OK || !openDriverPool(ll, poolBase)) {
        DEBUG_BREAK(kSource);
        return -1;
    }
    osGetTimerQueueID(&ll->timerQueue);
    ll->deferredHead = ll->deferredCount = 0;
    ll->miniport.hwioParamConf = nullptr;
    ll->driver = static_cast<uint8_t*>(segment) + driverOffset();
    ll->initialised = true;
    TNfcllDriverInit init = driverInitOf(ll->readerType);
    if (init) init(ll);
    return 0;
}

void nfcllDone(void* segment) {
    auto* ll = static_cast<TNfcllContext*>(segment);
    if (!ll || !ll->initialised) return;
    TRACE(NFCLL_TRC_STARTUP, "nfcllDone(), chip done %p", reinterpret_cast<void*>(ll->miniport.chipDone));
    if (ll->miniport.chipDone) ll->miniport.chipDone(ll);
    nfcllPurgeTxQueue(ll);
    nfcllDropDeferred(ll);
    if (ll->rx.buffer) osBufferRelease(ll->rx.buffer);
    ll->rx = {};
    ll->initialised = false;
}

void nfcllTask(void* instance) {
    auto* ll = static_cast<TNfcllContext*>(instance);
    if (osMessageReceive(ll->queueId, &ll->message) != OS_OK) return;
    dispatch(ll);
}

// ---- Services ----------------------------------------------------------------------------------
void nfcllSetState(TNfcllContext* ll, uint32_t state) {
    TRACE(NFCLL_TRC_STATE, "nfcll: nfcllSetState %d -> %d", static_cast<int>(ll->state), static_cast<int>(state));
    ll->state = state;
}

void nfcllSendUsActConf(TNfcllContext* ll) {
    // An activation answered already (its time-out, a lost link) is confirmed once only; a driver
    // brought up again later, by itself or by request, confirms from the active states.
    if (ll->state != NFCLL_STATE_ACTIVATING && ll->state != NFCLL_STATE_ACTIVE && ll->state != NFCLL_STATE_RESET_REQUESTED) {
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! activation confirmation in state %d, the activation ended already",
              static_cast<int>(ll->state));
        return;
    }
    uint16_t cause = NFCLL_CAUSE_NO_RESOURCES;
    if (ll->miniport.initializationStep) {
        cause = ll->miniport.initializationStep(ll, &ll->capabilities);
        if (cause == NFCLL_CAUSE_PENDING) return;
    }
    nfcllSetState(ll, NFCLL_STATE_ACTIVE);
    TRACE(NFCLL_TRC_STARTUP, "nfcll: %s, cause %X", "nfcllSendUsActConf", static_cast<unsigned>(cause));
    confirmActivation(ll, cause);
}

bool nfcllSendDsData(TNfcllContext* ll, const uint8_t* data, uint16_t length) {
    void* buffer = nullptr;
    if (length == 0 || osBufferGet(ll->rxPool, length, &buffer, nullptr, nullptr) != OS_OK) return false;
    std::memcpy(buffer, data, length);
    const uint32_t flags = NFCLL_MSG_OWNS_BUFFER;
    OsMessage message = nfcllMsgMake<PH_DATA_REQ>(ll->queueWord, {flags, 0, length, static_cast<uint8_t*>(buffer)});
    if (osMessageSend(ll->dsQueue, &message) != OS_OK) {
        osBufferRelease(buffer);
        return false;
    }
    return true;
}

bool nfcllSendDsDataReq(TNfcllContext* ll, uint8_t* buffer, uint16_t length) {
    OsMessage message = nfcllMsgMake<PH_DATA_REQ>(ll->queueWord, {NFCLL_MSG_OWNS_BUFFER, 0, length, buffer});
    if (osMessageSend(ll->dsQueue, &message) == OS_OK) return true;
    osBufferRelease(buffer);
    return false;
}
