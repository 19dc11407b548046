#include "transport/spbproxy.h"

#include <mutex>
#include <string>

#include "platform.h"
#include "transport/spbproxy_api.h"
#include "util/trace.h"

void* spbProxyLibrary() {
    static std::once_flag once;
    static void* library = nullptr;
    std::call_once(once, [] {
        std::string error;
        const std::string path = platLibraryFolder() + SPBPROXY_LIBRARY;
        debugPrint(0, "%s load %s", "mpLoadProxy", path.c_str());
        library = platLibraryOpen(path, &error);
        if (!library) debugPrint(DBG_ERROR, "Cannot load spbProxy.dll: %s", error.c_str());
    });
    return library;
}

void* spbProxySymbol(const char* name) {
    void* library = spbProxyLibrary();
    void* symbol = library ? platLibrarySymbol(library, name) : nullptr;
    if (library && !symbol) debugPrint(DBG_ERROR, "! spbProxy.dll misses %s", name);
    return symbol;
}
