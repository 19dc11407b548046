#include "comportfinder.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <new>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "debugout.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kTraceFinder = 0x1000000;
constexpr uint32_t kTraceError = 0x8000000;
constexpr char kPlaceholderDriver[] = "serial8250";
constexpr char kUnknownPortType[] = "0";

// Digit runs compare as numbers, everything else character by character.
bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t endA = i;
            size_t endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA]))) ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB]))) ++endB;
            const std::string runA = a.substr(i, endA - i);
            const std::string runB = b.substr(j, endB - j);
            const size_t zerosA = std::min(runA.find_first_not_of('0'), runA.size());
            const size_t zerosB = std::min(runB.find_first_not_of('0'), runB.size());
            const std::string valueA = runA.substr(zerosA);
            const std::string valueB = runB.substr(zerosB);
            if (valueA.size() != valueB.size()) return valueA.size() < valueB.size();
            if (valueA != valueB) return valueA < valueB;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The 8250 driver registers a fixed number of ports whether or not the hardware exists; the
// ones it found nothing behind carry the unknown port type.
bool isPlaceholder(const fs::path& entry) {
    std::error_code error;
    const fs::path driver = fs::read_symlink(entry / "device" / "driver", error);
    if (error || driver.filename() != kPlaceholderDriver) return false;
    return firstLine(entry / "type") == kUnknownPortType;
}

// Two names of one device (a link beside the node) count as one port.
std::string normalisedPath(const std::string& path) {
    std::error_code error;
    const fs::path canonical = fs::canonical(path, error);
    return error ? fs::path(path).lexically_normal().string() : canonical.string();
}

} // namespace

std::vector<std::string> listSerialPorts(const TPortRoots& roots) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(roots.sysClassTty, error), end; !error && it != end; it.increment(error)) {
        std::error_code linkError;
        if (!fs::exists(it->path() / "device", linkError) || isPlaceholder(it->path())) continue;
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end(), naturalLess);
    std::vector<std::string> paths;
    for (const std::string& name : names) paths.push_back(roots.dev + "/" + name);
    return paths;
}

// ---- CPortCheckTask ---------------------------------------------------------------------------

CPortCheckTask::CPortCheckTask(std::string name, uint32_t baud) : portName(std::move(name)), rate(baud) {}

CPortCheckTask::~CPortCheckTask() {
    if (portHandle >= 0) ::close(portHandle);
}

void CPortCheckTask::run() {
    portHandle = ::open(portName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (portHandle >= 0) {
        usableFlag = probe();
        ::close(portHandle);
    }
    portHandle = -1;
}

int CPortCheckTask::probe() { return portHandle >= 0 ? 1 : 0; }

// ---- CComportFinder ---------------------------------------------------------------------------

CComportFinder::CComportFinder(TPortRoots portRoots, std::chrono::milliseconds probeBound)
    : roots(std::move(portRoots)), probeTime(probeBound) {}

CComportFinder::~CComportFinder() {
    if (finderThread.joinable()) finderThread.join();
    tasks.removeAll();
}

bool CComportFinder::start(IPortCheckerNotifier* portNotifier, uint32_t baud) {
    if (finderThread.joinable() || !portNotifier) return false;
    notifier = portNotifier;
    rate = baud;
    try {
        finderThread = std::thread([this] { onWorkerThread(); });
    } catch (const std::system_error&) {
        debugOut(kTraceError, "! %s cannot start its thread", "CComportFinder::start");
        notifier->searchFinished();
        return false;
    }
    return true;
}

CPortCheckTask* CComportFinder::createTask(const std::string& portName) {
    return new (std::nothrow) CPortCheckTask(portName, rate);
}

uint32_t CComportFinder::refresh() {
    tasks.removeAll();
    enumeratePorts();
    return tasks.count();
}

bool CComportFinder::reserveProbes(uint32_t count) {
    try {
        probed.reserve(count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CComportFinder::listed(const std::string& path) {
    const std::string wanted = normalisedPath(path);
    tasks.lock();
    CPortCheckTask* task = tasks.getHead();
    while (task && normalisedPath(task->name()) != wanted) task = tasks.getNext(task);
    tasks.unlock();
    return task != nullptr;
}

void CComportFinder::enumeratePorts() {
    for (const std::string& path : listSerialPorts(roots)) {
        if (listed(path)) continue;
        if (CPortCheckTask* task = createTask(path)) tasks.addTail(task);
    }
}

void CComportFinder::onWorkerThread() {
    taskCount = refresh();
    if (taskCount == 0) {
        debugOut(kTraceFinder, "No COM ports found");
    } else {
        debugOut(kTraceFinder, "%u COM ports found", taskCount);
        if (reserveProbes(taskCount)) {
            reportPorts(runProbes());
        } else {
            debugOut(kTraceError, "! %s out of memory", "CComportFinder::onWorkerThread");
        }
    }
    notifier->searchFinished();
}

// What the probe threads share with the finder: each thread touches only its own task and, under
// the lock, its own entry, and may outlive the finder.
struct CComportFinder::ProbeBoard {
    struct Entry {
        bool done = false;
        bool abandoned = false;
    };
    std::mutex lock;
    std::condition_variable ended;
    std::vector<Entry> entries;
    size_t running = 0;
};

// All probes run at once, and the finder waits for them at most the probe time. A probe still
// running then is left behind: its task leaves the list and is reported as a port that could not
// be opened is, and its thread deletes it when it returns.
std::vector<CComportFinder::Report> CComportFinder::runProbes() {
    auto board = std::make_shared<ProbeBoard>();
    tasks.lock();
    for (CPortCheckTask* task = tasks.getHead(); task; task = tasks.getNext(task))
        probed.push_back(task);
    tasks.unlock();
    board->entries.resize(probed.size());
    for (size_t i = 0; i < probed.size(); ++i) {
        CPortCheckTask* task = probed[i];
        try {
            {
                std::lock_guard<std::mutex> guard(board->lock);
                ++board->running;
            }
            std::thread([board, task, i] {
                task->run();
                std::unique_lock<std::mutex> guard(board->lock);
                ProbeBoard::Entry& entry = board->entries[i];
                entry.done = true;
                --board->running;
                board->ended.notify_all();
                const bool abandoned = entry.abandoned;
                guard.unlock();
                if (abandoned) delete task;
            }).detach();
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> guard(board->lock);
            --board->running;
            board->entries[i].done = true;
            debugOut(kTraceError, "! %s cannot start a probe of %s", "CComportFinder::onWorkerThread",
                     task->name().c_str());
        }
    }
    std::vector<Report> reports;
    std::unique_lock<std::mutex> guard(board->lock);
    board->ended.wait_for(guard, probeTime, [&] { return board->running == 0; });
    for (size_t i = 0; i < probed.size(); ++i) {
        CPortCheckTask* task = probed[i];
        ProbeBoard::Entry& entry = board->entries[i];
        reports.emplace_back(task->name(), entry.done ? task->usable() : true);
        if (entry.done) continue;
        entry.abandoned = true;
        debugOut(kTraceError, "! %s probe of %s did not end in time", "CComportFinder::onWorkerThread",
                 task->name().c_str());
        tasks.remove(task);
    }
    probed.clear();
    return reports;
}

void CComportFinder::reportPorts(const std::vector<Report>& reports) {
    for (const auto& [name, usable] : reports)
        if (usable && !notifier->portFound(name)) break;
}
