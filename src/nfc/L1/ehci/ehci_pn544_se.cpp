// The PN544's secure-element activator: keeps the UICC on its SWP link in the state the
// application asked for, watches the link with a guard timer and a hot-plug timer, counts failed
// activations and tells the application of every change of the UICC's state or flags.
#include <iterator>

#include "L1/ehci/ehci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kGuardMs = 400;
constexpr uint32_t kHotPlugMs = 200;
constexpr uint16_t kUiccCapability = 0x2000;
constexpr uint8_t kMaxErrors = 3;
constexpr uint8_t kUiccMode = 0x01;          // UICC registry: 1 activates the SWP link
constexpr uint8_t kSwpStatus = 0x02;         // UICC registry: the link's state
constexpr uint8_t kSwpConnected = 0x02;

enum : uint8_t { kFlagConnectivity = 0x1, kFlagError = 0x4 };

TEhci544SeActivator ehci544SeActivator;

TEhci544SeActivator& ctx(void* context) { return *static_cast<TEhci544SeActivator*>(context); }

constexpr const char* kSwpTexts[] = {"not connected",      "connection ongoing", "connected",          "connection lost",
                                     "disconnect ongoing", "connection failed",  "connection inactive"};

const char* onOff(uint32_t state) { return state ? "ON" : "OFF"; }

TEhciPipe* uiccPipe(const TEhciInstance* e) { return e->pipes.se && e->pipes.se->id ? e->pipes.se : nullptr; }

TNfcInfoSE* uiccRecord(TEhciInstance* e) {
    for (TNfcInfoSE& se : e->seRecords)
        if (se.handle && (se.capabilities & kUiccCapability)) return &se;
    return nullptr;
}

void startGuard(TEhci544SeActivator& c) {
    // Each status blocks new updates for the whole guard time, so a running guard starts over.
    uint8_t index = EHCI_TIMER_SWP_GUARD;
    ehciUp(c.instance, EV_EHCI_TIMER_RESTART, &index, kGuardMs);
    c.guardArmed = true;
}

uint8_t currentFlags(const TEhci544SeActivator& c) {
    const TEhciPipe* connectivity = c.instance->pipes.connectivity;
    uint8_t flags = connectivity && connectivity->id ? kFlagConnectivity : 0;
    if (c.errorCount >= kMaxErrors) flags |= kFlagError;
    return flags;
}

void sendState(TEhci544SeActivator& c, uint32_t kind) {
    TEhciInstance* e = c.instance;
    const TNfcInfoSE* uicc = uiccRecord(e);
    if (!uicc) {
        TRACE(kErr, "ehci: ! no UICC record to report");
        return;
    }
    uint32_t flags = c.notifyFlags;
    ehciUp(e, EV_EHCI_SE_STATE, &flags, kind, static_cast<uintptr_t>(uicc->handle));
}

void notify(TEhci544SeActivator& c) {
    TRACE(kTrc, "ehci: ----------------------------------");
    TRACE(kTrc, "ehci: Send Notification to Application: ");
    TRACE(kTrc, "ehci:   UICC IS %s", onOff(c.current));
    TRACE(kTrc, "ehci:   ConnectivityPipe is %s", onOff(c.notifyFlags & kFlagConnectivity));
    TRACE(kTrc, "ehci:   Error State is %d", (c.notifyFlags & kFlagError) ? 1 : 0);
    TRACE(kTrc, "ehci: ----------------------------------");
    sendState(c, c.current ? NFCLL_SE_ACTIVATED : NFCLL_SE_DEACTIVATED);
}

// The link's state goes to uiccStatus through the UICC pipe's answer; a read that cannot go out
// ends the attempt, and the guard's expiry tries again.
void readStatus(TEhci544SeActivator& c) {
    TEhciPipe* uicc = uiccPipe(c.instance);
    if (uicc && ehciGetParam(uicc, kSwpStatus, EHCI_544_UICC_STATUS) == 0) return;
    TRACE(kErr, "ehci: ! UICC status not read");
    c.failureCounted = false;
    c.activity = EHCI544_SE_IDLE;
    startGuard(c);
}

void triggerUpdate(TEhci544SeActivator& c) {
    TRACE(kTrc, "ehci: trigger SE activation update");
    if (c.activity == EHCI544_SE_IDLE && c.requested != c.current) {
        if (c.errorCount >= kMaxErrors) {
            TRACE(kErr, "!ehci: UICC exceeded max. activation errors. Ignored");
            sendState(c, NFCLL_SE_DEACTIVATED);
            return;
        }
        TEhciPipe* uicc = uiccPipe(c.instance);
        if (!uicc) {
            // The request stays; the pipe's notification or the next request starts it.
            TRACE(kErr, "ehci: no 544 UICC-pipe yet? Ignore event");
            return;
        }
        c.activity = c.requested ? EHCI544_SE_ACTIVATING : EHCI544_SE_DEACTIVATING;
        TRACE(kTrc, "%s", c.requested ? "ehci: start UICC activation" : "ehci: start UICC deactivation");
        const auto mode = static_cast<uint8_t>(c.requested);
        ehciSetParam(uicc, kUiccMode, &mode, 1, EHCI_544_UICC_ENABLE);
        if (c.guardArmed) {
            ehciTimerStop(c.instance, EHCI_TIMER_SWP_GUARD);
            c.guardArmed = false;
        }
        ehciTimerStart(c.instance, EHCI_TIMER_HOT_PLUG, kHotPlugMs);
        c.hotPlugArmed = true;
        return;
    }
    TRACE(kTrc, "ehci: UICC/ESE state is up to date");
}

// ---- Operations ------------------------------------------------------------------------------------
void* init(TEhciInstance* e) {
    TRACE(kTrc, "ehci: PN544 SE activator init");
    ehci544SeActivator = TEhci544SeActivator{};
    ehci544SeActivator.instance = e;
    return &ehci544SeActivator;
}

void reset(void*) { TRACE(kTrc, "ehci: PN544 SE activator rest called"); }

void guardExpired(TEhci544SeActivator& c) {
    TRACE(kTrc, "ehci: PN544 SE activator filterTimeout called");
    TRACE(kTrc, "ehci: SWP Guard Timer expired");
    c.guardArmed = false;
    if (c.activity != EHCI544_SE_IDLE) {
        TRACE(kTrc, "ehci: Secure SM still working, retrigger timer");
        startGuard(c);
        return;
    }
    triggerUpdate(c);
}

void hotPlugExpired(TEhci544SeActivator& c) {
    if (!c.hotPlugArmed) {
        TRACE(kErr, "ehci: unexpected UICC HOT PLUG timeout. Ignored");
        return;
    }
    c.hotPlugArmed = false;
    TRACE(kTrc, "ehci: UICC HOT PLUG timer expired");
    ++c.errorCount;
    TRACE(kTrc, "ehci: UICC error count = %d", static_cast<int>(c.errorCount));
    c.failureCounted = true;
    readStatus(c);
}

int32_t timerExpired(void* context, uint32_t index) {
    TEhci544SeActivator& c = ctx(context);
    switch (index) {
    case EHCI_TIMER_SWP_GUARD: guardExpired(c); return 1;
    case EHCI_TIMER_HOT_PLUG: hotPlugExpired(c); return 1;
    default: return 0;
    }
}

void hotPlug(void* context, uint8_t) {
    TEhci544SeActivator& c = ctx(context);
    TRACE(kTrc, "ehci: se activator Event HOT PLUG in activity %d", static_cast<int>(c.activity));
    if (!uiccPipe(c.instance)) {
        TRACE(kErr, "ehci: no 544 UICC-pipe yet? Ignore event");
        return;
    }
    switch (c.activity) {
    case EHCI544_SE_ACTIVATING:
    case EHCI544_SE_DEACTIVATING:
        if (c.hotPlugArmed) {
            ehciTimerStop(c.instance, EHCI_TIMER_HOT_PLUG);
            c.hotPlugArmed = false;
        }
        startGuard(c);
        // While the UICC comes up the loop leaves room for card emulation through it; the
        // phases' answer reads the SWP status.
        ehci544RewritePhases(c.instance, c.activity == EHCI544_SE_ACTIVATING);
        return;
    case EHCI544_SE_IDLE: TRACE(kTrc, "ehci: external reader detected for CE in UICC"); return;
    default: TRACE(kErr, "ehci: Ignore hot plug in activity %d", static_cast<int>(c.activity)); return;
    }
}

void hostList(void*, const uint8_t*, uint32_t length) {
    TRACE(kTrc, "ehci: Got HOST-List with %d entries (NOP)", static_cast<int>(length));
}

void pipeNotification(void* context, TEhciPipe*) {
    TEhci544SeActivator& c = ctx(context);
    TRACE(kTrc, "ehci: se activator on pipe notification");
    startGuard(c);
    const uint8_t flags = currentFlags(c);
    if (flags == c.notifyFlags) return;
    TRACE(kTrc, "ehci: UICC changed flags from %d to %d", static_cast<int>(c.notifyFlags), static_cast<int>(flags));
    c.notifyFlags = flags;
    notify(c);
}

void uiccStatus(void* context, uint32_t status) {
    TEhci544SeActivator& c = ctx(context);
    TRACE(kTrc, "ehci: se activator on UICC status");
    if (status < std::size(kSwpTexts))
        TRACE(kTrc, "ehci: UICC SWP status 0x%02X (%s)", static_cast<unsigned>(status), kSwpTexts[status]);
    else
        TRACE(kErr, "ehci: UICC SWP status 0x%02X (Unknown status 0x%02X)", static_cast<unsigned>(status),
              static_cast<unsigned>(status));
    const uint32_t connected = status == kSwpConnected ? 1 : 0;
    // One failed activation counts once, also when its hot-plug time-out forced this read.
    if (connected != c.requested && !c.failureCounted) ++c.errorCount;
    c.failureCounted = false;
    const uint8_t flags = currentFlags(c);
    if (connected != c.current || flags != c.notifyFlags) {
        TRACE(kTrc, "ehci: UICC changed state from %s to %s, flags = %d", onOff(c.current), onOff(connected),
              static_cast<int>(flags));
        c.current = connected;
        c.notifyFlags = flags;
        notify(c);
    }
    startGuard(c);
    c.activity = EHCI544_SE_IDLE;
}

// A UICC request clears the error count and moves the state machine; any record takes its mode.
void request(TEhci544SeActivator& c, TNfcInfoSE* se, uint32_t state) {
    TEhciInstance* e = c.instance;
    if (se->capabilities & kUiccCapability) {
        c.errorCount = 0;
        c.requested = state;
        TRACE(kTrc, "ehci: Se Activator: state change of UICC requested");
        if (!c.guardArmed && c.activity == EHCI544_SE_IDLE) triggerUpdate(c);
    }
    se->mode = static_cast<uint16_t>(state);
    if (e->flags & EHCI_F_IO_PENDING) ehciIoAnswer(e, 0);
}

void enableSe(void* context, TNfcInfoSE* se) {
    TRACE(kTrc, "ehci: Se Activator: ENABLE SE");
    request(ctx(context), se, 1);
}

void disableSe(void* context, TNfcInfoSE* se) {
    TRACE(kTrc, "ehci: Se Activator: DISABLE SE");
    request(ctx(context), se, 0);
}

}  // namespace

// The PN544 secure handler opens and closes the SmartMX itself: slots 8 and 9 stay empty.
const TSeActivatorOps ehci544SeActivatorOps = {
    &init, &reset, &timerExpired, &hotPlug, &hostList, &pipeNotification, &enableSe, &disableSe, nullptr, nullptr,
    &uiccStatus,
};
