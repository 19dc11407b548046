// The SHDLC link's receive path: the bytes of the line in chunks of the input's choosing, in the
// flag or the length framing, between the host's own sends, its answers to data indications and
// the expiry of the link's timers. The owner's side is served as the ETSI transport adapter
// serves it, from a small pool; besides the sanitizers, every buffer the link hands over must be
// one of the pool's, given back once.
#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "transport/shdlc.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr size_t kBuffers = 8;

struct Owner {
    std::array<std::array<uint8_t, SHDLC_BUFFER_SIZE>, kBuffers> pool{};
    std::array<bool, kBuffers> taken{};
    std::deque<std::vector<uint8_t>> payloads;   // what the host queued, at stable addresses

    int indexOf(const void* buffer) const {
        for (size_t i = 0; i < kBuffers; ++i)
            if (buffer == pool[i].data()) return static_cast<int>(i);
        return -1;
    }
    void giveBack(const void* buffer) {
        const int i = indexOf(buffer);
        if (i < 0 || !taken[i]) __builtin_trap();
        taken[i] = false;
    }
};

void onEvent(void* context, uint32_t event, void* buffer, uint32_t length, uint32_t value) {
    Owner& o = *static_cast<Owner*>(context);
    switch (event) {
    case shdlceGetBuffer: {
        auto** slot = static_cast<uint8_t**>(buffer);
        *slot = nullptr;
        for (size_t i = 0; i < kBuffers; ++i)
            if (!o.taken[i]) {
                o.taken[i] = true;
                *slot = o.pool[i].data();
                break;
            }
        break;
    }
    case shdlceReleaseBuffer:
    case shdlceDataReceived: o.giveBack(buffer); break;
    case shdlceWrite:
        if (length > SHDLC_BUFFER_SIZE) __builtin_trap();
        if (value & SHDLC_FRAME_BUFFER) o.giveBack(buffer);
        break;
    default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    debugSetFlags(0);
    CByteReader in(data, size);
    uint8_t setup = 0;
    if (!in.u8(setup)) return 0;
    Owner owner;
    TShdlc* link = nullptr;
    const uint32_t flags = (setup & 0x1 ? SHDLC_LENGTH_MODE : 0u) | (setup & 0x2 ? SHDLC_NO_INITIAL_RESET : 0u);
    if (shdlcOpen(1u + (setup >> 2) % 4u, &onEvent, &owner, flags, &link) != 0) return 0;
    // Steps: 0 a chunk of the line (a length byte, then the bytes), 1 a send of the host, 2 a
    // timer's expiry, 3 the answer to a data indication.
    uint8_t step = 0;
    const uint8_t* bytes = nullptr;
    while (in.u8(step)) {
        switch (step % 4) {
        case 0: {
            uint8_t n = 0;
            if (!in.u8(n)) break;
            const uint64_t take = n < in.remaining() ? n : in.remaining();
            if (!in.take(take, bytes)) break;
            shdlcDecode(bytes, link, static_cast<uint32_t>(take));
            break;
        }
        case 1:
            if (!shdlcCanQueue(link)) break;
            owner.payloads.emplace_back(1u + step % 40u, step);
            shdlcSend(link, static_cast<uint32_t>(owner.payloads.back().size()), owner.payloads.back().data());
            break;
        case 2: shdlcTimerExpired(link, (step >> 2) % 3u); break;
        default: shdlcResponse(link); break;
        }
    }
    shdlcClose(link);
    return 0;
}
