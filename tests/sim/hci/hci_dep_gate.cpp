#include "hci/hci_dep_gate.h"

namespace hcisim {

std::optional<std::vector<Message>> DepGate::onMessage(HciController& controller, const Message& m, uint8_t gate,
                                                      uint8_t host) {
    if (gate == gate_ && gate == GATE_CARD_F && m.type == Type::event && m.instruction == EVT_SEND_DATA) {
        frames.push_back(m.data);
        std::vector<Message> events;
        for (const depsim::Bytes& answer : peer_->feed(m.data)) events.push_back({m.pipe, Type::event, EVT_SEND_DATA, answer});
        return events;
    }
    if (gate != gate_ || m.type != Type::command || m.instruction != WR_XCHG_DATA)
        return behind_ ? behind_->onMessage(controller, m, gate, host) : std::nullopt;
    if (m.data.empty()) return std::vector<Message>{{m.pipe, Type::response, ANY_E_CMD_PAR_UNKNOWN, {}}};
    const Bytes frame(m.data.begin() + 1, m.data.end());
    frames.push_back(frame);
    const std::vector<depsim::Bytes> answers = peer_->feed(frame);
    if (answers.empty()) return std::vector<Message>{{m.pipe, Type::response, ANY_E_TIMEOUT, {}}};
    return std::vector<Message>{{m.pipe, Type::response, ANY_OK, answers.front()}};
}

}  // namespace hcisim
