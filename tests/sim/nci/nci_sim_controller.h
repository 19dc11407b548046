// The simulated controller itself, run on the simulator's thread: its state, the handlers that
// answer the host's commands and data, the fault hooks on everything it sends, and the ordered
// output towards the serial line.
//
// Handlers are the extension points: the core (reset, init, configuration, discover map, NFCEE
// discovery, maker 0x04's commands, loopback connections) installs its own, and RF discovery,
// tags, listen mode, NFCEEs and the HCI network install theirs the same way.
//
// The controller keeps NCI's control flow: until CORE_INIT after a reset it answers every other
// command "not initialised"; it takes one command at a time, and a second one before the first
// is answered is a breach of the protocol by the host (recorded, and left unanswered) unless it
// is CORE_RESET_CMD, the host's way out of a controller that does not answer. A response held
// back by a delay fault keeps its command outstanding until it is written.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "nci/nci_identity.h"
#include "nci/nci_sim_framer.h"
#include "nci/nci_sim_message.h"
#include "nci/nci_sim_recorder.h"

namespace ncisim {

// What goes wrong with the messages of one key (opcode, or connId << 8 for data).
struct Fault {
    std::optional<uint8_t> status;      // replaces the first payload byte
    uint32_t delayMs = 0;               // the line is held that long before the message
    bool drop = false;
    size_t splitAt = 0;                 // bytes written at once; the rest follows splitGapMs later
    uint32_t splitGapMs = 20;
    uint32_t copies = 1;                // 2: the message goes out twice
    std::optional<size_t> truncateTo;   // bytes of its first packet that are written
    std::optional<uint8_t> lengthByte;  // length byte written into its first packet's header
    uint32_t times = 0;                 // messages it hits before it ends; 0: every one

    static Fault withStatus(uint8_t s) { Fault f; f.status = s; return f; }
    static Fault delayed(uint32_t ms) { Fault f; f.delayMs = ms; return f; }
    static Fault dropped() { Fault f; f.drop = true; return f; }
    static Fault split(size_t at, uint32_t gapMs = 20) { Fault f; f.splitAt = at; f.splitGapMs = gapMs; return f; }
    static Fault duplicated() { Fault f; f.copies = 2; return f; }
    static Fault truncated(size_t bytes) { Fault f; f.truncateTo = bytes; return f; }
    static Fault lyingLength(uint8_t length) { Fault f; f.lengthByte = length; return f; }
};

class Controller;
using MessageHandler = std::function<void(Controller&, const NciMessage&)>;

struct Connection {
    uint8_t id = 0;
    uint8_t destinationType = 0;
    uint8_t maxPayload = 255;
    uint8_t credits = 0xFF;             // the host's credits as counted here; 0xFF: no flow control
    bool autoCredits = true;            // false: whoever owns the connection returns its credits
    MessageHandler onData;
};

class Controller {
public:
    using Clock = std::chrono::steady_clock;
    struct LineOps {
        std::function<bool(const std::vector<uint8_t>&)> write;
        std::function<void()> hangUp;
    };

    Controller(NciIdentity identity, Recorder& recorder, LineOps line);

    const NciIdentity& identity() const { return identity_; }
    NciIdentity& identity() { return identity_; }
    Recorder& recorder() { return recorder_; }

    // ---- Handlers: one per command opcode; a later one replaces an earlier one.
    void onCommand(uint16_t opcode, MessageHandler handler);
    MessageHandler handler(uint16_t opcode) const;   // the one installed, to chain a new one before it
    // The next message from the host with this key (opcode, or connId << 8 for data) goes to the
    // action instead: a fault at a chosen moment. The action may pass it on with handle().
    void intercept(uint16_t key, MessageHandler action);
    // What the controller does with a message from the host, handlers and checks included.
    void handle(const NciMessage& message);

    // ---- Resets. Every part of the controller that a reset clears registers here; the argument
    // says whether the configuration goes back to its defaults too.
    void onReset(std::function<void(bool resetConfig)> action) { resetActions_.push_back(std::move(action)); }
    void reset(bool resetConfig);
    // The controller resets by itself (power glitch, watchdog): everything a reset clears is
    // cleared, what it had not yet sent is lost, and CORE_RESET_NTF tells the host.
    void resetByItself(uint8_t reason = 0x00, bool resetConfig = true);
    bool initialised() const { return initialised_; }
    void setInitialised() { initialised_ = true; }

    // ---- Sending (every message passes the fault hooks and silence).
    void send(NciMessage message);
    void respond(uint16_t opcode, std::vector<uint8_t> payload) { send(NciMessage::control(opcode, std::move(payload))); }
    void sendData(uint8_t connId, std::vector<uint8_t> payload) { send(NciMessage::data(connId, std::move(payload))); }
    void sendRaw(std::vector<uint8_t> bytes, uint32_t delayMs = 0);

    // ---- Connections and credits.
    bool openConnection(Connection connection);
    bool closeConnection(uint8_t id);
    Connection* connection(uint8_t id);
    std::optional<uint8_t> freeConnectionId() const;   // dynamic ids 1..14 within the maximum
    void closeDynamicConnections();
    void setAutoCredits(bool automatic) { autoCredits_ = automatic; }
    // Gives the host credits on a flow-controlled connection (CORE_CONN_CREDITS_NTF).
    bool grantCredits(uint8_t connId, uint8_t credits);

    // ---- Configuration parameters stored by CORE_SET_CONFIG.
    std::map<uint8_t, std::vector<uint8_t>>& config() { return config_; }

    // ---- Faults.
    void setFault(uint16_t key, Fault fault) { faults_[key] = fault; }
    void clearFaults() { faults_.clear(); }
    void setSilent(bool silent) { silent_ = silent; }
    void hangUp();

    // ---- Driven by the simulator's thread.
    void receiveBytes(const uint8_t* bytes, size_t n);
    std::optional<Clock::time_point> nextDue() const;
    void flushDue();

private:
    void receivePacket(const std::vector<uint8_t>& packet);
    void countDataCredit(const std::vector<uint8_t>& packet);
    void enqueue(std::vector<uint8_t> bytes, Clock::time_point due, bool apart = false, bool answers = false);

    struct Pending {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        bool apart;      // never joined to the bytes before it in one write
        bool answers;    // the response of the command outstanding: written, it is answered
    };

    NciIdentity identity_;
    Recorder& recorder_;
    LineOps line_;
    PacketSplitter splitter_;
    Reassembler reassembler_;
    std::map<uint16_t, MessageHandler> handlers_;
    std::map<uint16_t, MessageHandler> intercepts_;
    std::vector<std::function<void(bool)>> resetActions_;
    std::optional<uint16_t> outstanding_;   // the response the host waits for
    bool initialised_ = false;
    std::map<uint8_t, Connection> connections_;
    // Connections the controller closed on its own (the link lost, the field gone): data the
    // host sent before it heard of it crosses the notification and is dropped, until the host's
    // next command.
    std::set<uint8_t> closedUnasked_;
    bool inCommand_ = false;
    std::map<uint8_t, std::vector<uint8_t>> config_;
    std::map<uint16_t, Fault> faults_;
    std::deque<Pending> output_;
    bool silent_ = false;
    bool autoCredits_ = true;
    bool lineUp_ = true;
};

// Installs the controller core's handlers (implemented from the NCI 1.0 core and NFCEE groups).
void installCore(Controller& controller);

} // namespace ncisim
