// The health monitor: while the manager listens, every idle indication of layer 1 is answered
// with an echo through an I/O control, and a controller that does not echo in time is reset.
#include <cstring>
#include <iterator>

#include "core/nfcmgr.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "nfcman:";
constexpr uint32_t kIoctlEcho = 0x1004;
constexpr uint8_t kEcho[3] = {0x06, 0x06, 0x06};

#define NFCMAN_HM_STATE_NAME(name) "NFCMAN_HM_" #name,
constexpr const char* kStateNames[] = {NFCMAN_HM_STATES(NFCMAN_HM_STATE_NAME)};
#undef NFCMAN_HM_STATE_NAME

void setState(TNfcManager* p, uint32_t state) {
    TRACE(NFCMAN_TRACE, "%s HM change state from %s to %s", kPrefix, nfcmanHmStateName(p->hmState), nfcmanHmStateName(state));
    p->hmState = state;
}

void monitoring(TNfcManager* p, bool on) {
    nfcmanSendL1(p, nfcllMsgMake<NFCLL_HEALTHMON_REQ>(p->ownWord, {static_cast<uint8_t>(on ? 1 : 0)}));
}

void sendEcho(TNfcManager* p) {
    TRACE(NFCMAN_TRACE, "%s HM Sending echo request", kPrefix);
    std::memset(p->hmAnswer, 0, sizeof p->hmAnswer);
    const TNfcllIoControlReq request{nullptr, kEcho, p->hmAnswer, kIoctlEcho, 0, sizeof kEcho, sizeof p->hmAnswer};
    if (nfcmanSendL1(p, nfcllMsgMake<NFCLL_IOCONTROL_REQ>(p->ownWord, request))) p->ioPending = true;
    nfcmanRestartTimer(p, NFCMAN_TIMER_HEALTH, NFCMAN_HM_PERIOD_MS);
}

bool isEcho(const TNfcManager* p, const TNfcllIoControlConf& conf) {
    const uint8_t* data = conf.data ? conf.data : p->hmAnswer;
    return conf.cause == nfcCauseOk && conf.length == sizeof kEcho && std::memcmp(data, kEcho, sizeof kEcho) == 0;
}

} // namespace

const char* nfcmanHmStateName(uint32_t state) { return state < std::size(kStateNames) ? kStateNames[state] : "undefined"; }

bool nfcmanHmActive(const TNfcManager* p) {
    return (p->capFlags & NFC_CAP_HEALTH_MONITOR) && !(p->globalMask & NFCMAN_NO_HEALTH_MONITOR);
}

bool nfcmanHmWaiting(const TNfcManager* p) { return nfcmanHmActive(p) && p->hmState == NFCMAN_HM_WAITING; }

void nfcmanHmStart(TNfcManager* p) {
    if (!nfcmanHmActive(p)) return;
    setState(p, NFCMAN_HM_IDLE);
    monitoring(p, true);
    TRACE(NFCMAN_TRACE, "%s HM Started", kPrefix);
}

void nfcmanHmStop(TNfcManager* p) {
    if (!nfcmanHmActive(p)) return;
    nfcmanResetTimer(p, NFCMAN_TIMER_HEALTH);
    setState(p, NFCMAN_HM_IDLE);
    monitoring(p, false);
    TRACE(NFCMAN_TRACE, "%s HM Stopped", kPrefix);
}

void nfcmanHmIdleIndication(TNfcManager* p) {
    if (!nfcmanHmActive(p) || p->ioPending) return;
    TRACE(NFCMAN_TRACE, "%s HM Idle indication in %s", kPrefix, nfcmanHmStateName(p->hmState));
    switch (p->hmState) {
    case NFCMAN_HM_IDLE:
        sendEcho(p);
        setState(p, NFCMAN_HM_WAITING);
        break;
    case NFCMAN_HM_WAITING: setState(p, NFCMAN_HM_ERROR); break;
    case NFCMAN_HM_FINISHED: setState(p, NFCMAN_HM_IDLE); break;
    case NFCMAN_HM_ERROR: break;
    default: TRACE(TRC_ERROR, "%s ! HM: Unknown state %d", kPrefix, static_cast<int>(p->hmState));
    }
}

bool nfcmanHmConfirmation(TNfcManager* p, const TNfcllIoControlConf& conf) {
    if (!nfcmanHmActive(p)) return false;
    const bool echo = isEcho(p, conf);
    if (echo) TRACE(NFCMAN_TRACE, "%s HM echo response in state %s", kPrefix, nfcmanHmStateName(p->hmState));
    switch (p->hmState) {
    case NFCMAN_HM_WAITING:
        if (!echo) {
            setState(p, NFCMAN_HM_ERROR);
            return false;
        }
        TRACE(NFCMAN_TRACE, "%s HM response received", kPrefix);
        nfcmanResetTimer(p, NFCMAN_TIMER_HEALTH);
        setState(p, NFCMAN_HM_FINISHED);
        TRACE(NFCMAN_TRACE, "%s checking for queued IOCTL requests", kPrefix);
        nfcmanTakeParked(p);
        return true;
    case NFCMAN_HM_IDLE:
    case NFCMAN_HM_FINISHED:
        if (echo) {
            setState(p, NFCMAN_HM_ERROR);
            return true;
        }
        if (p->hmState == NFCMAN_HM_FINISHED) setState(p, NFCMAN_HM_IDLE);
        return false;
    default: return echo;
    }
}
