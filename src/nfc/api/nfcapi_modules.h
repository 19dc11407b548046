// What start-up and shut-down call of the other modules: the table of module registrations,
// the com layer's entry points and the NFC manager's intake of applications. A module that is
// not part of the build registers under its own name and fails when it is started; an entry
// point that is not part of the build is empty.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/nfcapi_init.h"
#include "os/os.h"

struct NfcapiModule {
    const char* name;
    OsResult (*registerModule)(uint16_t readerType);
};

struct NfcapiComLayer {
    uint16_t instanceSize;
    // 0 ready, else failed.
    int32_t (*init)(const char* configuration, void* instance, uint32_t queueName);
    void (*shutdown)(void* instance);
    // The operations of the lower interface the com layer chose.
    const TComLowerInterface* (*lowerInterface)(void* instance);
};

struct NfcapiServices {
    const NfcapiModule* modules;     // registered in this order, after the module manager starts
    size_t moduleCount;
    NfcapiComLayer com;
    // Hands an application to the NFC manager.
    NfcApiStatus (*registerApplication)(const NfcapiRegistration& registration);
};

const NfcapiServices& nfcapiServices();
// Lets tests start the stack with modules of their own; empty restores the library's.
void nfcapiSetServices(const NfcapiServices* services);

