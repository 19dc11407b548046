// NFC Forum Type 2 tag: pages of 4 bytes, the 7-byte UID with its check bytes in pages 0 to 2,
// READ (0x30, four pages from the given one), WRITE (0xA2, one page) and the two packets of
// SECTOR_SELECT (0xC2 0xFF, then the sector and three bytes) on tags of more than one sector of
// 256 pages. ACK and NAK are 4-bit answers, given as one byte (0x0A, 0x00).
//
// Memory rules as a real chip keeps them: pages 0 and 1 are read-only; the lock bytes of page 2
// (bytes 2 and 3) and the capability container in page 3 are one-time programmable, a write only
// sets bits; a static lock bit freezes its page (byte 2 bits 3-7: pages 3-7, byte 3: pages 8-15);
// a dynamic lock bit freezes bytesPerBit bytes from byte 64 on. A READ whose pages run past the
// end wraps round to page 0 on the small tags and draws a NAK on the larger ones. The memory holds
// page n at bytes 4n..4n+3, page p of sector s at page 256s + p.
#pragma once

#include <memory>

#include "tags/tag.h"

namespace simtags {

class T2tTag : public Tag {
public:
    static constexpr uint8_t ACK = 0x0A;
    static constexpr uint8_t NAK = 0x00;
    static constexpr size_t kSectorPages = 256;

    enum class PastTheEnd : uint8_t { Wrap, Nak };
    // Dynamic lock bits: `bits` bits in the bytes from `address` on, each freezing bytesPerBit bytes.
    struct DynamicLock {
        size_t address = 0;
        size_t bits = 0;
        size_t bytesPerBit = 8;
    };

    explicit T2tTag(std::array<uint8_t, 7> uid = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, size_t pages = 16);

    // Presets of real chips, blank (as they leave the factory without NDEF) or NDEF-formatted
    // with an empty message.
    enum class Chip : uint8_t { Ultralight, UltralightC, Ntag144, Ntag496, Ntag872, MydMove, Myd16P, Myd32P };
    static std::shared_ptr<T2tTag> make(Chip chip, bool formatted);

    void reset() override;
    // A lone 4-bit answer is an ACK or a NAK; a READ answers 16 bytes.
    Reply judge(const Bytes& answer) const override;

    size_t pages() const { return memory.size() / 4; }
    size_t sectors() const { return (pages() + kSectorPages - 1) / kSectorPages; }
    bool pageLocked(size_t page) const;
    bool lockByte(size_t byte) const;   // one of the dynamic lock bytes
    uint8_t selectedSector() const { return sector_; }

    PastTheEnd pastTheEnd = PastTheEnd::Wrap;
    DynamicLock dynamicLock;

protected:
    std::optional<Bytes> respond(const Bytes& command) override;
    std::optional<Bytes> nak() const override { return Bytes{NAK}; }

private:
    std::optional<Bytes> read(size_t page) const;
    std::optional<Bytes> write(size_t page, const uint8_t* data);
    std::optional<Bytes> selectSector(const Bytes& command);

    uint8_t sector_ = 0;
    bool sectorSelectArmed_ = false;
};

} // namespace simtags
