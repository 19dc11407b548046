// The main window's core on the fake library: construction, the slot table, the log, the
// status label, the mode-wise widget states, the settings file and the features still to come.
#include "window_fixture.h"

#include <QMetaMethod>

namespace {

// The window's own slots, in declaration order.
const char* const kSlots[] = {
    "on_btnTrace_clicked()", "on_btnConfigure_clicked()", "on_btnStartNfc_clicked()", "on_btnStopNfc_clicked()",
    "on_btnRwStart_clicked()", "on_btnRwStop_clicked()", "handleNfcConfigurationFinished()",
    "handleDialogTraceFlagsClosed(QString,QString)", "handleCeConfigurationFinished()",
    "handleNfcTechnologyDiscovered(TNfcTagInfo*)", "handleNfcTechnologyRemoved()", "handleNfcDeviceRemoved()",
    "handleP2pConnectionRequested(TP2pConnection*)", "handleP2pConnectionEstablished(TP2pConnection*)",
    "handleP2pDataReceived(TP2pConnection*)", "handleP2pDataSent(TP2pConnection*)",
    "handleP2pConnectionTerminated(TP2pConnection*)", "handleP2pConnectionFailed(TP2pConnection*)",
    "handleP2pConnectionDisconnected(TP2pConnection*)", "handleSeNotification(TNfcInfoSE*)",
    "handleLegacyMessage(QString)", "handleMfMessage(QString)", "handleCeMessage(QString)",
    "handleSeMessage(QString)", "handleIoMessage(QString)", "handlePostTrace(DWORD,QString)",
    "trace(DWORD,const char*)", "handlePostTrace(DWORD,const char*,char*)", "handleSnepPut()",
    "handleSnepDisconnected()", "handleSnepEnded(BYTE,BOOL)", "handleSnepProgress(BYTE,DWORD)",
    "on_ckbRwAutoReadNdefOnIndication_clicked(bool)", "on_ckbRwNdefAutoRead_clicked(bool)",
    "on_btnRwNdefRead_clicked()", "on_btnRwNdefWrite_clicked()", "on_btnRwNdefWriteMimeSelectImage_clicked()",
    "on_btnP2pStart_clicked()", "on_btnP2pSnepTransmit_clicked()", "on_btnP2pStop_clicked()",
    "on_btnP2pSnepTransmitMimeSelectImage_clicked()", "on_btnCeStart_clicked()", "on_btnRwNdefFormat_clicked()",
    "on_btnRwNdefErase_clicked()", "on_btnRwMifareStandardFormatNdef_clicked()",
    "on_btnRwMifareStandardErase_clicked()", "on_btnCeStop_clicked()", "on_btnP2pStartListener1_clicked()",
    "on_btnP2pConnect1_clicked()", "on_btnP2pStopListener1_clicked()", "on_btnP2pStartListener2_clicked()",
    "on_btnP2pDisconnect1_clicked()", "on_btnP2pTransmit1_clicked()", "on_btnP2pStopListener2_clicked()",
    "on_btnP2pConnect2_clicked()", "on_btnP2pDisconnect2_clicked()", "on_btnP2pTransmit2_clicked()",
    "on_btnRwMifareStandardAuthenticateA_clicked()", "on_btnRwMifareStandardAuthenticateB_clicked()",
    "on_btnRwMifareStandardReadBlock_clicked()", "on_btnRwMifareStandardWrite_clicked()",
    "on_btnRwMifareStandardReadSector_clicked()", "on_btnRwLegacyFormatNdef_clicked()",
    "on_btnRwLegacyErase_clicked()", "on_btnRwLegacySavePdu_clicked()",
    "on_cboRwLegacyCommand_currentIndexChanged(int)", "on_btnRwLegacyDeletePdu_clicked()",
    "on_btnRwLegacyExchangePdu_clicked()", "on_ckbRwNdefSuppressNdefRtdAction_clicked(bool)",
    "on_ckbRwNdefSuppress_clicked(bool)", "on_btnSeOpenEse_clicked()", "on_btnSeEchoTest_clicked()",
    "on_ckbP2pServiceSnepServer_clicked(bool)", "on_ckbP2pServiceNppServer_clicked(bool)",
    "on_btnSeCloseEse_clicked()", "on_btnSeSavePdu_clicked()", "on_btnSeDeletePdu_clicked()",
    "on_btnSeExchangePdu_clicked()", "on_btnIoSavePdu_clicked()", "on_btnIoDeletePdu_clicked()",
    "on_btnIoSendPdu_clicked()", "on_btnIoSendRaw_clicked()", "on_sboRwMifareStandardBlock_valueChanged(int)",
    "on_cboControllerConfiguration_currentIndexChanged(int)", "on_btnUnregister_clicked()",
    "on_ckbSeSlot0_clicked(bool)", "on_ckbSeSlot1_clicked(bool)", "on_ckbSeSlot2_clicked(bool)",
    "on_ckbSeSlot3_clicked(bool)", "on_ckbP2pSnepAutoTransmit_clicked(bool)",
    "on_ckbP2pSnepTransmitAutoTransmit_clicked(bool)", "on_btnCeConfigure_clicked()",
    "on_btnRwNdefCheckTag_clicked()", "on_btnRwLegacyCheckTag_clicked()", "on_btnRwMifareStandardCheckTag_clicked()",
    "on_btnSeAddRoutingEntry_clicked()", "on_cboSeRoutingType_currentIndexChanged(int)",
    "on_btnSeDeleteRoutingEntry_clicked()", "on_btnCeNdefModifySave_clicked()", "on_btnCeNdefModifyLoad_clicked()",
    "on_ckbRwIso14443A_clicked(bool)", "on_ckbRwIso14443B_clicked(bool)",
    "on_btnCeNdefModifyMimeSelectImage_clicked()", "on_ckbCeIso14443A_clicked(bool)",
    "on_ckbCeIso14443B_clicked(bool)", "on_cboSeRoutingTableType_currentIndexChanged(int)",
    "on_btnSeWakeUp_clicked()", "on_cboSeCommand_currentIndexChanged(int)",
    "on_cboIoCommand_currentIndexChanged(int)", "on_ckbCeFelica_clicked(bool)",
};

QStringList windowSlots() {
    QStringList names;
    const QMetaObject& meta = CLumaro::staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        if (meta.method(i).methodType() == QMetaMethod::Slot) names << QString::fromLatin1(meta.method(i).methodSignature());
    return names;
}

char* newText(const QByteArray& text) {
    char* copy = new char[text.size() + 1];
    memcpy(copy, text.constData(), static_cast<size_t>(text.size()) + 1);
    return copy;
}

// The widget's own state, whatever its page's.
bool ownEnabled(const QWidget* widget) { return !widget->testAttribute(Qt::WA_ForceDisabled); }

TNfcTagInfo tagOfType(DWORD type, DWORD ndefLength = 0, DWORD ndefMaxSize = 0) {
    TNfcTagInfo tag{};
    tag.tagType = type;
    tag.ndefLength = ndefLength;
    tag.ndefMaxSize = ndefMaxSize;
    return tag;
}

} // namespace

class WindowTest : public CLumaroTest {
    Q_OBJECT

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        destroyWindow();
        removeIni();
    }

    // ---- Construction ----

    void constructionShowsSevenTabsAndHidesTheUnusedWidgets() {
        createWindow();
        Ui_CLumaro* ui = form();
        QCOMPARE(window->windowTitle(), QStringLiteral("Marveld Lumaro (version 1.0.153.5)"));
        QCOMPARE(ui->tabInteraction->count(), 7);
        QCOMPARE(ui->tabInteraction->indexOf(ui->pagIo), -1);
        QCOMPARE(ui->tabInteraction->indexOf(ui->pagEmbeddedSe), -1);
        QCOMPARE(ui->tabInteraction->currentIndex(), 0);
        for (QWidget* hidden : {static_cast<QWidget*>(ui->gboSe), static_cast<QWidget*>(ui->btnIoSendRaw),
                                static_cast<QWidget*>(ui->btnRwNdefWriteVcardSave),
                                static_cast<QWidget*>(ui->btnRwNdefWriteVcardLoad)})
            QVERIFY2(hidden->isHidden(), qPrintable(hidden->objectName()));
        QVERIFY(!ui->lblImageMarveld->pixmap().isNull());
        QVERIFY(!ui->lblImageOem->pixmap().isNull());
    }

    void slotsComeInTheirOrderAndEachNamesAnExistingWidget() {
        QStringList expected;
        for (const char* slot : kSlots) expected << QString::fromLatin1(slot);
        QCOMPARE(windowSlots(), expected);
        createWindow();
        for (const QString& slot : expected) {
            if (!slot.startsWith(QLatin1String("on_"))) continue;
            const int split = slot.lastIndexOf(QLatin1Char('_'), slot.indexOf(QLatin1Char('(')));
            const QString object = slot.mid(3, split - 3);
            const QString signal = slot.mid(split + 1);
            auto* widget = window->findChild<QObject*>(object);
            QVERIFY2(widget, qPrintable(slot));
            QVERIFY2(widget->metaObject()->indexOfSignal(QMetaObject::normalizedSignature(qPrintable(signal))) >= 0,
                     qPrintable(slot));
        }
    }

    // ---- Log and status ----

    // A source name that leaves no room for the text still gives a line that ends in "..."
    // within the buffer.
    void postedTraceIsCutToTheLineBuffer_data() {
        QTest::addColumn<int>("sourceLength");
        QTest::addColumn<int>("total");   // source, ": " and text
        QTest::addColumn<bool>("cut");
        QTest::newRow("483") << 22 << 483 << false;
        QTest::newRow("484") << 22 << 484 << false;
        QTest::newRow("485") << 22 << 485 << true;
        QTest::newRow("very long") << 22 << 5000 << true;
        QTest::newRow("source 479") << 479 << 600 << true;
        QTest::newRow("source 480") << 480 << 600 << true;
        QTest::newRow("source 481") << 481 << 600 << true;
        QTest::newRow("source 482") << 482 << 600 << true;
        QTest::newRow("source 482, no text") << 482 << 484 << false;
    }
    void postedTraceIsCutToTheLineBuffer() {
        QFETCH(int, sourceLength);
        QFETCH(int, total);
        QFETCH(bool, cut);
        createWindow();
        const QByteArray source = QByteArray("CNfcInstance::nfcStart").leftJustified(sourceLength, 's');
        const QByteArray text(total - source.size() - 2, 'x');
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handlePostTrace", Q_ARG(DWORD, 4),
                                          Q_ARG(const char*, source.constData()), Q_ARG(char*, newText(text))));
        const QString whole = QString::fromLatin1(source + ": " + text);
        QCOMPARE(lastLogLine(), cut ? whole.left(481) + QStringLiteral("...") : whole);
    }

    void stringTraceIsCutTo482CharactersAndDots() {
        createWindow();
        const QString text(486, QLatin1Char('y'));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handlePostTrace", Q_ARG(DWORD, 4), Q_ARG(QString, text)));
        QCOMPARE(lastLogLine(), text.left(482) + QStringLiteral("..."));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handlePostTrace", Q_ARG(DWORD, 4),
                                          Q_ARG(QString, text.left(485))));
        QCOMPARE(lastLogLine(), text.left(485));
    }

    void levelsColourTheLinesAndLevelOneKeepsTheLast() {
        createWindow();
        logViewOf()->clear();
        const DWORD levels[] = {4, 2, 1, 3, 1, 5};
        const char* colours[] = {"white", "red", "red", "orange", "orange", "white"};
        for (DWORD level : levels)
            QVERIFY(QMetaObject::invokeMethod(window.get(), "trace", Q_ARG(DWORD, level),
                                              Q_ARG(const char*, "<b>tag</b> data")));
        for (int line = 0; line < 6; ++line)
            QCOMPARE(logBackground(line), QColor(QLatin1String(colours[line])));
        // Tag data is shown as it came, never read as markup.
        QCOMPARE(lastLogLine(), QStringLiteral("<b>tag</b> data"));
    }

    void pageLogsTakeTheLineAndASeparator() {
        createWindow();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handleMfMessage", Q_ARG(QString, QStringLiteral("<i>A</i>"))));
        QCOMPARE(form()->tedRwMifareStandardLog->toPlainText(),
                 QStringLiteral("<i>A</i>\n") + QString(152, QLatin1Char('-')));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handleCeMessage", Q_ARG(QString, QStringLiteral("B"))));
        QCOMPARE(form()->tedCeLog->toPlainText(), QStringLiteral("B\n") + QString(160, QLatin1Char('-')));
        QCOMPARE(lastLogLine(), QStringLiteral("B"));
    }

    void operationPatternReportsItsSteps() {
        createWindow();
        QPushButton* button = form()->btnRwNdefRead;
        const NfcApiStatus refused = runOperation("CLumaro::test", QStringLiteral("RW: Read"), {button},
                                                  "! Reading failed", [] { return 0u; });
        QCOMPARE(refused, NfcApiStatus{1});
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Read  FAIL"));
        QVERIFY(logged(QStringLiteral("CLumaro::test: ! NFC instance not found")));
        QVERIFY(ownEnabled(button));
        giveWindowStartedInstance();
        const NfcApiStatus failed = runOperation("CLumaro::test", QStringLiteral("RW: Read"), {button},
                                                 "! Reading failed", [button] { return ownEnabled(button) ? 0u : 7u; });
        QCOMPARE(failed, NfcApiStatus{7});
        QVERIFY(logged(QStringLiteral("CLumaro::test: ! Reading failed (code: 7)")));
        QCOMPARE(lastLogLine(), QStringLiteral("CLumaro::test: Exit (status: 7)"));
        QCOMPARE(form()->lblStatus->styleSheet(), QStringLiteral("QLabel {background-color: red}"));
    }

    // Each status is painted in its colour: Qt 6 ignores a colour whose text says rgb but gives four
    // values, so the label stayed grey for "information" and "OK".
    void statusLooksArePainted_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("information") << int(CLumaro::statusInformation) << QColor(0, 170, 255);
        QTest::newRow("OK") << int(CLumaro::statusOk) << QColor(20, 250, 5);
        QTest::newRow("DUE") << int(CLumaro::statusDue) << QColor(Qt::yellow);
        QTest::newRow("FAIL") << int(CLumaro::statusFail) << QColor(Qt::red);
    }
    void statusLooksArePainted() {
        QFETCH(int, state);
        QFETCH(QColor, colour);
        createWindow();
        setStatus(state, QStringLiteral("RW"));
        QLabel* label = form()->lblStatus;
        const QImage image = label->grab().toImage();
        QCOMPARE(image.pixelColor(image.width() - 2, image.height() / 2).rgb(), colour.rgb());
    }

    // ---- Mode-wise widget states ----

    void enableUiChoosesThePageAndButtons_data() {
        QTest::addColumn<DWORD>("mode");
        QTest::addColumn<DWORD>("type");
        QTest::addColumn<int>("tab");
        QTest::addColumn<QString>("enabled");    // widgets that end enabled
        QTest::addColumn<QString>("disabled");   // widgets that end disabled
        const DWORD rw = CLumaro::modeRw;
        QTest::newRow("NDEF Type 2") << rw << DWORD{0x80000040} << 1 << "pagRwNdef btnRwNdefFormat btnRwLegacyFormatNdef"
                                     << "pagRwLegacy pagRwMifareStd btnRwNdefErase btnRwLegacyErase";
        QTest::newRow("NDEF Type 4") << rw << DWORD{0x80000004} << 1 << "pagRwNdef btnRwNdefErase btnRwLegacyErase"
                                     << "pagRwLegacy pagRwMifareStd";
        QTest::newRow("MIFARE Classic") << rw << DWORD{0x10} << 3 << "pagRwMifareStd" << "pagRwNdef pagRwLegacy";
        QTest::newRow("legacy 0x40") << rw << DWORD{0x40} << 2 << "pagRwLegacy btnRwNdefFormat btnRwLegacyFormatNdef"
                                     << "pagRwNdef pagRwMifareStd btnRwNdefErase btnRwLegacyErase";
        QTest::newRow("legacy 0x84") << rw << DWORD{0x84} << 2
                                     << "pagRwLegacy btnRwNdefFormat btnRwLegacyFormatNdef btnRwNdefErase btnRwLegacyErase"
                                     << "pagRwNdef pagRwMifareStd";
        QTest::newRow("legacy 0x2") << rw << DWORD{0x2} << 2 << "pagRwLegacy"
                                    << "btnRwNdefFormat btnRwLegacyFormatNdef btnRwNdefErase btnRwLegacyErase";
        QTest::newRow("P2P") << DWORD{CLumaro::modeP2p} << DWORD{0x1000} << 4
                             << "pagP2pSnep gboP2pSnepTransmit btnP2pConnect1 btnP2pConnect2" << "";
        QTest::newRow("CE") << DWORD{CLumaro::modeCe} << DWORD{0x100000} << 5 << "pagCeNdefIso14443ABFelica" << "";
        // The SE page is not offered: no page is selected in its place (index 6 is the log page).
        QTest::newRow("SE") << DWORD{CLumaro::modeSe} << DWORD{0x20000} << 0 << "pagEmbeddedSe" << "";
    }
    void enableUiChoosesThePageAndButtons() {
        QFETCH(DWORD, mode);
        QFETCH(DWORD, type);
        QFETCH(int, tab);
        QFETCH(QString, enabled);
        QFETCH(QString, disabled);
        createWindow();
        currentModeOf() = mode;
        // Start from the opposite of every expectation.
        const QStringList on = enabled.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QStringList off = disabled.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString& name : on) window->findChild<QWidget*>(name)->setEnabled(false);
        for (const QString& name : off) window->findChild<QWidget*>(name)->setEnabled(true);
        const TNfcTagInfo tag = tagOfType(type, 12, 137);
        enableUi(mode, &tag);
        for (const QString& name : on) QVERIFY2(ownEnabled(window->findChild<QWidget*>(name)), qPrintable(name));
        for (const QString& name : off) QVERIFY2(!ownEnabled(window->findChild<QWidget*>(name)), qPrintable(name));
        QCOMPARE(form()->tabInteraction->currentIndex(), tab);
        if (type & 0x80000000u) QCOMPARE(form()->ledNdefSize->text(), QStringLiteral("12 of 137"));
    }

    void unknownModeIsReported() {
        createWindow();
        form()->tabInteraction->setCurrentIndex(2);
        disableUi(0x2);
        QCOMPARE(lastLogLine(), QStringLiteral("CLumaro::disableUi: ! Operation mode not recognized"));
        QCOMPARE(form()->tabInteraction->currentIndex(), 2);
        lockUi(0x2);
        QCOMPARE(lastLogLine(), QStringLiteral("CLumaro::lockUi: ! Operation mode not recognized"));
    }

    // ---- Settings file ----

    void firstRunWithoutFileUsesDefaults() {
        createWindow();
        QVERIFY(settingsOf());
        QVERIFY(logged(QStringLiteral("CLumaro::loadParameters: SnepMIU parameter not found, using default (2048)")));
        QVERIFY(!logged(QStringLiteral("CLumaro::CLumaro: Global trace flags not set")));
        QCOMPARE(snepMiuOf(), WORD{2048});
        // The two dialogs' first-run keys exist, and the window starts from the default preset.
        QCOMPARE(nfcFlagsOf(), DWORD{0xF8EFF9F7});
        QCOMPARE(l1FlagsOf(), DWORD{0x00050030});
        destroyWindow();
        QSettings stored(iniPath(), QSettings::IniFormat);
        QVERIFY(stored.contains(QStringLiteral("maindialog_geometry/geometry")));
        QVERIFY(stored.value(QStringLiteral("TraceFlagsSet")).toBool());
        QVERIFY(stored.value(QStringLiteral("CapabilityContainerSet")).toBool());
        QCOMPARE(stored.value(QStringLiteral("CardEmulationConfiguration/FelicaChecksumLow")).toString(),
                 QStringLiteral("12"));
    }

    void traceOpensTheDialogAndItsCloseSetsTheRunningWords() {
        createWindow();
        giveWindowStartedInstance();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnTrace_clicked"));
        QVERIFY(!form()->btnTrace->isEnabled());
        QWidget* dialog = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->inherits("CNfcTraceFlags") && top->isVisible()) dialog = top;
        QVERIFY(dialog);
        QVERIFY(dialog->isModal());
        QPointer<QWidget> watched(dialog);
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnClearAll")), Qt::LeftButton);
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnClose")), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(watched.isNull(), kDeliveryTimeoutMs);
        QVERIFY(ownEnabled(form()->btnTrace));
        QCOMPARE(nfcFlagsOf(), DWORD{0});
        QCOMPARE(l1FlagsOf(), DWORD{0});
        QCOMPARE(fake().lastCall("debugSetFlags").arguments, std::vector<std::string>{"0"});
        QCOMPARE(fake().lastCall("debugSetL1Flags").arguments, std::vector<std::string>{"0"});
    }

    void unreadableOrMalformedFileIsReported_data() {
        QTest::addColumn<QByteArray>("content");   // empty: a folder stands where the file goes
        QTest::addColumn<QString>("error");
        QTest::newRow("folder") << QByteArray() << "! Access error on configuration file";
        QTest::newRow("malformed") << QByteArray("[NfcParameters\nSnepMIU=\"4\n") << "! Malformed INI file detected";
    }
    void unreadableOrMalformedFileIsReported() {
        QFETCH(QByteArray, content);
        QFETCH(QString, error);
        if (content.isEmpty())
            QVERIFY(QDir().mkpath(iniPath()));
        else
            writeIni(content);
        createWindow();
        QVERIFY(logged(QStringLiteral("CLumaro::loadSettings: ") + error));
        QVERIFY(logged(QStringLiteral("CLumaro::CLumaro: Global trace flags not set")));
        QVERIFY(!logged(QStringLiteral("CLumaro::loadParameters: SnepMIU parameter not found, using default (2048)")));
    }

    void snepMiuMustFitSixteenBits_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("miu");
        QTest::addColumn<bool>("found");
        QTest::newRow("1") << QByteArray("1") << 1 << true;
        QTest::newRow("128") << QByteArray("128") << 128 << true;
        QTest::newRow("65535") << QByteArray("65535") << 65535 << true;
        QTest::newRow("0") << QByteArray("0") << 2048 << false;
        QTest::newRow("65536") << QByteArray("65536") << 2048 << false;
        QTest::newRow("65537") << QByteArray("65537") << 2048 << false;
        QTest::newRow("70000") << QByteArray("70000") << 2048 << false;
        QTest::newRow("abc") << QByteArray("abc") << 2048 << false;
        QTest::newRow("-1") << QByteArray("-1") << 2048 << false;
    }
    void snepMiuMustFitSixteenBits() {
        QFETCH(QByteArray, value);
        QFETCH(int, miu);
        QFETCH(bool, found);
        writeIni("[NfcParameters]\nSnepMIU=" + value + "\n");
        createWindow();
        QCOMPARE(int{snepMiuOf()}, miu);
        const QString line = found ? QStringLiteral("CLumaro::loadParameters: SnepMIU parameter (%1) found").arg(miu)
                                   : QStringLiteral("CLumaro::loadParameters: SnepMIU parameter not found, using "
                                                    "default (2048)");
        QVERIFY2(logged(line), qPrintable(logLines().join(QLatin1Char('\n'))));
    }

    void traceFlagNamesSetTheirBits_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<DWORD>("nfc");
        QTest::addColumn<DWORD>("l1");
        QTest::newRow("first NFC") << "BrisgardInitialization" << DWORD{0x1} << DWORD{0};
        QTest::newRow("NfcManLlTimer") << "NfcManLlTimer" << DWORD{0x400} << DWORD{0};
        QTest::newRow("LlcGeneral") << "LlcGeneral" << DWORD{0x200000} << DWORD{0};
        QTest::newRow("last NFC") << "ChipLevel4" << DWORD{0x80000000} << DWORD{0};
        QTest::newRow("first L1") << "L1Work" << DWORD{0} << DWORD{0x1};
        QTest::newRow("Emulation") << "Emulation" << DWORD{0} << DWORD{0x1000000};
        QTest::newRow("EmulationErrors") << "EmulationErrors" << DWORD{0} << DWORD{0x2000000};
        QTest::newRow("last L1") << "L1DumpFrame" << DWORD{0} << DWORD{0x80000000};
        QTest::newRow("unknown name") << "Everything" << DWORD{0} << DWORD{0};
        QTest::newRow("all") << "*" << DWORD{0xFDEFFDFF} << DWORD{0x93770031};
    }
    void traceFlagNamesSetTheirBits() {
        QFETCH(QString, name);
        QFETCH(DWORD, nfc);
        QFETCH(DWORD, l1);
        const QStringList all = {
            "BrisgardInitialization", "BrisgardWorkflow", "BrisgardErrors", "NfcMemoryAllocation", "TagHandler",
            "TagHandlerVerbose", "Ip1", "NfcApiMessages", "ApiEntry", "NfcManLlTimer", "NfcManager", "DumpTxApiData",
            "DumpRxApiData", "Snep", "Handover", "LlcpProtocol", "LlcpMessages", "LlcpData", "LlcpLlcAction",
            "LlcGeneral", "TransactionDump", "LlcpSym", "ApiWorkflow", "P2pWork", "Ndef", "ChipLevel1", "ChipLevel2",
            "ChipLevel3", "ChipLevel4", "L1Work", "L1ComApi", "L1Errors", "ComApiCall", "Workflow", "Errors",
            "ShdlcProtocol", "ShdlcVerbose", "ShdlcDump", "Emulation", "EmulationErrors", "L1Verbose", "L1DumpFrame"};
        QCOMPARE(all.size(), 42);
        QByteArray content = "TraceFlagsSet=true\n[TraceFlags]\n";
        for (const QString& flag : name == QLatin1String("*") ? all : QStringList{name})
            content += "Current\\" + flag.toLatin1() + "=true\nDefault\\" + flag.toLatin1() + "=false\n";
        content += "Default\\ChipLevel1=true\n";   // only the current preset counts
        writeIni(content);
        createWindow();
        QCOMPARE(nfcFlagsOf(), nfc);
        QCOMPARE(l1FlagsOf(), l1);
        QVERIFY(!logged(QStringLiteral("CLumaro::CLumaro: Global trace flags not set")));
    }

    void windowClosedMaximisedKeepsTheStoredPlace() {
        createWindow();
        window->resize(1200, 700);
        window->move(40, 30);
        destroyWindow();
        createWindow();
        QCOMPARE(window->size(), QSize(1200, 700));
        window->showMaximized();
        QVERIFY(window->isMaximized());
        destroyWindow();
        QSettings stored(iniPath(), QSettings::IniFormat);
        QCOMPARE(stored.value(QStringLiteral("maindialog_geometry/maximized")).toBool(), true);
        QCOMPARE(stored.value(QStringLiteral("maindialog_geometry/size")).toSize(), QSize(1200, 700));
        QCOMPARE(stored.value(QStringLiteral("maindialog_geometry/pos")).toPoint(), QPoint(40, 30));
    }

    void storedConfigurationIsSelected_data() {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("selected");
        QTest::newRow("second") << 1 << 1;
        QTest::newRow("beyond the list") << 5 << 0;
        QTest::newRow("negative") << -1 << 0;
    }
    void storedConfigurationIsSelected() {
        QFETCH(int, stored);
        QFETCH(int, selected);
        writeIni("CurrentConfiguration=" + QByteArray::number(stored) +
                 "\n[ControllerConfiguration]\nalpha=READERTYPE=NCI\nbeta=READERTYPE=NCI\nc=x\n");
        createWindow();
        QCOMPARE(form()->cboControllerConfiguration->count(), 3);
        QCOMPARE(form()->cboControllerConfiguration->currentIndex(), selected);
        QCOMPARE(settingsOf()->value(QStringLiteral("CurrentConfiguration")).toInt(), selected);
        form()->cboControllerConfiguration->setCurrentIndex(2);
        QCOMPARE(settingsOf()->value(QStringLiteral("CurrentConfiguration")).toInt(), 2);
        // A finished configuration dialog reloads the list and keeps the choice.
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handleNfcConfigurationFinished"));
        QCOMPARE(form()->cboControllerConfiguration->currentIndex(), 2);
        QVERIFY(ownEnabled(form()->btnConfigure));
    }

    void closedTraceFlagsDialogSetsTheMasks() {
        createWindow();
        form()->btnTrace->setEnabled(false);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handleDialogTraceFlagsClosed",
                                          Q_ARG(QString, QStringLiteral("8000000F")), Q_ARG(QString, QStringLiteral("30"))));
        QCOMPARE(nfcFlagsOf(), DWORD{0x8000000F});
        QCOMPARE(l1FlagsOf(), DWORD{0x30});
        QVERIFY(ownEnabled(form()->btnTrace));
        giveWindowStartedInstance();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handleDialogTraceFlagsClosed",
                                          Q_ARG(QString, QStringLiteral("1")), Q_ARG(QString, QStringLiteral("2"))));
        QVERIFY(logged(QStringLiteral(
            "CLumaro::nfcSetTraceFlags: Changing trace flags (nfcFlags: 0x00000001 l1Flags: 0x00000002)")));
        QCOMPARE(fake().lastCall("debugSetFlags").arguments, std::vector<std::string>{"1"});
        QCOMPARE(fake().lastCall("debugSetL1Flags").arguments, std::vector<std::string>{"2"});
    }

    void dialogButtonsWithoutSettingsSayWhy() {
        QVERIFY(QDir().mkpath(iniPath()));
        createWindow();
        delete settingsOf();
        settingsOf() = nullptr;
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnTrace_clicked"));
        QCOMPARE(lastLogLine(), QStringLiteral("CLumaro::on_btnTrace_clicked: ! Failed to load INI file"));
        QVERIFY(ownEnabled(form()->btnTrace));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnConfigure_clicked"));
        QCOMPARE(lastLogLine(), QStringLiteral("CLumaro::on_btnConfigure_clicked: ! Failed to load INI file"));
        QVERIFY(ownEnabled(form()->btnConfigure));
    }

    // ---- The SE wake-up ----

    void wakeUpNeedsARunningInstance() {
        createWindow();
        markCalls();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnSeWakeUp_clicked"));
        QVERIFY(callsSinceMark().empty());
        giveWindowStartedInstance();
        markCalls();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnSeWakeUp_clicked"));
        const FakeCall call = fake().lastCall("nfcDeviceIoControl");
        QCOMPARE(call.name, std::string("nfcDeviceIoControl"));
        QCOMPARE(call.arguments.at(1), std::to_string(0x110A));
        QCOMPARE(call.buffer, std::vector<uint8_t>{0x01});
        QCOMPARE(callsSinceMark().size(), size_t{1});
    }

    void clearingAndResettingRestoreTheLabels() {
        createWindow();
        form()->lblP2pSessionStatus1->setText(QStringLiteral("Connected"));
        form()->lblP2pRxBytes2->setText(QStringLiteral("12"));
        form()->ledDeviceId->setText(QStringLiteral("04A1"));
        currentModeOf() = CLumaro::modeP2p;
        clearUi(CLumaro::modeP2p);
        QCOMPARE(form()->lblP2pSessionStatus1->text(), QStringLiteral("Not connected"));
        QCOMPARE(form()->lblP2pRxBytes2->text(), QString());
        QCOMPARE(form()->ledDeviceId->text(), QString());
        form()->ckbSeSlot2->setText(QStringLiteral("SE 2: eSE"));
        form()->ckbSeSlot2->setEnabled(true);
        resetStatusLabels();
        QCOMPARE(form()->ckbSeSlot2->text(), QStringLiteral("Slot 2"));
        QVERIFY(!ownEnabled(form()->ckbSeSlot2));
        QCOMPARE(form()->lblP2pListenerStatus2->text(), QStringLiteral("Not started"));
        QVERIFY(ownEnabled(form()->btnP2pStartListener1));
        QVERIFY(!ownEnabled(form()->btnP2pTransmit2));
    }

    void tagControlsFollowTheTagType_data() {
        QTest::addColumn<DWORD>("tagType");
        QTest::addColumn<QString>("disabled");   // of the enabled tag controls
        QTest::newRow("Type 4") << DWORD{0x4} << "";
        QTest::newRow("0x40") << DWORD{0x40} << "btnRwNdefErase btnRwLegacyErase";
        QTest::newRow("0x1") << DWORD{0x1} << "btnRwNdefErase btnRwLegacyErase btnRwLegacyFormatNdef";
        QTest::newRow("0x2") << DWORD{0x2} << "btnRwNdefErase btnRwLegacyErase btnRwLegacyFormatNdef";
    }
    void tagControlsFollowTheTagType() {
        QFETCH(DWORD, tagType);
        QFETCH(QString, disabled);
        createWindow();
        currentTagTypeOf() = tagType;
        enableTagControls(CLumaro::modeRw, true);
        const QStringList off = disabled.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const char* name : {"btnRwNdefErase", "btnRwLegacyErase", "btnRwLegacyFormatNdef", "btnRwNdefRead",
                                 "btnRwMifareStandardWrite"}) {
            const bool expected = !off.contains(QLatin1String(name));
            QVERIFY2(ownEnabled(window->findChild<QWidget*>(QLatin1String(name))) == expected, name);
        }
        enableTagControls(CLumaro::modeRw, false);
        QVERIFY(!ownEnabled(form()->btnRwNdefRead));
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
