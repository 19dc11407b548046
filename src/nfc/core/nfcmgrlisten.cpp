// Applications and listening: registration and release, the activation, the global listen
// mask, the listen rules, the restart wheel and the choice among end points.
#include <cstring>

#include "core/nfcmgr.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "nfcman:";
constexpr uint32_t kReaderListenBits = 0x6FFFFFFFu;     // what a single listen request may ask for
constexpr uint32_t kWheelBits = 0x7FEFFFFFu;            // a global mask without these dwells long
constexpr uint32_t kLongDwellMs = 5500;
constexpr uint32_t kConfirmBits = 0xF03F07u;            // the bits a listen confirmation is judged by
constexpr uint32_t kRelistenConfirmBits = 0xBEFDFFFFu;
constexpr uint32_t kControlBits = 0xD1000000u;          // the manager reads them whatever the controller
constexpr uint16_t kLlcpFrameSize = 2048, kLlcpConnections = 5, kLlcpWindow = 4;
constexpr uint16_t kIoctlStopWheel = 0x1003;

// The LLCP general bytes every listen carries unless the application gives its own.
constexpr uint8_t kDefaultGeneralBytes[] = {0x46, 0x66, 0x6D, 0x01, 0x01, 0x11, 0x02, 0x02, 0x07, 0x80,
                                            0x03, 0x02, 0x00, 0x03, 0x04, 0x01, 0x5A, 0x07, 0x01, 0x03};

// Tag type to the listen-mask bits that detect it.
struct TypeMask {
    uint32_t types;
    uint32_t mask;
};
constexpr TypeMask kTypeMasks[] = {
    {0x1 | 0x10 | 0x20 | 0x40 | 0x80 | 0x1000000 | 0x2000000 | 0x4000000, 0x1},
    {0x2, 0x2},
    {0x4, 0x4},
    {0x100, 0x300},
    {0x400, 0x400},
    {0x800, 0x800},
    {0x1000, 0x1000},
    {0x2000, 0x2000},
    {0x100000, 0x100000},
    {0x200000, 0x200000},
    {0x400000, 0x400000},
    {0x800000, 0x800000},
};

// Listen bits to the tag types the controller may report for them.
constexpr TypeMask kReaderMasks[] = {
    {0x1, 0x70000F1}, {0x2, 0x2}, {0x400, 0x400}, {0x800, 0x800}, {0x300, 0x100},
    {0x4, 0x4},       {0x4B000, 0x3000}, {0xF00000, 0xF00000},
};

constexpr TNfcmanWheelEntry kWheel[NFCMAN_WHEEL_ENTRIES] = {
    {0, 100, 100, 0},           {0x1, 200, 200, 0},         {0x100, 150, 150, 0},       {0x200, 150, 150, 0},
    {0x400, 150, 150, 0},       {0x2, 150, 150, 0},         {0x1000, 400, 650, 1},      {0x2000, 400, 650, 1},
    {0x20000, 250, 450, 1},     {0x100000, 250, 350, 1},    {0x200000, 250, 350, 1},    {0x400000, 250, 350, 1},
};

void clearEntry(TNfcmanApp* app) {
    TNfcManager* owner = app->owner;
    app->inUse = 0;
    app->tag = 0;
    app->activationReported = 0;
    app->deviceIndicated = 0;
    app->virtualSe = 0;
    app->listenType = 0;
    app->userHandle = nullptr;
    app->callback = nullptr;
    app->state = NFCMAN_APPSTATE_INIT;
    app->listenRequest = 0;
    // A request of the application still running ends without an answer: nobody waits for it,
    // and the entry may serve another application before it ends.
    for (TNfcmanRequest* r : {&owner->taken, &owner->onDevice, &owner->io})
        if (r->app == app) {
            r->app = nullptr;
            r->id = 0;
        }
    nfcmanForgetParked(owner, app);
}

// The release confirmation goes out once the entry is free, so that a new registration finds it.
void confirmRelease(TNfcmanApp* app, uint16_t cause) {
    const auto callback = app->callback;
    void* const userHandle = app->userHandle;
    clearEntry(app);
    TnfcapiMsg conf = nfaceMsgMake<NFACE_RELEASE_CONF>({cause});
    nfcmanDeliver(callback, userHandle, conf);
}

int appsInUse(const TNfcManager* p) {
    int n = 0;
    for (const TNfcmanApp& app : p->apps) n += app.inUse ? 1 : 0;
    return n;
}

// What the applications in use listen for, leaving one out (or none).
struct Listening {
    uint32_t mask;
    bool reader;            // some application reads tags
    bool keep;              // some application keeps listening
};

Listening listenWithout(const TNfcManager* p, const TNfcmanApp* left, bool trace = false) {
    Listening l{0, false, false};
    for (int i = 0; i < NFCMAN_APPS; ++i) {
        const TNfcmanApp& app = p->apps[i];
        if (!app.inUse || &app == left) continue;
        l.mask |= app.listenType & ~NFCMAN_NDEF_LISTENER;
        if (trace)
            TRACE(NFCMAN_TRACE, "%s   %d. app %p, listen type 0x%.08X -> new global listen 0x%.08X", kPrefix, i,
                  static_cast<const void*>(&app), app.listenType, l.mask);
        if (app.listenType != 0 && !(app.listenType & NFCMAN_NO_READER)) l.reader = true;
        if (app.listenType & NFCMAN_KEEP_LISTENING) l.keep = true;
    }
    if (!l.reader && l.mask != 0) l.mask |= NFCMAN_NO_READER;
    return l;
}

bool virtualSeActive(const TNfcManager* p) {
    const TNfcCapabilityBlock* caps = p->capabilities;
    if (!caps) return false;
    const int count = caps->secureElementCount < NFC_MAX_SECURE_ELEMENTS ? caps->secureElementCount : NFC_MAX_SECURE_ELEMENTS;
    for (int i = 0; i < count; ++i)
        if (caps->secureElements[i] && (caps->secureElements[i]->mode & NFC_SE_MODE_VIRTUAL)) return true;
    return false;
}

// The rules by the application's state: answers 0 to go on, else the final flags.
uint32_t listenByState(TNfcManager* p, TNfcmanApp* app, uint32_t mask, uint32_t* flags) {
    switch (app->state) {
    case NFCMAN_APPSTATE_ACTIVATED:
        if (app->listenType != 0) {
            TRACE(TRC_ERROR, "%s ! Application has unexpected listenType %#x", kPrefix, app->listenType);
            nfcmanSendListenConf(p, app, nfcCauseWrongState);
            return LISTEN_ERROR | LISTEN_CONFIRMED;
        }
        if (mask == 0) {
            nfcmanSendListenConf(p, app, nfcCauseOk);
            return LISTEN_CONFIRMED;
        }
        return 0;
    case NFCMAN_APPSTATE_LISTEN_CONF: return 0;
    case NFCMAN_APPSTATE_DEV_IND:
        if (nfcmanTagTypeToListenMask(p->device.tagType) & mask) {
            nfcmanSendListenConf(p, app, nfcCauseOk);
            return LISTEN_CONFIRMED;
        }
        *flags |= LISTEN_RELISTEN;
        return 0;
    default:
        if (app->state > NFCMAN_APPSTATE_RELEASE_CONF)
            TRACE(TRC_ERROR, "%s ! LISTEN_REQ in unknown state %#X", kPrefix, app->state);
        else
            TRACE(TRC_ERROR, "%s ! received LISTEN_REQ in invalid state %#X", kPrefix, app->state);
        nfcmanSendListenConf(p, app, nfcCauseWrongState);
        return LISTEN_ERROR | LISTEN_CONFIRMED;
    }
}

} // namespace

// ---- Registration and release -----------------------------------------------------------------

void nfcmanHandleRegister(TNfcManager* p) {
    const NfcapiRegistration r = osMsgFields<NfcapiRegistration>(p->msg);
    TRACE(NFCMAN_TRACE, "%s Handle register request, init status 0x%X", kPrefix, p->initStatus);
    TNfcmanApp* app = nullptr;
    for (TNfcmanApp& entry : p->apps)
        if (!entry.inUse) {
            app = &entry;
            break;
        }
    if (!app) {
        TRACE(TRC_ERROR, "%s ! Cannot allocate NFC application, no free table entry", kPrefix);
        nfcmanRefuseRegistration(p, nfcCauseNoResources);
        return;
    }
    if (!r.upcall) {
        TRACE(TRC_ERROR, "%s ! NFC_REGISTER_REQ: no callback and no queue handle", kPrefix);
        return;
    }
    app->tag = NFCMAN_APP_TAG;
    app->owner = p;
    app->userHandle = r.instance;
    app->callback = r.upcall;
    app->listenRequest = 0;
    nfcmanStartGivenUp(app);
    app->inUse = 1;
    nfcmanSendUsMessage(p, app, nfaceMsgMake<NFACE_REGISTER_CONF>({app, nfcCauseOk}));
    nfcmanSetAppState(app, NFCMAN_APPSTATE_REGISTERED);
    if (p->initStatus != NFCMAN_INIT_PENDING) nfcmanSendActInd(p, app, p->initStatus);
}

void nfcmanRefuseRegistration(TNfcManager* p, uint16_t cause) {
    const NfcapiRegistration r = osMsgFields<NfcapiRegistration>(p->msg);
    nfcmanDeliver(r.upcall, r.instance, nfaceMsgMake<NFACE_REGISTER_CONF>({nullptr, cause}));
}

bool nfcmanReleaseRestarts(const TNfcManager* p, const TNfcmanApp* app) {
    if (app->listenType == 0) return false;
    return app->deviceIndicated || listenWithout(p, app).mask != p->globalMask;
}

bool nfcmanHandleRelease(TNfcManager* p) {
    TNfcmanApp* app = p->taken.app;
    if (!app) return false;
    TRACE(NFCMAN_TRACE, "%s RELEASE_REQ app %p, %d applications in use, listen type 0x%X", kPrefix,
          static_cast<void*>(app), appsInUse(p), app->listenType);
    const bool restarts = nfcmanReleaseRestarts(p, app);
    app->deviceIndicated = 0;
    if (!restarts) {
        const bool listening = app->listenType != 0;
        confirmRelease(app, nfcCauseOk);
        if (listening) nfcmanComputeGlobalMask(p);
        return false;
    }
    app->listenType = 0;
    nfcmanSetAppState(app, NFCMAN_APPSTATE_RELEASE);
    nfcmanComputeGlobalMask(p);
    return true;
}

void nfcmanReleaseNow(TNfcManager* p, uint16_t cause) {
    TNfcmanApp* app = p->taken.app;
    if (!app) return;
    const bool listening = app->listenType != 0;
    confirmRelease(app, cause);
    if (listening) nfcmanComputeGlobalMask(p);
}

// ---- Activation -------------------------------------------------------------------------------

void nfcmanTakeActivation(TNfcManager* p, const TNfcllActConf& conf) {
    if (conf.cause == nfcCauseOk && conf.capabilities) {
        TNfcCapabilityBlock* caps = conf.capabilities;
        p->capabilities = caps;
        caps->maxLlcpFrameSize = kLlcpFrameSize;
        caps->maxLlcpConnections = kLlcpConnections;
        caps->maxLlcpWindow = kLlcpWindow;
        caps->supportedMask |= kControlBits;
        p->supportedMask = caps->supportedMask;
        p->capFlags = caps->flags;
        TRACE(NFCMAN_TRACE, "%s ACTIVATION complete, init status 0x%X, listenMask 0x%X", kPrefix, conf.cause,
              p->supportedMask);
    }
    p->initStatus = conf.cause;
    for (TNfcmanApp& app : p->apps)
        if (app.inUse && !app.activationReported) nfcmanSendActInd(p, &app, p->initStatus);
}

// ---- The global listen mask -------------------------------------------------------------------

bool nfcmanComputeGlobalMask(TNfcManager* p) {
    const Listening l = listenWithout(p, nullptr, true);
    const uint32_t mask = l.mask;
    p->readerListener = l.reader;
    p->keepListening = l.keep;
    if (mask == p->globalMask) return false;
    TRACE(NFCMAN_TRACE, "%s global listen mask changed 0x%08X -> 0x%08X", kPrefix, p->globalMask, mask);
    p->globalMask = mask;
    return true;
}

uint32_t nfcmanTagTypeToListenMask(uint32_t tagType) {
    const uint32_t type = tagType & ~NFCMAN_NDEF_LISTENER;
    for (const TypeMask& t : kTypeMasks)
        if (type != 0 && (t.types & type) == type) return t.mask;
    TRACE(TRC_ERROR, "%s ! Unknown tagtype %x, cannot convert to listen mask", kPrefix, tagType);
    return 0;
}

uint32_t nfcmanReaderMask(uint32_t listenMask) {
    uint32_t mask = 0;
    for (const TypeMask& r : kReaderMasks)
        if (listenMask & r.types) mask |= r.mask;
    return mask;
}

// ---- The listen rules -------------------------------------------------------------------------

void nfcmanSendListenConf(TNfcManager* p, TNfcmanApp* app, uint16_t cause) {
    if (!app) return;
    TNfcmanRequest request{app, NFACE_LISTEN_REQ, app->listenRequest, NFCMAN_MODE_NONE};
    app->listenRequest = 0;
    nfcmanAnswer(p, request, nfaceMsgMake<NFACE_LISTEN_CONF>({cause}));
    if (cause != nfcCauseOk) return;
    if (app->listenType == 0) nfcmanSetAppState(app, NFCMAN_APPSTATE_ACTIVATED);
    else if (app->state != NFCMAN_APPSTATE_DEV_IND) nfcmanSetAppState(app, NFCMAN_APPSTATE_LISTEN_CONF);
}

uint32_t nfcmanListenRequest(TNfcManager* p) {
    TNfcmanApp* app = p->taken.app;
    const auto request = osMsgFields<TNfaceListenReq>(p->msg);
    TRACE(NFCMAN_TRACE, "%s LISTEN_REQ for application %#x in state %s", kPrefix, nfcmanAppIndex(p, app),
          app ? nfcmanAppStateName(app->state) : "");
    if (!app) {
        TRACE(TRC_ERROR, "%s No application found", kPrefix);
        return LISTEN_ERROR;
    }
    TNfcListenParam params{};
    if (request.params && !nfcmanReadCaller(p, [&] { params = *request.params; })) {
        TRACE(NFCMAN_TRACE, "%s LISTEN_REQ given up by its application, dropped", kPrefix);
        return LISTEN_ERROR | LISTEN_CONFIRMED;
    }
    // Its answer is the application's until it is sent, now or on layer 1's confirmation.
    app->listenRequest = p->taken.id;
    p->taken = TNfcmanRequest{};
    uint32_t flags = 0;
    if (const uint32_t done = listenByState(p, app, request.mask, &flags)) return done;
    if ((request.mask & NFC_MASK_HOST_CARD_EMULATION) && virtualSeActive(p) &&
        !(p->capFlags & NFC_CAP_HCE_WITH_VIRTUAL_SE)) {
        TRACE(TRC_ERROR, "%s ! virtual SE mode active, HOST CE not possible", kPrefix);
        nfcmanSendListenConf(p, app, nfcCauseListenMaskConflict);
        return LISTEN_ERROR | LISTEN_CONFIRMED;
    }
    if (request.mask & ~p->supportedMask) {
        TRACE(TRC_ERROR, "%s ! listen mask 0x%X not supported (0x%X)", kPrefix, request.mask, p->supportedMask);
        nfcmanSendListenConf(p, app, nfcCauseNotImplemented);
        return LISTEN_ERROR | LISTEN_CONFIRMED;
    }
    app->listenType = request.mask;
    nfcmanSetAppState(app, NFCMAN_APPSTATE_LISTEN);
    if (request.params) p->listenParams = params;
    if (!(p->listenParams.p2pFlags & NFC_P2P_GENERAL_BYTES)) {
        std::memcpy(p->listenParams.atrBytes, kDefaultGeneralBytes, sizeof kDefaultGeneralBytes);
        p->listenParams.atrLength = sizeof kDefaultGeneralBytes;
    }
    if (nfcmanComputeGlobalMask(p)) flags |= LISTEN_CHANGED;
    if (!(flags & LISTEN_RELISTEN) || (p->globalMask & kRelistenConfirmBits)) {
        nfcmanSendListenConf(p, app, nfcCauseOk);
        flags |= LISTEN_CONFIRMED;
    }
    return flags;
}

void nfcmanConfirmReleases(TNfcManager* p) {
    for (TNfcmanApp& app : p->apps) {
        if (!app.inUse || app.state != NFCMAN_APPSTATE_RELEASE) continue;
        TRACE(NFCMAN_TRACE, "%s sending release_conf to app %p", kPrefix, static_cast<void*>(&app));
        confirmRelease(&app, nfcCauseOk);
    }
}

void nfcmanListenConfirmation(TNfcManager* p) {
    nfcmanConfirmReleases(p);
    for (TNfcmanApp& app : p->apps) {
        if (!app.inUse || app.state != NFCMAN_APPSTATE_LISTEN) continue;
        // Confirmed when the controller listens for every technology the application asked for.
        const uint32_t asked = app.listenType & kConfirmBits;
        if ((asked & p->activeMask) == asked) {
            TRACE(NFCMAN_TRACE, "%s sending listen_conf to app %p, appLM=%#x, activeLM=%#x", kPrefix,
                  static_cast<void*>(&app), app.listenType, p->activeMask);
            nfcmanSendListenConf(p, &app, nfcCauseOk);
        } else {
            TRACE(NFCMAN_TRACE, "%s Different listen mask (appLM=%#x, activeLM=%#x), not sending listen_conf to app %p",
                  kPrefix, app.listenType, p->activeMask, static_cast<void*>(&app));
        }
    }
}

bool nfcmanAnyAppListening(const TNfcManager* p) {
    for (const TNfcmanApp& app : p->apps)
        if (app.inUse && app.listenType != 0) return true;
    return false;
}

// ---- The restart wheel ------------------------------------------------------------------------

void nfcmanSendListen(TNfcManager* p, uint32_t mask) {
    nfcmanSendL1(p, nfcllMsgMake<NFCLL_LISTEN_REQ>(p->ownWord, {mask, &p->listenParams}));
}

bool nfcmanRestartWheel(TNfcManager* p) {
    if (p->lastIoctl == kIoctlStopWheel) {
        TRACE(NFCMAN_TRACE, "%s RestartWheel stopped, DTA pending", kPrefix);
        return false;
    }
    if (!(p->capFlags & NFC_CAP_OWN_POLLING_LOOP) && p->globalMask != 0) {
        do {
            p->wheelIndex = static_cast<uint8_t>((p->wheelIndex + 1) % NFCMAN_WHEEL_ENTRIES);
        } while (p->wheelIndex != 0 && !(p->wheel[p->wheelIndex].mask & p->globalMask));
        const uint32_t mask = p->wheel[p->wheelIndex].mask;
        TRACE(NFCMAN_TRACE, "%s Sending phaseListen with mask 0x%08X", kPrefix, mask);
        nfcmanSendListen(p, mask);
    } else {
        const uint32_t mask = p->globalMask & kReaderListenBits;
        TRACE(NFCMAN_TRACE, "%s RestartWheel with listen mask 0x%.08X", kPrefix, mask);
        nfcmanSendListen(p, mask);
    }
    p->activeMask = p->globalMask;
    return true;
}

uint32_t nfcmanWheelDwell(TNfcManager* p) {
    const TNfcmanWheelEntry& e = p->wheel[p->wheelIndex];
    if (p->wheelIndex == 0 && p->globalMask == 0) return 0;
    if (p->wheelIndex != 0 && !(p->globalMask & kWheelBits)) return kLongDwellMs;
    const uint32_t span = e.maxMs >= e.minMs ? e.maxMs - e.minMs : 0;
    if (e.flags & 1) return e.minMs + osRandom() * span / 0xFFFF;
    return e.minMs + span / 2;
}

void nfcmanStartWheelTimer(TNfcManager* p) {
    if (p->capFlags & NFC_CAP_OWN_POLLING_LOOP) return;
    const uint32_t ms = nfcmanWheelDwell(p);
    if (ms == 0) return;
    TRACE(NFCMAN_TRACE, "%s starting wheel timer with %d ms", kPrefix, static_cast<int>(ms));
    nfcmanSetTimer(p, NFCMAN_TIMER_LISTEN, ms);
}

void nfcmanResetWheel(TNfcManager* p) {
    static_assert(sizeof p->wheel == sizeof kWheel);
    std::memcpy(p->wheel, kWheel, sizeof kWheel);
    p->wheelIndex = 0;
}

// ---- End points -------------------------------------------------------------------------------

void nfcmanEndpointIndication(TNfcManager* p) {
    const auto e = nfcllMsgGet<NFCLL_ENDPOINT_IND>(p->msg);
    if (p->endpointCount < NFCMAN_ENDPOINTS) {
        p->endpoints[p->endpointCount++] = TNfcmanEndpoint{e.endpoint, e.tagType};
        TRACE(NFCMAN_TRACE, "%s Endpoint %d: ID %d, tagtype 0x%X", kPrefix, p->endpointCount, e.endpoint, e.tagType);
    } else {
        TRACE(NFCMAN_TRACE, "%s already %d endpoint registered, ignore new one !", kPrefix, p->endpointCount);
    }
    if (!e.last) return;
    TRACE(NFCMAN_TRACE, "%s last end point signalled, select one of them (check P2P first)", kPrefix);
    const TNfcmanEndpoint* chosen = nullptr;
    if (p->globalMask & NFC_MASK_P2P)
        for (int i = 0; i < p->endpointCount && !chosen; ++i)
            if (p->endpoints[i].tagType == P2P_INITIATOR || p->endpoints[i].tagType == P2P_TARGET) chosen = &p->endpoints[i];
    const uint32_t readerMask = nfcmanReaderMask(p->activeMask);
    for (int i = 0; i < p->endpointCount && !chosen; ++i)
        if (p->endpoints[i].tagType & readerMask) chosen = &p->endpoints[i];
    if (chosen) {
        TRACE(NFCMAN_TRACE, "%s Selected endpoint %d, tag type 0x%.08X", kPrefix, chosen->id, chosen->tagType);
        nfcmanSendL1(p, nfcllMsgMake<NFCLL_SELECT_REQ>(p->ownWord, {chosen->id, chosen->tagType}));
    }
    // The next discovery reports its end points afresh.
    p->endpointCount = 0;
}
