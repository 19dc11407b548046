// An initialised library whose NFC manager is the fake one: the real start-up, worker thread
// and API core, with the fake manager as the stack's one module.
#pragma once

#include <memory>

#include "core/nfaceapi.h"
#include "fake_nfc_manager.h"

class ApiHarness {
public:
    static constexpr char kConfiguration[] = "READERTYPE=NCI";

    explicit ApiHarness(const char* configuration = kConfiguration);
    // Stops the stack however often it was initialised.
    ~ApiHarness();
    ApiHarness(const ApiHarness&) = delete;
    ApiHarness& operator=(const ApiHarness&) = delete;

    FakeNfcManager& manager() { return *manager_; }
    NfcApiStatus started() const { return started_; }

private:
    std::unique_ptr<FakeNfcManager> manager_;
    NfcApiStatus started_;
};
