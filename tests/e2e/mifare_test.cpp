// MIFARE Classic and Plus cards through the public API against the simulated controller of
// maker 0x04, which carries the cards' commands in its own MIFARE framing.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "api_stack.h"
#include "tags/iso_dep_tag.h"
#include "tags/mifare_tag.h"
#include "th/th_mifare.h"

namespace {

using Bytes = std::vector<uint8_t>;
using simtags::MifareKind;
using simtags::MifareTag;

constexpr uint16_t kRfDiscover = 0x2103;
constexpr DWORD kMifareMask = TAG_ISO14443A | TAG_NDEF;

Bytes message(size_t n) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(0x30 + k % 70);
    return b;
}

struct MifareInField : ::testing::Test {
    void SetUp() override {
        tmsResetKeyLists();
        ASSERT_EQ(stack.start(), 0u);
        listener = stack.listen(kMifareMask, &context);
        ASSERT_NE(listener, nullptr);
        ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1));
    }
    void TearDown() override {
        if (card) stack.sim().call([&](ncisim::Controller&) { bricked = !card->bricked().empty(); });
        EXPECT_FALSE(bricked) << "a trailer write bricked a sector";
    }

    // The card enters the field; the detection's record.
    std::optional<AppEvent> present(std::shared_ptr<MifareTag> tag) {
        card = std::move(tag);
        stack.sim().rf().enter(card);
        auto detected = stack.waitFor(nfcEventTagDetected);
        if (detected) {
            EXPECT_EQ(nfcConnectTag(listener, 0), nfcStatusOk);
        }
        return detected;
    }
    template <typename Fn>
    void onCard(Fn fn) {
        stack.sim().call([&](ncisim::Controller&) { fn(*card); });
    }
    TNfcTagInfo info() {
        TNfcTagInfo t{};
        EXPECT_EQ(nfcGetTagInfo(listener, -1, &t), nfcStatusOk);
        return t;
    }
    NfcApiStatus write(const Bytes& m) { return nfcWriteNdefMessage(listener, m.data(), static_cast<WORD>(m.size())); }
    bool transport(size_t sector) {
        bool fresh = true;
        onCard([&](MifareTag& t) {
            const Bytes want{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07,
                             0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            fresh = t.block(MifareTag::trailerBlock(sector)) == want;
            for (size_t b = MifareTag::firstBlock(sector); b < MifareTag::trailerBlock(sector); ++b)
                if (b != 0 && t.block(b) != Bytes(16, 0xFF)) fresh = false;
        });
        return fresh;
    }
    void formatFresh(MifareKind kind, DWORD size, size_t nfcSectors) {
        auto tag = std::make_shared<MifareTag>(kind);
        simtags::makeFactoryFresh(*tag);
        ASSERT_TRUE(present(tag)) << stack.sim().describe();
        ASSERT_EQ(nfcFormatNdef(listener, size), nfcStatusOk);
        std::optional<std::vector<size_t>> nfc;
        onCard([&](MifareTag& c) { nfc = simtags::madNfcSectors(c); });
        ASSERT_TRUE(nfc) << "the directory passes its own check";
        EXPECT_EQ(nfc->size(), nfcSectors);
        const Bytes m = message(300);
        ASSERT_EQ(write(m), nfcStatusOk);
        EXPECT_EQ(readAll(), m);
    }
    Bytes readAll() {
        Bytes buffer(4096, 0);
        WORD length = static_cast<WORD>(buffer.size());
        EXPECT_EQ(nfcReadNdefMessage(listener, buffer.data(), &length), nfcStatusOk);
        buffer.resize(length);
        return buffer;
    }

    ApiStack stack{ncisim::NciIdentity::nxp()};
    int context = 0;
    NfcListenerHandle listener = nullptr;
    std::shared_ptr<MifareTag> card;
    bool bricked = false;
};

TEST_F(MifareInField, AMad1CardIsDetectedWithItsMessageAndCapacity) {
    auto tag = std::make_shared<MifareTag>(MifareKind::Classic1K);
    simtags::makeNdefFormatted(*tag, 15, message(40));
    const auto detected = present(tag);
    ASSERT_TRUE(detected) << stack.sim().describe();
    EXPECT_EQ(+detected->tag.tagType & ~TAG_NDEF, TAG_MIFARE_STD_1K);
    const TNfcTagInfo t = info();
    EXPECT_EQ(+t.tagType, TAG_MIFARE_STD_1K | TAG_NDEF);
    EXPECT_EQ(+t.ndefLength, 40u);
    EXPECT_EQ(+t.ndefMaxSize, 716u);
    EXPECT_EQ(readAll(), message(40));
}

TEST_F(MifareInField, AMad2CardRoundTripsAMessageAcrossSectors) {
    auto tag = std::make_shared<MifareTag>(MifareKind::Classic4K, Bytes{0x04, 0x52, 0x6B, 0x1A, 0x2C, 0x5D, 0x80});
    simtags::makeNdefFormatted(*tag, 39, message(10));
    ASSERT_TRUE(present(tag)) << stack.sim().describe();
    const TNfcTagInfo t = info();
    EXPECT_EQ(+t.tagType & TAG_NDEF, TAG_NDEF);
    EXPECT_EQ(+t.ndefMaxSize, 3356u);
    const Bytes m = message(1200);
    ASSERT_EQ(write(m), nfcStatusOk);
    EXPECT_EQ(readAll(), m);
    // The message runs through sector 16's place without touching it.
    Bytes mad2;
    onCard([&](MifareTag& c) { mad2 = c.block(64); });
    EXPECT_EQ(mad2[2], 0x03);
    EXPECT_EQ(mad2[3], 0xE1);
}

TEST_F(MifareInField, AFresh1kIsFormattedForNdef) { formatFresh(MifareKind::Classic1K, 716, 15); }

TEST_F(MifareInField, AFresh4kIsFormattedForNdefWithMad2) { formatFresh(MifareKind::Classic4K, 1000, 21); }

TEST_F(MifareInField, FormatErasesTheCardToItsTransportConfiguration) {
    auto tag = std::make_shared<MifareTag>(MifareKind::Classic1K);
    simtags::makeNdefFormatted(*tag, 15, message(100));
    ASSERT_TRUE(present(tag)) << stack.sim().describe();
    ASSERT_EQ(nfcFormat(listener, 0, 0), nfcStatusOk);
    for (size_t s = 0; s < 16; ++s) EXPECT_TRUE(transport(s)) << "sector " << s;
    Bytes buffer(1024);
    WORD length = static_cast<WORD>(buffer.size());
    EXPECT_NE(nfcReadNdefMessage(listener, buffer.data(), &length), nfcStatusOk) << "an erased card holds no NDEF";
    TNfcTagInfo t{};
    nfcGetTagInfo(listener, -1, &t);
    EXPECT_EQ(+t.tagType & TAG_NDEF, 0u);
    ASSERT_EQ(nfcFormatNdef(listener, 716), nfcStatusOk);
    ASSERT_EQ(write(message(300)), nfcStatusOk);
    length = static_cast<WORD>(buffer.size());
    ASSERT_EQ(nfcReadNdefMessage(listener, buffer.data(), &length), nfcStatusOk);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), message(300));
}

TEST_F(MifareInField, AReadOnlyCardRefusesTheNextWrite) {
    auto tag = std::make_shared<MifareTag>(MifareKind::Classic1K);
    simtags::makeNdefFormatted(*tag, 15, message(20));
    ASSERT_TRUE(present(tag)) << stack.sim().describe();
    ASSERT_EQ(+info().tagType & TAG_NDEF, TAG_NDEF);
    ASSERT_EQ(nfcMakeReadOnly(listener), nfcStatusOk);
    Bytes trailer;
    onCard([&](MifareTag& c) { trailer = c.block(7); });
    EXPECT_EQ(Bytes(trailer.begin() + 6, trailer.begin() + 10), (Bytes{0x07, 0x8F, 0x0F, 0x43}));
    EXPECT_NE(write(message(5)), nfcStatusOk);
    EXPECT_EQ(readAll(), message(20));
}

TEST_F(MifareInField, ARawAuthenticationsKeyIsTriedFirst) {
    auto tag = std::make_shared<MifareTag>(MifareKind::Classic1K);
    simtags::makeNdefFormatted(*tag, 3, message(20));
    const Bytes key{0x4B, 0x45, 0x59, 0x31, 0x32, 0x33};
    for (size_t s = 1; s <= 3; ++s) tag->setTrailer(s, key, {0x7F, 0x07, 0x88}, 0x40, simtags::kMifareNfcKey);
    ASSERT_TRUE(present(tag)) << stack.sim().describe();
    Bytes auth{0x60, 0x07, 0x3A, 0x5C, 0x71, 0x0D};
    auth.insert(auth.end(), key.begin(), key.end());
    BYTE answer[16] = {};
    WORD length = sizeof answer;
    EXPECT_EQ(nfcExchangePdu(listener, auth.data(), static_cast<WORD>(auth.size()), answer, &length), nfcStatusOk);
    size_t mark = 0;
    onCard([&](MifareTag& c) { mark = c.log.size(); });
    ASSERT_EQ(+info().tagType & TAG_NDEF, TAG_NDEF);
    // After the directory, the first NFC sector opens at the first try with the application's key.
    std::vector<simtags::Exchange> auths;
    onCard([&](MifareTag& c) {
        for (size_t k = mark; k < c.log.size(); ++k)
            if (c.log[k].op == 0x60 || c.log[k].op == 0x61) auths.push_back(c.log[k]);
    });
    ASSERT_GE(auths.size(), 2u);
    EXPECT_EQ(Bytes(auths[1].command.begin() + 6, auths[1].command.end()), key);
    EXPECT_EQ(readAll(), message(20));
}

TEST_F(MifareInField, APlusCardInLevel1IsToldApartByTheProbeAndRead) {
    auto plus = std::make_shared<MifareTag>(MifareKind::Plus4K, Bytes{0x04, 0x52, 0x6B, 0x1A, 0x2C, 0x5D, 0x80});
    simtags::makeNdefFormatted(*plus, 39, message(30));
    const auto detected = present(plus);
    ASSERT_TRUE(detected) << stack.sim().describe();
    EXPECT_EQ(+detected->tag.tagType & ~TAG_NDEF, TAG_MIFARE_PLUS_4K);
    EXPECT_EQ(readAll(), message(30));
}

TEST_F(MifareInField, AnIsoDepCardThatMayBeAPlusIsToldApartByTheProbe) {
    auto isoDep = std::make_shared<simtags::IsoDepTag>();
    isoDep->a.sensRes = {0x44, 0x00};
    isoDep->a.selRes = 0x20;
    stack.sim().rf().enter(isoDep);
    const auto detected = stack.waitFor(nfcEventTagDetected);
    ASSERT_TRUE(detected) << stack.sim().describe();
    EXPECT_EQ(+detected->tag.tagType & ~TAG_NDEF, TAG_ISO14443A);
}

TEST_F(MifareInField, APlusCardInLevel0IsPersonalisedAndMustBeActivatedAgain) {
    auto tag = std::make_shared<MifareTag>(MifareKind::Plus4K, Bytes{0x04, 0x52, 0x6B, 0x1A, 0x2C, 0x5D, 0x80}, 0);
    const auto detected = present(tag);
    ASSERT_TRUE(detected) << stack.sim().describe();
    EXPECT_EQ(+detected->tag.tagType & ~TAG_NDEF, TAG_MIFARE_PLUS_4K);
    EXPECT_EQ(nfcFormatNdef(listener, 0), nfcStatusFailed) << "the new level needs a new activation";
    std::vector<Bytes> commands;
    onCard([&](MifareTag& c) {
        for (const auto& e : c.log)
            if (e.op == 0xA8 || e.op == 0xAA)
                commands.push_back(Bytes(e.command.begin(), e.command.begin() + (e.op == 0xA8 ? 3 : 1)));
    });
    EXPECT_EQ(commands, (std::vector<Bytes>{
                            {0xA8, 0x90, 0x00}, {0xA8, 0x90, 0x01}, {0xA8, 0x90, 0x02}, {0xA8, 0x90, 0x03}, {0xAA}}));
    stack.sim().rf().leave(card);
    uint8_t level = 0;
    onCard([&](MifareTag& c) { level = c.securityLevel(); });
    EXPECT_EQ(level, 1);
}

} // namespace
