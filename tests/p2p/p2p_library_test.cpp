// The nfcP2P exports as an application that binds them by name meets them: exported by the
// shared library and answering bad handles with a status before anything is started.
#include <gtest/gtest.h>

#include "corvane.h"
#include "corvane_exports.h"
#include "loaded_library.h"

namespace {

#define P2P_EXPORTS(X)                                                                                 \
    X(nfcP2PConnectRequest) X(nfcP2PListenRequest) X(nfcP2PListenRequestEx) X(nfcP2PConnectResponse) \
    X(nfcP2POpenCLSocket) X(nfcP2PCloseCLSocket) X(nfcP2PDisconnectRequest) X(nfcP2PDataRequest)     \
    X(nfcP2PDataRequestTo) X(nfcP2PDataResponse) X(nfcP2PSdpRequest)

CORVANE_LOADED_LIBRARY_FIXTURE(P2P_EXPORTS);

} // namespace

TEST_F(LoadedLibrary, EveryP2pExportAnswersABadHandleWithStatusFive) {
    P2pLinkHandle out = nullptr;
    BYTE sap = 0;
    const BYTE data[1] = {};
    EXPECT_EQ(lib.nfcP2PConnectRequest(nullptr, nullptr, nullptr, 1, 128, 0, nullptr, &out), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2PListenRequest(nullptr, nullptr, nullptr, 1, 1, 128, 0, nullptr, &out), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2PListenRequestEx(nullptr, nullptr, nullptr, 0, 1, 1, 128, 0, nullptr, &out),
              nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2PConnectResponse(nullptr, nullptr, nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2POpenCLSocket(nullptr, nullptr, nullptr, 0, &out), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2PCloseCLSocket(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2PDisconnectRequest(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2PDataRequest(nullptr, data, 1), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2PDataRequestTo(nullptr, 1, data, 1), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2PDataResponse(nullptr), nfcStatusInvalidHandle);
    EXPECT_EQ(lib.nfcP2PSdpRequest(nullptr, "urn:nfc:sn:x", &sap), nfcStatusInvalidHandle);
}
