// The tag, secure-element, routing, I/O-control and download exports as an application meets
// them: listed among the library's exports, resolved by name from the shared library, and
// answering a status on the error paths before anything is started.
#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>

#include "corvane.h"
#include "corvane_exports.h"
#include "loaded_library.h"

namespace {

#define AREA_EXPORTS(X)                                                                                    \
    X(nfcGetTagInfo) X(nfcConnectTag) X(nfcDisconnectTag) X(nfcFormat) X(nfcFormatNdef) X(nfcMakeReadOnly) \
    X(nfcSelectTag) X(nfcCheckTag) X(nfcExchangePdu) X(nfcTransmitPdu) X(nfcWriteNdefMessage)             \
    X(nfcReadNdefMessage) X(nfcDeviceIoControl) X(nfcSecureGetList) X(nfcSecureSetMode)                   \
    X(nfcSecureSetBatteryMode) X(nfcSecureOpen) X(nfcSecureClose) X(nfcSecureExchangePdu)                 \
    X(nfcSecureGetATR) X(nfcSecureSetTimeout) X(nfcSecureAddRoutingEntries) X(nfcSecureGetRoutingEntries) \
    X(nfcSecureClearRoutingEntries) X(nfcInitFirmwareDownload)

#define NAME(name) #name,
constexpr const char* kArea[] = {AREA_EXPORTS(NAME)};
constexpr const char* kListed[] = {CORVANE_ALL_EXPORTS(NAME)};
#undef NAME

CORVANE_LOADED_LIBRARY_FIXTURE(AREA_EXPORTS);

} // namespace

TEST(ExportList, NamesEveryTagAndSecureElementExport) {
    const std::set<std::string> listed(std::begin(kListed), std::end(kListed));
    for (const char* name : kArea) EXPECT_TRUE(listed.count(name)) << name;
}

TEST_F(LoadedLibrary, AnswersEveryHandleErrorWithAStatus) {
    BYTE buffer[8];
    WORD length = sizeof buffer;
    DWORD size = sizeof buffer;
    TNfcTagInfo info{};
    NfcSecureConnectionHandle connection = nullptr;
    EXPECT_EQ(lib.nfcGetTagInfo(nullptr, 0, &info), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcConnectTag(nullptr, 0), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcDisconnectTag(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcFormat(nullptr, 0, 0), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcFormatNdef(nullptr, 0), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcMakeReadOnly(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSelectTag(nullptr, buffer, 1), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcCheckTag(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcExchangePdu(nullptr, buffer, 1, buffer, &length), nfcStatusInvalidHandle);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(lib.nfcTransmitPdu(nullptr, buffer, 1), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcWriteNdefMessage(nullptr, buffer, 1), nfcStatusInvalidHandle);
    length = sizeof buffer;
    EXPECT_EQ(lib.nfcReadNdefMessage(nullptr, buffer, &length), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcDeviceIoControl(nullptr, 0x1004, nullptr, 0, nullptr, nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureGetList(nullptr, nullptr, nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureSetMode(nullptr, 1, 1), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureSetBatteryMode(nullptr, 1, 1), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureOpen(nullptr, 1, &connection), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureClose(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureExchangePdu(nullptr, buffer, 1, buffer, &length), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureGetATR(nullptr, buffer, &length), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureSetTimeout(nullptr, 1, 0), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureAddRoutingEntries(nullptr, nullptr, 0), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureGetRoutingEntries(nullptr, nullptr, &size), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSecureClearRoutingEntries(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcInitFirmwareDownload(nullptr, "READERTYPE=NCI"), nfcStatusBadParameter);
}
