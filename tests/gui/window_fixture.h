// The main window on the fake library, for every window test program: the real CLumaro
// offscreen with a fresh lumaro.ini in the program's own folder, access to its members, the
// fake's call log and events, a closer for modal boxes, and a message handler that fails the
// test on any warning about connections.
#pragma once

#include <QtTest>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "clumaro.h"
#include "fake_control.h"
#include "lumaroform.h"
#include "metatypes.h"
#include "nfcinstance.h"

// Holds no slots of its own: each test program derives its test class from it.
class CLumaroTest : public QObject {
public:
    static constexpr uint32_t kDeliveryTimeoutMs = 5000;

    static FakeCorvane& fake() { return FakeCorvane::instance(); }
    static QString iniPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/lumaro.ini"); }

    // Removes the settings file, or the folder that stands in its way.
    static void removeIni() {
        const QFileInfo info(iniPath());
        if (info.isDir())
            QDir(iniPath()).removeRecursively();
        else
            QFile::remove(iniPath());
    }
    static void writeIni(const QByteArray& content) {
        removeIni();
        QFile file(iniPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    // ---- The window ----
    std::unique_ptr<CLumaro> window;

    void createWindow() {
        window = std::make_unique<CLumaro>();
        QVERIFY2(connectionWarnings().isEmpty(), qPrintable(connectionWarnings().join(QLatin1Char('\n'))));
    }
    void destroyWindow() { window.reset(); }
    Ui_CLumaro* form() const { return window->ui; }
    QSettings*& settingsOf() const { return window->settings; }
    QTextEdit* logViewOf() const { return window->logView; }
    // The window's own operations, for the tests of their Parts.
    NfcApiStatus runOperation(const char* source, const QString& status, std::initializer_list<QWidget*> controls,
                              const char* failure, const std::function<NfcApiStatus()>& call) {
        return window->runOperation({.source = source,
                                     .statusText = status,
                                     .failureText = failure,
                                     .before = CLumaro::switchedOff(controls),
                                     .after = CLumaro::switchedOn(controls)},
                                    call);
    }
    void lockUi(DWORD mode) { window->lockUi(mode); }
    void disableUi(DWORD mode) { window->disableUi(mode); }
    void enableUi(DWORD mode, const TNfcTagInfo* tag) { window->enableUi(mode, tag); }
    void clearUi(DWORD mode) { window->clearUi(mode); }
    void resetStatusLabels() { window->resetStatusLabels(); }
    void setStatus(int state, const QString& text) { window->setStatus(state, text); }
    void enableTagControls(DWORD mode, bool enable) { window->enableTagControls(mode, enable); }
    CNfcInstance*& instanceOf() const { return window->nfcInstance; }
    DWORD nfcFlagsOf() const { return window->nfcFlags; }
    DWORD l1FlagsOf() const { return window->l1Flags; }
    void setTraceMasks(DWORD nfc, DWORD l1) {
        window->nfcFlags = nfc;
        window->l1Flags = l1;
    }
    DWORD activeModesOf() const { return window->activeModes; }
    WORD snepMiuOf() const { return window->snepMiu; }
    DWORD& currentModeOf() const { return window->currentMode; }
    DWORD& currentTagTypeOf() const { return window->currentTagType; }
    // Secure elements
    BYTE seStartedCountOf() const { return window->seStartedCount; }
    DWORD seSlotsMappedOf() const { return window->seSlotsMapped; }
    QString printSecureElement(const TNfcInfoSE& element) { return window->printSecureElement(element); }
    void notifySecureElement(TNfcInfoSE element) { window->handleSeNotification(&element); }
    void initSeRouting(int started) { window->initSeRouting(started); }

    // The log's lines without their time stamps.
    QStringList logLines() const {
        QStringList lines;
        for (QTextBlock block = window->logView->document()->begin(); block.isValid(); block = block.next())
            lines << block.text().mid(QStringLiteral("hh:mm:ss:zzz     ").size());
        return lines;
    }
    QString lastLogLine() const { return logLines().value(logLines().size() - 1); }
    QColor logBackground(int line) const {
        const QTextBlock block = window->logView->document()->findBlockByNumber(line);
        QTextCursor cursor(block);
        cursor.movePosition(QTextCursor::Right);
        return cursor.charFormat().background().color();
    }
    bool logged(const QString& line) const { return logLines().contains(line); }
    // A combo's item texts in their order, and the keys of a group as the settings file holds them.
    static QStringList itemsOf(const QComboBox* combo) {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
        return items;
    }
    static QStringList storedKeys(const char* group) {
        QSettings stored(iniPath(), QSettings::IniFormat);
        stored.beginGroup(QLatin1String(group));
        return stored.childKeys();
    }

    // A first run's window whose one configuration is the simulated controller on this port,
    // with NFC started from its Start button.
    void startNfcOnPort(const std::string& port) {
        writeIni("[ControllerConfiguration]\nSim=READERTYPE=NCI IOTYPE=SERIAL PORT=" + QByteArray::fromStdString(port) +
                 "\n");
        createWindow();
        QTest::mouseClick(window->ui->btnStartNfc, Qt::LeftButton);
        QVERIFY2(window->nfcInstance, qPrintable(logLines().join(QLatin1Char('\n'))));
    }

    // Starts an instance on the fake and hands it to the window, as starting NFC does.
    void giveWindowStartedInstance() {
        auto* instance = new CNfcInstance();
        instance->setConfiguration(QStringLiteral("READERTYPE=NCI PORT=/dev/null"));
        QCOMPARE(instance->nfcStart(), NfcApiStatus{nfcStatusOk});
        instanceOf() = instance;
    }

    // ---- The fake ----
    size_t mark = 0;
    void markCalls() { mark = fake().calls().size(); }
    std::vector<FakeCall> callsSinceMark() const {
        const std::vector<FakeCall> all = fake().calls();
        return std::vector<FakeCall>(all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())), all.end());
    }
    void deliver(const FakeEvent& event) {
        QVERIFY(fake().fire(event));
        QVERIFY(fake().waitDelivered(kDeliveryTimeoutMs));
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
    }

    // Closes the next modal box that opens (with its default button's rejection).
    static void closeNextModalBox() {
        QTimer::singleShot(0, [] {
            if (QWidget* box = QApplication::activeModalWidget()) box->close();
        });
    }

    // The colour a label's style sheet paints behind its text, near its right edge.
    static QRgb paintedBackground(QWidget* label) {
        const QImage image = label->grab().toImage();
        return image.pixelColor(image.width() - 2, image.height() / 2).rgb();
    }

    // ---- Warnings about connections fail the test ----
    static QStringList& connectionWarnings() {
        static QStringList warnings;
        return warnings;
    }
    static void watchConnections() {
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
            if (type != QtDebugMsg && type != QtInfoMsg &&
                (message.contains(QLatin1String("connect")) || message.contains(QLatin1String("signal"))))
                connectionWarnings() << message;
            fprintf(stderr, "%s\n", qPrintable(message));
        });
    }
    void startFixture() {
        registerMetaTypes();
        watchConnections();
    }
    void resetFixture() {
        fake().reset();
        connectionWarnings().clear();
        removeIni();
        mark = 0;
    }
};
