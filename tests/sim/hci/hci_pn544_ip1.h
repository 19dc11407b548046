// The PN544's NFC-IP-1 gates, as the chip offers them to the host: NFC-DEP runs in the chip, and
// the pipes carry the link's payloads. The initiator gate (0x30) meets a peer that is an NFC-DEP
// target, found by the polling loop's IP-1 phase or, after the FeliCa reader found system code
// 01FE or reader A an NFC-DEP SAK (the loop's type-A phase comes first), by the host's activate
// command 0x13; the target gate (0x31) is met by an external
// initiator once the host lets the polling loop leave its rest. The registries (1 speeds, 2 ATR_REQ, 3 ATR_RES,
// 12 frame size, 13 flags) are the controller's: the test puts the peer's ATR there. The host's
// data event (0x41) carries an MI byte before each frame's data; the chip asks for the next frame
// with CONTINUE MI (0x05) and hands the whole message to the peer, whose answer comes back in
// data events (0x04: RF status, MI, data) of at most the frame size.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "hci/hci_controller.h"
#include "peers/nfc_dep.h"

namespace hcisim {

enum : uint8_t {
    IP1_EVT_SEND = 0x01,        // the host's data (header 0x41)
    IP1_EVT_ACTIVATED = 0x02,
    IP1_EVT_DEACTIVATED = 0x03,
    IP1_EVT_DATA = 0x04,
    IP1_EVT_CONTINUE_MI = 0x05,
    IP1_EVT_RELEASE = 0x35,     // the host lets the target go (header 0x75)
    IP1_ACTIVATE = 0x13,
    IP1_FRAME_SIZE = 0x0C,
};

class Pn544Ip1 {
public:
    enum class Peer { None, Target, Initiator };
    // The peer in the field: a target for the host's initiator pipe, or an initiator that meets
    // the host's target pipe. It answers each whole message of the host with its next frame, or
    // with an LLCP SYMM when it has nothing to say.
    void setPeer(Peer role, std::shared_ptr<simpeers::FrameLog> peer);

    // Messages on the IP-1 gates and the polling loop's phases; nullopt leaves them to the controller.
    std::optional<std::vector<Message>> onMessage(HciController& controller, const Message& m, uint8_t gate);

    struct Frame {
        uint8_t mi = 0;
        Bytes data;
    };
    std::vector<Frame> frames;          // every frame of the host, as it came
    std::vector<Bytes> messages;        // the host's messages, frames joined
    uint32_t oversized = 0;             // frames beyond the frame size of the registry
    uint32_t releases = 0;              // the host's release events
    uint32_t refusals = 0;              // activations (command 0x13) the target refuses before it links
    bool linked = false;

private:
    std::vector<Message> activation(HciController& controller, uint8_t pipe);
    std::vector<Message> hostData(HciController& controller, const Message& m, uint8_t gate);
    std::vector<Message> peerTurn(HciController& controller, uint8_t pipe, uint8_t gate);

    Peer role_ = Peer::None;
    std::shared_ptr<simpeers::FrameLog> peer_;
    Bytes pending_;                     // the host's message while its frames come
};

// The frame length a frame-size byte of the registry allows.
size_t ip1FrameLength(uint8_t sizeByte);

}  // namespace hcisim
