#include "hci/hci_pn544_ip1.h"

#include <algorithm>

namespace hcisim {

namespace {

constexpr uint8_t kInitiatorGate = 0x30, kTargetGate = 0x31;
constexpr uint8_t kPhasesIp1 = 0x20;     // the polling loop's NFC-IP-1 initiator phase
constexpr uint8_t kPhasesTypeA = 0x01;   // and its reader-A phase
constexpr uint8_t kPhasesIdle = 0x80;     // the loop rests: nothing is polled, nothing listened for
constexpr uint8_t kRfOk = 0x00;
const Bytes kSymm = {0x00, 0x00};

bool isPhases(const Message& m) {
    return m.type == Type::command && m.instruction == ANY_SET_PARAMETER && m.data.size() >= 2 &&
           m.data[0] == POLLING_PHASES;
}

std::optional<uint8_t> openPipe(HciController& controller, uint8_t gate) {
    for (const auto& [id, pipe] : controller.pipesHeld())
        if (pipe.gate == gate && pipe.open && id > PIPE_ADMIN) return id;
    return std::nullopt;
}

}  // namespace

size_t ip1FrameLength(uint8_t sizeByte) { return sizeByte < 192 ? (sizeByte / 64 + 1) * 64u - 4 : 252; }

void Pn544Ip1::setPeer(Peer role, std::shared_ptr<simpeers::FrameLog> peer) {
    role_ = role;
    peer_ = std::move(peer);
    linked = false;
}

std::optional<std::vector<Message>> Pn544Ip1::onMessage(HciController& controller, const Message& m, uint8_t gate) {
    if (gate == GATE_POLLING_LOOP && isPhases(m) && !linked) {
        const uint8_t phases = m.data[1];
        // The loop's type-A phase comes first: a target in front of reader A is found there.
        const std::shared_ptr<simtags::Tag> tag = controller.tagHeld();
        if ((phases & kPhasesTypeA) && tag && !tag->removed() && tag->technology == simtags::Technology::A)
            return std::nullopt;
        const uint8_t meets = role_ == Peer::Target && (phases & kPhasesIp1)          ? kInitiatorGate
                              : role_ == Peer::Initiator && !(phases & kPhasesIdle) ? kTargetGate
                                                                                  : uint8_t{0};
        const std::optional<uint8_t> pipe = meets ? openPipe(controller, meets) : std::nullopt;
        if (!pipe) return std::nullopt;
        controller.registryOf(GATE_POLLING_LOOP)[POLLING_PHASES] = {phases};
        std::vector<Message> out = {Message{m.pipe, Type::response, ANY_OK, {}}};
        for (Message& a : activation(controller, *pipe)) out.push_back(std::move(a));
        return out;
    }
    if (gate != kInitiatorGate && gate != kTargetGate) return std::nullopt;
    if (m.type == Type::command && m.instruction == IP1_ACTIVATE) {
        bool found = gate == kInitiatorGate && role_ == Peer::Target && !linked;
        if (found && refusals) {
            --refusals;
            found = false;
        }
        linked = linked || found;
        return std::vector<Message>{{m.pipe, Type::response, found ? uint8_t{ANY_OK} : uint8_t{ANY_E_NOK}, {}}};
    }
    if (m.type != Type::event) return std::nullopt;
    if (m.instruction == IP1_EVT_RELEASE) {
        ++releases;
        linked = false;
        return std::vector<Message>{};
    }
    if (m.instruction == IP1_EVT_SEND) return hostData(controller, m, gate);
    return std::nullopt;
}

std::vector<Message> Pn544Ip1::activation(HciController& controller, uint8_t pipe) {
    linked = true;
    std::vector<Message> out = {Message{pipe, Type::event, IP1_EVT_ACTIVATED, {}}};
    // An initiator speaks first, even before the host has read what the link is.
    if (role_ == Peer::Initiator && peer_ && !peer_->toSend.empty())
        for (Message& m : peerTurn(controller, pipe, kTargetGate)) out.push_back(std::move(m));
    return out;
}

std::vector<Message> Pn544Ip1::hostData(HciController& controller, const Message& m, uint8_t gate) {
    if (m.data.empty() || !linked) return {};
    Frame frame{m.data[0], Bytes(m.data.begin() + 1, m.data.end())};
    const Bytes& size = controller.registryOf(gate)[IP1_FRAME_SIZE];
    if (frame.data.size() > ip1FrameLength(size.empty() ? 0 : size[0])) ++oversized;
    pending_.insert(pending_.end(), frame.data.begin(), frame.data.end());
    const bool more = frame.mi == 1;
    frames.push_back(std::move(frame));
    if (more) return {Message{m.pipe, Type::event, IP1_EVT_CONTINUE_MI, {}}};
    messages.push_back(pending_);
    if (peer_) peer_->take(pending_);
    pending_.clear();
    return peerTurn(controller, m.pipe, gate);
}

// The peer's next message, in frames of the registry's frame size.
std::vector<Message> Pn544Ip1::peerTurn(HciController& controller, uint8_t pipe, uint8_t gate) {
    Bytes message = kSymm;
    if (peer_ && !peer_->toSend.empty()) {
        message = std::move(peer_->toSend.front());
        peer_->toSend.pop_front();
    }
    const Bytes& size = controller.registryOf(gate)[IP1_FRAME_SIZE];
    const size_t limit = ip1FrameLength(size.empty() ? 0 : size[0]);
    std::vector<Message> out;
    for (size_t at = 0; at < message.size() || out.empty(); at += limit) {
        const size_t n = std::min(limit, message.size() - at);
        Bytes data = {kRfOk, static_cast<uint8_t>(at + n < message.size() ? 1 : 0)};
        data.insert(data.end(), message.begin() + static_cast<long>(at), message.begin() + static_cast<long>(at + n));
        out.push_back(Message{pipe, Type::event, IP1_EVT_DATA, std::move(data)});
    }
    return out;
}

}  // namespace hcisim
