#include "api/nfcapi_init.h"

#include <atomic>
#include <cstdlib>

#include "api/config.h"
#include "api/nfcapi_modules.h"
#include "mm/mm.h"
#include "os/os.h"
#include "os/os_mem.h"
#include "os/os_thread.h"
#include "util/dlqueue.h"
#include "util/trace.h"

namespace {

constexpr NfcApiStatus kOk = nfcStatusOk;
constexpr NfcApiStatus kFailed = nfcStatusStartFailed;
constexpr NfcApiStatus kBadString = 5;           // the configuration string has errors
constexpr NfcApiStatus kWrongState = nfcStatusWrongState;
constexpr NfcApiStatus kRunning = 12;            // already initialised or starting

constexpr uint32_t kGlobalPoolName = 0xF1;
constexpr uint16_t kGlobalPoolLength = 128;
constexpr uint16_t kGlobalPoolCount = 2;
constexpr uint32_t kWakeMaximum = 64;
constexpr uint32_t kStartWaitMs = 1000;
constexpr char kWorkerName[] = "OS worker thread";
constexpr uint16_t kDeactivateRequest = 0xA201;
constexpr uint32_t kBuild = 153;

#if defined(__x86_64__)
constexpr char kPlatform[] = "Linux x86_64";
#elif defined(__aarch64__)
constexpr char kPlatform[] = "Linux aarch64";
#else
constexpr char kPlatform[] = "Linux";
#endif

constexpr const char* kSupportedChips[] = {
    "NXP PN53x",         "NXP PN544",         "STM ST21NFCA",    "STM ST21NFCB",
    "STM NCI-ST",        "Broadcom NCI-BCM",  "HCI-Generic",     "NCI-Generic",
    "Texas NCI-TRF7970", "Toshiba NCI-T6NE2", "NXP NCI-PN547",   "NXP NCI-PN548",
    "NXP NCI-NCF3340",   "AMS NCI-AS3911",
};

struct RegistrationNode {
    slQueueNode link;
    NfcapiRegistration registration;
};

// Library-wide state; everything in it is back to its initial value once the stack stops.
struct Core {
    std::atomic<int> state{NFCAPI_STATE_IDLE};
    CfgNormalised config;
    bool osStarted = false;
    void* downloadCom = nullptr;        // the com instance of download mode
    void* comInstance = nullptr;        // the com module's instance
    slQueue registrations{};
    PlatSemaphore start, stop, release, wake;
    PlatLock upcall, registration;
    OsThread* worker = nullptr;
};

Core g;
thread_local bool t_onWorker = false;

void traceBanner() {
    TRACE(TRC_STARTUP, "Version %s (%s), build %u, %s, %s %s", NFCAPI_PRODUCT_VERSION, NFCAPI_COMPONENT_VERSION, kBuild,
          kPlatform, NFCAPI_BUILD_DATE, NFCAPI_BUILD_TIME);
    TRACE(TRC_STARTUP, "supported chips:");
    for (const char* chip : kSupportedChips) TRACE(TRC_STARTUP, " %s", chip);
}

void dropRegistrations() {
    PlatLockGuard guard(g.registration);
    while (slQueueNode* node = slQueueRemoveHead(&g.registrations)) osMemoryRelease(node);
}

void deliver(const NfcapiRegistration& registration) {
    const NfcapiServices& services = nfcapiServices();
    if (services.registerApplication) {
        services.registerApplication(registration);
        return;
    }
    TRACE(TRC_ERROR, "! no NFC manager in this build, registration of %p dropped", registration.instance);
}

// The scheduler hook: a post that finds the dispatcher idle wakes the worker.
void osWorkerSignal(void*) { g.wake.release(); }

void brisgardOSRunNotification() {
    uint16_t queued = 0;
    {
        PlatLockGuard guard(g.registration);
        queued = g.registrations.count;
    }
    TRACE(TRC_STARTUP, "### brisgardOSRunNotification enter, queued registerApp messages %d", static_cast<int>(queued));
    g.start.release();
    {
        PlatLockGuard guard(g.registration);
        g.state = NFCAPI_STATE_RUNNING;
        while (slQueueNode* node = slQueueRemoveHead(&g.registrations)) {
            deliver(slQueueOwner<RegistrationNode>(node)->registration);
            osMemoryRelease(node);
        }
    }
    TRACE(TRC_STARTUP, "### brisgardOSRunNotification exit");
}

void osWorkerThread(void*) {
    t_onWorker = true;
    TRACE(TRC_STARTUP, "Enter OS worker thread, signal semaphore is %p", static_cast<void*>(&g.wake));
    osProcessPending();
    brisgardOSRunNotification();
    for (;;) {
        const PlatWait woken = g.wake.wait(PLAT_INFINITE);
        // A stop semaphore that is signalled or gone ends the thread.
        if (g.stop.wait(0) != PlatWait::Timeout) {
            TRACE(TRC_STARTUP, "Break worker thread signaled");
            break;
        }
        if (woken == PlatWait::Failed) break;
        if (woken != PlatWait::Signaled) continue;
        osProcessPending();
    }
    TRACE(TRC_STARTUP, "Exit OS worker thread");
}

// Ends: the worker looks at the stop semaphore after every wake-up, and one wake-up is released
// here after it.
void stopWorker() {
    OsThread* worker = g.worker;
    if (!worker) return;
    TRACE(TRC_STARTUP, "terminate OS Thread");
    osSetSchedulerHook(nullptr, nullptr);
    g.stop.release();
    g.wake.release();
    if (platThreadJoin(worker->handle, PLAT_INFINITE) != PlatWait::Signaled)
        TRACE(TRC_ERROR, "! WaitForSingleObject returned error-code %d ('%s', %d)", platLastError(), worker->name,
              static_cast<int>(worker->id));
    g.worker = nullptr;
    delete worker;
}

// Stops what brisgardInit built; the locks of the API stay.
void stopRuntime() {
    stopWorker();
    g.wake.destroy();
    const NfcapiComLayer& com = nfcapiServices().com;
    if (g.comInstance && com.shutdown) com.shutdown(g.comInstance);
    g.comInstance = nullptr;
    if (g.osStarted) osDone();
    g.osStarted = false;
}

// Everything back to the state before nfcapiInitialize.
void stopStack() {
    stopRuntime();
    g.start.destroy();
    g.stop.destroy();
    dropRegistrations();
    g.upcall.destroy();
    g.registration.destroy();
    g.release.destroy();
    if (g.downloadCom) {
        const NfcapiComLayer& com = nfcapiServices().com;
        if (com.shutdown) com.shutdown(g.downloadCom);
        osMemoryRelease(g.downloadCom);
        g.downloadCom = nullptr;
    }
    g.config = CfgNormalised{};
    // No timer of the stack is left: its thread goes with the rest, and the next start makes it anew.
    platTimerStopThread();
    g.state = NFCAPI_STATE_IDLE;
}

void postDeactivation() {
    uint16_t manager = 0;
    if (!g.osStarted || osQueueFindByName(NFCAPI_MANAGER_QUEUE_NAME, &manager) != OS_OK) return;
    OsMessage message{};
    message.command = kDeactivateRequest;
    message.source = NFCAPI_MANAGER_QUEUE_NAME & ~MM_WORD_INSTANCE_BITS;
    osMessageSend(manager, &message);
}

NfcApiStatus startDownload(NfcapiDownloadCallback callback, void* context) {
    TRACE(TRC_STARTUP, "Download mode detected");
    const NfcapiComLayer& com = nfcapiServices().com;
    if (!com.init) {
        TRACE(TRC_ERROR, "! the com layer is not part of this build, no download mode");
        return kFailed;
    }
    if (osMemoryAllocate(com.instanceSize, &g.downloadCom) != OS_OK) return kFailed;
    const auto queueName = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context)) & ~0xFFu;
    if (com.init(g.config.text, g.downloadCom, queueName) != 0) {
        TRACE(TRC_ERROR, "! comInit failed in download mode");
        return kFailed;
    }
    TNfcDownloadRecord record{};
    record.size = sizeof record;
    if (const TComLowerInterface* lower = com.lowerInterface ? com.lowerInterface(g.downloadCom) : nullptr) {
        record.transport = *lower;
        record.transport.response = nullptr;
    }
    if (callback) callback(context, NFCAPI_DOWNLOAD_READY, &record);
    return kOk;
}

NfcApiStatus initialise(const char* configuration, NfcapiDownloadCallback callback, void* context) {
    // Download mode leaves the state at 0 but holds the com layer: it counts as started too.
    if (g.state != NFCAPI_STATE_IDLE || g.downloadCom) {
        TRACE(TRC_STARTUP, "! system already initialized or initialize pending");
        return kRunning;
    }
    // Registrations left over from a start that failed; never those of a start under way.
    dropRegistrations();

    CfgNormalised config;
    switch (cfgNormalise(configuration, &config)) {
    case CfgResult::Ok: break;
    case CfgResult::ParseError: return kBadString;
    default: return kFailed;
    }
    g.config = config;
    if (config.download) {
        const NfcApiStatus result = startDownload(callback, context);
        if (result != kOk) stopStack();
        return result;
    }
    g.start.create(0, 2);
    g.stop.create(0, 1);
    g.release.create(0, 1);
    g.upcall.create();
    g.registration.create();
    g.state = NFCAPI_STATE_STARTING;
    if (!brisgardInit()) {
        stopStack();
        return kFailed;
    }
    return kOk;
}

// An application that ends, or unloads the library, without nfcDone: the stack stops before
// the objects its threads wait on are destroyed, instead of the end waiting for them forever.
void stopAtExit() {
    if (!g.worker || nfcapiOnWorkerThread()) return;
    TRACE(TRC_STARTUP, "! the stack still runs at the end of the process, stopping it");
    stopStack();
}

} // namespace

NfcApiStatus nfcapiInitialize(const char* configuration, NfcapiDownloadCallback callback, void* context) {
    char traces[32];
    if (configuration && cfgGetParam(configuration, "TRACES.NFC", traces, sizeof traces))
        debugSetFlags(static_cast<DWORD>(std::strtoul(traces, nullptr, 16)));
    TRACE(TRC_STARTUP, "# nfcapiInitialize() <%s> enter", configuration ? configuration : "");
    traceBanner();
    const NfcApiStatus result = initialise(configuration, callback, context);
    TRACE(TRC_STARTUP, "# nfcapiInitialize() exit 0x%X", result);
    return result;
}

int brisgardInit() {
    TRACE(TRC_STARTUP, "brisgardInit() enter, reader type=0x%X", static_cast<unsigned>(g.config.readerType));
    osStopwatchInit();
    osInit();
    g.osStarted = true;
    uint16_t pool = 0;
    if (osPoolCreate(kGlobalPoolName, kGlobalPoolLength, kGlobalPoolCount, &pool) != OS_OK) {
        TRACE(TRC_ERROR, "! error creating global pool");
        stopRuntime();
        return 0;
    }
    TRACE(TRC_STARTUP, "global pool created, ID 0x%X", static_cast<unsigned>(pool));
    g.wake.create(0, kWakeMaximum);
    osSetSchedulerHook(&osWorkerSignal, nullptr);

    mmInit();
    bool registered = true;
    const NfcapiServices& services = nfcapiServices();
    for (size_t i = 0; i < services.moduleCount; ++i) {
        const NfcapiModule& module = services.modules[i];
        if (module.registerModule(g.config.readerType) == OS_OK) continue;
        TRACE(TRC_ERROR, "! the %s could not register", module.name);
        registered = false;
    }
    // The module manager starts the registered modules here, on the caller's thread.
    osProcessPending();
    if (!registered || mmFailedRegistrations() != 0) {
        TRACE(TRC_ERROR, "! %u module(s) did not start, stack stopped", static_cast<unsigned>(mmFailedRegistrations()));
        stopRuntime();
        return 0;
    }

    OsThread* worker = osThreadCreate(&osWorkerThread, &g, kWorkerName);
    TRACE(TRC_STARTUP, "OS worker thread created, handle=%p, hSignal=%p", static_cast<void*>(worker),
          static_cast<void*>(&g.wake));
    if (!worker) {
        TRACE(TRC_ERROR, "! the OS worker thread could not be created");
        stopRuntime();
        return 0;
    }
    g.worker = worker;
    // Registered once the stack's objects exist, so it runs before they are destroyed.
    static const bool stopsAtExit = std::atexit(&stopAtExit) == 0;
    if (!stopsAtExit) TRACE(TRC_ERROR, "! the stack cannot be stopped at the end of the process");
    if (g.start.wait(kStartWaitMs) == PlatWait::Timeout) TRACE(TRC_ERROR, "! time out waiting start OS thread");
    TRACE(TRC_STARTUP, "brisgardInit() exit");
    return 1;
}

NfcApiStatus nfcapiDone() {
    TRACE(TRC_STARTUP, "nfcapiDone() enter");
    if (nfcapiOnWorkerThread()) {
        TRACE(TRC_ERROR, "! nfcapiDone() on the OS worker thread, which it would wait for");
        return kWrongState;
    }
    {
        PlatLockGuard guard(g.upcall);
        postDeactivation();
    }
    stopStack();
    TRACE(TRC_STARTUP, "nfcapiDone() exit");
    return kOk;
}

NfcapiState nfcapiState() { return static_cast<NfcapiState>(g.state.load()); }
const char* nfcapiConfiguration() { return g.config.text; }
uint16_t nfcapiReaderType() { return g.config.readerType; }

bool nfcapiOnWorkerThread() { return t_onWorker; }

PlatLock& nfcapiRegistrationLock() { return g.registration; }
PlatLock& nfcapiUpcallLock() { return g.upcall; }
PlatSemaphore& nfcapiReleaseSemaphore() { return g.release; }

NfcApiStatus nfcapiQueueRegistration(const NfcapiRegistration& registration) {
    void* memory = nullptr;
    if (osMemoryAllocate(sizeof(RegistrationNode), &memory) != OS_OK) return kFailed;
    auto* node = static_cast<RegistrationNode*>(memory);
    node->registration = registration;
    PlatLockGuard guard(g.registration);
    slQueueAddTail(&g.registrations, &node->link);
    return kOk;
}

int32_t comLayerInit(void* instance, uint32_t moduleWord) {
    g.comInstance = instance;
    const NfcapiComLayer& com = nfcapiServices().com;
    const int32_t result = com.init ? com.init(g.config.text, instance, moduleWord) : -1;
    if (result != 0) TRACE(TRC_ERROR, "! comLayerInit failed");
    return result;
}
