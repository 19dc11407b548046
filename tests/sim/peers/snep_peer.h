// SNEP 1.0 on the simulated peer, from the NFC Forum Simple NDEF Exchange Protocol: messages of
// version, code, a 32-bit length and information, fragmented over the LLCP connection, where the
// receiver of a fragmented message answers its first fragment with CONTINUE (or REJECT).
#pragma once

#include <optional>
#include <string>

#include "peers/service_peer.h"

namespace simpeers {

namespace snep {
constexpr uint8_t VERSION = 0x10;
enum Code : uint8_t {
    REQ_CONTINUE = 0x00, GET = 0x01, PUT = 0x02, REQ_REJECT = 0x7F,
    CONTINUE = 0x80, SUCCESS = 0x81, NOT_FOUND = 0xC0, EXCESS_DATA = 0xC1, BAD_REQUEST = 0xC2,
    NOT_IMPLEMENTED = 0xE0, UNSUPPORTED_VERSION = 0xE1, REJECT = 0xFF,
};
constexpr size_t HEADER = 6;
Bytes message(uint8_t code, const Bytes& information, uint8_t version = VERSION);
} // namespace snep

struct SnepMessage {
    uint8_t version = 0, code = 0;
    Bytes information;
};

// A SNEP message gathered from its fragments.
class SnepReassembly {
public:
    void add(const Bytes& fragment) { bytes_.insert(bytes_.end(), fragment.begin(), fragment.end()); }
    bool started() const { return !bytes_.empty(); }
    bool headerDone() const { return bytes_.size() >= snep::HEADER; }
    uint32_t length() const { return be32(bytes_, 2); }
    bool complete() const { return headerDone() && bytes_.size() - snep::HEADER >= length(); }
    SnepMessage take();
    void clear() { bytes_.clear(); }

private:
    Bytes bytes_;
};

// Sends one message, fragment by fragment: the first alone, the rest once the receiver asks.
class SnepSender {
public:
    void send(llcpsim::Peer& peer, uint8_t sap, const Bytes& message);
    bool waiting() const { return !rest_.empty(); }
    // The receiver's answer to the first fragment: CONTINUE sends the rest, anything else drops it.
    void answer(llcpsim::Peer& peer, uint8_t sap, bool proceed);
    void clear() { rest_.clear(); }

private:
    Bytes rest_;
};

// A SNEP server: the default server (urn:nfc:sn:snep) takes PUTs and answers GET with Not
// Implemented; a plain server also answers GET with the NDEF message it holds.
class SnepServerPeer : public ServicePeer {
public:
    enum class Kind { Default, Plain };
    SnepServerPeer(uint8_t sap, Kind kind, uint32_t maxLength = 1u << 20)
        : ServicePeer(sap), kind_(kind), maxLength_(maxLength) {}

    Bytes getAnswer;                 // what a plain server answers a GET with (none: Not Found)
    std::vector<Bytes> puts;         // the NDEF messages of the PUTs, in order
    std::vector<Bytes> gets;         // the NDEF messages of the GET requests
    std::vector<uint8_t> answered;   // the codes of every response, CONTINUE included

protected:
    void take(llcpsim::Peer& peer, const Bytes& payload) override;
    void reset() override;

private:
    void request(llcpsim::Peer& peer, const SnepMessage& m);
    void respond(llcpsim::Peer& peer, uint8_t code, const Bytes& information = {});

    Kind kind_;
    uint32_t maxLength_;
    SnepReassembly in_;
    SnepSender out_;
};

// A SNEP client that connects to a service of the host by name and PUTs NDEF messages, one after
// the other's response.
class SnepClientPeer : public ServicePeer {
public:
    SnepClientPeer(uint8_t sap, std::string service = "urn:nfc:sn:snep") : ServicePeer(sap), service_(std::move(service)) {}
    // Connects (when not yet) and queues the PUT.
    void put(llcpsim::Peer& peer, const Bytes& ndef);

    std::vector<SnepMessage> responses;

protected:
    void take(llcpsim::Peer& peer, const Bytes& payload) override;
    void connected(llcpsim::Peer& peer) override;
    void reset() override;

private:
    std::string service_;
    bool connecting_ = false, busy_ = false;
    std::vector<Bytes> queued_;
    SnepReassembly in_;
    SnepSender out_;
};

} // namespace simpeers
