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
void armFakeQueuePacket(const uint8_t* data, size_t length);   // raises the interrupt until read
void armFakeWriteStatuses(const uint8_t* statuses, size_t count);   // answered by the next writes
size_t armFakeWriteCalls();                              // DutTx calls, failed ones included
size_t armFakeWriteCount();                              // packets taken
size_t armFakeWrite(size_t index, uint8_t* buffer, size_t size);
size_t armFakeCallCount(const char* call);               // e.g. "DutInit 1 40 400000", "IoCtl 50"
void armFakeSetWriteHook(ArmFakeWriteHook hook, void* context);
}
