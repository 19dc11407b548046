// The NDLC link's receive path on its own worker: the frames of the bus as the input cuts them
// (data, acknowledgements, repeats, damaged ones, in full mode or without CRC), with at most one
// NCI packet of the host waiting for its acknowledgement among them. Each frame is taken before
// the next is handed over; destroying the link joins the worker, so every frame was handled.
// Besides the sanitizers, nothing the link hands up may be longer than a frame.
#include <cstdint>

#include "transport/ndlc.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

void onEvent(void*, uint32_t event, const uint8_t* data, uint32_t length) {
    if ((event == NDLC_EVENT_DATAIND || event == NDLC_EVENT_DSWRITE) && (!data || length > NDLC_FRAME_MAX + 3))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    debugSetFlags(0);
    debugSetL1Flags(0);
    CByteReader in(data, size);
    uint8_t setup = 0;
    if (!in.u8(setup)) return 0;
    TNdlc* link = NdlcCreate(nullptr, &onEvent, (setup & 1) ? NDLC_FULL_MODE : 0u);
    if (!link) return 0;
    bool sent = false;
    // Steps: a length byte, then that many bytes of one frame; a length of 0 sends the host's
    // packet (once: a second would wait for the first's acknowledgement).
    uint8_t n = 0;
    const uint8_t* frame = nullptr;
    while (in.u8(n)) {
        if (n == 0) {
            static constexpr uint8_t kPacket[] = {0x20, 0x00, 0x01, 0x01};
            if (!sent) sent = NdlcSendDownstream(sizeof kPacket, link, kPacket);
            continue;
        }
        const uint64_t take = n < in.remaining() ? n : in.remaining();
        if (!take || !in.take(take, frame)) break;
        NdlcSendUpstream(static_cast<uint32_t>(take), frame, link);
    }
    NdlcDestroy(link);
    return 0;
}
