// Tags on a plain ETSI HCI controller, through the public API only: the controller simulated
// behind SHDLC on a pseudo-terminal polls with its reader gates, a tag model enters its field,
// and the application sees it detected with its identity, reads its NDEF message and exchanges
// frames with it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ehci_api_fixture.h"
#include "corvane.h"
#include "hci/hci_pn544.h"
#include "hci/hci_pty.h"
#include "hci/hci_st21.h"
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
    auto tag = std::make_shared<simtags::IsoDepTag>();   // ATQA 0x0004 and SAK 0x20, as such cards answer
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

// The ST21NFCA takes the serial defaults of its reader type (SHDLC length mode, the reboot
// command); the ST21NFCB has none and speaks the framing with flags.
// The chip model, made before the fixture that the personality holding it builds.
struct St21Model {
    std::shared_ptr<hcisim::St21Chip> chip_;
};

class St21Tags : protected St21Model, public EtsiTags, public ::testing::WithParamInterface<bool> {
protected:
    St21Tags()
        : EtsiTags(hcisim::st21Personality(hcisim::St21Options{GetParam()}, &chip_), GetParam() ? "ST21NFCB" : "ST21NFCA") {}
    static bool creates(const std::vector<hcisim::Logged>& log, uint8_t instruction) {
        return std::any_of(log.begin(), log.end(), [&](const hcisim::Logged& l) {
            return l.message.pipe == hcisim::PIPE_ADMIN && l.message.type == hcisim::Type::command &&
                   l.message.instruction == instruction;
        });
    }
};

TEST_P(St21Tags, StartsAndAType2TagIsDetectedReadAndExchangedWith) {
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true);
    const Bytes message = {0xD1, 0x01, 0x04, 0x54, 0x02, 0x65, 0x6E, 0x48};
    tag->put(16, {0x03, static_cast<uint8_t>(message.size())});
    tag->put(18, message);
    tag->put(18 + message.size(), {0xFE});
    NfcListenerHandle listener = nullptr;
    TNfcTagInfo info{};
    ASSERT_TRUE(detect(tag, TAG_ISO14443A, &listener, &info));
    EXPECT_EQ(info.tagType & ~TAG_NDEF, TAG_ULTRALIGHT_TYPE2);
    EXPECT_EQ(uidOf(info), tag->a.nfcid1);
    // The device manager was told the stack runs; only the ST21NFCA's CLF configuration is rewritten.
    EXPECT_EQ(chip_->nfcMode(), 1);
    EXPECT_EQ(chip_->clfWrites(), GetParam() ? 0u : 1u);
    EXPECT_EQ(chip_->clfConfig()[2] & 0x01, GetParam() ? 0 : 1);

    ASSERT_EQ(nfcConnectTag(listener, 0), nfcStatusOk);
    TNfcTagInfo checked{};
    ASSERT_EQ(nfcGetTagInfo(listener, -1, &checked), nfcStatusOk);
    EXPECT_EQ(+checked.tagType, TAG_ULTRALIGHT_TYPE2 | TAG_NDEF);
    Bytes got(256);
    WORD length = static_cast<WORD>(got.size());
    ASSERT_EQ(nfcReadNdefMessage(listener, got.data(), &length), nfcStatusOk);
    got.resize(length);
    EXPECT_EQ(got, message);
    // READ of page 4: sixteen bytes, without the gate's status byte.
    const Bytes read = {0x30, 0x04};
    Bytes answer(64);
    length = static_cast<WORD>(answer.size());
    ASSERT_EQ(nfcExchangePdu(listener, read.data(), static_cast<WORD>(read.size()), answer.data(), &length),
              nfcStatusOk);
    answer.resize(length);
    EXPECT_EQ(answer, tag->bytes(16, 16));
}

TEST_P(St21Tags, AWarmStartReusesThePipesTheChipKept) {
    ASSERT_TRUE(start());
    stop();
    sim_.controller().clearLog();
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, true);
    NfcListenerHandle listener = nullptr;
    TNfcTagInfo info{};
    ASSERT_TRUE(detect(tag, TAG_ISO14443A, &listener, &info));
    EXPECT_EQ(info.tagType & ~TAG_NDEF, TAG_ULTRALIGHT_TYPE2);
    const std::vector<hcisim::Logged> log = sim_.controller().log();
    EXPECT_FALSE(creates(log, hcisim::ADM_CLEAR_ALL_PIPE));
    EXPECT_FALSE(creates(log, hcisim::ADM_CREATE_PIPE));
}

INSTANTIATE_TEST_SUITE_P(Chips, St21Tags, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "NFCB" : "NFCA"; });

}  // namespace

// ---- Secure elements of the ST21NFCA/B ---------------------------------------------------------------
// The chip with or without its eSE, powered at the start so that a fresh session has the card pipe.
class St21Secure : protected St21Model, public EtsiTags {
protected:
    St21Secure(bool ese, bool nfcb)
        : EtsiTags(hcisim::st21Personality(options(ese, nfcb), &chip_), nfcb ? "ST21NFCB" : "ST21NFCA") {}
    static hcisim::St21Options options(bool ese, bool nfcb) {
        hcisim::St21Options o;
        o.nfcb = nfcb;
        o.ese = ese;
        o.eseOn = ese;
        return o;
    }
    static void listed(void* context, TNfcInfoSE* se) {
        static_cast<std::vector<TNfcInfoSE>*>(context)->push_back(*se);
    }
    std::vector<TNfcInfoSE> list() {
        std::vector<TNfcInfoSE> records;
        EXPECT_EQ(nfcSecureGetList(handle_, &records, &St21Secure::listed), nfcStatusOk);
        return records;
    }
    // The first notification about this SE, waiting a bounded time for it.
    bool notified(NfcSecureHandle se, TNfcSecureNotification* note) {
        std::unique_lock<std::mutex> lock(m_);
        auto about = [&] {
            return std::find_if(notes_.begin(), notes_.end(), [&](const auto& n) { return n.handle == se; });
        };
        if (!cv_.wait_for(lock, std::chrono::milliseconds(kBoundedMs), [&] { return about() != notes_.end(); }))
            return false;
        *note = *about();
        return true;
    }
};

class St21List : public St21Secure, public ::testing::WithParamInterface<bool> {
protected:
    St21List() : St21Secure(GetParam(), false) {}
};

TEST_P(St21List, TheListHoldsTheEseOnlyWhenTheChipHasOne) {
    ASSERT_TRUE(start());
    const std::vector<TNfcInfoSE> records = list();
    ASSERT_EQ(records.size(), GetParam() ? 2u : 1u);
    EXPECT_EQ(records[0].id, 0x02);
    EXPECT_EQ(+records[0].capabilities, 0xA001);
    if (GetParam()) {
        EXPECT_EQ(records[1].id, 0xC0);
        EXPECT_EQ(+records[1].capabilities, 0x1003);
    }
}

INSTANTIATE_TEST_SUITE_P(Ese, St21List, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "With" : "Without"; });

class St21Ese : public St21Secure, public ::testing::WithParamInterface<bool> {
protected:
    St21Ese() : St21Secure(true, GetParam()) {}
};

// Enabled, the eSE is switched on and the application hears so; a wired session opens, carries an
// APDU and closes, and the eSE stays on for card emulation.
TEST_P(St21Ese, IsNotifiedWhenEnabledAndCarriesAnApduInAWiredSession) {
    chip_->setApduResponder([](const Bytes& apdu) {
        Bytes answer = apdu;
        answer.insert(answer.end(), {0x90, 0x00});
        return answer;
    });
    ASSERT_TRUE(start());
    const std::vector<TNfcInfoSE> records = list();
    ASSERT_EQ(records.size(), 2u);
    const NfcSecureHandle ese = records[1].handle;
    ASSERT_EQ(nfcSecureSetMode(handle_, ese, 1), nfcStatusOk);
    TNfcSecureNotification note{};
    ASSERT_TRUE(notified(ese, &note));
    EXPECT_EQ(note.kind, NFC_SE_ACTIVATED);
    EXPECT_EQ(note.value & 0x2u, 0x2u) << "the wired pipe is there";

    NfcSecureConnectionHandle connection = nullptr;
    ASSERT_EQ(nfcSecureOpen(handle_, ese, &connection), nfcStatusOk);
    ASSERT_NE(connection, nullptr);
    const Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};
    Bytes answer(64);
    WORD length = static_cast<WORD>(answer.size());
    ASSERT_EQ(nfcSecureExchangePdu(connection, select.data(), static_cast<WORD>(select.size()), answer.data(), &length),
              nfcStatusOk);
    answer.resize(length);
    Bytes expected = select;
    expected.insert(expected.end(), {0x90, 0x00});
    EXPECT_EQ(answer, expected);
    EXPECT_EQ(nfcSecureClose(connection), nfcStatusOk);
    EXPECT_EQ(chip_->softResets(), 1u);
    const std::vector<Bytes> power = chip_->powerEvents();
    EXPECT_EQ(std::count(power.begin(), power.end(), Bytes{0x22}), 1);
    EXPECT_EQ(std::count(power.begin(), power.end(), Bytes{0x23}), 0) << "enabled: it stays on";
}

INSTANTIATE_TEST_SUITE_P(Chips, St21Ese, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "NFCB" : "NFCA"; });

// An AID route added through the API is read back whole, naming its SE by handle.
TEST_P(St21Ese, AnAddedRouteIsReadBack) {
    ASSERT_TRUE(start());
    const std::vector<TNfcInfoSE> records = list();
    ASSERT_EQ(records.size(), 2u);
    TNfcRoutingEntry route{};
    route.hSecure = records[1].handle;
    route.type = NFC_ROUTE_AID;
    route.nfceeId = 0x01;
    const Bytes aid = {0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10};
    route.aid.length = static_cast<BYTE>(aid.size());
    std::copy(aid.begin(), aid.end(), route.aid.bytes);
    ASSERT_EQ(nfcSecureAddRoutingEntries(handle_, &route, 1), nfcStatusOk);
    TNfcRoutingEntry read[3] = {};
    DWORD size = sizeof read;
    ASSERT_EQ(nfcSecureGetRoutingEntries(handle_, read, &size), nfcStatusOk);
    ASSERT_EQ(size, sizeof(TNfcRoutingEntry));
    EXPECT_EQ(std::memcmp(&read[0], &route, sizeof route), 0);
    ASSERT_EQ(nfcSecureClearRoutingEntries(handle_), nfcStatusOk);
    size = sizeof read;
    ASSERT_EQ(nfcSecureGetRoutingEntries(handle_, read, &size), nfcStatusOk);
    EXPECT_EQ(size, 0u);
}
