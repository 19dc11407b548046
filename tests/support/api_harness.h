// The library's API core over the fake NFC manager: the OS layer, a dispatcher thread, the
// manager and an entry table that reaches them, as an initialised library has them.
#pragma once

#include <memory>

#include "core/nfaceapi.h"
#include "dispatcher_thread.h"
#include "fake_nfc_manager.h"

class ApiHarness {
public:
    ApiHarness();
    ~ApiHarness();
    ApiHarness(const ApiHarness&) = delete;
    ApiHarness& operator=(const ApiHarness&) = delete;

    FakeNfcManager& manager() { return *manager_; }

private:
    std::unique_ptr<FakeNfcManager> manager_;
    std::unique_ptr<DispatcherThread> dispatcher_;
};
