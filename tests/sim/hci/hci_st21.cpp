#include "hci/hci_st21.h"

#include <algorithm>

namespace hcisim {

namespace {

// Device-manager instructions and events.
enum : uint8_t {
    DM_READ_ITEM = 0x10, DM_WRITE_ITEM = 0x11, DM_PIPES = 0x13, DM_SET_ROUTE = 0x20, DM_GET_ROUTE = 0x21,
    DM_REBOOT = 0x30, DM_CUSTOM = 0x32, DM_PIPE_INFO = 0x01, DM_PIPE_LIST = 0x02,
    EVT_NFC_MODE = 0x11,   // with the mode byte; without one it is the eSE's soft reset
    EVT_UICC_ON = 0x10, EVT_UICC_OFF = 0x13, EVT_APDU_END = 0x21, EVT_ESE_ON = 0x22, EVT_ESE_OFF = 0x23,
    ITEM_CLF = 0xD0, ITEM_MODE = 0xF0,
    EVT_CARD_DATA = 0x10, CMD_PRESENCE = 0x30,
    PIPE_STATE_OPEN = 0x06, PIPE_STATE_CLOSED = 0x02,
};
constexpr uint8_t kFirstDynamic = 0x03;   // pipe 2 is the device manager's
constexpr uint8_t kLastDynamic = 0x6F;
constexpr size_t kRouteRecord = 19;
constexpr uint8_t kHotPlugEse = 0x01, kHotPlugOff = 0x40;

Message answer(const Message& m, uint8_t code, Bytes data = {}) {
    return Message{m.pipe, Type::response, code, std::move(data)};
}

bool typeOneTwoTag(const simtags::Tag& t) {
    return t.technology == simtags::Technology::A &&
           (t.protocol == simtags::Protocol::T1T || t.protocol == simtags::Protocol::T2T ||
            t.protocol == simtags::Protocol::Mifare);
}

bool isReaderGate(uint8_t gate) {
    return gate == GATE_READER_A || gate == GATE_READER_B || gate == GATE_READER_15693 || gate == GATE_FELICA_IP1;
}

std::optional<uint8_t> openPipeTo(HciController& c, uint8_t gate) {
    for (const auto& [id, pipe] : c.pipesHeld())
        if (id >= kFirstDynamic && pipe.gate == gate && pipe.open) return id;
    return std::nullopt;
}

uint8_t freePipe(HciController& c) {
    for (uint8_t id = kFirstDynamic; id <= kLastDynamic; ++id)
        if (!c.pipesHeld().count(id)) return id;
    return 0;
}

}  // namespace

St21Chip::St21Chip(St21Options options) : options_(std::move(options)), clf_(options_.clfConfig) {
    apdu_ = [](const Bytes&) { return Bytes{0x90, 0x00}; };
}

std::optional<std::vector<Message>> St21Chip::onMessage(HciController& c, const Message& m, uint8_t gate,
                                                        uint8_t host) {
    std::lock_guard<std::mutex> lock(m_);
    // The device manager's pipe is static: it is there again after the host cleared its pipes.
    c.pipesHeld().try_emplace(PIPE_DEVICE_MANAGER, HciController::Pipe{GATE_STM_MANAGER, HOST_TERMINAL, false});
    if (m.pipe == PIPE_DEVICE_MANAGER && m.type == Type::event) {
        if (m.instruction == EVT_NFC_MODE && !m.data.empty()) {
            nfcMode_ = m.data[0];
            return std::vector<Message>{};
        }
        if (m.instruction == EVT_NFC_MODE) {
            ++softResets_;
            return std::vector<Message>{};
        }
        return powerEvent(c, m.instruction);
    }
    const auto held = c.pipesHeld().find(m.pipe);
    const bool open = held != c.pipesHeld().end() && held->second.open;
    if (m.pipe == PIPE_DEVICE_MANAGER && m.type == Type::command && open) {
        std::vector<Message> out = cut(m, manager(c, m));
        if (!out.empty()) return out;
        return std::nullopt;
    }
    if (m.pipe == PIPE_ADMIN && m.type == Type::command && m.instruction == ADM_CREATE_PIPE)
        return createCardPipe(c, m);
    if (gate == GATE_TYPE_1_2 && open) return typeOneTwo(c, m);
    if (isReaderGate(gate) && open) return readerPolling(c, m);
    if (gate == GATE_STM_CARD && host == HOST_ESE && open && m.type == Type::event) return card(m);
    return std::nullopt;
}

// ---- Device manager -----------------------------------------------------------------------------------
std::vector<Message> St21Chip::manager(HciController& c, const Message& m) {
    switch (m.instruction) {
    case DM_READ_ITEM:
        if (m.data.size() != 1) return {answer(m, ANY_E_CMD_PAR_UNKNOWN)};
        if (m.data[0] == ITEM_CLF) return {answer(m, ANY_OK, clf_)};
        if (m.data[0] == ITEM_MODE) return {answer(m, ANY_OK, modeItem_)};
        return {answer(m, ANY_E_REG_PAR_UNKNOWN)};
    case DM_WRITE_ITEM:
        if (m.data.empty()) return {answer(m, ANY_E_CMD_PAR_UNKNOWN)};
        if (m.data[0] == ITEM_CLF && m.data.size() == 1 + clf_.size()) {
            clf_.assign(m.data.begin() + 1, m.data.end());
            ++clfWrites_;
            return {answer(m, ANY_OK)};
        }
        if (m.data[0] == ITEM_MODE && m.data.size() == 3) {
            modeItem_.assign(m.data.begin() + 1, m.data.end());
            return {answer(m, ANY_OK)};
        }
        return {answer(m, ANY_E_CMD_PAR_UNKNOWN)};
    case DM_PIPES: return pipeLists(c, m);
    case DM_SET_ROUTE:
    case DM_GET_ROUTE: return route(m);
    case DM_REBOOT:
    case DM_CUSTOM: return {answer(m, ANY_OK)};
    default: return {};   // the registry of the gate: the standard handling
    }
}

// The pipes of a host: the terminal's are those it created; a secure element's lead to it.
std::vector<Message> St21Chip::pipeLists(HciController& c, const Message& m) {
    if (m.data.size() == 2 && m.data[0] == DM_PIPE_LIST) {
        Bytes ids;
        for (const auto& [id, pipe] : c.pipesHeld())
            if (id >= kFirstDynamic && pipe.host == m.data[1]) ids.push_back(id);
        return {answer(m, ANY_OK, ids)};
    }
    if (m.data.size() == 3 && m.data[0] == DM_PIPE_INFO) {
        const auto it = c.pipesHeld().find(m.data[2]);
        if (it == c.pipesHeld().end() || it->first < kFirstDynamic || it->second.host != m.data[1])
            return {answer(m, ANY_E_NOK)};
        const HciController::Pipe& pipe = it->second;
        const uint8_t state = pipe.open ? PIPE_STATE_OPEN : PIPE_STATE_CLOSED;
        const uint8_t destination = pipe.host == HOST_TERMINAL ? HOST_CONTROLLER : HOST_TERMINAL;
        return {answer(m, ANY_OK, {state, pipe.host, pipe.gate, destination})};
    }
    return {answer(m, ANY_E_CMD_PAR_UNKNOWN)};
}

// Records {index, 19 bytes}; an empty record ends the table there.
std::vector<Message> St21Chip::route(const Message& m) {
    if (m.data.empty() || m.data[0] == 0) return {answer(m, ANY_E_CMD_PAR_UNKNOWN)};
    const uint8_t index = m.data[0];
    if (m.instruction == DM_GET_ROUTE) {
        const auto it = routes_.find(index);
        return {answer(m, ANY_OK, it == routes_.end() ? Bytes{} : it->second)};
    }
    if (m.data.size() != 1 + kRouteRecord) return {answer(m, ANY_E_CMD_PAR_UNKNOWN)};
    const Bytes record(m.data.begin() + 1, m.data.end());
    if (std::all_of(record.begin(), record.end(), [](uint8_t b) { return b == 0; })) {
        routes_.erase(routes_.lower_bound(index), routes_.end());
        return {answer(m, ANY_OK)};
    }
    routes_[index] = record;
    return {answer(m, ANY_OK)};
}

// The SE switches, the Admin host list follows, and the hot plug tells the host.
std::vector<Message> St21Chip::powerEvent(HciController& c, uint8_t event) {
    powerEvents_.push_back({event});
    uint8_t plug = 0;
    switch (event) {
    case EVT_UICC_ON: options_.uiccOn = true; break;
    case EVT_UICC_OFF:
        options_.uiccOn = false;
        plug = kHotPlugOff;
        break;
    case EVT_ESE_ON:
        options_.eseOn = options_.ese;
        plug = kHotPlugEse;
        break;
    case EVT_ESE_OFF:
        options_.eseOn = false;
        plug = kHotPlugEse | kHotPlugOff;
        break;
    default: return {};
    }
    Bytes hosts = {HOST_CONTROLLER, HOST_TERMINAL};
    if (options_.uiccOn) hosts.push_back(HOST_UICC);
    if (options_.eseOn) hosts.push_back(HOST_ESE);
    c.registryOf(GATE_ADMIN)[0x04] = hosts;
    const Message hotPlug{PIPE_ADMIN, Type::event, EVT_HOT_PLUG, {plug}};
    switch (options_.hotPlug) {
    case St21Options::HotPlug::now: return {hotPlug};
    case St21Options::HotPlug::held: heldHotPlugs_.push_back(hotPlug); return {};
    case St21Options::HotPlug::never: return {};
    }
    return {};
}

// ---- Type 1/2 reader ------------------------------------------------------------------------------------
std::optional<std::vector<Message>> St21Chip::typeOneTwo(HciController& c, const Message& m) {
    if (m.type == Type::event) {
        if (m.instruction == EVT_READER_REQUESTED) {
            polling_ = true;
            return discover(c);
        }
        if (m.instruction == EVT_END_OPERATION) {
            polling_ = false;
            released_ = c.tagHeld();
            if (released_) released_->reset();
        }
        return std::vector<Message>{};
    }
    std::shared_ptr<simtags::Tag> tag = c.tagHeld();
    const bool present = tag && !tag->removed();
    if (m.instruction == CMD_PRESENCE) return std::vector<Message>{answer(m, present ? uint8_t{ANY_OK} : uint8_t{ANY_E_TIMEOUT})};
    if (m.instruction != WR_XCHG_DATA) return std::nullopt;
    if (m.data.empty()) return std::vector<Message>{answer(m, ANY_E_CMD_PAR_UNKNOWN)};
    std::optional<Bytes> reply = present ? tag->exchange(Bytes(m.data.begin() + 1, m.data.end())) : std::nullopt;
    if (!reply) return std::vector<Message>{answer(m, ANY_E_TIMEOUT)};
    reply->push_back(0x00);   // the RF status the gate ends each answer with
    return std::vector<Message>{answer(m, ANY_OK, *reply)};
}

// One request polls every reader gate: a Type 1 or Type 2 tag is reported on the type 1/2 gate.
std::optional<std::vector<Message>> St21Chip::readerPolling(HciController& c, const Message& m) {
    if (m.type != Type::event) return std::nullopt;
    if (m.instruction == EVT_END_OPERATION) polling_ = false;
    if (m.instruction != EVT_READER_REQUESTED) return std::nullopt;
    polling_ = true;
    if (options_.felicaTarget && openPipeTo(c, GATE_FELICA_IP1)) return discoverFelica(c);
    const std::shared_ptr<simtags::Tag> tag = c.tagHeld();
    if (!tag || !typeOneTwoTag(*tag) || !openPipeTo(c, GATE_TYPE_1_2)) return std::nullopt;
    return discover(c);
}

// The FeliCa card or NFC-DEP target in the field, on the gate 0x14: SENS_RES (parameter 5) and
// the data rate (parameter 1) are the ones of 212 kbit/s.
std::vector<Message> St21Chip::discoverFelica(HciController& c) {
    HciController::Registry& r = c.registryOf(GATE_FELICA_IP1);
    r[0x03] = *options_.felicaTarget;
    r[0x04] = {0x08, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    r[0x05] = {0x01};
    r[0x01] = {0x01};
    polling_ = false;
    return {Message{*openPipeTo(c, GATE_FELICA_IP1), Type::event, EVT_TARGET_DISCOVERED, {0x00}}};
}

std::vector<Message> St21Chip::discover(HciController& c) {
    const std::shared_ptr<simtags::Tag> tag = c.tagHeld();
    const std::optional<uint8_t> pipe = openPipeTo(c, GATE_TYPE_1_2);
    if (!polling_ || !tag || tag == released_ || tag->removed() || !typeOneTwoTag(*tag) || !pipe) return {};
    HciController::Registry& r = c.registryOf(GATE_TYPE_1_2);
    r[0x02] = tag->a.nfcid1;
    r[0x03] = {tag->a.sensRes[0], tag->a.sensRes[1]};
    r[0x04] = {tag->a.selRes.value_or(0)};
    polling_ = false;
    tag->reset();
    return {Message{*pipe, Type::event, EVT_TARGET_DISCOVERED, {0x00}}};
}

// ---- The eSE's wired card gate ---------------------------------------------------------------------------
std::optional<std::vector<Message>> St21Chip::createCardPipe(HciController& c, const Message& m) {
    if (m.data.size() != 3 || m.data[1] != HOST_ESE) return std::nullopt;
    if (!options_.ese || !options_.eseOn || m.data[2] != GATE_STM_CARD) return std::vector<Message>{answer(m, 0x01)};
    const uint8_t id = freePipe(c);
    if (!id) return std::vector<Message>{answer(m, ADM_E_NO_PIPES_AVAILABLE)};
    c.pipesHeld()[id] = HciController::Pipe{GATE_STM_CARD, HOST_ESE, false};
    return std::vector<Message>{answer(m, ANY_OK, {HOST_TERMINAL, m.data[0], HOST_ESE, GATE_STM_CARD, id})};
}

std::vector<Message> St21Chip::card(const Message& m) {
    if (m.instruction != EVT_CARD_DATA) return {};
    return {Message{m.pipe, Type::event, EVT_CARD_DATA, apdu_(m.data)}};
}

// ---- Faults -------------------------------------------------------------------------------------------------
std::vector<Message> St21Chip::cut(const Message& request, std::vector<Message> answers) {
    const uint8_t first = request.data.empty() ? 0 : request.data[0];
    if (!cutWhat_ || cutWhat_->first != request.instruction || cutWhat_->second != first) return answers;
    cutWhat_.reset();
    for (Message& a : answers)
        if (a.data.size() > cutLength_) a.data.resize(cutLength_);
    return answers;
}

void St21Chip::cutNext(uint8_t instruction, uint8_t first, size_t length) {
    std::lock_guard<std::mutex> lock(m_);
    cutWhat_ = std::make_pair(instruction, first);
    cutLength_ = length;
}

void St21Chip::setRoute(uint8_t index, Bytes record) {
    std::lock_guard<std::mutex> lock(m_);
    routes_[index] = std::move(record);
}

// ---- For the tests -----------------------------------------------------------------------------------------
Bytes St21Chip::clfConfig() const {
    std::lock_guard<std::mutex> lock(m_);
    return clf_;
}

uint8_t St21Chip::nfcMode() const {
    std::lock_guard<std::mutex> lock(m_);
    return nfcMode_;
}

std::map<uint8_t, Bytes> St21Chip::routes() const {
    std::lock_guard<std::mutex> lock(m_);
    return routes_;
}

uint32_t St21Chip::clfWrites() const {
    std::lock_guard<std::mutex> lock(m_);
    return clfWrites_;
}

uint32_t St21Chip::softResets() const {
    std::lock_guard<std::mutex> lock(m_);
    return softResets_;
}

std::vector<Bytes> St21Chip::powerEvents() const {
    std::lock_guard<std::mutex> lock(m_);
    return powerEvents_;
}

std::vector<Message> St21Chip::takeHotPlugs() {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<Message> out(heldHotPlugs_.begin(), heldHotPlugs_.end());
    heldHotPlugs_.clear();
    return out;
}

void St21Chip::setApduResponder(Apdu responder) {
    std::lock_guard<std::mutex> lock(m_);
    apdu_ = std::move(responder);
}

Personality st21Personality(const St21Options& options, std::shared_ptr<St21Chip>* model) {
    Personality p = Personality::plain();
    p.name = options.nfcb ? "ST21NFCB" : "ST21NFCA";
    // The ST21NFCA's reader type defaults to SHDLC length mode; the ST21NFCB frames with flags.
    p.lengthMode = !options.nfcb;
    auto chip = std::make_shared<St21Chip>(options);
    if (model) *model = chip;
    p.chip = chip;
    p.gates = {GATE_LOOPBACK, GATE_IDENTITY, GATE_READER_A, GATE_READER_B, GATE_TYPE_1_2,
               GATE_FELICA_IP1, 0x21, 0x23, GATE_IP1_TARGET};
    p.hardwareVersion = options.hardwareVersion.value_or(options.ese ? Bytes{0x05, 0x30, 0x01} : Bytes{0x00, 0x02, 0x00});
    p.vendor = "Simulated ST21";
    p.hostList = {HOST_CONTROLLER, HOST_TERMINAL};
    if (options.uiccOn) p.hostList.push_back(HOST_UICC);
    if (options.ese && options.eseOn) p.hostList.push_back(HOST_ESE);
    return p;
}

}  // namespace hcisim
