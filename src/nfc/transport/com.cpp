#include "transport/com.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "hw/hw_timer.h"
#include "mm/mm.h"
#include "os/os_mem.h"
#include "platform.h"
#include "transport/etsitransport.h"
#include "transport/ncitransport.h"
#include "transport/serialchannel.h"
#include "transport/serialfrontend.h"
#include "transport/transportloader.h"
#include "util/config.h"
#include "util/trace.h"

// The instance lives in memory that only zeroing prepares and nothing destroys.
static_assert(std::is_trivially_destructible_v<TComInstance>);

namespace {

constexpr uint16_t kFamilySerial = 0x100;
constexpr uint16_t kFamilyEtsi = 0x200;
constexpr uint16_t kFamilyNci = 0x400;
constexpr size_t kReaderTypeSize = 33;

// The line the open completion sets up when the instance asks for it: no parity (code 1), one
// stop bit, eight data bits.
constexpr DWORD kLineParityNone = 1;
constexpr DWORD kLineStopBitsOne = 1;
constexpr DWORD kLineByteSize = 8;

// Guards every timer slot: the lower interface's threads start and stop timers while the com
// task handles expiries and shut-down. Held across the message to the timer task, so the timer
// task sees starts and stops in the order the slots changed.
PlatLock g_timerLock;
// Held across an open that sets up lines on completion, so the completion finds the handle.
PlatLock g_openLock;

TComInstance* instanceOf(void* instance) { return static_cast<TComInstance*>(instance); }

uint16_t readerTypeOf(const char* configuration) {
    char name[kReaderTypeSize] = "";
    cfgGetParam(configuration, "READERTYPE", name, sizeof name);
    return cfgReaderTypeCode(name);
}

OsResult sendUp(TComInstance* com, uint16_t command) {
    OsMessage message{};
    message.command = command;
    message.source = com->ownName;
    return osMessageSend(com->upstreamQueue.load(), &message);
}

template <typename Fields>
OsResult sendUp(TComInstance* com, uint16_t command, const Fields& fields) {
    OsMessage message{};
    message.command = command;
    message.source = com->ownName;
    osMsgSetFields(message, fields);
    return osMessageSend(com->upstreamQueue.load(), &message);
}

void sendDeactivation(TComInstance* com, uint16_t cause) { sendUp(com, PH_DEACT_IND, PhParamFields{cause}); }

// To the queue named by the request's source word.
void answerSender(TComInstance* com, const OsMessage& request, uint16_t command, uint16_t parameter) {
    OsMessage answer{};
    answer.command = command;
    answer.source = request.source;
    osMsgSetFields(answer, PhParamFields{parameter});
    osMessageSendByName(&answer, com->ownName);
}

DWORD setProperty(TComInstance* com, DWORD property, void* value, DWORD length) {
    if (!com->lower.setProperty) return COM_ERR_PROPERTY;
    return com->lower.setProperty(com->hCom.load(), property, value, length);
}

// Timer lock held.
OsResult sendTimerCommand(TComInstance* com, uint16_t command, uint8_t slot, uint32_t ticks) {
    OsMessage message{};
    message.command = command;
    message.source = com->ownName;
    osMsgSetFields(message, HwTimerFields{slot, com->timers[slot].sequence, 0, 0, ticks});
    return osMessageSend(com->timerQueue, &message);
}

// Timer lock held.
void stopSlot(TComInstance* com, uint8_t slot) {
    TComTimerSlot& t = com->timers[slot];
    t.running = 0;
    sendTimerCommand(com, HW_TIMER_STOP, slot, 0);
    ++t.sequence;
}

void startTimer(TComInstance* com, DWORD slot, DWORD durationMs) {
    if (slot >= COM_TIMER_SLOTS) {
        debugPrint(DBG_ERROR, "comTask: ! timer %d does not exist", static_cast<int>(slot));
        return;
    }
    PlatLockGuard guard(g_timerLock);
    TComTimerSlot& t = com->timers[slot];
    if (t.running) {
        debugPrint(0, "comTask: timer %d already started !", static_cast<int>(slot));
        return;
    }
    // A start the timer task never got would leave the slot running for good.
    if (sendTimerCommand(com, HW_TIMER_START, static_cast<uint8_t>(slot), durationMs / HW_TIMER_TICK_MS) != OS_OK) {
        debugPrint(DBG_ERROR, "comTask: ! timer %d not started", static_cast<int>(slot));
        return;
    }
    t.running = 1;
}

void stopTimer(TComInstance* com, DWORD slot) {
    if (slot >= COM_TIMER_SLOTS) return;
    PlatLockGuard guard(g_timerLock);
    if (com->timers[slot].running) stopSlot(com, static_cast<uint8_t>(slot));
}

// Only an expiry of a running slot with its current sequence byte counts.
void timerExpired(TComInstance* com, const OsMessage& message) {
    const auto f = osMsgFields<HwTimerFields>(message);
    if (f.timerId >= COM_TIMER_SLOTS) return;
    {
        PlatLockGuard guard(g_timerLock);
        TComTimerSlot& t = com->timers[f.timerId];
        if (!t.running || t.sequence != f.channel) return;
        t.running = 0;
        ++t.sequence;
    }
    BYTE slot = f.timerId;
    setProperty(com, compTimerExpired, &slot, sizeof slot);
}

DWORD openDownStream(TComInstance* com) {
    DWORD status = COM_ERR_OPEN;
    TComHandle handle = nullptr;
    if (com->lower.open) {
        if (com->lineSetup) g_openLock.lock();
        status = com->lower.open(com->deviceName, com->configuration, &comTaskCallBack, com, &handle);
        // A failed second open keeps the link that is open.
        if (status < COM_ERR_CONTROL_BLOCK) com->hCom = handle;
        if (com->lineSetup) g_openLock.unlock();
    }
    if (status >= COM_ERR_CONTROL_BLOCK)
        debugPrint(DBG_ERROR, "! comOpenDownStream(), 'comOpen %s, %s' failed 0x%X", com->deviceName, com->configuration,
                   status);
    return status;
}

// Exactly one owner releases a written buffer: the transmission's completion when the family
// asks for that (or the com task at once when the write was refused, as no completion comes),
// else the com task after the write when the message hands the buffer over.
void dataRequest(TComInstance* com, const OsMessage& message) {
    const auto f = osMsgFields<PhDataFields>(message);
    DWORD status = COM_ERR_STATE;
    if (!f.buffer && f.length) debugPrint(DBG_ERROR, "[comTask] ! PH_DATA_REQ without buffer, length %d", f.length);
    else if (com->lower.write) status = com->lower.write(com->hCom.load(), f.buffer + f.offset, f.length);
    const bool failed = status >= COM_ERR_CONTROL_BLOCK;
    if (failed) debugPrint(DBG_ERROR, "! comapi write failed");
    const bool release = com->releaseOnCompletion ? failed : (f.flags & PH_DATA_OWNED) != 0;
    if (release && f.buffer) osBufferRelease(f.buffer);
}

void resetRequest(TComInstance* com, const OsMessage& message) {
    debugPrint(0, "[comTask]  PH_RESET_REQ, hCom=%p", com->hCom.load());
    if (!com->hCom.load()) {
        answerSender(com, message, PH_RESET_CONF, 0);
        return;
    }
    auto parameter = osMsgFields<PhParamFields>(message).parameter;
    const DWORD status = setProperty(com, compResetController, &parameter, sizeof parameter);
    debugPrint(0, "[comTask]  reset controller returns 0x%X", status);
    if (comResetFailed(status)) {
        debugPrint(DBG_ERROR, "[comTask:] ! PH_RESET_REQ failed cause: 0x%X", status);
        answerSender(com, message, PH_RESET_CONF, 1);
    } else if (status >= COM_ERR_CONTROL_BLOCK) {
        answerSender(com, message, PH_RESET_CONF, 0);   // nothing to reset: done at once
    }
}

void linkProtocol(TComInstance* com, const OsMessage& message) {
    const auto f = osMsgFields<MmLinkProtocolFields>(message);
    com->upstreamQueue = f.above;
    com->upstreamPool = f.pool1;
    debugPrint(0, "[comTask] LINK_PROTOCOL usqueue 0x%X uspool 0x%X", f.above, f.pool1);
}

void setParameterRequest(TComInstance* com, const OsMessage& message) {
    OsMessage answer = message;
    answer.command = PH_SET_PARAMETER_CONF;
    auto f = osMsgFields<PhSetParameterFields>(message);
    f.result = 0;
    osMsgSetFields(answer, f);
    osMessageSendByName(&answer, com->ownName);
}

void openCompleted(TComInstance* com, DWORD status) {
    debugPrint(0, "comTaskCallBack(), Open completed, status 0x%X", status);
    if (com->lineSetup) {
        { PlatLockGuard guard(g_openLock); }   // the open has stored its handle
        DWORD parity = kLineParityNone, stopBits = kLineStopBitsOne, byteSize = kLineByteSize;
        setProperty(com, compParity, &parity, sizeof parity);
        setProperty(com, compStopBits, &stopBits, sizeof stopBits);
        setProperty(com, compByteSize, &byteSize, sizeof byteSize);
    }
    if (status == COM_SUCCESS) sendUp(com, PH_ACT_IND);
    else sendDeactivation(com, 0);
}

// Copies a received frame into a buffer of the own pool, or of layer 1's when the own pool is
// empty, and hands that buffer up.
void dataReceived(TComInstance* com, const BYTE* data, DWORD length) {
    if (!data && length) {
        debugPrint(DBG_ERROR, "! comTask, rx data len %d without buffer", static_cast<int>(length));
        return;
    }
    void* buffer = nullptr;
    const bool fits = length <= UINT16_MAX;
    const auto size = static_cast<uint16_t>(length);
    if (!fits || osBufferGet(com->rxPool, size, &buffer, nullptr, nullptr) != OS_OK) {
        const uint16_t pool = com->upstreamPool.load();
        if (!pool) {
            debugPrint(DBG_ERROR, "! comTask, missing usPoolID for rx data len %d)", static_cast<int>(length));
            sendDeactivation(com, COM_CAUSE_NO_RX_BUFFER);
            return;
        }
        if (!fits || osBufferGet(pool, size, &buffer, nullptr, nullptr) != OS_OK) {
            debugPrint(DBG_ERROR, "! comTask, cannot alloc buffer for rx data len %d)", static_cast<int>(length));
            sendDeactivation(com, COM_CAUSE_NO_RX_BUFFER);
            return;
        }
    }
    if (length) std::memcpy(buffer, data, length);
    // A frame nobody took would hold its buffer for good.
    if (sendUp(com, PH_DATA_IND, PhDataFields{PH_DATA_OWNED, 0, size, static_cast<BYTE*>(buffer)}) != OS_OK) {
        debugPrint(DBG_ERROR, "! comTask, PH_DATA_IND len %d not delivered", static_cast<int>(length));
        osBufferRelease(buffer);
    }
}

// Modem-line events 17 to 20 become the codes 6/7, 4/5, 2/3, 0/1: even for on, odd for off.
uint16_t lineCode(DWORD event, DWORD status) {
    return static_cast<uint16_t>((comeRing - event) * 2 + (status ? 0 : 1));
}

void createLowerInterface(TComInstance* com) {
    debugPrint(0, "# comCreateLowerInterface(), setup chip transport #");
    TComLowerInterface table{};
    comSelectLowerInterface(&table, com->configuration, com->deviceName);
    com->lower = table;
}

} // namespace

DWORD comNoResponse(TComHandle, BYTE*) { return COM_SUCCESS; }

void comSelectLowerInterface(TComLowerInterface* table, const char* configuration, const char* deviceName) {
    const char* text = configuration ? configuration : "";
    const uint16_t readerType = readerTypeOf(text);
    *table = TComLowerInterface{};
    if (readerType & kFamilyEtsi) {
        if (std::strstr(text, "FWDOWNLOAD=RAW")) {
            debugPrint(0, "Setup raw ETSI transport interface for download");
            TTransportLink link;
            transportLayerLoad(&link, deviceName, text, nullptr);
            *table = {link.ops.open, link.ops.close, link.ops.write, nullptr, link.ops.setProperty, link.ops.getProperty};
        } else {
            debugPrint(0, "Setup monolithic ETSI stack interface");
            *table = {&etsiTransportOpen,    &etsiTransportClose,   &etsiTransportWrite, &etsiTransportResponse,
                      &ehciLayerSetProperty, &etsiTransportGetProperty};
        }
    }
    if (readerType & kFamilyNci) {
        debugPrint(0, "Setup monolithic NCI stack interface");
        *table = {&nciTransportOpen,        &nciTransportClose,       &nciTransportWrite, &comNoResponse,
                  &nciTransportSetProperty, &nciTransportGetProperty};
    }
    if (readerType & kFamilySerial) {
        debugPrint(0, "Setup monolithic serial interface");
        *table = {&comOpen, &comClose, &comWrite, &comNoResponse, &comSetProperty, &comGetProperty};
    }
}

int32_t comInit(const char* configuration, void* instance, OsQueueName queueName) {
    const char* text = configuration ? configuration : "";
    debugPrint(0, "comInit() enter, <%s>", text);
    TComInstance* com = instanceOf(instance);
    int32_t status = 0;
    if (std::strstr(text, "FWDOWNLOAD")) {
        new (com) TComInstance{};
        com->deviceName = "";
        com->configuration = text;
        createLowerInterface(com);
    } else if (!com->ownName) {
        new (com) TComInstance{};
        g_timerLock.create();
        g_openLock.create();
        com->releaseOnCompletion = (readerTypeOf(text) & kFamilyEtsi) != 0;
        osGetTimerQueueID(&com->timerQueue);
        com->deviceName = "";
        com->configuration = text;
        com->ownName = queueName;
        if (osTaskCreate(com, &comTask, queueName, &com->ownQueue) != OS_OK) {
            debugPrint(DBG_ERROR, "! comInit, cannot create the com task");
            status = -1;
        } else if (osPoolCreate(COM_RX_POOL_NAME, COM_RX_BUFFER_SIZE, COM_RX_BUFFERS, &com->rxPool) != OS_OK) {
            debugPrint(DBG_ERROR, "Cannot create pool !");
            status = -1;
        } else {
            createLowerInterface(com);
        }
    } else {
        osQueueSetName(com->ownQueue, queueName);
    }
    debugPrint(0, "comInit() exit status 0x%X", static_cast<unsigned>(status));
    return status;
}

void comShutdown(void* instance) {
    TComInstance* com = instanceOf(instance);
    if (!com) return;
    debugPrint(0, "comShutdown() enter");
    {
        PlatLockGuard guard(g_timerLock);
        for (uint8_t slot = 0; slot < COM_TIMER_SLOTS; ++slot) {
            if (com->timers[slot].running != 1) continue;
            debugPrint(0, "stop timer %d", slot);
            stopSlot(com, slot);
        }
    }
    if (TComHandle handle = com->hCom.exchange(nullptr); handle && com->lower.close) com->lower.close(handle);
    debugPrint(0, "comShutdown() exit");
}

const TComLowerInterface* comLowerInterface(void* instance) { return instance ? &instanceOf(instance)->lower : nullptr; }

void comTask(void* instance) {
    TComInstance* com = instanceOf(instance);
    OsMessage message{};
    if (osMessageReceive(com->ownQueue, &message) != OS_OK) return;
    switch (message.command) {
    case PH_HWIO_PARAM_REQ:
        debugPrint(0, "[comTask] send HWIO access param Conf");
        sendUp(com, PH_HWIO_PARAM_CONF, PhHwioParamFields{nullptr, 0});
        break;
    case MM_LINK_PROTOCOL: linkProtocol(com, message); break;
    case PH_SET_PARAMETER_REQ: setParameterRequest(com, message); break;
    case PH_LINK_INFO:
    case PH_LINE_SIGNAL: break;
    case HW_TIMER_EXPIRED: timerExpired(com, message); break;
    case PH_DATA_REQ: dataRequest(com, message); break;
    case PH_RESET_REQ: resetRequest(com, message); break;
    case PH_ACT_REQ:
        debugPrint(0, "[comTask]  PH_ACT_REQ");
        if (openDownStream(com) >= COM_ERR_CONTROL_BLOCK) sendDeactivation(com, 0);
        break;
    case PH_DEACT_REQ:
        debugPrint(0, "[comTask] PH_DEACT_REQ");
        comShutdown(com);
        break;
    case PH_RELEASE_REQ:
        debugPrint(0, "[comTask]  PH_RELEASE_REQ");
        comShutdown(com);
        sendUp(com, PH_RELEASE_CONF);
        break;
    default: debugPrint(DBG_ERROR, "[comTask] ! unknown Message 0x%X", message.command); break;
    }
}

void comTaskCallBack(void* context, DWORD event, DWORD status, BYTE* buffer, DWORD length) {
    TComInstance* com = instanceOf(context);
    if (!com) return;
    switch (event) {
    case comeOpenCompleted: openCompleted(com, status); break;
    case comeCloseCompleted: debugPrint(0, "comTaskCallBack(), Close completed"); break;
    case comeDataReceived: dataReceived(com, buffer, length); break;
    case comeTransmitCompleted:
        // The completion names what was written, which starts at the message's offset.
        if (com->releaseOnCompletion && buffer) {
            if (void* start = osBufferStartOf(buffer)) osBufferRelease(start);
            else debugPrint(DBG_ERROR, "[comTask] ! completion of %p names no pool buffer", static_cast<void*>(buffer));
        }
        break;
    case comeDeviceError:
        debugPrint(DBG_ERROR, "comTaskCallBack() Device Error: 0x%X", status);
        sendDeactivation(com, COM_CAUSE_DEVICE_ERROR);
        break;
    case comeResetCompleted:
        debugPrint(0, "comTaskCallBack(), Reset completed");
        sendUp(com, PH_RESET_CONF, PhParamFields{0});
        break;
    case comeBreak: break;
    case comeDsr:
    case comeCts:
    case comeDcd:
    case comeRing: sendUp(com, PH_LINE_SIGNAL, PhParamFields{lineCode(event, status)}); break;
    case comeAdapterPlugin: debugPrint(0, "comTaskCallBack() lower adapter is inserted again"); break;
    case comeAdapterPlugout:
        debugPrint(0, "comTaskCallBack() lower adapter is removed");
        sendUp(com, PH_ADAPTER_REMOVED);
        break;
    case comeTimerStart: startTimer(com, status, length); break;
    case comeTimerStop: stopTimer(com, status); break;
    default: debugPrint(DBG_ERROR, "comTaskCallBack() ! Serial event 0x%X unknown", event); break;
    }
}
