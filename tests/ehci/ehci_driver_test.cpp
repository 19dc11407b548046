// The ETSI HCI driver inside the real layer 1, with the simulated controller answering each
// HCP packet in-process and time on a manual clock: the start's failures, short answers,
// cutting and joining messages, the TX completion slots and the watchdog, host commands,
// the PH reset, I/O control and the timers.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <vector>

#include "L1/common/nfcll_sehandle.h"
#include "core/nfcmgr.h"
#include "ehci_fixture.h"

namespace {

using hcisim::Bytes;
using hcisim::HciController;
using hcisim::Type;


// ---- The start -------------------------------------------------------------------------------------------

TEST_F(EhciDriver, StartsOnceAndReportsThePlainCapabilities) {
    ASSERT_TRUE(started());
    const TNfcCapabilityBlock& caps = ll->capabilities;
    const DWORD mask = caps.supportedMask, flags = caps.flags;   // packed: read through copies
    EXPECT_EQ(mask, 0xF00003u);
    EXPECT_EQ(flags, 1u);
    EXPECT_EQ(e()->stripLastByteMask, 131u);
    EXPECT_EQ(e()->state, 34u);
    EXPECT_EQ(e()->pipes.readerA->timeout, 309u);
    EXPECT_EQ(e()->pipes.readerB->timeout, 2473u);
    EXPECT_TRUE(cap.contains("ehci: Session identity unknown, clear all pipes"));
}

// Each step of the administration pipe fails in turn: one activation confirmation with a cause,
// and nothing sent after the failed step.
struct AdminStep {
    uint8_t instruction;
    int parameter;   // -1: any
    const char* name;
    friend void PrintTo(const AdminStep& s, std::ostream* os) { *os << s.name; }
};
class AdminFailure : public EhciDriver, public ::testing::WithParamInterface<AdminStep> {};

TEST_P(AdminFailure, EndsTheStartWithOneFailedConfirmation) {
    const AdminStep step = GetParam();
    hcisim::Fault fault{step.instruction, hcisim::GATE_ADMIN, std::nullopt, hcisim::ANY_E_NOK};
    if (step.parameter >= 0) fault.parameter = static_cast<uint8_t>(step.parameter);
    sim.inject(fault);
    activate();
    h.advance(7000);
    EXPECT_EQ(actCauses(), (std::vector<uint16_t>{EHCI_CAUSE_FAILED}));
    const std::vector<hcisim::Logged> log = sim.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().message.instruction, step.instruction);
    EXPECT_EQ(e()->state, 0u);
    EXPECT_EQ(e()->supportedMask, 0u);
}

INSTANTIATE_TEST_SUITE_P(Steps, AdminFailure,
                         ::testing::Values(AdminStep{hcisim::ANY_OPEN_PIPE, -1, "open"},
                                           AdminStep{hcisim::ANY_GET_PARAMETER, 0x01, "identity"},
                                           AdminStep{hcisim::ADM_CLEAR_ALL_PIPE, -1, "clearAll"},
                                           AdminStep{hcisim::ANY_GET_PARAMETER, 0x04, "hostList"},
                                           AdminStep{hcisim::ANY_GET_PARAMETER, 0x03, "whiteList"},
                                           AdminStep{hcisim::ADM_CREATE_PIPE, 0x05, "identityPipe"},
                                           AdminStep{hcisim::ANY_SET_PARAMETER, 0x03, "setWhiteList"},
                                           AdminStep{hcisim::ADM_CREATE_PIPE, 0x04, "loopback"},
                                           AdminStep{hcisim::ADM_CREATE_PIPE, 0x13, "readerA"},
                                           AdminStep{hcisim::ANY_SET_PARAMETER, 0x01, "saveIdentity"}),
                         [](const ::testing::TestParamInfo<AdminStep>& info) { return std::string(info.param.name); });

// The identity read: whole and marked (own, whatever its last letter), or short (never read past).
struct IdentityCase {
    Bytes identity;
    bool own;
    friend void PrintTo(const IdentityCase& c, std::ostream* os) {
        *os << ::testing::PrintToString(c.identity) << (c.own ? " own" : " not own");
    }
};
class IdentityRead : public EhciDriver, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(IdentityRead, CountsAsOwnOnlyWhenWholeAndMarked) {
    sim.setRegistry(hcisim::GATE_ADMIN, 0x01, GetParam().identity);
    ASSERT_TRUE(started());
    EXPECT_EQ(cap.contains("ehci: Own session identity detected"), GetParam().own);
    EXPECT_EQ((e()->flags & EHCI_F_OWN_IDENTITY) != 0, GetParam().own);
}

INSTANTIATE_TEST_SUITE_P(Identities, IdentityRead,
                         ::testing::Values(IdentityCase{{2, 0, 3, 0, 'E', 'L', 'M', 'I'}, true},
                                           IdentityCase{{2, 0, 3, 0, 'E', 'L', 'M', '?'}, true},
                                           IdentityCase{{2, 0, 3, 0, 'E', 'L', 'M'}, false},
                                           IdentityCase{{2, 0, 3, 0, 'E'}, false},
                                           IdentityCase{{}, false},
                                           IdentityCase{{2, 0, 3, 0, 'X', 'L', 'M', 'I'}, false}));

TEST_F(EhciDriver, ShortAndLongIdentityAnswersAreCopiedAsFarAsTheyGo) {
    sim.setRegistry(hcisim::GATE_IDENTITY, 0x01, {0x07});
    sim.setRegistry(hcisim::GATE_IDENTITY, 0x03, {});
    sim.setRegistry(hcisim::GATE_IDENTITY, 0x04, Bytes(25, 'v'));
    Bytes gates(24, 0x30);
    gates[0] = 0x11;
    sim.setRegistry(hcisim::GATE_IDENTITY, 0x06, gates);
    sim.setPacketSize(9);
    ASSERT_TRUE(started());
    const TNfcCapabilityBlock& caps = ll->capabilities;
    EXPECT_EQ(Bytes(caps.softwareVersion, caps.softwareVersion + 4), (Bytes{0x07, 0, 0, 0}));
    EXPECT_EQ(Bytes(caps.hardwareVersion, caps.hardwareVersion + 4), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(std::string(caps.vendorName), std::string(19, 'v'));
    EXPECT_EQ(e()->gateCount, EHCI_GATES_MAX);
    const DWORD mask = caps.supportedMask;
    EXPECT_EQ(mask, 0x3u) << "reader A always, reader B listed";
}

TEST_F(EhciDriver, AGateListEndsAtItsEndMark) {
    sim.setRegistry(hcisim::GATE_IDENTITY, 0x06, {0x04, 0x05, 0xFF, 0x11, 0x23});
    ASSERT_TRUE(started());
    EXPECT_EQ(e()->gateCount, 2);
    const DWORD mask = ll->capabilities.supportedMask;
    EXPECT_EQ(mask, 0x1u);
}

TEST(EhciPlain, SupportedMaskFromTheGateList) {
    struct Row {
        Bytes gates;
        uint32_t mask;
    };
    const Row rows[] = {{{}, 0x1},
                        {{0x11}, 0x3},
                        {{0x13, 0x23, 0x21}, 0x300001},
                        {{0x22, 0x24, 0x14, 0x12}, 0xC00001}};
    for (const Row& row : rows)
        EXPECT_EQ(ehciPlainSupportedMask(row.gates.data(), static_cast<uint32_t>(row.gates.size())), row.mask);
}

// ---- Packets ---------------------------------------------------------------------------------------------

TEST(EhciHcp, ReaderTimeoutByte) {
    const std::pair<uint32_t, uint8_t> rows[] = {{0, 0x18},    {77, 0x18},   {78, 0x19},   {154, 0x19},
                                                 {309, 0x1A},  {310, 0x1B},  {1236, 0x1C}, {2473, 0x1D},
                                                 {4947, 0x1E}, {4948, 0x1F}, {60000, 0x1F}};
    for (const auto& [ms, byte] : rows) EXPECT_EQ(ehciReaderTimeoutByte(ms), byte) << ms;
}

// Message lengths on reader, card and loopback pipes and the packets they become.
struct Cut {
    const char* pipe;
    uint32_t length;
    std::vector<size_t> packets;   // sizes, CB on the last only
    friend void PrintTo(const Cut& c, std::ostream* os) { *os << c.pipe << " " << c.length; }
};
class Fragmentation : public EhciDriver, public ::testing::WithParamInterface<Cut> {};

TEST_P(Fragmentation, CutsIntoPacketsOfAtMost28Bytes) {
    ASSERT_TRUE(started());
    const Cut cut = GetParam();
    TEhciPipe* pipe = std::string(cut.pipe) == "reader" ? e()->pipes.readerA
                      : std::string(cut.pipe) == "card" ? e()->pipes.cardF
                                                        : e()->pipes.loopback;
    h.setPacketPeer(nullptr);
    h.clearSent();
    Bytes message(cut.length);
    for (uint32_t i = 0; i < cut.length; ++i) message[i] = static_cast<uint8_t>(i);
    ehciPipeSend(pipe, message.data(), cut.length);
    h.run();
    const auto& sent = h.sent();
    ASSERT_EQ(sent.size(), cut.packets.size());
    Bytes joined;
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].size(), cut.packets[i]) << i;
        EXPECT_EQ(sent[i][0], (i + 1 == sent.size() ? 0x80 : 0x00) | pipe->id) << i;
        joined.insert(joined.end(), sent[i].begin() + 1, sent[i].end());
    }
    const size_t header = std::string(cut.pipe) == "reader" ? 2 : 1;
    EXPECT_EQ(Bytes(joined.begin() + static_cast<long>(header), joined.end()), message);
    const Bytes firstHeader = std::string(cut.pipe) == "reader" ? Bytes{0x10, 0x1A}
                              : std::string(cut.pipe) == "card" ? Bytes{0x50}
                                                                : Bytes{0x42};
    EXPECT_EQ(Bytes(sent[0].begin() + 1, sent[0].begin() + 1 + static_cast<long>(header)), firstHeader);
}

INSTANTIATE_TEST_SUITE_P(Table, Fragmentation,
                         ::testing::Values(Cut{"reader", 25, {28}}, Cut{"reader", 26, {28, 2}},
                                           Cut{"card", 26, {28}}, Cut{"card", 27, {28, 2}},
                                           Cut{"loopback", 1, {3}}, Cut{"loopback", 80, {28, 28, 28}},
                                           Cut{"loopback", 81, {28, 28, 28, 2}},
                                           Cut{"reader", 262, {28, 28, 28, 28, 28, 28, 28, 28, 28, 22}}));

TEST_F(EhciDriver, APacketOfOneByteIsDroppedUnlessAMessageContinues) {
    ASSERT_TRUE(started());
    h.deliver({0x81});
    h.deliver({0x7F});
    EXPECT_TRUE(cap.contains("ehci: ! packet of 1 byte on pipe 0x1 dropped"));
    EXPECT_TRUE(h.upward(NFCLL_ERROR_IND).empty());
}

// A packet on a pipe the driver does not know is the controller's connectivity pipe; a hot plug
// with no activator to tell changes nothing.
TEST_F(EhciDriver, UnknownPipesBecomeTheConnectivityPipeAndAHotPlugIsHarmless) {
    ASSERT_TRUE(started());
    for (const Bytes& packet : sim.event(0x55, 0x10, {0xAA})) h.deliver(packet);
    EXPECT_EQ(e()->pipes.connectivity->id, 0x55);
    EXPECT_TRUE(cap.contains("ehci: ! no pipe found for ID 0x55"));
    for (const Bytes& packet : sim.hotPlug()) h.deliver(packet);
    EXPECT_TRUE(h.upward(NFCLL_ERROR_IND).empty());
    EXPECT_EQ(e()->state, 34u);
}

// ---- Completion slots and the watchdog --------------------------------------------------------------------

TEST_F(EhciDriver, TheWatchdogStartsWhenTheLinkReleasesTheBuffer) {
    ASSERT_TRUE(started());
    sim.setMute(true);
    h.holdTx(true);
    ASSERT_EQ(ehciGetParam(e()->pipes.identity, 0x01, 43), 0);
    h.advance(6000);
    EXPECT_TRUE(h.upward(NFCLL_ERROR_IND).empty()) << "held by the link: no watchdog yet";
    h.releaseTx();
    h.advance(4590);
    EXPECT_TRUE(h.upward(NFCLL_ERROR_IND).empty());
    h.advance(20);
    const auto errors = h.upward(NFCLL_ERROR_IND);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_ERROR_IND>(errors[0]).cause, EHCI_CAUSE_FAILED);
}

TEST_F(EhciDriver, TheTwentyFirstOutstandingCommandIsRefused) {
    ASSERT_TRUE(started());
    sim.setMute(true);
    h.holdTx(true);
    h.clearSent();
    for (uint32_t i = 0; i < EHCI_TX_SLOTS; ++i) EXPECT_EQ(ehciGetParam(e()->pipes.identity, 0x01, 43), 0) << i;
    EXPECT_EQ(ehciGetParam(e()->pipes.identity, 0x01, 43), -1);
    h.run();
    EXPECT_EQ(h.sent().size(), EHCI_TX_SLOTS);
    EXPECT_TRUE(cap.contains("ehci: alloc TX buffer, no completion slot !"));
    h.releaseTx();
    h.run();
    EXPECT_EQ(ehciGetParam(e()->pipes.identity, 0x01, 43), 0) << "the slots came back";
}

TEST_F(EhciDriver, AMessageCutShortForWantOfSlotsGoesOnWhenTheyComeBack) {
    ASSERT_TRUE(started());
    sim.setMute(true);
    h.holdTx(true);
    for (int i = 0; i < 15; ++i) ASSERT_EQ(ehciGetParam(e()->pipes.identity, 0x01, 43), 0);
    h.run();
    h.clearSent();
    Bytes message(200, 0x5A);
    ehciPipeSend(e()->pipes.readerA, message.data(), static_cast<uint32_t>(message.size()));
    h.run();
    EXPECT_EQ(h.sent().size(), 5u);
    EXPECT_TRUE(cap.contains("ehci: RNR, send rest"));
    h.releaseTx();
    h.run();
    h.releaseTx();
    h.run();
    ASSERT_EQ(h.sent().size(), 8u) << "200 bytes: 25 in the first packet, 27 in each further one";
    EXPECT_EQ(h.sent().back()[0], 0x80 | e()->pipes.readerA->id);
}

// ---- Host commands ------------------------------------------------------------------------------------------

TEST_F(EhciDriver, AHostCommandDuringACommandIsAnsweredAfterTheResponse) {
    ASSERT_TRUE(started());
    h.setPacketPeer(nullptr);
    h.clearSent();
    ASSERT_EQ(ehciGetParam(e()->pipes.identity, 0x01, 99), 0);   // a step whose answer sends nothing
    h.run();
    h.deliver(sim.notifyPipeCreated(hcisim::HOST_UICC, 0x23, 0x23)[0]);
    EXPECT_EQ(h.sent().size(), 1u) << "no answer while the driver's command waits";
    h.deliver({static_cast<uint8_t>(0x80 | e()->pipes.identity->id), 0x80, 1, 2, 3});
    ASSERT_EQ(h.sent().size(), 2u);
    EXPECT_EQ(h.sent()[1], (Bytes{0x81, 0x80}));
    h.deliver(sim.notifyPipeCreated(hcisim::HOST_UICC, 0x21, 0x21)[0]);
    ASSERT_EQ(h.sent().size(), 3u) << "nothing waits: answered at once";
    EXPECT_EQ(h.sent()[2], (Bytes{0x81, 0x80}));
}

TEST_F(EhciDriver, WithTheModeByteAControllersSetParameterIsAnsweredAtOnce) {
    ASSERT_TRUE(started());
    h.setPacketPeer(nullptr);
    h.clearSent();
    nfcmanSetStackBytes(1, 0);   // the first byte of I/O control 0x120B; the second is no part of it
    ASSERT_EQ(ehciGetParam(e()->pipes.identity, 0x01, 99), 0);
    h.run();
    h.deliver({0x81, 0x01, 0x03, 0x02});
    nfcmanSetStackBytes(0, 0);
    ASSERT_EQ(h.sent().size(), 2u);
    EXPECT_EQ(h.sent()[1], (Bytes{0x81, 0x80}));
    EXPECT_FALSE(e()->flags & EHCI_F_WAITING);
}

// ---- PH reset ----------------------------------------------------------------------------------------------

TEST_F(EhciDriver, APhResetFailsWhatIsPendingAndReportsTheReset) {
    ASSERT_TRUE(started());
    const uint32_t listenMask = 0x3;
    e()->lastListenMask = listenMask;
    sim.setMute(true);
    ioControl(0x1004, {1, 2, 3}, 16);
    ASSERT_EQ(ehciGetParam(e()->pipes.identity, 0x01, 43), 0);
    h.run();
    sim.setMute(false);
    h.toLayer1(nfcllMsgMake<PH_RESET_REQ>(DriverHarness::kManager));
    h.run();
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{3}));
    const auto transactions = h.upward(NFCLL_TRANSACTION_IND);
    ASSERT_EQ(transactions.size(), 1u);
    EXPECT_EQ(osMsgFields<TNfcllTransactionInd>(transactions[0]).result->cause, EHCI_CAUSE_FAILED);
    EXPECT_EQ(h.upward(PH_RESET_CONF).size(), 1u);
    EXPECT_EQ(h.upward(NFCLL_ACT_CONF).size(), 1u) << "only the first start's";
    EXPECT_EQ(e()->retryCount, 1u);
    EXPECT_EQ(e()->lastListenMask, listenMask);
    EXPECT_EQ(e()->state, 34u);
}

// ---- I/O control ---------------------------------------------------------------------------------------------

struct IoCase {
    uint32_t code;
    Bytes input;
    uint16_t cause;
    friend void PrintTo(const IoCase& c, std::ostream* os) { *os << std::hex << c.code << " " << std::dec << c.input.size(); }
};
class IoDispatch : public EhciDriver, public ::testing::WithParamInterface<IoCase> {};

TEST_P(IoDispatch, AnswersAtOnceWithItsCause) {
    ASSERT_TRUE(started());
    ioControl(GetParam().code, GetParam().input, 32);
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{GetParam().cause}));
    EXPECT_FALSE(e()->flags & EHCI_F_IO_PENDING);
}

INSTANTIATE_TEST_SUITE_P(Codes, IoDispatch,
                         ::testing::Values(IoCase{0x800B, {}, 7}, IoCase{0x800C, {}, 7},
                                           IoCase{0x8010, words(0, 900), 0}, IoCase{0x8010, {1, 2, 3, 4}, 2},
                                           IoCase{0x8011, words(0, 7), 0}, IoCase{0x8011, {0, 0, 0}, 2},
                                           IoCase{0x8002, {}, 7}, IoCase{0x8008, {}, 7}, IoCase{0x800E, {}, 7},
                                           IoCase{0x1234, {}, 7}, IoCase{0x1004, {}, 7}));

TEST_F(EhciDriver, TagTimeoutsAreSetAndRestored) {
    ASSERT_TRUE(started());
    ioControl(0x8011, words(500, 0x3));
    EXPECT_EQ(e()->pipes.readerA->timeout, 500u);
    EXPECT_EQ(e()->pipes.readerB->timeout, 500u);
    ioControl(0x8011, words(0, 0x7));
    EXPECT_EQ(e()->pipes.readerA->timeout, 309u);
    EXPECT_EQ(e()->pipes.readerB->timeout, 2473u);
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{0, 0}));
}

TEST_F(EhciDriver, ALoopbackAnswerLongerThanTheOutputIsCut) {
    ASSERT_TRUE(started());
    Bytes input(40);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i);
    ioControl(0x1004, input, 16);
    const auto confs = h.upward(NFCLL_IOCONTROL_CONF);
    ASSERT_EQ(confs.size(), 1u);
    const auto f = nfcllMsgGet<NFCLL_IOCONTROL_CONF>(confs[0]);
    EXPECT_EQ(f.cause, 0);
    EXPECT_EQ(f.length, 16);
    EXPECT_EQ(Bytes(output.begin(), output.end()), Bytes(input.begin(), input.begin() + 16));
    EXPECT_TRUE(cap.contains("! Chaining length"));
}

TEST_F(EhciDriver, AChainedAnswerBeyondTheReceiveBufferIsCutAt262Bytes) {
    ASSERT_TRUE(started());
    sim.setMute(true);
    ioControl(0x1004, {1}, 400);
    Bytes answer(300);
    for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i);
    for (const Bytes& packet : sim.event(e()->pipes.loopback->id, hcisim::EVT_POST_DATA, answer)) h.deliver(packet);
    const auto confs = h.upward(NFCLL_IOCONTROL_CONF);
    ASSERT_EQ(confs.size(), 1u);
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(confs[0]).length, EHCI_RX_SIZE);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + EHCI_RX_SIZE), Bytes(answer.begin(), answer.begin() + EHCI_RX_SIZE));
    EXPECT_TRUE(cap.contains("! Chaining length exceeds cache size"));
}

TEST_F(EhciDriver, ASecondIoControlWhileOneIsPendingIsRefused) {
    ASSERT_TRUE(started());
    sim.setMute(true);
    ioControl(0x1004, {1}, 8);
    ioControl(0x1004, {2}, 8);
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{3}));
    EXPECT_TRUE(e()->flags & EHCI_F_IO_PENDING) << "the first still waits";
}

// ---- Timers ------------------------------------------------------------------------------------------------

TEST_F(EhciDriver, TimersWithoutAnActivatorEndInTheNotHandledTrace) {
    ASSERT_TRUE(started());
    for (uint32_t index : {3u, 4u, 7u}) etsiHciTimerExpired(index, e());
    EXPECT_EQ(cap.count("ehci: ! timerid"), 3u);
}

TEST_F(EhciDriver, TheHealthMonitorIntervalSaturates) {
    ASSERT_TRUE(started());
    EXPECT_EQ(ehciPart(ll)->healthInterval, 3 * 1500u + 500u);
    ioControl(0x8011, words(30000, 0x1));
    h.setPacketPeer(nullptr);
    const Bytes data = {0x30, 0x00};
    ehciPipeSend(e()->pipes.readerA, data.data(), 2);
    h.run();
    EXPECT_EQ(ehciPart(ll)->healthInterval, 0xFFFFu) << "3 x 30 s does not wrap to a short interval";
}

TEST_F(EhciDriver, TheHealthMonitorTimerReportsOnlyWhileMonitoringIsOn) {
    ASSERT_TRUE(started());
    ehciHandleTimerExpired(ll, EHCI_TIMER_HEALTH);
    EXPECT_TRUE(h.upward(NFCLL_HEALTHMON_IND).empty());
    ll->flags |= NFCLL_FLAG_HEALTH_MONITOR;
    ehciHandleTimerExpired(ll, EHCI_TIMER_HEALTH);
    h.run();
    EXPECT_EQ(h.upward(NFCLL_HEALTHMON_IND).size(), 1u);
}

}  // namespace

namespace {

// ---- Secure-element records ----------------------------------------------------------------------------------

Bytes bytesOf(const TNfcInfoSE& se) {
    Bytes bytes(sizeof se);
    std::memcpy(bytes.data(), &se, sizeof se);
    return bytes;
}

TEST_F(EhciDriver, RecordsAreListedByteExactAndFoundByIdAndHandle) {
    ASSERT_TRUE(started());
    ll->capabilities.secureElementCount = 0;
    TNfcInfoSE* uicc = ehciSeAppend(e(), 0, 0xA001, 16, 1);
    TNfcInfoSE* smx = ehciSeAppend(e(), 1, 0x4003, 16, 2);
    ASSERT_TRUE(uicc && smx);
    const NfcSecureHandle h1 = uicc->handle;
    Bytes expected = {static_cast<uint8_t>(h1), static_cast<uint8_t>(h1 >> 8), static_cast<uint8_t>(h1 >> 16),
                      static_cast<uint8_t>(h1 >> 24), 0x01, 0xA0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(bytesOf(*uicc), expected);
    EXPECT_EQ(ll->capabilities.secureElementCount, 2);
    TNfcInfoSE* listed = nullptr;
    std::memcpy(&listed, &ll->capabilities.secureElements[1], sizeof listed);
    EXPECT_EQ(listed, smx);
    const NfcSecureHandle h2 = smx->handle;   // packed: read through copies
    EXPECT_NE(h1, 0u);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(ehciSeHandleById(e(), 2), h2);
    EXPECT_EQ(ehciSeHandleById(e(), 0xC0), 0u);
    EXPECT_EQ(ehciSeByHandle(e(), h2), smx);
    EXPECT_EQ(ehciSeByHandle(e(), 0), nullptr);
    EXPECT_EQ(ehciSeAppend(e(), 2, 0x1003, 1, 0xC0), nullptr) << "room for two records";
}

TEST_F(EhciDriver, HandlesSurviveAResetAndDifferFromOtherDrivers) {
    ASSERT_TRUE(started());
    const NfcSecureHandle before = ehciSeAppend(e(), 0, 0xA001, 1, 0x02)->handle;   // copies of packed fields
    h.toLayer1(nfcllMsgMake<PH_RESET_REQ>(DriverHarness::kManager));
    ASSERT_EQ(h.upward(PH_RESET_CONF).size(), 1u);
    ll->capabilities.secureElementCount = 0;
    const NfcSecureHandle after = ehciSeAppend(e(), 0, 0xA001, 1, 0x02)->handle;
    EXPECT_EQ(after, before);
    EXPECT_NE(nfcllNewSeHandle(), before);
}

// A secure I/O control with a listed record reaches the variant's handler with that record.
uint32_t g_secureCode = 0;
TNfcInfoSE* g_secureRecord = nullptr;
uint16_t recordSecure(TEhciInstance*, uint32_t code, TNfcInfoSE* se, const uint8_t*, uint32_t) {
    g_secureCode = code;
    g_secureRecord = se;
    return 0;
}

TEST_F(EhciDriver, ASecureIoControlFindsItsRecordByHandle) {
    ASSERT_TRUE(started());
    TNfcInfoSE* se = ehciSeAppend(e(), 0, 0xA001, 1, 0x02);
    e()->hooks.secureHandler = &recordSecure;
    const OsMessage m = nfcllMsgMake<NFCLL_IOCONTROL_REQ>(
        DriverHarness::kManager,
        {reinterpret_cast<void*>(static_cast<uintptr_t>(se->handle)), nullptr, nullptr, 0x8008, 250, 0, 0});
    h.toLayer1(m);
    EXPECT_EQ(g_secureCode, 0x8008u);
    EXPECT_EQ(g_secureRecord, se);
    EXPECT_EQ(e()->secureTimeout, 250u);
    EXPECT_TRUE(h.upward(NFCLL_IOCONTROL_CONF).empty()) << "answered later, by the variant";
}

}  // namespace

namespace {

uint32_t g_routeRoom = 0;
uint16_t recordRoute(TEhciInstance* e, uint32_t, TNfcInfoSE*, const uint8_t*, uint32_t) {
    g_routeRoom = e->ioBufferSize;
    return 0;
}

// The route table's size is bytes at the API: the driver may fill whole 27-byte entries of it.
TEST_F(EhciDriver, TheRouteTableIsReadInWholeEntriesOfTheCallersRoom) {
    ASSERT_TRUE(started());
    e()->hooks.secureHandler = &recordRoute;
    ioControl(0x800E, {}, 60);
    EXPECT_EQ(g_routeRoom, 54u);
    EXPECT_TRUE(h.upward(NFCLL_IOCONTROL_CONF).empty());
}

}  // namespace

namespace {

// ---- The up-call ---------------------------------------------------------------------------------------------

// Each event the instance raises becomes one layer-1 message with its cause.
struct UpCall {
    uint32_t event;
    uint32_t len;
    uint16_t command;
    uint16_t cause;
    const char* name;
    friend void PrintTo(const UpCall& u, std::ostream* os) { *os << u.name; }
};
class CallBackMapping : public EhciDriver, public ::testing::WithParamInterface<UpCall> {};

uint16_t causeOf(const OsMessage& m) {
    switch (m.command) {
    case NFCLL_LISTEN_CONF: return nfcllMsgGet<NFCLL_LISTEN_CONF>(m).cause;
    case NFCLL_IOCONTROL_CONF: return nfcllMsgGet<NFCLL_IOCONTROL_CONF>(m).cause;
    case NFCLL_TRANSACTION_IND:
    case NFCLL_CHECK_CONF: return osMsgFields<TNfcllTransactionInd>(m).result->cause;
    case NFCLL_LLCP_TRIGGER_IND: return 0;
    default: return osMsgFields<TNfcllCause>(m).cause;
    }
}

TEST_P(CallBackMapping, SendsItsMessage) {
    ASSERT_TRUE(started());
    const UpCall u = GetParam();
    const size_t before = h.upwardCommands().size();
    uint16_t cause = 0x1234;
    EXPECT_EQ(ehciCallBack(ll, u.event, nullptr, u.len, u.event == EV_EHCI_TRANSACTION_RESULT ||
                                                               u.event == EV_EHCI_IO_ANSWER
                                                           ? reinterpret_cast<uintptr_t>(&cause)
                                                           : 0),
              0u);
    h.run();
    const std::vector<uint16_t> commands = h.upwardCommands();
    ASSERT_EQ(commands.size(), before + 1);
    EXPECT_EQ(commands.back(), u.command);
    const auto sent = h.upward(u.command);
    EXPECT_EQ(causeOf(sent.back()), u.cause);
}

INSTANTIATE_TEST_SUITE_P(
    Events, CallBackMapping,
    ::testing::Values(UpCall{EV_EHCI_TRANSACTION_TIMEOUT, 0, NFCLL_TRANSACTION_IND, 0x206, "timeout"},
                      UpCall{EV_EHCI_TRANSACTION_FAILED, 0, NFCLL_TRANSACTION_IND, 19, "targetLost"},
                      UpCall{EV_EHCI_LISTEN_CONF, 0, NFCLL_LISTEN_CONF, 0, "listened"},
                      UpCall{EV_EHCI_LISTEN_CONF, 1, NFCLL_LISTEN_CONF, 13, "listenFailed"},
                      UpCall{EV_EHCI_LISTEN_CANCELLED, 0, NFCLL_LISTEN_CONF, 0, "cancelled"},
                      UpCall{EV_EHCI_LISTEN_CANCELLED, 1, NFCLL_LISTEN_CONF, 7, "cancelFailed"},
                      UpCall{EV_EHCI_TARGET_REMOVED, 0, NFCLL_TECH_REMOVE_IND, 29, "removed"},
                      UpCall{EV_EHCI_CHIP_FAILURE, 0, NFCLL_ERROR_IND, 0x206, "chipFailure"},
                      UpCall{EV_EHCI_IO_DONE, 0, NFCLL_IOCONTROL_CONF, 0, "ioDone"},
                      UpCall{EV_EHCI_IO_DONE, 1, NFCLL_IOCONTROL_CONF, 0x206, "ioFailed"},
                      UpCall{EV_EHCI_TRANSACTION_RESULT, 0, NFCLL_CHECK_CONF, 0x1234, "result"},
                      UpCall{EV_EHCI_LLCP_TRIGGER, 0, NFCLL_LLCP_TRIGGER_IND, 0, "llcpTrigger"},
                      UpCall{EV_EHCI_IO_ANSWER, 0, NFCLL_IOCONTROL_CONF, 0x1234, "ioAnswer"}),
    [](const ::testing::TestParamInfo<UpCall>& info) { return std::string(info.param.name); });

TEST_F(EhciDriver, UnsupportedEventsAreTracedAndIgnored) {
    ASSERT_TRUE(started());
    const size_t before = h.upwardCommands().size();
    for (uint32_t event : {0u, 21u, 28u, 99u}) EXPECT_EQ(ehciCallBack(ll, event, nullptr, 0, 0), 0u);
    h.run();
    EXPECT_EQ(h.upwardCommands().size(), before);
    EXPECT_EQ(cap.count("! ehciCallBack, unsupported event"), 4u);
}

TEST_F(EhciDriver, TimerEventsStartStopAndRestartLayer1TimersAboveSix) {
    ASSERT_TRUE(started());
    uint8_t index = EHCI_TIMER_IO;
    const uint8_t id = EHCI_TIMER_BASE + EHCI_TIMER_IO;
    ehciCallBack(ll, EV_EHCI_TIMER_START, &index, 300, 0);
    EXPECT_TRUE(ll->timers[id].running);
    ehciCallBack(ll, EV_EHCI_TIMER_STOP, &index, 0, 0);
    EXPECT_FALSE(ll->timers[id].running);
    ehciCallBack(ll, EV_EHCI_TIMER_RESTART, &index, 300, 0);
    EXPECT_TRUE(ll->timers[id].running);
    e()->flags |= EHCI_F_IO_PENDING;
    h.advance(310);
    EXPECT_EQ(ioCauses(), (std::vector<uint16_t>{9})) << "the I/O watchdog expired";
}

// The identity gate's HCI version is read with the other versions.
class EhciIdentity : public EhciDriver {
protected:
    EhciIdentity() : EhciDriver(kPlain, personality()) {}
    static hcisim::Personality personality() {
        hcisim::Personality p = hcisim::Personality::plain();
        p.hciVersion = 0x23;
        return p;
    }
};

TEST_F(EhciIdentity, TheHciVersionIsKept) {
    ASSERT_TRUE(started());
    EXPECT_EQ(e()->hciVersion, 0x23);
    EXPECT_TRUE(cap.contains("ehci: HCI version 23"));
}

}  // namespace
