// The main road from the application to a simulated tag and back, through the public API and
// the real library on a pseudo-terminal: discovery with the listeners' mask, the tag detected
// with its record, host selection among several tags, and the mask that changes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "tags/iso15693_tag.h"
#include "tags/iso_dep_tag.h"
#include "tags/kovio_tag.h"
#include "tags/t1t_tag.h"
#include "tags/t2t_tag.h"
#include "tags/t3t_tag.h"
#include "util/trace.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::NciIdentity;
using ncisim::RfState;
using simtags::Technology;

constexpr uint16_t kRfDiscover = 0x2103, kRfDiscoverSelect = 0x2104, kRfDeactivate = 0x2106;

Bytes uidOf(const TNfcTagInfo& tag) { return Bytes(tag.uid, tag.uid + tag.uidLength); }

struct TagCase {
    std::string name;
    NciIdentity identity;
    std::function<ncisim::TagPtr()> make;
    DWORD mask;
    DWORD tagType;
    Bytes uid;
    std::function<void(const TNfcTagInfo&)> more;   // the technology's own fields
};

std::ostream& operator<<(std::ostream& os, const TagCase& c) { return os << c.name; }

std::vector<TagCase> tagCases() {
    return {
        {"T1T", NciIdentity::generic(), [] { return std::make_shared<simtags::T1tTag>(); }, TAG_JEWEL_TYPE1,
         TAG_JEWEL_TYPE1, {0x3B, 0x21, 0x43, 0x65},
         [](const TNfcTagInfo& t) { EXPECT_EQ(+t.a.atqa, 0x0C00); }},
        {"T2T", NciIdentity::generic(), [] { return std::make_shared<simtags::T2tTag>(); }, TAG_ISO14443A,
         TAG_ULTRALIGHT_TYPE2, {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66},
         [](const TNfcTagInfo& t) {
             EXPECT_EQ(+t.a.atqa, 0x4400);
             EXPECT_EQ(t.a.sak, 0x00);
             EXPECT_EQ(+t.rx, 106);
             EXPECT_EQ(+t.tx, 106);
         }},
        {"IsoDepA", NciIdentity::generic(), [] { return std::make_shared<simtags::IsoDepTag>(Technology::A); },
         TAG_ISO14443A, TAG_ISO14443A, {0x08, 0x12, 0x34, 0x56},
         [](const TNfcTagInfo& t) {
             EXPECT_EQ(t.a.sak, 0x20);
             ASSERT_EQ(+t.historicalBytesLength, 1);   // T0 0x78 announces TA, TB and TC before it
             EXPECT_EQ(t.a.historicalBytes[0], 0x80);
         }},
        {"IsoDepB", NciIdentity::generic(), [] { return std::make_shared<simtags::IsoDepTag>(Technology::B); },
         TAG_14443B, TAG_14443B, {0x11, 0x22, 0x33, 0x44},
         [](const TNfcTagInfo& t) { EXPECT_EQ(+t.higherLayerResponseLength, 0); }},
        {"T3T", NciIdentity::generic(), [] { return std::make_shared<simtags::T3tTag>(); }, NFC_LISTEN_FELICA,
         TAG_FELICA_TYPE3, {0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05},
         [](const TNfcTagInfo& t) {
             EXPECT_EQ(+t.felica.systemCode, 0x12FC);
             EXPECT_EQ(Bytes(t.felica.pmm, t.felica.pmm + 8), (Bytes{0x03, 0x01, 0x4B, 0x02, 0x4F, 0x49, 0x93, 0xFF}));
             EXPECT_EQ(+t.rx, 212);
         }},
        {"Iso15693", NciIdentity::nxp(), [] { return std::make_shared<simtags::Iso15693Tag>(); }, TAG_15693, TAG_15693,
         {0xE0, 0x04, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78}, nullptr},
        {"Kovio", NciIdentity::nxp(), [] { return std::make_shared<simtags::KovioTag>(); }, TAG_KOVIO_BARCODE,
         TAG_KOVIO_BARCODE,
         {0x81, 0x0A, 0xCB, 0x03, 0x24, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x0F}, nullptr},
    };
}

struct TagDetected : ::testing::TestWithParam<TagCase> {};

TEST_P(TagDetected, ReachesTheApplicationWithItsTypeUidAndParameters) {
    const TagCase& c = GetParam();
    ApiStack stack(c.identity);
    ASSERT_EQ(stack.start(), 0u);
    int context = 0;
    NfcListenerHandle listener = stack.listen(c.mask, &context);
    ASSERT_NE(listener, nullptr);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1)) << stack.sim().describe();
    stack.sim().rf().enter(c.make());

    const auto detected = stack.waitFor(nfcEventTagDetected);
    ASSERT_TRUE(detected) << stack.sim().describe();
    EXPECT_EQ(detected->listenerContext, &context);
    EXPECT_EQ(+detected->tag.tagType & ~TAG_NDEF, c.tagType);
    EXPECT_EQ(uidOf(detected->tag), c.uid);
    if (c.more) c.more(detected->tag);
    TNfcTagInfo info{};
    ASSERT_EQ(nfcConnectTag(listener, 0), 0u);
    ASSERT_EQ(nfcGetTagInfo(listener, 0, &info), 0u);
    EXPECT_EQ(uidOf(info), c.uid);
}

INSTANTIATE_TEST_SUITE_P(Protocols, TagDetected, ::testing::ValuesIn(tagCases()),
                         [](const auto& info) { return info.param.name; });

} // namespace
