// P2P frames through the public API's stack on a simulated PN544 over SHDLC, as initiator (the
// chip's polling loop finds an NFC-DEP target and its NFC-IP-1 initiator pipe carries the link)
// and as target (an external initiator meets the chip's NFC-IP-1 target pipe), between the peer
// of the simulator and a test double in LLCP's place. Frames longer than the chip's frame size
// reach the other side whole and in order, and every pool buffer of the double comes back.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "api_stack.h"
#include "core/nfcmgr.h"
#include "fake_llcp.h"
#include "hci/hci_pn544.h"
#include "hci/hci_pty.h"
#include "listen_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kInitiatorGate = hcisim::GATE_PN544_IP1_INITIATOR, kTargetGate = hcisim::GATE_PN544_IP1_TARGET;
constexpr uint8_t kAtrReq = 0x02, kAtrRes = 0x03;
constexpr uint8_t kLargestFrames = 0xFF;

struct Pn544Link {
    Pn544Link() : sim(hcisim::pn544Personality(chip, true)), stack("PN544", sim.portPath()) {}

    // The stack starts, the peer comes into the field and the host listens in the other role;
    // true once the double is bound to layer 1 and the link runs.
    bool open(bool asInitiator, std::deque<Bytes> peerFrames) {
        stack.replaceLlcp(&FakeLlcp::registerModule);
        if (!sim.ok() || stack.start() != nfcStatusOk) return false;
        const uint8_t gate = asInitiator ? kInitiatorGate : kTargetGate;
        const Bytes atr = asInitiator ? simpeers::atrRes(Bytes(10, 0x5A), 0x0E, simpeers::llcpGeneralBytes())
                                      : simpeers::atrReq(Bytes(10, 0x5A), simpeers::llcpGeneralBytes());
        sim.controller().setRegistry(gate, asInitiator ? kAtrRes : kAtrReq, atr);
        sim.controller().setRegistry(gate, hcisim::IP1_FRAME_SIZE, {kLargestFrames});
        peer->toSend = std::move(peerFrames);
        const auto role = asInitiator ? hcisim::Pn544Ip1::Peer::Target : hcisim::Pn544Ip1::Peer::Initiator;
        chip->withIp1([this, role](hcisim::Pn544Ip1& ip1) { ip1.setPeer(role, peer); });
        if (!stack.listen(asInitiator ? P2P_INITIATOR : P2P_TARGET)) return false;
        return llcp.waitForMessage(NFCMAN_LLCP_SET_PARAMETER, ApiStack::kBounded);
    }
    // What the peer got, whole messages in order, once it got n of them (bounded).
    std::vector<Bytes> peerReceived(size_t n) {
        std::vector<Bytes> got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ApiStack::kBounded);
        do {
            chip->withIp1([&](hcisim::Pn544Ip1& ip1) { got = ip1.messages; });
            if (got.size() >= n) break;
            std::this_thread::yield();
        } while (std::chrono::steady_clock::now() < end);
        return got;
    }
    uint32_t oversized() {
        uint32_t n = 0;
        chip->withIp1([&](hcisim::Pn544Ip1& ip1) { n = ip1.oversized; });
        return n;
    }

    std::shared_ptr<hcisim::Pn544Chip> chip = std::make_shared<hcisim::Pn544Chip>();
    std::shared_ptr<simpeers::FrameLog> peer = std::make_shared<simpeers::FrameLog>();
    hcisim::HciPtySim sim;
    FakeLlcp llcp{true};
    ApiStack stack;
};

// The host's role: as initiator it speaks first and the peer answers each of its frames; as
// target the external initiator speaks first, and with nothing left to say answers the host's
// last frame with a SYMM.
class Pn544P2p : public ::testing::TestWithParam<bool> {};

TEST_P(Pn544P2p, FramesLongerThanTheChipsFramesTravelWholeBothWays) {
    const bool asInitiator = GetParam();
    const Bytes mine600 = patterned(600, 0x01), mine2000 = patterned(2000, 0x02);
    const Bytes peer2000 = patterned(2000, 0x82), peer600 = patterned(600, 0x81);
    Pn544Link link;
    ASSERT_TRUE(link.open(asInitiator, {peer2000, peer600}));
    const std::vector<Bytes> mine = {mine600, mine2000};
    // Each side speaks in turn: the host's next frame goes once the peer's last one is in.
    for (size_t k = 0; k < mine.size(); ++k) {
        const size_t before = asInitiator ? k : k + 1;
        ASSERT_TRUE(link.llcp.waitForFrames(before, ApiStack::kBounded));
        ASSERT_TRUE(link.llcp.sendFrame(mine[k]));
    }
    std::vector<Bytes> theirs = {peer2000, peer600};
    if (!asInitiator) theirs.push_back({0x00, 0x00});
    ASSERT_TRUE(link.llcp.waitForFrames(theirs.size(), ApiStack::kBounded));
    EXPECT_EQ(link.peerReceived(2), mine);
    EXPECT_EQ(link.llcp.frames(), theirs);
    EXPECT_EQ(link.oversized(), 0u);
    EXPECT_FALSE(link.llcp.received(NFCLL_LLCP_TRIGGER_IND).empty());
    EXPECT_EQ(link.llcp.poolFree(), FakeLlcp::kPoolBuffers);
}

INSTANTIATE_TEST_SUITE_P(Roles, Pn544P2p, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "AsInitiator" : "AsTarget"; });

}  // namespace
