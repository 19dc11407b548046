#include "nci/nci_sim_nfcee.h"

namespace ncisim {
namespace {

constexpr uint8_t DEST_NFCEE = 0x03, PARAM_NFCEE = 0x01;
constexpr uint8_t INS_SELECT = 0xA4, INS_GET_DATA = 0xCA;

} // namespace

Apdu defaultSecureElementAnswer(const Apdu& command) {
    if (command.size() >= 4 && command[1] == INS_SELECT) return {0x90, 0x00};
    if (command.size() == 5 && command[1] == INS_GET_DATA) {
        const size_t n = command[4] ? command[4] : 256;
        Apdu out;
        for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(i));
        out.insert(out.end(), {0x90, 0x00});
        return out;
    }
    Apdu out(command);
    out.insert(out.end(), {0x90, 0x00});
    return out;
}

void NfceeModel::install() {
    MessageHandler others = c_.handler(CORE_CONN_CREATE_CMD);
    c_.onCommand(CORE_CONN_CREATE_CMD, [this, others](Controller&, const NciMessage& m) { connCreate(m, others); });
    c_.onCommand(NFCEE_MODE_SET_CMD, [this](Controller&, const NciMessage& m) { modeSet(m); });
}

const NfceeInfo* NfceeModel::find(uint8_t id) const {
    for (const auto& ee : c_.identity().nfcees)
        if (ee.id == id) return &ee;
    return nullptr;
}

// Destination type, parameter count, then {type, length, value}: type 1 names the NFCEE and its protocol.
void NfceeModel::connCreate(const NciMessage& m, const MessageHandler& others) {
    const auto& p = m.payload;
    if (p.empty() || p[0] != DEST_NFCEE) {
        if (others) others(c_, m);
        return;
    }
    const bool wellFormed = p.size() == 6 && p[1] == 1 && p[2] == PARAM_NFCEE && p[3] == 2;
    if (!wellFormed) return c_.respond(CORE_CONN_CREATE_RSP, {STATUS_SYNTAX_ERROR});
    const NfceeInfo* ee = find(p[4]);
    auto id = c_.freeConnectionId();
    if (!ee || ee->status == 0x02 || !id) return c_.respond(CORE_CONN_CREATE_RSP, {STATUS_REJECTED});
    Connection conn;
    conn.id = *id;
    conn.destinationType = DEST_NFCEE;
    conn.maxPayload = c_.identity().nfceeMaxPayload;
    conn.credits = c_.identity().nfceeCredits;
    const uint8_t nfceeId = ee->id;
    conn.onData = [this, nfceeId](Controller&, const NciMessage& data) {
        auto handler = dataHandlers_.find(nfceeId);
        if (handler != dataHandlers_.end()) handler->second(data.gidOrConn, data.payload);
        else apdu(nfceeId, data);
    };
    c_.openConnection(conn);
    c_.respond(CORE_CONN_CREATE_RSP, {STATUS_OK, conn.maxPayload, conn.credits, conn.id});
}

void NfceeModel::modeSet(const NciMessage& m) {
    const auto& p = m.payload;
    if (p.size() != 2 || p[1] > 1) return c_.respond(NFCEE_MODE_SET_RSP, {STATUS_SYNTAX_ERROR});
    const NfceeInfo* ee = find(p[0]);
    if (!ee || ee->status == 0x02) return c_.respond(NFCEE_MODE_SET_RSP, {STATUS_REJECTED});
    modes_[p[0]] = p[1];
    c_.respond(NFCEE_MODE_SET_RSP, {STATUS_OK});
}

Apdu NfceeModel::answer(uint8_t nfceeId, const Apdu& command) {
    commands_.push_back(command);
    auto it = responders_.find(nfceeId);
    return it != responders_.end() ? it->second(command) : defaultSecureElementAnswer(command);
}

void NfceeModel::apdu(uint8_t nfceeId, const NciMessage& m) {
    Apdu answer = this->answer(nfceeId, m.payload);
    if (answerDelayMs_) {
        Fault held = Fault::delayed(answerDelayMs_);
        held.times = 1;
        c_.setFault(static_cast<uint16_t>(m.gidOrConn << 8), held);
        answerDelayMs_ = 0;
    }
    c_.sendData(m.gidOrConn, std::move(answer));
}

void NfceeModel::sendStatus(uint8_t nfceeId, uint8_t status) {
    const NfceeInfo* ee = find(nfceeId);
    std::vector<uint8_t> p{nfceeId, status};
    const auto protocols = ee ? ee->protocols : std::vector<uint8_t>{0x00};
    p.push_back(static_cast<uint8_t>(protocols.size()));
    p.insert(p.end(), protocols.begin(), protocols.end());
    p.push_back(0);   // no TLVs
    c_.respond(NFCEE_DISCOVER_NTF, std::move(p));
}

void NfceeModel::sendDiscoveryRequest(uint8_t nfceeId, uint8_t techMode, uint8_t protocol, bool add) {
    c_.respond(RF_NFCEE_DISCOVERY_REQ_NTF, {1, static_cast<uint8_t>(add ? 0 : 1), 3, nfceeId, techMode, protocol});
}

void NfceeModel::sendAction(uint8_t nfceeId, uint8_t trigger, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> p{nfceeId, trigger, static_cast<uint8_t>(data.size())};
    p.insert(p.end(), data.begin(), data.end());
    c_.respond(RF_NFCEE_ACTION_NTF, std::move(p));
}

} // namespace ncisim
