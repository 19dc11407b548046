// The base timer: a one-shot timer whose callback runs on the platform's timer thread. At most
// nine run at a time; they share one table and its lock.
#pragma once

#include <cstdint>

constexpr uint32_t OS_BASE_TIMER_SLOTS = 9;

using OsBaseTimerProc = void (*)(void* userData);
struct OsBaseTimer;

// Empty without memory.
OsBaseTimer* osBaseTimerCreate(OsBaseTimerProc callback, void* userData);
// Stops the timer, waits for a callback of it that runs on another thread, and frees it.
// Must not be called with a lock held that the callback takes.
void osBaseTimerDelete(OsBaseTimer* timer);
// 1 started, 0 failed. Starting a running timer starts it anew.
int osBaseTimerStart(OsBaseTimer* timer, uint32_t milliseconds);
// 1; 0 for an empty timer. Inside its own callback a timer is left running: the callback
// decides itself whether it starts again.
int osBaseTimerStop(OsBaseTimer* timer);
// The platform timer's expiry for the timer in a slot (1 to 9).
void osSystemTimerCallBack(uint32_t slot);
