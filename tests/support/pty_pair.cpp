#include "pty_pair.h"

#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return;
    if (grantpt(fd) != 0 || unlockpt(fd) != 0) {
        ::close(fd);
        return;
    }
    char name[128];
    if (ptsname_r(fd, name, sizeof name) != 0) {
        ::close(fd);
        return;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    master_ = fd;
    slavePath_ = name;
}

PtyPair::~PtyPair() { hangUp(); }

void PtyPair::hangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

bool PtyPair::write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (master_ < 0) return false;
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        pollfd p{master_, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) return false;
    }
    return true;
}

std::vector<uint8_t> PtyPair::read(uint32_t timeoutMs, size_t max) {
    std::vector<uint8_t> out;
    if (master_ < 0) return out;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeoutMs)) <= 0 || !(p.revents & POLLIN)) return out;
    out.resize(max);
    ssize_t n = ::read(master_, out.data(), max);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::vector<uint8_t> PtyPair::readExact(size_t n, uint32_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> out;
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        auto chunk = read(static_cast<uint32_t>(left), n - out.size());
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}
