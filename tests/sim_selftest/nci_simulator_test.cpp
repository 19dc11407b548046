// The simulated NCI controller checked through a bare pseudo-terminal loop: the test opens the
// slave side itself, writes raw NCI packets and reads the raw answers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "nci/nci_simulator.h"
#include "pty_host.h"

using namespace ncisim;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kReset{0x20, 0x00, 0x01, 0x01};
const Bytes kResetRsp{0x40, 0x00, 0x03, 0x00, 0x10, 0x01};
const Bytes kInit{0x20, 0x01, 0x00};

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Brought up as a host does, unless the test speaks from power-on itself.
struct SimLoop {
    explicit SimLoop(NciIdentity id = NciIdentity::generic(), bool bringUp = true)
        : sim(std::move(id)), host(sim.portPath()) {
        if (!bringUp) return;
        host.write(kReset);
        EXPECT_EQ(host.packet().size(), kResetRsp.size());
        host.write(kInit);
        EXPECT_GE(host.packet().size(), 3u + 18u);
    }
    NciSimulator sim;
    PtyHost host;
};

} // namespace

TEST(NciSimulator, CoreResetAndInitAnswerWithTheIdentity) {
    SimLoop loop(NciIdentity::generic(), false);
    ASSERT_TRUE(loop.sim.ok());
    ASSERT_TRUE(loop.host.ok());
    loop.host.write(kReset);
    EXPECT_EQ(loop.host.packet(), kResetRsp);
    loop.host.write(kInit);
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x01, 0x14, 0x00,   // header, status
                                         0x00, 0x0E, 0x02, 0x00,    // features
                                         0x03, 0x01, 0x02, 0x03,    // Frame, ISO-DEP, NFC-DEP
                                         0x02, 0x00, 0x01, 0xFF,    // 2 connections, routing 256, control 255
                                         0x00, 0x04, 0x00,          // large parameters 1024, manufacturer 0
                                         0x01, 0x02, 0x03, 0x04}));

    NciIdentity custom = NciIdentity::nxp();
    custom.version = 0x20;
    custom.configStatus = 0x00;
    custom.rfInterfaces = {0x80};
    SimLoop other(custom, false);
    other.host.write({0x20, 0x00, 0x01, 0x00});
    EXPECT_EQ(other.host.packet(), (Bytes{0x40, 0x00, 0x03, 0x00, 0x20, 0x00}));
    other.host.write(kInit);
    Bytes init = other.host.packet();
    ASSERT_EQ(init.size(), 3u + 18u);
    EXPECT_EQ(init[8], 1);          // one interface
    EXPECT_EQ(init[9], 0x80);
    EXPECT_EQ(init[16], 0x04);      // manufacturer
}

TEST(NciSimulator, ConfigurationIsStoredAndAResetOfTheConfigurationClearsIt) {
    SimLoop loop;
    loop.host.write({0x20, 0x02, 0x08, 0x02, 0x30, 0x01, 0x01, 0x80, 0x02, 0x0A, 0x0B});
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x02, 0x02, 0x00, 0x00}));
    loop.host.write({0x20, 0x03, 0x03, 0x02, 0x80, 0x30});
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x03, 0x09, 0x00, 0x02, 0x80, 0x02, 0x0A, 0x0B, 0x30, 0x01, 0x01}));
    loop.host.write({0x20, 0x03, 0x03, 0x02, 0x30, 0x99});   // one unknown: only it is listed
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x03, 0x04, 0x09, 0x01, 0x99, 0x00}));

    loop.host.write({0x20, 0x00, 0x01, 0x00});   // keep the configuration
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x00, 0x03, 0x00, 0x10, 0x00}));
    loop.host.write(kInit);
    loop.host.packet();
    loop.host.write({0x20, 0x03, 0x02, 0x01, 0x30});
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x03, 0x05, 0x00, 0x01, 0x30, 0x01, 0x01}));
    loop.host.write(kReset);
    EXPECT_EQ(loop.host.packet(), kResetRsp);
    loop.host.write(kInit);
    loop.host.packet();
    loop.host.write({0x20, 0x03, 0x02, 0x01, 0x30});
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x03, 0x04, 0x09, 0x01, 0x30, 0x00}));
}

TEST(NciSimulator, NfceeDiscoveryAnnouncesEveryNfcee) {
    struct Case {
        std::vector<NfceeInfo> nfcees;
        std::vector<Bytes> expected;
    };
    NfceeInfo uicc{0x02, 0x00, {0x00}, {}};
    NfceeInfo hci{0x81, 0x01, {0x01, 0x00}, {{0x00, {0xAA, 0xBB}}}};
    const Case cases[] = {
        {{}, {{0x42, 0x00, 0x02, 0x00, 0x00}}},
        {{uicc, hci},
         {{0x42, 0x00, 0x02, 0x00, 0x02},
          {0x62, 0x00, 0x05, 0x02, 0x00, 0x01, 0x00, 0x00},
          {0x62, 0x00, 0x0A, 0x81, 0x01, 0x02, 0x01, 0x00, 0x01, 0x00, 0x02, 0xAA, 0xBB}}},
    };
    for (const auto& c : cases) {
        NciIdentity id;
        id.nfcees = c.nfcees;
        SimLoop loop(id);
        loop.host.write({0x22, 0x00, 0x01, 0x01});
        for (const auto& e : c.expected) EXPECT_EQ(loop.host.packet(), e);
        EXPECT_TRUE(loop.host.read(100).empty());
    }
}

TEST(NciSimulator, ProprietaryCommandsAreAnsweredOnlyByManufacturer04) {
    SimLoop nxp(NciIdentity::nxp());
    nxp.host.write({0x2F, 0x02, 0x00});
    EXPECT_EQ(nxp.host.packet(), (Bytes{0x4F, 0x02, 0x01, 0x00}));
    nxp.host.write({0x2F, 0x00, 0x01, 0x00});
    EXPECT_EQ(nxp.host.packet(), (Bytes{0x4F, 0x00, 0x01, 0x00}));

    SimLoop generic;
    generic.host.write({0x2F, 0x02, 0x00});
    EXPECT_EQ(generic.host.packet(), (Bytes{0x4F, 0x02, 0x01, STATUS_SYNTAX_ERROR}));
    generic.host.write({0x20, 0x00, 0x02, 0x01, 0x01});   // malformed reset
    EXPECT_EQ(generic.host.packet(), (Bytes{0x40, 0x00, 0x01, STATUS_SYNTAX_ERROR}));
}

TEST(NciSimulator, LoopbackConnectionEchoesAndReturnsEveryCredit) {
    NciIdentity id;
    id.loopbackMaxPayload = 4;
    id.loopbackCredits = 1;
    SimLoop loop(id);
    loop.host.write({0x20, 0x04, 0x02, 0x01, 0x00});
    ASSERT_EQ(loop.host.packet(), (Bytes{0x40, 0x04, 0x04, 0x00, 0x04, 0x01, 0x01}));
    const Bytes credit{0x60, 0x06, 0x03, 0x01, 0x01, 0x01};

    loop.host.write({0x11, 0x00, 0x04, 1, 2, 3, 4});   // first segment, PBF set
    EXPECT_EQ(loop.host.packet(), credit);
    loop.host.write({0x01, 0x00, 0x02, 5, 6});
    EXPECT_EQ(loop.host.packet(), credit);
    EXPECT_EQ(loop.host.packet(), (Bytes{0x01, 0x00, 0x06, 1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(loop.sim.recorder().violations().empty()) << loop.sim.describe();

    loop.sim.call([](Controller& c) { c.setAutoCredits(false); });
    loop.host.write({0x01, 0x00, 0x01, 7});
    EXPECT_EQ(loop.host.packet(), (Bytes{0x01, 0x00, 0x01, 7}));
    loop.host.write({0x01, 0x00, 0x01, 8});   // no credit left
    EXPECT_EQ(loop.host.packet(), (Bytes{0x01, 0x00, 0x01, 8}));
    EXPECT_EQ(loop.sim.recorder().violations(), (std::vector<std::string>{"data on connection 1 without credit"}));

    loop.host.write({0x20, 0x05, 0x01, 0x01});
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x05, 0x01, 0x00}));
    loop.host.write({0x20, 0x05, 0x01, 0x01});
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x05, 0x01, STATUS_REJECTED}));
}

// A host woken by the first bytes finds the credit and the echo together: one wake-up per
// exchange, with the same packets on the line.
TEST(NciSimulator, AnAnswerAndTheCreditItReturnsLeaveInOneWrite) {
    NciIdentity id;
    id.loopbackMaxPayload = 4;
    id.loopbackCredits = 1;
    SimLoop loop(id);
    loop.host.write({0x20, 0x04, 0x02, 0x01, 0x00});
    ASSERT_EQ(loop.host.packet(), (Bytes{0x40, 0x04, 0x04, 0x00, 0x04, 0x01, 0x01}));
    for (int k = 0; k < 20; ++k) {
        loop.host.write({0x01, 0x00, 0x02, 5, static_cast<uint8_t>(k)});
        EXPECT_EQ(loop.host.read(2000), (Bytes{0x60, 0x06, 0x03, 0x01, 0x01, 0x01, 0x01, 0x00, 0x02, 5, static_cast<uint8_t>(k)}));
    }
}

TEST(NciSimulator, ItsOwnMessagesAreCutAtItsSegmentSize) {
    NciIdentity id;
    id.txControlSegment = 8;
    SimLoop loop(id, false);
    loop.host.write(kReset);
    EXPECT_EQ(loop.host.packet(), kResetRsp);
    loop.host.write(kInit);
    Bytes whole;
    for (int k = 0; k < 3; ++k) {
        Bytes p = loop.host.packet();
        ASSERT_GE(p.size(), 3u);
        EXPECT_EQ(p[0], k < 2 ? 0x50 : 0x40);
        EXPECT_EQ(p[2], k < 2 ? 8 : 4);
        whole.insert(whole.end(), p.begin() + 3, p.end());
    }
    EXPECT_EQ(whole.size(), 20u);
    EXPECT_EQ(whole[0], STATUS_OK);
}

TEST(NciSimulator, RecorderKeepsCommandsInOrderAndBreachesOfTheProtocol) {
    NciIdentity id;
    id.maxControlPayload = 4;
    SimLoop loop(id, false);
    loop.host.write(kReset);
    loop.host.packet();
    loop.host.write({0x30, 0x01, 0x00});                       // first segment of CORE_INIT
    loop.host.write({0x21, 0x00, 0x00});                       // interrupted by RF_DISCOVER_MAP
    loop.host.packet();
    loop.host.write({0x30, 0x03, 0x02, 0x02, 0x30});           // segmented GET_CONFIG ...
    loop.host.write({0x20, 0x03, 0x01, 0x80});                 // ... reassembled
    loop.host.packet();
    loop.host.write({0x40, 0x00, 0x01, 0x00});                 // a response from the host
    loop.host.write({0x20, 0x02, 0x05, 0x01, 0x30, 0x02, 0x01, 0x02});   // exceeds 4 bytes

    auto last = loop.sim.waitForCommand(3, 2000);
    ASSERT_TRUE(last.has_value()) << loop.sim.describe();
    EXPECT_EQ(last->payload, (Bytes{0x01, 0x30, 0x02, 0x01, 0x02}));
    EXPECT_EQ(loop.sim.commandOpcodes(), (std::vector<uint16_t>{0x2000, 0x2100, 0x2003, 0x2002}));
    auto second = loop.sim.waitForCommand(2, 0);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->payload, (Bytes{0x02, 0x30, 0x80}));

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.sim.waitForCommand(4, 100).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(loop.sim.recorder().violations(),
              (std::vector<std::string>{"segment 2100 interrupts message 2001",
                                        "host sent 4000 [00], which is not a command",
                                        "control segment of 5 bytes exceeds the announced 4"}));
}

TEST(NciSimulator, FaultsChangeTheAnswersOnTheLine) {
    struct Case {
        const char* name;
        Fault fault;
        Bytes expected;   // everything that arrives
    };
    const Case cases[] = {
        {"status", Fault::withStatus(0x03), {0x40, 0x00, 0x03, 0x03, 0x10, 0x01}},
        {"dropped", Fault::dropped(), {}},
        {"duplicated", Fault::duplicated(), {0x40, 0x00, 0x03, 0x00, 0x10, 0x01, 0x40, 0x00, 0x03, 0x00, 0x10, 0x01}},
        {"truncated", Fault::truncated(4), {0x40, 0x00, 0x03, 0x00}},
        {"lying length", Fault::lyingLength(0x05), {0x40, 0x00, 0x05, 0x00, 0x10, 0x01}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimLoop loop;
        Fault once = c.fault;
        once.times = 1;
        loop.sim.setFault(CORE_RESET_RSP, once);
        loop.host.write(kReset);
        EXPECT_EQ(loop.host.read(300, 64), c.expected);
        loop.host.write(kReset);   // the fault was for one answer only
        EXPECT_EQ(loop.host.packet(), kResetRsp);
    }
}

TEST(NciSimulator, DelayedAndSplitAnswersKeepTheLineInOrder) {
    using namespace std::chrono;
    SimLoop loop;
    loop.sim.onCommand(CORE_RESET_CMD, [](Controller& c, const NciMessage&) {
        c.respond(CORE_RESET_RSP, {STATUS_OK, 0x10, 0x01});
        c.respond(RF_FIELD_INFO_NTF, {0x01});   // waits behind the delayed answer
    });
    loop.sim.setFault(CORE_RESET_RSP, Fault::delayed(300));
    auto start = steady_clock::now();
    loop.host.write(kReset);
    EXPECT_EQ(loop.host.packet(), kResetRsp);
    EXPECT_GE(steady_clock::now() - start, milliseconds(280));
    EXPECT_EQ(loop.host.packet(), (Bytes{0x61, 0x07, 0x01, 0x01}));

    loop.sim.setFault(CORE_RESET_RSP, Fault::split(2, 500));
    loop.host.write(kReset);
    EXPECT_EQ(loop.host.read(2000), (Bytes{0x40, 0x00}));
    EXPECT_EQ(loop.host.read(2000, 4), (Bytes{0x03, 0x00, 0x10, 0x01}));
}

TEST(NciSimulator, SilenceRecordsButAnswersNothingAndHangUpClosesTheLine) {
    SimLoop loop;
    loop.sim.setSilent(true);
    loop.host.write(kReset);
    ASSERT_TRUE(loop.sim.waitForCommand(0, 2000).has_value());
    EXPECT_TRUE(loop.host.read(150).empty());
    loop.sim.setSilent(false);
    loop.host.write(kReset);
    EXPECT_EQ(loop.host.packet(), kResetRsp);

    loop.sim.hangUp();
    EXPECT_TRUE(loop.host.read(2000).empty());
    EXPECT_TRUE(loop.host.hungUp());
}

TEST(NciSimulator, FramePrefixPrecedesEveryPacketBothWays) {
    NciIdentity id;
    id.framePrefix = true;
    SimLoop loop(id, false);
    loop.host.write(kReset);   // without the prefix: dropped
    EXPECT_TRUE(loop.host.read(150).empty());
    loop.host.write({0x10, 0x20, 0x00, 0x01, 0x01});
    EXPECT_EQ(loop.host.read(2000, 7), (Bytes{0x10, 0x40, 0x00, 0x03, 0x00, 0x10, 0x01}));
    EXPECT_EQ(loop.sim.recorder().violations(), (std::vector<std::string>{"4 bytes without frame prefix dropped"}));
}

TEST(NciSimulator, HandlersExtendTheControllerAndNotificationsCanBeInjected) {
    SimLoop loop;
    loop.sim.onCommand(0x2103, [](Controller& c, const NciMessage&) {
        c.respond(0x4103, {STATUS_OK});
        c.respond(0x6107, {0x01});
    });
    loop.host.write({0x21, 0x03, 0x03, 0x01, 0x00, 0x01});
    EXPECT_EQ(loop.host.packet(), (Bytes{0x41, 0x03, 0x01, 0x00}));
    EXPECT_EQ(loop.host.packet(), (Bytes{0x61, 0x07, 0x01, 0x01}));
    loop.sim.send(NciMessage::control(CORE_GENERIC_ERROR_NTF, {0xA1}));
    EXPECT_EQ(loop.host.packet(), (Bytes{0x60, 0x07, 0x01, 0xA1}));
    loop.sim.sendRaw({0xEE, 0xFF});
    EXPECT_EQ(loop.host.read(2000, 2), (Bytes{0xEE, 0xFF}));
}

TEST(NciSimulator, ItTakesOneCommandAtATimeAndBeforeInitOnlyResetAndInit) {
    SimLoop loop(NciIdentity::generic(), false);
    const Bytes getConfig{0x20, 0x03, 0x02, 0x01, 0x30};
    const Bytes notInitialised{0x40, 0x03, 0x01, STATUS_NOT_INITIALIZED};
    loop.host.write(getConfig);
    EXPECT_EQ(loop.host.packet(), notInitialised);
    loop.host.write(kReset);
    EXPECT_EQ(loop.host.packet(), kResetRsp);
    loop.host.write(getConfig);
    EXPECT_EQ(loop.host.packet(), notInitialised);
    loop.host.write(kInit);
    loop.host.packet();

    Fault held = Fault::delayed(300);
    held.times = 1;
    loop.sim.setFault(CORE_SET_CONFIG_RSP, held);
    loop.host.write({0x20, 0x02, 0x04, 0x01, 0x30, 0x01, 0x01});
    loop.host.write(getConfig);   // before the answer: a breach, left unanswered
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x02, 0x02, 0x00, 0x00}));
    EXPECT_TRUE(loop.host.read(150).empty());
    loop.host.write(getConfig);   // after it: taken
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x03, 0x05, 0x00, 0x01, 0x30, 0x01, 0x01}));

    // A reset is the way out of a controller that holds its answer; what it held is lost.
    held.delayMs = 500;
    loop.sim.setFault(CORE_GET_CONFIG_RSP, held);
    loop.host.write(getConfig);
    loop.host.write(kReset);
    EXPECT_EQ(loop.host.packet(), kResetRsp);
    EXPECT_TRUE(loop.host.read(700).empty());
    EXPECT_EQ(loop.sim.recorder().violations(),
              (std::vector<std::string>{"command 2003 sent while the response 4002 is outstanding"}));
}

TEST(NciSimulator, AFaultAtAChosenMomentTakesTheNextMessageOfItsKey) {
    SimLoop loop;
    loop.sim.call([](Controller& c) {
        c.intercept(CORE_SET_CONFIG_CMD, [](Controller& ctl, const NciMessage& m) {
            ctl.respond(CORE_GENERIC_ERROR_NTF, {STATUS_RF_TRANSMISSION_ERROR});
            ctl.handle(m);
        });
    });
    const Bytes setConfig{0x20, 0x02, 0x04, 0x01, 0x30, 0x01, 0x01};
    loop.host.write(setConfig);
    EXPECT_EQ(loop.host.packet(), (Bytes{0x60, 0x07, 0x01, STATUS_RF_TRANSMISSION_ERROR}));
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x02, 0x02, 0x00, 0x00}));
    loop.host.write(setConfig);   // once only
    EXPECT_EQ(loop.host.packet(), (Bytes{0x40, 0x02, 0x02, 0x00, 0x00}));
    EXPECT_TRUE(loop.sim.recorder().violations().empty()) << loop.sim.describe();
}

TEST(NciSimulator, PollModeRoutingIsTakenByAControllerThatHasItWithinItsTableSize) {
    NciIdentity id;
    id.pollModeRouting = true;
    id.routingTableSize = 10;
    SimLoop loop(id);
    const Bytes nfcA{0x00, 0x03, 0x00, 0x01, 0x00}, t2t{0x01, 0x03, 0x10, 0x01, 0x02}, aid{0x02, 0x07, 0x00, 0x01, 1, 2, 3, 4, 5};
    auto route = [&](uint8_t count, const Bytes& entries) {
        Bytes p{0x2F, 0x05, static_cast<uint8_t>(2 + entries.size()), 0x00, count};
        p.insert(p.end(), entries.begin(), entries.end());
        loop.host.write(p);
        return loop.host.packet();
    };
    EXPECT_EQ(route(2, cat(nfcA, t2t)), (Bytes{0x4F, 0x05, 0x01, STATUS_OK}));
    EXPECT_EQ(route(3, cat(cat(nfcA, t2t), nfcA)), (Bytes{0x4F, 0x05, 0x01, STATUS_REJECTED}));   // 15 bytes
    EXPECT_EQ(route(1, aid), (Bytes{0x4F, 0x05, 0x01, STATUS_SYNTAX_ERROR}));   // no AIDs for a reader
    size_t kept = 0;
    ASSERT_TRUE(loop.sim.call([&](Controller&) { kept = loop.sim.routing().pollEntries().size(); }));
    EXPECT_EQ(kept, 2u);

    SimLoop generic;
    generic.host.write({0x2F, 0x05, 0x07, 0x00, 0x01, 0x00, 0x03, 0x00, 0x01, 0x00});
    EXPECT_EQ(generic.host.packet(), (Bytes{0x4F, 0x05, 0x01, STATUS_SYNTAX_ERROR}));
}
