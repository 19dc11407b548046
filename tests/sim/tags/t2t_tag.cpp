#include "tags/t2t_tag.h"

namespace simtags {

T2tTag::T2tTag(std::array<uint8_t, 7> uid, size_t pages) : Tag(Technology::A, Protocol::T2T, pages * 4) {
    name = "T2T";
    const uint8_t cascadeTag = 0x88;
    uint8_t bcc0 = cascadeTag ^ uid[0] ^ uid[1] ^ uid[2];
    uint8_t bcc1 = uid[3] ^ uid[4] ^ uid[5] ^ uid[6];
    const uint8_t head[9] = {uid[0], uid[1], uid[2], bcc0, uid[3], uid[4], uid[5], uid[6], bcc1};
    for (size_t k = 0; k < sizeof head && k < memory.size(); ++k) memory[k] = head[k];
    a.sensRes = {0x44, 0x00};
    a.nfcid1.assign(uid.begin(), uid.end());
    a.selRes = 0x00;
}

std::optional<Bytes> T2tTag::respond(const Bytes& command) {
    if (command.size() < 2) return std::nullopt;
    size_t page = command[1];
    if (page >= pages()) return Bytes{NAK};
    if (command[0] == 0x30 && command.size() == 2) {
        Bytes out;
        for (size_t k = 0; k < 16; ++k) out.push_back(memory[(page * 4 + k) % memory.size()]);
        return out;
    }
    if (command[0] == 0xA2 && command.size() == 6) {
        if (page < 2) return Bytes{NAK};
        for (size_t k = 0; k < 4; ++k) memory[page * 4 + k] = command[2 + k];
        return Bytes{ACK};
    }
    return std::nullopt;   // unknown commands are not answered
}

Reply T2tTag::judge(const Bytes& answer) const {
    if (answer.size() != 1) return Reply::Data;
    return (answer[0] & 0x0F) == ACK ? Reply::Ack : Reply::Nak;
}

} // namespace simtags
