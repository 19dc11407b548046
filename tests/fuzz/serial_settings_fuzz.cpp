// The serial channel's settings: its parameter text parsed as an open does it, then every
// property set and read back with values from the input, on a channel whose port is closed.
#include <cstdint>
#include <string>

#include "transport/serialchannelposix.h"
#include "util/bytereader.h"

namespace {

constexpr DWORD kProperties[] = {compBaudRate, compDtr,     compRts, compByteSize, compParity,      compStopBits,
                                 compHandshake, compCts,   compDsr, compDcd,      compAccepted33, compPortHandle,
                                 compRxEnable,  0,         0xFFFF};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CByteReader in(data, size);
    uint8_t textLength = 0;
    const uint8_t* text = nullptr;
    if (!in.u8(textLength)) return 0;
    const uint64_t n = textLength < in.remaining() ? textLength : in.remaining();
    if (!in.take(n, text)) return 0;
    CSerialChannelPosix channel;
    channel.parse(std::string(reinterpret_cast<const char*>(text), n).c_str());
    uint8_t pick = 0, width = 0;
    while (in.u8(pick) && in.u8(width)) {
        const DWORD property = kProperties[pick % std::size(kProperties)];
        uint8_t value[8] = {};
        const uint8_t* bytes = nullptr;
        const DWORD length = width % (sizeof value + 1);
        if (in.take(length, bytes)) std::copy(bytes, bytes + length, value);
        channel.setProperty(property, (pick & 0x80) ? nullptr : value, length);
        DWORD readLength = length;
        channel.getProperty(property, (pick & 0x40) ? nullptr : value, &readLength);
    }
    return 0;
}
