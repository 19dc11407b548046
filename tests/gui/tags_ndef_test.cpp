// NDEF on the window: messages read from the fake's tag shown as records (parsed by the real
// library's NDEF code), the three editors' builds checked against bytes encoded here, and the
// write, format and picture choice around them.
#include "window_fixture.h"

#include <QBuffer>
#include <QDesktopServices>
#include <QImageReader>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "ndefdisplay.h"
#include "tags/ndef_image.h"

namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(text); }

// One record, with the message-begin and -end flags the caller gives; short when it can be.
QByteArray shortRecord(BYTE flags, BYTE tnf, const QByteArray& type, const QByteArray& payload) {
    const bool isShort = payload.size() < 256;
    QByteArray record;
    record.append(char(flags | (isShort ? 0x10 : 0) | tnf)).append(char(type.size()));
    if (!isShort) record.append(char(payload.size() >> 24)).append(char(payload.size() >> 16)).append(char(payload.size() >> 8));
    record.append(char(payload.size()));
    return record + type + payload;
}
QByteArray only(BYTE tnf, const QByteArray& type, const QByteArray& payload) {
    return shortRecord(0xC0, tnf, type, payload);
}
QByteArray mime(const QByteArray& type, const QByteArray& payload) { return only(2, type, payload); }

// The classic one-pixel GIF: Qt reads GIF but cannot write it.
const QByteArray kGif = hex("47494638396101000100800000FFFFFF00000021F90401000000002C00000000010001000002024401003B");

QByteArray sampleImage(const QByteArray& format) {
    if (format == "gif") return kGif;
    QImage image(1, 1, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format.constData());
    return bytes;
}

std::vector<uint8_t> bytesOf(const QByteArray& bytes) { return std::vector<uint8_t>(bytes.begin(), bytes.end()); }

} // namespace

class TagsNdefTest : public CLumaroTest {
    Q_OBJECT

public slots:
    void recordUrl(const QUrl& url) { openedUrls << url.toString(); }

private:
    QStringList openedUrls;
    QList<QStringList> launched;
    QTemporaryDir folder;

    void startWindow() {
        QVERIFY(fake().useNdefLibrary(LUMARO_NDEF_LIBRARY));
        createWindow();
        giveWindowStartedInstance();
        window->processLauncher = [this](const QString& program, const QStringList& arguments) {
            launched << (QStringList{program} + arguments);
            return true;
        };
    }
    QTreeWidget* tree() const { return form()->twtRwNdefRead; }
    QStringList row(int index, int from = 2) const {
        QStringList cells;
        for (int column = from; column < 6; ++column) cells << tree()->topLevelItem(index)->text(column);
        return cells;
    }
    NfcApiStatus read(const QByteArray& message) {
        fake().queueAnswer("nfcReadNdefMessage", bytesOf(message));
        return window->rwRead();
    }
    // Brings every tab between the window and the page to the front.
    void show(QWidget* page) {
        // Shown for the editors' visibility, yet never repainted: Qt paints a window this large on
        // pooled threads that ThreadSanitizer cannot follow.
        window->setUpdatesEnabled(false);
        window->show();
        for (QWidget* w = page; w && w != window.get(); w = w->parentWidget())
            if (auto* stack = qobject_cast<QStackedWidget*>(w->parentWidget()))
                if (auto* tabs = qobject_cast<QTabWidget*>(stack->parentWidget())) tabs->setCurrentWidget(w);
        QVERIFY(page->isVisible());
    }
    QByteArray built() const {
        return QByteArray(reinterpret_cast<const char*>(window->ndefMessage.getMessageBuffer()),
                          static_cast<qsizetype>(window->ndefMessage.getMessageSize()));
    }
    // The one record of a built message, by the test's own reader.
    simtags::NdefRecord onlyRecord() const {
        const QByteArray bytes = built();
        const auto records = simtags::parseNdef(simtags::Bytes(bytes.begin(), bytes.end()));
        if (!records || records->size() != 1) return {};
        return records->front();
    }
    static QByteArray text(const simtags::Bytes& bytes) { return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())); }

private slots:
    void initTestCase() {
        startFixture();
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "recordUrl");
        QVERIFY(folder.isValid());
    }
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }
    void init() {
        resetFixture();
        openedUrls.clear();
        launched.clear();
    }
    void cleanup() {
        destroyWindow();
        removeIni();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    // ---- Display ----

    void eachKindFillsItsCells_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QStringList>("cells");   // TNF, type, code, content
        QTest::newRow("Text UTF-8") << hex("D101055402656E6869") << QStringList{"RTDWellKnown", "T", "en", "hi"};
        QTest::newRow("Text UTF-16BE") << hex("D10107548264650048 00FC")
                                       << QStringList{"RTDWellKnown", "T", "de", QStringLiteral("H\u00FC")};
        QTest::newRow("URI") << only(1, "U", "\x01" "example.com")
                             << QStringList{"RTDWellKnown", "U", "http://www.", "example.com"};
        QTest::newRow("Size") << hex("D1010473000004D2") << QStringList{"RTDWellKnown", "s", "", "1234"};
        QTest::newRow("Type with control bytes") << hex("D101037461 0162") << QStringList{"RTDWellKnown", "t", "", "a 01 b"};
        QTest::newRow("Alternative carrier")
            << only(1, "ac", hex("0101300101 31"))
            << QStringList{"RTDWellKnown", "ac", "", "power state: 1\ncarrier reference: 30 \nAUX data reference: 31 "};
        QTest::newRow("Handover carrier") << only(1, "Hc", hex("01024142FF"))
                                          << QStringList{"RTDWellKnown", "Hc", "", "type format: 1\ntype: 41 42 \ndata: FF "};
        QTest::newRow("Select 1.2") << only(1, "Hs", hex("12")) << QStringList{"RTDWellKnown", "Hs", "", "Version 1.2"};
        QTest::newRow("Collision") << only(1, "cr", hex("0A0B"))
                                   << QStringList{"RTDWellKnown", "cr", "", "random number: 0x0A0B"};
        QTest::newRow("Error") << only(1, "err", hex("0105"))
                               << QStringList{"RTDWellKnown", "err", "",
                                              "reason: 1\ncarrierWaitMs: 5\nnomemTempWaitMs: 5\n)nomemPermMaxSize: 5"};
        QTest::newRow("Absolute URI") << only(3, "http://a.b/", "x") << QStringList{"AbsoluteURI", "http://a.b/", "", "x"};
        QTest::newRow("unknown kind") << only(5, "", hex("000102030405060708090A0B0C0D0E0F10"))
                                      << QStringList{"Unknown", "Unknown", "",
                                                     "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n10 "};
        QTest::newRow("vCard CR LF") << mime("text/x-vCard", "BEGIN:VCARD\r\nN:X\r\nEND:VCARD\r\n")
                                     << QStringList{"MIME", "text/x-vCard", "", "BEGIN:VCARD\nN:X\nEND:VCARD\n"};
        QTest::newRow("other MIME") << mime("text/plain", "ab") << QStringList{"MIME", "text/plain", "", "61 62 "};
    }
    void eachKindFillsItsCells() {
        QFETCH(QByteArray, message);
        QFETCH(QStringList, cells);
        startWindow();
        QCOMPARE(read(message), NfcApiStatus{0});
        QCOMPARE(tree()->topLevelItemCount(), 1);
        QCOMPARE(row(0), cells);
        QCOMPARE(row(0, 0).mid(0, 2), (QStringList{"0", "0"}));
        QCOMPARE(tree()->topLevelItem(0)->textAlignment(5), int{Qt::AlignTop});
        QVERIFY(tree()->topLevelItem(0)->sizeHint(5).isValid());
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Read NDEF  OK"));
    }

    void smartPosterOpensItsUriOnceUnlessSuppressed() {
        startWindow();
        const QByteArray nested = shortRecord(0x80, 1, "U", "\x01" "example.com") + shortRecord(0x40, 1, "act", hex("00"));
        const QByteArray poster = only(1, "Sp", nested);
        form()->ckbRwNdefSuppress->setChecked(false);   // the form starts with actions suppressed
        QCOMPARE(read(poster), NfcApiStatus{0});
        QCOMPARE(openedUrls, QStringList{QStringLiteral("http://www.example.com")});
        QCOMPARE(tree()->topLevelItemCount(), 3);
        QCOMPARE(row(0), (QStringList{"RTDWellKnown", "Sp", "", ""}));
        QCOMPARE(row(2, 0), (QStringList{"1", "1", "RTDWellKnown", "act", "", "start application"}));
        form()->ckbRwNdefSuppress->setChecked(true);
        QCOMPARE(read(poster), NfcApiStatus{0});
        QCOMPARE(openedUrls.size(), 1);
        form()->ckbRwNdefSuppress->setChecked(false);
        QCOMPARE(read(only(1, "Sp", shortRecord(0xC0, 1, "act", hex("00")))), NfcApiStatus{0});
        QCOMPARE(openedUrls.size(), 1);   // the earlier message's URI is gone
    }

    void uriWithoutPrefixOpensItsFieldAlone() {
        startWindow();
        const QByteArray nested = shortRecord(0x80, 1, "U", QByteArray("\x00" "http://a.b", 11)) + shortRecord(0x40, 1, "act", hex("00"));
        form()->ckbRwNdefSuppress->setChecked(false);
        QCOMPARE(read(only(1, "Sp", nested)), NfcApiStatus{0});
        QCOMPARE(row(1, 4), (QStringList{"<none>", "http://a.b"}));
        QCOMPARE(openedUrls, QStringList{QStringLiteral("http://a.b")});
    }

    void corruptPictureIsOneLineAndAnEmptyCell() {
        startWindow();
        QCOMPARE(read(mime("image/png", "not a png")), NfcApiStatus{0});
        QVERIFY(logged(QStringLiteral("CLumaro::fillNdefMime: ! Loading image failed")));
        QCOMPARE(row(0), (QStringList{"MIME", "image/png", "", ""}));
        QVERIFY(tree()->topLevelItem(0)->icon(5).isNull());
        QVERIFY(!tree()->topLevelItem(0)->sizeHint(5).isValid());
    }

    void everyFormatOfTheChooserLoads_data() {
        QTest::addColumn<QByteArray>("format");
        for (const char* format : {"png", "gif", "jpg", "jpeg", "bmp"}) QTest::newRow(format) << QByteArray(format);
    }
    void everyFormatOfTheChooserLoads() {
        QFETCH(QByteArray, format);
        QVERIFY2(QImageReader::supportedImageFormats().contains(format), format.constData());
        startWindow();
        QCOMPARE(read(mime("image/" + format, sampleImage(format))), NfcApiStatus{0});
        QVERIFY(!tree()->topLevelItem(0)->icon(5).isNull());
        QVERIFY(tree()->topLevelItem(0)->text(5).isEmpty());
        QVERIFY(!logged(QStringLiteral("CLumaro::fillNdefMime: ! Loading image failed")));
    }

    void mimeKinds_data() {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("kind");
        QTest::newRow("vCard") << "TEXT/VCARD" << 1;
        QTest::newRow("v-card") << "text/x-v-card" << 1;
        QTest::newRow("png") << "image/png" << 2;
        QTest::newRow("x-icon") << "image/x-icon" << 2;
        QTest::newRow("icon set") << "application/icon-set" << 2;
        QTest::newRow("picture") << "application/Picture" << 2;
        QTest::newRow("plain") << "text/plain" << 0;
        QTest::newRow("empty") << "" << 0;
    }
    void mimeKinds() {
        QFETCH(QString, type);
        QFETCH(int, kind);
        QCOMPARE(mimeKindOf(type), kind);
    }

    void emptyAndFailedReadsLeaveAnEmptyTable() {
        startWindow();
        tree()->addTopLevelItem(new QTreeWidgetItem(QStringList{QStringLiteral("old")}));
        QCOMPARE(read(QByteArray()), NfcApiStatus{0});
        QCOMPARE(tree()->topLevelItemCount(), 0);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Read NDEF  OK"));
        QCOMPARE(read(hex("D101055402656E6869")), NfcApiStatus{0});
        fake().setResult("nfcReadNdefMessage", 7);
        QCOMPARE(window->rwRead(), NfcApiStatus{7});
        QCOMPARE(tree()->topLevelItemCount(), 0);
        QVERIFY(logged(QStringLiteral("CLumaro::rwRead: ! Failed to read NDEF message")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Read NDEF  FAIL"));
    }

    void startProcessLaunchesEveryTextWithoutAShell() {
        startWindow();
        const QByteArray two = shortRecord(0x80, 1, "T", "\x02" "en" "echo one \"two three\"") +
                               shortRecord(0x40, 1, "T", "\x02" "en" "ls -l");
        QCOMPARE(read(two), NfcApiStatus{0});
        QVERIFY(launched.isEmpty());
        window->startProcess = true;
        QCOMPARE(read(two), NfcApiStatus{0});
        QCOMPARE(launched, (QList<QStringList>{{"echo", "one", "two three"}, {"ls", "-l"}}));
        QVERIFY(logged(QStringLiteral("CLumaro::fillNdefRtdText: QProcess ls -l!)")));
        QVERIFY(!logged(QStringLiteral("CLumaro::fillNdefRtdText: Starting process failed")));
        window->processLauncher = [](const QString&, const QStringList&) { return false; };
        QCOMPARE(read(two), NfcApiStatus{0});
        QCOMPARE(logLines().filter(QStringLiteral("CLumaro::fillNdefRtdText: Starting process failed")).size(), 2);
    }

    // ---- Building ----

    void editorsBuildTheVisiblePage_data() {
        QTest::addColumn<int>("editor");
        for (int editor = 0; editor < 3; ++editor)
            QTest::newRow(QByteArray::number(editor).constData()) << editor;
    }
    void editorsBuildTheVisiblePage() {
        QFETCH(int, editor);
        const QString prefix = QStringList{"RwNdefWrite", "P2pSnepTransmit", "CeNdefModify"}.at(editor);
        const auto build = [&] {
            return editor == 0 ? window->buildNdefMessage(&window->ndefMessage)
                 : editor == 1 ? window->snepBuildNdefMessage(&window->ndefMessage)
                               : window->ceBuildNdefMessage(&window->ndefMessage);
        };
        const auto find = [&](const char* kind, const char* name) {
            return window->findChild<QWidget*>(QLatin1String(kind) + prefix + QLatin1String(name));
        };
        startWindow();
        show(find("pag", "RtdText"));
        qobject_cast<QComboBox*>(find("cbo", "RtdTextLanguageCode"))->setCurrentText(QStringLiteral("English"));
        qobject_cast<QTextEdit*>(find("ted", "RtdTextText"))->setPlainText(QStringLiteral("hi"));
        QCOMPARE(build(), NfcApiStatus{0});
        QCOMPARE(built(), hex("D101055402656E6869"));

        show(find("pag", "RtdUri"));
        qobject_cast<QComboBox*>(find("cbo", "RtdUriPrefix"))->setCurrentText(QStringLiteral("tel:"));
        qobject_cast<QLineEdit*>(find("led", "RtdUriUri"))->setText(QStringLiteral("+1555"));
        QCOMPARE(build(), NfcApiStatus{0});
        QCOMPARE(built(), hex("D10106550 52B31353535"));

        show(find("pag", "RtdSmartPoster"));
        qobject_cast<QComboBox*>(find("cbo", "RtdSmartPosterLanguageCode"))->setCurrentText(QStringLiteral("German"));
        qobject_cast<QTextEdit*>(find("ted", "RtdSmartPosterText"))->setPlainText(QStringLiteral("Hallo"));
        qobject_cast<QLineEdit*>(find("led", "RtdSmartPosterUri"))->setText(QStringLiteral("https://a.b"));
        QCOMPARE(build(), NfcApiStatus{0});
        const simtags::NdefRecord poster = onlyRecord();
        QCOMPARE(text(poster.type), QByteArray("Sp"));
        const auto nested = simtags::parseNdef(poster.payload);
        QVERIFY(nested && nested->size() == 2);
        for (const simtags::NdefRecord& record : *nested) {
            if (text(record.type) == "U") QCOMPARE(text(record.payload), QByteArray("\x04" "a.b"));
            else QCOMPARE(text(record.payload), QByteArray("\x02" "deHallo"));
        }

        show(find("pag", "Vcard"));
        for (QLineEdit* edit : find("pag", "Vcard")->findChildren<QLineEdit*>()) edit->setText(edit->objectName().mid(prefix.size() + 8));
        QCOMPARE(build(), NfcApiStatus{0});
        const simtags::NdefRecord card = onlyRecord();
        QCOMPARE(card.tnf, uint8_t{2});
        QCOMPARE(text(card.type), QByteArray("text/x-vCard"));
        const QByteArray full = "BEGIN:VCARD\nVERSION:3.0\nN:LastName;FirstName;;;Title\nFN:FirstName LastName\n"
                                "ORG:Company\nTITLE:JobTitle\nURL:Url\nEMAIL;TYPE=INTERNET:Email\n"
                                "TEL;TYPE=voice,work,pref:Phone\nTEL;TYPE=cell:Mobile\n"
                                "ADR;TYPE=intl,work,postal,parcel:;;Street;City;;Code;Country\nEND:VCARD\n";
        const QByteArray snep = "BEGIN:VCARD\nVERSION:3.0\nN:LastName;FirstName\nFN:FirstName LastName\n"
                                "ORG:Company\nURL:Url\nEMAIL;TYPE=INTERNET:Email\n"
                                "TEL;TYPE=voice,work,pref:Phone\n"
                                "ADR;TYPE=intl,work,postal,parcel:;;Street;City;;Code;Country\nEND:VCARD\n";
        QCOMPARE(text(card.payload), editor == 1 ? snep : full);

        show(find("pag", "Mime"));
        const QString picture = folder.filePath(QStringLiteral("dot.png"));
        QFile file(picture);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(sampleImage("png"));
        file.close();
        qobject_cast<QLineEdit*>(find("led", "MimeUri"))->setText(picture);
        QCOMPARE(build(), NfcApiStatus{0});
        QCOMPARE(built(), mime("image/png", sampleImage("png")));
    }

    void noVisiblePageFailsTheBuild() {
        startWindow();
        show(form()->pagRwNdefWriteRtdText);
        QCOMPARE(window->snepBuildNdefMessage(&window->ndefMessage), NfcApiStatus{1});
        QVERIFY(logged(QStringLiteral("CLumaro::snepBuildNdefMessage: ! Mode not recognized")));
        QVERIFY(logged(QStringLiteral("CLumaro::snepBuildNdefMessage: ! Creating NDEF message failed (code: 1)")));
        QCOMPARE(window->ceBuildNdefMessage(&window->ndefMessage), NfcApiStatus{1});
        QVERIFY(logged(QStringLiteral("CLumaro::ceBuildNdefMessage: ! Mode not recognized")));
        QVERIFY(!logged(QStringLiteral("CLumaro::ceBuildNdefMessage: ! Creating NDEF message failed (code: 1)")));
    }

    // ---- Writing and formatting ----

    void writeSendsTheBuiltBytesAndShowsTheNewSize() {
        startWindow();
        show(form()->pagRwNdefWriteRtdText);
        form()->cboRwNdefWriteRtdTextLanguageCode->setCurrentText(QStringLiteral("English"));
        form()->tedRwNdefWriteRtdTextText->setPlainText(QStringLiteral("hi"));
        TNfcTagInfo tag{};
        tag.ndefLength = 9;
        tag.ndefMaxSize = 46;
        fake().setTagInfo(tag);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwNdefWrite_clicked"));
        QCOMPARE(fake().lastCall("nfcWriteNdefMessage").buffer, bytesOf(hex("D101055402656E6869")));
        QCOMPARE(form()->ledNdefSize->text(), QStringLiteral("9 of 46"));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Write NDEF  OK"));
        form()->ledNdefSize->clear();
        fake().setResult("nfcGetTagInfo", 4);
        QCOMPARE(window->rwWrite(), NfcApiStatus{0});
        QVERIFY(logged(QStringLiteral("CLumaro::rwWrite: ! Receiving tag information failed (code: 4)")));
        QVERIFY(form()->ledNdefSize->text().isEmpty());
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Write NDEF  OK"));
        fake().setResult("nfcWriteNdefMessage", 9);
        QCOMPARE(window->rwWrite(), NfcApiStatus{9});
        QVERIFY(logged(QStringLiteral("CLumaro::rwWrite: ! Writing NDEF message failed")));
    }

    void aMissingPictureIsNeverWritten() {
        startWindow();
        show(form()->pagRwNdefWriteMime);
        form()->ledRwNdefWriteMimeUri->setText(folder.filePath(QStringLiteral("absent.png")));
        markCalls();
        QCOMPARE(window->rwWrite(), NfcApiStatus{1});
        QVERIFY(logged(QStringLiteral("CLumaro::rwWrite: ! Building NDEF message failed")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Write NDEF  FAIL"));
        for (const FakeCall& call : callsSinceMark()) QVERIFY(call.name != "nfcWriteNdefMessage");
    }

    void eraseRenewsTheRwListenerOnlyAfterSuccess() {
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        QVERIFY(fake().useNdefLibrary(LUMARO_NDEF_LIBRARY));
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QTest::mouseClick(form()->btnRwStart, Qt::LeftButton);
        TNfcTagInfo tag{};
        tag.tagType = TAG_MIFARE_STD_1K;
        deliver(fakeEvent(FakeTarget::Application, nfcEventTagDetected, tag));
        markCalls();
        QCOMPARE(window->format(CLumaro::formatErase), NfcApiStatus{0});
        std::vector<std::string> names;
        for (const FakeCall& call : callsSinceMark())
            if (call.name == "nfcFormat" || call.name.find("Listener") != std::string::npos) names.push_back(call.name);
        QCOMPARE(names, (std::vector<std::string>{"nfcFormat", "nfcUnregisterListener", "nfcRegisterListener"}));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Erase  OK"));
        fake().setResult("nfcFormat", 6);
        markCalls();
        QCOMPARE(window->format(CLumaro::formatErase), NfcApiStatus{6});
        QVERIFY(logged(QStringLiteral("CLumaro::format: ! Formatting tag failed (code: 6)")));
        for (const FakeCall& call : callsSinceMark()) QVERIFY(call.name.find("Listener") == std::string::npos);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("RW: Erase  FAIL"));
    }

    void chooserFillsThePathAndKeepsTheFolderWhenCancelled() {
        startWindow();
        QString offered;
        QString answer = QStringLiteral("/pictures/holiday/sea.png");
        window->fileChooser = [&](QWidget*, const QString& caption, const QString& directory, const QString& filter) {
            offered = caption + QLatin1Char('|') + directory + QLatin1Char('|') + filter;
            return answer;
        };
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnP2pSnepTransmitMimeSelectImage_clicked"));
        QCOMPARE(offered, QStringLiteral("Open File|.|Images (*.png *.gif *.jpg *.jpeg *.bmp)"));
        QCOMPARE(form()->ledP2pSnepTransmitMimeUri->text(), answer);
        answer.clear();
        form()->ledCeNdefModifyMimeUri->setText(QStringLiteral("old"));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnCeNdefModifyMimeSelectImage_clicked"));
        QCOMPARE(offered.section(QLatin1Char('|'), 1, 1), QStringLiteral("/pictures/holiday"));
        QVERIFY(form()->ledCeNdefModifyMimeUri->text().isEmpty());
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnRwNdefWriteMimeSelectImage_clicked"));
        QCOMPARE(offered.section(QLatin1Char('|'), 1, 1), QStringLiteral("/pictures/holiday"));
    }
};

QTEST_MAIN(TagsNdefTest)
#include "tags_ndef_test.moc"
