// The card-emulation page on the fake library: the start content and the capability container
// from the settings, the vCard cutter on the builder's own cards, the emulated tag's message
// loaded into the editor (parsed by the real library's NDEF exports) and saved from it.
#include "window_fixture.h"

#include <QStackedWidget>
#include <QTabWidget>

#include <cstring>

#include "cardemulation.h"
#include "ndefnames.h"
#include "vcardcutter.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes bytesOf(const BYTE* bytes, size_t count) { return Bytes(bytes, bytes + count); }

const Bytes kDefaultContainer = {0x00, 0x0F, 0x20, 0x00, 0xFA, 0x00, 0xFA, 0x04, 0x06,
                                 0xE1, 0x04, 0x0F, 0xF2, 0x00, 0x00, 0x00, 0x00};
const Bytes kDefaultFelicaBlock = {0x10, 0x01, 0x01, 0x00, 0xFF, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x12};

// Smart Poster children, as a reader may have written them.
const QByteArray kPosterText("\x01\x05\x54\x02\x65\x6E\x48\x69", 8);   // "Hi" in English
const QByteArray kPosterUri("\x01\x04\x55\x01\x61\x2E\x62", 7);        // http://www.a.b
QByteArray poster(const QList<QByteArray>& children) {
    QByteArray payload;
    for (int i = 0; i < children.size(); ++i) {
        const char flags = char(0x11 | (i == 0 ? 0x80 : 0) | (i == children.size() - 1 ? 0x40 : 0));
        payload += flags + children[i];
    }
    return QByteArray("\xD1\x02", 2) + char(payload.size()) + QByteArray("Sp") + payload;
}

} // namespace

class CeTest : public CLumaroTest {
    Q_OBJECT

    void startWindow() {
        QVERIFY(fake().useNdefLibrary(LUMARO_NDEF_LIBRARY));
        createWindow();
        giveWindowStartedInstance();
    }
    // Starts the emulation as the registration does and makes it the page's.
    void emulate(DWORD mask, DWORD contentType) {
        BYTE container[CCardEmulation::kType4RecordSize] = {};
        BYTE block[CCardEmulation::kAttributeBlockSize] = {};
        window->ceLoadCapabilityContainer(mask, container, block, false);
        QCOMPARE(instanceOf()->ceStart(mask, contentType, container, block), NfcApiStatus{0});
        window->ceListenMask = mask;
    }
    // What a reader's UPDATE BINARY leaves: the bytes in the file and NLEN.
    void readerWrites(const QByteArray& message) {
        std::memcpy(instanceOf()->ceGetContent(), message.constData(), size_t(message.size()));
        BYTE* record = instanceOf()->ceGetIso14443ABCapabilityContainer();
        record[15] = BYTE(message.size() >> 8);
        record[16] = BYTE(message.size());
    }
    QByteArray built(CNdefMessage& message) const {
        return QByteArray(reinterpret_cast<const char*>(message.getMessageBuffer()), qsizetype(message.getMessageSize()));
    }
    void showCePage(QWidget* page) {
        window->setUpdatesEnabled(false);
        window->show();
        form()->tabInteraction->setCurrentIndex(5);
        form()->pagCeNdefIso14443ABFelica->setEnabled(true);
        for (QWidget* w = page; w && w != window.get(); w = w->parentWidget())
            if (auto* stack = qobject_cast<QStackedWidget*>(w->parentWidget()))
                if (auto* tabs = qobject_cast<QTabWidget*>(stack->parentWidget())) tabs->setCurrentWidget(w);
        QVERIFY(page->isVisible());
    }
    TVcardFields vcardOnPage() const {
        const Ui_CLumaro* f = form();
        return {f->ledCeNdefModifyVcardLastName->text(), f->ledCeNdefModifyVcardFirstName->text(),
                f->ledCeNdefModifyVcardTitle->text(),    f->ledCeNdefModifyVcardCompany->text(),
                f->ledCeNdefModifyVcardJobTitle->text(), f->ledCeNdefModifyVcardUrl->text(),
                f->ledCeNdefModifyVcardEmail->text(),    f->ledCeNdefModifyVcardPhone->text(),
                f->ledCeNdefModifyVcardMobile->text(),   f->ledCeNdefModifyVcardStreet->text(),
                f->ledCeNdefModifyVcardCity->text(),     f->ledCeNdefModifyVcardCode->text(),
                f->ledCeNdefModifyVcardCountry->text()};
    }
    static QStringList listOf(const TVcardFields& v) {
        return {v.lastName, v.firstName, v.title, v.company, v.jobTitle, v.url, v.email,
                v.phone,    v.mobile,    v.street, v.city,   v.postalCode, v.country};
    }
    // The builder's card for these fields, as the library encodes it.
    QByteArray vcardMessage(const TVcardFields& v) {
        CNdefMessage message;
        if (message.ndefCreateVcardMessage(v.title, v.firstName, v.lastName, v.phone, v.mobile, v.email, v.company,
                                           v.jobTitle, v.url, v.street, v.postalCode, v.city, v.country) != NDEF_OK)
            return {};
        return built(message);
    }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        destroyWindow();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    // ---- Start content and container ----

    void contentTypeIsTheFirstEnabledAndCheckedButton_data() {
        QTest::addColumn<QString>("checked");
        QTest::addColumn<QString>("disabled");
        QTest::addColumn<uint>("type");
        QTest::newRow("text") << "rdbCeInsertText" << "" << 2u;
        QTest::newRow("uri") << "rdbCeInsertUri" << "" << 3u;
        QTest::newRow("vcard") << "rdbCeInsertVcard" << "" << 5u;
        QTest::newRow("empty") << "rdbCeInsertEmpty" << "" << 1u;
        QTest::newRow("smart poster") << "rdbCeSmartPoster" << "" << 4u;
        QTest::newRow("checked but disabled") << "rdbCeInsertUri" << "rdbCeInsertUri" << 0u;
        QTest::newRow("none") << "" << "" << 0u;
    }
    void contentTypeIsTheFirstEnabledAndCheckedButton() {
        QFETCH(QString, checked);
        QFETCH(QString, disabled);
        QFETCH(uint, type);
        createWindow();
        for (QRadioButton* button : window->findChildren<QRadioButton*>(QRegularExpression("^rdbCe(Insert|Smart)"))) {
            button->setAutoExclusive(false);
            button->setChecked(button->objectName() == checked);
            button->setEnabled(button->objectName() != disabled);
        }
        QCOMPARE(window->getCeContentType(), DWORD{type});
    }

    void containerFromTheSettingsOrTheDefaults() {
        createWindow();
        QSettings* settings = settingsOf();
        settings->setValue(QStringLiteral("CardEmulationConfiguration/Iso14443ABCCSizeHigh"), QStringLiteral("1FF"));
        settings->setValue(QStringLiteral("CardEmulationConfiguration/Iso14443ABCCSizeLow"), QStringLiteral("G1"));
        settings->remove(QStringLiteral("CardEmulationConfiguration/Iso14443ABNdefMapping"));
        settings->setValue(QStringLiteral("CardEmulationConfiguration/FelicaChecksumLow"), QStringLiteral("7"));
        BYTE container[17];
        BYTE block[16];
        std::memset(container, 0xAB, sizeof container);
        std::memset(block, 0xCD, sizeof block);
        window->ceLoadCapabilityContainer(CE_HOST_14443B_106 | CE_HOST_FELICA, container, block, true);
        Bytes advanced = kDefaultContainer;
        advanced[0] = 0xFF;
        advanced[1] = advanced[2] = 0;
        advanced[15] = advanced[16] = 0xAB;   // NLEN is the instance's
        QCOMPARE(bytesOf(container, 17), advanced);
        Bytes felica = kDefaultFelicaBlock;
        felica[15] = 0x07;
        QCOMPARE(bytesOf(block, 16), felica);

        window->ceLoadCapabilityContainer(CE_HOST_14443A_106, container, block, false);
        QCOMPARE(bytesOf(container, 17), kDefaultContainer);
        QCOMPARE(bytesOf(block, 16), felica);   // not asked for: untouched
        window->ceLoadCapabilityContainer(CE_HOST_FELICA, container, block, false);
        QCOMPARE(bytesOf(block, 16), kDefaultFelicaBlock);   // checksum 01 12: the sum of bytes 0-13
    }

    void advancedWithoutSettingsWarnsOnceAndUsesTheDefaults() {
        createWindow();
        QSettings* kept = std::exchange(settingsOf(), nullptr);
        BYTE container[17] = {};
        BYTE block[16] = {};
        window->ceLoadCapabilityContainer(CE_HOST_14443A_106 | CE_HOST_FELICA, container, block, true);
        settingsOf() = kept;
        QCOMPARE(logLines().filter(QStringLiteral("! Loading advanced CC failed - loading default")).size(), 1);
        QCOMPARE(bytesOf(container, 17), kDefaultContainer);
        QCOMPARE(bytesOf(block, 16), kDefaultFelicaBlock);
    }

    void startingCeRegistersWithTheContentAndLoadShowsIt() {
        QVERIFY(fake().useNdefLibrary(LUMARO_NDEF_LIBRARY));
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        form()->ckbCeIso14443A->setChecked(true);
        markCalls();
        QTest::mouseClick(form()->btnCeStart, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Start  OK"));
        QVERIFY(window->ceListenMask & CE_HOST_14443A_106);
        QVERIFY(!form()->pagCeNdefIso14443ABFelica->testAttribute(Qt::WA_ForceDisabled));
        QCOMPARE(window->ceLoad(), NfcApiStatus{0});
        QCOMPARE(form()->tedCeNdefModifyRtdTextText->toPlainText(), QStringLiteral("Card emulation by Marveld"));
        QCOMPARE(form()->tabCeNdefModify->currentIndex(), 0);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Load NDEF  OK"));
    }

    // ---- The vCard cutter ----

    void theCutterGivesTheBuildersFieldsBack_data() {
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("every field") << QStringList{"Doe", "John", "Dr.", "Acme", "Engineer", "http://a.b",
                                                    "j@a.b", "+1 2", "+3 4", "Main St 1", "Town", "12345", "Land"};
        QTest::newRow("no title, job title or mobile")
            << QStringList{"Doe", "John", "", "Acme", "", "http://a.b", "j@a.b", "+1 2", "", "Main St 1", "Town",
                           "12345", "Land"};
    }
    void theCutterGivesTheBuildersFieldsBack() {
        QFETCH(QStringList, fields);
        startWindow();
        const TVcardFields given{fields[0], fields[1], fields[2],  fields[3],  fields[4],  fields[5], fields[6],
                                 fields[7], fields[8], fields[9], fields[10], fields[11], fields[12]};
        emulate(CE_HOST_14443A_106, 1);
        readerWrites(vcardMessage(given));
        QCOMPARE(window->ceLoad(), NfcApiStatus{0});
        QCOMPARE(listOf(vcardOnPage()), fields);
        QCOMPARE(form()->tabCeNdefModify->currentIndex(), 3);
    }

    void aCardWithoutSomeKeysLeavesThoseFields() {
        TVcardFields fields;
        fields.company = QStringLiteral("Kept Inc");
        fields.street = QStringLiteral("Kept St");
        fields.jobTitle = QStringLiteral("Kept job");
        cutVcard(QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Doe;Jane\r\nURL:x\r\nEND:VCARD\r\n"), fields);
        QCOMPARE(fields.lastName, QStringLiteral("Doe"));
        QCOMPARE(fields.firstName, QStringLiteral("Jane"));
        QCOMPARE(fields.url, QStringLiteral("x"));
        QCOMPARE(fields.company, QStringLiteral("Kept Inc"));
        QCOMPARE(fields.street, QStringLiteral("Kept St"));
        QCOMPARE(fields.jobTitle, QStringLiteral("Kept job"));
        QVERIFY(fields.title.isEmpty());
    }

    // ---- Load ----

    void anEmptyTagLoadsNothing() {
        startWindow();
        emulate(CE_HOST_14443A_106, 1);
        form()->tedCeNdefModifyRtdTextText->setPlainText(QStringLiteral("unchanged"));
        QCOMPARE(window->ceLoad(), NfcApiStatus{0});
        QVERIFY(logged(QStringLiteral("CLumaro::ceLoad: No content found - empty tag")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Load NDEF  OK"));
        QCOMPARE(form()->tedCeNdefModifyRtdTextText->toPlainText(), QStringLiteral("unchanged"));
    }

    void smartPosterChildrenAreFoundByKind_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<uint>("status");
        QTest::newRow("text then URI") << poster({kPosterText, kPosterUri}) << 0u;
        QTest::newRow("URI then text") << poster({kPosterUri, kPosterText}) << 0u;
        QTest::newRow("URI alone") << poster({kPosterUri}) << 1u;
        QTest::newRow("text alone") << poster({kPosterText}) << 1u;
    }
    void smartPosterChildrenAreFoundByKind() {
        QFETCH(QByteArray, message);
        QFETCH(uint, status);
        startWindow();
        emulate(CE_HOST_14443A_106, 1);
        form()->tabCeNdefModify->setCurrentIndex(4);
        readerWrites(message);
        QCOMPARE(window->ceLoad(), NfcApiStatus{status});
        if (status != 0) {
            QCOMPARE(form()->tabCeNdefModify->currentIndex(), 4);
            QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Load NDEF  FAIL"));
            return;
        }
        QCOMPARE(form()->tedCeNdefModifyRtdSmartPosterText->toPlainText(), QStringLiteral("Hi"));
        QCOMPARE(form()->cboCeNdefModifyRtdSmartPosterLanguageCode->currentText(), languageCodeToName("en"));
        QCOMPARE(form()->ledCeNdefModifyRtdSmartPosterUri->text(), QStringLiteral("a.b"));
        QCOMPARE(form()->tabCeNdefModify->currentIndex(), 2);
    }

    void textAndUriFillTheirPages() {
        startWindow();
        emulate(CE_HOST_14443A_106, 1);
        readerWrites(QByteArray("\xD1\x01\x07\x54\x82\x64\x65\x00\x48\x00\x69", 11));   // UTF-16 "Hi", German
        QCOMPARE(window->ceLoad(), NfcApiStatus{0});
        QCOMPARE(form()->tedCeNdefModifyRtdTextText->toPlainText(), QStringLiteral("Hi"));
        QCOMPARE(form()->cboCeNdefModifyRtdTextLanguageCode->currentText(), languageCodeToName("de"));
        readerWrites(QByteArray("\xD1\x01\x04\x55\x01\x61\x2E\x62", 8));
        QCOMPARE(window->ceLoad(), NfcApiStatus{0});
        QCOMPARE(form()->cboCeNdefModifyRtdUriPrefix->currentText(), QStringLiteral("http://www."));
        QCOMPARE(form()->ledCeNdefModifyRtdUriUri->text(), QStringLiteral("a.b"));
        QCOMPARE(form()->tabCeNdefModify->currentIndex(), 1);
    }

    void lengthsBeyondTheFileFailCleanly_data() {
        QTest::addColumn<uint>("mask");
        QTest::newRow("NLEN 0xFFFF") << uint{CE_HOST_14443A_106};
        QTest::newRow("Ln 0xFFFFFF") << uint{CE_HOST_FELICA};
    }
    void lengthsBeyondTheFileFailCleanly() {
        QFETCH(uint, mask);
        startWindow();
        emulate(mask, 2);
        BYTE* record = instanceOf()->ceGetIso14443ABCapabilityContainer();
        record[15] = record[16] = 0xFF;
        BYTE* block = instanceOf()->ceGetFelicaAttributeBlock();
        block[11] = block[12] = block[13] = 0xFF;
        QCOMPARE(window->ceLoad(), NfcApiStatus{1});
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Load NDEF  FAIL"));
        QVERIFY(!logLines().filter(QStringLiteral("! NDEF length exceeds the emulated file")).isEmpty());
    }

    void withoutEmulationLoadFails() {
        startWindow();
        window->ceListenMask = 0x20000;
        QCOMPARE(window->ceLoad(), NfcApiStatus{1});
        QVERIFY(logged(QStringLiteral("CLumaro::ceLoad: ! No card emulation found")));
        QCOMPARE(window->ceListenMask, DWORD{0});
    }

    // ---- Save ----

    void saveStoresTheEditorsMessageAndRefusesOneTooLarge() {
        startWindow();
        emulate(CE_HOST_14443A_106, 2);
        showCePage(form()->pagCeNdefModifyRtdUri);
        form()->ledCeNdefModifyRtdUriUri->setText(QStringLiteral("saved.example"));
        QCOMPARE(window->ceSave(), NfcApiStatus{0});
        QVERIFY(logged(QStringLiteral("CLumaro::ceSave: Exit (code: 0)")));
        const QByteArray saved = built(window->ndefMessage);
        const BYTE* record = instanceOf()->ceGetIso14443ABCapabilityContainer();
        QCOMPARE((int(record[15]) << 8) | record[16], int(saved.size()));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(instanceOf()->ceGetContent()), saved.size()), saved);

        showCePage(form()->pagCeNdefModifyRtdText);
        form()->tedCeNdefModifyRtdTextText->setPlainText(QString(5000, QLatin1Char('x')));
        QCOMPARE(window->ceSave(), NfcApiStatus{1});
        QVERIFY(logged(QStringLiteral("CLumaro::ceSave: ! Modifying NDEF message failed (code: 1)")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("CE: Save NDEF  FAIL"));
        QCOMPARE((int(record[15]) << 8) | record[16], int(saved.size()));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(instanceOf()->ceGetContent()), saved.size()), saved);
    }

    // ---- Log and dialog ----

    void theLogGetsEachExchangeAndDashes() {
        createWindow();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handleCeMessage", Q_ARG(QString, QStringLiteral("RX 00 A4"))));
        QCOMPARE(form()->tedCeLog->toPlainText(), QStringLiteral("RX 00 A4\n") + QString(160, QLatin1Char('-')));
    }

    void theDialogOpensAgainAfterItDeletedItself() {
        createWindow();
        QTest::mouseClick(form()->btnCeConfigure, Qt::LeftButton);
        QPointer<QWidget> first = window->capabilityContainerDialog;
        QVERIFY(first);
        QVERIFY(!form()->btnCeConfigure->isEnabled());
        first->close();
        QTRY_VERIFY_WITH_TIMEOUT(!first, 5000);
        form()->btnCeConfigure->setEnabled(true);
        QTest::mouseClick(form()->btnCeConfigure, Qt::LeftButton);
        QVERIFY(window->capabilityContainerDialog);
        window->capabilityContainerDialog->close();
    }
};

QTEST_MAIN(CeTest)
#include "ce_test.moc"
