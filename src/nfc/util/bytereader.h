// The one bounded reader for wire formats: every field is taken through it, so nothing is
// ever read past the bytes it was given. A read that does not fit fails and consumes nothing.
#pragma once

#include <cstddef>
#include <cstdint>

class CByteReader {
public:
    CByteReader() = default;
    CByteReader(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}

    size_t size() const { return size_; }
    size_t offset() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    bool empty() const { return pos_ == size_; }
    const uint8_t* position() const { return data_ + pos_; }

    bool u8(uint8_t& out) {
        if (remaining() < 1) return false;
        out = data_[pos_++];
        return true;
    }
    bool u16le(uint16_t& out) {
        if (remaining() < 2) return false;
        out = static_cast<uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
        pos_ += 2;
        return true;
    }
    // The next n bytes as a reader of their own.
    bool take(size_t n, CByteReader& out) {
        if (remaining() < n) return false;
        out = CByteReader(data_ + pos_, n);
        pos_ += n;
        return true;
    }
    // The rest as a reader of its own.
    CByteReader rest() {
        CByteReader out(data_ + pos_, remaining());
        pos_ = size_;
        return out;
    }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
};
