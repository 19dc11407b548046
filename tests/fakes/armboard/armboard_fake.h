// Test control of the fake ARM-board library: packets the controller sends, a log of the
// packets written, statuses injected into the writes.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
// Called for every packet taken, on the writer's thread.
using ArmFakeWriteHook = void (*)(void* context, const uint8_t* data, uint16_t length);

void armFakeReset();                                    // defaults: opens, every write succeeds
void armFakeFailOpen(int fail);
// While on, a caller of the interrupt wait stops on its way into it, as a thread may be held
// between its last look at its work and the call; a cancel meanwhile finds no wait to end.
void armFakeHoldIrqWaits(int hold);
int armFakeWaitHeld(uint32_t timeoutMs);                 // 1 once a caller stands held so
void armFakeQueuePacket(const uint8_t* data, size_t length);   // raises the interrupt until read
void armFakeWriteStatuses(const uint8_t* statuses, size_t count);   // answered by the next writes
size_t armFakeWriteCalls();                              // DutTx calls, failed ones included
size_t armFakeWriteCount();                              // packets taken
size_t armFakeWrite(size_t index, uint8_t* buffer, size_t size);
size_t armFakeCallCount(const char* call);               // e.g. "DutInit 1 40 400000", "IoCtl 50", "CancelIo"
void armFakeSetWriteHook(ArmFakeWriteHook hook, void* context);
}
