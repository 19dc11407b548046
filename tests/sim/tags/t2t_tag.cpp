#include "tags/t2t_tag.h"

namespace simtags {

namespace {

constexpr size_t kStaticLockByte = 10;      // page 2, bytes 2 and 3
constexpr size_t kCcPage = 3;
constexpr size_t kDynamicLockedFrom = 64;   // the first byte past the static lock bits' reach

struct Preset {
    std::array<uint8_t, 7> uid;
    size_t pages;
    T2tTag::PastTheEnd pastTheEnd;
    T2tTag::DynamicLock lock;
    Bytes blank;       // pages 3 on, as the chip leaves the factory
    Bytes formatted;   // pages 3 on, with an empty NDEF message
};

// Data area beyond 48 bytes, dynamic lock bits right after it, one bit per 8 bytes.
T2tTag::DynamicLock implicitLock(size_t dataBytes) { return {16 + dataBytes, (dataBytes - 48) / 8, 8}; }

Preset presetOf(T2tTag::Chip chip) {
    using C = T2tTag::Chip;
    using E = T2tTag::PastTheEnd;
    const std::array<uint8_t, 7> nxp{0x04, 0x51, 0x82, 0x3A, 0x6C, 0x2F, 0x80};
    const std::array<uint8_t, 7> mydMove{0x05, 0x30, 0x11, 0x22, 0x33, 0x44, 0x55};
    const std::array<uint8_t, 7> myd{0x05, 0x20, 0x11, 0x22, 0x33, 0x44, 0x55};
    const Bytes emptyNdef{0x03, 0x00, 0xFE};
    auto cc = [](uint8_t size, uint8_t version, const Bytes& tlvs) {
        Bytes b{0xE1, version, size, 0x00};
        b.insert(b.end(), tlvs.begin(), tlvs.end());
        return b;
    };
    const Bytes ff(8, 0xFF);
    switch (chip) {
    case C::Ultralight: return {nxp, 16, E::Wrap, {}, Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, cc(0x06, 0x10, emptyNdef)};
    case C::UltralightC:
        return {nxp, 48, E::Wrap, {160, 16, 16}, Bytes{0, 0, 0, 0, 0x02, 0x00, 0x00, 0x10, 0x00, 0x06, 0x01, 0x10},
                cc(0x12, 0x10, {0x01, 0x03, 0xA0, 0x10, 0x44, 0x03, 0x00, 0xFE})};
    case C::Ntag144: return {nxp, 45, E::Nak, implicitLock(144), Bytes{0, 0, 0, 0}, cc(0x12, 0x10, emptyNdef)};
    case C::Ntag496: return {nxp, 135, E::Nak, implicitLock(496), Bytes{0, 0, 0, 0}, cc(0x3E, 0x10, emptyNdef)};
    case C::Ntag872: return {nxp, 231, E::Nak, implicitLock(872), Bytes{0, 0, 0, 0}, cc(0x6D, 0x10, emptyNdef)};
    case C::MydMove: return {mydMove, 38, E::Wrap, implicitLock(128), Bytes{0, 0, 0, 0}, cc(0x10, 0x11, emptyNdef)};
    case C::Myd16P:
        return {myd, 256, E::Nak, {208, 32, 4}, Bytes{0, 0, 0, 0},
                cc(0x7E, 0x11, {0x01, 0x03, 0xD0, 0x20, 0x24, 0x02, 0x03, 0xE0, 0x2C, 0x04, 0x03, 0x00, 0xFE})};
    case C::Myd32P:
        return {myd, 512, E::Nak, {144, 20, 4}, Bytes{0, 0, 0, 0},
                cc(0xFE, 0x11, {0x01, 0x03, 0x90, 0x14, 0x24, 0x02, 0x03, 0x93, 0x05, 0x04, 0x03, 0x00, 0xFE})};
    }
    return {nxp, 16, E::Wrap, {}, {}, {}};
}

bool bitSet(const Bytes& memory, size_t byte, size_t bit) { return byte < memory.size() && (memory[byte] >> bit) & 1; }

} // namespace

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

std::shared_ptr<T2tTag> T2tTag::make(Chip chip, bool formatted) {
    const Preset p = presetOf(chip);
    auto tag = std::make_shared<T2tTag>(p.uid, p.pages);
    tag->pastTheEnd = p.pastTheEnd;
    tag->dynamicLock = p.lock;
    const Bytes& content = formatted ? p.formatted : p.blank;
    for (size_t k = 0; k < content.size() && kCcPage * 4 + k < tag->memory.size(); ++k) tag->memory[kCcPage * 4 + k] = content[k];
    return tag;
}

void T2tTag::reset() {
    sector_ = 0;
    sectorSelectArmed_ = false;
}

bool T2tTag::pageLocked(size_t page) const {
    if (page < 2) return true;
    if (page >= kCcPage && page < 8) return bitSet(memory, kStaticLockByte, page);
    if (page >= 8 && page < 16) return bitSet(memory, kStaticLockByte + 1, page - 8);
    const DynamicLock& d = dynamicLock;
    if (page < 16 || d.bits == 0) return false;
    for (size_t byte = page * 4; byte < page * 4 + 4; ++byte) {
        if (byte < kDynamicLockedFrom || lockByte(byte)) continue;
        const size_t bit = (byte - kDynamicLockedFrom) / d.bytesPerBit;
        if (bit < d.bits && bitSet(memory, d.address + bit / 8, bit % 8)) return true;
    }
    return false;
}

bool T2tTag::lockByte(size_t byte) const {
    return dynamicLock.bits && byte >= dynamicLock.address && byte < dynamicLock.address + (dynamicLock.bits + 7) / 8;
}

std::optional<Bytes> T2tTag::respond(const Bytes& command) {
    if (command.empty()) return std::nullopt;
    if (sectorSelectArmed_) return selectSector(command);
    const size_t page = sector_ * kSectorPages + (command.size() > 1 ? command[1] : 0);
    if (command[0] == 0x30 && command.size() == 2) return read(page);
    if (command[0] == 0xA2 && command.size() == 6) return write(page, &command[2]);
    if (command[0] == 0xC2 && command.size() == 2 && command[1] == 0xFF) {
        if (sectors() < 2) return Bytes{NAK};
        sectorSelectArmed_ = true;
        return Bytes{ACK};
    }
    return std::nullopt;   // unknown commands are not answered
}

std::optional<Bytes> T2tTag::read(size_t page) const {
    if (page >= pages()) return Bytes{NAK};
    if (pastTheEnd == PastTheEnd::Nak && page + 4 > pages()) return Bytes{NAK};
    Bytes out;
    for (size_t k = 0; k < 16; ++k) out.push_back(memory[(page * 4 + k) % memory.size()]);
    return out;
}

std::optional<Bytes> T2tTag::write(size_t page, const uint8_t* data) {
    if (page >= pages() || pageLocked(page)) return Bytes{NAK};
    for (size_t k = 0; k < 4; ++k) {
        const size_t at = page * 4 + k;
        if (page == 2 && k < 2) continue;   // the serial number's last byte and an internal byte
        const bool otp = page == 2 || page == kCcPage || lockByte(at);
        memory[at] = otp ? static_cast<uint8_t>(memory[at] | data[k]) : data[k];
    }
    return Bytes{ACK};
}

// The second packet is acknowledged passively: a sector that exists is selected in silence.
std::optional<Bytes> T2tTag::selectSector(const Bytes& command) {
    sectorSelectArmed_ = false;
    if (command.size() != 4 || command[0] >= sectors()) return Bytes{NAK};
    sector_ = command[0];
    return std::nullopt;
}

Reply T2tTag::judge(const Bytes& answer) const {
    if (answer.size() != 1) return Reply::Data;
    return (answer[0] & 0x0F) == ACK ? Reply::Ack : Reply::Nak;
}

} // namespace simtags
