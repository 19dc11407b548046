// The frame reader: reassembly over any cut of the stream, control frames, information frames
// and their checks, and answers too short for the fields the response table reads.
#include <random>

#include "pn53x_fixture.h"

namespace {

using pn53xsim::Fault;

constexpr uint8_t kInSelect = 0x54;
const SeenEvent kAck{NFC53X_EVT_ACK, {}};

}  // namespace

void PrintTo(const SeenEvent& e, std::ostream* os) {
    *os << "event " << e.event << " (" << e.output.size() << " bytes)";
}

namespace {

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ReaderTest : public Pn53xTest {
protected:
    void SetUp() override {
        Pn53xTest::SetUp();
        part->pendingId = 7;   // InSelect: its answer is a plain status
    }
    // Delivers the stream in pieces of these sizes (the rest in one) and returns what was seen.
    std::vector<SeenEvent> deliverCut(const Bytes& stream, std::vector<size_t> pieces) {
        seen.clear();
        h.setSplit(std::move(pieces));
        h.deliver(stream);
        return seen;
    }
};

TEST_F(ReaderTest, AnAckAndAnswerCutAtEveryPointGiveTheSameEvents) {
    const Bytes stream = Pn532Sim::ack() + Pn532Sim::frame(0x55, {0x00, 0xAB});
    const std::vector<SeenEvent> whole = deliverCut(stream, {});
    ASSERT_EQ(whole, (std::vector<SeenEvent>{kAck, {NFC53X_EVT_GENERIC_RESPONSE, {0x00, 0xAB}}}));
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        EXPECT_EQ(deliverCut(stream, {cut}), whole) << "cut at " << cut;
        EXPECT_EQ(part->rxLength, 0u);
    }
}

TEST_F(ReaderTest, AnAckSplitInTwoWaitsForItsSecondHalf) {
    EXPECT_TRUE(deliverCut({0x00, 0x00, 0xFF}, {}).empty());
    EXPECT_EQ(deliverCut({0x00, 0xFF, 0x00}, {}), std::vector<SeenEvent>{kAck});
}

TEST_F(ReaderTest, RandomCutsOfAMixedStreamGiveTheSameEvents) {
    const Bytes stream = Pn532Sim::ack() + Pn532Sim::frame(0x55, {0x00, 1, 2, 3}) + Pn532Sim::nack() +
                         Pn532Sim::errorFrame() + Pn532Sim::hlFrame("00", "00", {9, 9}) +
                         Pn532Sim::frame(0x55, Bytes(300, 0x00), true) + Pn532Sim::hlFrame("01", "02") +
                         Pn532Sim::ack() + Pn532Sim::frame(0x55, {0x00});
    const std::vector<SeenEvent> whole = deliverCut(stream, {});
    ASSERT_EQ(events(), (std::vector<uint32_t>{7, 10, 8, 13, 7, 10, 8, 7, 10}));
    std::mt19937 random(34);
    for (int round = 0; round < 300; ++round) {
        std::vector<size_t> pieces;
        for (size_t at = 0; at < stream.size();) {
            pieces.push_back(1 + random() % 40);
            at += pieces.back();
        }
        ASSERT_EQ(deliverCut(stream, pieces), whole) << "round " << round;
    }
}

TEST_F(ReaderTest, ABrokenFrameStartResynchronisesOnTheNextStartCode) {
    const Bytes stream = Bytes{0x00, 0x00, 0xFF, 0x33, 0x10} + Pn532Sim::ack() + Pn532Sim::frame(0x55, {0x00});
    for (size_t cut = 1; cut < stream.size(); ++cut)
        EXPECT_EQ(deliverCut(stream, {cut}), (std::vector<SeenEvent>{kAck, {NFC53X_EVT_GENERIC_RESPONSE, {0x00}}}))
            << "cut at " << cut;
    EXPECT_TRUE(cap.contains("nfc53x: start of packed code found at pos 6"));
}

TEST_F(ReaderTest, GarbageBytesAreDroppedAsRejectedFrames) {
    deliverCut(Bytes{0x12, 0x34, 0x56} + Pn532Sim::ack() + Pn532Sim::frame(0x55, {0x00}), {});
    EXPECT_EQ(events(), (std::vector<uint32_t>{1, 1, 1, 7, 10}));
    EXPECT_EQ(part->rxLength, 0u);
}

TEST_F(ReaderTest, The601stBufferedByteEmptiesTheBuffer) {
    // An extended frame that claims 768 bytes can never complete inside 600.
    const Bytes start = Bytes{0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x03, 0x00, 0xFD} + Bytes(592, 0x00);
    deliverCut(start, {});
    EXPECT_EQ(part->rxLength, 600u);
    deliverCut({0x00}, {});
    EXPECT_EQ(part->rxLength, 0u);
    EXPECT_TRUE(cap.contains("nfc53x: ! fragmented upstream message too long, discarded"));
    EXPECT_EQ(deliverCut(Pn532Sim::ack(), {}), std::vector<SeenEvent>{kAck});
}

// A flag-1 row keeps the line after its ACK; a NACK or error frame frees it all the same.
TEST_F(ReaderTest, NackAndErrorFrameEndTheRequestEvenForABlockingRow) {
    for (const Bytes& refusal : {Pn532Sim::nack(), Pn532Sim::errorFrame()}) {
        ASSERT_TRUE(command(NFC53X_REQ_RF_CONFIGURATION, {}));
        deliverCut(Pn532Sim::ack(), {});
        EXPECT_EQ(part->inProcess, 1u);
        EXPECT_TRUE(ll->timers[NFC53X_TIMER_RESPONSE].running);
        deliverCut(refusal, {});
        EXPECT_EQ(part->inProcess, 0u);
        EXPECT_FALSE(ll->timers[NFC53X_TIMER_RESPONSE].running);
    }
    ASSERT_TRUE(command(NFC53X_REQ_GET_FIRMWARE_VERSION, {}));
    deliverCut(Pn532Sim::ack(), {});
    EXPECT_EQ(part->inProcess, 0u);
}

TEST_F(ReaderTest, AHalfAnswerKeepsTheRequestInProcess) {
    part->inProcess = 0;
    const Bytes answer = Pn532Sim::frame(0x55, {0x00, 1, 2});
    deliverCut(Bytes(answer.begin(), answer.begin() + 9), {});
    EXPECT_EQ(part->inProcess, 1u);
    EXPECT_TRUE(ll->timers[NFC53X_TIMER_RESPONSE].running);
    deliverCut(Bytes(answer.begin() + 9, answer.end()), {});
    EXPECT_EQ(part->inProcess, 0u);
    EXPECT_EQ(events(), std::vector<uint32_t>{10});
}

struct FaultCase {
    const char* name;
    Fault fault;
    std::vector<uint32_t> events;
};

class FaultTable : public ReaderTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTable, TheSimulatorsFaultGivesTheEvents) {
    Pn532Sim sim;
    sim.onCommand(kInSelect, [](const Bytes&) { return Bytes{0x00}; });
    sim.inject(GetParam().fault);
    answerWith(sim);
    ASSERT_TRUE(command(7, {0x01}));
    EXPECT_EQ(events(), GetParam().events);
    EXPECT_EQ(part->rxLength, 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTable,
                         ::testing::Values(FaultCase{"None", Fault::Hold, {7}}, FaultCase{"Nack", Fault::Nack, {8}},
                                           FaultCase{"ErrorFrame", Fault::ErrorFrame, {7, 13}},
                                           FaultCase{"BadDcs", Fault::BadDcs, {7, 1}},
                                           FaultCase{"BadPostamble", Fault::BadPostamble, {7, 1}},
                                           FaultCase{"Garbage", Fault::Garbage, {7, 10}},
                                           FaultCase{"HlAck", Fault::HlAck, {7, 10}},
                                           FaultCase{"HlNack", Fault::HlNack, {8}},
                                           FaultCase{"Silence", Fault::Silence, {}},
                                           FaultCase{"Extended", Fault::Extended, {7, 10}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReaderTest, AWrongLcsReadsAsAnExtendedFrameThatNeverCompletes) {
    Pn532Sim sim;
    sim.onCommand(kInSelect, [](const Bytes&) { return Bytes{0x00}; });
    sim.inject(Fault::BadLcs);
    answerWith(sim);
    ASSERT_TRUE(command(7, {0x01}));
    EXPECT_EQ(events(), std::vector<uint32_t>{7});
    EXPECT_EQ(part->inProcess, 1u);   // the response timer decides
}

TEST_F(ReaderTest, AnHlFrameSkipsItsUserData) {
    deliverCut(Pn532Sim::hlFrame("00", "00", {1, 2, 3, 4, 5}) + Pn532Sim::ack(), {});
    EXPECT_EQ(events(), (std::vector<uint32_t>{7, 7}));
    EXPECT_TRUE(cap.contains("HL response packet: User data ignored, length=5"));
}

TEST_F(ReaderTest, AnEchoIsRejectedAndAnUnknownTfiIsSkipped) {
    const Bytes echo{0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD4, 0x02, 0x2A, 0x00};
    const Bytes unknown{0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD6, 0x02, 0x28, 0x00};
    deliverCut(echo + unknown + Pn532Sim::ack(), {});
    EXPECT_EQ(events(), (std::vector<uint32_t>{1, 7}));
    EXPECT_TRUE(cap.contains("nfc53x: TAMA Input message: CC = 0x2"));
    EXPECT_TRUE(cap.contains("nfc53x: ! TAMA erroneous frame"));
}

TEST_F(ReaderTest, ARawRequestGetsTheWholeFrame) {
    part->state = NFC53X_STATE_SEND_RAW;
    const Bytes answer = Pn532Sim::frame(0x41, {0x00, 0x90, 0x00});
    EXPECT_EQ(deliverCut(answer, {}), (std::vector<SeenEvent>{{NFC53X_EVT_GENERIC_RESPONSE, answer}}));
}

TEST_F(ReaderTest, AnAnswerToAnotherCommandIsTracedAndDecoded) {
    deliverCut(Pn532Sim::frame(0x41, {0x00}), {});
    EXPECT_TRUE(cap.contains("nfc53x: ! unexpected TAMA response 0x41 wait for 0x55"));
    EXPECT_EQ(events(), std::vector<uint32_t>{10});
}

// ---- Answers too short for what the table reads -------------------------------------------------

TEST_F(ReaderTest, ALenOneFrameIsRejectedWithoutReadingACode) {
    deliverCut(Bytes{0x00, 0x00, 0xFF, 0x01, 0xFF, 0xD5, 0x2B, 0x00} + Pn532Sim::ack(), {});
    EXPECT_EQ(events(), (std::vector<uint32_t>{1, 7}));
}

TEST_F(ReaderTest, AShortFirmwareAnswerChangesNothing) {
    part->state = NFC53X_STATE_INIT4;
    part->pendingId = NFC53X_REQ_GET_FIRMWARE_VERSION;
    deliverCut(Pn532Sim::frame(0x03, {0x32, 0x01}), {});
    EXPECT_EQ(events(), std::vector<uint32_t>{1});
    EXPECT_EQ(part->state, NFC53X_STATE_INIT4);
    EXPECT_EQ(part->firmware, 0u);
}

TEST_F(ReaderTest, AFirmwareAnswerDuringStartUpIsStored) {
    part->state = NFC53X_STATE_INIT5;
    part->pendingId = NFC53X_REQ_GET_FIRMWARE_VERSION;
    deliverCut(Pn532Sim::frame(0x03, {0x32, 0x01, 0x06, 0x07}), {});
    EXPECT_EQ(part->firmware, 0x32010607u);
    EXPECT_EQ(part->state, NFC53X_STATE_INIT6);
    EXPECT_TRUE(cap.contains("nfc53x: IC Version  0x32"));
}

TEST_F(ReaderTest, GeneralStatusNeedsItsFieldByte) {
    part->pendingId = NFC53X_REQ_GET_GENERAL_STATUS;
    deliverCut(Pn532Sim::frame(0x05, {0x00}), {});
    EXPECT_EQ(events(), std::vector<uint32_t>{13});
    deliverCut(Pn532Sim::frame(0x05, {0x00, 0x01, 0x00, 0x80}), {});
    EXPECT_EQ(events(), std::vector<uint32_t>{10});
    EXPECT_EQ(part->fieldPresent, 0x01);
    EXPECT_EQ(part->samStatus, 0x80);
}

TEST_F(ReaderTest, AnIoResultNeverOutgrowsTheCallersBuffer) {
    uint8_t output[12];
    ll->ioOutput = output;
    ll->ioOutputSize = sizeof output;
    part->pendingId = NFC53X_REQ_IO_GENERAL_STATUS;
    deliverCut(Pn532Sim::frame(0x05, Bytes(40, 0x77)), {});
    EXPECT_EQ(part->ioLength, sizeof output);
    part->pendingId = 28;   // ReadRegister: more than fits gives nothing
    deliverCut(Pn532Sim::frame(0x07, Bytes(13, 0x55)) + Pn532Sim::frame(0x07, {0x55, 0x66}), {});
    EXPECT_EQ(part->ioLength, 2u);
    EXPECT_EQ(events(), (std::vector<uint32_t>{27, 27}));
    EXPECT_EQ(output[1], 0x66);
    ll->ioOutput = nullptr;
}

TEST_F(ReaderTest, AnEmptyStatusIsAnError) {
    deliverCut(Pn532Sim::frame(0x55, {}) + Pn532Sim::frame(0x55, {0x01}), {});
    EXPECT_EQ(events(), (std::vector<uint32_t>{13, 13}));
    EXPECT_EQ(part->lastError, 0x01);
}

}  // namespace
