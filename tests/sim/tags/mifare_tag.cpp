#include "tags/mifare_tag.h"

#include <algorithm>

namespace simtags {

namespace {

enum class Who : uint8_t { Never, A, B, AB };

bool allows(Who who, bool keyB) { return who == Who::AB || (keyB ? who == Who::B : who == Who::A); }

// Data blocks: read and write by condition (datasheet, access conditions for data blocks).
struct DataRights {
    Who read, write;
};
constexpr DataRights kData[8] = {
    /* 000 */ {Who::AB, Who::AB},
    /* 001 */ {Who::AB, Who::Never},
    /* 010 */ {Who::AB, Who::Never},
    /* 011 */ {Who::B, Who::B},
    /* 100 */ {Who::AB, Who::B},
    /* 101 */ {Who::B, Who::Never},
    /* 110 */ {Who::AB, Who::B},
    /* 111 */ {Who::Never, Who::Never},
};

// Trailers: key A write, access bits read and write, key B read and write (datasheet, access
// conditions for the sector trailer).
struct TrailerRights {
    Who keyAWrite, accessRead, accessWrite, keyBRead, keyBWrite;
};
constexpr TrailerRights kTrailer[8] = {
    /* 000 */ {Who::A, Who::A, Who::Never, Who::A, Who::A},
    /* 001 */ {Who::A, Who::A, Who::A, Who::A, Who::A},
    /* 010 */ {Who::Never, Who::A, Who::Never, Who::A, Who::Never},
    /* 011 */ {Who::B, Who::AB, Who::B, Who::Never, Who::B},
    /* 100 */ {Who::B, Who::AB, Who::Never, Who::Never, Who::B},
    /* 101 */ {Who::Never, Who::AB, Who::B, Who::Never, Who::Never},
    /* 110 */ {Who::Never, Who::AB, Who::Never, Who::Never, Who::Never},
    /* 111 */ {Who::Never, Who::AB, Who::Never, Who::Never, Who::Never},
};

size_t sectorCount(MifareKind kind) {
    switch (kind) {
    case MifareKind::Mini: return 5;
    case MifareKind::Classic1K: return 16;
    case MifareKind::Plus2K: return 32;
    default: return 40;
    }
}

size_t blockCount(MifareKind kind) {
    const size_t sectors = sectorCount(kind);
    return sectors <= 32 ? 4 * sectors : 128 + 16 * (sectors - 32);
}

bool consistent(const uint8_t* access) {
    const unsigned c1 = access[1] >> 4, c2 = access[2] & 0x0Fu, c3 = access[2] >> 4;
    return (access[0] & 0x0Fu) == (~c1 & 0x0Fu) && (access[0] >> 4) == (~c2 & 0x0Fu) &&
           (access[1] & 0x0Fu) == (~c3 & 0x0Fu);
}

// In the 16-block sectors each data condition covers a group of five blocks.
unsigned groupOf(size_t sector, size_t index) {
    return static_cast<unsigned>(MifareTag::blocksIn(sector) == 4 ? index : index / 5);
}

bool isPlus(MifareKind kind) { return kind == MifareKind::Plus2K || kind == MifareKind::Plus4K; }

} // namespace

const Bytes kMifareTransportKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const Bytes kMifareMadKey{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const Bytes kMifareNfcKey{0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7};

Bytes mifareKey(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) { return {a, b, c, d, e, f}; }

MifareTag::MifareTag(MifareKind kind, Bytes uid, uint8_t securityLevel)
    : Tag(Technology::A, securityLevel == 0 ? Protocol::IsoDep : Protocol::Mifare, 16 * blockCount(kind)),
      kind(kind),
      level_(securityLevel) {
    name = "MIFARE";
    a.nfcid1 = uid;
    // Block 0: the UID (with its check byte for a 4-byte one), then the maker's data.
    Bytes head = uid;
    if (uid.size() == 4) head.push_back(static_cast<uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]));
    head.resize(16, 0x00);
    setBlock(0, head);
    setIdentity();
}

void MifareTag::setIdentity() {
    const bool doubleUid = a.nfcid1.size() > 4;
    auto atqa = [&](uint8_t low) {
        return std::array<uint8_t, 2>{static_cast<uint8_t>(low | (doubleUid ? 0x40 : 0x00)), 0x00};
    };
    switch (kind) {
    case MifareKind::Mini:
        a.sensRes = atqa(0x04);
        a.selRes = 0x09;
        break;
    case MifareKind::Classic1K:
        a.sensRes = atqa(0x04);
        a.selRes = 0x08;
        break;
    case MifareKind::Classic4K:
        a.sensRes = atqa(0x02);
        a.selRes = 0x18;
        break;
    case MifareKind::Plus2K:
        a.sensRes = {0x44, 0x00};
        a.selRes = level_ == 0 ? 0x20 : 0x08;
        break;
    case MifareKind::Plus4K:
        a.sensRes = {0x42, 0x00};
        a.selRes = level_ == 0 ? 0x20 : 0x18;
        break;
    }
    // In level 0 the card speaks ISO-DEP and takes only its personalisation commands.
    if (isPlus(kind) && level_ == 0) ats = {0x75, 0x77, 0x81, 0x02, 0x80};
}

size_t MifareTag::sectors() const { return sectorCount(kind); }

void MifareTag::reset() {
    session_.reset();
    if (committed_ && level_ == 0) {
        level_ = 1;
        setIdentity();
    }
}

void MifareTag::setTrailer(size_t sector, const Bytes& keyA, const Bytes& access, uint8_t gpb, const Bytes& keyB) {
    Bytes t = keyA;
    t.insert(t.end(), access.begin(), access.end());
    t.push_back(gpb);
    t.insert(t.end(), keyB.begin(), keyB.end());
    setBlock(trailerBlock(sector), t);
}

std::optional<unsigned> MifareTag::condition(size_t sector, unsigned i) const {
    const Bytes t = block(trailerBlock(sector));
    if (!consistent(t.data() + 6)) return std::nullopt;
    const unsigned c1 = (t[7] >> (4 + i)) & 1u, c2 = (t[8] >> i) & 1u, c3 = (t[8] >> (4 + i)) & 1u;
    return c1 << 2 | c2 << 1 | c3;
}

bool MifareTag::keyBReadable(size_t sector) const {
    const auto c = condition(sector, 3);
    return c && kTrailer[*c].keyBRead != Who::Never;
}

Reply MifareTag::judge(const Bytes& answer) const {
    if (level_ == 0) return Reply::Data; // personalisation answers a status byte
    // An authentication answers nothing but its verdict; an answer with bytes is a command's own,
    // whatever came before it.
    if (lastWasAuth_ && answer.empty()) return lastAuthFailed_ ? Reply::AuthenticationFailed : Reply::Ack;
    if (answer.size() == 1) return answer[0] == ACK ? Reply::Ack : (answer[0] == NAK ? Reply::Nak : Reply::Data);
    return Reply::Data;
}

std::optional<Bytes> MifareTag::respond(const Bytes& command) {
    lastWasAuth_ = false;
    if (command.empty()) return std::nullopt;
    if (level_ == 0) return perso(command);
    switch (command[0]) {
    case 0x60:
    case 0x61: return authenticate(command);
    case 0x30:
        if (command.size() != 2) return Bytes{NAK};
        return read(command[1]);
    case 0xA0:
        if (command.size() != 18) return Bytes{NAK};
        return write(command[1], Bytes(command.begin() + 2, command.end()));
    default: session_.reset(); return Bytes{NAK};
    }
}

std::optional<Bytes> MifareTag::authenticate(const Bytes& command) {
    lastWasAuth_ = true;
    lastAuthFailed_ = true;
    session_.reset();
    if (command.size() != 12 || command[1] >= memory.size() / 16) return Bytes{};
    const size_t sector = sectorOf(command[1]);
    const Bytes uid = a.nfcid1.size() > 4 ? Bytes(a.nfcid1.begin() + 3, a.nfcid1.begin() + 7) : a.nfcid1;
    if (!std::equal(uid.begin(), uid.end(), command.begin() + 2) || bricked_.count(sector)) return Bytes{};
    const bool keyB = command[0] == 0x61;
    const Bytes t = block(trailerBlock(sector));
    const Bytes key(t.begin() + (keyB ? 10 : 0), t.begin() + (keyB ? 16 : 6));
    if (!std::equal(key.begin(), key.end(), command.begin() + 6)) return Bytes{};
    lastAuthFailed_ = false;
    session_ = Session{sector, keyB};
    return Bytes{};
}

std::optional<Bytes> MifareTag::read(size_t number) {
    if (!session_ || number >= memory.size() / 16 || sectorOf(number) != session_->sector) {
        session_.reset();
        return Bytes{NAK};
    }
    const size_t sector = session_->sector;
    const bool keyB = session_->keyB;
    const size_t index = number - firstBlock(sector);
    const bool trailer = number == trailerBlock(sector);
    const auto c = condition(sector, trailer ? 3 : groupOf(sector, index));
    if (!c || (keyB && keyBReadable(sector))) {
        session_.reset();
        return Bytes{NAK};
    }
    Bytes out = block(number);
    if (!trailer) {
        if (allows(kData[*c].read, keyB)) return out;
        session_.reset();
        return Bytes{NAK};
    }
    std::fill(out.begin(), out.begin() + 6, 0x00);
    if (!allows(kTrailer[*c].accessRead, keyB)) std::fill(out.begin() + 6, out.begin() + 10, 0x00);
    if (!allows(kTrailer[*c].keyBRead, keyB)) std::fill(out.begin() + 10, out.end(), 0x00);
    return out;
}

std::optional<Bytes> MifareTag::write(size_t number, const Bytes& data) {
    if (!session_ || number >= memory.size() / 16 || sectorOf(number) != session_->sector || number == 0) {
        session_.reset();
        return Bytes{NAK};
    }
    const size_t sector = session_->sector;
    if (session_->keyB && keyBReadable(sector)) {
        session_.reset();
        return Bytes{NAK};
    }
    if (number == trailerBlock(sector)) return writeTrailer(sector, data);
    const size_t index = number - firstBlock(sector);
    const auto c = condition(sector, groupOf(sector, index));
    if (!c || !allows(kData[*c].write, session_->keyB)) {
        session_.reset();
        return Bytes{NAK};
    }
    setBlock(number, data);
    return Bytes{ACK};
}

std::optional<Bytes> MifareTag::writeTrailer(size_t sector, const Bytes& data) {
    const auto c = condition(sector, 3);
    const bool keyB = session_->keyB;
    if (!c) return Bytes{NAK};
    const TrailerRights& r = kTrailer[*c];
    const bool keyA = allows(r.keyAWrite, keyB), access = allows(r.accessWrite, keyB),
               keyBW = allows(r.keyBWrite, keyB);
    if (!keyA && !access && !keyBW) {
        session_.reset();
        return Bytes{NAK};
    }
    Bytes t = block(trailerBlock(sector));
    if (keyA) std::copy(data.begin(), data.begin() + 6, t.begin());
    if (access) std::copy(data.begin() + 6, data.begin() + 10, t.begin() + 6);
    if (keyBW) std::copy(data.begin() + 10, data.end(), t.begin() + 10);
    setBlock(trailerBlock(sector), t);
    if (access && !consistent(t.data() + 6)) bricked_.insert(sector);
    return Bytes{ACK};
}

std::optional<Bytes> MifareTag::perso(const Bytes& command) {
    if (command[0] == 0xA8 && command.size() == 19) return Bytes{persoStatus};
    if (command[0] == 0xAA && command.size() == 1) {
        if (persoStatus == PERSO_OK) committed_ = true;
        return Bytes{persoStatus};
    }
    return Bytes{0x0B};
}

Bytes mifareAccessBytes(unsigned b0, unsigned b1, unsigned b2, unsigned t) {
    const unsigned cs[4] = {b0, b1, b2, t};
    unsigned c1 = 0, c2 = 0, c3 = 0;
    for (unsigned i = 0; i < 4; ++i) {
        c1 |= ((cs[i] >> 2) & 1u) << i;
        c2 |= ((cs[i] >> 1) & 1u) << i;
        c3 |= (cs[i] & 1u) << i;
    }
    return {static_cast<uint8_t>((~c2 & 0xFu) << 4 | (~c1 & 0xFu)), static_cast<uint8_t>(c1 << 4 | (~c3 & 0xFu)),
            static_cast<uint8_t>(c3 << 4 | c2)};
}

uint8_t madCrc(const Bytes& data) {
    uint8_t crc = 0xC7;
    for (uint8_t byte : data) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 7) ^ (byte >> bit)) & 1u;
            crc = static_cast<uint8_t>(crc << 1);
            if (top) crc ^= 0x1D;
        }
    }
    return crc;
}

void makeFactoryFresh(MifareTag& tag) {
    const Bytes transport = mifareAccessBytes(0, 0, 0, 1);
    for (size_t s = 0; s < tag.sectors(); ++s) {
        for (size_t b = MifareTag::firstBlock(s); b < MifareTag::trailerBlock(s); ++b)
            if (b != 0) tag.setBlock(b, Bytes(16, 0x00));
        tag.setTrailer(s, kMifareTransportKey, transport, 0x69, kMifareTransportKey);
    }
}

namespace {

const Bytes kMadAccess = mifareAccessBytes(4, 4, 4, 3);      // 78 77 88
const Bytes kNfcAccess = mifareAccessBytes(0, 0, 0, 3);      // 7F 07 88
const Bytes kReadOnlyAccess = mifareAccessBytes(2, 2, 2, 6); // 07 8F 0F

uint8_t madVersionOf(const MifareTag& tag) { return tag.sectors() > 16 ? 2 : 1; }

void setEntry(MifareTag& tag, size_t sector, uint8_t low, uint8_t high) {
    const size_t blockNo = sector < 16 ? 1 + (2 * sector) / 16 : 64 + (2 * (sector - 16)) / 16;
    const size_t offset = sector < 16 ? (2 * sector) % 16 : (2 * (sector - 16)) % 16;
    Bytes b = tag.block(blockNo);
    b[offset] = low;
    b[offset + 1] = high;
    tag.setBlock(blockNo, b);
}

void sealMad(MifareTag& tag) {
    Bytes mad1 = tag.block(1);
    const Bytes b2 = tag.block(2);
    mad1.insert(mad1.end(), b2.begin(), b2.end());
    Bytes b1 = tag.block(1);
    b1[0] = madCrc(Bytes(mad1.begin() + 1, mad1.end()));
    tag.setBlock(1, b1);
    if (madVersionOf(tag) < 2) return;
    Bytes mad2;
    for (size_t b = 64; b < 67; ++b) {
        const Bytes x = tag.block(b);
        mad2.insert(mad2.end(), x.begin(), x.end());
    }
    Bytes b64 = tag.block(64);
    b64[0] = madCrc(Bytes(mad2.begin() + 1, mad2.end()));
    tag.setBlock(64, b64);
}

} // namespace

void makeNdefFormatted(MifareTag& tag, size_t lastNfc, const Bytes& message) {
    makeFactoryFresh(tag);
    const uint8_t version = madVersionOf(tag);
    for (size_t b : {1, 2}) tag.setBlock(b, Bytes(16, 0x00));
    tag.setTrailer(0, kMifareMadKey, kMadAccess, static_cast<uint8_t>(0xC0 | version), kMifareMadKey);
    if (version == 2) tag.setTrailer(16, kMifareMadKey, kMadAccess, 0x00, kMifareMadKey);
    Bytes area;
    area.push_back(0x03);
    if (message.size() < 255) {
        area.push_back(static_cast<uint8_t>(message.size()));
    } else {
        area.insert(area.end(),
                    {0xFF, static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size())});
    }
    area.insert(area.end(), message.begin(), message.end());
    area.push_back(0xFE);
    size_t at = 0;
    for (size_t s = 1; s <= lastNfc && s < tag.sectors(); ++s) {
        if (s == 16) continue;
        setEntry(tag, s, 0x03, 0xE1);
        tag.setTrailer(s, kMifareNfcKey, kNfcAccess, 0x40, kMifareNfcKey);
        for (size_t b = MifareTag::firstBlock(s); b < MifareTag::trailerBlock(s); ++b, at += 16) {
            Bytes chunk(16, 0x00);
            for (size_t k = 0; k < 16 && at + k < area.size(); ++k) chunk[k] = area[at + k];
            tag.setBlock(b, chunk);
        }
    }
    sealMad(tag);
}

void makeReadOnly(MifareTag& tag, size_t lastNfc) {
    const uint8_t version = madVersionOf(tag);
    for (size_t s = 0; s <= lastNfc && s < tag.sectors(); ++s) {
        const bool mad = s == 0 || s == 16;
        const Bytes key = mad ? kMifareMadKey : kMifareNfcKey;
        tag.setTrailer(s, key, kReadOnlyAccess, mad ? static_cast<uint8_t>(0xC0 | version) : 0x43, key);
    }
}

void addForeignApplication(MifareTag& tag, size_t sector, const Bytes& data) {
    setEntry(tag, sector, 0x48, 0x01);
    const Bytes key = mifareKey(0x11, 0x22, 0x33, 0x44, 0x55, 0x66);
    tag.setTrailer(sector, key, mifareAccessBytes(0, 0, 0, 1), 0x69, key);
    for (size_t b = MifareTag::firstBlock(sector); b < MifareTag::trailerBlock(sector); ++b) tag.setBlock(b, data);
    sealMad(tag);
}

std::optional<std::vector<size_t>> madNfcSectors(const MifareTag& tag) {
    const Bytes t0 = tag.block(3);
    if (!std::equal(kMadAccess.begin(), kMadAccess.end(), t0.begin() + 6) || !(t0[9] & 0x80)) return std::nullopt;
    Bytes mad1 = tag.block(1);
    const Bytes b2 = tag.block(2);
    mad1.insert(mad1.end(), b2.begin(), b2.end());
    if (madCrc(Bytes(mad1.begin() + 1, mad1.end())) != mad1[0]) return std::nullopt;
    std::vector<size_t> nfc;
    for (size_t s = 1; s < 16; ++s)
        if (mad1[2 * s] == 0x03 && mad1[2 * s + 1] == 0xE1) nfc.push_back(s);
    if ((t0[9] & 0x03) == 2 && !nfc.empty() && nfc.back() == 15) {
        Bytes mad2;
        for (size_t b = 64; b < 67; ++b) {
            const Bytes x = tag.block(b);
            mad2.insert(mad2.end(), x.begin(), x.end());
        }
        if (madCrc(Bytes(mad2.begin() + 1, mad2.end())) != mad2[0]) return std::nullopt;
        for (size_t s = 17; s < tag.sectors(); ++s)
            if (mad2[2 * (s - 16)] == 0x03 && mad2[2 * (s - 16) + 1] == 0xE1) nfc.push_back(s);
    }
    return nfc;
}

} // namespace simtags
