#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "manual_clock.h"
#include "trace_capture.h"
#include "util/apinames.h"
#include "util/trace.h"

namespace {

struct TraceTest : ::testing::Test {
    void SetUp() override {
        debugSetFlags(0xFFFFFFFFu);
        debugPrintVersion("corvane2");
        cap.clear();
    }
    ManualClock clock{1234};
    TraceCapture cap;
};

// One of every kind of trace output: plain lines, the layout flags, both trace words, a dump,
// a system error and an internal failure.
void traceEveryKind() {
    const uint8_t data[20] = {0x41, 0x25, 0x05, 0x7F, 0x80};
    debugPrint(DBG_INDENT, "outer %d", 1);
    TRACE(TRC_ERROR, "nested %s", "error");
    TRACE_L1(0x80000000u, "layer one %u", 7u);
    debugPrint(DBG_OPEN, "open ");
    debugPrint(DBG_OUTDENT, "closed");
    debugDump(data, "TX", sizeof data);
    debugPrintWin32Error("failing call", 2);
    DEBUG_BREAK("..\\..\\src\\nfc\\os\\os");
}

constexpr char kChildSink[] = "CORVANE_TRACE_TEST_CHILD";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l;
    return all;
}

// The same program again, running only the named test with CORVANE_TRACE naming the file.
int runChildTracingTo(const std::string& test, const std::string& file) {
    std::string filter = "--gtest_filter=" + test;
    std::string sink = "CORVANE_TRACE=" + file;
    std::string child = std::string(kChildSink) + "=1";
    char self[] = "/proc/self/exe";
    char* argv[] = {self, filter.data(), nullptr};
    char* envp[] = {sink.data(), child.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, self, nullptr, nullptr, argv, envp) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

} // namespace

TEST(TraceGating, NobodyListeningNothingIsFormattedAndTheWordsKeepTheirValues) {
    if (const char* sink = std::getenv("CORVANE_TRACE"); sink && *sink) GTEST_SKIP() << "a trace sink is configured";
    debugCaptureOutputEx(nullptr, nullptr);
    debugSetFlags(0xFFFFFFFFu);
    debugSetL1Flags(0xFFFFFFFFu);
    const uint32_t formatted = debugFormattedLines();
    const uint32_t breaks = debugBreakCount();
    traceEveryKind();
    EXPECT_EQ(debugFormattedLines(), formatted);
    EXPECT_EQ(debugBreakCount(), breaks + 1);   // still counted
    EXPECT_FALSE(debugOn(TRC_ERROR));
    EXPECT_FALSE(debugL1On(0x80000000u));
    EXPECT_EQ(debugGetFlags(), 0xFFFFFFFFu);
    EXPECT_EQ(debugGetL1Flags(), 0xFFFFFFFFu);
    {
        TraceCapture cap;
        EXPECT_TRUE(debugOn(TRC_ERROR));
        TRACE(TRC_ERROR, "heard");
        EXPECT_EQ(debugFormattedLines(), formatted + 1);
        EXPECT_TRUE(cap.contains("heard"));
    }
    EXPECT_FALSE(debugOn(TRC_ERROR));
    debugSetL1Flags(0);
}

TEST(TraceGating, ALaterCaptureSeesTheLinesItWouldHaveSeenAllAlong) {
    if (const char* sink = std::getenv("CORVANE_TRACE"); sink && *sink) GTEST_SKIP() << "a trace sink is configured";
    ManualClock clock{4321};
    debugSetFlags(0xFFFFFFFFu);
    debugSetL1Flags(0xFFFFFFFFu);
    debugPrintVersion("corvane2");
    auto run = [](bool listenFirst) {
        TraceCapture early;
        if (!listenFirst) debugCaptureOutputEx(nullptr, nullptr);
        debugPrint(DBG_INDENT, "level");
        debugPrint(DBG_INDENT, "level");
        debugPrint(DBG_OPEN, "left open ");
        TraceCapture later;
        traceEveryKind();
        debugPrint(DBG_OUTDENT, "back");
        debugPrint(DBG_OUTDENT, "back");
        return later.lines();
    };
    const auto heard = run(true);
    EXPECT_EQ(run(false), heard);
    ASSERT_GE(heard.size(), 2u);
    EXPECT_EQ(heard[0], "outer 1\r\n");   // continues the line left open
    EXPECT_EQ(heard[1], "corvane2:      4321     nested error\r\n");   // three levels in
    debugSetL1Flags(0);
}

// Runs only inside the child of the test below, whose trace file it writes.
TEST(TraceGating, ChildWritesEveryKindToItsSink) {
    if (!std::getenv(kChildSink)) GTEST_SKIP() << "runs as the child of TraceFileGetsEveryLine";
    ManualClock clock{4321};
    debugSetL1Flags(0xFFFFFFFFu);
    debugPrintVersion("corvane2");
    traceEveryKind();
}

TEST(TraceGating, TraceFileGetsEveryLineACaptureGets) {
    char path[] = "/tmp/corvane-trace-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(runChildTracingTo("TraceGating.ChildWritesEveryKindToItsSink", path), 0);
    const std::string written = readFile(path);
    unlink(path);

    ManualClock clock{4321};
    debugSetFlags(0xFFFFFFFFu);
    debugSetL1Flags(0xFFFFFFFFu);
    TraceCapture cap;
    debugPrintVersion("corvane2");
    traceEveryKind();
    debugSetL1Flags(0);
    const std::string captured = joined(cap.lines());
    EXPECT_NE(captured.find("nested error"), std::string::npos);
    // The child starts at load: its dump title prints another address.
    auto withoutAddresses = [](std::string text) {
        for (size_t at = text.find("Dump 0x"); at != std::string::npos; at = text.find("Dump 0x", at + 1))
            text.erase(at + 5, text.find(',', at) - at - 5);
        return text;
    };
    EXPECT_EQ(withoutAddresses(written), withoutAddresses(captured));
}

TEST_F(TraceTest, LineHasTagTickPrefixAndCrLf) {
    debugPrint(0, "hello %d", 7);
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "corvane2:      1234  hello 7\r\n");
}

TEST_F(TraceTest, OpenLineContinuesWithoutSecondPrefix) {
    debugPrint(DBG_OPEN, "first ");
    debugPrint(0, "second");
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find("\r\n"), std::string::npos);
    EXPECT_EQ(lines[1], "second\r\n");
}

TEST_F(TraceTest, IndentationShowsAtMostEightLevelsAndNeverGoesNegative) {
    for (int i = 0; i < 12; ++i) debugPrint(DBG_INDENT, "x");
    cap.clear();
    debugPrint(0, "deep");
    EXPECT_EQ(cap.lines()[0], "corvane2:      1234          deep\r\n");
    for (int i = 0; i < 20; ++i) debugPrint(DBG_OUTDENT, "y");
    cap.clear();
    debugPrint(0, "flat");
    EXPECT_EQ(cap.lines()[0], "corvane2:      1234  flat\r\n");
}

TEST_F(TraceTest, LongMessageIsCutToTheLine) {
    std::string big(2000, 'a');
    debugPrint(0, "%s", big.c_str());
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 511u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 2), "\r\n");
}

TEST_F(TraceTest, ChainedOpenLinesNeverOverflow) {
    std::string big(600, 'b');
    for (int i = 0; i < 3; ++i) debugPrint(DBG_OPEN, "%s", big.c_str());
    debugPrint(0, "%s", big.c_str());
    for (const auto& l : cap.lines()) EXPECT_LE(l.size(), 511u);
}

TEST_F(TraceTest, FlagGatingAndCaptureRemoval) {
    debugSetFlags(0x4);
    TRACE(TRC_MEMORY, "hidden");
    TRACE(TRC_ERROR, "shown");
    EXPECT_FALSE(cap.contains("hidden"));
    EXPECT_TRUE(cap.contains("shown"));
    EXPECT_EQ(debugGetFlags(), 0x4u);
    EXPECT_EQ(debugSetL1Flags(0x55), 0x55u);
    EXPECT_EQ(debugGetL1Flags(), 0x55u);
    debugSetL1Flags(0);
}

TEST_F(TraceTest, LineSinkReceivesLinesUntilCaptureReplacesIt) {
    static std::string sunk;
    debugCaptureOutputEx(nullptr, nullptr);
    debugCaptureOutput([](const char* l) { sunk += l; });
    debugPrint(0, "to sink");
    EXPECT_NE(sunk.find("to sink"), std::string::npos);
    void* ctx = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(debugCaptureOutputEx(nullptr, ctx), ctx);   // resets the sink
    sunk.clear();
    debugPrint(0, "nowhere");
    EXPECT_TRUE(sunk.empty());
}

TEST_F(TraceTest, DumpRowsHaveFixedColumns) {
    uint8_t data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<uint8_t>(0x21 + i);   // '!' first
    data[1] = '%';
    data[2] = 0x05;
    debugDump(data, "RX", sizeof data);
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("RX, Dump "), std::string::npos);
    EXPECT_NE(lines[0].find(", len 20"), std::string::npos);
    const std::string& row = lines[1];
    EXPECT_EQ(row.substr(21, 2), "21");
    EXPECT_EQ(row[68], '-');
    EXPECT_EQ(row.substr(70, 4), "...$");
    EXPECT_EQ(row.size(), 70u + 16u + 2u);
    const std::string& tail = lines[2];
    EXPECT_EQ(tail.substr(21, 2), "31");
    EXPECT_EQ(tail.size(), 70u + 4u + 2u);
    cap.clear();
    debugDump(nullptr, "x", 3);
    EXPECT_TRUE(cap.contains("! debugDump(), buffer is ZERO"));
}

TEST_F(TraceTest, VseprintfChainsAndStopsAtEnd) {
    char buf[8];
    char* end = buf + sizeof buf - 1;
    char* p = seprintf(buf, end, "%s", "abc");
    EXPECT_EQ(p, buf + 3);
    p = seprintf(p, end, "%s", "defghijk");
    EXPECT_EQ(p, end);
    EXPECT_STREQ(buf, "abcdefg");
    p = seprintf(p, end, "more");
    EXPECT_EQ(p, end);
    char* q = seprintf(buf + 4, buf + 2, "x");
    EXPECT_EQ(q, buf + 4);
    EXPECT_TRUE(cap.contains("! vseprintf: endMsg < msg"));
}

TEST_F(TraceTest, DebuggerBreakTracesAndCounts) {
    uint32_t before = debugBreakCount();
    DEBUG_BREAK("..\\..\\src\\nfc\\os\\os");
    EXPECT_EQ(debugBreakCount(), before + 1);
    EXPECT_TRUE(cap.contains("! DebuggerBreak ..\\..\\src\\nfc\\os\\os , line "));
}

TEST_F(TraceTest, VersionLineAndTag) {
    debugPrintVersion("corvaneIf");
    EXPECT_STREQ(debugTraceTag(), "corvaneIf");
    EXPECT_TRUE(cap.contains("Version 1.0.153.0 , build on Sep 11 2014,13:12:03"));
}

TEST(ApiNames, TagTypeNames) {
    struct { uint32_t type; const char* name; } cases[] = {
        {0x80000040u, "MifareUL + NDEF"}, {0x3, "ISO 14443B"}, {0x1, "ISO 14443A"},
        {0x80001000u, "NFC P2P Initiator"}, {0x4, "ISO 15693"}, {0x20000, "Transaction"},
        {0x8, "! Unknown card type"}, {0x10 | 0x40, "MifareStd 1k"},
    };
    for (auto& c : cases) EXPECT_STREQ(nfcapiTagTypeName(c.type), c.name) << std::hex << c.type;
}

TEST(ApiNames, TagBitNames) {
    struct { uint32_t bit; const char* name; } cases[] = {
        {0, "NONE"}, {0x2, "TAG_14443B"}, {0x800000, "CE_HOST_14443B2_106"},
        {0x80000000u, "TAG_NDEF"}, {0x3, "untraceable CARD Type"}, {0x200, "untraceable CARD Type"},
    };
    for (auto& c : cases) EXPECT_STREQ(nfcapiTagBitName(c.bit), c.name) << std::hex << c.bit;
}

TEST(ApiNames, CauseTextsAndStatuses) {
    struct { uint16_t cause; const char* text; uint32_t status; } cases[] = {
        {0, "OK", 0}, {1, "transaction read: more data available", 23}, {22, "tag buffer too small", 19},
        {28, "Fatal error", 2}, {783, "not enough internal memory", 12}, {784, "internal", 1},
        {9, "listen error: not a NFC forum tag", 1}, {6, "unknown state in nfcapiCauseNameStr !!!", 1},
    };
    for (auto& c : cases) {
        EXPECT_STREQ(nfcapiCauseNameStr(c.cause), c.text) << c.cause;
        EXPECT_EQ(nfcapiCauseToStatus(c.cause), c.status) << c.cause;
    }
}
