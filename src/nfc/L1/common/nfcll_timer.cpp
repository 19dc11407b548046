// Layer 1's timers (the activation timer, the RF-field timer and the drivers' timers) and the
// debouncing of the RF field.
#include "L1/common/nfcll_internal.h"
#include "hw/hw_timer.h"
#include "util/trace.h"

namespace {

bool timerTraceOn() { return debugOn(NFCLL_TRC_TIMER) && debugOn(NFCLL_TRC_STATE); }

bool validId(uint8_t timerId) {
    if (timerId < NFCLL_TIMER_COUNT) return true;
    TRACE(NFCLL_TRC_ERROR, "nfcll: ! timer id %d out of range", static_cast<int>(timerId));
    return false;
}

// Ticks of 10 ms, rounded up so that a short duration still waits.
uint32_t ticksOf(uint32_t ms) { return (ms + HW_TIMER_TICK_MS - 1) / HW_TIMER_TICK_MS; }

void sendTimerCommand(TNfcllContext* ll, uint16_t command, uint8_t timerId, uint32_t ms) {
    OsMessage message{};
    message.command = command;
    message.source = ll->queueWord;
    osMsgSetFields(message, HwTimerFields{timerId, ll->timers[timerId].channel, 0, 0, ticksOf(ms)});
    if (osMessageSend(ll->timerQueue, &message) != OS_OK)
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! cannot send command 0x%X for timer %d", static_cast<unsigned>(command),
              static_cast<int>(timerId));
}

void rfFieldTimerExpired(TNfcllContext* ll) {
    if (ll->flags & NFCLL_FLAG_RF_FIELD) return;
    ll->flags &= ~NFCLL_FLAG_RF_FIELD_REPORTED;
    nfcllSendUs(ll, nfcllMsgMake<NFCLL_RF_FIELD_IND>(ll->queueWord, {0}));
}

void driverTimerExpired(TNfcllContext* ll, uint8_t timerId) {
    // The answer to the second packet of an Ultralight sector select is its time-out.
    if (ll->ulSectorSelect == 3) {
        nfcllSendUsTransactionInd(ll, nullptr, 0, 0);
        ll->ulSectorSelect = 0;
        return;
    }
    if (!ll->miniport.timerExpired) {
        TRACE(NFCLL_TRC_ERROR, "nfcll: ! missing miniport function for timerExpired");
        return;
    }
    ll->miniport.timerExpired(ll, timerId);
}

} // namespace

void nfcllSetTimer(TNfcllContext* ll, uint8_t timerId, uint32_t ms) {
    if (!validId(timerId)) return;
    TNfcllTimer& timer = ll->timers[timerId];
    if (timerTraceOn())
        debugPrint(0, "nfcll: nfcllSetTimer, timerID %d channel %d, %d ms", static_cast<int>(timerId),
                   static_cast<int>(timer.channel), static_cast<int>(ms));
    if (timer.running) return;
    timer.running = 1;
    sendTimerCommand(ll, HW_TIMER_START, timerId, ms);
}

void nfcllRestartTimer(TNfcllContext* ll, uint8_t timerId, uint32_t ms) {
    if (!validId(timerId)) return;
    TNfcllTimer& timer = ll->timers[timerId];
    if (timerTraceOn())
        debugPrint(0, "nfcll: nfcllRestartTimer, timerID %d channel %d, %d ms", static_cast<int>(timerId),
                   static_cast<int>(timer.channel), static_cast<int>(ms));
    if (!timer.running) {
        timer.running = 1;
        sendTimerCommand(ll, HW_TIMER_START, timerId, ms);
        return;
    }
    sendTimerCommand(ll, HW_TIMER_RESTART, timerId, ms);
}

void nfcllResetTimer(TNfcllContext* ll, uint8_t timerId) {
    if (!validId(timerId)) return;
    TNfcllTimer& timer = ll->timers[timerId];
    if (timerTraceOn())
        debugPrint(0, "nfcll: nfcllResetTimer, timerID %d channel %d", static_cast<int>(timerId),
                   static_cast<int>(timer.channel));
    if (!timer.running) return;
    sendTimerCommand(ll, HW_TIMER_STOP, timerId, 0);
    timer.running = 0;
    ++timer.channel;
}

void nfcllHandleTimerExpiry(TNfcllContext* ll) {
    const auto f = osMsgFields<HwTimerFields>(ll->message);
    if (!validId(f.timerId)) return;
    TNfcllTimer& timer = ll->timers[f.timerId];
    if (!timer.running) {
        TRACE(NFCLL_TRC_STATE, "nfcll: timer %d expired while not running, ignored", static_cast<int>(f.timerId));
        return;
    }
    if (timer.channel != f.channel) {
        TRACE(NFCLL_TRC_STATE, "nfcll: ! timer %d tag %d mismatch", static_cast<int>(f.timerId),
              static_cast<int>(f.channel));
        return;
    }
    if (f.timerId != 1 && f.timerId != 6 && f.timerId != 10)
        TRACE(NFCLL_TRC_STATE, "nfcll: ! TIMER_EXPIRED id=%d, ticks=%d, tag=%d", static_cast<int>(f.timerId),
              static_cast<int>(f.ticks), static_cast<int>(f.channel));
    timer.running = 0;
    ++timer.channel;
    switch (f.timerId) {
    case NFCLL_TIMER_ACTIVATION: nfcllActivationTimedOut(ll); break;
    case NFCLL_TIMER_RF_FIELD: rfFieldTimerExpired(ll); break;
    default: driverTimerExpired(ll, f.timerId); break;
    }
}

void nfcllReportRfField(TNfcllContext* ll, bool on) {
    if (on) ll->flags |= NFCLL_FLAG_RF_FIELD;
    else ll->flags &= ~NFCLL_FLAG_RF_FIELD;
    if (on && !(ll->flags & NFCLL_FLAG_RF_FIELD_REPORTED)) {
        nfcllResetTimer(ll, NFCLL_TIMER_RF_FIELD);
        ll->flags |= NFCLL_FLAG_RF_FIELD_REPORTED;
        nfcllSendUs(ll, nfcllMsgMake<NFCLL_RF_FIELD_IND>(ll->queueWord, {1}));
        return;
    }
    nfcllRestartTimer(ll, NFCLL_TIMER_RF_FIELD, NFCLL_FIELD_DEBOUNCE_MS);
}
