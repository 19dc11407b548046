// Upward delivery: every message of the manager to an application goes through here to the API
// core's upcall, and the indications that go to several applications are spread here.
#include "core/nfaceapi.h"
#include "core/nfacetrace.h"
#include "core/nfcmgr.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "nfcman:";
constexpr uint32_t kRfFieldListener = NFC_LISTEN_RF_FIELD;
constexpr uint32_t kSeKindsToAll = 3;       // kinds 0 to 3 go to every application

struct Maker {
    uint16_t key;
    const char* name;
};
constexpr Maker kMakers[] = {
    {0x00, "NONE"},     {0x02, "STM"},        {0x04, "NXP"},        {0x05, "INFINEON"},
    {0x07, "TEXAS_INSTRUMENTS"}, {0x12, "INSIDE"}, {0x1A, "SONY"},  {0x1F, "MELEXIS"},
    {0x25, "INNOVISION"}, {0x2E, "BROADCOM"}, {0x37, "KOVIO"},
};

const char* makerName(uint32_t chipCode) {
    for (const Maker& m : kMakers)
        if (m.key == chipCode >> 16) return m.name;
    return "<unknown>";
}

bool soundTransaction(const TNfcTransaction* t) {
    return t && t->aidLength <= sizeof t->aid && t->paramLength <= sizeof t->param;
}

} // namespace

void nfcmanDeliver(void (*callback)(void*, const void*), void* userHandle, const TnfcapiMsg& message) {
    if (!callback) return;
    if (debugOn(TRC_NFACE)) nfaceTraceMessage(&message);
    nfcapiDeliverUpstream(&message, callback, userHandle);
}

void nfcmanSendUsMessage(TNfcManager* p, TNfcmanApp* app, TnfcapiMsg message) {
    if (!app) {
        TRACE(NFCMAN_TRACE, "%s app = NULL, looking for replacement", kPrefix);
        if (p->onDevice.app) {
            app = p->onDevice.app;
            TRACE(NFCMAN_TRACE, "%s Using active app 0x%p", kPrefix, static_cast<void*>(app));
        } else if ((app = nfcmanHolder(p))) {
            TRACE(NFCMAN_TRACE, "%s Using matching app 0x%p", kPrefix, static_cast<void*>(app));
        } else {
            TRACE(TRC_ERROR, "%s ! nfcmanSendUsMessage failed: App is null, p->currentApp=%p, p->app=%p, command=%x",
                  kPrefix, static_cast<void*>(p->taken.app), static_cast<void*>(p->apps), message.code);
            return;
        }
    }
    if (!app->callback) {
        TRACE(TRC_ERROR, "%s ! nfcmanSendUsMessage: no callback, app 0x%p command 0x%X", kPrefix,
              static_cast<void*>(app), message.code);
        return;
    }
    nfcmanDeliver(app->callback, app->userHandle, message);
}

void nfcmanSendActInd(TNfcManager* p, TNfcmanApp* app, uint16_t cause) {
    const bool active = cause == nfcCauseOk;
    nfcmanSendUsMessage(p, app, nfaceMsgMake<NFACE_ACT_IND>({cause, 0, static_cast<uint16_t>(active ? 1 : 0),
                                                               active ? p->capabilities : nullptr}));
    app->activationReported = 1;
    nfcmanSetAppState(app, NFCMAN_APPSTATE_ACTIVATED);
}

void nfcmanSecureElementIndication(TNfcManager* p) {
    const auto se = nfcllMsgGet<NFC_SE_IND>(p->msg);
    const TnfcapiMsg message = nfaceMsgMake<NFACE_NFC_SE_IND>({se.kind, se.hSecure, se.flags, se.transaction});
    if (se.kind <= kSeKindsToAll) {
        for (TNfcmanApp& app : p->apps)
            if (app.inUse && app.callback) nfcmanSendUsMessage(p, &app, message);
        return;
    }
    if (se.kind != NFCLL_SE_TRANSACTION) {
        TRACE(TRC_ERROR, "%s !  unsupported SE IND %d)", kPrefix, static_cast<int>(se.kind));
        return;
    }
    if (!soundTransaction(se.transaction)) {
        TRACE(TRC_ERROR, "%s ! secure transaction refused: no record, or AID or parameter longer than 16 bytes", kPrefix);
        return;
    }
    TRACE(NFCMAN_TRACE, "%s Secure Transaction (listen mask 0x%.08X)", kPrefix, p->globalMask);
    bool delivered = false;
    for (TNfcmanApp& app : p->apps)
        if (app.inUse && app.virtualSe) {
            nfcmanSendUsMessage(p, &app, message);
            delivered = true;
        }
    if (!delivered) TRACE(NFCMAN_TRACE, "%s No application with activated virtual SE mode found", kPrefix);
}

void nfcmanRfFieldIndication(TNfcManager* p) {
    const auto field = nfcllMsgGet<NFCLL_RF_FIELD_IND>(p->msg);
    bool delivered = false;
    for (TNfcmanApp& app : p->apps)
        if (app.inUse && (app.listenType & kRfFieldListener)) {
            nfcmanSendUsMessage(p, &app, nfaceMsgMake<NFACE_RF_FIELD_IND>({field.state}));
            delivered = true;
        }
    if (!delivered) TRACE(NFCMAN_TRACE, "%s No application registered for RF-FIELD indications", kPrefix);
}

void nfcmanPhysicalRemoveIndication(TNfcManager* p) {
    TRACE(TRC_ERROR, "%s ! nfcmanSendUsPhysicalRemoveInd", kPrefix);
    for (TNfcmanApp& app : p->apps)
        if (app.inUse && app.callback) nfcmanSendUsMessage(p, &app, nfaceMsgMake<NFACE_DEVICE_REMOVED_IND>());
}

void nfcmanTraceManufacturer(const TNfcTagInfo& device) {
    TRACE(NFCMAN_TRACE, "%s Tag manufacturer: %s, subtype: %s", kPrefix, makerName(device.chipCode),
          thSubtypeName(device.chipCode));
}
