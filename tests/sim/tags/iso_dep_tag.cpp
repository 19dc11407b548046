#include "tags/iso_dep_tag.h"

#include <nettle/des.h>

#include <algorithm>

namespace simtags {
namespace {

constexpr uint16_t SW_OK = 0x9000, SW_END_OF_FILE = 0x6282, SW_WRONG_LENGTH = 0x6700, SW_NOT_ALLOWED = 0x6982,
                   SW_NO_CURRENT_EF = 0x6986, SW_NOT_FOUND = 0x6A82, SW_NO_SPACE = 0x6A84, SW_WRONG_P1P2 = 0x6A86,
                   SW_WRONG_OFFSET = 0x6B00, SW_UNKNOWN_INS = 0x6D00, SW_UNKNOWN_CLA = 0x6E00;

// DESFire status codes (SW2 behind 91).
constexpr uint8_t OK = 0x00, NO_SUCH_KEY = 0x40, LENGTH_ERROR = 0x7E, ILLEGAL_COMMAND = 0x1C, PERMISSION_DENIED = 0x9D,
                  PARAMETER_ERROR = 0x9E, APPLICATION_NOT_FOUND = 0xA0, AUTHENTICATION_ERROR = 0xAE, ADDITIONAL_FRAME = 0xAF,
                  BOUNDARY_ERROR = 0xBE, COUNT_ERROR = 0xCE, DUPLICATE_ERROR = 0xDE, FILE_NOT_FOUND = 0xF0;
constexpr size_t MAX_APPLICATIONS = 28;

Bytes status(uint8_t code, Bytes data = {}) {
    data.push_back(0x91);
    data.push_back(code);
    return data;
}

uint32_t le24(const Bytes& b, size_t at) { return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16; }

// Legacy DESFire authentication runs the block cipher in its standard directions on the card's side.
Bytes encipher(const uint8_t key[8], const Bytes& block) {
    des_ctx ctx;
    des_set_key(&ctx, key);   // the default key is a weak key: nettle still sets it up
    Bytes out(8);
    des_encrypt(&ctx, 8, out.data(), block.data());
    return out;
}

Bytes rotateLeft(const Bytes& b) {
    Bytes r(b.begin() + 1, b.end());
    r.push_back(b[0]);
    return r;
}

Bytes ccBytes(const IsoDepTag::Cc& c) {
    return {0x00,      0x0F, c.version, static_cast<uint8_t>(c.mle >> 8), static_cast<uint8_t>(c.mle),
            static_cast<uint8_t>(c.mlc >> 8), static_cast<uint8_t>(c.mlc), c.tlvType, c.tlvLength,
            static_cast<uint8_t>(c.fileId >> 8), static_cast<uint8_t>(c.fileId), static_cast<uint8_t>(c.fileSize >> 8),
            static_cast<uint8_t>(c.fileSize), c.read, c.write};
}

} // namespace

const Bytes IsoDepTag::NDEF_APPLICATION{0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01};
const Bytes IsoDepTag::NDEF_APPLICATION_V1{0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x00};

Bytes IsoDepTag::sw(uint16_t word, Bytes data) {
    data.push_back(static_cast<uint8_t>(word >> 8));
    data.push_back(static_cast<uint8_t>(word));
    return data;
}

std::optional<IsoDepTag::Apdu> IsoDepTag::parse(const Bytes& b) {
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

IsoDepTag::IsoDepTag(Technology technology, size_t ndefFileSize, Mapping mapping)
    : Tag(technology, Protocol::IsoDep), mapping_(mapping) {
    name = technology == Technology::B ? "ISO-DEP B" : "ISO-DEP A";
    a.sensRes = {0x04, 0x00};
    a.nfcid1 = {0x08, 0x12, 0x34, 0x56};
    a.selRes = 0x20;
    ats = {0x78, 0x00, 0x81, 0x02, 0x80};   // FSCI 8; TA, TB (FWI 8, SFGI 1), TC; one historical byte
    // NFCID0, application data, protocol info: 106 kbit/s only, FSCI 8 and ISO/IEC 14443-4, FWI 8 with CID.
    b.sensbRes = {0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x81, 0x81};
    attribRes = {0x00};

    const auto size = static_cast<uint16_t>(std::min<size_t>(ndefFileSize, 0xFFFE));
    Cc c;
    c.version = mapping == Mapping::V1Only ? 0x10 : 0x20;
    c.fileSize = size;
    setCc(c);
    files[NDEF_FILE] = Bytes(size, 0);
}

void IsoDepTag::setCc(const Cc& cc) {
    cc_ = cc;
    files[CC_FILE] = ccBytes(cc);
}

Bytes IsoDepTag::message() const {
    auto it = files.find(cc_.fileId);
    if (it == files.end() || it->second.size() < 2) return {};
    const size_t nlen = std::min<size_t>(size_t{it->second[0]} << 8 | it->second[1], it->second.size() - 2);
    return Bytes(it->second.begin() + 2, it->second.begin() + 2 + static_cast<std::ptrdiff_t>(nlen));
}

void IsoDepTag::setMessage(const Bytes& message) {
    Bytes& f = files[cc_.fileId];
    if (f.size() < message.size() + 2) f.resize(message.size() + 2);
    f[0] = static_cast<uint8_t>(message.size() >> 8);
    f[1] = static_cast<uint8_t>(message.size());
    std::copy(message.begin(), message.end(), f.begin() + 2);
}

void IsoDepTag::reset() {
    applicationSelected_ = false;
    currentFile_.reset();
}

std::optional<Bytes> IsoDepTag::respond(const Bytes& bytes) {
    auto apdu = parse(bytes);
    if (!apdu) return sw(SW_WRONG_LENGTH);
    if (apdu->cla != 0x00) return sw(SW_UNKNOWN_CLA);
    return isoCommand(*apdu);
}

Bytes IsoDepTag::isoCommand(const Apdu& apdu) {
    const size_t offset = static_cast<size_t>(apdu.p1 << 8 | apdu.p2);
    switch (apdu.ins) {
    case 0xA4: return select(apdu.p1, apdu.data);
    case 0xB0: return apdu.p1 & 0x80 ? sw(SW_WRONG_P1P2) : readBinary(offset, apdu.ne);
    case 0xD6: return apdu.p1 & 0x80 ? sw(SW_WRONG_P1P2) : updateBinary(offset, apdu.data);
    default: return sw(SW_UNKNOWN_INS);
    }
}

bool IsoDepTag::selectByName(const Bytes& name) {
    switch (mapping_) {
    case Mapping::V2: return name == NDEF_APPLICATION;
    case Mapping::V1Only: return name == NDEF_APPLICATION_V1;
    case Mapping::Both: return name == NDEF_APPLICATION || name == NDEF_APPLICATION_V1;
    }
    return false;
}

Bytes* IsoDepTag::fileById(uint16_t id) {
    auto it = files.find(id);
    return it == files.end() ? nullptr : &it->second;
}

Bytes IsoDepTag::select(uint8_t p1, const Bytes& data) {
    if (p1 == 0x04) {
        if (!selectByName(data)) return sw(SW_NOT_FOUND);
        applicationSelected_ = true;
        currentFile_.reset();
        return sw(SW_OK);
    }
    if (p1 != 0x00) return sw(SW_WRONG_P1P2);
    if (data.size() != 2) return sw(SW_WRONG_LENGTH);
    auto id = static_cast<uint16_t>(data[0] << 8 | data[1]);
    if (!applicationSelected_ || !fileById(id)) return sw(SW_NOT_FOUND);
    currentFile_ = id;
    return sw(SW_OK);
}

Bytes IsoDepTag::readBinary(size_t offset, size_t length) {
    const Bytes* file = currentFile_ ? fileById(*currentFile_) : nullptr;
    if (!file) return sw(SW_NO_CURRENT_EF);
    if (offset > file->size()) return sw(SW_WRONG_OFFSET);
    size_t n = std::min(length, file->size() - offset);
    auto begin = file->begin() + static_cast<std::ptrdiff_t>(offset);
    return sw(n < length ? SW_END_OF_FILE : SW_OK, Bytes(begin, begin + static_cast<std::ptrdiff_t>(n)));
}

Bytes IsoDepTag::updateBinary(size_t offset, const Bytes& data) {
    Bytes* file = currentFile_ ? fileById(*currentFile_) : nullptr;
    if (!file) return sw(SW_NO_CURRENT_EF);
    if (!writable(*currentFile_) || (*currentFile_ == cc_.fileId && cc_.write != 0x00)) return sw(SW_NOT_ALLOWED);
    if (offset > file->size()) return sw(SW_WRONG_OFFSET);
    if (data.size() > file->size() - offset) return sw(SW_NO_SPACE);
    std::copy(data.begin(), data.end(), file->begin() + static_cast<std::ptrdiff_t>(offset));
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

// ---- DESFire ----------------------------------------------------------------------------------

DesfireTag::DesfireTag(Version v) : IsoDepTag(Technology::A, 0), version(v) {
    name = isEv1() ? "DESFire EV1" : "DESFire";
    a.sensRes = {0x44, 0x03};
    a.nfcid1 = {0x04, 0x31, 0x42, 0x53, 0x64, 0x75, 0x86};
    a.selRes = 0x20;
    ats = {0x75, 0x77, 0x81, 0x02, 0x80};
    files.clear();
}

void DesfireTag::reset() {
    IsoDepTag::reset();
    selected_ = PICC;
    pending_ = Pending::None;
    authenticated = false;
}

void DesfireTag::createNdefApplication(size_t ndefFileSize, const Bytes& message) {
    Application app;
    const uint32_t aid = isEv1() ? AID_NDEF_EV1 : AID_NDEF_DESFIRE;
    Cc c;
    c.version = isEv1() ? 0x20 : 0x10;
    c.mle = 0x003B;
    c.mlc = 0x0034;
    c.fileSize = static_cast<uint16_t>(ndefFileSize);
    File cc{ccBytes(c), 0xE103, {0xEE, 0xEF}};
    File ndef{Bytes(ndefFileSize, 0), 0xE104, {0xEE, 0xEE}};
    if (ndefFileSize >= 2 + message.size()) {
        ndef.data[0] = static_cast<uint8_t>(message.size() >> 8);
        ndef.data[1] = static_cast<uint8_t>(message.size());
        std::copy(message.begin(), message.end(), ndef.data.begin() + 2);
    }
    if (isEv1()) {
        app.isoFileIds = true;
        app.isoId = 0xE105;
        app.dfName = NDEF_APPLICATION;
        app.files[1] = cc;
        app.files[2] = ndef;
    } else {
        app.files[3] = cc;
        app.files[4] = ndef;
    }
    applications[aid] = app;
}

const DesfireTag::File* DesfireTag::ndefFile() const {
    auto app = applications.find(isEv1() ? AID_NDEF_EV1 : AID_NDEF_DESFIRE);
    if (app == applications.end()) return nullptr;
    auto file = app->second.files.find(isEv1() ? 2 : 4);
    return file == app->second.files.end() ? nullptr : &file->second;
}

DesfireTag::Application* DesfireTag::selectedApplication() {
    auto it = applications.find(selected_);
    return selected_ == PICC || it == applications.end() ? nullptr : &it->second;
}

bool DesfireTag::selectByName(const Bytes& name) {
    for (auto& [aid, app] : applications)
        if (!app.dfName.empty() && app.dfName == name) {
            selected_ = aid;
            return true;
        }
    return false;
}

Bytes* DesfireTag::fileById(uint16_t id) {
    Application* app = selectedApplication();
    if (!app || !app->isoFileIds) return nullptr;
    for (auto& [no, file] : app->files)
        if (file.isoId == id) return &file.data;
    return nullptr;
}

std::optional<Bytes> DesfireTag::respond(const Bytes& bytes) {
    auto apdu = parse(bytes);
    if (!apdu) return sw(0x6700);
    if (apdu->cla == 0x00) {
        pending_ = Pending::None;
        if (apdu->ins == 0xA4 && apdu->p1 == 0x00) applicationSelected_ = selectedApplication() != nullptr;
        return isoCommand(*apdu);
    }
    if (apdu->cla != 0x90) return sw(0x6E00);
    // Wrapped native commands: P1 P2 zero, Le 00.
    if (apdu->p1 || apdu->p2) return sw(0x6A86);
    return native(apdu->ins, apdu->data);
}

Bytes DesfireTag::native(uint8_t ins, const Bytes& data) {
    if (ins != 0xAF) pending_ = Pending::None;
    switch (ins) {
    case 0x5A: return selectApplication(data);
    case 0x60:
        if (!data.empty()) return status(LENGTH_ERROR);
        pending_ = Pending::Version2;
        return status(ADDITIONAL_FRAME, {0x04, 0x01, 0x01, version.hwMajor, version.hwMinor, version.storage, 0x05});
    case 0xAF: return additionalFrame(data);
    case 0xCA: return createApplication(data);
    case 0xCD: return createFile(data);
    case 0xBD: return readData(data);
    case 0x3D: return writeData(data);
    case 0x0A: return authenticate(data);
    case 0xFC: return formatPicc();
    default: return status(ILLEGAL_COMMAND);
    }
}

Bytes DesfireTag::selectApplication(const Bytes& data) {
    if (data.size() != 3) return status(LENGTH_ERROR);
    const uint32_t aid = le24(data, 0);
    authenticated = false;
    if (aid != PICC && !applications.count(aid)) return status(APPLICATION_NOT_FOUND);
    selected_ = aid;
    applicationSelected_ = aid != PICC;
    currentFile_.reset();
    return status(OK);
}

Bytes DesfireTag::createApplication(const Bytes& data) {
    if (data.size() < 5) return status(LENGTH_ERROR);
    if (selected_ != PICC) return status(PERMISSION_DENIED);
    const uint32_t aid = le24(data, 0);
    if (aid == PICC) return status(PARAMETER_ERROR);
    if (applications.count(aid)) return status(DUPLICATE_ERROR);
    if (applications.size() >= MAX_APPLICATIONS) return status(COUNT_ERROR);
    Application app;
    app.keySettings = data[3];
    app.keys = data[4] & 0x0F;
    app.isoFileIds = data[4] & 0x20;
    size_t at = 5;
    if (app.isoFileIds) {
        if (data.size() < 7) return status(LENGTH_ERROR);
        app.isoId = static_cast<uint16_t>(data[5] | data[6] << 8);
        at = 7;
    }
    app.dfName.assign(data.begin() + static_cast<std::ptrdiff_t>(at), data.end());
    if (app.dfName.size() > 16) return status(LENGTH_ERROR);
    applications[aid] = app;
    return status(OK);
}

Bytes DesfireTag::createFile(const Bytes& data) {
    Application* app = selectedApplication();
    if (!app) return status(PERMISSION_DENIED);
    const size_t expected = app->isoFileIds ? 9 : 7;
    if (data.size() != expected) return status(LENGTH_ERROR);
    const uint8_t no = data[0];
    if (no > 0x1F) return status(PARAMETER_ERROR);
    if (app->files.count(no)) return status(DUPLICATE_ERROR);
    size_t at = 1;
    File f;
    if (app->isoFileIds) {
        f.isoId = static_cast<uint16_t>(data[1] | data[2] << 8);
        at = 3;
    }
    f.access[0] = data[at + 1];
    f.access[1] = data[at + 2];
    f.data.assign(le24(data, at + 3), 0);
    app->files[no] = f;
    return status(OK);
}

Bytes DesfireTag::nextFrame() {
    const size_t n = std::min(rest_.size(), FRAME);
    Bytes frame(rest_.begin(), rest_.begin() + static_cast<std::ptrdiff_t>(n));
    rest_.erase(rest_.begin(), rest_.begin() + static_cast<std::ptrdiff_t>(n));
    pending_ = rest_.empty() ? Pending::None : Pending::Read;
    return status(rest_.empty() ? OK : ADDITIONAL_FRAME, frame);
}

Bytes DesfireTag::readData(const Bytes& data) {
    if (data.size() != 7) return status(LENGTH_ERROR);
    Application* app = selectedApplication();
    if (!app) return status(PERMISSION_DENIED);
    auto it = app->files.find(data[0]);
    if (it == app->files.end()) return status(FILE_NOT_FOUND);
    const Bytes& file = it->second.data;
    const size_t offset = le24(data, 1);
    size_t length = le24(data, 4);
    if (offset > file.size()) return status(BOUNDARY_ERROR);
    if (length == 0) length = file.size() - offset;
    if (length > file.size() - offset) return status(BOUNDARY_ERROR);
    rest_.assign(file.begin() + static_cast<std::ptrdiff_t>(offset),
                 file.begin() + static_cast<std::ptrdiff_t>(offset + length));
    return nextFrame();
}

Bytes DesfireTag::writeData(const Bytes& data) {
    if (data.size() < 7) return status(LENGTH_ERROR);
    Application* app = selectedApplication();
    if (!app) return status(PERMISSION_DENIED);
    auto it = app->files.find(data[0]);
    if (it == app->files.end()) return status(FILE_NOT_FOUND);
    Bytes& file = it->second.data;
    const size_t offset = le24(data, 1), length = le24(data, 4);
    // One frame carries the command, its header and at most 52 data bytes.
    if (length != data.size() - 7 || length > 52) return status(LENGTH_ERROR);
    if (offset > file.size() || length > file.size() - offset) return status(BOUNDARY_ERROR);
    std::copy(data.begin() + 7, data.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    return status(OK);
}

Bytes DesfireTag::authenticate(const Bytes& data) {
    if (data.size() != 1) return status(LENGTH_ERROR);
    if (data[0] != 0) return status(NO_SUCH_KEY);
    authenticated = false;
    pending_ = Pending::Authenticate;
    return status(ADDITIONAL_FRAME, encipher(piccKey, rndB));
}

Bytes DesfireTag::additionalFrame(const Bytes& data) {
    const Pending was = pending_;
    pending_ = Pending::None;
    switch (was) {
    case Pending::Version2:
        pending_ = Pending::Version3;
        return status(ADDITIONAL_FRAME, {0x04, 0x01, 0x01, version.swMajor, version.swMinor, version.storage, 0x05});
    case Pending::Version3: {
        Bytes third(a.nfcid1.begin(), a.nfcid1.end());
        third.resize(7);
        third.insert(third.end(), {0xBA, 0x7C, 0x40, 0x00, 0x12, 0x34, 0x26});
        return status(OK, third);
    }
    case Pending::Read: return nextFrame();
    case Pending::Authenticate: {
        if (data.size() != 16) return status(LENGTH_ERROR);
        const Bytes blockA(data.begin(), data.begin() + 8), blockB(data.begin() + 8, data.end());
        // The reader sent D(RndA) and D(RndB' xor D(RndA)) in the legacy chaining.
        const Bytes rndA = encipher(piccKey, blockA);
        Bytes rotated = encipher(piccKey, blockB);
        for (size_t i = 0; i < 8; ++i) rotated[i] ^= blockA[i];
        if (rotated != rotateLeft(rndB)) return status(AUTHENTICATION_ERROR);
        authenticated = true;
        return status(OK, encipher(piccKey, rotateLeft(rndA)));
    }
    case Pending::None: break;
    }
    return status(0xCA);
}

Bytes DesfireTag::formatPicc() {
    if (selected_ != PICC || !authenticated) return status(AUTHENTICATION_ERROR);
    applications.clear();
    return status(OK);
}

} // namespace simtags
