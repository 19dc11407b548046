// Start-up and shut-down of the stack: the normalised configuration, the registrations that wait
// for the worker, the entry table, and the locks and semaphores that nfcapiInitialize creates.
// It sets the state the API core reads (core/nfacestate.h).
#pragma once

#include <cstdint>

#include "core/nfaceapi.h"
#include "core/nfacemsg.h"
#include "core/nfacestate.h"
#include "corvane.h"
#include "platform.h"

constexpr char NFCAPI_PRODUCT_VERSION[] = "1.0.153.0";
constexpr char NFCAPI_COMPONENT_VERSION[] = "16.1.153.0";
constexpr char NFCAPI_BUILD_DATE[] = "Sep 11 2014";
constexpr char NFCAPI_BUILD_TIME[] = "13:12:03";
constexpr uint32_t NFCAPI_MANAGER_QUEUE_NAME = NFCMAN_QUEUE_NAME;     // the "NFC API queue"

// In download mode the callback gets this event with a record of the com layer's lower
// interface, valid during the call.
constexpr uint32_t NFCAPI_DOWNLOAD_READY = 2;

// 0 started; 4 failed (nothing is left running); 5 the configuration string has errors;
// 12 already initialised or starting.
NfcApiStatus nfcapiInitialize(const char* configuration, NfcapiDownloadCallback callback, void* context);
// 0 stopped (also when nothing ran); 11 when called on the OS worker thread, which it would
// have to wait for.
NfcApiStatus nfcapiDone();

// The normalised configuration string (empty while stopped) and its reader type.
const char* nfcapiConfiguration();
uint16_t nfcapiReaderType();

// An application's registration with the NFC manager.
using NfcapiRegistration = TNfaceRegistration;

// Orders registrations against the change to state 2.
PlatLock& nfcapiRegistrationLock();

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

// Builds the entry table and starts the stack: 0 with the table (also when the stack already
// runs), else 4.
NfcApiStatus nfaceOpen(const char* configuration, NfcapiDownloadCallback callback, void* context,
                       NfaceEntryTable** table);
// Hands a registration to the NFC manager, or keeps it until the worker runs.
NfcApiStatus nfcapiRegister(const TNfaceRegistration* record, uint32_t size);
// Hands a registration to the NFC manager through the start-up's services.
NfcApiStatus nfaceRegister(const TNfaceRegistration* record);
