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

// The input is the manager's copy of the caller's.
bool readU16(const uint8_t* input, uint16_t length, uint16_t* value) {
    if (length != sizeof *value || !input) return false;
    std::memcpy(value, input, sizeof *value);
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
bool answeredHere(TNfcManager* p, uint32_t code, const uint8_t* input, uint16_t length) {
    TNfcmanApp* app = p->taken.app;
    uint16_t value = 0;
    const bool u16 = readU16(input, length, &value);
    switch (code) {
    case IOCTL_POLL_PERIOD:
        if (u16) p->pollPeriodMs = value;
        nfcmanAnswerIoControl(p, p->taken, u16 ? nfcCauseOk : nfcCauseWrongParameter);
        return true;
    case IOCTL_PAUSE_DWELL:
        if (u16) p->wheel[0].minMs = p->wheel[0].maxMs = value;
        nfcmanAnswerIoControl(p, p->taken, u16 ? nfcCauseOk : nfcCauseWrongParameter);
        return true;
    case IOCTL_STACK_BYTES:
        // Two bytes are read: a shorter input is refused, never read past.
        if (length < 2 || !input) {
            nfcmanAnswerIoControl(p, p->taken, nfcCauseWrongParameter);
            return true;
        }
        nfcmanSetStackBytes(input[0], input[1]);
        nfcmanAnswerIoControl(p, p->taken, nfcCauseOk);
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

void nfcmanAnswerIoControl(TNfcManager* p, TNfcmanRequest& request, uint16_t cause) {
    if (!request.app) {
        TRACE(TRC_ERROR, "%s ! couldn't deliver nfcmanSendUsMessage in nfcmanSendUsIoControlConfirmation", kPrefix);
        request = TNfcmanRequest{};
        return;
    }
    nfcmanAnswer(p, request, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({cause, nullptr, 0}));
}

void nfcmanIoControlRequest(TNfcManager* p) {
    // One I/O control at a time; the health monitor's echo goes first.
    if (p->ioPending || nfcmanHmWaiting(p)) {
        nfcmanPark(p);
        return;
    }
    const auto r = osMsgFields<TNfaceIoControlReq>(p->msg);
    if (!r.transfer) {
        nfcmanAnswerIoControl(p, p->taken, nfcCauseWrongParameter);
        return;
    }
    // What layer 1 and the codes answered here read are the manager's copies.
    TNfaceTransfer t{};
    bool inputOk = false, outputOk = false;
    if (!nfcmanReadCaller(p, [&] {
            t = *r.transfer;
            p->ioInput = copyOf(t.writeData, t.writeLength, 0, &inputOk);
        })) {
        TRACE(NFCMAN_TRACE, "%s IO_CONTROL_REQ given up by its application, dropped", kPrefix);
        nfcmanFreeIoBuffers(p);
        return;
    }
    p->ioOutput = copyOf(nullptr, 0, t.readLength, &outputOk);
    if (!inputOk || !outputOk) {
        nfcmanFreeIoBuffers(p);
        nfcmanAnswerIoControl(p, p->taken, nfcCauseNotEnoughInternalMemory);
        return;
    }
    if (answeredHere(p, r.code, p->ioInput, t.writeLength)) {
        nfcmanFreeIoBuffers(p);
        return;
    }
    p->ioOutputSize = t.readLength;
    p->lastIoctl = static_cast<uint16_t>(r.code);
    const TNfcllIoControlReq request{reinterpret_cast<void*>(static_cast<uintptr_t>(r.parameter)), p->ioInput,
                                     p->ioOutput, r.code, r.timeoutMs, t.writeLength, t.readLength};
    if (!nfcmanSendL1(p, nfcllMsgMake<NFCLL_IOCONTROL_REQ>(p->ownWord, request))) {
        nfcmanFreeIoBuffers(p);
        nfcmanAnswerIoControl(p, p->taken, nfcCauseNotPlausible);
        return;
    }
    p->io = p->taken;
    p->taken = TNfcmanRequest{};
    p->ioPending = true;
}

void nfcmanAbandonIoControl(TNfcManager* p) {
    if (!p->ioPending) return;
    // The reset takes the controller: its requester learns it now rather than never. The copies
    // stay lent to layer 1 until its own answer comes, which no one is told of.
    TRACE(TRC_ERROR, "%s ! I/O control 0x%X given up by the reset", kPrefix, p->lastIoctl);
    if (p->io.app) nfcmanAnswerIoControl(p, p->io, nfcCauseRejected);
    p->io = TNfcmanRequest{};
    // An earlier pair was lent to a layer 1 that has been reset since: it holds it no more.
    nfcmanFreeLentIoBuffers(p);
    p->ioLentInput = p->ioInput;
    p->ioLentOutput = p->ioOutput;
    p->ioInput = p->ioOutput = nullptr;
    p->ioOutputSize = 0;
    p->ioPending = false;
}

void nfcmanIoControlConfirmation(TNfcManager* p) {
    const auto conf = nfcllMsgGet<NFCLL_IOCONTROL_CONF>(p->msg);
    const bool pending = p->ioPending;
    p->ioPending = false;
    if (nfcmanHmConfirmation(p, conf)) return;
    if (!pending) {
        // The late answer of the I/O control the reset gave up: its requester has had its answer,
        // and layer 1 is done with the copies.
        TRACE(NFCMAN_TRACE, "%s late answer of a given-up I/O control dropped", kPrefix);
        nfcmanFreeLentIoBuffers(p);
        nfcmanTakeParked(p);
        return;
    }
    uint16_t cause = conf.cause;
    uint16_t length = cause == nfcCauseOk ? conf.length : 0;
    if (length > p->ioOutputSize) {
        TRACE(TRC_ERROR, "%s ! I/O control answer of %d bytes for room of %d", kPrefix, length, p->ioOutputSize);
        cause = nfcCauseNotEnoughInternalMemory;
        length = 0;
    }
    const uint8_t* data = length ? (conf.data ? conf.data : p->ioOutput) : nullptr;
    if (!p->io.app) TRACE(TRC_ERROR, "%s ! couldn't deliver nfcmanSendUsMessage in nfcmanSendUsIoControlConfirmation", kPrefix);
    nfcmanAnswer(p, p->io, nfaceMsgMake<NFACE_IO_CONTROL_CONF>({cause, data, length}));
    nfcmanFreeIoBuffers(p);
    nfcmanTakeParked(p);
}
