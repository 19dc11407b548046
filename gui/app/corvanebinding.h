// Lumaro never links libCorvane.so: each NFC start loads it from the program's folder and binds
// the listed exports by name into one process-wide table.
#pragma once

#include <cstdint>

#include "corvane.h"
#include "corvane_exports.h"

#define CORVANE_BINDING_SLOT(name) decltype(&::name) name;
struct TCorvaneSymbolTable {
    CORVANE_BOUND_EXPORTS(CORVANE_BINDING_SLOT)
    void* module;   // the loaded library, null while none is
};
#undef CORVANE_BINDING_SLOT

extern TCorvaneSymbolTable corvaneSymbolTable;

inline constexpr char kCorvaneLibraryFile[] = "libCorvane.so";

// Results of the loaders.
enum CorvaneLoadResult : uint32_t {
    corvaneLoadBound = 0,         // every export bound
    corvaneLoadIncomplete = 1,    // loaded, at least one export missing (its slot stays null)
    corvaneLoadFailed = 2,        // the file could not be loaded; the table is untouched
};

uint32_t corvaneLoadLibrary();
// Loads fileName from the program's folder and binds the table.
uint32_t loadDynamicLibrary(const char* fileName);
// Unloads the library when one is loaded and empties every slot; safe to call at any time.
void corvaneFreeLibrary();
