// The simulated controller's listen side, written from the NCI RF communication state machine
// (listen active, listen sleep), the listen-mode RF_INTF_ACTIVATED_NTF (technology parameters,
// and the activation parameters of the ISO-DEP and NFC-DEP RF interfaces), RF_DEACTIVATE in
// listen mode, and the data exchange of the Frame, ISO-DEP and NFC-DEP RF interfaces of NCI 1.0.
#include <algorithm>

#include "nci/nci_sim_rf.h"

namespace ncisim {
namespace {

using simtags::Bytes;
using simtags::Protocol;
using simtags::Technology;

constexpr uint8_t STATIC_CONNECTION = 0;
constexpr uint8_t INTERFACE_FRAME = 0x01, INTERFACE_ISO_DEP = 0x02, INTERFACE_NFC_DEP = 0x03;
constexpr uint8_t PROTOCOL_T3T = 0x03, PROTOCOL_ISO_DEP = 0x04, PROTOCOL_NFC_DEP = 0x05;
constexpr uint8_t LISTEN_A = 0x80, LISTEN_B = 0x81, LISTEN_F = 0x82;
constexpr uint8_t DEACTIVATE_IDLE = 0, DEACTIVATE_SLEEP = 1, DEACTIVATE_DISCOVERY = 3;
constexpr uint8_t REASON_DH_REQUEST = 0x00, REASON_ENDPOINT_REQUEST = 0x01, REASON_LINK_LOSS = 0x02;
constexpr uint8_t BIT_RATE_106 = 0x00, BIT_RATE_212 = 0x01;
constexpr uint8_t POLLER_DISCOVERY_ID = 0x01;
const Bytes kLocalNfcid2{0x02, 0xFE, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05};

uint8_t listenMode(Technology t) {
    switch (t) {
    case Technology::A: return LISTEN_A;
    case Technology::B: return LISTEN_B;
    case Technology::F: return LISTEN_F;
    default: return 0xFF;
    }
}

uint8_t pollerProtocol(Protocol p) {
    switch (p) {
    case Protocol::T3T: return PROTOCOL_T3T;
    case Protocol::NfcDep: return PROTOCOL_NFC_DEP;
    default: return PROTOCOL_ISO_DEP;
    }
}

uint8_t pollerInterface(Protocol p) {
    switch (p) {
    case Protocol::T3T: return INTERFACE_FRAME;
    case Protocol::NfcDep: return INTERFACE_NFC_DEP;
    default: return INTERFACE_ISO_DEP;
    }
}

} // namespace

void RfModel::approach(PollerPtr poller) {
    if (!poller || std::find(pollers_.begin(), pollers_.end(), poller) != pollers_.end()) return;
    pollers_.push_back(std::move(poller));
    if (state_ == RfState::Discovery) listenPoll();
}

// A poller that finds the host listening on its technology activates it.
bool RfModel::listenPoll() {
    for (const auto& poller : pollers_) {
        if (!pollModes_.count(listenMode(poller->technology))) continue;
        poller_ = poller;
        activateListen();
        return true;
    }
    return false;
}

void RfModel::activateListen() {
    const simpeers::RemotePoller& p = *poller_;
    openStaticConnection();
    const uint8_t mode = listenMode(p.technology);
    const uint8_t rate = p.technology == Technology::F ? BIT_RATE_212 : BIT_RATE_106;
    Bytes ntf{POLLER_DISCOVERY_ID, pollerInterface(p.protocol), pollerProtocol(p.protocol), mode, settings_.maxDataPayload,
              settings_.initialCredits};
    // Listen NFC-F names the NFCID2 the host answered with; listen A and B have no parameters.
    if (p.technology == Technology::F) {
        ntf.push_back(static_cast<uint8_t>(1 + kLocalNfcid2.size()));
        ntf.push_back(static_cast<uint8_t>(kLocalNfcid2.size()));
        ntf.insert(ntf.end(), kLocalNfcid2.begin(), kLocalNfcid2.end());
    } else {
        ntf.push_back(0);
    }
    // The RATS parameter stands alone; the ATTRIB command and the ATR_REQ come with their length.
    Bytes activation = p.activation;
    if (p.technology != Technology::A || p.protocol == Protocol::NfcDep)
        if (!activation.empty()) activation.insert(activation.begin(), static_cast<uint8_t>(activation.size()));
    ntf.insert(ntf.end(), {mode, rate, rate, static_cast<uint8_t>(activation.size())});
    ntf.insert(ntf.end(), activation.begin(), activation.end());
    c_.respond(RF_INTF_ACTIVATED_NTF, std::move(ntf));
    state_ = RfState::ListenActive;
    sendNextCommand();
}

void RfModel::sendNextCommand() {
    simpeers::FrameLog& log = poller_->log;
    if (log.toSend.empty()) return;
    Bytes command = std::move(log.toSend.front());
    log.toSend.pop_front();
    if (pollerInterface(poller_->protocol) == INTERFACE_FRAME) command.push_back(STATUS_OK);   // the Frame RF interface's status byte
    c_.sendData(STATIC_CONNECTION, std::move(command));
}

void RfModel::listenData(const NciMessage& m) {
    poller_->log.received.push_back(m.payload);
    returnCredits();
    sendNextCommand();
}

void RfModel::sleepPoller() {
    if (state_ != RfState::ListenActive) return;
    c_.respond(RF_DEACTIVATE_NTF, {DEACTIVATE_SLEEP, REASON_ENDPOINT_REQUEST});
    state_ = RfState::ListenSleep;
}

void RfModel::wakePoller() {
    if (state_ == RfState::ListenSleep) activateListen();
}

void RfModel::departPoller() {
    if (state_ != RfState::ListenActive && state_ != RfState::ListenSleep) return;
    pollers_.erase(std::find(pollers_.begin(), pollers_.end(), poller_));
    poller_.reset();
    c_.closeConnection(STATIC_CONNECTION);
    c_.respond(RF_DEACTIVATE_NTF, {DEACTIVATE_DISCOVERY, REASON_LINK_LOSS});
    toDiscovery();
}

// The host ends the activation: to idle or back to discovery (the host cannot sleep as a card).
void RfModel::listenDeactivate(uint8_t type) {
    if (type != DEACTIVATE_IDLE && type != DEACTIVATE_DISCOVERY) return c_.respond(RF_DEACTIVATE_RSP, {STATUS_SEMANTIC_ERROR});
    c_.respond(RF_DEACTIVATE_RSP, {STATUS_OK});
    poller_.reset();
    c_.closeConnection(STATIC_CONNECTION);
    c_.respond(RF_DEACTIVATE_NTF, {type, REASON_DH_REQUEST});
    if (type == DEACTIVATE_IDLE) return toIdle();
    toDiscovery();
}

} // namespace ncisim
