// Devices: the application a device belongs to, its tag handler and the next state, its removal,
// and the application requests on it: NDEF actions through the handler, raw transactions,
// presence checks and card emulation.
#include <cstring>
#include <iterator>

#include "core/nfcmgr.h"
#include "th/th_frame.h"
#include "th/th_mifare.h"
#include "os/os_mem.h"
#include "util/apinames.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "nfcman:";
constexpr uint32_t kTagType = ~NFCMAN_NDEF_LISTENER;
constexpr uint32_t kCardEmuOrP2p = 0xF23000u;
constexpr uint32_t kHostCardEmulation = 0x700000u;
constexpr uint16_t kAtqaPlus2k = 0x4400;
constexpr uint16_t kWriteMore = 0x80;           // request flag: more parts follow
constexpr uint16_t kFormatAnyway = 0x8;         // request flag: format whatever the access bits
constexpr uint16_t kContinuation = 2;
constexpr uint8_t kPlusProbe[] = {0x30, 0x00};
constexpr uint32_t kHandlerAnswerMin = 8;       // a MIFARE answer the handler sees too

TNfcTagInfo noDevice() { return TNfcTagInfo{}; }

TNfcmanApp* firstInState(TNfcManager* p, uint32_t state) {
    for (TNfcmanApp& app : p->apps)
        if (app.inUse && app.state == state) return &app;
    return nullptr;
}

// The lengths in a record from layer 1 must fit the record's own fields.
bool soundRecord(const TNfcTagInfo& d) {
    // A P2P record counts the peer's general bytes there instead.
    const size_t historical = (d.tagType & NFCMAN_P2P_DEVICE) ? NFCLL_GENERAL_BYTES_MAX : sizeof d.a.historicalBytes;
    return d.uidLength <= sizeof d.uid && d.historicalBytesLength <= historical &&
           d.higherLayerResponseLength <= sizeof d.b.higherLayerResponse;
}

void traceDevice(const TNfcTagInfo& d, uint16_t cause) {
    if (!debugOn(NFCMAN_TRACE)) return;
    char nfcid[3 * sizeof d.uid + 16] = "";
    if (!(d.tagType & NFCMAN_P2P_DEVICE)) {
        char* pos = seprintf(nfcid, nfcid + sizeof nfcid - 1, ", NFCID=");
        for (uint16_t i = 0; i < d.uidLength && i < sizeof d.uid; ++i)
            pos = seprintf(pos, nfcid + sizeof nfcid - 1, "%02X", d.uid[i]);
    }
    debugPrint(0, "%s NFCLL_DEVICE_IND, Cause='%s', Type 0x%.08X='%s'%s", kPrefix, nfcapiCauseNameStr(cause), d.tagType,
               nfcapiTagTypeName(d.tagType), nfcid);
}

// ---- The tag handler's owner operations -----------------------------------------------------

uint32_t handlerSendPdu(TTagHandler* h, const uint8_t* pdu, uint16_t size, uint8_t flags, uint16_t timeout) {
    auto* p = static_cast<TNfcManager*>(h->owner);
    ++p->actionExchanges;
    const TNfcllTransactionReq request{pdu, size, timeout};
    const OsMessage message = (flags & TH_PDU_CHECK) ? nfcllMsgMake<NFCLL_CHECK_REQ>(p->ownWord, request)
                                                     : nfcllMsgMake<NFCLL_TRANSACTION_REQ>(p->ownWord, request);
    return nfcmanSendL1(p, message) ? 1 : 0;
}

void handlerConfirm(TTagHandler* h, uint16_t code, uint16_t cause, uint32_t) {
    auto* p = static_cast<TNfcManager*>(h->owner);
    p->result = cause;
    switch (code) {
    case NFACE_WRITE_CONF:
        TRACE(NFCMAN_TRACE, "%s NFC_WRITE_CONF", kPrefix);
        [[fallthrough]];
    case NFACE_FORMAT_CONF:
    case NFACE_READ_IND:
        nfcmanPostEvent(p, cause ? EV_NFCMAN_TRANSACTION_ERROR : EV_NFCMAN_TRANSACTION_FINISHED);
        break;
    case NFACE_SET_READONLY_CONF: nfcmanPostEvent(p, EV_NFCMAN_TRANSACTION_FINISHED); break;
    case NFACE_TEST_IND:
        if (cause == 0) {
            nfcmanPostEvent(p, EV_NFCMAN_TRANSACTION_FINISHED);
            break;
        }
        nfcmanDeviceRemoved(p);
        nfcmanPostEvent(p, EV_NFCMAN_DEV_REMOVE);
        break;
    case NFACE_DEVICE_IND: nfcmanPostEvent(p, EV_NFCMAN_NDEFCHECK_FINISHED); break;
    case TH_DEVICE_CONF: nfcmanPostEvent(p, EV_NFCMAN_DEVICE_CONF); break;
    default: TRACE(TRC_ERROR, "%s ! Event %#x not handled in callback", kPrefix, code);
    }
}

void initializeDevice(TNfcManager* p) {
    p->thBound = false;
    const uint32_t type = p->device.tagType & kTagType;
    if ((type & kHostCardEmulation) || thFamilyOf(type) == TH_FAMILY_NONE) return;
    if (!thCreate(&p->device, &p->th, p, &handlerConfirm, &handlerSendPdu)) {
        TRACE(TRC_ERROR, "%s ! Unable to get taghandler", kPrefix);
        return;
    }
    p->thBound = true;
    thDeviceIndication(&p->th, p->readerType, &p->device);
}

// What a record from layer 1 makes of the device; the next state, or empty.
SmHandler acceptDevice(TNfcManager* p, const TNfcTagInfo& record, uint16_t cause) {
    traceDevice(record, cause);
    const uint32_t type = record.tagType & kTagType;
    if (type == 0) {
        TRACE(NFCMAN_TRACE, "%s TAG REMOVE", kPrefix);
        nfcmanDeviceRemoved(p);
        nfcmanPostEvent(p, EV_NFCMAN_DEV_REMOVE);
        return nullptr;
    }
    p->device = record;
    if (!(type & nfcmanReaderMask(p->globalMask))) {
        TRACE(NFCMAN_TRACE, "%s Not listening for this tag type", kPrefix);
        p->device = noDevice();
        return nullptr;
    }
    if (type & NFCMAN_P2P_DEVICE) {
        p->heldDevice = record;
        nfcmanLlcpDeviceResponse(p, p->heldDevice);
    } else {
        TRACE(NFCMAN_TRACE, "%s TAG INSERT type 0x%X (listen mask 0x%.08X)", kPrefix, record.tagType, p->globalMask);
        initializeDevice(p);
        TRACE(NFCMAN_TRACE, "%s Sending NFCLL_DEVICE_RESP", kPrefix);
        nfcmanSendL1(p, nfcllMsgMake<NFCLL_DEVICE_RESP>(p->ownWord, {&p->device, 0}));
    }
    // A tag handler decides when it has identified its tag; without one the manager goes on now.
    if ((type & kCardEmuOrP2p) || !p->thBound) return nfcmanNextStateAfterDevice(p);
    return nullptr;
}

// The handler's findings go into the record the application gets.
void refreshDevice(TNfcManager* p) {
    TNfcTagInfo& d = p->device;
    const TTagHandler& h = p->th;
    const bool ndef = p->thBound && h.isNdef;
    d.tagType = ndef ? d.tagType | TAG_NDEF : d.tagType & kTagType;
    d.ndefLength = ndef ? h.currentNdefSize : 0;
    d.ndefMaxSize = ndef ? h.maxNdefSize : 0;
    d.access = 0;
    if (!p->thBound) return;
    if (h.access & TH_ACCESS_READ) d.access |= NFC_TAG_READABLE;
    if (h.access & TH_ACCESS_WRITE) d.access |= NFC_TAG_WRITABLE;
    if (h.access & TH_ACCESS_FORMATTABLE) d.access |= NFC_TAG_FORMATTABLE;
    if (h.tagSubtype) d.chipCode = h.tagSubtype;
}

// The result record a transaction or check indication carries.
struct Answer {
    uint16_t cause = nfcCauseNotPlausible;
    const uint8_t* data = nullptr;
    uint16_t length = 0;
};

Answer answerOf(const OsMessage& message) {
    Answer a;
    if (!nfcmanTransactionResult(message, &a.cause, &a.data, &a.length)) {
        TRACE(TRC_ERROR, "%s ! indication 0x%X without a result", kPrefix, message.command);
        a = Answer{};
    }
    return a;
}

bool refuseWith(TNfcManager* p, uint16_t cause) {
    nfcmanRefuseTaken(p, cause);
    return false;
}

// The taken request is now the device's, running as the mode.
void serve(TNfcManager* p, uint32_t mode) {
    p->onDevice = p->taken;
    p->onDevice.mode = mode;
    p->taken = TNfcmanRequest{};
}

bool startRead(TNfcManager* p) {
    const auto r = osMsgFields<TNfaceReadReq>(p->msg);
    if (!p->thBound || !(p->th.access & TH_ACCESS_READ)) return refuseWith(p, nfcCauseAccessDenied);
    if (r.flag == kContinuation) {
        if (!p->readMore) return refuseWith(p, nfcCauseWrongState);
    } else {
        p->readOffset = 0;
    }
    if (!nfcmanCopyActionData(p, nullptr, 0, r.bufferLength)) return refuseWith(p, nfcCauseNotEnoughInternalMemory);
    serve(p, NFCMAN_MODE_READ);
    thRead(&p->th, r.bufferLength, p->readOffset, p->actionBuffer);
    return true;
}

bool startWrite(TNfcManager* p) {
    const auto r = osMsgFields<TNfaceWriteReq>(p->msg);
    if (!p->thBound || !(p->th.access & TH_ACCESS_WRITE)) return refuseWith(p, nfcCauseWriteProtected);
    if ((r.flag & ~kWriteMore) == kContinuation && !p->writeMore) return refuseWith(p, nfcCauseWrongState);
    bool copied = false;
    if (!nfcmanReadCaller(p, [&] { copied = nfcmanCopyActionData(p, r.data, r.length, 0); })) {
        TRACE(NFCMAN_TRACE, "%s WRITE_REQ given up by its application, dropped", kPrefix);
        return false;
    }
    if (!copied) return refuseWith(p, nfcCauseNotEnoughInternalMemory);
    const bool final = !(r.flag & kWriteMore);
    p->writeMore = !final;
    p->readMore = false;
    p->readOffset = 0;
    serve(p, NFCMAN_MODE_WRITE);
    thWrite(&p->th, p->actionBuffer, r.length, final);
    return true;
}

bool startFormat(TNfcManager* p) {
    const auto r = osMsgFields<TNfaceFormatReq>(p->msg);
    const uint16_t access = p->thBound ? p->th.access : 0;
    const bool allowed = ((access & TH_ACCESS_WRITE) && (access & TH_ACCESS_FORMATTABLE)) || (r.flags & kFormatAnyway);
    if (!allowed) return refuseWith(p, nfcCauseWriteProtected);
    if (!p->thBound) return refuseWith(p, nfcCauseNotImplemented);
    p->readMore = false;
    p->readOffset = 0;
    serve(p, NFCMAN_MODE_FORMAT);
    thFormat(&p->th, r.ndefLength, r.flags);
    return true;
}

bool isMifareClassic(const TNfcManager* p) {
    const uint32_t type = p->device.tagType & kTagType;
    return type == TAG_MIFARE_STD_1K || type == TAG_MIFARE_STD_4K;
}

// A key as the two 3-byte halves of its key properties (lowest byte first); none for a key of
// zeros, which names no key.
void setKeyProperties(TNfcManager* p, uint32_t lowId, const uint8_t* key) {
    static constexpr uint8_t kNone[6] = {};
    if (std::memcmp(key, kNone, sizeof kNone) == 0) return;
    for (uint32_t half = 0; half < 2; ++half) {
        const uint8_t* k = key + 3 * half;
        thSetProperty(&p->th, lowId + half, uint32_t{k[2]} << 16 | uint32_t{k[1]} << 8 | k[0]);
    }
}

bool startReadonly(TNfcManager* p) {
    if (!p->thBound || !(p->th.access & TH_ACCESS_WRITE)) return refuseWith(p, nfcCauseWriteProtected);
    if (isMifareClassic(p)) {
        const auto r = osMsgFields<TNfaceReadonlyReq>(p->msg);
        setKeyProperties(p, 10, r.madKeyB);
        setKeyProperties(p, 14, r.nfcKeyB);
    }
    serve(p, NFCMAN_MODE_READONLY);
    thSetReadonly(&p->th);
    return true;
}

} // namespace

// ---- Which application ------------------------------------------------------------------------

TNfcmanApp* nfcmanCheckMatchedApp(TNfcManager* p, uint32_t tagType, bool onlyPlainListeners) {
    const uint32_t type = tagType & kTagType;
    uint32_t typeMask = 0;
    if (type != 0 && type != P2P_INITIATOR && type != P2P_TARGET) {
        typeMask = nfcmanTagTypeToListenMask(type);
        if (type == CE_SECURE_CE) typeMask = CE_SECURE_CE;
        if (typeMask == 0) {
            TRACE(TRC_ERROR, "%s ! nfcmanCheckMatchedApp, unsupported IND type 0x%X", kPrefix, type);
            return nullptr;
        }
    }
    for (int pass = 0; pass < (onlyPlainListeners ? 1 : 2); ++pass) {
        for (TNfcmanApp& app : p->apps) {
            if (!app.inUse || (pass == 0 && (app.listenType & NFCMAN_NDEF_LISTENER))) continue;
            if (type == 0) return &app;
            uint32_t mask = typeMask;
            if (type == P2P_INITIATOR) mask = (app.listenType & P2P_INITIATOR) ? P2P_INITIATOR : 0x40000u;
            if (type == P2P_TARGET) mask = (app.listenType & P2P_TARGET) ? P2P_TARGET : 0x8000u;
            if (app.listenType & mask) return &app;
        }
    }
    return nullptr;
}

// ---- Device indications -----------------------------------------------------------------------

SmHandler nfcmanDeviceIndication(TNfcManager* p) {
    const bool withRecord = p->msg.command == NFCLL_DEVICE_IND;
    const auto ind = withRecord ? nfcllMsgGet<NFCLL_DEVICE_IND>(p->msg) : TNfcllDeviceInd{};
    if (!ind.device) {
        if (p->device.tagType != 0) {
            // A controller that reports the removal itself: the device is gone.
            nfcmanDeviceRemoved(p);
            nfcmanPostEvent(p, EV_NFCMAN_DEV_REMOVE);
            return nullptr;
        }
        return (p->globalMask & NFCMAN_P2P_DEVICE) ? &nfcmanStateListenPending : nullptr;
    }
    const TNfcTagInfo record = *ind.device;
    if (!soundRecord(record)) {
        TRACE(TRC_ERROR, "%s ! device record refused: UID %d, historical bytes %d, higher-layer response %d bytes",
              kPrefix, record.uidLength, record.historicalBytesLength, record.higherLayerResponseLength);
        return nullptr;
    }
    // A new device replaces one the controller did not report gone.
    if (p->device.tagType != 0 && (record.tagType & kTagType) != 0) nfcmanDeviceRemoved(p);
    const uint32_t type = record.tagType & kTagType;
    if (type == TAG_MIFARE_PLUS_2K || type == TAG_MIFARE_PLUS_4K) {
        p->device = record;
        p->device.tagType = 0;
        p->probing = true;
        // Layer 1 holds every answer back until the device is answered: the probe's would never
        // come.
        nfcmanSendL1(p, nfcllMsgMake<NFCLL_DEVICE_RESP>(p->ownWord, {&p->device, 0}));
        nfcmanSendL1(p, nfcllMsgMake<NFCLL_TRANSACTION_REQ>(p->ownWord, {kPlusProbe, sizeof kPlusProbe, 0}));
        return nullptr;
    }
    return acceptDevice(p, record, ind.cause);
}

SmHandler nfcmanNextStateAfterDevice(TNfcManager* p) {
    const uint32_t type = p->device.tagType & kTagType;
    if (!(type & kCardEmuOrP2p) && p->thBound && !nfcmanCheckMatchedApp(p, type, true) &&
        (!(type & NFC_MASK_MIFARE_CLASSIC) || (p->capFlags & NFC_CAP_MIFARE_NDEF_CHECK)))
        return &nfcmanStateNdefDetection;
    if ((p->globalMask & NFC_MASK_CARD_EMULATION) && (type & NFC_MASK_CARD_EMULATION))
        return nfcmanDeviceToApp(p, nfcCauseOk) ? &nfcmanStateCardEmu : nullptr;
    if ((p->globalMask & NFC_MASK_P2P) && (type == P2P_INITIATOR || type == P2P_TARGET)) return &nfcmanStateP2PInit;
    nfcmanDeviceToApp(p, nfcCauseNotNfcForumTag);
    return &nfcmanStateLegacyTag;
}

bool nfcmanDeviceToApp(TNfcManager* p, uint16_t cause) {
    TNfcmanApp* app = nfcmanCheckMatchedApp(p, p->device.tagType, false);
    TRACE(NFCMAN_TRACE, "%s # %d. DEVICE INDICATION #, cause 0x%X, matching app 0x%p", kPrefix,
          static_cast<int>(++p->deviceCount), cause, static_cast<void*>(app));
    if (!app) {
        TRACE(TRC_ERROR, "%s ! DEVICE INDICATION no matching app found 0x%X", kPrefix, p->device.tagType);
        return false;
    }
    refreshDevice(p);
    app->deviceIndicated = 1;
    if (p->device.tagType & 0x7000DF7u) nfcmanTraceManufacturer(p->device);
    nfcmanSendUsMessage(p, app, nfaceMsgMake<NFACE_DEVICE_IND>({cause, 1, p->deviceList}));
    nfcmanSetAppState(app, NFCMAN_APPSTATE_DEV_IND);
    return true;
}

void nfcmanDeviceRemoved(TNfcManager* p) {
    // A device goes once: a second report of its removal finds none.
    if (p->device.tagType == 0 && !p->probing) return;
    TNfcmanApp* holder = nfcmanHolder(p);
    int inUse = 0;
    for (TNfcmanApp& app : p->apps) inUse += app.inUse ? 1 : 0;
    if (!holder && inUse == 1)
        for (TNfcmanApp& app : p->apps)
            if (app.inUse) holder = &app;
    if (holder) {
        nfcmanSendUsMessage(p, holder, nfaceMsgMake<NFACE_TECH_REMOVE_IND>({nfcCauseOk}));
        // An application that is being released stays so: its release is still to be confirmed.
        if (holder->state != NFCMAN_APPSTATE_RELEASE) nfcmanSetAppState(holder, NFCMAN_APPSTATE_LISTEN_CONF);
    } else {
        TRACE(TRC_ERROR, "%s ! no matching app found for signal DEV_IND", kPrefix);
    }
    for (TNfcmanApp& app : p->apps) app.deviceIndicated = 0;
    p->device = noDevice();
    p->thBound = false;
    p->probing = false;
    p->readMore = false;
    p->writeMore = false;
}

void nfcmanStartP2p(TNfcManager* p) {
    p->device = p->heldDevice;
    nfcmanLlcpSetParameter(p, p->device.tagType);
    TRACE(NFCMAN_TRACE, "%s TAG INSERT type 0x%X (listen mask 0x%.08X)", kPrefix, p->device.tagType, p->globalMask);
    initializeDevice(p);
    nfcmanDeviceToApp(p, nfcCauseNotNfcForumTag);
}

// ---- NDEF check ---------------------------------------------------------------------------------

void nfcmanStartNdefCheck(TNfcManager* p) {
    if (p->thBound) {
        thCheckNdef(&p->th);
        return;
    }
    p->result = nfcCauseNotNfcForumTag;
    nfcmanPostEvent(p, EV_NFCMAN_NDEFCHECK_FINISHED);
}

void nfcmanReportNdefCheck(TNfcManager* p) {
    const uint16_t cause = p->result;
    if (p->onDevice.code == NFACE_NFC_NDEF_CHECK_REQ) {
        if (cause == nfcCauseOk || cause == nfcCauseNotNfcForumTag) refreshDevice(p);
        nfcmanAnswer(p, p->onDevice, nfaceMsgMake<NFACE_NFC_NDEF_CHECK_CONF>({cause, &p->device}));
        return;
    }
    if (TNfcmanApp* app = firstInState(p, NFCMAN_APPSTATE_DEV_IND)) {
        if (cause == nfcCauseOk || cause == nfcCauseNotNfcForumTag) refreshDevice(p);
        nfcmanSendUsMessage(p, app, nfaceMsgMake<NFACE_NFC_NDEF_CHECK_CONF>({cause, &p->device}));
    } else if (firstInState(p, NFCMAN_APPSTATE_LISTEN_CONF)) {
        if (cause != nfcCauseRejected) nfcmanDeviceToApp(p, cause);
    } else if (!firstInState(p, NFCMAN_APPSTATE_LISTEN)) {
        nfcmanSendUsMessage(p, nullptr, nfaceMsgMake<NFACE_NFC_NDEF_CHECK_CONF>({nfcCauseOk, &p->device}));
    }
}

// ---- NDEF actions -------------------------------------------------------------------------------

bool nfcmanActionLostTag(const TNfcManager* p) { return p->result == nfcCauseRejected && p->actionExchanges != 0; }

bool nfcmanStartAction(TNfcManager* p) {
    p->actionExchanges = 0;
    switch (p->msg.command) {
    case NFACE_READ_REQ: return startRead(p);
    case NFACE_WRITE_REQ: return startWrite(p);
    case NFACE_FORMAT_REQ: return startFormat(p);
    case NFACE_SET_READONLY_REQ: return startReadonly(p);
    default: return refuseWith(p, nfcCauseWrongState);
    }
}

void nfcmanSendActionConfirmation(TNfcManager* p) {
    uint16_t cause = p->result;
    TNfcmanRequest& request = p->onDevice;
    // A request that was already refused has had its answer.
    switch (request.code ? request.mode : uint32_t{NFCMAN_MODE_NONE}) {
    case NFCMAN_MODE_READ: {
        uint32_t length = p->th.command.delivered;
        if (length > p->actionSize) {
            // More than the room: the room is what goes up, and the rest stays to be read.
            TRACE(TRC_ERROR, "%s ! handler delivered %d bytes into %d", kPrefix, static_cast<int>(length), p->actionSize);
            length = p->actionSize;
            if (cause == nfcCauseOk) cause = nfcCauseTagBufferTooSmall;
        }
        nfcmanAnswer(p, request, nfaceMsgMake<NFACE_READ_IND>({cause, p->actionBuffer, static_cast<uint16_t>(length)}));
        p->readOffset += length;
        p->readMore = cause == nfcCauseTagBufferTooSmall;
        break;
    }
    case NFCMAN_MODE_WRITE: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_WRITE_CONF>({cause})); break;
    case NFCMAN_MODE_FORMAT: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_FORMAT_CONF>({cause, p->th.maxNdefSize})); break;
    case NFCMAN_MODE_READONLY: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_SET_READONLY_CONF>({cause})); break;
    case NFCMAN_MODE_NONE: break;
    default: TRACE(TRC_ERROR, "%s ! Unhandled statemode %d in NDEF action", kPrefix, static_cast<int>(request.mode));
    }
    request = TNfcmanRequest{};
    nfcmanFreeActionBuffer(p);
    if (nfcmanActionLostTag(p)) nfcmanDeviceRemoved(p);
}

// ---- Raw transactions, presence checks and answers to the handler's PDUs ------------------------

bool nfcmanStartTransaction(TNfcManager* p) {
    const auto r = osMsgFields<TNfaceTransferReq>(p->msg);
    if (!r.transfer) return refuseWith(p, nfcCauseWrongParameter);
    TNfaceTransfer t{};
    bool copied = false;
    if (!nfcmanReadCaller(p, [&] {
            t = *r.transfer;
            copied = nfcmanCopyActionData(p, t.writeData, t.writeLength, 0);
        })) {
        TRACE(NFCMAN_TRACE, "%s TRANSACTION_REQ given up by its application, dropped", kPrefix);
        return false;
    }
    if (!copied) return refuseWith(p, nfcCauseNotEnoughInternalMemory);
    p->readSize = t.readLength;
    serve(p, NFCMAN_MODE_TRANSACTION);
    // The application's own authentication names a key that the handler tries first later on.
    if (p->thBound && (p->device.tagType & NFC_MASK_MIFARE_CLASSIC))
        tmsSetKeyFromAuthCommand(&p->th, p->actionBuffer, t.writeLength);
    if (nfcmanSendL1(p, nfcllMsgMake<NFCLL_TRANSACTION_REQ>(p->ownWord, {p->actionBuffer, t.writeLength, 0}))) return true;
    nfcmanFreeActionBuffer(p);
    nfcmanEndTransaction(p, nfcCauseNotPlausible);
    return false;
}

void nfcmanEndTransaction(TNfcManager* p, uint16_t cause) {
    if (p->onDevice.code == NFACE_TRANSACTION_REQ) nfcmanAnswerRequest(p, p->onDevice, cause);
}

void nfcmanTransactionIndication(TNfcManager* p) {
    Answer a = answerOf(p->msg);
    if (a.cause == nfcCauseOk && a.length > p->readSize) {
        TRACE(TRC_ERROR, "%s ! Transaction Ind data size %d too big for pNfcMan read size %d", kPrefix, a.length,
              p->readSize);
        a.cause = nfcCauseNotEnoughInternalMemory;
        a.length = 0;
    }
    if (!p->onDevice.app) TRACE(TRC_ERROR, "%s ! No application registered to receive message", kPrefix);
    nfcmanAnswer(p, p->onDevice, nfaceMsgMake<NFACE_TRANSACTION_IND>({a.cause, a.length ? a.data : nullptr, 0, a.length, 0}));
    const uint32_t type = p->device.tagType & kTagType;
    if (p->thBound && (type & NFC_MASK_MIFARE_CLASSIC) && a.cause == nfcCauseOk && a.length >= kHandlerAnswerMin)
        thTransactionIndication(&p->th, a.cause, a.data, a.length);
    nfcmanFreeActionBuffer(p);
}

SmHandler nfcmanHandlerTransactionIndication(TNfcManager* p) {
    const Answer a = answerOf(p->msg);
    if (p->probing) {
        p->probing = false;
        TNfcTagInfo record = p->device;
        if (a.cause == nfcCauseOk && a.length == sizeof kPlusProbe) record.tagType = TAG_ISO14443A;
        else record.tagType = record.a.atqa == kAtqaPlus2k ? TAG_MIFARE_PLUS_2K : TAG_MIFARE_PLUS_4K;
        return acceptDevice(p, record, nfcCauseOk);
    }
    if (p->thBound) thTransactionIndication(&p->th, a.cause, a.data, a.length);
    return nullptr;
}

void nfcmanStartTest(TNfcManager* p) {
    if (p->thBound) {
        thTest(&p->th);
        return;
    }
    // Without a handler the controller's own presence check answers.
    nfcmanSendL1(p, nfcllMsgMake<NFCLL_CHECK_REQ>(p->ownWord, {nullptr, 0, 0}));
}

void nfcmanCheckConfirmation(TNfcManager* p) {
    const Answer a = answerOf(p->msg);
    TRACE(NFCMAN_TRACE, "%s Check confirmation, cause 0x%X", kPrefix, a.cause);
    if (p->thBound) {
        thCheckConfirmation(&p->th, a.cause, a.data, a.length);
        return;
    }
    p->result = a.cause;
    if (a.cause == nfcCauseOk) {
        nfcmanPostEvent(p, EV_NFCMAN_TRANSACTION_FINISHED);
        return;
    }
    nfcmanDeviceRemoved(p);
    nfcmanPostEvent(p, EV_NFCMAN_DEV_REMOVE);
}

void nfcmanSendTestIndication(TNfcManager* p) {
    if (p->onDevice.code == NFACE_TEST_REQ) nfcmanAnswer(p, p->onDevice, nfaceMsgMake<NFACE_TEST_IND>({p->result, 1}));
}

// ---- Card emulation -----------------------------------------------------------------------------

SmHandler nfcmanCardEmuRequest(TNfcManager* p) {
    const Answer a = answerOf(p->msg);
    if (a.length == 0 || !a.data) {
        TRACE(NFCMAN_TRACE, "%s Empty TRANSACTION_IND, reader is gone", kPrefix);
        nfcmanFreeActionBuffer(p);
        nfcmanDeviceRemoved(p);
        return &nfcmanStateListenPending;
    }
    // The reader's next command means the last answer has gone out.
    nfcmanFreeActionBuffer(p);
    nfcmanSendUsMessage(p, nfcmanHolder(p), nfaceMsgMake<NFACE_TRANSACTION_IND>({a.cause, a.data, 0, a.length, 0}));
    return nullptr;
}

void nfcmanCardEmuResponse(TNfcManager* p) {
    const auto r = osMsgFields<TNfaceTransferReq>(p->msg);
    // The answer is not waited for: the next request is the reader's.
    if (!r.transfer) return;
    TNfaceTransfer t{};
    bool copied = false;
    if (!nfcmanReadCaller(p, [&] {
            t = *r.transfer;
            copied = nfcmanCopyActionData(p, t.writeData, t.writeLength, 0);
        }) ||
        !copied)
        return;
    nfcmanSendL1(p, nfcllMsgMake<NFCLL_TRANSACTION_REQ>(p->ownWord, {p->actionBuffer, t.writeLength, 0}));
}

// ---- Refusals and layer-1 results ---------------------------------------------------------------

void nfcmanAnswerRequest(TNfcManager* p, TNfcmanRequest& request, uint16_t cause) {
    switch (request.code) {
    case NFACE_LISTEN_REQ: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_LISTEN_CONF>({cause})); break;
    case NFACE_FORMAT_REQ: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_FORMAT_CONF>({cause, 0})); break;
    case NFACE_READ_REQ: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_READ_IND>({cause, nullptr, 0})); break;
    case NFACE_WRITE_REQ: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_WRITE_CONF>({cause})); break;
    case NFACE_TRANSACTION_REQ:
        nfcmanAnswer(p, request, nfaceMsgMake<NFACE_TRANSACTION_IND>({cause, nullptr, 0, 0, 0}));
        break;
    case NFACE_TEST_REQ: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_TEST_IND>({cause, 1})); break;
    case NFACE_SET_READONLY_REQ: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_SET_READONLY_CONF>({cause})); break;
    case NFACE_NFC_NDEF_CHECK_REQ:
        nfcmanAnswer(p, request, nfaceMsgMake<NFACE_NFC_NDEF_CHECK_CONF>({cause, &p->device}));
        break;
    case NFACE_TAG_SELECT: nfcmanAnswer(p, request, nfaceMsgMake<NFACE_TAG_SELECT_CONF>({cause})); break;
    case NFACE_IO_CONTROL_REQ: nfcmanAnswerIoControl(p, request, cause); break;
    case 0: TRACE(NFCMAN_TRACE, "%s No transaction active, don't send reply upstream", kPrefix); break;
    default: TRACE(TRC_ERROR, "%s ! Command 0x%04X not handled, cannot send response", kPrefix, request.code);
    }
    request = TNfcmanRequest{};
}

void nfcmanRefusePending(TNfcManager* p, uint16_t cause) {
    nfcmanAnswerRequest(p, p->onDevice, cause);
    for (TNfcmanApp& app : p->apps)
        if (app.inUse && app.listenRequest) nfcmanSendListenConf(p, &app, cause);
}

bool nfcmanTransactionResult(const OsMessage& message, uint16_t* cause, const uint8_t** data, uint16_t* length) {
    if (message.command != NFCLL_TRANSACTION_IND && message.command != NFCLL_CHECK_CONF) return false;
    const TNfcllTransactionInd ind = nfcllMsgGet<NFCLL_TRANSACTION_IND>(message);
    if (!ind.result) return false;
    *cause = ind.result->cause;
    *length = ind.result->cause == nfcCauseOk ? ind.result->dataLength : 0;
    *data = *length ? ind.result->data : nullptr;
    return true;
}

void nfcmanReleaseL1Buffer(const OsMessage& message) {
    switch (message.command) {
    case NFCLL_TRANSACTION_IND:
    case NFCLL_CHECK_CONF: {
        const TNfcllTransactionInd ind = nfcllMsgGet<NFCLL_TRANSACTION_IND>(message);
        if ((ind.flags & NFCLL_MSG_OWNS_BUFFER) && ind.result) osBufferRelease(ind.result);
        break;
    }
    case PH_DATA_IND: {
        const TNfcllPhData data = nfcllMsgGet<PH_DATA_IND>(message);
        if ((data.flags & NFCLL_MSG_OWNS_BUFFER) && data.buffer) osBufferRelease(data.buffer);
        break;
    }
    default: break;
    }
}
