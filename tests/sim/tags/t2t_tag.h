// NFC Forum Type 2 tag: pages of 4 bytes, the 7-byte UID with its check bytes in pages 0 to 2,
// READ (0x30, four pages from the given one, wrapping at the end) and WRITE (0xA2, one page).
// ACK and NAK are 4-bit answers, given as one byte (0x0A, 0x00). The memory holds page n at
// bytes 4n..4n+3; pages 0 and 1 (the UID) cannot be written.
#pragma once

#include "tags/tag.h"

namespace simtags {

class T2tTag : public Tag {
public:
    static constexpr uint8_t ACK = 0x0A;
    static constexpr uint8_t NAK = 0x00;

    explicit T2tTag(std::array<uint8_t, 7> uid = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, size_t pages = 16);

    // A lone 4-bit answer is an ACK or a NAK; a READ answers 16 bytes.
    Reply judge(const Bytes& answer) const override;

    size_t pages() const { return memory.size() / 4; }

protected:
    std::optional<Bytes> respond(const Bytes& command) override;
    std::optional<Bytes> nak() const override { return Bytes{NAK}; }
};

} // namespace simtags
