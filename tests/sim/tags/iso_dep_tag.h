// An ISO-DEP card (ISO/IEC 14443-4 over NFC-A or NFC-B) holding an NFC Forum Type 4 NDEF
// application: SELECT by name (the NDEF application) and by file id, READ BINARY and UPDATE
// BINARY on transparent files, with short or extended lengths (ISO/IEC 7816-4). The capability
// container file is read-only; the NDEF file starts with its two-byte length.
#pragma once

#include <map>

#include "tags/tag.h"

namespace simtags {

class IsoDepTag : public Tag {
public:
    static constexpr uint16_t CC_FILE = 0xE103;
    static constexpr uint16_t NDEF_FILE = 0xE104;
    static const Bytes NDEF_APPLICATION;   // D2 76 00 00 85 01 01

    explicit IsoDepTag(Technology technology = Technology::A, size_t ndefFileSize = 1024);

    void reset() override;

protected:
    std::optional<Bytes> respond(const Bytes& apdu) override;
    Exchange describe(const Bytes& apdu) const override;   // op: INS; address: P1 P2; data: the body
    std::optional<Bytes> nak() const override { return Bytes{0x6F, 0x00}; }   // no precise diagnosis

    std::map<uint16_t, Bytes> files;   // transparent files of the NDEF application by id

private:
    Bytes select(uint8_t p1, const Bytes& data);
    Bytes readBinary(size_t offset, size_t length) const;
    Bytes updateBinary(size_t offset, const Bytes& data);

    bool applicationSelected_ = false;
    std::optional<uint16_t> currentFile_;
};

} // namespace simtags
