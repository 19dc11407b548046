// Lumaro's own trace lines: tick count, module name, indented text. A sink takes them, or else
// they go where the library's traces go (CORVANE_TRACE, discarded by default).
#pragma once

#include <cstdint>

// Flag bits of debugOut's first argument; the others (0x1 traces, 0x1000000 the banner) only
// travel along.
constexpr uint32_t kDebugOpenLine = 0x10000000;     // no line end; the next call writes no prefix
constexpr uint32_t kDebugIndentLess = 0x20000000;   // one level less, before this line
constexpr uint32_t kDebugIndentMore = 0x40000000;   // one level more, after this line
constexpr uint32_t kDebugBanner = 0x01000000;

// Takes one finished line; answers non-zero when it was written.
using TDebugSink = int (*)(void* context, const char* line);

// Returns the sink's result, 0 when the line could not be written.
int debugOut(uint32_t flags, const char* format, ...) __attribute__((format(printf, 2, 3)));
void debugSetSink(TDebugSink sink, void* context);

// Loads the optional crash helper, writes the banner and keeps the flags (bit 31 cleared).
void debugInit(const char* moduleName, uint32_t flags);
void debugPrintBanner(const char* moduleName);
