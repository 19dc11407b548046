#include "nci/nci_sim_hci.h"

#include <algorithm>

namespace ncisim {
namespace {

constexpr uint8_t CB = 0x80, PIPE_MASK = 0x7F, TYPE_MASK = 0xC0;
constexpr uint8_t TYPE_COMMAND = 0x00, TYPE_EVENT = 0x40, TYPE_RESPONSE = 0x80;
constexpr uint8_t ANY_SET_PARAMETER = 0x01, ANY_GET_PARAMETER = 0x02, ANY_OPEN_PIPE = 0x03;
constexpr uint8_t ANY_OK = 0x80, ANY_E_NOK = 0x81, ANY_E_REG_PAR_UNKNOWN = 0x86;   // responses, type included
constexpr uint8_t ADM_NOTIFY_PIPE_CREATED = 0x12;
constexpr uint8_t EVT_SEND_DATA = 0x10, EVT_WTX_REQUEST = 0x11, EVT_TRANSACTION = 0x12;
constexpr uint8_t REG_SESSION_IDENTITY = 0x01, REG_WHITELIST = 0x03, REG_ATR = 0x01;
constexpr uint8_t TERMINAL_HOST = 0x01;
constexpr uint8_t PROTOCOL_HCI_ACCESS = 0x01;
constexpr uint8_t FIRST_DYNAMIC_PIPE = 0x02;

} // namespace

void HciNetworkModel::install() {
    for (const auto& ee : c_.identity().nfcees) {
        if (std::find(ee.protocols.begin(), ee.protocols.end(), PROTOCOL_HCI_ACCESS) == ee.protocols.end()) continue;
        nfcees_.setDataHandler(ee.id, [this](uint8_t connId, const std::vector<uint8_t>& p) { receive(connId, p); });
        return;
    }
}

std::vector<uint8_t> HciNetworkModel::hosts() const {
    std::vector<uint8_t> out;
    for (const auto& ee : c_.identity().nfcees)
        if (std::find(ee.protocols.begin(), ee.protocols.end(), PROTOCOL_HCI_ACCESS) == ee.protocols.end())
            out.push_back(ee.id);
    return out;
}

uint8_t HciNetworkModel::cardPipe(uint8_t hostId) const {
    for (const auto& [id, p] : pipes_)
        if (p.host == hostId && p.gate == kGateCard) return id;
    return 0;
}

uint8_t HciNetworkModel::connectivityPipe(uint8_t hostId) const {
    for (const auto& [id, p] : pipes_)
        if (p.host == hostId && p.gate == kGateConnectivity) return id;
    return 0;
}

// Each host opens a pipe from its connectivity gate and one from its card gate to the terminal
// host; the identity names them, two hosts at most, as the terminal host stores them.
void HciNetworkModel::createPipes(bool notify) {
    uint8_t next = FIRST_DYNAMIC_PIPE;
    for (uint8_t host : hosts()) {
        for (uint8_t gate : {kGateConnectivity, kGateCard}) {
            const uint8_t pipe = next++;
            pipes_[pipe] = Pipe{host, gate};
            if (!notify) continue;
            send(kAdminPipe, TYPE_COMMAND | ADM_NOTIFY_PIPE_CREATED, {host, gate, TERMINAL_HOST, gate, pipe});
            send(pipe, TYPE_COMMAND | ANY_OPEN_PIPE);
        }
    }
    pipesCreated_ = true;
}

void HciNetworkModel::keepSession() {
    createPipes(false);
    session_ = Session{'E', 'L', 'L', 'I', 0, 0, 0, 0};
    const auto h = hosts();
    for (size_t i = 0; i < h.size() && i < 2; ++i) {
        session_[4 + 2 * i] = connectivityPipe(h[i]);
        session_[5 + 2 * i] = cardPipe(h[i]);
    }
}

void HciNetworkModel::send(uint8_t pipe, uint8_t header, const std::vector<uint8_t>& data) {
    // The first packet carries the header; every packet is at most packetSize_ bytes.
    size_t at = 0;
    bool first = true;
    do {
        std::vector<uint8_t> packet{pipe};
        if (first) packet.push_back(header);
        const size_t room = packetSize_ - packet.size();
        const size_t n = std::min(room, data.size() - at);
        packet.insert(packet.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                      data.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        if (at == data.size()) packet[0] |= CB;
        c_.sendData(connId_, std::move(packet));
        first = false;
    } while (at < data.size());
}

void HciNetworkModel::receive(uint8_t connId, const std::vector<uint8_t>& packet) {
    connId_ = connId;
    packets_.push_back(packet);
    if (packet.empty()) return c_.recorder().violation("empty HCP packet");
    const uint8_t pipe = packet[0] & PIPE_MASK;
    auto it = partial_.find(pipe);
    size_t from = 1;
    if (it == partial_.end()) {
        if (packet.size() < 2) return c_.recorder().violation("first HCP packet without its header");
        it = partial_.emplace(pipe, Partial{packet[1], {}}).first;
        from = 2;
    }
    it->second.data.insert(it->second.data.end(), packet.begin() + static_cast<std::ptrdiff_t>(from), packet.end());
    if (!(packet[0] & CB)) return;
    HcpMessage m{pipe, it->second.header, std::move(it->second.data)};
    partial_.erase(it);
    handle(m);
}

void HciNetworkModel::handle(const HcpMessage& m) {
    if ((m.header & TYPE_MASK) == TYPE_RESPONSE) return;   // the terminal host's answers to what was sent
    if (m.pipe == kAdminPipe) return admin(m);
    auto it = pipes_.find(m.pipe);
    if (it == pipes_.end()) return c_.recorder().violation("HCP message on a pipe that does not exist");
    if (it->second.gate == kGateCard) card(it->second.host, m);
}

void HciNetworkModel::admin(const HcpMessage& m) {
    const uint8_t instruction = m.header & ~TYPE_MASK;
    if ((m.header & TYPE_MASK) != TYPE_COMMAND) return;
    switch (instruction) {
    case ANY_OPEN_PIPE: return send(kAdminPipe, ANY_OK);
    case ANY_GET_PARAMETER:
        if (m.data.size() == 1 && m.data[0] == REG_SESSION_IDENTITY) {
            std::vector<uint8_t> value = sessionAnswer_.value_or(std::vector<uint8_t>(session_.begin(), session_.end()));
            sessionAnswer_.reset();
            return send(kAdminPipe, ANY_OK, value);
        }
        return send(kAdminPipe, ANY_E_REG_PAR_UNKNOWN);
    case ANY_SET_PARAMETER:
        if (m.data.size() == 1 + session_.size() && m.data[0] == REG_SESSION_IDENTITY) {
            std::copy(m.data.begin() + 1, m.data.end(), session_.begin());
            send(kAdminPipe, ANY_OK);
            // A new session: the hosts create their pipes to the terminal host.
            if (!pipesCreated_) createPipes(true);
            return;
        }
        if (!m.data.empty() && m.data[0] == REG_WHITELIST) {
            whiteList_.assign(m.data.begin() + 1, m.data.end());
            return send(kAdminPipe, ANY_OK);
        }
        return send(kAdminPipe, ANY_E_REG_PAR_UNKNOWN);
    default: return send(kAdminPipe, ANY_E_NOK);
    }
}

void HciNetworkModel::card(uint8_t host, const HcpMessage& m) {
    const uint8_t pipe = m.pipe;
    if (m.header == (TYPE_COMMAND | ANY_GET_PARAMETER) && m.data.size() == 1 && m.data[0] == REG_ATR) {
        const std::vector<uint8_t> atr{0x3B, 0x8A, 0x80, 0x01, 0x80, 0x31, 0x80, 0x65, 0xB0, 0x85, 0x03, host};
        return send(pipe, ANY_OK, atr);
    }
    if (m.header != (TYPE_EVENT | EVT_SEND_DATA)) return;   // resets and end of transfer need no answer
    for (uint32_t i = 0; i < wtx_; ++i) send(pipe, TYPE_EVENT | EVT_WTX_REQUEST);
    if (answerDelayMs_) {
        // The line keeps its order: the whole answer waits behind its first packet.
        Fault held = Fault::delayed(answerDelayMs_);
        held.times = 1;
        c_.setFault(static_cast<uint16_t>(connId_ << 8), held);
        answerDelayMs_ = 0;
    }
    send(pipe, TYPE_EVENT | EVT_SEND_DATA, nfcees_.answer(host, m.data));
}

void HciNetworkModel::sendTransaction(uint8_t hostId, const std::vector<uint8_t>& data) {
    send(connectivityPipe(hostId), TYPE_EVENT | EVT_TRANSACTION, data);
}

} // namespace ncisim
