// The demo as a newcomer meets it: the simulator program started by hand in its default
// scenario, the real window on the real libCorvane.so with the default choices. The tag shows its
// records on the R/W: NDEF page; a line on the simulator's input takes it away and the next brings
// it back; once that input has closed the simulator still serves a new start, and ends at a stop
// signal; attached, as the run command starts it, it ends with its input. No Qt warning is printed
// on the way.
#include "window_fixture.h"

#include <QProcess>
#include <QTreeWidget>

namespace {

constexpr int kBoundedMs = 10000;   // reached only when something is broken

QStringList& qtWarnings() {
    static QStringList warnings;
    return warnings;
}

// Every warning counts but the offscreen platform's own about size hints, which a screen's
// platform does not print.
void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtDebugMsg && type != QtInfoMsg && !message.contains(QLatin1String("propagateSizeHints")))
        qtWarnings() << message;
    fprintf(stderr, "%s\n", qPrintable(message));
}

// The simulator program; the path of its pseudo-terminal is its first line.
QString startSimulator(QProcess& sim, const QStringList& arguments) {
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(NCI_SIM_PROGRAM), arguments);
    if (!sim.waitForStarted(kBoundedMs)) return {};
    while (!sim.canReadLine())
        if (!sim.waitForReadyRead(kBoundedMs)) return {};
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

} // namespace

class DemoRealTest : public CLumaroTest {
    Q_OBJECT

    QProcess sim;

    QStringList recordsShown() const {
        QStringList records;
        for (int i = 0; i < form()->twtRwNdefRead->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = form()->twtRwNdefRead->topLevelItem(i);
            records << item->text(3) + item->text(4) + item->text(5);
        }
        return records;
    }
    bool recordsAreShown() const {
        return recordsShown() == QStringList{QStringLiteral("TenWelcome to Corvane"), QStringLiteral("Uhttps://example.org")};
    }
    void startNfcAndRw() {
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY2(instanceOf(), qPrintable(logLines().join(QLatin1Char('\n'))));
        QTest::mouseClick(form()->btnRwStart, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Start  OK"));
    }

private slots:
    void initTestCase() {
        startFixture();
        qInstallMessageHandler(collectWarnings);
        const QString port = startSimulator(sim, {});
        QVERIFY(port.startsWith(QLatin1String("/dev/")));
        writeIni("[ControllerConfiguration]\nSimulator=READERTYPE=NCI IOTYPE=SERIAL PORT=" + port.toLocal8Bit() + "\n");
        createWindow();
        window->show();
    }
    void cleanupTestCase() {
        destroyWindow();
        removeIni();
        sim.kill();
        sim.waitForFinished(kBoundedMs);
    }

    void theTagShowsItsRecordsOnTheNdefPage() {
        startNfcAndRw();
        QTRY_VERIFY_WITH_TIMEOUT(recordsAreShown(), kBoundedMs);
        QCOMPARE(form()->tabInteraction->currentWidget(), form()->pagRwNdef);
        QCOMPARE(form()->ledDeviceType->text(), QStringLiteral("MIFARE Ultralight (Type 2)"));
        QCOMPARE(form()->ledNdefSize->text(), QStringLiteral("41 of 142"));
        // A maker that names itself, and whose NFCEE 2 the library knows as the UICC.
        for (const QString& line : {QStringLiteral("\tVendor name:\t\t\tSTM"), QStringLiteral("SE ID #2:\tUICC APDU)"),
                                    QStringLiteral("SE ID #16:\teSE ( APDU)")})
            QVERIFY2(logged(line), qPrintable(line));
    }

    void aLineTakesTheTagAwayAndTheNextBringsItBack() {
        sim.write("\n");
        QTRY_COMPARE_WITH_TIMEOUT(form()->lblStatus->text(), QStringLiteral("NFC: Technology removed"), kBoundedMs);
        QVERIFY(form()->ledDeviceType->text().isEmpty());
        sim.write("\n");
        QTRY_VERIFY_WITH_TIMEOUT(recordsAreShown(), kBoundedMs);
    }

    void aClosedInputLeavesTheSimulatorServing() {
        sim.closeWriteChannel();
        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        QVERIFY(!instanceOf());
        form()->twtRwNdefRead->clear();
        QCOMPARE(sim.state(), QProcess::Running);
        startNfcAndRw();
        QTRY_VERIFY_WITH_TIMEOUT(recordsAreShown(), kBoundedMs);
        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
    }

    void aStopSignalEndsIt() {
        sim.terminate();
        QVERIFY(sim.waitForFinished(kBoundedMs));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
    }

    void attachedItEndsWithItsInput() {
        QProcess attached;
        QVERIFY(!startSimulator(attached, {QStringLiteral("--attached")}).isEmpty());
        attached.closeWriteChannel();
        QVERIFY(attached.waitForFinished(kBoundedMs));
        QCOMPARE(attached.exitCode(), 0);
    }

    void theSessionPrintedNoQtWarning() { QVERIFY2(qtWarnings().isEmpty(), qPrintable(qtWarnings().join('\n'))); }
};

QTEST_MAIN(DemoRealTest)
#include "demo_real_test.moc"
