// A peer LLCP entity for tests, written from the public LLCP 1.1 definition with its own
// encoder and decoder. It takes the frames the engine under test sends and gives the frames it
// answers: link activation parameters as either role, SYMM answering, service discovery both
// ways, and a scripted mode (expected PDU pattern, reply bytes) with faults.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace llcpsim {

using Bytes = std::vector<uint8_t>;

enum Ptype : uint8_t {
    SYMM = 0,
    PAX = 1,
    AGF = 2,
    UI = 3,
    CONNECT = 4,
    DISC = 5,
    CC = 6,
    DM = 7,
    FRMR = 8,
    SNL = 9,
    I = 12,
    RR = 13,
    RNR = 14,
};
enum Param : uint8_t { VERSION = 1, MIUX = 2, WKS = 3, LTO = 4, RW = 5, SN = 6, OPT = 7, SDREQ = 8, SDRES = 9 };

// One PDU: the sequence byte is there for I, RR and RNR.
struct Pdu {
    uint8_t dsap = 0;
    uint8_t ptype = 0;
    uint8_t ssap = 0;
    std::optional<uint8_t> sequence;
    Bytes info;
};

Bytes encode(const Pdu& pdu);
// False for fewer than the header's two bytes, or a sequenced type without its sequence byte.
bool decode(const Bytes& frame, Pdu& pdu);

struct Tlv {
    uint8_t type;
    Bytes value;
};
Bytes tlv(uint8_t type, const Bytes& value);
// Whole TLVs only: false when one runs past the end.
bool parseTlvs(const Bytes& data, std::vector<Tlv>& out);

// Frames built by hand, for scripts.
Bytes symm();
Bytes pax(const Bytes& params);
Bytes agf(const std::vector<Bytes>& pdus);
Bytes ui(uint8_t dsap, uint8_t ssap, const Bytes& data);
Bytes connect(uint8_t dsap, uint8_t ssap, const Bytes& params = {});
Bytes cc(uint8_t dsap, uint8_t ssap, const Bytes& params = {});
Bytes disc(uint8_t dsap, uint8_t ssap);
Bytes dm(uint8_t dsap, uint8_t ssap, const Bytes& reason);
Bytes frmr(uint8_t dsap, uint8_t ssap, const Bytes& info);
Bytes rr(uint8_t dsap, uint8_t ssap, uint8_t sequence);
Bytes iframe(uint8_t dsap, uint8_t ssap, uint8_t ns, uint8_t nr, const Bytes& data);
Bytes snl(const Bytes& params);
Bytes sdreq(uint8_t tid, const std::string& name);
Bytes sdres(uint8_t tid, uint8_t sap);

// The peer's link parameters.
struct LinkParams {
    uint8_t version = 0x11;
    uint16_t miux = 0x0780; // MIU 2048
    uint16_t wks = 0x0013;
    uint8_t lto = 10; // 100 ms
    uint8_t opt = 0x03;
};
// The general bytes of the activation: the LLCP magic and the parameters.
Bytes generalBytes(const LinkParams& params);

// What a script step does with its reply.
enum class Fault { None, Drop, Delay, Duplicate, Corrupt };

// Expected: a PDU of the type (and SAPs, when given); the reply goes instead of the default.
struct Step {
    uint8_t ptype;
    std::optional<uint8_t> dsap;
    std::optional<uint8_t> ssap;
    Bytes reply;
    Fault fault = Fault::None;
    uint32_t delayMs = 0;
};

struct Reply {
    Bytes frame;
    uint32_t delayMs = 0;
};

enum class Role { Initiator, Target };

// A service endpoint of the peer. A connection-oriented one keeps its sequence state modulo 16,
// sends its data in I-frames of at most the connection's MIU within the engine's window, and
// answers RR, or RNR while busy; an I-frame out of sequence, or beyond the window it announced
// since its last acknowledgement, it rejects with FRMR and the connection ends, as LLCP says. A
// connectionless one collects datagrams.
struct Endpoint {
    uint8_t sap = 0;
    bool connectionOriented = true;
    uint8_t window = 1;             // the receive window the peer announces
    uint16_t miu = 128;             // the peer's MIU for the connection
    bool busy = false;              // frames are refused with RNR
    bool connecting = false, connected = false, closed = false;
    uint8_t remoteSap = 0;
    uint8_t remoteWindow = 1;
    uint16_t remoteMiu = 128;
    bool remoteBusy = false;
    uint8_t vs = 0, vr = 0, va = 0;
    bool ackDue = false;
    uint8_t unacknowledged = 0;     // I-frames taken since the last acknowledgement sent
    std::deque<Bytes> toSend;       // fragments waiting for the window
    std::vector<Bytes> data;        // payloads received, in order
    std::vector<uint8_t> sources;   // the SAP of each datagram
};

class Peer {
public:
    explicit Peer(Role role = Role::Target, LinkParams params = {}) : role_(role), params_(params) {}

    Role role() const { return role_; }
    // What the peer puts in its activation (ATR_REQ as initiator, ATR_RES as target).
    Bytes activationBytes() const { return generalBytes(params_); }
    // An initiator opens the exchange once the link is up; a target waits.
    std::optional<Bytes> opening();

    // Services the peer offers to discovery, by name.
    void offer(const std::string& name, uint8_t sap) { services_[name] = sap; }
    // A PDU to send at the peer's next turn instead of a SYMM.
    void queue(const Bytes& frame) { outbox_.push_back(frame); }
    void script(const Step& step) { script_.push_back(step); }
    bool scriptDone() const { return script_.empty(); }

    // A service the engine may connect to (or send datagrams to), offered to discovery by name.
    Endpoint& listen(uint8_t sap, const std::string& name = {}, uint8_t window = 1, bool connectionOriented = true);
    // Connects from ssap to the engine's dsap, or to the named service through the discovery SAP.
    Endpoint& connect(uint8_t ssap, uint8_t dsap, const std::string& name = {}, uint8_t window = 1);
    // Data on a connection, cut into fragments of at most the engine's MIU for it.
    void send(uint8_t sap, const Bytes& data);
    void sendTo(uint8_t ssap, uint8_t dsap, const Bytes& data);
    void disconnect(uint8_t sap);
    void setBusy(uint8_t sap, bool busy);
    Endpoint* endpoint(uint8_t sap);

    // The engine's frame; the replies, none for a dropped one. A frame that breaks the script
    // is recorded in mismatches.
    std::vector<Reply> onFrame(const Bytes& frame);

    // Called once each frame of the engine is taken, before the answer is chosen: an upper
    // layer that reads what came can answer in the same turn.
    std::function<void(Peer&)> onTaken;

    std::vector<Pdu> received; // every PDU the engine sent, AGFs opened
    std::map<uint8_t, uint8_t> answers; // SDRES the engine gave: tid -> sap
    std::vector<std::string> mismatches;

private:
    void take(const Pdu& pdu);
    void serve(const Pdu& pdu);
    std::optional<Bytes> endpointFrame();
    Bytes defaultReply(const Pdu& pdu);

    Role role_;
    LinkParams params_;
    bool opened_ = false;
    std::map<std::string, uint8_t> services_;
    std::deque<Bytes> outbox_;
    std::deque<Step> script_;
    std::map<uint8_t, Endpoint> endpoints_;
    std::deque<Bytes> control_; // CONNECT, CC, DISC, DM and UI of the endpoints, in order
};

} // namespace llcpsim
