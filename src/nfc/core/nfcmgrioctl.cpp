// I/O control: the codes the manager answers itself, and the rest passed to layer 1 with copies of
// the caller's data, so that a caller that stopped waiting leaves nothing behind for layer 1.
#include <cstring>

#include "core/nfcmgr.h"
#include "os/os_mem.h"
#include "util/trace.h"

namespace {

constexpr char kPrefix[] = "nfcman:";

enum : uint32_t {
    IOCTL_POLL_PERIOD = 0x1008,     // u16: the presence-check period
    IOCTL_PAUSE_DWELL = 0x1103,     // u16: the dwell of the wheel's pause phase
    IOCTL_STACK_BYTES = 0x120B,     // P2P raw mode and option byte
    IOCTL_SE_VIRTUAL = 0x8008,
    IOCTL_SE_OFF = 0x800A,
};

bool readU16(const TNfaceTransfer& t, uint16_t* value) {
    if (t.writeLength != sizeof *value || !t.writeData) return false;
    std::memcpy(value, t.writeData, sizeof *value);
    return true;
}

uint8_t* copyOf(const uint8_t* data, uint16_t length, uint16_t room, bool* ok) {
    const uint16_t size = length > room ? length : room;
    *ok = true;
    if (size == 0) return nullptr;
    void* memory = nullptr;
    if (osMemoryAllocate(size, &memory) != OS_OK) {
        *ok = false;
        return nullptr;
    }
    if (data && length) std::memcpy(memory, data, length);
    return static_cast<uint8_t*>(memory);
}

// The codes answered here; false for a code that goes on to layer 1.
bool answeredHere(TNfcManager* p, TNfcmanApp* app, uint32_t code, const TNfaceTransfer& t) {
    uint16_t value = 0;
    switch (code) {
    case IOCTL_POLL_PERIOD:
        if (readU16(t, &value)) p->pollPeriodMs = value;
        nfcmanAnswerIoControl(p, app, readU16(t, &value) ? nfcCauseOk : nfcCauseWrongParameter);
        return true;
    case IOCTL_PAUSE_DWELL:
        if (readU16(t, &value)) p->wheel[0].minMs = p->wheel[0].maxMs = value;
        nfcmanAnswerIoControl(p, app, readU16(t, &value) ? nfcCauseOk : nfcCauseWrongParameter);
        return true;
    case IOCTL_STACK_BYTES:
        // Two bytes are read: a shorter input is refused, never read past.
        if (t.writeLength < 2 || !t.writeData) {
            nfcmanAnswerIoControl(p, app, nfcCauseWrongParameter);
            return true;
        }
        nfcmanSetStackBytes(t.writeData[0], t.writeData[1]);
        nfcmanAnswerIoControl(p, app, nfcCauseOk);
        return true;
    case IOCTL_SE_VIRTUAL:
        if (app) app->virtualSe = 1;
        return false;
    case IOCTL_SE_OFF:
        if (app) app->virtualSe = 0;
        return false;
    default: return false;
    }
}

} // namespace

void nfcmanAnswerIoControl(TNfcManager* p, TNfcmanApp* app, uint16_t cause) {
    if (!app) {
        TRACE(TRC_ERROR, "%s ! couldn't deliver nfcmanSendUsMessage in nfcmanSendUsIoControlConfirmation", kPrefix);
        return;
    }
    nfcmanSendUsMessage(p, app, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({cause, nullptr, 0}));
}

void nfcmanIoControlRequest(TNfcManager* p) {
    // One I/O control at a time; the health monitor's echo goes first.
    if (p->ioPending || nfcmanHmWaiting(p)) {
        nfcmanPark(p);
        return;
    }
    const auto r = osMsgFields<TNfaceIoControlReq>(p->msg);
    TNfcmanApp* app = p->currentApp;
    if (!r.transfer) {
        nfcmanAnswerIoControl(p, app, nfcCauseWrongParameter);
        return;
    }
    const TNfaceTransfer t = *r.transfer;
    if (answeredHere(p, app, r.code, t)) return;
    bool inputOk = false, outputOk = false;
    p->ioInput = copyOf(t.writeData, t.writeLength, 0, &inputOk);
    p->ioOutput = copyOf(nullptr, 0, t.readLength, &outputOk);
    if (!inputOk || !outputOk) {
        nfcmanFreeIoBuffers(p);
        nfcmanAnswerIoControl(p, app, nfcCauseNotEnoughInternalMemory);
        return;
    }
    p->ioOutputSize = t.readLength;
    p->lastIoctl = static_cast<uint16_t>(r.code);
    const TNfcllIoControlReq request{reinterpret_cast<void*>(static_cast<uintptr_t>(r.parameter)), p->ioInput,
                                     p->ioOutput, r.code, r.timeoutMs, t.writeLength, t.readLength};
    if (!nfcmanSendL1(p, nfcllMsgMake<NFCLL_IOCONTROL_REQ>(p->ownWord, request))) {
        nfcmanFreeIoBuffers(p);
        nfcmanAnswerIoControl(p, app, nfcCauseNotPlausible);
        return;
    }
    p->ioApp = app;
    p->ioPending = true;
}

void nfcmanAbandonIoControl(TNfcManager* p) {
    if (!p->ioPending) return;
    // The reset takes the controller: its requester learns it now rather than never. The copies
    // stay lent to layer 1 until its own answer comes, which no one is told of.
    TRACE(TRC_ERROR, "%s ! I/O control 0x%X given up by the reset", kPrefix, p->lastIoctl);
    if (p->ioApp) nfcmanAnswerIoControl(p, p->ioApp, nfcCauseRejected);
    p->ioApp = nullptr;
    p->ioPending = false;
}

void nfcmanIoControlConfirmation(TNfcManager* p) {
    const auto conf = nfcllMsgGet<NFCLL_IOCONTROL_CONF>(p->msg);
    p->ioPending = false;
    if (nfcmanHmConfirmation(p, conf)) return;
    TNfcmanApp* app = p->ioApp;
    p->ioApp = nullptr;
    uint16_t cause = conf.cause;
    uint16_t length = cause == nfcCauseOk ? conf.length : 0;
    if (length > p->ioOutputSize) {
        TRACE(TRC_ERROR, "%s ! I/O control answer of %d bytes for room of %d", kPrefix, length, p->ioOutputSize);
        cause = nfcCauseNotEnoughInternalMemory;
        length = 0;
    }
    const uint8_t* data = length ? (conf.data ? conf.data : p->ioOutput) : nullptr;
    if (!app) TRACE(TRC_ERROR, "%s ! couldn't deliver nfcmanSendUsMessage in nfcmanSendUsIoControlConfirmation", kPrefix);
    else nfcmanSendUsMessage(p, app, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({cause, data, length}));
    nfcmanFreeIoBuffers(p);
    nfcmanTakeParked(p);
}
