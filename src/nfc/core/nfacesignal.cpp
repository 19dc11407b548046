#include "core/nfacesignal.h"

#include "core/nfaceregistry.h"
#include "util/apinames.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTechnologyBits = 0x0FFFFFFFu;

// The listener-mask bits that take a tag of one technology; 0 for a type no listener takes.
struct TagRule {
    uint32_t type;
    uint32_t listenerBits;
};
constexpr TagRule kTagRules[] = {
    {TAG_ISO14443A, 0x1},      {TAG_MIFARE_STD_1K, 0x1},  {TAG_MIFARE_STD_4K, 0x1},
    {TAG_ULTRALIGHT_TYPE2, 0x1}, {TAG_DESFIRE_TYPE4, 0x1}, {TAG_MIFARE_S20, 0x1},
    {TAG_MIFARE_PLUS_2K, 0x1}, {TAG_MIFARE_PLUS_4K, 0x1},  {TAG_14443B, 0x2},
    {TAG_15693, 0x4},          {TAG_FELICA_TYPE3, NFC_LISTEN_FELICA}, {TAG_JEWEL_TYPE1, 0x400},
    {TAG_KOVIO_BARCODE, 0x800}, {P2P_INITIATOR, 0x41000}, {P2P_TARGET, 0xA000},
    {CE_HOST_14443A_106, CE_HOST_14443A_106}, {CE_HOST_14443B_106, CE_HOST_14443B_106},
    {CE_HOST_FELICA, CE_HOST_FELICA},           {CE_HOST_14443B2_106, CE_HOST_14443B2_106},
};

void* asPointer(uint32_t value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); }

template <typename Visit>
void forEachListener(TNfcApiInstance* instance, Visit visit) {
    PlatLockGuard g(instance->listeners.lock);
    for (dlQueueNode* node = instance->listeners.head; node; node = node->next)
        if (!visit(*reinterpret_cast<TNfcListener*>(node))) return;
}

void call(TNfcApiInstance* instance, DWORD event, void* listenerContext, void* record) {
    if (instance->callback) instance->callback(instance->context, event, listenerContext, record);
}

} // namespace

bool nfcapiListenerMatches(const TNfcListener& listener, uint32_t tagType) {
    const uint32_t type = tagType & kTechnologyBits;
    if (type == CE_SECURE_CE) return listener.secureElement != 0;
    for (const TagRule& rule : kTagRules)
        if (rule.type == type) return (listener.mask & rule.listenerBits) != 0;
    return false;
}

void nfcSignalTagIndication(TNfcApiInstance* instance, const TNfcTagInfo& tag) {
    // A new tag belongs to no listener yet, in any application. The instances stay allocated
    // while the upcall lock is held.
    nfcapiSetTagLocked(false);
    for (TNfcApiInstance* each : nfcapiInstances())
        forEachListener(each, [](TNfcListener& l) {
            l.connected = 0;
            return true;
        });
    {
        PlatLockGuard g(instance->lock);
        instance->tag = tag;
        if (tag.tagType & NFC_MASK_HOST_CARD_EMULATION) instance->tag.uidLength = 0;
    }
    if (tag.tagType & TAG_NDEF)
        TRACE(TRC_API, "nfcapi: nfcSignalTagIndication(), controller %d, tag type 0x%08X (NDEF=%d,max=%d)",
              NFCAPI_CONTROLLER, tag.tagType, static_cast<int>(tag.ndefLength), static_cast<int>(tag.ndefMaxSize));
    else
        TRACE(TRC_API, "nfcapi: nfcSignalTagIndication(), controller %d, tag type 0x%08X", NFCAPI_CONTROLLER,
              tag.tagType);

    // Under the listener lock, so that a registration from another thread waits for the callback.
    bool found = false;
    forEachListener(instance, [&](TNfcListener& l) {
        TRACE(TRC_API, "nfcapi: Check listener %p, mask 0x%08X, signaled 0x%X", static_cast<void*>(&l), l.mask,
              tag.tagType & kTechnologyBits);
        if (!nfcapiListenerMatches(l, tag.tagType)) return true;
        found = true;
        instance->listenerContext = l.context;
        TRACE(TRC_API, "nfcapi: Listener %p (context %p) found, signal NFC event (%d ms)", static_cast<void*>(&l),
              l.context, static_cast<int>(nfcapiMsSinceRegistration()));
        call(instance, nfcEventTagDetected, l.context, &instance->tag);
        return false;
    });
    if (!found)
        TRACE(TRC_API, "nfcapi: ! No listener found for signaling, ignore indication for mask 0x%.08X", tag.tagType);
}

void nfcSignalTransaction(TNfcApiInstance* instance, NfcSecureHandle hSecure, const TNfcTransaction* transaction) {
    if (!instance || !transaction) {
        TRACE(TRC_ERROR, "nfcapi: Invalid pInstance in nfcSignalTransaction!!!");
        return;
    }
    instance->eventParam.transaction = *transaction;
    TNfcTransaction& t = instance->eventParam.transaction;
    t.aidLength = t.aidLength < sizeof t.aid ? t.aidLength : sizeof t.aid;
    t.paramLength = t.paramLength < sizeof t.param ? t.paramLength : sizeof t.param;
    if (debugOn(0xFFFFFFFFu)) {
        debugDump(t.aid, "AID: ", t.aidLength);
        debugDump(t.param, "param: ", t.paramLength);
    }
    bool found = false;
    forEachListener(instance, [&](TNfcListener& l) {
        if (!l.secureElement) return true;
        found = true;
        TRACE(TRC_API, "nfcapi: Listener %p (context %p) found, signal transaction from hSecure %p",
              static_cast<void*>(&l), l.context, asPointer(hSecure));
        call(instance, nfcEventTransaction, l.context, &instance->eventParam);
        return true;
    });
    if (!found) TRACE(TRC_API, "nfcapi: no application found for transaction signalling");
}

void nfcSignalRFIndication(TNfcApiInstance* instance, uint32_t state) {
    if (!instance) {
        TRACE(TRC_ERROR, "nfcapi: Invalid pInstance in nfcSignalRFIndication!!!");
        return;
    }
    bool found = false;
    forEachListener(instance, [&](TNfcListener& l) {
        if (!(l.mask & NFC_LISTEN_RF_FIELD)) return true;
        found = true;
        TRACE(TRC_API, "nfcapi: Listener %p (context %p) found, signal RF activity", static_cast<void*>(&l), l.context);
        DWORD value = state;
        call(instance, nfcEventFieldActivity, l.context, &value);
        return true;
    });
    if (!found) TRACE(TRC_API, "nfcapi: no application found for RF-field signalling");
}

void nfcSignalSecureNotification(TNfcApiInstance* instance, NfcSecureHandle hSecure, uint32_t kind, uint32_t value) {
    TNfcSecureNotification notification{hSecure, kind, value};
    call(instance, nfcEventSecureNotification, nullptr, &notification);
}
