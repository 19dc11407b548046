// The real window on the real libCorvane.so and the simulated NCI controller on a pseudo-terminal:
// a blank Type 2 tag answers a READ typed on the legacy page, whose stored PDU outlives the
// window, and a factory-fresh MIFARE Classic 1K behind a maker 0x04 controller is authenticated,
// written and read on its page, the model's memory agreeing with the page's log; behind a
// controller of another maker only the tag's ACK makes a write succeed.
#include "window_fixture.h"

#include "nci/nci_simulator.h"
#include "tags/mifare_tag.h"
#include "tags/t2t_tag.h"

namespace {

constexpr int kBoundedMs = 10000;   // reached only when something is broken
using simtags::Bytes;

// The dump the pages show: each byte in hex and a blank, a line break after every 16.
QString dumpOf(const Bytes& bytes) {
    QString dump;
    for (size_t i = 0; i < bytes.size(); ++i) {
        dump += QStringLiteral("%1 ").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
        if (i % 16 == 15) dump += QLatin1Char('\n');
    }
    return dump;
}

} // namespace

class RawTagsRealTest : public CLumaroTest {
    Q_OBJECT

    std::unique_ptr<ncisim::NciSimulator> sim;

    void startRw(const ncisim::NciIdentity& identity) {
        sim = std::make_unique<ncisim::NciSimulator>(identity);
        QVERIFY(sim->ok());
        startNfcOnPort(sim->portPath());
        if (QTest::currentTestFailed()) return;
        for (QCheckBox* box : {form()->ckbRwIso14443B, form()->ckbRwIso15693, form()->ckbRwFelica212,
                               form()->ckbRwFelica424, form()->ckbRwInnovisionJewel, form()->ckbRwKovioBarcode})
            box->setChecked(false);
        for (QCheckBox* box : {form()->ckbRwIso14443A, form()->ckbRwCheckNdef}) box->setChecked(true);
        QTest::mouseClick(form()->btnRwStart, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Start  OK"));
    }
    void click(const char* slot) { QVERIFY(QMetaObject::invokeMethod(window.get(), slot)); }
    // Authenticates the chosen block with the transport key A and writes kBlockData to it.
    void authenticateAndWrite() {
        form()->cboRwMifareStandardKey->setCurrentText(QStringLiteral("FF FF FF FF FF FF"));
        click("on_btnRwMifareStandardAuthenticateA_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: AuthenticateA  OK"));
        form()->cboRwMifareStandardWrite->setCurrentText(QStringLiteral("0x00 0x11 0x22 0x33 0x44 0x55 0x66 0x77 "
                                                                        "0x88 0x99 0xAA 0xBB 0xCC 0xDD 0xEE 0xFF"));
        click("on_btnRwMifareStandardWrite_clicked");
    }
    const Bytes kBlockData = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        if (instanceOf()) QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        destroyWindow();
        sim.reset();
    }

    void aType2TagAnswersALegacyReadAndTheStoredPduOutlivesTheWindow() {
        startRw(ncisim::NciIdentity::generic());
        auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ultralight, false);
        sim->rf().enter(tag);
        QTRY_VERIFY_WITH_TIMEOUT(form()->pagRwLegacy->isEnabled(), kBoundedMs);

        form()->ledRwLegacyPdu->setText(QStringLiteral("30 00"));
        click("on_btnRwLegacyExchangePdu_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Exchange PDU  OK"));
        Bytes pages;
        QVERIFY(sim->call([&](ncisim::Controller&) { pages.assign(tag->memory.begin(), tag->memory.begin() + 16); }));
        const QString log = form()->tedRwLegacyLog->toPlainText();
        QVERIFY2(log.contains(QStringLiteral("Received PDU size: 16 bytes, data:\n") + dumpOf(pages)), qPrintable(log));
        QVERIFY(log.endsWith(QLatin1Char('\n') + QString(160, QLatin1Char('-'))));

        form()->ledRwLegacyDescription->setText(QStringLiteral("Read 0"));
        click("on_btnRwLegacySavePdu_clicked");
        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        destroyWindow();
        createWindow();
        QCOMPARE(form()->cboRwLegacyCommand->currentText(), QStringLiteral("Read 0"));
        QCOMPARE(form()->ledRwLegacyPdu->text(), QStringLiteral("30 00"));
    }

    void aFreshMifareClassicIsAuthenticatedWrittenAndRead() {
        startRw(ncisim::NciIdentity::nxp());   // the maker whose own RF interface carries MIFARE Classic
        auto tag = std::make_shared<simtags::MifareTag>();
        simtags::makeFactoryFresh(*tag);
        sim->rf().enter(tag);
        QTRY_VERIFY_WITH_TIMEOUT(form()->pagRwMifareStd->isEnabled(), kBoundedMs);

        form()->sboRwMifareStandardBlock->setValue(4);
        QCOMPARE(form()->lblRwMifareStandardSector2->text(), QStringLiteral("1"));
        authenticateAndWrite();
        if (QTest::currentTestFailed()) return;
        const Bytes data = kBlockData;
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Write block  OK"));
        Bytes stored;
        Bytes sector;
        QVERIFY(sim->call([&](ncisim::Controller&) {
            stored = tag->block(4);
            for (size_t block = 4; block < 8; ++block) {
                const Bytes b = tag->block(block);
                sector.insert(sector.end(), b.begin(), b.end());
            }
        }));
        QCOMPARE(stored, data);

        click("on_btnRwMifareStandardReadBlock_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Read block  OK"));
        QString log = form()->tedRwMifareStandardLog->toPlainText();
        QVERIFY2(log.contains(QStringLiteral("Received PDU size: 16 bytes, data:\n") + dumpOf(data)), qPrintable(log));
        click("on_btnRwMifareStandardReadSector_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Read block  OK"));
        log = form()->tedRwMifareStandardLog->toPlainText();
        // The data blocks as the model holds them; the trailer's key A always reads as zeros.
        for (size_t block = 4; block < 7; ++block) {
            const Bytes b(sector.begin() + static_cast<std::ptrdiff_t>(16 * (block - 4)),
                          sector.begin() + static_cast<std::ptrdiff_t>(16 * (block - 3)));
            QVERIFY2(log.contains(QStringLiteral("Block %1 data (hex):\n").arg(block) + dumpOf(b)), qPrintable(log));
        }
        Bytes trailer(sector.begin() + 48, sector.end());
        std::fill(trailer.begin(), trailer.begin() + 6, 0x00);
        QVERIFY2(log.contains(QStringLiteral("Block 7 data (hex):\n") + dumpOf(trailer)), qPrintable(log));
        QVERIFY(log.endsWith(QLatin1Char('\n') + QString(152, QLatin1Char('-'))));
    }

    // Behind a controller that carries MIFARE Classic in plain frames the tag's own answer to a
    // write is all there is: its ACK writes the block, a NAK or silence is a failed write that
    // leaves the block as it was.
    void aMifareWriteOnAPlainFrameControllerSucceedsOnlyWithTheTagsAck_data() {
        QTest::addColumn<int>("fault");   // -1: none
        QTest::addColumn<bool>("written");
        QTest::newRow("ACK") << -1 << true;
        QTest::newRow("NAK") << static_cast<int>(simtags::FaultKind::Nak) << false;
        QTest::newRow("silence") << static_cast<int>(simtags::FaultKind::Silence) << false;
    }
    void aMifareWriteOnAPlainFrameControllerSucceedsOnlyWithTheTagsAck() {
        QFETCH(int, fault);
        QFETCH(bool, written);
        startRw(ncisim::NciIdentity::generic());
        auto tag = std::make_shared<simtags::MifareTag>();
        simtags::makeFactoryFresh(*tag);
        if (fault >= 0) {
            simtags::Fault refusal;
            refusal.kind = static_cast<simtags::FaultKind>(fault);
            refusal.op = 0xA0;
            tag->inject(refusal);
        }
        sim->rf().enter(tag);
        QTRY_VERIFY_WITH_TIMEOUT(form()->pagRwMifareStd->isEnabled(), kBoundedMs);

        form()->sboRwMifareStandardBlock->setValue(4);
        authenticateAndWrite();
        if (QTest::currentTestFailed()) return;
        const Bytes data = kBlockData;
        QCOMPARE(form()->lblStatus->text() == QStringLiteral("RW: Write block  OK"), written);
        const QString log = form()->tedRwMifareStandardLog->toPlainText();
        QVERIFY2(log.contains(written ? QStringLiteral("Write block 4: Success") : QStringLiteral("Write block 4: Fail")),
                 qPrintable(log));
        Bytes stored;
        QVERIFY(sim->call([&](ncisim::Controller&) { stored = tag->block(4); }));
        QCOMPARE(stored, written ? data : Bytes(16, 0x00));
    }
};

QTEST_MAIN(RawTagsRealTest)
#include "rawtags_real_test.moc"
