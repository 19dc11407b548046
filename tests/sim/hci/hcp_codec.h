// HCP, the host controller protocol of ETSI TS 102 622, as the simulated controller speaks it:
// a message (type, instruction, data) on a pipe travels in packets of at most a set size; each
// packet starts with CB (last packet) and the pipe id, the first also carries the message header.
// Written from the standard alone and linking nothing of the library, so the NCI simulator's HCI
// network can use it too.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace hcisim {

using Bytes = std::vector<uint8_t>;

enum class Type : uint8_t { command = 0, event = 1, response = 2 };

struct Message {
    uint8_t pipe = 0;
    Type type = Type::command;
    uint8_t instruction = 0;    // low six bits of the header
    Bytes data;
    bool operator==(const Message&) const = default;
};

uint8_t headerOf(Type type, uint8_t instruction);
// Packets of at most packetSize bytes (at least 2), CB set on the last only.
std::vector<Bytes> fragment(const Message& message, size_t packetSize);

// Joins packets per pipe; a whole message comes out with its last packet. A packet that starts
// a message without a header byte is counted as malformed and dropped.
class Reassembler {
public:
    std::optional<Message> feed(const Bytes& packet);
    uint32_t malformed() const { return malformed_; }

private:
    std::map<uint8_t, Message> open_;   // messages whose last packet is still to come
    uint32_t malformed_ = 0;
};

}  // namespace hcisim
