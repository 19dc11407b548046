// NFC-DEP (NFCIP-1) for controllers that hand the host raw frames: ATR, DEP, DSL and RLS frames
// built and parsed, messages cut into pieces with the MI bit and joined again, packets numbered,
// attention and time-out extension answered, frames sent again on time-outs. The engine owns no
// timer and no I/O: each frame leaves through the transmit callback with the time-out the host is
// to arm, and the host feeds received frames and expiries back in.
#pragma once

#include <cstdint>

constexpr uint32_t NFCIP_MESSAGE_MAX = 2051;
constexpr uint32_t NFCIP_GB_MAX = 48;

enum : int32_t {
    NFCIP_ERR_SHORT = -1, NFCIP_ERR_REQUEST = -2, NFCIP_ERR_RESPONSE = -3, NFCIP_ERR_CMD0 = -4,
    NFCIP_ERR_PROTOCOL = -5, NFCIP_ERR_BLOCKED = -6, NFCIP_ERR_SIZE = -7, NFCIP_ERR_RETRIES = -8,
};
enum : uint32_t { NFCIP_EV_ACTIVATED = 1, NFCIP_EV_DATA = 2, NFCIP_EV_DEACTIVATED = 3, NFCIP_EV_PSL = 4 };
enum : uint32_t { NFCIP_INITIATOR = 1, NFCIP_TARGET = 2 };

struct TNfcipCallbacks {
    void (*error)(void* user, int32_t code);
    void (*transmit)(void* user, const uint8_t* frame, uint32_t length, uint32_t timeoutMs);
    void (*event)(void* user, uint32_t event, const uint8_t* data, uint32_t length);
};

struct TNfcipInstance {
    uint32_t role;
    uint8_t localId[10];
    uint8_t localIdLength;
    uint8_t did;
    uint32_t deactivating;
    uint32_t localRequest;
    uint8_t remoteNfcid3[10];
    uint8_t remoteBr, remoteBs, remoteTo;
    uint8_t wt, extraRetries, retryBudget, timeouts, responseWt;
    uint16_t lr;
    void* user;
    TNfcipCallbacks cb;
    uint32_t state;
    uint8_t pni;
    uint8_t last[4 + 255];          // the last frame sent, for retransmission
    uint16_t lastLength;
    uint16_t lastTimeout;
    uint8_t rx[NFCIP_MESSAGE_MAX];
    uint16_t rxLength;
    uint8_t remoteGb[NFCIP_GB_MAX];
    uint16_t remoteGbLength;
    uint8_t tx[NFCIP_MESSAGE_MAX];
    uint16_t txLength;
    uint16_t pieceStart;
    uint16_t pieceLength;
    bool txPending;
    uint8_t localGb[NFCIP_GB_MAX];
    uint8_t localGbLength;
    uint8_t localPp;                // PPt of the ATR_RES
};

// The instance the drivers share; tests build their own and clear this one.
TNfcipInstance* nfcipDefault();
void nfcipResetForTest();

void nfcipBind(TNfcipInstance* ip, void* user, const TNfcipCallbacks& callbacks);
constexpr uint8_t NFCIP_DEFAULT_PP = 0x32;   // LR 254 bytes, general bytes follow
int32_t nfcipTargetInit(TNfcipInstance* ip, const uint8_t* nfcid3t, const uint8_t* generalBytes, uint32_t length,
                        uint8_t pp = NFCIP_DEFAULT_PP);
int32_t nfcipInitiatorInit(TNfcipInstance* ip, const uint8_t* nfcid2, uint32_t length);
void nfcipHandleRcv(TNfcipInstance* ip, const uint8_t* frame, uint32_t length);
int32_t nfcipSendData(TNfcipInstance* ip, uint32_t length, const uint8_t* data);
void nfcipHandleTimeout(TNfcipInstance* ip);
void nfcipDeactivateProtocol(TNfcipInstance* ip, bool localRequest);
void nfcipSendDslReq(TNfcipInstance* ip);
