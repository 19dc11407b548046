#include "nci/nci_sim_message.h"

#include <algorithm>
#include <cstdio>

namespace ncisim {

NciMessage NciMessage::control(uint16_t opcode, std::vector<uint8_t> payload) {
    NciMessage m;
    m.mt = static_cast<uint8_t>(opcode >> 13);
    m.gidOrConn = static_cast<uint8_t>((opcode >> 8) & 0x0F);
    m.oid = static_cast<uint8_t>(opcode & 0x3F);
    m.payload = std::move(payload);
    return m;
}

NciMessage NciMessage::data(uint8_t connId, std::vector<uint8_t> payload) {
    NciMessage m;
    m.mt = MT_DATA;
    m.gidOrConn = connId & 0x0F;
    m.oid = 0;
    m.payload = std::move(payload);
    return m;
}

uint16_t NciMessage::key() const {
    return static_cast<uint16_t>(((mt << 5 | gidOrConn) << 8) | oid);
}

std::string NciMessage::describe() const {
    char head[16];
    std::snprintf(head, sizeof head, "%04X [", key());
    return head + hexBytes(payload) + "]";
}

std::vector<std::vector<uint8_t>> segmentMessage(const NciMessage& message, size_t segmentSize) {
    if (segmentSize == 0 || segmentSize > MAX_SEGMENT_PAYLOAD) segmentSize = MAX_SEGMENT_PAYLOAD;
    std::vector<std::vector<uint8_t>> packets;
    const auto& p = message.payload;
    size_t done = 0;
    do {
        size_t n = std::min(segmentSize, p.size() - done);
        bool more = done + n < p.size();
        std::vector<uint8_t> packet{static_cast<uint8_t>(message.mt << 5 | (more ? PBF_BIT : 0) | message.gidOrConn),
                                    message.oid, static_cast<uint8_t>(n)};
        packet.insert(packet.end(), p.begin() + static_cast<std::ptrdiff_t>(done),
                      p.begin() + static_cast<std::ptrdiff_t>(done + n));
        packets.push_back(std::move(packet));
        done += n;
    } while (done < p.size());
    return packets;
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

} // namespace ncisim
