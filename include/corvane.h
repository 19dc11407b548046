/* The public C interface of the Corvane NFC stack: every exported function, record, event
 * code, status code and tag-type bit. The library, Lumaro and every test fake include this
 * one header. Records keep their packing; every field that holds a pointer is pointer-sized. */
#ifndef CORVANE_H
#define CORVANE_H

#include <stdint.h>

#ifdef __cplusplus
#define CORVANE_EXTERN_C extern "C"
#else
#define CORVANE_EXTERN_C
#endif

#define CORVANE_API CORVANE_EXTERN_C __attribute__((visibility("default")))

/* ---- Scalar types ------------------------------------------------------------------------ */
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t BOOL;
typedef BYTE* PBYTE;

/* ---- Tag-type bits: one source for values and trace names ---------------------------------- */
#define NFC_TAG_BITS(X)                         \
    X(TAG_ISO14443A, 0x00000001u)               \
    X(TAG_14443B, 0x00000002u)                  \
    X(TAG_15693, 0x00000004u)                   \
    X(TAG_MIFARE_STD_1K, 0x00000010u)           \
    X(TAG_MIFARE_STD_4K, 0x00000020u)           \
    X(TAG_ULTRALIGHT_TYPE2, 0x00000040u)        \
    X(TAG_DESFIRE_TYPE4, 0x00000080u)           \
    X(TAG_FELICA_TYPE3, 0x00000100u)            \
    X(TAG_JEWEL_TYPE1, 0x00000400u)             \
    X(TAG_KOVIO_BARCODE, 0x00000800u)           \
    X(P2P_INITIATOR, 0x00001000u)               \
    X(P2P_TARGET, 0x00002000u)                  \
    X(CE_SECURE_CE, 0x00020000u)                \
    X(CE_HOST_14443A_106, 0x00100000u)          \
    X(CE_HOST_14443B_106, 0x00200000u)          \
    X(CE_HOST_FELICA, 0x00400000u)              \
    X(CE_HOST_14443B2_106, 0x00800000u)         \
    X(TAG_MIFARE_S20, 0x01000000u)              \
    X(TAG_MIFARE_PLUS_2K, 0x02000000u)          \
    X(TAG_MIFARE_PLUS_4K, 0x04000000u)          \
    X(TAG_NDEF, 0x80000000u)

#define NFC_TAG_BIT_ENUM(name, value) name = value,
enum NfcTagBit { NFC_TAG_BITS(NFC_TAG_BIT_ENUM) };
#undef NFC_TAG_BIT_ENUM

/* ---- Stack causes: value, text and the status an export returns for it -------------------- */
/* Status 1 ("other failure") stands for every cause without a mapping of its own. */
#define NFC_CAUSES(X)                                                                                     \
    X(nfcCauseOk, 0, "OK", 0)                                                                              \
    X(nfcCauseMoreData, 1, "transaction read: more data available", 23)                                    \
    X(nfcCauseNoMoreData, 2, "transaction read: no more data available", 1)                                \
    X(nfcCauseNoMoreWriting, 3, "transaction write: no more writing possible", 1)                          \
    X(nfcCauseNotEnoughMemoryOnTag, 4, "transaction write: not enough memory available", 1)                \
    X(nfcCauseNotImplemented, 5, "error: functionality not implemented", 10)                               \
    X(nfcCauseWrongState, 7, "error: wrong state", 11)                                                     \
    X(nfcCauseNotNfcForumTag, 9, "listen error: not a NFC forum tag", 1)                                   \
    X(nfcCauseNotPlausible, 10, "communication error: received data not plausible", 1)                     \
    X(nfcCauseInvalidData, 11, "transaction error: invalid data (e.g. wrong MAD CRC, invalid TLV)", 1)     \
    X(nfcCauseInternalSoftware, 12, "internal software problem", 1)                                        \
    X(nfcCauseNoResources, 13, "internal resources insufficient", 1)                                       \
    X(nfcCauseVersionMismatch, 14, "different versions of application and NFC stack", 1)                   \
    X(nfcCauseWrongParameter, 17, "wrong parameter from application", 1)                                   \
    X(nfcCauseWriteProtected, 18, "no writing possible: write protection", 1)                              \
    X(nfcCauseAuthenticationFailed, 19, "authentication failed", 8)                                        \
    X(nfcCauseNoP2pSupport, 20, "No P2P support", 1)                                                       \
    X(nfcCauseListenMaskConflict, 21, "Listen mask conflict", 1)                                           \
    X(nfcCauseTagBufferTooSmall, 22, "tag buffer too small", 19)                                           \
    X(nfcCauseInputTooBig, 23, "input buffer too big", 20)                                                 \
    X(nfcCauseSapInUse, 24, "SAP in use", 1)                                                               \
    X(nfcCauseTransactionPending, 25, "transaction pending", 1)                                            \
    X(nfcCauseAccessDenied, 26, "Access denied, resource conflict", 25)                                    \
    X(nfcCauseFatal, 28, "Fatal error", 2)                                                                 \
    X(nfcCauseChipFailure, 29, "Chip failure", 1)                                                          \
    X(nfcCauseAckMissing, 264, "communication error: ACK or 'Output' response missing", 1)                 \
    X(nfcCauseNoFreeTid, 269, "no free TID", 1)                                                            \
    X(nfcCauseSapNotFound, 283, "SAP not found", 1)                                                        \
    X(nfcCauseRejected, 518, "transaction error: rejected by NFC device (NACK or Status with error)", 1)   \
    X(nfcCauseNotEnoughInternalMemory, 783, "not enough internal memory", 12)                              \
    X(nfcCauseInternal, 784, "internal", 1)

#define NFC_CAUSE_ENUM(name, value, text, status) name = value,
enum NfcCauseCodeValue { NFC_CAUSES(NFC_CAUSE_ENUM) };
#undef NFC_CAUSE_ENUM
typedef uint16_t NfcCauseCode;
typedef uint32_t NfcApiStatus;

/* ---- Trace words and capture (debug family) ---------------------------------------------- */
typedef void (*TDebugOutputFunc)(const char* line);
typedef void (*TDebugOutputFuncEx)(void* context, const char* line);

CORVANE_API DWORD debugSetFlags(DWORD flags);
CORVANE_API DWORD debugGetFlags(void);
CORVANE_API DWORD debugSetL1Flags(DWORD flags);
CORVANE_API DWORD debugGetL1Flags(void);
CORVANE_API TDebugOutputFunc debugCaptureOutput(TDebugOutputFunc sink);
CORVANE_API void* debugCaptureOutputEx(TDebugOutputFuncEx callback, void* context);

/* ---- Library, applications, listeners, tags, secure elements (nfc, nfcSecure) ------------ */

/* ---- Peer to peer (nfcP2P, snep, npp, handover) -------------------------------------------- */

/* ---- NDEF building and parsing (ndef) ------------------------------------------------------ */

#endif /* CORVANE_H */
