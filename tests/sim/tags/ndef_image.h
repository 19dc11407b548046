// An independent reader of what a tag image holds, for tests to check what a handler left on a
// simulated tag: the TLV blocks of a Type 1 / Type 2 data area and the NDEF records of a message
// (NFC Forum TLV and NDEF definitions). It shares no code with the library.
#pragma once

#include <optional>

#include "tags/tag.h"

namespace simtags {

struct TlvBlock {
    uint8_t type;
    size_t offset;      // of the TLV's type byte in the area
    Bytes value;
};

// The TLVs of a data area up to and including the terminator; empty when a TLV runs past the
// area (the area does not decode).
std::optional<std::vector<TlvBlock>> readTlvs(const Bytes& area);
// The value of the first NDEF TLV.
std::optional<Bytes> ndefMessage(const Bytes& area);
// The message a reader takes from the area: the value of the first NDEF TLV, whatever follows
// it; nothing when a terminator, the end of the area or a TLV that runs past it comes first.
std::optional<Bytes> firstNdefMessage(const Bytes& area);
// The value of an NDEF TLV that starts the area, whatever follows it (a tag without a terminator
// leaves old memory there).
std::optional<Bytes> leadingNdefTlv(const Bytes& area);

struct NdefRecord {
    bool messageBegin, messageEnd;
    uint8_t tnf;
    Bytes type, id, payload;
};
// The records of a whole message; empty when the message does not decode exactly.
std::optional<std::vector<NdefRecord>> parseNdef(const Bytes& message);

// Builders of the images tests write and expect.
Bytes concat(Bytes a, const Bytes& b);
// One MIME record of exactly n bytes (n >= 4); payload byte k is k * step.
Bytes mimeMessage(size_t n, uint8_t step);
// The NDEF TLV of value (three-byte length past 254) followed by the terminator TLV.
Bytes ndefTlv(const Bytes& value);

} // namespace simtags
