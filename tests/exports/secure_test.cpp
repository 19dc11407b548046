#include <algorithm>

#include "core/nfaceregistry.h"
#include "exports_fixture.h"

namespace {

constexpr NfcSecureHandle kEse = 0x101;
constexpr NfcSecureHandle kUicc = 0x102;
constexpr NfcSecureHandle kUnknown = 0x103;

// The controller lists two secure elements.
struct SecureTest : ExportsTest {
    void SetUp() override {
        ExportsTest::SetUp();
        ese = TNfcInfoSE{kEse, 0x3, 0, {0, 0}, 0xC0};
        uicc = TNfcInfoSE{kUicc, 0x1, NFC_SE_MODE_VIRTUAL, {0, 0}, 0x81};
        TNfcCapabilityBlock& block = fake().capabilities;
        block.secureElementCount = 2;
        block.secureElements[0] = &ese;
        block.secureElements[1] = &uicc;
        script(NFACE_IO_CONTROL_REQ, [](FakeNfcManager& f, const Request& r) {
            f.answer(r, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({nfcCauseOk, nullptr, 0}));
        });
    }
    std::vector<uint32_t> ioCodes() {
        std::vector<uint32_t> codes;
        for (const Seen& s : seen(NFACE_IO_CONTROL_REQ)) codes.push_back(s.ioCode);
        return codes;
    }
    static void collect(void* context, TNfcInfoSE* se) { static_cast<std::vector<NfcSecureHandle>*>(context)->push_back(NfcSecureHandle{se->handle}); }

    TNfcInfoSE ese{}, uicc{};
};

struct ListWalk {
    NfcHandle h;
    std::vector<NfcApiStatus> statuses;
};

} // namespace

TEST_F(SecureTest, ListWalksTheElementsAndRefusesModeChangesMeanwhile) {
    std::vector<NfcSecureHandle> handles;
    ASSERT_EQ(nfcSecureGetList(h, &handles, &SecureTest::collect), nfcStatusOk);
    EXPECT_EQ(handles, (std::vector<NfcSecureHandle>{kEse, kUicc}));
    EXPECT_TRUE(cap.contains("2. SE, handle=0x102, caps 0x0001, mode 0x1, id 129"));

    ListWalk walk{h, {}};
    ASSERT_EQ(nfcSecureGetList(h, &walk,
                               [](void* context, TNfcInfoSE* se) {
                                   auto* w = static_cast<ListWalk*>(context);
                                   w->statuses.push_back(nfcSecureSetMode(w->h, se->handle, 1));
                                   w->statuses.push_back(nfcSecureSetBatteryMode(w->h, se->handle, 1));
                               }),
              nfcStatusOk);
    EXPECT_EQ(walk.statuses, std::vector<NfcApiStatus>(4, nfcStatusWrongState));
    EXPECT_TRUE(cap.contains("! Bad state, nfcSecureGetList active"));
    // The walk is over: the same calls go through.
    EXPECT_EQ(nfcSecureSetMode(h, kEse, 1), nfcStatusOk);
    EXPECT_EQ(nfcSecureGetList(h, &handles, nullptr), nfcStatusBadParameter);
    EXPECT_EQ(nfcSecureSetMode(h, kEse, 0), nfcStatusOk);       // nor does a refused walk stay active
    EXPECT_EQ(nfcSecureGetList(nullptr, &handles, &SecureTest::collect), nfcStatusInvalidHandle);
}

TEST_F(SecureTest, ModesGoToTheControllerForKnownElementsOnly) {
    EXPECT_EQ(nfcSecureSetMode(h, kEse, 1), nfcStatusOk);
    EXPECT_EQ(nfcSecureSetMode(h, kUicc, 0), nfcStatusOk);
    EXPECT_EQ(nfcSecureSetBatteryMode(h, kUicc, 1), nfcStatusOk);
    EXPECT_EQ(nfcSecureSetBatteryMode(h, kUicc, 0), nfcStatusOk);
    EXPECT_EQ(ioCodes(), (std::vector<uint32_t>{NFC_IOCTL_SE_MODE_ON, NFC_IOCTL_SE_MODE_OFF, NFC_IOCTL_BATTERY_MODE_ON,
                                                NFC_IOCTL_BATTERY_MODE_OFF}));
    std::vector<uint32_t> parameters;
    for (const Seen& s : seen(NFACE_IO_CONTROL_REQ)) parameters.push_back(s.parameter);
    EXPECT_EQ(parameters, (std::vector<uint32_t>{kEse, kUicc, kUicc, kUicc}));

    EXPECT_EQ(nfcSecureSetMode(h, kEse, 2), nfcStatusBadParameter);
    EXPECT_TRUE(cap.contains("nfcSecureSetMode, ! secure mode unkown"));
    EXPECT_EQ(nfcSecureSetMode(h, kUnknown, 1), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcSecureSetBatteryMode(h, kUnknown, 1), nfcStatusInvalidHandle);
    EXPECT_TRUE(cap.contains("ehci: ! cannot find secure element for hSecure=0x103"));
    EXPECT_EQ(nfcSecureSetMode(nullptr, kEse, 1), nfcStatusInvalidHandle);
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).size(), 4u);

    answer(NFACE_IO_CONTROL_REQ, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({nfcCauseRejected, nullptr, 0}));
    EXPECT_EQ(nfcSecureSetMode(h, kEse, 1), nfcStatusFailed);
}

TEST_F(SecureTest, ExchangeTimeOutIsKeptWithinItsBoundAndSentAsAsked) {
    struct Case {
        DWORD asked;
        uint32_t kept;
    };
    const Case cases[] = {{0, 1000}, {500, 500}, {23300, 23300}, {60000, 23300}};
    // The NCI driver does not take the code: the application keeps its time-out all the same.
    answer(NFACE_IO_CONTROL_REQ, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({nfcCauseRejected, nullptr, 0}));
    for (const Case& c : cases) {
        EXPECT_EQ(nfcSecureSetTimeout(h, kUicc, c.asked), nfcStatusFailed) << c.asked;
        EXPECT_EQ(h->secureTimeout, c.kept);
        const Seen s = seen(NFACE_IO_CONTROL_REQ).back();
        EXPECT_EQ(s.ioCode, uint32_t{NFC_IOCTL_SE_TIMEOUT});
        uint32_t input[2];
        ASSERT_EQ(s.input.size(), sizeof input);
        std::memcpy(input, s.input.data(), sizeof input);
        EXPECT_EQ(input[0], kUicc);
        EXPECT_EQ(input[1], c.asked);
    }
    EXPECT_TRUE(cap.contains("nfcSecureSetTimeout() exit, status=1"));
    EXPECT_EQ(nfcSecureSetTimeout(h, kUnknown, 10), nfcStatusInvalidHandle);
    EXPECT_EQ(h->secureTimeout, 23300u);
}

TEST_F(SecureTest, ConnectionOpensExchangesAndCloses) {
    const std::vector<uint8_t> atr = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00};
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseOk, atr);
    NfcSecureConnectionHandle c = nullptr;
    ASSERT_EQ(nfcSecureOpen(h, kEse, &c), nfcStatusOk);
    ASSERT_NE(c, nullptr);
    Seen open = seen(NFACE_IO_CONTROL_REQ).back();
    EXPECT_EQ(open.ioCode, uint32_t{NFC_IOCTL_SE_OPEN});
    EXPECT_EQ(open.parameter, kEse);
    EXPECT_EQ(open.outputSize, 64);

    // The ATR: too small a buffer gets what fits and 19.
    BYTE buffer[64];
    WORD length = 0;
    EXPECT_EQ(nfcSecureGetATR(c, buffer, &length), nfcStatusBufferTooSmall);
    EXPECT_EQ(length, 0);
    length = 4;
    EXPECT_EQ(nfcSecureGetATR(c, buffer, &length), nfcStatusBufferTooSmall);
    EXPECT_EQ(length, 4);
    length = sizeof buffer;
    ASSERT_EQ(nfcSecureGetATR(c, buffer, &length), nfcStatusOk);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), atr);
    EXPECT_EQ(nfcSecureGetATR(c, nullptr, &length), nfcStatusBadParameter);

    // An exchange carries the handle and the application's exchange time-out.
    ASSERT_EQ(nfcSecureSetTimeout(h, kEse, 2500), nfcStatusOk);
    const std::vector<uint8_t> response = {0x6F, 0x10, 0x90, 0x00};
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseOk, response);
    const BYTE apdu[] = {0x00, 0xA4, 0x04, 0x00, 0x00};
    length = sizeof buffer;
    ASSERT_EQ(nfcSecureExchangePdu(c, apdu, sizeof apdu, buffer, &length), nfcStatusOk);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), response);
    const Seen exchange = seen(NFACE_IO_CONTROL_REQ).back();
    EXPECT_EQ(exchange.ioCode, uint32_t{NFC_IOCTL_SE_EXCHANGE});
    EXPECT_EQ(exchange.parameter, kEse);
    EXPECT_EQ(exchange.timeoutMs, 2500);
    EXPECT_EQ(exchange.input, std::vector<uint8_t>(apdu, apdu + sizeof apdu));
    EXPECT_TRUE(cap.contains("nfcSecureExchange() exit, status=0x0, output length=4"));

    // Any failure of the exchange is 1 with nothing delivered.
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseAccessDenied, {});
    length = sizeof buffer;
    EXPECT_EQ(nfcSecureExchangePdu(c, apdu, sizeof apdu, buffer, &length), nfcStatusFailed);
    EXPECT_EQ(length, 0);
    length = sizeof buffer;
    EXPECT_EQ(nfcSecureExchangePdu(c, nullptr, 1, buffer, &length), nfcStatusBadParameter);
    EXPECT_EQ(nfcSecureExchangePdu(c, apdu, 1, buffer, nullptr), nfcStatusBadParameter);
    EXPECT_EQ(nfcSecureExchangePdu(c, apdu, 1, nullptr, &length), nfcStatusBadParameter);

    answerData(NFACE_IO_CONTROL_REQ, nfcCauseOk, {});
    ASSERT_EQ(nfcSecureClose(c), nfcStatusOk);
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).back().ioCode, uint32_t{NFC_IOCTL_SE_CLOSE});
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).back().parameter, kEse);

    // A closed connection is no handle any more.
    const size_t requests = seen(NFACE_IO_CONTROL_REQ).size();
    length = sizeof buffer;
    EXPECT_EQ(nfcSecureExchangePdu(c, apdu, sizeof apdu, buffer, &length), nfcStatusInvalidHandle);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(nfcSecureGetATR(c, buffer, &length), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcSecureClose(c), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcSecureClose(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).size(), requests);
}

TEST_F(SecureTest, FailedOpenStillGivesAConnectionToClose) {
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseRejected, {});
    NfcSecureConnectionHandle c = nullptr;
    EXPECT_EQ(nfcSecureOpen(h, kUicc, &c), nfcStatusFailed);
    ASSERT_NE(c, nullptr);
    BYTE atr[8];
    WORD length = sizeof atr;
    EXPECT_EQ(nfcSecureGetATR(c, atr, &length), nfcStatusOk);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(nfcSecureClose(c), nfcStatusFailed);
    EXPECT_EQ(nfcSecureClose(c), nfcStatusInvalidHandle);

    NfcSecureConnectionHandle none = reinterpret_cast<NfcSecureConnectionHandle>(&atr);
    EXPECT_EQ(nfcSecureOpen(h, kUnknown, &none), nfcStatusInvalidHandle);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(nfcSecureOpen(h, kEse, nullptr), nfcStatusBadParameter);
    EXPECT_EQ(nfcSecureOpen(nullptr, kEse, &none), nfcStatusInvalidHandle);
}

TEST_F(SecureTest, ConnectionOfADestroyedApplicationIsNoLongerUsable) {
    answerData(NFACE_IO_CONTROL_REQ, nfcCauseOk, {0x3B});
    NfcSecureConnectionHandle c = nullptr;
    ASSERT_EQ(nfcSecureOpen(h, kEse, &c), nfcStatusOk);
    ASSERT_EQ(nfcDestroy(h), nfcStatusOk);
    const size_t requests = seen(NFACE_IO_CONTROL_REQ).size();
    BYTE out[4];
    WORD length = sizeof out;
    EXPECT_EQ(nfcSecureExchangePdu(c, out, 1, out, &length), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcSecureClose(c), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcSecureClose(c), nfcStatusInvalidHandle);
    EXPECT_EQ(seen(NFACE_IO_CONTROL_REQ).size(), requests);
}

TEST_F(SecureTest, BeforeTheControllerIsActiveNoElementIsKnown) {
    nfcapiSetCapabilities(TNfcCapabilities{});
    std::vector<NfcSecureHandle> handles;
    EXPECT_EQ(nfcSecureGetList(h, &handles, &SecureTest::collect), nfcStatusWrongState);
    EXPECT_TRUE(handles.empty());
    NfcSecureConnectionHandle c = nullptr;
    EXPECT_EQ(nfcSecureOpen(h, kEse, &c), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcSecureSetMode(h, kEse, 1), nfcStatusInvalidHandle);
    EXPECT_EQ(nfcSecureSetTimeout(h, kEse, 1), nfcStatusInvalidHandle);
    EXPECT_TRUE(seen(NFACE_IO_CONTROL_REQ).empty());
}
