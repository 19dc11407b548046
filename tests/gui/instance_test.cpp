// CNfcInstance on the fake library: start and stop sequences, and every event fired from the
// fake's own thread arriving intact on the GUI thread after the fake overwrote and freed its
// record.
#include <QThread>
#include <QtTest>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "corvanebinding.h"
#include "fake_control.h"
#include "nfcinstance.h"

namespace {

constexpr uint32_t kDeliveryTimeoutMs = 5000;

FakeCorvane& fake() { return FakeCorvane::instance(); }

template <typename Record>
bool sameBytes(const Record& a, const Record& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TP2pConnection connectionRecord(uintptr_t context, WORD window, WORD miu, BYTE localSap, BYTE remoteSap) {
    TP2pConnection record{};
    record.context = reinterpret_cast<void*>(context);
    record.connected = TP2pConnected{window, miu, localSap, remoteSap};
    return record;
}

TNfcInfoSE secureElement(NfcSecureHandle handle, BYTE id) {
    TNfcInfoSE element{};
    element.handle = handle;
    element.capabilities = 0x0102;
    element.mode = NFC_SE_MODE_VIRTUAL;
    element.id = id;
    return element;
}

} // namespace

class InstanceTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CNfcInstance> instance;
    QStringList traces;
    bool offGuiThread = false;

    void watchTraces(CNfcInstance& watched) {
        connect(&watched, &CNfcInstance::signalPostTrace, this, [this](DWORD, const char*, char* text) {
            traces << QString::fromLatin1(text);
            delete[] text;
        });
    }

    // Slots of the test note when they run anywhere but on the GUI thread.
    void noteThread() { offGuiThread |= QThread::currentThread() != qApp->thread(); }

    void start() {
        instance = std::make_unique<CNfcInstance>();
        watchTraces(*instance);
        instance->setConfiguration(QStringLiteral("READERTYPE=NCI PORT=/dev/null"));
        QCOMPARE(instance->nfcStart(), NfcApiStatus{nfcStatusOk});
    }

    // Fires one report from the fake's thread, waits until its callback has returned (the fake
    // has then overwritten and freed the record), then lets the GUI thread run what was queued.
    void deliver(const FakeEvent& event) {
        QVERIFY(fake().fire(event));
        QVERIFY(fake().waitDelivered(kDeliveryTimeoutMs));
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
    }

private slots:
    void init() {
        fake().reset();
        traces.clear();
        offGuiThread = false;
    }
    void cleanup() {
        if (instance) instance->nfcStop(0);
        instance.reset();
        QVERIFY(!offGuiThread);
    }

    void queuedSignalsKnowTheRecordTypesByName() {
        CNfcInstance registering;
        for (const char* name : {"DWORD", "BYTE", "BOOL", "TNfcTagInfo *", "PBYTE", "TP2pConnection *", "TNfcInfoSE *",
                                 "TNfcEventParam *"})
            QVERIFY2(QMetaType::fromName(name).isValid(), name);
        QCOMPARE(QMetaType::fromName("DWORD").sizeOf(), 4);
    }

    void startLoadsInitialisesAndCreatesTheApplication() {
        start();
        const std::vector<std::string> expected = {"nfcGetVersion", "nfcInitialize", "nfcCreate"};
        QCOMPARE(fake().callNames(), expected);
        QCOMPARE(fake().lastCall("nfcInitialize").arguments.at(0), std::string("\"READERTYPE=NCI PORT=/dev/null\""));
        QVERIFY(traces.contains(QStringLiteral("NFC API version: 1.2")));
        QVERIFY(traces.contains(QStringLiteral("NFC stack version: Corvane fake 1.0")));
        QVERIFY(instance->applicationHandle());
        QVERIFY(fake().threadRunning());
    }

    void aFailedStartUndoesItsStepsInReverse_data() {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("trace");
        QTest::newRow("initialise") << "nfcInitialize" << QStringList{"nfcGetVersion", "nfcInitialize"}
                                    << "! Initializing NFC controller failed (code: 4)";
        QTest::newRow("create") << "nfcCreate" << QStringList{"nfcGetVersion", "nfcInitialize", "nfcCreate", "nfcDone"}
                                << "! Creating a NFC-application failed (code: 4)";
    }
    void aFailedStartUndoesItsStepsInReverse() {
        QFETCH(QString, failing);
        QFETCH(QStringList, calls);
        QFETCH(QString, trace);
        fake().setResult(failing.toStdString(), nfcStatusStartFailed);
        CNfcInstance failed;
        watchTraces(failed);
        QCOMPARE(failed.nfcStart(), NfcApiStatus{nfcStatusStartFailed});
        QStringList made;
        for (const std::string& name : fake().callNames()) made << QString::fromStdString(name);
        QCOMPARE(made, calls);
        QVERIFY(traces.contains(trace));
        QVERIFY(!corvaneSymbolTable.module);
        QVERIFY(!failed.applicationHandle());
        QVERIFY(!fake().threadRunning());
    }

    void stopWithoutListenersDestroysAndReleasesOnly() {
        start();
        const size_t before = fake().calls().size();
        QCOMPARE(instance->nfcStop(0), NfcApiStatus{nfcStatusOk});
        const std::vector<FakeCall> calls = fake().calls();
        QCOMPARE(calls.size() - before, size_t{2});
        QCOMPARE(calls[before].name, std::string("nfcDestroy"));
        QCOMPARE(calls[before + 1].name, std::string("nfcDone"));
        QVERIFY(!corvaneSymbolTable.module);
        QVERIFY(!fake().threadRunning());
        QVERIFY(traces.contains(QStringLiteral("Exit (status: 0)")));
    }

    void stopGoesOnAfterAFailureAndReportsIt() {
        start();
        fake().setResult("nfcDestroy", nfcStatusInvalidHandle);
        QCOMPARE(instance->nfcStop(0), NfcApiStatus{nfcStatusInvalidHandle});
        QCOMPARE(fake().callNames().back(), std::string("nfcDone"));
        QVERIFY(traces.contains(QStringLiteral("! Destroying NFC-application failed (code: 5)")));
        QVERIFY(!corvaneSymbolTable.module);
    }

    void aDetectedTagArrivesIntactOnTheGuiThread() {
        start();
        TNfcTagInfo tag{};
        tag.tagType = TAG_ULTRALIGHT_TYPE2 | TAG_NDEF;
        tag.uidLength = 7;
        for (BYTE i = 0; i < 7; ++i) tag.uid[i] = static_cast<BYTE>(0x04 + i);
        tag.ndefLength = 48;
        tag.tx = 0xBEEF;
        TNfcTagInfo seen{};
        int discovered = 0;
        connect(instance.get(), &CNfcInstance::signalNfcTechnologyDiscovered, this, [&](TNfcTagInfo* copy) {
            noteThread();
            seen = *copy;
            ++discovered;
        });
        deliver(fakeEvent(FakeTarget::Application, nfcEventTagDetected, tag));
        QCOMPARE(discovered, 1);
        QVERIFY(sameBytes(seen, tag));
        QCOMPARE(instance->technologyType(), DWORD{TAG_ULTRALIGHT_TYPE2});
        QCOMPARE(instance->tagIdentifier(), QByteArray("\x04\x05\x06\x07\x08\x09\x0A", 7));

        int removed = 0;
        connect(instance.get(), &CNfcInstance::signalNfcTechnologyRemoved, this, [&] { ++removed; });
        deliver(FakeEvent{FakeTarget::Application, nfcEventTagRemoved, {}, {}, SIZE_MAX, nullptr});
        QCOMPARE(removed, 1);
        QCOMPARE(instance->technologyType(), DWORD{0});
        QVERIFY(instance->tagIdentifier().isEmpty());
    }

    void aSupportListenersFelicaTagIsDroppedWithoutTheFelicaBits() {
        start();
        int discovered = 0;
        connect(instance.get(), &CNfcInstance::signalNfcTechnologyDiscovered, this, [&](TNfcTagInfo*) { ++discovered; });
        TNfcTagInfo tag{};
        tag.tagType = TAG_FELICA_TYPE3;
        deliver(fakeEvent(FakeTarget::Application, nfcEventTagDetected, tag));
        QCOMPARE(discovered, 0);
        tag.tagType = TAG_ISO14443A;
        deliver(fakeEvent(FakeTarget::Application, nfcEventTagDetected, tag));
        QCOMPARE(discovered, 1);
    }

    void p2pReportsReachTheirPublicSignalsAsNewCopies_data() {
        QTest::addColumn<int>("event");
        QTest::addColumn<QString>("trace");
        QTest::newRow("connected") << int{nfcEventConnected} << QString();
        QTest::newRow("connect failed") << int{nfcEventConnectFailed} << "! nfcEventConnectFailed (context: 0x1234)";
        QTest::newRow("disconnected") << int{nfcEventDisconnected} << "! nfcEventDisconnected (context: 0x1234)";
        QTest::newRow("data transmitted") << int{nfcEventDataTransmitted} << QString();
    }
    void p2pReportsReachTheirPublicSignalsAsNewCopies() {
        QFETCH(int, event);
        QFETCH(QString, trace);
        start();
        instance->p2pStart();
        TP2pConnection received{};
        int copies = 0;
        const auto take = [&](TP2pConnection* copy) {
            noteThread();
            received = *copy;
            ++copies;
            delete copy;
        };
        connect(instance.get(), &CNfcInstance::signalP2pConnectionEstablished, this, take);
        connect(instance.get(), &CNfcInstance::signalP2pConnectionFailed, this, take);
        connect(instance.get(), &CNfcInstance::signalP2pConnectionDisconnected, this, take);
        connect(instance.get(), &CNfcInstance::signalP2pDataSent, this, take);
        const TP2pConnection record = connectionRecord(0x1234, 4, 248, 15, 32);
        deliver(fakeEvent(FakeTarget::Application, static_cast<DWORD>(event), record));
        QCOMPARE(copies, 1);
        QVERIFY(sameBytes(received, record));
        if (!trace.isEmpty()) QVERIFY2(traces.contains(trace), qPrintable(traces.join('\n')));
    }

    void p2pCopiesNobodyReceivesAreNotMade() {
        start();
        instance->p2pStart();
        deliver(fakeEvent(FakeTarget::Application, nfcEventConnected, connectionRecord(1, 1, 128, 15, 20)));
        deliver(fakeEvent(FakeTarget::Application, nfcEventHangupTerminated, connectionRecord(1, 0, 0, 0, 0)));
        QVERIFY(traces.contains(QStringLiteral("! nfcEventHangupTerminated (context: 0x1)")));
    }

    void receivedDataOutlivesTheLibrarysBuffer() {
        start();
        instance->p2pStart();
        QByteArray seen;
        BYTE sourceSap = 0;
        connect(instance.get(), &CNfcInstance::signalP2pDataReceived, this, [&](TP2pConnection* copy) {
            noteThread();
            seen = QByteArray(reinterpret_cast<const char*>(copy->data.data), copy->data.length);
            sourceSap = copy->data.sourceSap;
            delete copy;
        });
        TP2pConnection record{};
        record.data.length = 5;
        record.data.sourceSap = 32;
        FakeEvent event = fakeEvent(FakeTarget::Application, nfcEventDataIndication, record);
        event.payload = {'h', 'e', 'l', 'l', 'o'};
        event.payloadOffset = offsetof(TP2pConnection, data) + offsetof(TP2pData, data);
        deliver(event);
        QCOMPARE(seen, QByteArray("hello"));
        QCOMPARE(sourceSap, BYTE{32});
    }

    void aConnectIndicationIsAnsweredOnTheListenersSap() {
        start();
        instance->p2pStart();
        int requested = 0;
        connect(instance.get(), &CNfcInstance::signalP2pConnectionRequested, this, [&](TP2pConnection* copy) {
            noteThread();
            ++requested;
            delete copy;
        });
        deliver(fakeEvent(FakeTarget::Application, nfcEventConnectIndication, connectionRecord(0xC014, 2, 512, 14, 33)));
        QCOMPARE(requested, 1);
        QCOMPARE(instance->listenerConnection(14), reinterpret_cast<P2pLinkHandle>(0xC014));
        QVERIFY(!instance->listenerConnection(15));
        const FakeCall response = fake().lastCall("nfcP2PConnectResponse");
        QCOMPARE(response.arguments.at(0), std::string("0xc014"));

        const size_t calls = fake().calls().size();
        deliver(fakeEvent(FakeTarget::Application, nfcEventConnectIndication, connectionRecord(0xC016, 2, 512, 16, 34)));
        QCOMPARE(requested, 1);
        QCOMPARE(fake().calls().size(), calls);
        QVERIFY(traces.contains(QStringLiteral("! Unsupported SAP in connect request")));
    }

    void aReaderRequestsPduIsCopiedBeforeTheLibraryFreesIt() {
        start();
        connect(instance.get(), &CNfcInstance::signalReaderRequest, instance.get(), &CNfcInstance::handleReaderRequest);
        TNfcReaderRequest request{};
        request.length = 4;
        FakeEvent event = fakeEvent(FakeTarget::Application, nfcEventReaderRequest, request);
        event.payload = {0x00, 0xA4, 0x04, 0x00};
        event.payloadOffset = offsetof(TNfcReaderRequest, pdu);
        deliver(event);
        const TNfcReaderRequest& copy = instance->eventParam()->readerRequest;
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(copy.pdu), copy.length), QByteArray("\x00\xA4\x04\x00", 4));
    }

    void aTransactionBecomesAnSeMessage() {
        start();
        connect(instance.get(), &CNfcInstance::signalTransaction, instance.get(), &CNfcInstance::handleTransaction);
        QString message;
        connect(instance.get(), &CNfcInstance::signalSeMessage, this, [&](const QString& text) {
            noteThread();
            message = text;
        });
        TNfcTransaction transaction{};
        transaction.aidLength = 2;
        transaction.aid[0] = 0xA0;
        transaction.aid[1] = 0x01;
        transaction.paramLength = 1;
        transaction.param[0] = 0x7F;
        deliver(fakeEvent(FakeTarget::Application, nfcEventTransaction, transaction));
        QCOMPARE(message, QStringLiteral("Transaction received:\nAID length: 2\nAID data (hex):\nA0 01 "
                                         "\nParameter length: 1\nParameter data (hex):\n7F "));
        QVERIFY(sameBytes(instance->eventParam()->transaction, transaction));
    }

    void fieldDeviceAndUnknownReportsAreTracedOrSignalled() {
        start();
        int deviceRemoved = 0;
        connect(instance.get(), &CNfcInstance::signalNfcDeviceRemoved, this, [&] {
            noteThread();
            ++deviceRemoved;
        });
        deliver(fakeEvent(FakeTarget::Application, nfcEventFieldActivity, DWORD{1}));
        deliver(fakeEvent(FakeTarget::Application, nfcEventFieldActivity, DWORD{0}));
        deliver(FakeEvent{FakeTarget::Application, nfcEventPnpRemovedIndication, {}, {}, SIZE_MAX, nullptr});
        deliver(FakeEvent{FakeTarget::Application, nfcEventConnectProceeding, {}, {}, SIZE_MAX, nullptr});
        deliver(FakeEvent{FakeTarget::Application, 99, {}, {}, SIZE_MAX, nullptr});
        QCOMPARE(deviceRemoved, 1);
        for (const char* text : {"nfcEventFieldActivity - ON", "nfcEventFieldActivity - OFF",
                                 "nfcEventConnectProceeding - ignored", "! Event not recognized - ignored"})
            QVERIFY2(traces.contains(QLatin1String(text)), text);
    }

    // A trace from the library's thread is handed over on the GUI thread: a receiver that left
    // meanwhile gets nothing, and the text nobody takes is freed (the leak checker would see it).
    void aTraceOfTheLibrarysThreadGoesOnlyToWhoStillListens() {
        start();
        QObject listener;
        int received = 0;
        connect(instance.get(), &CNfcInstance::signalPostTrace, &listener, [&](DWORD, const char*, char* text) {
            ++received;
            delete[] text;
        });
        QVERIFY(fake().fire(fakeEvent(FakeTarget::Application, nfcEventFieldActivity, DWORD{1})));
        QVERIFY(fake().waitDelivered(kDeliveryTimeoutMs));
        disconnect(instance.get(), &CNfcInstance::signalPostTrace, nullptr, nullptr);
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
        QCOMPARE(received, 0);
        QVERIFY(!traces.contains(QStringLiteral("nfcEventFieldActivity - ON")));
    }

    void aFifthSecureNotificationIsIgnored() {
        fake().setSecureElements({secureElement(0x11, 0xC0), secureElement(0x22, 0xC1)});
        start();
        std::vector<TNfcInfoSE> notified;
        connect(instance.get(), &CNfcInstance::signalSeNotification, this, [&](TNfcInfoSE* element) {
            noteThread();
            notified.push_back(*element);
        });
        const NfcSecureHandle handles[] = {0x11, 0x22, 0x11, 0x22, 0x11};
        for (NfcSecureHandle handle : handles)
            deliver(fakeEvent(FakeTarget::Application, nfcEventSecureNotification,
                              TNfcSecureNotification{handle, NFC_SE_ACTIVATED, 0}));
        QCOMPARE(notified.size(), size_t{4});
        QCOMPARE(instance->secureElementCount(), 4);
        QVERIFY(sameBytes(notified[1], secureElement(0x22, 0xC1)));
        QVERIFY(sameBytes(*instance->secureElement(2), secureElement(0x11, 0xC0)));
    }

    void aNotificationForAnUnknownSecureElementIsTracedAndDropped() {
        start();
        int notified = 0;
        connect(instance.get(), &CNfcInstance::signalSeNotification, this, [&](TNfcInfoSE*) { ++notified; });
        deliver(fakeEvent(FakeTarget::Application, nfcEventSecureNotification,
                          TNfcSecureNotification{0x99, NFC_SE_ACTIVATED, 0}));
        QCOMPARE(notified, 0);
        QVERIFY(traces.contains(QStringLiteral("! Secure element (handle 0x00000099) not found - ignored")));
    }

    void aSnepPutsDataIsKeptAfterTheLibraryFreedIt() {
        start();
        QCOMPARE(instance->nfcRegisterListener(CNfcInstance::modeP2p, P2P_TARGET, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        SnepServerHandle server = nullptr;
        QCOMPARE(corvaneSymbolTable.snepStartServer(&server, instance->applicationHandle(), "urn:nfc:sn:snep", 4, 248,
                                                    instance.get(), &CNfcInstance::snepServerCallback),
                 NfcApiStatus{nfcStatusOk});
        int puts = 0;
        connect(instance.get(), &CNfcInstance::signalSnepPut, this, [&] {
            noteThread();
            ++puts;
        });
        TSnepPutReport report{};
        report.ndefLength = 3;
        FakeEvent event = fakeEvent(FakeTarget::SnepServer, snepEventPutReceived, report);
        event.payload = {0xD1, 0x01, 0x00};
        event.payloadOffset = offsetof(TSnepPutReport, ndef);
        deliver(event);
        QCOMPARE(puts, 1);
        QCOMPARE(instance->snepPutData(), QByteArray("\xD1\x01\x00", 3));
        QVERIFY(traces.contains(QStringLiteral("SNEP client sent data by PUT (length: 3)")));
    }

    void snepServerReportsAreTracedAndSignalled_data() {
        QTest::addColumn<int>("event");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QString>("signal");
        QTest::newRow("connected") << int{snepEventConnected} << "SNEP server connected" << QString();
        QTest::newRow("get") << int{snepEventGetReceived} << "SNEP client sent data by GET (length: 7)" << QString();
        QTest::newRow("progress") << int{snepEventProgress} << "SNEP transaction in progress (bytes: 7)"
                                  << "progress 0 7";
        QTest::newRow("finished") << int{snepEventResponse} << "SNEP transaction finished" << "ended 0 1";
        QTest::newRow("failed") << int{snepEventFailed} << "! SNEP transaction failed" << "ended 0 0";
        QTest::newRow("client gone") << int{snepEventClientDisconnected} << "SNEP client disconnected"
                                     << "disconnected";
        QTest::newRow("closed") << int{snepEventEnded} << "SNEP server closed" << QString();
        QTest::newRow("unknown") << 99 << "! Event not recognized - ignored" << QString();
    }
    void snepServerReportsAreTracedAndSignalled() {
        QFETCH(int, event);
        QFETCH(QString, trace);
        QFETCH(QString, signal);
        start();
        QCOMPARE(instance->nfcRegisterListener(CNfcInstance::modeP2p, P2P_TARGET, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        SnepServerHandle server = nullptr;
        corvaneSymbolTable.snepStartServer(&server, instance->applicationHandle(), "urn:nfc:sn:snep", 4, 248,
                                           instance.get(), &CNfcInstance::snepServerCallback);
        QStringList signalled;
        connect(instance.get(), &CNfcInstance::signalSnepProgress, this,
                [&](BYTE client, DWORD bytes) { signalled << QStringLiteral("progress %1 %2").arg(client).arg(bytes); });
        connect(instance.get(), &CNfcInstance::signalSnepEnded, this,
                [&](BYTE client, BOOL success) { signalled << QStringLiteral("ended %1 %2").arg(client).arg(success); });
        connect(instance.get(), &CNfcInstance::signalSnepDisconnected, this, [&] { signalled << "disconnected"; });
        TSnepServerReport report{};
        report.get.ndefLength = 7;   // also the progress report's byte count
        deliver(fakeEvent(FakeTarget::SnepServer, static_cast<DWORD>(event), report));
        QVERIFY2(traces.contains(trace), qPrintable(traces.join('\n')));
        QCOMPARE(signalled, signal.isEmpty() ? QStringList() : QStringList{signal});
    }

    void nppReportsAreTraced() {
        start();
        QCOMPARE(instance->nfcRegisterListener(CNfcInstance::modeP2p, P2P_TARGET, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        NppServerHandle server = nullptr;
        corvaneSymbolTable.nppStartServer(&server, instance->applicationHandle(), nullptr, instance.get(),
                                          &CNfcInstance::nppServerCallback);
        for (DWORD event : {DWORD{nppEventMessage}, DWORD{6}, DWORD{7}})
            deliver(FakeEvent{FakeTarget::Npp, event, {}, {0xD0}, SIZE_MAX, nullptr});
        for (const char* text : {"NPP event detected (event: 3)", "NPP event received", "NPP event timeout",
                                 "NPP event detected (event: 7)", "! NPP unknown event"})
            QVERIFY2(traces.contains(QLatin1String(text)), text);
    }

    void theSecureElementListFillsFourSlotsAtMost() {
        fake().setSecureElements({secureElement(1, 1), secureElement(2, 2), secureElement(3, 3), secureElement(4, 4),
                                  secureElement(5, 5)});
        start();
        int received = 0;
        connect(instance.get(), &CNfcInstance::signalPropertiesReceived, this, [&] { ++received; });
        QCOMPARE(corvaneSymbolTable.nfcSecureGetList(instance->applicationHandle(), instance.get(),
                                                     &CNfcInstance::seListCallback),
                 NfcApiStatus{nfcStatusOk});
        QCOMPARE(received, 5);
        QCOMPARE(instance->secureElementCount(), 4);
        QVERIFY(sameBytes(*instance->secureElement(3), secureElement(4, 4)));
    }
};

QTEST_MAIN(InstanceTest)
#include "instance_test.moc"
