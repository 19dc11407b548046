// Exports of the library family: its version, and opening and closing it.
#include <atomic>
#include <cstdlib>

#include "api/config.h"
#include "api/nfcapi.h"
#include "api/nfcapi_request.h"
#include "core/nfaceregistry.h"
#include "p2p/nfcp2p.h"
#include "util/trace.h"

namespace {

constexpr DWORD kApiVersion = 0x20004;      // 2.4
constexpr int kApiMajor = 2, kApiMinor = 4;
// nfcInitialize calls counted without their nfcDone; a count of its own, so that it never
// reaches into other state.
constexpr uint32_t kInitCountMax = 15;

std::atomic<uint32_t> g_initCount{0};
std::atomic<bool> g_setUp{false};           // the API state is set up

// Any call takes the trace words of the string it is given, whatever else happens.
void applyTraceWords(const char* configuration) {
    if (!configuration) return;
    char value[32];
    if (cfgGetParam(configuration, "TRACES.NFC", value, sizeof value))
        debugSetFlags(static_cast<DWORD>(std::strtoul(value, nullptr, 16)));
    if (cfgGetParam(configuration, "TRACES.L1", value, sizeof value))
        debugSetL1Flags(static_cast<DWORD>(std::strtoul(value, nullptr, 16)));
}

NfcApiStatus initializeController(uint16_t index, const char* configuration) {
    if (g_initCount == 0 && !g_setUp) {
        nfcapiRegistryReset();
        g_setUp = true;
    }
    TRACE(TRC_API, "Initialize NFC controller %d", index);
    NfaceEntryTable* table = nullptr;
    const NfcApiStatus status = nfaceOpen(configuration, nullptr, nullptr, &table);
    nfcapiSetEntryTable(table);
    return status;
}

// Releases every application still open, then stops the stack.
void shutDown() {
    g_setUp = false;
    NfaceEntryTable* table = nfcapiEntryTable();
    const std::vector<NfcapiHold> open = nfcapiHoldAll();
    for (size_t i = 0; i < open.size(); ++i) {
        TNfcApiInstance* instance = open[i].get();
        // One that another thread destroys meanwhile is that thread's to release.
        if (!nfcapiStartDestroy(instance)) continue;
        TRACE(TRC_API, "release unclosed application no %d", static_cast<int>(i));
        nfcapiFreeListeners(instance);
        p2pFreeListenersFromInstance(instance);
        nfcapiReleaseApp(instance, table);
    }
    nfcapiFreeDeferred();
    if (table) {
        table->done();
        nfcapiSetEntryTable(nullptr);
    }
    if (g_initCount == 0) {
        TRACE(TRC_API, "Last client done, internal reinit");
        nfcapiRegistryReset();
        p2pDone();
    }
}

} // namespace

void nfcapiClearInitCount() { g_initCount = 0; }

const char* nfcGetVersion(DWORD* apiVersion) {
    if (apiVersion) *apiVersion = kApiVersion;
    return NFCAPI_COMPONENT_VERSION;
}

NfcApiStatus nfcInitialize(const char* configuration) {
    applyTraceWords(configuration);
    TRACE(TRC_ENTER_EXIT, "nfcInitialize() enter, app size %d, <%s> (build on %s,%s), NFC API v%d.%d",
          static_cast<int>(sizeof(TNfcApiInstance)), configuration ? configuration : "", NFCAPI_BUILD_DATE, NFCAPI_BUILD_TIME,
          kApiMajor, kApiMinor);
    NfcApiStatus status;
    if (uint32_t count = g_initCount; count != 0) {
        // The count never passes its limit: a call it cannot take is refused, not counted.
        status = count < kInitCountMax && g_initCount.compare_exchange_strong(count, count + 1)
                     ? nfcStatusAlreadyInitialized
                     : nfcStatusNoResources;
    } else {
        status = initializeController(NFCAPI_CONTROLLER, configuration);
        if (status == nfcStatusOk) g_initCount = 1;
    }
    TRACE(TRC_ENTER_EXIT, "nfcInitialize() exit, status=0x%X (initCount %d)", status,
          static_cast<int>(g_initCount.load()));
    return status;
}

NfcApiStatus nfcInitializeEx(WORD controllerCount, const char* const* configurations) {
    TRACE(TRC_API, "nfcInitializeEx(), controllerCount=%d", controllerCount);
    if (!configurations || !configurations[0]) return nfcStatusBadParameter;
    applyTraceWords(configurations[0]);
    // The library drives one controller: any other count is refused before anything starts.
    if (controllerCount != NFCAPI_CONTROLLER) {
        TRACE(TRC_ERROR, "! nfcInitializeEx(), only controller %d exists", NFCAPI_CONTROLLER);
        return nfcStatusBadParameter;
    }
    return initializeController(NFCAPI_CONTROLLER, configurations[0]);
}

NfcApiStatus nfcDone(void) {
    TRACE(TRC_ENTER_EXIT, "nfcDone() enter, init count %d", static_cast<int>(g_initCount.load()));
    if (nfcapiOnCallbackThread()) {
        // Shutting down waits for the worker thread that runs this callback.
        TRACE(TRC_ERROR, "! nfcDone() refused inside the event callback");
        return nfcStatusWrongState;
    }
    uint32_t count = g_initCount;
    while (count != 0 && !g_initCount.compare_exchange_weak(count, count - 1)) {}
    if (count <= 1) shutDown();
    return nfcapiExit("nfcDone", nfcStatusOk);
}
