#include "tags/iso15693_tag.h"

#include <algorithm>

namespace simtags {
namespace {

constexpr size_t BLOCK_SIZE = 4;
constexpr uint8_t FLAG_PROTOCOL_EXTENSION = 0x08, FLAG_ADDRESSED = 0x20, FLAG_OPTION = 0x40;
constexpr uint8_t READ_SINGLE_BLOCK = 0x20, WRITE_SINGLE_BLOCK = 0x21;
constexpr uint8_t ERROR_NOT_SUPPORTED = 0x01, ERROR_FORMAT = 0x02, ERROR_BLOCK = 0x10;

Bytes error(uint8_t code) { return Bytes{0x01, code}; }

} // namespace

Iso15693Tag::Iso15693Tag(std::array<uint8_t, 8> uid, size_t blocks) : Tag(Technology::V, Protocol::T5T, blocks * BLOCK_SIZE) {
    name = "ISO 15693";
    v.uid = uid;
}

std::optional<Bytes> Iso15693Tag::respond(const Bytes& request) {
    if (request.size() < 2) return std::nullopt;
    const uint8_t flags = request[0], command = request[1];
    size_t pos = 2;
    if (flags & FLAG_ADDRESSED) {
        if (request.size() < pos + 8 || !std::equal(v.uid.rbegin(), v.uid.rend(), request.begin() + 2)) return std::nullopt;
        pos += 8;
    }
    if (command != READ_SINGLE_BLOCK && command != WRITE_SINGLE_BLOCK) return error(ERROR_NOT_SUPPORTED);
    const size_t numberSize = flags & FLAG_PROTOCOL_EXTENSION ? 2 : 1;
    const size_t dataSize = command == WRITE_SINGLE_BLOCK ? BLOCK_SIZE : 0;
    if (request.size() != pos + numberSize + dataSize) return error(ERROR_FORMAT);
    size_t block = request[pos] | (numberSize == 2 ? request[pos + 1] << 8 : 0);
    pos += numberSize;
    if (block >= memory.size() / BLOCK_SIZE) return error(ERROR_BLOCK);

    auto at = memory.begin() + static_cast<std::ptrdiff_t>(block * BLOCK_SIZE);
    if (command == WRITE_SINGLE_BLOCK) {
        std::copy_n(request.begin() + static_cast<std::ptrdiff_t>(pos), BLOCK_SIZE, at);
        return Bytes{0x00};
    }
    Bytes out{0x00};
    if (flags & FLAG_OPTION) out.push_back(0x00);   // security status: not locked
    out.insert(out.end(), at, at + BLOCK_SIZE);
    return out;
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
