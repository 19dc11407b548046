#include "tags/iso15693_tag.h"

#include <algorithm>

namespace simtags {
namespace {

constexpr uint8_t FLAG_PROTOCOL_EXTENSION = 0x08, FLAG_ADDRESSED = 0x20, FLAG_OPTION = 0x40;
constexpr uint8_t READ_SINGLE_BLOCK = 0x20, WRITE_SINGLE_BLOCK = 0x21, LOCK_BLOCK = 0x22, GET_SYSTEM_INFORMATION = 0x2B;
constexpr uint8_t ERROR_NOT_SUPPORTED = 0x01, ERROR_FORMAT = 0x02, ERROR_BLOCK = 0x10, ERROR_LOCKED = 0x12;
constexpr uint8_t INFO_DSFID = 0x01, INFO_AFI = 0x02, INFO_MEMORY = 0x04, INFO_IC = 0x08;

Bytes error(uint8_t code) { return Bytes{0x01, code}; }

bool isBlockCommand(uint8_t command) {
    return command == READ_SINGLE_BLOCK || command == WRITE_SINGLE_BLOCK || command == LOCK_BLOCK;
}

} // namespace

Iso15693Tag::Iso15693Tag(std::array<uint8_t, 8> uid, size_t blocks, size_t blockSize, bool extended)
    : Tag(Technology::V, Protocol::T5T, blocks * blockSize), blockSize(blockSize), extended(extended), locks_(blocks) {
    name = "ISO 15693";
    v.uid = uid;
}

// Info flags, UID on air, DSFID, AFI, block count - 1 (two bytes, low first, on a 16-bit chip),
// block size - 1, IC reference.
Bytes Iso15693Tag::systemInformation() const {
    Bytes out{0x00, INFO_DSFID | INFO_AFI | INFO_MEMORY | INFO_IC};
    for (auto b = v.uid.rbegin(); b != v.uid.rend(); ++b) out.push_back(*b);
    out.insert(out.end(), {v.dsfid, afi});
    const size_t last = blocks() - 1;
    out.push_back(static_cast<uint8_t>(last));
    if (extended) out.push_back(static_cast<uint8_t>(last >> 8));
    out.insert(out.end(), {static_cast<uint8_t>(blockSize - 1), icReference});
    return out;
}

std::optional<Bytes> Iso15693Tag::respond(const Bytes& request) {
    if (request.size() < 2) return std::nullopt;
    const uint8_t flags = request[0], command = request[1];
    size_t pos = 2;
    if (flags & FLAG_ADDRESSED) {
        if (request.size() < pos + 8 || !std::equal(v.uid.rbegin(), v.uid.rend(), request.begin() + 2)) return std::nullopt;
        pos += 8;
    }
    if (command == GET_SYSTEM_INFORMATION) return request.size() == pos ? systemInformation() : error(ERROR_FORMAT);
    if (!isBlockCommand(command)) return error(ERROR_NOT_SUPPORTED);
    const bool wide = flags & FLAG_PROTOCOL_EXTENSION;
    if (extended && !wide) return error(ERROR_FORMAT);
    const size_t numberSize = wide ? 2 : 1;
    const size_t dataSize = command == WRITE_SINGLE_BLOCK ? blockSize : 0;
    if (request.size() != pos + numberSize + dataSize) return error(ERROR_FORMAT);
    size_t block = request[pos] | (numberSize == 2 ? request[pos + 1] << 8 : 0);
    pos += numberSize;
    if (block >= blocks()) return error(ERROR_BLOCK);

    auto at = memory.begin() + static_cast<std::ptrdiff_t>(block * blockSize);
    switch (command) {
    case WRITE_SINGLE_BLOCK:
        if (locks_[block]) return error(ERROR_LOCKED);
        std::copy_n(request.begin() + static_cast<std::ptrdiff_t>(pos), blockSize, at);
        return Bytes{0x00};
    case LOCK_BLOCK:
        if (locks_[block]) return error(ERROR_LOCKED);
        locks_[block] = true;
        return Bytes{0x00};
    default: {
        Bytes out{0x00};
        if (flags & FLAG_OPTION) out.push_back(locks_[block] ? 0x01 : 0x00);   // security status
        out.insert(out.end(), at, at + static_cast<std::ptrdiff_t>(blockSize));
        return out;
    }
    }
}

Exchange Iso15693Tag::describe(const Bytes& request) const {
    Exchange e;
    if (request.size() < 2) return e;
    e.op = request[1];
    size_t pos = request[0] & FLAG_ADDRESSED ? 10 : 2;
    if (pos < request.size()) e.address = request[pos++];
    if ((request[0] & FLAG_PROTOCOL_EXTENSION) && pos < request.size()) e.address |= uint32_t{request[pos++]} << 8;
    if (pos < request.size()) e.data.assign(request.begin() + static_cast<std::ptrdiff_t>(pos), request.end());
    return e;
}

} // namespace simtags
