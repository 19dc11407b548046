// A simulated contactless tag as a poller meets it: what it reveals while being detected and
// activated (per technology, in the terms of the NFC Digital and ISO/IEC 14443 / 15693
// definitions), and how it answers one frame or APDU from its own byte-level memory.
//
// The models know nothing of the controller that carries their frames: an NCI, HCI or PN53x
// simulator encodes these fields in its own messages. A model is used from one thread at a time
// (the simulator's); tests set it up before it enters a field and inspect it on that thread.
//
// Every model shares one shape, whoever drives it (an in-process test bench or a controller
// simulator on a pseudo-terminal): a byte-exact memory image, a log of every exchange, and
// faults injected at the n-th matching command or after n exchanges.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simtags {

using Bytes = std::vector<uint8_t>;

enum class Technology : uint8_t { A, B, F, V, Kovio };
enum class Protocol : uint8_t { T1T, T2T, T3T, IsoDep, T5T, Kovio, Mifare, NfcDep };

// NFC-A: SENS_RES as sent (first byte first), NFCID1 of 4, 7 or 10 bytes, SEL_RES (none for T1T).
struct NfcA {
    std::array<uint8_t, 2> sensRes{};
    Bytes nfcid1;
    std::optional<uint8_t> selRes;
};
// NFC-B: SENSB_RES without its first byte: NFCID0 (4), application data (4), protocol info (3 or 4).
struct NfcB {
    Bytes sensbRes;
};
// NFC-F: bit rate (1: 212 kbit/s, 2: 424 kbit/s), SENSF_RES without its response code: NFCID2 (8),
// PMm (8) and the system code (2) as request data.
struct NfcF {
    uint8_t bitRate = 1;
    Bytes sensfRes;
};
// ISO/IEC 15693: response flags and DSFID of the inventory answer; UID most significant byte
// first (0xE0 first), as it is printed, not as it travels.
struct NfcV {
    uint8_t responseFlags = 0x00;
    uint8_t dsfid = 0x00;
    std::array<uint8_t, 8> uid{};
};

// What an answer means to the poller's controller: some answers carry no data but a verdict.
enum class Reply : uint8_t { Data, Ack, Nak, AuthenticationFailed };

// One exchange as the tag saw it: the command, what the tag's protocol names in it, the answer.
struct Exchange {
    Bytes command;
    uint8_t op = 0;             // the command code
    uint32_t address = 0;       // the block, page or byte the command names (0 when none)
    Bytes data;                 // the data the command carries
    std::optional<Bytes> answer;
};

enum class FaultKind : uint8_t {
    Nak,        // the protocol's NAK or error status (silence where the protocol has none)
    Reply,      // the bytes of the fault instead of the answer
    Silence,
    Short,      // only the first bytes of the true answer
};

// A fault at the nth command matching op (and address, when given), counting from 1.
struct Fault {
    FaultKind kind = FaultKind::Nak;
    std::optional<uint8_t> op;
    std::optional<uint32_t> address;
    size_t nth = 1;
    Bytes reply;                // FaultKind::Reply
    size_t keep = 0;            // FaultKind::Short
};

class Tag {
public:
    Tag(Technology technology, Protocol protocol, size_t memorySize = 0)
        : technology(technology), protocol(protocol), memory(memorySize, 0) {}
    virtual ~Tag() = default;
    Tag(const Tag&) = delete;
    Tag& operator=(const Tag&) = delete;

    // One command frame (without CRC) or one command APDU; nothing when the tag stays silent.
    // Logged, with the injected faults applied.
    std::optional<Bytes> exchange(const Bytes& command);
    // The tag was halted, deselected or lost the field: it forgets its session state.
    virtual void reset() {}
    // How the controller takes an answer of this tag's protocol.
    virtual Reply judge(const Bytes& answer) const {
        (void)answer;
        return Reply::Data;
    }

    void inject(Fault fault) { faults_.push_back(Pending{std::move(fault), 0}); }
    // The tag leaves the field once it has answered n more exchanges; it is silent from then on.
    // With answerLost it carries out the nth of them but leaves before its answer is on the air,
    // so the poller never learns that it was done.
    void removeAfter(size_t exchanges, bool answerLost = false) {
        removeAt_ = log.size() + exchanges;
        answerLost_ = answerLost;
    }
    bool removed() const { return removeAt_ && log.size() >= *removeAt_; }

    // Byte-exact access to the image; nothing beyond its end is read or written.
    Bytes bytes(size_t offset, size_t length) const;
    void put(size_t offset, const Bytes& data);

    const Technology technology;
    const Protocol protocol;
    std::string name;

    // What the poller sees; only the part of the tag's technology is meaningful.
    NfcA a;
    NfcB b;
    NfcF f;
    NfcV v;
    Bytes ats;         // ISO-DEP on A: answer to RATS without its length byte (T0, TA, TB, TC, historical bytes)
    Bytes attribRes;   // ISO-DEP on B: answer to ATTRIB (MBLI and CID, higher-layer response)
    Bytes barcode;     // Kovio: the identifier it broadcasts
    Bytes atrRes;      // NFC-DEP: answer to ATR_REQ from NFCID3t on (NFCID3t, DIDt, BSt, BRt, TO, PPt, Gt)

    Bytes memory;                   // the byte image, for the models that have one
    std::vector<Exchange> log;      // every exchange, in order

protected:
    // The tag's own answer to one command.
    virtual std::optional<Bytes> respond(const Bytes& command) = 0;
    // What the protocol names in a command; by default code, address byte and the rest as data.
    virtual Exchange describe(const Bytes& command) const;
    // The protocol's negative answer; nothing where it has none.
    virtual std::optional<Bytes> nak() const { return std::nullopt; }

private:
    struct Pending {
        Fault fault;
        size_t seen;
    };
    const Fault* due(const Exchange& e);

    std::vector<Pending> faults_;
    std::optional<size_t> removeAt_;
    bool answerLost_ = false;
};

} // namespace simtags
