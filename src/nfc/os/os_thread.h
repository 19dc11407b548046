// Threads, counting semaphores and stopwatches of the library, over the platform layer.
#pragma once

#include <cstdint>

#include "corvane.h"
#include "platform.h"

struct OsThread {
    PlatThread* handle;
    uint32_t id;
    const char* name;     // not copied: a text that outlives the thread
};

// Empty without a procedure, without memory, or when the thread cannot start. The owner joins
// the thread through its handle and then deletes the record.
OsThread* osThreadCreate(PlatThreadProc procedure, void* argument, const char* name);

struct OsSemaphore {
    PlatSemaphore semaphore;
};

// Empty without memory or when initial exceeds maximum.
OsSemaphore* osSemaphoreCreate(uint32_t initial, uint32_t maximum);
BOOL osSemaphoreDelete(OsSemaphore* box);

constexpr uint32_t OS_STOPWATCH_SLOTS = 5;

// Clears every slot and reads the counter frequency into it.
void osStopwatchInit();
void osStopwatchStart(uint32_t slot);
// Milliseconds since the slot's start; 0 for a slot that does not exist.
uint32_t osStopwatchElapsed(uint32_t slot);
