// CNfcInstance on the real libCorvane.so and the simulated NCI controller on a pseudo-terminal:
// a Type 2 tag entering is reported on the GUI thread with its UID, a raw READ of its first
// page returns the 16 bytes the model holds, the tag leaving is reported, and the library is
// stopped and unloaded, three times in one process.
#include <QThread>
#include <QtTest>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "corvanebinding.h"
#include "nci/nci_simulator.h"
#include "nfcinstance.h"
#include "platform.h"
#include "tags/t2t_tag.h"

namespace {

#define EXPORT_NAME(name) #name,
constexpr const char* kBoundExports[] = {CORVANE_BOUND_EXPORTS(EXPORT_NAME)};
#undef EXPORT_NAME

constexpr int kBoundedMs = 10000;   // reached only when something is broken
constexpr uint16_t kRfDiscover = 0x2103;
constexpr int kCycles = 3;
const std::array<uint8_t, 7> kUid{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

// The first listed export that the library file lacks, or null when it holds them all.
const char* firstMissingExport() {
    void* library = platLibraryOpen(platExecutableFolder() + kCorvaneLibraryFile);
    const char* missing = library ? nullptr : "libCorvane.so";
    for (const char* name : kBoundExports)
        if (library && !missing && !platLibrarySymbol(library, name)) missing = name;
    if (library) platLibraryClose(library);
    return missing;
}

bool discoveryRuns(const ncisim::NciSimulator& sim) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundedMs);
    for (size_t n = 0; std::chrono::steady_clock::now() < until; ++n) {
        const auto command = sim.waitForCommand(n, kBoundedMs);
        if (!command) return false;
        if (command->key() == kRfDiscover) return true;
    }
    return false;
}

// The controller reports a tag that leaves at once, as a link loss.
void reportRemoval(ncisim::NciSimulator& sim) {
    ncisim::RfSettings settings;
    settings.removal = ncisim::Removal::LinkLoss;
    sim.rf().configure(settings);
}

QString configurationFor(const ncisim::NciSimulator& sim) {
    return QStringLiteral("READERTYPE=NCI IOTYPE=SERIAL PORT=") + QString::fromStdString(sim.portPath());
}

} // namespace

class RealInstanceTest : public QObject {
    Q_OBJECT

private:
    QByteArray discoveredUid;
    int discovered = 0;
    int removed = 0;
    bool offGuiThread = false;

    void watch(CNfcInstance& instance) {
        discovered = removed = 0;
        discoveredUid.clear();
        connect(&instance, &CNfcInstance::signalPostTrace, this, [](DWORD, const char*, char* text) { delete[] text; });
        connect(&instance, &CNfcInstance::signalNfcTechnologyDiscovered, this, [this](TNfcTagInfo* tag) {
            offGuiThread |= QThread::currentThread() != qApp->thread();
            discoveredUid = QByteArray(reinterpret_cast<const char*>(tag->uid), tag->uidLength);
            ++discovered;
        });
        connect(&instance, &CNfcInstance::signalNfcTechnologyRemoved, this, [this] {
            offGuiThread |= QThread::currentThread() != qApp->thread();
            ++removed;
        });
    }

    QByteArray firstPages(const simtags::T2tTag& tag) const {
        return QByteArray(reinterpret_cast<const char*>(tag.memory.data()), 16);
    }

    // The whole road through the instance's own operations.
    void cycleThroughTheInstance() {
        ncisim::NciSimulator sim;
        QVERIFY(sim.ok());
        reportRemoval(sim);
        auto tag = std::make_shared<simtags::T2tTag>(kUid);
        CNfcInstance instance;
        watch(instance);
        QString legacy;
        connect(&instance, &CNfcInstance::signalLegacyMessage, this, [&](const QString& text) { legacy = text; });
        instance.setConfiguration(configurationFor(sim));
        QCOMPARE(instance.nfcStart(), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance.nfcRegisterListener(CNfcInstance::modeRw, TAG_ISO14443A, 0, 0, 0), NfcApiStatus{nfcStatusOk});
        QVERIFY(discoveryRuns(sim));
        sim.rf().enter(tag);
        QTRY_COMPARE_WITH_TIMEOUT(discovered, 1, kBoundedMs);
        QCOMPARE(discoveredUid, QByteArray(reinterpret_cast<const char*>(kUid.data()), 7));
        QCOMPARE(instance.connectTag(), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance.legacyExchangePdu(QStringLiteral("30 00")), NfcApiStatus{nfcStatusOk});
        const QByteArray pages = firstPages(*tag);
        QVERIFY2(legacy.endsWith(QStringLiteral("Received PDU size: 16 bytes, data:\n") +
                                 bytesToHexDumpOf(reinterpret_cast<const BYTE*>(pages.constData()))),
                 qPrintable(legacy));
        sim.rf().leave(tag);
        QTRY_COMPARE_WITH_TIMEOUT(removed, 1, kBoundedMs);
        QCOMPARE(instance.nfcStop(CNfcInstance::modeRw), NfcApiStatus{nfcStatusOk});
        QVERIFY(!corvaneSymbolTable.module);
    }

    // The same road while the library lacks exports the binding asks for: the library is driven
    // through the bound part of the table, and its reports go through the instance's callback
    // and relay slots to the GUI thread.
    void cycleThroughTheBoundExports() {
        ncisim::NciSimulator sim;
        QVERIFY(sim.ok());
        reportRemoval(sim);
        auto tag = std::make_shared<simtags::T2tTag>(kUid);
        CNfcInstance instance;
        watch(instance);
        connect(&instance, &CNfcInstance::signalTagDetected, &instance, &CNfcInstance::handleTagDetected);
        connect(&instance, &CNfcInstance::signalTagRemoved, &instance, &CNfcInstance::handleTagRemoved);
        QCOMPARE(corvaneLoadLibrary(), uint32_t{corvaneLoadIncomplete});
        const QByteArray configuration = configurationFor(sim).toLatin1();
        QCOMPARE(corvaneSymbolTable.nfcInitialize(configuration.constData()), NfcApiStatus{nfcStatusOk});
        NfcHandle application = nullptr;
        QCOMPARE(corvaneSymbolTable.nfcCreate(&instance, &CNfcInstance::nfcEventCallback, &application),
                 NfcApiStatus{nfcStatusOk});
        NfcListenerHandle listener = nullptr;
        QCOMPARE(corvaneSymbolTable.nfcRegisterListener(application, &instance, TAG_ISO14443A, nullptr, &listener),
                 NfcApiStatus{nfcStatusOk});
        QVERIFY(discoveryRuns(sim));
        sim.rf().enter(tag);
        QTRY_COMPARE_WITH_TIMEOUT(discovered, 1, kBoundedMs);
        QCOMPARE(discoveredUid, QByteArray(reinterpret_cast<const char*>(kUid.data()), 7));
        QCOMPARE(instance.tagIdentifier(), discoveredUid);
        QCOMPARE(corvaneSymbolTable.nfcConnectTag(listener, 0), NfcApiStatus{nfcStatusOk});
        const BYTE read[] = {0x30, 0x00};
        BYTE answer[4096] = {};
        WORD length = sizeof answer;
        QCOMPARE(corvaneSymbolTable.nfcExchangePdu(listener, read, sizeof read, answer, &length),
                 NfcApiStatus{nfcStatusOk});
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(answer), length), firstPages(*tag));
        sim.rf().leave(tag);
        QTRY_COMPARE_WITH_TIMEOUT(removed, 1, kBoundedMs);
        QCOMPARE(corvaneSymbolTable.nfcUnregisterListener(listener), NfcApiStatus{nfcStatusOk});
        QCOMPARE(corvaneSymbolTable.nfcDestroy(application), NfcApiStatus{nfcStatusOk});
        QCOMPARE(corvaneSymbolTable.nfcDone(), NfcApiStatus{nfcStatusOk});   // joins the library's threads
        corvaneFreeLibrary();
        QVERIFY(!corvaneSymbolTable.module);
    }

    static QString bytesToHexDumpOf(const BYTE* bytes) {
        QString dump;
        for (int i = 0; i < 16; ++i) dump += QStringLiteral("%1 ").arg(unsigned{bytes[i]}, 2, 16, QLatin1Char('0')).toUpper();
        return dump + QLatin1Char('\n');
    }

private slots:
    void cleanup() { QVERIFY(!offGuiThread); }

    void aSimulatedTagIsDetectedAndReadRawThreeTimesInOneProcess() {
        const char* missing = firstMissingExport();
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            if (missing)
                cycleThroughTheBoundExports();
            else
                cycleThroughTheInstance();
            if (QTest::currentTestFailed()) return;
        }
        if (missing)
            qInfo("The library lacks %s: the instance's start refuses it, so its operations ran on the fake only",
                  missing);
    }
};

QTEST_MAIN(RealInstanceTest)
#include "real_instance_test.moc"
