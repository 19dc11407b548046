#include "pn53x/pn532_pty.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace pn53xsim {

Pn532PtySim::Pn532PtySim() {
    if (!pty_.ok()) return;
    keeper_ = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (keeper_ < 0) return;
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

Pn532PtySim::~Pn532PtySim() {
    stop();
    if (keeper_ >= 0) ::close(keeper_);
}

void Pn532PtySim::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    running_ = false;
}

void Pn532PtySim::run() {
    while (!stopping_) {
        const Bytes host = pty_.read(50);
        if (host.empty()) continue;
        const Bytes out = sim_.feed(host);
        const size_t piece = chunk_ ? chunk_.load() : std::max<size_t>(out.size(), 1);
        for (size_t at = 0; at < out.size(); at += piece) {
            const size_t n = std::min(piece, out.size() - at);
            if (!pty_.write(Bytes(out.begin() + static_cast<long>(at), out.begin() + static_cast<long>(at + n)))) return;
        }
    }
}

}  // namespace pn53xsim
