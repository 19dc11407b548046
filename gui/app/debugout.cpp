#include "debugout.h"

#include <QString>
#include <QSysInfo>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform.h"

namespace {

constexpr size_t kLineSize = 512;
constexpr char kCrashHelperFile[] = "libtracelet.so";   // optional, beside the program
constexpr int kPrefixBlanks = 19;       // after "name: tick ", room for the indent
constexpr int kColumnBase = 11;
constexpr uint32_t kFlagsKept = 0x7FFFFFFF;

using TCrashHandler = long (*)(void* exceptionInformation);

long defaultCrashHandler(void*) { return 0; }

struct DebugState {
    std::mutex lock;
    char moduleName[32] = "undef";
    int nameWidth = 0;
    int indent = 0;
    bool lineOpen = false;
    TDebugSink sink = nullptr;
    void* sinkContext = nullptr;
    uint32_t flags = 0;
    void* crashHelper = nullptr;
    TCrashHandler crashHandler = defaultCrashHandler;
};

DebugState& state() {
    static DebugState instance;
    return instance;
}

void releaseCrashHelper() {
    DebugState& s = state();
    if (s.crashHelper) platLibraryClose(s.crashHelper);
    s.crashHelper = nullptr;
    s.crashHandler = defaultCrashHandler;
}

// Writes the prefix into line and answers the column where the text starts.
size_t writePrefix(const DebugState& s, char* line) {
    const int written = snprintf(line, kLineSize, "%-8s: %9u %*s", s.moduleName, platTickMs(), kPrefixBlanks, "");
    const size_t prefixLength = std::min<size_t>(written < 0 ? 0 : static_cast<size_t>(written), kLineSize - 2);
    return std::min<size_t>(static_cast<size_t>(s.nameWidth + s.indent + kColumnBase), prefixLength);
}

// Without a sink a line goes where the library's traces go: nowhere unless CORVANE_TRACE asks.
int writeLine(const DebugState& s, const char* line) {
    if (s.sink) return s.sink(s.sinkContext, line);
    platTraceWrite(line);
    return 1;
}

} // namespace

int debugOut(uint32_t flags, const char* format, ...) {
    DebugState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    char line[kLineSize];
    if (flags & kDebugIndentLess) s.indent = std::max(s.indent - 1, 0);
    const size_t column = s.lineOpen ? 0 : writePrefix(s, line);
    // One byte stays free for the line end.
    va_list arguments;
    va_start(arguments, format);
    const int formatted = vsnprintf(line + column, kLineSize - 1 - column, format ? format : "", arguments);
    va_end(arguments);
    if (formatted < 0) line[column] = 0;
    if (flags & kDebugIndentMore) ++s.indent;
    s.lineOpen = (flags & kDebugOpenLine) != 0;
    if (!s.lineOpen) strcat(line, "\n");
    return writeLine(s, line);
}

void debugSetSink(TDebugSink sink, void* context) {
    DebugState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.sink = sink;
    s.sinkContext = context;
}

void debugPrintBanner(const char* moduleName) {
    {
        DebugState& s = state();
        std::lock_guard<std::mutex> guard(s.lock);
        snprintf(s.moduleName, sizeof s.moduleName, "%s", moduleName ? moduleName : "undef");
        s.nameWidth = 10;
    }
    const QByteArray platform = "Linux " + QSysInfo::buildCpuArchitecture().toLatin1();
    const QByteArray kernel = QSysInfo::kernelVersion().toLatin1();
    debugOut(kDebugBanner, "%s build %s , version %s (%s,%s)", platform.constData(), kernel.constData(),
             LUMARO_VERSION, __DATE__, __TIME__);
}

void debugInit(const char* moduleName, uint32_t flags) {
    DebugState& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.crashHelper) {
            s.crashHelper = platLibraryOpen(platExecutableFolder() + kCrashHelperFile);
            void* entry = platLibrarySymbol(s.crashHelper, "traceletCrashHandler");
            s.crashHandler = entry ? reinterpret_cast<TCrashHandler>(entry) : defaultCrashHandler;
            static const bool registered = std::atexit(releaseCrashHelper) == 0;
            (void)registered;
        }
    }
    debugPrintBanner(moduleName);
    std::lock_guard<std::mutex> guard(s.lock);
    s.flags = flags & kFlagsKept;
}
