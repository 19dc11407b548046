// The simulated HCI controller behind an SHDLC link on the master side of a pseudo-terminal:
// every I-frame payload from the host is one HCP packet for the controller, and each packet it
// answers leaves as an I-frame of its own.
#pragma once

#include <memory>
#include <string>

#include "hci/hci_controller.h"
#include "pty_pair.h"
#include "shdlc/shdlc_endpoint.h"

namespace hcisim {

class HciPtySim {
public:
    explicit HciPtySim(Personality personality = Personality::plain());
    ~HciPtySim();
    HciPtySim(const HciPtySim&) = delete;
    HciPtySim& operator=(const HciPtySim&) = delete;

    bool ok() const { return wire_ != nullptr; }
    const std::string& portPath() const { return pty_.slavePath(); }
    HciController& controller() { return controller_; }
    shdlcsim::ShdlcEndpoint& link() { return link_; }
    // Packets the controller sends on its own.
    void push(const std::vector<Bytes>& packets);
    void enter(std::shared_ptr<simtags::Tag> tag, bool several = false) { push(controller_.enter(std::move(tag), several)); }
    void approach(simpeers::PollerPtr reader) { push(controller_.approach(std::move(reader))); }
    void depart() { push(controller_.depart()); }

private:
    PtyPair pty_;
    int keeper_ = -1;       // a slave descriptor held open so the master never sees EIO between opens
    HciController controller_;
    shdlcsim::ShdlcEndpoint link_;
    std::unique_ptr<shdlcsim::ShdlcPtyEndpoint> wire_;
};

}  // namespace hcisim
