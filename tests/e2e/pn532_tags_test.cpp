// Tags on a simulated PN532 as an application meets them through the public API: the reader is
// started on its pseudo-terminal, a Type 2 tag entering the field is detected with its
// identifiers, a PDU goes to it and its answer comes back, its NDEF message is read, and its
// leaving is reported; it is found again when it comes back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api_stack.h"
#include "pn53x/pn532_pty.h"
#include "tags/ndef_image.h"
#include "tags/t2t_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;
using simtags::T2tTag;

constexpr uint8_t kInListPassiveTarget = 0x4A;

struct Pn532Session {
    explicit Pn532Session(const char* readerType) : stack(readerType, sim.portPath()) {}

    // Started, listening for type A, with the tag entering once the reader polls for it.
    bool detect(std::shared_ptr<simtags::Tag> tag) {
        if (!sim.ok() || stack.start() != nfcStatusOk) return false;
        listener = stack.listen(TAG_ISO14443A);
        if (!listener || !sim.sim().waitForCommands(kInListPassiveTarget, 1, ApiStack::kBounded)) return false;
        sim.sim().enter(std::move(tag));
        return stack.waitFor(nfcEventTagDetected).has_value();
    }
    NfcApiStatus exchange(const Bytes& pdu, Bytes* answer) {
        answer->assign(64, 0);
        WORD length = static_cast<WORD>(answer->size());
        const NfcApiStatus status =
            nfcExchangePdu(listener, pdu.data(), static_cast<WORD>(pdu.size()), answer->data(), &length);
        answer->resize(status == nfcStatusOk ? length : 0);
        return status;
    }

    pn53xsim::Pn532PtySim sim;
    ApiStack stack;
    NfcListenerHandle listener = nullptr;
};

std::shared_ptr<T2tTag> tagWith(const Bytes& message) {
    auto tag = T2tTag::make(T2tTag::Chip::Ultralight, true);
    tag->put(16, simtags::ndefTlv(message));
    return tag;
}

class Pn53xTags : public ::testing::TestWithParam<const char*> {};

TEST_P(Pn53xTags, AType2TagIsDetectedExchangedWithReadAndSeenToLeave) {
    const Bytes message = simtags::mimeMessage(30, 3);
    auto tag = tagWith(message);
    Pn532Session s(GetParam());
    ASSERT_TRUE(s.detect(tag));

    const TNfcTagInfo info = s.stack.waitFor(nfcEventTagDetected)->tag;
    EXPECT_EQ(+info.tagType & TAG_ULTRALIGHT_TYPE2, TAG_ULTRALIGHT_TYPE2);
    EXPECT_EQ(Bytes(info.uid, info.uid + info.uidLength), tag->a.nfcid1);
    EXPECT_EQ(+info.a.atqa, 0x0044);
    EXPECT_EQ(+info.a.sak, 0x00);

    ASSERT_EQ(nfcConnectTag(s.listener, 0), nfcStatusOk);
    Bytes answer;
    ASSERT_EQ(s.exchange({0x30, 0x03}, &answer), nfcStatusOk);
    EXPECT_EQ(answer, tag->bytes(12, 16)) << "the page data without the controller's status byte";

    TNfcTagInfo checked{};
    ASSERT_EQ(nfcGetTagInfo(s.listener, -1, &checked), nfcStatusOk);
    EXPECT_EQ(+checked.tagType, TAG_ULTRALIGHT_TYPE2 | TAG_NDEF);
    EXPECT_EQ(+checked.ndefLength, message.size());
    Bytes got(2048);
    WORD length = static_cast<WORD>(got.size());
    ASSERT_EQ(nfcReadNdefMessage(s.listener, got.data(), &length), nfcStatusOk);
    got.resize(length);
    EXPECT_EQ(got, message);

    s.sim.sim().leave();
    EXPECT_TRUE(s.stack.waitFor(nfcEventTagRemoved).has_value());
    // The reader polls on: the tag that comes back is detected again.
    s.sim.sim().enter(tagWith(message));
    EXPECT_TRUE(s.stack.waitFor(nfcEventTagDetected, 1).has_value());
}

INSTANTIATE_TEST_SUITE_P(Chips, Pn53xTags, ::testing::Values("PN532", "PN533"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
