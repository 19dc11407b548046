// The whole road of a controller configuration on the real libCorvane.so: the finder lists the
// simulated NCI controller's pseudo-terminal through a fake port tree, the user composes the
// configuration from that port in the window's dialog and saves it, the window selects it, and
// Start NFC brings the simulated controller up until its tag is reported.
#include "window_fixture.h"

#include <QComboBox>
#include <QLineEdit>

#include <array>

#include "cnfccontrollerconfiguration.h"
#include "cnfctraceflags.h"
#include "fake_port_tree.h"
#include "nci/nci_simulator.h"
#include "tags/t2t_tag.h"

namespace {

constexpr int kBoundedMs = 10000;   // reached only when something is broken
constexpr uint16_t kRfDiscover = 0x2103;
const std::array<uint8_t, 7> kUid{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

bool discoveryRuns(const ncisim::NciSimulator& sim) {
    for (size_t n = 0;; ++n) {
        const auto command = sim.waitForCommand(n, kBoundedMs);
        if (!command) return false;
        if (command->key() == kRfDiscover) return true;
    }
}

template <typename T>
T* topLevel() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<T*>(widget); found && !found->testAttribute(Qt::WA_WState_Hidden))
            return found;
    return nullptr;
}

void choose(QWidget* dialog, const char* list, const QString& entry) {
    auto* combo = dialog->findChild<QComboBox*>(list);
    const int index = combo->findText(entry, Qt::MatchExactly | Qt::MatchCaseSensitive);
    QVERIFY2(index >= 0, qPrintable(entry));
    combo->setCurrentIndex(index);
}

void click(QWidget* dialog, const char* button) {
    QTest::mouseClick(dialog->findChild<QPushButton*>(button), Qt::LeftButton);
}

} // namespace

class ConfigE2eTest : public CLumaroTest {
    Q_OBJECT

private slots:
    void initTestCase() { startFixture(); }
    void init() { resetFixture(); }
    void cleanup() {
        destroyWindow();
        CNfcControllerConfiguration::setPortProvider(nullptr);
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    void aConfigurationComposedFromAFoundPortStartsTheSimulatedController() {
        ncisim::NciSimulator sim;
        QVERIFY(sim.ok());
        FakePortTree tree;
        QVERIFY(tree.ok());
        const QString port = QString::fromStdString(tree.addPort("ttyFAKE0", sim.portPath()));
        const TPortRoots roots{tree.sysClassTty(), tree.dev()};
        CNfcControllerConfiguration::setPortProvider([roots] { return scanSerialPorts(roots); });
        createWindow();

        QTest::mouseClick(form()->btnConfigure, Qt::LeftButton);
        QPointer<CNfcControllerConfiguration> dialog = topLevel<CNfcControllerConfiguration>();
        QVERIFY(dialog);
        QVERIFY(!form()->btnConfigure->isEnabled());
        auto* ports = dialog->findChild<QComboBox*>("cboPort");
        const int found = ports->findText(port);
        QVERIFY(found > 0);
        QCOMPARE(ports->itemData(found, Qt::FontRole).value<QFont>().weight(), QFont::Bold);
        dialog->findChild<QComboBox*>("cboDescription")->setEditText(QStringLiteral("Simulator"));
        choose(dialog, "cboController", QStringLiteral("NCI"));
        choose(dialog, "cboBus", QStringLiteral("SERIAL"));
        choose(dialog, "cboPort", port);

        click(dialog, "btnTraceFlags");
        QPointer<CNfcTraceFlags> flags = topLevel<CNfcTraceFlags>();
        QVERIFY(flags);
        flags->findChild<QLineEdit*>("ledNfcFlags")->setText(QStringLiteral("0x00000001"));
        flags->findChild<QLineEdit*>("ledL1Flags")->setText(QStringLiteral("0x00000002"));
        click(flags, "btnAdjustConfiguration");
        click(flags, "btnClose");
        QTRY_VERIFY_WITH_TIMEOUT(flags.isNull(), kBoundedMs);
        const QString line =
            QStringLiteral("READERTYPE=NCI IOTYPE=SERIAL PORT=%1 TRACES.NFC=00000001 TRACES.L1=00000002").arg(port);
        QCOMPARE(dialog->findChild<QLineEdit*>("ledConfiguration")->text(), line);
        click(dialog, "btnSave");
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), kBoundedMs);
        QVERIFY(form()->btnConfigure->isEnabled());
        QCOMPARE(form()->cboControllerConfiguration->currentText(), QStringLiteral("Simulator"));

        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY2(instanceOf(), qPrintable(logLines().join(QLatin1Char('\n'))));
        int discovered = 0;
        QByteArray uid;
        connect(instanceOf(), &CNfcInstance::signalNfcTechnologyDiscovered, this, [&](TNfcTagInfo* tag) {
            uid = QByteArray(reinterpret_cast<const char*>(tag->uid), tag->uidLength);
            ++discovered;
        });
        QTest::mouseClick(form()->btnRwStart, Qt::LeftButton);
        QVERIFY(discoveryRuns(sim));
        sim.rf().enter(std::make_shared<simtags::T2tTag>(kUid));
        QTRY_COMPARE_WITH_TIMEOUT(discovered, 1, kBoundedMs);
        QCOMPARE(uid, QByteArray(reinterpret_cast<const char*>(kUid.data()), kUid.size()));
        QTest::mouseClick(form()->btnStopNfc, Qt::LeftButton);
        QVERIFY(!instanceOf());
    }
};

QTEST_MAIN(ConfigE2eTest)
#include "config_e2e_test.moc"
