// The controller configuration dialog offscreen on a settings file of its own, with the ports
// it marks given by the test: the line composer, showing, saving, deleting and closing, the
// trace words, and the found ports in bold.
#include <QtTest>

#include <QAbstractItemView>
#include <QApplication>
#include <QTimer>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>

#include <memory>

#include "cnfccontrollerconfiguration.h"
#include "cnfctraceflags.h"

namespace {

using Word = CNfcControllerConfiguration::Word;

QString iniPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/configuration.ini"); }

} // namespace

class ConfigDialogTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QSettings> settings;
    QStringList foundPorts;

    // Held as the window holds it: the dialog deletes itself when it closes.
    QPointer<CNfcControllerConfiguration> open() {
        auto* dialog = new CNfcControllerConfiguration(nullptr, settings.get());
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        return dialog;
    }
    void store(const QString& description, const QString& line) {
        settings->setValue(QStringLiteral("ControllerConfiguration/") + description, line);
    }
    static QComboBox* list(QWidget* dialog, const char* name) { return dialog->findChild<QComboBox*>(name); }
    static QLineEdit* line(QWidget* dialog) { return dialog->findChild<QLineEdit*>("ledConfiguration"); }
    static void click(QWidget* dialog, const char* button) {
        QTest::mouseClick(dialog->findChild<QPushButton*>(button), Qt::LeftButton);
    }
    static void choose(QWidget* dialog, const char* name, const QString& entry) {
        QComboBox* combo = list(dialog, name);
        const int index = combo->findText(entry, Qt::MatchExactly | Qt::MatchCaseSensitive);
        QVERIFY2(index >= 0, qPrintable(entry));
        combo->setCurrentIndex(index);
    }
    static bool bold(QComboBox* combo, int index) {
        const QVariant font = combo->itemData(index, Qt::FontRole);
        return font.isValid() && font.value<QFont>().weight() == QFont::Bold;
    }

private slots:
    void initTestCase() {
        CNfcControllerConfiguration::setPortProvider([this] { return foundPorts; });
    }
    void init() {
        QTest::failOnWarning(QRegularExpression(QStringLiteral("No matching signal|connectSlotsByName")));
        QFile::remove(iniPath());
        settings = std::make_unique<QSettings>(iniPath(), QSettings::IniFormat);
        foundPorts.clear();
    }
    void cleanup() { settings.reset(); }

    void composedLines_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("word");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("after");
        const int reader = int(Word::ReaderType);
        const int bus = int(Word::IoType);
        const int port = int(Word::Port);
        const QString full = QStringLiteral("READERTYPE=PN544 IOTYPE=SERIAL PORT=COM3");
        QTest::newRow("controller first") << "" << reader << "PN544" << "READERTYPE=PN544";
        QTest::newRow("bus after it") << "READERTYPE=PN544" << bus << "SERIAL" << "READERTYPE=PN544 IOTYPE=SERIAL";
        QTest::newRow("port after the bus") << "READERTYPE=PN544 IOTYPE=SERIAL" << port << "COM3" << full;
        QTest::newRow("no controller") << full << reader << "None" << "IOTYPE=SERIAL PORT=COM3";
        QTest::newRow("no bus") << full << bus << "None" << "READERTYPE=PN544 PORT=COM3";
        QTest::newRow("no port") << full << port << "None" << "READERTYPE=PN544 IOTYPE=SERIAL";
        QTest::newRow("none of an absent word")
            << " READERTYPE=PN544  X=1 " << port << "None" << "READERTYPE=PN544 X=1";
        QTest::newRow("remark replaced whole")
            << "READERTYPE=PN544 (rev B) PORT=COM3" << reader << "NCI" << "READERTYPE=NCI PORT=COM3";
        QTest::newRow("bus after the remark") << "READERTYPE=PN544 (rev B) PORT=COM3" << bus << "SERIAL"
                                              << "READERTYPE=PN544 (rev B) IOTYPE=SERIAL PORT=COM3";
        QTest::newRow("another order") << "PORT=COM3 READERTYPE=PN544" << bus << "SERIAL"
                                       << "PORT=COM3 READERTYPE=PN544 IOTYPE=SERIAL";
        QTest::newRow("past the end") << "IOTYPE=SERIAL" << port << "COM3" << "IOTYPE=SERIAL PORT=COM3";
        QTest::newRow("a quoted value is one word")
            << "READERTYPE=NCI PORT=\"/dev/my port\" X=1" << port << "COM3" << "READERTYPE=NCI PORT=COM3 X=1";
        QTest::newRow("never inside a word") << "XPORT=1 PORT=COM1" << port << "COM3" << "XPORT=1 PORT=COM3";
    }
    void composedLines() {
        QFETCH(QString, before);
        QFETCH(int, word);
        QFETCH(QString, entry);
        QFETCH(QString, after);
        QCOMPARE(CNfcControllerConfiguration::composeLine(before, Word(word), entry), after);
    }

    void theListsComposeTheLine() {
        QPointer<CNfcControllerConfiguration> dialog = open();
        QCOMPARE(list(dialog, "cboController")->count(), 12);
        QCOMPARE(list(dialog, "cboBus")->count(), 5);
        QCOMPARE(list(dialog, "cboPort")->count(), 51);
        QCOMPARE(list(dialog, "cboPort")->itemText(50), QStringLiteral("/dev/ttyO4"));
        QCOMPARE(list(dialog, "cboDescription")->count(), 0);
        choose(dialog, "cboController", QStringLiteral("PN544"));
        choose(dialog, "cboBus", QStringLiteral("SERIAL"));
        choose(dialog, "cboPort", QStringLiteral("COM3"));
        QCOMPARE(line(dialog)->text(), QStringLiteral("READERTYPE=PN544 IOTYPE=SERIAL PORT=COM3"));
        choose(dialog, "cboBus", QStringLiteral("None"));
        QCOMPARE(line(dialog)->text(), QStringLiteral("READERTYPE=PN544 PORT=COM3"));
        delete dialog;
    }

    void traceWordsAreAppendedThenReplaced() {
        QPointer<CNfcControllerConfiguration> dialog = open();
        line(dialog)->setText(QStringLiteral("READERTYPE=PN544"));
        dialog->editTraceFlags(QStringLiteral("0000ABCD"), QStringLiteral("00000010"));
        QCOMPARE(line(dialog)->text(), QStringLiteral("READERTYPE=PN544 TRACES.NFC=0000ABCD TRACES.L1=00000010"));
        line(dialog)->setText(QStringLiteral("TRACES.L1=1 READERTYPE=PN544 TRACES.NFC=2 PORT=COM3"));
        dialog->editTraceFlags(QStringLiteral("F0000000"), QStringLiteral("00000030"));
        QCOMPARE(line(dialog)->text(),
                 QStringLiteral("TRACES.L1=00000030 READERTYPE=PN544 TRACES.NFC=F0000000 PORT=COM3"));
        delete dialog;
    }

    // The trace flags dialog in its mode for this dialog hands its words over and gives the
    // button back when it closes.
    void theTraceFlagsDialogAddsItsWords() {
        QPointer<CNfcControllerConfiguration> dialog = open();
        line(dialog)->setText(QStringLiteral("READERTYPE=NCI"));
        click(dialog, "btnTraceFlags");
        QVERIFY(!dialog->findChild<QPushButton*>("btnTraceFlags")->isEnabled());
        QPointer<CNfcTraceFlags> flags;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* candidate = qobject_cast<CNfcTraceFlags*>(widget)) flags = candidate;
        QVERIFY(flags);
        flags->findChild<QLineEdit*>("ledNfcFlags")->setText(QStringLiteral("0x00000001"));
        flags->findChild<QLineEdit*>("ledL1Flags")->setText(QStringLiteral("0x00000002"));
        click(flags, "btnAdjustConfiguration");
        QCOMPARE(line(dialog)->text(), QStringLiteral("READERTYPE=NCI TRACES.NFC=00000001 TRACES.L1=00000002"));
        click(flags, "btnClose");
        QTRY_VERIFY_WITH_TIMEOUT(flags.isNull(), 5000);
        QVERIFY(dialog->findChild<QPushButton*>("btnTraceFlags")->isEnabled());
        delete dialog;
    }

    void saveStoresTheLineAndEndsTheDialogOnce() {
        QPointer<CNfcControllerConfiguration> dialog = open();
        QSignalSpy finished(dialog.data(), &CNfcControllerConfiguration::signalNfcConfigurationFinished);
        list(dialog, "cboDescription")->setEditText(QStringLiteral("cfgA"));
        line(dialog)->setText(QStringLiteral("READERTYPE=NCI PORT=/dev/pts/5"));
        click(dialog, "btnSave");
        QCOMPARE(settings->value(QStringLiteral("ControllerConfiguration/cfgA")).toString(),
                 QStringLiteral("READERTYPE=NCI PORT=/dev/pts/5"));
        QCOMPARE(settings->value(QStringLiteral("CurrentConfiguration")).toInt(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 5000);
        QCOMPARE(finished.count(), 1);
    }

    void saveWithoutDescriptionStoresNothing() {
        QPointer<CNfcControllerConfiguration> dialog = open();
        line(dialog)->setText(QStringLiteral("READERTYPE=NCI"));
        click(dialog, "btnSave");
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 5000);
        QVERIFY(settings->allKeys().isEmpty());
    }

    void closeStoresTheChoiceAndSignalsTwice() {
        store(QStringLiteral("a"), QStringLiteral("READERTYPE=NCI"));
        store(QStringLiteral("b"), QStringLiteral("READERTYPE=PN544"));
        QPointer<CNfcControllerConfiguration> dialog = open();
        QSignalSpy finished(dialog.data(), &CNfcControllerConfiguration::signalNfcConfigurationFinished);
        list(dialog, "cboDescription")->setCurrentIndex(1);
        settings->remove(QStringLiteral("CurrentConfiguration"));
        click(dialog, "btnClose");
        QCOMPARE(settings->value(QStringLiteral("CurrentConfiguration")).toInt(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 5000);
        QCOMPARE(finished.count(), 2);
    }

    void deleteRemovesOnlyANamedConfiguration() {
        store(QStringLiteral("a"), QStringLiteral("READERTYPE=NCI"));
        store(QStringLiteral("b"), QStringLiteral("READERTYPE=PN544"));
        QPointer<CNfcControllerConfiguration> dialog = open();
        list(dialog, "cboDescription")->setEditText(QString());
        click(dialog, "btnDelete");
        QCOMPARE(settings->allKeys().filter(QStringLiteral("ControllerConfiguration/")).size(), 2);
        list(dialog, "cboDescription")->setCurrentIndex(1);
        click(dialog, "btnDelete");
        QVERIFY(!settings->contains(QStringLiteral("ControllerConfiguration/b")));
        QCOMPARE(list(dialog, "cboDescription")->count(), 1);
        QCOMPARE(line(dialog)->text(), QStringLiteral("READERTYPE=NCI"));
        delete dialog;
    }

    // The settings read a separator in a name as a path: deleting "/" removed every stored
    // configuration, and "a/b" was stored where no list shows it. Such a name is refused: Save
    // says so and keeps the dialog for another name, Delete removes only a stored configuration.
    void namesThatAreNoConfigurationAreRefused_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("saved");
        QTest::newRow("slash") << "/" << false;
        QTest::newRow("path") << "a/b" << false;
        QTest::newRow("backslash") << "a\\b" << false;
        QTest::newRow("typed, not stored") << "c" << true;
    }
    void namesThatAreNoConfigurationAreRefused() {
        QFETCH(QString, name);
        QFETCH(bool, saved);
        store(QStringLiteral("a"), QStringLiteral("READERTYPE=NCI"));
        store(QStringLiteral("b"), QStringLiteral("READERTYPE=PN544"));
        const auto configurations = [this] { return settings->allKeys().filter(QStringLiteral("ControllerConfiguration")); };
        const QStringList stored = configurations();
        QPointer<CNfcControllerConfiguration> dialog = open();
        list(dialog, "cboDescription")->setEditText(name);
        click(dialog, "btnDelete");
        QCOMPARE(configurations(), stored);
        QCOMPARE(list(dialog, "cboDescription")->count(), 2);
        if (saved) {
            delete dialog;
            return;
        }
        bool told = false;
        QTimer::singleShot(0, [&] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                told = box->inherits("QMessageBox");
                box->close();
            }
        });
        list(dialog, "cboDescription")->setEditText(name);
        click(dialog, "btnSave");
        QVERIFY(told);
        QCOMPARE(configurations(), stored);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!dialog.isNull());   // still open for another name
        delete dialog;
    }

    void aRememberedIndexOutsideTheListShowsTheFirst_data() {
        QTest::addColumn<int>("remembered");
        QTest::newRow("beyond") << 7;
        QTest::newRow("below") << -1;
    }
    void aRememberedIndexOutsideTheListShowsTheFirst() {
        QFETCH(int, remembered);
        store(QStringLiteral("a"), QStringLiteral("READERTYPE=NCI IOTYPE=SERIAL"));
        store(QStringLiteral("b"), QStringLiteral("READERTYPE=PN544"));
        settings->setValue(QStringLiteral("CurrentConfiguration"), remembered);
        QPointer<CNfcControllerConfiguration> dialog = open();
        QCOMPARE(list(dialog, "cboDescription")->currentIndex(), 0);
        QCOMPARE(line(dialog)->text(), QStringLiteral("READERTYPE=NCI IOTYPE=SERIAL"));
        QCOMPARE(list(dialog, "cboController")->currentText(), QStringLiteral("NCI"));
        QCOMPARE(list(dialog, "cboBus")->currentText(), QStringLiteral("SERIAL"));
        QCOMPARE(settings->value(QStringLiteral("CurrentConfiguration")).toInt(), 0);
        delete dialog;
    }

    // A value no list holds stays in the line: its list shows "None", but for the port, which is
    // listed once as configured, so that the list never says there is none.
    void showingNeverDropsAWord() {
        store(QStringLiteral("A"), QStringLiteral("READERTYPE=NCI PORT=COM3"));
        store(QStringLiteral("B"), QStringLiteral("READERTYPE=XYZ PORT=/dev/pts/5"));
        QPointer<CNfcControllerConfiguration> dialog = open();
        QComboBox* descriptions = list(dialog, "cboDescription");
        QCOMPARE(list(dialog, "cboPort")->currentText(), QStringLiteral("COM3"));
        descriptions->setCurrentIndex(1);
        QCOMPARE(line(dialog)->text(), QStringLiteral("READERTYPE=XYZ PORT=/dev/pts/5"));
        QCOMPARE(list(dialog, "cboController")->currentText(), QStringLiteral("None"));
        QCOMPARE(list(dialog, "cboPort")->currentText(), QStringLiteral("/dev/pts/5"));
        descriptions->setCurrentIndex(0);
        descriptions->setCurrentIndex(1);
        QCOMPARE(line(dialog)->text(), QStringLiteral("READERTYPE=XYZ PORT=/dev/pts/5"));
        QCOMPARE(list(dialog, "cboPort")->findText(QStringLiteral("/dev/pts/5")), list(dialog, "cboPort")->count() - 1);
        QCOMPARE(list(dialog, "cboPort")->count(), 52);
        click(dialog, "btnSave");
        QCOMPARE(settings->value(QStringLiteral("ControllerConfiguration/B")).toString(),
                 QStringLiteral("READERTYPE=XYZ PORT=/dev/pts/5"));
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 5000);
    }

    void foundPortsAreBold() {
        foundPorts = {QStringLiteral("/DEV/TTYUSB0"), QStringLiteral("/dev/ttyAMA0")};
        QPointer<CNfcControllerConfiguration> dialog = open();
        QComboBox* ports = list(dialog, "cboPort");
        const int usb0 = ports->findText(QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(ports->count(), 52);
        QCOMPARE(ports->itemText(51), QStringLiteral("/dev/ttyAMA0"));
        for (int i = 0; i < ports->count(); ++i) QCOMPARE(bold(ports, i), i == usb0 || i == 51);
        choose(dialog, "cboPort", QStringLiteral("/dev/ttyAMA0"));
        QCOMPARE(line(dialog)->text(), QStringLiteral("PORT=/dev/ttyAMA0"));
        delete dialog;
    }
    // For a person to look at: a composed line, and the port list with a found port in bold.
    // Qt converts pictures on its own threads, which the thread sanitizer shows as races.
    void screenshotWithAComposedLineAndABoldPort() {
#if defined(LUMARO_SCREENS) && !defined(__SANITIZE_THREAD__)
        QVERIFY(QDir().mkpath(QStringLiteral(LUMARO_SCREENS)));
        foundPorts = {QStringLiteral("/dev/ttyUSB0")};
        store(QStringLiteral("Simulator"), QStringLiteral("READERTYPE=NCI IOTYPE=SERIAL PORT=/dev/ttyUSB0 "
                                                          "TRACES.NFC=F8EFF9F7 TRACES.L1=00050030"));
        std::unique_ptr<CNfcControllerConfiguration> dialog(open());
        dialog->setAttribute(Qt::WA_DeleteOnClose, false);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        QComboBox* ports = list(dialog.get(), "cboPort");
        ports->showPopup();
        ports->view()->scrollTo(ports->model()->index(ports->currentIndex(), 0));
        using Picture = std::pair<QWidget*, const char*>;
        for (const auto& [widget, file] : {Picture{dialog.get(), "controller_configuration.png"},
                                           Picture{ports->view()->window(), "controller_configuration_ports.png"}}) {
            const QString path = QStringLiteral(LUMARO_SCREENS "/") + QLatin1String(file);
            QVERIFY2(widget->grab().save(path), qPrintable(path));
        }
        ports->hidePopup();
#else
        QSKIP("no pictures in this build");
#endif
    }
};

QTEST_MAIN(ConfigDialogTest)
#include "config_dialog_test.moc"
