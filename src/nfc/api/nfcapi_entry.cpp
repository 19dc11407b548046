#include <cstring>
#include <string>

#include "api/nfcapi_init.h"
#include "platform.h"
#include "util/trace.h"

namespace {

void* g_base = nullptr;     // where the library is loaded; its folder serves the miniport loader

// Load and unload of the library.
__attribute__((constructor)) void nfcapiAttach() {
    const std::string path = platLibraryPath(&g_base);
    debugPrintVersion(nfcapiTraceTag(path.c_str()));
    TRACE(TRC_STARTUP, "DLL_PROCESS_ATTACH hInstance %p", g_base);
}

__attribute__((destructor)) void nfcapiDetach() { TRACE(TRC_STARTUP, "DLL_PROCESS_DETACH, hInstance %p", g_base); }

} // namespace

const char* nfcapiTraceTag(const char* libraryPath) {
    const char* slash = libraryPath ? std::strrchr(libraryPath, '/') : nullptr;
    const char* name = slash ? slash + 1 : libraryPath;
    return name && std::strstr(name, "Corvane") ? "corvaneIf" : "corvane2";
}
