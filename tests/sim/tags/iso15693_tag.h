// An ISO/IEC 15693 vicinity tag: blocks of 4 bytes, READ SINGLE BLOCK (0x20) and WRITE SINGLE
// BLOCK (0x21), in non-addressed or addressed mode (flag 0x20: the UID, least significant byte
// first, follows the command; a request for another UID is not answered), with one- or two-byte
// block numbers (protocol extension flag 0x08) and the option flag 0x40 (a read then also
// returns the block's security status). Errors are answered with flag 0x01 and an error code.
// The memory holds block n at bytes 4n..4n+3.
#pragma once

#include "tags/tag.h"

namespace simtags {

class Iso15693Tag : public Tag {
public:
    // UID as printed: 0xE0, manufacturer, product, serial.
    explicit Iso15693Tag(std::array<uint8_t, 8> uid = {0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78}, size_t blocks = 28);

protected:
    std::optional<Bytes> respond(const Bytes& request) override;
    Exchange describe(const Bytes& request) const override;   // op: the command code; address: the block
    std::optional<Bytes> nak() const override { return Bytes{0x01, 0x0F}; }   // error, unknown reason
};

} // namespace simtags
