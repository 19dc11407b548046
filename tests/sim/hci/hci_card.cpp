// The card RF gates of the simulated controller with an external reader in front of them: the
// events ETSI TS 102 622 gives a card gate (field on, card activated, data, field off) as the
// reader's commands come, and the host's answers handed to the reader.
#include "hci/hci_controller.h"

namespace hcisim {

namespace {

constexpr uint8_t kRfOk = 0x00;   // the RF error indicator that ends the data of EVT_SEND_DATA

uint8_t cardGateFor(simtags::Technology t) {
    switch (t) {
    case simtags::Technology::A: return GATE_CARD_A;
    case simtags::Technology::B: return GATE_CARD_B;
    case simtags::Technology::F: return GATE_CARD_F;
    default: return 0;
    }
}

}  // namespace

std::vector<Bytes> HciController::approach(simpeers::PollerPtr reader) {
    std::lock_guard<std::mutex> lock(m_);
    reader_ = std::move(reader);
    readerPipe_.reset();
    return meetReader();
}

std::vector<Bytes> HciController::depart() {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<Bytes> packets;
    if (readerPipe_ && pipes_.count(*readerPipe_)) packets = out(Message{*readerPipe_, Type::event, EVT_FIELD_OFF, {}});
    reader_.reset();
    readerPipe_.reset();
    return packets;
}

void HciController::withReader(const std::function<void(simpeers::RemotePoller&)>& fn) {
    std::lock_guard<std::mutex> lock(m_);
    if (reader_) fn(*reader_);
}

// The open card pipe of the reader's technology whose mode registry says it emulates.
std::optional<uint8_t> HciController::emulatingPipe() const {
    const uint8_t gate = reader_ ? cardGateFor(reader_->technology) : 0;
    const std::optional<uint8_t> pipe = gate ? openPipeTo(gate) : std::nullopt;
    if (!pipe) return std::nullopt;
    const auto r = registries_.find(gate);
    if (r == registries_.end()) return std::nullopt;
    const auto mode = r->second.find(CARD_MODE);
    return mode != r->second.end() && mode->second == Bytes{CARD_MODE_ON} ? pipe : std::nullopt;
}

std::vector<Bytes> HciController::meetReader() {
    if (!reader_ || readerPipe_) return {};
    readerPipe_ = emulatingPipe();
    if (!readerPipe_) return {};
    std::vector<Bytes> packets = out(Message{*readerPipe_, Type::event, EVT_FIELD_ON, {}});
    for (Bytes& p : out(Message{*readerPipe_, Type::event, EVT_CARD_ACTIVATED, {}})) packets.push_back(std::move(p));
    for (Bytes& p : nextCommand()) packets.push_back(std::move(p));
    return packets;
}

std::vector<Bytes> HciController::nextCommand() {
    simpeers::FrameLog& log = reader_->log;
    if (log.toSend.empty()) return {};
    Bytes command = std::move(log.toSend.front());
    log.toSend.pop_front();
    command.push_back(kRfOk);
    return out(Message{*readerPipe_, Type::event, EVT_SEND_DATA, std::move(command)});
}

std::vector<Bytes> HciController::cardEvent(const Message& m) {
    if (!reader_) return {};
    reader_->log.take(m.data);
    return nextCommand();
}

}  // namespace hcisim
