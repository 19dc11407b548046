// The SHDLC link under ETSI HCI: a sliding window of 3-bit sequence numbers, I-frames carrying
// HCP data, RR/REJ/RNR acknowledgements and RSET/UA link set-up. It reaches outside only
// through one event callback (buffers, writes, timers, the link lock), which the ETSI transport
// adapter serves; every entry but open and close runs on that adapter's worker thread.
#pragma once

#include <cstdint>

// Requests of the link to its owner: callback(context, event, buffer or pointer, length or slot,
// flags or value).
enum TShdlcEvent : uint32_t {
    shdlceGetBuffer = 1,        // buffer: uint8_t** to fill with a SHDLC_BUFFER_SIZE buffer, or null
    shdlceReleaseBuffer = 2,
    shdlceTxCompleted = 3,      // an I-frame's data (buffer, length); value 0 acknowledged, else given up
    shdlceWrite = 4,            // a frame for the bus (buffer, length); flags SHDLC_FRAME_BUFFER
    shdlceDataReceived = 5,     // payload (buffer, length): the owner releases the buffer
    shdlceLinkEstablished = 6,
    shdlceLinkLost = 7,
    shdlceFlushLower = 8,
    shdlceLock = 9,
    shdlceUnlock = 10,
    shdlceTimerStart = 11,      // slot, value in ms
    shdlceTimerStop = 12,       // slot
};

using TShdlcCallback = void (*)(void* context, uint32_t event, void* buffer, uint32_t length, uint32_t value);

constexpr uint32_t SHDLC_BUFFER_SIZE = 256;
constexpr uint32_t SHDLC_FRAME_BUFFER = 0x8000;   // the written frame's buffer came from event 1

// Link flags.
enum : uint32_t {
    SHDLC_NO_INITIAL_RESET = 0x1000,
    SHDLC_LENGTH_MODE = 0x2000,
    SHDLC_CHIP_REBOOT = 0x4000,
    SHDLC_BAUD_CHANGE = 0x10000000,   // rate code in bits 16 to 19
};

enum : uint32_t { shdlcTimerT1 = 0, shdlcTimerT2 = 1, shdlcTimerT3 = 2 };

struct TShdlc;

// The link's state: 0 closed (or lost), 1 reset sent, 2 connected, 3 reset sent after a
// protocol error.
int32_t shdlcOpen(uint32_t windowSize, TShdlcCallback callback, void* context, uint32_t linkFlags, TShdlc** instance);
int32_t shdlcClose(TShdlc* instance);
// Queues the caller's buffer (not copied) as an I-frame's payload; it is completed by event 3.
int32_t shdlcSend(TShdlc* instance, uint32_t length, uint8_t* buffer);
int32_t shdlcDecode(const uint8_t* bytes, TShdlc* instance, uint32_t length);
void shdlcTimerExpired(TShdlc* instance, uint32_t slot);
// The upper layer answered one data indication.
void shdlcResponse(TShdlc* instance);
int32_t shdlcState(const TShdlc* instance);
// True while a transmit element is free, so a send of a payload that fits is taken.
bool shdlcCanQueue(const TShdlc* instance);
