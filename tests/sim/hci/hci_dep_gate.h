// An NFC-DEP peer behind a gate whose WR_XCHG_DATA carries raw NFCIP-1 frames (ISO/IEC 18092
// without the RF framing), as controllers with such a gate offer it: the host's frame, after the
// time-out byte, goes to the peer and the peer's first answer is the command's response; a peer
// that keeps silent is a time-out. Behind a card gate (the host is the NFC-DEP target) the host's
// EVT_SEND_DATA carries its frame to the peer, and the peer's answers come back as EVT_SEND_DATA.
// Every other message goes to the chip model behind the gate, if any, else to the controller's
// standard gates.
#pragma once

#include <memory>

#include "hci/hci_controller.h"
#include "nfcdep/dep_peer.h"

namespace hcisim {

class DepGate : public ChipModel {
public:
    DepGate(uint8_t gate, std::shared_ptr<depsim::DepPeer> peer, std::shared_ptr<ChipModel> behind = nullptr)
        : gate_(gate), peer_(std::move(peer)), behind_(std::move(behind)) {}
    std::optional<std::vector<Message>> onMessage(HciController& controller, const Message& m, uint8_t gate,
                                                  uint8_t host) override;
    void onPowerCycle() override {
        if (behind_) behind_->onPowerCycle();
    }
    // The frames the host sent, in order (read them when the host is quiet).
    std::vector<Bytes> frames;

private:
    uint8_t gate_;
    std::shared_ptr<depsim::DepPeer> peer_;
    std::shared_ptr<ChipModel> behind_;
};

}  // namespace hcisim
