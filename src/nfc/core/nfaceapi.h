// The API core: the exports reach the stack through the entry table, send their requests to the
// NFC manager and wait for the answer on their application's semaphore; the manager's answers
// and indications come back through nfaceCallback on the OS worker thread.
#pragma once

#include <cstdint>

#include "api/nfcapi_init.h"
#include "core/nfacemsg.h"
#include "corvane.h"
#include "platform.h"
#include "util/dlqueue.h"

constexpr uint32_t NFCAPI_REQUEST_TIMEOUT = 23500;      // ms, each application's default
constexpr uint32_t NFCAPI_SECURE_TIMEOUT = 1000;        // ms, secure-element exchanges
constexpr uint32_t NFCAPI_ACTIVATION_TIMEOUT = 10000;   // ms a new application waits for the controller
constexpr uint32_t NFCAPI_READER_EXTRA = 1000;          // ms a reader time-out adds for the stack

// The reader time-outs of an application, by technology.
enum NfcapiReader { READER_JEWEL, READER_DEFAULT, READER_14443B, READER_FELICA, READER_15693, READER_COUNT };

// ---- The entry table ------------------------------------------------------------------------
struct NfaceEntryTable {
    void* reserved;
    NfcApiStatus (*initialize)(const char* configuration, NfcapiDownloadCallback callback, void* context);
    NfcApiStatus (*done)();
    NfcApiStatus (*registerApp)(const TNfaceRegistration* record, uint32_t size);
    NfcApiStatus (*putMessage)(void* hApp, const TnfcapiMsg* message);
    // Waits at most timeoutMs for the manager's confirmation.
    NfcApiStatus (*release)(void* hApp, uint32_t timeoutMs);
};

// ---- Handles --------------------------------------------------------------------------------
struct TNfcListener {
    dlQueueNode link;
    uint32_t magic;
    TNfcApiInstance* owner;
    uint32_t mask;                    // without the secure-element and no-reader bits
    void* context;
    BOOL connected;                   // this listener holds the tag
    BOOL secureElement;
};

// The I/O block: two parameter words and the transfer descriptor that points at them or at the
// caller's data.
struct TNfaceIoBlock {
    uint32_t parameters[2];
    TNfaceTransfer transfer;
};

// One application. Holds locks and a semaphore, so it is constructed, never zero-filled memory.
struct TNfcApiInstance {
    uint32_t magic = 0;
    TNfcEventCallback callback = nullptr;
    void* context = nullptr;
    void* listenerContext = nullptr;  // of the listener last signalled
    dlQueue listeners;
    uint32_t listenMask = 0;
    TNfcTagInfo tag{};
    TNfcEventParam eventParam{};      // the record of nfcEventReaderRequest
    // The answer of the pending request, written under the lock by the confirmation path.
    NfcApiStatus result = 0;
    uint16_t resultLength = 0;        // what came up; the read room may have taken less
    void* hApp = nullptr;             // the NFC manager's entry of this application
    PlatSemaphore resultSemaphore;
    PlatLock lock;
    PlatLock registration;            // one listener change at a time; never taken by the worker
    uint32_t requestTimeout = NFCAPI_REQUEST_TIMEOUT;
    uint16_t pending = 0;             // code of the request waited for, 0 when none
    uint16_t pendingRequest = 0;      // its identity
    uint16_t lastRequest = 0;         // the identity given last
    uint16_t lastReceived = 0;
    uint32_t readerTimeouts[READER_COUNT] = {NFCAPI_REQUEST_TIMEOUT, NFCAPI_REQUEST_TIMEOUT, NFCAPI_REQUEST_TIMEOUT,
                                             NFCAPI_REQUEST_TIMEOUT, NFCAPI_REQUEST_TIMEOUT};
    BOOL activationSeen = 0;
    uint32_t secureTimeout = NFCAPI_SECURE_TIMEOUT;
    BOOL secureListWalk = 0;
    TNfaceIoBlock io{};
    TNfcListenParam listenParams{};   // the copy a listen request hands the NFC manager
    BOOL destroyed = 0;               // being destroyed: no request starts any more (under the lock)
    uint32_t holds = 0;               // calls that hold it (under the registry's lock)
};

// ---- The NFC manager's side ---------------------------------------------------------------
// The NFC manager attaches itself when its task starts and detaches when it ends; it takes
// registrations through the start-up's services.
struct TNfaceManagerLink {
    OsQueueName queueName;            // the NFC API queue
    uint32_t moduleWord;              // source word of the messages posted to it, application bits clear
    int (*findApp)(const void* hApp);                 // its entry index, or -1
    NfcApiStatus (*releaseApp)(void* hApp);           // queues a release
    // The caller of the application's request stopped waiting for it, before it returns: from
    // then on the manager neither starts it nor reads anything it points at.
    void (*giveUp)(void* hApp, const void* userHandle, uint16_t request);
};
void nfaceAttachManager(const TNfaceManagerLink* link);
NfcApiStatus nfaceRegister(const TNfaceRegistration* record);
NfcApiStatus nfaceRelease(void* hApp);
// Tells the NFC manager that the caller of the application's request stops waiting for it.
void nfaceGiveUp(void* hApp, const void* userHandle, uint16_t request);

// ---- The core -------------------------------------------------------------------------------
// Builds the entry table and starts the stack: 0 with the table (also when the stack already
// runs), else 4.
NfcApiStatus nfaceOpen(const char* configuration, NfcapiDownloadCallback callback, void* context,
                       NfaceEntryTable** table);
// Hands a registration to the NFC manager, or keeps it until the worker runs.
NfcApiStatus nfcapiRegister(const TNfaceRegistration* record, uint32_t size);

// True on the OS worker thread and on a thread that is delivering an upcall: a call there that
// waited for the stack would wait for itself.
bool nfcapiOnCallbackThread();

NfcApiStatus nfacePutMessage(void* hApp, const TnfcapiMsg* message);
NfcApiStatus nfcapiRelease(void* hApp, uint32_t timeoutMs);
// Calls the upcall of one application with the message, under the upcall lock.
void nfcapiDeliverUpstream(const TnfcapiMsg* message, TNfaceUpcall upcall, void* instance);
void nfaceCallback(TNfcApiInstance* instance, const TnfcapiMsg* message);
// The upcall the API core registers for every application.
void nfaceUpcall(void* instance, const void* message);

// Creates the application's semaphore and lock, registers it and waits for the activation.
NfcApiStatus nfcapiRegisterApp(TNfcApiInstance* instance);
// Posts the request with a new identity and waits for its answer for the request time-out; 5
// when the application is being destroyed.
NfcApiStatus nfcapiRequest(TnfcapiMsg* message, TNfcApiInstance* instance);
// Marks the application as being destroyed; false when another thread did so first.
bool nfcapiStartDestroy(TNfcApiInstance* instance);
// Ends a request still waited for with the status, as an answer would.
void nfcapiAbortRequest(TNfcApiInstance* instance, NfcApiStatus status);
NfcApiStatus nfcapiWaitResult(uint32_t timeoutMs, TNfcApiInstance* instance);

// Request builders.
NfcApiStatus nfcapiListen(TNfcApiInstance* instance, const TNfcListenParam* params, uint32_t mask);
// An I/O control whose input is the instance's two parameter words.
NfcApiStatus nfcapiIoControlParameters(TNfcApiInstance* instance, uint32_t code, uint16_t inputLength);
