#include <gtest/gtest.h>

#include "core/nfaceregistry.h"
#include "fake_nfc_manager.h"
#include "trace_capture.h"
#include "util/trace.h"

namespace {

constexpr char kDownload[] = "READERTYPE=PN544 IOTYPE=I2C FWDOWNLOAD=1";

int g_shutdowns = 0;

DWORD lowerOpen(const char*, const char*, TComCallback, void*, void**) { return 0; }
DWORD lowerClose(void*) { return 0; }
DWORD lowerWrite(void*, BYTE*, DWORD) { return 0; }
DWORD lowerResponse(void*, BYTE*) { return 0; }
DWORD lowerSet(void*, DWORD, void*, DWORD) { return 0; }
DWORD lowerGet(void*, DWORD, void*, DWORD*) { return 0; }
const TComLowerInterface kLower{&lowerOpen, &lowerClose, &lowerWrite, &lowerResponse, &lowerSet, &lowerGet};

int32_t comInit(const char*, void*, uint32_t) { return 0; }
void comShutdown(void*) { ++g_shutdowns; }
const TComLowerInterface* comLower(void*) { return &kLower; }

// The library with the fake manager as its NFC manager and a com layer that offers kLower.
struct DownloadTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        g_shutdowns = 0;
        manager.setComLayer(NfcapiComLayer{64, &comInit, &comShutdown, &comLower});
        nfcapiSetServices(&manager.services());
    }
    void TearDown() override {
        for (int i = 0; i < 16 && (nfcapiEntryTable() || nfcapiState() != NFCAPI_STATE_IDLE); ++i) nfcDone();
        EXPECT_EQ(nfcapiState(), NFCAPI_STATE_IDLE);
        nfcapiSetServices(nullptr);
    }

    TraceCapture cap;
    FakeNfcManager manager;
};

} // namespace

TEST_F(DownloadTest, TheCallerGetsTheTransportAndDoneEndsTheMode) {
    TNfcDownloadRecord record{};
    record.reserved = 0xFFFFFFFFu;
    ASSERT_EQ(nfcInitFirmwareDownload(&record, kDownload), nfcStatusOk);
    EXPECT_TRUE(cap.contains("nfcInitFirmwareDownload() enter <READERTYPE=PN544 IOTYPE=I2C FWDOWNLOAD=1>"));
    EXPECT_EQ(record.size, sizeof(TNfcDownloadRecord));
    EXPECT_EQ(record.reserved, 0u);
    EXPECT_EQ(record.transport.open, &lowerOpen);
    EXPECT_EQ(record.transport.write, &lowerWrite);
    EXPECT_EQ(record.transport.getProperty, &lowerGet);
    EXPECT_EQ(record.transport.response, nullptr);

    ASSERT_EQ(nfcDone(), nfcStatusOk);
    EXPECT_EQ(g_shutdowns, 1);
    EXPECT_EQ(nfcapiEntryTable(), nullptr);
}

TEST_F(DownloadTest, AStartWithoutDownloadModeIsNotADownload) {
    TNfcDownloadRecord record{};
    EXPECT_EQ(nfcInitFirmwareDownload(&record, "READERTYPE=NCI"), nfcStatusNotImplemented);
    EXPECT_EQ(record.transport.open, nullptr);
    // The stack runs as after nfcInitialize, until nfcDone.
    EXPECT_NE(nfcapiState(), NFCAPI_STATE_IDLE);
    ASSERT_EQ(nfcDone(), nfcStatusOk);
    EXPECT_EQ(nfcapiState(), NFCAPI_STATE_IDLE);
    EXPECT_EQ(g_shutdowns, 0);
}

TEST_F(DownloadTest, NothingStartsWithoutARecordOrAUsableConfiguration) {
    TNfcDownloadRecord record{};
    EXPECT_EQ(nfcInitFirmwareDownload(nullptr, kDownload), nfcStatusBadParameter);
    EXPECT_EQ(nfcInitFirmwareDownload(&record, nullptr), nfcStatusBadParameter);
    EXPECT_EQ(nfcInitFirmwareDownload(&record, "READERTYPE PN544"), nfcStatusStartFailed);
    EXPECT_EQ(nfcapiState(), NFCAPI_STATE_IDLE);
    EXPECT_EQ(nfcapiEntryTable(), nullptr);
}
