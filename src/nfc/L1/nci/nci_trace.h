// The NCI message trace decoder: writes a readable account of an NCI packet (hex dump, message
// name, field-by-field payload) to the trace output. It changes nothing in the driver; it only
// remembers the manufacturer of a decoded CORE_INIT_RSP, which switches on that manufacturer's
// proprietary names.
#pragma once

#include <cstdint>

// Bits of the NFC trace word that gate the decoder's lines.
enum : uint32_t {
    NCI_TRC_ERROR = 0x04,           // malformed packets
    NCI_TRC_FRAME = 0x10000000u,    // long separators and the name line
    NCI_TRC_DECODE = 0x20000000u,   // payload decoding
    NCI_TRC_DUMP = 0x40000000u,     // hex dump lines and the short separator
    NCI_TRC_PACKET = 0x80000000u,   // packet header line and dump of the whole packet
};

enum : uint32_t { NCI_DIR_TX = 0, NCI_DIR_RX = 1 };

constexpr uint16_t NCI_KEY_NONE = 0xFFFF;   // a packet too short to have a key

using TNciPrinter = void (*)(const char* prefix, const uint8_t* payload, uint32_t length);

// Hex dump, 8 bytes to a line; the first line starts at the given column (0..7).
void nciShowBuffer(const char* prefix, const uint8_t* data, uint32_t length, uint32_t columnOffset);
// Header line, dump, size check and name line of one packet; returns its key (NCI_KEY_NONE
// when it has fewer than 3 bytes).
uint16_t nciTraceHeader(uint32_t direction, const uint8_t* packet, uint32_t length, const char* prefix);
// The whole account: header, the payload printer of the key, the closing separator.
void nciTraceMessage(uint32_t direction, const uint8_t* packet, uint32_t length, const char* prefix);
// The payload printer of a key; empty for a key without printer or an unknown key (traced).
TNciPrinter nciTraceFindPrinter(uint16_t key, const char* prefix);

uint8_t nciTraceManufacturer();
void nciTraceSetManufacturer(uint8_t manufacturer);   // the driver resets it at start
