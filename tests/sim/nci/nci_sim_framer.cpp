#include "nci/nci_sim_framer.h"

#include <cstdio>

namespace ncisim {

void PacketSplitter::feed(const uint8_t* bytes, size_t n, const std::function<void(std::vector<uint8_t>)>& onPacket) {
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = bytes[i];
        if (prefix_ && !prefixSeen_) {
            if (b == FRAME_PREFIX) prefixSeen_ = true;
            else ++dropped_;
            continue;
        }
        packet_.push_back(b);
        if (packet_.size() >= HEADER_SIZE && packet_.size() == HEADER_SIZE + packet_[2]) {
            prefixSeen_ = false;
            onPacket(std::move(packet_));
            packet_.clear();
        }
    }
}

bool Reassembler::add(const std::vector<uint8_t>& packet, NciMessage& message, std::string* violation) {
    uint8_t mt = packet[0] >> 5;
    bool more = packet[0] & PBF_BIT;
    uint8_t low = packet[0] & 0x0F;
    NciMessage segment;
    segment.mt = mt;
    segment.gidOrConn = low;
    segment.oid = mt == MT_DATA ? 0 : (packet[1] & 0x3F);
    int slot = mt == MT_DATA ? low : -1;

    char text[128];
    auto it = pending_.find(slot);
    if (it != pending_.end() && it->second.key() != segment.key()) {
        std::snprintf(text, sizeof text, "segment %04X interrupts message %04X", segment.key(), it->second.key());
        if (violation) *violation = text;
        pending_.erase(it);
        it = pending_.end();
    }
    if (it == pending_.end()) it = pending_.emplace(slot, segment).first;
    auto& whole = it->second.payload;
    if (whole.size() + packet.size() - HEADER_SIZE > MAX_MESSAGE_SIZE) {
        std::snprintf(text, sizeof text, "message %04X exceeds %zu bytes", segment.key(), MAX_MESSAGE_SIZE);
        if (violation) *violation = text;
        pending_.erase(it);
        return false;
    }
    whole.insert(whole.end(), packet.begin() + HEADER_SIZE, packet.end());
    if (more) return false;
    message = std::move(it->second);
    pending_.erase(it);
    return true;
}

} // namespace ncisim
