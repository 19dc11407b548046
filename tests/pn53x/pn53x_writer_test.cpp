// The frame writer: start forms, checksums, the P2P remap of pieces and the length limit.
#include "pn53x_fixture.h"

#include "L1/common/nfcllmsg.h"

namespace {

struct WriterCase {
    const char* name;
    uint16_t readerType;
    uint32_t id;
    Bytes data;
    Bytes frame;
};

class WriterTable : public Pn53xTest, public ::testing::WithParamInterface<WriterCase> {};

TEST_P(WriterTable, WritesTheFrame) {
    const WriterCase& c = GetParam();
    ll->readerType = c.readerType;
    ASSERT_TRUE(command(c.id, c.data));
    ASSERT_EQ(h.sent().size(), 1u);
    EXPECT_EQ(h.sent()[0], c.frame);
    EXPECT_EQ(part->pendingId, c.id);
    EXPECT_EQ(part->inProcess, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WriterTable,
    ::testing::Values(
        WriterCase{"Pn532SamInitWakesUp", 0x102, 12, {},
                   {0x55, 0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x05, 0xFB, 0xD4, 0x14, 0x01, 0x00, 0x01, 0x16, 0x00}},
        WriterCase{"Pn532StatusWakesUp", 0x102, 16, {},
                   {0x55, 0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD4, 0x04, 0x28, 0x00}},
        WriterCase{"Pn533SamInitNormalStart", 0x107, 12, {},
                   {0x00, 0x00, 0xFF, 0x05, 0xFB, 0xD4, 0x14, 0x01, 0x00, 0x01, 0x16, 0x00}},
        WriterCase{"Pn532ExchangeNormalStart", 0x102, 4, {0xAA},
                   {0x00, 0x00, 0xFF, 0x04, 0xFC, 0xD4, 0x40, 0x01, 0xAA, 0x41, 0x00}},
        WriterCase{"TamaAckIsAckAndZero", 0x102, 10, {}, {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0x00}},
        WriterCase{"RawRfConfigurationCarriesTheCallersBytes", 0x107, 26, {0x01, 0x00},
                   {0x00, 0x00, 0xFF, 0x04, 0xFC, 0xD4, 0x32, 0x01, 0x00, 0xF9, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pn53xTest, ResponseTimerGuardsAllButGetDepData) {
    ASSERT_TRUE(command(NFC53X_REQ_GET_FIRMWARE_VERSION));
    EXPECT_TRUE(ll->timers[NFC53X_TIMER_RESPONSE].running);
    nfcllResetTimer(ll, NFC53X_TIMER_RESPONSE);
    h.run();
    ASSERT_TRUE(command(NFC53X_REQ_TG_GET_DEP_DATA));
    EXPECT_FALSE(ll->timers[NFC53X_TIMER_RESPONSE].running);
}

TEST_F(Pn53xTest, AFrameAbove255IsRefusedWithoutTouchingTheRequest) {
    ASSERT_TRUE(command(NFC53X_REQ_GET_FIRMWARE_VERSION));
    nfcllResetTimer(ll, NFC53X_TIMER_RESPONSE);
    part->inProcess = 0;
    h.clearSent();
    // 3 command bytes + 253 data = 256: a 16-bit LEN would have been cut to 0.
    EXPECT_FALSE(command(NFC53X_REQ_IN_DATA_EXCHANGE, Bytes(253, 0x11)));
    EXPECT_TRUE(h.sent().empty());
    EXPECT_EQ(part->pendingId, NFC53X_REQ_GET_FIRMWARE_VERSION);
    EXPECT_EQ(part->inProcess, 0u);
    EXPECT_TRUE(cap.contains("nfc53x: nfc53xSendDsCommand, wrong length: =256"));
    // 65535 bytes on top of the command bytes would wrap a 16-bit sum below 256.
    EXPECT_FALSE(nfc53xSendDsCommand(ll, NFC53X_REQ_IN_DATA_EXCHANGE, Bytes(65535, 0).data(), 65535));
    EXPECT_TRUE(command(NFC53X_REQ_IN_DATA_EXCHANGE, Bytes(252, 0x11)));
}

// A 600-byte P2P message goes down in layer 1's pieces; all but the last say more follows.
TEST_F(Pn53xTest, AP2pMessageInPiecesChainsEveryPieceButTheLast) {
    ll->mode = NFC53X_KIND_P2P_IN;
    ll->miniport.transactionRequest = [](TNfcllContext* ctx, const uint8_t* data, uint16_t length, uint32_t) {
        if (data) nfc53xSendDsCommand(ctx, NFC53X_REQ_IN_DATA_EXCHANGE, data, length);
    };
    Bytes message(600);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i);
    h.toLayer1(nfcllMsgMake<PH_DATA_REQ>(DriverHarness::kManager,
                                         {NFCLL_MSG_OWNS_BUFFER, 0, 600, h.rxBuffer(message)}));
    for (int piece = 0; piece < 2; ++piece) {
        nfcllPushNextP2PFragment(ll);
        h.run();
    }
    Pn532Sim oracle;
    ASSERT_EQ(h.sent().size(), 3u);
    Bytes carried;
    for (const Bytes& frame : h.sent()) oracle.feed(frame);
    const auto commands = oracle.commands();
    ASSERT_EQ(commands.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(commands[i].code, 0x40);
        EXPECT_EQ(commands[i].data[0], i < 2 ? 0x41 : 0x01) << "piece " << i;
        carried.insert(carried.end(), commands[i].data.begin() + 1, commands[i].data.end());
    }
    EXPECT_EQ(carried, message);
    EXPECT_EQ(oracle.rejectedFrames(), 0u);
    EXPECT_EQ(part->pendingId, NFC53X_REQ_IN_DATA_EXCHANGE);
    nfcllPushNextP2PFragment(ll);   // releases the sent message
    h.run();
}

TEST_F(Pn53xTest, TargetPiecesBecomeMetaData) {
    ll->mode = NFC53X_KIND_P2P_TG;
    ll->tx.length = 300;
    ll->tx.sent = 240;
    ASSERT_TRUE(command(NFC53X_REQ_TG_SET_DEP_DATA, Bytes(240, 0x22)));
    EXPECT_EQ(h.sent().back()[6], 0x94);
    ll->tx.sent = 300;
    ASSERT_TRUE(command(NFC53X_REQ_TG_SET_DEP_DATA, Bytes(60, 0x22)));
    EXPECT_EQ(h.sent().back()[6], 0x8E);
    ll->tx = {};
}

TEST_F(Pn53xTest, AsciiHexDigits) {
    EXPECT_EQ(nfc53xAsciiHexToInt('7'), 7);
    EXPECT_EQ(nfc53xAsciiHexToInt('B'), 11);
    EXPECT_EQ(nfc53xAsciiHexToInt('f'), 15);
    EXPECT_EQ(nfc53xAsciiHexToInt('G'), 0);
    EXPECT_TRUE(cap.contains("nfc53x: nfc53xAsciiHexToInt: unexpected ASCII hex character = 'G'=0x71"));
}

}  // namespace
