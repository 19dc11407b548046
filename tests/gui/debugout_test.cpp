// Lumaro's trace lines: prefix, indentation and open lines, bounded to their 512 bytes.
#include <QtTest>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "debugout.h"
#include "platform.h"

namespace {

std::vector<std::string> lines;

int collect(void*, const char* line) {
    lines.emplace_back(line);
    return 1;
}

// Where the text of a prefixed line starts: after the tick count and the blanks behind it.
size_t textColumn(const std::string& line, const std::string& text) { return line.find(text); }

// What a child process that writes one line without a sink leaves on its standard output and
// error, with CORVANE_TRACE set to where (unset when empty). The child starts its trace sink
// afresh, as a program does.
QByteArray terminalOfChild(const QByteArray& where) {
    int out[2];
    if (pipe(out) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        if (where.isEmpty()) unsetenv("CORVANE_TRACE");
        else setenv("CORVANE_TRACE", where.constData(), 1);
        debugSetSink(nullptr, nullptr);
        debugOut(0x1, "a line of the program");
        fflush(nullptr);
        _exit(0);
    }
    close(out[1]);
    QByteArray shown;
    char buffer[512];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) shown.append(buffer, n);
    close(out[0]);
    waitpid(child, nullptr, 0);
    return shown;
}

} // namespace

class DebugOutTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        lines.clear();
        debugSetSink(collect, nullptr);
    }
    void cleanupTestCase() { debugSetSink(nullptr, nullptr); }

    void bannerNamesTheModuleAndThePlatform() {
        debugInit("lumaro", 0x80000001);
        QCOMPARE(lines.size(), size_t{1});
        QVERIFY(lines[0].rfind("lumaro  : ", 0) == 0);
        QVERIFY(lines[0].find("Linux") != std::string::npos);
        QVERIFY(lines[0].find("version " LUMARO_TEST_VERSION) != std::string::npos);
        // The crash helper beside the program stays loaded until the program ends.
        void* helper = dlopen((platExecutableFolder() + "libtracelet.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        QVERIFY(helper);
        dlclose(helper);
    }

    void textStartsAtColumnTwentyOneAndIndentMovesIt() {
        debugOut(0x1 | kDebugIndentMore, "first");
        debugOut(0x1, "second");
        debugOut(0x1 | kDebugIndentLess, "third");
        QCOMPARE(lines.size(), size_t{3});
        QCOMPARE(textColumn(lines[0], "first"), size_t{21});
        QCOMPARE(textColumn(lines[1], "second"), size_t{22});
        QCOMPARE(textColumn(lines[2], "third"), size_t{21});
        QCOMPARE(lines[2].back(), '\n');
    }

    void indentNeverGoesBelowZero() {
        debugOut(kDebugIndentLess, "a");
        debugOut(kDebugIndentLess, "b");
        debugOut(0, "c");
        QCOMPARE(textColumn(lines[2], "c"), size_t{21});
    }

    void indentStaysInsideThePrefix() {
        for (int i = 0; i < 40; ++i) debugOut(kDebugIndentMore, "deeper");
        debugOut(0, "deepest");
        QCOMPARE(textColumn(lines.back(), "deepest"), size_t{39});
        for (int i = 0; i < 41; ++i) debugOut(kDebugIndentLess, "back");
    }

    void openLineContinuesWithoutPrefix() {
        debugOut(kDebugOpenLine, "left %s", "open");
        debugOut(0, " and closed");
        QCOMPARE(lines.size(), size_t{2});
        QVERIFY(lines[0].find('\n') == std::string::npos);
        QCOMPARE(lines[1], std::string(" and closed\n"));
        debugOut(0, "next");
        QCOMPARE(textColumn(lines[2], "next"), size_t{21});
    }

    // Without a sink the program's lines follow the library's traces: nowhere unless asked for.
    void withoutSinkLinesGoWhereTheTraceVariableSays_data() {
        QTest::addColumn<QByteArray>("where");
        QTest::addColumn<bool>("onTerminal");
        QTest::addColumn<bool>("inFile");
        QTest::newRow("not set") << QByteArray() << false << false;
        QTest::newRow("stderr") << QByteArray("stderr") << true << false;
        QTest::newRow("file") << QByteArray("FILE") << false << true;
    }
    void withoutSinkLinesGoWhereTheTraceVariableSays() {
        QFETCH(QByteArray, where);
        QFETCH(bool, onTerminal);
        QFETCH(bool, inFile);
        QTemporaryDir folder;
        const QString file = folder.filePath(QStringLiteral("trace.txt"));
        const QByteArray shown = terminalOfChild(where == "FILE" ? QFile::encodeName(file) : where);
        QCOMPARE(shown.contains("a line of the program"), onTerminal);
        QFile written(file);
        QCOMPARE(written.open(QIODevice::ReadOnly) && written.readAll().contains("a line of the program"), inFile);
        if (!onTerminal) QCOMPARE(shown, QByteArray());
    }

    void longTextIsCutToTheLine() {
        const std::string text(2000, 'x');
        debugOut(0, "%s", text.c_str());
        QCOMPARE(lines.back().size(), size_t{511});
        QCOMPARE(lines.back().back(), '\n');
    }
};

QTEST_MAIN(DebugOutTest)
#include "debugout_test.moc"
