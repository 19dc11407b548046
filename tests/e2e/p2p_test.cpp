// P2P frames through the public API's stack against the simulated controller, as initiator (the
// host polls an NFC-DEP target) and as target (an NFC-DEP initiator polls the host), between
// the simulated peer and a test double on LLCP's queue: every frame the double sends reaches
// the peer whole, every frame of the peer reaches the double as one PH_DATA_IND, in order,
// longer than one data packet and under each way of returning credits, and every pool buffer
// comes back.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "api_stack.h"
#include "L1/common/nfcllmsg.h"
#include "core/nfcmgr.h"
#include "fake_llcp.h"
#include "listen_support.h"
#include "os/os_mem.h"
#include "peers/remote_poller.h"
#include "tags/nfc_dep_target.h"

namespace {

using Bytes = std::vector<uint8_t>;
using simpeers::FrameLog;
using simpeers::RemotePoller;

constexpr uint32_t kLayer1RxPool = 0x201F7;   // layer 1's receive pool, as the module manager names it for NCI
constexpr uint16_t kRfDiscover = 0x2103;

enum class Role { Initiator, Target };

struct Case {
    Role role;
    Credits credits;
};

uint16_t freeBuffers(uint32_t poolName) {
    uint16_t pool = 0;
    return osPoolFindByName(poolName, &pool) == OS_OK ? osPoolFree(pool) : 0;
}

// The stack with the double in LLCP's place, and the peer of the role.
struct P2pLink {
    explicit P2pLink(const Case& c) : c(c) {}

    // Starts, listens for the role and lets the peer meet the host; true once the double is
    // bound to layer 1 and the link runs.
    bool open(std::deque<Bytes> peerFrames) {
        stack.replaceLlcp(&FakeLlcp::registerModule);
        if (stack.start() != 0) return false;
        configureCredits(stack, c.credits);
        if (!stack.listen(c.role == Role::Initiator ? P2P_INITIATOR : P2P_TARGET)) return false;
        if (!stack.waitForCommands(kRfDiscover, 1)) return false;
        if (c.role == Role::Initiator) {
            target = std::make_shared<simtags::NfcDepTarget>();
            target->toSend = std::move(peerFrames);
            stack.sim().rf().enter(target);
        } else {
            initiator = RemotePoller::nfcDepInitiator();
            initiator->log.toSend = std::move(peerFrames);
            stack.sim().rf().approach(initiator);
        }
        return llcp.waitForMessage(NFCMAN_LLCP_SET_PARAMETER, ApiStack::kBounded);
    }
    FrameLog peerLog() {
        auto log = std::make_shared<FrameLog>();
        stack.sim().call([this, log](ncisim::Controller&) {
            if (initiator) *log = initiator->log;
            else
                for (const simtags::Exchange& e : target->log) log->received.push_back(e.command);
        });
        return *log;
    }
    bool peerReceived(size_t n) {
        return grantUntil(stack, c.credits, [&] { return peerLog().received.size() >= n; });
    }

    Case c;
    FakeLlcp llcp{true};
    ApiStack stack;
    std::shared_ptr<simtags::NfcDepTarget> target;
    std::shared_ptr<RemotePoller> initiator;
};

class P2pFrames : public ::testing::TestWithParam<Case> {};

TEST_P(P2pFrames, FramesLongerThanAPacketTravelWholeBothWaysAndEveryBufferComesBack) {
    const Bytes mine600 = patterned(600, 0x01), mine2000 = patterned(2000, 0x02);
    const Bytes peer600 = patterned(600, 0x81), peer2000 = patterned(2000, 0x82);
    P2pLink link(GetParam());
    const bool initiator = GetParam().role == Role::Initiator;
    // The initiator speaks first: as initiator the host does, as target the peer.
    // As target the host's last frame is taken as sent once the peer answers it.
    const Bytes symm{0x00, 0x00};
    ASSERT_TRUE(link.open(initiator ? std::deque<Bytes>{peer2000, peer600} : std::deque<Bytes>{peer600, peer2000, symm}))
        << link.stack.sim().describe();
    uint16_t rxFree = 0;

    // Each side's frame answers the other's; the initiator's comes first.
    const std::vector<Bytes> mine = initiator ? std::vector<Bytes>{mine600, mine2000} : std::vector<Bytes>{mine2000, mine600};
    // Layer 1 keeps a receive buffer ready from the first frame on; once the double has a frame
    // and the peer waits, nothing else is under way.
    auto quiet = [&] { rxFree = freeBuffers(kLayer1RxPool); };
    for (size_t k = 0; k < 2; ++k) {
        if (!initiator) {
            ASSERT_TRUE(link.llcp.waitForFrames(k + 1, ApiStack::kBounded)) << link.stack.sim().describe();
            if (k == 0) quiet();
        }
        ASSERT_TRUE(link.llcp.sendFrame(mine[k]));
        ASSERT_TRUE(link.peerReceived(k + 1)) << link.stack.sim().describe();
        if (initiator) {
            ASSERT_TRUE(link.llcp.waitForFrames(k + 1, ApiStack::kBounded)) << link.stack.sim().describe();
            if (k == 0) quiet();
        }
    }
    if (!initiator) {
        ASSERT_TRUE(link.llcp.waitForFrames(3, ApiStack::kBounded)) << link.stack.sim().describe();
    }

    EXPECT_EQ(link.peerLog().received, mine);
    EXPECT_EQ(link.llcp.frames(), initiator ? (std::vector<Bytes>{peer2000, peer600}) : (std::vector<Bytes>{peer600, peer2000, symm}));
    EXPECT_EQ(link.llcp.poolFree(), FakeLlcp::kPoolBuffers);
    EXPECT_EQ(freeBuffers(kLayer1RxPool), rxFree);
    EXPECT_FALSE(link.llcp.received(NFCLL_LLCP_TRIGGER_IND).empty());
    EXPECT_TRUE(link.stack.sim().recorder().violations().empty()) << link.stack.sim().describe();
}

INSTANTIATE_TEST_SUITE_P(RolesAndCredits, P2pFrames,
                         ::testing::Values(Case{Role::Initiator, Credits::PerPacket}, Case{Role::Initiator, Credits::Delayed},
                                           Case{Role::Initiator, Credits::Withheld}, Case{Role::Target, Credits::PerPacket},
                                           Case{Role::Target, Credits::Delayed}, Case{Role::Target, Credits::Withheld}),
                         [](const auto& info) {
                             return std::string(info.param.role == Role::Initiator ? "Initiator" : "Target") +
                                    creditsName(info.param.credits);
                         });

TEST(P2pFrames, FrameBeyondWhatLayerOneCarriesIsRefusedWithoutLosingItsBufferOrTheLink) {
    P2pLink link({Role::Initiator, Credits::PerPacket});
    ASSERT_TRUE(link.open({patterned(20, 0x90)})) << link.stack.sim().describe();
    ASSERT_TRUE(link.llcp.sendFrame(patterned(2052, 0x03)));
    const Bytes next = patterned(600, 0x04);
    ASSERT_TRUE(link.llcp.sendFrame(next));
    ASSERT_TRUE(link.peerReceived(1)) << link.stack.sim().describe();
    ASSERT_TRUE(link.llcp.waitForFrames(1, ApiStack::kBounded));
    EXPECT_EQ(link.peerLog().received, std::vector<Bytes>{next});
    EXPECT_EQ(link.llcp.poolFree(), FakeLlcp::kPoolBuffers);
}

} // namespace
