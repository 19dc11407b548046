// Devices: which application gets them, their tag handlers, requests on them and their removal.
#include "mgr_harness.h"
#include "llcp/llcp.h"
#include "tags/mifare_tag.h"
#include "th/th_mifare.h"

using namespace mgrtest;

namespace {

constexpr uint32_t kNdef = NFCMAN_NDEF_LISTENER;

// Packed fields are compared through copies.
template <typename T>
T copy(T value) {
    return value;
}

const TNfcTagInfo* deviceOf(const TnfcapiMsg& m) {
    const auto ind = nfaceMsgGet<NFACE_DEVICE_IND>(m);
    return ind.count == 1 && ind.tags ? ind.tags[0] : nullptr;
}

} // namespace

TEST_F(MgrTest, DeviceGoesToTheFirstMatchingApplicationWithItsRecord) {
    start();
    TestApp& ndefOnly = registerApp(0);
    TestApp& first = registerApp(1);
    TestApp& second = registerApp(2);
    listen(ndefOnly, kNdef | TAG_ISO14443A);
    listen(first, TAG_ISO14443A);
    listen(second, TAG_ISO14443A | TAG_15693);

    TNfcTagInfo t = tag(TAG_ULTRALIGHT_TYPE2, {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6});
    t.chipCode = 0x00040003;
    t.rx = 106;
    t.tx = 212;
    detect(t);
    ASSERT_EQ(first.got(NFACE_DEVICE_IND).size(), 1u);
    EXPECT_TRUE(second.got(NFACE_DEVICE_IND).empty());
    EXPECT_TRUE(ndefOnly.got(NFACE_DEVICE_IND).empty());
    const TnfcapiMsg ind = first.got(NFACE_DEVICE_IND)[0];
    EXPECT_EQ(nfaceMsgGet<NFACE_DEVICE_IND>(ind).cause, nfcCauseNotNfcForumTag);
    const TNfcTagInfo* got = deviceOf(ind);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(copy(got->tagType), uint32_t{TAG_ULTRALIGHT_TYPE2});
    EXPECT_EQ(copy(got->uidLength), 7);
    EXPECT_EQ(std::memcmp(got->uid, t.uid, 7), 0);
    EXPECT_EQ(copy(got->chipCode), 0x00040003u);
    EXPECT_EQ(copy(got->rx), 106);
    EXPECT_EQ(copy(got->tx), 212);
    EXPECT_EQ(copy(got->access), NFC_TAG_READABLE | NFC_TAG_WRITABLE);
    EXPECT_EQ(l1.count(NFCLL_DEVICE_RESP), 1u);
    EXPECT_TRUE(cap.contains("nfcman: Tag manufacturer: NXP, subtype: UL_EV1_11"));
}

TEST_F(MgrTest, AnNdefListenerGetsADeviceNoOtherTakesAfterItsNdefCheck) {
    start();
    TestApp& plain = registerApp(0);
    TestApp& ndef = registerApp(1);
    listen(plain, TAG_15693);
    listen(ndef, kNdef | TAG_ISO14443A);
    th.message = {0xD1, 0x01, 0x01, 0x54};
    detect(tag(TAG_ULTRALIGHT_TYPE2));
    EXPECT_TRUE(plain.got(NFACE_DEVICE_IND).empty());
    ASSERT_EQ(ndef.got(NFACE_DEVICE_IND).size(), 1u);
    const TNfcTagInfo* got = deviceOf(ndef.got(NFACE_DEVICE_IND)[0]);
    EXPECT_EQ(nfaceMsgGet<NFACE_DEVICE_IND>(ndef.got(NFACE_DEVICE_IND)[0]).cause, 0);
    EXPECT_EQ(copy(got->tagType), TAG_ULTRALIGHT_TYPE2 | TAG_NDEF);
    EXPECT_EQ(copy(got->ndefLength), 4u);
    EXPECT_EQ(copy(got->ndefMaxSize), th.maxSize);
    EXPECT_EQ(th.commands(), (std::vector<uint16_t>{EV_TH_CMD_CHECK_NDEF}));
}

TEST_F(MgrTest, EachTagFamilyGetsItsHandlerAndATagWithoutOneIsReportedWithoutNdef) {
    struct Case {
        uint32_t type;
        uint32_t listen;
        ThFamily family;
    };
    const Case cases[] = {
        {TAG_ISO14443A, TAG_ISO14443A, TH_FAMILY_TYPE4},   {TAG_14443B, TAG_14443B, TH_FAMILY_TYPE4},
        {TAG_DESFIRE_TYPE4, TAG_ISO14443A, TH_FAMILY_TYPE4}, {TAG_15693, TAG_15693, TH_FAMILY_ISO15693},
        {TAG_MIFARE_STD_1K, TAG_ISO14443A, TH_FAMILY_MIFARE}, {TAG_MIFARE_S20, TAG_ISO14443A, TH_FAMILY_MIFARE},
        {TAG_ULTRALIGHT_TYPE2, TAG_ISO14443A, TH_FAMILY_TYPE2}, {TAG_FELICA_TYPE3, 0x200, TH_FAMILY_TYPE3},
        {TAG_JEWEL_TYPE1, TAG_JEWEL_TYPE1, TH_FAMILY_TYPE1}, {TAG_KOVIO_BARCODE, TAG_KOVIO_BARCODE, TH_FAMILY_KOVIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        for (bool built : {true, false}) {
            FakeTagHandler family;
            if (!built) family.leaveOut(c.family);
            start();
            TestApp& a = registerApp(0);
            listen(a, c.listen);
            detect(tag(c.type));
            EXPECT_EQ(family.created(), built ? std::vector<ThFamily>{c.family} : std::vector<ThFamily>{});
            ASSERT_EQ(a.got(NFACE_DEVICE_IND).size(), 1u);
            const TNfcTagInfo* got = deviceOf(a.got(NFACE_DEVICE_IND)[0]);
            EXPECT_EQ(copy(got->tagType), c.type);
            EXPECT_EQ(copy(got->access), built ? NFC_TAG_READABLE | NFC_TAG_WRITABLE : 0u);
            EXPECT_EQ(cap.contains("nfcman: ! Unable to get taghandler"), !built);
            MgrTest::TearDown();
            cap.clear();
            apps = {};
        }
    }
}

TEST_F(MgrTest, MifareClassicLikeTagsGetAnNdefCheckOnlyWhenTheControllerSaysSo) {
    struct Case {
        uint32_t capFlags;
        uint32_t type;
        bool checked;
    };
    const Case cases[] = {
        {kNciFlags, TAG_MIFARE_STD_1K, false},        {kNciFlags | 0x20, TAG_MIFARE_STD_1K, true},
        {kNciFlags, TAG_MIFARE_PLUS_4K, false},       {kNciFlags, TAG_ULTRALIGHT_TYPE2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        FakeTagHandler family;
        start(c.capFlags);
        TestApp& a = registerApp(0);
        listen(a, kNdef | TAG_ISO14443A);
        l1.onCommand(NFCLL_TRANSACTION_REQ, [](FakeLayer1& f, const OsMessage&) { f.transactionIndication(0, {1, 2, 3}); });
        detect(tag(c.type));
        EXPECT_EQ(family.commands().size(), c.checked ? 1u : 0u);
        ASSERT_EQ(a.got(NFACE_DEVICE_IND).size(), 1u);
        EXPECT_EQ(nfaceMsgGet<NFACE_DEVICE_IND>(a.got(NFACE_DEVICE_IND)[0]).cause, c.checked ? 0 : nfcCauseNotNfcForumTag);
        MgrTest::TearDown();
        apps = {};
        l1.onCommand(NFCLL_TRANSACTION_REQ, nullptr);
    }
}

TEST_F(MgrTest, AMifarePlusCandidateThatAnswersTwoBytesIsAnIso14443ATag) {
    struct Case {
        std::vector<uint8_t> answer;
        uint16_t atqa;
        uint32_t type;
    };
    const Case cases[] = {{{0x90, 0x00}, 0x4400, TAG_ISO14443A},
                          {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 0x4400, TAG_MIFARE_PLUS_2K},
                          {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 0x0400, TAG_MIFARE_PLUS_4K}};
    for (const Case& c : cases) {
        start();
        TestApp& a = registerApp(0);
        listen(a, TAG_ISO14443A);
        TNfcTagInfo t = tag(TAG_MIFARE_PLUS_4K);
        t.a.atqa = c.atqa;
        detect(t);
        const auto probes = l1.received(NFCLL_TRANSACTION_REQ);
        ASSERT_EQ(probes.size(), 1u);
        const auto probe = nfcllMsgGet<NFCLL_TRANSACTION_REQ>(probes[0]);
        EXPECT_EQ(std::vector<uint8_t>(probe.data, probe.data + probe.length), (std::vector<uint8_t>{0x30, 0x00}));
        EXPECT_TRUE(a.got(NFACE_DEVICE_IND).empty());
        l1.transactionIndication(0, c.answer);
        run();
        ASSERT_EQ(a.got(NFACE_DEVICE_IND).size(), 1u);
        EXPECT_EQ(copy(deviceOf(a.got(NFACE_DEVICE_IND)[0])->tagType), c.type);
        MgrTest::TearDown();
        apps = {};
        l1.clearReceived();
    }
}

TEST_F(MgrTest, ADeviceRecordWithLengthsBeyondItsFieldsIsRefused) {
    start();
    TestApp& a = registerApp(0);
    listen(a, TAG_ISO14443A);
    for (auto spoil : {+[](TNfcTagInfo& t) { t.uidLength = 17; }, +[](TNfcTagInfo& t) { t.historicalBytesLength = 34; },
                       +[](TNfcTagInfo& t) { t.higherLayerResponseLength = 33; }}) {
        TNfcTagInfo t = tag(TAG_ISO14443A);
        spoil(t);
        detect(t);
    }
    EXPECT_TRUE(a.got(NFACE_DEVICE_IND).empty());
    EXPECT_EQ(cap.count("nfcman: ! device record refused"), 3u);
    EXPECT_EQ(l1.count(NFCLL_DEVICE_RESP), 0u);
    detect(tag(TAG_ISO14443A, std::vector<uint8_t>(16, 0x11)));
    EXPECT_EQ(a.got(NFACE_DEVICE_IND).size(), 1u);
}

TEST_F(MgrTest, AFailedPresenceCheckRemovesTheTagAndListeningGoesOn) {
    TestApp& a = startWithTag(TAG_ISO14443A, TAG_ISO14443A);
    const size_t listens = l1.count(NFCLL_LISTEN_REQ);
    // Every poll period the handler checks the tag through a check request of layer 1.
    l1.onCommand(NFCLL_CHECK_REQ, [](FakeLayer1& f, const OsMessage&) { f.checkConfirmation(0); });
    advance(1000);
    EXPECT_EQ(l1.count(NFCLL_CHECK_REQ), 1u);
    EXPECT_TRUE(a.got(NFACE_TECH_REMOVE_IND).empty());
    EXPECT_TRUE(a.got(NFACE_TEST_IND).empty());       // a check by the poll timer is not reported
    l1.onCommand(NFCLL_CHECK_REQ, [](FakeLayer1& f, const OsMessage&) { f.checkConfirmation(nfcCauseRejected); });
    advance(1000);
    EXPECT_EQ(l1.count(NFCLL_CHECK_REQ), 2u);
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), listens + 1);
    // No more checks once the tag is gone.
    advance(3000);
    EXPECT_EQ(l1.count(NFCLL_CHECK_REQ), 2u);
    // The next tag is reported again.
    detect(tag(TAG_ISO14443A));
    EXPECT_EQ(a.got(NFACE_DEVICE_IND).size(), 2u);
}

TEST_F(MgrTest, ATagWithoutHandlerIsCheckedByLayer1AndATestRequestIsAnswered) {
    th.leaveOut(TH_FAMILY_TYPE4);
    TestApp& a = startWithTag(TAG_ISO14443A, TAG_ISO14443A);
    l1.onCommand(NFCLL_CHECK_REQ, [](FakeLayer1& f, const OsMessage&) { f.checkConfirmation(0); });
    const uint16_t id = request<NFACE_TEST_REQ>(a);
    EXPECT_EQ(a.last<NFACE_TEST_IND>().cause, 0);
    EXPECT_EQ(a.lastIdentity<NFACE_TEST_IND>(), id);
    l1.onCommand(NFCLL_CHECK_REQ, [](FakeLayer1& f, const OsMessage&) { f.checkConfirmation(nfcCauseRejected); });
    request<NFACE_TEST_REQ>(a);
    EXPECT_EQ(a.last<NFACE_TEST_IND>().cause, nfcCauseRejected);
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
}

TEST_F(MgrTest, AControllerThatReportsTheRemovalIsBelievedAtOnce) {
    start(kNciFlags | NFC_CAP_NO_PRESENCE_POLLING);
    TestApp& a = registerApp(0);
    listen(a, TAG_ISO14443A);
    detect(tag(TAG_ISO14443A));
    l1.indicate<NFCLL_TECH_REMOVE_IND>({0});
    run();
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
    detect(tag(TAG_ISO14443A));
    EXPECT_EQ(a.got(NFACE_DEVICE_IND).size(), 2u);
}

TEST_F(MgrTest, NdefRequestsAreServedByTheHandlerOrRefusedByTheAccessBits) {
    start();
    TestApp& a = registerApp(0);
    listen(a, kNdef | TAG_ISO14443A);
    th.message = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'};
    detect(tag(TAG_ULTRALIGHT_TYPE2));
    ASSERT_EQ(a.got(NFACE_DEVICE_IND).size(), 1u);

    // A read in parts: the first reports more, the continuation takes the rest.
    std::vector<uint8_t> room(8);
    const uint16_t id = request<NFACE_READ_REQ>(a, {1, room.data(), 0, 8});
    auto ind = a.last<NFACE_READ_IND>();
    EXPECT_EQ(a.lastIdentity<NFACE_READ_IND>(), id);
    EXPECT_EQ(ind.cause, nfcCauseTagBufferTooSmall);
    EXPECT_EQ(ind.length, 8);
    EXPECT_EQ(a.lastData(), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o'}));
    request<NFACE_READ_REQ>(a, {2, room.data(), 0, 8});
    ind = a.last<NFACE_READ_IND>();
    EXPECT_EQ(ind.cause, 0);
    EXPECT_EQ(a.lastData(), (std::vector<uint8_t>{'r', 'l', 'd'}));
    // Without a read that reported more, a continuation is out of place.
    request<NFACE_READ_REQ>(a, {2, room.data(), 0, 8});
    EXPECT_EQ(a.last<NFACE_READ_IND>().cause, nfcCauseWrongState);

    // Write in two parts; the tag holds the message once the last part is written.
    const std::vector<uint8_t> part1{1, 2, 3}, part2{4, 5};
    request<NFACE_WRITE_REQ>(a, {0x81, part1.data(), 0, 3});
    EXPECT_EQ(a.last<NFACE_WRITE_CONF>().cause, 0);
    request<NFACE_WRITE_REQ>(a, {2, part2.data(), 0, 2});
    EXPECT_EQ(a.last<NFACE_WRITE_CONF>().cause, 0);
    EXPECT_EQ(th.message, (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    // Read-only, then every write is refused as write protected.
    request<NFACE_SET_READONLY_REQ>(a);
    EXPECT_EQ(a.last<NFACE_SET_READONLY_CONF>().cause, 0);
    request<NFACE_WRITE_REQ>(a, {1, part1.data(), 0, 3});
    EXPECT_EQ(a.last<NFACE_WRITE_CONF>().cause, nfcCauseWriteProtected);
    request<NFACE_FORMAT_REQ>(a, {1, 0, 0});
    EXPECT_EQ(a.last<NFACE_FORMAT_CONF>().cause, nfcCauseWriteProtected);
}

// A family without format refuses it itself, with the same cause a tag's NAK gives.
TEST_F(MgrTest, AFormatTheHandlerRefusesWithoutAskingTheTagLeavesTheTagPresent) {
    th.formatCause = nfcCauseRejected;
    TestApp& a = startWithTag(TAG_ISO14443A, TAG_ISO14443A);
    request<NFACE_FORMAT_REQ>(a, {1, 0, 8});
    EXPECT_EQ(a.last<NFACE_FORMAT_CONF>().cause, nfcCauseRejected);
    EXPECT_TRUE(a.got(NFACE_TECH_REMOVE_IND).empty());
    l1.onCommand(NFCLL_CHECK_REQ, [](FakeLayer1& f, const OsMessage&) { f.checkConfirmation(0); });
    request<NFACE_TEST_REQ>(a);
    EXPECT_EQ(a.last<NFACE_TEST_IND>().cause, 0) << "the tag is still the current device";
}

TEST_F(MgrTest, AnActionTheTagRejectsRemovesTheTag) {
    th.formatAsksTag = true;
    TestApp& a = startWithTag(TAG_ISO14443A, TAG_ISO14443A);
    const size_t listens = l1.count(NFCLL_LISTEN_REQ);
    l1.onCommand(NFCLL_TRANSACTION_REQ, [](FakeLayer1& f, const OsMessage&) { f.transactionIndication(nfcCauseRejected, {}); });
    request<NFACE_FORMAT_REQ>(a, {1, 0, 8});
    EXPECT_EQ(a.last<NFACE_FORMAT_CONF>().cause, nfcCauseRejected);
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), listens + 1);
}

TEST_F(MgrTest, AReadOfATagWithoutTheReadableBitIsDenied) {
    th.access = TH_ACCESS_WRITE;
    TestApp& a = startWithTag(kNdef | TAG_ISO14443A, TAG_ULTRALIGHT_TYPE2);
    EXPECT_EQ(copy(deviceOf(a.got(NFACE_DEVICE_IND).at(0))->access), NFC_TAG_WRITABLE);
    std::vector<uint8_t> room(8);
    request<NFACE_READ_REQ>(a, {1, room.data(), 0, 8});
    const auto ind = a.last<NFACE_READ_IND>();
    EXPECT_EQ(ind.cause, nfcCauseAccessDenied);
    EXPECT_EQ(ind.length, 0);
    EXPECT_EQ(th.commands(), (std::vector<uint16_t>{EV_TH_CMD_CHECK_NDEF}));
}

TEST_F(MgrTest, ATransactionSendsACopyOfThePduAndCarriesTheAnswerWithinItsRoom) {
    th.leaveOut(TH_FAMILY_TYPE4);
    TestApp& a = startWithTag(TAG_ISO14443A, TAG_ISO14443A);
    std::vector<uint8_t> pdu{0x00, 0xA4, 0x04, 0x00}, room(4);
    const uint16_t id = transaction(a, pdu, room);
    const auto sent = l1.received(NFCLL_TRANSACTION_REQ);
    ASSERT_EQ(sent.size(), 1u);
    const auto req = nfcllMsgGet<NFCLL_TRANSACTION_REQ>(sent[0]);
    EXPECT_NE(req.data, pdu.data());           // the caller's PDU may go once its call returns
    EXPECT_EQ(std::vector<uint8_t>(req.data, req.data + req.length), pdu);

    // The answer travels in a buffer of layer 1's that the manager gives back.
    l1.transactionIndication(0, {0x90, 0x00}, true);
    run();
    auto ind = a.last<NFACE_TRANSACTION_IND>();
    EXPECT_EQ(a.lastIdentity<NFACE_TRANSACTION_IND>(), id);
    EXPECT_EQ(ind.cause, 0);
    EXPECT_EQ(a.lastData(), (std::vector<uint8_t>{0x90, 0x00}));

    // An answer beyond the caller's room is refused, not cut.
    transaction(a, pdu, room);
    l1.transactionIndication(0, {1, 2, 3, 4, 5}, true);
    run();
    ind = a.last<NFACE_TRANSACTION_IND>();
    EXPECT_EQ(ind.cause, nfcCauseNotEnoughInternalMemory);
    EXPECT_EQ(ind.length, 0);
    EXPECT_TRUE(cap.contains("nfcman: ! Transaction Ind data size 5 too big for pNfcMan read size 4"));
}

TEST_F(MgrTest, ARequestOfASecondApplicationDuringAPendingTransactionIsRefused) {
    std::vector<uint8_t> pdu{0x30, 0x04}, room(16);
    auto [a, b] = startWithPendingTransaction(pdu, room);
    std::vector<uint8_t> bRoom(8);
    const uint16_t id = request<NFACE_READ_REQ>(b, {1, bRoom.data(), 0, 8});
    EXPECT_EQ(b.last<NFACE_READ_IND>().cause, nfcCauseWrongState);
    EXPECT_EQ(b.lastIdentity<NFACE_READ_IND>(), id);
    // The first application's transaction goes on undisturbed.
    l1.transactionIndication(0, {0xAA, 0xBB});
    run();
    EXPECT_EQ(a.last<NFACE_TRANSACTION_IND>().cause, 0);
    EXPECT_EQ(a.lastData(), (std::vector<uint8_t>{0xAA, 0xBB}));
}

TEST_F(MgrTest, ARequestThatComesWhileATransactionRunsWaitsWithoutSpinningAndIsServedAfterIt) {
    std::vector<uint8_t> pdu{0x30, 0x04}, room(16);
    auto [a, b] = startWithPendingTransaction(pdu, room);
    // The listen request of the second application waits: the dispatcher is idle at once.
    const size_t listens = l1.count(NFCLL_LISTEN_REQ);
    OsMessage m{};
    m.command = NFACE_LISTEN_REQ;
    m.spare = 9;
    m.source = NFCMAN_QUEUE_NAME | static_cast<uint32_t>(b.index + 1) << 19;
    osMsgSetFields(m, TNfaceListenReq{TAG_15693 | P2P_TARGET, nullptr});
    ASSERT_EQ(osMessageSend(managerQueue, &m), OS_OK);
    EXPECT_LE(run(), 2u);
    EXPECT_TRUE(cap.contains("nfcman: Queueing request"));
    EXPECT_EQ(b.got(NFACE_LISTEN_CONF).size(), 1u);

    l1.transactionIndication(0, {0xAA});
    run();
    EXPECT_EQ(a.last<NFACE_TRANSACTION_IND>().length, 1);
    ASSERT_EQ(b.got(NFACE_LISTEN_CONF).size(), 2u);
    EXPECT_EQ(b.lastIdentity<NFACE_LISTEN_CONF>(), 9);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), listens);     // the polling controller already listens for it
}

TEST_F(MgrTest, AP2pDeviceBringsTheLlcpLinkUpAndItsLossTakesItDown) {
    start(kNciFlags, kReaderNci, &llcpRegister);
    std::vector<std::vector<uint8_t>> frames;
    l1.onCommand(PH_DATA_REQ, [&frames](FakeLayer1&, const OsMessage& m) {
        const auto f = nfcllMsgGet<PH_DATA_REQ>(m);
        frames.emplace_back(f.buffer + f.offset, f.buffer + f.offset + f.length);
        if (f.flags & NFCLL_MSG_OWNS_BUFFER) osBufferRelease(f.buffer);
    });
    TestApp& a = registerApp(0);
    listen(a, P2P_INITIATOR);
    // The peer's general bytes: the LLCP magic, version 1.1 and an LTO of 1000 ms.
    TNfcTagInfo peer = tag(P2P_INITIATOR);
    const uint8_t general[] = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x04, 0x01, 0x64};
    std::memcpy(reinterpret_cast<uint8_t*>(&peer) + NFCLL_GENERAL_BYTES_OFFSET, general, sizeof general);
    peer.historicalBytesLength = sizeof general;
    detect(peer);
    EXPECT_TRUE(cap.contains("LLCP: remote info: LTO 1000 ms, MIU 0x80, WKS 0x1, LCS 0x0, Version 0x11"));
    EXPECT_TRUE(cap.contains("LLCP: SET_PARAMETER_REQ type=P2P_IN, LTO=0"));
    EXPECT_EQ(l1.count(NFCLL_ACT_CONF), 1u);
    ASSERT_EQ(a.got(NFACE_DEVICE_IND).size(), 1u);
    // Both buffers of the global pool are there to take again: the role's buffer came back.
    uint16_t pool = 0;
    ASSERT_EQ(osPoolFindByName(0xF1, &pool), OS_OK);
    void* taken[2] = {};
    for (void*& buffer : taken) ASSERT_EQ(osBufferGet(pool, 128, &buffer, nullptr, nullptr), OS_OK);
    for (void* buffer : taken) osBufferRelease(buffer);

    // The initiator opens the symmetry procedure.
    advance(90);
    EXPECT_TRUE(frames.empty());
    advance(20);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (std::vector<uint8_t>{0x00, 0x00}));

    // The controller loses the device: LLCP ends the link and the manager listens again.
    const size_t listens = l1.count(NFCLL_LISTEN_REQ);
    l1.indicate<NFCLL_DEACT_IND>({nullptr});
    run();
    EXPECT_TRUE(cap.contains("LLCP: get NFCLL_DEACT_IND, send DL_DEACT_IND"));
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
    EXPECT_EQ(l1.count(NFCLL_US_QUEUE_REQ), 2u);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), listens + 1);
}

TEST_F(MgrTest, AP2pDeviceIsHandedToLlcpWithItsRole) {
    TestApp& a = startWithTag(P2P_INITIATOR, P2P_INITIATOR);
    EXPECT_EQ(llcp.received(NFCLL_DEVICE_RESP).size(), 1u);
    // Layer 1's upper queue goes to LLCP, then LLCP learns its role and the application the device.
    const auto queues = l1.received(NFCLL_US_QUEUE_REQ);
    ASSERT_EQ(queues.size(), 1u);
    uint16_t llcpQueue = 0;
    ASSERT_EQ(osQueueFindByName(FakeLlcp::kQueue, &llcpQueue), OS_OK);
    EXPECT_EQ(nfcllMsgGet<NFCLL_US_QUEUE_REQ>(queues[0]).queueId, llcpQueue);
    EXPECT_EQ(llcp.roles(), (std::vector<uint32_t>{NFCMAN_LLCP_INITIATOR}));
    ASSERT_EQ(a.got(NFACE_DEVICE_IND).size(), 1u);
    EXPECT_EQ(nfaceMsgGet<NFACE_DEVICE_IND>(a.got(NFACE_DEVICE_IND)[0]).cause, nfcCauseNotNfcForumTag);

    // LLCP primitives pass between the application and LLCP with the request's identity.
    llcp.up(NFACE_NFC_LLCP_CON_CONF, a.index, 5, TNfaceLlcpLinkCause{a.hApp, &llcpQueue, 0});
    run();
    EXPECT_EQ(a.lastIdentity<NFACE_NFC_LLCP_CON_CONF>(), 5);
    request<NFACE_NFC_LLCP_DISC_REQ>(a, {a.hApp, &llcpQueue});
    EXPECT_EQ(llcp.received(NFACE_NFC_LLCP_DISC_REQ).size(), 1u);

    // The link ends: the upper queue comes back and listening resumes.
    const size_t listens = l1.count(NFCLL_LISTEN_REQ);
    OsMessage deact{};
    deact.command = NFCMAN_DL_DEACT_IND;
    deact.source = FakeLlcp::kQueue;
    llcp.send(deact);
    run();
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
    EXPECT_EQ(l1.count(NFCLL_US_QUEUE_REQ), 2u);
    EXPECT_EQ(l1.count(NFCLL_LISTEN_REQ), listens + 1);
}

TEST_F(MgrTest, CardEmulationPassesReaderRequestsUpAndAnswersDown) {
    TestApp& a = startWithTag(CE_HOST_14443A_106, CE_HOST_14443A_106);
    ASSERT_EQ(a.got(NFACE_DEVICE_IND).size(), 1u);
    EXPECT_EQ(nfaceMsgGet<NFACE_DEVICE_IND>(a.got(NFACE_DEVICE_IND)[0]).cause, 0);

    l1.transactionIndication(0, {0x00, 0xA4, 0x04, 0x00, 0x07}, true);
    run();
    EXPECT_EQ(a.lastData(), (std::vector<uint8_t>{0x00, 0xA4, 0x04, 0x00, 0x07}));
    std::vector<uint8_t> answer{0x90, 0x00}, room(261);
    a.transfer = TNfaceTransfer{room.data(), answer.data(), NFACE_TRANSFER_UNANSWERED, 2, 261};
    request<NFACE_TRANSACTION_REQ>(a, {&a.transfer});
    const auto sent = l1.received(NFCLL_TRANSACTION_REQ);
    ASSERT_EQ(sent.size(), 1u);
    const auto req = nfcllMsgGet<NFCLL_TRANSACTION_REQ>(sent[0]);
    answer[0] = 0;      // the caller's buffer may change at once: layer 1 sends the copy
    EXPECT_EQ(std::vector<uint8_t>(req.data, req.data + req.length), (std::vector<uint8_t>{0x90, 0x00}));

    // An empty indication: the reader left.
    l1.transactionIndication(0, {});
    run();
    EXPECT_EQ(a.got(NFACE_TECH_REMOVE_IND).size(), 1u);
}

// A MIFARE Classic tag with the build's handler: the keys an application names reach its key
// lists, through a raw authentication and through the make-read-only request.
TEST_F(MgrTest, MifareKeysOfTheApplicationReachTheHandler) {
    th.useBuilt(TH_FAMILY_MIFARE);
    tmsResetKeyLists();
    simtags::MifareTag card;
    simtags::makeNdefFormatted(card, 2, {0xD0, 0x00, 0x00});
    start(kNciFlags | NFC_CAP_MIFARE_NDEF_CHECK);
    TestApp& a = registerApp(0);
    listen(a, kNdef | TAG_ISO14443A);
    // Layer 1 carries the handler's and the application's PDUs to the card.
    l1.onCommand(NFCLL_TRANSACTION_REQ, [&card](FakeLayer1& f, const OsMessage& m) {
        const auto pdu = nfcllMsgGet<NFCLL_TRANSACTION_REQ>(m);
        const auto answer = card.exchange(std::vector<uint8_t>(pdu.data, pdu.data + pdu.length));
        switch (answer ? card.judge(*answer) : simtags::Reply::Nak) {
        case simtags::Reply::Data: f.transactionIndication(0, *answer); break;
        case simtags::Reply::Ack: f.transactionIndication(0, {}); break;
        case simtags::Reply::AuthenticationFailed: f.transactionIndication(nfcCauseAuthenticationFailed, {}); break;
        default: f.transactionIndication(nfcCauseRejected, {});
        }
    });
    detect(tag(TAG_MIFARE_STD_1K, card.a.nfcid1));
    ASSERT_EQ(nfaceMsgGet<NFACE_DEVICE_IND>(a.got(NFACE_DEVICE_IND).at(0)).cause, 0) << "NDEF found";

    const std::vector<uint8_t> key{1, 2, 3, 4, 5, 6};
    const std::vector<uint8_t> auth{0x61, 0x05, 0x3A, 0x5C, 0x71, 0x0D, 1, 2, 3, 4, 5, 6};
    std::vector<uint8_t> room(16);
    a.transfer = TNfaceTransfer{room.data(), auth.data(), 0, static_cast<uint16_t>(auth.size()), 16};
    request<NFACE_TRANSACTION_REQ>(a, {&a.transfer});
    EXPECT_EQ(std::vector<uint8_t>(tmsKey(TMS_NFC_KEY_B, 0), tmsKey(TMS_NFC_KEY_B, 0) + 6), key);

    // The directory's key B goes into the locked directory trailer; the NFC key B properties are
    // the handler's to refuse, so the NFC sectors keep the key that opens them.
    const std::vector<uint8_t> madKey{0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    card.setTrailer(0, simtags::kMifareMadKey, {0x78, 0x77, 0x88}, 0xC1, madKey);
    request<NFACE_SET_READONLY_REQ>(a, {{0x10, 0x20, 0x30, 0x40, 0x50, 0x60}, {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}});
    EXPECT_EQ(a.last<NFACE_SET_READONLY_CONF>().cause, 0);
    const auto t0 = card.block(3);
    EXPECT_EQ(std::vector<uint8_t>(t0.begin() + 6, t0.begin() + 9), (std::vector<uint8_t>{0x07, 0x8F, 0x0F}));
    EXPECT_EQ(std::vector<uint8_t>(t0.begin() + 10, t0.end()), madKey);
    const auto t1 = card.block(7);
    EXPECT_EQ(std::vector<uint8_t>(t1.begin() + 10, t1.end()), simtags::kMifareNfcKey);
    EXPECT_TRUE(card.bricked().empty());
    tmsResetKeyLists();
}
