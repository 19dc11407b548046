// CNfcInstance's operations on the fake library's call log: which exports they call, with which
// bytes, in which order, and which input they refuse before any call.
#include <QtTest>

#include <QRegularExpression>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "corvanebinding.h"
#include "fake_control.h"
#include "ndefmessage.h"
#include "nfcinstance.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kDeliveryTimeoutMs = 5000;
constexpr DWORD kRw = CNfcInstance::modeRw, kP2p = CNfcInstance::modeP2p, kCe = CNfcInstance::modeCe;

FakeCorvane& fake() { return FakeCorvane::instance(); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string pointerText(const void* pointer) {
    char text[32];
    snprintf(text, sizeof text, "%p", pointer);
    return text;
}

} // namespace

class OperationsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CNfcInstance> instance;
    QStringList traces;
    size_t mark = 0;   // calls made before the step under test

    void start(const QString& configuration = QStringLiteral("READERTYPE=NCI PORT=/dev/null")) {
        instance = std::make_unique<CNfcInstance>();
        connect(instance.get(), &CNfcInstance::signalPostTrace, this, [this](DWORD, const char*, char* text) {
            traces << QString::fromLatin1(text);
            delete[] text;
        });
        instance->setConfiguration(configuration);
        QCOMPARE(instance->nfcStart(), NfcApiStatus{nfcStatusOk});
        markCalls();
    }
    void markCalls() { mark = fake().calls().size(); }
    std::vector<FakeCall> callsSinceMark() const {
        const std::vector<FakeCall> all = fake().calls();
        return std::vector<FakeCall>(all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())), all.end());
    }
    QStringList namesSinceMark() const {
        QStringList names;
        for (const FakeCall& call : callsSinceMark()) names << QString::fromStdString(call.name);
        return names;
    }
    std::vector<Bytes> buffersOf(const std::string& name) const {
        std::vector<Bytes> buffers;
        for (const FakeCall& call : callsSinceMark())
            if (call.name == name) buffers.push_back(call.buffer);
        return buffers;
    }
    bool traced(const QString& text) const { return traces.contains(text); }

    void deliver(const FakeEvent& event) {
        QVERIFY(fake().fire(event));
        QVERIFY(fake().waitDelivered(kDeliveryTimeoutMs));
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
    }
    void detectTag(DWORD type, const Bytes& uid) {
        TNfcTagInfo tag{};
        tag.tagType = type | TAG_NDEF;   // never the support listener's bare FeliCa report
        tag.uidLength = static_cast<WORD>(uid.size());
        std::copy(uid.begin(), uid.end(), tag.uid);
        deliver(fakeEvent(FakeTarget::Application, nfcEventTagDetected, tag));
    }

    // ---- SNEP pushes ----
    QStringList snepEnds;   // "role success" of each signalSnepEnded
    void startPushing() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kP2p, P2P_INITIATOR, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        snepEnds.clear();
        connect(instance.get(), &CNfcInstance::signalSnepEnded, this,
                [this](BYTE role, BOOL success) { snepEnds << QStringLiteral("%1 %2").arg(role).arg(success); });
        markCalls();
    }
    static std::unique_ptr<CNdefMessage> message(const Bytes& bytes) {
        auto built = std::make_unique<CNdefMessage>();
        built->ndefParseMessage(bytes.data(), static_cast<uint32_t>(bytes.size()));
        built->setMessageSize(static_cast<uint32_t>(bytes.size()));
        return built;
    }
    // Until every client made is released and nothing more is reported.
    bool pushesEnded() {
        return QTest::qWaitFor([this] { return fake().waitDelivered(0) && clientsReleased(); },
                               int{kDeliveryTimeoutMs});
    }
    bool clientsReleased() const {
        const QStringList names = namesSinceMark();
        return names.count(QStringLiteral("snepReleaseClient")) == names.count(QStringLiteral("snepConnect"));
    }
    QStringList snepCalls() const { return namesSinceMark().filter(QRegularExpression(QStringLiteral("^snep"))); }
    QStringList failures() const { return traces.filter(QRegularExpression(QStringLiteral("^! "))); }

private slots:
    void init() {
        fake().reset();
        traces.clear();
        mark = 0;
    }
    void cleanup() {
        if (instance) instance->nfcStop(0);
        instance.reset();
    }

    // ---- Listeners ----

    void registeringRwTwiceClosesTheFirst() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x3, 424, 0, 26), NfcApiStatus{nfcStatusOk});
        const NfcListenerHandle first = instance->listener(kRw);
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x7, 0, 0, 26), NfcApiStatus{nfcStatusOk});
        QCOMPARE(namesSinceMark(), (QStringList{"nfcGetCapabilities", "nfcRegisterListener", "nfcGetCapabilities",
                                                "nfcUnregisterListener", "nfcRegisterListener"}));
        QVERIFY(traced(QStringLiteral("A listener (%1) already exists - closing it")
                           .arg(QString::fromStdString(pointerText(first)))));
        QCOMPARE(fake().lastCall("nfcUnregisterListener").arguments.at(0), pointerText(first));
        QCOMPARE(instance->rwRequestedMask(), DWORD{0x7});
        const TNfcListenParam& given = instance->listenParam();
        QCOMPARE(WORD(given.poll15693BitRate), WORD{26});
        QCOMPARE(BYTE(given.poll14443Flags), BYTE{0});   // no ISO-DEP rate the second time
    }

    // A listener that would not close stays the mode's: a registration over it would lose it.
    void aListenerThatWillNotCloseIsKept() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x3, 0, 0, 26), NfcApiStatus{nfcStatusOk});
        const NfcListenerHandle first = instance->listener(kRw);
        fake().setResult("nfcUnregisterListener", nfcStatusWrongState);
        markCalls();
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x7, 0, 0, 26), NfcApiStatus{nfcStatusWrongState});
        QCOMPARE(namesSinceMark(), (QStringList{"nfcGetCapabilities", "nfcUnregisterListener"}));
        QCOMPARE(instance->listener(kRw), first);
        fake().setResult("nfcUnregisterListener", nfcStatusOk);
        QCOMPARE(instance->nfcUnregisterListener(kRw, 0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("nfcUnregisterListener").arguments.at(0), pointerText(first));
    }

    void theRequestedMaskGoesToTheLibraryUnchanged() {
        TNfcCapabilityBlock block{};
        block.supportedMask = TAG_ISO14443A;
        fake().setCapabilities(block);
        start();
        QCOMPARE(instance->nfcRegisterListener(kRw, TAG_15693, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        QVERIFY(traced(QStringLiteral("No overlap between requested and supported mask")));
        QCOMPARE(fake().lastCall("nfcRegisterListener").arguments.at(2), std::to_string(TAG_15693));
    }

    void aRegistrationWithoutTechnologyOrModeMakesNoCall() {
        start();
        QCOMPARE(instance->nfcRegisterListener(0x2, 0x1, 0, 0, 0), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(instance->nfcRegisterListener(kRw, 0, 0, 0, 0), NfcApiStatus{nfcStatusFailed});
        QVERIFY(traced(QStringLiteral("! No valid operation mode (0x00000002) specified")));
        QVERIFY(traced(QStringLiteral("Requested mask is empty")));
        QVERIFY(traced(QStringLiteral("! No technology in requested mask detected")));
        QVERIFY(callsSinceMark().empty());
    }

    void thePn544SupportListenerFollowsP2pAndTheFelicaBits() {
        start(QStringLiteral("READERTYPE=PN544 PORT=/dev/null"));
        QCOMPARE(instance->nfcRegisterListener(kP2p, P2P_INITIATOR, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        std::vector<std::string> masks;
        for (const FakeCall& call : callsSinceMark())
            if (call.name == "nfcRegisterListener") masks.push_back(call.arguments.at(2));
        QCOMPARE(masks, (std::vector<std::string>{"4096", "768"}));
        QVERIFY(instance->supportListener());
        markCalls();
        QCOMPARE(instance->nfcRegisterListener(kRw, TAG_FELICA_TYPE3, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(namesSinceMark(), (QStringList{"nfcGetCapabilities", "nfcUnregisterListener", "nfcRegisterListener"}));
        QVERIFY(!instance->supportListener());
        QVERIFY(std::any_of(traces.begin(), traces.end(),
                            [](const QString& line) { return line.startsWith("Support listener (") && line.endsWith(") stopped"); }));
    }

    void withoutPn544NoSupportListenerStarts() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kP2p, P2P_INITIATOR, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(buffersOf("nfcRegisterListener").size(), size_t{1});
        QVERIFY(!instance->supportListener());
    }

    void unregisteringAModeWithoutListenerKeepsTheOtherModesStatus() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x3, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        fake().setResult("nfcUnregisterListener", nfcStatusInvalidHandle);
        int removed = 0;
        connect(instance.get(), &CNfcInstance::signalNfcTechnologyRemoved, this, [&] { ++removed; });
        QCOMPARE(instance->nfcUnregisterListener(kRw | kP2p, 0), NfcApiStatus{nfcStatusInvalidHandle});
        QVERIFY(traced(QStringLiteral("! No P2P-listener found")));
        QVERIFY(traced(QStringLiteral("! Unregistering RW-Listener failed (code: 5)")));
        fake().setResult("nfcUnregisterListener", nfcStatusOk);
        QCOMPARE(instance->nfcUnregisterListener(kRw | kP2p, kRw | kP2p), NfcApiStatus{nfcStatusOk});
        QVERIFY(!instance->listener(kRw));
        QCOMPARE(removed, 1);
    }

    void stopUnregistersOnlyWithTheWindowsMask() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x3, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        markCalls();
        QCOMPARE(instance->nfcStop(kRw), NfcApiStatus{nfcStatusOk});
        QCOMPARE(namesSinceMark(), (QStringList{"nfcUnregisterListener", "nfcDestroy", "nfcDone"}));
        instance.reset();
        start();
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x3, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        markCalls();
        QCOMPARE(instance->nfcStop(0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(namesSinceMark(), (QStringList{"nfcDestroy", "nfcDone"}));
    }

    // ---- Tags and raw exchanges ----

    void aLegacyExchangeSendsTheTypedBytes() {
        start();
        fake().queueAnswer("nfcExchangePdu", {0xAA, 0xBB});
        QString log;
        connect(instance.get(), &CNfcInstance::signalLegacyMessage, this, [&](const QString& text) { log = text; });
        QCOMPARE(instance->legacyExchangePdu(QStringLiteral("0x30 0x0a")), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("nfcExchangePdu").buffer, (Bytes{0x30, 0x0A}));
        QCOMPARE(fake().lastCall("nfcExchangePdu").capacity, 4096u);
        QCOMPARE(log, QStringLiteral("Transmitted PDU size: 2 bytes, data:\n  30 0A \n  Received PDU size: 2 bytes, "
                                     "data:\nAA BB "));
    }

    void formatLegacyOnlyForTagTypesThatHaveIt_data() {
        QTest::addColumn<DWORD>("type");
        QTest::addColumn<DWORD>("kind");
        QTest::addColumn<QString>("call");
        QTest::newRow("MIFARE 1K legacy") << DWORD{TAG_MIFARE_STD_1K} << DWORD{2} << "nfcFormat";
        QTest::newRow("FeliCa legacy") << DWORD{TAG_FELICA_TYPE3} << DWORD{2} << "nfcFormat";
        QTest::newRow("MIFARE S20 legacy") << DWORD{TAG_MIFARE_S20} << DWORD{2} << "nfcFormat";
        QTest::newRow("Type A legacy") << DWORD{TAG_ISO14443A} << DWORD{2} << QString();
        QTest::newRow("Type 2 legacy") << DWORD{TAG_ULTRALIGHT_TYPE2} << DWORD{2} << QString();
        QTest::newRow("Type 2 NDEF") << DWORD{TAG_ULTRALIGHT_TYPE2} << DWORD{1} << "nfcFormatNdef";
        QTest::newRow("Kovio NDEF") << DWORD{TAG_KOVIO_BARCODE} << DWORD{1} << QString();
        QTest::newRow("unknown kind") << DWORD{TAG_MIFARE_STD_1K} << DWORD{3} << QString();
    }
    void formatLegacyOnlyForTagTypesThatHaveIt() {
        QFETCH(DWORD, type);
        QFETCH(DWORD, kind);
        QFETCH(QString, call);
        start();
        detectTag(type, {1, 2, 3, 4});
        markCalls();
        QCOMPARE(instance->format(kind, 0), NfcApiStatus{call.isEmpty() ? nfcStatusFailed : nfcStatusOk});
        QCOMPARE(namesSinceMark(), call.isEmpty() ? QStringList() : QStringList{call});
    }

    void aFailedPresenceCheckReportsTheTagGone() {
        start();
        QCOMPARE(instance->nfcCheckPresence(), NfcApiStatus{nfcStatusFailed});
        QVERIFY(callsSinceMark().empty());
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x3, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        fake().setResult("nfcCheckTag", nfcStatusNotConnected);
        int removed = 0;
        connect(instance.get(), &CNfcInstance::signalNfcTechnologyRemoved, this, [&] { ++removed; });
        QCOMPARE(instance->nfcCheckPresence(), NfcApiStatus{nfcStatusNotConnected});
        QCOMPARE(removed, 1);
        QVERIFY(traced(QStringLiteral("! Checking presence failed (code: 16)")));
    }

    void aReadNdefMessageIsParsedIntoTheWindowsMessage() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x3, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        CNdefMessage message;
        QCOMPARE(instance->readNdefTag(&message), NfcApiStatus{nfcStatusOk});
        QVERIFY(traced(QStringLiteral("NDEF tag empty")));
        fake().queueAnswer("nfcReadNdefMessage", {0xD1, 0x01, 0x01, 0x54, 0x00});
        QCOMPARE(instance->readNdefTag(&message), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("nfcReadNdefMessage").capacity, 65535u);
        QCOMPARE(fake().lastCall("ndefParseMessage").arguments.at(3), std::string("5"));
    }

    void tagInfoIsServedForTheRwModeOnly() {
        start();
        TNfcTagInfo info{};
        QCOMPARE(instance->getTagInfo(kP2p, &info), NfcApiStatus{nfcStatusFailed});
        QVERIFY(callsSinceMark().empty());
        TNfcTagInfo scripted{};
        scripted.tagType = TAG_JEWEL_TYPE1;
        fake().setTagInfo(scripted);
        QCOMPARE(instance->getTagInfo(kRw, &info), NfcApiStatus{nfcStatusOk});
        QCOMPARE(DWORD(info.tagType), DWORD{TAG_JEWEL_TYPE1});
        QCOMPARE(fake().lastCall("nfcGetTagInfo").arguments.at(1), std::string("-2147483648"));
    }

    // ---- MIFARE Classic ----

    void mifareAuthenticationSendsTheKeyForTheSectorsFirstBlock() {
        start();
        detectTag(TAG_MIFARE_STD_4K, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
        QString log;
        connect(instance.get(), &CNfcInstance::signalMfMessage, this, [&](const QString& text) { log = text; });
        QCOMPARE(instance->mfAuthenticate(0x0B, 33, QStringLiteral("FFFFFFFFFFFF")), NfcApiStatus{nfcStatusOk});
        QCOMPARE(buffersOf("nfcExchangePdu"),
                 (std::vector<Bytes>{{0x61, 0x90, 0x11, 0x22, 0x33, 0x44, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}));
        QCOMPARE(fake().lastCall("nfcExchangePdu").capacity, 255u);
        QVERIFY2(log.startsWith(QStringLiteral("Authentication sector 33 key B: Success\nTransmitted PDU size: 12 bytes:\n")),
                 qPrintable(log));
        QCOMPARE(instance->mfAuthenticate(0x0A, 3, QStringLiteral("a0a1a2a3a4a5")), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("nfcExchangePdu").buffer,
                 (Bytes{0x60, 0x0C, 0x11, 0x22, 0x33, 0x44, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}));
    }

    void aSectorAbove31ReadsItsSixteenBlocks() {
        start();
        for (int i = 0; i < 16; ++i) fake().queueAnswer("nfcExchangePdu", Bytes(16, static_cast<uint8_t>(i)));
        QString log;
        connect(instance.get(), &CNfcInstance::signalMfMessage, this, [&](const QString& text) { log = text; });
        QCOMPARE(instance->mfReadSector(32), NfcApiStatus{nfcStatusOk});
        std::vector<Bytes> expected;
        for (uint8_t block = 128; block < 144; ++block) expected.push_back({0x30, block});
        QCOMPARE(buffersOf("nfcExchangePdu"), expected);
        QVERIFY2(log.startsWith(QStringLiteral("Read sector 32: Success\nBlock 128 data (hex):\n00 00 ")), qPrintable(log));
        QVERIFY(log.endsWith(QStringLiteral("0F 0F 0F ")));
    }

    void aSectorStopsAtItsFirstFailedBlock() {
        start();
        fake().queueAnswer("nfcExchangePdu", Bytes(16, 0xAB));
        fake().queueAnswer("nfcExchangePdu", Bytes(4, 0xCD));   // a short answer is a failed read
        QString log;
        connect(instance.get(), &CNfcInstance::signalMfMessage, this, [&](const QString& text) { log = text; });
        QCOMPARE(instance->mfReadSector(1), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(buffersOf("nfcExchangePdu").size(), size_t{2});
        QVERIFY2(log.startsWith(QStringLiteral("Read sector 1: Fail\nBlock 4 data")), qPrintable(log));
        QVERIFY(log.endsWith(QStringLiteral("\nFailed to read block 5")));
    }

    void aBlockReadWithAWrongAnswerLengthFails() {
        start();
        fake().queueAnswer("nfcExchangePdu", Bytes(15, 0x01));
        QStringList logs;
        connect(instance.get(), &CNfcInstance::signalMfMessage, this, [&](const QString& text) { logs << text; });
        QCOMPARE(instance->mfReadBlock(7), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(fake().lastCall("nfcExchangePdu").buffer, (Bytes{0x30, 0x07}));
        QCOMPARE(fake().lastCall("nfcExchangePdu").capacity, 16u);
        QCOMPARE(logs.value(0), QStringLiteral("Read block 7: Fail\n"));
        QVERIFY(traced(QStringLiteral("! Reading block 7 failed (code: 0)")));
        fake().queueAnswer("nfcExchangePdu", Bytes(16, 0x02));
        QCOMPARE(instance->mfReadBlock(255), NfcApiStatus{nfcStatusOk});
        QCOMPARE(logs.value(2), QStringLiteral("Read block 255: Success\n"));
    }

    void aBlockWriteSendsEighteenBytes() {
        start();
        fake().queueAnswer("nfcExchangePdu", {0x0A});   // the card's ACK
        QCOMPARE(instance->mfWriteBlock(8, QStringLiteral("00112233445566778899AABBCCDDEEFF")), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("nfcExchangePdu").buffer,
                 concat({{0xA0, 0x08}, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC,
                                        0xDD, 0xEE, 0xFF}}));
    }

    // An exchange that went through with anything but the card's ACK is a write that failed.
    void aBlockWriteWithoutTheCardsAckFails_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("NAK") << QByteArray(1, '\x00');
        QTest::newRow("nothing") << QByteArray();
        QTest::newRow("ACK and more") << QByteArray("\x0A\x00", 2);
    }
    void aBlockWriteWithoutTheCardsAckFails() {
        QFETCH(QByteArray, answer);
        start();
        fake().queueAnswer("nfcExchangePdu", Bytes(answer.begin(), answer.end()));
        QStringList logs;
        connect(instance.get(), &CNfcInstance::signalMfMessage, this, [&](const QString& text) { logs << text; });
        QCOMPARE(instance->mfWriteBlock(8, QStringLiteral("00112233445566778899AABBCCDDEEFF")),
                 NfcApiStatus{nfcStatusFailed});
        QVERIFY2(logs.value(0).startsWith(QStringLiteral("Write block 8: Fail\n")), qPrintable(logs.value(0)));
        QVERIFY(traced(QStringLiteral("! Writing block 8 failed (code: 1)")));
    }

    // Every refusal happens before the library is called.
    void badInputIsRefusedWithoutACall_data() {
        QTest::addColumn<int>("row");
        const char* const names[] = {"sector 40",        "short key",           "key with a non-hex digit",
                                     "unknown key type", "block 256",           "sector 40 read",
                                     "31 digits",        "32 chars, one not hex", "write block 256",
                                     "legacy non-hex",   "legacy odd digits",   "legacy empty",
                                     "legacy too long",  "io non-hex",          "io odd",
                                     "io too long",      "SE non-hex",          "SE odd",
                                     "legacy non-ASCII"};
        for (int i = 0; i < int(std::size(names)); ++i) QTest::newRow(names[i]) << i;
    }
    void badInputIsRefusedWithoutACall() {
        QFETCH(int, row);
        const QString block(QStringLiteral("00112233445566778899AABBCCDDEEFF"));
        const std::function<NfcApiStatus(CNfcInstance&)> operations[] = {
            [](CNfcInstance& i) { return i.mfAuthenticate(0x0A, 40, QStringLiteral("FFFFFFFFFFFF")); },
            [](CNfcInstance& i) { return i.mfAuthenticate(0x0A, 1, QStringLiteral("FFFFFFFFFF")); },
            [](CNfcInstance& i) { return i.mfAuthenticate(0x0A, 1, QStringLiteral("FFFFFFFFFFFG")); },
            [](CNfcInstance& i) { return i.mfAuthenticate(0x0C, 1, QStringLiteral("FFFFFFFFFFFF")); },
            [](CNfcInstance& i) { return i.mfReadBlock(256); },
            [](CNfcInstance& i) { return i.mfReadSector(40); },
            [&](CNfcInstance& i) { return i.mfWriteBlock(1, block.left(31)); },
            [&](CNfcInstance& i) { return i.mfWriteBlock(1, block.left(31) + QLatin1Char('Z')); },
            [&](CNfcInstance& i) { return i.mfWriteBlock(256, block); },
            [](CNfcInstance& i) { return i.legacyExchangePdu(QStringLiteral("0xZZ")); },
            [](CNfcInstance& i) { return i.legacyExchangePdu(QStringLiteral("30 0")); },
            [](CNfcInstance& i) { return i.legacyExchangePdu(QStringLiteral(" 0x ")); },
            [](CNfcInstance& i) { return i.legacyExchangePdu(QString(8194, QLatin1Char('0'))); },
            [](CNfcInstance& i) { return i.ioControl(QStringLiteral("0G"), 0x1234); },
            [](CNfcInstance& i) { return i.ioControl(QStringLiteral("123"), 0x1234); },
            [](CNfcInstance& i) { return i.ioControl(QString(512, QLatin1Char('0')), 0x1234); },
            [](CNfcInstance& i) { return i.seExchangePdu(1, QStringLiteral("00 A4 0x0G")); },
            [](CNfcInstance& i) { return i.seExchangePdu(1, QStringLiteral("00A")); },
            [](CNfcInstance& i) { return i.legacyExchangePdu(QString::fromUtf8("30 0\xC3\xA9")); },
        };
        start();
        QCOMPARE(instance->nfcRegisterListener(kRw, 0x3, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        markCalls();
        QCOMPARE(operations[row](*instance), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(namesSinceMark(), QStringList());
        QVERIFY(traced(QStringLiteral("! Invalid data format")) || traced(QStringLiteral("! No data found to send")));
    }

    // ---- P2P ----

    void aTransmittedBufferLivesUntilItsDataSentReport() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kP2p, P2P_INITIATOR, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance->p2pConnect(15, 2, 128), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance->p2pTransmit(15, 5), NfcApiStatus{nfcStatusOk});
        const FakeCall request = fake().lastCall("nfcP2PDataRequest");
        QCOMPARE(request.buffer, (Bytes{0, 1, 2, 3, 4}));
        std::string sentAddress;
        Bytes sent;
        BYTE sap = 0;
        connect(instance.get(), &CNfcInstance::signalP2pDataSent, this, [&](TP2pConnection* record) {
            sentAddress = pointerText(record->data.data);
            sent.assign(record->data.data, record->data.data + record->data.length);
            sap = record->data.sourceSap;
            delete[] record->data.data;   // as the window does
            delete record;
        });
        // The library's report names no buffer, only the link's context.
        QVERIFY(fake().confirmSent(instance->clientConnection(15)));
        QVERIFY(fake().waitDelivered(kDeliveryTimeoutMs));
        QCoreApplication::sendPostedEvents();
        QCOMPARE(sent, (Bytes{0, 1, 2, 3, 4}));
        QCOMPARE(sentAddress, request.arguments.at(1));
        QCOMPARE(sap, BYTE{15});
    }

    void callerDataIsSentFromACopyAndAnUnknownSapIsRefused() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kP2p, P2P_INITIATOR, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance->p2pConnect(14, 2, 128), NfcApiStatus{nfcStatusOk});
        const BYTE data[] = {'e', 'c', 'h', 'o'};
        QCOMPARE(instance->p2pTransmit(14, data, sizeof data), NfcApiStatus{nfcStatusOk});
        QVERIFY(fake().lastCall("nfcP2PDataRequest").arguments.at(1) != pointerText(data));
        QCOMPARE(fake().lastCall("nfcP2PDataRequest").buffer, (Bytes{'e', 'c', 'h', 'o'}));
        markCalls();
        QCOMPARE(instance->p2pStartListener(16, 2, 128), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(instance->p2pTransmit(15, 3), NfcApiStatus{nfcStatusFailed});   // no connection on SAP 15
        QVERIFY(callsSinceMark().empty());
        QVERIFY(traced(QStringLiteral("! No instance to the requested SAP found (sap: 16)")));
        // The unsent copy is freed with the instance: the leak checker would show it otherwise.
    }

    // ---- SNEP pushes, on the fake's client as the library runs it: 17 answers the connect and
    // the PUT, whose ends are reported from the library's thread ----

    void aPushStartsItsPutAndEndsItsConnectionWhenReported() {
        startPushing();
        const Bytes record = {0xD1, 0x01, 0x01, 0x54, 0x00};
        QCOMPARE(instance->snepTransmit(message(record).get(), 248), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("snepConnect").arguments.at(2), std::string("\"urn:nfc:sn:snep\""));
        QVERIFY(pushesEnded());
        QCOMPARE(snepCalls(), (QStringList{"snepConnect", "snepPut", "snepDisconnect", "snepReleaseClient"}));
        QCOMPARE(fake().lastCall("snepPut").buffer, record);
        QCOMPARE(snepEnds, QStringList{"1 1"});
        QVERIFY2(failures().isEmpty(), qPrintable(failures().join('\n')));
    }

    // A second message waits for its turn wherever the first one is: both go, in order, and a
    // client that is ending is never asked to put.
    void aSecondPushWaitsForItsTurn_data() {
        QTest::addColumn<int>("reportsBefore");   // delivered before the second push comes
        QTest::newRow("while connecting") << 0;
        QTest::newRow("while putting") << 1;
        QTest::newRow("while the connection ends") << 2;
    }
    void aSecondPushWaitsForItsTurn() {
        QFETCH(int, reportsBefore);
        startPushing();
        const Bytes first = {0xD1, 0x01, 0x01, 0x54, 0x01}, second = {0xD1, 0x01, 0x01, 0x54, 0x02};
        fake().hold(true);
        QCOMPARE(instance->snepTransmit(message(first).get(), 248), NfcApiStatus{nfcStatusOk});
        for (int i = 0; i < reportsBefore; ++i) {
            QVERIFY(fake().step(kDeliveryTimeoutMs));
            QCoreApplication::sendPostedEvents();
        }
        QCOMPARE(instance->snepTransmit(message(second).get(), 248), NfcApiStatus{nfcStatusOk});
        fake().hold(false);
        QVERIFY(QTest::qWaitFor([this] { return snepEnds.size() == 2 && clientsReleased(); }, int{kDeliveryTimeoutMs}));
        QCOMPARE(buffersOf("snepPut"), (std::vector<Bytes>{first, second}));
        QCOMPARE(snepEnds, (QStringList{"1 1", "1 1"}));
        QVERIFY2(failures().isEmpty(), qPrintable(failures().join('\n')));
    }

    // The failure is reported once, the client released, and nothing is tried again and again.
    void aPeerThatRefusesEndsThePushAsFailed_data() {
        QTest::addColumn<bool>("accepts");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("the connection") << false << QStringList{"snepConnect", "snepReleaseClient"};
        QTest::newRow("the message") << true
                                     << QStringList{"snepConnect", "snepPut", "snepDisconnect", "snepReleaseClient"};
    }
    void aPeerThatRefusesEndsThePushAsFailed() {
        QFETCH(bool, accepts);
        QFETCH(QStringList, calls);
        startPushing();
        fake().setSnepPeer({.accepts = accepts, .takes = false});
        QCOMPARE(instance->snepTransmit(message({0xD1, 0x01, 0x01, 0x54, 0x00}).get(), 248), NfcApiStatus{nfcStatusOk});
        QVERIFY(pushesEnded());
        QCOMPARE(snepCalls(), calls);
        QCOMPARE(snepEnds, QStringList{"1 0"});
    }

    // A peer that leaves takes the waiting messages with it: their push ends as failed.
    void aPeerThatLeavesEndsTheWaitingPushes() {
        startPushing();
        fake().hold(true);   // the peer leaves before it answers the connection
        QCOMPARE(instance->snepTransmit(message({0xD1, 0x01, 0x01, 0x54, 0x00}).get(), 248), NfcApiStatus{nfcStatusOk});
        instance->handleTagRemoved();
        fake().hold(false);
        QVERIFY(pushesEnded());
        QCOMPARE(snepCalls(), (QStringList{"snepConnect", "snepReleaseClient"}));
        QCOMPARE(snepEnds, QStringList{"1 0"});
    }

    void serversStartOnceAndStopOnlyWhenRunning() {
        start();
        // The library serves only an application that listens for P2P.
        QCOMPARE(instance->snepStartServer(248, QString(), 9), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(instance->nppStartServer(), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(instance->nfcRegisterListener(kP2p, P2P_TARGET, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        markCalls();
        QCOMPARE(instance->snepStopServer(), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance->nppStopServer(), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance->handoverStopServer(), NfcApiStatus{nfcStatusOk});
        QVERIFY(callsSinceMark().empty());
        QCOMPARE(instance->snepStartServer(248, QString(), 9), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("snepStartServer").arguments.at(2), std::string("\"urn:nfc:sn:snep\""));
        QCOMPARE(fake().lastCall("snepStartServer").arguments.at(3), std::string("4"));
        QCOMPARE(instance->snepStartServer(248, QString(), 4), NfcApiStatus{nfcStatusFailed});
        QVERIFY(traced(QStringLiteral("! A SNEP server is already started")));
        QCOMPARE(instance->nppStartServer(), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance->nppStartServer(), NfcApiStatus{nfcStatusFailed});
        fake().setResult("nppStopServer", nppFailed);
        QCOMPARE(instance->nppStopServer(), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(instance->snepStopServer(), NfcApiStatus{nfcStatusOk});
        QVERIFY(traced(QStringLiteral("SNEP server stopped")));
    }

    // ---- Secure elements and I/O control ----

    void theEchoTestSendsItsFixedSequence() {
        TNfcInfoSE element{};
        element.handle = 0x51;
        element.id = 0xC0;
        fake().setSecureElements({element});
        start();
        QCOMPARE(instance->seOpenEse(0xC0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(namesSinceMark(), (QStringList{"nfcSecureGetList", "nfcDeviceIoControl", "nfcSecureOpen"}));
        QCOMPARE(fake().lastCall("nfcDeviceIoControl").arguments.at(1), std::string("4362"));
        QCOMPARE(fake().lastCall("nfcDeviceIoControl").buffer, Bytes{0xC0});
        markCalls();
        fake().queueAnswer("nfcSecureExchangePdu", {0x6F, 0x00});
        fake().queueAnswer("nfcSecureExchangePdu", {0x01, 0x90, 0x00});
        QCOMPARE(instance->seEchoTest(0xC0), NfcApiStatus{nfcStatusOk});
        const std::vector<Bytes> sent = buffersOf("nfcSecureExchangePdu");
        QCOMPARE(sent.size(), size_t{32});
        QCOMPARE(sent[0], (Bytes{0xB8, 0xE8, 0x00, 0x00, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x10}));
        QCOMPARE(sent[1], (Bytes{0x00, 0xA4, 0x04, 0x00, 0x0E, 0xA0, 0x00, 0x00, 0x00, 0x18, 0x30, 0x80, 0x05, 0x00,
                                 0x65, 0x63, 0x68, 0x6F, 0x00}));
        for (uint8_t n = 10; n <= 39; ++n) {
            Bytes command{0x10, 0x23, 0x40, 0x33, n};
            for (uint8_t i = 0; i < n; ++i) command.push_back(i);
            QCOMPARE(sent[n - 8], command);
        }
        markCalls();
        fake().queueAnswer("nfcSecureExchangePdu", {0x90, 0x00});
        fake().queueAnswer("nfcSecureExchangePdu", {0x6A, 0x82});
        QCOMPARE(instance->seEchoTest(0xC0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(buffersOf("nfcSecureExchangePdu").size(), size_t{2});
        QVERIFY(traced(QStringLiteral("! 7816 exchange failed")));
        QString log;
        connect(instance.get(), &CNfcInstance::signalSeMessage, this, [&](const QString& text) { log = text; });
        QCOMPARE(instance->seExchangePdu(0xC0, QStringLiteral("00 0xB0")), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("nfcSecureExchangePdu").buffer, (Bytes{0x00, 0xB0}));
        QVERIFY(log.startsWith(QStringLiteral("Transmitted PDU size: 2 bytes")));
        QCOMPARE(instance->seExchangePdu(0xC1, QStringLiteral("00B0")), NfcApiStatus{nfcStatusFailed});
        QVERIFY(traced(QStringLiteral("No connection found")));
        QCOMPARE(instance->seCloseEse(0xC0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance->seCloseEse(0xC0), NfcApiStatus{nfcStatusFailed});
    }

    void seModesAddressTheListedSlot() {
        TNfcInfoSE first{}, second{};
        first.handle = 0x10;
        second.handle = 0x20;
        second.id = 2;
        fake().setSecureElements({first, second});
        start();
        QCOMPARE(instance->seStart(1), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("nfcSecureSetMode").arguments.at(1), std::string("32"));
        QCOMPARE(fake().lastCall("nfcSecureSetMode").arguments.at(2), std::string("1"));
        QCOMPARE(instance->seStop(0), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("nfcSecureSetMode").arguments.at(2), std::string("0"));
        markCalls();
        QCOMPARE(instance->seStart(4), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(namesSinceMark(), QStringList{"nfcSecureGetList"});
        QVERIFY(traced(QStringLiteral("! Requested secure element not found (slot: 4)")));
        QCOMPARE(instance->getSecureElementById(2)->handle, NfcSecureHandle{0x20});
    }

    void anIoControlSendsItsBytesAndReportsTheAnswer() {
        start();
        fake().queueAnswer("nfcDeviceIoControl", {0x00});
        QString log;
        connect(instance.get(), &CNfcInstance::signalIoMessage, this, [&](const QString& text) { log = text; });
        QCOMPARE(instance->ioControl(QStringLiteral("01 0x02"), 0x120B), NfcApiStatus{nfcStatusOk});
        QCOMPARE(fake().lastCall("nfcDeviceIoControl").buffer, (Bytes{0x01, 0x02}));
        QCOMPARE(fake().lastCall("nfcDeviceIoControl").arguments.at(1), std::string("4619"));
        QVERIFY(log.endsWith(QStringLiteral("Received PDU size: 1 bytes, data:\n00 ")));
    }

    // ---- Card emulation on the library's thread ----

    void cardEmulationListenParametersNameTheEmulatedCards() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kCe, CE_HOST_14443B_106 | CE_HOST_FELICA, 848, 424, 0),
                 NfcApiStatus{nfcStatusOk});
        const TNfcListenParam& given = instance->listenParam();
        QCOMPARE(WORD(given.listenAFlags), WORD{0});
        QCOMPARE(WORD(given.listenBFlags), WORD{NFC_LISTEN_B_NFCID0 | NFC_LISTEN_B_BIT_RATE});
        QCOMPARE(Bytes(given.nfcid0, given.nfcid0 + 4), (Bytes{0xCE, 0x14, 0x44, 0x3B}));
        QCOMPARE(WORD(given.listenBBitRate), WORD{848});
        QCOMPARE(WORD(given.listenFFlags), WORD{NFC_LISTEN_F_IDENTIFIERS | NFC_LISTEN_F_BIT_RATE});
        QCOMPARE(WORD(given.systemCode), WORD{0x12FC});
        QCOMPARE(Bytes(given.nfcid2, given.nfcid2 + 8), (Bytes{0x02, 0x19, 0x0F, 0x0E, 0x01, 0x01, 0x0C, 0x0A}));
        QCOMPARE(WORD(given.listenFBitRate), WORD{424});
        QCOMPARE(fake().lastCall("nfcRegisterListener").buffer.size(), sizeof(TNfcListenParam));
        // A CE registration without an emulated card gives the library no parameters.
        QCOMPARE(instance->nfcRegisterListener(kCe, CE_SECURE_CE, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        QVERIFY(traced(QStringLiteral("! No Card emulation requested (mask: 0x00020000)")));
        QVERIFY(fake().lastCall("nfcRegisterListener").buffer.empty());
    }

    void aReaderCommandFromTheLibraryIsAnsweredThroughTransmit() {
        start();
        QCOMPARE(instance->nfcRegisterListener(kCe, CE_HOST_14443A_106, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        const TNfcListenParam& given = instance->listenParam();
        QCOMPARE(WORD(given.listenAFlags), WORD{NFC_LISTEN_A_NFCID1 | NFC_LISTEN_A_SAK | NFC_LISTEN_A_SDD});
        QCOMPARE(Bytes(given.nfcid1, given.nfcid1 + given.nfcid1Length), (Bytes{0x08, 0x14, 0x44, 0x3A}));
        const BYTE capabilityContainer[15] = {0x00, 0x0F, 0x20, 0x00, 0x3B, 0x00, 0x34, 0x04,
                                              0x06, 0xE1, 0x04, 0x10, 0x01, 0x00, 0x00};
        QCOMPARE(instance->ceStart(CE_HOST_14443A_106, 1, capabilityContainer, nullptr), NfcApiStatus{nfcStatusOk});
        detectTag(CE_HOST_14443A_106, {});
        QString log;
        connect(instance.get(), &CNfcInstance::signalCeMessage, this, [&](const QString& text) { log = text; });
        TNfcReaderRequest request{};
        const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x00};
        request.length = static_cast<WORD>(select.size());
        FakeEvent event = fakeEvent(FakeTarget::Application, nfcEventReaderRequest, request);
        event.payload = select;
        event.payloadOffset = offsetof(TNfcReaderRequest, pdu);
        markCalls();
        deliver(event);
        QCOMPARE(namesSinceMark(), QStringList{"nfcTransmitPdu"});
        QCOMPARE(fake().lastCall("nfcTransmitPdu").buffer, (Bytes{0x90, 0x00}));
        QCOMPARE(fake().lastCall("nfcTransmitPdu").arguments.at(0), pointerText(instance->listener(kCe)));
        QVERIFY2(log.contains(QStringLiteral("NFC application selected (v1)")), qPrintable(log));
        QVERIFY(log.endsWith(QStringLiteral("\nTX (hex):\n90 00 ")));
        // A pending transmission is no failure; another result is traced.
        fake().setResult("nfcTransmitPdu", nfcStatusPending);
        deliver(event);
        fake().setResult("nfcTransmitPdu", nfcStatusWrongState);
        deliver(event);
        QCOMPARE(traces.filter(QStringLiteral("! Transmitting response failed")),
                 QStringList{"! Transmitting response failed (code: 11)"});
    }
};

QTEST_MAIN(OperationsTest)
#include "operations_test.moc"
