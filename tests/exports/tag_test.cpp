#include <algorithm>
#include <functional>

#include "exports_fixture.h"

namespace {

constexpr uint8_t kGuard = 0xEE;

using TagTest = ExportsTest;

// Every export that goes through the tag checks, called on one listener.
struct TagCall {
    const char* name;
    std::function<NfcApiStatus(NfcListenerHandle)> call;
};

std::vector<TagCall> preludeCalls() {
    static BYTE buffer[16];
    return {
        {"nfcGetTagInfo", [](NfcListenerHandle l) { TNfcTagInfo i{}; return nfcGetTagInfo(l, 0, &i); }},
        {"nfcFormat", [](NfcListenerHandle l) { return nfcFormat(l, 0, 0); }},
        {"nfcFormatNdef", [](NfcListenerHandle l) { return nfcFormatNdef(l, 100); }},
        {"nfcMakeReadOnly", [](NfcListenerHandle l) { return nfcMakeReadOnly(l); }},
        {"nfcExchangePdu",
         [](NfcListenerHandle l) {
             WORD length = sizeof buffer;
             const NfcApiStatus status = nfcExchangePdu(l, buffer, 2, buffer, &length);
             return length == 0 ? status : 0xBAD;
         }},
        {"nfcWriteNdefMessage", [](NfcListenerHandle l) { return nfcWriteNdefMessage(l, buffer, 4); }},
        {"nfcReadNdefMessage",
         [](NfcListenerHandle l) {
             WORD length = sizeof buffer;
             const NfcApiStatus status = nfcReadNdefMessage(l, buffer, &length);
             return length == 0 ? status : 0xBAD;
         }},
    };
}

} // namespace

TEST_F(TagTest, TagCallsCheckHandleTagCallbackAndConnectionInThatOrder) {
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &log, TAG_ISO14443A, nullptr, &l), nfcStatusOk);
    for (const TagCall& c : preludeCalls()) {
        EXPECT_EQ(c.call(nullptr), nfcStatusInvalidHandle) << c.name;
        EXPECT_EQ(c.call(l), nfcStatusWrongState) << c.name;        // no tag yet
    }
    EXPECT_TRUE(cap.contains("! no TAG present"));

    // Inside the callback of the tag, every one is refused, and no request reaches the manager.
    std::vector<NfcApiStatus> inside;
    log.inside = [&](const EventLog::Event& e) {
        if (e.event != nfcEventTagDetected) return;
        for (const TagCall& c : preludeCalls()) inside.push_back(c.call(l));
        inside.push_back(nfcCheckTag(l));
        inside.push_back(nfcSelectTag(l, nullptr, 0));
    };
    showTag(TAG_ISO14443A);
    log.inside = nullptr;
    EXPECT_EQ(inside, std::vector<NfcApiStatus>(preludeCalls().size() + 2, nfcStatusWrongState));
    EXPECT_TRUE(cap.contains("! listener is locked in callback"));

    for (const TagCall& c : preludeCalls()) EXPECT_EQ(c.call(l), nfcStatusNotConnected) << c.name;
    EXPECT_TRUE(cap.contains("! TAG is not locked, access denied"));
    ASSERT_TRUE(fake().sync(kWait));
    for (uint16_t code : {NFACE_FORMAT_REQ, NFACE_SET_READONLY_REQ, NFACE_TRANSACTION_REQ, NFACE_WRITE_REQ,
                          NFACE_READ_REQ, NFACE_TEST_REQ, NFACE_TAG_SELECT})
        EXPECT_TRUE(fake().received(code).empty()) << std::hex << code;
}

TEST_F(TagTest, OneListenerHoldsTheTagUntilItLetsGoOrANewTagComes) {
    NfcListenerHandle a = nullptr, b = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &log, TAG_ISO14443A, nullptr, &a), nfcStatusOk);
    NfcHandle other = nullptr;
    ASSERT_EQ(nfcCreate(&log, &EventLog::callback, &other), nfcStatusOk);
    ASSERT_EQ(nfcRegisterListener(other, &log, TAG_ISO14443A, nullptr, &b), nfcStatusOk);
    EXPECT_EQ(nfcConnectTag(a, 0), nfcStatusWrongState);       // no tag
    EXPECT_EQ(nfcDisconnectTag(a), nfcStatusWrongState);
    EXPECT_EQ(nfcConnectTag(nullptr, 0), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcDisconnectTag(nullptr), nfcStatusInvalidHandle);

    showTag(TAG_ISO14443A);
    EXPECT_EQ(nfcDisconnectTag(a), nfcStatusWrongState);
    EXPECT_TRUE(cap.contains("! tag not locked, disconnect fails"));
    ASSERT_EQ(nfcConnectTag(a, 0), nfcStatusOk);
    EXPECT_EQ(nfcConnectTag(a, 0), nfcStatusWrongState);
    EXPECT_TRUE(cap.contains("! TAG already global locked"));
    EXPECT_EQ(nfcDisconnectTag(b), nfcStatusWrongState);        // b never held it
    ASSERT_EQ(nfcDisconnectTag(a), nfcStatusOk);
    ASSERT_EQ(nfcConnectTag(a, 0), nfcStatusOk);

    // A new tag belongs to nobody: the old connection gives no access to it.
    showTag(TAG_ISO14443A);
    BYTE out[4];
    WORD length = sizeof out;
    EXPECT_EQ(nfcExchangePdu(a, out, 1, out, &length), nfcStatusNotConnected);
    EXPECT_EQ(nfcConnectTag(a, 0), nfcStatusOk);
}

TEST_F(TagTest, ReadLandsInTheCallersBufferAndNeverPastIt) {
    struct Case {
        uint16_t messageLength;     // what the manager delivers
        uint16_t cause;
        uint16_t bufferSize;
        NfcApiStatus status;
        WORD length;
    };
    const Case cases[] = {
        {20, nfcCauseOk, 32, nfcStatusOk, 20},
        {20, nfcCauseOk, 20, nfcStatusOk, 20},
        {20, nfcCauseOk, 10, nfcStatusBufferTooSmall, 10},               // the manager sent more than asked
        {10, nfcCauseTagBufferTooSmall, 10, nfcStatusBufferTooSmall, 10}, // the manager cut it and said so
        {0, nfcCauseAccessDenied, 10, nfcStatusAccessDenied, 0},
    };
    NfcListenerHandle l = connectedListener(TAG_ISO14443A, TAG_ULTRALIGHT_TYPE2 | TAG_NDEF);
    for (const Case& c : cases) {
        std::vector<uint8_t> message(c.messageLength);
        for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i + 1);
        answerData(NFACE_READ_REQ, c.cause, message);
        std::vector<uint8_t> buffer(c.bufferSize + 8, kGuard);
        WORD length = c.bufferSize;
        EXPECT_EQ(nfcReadNdefMessage(l, buffer.data(), &length), c.status) << c.bufferSize;
        EXPECT_EQ(length, c.length);
        EXPECT_TRUE(std::equal(message.begin(), message.begin() + c.length, buffer.begin()));
        EXPECT_TRUE(std::all_of(buffer.begin() + c.bufferSize, buffer.end(), [](uint8_t b) { return b == kGuard; }));
        // The stack was asked for a new read into the caller's own buffer of its size.
        const auto request = sent<NFACE_READ_REQ>().back();
        EXPECT_EQ(request.flag, 1);
        EXPECT_EQ(request.buffer, buffer.data());
        EXPECT_EQ(request.bufferLength, c.bufferSize);
    }
    EXPECT_TRUE(cap.contains("nfcReadNdefMessage() exit, status=0x13, length=10"));

    WORD length = 4;
    EXPECT_EQ(nfcReadNdefMessage(l, nullptr, &length), nfcStatusBadParameter);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(cap.contains("! pvData pointer (nil) invalid"));
    EXPECT_EQ(nfcReadNdefMessage(l, nullptr, nullptr), nfcStatusBadParameter);
}

TEST_F(TagTest, TimedOutReadLeavesTheBufferToTheCallerForGood) {
    NfcListenerHandle l = connectedListener(TAG_ISO14443A, TAG_ULTRALIGHT_TYPE2 | TAG_NDEF);
    silence(NFACE_READ_REQ);
    ASSERT_EQ(nfcSetReaderTimeout(h, kShort, 0xFFFFFFFFu), nfcStatusOk);
    std::vector<uint8_t> buffer(16, kGuard);
    WORD length = 16;
    EXPECT_EQ(nfcReadNdefMessage(l, buffer.data(), &length), nfcStatusTimeout);
    EXPECT_EQ(length, 0);
    ASSERT_TRUE(fake().waitFor(NFACE_CANCEL_REQ, 1, kWait));

    // The late answer finds no room: not through the API core, nor through the I/O block.
    const Request asked = fake().received(NFACE_READ_REQ).at(0);
    const uint8_t late[4] = {1, 2, 3, 4};
    TnfcapiMsg ind = nfaceMsgMake<NFACE_READ_IND>({0, late, sizeof late});
    ind.request = asked.message.request;
    fake().inject(app(), ind);
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == kGuard; }));
    EXPECT_EQ(h->io.transfer.readData, nullptr);
    EXPECT_EQ(h->io.transfer.readLength, 0);
}

TEST_F(TagTest, WriteHandsTheMessageToTheStack) {
    NfcListenerHandle l = connectedListener(TAG_ISO14443A, TAG_ULTRALIGHT_TYPE2);
    answer(NFACE_WRITE_REQ, nfaceMsgMake<NFACE_WRITE_CONF>({nfcCauseOk}));
    const BYTE message[] = {0xD1, 0x01, 0x01, 0x54};
    EXPECT_EQ(nfcWriteNdefMessage(l, message, sizeof message), nfcStatusOk);
    const auto request = sent<NFACE_WRITE_REQ>().at(0);
    EXPECT_EQ(request.flag, 1);
    EXPECT_EQ(request.data, message);
    EXPECT_EQ(request.length, sizeof message);

    answer(NFACE_WRITE_REQ, nfaceMsgMake<NFACE_WRITE_CONF>({nfcCauseWriteProtected}));
    EXPECT_EQ(nfcWriteNdefMessage(l, message, sizeof message), nfcStatusFailed);
    EXPECT_EQ(nfcWriteNdefMessage(l, nullptr, 4), nfcStatusBadParameter);
    EXPECT_EQ(sent<NFACE_WRITE_REQ>().size(), 2u);
}

TEST_F(TagTest, FormatAndReadOnlyChangeTheTagInformationOnSuccessOnly) {
    NfcListenerHandle l = connectedListener(TAG_ISO14443A, TAG_ULTRALIGHT_TYPE2 | TAG_NDEF);
    answer(NFACE_FORMAT_REQ, nfaceMsgMake<NFACE_FORMAT_CONF>({nfcCauseOk, 48}));
    answer(NFACE_SET_READONLY_REQ, nfaceMsgMake<NFACE_SET_READONLY_CONF>({nfcCauseOk}));
    TNfcTagInfo info{};

    ASSERT_EQ(nfcFormat(l, 7, 9), nfcStatusOk);
    ASSERT_EQ(nfcGetTagInfo(l, 0, &info), nfcStatusOk);
    EXPECT_EQ(DWORD{info.tagType}, uint32_t{TAG_ULTRALIGHT_TYPE2});
    EXPECT_EQ(DWORD{info.ndefMaxSize}, 48u);

    ASSERT_EQ(nfcFormatNdef(l, 46), nfcStatusOk);
    ASSERT_EQ(nfcGetTagInfo(l, 0, &info), nfcStatusOk);
    EXPECT_EQ(DWORD{info.tagType}, uint32_t{TAG_ULTRALIGHT_TYPE2 | TAG_NDEF});
    const auto formats = sent<NFACE_FORMAT_REQ>();
    ASSERT_EQ(formats.size(), 2u);
    EXPECT_EQ(formats[0].messageCount, 1);
    EXPECT_EQ(formats[0].ndefLength, 0);
    EXPECT_EQ(formats[0].flags, 4);
    EXPECT_EQ(formats[1].ndefLength, 46);
    EXPECT_EQ(formats[1].flags, 0);
    // A size the request cannot carry is refused, not cut.
    EXPECT_EQ(nfcFormatNdef(l, 0x10000), nfcStatusBadParameter);
    EXPECT_EQ(sent<NFACE_FORMAT_REQ>().size(), 2u);

    info.access = 0;
    ASSERT_EQ(nfcGetTagInfo(l, 0, &info), nfcStatusOk);
    ASSERT_EQ(info.access & (NFC_TAG_WRITABLE | NFC_TAG_FORMATTABLE), NFC_TAG_WRITABLE | NFC_TAG_FORMATTABLE);
    ASSERT_EQ(nfcMakeReadOnly(l), nfcStatusOk);
    ASSERT_EQ(nfcGetTagInfo(l, 0, &info), nfcStatusOk);
    EXPECT_EQ(info.access & (NFC_TAG_WRITABLE | NFC_TAG_FORMATTABLE), 0u);

    answer(NFACE_FORMAT_REQ, nfaceMsgMake<NFACE_FORMAT_CONF>({nfcCauseWriteProtected, 0}));
    EXPECT_EQ(nfcFormat(l, 0, 0), nfcStatusFailed);
    ASSERT_EQ(nfcGetTagInfo(l, 0, &info), nfcStatusOk);
    EXPECT_EQ(DWORD{info.tagType}, uint32_t{TAG_ULTRALIGHT_TYPE2 | TAG_NDEF});
}

TEST_F(TagTest, FormatGivesSlowTagsTheirTime) {
    script(NFACE_FORMAT_REQ, [](FakeNfcManager& f, const Request& r) {
        f.answer(r, nfaceMsgMake<NFACE_FORMAT_CONF>({nfcCauseOk, 0}));
    });
    script(NFACE_IO_CONTROL_REQ, [](FakeNfcManager& f, const Request& r) {
        f.answer(r, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({nfcCauseOk, nullptr, 0}));
    });
    NfcListenerHandle l = connectedListener(TAG_ISO14443A, TAG_MIFARE_STD_1K);
    ASSERT_EQ(nfcFormat(l, 0, 0), nfcStatusOk);
    EXPECT_EQ(seen(NFACE_FORMAT_REQ).at(0).requestTimeout, 180000u);
    EXPECT_EQ(h->requestTimeout, NFCAPI_REQUEST_TIMEOUT);
    EXPECT_TRUE(seen(NFACE_IO_CONTROL_REQ).empty());

    // A DESFire tag gets a longer reader time-out around the format, and its usual one back.
    showTag(TAG_DESFIRE_TYPE4);
    ASSERT_EQ(nfcConnectTag(l, 0), nfcStatusOk);
    ASSERT_EQ(nfcFormat(l, 0, 0), nfcStatusOk);
    std::vector<uint32_t> timeouts;
    for (const Seen& s : seen(NFACE_IO_CONTROL_REQ)) {
        ASSERT_EQ(s.ioCode, uint32_t{NFC_IOCTL_READER_TIMEOUT});
        uint32_t words[2];
        ASSERT_EQ(s.input.size(), sizeof words);
        std::memcpy(words, s.input.data(), sizeof words);
        EXPECT_EQ(words[1], uint32_t{TAG_ISO14443A});
        timeouts.push_back(words[0]);
    }
    EXPECT_EQ(timeouts, (std::vector<uint32_t>{600, 300}));
    EXPECT_TRUE(cap.contains("nfcFormat() Timeout for DESFire tag restored"));

    // A controller without reader time-outs is not asked to restore one.
    answer(NFACE_IO_CONTROL_REQ, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({nfcCauseNotImplemented, nullptr, 0}));
    ASSERT_EQ(nfcFormat(l, 0, 0), nfcStatusOk);
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).size(), 3u);
    EXPECT_TRUE(cap.contains("nfcFormat() warning: nfcSetReaderTimeout() is not supported"));
}

TEST_F(TagTest, TagInfoIsTheSignalledRecordOrTheCheckedOne) {
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &log, TAG_15693, nullptr, &l), nfcStatusOk);
    tag.uid[0] = 0xE0;
    tag.uidLength = 8;
    showTag(TAG_15693);
    ASSERT_EQ(nfcConnectTag(l, 0), nfcStatusOk);
    EXPECT_EQ(nfcGetTagInfo(l, 0, nullptr), nfcStatusBadParameter);
    TNfcTagInfo info{};
    ASSERT_EQ(nfcGetTagInfo(l, 0, &info), nfcStatusOk);
    EXPECT_EQ(std::memcmp(&info, &tag, sizeof info), 0);
    EXPECT_TRUE(fake().received(NFACE_NFC_NDEF_CHECK_REQ).empty());

    // A negative flag asks the stack to check the tag again first.
    auto checked = std::make_shared<TNfcTagInfo>(tag);
    checked->tagType = TAG_15693 | TAG_NDEF;
    checked->ndefLength = 12;
    answer(NFACE_NFC_NDEF_CHECK_REQ, nfaceMsgMake<NFACE_NFC_NDEF_CHECK_CONF>({nfcCauseOk, checked.get()}));
    ASSERT_EQ(nfcGetTagInfo(l, -1, &info), nfcStatusOk);
    EXPECT_EQ(DWORD{info.tagType}, uint32_t{TAG_15693 | TAG_NDEF});
    EXPECT_EQ(DWORD{info.ndefLength}, 12u);

    answer(NFACE_NFC_NDEF_CHECK_REQ, nfaceMsgMake<NFACE_NFC_NDEF_CHECK_CONF>({nfcCauseAccessDenied, nullptr}));
    EXPECT_EQ(nfcGetTagInfo(l, -1, &info), nfcStatusAccessDenied);
}

TEST_F(TagTest, PresenceCheckAndSelectNeedOnlyTheListener) {
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &log, TAG_ISO14443A, nullptr, &l), nfcStatusOk);
    answer(NFACE_TEST_REQ, nfaceMsgMake<NFACE_TEST_IND>({nfcCauseOk, 1}));
    answer(NFACE_TAG_SELECT, nfaceMsgMake<NFACE_TAG_SELECT_CONF>({nfcCauseOk}));
    EXPECT_EQ(nfcCheckTag(l), nfcStatusOk);
    const BYTE select[] = {0x93, 0x70};
    EXPECT_EQ(nfcSelectTag(l, select, sizeof select), nfcStatusOk);
    const Seen s = seen(NFACE_TAG_SELECT).at(0);
    EXPECT_EQ(s.input, std::vector<uint8_t>(select, select + sizeof select));
    EXPECT_EQ(s.output, nullptr);

    answer(NFACE_TEST_REQ, nfaceMsgMake<NFACE_TEST_IND>({nfcCauseRejected, 0}));
    EXPECT_EQ(nfcCheckTag(l), nfcStatusFailed);
    EXPECT_EQ(nfcCheckTag(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcSelectTag(nullptr, select, 2), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcSelectTag(l, nullptr, 2), nfcStatusBadParameter);
    silence(NFACE_TEST_REQ);
    ASSERT_EQ(nfcSetReaderTimeout(h, kShort, 0xFFFFFFFFu), nfcStatusOk);
    EXPECT_EQ(nfcCheckTag(l), nfcStatusTimeout);
}
