// The I/O page on the fake library: sending a typed PDU and the stored list of named PDUs.
#include "window_fixture.h"

#include <QMessageBox>

class IoTest : public CLumaroTest {
    Q_OBJECT

    void click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
    void save(const QString& description, const QString& pdu) {
        form()->ledIoDescription->setText(description);
        form()->ledIoPdu->setText(pdu);
        click(form()->btnIoSavePdu);
    }
    QStringList comboTexts() const { return itemsOf(form()->cboIoCommand); }
    QStringList storedKeys() const { return CLumaroTest::storedKeys("IoCommand"); }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        destroyWindow();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    void sentPduReachesTheLibraryAndThePageLog() {
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        createWindow();
        click(form()->btnStartNfc);
        QVERIFY(form()->btnIoSendPdu->isEnabled());
        form()->ledIoPdu->setText(QStringLiteral("0x01 0A ff"));
        markCalls();
        click(form()->btnIoSendPdu);
        std::vector<FakeCall> calls;
        for (const FakeCall& call : callsSinceMark())
            if (call.name == "nfcDeviceIoControl") calls.push_back(call);
        QCOMPARE(calls.size(), size_t{1});
        QCOMPARE(calls[0].arguments.at(1), std::to_string(0x1300));
        QCOMPARE(calls[0].buffer, (std::vector<uint8_t>{0x01, 0x0A, 0xFF}));
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("I/O: Send PDU  OK"));
        QVERIFY(form()->tedIoLog->toPlainText().endsWith(QLatin1Char('\n') + QString(160, QLatin1Char('-'))));
        QVERIFY(form()->btnIoSendRaw->isEnabled());
    }

    void badPduFailsWithoutALibraryCall() {
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        createWindow();
        click(form()->btnStartNfc);
        form()->ledIoPdu->setText(QStringLiteral("0G"));
        markCalls();
        QMetaObject::invokeMethod(window.get(), "on_btnIoSendRaw_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("I/O: Send PDU  FAIL"));
        QVERIFY(logged(QStringLiteral("CLumaro::ioSendRaw: ! I/O-Control failed (code: 1)")));
        for (const FakeCall& call : callsSinceMark()) QVERIFY(call.name != "nfcDeviceIoControl");
    }

    void sendWithoutNfcFails() {
        createWindow();
        QMetaObject::invokeMethod(window.get(), "on_btnIoSendPdu_clicked");
        QVERIFY(logged(QStringLiteral("CLumaro::ioSendPdu: ! NFC instance not found")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("I/O: Send PDU  FAIL"));
    }

    void storedListKeepsCaseRefusesSeparatorsAndDeletes() {
        createWindow();
        save(QStringLiteral("a"), QStringLiteral("01"));
        save(QStringLiteral("A"), QStringLiteral("02"));
        QCOMPARE(comboTexts(), (QStringList{QStringLiteral("a"), QStringLiteral("A")}));
        for (const char* bad : {"/", "a/b", "c\\d"}) {
            closeNextModalBox();
            save(QLatin1String(bad), QStringLiteral("03"));
            QCOMPARE(comboTexts().size(), 2);
        }
        closeNextModalBox();
        save(QStringLiteral("a"), QStringLiteral("04"));   // already used
        settingsOf()->sync();
        QCOMPARE(storedKeys().size(), 2);
        form()->cboIoCommand->setCurrentIndex(0);
        click(form()->btnIoDeletePdu);
        QCOMPARE(comboTexts(), QStringList{QStringLiteral("A")});
        QCOMPARE(form()->ledIoPdu->text(), QStringLiteral("02"));
        settingsOf()->sync();
        QCOMPARE(storedKeys(), QStringList{QStringLiteral("A")});
        click(form()->btnIoDeletePdu);
        QCOMPARE(form()->cboIoCommand->count(), 0);
        click(form()->btnIoDeletePdu);   // nothing left: nothing happens
        settingsOf()->sync();
        QVERIFY(storedKeys().isEmpty());
    }

    void storedListLoadsInReverse() {
        writeIni("[IoCommand]\nsecond=02\nfirst=01\nthird=03\n");
        createWindow();
        QStringList expected = storedKeys();
        std::reverse(expected.begin(), expected.end());
        QCOMPARE(comboTexts(), expected);
        QCOMPARE(form()->cboIoCommand->currentIndex(), 0);
        QCOMPARE(form()->ledIoDescription->text(), expected.first());
        QCOMPARE(form()->ledIoPdu->text(), form()->cboIoCommand->itemData(0).toString());
    }

    void emptyListLoadsNothing() {
        writeIni("[IoCommand]\n");
        createWindow();
        QCOMPARE(form()->cboIoCommand->count(), 0);
        QVERIFY(form()->ledIoPdu->text().isEmpty());
    }
};

QTEST_MAIN(IoTest)
#include "io_test.moc"
