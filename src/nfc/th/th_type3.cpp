#include "th/th_type3.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "th/th_frame.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "th_type3:";
constexpr uint32_t kTrace = 0x20;

enum : uint8_t {
    SENSF_REQ = 0x00,
    SENSF_RES = 0x01,
    CHECK = 0x06,
    CHECK_RES = 0x07,
    UPDATE = 0x08,
    UPDATE_RES = 0x09,
};

constexpr uint32_t kBlockSize = 16;
constexpr uint32_t kIdmSize = 8;
constexpr uint32_t kCommandHead = 14;       // length, code, IDm, service count and code, block count
constexpr uint32_t kAnswerHead = 12;        // length, code, IDm, status flags
constexpr uint32_t kMaxFrame = 255;         // the length byte counts the whole frame
constexpr uint32_t kMaxReadBlocks = 15, kMaxWriteBlocks = 13;
constexpr uint32_t kMaxMeasuredBlock = 0xFFFE;
constexpr uint16_t kServiceRead = 0x000B, kServiceWrite = 0x0009;
constexpr uint16_t kLiteSystemCode = 0x88B4;
constexpr uint32_t kLiteSystemCodeBlock = 0x85, kLiteMcBlock = 0x88;
constexpr uint8_t kLiteNbr = 4, kLiteNbw = 1;
constexpr uint16_t kLiteNmaxb = 13;
constexpr uint32_t kLiteUserBlocksMask = 0x3FFF;
constexpr uint8_t kVersion = 0x10;
constexpr uint8_t kWriteInProgress = 0x0F;
constexpr uint16_t kPending = 0xFFFF;
constexpr uint16_t kFormatWipe = 0x2;

struct Aib {
    uint8_t ver;
    uint8_t nbr;
    uint8_t nbw;
    uint16_t nmaxb;
    uint8_t writeFlag;
    uint8_t rwFlag;
    uint32_t ln;
};

struct T3State {
    Aib aib;                        // as the tag holds it
    Aib sentAib;                    // the UPDATE of block 0 in flight; the tag holds it once answered
    bool lite;
    uint8_t mc[5];
    uint32_t block;                 // next block to read or write
    uint32_t lastBlock;             // of a read
    uint32_t skip;                  // bytes of the next block before the requested offset
    uint32_t wanted;                // bytes the read still takes
    bool more;                      // the message goes on past the read
    uint32_t inFlight;              // blocks of the last CHECK or UPDATE
    uint8_t leftovers[kBlockSize - 1];
    uint32_t leftoverCount;
    uint32_t written;               // message bytes written
    bool writeError;
    uint32_t step;                  // detection, retry and read-only steps
    uint32_t trial;                 // the block count being tried
};
static_assert(sizeof(T3State) <= TH_FAMILY_STATE_SIZE);

T3State& st(TTagHandler* h) { return *std::launder(reinterpret_cast<T3State*>(h->family)); }

uint32_t t3StateIdle(TStateMachine* m, uint16_t event);
uint32_t t3StateCheckNdef(TStateMachine* m, uint16_t event);
uint32_t t3StateNdefTag(TStateMachine* m, uint16_t event);
uint32_t t3StateLegacyTag(TStateMachine* m, uint16_t event);
uint32_t t3StateRead(TStateMachine* m, uint16_t event);
uint32_t t3StateWriteInit(TStateMachine* m, uint16_t event);
uint32_t t3StateWriteData(TStateMachine* m, uint16_t event);
uint32_t t3StateWaitForNextWrite(TStateMachine* m, uint16_t event);
uint32_t t3StateWriteFinalize(TStateMachine* m, uint16_t event);
uint32_t t3StateFormat(TStateMachine* m, uint16_t event);
uint32_t t3StateFormatWipeMemory(TStateMachine* m, uint16_t event);
uint32_t t3StateFormatSetSysOp(TStateMachine* m, uint16_t event);
uint32_t t3StateTest(TStateMachine* m, uint16_t event);
uint32_t t3StateDetectCapacity(TStateMachine* m, uint16_t event);
uint32_t t3StateDetectNbr(TStateMachine* m, uint16_t event);
uint32_t t3StateDetectNbw(TStateMachine* m, uint16_t event);
uint32_t t3StateSetReadonly(TStateMachine* m, uint16_t event);
uint32_t t3StateMagic(TStateMachine* m, uint16_t event);
uint32_t t3StateDetectFelicaLight(TStateMachine* m, uint16_t event);
uint32_t t3StateSetFelicaLightReadonly(TStateMachine* m, uint16_t event);
uint32_t t3DefaultHandler(TStateMachine* m, uint16_t event);

const SmStateEntry kStateTable[] = {
    {&t3StateIdle, "t3StateIdle"},
    {&t3StateCheckNdef, "t3StateCheckNdef"},
    {&t3StateNdefTag, "t3StateNdefTag"},
    {&t3StateLegacyTag, "t3StateLegacyTag"},
    {&t3StateRead, "t3StateRead"},
    {&t3StateWriteInit, "t3StateWriteInit"},
    {&t3StateWriteData, "t3StateWriteData"},
    {&t3StateWaitForNextWrite, "t3StateWaitForNextWrite"},
    {&t3StateWriteFinalize, "t3StateWriteFinalize"},
    {&t3StateFormat, "t3StateFormat"},
    {&t3StateFormatWipeMemory, "t3StateFormatWipeMemory"},
    {&t3StateFormatSetSysOp, "t3StateFormatSetSysOp"},
    {&t3StateTest, "t3StateTest"},
    {&t3StateDetectCapacity, "t3StateDetectCapacity"},
    {&t3StateDetectNbr, "t3StateDetectNbr"},
    {&t3StateDetectNbw, "t3StateDetectNbw"},
    {&t3StateSetReadonly, "t3StateSetReadonly"},
    {&t3StateMagic, "t3StateMagic"},
    {&t3StateDetectFelicaLight, "t3StateDetectFelicaLight"},
    {&t3StateSetFelicaLightReadonly, "t3StateSetFelicaLightReadonly"},
    {&t3DefaultHandler, "t3DefaultHandler"},
};
constexpr uint16_t kStateCount = sizeof kStateTable / sizeof kStateTable[0];

void t3ForgetContent(TTagHandler* h);

constexpr ThFamilyStates kNdefStates{&t3StateIdle,    &t3StateNdefTag,          &t3StateLegacyTag, &t3StateDetectFelicaLight,
                                     &t3StateRead,    &t3StateWriteInit,        &t3StateFormat,    &t3StateFormatWipeMemory,
                                     &t3StateTest,    &t3StateSetReadonly,      nullptr,           &t3ForgetContent};
constexpr ThFamilyStates kLegacyStates{&t3StateIdle, &t3StateNdefTag, &t3StateLegacyTag, &t3StateDetectFelicaLight,
                                       nullptr,      nullptr,         &t3StateFormat,    &t3StateFormatWipeMemory,
                                       &t3StateTest, nullptr,         nullptr,           &t3ForgetContent};

uint32_t finish(TStateMachine* m, uint16_t cause) { return thFinishCommand(m, cause, kNdefStates); }

uint32_t maxNdef(const Aib& a) { return uint32_t{a.nmaxb} * kBlockSize; }

// ---- Commands -----------------------------------------------------------------------------------

uint32_t elementSize(uint32_t block) { return block < 256 ? 2 : 3; }

// How many of count blocks from first fit one frame that carries dataPerBlock bytes for each.
uint32_t blocksPerFrame(uint32_t first, uint32_t count, uint32_t dataPerBlock) {
    uint32_t length = kCommandHead, n = 0;
    while (n < count && length + elementSize(first + n) + dataPerBlock <= kMaxFrame) length += elementSize(first + n++) + dataPerBlock;
    return n;
}

uint16_t sendSensf(TTagHandler* h, uint8_t requestCode, uint8_t flags) {
    TRACE(kTrace, "%s send SENSF_REQ", kPrefix);
    const uint8_t request[] = {6, SENSF_REQ, 0xFF, 0xFF, requestCode, 0x00};
    std::memcpy(h->pdu, request, sizeof request);
    return thSendPdu(h, h->pdu, sizeof request, flags, 0);
}

// A CHECK (data empty) or UPDATE (16 bytes a block) of count blocks from first.
uint16_t sendBlocks(TTagHandler* h, uint8_t code, uint32_t first, uint32_t count, const uint8_t* data) {
    uint32_t n = 1;
    h->pdu[n++] = code;
    std::memcpy(h->pdu + n, h->uid, kIdmSize);
    n += kIdmSize;
    const uint16_t service = code == UPDATE ? kServiceWrite : kServiceRead;
    h->pdu[n++] = 1;
    h->pdu[n++] = static_cast<uint8_t>(service);
    h->pdu[n++] = static_cast<uint8_t>(service >> 8);
    h->pdu[n++] = static_cast<uint8_t>(count);
    for (uint32_t b = first; b < first + count; ++b) {
        if (b < 256) {
            h->pdu[n++] = 0x80;
            h->pdu[n++] = static_cast<uint8_t>(b);
        } else {
            h->pdu[n++] = 0x00;
            h->pdu[n++] = static_cast<uint8_t>(b);
            h->pdu[n++] = static_cast<uint8_t>(b >> 8);
        }
    }
    if (code == UPDATE) {
        std::memcpy(h->pdu + n, data, count * kBlockSize);
        n += count * kBlockSize;
    }
    h->pdu[0] = static_cast<uint8_t>(n);
    st(h).inFlight = count;
    TRACE(kTrace, code == UPDATE ? "%s write block %d, count %d, len %d" : "%s read block at %d, count %d, %d bytes",
          kPrefix, static_cast<int>(first), static_cast<int>(count), static_cast<int>(n));
    return thSendPdu(h, h->pdu, static_cast<uint16_t>(n), 0, 0);
}

uint16_t sendCheck(TTagHandler* h, uint32_t first, uint32_t count) { return sendBlocks(h, CHECK, first, count, nullptr); }

// A CHECK or UPDATE answer: length, code, IDm and status flags.
uint16_t checkResponse(TTagHandler* h, uint8_t code) {
    CByteReader r(h->rspData, h->rspLength);
    uint8_t length = 0, answerCode = 0, sf1 = 0, sf2 = 0;
    const uint8_t* idm = nullptr;
    if (!r.u8(length) || h->rspLength < length || h->rspLength < kAnswerHead) {
        TRACE(TRC_ERROR, "%s ! ERROR: Message too short, is %d, expected %d", kPrefix, static_cast<int>(h->rspLength),
              length);
        return nfcCauseInvalidData;
    }
    if (h->rspLength > length)
        TRACE(TRC_ERROR, "%s ! WARNING: Message too big, is %d, expected %d", kPrefix, static_cast<int>(h->rspLength),
              length);
    r.u8(answerCode);
    r.take(kIdmSize, idm);
    r.u8(sf1);
    r.u8(sf2);
    if (answerCode != code) {
        TRACE(TRC_ERROR, "%s ! Not a check response", kPrefix);
        return nfcCauseInvalidData;
    }
    if (std::memcmp(idm, h->uid, kIdmSize) != 0) {
        TRACE(TRC_ERROR, "%s ! NFCID doesn't match", kPrefix);
        return nfcCauseInvalidData;
    }
    if (sf1 != 0) {
        TRACE(TRC_ERROR, "%s ! Error signalled in status flag", kPrefix);
        return sf2 == 0xA8 || sf2 == 0xA9 ? nfcCauseInputTooBig : nfcCauseRejected;
    }
    return nfcCauseOk;
}

// A CHECK answer of exactly the blocks asked for: data points at them.
uint16_t checkData(TTagHandler* h, const uint8_t** data) {
    if (const uint16_t cause = checkResponse(h, CHECK_RES)) return cause;
    const uint32_t blocks = st(h).inFlight;
    // The block count and 16 bytes for each block must be there before they are copied.
    CByteReader r(h->rspData, h->rspLength);
    uint8_t count = 0;
    if (!r.skip(kAnswerHead) || !r.u8(count) || count != blocks || !r.take(uint64_t{blocks} * kBlockSize, *data)) {
        TRACE(TRC_ERROR, "%s ! CHECK answer of %d bytes does not hold %d blocks", kPrefix, static_cast<int>(h->rspLength),
              static_cast<int>(blocks));
        return nfcCauseInvalidData;
    }
    return nfcCauseOk;
}

// ---- Attribute information block -----------------------------------------------------------

uint16_t aibChecksum(const uint8_t* b) {
    uint16_t sum = 0;
    for (uint32_t k = 0; k < 14; ++k) sum = static_cast<uint16_t>(sum + b[k]);
    return sum;
}

void aibBytes(const Aib& a, uint8_t* b) {
    std::memset(b, 0, kBlockSize);
    b[0] = a.ver;
    b[1] = a.nbr;
    b[2] = a.nbw;
    b[3] = static_cast<uint8_t>(a.nmaxb >> 8);
    b[4] = static_cast<uint8_t>(a.nmaxb);
    b[9] = a.writeFlag;
    b[10] = a.rwFlag;
    b[11] = static_cast<uint8_t>(a.ln >> 16);
    b[12] = static_cast<uint8_t>(a.ln >> 8);
    b[13] = static_cast<uint8_t>(a.ln);
    const uint16_t sum = aibChecksum(b);
    b[14] = static_cast<uint8_t>(sum >> 8);
    b[15] = static_cast<uint8_t>(sum);
}

uint16_t sendAib(TTagHandler* h, uint8_t writeFlag, uint32_t ln) {
    T3State& s = st(h);
    s.sentAib = s.aib;
    s.sentAib.writeFlag = writeFlag;
    s.sentAib.ln = ln;
    uint8_t block[kBlockSize];
    aibBytes(s.sentAib, block);
    return sendBlocks(h, UPDATE, 0, 1, block);
}

// An answered UPDATE of block 0: what the handler knows of the tag follows it.
void aibTaken(TTagHandler* h) {
    T3State& s = st(h);
    s.aib = s.sentAib;
    h->currentNdefSize = s.aib.ln;
}

uint16_t sendMc(TTagHandler* h, uint8_t mc0, uint8_t mc1) {
    T3State& s = st(h);
    uint8_t block[kBlockSize] = {mc0, mc1, s.mc[2], 0x01, s.mc[4]};
    TRACE(kTrace, "%s write MC: %02X %02X %02X %02X %02X", kPrefix, block[0], block[1], block[2], block[3], block[4]);
    return sendBlocks(h, UPDATE, kLiteMcBlock, 1, block);
}

uint16_t evaluateAib(TTagHandler* h, const uint8_t* b) {
    T3State& s = st(h);
    Aib& a = s.aib;
    a = Aib{b[0], b[1], b[2], static_cast<uint16_t>(b[3] << 8 | b[4]), b[9], b[10],
            uint32_t{b[11]} << 16 | uint32_t{b[12]} << 8 | b[13]};
    TRACE(kTrace, "%s Attribute info block - AIB ", kPrefix);
    TRACE(kTrace, "%s max rx blocks = %d,  max tx blocks = %d", kPrefix, a.nbr, a.nbw);
    TRACE(kTrace, "%s max NDEF blocks = %d, NDEF length = %d", kPrefix, a.nmaxb, static_cast<int>(a.ln));
    if ((a.ver & 0xF0) != kVersion) {
        TRACE(TRC_ERROR, "%s ! Incompatible document version = %d.%d instead of %d.%d", kPrefix, a.ver >> 4, a.ver & 0x0F, 1,
              0);
        return nfcCauseNotNfcForumTag;
    }
    if (a.writeFlag) TRACE(kTrace, "%s WARNING: Tag write in progress (writeFlag != 0)", kPrefix);
    if (s.lite && (a.nbr != kLiteNbr || a.nbw != kLiteNbw || a.nmaxb != kLiteNmaxb)) {
        TRACE(kTrace, "%s WARNING: Tag parameters don't correspondent to FeliCa-light. Fixing up", kPrefix);
        a.nbr = kLiteNbr;
        a.nbw = kLiteNbw;
        a.nmaxb = kLiteNmaxb;
    }
    h->maxNdefSize = h->physicalSize = maxNdef(a);
    h->currentNdefSize = a.ln;
    if (a.nmaxb == 0) h->access = TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
    const uint16_t sum = static_cast<uint16_t>(b[14] << 8 | b[15]);
    if (a.ln > maxNdef(a) || sum != aibChecksum(b)) {
        TRACE(TRC_ERROR, "%s ! AIB length %d or checksum 0x%04X not valid", kPrefix, static_cast<int>(a.ln), sum);
        h->currentNdefSize = 0;
        return nfcCauseInvalidData;
    }
    // The write access follows RWFlag.
    if (a.rwFlag) h->access |= TH_ACCESS_WRITE;
    else h->access &= static_cast<uint16_t>(~TH_ACCESS_WRITE);
    const uint32_t writableBlocks = s.mc[0] | uint32_t{s.mc[1]} << 8;
    if (s.lite && (writableBlocks & kLiteUserBlocksMask) != kLiteUserBlocksMask)
        h->access &= static_cast<uint16_t>(~(TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE));
    a.nbr = std::min<uint8_t>(a.nbr, kMaxReadBlocks);
    a.nbw = std::min<uint8_t>(a.nbw, kMaxWriteBlocks);
    return nfcCauseOk;
}

// ---- Activation, FeliCa Lite detection, check -----------------------------------------------

uint32_t t3StateIdle(TStateMachine* m, uint16_t event) {
    if (event != EV_TH_DEVICE_IND) return SM_NOT_HANDLED;
    TTagHandler* h = thOf(m);
    st(h).lite = false;
    h->tagSubtype = 0x1A0001;
    if (!h->deviceTagInfo || h->deviceTagInfo->uidLength != kIdmSize) {
        thSendTransactionIndication(h, nfcCauseNotNfcForumTag);
        return SM_DONE;
    }
    thCopyUid(h, kIdmSize, kIdmSize);
    h->confirm(h, TH_DEVICE_CONF, nfcCauseOk, 0);
    return thChangeTo(m, &t3StateLegacyTag);
}

bool liteSystemCode(uint16_t code) { return code == 0x0000 || code == 0x12FC || code == kLiteSystemCode; }

uint16_t detectStep(TTagHandler* h) {
    T3State& s = st(h);
    const uint8_t* data = nullptr;
    switch (s.step) {
    case 0: {
        CByteReader r(h->rspData, h->rspLength);
        uint8_t length = 0, code = 0;
        uint16_t systemCode = 0;
        if (h->rspLength != 20 || !r.u8(length) || !r.u8(code) || length != 20 || code != SENSF_RES || !r.skip(16) ||
            !r.u16be(systemCode)) {
            TRACE(TRC_ERROR, "! %s failed to aquire system-code", kPrefix);
            return 1;
        }
        TRACE(kTrace, "%s FeliCa system-code is 0x%04X", kPrefix, systemCode);
        if (h->tagInfo) h->tagInfo->felica.systemCode = systemCode;
        if (!liteSystemCode(systemCode)) return 1;
        s.step = 1;
        return sendCheck(h, kLiteSystemCodeBlock, 1) ? 1 : 0;
    }
    case 1: {
        static const uint8_t kLite[kBlockSize] = {0x88, 0xB4};
        if (h->rspLength != 29) TRACE(TRC_ERROR, "%s Unexpected packet length %d", kPrefix, static_cast<int>(h->rspLength));
        if (checkData(h, &data) || std::memcmp(data, kLite, kBlockSize) != 0) return 1;
        s.step = 2;
        return sendCheck(h, kLiteMcBlock, 1) ? 1 : 0;
    }
    default: {
        if (checkData(h, &data)) return 1;
        const bool zeros = std::all_of(data + 5, data + kBlockSize, [](uint8_t b) { return b == 0; });
        if ((data[2] == 0x00 || data[2] == 0xFF) && data[3] <= 0x01 && zeros) {
            s.lite = true;
            h->tagSubtype = 0x1A0002;
            std::memcpy(s.mc, data, sizeof s.mc);
        }
        return 1;
    }
    }
}

uint32_t t3StateDetectFelicaLight(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        s.step = 0;
        if (sendSensf(h, 0x01, 0)) return thChangeTo(m, &t3StateCheckNdef);
        return SM_DONE;
    // Whatever the detection meets, the check goes on.
    case EV_TH_TRANSACTION_IND: return detectStep(h) ? thChangeTo(m, &t3StateCheckNdef) : SM_DONE;
    case EV_TH_TRANSACTION_ERROR_IND: return thChangeTo(m, &t3StateCheckNdef);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t checkRetry(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    if (s.step++ == 0 && !sendCheck(h, 0, 1)) return SM_DONE;
    thSendTransactionIndication(h, nfcCauseRejected);
    return thChangeTo(m, &t3StateIdle);
}

uint32_t t3StateCheckNdef(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kTrace, "%s FeliCa-Light detection: %d", kPrefix, s.lite ? 1 : 0);
        s.step = 0;
        h->currentNdefSize = 0;
        if (sendCheck(h, 0, 1)) {
            thSendTransactionIndication(h, nfcCauseRejected);
            return thChangeTo(m, &t3StateIdle);
        }
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: {
        const uint8_t* data = nullptr;
        if (h->rspLength <= 28) {
            TRACE(TRC_ERROR, "%s Wrong message length, got %d, expected 29", kPrefix, static_cast<int>(h->rspLength));
            return finish(m, nfcCauseInvalidData);
        }
        if (const uint16_t cause = checkData(h, &data)) return finish(m, cause);
        return finish(m, evaluateAib(h, data));
    }
    case EV_TH_TRANSACTION_ERROR_IND: return checkRetry(m);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t3StateNdefTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kNdefStates); }
uint32_t t3StateLegacyTag(TStateMachine* m, uint16_t event) { return thDispatchCommand(m, event, kLegacyStates); }

// ---- Read ---------------------------------------------------------------------------------------

uint16_t readNext(TTagHandler* h) {
    T3State& s = st(h);
    if (s.block > s.lastBlock) return s.more ? nfcCauseTagBufferTooSmall : nfcCauseOk;
    const uint32_t count = std::min({uint32_t{s.aib.nbr}, kMaxReadBlocks, s.lastBlock - s.block + 1});
    const uint16_t sent = sendCheck(h, s.block, count);
    return sent ? sent : kPending;
}

uint32_t readGoOn(TStateMachine* m, uint16_t cause) { return cause == kPending ? SM_DONE : finish(m, cause); }

uint32_t t3StateRead(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    ThCommandBlock& c = h->command;
    switch (event) {
    case EV_SM_ENTRY: {
        c.delivered = 0;
        // An offset at or past the message end has nothing to deliver.
        if (c.offset >= s.aib.ln) return finish(m, nfcCauseOk);
        const uint32_t length = std::min(c.size, s.aib.ln - c.offset);
        s.more = uint64_t{c.offset} + length < s.aib.ln;
        if (s.aib.nbr == 0) return finish(m, nfcCauseNoMoreData);
        if (length == 0) return finish(m, nfcCauseTagBufferTooSmall);
        s.block = c.offset / kBlockSize + 1;
        s.lastBlock = (c.offset + length - 1) / kBlockSize + 1;
        s.skip = c.offset % kBlockSize;
        s.wanted = length;
        TRACE(kTrace, "%s rdSize=%d, firstIdx=%d, lastIdx=%d, ndef len=%d -> blocks required=%d", kPrefix,
              static_cast<int>(length), static_cast<int>(s.block), static_cast<int>(s.lastBlock), static_cast<int>(s.aib.ln),
              static_cast<int>(s.lastBlock - s.block + 1));
        return readGoOn(m, readNext(h));
    }
    case EV_TH_TRANSACTION_IND: {
        const uint8_t* data = nullptr;
        if (checkResponse(h, CHECK_RES)) return finish(m, nfcCauseNotPlausible);
        if (const uint16_t cause = checkData(h, &data)) return finish(m, cause);
        const uint32_t n = std::min(s.inFlight * kBlockSize - s.skip, s.wanted);
        std::memcpy(c.buffer + c.delivered, data + s.skip, n);
        c.delivered += n;
        s.wanted -= n;
        s.skip = 0;
        s.block += s.inFlight;
        TRACE(kTrace, "%s numBytesRead=%d, numBytesRemaining=%d", kPrefix, static_cast<int>(c.delivered),
              static_cast<int>(s.wanted));
        return readGoOn(m, readNext(h));
    }
    default: return SM_NOT_HANDLED;
    }
}

// ---- Write --------------------------------------------------------------------------------------

uint32_t t3StateWriteInit(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        h->command.delivered = 0;
        if (s.aib.rwFlag == 0) return finish(m, nfcCauseWriteProtected);
        // Without a block per UPDATE the write could never advance.
        if (s.aib.nbw == 0) return finish(m, nfcCauseNoMoreData);
        if (const uint16_t cause = thRefusePart(h, 0, h->command.size, false)) return finish(m, cause);
        TRACE(kTrace, "%s wrSize=%d, ndef len=%d", kPrefix, static_cast<int>(h->command.size), static_cast<int>(s.aib.ln));
        s.written = 0;
        s.leftoverCount = 0;
        s.writeError = false;
        s.block = 1;
        if (sendAib(h, kWriteInProgress, 0)) return finish(m, nfcCauseNoMoreWriting);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = checkResponse(h, UPDATE_RES)) return finish(m, cause);
        aibTaken(h);
        return thChangeTo(m, &t3StateWriteData);
    default: return SM_NOT_HANDLED;
    }
}

// Sends the next UPDATE of whole blocks from the leftovers and the chunk: 0 sent, kPending when
// nothing is left to send now, or a failure.
uint16_t writeNext(TTagHandler* h) {
    T3State& s = st(h);
    ThCommandBlock& c = h->command;
    const uint32_t available = s.leftoverCount + (c.size - c.delivered);
    const uint32_t blocks = c.final ? (available + kBlockSize - 1) / kBlockSize : available / kBlockSize;
    if (blocks == 0) {
        if (!c.final) {
            std::memcpy(s.leftovers + s.leftoverCount, c.data + c.delivered, c.size - c.delivered);
            s.leftoverCount = available;
            c.delivered = c.size;
            TRACE(kTrace, "%s saving %d bytes for next call, %d bytes total", kPrefix, static_cast<int>(available),
                  static_cast<int>(s.written + available));
        }
        return kPending;
    }
    const uint32_t count = blocksPerFrame(s.block, std::min<uint32_t>(blocks, s.aib.nbw), kBlockSize);
    uint8_t data[kMaxWriteBlocks * kBlockSize] = {};
    const uint32_t take = std::min(count * kBlockSize, available);
    std::memcpy(data, s.leftovers, std::min(s.leftoverCount, take));
    const uint32_t fromChunk = take - std::min(s.leftoverCount, take);
    std::memcpy(data + std::min(s.leftoverCount, take), c.data + c.delivered, fromChunk);
    s.leftoverCount -= std::min(s.leftoverCount, take);
    c.delivered += fromChunk;
    s.written += take;
    TRACE(kTrace, "%s dataLen=%d, leftovers=%d", kPrefix, static_cast<int>(take), static_cast<int>(s.leftoverCount));
    return sendBlocks(h, UPDATE, s.block, count, data);
}

uint32_t toFinalize(TStateMachine* m) {
    st(thOf(m)).writeError = true;
    return thChangeTo(m, &t3StateWriteFinalize);
}

uint32_t writeGoOn(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    const uint16_t sent = writeNext(h);
    if (sent == nfcCauseOk) return SM_DONE;
    if (sent != kPending) return toFinalize(m);
    return thChangeTo(m, h->command.final ? &t3StateWriteFinalize : &t3StateWaitForNextWrite);
}

uint32_t t3StateWriteData(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY: return writeGoOn(m);
    case EV_TH_TRANSACTION_IND:
        if (checkResponse(h, UPDATE_RES)) return toFinalize(m);
        st(h).block += st(h).inFlight;
        return writeGoOn(m);
    case EV_TH_TRANSACTION_ERROR_IND: return toFinalize(m);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t3StateWaitForNextWrite(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    const T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: thSendTransactionIndication(h, nfcCauseOk); return SM_DONE;
    case EV_TH_CMD_WRITE:
        h->command.delivered = 0;
        if (thRefusePart(h, uint64_t{s.leftoverCount} + s.written, h->command.size, false)) return toFinalize(m);
        TRACE(kTrace, "%s wrSize=%d", kPrefix, static_cast<int>(h->command.size));
        return thChangeTo(m, &t3StateWriteData);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t3StateWriteFinalize(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: {
        // A message cut by a failure is left empty, never presented as whole.
        const uint32_t ln = s.writeError ? 0 : s.written;
        if (s.writeError) h->command.delivered = 0;
        TRACE(kTrace, "%s updating NDEF size to %d", kPrefix, static_cast<int>(ln));
        if (sendAib(h, 0, ln)) return finish(m, nfcCauseNoMoreWriting);
        return SM_DONE;
    }
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = checkResponse(h, UPDATE_RES)) return finish(m, cause);
        aibTaken(h);
        return finish(m, s.writeError ? uint16_t{nfcCauseNoMoreWriting} : uint16_t{nfcCauseOk});
    default: return SM_NOT_HANDLED;
    }
}

// ---- Format, wipe, system option, measurement ---------------------------------------------------

uint32_t afterFormat(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    h->isNdef = 1;
    if (h->formatFlags & kFormatWipe) return thChangeTo(m, &t3StateFormatWipeMemory);
    if (s.lite && s.mc[3] != 0x01) return thChangeTo(m, &t3StateFormatSetSysOp);
    return finish(m, nfcCauseOk);
}

uint32_t t3StateFormat(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    Aib& a = s.aib;
    switch (event) {
    case EV_SM_ENTRY:
        if (s.lite) {
            a.nmaxb = kLiteNmaxb;
            a.nbr = kLiteNbr;
            a.nbw = kLiteNbw;
            TRACE(kTrace, "%s maxBlocks = %d (Felica Light)", kPrefix, a.nmaxb);
        } else if (a.nmaxb == 0) {
            return thChangeTo(m, &t3StateDetectCapacity);
        }
        if (a.ver == 0) a.ver = kVersion;
        if (a.ver != kVersion) {
            TRACE(TRC_ERROR, "%s ! Invalid version 0x%X in AIB, formatting canceled", kPrefix, a.ver);
            return finish(m, nfcCauseVersionMismatch);
        }
        if (a.nbr == 0) a.nbr = 1;
        if (a.nbw == 0) a.nbw = 1;
        a.rwFlag = 1;
        h->access |= TH_ACCESS_WRITE;
        h->maxNdefSize = h->physicalSize = maxNdef(a);
        h->currentNdefSize = 0;
        if (sendAib(h, 0, 0)) return finish(m, nfcCauseNotPlausible);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = checkResponse(h, UPDATE_RES)) return finish(m, cause);
        aibTaken(h);
        return afterFormat(m);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t wipeNext(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    if (s.block > s.aib.nmaxb) {
        TRACE(kTrace, "Finished with wiping\n");
        return finish(m, nfcCauseOk);
    }
    const uint8_t zeros[kBlockSize] = {};
    if (const uint16_t cause = sendBlocks(h, UPDATE, s.block, 1, zeros)) return finish(m, cause);
    return SM_DONE;
}

uint32_t t3StateFormatWipeMemory(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        s.block = h->isNdef ? 1 : 0;
        TRACE(kTrace, "Trying to wipe %d blocks, starting at block %d\n", s.aib.nmaxb, static_cast<int>(s.block));
        return wipeNext(m);
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = checkResponse(h, UPDATE_RES)) return finish(m, cause);
        ++s.block;
        return wipeNext(m);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t3StateFormatSetSysOp(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kTrace, "%s Setting FeliCaLight system option to NDEF support", kPrefix);
        if (const uint16_t cause = sendMc(h, 0xFF, 0xFF)) return finish(m, cause);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: {
        const uint16_t cause = checkResponse(h, UPDATE_RES);
        if (!cause) s.mc[0] = s.mc[1] = 0xFF, s.mc[3] = 0x01;
        return finish(m, cause);
    }
    default: return SM_NOT_HANDLED;
    }
}

// Block by block until a CHECK fails: the last readable block is the capacity.
uint32_t t3StateDetectCapacity(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: s.block = 1; break;
    case EV_TH_TRANSACTION_IND: {
        const uint8_t* data = nullptr;
        if (const uint16_t cause = checkData(h, &data)) {
            if (s.block == 1) return finish(m, cause);
            s.aib.nmaxb = static_cast<uint16_t>(s.block - 1);
            h->maxNdefSize = h->physicalSize = maxNdef(s.aib);
            TRACE(kTrace, "%s maxBlocks = %d", kPrefix, s.aib.nmaxb);
            return thChangeTo(m, &t3StateDetectNbr);
        }
        ++s.block;
        break;
    }
    case EV_TH_TRANSACTION_ERROR_IND:
        if (s.block == 1) return finish(m, h->cause);
        s.aib.nmaxb = static_cast<uint16_t>(s.block - 1);
        h->maxNdefSize = h->physicalSize = maxNdef(s.aib);
        return thChangeTo(m, &t3StateDetectNbr);
    default: return SM_NOT_HANDLED;
    }
    if (s.block > kMaxMeasuredBlock) {
        s.aib.nmaxb = static_cast<uint16_t>(kMaxMeasuredBlock);
        h->maxNdefSize = h->physicalSize = maxNdef(s.aib);
        return thChangeTo(m, &t3StateDetectNbr);
    }
    if (const uint16_t cause = sendCheck(h, s.block, 1)) return finish(m, cause);
    return SM_DONE;
}

uint32_t measured(TStateMachine* m, SmHandler next, uint8_t* limit, const char* trace) {
    T3State& s = st(thOf(m));
    *limit = static_cast<uint8_t>(s.trial);
    TRACE(kTrace, trace, kPrefix, static_cast<int>(s.trial));
    return thChangeTo(m, next);
}

// The most blocks one CHECK takes: from 15 down until one passes.
uint32_t t3StateDetectNbr(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY: s.trial = kMaxReadBlocks; break;
    case EV_TH_TRANSACTION_IND: {
        const uint8_t* data = nullptr;
        if (checkData(h, &data) == nfcCauseOk || s.trial == 1) return measured(m, &t3StateDetectNbw, &s.aib.nbr, "%s Nbr = %d");
        --s.trial;
        break;
    }
    case EV_TH_TRANSACTION_ERROR_IND:
        if (s.trial == 1) return measured(m, &t3StateDetectNbw, &s.aib.nbr, "%s Nbr = %d");
        --s.trial;
        break;
    default: return SM_NOT_HANDLED;
    }
    if (const uint16_t cause = sendCheck(h, 1, s.trial)) return finish(m, cause);
    return SM_DONE;
}

// The most blocks one UPDATE takes: from 13 (no more than the capacity) down until one passes.
uint32_t t3StateDetectNbw(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        if (h->maxNdefSize < kBlockSize) return finish(m, nfcCauseInvalidData);
        s.trial = std::min<uint32_t>(kMaxWriteBlocks, h->maxNdefSize / kBlockSize);
        break;
    case EV_TH_TRANSACTION_IND:
        if (checkResponse(h, UPDATE_RES) == nfcCauseOk || s.trial < 2) return measured(m, &t3StateFormat, &s.aib.nbw, "%s Nbw = %d");
        --s.trial;
        break;
    case EV_TH_TRANSACTION_ERROR_IND:
        if (s.trial < 2) return measured(m, &t3StateFormat, &s.aib.nbw, "%s Nbw = %d");
        --s.trial;
        break;
    default: return SM_NOT_HANDLED;
    }
    const uint8_t zeros[kMaxWriteBlocks * kBlockSize] = {};
    if (const uint16_t cause = sendBlocks(h, UPDATE, 1, blocksPerFrame(1, s.trial, kBlockSize), zeros)) return finish(m, cause);
    return SM_DONE;
}

// ---- Test, read-only, magic -----------------------------------------------------------------------

uint32_t t3StateTest(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        if (sendSensf(h, 0x00, TH_PDU_CHECK)) return finish(m, nfcCauseRejected);
        return SM_DONE;
    case EV_TH_CHECK_CONF: {
        CByteReader r(h->rspData, h->rspLength);
        uint8_t length = 0, code = 0;
        const uint8_t* idm = nullptr;
        // The IDm is compared only when the answer holds it.
        const bool answer = r.u8(length) && r.u8(code) && r.take(kIdmSize, idm) && (length == 18 || length == 20) &&
                            code == SENSF_RES;
        if (answer && std::memcmp(idm, h->uid, kIdmSize) != 0) {
            TRACE(TRC_ERROR, "%s IDm of tag has changed. tag lost", kPrefix);
            return finish(m, nfcCauseRejected);
        }
        return finish(m, nfcCauseOk);
    }
    case EV_TH_CHECK_CONF_ERROR: return finish(m, nfcCauseRejected);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t3StateSetReadonly(TStateMachine* m, uint16_t event) {
    if (event != EV_SM_ENTRY) return SM_NOT_HANDLED;
    if (st(thOf(m)).lite) return thChangeTo(m, &t3StateSetFelicaLightReadonly);
    return finish(m, nfcCauseNotImplemented);
}

uint16_t readonlyStep(TTagHandler* h) {
    T3State& s = st(h);
    switch (s.step) {
    case 0: return sendMc(h, 0xFF, 0xFF);
    case 1:
        s.aib.rwFlag = 0;
        h->access &= static_cast<uint16_t>(~TH_ACCESS_WRITE);
        return sendAib(h, 0, s.aib.ln);
    case 2: return sendMc(h, 0x00, 0x00);
    default:
        TRACE(TRC_ERROR, "%s unexpected opCount %d", kPrefix, static_cast<int>(s.step));
        return nfcCauseInternalSoftware;
    }
}

uint32_t t3StateSetFelicaLightReadonly(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T3State& s = st(h);
    switch (event) {
    case EV_SM_ENTRY:
        if (!(s.mc[1] & 0x80)) {
            TRACE(TRC_ERROR, "%s FeliCa Light: MC[01] not writable", kPrefix);
            return finish(m, nfcCauseNoMoreWriting);
        }
        s.step = 0;
        break;
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t cause = checkResponse(h, UPDATE_RES)) return finish(m, cause);
        if (s.step == 1) aibTaken(h);
        if (++s.step == 3) {
            TRACE(kTrace, "%s make write only success", kPrefix);
            s.mc[0] = s.mc[1] = 0x00;
            h->access &= static_cast<uint16_t>(~(TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE));
            return finish(m, nfcCauseOk);
        }
        break;
    default: return SM_NOT_HANDLED;
    }
    if (readonlyStep(h)) return finish(m, nfcCauseNoMoreWriting);
    return SM_DONE;
}

uint32_t t3StateMagic(TStateMachine*, uint16_t) { return SM_DONE; }

// An erase leaves no message: the attribute block's length goes; its geometry stays for the format.
void t3ForgetContent(TTagHandler* h) {
    T3State& s = st(h);
    s.aib.ln = 0;
    s.aib.writeFlag = 0;
}

uint32_t t3DefaultHandler(TStateMachine* m, uint16_t event) {
    return thDefaultRule(m, event, thOf(m)->isNdef ? kNdefStates : kLegacyStates);
}

} // namespace

uint32_t t3GetProperty(TTagHandler* h, uint32_t id, int* found) {
    *found = 1;
    switch (id) {
    case 0: return st(h).aib.ver;
    case 1: return h->maxNdefSize;
    case 2: return h->currentNdefSize;
    case 3: return h->physicalSize;
    case 5: return h->access & TH_ACCESS_WRITE ? 1 : 0;
    default: *found = 0; return 0;
    }
}

uint32_t t3Init(TTagHandler* h) {
    T3State* s = new (h->family) T3State{};
    s->aib.nbr = s->aib.nbw = 1;
    h->access = TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
    h->getProperty = &t3GetProperty;
    h->setProperty = &thNoSetProperty;
    return thStartMachine(h, &t3StateIdle, &t3DefaultHandler, kStateTable, kStateCount, kPrefix);
}
