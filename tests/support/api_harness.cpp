#include "api_harness.h"

#include "core/nfaceregistry.h"
#include "os/os.h"

namespace {

NfcApiStatus notCalled(const char*, TNfcapiDownloadCallback, void*) { return nfcStatusFailed; }
NfcApiStatus nothingToStop() { return nfcStatusOk; }
NfcApiStatus registerNow(const TNfaceRegistration* record, uint32_t) { return nfaceRegister(record); }

NfaceEntryTable g_table{nullptr, &notCalled, &nothingToStop, &registerNow, &nfacePutMessage, &nfcapiRelease};

} // namespace

ApiHarness::ApiHarness() {
    osInit();
    manager_ = std::make_unique<FakeNfcManager>();
    dispatcher_ = std::make_unique<DispatcherThread>();
    nfcapiSetState(2);
    nfcapiSetEntryTable(&g_table);
}

ApiHarness::~ApiHarness() {
    nfcapiSetEntryTable(nullptr);
    nfcapiSetState(0);
    dispatcher_.reset();
    nfcapiRegistryReset();
    manager_.reset();
    osDone();
}
