// The configuration string: KEY=value words parsed into a list, completed with the defaults of
// the reader and bus type, and written back as the normalised string the lower layers read.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t CFG_MAX_ITEMS = 32;
constexpr size_t CFG_NORMALISED_SIZE = 256;    // with the terminating NUL

// Reader types by family in the high byte: 1 PN53x, 2 ETSI HCI, 4 NCI.
uint16_t cfgReaderTypeCode(const char* name);   // 0 when unknown
uint8_t cfgIoTypeCode(const char* name);        // 0 when unknown

enum class CfgResult {
    Ok,
    ParseError,        // the text has errors
    NoReaderType,      // READERTYPE absent or unknown
    ReaderDefaults,    // out of resources adding the reader's defaults
    NoIoType,          // IOTYPE absent or unknown
    BusDefaults,       // out of resources adding the bus defaults
    TooLong,           // the normalised string does not fit
};

struct CfgNormalised {
    uint16_t readerType = 0;
    uint8_t ioType = 0;
    bool download = false;                       // FWDOWNLOAD given
    char text[CFG_NORMALISED_SIZE] = {};
};

// Parses the caller's string, adds the defaults and writes the normalised string. Traces the
// failure the way start-up reports it.
CfgResult cfgNormalise(const char* configuration, CfgNormalised* out);

// Looks a key up in a configuration string (keys compared exactly). Returns 1 and copies the
// value (quotes removed) when it is found and shorter than outSize, else 0.
int cfgGetParam(const char* configuration, const char* key, char* out, size_t outSize);
