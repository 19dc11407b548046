// NFC-DEP through the NFC-IP-1 engine, for the chips whose NFC-IP-1 pipes hand the host raw
// NFCIP-1 frames: a detected peer starts the engine in the opposite role, its frames go out on the
// current pipe, the answers and time-outs of that pipe are fed back in, and what the engine
// reports (activation, data, deactivation, errors) goes to layer 1 as the other drivers report it.
#include <algorithm>
#include <cstring>

#include "L1/common/ip1msg.h"
#include "L1/common/nfcll_listen.h"
#include "L1/ehci/ehci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_P2P;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kNfcDepMode = NFCLL_FLAG_PN53X_40;
constexpr uint32_t kRoleInitiator = 1, kRoleTarget = 2;
constexpr uint32_t kNfcid2Length = 8;
constexpr uint32_t kNfcid3Length = 10;
// Engine states in which no link has been up yet, or none is any more.
constexpr uint32_t kEngineIdle = 0, kEngineReleased = 5, kEngineWaitAtr = 6;

TNfcllContext* contextOf(void* user) { return static_cast<TNfcllContext*>(user); }

TNfcipInstance* engineOf(TNfcllContext* ll) { return ehciPart(ll)->nfcip; }

// Only these chips' NFC-IP-1 pipes carry raw frames; the others run NFC-DEP on the chip.
bool rawFrameChip(uint16_t readerType) { return readerType == 0x204 || readerType == 0x210; }

// The identifier the engine presents: the peer's as the record holds it, zero-padded.
void localIdentifier(const TNfcTagInfo& device, uint8_t* out, uint32_t length) {
    std::memset(out, 0, length);
    std::memcpy(out, device.uid, std::min<uint32_t>(std::min<uint32_t>(device.uidLength, sizeof device.uid), length));
}

// The ATR_RES's PPt and general bytes: the application's configuration byte and bytes when it gave
// them, else the default PPt before the bytes the manager put in their place.
int32_t startTarget(TNfcllContext* ll, TNfcipInstance* ip, const TNfcListenParam* params) {
    uint8_t nfcid3[kNfcid3Length];
    localIdentifier(ll->device, nfcid3, sizeof nfcid3);
    TNfcllAtrView atr;
    if (!nfcllListenAtr(params, atr)) {
        // Bytes that claim more than their field holds are not sent: the engine's own go instead.
        TRACE(kErr, "ehci: ! general bytes too long: %d", static_cast<int>(params->atrLength));
        return nfcipTargetInit(ip, nfcid3, nullptr, 0);
    }
    if (atr.given) return nfcipTargetInit(ip, nfcid3, atr.bytes, atr.length, atr.config);
    const uint32_t n = params ? std::min<uint32_t>(params->atrLength, sizeof params->atrBytes) : 0;
    return nfcipTargetInit(ip, nfcid3, n ? params->atrBytes : nullptr, n);
}

int32_t startInitiator(TNfcllContext* ll, TNfcipInstance* ip) {
    uint8_t nfcid2[kNfcid2Length];
    localIdentifier(ll->device, nfcid2, sizeof nfcid2);
    return nfcipInitiatorInit(ip, nfcid2, sizeof nfcid2);
}

// The peer's general bytes go where layer 1 and LLCP read them in the device record.
void storeLinkInformation(TNfcllContext* ll, const uint8_t* data, uint32_t length) {
    if (length > NFCLL_GENERAL_BYTES_MAX)
        TRACE(kErr, "!! ehciNfcipEvtCbFunc not enough room for Info NFCIP_R_UP_EVENT(%d bytes)", static_cast<int>(length));
    const uint32_t n = data ? std::min<uint32_t>(length, NFCLL_GENERAL_BYTES_MAX) : 0;
    auto* record = reinterpret_cast<uint8_t*>(&ll->device);
    std::memset(record + NFCLL_GENERAL_BYTES_OFFSET, 0, NFCLL_GENERAL_BYTES_MAX);
    if (n) std::memcpy(record + NFCLL_GENERAL_BYTES_OFFSET, data, n);
    ll->device.historicalBytesLength = static_cast<uint16_t>(n);
}

}  // namespace

void ehciNfcipTransmitFunc(void* user, const uint8_t* data, uint32_t length, uint32_t timeout) {
    TNfcllContext* ll = contextOf(user);
    TEhciInstance* e = ehciPart(ll)->instance;
    if (e && etsiHciTransceive(timeout, e, data, length) >= 0) return;
    const TEhciPipe* pipe = e ? e->currentPipe : nullptr;
    TRACE(kErr, "! ehciNfcipTransmitFunc/etsiHciTransceive, failed state 0x%X",
          static_cast<unsigned>(pipe ? pipe->state : 0));
    // A frame that cannot leave would leave the engine waiting for an answer that never comes.
    ehciNfcipErrorIndFunc(user, NFCIP_ERR_PROTOCOL);
}

void ehciNfcipEvtCbFunc(void* user, uint32_t event, const uint8_t* data, uint32_t length) {
    TNfcllContext* ll = contextOf(user);
    switch (event) {
    case NFCIP_EV_ACTIVATED:
        TRACE(kTrc, "ehciNfcipEvtCbFunc NFCIP_R_UP_EVENT(%d bytes)", static_cast<int>(length));
        storeLinkInformation(ll, data, length);
        nfcllSendUsDeviceInd(ll);
        break;
    case NFCIP_EV_DATA:
        TRACE(kTrc, "ehciNfcipEvtCbFunc NFCIP_R_DATA(%d bytes)", static_cast<int>(length));
        if (!ll->rx.buffer) nfcllPrepareNewRxBuffer(ll);
        nfcllStoreP2pRxData(ll, length, data, false);
        nfcllPushNextP2PFragment(ll);
        break;
    case NFCIP_EV_DEACTIVATED: nfcllSendUsDeactInd(ll, &ll->device); break;
    case NFCIP_EV_PSL: {
        TEhciInstance* e = ehciPart(ll)->instance;
        if (e && e->hooks.nfcipEvent && data && length) e->hooks.nfcipEvent(e, data[0]);
        break;
    }
    default: TRACE(kErr, "!! ehciNfcipEvtCbFunc unknown event 0x%X", static_cast<unsigned>(event)); break;
    }
}

void ehciNfcipErrorIndFunc(void* user, int32_t cause) {
    TNfcllContext* ll = contextOf(user);
    TRACE(kErr, "ehciNfcipErrorIndFunc cause %d, signal TECH REMOVE", static_cast<int>(cause));
    nfcllSendUsTechRemoved(ll, EHCI_CAUSE_FAILED);
}

bool ehciNfcipTakeOver(TNfcllContext* ll, const TNfcListenParam* params) {
    if ((ll->mode != kRoleInitiator && ll->mode != kRoleTarget) || !rawFrameChip(ll->readerType)) return false;
    TNfcipInstance* ip = nfcipDefault();
    nfcipBind(ip, ll, {&ehciNfcipErrorIndFunc, &ehciNfcipTransmitFunc, &ehciNfcipEvtCbFunc});
    ehciPart(ll)->nfcip = ip;
    ll->flags |= kNfcDepMode;
    if (ll->mode == kRoleInitiator) startInitiator(ll, ip);
    else startTarget(ll, ip, params);
    return true;
}

bool ehciNfcipReceive(TNfcllContext* ll, const uint8_t* data, uint32_t length) {
    TNfcipInstance* ip = engineOf(ll);
    if (!ip || !(ll->flags & kNfcDepMode) || !data || !length) return false;
    nfcllSendUsLlcpTriggerInd(ll);
    nfcipHandleRcv(ip, data, length);
    return true;
}

bool ehciNfcipTimeout(TNfcllContext* ll) {
    TNfcipInstance* ip = engineOf(ll);
    if (!ip || !(ll->flags & kNfcDepMode)) return false;
    nfcllSendUsLlcpTriggerInd(ll);
    nfcipHandleTimeout(ip);
    return true;
}

bool ehciNfcipTransaction(TNfcllContext* ll, const uint8_t* data, uint16_t length) {
    TNfcipInstance* ip = engineOf(ll);
    if (!ip || (ll->mode != kRoleInitiator && ll->mode != kRoleTarget)) return false;
    // An empty request only says that layer 1 has nothing more to send.
    if (length == 0) return true;
    // A refused fragment is not sent: layer 1 must hear so, or it counts it as gone.
    if (nfcipSendData(ip, length, data) < 0) nfcllSendUsTransactionInd(ll, nullptr, EHCI_CAUSE_FAILED, 0);
    return true;
}

void ehciNfcipDeactivate(TNfcllContext* ll, bool localRequest) {
    if (TNfcipInstance* ip = engineOf(ll)) nfcipDeactivateProtocol(ip, localRequest);
    if (!localRequest || !engineOf(ll)) ll->mode = 0;
}

bool ehciNfcipIgnoresRemoval(TNfcllContext* ll) {
    const TNfcipInstance* ip = engineOf(ll);
    if (!ip || (ll->mode != kRoleInitiator && ll->mode != kRoleTarget)) return false;
    if (ip->state != kEngineIdle && ip->state != kEngineReleased && ip->state != kEngineWaitAtr) return false;
    TRACE(kTrc, "Ignore remove, no real IP-1 detection before");
    return true;
}
