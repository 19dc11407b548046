// The TLV routines that several tag families share: the content length in either length form,
// the position of the NDEF TLV, and the decoded lock-control and memory-control TLVs.
#pragma once

#include <cstdint>

constexpr uint8_t TLV_NULL = 0x00;
constexpr uint8_t TLV_LOCK_CONTROL = 0x01;
constexpr uint8_t TLV_MEMORY_CONTROL = 0x02;
constexpr uint8_t TLV_NDEF = 0x03;
constexpr uint8_t TLV_TERMINATOR = 0xFE;
constexpr uint8_t TLV_LONG_LENGTH = 0xFF;     // length byte that announces the 3-byte form
constexpr uint16_t TLV_INVALID_LENGTH = 0xFFFF;

struct TControlTlv {
    uint32_t type;              // 1 lock control, 2 memory control
    uint32_t address;           // byte address of the controlled area
    uint16_t size;              // lock bits, or bytes; 256 when the TLV says 0
    uint16_t bytesPerPage;
    uint16_t bytesLockedPerBit; // 0 for a memory control
    uint32_t lockStartAddress;  // the caller's, 0 for a memory control
    uint32_t lockRange;         // size x bytesLockedPerBit, 0 for a memory control
};

// Content length of the TLV at tlv, TLV_INVALID_LENGTH when its header does not fit available.
uint16_t tlvGetLength(const uint8_t* tlv, uint32_t available);
// The NDEF TLV header (2 bytes, or 4 in the 3-byte length form) as a write lays it out. While
// the message is being written the header announces an empty message in the one-byte form
// (03 00, then a terminator), whatever form the message takes: the byte after the type alone
// then tells an empty message from the whole one, and whatever holds it on the tag is written
// last: a tag left at any moment holds the old message, an empty one or the whole new one. A
// finished header of length 0 is that empty header too.
constexpr uint32_t TLV_SWITCH_BYTE = 1;
uint8_t tlvPendingHeaderByte(uint32_t index);
uint8_t tlvHeaderByte(uint32_t index, uint32_t length, uint32_t headerSize);

// Position of the first NDEF TLV, or a value not below length when there is none.
uint32_t tlvFindNdef(const uint8_t* data, uint32_t length);

enum : uint32_t { TLV_DECODED = 0, TLV_NOT_CONTROL = 1, TLV_TOO_SHORT = 2 };
uint32_t tlvDecodeControl(const uint8_t* tlv, uint32_t available, uint32_t lockStartAddress, TControlTlv* out);
void tlvDumpControl(const TControlTlv* record);
