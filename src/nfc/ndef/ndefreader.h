// Bounded cursors over NDEF bytes: every read and write checks what remains first, so no
// length taken from a message or a caller can move them outside their (data, length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "util/bytereader.h"

using NdefReader = CByteReader;

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
