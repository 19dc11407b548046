// The one trace formatter of the library, the two trace words and the internal-failure report.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "corvane.h"

// Layout flags of debugPrint.
enum : uint32_t {
    DBG_INFO = 0x01000000u,        // category only
    DBG_ERROR = 0x08000000u,       // category only
    DBG_OPEN = 0x10000000u,        // leave the line open: the next call continues it
    DBG_OUTDENT = 0x20000000u,     // one level less before this line
    DBG_INDENT = 0x40000000u,      // one level more after this line
};

// Bits of the NFC trace word used by the stack core.
enum : uint32_t {
    TRC_STARTUP = 0x1,
    TRC_API = 0x2,
    TRC_ERROR = 0x4,
    TRC_MEMORY = 0x8,
    TRC_CONFIG = 0x20,
    TRC_NFACE = 0x80,
    TRC_ENTER_EXIT = 0x100,
    TRC_NFCMAN = 0x800,
    TRC_DUMP_TX = 0x1000,
    TRC_DUMP_RX = 0x2000,
};

constexpr int DEBUG_LINE_SIZE = 512;

// True when any of the bits is set in the word and a finished line reaches a capture callback,
// a line sink or the platform's sink; with nobody listening no trace is formatted.
bool debugOn(uint32_t nfcBits);       // the NFC word
bool debugL1On(uint32_t l1Bits);      // the layer-1 word
// Lines and dump rows formatted so far.
uint32_t debugFormattedLines();

void debugPrint(uint32_t flags, const char* format, ...) __attribute__((format(printf, 2, 3)));
void debugVPrint(uint32_t flags, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
void debugDump(const void* buffer, const char* title, uint32_t length);
// Sets the trace tag (formatted "%-8s", at most 15 characters) and writes the version line.
void debugPrintVersion(const char* tag);
const char* debugTraceTag();
void debugPrintWin32Error(const char* text, uint32_t code);

// Bounded formatting into [pos, end]: room for end - pos + 1 bytes including the terminator.
// Returns the position of the terminator, never beyond end, so calls chain safely.
char* vseprintf(char* pos, char* end, const char* format, va_list args) __attribute__((format(printf, 3, 0)));
char* seprintf(char* pos, char* end, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Internal consistency failure: traces "! DebuggerBreak %s , line %d" and goes on.
void debugBreak(const char* sourcePath, int line);
uint32_t debugBreakCount();
#define DEBUG_BREAK(sourcePath) debugBreak((sourcePath), __LINE__)

// Traces when any of the bits is set in the NFC word.
#define TRACE(bits, ...)                                    \
    do {                                                    \
        if (debugOn(bits)) debugPrint(0, __VA_ARGS__);      \
    } while (0)
#define TRACE_L1(bits, ...)                                 \
    do {                                                    \
        if (debugL1On(bits)) debugPrint(0, __VA_ARGS__);    \
    } while (0)
