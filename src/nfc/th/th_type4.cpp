#include "th/th_type4.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "th/th_frame.h"
#include "util/bytereader.h"
#include "util/stackbytes.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kInfo = T4_TRACE_INFO;
constexpr uint32_t kTagTypeDesfire = TAG_DESFIRE_TYPE4;
constexpr uint32_t kSubtypeT4 = 0x1, kSubtypeDesfire = 0x4000A, kSubtypeEv1 = 0x4000B;
constexpr uint16_t kApduDataLimit = 250;
constexpr uint16_t kInitialMle = 15;
constexpr uint16_t kMinMle = 0x0F, kMinMlc = 0x01;
constexpr uint16_t kMaxIsoAddress = 0x7FFF;   // READ/UPDATE BINARY with bit 15 of P1 P2 clear
constexpr uint16_t kDesfireMaxMlc = 46, kDesfireMaxMle = 59, kIsoBMaxMlc = 57, kMaxMlx = 247;
constexpr uint16_t kCcFileId = 0xE103;
constexpr uint8_t kCcVersionDesfire = 0x10;

const uint8_t kInitialCc[T4_CC_SIZE] = {0x00, 0x0F, 0x20, 0x00, 0x3B, 0x00, 0x34, 0x04,
                                        0x06, 0xE1, 0x04, 0x00, 0x00, 0x00, 0x00};
const uint8_t kAppName10[] = {0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x00};
const uint8_t kAppName20[] = {0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01};
const uint8_t kAidDesfire[] = {0x10, 0xEE, 0xEE};
const uint8_t kAidEv1[] = {0x01, 0x00, 0x00};
const uint8_t kAidPicc[] = {0x00, 0x00, 0x00};

// CC image fields.
enum : unsigned { kCcVersion = 2, kCcMle = 3, kCcMlc = 5, kCcTlvType = 7, kCcTlvLength = 8, kCcFile = 9, kCcSize = 11,
                  kCcRead = 13, kCcWrite = 14 };

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void putBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void putLe24(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}

bool isDesfire(const TTagHandler* h) { return (h->tagType & ~uint32_t{TAG_NDEF}) == kTagTypeDesfire; }
bool isEv1(TTagHandler* h) { return t4Of(h).kind == T4_KIND_EV1; }
const uint8_t* appName(TTagHandler* h) { return t4Of(h).versionIndex ? kAppName20 : kAppName10; }
uint16_t selectP1P2(TTagHandler* h) { return t4Of(h).versionIndex ? 0x000C : 0x0000; }
uint16_t ndefFileId(TTagHandler* h) { return be16(t4Of(h).cc + kCcFile); }
uint8_t desfireNdefFile(TTagHandler* h) { return isEv1(h) ? 2 : static_cast<uint8_t>(ndefFileId(h)); }
uint8_t desfireCcFile(TTagHandler* h) { return isEv1(h) ? 1 : 3; }

// ---- States ---------------------------------------------------------------------------------
uint32_t t4StateIdle(TStateMachine* m, uint16_t event);
uint32_t t4StateCheckNdef(TStateMachine* m, uint16_t event);
uint32_t t4StateNdefTag(TStateMachine* m, uint16_t event);
uint32_t t4StateLegacyTag(TStateMachine* m, uint16_t event);
uint32_t t4StateRead(TStateMachine* m, uint16_t event);
uint32_t t4StateReadCheck(TStateMachine* m, uint16_t event);
uint32_t t4StateWriteInit(TStateMachine* m, uint16_t event);
uint32_t t4StateWriteData(TStateMachine* m, uint16_t event);
uint32_t t4StateWaitForNextWrite(TStateMachine* m, uint16_t event);
uint32_t t4StateWriteFinalize(TStateMachine* m, uint16_t event);
uint32_t t4StateFormatCheckTag(TStateMachine* m, uint16_t event);
uint32_t t4StateFormat(TStateMachine* m, uint16_t event);
uint32_t t4StateFormatWipeMemory(TStateMachine* m, uint16_t event);
uint32_t t4StateTest(TStateMachine* m, uint16_t event);
uint32_t t4StateSetReadonly(TStateMachine* m, uint16_t event);
uint32_t t4DefaultHandler(TStateMachine* m, uint16_t event);

const SmStateEntry kStates[] = {
    {&t4StateIdle, "t4StateIdle"},
    {&t4StateCheckNdef, "t4StateCheckNdef"},
    {&t4StateNdefTag, "t4StateNdefTag"},
    {&t4StateLegacyTag, "t4StateLegacyTag"},
    {&t4StateRead, "t4StateRead"},
    {&t4StateReadCheck, "t4StateReadCheck"},
    {&t4StateWriteInit, "t4StateWriteInit"},
    {&t4StateWriteData, "t4StateWriteData"},
    {&t4StateWaitForNextWrite, "t4StateWaitForNextWrite"},
    {&t4StateWriteFinalize, "t4StateWriteFinalize"},
    {&t4StateFormatCheckTag, "t4StateFormatCheckTag"},
    {&t4StateFormat, "t4StateFormat"},
    {&t4StateFormatWipeMemory, "t4StateFormatWipeMemory"},
    {&t4StateLegacyFormat, "t4StateLegacyFormat"},
    {&t4StateTest, "t4StateTest"},
    {&t4StateSetReadonly, "t4StateSetReadonly"},
    {&t4DefaultHandler, "t4DefaultHandler"},
};

void t4ForgetContent(TTagHandler* h);

// Format and erase are chosen by the format choice, not by the shared dispatch.
const ThFamilyStates kFamily = {&t4StateIdle,       &t4StateNdefTag, &t4StateLegacyTag, &t4StateCheckNdef,
                                &t4StateRead,       &t4StateWriteInit, nullptr,         nullptr,
                                &t4StateTest,       &t4StateSetReadonly, nullptr,       &t4ForgetContent};

// ---- Senders --------------------------------------------------------------------------------
uint16_t sendNative(TTagHandler* h, uint8_t ins, const uint8_t* data = nullptr, uint16_t length = 0) {
    return t4SendApdu(h, 0x90, ins, 0x0000, data, length);
}

uint16_t sendSelectPicc(TTagHandler* h) {
    TRACE(kInfo, "%s NAT select PICC app", t4Prefix());
    return sendNative(h, 0x5A, kAidPicc, sizeof kAidPicc);
}
uint16_t sendGetVersion(TTagHandler* h) {
    TRACE(kInfo, "%s NAT get version", t4Prefix());
    return sendNative(h, 0x60);
}
uint16_t sendAdditionalFrame(TTagHandler* h) {
    TRACE(kInfo, "%s NAT get additional frame", t4Prefix());
    return sendNative(h, 0xAF);
}
uint16_t sendNatSelectNfcApp(TTagHandler* h) {
    TRACE(kInfo, "%s NAT select NFC app", t4Prefix());
    return sendNative(h, 0x5A, isEv1(h) ? kAidEv1 : kAidDesfire, 3);
}
uint16_t sendCreateNfcApp(TTagHandler* h) {
    TRACE(kInfo, "%s NAT create NFC app", t4Prefix());
    uint8_t d[7 + sizeof kAppName20];
    if (!isEv1(h)) {
        const uint8_t desfire[] = {0x10, 0xEE, 0xEE, 0x0F, 0x01};
        return sendNative(h, 0xCA, desfire, sizeof desfire);
    }
    const uint8_t head[] = {0x01, 0x00, 0x00, 0x0F, 0x21, 0x05, 0xE1};
    std::memcpy(d, head, sizeof head);
    std::memcpy(d + sizeof head, appName(h), sizeof kAppName20);
    return sendNative(h, 0xCA, d, sizeof d);
}
uint16_t sendCreateCcFile(TTagHandler* h) {
    TRACE(kInfo, "%s NAT create CC file", t4Prefix());
    const uint8_t desfire[] = {0x03, 0x00, 0xEF, 0xEE, 0x0F, 0x00, 0x00};
    const uint8_t ev1[] = {0x01, 0x03, 0xE1, 0x00, 0xEE, 0xEE, 0x0F, 0x00, 0x00};
    return isEv1(h) ? sendNative(h, 0xCD, ev1, sizeof ev1) : sendNative(h, 0xCD, desfire, sizeof desfire);
}
uint16_t sendCreateNdefFile(TTagHandler* h) {
    const uint32_t size = h->formatSize;
    TRACE(kInfo, "%s NAT create NDEF file, size = %d", t4Prefix(), static_cast<int>(size));
    uint8_t d[9];
    size_t n = 0;
    if (isEv1(h)) {
        const uint8_t head[] = {0x02, 0x04, 0xE1, 0x00, 0xEE, 0xEE};
        std::memcpy(d, head, sizeof head);
        n = sizeof head;
    } else {
        const uint8_t head[] = {0x04, 0x00, 0xEF, 0xEE};
        std::memcpy(d, head, sizeof head);
        n = sizeof head;
    }
    putLe24(d + n, size);
    return sendNative(h, 0xCD, d, static_cast<uint16_t>(n + 3));
}

// The limits the CC image sets: MLe and MLc capped for what the tag's frames carry.
void applyLimits(TTagHandler* h) {
    T4Family& f = t4Of(h);
    f.mle = be16(f.cc + kCcMle);
    f.mlc = be16(f.cc + kCcMlc);
    const uint32_t technology = h->tagType & ~uint32_t{TAG_NDEF};
    const uint16_t mlcCap = technology == TAG_14443B ? kIsoBMaxMlc : technology == kTagTypeDesfire ? kDesfireMaxMlc : kMaxMlx;
    if (f.mlc > mlcCap && mlcCap != kMaxMlx) {
        f.mlc = mlcCap;
        TRACE(kInfo, "%s   WORKAROUND - Reduce max write to %d", t4Prefix(), f.mlc);
    }
    // Native reads come back in frames of at most 59 bytes.
    const uint16_t mleCap = technology == kTagTypeDesfire ? kDesfireMaxMle : kMaxMlx;
    if (f.mle > mleCap) {
        f.mle = mleCap;
        TRACE(kInfo, "%s   WORKAROUND - Reduce max read to %d", t4Prefix(), f.mle);
    }
    f.mlc = std::min(f.mlc, kMaxMlx);
}

// The NDEF capacity of a file of this size: only what the tag's read and write commands address.
uint32_t capacityOf(TTagHandler* h, uint32_t fileSize) {
    if (!isDesfire(h)) fileSize = std::min<uint32_t>(fileSize, kMaxIsoAddress + 1u);
    return fileSize >= 2 ? fileSize - 2 : 0;
}

uint16_t sendWriteCc(TTagHandler* h) {
    TRACE(kInfo, "%s NAT write CC file", t4Prefix());
    T4Family& f = t4Of(h);
    if (!isEv1(h)) f.cc[kCcVersion] = kCcVersionDesfire;
    // The handler goes on with the limits it writes.
    applyLimits(h);
    h->maxNdefSize = capacityOf(h, be16(f.cc + kCcSize));
    uint8_t d[7 + T4_CC_SIZE] = {desfireCcFile(h), 0, 0, 0, T4_CC_SIZE, 0, 0};
    std::memcpy(d + 7, f.cc, T4_CC_SIZE);
    return sendNative(h, 0x3D, d, sizeof d);
}
uint16_t sendNatRead(TTagHandler* h, uint8_t file, uint32_t offset, uint32_t length) {
    uint8_t d[7] = {file};
    putLe24(d + 1, offset);
    putLe24(d + 4, length);
    return sendNative(h, 0xBD, d, sizeof d);
}
uint16_t sendNatReadCc(TTagHandler* h) {
    TRACE(kInfo, "%s NAT read CC file", t4Prefix());
    return sendNatRead(h, desfireCcFile(h), 0, T4_CC_SIZE);
}
uint16_t sendNatReadNdefLength(TTagHandler* h) {
    TRACE(kInfo, "%s NAT read NDEF length", t4Prefix());
    return sendNatRead(h, desfireNdefFile(h), 0, 2);
}
uint16_t sendSelectNfcApp(TTagHandler* h) {
    TRACE(kInfo, "%s select NFC app", t4Prefix());
    return t4SendApdu(h, 0x00, 0xA4, 0x0400, appName(h), sizeof kAppName20);
}
uint16_t sendSelectFile(TTagHandler* h, uint16_t id) {
    uint8_t d[2];
    putBe16(d, id);
    return t4SendApdu(h, 0x00, 0xA4, selectP1P2(h), d, sizeof d);
}
uint16_t sendSelectCc(TTagHandler* h) {
    TRACE(kInfo, "%s select CC file", t4Prefix());
    return sendSelectFile(h, kCcFileId);
}
uint16_t sendSelectNdef(TTagHandler* h) {
    TRACE(kInfo, "%s select NDEF file", t4Prefix());
    return sendSelectFile(h, ndefFileId(h));
}
uint16_t sendReadCc(TTagHandler* h) {
    TRACE(kInfo, "%s Read CC file", t4Prefix());
    return t4SendApdu(h, 0x00, 0xB0, 0x0000, nullptr, 0, T4_CC_SIZE);
}
uint16_t sendReadNdefSize(TTagHandler* h) {
    TRACE(kInfo, "%s read NDEF size", t4Prefix());
    return t4SendApdu(h, 0x00, 0xB0, 0x0000, nullptr, 0, 2);
}

// A read or write of the NDEF file at a file address, by the tag's command set.
uint16_t sendFileRead(TTagHandler* h, uint32_t address, uint32_t length) {
    if (isDesfire(h)) return sendNatRead(h, desfireNdefFile(h), address, length);
    return t4SendApdu(h, 0x00, 0xB0, static_cast<uint16_t>(address), nullptr, 0, static_cast<int>(length));
}
uint16_t sendFileWrite(TTagHandler* h, uint32_t address, const uint8_t* data, uint32_t length) {
    if (!isDesfire(h)) return t4SendApdu(h, 0x00, 0xD6, static_cast<uint16_t>(address), data, static_cast<uint16_t>(length));
    uint8_t d[7 + kApduDataLimit] = {desfireNdefFile(h)};
    if (length > kApduDataLimit) return nfcCauseInputTooBig;
    putLe24(d + 1, address);
    putLe24(d + 4, length);
    if (length) std::memcpy(d + 7, data, length);
    return sendNative(h, 0x3D, d, static_cast<uint16_t>(7 + length));
}
// Whether a chunk fits into one APDU of the tag's command set.
bool fitsApdu(TTagHandler* h, uint32_t chunk, bool write) {
    const uint32_t overhead = isDesfire(h) ? (write ? 13 : 0) : 6;
    return !overhead || chunk + overhead < 256;
}

// The NDEF length the tag holds once it has confirmed the write.
uint16_t sendNlen(TTagHandler* h, uint32_t value) {
    TRACE(kInfo, "%s updating NDEF size to %d", t4Prefix(), static_cast<int>(value));
    t4Of(h).sentNlen = value;
    uint8_t d[2];
    putBe16(d, value);
    return sendFileWrite(h, 0, d, sizeof d);
}
uint16_t sendNlenZero(TTagHandler* h) { return sendNlen(h, 0); }

// ---- Checkers -------------------------------------------------------------------------------
uint16_t checkSw(TTagHandler* h) { return t4CheckStatus(h); }

uint16_t found(TTagHandler* h, uint8_t flags, const char* missing) {
    if (t4CheckStatus(h) != nfcCauseOk) {
        TRACE(TRC_ERROR, "%s %s", t4Prefix(), missing);
        return nfcCauseNotNfcForumTag;
    }
    T4Family& f = t4Of(h);
    if (flags & T4_FOUND_CC_SELECTED) f.found &= static_cast<uint8_t>(~T4_FOUND_NDEF_SELECTED);
    if (flags & T4_FOUND_NDEF_SELECTED) f.found &= static_cast<uint8_t>(~T4_FOUND_CC_SELECTED);
    f.found |= flags;
    return nfcCauseOk;
}
uint16_t checkAppFound(TTagHandler* h) {
    return found(h, T4_FOUND_APPLICATION | T4_FOUND_APP_SELECTED, "NFC application not found");
}
uint16_t checkCcFound(TTagHandler* h) { return found(h, T4_FOUND_CC_SELECTED, "CC file not found"); }
uint16_t checkNdefFound(TTagHandler* h) { return found(h, T4_FOUND_NDEF_SELECTED, "NDEF file not found"); }

uint16_t checkPiccFound(TTagHandler* h) {
    if (t4CheckStatus(h) == nfcCauseOk) return nfcCauseOk;
    TRACE(TRC_ERROR, "%s PICC application not found", t4Prefix());
    return nfcCauseNotImplemented;
}

// A GetVersion frame: seven bytes and the status words.
bool versionFrame(TTagHandler* h, const char* what, uint16_t* version, uint8_t* sizeByte) {
    CByteReader r(h->rspData, h->rspLength);
    const uint8_t* b = nullptr;
    if (h->rspLength < 9 || !r.take(7, b)) {
        TRACE(TRC_ERROR, "%s ! invalid response length %d", t4Prefix(), static_cast<int>(h->rspLength));
        return false;
    }
    if (b[0] != 0x04) TRACE(TRC_ERROR, "%s ! WARNING Manufacturer code %#x is not NXP", t4Prefix(), b[0]);
    *version = static_cast<uint16_t>(b[3] << 8 | b[4]);
    *sizeByte = b[5];
    if (b[6] != 5) TRACE(TRC_ERROR, "%s ! WARNING Unknown %s protocol %#x", t4Prefix(), what, b[6]);
    return true;
}

uint16_t checkHardwareInfo(TTagHandler* h) {
    if (const uint16_t c = t4CheckStatus(h)) return c;
    uint8_t size = 0;
    if (!versionFrame(h, "hardware", &t4Of(h).hardwareVersion, &size)) return nfcCauseInvalidData;
    h->physicalSize = 1u << ((size >> 1) & 0x1F);
    TRACE(kInfo, "%s found tag size = %d", t4Prefix(), static_cast<int>(h->physicalSize));
    return nfcCauseOk;
}

uint16_t checkSoftwareInfo(TTagHandler* h) {
    if (const uint16_t c = t4CheckStatus(h)) return c;
    T4Family& f = t4Of(h);
    uint8_t size = 0;
    if (!versionFrame(h, "software", &f.softwareVersion, &size)) return nfcCauseInvalidData;
    if (f.hardwareVersion == 0x0100 && f.softwareVersion > 0x0102) {
        TRACE(kInfo, "%s Found DESFire EV1 tag", t4Prefix());
        f.kind = T4_KIND_EV1;
        h->tagSubtype = kSubtypeEv1;
    } else {
        f.kind = T4_KIND_DESFIRE;
        h->tagSubtype = kSubtypeDesfire;
    }
    uint32_t reserve = 0;
    if (f.kind == T4_KIND_EV1 && h->physicalSize == 8192) reserve = 512;
    else if (f.kind == T4_KIND_DESFIRE && h->physicalSize == 4096) reserve = 288;
    const uint32_t p = h->physicalSize;
    if (p != 1024 && p != 2048 && p != 4096 && p != 8192)
        TRACE(TRC_ERROR, "%s ! WARNING Unsupported tag size %d", t4Prefix(), static_cast<int>(p));
    // A size byte that announces next to nothing leaves no room rather than a wrapped one.
    h->maxNdefSize = p > reserve + 2 ? p - reserve - 2 : 0;
    TRACE(kInfo, "%s Max NDEF size (total) = %d", t4Prefix(), static_cast<int>(h->maxNdefSize));
    return nfcCauseOk;
}

uint16_t invalidCc(const char* format, int value, int expected = 0) {
    TRACE(TRC_ERROR, format, t4Prefix(), value, expected);
    return nfcCauseInvalidData;
}

uint16_t checkCcParse(TTagHandler* h) {
    if (const uint16_t c = t4CheckStatus(h)) return c;
    if (h->rspLength <= 16) {
        TRACE(TRC_ERROR, "%s ! unexpected response length = %d", t4Prefix(), static_cast<int>(h->rspLength));
        return nfcCauseInvalidData;
    }
    T4Family& f = t4Of(h);
    f.found |= T4_FOUND_CC;
    std::memcpy(f.cc, h->rspData, T4_CC_SIZE);
    const uint8_t version = f.cc[kCcVersion];
    const uint8_t expected = f.versionIndex ? 0x20 : 0x10;
    TRACE(kInfo, "%s   CC version = 0x%X", t4Prefix(), version);
    if (version != expected)
        TRACE(TRC_ERROR, "%s ! WARNING: CC version %#x doesn't match technology version %#x ", t4Prefix(), version, expected);
    if (version > 0x2F) {
        TRACE(TRC_ERROR, "%s ! Incompatible document version = %d.%d instead of %d.%d", t4Prefix(), version >> 4,
              version & 0xF, 2, 0);
        return nfcCauseVersionMismatch;
    }
    const uint16_t mle = be16(f.cc + kCcMle), mlc = be16(f.cc + kCcMlc);
    TRACE(kInfo, "%s   CC mle (max read) = %d", t4Prefix(), mle);
    TRACE(kInfo, "%s   CC mlc (max write) = %d", t4Prefix(), mlc);
    // A CC that fails a check describes no usable NDEF file: the step fails.
    if (mle < kMinMle) return invalidCc("%s ! wrong MLe %d, at least %d", mle, kMinMle);
    if (mlc < kMinMlc) return invalidCc("%s ! wrong MLc %d, at least %d", mlc, kMinMlc);
    if (f.cc[kCcTlvType] != 4) return invalidCc("%s ! wrong TLV type %d, expected %d", f.cc[kCcTlvType], 4);
    if (f.cc[kCcTlvLength] != 6) return invalidCc("%s ! wrong TLV length %d, expected %d", f.cc[kCcTlvLength], 6);
    const uint16_t fileSize = be16(f.cc + kCcSize);
    if (fileSize < 5 || fileSize > 0xFFFE) return invalidCc("%s ! wrong NDEF size %d", fileSize);
    if (f.cc[kCcRead] != 0x00) return invalidCc("%s ! illegal read access value 0x%.02X", f.cc[kCcRead]);
    h->maxNdefSize = capacityOf(h, fileSize);
    TRACE(kInfo, "%s   CC NDEF file size = %d", t4Prefix(), fileSize);
    const uint8_t write = f.cc[kCcWrite];
    if (write != 0x00 && write != 0xFF) TRACE(TRC_ERROR, "%s ! illegal write access value 0x%.02X", t4Prefix(), write);
    h->access = static_cast<uint16_t>((h->access & TH_ACCESS_FORMATTABLE) | TH_ACCESS_READ |
                                      (write == 0x00 ? TH_ACCESS_WRITE : 0));
    TRACE(kInfo, "%s   CC write access = %d", t4Prefix(), write == 0x00 ? 1 : 0);
    const uint16_t id = ndefFileId(h);
    if ((id == 0x0000 && f.versionIndex) || id == 0x3F00 || id == 0x3FFF || id == 0xFFFF)
        TRACE(TRC_ERROR, "%s ! illegal file id 0x%X", t4Prefix(), id);
    else TRACE(kInfo, "%s   CC NDEF file id = 0x%X", t4Prefix(), id);
    applyLimits(h);
    return nfcCauseOk;
}

uint16_t checkNdefSize(TTagHandler* h) {
    if (const uint16_t c = t4CheckStatus(h)) return c;
    CByteReader r(h->rspData, h->rspLength);
    uint16_t nlen = 0;
    if (h->rspLength < 4 || !r.u16be(nlen)) {
        TRACE(TRC_ERROR, "%s ! unexpected response length = %d", t4Prefix(), static_cast<int>(h->rspLength));
        return nfcCauseInvalidData;
    }
    TRACE(kInfo, "%s NDEF size = %d", t4Prefix(), nlen);
    if (nlen > h->maxNdefSize) {
        TRACE(TRC_ERROR, "%s ! NDEF size %d above the capacity %d", t4Prefix(), nlen, static_cast<int>(h->maxNdefSize));
        return nfcCauseInvalidData;
    }
    t4Of(h).found |= T4_FOUND_NDEF_LENGTH;
    h->currentNdefSize = nlen;
    return nfcCauseOk;
}

uint16_t checkCreate(TTagHandler* h) {
    const uint16_t c = t4CheckStatus(h);
    if (c && t4Of(h).lastDesfireStatus == 0xDE) {
        TRACE(kInfo, "%s File already exists, continuing", t4Prefix());
        return nfcCauseOk;
    }
    return c;
}

uint16_t checkNlen(TTagHandler* h) {
    const uint16_t c = t4CheckStatus(h);
    if (!c) h->currentNdefSize = t4Of(h).sentNlen;
    return c;
}

uint16_t checkNlenZero(TTagHandler* h) {
    const uint16_t c = checkNlen(h);
    if (c) TRACE(TRC_ERROR, "%s ! failed to write empty NDEF file", t4Prefix());
    return c;
}

// ---- Detection chart ------------------------------------------------------------------------
struct ChartRow {
    uint32_t step;
    T4Step exchange;
};
const ChartRow kIsoChart[] = {{2, {&sendSelectNfcApp, &checkAppFound}},
                              {6, {&sendSelectCc, &checkCcFound}},
                              {7, {&sendReadCc, &checkCcParse}},
                              {8, {&sendSelectNdef, &checkNdefFound}},
                              {9, {&sendReadNdefSize, &checkNdefSize}}};
const ChartRow kDesfireChart[] = {{1, {&sendSelectPicc, &checkSw}},
                                  {3, {&sendGetVersion, &checkHardwareInfo}},
                                  {4, {&sendAdditionalFrame, &checkSoftwareInfo}},
                                  {5, {&sendAdditionalFrame, &checkSw}},
                                  {2, {&sendNatSelectNfcApp, &checkAppFound}},
                                  {7, {&sendNatReadCc, &checkCcParse}},
                                  {9, {&sendNatReadNdefLength, &checkNdefSize}}};
const ChartRow kEv1Chart[] = {{1, {&sendSelectPicc, &checkSw}},
                              {3, {&sendGetVersion, &checkHardwareInfo}},
                              {4, {&sendAdditionalFrame, &checkSoftwareInfo}},
                              {5, {&sendAdditionalFrame, &checkSw}},
                              {2, {&sendNatSelectNfcApp, &checkAppFound}},
                              {7, {&sendNatReadCc, &checkCcParse}},
                              {8, {&sendSelectNdef, &checkNdefFound}},
                              {9, {&sendReadNdefSize, &checkNdefSize}}};
constexpr uint32_t kChartDone = 10;

struct Chart {
    const ChartRow* rows;
    size_t count;
};
Chart chartOf(uint32_t kind) {
    switch (kind) {
    case T4_KIND_ISO: return {kIsoChart, std::size(kIsoChart)};
    case T4_KIND_DESFIRE: return {kDesfireChart, std::size(kDesfireChart)};
    case T4_KIND_EV1: return {kEv1Chart, std::size(kEv1Chart)};
    default: return {nullptr, 0};
    }
}

// The row of the current step in the chart of the current kind; the chart is chosen afresh, so a
// DESFire found to be an EV1 goes on in the EV1 column.
const ChartRow* currentRow(TTagHandler* h) {
    const Chart c = chartOf(t4Of(h).kind);
    for (size_t i = 0; i < c.count; ++i)
        if (c.rows[i].step == t4Of(h).step) return &c.rows[i];
    return nullptr;
}

uint32_t nextStep(TTagHandler* h) {
    const Chart c = chartOf(t4Of(h).kind);
    if (!c.count) return kChartDone;
    if (t4Of(h).step == 0) return c.rows[0].step;
    for (size_t i = 0; i + 1 < c.count; ++i)
        if (c.rows[i].step == t4Of(h).step) return c.rows[i + 1].step;
    return kChartDone;
}

const char* kindName(TTagHandler* h) { return t4Of(h).kind == T4_KIND_ISO ? "ISO" : "DESFire"; }

uint32_t detectionFailed(TStateMachine* m, uint16_t cause) {
    T4Family& f = t4Of(thOf(m));
    if (f.versionIndex == 1) {
        f.versionIndex = 0;
        return thChangeTo(m, &t4StateCheckNdef);
    }
    f.versionIndex = 1;
    return t4Finish(m, cause);
}

uint32_t detectionAdvance(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    if (f.kind > T4_KIND_EV1) {
        TRACE(TRC_ERROR, "%s ! Unknown T4 tag type %#x", t4Prefix(), f.kind);
        return t4Finish(m, nfcCauseWrongState);
    }
    f.step = nextStep(h);
    if (f.step == kChartDone) return t4Finish(m, nfcCauseOk);
    const ChartRow* row = currentRow(h);
    if (const uint16_t c = row->exchange.send(h)) return detectionFailed(m, c);
    return SM_DONE;
}

uint32_t t4StateCheckNdef(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kInfo, "%s starting NFC v%d detection", t4Prefix(), f.versionIndex + 1);
        f.step = 0;
        f.found = 0;
        return detectionAdvance(m);
    case EV_SM_EXIT: f.ndefChecked = true; return SM_DONE;
    case EV_TH_TRANSACTION_IND: {
        const ChartRow* row = currentRow(h);
        if (!row) {
            TRACE(TRC_ERROR, "%s ! Wrong state %#X for %s tags", t4Prefix(), f.step, kindName(h));
            return t4Finish(m, nfcCauseWrongState);
        }
        if (const uint16_t c = row->exchange.check(h)) return detectionFailed(m, c);
        return detectionAdvance(m);
    }
    case EV_TH_TRANSACTION_ERROR_IND: f.versionIndex = 1; return t4Finish(m, h->cause);
    default:
        if (event >= EV_TH_CMD_CHECK_NDEF && event <= EV_TH_CMD_MAGIC) return SM_NOT_HANDLED;
        TRACE(TRC_ERROR, "%s ! Unexpected event %#X in state 0x%X (%s)", t4Prefix(), event, f.step, kindName(h));
        return detectionFailed(m, nfcCauseInvalidData);
    }
}

// ---- Step lists (format check and format) ---------------------------------------------------
void listClear(TTagHandler* h) {
    t4Of(h).stepCount = 0;
    t4Of(h).stepIndex = 0;
}
void listAdd(TTagHandler* h, T4Step step) {
    T4Family& f = t4Of(h);
    // The longest list the format builds has nine pairs.
    if (f.stepCount >= T4_MAX_STEPS) {
        TRACE(TRC_ERROR, "%s ! step list full", t4Prefix());
        return;
    }
    f.steps[f.stepCount++] = step;
}
// Sends the current step: 0 when it went out, else the cause; listDone when none is left.
constexpr uint16_t kListDone = 0xFFFF;
uint16_t listSend(TTagHandler* h) {
    T4Family& f = t4Of(h);
    if (f.stepIndex >= f.stepCount) return kListDone;
    return f.steps[f.stepIndex].send(h);
}
// Checks the answer of the current step and moves on when it passed.
uint16_t listCheck(TTagHandler* h) {
    T4Family& f = t4Of(h);
    if (f.stepIndex >= f.stepCount) return nfcCauseWrongState;
    const uint16_t c = f.steps[f.stepIndex].check(h);
    if (c == nfcCauseOk) ++f.stepIndex;
    return c;
}

// ---- Activation and resting states ----------------------------------------------------------
uint32_t t4StateIdle(TStateMachine* m, uint16_t event) {
    if (event != EV_TH_DEVICE_IND) return SM_NOT_HANDLED;
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    f.versionIndex = 1;
    if (isDesfire(h)) {
        f.kind = T4_KIND_DESFIRE;
        h->tagSubtype = kSubtypeDesfire;
    } else {
        f.kind = T4_KIND_ISO;
        h->tagSubtype = kSubtypeT4;
    }
    if (!thIdentify(h, 4, nfcmanP2pRawMode() ? 10 : 7)) return SM_DONE;
    h->confirm(h, TH_DEVICE_CONF, nfcCauseOk, 0);
    return thChangeTo(m, &t4StateLegacyTag);
}

uint32_t formatChoice(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    if (h->formatFlags & TH_FORMAT_ERASE) return thChangeTo(m, &t4StateLegacyFormat);
    if (isDesfire(h) && !t4Of(h).ndefChecked) return thChangeTo(m, &t4StateFormatCheckTag);
    return thChangeTo(m, &t4StateFormat);
}

uint32_t t4StateNdefTag(TStateMachine* m, uint16_t event) {
    if (event == EV_TH_CMD_FORMAT || event == EV_TH_CMD_FORMAT_ERASE) return formatChoice(m);
    return thDispatchCommand(m, event, kFamily);
}

uint32_t t4StateLegacyTag(TStateMachine* m, uint16_t event) {
    switch (event) {
    case EV_TH_CMD_FORMAT:
    case EV_TH_CMD_FORMAT_ERASE: return formatChoice(m);
    case EV_TH_CMD_CHECK_NDEF:
    case EV_TH_CMD_TEST: return thDispatchCommand(m, event, kFamily);
    default: return SM_NOT_HANDLED;
    }
}

// ---- Read -----------------------------------------------------------------------------------
uint32_t readNextChunk(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    const uint32_t left = f.requested - h->command.delivered;
    if (left == 0)
        return thReadServed(m, f.moreData ? nfcCauseTagBufferTooSmall : nfcCauseOk, h->exchanges != 0, &t4StateReadCheck,
                            kFamily);
    const uint32_t chunk = std::min<uint32_t>({left, f.mle, f.apduLimit});
    if (chunk == 0) return t4Finish(m, nfcCauseInternalSoftware);
    if (f.address > kMaxIsoAddress) return t4Finish(m, nfcCauseInvalidData);
    if (!fitsApdu(h, chunk, false)) return t4Finish(m, nfcCauseInputTooBig);
    TRACE(kInfo, "%s read, address = %d, size = %d", t4Prefix(), static_cast<int>(f.address), static_cast<int>(chunk));
    f.chunk = chunk;
    if (const uint16_t c = sendFileRead(h, f.address, chunk)) return t4Finish(m, c);
    return SM_DONE;
}

// The answer to a read of the chunk in flight: exactly its bytes and the status words.
uint16_t checkChunk(TTagHandler* h) {
    if (h->rspLength != t4Of(h).chunk + 2) {
        TRACE(TRC_ERROR, "%s ! unexpected response length = %d", t4Prefix(), static_cast<int>(h->rspLength));
        return nfcCauseInvalidData;
    }
    return t4CheckStatus(h);
}

uint32_t t4StateRead(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    switch (event) {
    case EV_SM_ENTRY: {
        h->command.delivered = 0;
        const uint64_t end = uint64_t{h->currentNdefSize} + 2;
        const uint64_t address = std::min<uint64_t>(uint64_t{h->command.offset} + 2, end);
        const uint64_t length = std::min<uint64_t>(h->command.size, end - address);
        f.address = static_cast<uint32_t>(address);
        f.requested = static_cast<uint32_t>(length);
        f.moreData = address + length < end;
        return readNextChunk(m);
    }
    case EV_TH_TRANSACTION_IND: {
        if (const uint16_t c = checkChunk(h)) return t4Finish(m, c);
        std::memcpy(h->command.buffer + h->command.delivered, h->rspData, f.chunk);
        h->command.delivered += f.chunk;
        f.address += f.chunk;
        return readNextChunk(m);
    }
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t4StateReadCheck(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        t4Of(h).chunk = 1;
        if (const uint16_t c = sendFileRead(h, 0, 1)) return t4Finish(m, c);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: return thSignOfLife(m, checkChunk(h), kFamily);
    default: return SM_NOT_HANDLED;
    }
}

// ---- Write ----------------------------------------------------------------------------------
uint32_t t4StateWriteInit(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        h->command.delivered = 0;
        t4Of(h).written = 0;
        if (const uint16_t c = thRefusePart(h, 0, h->command.size, false)) return t4Finish(m, c);
        if (const uint16_t c = sendNlenZero(h)) return t4Finish(m, c);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t c = checkNlen(h)) return t4Finish(m, c);
        return thChangeTo(m, &t4StateWriteData);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t writeNextChunk(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    const uint32_t left = h->command.size - h->command.delivered;
    if (left == 0) return thChangeTo(m, h->command.final ? &t4StateWriteFinalize : &t4StateWaitForNextWrite);
    const uint32_t chunk = std::min<uint32_t>({left, f.mlc, f.apduLimit});
    if (chunk == 0) return t4Finish(m, nfcCauseInternalSoftware);
    const uint32_t address = 2 + f.written;
    if (address > kMaxIsoAddress) return t4Finish(m, nfcCauseInvalidData);
    if (!fitsApdu(h, chunk, true)) return t4Finish(m, nfcCauseInputTooBig);
    TRACE(kInfo, "%s write, address = %d, size = %d", t4Prefix(), static_cast<int>(address), static_cast<int>(chunk));
    f.chunk = chunk;
    if (const uint16_t c = sendFileWrite(h, address, h->command.data + h->command.delivered, chunk)) return t4Finish(m, c);
    return SM_DONE;
}

uint32_t t4StateWriteData(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    switch (event) {
    case EV_SM_ENTRY: h->command.delivered = 0; return writeNextChunk(m);
    case EV_TH_TRANSACTION_IND:
        if (const uint16_t c = t4CheckStatus(h)) return t4Finish(m, c);
        h->command.delivered += f.chunk;
        f.written += f.chunk;
        return writeNextChunk(m);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t4StateWaitForNextWrite(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY: thSendTransactionIndication(h, nfcCauseOk); return SM_DONE;
    case EV_TH_CMD_WRITE:
        if (const uint16_t c = thRefusePart(h, t4Of(h).written, h->command.size, false)) {
            h->command.delivered = 0;
            return t4Finish(m, c);
        }
        return thChangeTo(m, &t4StateWriteData);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t4StateWriteFinalize(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        if (const uint16_t c = sendNlen(h, t4Of(h).written)) return t4Finish(m, c);
        return SM_DONE;
    case EV_TH_TRANSACTION_IND: return t4Finish(m, checkNlen(h));
    default: return SM_NOT_HANDLED;
    }
}

// ---- Format ---------------------------------------------------------------------------------
bool makerIsNxp(const TTagHandler* h) { return (h->tagSubtype >> 16) == 4; }

void buildCheckList(TTagHandler* h) {
    const uint8_t found = t4Of(h).found;
    listClear(h);
    if (!(found & T4_FOUND_APPLICATION)) {
        listAdd(h, {&sendSelectPicc, &checkPiccFound});
        if (makerIsNxp(h)) {
            listAdd(h, {&sendGetVersion, &checkHardwareInfo});
            listAdd(h, {&sendAdditionalFrame, &checkSoftwareInfo});
            listAdd(h, {&sendAdditionalFrame, &checkSw});
        }
    }
    listAdd(h, {&sendNatSelectNfcApp, &checkAppFound});
    if (!(found & T4_FOUND_CC)) listAdd(h, {&sendNatReadCc, &checkCcParse});
    if (!(found & T4_FOUND_NDEF_LENGTH)) listAdd(h, {&sendNatReadNdefLength, &checkNdefSize});
}

uint32_t t4StateFormatCheckTag(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    uint16_t c = 0;
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kInfo, "%s DESFire tag, checking for needed files", t4Prefix());
        buildCheckList(h);
        c = listSend(h);
        break;
    case EV_TH_TRANSACTION_IND:
        c = listCheck(h);
        if (c == nfcCauseOk) c = listSend(h);
        break;
    default: return SM_NOT_HANDLED;
    }
    if (c == nfcCauseOk) return SM_DONE;
    if (c == kListDone || c == nfcCauseNotNfcForumTag || c == nfcCauseInvalidData) return thChangeTo(m, &t4StateFormat);
    if (c == nfcCauseNotImplemented && f.versionIndex == 1) {
        f.versionIndex = 0;
        return thChangeTo(m, &t4StateFormatCheckTag);
    }
    if (c != nfcCauseNotImplemented) TRACE(TRC_ERROR, "%s ! t4StateFormatCheckTag: Unexpected cause 0x%X", t4Prefix(), c);
    f.versionIndex = 1;
    return t4Finish(m, nfcCauseRejected);
}

uint32_t formatSizeOf(TTagHandler* h) {
    TRACE(kInfo, "%s formatNumBytes = %d", t4Prefix(), static_cast<int>(h->formatSize));
    const uint32_t limit = h->maxNdefSize + 2;
    uint32_t size = h->formatSize + 2;
    // Without a known capacity the request stands; without a request the capacity is used.
    if (h->maxNdefSize && (h->formatSize == 0 || limit < size)) size = limit;
    TRACE(kInfo, "%s formatNumBytes = %d", t4Prefix(), static_cast<int>(size));
    return size;
}

void buildFormatList(TTagHandler* h) {
    T4Family& f = t4Of(h);
    const uint8_t found = f.found;
    listClear(h);
    if (isDesfire(h)) {
        TRACE(kInfo, "%s formatting DESFire tag using native commands", t4Prefix());
        if (!(found & T4_FOUND_APPLICATION)) {
            listAdd(h, {&sendSelectPicc, &checkSw});
            listAdd(h, {&sendCreateNfcApp, &checkCreate});
        }
        if (!(found & T4_FOUND_APP_SELECTED)) listAdd(h, {&sendNatSelectNfcApp, &checkAppFound});
        if (!(found & T4_FOUND_CC)) {
            std::memcpy(f.cc, kInitialCc, T4_CC_SIZE);
            putBe16(f.cc + kCcSize, h->maxNdefSize + 2);
            listAdd(h, {&sendCreateCcFile, &checkCreate});
            listAdd(h, {&sendWriteCc, &checkSw});
        }
        if (!(found & T4_FOUND_NDEF_LENGTH)) {
            putBe16(f.cc + kCcSize, h->formatSize);
            listAdd(h, {&sendCreateNdefFile, &checkCreate});
        }
    } else {
        TRACE(kInfo, "%s formatting type 4 tag using NFC commands", t4Prefix());
        if (!(found & T4_FOUND_APP_SELECTED)) listAdd(h, {&sendSelectNfcApp, &checkAppFound});
        if (!(found & T4_FOUND_CC)) {
            listAdd(h, {&sendSelectCc, &checkCcFound});
            listAdd(h, {&sendReadCc, &checkCcParse});
        }
        if (!(found & T4_FOUND_NDEF_SELECTED)) listAdd(h, {&sendSelectNdef, &checkNdefFound});
    }
    listAdd(h, {&sendNlenZero, &checkNlenZero});
}

uint32_t formatFailed(TStateMachine* m, uint16_t cause) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    if (!isDesfire(h) && f.versionIndex == 1) {
        f.versionIndex = 0;
        f.found = 0;
        return thChangeTo(m, &t4StateFormat);
    }
    f.versionIndex = 1;
    return t4Finish(m, cause);
}

uint32_t formatGoOn(TStateMachine* m, uint16_t c) {
    TTagHandler* h = thOf(m);
    if (c == kListDone) {
        if (h->formatFlags & 0x2) return thChangeTo(m, &t4StateFormatWipeMemory);
        return t4Finish(m, nfcCauseOk);
    }
    return c ? formatFailed(m, c) : SM_DONE;
}

uint32_t t4StateFormat(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kInfo, "%s starting NFC v%d format", t4Prefix(), t4Of(h).versionIndex + 1);
        h->formatSize = formatSizeOf(h);
        buildFormatList(h);
        return formatGoOn(m, listSend(h));
    case EV_TH_TRANSACTION_IND: {
        const uint16_t c = listCheck(h);
        return formatGoOn(m, c ? c : listSend(h));
    }
    default: return SM_NOT_HANDLED;
    }
}

uint32_t wipeNext(TStateMachine* m) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    const uint32_t end = h->maxNdefSize + 2;
    if (f.wipePosition >= end) return t4Finish(m, f.lastCause);
    const uint32_t chunk = std::min<uint32_t>({end - f.wipePosition, f.mlc, f.apduLimit});
    if (chunk == 0) return t4Finish(m, nfcCauseInternalSoftware);
    if (!fitsApdu(h, chunk, true)) return t4Finish(m, nfcCauseInputTooBig);
    TRACE(kInfo, "%s Wiping %d bytes at position %d", t4Prefix(), static_cast<int>(chunk), f.wipePosition);
    static const uint8_t zeros[kApduDataLimit] = {};
    f.chunk = chunk;
    if (const uint16_t c = sendFileWrite(h, f.wipePosition, zeros, chunk)) return t4Finish(m, c);
    return SM_DONE;
}

uint32_t t4StateFormatWipeMemory(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    T4Family& f = t4Of(h);
    switch (event) {
    case EV_SM_ENTRY:
        f.wipePosition = 0;
        f.lastCause = nfcCauseOk;
        return wipeNext(m);
    case EV_TH_TRANSACTION_IND:
        // A wipe that the tag refused is no wipe.
        if (const uint16_t c = t4CheckStatus(h)) return t4Finish(m, c);
        f.wipePosition = static_cast<uint16_t>(f.wipePosition + f.chunk);
        return wipeNext(m);
    default: return SM_NOT_HANDLED;
    }
}

// ---- Test, read-only, default ---------------------------------------------------------------
uint32_t t4StateTest(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY: {
        const uint8_t iso[] = {0x00, 0xB0, 0x00, 0x00, 0x01};
        uint8_t nat[13] = {0x90, 0xBD, 0x00, 0x00, 0x07, desfireNdefFile(h), 0, 0, 0, 1, 0, 0, 0x00};
        const uint16_t c = isDesfire(h) ? t4SendRaw(h, nat, sizeof nat, TH_PDU_CHECK) : t4SendRaw(h, iso, sizeof iso, TH_PDU_CHECK);
        return c ? t4Finish(m, c) : SM_DONE;
    }
    case EV_TH_CHECK_CONF: return t4Finish(m, h->cause);
    case EV_TH_CHECK_CONF_ERROR: return t4Finish(m, nfcCauseRejected);
    default: return SM_NOT_HANDLED;
    }
}

uint32_t t4StateSetReadonly(TStateMachine* m, uint16_t event) {
    if (event != EV_SM_ENTRY) return SM_NOT_HANDLED;
    return t4Finish(m, nfcCauseNotImplemented);
}

uint32_t t4DefaultHandler(TStateMachine* m, uint16_t event) { return thDefaultRule(m, event, kFamily); }

// After an erase the tag holds none of the files it was found with: a format looks for them
// afresh.
void t4ForgetContent(TTagHandler* h) {
    T4Family& f = t4Of(h);
    f.found = 0;
    f.ndefChecked = false;
    f.versionIndex = 1;
}

} // namespace

uint32_t t4Finish(TStateMachine* m, uint16_t cause) { return thFinishCommand(m, cause, kFamily); }

uint32_t t4GetProperty(TTagHandler* h, uint32_t id, int* found) {
    return thNdefProperty(h, id, t4Of(h).cc[kCcVersion], found);
}

uint32_t t4SetProperty(TTagHandler*, uint32_t id, uint32_t) { return id == 7 ? 1 : 0; }

uint32_t t4Init(TTagHandler* h) {
    T4Family& f = *new (h->family) T4Family{};
    h->currentNdefSize = 0;
    f.mle = kInitialMle;
    f.mlc = 0;
    f.apduLimit = kApduDataLimit;
    f.versionIndex = 1;
    std::memcpy(f.cc, kInitialCc, T4_CC_SIZE);
    putBe16(f.cc + kCcSize, h->maxNdefSize + 2);
    h->access = TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
    h->getProperty = &t4GetProperty;
    h->setProperty = &t4SetProperty;
    return thStartMachine(h, &t4StateIdle, &t4DefaultHandler, kStates, static_cast<uint16_t>(std::size(kStates)), t4Prefix());
}
