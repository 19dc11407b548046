// NCI packets out of a byte stream: the per-chip frame prefix and suffix, the reassembly of a
// packet from the chunks the lower transport delivers, and the check of each packet's header.
// Runs on the lower transport's receive side only.
#pragma once

#include <cstdint>

#include "corvane.h"

constexpr uint32_t NCI_HEADER_SIZE = 3;
constexpr uint32_t NCI_MAX_PACKET = NCI_HEADER_SIZE + 255;

// Bytes that frame every packet of a chip on the line.
struct TNciFraming {
    const BYTE* rxPrefix;
    uint32_t rxPrefixLength;
    const BYTE* rxSuffix;
    uint32_t rxSuffixLength;
    const BYTE* txPrefix;
    uint32_t txPrefixLength;
    const BYTE* txSuffix;
    uint32_t txSuffixLength;
};

// The framing of a reader type (NfcReaderType); no prefix and no suffix for most.
TNciFraming nciFramingOf(uint16_t readerType);

// Takes one whole, checked packet (header and payload).
using TNciPacketSink = void (*)(void* user, BYTE* packet, DWORD length);

enum TNciRxState : uint8_t { nciRxPrefix = 0, nciRxHeader = 1, nciRxPayload = 2, nciRxSuffix = 3 };

struct TNciReceiveContext {
    uint16_t readerType;
    TNciFraming framing;
    TNciPacketSink sink;
    void* sinkUser;
    uint8_t state;
    uint32_t expected;    // header and payload
    uint32_t count;
    uint32_t match;       // bytes of the prefix or suffix matched so far
    BYTE frame[NCI_MAX_PACKET];
};

void nciReceiveInit(TNciReceiveContext* context, uint16_t readerType, TNciPacketSink sink, void* sinkUser);
// Drops a packet that is only partly in: the next byte starts a new one.
void nciReceiveRestart(TNciReceiveContext* context);
void nciReceiveBytes(TNciReceiveContext* context, const BYTE* bytes, DWORD length);

// Whether a packet header (its first two bytes) names a data packet or a known control opcode.
bool nciHeaderValid(BYTE byte0, BYTE byte1);
