// The real window on the real libCorvane.so and the simulated NCI controller with a UICC and an
// eSE on a pseudo-terminal: the controller's report labels two slots, a slot box switches its
// NFCEE on and off, the embedded-SE page opens the eSE, exchanges a SELECT, runs the echo test
// and closes it, an AID routed to the eSE reaches the controller's routing table, and a maker
// that runs its own poll-mode table is offered one.
#include "window_fixture.h"

#include <algorithm>

#include "nci/nci_simulator.h"

namespace {

constexpr int kBoundedMs = 10000;   // reached only when something is broken
constexpr uint8_t kUicc = 0x02, kEse = 0x10;
constexpr uint16_t kSetRouting = 0x2101, kModeSet = 0x2201, kSwpWakeUp = 0x2F08;

ncisim::NciIdentity uiccAndEse(uint8_t maker) {
    ncisim::NciIdentity id = ncisim::NciIdentity::generic();
    id.manufacturer = maker;
    ncisim::NfceeInfo uicc;
    uicc.id = kUicc;
    uicc.status = 0x01;   // present, switched off
    ncisim::NfceeInfo ese;
    ese.id = kEse;
    id.nfcees = {uicc, ese};
    return id;
}

std::vector<std::vector<uint8_t>> payloadsOf(const ncisim::NciSimulator& sim, uint16_t opcode) {
    std::vector<std::vector<uint8_t>> payloads;
    for (const ncisim::NciMessage& m : sim.recorder().received())
        if (!m.isData() && m.key() == opcode) payloads.push_back(m.payload);
    return payloads;
}

bool contains(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& part) {
    return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
}

} // namespace

class SeRealTest : public CLumaroTest {
    Q_OBJECT

    std::unique_ptr<ncisim::NciSimulator> sim;

    void startOn(uint8_t maker) {
        sim = std::make_unique<ncisim::NciSimulator>(uiccAndEse(maker));
        QVERIFY(sim->ok());
        // The window readies the controller with the SWP wake-up before it opens an SE.
        sim->onCommand(kSwpWakeUp, [](ncisim::Controller& c, const ncisim::NciMessage&) { c.respond(0x4F08, {0x00}); });
        startNfcOnPort(sim->portPath());
    }
    QCheckBox* boxOf(uint8_t id) const {
        for (QCheckBox* box : {form()->ckbSeSlot0, form()->ckbSeSlot1, form()->ckbSeSlot2, form()->ckbSeSlot3})
            if (box->text().startsWith(QStringLiteral("SE ID #%1:").arg(id))) return box;
        return nullptr;
    }
    std::map<uint8_t, uint8_t> modes() {
        std::map<uint8_t, uint8_t> seen;
        sim->call([&](ncisim::Controller&) { seen = sim->nfcees().modes(); });
        return seen;
    }
    void click(const char* slot) { QVERIFY(QMetaObject::invokeMethod(window.get(), slot)); }
    void select(QComboBox* combo, const QString& text) {
        QVERIFY2(combo->findText(text) >= 0, qPrintable(text));
        combo->setCurrentText(text);
    }

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        if (instanceOf()) QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        destroyWindow();
        sim.reset();
    }

    void slotsSwitchTheirNfceesAndTheEsePageUsesAndRoutesTheEse() {
        startOn(0x00);
        QCheckBox* uicc = boxOf(kUicc);
        QCheckBox* ese = boxOf(kEse);
        QVERIFY2(uicc && ese, qPrintable(logLines().join(QLatin1Char('\n'))));
        QVERIFY(uicc->isEnabled() && ese->isEnabled());
        QVERIFY(!uicc->isChecked());
        QVERIFY(ese->isChecked());
        QVERIFY(activeModesOf() & CLumaro::modeSe);

        // The UICC's box switches it on and off; the listener stays registered for the eSE.
        uicc->click();
        QCOMPARE(modes()[kUicc], uint8_t{1});
        QVERIFY(uicc->isChecked());
        QCOMPARE(seStartedCountOf(), BYTE{2});
        uicc->click();
        QCOMPARE(modes()[kUicc], uint8_t{0});
        QVERIFY(!uicc->isChecked());
        QVERIFY(activeModesOf() & CLumaro::modeSe);
        QVERIFY(!payloadsOf(*sim, kModeSet).empty());

        // The embedded SE, driven by its page's widgets.
        select(form()->cboSeControlId, QString::number(kEse));
        click("on_btnSeOpenEse_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Open ESE  OK"));
        form()->ledSePdu->setText(QStringLiteral("00 A4 04 00 05 A0 00 00 00 03"));
        click("on_btnSeExchangePdu_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Exchange PDU  OK"));
        QTRY_VERIFY_WITH_TIMEOUT(form()->tedSeLog->toPlainText().endsWith(QLatin1Char('\n') + QString(160, QLatin1Char('-'))),
                                 kBoundedMs);
        QVERIFY(form()->tedSeLog->toPlainText().contains(QLatin1String("90 00")));
        click("on_btnSeEchoTest_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Echo test  OK"));
        click("on_btnSeCloseEse_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Close ESE  OK"));
        QVERIFY(form()->btnSeOpenEse->isEnabled());

        // An AID routed to the eSE, powered in state 01, reaches the controller with the next discovery.
        QCOMPARE(itemsOf(form()->cboSeRoutingTableType), QStringList{QStringLiteral("Listen Mode")});
        select(form()->cboSeId, QString::number(kEse));
        select(form()->cboSeRoutingType, QStringLiteral("AID"));
        select(form()->cboSePowerState, QStringLiteral("01"));
        form()->ledSeAid->setText(QStringLiteral("A0 00 00 00 03"));
        click("on_btnSeAddRoutingEntry_clicked");
        QCOMPARE(form()->lblStatus->text(), QStringLiteral("SE: Add LMRT  OK"));
        QTest::mouseClick(form()->btnRwStart, Qt::LeftButton);
        const std::vector<uint8_t> route{0x02, 0x07, kEse, 0x01, 0xA0, 0x00, 0x00, 0x00, 0x03};
        const auto routed = [&] {
            const auto tables = payloadsOf(*sim, kSetRouting);
            return std::any_of(tables.begin(), tables.end(), [&](const std::vector<uint8_t>& p) { return contains(p, route); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(routed(), kBoundedMs);
    }

    void aMakerWithItsOwnPollTableIsOfferedOne() {
        startOn(0x0C);
        QCOMPARE(itemsOf(form()->cboSeRoutingTableType), (QStringList{QStringLiteral("Listen Mode"), QStringLiteral("Poll Mode")}));
        QVERIFY(!form()->btnSeWakeUp->isHidden());
    }
};

QTEST_MAIN(SeRealTest)
#include "se_real_test.moc"
