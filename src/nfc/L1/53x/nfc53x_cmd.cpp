// Command data of the listen and poll requests, and the decoders of the controller's target
// lists and activation answers into layer 1's tag record. A field behind a length is read only
// once the answer is known to hold it.
#include <algorithm>
#include <cstring>

#include "L1/53x/nfc53x.h"
#include "L1/common/nfcll_listen.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kDefaultGeneralBytes[] = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x02, 0x02, 0x07, 0x80, 0x04, 0x01, 0x64};
constexpr uint8_t kInitiatorData[] = {0x00, 0xFF, 0xFF, 0x00, 0x00};
constexpr uint8_t kNextGeneralBytes = 0x04;
constexpr uint16_t kGtMax = 47;
constexpr uint32_t kPollFelica212 = 0x100;
constexpr uint32_t kPollFelica424 = 0x200;
constexpr uint8_t kStatusReleased = 0x29;
constexpr uint8_t kStatusMore = 0x40;
constexpr uint8_t kStatusSetFailed = 0x25;
constexpr char kListDecoder[] = "nfc53xDecode_InListPassiveTarget";

// Appends bytes to a builder's buffer; the callers size their buffers for the longest content.
struct Builder {
    uint8_t* out;
    uint16_t n = 0;
    void add(std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) out[n++] = b;
    }
    void add(const uint8_t* bytes, uint16_t length) {
        std::memcpy(out + n, bytes, length);
        n = static_cast<uint16_t>(n + length);
    }
};

// The general bytes a P2P listen asks for, or the defaults.
bool p2pGeneralBytes(const TNfcListenParam* params, const uint8_t*& bytes, uint16_t& length) {
    TNfcllAtrView atr;
    if (!nfcllListenAtr(params, atr) || atr.length > kGtMax) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! general bytes too long: %d", params ? static_cast<int>(params->atrLength) : 0);
        return false;
    }
    bytes = atr.given ? atr.bytes : kDefaultGeneralBytes;
    length = atr.given ? atr.length : static_cast<uint16_t>(sizeof kDefaultGeneralBytes);
    return true;
}

void setIdentifier(TNfcllContext* ll, const uint8_t* bytes, uint16_t length) {
    ll->device.uidLength = length;
    std::memcpy(ll->device.uid, bytes, length);
}

// The peer's general bytes from offset `from` of an ATR, at most what the record holds.
void setGeneralBytes(TNfc53xPart* part, const uint8_t* data, uint16_t size, uint16_t from) {
    part->generalBytesLength = size > from ? std::min<uint16_t>(static_cast<uint16_t>(size - from), NFC53X_GENERAL_BYTES_MAX) : 0;
    std::memcpy(part->generalBytes, data + from, part->generalBytesLength);
}

uint32_t typeAByAtqa(uint16_t atqa) {
    switch (atqa) {
        case 0x0002: return TAG_MIFARE_STD_4K;
        case 0x0004: return TAG_MIFARE_STD_1K;
        case 0x0044: return TAG_ULTRALIGHT_TYPE2;
        case 0x0344: return TAG_DESFIRE_TYPE4;
        default:
            TRACE(NFCLL_TRC_ERROR, "! %s: atqa value 0x%X not known.", kListDecoder, static_cast<unsigned>(atqa));
            return 0;
    }
}

uint32_t typeA(uint8_t sak, uint16_t atqa) {
    switch (sak) {
        case 0x00: return typeAByAtqa(atqa);
        case 0x18: return TAG_MIFARE_STD_4K;
        case 0x08: return TAG_MIFARE_STD_1K;
        case 0x09: return TAG_MIFARE_S20;
        case 0x10: return atqa == 0x0042 || atqa == 0x0002 ? TAG_MIFARE_PLUS_4K : TAG_ISO14443A;
        case 0x11: return atqa == 0x0044 || atqa == 0x0004 ? TAG_MIFARE_PLUS_2K : TAG_ISO14443A;
        case 0x20: return atqa == 0x0344 ? TAG_DESFIRE_TYPE4 : TAG_ISO14443A;
        default:
            TRACE(NFCLL_TRC_ERROR, "! %s: sak value 0x%X not known, assume 14443A.", kListDecoder, static_cast<unsigned>(sak));
            return TAG_ISO14443A;
    }
}

// Target data of a type A answer: SENS_RES, SEL_RES, the UID length and the UID.
bool decodeTypeA(TNfcllContext* ll, const uint8_t* data, uint16_t size, uint32_t& event) {
    CByteReader r(data, size);
    uint16_t atqa = 0;
    uint8_t sak = 0, uidLength = 0;
    const uint8_t* uid = nullptr;
    if (!r.skip(2) || !r.u16be(atqa) || !r.u8(sak)) return false;
    TRACE(NFCLL_TRC_STATE, "nfc53x: SEL_RES=0x%X, SENS 0x%X 0x%X", static_cast<unsigned>(sak),
          static_cast<unsigned>(atqa >> 8), static_cast<unsigned>(atqa & 0xFF));
    if (!r.u8(uidLength) || uidLength > 10 || !r.take(uidLength, uid)) return false;
    if (sak == 0x40) return true;   // NFC-DEP only: not a tag
    const uint32_t type = typeA(sak, atqa);
    if (!type) return true;
    ll->device.tagType = type;
    ll->device.a.atqa = atqa;
    ll->device.a.sak = sak;
    setIdentifier(ll, uid, uidLength);
    event = NFC53X_EVT_LISTEN_RESPONSE;
    return true;
}

bool decodeTypeB(TNfcllContext* ll, const uint8_t* data, uint16_t size, uint32_t& event) {
    CByteReader r(data, size);
    const uint8_t* pupi = nullptr;
    if (!r.skip(3) || !r.take(4, pupi)) return false;
    ll->device.tagType = TAG_14443B;
    setIdentifier(ll, pupi, 4);
    event = NFC53X_EVT_LISTEN_RESPONSE;
    return true;
}

// POL_RES: its length (18, or 20 with the system code), the response code, NFCID2 and PAD.
bool decodeFelica(TNfcllContext* ll, const uint8_t* data, uint16_t size, uint32_t& event) {
    CByteReader r(data, size);
    uint8_t length = 0;
    const uint8_t* nfcid2 = nullptr;
    uint16_t systemCode = 0;
    if (!r.skip(2) || !r.u8(length) || (length != 18 && length != 20) || !r.has(length - 1u)) return false;
    if (!r.skip(1) || !r.take(8, nfcid2) || !r.skip(8)) return false;
    if (length == 20) r.u16be(systemCode);
    TRACE(NFCLL_TRC_STATE, "nfc53x: Felica system code %.04X", static_cast<unsigned>(systemCode));
    if (nfcid2[0] == 0x01 && nfcid2[1] == 0xFE) {
        ll->flags |= NFCLL_FLAG_PN53X_10;
        return true;
    }
    ll->device.tagType = TAG_FELICA_TYPE3;
    ll->device.felica.systemCode = systemCode;
    setIdentifier(ll, nfcid2, 8);
    event = NFC53X_EVT_LISTEN_RESPONSE;
    return true;
}

bool decodeJewel(TNfcllContext* ll, const uint8_t* data, uint16_t size, uint32_t& event) {
    if (size != 8) return false;
    ll->device.tagType = TAG_JEWEL_TYPE1;
    setIdentifier(ll, data + 4, 4);
    event = NFC53X_EVT_LISTEN_RESPONSE;
    return true;
}

bool inDeactivation(const TNfc53xPart* part) {
    return part->state >= NFC53X_STATE_DEACTIVATE_RF && part->state <= NFC53X_STATE_DEACTIVATE_RF_2;
}

}  // namespace

bool nfc53xBuildInJumpForDep(TNfcllContext* ll, const TNfcListenParam* params) {
    TNfc53xPart* part = nfc53xPart(ll);
    const uint8_t* gb = nullptr;
    uint16_t gbLength = 0;
    if (!p2pGeneralBytes(params, gb, gbLength)) return false;
    const uint8_t rate = nfcllListenP2pDataRate(params);
    const uint8_t bitRate = rate == 1 ? 0x00 : rate == 2 ? 0x01 : 0x02;
    uint8_t next = rate == 1 ? 0x04 : 0x05;
    if (gbLength == 0) next &= static_cast<uint8_t>(~kNextGeneralBytes);
    Builder b{part->jumpData};
    b.add({0xD4, 0x56, 0x00, bitRate, next});
    if (rate != 1) b.add(kInitiatorData, sizeof kInitiatorData);
    b.add(gb, gbLength);
    part->jumpLength = b.n;
    return true;
}

bool nfc53xBuildTgInitAsTarget(TNfcllContext* ll, const TNfcListenParam* params) {
    TNfc53xPart* part = nfc53xPart(ll);
    const uint8_t* gb = nullptr;
    uint16_t gbLength = 0;
    if (!p2pGeneralBytes(params, gb, gbLength)) return false;
    Builder b{part->targetData};
    b.add({0xD4, 0x8C, 0x02, 0x08, 0x00, 0xAA, 0xBB, 0xCC, 0x40});
    b.add({0x01, 0xFE, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xFF, 0xFF});
    b.add({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA});
    b.add({static_cast<uint8_t>(gbLength)});
    b.add(gb, gbLength);
    b.add({0x00});
    part->targetLength = b.n;
    return true;
}

bool nfc53xBuildCeBlock(TNfcllContext* ll, bool felica, const TNfcListenParam* params) {
    TNfc53xPart* part = nfc53xPart(ll);
    std::memset(part->ceBlock, 0, sizeof part->ceBlock);
    part->ceLength = 0;
    const uint16_t aFlags = params ? params->listenAFlags : 0;
    const uint16_t fFlags = params ? params->listenFFlags : 0;
    const bool gbGiven = !felica && (aFlags & NFC_LISTEN_A_HISTORICAL_BYTES);
    if (gbGiven && params->historicalBytesLength > kGtMax) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! general bytes too long: %d", static_cast<int>(params->historicalBytesLength));
        return false;
    }
    uint8_t atqa[2] = {0x00, 0x00};
    uint8_t uid[3] = {0x00, 0x06, 0x66};
    uint8_t felicaParams[18] = {0x01, 0xFE};
    uint8_t nfcid3[10] = {};
    if (!felica && (aFlags & NFC_LISTEN_A_SDD)) {
        atqa[0] = params->sdd;
        atqa[1] = params->platformConfig;
        TRACE(NFCLL_TRC_CONF, "nfc53x: set ATQA %02X%02X", static_cast<unsigned>(atqa[0]), static_cast<unsigned>(atqa[1]));
    }
    if (!felica && (aFlags & NFC_LISTEN_A_NFCID1)) {
        std::memcpy(uid, params->nfcid1, sizeof uid);
        std::memcpy(nfcid3, params->p2pNfcid, sizeof nfcid3);
        TRACE(NFCLL_TRC_CONF, "nfc53x: set UID 08 %02X %02X %02X", static_cast<unsigned>(uid[0]),
              static_cast<unsigned>(uid[1]), static_cast<unsigned>(uid[2]));
    }
    if (felica) {
        static constexpr uint8_t kFelicaDefaults[18] = {0x02, 0xFE, 0x00, 0x00, 0x00, 0x00, 0x06, 0x66, 0x00,
                                                        0xF0, 0x22, 0x04, 0x27, 0x67, 0x4E, 0xFF, 0x06, 0x66};
        std::memcpy(felicaParams, kFelicaDefaults, sizeof felicaParams);
        if (fFlags & NFC_LISTEN_F_IDENTIFIERS) {
            std::memcpy(felicaParams, params->nfcid2, 8);
            felicaParams[16] = static_cast<uint8_t>(params->systemCode >> 8);
            felicaParams[17] = static_cast<uint8_t>(params->systemCode & 0xFF);
            TRACE(NFCLL_TRC_CONF, "nfc53x: set Felica system code %02X%02X", static_cast<unsigned>(felicaParams[16]),
                  static_cast<unsigned>(felicaParams[17]));
        }
    }
    Builder b{part->ceBlock};
    b.add({static_cast<uint8_t>(felica ? 0x01 : 0x05)});
    b.add(atqa, 2);
    b.add(uid, 3);
    b.add({static_cast<uint8_t>(felica ? 0x40 : 0x20)});
    b.add(felicaParams, sizeof felicaParams);
    b.add(nfcid3, sizeof nfcid3);
    const uint16_t gbLength = gbGiven ? params->historicalBytesLength : 0;
    b.add({static_cast<uint8_t>(gbLength)});
    if (gbLength) b.add(params->historicalBytes, gbLength);
    b.add({0x00});
    part->ceLength = b.n;
    return true;
}

uint16_t nfc53xInListPassiveTargetData(uint32_t pollType, uint8_t* out) {
    Builder b{out};
    if (pollType == TAG_14443B) b.add({0x03, 0x00});
    else if (pollType == kPollFelica212 || pollType == kPollFelica424)
        b.add({static_cast<uint8_t>(pollType == kPollFelica212 ? 0x01 : 0x02), 0x00, 0xFF, 0xFF, 0x00, 0x01});
    else if (pollType == TAG_JEWEL_TYPE1) b.add({0x04});
    else {
        if (pollType & ~(TAG_ISO14443A | TAG_MIFARE_STD_1K | TAG_MIFARE_STD_4K | TAG_ULTRALIGHT_TYPE2 | TAG_DESFIRE_TYPE4 |
                         TAG_MIFARE_S20 | TAG_MIFARE_PLUS_2K | TAG_MIFARE_PLUS_4K))
            TRACE(NFCLL_TRC_ERROR, "nfc53x: InListPassiveTarget unknown type 0x%X", static_cast<unsigned>(pollType));
        b.add({0x00});
    }
    return b.n;
}

uint32_t nfc53xDecodeInListPassiveTarget(TNfcllContext* ll, const uint8_t* data, uint16_t size) {
    const uint32_t pollType = nfc53xPart(ll)->pollType;
    if (pollType == 0) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: Ignore InListPassiveTarget len %d in current state", static_cast<int>(size));
        return NFC53X_EVT_NONE;
    }
    uint32_t event = NFC53X_EVT_NONE;
    bool ok = false;
    if (pollType == TAG_14443B) ok = decodeTypeB(ll, data, size, event);
    else if (pollType == kPollFelica212 || pollType == kPollFelica424) ok = decodeFelica(ll, data, size, event);
    else if (pollType == TAG_JEWEL_TYPE1) ok = decodeJewel(ll, data, size, event);
    else ok = decodeTypeA(ll, data, size, event);
    if (ok) return event;
    TRACE(NFCLL_TRC_ERROR, "nfc53x: ! InListPassiveTarget output frame: wrong length, %d bytes, reqType=0x%X",
          static_cast<int>(size), static_cast<unsigned>(pollType));
    return NFC53X_EVT_RESPONSE_ERROR;
}

uint32_t nfc53xDecodeTgInitAsTarget(TNfcllContext* ll, const uint8_t* data, uint16_t size) {
    TNfc53xPart* part = nfc53xPart(ll);
    if (size == 0) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: TgInitTAsTarget frame too short: %d bytes", static_cast<int>(size));
        return NFC53X_EVT_RESPONSE_ERROR;
    }
    static const char* const kModes[] = {"Mifare", "Active mode", "Felica", "?"};
    const uint8_t mode = data[0];
    TRACE(NFCLL_TRC_STATE, "nfc53x: TgInitAsTarget mode=0x%X='%s' (%s)", static_cast<unsigned>(mode), kModes[mode & 3],
          (mode & 0x04) ? "DEP enabled" : "without DEP");
    if ((mode & 3) == 0) part->targetMode = 1, ll->device.tagType = CE_HOST_14443A_106;
    if ((mode & 3) == 2) part->targetMode = 2, ll->device.tagType = CE_HOST_FELICA;
    if ((mode & 3) == 3 && part->state != NFC53X_STATE_CE_LISTEN) return NFC53X_EVT_ACK;
    // The initiator's first command: an ATR_REQ carries NFCID3i at 4..13 and general bytes from 18.
    if (size >= 14) setIdentifier(ll, data + 4, 10);
    else ll->device.uidLength = 0;
    setGeneralBytes(part, data, size, 18);
    return NFC53X_EVT_LISTEN_RESPONSE;
}

uint32_t nfc53xDecodeInJumpForDep(TNfcllContext* ll, const uint8_t* data, uint16_t size) {
    TRACE(NFCLL_TRC_STATE, "nfc53x: TAMA message output InJumpForDEP: Status=0x%X, Tg=0x%X, DIDt=0x%X",
          size > 0 ? static_cast<unsigned>(data[0]) : 0u, size > 1 ? static_cast<unsigned>(data[1]) : 0u,
          size > 12 ? static_cast<unsigned>(data[12]) : 0u);
    if (size < 12 || data[0] != 0) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: InJumpForDep output frame frame too short: %d bytes", static_cast<int>(size));
        return NFC53X_EVT_RESPONSE_ERROR;
    }
    setIdentifier(ll, data + 2, 10);
    setGeneralBytes(nfc53xPart(ll), data, size, 17);
    return NFC53X_EVT_LISTEN_RESPONSE;
}

namespace {

// A chained message's next piece follows its first at once: the wait for it is timed, though a
// target's wait for the next message is not.
void guardNextPiece(TNfcllContext* ll) { nfcllSetTimer(ll, NFC53X_TIMER_RESPONSE, NFC53X_RESPONSE_MS); }

}  // namespace

uint32_t nfc53xP2pReceive(TNfcllContext* ll, bool initiator, const uint8_t* data, uint16_t size) {
    TNfc53xPart* part = nfc53xPart(ll);
    if (size == 0) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! P2P receive without status byte");
        return NFC53X_EVT_RESPONSE_ERROR;
    }
    const uint8_t status = data[0];
    part->lastError = status & 0x3F;
    if (part->lastError) {
        if (initiator) {
            TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA error 0x%02X", static_cast<unsigned>(part->lastError));
        } else if (part->lastError == kStatusReleased) {
            TRACE(NFCLL_TRC_STATE, "nfc53x: Target released by initiator in TgGetDepData");
            return NFC53X_EVT_P2P_TARGET_RELEASED;
        } else {
            TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA error 0x%02X in TgGetDepData", static_cast<unsigned>(part->lastError));
        }
        return NFC53X_EVT_RESPONSE_ERROR;
    }
    if (!initiator && inDeactivation(part)) return NFC53X_EVT_NONE;
    nfcllSendUsLlcpTriggerInd(ll);
    const bool more = status & kStatusMore;
    if (initiator && !ll->rx.buffer) nfcllPrepareNewRxBuffer(ll);
    nfcllStoreP2pRxData(ll, size - 1u, data + 1, more);
    if (more) {
        nfc53xSendDsCommand(ll, initiator ? NFC53X_REQ_EMPTY_IN_DATA_EXCHANGE : NFC53X_REQ_TG_GET_DEP_DATA, nullptr, 0);
        if (!initiator) guardNextPiece(ll);
        return NFC53X_EVT_NONE;
    }
    return initiator ? NFC53X_EVT_GENERIC_RESPONSE : NFC53X_EVT_P2P_GET_DONE;
}

uint32_t nfc53xDecodeSetDepData(TNfcllContext* ll, bool meta, const uint8_t* data, uint16_t size) {
    const unsigned status = size ? data[0] : 0u;
    if (meta) TRACE(NFCLL_TRC_STATE, "nfc53x: TAMA message output TgMetaSetDEPData: Status=0x%X", status);
    else TRACE(NFCLL_TRC_STATE, "nfc53x: TAMA message output TgSetDEPData: Status=0x%X", status);
    if (size == 0 || status == kStatusSetFailed) return NFC53X_EVT_RESPONSE_ERROR;
    nfcllSendUsLlcpTriggerInd(ll);
    return meta ? NFC53X_EVT_P2P_METASET_DONE : NFC53X_EVT_P2P_SET_DONE;
}

uint32_t nfc53xCeReceive(TNfcllContext* ll, const uint8_t* data, uint16_t size, const uint8_t*& output,
                         uint16_t& length) {
    TNfc53xPart* part = nfc53xPart(ll);
    const uint8_t status = size ? data[0] : 0;
    part->lastError = status & 0x3F;
    const uint16_t piece = size ? static_cast<uint16_t>(size - 1) : 0;
    if (size == 0 || part->lastError || uint32_t{part->ceCommandLength} + 1 + piece > sizeof part->ceCommand) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! reader command: status 0x%02X, %d bytes", static_cast<unsigned>(status),
              static_cast<int>(part->ceCommandLength + piece));
        part->ceCommandLength = 0;
        return NFC53X_EVT_RESPONSE_ERROR;
    }
    if (part->ceCommandLength == 0) part->ceCommand[part->ceCommandLength++] = static_cast<uint8_t>(status & ~kStatusMore);
    std::memcpy(part->ceCommand + part->ceCommandLength, data + 1, piece);
    part->ceCommandLength = static_cast<uint16_t>(part->ceCommandLength + piece);
    if (status & kStatusMore) {
        nfc53xSendDsCommand(ll, NFC53X_REQ_TG_GET_DEP_DATA, nullptr, 0);
        guardNextPiece(ll);
        return NFC53X_EVT_NONE;
    }
    output = part->ceCommand;
    length = part->ceCommandLength;
    part->ceCommandLength = 0;   // the bytes stay until the next command's first piece
    return NFC53X_EVT_GENERIC_RESPONSE;
}
