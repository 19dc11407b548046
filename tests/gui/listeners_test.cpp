// Registering and unregistering the operation modes from the technology page on the fake
// library: the masks the library gets, the roles, the buttons and the signals of each mode.
#include "window_fixture.h"

namespace {

std::vector<FakeCall> callsNamed(const std::vector<FakeCall>& calls, const char* name) {
    std::vector<FakeCall> found;
    for (const FakeCall& call : calls)
        if (call.name == name) found.push_back(call);
    return found;
}

} // namespace

class ListenersTest : public CLumaroTest {
    Q_OBJECT

    void startNfc() {
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY(instanceOf());
    }
    void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    void uncheckAllRw() {
        for (QCheckBox* box : {form()->ckbRwIso14443A, form()->ckbRwIso14443B, form()->ckbRwIso15693,
                               form()->ckbRwFelica212, form()->ckbRwFelica424, form()->ckbRwInnovisionJewel,
                               form()->ckbRwKovioBarcode, form()->ckbRwCheckNdef, form()->ckbRwPresenceCheck})
            box->setChecked(false);
    }
    int linesContaining(const QString& text) const {
        return static_cast<int>(logLines().filter(text).size());
    }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        destroyWindow();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    void rwMaskFollowsTheBoxes_data() {
        QTest::addColumn<QString>("checked");
        QTest::addColumn<DWORD>("mask");
        QTest::newRow("A, presence check off") << "ckbRwIso14443A" << DWORD{0x40000001};
        QTest::newRow("A B, presence check on") << "ckbRwIso14443A ckbRwIso14443B ckbRwPresenceCheck" << DWORD{0x3};
        QTest::newRow("FeliCa, NDEF check") << "ckbRwFelica212 ckbRwFelica424 ckbRwPresenceCheck ckbRwCheckNdef"
                                            << DWORD{0x80000300};
        QTest::newRow("15693 Jewel Kovio") << "ckbRwIso15693 ckbRwInnovisionJewel ckbRwKovioBarcode ckbRwPresenceCheck"
                                           << DWORD{0xC04};
    }
    void rwMaskFollowsTheBoxes() {
        QFETCH(QString, checked);
        QFETCH(DWORD, mask);
        startNfc();
        uncheckAllRw();
        for (const QString& name : checked.split(QLatin1Char(' ')))
            window->findChild<QCheckBox*>(name)->setChecked(true);
        markCalls();
        click(form()->btnRwStart);
        const std::vector<FakeCall> calls = callsNamed(callsSinceMark(), "nfcRegisterListener");
        QCOMPARE(calls.size(), size_t{1});
        QCOMPARE(calls[0].arguments.at(2), std::to_string(mask));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Start  OK"));
        QVERIFY(form()->btnRwStop->isEnabled());
        QVERIFY(!form()->btnRwStart->isEnabled());
        QVERIFY(!form()->gboRwMode->isEnabled());
        QCOMPARE(form()->ledCurrentLocalRole->text(), QStringLiteral("RW "));
    }

    // The instance refuses a mask without a technology before the library is asked.
    void rwWithoutTechnologyIsRefused() {
        startNfc();
        uncheckAllRw();
        markCalls();
        click(form()->btnRwStart);
        QVERIFY(callsNamed(callsSinceMark(), "nfcRegisterListener").empty());
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Start  FAIL"));
        QVERIFY(form()->btnRwStart->isEnabled());
        QVERIFY(!form()->btnRwStop->isEnabled());
    }

    void stoppingP2pKeepsRw() {
        startNfc();
        form()->ckbRwIso14443A->setChecked(true);
        form()->ckbP2pTargetPassive->setChecked(true);
        click(form()->btnRwStart);
        click(form()->btnP2pStart);
        QCOMPARE(form()->ledCurrentLocalRole->text(), QStringLiteral("RW P2P "));
        QCOMPARE(activeModesOf(), DWORD{CLumaro::modeRw | CLumaro::modeP2p});
        click(form()->btnP2pStop);
        QCOMPARE(form()->ledCurrentLocalRole->text(), QStringLiteral("RW "));
        QCOMPARE(activeModesOf(), DWORD{CLumaro::modeRw});
        QVERIFY(form()->btnP2pStart->isEnabled());
        QVERIFY(form()->btnRwStop->isEnabled());
        QVERIFY(logged(QStringLiteral("CLumaro::nfcUnregisterListener: P2P-listener unregistered (code: 0)")));
    }

    // Each connection report is owned by its one receiver: connected twice, it was deleted twice.
    void retriedP2pRegistrationWiresTheSignalsOnce() {
        startNfc();
        form()->ckbP2pTargetPassive->setChecked(true);
        fake().setResult("nfcRegisterListener", 1);
        click(form()->btnP2pStart);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("P2P: Start  FAIL"));
        fake().setResult("nfcRegisterListener", 0);
        click(form()->btnP2pStart);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("P2P: Start  OK"));
        const QString slotLine = QStringLiteral("CLumaro::handleP2pConnectionRequested: Enter");
        emit instanceOf()->signalP2pConnectionRequested(new TP2pConnection{});
        QCOMPARE(linesContaining(slotLine), 1);
    }

    void ceStopsAtItsMissingPage() {
        startNfc();
        form()->ckbCeIso14443A->setChecked(true);
        markCalls();
        click(form()->btnCeStart);
        QVERIFY(callsNamed(callsSinceMark(), "nfcRegisterListener").empty());
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Start  FAIL"));
        QVERIFY(form()->btnCeStart->isEnabled());
        QCOMPARE(activeModesOf(), DWORD{0});
    }

    void unregisterFollowsTheCurrentPage() {
        startNfc();
        form()->ckbRwIso14443A->setChecked(true);
        click(form()->btnRwStart);
        form()->tabInteraction->setCurrentWidget(form()->pagTechnology);
        click(form()->btnUnregister);
        QCOMPARE(lastLogLine(), QStringLiteral("CLumaro::on_btnUnregister_clicked: ! No operation mode for current page"));
        QCOMPARE(activeModesOf(), DWORD{CLumaro::modeRw});
        // The page after the last mode page is the log, not a mode.
        form()->tabInteraction->setCurrentWidget(form()->pagLog);
        click(form()->btnUnregister);
        QCOMPARE(activeModesOf(), DWORD{CLumaro::modeRw});
        form()->tabInteraction->setCurrentWidget(form()->pagRwLegacy);
        click(form()->btnUnregister);
        QCOMPARE(activeModesOf(), DWORD{0});
        QCOMPARE(form()->ledCurrentLocalRole->text(), QString());
        QVERIFY(!form()->btnUnregister->isEnabled());
    }

    void isoDepRatesNeedAOrB() {
        createWindow();
        form()->ckbRwIso14443A->setEnabled(true);
        form()->ckbRwIso14443B->setEnabled(true);
        form()->ckbRwIso14443A->setChecked(false);
        form()->ckbRwIso14443B->setChecked(false);
        QMetaObject::invokeMethod(window.get(), "on_ckbRwIso14443A_clicked", Q_ARG(bool, false));
        QVERIFY(!form()->rdbRwIsoDepSpeed848->isEnabled());
        form()->ckbRwIso14443B->setChecked(true);
        QMetaObject::invokeMethod(window.get(), "on_ckbRwIso14443B_clicked", Q_ARG(bool, true));
        for (QRadioButton* rate : {form()->rdbRwIsoDepSpeed106, form()->rdbRwIsoDepSpeed212,
                                   form()->rdbRwIsoDepSpeed424, form()->rdbRwIsoDepSpeed848})
            QVERIFY(!rate->testAttribute(Qt::WA_ForceDisabled));
    }

    void stopNfcUnregistersEveryMode() {
        startNfc();
        form()->ckbRwIso14443A->setChecked(true);
        click(form()->btnRwStart);
        markCalls();
        click(form()->btnStopNfc);
        QCOMPARE(callsNamed(callsSinceMark(), "nfcUnregisterListener").size(), size_t{1});
        QVERIFY(!instanceOf());
        QCOMPARE(activeModesOf(), DWORD{0});
    }
};

QTEST_MAIN(ListenersTest)
#include "listeners_test.moc"
