// What the application does with a detected tag and with the controller, through the public API
// against the simulated controller: raw exchanges cut into segments under credit flow control,
// an answer too long for layer 1, removal, several tags, the listeners' mask, the radio, the
// loopback test and the controller's parameters.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "api_stack.h"
#include "nci/nci_sim_message.h"
#include "tags/iso_dep_tag.h"
#include "tags/t2t_tag.h"
#include "tags/t3t_tag.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ncisim::CreditReturn;
using ncisim::Direction;
using ncisim::NciMessage;
using ncisim::Removal;
using ncisim::RfSettings;
using ncisim::RfState;
using simtags::Technology;

constexpr uint16_t kSetConfig = 0x2002, kGetConfig = 0x2003, kConnCreate = 0x2004, kRfDiscover = 0x2103,
                   kRfDiscoverSelect = 0x2104, kRfDeactivate = 0x2106;
constexpr WORD kRoom = 4096;

Bytes apdu(std::initializer_list<uint8_t> head, const Bytes& data = {}) {
    Bytes out(head);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// A listener with a detected, connected tag.
struct Connected {
    NfcListenerHandle listener = nullptr;
    TNfcTagInfo tag{};
};

Connected detectAndConnect(ApiStack& stack, DWORD mask, const ncisim::TagPtr& tag, size_t nth = 0) {
    Connected c;
    c.listener = stack.listen(mask);
    if (!c.listener || !stack.waitForCommands(kRfDiscover, 1)) return {};
    stack.sim().rf().enter(tag);
    const auto detected = stack.waitFor(nfcEventTagDetected, nth);
    if (!detected || nfcConnectTag(c.listener, 0) != nfcStatusOk) return {};
    c.tag = detected->tag;
    return c;
}

NfcApiStatus exchange(const Connected& c, const Bytes& pdu, Bytes* answer) {
    answer->assign(kRoom, 0);
    WORD length = kRoom;
    const NfcApiStatus status = nfcExchangePdu(c.listener, pdu.data(), static_cast<WORD>(pdu.size()), answer->data(), &length);
    answer->resize(status == nfcStatusOk ? length : 0);
    return status;
}

const Bytes kOk{0x90, 0x00};
const Bytes kSelectApp{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01};
const Bytes kSelectNdef = apdu({0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04});

Bytes readBinary(uint16_t offset, uint16_t length) {
    return {0x00, 0xB0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), 0x00,
            static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

// Data packets the host sent on the static RF connection, as their payload sizes.
std::vector<size_t> hostDataSegments(ApiStack& stack) {
    std::vector<size_t> sizes;
    for (const auto& p : stack.sim().recorder().packets())
        if (p.direction == Direction::FromHost && p.bytes.size() >= 3 && (p.bytes[0] & 0xEF) == 0x00)
            sizes.push_back(p.bytes[2]);
    return sizes;
}

TEST(RawExchange, LongCommandAndAnswerTravelInSegmentsUnderCreditFlowControl) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    RfSettings s;
    s.maxDataPayload = 32;
    s.initialCredits = 1;
    s.creditReturn = CreditReturn::PerPacket;
    stack.sim().rf().configure(s);
    auto tag = std::make_shared<simtags::IsoDepTag>(Technology::A);
    const Connected c = detectAndConnect(stack, TAG_ISO14443A, tag);
    ASSERT_NE(c.listener, nullptr) << stack.sim().describe();

    Bytes answer;
    ASSERT_EQ(exchange(c, kSelectApp, &answer), 0u);
    EXPECT_EQ(answer, kOk);
    ASSERT_EQ(exchange(c, kSelectNdef, &answer), 0u);
    EXPECT_EQ(answer, kOk);
    Bytes content(200);
    for (size_t k = 0; k < content.size(); ++k) content[k] = static_cast<uint8_t>(k * 7 + 1);
    const Bytes update = apdu({0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 200}, content);
    ASSERT_EQ(exchange(c, update, &answer), 0u);
    EXPECT_EQ(answer, kOk);
    // 207 bytes in segments of at most 32, each sent on a credit the controller gave back.
    const auto sizes = hostDataSegments(stack);
    EXPECT_TRUE(std::all_of(sizes.begin(), sizes.end(), [](size_t n) { return n <= 32; }));
    EXPECT_GE(std::count(sizes.begin(), sizes.end(), 32u), 6);
    EXPECT_TRUE(stack.sim().recorder().violations().empty()) << stack.sim().describe();

    // 770 bytes come back whole from the controller's segments.
    ASSERT_EQ(exchange(c, readBinary(0, 768), &answer), 0u);
    ASSERT_EQ(answer.size(), 770u);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), answer.begin()));
    EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), kOk);
}

TEST(RawExchange, AnswerLongerThanLayerOneTakesIsRefusedAndTheNextExchangeWorks) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    auto tag = std::make_shared<simtags::IsoDepTag>(Technology::A, 4096);
    const Connected c = detectAndConnect(stack, TAG_ISO14443A, tag);
    ASSERT_NE(c.listener, nullptr) << stack.sim().describe();
    Bytes answer;
    ASSERT_EQ(exchange(c, kSelectApp, &answer), 0u);
    ASSERT_EQ(exchange(c, kSelectNdef, &answer), 0u);

    std::vector<uint8_t> room(kRoom, 0xEE);
    WORD length = kRoom;
    const Bytes tooLong = readBinary(0, 2304);
    EXPECT_NE(nfcExchangePdu(c.listener, tooLong.data(), static_cast<WORD>(tooLong.size()), room.data(), &length), 0u);
    EXPECT_TRUE(std::all_of(room.begin(), room.end(), [](uint8_t b) { return b == 0xEE; }));

    ASSERT_EQ(exchange(c, readBinary(0, 16), &answer), 0u);
    EXPECT_EQ(answer.size(), 18u);
}

TEST(Removal, TagThatLeavesIsReportedAndOneThatComesBackIsDetectedAgain) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    RfSettings s;
    s.removal = Removal::LinkLoss;
    stack.sim().rf().configure(s);
    auto tag = std::make_shared<simtags::T2tTag>();
    const Connected c = detectAndConnect(stack, TAG_ISO14443A, tag);
    ASSERT_NE(c.listener, nullptr) << stack.sim().describe();
    Bytes answer;
    ASSERT_EQ(exchange(c, {0x30, 0x00}, &answer), 0u);
    EXPECT_EQ(answer.size(), 16u);
    // A check without a handler of the tag's family is answered from what the controller reported.
    EXPECT_EQ(nfcCheckTag(c.listener), 0u);

    stack.sim().rf().leave(tag);
    ASSERT_TRUE(stack.waitFor(nfcEventTagRemoved)) << stack.sim().describe();
    stack.sim().rf().enter(tag);
    ASSERT_TRUE(stack.waitFor(nfcEventTagDetected, 1)) << stack.sim().describe();
}

TEST(Selection, TwoTagsAtOnceAreAnnouncedAndOneIsSelectedOnce) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    stack.sim().rf().enter(std::make_shared<simtags::T2tTag>());
    stack.sim().rf().enter(std::make_shared<simtags::IsoDepTag>(Technology::B));
    ASSERT_NE(stack.listen(TAG_ISO14443A | TAG_14443B), nullptr);
    const auto detected = stack.waitFor(nfcEventTagDetected);
    ASSERT_TRUE(detected) << stack.sim().describe();
    EXPECT_EQ(+detected->tag.tagType & ~TAG_NDEF, TAG_ULTRALIGHT_TYPE2);
    // The first endpoint, with the protocol and the Frame RF interface its mapping gives.
    EXPECT_EQ(stack.commands(kRfDiscoverSelect), (std::vector<Bytes>{{0x01, 0x02, 0x01}}));
}

TEST(Selection, ASingleAnnouncedTagIsSelectedOnceThoughTheManagerAsksToo) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    // A controller that announces even a lone tag before activating it.
    stack.sim().onCommand(kRfDiscover, [](ncisim::Controller& ctl, const NciMessage&) {
        ctl.respond(0x4103, {0x00});
        ctl.respond(0x6103, {0x01, 0x02, 0x00, 0x0C, 0x44, 0x00, 0x07, 0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x01,
                             0x00, 0x00});
    });
    stack.sim().onCommand(kRfDiscoverSelect, [](ncisim::Controller& ctl, const NciMessage&) {
        ctl.respond(0x4104, {0x00});
        ctl.respond(0x6105, {0x01, 0x01, 0x02, 0x00, 0xFF, 0x01, 0x0C, 0x44, 0x00, 0x07, 0x04, 0x11, 0x22, 0x33, 0x44,
                             0x55, 0x66, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
    });
    ASSERT_NE(stack.listen(TAG_ISO14443A), nullptr);
    const auto detected = stack.waitFor(nfcEventTagDetected);
    ASSERT_TRUE(detected) << stack.sim().describe();
    EXPECT_EQ(+detected->tag.uidLength, 7);
    // The manager's select of the same endpoint has its answer; the controller sees one select.
    NfcHandle h = stack.handle();
    WORD none = 0;
    EXPECT_EQ(nfcDeviceIoControl(h, 0x8011, Bytes(8, 0).data(), 8, nullptr, &none), 0u);
    EXPECT_EQ(stack.commands(kRfDiscoverSelect).size(), 1u);
}

TEST(ListenMask, ASecondListenerRestartsDiscoveryWithTheWiderMask) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    ASSERT_NE(stack.listen(TAG_ISO14443A), nullptr);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1));
    EXPECT_EQ(stack.commands(kRfDiscover)[0], (Bytes{0x01, 0x00, 0x01}));
    ASSERT_NE(stack.listen(NFC_LISTEN_FELICA), nullptr);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 2)) << stack.sim().describe();
    EXPECT_EQ(stack.commands(kRfDiscover)[1], (Bytes{0x02, 0x00, 0x01, 0x02, 0x01}));
    EXPECT_EQ(stack.commands(kRfDeactivate), (std::vector<Bytes>{{0x00}}));
    stack.sim().rf().enter(std::make_shared<simtags::T3tTag>());
    const auto detected = stack.waitFor(nfcEventTagDetected);
    ASSERT_TRUE(detected);
    EXPECT_EQ(+detected->tag.tagType & ~TAG_NDEF, TAG_FELICA_TYPE3);
}

TEST(Radio, OffStopsDiscoveryAndOnResumesItWithTheSameMask) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    WORD none = 0;
    // From idle nothing goes to the controller.
    const size_t before = stack.sim().commandOpcodes().size();
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), 0x1007, nullptr, 0, nullptr, &none), 0u);
    EXPECT_EQ(stack.sim().commandOpcodes().size(), before);
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), 0x1006, nullptr, 0, nullptr, &none), 0u);

    ASSERT_NE(stack.listen(TAG_ISO14443A), nullptr);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 1));
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), 0x1007, nullptr, 0, nullptr, &none), 0u);
    EXPECT_EQ(stack.commands(kRfDeactivate), (std::vector<Bytes>{{0x00}}));
    EXPECT_EQ(stack.sim().rf().state(), RfState::Idle);
    stack.sim().rf().enter(std::make_shared<simtags::T2tTag>());
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), 0x1006, nullptr, 0, nullptr, &none), 0u);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscover, 2));
    EXPECT_EQ(stack.commands(kRfDiscover)[1], (Bytes{0x01, 0x00, 0x01}));
    EXPECT_TRUE(stack.waitFor(nfcEventTagDetected)) << stack.sim().describe();
}

TEST(Controller, SleepingTagIsWokenBySelectingItAgain) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    const Connected c = detectAndConnect(stack, TAG_ISO14443A, std::make_shared<simtags::T2tTag>());
    ASSERT_NE(c.listener, nullptr) << stack.sim().describe();
    WORD none = 0;
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), 0x1003, nullptr, 0, nullptr, &none), 0u) << stack.sim().describe();
    EXPECT_EQ(stack.commands(kRfDeactivate), (std::vector<Bytes>{{0x01}}));
    EXPECT_EQ(stack.sim().rf().state(), RfState::W4HostSelect);
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), 0x100D, nullptr, 0, nullptr, &none), 0u);
    ASSERT_TRUE(stack.waitForCommands(kRfDiscoverSelect, 1)) << stack.sim().describe();
    EXPECT_EQ(stack.commands(kRfDiscoverSelect), (std::vector<Bytes>{{0x01, 0x02, 0x01}}));
    ASSERT_TRUE(stack.waitFor(nfcEventTagDetected, 1)) << stack.sim().describe();
    EXPECT_EQ(stack.sim().rf().state(), RfState::PollActive);
}

TEST(Controller, LoopbackEchoesItsThreeBytesOverOneConnection) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    for (int round = 0; round < 2; ++round) {
        uint8_t echo[8] = {};
        WORD length = sizeof echo;
        ASSERT_EQ(nfcDeviceIoControl(stack.handle(), 0x1004, nullptr, 0, echo, &length), 0u) << stack.sim().describe();
        EXPECT_EQ(Bytes(echo, echo + length), (Bytes{0x06, 0x06, 0x06}));
    }
    EXPECT_EQ(stack.commands(kConnCreate), (std::vector<Bytes>{{0x01, 0x00}}));
}

TEST(Controller, ParameterSetIsReadBackAndAnAnswerTooLongForTheCallerIsRefused) {
    ApiStack stack;
    ASSERT_EQ(stack.start(), 0u);
    WORD none = 0;
    const Bytes set{0x00, 0x00, 0x00, 0x32, 0x60};   // LA_SEL_INFO = 0x60
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), 0x1203, set.data(), static_cast<WORD>(set.size()), nullptr, &none), 0u);
    EXPECT_EQ(stack.commands(kSetConfig).back(), (Bytes{0x01, 0x32, 0x01, 0x60}));

    const Bytes get{0x01, 0x32};
    uint8_t out[16] = {};
    WORD length = sizeof out;
    ASSERT_EQ(nfcDeviceIoControl(stack.handle(), 0x1300, get.data(), 2, out, &length), 0u) << stack.sim().describe();
    EXPECT_EQ(Bytes(out, out + length), (Bytes{0x00, 0x01, 0x32, 0x01, 0x60}));

    uint8_t small[4];
    std::fill(std::begin(small), std::end(small), 0xEE);
    length = 2;
    EXPECT_NE(nfcDeviceIoControl(stack.handle(), 0x1300, get.data(), 2, small, &length), 0u);
    EXPECT_EQ(small[2], 0xEE);
    EXPECT_EQ(stack.commands(kGetConfig).size(), 2u);
}

} // namespace
