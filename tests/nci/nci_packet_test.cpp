#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "L1/nci/nci_packet.h"
#include "L1/nci/nci_trace.h"
#include "nci/nci_simulator.h"
#include "pty_host.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Upcall {
    uint32_t kind;
    uint16_t opcode;
    uint8_t connId;
    Bytes payload;      // for credits: empty
    uint32_t length;    // for credits: the connection's credits

    bool operator==(const Upcall&) const = default;
};

// The packet layer between a recording transport and a recording driver.
struct NciPacketTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(NCI_TRC_ERROR | NCI_TRC_FRAME);
        nciPacketInit(&layer, &NciPacketTest::onSend, this, &NciPacketTest::onReceive, this);
    }
    void TearDown() override {
        nciPacketDone(&layer);
        debugSetFlags(0xFFFFFFFFu);
    }

    static uint32_t onSend(void* user, const uint8_t* packet, uint32_t length) {
        auto* self = static_cast<NciPacketTest*>(user);
        self->sent.emplace_back(packet, packet + length);
        return self->sent.size() == self->failAt ? self->failCause : 0;
    }
    static void onReceive(void* user, uint32_t kind, uint16_t opcode, uint8_t connId, const uint8_t* payload,
                          uint32_t length) {
        auto* self = static_cast<NciPacketTest*>(user);
        Bytes bytes = payload ? Bytes(payload, payload + length) : Bytes{};
        self->upcalls.push_back({kind, opcode, connId, bytes, payload ? static_cast<uint32_t>(bytes.size()) : length});
    }

    void receive(const Bytes& packet) { nciPacketReceive(&layer, packet.data(), static_cast<uint32_t>(packet.size())); }
    std::vector<size_t> segmentSizes() const {
        std::vector<size_t> out;
        for (const auto& p : sent) out.push_back(p.size() - 3);
        return out;
    }

    TNciPacketLayer layer;
    std::vector<Bytes> sent;
    std::vector<Upcall> upcalls;
    size_t failAt = 0;
    uint32_t failCause = 0;
    TraceCapture capture;
};

Bytes filled(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

} // namespace

TEST_F(NciPacketTest, MessagesAreCutAtTheConnectionOrControlPayload) {
    struct Case {
        const char* what;
        uint8_t controlPayload;
        uint8_t connId;
        uint8_t connPayload;
        uint16_t opcode;
        size_t length;
        std::vector<size_t> segments;
    };
    const Case cases[] = {
        {"data on the static RF connection", 255, 0, 252, 0x0000, 600, {252, 252, 96}},
        {"data on a dynamic connection", 255, 2, 20, 0x0000, 40, {20, 20}},
        {"control at the announced payload", 10, 0, 252, 0x2002, 25, {10, 10, 5}},
        {"control message at the NCI maximum", 255, 0, 252, 0x2103, 300, {255, 45}},
        {"empty control message", 255, 0, 252, 0x2001, 0, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sent.clear();
        layer.maxControlPayload = c.controlPayload;
        ASSERT_EQ(nciConnectionSetup(&layer, c.connId, c.connPayload, NCI_CREDITS_UNLIMITED), 0u);
        Bytes payload = filled(c.length);
        EXPECT_EQ(nciPacketSend(c.connId, &layer, c.opcode, payload.data(), static_cast<uint32_t>(c.length)), 0u);
        ASSERT_EQ(segmentSizes(), c.segments);
        Bytes joined;
        for (size_t k = 0; k < sent.size(); ++k) {
            bool last = k + 1 == sent.size();
            uint8_t first = c.opcode < 0x2000 ? c.connId : static_cast<uint8_t>(c.opcode >> 8);
            EXPECT_EQ(sent[k][0], first | (last ? 0 : 0x10));
            EXPECT_EQ(sent[k][1], c.opcode < 0x2000 ? 0 : (c.opcode & 0xFF));
            joined.insert(joined.end(), sent[k].begin() + 3, sent[k].end());
        }
        EXPECT_EQ(joined, payload);
    }
}

TEST_F(NciPacketTest, BadSendsAreRefusedWithTheirCause) {
    Bytes payload = filled(8);
    struct Case {
        const char* what;
        uint8_t connId;
        uint16_t opcode;
        uint32_t cause;
    };
    const Case cases[] = {
        {"connection id 15", 15, 0x0000, 0x0B},
        {"connection not open", 3, 0x0000, 0x11},
        {"control message on a dynamic connection", 1, 0x2000, 0x11},
    };
    ASSERT_EQ(nciConnectionSetup(&layer, 1, 10, 1), 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(nciPacketSend(c.connId, &layer, c.opcode, payload.data(), 8), c.cause);
    }
    // A payload of 0 could never carry a byte: refused, the connection stays as it was.
    EXPECT_EQ(nciConnectionSetup(&layer, 1, 0, 5), 0x0Bu);
    EXPECT_EQ(layer.connections[1].maxPayload, 10);
    EXPECT_EQ(layer.connections[1].credits, 1);
    layer.maxControlPayload = 0;   // as a controller might announce it
    EXPECT_EQ(nciPacketSend(0, &layer, 0x2002, payload.data(), 8), 0x0Bu);
    EXPECT_TRUE(sent.empty());
}

TEST_F(NciPacketTest, AFailedEarlySegmentStopsTheMessageAndIsReported) {
    failAt = 2;
    failCause = 0x1C;
    Bytes payload = filled(600);
    EXPECT_EQ(nciPacketSend(0, &layer, 0x0000, payload.data(), 600), 0x1Cu);
    EXPECT_EQ(segmentSizes(), (std::vector<size_t>{252, 252}));   // the third is never sent
    EXPECT_TRUE(capture.contains("! Sending segment failed with cause 0x1c, 348 bytes not sent"));
}

TEST_F(NciPacketTest, SegmentsWaitForCreditAndCreditNotificationsReleaseThem) {
    ASSERT_EQ(nciConnectionSetup(&layer, 1, 4, 1), 0u);
    Bytes payload = filled(10);
    EXPECT_EQ(nciPacketSend(1, &layer, 0x0000, payload.data(), 10), 25u);
    EXPECT_EQ(segmentSizes(), (std::vector<size_t>{4}));
    EXPECT_EQ(layer.connections[1].queue.count, 2u);
    // Later messages wait behind the queued ones even when a credit is there.
    receive({0x60, 0x06, 0x03, 0x01, 0x01, 0x01});
    EXPECT_EQ(segmentSizes(), (std::vector<size_t>{4, 4}));
    EXPECT_EQ(upcalls.back(), (Upcall{NCI_RX_CREDITS, 0x6006, 1, {}, 1}));
    receive({0x60, 0x06, 0x03, 0x01, 0x01, 0x01});
    EXPECT_EQ(segmentSizes(), (std::vector<size_t>{4, 4, 2}));
    EXPECT_EQ(sent.back()[0], 0x01);   // the last segment, PBF clear
    EXPECT_EQ(layer.connections[1].credits, 0);

    // More credits than the connection ever had are not added.
    receive({0x60, 0x06, 0x03, 0x01, 0x01, 0x01});
    receive({0x60, 0x06, 0x03, 0x01, 0x01, 0x01});
    EXPECT_EQ(layer.connections[1].credits, 1);
    EXPECT_TRUE(capture.contains("! Warning, credit (1+1 > 1) overflow for connection 1, qSize 0"));

    // Without flow control nothing is counted or queued.
    sent.clear();
    EXPECT_EQ(nciPacketSend(0, &layer, 0x0000, payload.data(), 10), 0u);
    EXPECT_EQ(layer.connections[0].credits, NCI_CREDITS_UNLIMITED);
    EXPECT_EQ(sent.size(), 1u);

    // Closing drops what waits.
    nciPacketSend(1, &layer, 0x0000, payload.data(), 10);
    nciPacketSend(1, &layer, 0x0000, payload.data(), 10);
    EXPECT_GT(layer.connections[1].queue.count, 0u);
    nciConnectionClose(&layer, 1);
    EXPECT_EQ(layer.connections[1].queue.head, nullptr);
    EXPECT_EQ(layer.connections[1].valid, 0u);
}

TEST_F(NciPacketTest, AConnectionOpenedWithoutCreditSendsOnceCreditComes) {
    ASSERT_EQ(nciConnectionSetup(&layer, 2, 4, 0), 0u);
    Bytes payload = filled(8);
    EXPECT_EQ(nciPacketSend(2, &layer, 0x0000, payload.data(), 8), 25u);
    EXPECT_TRUE(sent.empty());
    receive({0x60, 0x06, 0x03, 0x01, 0x02, 0x02});
    EXPECT_EQ(segmentSizes(), (std::vector<size_t>{4, 4}));
    EXPECT_EQ(layer.connections[2].credits, 0);
    EXPECT_FALSE(capture.contains("overflow for connection 2"));
}

TEST_F(NciPacketTest, CreditNotificationsAreReadOnlyAsFarAsTheyGo) {
    ASSERT_EQ(nciConnectionSetup(&layer, 1, 4, 3), 0u);
    ASSERT_EQ(nciConnectionSetup(&layer, 2, 4, 3), 0u);
    layer.connections[1].credits = 0;
    layer.connections[2].credits = 0;
    struct Case {
        const char* what;
        Bytes packet;
        const char* trace;
        uint8_t credits1, credits2;
    };
    const Case cases[] = {
        {"three pairs announced, one present", {0x60, 0x06, 0x03, 0x03, 0x01, 0x01}, "! Wrong size of credit packet (is 3, expected 7)", 1, 0},
        {"half a pair", {0x60, 0x06, 0x04, 0x02, 0x02, 0x01, 0x01}, "! Wrong size of credit packet (is 4, expected 5)", 1, 1},
        {"connection 15", {0x60, 0x06, 0x03, 0x01, 0x0F, 0x01}, "! Credits for connection 15, which is not open, ignored", 1, 1},
        {"closed connection", {0x60, 0x06, 0x03, 0x01, 0x05, 0x01}, "! Credits for connection 5, which is not open, ignored", 1, 1},
        {"header lies about the length", {0x60, 0x06, 0x09, 0x01, 0x01, 0x01}, "! Warning, invalid message size (is 0x06, expected 0x0C)", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        capture.clear();
        receive(c.packet);
        EXPECT_TRUE(capture.contains(c.trace));
        EXPECT_EQ(layer.connections[1].credits, c.credits1);
        EXPECT_EQ(layer.connections[2].credits, c.credits2);
    }
}

TEST_F(NciPacketTest, SegmentsArePutBackTogetherAroundCreditNotifications) {
    ASSERT_EQ(nciConnectionSetup(&layer, 1, 4, 1), 0u);
    layer.connections[1].credits = 0;
    receive({0x51, 0x03, 0x02, 0xAA, 0xBB});
    receive({0x60, 0x06, 0x03, 0x01, 0x01, 0x01});
    receive({0x51, 0x03, 0x01, 0xCC});
    receive({0x41, 0x03, 0x01, 0xDD});
    EXPECT_EQ(upcalls, (std::vector<Upcall>{{NCI_RX_SEGMENT, 0x4103, 0, {}, 0},
                                            {NCI_RX_CREDITS, 0x6006, 1, {}, 1},
                                            {NCI_RX_SEGMENT, 0x4103, 0, {}, 0},
                                            {NCI_RX_MESSAGE, 0x4103, 0, {0xAA, 0xBB, 0xCC, 0xDD}, 4}}));

    // Data segments belong to their connection and come up under opcode 0 with its id.
    upcalls.clear();
    receive({0x12, 0x00, 0x02, 0x01, 0x02});
    receive({0x02, 0x00, 0x01, 0x03});
    EXPECT_EQ(upcalls.back(), (Upcall{NCI_RX_MESSAGE, 0x0000, 2, {0x01, 0x02, 0x03}, 3}));
}

TEST_F(NciPacketTest, BrokenSequencesDropThePartialMessage) {
    struct Case {
        const char* what;
        std::vector<Bytes> packets;
        std::vector<Upcall> messages;   // upcalls of kind 12 only
        const char* trace;
    };
    const Case cases[] = {
        {"another message interrupts", {{0x51, 0x03, 0x01, 0xAA}, {0x61, 0x07, 0x01, 0x01}},
         {{NCI_RX_MESSAGE, 0x6107, 0, {0x01}, 1}},
         "! Warning, received message type 0x6107, but expected message fragment with type 0x4103. Discarding"},
        {"data of another connection interrupts", {{0x11, 0x00, 0x01, 0xAA}, {0x02, 0x00, 0x01, 0xBB}},
         {{NCI_RX_MESSAGE, 0x0000, 2, {0xBB}, 1}},
         "! Warning, received message type 0x200, but expected message fragment with type 0x100. Discarding"},
        {"header announces more than arrived", {{0x51, 0x03, 0x01, 0xAA}, {0x41, 0x03, 0x05, 0xBB}},
         {{NCI_RX_MESSAGE, 0x4103, 0, {}, 0}}, "! Warning, invalid message size (is 0x04, expected 0x08)"},
        {"too short for a header", {{0x41, 0x03}}, {}, "! Warning, invalid message size (is 0x02, expected 0x03)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        upcalls.clear();
        capture.clear();
        for (const auto& p : c.packets) receive(p);
        std::vector<Upcall> messages;
        for (const auto& u : upcalls)
            if (u.kind == NCI_RX_MESSAGE) messages.push_back(u);
        EXPECT_EQ(messages, c.messages);
        EXPECT_TRUE(capture.contains(c.trace));
    }
}

TEST_F(NciPacketTest, AnEndlessSegmentStreamIsBoundedAndNeverComesUpInPieces) {
    Bytes segment(3 + 255, 0x5A);
    segment[0] = 0x10;   // data, connection 0, more to come
    segment[1] = 0x00;
    segment[2] = 255;
    for (uint32_t sent = 0; sent <= NCI_RX_MAX_MESSAGE + 1024; sent += 255) receive(segment);
    EXPECT_LE(layer.rxCapacity, NCI_RX_MAX_MESSAGE);
    EXPECT_TRUE(capture.contains("! Warning, message of more than 65536 bytes, discarding it"));
    receive({0x00, 0x00, 0x01, 0x77});   // the last segment of the refused message
    receive({0x00, 0x00, 0x01, 0x88});   // a message of its own
    std::vector<Upcall> messages;
    for (const auto& u : upcalls)
        if (u.kind == NCI_RX_MESSAGE) messages.push_back(u);
    EXPECT_EQ(messages, (std::vector<Upcall>{{NCI_RX_MESSAGE, 0x0000, 0, {0x88}, 1}}));
}

TEST(NciResponseTimeout, FollowsTagAndTechnologyTimeouts) {
    struct Case {
        uint32_t tagType, tagTimeout, techTimeout;
        bool data;
        uint32_t timeout;
    };
    const Case cases[] = {
        {0x80, 100, 200, true, 1000},    // technology timeout wins, x8 + 30 capped at 1000
        {0x80, 50, 50, true, 430},
        {0x80, 1400, 0, true, 1400},     // no technology timeout: the tag timeout
        {0x80, 1400, 100, true, 1400},
        {0x1000, 1400, 0, true, 0},      // P2P data: no timer
        {0x1000, 1400, 100, true, 830},
        {0x1000, 1400, 0, false, 1400},  // P2P, not a data exchange
    };
    for (const auto& c : cases)
        EXPECT_EQ(nciResponseTimeout(c.tagType, c.tagTimeout, c.techTimeout, c.data), c.timeout)
            << c.tagType << " " << c.tagTimeout << " " << c.techTimeout;
}

// The packet layer against the simulated controller over a real pseudo-terminal: a loopback
// connection with one credit and a small payload, answered in small segments.
namespace {

struct LoopbackLink {
    static uint32_t send(void* user, const uint8_t* packet, uint32_t length) {
        return static_cast<LoopbackLink*>(user)->host.write(Bytes(packet, packet + length)) ? 0 : 0x1C;
    }
    static void receive(void* user, uint32_t kind, uint16_t opcode, uint8_t connId, const uint8_t* payload,
                        uint32_t length) {
        if (kind == NCI_RX_MESSAGE)
            static_cast<LoopbackLink*>(user)->messages.push_back({kind, opcode, connId, Bytes(payload, payload + length), length});
    }
    // Feeds what the controller sends until a whole message has come up (bounded).
    bool pump() {
        size_t before = messages.size();
        for (int i = 0; i < 64 && messages.size() == before; ++i) {
            Bytes p = host.packet();
            if (p.size() < 3) return false;
            nciPacketReceive(&layer, p.data(), static_cast<uint32_t>(p.size()));
        }
        return messages.size() > before;
    }

    explicit LoopbackLink(const std::string& port) : host(port) {}
    PtyHost host;
    TNciPacketLayer layer;
    std::vector<Upcall> messages;
};

} // namespace

TEST(NciPacketLayerOnTheLine, LoopbackRoundTripHonoursCreditsAndSegments) {
    ncisim::NciIdentity id;
    id.loopbackMaxPayload = 4;
    id.loopbackCredits = 1;
    id.txDataSegment = 3;
    id.maxControlPayload = 8;
    ncisim::NciSimulator sim(id);
    LoopbackLink link(sim.portPath());
    ASSERT_TRUE(link.host.ok());
    nciPacketInit(&link.layer, &LoopbackLink::send, &link, &LoopbackLink::receive, &link);
    link.layer.maxControlPayload = 8;
    // The controller takes nothing but reset and init before it is initialised.
    const Bytes resetConfig{0x01};
    ASSERT_EQ(nciPacketSend(0, &link.layer, 0x2000, resetConfig.data(), 1), 0u);
    ASSERT_TRUE(link.pump());
    ASSERT_EQ(nciPacketSend(0, &link.layer, 0x2001, nullptr, 0), 0u);
    ASSERT_TRUE(link.pump());

    const Bytes create{0x01, 0x00};
    ASSERT_EQ(nciPacketSend(0, &link.layer, 0x2004, create.data(), 2), 0u);
    ASSERT_TRUE(link.pump());
    const Upcall& rsp = link.messages.back();
    ASSERT_EQ(rsp.opcode, 0x4004);
    ASSERT_EQ(rsp.payload.size(), 4u);
    ASSERT_EQ(rsp.payload[0], 0x00);
    uint8_t conn = rsp.payload[3];
    ASSERT_EQ(nciConnectionSetup(&link.layer, conn, rsp.payload[1], rsp.payload[2]), 0u);

    Bytes data = filled(11);
    EXPECT_EQ(nciPacketSend(conn, &link.layer, 0x0000, data.data(), 11), 25u);   // 4 sent, 4 + 3 wait
    ASSERT_TRUE(link.pump()) << sim.describe();
    EXPECT_EQ(link.messages.back(), (Upcall{NCI_RX_MESSAGE, 0x0000, conn, data, 11}));
    EXPECT_EQ(link.layer.connections[conn].credits, 1);
    EXPECT_EQ(link.layer.connections[conn].queue.count, 0u);

    Bytes config = filled(13);   // a control message cut at the announced 8 bytes
    config[0] = 4;
    for (int k = 0; k < 4; ++k) config[1 + 3 * k] = static_cast<uint8_t>(0x30 + k), config[2 + 3 * k] = 1;
    ASSERT_EQ(nciPacketSend(0, &link.layer, 0x2002, config.data(), 13), 0u);
    ASSERT_TRUE(link.pump());
    EXPECT_EQ(link.messages.back().opcode, 0x4002);
    auto received = sim.waitForCommand(3, 2000);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->payload, config);
    EXPECT_TRUE(sim.recorder().violations().empty()) << sim.describe();
    nciPacketDone(&link.layer);
}
