// Start-up and shut-down of the stack, and the core state the API core works with: the state
// 0/1/2, the normalised configuration, the registrations that wait for the worker, and the locks
// and semaphores that nfcapiInitialize creates.
#pragma once

#include <cstdint>

#include "core/nfacemsg.h"
#include "corvane.h"
#include "platform.h"

constexpr char NFCAPI_PRODUCT_VERSION[] = "1.0.153.0";
constexpr char NFCAPI_COMPONENT_VERSION[] = "16.1.153.0";
constexpr char NFCAPI_BUILD_DATE[] = "Sep 11 2014";
constexpr char NFCAPI_BUILD_TIME[] = "13:12:03";
constexpr uint32_t NFCAPI_MANAGER_QUEUE_NAME = NFCMAN_QUEUE_NAME;     // the "NFC API queue"

enum NfcapiState : int {
    NFCAPI_STATE_IDLE = 0,
    NFCAPI_STATE_STARTING = 1,     // the stack was started, the worker has not run yet
    NFCAPI_STATE_RUNNING = 2,
};

// In download mode the callback gets this event with a record of the com layer's lower
// interface, valid during the call.
constexpr uint32_t NFCAPI_DOWNLOAD_READY = 2;
using NfcapiDownloadCallback = void (*)(void* context, uint32_t event, const TNfcDownloadRecord* record);

// 0 started; 4 failed (nothing is left running); 5 the configuration string has errors;
// 12 already initialised or starting.
NfcApiStatus nfcapiInitialize(const char* configuration, NfcapiDownloadCallback callback, void* context);
// 0 stopped (also when nothing ran); 11 when called on the OS worker thread, which it would
// have to wait for.
NfcApiStatus nfcapiDone();

NfcapiState nfcapiState();
// The normalised configuration string (empty while stopped) and its reader type.
const char* nfcapiConfiguration();
uint16_t nfcapiReaderType();
bool nfcapiOnWorkerThread();

// An application's registration with the NFC manager.
using NfcapiRegistration = TNfaceRegistration;

// Orders registrations against the change to state 2.
PlatLock& nfcapiRegistrationLock();
// Held while an application's callback runs.
PlatLock& nfcapiUpcallLock();
// Released once an application's release is confirmed.
PlatSemaphore& nfcapiReleaseSemaphore();

// Keeps a copy of a registration until the worker runs and hands it to the NFC manager.
// Call it under the registration lock. 0, or 4 without memory.
NfcApiStatus nfcapiQueueRegistration(const NfcapiRegistration& registration);
// Builds the runtime: OS layer, global pool, modules and the worker. 1 started; 0 failed, and
// then nothing of it is left running.
int brisgardInit();

// The trace tag of the library loaded from this file.
const char* nfcapiTraceTag(const char* libraryPath);

// The start function of the com module.
int32_t comLayerInit(void* instance, uint32_t moduleWord);
