// MIFARE Classic (mini, 1K, 4K) and MIFARE Plus (2K, 4K) cards as a reader's controller meets
// them, written from the cards' datasheets and the public MIFARE Application Directory note.
//
// Sectors 0-31 hold 4 blocks, sectors 32-39 16; the last block of a sector is its trailer:
// key A, access bytes 6-8 (each condition bit with its inverted copy), general-purpose byte 9,
// key B. Every read and write needs an authentication of the block's sector with key A or B
// (60 / 61, block, 4 UID bytes, key); a failed one drops the session. What a key may do follows
// the datasheet's access-condition table. Key A always reads as zeros, key B only where the
// conditions let it be read (and such a key B opens nothing). Writes answer the 4-bit ACK 0x0A
// or NAK 0x00.
//
// A trailer written with access bytes whose inverted copies disagree bricks its sector, as on a
// card: it opens to no key from then on, and bricked() names it, so a test that caused it fails.
//
// MIFARE Plus in security level 0 takes write perso (A8, address, 16 bytes) and commit perso (AA);
// the new level (SL1, MIFARE Classic compatible) applies from the next activation.
#pragma once

#include <optional>
#include <set>

#include "tags/tag.h"

namespace simtags {

enum class MifareKind : uint8_t { Mini, Classic1K, Classic4K, Plus2K, Plus4K };

class MifareTag : public Tag {
public:
    static constexpr uint8_t ACK = 0x0A;
    static constexpr uint8_t NAK = 0x00;
    static constexpr uint8_t PERSO_OK = 0x00;

    explicit MifareTag(MifareKind kind = MifareKind::Classic1K, Bytes uid = {0x3A, 0x5C, 0x71, 0x0D},
                       uint8_t securityLevel = 1);

    Reply judge(const Bytes& answer) const override;
    void reset() override;

    const MifareKind kind;
    size_t sectors() const;
    static size_t firstBlock(size_t sector) { return sector < 32 ? 4 * sector : 128 + 16 * (sector - 32); }
    static size_t blocksIn(size_t sector) { return sector < 32 ? 4 : 16; }
    static size_t trailerBlock(size_t sector) { return firstBlock(sector) + blocksIn(sector) - 1; }
    static size_t sectorOf(size_t block) { return block < 128 ? block / 4 : 32 + (block - 128) / 16; }

    Bytes block(size_t number) const { return bytes(16 * number, 16); }
    void setBlock(size_t number, const Bytes& data) { put(16 * number, data); }
    // Key A (6), the access bytes 6-8 as stored, GPB, key B (6).
    void setTrailer(size_t sector, const Bytes& keyA, const Bytes& access, uint8_t gpb, const Bytes& keyB);

    const std::set<size_t>& bricked() const { return bricked_; }
    uint8_t securityLevel() const { return level_; }
    uint8_t persoStatus = PERSO_OK; // the answer to write and commit perso in level 0

protected:
    std::optional<Bytes> respond(const Bytes& command) override;
    std::optional<Bytes> nak() const override { return Bytes{NAK}; }

private:
    struct Session {
        size_t sector;
        bool keyB;
    };
    // The datasheet's condition (C1 << 2 | C2 << 1 | C3) of block i of the sector, or nothing
    // when the inverted copies disagree.
    std::optional<unsigned> condition(size_t sector, unsigned i) const;
    bool keyBReadable(size_t sector) const;
    std::optional<Bytes> authenticate(const Bytes& command);
    std::optional<Bytes> read(size_t number);
    std::optional<Bytes> write(size_t number, const Bytes& data);
    std::optional<Bytes> writeTrailer(size_t sector, const Bytes& data);
    std::optional<Bytes> perso(const Bytes& command);
    void setIdentity();

    std::optional<Session> session_;
    bool lastWasAuth_ = false;
    bool lastAuthFailed_ = false;
    std::set<size_t> bricked_;
    uint8_t level_;
    bool committed_ = false;
};

// Builders. Keys as the NFC Forum's mapping and the MAD note give them.
Bytes mifareKey(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f);
extern const Bytes kMifareTransportKey; // FF FF FF FF FF FF
extern const Bytes kMifareMadKey;       // A0 A1 A2 A3 A4 A5
extern const Bytes kMifareNfcKey;       // D3 F7 D3 F7 D3 F7

// Access bytes 6-8 of the conditions (C1 << 2 | C2 << 1 | C3) of blocks 0, 1, 2 and the trailer.
Bytes mifareAccessBytes(unsigned block0, unsigned block1, unsigned block2, unsigned trailer);

// The MAD check value: CRC-8, polynomial 0x1D, preset 0xC7, most significant bit first.
uint8_t madCrc(const Bytes& data);

// Every sector in transport configuration: keys FF, access FF 07 80, GPB 0x69, data zero.
void makeFactoryFresh(MifareTag& tag);
// A MAD (version 2 on cards with more than 16 sectors) that gives sectors 1..lastNfc to the NFC
// Forum application, NFC sector trailers D3F7 / 7F 07 88 / 0x40, and the message as an NDEF TLV
// from sector 1 on.
void makeNdefFormatted(MifareTag& tag, size_t lastNfc, const Bytes& message);
// Every trailer of the MAD and NFC sectors read-only: 07 8F 0F, GPB 0xC0 + MAD version or 0x43.
void makeReadOnly(MifareTag& tag, size_t lastNfc);
// Sector `sector` given to another application in the MAD, with its own keys and data.
void addForeignApplication(MifareTag& tag, size_t sector, const Bytes& data);

// An independent check of a card's directory: MAD1 (and MAD2 when its GPB says so) CRC, the
// standard MAD access bytes and the NFC sector entries; the NFC sectors, or nothing.
std::optional<std::vector<size_t>> madNfcSectors(const MifareTag& tag);

} // namespace simtags
