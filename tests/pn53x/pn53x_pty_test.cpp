// The frame layer against the simulated PN532 over a real pseudo-terminal, and the simulator as
// a program of its own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "pn53x/pn532_pty.h"
#include "pn53x_fixture.h"

extern char** environ;

namespace {

constexpr uint32_t kBoundedMs = 5000;
const Bytes kGetFirmwareVersion{0x00, 0x00, 0xFF, 0x02, 0xFE, 0xD4, 0x02, 0x2A, 0x00};
const Bytes kFirmwareAnswer = [] {
    Bytes b = Pn532Sim::ack();
    const Bytes f = Pn532Sim::frame(0x03, {0x32, 0x01, 0x06, 0x07});
    b.insert(b.end(), f.begin(), f.end());
    return b;
}();

// The host end of the port: raw, as the serial layer sets it.
int openPort(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return fd;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

Bytes readExact(int fd, size_t n, uint32_t timeoutMs) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        uint8_t buffer[256];
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, n - out.size()));
        if (got <= 0) break;
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

bool writeAll(int fd, const Bytes& bytes) { return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()); }

// The peer of the harness: each frame goes over the pty, the answer is read back as long as
// the test says it is.
TEST_F(Pn53xTest, FirmwareVersionOverAPtyInPieces) {
    pn53xsim::Pn532PtySim sim;
    ASSERT_TRUE(sim.ok());
    sim.setChunk(3);
    const int fd = openPort(sim.portPath());
    ASSERT_GE(fd, 0);
    size_t expect = kFirmwareAnswer.size();
    h.setPeer([&](const Bytes& frame) { return writeAll(fd, frame) ? readExact(fd, expect, kBoundedMs) : Bytes{}; });
    part->state = NFC53X_STATE_INIT4;
    ASSERT_TRUE(command(NFC53X_REQ_GET_FIRMWARE_VERSION));
    EXPECT_EQ(events(), std::vector<uint32_t>{7});
    EXPECT_EQ(part->firmware, 0x32010607u);
    EXPECT_EQ(part->state, NFC53X_STATE_INIT6);
    // A refused frame comes back as the simulator's NACK, read over the same line.
    sim.sim().inject(pn53xsim::Fault::Nack);
    expect = 6;
    seen.clear();
    ASSERT_TRUE(command(NFC53X_REQ_GET_FIRMWARE_VERSION));
    EXPECT_EQ(events(), std::vector<uint32_t>{8});
    ::close(fd);
}

TEST(Pn532SimProgram, PrintsItsPtyAndAnswersGetFirmwareVersion) {
    int toSim[2], fromSim[2];
    ASSERT_EQ(::pipe(toSim), 0);
    ASSERT_EQ(::pipe(fromSim), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toSim[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromSim[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, toSim[1]);
    posix_spawn_file_actions_addclose(&actions, fromSim[0]);
    char program[] = PN532_SIM_PROGRAM;
    char* argv[] = {program, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toSim[0]);
    ::close(fromSim[1]);

    std::string path;
    for (Bytes b; (b = readExact(fromSim[0], 1, kBoundedMs)).size() == 1 && b[0] != '\n';) path.push_back(static_cast<char>(b[0]));
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    const int fd = openPort(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(writeAll(fd, kGetFirmwareVersion));
    EXPECT_EQ(readExact(fd, kFirmwareAnswer.size(), kBoundedMs), kFirmwareAnswer);
    ::close(fd);

    ::close(toSim[1]);   // the program ends when its input closes
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(fromSim[0]);
}

}  // namespace
