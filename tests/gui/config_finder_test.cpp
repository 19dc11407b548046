// The serial-port finder on a fake sysfs and /dev tree whose ports are pseudo-terminals: what it
// lists, what it opens and reports, that it always reports its end, that its probes run in
// parallel, that it can be destroyed as soon as the end is reported, and that a probe stuck in
// the system holds neither the finder nor the dialog that scans with it.
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <QComboBox>

#include "cnfccontrollerconfiguration.h"
#include "comportfinder.h"
#include "debugout.h"
#include "fake_port_tree.h"
#include "pty_pair.h"

namespace {

constexpr int kBoundedMs = 10000;   // reached only when something is broken

std::mutex traceLock;
QStringList traces;

int collect(void*, const char* line) {
    std::lock_guard<std::mutex> guard(traceLock);
    traces << QString::fromLatin1(line).trimmed();
    return 1;
}

bool traced(const QString& text) {
    std::lock_guard<std::mutex> guard(traceLock);
    return std::any_of(traces.begin(), traces.end(), [&](const QString& line) { return line.endsWith(text); });
}

class RecordingNotifier : public IPortCheckerNotifier {
public:
    explicit RecordingNotifier(int answer = 1) : answer(answer) {}
    int portFound(const std::string& portName) override {
        std::lock_guard<std::mutex> guard(lock);
        found.push_back(portName);
        return answer;
    }
    void searchFinished() override {
        std::lock_guard<std::mutex> guard(lock);
        ++finished;
        ended.notify_all();
    }
    bool waitForEnd() {
        std::unique_lock<std::mutex> guard(lock);
        return ended.wait_for(guard, std::chrono::milliseconds(kBoundedMs), [this] { return finished > 0; });
    }
    std::vector<std::string> ports() {
        std::lock_guard<std::mutex> guard(lock);
        return found;
    }
    int ends() {
        std::lock_guard<std::mutex> guard(lock);
        return finished;
    }

private:
    int answer;
    std::mutex lock;
    std::condition_variable ended;
    std::vector<std::string> found;
    int finished = 0;
};

// Every probe waits here until all have come, so probes run one after another never meet: the
// first gives up at the bound and lets the others through.
struct Rendezvous {
    explicit Rendezvous(int expected) : expected(expected) {}
    void meet() {
        std::unique_lock<std::mutex> guard(lock);
        ++entered;
        changed.notify_all();
        if (!changed.wait_for(guard, std::chrono::milliseconds(kBoundedMs), [this] { return complete(); })) {
            broken = true;
            changed.notify_all();
        }
    }
    bool allMet() {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::milliseconds(kBoundedMs), [this] { return complete(); });
        return entered >= expected && !broken;
    }

private:
    bool complete() const { return entered >= expected || broken; }

    const int expected;
    std::mutex lock;
    std::condition_variable changed;
    int entered = 0;
    bool broken = false;
};

// Counts the ports it could open; with a rendezvous each probe waits for all the others.
class CountingTask : public CPortCheckTask {
public:
    CountingTask(const std::string& name, uint32_t rate, std::atomic<int>& opened, Rendezvous* rendezvous)
        : CPortCheckTask(name, rate), opened(opened), rendezvous(rendezvous) {}
    int probe() override {
        ++opened;
        if (rendezvous) rendezvous->meet();
        return CPortCheckTask::probe();
    }

private:
    std::atomic<int>& opened;
    Rendezvous* rendezvous;
};

// Its probes are never left behind, however loaded the machine: they touch the finder's counter.
class CountingFinder : public CComportFinder {
public:
    explicit CountingFinder(const FakePortTree& tree, Rendezvous* rendezvous = nullptr)
        : CComportFinder(TPortRoots{tree.sysClassTty(), tree.dev()}, std::chrono::milliseconds(2 * kBoundedMs)),
          rendezvous(rendezvous) {}
    CPortCheckTask* createTask(const std::string& portName) override {
        return new CountingTask(portName, 115200, opened, rendezvous);
    }
    bool reserveProbes(uint32_t count) override { return !failAllocation && CComportFinder::reserveProbes(count); }

    std::atomic<int> opened{0};
    bool failAllocation = false;

private:
    Rendezvous* rendezvous;
};

std::string fakeName(int n) { return "ttyFAKE" + std::to_string(n); }

// A probe stuck in the system: its open or close does not return until the gate opens, which
// the test does once it has seen the scan end without it.
struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    bool forced = false;   // opened by the watchdog: something waited for the stuck probe
    int gone = 0;          // tasks deleted
    void release() {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        changed.notify_all();
    }
    bool waitGone(int count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kBoundedMs), [&] { return gone >= count; });
    }
};

class StuckTask : public CPortCheckTask {
public:
    StuckTask(const std::string& name, std::shared_ptr<Gate> gate) : CPortCheckTask(name, 115200), gate(std::move(gate)) {}
    ~StuckTask() override {
        std::lock_guard<std::mutex> guard(gate->lock);
        ++gate->gone;
        gate->changed.notify_all();
    }
    int probe() override {
        std::unique_lock<std::mutex> guard(gate->lock);
        gate->changed.wait(guard, [this] { return gate->open; });
        return 0;
    }

private:
    std::shared_ptr<Gate> gate;
};

// The last listed port's probe is stuck.
class StuckFinder : public CComportFinder {
public:
    StuckFinder(const FakePortTree& tree, std::shared_ptr<Gate> gate, std::string stuckPort)
        : CComportFinder(TPortRoots{tree.sysClassTty(), tree.dev()}, std::chrono::milliseconds(300)),
          gate(std::move(gate)), stuckPort(std::move(stuckPort)) {}
    CPortCheckTask* createTask(const std::string& portName) override {
        if (portName == stuckPort) return new StuckTask(portName, gate);
        return CComportFinder::createTask(portName);
    }

private:
    std::shared_ptr<Gate> gate;
    std::string stuckPort;
};

} // namespace

class ConfigFinderTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakePortTree> tree;
    std::vector<std::unique_ptr<PtyPair>> ptys;

    // Adds ports ttyFAKE<first>.. whose nodes are fresh pseudo-terminals.
    std::vector<std::string> addPtyPorts(int first, int count) {
        std::vector<std::string> paths;
        for (int n = first; n < first + count; ++n) {
            ptys.push_back(std::make_unique<PtyPair>());
            paths.push_back(tree->addPort(fakeName(n), ptys.back()->slavePath()));
        }
        return paths;
    }

private slots:
    void initTestCase() { debugSetSink(collect, nullptr); }
    void cleanupTestCase() { debugSetSink(nullptr, nullptr); }
    void init() {
        tree = std::make_unique<FakePortTree>();
        QVERIFY(tree->ok());
        std::lock_guard<std::mutex> guard(traceLock);
        traces.clear();
    }
    void cleanup() {
        tree.reset();
        ptys.clear();
    }

    void listingKeepsHardwareTtysInNaturalOrder() {
        tree->addPort("ttyUSB10", "");
        tree->addPort("ttyUSB2", "");
        tree->addPort("ttyACM0", "");
        tree->addVirtual("tty1");
        tree->addSerial8250("ttyS0", "4", "");
        tree->addSerial8250("ttyS1", "0", "");
        const std::vector<std::string> expected = {tree->dev() + "/ttyACM0", tree->dev() + "/ttyS0",
                                                   tree->dev() + "/ttyUSB2", tree->dev() + "/ttyUSB10"};
        QCOMPARE(listSerialPorts({tree->sysClassTty(), tree->dev()}), expected);
    }

    void anEmptyTreeReportsOnlyTheEnd() {
        RecordingNotifier notifier;
        CountingFinder finder(*tree);
        QVERIFY(finder.start(&notifier, 115200));
        QVERIFY(notifier.waitForEnd());
        QVERIFY(traced(QStringLiteral("No COM ports found")));
        QVERIFY(notifier.ports().empty());
        QCOMPARE(notifier.ends(), 1);
    }

    // A port that cannot be opened is still reported: only a probe that opened it may refuse it.
    void everyListedPortIsReportedAndEveryPresentOneOpened() {
        std::vector<std::string> expected = addPtyPorts(0, 3);
        expected.push_back(tree->addPort(fakeName(3), ""));
        RecordingNotifier notifier;
        CountingFinder finder(*tree);
        QVERIFY(finder.start(&notifier, 115200));
        QVERIFY(notifier.waitForEnd());
        QVERIFY(traced(QStringLiteral("4 COM ports found")));
        QCOMPARE(notifier.ports(), expected);
        QCOMPARE(finder.opened.load(), 3);
        QCOMPARE(notifier.ends(), 1);
    }

    void twoNamesOfOneDeviceGiveOneTask() {
        const std::vector<std::string> paths = addPtyPorts(0, 1);
        tree->addPort(fakeName(1), ptys.back()->slavePath());
        RecordingNotifier notifier;
        CountingFinder finder(*tree);
        QCOMPARE(finder.refresh(), uint32_t{1});
        QVERIFY(finder.start(&notifier, 115200));
        QVERIFY(notifier.waitForEnd());
        QCOMPARE(notifier.ports(), paths);
    }

    void aNotifierThatAnswersZeroGetsOnlyTheEnd() {
        const std::vector<std::string> paths = addPtyPorts(0, 3);
        RecordingNotifier notifier(0);
        CountingFinder finder(*tree);
        QVERIFY(finder.start(&notifier, 115200));
        QVERIFY(notifier.waitForEnd());
        QCOMPARE(notifier.ports(), std::vector<std::string>{paths.front()});
        QCOMPARE(notifier.ends(), 1);
    }

    void runningOutOfMemoryStillReportsTheEnd() {
        addPtyPorts(0, 2);
        RecordingNotifier notifier;
        CountingFinder finder(*tree);
        finder.failAllocation = true;
        QVERIFY(finder.start(&notifier, 115200));
        QVERIFY(notifier.waitForEnd());
        QVERIFY(traced(QStringLiteral("! CComportFinder::onWorkerThread out of memory")));
        QVERIFY(notifier.ports().empty());
        QCOMPARE(finder.opened.load(), 0);
        QCOMPARE(notifier.ends(), 1);
    }

    // All probes at once: each waits until every other has started.
    void aHundredPortsAreProbedInParallel() {
        addPtyPorts(0, 100);
        RecordingNotifier notifier;
        Rendezvous rendezvous(100);
        CountingFinder finder(*tree, &rendezvous);
        QVERIFY(finder.start(&notifier, 115200));
        QVERIFY(notifier.waitForEnd());
        QVERIFY(rendezvous.allMet());
        QCOMPARE(notifier.ports().size(), size_t{100});
        QCOMPARE(finder.opened.load(), 100);
    }

    // The finder thread still unwinds after it reports the end: destruction must wait for it.
    void theFinderCanBeDestroyedRightAfterTheEnd() {
        addPtyPorts(0, 4);
        for (int round = 0; round < 50; ++round) {
            RecordingNotifier notifier;
            {
                CountingFinder finder(*tree);
                QVERIFY(finder.start(&notifier, 115200));
                QVERIFY(notifier.waitForEnd());
            }
            QCOMPARE(notifier.ports().size(), size_t{4});
            QCOMPARE(notifier.ends(), 1);
        }
    }

    // The scan is bounded even when a port's open or close never returns: the dialog opens with
    // the other ports' findings and the stuck one listed, as a port that cannot be opened is.
    void aStuckProbeDoesNotHoldTheDialog() {
        const std::vector<std::string> paths = addPtyPorts(0, 2);
        auto gate = std::make_shared<Gate>();
        // Should the scan wait for the probe after all, the gate opens late: the test fails, it never hangs.
        std::thread watchdog([gate] {
            std::unique_lock<std::mutex> guard(gate->lock);
            if (!gate->changed.wait_for(guard, std::chrono::milliseconds(kBoundedMs), [&] { return gate->open; })) {
                gate->open = gate->forced = true;
                gate->changed.notify_all();
            }
        });
        CNfcControllerConfiguration::setPortProvider([&] {
            return scanSerialPorts(std::make_unique<StuckFinder>(*tree, gate, paths.back()));
        });
        auto dialog = std::make_unique<CNfcControllerConfiguration>(nullptr, nullptr);
        CNfcControllerConfiguration::setPortProvider(nullptr);
        bool forced = false;
        {
            std::lock_guard<std::mutex> guard(gate->lock);
            forced = gate->forced;
        }
        // Once its open returns, the probe left behind deletes its own task.
        gate->release();
        const bool gone = gate->waitGone(1);
        watchdog.join();
        QVERIFY2(!forced, "the dialog opened only once the stuck probe returned");
        QVERIFY(gone);
        QComboBox* ports = dialog->findChild<QComboBox*>(QStringLiteral("cboPort"));
        for (const std::string& path : paths) {
            const int index = ports->findText(QString::fromStdString(path));
            QVERIFY2(index >= 0, path.c_str());
            QCOMPARE(ports->itemData(index, Qt::FontRole).value<QFont>().weight(), QFont::Bold);
        }
        QVERIFY(traced(QStringLiteral("probe of ") + QString::fromStdString(paths.back()) +
                       QStringLiteral(" did not end in time")));
    }

    void theHostsPortsCanBeScanned() {
        RecordingNotifier notifier;
        CComportFinder finder;
        QVERIFY(finder.start(&notifier, 115200));
        QVERIFY(notifier.waitForEnd());
        QCOMPARE(notifier.ends(), 1);
    }
};

QTEST_MAIN(ConfigFinderTest)
#include "config_finder_test.moc"
