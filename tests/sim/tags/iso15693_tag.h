// An ISO/IEC 15693 vicinity tag: blocks of 4, 8 or 32 bytes, READ SINGLE BLOCK (0x20), WRITE
// SINGLE BLOCK (0x21), LOCK BLOCK (0x22) and GET SYSTEM INFORMATION (0x2B), in non-addressed or
// addressed mode (flag 0x20: the UID, least significant byte first, follows the command; a
// request for another UID is not answered), with one- or two-byte block numbers (protocol
// extension flag 0x08) and the option flag 0x40 (a read then also returns the block's security
// status). A chip with 16-bit block numbers takes its block numbers only with flag 0x08 and
// gives its block count in two bytes in the system information. Errors are answered with flag
// 0x01 and an error code: 0x01 command not supported, 0x02 format, 0x10 block not available,
// 0x12 block locked. The memory holds block n at bytes n x blockSize onward.
#pragma once

#include "tags/tag.h"

namespace simtags {

class Iso15693Tag : public Tag {
public:
    // UID as printed: 0xE0, manufacturer, product, serial.
    explicit Iso15693Tag(std::array<uint8_t, 8> uid = {0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78}, size_t blocks = 28,
                         size_t blockSize = 4, bool extended = false);

    bool locked(size_t block) const { return block < locks_.size() && locks_[block]; }

    const size_t blockSize;
    const bool extended;      // 16-bit block numbers
    uint8_t afi = 0x00;
    uint8_t icReference = 0x01;

protected:
    std::optional<Bytes> respond(const Bytes& request) override;
    Exchange describe(const Bytes& request) const override;   // op: the command code; address: the block
    std::optional<Bytes> nak() const override { return Bytes{0x01, 0x0F}; }   // error, unknown reason

private:
    Bytes systemInformation() const;
    size_t blocks() const { return memory.size() / blockSize; }

    std::vector<bool> locks_;
};

} // namespace simtags
