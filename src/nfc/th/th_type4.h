// The Type 4 family: ISO-DEP cards with the NFC Forum NDEF application (capability container
// file E103, NDEF file with its two-byte length) in both mapping versions, and MIFARE DESFire
// chips, which are also spoken to with their native commands wrapped in ISO 7816-4 APDUs. It
// detects, reads and writes the NDEF file in chunks bounded by the CC, formats DESFire chips by
// creating the NDEF application and files, and can wipe the NDEF file or erase a whole DESFire.
#pragma once

#include <cstdint>
#include <new>

#include "th/th_handler.h"

enum T4Kind : uint32_t { T4_KIND_ISO = 0, T4_KIND_DESFIRE = 1, T4_KIND_EV1 = 2 };

// What the handler knows of the tag's files (0x20 and 0x40 exclude each other).
enum : uint8_t {
    T4_FOUND_APPLICATION = 0x01,
    T4_FOUND_CC = 0x02,
    T4_FOUND_NDEF_LENGTH = 0x04,
    T4_FOUND_APP_SELECTED = 0x10,
    T4_FOUND_CC_SELECTED = 0x20,
    T4_FOUND_NDEF_SELECTED = 0x40,
};

constexpr unsigned T4_CC_SIZE = 15;
constexpr unsigned T4_MAX_STEPS = 10;

// One exchange of a sequence: the sender returns 0 when its APDU went out (else the cause), the
// checker judges the answer in rspData and returns its cause.
struct T4Step {
    uint16_t (*send)(TTagHandler* handler);
    uint16_t (*check)(TTagHandler* handler);
};

struct T4Family {
    uint32_t kind;
    uint8_t cc[T4_CC_SIZE];
    uint16_t mle, mlc;
    uint16_t apduLimit;
    uint16_t versionIndex;          // 1 mapping 2.0, 0 mapping 1.0
    uint8_t found;
    uint32_t step;                  // of the detection chart
    T4Step steps[T4_MAX_STEPS];
    uint16_t stepIndex, stepCount;
    bool ndefChecked;
    uint16_t hardwareVersion, softwareVersion;
    uint8_t lastDesfireStatus;
    uint32_t requested;             // bytes the read asks for from its address
    bool moreData;
    uint32_t address;               // file address of the transfer in progress
    uint32_t chunk;                 // bytes of the exchange in flight
    uint32_t written;               // message bytes written since the write began
    uint32_t sentNlen;              // of the NLEN write in flight
    uint16_t wipePosition;
    uint16_t lastCause;
    uint32_t formatState;           // of the DESFire erase
};
static_assert(sizeof(T4Family) <= TH_FAMILY_STATE_SIZE);

uint32_t t4Init(TTagHandler* handler);
uint32_t t4GetProperty(TTagHandler* handler, uint32_t id, int* found);
uint32_t t4SetProperty(TTagHandler* handler, uint32_t id, uint32_t value);

// ---- Shared by the family's modules -----------------------------------------------------------
inline T4Family& t4Of(TTagHandler* h) { return *std::launder(reinterpret_cast<T4Family*>(h->family)); }
inline const char* t4Prefix() { return "th_type4:"; }
constexpr uint32_t T4_TRACE_INFO = 0x10;
constexpr uint32_t T4_TRACE_PDU = 0x20;

// Builds CLA INS P1 P2 [Lc data] [Le] into the handler's PDU and sends it; le < 0 for none. The
// Le byte 00 of the native DESFire commands and of the mapping-2.0 application SELECT is added
// by the builder. 0 when it went out, else the cause.
uint16_t t4SendApdu(TTagHandler* handler, uint8_t cla, uint8_t ins, uint16_t p1p2, const uint8_t* data, uint16_t length,
                    int le = -1);
// Sends bytes as they stand.
uint16_t t4SendRaw(TTagHandler* handler, const uint8_t* bytes, uint16_t length, uint8_t flags = 0);
// The status words of the answer in rspData: 0 for success, else the cause of the table.
uint16_t t4CheckStatus(TTagHandler* handler);

// The DESFire erase (th_desfire_format.cpp).
uint32_t t4StateLegacyFormat(TStateMachine* machine, uint16_t event);
// The end of a command: reports it and goes back to the resting state.
uint32_t t4Finish(TStateMachine* machine, uint16_t cause);
