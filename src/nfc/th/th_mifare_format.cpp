#include "th/th_mifare_format.h"

#include <cstring>

#include "util/trace.h"

namespace {

constexpr uint32_t kProgress = 0x02;
constexpr uint32_t kErrors = 0x04;
constexpr uint16_t kCauseNoKey = 0x206;
constexpr uint16_t kCauseAuthFailed = nfcCauseAuthenticationFailed;
constexpr uint16_t kCauseShortAnswer = nfcCauseInvalidData;
constexpr uint16_t kCauseUnknownStep = nfcCauseWrongState;
constexpr uint8_t kAuthA = 0x60, kAuthB = 0x61, kRead = 0x30, kWrite = 0xA0;
constexpr uint8_t kNdefMadGpb = 0xC1;
constexpr uint8_t kKeyCount = 3;

enum : uint8_t { KEY_TRANSPORT = 0, KEY_MAD = 1, KEY_NFC = 2 };
constexpr uint8_t kKeys[kKeyCount][6] = {
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5},
    {0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7},
};
constexpr uint8_t kTransportTrailer[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07,
                                           0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

enum Step : uint8_t {
    STEP_START = 1,
    STEP_SECTOR_KEY = 2,
    STEP_MAD_KEY = 3,
    STEP_READ_TRAILER = 4,
    STEP_WRITE_TRAILER = 5,
    STEP_ERASE = 7,
    STEP_READ_MAD_TRAILER = 8,
    STEP_AUTH_TRAILER = 9,
    STEP_AUTH_WRITE = 10,
};

using Proc = uint16_t (*)(TTagHandler*, TmfEraseState*);

uint8_t firstBlock(uint8_t sector) { return static_cast<uint8_t>(sector < 32 ? 4 * sector : 128 + 16 * (sector - 32)); }
uint8_t dataBlocks(uint8_t sector) { return sector < 32 ? 3 : 15; }
uint8_t trailerBlock(uint8_t sector) { return static_cast<uint8_t>(firstBlock(sector) + dataBlocks(sector)); }

uint16_t send(TTagHandler* h, const uint8_t* pdu, uint16_t size) {
    const uint16_t cause = tmfSendKept(h, pdu, size, 0);
    return cause ? cause : TMF_PENDING;
}

uint16_t authenticate(TTagHandler* h, TmfEraseState* s, uint8_t command) {
    TRACE(kProgress, "mifareAuthentication%c() sector %d key %X%X%X%X%X%X", command == kAuthA ? 'A' : 'B', s->sector,
          s->key[0], s->key[1], s->key[2], s->key[3], s->key[4], s->key[5]);
    uint8_t pdu[12] = {command, firstBlock(s->sector)};
    const uint8_t* uid = h->uidLength > 4 ? h->uid + 3 : h->uid;
    std::memcpy(pdu + 2, uid, 4);
    std::memcpy(pdu + 6, s->key, 6);
    return send(h, pdu, sizeof pdu);
}

uint16_t authenticateA(TTagHandler* h, TmfEraseState* s) { return authenticate(h, s, kAuthA); }
uint16_t authenticateB(TTagHandler* h, TmfEraseState* s) { return authenticate(h, s, kAuthB); }

// The key that the sequencer's access decode names for writing the trailer back.
bool trailerWithA(const uint8_t* trailer) {
    bool a[4], b[4];
    tmfWritableBlocks(trailer, a, b);
    return a[3];
}

uint16_t authenticateForTrailer(TTagHandler* h, TmfEraseState* s) {
    return trailerWithA(s->trailer) ? authenticateA(h, s) : authenticateB(h, s);
}

uint16_t readTrailer(TTagHandler* h, TmfEraseState* s) {
    TRACE(kProgress, "mifareReadSectorTrailer(), sector %d, block %d", s->sector, dataBlocks(s->sector));
    const uint8_t pdu[2] = {kRead, trailerBlock(s->sector)};
    const uint16_t r = send(h, pdu, sizeof pdu);
    TRACE(kProgress, "mifareReadSectorTrailer() exit 0x%X", r);
    return r;
}

uint16_t eraseBlock(TTagHandler* h, TmfEraseState* s) {
    TRACE(kProgress, "mifareEraseBlock() block %d sector %d", s->blockIndex, s->sector);
    uint8_t pdu[18] = {kWrite, static_cast<uint8_t>(firstBlock(s->sector) + s->blockIndex)};
    std::memset(pdu + 2, 0xFF, 16);
    return send(h, pdu, sizeof pdu);
}

uint16_t writeTrailer(TTagHandler* h, TmfEraseState* s) {
    TRACE(kProgress, "mifareWriteSectorTrailer() sector %d", s->sector);
    uint8_t pdu[18] = {kWrite, trailerBlock(s->sector)};
    std::memcpy(pdu + 2, kTransportTrailer, 16);
    return send(h, pdu, sizeof pdu);
}

uint16_t goTo(TTagHandler* h, TmfEraseState* s, Step next, Proc proc) {
    TRACE(kProgress, "Format change state 0x%X -> 0x%X, proc 0x%X", s->step, next, static_cast<unsigned>(next));
    s->step = next;
    return proc(h, s);
}

uint16_t fail(TmfEraseState* s, uint16_t cause) {
    TRACE(kErrors, "! Format failed in state %d with error 0x%X", s->step, cause);
    s->step = TMF_FINISHED;
    return cause;
}

void startSearch(TmfEraseState* s, uint8_t first) {
    s->counter = 0;
    s->keyStart = first;
    std::memcpy(s->key, kKeys[first], 6);
}

// Each of the three keys once, from the one the search started with.
bool nextKey(TmfEraseState* s, const char* exhausted) {
    if (s->counter + 1 >= kKeyCount) {
        TRACE(kErrors, "%s", exhausted);
        return false;
    }
    ++s->counter;
    std::memcpy(s->key, kKeys[(s->keyStart + s->counter) % kKeyCount], 6);
    return true;
}

uint16_t retryOrFail(TTagHandler* h, TmfEraseState* s, uint16_t c, const char* exhausted, Proc again) {
    if (c != kCauseAuthFailed) return fail(s, c);
    if (!nextKey(s, exhausted)) return fail(s, kCauseNoKey);
    return again(h, s);
}

bool keepTrailer(TTagHandler* h, TmfEraseState* s) {
    if (!h->rspData || h->rspLength < sizeof s->trailer) {
        TRACE(kErrors, "! Sector trailer answer of %u bytes", static_cast<unsigned>(h->rspLength));
        return false;
    }
    std::memcpy(s->trailer, h->rspData, sizeof s->trailer);
    const uint8_t* t = s->trailer;
    TRACE(kProgress, "Sector trailer %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X",
          t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9], t[10], t[11], t[12], t[13], t[14], t[15]);
    bool a[4], b[4];
    tmfWritableBlocks(t, a, b);
    TRACE(kProgress, "Can write with authA: %d %d %d %d", a[0], a[1], a[2], a[3]);
    TRACE(kProgress, "Can write with authB: %d %d %d %d", b[0], b[1], b[2], b[3]);
    s->blockIndex = 0;
    s->blockCount = dataBlocks(s->sector);
    return true;
}

uint16_t onMadTryNextKey(TTagHandler* h, TmfEraseState* s, uint16_t c) {
    TRACE(kProgress, "onFormatMadTryNextKey() completed, cause 0x%X", c);
    if (c == 0) return goTo(h, s, STEP_READ_MAD_TRAILER, &readTrailer);
    return retryOrFail(h, s, c, "onFormatMadTryNextKey: ! No more keys available", &authenticateA);
}

uint16_t onReadMadSectorTrailer(TTagHandler* h, TmfEraseState* s, uint16_t c) {
    TRACE(kProgress, "onFormatReadMadSectorTrailer() %d completed, cause 0x%X", s->sector, c);
    if (c != 0) return fail(s, c);
    if (!keepTrailer(h, s)) return fail(s, kCauseShortAnswer);
    if (s->trailer[9] == kNdefMadGpb) {
        TRACE(kProgress, "NDEF MAD trailer detected, try first with NDEF key");
        startSearch(s, KEY_NFC);
    } else {
        TRACE(kProgress, "No NDEF MAD trailer detected, try first with transport key");
        startSearch(s, KEY_TRANSPORT);
    }
    return goTo(h, s, STEP_AUTH_WRITE, &authenticateForTrailer);
}

uint16_t onAuthenticateWriteKey(TTagHandler* h, TmfEraseState* s, uint16_t c) {
    TRACE(kProgress, "onAuthenticateWriteKey1() %d completed, cause 0x%X", s->sector, c);
    if (c == 0) {
        if (s->sector == 0) s->blockIndex = 1; // the manufacturer block stays
        return goTo(h, s, STEP_ERASE, &eraseBlock);
    }
    if (!nextKey(s, "onFormatAuthenticateWrite: No more keys available")) return fail(s, kCauseNoKey);
    return authenticateForTrailer(h, s);
}

uint16_t onSectorTryNextKey(TTagHandler* h, TmfEraseState* s, uint16_t c) {
    TRACE(kProgress, "onFormatSectorTryNextKey() completed, cause 0x%X", c);
    if (c == 0) return goTo(h, s, STEP_READ_TRAILER, &readTrailer);
    if (c != kCauseAuthFailed) return fail(s, c);
    if (!nextKey(s, "onFormatSectorTryNextKey: ! No more keys available")) return fail(s, kCauseNoKey);
    return goTo(h, s, STEP_SECTOR_KEY, &authenticateA);
}

uint16_t onReadSectorTrailer(TTagHandler* h, TmfEraseState* s, uint16_t c) {
    TRACE(kProgress, "onFormatReadSectorTrailer() completed, cause 0x%X", c);
    if (c != 0) return fail(s, c);
    if (!keepTrailer(h, s)) return fail(s, kCauseShortAnswer);
    return goTo(h, s, STEP_ERASE, &eraseBlock);
}

uint16_t onEraseSector(TTagHandler* h, TmfEraseState* s, uint16_t c) {
    TRACE(kProgress, "onFormatEraseSector() %d, block %d from %d completed, cause 0x%X", s->sector, s->blockIndex,
          s->blockCount, c);
    if (c != 0) return fail(s, c);
    if (++s->blockIndex < s->blockCount) return goTo(h, s, STEP_ERASE, &eraseBlock);
    TRACE(kProgress, "All normal blocks written");
    return goTo(h, s, STEP_AUTH_TRAILER, &authenticateForTrailer);
}

uint16_t onAuthenticateSectorTrailer(TTagHandler* h, TmfEraseState* s, uint16_t c) {
    TRACE(kProgress, "onAuthenticateSectorTrailer() %d completed, cause 0x%X", s->sector, c);
    if (c != 0) return fail(s, c);
    return goTo(h, s, STEP_WRITE_TRAILER, &writeTrailer);
}

uint16_t onWriteSectorTrailer(TTagHandler* h, TmfEraseState* s, uint16_t c) {
    TRACE(kProgress, "onFormatWriteSectorTrailer() %d completed, cause 0x%X", s->sector, c);
    if (c != 0) return fail(s, c);
    if (++s->sector >= s->sectorCount) {
        s->step = TMF_FINISHED;
        TRACE(kProgress, "# Format completed successfully #");
        return 0;
    }
    startSearch(s, KEY_TRANSPORT);
    if (s->sector == 16) {
        TRACE(kProgress, "Start with MAD2 from Mifare 4K");
        return goTo(h, s, STEP_MAD_KEY, &authenticateA);
    }
    return goTo(h, s, STEP_SECTOR_KEY, &authenticateA);
}

} // namespace

uint16_t tmfSendKept(TTagHandler* h, const uint8_t* pdu, uint16_t size, uint8_t flags) {
    if (size > sizeof h->pdu) return nfcCauseInternalSoftware;
    std::memmove(h->pdu, pdu, size);
    return thSendPdu(h, h->pdu, size, flags, 0);
}

uint8_t tmfSectorCount(uint32_t tagType) {
    switch (tagType & ~uint32_t{TAG_NDEF}) {
    case TAG_MIFARE_S20: return 5;
    case TAG_MIFARE_STD_1K: return 16;
    case TAG_MIFARE_PLUS_2K: return 32;
    case TAG_MIFARE_STD_4K:
    case TAG_MIFARE_PLUS_4K: return 40;
    default: return 0;
    }
}

void tmfWritableBlocks(const uint8_t* t, bool withA[4], bool withB[4]) {
    for (unsigned i = 0; i < 4; ++i) {
        const unsigned c1 = (t[7] >> (4 + i)) & 1u, c2 = (t[8] >> i) & 1u, c3 = (t[8] >> (4 + i)) & 1u;
        const unsigned w = 4 * c1 + 2 * c2 + c3;
        if (i < 3) {
            withA[i] = w == 0;
            withB[i] = w != 1 && w != 2 && w != 7;
        } else {
            withA[i] = w == 1;
            withB[i] = w == 3 || w == 5;
        }
    }
}

uint16_t tmfStart(TTagHandler* h, TmfEraseState* s) {
    *s = TmfEraseState{};
    s->step = STEP_START;
    s->sectorCount = tmfSectorCount(h->tagType);
    if (s->sectorCount == 0) return fail(s, kCauseNoKey);
    startSearch(s, KEY_TRANSPORT);
    return goTo(h, s, STEP_MAD_KEY, &authenticateA);
}

uint16_t tmfAnswer(TTagHandler* h, TmfEraseState* s, uint16_t c) {
    switch (s->step) {
    case STEP_MAD_KEY: return onMadTryNextKey(h, s, c);
    case STEP_READ_MAD_TRAILER: return onReadMadSectorTrailer(h, s, c);
    case STEP_AUTH_WRITE: return onAuthenticateWriteKey(h, s, c);
    case STEP_SECTOR_KEY: return onSectorTryNextKey(h, s, c);
    case STEP_READ_TRAILER: return onReadSectorTrailer(h, s, c);
    case STEP_ERASE: return onEraseSector(h, s, c);
    case STEP_AUTH_TRAILER: return onAuthenticateSectorTrailer(h, s, c);
    case STEP_WRITE_TRAILER: return onWriteSectorTrailer(h, s, c);
    default: TRACE(kErrors, "! unknown format state %d", s->step); return fail(s, kCauseUnknownStep);
    }
}
