// The NCI driver's RF side below the NFC manager: what hostile activation notifications leave in
// the tag record, host selection that gets no activation, and the pure derivations (tag types,
// bit rates, frame mapping).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "L1/nci/nci.h"
#include "nci/nci_simulator.h"
#include "nci_stack.h"
#include "os/os_mem.h"
#include "platform.h"
#include "tags/iso_dep_tag.h"
#include "tags/t2t_tag.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::NciIdentity;
using ncisim::NciMessage;
using ncisim::NciSimulator;

constexpr uint16_t kRfDiscover = 0x2103, kRfDiscoverSelect = 0x2104, kRfDeactivate = 0x2106;

std::vector<Bytes> commands(const NciSimulator& sim, uint16_t opcode) {
    std::vector<Bytes> out;
    for (const NciMessage& m : sim.recorder().received())
        if (m.key() == opcode) out.push_back(m.payload);
    return out;
}

struct NciDiscovering : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        ASSERT_TRUE(stack.start(sim.portPath()));
        const auto conf = stack.activate();
        ASSERT_TRUE(conf && conf->cause == 0);
        ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0x1 | 0x2, &params}));
        const auto listening = stack.waitFor(NFCLL_LISTEN_CONF);
        ASSERT_TRUE(listening && nfcllMsgGet<NFCLL_LISTEN_CONF>(*listening).cause == 0) << sim.describe();
    }
    // An activation notification of the given technology parameters and activation parameters.
    void activate(uint8_t protocol, uint8_t rfInterface, uint8_t techMode, const Bytes& tech, const Bytes& activation) {
        Bytes p{0x01, rfInterface, protocol, techMode, 0xFF, 0x01, static_cast<uint8_t>(tech.size())};
        p.insert(p.end(), tech.begin(), tech.end());
        p.insert(p.end(), {techMode, 0x00, 0x00, static_cast<uint8_t>(activation.size())});
        p.insert(p.end(), activation.begin(), activation.end());
        sim.send(NciMessage::control(0x6105, p));
    }

    TraceCapture cap;
    TNfcListenParam params{};
    NciSimulator sim{NciIdentity::generic()};
    NciStack stack;
};

TEST_F(NciDiscovering, IdentifiersAndHistoricalBytesLongerThanTheirFieldsAreBounded) {
    Bytes tech{0x04, 0x00, 12};   // an NFCID1 of 12 bytes
    for (uint8_t k = 0; k < 12; ++k) tech.push_back(static_cast<uint8_t>(0xA0 + k));
    tech.insert(tech.end(), {0x01, 0x20});
    Bytes ats{61, 0x78, 0x80, 0x81, 0x02};   // T0 with TA, TB, TC, then 57 historical bytes
    for (uint8_t k = 0; k < 57; ++k) ats.push_back(k);
    activate(0x04, 0x02, 0x00, tech, ats);

    const auto ind = stack.waitFor(NFCLL_DEVICE_IND);
    ASSERT_TRUE(ind) << sim.describe();
    const TNfcTagInfo tag = *nfcllMsgGet<NFCLL_DEVICE_IND>(*ind).device;
    EXPECT_EQ(+tag.tagType, 0x1u);
    EXPECT_EQ(+tag.uidLength, 10);
    EXPECT_EQ(tag.uid[9], 0xA9);
    EXPECT_EQ(tag.uid[10], 0x00);
    EXPECT_EQ(+tag.historicalBytesLength, 33);
    EXPECT_EQ(tag.a.historicalBytes[32], 32);
}

TEST_F(NciDiscovering, HigherLayerResponseLongerThanItsFieldIsBounded) {
    const Bytes sensb{11, 0x11, 0x22, 0x33, 0x44, 0x01, 0x02, 0x03, 0x04, 0x00, 0x81, 0x81};
    Bytes attrib{41, 0x00};   // MBLI and CID, then 40 bytes of higher-layer response
    for (uint8_t k = 0; k < 40; ++k) attrib.push_back(static_cast<uint8_t>(0x40 + k));
    activate(0x04, 0x02, 0x01, sensb, attrib);
    const auto ind = stack.waitFor(NFCLL_DEVICE_IND);
    ASSERT_TRUE(ind) << sim.describe();
    const TNfcTagInfo tag = *nfcllMsgGet<NFCLL_DEVICE_IND>(*ind).device;
    EXPECT_EQ(+tag.tagType, 0x2u);
    EXPECT_EQ(Bytes(tag.uid, tag.uid + tag.uidLength), (Bytes{0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(Bytes(tag.b.applicationData, tag.b.applicationData + 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(+tag.higherLayerResponseLength, 32);
    EXPECT_EQ(tag.b.higherLayerResponse[31], 0x40 + 31);
}

TEST_F(NciDiscovering, ParameterLengthsBeyondTheNotificationAreRefusedWithoutAReport) {
    Bytes p{0x01, 0x01, 0x02, 0x00, 0xFF, 0x01, 200, 0x44, 0x00, 0x07, 0x04, 0x11, 0x22};   // 200 bytes announced, 6 there
    sim.send(NciMessage::control(0x6105, p));
    // The driver sets the controller free again and discovers anew, without a notification of
    // the deactivation from this controller, which never activated anything.
    ASSERT_TRUE(sim.waitForCommands(kRfDiscover, 2, 3000)) << sim.describe();
    EXPECT_TRUE(cap.contains("nci: ! Invalid tech parameter length 200"));
    EXPECT_EQ(commands(sim, kRfDeactivate), (std::vector<Bytes>{{0x00}}));
    EXPECT_EQ(stack.count(NFCLL_DEVICE_IND), 0u);
}

TEST(NciSelection, SelectionThatGetsNoActivationTakesTheControllerBackToIdleOnce) {
    debugSetFlags(0xFFFFFFFFu);
    NciSimulator sim(NciIdentity::generic());
    NciStack stack;
    ASSERT_TRUE(stack.start(sim.portPath()));
    ASSERT_TRUE(stack.activate());
    sim.rf().enter(std::make_shared<simtags::T2tTag>());
    sim.rf().enter(std::make_shared<simtags::IsoDepTag>(simtags::Technology::B));
    // A controller that accepts the selection and then never activates.
    sim.onCommand(kRfDiscoverSelect, [](ncisim::Controller& c, const NciMessage&) { c.respond(0x4104, {0x00}); });
    TNfcListenParam params{};
    ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0x1 | 0x2, &params}));
    const auto last = stack.waitFor(NFCLL_ENDPOINT_IND, 1);
    ASSERT_TRUE(last) << sim.describe();
    EXPECT_EQ(nfcllMsgGet<NFCLL_ENDPOINT_IND>(*last).last, 1u);
    ASSERT_TRUE(stack.request<NFCLL_SELECT_REQ>({0, 0x40}));
    const auto selected = stack.waitFor(NFCLL_SELECT_CONF);
    ASSERT_TRUE(selected);
    EXPECT_EQ(nfcllMsgGet<NFCLL_SELECT_CONF>(*selected).cause, 0);
    // After the response time-out: one deactivation to idle, and discovery again.
    ASSERT_TRUE(sim.waitForCommands(kRfDiscover, 2, 3000)) << sim.describe();
    ASSERT_TRUE(stack.waitFor(NFCLL_ENDPOINT_IND, 3, 3000)) << sim.describe();
    EXPECT_EQ(commands(sim, kRfDeactivate), (std::vector<Bytes>{{0x00}}));
    EXPECT_EQ(commands(sim, kRfDiscover).size(), 2u);
    EXPECT_TRUE(sim.recorder().violations().empty()) << sim.describe();
}

// ---- MIFARE Classic on maker 0x04 -----------------------------------------------------------

// A MIFARE Classic 4K card active on the maker's own interface, its authentication refused.
struct NciMifare : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        ASSERT_TRUE(stack.start(sim.portPath()));
        ASSERT_TRUE(stack.activate());
        TNfcListenParam params{};
        ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0x1, &params}));
        ASSERT_TRUE(stack.waitFor(NFCLL_LISTEN_CONF));
        sim.send(NciMessage::control(0x6105, kActivation));
        const auto ind = stack.waitFor(NFCLL_DEVICE_IND);
        ASSERT_TRUE(ind) << sim.describe();
        EXPECT_EQ(+nfcllMsgGet<NFCLL_DEVICE_IND>(*ind).device->tagType, 0x20u);
        ASSERT_TRUE(stack.request<NFCLL_DEVICE_RESP>({nullptr, 0}));
    }
    // Authenticates block 200 with key A and has the card refuse it.
    void failAuthentication() {
        sim.call([](ncisim::Controller& c) {
            ncisim::Connection rf;
            // The maker's interface ends every frame with its status byte.
            rf.onData = [](ncisim::Controller& ctl, const NciMessage&) { ctl.sendData(0, {0x40, 0x01, 0x00}); };
            c.closeConnection(0);
            c.openConnection(std::move(rf));
        });
        ASSERT_TRUE(stack.request<NFCLL_TRANSACTION_REQ>({kAuth, sizeof kAuth, 0}));
    }
    // Block 200 of a 4K card is in sector 32 + (200 - 128) / 16 = 36.
    void expectAuthenticationSent() {
        EXPECT_EQ(commands(sim, 0x0000), (std::vector<Bytes>{{0x40, 36, 0x10, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5}}));
    }

    static inline const Bytes kActivation{0x01, 0x80, 0x80, 0x00, 0xFF, 0xFF, 0x09, 0x02, 0x00, 0x04, 0xA1, 0xA2,
                                          0xA3, 0xA4, 0x01, 0x18, 0x00, 0x00, 0x00, 0x00};
    static constexpr uint8_t kAuth[12] = {0x60, 200, 0xA1, 0xA2, 0xA3, 0xA4, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
    NciSimulator sim{NciIdentity::nxp()};
    NciStack stack;
};

TEST_F(NciMifare, CardThatDoesNotComeBackAfterAFailedAuthenticationIsReportedGoneByTheTimer) {
    sim.onCommand(kRfDeactivate, [](ncisim::Controller& c, const NciMessage&) {
        c.respond(0x4106, {0x00});
        c.respond(0x6106, {0x03, 0x00});
    });
    failAuthentication();
    const uint32_t started = platTickMs();
    const auto removed = stack.waitFor(NFCLL_TECH_REMOVE_IND, 0, 4000);
    ASSERT_TRUE(removed) << sim.describe();
    EXPECT_GE(platTickMs() - started, NCI_MIFARE_REACTIVATION_MS - 10);
    EXPECT_EQ(commands(sim, kRfDeactivate), (std::vector<Bytes>{{0x03}}));
    expectAuthenticationSent();
}

TEST_F(NciMifare, CardThatComesBackAfterAFailedAuthenticationAnswersWithTheAuthenticationCause) {
    sim.onCommand(kRfDeactivate, [](ncisim::Controller& c, const NciMessage&) {
        c.respond(0x4106, {0x00});
        c.respond(0x6106, {0x03, 0x00});
        c.respond(0x6105, kActivation);
    });
    failAuthentication();
    const auto ind = stack.waitFor(NFCLL_TRANSACTION_IND);
    ASSERT_TRUE(ind) << sim.describe();
    const auto f = nfcllMsgGet<NFCLL_TRANSACTION_IND>(*ind);
    ASSERT_NE(f.result, nullptr);
    EXPECT_EQ(f.result->cause, 0x13);
    if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.result);
    EXPECT_EQ(stack.count(NFCLL_TECH_REMOVE_IND), 0u);
    expectAuthenticationSent();
}

TEST_F(NciMifare, WriteGoesInTwoPartsEachAcknowledged) {
    sim.call([](ncisim::Controller& c) {
        ncisim::Connection rf;
        rf.onData = [](ncisim::Controller& ctl, const NciMessage&) { ctl.sendData(0, {0x10, 0x0A, 0x00}); };
        c.closeConnection(0);
        c.openConnection(std::move(rf));
    });
    Bytes write{0xA0, 0x04};
    for (uint8_t k = 0; k < 16; ++k) write.push_back(static_cast<uint8_t>(0xD0 + k));
    ASSERT_TRUE(stack.request<NFCLL_TRANSACTION_REQ>({write.data(), static_cast<uint16_t>(write.size()), 0}));
    const auto ind = stack.waitFor(NFCLL_TRANSACTION_IND);
    ASSERT_TRUE(ind) << sim.describe();
    const auto f = nfcllMsgGet<NFCLL_TRANSACTION_IND>(*ind);
    ASSERT_NE(f.result, nullptr);
    EXPECT_EQ(f.result->cause, 0);
    if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.result);
    Bytes second{0x10};
    second.insert(second.end(), write.begin() + 2, write.end());
    EXPECT_EQ(commands(sim, 0x0000), (std::vector<Bytes>{{0x10, 0xA0, 0x04}, second}));
}

TEST(NciHostRoutes, ListeningAsACardRoutesItsTechnologyAndProtocolToTheHost) {
    debugSetFlags(0xFFFFFFFFu);
    NciSimulator sim(NciIdentity::generic());
    NciStack stack;
    ASSERT_TRUE(stack.start(sim.portPath()));
    ASSERT_TRUE(stack.activate());
    TNfcListenParam params{};
    ASSERT_TRUE(stack.request<NFCLL_LISTEN_REQ>({0x1 | 0x100000, &params}));
    const auto conf = stack.waitFor(NFCLL_LISTEN_CONF);
    ASSERT_TRUE(conf && nfcllMsgGet<NFCLL_LISTEN_CONF>(*conf).cause == 0) << sim.describe();
    // NFC-A and ISO-DEP, each switched on for the host.
    EXPECT_EQ(commands(sim, 0x2101),
              (std::vector<Bytes>{{0x00, 0x02, 0x00, 0x03, 0x00, 0x01, 0x00, 0x01, 0x03, 0x00, 0x01, 0x04}}));
    EXPECT_EQ(commands(sim, kRfDiscover), (std::vector<Bytes>{{0x02, 0x00, 0x01, 0x80, 0x01}}));
}

// ---- Pure derivations -----------------------------------------------------------------------

struct TypeCase {
    uint8_t protocol;
    uint8_t atqa0, atqa1, sak;
    uint32_t tagType;
};

TEST(NciTagType, NfcATagTypesComeFromAtqaAndSak) {
    const TypeCase cases[] = {
        {0x02, 0x44, 0x00, 0x00, 0x40},      {0x02, 0x04, 0x00, 0x08, 0x10},      {0x02, 0x04, 0x00, 0x09, 0x1000000},
        {0x02, 0x02, 0x00, 0x18, 0x20},      {0x02, 0x42, 0x00, 0x18, 0x4000000}, {0x02, 0x12, 0x34, 0x77, 0x40},
        {0x04, 0x48, 0x00, 0x20, 0x1},       {0x04, 0x44, 0x00, 0x20, 0x2000000}, {0x04, 0x44, 0x03, 0x20, 0x80},
        {0x04, 0x42, 0x00, 0x20, 0x4000000}, {0x04, 0x44, 0x00, 0x28, 0x1},       {0x01, 0x0C, 0x00, 0x00, 0x400},
    };
    auto nci = std::make_unique<TNciContext>();
    for (const TypeCase& c : cases) {
        TNciEndpoint ep{};
        ep.protocol = c.protocol;
        ep.techMode = 0x00;
        ep.technology = nciTechnologyOf(0x00);
        ep.tech.sensRes[0] = c.atqa0;
        ep.tech.sensRes[1] = c.atqa1;
        ep.tech.selRes = c.sak;
        EXPECT_EQ(nciTagTypeOf(nci.get(), ep), c.tagType) << std::hex << int(c.protocol) << " " << int(c.sak);
    }
}

TEST(NciBitRate, CodesMapToKilobitsPerSecond) {
    const uint32_t expected[] = {106, 212, 424, 848, 1695, 3390, 6780};
    for (uint8_t code = 0; code < 7; ++code) EXPECT_EQ(nciBitRateKbps(code, 0x00), expected[code]);
    EXPECT_EQ(nciBitRateKbps(0x80, 0x00), 7u);
    EXPECT_EQ(nciBitRateKbps(0x80, 0x04), 0u);
    EXPECT_EQ(nciBitRateKbps(0x81, 0x04), 26u);
    TraceCapture cap;
    debugSetFlags(0xFFFFFFFFu);
    EXPECT_EQ(nciBitRateKbps(0x07, 0x00), 0u);
    EXPECT_EQ(cap.count("nci: ! Data rate not recognized"), 1u);
}

TEST(NciFrameMapping, TheFrameInterfaceGivesFramesWithoutTheirStatusByte) {
    auto nci = std::make_unique<TNciContext>();
    nciDefaultHooks(nci.get());
    auto map = [&](Bytes frame, uint32_t* length) {
        static Bytes kept;
        kept = std::move(frame);
        const uint8_t* data = kept.data();
        *length = static_cast<uint32_t>(kept.size());
        return nci->mapIncoming(nci.get(), &data, length);
    };
    uint32_t length = 0;
    ASSERT_EQ(nciSetFrameMapping(nci.get(), 1, 0x02), 0);
    EXPECT_EQ(map({0xAA, 0xBB, 0x00}, &length), 0);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(map({0xAA, 0x03}, &length), 0x0A);
    EXPECT_EQ(map({}, &length), 0x0B);
    // ISO 15693 frames of most makers come whole; ISO-DEP and NFC-DEP always do.
    for (auto [rfInterface, protocol] : {std::pair<uint8_t, uint8_t>{1, 0x86}, {2, 0x04}, {3, 0x05}}) {
        ASSERT_EQ(nciSetFrameMapping(nci.get(), rfInterface, protocol), 0);
        EXPECT_EQ(map({0xAA, 0x03}, &length), 0);
        EXPECT_EQ(length, 2u);
    }
    nci->maker = 0x07;
    ASSERT_EQ(nciSetFrameMapping(nci.get(), 1, 0x86), 0);
    EXPECT_EQ(map({0xAA, 0x03}, &length), 0x0A);
    EXPECT_EQ(nciSetFrameMapping(nci.get(), 9, 0x02), 0x0B);
}

} // namespace
