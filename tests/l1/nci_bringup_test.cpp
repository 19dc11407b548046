// Controller bring-up through layer 1 and the NCI driver, with the real com task and serial
// channel on the simulator's pseudo-terminal; a test task stands where the NFC manager goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "nci/nci_simulator.h"
#include "nci_stack.h"
#include "os/os_mem.h"
#include "platform.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::Controller;
using ncisim::Fault;
using ncisim::NciIdentity;
using ncisim::NciMessage;
using ncisim::NciSimulator;

constexpr uint16_t kCauseFailed = 0x206;
constexpr uint16_t kCauseInvalidData = 0x0B;
constexpr char kNoLeak[] = "osMemoryDone(), exit 0 bytes memory allocated (count 0)";

NciIdentity withMaker(NciIdentity id, uint8_t maker) {
    id.manufacturer = maker;
    return id;
}

Bytes payloadOf(const NciSimulator& sim, uint16_t opcode) {
    for (const NciMessage& m : sim.recorder().received())
        if (m.key() == opcode) return m.payload;
    return {};
}

struct NciBringUp : ::testing::Test {
    void SetUp() override { debugSetFlags(0xFFFFFFFFu); }

    // A fresh stack against a fresh standard controller comes up: nothing of an earlier run is in the way.
    void expectFreshStackActivates() {
        NciSimulator sim(NciIdentity::generic());
        NciStack stack;
        ASSERT_TRUE(stack.start(sim.portPath()));
        const auto conf = stack.activate();
        ASSERT_TRUE(conf) << sim.describe();
        EXPECT_EQ(conf->cause, 0);
    }

    TraceCapture cap;
};

// ---- Start-up per manufacturer ----------------------------------------------------------------
struct MakerCase {
    const char* name;
    NciIdentity identity;
    const char* readerType;
    std::vector<uint16_t> commands;
    uint32_t capabilities;
    uint32_t flags;
    const char* vendor;
};

std::ostream& operator<<(std::ostream& os, const MakerCase& c) { return os << c.name; }

struct NciStartupPerMaker : NciBringUp, ::testing::WithParamInterface<MakerCase> {};

TEST_P(NciStartupPerMaker, SendsItsCommandsInOrderAndReportsItsCapabilities) {
    const MakerCase& c = GetParam();
    NciSimulator sim(c.identity);
    NciStack stack;
    ASSERT_TRUE(stack.start(sim.portPath(), c.readerType));
    const auto conf = stack.activate();
    ASSERT_TRUE(conf) << sim.describe();
    EXPECT_EQ(conf->cause, 0);
    EXPECT_EQ(sim.commandOpcodes(), c.commands) << sim.describe();
    ASSERT_NE(conf->capabilities, nullptr);
    // Packed fields are read through copies.
    const uint32_t mask = conf->capabilities->supportedMask, flags = conf->capabilities->flags;
    EXPECT_EQ(mask, c.capabilities);
    EXPECT_EQ(flags, c.flags);
    EXPECT_STREQ(conf->capabilities->vendorName, c.vendor);
    EXPECT_EQ(0, std::memcmp(conf->capabilities->softwareVersion, c.identity.manufacturerInfo.data(), 4));

    // The RF mapping names no mapping twice and no interface the controller did not announce.
    const Bytes map = payloadOf(sim, 0x2100);
    ASSERT_FALSE(map.empty());
    ASSERT_EQ(map.size(), 1u + 3u * map[0]);
    std::set<std::tuple<uint8_t, uint8_t, uint8_t>> seen;
    for (size_t at = 1; at < map.size(); at += 3) {
        EXPECT_TRUE(seen.emplace(map[at], map[at + 1], map[at + 2]).second) << "mapping repeated at " << at;
        EXPECT_NE(std::find(c.identity.rfInterfaces.begin(), c.identity.rfInterfaces.end(), map[at + 2]),
                  c.identity.rfInterfaces.end())
            << "interface 0x" << std::hex << int(map[at + 2]) << " was not announced";
    }
    EXPECT_TRUE(sim.recorder().violations().empty()) << sim.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Makers, NciStartupPerMaker,
    ::testing::Values(
        MakerCase{"Generic", NciIdentity::generic(), "NCI", {0x2000, 0x2001, 0x2200, 0x2100}, 0x2723703, 0x1000D, ""},
        MakerCase{"Nxp", NciIdentity::nxp(), "NCI", {0x2000, 0x2001, 0x2F02, 0x2F00, 0x2200, 0x2100}, 0x276BF07,
                  0x1002D, "NXP"},
        MakerCase{"Broadcom", withMaker(NciIdentity::generic(), 0x2E), "NCI", {0x2000, 0x2001, 0x2200, 0x2002, 0x2100},
                  0x2723703, 0x1000D, "BROADCOM"},
        MakerCase{"Texas", withMaker(NciIdentity::generic(), 0x07), "NCI", {0x2000, 0x2001, 0x2200, 0x2100}, 0x2703307,
                  0x1000D, "TEXAS_INSTRUMENTS"},
        MakerCase{"Dovuvodav", withMaker(NciIdentity::generic(), 0xFF), "NCI", {0x2000, 0x2001, 0x2200, 0x2100},
                  0x254B703, 0x1000D, "DOVUVODAV"},
        // The HCI network of this maker is not part of the build: start-up goes on without it.
        MakerCase{"Stm", withMaker(NciIdentity::generic(), 0x02), "NCI", {0x2000, 0x2001, 0x2200, 0x2100}, 0x2723703,
                  0x1000D, "STM"},
        MakerCase{"Trf7970ReaderType", NciIdentity::generic(), "TRF7970", {0x2000, 0x2001, 0x2200, 0x2100}, 0x2723303,
                  0x1000D, ""}),
    [](const ::testing::TestParamInfo<MakerCase>& info) { return std::string(info.param.name); });

TEST_F(NciBringUp, PayloadsOfTheStartupCommands) {
    {
        NciSimulator sim(NciIdentity::generic());
        NciStack stack;
        ASSERT_TRUE(stack.start(sim.portPath()));
        ASSERT_TRUE(stack.activate());
        EXPECT_EQ(payloadOf(sim, 0x2000), Bytes{0x01});
        EXPECT_EQ(payloadOf(sim, 0x2200), Bytes{0x01});
        EXPECT_EQ(payloadOf(sim, 0x2100), (Bytes{7, 1, 1, 1, 2, 1, 1, 3, 1, 1, 4, 1, 2, 5, 1, 3, 5, 2, 3, 4, 2, 2}));
    }
    {
        NciSimulator sim(NciIdentity::nxp());
        NciStack stack;
        ASSERT_TRUE(stack.start(sim.portPath()));
        ASSERT_TRUE(stack.activate());
        EXPECT_EQ(payloadOf(sim, 0x2F00), Bytes{0x00});
        const Bytes map = payloadOf(sim, 0x2100);
        ASSERT_EQ(map.size(), 1u + 3u * 10u);
        // The maker's own rows: 15693 on the Frame interface, MIFARE Classic on its interface 0x80, Kovio.
        EXPECT_EQ(Bytes(map.end() - 9, map.end()), (Bytes{0x06, 1, 1, 0x80, 1, 0x80, 0x8A, 1, 1}));
    }
    {
        NciSimulator sim(withMaker(NciIdentity::generic(), 0x2E));
        NciStack stack;
        ASSERT_TRUE(stack.start(sim.portPath()));
        ASSERT_TRUE(stack.activate());
        EXPECT_EQ(payloadOf(sim, 0x2002), (Bytes{0x01, 0xC9, 0x03, 0x02, 0x00, 0x00}));
    }
}

TEST_F(NciBringUp, NfceeDiscoveryWaitsForEveryAnnouncedNfcee) {
    NciIdentity id = NciIdentity::generic();
    id.nfcees.resize(2);
    id.nfcees[1].id = 0x11;
    NciSimulator sim(id);
    // The notifications come late: the mapping must wait for both.
    Fault late = Fault::delayed(50);
    late.times = 2;
    sim.setFault(0x6200, late);
    NciStack stack;
    ASSERT_TRUE(stack.start(sim.portPath()));
    const auto conf = stack.activate();
    ASSERT_TRUE(conf);
    EXPECT_EQ(conf->cause, 0);
    const auto packets = sim.recorder().packets();
    size_t lastNtf = 0, map = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (packets[i].bytes.size() >= 2 && packets[i].bytes[0] == 0x62 && packets[i].bytes[1] == 0x00) lastNtf = i;
        if (packets[i].bytes.size() >= 2 && packets[i].bytes[0] == 0x21 && packets[i].bytes[1] == 0x00) map = i;
    }
    EXPECT_GT(map, lastNtf) << sim.describe();
}

// ---- Start-up failures --------------------------------------------------------------------------
struct FailureCase {
    const char* name;
    std::function<void(NciSimulator&)> arrange;
    const char* reason;     // the trace that names why start-up stopped
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) { return os << c.name; }

// CORE_INIT_RSP with the interface count the test gives and the interfaces that follow it.
void initResponse(NciSimulator& sim, uint8_t count, Bytes interfaces, Bytes tail) {
    sim.onCommand(0x2001, [=](Controller& c, const NciMessage&) {
        Bytes p{0x00, 0x00, 0x0E, 0x02, 0x00, count};
        p.insert(p.end(), interfaces.begin(), interfaces.end());
        p.insert(p.end(), tail.begin(), tail.end());
        c.respond(0x4001, p);
    });
}

const Bytes kInitTail{0x02, 0x00, 0x01, 0xFF, 0x00, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04};

struct NciStartupFailure : NciBringUp, ::testing::WithParamInterface<FailureCase> {};

TEST_P(NciStartupFailure, FailsTheActivationAndALaterStartWorks) {
    {
        NciSimulator sim(NciIdentity::generic());
        GetParam().arrange(sim);
        NciStack stack;
        ASSERT_TRUE(stack.start(sim.portPath()));
        ASSERT_TRUE(stack.request<NFCLL_ACT_REQ>());
        const auto error = stack.waitFor(NFCLL_ERROR_IND);
        ASSERT_TRUE(error) << sim.describe();
        EXPECT_EQ(nfcllMsgGet<NFCLL_ERROR_IND>(*error).cause, kCauseFailed);
        EXPECT_EQ(stack.count(NFCLL_ACT_CONF), 0u);
        EXPECT_TRUE(cap.contains(GetParam().reason));
    }
    EXPECT_TRUE(cap.contains(kNoLeak));
    expectFreshStackActivates();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NciStartupFailure,
    ::testing::Values(
        FailureCase{"NewerNciVersion", [](NciSimulator& sim) { sim.call([](Controller& c) { c.identity().version = 0x20; }); }, "NciVersion of NFCC 2.0 is greater than the one of the DH 1.0"},
        FailureCase{"ResetStatusError", [](NciSimulator& sim) { sim.setFault(0x4000, Fault::withStatus(0x03)); }, "nci: Error during reset"},
        FailureCase{"UnknownConfigStatus",
                    [](NciSimulator& sim) { sim.call([](Controller& c) { c.identity().configStatus = 0x07; }); }, "nci: ! Unknown config status 0x7"},
        FailureCase{"ShortResetResponse",
                    [](NciSimulator& sim) {
                        sim.onCommand(0x2000, [](Controller& c, const NciMessage&) { c.respond(0x4000, {0x00, 0x10}); });
                    }, "nciHandleCoreResetRsp - not enough parameters (is 2, expected 3)"},
        FailureCase{"InitStatusError", [](NciSimulator& sim) { sim.setFault(0x4001, Fault::withStatus(0x03)); }, "CORE_INIT_RSP status 0x03"},
        FailureCase{"ShortInitResponse", [](NciSimulator& sim) { initResponse(sim, 0, {}, {0x02, 0x00}); }, "nciHandleCoreInitRsp - not enough parameters (is 8, expected 17)"},
        // 18 bytes, as a fixed minimum would accept, but the count announces 3 interfaces.
        FailureCase{"InitCountBeyondPayload",
                    [](NciSimulator& sim) { initResponse(sim, 3, {0x01}, Bytes(kInitTail.begin(), kInitTail.end())); }, "nciHandleCoreInitRsp - not enough parameters (is 18, expected 20)"},
        FailureCase{"ConfigurationRefused",
                    [](NciSimulator& sim) {
                        sim.call([](Controller& c) { c.identity().manufacturer = 0x2E; });
                        sim.setFault(0x4002, Fault::withStatus(0x09));
                    }, "start-up stopped in init state 4 with cause 0x11"},
        FailureCase{"MappingNeverReady", [](NciSimulator& sim) { sim.setFault(0x4100, Fault::withStatus(0x05)); }, "NFCC still not ready after 3 retries"},
        FailureCase{"MappingRefused", [](NciSimulator& sim) { sim.setFault(0x4100, Fault::withStatus(0x06)); }, "start-up stopped in init state 8 with cause 0x206"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(NciBringUp, MappingIsAskedAgainWhileNotReadyButNotForEver) {
    NciSimulator sim(NciIdentity::generic());
    sim.setFault(0x4100, Fault::withStatus(0x05));
    NciStack stack;
    ASSERT_TRUE(stack.start(sim.portPath()));
    ASSERT_TRUE(stack.request<NFCLL_ACT_REQ>());
    ASSERT_TRUE(stack.waitFor(NFCLL_ERROR_IND));
    const auto sent = sim.commandOpcodes();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x2100), 4);
}

TEST_F(NciBringUp, MappingThatBecomesReadyCompletesTheStartup) {
    NciSimulator sim(NciIdentity::generic());
    Fault notReady = Fault::withStatus(0x05);
    notReady.times = 2;
    sim.setFault(0x4100, notReady);
    NciStack stack;
    ASSERT_TRUE(stack.start(sim.portPath()));
    const auto conf = stack.activate();
    ASSERT_TRUE(conf);
    EXPECT_EQ(conf->cause, 0);
    const auto sent = sim.commandOpcodes();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x2100), 3);
}

TEST_F(NciBringUp, SilentControllerTimesTheActivationOut) {
    {
        NciSimulator sim(NciIdentity::generic());
        sim.setSilent(true);
        NciStack stack;
        ASSERT_TRUE(stack.start(sim.portPath()));
        const uint32_t asked = platTickMs();
        const auto conf = stack.activate();
        ASSERT_TRUE(conf);
        EXPECT_EQ(conf->cause, 264);
        EXPECT_GE(platTickMs() - asked, 1900u);
        const auto sent = sim.commandOpcodes();
        EXPECT_LE(std::count(sent.begin(), sent.end(), 0x2000), 2);
    }
    expectFreshStackActivates();
}

TEST_F(NciBringUp, UnansweredInitIsSentTwiceAtMost) {
    NciSimulator sim(NciIdentity::generic());
    sim.setFault(0x4001, Fault::dropped());
    NciStack stack;
    ASSERT_TRUE(stack.start(sim.portPath()));
    const auto conf = stack.activate();
    ASSERT_TRUE(conf);
    EXPECT_EQ(conf->cause, 264);
    const auto sent = sim.commandOpcodes();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x2001), 2) << sim.describe();
}

// ---- Life cycle -----------------------------------------------------------------------------
TEST_F(NciBringUp, ThreeCyclesAgainstFreshControllersLeaveNothingBehind) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        const size_t before = cap.count(kNoLeak);
        {
            NciSimulator sim(cycle == 1 ? NciIdentity::nxp() : NciIdentity::generic());
            NciStack stack;
            ASSERT_TRUE(stack.start(sim.portPath()));
            const auto conf = stack.activate();
            ASSERT_TRUE(conf) << "cycle " << cycle;
            EXPECT_EQ(conf->cause, 0);
        }
        EXPECT_EQ(cap.count(kNoLeak), before + 1) << "cycle " << cycle;
    }
}

TEST_F(NciBringUp, ControllerThatHangsUpIsReportedReleased) {
    NciSimulator sim(NciIdentity::generic());
    NciStack stack;
    ASSERT_TRUE(stack.start(sim.portPath()));
    ASSERT_TRUE(stack.activate());
    sim.hangUp();
    EXPECT_TRUE(stack.waitFor(NFCLL_RELEASE_IND));
}

// ---- Requests on an active controller -----------------------------------------------------------
struct NciActive : NciBringUp {
    void SetUp() override {
        NciBringUp::SetUp();
        ASSERT_TRUE(stack.start(sim.portPath()));
        const auto conf = stack.activate();
        ASSERT_TRUE(conf);
        ASSERT_EQ(conf->cause, 0);
    }
    void field(uint8_t on) { sim.send(NciMessage::control(0x6107, {on})); }
    std::vector<uint32_t> fieldReports() {
        std::vector<uint32_t> states;
        for (size_t n = 0; n < stack.count(NFCLL_RF_FIELD_IND); ++n)
            states.push_back(nfcllMsgGet<NFCLL_RF_FIELD_IND>(*stack.waitFor(NFCLL_RF_FIELD_IND, n)).state);
        return states;
    }

    NciSimulator sim{NciIdentity::generic()};
    NciStack stack;
};

TEST_F(NciActive, ControllerResetNotificationIsReportedAsAnError) {
    sim.send(NciMessage::control(0x6000, {0x00, 0x01}));
    const auto error = stack.waitFor(NFCLL_ERROR_IND);
    ASSERT_TRUE(error);
    EXPECT_EQ(nfcllMsgGet<NFCLL_ERROR_IND>(*error).cause, kCauseFailed);
}

TEST_F(NciActive, FieldThatDropsBrieflyIsReportedOnceOn) {
    field(1);
    field(0);
    field(1);
    field(0);
    // Only the last drop lasts: one field-on, then one field-off after the debounce time.
    ASSERT_TRUE(stack.waitFor(NFCLL_RF_FIELD_IND, 1));
    EXPECT_EQ(fieldReports(), (std::vector<uint32_t>{1, 0}));
}

TEST_F(NciActive, ReaderTimeoutIoControlChecksItsInput) {
    uint8_t input[8] = {0xC8, 0, 0, 0, 0x40, 0, 0, 0};   // 200 ms for Ultralight
    ASSERT_TRUE(stack.request<NFCLL_IOCONTROL_REQ>({nullptr, input, nullptr, 0x8011, 0, 7, 0}));
    ASSERT_TRUE(stack.request<NFCLL_IOCONTROL_REQ>({nullptr, input, nullptr, 0x8011, 0, 8, 0}));
    const auto refused = stack.waitFor(NFCLL_IOCONTROL_CONF, 0);
    const auto taken = stack.waitFor(NFCLL_IOCONTROL_CONF, 1);
    ASSERT_TRUE(refused && taken);
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*refused).cause, kCauseInvalidData);
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*taken).cause, 0);
    EXPECT_EQ(stack.count(NFCLL_ERROR_IND), 0u);
}

TEST_F(NciActive, UnknownIoControlIsAnsweredOnceWithAnError) {
    ASSERT_TRUE(stack.request<NFCLL_IOCONTROL_REQ>({nullptr, nullptr, nullptr, 0x8001, 0, 0, 0}));
    ASSERT_TRUE(stack.request<NFCLL_IOCONTROL_REQ>({nullptr, nullptr, nullptr, 0x7777, 0, 0, 0}));
    const auto first = stack.waitFor(NFCLL_IOCONTROL_CONF, 0);
    const auto second = stack.waitFor(NFCLL_IOCONTROL_CONF, 1);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*first).cause, kCauseFailed);
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*second).cause, kCauseFailed);
    EXPECT_EQ(stack.count(NFCLL_ERROR_IND), 0u);
}

TEST_F(NciActive, SetParameterIoControlConfiguresTheController) {
    uint8_t input[6] = {0, 0, 0, 0x30, 0x11, 0x22};
    ASSERT_TRUE(stack.request<NFCLL_IOCONTROL_REQ>({nullptr, input, nullptr, 0x1203, 0, 6, 0}));
    const auto conf = stack.waitFor(NFCLL_IOCONTROL_CONF);
    ASSERT_TRUE(conf);
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*conf).cause, 0);
    EXPECT_EQ(payloadOf(sim, 0x2002), (Bytes{0x01, 0x30, 0x02, 0x11, 0x22}));
}

TEST_F(NciActive, SetParameterTooLongForTheConfigurationIsRefusedUnsent) {
    std::vector<uint8_t> input(4 + 253, 0x5A);
    input[3] = 0x30;
    ASSERT_TRUE(stack.request<NFCLL_IOCONTROL_REQ>(
        {nullptr, input.data(), nullptr, 0x1203, 0, static_cast<uint16_t>(input.size()), 0}));
    const auto conf = stack.waitFor(NFCLL_IOCONTROL_CONF);
    ASSERT_TRUE(conf);
    EXPECT_EQ(nfcllMsgGet<NFCLL_IOCONTROL_CONF>(*conf).cause, 0x0D);
    EXPECT_TRUE(payloadOf(sim, 0x2002).empty());
}

TEST_F(NciActive, TransactionWithoutATagIsAnsweredWithAnError) {
    const uint8_t pdu[] = {0x30, 0x00};
    ASSERT_TRUE(stack.request<NFCLL_TRANSACTION_REQ>({pdu, sizeof pdu, 0}));
    const auto ind = stack.waitFor(NFCLL_TRANSACTION_IND);
    ASSERT_TRUE(ind);
    const auto f = nfcllMsgGet<NFCLL_TRANSACTION_IND>(*ind);
    ASSERT_NE(f.result, nullptr);
    EXPECT_EQ(f.result->cause, kCauseFailed);
    EXPECT_EQ(f.result->dataLength, 0);
    if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.result);
}

TEST_F(NciActive, ListenRequestIsAnsweredAtOnce) {
    TNfcListenParam params{};
    ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0x1, &params}));
    const auto conf = stack.waitFor(NFCLL_LISTEN_CONF);
    ASSERT_TRUE(conf);
    EXPECT_NE(nfcllMsgGet<NFCLL_LISTEN_CONF>(*conf).cause, 0);
    ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0, &params}));
    const auto off = stack.waitFor(NFCLL_LISTEN_CONF, 1);
    ASSERT_TRUE(off);
    EXPECT_EQ(nfcllMsgGet<NFCLL_LISTEN_CONF>(*off).cause, 0);
}

} // namespace
