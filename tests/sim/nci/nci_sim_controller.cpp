#include "nci/nci_sim_controller.h"

#include <cstdio>

namespace ncisim {

Controller::Controller(NciIdentity identity, Recorder& recorder, LineOps line)
    : identity_(std::move(identity)), recorder_(recorder), line_(std::move(line)), splitter_(identity_.framePrefix) {}

void Controller::onCommand(uint16_t opcode, MessageHandler handler) { handlers_[opcode] = std::move(handler); }

MessageHandler Controller::handler(uint16_t opcode) const {
    auto it = handlers_.find(opcode);
    return it == handlers_.end() ? MessageHandler{} : it->second;
}

void Controller::intercept(uint16_t key, MessageHandler action) { intercepts_[key] = std::move(action); }

void Controller::reset(bool resetConfig) {
    // What the controller had not yet sent is lost with its state.
    output_.clear();
    initialised_ = false;
    for (const auto& action : resetActions_) action(resetConfig);
}

void Controller::resetByItself(uint8_t reason, bool resetConfig) {
    reset(resetConfig);
    outstanding_.reset();
    const uint8_t status = identity_.configStatus.value_or(resetConfig ? 0x01 : 0x00);
    respond(CORE_RESET_NTF, {reason, status});
}

void Controller::send(NciMessage message) {
    if (silent_ || !lineUp_) return;
    Fault fault;
    auto it = faults_.find(message.key());
    if (it != faults_.end()) {
        fault = it->second;
        if (it->second.times != 0 && --it->second.times == 0) faults_.erase(it);
    }
    const bool answers = message.mt == MT_RESPONSE && outstanding_ == message.key();
    if (fault.drop) {
        // Lost on the line: the controller is done with the command all the same.
        if (answers) outstanding_.reset();
        return;
    }
    if (fault.status && !message.payload.empty()) message.payload[0] = *fault.status;

    size_t segment = message.isData() ? identity_.txDataSegment : identity_.txControlSegment;
    auto packets = segmentMessage(message, segment);
    if (fault.lengthByte) packets.front()[2] = *fault.lengthByte;
    if (fault.truncateTo && *fault.truncateTo < packets.front().size()) packets.front().resize(*fault.truncateTo);

    std::vector<uint8_t> wire;
    for (uint32_t copy = 0; copy < fault.copies; ++copy) {
        for (const auto& p : packets) {
            recorder_.packet(Direction::ToHost, p);
            if (identity_.framePrefix) wire.push_back(FRAME_PREFIX);
            wire.insert(wire.end(), p.begin(), p.end());
        }
    }
    auto due = Clock::now() + std::chrono::milliseconds(fault.delayMs);
    if (fault.splitAt > 0 && fault.splitAt < wire.size()) {
        std::vector<uint8_t> rest(wire.begin() + static_cast<std::ptrdiff_t>(fault.splitAt), wire.end());
        wire.resize(fault.splitAt);
        enqueue(std::move(wire), due);
        enqueue(std::move(rest), due + std::chrono::milliseconds(fault.splitGapMs), true, answers);
    } else {
        enqueue(std::move(wire), due, false, answers);
    }
}

void Controller::sendRaw(std::vector<uint8_t> bytes, uint32_t delayMs) {
    if (!lineUp_) return;
    recorder_.packet(Direction::ToHost, bytes);
    enqueue(std::move(bytes), Clock::now() + std::chrono::milliseconds(delayMs));
}

void Controller::enqueue(std::vector<uint8_t> bytes, Clock::time_point due, bool apart, bool answers) {
    // The line keeps its order: a message held back holds back everything after it.
    if (!output_.empty() && due < output_.back().due) due = output_.back().due;
    output_.push_back({due, std::move(bytes), apart, answers});
}

std::optional<Controller::Clock::time_point> Controller::nextDue() const {
    if (output_.empty()) return std::nullopt;
    return output_.front().due;
}

void Controller::flushDue() {
    auto now = Clock::now();
    auto due = [&] { return !output_.empty() && output_.front().due <= now; };
    // What is due leaves in one burst, as an answer and the credit returned with it leave a
    // controller; the rest of a split message keeps a write of its own.
    while (due() && lineUp_) {
        std::vector<uint8_t> burst = std::move(output_.front().bytes);
        bool answered = output_.front().answers;
        output_.pop_front();
        for (; due() && !output_.front().apart; output_.pop_front()) {
            burst.insert(burst.end(), output_.front().bytes.begin(), output_.front().bytes.end());
            answered = answered || output_.front().answers;
        }
        if (answered) outstanding_.reset();
        if (!line_.write(burst)) recorder_.violation("write to the line failed");
    }
}

void Controller::hangUp() {
    lineUp_ = false;
    output_.clear();
    line_.hangUp();
}

bool Controller::openConnection(Connection connection) {
    if (connection.id > 14 || connections_.count(connection.id)) return false;
    connections_[connection.id] = std::move(connection);
    return true;
}

bool Controller::closeConnection(uint8_t id) {
    // Segments of a message the host had not finished on it are gone with the connection.
    reassembler_.drop(id);
    const bool closed = connections_.erase(id) > 0;
    if (closed && !inCommand_) closedUnasked_.insert(id);
    return closed;
}

Connection* Controller::connection(uint8_t id) {
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : &it->second;
}

std::optional<uint8_t> Controller::freeConnectionId() const {
    uint8_t dynamic = 0;
    for (const auto& [id, c] : connections_)
        if (id != 0) ++dynamic;
    if (dynamic >= identity_.maxConnections) return std::nullopt;
    for (uint8_t id = 1; id <= 14; ++id)
        if (!connections_.count(id)) return id;
    return std::nullopt;
}

void Controller::closeDynamicConnections() {
    for (auto it = connections_.begin(); it != connections_.end();)
        it = it->first != 0 ? connections_.erase(it) : std::next(it);
}

bool Controller::grantCredits(uint8_t connId, uint8_t credits) {
    Connection* c = connection(connId);
    if (!c || c->credits == 0xFF) return false;
    c->credits = static_cast<uint8_t>(c->credits + credits);
    respond(CORE_CONN_CREDITS_NTF, {1, connId, credits});
    return true;
}

void Controller::receiveBytes(const uint8_t* bytes, size_t n) {
    size_t droppedBefore = splitter_.droppedBytes();
    splitter_.feed(bytes, n, [this](std::vector<uint8_t> packet) { receivePacket(packet); });
    if (splitter_.droppedBytes() != droppedBefore) {
        char text[64];
        std::snprintf(text, sizeof text, "%zu bytes without frame prefix dropped", splitter_.droppedBytes() - droppedBefore);
        recorder_.violation(text);
    }
}

void Controller::receivePacket(const std::vector<uint8_t>& packet) {
    recorder_.packet(Direction::FromHost, packet);
    char text[96];
    uint8_t mt = packet[0] >> 5;
    if (mt == MT_COMMAND && packet[2] > identity_.maxControlPayload) {
        std::snprintf(text, sizeof text, "control segment of %u bytes exceeds the announced %u", packet[2],
                      identity_.maxControlPayload);
        recorder_.violation(text);
    }
    if (mt == MT_DATA) countDataCredit(packet);

    NciMessage message;
    std::string violation;
    bool complete = reassembler_.add(packet, message, &violation);
    if (!violation.empty()) recorder_.violation(violation);
    if (!complete) return;
    recorder_.received(message);
    // What a command's handler closes, the host asked for.
    inCommand_ = message.mt == MT_COMMAND;
    if (inCommand_) closedUnasked_.clear();   // the host had its turn to hear what the controller closed
    auto it = intercepts_.find(message.key());
    if (it == intercepts_.end()) {
        handle(message);
    } else {
        MessageHandler action = std::move(it->second);
        intercepts_.erase(it);
        action(*this, message);
    }
    inCommand_ = false;
}

void Controller::countDataCredit(const std::vector<uint8_t>& packet) {
    char text[96];
    uint8_t id = packet[0] & 0x0F;
    Connection* c = connection(id);
    if (!c && closedUnasked_.count(id)) return;
    if (!c) {
        std::snprintf(text, sizeof text, "data on connection %u, which is not open", id);
        recorder_.violation(text);
        return;
    }
    if (packet[2] > c->maxPayload) {
        std::snprintf(text, sizeof text, "data segment of %u bytes exceeds %u on connection %u", packet[2],
                      c->maxPayload, id);
        recorder_.violation(text);
    }
    if (c->credits == 0xFF) return;
    if (c->credits == 0) {
        std::snprintf(text, sizeof text, "data on connection %u without credit", id);
        recorder_.violation(text);
        return;
    }
    --c->credits;
    if (autoCredits_ && c->autoCredits) grantCredits(id, 1);
}

void Controller::handle(const NciMessage& message) {
    char text[128];
    if (message.mt == MT_DATA) {
        Connection* c = connection(message.gidOrConn);
        if (c && c->onData) c->onData(*this, message);
        return;
    }
    if (message.mt != MT_COMMAND) {
        std::snprintf(text, sizeof text, "host sent %s, which is not a command", message.describe().c_str());
        recorder_.violation(text);
        return;
    }
    const uint16_t key = message.key();
    if (outstanding_ && key != CORE_RESET_CMD) {
        std::snprintf(text, sizeof text, "command %04X sent while the response %04X is outstanding", key, *outstanding_);
        recorder_.violation(text);
        return;
    }
    outstanding_ = static_cast<uint16_t>(key + 0x2000);
    if (!initialised_ && key != CORE_RESET_CMD && key != CORE_INIT_CMD) {
        respond(static_cast<uint16_t>(key + 0x2000), {STATUS_NOT_INITIALIZED});
        return;
    }
    auto it = handlers_.find(key);
    if (it != handlers_.end()) {
        it->second(*this, message);
        return;
    }
    // A command this controller does not know: a response with its GID and OID and a syntax error.
    respond(static_cast<uint16_t>(message.key() + 0x2000), {STATUS_SYNTAX_ERROR});
}

} // namespace ncisim
