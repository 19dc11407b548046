// The PN53x driver inside layer 1 on the synchronous dispatcher (the driver harness), against
// the simulated PN532 with a tag, an NFC-DEP target, an NFC-DEP initiator or a reader in its
// field, as the input's first byte chooses. The input is then a script: each step's first byte
// chooses a host operation (a listen of one of the driver's types, a transaction, a raw frame, a
// select, an I/O control, a line signal, time passing), silences or wakes the simulated
// controller, or sends the driver bytes of the line of its own (ACK, NACK, error frames, normal and
// extended information frames with good or bad checksums, or anything), up to 48 of them.
// Besides the sanitizers, every I/O-control confirmation's bytes must lie in a request's output.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "L1/53x/nfc53x.h"
#include "driver_harness.h"
#include "peers/remote_poller.h"
#include "pn53x/pn532_sim.h"
#include "tags/mifare_tag.h"
#include "tags/nfc_dep_target.h"
#include "tags/t2t_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;
using pn53xsim::Pn532Sim;

constexpr uint32_t kListenTypes[] = {0,      TAG_ISO14443A, TAG_14443B,          0x100,       0x200,
                                     0x400,  P2P_INITIATOR, P2P_TARGET,          CE_SECURE_CE, CE_HOST_14443A_106,
                                     CE_HOST_FELICA, 0x12345};
constexpr uint32_t kIoCodes[] = {0x1009, 0x100A, 0x1101, 0x1102, 0x1104, 0x1105, 0x1109, 0x4242};

void fill(Pn532Sim& sim, uint8_t choice) {
    switch (choice % 5) {
    case 0: sim.enter(simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true)); break;
    case 1: sim.enter(std::make_shared<simtags::MifareTag>()); break;
    case 2: sim.enter(std::make_shared<simtags::NfcDepTarget>()); break;
    case 3: sim.approach(simpeers::RemotePoller::nfcDepInitiator()); break;
    default: sim.approach(simpeers::RemotePoller::reader(simtags::Technology::A)); break;
    }
}

// A frame of the controller built from the input: its kind, code and data as the input says.
Bytes frameOf(uint8_t kind, const uint8_t* bytes, size_t n) {
    switch (kind % 4) {
    case 0: return Pn532Sim::ack();
    case 1: return Pn532Sim::nack();
    case 2: return Pn532Sim::errorFrame();
    default: return Pn532Sim::frame(n ? bytes[0] : 0x41, n > 1 ? Bytes(bytes + 1, bytes + n) : Bytes{}, (kind & 0x10) != 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Pn532Sim sim;
    fill(sim, data[0]);
    DriverHarness h;
    if (!h.build(data[0] & 0x80 ? 0x102 : 0x107, &nfc53xInit, sizeof(TNfc53xPart))) return 0;
    bool answering = true;
    h.setPeer([&](const Bytes& frame) { return answering ? sim.feed(frame) : Bytes{}; });
    h.toLayer1(nfcllMsgMake<NFCLL_ACT_REQ>(DriverHarness::kManager));
    std::vector<uint8_t> input(48), output(64);
    size_t i = 1;
    while (i < size) {
        const uint8_t step = data[i++];
        const size_t n = std::min<size_t>(step >> 3, size - i);
        const uint8_t* bytes = data + i;
        switch (step % 8) {
        case 0:
            h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(
                DriverHarness::kManager, {kListenTypes[(step >> 3) % std::size(kListenTypes)], nullptr}));
            h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager));
            break;
        case 1: {
            std::copy(bytes, bytes + n, input.begin());
            i += n;
            h.toLayer1(nfcllMsgMake<NFCLL_TRANSACTION_REQ>(DriverHarness::kManager,
                                                           {input.data(), static_cast<uint16_t>(n), 0}));
            break;
        }
        case 2: {
            // A P2P frame from above, in a buffer layer 1 owns from here on.
            const Bytes frame(bytes, bytes + n);
            i += n;
            if (uint8_t* buffer = h.rxBuffer(frame))
                h.toLayer1(nfcllMsgMake<PH_DATA_REQ>(DriverHarness::kManager,
                                                     {NFCLL_MSG_OWNS_BUFFER, 0, static_cast<uint16_t>(n), buffer}));
            break;
        }
        case 3: {
            const uint32_t code = kIoCodes[(step >> 3) % std::size(kIoCodes)];
            const uint16_t room = (step & 0x80) ? static_cast<uint16_t>(output.size()) : 4;
            h.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
                DriverHarness::kManager, {nullptr, input.data(), output.data(), code, 0, 2, room}));
            if (!h.ioAnswersWithin(output.data(), output.size())) __builtin_trap();
            break;
        }
        case 4: h.advance(1u + (step >> 3) * 60u); break;
        case 5:
            if (step & 0x80) answering = !answering;
            else nfc53xHandleLineSignal(h.context(), 6u + ((step >> 3) & 1u));
            break;
        case 6:
            h.toLayer1(nfcllMsgMake<NFCLL_SELECT_REQ>(DriverHarness::kManager, {static_cast<uint8_t>(step >> 3), 0}));
            break;
        default:
            h.deliver(frameOf(step >> 3, bytes, n));
            h.deliver(Bytes(bytes, bytes + n));
            i += n;
            break;
        }
    }
    h.advance(5000);
    return 0;
}
