#include "tags/t1t_tag.h"

#include <algorithm>

namespace simtags {
namespace {

constexpr size_t BLOCK_SIZE = 8, SEGMENT_SIZE = 128, BYTE_ADDRESSED = 128;
constexpr size_t SHORT_COMMAND = 7, LONG_COMMAND = 14, UID_BYTES = 4;
constexpr size_t LOCK_0 = 112, LOCK_1 = 113;
constexpr uint8_t RID = 0x78, RALL = 0x00, READ = 0x01, WRITE_E = 0x53, WRITE_NE = 0x1A, RSEG = 0x10, WRITE_E8 = 0x54;

bool longCommand(uint8_t op) { return op == RSEG || op == WRITE_E8; }

} // namespace

T1tTag::T1tTag(std::array<uint8_t, 7> uid, size_t memorySize)
    : Tag(Technology::A, Protocol::T1T, std::max(memorySize, STATIC_SIZE)), hr0(memorySize > STATIC_SIZE ? 0x12 : 0x11) {
    name = "T1T";
    std::copy(uid.begin(), uid.end(), memory.begin());
    a.sensRes = {0x0C, 0x00};
    a.nfcid1.assign(uid.begin(), uid.begin() + 4);
}

bool T1tTag::writable(size_t block) const {
    if (block == 0) return false;
    if (block < 8) return !(memory[LOCK_0] & (1u << block));
    if (block < 15) return !(memory[LOCK_1] & (1u << (block - 8)));
    return true;
}

std::optional<Bytes> T1tTag::writeBlock(uint8_t block, const Bytes& command) {
    const size_t at = size_t{block} * BLOCK_SIZE;
    if (memory.size() <= STATIC_SIZE || at + BLOCK_SIZE > memory.size() || !writable(block)) return std::nullopt;
    std::copy_n(command.begin() + 2, BLOCK_SIZE, memory.begin() + static_cast<std::ptrdiff_t>(at));
    Bytes out{block};
    out.insert(out.end(), command.begin() + 2, command.begin() + 2 + BLOCK_SIZE);
    return out;
}

std::optional<Bytes> T1tTag::respond(const Bytes& command) {
    // Command, address, data (1 or 8 bytes), UID0-3.
    if (command.empty() || command.size() != (longCommand(command[0]) ? LONG_COMMAND : SHORT_COMMAND)) return std::nullopt;
    const uint8_t op = command[0], address = command[1], data = command[2];
    if (op != RID && !std::equal(command.end() - UID_BYTES, command.end(), memory.begin())) return std::nullopt;
    const size_t block = address / BLOCK_SIZE;
    const bool byteInMemory = address < BYTE_ADDRESSED && address < memory.size();
    switch (op) {
    case RID: return Bytes{hr0, hr1, memory[0], memory[1], memory[2], memory[3]};
    case RALL: {
        Bytes out{hr0, hr1};
        out.insert(out.end(), memory.begin(), memory.begin() + STATIC_SIZE);
        return out;
    }
    case READ:
        if (!byteInMemory) return std::nullopt;
        return Bytes{address, memory[address]};
    case WRITE_E:
    case WRITE_NE:
        if (!byteInMemory || !writable(block)) return std::nullopt;
        memory[address] = op == WRITE_E ? data : static_cast<uint8_t>(memory[address] | data);
        return Bytes{address, memory[address]};
    case RSEG: {
        const size_t at = size_t{address} / 16 * SEGMENT_SIZE;
        if (memory.size() <= STATIC_SIZE || at + SEGMENT_SIZE > memory.size()) return std::nullopt;
        Bytes out{address};
        out.insert(out.end(), memory.begin() + static_cast<std::ptrdiff_t>(at),
                   memory.begin() + static_cast<std::ptrdiff_t>(at + SEGMENT_SIZE));
        return out;
    }
    case WRITE_E8: return writeBlock(address, command);
    default: return std::nullopt;
    }
}

Exchange T1tTag::describe(const Bytes& command) const {
    Exchange e = Tag::describe(command);
    // The UID bytes behind the data only address the tag.
    if (e.data.size() >= UID_BYTES) e.data.resize(e.data.size() - UID_BYTES);
    return e;
}

} // namespace simtags
