#include "th/th_15693.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "th/th_frame.h"
#include "th/th_tlv.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "th_type_15693:";
constexpr uint32_t kTrace = 0x20;

enum : uint8_t {
    READ_SINGLE_BLOCK = 0x20,
    WRITE_SINGLE_BLOCK = 0x21,
    LOCK_BLOCK = 0x22,
    GET_SYSTEM_INFORMATION = 0x2B,
};

// Request options.
enum : uint16_t {
    OPTION_HIGH_RATE = 0x1,
    OPTION_EXTENDED = 0x2,
    OPTION_FLAG = 0x4,
};

constexpr uint32_t kMaxBlockSize = 32;
constexpr uint32_t kCcSize = 4;
constexpr uint32_t kTemplateSize = 8;
constexpr uint32_t kShortLengthMax = 254;
constexpr uint16_t kCauseErrorAnswer = 0x206;
constexpr uint16_t kPending = 0xFFFF;
constexpr uint16_t kDone = 0xFFFE;
constexpr uint8_t kReadOnlyVersion = 0x43;
constexpr uint16_t kFormatWipe = 0x2, kFormatErase = 0x4;
constexpr uint8_t kManufacturerSt = 2, kManufacturerNxp = 4, kManufacturerInfineon = 5, kManufacturerTi = 7,
                  kManufacturerEm = 0x16;

// ---- Identification -----------------------------------------------------------------------------

// A chip by maker and product code (masked); where the product code leaves it open, one more
// UID byte (index and value) decides. Unknown block counts come from the system information.
struct Chip {
    uint8_t manufacturer;
    uint8_t productMask;
    uint8_t product;
    uint8_t extraIndex;         // 0: no further byte
    uint8_t extraValue;
    uint32_t subtype;
    uint16_t blocks;            // 0: unknown
    uint8_t capability;
    uint16_t options;
    bool extended;
    bool skipSystemInfo;
};

constexpr Chip kChips[] = {
    {kManufacturerSt, 0xFC, 0x0C, 0, 0, 0x20001, 0, 1, 0, false, false},
    {kManufacturerSt, 0xFC, 0x18, 0, 0, 0x20002, 0, 1, 0, false, false},
    {kManufacturerSt, 0xFC, 0x1C, 0, 0, 0x20003, 0, 1, 0, false, false},
    {kManufacturerSt, 0xFC, 0x20, 0, 0, 0x20004, 0, 1, 0, false, false},
    {kManufacturerSt, 0xFC, 0x28, 0, 0, 0x20005, 0, 1, 0, false, false},
    {kManufacturerSt, 0xFC, 0x30, 0, 0, 0x20008, 0, 1, 0, false, false},
    {kManufacturerSt, 0xFC, 0x3C, 0, 0, 0x20009, 0, 1, 0, false, false},
    {kManufacturerSt, 0xFC, 0x40, 0, 0, 0x2000A, 0, 1, 0, false, false},
    {kManufacturerSt, 0xFC, 0x58, 0, 0, 0x2000E, 0, 1, 0, false, false},
    {kManufacturerSt, 0xFC, 0x2C, 0, 0, 0x20006, 0, 5, OPTION_EXTENDED, true, false},
    {kManufacturerSt, 0xFC, 0x44, 0, 0, 0x2000B, 0, 5, OPTION_EXTENDED, true, false},
    {kManufacturerSt, 0xFC, 0x4C, 0, 0, 0x2000C, 0, 5, OPTION_EXTENDED, true, false},
    {kManufacturerSt, 0xFC, 0x5C, 0, 0, 0x2000D, 0, 5, OPTION_EXTENDED, true, false},
    {kManufacturerNxp, 0xFF, 0x01, 0, 0, 0x4000C, 28, 1, 0, false, false},
    {kManufacturerNxp, 0xFF, 0x02, 3, 0x00, 0x4000D, 40, 2, 0, false, false},
    {kManufacturerNxp, 0xFF, 0x02, 3, 0x40, 0x4000E, 40, 2, 0, false, false},
    {kManufacturerNxp, 0xFF, 0x02, 3, 0x80, 0x4000F, 40, 2, 0, false, false},
    {kManufacturerNxp, 0xFF, 0x03, 4, 0x00, 0x40010, 8, 2, 0, false, false},
    {kManufacturerNxp, 0xFF, 0x03, 4, 0x80, 0x40011, 8, 2, 0, false, false},
    {kManufacturerInfineon, 0xFF, 0x40, 0, 0, 0x50005, 16, 1, 0, false, true},
    {kManufacturerTi, 0xFE, 0x00, 0, 0, 0x70003, 64, 1, OPTION_FLAG, false, false},
    {kManufacturerTi, 0xFE, 0x80, 0, 0, 0x70003, 64, 1, OPTION_FLAG, false, false},
    {kManufacturerTi, 0xFE, 0xC0, 0, 0, 0x70002, 8, 1, OPTION_FLAG, false, true},
    {kManufacturerTi, 0xFE, 0xC4, 0, 0, 0x70004, 8, 1, OPTION_FLAG, false, true},
    {kManufacturerTi, 0x00, 0x00, 0, 0, 0x70001, 64, 1, OPTION_FLAG, false, false},   // any other TI chip
    {kManufacturerEm, 0xFF, 0x38, 0, 0, 0x160038, 32, 1, 0, false, false},
    {kManufacturerEm, 0xFF, 0x8C, 0, 0, 0x16008C, 28, 1, 0, false, false},
};

const char* manufacturerName(uint8_t code) {
    switch (code) {
    case kManufacturerSt: return "STMicro";
    case kManufacturerNxp: return "NXP";
    case kManufacturerInfineon: return "Infineon";
    case kManufacturerTi: return "TI";
    case kManufacturerEm: return "EMMicro";
    default: return "<unknown>";
    }
}

// The chip of a UID (as printed, 0xE0 first), none when no row takes it.
const Chip* findChip(const uint8_t* uid) {
    for (const Chip& c : kChips) {
        if (c.manufacturer != uid[1] || (uid[2] & c.productMask) != c.product) continue;
        if (c.extraIndex && uid[c.extraIndex] != c.extraValue) continue;
        return &c;
    }
    return nullptr;
}

// ---- Family state -------------------------------------------------------------------------------

struct V5State {
    uint16_t options;
    bool identified;
    bool skipSystemInfo;
    bool fromSystemInfo;
    uint8_t manufacturer;
    uint8_t capability;
    uint32_t blockSize;
    uint32_t blockCount;
    uint8_t cache[kMaxBlockSize];
    uint32_t cacheBlock;
    bool cacheValid;
    uint32_t requested;             // the block whose answer is awaited
    uint8_t buffer[kMaxBlockSize];  // the block being written
    uint32_t fill;
    uint8_t prelude[kMaxBlockSize + 4]; // what the write stream starts with: bytes before the TLV, its header
    uint32_t preludeLength;
    uint32_t preludeNext;
    uint8_t head[2 * kMaxBlockSize];    // the blocks from the TLV's to the header's end, as written
    uint8_t cc[kTemplateSize];      // the format template
    uint8_t tagCc[kCcSize];         // the container as found on the tag
    uint32_t ndefAddress;           // byte address of the NDEF TLV
    uint32_t headerLength;
    uint32_t keptHeaderLength;      // of the TLV on the tag before the write
    bool emptied;                   // the tag has taken the write's empty header
    bool terminated;
    uint32_t position;              // byte address of the read, block of the write
    uint8_t scanHeader[4];
    uint32_t scanCount;
    uint32_t written;
    uint32_t step;
    bool sentPdu;
};
static_assert(sizeof(V5State) <= TH_FAMILY_STATE_SIZE);

V5State& st(TTagHandler* h) { return *std::launder(reinterpret_cast<V5State*>(h->family)); }

uint32_t t15693StateIdle(TStateMachine* m, uint16_t event);
uint32_t t15693StateGetSystemInfo(TStateMachine* m, uint16_t event);
uint32_t t15693StateCheckNdef(TStateMachine* m, uint16_t event);
uint32_t t15693StateNdefCheckTlv(TStateMachine* m, uint16_t event);
uint32_t t15693StateNdefTag(TStateMachine* m, uint16_t event);
uint32_t t15693StateLegacyTag(TStateMachine* m, uint16_t event);
uint32_t t15693StateRead(TStateMachine* m, uint16_t event);
uint32_t t15693StateReadCheck(TStateMachine* m, uint16_t event);
uint32_t t15693StateWriteInit(TStateMachine* m, uint16_t event);
uint32_t t15693StateWriteNext(TStateMachine* m, uint16_t event);
uint32_t t15693StateWriteWaitForNext(TStateMachine* m, uint16_t event);
uint32_t t15693StateWriteFinalize(TStateMachine* m, uint16_t event);
uint32_t t15693StateFormat(TStateMachine* m, uint16_t event);
uint32_t t15693StateTest(TStateMachine* m, uint16_t event);
uint32_t t15693StateSetReadonly(TStateMachine* m, uint16_t event);
uint32_t t15693StateMagic(TStateMachine* m, uint16_t event);
uint32_t t15693DefaultHandler(TStateMachine* m, uint16_t event);

const SmStateEntry kStateTable[] = {
    {&t15693StateIdle, "t15693StateIdle"},
    {&t15693StateGetSystemInfo, "t15693StateGetSystemInfo"},
    {&t15693StateCheckNdef, "t15693StateCheckNdef"},
    {&t15693StateNdefCheckTlv, "t15693StateNdefCheckTlv"},
    {&t15693StateNdefTag, "t15693StateNdefTag"},
    {&t15693StateLegacyTag, "t15693StateLegacyTag"},
    {&t15693StateRead, "t15693StateRead"},
    {&t15693StateReadCheck, "t15693StateReadCheck"},
    {&t15693StateWriteInit, "t15693StateWriteInit"},
    {&t15693StateWriteNext, "t15693StateWriteNext"},
    {&t15693StateWriteWaitForNext, "t15693StateWriteWaitForNext"},
    {&t15693StateWriteFinalize, "t15693StateWriteFinalize"},
    {&t15693StateFormat, "t15693StateFormat"},
    {&t15693StateTest, "t15693StateTest"},
    {&t15693StateSetReadonly, "t15693StateSetReadonly"},
    {&t15693StateMagic, "t15693StateMagic"},
    {&t15693DefaultHandler, "t15693DefaultHandler"},
};
constexpr uint16_t kStateCount = sizeof kStateTable / sizeof kStateTable[0];

void t15693ForgetContent(TTagHandler* h);

constexpr ThFamilyStates kNdefStates{&t15693StateIdle,  &t15693StateNdefTag,      &t15693StateLegacyTag,
                                     &t15693StateCheckNdef, &t15693StateRead,     &t15693StateWriteInit,
                                     &t15693StateFormat, &t15693StateFormat,      &t15693StateTest,
                                     &t15693StateSetReadonly, &t15693StateMagic,  &t15693ForgetContent};
constexpr ThFamilyStates kLegacyStates{&t15693StateIdle,  &t15693StateNdefTag, &t15693StateLegacyTag,
                                       &t15693StateGetSystemInfo, nullptr,   nullptr,
                                       &t15693StateFormat, &t15693StateFormat, &t15693StateTest,
                                       nullptr,            nullptr,            &t15693ForgetContent};

uint32_t finish(TStateMachine* m, uint16_t cause) { return thFinishCommand(m, cause, kNdefStates); }

uint32_t memoryEnd(const V5State& s) { return s.blockCount * s.blockSize; }

// ---- Requests -----------------------------------------------------------------------------------

uint16_t sendRequest(TTagHandler* h, uint8_t command, uint32_t block, const uint8_t* data, uint32_t size,
                     uint8_t sendFlags = 0) {
    const V5State& s = st(h);
    uint8_t flags = 0;
    if (s.options & OPTION_HIGH_RATE) flags |= 0x02;
    if (s.options & OPTION_EXTENDED) flags |= 0x08;
    if ((s.options & OPTION_FLAG) && (command == WRITE_SINGLE_BLOCK || command == LOCK_BLOCK)) flags |= 0x40;
    uint16_t n = 0;
    h->pdu[n++] = flags;
    h->pdu[n++] = command;
    if (command != GET_SYSTEM_INFORMATION) {
        h->pdu[n++] = static_cast<uint8_t>(block);
        if (s.options & OPTION_EXTENDED) h->pdu[n++] = static_cast<uint8_t>(block >> 8);
    }
    if (size) std::memcpy(h->pdu + n, data, size);
    return thSendPdu(h, h->pdu, static_cast<uint16_t>(n + size), sendFlags, 0);
}

uint16_t readBlock(TTagHandler* h, uint32_t block, uint8_t sendFlags = 0) {
    V5State& s = st(h);
    if (block >= s.blockCount) {
        TRACE(TRC_ERROR, "%s Invalid block %d", kPrefix, static_cast<int>(block));
        return nfcCauseWrongParameter;
    }
    TRACE(kTrace, "%s Reading block %d", kPrefix, static_cast<int>(block));
    s.requested = block;
    return sendRequest(h, READ_SINGLE_BLOCK, block, nullptr, 0, sendFlags);
}

uint16_t writeBlock(TTagHandler* h, uint32_t block, const uint8_t* data) {
    V5State& s = st(h);
    if (block >= s.blockCount) {
        TRACE(TRC_ERROR, "%s Invalid block %d", kPrefix, static_cast<int>(block));
        return nfcCauseWrongParameter;
    }
    TRACE(kTrace, "%s Writing block %d", kPrefix, static_cast<int>(block));
    s.requested = block;
    return sendRequest(h, WRITE_SINGLE_BLOCK, block, data, s.blockSize);
}

// A block answer: flags byte 0, then exactly one block, which goes into the cache.
uint16_t takeBlock(TTagHandler* h) {
    V5State& s = st(h);
    CByteReader r(h->rspData, h->rspLength);
    uint8_t flags = 0;
    const uint8_t* data = nullptr;
    if (!r.u8(flags)) return nfcCauseInvalidData;
    if (flags != 0) {
        TRACE(TRC_ERROR, "%s ! Error in received data: %d", kPrefix, flags);
        return kCauseErrorAnswer;
    }
    if (r.remaining() != s.blockSize || !r.take(s.blockSize, data)) {
        TRACE(TRC_ERROR, "%s ! Unexpected number of bytes read: %d", kPrefix, static_cast<int>(h->rspLength));
        return nfcCauseInvalidData;
    }
    std::memcpy(s.cache, data, s.blockSize);
    s.cacheBlock = s.requested;
    s.cacheValid = true;
    return nfcCauseOk;
}

// A write or lock answer: the flags byte 0.
uint16_t takeStatus(TTagHandler* h) {
    CByteReader r(h->rspData, h->rspLength);
    uint8_t flags = 0;
    if (r.u8(flags) && flags == 0) return nfcCauseOk;
    TRACE(TRC_ERROR, "%s ! Error in write response: %d", kPrefix, flags);
    return kCauseErrorAnswer;
}

// ---- Geometry -----------------------------------------------------------------------------------

void updateSize(TTagHandler* h, uint32_t size) {
    V5State& s = st(h);
    uint32_t capacity = size > 6 ? size - 6 : 0;
    // Above 254 bytes the TLV takes the 3-byte length form, which announces at most 0xFFFF.
    if (capacity > kShortLengthMax) capacity = std::min<uint32_t>(size - 8, 0xFFFF);
    if (s.identified && h->maxNdefSize && capacity != h->maxNdefSize)
        TRACE(kTrace, "%s ! Warning, system info size %d doesn't match product type size %d", kPrefix,
              static_cast<int>(capacity), static_cast<int>(h->maxNdefSize));
    if (s.fromSystemInfo && size != memoryEnd(s))
        TRACE(kTrace, "%s ! Warning: Tag size in CC doesn't match physical tag size", kPrefix);
    // One byte of size / 8: a larger memory claims less rather than wrapping.
    s.cc[2] = static_cast<uint8_t>(std::min<uint32_t>(size / 8, 0xFF));
    TRACE(kTrace, "%s Updating size information in CC", kPrefix);
    h->physicalSize = capacity;
    h->maxNdefSize = capacity;
    TRACE(kTrace, "%s Physical tagsize=%d bytes, max NDEF size=%d bytes", kPrefix, static_cast<int>(size),
          static_cast<int>(capacity));
}

void identify(TTagHandler* h) {
    V5State& s = st(h);
    const uint8_t* uid = h->uid;
    if (uid[0] != 0xE0) {
        TRACE(TRC_ERROR, "%s ! No ISO 15693 tag", kPrefix);
        return;
    }
    s.manufacturer = uid[1];
    const Chip* chip = findChip(uid);
    if (!chip) {
        TRACE(TRC_ERROR, "%s ! Unknown 15693 product code %#x and manufacturer %#x", kPrefix, uid[2], uid[1]);
        return;
    }
    if (chip->productMask == 0) TRACE(TRC_ERROR, "%s ! Unknown TI tag", kPrefix);
    s.identified = true;
    s.skipSystemInfo = chip->skipSystemInfo;
    s.capability = chip->capability;
    s.options |= chip->options;
    s.blockSize = 4;
    s.blockCount = chip->blocks;
    s.cc[3] = chip->capability;
    h->tagSubtype = chip->subtype;
    if (s.blockCount) updateSize(h, memoryEnd(s));
    TRACE(kTrace, "%s Type=%#x, Manufacturer=%s, Product=%#x, Mode=%d", kPrefix, static_cast<unsigned>(chip->subtype),
          manufacturerName(uid[1]), uid[2], s.options);
}

// The system information: each field is taken only when the answer holds it. True when it gave
// the memory size.
bool takeSystemInfo(TTagHandler* h) {
    V5State& s = st(h);
    TRACE(kTrace, "%s Evaluating system info", kPrefix);
    CByteReader r(h->rspData, h->rspLength);
    uint8_t flags = 0, info = 0, dsfid = 0, afi = 0, count = 0, size = 0;
    uint16_t wide = 0;
    if (!r.u8(flags) || !r.u8(info)) {
        TRACE(TRC_ERROR, "%s ! Error: Received insufficient bytes for system flags", kPrefix);
        return false;
    }
    if (flags != 0) {
        TRACE(TRC_ERROR, "%s ! Error receiving system info response: %#x", kPrefix, flags);
        return false;
    }
    if (!(info & 0x04)) {
        TRACE(kTrace, "%s   No memory size information available", kPrefix);
        return false;
    }
    if (!r.skip(8) || ((info & 0x01) && !r.u8(dsfid)) || ((info & 0x02) && !r.u8(afi)) || r.remaining() < 3) {
        TRACE(TRC_ERROR, "%s ! Error: Received insufficient bytes for size information", kPrefix);
        return false;
    }
    if (info & 0x01) TRACE(kTrace, "%s   DSFID=%#x", kPrefix, dsfid);
    if (info & 0x02) TRACE(kTrace, "%s   AFI=%#x", kPrefix, afi);
    uint32_t blocks = 0;
    if (s.options & OPTION_EXTENDED) {
        if (r.remaining() < 4 || !r.u16le(wide)) {
            TRACE(TRC_ERROR, "%s ! Error: Received insufficient bytes for extended size information", kPrefix);
            return false;
        }
        blocks = wide + 1u;
    } else {
        r.u8(count);
        blocks = count + 1u;
    }
    r.u8(size);
    s.blockCount = blocks;
    s.blockSize = (size & 0x1F) + 1u;
    if (s.manufacturer == kManufacturerEm) {
        s.blockCount = 32;
        s.blockSize = 4;
    }
    TRACE(kTrace, "%s   Number of blocks=%d", kPrefix, static_cast<int>(s.blockCount));
    TRACE(kTrace, "%s   Blocksize=%d bytes", kPrefix, static_cast<int>(s.blockSize));
    s.fromSystemInfo = true;
    s.cacheValid = false;
    updateSize(h, memoryEnd(s));
    return true;
}

// ---- Idle, identification, check ------------------------------------------------------------

uint32_t t15693StateIdle(TStateMachine* m, uint16_t event) {
    if (event != EV_SM_ENTRY && event != EV_TH_DEVICE_IND) return SM_NOT_HANDLED;
    if (event == EV_SM_ENTRY) return SM_DONE;
    TTagHandler* h = thOf(m);
    const bool copied = thCopyUid(h, 8, 8);
    if (copied) identify(h);
    h->confirm(h, TH_DEVICE_CONF, copied && st(h).identified ? nfcCauseOk : nfcCauseNotNfcForumTag, 0);
    return thChangeTo(m, &t15693StateLegacyTag);
}

uint32_t afterSystemInfo(TStateMachine* m, bool sized) {
    const V5State& s = st(thOf(m));
    if (sized || (s.identified && s.blockCount)) return thChangeTo(m, &t15693StateCheckNdef);
    return finish(m, nfcCauseNotNfcForumTag);
}

uint32_t t15693StateGetSystemInfo(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        if (st(h).skipSystemInfo) return thChangeTo(m, &t15693StateCheckNdef);
        if (sendRequest(h, GET_SYSTEM_INFORMATION, 0, nullptr, 0)) return finish(m, kCauseErrorAnswer);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: return afterSystemInfo(m, takeSystemInfo(h));
    // A chip without the command may still have a known geometry.
    case EV_TH_TRANSACTION_ERROR_IND: return afterSystemInfo(m, false);
    default: return SM_NOT_HANDLED;
    }
}

uint16_t checkContainer(TTagHandler* h) {
    V5State& s = st(h);
    if (s.cacheBlock != 0) {
        TRACE(TRC_ERROR, "%s Found block %d in cache instead of block 0", kPrefix, static_cast<int>(s.cacheBlock));
        return nfcCauseInternalSoftware;
    }
    if (s.blockSize < kCcSize) return nfcCauseNotNfcForumTag;
    std::memcpy(s.tagCc, s.cache, kCcSize);
    if (s.tagCc[0] != 0xE1) {
        TRACE(kTrace, "%s NFC magic byte not found", kPrefix);
        return nfcCauseNotNfcForumTag;
    }
    if ((s.tagCc[1] >> 6) != 1) {
        TRACE(TRC_ERROR, "%s ! Incompatible document version = %d.%d instead of %d.%d", kPrefix, s.tagCc[1] >> 6,
              (s.tagCc[1] >> 4) & 0x3, 1, 0);
        TRACE(TRC_ERROR, "%s ! Wrong NFC version %#x", kPrefix, s.tagCc[1]);
        return nfcCauseVersionMismatch;
    }
    h->access |= TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
    if (s.tagCc[1] & 0x0F) h->access &= static_cast<uint16_t>(~(TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE));
    if (s.tagCc[2] != 0) updateSize(h, s.tagCc[2] * 8u);
    if (s.identified && s.tagCc[3] != s.capability)
        TRACE(kTrace, "%s ! Warning: Unexpected capability value %#x", kPrefix, s.tagCc[3]);
    return nfcCauseOk;
}

uint32_t t15693StateCheckNdef(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        if (st(h).blockCount == 0) return finish(m, nfcCauseNotNfcForumTag);
        if (const uint16_t cause = readBlock(h, 0)) return finish(m, cause);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: {
        uint16_t cause = takeBlock(h);
        if (!cause) cause = checkContainer(h);
        if (cause) return finish(m, cause);
        return thChangeTo(m, &t15693StateNdefCheckTlv);
    }
    default: return SM_NOT_HANDLED;
    }
}

// The byte at an address from the cache: 0, kPending when its block was asked for, or a failure.
uint16_t byteAt(TTagHandler* h, uint32_t address, uint8_t* value) {
    V5State& s = st(h);
    const uint32_t block = address / s.blockSize;
    if (s.cacheValid && s.cacheBlock == block) {
        *value = s.cache[address % s.blockSize];
        return nfcCauseOk;
    }
    s.sentPdu = true;
    const uint16_t sent = readBlock(h, block);
    return sent ? sent : kPending;
}

bool isStructural(uint8_t type) { return type <= TLV_MEMORY_CONTROL || type == 0x04; }

// The TLV walk from the scan position, block by block: 0 with the NDEF TLV found, kPending while
// a block is read, or the cause that ends the check.
uint16_t scanStep(TTagHandler* h) {
    V5State& s = st(h);
    for (;;) {
        const uint32_t need = s.scanCount >= 2 && s.scanHeader[1] == TLV_LONG_LENGTH ? 4 : 2;
        if (s.scanCount < need) {
            if (s.ndefAddress + s.scanCount >= memoryEnd(s)) return nfcCauseNotNfcForumTag;
            const uint16_t got = byteAt(h, s.ndefAddress + s.scanCount, &s.scanHeader[s.scanCount]);
            if (got) return got;
            ++s.scanCount;
            const uint8_t type = s.scanHeader[0];
            if (s.scanCount == 1 && type == TLV_TERMINATOR) {
                TRACE(kTrace, "%s NDEF TLV not found", kPrefix);
                return nfcCauseNotNfcForumTag;
            }
            if (s.scanCount == 1 && isStructural(type)) return nfcCauseNotNfcForumTag;
            continue;
        }
        // The header may have been gathered from two blocks.
        const uint16_t length = tlvGetLength(s.scanHeader, s.scanCount);
        if (length == TLV_INVALID_LENGTH) return nfcCauseNotNfcForumTag;
        if (s.scanHeader[0] != TLV_NDEF) {
            s.ndefAddress += s.scanCount + length;
            s.scanCount = 0;
            continue;
        }
        s.headerLength = s.scanCount;
        TRACE(kTrace, "%s Found NDEF TLV in block %d, length %d, block offset %d", kPrefix,
              static_cast<int>(s.ndefAddress / s.blockSize), length, static_cast<int>(s.ndefAddress % s.blockSize));
        if (length > h->maxNdefSize || uint64_t{s.ndefAddress} + s.headerLength + length > memoryEnd(s)) {
            TRACE(TRC_ERROR, "%s ! NDEF length %d beyond the capacity", kPrefix, length);
            return nfcCauseInvalidData;
        }
        h->currentNdefSize = length;
        return nfcCauseOk;
    }
}

uint32_t scanGoOn(TStateMachine* m) {
    const uint16_t cause = scanStep(thOf(m));
    if (cause == kPending) return SM_DONE;
    return finish(m, cause);
}

uint32_t t15693StateNdefCheckTlv(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        s.ndefAddress = kCcSize;
        s.scanCount = 0;
        h->currentNdefSize = 0;
        return scanGoOn(m);
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = takeBlock(h)) return finish(m, cause);
        return scanGoOn(m);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t15693StateNdefTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kNdefStates); }
uint32_t t15693StateLegacyTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kLegacyStates); }

// ---- Read ---------------------------------------------------------------------------------------

uint16_t readStep(TTagHandler* h) {
    V5State& s = st(h);
    ThCommandBlock& c = h->command;
    for (;;) {
        const uint32_t left = h->currentNdefSize - c.offset - c.delivered;
        if (left == 0) return nfcCauseOk;
        if (c.delivered == c.size) return nfcCauseTagBufferTooSmall;
        const uint32_t block = s.position / s.blockSize, index = s.position % s.blockSize;
        if (!s.cacheValid || s.cacheBlock != block) {
            s.sentPdu = true;
            const uint16_t sent = readBlock(h, block);
            return sent ? sent : kPending;
        }
        const uint32_t n = std::min({s.blockSize - index, left, c.size - c.delivered});
        std::memcpy(c.buffer + c.delivered, s.cache + index, n);
        c.delivered += n;
        s.position += n;
    }
}

uint32_t readGoOn(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    const uint16_t cause = readStep(h);
    if (cause == kPending) return SM_DONE;
    return thReadServed(m, cause, st(h).sentPdu, &t15693StateReadCheck, kNdefStates);
}

uint32_t t15693StateRead(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        h->command.delivered = 0;
        s.sentPdu = false;
        // An offset at or past the message end has nothing to deliver.
        if (h->command.offset >= h->currentNdefSize) return finish(m, nfcCauseOk);
        s.position = s.ndefAddress + s.headerLength + h->command.offset;
        TRACE(kTrace, "%s Read %d bytes with offset %d from NDEF address %d", kPrefix, static_cast<int>(h->command.size),
              static_cast<int>(h->command.offset), static_cast<int>(s.position));
        return readGoOn(m);
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = takeBlock(h)) return finish(m, cause);
        return readGoOn(m);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t15693StateReadCheck(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        if (const uint16_t cause = readBlock(h, st(h).blockCount > 1 ? 1 : 0)) return finish(m, cause);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: return thSignOfLife(m, takeBlock(h), kNdefStates);
    default: return SM_NOT_HANDLED;
    }
}

// ---- Write --------------------------------------------------------------------------------------

// A write lays its bytes out as one stream over blocks of any size, from the NDEF TLV where the
// check found it: the bytes of the first block before the TLV as the tag holds them, the header
// announcing an empty message, the message, and behind the last byte the terminator and zeros
// up to the block's end. The finished header then goes out last, the block of its length byte
// after any other: a tag left at any moment holds the old message, an empty one or the new one.

uint32_t tlvBlock(const V5State& s) { return s.ndefAddress / s.blockSize; }
uint32_t switchBlock(const V5State& s) { return (s.ndefAddress + TLV_SWITCH_BYTE) / s.blockSize; }
uint32_t headerLastBlock(const V5State& s) { return (s.ndefAddress + s.headerLength - 1) / s.blockSize; }

// A message of total bytes behind the header: the refusal's cause, or 0.
uint16_t checkTotal(TTagHandler* h, uint64_t before, uint32_t size) {
    const V5State& s = st(h);
    if (const uint16_t cause = thRefusePart(h, before, size, s.headerLength == 2)) return cause;
    const uint64_t lastByte = uint64_t{s.ndefAddress} + s.headerLength + before + size - 1;
    if (lastByte / s.blockSize >= s.blockCount) {
        TRACE(TRC_ERROR, "%s Invalid block %d", kPrefix, static_cast<int>(lastByte / s.blockSize));
        return nfcCauseWrongParameter;
    }
    return nfcCauseOk;
}

// The next byte of the stream, false when the part is laid out.
bool nextByte(TTagHandler* h, uint8_t* byte) {
    V5State& s = st(h);
    ThCommandBlock& c = h->command;
    if (s.preludeNext < s.preludeLength) {
        *byte = s.prelude[s.preludeNext++];
        return true;
    }
    if (c.delivered < c.size) {
        *byte = c.data[c.delivered++];
        ++s.written;
        return true;
    }
    // The message's last block: the terminator behind the data, zeros to the end.
    if (!c.final || s.fill == 0) return false;
    *byte = s.terminated ? 0x00 : TLV_TERMINATOR;
    s.terminated = true;
    return true;
}

// Sends the block being assembled once it is full: 0 sent, kDone when the part is in, or the
// failure.
uint16_t writeStep(TTagHandler* h) {
    V5State& s = st(h);
    for (uint8_t byte = 0; s.fill < s.blockSize;) {
        if (!nextByte(h, &byte)) return kDone;
        s.buffer[s.fill++] = byte;
    }
    return writeBlock(h, s.position, s.buffer);
}

uint32_t writeFailed(TStateMachine* m, uint16_t cause) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    if (!s.emptied) s.headerLength = s.keptHeaderLength;
    h->command.delivered = 0;
    return finish(m, cause);
}

uint32_t writeGoOn(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    const uint16_t sent = writeStep(h);
    if (sent == nfcCauseOk) return SM_DONE;
    if (sent != kDone) return writeFailed(m, sent);
    return thChangeTo(m, h->command.final ? &t15693StateWriteFinalize : &t15693StateWriteWaitForNext);
}

// The stream from the first block of the TLV: what stands before the TLV, then the empty header.
uint32_t startStream(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    const uint32_t before = s.ndefAddress % s.blockSize;
    std::memcpy(s.prelude, s.cache, before);
    for (uint32_t k = 0; k < s.headerLength; ++k) s.prelude[before + k] = tlvPendingHeaderByte(k);
    s.preludeLength = before + s.headerLength;
    s.preludeNext = 0;
    s.position = tlvBlock(s);
    s.fill = 0;
    return thChangeTo(m, &t15693StateWriteNext);
}

uint32_t t15693StateWriteInit(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: {
        h->command.delivered = 0;
        s.keptHeaderLength = s.headerLength;
        s.headerLength = h->command.size > kShortLengthMax ? 4 : 2;
        if (const uint16_t cause = checkTotal(h, 0, h->command.size)) {
            s.headerLength = s.keptHeaderLength;
            return finish(m, cause);
        }
        s.written = 0;
        s.emptied = false;
        s.terminated = false;
        // The bytes before the TLV in its block are written back as the tag holds them.
        if (s.ndefAddress % s.blockSize == 0 || (s.cacheValid && s.cacheBlock == tlvBlock(s))) return startStream(m);
        if (const uint16_t cause = readBlock(h, tlvBlock(s))) return writeFailed(m, cause);
        return SM_DONE;
    }
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = takeBlock(h)) return writeFailed(m, cause);
        return startStream(m);
    default: return SM_NOT_HANDLED;
    }
}

// A block the tag took: what the final header rewrites of the header's blocks is kept, and once
// the block of the length byte holds the empty header the tag holds an empty message.
void blockTaken(TTagHandler* h) {
    V5State& s = st(h);
    if (s.cacheValid && s.cacheBlock == s.position) s.cacheValid = false;
    if (s.position >= tlvBlock(s) && s.position <= headerLastBlock(s))
        std::memcpy(s.head + (s.position - tlvBlock(s)) * s.blockSize, s.buffer, s.blockSize);
    if (s.position == switchBlock(s)) {
        s.emptied = true;
        h->currentNdefSize = 0;
    }
}

uint32_t t15693StateWriteNext(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: return writeGoOn(m);
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = takeStatus(h)) return writeFailed(m, cause);
        blockTaken(h);
        ++s.position;
        s.fill = 0;
        return writeGoOn(m);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t15693StateWriteWaitForNext(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY: thSendTransactionIndication(h, nfcCauseOk); return SM_DONE;
    case EV_TH_CMD_WRITE:
        h->command.delivered = 0;
        // The part is checked with everything written before it; a refusal leaves the empty
        // message that the header announces so far.
        if (const uint16_t cause = checkTotal(h, st(h).written, h->command.size)) return writeFailed(m, cause);
        return thChangeTo(m, &t15693StateWriteNext);
    default: return SM_NOT_HANDLED;
    }
}

// The header's blocks once more with the finished header: the block of the length byte last.
uint32_t nextHeaderBlock(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    while (s.position <= headerLastBlock(s) + 1) {
        const uint32_t block = s.position <= headerLastBlock(s) ? s.position : switchBlock(s);
        const bool last = s.position > headerLastBlock(s);
        ++s.position;
        if (!last && block == switchBlock(s)) continue;
        if (const uint16_t cause = writeBlock(h, block, s.head + (block - tlvBlock(s)) * s.blockSize))
            return writeFailed(m, cause);
        return SM_DONE;
    }
    s.cacheValid = false;
    h->currentNdefSize = s.written;
    return finish(m, nfcCauseOk);
}

uint32_t t15693StateWriteFinalize(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kTrace, "th: set TLV content length = %d, TLV header size = %d", static_cast<int>(s.written),
              static_cast<int>(s.headerLength));
        for (uint32_t k = 0; k < s.headerLength; ++k)
            s.head[s.ndefAddress % s.blockSize + k] = tlvHeaderByte(k, s.written, s.headerLength);
        s.position = tlvBlock(s);
        return nextHeaderBlock(m);
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = takeStatus(h)) return writeFailed(m, cause);
        return nextHeaderBlock(m);
    default: return SM_NOT_HANDLED;
    }
}

// ---- Format, make read-only, test, magic ------------------------------------------------------

// The next format block: the template at the start, zeros behind it when asked for or erasing.
uint16_t formatStep(TTagHandler* h) {
    V5State& s = st(h);
    const bool erase = h->formatFlags & kFormatErase;
    const uint32_t templateBlocks = (kTemplateSize + s.blockSize - 1) / s.blockSize;
    const uint32_t end = erase || (h->formatFlags & kFormatWipe) ? s.blockCount : std::min(templateBlocks, s.blockCount);
    if (s.position >= end) return kDone;
    for (uint32_t k = 0; k < s.blockSize; ++k) {
        const uint32_t a = s.position * s.blockSize + k;
        s.buffer[k] = !erase && a < kTemplateSize ? s.cc[a] : 0;
    }
    return writeBlock(h, s.position, s.buffer);
}

uint32_t formatGoOn(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    const uint16_t sent = formatStep(h);
    if (sent == nfcCauseOk) return SM_DONE;
    if (sent != kDone) return finish(m, sent);
    s.cacheValid = false;
    if (!(h->formatFlags & kFormatErase)) {
        std::memcpy(s.tagCc, s.cc, kCcSize);
        s.ndefAddress = kCcSize;
        s.headerLength = 2;
        h->access |= TH_ACCESS_WRITE;
    }
    return finish(m, nfcCauseOk);
}

uint32_t t15693StateFormat(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        h->currentNdefSize = 0;
        s.position = 0;
        if (s.blockCount == 0 || s.blockSize == 0) return finish(m, nfcCauseWrongParameter);
        return formatGoOn(m);
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = takeStatus(h)) return finish(m, cause);
        ++s.position;
        return formatGoOn(m);
    default: return SM_NOT_HANDLED;
    }
}

// Block 0 rewritten with the read-only version (read first when its bytes are not known).
uint32_t readonlyBlockZero(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    if (s.blockSize == kCcSize) std::memcpy(s.buffer, s.tagCc, kCcSize);
    else std::memcpy(s.buffer, s.cache, s.blockSize);
    s.buffer[1] = kReadOnlyVersion;
    s.step = 1;
    if (const uint16_t cause = writeBlock(h, 0, s.buffer)) return finish(m, cause);
    return SM_DONE;
}

// Then every block locked, one by one.
uint32_t readonlyLockNext(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    if (s.position >= s.blockCount) {
        h->access &= static_cast<uint16_t>(~(TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE));
        s.tagCc[1] = kReadOnlyVersion;
        return finish(m, nfcCauseOk);
    }
    TRACE(kTrace, "%s Locking block %d", kPrefix, static_cast<int>(s.position));
    if (const uint16_t cause = sendRequest(h, LOCK_BLOCK, s.position, nullptr, 0)) return finish(m, cause);
    return SM_DONE;
}

uint32_t t15693StateSetReadonly(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        // Chips with 16-bit block numbers are not locked here; the caller hears so at once.
        if (s.options & OPTION_EXTENDED) return finish(m, nfcCauseNotImplemented);
        s.cc[1] = kReadOnlyVersion;
        if (s.blockSize == kCcSize || (s.cacheValid && s.cacheBlock == 0)) return readonlyBlockZero(m);
        s.step = 0;
        if (const uint16_t cause = readBlock(h, 0)) return finish(m, cause);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: {
        const uint16_t cause = s.step == 0 ? takeBlock(h) : takeStatus(h);
        if (cause) return finish(m, cause);
        if (s.step == 0) return readonlyBlockZero(m);
        if (s.step == 1) {
            s.cacheValid = false;
            s.step = 2;
            s.position = 0;
        } else {
            ++s.position;
        }
        return readonlyLockNext(m);
    }
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t15693StateTest(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        if (const uint16_t cause = readBlock(h, 0, TH_PDU_CHECK)) return finish(m, cause);
        return SM_DONE;
    // Layer 1 may confirm the check without handing on the answer.
    case EV_TH_CHECK_CONF: return finish(m, h->rspLength ? takeBlock(h) : uint16_t{nfcCauseOk});
    case EV_TH_CHECK_CONF_ERROR: return finish(m, kCauseErrorAnswer);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t magicEnd(TStateMachine* m) {
    return thChangeTo(m, thOf(m)->isNdef ? &t15693StateNdefTag : &t15693StateLegacyTag);
}

uint32_t t15693StateMagic(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    V5State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: s.position = 0; break;
    case EV_TH_TRANSACTION_IND:
        if (takeBlock(h)) return magicEnd(m);
        ++s.position;
        break;
    case EV_TH_TRANSACTION_ERROR_IND: return magicEnd(m);
    default: return SM_NOT_HANDLED;
    }
    if (s.position >= s.blockCount || readBlock(h, s.position)) return magicEnd(m);
    return SM_DONE;
}

// An erased tag holds no TLV: a format lays out a new one behind the container.
void t15693ForgetContent(TTagHandler* h) {
    V5State& s = st(h);
    s.ndefAddress = kCcSize;
    s.headerLength = 2;
    s.cacheValid = false;
}

uint32_t t15693DefaultHandler(TStateMachine* m, uint16_t event) {
    return thDefaultRule(m, event, thOf(m)->isNdef ? kNdefStates : kLegacyStates);
}

} // namespace

uint32_t t15693GetProperty(TTagHandler*, uint32_t, int* found) {
    *found = 0;
    return 0;
}

uint32_t t15693Init(TTagHandler* h) {
    V5State* s = new (h->family) V5State{};
    const uint8_t ccTemplate[kTemplateSize] = {0xE1, 0x40, 0x00, 0x00, 0x03, 0x00, 0xFE, 0x00};
    std::memcpy(s->cc, ccTemplate, sizeof ccTemplate);
    h->access = TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
    h->getProperty = &t15693GetProperty;
    h->setProperty = &thNoSetProperty;
    const uint32_t rate = h->tagInfo ? h->tagInfo->rx : 0;
    TRACE(0x1000000, "15694 TAG rate %d", static_cast<int>(rate));
    if (rate > 7) s->options |= OPTION_HIGH_RATE;
    return thStartMachine(h, &t15693StateIdle, &t15693DefaultHandler, kStateTable, kStateCount, kPrefix);
}
