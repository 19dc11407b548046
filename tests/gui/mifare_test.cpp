// The MIFARE Classic page on the fake library: the block layout of each tag type, and the
// authentication, read and write commands that the page's text makes.
#include "window_fixture.h"

#include "mifarelayout.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kUid = {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};

} // namespace

class MifareTest : public CLumaroTest {
    Q_OBJECT

    // NFC started on the fake with the RW listener and a MIFARE Classic tag of this type.
    void startWithTag(DWORD tagType) {
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY(instanceOf());
        QTest::mouseClick(form()->btnRwStart, Qt::LeftButton);
        TNfcTagInfo tag{};
        tag.tagType = tagType;
        std::copy(kUid.begin(), kUid.end(), tag.uid);
        tag.uidLength = static_cast<WORD>(kUid.size());
        deliver(fakeEvent(FakeTarget::Application, nfcEventTagDetected, tag));
        QCOMPARE(instanceOf()->tagIdentifier().size(), qsizetype{7});
        currentTagTypeOf() = tagType;
    }
    void run(const char* slot) {
        markCalls();
        QVERIFY(QMetaObject::invokeMethod(window.get(), slot));
    }
    std::vector<Bytes> sentPdus() const {
        std::vector<Bytes> sent;
        for (const FakeCall& call : callsSinceMark())
            if (call.name == "nfcExchangePdu") sent.push_back(call.buffer);
        return sent;
    }
    QString sector() const { return form()->lblRwMifareStandardSector2->text(); }
    QString blockInSector() const { return form()->lblRwMifareStandardBlockOffset2->text(); }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() { destroyWindow(); }

    void blocksLieInTheirTagsSectors_data() {
        QTest::addColumn<uint>("tagType");
        QTest::addColumn<int>("block");
        QTest::addColumn<int>("sector");
        QTest::addColumn<int>("blockInSector");
        QTest::addColumn<bool>("supported");
        QTest::newRow("4K small sectors end") << uint{TAG_MIFARE_STD_4K} << 127 << 31 << 3 << true;
        QTest::newRow("4K first large sector") << uint{TAG_MIFARE_STD_4K} << 128 << 32 << 0 << true;
        QTest::newRow("4K large sector") << uint{TAG_MIFARE_STD_4K} << 200 << 36 << 8 << true;
        QTest::newRow("4K last block") << uint{TAG_MIFARE_STD_4K} << 255 << 39 << 15 << true;
        QTest::newRow("1K last block") << uint{TAG_MIFARE_STD_1K} << 63 << 15 << 3 << true;
        QTest::newRow("1K beyond") << uint{TAG_MIFARE_STD_1K} << 64 << 0 << 0 << true;
        QTest::newRow("Mini last block") << uint{TAG_MIFARE_S20} << 19 << 4 << 3 << true;
        QTest::newRow("Mini beyond") << uint{TAG_MIFARE_S20} << 20 << 0 << 0 << true;
        QTest::newRow("not MIFARE Classic") << uint{0x40} << 5 << 0 << 0 << false;
    }
    void blocksLieInTheirTagsSectors() {
        QFETCH(uint, tagType);
        QFETCH(int, block);
        QFETCH(int, sector);
        QFETCH(int, blockInSector);
        QFETCH(bool, supported);
        const TMifareLayout layout = mifareLayout(tagType, block);
        QCOMPARE(layout.sector, sector);
        QCOMPARE(layout.blockInSector, blockInSector);
        QCOMPARE(layout.supported, supported);
    }

    void theSpinBoxShowsSectorAndPlaceAndNamesAnUnsupportedTag() {
        createWindow();
        currentTagTypeOf() = TAG_MIFARE_STD_4K;
        form()->sboRwMifareStandardBlock->setValue(200);
        QCOMPARE(sector(), QStringLiteral("36"));
        QCOMPARE(blockInSector(), QStringLiteral("8"));
        currentTagTypeOf() = 0x40;
        form()->sboRwMifareStandardBlock->setValue(201);
        QCOMPARE(sector(), QStringLiteral("0"));
        QCOMPARE(blockInSector(), QStringLiteral("0"));
        QVERIFY(logged(QStringLiteral("CLumaro::updateRwMifareStandardBlocksSectors: ! Unsupported tag (type: 0x00000040)")));
    }

    void keyBAuthenticatesTheSectorsFirstBlockWithTheUid() {
        startWithTag(TAG_MIFARE_STD_4K);
        form()->sboRwMifareStandardBlock->setValue(200);
        form()->cboRwMifareStandardKey->setCurrentText(QStringLiteral("FF FF FF FF FF FF"));
        run("on_btnRwMifareStandardAuthenticateB_clicked");
        QCOMPARE(sentPdus(), (std::vector<Bytes>{{0x61, 0xC0, 0x04, 0xA1, 0xB2, 0xC3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: AuthenticateB  OK"));
        QVERIFY(logged(QStringLiteral("CLumaro::mfAuthenticate: Enter (Mifare Standard key type: B)")));
        QVERIFY(form()->tedRwMifareStandardLog->toPlainText().endsWith(QLatin1Char('\n') + QString(152, QLatin1Char('-'))));
        // Its page waits for the tag report; the button itself is on again.
        QVERIFY(!form()->btnRwMifareStandardAuthenticateB->testAttribute(Qt::WA_ForceDisabled));
    }

    void writeDataLosesItsPrefixesAndBlanks() {
        startWithTag(TAG_MIFARE_STD_1K);
        form()->sboRwMifareStandardBlock->setValue(4);
        form()->cboRwMifareStandardWrite->setCurrentText(
            QStringLiteral("0x00 0x11 0x22 0x33 0x44 0x55 0x66 0x77 0X88 0x99 0xAA 0xBB 0xCC 0xDD 0xEE 0xFF"));
        fake().queueAnswer("nfcExchangePdu", {0x0A});   // the card's ACK
        run("on_btnRwMifareStandardWrite_clicked");
        QCOMPARE(sentPdus(), (std::vector<Bytes>{{0xA0, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                                                  0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}}));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Write block  OK"));
        QVERIFY(!logged(QStringLiteral("CLumaro::mfWriteBlock: Enter")));
    }

    // The page passes the text on; the instance takes only 12 key and 32 data digits.
    void textOfTheWrongLengthSendsNothing_data() {
        QTest::addColumn<QString>("slot");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("failure");
        const QString data32 = QStringLiteral("00112233445566778899AABBCCDDEEFF");
        QTest::newRow("data of 31 digits") << "on_btnRwMifareStandardWrite_clicked" << data32.left(31)
                                           << "CLumaro::mfWriteBlock: ! Writing block to tag failed";
        QTest::newRow("data of 34 digits") << "on_btnRwMifareStandardWrite_clicked" << data32 + "00"
                                           << "CLumaro::mfWriteBlock: ! Writing block to tag failed";
        QTest::newRow("key of 11 digits") << "on_btnRwMifareStandardAuthenticateA_clicked" << "FF FF FF FF FF F"
                                          << "CLumaro::mfAuthenticate: ! Authenticating to tag failed";
        QTest::newRow("key of 14 digits") << "on_btnRwMifareStandardAuthenticateA_clicked" << "FFFFFFFFFFFFFF"
                                          << "CLumaro::mfAuthenticate: ! Authenticating to tag failed";
    }
    void textOfTheWrongLengthSendsNothing() {
        QFETCH(QString, slot);
        QFETCH(QString, text);
        QFETCH(QString, failure);
        startWithTag(TAG_MIFARE_STD_1K);
        form()->cboRwMifareStandardWrite->setCurrentText(text);
        form()->cboRwMifareStandardKey->setCurrentText(text);
        run(slot.toLatin1().constData());
        QVERIFY(sentPdus().empty());
        QVERIFY2(logged(failure), qPrintable(logLines().join('\n')));
        QVERIFY(logged(QStringLiteral("CNfcInstance::%1: ! Invalid data format")
                           .arg(slot.contains("Write") ? "mfWriteBlock" : "mfAuthenticate")));
        QVERIFY(form()->lblStatus->text().endsWith(QLatin1String("  FAIL")));
    }

    void aLargeSectorIsReadBlockByBlock() {
        startWithTag(TAG_MIFARE_STD_4K);
        form()->sboRwMifareStandardBlock->setValue(130);
        QCOMPARE(sector(), QStringLiteral("32"));
        for (int i = 0; i < 16; ++i) fake().queueAnswer("nfcExchangePdu", Bytes(16, static_cast<uint8_t>(i)));
        run("on_btnRwMifareStandardReadSector_clicked");
        std::vector<Bytes> expected;
        for (uint8_t block = 128; block < 144; ++block) expected.push_back({0x30, block});
        QCOMPARE(sentPdus(), expected);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Read block  OK"));
        QVERIFY(form()->tedRwMifareStandardLog->toPlainText().contains(QStringLiteral("Block 143 data")));
    }

    void aFailedReadIsTheWindowsLineAndFail() {
        startWithTag(TAG_MIFARE_STD_1K);
        form()->sboRwMifareStandardBlock->setValue(5);
        fake().setResult("nfcExchangePdu", nfcStatusFailed);
        run("on_btnRwMifareStandardReadBlock_clicked");
        QCOMPARE(sentPdus(), (std::vector<Bytes>{{0x30, 0x05}}));
        QVERIFY(logged(QStringLiteral("CLumaro::mfReadBlock: ! Failed to read block from tag")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Read block  FAIL"));
    }

    void withoutInstanceEveryOperationFails() {
        createWindow();
        for (const char* slot : {"on_btnRwMifareStandardAuthenticateA_clicked", "on_btnRwMifareStandardReadBlock_clicked",
                                 "on_btnRwMifareStandardReadSector_clicked", "on_btnRwMifareStandardWrite_clicked"}) {
            run(slot);
            QVERIFY(form()->lblStatus->text().endsWith(QLatin1String("  FAIL")));
            QVERIFY(lastLogLine().endsWith(QLatin1String("Exit (status: 1)")));
        }
        QCOMPARE(logLines().filter(QStringLiteral("! NFC instance not found")).size(), qsizetype{4});
    }
};

QTEST_MAIN(MifareTest)
#include "mifare_test.moc"
