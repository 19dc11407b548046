// Written from the NCI RF communication state machine (poll side), the RF_DISCOVER,
// RF_DISCOVER_SELECT, RF_INTF_ACTIVATED and RF_DEACTIVATE messages, and the Frame, ISO-DEP and
// NFC-DEP RF interfaces of the NCI 1.0/2.0 definitions.
#include "nci/nci_sim_rf.h"

#include <algorithm>

namespace ncisim {
namespace {

using simtags::Bytes;
using simtags::Protocol;
using simtags::Tag;
using simtags::Technology;

constexpr uint8_t STATIC_CONNECTION = 0;
constexpr uint8_t INTERFACE_FRAME = 0x01, INTERFACE_ISO_DEP = 0x02, INTERFACE_NFC_DEP = 0x03, INTERFACE_MAKER_MIFARE = 0x80;
// Maker 0x04's MIFARE interface: requests carry a code, then the card's own bytes.
constexpr uint8_t MF_REQUEST = 0x10, MF_AUTHENTICATE = 0x40, MF_SECTOR_SELECT = 0x32;
constexpr uint8_t DEACTIVATE_IDLE = 0, DEACTIVATE_DISCOVERY = 3;
constexpr uint8_t REASON_DH_REQUEST = 0x00, REASON_LINK_LOSS = 0x02;
constexpr uint8_t NOTIFICATION_LAST = 0x00, NOTIFICATION_MORE = 0x02;
constexpr uint8_t PROTOCOL_ISO_DEP = 0x04, PROTOCOL_NFC_DEP = 0x05;
constexpr uint8_t BIT_RATE_106 = 0x00, BIT_RATE_26 = 0x20;
constexpr uint8_t CONFIG_RF_FIELD_INFO = 0x80;

uint8_t techMode(Technology t) {
    switch (t) {
    case Technology::A: return 0x00;
    case Technology::B: return 0x01;
    case Technology::F: return 0x02;
    case Technology::V: return 0x06;
    case Technology::Kovio: return 0x77;
    }
    return 0xFF;
}

// Poll and listen values of NFC-A, B, F and V, active modes, and the proprietary ranges.
bool knownTechMode(uint8_t v) {
    uint8_t base = v & 0x7F;
    return base <= 0x03 || base == 0x05 || base == 0x06 || (base >= 0x70 && base <= 0x7F);
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes withLength(const Bytes& bytes) {
    Bytes out{static_cast<uint8_t>(bytes.size())};
    append(out, bytes);
    return out;
}

Bytes techParams(const Tag& tag) {
    switch (tag.technology) {
    case Technology::A: {
        Bytes out{tag.a.sensRes[0], tag.a.sensRes[1]};
        append(out, withLength(tag.a.nfcid1));
        out.push_back(tag.a.selRes ? 1 : 0);
        if (tag.a.selRes) out.push_back(*tag.a.selRes);
        return out;
    }
    case Technology::B: return withLength(tag.b.sensbRes);
    case Technology::F: {
        Bytes out{tag.f.bitRate};
        append(out, withLength(tag.f.sensfRes));
        return out;
    }
    case Technology::V: {
        Bytes out{tag.v.responseFlags, tag.v.dsfid};
        out.insert(out.end(), tag.v.uid.rbegin(), tag.v.uid.rend());   // as it travels: least significant first
        return out;
    }
    case Technology::Kovio: return tag.barcode;
    }
    return {};
}

Bytes activationParams(const Tag& tag, uint8_t rfInterface) {
    if (rfInterface == INTERFACE_NFC_DEP) return withLength(tag.atrRes);
    if (rfInterface != INTERFACE_ISO_DEP) return {};
    return withLength(tag.technology == Technology::B ? tag.attribRes : tag.ats);
}

// SEL_RES bit 0x40: the card speaks NFC-DEP beside ISO-DEP.
bool offersNfcDep(const Tag& tag) {
    return tag.technology == Technology::A && tag.protocol == Protocol::IsoDep && tag.a.selRes && (*tag.a.selRes & 0x40);
}

uint8_t bitRate(const Tag& tag) {
    if (tag.technology == Technology::F) return tag.f.bitRate;
    if (tag.technology == Technology::V) return BIT_RATE_26;
    return BIT_RATE_106;
}

} // namespace

void RfModel::install() {
    auto bind = [this](void (RfModel::*fn)(const NciMessage&)) {
        return [this, fn](Controller&, const NciMessage& m) { (this->*fn)(m); };
    };
    MessageHandler coreMap = c_.handler(RF_DISCOVER_MAP_CMD);
    c_.onCommand(RF_DISCOVER_MAP_CMD, [this, coreMap](Controller& c, const NciMessage& m) {
        discoverMap(m);
        if (coreMap) coreMap(c, m);
    });
    c_.onReset([this](bool resetConfig) { reset(resetConfig); });
    c_.onCommand(RF_DISCOVER_CMD, bind(&RfModel::discover));
    c_.onCommand(RF_DISCOVER_SELECT_CMD, bind(&RfModel::select));
    c_.onCommand(RF_DEACTIVATE_CMD, bind(&RfModel::deactivate));
    c_.onCommand(RF_T3T_POLLING_CMD, bind(&RfModel::t3tPolling));
    c_.onCommand(RF_PARAMETER_UPDATE_CMD, bind(&RfModel::parameterUpdate));
    routing_.install();
}

// ---- The field.

void RfModel::enter(TagPtr tag) {
    if (!tag || present(tag)) return;
    field_.push_back(std::move(tag));
    if (state_ == RfState::Discovery) poll();
}

void RfModel::leave(const TagPtr& tag) {
    if (!present(tag)) return;
    field_.erase(std::find(field_.begin(), field_.end(), tag));
    tag->reset();
    if (state_ != RfState::PollActive || active_->tag != tag) return;
    if (settings_.removal == Removal::Silent) {
        activeLost_ = true;
        return;
    }
    endActivation();
    c_.respond(RF_DEACTIVATE_NTF, {DEACTIVATE_DISCOVERY, REASON_LINK_LOSS});
    toDiscovery();
}

void RfModel::remoteField(bool on) {
    auto it = c_.config().find(CONFIG_RF_FIELD_INFO);
    if (it != c_.config().end() && it->second == Bytes{0x01}) c_.respond(RF_FIELD_INFO_NTF, {static_cast<uint8_t>(on)});
}

bool RfModel::present(const TagPtr& tag) const { return std::find(field_.begin(), field_.end(), tag) != field_.end(); }

uint8_t RfModel::protocolOf(const Tag& tag) const {
    switch (tag.protocol) {
    case Protocol::T1T: return 0x01;
    case Protocol::T2T: return 0x02;
    case Protocol::T3T: return 0x03;
    case Protocol::IsoDep: return PROTOCOL_ISO_DEP;
    case Protocol::T5T: return settings_.t5tProtocol;
    case Protocol::Kovio: return 0x8A;
    case Protocol::Mifare: return 0x80;
    case Protocol::NfcDep: return PROTOCOL_NFC_DEP;
    }
    return 0x00;
}

// The host's RF_DISCOVER_MAP decides; a protocol it did not map goes through the Frame RF interface.
uint8_t RfModel::interfaceFor(const Tag& tag) const {
    auto it = pollMapping_.find(protocolOf(tag));
    return it == pollMapping_.end() ? INTERFACE_FRAME : it->second;
}

// ---- Discovery, selection and activation.

void RfModel::discoverMap(const NciMessage& m) {
    const auto& p = m.payload;
    if (p.empty() || p.size() != 1u + 3u * p[0]) return;   // the core refuses it
    for (size_t k = 1; k < p.size(); k += 3)
        if (p[k + 1] & 0x01) pollMapping_[p[k]] = p[k + 2];
}

void RfModel::discover(const NciMessage& m) {
    const auto& p = m.payload;
    if (p.empty() || p[0] == 0 || p.size() != 1u + 2u * p[0]) return c_.respond(RF_DISCOVER_RSP, {STATUS_SYNTAX_ERROR});
    if (state_ != RfState::Idle) return c_.respond(RF_DISCOVER_RSP, {STATUS_DISCOVERY_ALREADY_STARTED});
    std::set<uint8_t> modes;
    for (size_t k = 1; k < p.size(); k += 2) {
        if (!knownTechMode(p[k])) return c_.respond(RF_DISCOVER_RSP, {STATUS_INVALID_PARAM});
        modes.insert(p[k]);
    }
    pollModes_ = std::move(modes);
    c_.respond(RF_DISCOVER_RSP, {STATUS_OK});
    toDiscovery();
}

void RfModel::toDiscovery() {
    state_ = RfState::Discovery;
    endpoints_.clear();
    poll();
}

void RfModel::toIdle() {
    state_ = RfState::Idle;
    endpoints_.clear();
}

// One round of polling: a single tag is activated at once, several are announced.
void RfModel::poll() {
    std::vector<TagPtr> found;
    for (const auto& tag : field_)
        if (pollModes_.count(techMode(tag->technology))) found.push_back(tag);
    if (found.empty()) {
        listenPoll();
        return;
    }
    for (size_t k = 0; k < found.size(); ++k) {
        const auto id = static_cast<uint8_t>(k + 1);
        endpoints_.push_back({id, found[k], protocolOf(*found[k])});
        if (offersNfcDep(*found[k])) endpoints_.push_back({id, found[k], PROTOCOL_NFC_DEP});
    }
    if (endpoints_.size() == 1) return activate(endpoints_.front(), interfaceFor(*found.front()));

    for (size_t k = 0; k < endpoints_.size(); ++k) {
        const Tag& tag = *endpoints_[k].tag;
        Bytes p{endpoints_[k].id, endpoints_[k].protocol, techMode(tag.technology)};
        append(p, withLength(techParams(tag)));
        p.push_back(k + 1 < endpoints_.size() ? NOTIFICATION_MORE : NOTIFICATION_LAST);
        c_.respond(RF_DISCOVER_NTF, std::move(p));
    }
    state_ = RfState::W4HostSelect;
}

void RfModel::select(const NciMessage& m) {
    const auto& p = m.payload;
    if (p.size() != 3) return c_.respond(RF_DISCOVER_SELECT_RSP, {STATUS_SYNTAX_ERROR});
    if (state_ != RfState::W4HostSelect) return c_.respond(RF_DISCOVER_SELECT_RSP, {STATUS_SEMANTIC_ERROR});
    auto it = std::find_if(endpoints_.begin(), endpoints_.end(),
                           [&](const Endpoint& e) { return e.id == p[0] && e.protocol == p[1]; });
    const auto& interfaces = c_.identity().rfInterfaces;
    bool fits = it != endpoints_.end() &&
                std::find(interfaces.begin(), interfaces.end(), p[2]) != interfaces.end() &&
                (p[2] != INTERFACE_ISO_DEP || p[1] == PROTOCOL_ISO_DEP) && (p[2] != INTERFACE_NFC_DEP || p[1] == PROTOCOL_NFC_DEP);
    if (!fits) return c_.respond(RF_DISCOVER_SELECT_RSP, {STATUS_REJECTED});
    c_.respond(RF_DISCOVER_SELECT_RSP, {STATUS_OK});
    if (!present(it->tag)) {
        // The activation failed: the controller says so and discovers again.
        c_.respond(CORE_GENERIC_ERROR_NTF, {STATUS_DISCOVERY_TARGET_ACTIVATION_FAILED});
        return toDiscovery();
    }
    activate(*it, p[2]);
}

void RfModel::openStaticConnection() {
    Connection rf;
    rf.id = STATIC_CONNECTION;
    rf.maxPayload = settings_.maxDataPayload;
    rf.credits = settings_.initialCredits;
    rf.autoCredits = settings_.creditReturn == CreditReturn::PerPacket;
    rf.onData = [this](Controller&, const NciMessage& m) { data(m); };
    c_.closeConnection(STATIC_CONNECTION);
    c_.openConnection(std::move(rf));
}

void RfModel::activate(const Endpoint& endpoint, uint8_t rfInterface) {
    const Tag& tag = *endpoint.tag;
    openStaticConnection();

    uint8_t mode = techMode(tag.technology);
    Bytes p{endpoint.id, rfInterface, endpoint.protocol, mode, settings_.maxDataPayload, settings_.initialCredits};
    append(p, withLength(techParams(tag)));
    p.insert(p.end(), {mode, bitRate(tag), bitRate(tag)});
    append(p, withLength(activationParams(tag, rfInterface)));
    c_.respond(RF_INTF_ACTIVATED_NTF, std::move(p));

    active_ = endpoint;
    activeInterface_ = rfInterface;
    activeLost_ = false;
    state_ = RfState::PollActive;
}

void RfModel::endActivation() {
    c_.closeConnection(STATIC_CONNECTION);
    active_->tag->reset();
    active_.reset();
    pendingWrite_.reset();
}

void RfModel::discoveryError(uint8_t status) {
    c_.respond(CORE_GENERIC_ERROR_NTF, {status});
    const bool discovering = state_ == RfState::Discovery || state_ == RfState::W4HostSelect;
    if (discovering && (status == STATUS_DISCOVERY_TARGET_ACTIVATION_FAILED || status == STATUS_DISCOVERY_TEAR_DOWN))
        toDiscovery();
}

// ---- Deactivation.

void RfModel::deactivate(const NciMessage& m) {
    const auto& p = m.payload;
    if (p.size() != 1) return c_.respond(RF_DEACTIVATE_RSP, {STATUS_SYNTAX_ERROR});
    const uint8_t type = p[0];
    if (type > DEACTIVATE_DISCOVERY) return c_.respond(RF_DEACTIVATE_RSP, {STATUS_INVALID_PARAM});
    if (state_ == RfState::ListenActive || state_ == RfState::ListenSleep) return listenDeactivate(type);
    // Before activation only the way back to idle is open, and it needs no notification.
    if (state_ == RfState::Idle || (state_ != RfState::PollActive && type != DEACTIVATE_IDLE))
        return c_.respond(RF_DEACTIVATE_RSP, {STATUS_SEMANTIC_ERROR});
    c_.respond(RF_DEACTIVATE_RSP, {STATUS_OK});
    if (state_ != RfState::PollActive) return toIdle();

    endActivation();
    c_.respond(RF_DEACTIVATE_NTF, {type, REASON_DH_REQUEST});
    if (type == DEACTIVATE_IDLE) return toIdle();
    if (type == DEACTIVATE_DISCOVERY) return toDiscovery();
    state_ = RfState::W4HostSelect;   // sleep: the discovered endpoints stay selectable
}

void RfModel::reset(bool resetConfig) {
    if (active_) endActivation();
    c_.closeConnection(STATIC_CONNECTION);
    poller_.reset();
    for (const auto& tag : field_) tag->reset();
    toIdle();
    pollModes_.clear();
    if (resetConfig) pollMapping_.clear();
}

// ---- Data on the static RF connection.

void RfModel::data(const NciMessage& m) {
    if (state_ == RfState::ListenActive) return listenData(m);
    if (!active_) return;
    if (activeLost_) return interfaceError(STATUS_RF_TIMEOUT_ERROR);
    Tag& tag = *active_->tag;
    // An ISO-DEP card seen through the Frame RF interface waits for RATS, not for these frames.
    if (activeInterface_ == INTERFACE_FRAME && tag.protocol == Protocol::IsoDep) return interfaceError(STATUS_RF_PROTOCOL_ERROR);
    auto answer = activeInterface_ == INTERFACE_MAKER_MIFARE ? mifare(tag, m.payload) : tag.exchange(m.payload);
    if (!answer) {
        interfaceError(STATUS_RF_TIMEOUT_ERROR);
    } else {
        // The Frame RF interface and the maker's MIFARE interface end an answer with a status byte;
        // some controllers give ISO 15693 answers without it.
        const bool status = tag.protocol != Protocol::T5T || settings_.t5tFrameStatus;
        if ((activeInterface_ == INTERFACE_FRAME && status) || activeInterface_ == INTERFACE_MAKER_MIFARE)
            answer->push_back(STATUS_OK);
        c_.sendData(STATIC_CONNECTION, std::move(*answer));
        returnCredits();
    }
    // A tag whose fault plan takes it out of the field leaves now, as if the test had taken it.
    if (tag.removed()) leave(TagPtr(active_->tag));
}

// Authentication by sector and key selector; a write comes in two requests, the block first and
// then its data, as the card takes it on air.
std::optional<Bytes> RfModel::mifare(Tag& tag, const Bytes& request) {
    if (request.empty()) return std::nullopt;
    const Bytes body(request.begin() + 1, request.end());
    switch (request[0]) {
    case MF_AUTHENTICATE: {
        if (body.size() != 8 || tag.a.nfcid1.size() < 4) return Bytes{MF_AUTHENTICATE, 0x01};
        const uint8_t sector = body[0];
        const uint8_t block = static_cast<uint8_t>(sector < 32 ? 4 * sector : 128 + 16 * (sector - 32));
        const auto& uid = tag.a.nfcid1;
        const size_t from = uid.size() > 4 ? 3 : 0;
        Bytes command{static_cast<uint8_t>(body[1] & 0x80 ? 0x61 : 0x60), block};
        command.insert(command.end(), uid.begin() + from, uid.begin() + from + 4);
        command.insert(command.end(), body.begin() + 2, body.end());
        const auto answer = tag.exchange(command);
        const bool ok = answer && tag.judge(*answer) != simtags::Reply::AuthenticationFailed;
        return Bytes{MF_AUTHENTICATE, static_cast<uint8_t>(ok ? 0x00 : 0x03)};
    }
    case MF_SECTOR_SELECT: return Bytes{MF_SECTOR_SELECT, 0x00};
    case MF_REQUEST: {
        if (pendingWrite_) {
            Bytes command{0xA0, *pendingWrite_};
            pendingWrite_.reset();
            command.insert(command.end(), body.begin(), body.end());
            auto answer = tag.exchange(command);
            if (!answer) return std::nullopt;
            answer->insert(answer->begin(), MF_REQUEST);
            return answer;
        }
        if (body.size() == 2 && body[0] == 0xA0) {
            pendingWrite_ = body[1];
            return Bytes{MF_REQUEST, 0x0A};
        }
        auto answer = tag.exchange(body);
        if (!answer) return std::nullopt;
        answer->insert(answer->begin(), MF_REQUEST);
        return answer;
    }
    default: return std::nullopt;
    }
}

void RfModel::interfaceError(uint8_t status) {
    c_.respond(CORE_INTERFACE_ERROR_NTF, {status, STATIC_CONNECTION});
    returnCredits();
}

void RfModel::returnCredits() {
    Connection* rf = c_.connection(STATIC_CONNECTION);
    if (settings_.creditReturn != CreditReturn::AfterAnswer || !rf || rf->credits >= settings_.initialCredits) return;
    c_.grantCredits(STATIC_CONNECTION, static_cast<uint8_t>(settings_.initialCredits - rf->credits));
}

// RF_T3T_POLLING_CMD: system code (2), request code, time slots; every Type 3 tag in the field may answer.
void RfModel::t3tPolling(const NciMessage& m) {
    const auto& p = m.payload;
    if (p.size() != 4) return c_.respond(RF_T3T_POLLING_RSP, {STATUS_SYNTAX_ERROR});
    if (state_ != RfState::PollActive || active_->tag->protocol != Protocol::T3T)
        return c_.respond(RF_T3T_POLLING_RSP, {STATUS_SEMANTIC_ERROR});
    c_.respond(RF_T3T_POLLING_RSP, {STATUS_OK});
    Bytes responses;
    uint8_t count = 0;
    for (const auto& tag : field_) {
        if (tag->protocol != Protocol::T3T) continue;
        auto answer = tag->exchange({0x06, 0x00, p[0], p[1], p[2], p[3]});
        if (!answer || answer->size() < 2) continue;
        append(responses, withLength(Bytes(answer->begin() + 2, answer->end())));   // without length and response code
        ++count;
    }
    Bytes ntf{count ? STATUS_OK : STATUS_RF_TIMEOUT_ERROR, count};
    append(ntf, responses);
    c_.respond(RF_T3T_POLLING_NTF, std::move(ntf));
}

// RF_PARAMETER_UPDATE_CMD: count, then {id, length, value}; the technology and mode, the two bit
// rates and the NFC-B data exchange configuration, each one byte, while the Frame RF interface is active.
void RfModel::parameterUpdate(const NciMessage& m) {
    const auto& p = m.payload;
    Bytes invalid;
    size_t pos = 1;
    for (size_t k = 0; !p.empty() && k < p[0]; ++k) {
        if (pos + 2 > p.size() || pos + 2 + p[pos + 1] > p.size()) break;
        if (p[pos] > 0x03 || p[pos + 1] != 1) invalid.push_back(p[pos]);
        pos += 2 + p[pos + 1];
    }
    if (p.empty() || pos != p.size()) return c_.respond(RF_PARAMETER_UPDATE_RSP, {STATUS_SYNTAX_ERROR, 0x00});
    if (state_ != RfState::PollActive || activeInterface_ != INTERFACE_FRAME)
        return c_.respond(RF_PARAMETER_UPDATE_RSP, {STATUS_SEMANTIC_ERROR, 0x00});
    Bytes rsp{invalid.empty() ? STATUS_OK : STATUS_INVALID_PARAM, static_cast<uint8_t>(invalid.size())};
    append(rsp, invalid);
    c_.respond(RF_PARAMETER_UPDATE_RSP, std::move(rsp));
}

// ---- The test's handle.

// A carried call that timed out may still run later: it holds copies, never the caller's locals.
void RfField::enter(TagPtr tag) {
    call_([this, tag](Controller&) { model_.enter(tag); });
}
void RfField::leave(const TagPtr& tag) {
    call_([this, tag](Controller&) { model_.leave(tag); });
}
void RfField::approach(PollerPtr poller) {
    call_([this, poller](Controller&) { model_.approach(poller); });
}
void RfField::sleepPoller() {
    call_([this](Controller&) { model_.sleepPoller(); });
}
void RfField::wakePoller() {
    call_([this](Controller&) { model_.wakePoller(); });
}
void RfField::departPoller() {
    call_([this](Controller&) { model_.departPoller(); });
}
void RfField::configure(const RfSettings& settings) {
    call_([this, settings](Controller&) { model_.settings() = settings; });
}
RfState RfField::state() {
    auto s = std::make_shared<RfState>(RfState::Idle);
    call_([this, s](Controller&) { *s = model_.state(); });
    return *s;
}
void RfField::remoteField(bool on) {
    call_([this, on](Controller&) { model_.remoteField(on); });
}
void RfField::grantCredits(uint8_t credits) {
    call_([credits](Controller& c) { c.grantCredits(STATIC_CONNECTION, credits); });
}

} // namespace ncisim
