#include "api_harness.h"

#include <gtest/gtest.h>

#include "core/nfaceregistry.h"

ApiHarness::ApiHarness(const char* configuration) : manager_(std::make_unique<FakeNfcManager>()) {
    nfcapiSetServices(&manager_->services());
    started_ = nfcInitialize(configuration);
}

ApiHarness::~ApiHarness() {
    // However often the test initialised the library, one nfcDone per count stops it.
    for (int i = 0; i < 16 && (nfcapiEntryTable() || nfcapiState() != NFCAPI_STATE_IDLE); ++i) nfcDone();
    if (nfcapiState() != NFCAPI_STATE_IDLE) {
        ADD_FAILURE() << "nfcDone left the stack running";
        nfcapiDone();
    }
    nfcapiSetServices(nullptr);
    manager_.reset();
}
