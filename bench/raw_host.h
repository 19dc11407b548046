// The host side of a benchmark's floor: whole NCI packets written straight to the simulated
// controller's pseudo-terminal and read back, with nothing of the library in between. A long
// message is cut into segments; once told the connection's initial credits, the host spends a
// credit per segment and waits for the controller's grants as the library does.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace benchhost {

using Bytes = std::vector<uint8_t>;

class RawHost {
public:
    static constexpr size_t kMaxSegment = 255;   // the payload of one NCI packet

    explicit RawHost(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~RawHost() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    bool write(const Bytes& packet) { return ::write(fd_, packet.data(), packet.size()) == static_cast<ssize_t>(packet.size()); }
    // The next whole packet; empty after a second without one. Credits it grants are counted.
    Bytes read() {
        while (true) {
            if (buffer_.size() >= 3 && buffer_.size() >= 3u + buffer_[2]) {
                Bytes packet(buffer_.begin(), buffer_.begin() + 3 + buffer_[2]);
                buffer_.erase(buffer_.begin(), buffer_.begin() + 3 + buffer_[2]);
                countCredits(packet);
                return packet;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) return {};
            uint8_t chunk[1024];
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
    // From here on every data segment spends one of the static connection's credits.
    void grant(int credits) { credits_ = credits; }
    bool exchange(const Bytes& data) { return !exchangeData(data).empty(); }
    // One data exchange on the static RF connection: the payload of the answer, its segments
    // joined; empty when none came.
    Bytes exchangeData(const Bytes& data) {
        for (size_t done = 0; done < data.size();) {
            const size_t n = std::min(kMaxSegment, data.size() - done);
            const bool more = done + n < data.size();
            while (credits_ == 0)
                if (read().empty()) return {};
            Bytes packet{static_cast<uint8_t>(more ? 0x10 : 0x00), 0x00, static_cast<uint8_t>(n)};
            packet.insert(packet.end(), data.begin() + static_cast<std::ptrdiff_t>(done),
                          data.begin() + static_cast<std::ptrdiff_t>(done + n));
            if (!write(packet)) return {};
            if (credits_ > 0) --credits_;
            done += n;
        }
        Bytes answer;
        for (Bytes in = read(); !in.empty(); in = read()) {
            if ((in[0] & 0xE0) != 0x00) continue;   // credits may come before or after it
            answer.insert(answer.end(), in.begin() + 3, in.end());
            if (!(in[0] & 0x10)) return answer;
        }
        return {};
    }

private:
    // A CORE_CONN_CREDITS_NTF adds its credits, while they are counted.
    void countCredits(const Bytes& in) {
        if (credits_ < 0 || in.size() < 4 || in[0] != 0x60 || in[1] != 0x06) return;
        for (size_t k = 0; k < in[3] && 5 + 2 * k < in.size(); ++k) credits_ += in[5 + 2 * k];
    }

    int fd_;
    int credits_ = -1;   // not counted
    Bytes buffer_;
};

} // namespace benchhost
