// A scripted NFC-DEP peer (ISO/IEC 18092 transport protocol) that works on raw frames: as a
// target it answers ATR_REQ, DEP_REQ, DSL_REQ and RLS_REQ; as an initiator it builds them. It
// chains its own messages with MI, joins the other side's, numbers its PDUs, answers attention,
// asks for time-out extensions and can be told to misbehave. Frames are LEN CMD0 CMD1 ... with
// LEN counting itself and no CRC.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace depsim {

using Bytes = std::vector<uint8_t>;

enum class Role : uint8_t { Target, Initiator };

struct Config {
    uint8_t pp = 0x32;              // PPi or PPt: bits 5-4 give the length reduction
    uint8_t to = 0x0E;              // the target's TO
    Bytes generalBytes;
    std::optional<uint8_t> did;     // DSL/RLS carry it when set
};

// A fault on the peer's nth outgoing DEP PDU (counting from 1).
enum class FaultKind : uint8_t { WrongPni, Drop, Duplicate, Oversize, Rtox };
struct Fault {
    FaultKind kind;
    size_t nth = 1;
    uint8_t rtox = 3;
};

class DepPeer {
public:
    DepPeer(Role role, Config config = {});

    // A frame from the engine; the peer's answers, in order.
    std::vector<Bytes> feed(const Bytes& frame);

    // Initiator role: the frames that start a link, a message, a deselect, a release.
    Bytes atrReq();
    Bytes send(const Bytes& message);
    Bytes dslReq() const { return control(0x08); }
    Bytes rlsReq() const { return control(0x0A); }

    void inject(Fault fault) { faults_.push_back(fault); }
    // Target role: the answer to each whole request (an echo by default).
    std::function<Bytes(const Bytes&)> respond = [](const Bytes& request) { return request; };

    std::vector<Bytes> messages;    // whole messages from the engine
    Bytes remoteGeneralBytes;
    bool activated = false;
    bool deselected = false;
    bool released = false;
    size_t nacks = 0;               // NACKs the engine sent
    size_t attentions = 0;

private:
    uint8_t cmd0() const { return role_ == Role::Initiator ? 0xD4 : 0xD5; }
    uint8_t cmd1() const { return role_ == Role::Initiator ? 0x06 : 0x07; }
    size_t room() const { return lr_ - 4; }
    Bytes control(uint8_t command) const;
    Bytes piece();
    std::vector<Bytes> out(Bytes frame);
    std::vector<Bytes> targetFeed(const Bytes& f);
    std::vector<Bytes> initiatorFeed(const Bytes& f);
    std::vector<Bytes> information(const Bytes& f, uint8_t pfb);
    std::vector<Bytes> responsePiece();

    Role role_;
    Config config_;
    size_t lr_ = 64;
    uint8_t pni_ = 0;
    Bytes rx_;
    Bytes tx_;
    size_t txAt_ = 0, txPiece_ = 0;
    Bytes last_;
    Bytes held_;                    // the response an RTOX holds back
    size_t sentPdus_ = 0;
    std::vector<Fault> faults_;
};

}  // namespace depsim
