// A simulated contactless tag as a poller meets it: what it reveals while being detected and
// activated (per technology, in the terms of the NFC Digital and ISO/IEC 14443 / 15693
// definitions), and how it answers one frame or APDU from its own byte-level memory.
//
// The models know nothing of the controller that carries their frames: an NCI, HCI or PN53x
// simulator encodes these fields in its own messages. A model is used from one thread at a time
// (the simulator's); tests set it up before it enters a field and inspect it on that thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simtags {

using Bytes = std::vector<uint8_t>;

enum class Technology : uint8_t { A, B, F, V, Kovio };
enum class Protocol : uint8_t { T1T, T2T, T3T, IsoDep, T5T, Kovio, NfcDep };

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

class Tag {
public:
    Tag(Technology technology, Protocol protocol) : technology(technology), protocol(protocol) {}
    virtual ~Tag() = default;
    Tag(const Tag&) = delete;
    Tag& operator=(const Tag&) = delete;

    // One command frame (without CRC) or one command APDU; nothing when the tag stays silent.
    virtual std::optional<Bytes> exchange(const Bytes& command) = 0;
    // The tag was halted, deselected or lost the field: it forgets its session state.
    virtual void reset() {}

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
};

} // namespace simtags
