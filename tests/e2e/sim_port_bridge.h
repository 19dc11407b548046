// Joins a fake bus library to the simulated NCI controller: what the library writes to its bus
// goes to the simulator's serial port as it is, and every packet the simulator sends comes back
// whole, for the test to put on the fake bus.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class SimPortBridge {
public:
    using PacketSink = std::function<void(const std::vector<uint8_t>&)>;

    SimPortBridge(const std::string& port, PacketSink fromController);
    ~SimPortBridge();
    SimPortBridge(const SimPortBridge&) = delete;
    SimPortBridge& operator=(const SimPortBridge&) = delete;

    bool ok() const { return fd_ >= 0; }
    void write(const uint8_t* data, size_t n);

private:
    void run();

    PacketSink fromController_;
    int fd_ = -1;
    int wake_ = -1;
    std::thread thread_;
};
