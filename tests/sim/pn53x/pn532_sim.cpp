#include "pn53x/pn532_sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace pn53xsim {

namespace {

constexpr uint8_t kTfiHost = 0xD4;
constexpr uint8_t kTfiController = 0xD5;
constexpr uint8_t kGetFirmwareVersion = 0x02;
constexpr uint8_t kSamConfiguration = 0x14;
constexpr uint8_t kRfConfiguration = 0x32;
constexpr uint8_t kInListPassiveTarget = 0x4A;
constexpr uint8_t kInDataExchange = 0x40;
constexpr uint8_t kInSelect = 0x54;
constexpr uint8_t kInRelease = 0x52;
constexpr uint8_t kRegulationTest = 0x58;
constexpr uint8_t kInJumpForDep = 0x56;
constexpr uint8_t kTgInitAsTarget = 0x8C;
constexpr uint8_t kTgGetData = 0x86;
constexpr uint8_t kTgSetData = 0x8E;
constexpr uint8_t kTgSetMetaData = 0x94;
constexpr uint8_t kTgGetInitiatorCommand = 0x88;
constexpr uint8_t kTgResponseToInitiator = 0x90;
constexpr uint8_t kStatusMore = 0x40;
constexpr uint8_t kStatusReleased = 0x29;
constexpr uint8_t kBrTyDep = 0xDE;          // marks a wait of InJumpForDEP, which has no BrTy
constexpr size_t kDepPiece = 240;
constexpr uint8_t kGetGeneralStatus = 0x04;
constexpr uint8_t kReadRegister = 0x06;
constexpr uint8_t kWriteRegister = 0x08;
constexpr uint8_t kReadGpio = 0x0C;
constexpr uint8_t kWriteGpio = 0x0E;
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusTimeout = 0x01;
constexpr uint8_t kStatusCrc = 0x02;
constexpr uint8_t kStatusAuthentication = 0x14;
constexpr uint8_t kStatusNoTarget = 0x27;
constexpr uint8_t kBrTyA = 0x00, kBrTyF212 = 0x01, kBrTyF424 = 0x02, kBrTyB = 0x03, kBrTyJewel = 0x04;

bool answersTo(const simtags::Tag& tag, uint8_t brTy) {
    using simtags::Protocol;
    using simtags::Technology;
    switch (brTy) {
    case kBrTyA: return tag.technology == Technology::A && tag.protocol != Protocol::T1T;
    case kBrTyDep: return tag.protocol == Protocol::NfcDep;
    case kBrTyJewel: return tag.protocol == Protocol::T1T;
    case kBrTyB: return tag.technology == Technology::B;
    case kBrTyF212:
    case kBrTyF424: return tag.technology == Technology::F && tag.f.bitRate == brTy;
    default: return false;
    }
}

uint8_t checksum(const Bytes& bytes, size_t from, size_t to) {
    uint8_t sum = 0;
    for (size_t i = from; i < to; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(0x100 - sum);
}

void append(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

Bytes concatenated(Bytes a, const Bytes& b) {
    append(a, b);
    return a;
}

}  // namespace

Pn532Sim::Pn532Sim() {
    setFirmware(0x32, 0x01, 0x06, 0x07);
    onCommand(kSamConfiguration, [](const Bytes&) { return Bytes{}; });
    onCommand(kRfConfiguration, [](const Bytes&) { return Bytes{}; });
}

void Pn532Sim::setFirmware(uint8_t ic, uint8_t version, uint8_t revision, uint8_t support) {
    onCommand(kGetFirmwareVersion, [=](const Bytes&) { return Bytes{ic, version, revision, support}; });
}

void Pn532Sim::onCommand(uint8_t code, Handler handler) {
    std::lock_guard lock(m_);
    handlers_[code] = std::move(handler);
}

void Pn532Sim::inject(Fault fault) {
    std::lock_guard lock(m_);
    faults_.push_back(fault);
}

void Pn532Sim::enter(std::shared_ptr<simtags::Tag> tag) {
    std::lock_guard lock(m_);
    tag_ = std::move(tag);
    if (!waitingFor_ || !answersTo(*tag_, *waitingFor_)) return;
    const uint8_t code = *waitingFor_ == kBrTyDep ? kInJumpForDep + 1 : kInListPassiveTarget + 1;
    append(late_, frame(code, *targetData(*waitingFor_)));
    waitingFor_.reset();
}

void Pn532Sim::approach(std::shared_ptr<simpeers::RemotePoller> poller) {
    std::lock_guard lock(m_);
    poller_ = std::move(poller);
    if (!waitingAsTarget_) return;
    if (const std::optional<Bytes> first = initiatorCommand()) {
        append(late_, frame(kTgInitAsTarget + 1, *first));
        waitingAsTarget_ = false;
    }
}

void Pn532Sim::withdraw() {
    std::lock_guard lock(m_);
    poller_.reset();
}

void Pn532Sim::leave() {
    std::lock_guard lock(m_);
    if (tag_) tag_->reset();
    tag_.reset();
}

Bytes Pn532Sim::takeLate() {
    std::lock_guard lock(m_);
    Bytes out;
    out.swap(late_);
    return out;
}

void Pn532Sim::withTag(const std::function<void(simtags::Tag*)>& f) {
    std::lock_guard lock(m_);
    f(tag_.get());
}

// Target data of one target: NbTg, Tg and what the kind of target reveals, as the controller
// lists it (SENS_RES most significant byte first).
std::optional<Bytes> Pn532Sim::targetData(uint8_t brTy) const {
    if (!tag_ || tag_->removed() || !answersTo(*tag_, brTy)) return std::nullopt;
    const simtags::Tag& t = *tag_;
    if (brTy == kBrTyDep) return concatenated({kStatusOk, 0x01}, t.atrRes);
    Bytes out{0x01, 0x01};
    switch (brTy) {
    case kBrTyA:
        append(out, {t.a.sensRes[1], t.a.sensRes[0], t.a.selRes.value_or(0), static_cast<uint8_t>(t.a.nfcid1.size())});
        append(out, t.a.nfcid1);
        if (t.protocol == simtags::Protocol::IsoDep) {
            out.push_back(static_cast<uint8_t>(t.ats.size() + 1));
            append(out, t.ats);
        }
        break;
    case kBrTyJewel:
        append(out, {t.a.sensRes[1], t.a.sensRes[0]});
        append(out, Bytes(t.a.nfcid1.begin(), t.a.nfcid1.begin() + std::min<size_t>(4, t.a.nfcid1.size())));
        break;
    case kBrTyB:
        out.push_back(0x50);
        append(out, t.b.sensbRes);
        out.push_back(static_cast<uint8_t>(t.attribRes.size()));
        append(out, t.attribRes);
        break;
    default:
        out.push_back(static_cast<uint8_t>(t.f.sensfRes.size() + 2));
        out.push_back(0x01);
        append(out, t.f.sensfRes);
        break;
    }
    return out;
}

// The first command of the device that polls the controller as target: mode byte, then the
// command (an ATR_REQ with its length byte and command bytes, or a RATS).
std::optional<Bytes> Pn532Sim::initiatorCommand() const {
    if (!poller_) return std::nullopt;
    if (poller_->protocol == simtags::Protocol::NfcDep)
        return concatenated({0x04, static_cast<uint8_t>(poller_->activation.size() + 3), 0xD4, 0x00}, poller_->activation);
    if (poller_->protocol == simtags::Protocol::IsoDep && poller_->technology == simtags::Technology::A)
        return concatenated({0x08, 0xE0}, poller_->activation);
    if (poller_->protocol == simtags::Protocol::T3T && !poller_->log.toSend.empty()) {
        // A FeliCa reader's first command comes with the activation itself.
        Bytes out = concatenated({0x02}, poller_->log.toSend.front());
        poller_->log.toSend.pop_front();
        return out;
    }
    return std::nullopt;
}

// The device's next command, in pieces of 240 with status 0x40 while more follows.
Bytes Pn532Sim::targetGet() {
    if (targetIn_.empty()) {
        if (!poller_ || poller_->log.toSend.empty()) return {kStatusReleased};
        targetIn_ = poller_->log.toSend.front();
        poller_->log.toSend.pop_front();
    }
    const size_t n = std::min(targetIn_.size(), kDepPiece);
    Bytes out{static_cast<uint8_t>(targetIn_.size() > n ? kStatusMore : kStatusOk)};
    out.insert(out.end(), targetIn_.begin(), targetIn_.begin() + static_cast<long>(n));
    targetIn_.erase(targetIn_.begin(), targetIn_.begin() + static_cast<long>(n));
    return out;
}

Bytes Pn532Sim::targetSet(const Bytes& data, bool last) {
    if (!poller_) return {kStatusReleased};
    append(targetOut_, data);
    if (last) {
        poller_->log.take(targetOut_);
        targetOut_.clear();
    }
    return {kStatusOk};
}

// InDataExchange with an NFC-DEP target: whole frames each way, in pieces.
Bytes Pn532Sim::depExchange(const Bytes& data) {
    const bool more = data[0] & 0x40;
    append(depIn_, Bytes(data.begin() + 1, data.end()));
    if (more) return {kStatusOk};
    if (depIn_.empty() && !depOut_.empty()) {
        // The host fetches the next piece of the answer.
    } else {
        const std::optional<Bytes> answer = tag_->removed() ? std::nullopt : tag_->exchange(depIn_);
        depIn_.clear();
        if (!answer) return {kStatusTimeout};
        depOut_ = *answer;
    }
    const size_t n = std::min(depOut_.size(), kDepPiece);
    Bytes out{static_cast<uint8_t>(depOut_.size() > n ? kStatusMore : kStatusOk)};
    out.insert(out.end(), depOut_.begin(), depOut_.begin() + static_cast<long>(n));
    depOut_.erase(depOut_.begin(), depOut_.begin() + static_cast<long>(n));
    return out;
}

// InDataExchange: Tg, then the bytes for the target; the answer's status byte leads.
Bytes Pn532Sim::dataExchange(const Bytes& data) {
    if (data.empty() || (data[0] & 0x0F) != 1 || !tag_) return {kStatusNoTarget};
    if (tag_->protocol == simtags::Protocol::NfcDep) return depExchange(data);
    Bytes command(data.begin() + 1, data.end());
    if (tag_->protocol == simtags::Protocol::Mifare && command.size() == 12 && (command[0] == 0x60 || command[0] == 0x61)) {
        Bytes card{command[0], command[1]};
        append(card, Bytes(command.begin() + 8, command.end()));
        append(card, Bytes(command.begin() + 2, command.begin() + 8));
        command = card;
    }
    const std::optional<Bytes> answer = tag_->removed() ? std::nullopt : tag_->exchange(command);
    if (!answer) return {kStatusTimeout};
    switch (tag_->judge(*answer)) {
    case simtags::Reply::AuthenticationFailed: return {kStatusAuthentication};
    case simtags::Reply::Nak: return {kStatusCrc};
    case simtags::Reply::Ack: return {kStatusOk};
    case simtags::Reply::Data: break;
    }
    Bytes out{kStatusOk};
    append(out, *answer);
    return out;
}

// The RF commands' answer data; nothing while InListPassiveTarget waits for a target.
bool Pn532Sim::rf(const Command& command, std::optional<Bytes>& data) {
    const Bytes& d = command.data;
    switch (command.code) {
    case kInListPassiveTarget: {
        const uint8_t brTy = d.size() >= 2 ? d[1] : 0xFF;
        data = targetData(brTy);
        if (!data) waitingFor_ = brTy;
        return true;
    }
    case kInDataExchange: data = dataExchange(d); return true;
    case kInJumpForDep:
        data = targetData(kBrTyDep);
        if (!data) waitingFor_ = kBrTyDep;
        return true;
    case kTgInitAsTarget:
        data = initiatorCommand();
        waitingAsTarget_ = !data;
        return true;
    case kTgGetData:
    case kTgGetInitiatorCommand: data = targetGet(); return true;
    case kTgResponseToInitiator: data = targetSet(d, true); return true;
    case kTgSetData:
    case kTgSetMetaData: data = targetSet(d, command.code == kTgSetData); return true;
    case kRegulationTest: return true;   // the controller sends until the next command, answering nothing
    case kGetGeneralStatus: {
        // Err, Field, NbTg, one target's Tg, BrRx, BrTx and modulation, SAM status.
        data = tag_ ? Bytes{0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00} : Bytes{0x00, 0x00, 0x00, 0x00};
        return true;
    }
    case kReadRegister:
    case kWriteRegister: {
        // Pairs of address bytes to read, or address pairs with the value to write.
        const size_t step = command.code == kReadRegister ? 2 : 3;
        if (d.size() % step) return true;
        data = Bytes{};
        for (size_t i = 0; i < d.size(); i += step) {
            uint8_t& reg = registers_[static_cast<uint16_t>(d[i] << 8 | d[i + 1])];
            if (step == 3) reg = d[i + 2];
            else data->push_back(reg);
        }
        if (step == 3) data->clear();
        return true;
    }
    case kReadGpio: data = Bytes{gpio_[0], gpio_[1], gpio_[2]}; return true;
    case kWriteGpio:
        // A port byte with bit 7 set is written, the others left alone.
        for (size_t i = 0; i < std::min<size_t>(d.size(), 2); ++i)
            if (d[i] & 0x80) gpio_[i] = d[i] & 0x7F;
        data = Bytes{};
        return true;
    case kInSelect:
    case kInRelease:
        if (command.code == kInRelease && tag_) tag_->reset();
        data = Bytes{static_cast<uint8_t>(tag_ ? kStatusOk : kStatusNoTarget)};
        return true;
    default: return false;
    }
}

std::vector<Command> Pn532Sim::commands() const {
    std::lock_guard lock(m_);
    return commands_;
}
bool Pn532Sim::waitForCommands(uint8_t code, size_t n, uint32_t timeoutMs) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return static_cast<size_t>(std::count_if(commands_.begin(), commands_.end(),
                                                 [code](const Command& c) { return c.code == code; })) >= n;
    });
}

bool Pn532Sim::waitUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

size_t Pn532Sim::hostAcks() const {
    std::lock_guard lock(m_);
    return hostAcks_;
}
size_t Pn532Sim::rejectedFrames() const {
    std::lock_guard lock(m_);
    return rejected_;
}

Bytes Pn532Sim::ack() { return {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00}; }
Bytes Pn532Sim::nack() { return {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}; }
Bytes Pn532Sim::errorFrame() { return {0x00, 0x00, 0xFF, 0x01, 0xFF, 0x7F, 0x81, 0x00}; }

Bytes Pn532Sim::frame(uint8_t code, const Bytes& data, bool extended) {
    const size_t len = data.size() + 2;
    Bytes out{0x00, 0x00, 0xFF};
    if (extended) {
        const uint8_t high = static_cast<uint8_t>(len >> 8), low = static_cast<uint8_t>(len);
        append(out, {0xFF, 0xFF, high, low, static_cast<uint8_t>(0x100 - ((high + low) & 0xFF))});
    } else {
        append(out, {static_cast<uint8_t>(len), static_cast<uint8_t>(0x100 - len)});
    }
    const size_t body = out.size();
    append(out, {kTfiController, code});
    append(out, data);
    out.push_back(checksum(out, body, out.size()));
    out.push_back(0x00);
    return out;
}

Bytes Pn532Sim::hlFrame(const char error1[2], const char error2[2], const Bytes& userData) {
    char length[3];
    std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(userData.size() & 0xFF));
    Bytes out{'F', 'F', static_cast<uint8_t>(error1[0]), static_cast<uint8_t>(error1[1]), static_cast<uint8_t>(error2[0]),
              static_cast<uint8_t>(error2[1]), static_cast<uint8_t>(length[0]), static_cast<uint8_t>(length[1])};
    append(out, userData);
    append(out, {'\r', '\n'});
    return out;
}

Bytes Pn532Sim::releaseAnswer() {
    std::lock_guard lock(m_);
    Bytes out;
    out.swap(held_);
    return out;
}

Bytes Pn532Sim::feed(const Bytes& host) {
    std::lock_guard lock(m_);
    append(pending_, host);
    Bytes out;
    while (takeFrame(out)) {
    }
    return out;
}

// Host frame: any 00 and 55 wake-up bytes, 00 FF, LEN, LCS, D4, code, data, DCS, 00.
bool Pn532Sim::takeFrame(Bytes& out) {
    size_t start = 0;
    while (start + 1 < pending_.size() && !(pending_[start] == 0x00 && pending_[start + 1] == 0xFF)) ++start;
    if (start + 1 >= pending_.size()) {
        // A lone 00 at the end may begin a start code.
        pending_.erase(pending_.begin(), pending_.end() - (pending_.empty() || pending_.back() ? 0 : 1));
        return false;
    }
    const bool wakeUp = std::find(pending_.begin(), pending_.begin() + static_cast<long>(start), 0x55) !=
                        pending_.begin() + static_cast<long>(start);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(start));
    if (pending_.size() < 4) return false;
    const uint8_t len = pending_[2], lcs = pending_[3];
    if (len == 0x00 && lcs == 0xFF) {                      // the host's ACK: abandon the command
        if (pending_.size() < 5) return false;
        ++hostAcks_;
        held_.clear();
        waitingFor_.reset();
        waitingAsTarget_ = false;
        pending_.erase(pending_.begin(), pending_.begin() + 5);
        return true;
    }
    if (((len + lcs) & 0xFF) != 0 || len < 2) {
        ++rejected_;
        pending_.erase(pending_.begin(), pending_.begin() + 2);
        append(out, errorFrame());
        return true;
    }
    const size_t total = 4u + len + 2u;
    if (pending_.size() < total) return false;
    Bytes frame(pending_.begin(), pending_.begin() + static_cast<long>(total));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(total));
    if (checksum(frame, 4, 4u + len) != frame[4u + len] || frame[total - 1] != 0x00 || frame[4] != kTfiHost) {
        ++rejected_;
        append(out, errorFrame());
        return true;
    }
    Command command{frame[5], Bytes(frame.begin() + 6, frame.begin() + 4 + len), wakeUp};
    commands_.push_back(command);
    cv_.notify_all();
    waitingFor_.reset();   // a new command ends the wait for a target
    waitingAsTarget_ = false;
    answer(command, out);
    return true;
}

void Pn532Sim::answer(const Command& command, Bytes& out) {
    std::optional<Fault> fault;
    if (!faults_.empty()) {
        fault = faults_.front();
        faults_.pop_front();
    }
    if (fault == Fault::Silence) return;
    if (fault == Fault::Nack) return append(out, nack());
    if (fault == Fault::HlNack) return append(out, hlFrame("01", "00"));
    if (fault == Fault::Garbage) append(out, {0x00, 0x00, 0xFF, 0x33, 0x10});
    append(out, fault == Fault::HlAck ? hlFrame("00", "00") : ack());
    const auto handler = handlers_.find(command.code);
    std::optional<Bytes> data;
    if (handler != handlers_.end()) data = handler->second(command.data);
    else if (rf(command, data) && !data) return;
    if (fault == Fault::ErrorFrame || !data) return append(out, errorFrame());
    Bytes reply = frame(static_cast<uint8_t>(command.code + 1), *data, fault == Fault::Extended || data->size() > 253);
    const size_t lcsAt = reply[3] == 0xFF && reply[4] == 0xFF ? 7 : 4;
    if (fault == Fault::BadLcs) reply[lcsAt] ^= 0x01;
    if (fault == Fault::BadDcs) reply[reply.size() - 2] ^= 0x01;
    if (fault == Fault::BadPostamble) reply.back() = 0x5A;
    if (fault == Fault::Hold) return held_.swap(reply);
    append(out, reply);
}

}  // namespace pn53xsim
