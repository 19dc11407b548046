// NFC Forum Type 3 tag: blocks of 16 bytes behind two services (0x000B read-only, 0x0009
// read/write), answering POLLING (0x00), CHECK (0x06) and UPDATE (0x08). Frames begin with their
// length byte, both ways; a frame for another NFCID2 is not answered. Errors come back as
// status flags (SF1 0x01, SF2 the reason). The memory holds block n at bytes 16n..16n+15.
#pragma once

#include "tags/tag.h"

namespace simtags {

class T3tTag : public Tag {
public:
    static constexpr uint16_t SERVICE_READ = 0x000B;
    static constexpr uint16_t SERVICE_READ_WRITE = 0x0009;

    explicit T3tTag(std::array<uint8_t, 8> nfcid2 = {0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05}, size_t blocks = 16,
                    uint16_t systemCode = 0x12FC);

    uint16_t systemCode;

protected:
    std::optional<Bytes> respond(const Bytes& command) override;
    Exchange describe(const Bytes& command) const override;   // op: the command code behind the length byte

private:
    std::optional<Bytes> poll(const Bytes& frame) const;
    std::optional<Bytes> checkOrUpdate(const Bytes& frame);
    Bytes nfcid2() const { return Bytes(f.sensfRes.begin(), f.sensfRes.begin() + 8); }
};

} // namespace simtags
