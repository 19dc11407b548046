#include "th/th_type1.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "th/memory_mapper.h"
#include "th/th_frame.h"
#include "th/th_tlv.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "th_type1:";
constexpr uint32_t kTrace = 0x20;

// Commands, each followed by UID0-3.
enum : uint8_t {
    RALL = 0x00,
    READ = 0x01,
    RSEG = 0x10,
    RID = 0x78,
    WRITE_E = 0x53,
    WRITE_NE = 0x1A,
    WRITE_E8 = 0x54,
};

constexpr uint32_t kRallAnswer = 122;           // HR0 HR1 and 120 memory bytes
constexpr uint32_t kStaticMemory = 120;
constexpr uint32_t kDynamicMemory = 512;
constexpr uint32_t kSegmentSize = 128;
constexpr uint32_t kBlockSize = 8;
constexpr uint32_t kByteWriteEnd = 104;         // bytes below are written one by one
constexpr uint32_t kLastLockedBlock = 12;       // the static blocks the lock bytes cover for data
constexpr uint32_t kMagicAddress = 8, kSizeAddress = 10, kAccessAddress = 11;
constexpr uint32_t kLockAddress = 112;
constexpr uint32_t kMinNdefSize = 90;
constexpr uint32_t kShortLengthMax = 254;
constexpr uint8_t kMagic = 0xE1, kVersion = 0x10;
constexpr uint32_t kMaxControls = 4;
constexpr uint32_t kMaxCommands = 20;
constexpr uint16_t kCauseErrorAnswer = 0x206;
constexpr uint16_t kPending = 0xFFFF;           // a step that sent a PDU and waits for its answer
constexpr uint8_t kFormatWipe = 0x2;
constexpr uint8_t kDynamicTlvs[] = {0x01, 0x03, 0xF2, 0x30, 0x33, 0x02, 0x03, 0xF0, 0x02, 0x03};

struct T1Command {
    uint8_t op;
    uint8_t address;
    uint8_t value;
};

struct T1State {
    uint8_t uid[4];
    uint8_t cc[4];
    uint8_t lock[2];
    bool isStatic;
    bool ndefFound;
    bool parsed;
    bool longLength;
    bool writeFailed;
    uint8_t cache[kSegmentSize];
    uint32_t cacheLength;
    int32_t cacheSegment;           // -1: nothing cached
    TMemorySegment slots[MEMORY_MAPPER_SEGMENTS];
    TMemoryMapper mapper;
    TControlTlv controls[kMaxControls];
    uint32_t controlCount;
    uint32_t ndefTlv;               // logical address of the NDEF TLV
    uint32_t ndefStart;             // logical address of its value
    T1Command list[kMaxCommands];
    uint32_t listCount;
    uint32_t listNext;
    uint32_t position;              // logical read or write position, absolute wipe position
    uint32_t written;               // of the whole message
    uint32_t inFlight;              // bytes the last write PDU carries
    int32_t imageBlock;             // block whose last written image is kept, -1: none
    uint8_t image[kBlockSize];
    uint8_t sent[kBlockSize];       // what the write in flight puts on the tag
    uint32_t sentAddress;           // and where (a block number for WRITE-E8)
    uint8_t sentOp;
    bool emptied;                   // the tag has taken the empty header of this write
    bool keptLong;                  // the header form on the tag before the write
    uint32_t keptStart;
    bool sentPdu;
    bool fetchAll;                  // the fetch in flight is a read-all
    int32_t fetching;               // segment asked for, -1: none
    int32_t fetched;                // segment the last answer brought and nothing was taken from yet
    uint16_t result;                // reported when the state is left
};
static_assert(sizeof(T1State) <= TH_FAMILY_STATE_SIZE);

T1State& st(TTagHandler* h) { return *std::launder(reinterpret_cast<T1State*>(h->family)); }
T1State& st(TStateMachine* m) { return st(thOf(m)); }

uint32_t t1StateIdle(TStateMachine* m, uint16_t event);
uint32_t t1StateRid(TStateMachine* m, uint16_t event);
uint32_t t1StateCheckNdef(TStateMachine* m, uint16_t event);
uint32_t t1StateNdefTag(TStateMachine* m, uint16_t event);
uint32_t t1StateLegacyTag(TStateMachine* m, uint16_t event);
uint32_t t1StateRead(TStateMachine* m, uint16_t event);
uint32_t t1StateReadCheck(TStateMachine* m, uint16_t event);
uint32_t t1StateWriteInit(TStateMachine* m, uint16_t event);
uint32_t t1StateWriteData(TStateMachine* m, uint16_t event);
uint32_t t1StateWaitForNextWrite(TStateMachine* m, uint16_t event);
uint32_t t1StateWriteFinalize(TStateMachine* m, uint16_t event);
uint32_t t1StateFormat(TStateMachine* m, uint16_t event);
uint32_t t1StateFormatWipe(TStateMachine* m, uint16_t event);
uint32_t t1StateTest(TStateMachine* m, uint16_t event);
uint32_t t1StateSetReadonly(TStateMachine* m, uint16_t event);
uint32_t t1StateMagic(TStateMachine* m, uint16_t event);
uint32_t t1DefaultHandler(TStateMachine* m, uint16_t event);
void t1ForgetContent(TTagHandler* h);

const SmStateEntry kStateTable[] = {
    {&t1StateIdle, "t1StateIdle"},
    {&t1StateRid, "t1StateRid"},
    {&t1StateCheckNdef, "t1StateCheckNdef"},
    {&t1StateNdefTag, "t1StateNdefTag"},
    {&t1StateLegacyTag, "t1StateLegacyTag"},
    {&t1StateRead, "t1StateRead"},
    {&t1StateReadCheck, "t1StateReadCheck"},
    {&t1StateWriteInit, "t1StateWriteInit"},
    {&t1StateWriteData, "t1StateWriteData"},
    {&t1StateWaitForNextWrite, "t1StateWaitForNextWrite"},
    {&t1StateWriteFinalize, "t1StateWriteFinalize"},
    {&t1StateFormat, "t1StateFormat"},
    {&t1StateFormatWipe, "t1StateFormatWipe"},
    {&t1StateTest, "t1StateTest"},
    {&t1StateSetReadonly, "t1StateSetReadonly"},
    {&t1StateMagic, "t1StateMagic"},
    {&t1DefaultHandler, "t1DefaultHandler"},
};
constexpr uint16_t kStateCount = sizeof kStateTable / sizeof kStateTable[0];

constexpr ThFamilyStates kNdefStates{&t1StateIdle,      &t1StateNdefTag,    &t1StateLegacyTag, &t1StateCheckNdef,
                                     &t1StateRead,      &t1StateWriteInit,  &t1StateFormat,    &t1StateFormatWipe,
                                     &t1StateTest,      &t1StateSetReadonly, &t1StateMagic,     &t1ForgetContent};
constexpr ThFamilyStates kLegacyStates{&t1StateIdle,     &t1StateNdefTag, &t1StateLegacyTag, &t1StateCheckNdef,
                                       nullptr,          nullptr,         &t1StateFormat,    &t1StateFormatWipe,
                                       &t1StateTest,     nullptr,         &t1StateMagic,     &t1ForgetContent};

uint32_t finish(TStateMachine* m, uint16_t cause) { return thFinishCommand(m, cause, kNdefStates); }

// ---- PDUs -----------------------------------------------------------------------------------

uint16_t send(TTagHandler* h, uint8_t op, uint8_t address, const uint8_t* data, uint32_t dataSize, uint8_t flags = 0) {
    T1State& s = st(h);
    h->pdu[0] = op;
    h->pdu[1] = address;
    std::memcpy(h->pdu + 2, data, dataSize);
    std::memcpy(h->pdu + 2 + dataSize, s.uid, sizeof s.uid);
    return thSendPdu(h, h->pdu, static_cast<uint16_t>(2 + dataSize + sizeof s.uid), flags, 0);
}

uint16_t sendByte(TTagHandler* h, uint8_t op, uint32_t address, uint8_t value) {
    return send(h, op, static_cast<uint8_t>(address), &value, 1);
}

uint16_t sendRid(TTagHandler* h, uint8_t flags = 0) {
    TRACE(kTrace, "%s read ID", kPrefix);
    const uint8_t zero = 0;
    return send(h, RID, 0, &zero, 1, flags);
}

uint16_t sendReadAll(TTagHandler* h) {
    TRACE(kTrace, "%s read_all", kPrefix);
    st(h).fetchAll = true;
    return sendByte(h, RALL, 0, 0);
}

// The command that brings the byte at an absolute address: the read-all for the static memory
// it returns (bytes 0-119), a read-segment for any other byte of a dynamic memory, segment 0's
// last block included.
uint16_t sendFetch(TTagHandler* h, uint32_t absolute) {
    T1State& s = st(h);
    const uint32_t segment = absolute / kSegmentSize;
    s.fetching = static_cast<int32_t>(segment);
    if (s.isStatic || absolute < kStaticMemory) return sendReadAll(h);
    TRACE(kTrace, "%s readSegment, seg = %d", kPrefix, static_cast<int>(segment));
    s.fetchAll = false;
    const uint8_t zeros[8] = {};
    return send(h, RSEG, static_cast<uint8_t>(segment * 16), zeros, sizeof zeros);
}

// ---- Command lists ----------------------------------------------------------------------------

void listClear(T1State& s) { s.listCount = s.listNext = 0; }

void listAdd(T1State& s, uint8_t op, uint32_t address, uint8_t value) {
    if (s.listCount >= kMaxCommands) {
        TRACE(TRC_ERROR, "%s ! Command list full", kPrefix);
        return;
    }
    s.list[s.listCount++] = T1Command{op, static_cast<uint8_t>(address), value};
}

// A list step or a write sent: kListDone when nothing was left to send.
constexpr uint16_t kListDone = 1;

// ---- Memory map -------------------------------------------------------------------------------

bool absoluteOf(const T1State& s, uint32_t logical, uint32_t* absolute, uint32_t* contiguous = nullptr) {
    return memoryMapperMap(&s.mapper, logical, absolute, contiguous) == MEMORY_MAPPER_OK;
}

bool logicalOf(const T1State& s, uint32_t absolute, uint32_t* logical) {
    for (uint16_t i = 0; i < s.mapper.count; ++i) {
        const TMemorySegment& seg = s.mapper.segments[i];
        if (absolute >= seg.absolute && absolute - seg.absolute < seg.length) {
            *logical = seg.logical + (absolute - seg.absolute);
            return true;
        }
    }
    return false;
}

void mapperReset(T1State& s, uint32_t size) {
    std::fill(std::begin(s.slots), std::end(s.slots), TMemorySegment{});
    memoryMapperInit(&s.mapper, s.slots, MEMORY_MAPPER_SEGMENTS);
    memoryMapperResize(&s.mapper, size);
    memoryMapperReserve(&s.mapper, 0, 12);
    memoryMapperReserve(&s.mapper, kByteWriteEnd, 16);
}

void updateMaxNdefSize(TTagHandler* h) {
    const uint32_t total = memoryMapperTotal(&st(h).mapper);
    const uint32_t header = total < kShortLengthMax ? 2 : 4;
    h->maxNdefSize = total > header ? total - header : 0;
    h->physicalSize = h->maxNdefSize;
    TRACE(kTrace, "%s maxNdefSize = %d", kPrefix, static_cast<int>(h->maxNdefSize));
}

// ---- Capability container and TLV area --------------------------------------------------------

uint16_t parseControl(TTagHandler* h, uint32_t p, uint32_t* lockSum) {
    T1State& s = st(h);
    TRACE(kTrace, "%s Found control TLV", kPrefix);
    // Four slots: a fifth control TLV has nowhere to go.
    if (s.controlCount >= kMaxControls) {
        TRACE(TRC_ERROR, "%s ! Too many control TLVs", kPrefix);
        return nfcCauseInternalSoftware;
    }
    TControlTlv& c = s.controls[s.controlCount];
    const uint32_t r = tlvDecodeControl(s.cache + p, s.cacheLength - p, *lockSum, &c);
    if (r != TLV_DECODED) {
        TRACE(TRC_ERROR, "%s ! Error parsing control TLV: %#x", kPrefix, r);
        return nfcCauseInternalSoftware;
    }
    const uint32_t controlled = c.type == TLV_LOCK_CONTROL ? (c.size + 7u) / 8u : c.size;
    for (const auto& [at, length] : {std::pair{p, 5u}, std::pair{c.address, controlled}}) {
        const uint32_t reserved = memoryMapperReserve(&s.mapper, at, length);
        if (reserved == MEMORY_MAPPER_NO_SEGMENT || reserved == MEMORY_MAPPER_BAD_RANGE) {
            TRACE(TRC_ERROR, "%s ! Cannot reserve %d bytes at %d", kPrefix, static_cast<int>(length),
                  static_cast<int>(at));
            return nfcCauseInternalSoftware;
        }
    }
    *lockSum += c.lockRange;
    ++s.controlCount;
    TRACE(kTrace, "%s Adjusted total size to %d", kPrefix, static_cast<int>(memoryMapperTotal(&s.mapper)));
    return nfcCauseOk;
}

uint16_t parseNdefTlv(TTagHandler* h, uint32_t p) {
    T1State& s = st(h);
    memoryMapperDump(&s.mapper);
    updateMaxNdefSize(h);
    uint32_t tlvLogical = 0, absolute = 0;
    if (!logicalOf(s, p, &tlvLogical)) {
        TRACE(TRC_ERROR, "%s ! NDEF TLV in a reserved area", kPrefix);
        return nfcCauseInternalSoftware;
    }
    const uint16_t length = tlvGetLength(s.cache + p, s.cacheLength - p);
    if (length == TLV_INVALID_LENGTH) return nfcCauseInternalSoftware;
    s.longLength = s.cache[p + 1] == TLV_LONG_LENGTH;
    s.ndefTlv = tlvLogical;
    s.ndefStart = tlvLogical + (s.longLength ? 4 : 2);
    absoluteOf(s, s.ndefStart, &absolute);
    TRACE(kTrace, "%s NDEF at cache index = %d, absolute NDEF address = %d", kPrefix, static_cast<int>(p),
          static_cast<int>(absolute));
    // A length the mapped area cannot hold is no message this tag carries.
    if (length > h->maxNdefSize || uint64_t{s.ndefStart} + length > memoryMapperTotal(&s.mapper)) {
        TRACE(TRC_ERROR, "%s ! NDEF length %d beyond the capacity", kPrefix, length);
        return nfcCauseInternalSoftware;
    }
    h->currentNdefSize = length;
    s.ndefFound = true;
    return nfcCauseOk;
}

uint16_t walkTlvs(TTagHandler* h) {
    T1State& s = st(h);
    uint32_t lockSum = 0;
    uint32_t p = 12;
    while (p < s.cacheLength) {
        const uint8_t type = s.cache[p];
        if (type == TLV_LOCK_CONTROL || type == TLV_MEMORY_CONTROL) {
            if (const uint16_t cause = parseControl(h, p, &lockSum)) return cause;
            p += 5;
        } else if (type == TLV_NDEF) {
            if (const uint16_t cause = parseNdefTlv(h, p)) return cause;
            break;
        } else if (type == TLV_TERMINATOR) {
            TRACE(kTrace, "%s Found terminator TLV", kPrefix);
            break;
        } else if (type == TLV_NULL) {
            ++p;
        } else {
            TRACE(kTrace, "%s Unknown TLV %#x", kPrefix, type);
            const uint16_t length = tlvGetLength(s.cache + p, s.cacheLength - p);
            if (length == TLV_INVALID_LENGTH) return nfcCauseNotNfcForumTag;
            p += length + (s.cache[p + 1] == TLV_LONG_LENGTH ? 4u : 2u);
        }
    }
    s.parsed = true;
    return nfcCauseOk;
}

void setAccess(TTagHandler* h, uint8_t cc3) {
    if ((cc3 >> 4) == 0) h->access |= TH_ACCESS_READ;
    if ((cc3 & 0x0F) != 0) h->access &= static_cast<uint16_t>(~(TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE));
    else h->access |= TH_ACCESS_WRITE;
}

uint16_t parseContainer(TTagHandler* h) {
    T1State& s = st(h);
    TRACE(kTrace, "%s Parsing capability container", kPrefix);
    if (s.cc[0] != kMagic) {
        TRACE(kTrace, "%s CC magic not NFC", kPrefix);
        return nfcCauseNotNfcForumTag;
    }
    s.controlCount = 0;
    s.ndefFound = false;
    s.longLength = false;
    s.ndefTlv = 0;
    s.ndefStart = 2;
    h->currentNdefSize = 0;
    mapperReset(s, s.cc[2] * 8u + 8u);
    updateMaxNdefSize(h);
    if (h->maxNdefSize < kMinNdefSize) {
        TRACE(TRC_ERROR, "%s ! CC wrong data size", kPrefix);
        return nfcCauseInvalidData;
    }
    setAccess(h, s.cc[3]);
    if ((s.cc[1] & 0xF0) != kVersion) {
        TRACE(TRC_ERROR, "%s ! Incompatible document version = %d.%d instead of %d.%d", kPrefix, s.cc[1] >> 4,
              s.cc[1] & 0x0F, kVersion >> 4, kVersion & 0x0F);
        return nfcCauseVersionMismatch;
    }
    return walkTlvs(h);
}

// A read-all answer: header ROM, the static memory into the cache, then the container once.
uint16_t parseReadAll(TTagHandler* h) {
    T1State& s = st(h);
    CByteReader r(h->rspData, h->rspLength);
    uint8_t hr0 = 0, hr1 = 0;
    const uint8_t* memory = nullptr;
    if (h->rspLength < kRallAnswer || !r.u8(hr0) || !r.u8(hr1) || !r.take(kStaticMemory, memory)) {
        TRACE(TRC_ERROR, "%s ! Not enough data", kPrefix);
        return nfcCauseInvalidData;
    }
    if ((hr0 & 0xF0) != 0x10) {
        TRACE(TRC_ERROR, "%s ! Not a forum tag", kPrefix);
        return nfcCauseNotNfcForumTag;
    }
    s.isStatic = (hr0 & 0x0F) == 1;
    TRACE(kTrace, s.isStatic ? "%s Static memory map" : "%s Dynamic memory map", kPrefix);
    h->tagSubtype = s.isStatic ? 0x250001 : 0x2E0002;
    std::memcpy(s.cache, memory, kStaticMemory);
    s.cacheLength = kStaticMemory;
    s.cacheSegment = 0;
    std::memcpy(s.cc, s.cache + kMagicAddress, sizeof s.cc);
    std::memcpy(s.lock, s.cache + kLockAddress, sizeof s.lock);
    if (std::memcmp(s.cache, s.uid, sizeof s.uid) != 0) {
        TRACE(TRC_ERROR, "%s ! UID from indication does not match RID cmd", kPrefix);
        return nfcCauseInvalidData;
    }
    if (s.parsed) return nfcCauseOk;
    return parseContainer(h);
}

// A read-segment answer: the segment byte, then 128 bytes.
uint16_t parseSegment(TTagHandler* h, uint32_t segment) {
    T1State& s = st(h);
    const uint32_t expected = kSegmentSize + 1;
    if (h->rspLength != expected)
        TRACE(TRC_ERROR, "%s ! WARNING: Invalid data length (%d instead of %d)", kPrefix, static_cast<int>(h->rspLength),
              static_cast<int>(expected));
    CByteReader r(h->rspData, h->rspLength);
    if (h->rspLength < kSegmentSize) return nfcCauseInvalidData;
    uint8_t id = 0;
    if (h->rspLength == kSegmentSize) TRACE(TRC_ERROR, "%s ! Segment ID not included in data", kPrefix);
    else r.u8(id);
    if (h->rspLength > kSegmentSize && id != static_cast<uint8_t>(segment * 16)) {
        TRACE(TRC_ERROR, "%s ! Answer of segment %d instead of %d", kPrefix, id >> 4, static_cast<int>(segment));
        return nfcCauseInvalidData;
    }
    if (h->rspLength > expected) TRACE(TRC_ERROR, "%s ! More data than expected, ignoring trailing bytes", kPrefix);
    const uint8_t* data = nullptr;
    if (!r.take(kSegmentSize, data)) return nfcCauseInvalidData;
    std::memcpy(s.cache, data, kSegmentSize);
    s.cacheLength = kSegmentSize;
    s.cacheSegment = static_cast<int32_t>(segment);
    return nfcCauseOk;
}

// ---- Idle, identification, check ------------------------------------------------------------

uint32_t identified(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    h->confirm(h, TH_DEVICE_CONF, nfcCauseOk, 0);
    return thChangeTo(m, &t1StateLegacyTag);
}

uint32_t t1StateIdle(TStateMachine* m, uint16_t event) {
    if (event != EV_TH_DEVICE_IND) return SM_NOT_HANDLED;
    TTagHandler* h = thOf(m);
    if (!h->deviceTagInfo || h->deviceTagInfo->uidLength <= 3) return thChangeTo(m, &t1StateRid);
    if (!thIdentify(h, 4, 4)) return SM_DONE;
    std::memcpy(st(h).uid, h->uid, sizeof st(h).uid);
    return identified(m);
}

uint32_t t1StateRid(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        if (sendRid(h)) {
            thSendTransactionIndication(h, nfcCauseNotNfcForumTag);
            return thChangeTo(m, &t1StateIdle);
        }
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: {
        CByteReader r(h->rspData, h->rspLength);
        const uint8_t* uid = nullptr;
        if (!r.skip(2) || !r.take(4, uid)) {
            TRACE(TRC_ERROR, "%s ! Not enough data", kPrefix);
            thSendTransactionIndication(h, nfcCauseNotNfcForumTag);
            return thChangeTo(m, &t1StateIdle);
        }
        std::memcpy(st(h).uid, uid, 4);
        std::memcpy(h->uid, uid, 4);
        h->uidLength = 4;
        return identified(m);
    }
    case EV_TH_TRANSACTION_ERROR_IND:
        thSendTransactionIndication(h, nfcCauseNotNfcForumTag);
        return thChangeTo(m, &t1StateIdle);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t1StateCheckNdef(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        st(h).parsed = false;
        if (sendReadAll(h)) return finish(m, nfcCauseNotNfcForumTag);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: {
        return finish(m, parseReadAll(h));
    }
    case EV_TH_TRANSACTION_ERROR_IND:
        thSendTransactionIndication(h, kCauseErrorAnswer);
        return thChangeTo(m, &t1StateIdle);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t1StateNdefTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kNdefStates); }
uint32_t t1StateLegacyTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kLegacyStates); }

// ---- Read ---------------------------------------------------------------------------------------

// Serves the request from the cache as far as it goes: the read's cause, or kPending when a
// segment had to be asked for.
uint16_t readStep(TTagHandler* h) {
    T1State& s = st(h);
    ThCommandBlock& c = h->command;
    for (;;) {
        const uint32_t leftInMessage = h->currentNdefSize - c.offset - c.delivered;
        if (leftInMessage == 0) return nfcCauseOk;
        if (c.delivered == c.size) return nfcCauseTagBufferTooSmall;
        uint32_t absolute = 0, contiguous = 0;
        if (!absoluteOf(s, s.position, &absolute, &contiguous)) return nfcCauseInternalSoftware;
        const uint32_t segment = absolute / kSegmentSize, index = absolute % kSegmentSize;
        if (s.isStatic && absolute >= kSegmentSize) {
            TRACE(TRC_ERROR, "%s ! Wrong segment ID %d for static memory model", kPrefix, static_cast<int>(segment));
            return nfcCauseInternalSoftware;
        }
        if (s.cacheSegment != static_cast<int32_t>(segment) || index >= s.cacheLength) {
            // What the tag just sent must hold the byte: asking again would bring the same.
            if (s.fetched == static_cast<int32_t>(segment)) {
                TRACE(TRC_ERROR, "%s ! Answer for segment %d does not hold address %d", kPrefix, static_cast<int>(segment),
                      static_cast<int>(absolute));
                return nfcCauseInvalidData;
            }
            TRACE(kTrace, "%s Need to read segment %d", kPrefix, static_cast<int>(segment));
            s.sentPdu = true;
            const uint16_t sent = sendFetch(h, absolute);
            return sent ? sent : kPending;
        }
        s.fetched = -1;
        const uint32_t n = std::min({contiguous, leftInMessage, s.cacheLength - index, c.size - c.delivered});
        TRACE(kTrace, "%s Getting %d bytes from position %d in cache for NDEF address %d, absAddress %d", kPrefix,
              static_cast<int>(n), static_cast<int>(index), static_cast<int>(s.position), static_cast<int>(absolute));
        std::memcpy(c.buffer + c.delivered, s.cache + index, n);
        c.delivered += n;
        s.position += n;
    }
}

uint32_t readGoOn(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    const uint16_t cause = readStep(h);
    if (cause == kPending) return SM_DONE;
    return thReadServed(m, cause, st(h).sentPdu, &t1StateReadCheck, kNdefStates);
}

uint32_t t1StateRead(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T1State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        h->command.delivered = 0;
        s.sentPdu = false;
        s.fetched = -1;
        // An offset at or past the message end has nothing to deliver.
        if (h->command.offset >= h->currentNdefSize) return finish(m, nfcCauseOk);
        s.position = s.ndefStart + h->command.offset;
        return readGoOn(m);
    case EV_TH_TRANSACTION_IND: {
        const uint16_t cause = s.fetchAll ? parseReadAll(h) : parseSegment(h, static_cast<uint32_t>(s.fetching));
        if (cause) return finish(m, cause);
        s.fetched = s.fetching;
        return readGoOn(m);
    }
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t1StateReadCheck(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kTrace, "%s read, addr = %d", kPrefix, static_cast<int>(kSizeAddress));
        if (const uint16_t cause = sendByte(h, READ, kSizeAddress, 0)) return finish(m, cause);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: {
        const uint32_t expected = (h->readerType & 0x400) ? 2 : 1;
        if (h->rspLength != expected) {
            TRACE(TRC_ERROR, "%s ! ERROR: Wrong number of received bytes: %d instead of %d", kPrefix,
                  static_cast<int>(h->rspLength), static_cast<int>(expected));
            return thSignOfLife(m, nfcCauseInvalidData, kNdefStates);
        }
        return thSignOfLife(m, nfcCauseOk, kNdefStates);
    }
    default: return SM_NOT_HANDLED;
    }
}

// ---- Write --------------------------------------------------------------------------------------

// A write lays the message out behind the NDEF TLV where the check found it, in this order: the
// empty header (the length byte set to 0), the message, the terminator, the rest of the header,
// and last the length byte that turns the empty message into the whole one. A tag left at any
// moment so holds the old message, an empty one or the new one.

bool blockLocked(const T1State& s, uint32_t block) {
    if (block < 8) return s.lock[0] & (1u << block);
    return s.lock[1] & (1u << (block - 8));
}

uint32_t headerSize(const T1State& s) { return s.longLength ? 4 : 2; }

// A part of size bytes behind what the write took, written from `from` (logical): the refusal's
// cause, or 0.
uint16_t checkPart(TTagHandler* h, uint32_t from, uint32_t size) {
    const T1State& s = st(h);
    if (const uint16_t cause = thRefusePart(h, s.written, size, !s.longLength)) return cause;
    const uint64_t end = uint64_t{s.ndefStart} + s.written + size;
    if (end > memoryMapperTotal(&s.mapper)) {
        TRACE(TRC_ERROR, "%s ! buffer overflow, trying %d byte, maxNdefSize=%d byte", kPrefix,
              static_cast<int>(end - s.ndefStart), static_cast<int>(memoryMapperTotal(&s.mapper) - s.ndefStart));
        return nfcCauseInputTooBig;
    }
    uint32_t first = 0, last = 0, header = 0;
    // The header is written byte by byte: it must lie where single bytes are addressed.
    if (!absoluteOf(s, s.ndefTlv + headerSize(s) - 1, &header) || header >= kByteWriteEnd) return nfcCauseInternalSoftware;
    if (!absoluteOf(s, from, &first) || (end > 0 && !absoluteOf(s, static_cast<uint32_t>(end - 1), &last)))
        return nfcCauseInternalSoftware;
    for (uint32_t b = first / kBlockSize; b <= std::min(last / kBlockSize, kLastLockedBlock); ++b)
        if (blockLocked(s, b)) {
            TRACE(TRC_ERROR, "%s write protected", kPrefix);
            return nfcCauseWriteProtected;
        }
    return nfcCauseOk;
}

// The bytes a block holds as far as this handler knows them: its last written image, else the
// cached segment, else nothing.
void blockImage(const T1State& s, uint32_t block, uint8_t* out) {
    const uint32_t absolute = block * kBlockSize;
    if (s.imageBlock == static_cast<int32_t>(block)) std::memcpy(out, s.image, kBlockSize);
    else if (s.cacheSegment == static_cast<int32_t>(absolute / kSegmentSize) &&
             absolute % kSegmentSize + kBlockSize <= s.cacheLength)
        std::memcpy(out, s.cache + absolute % kSegmentSize, kBlockSize);
    else std::memset(out, 0, kBlockSize);
}

void cacheWritten(T1State& s, uint32_t absolute, const uint8_t* data, uint32_t n) {
    if (s.cacheSegment != static_cast<int32_t>(absolute / kSegmentSize)) return;
    const uint32_t index = absolute % kSegmentSize;
    if (index + n <= s.cacheLength) std::memcpy(s.cache + index, data, n);
}

// Sends one write, a byte (WRITE-E, WRITE-NE) or a block (WRITE-E8), and keeps it for the echo.
uint16_t sendWrite(TTagHandler* h, uint8_t op, uint32_t address, const uint8_t* data) {
    T1State& s = st(h);
    const uint32_t n = op == WRITE_E8 ? kBlockSize : 1;
    s.sentOp = op;
    s.sentAddress = address;
    std::memcpy(s.sent, data, n);
    if (op == WRITE_E8) TRACE(kTrace, "%s writeE8, block = %d", kPrefix, static_cast<int>(address));
    else TRACE(kTrace, op == WRITE_E ? "%s writeE, addr = %d" : "%s writeNE, addr = %d", kPrefix, static_cast<int>(address));
    return send(h, op, static_cast<uint8_t>(address), data, n);
}

// The tag echoes what a write left, behind the address (which a controller may leave out): a
// write it did not echo is not a written byte. What it echoed is what the cache then knows.
bool echoed(TTagHandler* h) {
    T1State& s = st(h);
    const uint32_t n = s.sentOp == WRITE_E8 ? kBlockSize : 1;
    if (!h->rspData || (h->rspLength != n && h->rspLength != n + 1)) return false;
    if (h->rspLength == n + 1 && h->rspData[0] != static_cast<uint8_t>(s.sentAddress)) return false;
    const uint8_t* data = h->rspData + (h->rspLength - n);
    const bool same = s.sentOp == WRITE_NE ? (data[0] & s.sent[0]) == s.sent[0] : std::memcmp(data, s.sent, n) == 0;
    if (!same) {
        TRACE(TRC_ERROR, "%s ! Write of address %d not echoed", kPrefix, static_cast<int>(s.sentAddress));
        return false;
    }
    if (s.sentOp != WRITE_E8) {
        cacheWritten(s, s.sentAddress, data, 1);
        return true;
    }
    std::memcpy(s.image, data, kBlockSize);
    s.imageBlock = static_cast<int32_t>(s.sentAddress);
    cacheWritten(s, s.sentAddress * kBlockSize, data, kBlockSize);
    return true;
}

// Sends the next entry: 0 sent, kListDone when the list is done, or the send failure's cause.
uint16_t listSendNext(TTagHandler* h) {
    T1State& s = st(h);
    if (s.listNext >= s.listCount) return kListDone;
    const T1Command& c = s.list[s.listNext++];
    return sendWrite(h, c.op == WRITE_E ? WRITE_E : WRITE_NE, c.address, &c.value);
}

// Sends the next piece of the part: 0 sent, kListDone when the part is written, or a failure.
uint16_t writeStep(TTagHandler* h) {
    T1State& s = st(h);
    ThCommandBlock& c = h->command;
    if (c.delivered >= c.size) return kListDone;
    uint32_t absolute = 0, contiguous = 0;
    if (!absoluteOf(s, s.position, &absolute, &contiguous)) return nfcCauseInternalSoftware;
    const uint32_t left = c.size - c.delivered;
    TRACE(kTrace, "%s t1->address=%d, absAddress=%d, maxBytesWritable=%d", kPrefix, static_cast<int>(s.position),
          static_cast<int>(absolute), static_cast<int>(contiguous));
    if (absolute < kByteWriteEnd) {
        s.inFlight = 1;
        return sendWrite(h, WRITE_E, absolute, c.data + c.delivered);
    }
    const uint32_t block = absolute / kBlockSize, offset = absolute % kBlockSize;
    s.inFlight = std::min({kBlockSize - offset, left, contiguous});
    TRACE(kTrace, "%s Writing %d bytes to block %d (absAddress %d), blockOffset=%d", kPrefix,
          static_cast<int>(s.inFlight), static_cast<int>(block), static_cast<int>(absolute), static_cast<int>(offset));
    // Merged into what the block already holds, so a byte written by an earlier part survives.
    uint8_t image[kBlockSize];
    blockImage(s, block, image);
    std::memcpy(image + offset, c.data + c.delivered, s.inFlight);
    return sendWrite(h, WRITE_E8, block, image);
}

uint32_t toFinalize(TStateMachine* m, uint16_t cause) {
    T1State& s = st(m);
    s.writeFailed = true;
    s.result = cause;
    return thChangeTo(m, &t1StateWriteFinalize);
}

uint32_t writeGoOn(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    const uint16_t sent = writeStep(h);
    if (sent == nfcCauseOk) return SM_DONE;
    if (sent != kListDone) return toFinalize(m, nfcCauseNoMoreWriting);
    return thChangeTo(m, h->command.final ? &t1StateWriteFinalize : &t1StateWaitForNextWrite);
}

uint32_t t1StateWriteInit(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T1State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: {
        const T1State before = s;
        s.written = 0;
        s.writeFailed = false;
        s.emptied = false;
        s.result = nfcCauseOk;
        s.imageBlock = -1;
        s.keptLong = s.longLength;
        s.keptStart = s.ndefStart;
        s.longLength = s.longLength || h->command.size > kShortLengthMax;
        s.ndefStart = s.ndefTlv + headerSize(s);
        h->command.delivered = 0;
        // A refused message leaves the tag and what is known of it as they were.
        if (const uint16_t cause = checkPart(h, s.ndefTlv, h->command.size)) {
            s = before;
            s.mapper.segments = s.slots;
            return finish(m, cause);
        }
        s.position = s.ndefStart;
        uint32_t lengthByte = 0;
        absoluteOf(s, s.ndefTlv + TLV_SWITCH_BYTE, &lengthByte);
        const uint8_t empty = tlvPendingHeaderByte(TLV_SWITCH_BYTE);
        if (sendWrite(h, WRITE_E, lengthByte, &empty)) return toFinalize(m, nfcCauseNoMoreWriting);
        return SM_DONE;
    }
    case EV_TH_TRANSACTION_IND:
        if (!echoed(h)) return toFinalize(m, nfcCauseNoMoreWriting);
        s.emptied = true;
        h->currentNdefSize = 0;
        return thChangeTo(m, &t1StateWriteData);
    case EV_TH_TRANSACTION_ERROR_IND: return toFinalize(m, nfcCauseNoMoreWriting);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t1StateWriteData(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T1State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: return writeGoOn(m);
    case EV_TH_TRANSACTION_IND:
        if (!echoed(h)) return toFinalize(m, nfcCauseNoMoreWriting);
        h->command.delivered += s.inFlight;
        s.position += s.inFlight;
        s.written += s.inFlight;
        return writeGoOn(m);
    case EV_TH_TRANSACTION_ERROR_IND: return toFinalize(m, nfcCauseNoMoreWriting);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t1StateWaitForNextWrite(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T1State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: thSendTransactionIndication(h, nfcCauseOk); return SM_DONE;
    case EV_TH_CMD_WRITE:
        // The part is checked with everything written before it.
        if (const uint16_t cause = checkPart(h, s.position, h->command.size)) return toFinalize(m, cause);
        h->command.delivered = 0;
        return thChangeTo(m, &t1StateWriteData);
    default: return SM_NOT_HANDLED;
    }
}

// The terminator, then the header from its last byte back to the length byte.
void finalizeList(TTagHandler* h) {
    T1State& s = st(h);
    listClear(s);
    uint32_t absolute = 0;
    if (absoluteOf(s, s.ndefStart + s.written, &absolute) && absolute < kStaticMemory)
        listAdd(s, WRITE_E, absolute, TLV_TERMINATOR);
    for (uint32_t k = headerSize(s) - 1; k >= TLV_SWITCH_BYTE; --k) {
        absoluteOf(s, s.ndefTlv + k, &absolute);
        listAdd(s, WRITE_E, absolute, tlvHeaderByte(k, s.written, headerSize(s)));
    }
}

uint32_t t1StateWriteFinalize(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T1State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        // A write cut short leaves what the tag took: the empty header, or the old message when
        // not even that went through.
        if (s.writeFailed) {
            h->command.delivered = 0;
            if (!s.emptied) {
                s.longLength = s.keptLong;
                s.ndefStart = s.keptStart;
            }
            return finish(m, s.result);
        }
        finalizeList(h);
        break;
    case EV_TH_TRANSACTION_IND:
        if (!echoed(h)) return finish(m, nfcCauseNoMoreWriting);
        break;
    default: return SM_NOT_HANDLED;
    }
    const uint16_t sent = listSendNext(h);
    if (sent == nfcCauseOk) return SM_DONE;
    if (sent != kListDone) return finish(m, nfcCauseNoMoreWriting);
    h->currentNdefSize = s.written;
    return finish(m, nfcCauseOk);
}

// ---- Format, wipe, read-only, test, magic -----------------------------------------------------

// Sends the list entry by entry: SM_DONE while it runs, else the list's end handled by done.
template <typename Done>
uint32_t runList(TStateMachine* m, uint16_t event, Done done) {
    TTagHandler* h = thOf(m);
    if (event != EV_SM_ENTRY && event != EV_TH_TRANSACTION_IND) return SM_NOT_HANDLED;
    if (event == EV_TH_TRANSACTION_IND && !echoed(h)) return finish(m, nfcCauseNoMoreWriting);
    const uint16_t sent = listSendNext(h);
    if (sent == nfcCauseOk) return SM_DONE;
    if (sent != kListDone) return finish(m, sent);
    return done();
}

void formatList(TTagHandler* h) {
    T1State& s = st(h);
    listClear(s);
    const uint8_t cc[] = {0x00, kVersion, static_cast<uint8_t>(s.isStatic ? 0x0E : 0x3F), 0x00};
    for (uint32_t k = 0; k < sizeof cc; ++k) listAdd(s, WRITE_E, kMagicAddress + k, cc[k]);
    uint32_t at = 12;
    if (!s.isStatic)
        for (uint8_t b : kDynamicTlvs) listAdd(s, WRITE_E, at++, b);
    for (uint8_t b : {TLV_NDEF, uint8_t{0x00}, TLV_TERMINATOR}) listAdd(s, WRITE_E, at++, b);
    listAdd(s, WRITE_E, kMagicAddress, kMagic);
}

void formatted(TTagHandler* h) {
    T1State& s = st(h);
    h->access |= TH_ACCESS_WRITE;
    h->currentNdefSize = 0;
    s.cc[0] = kMagic;
    s.cc[1] = kVersion;
    s.cc[2] = s.isStatic ? 0x0E : 0x3F;
    s.cc[3] = 0;
    s.cacheSegment = -1;
    mapperReset(s, s.isStatic ? kStaticMemory : kDynamicMemory);
    if (!s.isStatic) {
        memoryMapperReserve(&s.mapper, 12, sizeof kDynamicTlvs);
        memoryMapperReserve(&s.mapper, kStaticMemory, 8);
    }
    updateMaxNdefSize(h);
    s.ndefTlv = 0;
    s.ndefStart = 2;
    s.longLength = false;
    s.ndefFound = true;
    s.parsed = true;
    h->isNdef = 1;
}

uint32_t t1StateFormat(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    if (event == EV_SM_ENTRY) formatList(h);
    return runList(m, event, [&] {
        formatted(h);
        if (h->formatFlags & kFormatWipe) return thChangeTo(m, &t1StateFormatWipe);
        return finish(m, nfcCauseOk);
    });
}

// Sends the next wipe write: 0 sent, kListDone at the end, or the failure.
uint16_t wipeStep(TTagHandler* h) {
    T1State& s = st(h);
    const uint8_t zeros[kBlockSize] = {};
    if (s.isStatic) {
        if (s.position >= kByteWriteEnd) {
            TRACE(kTrace, "%s Finished with static wipe", kPrefix);
            return kListDone;
        }
        TRACE(kTrace, "%s Static wipe ongoing", kPrefix);
        s.inFlight = 1;
        return sendWrite(h, WRITE_E, s.position, zeros);
    }
    const uint32_t end = s.mapper.size ? s.mapper.size : kDynamicMemory;
    TRACE(kTrace, "%s Dynamic: testing address 0x%X", kPrefix, static_cast<unsigned>(s.position));
    if (s.position / kBlockSize == 13) s.position = 16 * kBlockSize;   // reserved and lock blocks 13-15
    if (s.position >= end) {
        TRACE(kTrace, "%s Finished with dynamic wipe", kPrefix);
        return kListDone;
    }
    if (s.position % kBlockSize && s.position >= kSegmentSize) {
        // Single bytes are addressed in the first segment only.
        s.position = (s.position / kBlockSize + 1) * kBlockSize;
        return wipeStep(h);
    }
    if (s.position % kBlockSize) {
        TRACE(kTrace, "%s Dynamic wipe ongoing (partial block)", kPrefix);
        s.inFlight = 1;
        return sendWrite(h, WRITE_E, s.position, zeros);
    }
    TRACE(kTrace, "%s Dynamic wipe ongoing", kPrefix);
    s.inFlight = kBlockSize;
    return sendWrite(h, WRITE_E8, s.position / kBlockSize, zeros);
}

uint32_t wipeGoOn(TStateMachine* m) {
    const uint16_t sent = wipeStep(thOf(m));
    if (sent == nfcCauseOk) return SM_DONE;
    return finish(m, sent == kListDone ? uint16_t{nfcCauseOk} : sent);
}

uint32_t t1StateFormatWipe(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T1State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: {
        uint32_t start = kMagicAddress;
        if (h->isNdef && absoluteOf(s, 0, &start)) start += 3;
        s.position = start;
        s.cacheSegment = -1;
        TRACE(kTrace, "%s Wiping memory from absolute address %d, writing 0x%02X", kPrefix, static_cast<int>(start), 0);
        if (!s.isStatic)
            TRACE(kTrace, "%s Dynamic: highest address 0x%X",
                  kPrefix, static_cast<unsigned>(s.mapper.size ? s.mapper.size : kDynamicMemory));
        return wipeGoOn(m);
    }
    case EV_TH_TRANSACTION_IND:
        if (!echoed(h)) return finish(m, nfcCauseNoMoreWriting);
        s.position += s.inFlight;
        return wipeGoOn(m);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t1StateSetReadonly(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T1State& s = st(h);
    if (event == EV_SM_ENTRY) {
        h->access &= static_cast<uint16_t>(~TH_ACCESS_WRITE);
        listClear(s);
        listAdd(s, WRITE_E, kAccessAddress, 0x0F);
        listAdd(s, WRITE_NE, kLockAddress, 0xFF);
        listAdd(s, WRITE_NE, kLockAddress + 1, 0xFF);
    }
    return runList(m, event, [&] {
        s.cc[3] = 0x0F;
        s.lock[0] = s.lock[1] = 0xFF;
        thSendTransactionIndication(h, nfcCauseOk);
        return thChangeTo(m, &t1StateNdefTag);
    });
}

uint32_t t1StateTest(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        if (const uint16_t cause = sendRid(h, TH_PDU_CHECK)) return finish(m, cause);
        return SM_DONE;
    case EV_TH_CHECK_CONF: return finish(m, nfcCauseOk);
    case EV_TH_CHECK_CONF_ERROR: return finish(m, kCauseErrorAnswer);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t1StateMagic(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    if (event == EV_SM_ENTRY) st(h).listNext = 0;
    return runList(m, event, [&] { return finish(m, h->cause); });
}

// An erased tag is read afresh by the next check.
void t1ForgetContent(TTagHandler* h) {
    T1State& s = st(h);
    s.parsed = false;
    s.ndefFound = false;
    s.longLength = false;
    s.ndefTlv = 0;
    s.ndefStart = 2;
    s.cacheSegment = -1;
    s.imageBlock = -1;
}

uint32_t t1DefaultHandler(TStateMachine* m, uint16_t event) {
    return thDefaultRule(m, event, thOf(m)->isNdef ? kNdefStates : kLegacyStates);
}

} // namespace

uint32_t t1GetProperty(TTagHandler* h, uint32_t id, int* found) { return thNdefProperty(h, id, st(h).cc[1], found); }

uint32_t t1Init(TTagHandler* h) {
    T1State* s = new (h->family) T1State{};
    s->isStatic = true;   // until a read-all answer tells otherwise
    s->cacheSegment = -1;
    s->imageBlock = -1;
    s->fetching = s->fetched = -1;
    memoryMapperInit(&s->mapper, s->slots, MEMORY_MAPPER_SEGMENTS);
    h->access = TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
    h->physicalSize = kMinNdefSize;
    h->maxNdefSize = kMinNdefSize;
    h->getProperty = &t1GetProperty;
    h->setProperty = &thNoSetProperty;
    return thStartMachine(h, &t1StateIdle, &t1DefaultHandler, kStateTable, kStateCount, kPrefix);
}
