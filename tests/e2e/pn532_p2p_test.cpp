// P2P frames through the public API's stack on a simulated PN532, as initiator (the host jumps
// to an NFC-DEP target) and as target (an NFC-DEP initiator polls the host), between the peer of
// the simulator and a test double in LLCP's place: frames longer than the controller's pieces
// reach the other side whole and in order, and every pool buffer of the double comes back.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "L1/common/nfcllmsg.h"
#include "core/nfcmgr.h"
#include "fake_llcp.h"
#include "listen_support.h"
#include "peers/remote_poller.h"
#include "pn53x/pn532_pty.h"
#include "tags/nfc_dep_target.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kInJumpForDep = 0x56;
constexpr uint8_t kTgInitAsTarget = 0x8C;

enum class Role { Initiator, Target };

struct Pn532Link {
    explicit Pn532Link(Role role) : role(role), stack("PN532", sim.portPath()) {}

    bool open(std::deque<Bytes> peerFrames) {
        stack.replaceLlcp(&FakeLlcp::registerModule);
        if (!sim.ok() || stack.start() != nfcStatusOk) return false;
        const bool initiator = role == Role::Initiator;
        if (!stack.listen(initiator ? P2P_INITIATOR : P2P_TARGET)) return false;
        if (!sim.sim().waitForCommands(initiator ? kInJumpForDep : kTgInitAsTarget, 1, ApiStack::kBounded)) return false;
        if (initiator) {
            target = std::make_shared<simtags::NfcDepTarget>();
            target->toSend = std::move(peerFrames);
            sim.sim().enter(target);
        } else {
            poller = simpeers::RemotePoller::nfcDepInitiator();
            poller->log.toSend = std::move(peerFrames);
            sim.sim().approach(poller);
        }
        return llcp.waitForMessage(NFCMAN_LLCP_SET_PARAMETER, ApiStack::kBounded);
    }
    // Waits until the peer got n frames; what it got, read while the simulator answers nothing.
    std::vector<Bytes> peerReceived(size_t n) {
        std::vector<Bytes> out;
        sim.sim().waitUntil(
            [&] {
                out.clear();
                if (poller) out = poller->log.received;
                else
                    for (const simtags::Exchange& e : target->log) out.push_back(e.command);
                return out.size() >= n;
            },
            ApiStack::kBounded);
        return out;
    }

    Role role;
    pn53xsim::Pn532PtySim sim;
    FakeLlcp llcp{true};
    ApiStack stack;
    std::shared_ptr<simtags::NfcDepTarget> target;
    std::shared_ptr<simpeers::RemotePoller> poller;
};

class Pn532P2p : public ::testing::TestWithParam<Role> {};

TEST_P(Pn532P2p, FramesLongerThanAPieceTravelWholeBothWays) {
    const Bytes mine600 = patterned(600, 0x01), mine2000 = patterned(2000, 0x02);
    const Bytes peer600 = patterned(600, 0x81), peer2000 = patterned(2000, 0x82);
    const bool initiator = GetParam() == Role::Initiator;
    Pn532Link link(GetParam());
    // The initiator speaks first: as initiator the host does, as target the peer. As target the
    // host's last frame is taken as sent once the peer answers it.
    const Bytes symm{0x00, 0x00};
    ASSERT_TRUE(link.open(initiator ? std::deque<Bytes>{peer2000, peer600} : std::deque<Bytes>{peer600, peer2000, symm}));
    const std::vector<Bytes> mine = initiator ? std::vector<Bytes>{mine600, mine2000} : std::vector<Bytes>{mine2000, mine600};
    for (size_t k = 0; k < 2; ++k) {
        // The host answers the peer's frame as target; as initiator the peer answers the host's.
        const size_t framesBefore = initiator ? k : k + 1;
        ASSERT_TRUE(link.llcp.waitForFrames(framesBefore, ApiStack::kBounded));
        ASSERT_TRUE(link.llcp.sendFrame(mine[k]));
        ASSERT_EQ(link.peerReceived(k + 1).size(), k + 1);
    }
    ASSERT_TRUE(link.llcp.waitForFrames(initiator ? 2 : 3, ApiStack::kBounded));
    EXPECT_EQ(link.peerReceived(2), mine);
    EXPECT_EQ(link.llcp.frames(),
              initiator ? (std::vector<Bytes>{peer2000, peer600}) : (std::vector<Bytes>{peer600, peer2000, symm}));
    EXPECT_FALSE(link.llcp.received(NFCLL_LLCP_TRIGGER_IND).empty());
    EXPECT_EQ(link.llcp.poolFree(), FakeLlcp::kPoolBuffers);
}

INSTANTIATE_TEST_SUITE_P(Roles, Pn532P2p, ::testing::Values(Role::Initiator, Role::Target),
                         [](const auto& info) { return std::string(info.param == Role::Initiator ? "Initiator" : "Target"); });

}  // namespace
