// The stop-and-wait link that carries NCI packets over I2C and SPB: every data frame waits for
// its acknowledgement, lost or damaged frames are sent again on T1, and T2 declares the link
// lost. One worker thread ("ndlc") per instance owns the state machine and both timers.
#pragma once

#include <cstdint>

constexpr uint32_t NDLC_FRAME_MAX = 260;     // longest received frame, and longest NCI packet to send
constexpr uint32_t NDLC_FULL_MODE = 0x01;    // CRC on every frame, supervisor acknowledgements

enum TNdlcState : uint32_t {
    NDLC_STATE_IDLE,
    NDLC_STATE_DATA_ACK,
    NDLC_STATE_SUPER_ACK,
    NDLC_STATE_ERROR,
    NDLC_STATE_LINKLOST,
};

// What the instance asks of its owner.
enum TNdlcEvent : uint32_t {
    NDLC_EVENT_DSWRITE = 1,     // write this frame to the bus
    NDLC_EVENT_DATAIND = 2,     // an NCI packet arrived
    NDLC_EVENT_LINKLOST = 3,
    NDLC_EVENT_ERROR = 4,
    NDLC_EVENT_JUNK = 5,        // a damaged frame arrived
};

using TNdlcCallback = void (*)(void* owner, uint32_t event, const uint8_t* data, uint32_t length);

struct TNdlc;

// The flags for a configuration string: full mode unless it holds "NONDLCCRC".
uint32_t NdlcFlagsFor(const char* parameters);

TNdlc* NdlcCreate(void* owner, TNdlcCallback callback, uint32_t flags);
// Stops the worker and wakes every sender still blocked in the instance before freeing it.
void NdlcDestroy(TNdlc* instance);
// Queues an NCI packet. Never waits: false at once when every buffer still waits for its
// acknowledgement (the caller offers the packet again later), or when the link has ended.
bool NdlcSendDownstream(uint32_t length, TNdlc* instance, const uint8_t* packet);
// True once the link is lost, in error or being destroyed: no packet is taken any more.
bool NdlcLinkEnded(const TNdlc* instance);
// Hands over a frame read from the bus; returns once it is copied, so the buffer may be reused.
bool NdlcSendUpstream(uint32_t length, const uint8_t* frame, TNdlc* instance);
