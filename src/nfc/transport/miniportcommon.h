// What the bus miniports share: the retries of a failed read, the clearing of a controller's
// queue after power-up, the chunk
// sizes of the ETSI HCI byte stream, and the NDLC owner's side (frames read from the bus in two
// steps, packets handed down whole, the link's events reported up).
#pragma once

#include <cstdint>
#include <iterator>

#include "transport/chiptransport.h"
#include "transport/ndlc.h"

constexpr uint32_t MP_TRACE_RAW = 0x80000000u;        // layer-1 bits
constexpr uint32_t MP_TRACE_CALLBACK = 0x40000000u;
constexpr uint32_t MP_NDLC_HEADER = 4;
constexpr uint32_t MP_NDLC_RX_SIZE = MP_NDLC_HEADER + 255 + 2;   // the longest frame a header can announce

constexpr uint32_t MP_READ_RETRY_MS[] = {2, 3, 5};

// A bus read that fails is tried again after 2, 3 and 5 ms; beforeRetry(retry from 1, pause in
// ms) traces each retry. True once a read succeeded.
template <typename Read, typename BeforeRetry>
bool mpReadRetrying(Read read, BeforeRetry beforeRetry) {
    if (read()) return true;
    for (uint32_t retry = 0; retry < std::size(MP_READ_RETRY_MS); ++retry) {
        beforeRetry(retry + 1, MP_READ_RETRY_MS[retry]);
        platSleepMs(MP_READ_RETRY_MS[retry]);
        if (read()) return true;
    }
    return false;
}

// Reads through the miniport's read until the controller shows its idle byte (HCI chips only),
// then requires the interrupt line to be quiet; false (traced) when either fails.
bool mpInitialClearing(TChipTransport* record);

// The next chunk of an HCI frame: 15, 24, 12, then 29 bytes; a chunk that ends with the idle
// byte starts the next frame.
uint32_t mpHciChunkSize(uint32_t index);
uint32_t mpHciNextChunk(uint32_t index, const BYTE* chunk, uint32_t length);
// True when a chunk holds nothing but idle bytes.
bool mpHciAllIdle(const BYTE* chunk, uint32_t length);

// Reads one frame through the miniport's read into rx (MP_NDLC_RX_SIZE bytes) and hands it to
// NDLC; false when a read came back short. Idle data is no frame.
bool mpReceiveNdlcFrame(TChipTransport* record, BYTE* rx, TNdlc* ndlc);
// NDLC takes the whole packet or refuses it: a packet is never cut. While every buffer of the
// link waits for its acknowledgement the answer is CHIP_WRITE_BUSY: the frame is offered again.
int32_t mpNdlcWrite(TNdlc* ndlc, const BYTE* buffer, DWORD length);
// The events of the link but the bus write: data is copied into up and reported as received,
// link loss and errors as the adapter removed.
void mpNdlcEvent(TChipTransport* record, uint32_t event, const uint8_t* data, uint32_t length, BYTE* up);
