// Host frames of the PN53x controller: the writer, the reassembly of layer 1's byte stream and
// the decoders of control and information frames. Every length taken from a frame is checked
// against what the buffer holds before a byte behind it is read.
#include <algorithm>
#include <cstring>

#include "L1/53x/nfc53x.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint8_t kStart[] = {0x00, 0x00, 0xFF};
constexpr uint8_t kWakeUpStart[] = {0x55, 0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};
constexpr uint16_t kReaderPn532 = 0x102;
constexpr uint8_t kTfiHost = 0xD4;
constexpr uint8_t kTfiController = 0xD5;
constexpr uint16_t kFrameMax = sizeof kWakeUpStart + 2 + 255 + 2;   // start, LEN, LCS, body, DCS, postamble
constexpr uint16_t kNormalHeader = 5;        // 00 00 FF LEN LCS
constexpr uint16_t kExtendedHeader = 8;      // 00 00 FF FF FF LENM LENL LCS
constexpr uint16_t kHlHeader = 10;
constexpr uint32_t kTraceDump = 0x80000000u;

// What one pass of the decoders found: the event for the state machine, its output, and how many
// buffered bytes the frame took (consumed after the event was handled, so the output stays valid).
struct Decoded {
    uint32_t event = NFC53X_EVT_NONE;
    const uint8_t* output = nullptr;
    uint16_t length = 0;
    uint16_t consume = 0;
};
enum ControlResult { CONTROL_INCOMPLETE = 0, CONTROL_FRAME = 1, CONTROL_NOT = 2 };

void span(const TNfc53xPart* part, const TNfc53xCommand& row, const uint8_t*& bytes, uint16_t& length) {
    bytes = row.bytes;
    length = row.length;
    if (row.id == NFC53X_REQ_IN_JUMP_FOR_DEP) bytes = part->jumpData, length = part->jumpLength;
    if (row.id == NFC53X_REQ_TG_INIT_AS_TARGET) bytes = part->targetData, length = part->targetLength;
}

// A P2P message in pieces: every piece but the last tells the peer that more follows.
uint32_t chained(const TNfcllContext* ll, uint32_t id) {
    const bool p2p = ll->mode == NFC53X_KIND_P2P_IN || ll->mode == NFC53X_KIND_P2P_TG;
    // Layer 1 counts a piece as sent before handing it over, so the last piece leaves nothing unsent.
    if (!p2p || ll->tx.length == 0 || ll->tx.sent >= ll->tx.length) return id;
    if (id == NFC53X_REQ_TG_SET_DEP_DATA) return NFC53X_REQ_TG_SET_META_DATA;
    if (id == NFC53X_REQ_IN_DATA_EXCHANGE) return NFC53X_REQ_IN_DATA_EXCHANGE_MORE;
    return id;
}

void stopResponseTimer(TNfcllContext* ll, TNfc53xPart* part) {
    part->inProcess = 0;
    part->answerDue = 0;
    nfcllResetTimer(ll, NFC53X_TIMER_RESPONSE);
}

// Commands whose answer waits for something in the field (a tag, a peer, a reader): once they
// are acknowledged nothing times them out.
bool waitsForTheField(uint32_t id) {
    switch (id) {
    case NFC53X_REQ_IN_JUMP_FOR_DEP:
    case NFC53X_REQ_TG_INIT_AS_TARGET:
    case NFC53X_REQ_TG_GET_DEP_DATA:
    case NFC53X_REQ_IN_LIST_PASSIVE_TARGET:
    case NFC53X_REQ_TG_INIT_CE:
    case NFC53X_REQ_TG_GET_INITIATOR_COMMAND:
    case NFC53X_REQ_TAMA_ACK: return true;
    default: return false;
    }
}

// After its ACK a command frees the line (unless its row keeps it), but the answer stays due:
// a controller that acknowledges and then says nothing must not leave the request unanswered.
void acknowledged(TNfcllContext* ll, TNfc53xPart* part) {
    const TNfc53xCommand* pending = nfc53xCommand(part->pendingId);
    if (pending && pending->flag) return;
    part->inProcess = 0;
    if (waitsForTheField(part->pendingId)) {
        stopResponseTimer(ll, part);
        return;
    }
    part->answerDue = 1;
    const bool exchange = part->pendingId == NFC53X_REQ_IN_DATA_EXCHANGE ||
                          part->pendingId == NFC53X_REQ_IN_DATA_EXCHANGE_MORE;
    nfcllRestartTimer(ll, NFC53X_TIMER_RESPONSE, exchange && part->answerMs ? part->answerMs : NFC53X_RESPONSE_MS);
}

void consume(TNfc53xPart* part, uint16_t n) {
    if (n > part->rxLength) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! to big amount to be removed %u (shortUsDataLen will be set to 0)",
              static_cast<unsigned>(n));
        part->rxLength = 0;
        return;
    }
    std::memmove(part->rx, part->rx + n, part->rxLength - n);
    part->rxLength = static_cast<uint16_t>(part->rxLength - n);
}

const char* kindName(uint32_t kind) {
    static const char* const names[] = {"Deact.", "P2P In", "P2P Tg", "Tag   ", "Reader"};
    return kind < std::size(names) ? names[kind] : "?     ";
}

ControlResult decodeHl(TNfcllContext* ll, TNfc53xPart* part, Decoded& d) {
    const uint8_t* b = part->rx;
    const int n = nfc53xAsciiHexToInt(static_cast<char>(b[6])) * 16 + nfc53xAsciiHexToInt(static_cast<char>(b[7]));
    const bool ack = std::memcmp(b + 2, "0000", 4) == 0;
    if (ack) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: get HL ACK frame, length = %d", static_cast<int>(part->rxLength));
    } else {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: %s, HL response packet: error1=%c%c, error2=%c%c, length = %d",
              kindName(ll->mode), b[2], b[3], b[4], b[5], static_cast<int>(part->rxLength));
    }
    if (n != 0) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: %s, HL response packet: User data ignored, length=%d (message length %d)",
              kindName(ll->mode), n, static_cast<int>(part->rxLength));
    }
    if (part->rxLength < kHlHeader + n) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: fragmented HL response frame, length = %d", static_cast<int>(part->rxLength));
        return CONTROL_INCOMPLETE;
    }
    d.event = ack ? NFC53X_EVT_ACK : NFC53X_EVT_NACK;
    d.consume = static_cast<uint16_t>(kHlHeader + n);
    return CONTROL_FRAME;
}

ControlResult decodeControl(TNfcllContext* ll, TNfc53xPart* part, Decoded& d);

// A frame start whose TFI is none of ours: drop bytes up to the next start code, keeping one
// zero in front of it as the preamble. With none in sight only trailing zeros stay (two at
// most), since they may begin a frame whose start code is still on its way.
ControlResult resynchronise(TNfcllContext* ll, TNfc53xPart* part, Decoded& d) {
    for (uint16_t i = 3; i + 1 < part->rxLength; ++i) {
        if (part->rx[i] != 0x00 || part->rx[i + 1] != 0xFF) continue;
        TRACE(NFCLL_TRC_ERROR, "nfc53x: start of packed code found at pos %d", static_cast<int>(i));
        part->rx[i - 1] = 0x00;
        consume(part, static_cast<uint16_t>(i - 1));
        return decodeControl(ll, part, d);
    }
    uint16_t keep = 0;
    while (keep < 2 && part->rx[part->rxLength - 1 - keep] == 0x00) ++keep;
    consume(part, static_cast<uint16_t>(part->rxLength - keep));
    return CONTROL_INCOMPLETE;
}

ControlResult decodeControl(TNfcllContext* ll, TNfc53xPart* part, Decoded& d) {
    static constexpr uint8_t kAck[] = {0x00, 0xFF, 0x00};
    static constexpr uint8_t kNack[] = {0xFF, 0x00, 0x00};
    static constexpr uint8_t kError[] = {0x01, 0xFF, 0x7F, 0x81, 0x00};
    const uint16_t l = part->rxLength;
    const uint8_t* b = part->rx;
    if (l < 6) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: fragmented TAMA response frame (1), length = %d", static_cast<int>(l));
        return CONTROL_INCOMPLETE;
    }
    if (std::memcmp(b, kStart, sizeof kStart) == 0) {
        if (std::memcmp(b + 3, kAck, sizeof kAck) == 0) {
            TRACE(NFCLL_TRC_STATE, "nfc53x: get TAMA ACK frame, length = %d", static_cast<int>(l));
            d.event = NFC53X_EVT_ACK;
            d.consume = 6;
            return CONTROL_FRAME;
        }
        if (std::memcmp(b + 3, kNack, sizeof kNack) == 0) {
            stopResponseTimer(ll, part);
            TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA NACK frame, length = %d", static_cast<int>(l));
            d.event = NFC53X_EVT_NACK;
            d.consume = 6;
            return CONTROL_FRAME;
        }
        const bool extended = b[3] == 0xFF && b[4] == 0xFF;
        const bool error = b[3] == 0x01 && b[4] == 0xFF;
        if (!extended && !error && b[5] != kTfiHost && b[5] != kTfiController) {
            TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA erroneous frame, length = %d", static_cast<int>(l));
            return resynchronise(ll, part, d);
        }
        if (l < 8) {
            TRACE(NFCLL_TRC_STATE, "nfc53x: fragmented TAMA response frame (2), length = %d", static_cast<int>(l));
            return CONTROL_INCOMPLETE;
        }
        if (std::memcmp(b + 3, kError, sizeof kError) == 0) {
            stopResponseTimer(ll, part);
            TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA ERROR frame, length = %d", static_cast<int>(l));
            d.event = NFC53X_EVT_RESPONSE_ERROR;
            d.consume = 8;
            return CONTROL_FRAME;
        }
    }
    if (l >= 8) return (b[0] == 'F' && b[1] == 'F') ? decodeHl(ll, part, d) : CONTROL_NOT;
    TRACE(NFCLL_TRC_STATE, "nfc53x: fragmented HL response frame, length = %d", static_cast<int>(l));
    return CONTROL_INCOMPLETE;
}

uint32_t plainStatus(TNfc53xPart* part, const uint8_t* data, uint16_t size, Decoded& d) {
    if (size == 0) return NFC53X_EVT_RESPONSE_ERROR;
    if (data[0] & 0x3F) {
        part->lastError = data[0] & 0x3F;
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA error 0x%02X", static_cast<unsigned>(part->lastError));
        return NFC53X_EVT_RESPONSE_ERROR;
    }
    d.output = data;
    d.length = size;
    return NFC53X_EVT_GENERIC_RESPONSE;
}

void enterInitState(TNfcllContext* ll, TNfc53xPart* part, uint32_t state) {
    part->state = state;
    nfcllSendUsActConf(ll);
}

// The result of an I/O control goes to the requester's output; what does not fit gives none.
uint32_t ioResult(TNfcllContext* ll, TNfc53xPart* part, const uint8_t* data, uint16_t size) {
    part->ioLength = 0;
    if (ll->ioOutput && size <= ll->ioOutputSize) {
        std::memcpy(ll->ioOutput, data, size);
        part->ioLength = size;
    }
    return NFC53X_EVT_IO_RESPONSE;
}

uint32_t generalStatus(TNfcllContext* ll, TNfc53xPart* part, const uint8_t* data, uint16_t size) {
    constexpr uint16_t kStatusSize = 12;
    if (part->pendingId == NFC53X_REQ_IO_GENERAL_STATUS) {
        part->ioLength = 0;
        if (!ll->ioOutput || ll->ioOutputSize < kStatusSize) return NFC53X_EVT_IO_RESPONSE;
        std::memset(ll->ioOutput, 0, kStatusSize);
        part->ioLength = std::min(size, ll->ioOutputSize);
        std::memcpy(ll->ioOutput, data, part->ioLength);
        return NFC53X_EVT_IO_RESPONSE;
    }
    if (size < 2) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! GetGeneralStatus output frame too short: %d bytes", static_cast<int>(size));
        return NFC53X_EVT_RESPONSE_ERROR;
    }
    part->fieldPresent = data[1];
    part->samStatus = data[size - 1];
    return NFC53X_EVT_GENERIC_RESPONSE;
}

void firmwareVersion(TNfcllContext* ll, TNfc53xPart* part, const uint8_t* data, uint16_t size, Decoded& d) {
    if (size < 4) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! GetFirmwareVersion output frame too short: %d bytes", static_cast<int>(size));
        d.event = NFC53X_EVT_RESET;
        return;
    }
    TRACE(NFCLL_TRC_STARTUP, "nfc53x: IC Version  0x%X", static_cast<unsigned>(data[0]));
    TRACE(NFCLL_TRC_STARTUP, "nfc53x: Fw Version  0x%X", static_cast<unsigned>(data[1]));
    TRACE(NFCLL_TRC_STARTUP, "nfc53x: Fw Revision 0x%X", static_cast<unsigned>(data[2]));
    TRACE(NFCLL_TRC_STARTUP, "nfc53x: support     0x%X", static_cast<unsigned>(data[3]));
    if (part->state != NFC53X_STATE_INIT4 && part->state != NFC53X_STATE_INIT5) return;
    part->firmware = uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 | uint32_t{data[2]} << 8 | data[3];
    enterInitState(ll, part, NFC53X_STATE_INIT6);
}

uint32_t rfConfiguration(TNfcllContext* ll, TNfc53xPart* part, uint16_t size) {
    TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_RFConfiguration");
    if (part->pendingId == NFC53X_REQ_RF_ITEM2) enterInitState(ll, part, NFC53X_STATE_INIT3);
    else if (part->pendingId == NFC53X_REQ_RF_ITEM5) enterInitState(ll, part, NFC53X_STATE_INIT4);
    else if (part->pendingId == NFC53X_REQ_IO_RF_CONFIGURATION) return NFC53X_EVT_IO_RESPONSE;
    else if (size == 0) return NFC53X_EVT_LISTEN_RESPONSE;
    else {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: RFConfiguration output frame too long: %d bytes", static_cast<int>(size));
        return NFC53X_EVT_RESPONSE_ERROR;
    }
    return NFC53X_EVT_NONE;
}

// The response table: data are the bytes after the response code.
void response(TNfcllContext* ll, TNfc53xPart* part, uint8_t code, const uint8_t* data, uint16_t size, Decoded& d) {
    uint32_t& e = d.event;
    switch (code) {
        case 0x03: firmwareVersion(ll, part, data, size, d); break;
        case 0x05: e = generalStatus(ll, part, data, size); break;
        case 0x07:
        case 0x0D: e = ioResult(ll, part, data, size); break;
        case 0x09:
        case 0x0F: e = ioResult(ll, part, data, 0); break;
        case 0x15:
            if (part->pendingId == NFC53X_REQ_SAM_CONFIG_INIT) enterInitState(ll, part, NFC53X_STATE_INIT2);
            else e = NFC53X_EVT_GENERIC_RESPONSE;
            break;
        case 0x11: enterInitState(ll, part, NFC53X_STATE_INIT2); break;
        case 0x33: e = rfConfiguration(ll, part, size); break;
        case 0x41:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_InDataExchange");
            e = ll->mode == NFC53X_KIND_P2P_IN ? nfc53xP2pReceive(ll, true, data, size) : plainStatus(part, data, size, d);
            break;
        case 0x4B:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_InListPassiveTarget");
            e = nfc53xDecodeInListPassiveTarget(ll, data, size);
            if (e == NFC53X_EVT_RESPONSE_ERROR) part->lastError = 1;
            nfcllResetTimer(ll, NFC53X_TIMER_POLL);
            break;
        case 0x55:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_InSelect");
            e = plainStatus(part, data, size, d);
            break;
        case 0x57:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_InJumpForDEP");
            e = nfc53xDecodeInJumpForDep(ll, data, size);
            nfcllHealthMonCheck(ll);
            break;
        case 0x87:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_TgGetDEPData %d", static_cast<int>(size));
            // As card, the reader's command goes up with its status byte in front.
            if (ll->mode == NFC53X_KIND_P2P_TG) e = nfc53xP2pReceive(ll, false, data, size);
            else if (ll->mode == NFC53X_KIND_CE) e = nfc53xCeReceive(ll, data, size, d.output, d.length);
            else e = plainStatus(part, data, size, d);
            nfcllHealthMonCheck(ll);
            break;
        case 0x89:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_TgGetInitiatorCommand");
            d.output = data;
            d.length = size;
            e = NFC53X_EVT_FELICA_PDU;
            break;
        case 0x8D:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_TgInitAsTarget");
            e = nfc53xDecodeTgInitAsTarget(ll, data, size);
            if (e == NFC53X_EVT_LISTEN_RESPONSE) ll->flags &= ~NFCLL_FLAG_ACTIVITY_CHECK;
            // The mode byte, then the initiator's first command: a FeliCa card answers it at once.
            d.output = data;
            d.length = size;
            break;
        case 0x8F:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_TgSetDEPData");
            e = nfc53xDecodeSetDepData(ll, false, data, size);
            break;
        case 0x91:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_TgResponseToInitiator, status 0x%X",
                  size ? static_cast<unsigned>(data[0]) : 0u);
            e = NFC53X_EVT_FELICA_POLL;
            break;
        case 0x95:
            TRACE(NFCLL_TRC_STATE, "nfc53x: decode TAMA_CC_TgSetMetaDEPData");
            e = nfc53xDecodeSetDepData(ll, true, data, size);
            break;
        default: TRACE(NFCLL_TRC_ERROR, "nfc53x: ! Unknown TAMA message received: CC = 0x%X", static_cast<unsigned>(code));
    }
}

bool expectsAnyCode(const TNfc53xPart* part) {
    return part->pendingId == NFC53X_REQ_TAMA_ACK ||
           (part->state >= NFC53X_STATE_DEACTIVATE_RF && part->state <= NFC53X_STATE_DEACTIVATE_RF_2);
}

// 0 while the frame is incomplete, 1 once it is decoded (d.consume says how far).
int decodeInformation(TNfcllContext* ll, TNfc53xPart* part, Decoded& d) {
    const uint16_t l = part->rxLength;
    const uint8_t* b = part->rx;
    if (l <= 8) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: fragmented TAMA information frame (1), length = %d", static_cast<int>(l));
        return 0;
    }
    d.event = NFC53X_EVT_RESET;
    if (b[0] != 0) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! Invalid TAMA information frame: preamble = 0x%X", static_cast<unsigned>(b[0]));
        debugDump(b, "nfc53x: Invalid TAMA", l);
        d.consume = 1;
        return 1;
    }
    if (b[1] != 0x00 || b[2] != 0xFF) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! Invalid TAMA information frame: start of packet code = 0x%X, 0x%X",
              static_cast<unsigned>(b[1]), static_cast<unsigned>(b[2]));
        d.consume = 3;
        return 1;
    }
    const bool extended = ((b[3] + b[4]) & 0xFF) != 0;
    const uint16_t len = extended ? static_cast<uint16_t>(b[5] << 8 | b[6]) : b[3];
    const uint16_t header = extended ? kExtendedHeader : kNormalHeader;
    const uint32_t total = uint32_t{header} + len + 2;
    if (l < total) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: fragmented TAMA information frame (2), length = %d, missing = %d",
              static_cast<int>(l), static_cast<int>(total - l));
        return 0;
    }
    d.consume = static_cast<uint16_t>(total);
    CByteReader frame(b + header, len + 1u);
    uint8_t sum = 0;
    for (uint16_t i = 0; i <= len; ++i) sum = static_cast<uint8_t>(sum + b[header + i]);
    if (sum != 0) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA Input message, wrong DCS");
        return 1;
    }
    if (b[total - 1] != 0) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA Input message, wrong postamble");
        return 1;
    }
    uint8_t tfi = 0, code = 0;
    if (len < 2 || !frame.u8(tfi) || !frame.u8(code)) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! TAMA Input message too short: LEN = %d", static_cast<int>(len));
        return 1;
    }
    if (tfi == kTfiHost) {
        TRACE(NFCLL_TRC_STATE, "nfc53x: TAMA Input message: CC = 0x%X", static_cast<unsigned>(code));
        return 1;
    }
    d.event = NFC53X_EVT_NONE;
    if (tfi != kTfiController) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: Unknown TAMA message received: TFI = 0x%X", static_cast<unsigned>(tfi));
        return 1;
    }
    // The request is answered: its guard goes before the decoders, which may send the next one.
    stopResponseTimer(ll, part);
    if (part->state == NFC53X_STATE_SEND_RAW) {
        d.event = NFC53X_EVT_GENERIC_RESPONSE;
        d.output = b;
        d.length = static_cast<uint16_t>(total);
        return 1;
    }
    // The listen commands take their bytes from the driver's buffers, not from their rows.
    const TNfc53xCommand* pending = nfc53xCommand(part->pendingId);
    const uint8_t* sent = nullptr;
    uint16_t sentLength = 0;
    if (pending) span(part, *pending, sent, sentLength);
    const uint8_t expected = sentLength >= 2 ? static_cast<uint8_t>(sent[1] + 1) : 0;
    if (!expectsAnyCode(part) && code != expected) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! unexpected TAMA response 0x%X wait for 0x%X", static_cast<unsigned>(code),
              static_cast<unsigned>(expected));
    }
    response(ll, part, code, frame.here(), static_cast<uint16_t>(len - 2), d);
    return 1;
}

void deliver(TNfcllContext* ll, TNfc53xPart* part, const Decoded& d) {
    if (d.event != NFC53X_EVT_NONE && part->handleEvent) part->handleEvent(ll, d.event, d.output, d.length);
    if (d.consume) consume(part, d.consume);
}

// One pass over the buffer; false when the loop stops.
bool decodeOne(TNfcllContext* ll, TNfc53xPart* part) {
    Decoded d;
    const ControlResult control = decodeControl(ll, part, d);
    if (control == CONTROL_INCOMPLETE) return false;
    if (control == CONTROL_FRAME) {
        if (d.event == NFC53X_EVT_ACK) acknowledged(ll, part);
        else stopResponseTimer(ll, part);
        deliver(ll, part, d);
        return true;
    }
    if (!decodeInformation(ll, part, d)) {
        if (!part->inProcess) {
            part->inProcess = 1;
            nfcllSetTimer(ll, NFC53X_TIMER_RESPONSE, NFC53X_RESPONSE_MS);
        }
        return false;
    }
    deliver(ll, part, d);
    return true;
}

}  // namespace

bool nfc53xSendDsCommand(TNfcllContext* ll, uint32_t id, const uint8_t* data, uint16_t length) {
    TNfc53xPart* part = nfc53xPart(ll);
    id = chained(ll, id);
    const TNfc53xCommand* row = nfc53xCommand(id);
    if (!row || (length && !data)) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! nfc53xSendDsCommand, unknown request 0x%X", static_cast<unsigned>(id));
        return false;
    }
    const uint8_t* bytes = nullptr;
    uint16_t rowLength = 0;
    span(part, *row, bytes, rowLength);
    const uint32_t len = uint32_t{rowLength} + length;
    if (part->inProcess) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! nfc53xSendDsCommand, request (0x%X) already in process",
              static_cast<unsigned>(part->pendingId));
    }
    if (len > 255) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! nfc53xSendDsCommand illegal length-truncation from int to byte (%d -> %d)",
              static_cast<int>(len), static_cast<int>(len & 0xFF));
        TRACE(NFCLL_TRC_ERROR, "nfc53x: nfc53xSendDsCommand, wrong length: =%d", static_cast<int>(len));
        return false;
    }
    uint8_t frame[kFrameMax];
    uint16_t n = 0;
    const bool wakeUp = ll->readerType == kReaderPn532 &&
                        (id == NFC53X_REQ_SAM_CONFIG_INIT || id == NFC53X_REQ_SAM_CONFIG_NORMAL ||
                         id == NFC53X_REQ_GET_GENERAL_STATUS);
    const uint8_t* start = wakeUp ? kWakeUpStart : kStart;
    const uint16_t startLength = wakeUp ? sizeof kWakeUpStart : sizeof kStart;
    std::memcpy(frame, start, startLength);
    n = startLength;
    frame[n++] = static_cast<uint8_t>(len);
    frame[n++] = len ? static_cast<uint8_t>(0x100 - len) : 0xFF;
    uint8_t sum = 0;
    for (uint16_t i = 0; i < rowLength; ++i) sum = static_cast<uint8_t>(sum + (frame[n++] = bytes[i]));
    for (uint16_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + (frame[n++] = data[i]));
    frame[n++] = static_cast<uint8_t>(0x100 - sum);
    frame[n++] = 0x00;
    TRACE(NFCLL_TRC_STATE, "nfc53x: TAMA send %s", row->name);
    if (debugOn(kTraceDump)) debugDump(frame, "nfc53x: TX TAMA", n);
    part->lastError = 0;
    if (!nfcllSendDsData(ll, frame, n)) return false;
    part->pendingId = id;
    part->inProcess = 1;
    part->answerDue = 0;
    if (id != NFC53X_REQ_TG_GET_DEP_DATA && ll->mode != NFC53X_KIND_CE)
        nfcllSetTimer(ll, NFC53X_TIMER_RESPONSE, NFC53X_RESPONSE_MS);
    return true;
}

void nfc53xDataIndication(TNfcllContext* ll, const uint8_t* buffer, uint16_t length, uint16_t offset) {
    TNfc53xPart* part = nfc53xPart(ll);
    const uint8_t* bytes = buffer + offset;
    if (debugOn(kTraceDump)) debugDump(bytes, "nfc53x: RX TAMA", length);
    if (uint32_t{part->rxLength} + length > NFC53X_RX_BUFFER_SIZE) {
        TRACE(NFCLL_TRC_ERROR, "nfc53x: ! fragmented upstream message too long, discarded");
        part->rxLength = 0;
        return;
    }
    std::memcpy(part->rx + part->rxLength, bytes, length);
    part->rxLength = static_cast<uint16_t>(part->rxLength + length);
    while (part->rxLength && decodeOne(ll, part)) {
    }
    if (debugOn(kTraceDump)) TRACE(kTraceDump, "nfc53x: RX Exit -----------------------------------------------");
}

uint8_t nfc53xAsciiHexToInt(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    TRACE(NFCLL_TRC_ERROR, "nfc53x: nfc53xAsciiHexToInt: unexpected ASCII hex character = '%c'=0x%d", c,
          static_cast<int>(static_cast<uint8_t>(c)));
    return 0;
}
