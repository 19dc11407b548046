// The SNEP page on the fake library: the server boxes, what a peer puts shown in the receive
// tree (parsed by the real library's NDEF exports), the progress and end reports that the fake
// delivers from its own thread, and the push of the page's message.
#include "window_fixture.h"

#include <QStackedWidget>
#include <QTemporaryFile>
#include <QTreeWidget>

namespace {

bool ownEnabled(const QWidget* widget) { return !widget->testAttribute(Qt::WA_ForceDisabled); }

size_t callsNamed(const std::vector<FakeCall>& calls, const char* name) {
    return static_cast<size_t>(
        std::count_if(calls.begin(), calls.end(), [&](const FakeCall& call) { return call.name == name; }));
}

// QObject::receivers is protected: reached through a member pointer of a derived class.
struct ReceiverCount : QObject {
    static int of(const QObject* sender, const char* signal) {
        int (QObject::*receivers)(const char*) const = &ReceiverCount::receivers;
        return (sender->*receivers)(signal);
    }
};

} // namespace

class SnepTest : public CLumaroTest {
    Q_OBJECT

    // NFC and P2P listening started: the library takes servers only from an application that
    // listens for P2P.
    void startNfc(bool snepServer = true) {
        QVERIFY(fake().useNdefLibrary(LUMARO_NDEF_LIBRARY));
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        createWindow();
        form()->ckbP2pServiceSnepServer->setChecked(snepServer);
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY(instanceOf());
        QVERIFY(!ownEnabled(form()->gboP2pService));
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnP2pStart_clicked"));
        QVERIFY(activeModesOf() & CLumaro::modeP2p);
        QVERIFY(ownEnabled(form()->gboP2pService));
    }
    void clickBox(const char* slot, bool checked) {
        QVERIFY(QMetaObject::invokeMethod(window.get(), slot, Q_ARG(bool, checked)));
    }
    QByteArray textMessage(const QString& text) {
        CNdefMessage message;
        if (message.ndefCreateTextMessage(text, QStringLiteral("English")) != NDEF_OK) return {};
        return QByteArray(reinterpret_cast<const char*>(message.getMessageBuffer()),
                          static_cast<qsizetype>(message.getMessageSize()));
    }
    void put(const QByteArray& bytes) {
        TSnepPutReport report{};
        report.ndefLength = static_cast<DWORD>(bytes.size());
        FakeEvent event = fakeEvent(FakeTarget::SnepServer, snepEventPutReceived, report);
        event.payload.assign(bytes.begin(), bytes.end());
        event.payloadOffset = offsetof(TSnepPutReport, ndef);
        deliver(event);
    }
    void report(FakeTarget target, DWORD event, DWORD count) {
        TSnepServerReport record{};
        record.progress.count = count;
        deliver(fakeEvent(target, event, record));
    }
    void showTransmitText(const QString& text) {
        window->setUpdatesEnabled(false);
        window->show();
        form()->tabInteraction->setCurrentIndex(4);
        form()->tabP2p->setCurrentIndex(0);
        form()->tabP2pSnepTransmit->setCurrentWidget(form()->pagP2pSnepTransmitRtdText);
        form()->tedP2pSnepTransmitRtdTextText->setPlainText(text);
        QVERIFY(form()->pagP2pSnepTransmitRtdText->isVisible());
    }
    QByteArray built() const {
        return QByteArray(reinterpret_cast<const char*>(window->ndefMessage.getMessageBuffer()),
                          static_cast<qsizetype>(window->ndefMessage.getMessageSize()));
    }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        destroyWindow();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    void startP2pStartsTheDefaultServerAndTheBoxSwitchesIt() {
        startNfc();
        const FakeCall start = fake().lastCall("snepStartServer");
        QCOMPARE(start.arguments.at(2), std::string("\"urn:nfc:sn:snep\""));
        QCOMPARE(start.arguments.at(3), std::string("4"));
        QCOMPARE(start.arguments.at(4), std::string("2048"));
        QVERIFY(ownEnabled(form()->gboP2pSnepReceive));
        markCalls();
        clickBox("on_ckbP2pServiceSnepServer_clicked", false);
        QCOMPARE(callsNamed(callsSinceMark(), "snepStopServer"), size_t{1});
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Stop server  OK"));
        QVERIFY(!ownEnabled(form()->gboP2pSnepReceive));
        // The instance releases the stopped server once the library reports its end.
        report(FakeTarget::SnepServer, snepEventEnded, 0);
        QCoreApplication::sendPostedEvents();
        clickBox("on_ckbP2pServiceSnepServer_clicked", true);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Start server  OK"));
        QVERIFY(ownEnabled(form()->gboP2pSnepReceive));
        clickBox("on_ckbP2pServiceSnepServer_clicked", true);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Start server  FAIL"));
        QVERIFY(logged(QStringLiteral("CLumaro::snepStartServer: ! Starting SNEP server failed (code: 1)")));
    }

    // A box shows a running server only: a server that did not start leaves its box unchecked,
    // at Start P2P and on a click alike; Stop P2P stops the servers and keeps the boxes, and the
    // next Start P2P starts them again.
    void aBoxShowsOnlyARunningServer() {
        startNfc();
        QVERIFY(form()->ckbP2pServiceSnepServer->isChecked());
        form()->ckbP2pServiceNppServer->setChecked(true);
        clickBox("on_ckbP2pServiceNppServer_clicked", true);
        markCalls();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnP2pStop_clicked"));
        QCOMPARE(callsNamed(callsSinceMark(), "snepStopServer"), size_t{1});
        QCOMPARE(callsNamed(callsSinceMark(), "nppStopServer"), size_t{1});
        QVERIFY(!ownEnabled(form()->gboP2pService));
        QVERIFY(form()->ckbP2pServiceSnepServer->isChecked());
        report(FakeTarget::SnepServer, snepEventEnded, 0);   // the stopped server's end
        fake().setResult("nppStartServer", nppFailed);
        markCalls();
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnP2pStart_clicked"));
        QCOMPARE(callsNamed(callsSinceMark(), "snepStartServer"), size_t{1});
        QCOMPARE(callsNamed(callsSinceMark(), "nppStartServer"), size_t{1});
        QVERIFY(form()->ckbP2pServiceSnepServer->isChecked());
        QVERIFY(!form()->ckbP2pServiceNppServer->isChecked());
        QVERIFY(logged(QStringLiteral("CLumaro::startP2pServers: ! Starting NPP server failed")));
        form()->ckbP2pServiceNppServer->setChecked(true);
        clickBox("on_ckbP2pServiceNppServer_clicked", true);
        QVERIFY(!form()->ckbP2pServiceNppServer->isChecked());
        fake().setResult("snepStopServer", nfcStatusFailed);
        form()->ckbP2pServiceSnepServer->setChecked(false);
        clickBox("on_ckbP2pServiceSnepServer_clicked", false);
        QVERIFY(form()->ckbP2pServiceSnepServer->isChecked());
    }

    // Without an instance the failure line comes before the exit line, as in every operation.
    void aServerOperationWithoutInstanceEndsWithItsExit() {
        createWindow();
        const qsizetype before = logLines().size();
        clickBox("on_ckbP2pServiceSnepServer_clicked", true);
        QCOMPARE(logLines().mid(before),
                 (QStringList{"CLumaro::snepStartServer: Enter", "CLumaro::snepStartServer: ! NFC instance not found",
                              "CLumaro::snepStartServer: ! Starting SNEP server failed (code: 1)",
                              "CLumaro::snepStartServer: Exit (status: 1)"}));
    }

    void theBoxesWhileNfcIsStoppedFail_data() {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("failure");
        QTest::newRow("SNEP off") << QByteArray("on_ckbP2pServiceSnepServer_clicked") << false
                                  << "SNEP: Stop server  FAIL" << "CLumaro::snepStopServer: ! Closing SNEP server failed (code: 1)";
        QTest::newRow("SNEP on") << QByteArray("on_ckbP2pServiceSnepServer_clicked") << true
                                 << "SNEP: Start server  FAIL"
                                 << "CLumaro::snepStartServer: ! Starting SNEP server failed (code: 1)";
        QTest::newRow("NPP on") << QByteArray("on_ckbP2pServiceNppServer_clicked") << true << "NPP: Start server  FAIL"
                                << "CLumaro::nppStartServer: ! Starting NPP server failed (code: 1)";
    }
    void theBoxesWhileNfcIsStoppedFail() {
        QFETCH(QByteArray, slot);
        QFETCH(bool, checked);
        QFETCH(QString, status);
        QFETCH(QString, failure);
        createWindow();
        clickBox(slot.constData(), checked);
        QCOMPARE(form()->lblStatus->text(), status);
        QCOMPARE(logLines().filter(failure).size(), 1);
        QVERIFY(logged(failure.section(QLatin1Char(':'), 0, 2) + QStringLiteral(": ! NFC instance not found")));
    }

    void aPutFillsTheTreeAndAGarbagePutKeepsIt() {
        startNfc();
        form()->tabInteraction->setCurrentIndex(0);
        put(textMessage(QStringLiteral("Hello peer")));
        QCOMPARE(form()->twtP2pSnepReceive->topLevelItemCount(), 1);
        QCOMPARE(form()->twtP2pSnepReceive->topLevelItem(0)->text(5), QStringLiteral("Hello peer"));
        QCOMPARE(form()->tabInteraction->currentIndex(), 4);
        QCOMPARE(form()->tabP2p->currentIndex(), 0);
        put(QByteArray("\xD1\x01\x40\x54", 4));
        QVERIFY(!logLines().filter(QRegularExpression(
                                       QStringLiteral("^CLumaro::handleSnepPut: ! Parsing NDEF message failed \\(code: \\d+\\)$")))
                     .isEmpty());
        QCOMPARE(form()->twtP2pSnepReceive->topLevelItemCount(), 1);
        QCOMPARE(form()->twtP2pSnepReceive->topLevelItem(0)->text(5), QStringLiteral("Hello peer"));
        // Every message received is kept in the tree, the newest last.
        put(textMessage(QStringLiteral("Again")));
        QCOMPARE(form()->twtP2pSnepReceive->topLevelItemCount(), 2);
        QCOMPARE(form()->twtP2pSnepReceive->topLevelItem(1)->text(5), QStringLiteral("Again"));
    }

    void receptionProgressAndEndShowOnTheStatusLabel() {
        startNfc();
        report(FakeTarget::SnepServer, snepEventProgress, 100);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Receive 100%  DUE"));
        report(FakeTarget::SnepServer, snepEventResponse, 0);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Receive  OK"));
        report(FakeTarget::SnepServer, snepEventFailed, 0);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Receive  FAIL"));
    }

    // The fake's client answers as the library's does: the push goes once the peer accepted
    // the connection, and its end, reported later, enables the button.
    void transmissionsPushTheBuiltBytesAndConnectTheEndOnce() {
        startNfc(false);
        showTransmitText(QStringLiteral("To the peer"));
        markCalls();
        QCOMPARE(window->snepTransmit(), NfcApiStatus{0});
        QCOMPARE(fake().lastCall("snepConnect").arguments.at(4), std::string("2048"));
        QTRY_COMPARE_WITH_TIMEOUT(callsNamed(callsSinceMark(), "snepReleaseClient"), size_t{1}, 5000);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(fake().lastCall("snepPut").buffer.data()),
                            static_cast<qsizetype>(fake().lastCall("snepPut").buffer.size())),
                 built());
        QCOMPARE(built(), textMessage(QStringLiteral("To the peer")));
        // The page's transmit group is offered to a discovered peer.
        currentModeOf() = CLumaro::modeP2p;
        TNfcTagInfo peer{};
        peer.tagType = P2P_TARGET;
        enableUi(CLumaro::modeP2p, &peer);
        QVERIFY(form()->btnP2pSnepTransmit->isEnabled());
        fake().hold(true);
        QTest::mouseClick(form()->btnP2pSnepTransmit, Qt::LeftButton);
        QCOMPARE(callsNamed(callsSinceMark(), "snepConnect"), size_t{2});
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Transmit  OK"));
        QCOMPARE(ReceiverCount::of(instanceOf(), SIGNAL(signalSnepEnded(BYTE, BOOL))), 1);
        form()->btnP2pSnepTransmit->setEnabled(false);
        fake().hold(false);
        QTRY_VERIFY_WITH_TIMEOUT(ownEnabled(form()->btnP2pSnepTransmit), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(callsNamed(callsSinceMark(), "snepReleaseClient"), size_t{2}, 5000);
        QCOMPARE(callsNamed(callsSinceMark(), "snepPut"), size_t{2});
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Transmit  OK"));
        QVERIFY(logLines().filter(QStringLiteral(": ! ")).isEmpty());
    }

    void aFailedBuildIsTracedWithItsCode() {
        startNfc(false);
        window->setUpdatesEnabled(false);
        window->show();
        form()->tabInteraction->setCurrentIndex(4);
        form()->tabP2p->setCurrentIndex(0);
        form()->tabP2pSnepTransmit->setCurrentWidget(form()->pagP2pSnepTransmitMime);
        form()->ledP2pSnepTransmitMimeUri->setText(QStringLiteral("/no/such/picture.png"));
        markCalls();
        QCOMPARE(window->snepTransmit(), NfcApiStatus{1});
        QVERIFY(logged(QStringLiteral("CLumaro::snepTransmit: ! Building NDEF message failed (code: 1)")));
        QCOMPARE(callsNamed(callsSinceMark(), "snepConnect"), size_t{0});
        QVERIFY(ownEnabled(form()->btnP2pSnepTransmit));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Transmit  FAIL"));
    }

    // The library answers a message too large for the buffer with the size it would need: the
    // failed build leaves no size beyond the buffer, and so nothing to push from past its end.
    void aFailedBuildLeavesNothingToPush() {
        startNfc(false);
        QTemporaryFile picture(QDir::tempPath() + QStringLiteral("/lumaro_XXXXXX.png"));
        QVERIFY(picture.open());
        picture.write(QByteArray(int{CNdefMessage::kMaxPictureSize}, 'p'));
        picture.close();
        CNdefMessage message;
        QCOMPARE(message.ndefCreateMimeMessage(picture.fileName()), NDEF_BUFFER_TOO_SMALL);
        QCOMPARE(message.getMessageSize(), uint32_t{0});
        markCalls();
        QCOMPARE(instanceOf()->snepTransmit(&message, 128), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(callsNamed(callsSinceMark(), "snepConnect"), size_t{0});
    }

    void stopNfcStopsTheServers() {
        startNfc();
        form()->ckbP2pServiceNppServer->setChecked(true);
        clickBox("on_ckbP2pServiceNppServer_clicked", true);
        markCalls();
        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        QCOMPARE(callsNamed(callsSinceMark(), "snepStopServer"), size_t{1});
        QCOMPARE(callsNamed(callsSinceMark(), "nppStopServer"), size_t{1});
        QVERIFY(logged(QStringLiteral("CLumaro::handoverStopServer: Exit (status: 0)")));
    }
};

QTEST_MAIN(SnepTest)
#include "snep_test.moc"
