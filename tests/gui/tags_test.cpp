// Tag reports: the report's tables on their own, and the window's handling of a technology that
// enters and leaves, reported from the fake library's own thread.
#include "window_fixture.h"

#include "tagreport.h"

namespace {

TNfcTagInfo tagOf(DWORD type) {
    TNfcTagInfo tag{};
    tag.tagType = type;
    return tag;
}

TNfcTagInfo ultralightWithNdef() {
    TNfcTagInfo tag = tagOf(TAG_NDEF | TAG_ULTRALIGHT_TYPE2);
    const BYTE uid[] = {0x04, 0xA2, 0x1B, 0x33, 0x44, 0x55, 0x66};
    std::copy(std::begin(uid), std::end(uid), tag.uid);
    tag.uidLength = sizeof uid;
    tag.a.atqa = 0x0044;
    tag.chipCode = 4u << 16;
    tag.ndefLength = 9;
    tag.ndefMaxSize = 46;
    tag.access = NFC_TAG_READABLE | NFC_TAG_WRITABLE;
    tag.rx = tag.tx = 106;
    return tag;
}

std::vector<std::string> namesOf(const std::vector<FakeCall>& calls) {
    std::vector<std::string> names;
    for (const FakeCall& call : calls) names.push_back(call.name);
    return names;
}

bool called(const std::vector<FakeCall>& calls, const std::string& name) {
    const std::vector<std::string> names = namesOf(calls);
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

class TagsTest : public CLumaroTest {
    Q_OBJECT

    void startRw() {
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY(instanceOf());
        QTest::mouseClick(form()->btnRwStart, Qt::LeftButton);
        QVERIFY(activeModesOf() & CLumaro::modeRw);
    }
    void detect(const TNfcTagInfo& tag) { deliver(fakeEvent(FakeTarget::Application, nfcEventTagDetected, tag)); }
    QStringList slotErrors() const {
        return logLines().filter(QStringLiteral("CLumaro::handleNfcTechnologyDiscovered: !"));
    }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        destroyWindow();
        removeIni();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    // ---- The report on its own ----

    void reportNamesTheTechnology_data() {
        QTest::addColumn<DWORD>("type");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("picture");
        QTest::addColumn<bool>("isTag");
        QTest::newRow("MIFARE 1K") << DWORD{0x10} << "MIFARE Standard 1K (S50)" << ":/nxpMifareClassic1K" << true;
        QTest::newRow("A with NDEF") << DWORD{0x80000001} << "ISO 14443A (Type 4)" << ":/iso14443A" << true;
        QTest::newRow("A") << DWORD{0x1} << "ISO 14443A" << ":/iso14443A" << true;
        QTest::newRow("two bits") << DWORD{0x11} << "Undetected or unknown" << ":/iso14443A" << true;
        QTest::newRow("P2P target") << DWORD{0x2000} << "P2P: Target" << ":/nfcForumP2p" << false;
        QTest::newRow("CE B2") << DWORD{0x800000} << "CE: ISO 14443B2" << ":/nfcForumCe" << false;
        QTest::newRow("secure CE") << DWORD{0x20000} << "SE: Secure Elements" << "" << false;
        QTest::newRow("Plus 4K NDEF") << DWORD{0x84000000} << "Mifare Plus 4K" << ":/nxpMifarePlus4K" << true;
    }
    void reportNamesTheTechnology() {
        QFETCH(DWORD, type);
        QFETCH(QString, name);
        QFETCH(QString, picture);
        QFETCH(bool, isTag);
        const TTagReport report = tagReport(tagOf(type));
        QCOMPARE(report.type, name);
        QCOMPARE(report.picture, picture);
        QCOMPARE(report.isTag, isTag);
        QCOMPARE(report.lines.value(0), isTag ? QStringLiteral("Tag detected") : QStringLiteral("Technology detected"));
        QVERIFY(report.lines.contains(QStringLiteral("\tIdentifier:\t") + name));
    }

    void mifareWithoutNdefShowsItsParametersOnly() {
        TNfcTagInfo tag = tagOf(0x10);
        tag.a.atqa = 0x0004;
        tag.a.sak = 0x08;
        tag.uidLength = 4;
        tag.uid[0] = 0xDE;
        tag.uid[3] = 0x01;
        const TTagReport report = tagReport(tag);
        QCOMPARE(report.lines, (QStringList{"Tag detected", "Tag's properties:", "\tIdentifier:\tMIFARE Standard 1K (S50)",
                                            "\tUID length:\t4", "\tUID:\tDE:00:00:01", "\tATQA:\t0x0004",
                                            "\tSAK:\t0x08"}));
        QCOMPARE(report.id, QStringLiteral("DE:00:00:01"));
    }

    void twoBitsGiveTheMakerAndUidLinesOnly() {
        TNfcTagInfo tag = tagOf(0x11);
        tag.chipCode = 0x25u << 16;
        tag.uidLength = 2;
        tag.a.atqa = 0x4400;
        const TTagReport report = tagReport(tag);
        QCOMPARE(report.lines, (QStringList{"Tag detected", "Tag's properties:", "\tIdentifier:\tUndetected or unknown",
                                            "\tManufacturer:\tInnovision", "\tUID length:\t2", "\tUID:\t00:00"}));
    }

    void peerGetsTheIdentifierLineOnly() {
        TNfcTagInfo tag = tagOf(0x2000);
        tag.uidLength = 4;
        tag.chipCode = 4u << 16;
        const TTagReport report = tagReport(tag);
        QCOMPARE(report.lines, (QStringList{"Technology detected", "\tIdentifier:\tP2P: Target"}));
        QVERIFY(report.id.isEmpty());
    }

    void vicinityChipsByMakerAndProduct_data() {
        QTest::addColumn<DWORD>("chipCode");
        QTest::addColumn<QString>("name");
        QTest::newRow("7/2") << DWORD{0x70002} << "ISO 15693 Tag-it HF-I Std";
        QTest::newRow("7/3") << DWORD{0x70003} << "ISO 15693 Tag-it HF-I Plus";
        QTest::newRow("7/4") << DWORD{0x70004} << "ISO 15693 Tag-it HF-I Pro";
        QTest::newRow("7/5") << DWORD{0x70005} << "ISO 15693 (Vicinity Card)";
        QTest::newRow("2/3") << DWORD{0x20003} << "ISO 15693 (Vicinity Card)";
    }
    void vicinityChipsByMakerAndProduct() {
        QFETCH(DWORD, chipCode);
        QFETCH(QString, name);
        TNfcTagInfo tag = tagOf(TAG_15693);
        tag.chipCode = chipCode;
        tag.iso15693.flags = 0x01;
        tag.iso15693.dsfid = 0xA5;
        const TTagReport report = tagReport(tag);
        QCOMPARE(report.type, name);
        QCOMPARE(report.lines.mid(report.lines.size() - 2), (QStringList{"\tFlags:\t0x01", "\tDSF ID:\t0xA5"}));
    }

    void makerZeroHasNoLineAndAnUnlistedOneIsUnidentified() {
        TNfcTagInfo tag = tagOf(0x1);
        QVERIFY(tagReport(tag).lines.filter(QStringLiteral("Manufacturer")).isEmpty());
        tag.chipCode = 3u << 16;
        QCOMPARE(tagReport(tag).lines.filter(QStringLiteral("Manufacturer")),
                 QStringList{QStringLiteral("\tManufacturer:\tUnidentified")});
    }

    void typeBShowsAtMost32ResponseBytes() {
        TNfcTagInfo tag = tagOf(TAG_14443B);
        for (BYTE i = 0; i < 32; ++i) tag.b.higherLayerResponse[i] = i;
        tag.b.applicationData[3] = 0xAB;
        tag.higherLayerResponseLength = 40;
        tag.afi = 0x10;
        const TTagReport report = tagReport(tag);
        const QString response = report.lines.filter(QStringLiteral("Layer response")).value(0);
        QCOMPARE(response.mid(response.lastIndexOf(QLatin1Char('\t'))).count(QLatin1Char(' ')), 32);
        QVERIFY(response.endsWith(QLatin1String(" 1E 1F")));
        QVERIFY(report.lines.contains(QStringLiteral("\tApp data:\t0x00 0x00 0x00 0xAB")));
        QCOMPARE(report.lines.last(), QStringLiteral("\tAFI:\t0x10"));
    }

    void hostileLengthsShowNoMoreThanTheFields() {
        TNfcTagInfo tag = tagOf(0x1);
        tag.uidLength = 0xFFFF;
        tag.historicalBytesLength = 0xFFFF;
        const TTagReport report = tagReport(tag);
        QCOMPARE(report.id.count(QLatin1Char(':')), 15);
        QVERIFY(report.lines.contains(QStringLiteral("\tUID length:\t16")));
        const QString historical = report.lines.filter(QStringLiteral("historical bytes")).value(0);
        QCOMPARE(historical.mid(historical.lastIndexOf(QLatin1Char('\t'))).count(QLatin1Char(':')),
                 int{sizeof tag.a.historicalBytes});
    }

    void feliCaAndNdefLines() {
        TNfcTagInfo tag = tagOf(TAG_NDEF | TAG_FELICA_TYPE3);
        tag.felica.systemCode = 0x12FC;
        tag.felica.pmm[7] = 0xFF;
        tag.ndefMaxSize = 160;
        tag.ndefLength = 12;
        tag.access = NFC_TAG_READABLE | NFC_TAG_FORMATTABLE;
        const TTagReport report = tagReport(tag);
        QCOMPARE(report.type, QStringLiteral("FeliCa (Type 3)"));
        QCOMPARE(report.lines.mid(report.lines.size() - 6),
                 (QStringList{"\tSystem code:\t0x12FC", "\tPMM:\t0x00 0x00 0x00 0x00 0x00 0x00 0x00 0xFF",
                              "NDEF detected:", "\tCapacity:\t160", "\tCurrent size:\t12", "\tModes:\tread format "}));
    }

    void bitRates_data() {
        QTest::addColumn<int>("tx");
        QTest::addColumn<int>("rx");
        QTest::addColumn<QString>("text");
        QTest::newRow("equal") << 106 << 106 << "106";
        QTest::newRow("different") << 106 << 212 << "TX: 106 RX: 212";
        QTest::newRow("a zero") << 0 << 212 << "";
    }
    void bitRates() {
        QFETCH(int, tx);
        QFETCH(int, rx);
        QFETCH(QString, text);
        TNfcTagInfo tag = tagOf(0x1);
        tag.tx = static_cast<WORD>(tx);
        tag.rx = static_cast<WORD>(rx);
        QCOMPARE(tagReport(tag).bitRate, text);
    }

    // ---- The window ----

    void detectedTagIsReportedAndReadOnTheGuiThread() {
        startRw();
        form()->ckbRwAutoReadNdefOnIndication->setChecked(true);
        const QByteArray text = QByteArray::fromHex("D101055402656E6869");
        fake().queueAnswer("nfcReadNdefMessage", std::vector<uint8_t>(text.begin(), text.end()));
        markCalls();
        detect(ultralightWithNdef());
        for (const char* line : {"Tag detected", "\tIdentifier:\tMIFARE Ultralight (Type 2)", "\tManufacturer:\tNXP",
                                 "\tUID:\t04:A2:1B:33:44:55:66", "NDEF detected:", "\tModes:\tread write "})
            QVERIFY2(logged(QLatin1String(line)), line);
        QCOMPARE(currentModeOf(), DWORD{CLumaro::modeRw});
        QCOMPARE(currentTagTypeOf(), DWORD{TAG_ULTRALIGHT_TYPE2});
        QCOMPARE(form()->ledDeviceType->text(), QStringLiteral("MIFARE Ultralight (Type 2)"));
        QCOMPARE(form()->ledDeviceId->text(), QStringLiteral("04:A2:1B:33:44:55:66"));
        QCOMPARE(form()->ledBitRate->text(), QStringLiteral("106"));
        QCOMPARE(form()->ledNdefSize->text(), QStringLiteral("9 of 46"));
        QVERIFY(!form()->lblDeviceImage->pixmap().isNull());
        QVERIFY(!form()->lblDeviceImage2->pixmap().isNull());
        QVERIFY(called(callsSinceMark(), "nfcConnectTag"));
        QVERIFY(called(callsSinceMark(), "nfcReadNdefMessage"));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Read NDEF  OK"));
        QVERIFY(logged(QStringLiteral("CLumaro::handleNfcTechnologyDiscovered: Exit")));
        QVERIFY(slotErrors().isEmpty());
    }

    void autoReadNeedsNdefAndTheBox_data() {
        QTest::addColumn<DWORD>("type");
        QTest::addColumn<bool>("box");
        QTest::addColumn<bool>("read");
        QTest::newRow("NDEF, box") << DWORD{TAG_NDEF | TAG_ULTRALIGHT_TYPE2} << true << true;
        QTest::newRow("NDEF, no box") << DWORD{TAG_NDEF | TAG_ULTRALIGHT_TYPE2} << false << false;
        QTest::newRow("no NDEF, box") << DWORD{TAG_ULTRALIGHT_TYPE2} << true << false;
    }
    void autoReadNeedsNdefAndTheBox() {
        QFETCH(DWORD, type);
        QFETCH(bool, box);
        QFETCH(bool, read);
        startRw();
        form()->ckbRwAutoReadNdefOnIndication->setChecked(box);
        markCalls();
        detect(tagOf(type));
        QCOMPARE(called(callsSinceMark(), "nfcReadNdefMessage"), read);
        QCOMPARE(form()->lblStatus->text(),
                 read ? QStringLiteral("RW: Read NDEF  OK") : QStringLiteral("NFC: Technology detected"));
        // The detected look is drawn: a colour given as rgb with four values was never painted.
        if (!read) QCOMPARE(paintedBackground(form()->lblStatus), QColor(0, 170, 255).rgb());
    }

    void aTagThatCannotBeConnectedStopsTheSlot() {
        startRw();
        fake().setResult("nfcConnectTag", 5);
        detect(ultralightWithNdef());
        QCOMPARE(slotErrors(),
                 QStringList{QStringLiteral("CLumaro::handleNfcTechnologyDiscovered: ! Connecting tag failed (code: 5)")});
        QVERIFY(!logged(QStringLiteral("CLumaro::handleNfcTechnologyDiscovered: Exit")));
        QCOMPARE(currentModeOf(), DWORD{CLumaro::modeRw});
        QVERIFY(form()->lblStatus->text() != QStringLiteral("NFC: Technology detected"));
    }

    void peerAndReaderSetTheirModes_data() {
        QTest::addColumn<DWORD>("type");
        QTest::addColumn<DWORD>("mode");
        QTest::newRow("P2P") << DWORD{0x1000} << DWORD{CLumaro::modeP2p};
        QTest::newRow("CE") << DWORD{0x100000} << DWORD{CLumaro::modeCe};
        QTest::newRow("none") << DWORD{0x8000000} << DWORD{CLumaro::modeNone};
    }
    void peerAndReaderSetTheirModes() {
        QFETCH(DWORD, type);
        QFETCH(DWORD, mode);
        startRw();
        form()->ledDeviceId->setText(QStringLiteral("kept"));
        markCalls();
        detect(tagOf(type));
        QCOMPARE(currentModeOf(), mode);
        QVERIFY(!called(callsSinceMark(), "nfcConnectTag"));
        QCOMPARE(form()->ledDeviceId->text(), QStringLiteral("kept"));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Technology detected"));
    }

    void removalClearsTheBox() {
        startRw();
        detect(ultralightWithNdef());
        FakeEvent removed;
        removed.event = nfcEventTagRemoved;
        deliver(removed);
        QCOMPARE(currentModeOf(), DWORD{CLumaro::modeNone});
        QVERIFY(form()->ledDeviceType->text().isEmpty());
        QVERIFY(form()->ledDeviceId->text().isEmpty());
        QVERIFY(form()->lblDeviceImage2->pixmap().isNull());
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Technology removed"));
    }

    void checkWithoutRwIsRefusedBeforeTheLibrary() {
        createWindow();
        giveWindowStartedInstance();
        markCalls();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwNdefCheckTag_clicked"));
        QVERIFY(logged(QStringLiteral("CLumaro::nfcCheckPresence: ! RW-mode is not active")));
        QVERIFY(!called(callsSinceMark(), "nfcCheckTag"));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Check presence  FAIL"));
    }

    void aFailingCheckEndsFailAndClearsTheBox() {
        startRw();
        detect(ultralightWithNdef());
        fake().setResult("nfcCheckTag", 3);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwLegacyCheckTag_clicked"));
        QVERIFY(logged(QStringLiteral("CLumaro::nfcCheckPresence: ! Checking presence failed (code: 3)")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Check presence  FAIL"));
        QVERIFY(form()->ledDeviceType->text().isEmpty());
        QCOMPARE(currentModeOf(), DWORD{CLumaro::modeNone});
        fake().setResult("nfcCheckTag", 0);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwMifareStandardCheckTag_clicked"));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NFC: Check presence  OK"));
    }
};

QTEST_MAIN(TagsTest)
#include "tags_test.moc"
