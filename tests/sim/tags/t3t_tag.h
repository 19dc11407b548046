// NFC Forum Type 3 tag: blocks of 16 bytes behind two services (0x000B read-only, 0x0009
// read/write), answering POLLING (0x00), CHECK (0x06) and UPDATE (0x08). Frames begin with their
// length byte, both ways; a frame whose length byte is not its length, or for another NFCID2, is
// not answered. Errors come back as status flags (SF1 0x01, SF2 the reason; a block past the
// end gives FF A8). A CHECK takes at most maxRead blocks, an UPDATE at most maxWrite. The memory
// holds block n at bytes 16n..16n+15.
//
// As a FeliCa Lite (system code 0x88B4) it has 14 user blocks, the system-code block 0x85
// (88 B4, then zeros) and the memory configuration block 0x88 (MC): the bits of MC0 | MC1 << 8
// mark the user blocks writable, MC1 bit 7 the MC block itself.
#pragma once

#include <memory>

#include "tags/tag.h"

namespace simtags {

class T3tTag : public Tag {
public:
    static constexpr uint16_t SERVICE_READ = 0x000B;
    static constexpr uint16_t SERVICE_READ_WRITE = 0x0009;

    explicit T3tTag(std::array<uint8_t, 8> nfcid2 = {0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05}, size_t blocks = 16,
                    uint16_t systemCode = 0x12FC);

    // A FeliCa Lite with its NFC Forum memory configuration.
    static std::unique_ptr<T3tTag> felicaLite();

    uint16_t systemCode;
    size_t maxRead = 15;
    size_t maxWrite = 13;
    bool lite = false;
    std::array<uint8_t, 16> systemCodeBlock{};   // FeliCa Lite block 0x85
    std::array<uint8_t, 16> mc{};                // FeliCa Lite block 0x88

protected:
    std::optional<Bytes> respond(const Bytes& command) override;
    Exchange describe(const Bytes& command) const override;   // op: the command code behind the length byte

private:
    std::optional<Bytes> poll(const Bytes& frame) const;
    std::optional<Bytes> checkOrUpdate(const Bytes& frame);
    Bytes nfcid2() const { return Bytes(f.sensfRes.begin(), f.sensfRes.begin() + 8); }
    uint8_t* block(size_t number);   // empty past the end
    bool writable(size_t number) const;
};

} // namespace simtags
