#include "hci/hcp_codec.h"

#include <algorithm>

namespace hcisim {

namespace {
constexpr uint8_t kCb = 0x80;
}

uint8_t headerOf(Type type, uint8_t instruction) {
    return static_cast<uint8_t>(static_cast<uint8_t>(type) << 6 | (instruction & 0x3F));
}

std::vector<Bytes> fragment(const Message& message, size_t packetSize) {
    packetSize = std::max<size_t>(packetSize, 2);
    std::vector<Bytes> packets;
    Bytes first = {message.pipe, headerOf(message.type, message.instruction)};
    size_t at = std::min(message.data.size(), packetSize - 2);
    first.insert(first.end(), message.data.begin(), message.data.begin() + static_cast<long>(at));
    packets.push_back(first);
    while (at < message.data.size()) {
        const size_t n = std::min(message.data.size() - at, packetSize - 1);
        Bytes next = {message.pipe};
        next.insert(next.end(), message.data.begin() + static_cast<long>(at), message.data.begin() + static_cast<long>(at + n));
        packets.push_back(next);
        at += n;
    }
    packets.back()[0] |= kCb;
    return packets;
}

std::optional<Message> Reassembler::feed(const Bytes& packet) {
    if (packet.empty()) {
        ++malformed_;
        return std::nullopt;
    }
    const auto pipe = static_cast<uint8_t>(packet[0] & 0x7F);
    const bool last = packet[0] & kCb;
    auto it = open_.find(pipe);
    if (it == open_.end()) {
        if (packet.size() < 2) {
            ++malformed_;
            return std::nullopt;
        }
        Message m;
        m.pipe = pipe;
        m.type = static_cast<Type>(packet[1] >> 6);
        m.instruction = static_cast<uint8_t>(packet[1] & 0x3F);
        m.data.assign(packet.begin() + 2, packet.end());
        if (last) return m;
        open_[pipe] = std::move(m);
        return std::nullopt;
    }
    it->second.data.insert(it->second.data.end(), packet.begin() + 1, packet.end());
    if (!last) return std::nullopt;
    Message m = std::move(it->second);
    open_.erase(it);
    return m;
}

}  // namespace hcisim
