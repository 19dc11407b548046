// The trace flags and capability container dialogs offscreen, on a settings file in the
// program's folder that each test starts afresh.
#include <QtTest>

#include <QCheckBox>
#include <QDir>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>

#include <memory>
#include <span>

#include "capabilitycontainertable.h"
#include "cnfccapabilitycontainer.h"
#include "cnfctraceflags.h"
#include "traceflagtable.h"

namespace {

const QStringList kStoredNames = {
    "Ndef", "Snep", "Handover", "ApiEntry", "ApiWorkflow", "P2pWork", "NfcApiMessages", "DumpTxApiData",
    "DumpRxApiData", "BrisgardInitialization", "BrisgardWorkflow", "BrisgardErrors", "NfcMemoryAllocation",
    "TagHandler", "TagHandlerVerbose", "NfcManager", "Ip1", "LlcpProtocol", "LlcpMessages", "LlcpData", "LlcpSym",
    "LlcGeneral", "TransactionDump", "NfcManLlTimer", "LlcpLlcAction", "ComApiCall", "Workflow", "Errors",
    "ShdlcProtocol", "ShdlcVerbose", "ShdlcDump", "ChipLevel1", "ChipLevel2", "ChipLevel3", "ChipLevel4", "L1ComApi",
    "L1Work", "L1Errors", "L1Verbose", "L1DumpFrame"};

} // namespace

class DialogsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QSettings> settings;

    static QString iniPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/dialogs.ini"); }

    // Dialogs end through their own close path, so the tests hold them as the window does.
    CNfcTraceFlags* openTrace(uint8_t mode = 0) { return new CNfcTraceFlags(nullptr, settings.get(), mode); }
    static QLineEdit* line(QWidget* dialog, const char* name) { return dialog->findChild<QLineEdit*>(name); }
    static QCheckBox* box(QWidget* dialog, const QString& name) {
        return dialog->findChild<QCheckBox*>(QStringLiteral("ckb") + name);
    }
    static void click(QWidget* dialog, const char* button) {
        QTest::mouseClick(dialog->findChild<QPushButton*>(button), Qt::LeftButton);
    }
    static void waitGone(QWidget* dialog) {
        QPointer<QWidget> watched(dialog);
        QTRY_VERIFY_WITH_TIMEOUT(watched.isNull(), 5000);
    }
    QStringList presetKeys(const QString& preset) {
        settings->beginGroup(QStringLiteral("TraceFlags/") + preset);
        QStringList keys = settings->childKeys();
        settings->endGroup();
        keys.sort();
        return keys;
    }

private slots:
    void init() {
        QFile::remove(iniPath());
        settings = std::make_unique<QSettings>(iniPath(), QSettings::IniFormat);
    }
    void cleanup() { settings.reset(); }

    // ---- Trace flags ----

    void firstOpenStoresDefaultAndCurrent() {
        std::unique_ptr<CNfcTraceFlags> dialog(openTrace());
        QVERIFY(settings->value(QStringLiteral("TraceFlagsSet")).toBool());
        QStringList expected = kStoredNames;
        expected.sort();
        QCOMPARE(presetKeys(QStringLiteral("Default")), expected);
        QCOMPARE(presetKeys(QStringLiteral("Current")), expected);
        QCOMPARE(line(dialog.get(), "ledNfcFlags")->text(), QStringLiteral("0xF8EFF9F7"));
        QCOMPARE(line(dialog.get(), "ledL1Flags")->text(), QStringLiteral("0x00050030"));
        QVERIFY(!dialog->findChild<QPushButton*>("btnAdjustConfiguration")->isEnabled());
        dialog.reset();
        settings->setValue(QStringLiteral("TraceFlags/Current/Ndef"), false);
        settings->setValue(QStringLiteral("TraceFlags/Current/L1Work"), true);
        dialog.reset(openTrace());
        QCOMPARE(line(dialog.get(), "ledNfcFlags")->text(), QStringLiteral("0xF0EFF9F7"));
        QCOMPARE(line(dialog.get(), "ledL1Flags")->text(), QStringLiteral("0x00050031"));
    }

    void typedWordSetsTheBoxes_data() {
        QTest::addColumn<QString>("lineName");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("changes");
        for (const char* name : {"ledNfcFlags", "ledL1Flags"}) {
            for (const char* text : {"1F", "0x1F", "0X1f"})
                QTest::addRow("%s %s", name, text) << QString(name) << QString(text) << true;
            QTest::addRow("%s xyz", name) << QString(name) << QStringLiteral("xyz") << false;
            QTest::addRow("%s empty", name) << QString(name) << QString() << false;
        }
    }
    void typedWordSetsTheBoxes() {
        QFETCH(QString, lineName);
        QFETCH(QString, text);
        QFETCH(bool, changes);
        std::unique_ptr<CNfcTraceFlags> dialog(openTrace());
        const bool nfcWord = lineName == QLatin1String("ledNfcFlags");
        QLineEdit* edit = line(dialog.get(), qPrintable(lineName));
        edit->clear();
        if (!text.isEmpty()) QTest::keyClicks(edit, text);
        else QMetaObject::invokeMethod(dialog.get(), nfcWord ? "on_ledNfcFlags_textEdited" : "on_ledL1Flags_textEdited",
                                       Q_ARG(QString, text));
        QCOMPARE(edit->text(), text);
        for (const TraceFlagEntry& flag : kTraceFlagTable) {
            const bool expected = flag.nfcWord == nfcWord && changes ? (flag.bit & 0x1F) != 0 : flag.checkedByDefault;
            QVERIFY2(box(dialog.get(), flag.name)->isChecked() == expected, flag.name);
        }
    }

    void lookupsFollowTheSharedTable() {
        std::unique_ptr<CNfcTraceFlags> dialog(openTrace());
        QCOMPARE(dialog->findChildren<QCheckBox*>().size(), 40);
        int nfcBoxes = 0;
        for (const TraceFlagEntry& flag : kTraceFlagTable) {
            QCheckBox* check = box(dialog.get(), flag.name);
            QVERIFY2(check, flag.name);
            QCOMPARE(check->text(), QString::fromLatin1(flag.text));
            const CNfcTraceFlags::Flag found = dialog->flagOfCheckBox(check);
            QCOMPARE(found.bit, flag.bit);
            QCOMPARE(found.nfcWord, flag.nfcWord);
            QCOMPARE(flag.nfcWord ? dialog->nfcFlagCheckBox(flag.bit) : dialog->l1FlagCheckBox(flag.bit), check);
            nfcBoxes += flag.nfcWord;
        }
        QCOMPARE(nfcBoxes, 29);
        for (uint32_t bitWithoutBox : {0x200u, 0x100000u, 0x2000000u}) QVERIFY(!dialog->nfcFlagCheckBox(bitWithoutBox));
        QCheckBox stranger;
        stranger.setObjectName(QStringLiteral("ckbEverything"));
        QCOMPARE(dialog->flagOfCheckBox(&stranger).bit, 0u);
        QVERIFY(!dialog->flagOfCheckBox(&stranger).nfcWord);
        click(dialog.get(), "btnSelectAll");
        QCOMPARE(line(dialog.get(), "ledNfcFlags")->text(), QStringLiteral("0xFDEFFDFF"));
        QCOMPARE(line(dialog.get(), "ledL1Flags")->text(), QStringLiteral("0x90770031"));
        for (int twice = 0; twice < 2; ++twice) {
            click(dialog.get(), "btnClearAll");
            QCOMPARE(line(dialog.get(), "ledNfcFlags")->text(), QStringLiteral("0x00000000"));
            QCOMPARE(line(dialog.get(), "ledL1Flags")->text(), QStringLiteral("0x00000000"));
        }
        box(dialog.get(), QStringLiteral("Ip1"))->click();
        QCOMPARE(line(dialog.get(), "ledNfcFlags")->text(), QStringLiteral("0x00000040"));
    }

    void closeInModeZeroStoresCurrentAndTheSelectedPreset() {
        CNfcTraceFlags* dialog = openTrace();
        QSignalSpy closed(dialog, &CNfcTraceFlags::signalClose);
        QSignalSpy withoutSave(dialog, &CNfcTraceFlags::signalCloseWithoutSave);
        dialog->findChild<QComboBox*>("cboSaveLoadSelection")->setCurrentText(QStringLiteral("Config1"));
        click(dialog, "btnClearAll");
        click(dialog, "btnClose");
        waitGone(dialog);
        QCOMPARE(closed.size(), 1);
        QCOMPARE(closed.at(0), (QVariantList{QStringLiteral("00000000"), QStringLiteral("00000000")}));
        QCOMPARE(withoutSave.size(), 0);
        QCOMPARE(presetKeys(QStringLiteral("Config1")).size(), 40);
        for (const QString& name : kStoredNames) {
            QVERIFY(!settings->value(QStringLiteral("TraceFlags/Current/") + name).toBool());
            QVERIFY(!settings->value(QStringLiteral("TraceFlags/Config1/") + name).toBool());
            QVERIFY(settings->contains(QStringLiteral("TraceFlags/Default/") + name));
        }
    }

    // The words handed to the window match the boxes stored as "Current".
    void closeWithALineThatIsNoWordHandsOutTheBoxesWord_data() {
        QTest::addColumn<QString>("nfcText");
        QTest::addColumn<QString>("nfcHanded");
        QTest::newRow("empty") << QString() << QStringLiteral("F8EFF9F7");
        QTest::newRow("no number") << QStringLiteral("xyz") << QStringLiteral("F8EFF9F7");
        QTest::newRow("typed word") << QStringLiteral("0x1F") << QStringLiteral("1F");
    }
    void closeWithALineThatIsNoWordHandsOutTheBoxesWord() {
        QFETCH(QString, nfcText);
        QFETCH(QString, nfcHanded);
        CNfcTraceFlags* dialog = openTrace();
        QSignalSpy closed(dialog, &CNfcTraceFlags::signalClose);
        QLineEdit* edit = line(dialog, "ledNfcFlags");
        edit->clear();
        QTest::keyClicks(edit, nfcText);
        click(dialog, "btnClose");
        waitGone(dialog);
        QCOMPARE(closed.size(), 1);
        QCOMPARE(closed.at(0), (QVariantList{nfcHanded, QStringLiteral("00050030")}));
    }

    void modeOneAdjustsAndClosesWithoutSaving() {
        CNfcTraceFlags* dialog = openTrace(1);
        QSignalSpy adjusted(dialog, &CNfcTraceFlags::signalTraceFlags);
        QSignalSpy closed(dialog, &CNfcTraceFlags::signalClose);
        QSignalSpy withoutSave(dialog, &CNfcTraceFlags::signalCloseWithoutSave);
        QVERIFY(dialog->findChild<QPushButton*>("btnAdjustConfiguration")->isEnabled());
        click(dialog, "btnAdjustConfiguration");
        QCOMPARE(adjusted.size(), 1);
        QCOMPARE(adjusted.at(0), (QVariantList{QStringLiteral("F8EFF9F7"), QStringLiteral("00050030")}));
        line(dialog, "ledL1Flags")->clear();
        click(dialog, "btnAdjustConfiguration");
        QCOMPARE(adjusted.size(), 1);
        click(dialog, "btnClearAll");
        click(dialog, "btnClose");
        waitGone(dialog);
        QCOMPARE(withoutSave.size(), 1);
        QCOMPARE(closed.size(), 0);
        QVERIFY(settings->value(QStringLiteral("TraceFlags/Current/Ndef")).toBool());
        QVERIFY(presetKeys(QStringLiteral("Config1")).isEmpty());
    }

    void presetNeverSavedClearsEveryBoxAndSaveStoresTheSelectedOne() {
        std::unique_ptr<CNfcTraceFlags> dialog(openTrace());
        auto* presets = dialog->findChild<QComboBox*>("cboSaveLoadSelection");
        QCOMPARE(presets->count(), 5);
        presets->setCurrentText(QStringLiteral("Config2"));
        for (QCheckBox* check : dialog->findChildren<QCheckBox*>()) QVERIFY(!check->isChecked());
        QCOMPARE(line(dialog.get(), "ledNfcFlags")->text(), QStringLiteral("0x00000000"));
        box(dialog.get(), QStringLiteral("Snep"))->click();
        click(dialog.get(), "btnSave");
        presets->setCurrentText(QStringLiteral("Default"));
        presets->setCurrentText(QStringLiteral("Config2"));
        QCOMPARE(line(dialog.get(), "ledNfcFlags")->text(), QStringLiteral("0x00004000"));
    }

    void windowFrameCloseEmitsOnce() {
        CNfcTraceFlags* dialog = openTrace();
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        QSignalSpy closed(dialog, &CNfcTraceFlags::signalClose);
        dialog->show();
        dialog->close();
        waitGone(dialog);
        QCOMPARE(closed.size(), 1);
        // Nothing was taken: the frame hands out no words, which its receiver keeps as they are.
        QCOMPARE(closed.at(0).at(0).toString(), QString());
        QCOMPARE(closed.at(0).at(1).toString(), QString());
    }

    // ---- Capability container ----

    void containerFirstOpenStoresTheDefaults() {
        std::unique_ptr<CNfcCapabilityContainer> dialog(new CNfcCapabilityContainer(nullptr, settings.get()));
        QVERIFY(settings->value(QStringLiteral("CapabilityContainerSet")).toBool());
        settings->beginGroup(QLatin1String(kCapabilityContainerGroup));
        QCOMPARE(settings->childKeys().size(), 31);
        settings->endGroup();
        for (const auto& table : {std::span<const CapabilityContainerByte>(kIso14443Bytes),
                                  std::span<const CapabilityContainerByte>(kFelicaBytes)})
            for (const CapabilityContainerByte& byte : table)
                QCOMPARE(settings->value(QStringLiteral("CardEmulationConfiguration/") + byte.name).toString(),
                         QString::fromLatin1(byte.defaultValue));
        unsigned sum = 0;
        for (size_t i = 0; i < 14; ++i) sum += QString::fromLatin1(kFelicaBytes[i].defaultValue).toUInt(nullptr, 16);
        QCOMPARE(sum, 0x0112u);
        dialog.reset();
        settings->setValue(QStringLiteral("CardEmulationConfiguration/Iso14443ABTField"), QStringLiteral("AB"));
        settings->remove(QStringLiteral("CardEmulationConfiguration/FelicaRfu6"));
        dialog.reset(new CNfcCapabilityContainer(nullptr, settings.get()));
        QCOMPARE(line(dialog.get(), "ledIso14443ABTField")->text(), QStringLiteral("AB"));
        QCOMPARE(line(dialog.get(), "ledFelicaRfu6")->text(), QString());
    }

    void containerSaveStoresTwoCharactersOrZeros_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("one character") << QStringLiteral("a") << QStringLiteral("00");
        QTest::newRow("empty") << QString() << QStringLiteral("00");
        QTest::newRow("not hexadecimal") << QStringLiteral("zz") << QStringLiteral("zz");
    }
    void containerSaveStoresTwoCharactersOrZeros() {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        auto* dialog = new CNfcCapabilityContainer(nullptr, settings.get());
        QSignalSpy finished(dialog, &CNfcCapabilityContainer::signalCeConfigurationFinished);
        QLineEdit* edit = line(dialog, "ledFelicaRfu5");
        edit->clear();
        QTest::keyClicks(edit, typed);
        click(dialog, "btnSave");
        waitGone(dialog);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(settings->value(QStringLiteral("CardEmulationConfiguration/FelicaRfu5")).toString(), stored);
    }

    void containerEveryEndingEmitsOnce_data() {
        QTest::addColumn<QString>("ending");
        QTest::newRow("Close") << QStringLiteral("btnClose");
        QTest::newRow("window frame") << QString();
    }
    void containerEveryEndingEmitsOnce() {
        QFETCH(QString, ending);
        auto* dialog = new CNfcCapabilityContainer(nullptr, settings.get());
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
        QSignalSpy finished(dialog, &CNfcCapabilityContainer::signalCeConfigurationFinished);
        line(dialog, "ledIso14443ABFileIdHigh")->setText(QStringLiteral("99"));
        if (ending.isEmpty()) dialog->close();
        else click(dialog, qPrintable(ending));
        waitGone(dialog);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(settings->value(QStringLiteral("CardEmulationConfiguration/Iso14443ABFileIdHigh")).toString(),
                 QStringLiteral("E1"));
    }

    // ---- Screenshots for a person to look at ----

    // Qt converts large pictures on its own threads, which the uninstrumented Qt shows to the
    // thread sanitizer as races: the pictures are taken in the other builds.
    void screenshotOfBothDialogsInTheirFirstRunState() {
#if defined(LUMARO_SCREENS) && !defined(__SANITIZE_THREAD__)
        QVERIFY(QDir().mkpath(QStringLiteral(LUMARO_SCREENS)));
        std::unique_ptr<QWidget> trace(openTrace());
        std::unique_ptr<QWidget> container(new CNfcCapabilityContainer(nullptr, settings.get()));
        for (const auto& [widget, file] : {std::pair{trace.get(), "trace_flags.png"},
                                           std::pair{container.get(), "capability_container.png"}}) {
            widget->show();
            QVERIFY(QTest::qWaitForWindowExposed(widget));
            const QString path = QStringLiteral(LUMARO_SCREENS "/") + QLatin1String(file);
            QVERIFY2(widget->grab().save(path), qPrintable(path));
        }
#else
        QSKIP("no pictures in this build");
#endif
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
