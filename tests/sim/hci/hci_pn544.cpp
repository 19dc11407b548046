#include "hci/hci_pn544.h"

#include "tags/iso_dep_tag.h"

namespace hcisim {

namespace {

constexpr uint8_t kIdentityChip = 0x10;
constexpr uint8_t kUnknownCommand = 0x10;      // the chip's answer header 0x90 to what it does not know
constexpr uint8_t kActivateId = 0x32, kPresence = 0x30, kMifareExchange = 0x21, kIsoActivate = 0x12;
constexpr uint8_t kRelease = 0x35;   // the host lets the target go (header 0x75)
enum : uint8_t { kRegUid = 0x02, kRegSak = 0x03, kRegAtqa = 0x04, kRegHistorical = 0x05 };

bool isReaderGate(uint8_t gate) {
    return gate == GATE_READER_A || gate == GATE_READER_B || gate == GATE_READER_15693 || gate == GATE_PN544_FELICA ||
           gate == GATE_PN544_JEWEL;
}
const Bytes kChipValues = {0xB1, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00};

Message reply(const Message& m, uint8_t code, Bytes data = {}) { return Message{m.pipe, Type::response, code, std::move(data)}; }

uint32_t addressOf(const Bytes& d) { return uint32_t{d[0]} << 16 | uint32_t{d[1]} << 8 | d[2]; }

}  // namespace

Personality pn544Personality(std::shared_ptr<Pn544Chip> chip, bool withIp1) {
    Personality p = Personality::plain();
    p.name = "pn544";
    p.chip = std::move(chip);
    p.gates = {GATE_LOOPBACK, GATE_IDENTITY, GATE_READER_A, GATE_READER_B, GATE_READER_15693, GATE_PN544_FELICA,
               GATE_PN544_JEWEL, 0x21, 0x22, 0x23, 0x24, GATE_PN544_MANAGER, GATE_POLLING_LOOP, GATE_PN544_UICC,
               GATE_PN544_WI};
    if (withIp1) p.gates.insert(p.gates.end(), {GATE_PN544_IP1_INITIATOR, GATE_PN544_IP1_TARGET});
    p.vendor = "NXP";
    p.softwareVersion = {0x10, 0x60, 0x00};
    p.hardwareVersion = {0x42, 0x01, 0x00};
    p.hostList = {HOST_CONTROLLER, HOST_TERMINAL, HOST_UICC};
    p.pollingLoop = true;
    p.lengthMode = true;
    p.vicinityExchange = 0x20;
    return p;
}

Pn544Chip::Pn544Chip() : smartMx_(std::make_shared<simtags::IsoDepTag>()) {
    smartMx_->ats = {0x00, 'S', 'M', 'X'};
    smartMx_->a.nfcid1 = {0x08, 0x53, 0x4D, 0x58};
}

Personality demoPersonality(std::shared_ptr<Pn544Chip> chip, bool withIp1) {
    Personality p = Personality::demo();
    p.chip = std::move(chip);
    if (withIp1) p.gates.insert(p.gates.end(), {GATE_PN544_FELICA, GATE_PN544_IP1_INITIATOR, GATE_PN544_IP1_TARGET});
    return p;
}

void Pn544Chip::setSwpStatuses(std::vector<uint8_t> statuses) {
    std::lock_guard<std::mutex> lock(m_);
    swp_.assign(statuses.begin(), statuses.end());
}

void Pn544Chip::setEeprom(uint32_t address, uint8_t value) {
    std::lock_guard<std::mutex> lock(m_);
    eeprom_[address] = value;
}

uint8_t Pn544Chip::eeprom(uint32_t address) const {
    std::lock_guard<std::mutex> lock(m_);
    const auto it = eeprom_.find(address);
    return it == eeprom_.end() ? 0 : it->second;
}

void Pn544Chip::withIp1(const std::function<void(Pn544Ip1&)>& fn) {
    std::lock_guard<std::mutex> lock(m_);
    fn(ip1_);
}

void Pn544Chip::setHotPlugOnSwitch(bool on) {
    std::lock_guard<std::mutex> lock(m_);
    hotPlugOnSwitch_ = on;
}

int Pn544Chip::lastWiMode() const {
    std::lock_guard<std::mutex> lock(m_);
    return wiMode_;
}

std::optional<std::vector<Message>> Pn544Chip::manager(const Message& m) {
    switch (m.instruction) {
    case PN544_EEPROM_WRITE:
        if (m.data.size() != 4) return std::vector<Message>{reply(m, ANY_E_CMD_PAR_UNKNOWN)};
        eeprom_[addressOf(m.data)] = m.data[3];
        return std::vector<Message>{reply(m, ANY_OK)};
    case PN544_EEPROM_READ: {
        if (m.data.size() != 3) return std::vector<Message>{reply(m, ANY_E_CMD_PAR_UNKNOWN)};
        const auto it = eeprom_.find(addressOf(m.data));
        return std::vector<Message>{reply(m, ANY_OK, {it == eeprom_.end() ? uint8_t{0} : it->second})};
    }
    case 0x20:   // antenna self test: four bytes of limits in, two measured bytes out
        if (m.data.size() != 4) return std::vector<Message>{reply(m, ANY_E_CMD_PAR_UNKNOWN)};
        return std::vector<Message>{reply(m, ANY_OK, {0x00, 0x5A})};
    case 0x21: return std::vector<Message>{reply(m, ANY_OK, {0x00, 0x01})};   // SWP self test
    case 0x25: return std::vector<Message>{reply(m, ANY_OK, {0x00})};         // pattern self test
    case ANY_OPEN_PIPE:
    case ANY_CLOSE_PIPE:
    case ANY_GET_PARAMETER:
    case ANY_SET_PARAMETER: return std::nullopt;
    default: return std::vector<Message>{reply(m, kUnknownCommand)};
    }
}

// Reader A's own commands and the registries that follow the activation.
std::optional<std::vector<Message>> Pn544Chip::readerA(HciController& controller, const Message& m) {
    const bool wired = wiMode_ == PN544_WI_WIRED;
    const std::shared_ptr<simtags::Tag> tag = wired ? smartMx_ : controller.tagHeld();
    const bool present = tag && !tag->removed();
    if (wired && m.instruction == WR_XCHG_DATA && !m.data.empty()) {
        std::optional<Bytes> answer = tag->exchange(Bytes(m.data.begin() + 1, m.data.end()));
        if (answer) answer->push_back(0x00);   // the RF status that ends the answer
        return std::vector<Message>{answer ? reply(m, ANY_OK, *answer) : reply(m, ANY_E_TIMEOUT)};
    }
    if (wired && m.instruction == ANY_GET_PARAMETER && m.data.size() == 1) {
        const simtags::NfcA& a = tag->a;
        switch (m.data[0]) {
        case kRegUid: return std::vector<Message>{reply(m, ANY_OK, a.nfcid1)};
        case kRegSak: return std::vector<Message>{reply(m, ANY_OK, {a.selRes.value_or(0)})};
        case kRegAtqa: return std::vector<Message>{reply(m, ANY_OK, {a.sensRes[0], a.sensRes[1]})};
        case kRegHistorical:
            return std::vector<Message>{reply(m, ANY_OK, isoActivated_ ? Bytes(tag->ats.begin() + 1, tag->ats.end()) : Bytes{})};
        default: return std::vector<Message>{reply(m, ANY_OK, {0x00})};
        }
    }
    if (m.instruction == kActivateId || m.instruction == kPresence)
        return std::vector<Message>{reply(m, present ? uint8_t{ANY_OK} : uint8_t{ANY_E_TIMEOUT})};
    if (m.instruction == kMifareExchange) {
        // The MIFARE exchange carries the frame alone, with no time-out byte before it.
        std::optional<Bytes> answer = present ? tag->exchange(m.data) : std::nullopt;
        return std::vector<Message>{answer ? reply(m, ANY_OK, *answer) : reply(m, ANY_E_TIMEOUT)};
    }
    if (m.instruction == kIsoActivate) {
        isoActivated_ = present && tag->protocol == simtags::Protocol::IsoDep;
        return std::vector<Message>{reply(m, isoActivated_ ? uint8_t{ANY_OK} : uint8_t{ANY_E_TIMEOUT})};
    }
    if (m.instruction != ANY_GET_PARAMETER || m.data.size() != 1) return std::nullopt;
    const uint8_t index = m.data[0];
    if (index == kRegHistorical && !isoActivated_) return std::vector<Message>{reply(m, ANY_OK)};
    const std::shared_ptr<simtags::Tag> second = controller.secondHeld();
    if (!second || !firstRead_ || (index != kRegUid && index != kRegSak && index != kRegAtqa)) {
        if (index == kRegAtqa) firstRead_ = true;
        return std::nullopt;
    }
    if (index == kRegAtqa) firstRead_ = false;
    const simtags::NfcA& a = second->a;
    if (index == kRegUid) return std::vector<Message>{reply(m, ANY_OK, a.nfcid1)};
    if (index == kRegSak) return std::vector<Message>{reply(m, ANY_OK, {a.selRes.value_or(0)})};
    return std::vector<Message>{reply(m, ANY_OK, {a.sensRes[0], a.sensRes[1]})};
}

std::optional<std::vector<Message>> Pn544Chip::onMessage(HciController& controller, const Message& m, uint8_t gate,
                                                         uint8_t) {
    std::lock_guard<std::mutex> lock(m_);
    // In wired mode the loop's type-A phase finds the SmartMX on reader A.
    const bool phases = gate == GATE_POLLING_LOOP && m.type == Type::command && m.instruction == ANY_SET_PARAMETER &&
                        m.data.size() >= 2 && m.data[0] == POLLING_PHASES;
    if (phases && wiMode_ == PN544_WI_WIRED && (m.data[1] & 0x01)) {
        controller.registryOf(gate)[POLLING_PHASES] = {m.data[1]};
        std::vector<Message> out = {reply(m, ANY_OK)};
        isoActivated_ = false;
        for (const auto& [id, pipe] : controller.pipesHeld())
            if (pipe.gate == GATE_READER_A && pipe.open && id > PIPE_ADMIN && !smartMx_->removed())
                out.push_back(Message{id, Type::event, EVT_TARGET_DISCOVERED, {0x00}});
        return out;
    }
    if (auto own = ip1_.onMessage(controller, m, gate)) return own;
    if (m.type == Type::event && isReaderGate(gate) && m.instruction == kRelease) {
        // The target is let go and the polling loop goes on: a target still there is found again.
        isoActivated_ = firstRead_ = false;
        std::optional<Message> found = controller.pollAgain();
        return found ? std::vector<Message>{*found} : std::vector<Message>{};
    }
    if (phases && (m.data[1] & 0x80)) ip1_.linked = false;   // the loop rests: no RF link stays up
    if (m.type == Type::event) {
        if (gate == GATE_READER_A) isoActivated_ = firstRead_ = false;
        // The end of reader A's operation switches its field off: a link found through it ends.
        if (gate == GATE_READER_A && m.instruction == EVT_END_OPERATION) ip1_.linked = false;
        if (gate == GATE_PN544_WI && m.instruction == PN544_WI_MODE && !m.data.empty()) {
            wiMode_ = m.data[0];
            return std::vector<Message>{};
        }
        return std::nullopt;
    }
    switch (gate) {
    case GATE_IDENTITY:
        if (m.instruction == ANY_GET_PARAMETER && m.data.size() == 1 && m.data[0] == kIdentityChip)
            return std::vector<Message>{reply(m, ANY_OK, kChipValues)};
        return std::nullopt;
    case GATE_PN544_MANAGER: return manager(m);
    case GATE_PN544_UICC:
        if (m.instruction == ANY_GET_PARAMETER && m.data.size() == 1 && m.data[0] == 0x02) {
            const uint8_t status = swp_.front();
            if (swp_.size() > 1) swp_.pop_front();
            return std::vector<Message>{reply(m, ANY_OK, {status})};
        }
        if (m.instruction == ANY_SET_PARAMETER && m.data.size() == 2 && m.data[0] == 0x01 && hotPlugOnSwitch_) {
            controller.registryOf(gate)[0x01] = {m.data[1]};
            return std::vector<Message>{reply(m, ANY_OK), Message{PIPE_ADMIN, Type::event, EVT_HOT_PLUG, {}}};
        }
        return std::nullopt;
    case GATE_READER_A: return readerA(controller, m);
    case GATE_PN544_JEWEL:
        if (m.instruction == 0x20 || m.instruction == 0x23) {
            // RID in its short (command byte only) or long form (with six zero bytes).
            Bytes rid = m.data;
            rid.resize(7, 0x00);
            const std::shared_ptr<simtags::Tag> tag = controller.tagHeld();
            std::optional<Bytes> answer = tag && !tag->removed() ? tag->exchange(rid) : std::nullopt;
            return std::vector<Message>{answer ? reply(m, ANY_OK, *answer) : reply(m, ANY_E_TIMEOUT)};
        }
        return std::nullopt;
    default: return std::nullopt;
    }
}

}  // namespace hcisim
