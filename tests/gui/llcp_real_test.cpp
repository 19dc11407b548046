// The real window on the real libCorvane.so and the simulated NCI controller on a pseudo-terminal,
// with an NFC-DEP target in the field that carries the test's LLCP peer: listener 1 takes the
// peer's connection, counts its data and echoes it, connection 2 connects to the peer's endpoint
// and sends it test data of the MIU's size, and the peer's disconnection ends session 1.
#include "window_fixture.h"

#include "llcp/llcp_peer.h"
#include "nci/nci_simulator.h"
#include "peers/nfc_dep.h"
#include "tags/nfc_dep_target.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kBoundedMs = 10000;   // reached only when something is broken
constexpr uint8_t kPeerSap = 0x20;

Bytes joined(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace

class LlcpRealTest : public CLumaroTest {
    Q_OBJECT

    std::unique_ptr<ncisim::NciSimulator> sim;
    llcpsim::Peer peer{llcpsim::Role::Target};
    std::shared_ptr<simtags::NfcDepTarget> target;

    // The peer, touched only on the controller's thread.
    template <typename F>
    void withPeer(F f) {
        QVERIFY(sim->call([&](ncisim::Controller&) { f(peer); }));
    }
    Bytes peerData(uint8_t sap) {
        Bytes data;
        sim->call([&](ncisim::Controller&) {
            if (llcpsim::Endpoint* e = peer.endpoint(sap)) data = joined(e->data);
        });
        return data;
    }
    void click(const char* slot) { QVERIFY(QMetaObject::invokeMethod(window.get(), slot)); }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        // The peer leaves first: the link ends before the listener is unregistered.
        if (target) {
            sim->rf().leave(target);
            QTRY_COMPARE_WITH_TIMEOUT(form()->lblP2pSessionStatus2->text(), QStringLiteral("Not connected"), kBoundedMs);
        }
        if (instanceOf()) QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        destroyWindow();
        sim.reset();
    }

    void twoConnectionsCarryDataBothWays() {
        sim = std::make_unique<ncisim::NciSimulator>();
        QVERIFY(sim->ok());
        startNfcOnPort(sim->portPath());
        if (QTest::currentTestFailed()) return;

        // The host polls as passive initiator.
        for (QCheckBox* box : {form()->ckbP2pInitiatorActive, form()->ckbP2pTargetPassive, form()->ckbP2pTargetActive})
            box->setChecked(false);
        form()->ckbP2pInitiatorPassive->setChecked(true);
        QTest::mouseClick(form()->btnP2pStart, Qt::LeftButton);
        QVERIFY2(activeModesOf() & CLumaro::modeP2p, qPrintable(logLines().join(QLatin1Char('\n'))));
        click("on_btnP2pStartListener1_clicked");
        QCOMPARE(form()->lblP2pListenerStatus1->text(), QStringLiteral("Listener ready"));
        form()->ckbP2pEchoServer1->setChecked(true);

        withPeer([](llcpsim::Peer& p) { p.listen(14, {}, 2); });
        target = std::make_shared<simtags::NfcDepTarget>(peer.activationBytes());
        target->onFrame = simpeers::carry(peer);
        sim->rf().enter(target);

        // The peer connects to listener 1 and sends 300 bytes, which come back by echo.
        withPeer([](llcpsim::Peer& p) { p.connect(kPeerSap, 15, {}, 2); });
        QTRY_COMPARE_WITH_TIMEOUT(form()->lblP2pSessionStatus1->text(), QStringLiteral("Connected"), kBoundedMs);
        Bytes data(300);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xFF - i);
        withPeer([&](llcpsim::Peer& p) { p.send(kPeerSap, data); });
        QTRY_COMPARE_WITH_TIMEOUT(form()->lblP2pRxBytes1->text(), QStringLiteral("300"), kBoundedMs);
        QTRY_COMPARE_WITH_TIMEOUT(peerData(kPeerSap).size(), data.size(), kBoundedMs);
        QVERIFY(peerData(kPeerSap) == data);
        QTRY_COMPARE_WITH_TIMEOUT(form()->lblP2pTxBytes1->text(), QStringLiteral("300"), kBoundedMs);

        // Connection 2 connects to the peer's endpoint on SAP 14 and sends bytes i mod 256.
        form()->sboP2pMiu2->setValue(128);
        click("on_btnP2pConnect2_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("P2P: Connect  OK"));
        QTRY_COMPARE_WITH_TIMEOUT(form()->lblP2pSessionStatus2->text(), QStringLiteral("Connected"), kBoundedMs);
        click("on_btnP2pTransmit2_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("P2P: Transmit  OK"));
        Bytes generated(128);
        for (size_t i = 0; i < generated.size(); ++i) generated[i] = static_cast<uint8_t>(i);
        QTRY_VERIFY_WITH_TIMEOUT(peerData(14) == generated, kBoundedMs);
        QTRY_COMPARE_WITH_TIMEOUT(form()->lblP2pTxBytes2->text(), QStringLiteral("128"), kBoundedMs);

        // The peer ends session 1.
        withPeer([](llcpsim::Peer& p) { p.disconnect(kPeerSap); });
        QTRY_COMPARE_WITH_TIMEOUT(form()->lblP2pSessionStatus1->text(), QStringLiteral("Not connected"), kBoundedMs);
        QVERIFY(logged(QStringLiteral(
            "CLumaro::handleP2pConnectionDisconnected: Data transceived in this session (tx: 300, rx: 300)")));
        QCOMPARE(form()->lblP2pSessionStatus2->text(), QStringLiteral("Connected"));
    }
};

QTEST_MAIN(LlcpRealTest)
#include "llcp_real_test.moc"
