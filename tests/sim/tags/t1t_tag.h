// NFC Forum Type 1 tag: blocks of 8 bytes, block 0 holding the 7-byte UID, the header ROM bytes
// HR0 HR1, and the commands RID (0x78), RALL (0x00), READ (0x01), WRITE-E (0x53), WRITE-NE (0x1A,
// bits only set), and on dynamic memory (more than 120 bytes) RSEG (0x10, 128 bytes of a
// segment) and WRITE-E8 (0x54, a whole block). Every command carries the UID's first four bytes
// behind it; a command for another UID is not answered. Byte commands address the first 128
// bytes (block in bits 6-3, byte in bits 2-0). The static lock bytes 112 and 113 lock blocks 0-7
// and 8-14 bit by bit; block 0 is never writable; a write to a locked block is not answered.
#pragma once

#include "tags/tag.h"

namespace simtags {

class T1tTag : public Tag {
public:
    static constexpr size_t STATIC_SIZE = 120;

    explicit T1tTag(std::array<uint8_t, 7> uid = {0x3B, 0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB}, size_t memorySize = STATIC_SIZE);

    uint8_t hr0;        // 0x11 static, 0x12 dynamic
    uint8_t hr1 = 0x48;

protected:
    std::optional<Bytes> respond(const Bytes& command) override;
    Exchange describe(const Bytes& command) const override;   // data: the byte or block a write carries

private:
    bool writable(size_t block) const;
    std::optional<Bytes> writeBlock(uint8_t block, const Bytes& command);
};

} // namespace simtags
