// NDEF tags of several families through the public API against the simulated controller: the
// check of nfcGetTagInfo, reads, writes of the boundary lengths decoded from the tag's image by
// the test's own reader, format of a blank tag, make read-only and the presence check.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "tags/iso15693_tag.h"
#include "tags/ndef_image.h"
#include "tags/t1t_tag.h"
#include "tags/t3t_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::NciIdentity;
using simtags::concat;
using simtags::ndefTlv;

constexpr uint16_t kRfDiscover = 0x2103;

// n bytes of NDEF content: one MIME record where it fits (n >= 4), its payload counting up.
Bytes message(size_t n) { return n < 4 ? Bytes(n, 0xD0) : simtags::mimeMessage(n, 7); }

// ---- Type 1 -------------------------------------------------------------------------------------

const Bytes kT1DynamicTlvs{0x01, 0x03, 0xF2, 0x30, 0x33, 0x02, 0x03, 0xF0, 0x02, 0x03};

// The Type 1 data area as a reader walks it: bytes 12-103, then from 128 on.
Bytes t1Area(const simtags::Tag& tag) { return concat(tag.bytes(12, 92), tag.bytes(128, tag.memory.size())); }

void t1PutArea(simtags::Tag& tag, size_t at, const Bytes& bytes) {
    for (uint8_t b : bytes) {
        if (at == 104) at = 128;
        tag.memory.at(at++) = b;
    }
}

std::shared_ptr<simtags::Tag> t1Tag(size_t memory, const std::optional<Bytes>& content) {
    auto tag = std::make_shared<simtags::T1tTag>(std::array<uint8_t, 7>{0x3B, 0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB}, memory);
    if (!content) return tag;
    const bool dynamic = memory > simtags::T1tTag::STATIC_SIZE;
    tag->put(8, {0xE1, 0x10, static_cast<uint8_t>(dynamic ? 0x3F : 0x0E), 0x00});
    if (dynamic) tag->put(12, kT1DynamicTlvs);
    t1PutArea(*tag, dynamic ? 22 : 12, ndefTlv(*content));
    return tag;
}

// ---- ISO 15693 ---------------------------------------------------------------------------------

// The NDEF TLV behind the 4-byte container; a message ending on a block boundary is followed by
// whatever the memory held.
std::optional<Bytes> vicinityStored(const simtags::Tag& tag) {
    return simtags::leadingNdefTlv(tag.bytes(4, tag.memory.size()));
}

std::shared_ptr<simtags::Tag> vicinityTag(std::array<uint8_t, 8> uid, size_t blocks, bool extended, uint8_t capability,
                                          const std::optional<Bytes>& content) {
    auto tag = std::make_shared<simtags::Iso15693Tag>(uid, blocks, 4, extended);
    if (!content) return tag;
    tag->put(0, {0xE1, 0x40, static_cast<uint8_t>(blocks * 4 / 8), capability});
    tag->put(4, ndefTlv(*content));
    return tag;
}

// ---- Type 3 -------------------------------------------------------------------------------------

// Ln from the attribute information block of version 1.x, then the message from block 1.
std::optional<Bytes> felicaStored(const simtags::Tag& tag) {
    const Bytes aib = tag.bytes(0, 16);
    if (aib.size() < 16 || (aib[0] & 0xF0) != 0x10 || aib[9] != 0x00) return std::nullopt;
    const size_t ln = size_t{aib[11]} << 16 | size_t{aib[12]} << 8 | aib[13];
    const Bytes data = tag.bytes(16, ln);
    if (data.size() != ln) return std::nullopt;
    return data;
}

std::shared_ptr<simtags::Tag> felicaTag(std::shared_ptr<simtags::T3tTag> tag, const std::optional<Bytes>& content) {
    if (!content) return tag;
    const auto nmaxb = static_cast<uint8_t>(tag->lite ? 13 : tag->memory.size() / 16 - 1);
    const size_t ln = content->size();
    Bytes aib{0x10, static_cast<uint8_t>(tag->maxRead), static_cast<uint8_t>(tag->maxWrite), 0x00, nmaxb, 0, 0, 0, 0, 0x00, 0x01,
              static_cast<uint8_t>(ln >> 16), static_cast<uint8_t>(ln >> 8), static_cast<uint8_t>(ln)};
    unsigned sum = 0;
    for (uint8_t b : aib) sum += b;
    aib.push_back(static_cast<uint8_t>(sum >> 8));
    aib.push_back(static_cast<uint8_t>(sum));
    tag->put(0, aib);
    tag->put(16, *content);
    return tag;
}

// ---- The cases ----------------------------------------------------------------------------------

struct NdefCase {
    std::string name;
    NciIdentity identity;
    DWORD mask;
    // The tag blank (nothing) or holding one NDEF message.
    std::function<std::shared_ptr<simtags::Tag>(const std::optional<Bytes>&)> make;
    // The NDEF message the tag's image holds, as the test's reader decodes it.
    std::function<std::optional<Bytes>(const simtags::Tag&)> stored;
    WORD capacity;
    NfcApiStatus readOnly;   // what make read-only answers
    uint8_t t5tProtocol = 0x06;   // the RF protocol value the controller gives ISO 15693 tags
};

std::ostream& operator<<(std::ostream& os, const NdefCase& c) { return os << c.name; }

std::vector<NdefCase> cases() {
    auto t1Stored = [](const simtags::Tag& t) { return simtags::ndefMessage(t1Area(t)); };
    return {
        {"StaticType1", NciIdentity::generic(), TAG_JEWEL_TYPE1 | TAG_NDEF,
         [](const std::optional<Bytes>& c) { return t1Tag(simtags::T1tTag::STATIC_SIZE, c); }, t1Stored, 90,
         nfcStatusOk},
        {"DynamicType1", NciIdentity::generic(), TAG_JEWEL_TYPE1 | TAG_NDEF,
         [](const std::optional<Bytes>& c) { return t1Tag(512, c); }, t1Stored, 462, nfcStatusOk},
        {"NxpIso15693", NciIdentity::nxp(), TAG_15693 | TAG_NDEF,
         [](const std::optional<Bytes>& c) { return vicinityTag({0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78}, 28, false, 1, c); },
         vicinityStored, 106, nfcStatusOk},
        {"ExtendedStIso15693", NciIdentity::nxp(), TAG_15693 | TAG_NDEF,
         [](const std::optional<Bytes>& c) { return vicinityTag({0xE0, 0x02, 0x2C, 0x00, 0x12, 0x34, 0x56, 0x78}, 128, true, 5, c); },
         vicinityStored, 504, nfcStatusNotImplemented, 0x86},
        {"Felica", NciIdentity::generic(), NFC_LISTEN_FELICA | TAG_NDEF,
         [](const std::optional<Bytes>& c) { return felicaTag(std::make_shared<simtags::T3tTag>(), c); }, felicaStored, 240,
         nfcStatusNotImplemented},
        {"FelicaLite", NciIdentity::generic(), NFC_LISTEN_FELICA | TAG_NDEF,
         [](const std::optional<Bytes>& c) { return felicaTag(std::shared_ptr<simtags::T3tTag>(simtags::T3tTag::felicaLite()), c); },
         felicaStored, 208, nfcStatusOk},
    };
}

struct NdefTag : ::testing::TestWithParam<NdefCase> {
    // The tag in the field, detected and connected.
    void enter(std::shared_ptr<simtags::Tag> t) {
        tag = std::move(t);
        ncisim::RfSettings settings;
        settings.t5tProtocol = GetParam().t5tProtocol;
        // Controllers that give ISO 15693 the proprietary value pass its answers on whole.
        settings.t5tFrameStatus = GetParam().t5tProtocol != 0x86;
        stack.sim().rf().configure(settings);
        ASSERT_EQ(stack.start(), 0u);
        listener = stack.listen(GetParam().mask);
        ASSERT_NE(listener, nullptr);
        ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1));
        stack.sim().rf().enter(tag);
        ASSERT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
        ASSERT_EQ(nfcConnectTag(listener, 0), 0u);
    }

    TNfcTagInfo checked() {
        TNfcTagInfo info{};
        EXPECT_EQ(nfcGetTagInfo(listener, -1, &info), nfcStatusOk);
        return info;
    }

    NfcApiStatus write(const Bytes& m) { return nfcWriteNdefMessage(listener, m.data(), static_cast<WORD>(m.size())); }

    std::optional<Bytes> read() {
        Bytes buffer(4096, 0);
        WORD length = static_cast<WORD>(buffer.size());
        if (nfcReadNdefMessage(listener, buffer.data(), &length) != nfcStatusOk) return std::nullopt;
        buffer.resize(length);
        return buffer;
    }

    // The tag's image as the test's reader decodes it, read on the simulator's thread.
    std::optional<Bytes> stored() {
        std::optional<Bytes> image;
        EXPECT_TRUE(stack.sim().call([&](ncisim::Controller&) { image = GetParam().stored(*tag); }));
        return image;
    }

    ApiStack stack{GetParam().identity};
    std::shared_ptr<simtags::Tag> tag;
    NfcListenerHandle listener = nullptr;
};

TEST_P(NdefTag, IsCheckedAndRead) {
    const Bytes m = message(30);
    enter(GetParam().make(m));
    const TNfcTagInfo info = checked();
    EXPECT_NE(+info.tagType & TAG_NDEF, 0u);
    EXPECT_EQ(+info.ndefLength, 30u);
    EXPECT_EQ(+info.ndefMaxSize, GetParam().capacity);
    EXPECT_EQ(read(), m);
    EXPECT_EQ(nfcCheckTag(listener), nfcStatusOk);
}

TEST_P(NdefTag, WritesTheBoundaryLengths) {
    enter(GetParam().make(message(8)));
    checked();
    for (size_t n : {size_t{1}, size_t{254}, size_t{255}, size_t{GetParam().capacity}}) {
        if (n > GetParam().capacity) continue;
        SCOPED_TRACE(n);
        const Bytes m = message(n);
        ASSERT_EQ(write(m), nfcStatusOk);
        EXPECT_EQ(stored(), m);
        EXPECT_EQ(read(), m);
    }
    EXPECT_NE(write(message(GetParam().capacity + 1u)), nfcStatusOk);
    EXPECT_EQ(stored(), message(GetParam().capacity)) << "a message refused whole changes nothing";
}

TEST_P(NdefTag, ABlankTagIsFormattedAndThenWritten) {
    enter(GetParam().make(std::nullopt));
    TNfcTagInfo info{};
    nfcGetTagInfo(listener, -1, &info);
    EXPECT_EQ(+info.tagType & TAG_NDEF, 0u);
    ASSERT_EQ(nfcFormatNdef(listener, GetParam().capacity), nfcStatusOk);
    EXPECT_EQ(stored(), Bytes{});
    const Bytes m = message(40);
    ASSERT_EQ(write(m), nfcStatusOk);
    EXPECT_EQ(stored(), m);
    EXPECT_EQ(read(), m);
}

TEST_P(NdefTag, AnErasedTagHoldsNoNdefUntilItIsFormattedAgain) {
    enter(GetParam().make(message(30)));
    checked();
    ASSERT_EQ(nfcFormat(listener, 0, 0), nfcStatusOk);
    EXPECT_EQ(stored(), std::nullopt);
    EXPECT_EQ(read(), std::nullopt) << "refused as on a tag without NDEF";
    TNfcTagInfo info{};
    nfcGetTagInfo(listener, -1, &info);
    EXPECT_EQ(+info.tagType & TAG_NDEF, 0u);
    EXPECT_EQ(+info.ndefLength, 0u);
    ASSERT_EQ(nfcFormatNdef(listener, GetParam().capacity), nfcStatusOk);
    const Bytes m = message(40);
    ASSERT_EQ(write(m), nfcStatusOk);
    EXPECT_EQ(stored(), m);
    EXPECT_EQ(read(), m);
    EXPECT_NE(+checked().tagType & TAG_NDEF, 0u);
}

TEST_P(NdefTag, MakeReadOnlyRefusesTheNextWrite) {
    const Bytes m = message(20);
    enter(GetParam().make(m));
    checked();
    ASSERT_EQ(nfcMakeReadOnly(listener), GetParam().readOnly);
    if (GetParam().readOnly != nfcStatusOk) return;
    EXPECT_NE(write(message(10)), nfcStatusOk);
    EXPECT_EQ(stored(), m);
    EXPECT_EQ(read(), m);
}

INSTANTIATE_TEST_SUITE_P(Families, NdefTag, ::testing::ValuesIn(cases()), [](const auto& info) { return info.param.name; });

} // namespace
