#include "core/nfacestate.h"

#include <atomic>

namespace {

std::atomic<int> g_state{NFCAPI_STATE_IDLE};
PlatLock g_upcall;
PlatSemaphore g_release;
thread_local bool t_onWorker = false;

} // namespace

NfcapiState nfcapiState() { return static_cast<NfcapiState>(g_state.load()); }
void nfcapiSetState(NfcapiState state) { g_state = state; }

bool nfcapiOnWorkerThread() { return t_onWorker; }
void nfcapiMarkWorkerThread() { t_onWorker = true; }

PlatLock& nfcapiUpcallLock() { return g_upcall; }
PlatSemaphore& nfcapiReleaseSemaphore() { return g_release; }
