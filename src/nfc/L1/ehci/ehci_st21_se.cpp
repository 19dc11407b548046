// The secure-element activator of the ST21NFCA/B chips: it switches the UICC (host 0x02) and the
// embedded SE (host 0xC0) on and off as the application asks, one at a time, through events on
// the device-manager pipe; the chip answers with a hot plug on the Admin pipe, after which the
// Admin host list tells what really is on. Secure open and close wait until the eSE is where they
// need it. Every change reaches the application as NFC_SE_IND.
#include <algorithm>
#include <iterator>

#include "L1/ehci/ehci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;

// Driver timers of the activator.
enum : uint8_t { kTimerGuard = 3, kTimerUiccPlug = 4, kTimerEsePlug = 7 };
constexpr uint32_t kGuardMs = 1000;
constexpr uint32_t kHotPlugMs = 300;
constexpr uint8_t kMaxErrors = 3;

constexpr uint8_t kAdmHostListIndex = 0x04;
constexpr uint32_t kAdmHostListState = 194;   // the Admin step whose answer comes back to hostList

// Device-manager events.
enum : uint8_t { kEvEndOfApdu = 0x21 };

// The activities.
enum : uint32_t {
    kIdle = 0, kUiccOn = 1, kUiccOff = 2, kEseOn = 3, kEseOff = 4, kDeferredOpen = 5, kDeferredClose = 6
};

// Bits of an SE's flags as the application gets them.
enum : uint8_t { kFlagConnectivity = 0x1, kFlagWired = 0x2, kFlagError = 0x4 };

enum : uint16_t { kCauseOk = 0, kCauseFailed = 3 };

// What differs between the two SEs.
enum Se : uint8_t { kUicc = 0, kEse = 1 };
struct SeKind {
    const char* name;
    uint8_t host;
    uint16_t caps;           // the record's kind bit
    uint8_t timer;           // its hot-plug timer
    uint8_t onEvent, offEvent;
    uint32_t onActivity;     // the activity that switches it on; the next one switches it off
};
constexpr SeKind kKinds[] = {
    {"UICC", 0x02, 0x2000, kTimerUiccPlug, 0x10, 0x13, kUiccOn},
    {"ESE", 0xC0, 0x1000, kTimerEsePlug, 0x22, 0x23, kEseOn},
};

struct SeState {
    uint32_t hotPlugArmed;
    uint32_t requested;      // 1 on, 0 off
    uint32_t current;
    uint8_t errors;          // failed activations
    uint8_t flags;
};

struct TEhciStmSeActivator {
    TEhciInstance* instance;
    uint32_t activity;
    uint32_t guardArmed;
    SeState se[2];           // by Se
    uint32_t pendingOpen;
    uint32_t pendingClose;
    // The card pipe's response operation while its opening is answered here.
    void (*cardResponse)(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code);
};

TEhciStmSeActivator ehciStmSeActivator;

TEhciStmSeActivator& of(void* context) { return *static_cast<TEhciStmSeActivator*>(context); }
const char* onOff(uint32_t on) { return on ? "ON" : "OFF"; }

// ---- The variant's pipes and records -------------------------------------------------------------------
// The pipes as the ST21 variant binds them.
TEhciPipe* deviceManager(TEhciInstance* e) { return e->pipes.variant2; }
TEhciPipe* cardPipe(TEhciInstance* e) { return e->pipes.ese; }
TEhciPipe* connectivityPipe(TEhciInstance* e, Se se) { return se == kUicc ? e->pipes.connectivity : e->pipes.variant; }
bool exists(const TEhciPipe* pipe) { return pipe && pipe->id != 0; }

// The listed record of the SE; null when the chip has none.
TNfcInfoSE* recordOf(TEhciInstance* e, Se se) {
    const TNfcCapabilityBlock* block = e->capabilities;
    for (uint8_t i = 0; block && i < block->secureElementCount; ++i) {
        TNfcInfoSE* record = block->secureElements[i];
        if (record && record->id == kKinds[se].host) return record;
    }
    return nullptr;
}

bool eseEnabled(TEhciInstance* e) {
    const TNfcInfoSE* record = recordOf(e, kEse);
    return record && record->mode == 1;
}

uint8_t flagsOf(const TEhciStmSeActivator& a, Se se) {
    TEhciInstance* e = a.instance;
    uint8_t flags = 0;
    if (exists(connectivityPipe(e, se))) flags |= kFlagConnectivity;
    if (se == kEse && exists(cardPipe(e))) flags |= kFlagWired;
    if (a.se[se].errors >= kMaxErrors) flags |= kFlagError;
    return flags;
}

// ---- Timers and the chip ---------------------------------------------------------------------------------
void startGuard(TEhciStmSeActivator& a) {
    ehciTimerStart(a.instance, kTimerGuard, kGuardMs);
    a.guardArmed = 1;
}

void stopGuard(TEhciStmSeActivator& a) {
    ehciTimerStop(a.instance, kTimerGuard);
    a.guardArmed = 0;
}

void stopHotPlug(TEhciStmSeActivator& a, Se se) {
    ehciTimerStop(a.instance, kKinds[se].timer);
    a.se[se].hotPlugArmed = 0;
}

void readHostList(TEhciStmSeActivator& a) {
    if (ehciGetParam(a.instance->pipes.admin, kAdmHostListIndex, kAdmHostListState) < 0)
        TRACE(kErr, "ehci: ! HOST-List not requested");
}

// [0x80|pipe, 0x40|event] on the device manager, whose own steps go on undisturbed.
void deviceManagerEvent(TEhciInstance* e, uint8_t event) {
    TEhciPipe* pipe = deviceManager(e);
    if (!exists(pipe) || ehciSendEvent(pipe, event, pipe->state) < 0)
        TRACE(kErr, "ehci: ! event 0x%X not sent to the device manager", static_cast<unsigned>(event));
}

// ---- Notification ----------------------------------------------------------------------------------------
void notify(TEhciStmSeActivator& a, Se se) {
    TEhciInstance* e = a.instance;
    const SeState& s = a.se[se];
    TRACE(kTrc, "ehci: ----------------------------------");
    TRACE(kTrc, "ehci: Send Notification to Application: ");
    TRACE(kTrc, "ehci:   %s IS %s", kKinds[se].name, onOff(s.current));
    if (se == kEse) TRACE(kTrc, "ehci:   WiredPipe is %s", onOff(s.flags & kFlagWired));
    TRACE(kTrc, "ehci:   ConnectivityPipe is %s", onOff(s.flags & kFlagConnectivity));
    TRACE(kTrc, "ehci:   Error State is %d", (s.flags & kFlagError) ? 1 : 0);
    TRACE(kTrc, "ehci: ----------------------------------");
    const TNfcInfoSE* record = recordOf(e, se);
    // Without a record the application has no handle to hear it by.
    if (!record) {
        TRACE(kErr, "ehci: ! no %s record to notify", kKinds[se].name);
        return;
    }
    const uint32_t kind = s.current ? NFCLL_SE_ACTIVATED : NFCLL_SE_DEACTIVATED;
    nfcllSendUsSeInd(static_cast<TNfcllContext*>(e->userData), TNfcllSeInd{kind, record->handle, s.flags, nullptr});
}

// ---- Deferred secure calls -------------------------------------------------------------------------------
// The card pipe's answer to its opening: the variant's own handling, then the secure open's answer.
void cardOpened(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciStmSeActivator& a = ehciStmSeActivator;
    pipe->response = a.cardResponse;
    if (pipe->response) pipe->response(pipe, data, length, code);
    ehciIoAnswer(a.instance, code ? kCauseFailed : kCauseOk);
}

void openCompleted(TEhciStmSeActivator& a) {
    TEhciInstance* e = a.instance;
    a.activity = kIdle;
    a.pendingOpen = 0;
    TEhciPipe* card = cardPipe(e);
    if (!a.se[kEse].current || !(a.se[kEse].flags & kFlagWired) || !exists(card)) {
        TRACE(kTrc, "ehci: secure element not active.");
        ehciIoAnswer(e, kCauseFailed);
        return;
    }
    // Its opening sends the soft reset to the eSE; the open is answered once the pipe is open, so
    // that no APDU can meet the open's answer on the pipe.
    card->name = "Card pipe";
    card->flags |= EHCI_P_SECURE;
    if (card->response != &cardOpened) {
        a.cardResponse = card->response;
        card->response = &cardOpened;
    }
    ehciOpenPipe(card);
}

void closeCompleted(TEhciStmSeActivator& a) {
    a.pendingClose = 0;
    TRACE(kTrc, "ehci: signal end of APDU transfer");
    deviceManagerEvent(a.instance, kEvEndOfApdu);
    ehciIoAnswer(a.instance, kCauseOk);
}

// ---- The update --------------------------------------------------------------------------------------------
// Picks the SE's activity when its state is not the requested one.
void serve(TEhciStmSeActivator& a, Se se) {
    const SeState& s = a.se[se];
    if (s.requested == s.current) return;
    if (s.errors >= kMaxErrors) {
        TRACE(kErr, "!ehci: %s exceeded max. activation errors. Ignored", kKinds[se].name);
        return;
    }
    a.activity = kKinds[se].onActivity + (s.requested ? 0 : 1);
}

void startSwitch(TEhciStmSeActivator& a, Se se, bool on) {
    TRACE(kTrc, "ehci: start %s %s", kKinds[se].name, on ? "activation" : "deactivation");
    // The eSE goes off only once the APDU transfer is closed.
    if (se == kEse && !on && a.pendingClose) closeCompleted(a);
    deviceManagerEvent(a.instance, on ? kKinds[se].onEvent : kKinds[se].offEvent);
    stopGuard(a);
    ehciTimerStart(a.instance, kKinds[se].timer, kHotPlugMs);
    a.se[se].hotPlugArmed = 1;
}

void update(TEhciStmSeActivator& a) {
    const Se first = a.se[kUicc].errors < a.se[kEse].errors ? kUicc : kEse;
    serve(a, first);
    if (a.activity == kIdle) serve(a, first == kUicc ? kEse : kUicc);
    if (a.activity == kIdle) a.activity = a.pendingOpen ? kDeferredOpen : a.pendingClose ? kDeferredClose : kIdle;
    switch (a.activity) {
    case kUiccOn: startSwitch(a, kUicc, true); break;
    case kUiccOff: startSwitch(a, kUicc, false); break;
    case kEseOn: startSwitch(a, kEse, true); break;
    case kEseOff: startSwitch(a, kEse, false); break;
    case kDeferredOpen:
        TRACE(kTrc, "ehci: start defered secure open");
        openCompleted(a);
        break;
    case kDeferredClose:
        TRACE(kTrc, "ehci: start defered secure close");
        a.activity = kIdle;
        closeCompleted(a);
        break;
    default: TRACE(kTrc, "ehci: UICC/ESE state is up to date"); break;
    }
}

void updateWhenIdle(TEhciStmSeActivator& a) {
    if (a.activity == kIdle && !a.guardArmed) update(a);
}

// ---- The operations ------------------------------------------------------------------------------------------
void* init(TEhciInstance* e) {
    TRACE(kTrc, "ehci: ST21NFC SE activator init");
    ehciStmSeActivator = TEhciStmSeActivator{};
    ehciStmSeActivator.instance = e;
    return &ehciStmSeActivator;
}

void hostList(void* context, const uint8_t* data, uint32_t length) {
    TEhciStmSeActivator& a = of(context);
    TRACE(kTrc, "ehci: Got HOST-List with %d entries", static_cast<int>(length));
    bool anyPresent = false, notified = false;
    for (const Se se : {kEse, kUicc}) {
        const uint32_t present = std::find(data, data + length, kKinds[se].host) != data + length ? 1 : 0;
        const uint8_t flags = flagsOf(a, se);
        SeState& s = a.se[se];
        anyPresent = anyPresent || present;
        if (present == s.current && flags == s.flags) continue;
        TRACE(kTrc, "ehci: %s changed state from %s to %s, flags = %d", kKinds[se].name, onOff(s.current),
              onOff(present), static_cast<int>(flags));
        s.current = present;
        s.flags = flags;
        notify(a, se);
        notified = true;
    }
    // An activation that came to nothing is still news for the one who asked for it.
    if (!notified && !anyPresent) notify(a, a.activity == kUiccOn ? kUicc : kEse);
    a.activity = kIdle;
}

void reset(void* context) {
    TEhciStmSeActivator& a = of(context);
    stopHotPlug(a, kUicc);
    stopHotPlug(a, kEse);
    stopGuard(a);
    a.activity = kIdle;
    a.se[kEse].requested = eseEnabled(a.instance) ? 1 : 0;
    // Cleared first, so that the flags the application now hears carry no stale error.
    a.se[kUicc].errors = a.se[kEse].errors = 0;
    hostList(context, nullptr, 0);
    if (a.pendingOpen || a.pendingClose) {
        TRACE(kTrc, "ehci: cancel pending secure open/close call");
        a.pendingOpen = a.pendingClose = 0;
        ehciIoAnswer(a.instance, kCauseFailed);
    }
    startGuard(a);
}

int32_t timerExpired(void* context, uint32_t index) {
    TEhciStmSeActivator& a = of(context);
    if (index == kTimerGuard) {
        TRACE(kTrc, "ehci: SWP Guard Timer expired");
        a.guardArmed = 0;
        if (a.activity != kIdle) {
            TRACE(kTrc, "ehci: Secure SM still working, retrigger timer");
            startGuard(a);
        } else {
            update(a);
        }
        return 1;
    }
    if (index != kTimerUiccPlug && index != kTimerEsePlug) return 0;
    const Se se = index == kTimerUiccPlug ? kUicc : kEse;
    SeState& s = a.se[se];
    if (!s.hotPlugArmed) {
        TRACE(kErr, "ehci: unexpected %s HOT PLUG timeout. Ignored", kKinds[se].name);
        return 1;
    }
    s.hotPlugArmed = 0;
    TRACE(kErr, "ehci: %s HOT PLUG timer expired", kKinds[se].name);
    ++s.errors;
    TRACE(kErr, "ehci: %s error count = %d", kKinds[se].name, static_cast<int>(s.errors));
    // As after a hot plug, the next update comes with the guard: a chip that stays silent is asked
    // again until the errors run out, and a waiting secure call is answered in the end.
    startGuard(a);
    readHostList(a);
    return 1;
}

void hotPlug(void* context, uint8_t first) {
    TEhciStmSeActivator& a = of(context);
    const Se se = (first & 0x01) ? kEse : kUicc;
    TRACE(kTrc, "ehci: Event HOT PLUG (%s) %s", kKinds[se].name, first > 63 ? "OFF" : "ON");
    stopHotPlug(a, se);
    startGuard(a);
    readHostList(a);
}

void pipeNotification(void* context, TEhciPipe*) {
    TEhciStmSeActivator& a = of(context);
    for (const Se se : {kEse, kUicc}) {
        const uint8_t flags = flagsOf(a, se);
        if (flags == a.se[se].flags) continue;
        TRACE(kTrc, "ehci: %s changed flags from %d to %d", kKinds[se].name, static_cast<int>(a.se[se].flags),
              static_cast<int>(flags));
        a.se[se].flags = flags;
        notify(a, se);
    }
}

void setMode(void* context, TNfcInfoSE* record, uint16_t mode) {
    TEhciStmSeActivator& a = of(context);
    const uint16_t caps = record->capabilities;
    for (const Se se : {kUicc, kEse})
        if (caps & kKinds[se].caps) {
            a.se[se].errors = 0;
            a.se[se].requested = mode;
            break;
        }
    updateWhenIdle(a);
    record->mode = mode;
    ehciIoAnswer(a.instance, kCauseOk);
}

void enableSe(void* context, TNfcInfoSE* record) { setMode(context, record, 1); }
void disableSe(void* context, TNfcInfoSE* record) { setMode(context, record, 0); }

void secureOpen(void* context, TNfcInfoSE*) {
    TEhciStmSeActivator& a = of(context);
    a.pendingOpen = 1;
    a.se[kEse].requested = 1;
    updateWhenIdle(a);
}

void secureClose(void* context, TNfcInfoSE*) {
    TEhciStmSeActivator& a = of(context);
    a.pendingClose = 1;
    // An eSE enabled for card emulation stays on after the wired session.
    a.se[kEse].requested = eseEnabled(a.instance) ? 1 : 0;
    updateWhenIdle(a);
}

}  // namespace

const TSeActivatorOps ehciSt21SeActivatorOps = {
    &init,     &reset,     &timerExpired, &hotPlug,     &hostList, &pipeNotification,
    &enableSe, &disableSe, &secureOpen,   &secureClose, nullptr,
};
