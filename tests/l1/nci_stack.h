// The real stack below the NFC manager against the simulated controller: the OS worker, the
// module manager, the timer task, the com task with the NCI transport on the simulator's
// pseudo-terminal, layer 1 and the NCI driver. A test task plays the NFC manager: it asks for
// the protocol stack, sends layer-1 requests and keeps every message layer 1 sends up.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "L1/common/nfcllmsg.h"
#include "nci/nci_simulator.h"
#include "stub_modules.h"

struct TNciContext;

class NciStack {
public:
    static constexpr uint8_t kManager = 0xB2;
    static constexpr uint32_t kBounded = 5000;   // ms: only reached when something is broken

    NciStack();
    ~NciStack();
    NciStack(const NciStack&) = delete;
    NciStack& operator=(const NciStack&) = delete;

    // Starts the stack on the simulator's port and has the module manager build layer 1 and
    // the com layer below the test task.
    bool start(const std::string& port, const char* readerType = "NCI");
    // Sends a layer-1 request as the NFC manager does.
    template <uint16_t Code>
    bool request(const typename NfcllFieldsOf<Code>::type& fields = {}) {
        return post(nfcllMsgMake<Code>(kManager, fields));
    }
    bool post(const OsMessage& message);
    // The n-th (0-based) upward message with this command, waiting at most timeoutMs.
    std::optional<OsMessage> waitFor(uint16_t command, size_t n = 0, uint32_t timeoutMs = kBounded);
    size_t count(uint16_t command);
    std::vector<uint16_t> commands();
    // Activation request and its confirmation.
    std::optional<TNfcllActConf> activate();
    // Runs fn with the NCI driver's context on the OS worker thread, as the driver's own code
    // runs, and waits for it; false when it did not run.
    bool onDriver(const std::function<void(TNciContext&)>& fn);
    void stop();

private:
    StubModules stubs_;
    bool running_ = false;
    std::vector<std::shared_ptr<std::packaged_task<void()>>> late_;
};
