// The raw LLCP connections page on the fake library: listener and connection states, the
// counters in their labels, echo and continuous sending, and who releases which buffer. The
// fake's thread raises the library's P2P reports with the link contexts the instance gave.
#include "window_fixture.h"

#include <cstddef>
#include <string>

namespace {

using Bytes = std::vector<uint8_t>;

void* pointerOf(const std::string& text) { return reinterpret_cast<void*>(std::stoull(text, nullptr, 16)); }

std::string pointerText(const void* pointer) {
    char text[32];
    snprintf(text, sizeof text, "%p", pointer);
    return text;
}

Bytes generated(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

} // namespace

class LlcpTest : public CLumaroTest {
    Q_OBJECT

    void startP2p() {
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI\n");
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY(instanceOf());
        QTest::mouseClick(form()->btnP2pStart, Qt::LeftButton);
        QVERIFY(activeModesOf() & CLumaro::modeP2p);
    }
    void run(const char* slot) {
        markCalls();
        QVERIFY(QMetaObject::invokeMethod(window.get(), slot));
    }
    static bool on(const QWidget* widget) { return !widget->testAttribute(Qt::WA_ForceDisabled); }
    std::vector<FakeCall> callsNamed(const char* name) const {
        std::vector<FakeCall> found;
        for (const FakeCall& call : callsSinceMark())
            if (call.name == name) found.push_back(call);
        return found;
    }
    size_t indexOf(const char* name) const {
        const std::vector<FakeCall> calls = callsSinceMark();
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].name == name) return i;
        return SIZE_MAX;
    }

    // Listener 1 ready and a peer connected to it: the context of the accepted connection.
    void* peerConnectedToListener1() {
        run("on_btnP2pStartListener1_clicked");
        TP2pConnection indication{};
        indication.newConnection = reinterpret_cast<P2pLinkHandle>(0xC015);
        indication.connected = TP2pConnected{2, 248, 15, 32};
        deliver(fakeEvent(FakeTarget::Application, nfcEventConnectIndication, indication));
        return pointerOf(fake().lastCall("nfcP2PConnectResponse").arguments.at(1));
    }
    // Connection 2 connected to the peer: the context of its link.
    void* connection2Established() {
        run("on_btnP2pConnect2_clicked");
        void* context = pointerOf(fake().lastCall("nfcP2PConnectRequest").arguments.at(1));
        TP2pConnection established{};
        established.context = context;
        established.connected = TP2pConnected{1, 128, 33, 14};
        deliver(fakeEvent(FakeTarget::Application, nfcEventConnected, established));
        return context;
    }
    void receive(void* context, const Bytes& data) {
        TP2pConnection record{};
        record.context = context;
        record.data.length = static_cast<WORD>(data.size());
        record.data.sourceSap = 32;
        FakeEvent event = fakeEvent(FakeTarget::Application, nfcEventDataIndication, record);
        event.payload = data;
        event.payloadOffset = offsetof(TP2pConnection, data) + offsetof(TP2pData, data);
        markCalls();
        deliver(event);
    }
    void reportSent(void* context) {
        TP2pConnection record{};
        record.context = context;
        markCalls();
        deliver(fakeEvent(FakeTarget::Application, nfcEventDataTransmitted, record));
    }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() { destroyWindow(); }

    void aListenerStartsAndStops() {
        startP2p();
        run("on_btnP2pStartListener1_clicked");
        QCOMPARE(callsNamed("nfcP2PListenRequest").size(), size_t{1});
        QCOMPARE(callsNamed("nfcP2PListenRequest")[0].arguments.at(6), std::string("15"));
        QCOMPARE(form()->lblP2pListenerStatus1->text(), QStringLiteral("Listener ready"));
        QCOMPARE(form()->lblP2pListenerStatus1->styleSheet(), QStringLiteral("QLabel {background-color: yellow}"));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("P2P: Start listener  OK"));
        QVERIFY(!on(form()->btnP2pStartListener1));
        QVERIFY(on(form()->btnP2pStopListener1));
        QVERIFY(logged(QStringLiteral("CLumaro::p2pStartListener: Enter (SAP: 15, MIU: %1, window size: %2)")
                           .arg(form()->sboP2pMiu1->value())
                           .arg(form()->sboP2pMaxWindowSize1->value())));

        run("on_btnP2pStopListener1_clicked");
        QCOMPARE(callsNamed("nfcP2PDisconnectRequest").size(), size_t{1});
        QCOMPARE(form()->lblP2pListenerStatus1->text(), QStringLiteral("Listener closed"));
        QVERIFY(on(form()->btnP2pStartListener1));
        QVERIFY(!on(form()->btnP2pStopListener1));
    }

    void stoppingANeverStartedListenerFails() {
        startP2p();
        form()->btnP2pStopListener2->setEnabled(true);
        run("on_btnP2pStopListener2_clicked");
        QVERIFY(callsNamed("nfcP2PDisconnectRequest").empty());
        QCOMPARE(form()->lblP2pListenerStatus2->text(), QStringLiteral("Listener failed"));
        QCOMPARE(form()->lblP2pListenerStatus2->styleSheet(), QStringLiteral("QLabel {background-color: red}"));
        QVERIFY(on(form()->btnP2pStopListener2));
        QVERIFY(logged(QStringLiteral("CLumaro::p2pStopListener: ! Stopping P2P listener failed (code: 1)")));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("P2P: Stop listener  FAIL"));
    }

    void aFailedStartLetsTheUserTryAgain() {
        startP2p();
        fake().setResult("nfcP2PListenRequest", nfcStatusFailed + 2);
        run("on_btnP2pStartListener2_clicked");
        QCOMPARE(form()->lblP2pListenerStatus2->text(), QStringLiteral("Listener failed"));
        QVERIFY(on(form()->btnP2pStartListener2));
        QVERIFY(!on(form()->btnP2pStopListener2));
        QVERIFY(logged(QStringLiteral("CLumaro::p2pStartListener: ! Starting P2P listener failed (code: 3)")));
    }

    void sizesBeyondSixteenBitsAreRefusedWithoutACall() {
        startP2p();
        form()->sboP2pMiu1->setValue(65536);
        run("on_btnP2pStartListener1_clicked");
        QVERIFY(callsNamed("nfcP2PListenRequest").empty());
        QVERIFY(logged(QStringLiteral("CLumaro::p2pStartListener: ! Starting P2P listener failed (code: 1)")));
        QVERIFY(on(form()->btnP2pStartListener1));
        form()->sboP2pMiu2->setValue(70000);
        run("on_btnP2pConnect2_clicked");
        QVERIFY(callsNamed("nfcP2PConnectRequest").empty());
        QCOMPARE(form()->lblP2pSessionStatus2->text(), QStringLiteral("Connect failed"));
        form()->sboP2pMiu2->setValue(128);
        connection2Established();
        form()->sboP2pMiu2->setValue(70000);
        run("on_btnP2pTransmit2_clicked");
        QVERIFY(callsNamed("nfcP2PDataRequest").empty());
        QVERIFY(logged(QStringLiteral("CLumaro::p2pTransmit: ! Transmitting data failed (code: 1)")));
    }

    // The indication's bytes are the instance's, replaced by the next one: the echo sends a copy.
    void anEchoSendsTheSameBytesBeforeTheIndicationIsAnswered() {
        startP2p();
        void* context = peerConnectedToListener1();
        QCOMPARE(form()->lblP2pSessionStatus1->text(), QStringLiteral("Connected"));
        QCOMPARE(paintedBackground(form()->lblP2pSessionStatus1), QColor(20, 250, 5).rgb());
        QVERIFY(on(form()->btnP2pTransmit1));
        form()->lblP2pRxBytes1->setText(QStringLiteral("abc"));
        form()->ckbP2pEchoServer1->setChecked(true);
        const Bytes data = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
        receive(context, data);
        QCOMPARE(form()->lblP2pRxBytes1->text(), QStringLiteral("10"));
        const std::vector<FakeCall> requests = callsNamed("nfcP2PDataRequest");
        QCOMPARE(requests.size(), size_t{1});
        QCOMPARE(requests[0].buffer, data);
        QCOMPARE(requests[0].arguments.at(0), std::string("0xc015"));
        QVERIFY(indexOf("nfcP2PDataRequest") < indexOf("nfcP2PDataResponse"));
        QCOMPARE(fake().lastCall("nfcP2PDataResponse").arguments.at(0), std::string("0xc015"));

        reportSent(context);
        QCOMPARE(form()->lblP2pTxBytes1->text(), QStringLiteral("10"));
        QVERIFY(callsNamed("nfcP2PDataRequest").empty());
        reportSent(context);   // names no buffer of ours: nothing is released twice
        QCOMPARE(form()->lblP2pTxBytes1->text(), QStringLiteral("10"));
    }

    void withoutEchoDataIsCountedAndAnswered() {
        startP2p();
        void* context = peerConnectedToListener1();
        receive(context, Bytes(300, 0x5A));
        QCOMPARE(form()->lblP2pRxBytes1->text(), QStringLiteral("300"));
        QVERIFY(callsNamed("nfcP2PDataRequest").empty());
        QCOMPARE(callsNamed("nfcP2PDataResponse").size(), size_t{1});
    }

    void continuousSendingGoesOnUntilUncheckedOrFailed() {
        startP2p();
        void* context = connection2Established();
        QCOMPARE(form()->lblP2pSessionStatus2->text(), QStringLiteral("Connected"));
        form()->sboP2pMiu2->setValue(128);
        form()->ckbContinuous2->setChecked(true);
        run("on_btnP2pTransmit2_clicked");
        QCOMPARE(callsNamed("nfcP2PDataRequest").size(), size_t{1});
        QCOMPARE(callsNamed("nfcP2PDataRequest")[0].buffer, generated(128));
        for (int sent = 1; sent <= 3; ++sent) {
            reportSent(context);
            QCOMPARE(form()->lblP2pTxBytes2->text(), QString::number(128 * sent));
            QCOMPARE(callsNamed("nfcP2PDataRequest").size(), size_t{1});
            QCOMPARE(callsNamed("nfcP2PDataRequest")[0].buffer, generated(128));
        }
        form()->ckbContinuous2->setChecked(false);
        reportSent(context);
        QCOMPARE(form()->lblP2pTxBytes2->text(), QStringLiteral("512"));
        QVERIFY(callsNamed("nfcP2PDataRequest").empty());

        form()->ckbContinuous2->setChecked(true);
        run("on_btnP2pTransmit2_clicked");
        fake().setResult("nfcP2PDataRequest", nfcStatusFailed + 2);
        reportSent(context);   // the failed request's buffer is released at once
        QVERIFY(logged(QStringLiteral("CLumaro::handleP2pDataSent: ! Sending continuous data failed (code: 3)")));
        QVERIFY(on(form()->btnP2pTransmit2));
        QCOMPARE(form()->lblP2pTxBytes2->text(), QStringLiteral("640"));
        reportSent(context);   // no send is pending: the chain has ended
        QCOMPARE(form()->lblP2pTxBytes2->text(), QStringLiteral("640"));
        QVERIFY(callsNamed("nfcP2PDataRequest").empty());
    }

    // Each link confirms its own sends: a report for connection 2 releases and counts connection
    // 2's buffer only, while LLCP still reads connection 1's (the fake reads each buffer when it
    // confirms it, as the frame goes out), and the continuous resend goes on the row it came from.
    void bothRowsSendingContinuouslyKeepTheirOwnBuffersAndCounters() {
        startP2p();
        peerConnectedToListener1();
        connection2Established();
        const P2pLinkHandle link1 = reinterpret_cast<P2pLinkHandle>(0xC015);
        const P2pLinkHandle link2 = instanceOf()->clientConnection(14);
        form()->sboP2pMiu1->setValue(100);
        form()->sboP2pMiu2->setValue(200);
        form()->ckbContinuous1->setChecked(true);
        form()->ckbContinuous2->setChecked(true);
        run("on_btnP2pTransmit1_clicked");
        QVERIFY(QMetaObject::invokeMethod(window.get(), "on_btnP2pTransmit2_clicked"));
        const auto confirm = [this](P2pLinkHandle link) {
            markCalls();
            QVERIFY(fake().confirmSent(link));
            QVERIFY(fake().waitDelivered(kDeliveryTimeoutMs));
            QCoreApplication::sendPostedEvents();
            QCoreApplication::sendPostedEvents();
        };
        for (int round = 1; round <= 3; ++round) {
            confirm(link2);
            QCOMPARE(form()->lblP2pTxBytes2->text(), QString::number(200 * round));
            QCOMPARE(form()->lblP2pTxBytes1->text().toInt(), 100 * (round - 1));
            QCOMPARE(callsNamed("nfcP2PDataRequest").size(), size_t{1});
            QCOMPARE(callsNamed("nfcP2PDataRequest")[0].arguments.at(0), pointerText(link2));
            confirm(link1);
            QCOMPARE(form()->lblP2pTxBytes1->text(), QString::number(100 * round));
            QCOMPARE(callsNamed("nfcP2PDataRequest")[0].arguments.at(0), pointerText(link1));
            QCOMPARE(callsNamed("nfcP2PDataRequest")[0].buffer, generated(100));
        }
        const std::vector<Bytes> onAir = fake().sentOnAir();
        QCOMPARE(onAir.size(), size_t{6});
        for (size_t i = 0; i < onAir.size(); ++i) QCOMPARE(onAir[i], generated(i % 2 == 0 ? 200 : 100));
    }

    // A connection the listener accepted is the row's as much as one it made: Disconnect ends
    // it, and so does Stop listener, and the row shows it once the library reports the end.
    void theRowsAcceptedConnectionEnds_data() {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<int>("requests");   // disconnect requests the slot sends
        QTest::newRow("Disconnect") << QByteArray("on_btnP2pDisconnect1_clicked") << 1;
        QTest::newRow("Stop listener") << QByteArray("on_btnP2pStopListener1_clicked") << 2;
    }
    void theRowsAcceptedConnectionEnds() {
        QFETCH(QByteArray, slot);
        QFETCH(int, requests);
        startP2p();
        void* context = peerConnectedToListener1();
        QCOMPARE(form()->lblP2pSessionStatus1->text(), QStringLiteral("Connected"));
        run(slot.constData());
        const std::vector<FakeCall> disconnects = callsNamed("nfcP2PDisconnectRequest");
        QCOMPARE(disconnects.size(), size_t(requests));
        QCOMPARE(disconnects[0].arguments.at(0), std::string("0xc015"));
        QVERIFY(logLines().filter(QStringLiteral("! Connection not found")).isEmpty());
        TP2pConnection ended{};
        ended.context = context;
        for (int i = 0; i < requests; ++i)   // the connection's end, then the listener's
            deliver(fakeEvent(FakeTarget::P2p, nfcEventHangupTerminated, ended));
        QCOMPARE(form()->lblP2pSessionStatus1->text(), QStringLiteral("Not connected"));
        QCOMPARE(logLines().filter(QStringLiteral("handleP2pConnectionTerminated: Data transceived")).size(), 1);
    }

    void aFailedEchoIsTracedAndTheIndicationStillAnswered() {
        startP2p();
        void* context = peerConnectedToListener1();
        form()->ckbP2pEchoServer1->setChecked(true);
        fake().setResult("nfcP2PDataRequest", nfcStatusFailed + 2);
        receive(context, Bytes(10, 1));
        QVERIFY(logged(QStringLiteral("CLumaro::handleP2pDataReceived: ! Echoing data failed (code: 3)")));
        QCOMPARE(callsNamed("nfcP2PDataResponse").size(), size_t{1});
        QCOMPARE(form()->lblP2pRxBytes1->text(), QStringLiteral("10"));
    }

    void theEndOfAConnectionShowsItsSummary() {
        startP2p();
        void* context = connection2Established();
        form()->lblP2pTxBytes2->setText(QStringLiteral("40"));
        form()->lblP2pRxBytes2->setText(QStringLiteral("12"));
        TP2pConnection ended{};
        ended.context = context;
        ended.cause = 2;
        deliver(fakeEvent(FakeTarget::Application, nfcEventDisconnected, ended));
        QCOMPARE(form()->lblP2pSessionStatus2->text(), QStringLiteral("Not connected"));
        QCOMPARE(form()->lblP2pSessionStatus2->styleSheet(), QStringLiteral("QLabel {background-color: none}"));
        QVERIFY(on(form()->btnP2pConnect2));
        QVERIFY(!on(form()->btnP2pDisconnect2));
        QVERIFY(!on(form()->btnP2pTransmit2));
        QVERIFY(logged(QStringLiteral(
            "CLumaro::handleP2pConnectionDisconnected: Data transceived in this session (tx: 40, rx: 12)")));
        QCOMPARE(form()->lblP2pTxBytes2->text(), QStringLiteral("40"));
        // The link is gone with its report: nothing more is sent on it.
        run("on_btnP2pTransmit2_clicked");
        QVERIFY(callsNamed("nfcP2PDataRequest").empty());
    }

    void aReportForAnUnknownSapChangesNoRow() {
        startP2p();
        form()->lblP2pTxBytes1->setText(QStringLiteral("5"));
        auto* record = new TP2pConnection{};
        record->connected.localSap = 7;
        emit instanceOf()->signalP2pConnectionTerminated(record);
        QCoreApplication::sendPostedEvents();
        QVERIFY(logged(QStringLiteral("CLumaro::handleP2pConnectionTerminated: ! Unknown SAP")));
        QVERIFY(logged(
            QStringLiteral("CLumaro::handleP2pConnectionTerminated: Data transceived in this session (tx: 0, rx: 0)")));
        emit instanceOf()->signalP2pConnectionEstablished(new TP2pConnection{});
        QCoreApplication::sendPostedEvents();
        QCOMPARE(form()->lblP2pSessionStatus1->text(), QStringLiteral("Not connected"));
    }

    void withoutInstanceEveryOperationFails() {
        createWindow();
        const struct {
            const char* slot;
            const char* failure;   // null: only the missing instance is traced
        } operations[] = {
            {"on_btnP2pStartListener1_clicked", nullptr},
            {"on_btnP2pStopListener1_clicked", "CLumaro::p2pStopListener: ! Stopping P2P listener failed (code: 1)"},
            {"on_btnP2pConnect2_clicked", "CLumaro::p2pConnect: ! Connecting to P2P server failed (code: 1)"},
            {"on_btnP2pDisconnect2_clicked", nullptr},
            {"on_btnP2pTransmit1_clicked", nullptr},
        };
        for (const auto& operation : operations) {
            const qsizetype before = logLines().size();
            run(operation.slot);
            const QStringList lines = logLines().mid(before);
            QVERIFY(lines.at(1).endsWith(QLatin1String(": ! NFC instance not found")));
            QCOMPARE(lines.size(), qsizetype{operation.failure ? 4 : 3});
            if (operation.failure) QCOMPARE(lines.at(2), QString::fromLatin1(operation.failure));
            QVERIFY(lines.last().endsWith(QLatin1String(": Exit (status: 1)")));
            QVERIFY(form()->lblStatus->text().endsWith(QLatin1String("  FAIL")));
        }
        QCOMPARE(form()->lblP2pSessionStatus2->text(), QStringLiteral("Connect failed"));
        auto* received = new TP2pConnection{};
        QVERIFY(QMetaObject::invokeMethod(window.get(), "handleP2pDataReceived", Q_ARG(TP2pConnection*, received)));
        QCOMPARE(lastLogLine(), QStringLiteral("CLumaro::handleP2pDataReceived: ! NFC instance not found"));
    }
};

QTEST_MAIN(LlcpTest)
#include "llcp_test.moc"
