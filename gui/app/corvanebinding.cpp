#include "corvanebinding.h"

#include <string>

#include "debugout.h"
#include "platform.h"

TCorvaneSymbolTable corvaneSymbolTable{};

namespace {

constexpr uint32_t kTraceFlag = 0x1;

// Binds one slot; a missing export leaves it null, is traced and counted.
template <typename Slot>
void bind(void* module, Slot& slot, const char* name, unsigned& missing) {
    slot = reinterpret_cast<Slot>(platLibrarySymbol(module, name));
    if (slot) return;
    debugOut(kTraceFlag, "! unable to import dynamic symbol '%s'", name);
    ++missing;
}

} // namespace

uint32_t loadDynamicLibrary(const char* fileName) {
    if (corvaneSymbolTable.module) corvaneFreeLibrary();
    const std::string path = platExecutableFolder() + (fileName ? fileName : "");
    std::string error;
    void* module = platLibraryOpen(path, &error);
    if (!module) {
        debugOut(kTraceFlag, "! cannot load <%s>, error %s", path.c_str(), error.c_str());
        return corvaneLoadFailed;
    }
    corvaneSymbolTable.module = module;
    unsigned missing = 0;
#define CORVANE_BINDING_BIND(name) bind(module, corvaneSymbolTable.name, #name, missing);
    CORVANE_BOUND_EXPORTS(CORVANE_BINDING_BIND)
#undef CORVANE_BINDING_BIND
    return missing ? corvaneLoadIncomplete : corvaneLoadBound;
}

uint32_t corvaneLoadLibrary() { return loadDynamicLibrary(kCorvaneLibraryFile); }

void corvaneFreeLibrary() {
    debugOut(kTraceFlag, "corvaneFreeLibrary");
    if (corvaneSymbolTable.module) platLibraryClose(corvaneSymbolTable.module);
    corvaneSymbolTable = TCorvaneSymbolTable{};
}
