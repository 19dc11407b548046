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
        const Bytes host = pty_.read(20);
        Bytes out = host.empty() ? Bytes{} : sim_.feed(host);
        const Bytes late = sim_.takeLate();
        out.insert(out.end(), late.begin(), late.end());
        if (out.empty()) continue;
        const size_t piece = chunk_ ? chunk_.load() : std::max<size_t>(out.size(), 1);
        for (size_t at = 0; at < out.size(); at += piece) {
            const size_t n = std::min(piece, out.size() - at);
            if (!pty_.write(Bytes(out.begin() + static_cast<long>(at), out.begin() + static_cast<long>(at + n)))) return;
        }
    }
}

}  // namespace pn53xsim
