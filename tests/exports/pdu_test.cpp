#include <algorithm>

#include "exports_fixture.h"

namespace {

constexpr uint8_t kGuard = 0xEE;

using PduTest = ExportsTest;

bool untouched(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == kGuard; });
}

} // namespace

TEST_F(PduTest, ExchangeSendsThePduAndReturnsTheAnswer) {
    NfcListenerHandle l = connectedListener(TAG_ISO14443A, TAG_DESFIRE_TYPE4);
    const std::vector<uint8_t> answerBytes = {0x90, 0x00, 0x12};
    answerData(NFACE_TRANSACTION_REQ, nfcCauseOk, answerBytes);
    const BYTE pdu[] = {0x00, 0xA4, 0x04, 0x00};
    std::vector<uint8_t> out(16, kGuard);
    WORD length = 8;
    ASSERT_EQ(nfcExchangePdu(l, pdu, sizeof pdu, out.data(), &length), nfcStatusOk);
    EXPECT_EQ(length, answerBytes.size());
    EXPECT_TRUE(std::equal(answerBytes.begin(), answerBytes.end(), out.begin()));
    const Seen s = seen(NFACE_TRANSACTION_REQ).at(0);
    EXPECT_EQ(s.input, std::vector<uint8_t>(pdu, pdu + sizeof pdu));
    EXPECT_EQ(s.output, out.data());
    EXPECT_EQ(s.outputSize, 8);
    EXPECT_TRUE(cap.contains("nfcExchangePdu() exit, status=0x0, length=3"));

    // An answer larger than the buffer fills the buffer and no more.
    answerData(NFACE_TRANSACTION_REQ, nfcCauseOk, std::vector<uint8_t>(12, 0x5A));
    std::fill(out.begin(), out.end(), kGuard);
    length = 8;
    ASSERT_EQ(nfcExchangePdu(l, pdu, sizeof pdu, out.data(), &length), nfcStatusOk);
    EXPECT_EQ(length, 8);
    EXPECT_TRUE(untouched({out.begin() + 8, out.end()}));

    // A failure answers length 0.
    answerData(NFACE_TRANSACTION_REQ, nfcCauseNotEnoughInternalMemory, {});
    length = 8;
    EXPECT_EQ(nfcExchangePdu(l, pdu, sizeof pdu, out.data(), &length), nfcStatusNoResources);
    EXPECT_EQ(length, 0);
}

TEST_F(PduTest, ExchangeRefusesMissingBuffers) {
    NfcListenerHandle l = connectedListener(TAG_ISO14443A, TAG_ISO14443A);
    BYTE out[4];
    WORD length = sizeof out;
    EXPECT_EQ(nfcExchangePdu(l, nullptr, 1, out, &length), nfcStatusBadParameter);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(nfcExchangePdu(l, out, 1, out, nullptr), nfcStatusBadParameter);
    length = sizeof out;
    EXPECT_EQ(nfcExchangePdu(l, out, 1, nullptr, &length), nfcStatusBadParameter);
    EXPECT_TRUE(cap.contains("! pvInputPdu pointer (nil) is not readable"));
    EXPECT_TRUE(cap.contains("! pdwOutputLength pointer (nil) is not readable"));
    EXPECT_TRUE(cap.contains("! pvOutputBuffer pointer (nil) is not writable with length 4"));
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_TRUE(fake().received(NFACE_TRANSACTION_REQ).empty());
}

TEST_F(PduTest, ExchangeWaitsTheReaderTimeOutOfTheTagsTechnology) {
    struct Case {
        uint32_t tagType;
        NfcapiReader reader;
    };
    const Case cases[] = {
        {TAG_FELICA_TYPE3, READER_FELICA}, {TAG_15693, READER_15693},   {TAG_JEWEL_TYPE1, READER_JEWEL},
        {TAG_14443B, READER_14443B},       {TAG_MIFARE_STD_4K, READER_DEFAULT},
    };
    answerData(NFACE_TRANSACTION_REQ, nfcCauseOk, {0x00});
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &log, 0x1 | 0x2 | 0x4 | 0x300 | 0x400, nullptr, &l), nfcStatusOk);
    for (size_t i = 0; i < std::size(cases); ++i) {
        {
            PlatLockGuard g(h->lock);
            for (int r = 0; r < READER_COUNT; ++r) h->readerTimeouts[r] = 1000 + r;
        }
        showTag(cases[i].tagType);
        ASSERT_EQ(nfcConnectTag(l, 0), nfcStatusOk);
        BYTE out[4];
        WORD length = sizeof out;
        ASSERT_EQ(nfcExchangePdu(l, out, 1, out, &length), nfcStatusOk);
        EXPECT_EQ(seen(NFACE_TRANSACTION_REQ).at(i).requestTimeout, 1000u + cases[i].reader) << cases[i].tagType;
        EXPECT_EQ(h->requestTimeout, NFCAPI_REQUEST_TIMEOUT);
    }
}

TEST_F(PduTest, TimedOutExchangeLeavesNoRoomForALateAnswer) {
    NfcListenerHandle l = connectedListener(TAG_ISO14443A, TAG_ISO14443A);
    silence(NFACE_TRANSACTION_REQ);
    {
        PlatLockGuard g(h->lock);
        h->readerTimeouts[READER_DEFAULT] = kShort;
    }
    std::vector<uint8_t> out(8, kGuard);
    WORD length = 8;
    const BYTE pdu[] = {0x30, 0x00};
    EXPECT_EQ(nfcExchangePdu(l, pdu, sizeof pdu, out.data(), &length), nfcStatusTimeout);
    EXPECT_EQ(length, 0);
    ASSERT_TRUE(fake().waitFor(NFACE_CANCEL_REQ, 1, kWait));

    // What the manager finds in the I/O block afterwards names no room at all.
    const auto request = sent<NFACE_TRANSACTION_REQ>().at(0);
    EXPECT_EQ(request.transfer->readData, nullptr);
    EXPECT_EQ(request.transfer->readLength, 0);
    const uint8_t late[4] = {1, 2, 3, 4};
    TnfcapiMsg ind = nfaceMsgMake<NFACE_TRANSACTION_IND>({0, late, 0, sizeof late, 0});
    ind.request = fake().received(NFACE_TRANSACTION_REQ).at(0).message.request;
    fake().inject(app(), ind);
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_TRUE(untouched(out));
}

TEST_F(PduTest, TransmitIsPostedWithoutRoomForAnAnswer) {
    // Card emulation: the application answers what a reader sent.
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &log, CE_HOST_14443A_106, nullptr, &l), nfcStatusOk);
    showTag(CE_HOST_14443A_106);

    // Whatever an earlier request left in the I/O block...
    std::vector<uint8_t> earlier(8, kGuard);
    {
        PlatLockGuard g(h->lock);
        h->io.transfer = TNfaceTransfer{earlier.data(), nullptr, 0, 0, 8};
    }
    const BYTE pdu[] = {0x90, 0x00};

    // ...the transmit names no room, and whatever comes back is written nowhere.
    static const uint8_t answer[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    script(NFACE_TRANSACTION_REQ, [](FakeNfcManager& f, const Request& r) {
        f.answer(r, nfaceMsgMake<NFACE_TRANSACTION_IND>({0, answer, 0, sizeof answer, 0}));
    });
    EXPECT_EQ(nfcTransmitPdu(l, pdu, sizeof pdu), nfcStatusPending);
    ASSERT_TRUE(fake().waitFor(NFACE_TRANSACTION_REQ, 1, kWait));
    ASSERT_TRUE(fake().sync(kWait));
    const Seen s = seen(NFACE_TRANSACTION_REQ).back();
    EXPECT_EQ(s.input, std::vector<uint8_t>(pdu, pdu + sizeof pdu));
    EXPECT_EQ(s.output, nullptr);
    EXPECT_EQ(s.outputSize, 0);
    EXPECT_EQ(s.mode, NFACE_TRANSFER_UNANSWERED);
    EXPECT_EQ(fake().received(NFACE_TRANSACTION_REQ).back().message.request, 0);
    EXPECT_TRUE(untouched(earlier));
    // The stack read the library's copy: the caller's buffer was free to go once the call returned.
    EXPECT_NE(sent<NFACE_TRANSACTION_REQ>().back().transfer->writeData, pdu);

    EXPECT_EQ(nfcTransmitPdu(l, nullptr, 2), nfcStatusBadParameter);
    EXPECT_EQ(nfcTransmitPdu(nullptr, pdu, 2), nfcStatusInvalidHandle);
}

TEST_F(PduTest, TransmitAnswersAReaderFromInsideItsRequest) {
    NfcListenerHandle l = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &log, CE_HOST_14443A_106, nullptr, &l), nfcStatusOk);
    showTag(CE_HOST_14443A_106);
    silence(NFACE_TRANSACTION_REQ);
    std::vector<NfcApiStatus> statuses;
    const BYTE reply[] = {0x6A, 0x82};
    log.inside = [&](const EventLog::Event& e) {
        if (e.event == nfcEventReaderRequest) statuses.push_back(nfcTransmitPdu(l, reply, sizeof reply));
    };
    const uint8_t select[] = {0x00, 0xA4, 0x04, 0x00};
    fake().inject(app(), nfaceMsgMake<NFACE_TRANSACTION_IND>({0, select, 0, sizeof select, 0}));
    ASSERT_TRUE(fake().waitFor(NFACE_TRANSACTION_REQ, 1, kWait));
    log.inside = nullptr;
    EXPECT_EQ(statuses, std::vector<NfcApiStatus>{nfcStatusPending});
}
