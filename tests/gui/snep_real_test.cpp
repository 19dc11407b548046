// The real window on the real libCorvane.so and the simulated NCI controller on a pseudo-terminal,
// with an NFC-DEP target whose LLCP runs the test-side SNEP peers: the window's SNEP server takes
// the peer's PUT of a Smart Poster into the receive tree, the page's Text reaches the peer's
// default server as exactly the built bytes, and Stop NFC stops the servers.
#include "window_fixture.h"

#include <QDir>
#include <QLineEdit>
#include <QTreeWidget>

#include "llcp/llcp_peer.h"
#include "nci/nci_simulator.h"
#include "peers/npp_peer.h"
#include "peers/service_peer.h"
#include "peers/snep_peer.h"
#include "tags/nfc_dep_target.h"

namespace {

constexpr int kBoundedMs = 10000;   // reached only when something is broken
constexpr uint8_t kSnepSap = 4, kPeerClientSap = 0x21, kPeerNppSap = 0x22;
using simtags::Bytes;

// A Smart Poster: "Hi" in English and http://www.a.b.
const Bytes kPoster = {0xD1, 0x02, 0x11, 'S', 'p', 0x91, 0x01, 0x05, 'T', 0x02, 'e', 'n', 'H', 'i',
                       0x51, 0x01, 0x04, 'U', 0x01, 'a', '.', 'b'};

} // namespace

class SnepRealTest : public CLumaroTest {
    Q_OBJECT

    std::unique_ptr<ncisim::NciSimulator> sim;
    // The peer and its services outlive the window: the host's last frames still reach them.
    std::unique_ptr<llcpsim::Peer> peer;
    std::unique_ptr<simpeers::SnepServerPeer> defaultServer;
    std::unique_ptr<simpeers::SnepClientPeer> peerClient;
    std::unique_ptr<simpeers::NppClientPeer> nppClient;
    std::shared_ptr<simtags::NfcDepTarget> target;

    template <typename F>
    auto onSim(F f) {
        auto out = std::make_shared<decltype(f())>();
        sim->call([&](ncisim::Controller&) { *out = f(); });
        return *out;
    }
    void screenshot(const char* name) {
#ifdef __SANITIZE_THREAD__
        Q_UNUSED(name);
        return;
#endif
        QDir().mkpath(QStringLiteral(LUMARO_SCREENS));
        QVERIFY(window->grab().save(QStringLiteral(LUMARO_SCREENS "/%1.png").arg(QLatin1String(name))));
    }
    QByteArray built() const {
        return QByteArray(reinterpret_cast<const char*>(window->ndefMessage.getMessageBuffer()),
                          static_cast<qsizetype>(window->ndefMessage.getMessageSize()));
    }

private:
    // The simulated controller with the peer's services, the window started as initiator.
    void startWithPeer() {
        sim = std::make_unique<ncisim::NciSimulator>();
        QVERIFY(sim->ok());
        peer = std::make_unique<llcpsim::Peer>(llcpsim::Role::Target);
        defaultServer = std::make_unique<simpeers::SnepServerPeer>(kSnepSap, simpeers::SnepServerPeer::Kind::Default);
        peerClient = std::make_unique<simpeers::SnepClientPeer>(kPeerClientSap);
        nppClient = std::make_unique<simpeers::NppClientPeer>(kPeerNppSap);
        peer->listen(kSnepSap, "urn:nfc:sn:snep", 2);   // the peer's MIU for it: 128

        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI IOTYPE=SERIAL PORT=" +
                 QByteArray::fromStdString(sim->portPath()) + "\n");
        createWindow();
#ifdef __SANITIZE_THREAD__
        window->setUpdatesEnabled(false);
#endif
        window->show();
        form()->ckbP2pServiceSnepServer->setChecked(false);
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY2(instanceOf(), qPrintable(logLines().join(QLatin1Char('\n'))));
        form()->ckbP2pInitiatorPassive->setChecked(true);
        for (QCheckBox* box : {form()->ckbP2pTargetPassive, form()->ckbP2pTargetActive, form()->ckbP2pInitiatorActive})
            box->setChecked(false);
        QTest::mouseClick(form()->btnP2pStart, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("P2P: Start  OK"));
    }
    void peerEnters() {
        target = std::make_shared<simtags::NfcDepTarget>(peer->activationBytes());
        target->onFrame = simpeers::carry(*peer, {defaultServer.get(), peerClient.get(), nppClient.get()});
        sim->rf().enter(target);
        QTRY_VERIFY_WITH_TIMEOUT(!form()->ledDeviceType->text().isEmpty(), kBoundedMs);
    }
    std::vector<Bytes> peerPuts() {
        return onSim([&] { return defaultServer->puts; });
    }
    static Bytes bytesOf(const QByteArray& bytes) { return Bytes(bytes.begin(), bytes.end()); }
    // The failure lines the log holds from line on.
    QStringList failuresFrom(qsizetype line) const { return logLines().mid(line).filter(QStringLiteral(": ! ")); }

private slots:
    void initTestCase() { startFixture(); }
    void cleanup() {
        destroyWindow();
        removeIni();
        sim.reset();
        target.reset();
        peerClient.reset();
        nppClient.reset();
        defaultServer.reset();
        peer.reset();
    }

    void thePeerPutsAndTheWindowPushes() {
        startWithPeer();
        if (QTest::currentTestFailed()) return;
        // The library takes services only from an application that listens for P2P.
        QTest::mouseClick(form()->ckbP2pServiceSnepServer, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Start server  OK"));
        form()->ckbP2pServiceNppServer->setChecked(false);
        QTest::mouseClick(form()->ckbP2pServiceNppServer, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("NPP: Start server  OK"));
        // Discovering the peer pushes the page's message at once.
        form()->tabP2pSnepTransmit->setCurrentWidget(form()->pagP2pSnepTransmitRtdText);
        form()->tedP2pSnepTransmitRtdTextText->setPlainText(QStringLiteral("On discovery"));
        form()->ckbP2pSnepAutoTransmit->setChecked(true);

        peerEnters();
        QTRY_VERIFY_WITH_TIMEOUT(onSim([&] { return !defaultServer->puts.empty(); }), kBoundedMs);
        const QByteArray automatic = built();
        const Bytes first = onSim([&] { return defaultServer->puts.front(); });
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(first.data()), qsizetype(first.size())), automatic);
        form()->ckbP2pSnepAutoTransmit->setChecked(false);

        QVERIFY(onSim([&] {
            nppClient->push(*peer, {{simpeers::npp::ACTION_IMMEDIATE, kPoster}});
            return true;
        }));
        QTRY_VERIFY_WITH_TIMEOUT(!logLines().filter(QStringLiteral("NPP event received")).isEmpty(), kBoundedMs);

        form()->tabInteraction->setCurrentIndex(0);
        QVERIFY(onSim([&] {
            peerClient->put(*peer, kPoster);
            return true;
        }));
        QTRY_VERIFY_WITH_TIMEOUT(form()->twtP2pSnepReceive->topLevelItemCount() > 0, kBoundedMs);
        QCOMPARE(form()->tabInteraction->currentIndex(), 4);
        QCOMPARE(form()->tabP2p->currentIndex(), 0);
        QStringList contents;
        QTreeWidgetItemIterator it(form()->twtP2pSnepReceive);
        for (; *it; ++it) contents << (*it)->text(5);
        QVERIFY2(contents.contains(QStringLiteral("Hi")), qPrintable(contents.join(QLatin1Char('|'))));
        QTRY_VERIFY_WITH_TIMEOUT(onSim([&] { return !peerClient->responses.empty(); }), kBoundedMs);
        QCOMPARE(onSim([&] { return int(peerClient->responses.front().code); }), int(simpeers::snep::SUCCESS));

        form()->tabP2pSnepTransmit->setCurrentWidget(form()->pagP2pSnepTransmitRtdText);
        form()->tedP2pSnepTransmitRtdTextText->setPlainText(QStringLiteral("To the peer"));
        QTest::mouseClick(form()->btnP2pSnepTransmit, Qt::LeftButton);
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Transmit  OK"));
        const QByteArray sent = built();
        QTRY_VERIFY_WITH_TIMEOUT(onSim([&] { return defaultServer->puts.size() == 2; }), kBoundedMs);
        const Bytes received = onSim([&] { return defaultServer->puts.back(); });
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(received.data()), qsizetype(received.size())), sent);
        screenshot("snep-received");
        sim->rf().leave(target);
        QTRY_VERIFY_WITH_TIMEOUT(form()->ledDeviceType->text().isEmpty(), kBoundedMs);

        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        QVERIFY(!instanceOf());
        for (const char* line : {"CLumaro::snepStopServer: Exit (status: 0)", "CLumaro::nppStopServer: Exit (status: 0)",
                                 "CLumaro::handoverStopServer: Exit (status: 0)"})
            QVERIFY2(logged(QLatin1String(line)), line);
    }

    // A message longer than the peer's MIU goes in fragments, each sent once the library's
    // client reports the one before through: the push ends only when the peer has it all.
    void aLongVcardArrivesWholeAndTwoQuickPushesBothArrive() {
        startWithPeer();
        if (QTest::currentTestFailed()) return;
        peerEnters();
        QStringList ends;
        connect(instanceOf(), &CNfcInstance::signalSnepEnded, this,
                [&](BYTE role, BOOL success) { ends << QStringLiteral("%1 %2").arg(role).arg(success); });
        form()->tabInteraction->setCurrentIndex(4);
        form()->tabP2p->setCurrentIndex(0);
        form()->tabP2pSnepTransmit->setCurrentWidget(form()->pagP2pSnepTransmitVcard);
        const QString filler(60, QLatin1Char('v'));
        for (QLineEdit* field : {form()->ledP2pSnepTransmitVcardFirstName, form()->ledP2pSnepTransmitVcardLastName,
                                 form()->ledP2pSnepTransmitVcardPhone, form()->ledP2pSnepTransmitVcardEmail,
                                 form()->ledP2pSnepTransmitVcardCompany, form()->ledP2pSnepTransmitVcardUrl,
                                 form()->ledP2pSnepTransmitVcardStreet, form()->ledP2pSnepTransmitVcardCity})
            field->setText(filler);
        const qsizetype from = logLines().size();
        QTest::mouseClick(form()->btnP2pSnepTransmit, Qt::LeftButton);
        const QByteArray vcard = built();
        QVERIFY2(vcard.size() >= 600, qPrintable(QString::number(vcard.size())));
        QTRY_COMPARE_WITH_TIMEOUT(ends, QStringList{"1 1"}, kBoundedMs);
        QTRY_COMPARE_WITH_TIMEOUT(peerPuts().size(), size_t{1}, kBoundedMs);
        QVERIFY(peerPuts().front() == bytesOf(vcard));
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SNEP: Transmit  OK"));

        // Two clicks in a row: the second message waits for the first, and both arrive.
        form()->tabP2pSnepTransmit->setCurrentWidget(form()->pagP2pSnepTransmitRtdText);
        form()->tedP2pSnepTransmitRtdTextText->setPlainText(QStringLiteral("first"));
        QTest::mouseClick(form()->btnP2pSnepTransmit, Qt::LeftButton);
        const QByteArray first = built();
        form()->tedP2pSnepTransmitRtdTextText->setPlainText(QStringLiteral("second"));
        QTest::mouseClick(form()->btnP2pSnepTransmit, Qt::LeftButton);
        const QByteArray second = built();
        QTRY_COMPARE_WITH_TIMEOUT(peerPuts().size(), size_t{3}, kBoundedMs);
        QVERIFY(peerPuts()[1] == bytesOf(first));
        QVERIFY(peerPuts()[2] == bytesOf(second));
        QTRY_COMPARE_WITH_TIMEOUT(ends, (QStringList{"1 1", "1 1", "1 1"}), kBoundedMs);
        QVERIFY2(failuresFrom(from).isEmpty(), qPrintable(failuresFrom(from).join(QLatin1Char('\n'))));
        sim->rf().leave(target);
        QTRY_VERIFY_WITH_TIMEOUT(form()->ledDeviceType->text().isEmpty(), kBoundedMs);
    }
};

QTEST_MAIN(SnepRealTest)
#include "snep_real_test.moc"
