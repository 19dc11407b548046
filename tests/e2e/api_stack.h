// The library as an application sees it: started through the public API, with its own modules,
// on a simulated controller's pseudo-terminal (the NCI one it owns, or any other's port with its
// reader type). Events of the application's callback are kept and can be waited for.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "api/nfcapi_modules.h"
#include "corvane.h"
#include "nci/nci_simulator.h"

struct AppEvent {
    DWORD code = 0;
    void* listenerContext = nullptr;
    TNfcTagInfo tag{};                    // a copy of the record of nfcEventTagDetected
    std::vector<uint8_t> request;         // what the reader sent, of nfcEventReaderRequest
    TNfcTransaction transaction{};        // of nfcEventTransaction
    TNfcSecureNotification secure{};      // of nfcEventSecureNotification
    TP2pConnection p2p{};                 // of the P2P events; its data pointer is not kept
    std::vector<uint8_t> data;            // what came, of the P2P nfcEventDataIndication
};

class ApiStack {
public:
    static constexpr uint32_t kBounded = 5000;   // ms: only reached when something is broken

    explicit ApiStack(ncisim::NciIdentity identity = ncisim::NciIdentity::generic());
    // A controller the test runs itself, on this port, started as this reader type.
    ApiStack(std::string readerType, std::string portPath);
    ~ApiStack();
    ApiStack(const ApiStack&) = delete;
    ApiStack& operator=(const ApiStack&) = delete;

    // The LLCP module start() registers instead of the library's (a test double).
    void replaceLlcp(OsResult (*registerModule)(uint16_t readerType));
    // nfcInitialize on the simulator's port and nfcCreate; 0 or the first failing status.
    NfcApiStatus start(const char* extraConfiguration = "");
    // The same with a configuration of the test's own, for a controller reached through a fake bus.
    NfcApiStatus startWith(const std::string& configuration);
    NfcHandle handle() const { return hNfc_; }
    // nfcDestroy of the application, then nfcCreate of a new one on the running library; the
    // events of both are kept. 0 or the status of the failing call.
    NfcApiStatus recreate();
    // nfcDone now, whatever the application still does, for a test of what the library leaves
    // behind; the destructor has nothing left to end then.
    void done();
    ncisim::NciSimulator& sim() { return *sim_; }   // only with the NCI simulator
    // Told, when the stack ends, of the breaches of NCI the simulated controller saw (the tests
    // fail on them); empty by default.
    static std::function<void(const std::string&)>& violationSink();

    // Registers a listener for the mask (no listen parameters) and waits until discovery runs.
    NfcListenerHandle listen(DWORD mask, void* context = nullptr);
    // The n-th (0-based) event with this code, waiting at most timeoutMs.
    std::optional<AppEvent> waitFor(DWORD code, size_t n = 0, uint32_t timeoutMs = kBounded);
    size_t count(DWORD code);
    // The commands the controller got with this opcode, oldest first.
    std::vector<std::vector<uint8_t>> commands(uint16_t opcode);
    // Waits until the controller got n commands with this opcode.
    bool waitForCommands(uint16_t opcode, size_t n, uint32_t timeoutMs = kBounded);

private:
    static DWORD callback(void* context, DWORD event, void* listenerContext, void* record);

    std::unique_ptr<ncisim::NciSimulator> sim_;
    std::string readerType_ = "NCI";
    std::string portPath_;
    std::vector<NfcapiModule> modules_;
    NfcapiServices services_{};
    NfcHandle hNfc_ = nullptr;
    bool initialised_ = false;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<AppEvent> events_;
};
