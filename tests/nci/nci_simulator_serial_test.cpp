// The simulated NCI controller reached through the library's own serial channel, as the NCI
// transport will reach it: the port opens and reopens on the simulator's pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "nci/nci_simulator.h"
#include "transport/serialfrontend.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Port {
    static void callBack(void* context, DWORD event, DWORD, BYTE* buffer, DWORD length) {
        auto* self = static_cast<Port*>(context);
        std::lock_guard<std::mutex> g(self->m);
        if (event == comeOpenCompleted) self->opened = true;
        if (event == comeDataReceived) self->received.insert(self->received.end(), buffer, buffer + length);
        self->cv.notify_all();
    }
    bool open(const std::string& path) {
        if (comOpen(path.c_str(), "", &Port::callBack, this, &handle) >= COM_ERR_CONTROL_BLOCK) return false;
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(5), [&] { return opened; });
    }
    void close() {
        comClose(handle);
        handle = nullptr;
        opened = false;
    }
    // Writes a command and returns the first `answer` bytes that come back (fewer on time-out).
    Bytes exchange(Bytes command, size_t answer) {
        std::unique_lock<std::mutex> lock(m);
        received.clear();
        lock.unlock();
        if (comWrite(handle, command.data(), static_cast<DWORD>(command.size())) >= COM_ERR_CONTROL_BLOCK) return {};
        lock.lock();
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return received.size() >= answer; });
        return received;
    }

    TComHandle handle = nullptr;
    std::mutex m;
    std::condition_variable cv;
    bool opened = false;
    Bytes received;
};

} // namespace

TEST(NciSimulatorOnTheSerialChannel, AnswersAndSurvivesAReopenOfThePort) {
    ncisim::NciSimulator sim(ncisim::NciIdentity::nxp());
    Port port;
    ASSERT_TRUE(port.open(sim.portPath()));
    EXPECT_EQ(port.exchange({0x20, 0x00, 0x01, 0x01}, 6), (Bytes{0x40, 0x00, 0x03, 0x00, 0x10, 0x01}));
    port.close();

    ASSERT_TRUE(port.open(sim.portPath()));
    Bytes init = port.exchange({0x20, 0x01, 0x00}, 3 + 21);
    ASSERT_EQ(init.size(), 3u + 21u);
    EXPECT_EQ(init[19], 0x04);   // manufacturer
    EXPECT_EQ(port.exchange({0x2F, 0x02, 0x00}, 4), (Bytes{0x4F, 0x02, 0x01, 0x00}));
    port.close();

    EXPECT_EQ(sim.commandOpcodes(), (std::vector<uint16_t>{0x2000, 0x2001, 0x2F02}));
    EXPECT_TRUE(sim.recorder().violations().empty()) << sim.describe();
}
