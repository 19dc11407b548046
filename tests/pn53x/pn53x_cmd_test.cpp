// Listen builders byte by byte, and the decoders of target lists and activation answers.
#include <cstring>

#include "L1/common/nfcllmsg.h"
#include "os/os_mem.h"

#include "pn53x_fixture.h"

namespace {

constexpr uint8_t kDefaultGb[] = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x02, 0x02, 0x07, 0x80, 0x04, 0x01, 0x64};

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const Bytes kGb(kDefaultGb, kDefaultGb + sizeof kDefaultGb);

TNfcListenParam p2pParams(uint8_t rate, const Bytes& gb, bool withGb) {
    TNfcListenParam p{};
    p.p2pFlags = NFC_P2P_DATA_RATE | (withGb ? NFC_P2P_GENERAL_BYTES : 0);
    p.p2pDataRate = rate;
    p.atr.config = 0x32;
    if (!gb.empty()) std::memcpy(p.atr.generalBytes, gb.data(), std::min<size_t>(gb.size(), sizeof p.atr.generalBytes));
    p.atrLength = static_cast<uint8_t>(gb.size() + 1);
    return p;
}

using CmdTest = Pn53xTest;

TEST_F(CmdTest, InJumpForDepAt212KbpsWithDefaults) {
    const TNfcListenParam p = p2pParams(2, {}, false);
    ASSERT_TRUE(nfc53xBuildInJumpForDep(ll, &p));
    EXPECT_EQ(Bytes(part->jumpData, part->jumpData + part->jumpLength),
              cat({0xD4, 0x56, 0x00, 0x01, 0x05, 0x00, 0xFF, 0xFF, 0x00, 0x00}, kGb));
    EXPECT_EQ(part->jumpLength, 23u);
    ASSERT_TRUE(command(NFC53X_REQ_IN_JUMP_FOR_DEP));
    Pn532Sim oracle;
    oracle.feed(h.sent().back());
    ASSERT_EQ(oracle.commands().size(), 1u);
    EXPECT_EQ(oracle.commands()[0].code, 0x56);
}

TEST_F(CmdTest, InJumpForDepAt106KbpsWithEmptyGeneralBytesClearsTheNextBit) {
    const TNfcListenParam p = p2pParams(1, {}, true);
    ASSERT_TRUE(nfc53xBuildInJumpForDep(ll, &p));
    EXPECT_EQ(Bytes(part->jumpData, part->jumpData + part->jumpLength), (Bytes{0xD4, 0x56, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(nfc53xBuildInJumpForDep(ll, nullptr));
    EXPECT_EQ(part->jumpData[3], 0x02);   // no parameters: 424 kbps
}

TEST_F(CmdTest, TgInitAsTargetWithDefaultsIs52Bytes) {
    ASSERT_TRUE(nfc53xBuildTgInitAsTarget(ll, nullptr));
    const Bytes expected = cat(cat({0xD4, 0x8C, 0x02, 0x08, 0x00, 0xAA, 0xBB, 0xCC, 0x40, 0x01, 0xFE, 0xA2, 0xA3, 0xA4,
                                    0xA5, 0xA6, 0xA7, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xFF, 0xFF, 0x11,
                                    0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0x0D},
                                   kGb),
                               {0x00});
    EXPECT_EQ(Bytes(part->targetData, part->targetData + part->targetLength), expected);
    EXPECT_EQ(part->targetLength, 52u);
}

TEST_F(CmdTest, GeneralBytesBeyondTheFieldRefuseTheListen) {
    TNfcListenParam p = p2pParams(2, Bytes(47, 0x5A), true);
    ASSERT_TRUE(nfc53xBuildTgInitAsTarget(ll, &p));
    EXPECT_EQ(part->targetLength, 39u + 47u);
    p.atrLength = 200;
    EXPECT_FALSE(nfc53xBuildInJumpForDep(ll, &p));
    EXPECT_FALSE(nfc53xBuildTgInitAsTarget(ll, &p));
    EXPECT_EQ(part->targetLength, 39u + 47u);   // nothing built
    TNfcListenParam ce{};
    ce.listenAFlags = NFC_LISTEN_A_HISTORICAL_BYTES;
    ce.historicalBytesLength = 200;
    EXPECT_FALSE(nfc53xBuildCeBlock(ll, false, &ce));
}

TEST_F(CmdTest, CardEmulationBlockByTechnologyAndFlags) {
    ASSERT_TRUE(nfc53xBuildCeBlock(ll, false, nullptr));
    Bytes typeA{0x05, 0x00, 0x00, 0x00, 0x06, 0x66, 0x20, 0x01, 0xFE};
    typeA.resize(typeA.size() + 16 + 10, 0x00);
    typeA.push_back(0x00);
    typeA.push_back(0x00);
    EXPECT_EQ(Bytes(part->ceBlock, part->ceBlock + part->ceLength), typeA);

    TNfcListenParam p{};
    p.listenAFlags = NFC_LISTEN_A_NFCID1 | NFC_LISTEN_A_SDD | NFC_LISTEN_A_HISTORICAL_BYTES;
    std::memcpy(p.nfcid1, "\x12\x34\x56", 3);
    p.sdd = 0x04;
    p.platformConfig = 0x00;
    std::memcpy(p.p2pNfcid, "ABCDEFGHIJ", 10);
    p.historicalBytesLength = 2;
    p.historicalBytes[0] = 0x77;
    p.historicalBytes[1] = 0x88;
    ASSERT_TRUE(nfc53xBuildCeBlock(ll, false, &p));
    EXPECT_EQ(Bytes(part->ceBlock + 1, part->ceBlock + 6), (Bytes{0x04, 0x00, 0x12, 0x34, 0x56}));
    EXPECT_EQ(Bytes(part->ceBlock + 25, part->ceBlock + 35), Bytes(p.p2pNfcid, p.p2pNfcid + 10));
    EXPECT_EQ(Bytes(part->ceBlock + 35, part->ceBlock + part->ceLength), (Bytes{0x02, 0x77, 0x88, 0x00}));
    EXPECT_TRUE(cap.contains("nfc53x: set UID 08 12 34 56"));

    ASSERT_TRUE(nfc53xBuildCeBlock(ll, true, nullptr));
    EXPECT_EQ(Bytes(part->ceBlock, part->ceBlock + 25),
              (Bytes{0x01, 0x00, 0x00, 0x00, 0x06, 0x66, 0x40, 0x02, 0xFE, 0x00, 0x00, 0x00, 0x00, 0x06,
                     0x66, 0x00, 0xF0, 0x22, 0x04, 0x27, 0x67, 0x4E, 0xFF, 0x06, 0x66}));
    TNfcListenParam f{};
    f.listenFFlags = NFC_LISTEN_F_IDENTIFIERS;
    std::memcpy(f.nfcid2, "\x02\xFE\x01\x02\x03\x04\x05\x06", 8);
    f.systemCode = 0x12FC;
    ASSERT_TRUE(nfc53xBuildCeBlock(ll, true, &f));
    EXPECT_EQ(Bytes(part->ceBlock + 7, part->ceBlock + 15), Bytes(f.nfcid2, f.nfcid2 + 8));
    EXPECT_EQ(Bytes(part->ceBlock + 23, part->ceBlock + 25), (Bytes{0x12, 0xFC}));
}

TEST_F(CmdTest, InListPassiveTargetDataByPollType) {
    uint8_t out[8];
    EXPECT_EQ(Bytes(out, out + nfc53xInListPassiveTargetData(TAG_14443B, out)), (Bytes{0x03, 0x00}));
    EXPECT_EQ(Bytes(out, out + nfc53xInListPassiveTargetData(0x200, out)), (Bytes{0x02, 0x00, 0xFF, 0xFF, 0x00, 0x01}));
    EXPECT_EQ(Bytes(out, out + nfc53xInListPassiveTargetData(TAG_JEWEL_TYPE1, out)), (Bytes{0x04}));
    EXPECT_EQ(Bytes(out, out + nfc53xInListPassiveTargetData(TAG_MIFARE_STD_1K, out)), (Bytes{0x00}));
}

// ---- Target lists through the reader ------------------------------------------------------------

struct TargetCase {
    const char* name;
    uint32_t pollType;
    Bytes data;           // after the response code: NbTg, Tg, target data
    uint32_t event;
    uint32_t tagType;
    Bytes uid;
};

class TargetTable : public Pn53xTest, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(TargetTable, DecodesTheTarget) {
    const TargetCase& c = GetParam();
    part->pollType = c.pollType;
    part->pendingId = NFC53X_REQ_IN_LIST_PASSIVE_TARGET;
    h.deliver(Pn532Sim::frame(0x4B, c.data));
    ASSERT_EQ(events(), c.event ? std::vector<uint32_t>{c.event} : std::vector<uint32_t>{});
    EXPECT_EQ(ll->device.tagType, c.tagType);
    EXPECT_EQ(Bytes(ll->device.uid, ll->device.uid + ll->device.uidLength), c.uid);
    if (c.event == NFC53X_EVT_RESPONSE_ERROR) {
        EXPECT_EQ(part->lastError, 1);
    }
}

const Bytes kUid4{0xDE, 0xAD, 0xBE, 0xEF};
Bytes typeA(uint16_t atqa, uint8_t sak) {
    return {0x01, 0x01, static_cast<uint8_t>(atqa >> 8), static_cast<uint8_t>(atqa), sak, 0x04, 0xDE, 0xAD, 0xBE, 0xEF};
}
Bytes felica(uint8_t first, uint8_t second) {
    Bytes b{0x01, 0x01, 0x12, 0x01, first, second, 1, 2, 3, 4, 5, 6};
    b.resize(b.size() + 8, 0x00);   // PAD
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Targets, TargetTable,
    ::testing::Values(
        TargetCase{"Sak08", TAG_ISO14443A, typeA(0x0004, 0x08), 11, TAG_MIFARE_STD_1K, kUid4},
        TargetCase{"Sak20Atqa0344", TAG_ISO14443A, typeA(0x0344, 0x20), 11, TAG_DESFIRE_TYPE4, kUid4},
        TargetCase{"Sak00Atqa0044", TAG_ISO14443A, typeA(0x0044, 0x00), 11, TAG_ULTRALIGHT_TYPE2, kUid4},
        TargetCase{"UnknownSak", TAG_ISO14443A, typeA(0x0004, 0x61), 11, TAG_ISO14443A, kUid4},
        TargetCase{"Sak00UnknownAtqa", TAG_ISO14443A, typeA(0x0777, 0x00), 0, 0, {}},
        TargetCase{"Sak40", TAG_ISO14443A, typeA(0x0004, 0x40), 0, 0, {}},
        TargetCase{"TypeAUidBeyondTheAnswer", TAG_ISO14443A, {0x01, 0x01, 0x00, 0x04, 0x08, 0x07, 0xDE}, 13, 0, {}},
        TargetCase{"TypeAUidTooLong", TAG_ISO14443A, {0x01, 0x01, 0x00, 0x04, 0x08, 0x0B}, 13, 0, {}},
        TargetCase{"TypeB", TAG_14443B, {0x01, 0x01, 0x50, 0xDE, 0xAD, 0xBE, 0xEF, 0x00}, 11, TAG_14443B, kUid4},
        TargetCase{"TypeBWithoutPupi", TAG_14443B, {0x01, 0x01, 0x50, 0xDE, 0xAD, 0xBE}, 13, 0, {}},
        TargetCase{"Felica", 0x100, felica(0x01, 0x2E), 11, TAG_FELICA_TYPE3, {0x01, 0x2E, 1, 2, 3, 4, 5, 6}},
        TargetCase{"FelicaNfcDep", 0x100, felica(0x01, 0xFE), 0, 0, {}},
        TargetCase{"FelicaShort", 0x100, {0x01, 0x01, 0x12, 0x01, 0x01}, 13, 0, {}},
        TargetCase{"Jewel", TAG_JEWEL_TYPE1, {0x01, 0x01, 0x04, 0x0C, 0xDE, 0xAD, 0xBE, 0xEF}, 11, TAG_JEWEL_TYPE1, kUid4},
        TargetCase{"Jewel7Bytes", TAG_JEWEL_TYPE1, {0x01, 0x01, 0x04, 0x0C, 0xDE, 0xAD, 0xBE}, 13, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CmdTest, FelicaNfcDepTargetIsMarked) {
    part->pollType = 0x100;
    part->pendingId = NFC53X_REQ_IN_LIST_PASSIVE_TARGET;
    h.deliver(Pn532Sim::frame(0x4B, felica(0x01, 0xFE)));
    EXPECT_TRUE(ll->flags & NFCLL_FLAG_PN53X_10);
}

// ---- Activation answers ------------------------------------------------------------------------

TEST_F(CmdTest, InJumpForDepAnswers) {
    part->pendingId = NFC53X_REQ_IN_JUMP_FOR_DEP;
    Bytes atr{0x00, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x00, 0x00, 0x00, 0x0E, 0x32};   // 17 bytes
    h.deliver(Pn532Sim::frame(0x57, Bytes(atr.begin(), atr.begin() + 16)));
    EXPECT_EQ(events(), std::vector<uint32_t>{11});
    EXPECT_EQ(Bytes(ll->device.uid, ll->device.uid + ll->device.uidLength), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(part->generalBytesLength, 0u);
    seen.clear();
    h.deliver(Pn532Sim::frame(0x57, cat(atr, {0x46, 0x66})));
    EXPECT_EQ(Bytes(part->generalBytes, part->generalBytes + part->generalBytesLength), (Bytes{0x46, 0x66}));
    for (const Bytes& refused : {Bytes{}, Bytes{0x01}, Bytes{0x00, 0x01, 1, 2, 3}}) {
        seen.clear();
        h.deliver(Pn532Sim::frame(0x57, refused));
        EXPECT_EQ(events(), std::vector<uint32_t>{13});
    }
}

TEST_F(CmdTest, TgInitAsTargetAnswers) {
    part->pendingId = NFC53X_REQ_TG_INIT_AS_TARGET;
    Bytes atrReq{0x04, 0x14, 0xD4, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x00, 0x00, 0x00, 0x32, 0x46, 0x66};
    h.deliver(Pn532Sim::frame(0x8D, atrReq));
    EXPECT_EQ(events(), std::vector<uint32_t>{11});
    EXPECT_EQ(ll->device.tagType, static_cast<uint32_t>(CE_HOST_14443A_106));
    EXPECT_EQ(ll->device.uidLength, 10u);
    EXPECT_EQ(Bytes(part->generalBytes, part->generalBytes + part->generalBytesLength), (Bytes{0x46, 0x66}));
    seen.clear();
    h.deliver(Pn532Sim::frame(0x8D, {0x02, 0x03, 0x60}));   // a short card-emulation command
    EXPECT_EQ(events(), std::vector<uint32_t>{11});
    EXPECT_EQ(ll->device.tagType, static_cast<uint32_t>(CE_HOST_FELICA));
    EXPECT_EQ(ll->device.uidLength, 0u);
    seen.clear();
    h.deliver(Pn532Sim::frame(0x8D, {}));
    h.deliver(Pn532Sim::frame(0x8D, {0x03}));
    EXPECT_EQ(events(), (std::vector<uint32_t>{13, 7}));
}

TEST_F(CmdTest, P2pReceiveStatusAndPieces) {
    ll->mode = NFC53X_KIND_P2P_TG;
    part->pendingId = NFC53X_REQ_TG_GET_DEP_DATA;
    h.deliver(Pn532Sim::frame(0x87, {}));
    h.deliver(Pn532Sim::frame(0x87, {0x29}));
    h.deliver(Pn532Sim::frame(0x87, {0x01}));
    EXPECT_EQ(events(), (std::vector<uint32_t>{13, 26, 13}));
    seen.clear();
    h.deliver(Pn532Sim::frame(0x87, {0x40, 1, 2, 3}));   // more follows: the next piece is asked for
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(h.sent().back(), (Bytes{0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD4, 0x86, 0xA6, 0x00}));
    h.deliver(Pn532Sim::frame(0x87, {0x00, 4, 5}));
    EXPECT_EQ(events(), std::vector<uint32_t>{17});
    const auto frames = h.upward(PH_DATA_IND);
    ASSERT_EQ(frames.size(), 1u);
    const auto f = nfcllMsgGet<PH_DATA_IND>(frames[0]);
    EXPECT_EQ(Bytes(f.buffer, f.buffer + f.length), (Bytes{1, 2, 3, 4, 5}));
    osBufferRelease(f.buffer);
    ll->mode = 0;
}

TEST_F(CmdTest, SetDepDataAnswers) {
    part->pendingId = NFC53X_REQ_TG_SET_DEP_DATA;
    h.deliver(Pn532Sim::frame(0x8F, {}));
    h.deliver(Pn532Sim::frame(0x8F, {0x25}));
    h.deliver(Pn532Sim::frame(0x8F, {0x00}));
    part->pendingId = NFC53X_REQ_TG_SET_META_DATA;
    h.deliver(Pn532Sim::frame(0x95, {0x00}));
    EXPECT_EQ(events(), (std::vector<uint32_t>{13, 13, 18, 25}));
}

}  // namespace
