#include "tags/iso_dep_tag.h"

#include <algorithm>

namespace simtags {
namespace {

constexpr uint16_t SW_OK = 0x9000, SW_END_OF_FILE = 0x6282, SW_WRONG_LENGTH = 0x6700, SW_NOT_ALLOWED = 0x6982,
                   SW_NO_CURRENT_EF = 0x6986, SW_NOT_FOUND = 0x6A82, SW_NO_SPACE = 0x6A84, SW_WRONG_P1P2 = 0x6A86,
                   SW_WRONG_OFFSET = 0x6B00, SW_UNKNOWN_INS = 0x6D00, SW_UNKNOWN_CLA = 0x6E00;

Bytes sw(uint16_t word, Bytes data = {}) {
    data.push_back(static_cast<uint8_t>(word >> 8));
    data.push_back(static_cast<uint8_t>(word));
    return data;
}

// A command APDU cut into its parts; Ne 0 means no data expected.
struct Apdu {
    uint8_t cla, ins, p1, p2;
    Bytes data;
    size_t ne = 0;
};

std::optional<Apdu> parse(const Bytes& b) {
    if (b.size() < 4) return std::nullopt;
    Apdu a{b[0], b[1], b[2], b[3], {}, 0};
    const size_t n = b.size();
    if (n == 4) return a;
    if (n == 5) {
        a.ne = b[4] ? b[4] : 256;
        return a;
    }
    if (b[4] != 0) {   // short Lc, data, optional short Le
        size_t lc = b[4];
        if (n != 5 + lc && n != 6 + lc) return std::nullopt;
        a.data.assign(b.begin() + 5, b.begin() + static_cast<std::ptrdiff_t>(5 + lc));
        if (n == 6 + lc) a.ne = b[5 + lc] ? b[5 + lc] : 256;
        return a;
    }
    if (n < 7) return std::nullopt;
    size_t first = static_cast<size_t>(b[5] << 8 | b[6]);
    if (n == 7) {   // extended Le only
        a.ne = first ? first : 65536;
        return a;
    }
    if (first == 0 || (n != 7 + first && n != 9 + first)) return std::nullopt;
    a.data.assign(b.begin() + 7, b.begin() + static_cast<std::ptrdiff_t>(7 + first));
    if (n == 9 + first) {
        size_t le = static_cast<size_t>(b[7 + first] << 8 | b[8 + first]);
        a.ne = le ? le : 65536;
    }
    return a;
}

} // namespace

const Bytes IsoDepTag::NDEF_APPLICATION{0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01};

IsoDepTag::IsoDepTag(Technology technology, size_t ndefFileSize) : Tag(technology, Protocol::IsoDep) {
    name = technology == Technology::B ? "ISO-DEP B" : "ISO-DEP A";
    a.sensRes = {0x04, 0x00};
    a.nfcid1 = {0x08, 0x12, 0x34, 0x56};
    a.selRes = 0x20;
    ats = {0x78, 0x00, 0x81, 0x02, 0x80};   // FSCI 8; TA, TB (FWI 8, SFGI 1), TC; one historical byte
    // NFCID0, application data, protocol info: 106 kbit/s only, FSCI 8 and ISO/IEC 14443-4, FWI 8 with CID.
    b.sensbRes = {0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x81, 0x81};
    attribRes = {0x00};

    const auto size = static_cast<uint16_t>(std::min<size_t>(ndefFileSize, 0xFFFE));
    files[CC_FILE] = {0x00, 0x0F, 0x20, 0x00, 0xFF, 0x00, 0xFF,   // CC length, version 2.0, MLe, MLc
                      0x04, 0x06, 0xE1, 0x04, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size), 0x00, 0x00};
    files[NDEF_FILE] = Bytes(size, 0);
}

void IsoDepTag::reset() {
    applicationSelected_ = false;
    currentFile_.reset();
}

std::optional<Bytes> IsoDepTag::respond(const Bytes& bytes) {
    auto apdu = parse(bytes);
    if (!apdu) return sw(SW_WRONG_LENGTH);
    if (apdu->cla != 0x00) return sw(SW_UNKNOWN_CLA);
    const size_t offset = static_cast<size_t>(apdu->p1 << 8 | apdu->p2);
    switch (apdu->ins) {
    case 0xA4:
        return select(apdu->p1, apdu->data);
    case 0xB0:
        return apdu->p1 & 0x80 ? sw(SW_WRONG_P1P2) : readBinary(offset, apdu->ne);
    case 0xD6:
        return apdu->p1 & 0x80 ? sw(SW_WRONG_P1P2) : updateBinary(offset, apdu->data);
    default:
        return sw(SW_UNKNOWN_INS);
    }
}

Bytes IsoDepTag::select(uint8_t p1, const Bytes& data) {
    if (p1 == 0x04) {
        if (data != NDEF_APPLICATION) return sw(SW_NOT_FOUND);
        applicationSelected_ = true;
        currentFile_.reset();
        return sw(SW_OK);
    }
    if (p1 != 0x00) return sw(SW_WRONG_P1P2);
    if (data.size() != 2) return sw(SW_WRONG_LENGTH);
    auto id = static_cast<uint16_t>(data[0] << 8 | data[1]);
    if (!applicationSelected_ || !files.count(id)) return sw(SW_NOT_FOUND);
    currentFile_ = id;
    return sw(SW_OK);
}

Bytes IsoDepTag::readBinary(size_t offset, size_t length) const {
    if (!currentFile_) return sw(SW_NO_CURRENT_EF);
    const Bytes& file = files.at(*currentFile_);
    if (offset > file.size()) return sw(SW_WRONG_OFFSET);
    size_t n = std::min(length, file.size() - offset);
    auto begin = file.begin() + static_cast<std::ptrdiff_t>(offset);
    return sw(n < length ? SW_END_OF_FILE : SW_OK, Bytes(begin, begin + static_cast<std::ptrdiff_t>(n)));
}

Bytes IsoDepTag::updateBinary(size_t offset, const Bytes& data) {
    if (!currentFile_) return sw(SW_NO_CURRENT_EF);
    if (*currentFile_ == CC_FILE) return sw(SW_NOT_ALLOWED);
    Bytes& file = files[*currentFile_];
    if (offset > file.size()) return sw(SW_WRONG_OFFSET);
    if (data.size() > file.size() - offset) return sw(SW_NO_SPACE);
    std::copy(data.begin(), data.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    return sw(SW_OK);
}

Exchange IsoDepTag::describe(const Bytes& apdu) const {
    Exchange e;
    if (apdu.size() < 4) return e;
    e.op = apdu[1];
    e.address = uint32_t{apdu[2]} << 8 | apdu[3];
    if (auto parsed = parse(apdu)) e.data = parsed->data;
    return e;
}

} // namespace simtags
