// The simulated controller's execution environments, written from the NCI 1.0 NFCEE messages
// and ISO/IEC 7816-4: mode set, logical connections to an NFCEE that answer command APDUs, and
// the notifications an NFCEE causes (status changes, actions such as a transaction).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "nci/nci_sim_controller.h"

namespace ncisim {

using Apdu = std::vector<uint8_t>;
// What a secure element answers to one command APDU, status word included.
using ApduResponder = std::function<Apdu(const Apdu& command)>;

// A plain card application: SELECT answers 90 00; GET DATA (INS CA) answers Le bytes 00, 01, ...
// (256 for Le 0) and 90 00; any other command comes back whole, followed by 90 00.
Apdu defaultSecureElementAnswer(const Apdu& command);

class NfceeModel {
public:
    explicit NfceeModel(Controller& controller) : c_(controller) {}
    void install();

    void setResponder(uint8_t nfceeId, ApduResponder responder) { responders_[nfceeId] = std::move(responder); }
    // Data on a connection to this NFCEE go to the handler instead of the APDU responder (the HCI network).
    using DataHandler = std::function<void(uint8_t connId, const std::vector<uint8_t>& payload)>;
    void setDataHandler(uint8_t nfceeId, DataHandler handler) { dataHandlers_[nfceeId] = std::move(handler); }
    // The NFCEE's answer to a command APDU, the command recorded.
    Apdu answer(uint8_t nfceeId, const Apdu& command);
    // Held answers: the next APDU of the NFCEE is answered that much later.
    void setAnswerDelay(uint32_t ms) { answerDelayMs_ = ms; }
    // NFCEE_DISCOVER_NTF for an NFCEE whose status changed.
    void sendStatus(uint8_t nfceeId, uint8_t status);
    // RF_NFCEE_ACTION_NTF with the trigger and its data.
    void sendAction(uint8_t nfceeId, uint8_t trigger, const std::vector<uint8_t>& data);
    // RF_NFCEE_DISCOVERY_REQ_NTF with one entry: the NFCEE wants (add) or no longer wants a listen mode.
    void sendDiscoveryRequest(uint8_t nfceeId, uint8_t techMode, uint8_t protocol, bool add = true);
    // The last mode set per NFCEE: 0 disabled, 1 enabled.
    const std::map<uint8_t, uint8_t>& modes() const { return modes_; }
    const std::vector<Apdu>& commands() const { return commands_; }

private:
    void connCreate(const NciMessage& m, const MessageHandler& others);
    void modeSet(const NciMessage& m);
    void apdu(uint8_t nfceeId, const NciMessage& m);
    const NfceeInfo* find(uint8_t id) const;

    Controller& c_;
    std::map<uint8_t, ApduResponder> responders_;
    std::map<uint8_t, DataHandler> dataHandlers_;
    std::map<uint8_t, uint8_t> modes_;
    std::vector<Apdu> commands_;
    uint32_t answerDelayMs_ = 0;
};

} // namespace ncisim
