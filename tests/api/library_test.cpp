// The library as an application meets it: loaded by its file name, every function resolved by
// name, every error path answered with a status.
#include <gtest/gtest.h>

#include <string>

#include "corvane.h"
#include "loaded_library.h"

namespace {

// The exports of the library, application and listener families, and of the trace family.
#define LIBRARY_EXPORTS(X)                                                                          \
    X(nfcGetVersion) X(nfcInitialize) X(nfcInitializeEx) X(nfcDone) X(nfcCreate) X(nfcCreateEx)   \
    X(nfcDestroy) X(nfcGetCapabilities) X(nfcRegisterListener) X(nfcUnregisterListener)            \
    X(nfcSetReaderTimeout) X(debugCaptureOutput) X(debugCaptureOutputEx) X(debugSetFlags)           \
    X(debugGetFlags) X(debugSetL1Flags) X(debugGetL1Flags)

CORVANE_LOADED_LIBRARY_FIXTURE(LIBRARY_EXPORTS);

} // namespace

TEST_F(LoadedLibrary, AnswersEveryErrorPathWithAStatus) {
    DWORD api = 0;
    EXPECT_STREQ(lib.nfcGetVersion(&api), "16.1.153.0");
    EXPECT_EQ(api, 0x20004u);

    // Nothing is open yet: every handle is refused, and nothing is created.
    NfcHandle h = reinterpret_cast<NfcHandle>(&api);
    EXPECT_EQ(lib.nfcCreate(nullptr, nullptr, &h), nfcStatusStartFailed);
    EXPECT_EQ(h, nullptr);
    TNfcCapabilities caps{};
    NfcListenerHandle l = nullptr;
    EXPECT_EQ(lib.nfcDestroy(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcGetCapabilities(nullptr, &caps, sizeof caps), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcRegisterListener(nullptr, nullptr, TAG_ISO14443A, nullptr, &l), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcUnregisterListener(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcSetReaderTimeout(nullptr, 500, TAG_ISO14443A), nfcStatusInvalidHandle);

    // A string the library cannot read starts nothing; the library stays ready for a good one.
    EXPECT_EQ(lib.nfcInitialize("READERTYPE PN544"), nfcStatusStartFailed);
    EXPECT_EQ(lib.nfcCreate(nullptr, nullptr, &h), nfcStatusStartFailed);
    const char* strings[] = {"READERTYPE=NCI", "READERTYPE=NCI"};
    EXPECT_EQ(lib.nfcInitializeEx(2, strings), nfcStatusBadParameter);
    EXPECT_EQ(lib.nfcDone(), nfcStatusOk);

    // The loaded library keeps trace words of its own.
    const DWORD before = lib.debugGetFlags();
    lib.debugSetFlags(0x105);
    EXPECT_EQ(lib.debugGetFlags(), 0x105u);
    lib.debugSetFlags(before);
}
