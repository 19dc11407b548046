// Test control of the fake bus proxy library: what the controller sends through the proxy's
// callbacks or puts on the SPB bus, a log of the packets written and the bus calls, injected
// failures.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
// Called for every write taken (either link), on the writer's thread.
using SpFakeWriteHook = void (*)(void* context, const uint8_t* data, uint32_t length);

void spFakeReset();                                  // defaults: links, every write taken
void spFakeFailLink(int fail);                       // nfcLinkL1Consumer and spbOpen fail
void spFakeFailWrites(int fail);                     // the proxy's write answers 0
size_t spFakeLastPort(char* buffer, size_t size);    // the port of the last link
size_t spFakeCloseCount();
size_t spFakeWriteCount();
size_t spFakeWrite(size_t index, uint8_t* buffer, size_t size);
// Calls the serial data callback as the proxy's reader thread would.
void spFakeDeliver(const uint8_t* data, uint32_t length);
void spFakeTxDone(uint8_t* buffer);
// The SPB bus: bytes the controller has to read (idle bytes 0x7E past them), its interrupt.
void spFakeQueueRead(const uint8_t* data, size_t length);
size_t spFakeUnread();
void spFakeFailReads(int32_t count);                 // the next bus reads fail
void spFakeInterrupt();                              // calls the miniport's interrupt callback
void spFakeSend(const uint8_t* data, size_t length); // queued, then one interrupt
size_t spFakeCallCount(const char* call);            // "read 15", "line 0", "power 1", "spbOpen 0"
void spFakeSetWriteHook(SpFakeWriteHook hook, void* context);
}
