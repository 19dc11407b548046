#include "pty_host.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

PtyHost::PtyHost(const std::string& slavePath) {
    fd_ = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }
}

PtyHost::~PtyHost() {
    if (fd_ >= 0) ::close(fd_);
}

bool PtyHost::write(const std::vector<uint8_t>& bytes) {
    return fd_ >= 0 && ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

std::vector<uint8_t> PtyHost::read(uint32_t timeoutMs, size_t want) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0 && !hungUp_ && (want == 0 ? pending_.empty() : pending_.size() < want)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        uint8_t buf[512];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) pending_.insert(pending_.end(), buf, buf + n);
        else if (n == 0 || errno != EAGAIN) hungUp_ = true;
    }
    size_t take = want == 0 ? pending_.size() : std::min(want, pending_.size());
    std::vector<uint8_t> out(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(take));
    return out;
}

std::vector<uint8_t> PtyHost::packet(uint32_t timeoutMs) {
    std::vector<uint8_t> p = read(timeoutMs, 3);
    if (p.size() < 3) return p;
    std::vector<uint8_t> payload = read(timeoutMs, p[2]);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}
