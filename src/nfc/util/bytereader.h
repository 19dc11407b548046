// The one bounded reader for wire formats and stored records: every read checks what remains
// first, so no length taken from a message, a tag or a caller can move it outside its
// (data, length). A read that does not fit fails and consumes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class CByteReader {
public:
    CByteReader() = default;
    CByteReader(const uint8_t* data, uint64_t length) : pos_(data), end_(data ? data + length : data) {}

    uint64_t remaining() const { return static_cast<uint64_t>(end_ - pos_); }
    bool empty() const { return pos_ == end_; }
    bool has(uint64_t n) const { return remaining() >= n; }
    const uint8_t* here() const { return pos_; }

    bool u8(uint8_t& v) {
        if (!has(1)) return false;
        v = *pos_++;
        return true;
    }
    bool u16be(uint16_t& v) {
        const uint8_t* p;
        if (!take(2, p)) return false;
        v = static_cast<uint16_t>(p[0] << 8 | p[1]);
        return true;
    }
    bool u16le(uint16_t& v) {
        const uint8_t* p;
        if (!take(2, p)) return false;
        v = static_cast<uint16_t>(p[1] << 8 | p[0]);
        return true;
    }
    bool u32be(uint32_t& v) {
        const uint8_t* p;
        if (!take(4, p)) return false;
        v = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
        return true;
    }
    // The next n bytes: p points at them and the cursor moves past them.
    bool take(uint64_t n, const uint8_t*& p) {
        if (!has(n)) return false;
        p = pos_;
        pos_ += n;
        return true;
    }
    bool skip(uint64_t n) {
        const uint8_t* p;
        return take(n, p);
    }
    // The next n bytes as a cursor of their own.
    bool split(uint64_t n, CByteReader& part) {
        const uint8_t* p;
        if (!take(n, p)) return false;
        part = CByteReader(p, n);
        return true;
    }
    bool startsWith(const uint8_t* bytes, size_t n) const { return has(n) && std::memcmp(pos_, bytes, n) == 0; }

private:
    const uint8_t* pos_ = nullptr;
    const uint8_t* end_ = nullptr;
};
