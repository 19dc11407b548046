// NFC Forum Type 1 tag with static memory: 15 blocks of 8 bytes (120 bytes, block 0 holds the
// 7-byte UID), the header ROM bytes HR0 HR1, and the commands RID (0x78), RALL (0x00),
// READ (0x01) and WRITE-E (0x53). Every command carries the UID's first four bytes; a command
// for another UID is not answered. The address byte is the byte's offset in the memory, whose
// block 0 cannot be written.
#pragma once

#include "tags/tag.h"

namespace simtags {

class T1tTag : public Tag {
public:
    explicit T1tTag(std::array<uint8_t, 7> uid = {0x3B, 0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB});

    uint8_t hr0 = 0x11;
    uint8_t hr1 = 0x48;

protected:
    std::optional<Bytes> respond(const Bytes& command) override;
    Exchange describe(const Bytes& command) const override;   // data: the one byte a write carries
};

} // namespace simtags
