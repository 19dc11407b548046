// The real window on the real libCorvane.so and the simulated NCI controller on a pseudo-terminal,
// emulating a Type 4 tag with the generic Text to an external reader on NFC-A: the reader selects
// the NDEF application, reads the container and the Text; a URI saved from the page is what the
// reader reads next; a vCard the reader writes fills the page's vCard fields on Load; the page's
// log shows each exchange.
#include "window_fixture.h"

#include <QDir>

#include "nci/nci_simulator.h"
#include "peers/remote_poller.h"
#include "tags/ndef_image.h"

namespace {

constexpr int kBoundedMs = 10000;   // reached only when something is broken
constexpr uint16_t kRfDiscover = 0x2103;
using simtags::Bytes;

const Bytes kSelectApplication = {0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
const Bytes kSelectContainer = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x03};
const Bytes kReadContainer = {0x00, 0xB0, 0x00, 0x00, 0x0F};
const Bytes kSelectNdef = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04};
const Bytes kReadNdef = {0x00, 0xB0, 0x00, 0x00, 0x40};   // NLEN and the message's first bytes
const Bytes kOk = {0x90, 0x00};
const Bytes kDefaultContainer = {0x00, 0x0F, 0x20, 0x00, 0xFA, 0x00, 0xFA, 0x04,
                                 0x06, 0xE1, 0x04, 0x0F, 0xF2, 0x00, 0x00};

Bytes withOk(Bytes bytes) {
    bytes.insert(bytes.end(), kOk.begin(), kOk.end());
    return bytes;
}

// A MIME vCard record, as a reader's UPDATE BINARY of NLEN and the message writes it.
Bytes vcardUpdate(const QByteArray& card) {
    const QByteArray type("text/vcard");
    Bytes record{0xD2, uint8_t(type.size()), uint8_t(card.size())};
    record.insert(record.end(), type.begin(), type.end());
    record.insert(record.end(), card.begin(), card.end());
    Bytes update{0x00, 0xD6, 0x00, 0x00, uint8_t(record.size() + 2), 0x00, uint8_t(record.size())};
    return simtags::concat(update, record);
}

} // namespace

class CeRealTest : public CLumaroTest {
    Q_OBJECT

    std::unique_ptr<ncisim::NciSimulator> sim;
    simpeers::PollerPtr reader;

    std::vector<Bytes> received() {
        auto out = std::make_shared<std::vector<Bytes>>();
        sim->call([&](ncisim::Controller&) { *out = reader->log.received; });
        return *out;
    }
    // A reader comes with its commands; their answers once all came.
    std::vector<Bytes> readerMeets(const std::vector<Bytes>& commands) {
        reader = simpeers::RemotePoller::reader(simtags::Technology::A);
        sim->call([&](ncisim::Controller&) { reader->log.toSend.assign(commands.begin(), commands.end()); });
        sim->rf().approach(reader);
        if (!QTest::qWaitFor([&] { return received().size() >= commands.size(); }, kBoundedMs)) return {};
        return received();
    }
    // While a reader is there the page saves nothing.
    bool readerLeaves() {
        sim->rf().departPoller();
        return QTest::qWaitFor([&] { return form()->btnCeNdefModifySave->isEnabled(); }, kBoundedMs);
    }
    void screenshot(const char* name) {
#ifdef __SANITIZE_THREAD__
        Q_UNUSED(name);
        return;
#endif
        QDir().mkpath(QStringLiteral(LUMARO_SCREENS));
        QVERIFY(window->grab().save(QStringLiteral(LUMARO_SCREENS "/%1.png").arg(QLatin1String(name))));
    }

private slots:
    void initTestCase() { startFixture(); }
    void cleanup() {
        destroyWindow();
        removeIni();
        sim.reset();
        reader.reset();
    }

    void aReaderReadsAndWritesTheEmulatedTag() {
        sim = std::make_unique<ncisim::NciSimulator>();
        QVERIFY(sim->ok());
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI IOTYPE=SERIAL PORT=" +
                 QByteArray::fromStdString(sim->portPath()) + "\n");
        createWindow();
#ifdef __SANITIZE_THREAD__
        window->setUpdatesEnabled(false);
#endif
        window->show();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY2(instanceOf(), qPrintable(logLines().join(QLatin1Char('\n'))));
        form()->ckbCeIso14443A->setChecked(true);
        form()->ckbCeIso14443B->setChecked(false);
        form()->ckbCeFelica->setChecked(false);
        form()->rdbCeInsertText->setChecked(true);
        const size_t seen = sim->commandOpcodes().size();
        QTest::mouseClick(form()->btnCeStart, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Start  OK"));
        QVERIFY(QTest::qWaitFor(
            [&] {
                const auto opcodes = sim->commandOpcodes();
                return std::find(opcodes.begin() + std::ptrdiff_t(std::min(seen, opcodes.size())), opcodes.end(),
                                 kRfDiscover) != opcodes.end();
            },
            kBoundedMs));

        const std::vector<Bytes> answers =
            readerMeets({kSelectApplication, kSelectContainer, kReadContainer, kSelectNdef, kReadNdef});
        QCOMPARE(answers.size(), size_t{5});
        QCOMPARE(answers[0], kOk);
        QCOMPARE(answers[2], withOk(kDefaultContainer));
        const Bytes text = {0xD1, 0x01, 0x1C, 0x54, 0x02, 'e', 'n'};
        QCOMPARE(Bytes(answers[4].begin() + 2, answers[4].begin() + 2 + std::ptrdiff_t(text.size())), text);
        QCOMPARE(Bytes(answers[4].begin(), answers[4].begin() + 2), (Bytes{0x00, 0x20}));

        QVERIFY(readerLeaves());

        // A URI saved from the page is what the next reader reads.
        form()->tabInteraction->setCurrentWidget(form()->pagCeNdefIso14443ABFelica);
        form()->tabCeNdefModify->setCurrentWidget(form()->pagCeNdefModifyRtdUri);
        form()->cboCeNdefModifyRtdUriPrefix->setCurrentText(QStringLiteral("https://"));
        form()->ledCeNdefModifyRtdUriUri->setText(QStringLiteral("example.org"));
        QTest::mouseClick(form()->btnCeNdefModifySave, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Save NDEF  OK"));
        const std::vector<Bytes> uriRead = readerMeets({kSelectApplication, kSelectNdef, kReadNdef});
        QCOMPARE(uriRead.size(), size_t{3});
        const Bytes uri = {0x00, 0x10, 0xD1, 0x01, 0x0C, 0x55, 0x04, 'e', 'x', 'a', 'm', 'p', 'l', 'e', '.', 'o', 'r', 'g'};
        const Bytes read = uriRead.back();
        QCOMPARE(Bytes(read.begin(), read.begin() + std::ptrdiff_t(uri.size())), uri);

        // The reader writes a vCard; Load cuts it into the page.
        const QByteArray card("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Doe;Jane\r\nORG:Acme\r\nEND:VCARD\r\n");
        QVERIFY(readerLeaves());
        const std::vector<Bytes> written = readerMeets({kSelectApplication, kSelectNdef, vcardUpdate(card)});
        QCOMPARE(written, (std::vector<Bytes>{kOk, kOk, kOk}));
        QTest::mouseClick(form()->btnCeNdefModifyLoad, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Load NDEF  OK"));
        QCOMPARE(form()->tabCeNdefModify->currentWidget(), form()->pagCeNdefModifyVcard);
        QCOMPARE(form()->ledCeNdefModifyVcardLastName->text(), QStringLiteral("Doe"));
        QCOMPARE(form()->ledCeNdefModifyVcardFirstName->text(), QStringLiteral("Jane"));
        QCOMPARE(form()->ledCeNdefModifyVcardCompany->text(), QStringLiteral("Acme"));

        // Each exchange of the reader that is there is logged with its line of dashes.
        QTRY_COMPARE_WITH_TIMEOUT(form()->tedCeLog->toPlainText().count(QString(160, QLatin1Char('-'))), 3, kBoundedMs);
        QVERIFY(form()->tedCeLog->toPlainText().contains(QStringLiteral("00 A4 04 00 07 D2 76 00 00 85 01 01 00")));
        screenshot("ce-log");
        QVERIFY(readerLeaves());
        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        QVERIFY(!instanceOf());
    }

    // The attribute block of an empty Type 3 tag holds the sum of its first 14 bytes.
    void aFelicaReaderFindsTheDefaultChecksum() {
        sim = std::make_unique<ncisim::NciSimulator>();
        QVERIFY(sim->ok());
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI IOTYPE=SERIAL PORT=" +
                 QByteArray::fromStdString(sim->portPath()) + "\n");
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY(instanceOf());
        form()->ckbCeIso14443A->setChecked(false);
        form()->ckbCeIso14443B->setChecked(false);
        form()->ckbCeFelica->setChecked(true);
        form()->rdbCeInsertEmpty->setChecked(true);
        QTest::mouseClick(form()->btnCeStart, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Start  OK"));
        reader = simpeers::RemotePoller::reader(simtags::Technology::F);
        // CHECK of block 0 of the NDEF service 0x000B, addressed to any NFCID2.
        const Bytes check = {0x10, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x0B, 0x00, 0x01, 0x80, 0x00};
        sim->call([&](ncisim::Controller&) { reader->log.toSend = {check}; });
        sim->rf().approach(reader);
        QVERIFY2(QTest::qWaitFor([&] { return !received().empty(); }, kBoundedMs), sim->describe().c_str());
        const Bytes answer = received().front();
        QVERIFY(answer.size() >= 2);
        QCOMPARE(Bytes(answer.end() - 2, answer.end()), (Bytes{0x01, 0x12}));
        QTest::mouseClick(form()->btnCeNdefModifyLoad, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Load NDEF  OK"));
        QVERIFY(logged(QStringLiteral("CLumaro::ceLoad: No content found - empty tag")));
        QVERIFY(readerLeaves());
        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
    }
};

QTEST_MAIN(CeRealTest)
#include "ce_real_test.moc"
