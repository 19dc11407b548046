// The HCI network behind the simulated controller's HCI-access NFCEE, written from ETSI TS 102 622
// (HCP packets and fragmentation, the admin gate with its session identity and white list, pipe
// creation notified to the terminal host, the card and connectivity gates) and ISO/IEC 7816-4 for
// the APDUs. Every other NFCEE the controller announces is a host of the network (its host id is
// its NFCEE id) with a connectivity pipe and a card pipe once its pipes are created.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "nci/nci_sim_controller.h"
#include "nci/nci_sim_nfcee.h"

namespace ncisim {

struct HcpMessage {
    uint8_t pipe = 0;
    uint8_t header = 0;              // type and instruction
    std::vector<uint8_t> data;
};

class HciNetworkModel {
public:
    static constexpr uint8_t kAdminPipe = 0x01, kGateConnectivity = 0x41, kGateCard = 0xF0;
    using Session = std::array<uint8_t, 8>;

    HciNetworkModel(Controller& controller, NfceeModel& nfcees) : c_(controller), nfcees_(nfcees) {}
    // Takes the data of the first NFCEE announced with the HCI-access protocol, if any.
    void install();

    // The network kept its pipes from an earlier run: the session identity names them.
    void keepSession();
    const Session& session() const { return session_; }
    // The next read of the session identity is answered with these bytes instead.
    void answerSessionWith(std::vector<uint8_t> bytes) { sessionAnswer_ = std::move(bytes); }
    // One HCP packet as it stands, on the HCI connection.
    void sendPacket(std::vector<uint8_t> packet) { c_.sendData(connId_, std::move(packet)); }
    // WTX requests sent before each answer.
    void setWaitingTimeExtensions(uint32_t count) { wtx_ = count; }
    // The next answer leaves that much later, after its WTX requests.
    void setAnswerDelay(uint32_t ms) { answerDelayMs_ = ms; }
    // The longest HCP packet this side sends.
    void setPacketSize(size_t bytes) { packetSize_ = bytes; }
    // EVT_TRANSACTION on the host's connectivity pipe.
    void sendTransaction(uint8_t hostId, const std::vector<uint8_t>& data);

    const std::vector<std::vector<uint8_t>>& packetsFromHost() const { return packets_; }
    uint8_t cardPipe(uint8_t hostId) const;
    uint8_t connectivityPipe(uint8_t hostId) const;

private:
    struct Pipe {
        uint8_t host = 0;
        uint8_t gate = 0;
    };
    struct Partial {
        uint8_t header = 0;
        std::vector<uint8_t> data;
    };

    void receive(uint8_t connId, const std::vector<uint8_t>& packet);
    void handle(const HcpMessage& m);
    void admin(const HcpMessage& m);
    void card(uint8_t host, const HcpMessage& m);
    void createPipes(bool notify);
    void send(uint8_t pipe, uint8_t header, const std::vector<uint8_t>& data = {});
    std::vector<uint8_t> hosts() const;

    Controller& c_;
    NfceeModel& nfcees_;
    uint8_t connId_ = 0;
    Session session_{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::optional<std::vector<uint8_t>> sessionAnswer_;
    std::vector<uint8_t> whiteList_;
    std::map<uint8_t, Pipe> pipes_;
    std::map<uint8_t, Partial> partial_;
    bool pipesCreated_ = false;
    uint32_t wtx_ = 0;
    uint32_t answerDelayMs_ = 0;
    size_t packetSize_ = 28;
    std::vector<std::vector<uint8_t>> packets_;
};

} // namespace ncisim
