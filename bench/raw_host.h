// The host side of a benchmark's floor: whole NCI packets written straight to the simulated
// controller's pseudo-terminal and read back, with nothing of the library in between.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace benchhost {

using Bytes = std::vector<uint8_t>;

class RawHost {
public:
    explicit RawHost(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~RawHost() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    bool write(const Bytes& packet) { return ::write(fd_, packet.data(), packet.size()) == static_cast<ssize_t>(packet.size()); }
    // The next whole packet; empty after a second without one.
    Bytes read() {
        while (true) {
            if (buffer_.size() >= 3 && buffer_.size() >= 3u + buffer_[2]) {
                Bytes packet(buffer_.begin(), buffer_.begin() + 3 + buffer_[2]);
                buffer_.erase(buffer_.begin(), buffer_.begin() + 3 + buffer_[2]);
                return packet;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) return {};
            uint8_t chunk[512];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.insert(buffer_.end(), chunk, chunk + n);
        }
    }
    // Sends a control message and reads until a packet with the wanted first two bytes comes.
    bool command(const Bytes& packet, uint8_t first, uint8_t second) {
        if (!write(packet)) return false;
        for (Bytes in = read(); !in.empty(); in = read())
            if ((in[0] & 0xEF) == first && in[1] == second) return true;
        return false;
    }
    bool exchange(const Bytes& data) { return !exchangeData(data).empty(); }
    // One data exchange on the static RF connection: the payload of the answer's data packet,
    // empty when none came.
    Bytes exchangeData(const Bytes& data) {
        Bytes packet{0x00, 0x00, static_cast<uint8_t>(data.size())};
        packet.insert(packet.end(), data.begin(), data.end());
        if (!write(packet)) return {};
        for (Bytes in = read(); !in.empty(); in = read())
            if ((in[0] & 0xE0) == 0x00) return Bytes(in.begin() + 3, in.end());   // credits may come before or after it
        return {};
    }

private:
    int fd_;
    Bytes buffer_;
};

} // namespace benchhost
