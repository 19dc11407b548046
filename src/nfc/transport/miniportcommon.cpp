#include "transport/miniportcommon.h"

#include <cstring>
#include <iterator>

#include "util/trace.h"

namespace {

constexpr uint32_t kClearingLimit = 1024;
constexpr DWORD kClearingChunk = 9;
constexpr uint8_t kHciIdle = 0x7E;
constexpr uint32_t kHciChunks[] = {15, 24, 12, 29};

bool chipsWithoutClearing(const TChipTransport* r) { return r->flags & (CHIP_ST21NFCB | CHIP_NCI_ST21); }

bool clearQueue(TChipTransport* r, uint32_t& garbage) {
    BYTE chunk[kClearingChunk];
    for (uint32_t tries = 0; tries < kClearingLimit && garbage < kClearingLimit; ++tries) {
        int32_t got = r->ops.read(r, chunk, sizeof chunk);
        if (got < 0) break;
        if (got == 0) {
            platSleepMs(5);
            continue;
        }
        if (debugL1On(MP_TRACE_RAW)) debugDump(chunk, "I2C Read", static_cast<uint32_t>(got));
        garbage += static_cast<uint32_t>(got);
        if (chunk[got - 1] == kHciIdle) return true;
    }
    if (garbage >= kClearingLimit) return true;
    debugPrint(DBG_ERROR, "chip: ! initial clearing failed, no I2C answer in 1024 tries");
    return false;
}

// The length of the frame that starts with the 4 header bytes; 0 for idle data.
uint32_t ndlcFrameLength(const BYTE* header) {
    if (header[0] < 0x80) return 0;
    if (header[0] >= 0xC0) return MP_NDLC_HEADER;
    return MP_NDLC_HEADER + header[3] + ((header[0] & 0x08) ? 2 : 0);
}

bool readExactly(TChipTransport* r, BYTE* into, uint32_t size) {
    if (r->ops.read(r, into, size) == static_cast<int32_t>(size)) return true;
    debugPrint(DBG_ERROR, "! didn't read %d requested bytes from i2c", static_cast<int>(size));
    return false;
}

}  // namespace

bool mpInitialClearing(TChipTransport* r) {
    debugPrint(0, "chip: initial clearing of the i2c queue");
    uint32_t garbage = 0;
    if (!chipsWithoutClearing(r) && !clearQueue(r, garbage)) return false;
    const DWORD active = r->ops.gpioGet(r, 0);
    debugPrint(0, "chip: initial clearing got %d bytes of garbage data, gpio state 0x%X", static_cast<int>(garbage), active);
    if (active) {
        debugPrint(DBG_ERROR, "chip: Initial I2C reads: Unable to bring the GPIO down. Gpio is %d", 1);
        return false;
    }
    debugPrint(0, "chip: initial clearing done.");
    return true;
}

uint32_t mpHciChunkSize(uint32_t index) { return kHciChunks[index < std::size(kHciChunks) ? index : std::size(kHciChunks) - 1]; }

uint32_t mpHciNextChunk(uint32_t index, const BYTE* chunk, uint32_t length) {
    if (length && chunk[length - 1] == kHciIdle) return 0;
    return index + 1 < std::size(kHciChunks) ? index + 1 : static_cast<uint32_t>(std::size(kHciChunks) - 1);
}

bool mpHciAllIdle(const BYTE* chunk, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i)
        if (chunk[i] != kHciIdle) return false;
    return true;
}

bool mpReceiveNdlcFrame(TChipTransport* r, BYTE* rx, TNdlc* ndlc) {
    if (!readExactly(r, rx, MP_NDLC_HEADER)) return false;
    const uint32_t length = ndlcFrameLength(rx);
    if (length == 0) {
        TRACE_L1(MP_TRACE_RAW, "received idle data");
        return true;
    }
    const uint32_t rest = length - MP_NDLC_HEADER;
    if (rest && !readExactly(r, rx + MP_NDLC_HEADER, rest)) return false;
    if (debugL1On(MP_TRACE_RAW)) debugDump(rx, rest ? "RX NDLC DATA" : "RX NDLC SUPERVISOR ", length);
    if (!NdlcSendUpstream(length, rx, ndlc)) debugPrint(DBG_ERROR, "! NDLC refused a frame of %d bytes, dropped", static_cast<int>(length));
    return true;
}

int32_t mpNdlcWrite(TNdlc* ndlc, const BYTE* buffer, DWORD length) {
    if (length > NDLC_FRAME_MAX) return -1;
    if (NdlcSendDownstream(length, ndlc, buffer)) return static_cast<int32_t>(length);
    return NdlcLinkEnded(ndlc) ? -1 : CHIP_WRITE_BUSY;
}

void mpNdlcEvent(TChipTransport* r, uint32_t event, const uint8_t* data, uint32_t length, BYTE* up) {
    switch (event) {
    case NDLC_EVENT_DATAIND:
        TRACE_L1(MP_TRACE_CALLBACK, "event NDLC_EVENT_DATAIND for %d bytes", static_cast<int>(length));
        if (debugL1On(MP_TRACE_RAW)) debugDump(data, "RX NCI DATA", length);
        if (length < 3 || data[2] + 3u != length)
            debugPrint(DBG_ERROR, "length is illogical. Header length is %d, packet length %d", length >= 3 ? data[2] : 0,
                       static_cast<int>(length));
        if (length > NDLC_FRAME_MAX) break;   // the link never passes more; nothing is copied past up
        std::memcpy(up, data, length);
        chipSignal(r, comeDataReceived, COM_SUCCESS, up, length);
        break;
    case NDLC_EVENT_LINKLOST:
        debugPrint(DBG_ERROR, "! NDLC_EVENT_LINKLOST, signal L1 remove");
        chipSignal(r, comeAdapterPlugout, COM_SUCCESS, nullptr, 0);
        break;
    case NDLC_EVENT_ERROR:
        debugPrint(DBG_ERROR, "! NDLC_EVENT_ERROR, signal L1 remove");
        chipSignal(r, comeAdapterPlugout, COM_SUCCESS, nullptr, 0);
        break;
    default:
        break;
    }
}
