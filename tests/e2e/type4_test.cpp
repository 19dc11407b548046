// ISO-DEP and DESFire tags through the public API against the simulated controller: the NDEF
// check, read and write of the NDEF file, the DESFire format on blank chips, the PICC erase, and
// the presence check.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "api_stack.h"
#include "tags/iso_dep_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;
using simtags::DesfireTag;
using simtags::IsoDepTag;
using simtags::Technology;

constexpr uint16_t kRfDiscover = 0x2103;
constexpr DWORD kMask = TAG_ISO14443A | TAG_14443B | TAG_NDEF;

// A short well-formed NDEF message: one text record.
Bytes textMessage(size_t length) {
    const size_t payload = 3 + length;
    Bytes m{0xC1, 0x01, 0x00, static_cast<uint8_t>(payload >> 16), static_cast<uint8_t>(payload >> 8),
            static_cast<uint8_t>(payload), 'T', 0x02, 'e', 'n'};
    for (size_t i = 0; i < length; ++i) m.push_back(static_cast<uint8_t>('a' + i % 26));
    return m;
}

struct InField {
    explicit InField(std::shared_ptr<simtags::Tag> tag) : tag(std::move(tag)) {}
    ::testing::AssertionResult start() {
        if (const NfcApiStatus s = stack.start()) return ::testing::AssertionFailure() << "start " << s;
        listener = stack.listen(kMask);
        if (!listener || !stack.waitForCommands(kRfDiscover, 1)) return ::testing::AssertionFailure() << "listen";
        stack.sim().rf().enter(tag);
        if (!stack.waitFor(nfcEventTagDetected)) return ::testing::AssertionFailure() << "detection";
        if (nfcConnectTag(listener, 0) != nfcStatusOk) return ::testing::AssertionFailure() << "connect";
        return ::testing::AssertionSuccess();
    }
    NfcApiStatus info(TNfcTagInfo* out) { return nfcGetTagInfo(listener, -1, out); }
    NfcApiStatus read(Bytes* out) {
        out->assign(8192, 0);
        WORD length = static_cast<WORD>(out->size());
        const NfcApiStatus s = nfcReadNdefMessage(listener, out->data(), &length);
        out->resize(s == nfcStatusOk ? length : 0);
        return s;
    }
    NfcApiStatus write(const Bytes& m) { return nfcWriteNdefMessage(listener, m.data(), static_cast<WORD>(m.size())); }
    // The model belongs to the controller's thread: it is looked at there.
    template <typename Look>
    auto look(Look fn) {
        decltype(fn()) result{};
        EXPECT_TRUE(stack.sim().call([&](ncisim::Controller&) { result = fn(); }));
        return result;
    }

    ApiStack stack{ncisim::NciIdentity::nxp()};
    std::shared_ptr<simtags::Tag> tag;
    NfcListenerHandle listener = nullptr;
};

struct IsoCase {
    const char* name;
    Technology technology;
    IsoDepTag::Mapping mapping;
    DWORD tagType;
};

class IsoDepCards : public ::testing::TestWithParam<IsoCase> {};

TEST_P(IsoDepCards, AreCheckedReadAndWrittenInChunks) {
    const IsoCase& c = GetParam();
    auto card = std::make_shared<IsoDepTag>(c.technology, 2048, c.mapping);
    const Bytes stored = textMessage(300);
    card->setMessage(stored);
    InField f(card);
    ASSERT_TRUE(f.start()) << f.stack.sim().describe();

    TNfcTagInfo info{};
    ASSERT_EQ(f.info(&info), nfcStatusOk);
    EXPECT_EQ(info.tagType & ~DWORD{TAG_NDEF}, c.tagType);
    EXPECT_TRUE(info.tagType & TAG_NDEF);
    EXPECT_EQ(+info.ndefLength, stored.size());
    EXPECT_EQ(+info.ndefMaxSize, 2046u);

    Bytes read;
    ASSERT_EQ(f.read(&read), nfcStatusOk);
    EXPECT_EQ(read, stored);

    const Bytes fresh = textMessage(700);
    const size_t mark = f.look([&] { return card->log.size(); });
    ASSERT_EQ(f.write(fresh), nfcStatusOk);
    EXPECT_EQ(f.look([&] { return card->message(); }), fresh);
    const size_t mlc = c.technology == Technology::B ? 57 : 247;
    const size_t longest = f.look([&] {
        size_t n = 0;
        for (size_t i = mark; i < card->log.size(); ++i)
            if (card->log[i].op == 0xD6) n = std::max(n, card->log[i].data.size());
        return n;
    });
    EXPECT_EQ(longest, mlc) << "chunks of MLc";
    ASSERT_EQ(f.read(&read), nfcStatusOk);
    EXPECT_EQ(read, fresh);

    EXPECT_EQ(nfcMakeReadOnly(f.listener), nfcStatusNotImplemented);
    EXPECT_EQ(nfcCheckTag(f.listener), nfcStatusOk);
}

INSTANTIATE_TEST_SUITE_P(Type4, IsoDepCards,
                         ::testing::Values(IsoCase{"A_mapping20", Technology::A, IsoDepTag::Mapping::V2, TAG_ISO14443A},
                                           IsoCase{"B_mapping20", Technology::B, IsoDepTag::Mapping::V2, TAG_14443B},
                                           IsoCase{"A_mapping10", Technology::A, IsoDepTag::Mapping::V1Only, TAG_ISO14443A},
                                           IsoCase{"B_mapping10", Technology::B, IsoDepTag::Mapping::V1Only, TAG_14443B}),
                         [](const auto& info) { return std::string(info.param.name); });

class DesfireCards : public ::testing::TestWithParam<bool> {};

TEST_P(DesfireCards, BlankChipIsFormattedWrittenReadAndErased) {
    auto card = std::make_shared<DesfireTag>(GetParam() ? DesfireTag::ev1() : DesfireTag::desfire4k());
    InField f(card);
    ASSERT_TRUE(f.start()) << f.stack.sim().describe();

    TNfcTagInfo info{};
    f.info(&info);
    EXPECT_EQ(info.tagType & ~DWORD{TAG_NDEF}, DWORD{TAG_DESFIRE_TYPE4});
    EXPECT_FALSE(info.tagType & TAG_NDEF) << "blank";

    ASSERT_EQ(nfcFormatNdef(f.listener, 1024), nfcStatusOk);
    EXPECT_EQ(f.look([&] { return card->ndefFile() ? card->ndefFile()->data.size() : size_t{0}; }), 1026u);
    ASSERT_EQ(f.info(&info), nfcStatusOk);
    EXPECT_TRUE(info.tagType & TAG_NDEF);
    EXPECT_EQ(+info.ndefLength, 0u);
    EXPECT_EQ(+info.ndefMaxSize, 1024u);

    const Bytes message = textMessage(200);
    ASSERT_EQ(f.write(message), nfcStatusOk);
    Bytes read;
    ASSERT_EQ(f.read(&read), nfcStatusOk);
    EXPECT_EQ(read, message);
    EXPECT_EQ(nfcCheckTag(f.listener), nfcStatusOk);

    ASSERT_EQ(nfcFormat(f.listener, 0, 0), nfcStatusOk);
    EXPECT_TRUE(f.look([&] { return card->applications.empty(); })) << "the PICC was erased";
    EXPECT_NE(f.read(&read), nfcStatusOk) << "an erased card holds no NDEF";
    ASSERT_EQ(nfcGetTagInfo(f.listener, 0, &info), nfcStatusOk);
    EXPECT_FALSE(info.tagType & TAG_NDEF);

    // Formatted again at once, without a new check, as a user clicks through.
    ASSERT_EQ(nfcFormatNdef(f.listener, 1024), nfcStatusOk);
    ASSERT_EQ(f.write(message), nfcStatusOk);
    ASSERT_EQ(f.read(&read), nfcStatusOk);
    EXPECT_EQ(read, message);
}

INSTANTIATE_TEST_SUITE_P(Type4, DesfireCards, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "EV1" : "DESFire"); });

} // namespace
