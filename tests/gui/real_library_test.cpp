// Lumaro with the real libCorvane.so beside it: the binding, CNdefMessage over the library's
// NDEF exports, and the program itself starting offscreen.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <string>

#include "corvanebinding.h"
#include "debugout.h"
#include "ndefmessage.h"
#include "ndefnames.h"
#include "platform.h"

namespace {

#define EXPORT_NAME(name) #name,
constexpr const char* kBoundExports[] = {CORVANE_BOUND_EXPORTS(EXPORT_NAME)};
#undef EXPORT_NAME

QStringList traces;

int collect(void*, const char* line) {
    traces << QString::fromLatin1(line);
    return 1;
}

// The first listed export that the library file does not hold, or null when it holds them all.
const char* firstMissingExport() {
    void* library = platLibraryOpen(platExecutableFolder() + kCorvaneLibraryFile);
    const char* missing = nullptr;
    for (const char* name : kBoundExports)
        if (!platLibrarySymbol(library, name)) {
            missing = name;
            break;
        }
    platLibraryClose(library);
    return missing;
}

QString mimePayload(const TNdefRecord& record) {
    return QString::fromUtf8(reinterpret_cast<const char*>(record.info.payload.data),
                             static_cast<qsizetype>(record.info.payload.length));
}

QString vcardLine(const QString& card, const QString& key) {
    for (const QString& line : card.split(QLatin1Char('\n')))
        if (line.startsWith(key)) return line.mid(key.size());
    return QStringLiteral("<missing>");
}

} // namespace

class RealLibraryTest : public QObject {
    Q_OBJECT

private:
    CNdefMessage message;
    QStringList messageTraces;

    QString buildAndReadVcard(const QStringList& fields) {
        [&] {
            QCOMPARE(message.ndefCreateVcardMessage(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
                                                    fields[6], fields[7], fields[8], fields[9], fields[10], fields[11],
                                                    fields[12]),
                     NdefStatus{NDEF_OK});
            reparseOwnMessage();
            QCOMPARE(message.records().size(), 1);
            QCOMPARE(message.records()[0]->info.recordTypeId, NdefRecordTypeId{NDEF_ID_MIME});
        }();
        return message.records().isEmpty() ? QString() : mimePayload(*message.records()[0]);
    }

    void reparseOwnMessage() {
        const QByteArray encoded(reinterpret_cast<const char*>(message.getMessageBuffer()),
                                 static_cast<qsizetype>(message.getMessageSize()));
        QCOMPARE(message.ndefParseMessage(reinterpret_cast<const BYTE*>(encoded.constData()),
                                          static_cast<uint32_t>(encoded.size())),
                 NdefStatus{NDEF_OK});
    }

private slots:
    void initTestCase() {
        debugSetSink(collect, nullptr);
        const uint32_t result = corvaneLoadLibrary();
        QVERIFY(result == corvaneLoadBound || result == corvaneLoadIncomplete);
        connect(&message, &CNdefMessage::signalPostTrace, this, [this](DWORD, const char*, char* text) {
            messageTraces << QString::fromLatin1(text);
            delete[] text;
        });
    }
    void cleanupTestCase() {
        corvaneFreeLibrary();
        debugSetSink(nullptr, nullptr);
    }
    void init() { messageTraces.clear(); }

    // Until the library exports the P2P families, binding names the first one it lacks and
    // refuses; once they land every export binds.
    // The real library exports every name the binding needs.
    void bindingTheRealLibraryBindsEveryExport() {
        corvaneFreeLibrary();
        traces.clear();
        QCOMPARE(firstMissingExport(), static_cast<const char*>(nullptr));
        QCOMPARE(corvaneLoadLibrary(), uint32_t{corvaneLoadBound});
        QVERIFY(corvaneSymbolTable.ndefParseMessage);
        QVERIFY(corvaneSymbolTable.snepPut);
    }

    void vcardLinesFollowTheFilledFields_data() {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("expected");
        // title, first, last, phone, mobile, email, company, job title, url, street, code, city, country
        QTest::newRow("no title, no mobile")
            << QStringList{"", "Ada", "Lovelace", "+44 1", "", "", "", "", "", "", "", "", ""}
            << "BEGIN:VCARD\nVERSION:3.0\nN:Lovelace;Ada\nFN:Ada Lovelace\nORG:\nURL:\nEMAIL;TYPE=INTERNET:\n"
               "TEL;TYPE=voice,work,pref:+44 1\nADR;TYPE=intl,work,postal,parcel:;;;;;;\nEND:VCARD\n";
        QTest::newRow("every field")
            << QStringList{"Dr", "Jörg", "Ström", "1", "2", "j@x.de", "Marveld", "CTO", "http://x.de", "Weg 1",
                           "12345", "Köln", "DE"}
            << QString::fromUtf8("BEGIN:VCARD\nVERSION:3.0\nN:Ström;Jörg;;;Dr\nFN:Jörg Ström\nORG:Marveld\nTITLE:CTO\n"
                                 "URL:http://x.de\nEMAIL;TYPE=INTERNET:j@x.de\nTEL;TYPE=voice,work,pref:1\n"
                                 "TEL;TYPE=cell:2\nADR;TYPE=intl,work,postal,parcel:;;Weg 1;Köln;;12345;DE\nEND:VCARD\n");
    }
    void vcardLinesFollowTheFilledFields() {
        QFETCH(QStringList, fields);
        QFETCH(QString, expected);
        QCOMPARE(buildAndReadVcard(fields), expected);
    }

    void anAddressWithOnlyTheCity() {
        const QString card =
            buildAndReadVcard({"", "", "", "", "", "", "", "", "", "", "", "Paris", ""});
        QCOMPARE(vcardLine(card, QStringLiteral("ADR;TYPE=intl,work,postal,parcel:")), QStringLiteral(";;;Paris;;;"));
        QCOMPARE(vcardLine(card, QStringLiteral("FN:")), QStringLiteral(" "));
    }

    void aSmartPosterParsesIntoThreeRecordsOnTwoLevels() {
        QCOMPARE(message.ndefCreateSmartPosterMessage(QStringLiteral("Hello"), QStringLiteral("German"),
                                                      QStringLiteral("http://www.example.com")),
                 NdefStatus{NDEF_OK});
        reparseOwnMessage();
        QCOMPARE(message.records().size(), 3);
        QCOMPARE(message.records()[0]->info.recordTypeId, NdefRecordTypeId{NDEF_ID_SMART_POSTER});
        QCOMPARE(message.records()[0]->info.level, 0u);
        QSet<NdefRecordTypeId> nested;
        for (int i = 1; i < 3; ++i) {
            QCOMPARE(message.records()[i]->info.level, 1u);
            nested.insert(message.records()[i]->info.recordTypeId);
        }
        QCOMPARE(nested, (QSet<NdefRecordTypeId>{NDEF_ID_TEXT, NDEF_ID_URI}));
        for (const TNdefRecord* record : message.records()) {
            if (record->info.recordTypeId != NDEF_ID_TEXT) continue;
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(record->info.text.language), record->info.text.languageLength),
                     QByteArray("de"));
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(record->info.text.text),
                                static_cast<qsizetype>(record->info.text.textLength)),
                     QByteArray("Hello"));
        }
    }

    void aNewParseLeavesNoStaleRecords() {
        QCOMPARE(message.ndefCreateSmartPosterMessage(QStringLiteral("A"), QStringLiteral("English"),
                                                      QStringLiteral("http://a.b")),
                 NdefStatus{NDEF_OK});
        reparseOwnMessage();
        QCOMPARE(message.records().size(), 3);
        QCOMPARE(message.ndefCreateUriMessage(QStringLiteral("https://"), QStringLiteral("example.org")),
                 NdefStatus{NDEF_OK});
        QCOMPARE(message.records().size(), 0);   // the records pointed into the replaced buffer
        reparseOwnMessage();
        QCOMPARE(message.records().size(), 1);
        const TNdefRecordInfo& uri = message.records()[0]->info;
        QCOMPARE(uri.recordTypeId, NdefRecordTypeId{NDEF_ID_URI});
        QCOMPARE(ndefUriPrefix(uri.uri.prefixCode), QStringLiteral("https://"));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(uri.uri.rest), static_cast<qsizetype>(uri.uri.restLength)),
                 QByteArray("example.org"));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(uri.type), uri.typeLength), QByteArray("U"));
    }

    void aTextOverTheLimitIsRefusedBeforeTheLibrary() {
        QCOMPARE(message.ndefCreateTextMessage(QStringLiteral("kept"), QStringLiteral("English")), NdefStatus{NDEF_OK});
        const uint32_t size = message.getMessageSize();
        QCOMPARE(message.ndefCreateTextMessage(QString(0x10000, QLatin1Char('x')), QStringLiteral("English")),
                 NdefStatus{NDEF_BUFFER_TOO_SMALL});
        QCOMPARE(message.getMessageSize(), size);
        QVERIFY(messageTraces.contains(QStringLiteral("! Text size exceeds buffer size")));
    }

    void aPictureOfAtMost65535BytesIsTaken_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::addColumn<uint32_t>("status");
        QTest::addColumn<QString>("mimeType");
        QTest::newRow("fits the message") << "picture.PNG" << 65000 << uint32_t{NDEF_OK} << "image/PNG";
        // Read and handed over, but the record with its header cannot fit the message buffer.
        QTest::newRow("largest") << "largest.png" << 65535 << uint32_t{NDEF_BUFFER_TOO_SMALL} << QString();
        QTest::newRow("one byte more") << "big.png" << 65536 << uint32_t{NDEF_BAD_PARAMETER} << QString();
        QTest::newRow("no suffix") << "picture" << 16 << uint32_t{NDEF_OK} << "image/";
    }
    void aPictureOfAtMost65535BytesIsTaken() {
        QFETCH(QString, name);
        QFETCH(int, size);
        QFETCH(uint32_t, status);
        QFETCH(QString, mimeType);
        QTemporaryDir folder;
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray content(size, 'p');
        content[size - 1] = 'z';
        file.write(content);
        file.close();
        QCOMPARE(message.ndefCreateMimeMessage(file.fileName()), status);
        if (status == NDEF_BAD_PARAMETER) {
            QVERIFY(messageTraces.contains(QStringLiteral("! File too large (> 65535 bytes)")));
            QVERIFY(!messageTraces.contains(QStringLiteral("Exit (status: 1)")));
            return;
        }
        if (status != NDEF_OK) {
            QVERIFY(messageTraces.contains(QStringLiteral("! Creating NDEF message failed (code: 5)")));
            QCOMPARE(message.mimeType(), QByteArray("image/png"));
            return;
        }
        reparseOwnMessage();
        QCOMPARE(message.records().size(), 1);
        const TNdefRecordInfo& record = message.records()[0]->info;
        QCOMPARE(QString::fromLatin1(reinterpret_cast<const char*>(record.type), record.typeLength), mimeType);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(record.payload.data),
                            static_cast<qsizetype>(record.payload.length)),
                 content);
    }

    void aMissingPictureIsRefused() {
        QCOMPARE(message.ndefCreateMimeMessage(QStringLiteral("/nonexistent/picture.png")),
                 NdefStatus{NDEF_BAD_PARAMETER});
        QVERIFY(messageTraces.contains(QStringLiteral("! Cannot find file")));
    }

    void aMessageNobodyListensToMakesNoTraceBuffers() {
        // Under the leak checker a trace buffer that nobody receives would show.
        CNdefMessage unheard;
        QCOMPARE(unheard.ndefCreateTextMessage(QStringLiteral("quiet"), QStringLiteral("English")), NdefStatus{NDEF_OK});
        QCOMPARE(unheard.ndefCreateTextMessage(QString(0x10000, QLatin1Char('x')), QString()),
                 NdefStatus{NDEF_BUFFER_TOO_SMALL});
    }

    void nameTables() {
        QCOMPARE(ndefUriPrefix(0x24), QStringLiteral("<unknown URI ID>"));
        QCOMPARE(ndefUriPrefix(0), QStringLiteral("<none>"));
        QCOMPARE(ndefUriPrefix(0x23), QStringLiteral("urn:nfc:"));
        QCOMPARE(ndefTnfName(6), QStringLiteral("Unchanged"));
        QCOMPARE(ndefTnfName(9), QStringLiteral("<unknown NDEF TNFNameFormat>"));
        QCOMPARE(ndefRecordTypeName(0x10C), QStringLiteral("<Error>"));
        QCOMPARE(ndefRecordTypeName(0x110), QStringLiteral("<unknown NDEF KnownType>"));
        QCOMPARE(ndefSmartPosterActionName(2), QStringLiteral("open for editing"));
        QCOMPARE(ndefSmartPosterActionName(3), QStringLiteral("<unknown action type>"));
        QCOMPARE(languageNameToCode(languageCodeToName(QStringLiteral("he"))), QStringLiteral("he"));
        QCOMPARE(languageCodeToName(QStringLiteral("xx")), QString());
    }

    void lumaroStartsOffscreenWithItsBanner() {
        QProcess lumaro;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // The program's debug lines reach the terminal only when asked for, as the library's do.
        environment.insert(QStringLiteral("CORVANE_TRACE"), QStringLiteral("stderr"));
        lumaro.setProcessEnvironment(environment);
        lumaro.start(QStringLiteral(LUMARO_EXECUTABLE), {});
        QVERIFY(lumaro.waitForStarted(10000));
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += lumaro.readAllStandardError()).contains("version"), 20000);
        QVERIFY(output.contains("lumaro  : "));
        QCOMPARE(lumaro.state(), QProcess::Running);
        lumaro.kill();
        QVERIFY(lumaro.waitForFinished(10000));
    }
};

QTEST_MAIN(RealLibraryTest)
#include "real_library_test.moc"
