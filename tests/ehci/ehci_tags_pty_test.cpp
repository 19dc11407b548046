// Tags on a plain ETSI HCI controller, through the public API only: the controller simulated
// behind SHDLC on a pseudo-terminal polls with its reader gates, a tag model enters its field,
// and the application sees it detected with its identity, reads its NDEF message and exchanges
// frames with it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "ehci_api_fixture.h"
#include "corvane.h"
#include "hci/hci_pn544.h"
#include "hci/hci_pty.h"
#include "tags/iso15693_tag.h"
#include "tags/iso_dep_tag.h"
#include "tags/t2t_tag.h"

namespace {

using hcisim::Bytes;

class EtsiTags : public EtsiApi {
protected:
    using EtsiApi::EtsiApi;
};

Bytes uidOf(const TNfcTagInfo& info) { return Bytes(info.uid, info.uid + info.uidLength); }

TEST_F(EtsiTags, AType2TagIsDetectedWithItsIdentityAndItsNdefMessageIsRead) {
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true);
    const Bytes message = {0xD1, 0x01, 0x04, 0x54, 0x02, 0x65, 0x6E, 0x48};
    tag->put(16, {0x03, static_cast<uint8_t>(message.size())});
    tag->put(18, message);
    tag->put(18 + message.size(), {0xFE});
    NfcListenerHandle listener = nullptr;
    TNfcTagInfo info{};
    ASSERT_TRUE(detect(tag, TAG_ISO14443A, &listener, &info));
    const DWORD type = info.tagType;
    const WORD atqa = info.a.atqa;
    EXPECT_EQ(type & ~TAG_NDEF, TAG_ULTRALIGHT_TYPE2);
    EXPECT_EQ(uidOf(info), tag->a.nfcid1);
    EXPECT_EQ(atqa, 0x0044);
    EXPECT_EQ(info.a.sak, 0x00);

    ASSERT_EQ(nfcConnectTag(listener, 0), nfcStatusOk);
    TNfcTagInfo checked{};
    ASSERT_EQ(nfcGetTagInfo(listener, -1, &checked), nfcStatusOk);
    EXPECT_EQ(+checked.tagType, TAG_ULTRALIGHT_TYPE2 | TAG_NDEF);
    EXPECT_EQ(+checked.ndefLength, message.size());
    Bytes got(256);
    WORD length = static_cast<WORD>(got.size());
    ASSERT_EQ(nfcReadNdefMessage(listener, got.data(), &length), nfcStatusOk);
    got.resize(length);
    EXPECT_EQ(got, message);

    // The tag leaves the field: the presence check finds it gone and the application hears so.
    EXPECT_EQ(nfcCheckTag(listener), nfcStatusOk);
    sim_.controller().leave();
    EXPECT_NE(nfcCheckTag(listener), nfcStatusOk);
    EXPECT_TRUE(waitFor(nfcEventTagRemoved));
}

TEST_F(EtsiTags, AnIsoDepTagIsDetectedAndAnApduRoundTrips) {
    auto tag = std::make_shared<simtags::IsoDepTag>();
    tag->a.sensRes = {0x48, 0x00};   // an ATQA that no MIFARE row of the identification claims
    NfcListenerHandle listener = nullptr;
    TNfcTagInfo info{};
    ASSERT_TRUE(detect(tag, TAG_ISO14443A, &listener, &info));
    const DWORD type = info.tagType;
    EXPECT_EQ(type & ~TAG_NDEF, TAG_ISO14443A);
    EXPECT_EQ(uidOf(info), tag->a.nfcid1);
    EXPECT_EQ(info.a.sak, tag->a.selRes.value_or(0));
    ASSERT_EQ(nfcConnectTag(listener, 0), nfcStatusOk);

    // SELECT of the NDEF application: the answer's status word comes back without the
    // controller's trailing status byte.
    const Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
    Bytes answer(64);
    WORD length = static_cast<WORD>(answer.size());
    ASSERT_EQ(nfcExchangePdu(listener, select.data(), static_cast<WORD>(select.size()), answer.data(), &length),
              nfcStatusOk);
    answer.resize(length);
    EXPECT_EQ(answer, (Bytes{0x90, 0x00}));
}

class DemoTags : public EtsiTags {
protected:
    DemoTags() : EtsiTags(hcisim::Personality::demo(), "DEMO") {}
};

TEST_F(DemoTags, AVicinityTagIsDetectedWithItsUidInOrder) {
    auto tag = std::make_shared<simtags::Iso15693Tag>();
    NfcListenerHandle listener = nullptr;
    TNfcTagInfo info{};
    ASSERT_TRUE(detect(tag, TAG_15693, &listener, &info));
    const DWORD type = info.tagType;
    EXPECT_EQ(type & ~TAG_NDEF, TAG_15693);
    EXPECT_EQ(uidOf(info), Bytes(tag->v.uid.begin(), tag->v.uid.end()));
}

// A PN544: its polling loop runs the readers, and its presence check asks the reader gate.
class Pn544Tags : public EtsiTags {
protected:
    Pn544Tags() : EtsiTags(hcisim::pn544Personality(std::make_shared<hcisim::Pn544Chip>()), "PN544") {}
};

TEST_F(Pn544Tags, AType2TagIsDetectedExchangedWithAndFoundGone) {
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true);
    const Bytes page4 = {0x03, 0x08, 0xD1, 0x01, 0x04, 0x54, 0x02, 0x65, 0x6E, 0x48, 0xFE, 0x00, 0x00, 0x00, 0x00, 0x00};
    tag->put(16, page4);
    NfcListenerHandle listener = nullptr;
    TNfcTagInfo info{};
    ASSERT_TRUE(detect(tag, TAG_ISO14443A, &listener, &info));
    const DWORD type = info.tagType;
    EXPECT_EQ(type & ~TAG_NDEF, TAG_ULTRALIGHT_TYPE2);
    EXPECT_EQ(uidOf(info), tag->a.nfcid1);
    ASSERT_EQ(nfcConnectTag(listener, 0), nfcStatusOk);

    // READ of page 4 goes out as the chip's MIFARE exchange and its 16 bytes come back.
    const Bytes read = {0x30, 0x04};
    Bytes answer(64);
    WORD length = static_cast<WORD>(answer.size());
    ASSERT_EQ(nfcExchangePdu(listener, read.data(), static_cast<WORD>(read.size()), answer.data(), &length), nfcStatusOk);
    answer.resize(length);
    EXPECT_EQ(answer, page4);

    // The presence check asks the reader gate to activate the identifier again: gone, it fails.
    EXPECT_EQ(nfcCheckTag(listener), nfcStatusOk);
    sim_.controller().leave();
    EXPECT_NE(nfcCheckTag(listener), nfcStatusOk);
    EXPECT_TRUE(waitFor(nfcEventTagRemoved));
}

}  // namespace
