#include "hci/hci_controller.h"

#include <algorithm>

namespace hcisim {

namespace {

// Registry indices of the administration and identity-management gates.
enum : uint8_t { ADM_SESSION_IDENTITY = 0x01, ADM_MAX_PIPE = 0x02, ADM_WHITELIST = 0x03, ADM_HOST_LIST = 0x04 };
enum : uint8_t { ID_VERSION_SW = 0x01, ID_HCI_VERSION = 0x02, ID_VERSION_HARD = 0x03, ID_VENDOR_NAME = 0x04,
                 ID_MODEL_ID = 0x05, ID_GATES_LIST = 0x06 };
constexpr uint8_t kFirstDynamicPipe = 0x02;
constexpr uint8_t kStatusOk = 0x00;        // the RF error indicator that ends an ISO-DEP answer
constexpr uint8_t kSeveralTargets = 0x03;

// The gate that finds a tag of each technology.
uint8_t gateFor(simtags::Technology t) {
    switch (t) {
    case simtags::Technology::A: return GATE_READER_A;
    case simtags::Technology::B: return GATE_READER_B;
    case simtags::Technology::V: return GATE_READER_15693;
    case simtags::Technology::F: return GATE_READER_FELICA;
    default: return 0;
    }
}

bool isReaderGate(uint8_t gate) {
    return gate == GATE_READER_A || gate == GATE_READER_B || gate == GATE_READER_15693 || gate == GATE_READER_FELICA;
}

// The historical bytes of an ATS (without its length byte): what follows T0 and the interface
// bytes T0 announces; FWI and SFGI are TB's.
Bytes historicalBytes(const Bytes& ats) {
    if (ats.empty()) return {};
    size_t at = 1;
    for (uint8_t bit : {0x10, 0x20, 0x40}) at += (ats[0] & bit) ? 1 : 0;
    return at < ats.size() ? Bytes(ats.begin() + static_cast<long>(at), ats.end()) : Bytes{};
}
uint8_t fwiSfgi(const Bytes& ats) {
    if (ats.empty() || !(ats[0] & 0x20)) return 0;
    const size_t at = (ats[0] & 0x10) ? 2 : 1;
    return at < ats.size() ? ats[at] : 0;
}
constexpr uint8_t kLastDynamicPipe = 0x6F;

}  // namespace

Personality Personality::plain() {
    Personality p;
    p.name = "plain";
    p.gates = {GATE_LOOPBACK, GATE_IDENTITY, 0x13, 0x11, 0x21, 0x22, 0x23, 0x24};
    p.softwareVersion = {0x01, 0x02, 0x03};
    p.hardwareVersion = {0x04, 0x05, 0x06};
    p.vendor = "Simulated HCI";
    p.modelId = 0x42;
    p.hostList = {HOST_CONTROLLER, HOST_TERMINAL};
    return p;
}

Personality Personality::demo() {
    Personality p = plain();
    p.name = "demo";
    p.gates = {GATE_LOOPBACK, GATE_IDENTITY, GATE_READER_A, GATE_READER_B, GATE_READER_15693, GATE_POLLING_LOOP};
    p.statusByteAfter = {simtags::Protocol::IsoDep, simtags::Protocol::T5T};
    p.vicinityExchange = 0x11;
    p.pollingLoop = true;
    p.silentAsOkOne = true;
    return p;
}

HciController::HciController(Personality personality) : personality_(std::move(personality)) {
    pipes_[PIPE_LINK] = Pipe{0x00, HOST_TERMINAL, true};
    pipes_[PIPE_ADMIN] = Pipe{GATE_ADMIN, HOST_TERMINAL, false};
    Registry& adm = registries_[GATE_ADMIN];
    adm[ADM_SESSION_IDENTITY] = Bytes(8, 0xFF);
    adm[ADM_MAX_PIPE] = {kLastDynamicPipe - kFirstDynamicPipe + 1};
    adm[ADM_WHITELIST] = {};
    adm[ADM_HOST_LIST] = personality_.hostList;
    Registry& id = registries_[GATE_IDENTITY];
    id[ID_VERSION_SW] = personality_.softwareVersion;
    id[ID_HCI_VERSION] = {personality_.hciVersion};
    id[ID_VERSION_HARD] = personality_.hardwareVersion;
    id[ID_VENDOR_NAME] = Bytes(personality_.vendor.begin(), personality_.vendor.end());
    id[ID_MODEL_ID] = {personality_.modelId};
    id[ID_GATES_LIST] = personality_.gates;
}

void HciController::setPacketSize(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_);
    packetSize_ = std::max<size_t>(bytes, 2);
}

void HciController::inject(const Fault& fault) {
    std::lock_guard<std::mutex> lock(m_);
    faults_.push_back(fault);
}

void HciController::setMute(bool mute) {
    std::lock_guard<std::mutex> lock(m_);
    mute_ = mute;
}

void HciController::setRegistry(uint8_t gate, uint8_t index, const Bytes& value) {
    std::lock_guard<std::mutex> lock(m_);
    registries_[gate][index] = value;
}

void HciController::powerCycle() {
    std::lock_guard<std::mutex> lock(m_);
    for (auto& [id, pipe] : pipes_) pipe.open = id == PIPE_LINK;
    reassembler_ = Reassembler{};
    if (personality_.chip) personality_.chip->onPowerCycle();
}

std::vector<Bytes> HciController::feed(const Bytes& packet) {
    std::lock_guard<std::mutex> lock(m_);
    std::optional<Message> m = reassembler_.feed(packet);
    if (!m) return {};
    const auto it = pipes_.find(m->pipe);
    log_.push_back({*m, it == pipes_.end() ? uint8_t{0xFF} : it->second.gate});
    if (mute_) return {};
    return handle(*m);
}

std::vector<Bytes> HciController::out(const Message& m) const { return fragment(m, packetSize_); }

Message HciController::answer(const Message& m, uint8_t code, Bytes data) {
    return Message{m.pipe, Type::response, code, std::move(data)};
}

std::optional<uint8_t> HciController::faultFor(const Message& m, uint8_t gate) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->instruction != m.instruction || (it->gate && *it->gate != gate)) continue;
        if (it->parameter && (m.data.empty() || m.data[0] != *it->parameter)) continue;
        const uint8_t code = it->code;
        faults_.erase(it);
        return code;
    }
    return std::nullopt;
}

std::vector<Bytes> HciController::handle(const Message& m) {
    if (m.type == Type::response) {
        hostAnswers_.push_back(m);
        return {};
    }
    const auto it = pipes_.find(m.pipe);
    if (it == pipes_.end()) return {};   // nothing is there to answer
    Pipe& pipe = it->second;
    // A fault takes its command's place whoever would answer it, the chip's own gates too.
    if (m.type == Type::command)
        if (std::optional<uint8_t> code = faultFor(m, pipe.gate)) return out(answer(m, *code));
    if (personality_.chip) {
        if (auto own = personality_.chip->onMessage(*this, m, pipe.gate, pipe.host)) {
            std::vector<Bytes> packets;
            for (const Message& message : *own)
                for (Bytes& packet : out(message)) packets.push_back(std::move(packet));
            return packets;
        }
    }
    if (m.type == Type::event) {
        if (pipe.open && pipe.gate == GATE_LOOPBACK && m.instruction == EVT_POST_DATA)
            return out(Message{m.pipe, Type::event, EVT_POST_DATA, m.data});
        if (pipe.open && isReaderGate(pipe.gate)) return readerEvent(m, pipe.gate);
        if (pipe.open && readerPipe_ == m.pipe && m.instruction == EVT_SEND_DATA) return cardEvent(m);
        return {};
    }
    if (m.instruction == ANY_OPEN_PIPE) {
        pipe.open = true;
        return out(answer(m, ANY_OK));
    }
    if (!pipe.open) return out(answer(m, ANY_E_PIPE_NOT_OPENED));
    if (m.instruction == ANY_CLOSE_PIPE) {
        pipe.open = false;
        return out(answer(m, ANY_OK));
    }
    if (pipe.gate == GATE_ADMIN) return out(admin(m));
    const uint8_t exchangeCommand = pipe.gate == GATE_READER_15693 ? personality_.vicinityExchange : uint8_t{WR_XCHG_DATA};
    if (isReaderGate(pipe.gate) && m.instruction == exchangeCommand) return out(exchange(m));
    if (pipe.gate == GATE_POLLING_LOOP && personality_.pollingLoop) return pollingLoop(m);
    if (m.instruction == ANY_GET_PARAMETER || m.instruction == ANY_SET_PARAMETER) {
        std::vector<Bytes> packets = out(registry(registries_[pipe.gate], m, pipe.gate != GATE_IDENTITY));
        for (Bytes& p : meetReader()) packets.push_back(std::move(p));
        return packets;
    }
    return out(answer(m, ANY_E_CMD_NOT_SUPPORTED));
}

Message HciController::registry(Registry& r, const Message& m, bool writable) {
    if (m.data.empty()) return answer(m, ANY_E_CMD_PAR_UNKNOWN);
    const uint8_t index = m.data[0];
    if (m.instruction == ANY_GET_PARAMETER) {
        const auto it = r.find(index);
        return it == r.end() ? answer(m, ANY_E_REG_PAR_UNKNOWN) : answer(m, ANY_OK, it->second);
    }
    if (!writable) return answer(m, ANY_E_REG_ACCESS_DENIED);
    r[index] = Bytes(m.data.begin() + 1, m.data.end());
    return answer(m, ANY_OK);
}

uint8_t HciController::allocatePipe() const {
    for (uint8_t id = kFirstDynamicPipe; id <= kLastDynamicPipe; ++id)
        if (!pipes_.count(id)) return id;
    return 0;
}

Message HciController::admin(const Message& m) {
    switch (m.instruction) {
    case ANY_GET_PARAMETER: return registry(registries_[GATE_ADMIN], m, true);
    case ANY_SET_PARAMETER: {
        const bool readOnly = !m.data.empty() && (m.data[0] == ADM_MAX_PIPE || m.data[0] == ADM_HOST_LIST);
        return readOnly ? answer(m, ANY_E_REG_ACCESS_DENIED) : registry(registries_[GATE_ADMIN], m, true);
    }
    case ADM_CREATE_PIPE: {
        if (m.data.size() != 3) return answer(m, ANY_E_CMD_PAR_UNKNOWN);
        const uint8_t source = m.data[0], host = m.data[1], gate = m.data[2];
        if (host != HOST_CONTROLLER) return answer(m, 0x01);   // ANY_E_NOT_CONNECTED
        const bool known = gate == GATE_IDENTITY || gate == GATE_LOOPBACK ||
                           std::find(personality_.gates.begin(), personality_.gates.end(), gate) != personality_.gates.end();
        if (!known) return answer(m, ANY_E_NOK);
        const uint8_t id = allocatePipe();
        if (!id) return answer(m, ADM_E_NO_PIPES_AVAILABLE);
        pipes_[id] = Pipe{gate, HOST_TERMINAL, false};
        return answer(m, ANY_OK, {HOST_TERMINAL, source, HOST_CONTROLLER, gate, id});
    }
    case ADM_DELETE_PIPE: {
        if (m.data.size() != 1 || m.data[0] < kFirstDynamicPipe || !pipes_.erase(m.data[0]))
            return answer(m, ANY_E_CMD_PAR_UNKNOWN);
        return answer(m, ANY_OK);
    }
    case ADM_CLEAR_ALL_PIPE:
        // Every dynamic pipe of the host goes; the host must open its administration pipe again.
        for (auto it = pipes_.begin(); it != pipes_.end();)
            it = it->first >= kFirstDynamicPipe ? pipes_.erase(it) : std::next(it);
        pipes_[PIPE_ADMIN].open = false;
        return answer(m, ANY_OK);
    default: return answer(m, ANY_E_CMD_NOT_SUPPORTED);
    }
}

std::vector<Bytes> HciController::event(uint8_t pipe, uint8_t event, const Bytes& data) {
    return send(Message{pipe, Type::event, event, data});
}

std::vector<Bytes> HciController::send(const Message& m) {
    std::lock_guard<std::mutex> lock(m_);
    return out(m);
}

std::vector<Bytes> HciController::hotPlug() { return event(PIPE_ADMIN, EVT_HOT_PLUG, {}); }

std::vector<Bytes> HciController::notifyPipeCreated(uint8_t sourceHost, uint8_t sourceGate, uint8_t destGate) {
    std::lock_guard<std::mutex> lock(m_);
    const uint8_t id = allocatePipe();
    pipes_[id] = Pipe{destGate, sourceHost, false};
    return out(Message{PIPE_ADMIN, Type::command, ADM_NOTIFY_PIPE_CREATED,
                       {sourceHost, sourceGate, HOST_TERMINAL, destGate, id}});
}

// ---- RF ---------------------------------------------------------------------------------------------------
std::vector<Bytes> HciController::enter(std::shared_ptr<simtags::Tag> tag, bool several,
                                       std::shared_ptr<simtags::Tag> second) {
    std::lock_guard<std::mutex> lock(m_);
    tag_ = std::move(tag);
    second_ = std::move(second);
    several_ = several || second_;
    reported_ = false;
    fillRegistries();
    return discover();
}

void HciController::leave() {
    std::lock_guard<std::mutex> lock(m_);
    tag_.reset();
}

void HciController::withTag(const std::function<void(simtags::Tag&)>& fn) {
    std::lock_guard<std::mutex> lock(m_);
    if (tag_) fn(*tag_);
}

bool HciController::polling() const {
    std::lock_guard<std::mutex> lock(m_);
    return polling_;
}

std::optional<uint8_t> HciController::openPipeTo(uint8_t gate) const {
    for (const auto& [id, pipe] : pipes_)
        if (id >= kFirstDynamicPipe && pipe.gate == gate && pipe.open) return id;
    return std::nullopt;
}

// The registries of the gate that finds the tag, as the standard numbers them.
void HciController::fillRegistries() {
    const simtags::Tag& t = *tag_;
    switch (t.technology) {
    case simtags::Technology::A: {
        Registry& r = registries_[GATE_READER_A];
        r[0x01] = {0x00};
        r[0x02] = t.a.nfcid1;
        r[0x03] = {t.a.selRes.value_or(0)};
        r[0x04] = {t.a.sensRes[0], t.a.sensRes[1]};
        r[0x05] = historicalBytes(t.ats);
        r[0x06] = {fwiSfgi(t.ats)};
        break;
    }
    case simtags::Technology::B: {
        Registry& r = registries_[GATE_READER_B];
        const Bytes& s = t.b.sensbRes;
        r[0x03] = Bytes(s.begin(), s.begin() + static_cast<long>(std::min<size_t>(4, s.size())));
        r[0x04] = s.size() >= 8 ? Bytes(s.begin() + 4, s.begin() + 8) : Bytes{};
        r[0x02] = {s.size() > 4 ? s[4] : uint8_t{0}};
        r[0x05] = t.attribRes.size() > 1 ? Bytes(t.attribRes.begin() + 1, t.attribRes.end()) : Bytes{};
        break;
    }
    case simtags::Technology::V: {
        // Flags, DSFID, then the UID as it travels: least significant byte first.
        Bytes inventory = {t.v.responseFlags, t.v.dsfid};
        inventory.insert(inventory.end(), t.v.uid.rbegin(), t.v.uid.rend());
        registries_[GATE_READER_15693][0x01] = inventory;
        registries_[GATE_READER_15693][0x02] = {0x00};
        break;
    }
    case simtags::Technology::F: {
        // SENSF_RES: NFCID2, PMm, then the system code the poll asked for.
        Registry& r = registries_[GATE_READER_FELICA];
        const Bytes& s = t.f.sensfRes;
        const auto part = [&s](size_t at, size_t n) {
            return s.size() >= at + n ? Bytes(s.begin() + static_cast<long>(at), s.begin() + static_cast<long>(at + n))
                                      : Bytes{};
        };
        r[0x01] = part(16, 2);
        r[0x04] = part(0, 8);
        r[0x05] = part(8, 8);
        break;
    }
    default: break;
    }
}

// While polling, a tag in the field is reported on the pipe of its technology's gate, once.
// A target is reported once: only after the host let it go (end of operation, release) or after
// it entered the field again is it found anew.
std::optional<Message> HciController::discovery() {
    if (!polling_ || !tag_ || tag_->removed() || reported_) return std::nullopt;
    const std::optional<uint8_t> pipe = openPipeTo(gateFor(tag_->technology));
    if (!pipe) return std::nullopt;
    polling_ = false;
    reported_ = true;
    tag_->reset();
    return Message{*pipe, Type::event, EVT_TARGET_DISCOVERED, {several_ ? kSeveralTargets : uint8_t{0}}};
}

std::vector<Bytes> HciController::discover() {
    std::optional<Message> found = discovery();
    return found ? out(*found) : std::vector<Bytes>{};
}

std::optional<Message> HciController::pollAgain() {
    polling_ = true;
    if (tag_) fillRegistries();
    return discovery();
}

std::vector<Bytes> HciController::readerEvent(const Message& m, uint8_t) {
    if (m.instruction == EVT_READER_REQUESTED) {
        polling_ = true;
        return discover();
    }
    if (m.instruction == EVT_END_OPERATION) {
        polling_ = false;
        reported_ = false;
        if (tag_) tag_->reset();
    }
    return {};
}

Message HciController::silence(const Message& m) {
    return personality_.silentAsOkOne ? answer(m, ANY_OK, {0x01}) : answer(m, ANY_E_TIMEOUT);
}

// WR_XCHG_DATA: the first byte is the host's time-out; a silent or absent tag is a time-out.
Message HciController::exchange(const Message& m) {
    if (m.data.empty()) return answer(m, ANY_E_CMD_PAR_UNKNOWN);
    if (!tag_ || tag_->removed()) return silence(m);
    std::optional<Bytes> reply = tag_->exchange(Bytes(m.data.begin() + 1, m.data.end()));
    if (!reply) return silence(m);
    const std::vector<simtags::Protocol>& after = personality_.statusByteAfter;
    if (std::find(after.begin(), after.end(), tag_->protocol) != after.end()) reply->push_back(kStatusOk);
    return answer(m, ANY_OK, *reply);
}

// The polling loop's phases: a nonzero set (the reset bit aside) starts the wheel, 0 stops it.
std::vector<Bytes> HciController::pollingLoop(const Message& m) {
    std::vector<Bytes> packets = out(registry(registries_[GATE_POLLING_LOOP], m, true));
    if (m.instruction != ANY_SET_PARAMETER || m.data.size() < 2 || m.data[0] != POLLING_PHASES) return packets;
    polling_ = (m.data[1] & 0x0F) != 0;
    for (Bytes& p : discover()) packets.push_back(std::move(p));
    return packets;
}

std::vector<Logged> HciController::log() const {
    std::lock_guard<std::mutex> lock(m_);
    return log_;
}

std::vector<Message> HciController::answersFromHost() const {
    std::lock_guard<std::mutex> lock(m_);
    return hostAnswers_;
}

Bytes HciController::sessionIdentity() const {
    std::lock_guard<std::mutex> lock(m_);
    return registries_.at(GATE_ADMIN).at(ADM_SESSION_IDENTITY);
}

Bytes HciController::whiteList() const {
    std::lock_guard<std::mutex> lock(m_);
    return registries_.at(GATE_ADMIN).at(ADM_WHITELIST);
}

std::optional<uint8_t> HciController::pipeTo(uint8_t gate) const {
    std::lock_guard<std::mutex> lock(m_);
    for (const auto& [id, pipe] : pipes_)
        if (id >= kFirstDynamicPipe && pipe.gate == gate) return id;
    return std::nullopt;
}

bool HciController::isOpen(uint8_t pipe) const {
    std::lock_guard<std::mutex> lock(m_);
    const auto it = pipes_.find(pipe);
    return it != pipes_.end() && it->second.open;
}

size_t HciController::pipeCount() const {
    std::lock_guard<std::mutex> lock(m_);
    return pipes_.size();
}

uint32_t HciController::malformed() const {
    std::lock_guard<std::mutex> lock(m_);
    return reassembler_.malformed();
}

void HciController::clearLog() {
    std::lock_guard<std::mutex> lock(m_);
    log_.clear();
    hostAnswers_.clear();
}

}  // namespace hcisim
