#include "th/th_mifare.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "th/th_frame.h"
#include "th/th_mifare_format.h"
#include "th/th_tlv.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "th_type_mst:";
constexpr uint32_t kProgress = 0x10;
constexpr uint32_t kDetail = 0x20;
constexpr uint32_t kErrors = 0x04;

constexpr uint8_t kAuthA = 0x60, kAuthB = 0x61, kRead = 0x30, kWrite = 0xA0;
constexpr uint8_t kPersoWrite = 0xA8, kPersoCommit = 0xAA;
constexpr uint8_t kNoSector = 255;
constexpr uint16_t kBlockSize = 16;
constexpr uint8_t kSakClassicLevel = 0x18, kSakLevel0 = 0x20;
constexpr uint16_t kCauseDevice = 0x206;
constexpr uint16_t kCauseAuth = nfcCauseAuthenticationFailed;
constexpr uint16_t kCauseShort = nfcCauseInvalidData;
constexpr uint16_t kCauseNoMad = nfcCauseNotNfcForumTag;
constexpr uint16_t kCauseFormatRefused = nfcCauseNoMoreWriting;
constexpr uint8_t kNfcAid[2] = {0x03, 0xE1};
constexpr uint32_t kMad1Capacity = 716;

// ---- Key lists ----------------------------------------------------------------------------------

using Key = std::array<uint8_t, 6>;
constexpr Key kPublicMadKey{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
constexpr Key kTransportKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Key kZeroKey{};
constexpr Key kPublicNfcKey{0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7};

// The last entry of each list repeats the first, which so stays reachable when a key that worked
// later in the list has taken its place.
struct KeyList {
    Key keys[5];
    uint8_t count;
};
constexpr KeyList kBuiltIn[4] = {
    {{kPublicMadKey, kTransportKey, kZeroKey, kPublicMadKey}, 4},
    {{kPublicMadKey, kTransportKey, kPublicNfcKey, kZeroKey, kPublicMadKey}, 5},
    {{kPublicNfcKey, kTransportKey, kZeroKey, kPublicNfcKey}, 4},
    {{kPublicNfcKey, kTransportKey, kZeroKey, kPublicNfcKey}, 4},
};
KeyList g_lists[4] = {kBuiltIn[0], kBuiltIn[1], kBuiltIn[2], kBuiltIn[3]};

bool isKeyA(TmsKeyList list) { return list == TMS_MAD_KEY_A || list == TMS_NFC_KEY_A; }
uint8_t commandOf(TmsKeyList list) { return isKeyA(list) ? kAuthA : kAuthB; }
// The other list of the same kind: key A and key B of the MAD, or of the NFC sectors.
TmsKeyList otherOf(TmsKeyList list) {
    switch (list) {
    case TMS_MAD_KEY_A: return TMS_MAD_KEY_B;
    case TMS_MAD_KEY_B: return TMS_MAD_KEY_A;
    case TMS_NFC_KEY_A: return TMS_NFC_KEY_B;
    default: return TMS_NFC_KEY_A;
    }
}

// ---- Family state -------------------------------------------------------------------------------

// The NDEF TLV sought over the data area as one byte stream, so that a TLV that crosses a block
// is read whole and the value of another TLV is never taken for a type.
struct TlvWalk {
    enum Phase : uint8_t { TYPE, LENGTH, LONG_HIGH, LONG_LOW, SKIP, FOUND, ENDED };
    Phase phase;
    uint8_t type;
    uint16_t length;
    uint32_t start; // position of the TLV's type byte
    uint32_t skip;
};

struct Auth {
    uint8_t block;
    uint8_t command;
    uint8_t count;
    uint8_t index;
    TmsKeyList list;
    TmsKeyList authenticated;
    uint8_t sector;
};

enum CheckStep : uint8_t { CHECK_MAD1, CHECK_MAD2, CHECK_TRAILER, CHECK_DATA };

struct MfState {
    uint8_t ndefVersion;
    uint8_t madVersion;
    uint8_t firstNfc;
    uint8_t lastNfc;
    uint8_t lowCount;
    uint8_t highCount;
    bool runStarted;
    bool runEnded;
    uint8_t mad[128];
    uint8_t step;
    uint16_t block; // of the sequence in progress
    uint8_t sector; // of the walk in progress
    uint32_t tlvPos;
    uint32_t valueOffset;
    uint32_t walkPos;
    bool cut;
    Auth auth;
    uint8_t pdu[19];
    uint8_t pduLength;
    TmsKeyList stampKeyB; // a trailer write that takes its keys from the lists when sent
    uint8_t staging[16];
    uint8_t fill;
    uint8_t cache[16];
    uint16_t cacheBlock;
    bool cacheValid;
    bool touched;
    uint8_t trailerKeyCommand;
    uint8_t persoStep;
    bool persoCommitted;
    uint32_t readLength;
    bool partial;
    uint8_t headerSize;
    uint32_t written;
    uint16_t writeBlock;
    uint16_t firstBlock;
    bool finalBlock;
    TlvWalk walk;
    uint8_t lockedSectors;  // trailers the make-read-only in progress has locked
    TmfEraseState erase;
};
static_assert(sizeof(MfState) <= TH_FAMILY_STATE_SIZE);

MfState& st(TTagHandler* h) { return *std::launder(reinterpret_cast<MfState*>(h->family)); }

// ---- States -------------------------------------------------------------------------------------

// clang-format off
#define TMS_STATES(X) \
    X(Idle) \
    X(CheckNdef) \
    X(NdefTag) \
    X(LegacyTag) \
    X(Read) \
    X(ReadCheck) \
    X(WriteInit) \
    X(WriteData) \
    X(WaitForNextWrite) \
    X(WriteFinalize) \
    X(FormatInit) \
    X(FormatReadTrailer) \
    X(FormatWriteBlock) \
    X(LegacyFormat) \
    X(MFPlusPerso) \
    X(Test) \
    X(SetReadonly) \
    X(DoTransaction) \
    X(DoAuthentication) \
    X(Recover) \
    X(Magic)
// clang-format on
#define TMS_DECLARE(name) uint32_t tmsState##name(TStateMachine* m, uint16_t event);
TMS_STATES(TMS_DECLARE)
#undef TMS_DECLARE
uint32_t tmsDefaultHandler(TStateMachine* m, uint16_t event);

#define TMS_ROW(name) {&tmsState##name, "tmsState" #name},
const SmStateEntry kStates[] = {TMS_STATES(TMS_ROW){&tmsDefaultHandler, "tmsDefaultHandler"}};
#undef TMS_ROW
static_assert(sizeof kStates / sizeof kStates[0] == 22);

void tmsForgetContent(TTagHandler* h);

const ThFamilyStates kFamily{&tmsStateIdle, &tmsStateNdefTag,     &tmsStateLegacyTag,  &tmsStateCheckNdef,
                             &tmsStateRead, &tmsStateWriteInit,   &tmsStateFormatInit, &tmsStateLegacyFormat,
                             &tmsStateTest, &tmsStateSetReadonly, &tmsStateMagic,      &tmsForgetContent};
const ThFamilyStates kLegacyCommands{&tmsStateIdle, &tmsStateNdefTag, &tmsStateLegacyTag,  &tmsStateCheckNdef,
                                     nullptr,       nullptr,          &tmsStateFormatInit, &tmsStateLegacyFormat,
                                     &tmsStateTest, nullptr,          &tmsStateMagic,      &tmsForgetContent};

uint32_t finish(TStateMachine* m, uint16_t cause) { return thFinishCommand(m, cause, kFamily); }
// ---- Geometry -----------------------------------------------------------------------------------

uint16_t firstBlockOf(uint8_t sector) { return sector < 32 ? 4 * sector : 16 * (sector - 24); }
uint8_t dataBlocksOf(uint8_t sector) { return sector < 32 ? 3 : 15; }
bool isTrailer(uint16_t block) { return block < 128 ? block % 4 == 3 : (block - 128) % 16 == 15; }
bool isMadSector(uint8_t sector) { return sector == 0 || sector == 16; }
uint32_t positionOfSector(uint8_t sector) { return kBlockSize * uint32_t{tmsCalcDatablockNum(sector, 1)}; }
uint32_t capacityOf(uint8_t lastSector) { return tmsNdefCapacity(tmsCalcDatablockNum(lastSector + 1, 1)); }

// The data block after this one in the NFC area: trailers and the MAD2 sector skipped.
uint16_t nextDataBlock(uint16_t block) {
    uint16_t next = static_cast<uint16_t>(block + 1);
    if (isTrailer(next)) ++next;
    if (next >= 64 && next < 68) next = 68;
    return next;
}

uint32_t memorySize(uint32_t tagType) {
    switch (tagType & 0x7000DF7u) {
    case TAG_MIFARE_S20: return 320;
    case TAG_MIFARE_STD_1K: return 1024;
    case TAG_MIFARE_PLUS_2K: return 2048;
    case TAG_MIFARE_STD_4K:
    case TAG_MIFARE_PLUS_4K: return 4096;
    default: return 0;
    }
}

uint8_t sectorsOfMemory(uint32_t size) {
    return static_cast<uint8_t>(size <= 2048 ? size / 64 : 32 + (size - 2048) / 256);
}
uint8_t lastSectorOf(uint32_t tagType) {
    const uint8_t sectors = sectorsOfMemory(memorySize(tagType));
    return sectors ? static_cast<uint8_t>(sectors - 1) : 0;
}
uint32_t capacityOfMemory(uint32_t size) {
    return size ? capacityOf(static_cast<uint8_t>(sectorsOfMemory(size) - 1)) : 0;
}

bool isPlus(uint32_t tagType) {
    const uint32_t t = tagType & ~uint32_t{TAG_NDEF};
    return t == TAG_MIFARE_PLUS_2K || t == TAG_MIFARE_PLUS_4K;
}

// ---- The authenticate-then-transact sub-sequence -------------------------------------------------

uint8_t* keyOf(TmsKeyList list, unsigned index) { return g_lists[list].keys[index].data(); }

// Runs the prepared PDU on the block with keys of the list; the master hears 0x102 with the answer
// or 0x103 with the cause.
uint32_t transact(TStateMachine* m, uint8_t block, TmsKeyList list) {
    MfState& s = st(thOf(m));
    s.auth.block = block;
    s.auth.list = list;
    s.auth.command = commandOf(list);
    s.auth.count = g_lists[list].count;
    s.stampKeyB = TMS_NO_LIST;
    m->master = m->current;
    m->next = &tmsStateDoTransaction;
    return SM_SUBSTATE;
}

uint32_t readBlock(TStateMachine* m, uint16_t block, TmsKeyList list) {
    MfState& s = st(thOf(m));
    if (block > 255) {
        TRACE(kErrors, "%s ! ERROR: Block index out of range", kPrefix);
        return finish(m, kCauseShort);
    }
    TRACE(kDetail, "%s read block %d", kPrefix, block);
    s.pdu[0] = kRead;
    s.pdu[1] = static_cast<uint8_t>(block);
    s.pduLength = 2;
    return transact(m, static_cast<uint8_t>(block), list);
}

uint32_t writeBlock(TStateMachine* m, uint16_t block, const uint8_t* data, TmsKeyList list) {
    MfState& s = st(thOf(m));
    if (block > 255) {
        TRACE(kErrors, "%s ! ERROR: Block index out of range", kPrefix);
        return finish(m, kCauseShort);
    }
    TRACE(kDetail, "%s write block %d", kPrefix, block);
    s.pdu[0] = kWrite;
    s.pdu[1] = static_cast<uint8_t>(block);
    std::memcpy(s.pdu + 2, data, kBlockSize);
    s.pduLength = 18;
    return transact(m, static_cast<uint8_t>(block), list);
}

// A trailer that carries the lists' first keys: they are taken when the write is sent, after the
// authentication has put the key that opened the sector in front.
uint32_t writeTrailerWithListKeys(TStateMachine* m, uint16_t block, const uint8_t* trailer, TmsKeyList list) {
    const uint32_t r = writeBlock(m, block, trailer, list);
    st(thOf(m)).stampKeyB = list == TMS_MAD_KEY_A || list == TMS_MAD_KEY_B ? TMS_MAD_KEY_B : TMS_NFC_KEY_B;
    return r;
}

void stampKeys(MfState& s) {
    if (s.stampKeyB == TMS_NO_LIST) return;
    std::memcpy(s.pdu + 2, keyOf(otherOf(s.stampKeyB), 0), 6);
    std::memcpy(s.pdu + 2 + 10, keyOf(s.stampKeyB, 0), 6);
}

// Every block answer must hold the whole block.
bool blockAnswer(TTagHandler* h) {
    if (h->rspData && h->rspLength >= kBlockSize) return true;
    TRACE(kErrors, "%s ! Not enough data in read response", kPrefix);
    return false;
}

uint16_t sendAuthentication(TTagHandler* h, uint8_t flags) {
    MfState& s = st(h);
    TRACE(kDetail, "%s authenticating block %d", kPrefix, s.auth.block);
    TRACE(kDetail, "%s trying key %d", kPrefix, s.auth.index);
    uint8_t pdu[12] = {s.auth.command, s.auth.block};
    std::memcpy(pdu + 2, h->uidLength > 4 ? h->uid + 3 : h->uid, 4);
    std::memcpy(pdu + 6, keyOf(s.auth.list, s.auth.index), 6);
    const uint16_t cause = tmfSendKept(h, pdu, sizeof pdu, flags);
    if (cause) {
        TRACE(kErrors, "%s ! sending authentication request failed", kPrefix);
        s.auth.authenticated = TMS_NO_LIST;
    }
    return cause;
}

// The key that opened the sector goes to the front of its list.
void keyAccepted(TTagHandler* h) {
    MfState& s = st(h);
    if (s.auth.index > 0) {
        std::memcpy(keyOf(s.auth.list, 0), keyOf(s.auth.list, s.auth.index), 6);
        s.auth.index = 0;
    }
    const uint8_t* k = keyOf(s.auth.list, 0);
    TRACE(kProgress, "%s authentication successfull for key, now %X %X %X %X %X %X", kPrefix, k[0], k[1], k[2], k[3],
          k[4], k[5]);
}

uint32_t tmsStateDoTransaction(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        if (tmsSectorOfBlock(s.auth.block) != s.auth.sector || s.auth.list != s.auth.authenticated)
            return thChangeTo(m, &tmsStateDoAuthentication);
        stampKeys(s);
        return tmfSendKept(h, s.pdu, s.pduLength, 0) ? SM_MASTER_ERROR : SM_DONE;
    case EV_TH_TRANSACTION_IND:
        TRACE(kDetail, "%s Received %d bytes", kPrefix, static_cast<int>(h->rspLength));
        return SM_MASTER;
    case EV_TH_TRANSACTION_ERROR_IND:
        // A tag that refused a command has dropped its authentication.
        s.auth.sector = kNoSector;
        return SM_NOT_HANDLED;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t tmsStateDoAuthentication(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        s.auth.index = 0;
        s.auth.sector = kNoSector;
        if (!sendAuthentication(h, 0)) return SM_DONE;
        TRACE(kErrors, "%s Authentication failed", kPrefix);
        return SM_MASTER_ERROR;
    case EV_TH_TRANSACTION_IND:
        s.auth.sector = tmsSectorOfBlock(s.auth.block);
        s.auth.authenticated = s.auth.list;
        keyAccepted(h);
        return thChangeTo(m, &tmsStateDoTransaction);
    case EV_TH_TRANSACTION_ERROR_IND:
        TRACE(kErrors, "%s Received message with cause %#x", kPrefix, h->cause);
        if (h->cause == kCauseDevice) return SM_MASTER_ERROR;
        if (++s.auth.index < s.auth.count) return sendAuthentication(h, 0) ? SM_MASTER_ERROR : SM_DONE;
        s.auth.authenticated = TMS_NO_LIST;
        return SM_MASTER_ERROR;
    default: return SM_NOT_HANDLED;
    }
}

// ---- Trailer evaluation -------------------------------------------------------------------------

constexpr uint16_t kTrailerMasks[8] = {0x36, 0x3404, 0x06, 0x404, 0x76, 0x4404, 0x7404, 0x404};
constexpr uint8_t kDataMasks[8] = {0xFF, 0x31, 0x11, 0xF9, 0x99, 0x10, 0x30, 0x00};

void evaluateTrailer(TTagHandler* h, const uint8_t* trailer) {
    MfState& s = st(h);
    uint8_t v[4];
    tmsDecodeAccessBits(trailer, v);
    const uint16_t mask = kTrailerMasks[v[3]];
    TRACE(kDetail, "%s Got accessBitmask %#x", kPrefix, mask);
    if (mask & 0x40) {
        TRACE(kDetail, "%s Trailer accessible with key A", kPrefix);
        s.trailerKeyCommand = kAuthA;
    } else if (mask & 0x4000) {
        TRACE(kDetail, "%s Trailer accessible with key B", kPrefix);
        s.trailerKeyCommand = kAuthB;
    } else {
        TRACE(kDetail, "%s Trailer not accessible", kPrefix);
        h->access &= static_cast<uint16_t>(~(TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE));
    }
    for (unsigned i = 0; i < 3; ++i) {
        if (kDataMasks[v[i]] & 0x22) continue;
        TRACE(kDetail, "%s Write protection for MAD data block in access bits", kPrefix);
        h->access &= static_cast<uint16_t>(~TH_ACCESS_WRITE);
    }
}

// ---- Check NDEF ---------------------------------------------------------------------------------

void scanEntry(MfState& s, uint8_t sector, const uint8_t* entry) {
    const bool nfc = entry[0] == kNfcAid[0] && entry[1] == kNfcAid[1];
    if (!nfc) {
        if (s.runStarted) s.runEnded = true;
        return;
    }
    if (s.runEnded) return;
    if (!s.runStarted) {
        s.runStarted = true;
        s.firstNfc = sector;
    }
    s.lastNfc = sector;
    if (sector < 32)
        ++s.lowCount;
    else
        ++s.highCount;
}

void traceSummary(TTagHandler* h) {
    const MfState& s = st(h);
    TRACE(kProgress, "%s MAD version = %d", kPrefix, s.madVersion);
    TRACE(kProgress, "%s First NFC sector = %d", kPrefix, s.firstNfc);
    TRACE(kProgress, "%s Last NFC sector = %d", kPrefix, s.lastNfc);
    TRACE(kProgress, "%s Number of low NFC sectors = %d", kPrefix, s.lowCount);
    TRACE(kProgress, "%s Number of high NFC sectors = %d", kPrefix, s.highCount);
    TRACE(kProgress, "%s Write access = %d", kPrefix, (h->access & TH_ACCESS_WRITE) ? 1 : 0);
}

uint32_t checkEnd(TStateMachine* m, uint16_t cause) {
    traceSummary(thOf(m));
    return finish(m, cause);
}

uint32_t readNfcTrailer(TStateMachine* m) {
    MfState& s = st(thOf(m));
    s.step = CHECK_TRAILER;
    return readBlock(m, tmsSectorTrailerBlock(s.sector), TMS_NFC_KEY_A);
}

uint32_t endMadScan(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    if (!s.runStarted) {
        TRACE(kErrors, "%s No NDEF sectors in MAD", kPrefix);
        return checkEnd(m, kCauseNoMad);
    }
    h->maxNdefSize = tmsNdefCapacity(tmsCalcDatablockNum(s.lastNfc + 1, s.firstNfc));
    s.sector = s.firstNfc;
    return readNfcTrailer(m);
}

uint32_t scanMad2(TStateMachine* m) {
    MfState& s = st(thOf(m));
    const uint8_t* mad2 = s.mad + 64;
    if (tmsMadCrc(mad2 + 1, 47) != mad2[0]) {
        // The second directory cannot be trusted: the run stays what the first one gave.
        TRACE(kErrors, "%s ! CRC missmatch in MAD2, NFC sectors end at sector 15", kPrefix);
        return endMadScan(m);
    }
    for (uint8_t sector = 17; sector <= 39; ++sector) scanEntry(s, sector, mad2 + 2 * (sector - 16));
    return endMadScan(m);
}

uint32_t madTrailerChecked(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    const uint8_t gpb = s.mad[48 + 9];
    if (!(gpb & 0x80)) {
        TRACE(kErrors, "%s ! Invalid GPB in MAD trailer", kPrefix);
        return checkEnd(m, kCauseNoMad);
    }
    s.madVersion = gpb & 0x03;
    if (s.madVersion != 1 && s.madVersion != 2) {
        s.madVersion = 1;
        return checkEnd(m, kCauseNoMad);
    }
    evaluateTrailer(h, s.mad + 48);
    if (tmsMadCrc(s.mad + 17, 31) != s.mad[16]) TRACE(kErrors, "%s ! CRC missmatch in MAD1 (ignored)", kPrefix);
    for (uint8_t sector = 1; sector <= 15; ++sector) scanEntry(s, sector, s.mad + 16 + 2 * sector);
    // The second directory only matters when the NFC run may go on past sector 15.
    if (s.madVersion == 2 && (!s.runStarted || !s.runEnded)) {
        s.step = CHECK_MAD2;
        s.block = 64;
        return readBlock(m, 64, TMS_MAD_KEY_A);
    }
    return endMadScan(m);
}

uint32_t mad2TrailerChecked(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    if (s.mad[64 + 48 + 9] != 0) {
        TRACE(kErrors, "%s ! Warning: Invalid GPB in MAD2 trailer", kPrefix);
        return checkEnd(m, kCauseNoMad);
    }
    evaluateTrailer(h, s.mad + 64 + 48);
    return scanMad2(m);
}

// The walk of the data blocks after the accepted trailer: one byte stream over blocks.
void walkByte(TlvWalk& w, uint8_t b, uint32_t position) {
    switch (w.phase) {
    case TlvWalk::TYPE:
        if (b == TLV_NULL) return;
        if (b == TLV_TERMINATOR) {
            w.phase = TlvWalk::ENDED;
            return;
        }
        w.type = b;
        w.start = position;
        w.phase = TlvWalk::LENGTH;
        return;
    case TlvWalk::LENGTH:
        if (b == TLV_LONG_LENGTH) {
            w.phase = TlvWalk::LONG_HIGH;
            return;
        }
        w.length = b;
        break;
    case TlvWalk::LONG_HIGH:
        w.length = static_cast<uint16_t>(b << 8);
        w.phase = TlvWalk::LONG_LOW;
        return;
    case TlvWalk::LONG_LOW: w.length = static_cast<uint16_t>(w.length | b); break;
    case TlvWalk::SKIP:
        if (--w.skip == 0) w.phase = TlvWalk::TYPE;
        return;
    default: return;
    }
    // A complete length.
    if (w.type == TLV_NDEF) {
        w.phase = TlvWalk::FOUND;
        return;
    }
    w.skip = w.length;
    w.phase = w.skip ? TlvWalk::SKIP : TlvWalk::TYPE;
}

uint32_t ndefFound(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    s.tlvPos = s.walk.start;
    const bool longForm = s.walkPos - s.walk.start > 2;
    s.valueOffset = s.tlvPos + (longForm ? 4 : 2);
    h->currentNdefSize = s.walk.length;
    if (h->currentNdefSize > h->maxNdefSize) {
        TRACE(kErrors, "%s ! NDEF length %u above the capacity %u", kPrefix, static_cast<unsigned>(h->currentNdefSize),
              static_cast<unsigned>(h->maxNdefSize));
        h->currentNdefSize = 0;
        return checkEnd(m, kCauseShort);
    }
    return checkEnd(m, 0);
}

uint32_t walkData(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    for (uint16_t k = 0; k < kBlockSize; ++k) {
        walkByte(s.walk, h->rspData[k], s.walkPos++);
        if (s.walk.phase == TlvWalk::FOUND) return ndefFound(m);
        if (s.walk.phase == TlvWalk::ENDED) break;
    }
    const uint16_t next = nextDataBlock(s.block);
    if (s.walk.phase == TlvWalk::ENDED || next > 255 || tmsSectorOfBlock(static_cast<uint8_t>(next)) > s.lastNfc) {
        TRACE(kErrors, "%s ! No NDEF TLV in the NFC sectors", kPrefix);
        return checkEnd(m, kCauseNoMad);
    }
    s.block = next;
    return readBlock(m, next, TMS_NFC_KEY_A);
}

uint32_t nfcTrailerRead(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    const uint8_t gpb = h->rspData[9];
    const unsigned major = gpb >> 6, minor = (gpb >> 4) & 3u, rights = gpb & 3u;
    if (major != 1) TRACE(kErrors, "th: ! Incompatible document version = %d.%d instead of %d.%d", major, minor, 1, 0);
    const bool accepted = major == 1 && (gpb & 0x0C) == 0 && (rights == 0 || rights == 3);
    if (accepted) {
        s.ndefVersion = static_cast<uint8_t>(major * 16 + minor);
        if (rights == 3) h->access &= static_cast<uint16_t>(~TH_ACCESS_WRITE);
        evaluateTrailer(h, h->rspData);
        s.walk = TlvWalk{};
        s.block = firstBlockOf(s.sector);
        s.walkPos = positionOfSector(s.sector);
        s.step = CHECK_DATA;
        return readBlock(m, s.block, TMS_NFC_KEY_A);
    }
    do ++s.sector;
    while (s.sector == 16);
    if (s.sector > s.lastNfc) {
        TRACE(kErrors, "%s ! No NFC sector trailer accepted", kPrefix);
        return checkEnd(m, kCauseNoMad);
    }
    return readNfcTrailer(m);
}

uint32_t checkAnswer(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    if (!blockAnswer(h)) return checkEnd(m, kCauseShort);
    switch (s.step) {
    case CHECK_MAD1:
        std::memcpy(s.mad + kBlockSize * s.block, h->rspData, kBlockSize);
        if (s.block < 3) return readBlock(m, ++s.block, TMS_MAD_KEY_A);
        return madTrailerChecked(m);
    case CHECK_MAD2:
        std::memcpy(s.mad + 64 + kBlockSize * (s.block - 64), h->rspData, kBlockSize);
        if (s.block < 67) return readBlock(m, ++s.block, TMS_MAD_KEY_A);
        return mad2TrailerChecked(m);
    case CHECK_TRAILER: return nfcTrailerRead(m);
    default: return walkData(m);
    }
}

uint32_t checkFailed(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    if (h->cause == kCauseAuth) {
        if (s.auth.block == 3 || s.auth.block == 67) h->access &= static_cast<uint16_t>(~TH_ACCESS_FORMATTABLE);
        if ((s.step == CHECK_TRAILER || s.step == CHECK_DATA) && s.sector > 1) {
            s.cut = true;
            h->maxNdefSize = capacityOf(static_cast<uint8_t>(s.sector - 1));
            TRACE(kProgress, "%s avaialable NDEF size = %d", kPrefix, static_cast<int>(h->maxNdefSize));
        }
        return finish(m, kCauseAuth);
    }
    thSendTransactionIndication(h, kCauseDevice);
    return thChangeTo(m, &tmsStateIdle);
}

uint32_t tmsStateCheckNdef(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        std::memset(s.mad, 0, sizeof s.mad);
        s.madVersion = 0;
        s.firstNfc = s.lastNfc = s.lowCount = s.highCount = 0;
        s.runStarted = s.runEnded = s.cut = s.cacheValid = false;
        s.block = 0;
        s.step = CHECK_MAD1;
        h->access |= TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
        return readBlock(m, 0, TMS_MAD_KEY_A);
    case EV_SM_RETURNED: return checkAnswer(m);
    case EV_SM_RETURNED_ERROR: return checkFailed(m);
    default: return SM_NOT_HANDLED;
    }
}

// ---- Read ---------------------------------------------------------------------------------------

uint32_t readNext(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    ThCommandBlock& c = h->command;
    while (c.delivered < s.readLength) {
        const uint32_t position = s.valueOffset + c.offset + c.delivered;
        const uint16_t block = tmsDataBlockOfPosition(position);
        if (!(s.cacheValid && s.cacheBlock == block)) {
            s.touched = true;
            return readBlock(m, block, TMS_NFC_KEY_A);
        }
        const uint32_t n = std::min<uint32_t>(kBlockSize - position % kBlockSize, s.readLength - c.delivered);
        TRACE(kDetail, "%s getting %d bytes of block %d from cache", kPrefix, static_cast<int>(n), block);
        std::memcpy(c.buffer + c.delivered, s.cache + position % kBlockSize, n);
        c.delivered += n;
    }
    return thReadServed(m, s.partial ? nfcCauseTagBufferTooSmall : nfcCauseOk, s.touched, &tmsStateReadCheck, kFamily);
}

uint32_t tmsStateRead(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    ThCommandBlock& c = h->command;
    switch (event) {
    case EV_SM_ENTRY: {
        c.delivered = 0;
        s.touched = false;
        const uint32_t rest = c.offset < h->currentNdefSize ? h->currentNdefSize - c.offset : 0;
        s.readLength = std::min(c.size, rest);
        s.partial = uint64_t{c.offset} + s.readLength < h->currentNdefSize;
        if (s.readLength && !c.buffer) return finish(m, nfcCauseWrongParameter);
        return readNext(m);
    }
    case EV_SM_RETURNED:
        if (!blockAnswer(h)) return finish(m, kCauseShort);
        std::memcpy(s.cache, h->rspData, kBlockSize);
        s.cacheBlock = s.auth.block;
        s.cacheValid = true;
        return readNext(m);
    case EV_SM_RETURNED_ERROR: return finish(m, h->cause);
    default: return SM_NOT_HANDLED;
    }
}

// The presence of the tag shown by one authentication: with the list that worked last, else
// with the NFC key A list on the first data block.
uint16_t startLiveness(TTagHandler* h, uint8_t flags) {
    MfState& s = st(h);
    if (s.auth.authenticated == TMS_NO_LIST) {
        s.auth.block = 4;
        s.auth.list = TMS_NFC_KEY_A;
    } else {
        s.auth.list = s.auth.authenticated;
    }
    s.auth.command = commandOf(s.auth.list);
    s.auth.count = g_lists[s.auth.list].count;
    s.auth.index = 0;
    return sendAuthentication(h, flags);
}

// The answer to a liveness authentication: 0 alive, 25 another key is tried, 0x206 not alive.
uint16_t livenessAnswer(TTagHandler* h, bool ok, uint8_t flags) {
    MfState& s = st(h);
    if (ok) {
        s.auth.authenticated = s.auth.list;
        keyAccepted(h);
        s.auth.sector = kNoSector;
        return 0;
    }
    if (h->cause == kCauseAuth && ++s.auth.index < s.auth.count)
        return sendAuthentication(h, flags) ? kCauseDevice : TMF_PENDING;
    s.auth.authenticated = TMS_NO_LIST;
    s.auth.sector = kNoSector;
    TRACE(kErrors, "%s test failed", kPrefix);
    return kCauseDevice;
}

// The liveness of a read (which then reports what it read) or of the test.
uint32_t livenessState(TStateMachine* m, uint16_t event, uint8_t flags, uint16_t done, uint16_t failed) {
    TTagHandler* h = thOf(m);
    const bool read = flags != TH_PDU_CHECK;
    auto end = [&](uint16_t cause) { return read ? thSignOfLife(m, cause, kFamily) : finish(m, cause); };
    if (event == EV_SM_ENTRY) {
        if (!startLiveness(h, flags)) return SM_DONE;
        TRACE(kErrors, "%s Authentication failed", kPrefix);
        return end(kCauseDevice);
    }
    if (event != done && event != failed) return SM_NOT_HANDLED;
    const uint16_t r = livenessAnswer(h, event == done, flags);
    return r == TMF_PENDING ? SM_DONE : end(r);
}

uint32_t tmsStateReadCheck(TStateMachine* m, uint16_t event) {
    return livenessState(m, event, 0, EV_TH_TRANSACTION_IND, EV_TH_TRANSACTION_ERROR_IND);
}

uint32_t tmsStateTest(TStateMachine* m, uint16_t event) {
    return livenessState(m, event, TH_PDU_CHECK, EV_TH_CHECK_CONF, EV_TH_CHECK_CONF_ERROR);
}

// ---- Write --------------------------------------------------------------------------------------

constexpr uint16_t kPastEnd = 0xFFFF; // the write block after the last NFC sector

uint16_t lastDataBlock(const MfState& s) {
    return static_cast<uint16_t>(firstBlockOf(s.lastNfc) + dataBlocksOf(s.lastNfc) - 1);
}

// The request's data into the staging block; a full block, or the last one of the message, is
// written.
uint32_t writeData(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    ThCommandBlock& c = h->command;
    const uint32_t take = std::min<uint32_t>(kBlockSize - s.fill, c.size - c.progress[0]);
    std::memcpy(s.staging + s.fill, c.data + c.progress[0], take);
    s.fill = static_cast<uint8_t>(s.fill + take);
    c.progress[0] += take;
    s.written += take;
    const bool usedUp = c.progress[0] == c.size;
    s.finalBlock = usedUp && c.final;
    if (s.finalBlock && s.fill < kBlockSize && !s.cut) s.staging[s.fill++] = TLV_TERMINATOR;
    if (s.fill == kBlockSize || (s.finalBlock && s.fill > 0)) {
        if (s.writeBlock == kPastEnd) {
            TRACE(kErrors, "%s ! message runs past the last NFC sector", kPrefix);
            return finish(m, nfcCauseInputTooBig);
        }
        if (s.fill < kBlockSize) std::memset(s.staging + s.fill, 0, kBlockSize - s.fill);
        if (s.writeBlock == s.firstBlock) std::memcpy(s.cache, s.staging, kBlockSize);
        return writeBlock(m, s.writeBlock, s.staging, TMS_NFC_KEY_A);
    }
    if (s.finalBlock) return thChangeTo(m, &tmsStateWriteFinalize);
    thSendTransactionIndication(h, 0);
    return thChangeTo(m, &tmsStateWaitForNextWrite);
}

// A chunk fits when the message stays within the capacity and within its header's length form.
uint16_t chunkRefused(TTagHandler* h) {
    const MfState& s = st(h);
    return thRefusePart(h, s.written, h->command.size, s.headerSize == 2);
}

uint32_t assembleFirstBlock(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    const uint8_t offset = static_cast<uint8_t>(s.tlvPos % kBlockSize);
    std::memset(s.staging, 0, sizeof s.staging);
    if (offset) std::memcpy(s.staging, s.cache, offset);
    for (uint8_t k = 0; k < s.headerSize; ++k) s.staging[offset + k] = tlvPendingHeaderByte(k);
    s.fill = static_cast<uint8_t>(offset + s.headerSize);
    s.cacheBlock = s.firstBlock;
    s.cacheValid = false;
    return thChangeTo(m, &tmsStateWriteData);
}

uint32_t tmsStateWriteInit(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: {
        const uint32_t size = h->command.size;
        s.written = 0;
        s.headerSize = size > 254 ? 4 : 2;
        if (const uint16_t refused = chunkRefused(h)) return finish(m, refused);
        if (s.tlvPos % kBlockSize + s.headerSize > kBlockSize) {
            TRACE(kErrors, "%s ! TLV header truncated", kPrefix);
            return finish(m, nfcCauseInternalSoftware);
        }
        h->command.progress[0] = 0;
        s.firstBlock = s.writeBlock = tmsDataBlockOfPosition(s.tlvPos);
        if (s.tlvPos % kBlockSize) return readBlock(m, s.firstBlock, TMS_NFC_KEY_A);
        return assembleFirstBlock(m);
    }
    case EV_SM_RETURNED:
        if (!blockAnswer(h)) return finish(m, kCauseShort);
        std::memcpy(s.cache, h->rspData, kBlockSize);
        return assembleFirstBlock(m);
    case EV_SM_RETURNED_ERROR: return finish(m, h->cause);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t tmsStateWriteData(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: return writeData(m);
    case EV_SM_RETURNED: {
        s.fill = 0;
        // The first block carries the empty header: the tag now holds an empty message.
        if (s.writeBlock == s.firstBlock) h->currentNdefSize = 0;
        if (s.finalBlock) return thChangeTo(m, &tmsStateWriteFinalize);
        const uint16_t next = nextDataBlock(s.writeBlock);
        s.writeBlock = s.writeBlock >= lastDataBlock(s) || next > 255 ? kPastEnd : next;
        std::memset(s.staging, 0, sizeof s.staging);
        return writeData(m);
    }
    case EV_SM_RETURNED_ERROR: return finish(m, h->cause);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t tmsStateWaitForNextWrite(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    if (event != EV_TH_CMD_WRITE) return SM_NOT_HANDLED;
    if (const uint16_t refused = chunkRefused(h)) return finish(m, refused);
    h->command.progress[0] = 0;
    return thChangeTo(m, &tmsStateWriteData);
}

uint32_t tmsStateWriteFinalize(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: {
        const uint8_t offset = static_cast<uint8_t>(s.tlvPos % kBlockSize);
        uint8_t* header = s.cache + offset;
        const uint32_t total = s.written;
        TRACE(kDetail, "th: set TLV content length = %d, TLV header size = %d", static_cast<int>(total), s.headerSize);
        header[0] = TLV_NDEF;
        if (total >= 255) {
            header[1] = TLV_LONG_LENGTH;
            header[2] = static_cast<uint8_t>(total >> 8);
            header[3] = static_cast<uint8_t>(total);
        } else if (s.headerSize == 4 && total != 0) {
            header[1] = TLV_LONG_LENGTH;
            header[2] = 0;
            header[3] = static_cast<uint8_t>(total);
        } else {
            header[1] = static_cast<uint8_t>(total);
        }
        TRACE(kDetail, "%s write TLV header, size = %d", kPrefix, s.headerSize);
        return writeBlock(m, s.firstBlock, s.cache, TMS_NFC_KEY_A);
    }
    case EV_SM_RETURNED:
        h->currentNdefSize = s.written;
        s.valueOffset = s.tlvPos + s.headerSize;
        s.cacheBlock = s.firstBlock;
        s.cacheValid = true;
        return finish(m, 0);
    case EV_SM_RETURNED_ERROR: return finish(m, h->cause);
    default: return SM_NOT_HANDLED;
    }
}

// ---- Format -------------------------------------------------------------------------------------

constexpr uint8_t kMadAccess[3] = {0x78, 0x77, 0x88};
constexpr uint8_t kNfcAccess[3] = {0x7F, 0x07, 0x88};
constexpr uint8_t kReadOnlyAccess[3] = {0x07, 0x8F, 0x0F};

void makeTrailer(uint8_t* out, const uint8_t* keyA, const uint8_t* access, uint8_t gpb, const uint8_t* keyB) {
    std::memcpy(out, keyA, 6);
    std::memcpy(out + 6, access, 3);
    out[9] = gpb;
    std::memcpy(out + 10, keyB, 6);
}

void prepareMad(MfState& s) {
    std::memset(s.mad, 0, sizeof s.mad);
    for (uint8_t sector = 1; sector <= 15; ++sector)
        if (sector <= s.lastNfc) std::memcpy(s.mad + 16 + 2 * sector, kNfcAid, 2);
    makeTrailer(s.mad + 48, kPublicMadKey.data(), kMadAccess, static_cast<uint8_t>(0xC0 + s.madVersion),
                kPublicMadKey.data());
    s.mad[16] = tmsMadCrc(s.mad + 17, 31);
    for (uint8_t sector = 17; sector <= 39; ++sector)
        if (sector <= s.lastNfc) std::memcpy(s.mad + 64 + 2 * (sector - 16), kNfcAid, 2);
    makeTrailer(s.mad + 64 + 48, kPublicMadKey.data(), kMadAccess, 0x00, kPublicMadKey.data());
    s.mad[64] = tmsMadCrc(s.mad + 65, 47);
}

uint8_t lastSectorFor(uint32_t size) {
    const uint32_t blocks = size < 255 ? (size + 17) / 16 : (size + 19) / 16;
    if (blocks > 90) return static_cast<uint8_t>((blocks - 76) / 15 + 31);
    uint32_t last = (blocks + 2) / 3;
    if (last > 15) ++last;
    return static_cast<uint8_t>(std::max<uint32_t>(last, 1));
}

uint32_t prepareFormat(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    const uint32_t size = h->formatSize ? h->formatSize : h->physicalSize;
    TRACE(kProgress, "%s Formatting tag for %d bytes of NDEF content", kPrefix, static_cast<int>(size));
    s.firstNfc = 1;
    s.lastNfc = std::min(lastSectorFor(size), lastSectorOf(h->tagType));
    if (s.madVersion != 1 && s.madVersion != 2) s.madVersion = 1;
    if (h->physicalSize > kMad1Capacity && s.madVersion == 1) {
        TRACE(kProgress, "%s Changing MAD version to MAD2", kPrefix);
        s.madVersion = 2;
    }
    prepareMad(s);
    h->currentNdefSize = 0;
    s.auth.sector = kNoSector;
    s.sector = 0;
    return thChangeTo(m, &tmsStateFormatReadTrailer);
}

uint32_t tmsStateFormatInit(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    if (event != EV_SM_ENTRY) return SM_NOT_HANDLED;
    const uint8_t sak = h->deviceTagInfo ? h->deviceTagInfo->a.sak : 0;
    TRACE(kProgress, "%s Found sak=%#x", kPrefix, sak);
    if (isPlus(h->tagType) && sak != kSakClassicLevel) {
        if (s.persoCommitted) {
            // The card takes its new security level only when it is activated again.
            TRACE(kErrors, "%s ! Security level changed, the tag must be activated again", kPrefix);
            return finish(m, kCauseFormatRefused);
        }
        if (sak == kSakLevel0) return thChangeTo(m, &tmsStateMFPlusPerso);
        TRACE(kErrors, "%s ! Unexpected security level (sak=%#x)", kPrefix, sak);
        return finish(m, kCauseFormatRefused);
    }
    if (!(h->access & TH_ACCESS_FORMATTABLE)) {
        TRACE(kErrors, "%s tag not formatteable", kPrefix);
        return finish(m, kCauseFormatRefused);
    }
    return prepareFormat(m);
}

uint32_t formatDone(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    h->access |= TH_ACCESS_WRITE;
    h->maxNdefSize = capacityOf(s.lastNfc);
    TRACE(kProgress, "%s avaialable NDEF size = %d", kPrefix, static_cast<int>(h->maxNdefSize));
    s.tlvPos = 0;
    s.valueOffset = 2;
    s.cut = false;
    s.cacheValid = false;
    return finish(m, 0);
}

uint32_t tmsStateFormatReadTrailer(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        if (s.sector > s.lastNfc) return formatDone(m);
        return readBlock(m, tmsSectorTrailerBlock(s.sector), isMadSector(s.sector) ? TMS_MAD_KEY_A : TMS_NFC_KEY_A);
    case EV_SM_RETURNED:
        if (!blockAnswer(h)) return finish(m, kCauseShort);
        evaluateTrailer(h, h->rspData);
        s.block = 0;
        return thChangeTo(m, &tmsStateFormatWriteBlock);
    case EV_SM_RETURNED_ERROR: return finish(m, h->cause);
    default: return SM_NOT_HANDLED;
    }
}

// The trailer first (index 0), then the sector's data blocks; the manufacturer block stays.
uint32_t formatBlock(TStateMachine* m) {
    MfState& s = st(thOf(m));
    const uint8_t sector = s.sector;
    uint8_t data[16] = {};
    if (s.block == 0) {
        const bool mad = isMadSector(sector);
        TmsKeyList list = mad ? TMS_MAD_KEY_A : TMS_NFC_KEY_B;
        if (commandOf(list) != s.trailerKeyCommand) list = otherOf(list);
        if (sector == 0)
            std::memcpy(data, s.mad + 48, 16);
        else if (sector == 16)
            std::memcpy(data, s.mad + 64 + 48, 16);
        else
            makeTrailer(data, kPublicNfcKey.data(), kNfcAccess, 0x40, kPublicNfcKey.data());
        TRACE(kProgress, "%s formatting block %d, sector %d", kPrefix, tmsSectorTrailerBlock(sector), sector);
        return writeBlock(m, tmsSectorTrailerBlock(sector), data, list);
    }
    const uint16_t block = static_cast<uint16_t>(firstBlockOf(sector) + s.block - (sector == 0 ? 0 : 1));
    TRACE(kProgress, "%s formatting block %d, sector %d", kPrefix, block, sector);
    if (sector == 0) return writeBlock(m, block, s.mad + 16 * block, TMS_MAD_KEY_B);
    if (sector == 16) return writeBlock(m, block, s.mad + 64 + 16 * (block - 64), TMS_MAD_KEY_B);
    if (block == 4) {
        data[0] = TLV_NDEF;
        return writeBlock(m, block, data, TMS_NFC_KEY_A);
    }
    return writeBlock(m, block, data, TMS_NFC_KEY_B);
}

uint32_t tmsStateFormatWriteBlock(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: return formatBlock(m);
    case EV_SM_RETURNED: {
        if (s.block == 0 && !isMadSector(s.sector)) s.auth.sector = 0;
        const uint8_t blocks = s.sector == 0 ? 2 : dataBlocksOf(s.sector);
        if (++s.block <= blocks) return formatBlock(m);
        ++s.sector;
        return thChangeTo(m, &tmsStateFormatReadTrailer);
    }
    case EV_SM_RETURNED_ERROR: return finish(m, h->cause);
    default: return SM_NOT_HANDLED;
    }
}

// ---- Erase --------------------------------------------------------------------------------------

uint32_t eraseResult(TStateMachine* m, uint16_t result) { return result == TMF_PENDING ? SM_DONE : finish(m, result); }

uint32_t tmsStateLegacyFormat(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kProgress, "%s starting legacy format", kPrefix);
        s.auth.sector = kNoSector;
        s.auth.authenticated = TMS_NO_LIST;
        s.cacheValid = false;
        return eraseResult(m, tmfStart(h, &s.erase));
    case EV_TH_TRANSACTION_IND: return eraseResult(m, tmfAnswer(h, &s.erase, 0));
    case EV_TH_TRANSACTION_ERROR_IND: return eraseResult(m, tmfAnswer(h, &s.erase, h->cause));
    default: return SM_NOT_HANDLED;
    }
}

// ---- MIFARE Plus personalisation ----------------------------------------------------------------

constexpr uint8_t kPersoSteps = 5; // four write perso, then the commit

uint16_t sendPerso(TTagHandler* h) {
    MfState& s = st(h);
    if (s.persoStep + 1 == kPersoSteps) {
        const uint8_t commit = kPersoCommit;
        if (!tmfSendKept(h, &commit, 1, 0)) return 0;
        TRACE(kErrors, "%s ! committing Mifare Plus personalization failed", kPrefix);
        return nfcCauseNotPlausible;
    }
    uint8_t pdu[19] = {kPersoWrite, 0x90, s.persoStep};
    if (!tmfSendKept(h, pdu, sizeof pdu, 0)) return 0;
    TRACE(kErrors, "%s ! sending Mifare Plus personalization failed", kPrefix);
    return nfcCauseNotPlausible;
}

bool persoAccepted(TTagHandler* h) {
    if (h->rspLength == 0 || !h->rspData)
        TRACE(kErrors, "%s ! Not enough data in Mifare Plus personalization response", kPrefix);
    else if (h->rspData[0] == 0x0B)
        TRACE(kErrors, "%s ! Command not available in current operating state", kPrefix);
    else if (h->rspData[0] != 0)
        TRACE(kErrors, "%s ! Communication error", kPrefix);
    else
        return true;
    TRACE(kErrors, "%s ! Error in Mifare Plus personalization", kPrefix);
    return false;
}

uint32_t tmsStateMFPlusPerso(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: s.persoStep = 0; break;
    case EV_TH_TRANSACTION_IND:
        if (!persoAccepted(h)) return finish(m, kCauseDevice);
        if (++s.persoStep == kPersoSteps) {
            s.persoStep = 0;
            s.persoCommitted = true;
            return thChangeTo(m, &tmsStateFormatInit);
        }
        break;
    case EV_TH_TRANSACTION_ERROR_IND: return finish(m, h->cause);
    default: return SM_NOT_HANDLED;
    }
    const uint16_t cause = sendPerso(h);
    return cause ? finish(m, cause) : SM_DONE;
}

// ---- Make read-only -----------------------------------------------------------------------------

uint32_t lockSector(TStateMachine* m) {
    MfState& s = st(thOf(m));
    const bool mad = isMadSector(s.sector);
    uint8_t trailer[16];
    if (mad)
        makeTrailer(trailer, keyOf(TMS_MAD_KEY_A, 0), kReadOnlyAccess, static_cast<uint8_t>(0xC0 + s.madVersion),
                    keyOf(TMS_MAD_KEY_B, 0));
    else
        makeTrailer(trailer, keyOf(TMS_NFC_KEY_A, 0), kReadOnlyAccess, 0x43, keyOf(TMS_NFC_KEY_B, 0));
    const uint16_t block = tmsSectorTrailerBlock(s.sector);
    TRACE(kProgress, "%s disabling write access for block %d", kPrefix, block);
    return writeTrailerWithListKeys(m, block, trailer, mad ? TMS_MAD_KEY_B : TMS_NFC_KEY_B);
}

// What a make-read-only left: a tag with any sector locked is no longer writable as a whole,
// whether the command ended or was cut short; one with none locked stays as it was.
void readonlyOutcome(TTagHandler* h, uint16_t cause) {
    if (cause == 0 || st(h).lockedSectors) h->access &= static_cast<uint16_t>(~TH_ACCESS_WRITE);
}

uint32_t readonlyEnd(TStateMachine* m, uint16_t cause) {
    readonlyOutcome(thOf(m), cause);
    return finish(m, cause);
}

uint32_t tmsStateSetReadonly(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        s.sector = 0;
        s.lockedSectors = 0;
        s.auth.sector = kNoSector;
        return lockSector(m);
    case EV_SM_RETURNED:
        ++s.lockedSectors;
        if (++s.sector > s.lastNfc) return readonlyEnd(m, 0);
        return lockSector(m);
    case EV_SM_RETURNED_ERROR: return readonlyEnd(m, h->cause);
    default: return SM_NOT_HANDLED;
    }
}

// ---- Magic and Recover --------------------------------------------------------------------------

enum RecoverStep : uint8_t { RECOVER_READ_B, RECOVER_READ_A, RECOVER_WRITE };

uint32_t recoverRead(TStateMachine* m, RecoverStep step) {
    MfState& s = st(thOf(m));
    s.step = step;
    const bool mad = isMadSector(s.sector);
    const TmsKeyList list =
        step == RECOVER_READ_B ? (mad ? TMS_MAD_KEY_B : TMS_NFC_KEY_B) : (mad ? TMS_MAD_KEY_A : TMS_NFC_KEY_A);
    return readBlock(m, tmsSectorTrailerBlock(s.sector), list);
}

uint32_t recoverNext(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    const uint8_t last = s.madVersion == 1 ? 15 : s.madVersion == 2 ? 39 : lastSectorOf(h->tagType);
    if (++s.sector > last) {
        TRACE(kProgress, "%s recovery finished", kPrefix);
        return finish(m, 0);
    }
    return recoverRead(m, RECOVER_READ_B);
}

uint32_t recoverTrailer(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    if (!blockAnswer(h)) return finish(m, kCauseShort);
    const bool mad = isMadSector(s.sector);
    const uint8_t* standard = mad ? kMadAccess : kNfcAccess;
    uint8_t v[4];
    tmsDecodeAccessBits(h->rspData, v);
    const uint16_t mask = kTrailerMasks[v[3]];
    if (std::memcmp(h->rspData + 6, standard, 3) == 0 || (mask & 0x4000)) return recoverNext(m);
    if (!(mask & 0x40)) {
        TRACE(kErrors, "%s cannot write trailer for sector %d", kPrefix, s.sector);
        return finish(m, h->cause);
    }
    uint8_t trailer[16];
    if (mad)
        makeTrailer(trailer, keyOf(TMS_MAD_KEY_A, 0), kMadAccess, s.sector == 0 ? 0xC1 : 0x00, keyOf(TMS_MAD_KEY_B, 0));
    else
        makeTrailer(trailer, keyOf(TMS_NFC_KEY_A, 0), kNfcAccess, 0x40, keyOf(TMS_NFC_KEY_B, 0));
    s.step = RECOVER_WRITE;
    return writeTrailerWithListKeys(m, tmsSectorTrailerBlock(s.sector), trailer, mad ? TMS_MAD_KEY_A : TMS_NFC_KEY_A);
}

uint32_t tmsStateRecover(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kProgress, "%s starting recovery process", kPrefix);
        s.sector = 0;
        s.auth.sector = kNoSector;
        return recoverRead(m, RECOVER_READ_B);
    case EV_SM_RETURNED: return s.step == RECOVER_WRITE ? recoverNext(m) : recoverTrailer(m);
    case EV_SM_RETURNED_ERROR:
        if (s.step == RECOVER_WRITE) return recoverNext(m);
        if (s.step == RECOVER_READ_B) return recoverRead(m, RECOVER_READ_A);
        TRACE(kErrors, "%s cannot read trailer for sector %d", kPrefix, s.sector);
        return finish(m, h->cause);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t tmsStateMagic(TStateMachine* m, uint16_t event) {
    if (event != EV_SM_ENTRY) return SM_NOT_HANDLED;
    return thChangeTo(m, &tmsStateRecover);
}

// ---- Idle, NdefTag, LegacyTag, default ----------------------------------------------------------

uint32_t tmsStateIdle(TStateMachine* m, uint16_t event) {
    if (event != EV_TH_DEVICE_IND) return SM_NOT_HANDLED;
    TTagHandler* h = thOf(m);
    MfState& s = st(h);
    if (!thIdentify(h, 4, 10)) return SM_DONE;
    s.auth.block = 4;
    s.auth.command = kAuthA;
    s.auth.authenticated = TMS_NO_LIST;
    s.auth.sector = kNoSector;
    h->physicalSize = h->maxNdefSize = capacityOfMemory(memorySize(h->tagType));
    h->confirm(h, TH_DEVICE_CONF, 0, 0);
    return thChangeTo(m, &tmsStateLegacyTag);
}

uint32_t tmsStateNdefTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kFamily); }
uint32_t tmsStateLegacyTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kLegacyCommands); }

uint32_t tmsDefaultHandler(TStateMachine* m, uint16_t event) {
    // A trailer write the tag refused ends the make-read-only here.
    TTagHandler* h = thOf(m);
    if (event == EV_TH_TRANSACTION_ERROR_IND && h->commandMode == TH_MODE_SET_READONLY) readonlyOutcome(h, h->cause);
    return thDefaultRule(m, event, kFamily);
}

// An erased card holds the transport configuration: nothing of its NDEF content is left.
void tmsForgetContent(TTagHandler* h) {
    MfState& s = st(h);
    s.cacheValid = false;
    s.tlvPos = s.valueOffset = 0;
    s.lastNfc = s.firstNfc = 0;
}

} // namespace

// ---- Public -------------------------------------------------------------------------------------

void tmsResetKeyLists() {
    for (unsigned k = 0; k < 4; ++k) g_lists[k] = kBuiltIn[k];
}

const uint8_t* tmsKey(TmsKeyList list, unsigned index) {
    return list < TMS_NO_LIST && index < g_lists[list].count ? g_lists[list].keys[index].data() : nullptr;
}

uint8_t tmsSectorOfBlock(uint8_t block) {
    return block < 128 ? block / 4 : static_cast<uint8_t>((block - 128) / 16 + 32);
}

uint16_t tmsSectorTrailerBlock(uint8_t sector) {
    return sector < 32 ? static_cast<uint16_t>(4 * sector + 3) : static_cast<uint16_t>(16 * sector - 369);
}

uint16_t tmsCalcDatablockNum(uint8_t end, uint8_t first) {
    if (end < first) {
        TRACE(kErrors, "%s ! tmsCalcDatablockNum: Invalid sector range %d - %d", kPrefix, first, end);
        return 0;
    }
    uint16_t blocks = 0;
    for (unsigned s = first; s < end; ++s)
        if (!isMadSector(static_cast<uint8_t>(s)))
            blocks = static_cast<uint16_t>(blocks + dataBlocksOf(static_cast<uint8_t>(s)));
    return blocks;
}

uint32_t tmsNdefCapacity(uint32_t dataBlocks) {
    const uint32_t bytes = dataBlocks * kBlockSize;
    if (bytes < 256) return bytes >= 2 ? bytes - 2 : 0;
    return bytes - 4;
}

uint16_t tmsDataBlockOfPosition(uint32_t p) {
    const uint32_t block = p / 16;
    if (p < 720) return static_cast<uint16_t>(block + p / 48 + 4);
    if (p < 1440) return static_cast<uint16_t>(block + (block - 45) / 3 + 23);
    return static_cast<uint16_t>(block + (block - 90) / 15 + 38);
}

uint8_t tmsMadCrc(const uint8_t* data, uint32_t length) {
    uint8_t crc = 0xC7;
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x1D : crc << 1);
    }
    return crc;
}

void tmsDecodeAccessBits(const uint8_t* t, uint8_t values[4]) {
    for (unsigned i = 0; i < 4; ++i) {
        const unsigned c1 = (t[7] >> (4 + i)) & 1u, c2 = (t[8] >> i) & 1u, c3 = (t[8] >> (4 + i)) & 1u;
        values[i] = static_cast<uint8_t>(c1 + 2 * c2 + 4 * c3);
    }
}

uint32_t tmsGetProperty(TTagHandler* h, uint32_t id, int* found) {
    const MfState& s = st(h);
    const uint8_t* madB = keyOf(TMS_MAD_KEY_B, 0);
    *found = 1;
    switch (id) {
    case 0: return s.ndefVersion;
    case 1: return h->maxNdefSize;
    case 2: return h->currentNdefSize;
    case 3: return h->physicalSize;
    case 5: return (h->access & TH_ACCESS_WRITE) ? 1 : 0;
    case 10: return uint32_t{madB[2]} << 16 | uint32_t{madB[1]} << 8 | madB[0];
    case 11: return uint32_t{madB[5]} << 16 | uint32_t{madB[4]} << 8 | madB[3];
    case 16: return s.madVersion;
    case 17: return (h->access & TH_ACCESS_FORMATTABLE) ? 1 : 0;
    default: *found = 0; return 0;
    }
}

uint32_t tmsSetProperty(TTagHandler* h, uint32_t id, uint32_t value) {
    auto setHalf = [value](TmsKeyList list, unsigned half) {
        uint8_t* key = keyOf(list, 0) + 3 * half;
        for (unsigned k = 0; k < 3; ++k) key[k] = static_cast<uint8_t>(value >> (8 * k));
    };
    switch (id) {
    case 8: setHalf(TMS_MAD_KEY_A, 0); return 1;
    case 9: setHalf(TMS_MAD_KEY_A, 1); return 1;
    case 10: setHalf(TMS_MAD_KEY_B, 0); return 1;
    case 11: setHalf(TMS_MAD_KEY_B, 1); return 1;
    case 16: st(h).madVersion = static_cast<uint8_t>(value); return 1;
    default: return 0;
    }
}

void tmsSetKeyFromAuthCommand(TTagHandler* h, const uint8_t* pdu, uint32_t length) {
    if (!pdu || length < 12 || (pdu[0] != kAuthA && pdu[0] != kAuthB)) return;
    MfState& s = st(h);
    const uint8_t block = pdu[1];
    const bool mad = block <= 2 || (block >= 60 && block <= 63);
    const bool keyA = pdu[0] == kAuthA;
    const TmsKeyList list = mad ? (keyA ? TMS_MAD_KEY_A : TMS_MAD_KEY_B) : (keyA ? TMS_NFC_KEY_A : TMS_NFC_KEY_B);
    s.auth.command = pdu[0];
    s.auth.block = block;
    s.auth.sector = kNoSector;
    std::memcpy(keyOf(list, 0), pdu + 6, 6);
}

uint32_t tmsInit(TTagHandler* h) {
    new (h->family) MfState{};
    h->access = TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
    h->getProperty = &tmsGetProperty;
    h->setProperty = &tmsSetProperty;
    st(h).auth.sector = kNoSector;
    st(h).auth.authenticated = TMS_NO_LIST;
    return thStartMachine(h, &tmsStateIdle, &tmsDefaultHandler, kStates, 22, kPrefix);
}
