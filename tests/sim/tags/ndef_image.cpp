#include "tags/ndef_image.h"

namespace simtags {

namespace {

constexpr uint8_t NULL_TLV = 0x00, NDEF_TLV = 0x03, TERMINATOR_TLV = 0xFE;
constexpr uint8_t MB = 0x80, ME = 0x40, CF = 0x20, SR = 0x10, IL = 0x08;

// A cursor that refuses to move past the end.
struct Cursor {
    const Bytes& b;
    size_t pos = 0;
    bool take(size_t n, Bytes* out = nullptr) {
        if (b.size() - pos < n) return false;
        if (out) out->assign(b.begin() + static_cast<std::ptrdiff_t>(pos), b.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
        return true;
    }
    bool byte(uint8_t& v) {
        if (pos >= b.size()) return false;
        v = b[pos++];
        return true;
    }
    bool number(size_t bytes, size_t& v) {
        v = 0;
        for (size_t k = 0; k < bytes; ++k) {
            uint8_t x;
            if (!byte(x)) return false;
            v = v << 8 | x;
        }
        return true;
    }
};

} // namespace

std::optional<std::vector<TlvBlock>> readTlvs(const Bytes& area) {
    std::vector<TlvBlock> out;
    Cursor c{area};
    uint8_t type;
    while (c.byte(type)) {
        TlvBlock t{type, c.pos - 1, {}};
        if (type == NULL_TLV) continue;
        if (type == TERMINATOR_TLV) {
            out.push_back(t);
            break;
        }
        uint8_t first;
        size_t length = 0;
        if (!c.byte(first)) return std::nullopt;
        if (first == 0xFF) {
            if (!c.number(2, length)) return std::nullopt;
        } else {
            length = first;
        }
        if (!c.take(length, &t.value)) return std::nullopt;
        out.push_back(t);
    }
    return out;
}

std::optional<Bytes> ndefMessage(const Bytes& area) {
    const auto tlvs = readTlvs(area);
    if (!tlvs) return std::nullopt;
    for (const TlvBlock& t : *tlvs)
        if (t.type == NDEF_TLV) return t.value;
    return std::nullopt;
}

std::optional<Bytes> firstNdefMessage(const Bytes& area) {
    Cursor c{area};
    uint8_t type;
    while (c.byte(type)) {
        if (type == NULL_TLV) continue;
        if (type == TERMINATOR_TLV) return std::nullopt;
        uint8_t first;
        size_t length = 0;
        if (!c.byte(first)) return std::nullopt;
        if (first != 0xFF) length = first;
        else if (!c.number(2, length)) return std::nullopt;
        Bytes value;
        if (!c.take(length, &value)) return std::nullopt;
        if (type == NDEF_TLV) return value;
    }
    return std::nullopt;
}

std::optional<std::vector<NdefRecord>> parseNdef(const Bytes& message) {
    std::vector<NdefRecord> out;
    Cursor c{message};
    uint8_t header;
    while (c.byte(header)) {
        if (header & CF) return std::nullopt;   // chunks are not needed by the tests that read images
        NdefRecord r{bool(header & MB), bool(header & ME), static_cast<uint8_t>(header & 0x07), {}, {}, {}};
        size_t typeLength, payloadLength, idLength = 0;
        if (!c.number(1, typeLength) || !c.number(header & SR ? 1 : 4, payloadLength)) return std::nullopt;
        if ((header & IL) && !c.number(1, idLength)) return std::nullopt;
        if (!c.take(typeLength, &r.type) || !c.take(idLength, &r.id) || !c.take(payloadLength, &r.payload))
            return std::nullopt;
        out.push_back(r);
        if (r.messageEnd) break;
    }
    if (out.empty() || !out.front().messageBegin || !out.back().messageEnd || c.pos != message.size()) return std::nullopt;
    return out;
}

std::optional<Bytes> leadingNdefTlv(const Bytes& area) {
    if (area.size() < 2 || area[0] != 0x03) return std::nullopt;
    const bool wide = area[1] == 0xFF;
    if (wide && area.size() < 4) return std::nullopt;
    const size_t length = wide ? size_t{area[2]} << 8 | area[3] : area[1], at = wide ? 4 : 2;
    if (area.size() < at + length) return std::nullopt;
    return Bytes(area.begin() + static_cast<std::ptrdiff_t>(at), area.begin() + static_cast<std::ptrdiff_t>(at + length));
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes mimeMessage(size_t n, uint8_t step) {
    const bool shortRecord = n - 4 <= 255;
    const size_t payload = n - (shortRecord ? 4 : 7);
    Bytes m = shortRecord ? Bytes{0xD2, 0x01, static_cast<uint8_t>(payload)}
                          : Bytes{0xC2, 0x01, 0, 0, static_cast<uint8_t>(payload >> 8), static_cast<uint8_t>(payload)};
    m.push_back('a');
    for (size_t k = 0; k < payload; ++k) m.push_back(static_cast<uint8_t>(k * step));
    return m;
}

Bytes ndefTlv(const Bytes& value) {
    Bytes t{0x03};
    if (value.size() > 254) t.insert(t.end(), {0xFF, static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())});
    else t.push_back(static_cast<uint8_t>(value.size()));
    return concat(concat(t, value), {0xFE});
}

} // namespace simtags
