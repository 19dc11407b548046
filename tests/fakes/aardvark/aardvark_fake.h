// Test control of the fake I2C host adapter library: the controller's interrupt line and the
// bytes it has to read, a log of what was written and configured, injected failures.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
// Called for every successful write with the bytes written, on the writer's thread.
using AaFakeWriteHook = void (*)(void* context, const uint8_t* data, uint16_t length);

void aaFakeReset();                                // defaults: one free adapter, version 0x05000500
void aaFakeSetVersion(uint32_t version);
void aaFakeSetDevices(const uint16_t* devices, int32_t count);
void aaFakeSetActiveHigh(int activeHigh);          // how the controller drives its interrupt line
void aaFakeSetIrq(int mode);                       // -1: asserted while bytes wait, 0: never, 1: always
void aaFakeQueueRead(const uint8_t* data, size_t length);
void aaFakeFailReads(int32_t count);               // the next reads answer a failure status
size_t aaFakeWriteCount();
size_t aaFakeWrite(size_t index, uint8_t* buffer, size_t size);   // bytes of one write
size_t aaFakeCallCount(const char* call);          // e.g. "c_aa_i2c_bitrate 400"
uint16_t aaFakeSlaveAddress();                     // of the last read or write
void aaFakeSetWriteHook(AaFakeWriteHook hook, void* context);
}
