#include "tags/t1t_tag.h"

#include <algorithm>

namespace simtags {
namespace {

constexpr size_t MEMORY_SIZE = 120;
constexpr size_t BLOCK_SIZE = 8;
constexpr uint8_t RID = 0x78, RALL = 0x00, READ = 0x01, WRITE_E = 0x53;

} // namespace

T1tTag::T1tTag(std::array<uint8_t, 7> uid) : Tag(Technology::A, Protocol::T1T, MEMORY_SIZE) {
    name = "T1T";
    std::copy(uid.begin(), uid.end(), memory.begin());
    a.sensRes = {0x0C, 0x00};
    a.nfcid1.assign(uid.begin(), uid.begin() + 4);
}

std::optional<Bytes> T1tTag::respond(const Bytes& command) {
    // Command, address, data, UID0-3.
    if (command.size() != 7) return std::nullopt;
    const uint8_t op = command[0], address = command[1], data = command[2];
    if (op != RID && !std::equal(command.begin() + 3, command.end(), memory.begin())) return std::nullopt;
    switch (op) {
    case RID:
        return Bytes{hr0, hr1, memory[0], memory[1], memory[2], memory[3]};
    case RALL: {
        Bytes out{hr0, hr1};
        out.insert(out.end(), memory.begin(), memory.end());
        return out;
    }
    case READ:
        if (address >= MEMORY_SIZE) return std::nullopt;
        return Bytes{address, memory[address]};
    case WRITE_E:
        if (address < BLOCK_SIZE || address >= MEMORY_SIZE) return std::nullopt;
        memory[address] = data;
        return Bytes{address, data};
    default:
        return std::nullopt;
    }
}

Exchange T1tTag::describe(const Bytes& command) const {
    Exchange e = Tag::describe(command);
    if (e.data.size() > 1) e.data.resize(1);   // the UID bytes behind it only address the tag
    return e;
}

} // namespace simtags
