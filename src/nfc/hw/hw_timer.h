// The hardware-timer task: every timer of the stack is a message to it, and the expiry comes
// back as a message to the owner's queue. Running timers wait in one delta list counted in
// ticks of 10 ms; one base timer is armed for the first entry. Time comes from platTickMs.
#pragma once

#include <cstdint>

#include "os/os.h"

constexpr OsQueueName HW_TIMER_QUEUE_NAME = 0x42;
constexpr uint32_t HW_TIMER_TICK_MS = 10;
constexpr int HW_TIMER_ENTRIES = 10;

enum : uint16_t {
    HW_TIMER_START = 0xF0,
    HW_TIMER_STOP = 0xF1,
    HW_TIMER_RESTART = 0xF2,
    HW_TIMER_EXPIRED = 0xF3,
};

// Fields of the three commands and of the expiry. An owner names a timer by its source word,
// the timer ID and the channel; in an expiry, ticks is the entry's delta when it expired.
struct HwTimerFields {
    uint8_t timerId;
    uint8_t channel;
    uint8_t type;      // must be 0
    uint8_t spare;
    uint32_t ticks;
};

// Registers the timer module with the module manager.
OsResult hwTimerRegister();
// The timer module's start function.
int32_t hwTimerTaskInit(void* instance, uint32_t moduleWord);
OsResult osGetTimerQueueID(uint16_t* id);

// Expires what the ticks elapsed since the last update allow.
void hwTimerUpdate();
// Arms the base timer for the first entry when that is due before the armed base timer
// expires; nothing when no timer runs.
void hwTimerRearm();
// Whether the base timer is armed, and for which tick count.
bool hwTimerArmedAt(uint32_t* tick);

void hwMarveldTimerInit();
// Stops the base timer for good. Called by osDone.
void hwMarveldTimerDone();
