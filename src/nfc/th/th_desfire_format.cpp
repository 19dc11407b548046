// The complete erase of a MIFARE DESFire: the PICC application is selected, the PICC master key
// (the factory default of eight zero bytes) is proven with the legacy DES authentication, and
// FormatPICC removes every application. Each state has one sender and one checker.
#include <cstring>

#include "th/des.h"
#include "th/th_frame.h"
#include "th/th_type4.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kInfo = T4_TRACE_INFO;

enum FormatState : uint32_t { kSelect = 0, kAuthenticate1 = 1, kAuthenticate2 = 2, kFormatPicc = 3, kEnded = 4 };

const uint8_t kDefaultKey[DES_BLOCK_SIZE] = {};
const uint8_t kRndA[DES_BLOCK_SIZE] = {};

// by: the routine that moves the sequence on.
void changeState(TTagHandler* h, uint32_t next, const void* by) {
    T4Family& f = t4Of(h);
    TRACE(kInfo, "%s Format change state 0x%X -> 0x%X, proc %p", t4Prefix(), f.formatState, next, by);
    f.formatState = next;
}

// Sends and moves on: "pending" when the PDU went out.
uint16_t send(TTagHandler* h, uint32_t next, const void* by, const uint8_t* apdu, uint16_t length) {
    changeState(h, next, by);
    return t4SendRaw(h, apdu, length) == nfcCauseOk ? nfcCauseTransactionPending : nfcCauseNotPlausible;
}

template <typename F>
const void* routine(F* f) {
    return reinterpret_cast<const void*>(f);
}

uint16_t sendSelect(TTagHandler* h) {
    const uint8_t apdu[] = {0x90, 0x5A, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00};
    return send(h, kSelect, routine(&sendSelect), apdu, sizeof apdu);
}

uint16_t sendAuthenticate1(TTagHandler* h) {
    TRACE(kInfo, "%s formatDesfireAuthenticate1() Authenticating Desfire tag (first part)", t4Prefix());
    const uint8_t apdu[] = {0x90, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00};
    return send(h, kAuthenticate1, routine(&sendAuthenticate1), apdu, sizeof apdu);
}

// The second part of the legacy authentication: the chip's enciphered RndB is deciphered,
// rotated by one byte and sent back chained behind the deciphered RndA, all in the legacy
// "decipher to send" direction.
uint16_t sendAuthenticate2(TTagHandler* h, const uint8_t* encipheredRndB) {
    TRACE(kInfo, "%s formatDesfireAuthenticate2() Authenticating Desfire tag (second part)", t4Prefix());
    uint8_t rndB[DES_BLOCK_SIZE], rotated[DES_BLOCK_SIZE], a[DES_BLOCK_SIZE], b[DES_BLOCK_SIZE];
    desDecryptBlock(kDefaultKey, encipheredRndB, rndB);
    for (unsigned i = 0; i < DES_BLOCK_SIZE; ++i) rotated[i] = rndB[(i + 1) % DES_BLOCK_SIZE];
    desDecryptBlock(kDefaultKey, kRndA, a);
    for (unsigned i = 0; i < DES_BLOCK_SIZE; ++i) b[i] = rotated[i] ^ a[i];
    desDecryptBlock(kDefaultKey, b, b);
    uint8_t apdu[5 + 2 * DES_BLOCK_SIZE + 1] = {0x90, 0xAF, 0x00, 0x00, 2 * DES_BLOCK_SIZE};
    std::memcpy(apdu + 5, a, DES_BLOCK_SIZE);
    std::memcpy(apdu + 5 + DES_BLOCK_SIZE, b, DES_BLOCK_SIZE);
    apdu[sizeof apdu - 1] = 0x00;
    return send(h, kAuthenticate2, routine(&sendAuthenticate2), apdu, sizeof apdu);
}

uint16_t sendFormat(TTagHandler* h) {
    TRACE(kInfo, "%s formatDesfireSendFormat() Sending PICC format command to Desfire tag", t4Prefix());
    const uint8_t apdu[] = {0x90, 0xFC, 0x00, 0x00, 0x00};
    return send(h, kFormatPicc, routine(&sendFormat), apdu, sizeof apdu);
}

// The answer holds exactly length bytes ending in 91 sw2.
uint16_t expect(TTagHandler* h, const char* checker, uint32_t length, uint8_t sw2) {
    const uint8_t* rx = h->rspData;
    const uint32_t n = rx ? h->rspLength : 0;
    // A bare status answer that refuses the command (a wrong key, a missing application) is a
    // refusal, not a garbled frame.
    const bool refusal = n == 2 && n != length && rx[0] == 0x91 && rx[1] != sw2;
    if (n != length && !refusal) {
        TRACE(TRC_ERROR, "%s ! %s expected response length of %u but received %u", t4Prefix(), checker, length,
              h->rspLength);
        return nfcCauseNotPlausible;
    }
    const uint8_t s1 = rx[n - 2], s2 = rx[n - 1];
    if (s1 != 0x91 || s2 != sw2) {
        TRACE(TRC_ERROR, "%s ! %s received rx[%u] = 0x%02X (expected: 0x91), rx[%u] = 0x%02X (expected: 0x%02X)",
              t4Prefix(), checker, n - 2, s1, n - 1, s2, sw2);
        return nfcCauseRejected;
    }
    TRACE(kInfo, "%s %s: Success", t4Prefix(), checker);
    return nfcCauseOk;
}

uint16_t checkState(TTagHandler* h) {
    switch (t4Of(h).formatState) {
    case kSelect:
        if (const uint16_t c = expect(h, "formatDesfireCheckState()", 2, 0x00)) return c;
        return sendAuthenticate1(h);
    case kAuthenticate1:
        if (const uint16_t c = expect(h, "formatDesfireCheckAuthentication1()", 10, 0xAF)) return c;
        return sendAuthenticate2(h, h->rspData);
    case kAuthenticate2:
        // The chip's enciphered RndA' is not verified: the format needs no proof of the chip.
        if (const uint16_t c = expect(h, "formatDesfireCheckAuthentication2()", 10, 0x00)) return c;
        return sendFormat(h);
    case kFormatPicc:
        if (const uint16_t c = expect(h, "formatDesfireCheckFormat()", 2, 0x00)) return c;
        changeState(h, kEnded, routine(&checkState));
        TRACE(kInfo, "# Format completed successfully #");
        return nfcCauseOk;
    default:
        TRACE(TRC_ERROR, "%s ! Unknown format state 0x%02X", t4Prefix(), t4Of(h).formatState);
        return nfcCauseWrongState;
    }
}

uint32_t result(TStateMachine* m, uint16_t cause) {
    TTagHandler* h = thOf(m);
    if (cause == nfcCauseTransactionPending) return SM_DONE;
    if (cause != nfcCauseOk) {
        t4Of(h).formatState = kEnded;
        TRACE(TRC_ERROR, "! Format failed in state %u with error 0x%02X", kEnded, cause);
    }
    return t4Finish(m, cause);
}

} // namespace

uint32_t t4StateLegacyFormat(TStateMachine* m, uint16_t event) {
    TTagHandler* h = thOf(m);
    switch (event) {
    case EV_SM_ENTRY:
        TRACE(kInfo, "%s starting DESFire legacy format", t4Prefix());
        t4Of(h).formatState = kSelect;
        return result(m, sendSelect(h));
    case EV_TH_TRANSACTION_IND:
        if (h->cause != nfcCauseOk) {
            TRACE(TRC_ERROR, "%s ! formatDesfireCheckState() received an unexpected cause with code: 0x%02X", t4Prefix(),
                  h->cause);
            return result(m, h->cause);
        }
        return result(m, checkState(h));
    case EV_TH_TRANSACTION_ERROR_IND: return result(m, nfcCauseNotPlausible);
    default: return SM_NOT_HANDLED;
    }
}
