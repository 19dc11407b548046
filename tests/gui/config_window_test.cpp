// The window's Configure button on the fake library: it opens the controller configuration
// dialog, application-modal, with the ports the provider names and never the host's; when the
// dialog ends the window reloads its list of configurations and gives the button back.
#include "window_fixture.h"

#include <QComboBox>

#include "cnfccontrollerconfiguration.h"

class ConfigWindowTest : public CLumaroTest {
    Q_OBJECT

    int scans = 0;

    CNfcControllerConfiguration* openDialog() {
        QTest::mouseClick(form()->btnConfigure, Qt::LeftButton);
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<CNfcControllerConfiguration*>(widget)) return dialog;
        return nullptr;
    }

private slots:
    void initTestCase() {
        startFixture();
        CNfcControllerConfiguration::setPortProvider([this] {
            ++scans;
            return QStringList{QStringLiteral("/dev/ttyACM1")};
        });
    }
    void init() {
        resetFixture();
        scans = 0;
    }
    void cleanup() {
        destroyWindow();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }

    void closingTheDialogReloadsTheWindowsList() {
        writeIni("[ControllerConfiguration]\na=READERTYPE=NCI\nb=READERTYPE=PN544\n");
        createWindow();
        QPointer<CNfcControllerConfiguration> dialog = openDialog();
        QVERIFY(dialog);
        QCOMPARE(scans, 1);
        QCOMPARE(dialog->windowModality(), Qt::ApplicationModal);
        QVERIFY(dialog->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(!form()->btnConfigure->isEnabled());
        auto* ports = dialog->findChild<QComboBox*>("cboPort");
        QCOMPARE(ports->itemData(ports->findText(QStringLiteral("/dev/ttyACM1")), Qt::FontRole).value<QFont>().weight(),
                 QFont::Bold);
        dialog->findChild<QComboBox*>("cboDescription")->setCurrentIndex(1);
        QTest::mouseClick(dialog->findChild<QPushButton*>("btnDelete"), Qt::LeftButton);
        QTest::mouseClick(dialog->findChild<QPushButton*>("btnClose"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), kDeliveryTimeoutMs);
        QCOMPARE(form()->cboControllerConfiguration->count(), 1);
        QCOMPARE(form()->cboControllerConfiguration->currentText(), QStringLiteral("a"));
        QVERIFY(form()->btnConfigure->isEnabled());
    }

    void savingSelectsTheSavedConfigurationInTheWindow() {
        writeIni("[ControllerConfiguration]\na=READERTYPE=NCI\n");
        createWindow();
        QPointer<CNfcControllerConfiguration> dialog = openDialog();
        QVERIFY(dialog);
        dialog->findChild<QComboBox*>("cboDescription")->setEditText(QStringLiteral("z"));
        QTest::mouseClick(dialog->findChild<QPushButton*>("btnSave"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), kDeliveryTimeoutMs);
        QCOMPARE(form()->cboControllerConfiguration->count(), 2);
        QCOMPARE(form()->cboControllerConfiguration->currentText(), QStringLiteral("z"));
        QVERIFY(form()->btnConfigure->isEnabled());
    }
    // NFC runs on the configuration the window shows: a save in the dialog meanwhile lists the
    // new one but keeps the running one selected.
    void savingWhileNfcRunsKeepsTheRunningConfigurationSelected() {
        writeIni("[ControllerConfiguration]\na=READERTYPE=NCI\n");
        createWindow();
        QTest::mouseClick(form()->btnStartNfc, Qt::LeftButton);
        QVERIFY(instanceOf());
        QPointer<CNfcControllerConfiguration> dialog = openDialog();
        QVERIFY(dialog);
        dialog->findChild<QComboBox*>("cboDescription")->setEditText(QStringLiteral("z"));
        QTest::mouseClick(dialog->findChild<QPushButton*>("btnSave"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), kDeliveryTimeoutMs);
        QCOMPARE(itemsOf(form()->cboControllerConfiguration), (QStringList{"a", "z"}));
        QCOMPARE(form()->cboControllerConfiguration->currentText(), QStringLiteral("a"));
    }

    // The dialog shares the window's settings object, which goes with the window.
    void anOpenDialogEndsWithTheWindow() {
        createWindow();
        QPointer<CNfcControllerConfiguration> dialog = openDialog();
        QVERIFY(dialog);
        destroyWindow();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), kDeliveryTimeoutMs);
    }
};

QTEST_MAIN(ConfigWindowTest)
#include "config_window_test.moc"
