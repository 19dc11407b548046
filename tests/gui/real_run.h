// Lumaro's window on the real libCorvane.so and the simulated NCI controller on a pseudo-terminal,
// driven as a person drives it: the simulator with its Type 2 tag, the settings file that names
// the simulator's port as the current configuration, and clicks on the window's widgets found by
// object name. The real-window tests and the screens program share it; every wait is bounded.
#pragma once

#include <QApplication>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

#include <array>
#include <memory>
#include <utility>

#include "nci/nci_simulator.h"
#include "tags/t2t_tag.h"

class RealRun {
public:
    static constexpr int kBoundedMs = 10000;   // reached only when something is broken
    static constexpr uint16_t kRfDiscover = 0x2103;
    // The I/O page's get-parameter request (a count byte and the id) for TOTAL_DURATION, which
    // the controller holds, and the answer it gives: status, count, id, length, 1000 ms.
    static constexpr const char* kGetParameterRequest = "01 00";
    static constexpr const char* kGetParameterAnswer = "00 01 00 02 E8 03";
    static constexpr std::array<uint8_t, 7> kUid{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

    explicit RealRun(ncisim::NciIdentity identity = ncisim::NciIdentity::withDefaultParameters())
        : sim(std::move(identity)), tag(std::make_shared<simtags::T2tTag>(kUid)) {
        // A tag that leaves is reported at once, as a link loss.
        ncisim::RfSettings rf;
        rf.removal = ncisim::Removal::LinkLoss;
        sim.rf().configure(rf);
    }

    ncisim::NciSimulator sim;
    std::shared_ptr<simtags::T2tTag> tag;

    bool ok() const { return sim.ok(); }

    // Lumaro keeps lumaro.ini in its own folder; the simulator becomes its one configuration.
    static QString iniPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/lumaro.ini"); }
    void storeConfiguration() const {
        QSettings settings(iniPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("ControllerConfiguration/Simulator"),
                          QStringLiteral("READERTYPE=NCI IOTYPE=SERIAL PORT=") + QString::fromStdString(sim.portPath()));
        settings.setValue(QStringLiteral("CurrentConfiguration"), 0);
    }

    // The tag enters once the controller has been told to discover, after the commands seen so far.
    bool tagEntersDuringDiscovery() {
        for (size_t n = seenCommands;; ++n) {
            const auto command = sim.waitForCommand(n, kBoundedMs);
            if (!command) return false;
            seenCommands = n + 1;
            if (command->key() == kRfDiscover) break;
        }
        sim.rf().enter(tag);
        return true;
    }
    // After a link loss discovery goes on: the tag comes back without a new discover command.
    void tagEnters() { sim.rf().enter(tag); }
    void tagLeaves() { sim.rf().leave(tag); }
    // A new start is looked for after everything the controller was told until now.
    void skipCommands() { seenCommands = sim.commandOpcodes().size(); }

    // ---- The window, by object name ----
    template <typename T>
    static T* widget(QWidget* window, const char* name) {
        return window->findChild<T*>(QLatin1String(name));
    }
    // False when the button is missing or disabled, as a person finds it.
    static bool click(QWidget* window, const char* name) {
        QPushButton* button = widget<QPushButton>(window, name);
        if (!button || !button->isEnabled()) return false;
        QTest::mouseClick(button, Qt::LeftButton);
        return true;
    }
    static QStringList logLines(QWidget* window) {
        QStringList lines;
        const QTextEdit* log = widget<QTextEdit>(window, "txbErrorLog");
        for (QTextBlock block = log->document()->begin(); block.isValid(); block = block.next())
            lines << block.text().mid(QStringLiteral("hh:mm:ss:zzz     ").size());
        return lines;
    }
    static bool logHolds(QWidget* window, const QString& line) { return logLines(window).contains(line); }
    static bool waitForLog(QWidget* window, const QRegularExpression& line) {
        return QTest::qWaitFor([&] { return logLines(window).indexOf(line) >= 0; }, kBoundedMs);
    }
    // The tag report's UID line for the simulated tag.
    static QRegularExpression tagLine() {
        return QRegularExpression(QStringLiteral("^\\tUID:\\t04:11:22:33:44:55:66$"));
    }
    // A dialog of the given class shown over the window, or null.
    static QWidget* shownDialog(const char* className) {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->inherits(className) && top->isVisible()) return top;
        return nullptr;
    }

private:
    size_t seenCommands = 0;
};
