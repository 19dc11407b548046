// Test control of the fake bus proxy library: what the controller sends through the proxy's
// callbacks, a log of the packets written, injected failures.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
void spFakeReset();                                  // defaults: links, every write taken
void spFakeFailLink(int fail);                       // nfcLinkL1Consumer answers 0
void spFakeFailWrites(int fail);                     // the proxy's write answers 0
size_t spFakeLastPort(char* buffer, size_t size);    // the port of the last link
size_t spFakeCloseCount();
size_t spFakeWriteCount();
size_t spFakeWrite(size_t index, uint8_t* buffer, size_t size);
// Calls the serial data callback as the proxy's reader thread would.
void spFakeDeliver(const uint8_t* data, uint32_t length);
void spFakeTxDone(uint8_t* buffer);
}
