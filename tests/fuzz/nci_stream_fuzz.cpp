// The NCI receive side from the line up: the byte stream in chunks of the input's choosing
// (with or without a chip's frame prefix), the whole packets it hands over reassembled from
// their segments on a few open connections, and every packet and message through the trace
// decoder in both directions.
#include <cstdint>

#include "L1/nci/nci_packet.h"
#include "L1/nci/nci_trace.h"
#include "transport/ncireceive.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint16_t kReaderTypes[] = {0x40B, 0x40C};   // plain NCI, and a chip with a frame prefix

volatile uint8_t g_sink;

uint32_t sendNothing(void*, const uint8_t*, uint32_t) { return 0; }

void takeMessage(void*, uint32_t kind, uint16_t, uint8_t, const uint8_t* payload, uint32_t length) {
    if (kind != NCI_RX_MESSAGE) return;   // credits and segments carry no payload
    uint8_t x = 0;
    for (uint32_t i = 0; i < length; ++i) x ^= payload[i];
    g_sink = x;
}

void takePacket(void* user, BYTE* packet, DWORD length) {
    nciTraceMessage(NCI_DIR_RX, packet, length, "nci:");
    nciTraceMessage(NCI_DIR_TX, packet, length, "nci:");
    nciPacketReceive(static_cast<TNciPacketLayer*>(user), packet, length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    debugSetFlags(0xFFFFFFFFu);
    CByteReader in(data, size);
    uint8_t setup = 0;
    if (!in.u8(setup)) return 0;
    nciTraceSetManufacturer(setup & 0x0F);
    TNciPacketLayer layer{};
    nciPacketInit(&layer, &sendNothing, nullptr, &takeMessage, nullptr);
    nciConnectionSetup(&layer, 1, 16, 1);
    nciConnectionSetup(&layer, 2, 255, 0);
    TNciReceiveContext receive;
    nciReceiveInit(&receive, kReaderTypes[setup >> 7], &takePacket, &layer);
    // Chunks: a length byte, then that many bytes of the line; a length of 0 restarts the packet.
    uint8_t chunk = 0;
    const uint8_t* bytes = nullptr;
    while (in.u8(chunk)) {
        if (chunk == 0) {
            nciReceiveRestart(&receive);
            continue;
        }
        const uint64_t n = chunk < in.remaining() ? chunk : in.remaining();
        if (!in.take(n, bytes)) break;
        nciReceiveBytes(&receive, bytes, static_cast<DWORD>(n));
    }
    nciPacketDone(&layer);
    return 0;
}
