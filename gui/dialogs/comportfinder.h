// The serial-port finder: lists the machine's serial ports from sysfs, tries every one of them
// at the same time on a thread of its own and reports the usable ones to a notifier, then the
// end of the search. Free of Qt, so it runs and is tested without an application object.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "doublelist.h"

class IPortCheckerNotifier {
public:
    virtual ~IPortCheckerNotifier() = default;
    // A usable port; answering 0 ends the reporting.
    virtual int portFound(const std::string& portName) = 0;
    virtual void searchFinished() = 0;
};

// Where ports are listed and opened: the system's folders, or a test's tree in their place.
struct TPortRoots {
    std::string sysClassTty = "/sys/class/tty";
    std::string dev = "/dev";
};

// The device paths of the serial ports under roots, in natural order ("ttyS2" before "ttyS10"):
// every tty with a device link but the serial8250 placeholders whose port type is unknown.
std::vector<std::string> listSerialPorts(const TPortRoots& roots);

// One probe of one port.
class CPortCheckTask : public CDoubleListNode {
public:
    CPortCheckTask(std::string portName, uint32_t rate);
    ~CPortCheckTask() override;
    CPortCheckTask(const CPortCheckTask&) = delete;
    CPortCheckTask& operator=(const CPortCheckTask&) = delete;

    virtual uint32_t baudRate() const { return rate; }
    // Opens the port without waiting for carrier, probes it and closes it again.
    virtual void run();
    // Answers whether the opened port is usable; the base only asks that it opened.
    virtual int probe();

    const std::string& name() const { return portName; }
    bool usable() const { return usableFlag != 0; }

protected:
    int portHandle = -1;

private:
    int usableFlag = 1;   // a port that cannot be opened is still reported
    std::string portName;
    uint32_t rate;
};

class CComportFinder {
public:
    // How long the probes may take together; the dialog waits a little longer for the end.
    static constexpr std::chrono::milliseconds kProbeTime{4000};

    explicit CComportFinder(TPortRoots roots = {}, std::chrono::milliseconds probeTime = kProbeTime);
    // Joins the finder thread, which ends within the probe time: a probe stuck in the system
    // (an open or close that never returns) is left behind, and deletes its task when it ends.
    virtual ~CComportFinder();
    CComportFinder(const CComportFinder&) = delete;
    CComportFinder& operator=(const CComportFinder&) = delete;

    // Starts the search; false when it cannot run, after the end has been reported.
    virtual bool start(IPortCheckerNotifier* notifier, uint32_t rate);
    virtual void finished() {}
    // A new task for the port, or null when none can be made (the port is then skipped).
    virtual CPortCheckTask* createTask(const std::string& portName);
    // Rebuilds the task list from the ports listed now; answers the number of tasks.
    virtual uint32_t refresh();

protected:
    // Makes room for one probe thread per task; false when memory runs out.
    virtual bool reserveProbes(uint32_t count);

private:
    struct ProbeBoard;
    // A port and whether it is to be reported as usable.
    using Report = std::pair<std::string, bool>;

    void onWorkerThread();
    void enumeratePorts();
    bool listed(const std::string& path);
    std::vector<Report> runProbes();
    void reportPorts(const std::vector<Report>& reports);

    IPortCheckerNotifier* notifier = nullptr;
    CDoubleList<CPortCheckTask> tasks;
    std::thread finderThread;
    std::vector<CPortCheckTask*> probed;
    uint32_t taskCount = 0;
    uint32_t rate = 0;
    TPortRoots roots;
    std::chrono::milliseconds probeTime;
};
