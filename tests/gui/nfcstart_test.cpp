// Starting and stopping NFC from the window on the fake library: the configuration it hands the
// library, the controller's report, the secure elements, the firmware title, a failed start and
// a removed device.
#include "window_fixture.h"

namespace {

const QString kInitialization = QStringLiteral("CLumaro::nfcStart: Initialization <%1>");

QByteArray iniWith(const QByteArray& configuration) {
    return "[ControllerConfiguration]\nSim=" + configuration + "\n";
}

TNfcInfoSE seRecord(BYTE id, WORD mode) {
    TNfcInfoSE record{};
    record.id = id;
    record.mode = mode;
    return record;
}

size_t callsNamed(const std::vector<FakeCall>& calls, const char* name) {
    return static_cast<size_t>(
        std::count_if(calls.begin(), calls.end(), [&](const FakeCall& call) { return call.name == name; }));
}

} // namespace

class NfcStartTest : public CLumaroTest {
    Q_OBJECT

    void startWith(const QByteArray& configuration) {
        writeIni(iniWith(configuration));
        createWindow();
    }
    void clickStart() { QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton); }
    void clickStop() { QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton); }
    void verifyStopped() {
        QVERIFY(!instanceOf());
        QVERIFY(form()->btnStartNfc->isEnabled());
        QVERIFY(!form()->btnStopNfc->isEnabled());
        QVERIFY(!form()->btnRwStart->isEnabled());
        QVERIFY(!form()->btnIoSendRaw->isEnabled());
    }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        destroyWindow();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    void configurationGetsTheMissingMasks_data() {
        QTest::addColumn<QByteArray>("configuration");
        QTest::addColumn<DWORD>("mask");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no key, masks 0") << QByteArray("READERTYPE=NCI") << DWORD{0}
                                         << "READERTYPE=NCI TRACES.NFC=00000000 TRACES.L1=00000000";
        QTest::newRow("no key, masks abcd") << QByteArray("READERTYPE=NCI") << DWORD{0xABCD}
                                            << "READERTYPE=NCI TRACES.NFC=0000abcd TRACES.L1=0000abcd";
        QTest::newRow("NFC only") << QByteArray("READERTYPE=NCI TRACES.NFC=1") << DWORD{0xABCD}
                                  << "READERTYPE=NCI TRACES.NFC=1 TRACES.L1=0000abcd";
        QTest::newRow("both") << QByteArray("TRACES.L1=2 TRACES.NFC=1") << DWORD{0xABCD}
                              << "TRACES.L1=2 TRACES.NFC=1";
    }
    void configurationGetsTheMissingMasks() {
        QFETCH(QByteArray, configuration);
        QFETCH(DWORD, mask);
        QFETCH(QString, expected);
        startWith(configuration);
        setTraceMasks(mask, mask);
        clickStart();
        QVERIFY2(logged(kInitialization.arg(expected)), qPrintable(logLines().join(QLatin1Char('\n'))));
        QVERIFY(instanceOf());
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Start  OK"));
        QVERIFY(form()->btnStopNfc->isEnabled());
        QVERIFY(form()->btnIoSendPdu->isEnabled());
        clickStop();
        verifyStopped();
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Stop  OK"));
    }

    // Closing the trace flags dialog from its frame hands out no words: the flags in force stay,
    // in the running library and for the next start.
    void aFrameClosedTraceDialogKeepsTheFlags() {
        startWith("READERTYPE=NCI");
        setTraceMasks(0xABCD, 0x12);
        clickStart();
        QVERIFY(instanceOf());
        markCalls();
        QTest::mouseClick(form()->btnTrace, Qt::LeftButton);
        QPointer<QWidget> dialog;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget->inherits("CNfcTraceFlags")) dialog = widget;
        QVERIFY(dialog);
        dialog->close();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), kDeliveryTimeoutMs);
        QVERIFY(form()->btnTrace->isEnabled());
        QCOMPARE(nfcFlagsOf(), DWORD{0xABCD});
        QCOMPARE(l1FlagsOf(), DWORD{0x12});
        QCOMPARE(callsNamed(callsSinceMark(), "debugSetFlags"), size_t{0});
        clickStop();
        clickStart();
        QVERIFY(logged(kInitialization.arg(QStringLiteral("READERTYPE=NCI TRACES.NFC=0000abcd TRACES.L1=00000012"))));
    }

    // Stop writes its own line for each server that failed to close, behind the server's own.
    void stopTracesTheServersThatFailedToClose() {
        startWith("READERTYPE=NCI");
        clickStart();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnP2pStart_clicked"));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_ckbP2pServiceNppServer_clicked", Q_ARG(bool, true)));
        fake().setResult("nppStopServer", nppFailed);
        clickStop();
        QVERIFY(logged(QStringLiteral("CLumaro::nppStopServer: ! Closing NPP server failed (code: 1)")));
        QVERIFY(logged(QStringLiteral("CLumaro::nfcStop: ! Closing NPP server failed (code: 1)")));
    }

    void emptyListStartsNothing() {
        createWindow();
        markCalls();
        clickStart();
        QVERIFY(logged(QStringLiteral("CLumaro::nfcStart: ! Controller configuration not set")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Start  FAIL"));
        QVERIFY(!instanceOf());
        QVERIFY(form()->btnStartNfc->isEnabled());
        QCOMPARE(callsSinceMark().size(), size_t{0});
    }

    void capabilitiesAreReadByTheirFields() {
        TNfcCapabilityBlock block{};
        block.supportedMask = 0x1 | 0x2000;
        memset(block.vendorName, 'V', sizeof block.vendorName);   // no terminator: the field bounds it
        const BYTE software[4] = {1, 2, 3, 4};
        memcpy(block.softwareVersion, software, 4);
        block.hardwareVersion[3] = 0xAB;
        block.maxLlcpFrameSize = 248;
        block.maxLlcpConnections = 3;
        block.maxLlcpWindow = 7;
        fake().setCapabilities(block);
        startWith("READERTYPE=NCI");
        clickStart();
        const QStringList lines = logLines();
        QVERIFY(lines.contains(QStringLiteral("\tVendor name:\t\t\t") + QString(20, QLatin1Char('V'))));
        QVERIFY(lines.contains(QStringLiteral("\tSoftware version:\t\t01.02.03.04")));
        QVERIFY(lines.contains(QStringLiteral("\tHardware version:\t\t00.00.00.AB")));
        QVERIFY(lines.contains(QStringLiteral("\tMaximum supported LLCP frame size:\t248")));
        QVERIFY(lines.contains(QStringLiteral("\tMaximum supported LLCP connections:\t3")));
        QVERIFY(lines.contains(QStringLiteral("\tMaximum supported LLCP window size:\t7")));
        const int list = lines.indexOf(QStringLiteral("\tSupported technologies by controller:"));
        QVERIFY(list > 0);
        QCOMPARE(lines.mid(list + 1, 2),
                 (QStringList{QStringLiteral("\t\tTag: ISO 14443A, 106 kbit/s"), QStringLiteral("\t\tP2P: Target (passive)")}));
        QVERIFY(ownEnabled(form()->ckbRwIso14443A));
        QVERIFY(!ownEnabled(form()->ckbRwIso14443B));
        QVERIFY(ownEnabled(form()->gboP2p));
        QVERIFY(!ownEnabled(form()->gboCe));
        QVERIFY(!ownEnabled(form()->gboSe));
        QVERIFY(windowTitleOf().endsWith(QLatin1String("    FW: 1.2.3.4")));
    }

    void activeSecureElementsComeUpCheckedWithOneListener() {
        fake().setSecureElements({seRecord(1, 0), seRecord(2, 1), seRecord(3, 0)});
        startWith("READERTYPE=NCI");
        markCalls();
        clickStart();
        for (QCheckBox* box : {form()->ckbSeSlot0, form()->ckbSeSlot1, form()->ckbSeSlot2})
            QVERIFY(ownEnabled(box));
        QVERIFY(!ownEnabled(form()->ckbSeSlot3));
        QVERIFY(!form()->ckbSeSlot0->isChecked());
        QVERIFY(form()->ckbSeSlot1->isChecked());
        QVERIFY(!form()->ckbSeSlot2->isChecked());
        QCOMPARE(callsNamed(callsSinceMark(), "nfcRegisterListener"), size_t{1});
        QCOMPARE(activeModesOf(), DWORD{CLumaro::modeSe});
        clickStop();
        verifyStopped();
    }

    void pn544TitleShowsTheRevisionAndStopRestoresIt() {
        TNfcCapabilityBlock block{};
        block.supportedMask = 0x1;
        const BYTE software[4] = {9, 1, 18, 7};
        memcpy(block.softwareVersion, software, 4);
        block.chipValues[0] = 0xB1;
        block.chipValues[9] = 42;
        fake().setCapabilities(block);
        startWith("READERTYPE=PN544");
        window->setWindowTitle(QStringLiteral("Lumaro"));
        clickStart();
        QCOMPARE(windowTitleOf(), QStringLiteral("Lumaro    FW: 1.18 Rev. C3 42"));
        clickStop();
        QCOMPARE(windowTitleOf(), QStringLiteral("Lumaro"));
    }

    // The removal arrives from the library's thread inside the instance's own relay.
    void removedDeviceLeavesTheWindowStopped() {
        startWith("READERTYPE=NCI");
        clickStart();
        QVERIFY(instanceOf());
        FakeEvent removed;
        removed.event = nfcEventPnpRemovedIndication;
        deliver(removed);
        QTRY_VERIFY_WITH_TIMEOUT(!instanceOf(), kDeliveryTimeoutMs);
        verifyStopped();
        QVERIFY(logged(QStringLiteral(
            "CLumaro::handleNfcDeviceRemoved: ! Severe error detected: NFC device removed - Trying to shut down NFC stack")));
    }

    void detectedTagIsReportedByTypeAndUid() {
        startWith("READERTYPE=NCI");
        clickStart();
        TNfcTagInfo tag{};
        tag.tagType = 0x20;
        tag.uidLength = 3;
        tag.uid[0] = 0x04;
        tag.uid[1] = 0xA1;
        tag.uid[2] = 0x5C;
        QMetaObject::invokeMethod(window.get(), "handleNfcTechnologyDiscovered", Q_ARG(TNfcTagInfo*, &tag));
        QVERIFY(logged(QStringLiteral("Tag detected")));
        QVERIFY(logged(QStringLiteral("\tIdentifier:\tMIFARE Standard 4K (S70)")));
        QVERIFY(logged(QStringLiteral("\tUID:\t04:A1:5C")));
    }

    void startWithoutCapabilitiesStopsAndALaterStartWorks() {
        startWith("READERTYPE=NCI");
        fake().setResult("nfcGetCapabilities", 1);
        clickStart();
        QVERIFY(logged(QStringLiteral("CLumaro::nfcStart: ! Getting capabilities failed")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Start  FAIL"));
        verifyStopped();
        fake().setResult("nfcGetCapabilities", 0);
        markCalls();
        clickStart();
        QVERIFY(instanceOf());
        QCOMPARE(callsNamed(callsSinceMark(), "nfcInitialize"), size_t{1});
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Start  OK"));
    }

    void secondStartIsRefused() {
        startWith("READERTYPE=NCI");
        clickStart();
        CNfcInstance* running = instanceOf();
        markCalls();
        QMetaObject::invokeMethod(window.get(), "on_btnStartNfc_clicked");
        QCOMPARE(instanceOf(), running);
        QCOMPARE(callsNamed(callsSinceMark(), "nfcInitialize"), size_t{0});
        QVERIFY(logged(QStringLiteral("CLumaro::nfcStart: ! NFC is already started")));
    }

    void stopWithoutInstanceFails() {
        createWindow();
        QMetaObject::invokeMethod(window.get(), "on_btnStopNfc_clicked");
        QVERIFY(logged(QStringLiteral("CLumaro::nfcStop: ! NFC instance not found")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Stop  FAIL"));
    }

private:
    static bool ownEnabled(const QWidget* widget) { return !widget->testAttribute(Qt::WA_ForceDisabled); }
    QString windowTitleOf() const { return window->windowTitle(); }
};

QTEST_MAIN(NfcStartTest)
#include "nfcstart_test.moc"
