// The configuration string: normalised with the defaults of its reader and bus, looked up key
// by key, and the normalised text read back as the lower layers read it.
#include <cstdint>
#include <string>

#include "util/config.h"

namespace {

constexpr const char* kKeys[] = {"READERTYPE", "IOTYPE", "PORT", "BAUDRATE", "TRACES.NFC", "TRACES.L1", "FWDOWNLOAD", ""};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);   // stops at an embedded NUL for the parser
    CfgNormalised normalised;
    cfgNormalise(text.c_str(), &normalised);
    char value[CFG_NORMALISED_SIZE];
    for (const char* key : kKeys) {
        cfgGetParam(text.c_str(), key, value, sizeof value);
        cfgGetParam(normalised.text, key, value, 1 + size % sizeof value);
    }
    cfgReaderTypeCode(text.c_str());
    cfgIoTypeCode(text.c_str());
    return 0;
}
