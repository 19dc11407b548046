// The main window on the real libCorvane.so and the simulated NCI controller on a
// pseudo-terminal, clicked as a person clicks it: NFC and RW started, the simulated tag in the
// log, a get-parameter request on the I/O page answered by the controller, the tag leaving, NFC
// stopped; the trace dialog's words reaching the running library; closing the window and
// destroying it stop NFC the whole way.
#include <mutex>

#include "corvanebinding.h"
#include "debugout.h"
#include "real_run.h"
#include "window_fixture.h"

namespace {

constexpr DWORD kAllNfcWords = 0xFDEFFDFF;
constexpr DWORD kAllL1Words = 0x90770031;

// The library's trace lines, written on its own threads. The one collector is never destroyed:
// the library may keep the sink until the program's exit.
class LibraryTraces {
public:
    static LibraryTraces& collector() {
        static auto* traces = new LibraryTraces;
        return *traces;
    }
    static void capture(bool on) {
        if (corvaneSymbolTable.debugCaptureOutput) corvaneSymbolTable.debugCaptureOutput(on ? &LibraryTraces::onLine : nullptr);
    }
    // The lines that report the tag's activation (the serial port's own lines are written
    // whatever the words).
    int activationLines() const {
        std::lock_guard<std::mutex> guard(lock);
        return static_cast<int>(lines.filter(QStringLiteral("RF_INTF_ACTIVATED_NTF")).size());
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock);
        lines.clear();
    }

private:
    static void onLine(const char* line) {
        LibraryTraces& self = collector();
        std::lock_guard<std::mutex> guard(self.lock);
        self.lines << QString::fromLatin1(line);
    }
    mutable std::mutex lock;
    QStringList lines;
};

// The window's own trace lines, which outlive the window.
QStringList windowTraces;
int collectWindowTrace(void*, const char* line) {
    windowTraces << QString::fromLatin1(line);
    return 1;
}

} // namespace

class RealWindowTest : public CLumaroTest {
    Q_OBJECT

    std::unique_ptr<RealRun> run;

    QWidget* shown() const { return window.get(); }
    void click(const char* name) { QVERIFY2(RealRun::click(shown(), name), name); }

    // Start NFC, then RW on ISO 14443A: the tag is in the log.
    void startNfcAndSeeTheTag() {
        click("btnStartNfc");
        QVERIFY2(instanceOf(), qPrintable(logLines().join(QLatin1Char('\n'))));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Start  OK"));
        form()->ckbRwIso14443A->setChecked(true);
        click("btnRwStart");
        QVERIFY(form()->btnRwStop->isEnabled());
        QVERIFY(run->tagEntersDuringDiscovery());
        QVERIFY2(RealRun::waitForLog(shown(), RealRun::tagLine()), run->sim.describe().c_str());
    }
    // Seen in the log: a spy connected while the library's threads emit would race inside Qt.
    void tagLeaves() {
        const QString removed = QStringLiteral("CNfcInstance::handleTagRemoved: Exit");
        const qsizetype before = logLines().count(removed);
        run->tagLeaves();
        QVERIFY(QTest::qWaitFor([&] { return logLines().count(removed) > before; }, RealRun::kBoundedMs));
    }
    // Trace, then one of the dialog's buttons, then Close.
    void setTraceWordsWith(const char* button) {
        click("btnTrace");
        QWidget* dialog = RealRun::shownDialog("CNfcTraceFlags");
        QVERIFY(dialog);
        QPointer<QWidget> watched(dialog);
        QVERIFY(RealRun::click(dialog, button));
        QVERIFY(RealRun::click(dialog, "btnClose"));
        QTRY_VERIFY_WITH_TIMEOUT(watched.isNull(), RealRun::kBoundedMs);
    }
    // The library's lines about the tag coming back into the field.
    int tracesOfAnArrival(LibraryTraces& traces) {
        const int before = logLines().size();
        traces.clear();
        run->tagEnters();
        [&] { QVERIFY(QTest::qWaitFor([&] { return logLines().mid(before).indexOf(RealRun::tagLine()) >= 0; },
                                      RealRun::kBoundedMs)); }();
        return traces.activationLines();
    }
    void verifyStopped() {
        QVERIFY(!instanceOf());
        QVERIFY(!corvaneSymbolTable.module);
        QVERIFY(form()->btnStartNfc->isEnabled());
        QVERIFY(!form()->btnStopNfc->isEnabled());
        QVERIFY(!form()->btnRwStart->isEnabled());
    }

private slots:
    void initTestCase() { startFixture(); }
    void init() {
        resetFixture();
        windowTraces.clear();
        run = std::make_unique<RealRun>();
        QVERIFY(run->ok());
        run->storeConfiguration();
        createWindow();
    }
    void cleanup() {
        destroyWindow();
        debugSetSink(nullptr, nullptr);
        run.reset();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    void aTagIsSeenAndTheControllerAnswersAPdu() {
        startNfcAndSeeTheTag();
        form()->ledIoPdu->setText(QLatin1String(RealRun::kGetParameterRequest));
        click("btnIoSendPdu");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("I/O: Send PDU  OK"));
        const QString answer = form()->tedIoLog->toPlainText();
        QVERIFY2(answer.contains(QStringLiteral("Received PDU size: 6 bytes, data:\n") +
                                 QLatin1String(RealRun::kGetParameterAnswer)),
                 qPrintable(answer));
        tagLeaves();
        click("btnStopNfc");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Stop  OK"));
        verifyStopped();
    }

    // Clear all silences the running library, Select all brings its lines back, and the next
    // start hands it the words the dialog stored as "Current".
    void theTraceDialogsWordsReachTheRunningLibrary() {
        startNfcAndSeeTheTag();
        LibraryTraces& traces = LibraryTraces::collector();
        LibraryTraces::capture(true);
        const auto uncapture = qScopeGuard([] { LibraryTraces::capture(false); });
        tagLeaves();
        QVERIFY(tracesOfAnArrival(traces) > 0);
        tagLeaves();
        setTraceWordsWith("btnClearAll");
        QCOMPARE(corvaneSymbolTable.debugGetFlags(), DWORD{0});
        QCOMPARE(corvaneSymbolTable.debugGetL1Flags(), DWORD{0});
        QCOMPARE(tracesOfAnArrival(traces), 0);
        tagLeaves();
        setTraceWordsWith("btnSelectAll");
        QCOMPARE(corvaneSymbolTable.debugGetFlags(), kAllNfcWords);
        QCOMPARE(corvaneSymbolTable.debugGetL1Flags(), kAllL1Words);
        QVERIFY(tracesOfAnArrival(traces) > 0);
        tagLeaves();
        click("btnStopNfc");
        verifyStopped();
        run->skipCommands();
        click("btnStartNfc");
        QVERIFY(instanceOf());
        QCOMPARE(corvaneSymbolTable.debugGetFlags(), kAllNfcWords);
        QCOMPARE(corvaneSymbolTable.debugGetL1Flags(), kAllL1Words);
        QVERIFY(logLines().indexOf(QRegularExpression(QStringLiteral(".* TRACES.NFC=fdeffdff TRACES.L1=90770031>"))) >= 0);
    }

    // Closing the window runs the same stop as Stop NFC: listeners, servers and the library.
    void closingTheWindowStopsNfc() {
        startNfcAndSeeTheTag();
        const QString startedTitle = window->windowTitle();
        QVERIFY(startedTitle.contains(QLatin1String("    FW: ")));
        QVERIFY(window->close());
        QVERIFY(logged(QStringLiteral("CLumaro::nfcStop: Exit (status: 0)")));
        QVERIFY(!window->windowTitle().contains(QLatin1String("    FW: ")));
        verifyStopped();
    }

    void destroyingTheWindowStopsNfc() {
        startNfcAndSeeTheTag();
        debugSetSink(collectWindowTrace, nullptr);
        destroyWindow();
        QVERIFY2(!windowTraces.filter(QStringLiteral("CLumaro::nfcStop: Exit (status: 0)")).isEmpty(),
                 qPrintable(windowTraces.join(QLatin1Char('\n'))));
        QVERIFY(windowTraces.filter(QStringLiteral("! Unregistering instance failed")).isEmpty());
        QVERIFY(!corvaneSymbolTable.module);
    }
};

QTEST_MAIN(RealWindowTest)
#include "real_window_test.moc"
