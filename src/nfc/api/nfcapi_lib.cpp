// Exports of the library family: its version, and opening and closing it.
#include <atomic>

#include "api/nfcapi.h"
#include "util/trace.h"

namespace {

constexpr char kVersionText[] = "16.1.153.0";
constexpr DWORD kApiVersion = 0x20004;     // 2.4

std::atomic<uint32_t> g_initCount{0};

} // namespace

void nfcapiClearInitCount() { g_initCount = 0; }

const char* nfcGetVersion(DWORD* apiVersion) {
    if (apiVersion) *apiVersion = kApiVersion;
    return kVersionText;
}
