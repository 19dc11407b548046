#include "util/trace.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "doublelist.h"
#include "platform.h"

namespace {

constexpr char kVersion[] = "1.0.153.0";
constexpr char kBuildDate[] = "Sep 11 2014";
constexpr char kBuildTime[] = "13:12:03";
constexpr int kTextColumn = 21;
constexpr int kDumpLine = 100;

std::atomic<uint32_t> g_nfcWord{0xFFFFFFFFu};
std::atomic<uint32_t> g_l1Word{0};
std::atomic<int> g_indent{0};
std::atomic<bool> g_lineOpen{false};
std::atomic<uint32_t> g_breaks{0};
char g_tag[16] = "undef";

// The sink and the capture pair are read and called under one lock, so that once
// debugCaptureOutputEx returns, the previous callback is neither running nor called again.
// Made on first use and never destroyed: traces may come from static constructors and
// destructors of other modules.
PlatLock& outputLock() {
    static PlatLock* lock = [] {
        auto* l = new PlatLock;
        l->create();
        return l;
    }();
    return *lock;
}
TDebugOutputFunc g_sink = nullptr;            // empty: the platform's trace sink
TDebugOutputFuncEx g_capture = nullptr;
void* g_captureContext = nullptr;

// Whether a finished line reaches anybody: a capture callback, a line sink or the platform's
// sink. Nobody listening, nothing is formatted; the trace words keep their values all the same.
// Unknown until first asked, since traces may come from static constructors before ours ran.
enum Listening : int { kUnknown, kNobody, kListened };
std::atomic<int> g_listening{kUnknown};
// The trace words while somebody listens, else 0: one load tells a caller whether to trace.
std::atomic<uint32_t> g_nfcHeard{0xFFFFFFFFu};
std::atomic<uint32_t> g_l1Heard{0};
std::atomic<uint32_t> g_formatted{0};

// Output lock held.
void updateListening() {
    const bool on = g_capture || g_sink || platTraceEnabled();
    g_nfcHeard.store(on ? g_nfcWord.load() : 0, std::memory_order_relaxed);
    g_l1Heard.store(on ? g_l1Word.load() : 0, std::memory_order_relaxed);
    g_listening.store(on ? kListened : kNobody, std::memory_order_relaxed);
}

bool listened() {
    int state = g_listening.load(std::memory_order_relaxed);
    if (state == kUnknown) {
        PlatLockGuard g(outputLock());
        updateListening();
        state = g_listening.load(std::memory_order_relaxed);
    }
    return state == kListened;
}

void emit(const char* line);

// The list library is shared with the desktop program; inside the library its lines join ours.
void listTraceToDebug(uint32_t flags, const char* text) { debugPrint(flags, "%s", text); }
const bool g_listHookInstalled = (listSetTraceHook(&listTraceToDebug), true);

void emit(const char* line) {
    PlatLockGuard g(outputLock());
    if (g_capture) g_capture(g_captureContext, line);
    else if (g_sink) g_sink(line);
    else platTraceWrite(line);
}

bool heard(const std::atomic<uint32_t>& word, uint32_t bits) {
    if (!(word.load(std::memory_order_relaxed) & bits)) return false;
    if (g_listening.load(std::memory_order_relaxed) != kUnknown) return true;
    return listened() && (word.load(std::memory_order_relaxed) & bits) != 0;
}

// Sets a trace word and what callers see of it.
DWORD setWord(std::atomic<uint32_t>& word, DWORD flags) {
    PlatLockGuard g(outputLock());
    word = flags;
    updateListening();
    return flags;
}

} // namespace

bool debugOn(uint32_t bits) { return heard(g_nfcHeard, bits); }
bool debugL1On(uint32_t bits) { return heard(g_l1Heard, bits); }
uint32_t debugFormattedLines() { return g_formatted.load(); }

DWORD debugSetFlags(DWORD flags) { return setWord(g_nfcWord, flags); }
DWORD debugGetFlags(void) { return g_nfcWord; }
DWORD debugSetL1Flags(DWORD flags) { return setWord(g_l1Word, flags); }
DWORD debugGetL1Flags(void) { return g_l1Word; }

TDebugOutputFunc debugCaptureOutput(TDebugOutputFunc sink) {
    PlatLockGuard g(outputLock());
    g_sink = sink;
    updateListening();
    return sink;
}

void* debugCaptureOutputEx(TDebugOutputFuncEx callback, void* context) {
    PlatLockGuard g(outputLock());
    g_sink = nullptr;
    g_capture = callback;
    g_captureContext = callback ? context : nullptr;
    updateListening();
    return context;
}

char* vseprintf(char* pos, char* end, const char* format, va_list args) {
    if (!pos) return pos;
    if (end < pos) {
        TRACE(TRC_ERROR, "! %s: endMsg < msg (%p < %p)", "vseprintf", static_cast<void*>(end), static_cast<void*>(pos));
        *pos = '\0';
        return pos;
    }
    size_t room = static_cast<size_t>(end - pos) + 1;
    int n = std::vsnprintf(pos, room, format, args);
    if (n < 0) {
        *pos = '\0';
        return pos;
    }
    return static_cast<size_t>(n) < room ? pos + n : end;
}

char* seprintf(char* pos, char* end, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* r = vseprintf(pos, end, format, args);
    va_end(args);
    return r;
}

void debugVPrint(uint32_t flags, const char* format, va_list args) {
    if (flags & DBG_OUTDENT) {
        int level = g_indent.load();
        while (level > 0 && !g_indent.compare_exchange_weak(level, level - 1)) {}
    }
    if (!listened()) {
        // The layout state moves on as if the line were written, so that the lines of a sink
        // installed later look as they would have.
        if (flags & DBG_INDENT) g_indent.fetch_add(1);
        g_lineOpen = (flags & DBG_OPEN) != 0;
        return;
    }
    g_formatted.fetch_add(1, std::memory_order_relaxed);
    char line[DEBUG_LINE_SIZE];
    char* const last = line + sizeof line - 1;
    char* const textEnd = last - 2;                  // keeps room for "\r\n"
    char* p = line;
    *p = '\0';

    if (!g_lineOpen.load()) {
        p = seprintf(p, textEnd, "%-8s: %9lu          ", g_tag, static_cast<unsigned long>(platTickMs()));
        char* column = line + kTextColumn + g_indent.load();
        if (column < p) p = column;
    }
    p = vseprintf(p, textEnd, format, args);
    if (flags & DBG_INDENT) g_indent.fetch_add(1);
    if (flags & DBG_OPEN) {
        g_lineOpen = true;
    } else {
        g_lineOpen = false;
        p = seprintf(p, last, "\r\n");
    }
    emit(line);
}

void debugPrint(uint32_t flags, const char* format, ...) {
    va_list args;
    va_start(args, format);
    debugVPrint(flags, format, args);
    va_end(args);
}

void debugDump(const void* buffer, const char* title, uint32_t length) {
    if (!listened()) return;
    if (!buffer) {
        debugPrint(DBG_ERROR, "! debugDump(), buffer is ZERO");
        return;
    }
    if (title) debugPrint(DBG_INFO, "%s, Dump %p, len %d", title, buffer, static_cast<int>(length));
    static const char hex[] = "0123456789ABCDEF";
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (uint32_t row = 0; row < length; row += 16) {
        char line[kDumpLine + 3];
        std::memset(line, ' ', kDumpLine);
        uint32_t n = length - row < 16 ? length - row : 16;
        for (uint32_t k = 0; k < n; ++k) {
            uint8_t b = bytes[row + k];
            line[21 + 3 * k] = hex[b >> 4];
            line[22 + 3 * k] = hex[b & 0xF];
            line[70 + k] = (b < 0x20 || b > 0x7F || b == '%' || b == '!') ? '.' : static_cast<char>(b);
        }
        line[68] = '-';
        std::memcpy(line + 70 + n, "\r\n", 3);
        g_formatted.fetch_add(1, std::memory_order_relaxed);
        emit(line);
    }
}

void debugPrintVersion(const char* tag) {
    std::snprintf(g_tag, sizeof g_tag, "%-8s", tag ? tag : "");
    debugPrint(0, "Version %s %s, build on %s,%s", kVersion, "", kBuildDate, kBuildTime);
}

const char* debugTraceTag() { return g_tag; }

void debugPrintWin32Error(const char* text, uint32_t code) {
    if (!listened()) return;
    std::string system = platErrorText(static_cast<int>(code));
    if (system.size() >= 2) debugPrint(DBG_ERROR, "! %s (0x%X - %s)", text, code, system.c_str());
    else debugPrint(DBG_ERROR, "! %s (0x%X)", text, code);
}

void debugBreak(const char* sourcePath, int line) {
    g_breaks.fetch_add(1);
    debugPrint(DBG_ERROR, "! DebuggerBreak %s , line %d", sourcePath, line);
}

uint32_t debugBreakCount() { return g_breaks.load(); }
