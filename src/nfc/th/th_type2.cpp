#include "th/th_type2.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "th/memory_mapper.h"
#include "th/th_frame.h"
#include "th/th_subtypes.h"
#include "th/th_tlv.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "th_type2:";
constexpr uint32_t kInfo = 0x10;
constexpr uint32_t kDetail = 0x20;

constexpr uint8_t kRead = 0x30;
constexpr uint8_t kWrite = 0xA2;
constexpr uint8_t kSectorSelect = 0xC2;
constexpr uint16_t kSectorSelectTimeout = 50;   // ms: the tag acknowledges the sector by silence
constexpr uint8_t kAck = 0x0A;

constexpr uint32_t kBlock = 4;
constexpr uint32_t kReadBytes = 16;
constexpr uint32_t kSectorBlocks = 256;
constexpr uint32_t kSectorBytes = kSectorBlocks * kBlock;
constexpr uint32_t kSectors = 256;              // the sector number is one byte
constexpr uint32_t kCcAddress = 12;
constexpr uint32_t kDataStart = 16;             // blocks 0..3: UID, lock bytes, CC
constexpr uint32_t kInitialSize = 64;
constexpr uint32_t kSmallTagBlocks = 16;        // such a tag wraps a READ round to block 0
constexpr uint32_t kStaticDataSize = 48;        // the data area every tag has
constexpr uint16_t kUidMin = 4, kUidMax = 10;
constexpr uint32_t kControlSlots = 4;
constexpr uint32_t kShortLengthMax = 254;
constexpr uint8_t kStaticLock[kBlock] = {0x00, 0x00, 0xFF, 0xFF};

enum : uint8_t { MAKER_NXP = 0x04, MAKER_INFINEON = 0x05, MAKER_KOVIO = 0x37 };
enum : uint32_t { OP_READ = 0, OP_WRITE = 1, OP_SECTOR_SELECT = 2 };

#define T2_FORMAT_STEPS(X)           \
    X(T2_FORMAT_INIT)                \
    X(T2_FORMAT_WRITE_CC)            \
    X(T2_FORMAT_LOCK_TLV_CHECK)      \
    X(T2_FORMAT_WRITE_LOCK_TLV)      \
    X(T2_FORMAT_WRITE_NDEF_TLV_INIT) \
    X(T2_FORMAT_WRITE_NDEF_TLV)      \
    X(T2_FORMAT_WIPE_DATA)           \
    X(T2_FORMAT_FINISHED)
#define T2_ENUM(name) name,
enum T2FormatStep : uint32_t { T2_FORMAT_STEPS(T2_ENUM) };
#undef T2_ENUM
#define T2_NAME(name) #name,
constexpr const char* kFormatStepNames[] = {T2_FORMAT_STEPS(T2_NAME)};
#undef T2_NAME

struct Maker {
    uint8_t code;
    const char* name;
};
constexpr Maker kMakers[] = {{MAKER_NXP, "NXP"}, {MAKER_INFINEON, "INFINEON"}, {MAKER_KOVIO, "KOVIO"}, {0xFF, "UNKNOWN"}};

// What a blank tag of each layout is formatted with.
struct Template {
    T2Type type;
    uint8_t cc[kBlock];
    const uint8_t* tlvs;
    uint16_t tlvLength;
    const char* prepared;       // the memory map named when a format writes the CC
};
constexpr uint8_t kUlTlvs[] = {0x01, 0x03, 0xA0, 0x10, 0x44, 0x03, 0x00, 0xFE};
constexpr uint8_t k16PTlvs[] = {0x01, 0x03, 0xD0, 0x20, 0x24, 0x02, 0x03, 0xE0, 0x2C, 0x04, 0x03, 0x00, 0xFE};
constexpr uint8_t k32PTlvs[] = {0x01, 0x03, 0x90, 0x14, 0x24, 0x02, 0x03, 0x93, 0x05, 0x04, 0x03, 0x00, 0xFE};
constexpr Template kTemplates[] = {
    {T2_TYPE_STATIC, {0xE1, 0x10, 0x06, 0x00}, nullptr, 0, "static"},
    {T2_TYPE_DYN_NXP_UL, {0xE1, 0x11, 0x12, 0x00}, kUlTlvs, sizeof kUlTlvs, "NXP UL-C"},
    {T2_TYPE_DYN_NXP_UL_EV1_21, {0xE1, 0x11, 0x10, 0x00}, nullptr, 0, nullptr},
    {T2_TYPE_DYN_MY_D_66R01P, {0xE1, 0x11, 0x10, 0x00}, nullptr, 0, nullptr},
    {T2_TYPE_DYN_MY_D_66R16P, {0xE1, 0x11, 0x7E, 0x00}, k16PTlvs, sizeof k16PTlvs, nullptr},
    {T2_TYPE_DYN_MY_D_66R32P, {0xE1, 0x11, 0xFE, 0x00}, k32PTlvs, sizeof k32PTlvs, nullptr},
    {T2_TYPE_DYN_OTHER, {0xE1, 0x10, 0x06, 0x00}, nullptr, 0, nullptr},
};
constexpr uint8_t kEmptyNdef[] = {TLV_NDEF, 0x00, TLV_TERMINATOR};

// What the byte writer lays out: the NDEF TLV header, the message, the finished header, or the
// empty NDEF TLV of a format.
enum Job : uint8_t { JOB_HEADER, JOB_DATA, JOB_FINAL, JOB_FORMAT };
enum Flush : uint8_t { FLUSH_NONE, FLUSH_READING, FLUSH_WRITING };
enum Step : uint8_t { STEP_PENDING, STEP_DONE, STEP_FAILED };
// A blank tag proves the memory its layout claims: a 16-block tag wraps a READ of block 15 round
// to block 0, and a larger one answers a READ of the claimed data area's last block.
enum Probe : uint8_t { PROBE_NONE, PROBE_WRAP, PROBE_END, PROBE_REFUSED, PROBE_DONE };

struct BlockCache {
    uint8_t sector;
    uint16_t firstBlock;
    uint16_t count;     // bytes
    uint8_t data[kReadBytes];
};

// The block being assembled for WRITE: bytes by their offset, with a mask of those set.
struct BlockBuffer {
    uint32_t address;   // absolute byte address of the block
    uint8_t mask;
    uint8_t data[kBlock];
    bool active;
};

struct TlvScan {
    uint8_t buffer[kReadBytes];
    uint8_t fill;
    uint32_t position;  // absolute address of the next byte
    uint32_t start;     // absolute address of the TLV being gathered
    uint32_t skip;      // bytes of an unknown TLV still to pass over
    uint32_t phase;     // 0 capability container, 1 TLV area
    bool overTemplate;  // the bytes are a format template, not the tag's own
};

struct T2Family {
    T2Type type;
    uint8_t sak;
    uint8_t cc[kBlock];
    bool ccValid;
    bool guard;                 // armed: no block of 0..3 in sector 0 is written
    bool ndefChecked;
    uint8_t targetBlock;
    uint32_t targetSector;      // checked against the 8-bit sector number before it is sent
    uint8_t selectedSector;
    uint32_t operation;
    uint16_t failCause;         // of the last block operation that failed
    bool readIssued;
    BlockCache cache;
    uint8_t outgoing[kBlock];   // the data of the WRITE being sent
    BlockBuffer buffer;
    Flush flush;
    uint8_t headerCache[3];
    uint8_t headerCount;
    uint8_t headerSize;         // of the NDEF TLV: 2, or 4 in the 3-byte length form
    uint32_t ndefAbsolute;      // where the scan found the NDEF TLV
    uint32_t ndefLogical;       // the same in the NDEF area, from which reads and writes go
    bool ndefFound;
    TlvScan scan;
    TControlTlv controls[kControlSlots];
    uint16_t controlCount;
    uint32_t managedSize;       // bytes the lock control TLVs cover so far
    bool tagHasControl;         // control TLVs stood on the tag itself
    TMemorySegment segments[MEMORY_MAPPER_SEGMENTS];
    TMemoryMapper mapper;
    const Template* formatTemplate;
    uint16_t templateProgress;
    uint32_t formatStep;
    uint16_t lockIndex;
    uint16_t lockDone;
    uint16_t lockPending;       // lock bytes in the WRITE being sent
    bool longLength;
    uint8_t keptHeaderSize;     // of the NDEF TLV on the tag before the write
    bool emptied;               // the tag has taken the write's empty header
    uint8_t finalPass;          // 0: the header's other blocks, 1: the block of its length byte
    uint8_t probe;              // of a blank tag's memory size
    bool proveSize;             // the check runs for a format, which must not assume memory
    bool sizeUnproven;          // the check took a blank tag's layout on trust
    bool terminatorAdded;
    bool ccWritten;             // this format wrote the CC of a blank tag
    uint32_t written;           // message bytes laid out in this write
    uint32_t chunkStart;        // message index of the chunk's first byte
    Job job;
    uint32_t jobPosition;       // logical address of the next byte
    uint32_t jobEnd;
};
static_assert(sizeof(T2Family) <= TH_FAMILY_STATE_SIZE, "the family state fits the handler");

T2Family& fam(TTagHandler* h) { return *std::launder(reinterpret_cast<T2Family*>(h->family)); }
const T2Family& fam(const TTagHandler* h) { return *std::launder(reinterpret_cast<const T2Family*>(h->family)); }

uint32_t g_magicCounter = 0;    // Magic reads on where the last run stopped, whatever the tag

// ---- States, declared for the table ------------------------------------------------------------
uint32_t t2StateIdle(TStateMachine* m, uint16_t event);
uint32_t t2StateCheckNdef(TStateMachine* m, uint16_t event);
uint32_t t2StateNdefTag(TStateMachine* m, uint16_t event);
uint32_t t2StateLegacyTag(TStateMachine* m, uint16_t event);
uint32_t t2StateRead(TStateMachine* m, uint16_t event);
uint32_t t2StateReadCheck(TStateMachine* m, uint16_t event);
uint32_t t2StateWriteInit(TStateMachine* m, uint16_t event);
uint32_t t2StateWriteTlv(TStateMachine* m, uint16_t event);
uint32_t t2StateWriteData(TStateMachine* m, uint16_t event);
uint32_t t2StateWaitForNextWrite(TStateMachine* m, uint16_t event);
uint32_t t2StateWriteFinalize(TStateMachine* m, uint16_t event);
uint32_t t2StateFormat(TStateMachine* m, uint16_t event);
uint32_t t2StateFormatCheckNdef(TStateMachine* m, uint16_t event);
uint32_t t2StateTest(TStateMachine* m, uint16_t event);
uint32_t t2StateSetReadonly(TStateMachine* m, uint16_t event);
uint32_t t2StateSetReadonlyStatic(TStateMachine* m, uint16_t event);
uint32_t t2StateSetReadonlyDynamic(TStateMachine* m, uint16_t event);
uint32_t t2StatePerformOperation(TStateMachine* m, uint16_t event);
uint32_t t2StatePerformSectorSelect(TStateMachine* m, uint16_t event);
uint32_t t2StatePerformSectorSelect2(TStateMachine* m, uint16_t event);
uint32_t t2StateMagic(TStateMachine* m, uint16_t event);
uint32_t t2DefaultHandler(TStateMachine* m, uint16_t event);

#define T2_STATE(name) {&name, #name}
constexpr SmStateEntry kStates[] = {
    T2_STATE(t2StateIdle),           T2_STATE(t2StateCheckNdef),           T2_STATE(t2StateNdefTag),
    T2_STATE(t2StateLegacyTag),      T2_STATE(t2StateRead),                T2_STATE(t2StateReadCheck),
    T2_STATE(t2StateWriteInit),      T2_STATE(t2StateWriteTlv),            T2_STATE(t2StateWriteData),
    T2_STATE(t2StateWaitForNextWrite), T2_STATE(t2StateWriteFinalize),     T2_STATE(t2StateFormat),
    T2_STATE(t2StateFormatCheckNdef), T2_STATE(t2StateTest),               T2_STATE(t2StateSetReadonly),
    T2_STATE(t2StateSetReadonlyStatic), T2_STATE(t2StateSetReadonlyDynamic), T2_STATE(t2StatePerformOperation),
    T2_STATE(t2StatePerformSectorSelect), T2_STATE(t2StatePerformSectorSelect2), T2_STATE(t2StateMagic),
    T2_STATE(t2DefaultHandler),
};
#undef T2_STATE
static_assert(std::size(kStates) == 22);

// The family has no erase: nothing to forget at its end.
constexpr ThFamilyStates kRules = {
    &t2StateIdle, &t2StateNdefTag, &t2StateLegacyTag, &t2StateCheckNdef, &t2StateRead, &t2StateWriteInit,
    &t2StateFormat, nullptr, &t2StateTest, &t2StateSetReadonly, &t2StateMagic, nullptr,
};
// LegacyTag takes only what a tag without NDEF content can do.
constexpr ThFamilyStates kLegacyRules = {
    &t2StateIdle, &t2StateNdefTag, &t2StateLegacyTag, &t2StateCheckNdef, nullptr, nullptr,
    &t2StateFormat, nullptr, &t2StateTest, nullptr, nullptr, nullptr,
};

uint32_t finish(TStateMachine* m, uint16_t cause) { return thFinishCommand(m, cause, kRules); }

// ---- Addresses, cache and mapper ------------------------------------------------------------------

uint32_t blockOf(uint32_t absolute) { return absolute & ~(kBlock - 1); }

// A byte of the cache: how many cached bytes run on from it (0 when it is not cached).
uint32_t cachedAt(const T2Family& f, uint32_t absolute, const uint8_t** bytes) {
    const BlockCache& c = f.cache;
    const uint32_t sector = absolute / kSectorBytes;
    if (c.count == 0) {
        TRACE(kDetail, "%s Nothing cached", kPrefix);
        return 0;
    }
    if (sector != f.selectedSector || sector != c.sector) {
        TRACE(kDetail, "%s Sector %d needs SECTOR_SELECT", kPrefix, static_cast<int>(sector));
        return 0;
    }
    const uint32_t start = c.firstBlock * kBlock + sector * kSectorBytes;
    if (absolute < start || absolute >= start + c.count) return 0;
    if (bytes) *bytes = c.data + (absolute - start);
    return start + c.count - absolute;
}

bool cachedBlock(const T2Family& f, uint32_t address, uint8_t out[kBlock]) {
    const uint8_t* bytes = nullptr;
    if (cachedAt(f, address, &bytes) < kBlock) return false;
    std::memcpy(out, bytes, kBlock);
    return true;
}

// A READ of a 16-block tag wraps round to block 0, and a sector ends after 256 blocks: what lies
// beyond either is not what the answer's last bytes hold.
void storeRead(T2Family& f, uint8_t block, const uint8_t* data) {
    uint32_t blocks = std::min<uint32_t>(kReadBytes / kBlock, kSectorBlocks - block);
    if (block < kSmallTagBlocks && f.mapper.size <= kSmallTagBlocks * kBlock)
        blocks = std::min<uint32_t>(blocks, kSmallTagBlocks - block);
    f.cache.sector = f.selectedSector;
    f.cache.firstBlock = block;
    f.cache.count = static_cast<uint16_t>(blocks * kBlock);
    std::memcpy(f.cache.data, data, kReadBytes);
}

void storeWrite(T2Family& f, uint8_t block, const uint8_t* data) {
    BlockCache& c = f.cache;
    if (c.count == 0 || c.sector != f.selectedSector || block < c.firstBlock || block >= c.firstBlock + c.count / kBlock)
        return;
    std::memcpy(c.data + (block - c.firstBlock) * kBlock, data, kBlock);
}

bool mapLogical(const T2Family& f, uint32_t logical, uint32_t* absolute, uint32_t* contiguous = nullptr) {
    if (memoryMapperMap(&f.mapper, logical, absolute, contiguous) == MEMORY_MAPPER_OK) return true;
    TRACE(TRC_ERROR, "%s ! Invalid address %d", kPrefix, static_cast<int>(logical));
    return false;
}

// The logical address of an absolute byte, false for a byte outside the NDEF area.
bool logicalOf(const T2Family& f, uint32_t absolute, uint32_t* logical) {
    for (uint16_t i = 0; i < f.mapper.count; ++i) {
        const TMemorySegment& s = f.mapper.segments[i];
        if (s.used && absolute >= s.absolute && absolute - s.absolute < s.length) {
            *logical = s.logical + (absolute - s.absolute);
            return true;
        }
    }
    return false;
}

void resetMapper(T2Family& f, uint32_t size) {
    std::memset(f.segments, 0, sizeof f.segments);
    memoryMapperInit(&f.mapper, f.segments, MEMORY_MAPPER_SEGMENTS);
    memoryMapperResize(&f.mapper, size);
}

// ---- Block operations ----------------------------------------------------------------------------

// Runs one block operation as a substate of the current state, which learns the outcome by
// EV_SM_RETURNED or EV_SM_RETURNED_ERROR.
uint32_t perform(TStateMachine* m, uint32_t operation, uint32_t absolute) {
    T2Family& f = fam(thOf(m));
    f.operation = operation;
    f.targetBlock = static_cast<uint8_t>(absolute / kBlock);
    f.targetSector = absolute / kSectorBytes;
    f.failCause = 0;
    m->master = m->current;
    m->next = &t2StatePerformOperation;
    return SM_SUBSTATE;
}

uint32_t readBlock(TStateMachine* m, uint32_t absolute) { return perform(m, OP_READ, absolute); }

uint32_t writeBlock(TStateMachine* m, uint32_t address, const uint8_t data[kBlock], bool mayTouchHeader = false) {
    T2Family& f = fam(thOf(m));
    std::memcpy(f.outgoing, data, kBlock);
    if (mayTouchHeader) f.guard = false;
    return perform(m, OP_WRITE, address);
}

uint32_t failOperation(TStateMachine* m, uint16_t cause) {
    fam(thOf(m)).failCause = cause;
    return SM_MASTER_ERROR;
}

uint16_t send(TTagHandler* h, uint16_t size, uint8_t flags = 0, uint16_t timeout = 0) {
    return thSendPdu(h, h->pdu, size, flags, timeout);
}

// A one-byte answer is an ACK or a NAK; layer 1 may also report the ACK without data.
bool refused(const TTagHandler* h) { return h->rspLength == 1 && (h->rspData[0] & 0x0F) != kAck; }

uint32_t sendOperation(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    if (f.operation == OP_READ) {
        h->pdu[0] = kRead;
        h->pdu[1] = f.targetBlock;
        return send(h, 2) ? failOperation(m, h->cause) : SM_DONE;
    }
    if (f.operation != OP_WRITE) {
        TRACE(TRC_ERROR, "%s ! Unknown transaction mode %#x", kPrefix, static_cast<unsigned>(f.operation));
        return failOperation(m, nfcCauseInternalSoftware);
    }
    const bool header = f.targetSector == 0 && f.targetBlock < kDataStart / kBlock;
    if (header && f.guard) {
        TRACE(TRC_ERROR, "%s ! Trying to write protected area", kPrefix);
        return failOperation(m, nfcCauseInternalSoftware);
    }
    f.guard = true;
    h->pdu[0] = kWrite;
    h->pdu[1] = f.targetBlock;
    std::memcpy(h->pdu + 2, f.outgoing, kBlock);
    return send(h, 2 + kBlock) ? failOperation(m, h->cause) : SM_DONE;
}

uint32_t operationAnswered(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    if (refused(h)) return failOperation(m, nfcCauseRejected);
    if (f.operation == OP_WRITE) {
        storeWrite(f, f.targetBlock, f.outgoing);
        return SM_MASTER;
    }
    CByteReader r(h->rspData, h->rspLength);
    const uint8_t* data = nullptr;
    if (!r.take(kReadBytes, data)) {
        TRACE(TRC_ERROR, "%s ! Not enough data in response: %d bytes instead of %d bytes", kPrefix,
              static_cast<int>(h->rspLength), static_cast<int>(kReadBytes));
        return failOperation(m, nfcCauseInvalidData);
    }
    if (!r.empty()) TRACE(kDetail, "%s WARNING: %d bytes more than expected", kPrefix, static_cast<int>(r.remaining()));
    storeRead(f, f.targetBlock, data);
    return SM_MASTER;
}

uint32_t t2StatePerformOperation(TStateMachine* m, uint16_t event) {
    T2Family& f = fam(thOf(m));
    switch (event) {
    case EV_SM_ENTRY:
        if (f.targetSector >= kSectors) {
            TRACE(TRC_ERROR, "%s ! Sector %d out of reach", kPrefix, static_cast<int>(f.targetSector));
            return failOperation(m, nfcCauseInternalSoftware);
        }
        if (f.targetSector != f.selectedSector) return thChangeTo(m, &t2StatePerformSectorSelect);
        return sendOperation(m);
    case EV_TH_TRANSACTION_IND: return operationAnswered(m);
    case EV_TH_TRANSACTION_ERROR_IND: return failOperation(m, thOf(m)->cause);
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t2StatePerformSectorSelect(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        h->pdu[0] = kSectorSelect;
        h->pdu[1] = 0xFF;
        return send(h, 2) ? failOperation(m, h->cause) : SM_DONE;
    case EV_TH_TRANSACTION_IND:
        if (refused(h)) return failOperation(m, nfcCauseRejected);
        return thChangeTo(m, &t2StatePerformSectorSelect2);
    case EV_TH_TRANSACTION_ERROR_IND: return failOperation(m, h->cause);
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t sectorSelected(TStateMachine* m) {
    T2Family& f = fam(thOf(m));
    f.selectedSector = static_cast<uint8_t>(f.targetSector);
    TRACE(kDetail, "%s Sector %d selected", kPrefix, f.selectedSector);
    if (f.operation == OP_SECTOR_SELECT) return SM_MASTER;
    return thChangeTo(m, &t2StatePerformOperation);
}

uint32_t t2StatePerformSectorSelect2(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        h->pdu[0] = static_cast<uint8_t>(fam(h).targetSector);
        h->pdu[1] = h->pdu[2] = h->pdu[3] = 0;
        return send(h, 4, 0, kSectorSelectTimeout) ? failOperation(m, h->cause) : SM_DONE;
    case EV_TH_TRANSACTION_IND:
        if (refused(h)) return failOperation(m, nfcCauseRejected);
        return sectorSelected(m);
    case EV_TH_TRANSACTION_ERROR_IND:
        if (h->cause == nfcCauseAckMissing) return sectorSelected(m);   // the passive ACK
        return failOperation(m, h->cause);
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// The cause a command state reports for a failed block operation.
uint16_t operationCause(const T2Family& f) {
    return f.failCause == nfcCauseInternalSoftware ? nfcCauseInternalSoftware : nfcCauseInvalidData;
}

// ---- Capability container, type and TLV scan -----------------------------------------------------

uint16_t evaluateCc(TTagHandler* h, const uint8_t cc[kBlock]) {
    T2Family& f = fam(h);
    if (cc[0] != 0xE1) {
        TRACE(kInfo, "%s Found non-NDEF tag", kPrefix);
        f.ccValid = false;
        h->access = TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
        return nfcCauseNotNfcForumTag;
    }
    f.ccValid = true;
    if ((cc[1] >> 4) != 1) {
        TRACE(TRC_ERROR, "%s ! Incompatible document version = %d.%d instead of %d.%d", kPrefix, cc[1] >> 4,
              cc[1] & 0x0F, 1, 0);
        TRACE(TRC_ERROR, "%s ! unsupported document version %x", kPrefix, cc[1]);
        return nfcCauseVersionMismatch;
    }
    const uint32_t size = uint32_t{cc[2]} * 8;
    if (cc[2] > 6) memoryMapperResize(&f.mapper, size + kDataStart);
    uint16_t access = h->access & ~(TH_ACCESS_READ | TH_ACCESS_WRITE);
    if ((cc[3] & 0x0F) == 0) access |= TH_ACCESS_WRITE;
    if (cc[3] <= 0x0F) access |= TH_ACCESS_READ;
    h->access = access;
    h->physicalSize = size;
    TRACE(kInfo, "%s  CC: version    = %#x", kPrefix, cc[1]);
    TRACE(kInfo, "%s  CC: memorysize = %d", kPrefix, static_cast<int>(size));
    TRACE(kInfo, "%s  CC: access     = %#x", kPrefix, cc[3]);
    return nfcCauseOk;
}

void setType(TTagHandler* h, T2Type type, uint32_t subtype) {
    fam(h).type = type;
    h->tagSubtype = subtype;
}

void detectUltralight(TTagHandler* h) {
    T2Family& f = fam(h);
    setType(h, T2_TYPE_DYN_NXP_UL, TH_SUBTYPE_UL_C);   // what every doubt ends with
    if (h->uidLength != 7) {
        TRACE(kInfo, "%s ID length=%d, not NXP UL", kPrefix, h->uidLength);
        return;
    }
    if (f.sak != 0x00) {
        TRACE(kInfo, "%s SAK=%d, not NXP UL (expected 0x00)", kPrefix, f.sak);
        return;
    }
    if (f.ccValid) {
        switch (h->physicalSize) {
        case 48: return setType(h, T2_TYPE_STATIC, TH_SUBTYPE_UL);
        case 128: return setType(h, T2_TYPE_DYN_NXP_UL, TH_SUBTYPE_UL_EV1_21);
        case 144: return setType(h, T2_TYPE_DYN_NXP_UL, TH_SUBTYPE_UL_C);
        default:
            TRACE(TRC_ERROR, "%s ! Non-standard memory size %d, not supported", kPrefix, static_cast<int>(h->physicalSize));
            return;
        }
    }
    uint32_t absolute = 0;
    const uint8_t* first = nullptr;
    if (!mapLogical(f, 0, &absolute) || cachedAt(f, absolute, &first) < 8) {
        TRACE(TRC_ERROR, "%s ! Expected first blocks in cache", kPrefix);
        return;
    }
    CByteReader r(first, 8);
    uint16_t head = 0, chunkSize = 0, chunkCount = 0;
    uint8_t chunksPerBit = 0, bits = 0;
    r.u16be(head);
    if (head == 0xFFFF) return setType(h, T2_TYPE_STATIC, TH_SUBTYPE_UL);
    if (head == 0x0000) return setType(h, T2_TYPE_DYN_NXP_UL_EV1_21, TH_SUBTYPE_UL_EV1_21);
    if (head != 0x0200) {
        TRACE(TRC_ERROR, "%s ! Unknown NXP Ultralight tag", kPrefix);
        return;
    }
    r.u16be(chunkSize);
    r.u16be(chunkCount);
    r.u8(chunksPerBit);
    r.u8(bits);
    TRACE(kInfo, "%s NXP UL: ChunkSize=%d, ChunkNum=%d, ChunksPerBit=%d, NumBits=%d, AreaSize=%d", kPrefix, chunkSize,
          chunkCount, chunksPerBit, bits, chunkSize * chunkCount);
    if (chunkSize != 16 || chunkCount != 6 || chunksPerBit != 1 || bits != 16)
        TRACE(TRC_ERROR, "%s ! Non-standard memory layout not supported", kPrefix);
}

void detectInfineon(TTagHandler* h) {
    const T2Family& f = fam(h);
    const unsigned family = h->uid[1] & 0xF0;
    switch (family) {
    case 0x20:
        if (!f.ccValid) return setType(h, T2_TYPE_DYN_MY_D, h->tagSubtype);
        if (h->physicalSize == 1008) return setType(h, T2_TYPE_DYN_MY_D_66R16P, TH_SUBTYPE_MYD_66R16P);
        if (h->physicalSize == 2032) return setType(h, T2_TYPE_DYN_MY_D_66R32P, TH_SUBTYPE_MYD_66R32P);
        TRACE(TRC_ERROR, "%s ! Unknwon Infineon my-d tag type", kPrefix);
        return;
    case 0x30: return setType(h, T2_TYPE_DYN_MY_D_66R01P, TH_SUBTYPE_MYD_MOVE_66R01P);
    case 0x10: TRACE(TRC_ERROR, "%s ! Unsupported Infineon tag with family ID %d", kPrefix, family); break;
    default: TRACE(TRC_ERROR, "%s ! Unknown Infineon tag with family ID %d", kPrefix, family); break;
    }
    setType(h, T2_TYPE_DYN_OTHER, h->tagSubtype);
}

void detectType(TTagHandler* h) {
    fam(h).type = T2_TYPE_STATIC;
    switch (h->uid[0]) {
    case MAKER_NXP: detectUltralight(h); break;
    case MAKER_INFINEON:
        detectInfineon(h);
        TRACE(kInfo, "%s Found tagtype %d", kPrefix, static_cast<int>(fam(h).type));
        break;
    default:
        TRACE(kInfo, "%s ! No real tag type 2 discovery possible, unsupported manufacturer %#x", kPrefix, h->uid[0]);
        break;
    }
    TRACE(kInfo, "%s Found %s, subtype %s", kPrefix, fam(h).type == T2_TYPE_STATIC ? "static" : "dynamic",
          thSubtypeName(h->tagSubtype));
}

const Template& templateOf(T2Type type) {
    for (const Template& t : kTemplates)
        if (t.type == type) return t;
    return kTemplates[0];
}

// The data area the default CC of a layout announces.
uint32_t claimedSize(T2Type type) { return uint32_t{templateOf(type).cc[2]} * 8; }

// A blank tag: its sizes come from the default CC of its type, and a control-TLV template is
// scanned as if it stood on the tag.
bool prepareBlank(TTagHandler* h) {
    T2Family& f = fam(h);
    const Template& t = templateOf(f.type);
    f.formatTemplate = &t;
    if (f.type == T2_TYPE_DYN_OTHER)
        TRACE(kInfo, "%s WARNING: Unknown dynamic memory layout, using CC for static memory map", kPrefix);
    TRACE(kInfo, "%s Evaluating default CC", kPrefix);
    evaluateCc(h, t.cc);
    std::memcpy(f.cc, t.cc, kBlock);
    f.ccValid = false;
    if (!t.tlvs) {
        TRACE(kInfo, "%s Static or unknown tag", kPrefix);
        return false;
    }
    if (t.tlvLength > kReadBytes) {
        TRACE(TRC_ERROR, "%s ! Unable to parse default control TLV", kPrefix);
        return false;
    }
    f.cache = BlockCache{0, kDataStart / kBlock, t.tlvLength, {}};
    std::memcpy(f.cache.data, t.tlvs, t.tlvLength);
    f.scan.overTemplate = true;
    return true;
}

Step blankLayout(TTagHandler* h, uint16_t* cause);

enum Scan : uint8_t { SCAN_MORE, SCAN_NDEF, SCAN_FAILED };

Scan scanFailed(TTagHandler* h, uint16_t cause) {
    h->cause = cause;
    return SCAN_FAILED;
}

Scan takeControl(TTagHandler* h) {
    T2Family& f = fam(h);
    TlvScan& s = f.scan;
    TRACE(kInfo, "%s Found control TLV", kPrefix);
    if (f.controlCount >= kControlSlots) {
        TRACE(TRC_ERROR, "%s ! Too many control TLVs", kPrefix);
        return scanFailed(h, nfcCauseInternalSoftware);
    }
    TControlTlv& c = f.controls[f.controlCount];
    if (tlvDecodeControl(s.buffer, s.fill, f.managedSize, &c) != TLV_DECODED) return scanFailed(h, nfcCauseInvalidData);
    ++f.controlCount;
    f.managedSize += c.lockRange;
    TRACE(kInfo, "%s Adjusted size managed by TLVs to %d", kPrefix, static_cast<int>(f.managedSize));
    if (!s.overTemplate) f.tagHasControl = true;
    const uint32_t r = memoryMapperReserve(&f.mapper, s.start, s.fill);
    if (r == MEMORY_MAPPER_NO_SEGMENT || r == MEMORY_MAPPER_BAD_RANGE) return scanFailed(h, nfcCauseInternalSoftware);
    s.fill = 0;
    return SCAN_MORE;
}

// One more byte of the TLV area.
Scan scanByte(TTagHandler* h, uint8_t byte, uint32_t absolute) {
    T2Family& f = fam(h);
    TlvScan& s = f.scan;
    if (s.skip) {
        --s.skip;
        return SCAN_MORE;
    }
    if (s.fill == 0) s.start = absolute;
    s.buffer[s.fill++] = byte;
    const uint8_t type = s.buffer[0];
    if (type == TLV_NULL) {
        s.fill = 0;
        return SCAN_MORE;
    }
    if (type == TLV_TERMINATOR) {
        // Nothing stands behind a terminator: there is no NDEF message on this tag.
        TRACE(kInfo, "%s Found terminator TLV", kPrefix);
        return scanFailed(h, nfcCauseNotNfcForumTag);
    }
    if (s.fill < 2 || (s.buffer[1] == TLV_LONG_LENGTH && s.fill < 4)) return SCAN_MORE;
    const bool control = type == TLV_LOCK_CONTROL || type == TLV_MEMORY_CONTROL;
    if (control && s.buffer[1] != 3) {
        TRACE(TRC_ERROR, "%s ! Control TLV with length %d", kPrefix, s.buffer[1]);
        return scanFailed(h, nfcCauseInvalidData);
    }
    if (control && s.fill < 5) return SCAN_MORE;
    const uint16_t length = control ? 3 : tlvGetLength(s.buffer, s.fill);
    TRACE(kInfo, "%s Found TLV type %d, length %d at position %d", kPrefix, type, length, static_cast<int>(s.start));
    if (control) return takeControl(h);
    if (length == TLV_INVALID_LENGTH) return scanFailed(h, nfcCauseInvalidData);
    if (type == TLV_NDEF) {
        h->currentNdefSize = length;
        f.headerSize = s.fill;
        f.ndefAbsolute = s.start;
        f.ndefFound = true;
        return SCAN_NDEF;
    }
    TRACE(kInfo, "%s Unknown TLV %#x", kPrefix, type);
    s.skip = length;
    s.fill = 0;
    return SCAN_MORE;
}

// The implicit lock control TLV: lock bits right after the data area, one per 8 bytes past the
// first 48. A data area of 48 bytes or less has none.
void addImplicitLock(TTagHandler* h) {
    T2Family& f = fam(h);
    const uint32_t size = uint32_t{f.cc[2]} * 8;
    if (size <= 48) return;
    TRACE(kInfo, "%s Generating implicit control TLV", kPrefix);
    TControlTlv& c = f.controls[f.controlCount++];
    c = TControlTlv{TLV_LOCK_CONTROL, kDataStart + size, static_cast<uint16_t>((size - 41) / 8), 1, 8, 48, size - 48};
    tlvDumpControl(&c);
}

uint32_t capacityOf(uint32_t room) {
    if (room < 2) return 0;
    return room <= 253 ? room - 2 : room - 4;
}

void setMaxNdefSize(TTagHandler* h) {
    const T2Family& f = fam(h);
    const uint32_t total = memoryMapperTotal(&f.mapper);
    h->maxNdefSize = capacityOf(total > f.ndefLogical ? total - f.ndefLogical : 0);
    TRACE(kInfo, "%s Max NDEF size = %d", kPrefix, static_cast<int>(h->maxNdefSize));
}

// After the scan: the areas of the control TLVs leave the NDEF area, and the message must fit it.
uint16_t evaluateControls(TTagHandler* h) {
    T2Family& f = fam(h);
    if (f.type != T2_TYPE_STATIC && f.controlCount == 0) addImplicitLock(h);
    for (uint16_t i = 0; i < f.controlCount; ++i) {
        const TControlTlv& c = f.controls[i];
        TRACE(kInfo, "%s Evaluating control TLV %d", kPrefix, i);
        const uint32_t bytes = c.type == TLV_LOCK_CONTROL ? (c.size + 7u) / 8 : c.size;
        if (uint64_t{c.address} + bytes > uint64_t{kSectors} * kSectorBytes) {
            TRACE(TRC_ERROR, "%s ! Control TLV %d names bytes beyond the last sector", kPrefix, i);
            return nfcCauseInvalidData;
        }
        const uint32_t r = memoryMapperReserve(&f.mapper, c.address, bytes);
        if (r == MEMORY_MAPPER_NO_SEGMENT || r == MEMORY_MAPPER_BAD_RANGE) return nfcCauseInternalSoftware;
    }
    if (!f.ndefFound) return nfcCauseNotNfcForumTag;
    if (!logicalOf(f, f.ndefAbsolute, &f.ndefLogical)) {
        TRACE(TRC_ERROR, "%s ! NDEF TLV at %d lies in a reserved area", kPrefix, static_cast<int>(f.ndefAbsolute));
        return nfcCauseInvalidData;
    }
    setMaxNdefSize(h);
    const uint64_t end = uint64_t{f.ndefLogical} + f.headerSize + h->currentNdefSize;
    if (h->currentNdefSize > h->maxNdefSize || end > memoryMapperTotal(&f.mapper)) {
        TRACE(TRC_ERROR, "%s ! NDEF length %d beyond the capacity of %d bytes", kPrefix,
              static_cast<int>(h->currentNdefSize), static_cast<int>(h->maxNdefSize));
        return nfcCauseInvalidData;
    }
    return f.ccValid ? nfcCauseOk : nfcCauseNotNfcForumTag;
}

// Without a template to scan, a blank tag is done: its controls are those of its type.
Step blankLayout(TTagHandler* h, uint16_t* cause) {
    if (!prepareBlank(h)) *cause = evaluateControls(h);
    return STEP_DONE;
}

void startCheck(TTagHandler* h) {
    T2Family& f = fam(h);
    f.probe = PROBE_NONE;
    f.sizeUnproven = false;
    resetMapper(f, kInitialSize);
    f.scan = TlvScan{};
    f.controlCount = 0;
    f.managedSize = 0;
    f.tagHasControl = false;
    f.ndefFound = false;
    f.ndefLogical = 0;
    f.formatTemplate = nullptr;
    h->currentNdefSize = 0;
    h->maxNdefSize = 0;
}

// The capability container, then the type; a blank tag's default CC.
Step checkCc(TStateMachine* m, uint16_t* cause) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    const uint8_t* bytes = nullptr;
    if (cachedAt(f, kCcAddress, &bytes) < kBlock) {
        readBlock(m, kCcAddress);
        return STEP_PENDING;
    }
    std::memcpy(f.cc, bytes, kBlock);
    const uint16_t ccCause = evaluateCc(h, f.cc);
    if (ccCause == nfcCauseVersionMismatch) {
        *cause = ccCause;
        return STEP_DONE;
    }
    memoryMapperReserve(&f.mapper, 0, kDataStart);
    detectType(h);
    f.scan.phase = 1;
    f.scan.position = kDataStart;
    if (ccCause != nfcCauseNotNfcForumTag) return STEP_DONE;
    // A blank tag's layout is a guess: memory beyond what every tag has is shown before a
    // format writes a container that claims it.
    if (claimedSize(f.type) > kStaticDataSize) {
        f.sizeUnproven = !f.proveSize;
        if (f.proveSize) {
            f.scan.phase = 2;
            return STEP_DONE;
        }
    }
    return blankLayout(h, cause);
}

bool wrapsRound(const TTagHandler* h) {
    const T2Family& f = fam(h);
    const uint8_t* b = f.cache.data;
    return f.cache.firstBlock == kSmallTagBlocks - 1 && std::memcmp(b + kBlock, h->uid, 3) == 0 &&
           std::memcmp(b + 2 * kBlock, h->uid + 3, 4) == 0;
}

// The proof of a blank tag's memory; what it does not show is not assumed, and the tag is taken
// for the static layout that every Type 2 tag has.
Step probeStep(TStateMachine* m, uint16_t* cause) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    switch (f.probe) {
    case PROBE_NONE:
        f.probe = PROBE_WRAP;
        readBlock(m, (kSmallTagBlocks - 1) * kBlock);
        return STEP_PENDING;
    case PROBE_WRAP:
        if (!wrapsRound(h)) {
            f.probe = PROBE_END;
            readBlock(m, kDataStart + claimedSize(f.type) - kBlock);
            return STEP_PENDING;
        }
        [[fallthrough]];
    case PROBE_REFUSED:
        TRACE(kInfo, "%s ! Memory of %d bytes not shown, taking the static layout", kPrefix,
              static_cast<int>(claimedSize(f.type)));
        setType(h, T2_TYPE_STATIC, TH_SUBTYPE_UL);
        break;
    default: break;
    }
    f.probe = PROBE_DONE;
    f.scan.phase = 1;
    return blankLayout(h, cause);
}

Step scanTlvs(TStateMachine* m, uint16_t* cause) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    for (;;) {
        const uint32_t p = f.scan.position;
        if (p >= f.mapper.size) {
            TRACE(kInfo, "%s No NDEF TLV found", kPrefix);
            *cause = nfcCauseNotNfcForumTag;
            return STEP_DONE;
        }
        const uint8_t* bytes = nullptr;
        if (!cachedAt(f, p, &bytes)) {
            TRACE(kDetail, "%s Not enough TLV-bytes available", kPrefix);
            readBlock(m, p);
            return STEP_PENDING;
        }
        ++f.scan.position;
        switch (scanByte(h, *bytes, p)) {
        case SCAN_MORE: continue;
        case SCAN_FAILED: *cause = h->cause; return STEP_DONE;
        case SCAN_NDEF: *cause = evaluateControls(h); return STEP_DONE;
        }
    }
}

// Runs the NDEF check on; the result is in cause when it is done.
Step runCheck(TStateMachine* m, uint16_t* cause) {
    T2Family& f = fam(thOf(m));
    if (f.scan.phase == 0) {
        *cause = nfcCauseOk;
        const Step s = checkCc(m, cause);
        if (s == STEP_PENDING || *cause != nfcCauseOk) return s;
    }
    if (f.scan.phase == 2) {
        const Step s = probeStep(m, cause);
        if (s == STEP_PENDING || *cause != nfcCauseOk) return s;
    }
    return scanTlvs(m, cause);
}

// ---- Byte writer -------------------------------------------------------------------------------------

uint8_t headerByte(const T2Family& f, uint32_t index) {
    return f.job == JOB_FINAL ? tlvHeaderByte(index, f.written, f.headerSize) : tlvPendingHeaderByte(index);
}

// The block that holds the header's length byte: it turns an empty message into the whole one,
// so the finished header's other blocks go out before it.
uint32_t switchBlock(const T2Family& f) {
    uint32_t absolute = 0;
    memoryMapperMap(&f.mapper, f.ndefLogical + TLV_SWITCH_BYTE, &absolute, nullptr);
    return blockOf(absolute);
}

bool jobTakes(const T2Family& f, uint32_t absolute) {
    if (f.job != JOB_FINAL) return true;
    return (blockOf(absolute) == switchBlock(f)) == (f.finalPass == 1);
}

uint8_t byteAt(TTagHandler* h, uint32_t logical) {
    T2Family& f = fam(h);
    const uint32_t index = logical - f.ndefLogical;
    if (f.job == JOB_FORMAT) return kEmptyNdef[index];
    if (index < f.headerSize) return headerByte(f, index);
    const uint32_t message = index - f.headerSize;
    if (f.job == JOB_DATA && message < f.chunkStart + h->command.size) {
        const uint8_t byte = h->command.data[message - f.chunkStart];
        f.written = std::max(f.written, message + 1);
        if (message < sizeof f.headerCache) {
            f.headerCache[message] = byte;
            f.headerCount = static_cast<uint8_t>(message + 1);
            TRACE(kDetail, "%s Cached %d bytes of NDEF header, %d bytes cached in total", kPrefix, 1, f.headerCount);
        }
        return byte;
    }
    if (message < f.written) return f.headerCache[message];
    return TLV_TERMINATOR;
}

// Bytes of a block the writer does not set keep their value when they lie outside the NDEF area,
// before the NDEF TLV or in what was written before; the rest of the area carries no meaning.
bool keeps(const T2Family& f, uint32_t absolute) {
    uint32_t logical = 0;
    if (!logicalOf(f, absolute, &logical) || logical < f.ndefLogical) return true;
    return f.job != JOB_FORMAT && logical < f.ndefLogical + f.headerSize + f.written;
}

Step flushBlock(TStateMachine* m) {
    T2Family& f = fam(thOf(m));
    BlockBuffer& b = f.buffer;
    uint8_t current[kBlock] = {};
    bool haveCurrent = cachedBlock(f, b.address, current);
    uint8_t data[kBlock] = {};
    for (uint32_t k = 0; k < kBlock; ++k) {
        if (b.mask & (1u << k)) {
            data[k] = b.data[k];
            continue;
        }
        if (!keeps(f, b.address + k)) continue;
        if (!haveCurrent) {
            f.flush = FLUSH_READING;
            readBlock(m, b.address);
            return STEP_PENDING;
        }
        data[k] = current[k];
    }
    f.flush = FLUSH_WRITING;
    writeBlock(m, b.address, data);
    return STEP_PENDING;
}

// Lays the job's bytes out block by block; a block goes out when the next byte lies in another
// one, and the last one when flushLast is set.
Step runJob(TStateMachine* m, bool flushLast) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    while (f.jobPosition < f.jobEnd) {
        uint32_t absolute = 0;
        if (!mapLogical(f, f.jobPosition, &absolute)) return STEP_FAILED;
        if (f.buffer.active && blockOf(absolute) != f.buffer.address) return flushBlock(m);
        if (!jobTakes(f, absolute)) {
            ++f.jobPosition;
            continue;
        }
        if (!f.buffer.active) f.buffer = BlockBuffer{blockOf(absolute), 0, {}, true};
        const uint32_t offset = absolute - f.buffer.address;
        TRACE(kDetail, "%s Writing address %d to absolute address %d, block %d, offset %d, leftovers %d", kPrefix,
              static_cast<int>(f.jobPosition), static_cast<int>(absolute), static_cast<int>(absolute / kBlock),
              static_cast<int>(offset), static_cast<int>(f.jobEnd - f.jobPosition - 1));
        f.buffer.data[offset] = byteAt(h, f.jobPosition);
        f.buffer.mask = static_cast<uint8_t>(f.buffer.mask | (1u << offset));
        ++f.jobPosition;
    }
    if (flushLast && f.buffer.active) return flushBlock(m);
    return STEP_DONE;
}

// An exchange of the writer came back: a written block leaves the buffer. Once the block of the
// length byte holds the empty header, the tag holds an empty message.
void flushAnswered(TTagHandler* h) {
    T2Family& f = fam(h);
    if (f.flush == FLUSH_WRITING) {
        f.buffer.active = false;
        if ((f.job == JOB_HEADER || f.job == JOB_DATA) && f.buffer.address == switchBlock(f)) {
            f.emptied = true;
            h->currentNdefSize = 0;
        }
    }
    f.flush = FLUSH_NONE;
}

void startJob(T2Family& f, Job job, uint32_t from, uint32_t end) {
    f.job = job;
    f.jobPosition = from;
    f.jobEnd = end;
}

// The end of a write that failed: what the tag holds is what it took. Until it took the empty
// header it holds the old message, in the header form the handler then keeps.
uint32_t writeFailed(TStateMachine* m, uint16_t cause) {
    T2Family& f = fam(thOf(m));
    if (!f.emptied) f.headerSize = f.keptHeaderSize;
    return finish(m, cause);
}

// The state's answer to a step of the writer: wait, fail with the cause, or go on with next.
uint32_t afterStep(TStateMachine* m, Step s, uint32_t (*next)(TStateMachine*)) {
    if (s == STEP_PENDING) return SM_SUBSTATE;
    if (s == STEP_FAILED) return writeFailed(m, nfcCauseInvalidData);
    return next(m);
}

// ---- Idle, NdefTag, LegacyTag, default ----------------------------------------------------------

const char* makerName(uint8_t code) {
    for (const Maker& maker : kMakers)
        if (maker.code == code) return maker.name;
    return "<undefined>";
}

uint32_t t2StateIdle(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    if (event != EV_TH_DEVICE_IND) return SM_NOT_HANDLED;
    if (!thIdentify(h, kUidMin, kUidMax)) return SM_DONE;
    T2Family& f = fam(h);
    resetMapper(f, kInitialSize);
    f.sak = h->deviceTagInfo ? h->deviceTagInfo->a.sak : 0;
    f.selectedSector = 0;
    f.cache = BlockCache{};
    TRACE(kInfo, "%s Tag manufacturer: %s", kPrefix, makerName(h->uid[0]));
    if (h->confirm) h->confirm(h, TH_DEVICE_CONF, nfcCauseOk, 0);
    return thChangeTo(m, &t2StateLegacyTag);
}

uint32_t t2StateNdefTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kRules); }
uint32_t t2StateLegacyTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kLegacyRules); }

uint32_t t2DefaultHandler(TStateMachine* m, uint16_t event) {
    if (event == EV_TH_CMD_FORMAT_ERASE) {
        thSendTransactionIndication(thOf(m), nfcCauseNotImplemented);
        return SM_DONE;
    }
    return thDefaultRule(m, event, kRules);
}

// ---- Check NDEF ------------------------------------------------------------------------------------

// A tag that refuses the read of the block it would need for its layout does not have it.
bool probeRefused(TTagHandler* h) {
    T2Family& f = fam(h);
    if (f.probe != PROBE_END) return false;
    f.probe = PROBE_REFUSED;
    return true;
}

uint32_t checkStep(TStateMachine* m) {
    uint16_t cause = nfcCauseOk;
    if (runCheck(m, &cause) == STEP_PENDING) return SM_SUBSTATE;
    return finish(m, cause);
}

uint32_t t2StateCheckNdef(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        startCheck(h);
        return checkStep(m);
    case EV_SM_RETURNED: return checkStep(m);
    case EV_SM_RETURNED_ERROR:
        thSendTransactionIndication(h, nfcCauseRejected);
        return thChangeTo(m, &t2StateIdle);
    case EV_SM_EXIT: fam(h).ndefChecked = true; return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// ---- Read -----------------------------------------------------------------------------------------

uint32_t readStep(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    ThCommandBlock& c = h->command;
    const uint32_t wanted = c.progress[0];
    while (c.delivered < wanted) {
        const uint32_t logical = f.ndefLogical + f.headerSize + c.offset + c.delivered;
        uint32_t absolute = 0, contiguous = 0;
        if (!mapLogical(f, logical, &absolute, &contiguous)) return finish(m, nfcCauseInvalidData);
        const uint8_t* bytes = nullptr;
        const uint32_t cached = cachedAt(f, absolute, &bytes);
        if (!cached) {
            f.readIssued = true;
            return readBlock(m, absolute);
        }
        const uint32_t n = std::min({cached, contiguous, wanted - c.delivered});
        std::memcpy(c.buffer + c.delivered, bytes, n);
        c.delivered += n;
    }
    const uint16_t cause = c.progress[1] ? nfcCauseTagBufferTooSmall : nfcCauseOk;
    return thReadServed(m, cause, f.readIssued, &t2StateReadCheck, kRules);
}

// The window of the message this read delivers; an offset at or past its end delivers nothing.
void startRead(TTagHandler* h) {
    ThCommandBlock& c = h->command;
    const uint32_t size = h->currentNdefSize;
    const uint32_t offset = std::min(c.offset, size);
    const uint32_t length = std::min(c.size, size - offset);
    c.offset = offset;
    c.delivered = 0;
    c.progress[0] = length;
    c.progress[1] = offset + length < size;
    fam(h).readIssued = false;
    TRACE(kInfo, "%s readSize=%d readOffset=%d size=%d", kPrefix, static_cast<int>(length), static_cast<int>(offset),
          static_cast<int>(size));
}

uint32_t t2StateRead(TStateMachine* m, uint16_t event) {
    switch (event) {
    case EV_SM_ENTRY:
        startRead(thOf(m));
        return readStep(m);
    case EV_SM_RETURNED: return readStep(m);
    case EV_SM_RETURNED_ERROR: return finish(m, operationCause(fam(thOf(m))));
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t2StateReadCheck(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY: return readBlock(m, 0);
    case EV_SM_RETURNED: return thSignOfLife(m, nfcCauseOk, kRules);
    case EV_SM_RETURNED_ERROR: return thSignOfLife(m, fam(h).failCause, kRules);
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// ---- Write ----------------------------------------------------------------------------------------

// A chunk the tag cannot take as a whole is refused before any byte of it is written.
uint16_t refuseChunk(TTagHandler* h) {
    const T2Family& f = fam(h);
    if (const uint16_t cause = thRefusePart(h, f.written, h->command.size, !f.longLength)) return cause;
    if (h->uid[0] == MAKER_KOVIO) {
        TRACE(TRC_ERROR, "%s ! WARNING: NDFE write for KOVIO type 2 currently not supported", kPrefix);
        return nfcCauseNotImplemented;
    }
    return nfcCauseOk;
}

uint32_t t2StateWriteInit(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    if (event != EV_SM_ENTRY) return event == EV_SM_EXIT ? SM_DONE : SM_NOT_HANDLED;
    f.written = 0;
    f.headerCount = 0;
    f.buffer.active = false;
    f.flush = FLUSH_NONE;
    f.emptied = false;
    f.keptHeaderSize = f.headerSize;
    f.longLength = h->command.size > kShortLengthMax;
    h->command.delivered = 0;
    if (const uint16_t cause = refuseChunk(h)) return finish(m, cause);
    f.headerSize = f.longLength ? 4 : 2;
    return thChangeTo(m, &t2StateWriteTlv);
}

uint32_t toWriteData(TStateMachine* m) { return thChangeTo(m, &t2StateWriteData); }

uint32_t t2StateWriteTlv(TStateMachine* m, uint16_t event) {
    T2Family& f = fam(thOf(m));
    switch (event) {
    case EV_SM_ENTRY:
        startJob(f, JOB_HEADER, f.ndefLogical, f.ndefLogical + f.headerSize);
        return afterStep(m, runJob(m, false), &toWriteData);
    case EV_SM_RETURNED: flushAnswered(thOf(m)); return afterStep(m, runJob(m, false), &toWriteData);
    case EV_SM_RETURNED_ERROR: return writeFailed(m, operationCause(f));
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// The end of a chunk: the last one gets its terminator, when the block has room, and goes out;
// any other is confirmed and the next awaited, its last block still in the buffer.
uint32_t chunkLaidOut(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    h->command.delivered = h->command.size;
    if (!h->command.final) {
        thSendTransactionIndication(h, nfcCauseOk);
        return thChangeTo(m, &t2StateWaitForNextWrite);
    }
    if (f.jobEnd == f.ndefLogical + f.headerSize + f.written) {
        uint32_t absolute = 0;
        if (memoryMapperMap(&f.mapper, f.jobEnd, &absolute, nullptr) == MEMORY_MAPPER_OK && f.buffer.active &&
            blockOf(absolute) == f.buffer.address) {
            f.jobEnd += 1;
            f.terminatorAdded = true;
            return afterStep(m, runJob(m, true), &chunkLaidOut);
        }
    }
    if (f.buffer.active) return afterStep(m, flushBlock(m), &chunkLaidOut);
    return thChangeTo(m, &t2StateWriteFinalize);
}

uint32_t startChunk(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    f.chunkStart = f.written;
    f.terminatorAdded = false;
    const uint32_t from = f.ndefLogical + f.headerSize + f.written;
    startJob(f, JOB_DATA, from, from + h->command.size);
    return afterStep(m, runJob(m, false), &chunkLaidOut);
}

uint32_t t2StateWriteData(TStateMachine* m, uint16_t event) {
    T2Family& f = fam(thOf(m));
    switch (event) {
    case EV_SM_ENTRY: return startChunk(m);
    case EV_SM_RETURNED:
        flushAnswered(thOf(m));
        return afterStep(m, runJob(m, f.terminatorAdded), &chunkLaidOut);
    case EV_SM_RETURNED_ERROR: return writeFailed(m, operationCause(f));
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t2StateWaitForNextWrite(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_TH_CMD_WRITE:
        if (const uint16_t cause = refuseChunk(h)) return writeFailed(m, cause);
        return thChangeTo(m, &t2StateWriteData);
    case EV_SM_ENTRY:
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// The header's last block, with the first message bytes and the terminator when they share it.
uint32_t headerBlocksEnd(const T2Family& f) {
    const uint32_t headerEnd = f.ndefLogical + f.headerSize;
    uint32_t last = 0;
    if (!mapLogical(f, headerEnd - 1, &last)) return headerEnd;
    uint32_t end = headerEnd;
    for (uint32_t absolute = 0; end <= headerEnd + f.written; ++end) {
        if (memoryMapperMap(&f.mapper, end, &absolute, nullptr) != MEMORY_MAPPER_OK) break;
        if (blockOf(absolute) != blockOf(last)) break;
    }
    return end;
}

// The finished header in two passes: its other blocks, then the block of its length byte.
uint32_t finalPassDone(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    if (f.finalPass == 0) {
        f.finalPass = 1;
        startJob(f, JOB_FINAL, f.ndefLogical, headerBlocksEnd(f));
        return afterStep(m, runJob(m, true), &finalPassDone);
    }
    h->currentNdefSize = f.written;
    return finish(m, nfcCauseOk);
}

uint32_t t2StateWriteFinalize(TStateMachine* m, uint16_t event) {
    T2Family& f = fam(thOf(m));
    switch (event) {
    case EV_SM_ENTRY:
        f.finalPass = 0;
        startJob(f, JOB_FINAL, f.ndefLogical, headerBlocksEnd(f));
        return afterStep(m, runJob(m, true), &finalPassDone);
    case EV_SM_RETURNED: flushAnswered(thOf(m)); return afterStep(m, runJob(m, true), &finalPassDone);
    case EV_SM_RETURNED_ERROR: return writeFailed(m, operationCause(f));
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// ---- Format -----------------------------------------------------------------------------------------

uint32_t formatted(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    TRACE(kInfo, "%s Finished with formatting", kPrefix);
    f.ndefLogical = 0;
    f.headerSize = 2;
    f.ndefFound = true;
    setMaxNdefSize(h);
    h->currentNdefSize = 0;
    return finish(m, nfcCauseOk);
}

uint32_t formatRun(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    for (;;) {
        TRACE(kDetail, "%s In state %s", kPrefix,
              f.formatStep < std::size(kFormatStepNames) ? kFormatStepNames[f.formatStep] : "");
        switch (f.formatStep) {
        case T2_FORMAT_INIT: {
            const Template& t = f.formatTemplate ? *f.formatTemplate : templateOf(f.type);
            f.formatTemplate = &t;
            f.formatStep = f.type == T2_TYPE_STATIC ? T2_FORMAT_WRITE_NDEF_TLV_INIT : T2_FORMAT_LOCK_TLV_CHECK;
            f.ccWritten = false;
            if (f.ccValid) continue;
            if (t.prepared) TRACE(kInfo, "%s Prepared CC for %s memory map", kPrefix, t.prepared);
            else if (t.type != f.type)
                TRACE(kInfo, "%s ! Unknown tag type %d, using default CC for static memory map", kPrefix,
                      static_cast<int>(f.type));
            std::memcpy(f.cc, t.cc, kBlock);
            f.ccWritten = true;
            return writeBlock(m, kCcAddress, t.cc, true);
        }
        case T2_FORMAT_LOCK_TLV_CHECK:
            f.templateProgress = 0;
            // A template belongs to the CC it comes with: a tag formatted before keeps its own layout.
            f.formatStep = f.formatTemplate->tlvs && !f.tagHasControl && f.ccWritten ? T2_FORMAT_WRITE_LOCK_TLV
                                                                                     : T2_FORMAT_WRITE_NDEF_TLV_INIT;
            continue;
        case T2_FORMAT_WRITE_LOCK_TLV: {
            const Template& t = *f.formatTemplate;
            if (f.templateProgress >= t.tlvLength) return formatted(m);
            uint8_t data[kBlock] = {};
            const uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(kBlock, t.tlvLength - f.templateProgress));
            std::memcpy(data, t.tlvs + f.templateProgress, n);
            const uint32_t address = kDataStart + f.templateProgress;
            f.templateProgress = static_cast<uint16_t>(f.templateProgress + n);
            return writeBlock(m, address, data);
        }
        case T2_FORMAT_WRITE_NDEF_TLV_INIT:
            f.ndefLogical = 0;
            f.headerSize = 2;
            f.written = 0;
            f.buffer.active = false;
            f.flush = FLUSH_NONE;
            startJob(f, JOB_FORMAT, 0, sizeof kEmptyNdef);
            f.formatStep = T2_FORMAT_WRITE_NDEF_TLV;
            continue;
        case T2_FORMAT_WRITE_NDEF_TLV: {
            const Step s = runJob(m, true);
            if (s == STEP_PENDING) return SM_SUBSTATE;
            if (s == STEP_FAILED) return finish(m, nfcCauseInvalidData);
            return formatted(m);
        }
        case T2_FORMAT_FINISHED: return formatted(m);
        default:
            TRACE(TRC_ERROR, "%s Unknown formatting state %d", kPrefix, static_cast<int>(f.formatStep));
            return formatted(m);
        }
    }
}

uint32_t t2StateFormat(TStateMachine* m, uint16_t event) {
    T2Family& f = fam(thOf(m));
    switch (event) {
    case EV_SM_ENTRY:
        if (!f.ndefChecked || f.sizeUnproven) return thChangeTo(m, &t2StateFormatCheckNdef);
        f.formatStep = T2_FORMAT_INIT;
        return formatRun(m);
    case EV_SM_RETURNED:
        f.ccValid = true;   // the first exchange of a format of a blank tag writes its CC
        flushAnswered(thOf(m));
        return formatRun(m);
    case EV_SM_RETURNED_ERROR: return finish(m, f.failCause);
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t formatCheckStep(TStateMachine* m) {
    uint16_t cause = nfcCauseOk;
    if (runCheck(m, &cause) == STEP_PENDING) return SM_SUBSTATE;
    fam(thOf(m)).ndefChecked = true;
    return thChangeTo(m, &t2StateFormat);
}

uint32_t t2StateFormatCheckNdef(TStateMachine* m, uint16_t event) {
    switch (event) {
    case EV_SM_ENTRY:
        startCheck(thOf(m));
        fam(thOf(m)).proveSize = true;
        return formatCheckStep(m);
    case EV_SM_RETURNED: return formatCheckStep(m);
    case EV_SM_RETURNED_ERROR:
        if (probeRefused(thOf(m))) return formatCheckStep(m);
        return finish(m, operationCause(fam(thOf(m))));
    case EV_SM_EXIT: fam(thOf(m)).proveSize = false; return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// ---- Test ----------------------------------------------------------------------------------------------

uint32_t t2StateTest(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        h->pdu[0] = kRead;
        h->pdu[1] = 0;
        if (const uint16_t cause = send(h, 2, TH_PDU_CHECK)) return finish(m, cause);
        return SM_DONE;
    case EV_TH_CHECK_CONF: return finish(m, nfcCauseOk);
    case EV_TH_CHECK_CONF_ERROR: return finish(m, nfcCauseRejected);
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// ---- Make read-only ------------------------------------------------------------------------------------

uint32_t t2StateSetReadonly(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    switch (event) {
    case EV_SM_ENTRY: {
        if ((f.cc[3] & 0x0F) == 0x0F) return finish(m, nfcCauseWriteProtected);
        const uint8_t cc[kBlock] = {f.cc[0], f.cc[1], f.cc[2], static_cast<uint8_t>(f.cc[3] | 0x0F)};
        return writeBlock(m, kCcAddress, cc, true);
    }
    case EV_SM_RETURNED:
        f.cc[3] |= 0x0F;
        return thChangeTo(m, &t2StateSetReadonlyStatic);
    case EV_SM_RETURNED_ERROR: return finish(m, f.failCause);
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t2StateSetReadonlyStatic(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T2Family& f = fam(h);
    switch (event) {
    case EV_SM_ENTRY: {
        const uint32_t r = writeBlock(m, 2 * kBlock, kStaticLock, true);
        h->access &= static_cast<uint16_t>(~TH_ACCESS_WRITE);
        return r;
    }
    case EV_SM_RETURNED:
        if (f.type == T2_TYPE_STATIC) return finish(m, nfcCauseOk);
        return thChangeTo(m, &t2StateSetReadonlyDynamic);
    case EV_SM_RETURNED_ERROR: return finish(m, operationCause(f));
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// The lock bytes of each lock control TLV in turn, block by block; a block they cover only in
// part keeps its other bytes.
uint32_t lockStep(TStateMachine* m) {
    T2Family& f = fam(thOf(m));
    while (f.lockIndex < f.controlCount) {
        const TControlTlv& c = f.controls[f.lockIndex];
        const uint32_t bytes = c.type == TLV_LOCK_CONTROL ? (c.size + 7u) / 8 : 0;
        if (f.lockDone >= bytes) {
            if (bytes) TRACE(kInfo, "%s TLV finished", kPrefix);
            ++f.lockIndex;
            f.lockDone = 0;
            continue;
        }
        const uint32_t address = c.address + f.lockDone;
        const uint32_t offset = address % kBlock;
        const uint32_t n = std::min(bytes - f.lockDone, kBlock - offset);
        TRACE(kInfo, "%s Handling lock TLV %d, address=%d, block=%d, offset=%d, numBytes=%d", kPrefix, f.lockIndex,
              static_cast<int>(address), static_cast<int>(address / kBlock), static_cast<int>(offset), static_cast<int>(n));
        uint8_t data[kBlock] = {};
        if (n < kBlock && !cachedBlock(f, blockOf(address), data)) {
            TRACE(kInfo, "%s Partial lock block, fetching data", kPrefix);
            TRACE(kInfo, "%s Data not in cache, trigger reading it", kPrefix);
            return readBlock(m, address);
        }
        std::memset(data + offset, 0xFF, n);
        f.lockPending = static_cast<uint16_t>(n);
        return writeBlock(m, blockOf(address), data);
    }
    return finish(m, nfcCauseOk);
}

uint32_t t2StateSetReadonlyDynamic(TStateMachine* m, uint16_t event) {
    T2Family& f = fam(thOf(m));
    switch (event) {
    case EV_SM_ENTRY:
        f.lockIndex = 0;
        f.lockDone = 0;
        f.lockPending = 0;
        return lockStep(m);
    case EV_SM_RETURNED:
        if (f.operation == OP_WRITE) f.lockDone = static_cast<uint16_t>(f.lockDone + f.lockPending);
        f.lockPending = 0;
        return lockStep(m);
    case EV_SM_RETURNED_ERROR:
        return finish(m, f.failCause == nfcCauseInternalSoftware ? nfcCauseInternalSoftware : nfcCauseRejected);
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// ---- Magic -------------------------------------------------------------------------------------------------

uint32_t magicStep(TStateMachine* m) {
    const uint32_t block = g_magicCounter / kBlock;
    if (block >= kSectorBlocks) return finish(m, nfcCauseOk);
    g_magicCounter += kBlock;
    return readBlock(m, block * kBlock);
}

uint32_t t2StateMagic(TStateMachine* m, uint16_t event) {
    switch (event) {
    case EV_SM_ENTRY:
    case EV_SM_RETURNED: return magicStep(m);
    case EV_SM_RETURNED_ERROR: return finish(m, nfcCauseOk);
    case EV_SM_EXIT: return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

// ---- Properties ----------------------------------------------------------------------------------------------

uint32_t t2GetProperty(TTagHandler* h, uint32_t id, int* found) { return thNdefProperty(h, id, fam(h).cc[1], found); }

} // namespace

uint32_t t2Init(TTagHandler* h) {
    thInstallSubtypes();
    T2Family* f = new (h->family) T2Family{};
    f->type = T2_TYPE_STATIC;
    f->guard = true;
    h->access = TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
    h->tagSubtype = TH_SUBTYPE_UL;
    h->getProperty = &t2GetProperty;
    h->setProperty = &thNoSetProperty;
    return thStartMachine(h, &t2StateIdle, &t2DefaultHandler, kStates, static_cast<uint16_t>(std::size(kStates)), kPrefix);
}

T2Type t2TypeOf(const TTagHandler* h) { return fam(h).type; }
