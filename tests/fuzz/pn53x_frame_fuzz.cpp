// The PN53x frame reader on its own inside layer 1: the line's bytes in chunks of the input's
// choosing, decoded while a command of the input's choosing is pending, in a state and activation
// kind of its choosing (listen, exchange, P2P in both roles, card emulation, raw frames), with a
// sink in place of the state machine. Besides the sanitizers, each event's output must lie in the
// reader's own buffer or be empty, and the buffer never holds more than it can.
#include <cstdint>
#include <iterator>

#include "L1/53x/nfc53x.h"
#include "driver_harness.h"
#include "util/bytereader.h"

namespace {

constexpr uint32_t kStates[] = {NFC53X_STATE_INACTIVE,       NFC53X_STATE_INIT4,           NFC53X_STATE_ACTIVATE_TAG_2,
                                NFC53X_STATE_SEND_TAG_2,     NFC53X_STATE_SEND_RAW,        NFC53X_STATE_SEND_RECV_P2P_IN_1,
                                NFC53X_STATE_RECV_P2P_TG,    NFC53X_STATE_CE_GETDATA,      NFC53X_STATE_DEACTIVATE_RF_1};
constexpr uint32_t kKinds[] = {NFC53X_KIND_DEACT, NFC53X_KIND_P2P_IN, NFC53X_KIND_P2P_TG, NFC53X_KIND_CE, NFC53X_KIND_READER};

TNfc53xPart* g_part = nullptr;

void sink(TNfcllContext*, uint32_t, const uint8_t* output, uint16_t length) {
    if (!length) return;
    const uint8_t* begin = g_part->rx;
    const bool inReader = output >= begin && output + length <= begin + sizeof g_part->rx;
    const bool inCard = output >= g_part->ceCommand && output + length <= g_part->ceCommand + sizeof g_part->ceCommand;
    if (!inReader && !inCard) __builtin_trap();
}

int32_t init(TNfcllContext* ll) {
    ll->miniport.dataIndication = &nfc53xDataIndication;
    nfc53xPart(ll)->handleEvent = &sink;
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CByteReader in(data, size);
    uint8_t setup = 0, pending = 0;
    if (!in.u8(setup) || !in.u8(pending)) return 0;
    DriverHarness h;
    if (!h.build(setup & 0x80 ? 0x102 : 0x107, &init, sizeof(TNfc53xPart))) return 0;
    TNfcllContext* ll = h.context();
    g_part = nfc53xPart(ll);
    g_part->state = kStates[(setup & 0x0F) % std::size(kStates)];
    ll->mode = kKinds[((setup >> 4) & 0x7) % std::size(kKinds)];
    g_part->pendingId = pending % (NFC53X_REQ_COUNT + 1);
    g_part->inProcess = pending >> 7;
    uint8_t chunk[64];
    uint8_t n = 0;
    const uint8_t* bytes = nullptr;
    while (in.u8(n)) {
        const uint64_t take = n % sizeof chunk < in.remaining() ? n % sizeof chunk : in.remaining();
        if (!in.take(take, bytes)) break;
        for (uint64_t k = 0; k < take; ++k) chunk[k] = bytes[k];
        nfc53xDataIndication(ll, chunk, static_cast<uint16_t>(take), 0);
        if (g_part->rxLength > NFC53X_RX_BUFFER_SIZE) __builtin_trap();
    }
    g_part = nullptr;
    return 0;
}
