// The ETSI HCI driver inside layer 1 on the synchronous dispatcher (the driver harness), started
// against the simulated plain controller; when the input begins with 0xA5, against the simulated
// PN544 with an NFC-DEP target in the field (behind its IP-1 phase and in front of reader A), so
// that its NFC-IP-1 pipes receive what the input sends them once a listen linked them; when it
// begins with 0x5A, against the simulated ST21NFCA with an NFC-DEP target behind its FeliCa gate,
// whose raw frames the NFC-IP-1 engine runs (NFC-DEP mode), and whose device manager, type 1/2
// gate, NFC-IP-1 gates and routing table then take the input's answers; when it begins with 0x3C,
// against the simulated demo board with the same target in front of reader A. Card-emulation
// masks open the card gates. The input is then a script: each step's first byte chooses
// a host operation (an I/O control, a listen, time passing) or an HCP packet from the
// controller, whose bytes follow, up to 40 of them. Besides the sanitizers, every I/O-control
// confirmation's bytes must lie in a request's own output.
#include <cstdint>
#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "L1/common/ip1msg.h"
#include "L1/ehci/ehci.h"
#include "driver_harness.h"
#include "hci/hci_controller.h"
#include "hci/hci_pn544.h"
#include "hci/hci_dep_gate.h"
#include "hci/hci_st21.h"
#include "nfcdep/dep_peer.h"
#include "tags/nfc_dep_target.h"

namespace {

constexpr uint16_t kPlain = 0x209;
constexpr uint32_t kIoCodes[] = {0x1004, 0x8010, 0x8011, 0x800E, 0x8008, 0x8002, 0x1234, 0x800D, 0x800F, 0x1106};
constexpr uint32_t kListenMasks[] = {0x1, 0x2, 0x4, 0x7, 0x100000, 0x200000, 0x400000, 0x300003};
constexpr uint16_t kPn544 = 0x205;
constexpr uint8_t kPn544Mark = 0xA5;
constexpr uint32_t kPn544Masks[] = {0x1000, 0x2000, 0x1100, 0x1001, 0x100000, 0x102000, 0x200001};
constexpr uint16_t kSt21 = 0x204;
constexpr uint8_t kSt21Mark = 0x5A;
constexpr uint32_t kSt21Masks[] = {0x1, 0x400, 0x1000, 0x2000, 0x1100, 0x400000, 0x100000, 0x1001};
constexpr uint16_t kDemo = 0x208;
constexpr uint8_t kDemoMark = 0x3C;
constexpr uint32_t kDemoMasks[] = {0x1, 0x1001, 0x5, 0x100, 0x100000};

enum class Chip { plain, pn544, st21, demo };

Chip chipOf(const uint8_t* data, size_t size) {
    if (!size) return Chip::plain;
    if (data[0] == kPn544Mark) return Chip::pn544;
    if (data[0] == kSt21Mark) return Chip::st21;
    if (data[0] == kDemoMark) return Chip::demo;
    return Chip::plain;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Chip kind = chipOf(data, size);
    const bool pn544 = kind == Chip::pn544;
    auto chip = std::make_shared<hcisim::Pn544Chip>();
    chip->withIp1([](hcisim::Pn544Ip1& ip1) {
        ip1.setPeer(hcisim::Pn544Ip1::Peer::Target, std::make_shared<simpeers::FrameLog>());
    });
    hcisim::St21Options st21;
    st21.felicaTarget = hcisim::Bytes{0x01, 0xFE, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0, 0};
    auto depPeer = std::make_shared<depsim::DepPeer>(depsim::Role::Target);
    hcisim::Personality personality = pn544               ? hcisim::pn544Personality(chip, true)
                                      : kind == Chip::st21 ? hcisim::st21Personality(st21)
                                      : kind == Chip::demo ? hcisim::demoPersonality(chip, true)
                                                           : hcisim::Personality::plain();
    if (kind == Chip::st21)
        personality.chip = std::make_shared<hcisim::DepGate>(hcisim::GATE_FELICA_IP1, depPeer, personality.chip);
    hcisim::HciController sim(std::move(personality));
    if (pn544 || kind == Chip::demo) sim.enter(std::make_shared<simtags::NfcDepTarget>());
    DriverHarness h;
    h.resetHook([] {
        ehciResetForTest();
        nfcipResetForTest();
    });
    const uint16_t readerType = pn544 ? kPn544 : kind == Chip::st21 ? kSt21 : kind == Chip::demo ? kDemo : kPlain;
    if (!h.build(readerType, &ehciInit, sizeof(TEhciPart))) return 0;
    h.setPacketPeer([&](const hcisim::Bytes& packet) { return sim.feed(packet); });
    h.toLayer1(nfcllMsgMake<NFCLL_ACT_REQ>(DriverHarness::kManager));
    std::vector<uint8_t> input(32), output(64);   // room for a routing entry of 27 bytes
    size_t i = kind == Chip::plain ? 0 : 1;
    while (i < size) {
        const uint8_t step = data[i++];
        switch (step % 8) {
        case 0: {
            const uint32_t code = kIoCodes[(step >> 3) % std::size(kIoCodes)];
            const size_t n = i < size ? data[i++] % (input.size() + 1) : 0;
            for (size_t k = 0; k < n && i < size; ++k) input[k] = data[i++];
            const uint16_t room = static_cast<uint16_t>((step >> 6) ? output.size() : 0);
            h.toLayer1(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
                DriverHarness::kManager, {nullptr, input.data(), room ? output.data() : nullptr, code, 0,
                                          static_cast<uint16_t>(n), room}));
            if (!h.ioAnswersWithin(output.data(), output.size())) __builtin_trap();
            break;
        }
        case 1: {
            const uint32_t mask = pn544                ? kPn544Masks[(step >> 3) % std::size(kPn544Masks)]
                                  : kind == Chip::st21 ? kSt21Masks[(step >> 3) % std::size(kSt21Masks)]
                                  : kind == Chip::demo ? kDemoMasks[(step >> 3) % std::size(kDemoMasks)]
                                                       : kListenMasks[(step >> 3) % std::size(kListenMasks)];
            h.toLayer1(nfcllMsgMake<NFCLL_LISTEN_REQ>(DriverHarness::kManager, {mask, nullptr}));
            // The link's frames go up once the device is taken.
            if (kind != Chip::plain) h.toLayer1(nfcllMsgMake<NFCLL_DEVICE_RESP>(DriverHarness::kManager));
            break;
        }
        case 2: h.advance(1u + (step >> 3) * 100u); break;
        default: {
            const size_t n = std::min<size_t>(1u + (step >> 3) % 40u, size - i);
            h.deliver(hcisim::Bytes(data + i, data + i + n));
            i += n;
            break;
        }
        }
    }
    h.advance(10000);
    return 0;
}
