// The legacy page on the fake library: PDUs typed as hex text reach the tag, their exchange
// lands in the page's log, and PDUs are stored by description in the "LegacyCommand" group.
#include "window_fixture.h"

namespace {

const QString kSeparator = QString(160, QLatin1Char('-'));

} // namespace

class LegacyTest : public CLumaroTest {
    Q_OBJECT

    // NFC started on the fake with the RW listener, so the page's log is wired.
    void startWith(const QByteArray& storedCommands = QByteArray()) {
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n" + storedCommands);
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY(instanceOf());
        QTest::mouseClick(form()->btnRwStart, Qt::LeftButton);
        QVERIFY(form()->btnRwStop->isEnabled());
    }
    void save(const QString& description, const QString& pdu) {
        form()->ledRwLegacyDescription->setText(description);
        form()->ledRwLegacyPdu->setText(pdu);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwLegacySavePdu_clicked"));
    }
    void exchange(const QString& pdu) {
        form()->ledRwLegacyPdu->setText(pdu);
        markCalls();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwLegacyExchangePdu_clicked"));
    }
    std::vector<std::vector<uint8_t>> sentPdus() const {
        std::vector<std::vector<uint8_t>> sent;
        for (const FakeCall& call : callsSinceMark())
            if (call.name == "nfcExchangePdu") sent.push_back(call.buffer);
        return sent;
    }
    static QSettings stored() { return QSettings(iniPath(), QSettings::IniFormat); }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() { destroyWindow(); }

    void aSavedPduKeepsItsTextAndIsSentAsItsBytes() {
        startWith();
        save(QStringLiteral("Read 0"), QStringLiteral("30 00"));
        settingsOf()->sync();
        QCOMPARE(stored().value(QStringLiteral("LegacyCommand/Read 0")).toString(), QStringLiteral("30 00"));
        QCOMPARE(form()->cboRwLegacyCommand->currentIndex(), 0);
        QCOMPARE(form()->cboRwLegacyCommand->currentText(), QStringLiteral("Read 0"));

        fake().queueAnswer("nfcExchangePdu", {0x04, 0xA1, 0xB2, 0xC3});
        exchange(form()->ledRwLegacyPdu->text());
        QCOMPARE(sentPdus(), (std::vector<std::vector<uint8_t>>{{0x30, 0x00}}));
        const QString log = form()->tedRwLegacyLog->toPlainText();
        QVERIFY2(log.contains(QStringLiteral("Received PDU size: 4 bytes")), qPrintable(log));
        QVERIFY(log.endsWith(QLatin1Char('\n') + kSeparator));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Exchange PDU  OK"));
        // The page's log is written inside the operation, before its last line.
        const QStringList lines = logLines();
        const qsizetype exit = lines.indexOf(QStringLiteral("CLumaro::legacyExchangePdu: Exit (status: 0)"));
        const auto received = std::find_if(lines.begin(), lines.end(),
                                           [](const QString& line) { return line.contains("Transmitted PDU size"); });
        QVERIFY2(received != lines.end() && received - lines.begin() < exit, qPrintable(lines.join('\n')));
    }

    void prefixedAndBlankTextIsSentAsBytes_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("prefix") << "0x3000";
        QTest::newRow("prefixes and blanks") << "0x30 0x00";
    }
    void prefixedAndBlankTextIsSentAsBytes() {
        QFETCH(QString, text);
        startWith();
        exchange(text);
        QCOMPARE(sentPdus(), (std::vector<std::vector<uint8_t>>{{0x30, 0x00}}));
    }

    void textThatIsNoPduIsRefusedAndLeavesThePageLogAlone_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("blanks only") << "  ";
        QTest::newRow("odd") << "30 0";
        QTest::newRow("no hex") << "zz";
    }
    void textThatIsNoPduIsRefusedAndLeavesThePageLogAlone() {
        QFETCH(QString, text);
        startWith();
        exchange(text);
        QVERIFY(sentPdus().empty());
        QVERIFY(form()->tedRwLegacyLog->toPlainText().isEmpty());
        QVERIFY2(logged(QStringLiteral("CLumaro::legacyExchangePdu: ! Exchanging data failed (code: 1)")),
                 qPrintable(logLines().join('\n')));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Exchange PDU  FAIL"));
        QVERIFY(!form()->btnRwLegacyExchangePdu->testAttribute(Qt::WA_ForceDisabled));
    }

    void withoutInstanceTheExchangeFails() {
        createWindow();
        QVERIFY(!instanceOf());
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwLegacyExchangePdu_clicked"));
        QVERIFY(logged(QStringLiteral("CLumaro::legacyExchangePdu: ! NFC instance not found")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Exchange PDU  FAIL"));
    }

    // No check for a name in use: the value is overwritten and the box gets a second item.
    void aNameSavedTwiceGivesTwoItemsAndDeletingOneEmptiesTheOther() {
        startWith();
        save(QStringLiteral("Read 0"), QStringLiteral("30 00"));
        save(QStringLiteral("Read 0"), QStringLiteral("30 04"));
        QCOMPARE(itemsOf(form()->cboRwLegacyCommand), (QStringList{"Read 0", "Read 0"}));
        QCOMPARE(settingsOf()->value(QStringLiteral("LegacyCommand/Read 0")).toString(), QStringLiteral("30 04"));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwLegacyDeletePdu_clicked"));
        QVERIFY(!settingsOf()->contains(QStringLiteral("LegacyCommand/Read 0")));
        QCOMPARE(itemsOf(form()->cboRwLegacyCommand), QStringList{"Read 0"});
        QCOMPARE(form()->ledRwLegacyDescription->text(), QStringLiteral("Read 0"));
        QCOMPARE(form()->ledRwLegacyPdu->text(), QString());
    }

    void storedKeysAreListedInReverseWithNestedOnesAndTheFirstIsShown() {
        startWith("[LegacyCommand]\na=30 00\nb=30 04\nc=0x3008\nd\\e=30 0C\n");
        QCOMPARE(itemsOf(form()->cboRwLegacyCommand), (QStringList{"d/e", "c", "b", "a"}));
        QCOMPARE(form()->ledRwLegacyDescription->text(), QStringLiteral("d/e"));
        QCOMPARE(form()->ledRwLegacyPdu->text(), QStringLiteral("30 0C"));
        form()->cboRwLegacyCommand->setCurrentIndex(1);
        QCOMPARE(form()->ledRwLegacyDescription->text(), QStringLiteral("c"));
        QCOMPARE(form()->ledRwLegacyPdu->text(), QStringLiteral("0x3008"));
    }

    void aNestedNameIsStoredInItsSubgroupAndSurvivesARestart() {
        startWith();
        save(QStringLiteral("Type 2/Read 0"), QStringLiteral("30 00"));
        destroyWindow();
        QCOMPARE(stored().value(QStringLiteral("LegacyCommand/Type 2/Read 0")).toString(), QStringLiteral("30 00"));
        createWindow();
        QCOMPARE(itemsOf(form()->cboRwLegacyCommand), QStringList{"Type 2/Read 0"});
        QCOMPARE(form()->ledRwLegacyPdu->text(), QStringLiteral("30 00"));
    }

    // The settings remove a key with the keys below it: deleting "X" keeps "X/a".
    void deletingANameKeepsTheNamesBelowIt() {
        startWith("[LegacyCommand]\nX=30 00\nX\\a=30 04\nX\\a\\b=30 08\n");
        QCOMPARE(itemsOf(form()->cboRwLegacyCommand), (QStringList{"X/a/b", "X/a", "X"}));
        form()->cboRwLegacyCommand->setCurrentIndex(2);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwLegacyDeletePdu_clicked"));
        QCOMPARE(itemsOf(form()->cboRwLegacyCommand), (QStringList{"X/a/b", "X/a"}));
        destroyWindow();
        QSettings after = stored();
        after.beginGroup(QStringLiteral("LegacyCommand"));
        QCOMPARE(after.allKeys(), (QStringList{"X/a", "X/a/b"}));
        QCOMPARE(after.value(QStringLiteral("X/a")).toString(), QStringLiteral("30 04"));
        QCOMPARE(after.value(QStringLiteral("X/a/b")).toString(), QStringLiteral("30 08"));
    }

    // "LegacyCommand/" and "LegacyCommand//" name the whole group to the settings.
    void neitherAnEmptyBoxNorANameOfSeparatorsReachesTheGroup() {
        startWith("[LegacyCommand]\na=30 00\n");
        form()->cboRwLegacyCommand->clear();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwLegacyDeletePdu_clicked"));
        for (const char* name : {"", "/", "//", "\\"}) {
            save(QString::fromLatin1(name), QStringLiteral("30 04"));
            QCOMPARE(form()->cboRwLegacyCommand->count(), 0);
        }
        destroyWindow();
        QSettings after = stored();
        QCOMPARE(after.value(QStringLiteral("LegacyCommand/a")).toString(), QStringLiteral("30 00"));
        after.beginGroup(QStringLiteral("LegacyCommand"));
        QCOMPARE(after.allKeys(), QStringList{"a"});
    }
};

QTEST_MAIN(LegacyTest)
#include "legacy_test.moc"
