#include "util/config.h"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "util/trace.h"

namespace {

struct NameCode {
    const char* name;
    uint16_t code;
};

constexpr NameCode kReaderTypes[] = {
    {"PN532", 0x102}, {"PN533", 0x107}, {"PN544", 0x205}, {"DEMO", 0x208}, {"POLARIC", 0x20A},
    {"ST21NFCA", 0x204}, {"ST21NFCB", 0x210}, {"NCI_ST21", 0x414}, {"ETSI", 0x209}, {"NCI_GENERIC", 0x40B},
    {"PN548", 0x416}, {"NCI", 0x40B}, {"NCI_BCM", 0x40C}, {"NCI_CSR", 0x40D}, {"NCI_STE", 0x40E},
    {"S3FNRN3", 0x40F}, {"AS3911", 0x411}, {"TRF7970", 0x412}, {"T6NE2", 0x413}, {"E2", 0x413},
    {"PN547", 0x415}, {"NCF3340", 0x416},
};

constexpr NameCode kIoTypes[] = {
    {"SERIAL", 1}, {"SERIALUMDF", 1}, {"I2C", 2}, {"SPI", 3}, {"SPB", 4}, {"NET", 5}, {"EMULATION", 6}, {"INTERNAL", 7},
};

constexpr uint8_t IO_SERIAL = 1, IO_I2C = 2, IO_SPI = 3;
constexpr uint16_t READER_AS3911 = 0x411;

uint16_t lookup(const NameCode* table, size_t n, const char* name) {
    if (!name) return 0;
    for (size_t i = 0; i < n; ++i)
        if (std::strcmp(table[i].name, name) == 0) return table[i].code;
    return 0;
}

struct KeyValue {
    const char* key;
    const char* value;
};

// Defaults by reader type, applied before the bus type is resolved.
struct ReaderDefaults {
    uint16_t first, last;
    KeyValue items[4];
};

constexpr ReaderDefaults kReaderDefaults[] = {
    {0x102, 0x102, {{"BAUDRATE", "115200"}, {"HANDSHAKE", "2"}, {"IOTYPE", "SERIAL"}}},
    {0x107, 0x107, {{"BAUDRATE", "115200"}, {"HANDSHAKE", "2"}, {"IOTYPE", "SERIAL"}}},
    {0x204, 0x204, {{"ST21REBOOT", "1"}}},
    {0x40B, 0x40E, {{"IOTYPE", "SERIAL"}, {"BAUDRATE", "115200"}, {"HANDSHAKE", "2"}}},
    {0x411, 0x412, {{"IOTYPE", "SERIAL"}, {"BAUDRATE", "115200"}, {"HANDSHAKE", "2"}}},
    {0x413, 0x413, {{"IOTYPE", "SERIAL"}, {"BAUDRATE", "460800"}, {"HANDSHAKE", "2"}}},
};

// Defaults by reader type and bus type; bus 0 stands for every bus.
struct BusDefaults {
    uint16_t reader;
    uint8_t bus;
    KeyValue items[4];
};

constexpr BusDefaults kBusDefaults[] = {
    {0x204, IO_SPI, {{"WINDOWSIZE", "2"}}},
    {0x204, IO_I2C, {{"WINDOWSIZE", "4"}, {"SLAVEADDRESS", "1"}}},
    {0x204, IO_SERIAL, {{"LENGTHMODE", "1"}, {"WINDOWSIZE", "2"}, {"BAUDRATE", "115200"}, {"HANDSHAKE", "2"}}},
    {0x205, 0, {{"LENGTHMODE", "1"}, {"WINDOWSIZE", "4"}}},
    {0x205, IO_SERIAL, {{"BAUDRATE", "115200"}, {"HANDSHAKE", "2"}, {"TXFRAMEDELAY", "1"}}},
    {0x205, IO_I2C, {{"SLAVEADDRESS", "80"}}},
    {0x210, IO_SPI, {{"WINDOWSIZE", "2"}}},
    {0x210, IO_I2C, {{"WINDOWSIZE", "3"}, {"SLAVEADDRESS", "8"}}},
    {0x414, IO_SPI, {{"WINDOWSIZE", "2"}}},
    {0x414, IO_I2C, {{"WINDOWSIZE", "3"}, {"SLAVEADDRESS", "8"}}},
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

struct Word {
    std::string_view key;
    std::string_view value;
};

enum class Scan { Word, NoEquals };

// Reads one KEY=value word at p and moves p behind it. The key runs to a blank, tab or "=";
// a value in double quotes runs to the closing quote (quotes not part of it), any other value
// to a blank, tab or the end. With skipToEquals, text between the key and the next "=" is
// passed over instead of making the word fail.
Scan scanWord(const char*& p, Word& w, bool skipToEquals) {
    while (isBlank(*p)) ++p;
    const char* key = p;
    while (*p && !isBlank(*p) && *p != '=') ++p;
    w.key = std::string_view(key, static_cast<size_t>(p - key));
    if (skipToEquals)
        while (*p && *p != '=') ++p;
    if (*p != '=') return Scan::NoEquals;
    ++p;
    while (isBlank(*p)) ++p;
    const char* value = p;
    if (*p == '"') {
        value = ++p;
        while (*p && *p != '"') ++p;
        w.value = std::string_view(value, static_cast<size_t>(p - value));
        if (*p == '"') ++p;
    } else {
        while (*p && !isBlank(*p)) ++p;
        w.value = std::string_view(value, static_cast<size_t>(p - value));
    }
    return Scan::Word;
}

struct InitParam {
    std::string key;      // upper case
    std::string value;    // as written
    uint32_t hash = 0;
};

uint32_t keyHash(std::string_view key) {
    uint32_t h = 0;
    for (unsigned char c : key) h = h * 33u + (c - 65u);
    return h;
}

class InitParamList {
public:
    bool error = false;

    bool add(std::string key, std::string value) {
        if (count_ == CFG_MAX_ITEMS) {
            error = true;
            return false;
        }
        for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        InitParam& p = items_[count_++];
        p.hash = keyHash(key);
        p.key = std::move(key);
        p.value = std::move(value);
        return true;
    }

    const InitParam* find(std::string_view key) const {
        uint32_t h = keyHash(key);
        for (size_t i = 0; i < count_; ++i)
            if (items_[i].hash == h && items_[i].key == key) return &items_[i];
        return nullptr;
    }

    const char* value(std::string_view key) const {
        const InitParam* p = find(key);
        return p ? p->value.c_str() : nullptr;
    }

    void addDefault(const KeyValue& kv) {
        if (kv.key && !find(kv.key)) add(kv.key, kv.value);
    }

    // Parses KEY=value words; false when the text has errors.
    bool parse(const char* text) {
        const char* p = text;
        for (;;) {
            Word w;
            if (scanWord(p, w, false) == Scan::NoEquals) {
                if (!w.key.empty())
                    TRACE(TRC_CONFIG, "! keyword \"%.47s\" in the init-string caused an error during parsing (missing value?)",
                          std::string(w.key).c_str());
                break;
            }
            if (w.key.empty() || w.value.empty()) break;
            if (!add(std::string(w.key), std::string(w.value))) break;
        }
        while (isBlank(*p)) ++p;
        if (*p) error = true;
        return !error;
    }

    // A value holding a blank or tab is written back in quotes, so that readers of the
    // normalised string get the whole value and the next key stays readable.
    bool write(char* out, size_t size) const {
        std::string s;
        for (size_t i = 0; i < count_; ++i) {
            if (i) s += ' ';
            const InitParam& p = items_[i];
            bool quote = p.value.find_first_of(" \t") != std::string::npos;
            s += p.key;
            s += '=';
            if (quote) s += '"';
            s += p.value;
            if (quote) s += '"';
        }
        if (s.size() + 1 > size) return false;
        std::memcpy(out, s.c_str(), s.size() + 1);
        return true;
    }

private:
    InitParam items_[CFG_MAX_ITEMS];
    size_t count_ = 0;
};

} // namespace

uint16_t cfgReaderTypeCode(const char* name) { return lookup(kReaderTypes, std::size(kReaderTypes), name); }
uint8_t cfgIoTypeCode(const char* name) { return static_cast<uint8_t>(lookup(kIoTypes, std::size(kIoTypes), name)); }

CfgResult cfgNormalise(const char* configuration, CfgNormalised* out) {
    *out = CfgNormalised{};
    InitParamList list;
    if (!list.parse(configuration ? configuration : "")) {
        TRACE(TRC_STARTUP, "! init string has errors");
        return CfgResult::ParseError;
    }
    out->readerType = cfgReaderTypeCode(list.value("READERTYPE"));
    if (out->readerType == 0) {
        TRACE(TRC_STARTUP, "! Reader type is 0, cannot start");
        return CfgResult::NoReaderType;
    }
    out->download = list.find("FWDOWNLOAD") != nullptr;

    for (const ReaderDefaults& d : kReaderDefaults)
        if (out->readerType >= d.first && out->readerType <= d.last)
            for (const KeyValue& kv : d.items) list.addDefault(kv);
    if (list.error) {
        TRACE(TRC_STARTUP, "! out of resources while doing ReaderDependetSetup");
        return CfgResult::ReaderDefaults;
    }

    out->ioType = cfgIoTypeCode(list.value("IOTYPE"));
    if (out->ioType == 0 && out->readerType != READER_AS3911) {
        TRACE(TRC_STARTUP, "! transporttype is 0, cannot start");
        return CfgResult::NoIoType;
    }
    for (const BusDefaults& d : kBusDefaults)
        if (d.reader == out->readerType && (d.bus == 0 || d.bus == out->ioType))
            for (const KeyValue& kv : d.items) list.addDefault(kv);
    if (list.error) {
        TRACE(TRC_STARTUP, "! out of resources while doing TransportDependentSetup");
        return CfgResult::BusDefaults;
    }
    if (!list.write(out->text, sizeof out->text)) return CfgResult::TooLong;
    return CfgResult::Ok;
}

int cfgGetParam(const char* configuration, const char* key, char* out, size_t outSize) {
    if (!configuration || !key || !out) return 0;
    const char* p = configuration;
    for (;;) {
        Word w;
        if (scanWord(p, w, true) == Scan::NoEquals || w.key.empty() || w.value.empty()) return 0;
        if (w.key == key) {
            if (w.value.size() >= outSize) return 0;
            std::memcpy(out, w.value.data(), w.value.size());
            out[w.value.size()] = '\0';
            return 1;
        }
    }
}
