#include "sim_port_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr size_t kHeader = 3;

}  // namespace

SimPortBridge::SimPortBridge(const std::string& port, PacketSink fromController)
    : fromController_(std::move(fromController)) {
    fd_ = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC);
    if (fd_ < 0 || wake_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
    thread_ = std::thread([this] { run(); });
}

SimPortBridge::~SimPortBridge() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        thread_.join();
    }
    if (fd_ >= 0) ::close(fd_);
    if (wake_ >= 0) ::close(wake_);
}

void SimPortBridge::write(const uint8_t* data, size_t n) {
    while (n > 0 && fd_ >= 0) {
        const ssize_t w = ::write(fd_, data, n);
        if (w <= 0) return;
        data += w;
        n -= static_cast<size_t>(w);
    }
}

// Cuts the byte stream at the NCI packet boundaries: a header, then the length its third byte gives.
void SimPortBridge::run() {
    std::vector<uint8_t> pending;
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
        uint8_t chunk[512];
        const ssize_t got = ::read(fd_, chunk, sizeof chunk);
        if (got <= 0) return;
        pending.insert(pending.end(), chunk, chunk + got);
        while (pending.size() >= kHeader && pending.size() >= kHeader + pending[2]) {
            const std::vector<uint8_t> packet(pending.begin(), pending.begin() + static_cast<long>(kHeader + pending[2]));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(packet.size()));
            fromController_(packet);
        }
    }
}
