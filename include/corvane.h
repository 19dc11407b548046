/* The public C interface of the Corvane NFC stack: every exported function, record, event
 * code, status code and tag-type bit. The library, Lumaro and every test fake include this
 * one header. Records keep their packing; every field that holds a pointer is pointer-sized. */
#ifndef CORVANE_H
#define CORVANE_H

#include <stddef.h>
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

#ifdef __cplusplus
#define CORVANE_STATIC_ASSERT(condition, text) static_assert(condition, text)
#else
#define CORVANE_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif
CORVANE_STATIC_ASSERT(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records cross the interface little-endian");

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

/* ---- Status of every export of the nfc and nfcSecure families ------------------------------ */
typedef uint32_t NfcApiStatus;
enum NfcApiStatusValue {
    nfcStatusOk = 0,
    nfcStatusFailed = 1,                /* any cause without its own status; failed SE exchanges */
    nfcStatusFatal = 2,
    nfcStatusAlreadyInitialized = 3,
    nfcStatusStartFailed = 4,           /* the stack or the application could not be started */
    nfcStatusInvalidHandle = 5,
    nfcStatusBadParameter = 6,          /* also: the request could not be posted */
    nfcStatusAuthenticationFailed = 8,
    nfcStatusNotImplemented = 10,
    nfcStatusWrongState = 11,
    nfcStatusNoResources = 12,
    nfcStatusNotConnected = 16,         /* the tag is not connected by this listener */
    nfcStatusPending = 17,
    nfcStatusBufferTooSmall = 19,       /* the length is set to what was delivered */
    nfcStatusInputTooBig = 20,
    nfcStatusWaitFailed = 21,
    nfcStatusTimeout = 22,
    nfcStatusMoreData = 23,
    nfcStatusListenMaskConflict = 24,
    nfcStatusAccessDenied = 25,
};

/* ---- Stack causes: value, text and the status an export returns for it -------------------- */
/* nfcStatusFailed stands for every cause without a mapping of its own. */
#define NFC_CAUSES(X)                                                                                                  \
    X(nfcCauseOk, 0, "OK", nfcStatusOk)                                                                                \
    X(nfcCauseMoreData, 1, "transaction read: more data available", nfcStatusMoreData)                                 \
    X(nfcCauseNoMoreData, 2, "transaction read: no more data available", nfcStatusFailed)                              \
    X(nfcCauseNoMoreWriting, 3, "transaction write: no more writing possible", nfcStatusFailed)                        \
    X(nfcCauseNotEnoughMemoryOnTag, 4, "transaction write: not enough memory available", nfcStatusFailed)              \
    X(nfcCauseNotImplemented, 5, "error: functionality not implemented", nfcStatusNotImplemented)                      \
    X(nfcCauseWrongState, 7, "error: wrong state", nfcStatusWrongState)                                                \
    X(nfcCauseNotNfcForumTag, 9, "listen error: not a NFC forum tag", nfcStatusFailed)                                 \
    X(nfcCauseNotPlausible, 10, "communication error: received data not plausible", nfcStatusFailed)                   \
    X(nfcCauseInvalidData, 11, "transaction error: invalid data (e.g. wrong MAD CRC, invalid TLV)", nfcStatusFailed)   \
    X(nfcCauseInternalSoftware, 12, "internal software problem", nfcStatusFailed)                                      \
    X(nfcCauseNoResources, 13, "internal resources insufficient", nfcStatusFailed)                                     \
    X(nfcCauseVersionMismatch, 14, "different versions of application and NFC stack", nfcStatusFailed)                 \
    X(nfcCauseWrongParameter, 17, "wrong parameter from application", nfcStatusFailed)                                 \
    X(nfcCauseWriteProtected, 18, "no writing possible: write protection", nfcStatusFailed)                            \
    X(nfcCauseAuthenticationFailed, 19, "authentication failed", nfcStatusAuthenticationFailed)                        \
    X(nfcCauseNoP2pSupport, 20, "No P2P support", nfcStatusFailed)                                                     \
    X(nfcCauseListenMaskConflict, 21, "Listen mask conflict", nfcStatusFailed)                                         \
    X(nfcCauseTagBufferTooSmall, 22, "tag buffer too small", nfcStatusBufferTooSmall)                                  \
    X(nfcCauseInputTooBig, 23, "input buffer too big", nfcStatusInputTooBig)                                           \
    X(nfcCauseSapInUse, 24, "SAP in use", nfcStatusFailed)                                                             \
    X(nfcCauseTransactionPending, 25, "transaction pending", nfcStatusFailed)                                          \
    X(nfcCauseAccessDenied, 26, "Access denied, resource conflict", nfcStatusAccessDenied)                             \
    X(nfcCauseFatal, 28, "Fatal error", nfcStatusFatal)                                                                \
    X(nfcCauseChipFailure, 29, "Chip failure", nfcStatusFailed)                                                        \
    X(nfcCauseAckMissing, 264, "communication error: ACK or 'Output' response missing", nfcStatusFailed)               \
    X(nfcCauseNoFreeTid, 269, "no free TID", nfcStatusFailed)                                                          \
    X(nfcCauseSapNotFound, 283, "SAP not found", nfcStatusFailed)                                                      \
    X(nfcCauseRejected, 518, "transaction error: rejected by NFC device (NACK or Status with error)", nfcStatusFailed) \
    X(nfcCauseNotEnoughInternalMemory, 783, "not enough internal memory", nfcStatusNoResources)                        \
    X(nfcCauseInternal, 784, "internal", nfcStatusFailed)

#define NFC_CAUSE_ENUM(name, value, text, status) name = value,
enum NfcCauseCodeValue { NFC_CAUSES(NFC_CAUSE_ENUM) };
#undef NFC_CAUSE_ENUM
typedef uint16_t NfcCauseCode;

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

/* Events of the application callback. */
enum NfcEvent {
    nfcEventTagDetected = 1,            /* TNfcTagInfo */
    nfcEventTagRemoved = 2,             /* no record */
    nfcEventConnected = 5,              /* 5 to 12: TP2pConnection */
    nfcEventConnectProceeding = 6,
    nfcEventConnectFailed = 7,
    nfcEventDisconnected = 8,
    nfcEventHangupTerminated = 9,
    nfcEventDataTransmitted = 10,
    nfcEventDataIndication = 11,
    nfcEventConnectIndication = 12,
    nfcEventReaderRequest = 13,         /* TNfcEventParam, readerRequest */
    nfcEventTransaction = 14,           /* TNfcEventParam, transaction */
    nfcEventFieldActivity = 16,         /* DWORD: 1 field on, 0 field off */
    nfcEventPnpRemovedIndication = 17,  /* no record */
    nfcEventSecureNotification = 18,   /* TNfcSecureNotification */
};

/* Handles. A secure element is named by a 32-bit id, not by an address. */
typedef struct TNfcApiInstance* NfcHandle;
typedef struct TNfcListener* NfcListenerHandle;
typedef struct TNfcSecureConnection* NfcSecureConnectionHandle;
typedef DWORD NfcSecureHandle;

/* First words of the records behind the handles ("NFCA", "LIST", "CEMU" in memory order). */
#define NFC_MAGIC_APPLICATION 0x4143464Eu
#define NFC_MAGIC_LISTENER 0x5453494Cu
#define NFC_MAGIC_CARD_EMULATION 0x554D4543u

/* Listen mask: the tag-type bits, where FeliCa stands for 0x100 and 0x200, and control bits. */
#define NFC_LISTEN_FELICA 0x00000300u
#define NFC_LISTEN_SECURE_ELEMENT 0x00020000u    /* kept as the listener's flag, not in its mask */
#define NFC_LISTEN_RF_FIELD 0x01000000u          /* asks for nfcEventFieldActivity */
#define NFC_LISTEN_KEEP_LISTENING 0x20000000u
#define NFC_LISTEN_NO_READER 0x40000000u         /* never kept in a listener's own mask */

/* Tag-type masks used throughout. */
#define NFC_MASK_MIFARE_CLASSIC 0x07000030u      /* MIFARE Classic-like tags */
#define NFC_MASK_P2P 0x0004B000u
#define NFC_MASK_CARD_EMULATION 0x00F20000u
#define NFC_MASK_HOST_CARD_EMULATION 0x00F00000u

#pragma pack(push, 1)

/* The technology-dependent bytes 22..57 of TNfcTagInfo. */
typedef struct TNfcTagInfoA {           /* ISO 14443A */
    WORD atqa;                          /* MIFARE Plus: 0x4400 selects the 2K type */
    BYTE sak;
    BYTE historicalBytes[33];
} TNfcTagInfoA;

typedef struct TNfcTagInfoB {           /* ISO 14443B */
    BYTE applicationData[4];
    BYTE higherLayerResponse[32];
} TNfcTagInfoB;

typedef struct TNfcTagInfoFelica {
    WORD systemCode;
    BYTE pmm[8];
} TNfcTagInfoFelica;

typedef struct TNfcTagInfo15693 {
    BYTE flags;
    BYTE dsfid;
} TNfcTagInfo15693;

/* The tag or device of nfcEventTagDetected and nfcGetTagInfo: 100 bytes and one word. */
typedef struct TNfcTagInfo {
    DWORD tagType;                      /* one tag-type bit, TAG_NDEF when NDEF content was found */
    BYTE uid[16];                       /* UID / NFCID */
    WORD uidLength;
    union {
        TNfcTagInfoA a;
        TNfcTagInfoB b;
        TNfcTagInfoFelica felica;
        TNfcTagInfo15693 iso15693;
    };
    WORD higherLayerResponseLength;     /* ISO 14443B, at most 32 */
    BYTE afi;                           /* ISO 14443B */
    BYTE reserved61[14];
    WORD historicalBytesLength;         /* ISO 14443A */
    BYTE reserved77;
    DWORD ndefLength;                   /* of the message on the tag */
    DWORD ndefMaxSize;
    DWORD access;                       /* NFC_TAG_WRITABLE ... */
    DWORD chipCode;                     /* the chip subtype; the high 16 bits name the maker */
    BYTE reserved94[4];
    WORD rx;
    WORD tx;                            /* the word after the 100-byte block */
} TNfcTagInfo;
CORVANE_STATIC_ASSERT(sizeof(TNfcTagInfo) == 102, "TNfcTagInfo is 100 bytes and one word");

#define NFC_TAG_WRITABLE 0x1u
#define NFC_TAG_FORMATTABLE 0x2u
#define NFC_TAG_READABLE 0x4u

/* A secure element as the controller driver lists it. */
typedef struct TNfcInfoSE {
    NfcSecureHandle handle;             /* the hSecure of the nfcSecure calls */
    WORD capabilities;
    WORD mode;                          /* NFC_SE_MODE_VIRTUAL */
    DWORD driverData[2];
    BYTE id;
} TNfcInfoSE;
CORVANE_STATIC_ASSERT(sizeof(TNfcInfoSE) == 17, "TNfcInfoSE is 17 bytes");

#define NFC_SE_MODE_VIRTUAL 0x1u

/* The record of nfcEventReaderRequest and nfcEventTransaction. */
typedef struct TNfcReaderRequest {
    BYTE* pdu;                          /* what the reader sent */
    WORD length;
} TNfcReaderRequest;

typedef struct TNfcTransaction {
    BYTE aid[16];
    WORD aidLength;
    BYTE param[16];
    WORD paramLength;
} TNfcTransaction;

typedef union TNfcEventParam {
    TNfcReaderRequest readerRequest;    /* nfcEventReaderRequest */
    TNfcTransaction transaction;        /* nfcEventTransaction */
} TNfcEventParam;

/* The controller's capabilities, filled by its driver at activation; it lives as long as the
 * stack. The vendor name takes at most 19 characters; the chip values after it are the driver's. */
#define NFC_MAX_SECURE_ELEMENTS 4
typedef struct TNfcCapabilityBlock {
    DWORD supportedMask;
    BYTE softwareVersion[4];
    BYTE hardwareVersion[4];
    char vendorName[20];
    BYTE chipValues[16];
    WORD maxLlcpFrameSize;
    WORD maxLlcpConnections;
    WORD maxLlcpWindow;
    BYTE secureElementCount;
    DWORD flags;                        /* NFC_CAP_... */
    TNfcInfoSE* secureElements[NFC_MAX_SECURE_ELEMENTS];
} TNfcCapabilityBlock;

#define NFC_CAP_OWN_POLLING_LOOP 0x01u       /* the controller runs the polling loop itself */
#define NFC_CAP_HEALTH_MONITOR 0x02u
#define NFC_CAP_HCE_WITH_VIRTUAL_SE 0x04u    /* host card emulation while an SE is in virtual mode */
#define NFC_CAP_NO_PRESENCE_POLLING 0x10u
#define NFC_CAP_MIFARE_NDEF_CHECK 0x20u      /* MIFARE Classic-like tags get an NDEF check */

/* What nfcGetCapabilities fills; the caller passes NFC_CAPABILITIES_SIZE(1). */
typedef struct TNfcCapabilities {
    DWORD reserved;
    WORD controllerCount;               /* 1 once the controller is active, else 0 */
    TNfcCapabilityBlock* controller;
} TNfcCapabilities;
#define NFC_CAPABILITIES_SIZE(controllers) \
    (offsetof(TNfcCapabilities, controller) + sizeof(TNfcCapabilityBlock*) * (controllers))

/* The listen parameters an application may give with nfcRegisterListener. Reserved bytes are
 * not read; a cleared block asks for nothing. */
typedef struct TNfcAtrBytes {
    BYTE config;                        /* the ATR_REQ or ATR_RES configuration byte */
    BYTE generalBytes[47];
} TNfcAtrBytes;

typedef struct TNfcListenParam {
    WORD listenAFlags;                  /* NFC_LISTEN_A_... */
    BYTE nfcid1[10];
    BYTE nfcid1Length;
    BYTE sak;
    BYTE sdd;                           /* low 5 bits */
    BYTE platformConfig;                /* low 4 bits */
    BYTE historicalBytes[50];
    BYTE historicalBytesLength;
    WORD listenABitRate;                /* kbit/s */
    BYTE reserved69[2];
    WORD listenBFlags;                  /* NFC_LISTEN_B_... */
    BYTE nfcid0[4];
    BYTE reserved77[44];
    WORD listenBBitRate;
    BYTE reserved123[2];
    WORD listenFFlags;                  /* NFC_LISTEN_F_... */
    WORD systemCode;                    /* handed to the controller high byte first */
    BYTE reserved129[2];
    BYTE nfcid2[8];
    WORD listenFBitRate;
    WORD p2pFlags;                      /* NFC_P2P_... */
    BYTE p2pNfcid[10];
    BYTE p2pNfcidLength;                /* at most 10 */
    BYTE reserved154[11];
    BYTE p2pDataRate;                   /* 1 106, 2 212, 3 424, 4 848, 5 1695, 6 3390, 7 6780 kbit/s */
    union {
        BYTE atrBytes[48];              /* the configuration byte and the general bytes together */
        TNfcAtrBytes atr;
    };
    BYTE atrLength;                     /* bytes of atrBytes in use */
    BYTE reserved215[2];
    BYTE poll15693Flags;                /* NFC_POLL_BIT_RATE, NFC_POLL_AFI */
    BYTE poll15693Afi;                  /* with NFC_POLL_AFI */
    BYTE reserved219;
    WORD poll15693BitRate;
    BYTE poll14443Flags;                /* NFC_POLL_BIT_RATE */
    BYTE reserved223;
    WORD poll14443BitRate;
    BYTE reserved226[33];
} TNfcListenParam;
CORVANE_STATIC_ASSERT(sizeof(TNfcListenParam) == 259, "TNfcListenParam is 259 bytes");

enum NfcListenParamFlag {
    NFC_LISTEN_A_NFCID1 = 0x01,
    NFC_LISTEN_A_BIT_RATE = 0x02,
    NFC_LISTEN_A_SAK = 0x10,
    NFC_LISTEN_A_SDD = 0x20,            /* SDD and platform configuration */
    NFC_LISTEN_A_HISTORICAL_BYTES = 0x40,
    NFC_LISTEN_B_NFCID0 = 0x01,
    NFC_LISTEN_B_BIT_RATE = 0x02,
    NFC_LISTEN_F_IDENTIFIERS = 0x01,    /* system code and NFCID2 */
    NFC_LISTEN_F_BIT_RATE = 0x02,
    NFC_P2P_NFCID_VALID = 0x01,
    NFC_P2P_DATA_RATE = 0x02,
    NFC_P2P_GENERAL_BYTES = 0x20,
    NFC_POLL_BIT_RATE = 0x02,
    NFC_POLL_AFI = 0x04,
};

/* A listen-mode routing entry as applications add and read them. */
typedef struct TNfcRoutingAid {
    BYTE length;                        /* 5 to 16 */
    BYTE bytes[16];
} TNfcRoutingAid;

typedef struct TNfcRoutingEntry {
    NfcSecureHandle hSecure;            /* 0: the entry names its NFCEE by nfceeId */
    DWORD type;                         /* NfcRoutingType */
    BYTE powerState;
    BYTE nfceeId;
    union {
        DWORD value;                    /* a technology or a protocol */
        TNfcRoutingAid aid;
    };
} TNfcRoutingEntry;
CORVANE_STATIC_ASSERT(sizeof(TNfcRoutingEntry) == 27, "a routing entry is 27 bytes");

#pragma pack(pop)

enum NfcRoutingType {
    NFC_ROUTE_TECHNOLOGY = 0,
    NFC_ROUTE_PROTOCOL = 1,
    NFC_ROUTE_AID = 2,
    NFC_ROUTE_POLL_TECHNOLOGY = 0x80,
    NFC_ROUTE_POLL_PROTOCOL = 0x81,
    NFC_ROUTE_UNKNOWN = 0xFF,           /* read back for a type the controller reported */
};

/* The notification of nfcEventSecureNotification. */
typedef struct TNfcSecureNotification {
    NfcSecureHandle handle;
    DWORD kind;                         /* NFC_SE_ACTIVATED or NFC_SE_DEACTIVATED */
    DWORD value;
} TNfcSecureNotification;

#define NFC_SE_ACTIVATED 0u
#define NFC_SE_DEACTIVATED 1u

/* I/O-control codes of nfcDeviceIoControl that the nfcSecure calls use. */
enum NfcSecureIoCode {
    NFC_IOCTL_SE_OPEN = 0x8002,         /* output: the ATR */
    NFC_IOCTL_SE_EXCHANGE = 0x8003,
    NFC_IOCTL_SE_CLOSE = 0x8004,
    NFC_IOCTL_SE_MODE_ON = 0x8008,
    NFC_IOCTL_SE_MODE_OFF = 0x800A,
    NFC_IOCTL_BATTERY_MODE_ON = 0x800B,
    NFC_IOCTL_BATTERY_MODE_OFF = 0x800C,
    NFC_IOCTL_ROUTING_ADD = 0x800D,     /* input: TNfcRoutingEntry records */
    NFC_IOCTL_ROUTING_READ = 0x800E,    /* output: TNfcRoutingEntry records */
    NFC_IOCTL_ROUTING_CLEAR = 0x800F,
    NFC_IOCTL_SE_TIMEOUT = 0x8010,      /* input: {handle, time-out} */
    NFC_IOCTL_READER_TIMEOUT = 0x8011,  /* input: {time-out, mask} */
};

/* The controller's transport as the com layer drives it. Statuses below 16 are success;
 * 1 from open means that event 1 of the callback completes it. */
typedef void (*TComCallback)(void* context, DWORD event, DWORD status, BYTE* buffer, DWORD length);
typedef DWORD (*TComOpenFunc)(const char* device, const char* parameters, TComCallback callback,
                              void* context, void** handle);
typedef DWORD (*TComCloseFunc)(void* handle);
typedef DWORD (*TComWriteFunc)(void* handle, BYTE* buffer, DWORD length);
typedef DWORD (*TComResponseFunc)(void* handle, BYTE* buffer);
typedef DWORD (*TComSetPropertyFunc)(void* handle, DWORD property, void* value, DWORD length);
typedef DWORD (*TComGetPropertyFunc)(void* handle, DWORD property, void* value, DWORD* length);

typedef struct TComLowerInterface {
    TComOpenFunc open;
    TComCloseFunc close;
    TComWriteFunc write;
    TComResponseFunc response;
    TComSetPropertyFunc setProperty;
    TComGetPropertyFunc getProperty;
} TComLowerInterface;

/* Filled by nfcInitFirmwareDownload: with it the caller drives the transport directly. */
typedef struct TNfcDownloadRecord {
    DWORD size;                         /* sizeof(TNfcDownloadRecord) */
    DWORD reserved;
    TComLowerInterface transport;       /* response stays empty */
    BYTE reserved2[12];
} TNfcDownloadRecord;

/* The application callback: runs on the library's worker thread; the record belongs to the
 * library and is valid during the call only. Its result is ignored. */
typedef DWORD (*TNfcEventCallback)(void* context, DWORD event, void* listenerContext, void* record);
typedef void (*TNfcSecureListCallback)(void* context, TNfcInfoSE* secureElement);

/* Library and applications */
CORVANE_API const char* nfcGetVersion(DWORD* apiVersion);
CORVANE_API NfcApiStatus nfcInitialize(const char* configuration);
CORVANE_API NfcApiStatus nfcInitializeEx(WORD controllerCount, const char* const* configurations);
CORVANE_API NfcApiStatus nfcDone(void);
CORVANE_API NfcApiStatus nfcCreate(void* context, TNfcEventCallback callback, NfcHandle* hNfc);
CORVANE_API NfcApiStatus nfcCreateEx(WORD controllerIndex, void* context, TNfcEventCallback callback,
                                     NfcHandle* hNfc);
CORVANE_API NfcApiStatus nfcDestroy(NfcHandle hNfc);
CORVANE_API NfcApiStatus nfcGetCapabilities(NfcHandle hNfc, TNfcCapabilities* capabilities, WORD size);
CORVANE_API NfcApiStatus nfcRegisterListener(NfcHandle hNfc, void* listenerContext, DWORD mask,
                                             const TNfcListenParam* params, NfcListenerHandle* hListener);
CORVANE_API NfcApiStatus nfcUnregisterListener(NfcListenerHandle hListener);
CORVANE_API NfcApiStatus nfcSetReaderTimeout(NfcHandle hNfc, DWORD timeoutMs, DWORD mask);

/* Tags: the tag or device last signalled to the listener */
CORVANE_API NfcApiStatus nfcGetTagInfo(NfcListenerHandle hListener, int32_t flags, TNfcTagInfo* info);
CORVANE_API NfcApiStatus nfcConnectTag(NfcListenerHandle hListener, WORD shareMode);
CORVANE_API NfcApiStatus nfcDisconnectTag(NfcListenerHandle hListener);
CORVANE_API NfcApiStatus nfcFormat(NfcListenerHandle hListener, DWORD unused1, DWORD unused2);
CORVANE_API NfcApiStatus nfcFormatNdef(NfcListenerHandle hListener, DWORD ndefSize);
CORVANE_API NfcApiStatus nfcMakeReadOnly(NfcListenerHandle hListener);
CORVANE_API NfcApiStatus nfcSelectTag(NfcListenerHandle hListener, const BYTE* data, WORD length);
CORVANE_API NfcApiStatus nfcCheckTag(NfcListenerHandle hListener);
CORVANE_API NfcApiStatus nfcExchangePdu(NfcListenerHandle hListener, const BYTE* pdu, WORD pduLength,
                                        BYTE* output, WORD* outputLength);
CORVANE_API NfcApiStatus nfcTransmitPdu(NfcListenerHandle hListener, const BYTE* pdu, WORD length);
CORVANE_API NfcApiStatus nfcWriteNdefMessage(NfcListenerHandle hListener, const BYTE* message, WORD length);
CORVANE_API NfcApiStatus nfcReadNdefMessage(NfcListenerHandle hListener, BYTE* buffer, WORD* length);

/* Secure elements, routing, device I/O control and firmware download */
CORVANE_API NfcApiStatus nfcDeviceIoControl(NfcHandle hNfc, DWORD code, const BYTE* input, WORD inputLength,
                                            BYTE* output, WORD* outputLength);
CORVANE_API NfcApiStatus nfcSecureGetList(NfcHandle hNfc, void* context, TNfcSecureListCallback callback);
CORVANE_API NfcApiStatus nfcSecureSetMode(NfcHandle hNfc, NfcSecureHandle hSecure, DWORD mode);
CORVANE_API NfcApiStatus nfcSecureSetBatteryMode(NfcHandle hNfc, NfcSecureHandle hSecure, BOOL on);
CORVANE_API NfcApiStatus nfcSecureOpen(NfcHandle hNfc, NfcSecureHandle hSecure,
                                       NfcSecureConnectionHandle* hSecureConnection);
CORVANE_API NfcApiStatus nfcSecureClose(NfcSecureConnectionHandle hSecureConnection);
CORVANE_API NfcApiStatus nfcSecureExchangePdu(NfcSecureConnectionHandle hSecureConnection, const BYTE* apdu,
                                              WORD length, BYTE* output, WORD* outputLength);
CORVANE_API NfcApiStatus nfcSecureGetATR(NfcSecureConnectionHandle hSecureConnection, BYTE* buffer,
                                         WORD* length);
CORVANE_API NfcApiStatus nfcSecureSetTimeout(NfcHandle hNfc, NfcSecureHandle hSecure, DWORD timeoutMs);
CORVANE_API NfcApiStatus nfcSecureAddRoutingEntries(NfcHandle hNfc, const TNfcRoutingEntry* entries,
                                                    DWORD count);
/* size: in, the buffer's size in bytes; out, the bytes of entries read */
CORVANE_API NfcApiStatus nfcSecureGetRoutingEntries(NfcHandle hNfc, TNfcRoutingEntry* entries, DWORD* size);
CORVANE_API NfcApiStatus nfcSecureClearRoutingEntries(NfcHandle hNfc);
CORVANE_API NfcApiStatus nfcInitFirmwareDownload(TNfcDownloadRecord* record, const char* configuration);

/* ---- Peer to peer (nfcP2P, snep, npp, handover) -------------------------------------------- */

/* Connections, listeners and connectionless sockets. */
typedef struct TP2pLink* P2pLinkHandle;

#define P2P_MAGIC_CONNECTION 0x5032504Cu    /* "LP2P" */
#define P2P_MAGIC_SOCKET 0x50325053u        /* "SP2P": a listener or a connectionless socket */
#define P2P_MAGIC_FREED 0xDEADBEEFu

/* Modes of nfcP2PListenRequestEx. */
#define P2P_MODE_CONNECTIONLESS 0u
#define P2P_MODE_CONNECTION_ORIENTED 1u

typedef struct TP2pConnected {          /* nfcEventConnected, nfcEventConnectIndication */
    WORD remoteWindow;
    WORD remoteMiu;
    BYTE localSap;
    BYTE remoteSap;
} TP2pConnected;

typedef struct TP2pData {               /* nfcEventDataIndication */
    BYTE* data;
    WORD length;
    BYTE sourceSap;
} TP2pData;

/* The record of the P2P events, valid during the callback only. */
typedef struct TP2pConnection {
    union {
        void* context;                  /* the link context the caller gave */
        P2pLinkHandle newConnection;    /* nfcEventConnectIndication: the connection to answer */
    };
    union {
        TP2pConnected connected;
        DWORD cause;                    /* 7, 8, 9; 0 for 6; 10: not 0 when the data were not sent */
        TP2pData data;
        DWORD words[25];                /* all 0 for nfcEventDataTransmitted but the cause */
    };
} TP2pConnection;

/* The data of nfcP2PDataRequest and nfcP2PDataRequestTo are sent from the caller's buffer, which
 * must stay valid until nfcEventDataTransmitted. */
CORVANE_API NfcApiStatus nfcP2PConnectRequest(NfcListenerHandle hListen, void* context, TNfcEventCallback callback,
                                              DWORD window, DWORD miu, BYTE sap, const char* serviceName,
                                              P2pLinkHandle* hConnection);
CORVANE_API NfcApiStatus nfcP2PListenRequest(NfcHandle hNfc, void* context, TNfcEventCallback callback,
                                             DWORD maxConnections, DWORD window, DWORD miu, BYTE sap,
                                             const char* serviceName, P2pLinkHandle* hListenServer);
CORVANE_API NfcApiStatus nfcP2PListenRequestEx(NfcHandle hNfc, void* context, TNfcEventCallback callback,
                                               DWORD mode, DWORD maxConnections, DWORD window, DWORD miu,
                                               BYTE sap, const char* serviceName, P2pLinkHandle* hListenServer);
CORVANE_API NfcApiStatus nfcP2PConnectResponse(P2pLinkHandle hConnection, void* context,
                                               TNfcEventCallback callback);
CORVANE_API NfcApiStatus nfcP2POpenCLSocket(NfcHandle hNfc, void* context, TNfcEventCallback callback, BYTE sap,
                                            P2pLinkHandle* hSocket);
CORVANE_API NfcApiStatus nfcP2PCloseCLSocket(P2pLinkHandle hSocket);
CORVANE_API NfcApiStatus nfcP2PDisconnectRequest(P2pLinkHandle hConnection);
CORVANE_API NfcApiStatus nfcP2PDataRequest(P2pLinkHandle hConnection, const BYTE* data, DWORD length);
CORVANE_API NfcApiStatus nfcP2PDataRequestTo(P2pLinkHandle hSocket, BYTE destinationSap, const BYTE* data,
                                             DWORD length);
CORVANE_API NfcApiStatus nfcP2PDataResponse(P2pLinkHandle hConnection);
CORVANE_API NfcApiStatus nfcP2PSdpRequest(NfcHandle hNfc, const char* serviceName, BYTE* sap);

/* SNEP */
typedef struct TSnepClient* SnepClientHandle;
typedef struct TSnepServer* SnepServerHandle;

enum SnepCode {
    SNEP_REQ_CONTINUE = 0x00,
    SNEP_REQ_GET = 0x01,
    SNEP_REQ_PUT = 0x02,
    SNEP_REQ_REJECT = 0x7F,
    SNEP_RESP_CONTINUE = 0x80,
    SNEP_RESP_SUCCESS = 0x81,
    SNEP_RESP_NOT_FOUND = 0xC0,
    SNEP_RESP_EXCESS_DATA = 0xC1,
    SNEP_RESP_BAD_REQUEST = 0xC2,
    SNEP_RESP_NOT_IMPLEMENTED = 0xE0,
    SNEP_RESP_UNSUPPORTED_VERSION = 0xE1,
    SNEP_RESP_REJECT = 0xFF,
};

enum SnepEvent {
    snepEventConnected = 30,            /* client: connected; server: a client connected */
    snepEventGetReceived = 31,          /* server: TSnepServerReport.get */
    snepEventPutReceived = 32,          /* server: TSnepServerReport.put */
    snepEventProgress = 33,             /* {bytes, percent} */
    snepEventResponse = 34,             /* client: {NDEF length, code} received; server: sent */
    snepEventFailed = 35,               /* client: {0, code} */
    snepEventClientDisconnected = 36,   /* server */
    snepEventEnded = 37,                /* client: disconnected; server: ended, no record */
};

typedef struct TSnepClientReport {
    DWORD count;                        /* bytes sent, or the NDEF length of a response */
    DWORD value;                        /* percent, or a response code */
} TSnepClientReport;

typedef struct TSnepGetReport {
    DWORD ndefLength;
    DWORD acceptableLength;
    BYTE* ndef;
} TSnepGetReport;

typedef struct TSnepPutReport {
    DWORD ndefLength;
    BYTE* ndef;
} TSnepPutReport;

typedef union TSnepServerReport {
    TSnepGetReport get;
    TSnepPutReport put;
    TSnepClientReport progress;
} TSnepServerReport;

#define SNEP_TRANSFER_GET 1u
#define SNEP_TRANSFER_PUT 2u
#define SNEP_SERVER_APPLICATION_RESPONDS 0x1u   /* the application answers with snepSendResponse */

typedef struct TSnepTransferEntry {
    const BYTE* data;
    DWORD length;
    DWORD kind;                         /* SNEP_TRANSFER_GET or SNEP_TRANSFER_PUT */
    BYTE* output;                       /* GET: the response */
    DWORD acceptableLength;
} TSnepTransferEntry;

/* The record is a TSnepClientReport or a TSnepServerReport; the result is ignored. */
typedef DWORD (*TSnepCallback)(void* context, DWORD event, void* report);

CORVANE_API NfcApiStatus snepConnect(SnepClientHandle* hClient, NfcListenerHandle hListen, const char* serviceName,
                                     BYTE sap, DWORD miu, void* context, TSnepCallback callback, BOOL asynchronous);
CORVANE_API NfcApiStatus snepPut(SnepClientHandle hClient, const BYTE* ndef, DWORD length);
CORVANE_API NfcApiStatus snepGet(SnepClientHandle hClient, const BYTE* request, DWORD length, BYTE* output,
                                 DWORD* acceptableLength);
CORVANE_API NfcApiStatus snepTransfer(SnepClientHandle hClient, TSnepTransferEntry* entries, DWORD count);
CORVANE_API NfcApiStatus snepDisconnect(SnepClientHandle hClient);
CORVANE_API NfcApiStatus snepReleaseClient(SnepClientHandle hClient);
CORVANE_API NfcApiStatus snepStartServer(SnepServerHandle* hServer, NfcHandle hNfc, const char* serviceName,
                                         BYTE sap, DWORD miu, void* context, TSnepCallback callback);
CORVANE_API NfcApiStatus snepServerSetFlag(SnepServerHandle hServer, DWORD flag);
CORVANE_API NfcApiStatus snepSendResponse(SnepServerHandle hServer, BYTE code, const BYTE* ndef, DWORD length);
CORVANE_API NfcApiStatus snepStopServer(SnepServerHandle hServer);
CORVANE_API NfcApiStatus snepReleaseServer(SnepServerHandle hServer);

/* NPP */
typedef struct TNppServer* NppServerHandle;

enum NppResult {
    nppOk = 0,
    nppFailed = 2,
    nppTimeout = 3,
    nppBadParameter = 4,
};

enum NppEvent {
    nppEventPushed = 0,                 /* client: the push ended */
    nppEventPushFailed = 1,             /* client */
    nppEventClientConnected = 2,        /* server */
    nppEventMessage = 3,                /* server: one NDEF message, valid during the call */
    nppEventClientDisconnected = 4,     /* server */
    nppEventServerEnded = 5,            /* server */
};

typedef struct TNppEntry {
    const BYTE* ndef;
    DWORD length;
    BYTE action;                        /* 1 or 2 */
} TNppEntry;

typedef DWORD (*TNppCallback)(void* context, DWORD event, BYTE* data, DWORD length);

CORVANE_API DWORD nppPush(NfcListenerHandle hListen, DWORD miu, TNppCallback callback, void* context,
                          const TNppEntry* entries, DWORD count, BOOL asynchronous);
CORVANE_API DWORD nppStartServer(NppServerHandle* hServer, NfcHandle hNfc, void* reserved, void* context,
                                 TNppCallback callback);
CORVANE_API DWORD nppStopServer(NppServerHandle hServer);
CORVANE_API DWORD nppReleaseServer(NppServerHandle hServer);

/* Connection handover */
typedef struct THandoverClient* HandoverClientHandle;
typedef struct THandoverServer* HandoverServerHandle;

enum HandoverEvent {
    handoverEventClientConnected = 40,  /* server */
    handoverEventRequestReceived = 41,  /* server: the Handover Request */
    handoverEventClientDisconnected = 42,
    handoverEventSelectSent = 43,
    handoverEventServerEnded = 44,
    handoverEventConnected = 45,        /* client */
    handoverEventSelectReceived = 46,   /* client: the Handover Select */
    handoverEventRequestSent = 47,
    handoverEventFailed = 48,           /* client: the connection failed or ended */
};

typedef DWORD (*THandoverCallback)(void* context, DWORD event, BYTE* data, DWORD length);

CORVANE_API NfcApiStatus handoverConnect(NfcListenerHandle hListen, NfcHandle hNfc, HandoverClientHandle* hClient,
                                         void* context, THandoverCallback callback, BOOL asynchronous);
CORVANE_API NfcApiStatus handoverSendRequest(NfcListenerHandle hListen, NfcHandle hNfc, const BYTE* request,
                                             DWORD length, BYTE* response, WORD* responseLength);
CORVANE_API NfcApiStatus handoverSendRequest_Async(HandoverClientHandle hClient, const BYTE* request,
                                                   DWORD length);
/* The server calls answer a truth value, not a status. */
CORVANE_API BOOL handoverStartServer(HandoverServerHandle* hServer, NfcHandle hNfc, void* context,
                                     THandoverCallback callback);
CORVANE_API BOOL handoverSendSelect(HandoverServerHandle hServer, const BYTE* select, DWORD length);
CORVANE_API BOOL handoverReleaseServer(HandoverServerHandle hServer);

/* ---- NDEF building and parsing (ndef) ------------------------------------------------------ */
/* The NDEF toolkit does no I/O and allocates nothing: it encodes record descriptors into a
 * caller's buffer, walks encoded messages, and builds and reads connection-handover records. */

/* Results of every NDEF operation (the toolkit's own values, not NfcApiStatus codes). */
typedef uint32_t NdefStatus;
enum NdefStatusValue {
    NDEF_OK = 0,
    NDEF_BAD_PARAMETER = 1,
    NDEF_MALFORMED = 3,
    NDEF_STOPPED = 4,          /* the parse callback answered 0 */
    NDEF_BUFFER_TOO_SMALL = 5, /* the needed size is written back where the operation says so */
    NDEF_NOT_FOUND = 6,
    NDEF_WRONG_STATE = 7       /* handover builder called out of order */
};

/* How a record's payload is laid out. Well-known types (TNF 1) are told apart by their type. */
typedef uint32_t NdefRecordTypeId;
enum NdefRecordTypeIdValue {
    NDEF_ID_NONE = 0,
    NDEF_ID_UNKNOWN = 1,        /* TNF 5 */
    NDEF_ID_EXTERNAL = 2,       /* TNF 4 */
    NDEF_ID_ABSOLUTE_URI = 3,   /* TNF 3 */
    NDEF_ID_TEXT = 0x101,       /* "T" */
    NDEF_ID_URI = 0x102,        /* "U" */
    NDEF_ID_SMART_POSTER = 0x103, /* "Sp" */
    NDEF_ID_ACTION = 0x104,     /* "act" */
    NDEF_ID_SIZE = 0x105,       /* "s" */
    NDEF_ID_TYPE = 0x106,       /* "t" */
    NDEF_ID_ALTERNATIVE_CARRIER = 0x107,  /* "ac" */
    NDEF_ID_HANDOVER_CARRIER = 0x108,     /* "Hc" */
    NDEF_ID_HANDOVER_SELECT = 0x109,      /* "Hs" */
    NDEF_ID_HANDOVER_REQUEST = 0x10A,     /* "Hr" */
    NDEF_ID_COLLISION_RESOLUTION = 0x10B, /* "cr" */
    NDEF_ID_HANDOVER_ERROR = 0x10C,       /* "err" */
    NDEF_ID_HANDOVER_MEDIATION = 0x10D,   /* "Hm" */
    NDEF_ID_HANDOVER_CAPABILITIES = 0x10E,/* "Ha" */
    NDEF_ID_HANDOVER_INITIATE = 0x10F,    /* "Hi" */
    NDEF_ID_MIME = 0x200        /* TNF 2 */
};

/* Type name formats of the record header. */
enum NdefTnf {
    NDEF_TNF_EMPTY = 0,
    NDEF_TNF_WELL_KNOWN = 1,
    NDEF_TNF_MIME = 2,
    NDEF_TNF_ABSOLUTE_URI = 3,
    NDEF_TNF_EXTERNAL = 4,
    NDEF_TNF_UNKNOWN = 5,
    NDEF_TNF_UNCHANGED = 6,
    NDEF_TNF_RESERVED = 7
};

/* URI identifier codes and their prefixes, in code order (0x00 to 0x23). A code above the
 * last stands for the empty prefix. */
#define NDEF_URI_PREFIXES(X)                                                              \
    X(0x00, "") X(0x01, "http://www.") X(0x02, "https://www.") X(0x03, "http://")         \
    X(0x04, "https://") X(0x05, "tel:") X(0x06, "mailto:")                                \
    X(0x07, "ftp://anonymous:anonymous@") X(0x08, "ftp://ftp.") X(0x09, "ftps://")        \
    X(0x0A, "sftp://") X(0x0B, "smb://") X(0x0C, "nfs://") X(0x0D, "ftp://")              \
    X(0x0E, "dav://") X(0x0F, "news:") X(0x10, "telnet://") X(0x11, "imap:")              \
    X(0x12, "rtsp://") X(0x13, "urn:") X(0x14, "pop:") X(0x15, "sip:") X(0x16, "sips:")   \
    X(0x17, "tftp:") X(0x18, "btspp://") X(0x19, "btl2cap://") X(0x1A, "btgoep://")       \
    X(0x1B, "tcpobex://") X(0x1C, "irdaobex://") X(0x1D, "file://")                       \
    X(0x1E, "urn:epc:id:") X(0x1F, "urn:epc:tag:") X(0x20, "urn:epc:pat:")                \
    X(0x21, "urn:epc:raw:") X(0x22, "urn:epc:") X(0x23, "urn:nfc:")

/* Smart Poster action value that means "no action record" when building. */
#define NDEF_NO_ACTION 256u

typedef struct TNdefRecordInfo TNdefRecordInfo;

/* One record, both directions. Building: the caller fills the common fields and the per-type
 * part; the builder fills `record` and `recordLength`. Parsing: every pointer points into the
 * parsed message; the descriptor is valid only during the callback (copy it by sizeof). */
struct TNdefRecordInfo {
    uint32_t level;         /* 0 for the outer message, one more per enclosing record */
    uint32_t index;         /* position within its own (nested) message, from 0 */
    uint8_t chunked;        /* parsing: CF bit; building: the NEXT record is a continuation */
    uint32_t tnf;           /* 0 to 7 */
    const uint8_t* type;    /* not zero-terminated */
    uint8_t typeLength;
    NdefRecordTypeId recordTypeId;
    const uint8_t* id;
    uint8_t idLength;
    const uint8_t* record;  /* the encoded record, header byte first */
    uint32_t recordLength;  /* header byte to the end of the payload */
    union {
        struct {            /* NDEF_ID_TEXT */
            uint8_t encoding;   /* building: 1 = UTF-16, else UTF-8; parsing: 0x80 UTF-16, 0 UTF-8 */
            const uint8_t* language;
            uint8_t languageLength;
            const uint8_t* text;
            uint32_t textLength;
        } text;
        struct {            /* NDEF_ID_URI */
            uint8_t prefixCode;
            const uint8_t* rest;
            uint32_t restLength;
        } uri;
        struct {            /* NDEF_ID_SMART_POSTER, building only (both 0 when parsed) */
            TNdefRecordInfo** records;
            uint32_t count;
        } smartPoster;
        struct {            /* NDEF_ID_ACTION */
            uint8_t code;
        } action;
        struct {            /* NDEF_ID_SIZE */
            uint32_t value;
        } size;
        struct {            /* every other id; building uses it for the handover ids too */
            const uint8_t* data;
            uint32_t length;
        } payload;
        struct {            /* NDEF_ID_ALTERNATIVE_CARRIER, parsing */
            uint32_t powerState;
            const uint8_t* reference;
            uint8_t referenceLength;
            uint8_t auxiliaryCount;
            const uint8_t* auxiliaryReferences; /* auxiliaryCount times {u8 length, bytes} */
        } alternativeCarrier;
        struct {            /* NDEF_ID_HANDOVER_CARRIER, parsing */
            uint32_t typeFormat;
            uint32_t typeLength;
            const uint8_t* type;
            const uint8_t* data;
            uint32_t dataLength;
        } carrier;
        struct {            /* "Hr", "Hs", "Hm", "Ha", "Hi", parsing */
            uint8_t major;
            uint8_t minor;
            uint32_t initiate;  /* "Hi" only */
        } handover;
        struct {            /* NDEF_ID_COLLISION_RESOLUTION, parsing */
            uint32_t random;
        } collision;
        struct {            /* NDEF_ID_HANDOVER_ERROR, parsing */
            uint8_t reason;
            uint32_t data;
        } error;
    };
};

/* Parse callback: non-zero goes on, 0 stops the walk (which then returns NDEF_STOPPED). */
typedef uint32_t (*NdefRecordCallback)(void* context, const TNdefRecordInfo* record);

/* Bluetooth secure simple pairing out-of-band data. Building reads the pairs; extracting
 * points them into the payload. */
typedef struct TNdefBtSspInfo {
    const uint8_t* localName;
    uint32_t localNameLength;
    const uint8_t* deviceAddress;   /* six bytes */
    uint32_t deviceAddressLength;
    const uint8_t* classOfDevice;
    uint32_t classOfDeviceLength;
    const uint8_t* hashC;
    uint32_t hashCLength;
    const uint8_t* randomizerR;
    uint32_t randomizerRLength;
    const uint8_t* serviceClassUuids;
    uint32_t serviceClassUuidsLength;
} TNdefBtSspInfo;

/* Wi-Fi Simple Configuration credential. */
typedef struct TNdefWifiInfo {
    const uint8_t* networkIndex;
    uint32_t networkIndexLength;
    const uint8_t* ssid;
    uint32_t ssidLength;
    const uint8_t* authenticationType;
    uint32_t authenticationTypeLength;
    const uint8_t* encryptionType;
    uint32_t encryptionTypeLength;
    const uint8_t* networkKey;
    uint32_t networkKeyLength;
    const uint8_t* macAddress;
    uint32_t macAddressLength;
    uint32_t networkKeyShareable;
} TNdefWifiInfo;

/* Handover error record: reasons 1 and 3 carry one data byte, reason 2 four bytes. */
typedef struct TNdefHandoverError {
    uint8_t reason;
    uint32_t data;
} TNdefHandoverError;

/* Step-wise handover builder: held by the caller, its fields are the library's business.
 * Positions are offsets into the buffer. */
typedef struct TNdefHandoverBuilder {
    uint8_t* buffer;
    uint32_t capacity;
    uint32_t position;       /* end of the handover record so far */
    uint32_t trailing;       /* length of the carrier and auxiliary records after it */
    uint32_t acStart;        /* the open (or last) "ac" record */
    uint32_t lastTrailing;   /* the last record of the trailing area */
    uint32_t lastNested;     /* the last record inside the handover record (0: none yet) */
    uint32_t auxCount;       /* auxiliary references of the open "ac" record */
    uint32_t carrierCount;   /* carriers added so far */
    uint32_t state;          /* 0 started, 1 "ac" open, 2 error added, 3 finalised */
} TNdefHandoverBuilder;

/* Building: `length` is in/out, the capacity on entry and the size built (or, with
 * NDEF_BUFFER_TOO_SMALL, the size needed) on exit. */
CORVANE_API NdefStatus ndefCreateMessageEx(TNdefRecordInfo** records, uint32_t count, uint8_t* buffer,
                                           uint32_t* length);
CORVANE_API NdefStatus ndefCreateMessage(TNdefRecordInfo* record, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateUriMessage(const char* uri, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateTextMessage(const uint8_t* text, uint32_t textLength, const char* language,
                                             uint32_t encoding, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateSmartPosterUriMessage(const uint8_t* text, uint32_t textLength,
                                                       const char* language, uint32_t encoding,
                                                       const char* uri, uint32_t action, uint8_t* buffer,
                                                       uint32_t* length);
CORVANE_API NdefStatus ndefCreateVCardMessage(const uint8_t* data, uint32_t dataLength, uint8_t* buffer,
                                              uint32_t* length);
CORVANE_API NdefStatus ndefCreateMimeMessage(const uint8_t* data, uint32_t dataLength, const char* mimeType,
                                             uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateAbsoluteUriMessage(const char* uri, const uint8_t* payload,
                                                    uint32_t payloadLength, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateExternalTypeMessage(const char* type, const uint8_t* payload,
                                                     uint32_t payloadLength, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateUnknownTypeMessage(const uint8_t* payload, uint32_t payloadLength,
                                                    uint8_t* buffer, uint32_t* length);

/* Parsing and accessors. `index` counts the records of the accessor's kind at every level;
 * `level`, when given, receives the found record's nesting level. */
CORVANE_API NdefStatus ndefParseMessage(NdefRecordCallback callback, void* context, const uint8_t* data,
                                        uint32_t length);
CORVANE_API uint32_t ndefGetNumberOfRecords(const uint8_t* data, uint32_t length); /* 0xFFFFFFFF: bad */
CORVANE_API NdefStatus ndefGetText(const uint8_t* data, uint32_t length, uint32_t index, char* text,
                                   uint32_t* textLength, uint32_t* encoding, char* language,
                                   uint32_t* languageLength, uint32_t* level);
CORVANE_API NdefStatus ndefGetUri(const uint8_t* data, uint32_t length, uint32_t index, char* uri,
                                  uint32_t* uriLength, uint32_t* level);
CORVANE_API NdefStatus ndefGetAction(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* action,
                                     uint32_t* level);
CORVANE_API NdefStatus ndefGetVCard(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* buffer,
                                    uint32_t* bufferLength, uint32_t* level);
CORVANE_API NdefStatus ndefGetPicture(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* buffer,
                                      uint32_t* bufferLength, char* mimeType, uint32_t* mimeTypeLength,
                                      uint32_t* level);
CORVANE_API NdefStatus ndefGetExternal(const uint8_t* data, uint32_t length, uint32_t index, char* type,
                                       uint32_t* typeLength, uint8_t* payload, uint32_t* payloadLength,
                                       uint32_t* level);
CORVANE_API NdefStatus ndefGetUnknown(const uint8_t* data, uint32_t length, uint32_t index, uint8_t* buffer,
                                      uint32_t* bufferLength, uint32_t* level);

/* Carrier configuration records and their extractors. */
CORVANE_API NdefStatus ndefCreateBluetoothSSP(const TNdefBtSspInfo* info, const uint8_t* id, uint32_t idLength,
                                              uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateWifiSimpleConfig(const TNdefWifiInfo* info, const uint8_t* id,
                                                  uint32_t idLength, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefExtractBluetoothSsp(const uint8_t* payload, uint32_t length, TNdefBtSspInfo* info);
CORVANE_API NdefStatus ndefExtractWifiSimpleConfig(const uint8_t* payload, uint32_t length, TNdefWifiInfo* info);

/* Step-wise handover building in one caller buffer. */
CORVANE_API NdefStatus ndefStartHandoverRequest(TNdefHandoverBuilder* builder, uint8_t* buffer, uint32_t capacity,
                                                uint16_t random);
CORVANE_API NdefStatus ndefStartHandoverSelect(TNdefHandoverBuilder* builder, uint8_t* buffer, uint32_t capacity);
CORVANE_API NdefStatus ndefAddAlternativeCarrier(TNdefHandoverBuilder* builder, uint32_t powerState,
                                                 const uint8_t* carrierRecord, uint32_t carrierLength);
CORVANE_API NdefStatus ndefAddAuxiliaryData(TNdefHandoverBuilder* builder, const uint8_t* auxRecord,
                                            uint32_t auxLength);
CORVANE_API NdefStatus ndefAddBluetoothSSPRecord(TNdefHandoverBuilder* builder, const TNdefBtSspInfo* info,
                                                 uint32_t powerState);
CORVANE_API NdefStatus ndefAddWiFiRecord(TNdefHandoverBuilder* builder, const TNdefWifiInfo* info,
                                         uint32_t powerState);
CORVANE_API NdefStatus ndefFinalizeHandoverMessage(TNdefHandoverBuilder* builder, uint32_t* length);

/* One-call handover messages. */
CORVANE_API NdefStatus ndefCreateHandoverRequest(const TNdefBtSspInfo* bt, uint32_t btPowerState,
                                                 const TNdefWifiInfo* wifi, uint32_t wifiPowerState,
                                                 uint16_t random, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateHandoverRequestBT(const TNdefBtSspInfo* bt, uint32_t powerState, uint16_t random,
                                                   uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateHandoverRequestWiFi(const TNdefWifiInfo* wifi, uint32_t powerState,
                                                     uint16_t random, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateHandoverSelect(const TNdefBtSspInfo* bt, uint32_t btPowerState,
                                                const TNdefWifiInfo* wifi, uint32_t wifiPowerState,
                                                const TNdefHandoverError* error, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateHandoverSelectBT(const TNdefBtSspInfo* bt, uint32_t powerState,
                                                  const TNdefHandoverError* error, uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateHandoverSelectWiFi(const TNdefWifiInfo* wifi, uint32_t powerState,
                                                    const TNdefHandoverError* error, uint8_t* buffer,
                                                    uint32_t* length);
CORVANE_API NdefStatus ndefCreateHandoverInitiate(const TNdefBtSspInfo* bt, uint32_t btPowerState,
                                                  const TNdefWifiInfo* wifi, uint32_t wifiPowerState,
                                                  uint8_t* buffer, uint32_t* length, uint32_t flag);
CORVANE_API NdefStatus ndefCreateHandoverCapabilities(const TNdefBtSspInfo* bt, uint32_t btPowerState,
                                                      const TNdefWifiInfo* wifi, uint32_t wifiPowerState,
                                                      uint8_t* buffer, uint32_t* length);
CORVANE_API NdefStatus ndefCreateHandoverRequestMediator(uint16_t random, uint8_t* buffer, uint32_t* length);

#endif /* CORVANE_H */
