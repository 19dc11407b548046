#include "hci/hci_pty.h"

#include <fcntl.h>
#include <unistd.h>

namespace hcisim {

HciPtySim::HciPtySim(Personality personality)
    : controller_(personality), link_(personality.lengthMode ? shdlcsim::Framing::length : shdlcsim::Framing::flag) {
    if (!pty_.ok()) return;
    keeper_ = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (keeper_ < 0) return;
    link_.setReceiver([this](const Bytes& packet) { push(controller_.feed(packet)); });
    wire_ = std::make_unique<shdlcsim::ShdlcPtyEndpoint>(pty_, link_);
}

HciPtySim::~HciPtySim() {
    wire_.reset();
    link_.setReceiver(nullptr);
    if (keeper_ >= 0) ::close(keeper_);
}

void HciPtySim::push(const std::vector<Bytes>& packets) {
    for (const Bytes& packet : packets) link_.send(packet);
}

}  // namespace hcisim
