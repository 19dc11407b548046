// Bounded cursors over NDEF bytes: every read and write checks what remains first, so no
// length taken from a message or a caller can move them outside their (data, length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class NdefReader {
public:
    NdefReader() = default;
    NdefReader(const uint8_t* data, uint64_t length) : pos_(data), end_(data ? data + length : data) {}

    uint64_t remaining() const { return static_cast<uint64_t>(end_ - pos_); }
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
    bool split(uint64_t n, NdefReader& part) {
        const uint8_t* p;
        if (!take(n, p)) return false;
        part = NdefReader(p, n);
        return true;
    }
    bool startsWith(const uint8_t* bytes, size_t n) const { return has(n) && std::memcmp(pos_, bytes, n) == 0; }

private:
    const uint8_t* pos_ = nullptr;
    const uint8_t* end_ = nullptr;
};

// Writes stop at the capacity and mark the writer failed instead of going past it.
class NdefWriter {
public:
    NdefWriter(uint8_t* data, uint64_t capacity) : data_(data), capacity_(data ? capacity : 0) {}

    uint64_t size() const { return size_; }
    bool ok() const { return ok_; }
    uint8_t* here() const { return data_ + size_; }

    void u8(uint8_t v) { bytes(&v, 1); }
    void u16be(uint16_t v) {
        const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        bytes(b, 2);
    }
    void u16le(uint16_t v) {
        const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
        bytes(b, 2);
    }
    void u32be(uint32_t v) {
        const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        bytes(b, 4);
    }
    void bytes(const void* src, uint64_t n) {
        if (!ok_ || n > capacity_ - size_) {
            ok_ = false;
            return;
        }
        if (n) std::memcpy(data_ + size_, src, n);
        size_ += n;
    }

private:
    uint8_t* data_;
    uint64_t capacity_;
    uint64_t size_ = 0;
    bool ok_ = true;
};
