// The simulated controller's RF model checked through a bare pseudo-terminal loop: the test
// speaks raw NCI as a host would and reads the raw answers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nci/nci_simulator.h"
#include "pty_host.h"
#include "tags/iso15693_tag.h"
#include "tags/iso_dep_tag.h"
#include "peers/remote_poller.h"
#include "tags/kovio_tag.h"
#include "tags/nfc_dep_target.h"
#include "tags/t1t_tag.h"
#include "tags/t2t_tag.h"
#include "tags/t3t_tag.h"

using namespace ncisim;
using namespace simtags;

namespace {

Bytes control(uint16_t opcode, const Bytes& payload) {
    Bytes p{static_cast<uint8_t>(opcode >> 8), static_cast<uint8_t>(opcode), static_cast<uint8_t>(payload.size())};
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

Bytes data(const Bytes& payload, bool more = false) {
    Bytes p{static_cast<uint8_t>(more ? 0x10 : 0x00), 0x00, static_cast<uint8_t>(payload.size())};
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kSelectNdefApp{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
const Bytes kSelectNdefFile{0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04};
const Bytes kOk{0x90, 0x00};
const Bytes kCredit{0x60, 0x06, 0x03, 0x01, 0x00, 0x01};

struct RfLoop {
    explicit RfLoop(NciIdentity id = NciIdentity::generic()) : sim(std::move(id)), host(sim.portPath()) {
        EXPECT_EQ(command(control(CORE_RESET_CMD, {0x01})).size(), 6u);
        EXPECT_GE(command(control(CORE_INIT_CMD, {})).size(), 3u + 18u);
        // A host maps ISO-DEP to its own RF interface before it discovers anything.
        EXPECT_EQ(command(control(RF_DISCOVER_MAP_CMD, {0x01, 0x04, 0x01, 0x02})), control(RF_DISCOVER_MAP_RSP, {0x00}));
    }
    Bytes command(const Bytes& packet) {
        host.write(packet);
        return host.packet();
    }
    // Starts discovery of these technology-and-mode values.
    void discover(const Bytes& modes) {
        Bytes p{static_cast<uint8_t>(modes.size())};
        for (uint8_t m : modes) p.insert(p.end(), {m, 0x01});
        EXPECT_EQ(command(control(RF_DISCOVER_CMD, p)), control(RF_DISCOVER_RSP, {STATUS_OK}));
    }
    // Sends data on the static RF connection and reads the answer, expecting a credit first.
    Bytes exchange(const Bytes& payload) {
        host.write(data(payload));
        EXPECT_EQ(host.packet(), kCredit);
        return host.packet();
    }
    void expectNothing() { EXPECT_TRUE(host.read(100).empty()); }
    std::vector<std::string> violations() const { return sim.recorder().violations(); }

    NciSimulator sim;
    PtyHost host;
};

Bytes activated(uint8_t id, uint8_t rfInterface, uint8_t protocol, uint8_t mode, const Bytes& techParams, uint8_t bitRate,
                const Bytes& activationParams, uint8_t maxPayload = 0xFF, uint8_t credits = 1) {
    Bytes p{id, rfInterface, protocol, mode, maxPayload, credits, static_cast<uint8_t>(techParams.size())};
    p = cat(p, techParams);
    p = cat(p, {mode, bitRate, bitRate, static_cast<uint8_t>(activationParams.size())});
    return control(RF_INTF_ACTIVATED_NTF, cat(p, activationParams));
}

} // namespace

TEST(NciSimulatorRf, EveryTagProtocolIsActivatedWithItsParametersAndAnswersFromItsMemory) {
    struct Case {
        const char* name;
        std::function<TagPtr()> make;
        uint8_t mode, rfInterface, protocol;
        Bytes techParams;
        uint8_t bitRate;
        Bytes activationParams;
        Bytes command, answer;   // on the static RF connection
    };
    const Bytes kovioId{0x81, 0x0A, 0xCB, 0x03, 0x24, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x0F};
    const Case cases[] = {
        {"T1T", [] { return std::make_shared<T1tTag>(); }, 0x00, 0x01, 0x01,
         {0x0C, 0x00, 0x04, 0x3B, 0x21, 0x43, 0x65, 0x00}, 0x00, {},
         {0x78, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x11, 0x48, 0x3B, 0x21, 0x43, 0x65, 0x00}},
        {"T2T",
         [] {
             auto t = std::make_shared<T2tTag>();
             t->memory[12] = 0xE1;   // capability container in page 3
             return t;
         },
         0x00, 0x01, 0x02, {0x44, 0x00, 0x07, 0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x01, 0x00}, 0x00, {},
         {0x30, 0x00},
         {0x04, 0x11, 0x22, 0xBF, 0x33, 0x44, 0x55, 0x66, 0x44, 0x00, 0x00, 0x00, 0xE1, 0x00, 0x00, 0x00, 0x00}},
        {"T3T",
         [] {
             auto t = std::make_shared<T3tTag>();
             t->memory[16] = 0x10;   // first byte of block 1
             return t;
         },
         0x02, 0x01, 0x03,
         {0x01, 0x12, 0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF, 0x12, 0xFC},
         0x01, {},
         {0x10, 0x06, 0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x01, 0x0B, 0x00, 0x01, 0x80, 0x01},
         cat({0x1D, 0x07, 0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x00, 0x01, 0x10}, Bytes(16, 0x00))},
        {"ISO-DEP A", [] { return std::make_shared<IsoDepTag>(Technology::A); }, 0x00, 0x02, 0x04,
         {0x04, 0x00, 0x04, 0x08, 0x12, 0x34, 0x56, 0x01, 0x20}, 0x00, {0x05, 0x78, 0x00, 0x81, 0x02, 0x80},
         kSelectNdefApp, kOk},
        {"ISO-DEP B", [] { return std::make_shared<IsoDepTag>(Technology::B); }, 0x01, 0x02, 0x04,
         {0x0B, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x81, 0x81}, 0x00, {0x01, 0x00},
         kSelectNdefApp, kOk},
        {"ISO 15693",
         [] {
             auto t = std::make_shared<Iso15693Tag>();
             t->memory[4 * 5 + 3] = 0x5A;   // last byte of block 5
             return t;
         },
         0x06, 0x01, 0x06, {0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x00, 0x01, 0x04, 0xE0}, 0x20, {},
         {0x02, 0x20, 0x05}, {0x00, 0x00, 0x00, 0x00, 0x5A, 0x00}},
        {"Kovio", [] { return std::make_shared<KovioTag>(); }, 0x77, 0x01, 0x8A, kovioId, 0x00, {},
         {0x00}, cat(kovioId, {0x00})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RfLoop loop;
        auto tag = c.make();
        loop.sim.rf().enter(tag);
        loop.discover({c.mode});
        EXPECT_EQ(loop.host.packet(), activated(1, c.rfInterface, c.protocol, c.mode, c.techParams, c.bitRate, c.activationParams));
        EXPECT_EQ(loop.sim.rf().state(), RfState::PollActive);
        EXPECT_EQ(loop.exchange(c.command), data(c.answer));
        EXPECT_TRUE(loop.violations().empty()) << loop.sim.describe();
    }
}

TEST(NciSimulatorRf, WritesReachTheTagsMemory) {
    RfLoop loop;
    auto t2t = std::make_shared<T2tTag>();
    loop.sim.rf().enter(t2t);
    loop.discover({0x00});
    loop.host.packet();   // activation
    EXPECT_EQ(loop.exchange({0xA2, 0x04, 0xDE, 0xAD, 0xBE, 0xEF}), data({T2tTag::ACK, 0x00}));
    EXPECT_EQ(loop.exchange({0x30, 0x04}), data(cat({0xDE, 0xAD, 0xBE, 0xEF}, Bytes(13, 0x00))));
    Bytes page;
    loop.sim.call([&](Controller&) { page.assign(t2t->memory.begin() + 16, t2t->memory.begin() + 20); });
    EXPECT_EQ(page, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(NciSimulatorRf, SeveralTagsAreAnnouncedAndTheHostSelectsOne) {
    RfLoop loop;
    auto t2t = std::make_shared<T2tTag>();
    auto card = std::make_shared<IsoDepTag>(Technology::A);
    auto felica = std::make_shared<T3tTag>();   // not polled for
    loop.sim.rf().enter(t2t);
    loop.sim.rf().enter(felica);
    loop.sim.rf().enter(card);
    loop.discover({0x00, 0x01});
    EXPECT_EQ(loop.host.packet(), control(RF_DISCOVER_NTF, {0x01, 0x02, 0x00, 0x0C, 0x44, 0x00, 0x07, 0x04, 0x11, 0x22,
                                                            0x33, 0x44, 0x55, 0x66, 0x01, 0x00, 0x02}));   // more follow
    EXPECT_EQ(loop.host.packet(), control(RF_DISCOVER_NTF, {0x02, 0x04, 0x00, 0x09, 0x04, 0x00, 0x04, 0x08, 0x12, 0x34,
                                                            0x56, 0x01, 0x20, 0x00}));   // the last
    loop.expectNothing();
    EXPECT_EQ(loop.sim.rf().state(), RfState::W4HostSelect);

    struct Refused {
        Bytes select;
        uint8_t status;
    };
    const Refused refused[] = {
        {{0x03, 0x04, 0x02}, STATUS_REJECTED},   // no such endpoint
        {{0x02, 0x02, 0x02}, STATUS_REJECTED},   // not its protocol
        {{0x01, 0x02, 0x02}, STATUS_REJECTED},   // ISO-DEP interface for a T2T
        {{0x02, 0x04, 0x80}, STATUS_REJECTED},   // an interface the controller lacks
        {{0x02, 0x04}, STATUS_SYNTAX_ERROR},
    };
    for (const auto& r : refused)
        EXPECT_EQ(loop.command(control(RF_DISCOVER_SELECT_CMD, r.select)), control(RF_DISCOVER_SELECT_RSP, {r.status}));

    EXPECT_EQ(loop.command(control(RF_DISCOVER_SELECT_CMD, {0x02, 0x04, 0x02})), control(RF_DISCOVER_SELECT_RSP, {STATUS_OK}));
    EXPECT_EQ(loop.host.packet(), activated(2, 0x02, 0x04, 0x00, {0x04, 0x00, 0x04, 0x08, 0x12, 0x34, 0x56, 0x01, 0x20},
                                            0x00, {0x05, 0x78, 0x00, 0x81, 0x02, 0x80}));
    EXPECT_EQ(loop.exchange(kSelectNdefApp), data(kOk));
    // Only the poll-active state takes a select.
    EXPECT_EQ(loop.command(control(RF_DISCOVER_SELECT_CMD, {0x01, 0x02, 0x01})), control(RF_DISCOVER_SELECT_RSP, {STATUS_SEMANTIC_ERROR}));
    EXPECT_TRUE(loop.violations().empty()) << loop.sim.describe();
}

TEST(NciSimulatorRf, ASelectedTagThatLeftFailsItsActivation) {
    RfLoop loop;
    auto first = std::make_shared<T2tTag>();
    auto second = std::make_shared<T2tTag>(std::array<uint8_t, 7>{0x04, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06});
    loop.sim.rf().enter(first);
    loop.sim.rf().enter(second);
    loop.discover({0x00});
    loop.host.packet();
    loop.host.packet();
    loop.sim.rf().leave(second);
    EXPECT_EQ(loop.command(control(RF_DISCOVER_SELECT_CMD, {0x02, 0x02, 0x01})), control(RF_DISCOVER_SELECT_RSP, {STATUS_OK}));
    EXPECT_EQ(loop.host.packet(), control(CORE_GENERIC_ERROR_NTF, {STATUS_DISCOVERY_TARGET_ACTIVATION_FAILED}));
    // Back to discovery, which finds the one left and activates it.
    const Bytes activation = loop.host.packet();
    ASSERT_GE(activation.size(), 4u);
    EXPECT_EQ(activation[1], 0x05);
    EXPECT_EQ(activation[3], 0x01);
    EXPECT_EQ(loop.sim.rf().state(), RfState::PollActive);
}

TEST(NciSimulatorRf, DiscoveryFindsATagWhenItEntersAndRefusesASecondStart) {
    RfLoop loop;
    loop.discover({0x00, 0x02});
    loop.expectNothing();
    EXPECT_EQ(loop.sim.rf().state(), RfState::Discovery);
    EXPECT_EQ(loop.command(control(RF_DISCOVER_CMD, {0x01, 0x00, 0x01})), control(RF_DISCOVER_RSP, {STATUS_DISCOVERY_ALREADY_STARTED}));
    loop.sim.rf().enter(std::make_shared<IsoDepTag>(Technology::B));   // not polled for
    loop.expectNothing();
    loop.sim.rf().enter(std::make_shared<T3tTag>());
    EXPECT_EQ(loop.host.packet()[1], 0x05);   // RF_INTF_ACTIVATED_NTF

    RfLoop fresh;
    EXPECT_EQ(fresh.command(control(RF_DISCOVER_CMD, {0x01, 0x00})), control(RF_DISCOVER_RSP, {STATUS_SYNTAX_ERROR}));
    EXPECT_EQ(fresh.command(control(RF_DISCOVER_CMD, {0x01, 0x40, 0x01})), control(RF_DISCOVER_RSP, {STATUS_INVALID_PARAM}));
    EXPECT_EQ(fresh.sim.rf().state(), RfState::Idle);
}

TEST(NciSimulatorRf, DeactivationFollowsItsType) {
    struct Case {
        uint8_t type;
        RfState after;
        bool reactivated;   // found again by the discovery that goes on
    };
    const Case cases[] = {
        {0x00, RfState::Idle, false},
        {0x01, RfState::W4HostSelect, false},
        {0x02, RfState::W4HostSelect, false},
        {0x03, RfState::PollActive, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        RfLoop loop;
        auto card = std::make_shared<IsoDepTag>(Technology::A);
        loop.sim.rf().enter(card);
        loop.discover({0x00});
        Bytes activation = loop.host.packet();
        EXPECT_EQ(loop.exchange(kSelectNdefApp), data(kOk));
        EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {c.type})), control(RF_DEACTIVATE_RSP, {STATUS_OK}));
        EXPECT_EQ(loop.host.packet(), control(RF_DEACTIVATE_NTF, {c.type, 0x00}));
        if (c.reactivated) {
            EXPECT_EQ(loop.host.packet(), activation);
        }
        loop.expectNothing();
        EXPECT_EQ(loop.sim.rf().state(), c.after);
        if (c.after == RfState::W4HostSelect) {   // woken again by a select, without its session
            loop.command(control(RF_DISCOVER_SELECT_CMD, {0x01, 0x04, 0x02}));
            EXPECT_EQ(loop.host.packet(), activation);
        }
        if (c.after != RfState::Idle) {
            EXPECT_EQ(loop.exchange(kSelectNdefFile), data({0x6A, 0x82}));
        }
    }
}

TEST(NciSimulatorRf, BeforeActivationOnlyDeactivationToIdleIsTakenAndSendsNoNotification) {
    RfLoop loop;
    EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {0x00})), control(RF_DEACTIVATE_RSP, {STATUS_SEMANTIC_ERROR}));
    loop.discover({0x00});
    EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {0x03})), control(RF_DEACTIVATE_RSP, {STATUS_SEMANTIC_ERROR}));
    EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {0x04})), control(RF_DEACTIVATE_RSP, {STATUS_INVALID_PARAM}));
    EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {0x00})), control(RF_DEACTIVATE_RSP, {STATUS_OK}));
    loop.expectNothing();
    EXPECT_EQ(loop.sim.rf().state(), RfState::Idle);
    loop.sim.rf().enter(std::make_shared<T2tTag>());   // nobody polls
    loop.expectNothing();
}

TEST(NciSimulatorRf, AnActiveTagThatLeavesIsNoticedAsTheSettingsSay) {
    {   // Silent: the next exchange times out; deactivation then works as ever.
        RfLoop loop;
        auto tag = std::make_shared<T2tTag>();
        loop.sim.rf().enter(tag);
        loop.discover({0x00});
        loop.host.packet();
        loop.sim.rf().leave(tag);
        loop.expectNothing();
        EXPECT_EQ(loop.exchange({0x30, 0x00}), control(CORE_INTERFACE_ERROR_NTF, {STATUS_RF_TIMEOUT_ERROR, 0x00}));
        EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {0x03})), control(RF_DEACTIVATE_RSP, {STATUS_OK}));
        EXPECT_EQ(loop.host.packet(), control(RF_DEACTIVATE_NTF, {0x03, 0x00}));
        loop.expectNothing();
        EXPECT_EQ(loop.sim.rf().state(), RfState::Discovery);
    }
    {   // Link loss: notified at once, and discovery finds the tag still there.
        RfLoop loop;
        RfSettings settings;
        settings.removal = Removal::LinkLoss;
        loop.sim.rf().configure(settings);
        auto leaving = std::make_shared<T2tTag>();
        auto staying = std::make_shared<T3tTag>();
        loop.sim.rf().enter(leaving);
        loop.discover({0x00, 0x02});
        EXPECT_EQ(loop.host.packet()[5], 0x02);   // the T2T
        loop.sim.rf().enter(staying);
        loop.sim.rf().leave(leaving);
        EXPECT_EQ(loop.host.packet(), control(RF_DEACTIVATE_NTF, {0x03, 0x02}));
        Bytes next = loop.host.packet();
        ASSERT_GE(next.size(), 6u);
        EXPECT_EQ(next[1], 0x05);
        EXPECT_EQ(next[5], 0x03);   // the T3T
        // Data without an active tag: the connection is gone with it. What the host sent before
        // it heard of the loss crosses the notification and is dropped; once the host has had
        // its turn (a command), data on the gone connection is a breach.
        loop.sim.rf().leave(staying);
        EXPECT_EQ(loop.host.packet(), control(RF_DEACTIVATE_NTF, {0x03, 0x02}));
        loop.host.write(data({0x00}));
        loop.expectNothing();
        EXPECT_TRUE(loop.violations().empty()) << loop.sim.describe();
        EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {0x00})), control(RF_DEACTIVATE_RSP, {STATUS_OK}));
        loop.host.write(data({0x00}));
        loop.expectNothing();
        EXPECT_EQ(loop.violations(), (std::vector<std::string>{"data on connection 0, which is not open"}));
    }
}

TEST(NciSimulatorRf, ATagPlannedToLeaveAfterItsExchangesLeavesTheField) {
    RfLoop loop;
    auto tag = std::make_shared<T2tTag>();
    tag->removeAfter(1);
    loop.sim.rf().enter(tag);
    loop.discover({0x00});
    loop.host.packet();
    EXPECT_EQ(loop.exchange({0x30, 0x00}).size(), 3u + 17u);
    EXPECT_EQ(loop.exchange({0x30, 0x04}), control(CORE_INTERFACE_ERROR_NTF, {STATUS_RF_TIMEOUT_ERROR, 0x00}));
    EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {0x03})), control(RF_DEACTIVATE_RSP, {STATUS_OK}));
    EXPECT_EQ(loop.host.packet(), control(RF_DEACTIVATE_NTF, {0x03, 0x00}));
    loop.expectNothing();   // discovery goes on without it
    std::vector<std::pair<uint8_t, uint32_t>> seen;
    loop.sim.call([&](ncisim::Controller&) {
        for (const auto& e : tag->log) seen.emplace_back(e.op, e.address);
    });
    EXPECT_EQ(seen, (std::vector<std::pair<uint8_t, uint32_t>>{{0x30, 0}})) << "the second read never reached it";
}

TEST(NciSimulatorRf, LongMessagesAreSegmentedBothWaysWithACreditPerPacket) {
    NciIdentity id;
    id.txDataSegment = 100;
    RfLoop loop(id);
    RfSettings settings;
    settings.maxDataPayload = 16;
    loop.sim.rf().configure(settings);
    auto card = std::make_shared<IsoDepTag>(Technology::A);
    loop.sim.rf().enter(card);
    loop.discover({0x00});
    Bytes activation = loop.host.packet();
    ASSERT_GE(activation.size(), 9u);
    EXPECT_EQ(activation[7], 16);   // maximum data payload
    EXPECT_EQ(loop.exchange(kSelectNdefApp), data(kOk));
    EXPECT_EQ(loop.exchange(kSelectNdefFile), data(kOk));

    Bytes content(300);
    for (size_t k = 0; k < content.size(); ++k) content[k] = static_cast<uint8_t>(k * 7);
    Bytes update = cat({0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x2C}, content);   // extended Lc
    for (size_t at = 0; at < update.size(); at += 16) {
        Bytes part(update.begin() + static_cast<std::ptrdiff_t>(at),
                   update.begin() + static_cast<std::ptrdiff_t>(std::min(at + 16, update.size())));
        loop.host.write(data(part, at + 16 < update.size()));
        EXPECT_EQ(loop.host.packet(), kCredit);   // the host waits for it before the next segment
    }
    EXPECT_EQ(loop.host.packet(), data(kOk));

    loop.host.write(data({0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x2C}));   // extended Le: 300 bytes
    EXPECT_EQ(loop.host.packet(), kCredit);
    Bytes answer;
    for (size_t expected : {100u, 100u, 100u, 2u}) {
        Bytes p = loop.host.packet();
        ASSERT_EQ(p.size(), 3 + expected);
        EXPECT_EQ(p[0], expected == 2 ? 0x00 : 0x10);   // PBF on all but the last
        answer.insert(answer.end(), p.begin() + 3, p.end());
    }
    EXPECT_EQ(answer, cat(content, kOk));

    loop.host.write(data(Bytes(17, 0x00)));   // beyond the announced maximum
    loop.host.packet();
    loop.host.packet();
    EXPECT_EQ(loop.violations(), (std::vector<std::string>{"data segment of 17 bytes exceeds 16 on connection 0"}));
}

TEST(NciSimulatorRf, CreditsComeBackAfterTheAnswerOrNotAtAll) {
    {
        RfLoop loop;
        RfSettings settings;
        settings.maxDataPayload = 4;
        settings.initialCredits = 2;
        settings.creditReturn = CreditReturn::AfterAnswer;
        loop.sim.rf().configure(settings);
        loop.sim.rf().enter(std::make_shared<T2tTag>());
        loop.discover({0x00});
        EXPECT_EQ(loop.host.packet()[8], 2);   // initial credits
        loop.host.write(data({0xA2, 0x04, 0x01, 0x02}, true));
        loop.host.write(data({0x03, 0x04}));
        EXPECT_EQ(loop.host.packet(), data({T2tTag::ACK, 0x00}));
        EXPECT_EQ(loop.host.packet(), (Bytes{0x60, 0x06, 0x03, 0x01, 0x00, 0x02}));
        EXPECT_TRUE(loop.violations().empty()) << loop.sim.describe();
    }
    {
        RfLoop loop;
        RfSettings settings;
        settings.creditReturn = CreditReturn::Never;
        loop.sim.rf().configure(settings);
        loop.sim.rf().enter(std::make_shared<T2tTag>());
        loop.discover({0x00});
        loop.host.packet();
        loop.host.write(data({0x30, 0x00}));
        EXPECT_EQ(loop.host.packet().size(), 3u + 17u);
        loop.expectNothing();
        loop.sim.rf().grantCredits(1);
        EXPECT_EQ(loop.host.packet(), kCredit);
        loop.host.write(data({0x30, 0x00}));
        loop.host.packet();
        EXPECT_TRUE(loop.violations().empty()) << loop.sim.describe();
        loop.host.write(data({0x30, 0x00}));   // the host had no credit left
        loop.host.packet();
        EXPECT_EQ(loop.violations(), (std::vector<std::string>{"data on connection 0 without credit"}));
    }
    {   // No flow control at all.
        RfLoop loop;
        RfSettings settings;
        settings.initialCredits = 0xFF;
        loop.sim.rf().configure(settings);
        loop.sim.rf().enter(std::make_shared<T2tTag>());
        loop.discover({0x00});
        loop.host.packet();
        for (int k = 0; k < 3; ++k) loop.host.write(data({0x30, 0x00}));
        for (int k = 0; k < 3; ++k) EXPECT_EQ(loop.host.packet().size(), 3u + 17u);
        loop.expectNothing();
        EXPECT_TRUE(loop.violations().empty()) << loop.sim.describe();
    }
}

TEST(NciSimulatorRf, T3tPollingFindsTheType3TagsOfTheSystemCode) {
    RfLoop loop;
    loop.sim.rf().enter(std::make_shared<T3tTag>());
    loop.discover({0x02});
    loop.host.packet();
    EXPECT_EQ(loop.command(control(RF_T3T_POLLING_CMD, {0x12, 0xFC, 0x01, 0x00})), control(RF_T3T_POLLING_RSP, {STATUS_OK}));
    EXPECT_EQ(loop.host.packet(), control(RF_T3T_POLLING_NTF, {0x00, 0x01, 0x12, 0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04,
                                                               0x05, 0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF, 0x12, 0xFC}));
    EXPECT_EQ(loop.command(control(RF_T3T_POLLING_CMD, {0x88, 0xB4, 0x00, 0x00})), control(RF_T3T_POLLING_RSP, {STATUS_OK}));
    EXPECT_EQ(loop.host.packet(), control(RF_T3T_POLLING_NTF, {STATUS_RF_TIMEOUT_ERROR, 0x00}));
}

TEST(NciSimulatorRf, ResetEndsTheActivationAndFieldInfoNeedsItsParameter) {
    RfLoop loop;
    loop.sim.rf().enter(std::make_shared<IsoDepTag>());
    loop.discover({0x00});
    loop.host.packet();
    loop.sim.rf().remoteField(true);   // not asked for
    EXPECT_EQ(loop.command({0x20, 0x00, 0x01, 0x00}), (Bytes{0x40, 0x00, 0x03, 0x00, 0x10, 0x00}));
    EXPECT_EQ(loop.sim.rf().state(), RfState::Idle);
    EXPECT_GE(loop.command(control(CORE_INIT_CMD, {})).size(), 3u + 18u);
    EXPECT_EQ(loop.command(control(CORE_SET_CONFIG_CMD, {0x01, 0x80, 0x01, 0x01})), control(CORE_SET_CONFIG_RSP, {0x00, 0x00}));
    loop.sim.rf().remoteField(true);
    EXPECT_EQ(loop.host.packet(), control(RF_FIELD_INFO_NTF, {0x01}));
    loop.discover({0x00});
    Bytes activation = loop.host.packet();
    ASSERT_GE(activation.size(), 5u);
    EXPECT_EQ(activation[4], 0x02);   // the ISO-DEP mapping survived a reset that keeps the configuration
}

TEST(NciSimulatorRf, ListenModeRoutingIsStoredOverSeveralCommandsAndReadBack) {
    NciIdentity id;
    id.routingTableSize = 16;
    RfLoop loop(id);
    const Bytes technology{0x00, 0x03, 0x00, 0x01, 0x00};      // NFC-A to the host, power state 1
    const Bytes aid{0x02, 0x07, 0x02, 0x01, 0xA0, 0x00, 0x00, 0x00, 0x03};   // a 5-byte AID to NFCEE 2
    EXPECT_EQ(loop.command(control(RF_SET_LISTEN_MODE_ROUTING_CMD, cat({0x01, 0x01}, technology))),
              control(RF_SET_LISTEN_MODE_ROUTING_RSP, {STATUS_OK}));
    EXPECT_EQ(loop.command(control(RF_SET_LISTEN_MODE_ROUTING_CMD, cat({0x00, 0x01}, aid))),
              control(RF_SET_LISTEN_MODE_ROUTING_RSP, {STATUS_OK}));
    EXPECT_EQ(loop.command(control(RF_GET_LISTEN_MODE_ROUTING_CMD, {})), control(RF_GET_LISTEN_MODE_ROUTING_RSP, {STATUS_OK}));
    EXPECT_EQ(loop.host.packet(), control(RF_GET_LISTEN_MODE_ROUTING_NTF, cat(cat({0x00, 0x02}, technology), aid)));

    struct Refused {
        Bytes payload;
        uint8_t status;
    };
    const Refused refused[] = {
        {{0x00, 0x01, 0x00, 0x02, 0x00, 0x01}, STATUS_SYNTAX_ERROR},    // a technology entry of 2 bytes
        {{0x00, 0x02, 0x01, 0x03, 0x00, 0x01, 0x04}, STATUS_SYNTAX_ERROR},   // announces two, holds one
        {cat(cat({0x00, 0x03}, aid), cat(technology, technology)), STATUS_REJECTED},   // 19 bytes in a table of 16
    };
    for (const auto& r : refused)
        EXPECT_EQ(loop.command(control(RF_SET_LISTEN_MODE_ROUTING_CMD, r.payload)), control(RF_SET_LISTEN_MODE_ROUTING_RSP, {r.status}));
    loop.command(control(RF_GET_LISTEN_MODE_ROUTING_CMD, {}));
    EXPECT_EQ(loop.host.packet(), control(RF_GET_LISTEN_MODE_ROUTING_NTF, cat(cat({0x00, 0x02}, technology), aid)));
}

TEST(NciSimulatorRf, ParameterUpdateIsTakenOnlyWhileTheFrameInterfaceIsActive) {
    RfLoop loop;
    const Bytes bitRates{0x02, 0x01, 0x01, 0x00, 0x02, 0x01, 0x00};
    EXPECT_EQ(loop.command(control(RF_PARAMETER_UPDATE_CMD, bitRates)), control(RF_PARAMETER_UPDATE_RSP, {STATUS_SEMANTIC_ERROR, 0x00}));
    auto tag = std::make_shared<T2tTag>();
    loop.sim.rf().enter(tag);
    loop.discover({0x00, 0x01});
    loop.host.packet();
    EXPECT_EQ(loop.command(control(RF_PARAMETER_UPDATE_CMD, bitRates)), control(RF_PARAMETER_UPDATE_RSP, {STATUS_OK, 0x00}));
    EXPECT_EQ(loop.command(control(RF_PARAMETER_UPDATE_CMD, {0x02, 0x07, 0x01, 0x00, 0x00, 0x01, 0x00})),
              control(RF_PARAMETER_UPDATE_RSP, {STATUS_INVALID_PARAM, 0x01, 0x07}));
    EXPECT_EQ(loop.command(control(RF_PARAMETER_UPDATE_CMD, {0x01, 0x00, 0x02, 0x00})),
              control(RF_PARAMETER_UPDATE_RSP, {STATUS_SYNTAX_ERROR, 0x00}));

    loop.sim.rf().enter(std::make_shared<IsoDepTag>(Technology::B));
    loop.sim.rf().leave(tag);
    loop.command(control(RF_DEACTIVATE_CMD, {0x03}));
    loop.host.packet();
    EXPECT_EQ(loop.host.packet()[4], 0x02);   // the ISO-DEP interface
    EXPECT_EQ(loop.command(control(RF_PARAMETER_UPDATE_CMD, bitRates)), control(RF_PARAMETER_UPDATE_RSP, {STATUS_SEMANTIC_ERROR, 0x00}));
}

TEST(NciSimulatorRf, Iso15693TakesTheControllersProtocolValue) {
    RfLoop loop;
    RfSettings settings;
    settings.t5tProtocol = 0x86;
    loop.sim.rf().configure(settings);
    loop.sim.rf().enter(std::make_shared<Iso15693Tag>());
    loop.discover({0x06});
    Bytes activation = loop.host.packet();
    ASSERT_GE(activation.size(), 6u);
    EXPECT_EQ(activation[5], 0x86);
    EXPECT_EQ(loop.exchange({0x02, 0x20, 0x00}), data({0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(NciSimulatorRf, ANfcDepTargetAnswersTheAttributeRequestAndEveryFrame) {
    RfLoop loop;
    EXPECT_EQ(loop.command(control(RF_DISCOVER_MAP_CMD, {0x01, 0x05, 0x01, 0x03})), control(RF_DISCOVER_MAP_RSP, {0x00}));
    auto target = std::make_shared<NfcDepTarget>();
    target->toSend = {{0xAA, 0xBB}};
    loop.sim.rf().enter(target);
    loop.discover({0x00});
    const Bytes atrRes = cat({0x01, 0xFE, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0x00, 0x00, 0x00, 0x0E, 0x32},
                             simpeers::llcpGeneralBytes());
    EXPECT_EQ(loop.host.packet(), activated(1, 0x03, 0x05, 0x00, {0x01, 0x00, 0x04, 0x08, 0x5A, 0x3C, 0x11, 0x01, 0x40}, 0x00,
                                            cat({static_cast<uint8_t>(atrRes.size())}, atrRes)));
    // Frames whole, without a status byte; an LLCP SYMM once it has nothing more to say.
    EXPECT_EQ(loop.exchange({0x11}), data({0xAA, 0xBB}));
    EXPECT_EQ(loop.exchange({0x22}), data({0x00, 0x00}));
    EXPECT_TRUE(loop.violations().empty()) << loop.sim.describe();
}

TEST(NciSimulatorRf, ARemotePollerActivatesTheListeningHostSleepsWakesAndLeaves) {
    struct Case {
        const char* name;
        simpeers::PollerPtr poller;
        uint8_t mode, rfInterface, protocol;
        Bytes techParams, activationParams;
        bool statusByte;
    };
    const Case cases[] = {
        {"reader A", simpeers::RemotePoller::reader(Technology::A), 0x80, 0x02, 0x04, {}, {0x80}, false},
        {"reader B", simpeers::RemotePoller::reader(Technology::B), 0x81, 0x02, 0x04, {},
         {0x08, 0x11, 0x22, 0x33, 0x44, 0x00, 0x08, 0x01, 0x00}, false},
        {"reader F", simpeers::RemotePoller::reader(Technology::F), 0x82, 0x01, 0x03,
         {0x08, 0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05}, {}, true},
        {"NFC-DEP initiator", simpeers::RemotePoller::nfcDepInitiator({0x46, 0x66, 0x6D}), 0x80, 0x03, 0x05, {},
         {0x11, 0x01, 0xFE, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x00, 0x00, 0x00, 0x32, 0x46, 0x66, 0x6D}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RfLoop loop;
        c.poller->log.toSend = {{0x01, 0x02}, {0x03}};
        loop.sim.rf().approach(c.poller);
        loop.discover({c.mode});
        const uint8_t rate = c.mode == 0x82 ? 0x01 : 0x00;
        EXPECT_EQ(loop.host.packet(), activated(1, c.rfInterface, c.protocol, c.mode, c.techParams, rate, c.activationParams));
        EXPECT_EQ(loop.sim.rf().state(), RfState::ListenActive);
        // The poller speaks first; each answer of the host brings its next command.
        auto framed = [&](Bytes b) { return c.statusByte ? cat(b, {0x00}) : b; };
        EXPECT_EQ(loop.host.packet(), data(framed({0x01, 0x02})));
        EXPECT_EQ(loop.exchange({0x90, 0x00}), data(framed({0x03})));
        loop.host.write(data({0x6A, 0x82}));
        EXPECT_EQ(loop.host.packet(), kCredit);
        loop.sim.rf().sleepPoller();
        EXPECT_EQ(loop.host.packet(), control(RF_DEACTIVATE_NTF, {0x01, 0x01}));
        loop.sim.rf().wakePoller();
        EXPECT_EQ(loop.host.packet(), activated(1, c.rfInterface, c.protocol, c.mode, c.techParams, rate, c.activationParams));
        loop.sim.rf().departPoller();
        EXPECT_EQ(loop.host.packet(), control(RF_DEACTIVATE_NTF, {0x03, 0x02}));
        EXPECT_EQ(loop.sim.rf().state(), RfState::Discovery);
        loop.sim.call([&](Controller&) { EXPECT_EQ(c.poller->log.received, (std::vector<Bytes>{{0x90, 0x00}, {0x6A, 0x82}})); });
        EXPECT_TRUE(loop.violations().empty()) << loop.sim.describe();
    }
}

TEST(NciSimulatorRf, TheHostEndsAListenActivationToIdleOrDiscoveryButCannotSleep) {
    for (uint8_t type : {0x00, 0x03}) {
        RfLoop loop;
        loop.sim.rf().approach(simpeers::RemotePoller::reader(Technology::A));
        loop.discover({0x80});
        loop.host.packet();   // the activation
        EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {0x01})), control(RF_DEACTIVATE_RSP, {STATUS_SEMANTIC_ERROR}));
        EXPECT_EQ(loop.command(control(RF_DEACTIVATE_CMD, {type})), control(RF_DEACTIVATE_RSP, {STATUS_OK}));
        EXPECT_EQ(loop.host.packet(), control(RF_DEACTIVATE_NTF, {type, 0x00}));
        // Still in the field, the reader activates the host again once discovery runs.
        if (type == 0x03) {
            EXPECT_EQ(loop.host.packet(), activated(1, 0x02, 0x04, 0x80, {}, 0x00, {0x80}));
        } else {
            EXPECT_EQ(loop.sim.rf().state(), RfState::Idle);
        }
    }
}

TEST(NciSimulatorRf, AControllerThatResetsItselfForgetsItsActivationUntilItIsInitialisedAgain) {
    RfLoop loop;
    loop.sim.rf().enter(std::make_shared<IsoDepTag>());
    loop.discover({0x00});
    const Bytes first = loop.host.packet();
    ASSERT_GE(first.size(), 5u);
    EXPECT_EQ(first[4], 0x02);   // activated on the ISO-DEP interface
    loop.sim.call([](Controller& c) { c.resetByItself(); });
    EXPECT_EQ(loop.host.packet(), control(CORE_RESET_NTF, {0x00, 0x01}));
    EXPECT_EQ(loop.sim.rf().state(), RfState::Idle);
    EXPECT_EQ(loop.command(control(RF_DISCOVER_CMD, {0x01, 0x00, 0x01})), control(RF_DISCOVER_RSP, {STATUS_NOT_INITIALIZED}));
    loop.host.write(data(kSelectNdefApp));   // the static connection went with the activation
    EXPECT_GE(loop.command(control(CORE_INIT_CMD, {})).size(), 3u + 18u);
    loop.discover({0x00});
    const Bytes activation = loop.host.packet();
    ASSERT_GE(activation.size(), 5u);
    EXPECT_EQ(activation[4], 0x01);   // the mapping went with the configuration: the Frame interface
    EXPECT_EQ(loop.violations(), (std::vector<std::string>{"data on connection 0, which is not open"}));
}

TEST(NciSimulatorRf, ACardThatAlsoSpeaksNfcDepIsAnnouncedForEachProtocol) {
    RfLoop loop;
    for (int k = 0; k < 3; ++k) {
        auto card = std::make_shared<IsoDepTag>(Technology::A);
        card->a.selRes = 0x60;
        loop.sim.rf().enter(card);
    }
    loop.discover({0x00});
    std::vector<std::pair<uint8_t, uint8_t>> announced;   // RF Discovery ID, protocol
    uint8_t last = 0xFF;
    for (int k = 0; k < 6; ++k) {
        const Bytes ntf = loop.host.packet();
        ASSERT_GE(ntf.size(), 6u);
        announced.emplace_back(ntf[3], ntf[4]);
        last = ntf.back();
    }
    EXPECT_EQ(announced, (std::vector<std::pair<uint8_t, uint8_t>>{{1, 4}, {1, 5}, {2, 4}, {2, 5}, {3, 4}, {3, 5}}));
    EXPECT_EQ(last, 0x00);
    loop.expectNothing();
    EXPECT_EQ(loop.command(control(RF_DISCOVER_SELECT_CMD, {0x02, 0x04, 0x02})), control(RF_DISCOVER_SELECT_RSP, {STATUS_OK}));
    const Bytes activation = loop.host.packet();
    ASSERT_GE(activation.size(), 6u);
    EXPECT_EQ((Bytes{activation[3], activation[4], activation[5]}), (Bytes{0x02, 0x02, 0x04}));
    EXPECT_TRUE(loop.violations().empty()) << loop.sim.describe();
}
