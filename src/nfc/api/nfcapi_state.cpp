#include <atomic>

#include "core/nfaceapi.h"

namespace {
std::atomic<int> g_state{0};
}

int nfcapiState() { return g_state.load(); }
void nfcapiSetState(int state) { g_state = state; }
