// Requests of the NCI driver that cross, below the NFC manager against the simulated controller:
// the controller holds its answer to a secure-element request while layer 1 restarts discovery
// or resets the controller; NCI takes one command at a time, so the crossing request waits for
// the answer, and each request gets its own answer in turn; a listen mask that changes while
// discovery is being set up restarts it from idle.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "L1/nci/nci.h"
#include "nci/nci_simulator.h"
#include "nci_stack.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::Fault;
using ncisim::NciIdentity;
using ncisim::NciMessage;
using ncisim::NciSimulator;

constexpr uint16_t kModeSet = 0x2201, kModeSetRsp = 0x4201, kRfDeactivate = 0x2106, kRfDiscover = 0x2103;
constexpr uint8_t kEse = 0x10;
constexpr uint32_t kSeOff = 0x800A;
constexpr uint32_t kHeldMs = 200;   // the mode set's answer comes this much later

NciIdentity withSecureElement() {
    NciIdentity id = NciIdentity::generic();
    ncisim::NfceeInfo ese;
    ese.id = kEse;
    id.nfcees = {ese};
    return id;
}

struct Crossing {
    const char* name;
    // Sends the crossing request; the upward message that answers it.
    bool (*send)(NciStack& stack, TNfcListenParam* params);
    uint16_t answer;
    size_t answerIndex;
};

bool startedAndActive(NciStack& stack, const NciSimulator& sim) {
    if (!stack.start(sim.portPath())) return false;
    const auto act = stack.activate();
    return act && act->cause == 0;
}

bool listenWider(NciStack& stack, TNfcListenParam* params) { return stack.request<NFCLL_LISTEN_REQ>({0x3, params}); }
bool listenSame(NciStack& stack, TNfcListenParam* params) { return stack.request<NFCLL_LISTEN_REQ>({0x1, params}); }
bool reset(NciStack& stack, TNfcListenParam*) { return stack.request<PH_RESET_REQ>(); }

// Where the n-th message with this command stands among the upward ones.
size_t position(const std::vector<uint16_t>& commands, uint16_t command, size_t n) {
    for (size_t k = 0; k < commands.size(); ++k)
        if (commands[k] == command && n-- == 0) return k;
    return commands.size();
}

uint16_t causeOf(const OsMessage& m) {
    return m.command == NFCLL_LISTEN_CONF ? nfcllMsgGet<NFCLL_LISTEN_CONF>(m).cause : nfcllMsgGet<PH_RESET_CONF>(m).cause;
}

TEST(NciSeRequest, ARequestThatCrossesAHeldModeSetWaitsForItsAnswer) {
    const Crossing crossings[] = {
        {"discovery restarted for a new mask", &listenWider, NFCLL_LISTEN_CONF, 1},
        {"discovery asked for again", &listenSame, NFCLL_LISTEN_CONF, 1},
        {"controller reset", &reset, PH_RESET_CONF, 0},
    };
    for (const Crossing& c : crossings) {
        SCOPED_TRACE(c.name);
        NciSimulator sim{withSecureElement()};
        NciStack stack;
        TNfcListenParam params{};
        ASSERT_TRUE(startedAndActive(stack, sim));
        ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0x1, &params}));
        const auto listening = stack.waitFor(NFCLL_LISTEN_CONF, 0);
        ASSERT_TRUE(listening);
        ASSERT_EQ(nfcllMsgGet<NFCLL_LISTEN_CONF>(*listening).cause, 0);
        NfcSecureHandle ese = 0;
        ASSERT_TRUE(stack.onDriver([&](TNciContext& nci) { ese = nciNfceeById(&nci, kEse)->info.handle; }));

        Fault held = Fault::delayed(kHeldMs);
        held.times = 1;
        sim.setFault(kModeSetRsp, held);
        void* instance = reinterpret_cast<void*>(static_cast<uintptr_t>(ese));
        ASSERT_TRUE(stack.request<NFCLL_IOCONTROL_REQ>({instance, nullptr, nullptr, kSeOff, 0, 0, 0}));
        ASSERT_TRUE(sim.waitForCommands(kModeSet, 1, NciStack::kBounded));
        ASSERT_EQ(stack.count(NFCLL_IOCONTROL_CONF), 0u);   // the answer is still held
        ASSERT_TRUE(c.send(stack, &params));

        const auto answer = stack.waitFor(c.answer, c.answerIndex);
        ASSERT_TRUE(answer) << sim.describe();
        EXPECT_EQ(causeOf(*answer), 0);
        ASSERT_EQ(stack.count(NFCLL_IOCONTROL_CONF), 1u);
        EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*stack.waitFor(NFCLL_IOCONTROL_CONF)).cause, 0);
        // The mode set is answered first, the crossing request after it.
        EXPECT_LT(position(stack.commands(), NFCLL_IOCONTROL_CONF, 0), position(stack.commands(), c.answer, c.answerIndex));
        EXPECT_EQ(stack.count(NFCLL_ERROR_IND), 0u);
        EXPECT_TRUE(sim.recorder().violations().empty()) << sim.describe();
        stack.stop();
    }
}

// The statuses of the controller's responses with this opcode, as it sent them.
std::vector<uint8_t> responseStatuses(const NciSimulator& sim, uint16_t opcode) {
    std::vector<uint8_t> out;
    for (const ncisim::PacketRecord& p : sim.recorder().packets())
        if (p.direction == ncisim::Direction::ToHost && p.bytes.size() >= 4 && (p.bytes[0] << 8 | p.bytes[1]) == opcode)
            out.push_back(p.bytes[3]);
    return out;
}

TEST(NciDiscoveryRestart, AMaskChangedDuringTheSetUpRestartsDiscoveryFromIdle) {
    NciSimulator sim{withSecureElement()};
    NciStack stack;
    TNfcListenParam params{};
    ASSERT_TRUE(startedAndActive(stack, sim));
    Fault held = Fault::delayed(kHeldMs);
    held.times = 1;
    sim.setFault(0x4103, held);
    ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0x1, &params}));
    ASSERT_TRUE(sim.waitForCommands(kRfDiscover, 1, NciStack::kBounded));
    // The set-up's discovery command is out: the new mask comes too late for it.
    ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0x3, &params}));
    ASSERT_TRUE(sim.waitForCommands(kRfDiscover, 2, NciStack::kBounded)) << sim.describe();
    std::vector<uint8_t> statuses;
    for (size_t n = sim.recorder().packets().size(); (statuses = responseStatuses(sim, 0x4103)).size() < 2; ++n)
        ASSERT_TRUE(sim.recorder().waitForPackets(n + 1, NciStack::kBounded)) << sim.describe();
    EXPECT_EQ(statuses, (std::vector<uint8_t>{0x00, 0x00})) << sim.describe();
    const std::vector<uint16_t> opcodes = sim.commandOpcodes();
    std::vector<uint16_t> rf;
    for (uint16_t op : opcodes)
        if (op == kRfDiscover || op == kRfDeactivate) rf.push_back(op);
    EXPECT_EQ(rf, (std::vector<uint16_t>{kRfDiscover, kRfDeactivate, kRfDiscover}));
    EXPECT_EQ(stack.count(NFCLL_ERROR_IND), 0u);
    EXPECT_TRUE(sim.recorder().violations().empty()) << sim.describe();
    stack.stop();
}

} // namespace
