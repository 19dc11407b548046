// The Type 4 family's APDUs: the builder with its Le rules and the status words of the answers.
#include <cstring>

#include "th/th_type4.h"
#include "util/trace.h"

namespace {

constexpr uint16_t kAny = 0x100;   // matches every SW2

// SW1, SW2 (kAny: any), cause, text; searched in order, the first match wins.
#define T4_STATUS_WORDS(X)                                                                                                   \
    X(0x61, kAny, 11, "SW2 indicates the number of response bytes still available")                                         \
    X(0x62, 0x00, 11, "No information given")                                                                               \
    X(0x62, 0x81, 11, "Returned data may be corrupted")                                                                     \
    X(0x62, 0x82, 11, "The end of the file has been reached before the end of reading")                                     \
    X(0x62, 0x83, 11, "Selected file invalidated")                                                                          \
    X(0x62, 0x84, 11, "FCI not formatted")                                                                                  \
    X(0x63, 0x00, 11, "Authentification failed. Invalid secret code or forbidden value")                                    \
    X(0x63, 0x81, 11, "File filled up by the last write")                                                                   \
    X(0x63, kAny, 11, "SW2 = counter")                                                                                      \
    X(0x65, 0x00, 11, "No information given")                                                                               \
    X(0x65, 0x01, 11, "Memory failure. There have been problems in writing or reading the EEPROM.")                         \
    X(0x65, 0x81, 11, "Write problem / Memory failure / Unknown mode")                                                      \
    X(0x67, 0x00, 11, "Incorrect length or address range error")                                                            \
    X(0x67, kAny, 11, "Error, incorrect parameter P3 (ISO code)")                                                           \
    X(0x68, 0x00, 11, "The requested function is not supported by the card.")                                               \
    X(0x68, 0x81, 11, "Logical channel not supported")                                                                      \
    X(0x68, 0x82, 11, "Secure messaging not supported")                                                                     \
    X(0x69, 0x00, 11, "No successful transaction executed during session")                                                  \
    X(0x69, 0x81, 11, "Cannot select indicated file, command not compatible with file organization")                        \
    X(0x69, 0x82, 11, "Access conditions not fulfilled")                                                                    \
    X(0x69, 0x83, 11, "Secret code blocked")                                                                                \
    X(0x69, 0x84, 11, "Referenced data invalidated")                                                                        \
    X(0x69, 0x85, 11, "No currently selected EF, no command to monitor / no Transaction Manager File")                      \
    X(0x69, 0x86, 11, "Command not allowed (no current EF)")                                                                \
    X(0x69, 0x87, 11, "Expected SM data objects missing")                                                                   \
    X(0x69, 0x88, 11, "SM data objects incorrect")                                                                          \
    X(0x6A, 0x00, 11, "Bytes P1 and/or P2 are incorrect.")                                                                  \
    X(0x6A, 0x80, 11, "The parameters in the data field are incorrect")                                                     \
    X(0x6A, 0x81, 11, "Card is blocked or command not supported")                                                           \
    X(0x6A, 0x82, 11, "File not found")                                                                                     \
    X(0x6A, 0x83, 11, "Record not found")                                                                                   \
    X(0x6A, 0x84, 11, "There is insufficient memory space in record or file")                                               \
    X(0x6A, 0x85, 11, "Lc inconsistent with TLV structure")                                                                 \
    X(0x6A, 0x86, 11, "Incorrect parameters P1-P2")                                                                         \
    X(0x6A, 0x87, 11, "Lc inconsistent with P1 and P2.")                                                                    \
    X(0x6A, 0x88, 11, "Referenced data not found.")                                                                         \
    X(0x6B, 0x00, 11, "Incorrect reference; illegal address; Invalid P1 or P2 parameter")                                   \
    X(0x6C, kAny, 11, "Incorrect P3 length.")                                                                               \
    X(0x6D, 0x00, 11, "Command not allowed. Invalid instruction byte (INS)")                                                \
    X(0x6E, 0x00, 11, "Incorrect application (CLA parameter of a command)")                                                 \
    X(0x6F, 0x00, 11, "Checking error")                                                                                     \
    X(0x91, 0x00, 11, "Successful operation")                                                                               \
    X(0x91, 0x0C, 11, "No changes done to backup files, CommitTransaction / AbortTransaction not necessary")                \
    X(0x91, 0x0E, 23, "Insufficient NV-Memory to complete command")                                                         \
    X(0x91, 0x1C, 5, "Command code not supported")                                                                          \
    X(0x91, 0x1E, 11, "CRC or MAC does not match data, padding bytes not valid")                                            \
    X(0x91, 0x40, 11, "Invalid key number specified")                                                                       \
    X(0x91, 0x7E, 11, "Length of command string invalid")                                                                   \
    X(0x91, 0x9D, 11, "Current configuration/ status does not allow the requested command")                                 \
    X(0x91, 0x9E, 17, "Value of the parameter(s) invalid")                                                                  \
    X(0x91, 0xA0, 11, "Requested AID not present on PICC")                                                                  \
    X(0x91, 0xA1, 11, "Unrecoverable error within application, application will be disabled")                              \
    X(0x91, 0xAE, 11, "Current authentication status does not allow the requested command")                                \
    X(0x91, 0xAF, 11, "Additional data frame is expected to be sent")                                                       \
    X(0x91, 0xBE, 23,                                                                                                        \
      "Attempt to read/write data from/to beyond the file's/record's limits.  Attempt to exceed the limits of a value file.") \
    X(0x91, 0xC1, 518, "Unrecoverable error within PICC, PICC will be disabled")                                            \
    X(0x91, 0xCA, 11, "Previous Command was not fully completed Not all Frames were requested or provided by the PCD")      \
    X(0x91, 0xCD, 518, "PICC was disabled by an unrecoverable error")                                                       \
    X(0x91, 0xCE, 13, "Number of Applications limited to 28, no additional CreateApplication possible")                     \
    X(0x91, 0xDE, 11, "Creation of file/application failed because file/application with same number already exists")      \
    X(0x91, 0xEE, 518, "Could not complete NV-write operation due to loss of power, internal backup/rollback mechanism activated") \
    X(0x91, 0xF0, 11, "Specified file number does not exist")                                                               \
    X(0x91, 0xF1, 11, "Unrecoverable error within file, file will be disabled")

struct StatusWord {
    uint8_t sw1;
    uint16_t sw2;
    uint16_t cause;
    const char* text;
};

#define T4_STATUS_ROW(sw1, sw2, cause, text) {sw1, sw2, cause, text},
constexpr StatusWord kStatusWords[] = {T4_STATUS_WORDS(T4_STATUS_ROW)};
#undef T4_STATUS_ROW
static_assert(sizeof kStatusWords / sizeof kStatusWords[0] == 63);

// The native commands that take a trailing Le byte.
constexpr uint8_t kLeInstructions[] = {0x3D, 0x5A, 0x60, 0xAF, 0xBD, 0xCA, 0xCD, 0xDF, 0xFC};
constexpr uint8_t kNdefApplication20[] = {0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01};

bool takesLe(const TTagHandler* h, uint8_t ins, const uint8_t* data, uint16_t length) {
    for (uint8_t i : kLeInstructions)
        if (i == ins) return true;
    const T4Family& f = *reinterpret_cast<const T4Family*>(h->family);
    if (ins == 0xA4 && f.versionIndex == 1 && length == sizeof kNdefApplication20 &&
        std::memcmp(data, kNdefApplication20, length) == 0) {
        TRACE(T4_TRACE_PDU, "%s Adding Le-byte for NDEF App SELECT", t4Prefix());
        return true;
    }
    return false;
}

const StatusWord* lookUp(uint8_t sw1, uint8_t sw2) {
    for (const StatusWord& row : kStatusWords)
        if (row.sw1 == sw1 && (row.sw2 == kAny || row.sw2 == sw2)) return &row;
    return nullptr;
}

} // namespace

uint16_t t4SendRaw(TTagHandler* h, const uint8_t* bytes, uint16_t length, uint8_t flags) {
    if (length > TH_PDU_SIZE) return nfcCauseInternalSoftware;
    std::memcpy(h->pdu, bytes, length);
    return thSendPdu(h, h->pdu, length, flags, 0);
}

uint16_t t4SendApdu(TTagHandler* h, uint8_t cla, uint8_t ins, uint16_t p1p2, const uint8_t* data, uint16_t length, int le) {
    // Header, Lc, data and Le: the data limit keeps every APDU inside the PDU buffer.
    if (length > 0xFF || 4u + 1u + length + 1u > TH_PDU_SIZE) return nfcCauseInputTooBig;
    uint8_t* p = h->pdu;
    size_t n = 0;
    p[n++] = cla;
    p[n++] = ins;
    p[n++] = static_cast<uint8_t>(p1p2 >> 8);
    p[n++] = static_cast<uint8_t>(p1p2);
    if (length) {
        p[n++] = static_cast<uint8_t>(length);
        std::memcpy(p + n, data, length);
        n += length;
    }
    if (le >= 0) p[n++] = static_cast<uint8_t>(le);
    else if (takesLe(h, ins, data, length)) p[n++] = 0x00;
    return thSendPdu(h, p, static_cast<uint16_t>(n), 0, 0);
}

uint16_t t4CheckStatus(TTagHandler* h) {
    if (h->rspLength < 2 || !h->rspData) {
        TRACE(TRC_ERROR, "%s ! unexpected response length = %d", t4Prefix(), static_cast<int>(h->rspLength));
        return nfcCauseInvalidData;
    }
    const uint8_t sw1 = h->rspData[h->rspLength - 2], sw2 = h->rspData[h->rspLength - 1];
    TRACE(T4_TRACE_PDU, "%s SW1 = 0x%X, SW2 = 0x%X", t4Prefix(), sw1, sw2);
    if (sw1 == 0x90 || sw1 == 0x91) {
        if (sw2 == 0x00 || sw2 == 0xAF) return nfcCauseOk;
        t4Of(h).lastDesfireStatus = sw2;
    }
    if (const StatusWord* row = lookUp(sw1, sw2)) {
        TRACE(TRC_ERROR, "%s ! %s", t4Prefix(), row->text);
        return row->cause;
    }
    TRACE(TRC_ERROR, "%s ! Response code %#x %#x", t4Prefix(), sw1, sw2);
    return nfcCauseInvalidData;
}
