// A simulated NCI controller on the master side of a pseudo-terminal. The library (or a test)
// opens portPath() as its serial port. One thread runs the controller; the test's calls are
// carried onto it, and every wait is bounded.
//
//   NciSimulator sim(NciIdentity::generic());
//   ... configure the library with PORT=<sim.portPath()> ...
//   auto reset = sim.waitForCommand(0, 2000);
//   sim.rf().enter(std::make_shared<simtags::T2tTag>());   // the RF field (nci_sim_rf.h)
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "nci/nci_identity.h"
#include "nci/nci_sim_hci.h"
#include "nci/nci_sim_controller.h"
#include "nci/nci_sim_nfcee.h"
#include "nci/nci_sim_recorder.h"
#include "nci/nci_sim_rf.h"
#include "pty_pair.h"

namespace ncisim {

class NciSimulator {
public:
    explicit NciSimulator(NciIdentity identity = NciIdentity::generic());
    ~NciSimulator();
    NciSimulator(const NciSimulator&) = delete;
    NciSimulator& operator=(const NciSimulator&) = delete;

    bool ok() const { return running_; }
    const std::string& portPath() const { return pty_.slavePath(); }

    // ---- Scenario recorder.
    const Recorder& recorder() const { return recorder_; }
    std::vector<uint16_t> commandOpcodes() const { return recorder_.commandOpcodes(); }
    std::optional<NciMessage> waitForCommand(size_t n, uint32_t timeoutMs) const {
        return recorder_.waitForCommand(n, timeoutMs);
    }
    bool waitForCommands(uint16_t opcode, size_t n, uint32_t timeoutMs) const {
        return recorder_.waitForCommands(opcode, n, timeoutMs);
    }
    std::string describe() const { return recorder_.describe(); }

    // The RF field: tags entering and leaving, discovery and activation settings.
    RfField& rf() { return rfField_; }
    // The NFCEEs: touch it only inside call(), on the controller's thread.
    NfceeModel& nfcees() { return nfcees_; }
    // The HCI network behind an HCI-access NFCEE: touch it only inside call().
    HciNetworkModel& hci() { return hci_; }
    // The routing tables the host gave: read them only inside call().
    const ListenRouting& routing() const { return rf_.routing(); }

    // Runs fn on the controller's thread and waits for it (at most 5 s); false when it did not run.
    bool call(const std::function<void(Controller&)>& fn);

    // ---- Shorthands for the common hooks (each one call()).
    void setFault(uint16_t key, Fault fault);
    void setSilent(bool silent);
    void onCommand(uint16_t opcode, MessageHandler handler);
    void send(NciMessage message);                   // an unsolicited notification or data
    void sendRaw(std::vector<uint8_t> bytes);
    void hangUp();                                   // closes the master: the port sees a hang-up

    // Stops the thread (joined once); the destructor does it too.
    void stop();

private:
    void run();
    void runTasks();

    PtyPair pty_;
    int keeper_ = -1;         // a slave descriptor held open so the master never sees EIO between opens
    int wake_ = -1;           // eventfd that wakes the thread for carried calls and stop
    Recorder recorder_;
    Controller controller_;
    RfModel rf_{controller_};
    NfceeModel nfcees_{controller_};
    HciNetworkModel hci_{controller_, nfcees_};
    RfField rfField_{rf_, [this](const std::function<void(Controller&)>& fn) { return call(fn); }};
    std::mutex tasksLock_;
    std::vector<std::function<void()>> tasks_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> running_{false};
    std::thread thread_;
};

} // namespace ncisim
