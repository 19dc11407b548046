// HCP for the ETSI HCI driver: the pipe records, the senders of the commands, events and answers
// the driver uses, cutting a message into packets and joining received ones, the TX completion
// slots that start the response watchdog, the Admin answers to pipe creations and the pass that
// creates the readers' pipes.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "L1/ehci/ehci.h"
#include "platform/platform.h"
#include "util/stackbytes.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kDefaultTimeout = 309;
constexpr uint32_t kSecureTimeoutMs = 300;
constexpr uint8_t kResponseMask = 0x2F;

#define EHCI_RESPONSE_CODES(X)                                                  \
    X(0, "command completed successfully")                                      \
    X(1, "! the destination host is not connected")                             \
    X(2, "! the format of the command parameters is wrong")                     \
    X(3, "! command was rejected and/or not completed")                         \
    X(4, "! no more dynamic pipes can be created")                              \
    X(5, "! the registry parameter identifier is unknown")                      \
    X(6, "! the pipe is not open")                                              \
    X(7, "! the command is not supported by the gate")                          \
    X(8, "! command is inhibited")                                              \
    X(9, "! an application level time out occurred")                            \
    X(10, "!  permission denied to write a value to a registry")                \
    X(11, "! permission denied to create a pipe due to a WHITELIST violation")
#define EHCI_RESPONSE_TEXT(code, text) text,
constexpr const char* kResponseTexts[] = {EHCI_RESPONSE_CODES(EHCI_RESPONSE_TEXT)};
#undef EHCI_RESPONSE_TEXT

// The pipes of the passes, in the order their listen bits are tested.
struct PassRow {
    uint32_t mask;
    TEhciPipe* TEhciPipeNames::*pipe;
};
constexpr PassRow kPassOrder[] = {
    {0xA000, &TEhciPipeNames::nfcipTarget}, {0x2, &TEhciPipeNames::readerB},
    {0x1, &TEhciPipeNames::readerA},        {0x40, &TEhciPipeNames::mifare},
    {0x300, &TEhciPipeNames::felica},       {0x4, &TEhciPipeNames::iso15693},
    {0x100000, &TEhciPipeNames::cardA},     {0x200000, &TEhciPipeNames::cardB},
    {0x400000, &TEhciPipeNames::cardF},     {0x800000, &TEhciPipeNames::cardB2},
    {0x400, &TEhciPipeNames::jewel},        {0x41000, &TEhciPipeNames::nfcipInitiator},
    {0x20000, &TEhciPipeNames::se},
};

// Admin steps of the pipe creations that the frame knows.
enum : uint32_t {
    kAdmReaderA = 20, kAdmReaderB = 21, kAdmCardFirst = 24, kAdmCardLast = 27, kAdmFelica = 53, kAdmIso15693 = 170,
    kAdmHostList = 194, kAdmPipeDeleted = 160,
};

uint32_t now() { return platTickMs(); }

int32_t freeSlot(TEhciInstance* e) {
    for (uint32_t i = 0; i < EHCI_TX_SLOTS; ++i)
        if (!e->slots[i].inUse) return static_cast<int32_t>(i);
    TRACE(kErr, "ehci: alloc TX buffer, no completion slot !");
    return -1;
}

// A packet buffer, with a completion slot when asked; nothing is taken when either is missing.
uint8_t* takePacket(TEhciInstance* e, uint32_t length, bool withSlot, int32_t& slot) {
    slot = -1;
    void* buffer = nullptr;
    if (!withSlot) {
        ehciUp(e, EV_EHCI_GET_BUFFER, &buffer, length);
        return static_cast<uint8_t*>(buffer);
    }
    slot = freeSlot(e);
    if (slot < 0) return nullptr;
    e->slots[slot] = TEhciTxSlot{nullptr, 1, 0, nullptr};
    ehciUp(e, EV_EHCI_GET_TX_BUFFER, &buffer, length, reinterpret_cast<uintptr_t>(&e->slots[slot]));
    if (!buffer) {
        e->slots[slot] = TEhciTxSlot{};
        slot = -1;
    }
    return static_cast<uint8_t*>(buffer);
}

// One packet {CB|id, header, data}; the command senders wait for the answer.
enum class Kind { command, answer };
int32_t sendOne(TEhciPipe* pipe, uint8_t header, const uint8_t* data, uint32_t length, uint32_t nextState, Kind kind) {
    TEhciInstance* e = pipe->owner;
    const bool withSlot = kind == Kind::command;
    const uint32_t total = 2 + length;
    if (total > EHCI_PACKET_MAX) {
        TRACE(kErr, "ehci: ! message of %d bytes on pipe <%s> does not fit a packet", static_cast<int>(length), pipe->name);
        return -1;
    }
    int32_t slot = -1;
    uint8_t* packet = takePacket(e, total, withSlot, slot);
    if (!packet) return -1;
    packet[0] = static_cast<uint8_t>(EHCI_CB | pipe->id);
    packet[1] = header;
    if (length) std::memcpy(packet + 2, data, length);
    if (slot >= 0) {
        TEhciTxSlot& s = e->slots[slot];
        s.pipe = pipe;
        s.startWatchdog = 1;
        e->flags |= EHCI_F_WAITING;
        pipe->state = nextState;
    }
    etsiHciSendFrame(packet, pipe, total);
    return 0;
}

}  // namespace

// ---- Timers and texts ------------------------------------------------------------------------------
void ehciTimerStart(TEhciInstance* e, uint8_t index, uint32_t ms) { ehciUp(e, EV_EHCI_TIMER_START, &index, ms); }
void ehciTimerStop(TEhciInstance* e, uint8_t index) { ehciUp(e, EV_EHCI_TIMER_STOP, &index); }
uint32_t ehciWatchdogMs(const TEhciInstance* e) { return 3 * e->commandWatchTimeout + 100; }

const char* ehciResponseText(uint32_t code) {
    return code < std::size(kResponseTexts) ? kResponseTexts[code] : "! unknown etsi hci response code";
}

// Events on the Admin pipe: a hot plug goes to the activator, when there is one.
void ehciAdminEvent(TEhciPipe* admin, uint8_t event, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = admin->owner;
    if (event != EHCI_EVT_HOT_PLUG) return;
    if (e->seOps && e->seOps->hotPlug) e->seOps->hotPlug(e->seContext, length ? data[0] : 0);
}

// ---- Pipe records ------------------------------------------------------------------------------------
void ehciResponseStub(TEhciPipe* pipe, const uint8_t*, uint32_t, uint32_t) {
    TRACE(kErr, "! undefined ehciResponseStub called for pipe 0x%X, state %d", static_cast<unsigned>(pipe->id),
          static_cast<int>(pipe->state));
    if (pipe->state == 12) pipe->flags &= ~EHCI_P_OPEN;
}

void ehciEventStub(TEhciPipe* pipe, uint8_t event, const uint8_t*, uint32_t) {
    TRACE(kErr, "ehciEventStub ! pipe %d, event 0x%X unsupported", static_cast<int>(pipe->id),
          static_cast<unsigned>(event));
}

namespace {
void createStub(TEhciPipe* pipe) { TRACE(kErr, "! %s called for <%s>", "ehciCreatePipeStub", pipe->name); }
void openStub(TEhciPipe* pipe) { TRACE(kErr, "! %s called for <%s>", "ehciOpenPipeStub", pipe->name); }
}  // namespace

void ehciPipeReset(TEhciInstance* e, bool first) {
    for (TEhciPipe& pipe : e->pipe) {
        pipe.owner = e;
        pipe.state = 0;
        pipe.flags &= ~(EHCI_P_OPEN | EHCI_P_TX_MORE | EHCI_P_RX_MORE);
        pipe.join = TEhciJoin{};
        pipe.timeout = kDefaultTimeout;
        pipe.answersIgnored = 0;
        if (!first) continue;
        pipe.id = 0;
        pipe.name = "unused";
        pipe.response = &ehciResponseStub;
        pipe.event = &ehciEventStub;
        pipe.create = &createStub;
        pipe.open = &openStub;
    }
    if (!first) return;
    e->pipe[0].name = "Link";
    e->pipe[1].name = "Admin";
    e->pipe[1].id = 1;
    e->pipe[0].response = e->pipe[1].response = &ehciAdminResponse;
    e->pipe[0].event = e->pipe[1].event = &ehciAdminEvent;
    e->pipe[2].name = "Identity pipe";
    e->pipe[2].response = &ehciIdentityResponse;
    e->pipes.admin = &e->pipe[1];
    e->pipes.identity = &e->pipe[2];
}

// ---- Senders -----------------------------------------------------------------------------------------
void ehciCreatePipe(const char* name, TEhciPipe* pipe, uint8_t gate, uint32_t adminState) {
    TRACE(kTrc, "ehci:  Create pipe <%s> on Gate 0x%X, admin state %d", name, static_cast<unsigned>(gate),
          static_cast<int>(adminState));
    if (!pipe) {
        TRACE(kErr, "ehci: ! %s NO pipe <%s> in state %d", "ehciCreatePipe", name, static_cast<int>(adminState));
        return;
    }
    TEhciInstance* e = pipe->owner;
    e->currentPipe = pipe;
    pipe->name = name;
    pipe->state = 49;
    const uint8_t data[3] = {gate, 0x00, gate};
    sendOne(e->pipes.admin, EHCI_ADM_CREATE_PIPE, data, sizeof data, adminState, Kind::command);
}

void ehciOpenPipe(TEhciPipe* pipe) {
    TRACE(kTrc, "ehci: Open pipe %d (0x%X) <%s>, state %d", static_cast<int>(pipe->id), static_cast<unsigned>(pipe->id),
          pipe->name, static_cast<int>(pipe->state));
    TEhciInstance* e = pipe->owner;
    pipe->state = 11;
    pipe->flags = (pipe->flags & ~(EHCI_P_TX_MORE | EHCI_P_RX_MORE)) | EHCI_P_OPENED;
    if ((e->flags & EHCI_F_STAY_OPEN) && (pipe->flags & EHCI_P_OPEN)) {
        // A reader that still runs is set up already: only the pass goes on.
        if (pipe->flags & EHCI_P_RUNNING) ehciOpenRFPipeCompleted(pipe);
        else pipe->response(pipe, nullptr, 0, 0);
        return;
    }
    pipe->flags |= EHCI_P_OPEN;
    sendOne(pipe, EHCI_ANY_OPEN_PIPE, nullptr, 0, 11, Kind::command);
}

void ehciClearAllPipes(TEhciInstance* e) {
    TRACE(kTrc, "ehci: clear all pipes");
    e->flags |= EHCI_F_CREATE_PIPES;
    sendOne(e->pipes.admin, EHCI_ADM_CLEAR_ALL_PIPE, nullptr, 0, 2, Kind::command);
}

int32_t ehciGetParam(TEhciPipe* pipe, uint8_t index, uint32_t nextState) {
    TRACE(kTrc, "ehci:  Get param 0x%X from pipe 0x%X <%s> -> state %d", static_cast<unsigned>(index),
          static_cast<unsigned>(pipe->id), pipe->name, static_cast<int>(nextState));
    return sendOne(pipe, EHCI_ANY_GET_PARAMETER, &index, 1, nextState, Kind::command);
}

int32_t ehciSetParam(TEhciPipe* pipe, uint8_t index, const uint8_t* data, uint32_t length, uint32_t nextState) {
    TRACE(kTrc, "ehci:  Set param 0x%.02X, length %d from pipe 0x%X <%s> -> state %d", static_cast<unsigned>(index),
          static_cast<int>(length), static_cast<unsigned>(pipe->id), pipe->name, static_cast<int>(nextState));
    uint8_t body[EHCI_PACKET_MAX];
    if (length + 1 > sizeof body - 2) return -1;
    body[0] = index;
    std::memcpy(body + 1, data, length);
    return sendOne(pipe, EHCI_ANY_SET_PARAMETER, body, length + 1, nextState, Kind::command);
}

void ehciClosePipe(TEhciPipe* pipe) {
    TRACE(kTrc, "ehci: close pipe 0x%X <%s>, state %d", static_cast<unsigned>(pipe->id), pipe->name,
          static_cast<int>(pipe->state));
    pipe->flags &= ~EHCI_P_OPEN;
    sendOne(pipe, EHCI_ANY_CLOSE_PIPE, nullptr, 0, 12, Kind::command);
}

int32_t ehciSendEvent(TEhciPipe* pipe, uint8_t event, uint32_t nextState, const uint8_t* data, uint32_t length) {
    if (sendOne(pipe, static_cast<uint8_t>(EHCI_TYPE_EVENT | event), data, length, 0, Kind::answer) < 0) return -1;
    pipe->state = nextState;
    return 0;
}

int32_t ehciEndOperation(TEhciPipe* pipe, void (*continuation)(TEhciPipe* pipe)) {
    TRACE(kTrc, "ehci: EHCI_EVENT_END_OF_OPERATION pipe 0x%X <%s>", static_cast<unsigned>(pipe->id), pipe->name);
    TEhciInstance* e = pipe->owner;
    int32_t slot = -1;
    uint8_t* packet = takePacket(e, 2, continuation != nullptr, slot);
    if (!packet) return -1;
    packet[0] = static_cast<uint8_t>(EHCI_CB | pipe->id);
    packet[1] = static_cast<uint8_t>(EHCI_TYPE_EVENT | EHCI_EVT_END_OPERATION);
    // The continuation runs once the packet is on its way; no answer is awaited.
    if (slot >= 0) e->slots[slot] = TEhciTxSlot{pipe, 1, 0, continuation};
    e->flags &= ~EHCI_F_WAITING;
    etsiHciSendFrame(packet, pipe, 2);
    return 0;
}

int32_t ehciSendAdmin(TEhciInstance* e, uint8_t instruction, const uint8_t* data, uint32_t length, uint32_t nextState) {
    return sendOne(e->pipes.admin, instruction, data, length, nextState, Kind::command);
}

int32_t ehciSendCommand(TEhciPipe* pipe, uint8_t instruction, const uint8_t* data, uint32_t length, uint32_t nextState) {
    return sendOne(pipe, instruction, data, length, nextState, Kind::command);
}

int32_t ehciSetParamUnanswered(TEhciPipe* pipe, uint8_t index, const uint8_t* data, uint32_t length) {
    if (ehciSetParam(pipe, index, data, length, pipe->state) < 0) return -1;
    ++pipe->answersIgnored;
    return 0;
}

int32_t ehciSendEventData(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    return sendOne(pipe, static_cast<uint8_t>(EHCI_TYPE_EVENT | event), data, length, 0, Kind::answer);
}

int32_t ehciSendAnyOk(TEhciPipe* pipe) { return sendOne(pipe, EHCI_TYPE_RESPONSE, nullptr, 0, 0, Kind::answer); }

void etsiHciSendFrame(uint8_t* packet, TEhciPipe* pipe, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    if (debugOn(NFCLL_TRC_DUMP)) debugDump(packet, "ehci: TX HFP frame", length);
    if (!(pipe->flags & EHCI_P_RAW)) {
        // The health monitor waits three watchdogs; its interval is 16 bits wide, so it saturates.
        const auto ms = static_cast<uint16_t>(std::min<uint32_t>(3 * e->commandWatchTimeout, 0xFFFF - 500));
        ehciUp(e, EV_EHCI_HM_INTERVAL, const_cast<uint16_t*>(&ms), sizeof ms);
    }
    e->sentTick = now();
    ++pipe->txPending;
    ehciUp(e, EV_EHCI_SEND, packet, length);
}

// ---- Cutting a message into packets -----------------------------------------------------------------
uint8_t ehciReaderTimeoutByte(uint32_t ms) {
    constexpr uint32_t kLimits[] = {77, 154, 309, 618, 1236, 2473, 4947};
    uint8_t value = 8;
    for (uint32_t limit : kLimits) {
        if (ms <= limit) break;
        ++value;
    }
    return static_cast<uint8_t>(value | 0x10);
}

uint32_t ehciReaderHeader(TEhciPipe* pipe, uint8_t* packet) {
    pipe->owner->commandWatchTimeout = pipe->timeout;
    packet[1] = EHCI_WR_XCHG_DATA;
    packet[2] = ehciReaderTimeoutByte(pipe->timeout);
    return 3;
}

uint32_t ehciCardHeader(TEhciPipe*, uint8_t* packet) {
    packet[1] = static_cast<uint8_t>(EHCI_TYPE_EVENT | EHCI_EVT_SEND_DATA);
    return 2;
}

uint32_t ehciLoopbackHeader(TEhciPipe*, uint8_t* packet) {
    packet[1] = static_cast<uint8_t>(EHCI_TYPE_EVENT | EHCI_EVT_POST_DATA);
    return 2;
}

bool ehciPipeSend(TEhciPipe* pipe, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    if (length > sizeof e->txMessage) {
        // A message cut short would reach its target as if it were whole.
        TRACE(kErr, "ehci: ! message of %d bytes on pipe <%s> refused, %d at most", static_cast<int>(length), pipe->name,
              static_cast<int>(sizeof e->txMessage));
        return false;
    }
    e->txLength = length;
    if (e->txLength) std::memcpy(e->txMessage, data, e->txLength);
    e->txData = e->txMessage;
    e->txSent = 0;
    e->txResume = nullptr;
    pipe->state = 34;
    ehciPipeTransmit(pipe);
    return true;
}

uint8_t* ehciTakeChainedPacket(TEhciPipe* pipe, uint32_t length, void (*continuation)(TEhciPipe* pipe)) {
    TEhciInstance* e = pipe->owner;
    int32_t slot = -1;
    uint8_t* packet = takePacket(e, length, true, slot);
    if (packet) e->slots[slot] = TEhciTxSlot{pipe, 1, 0, continuation};
    return packet;
}

namespace {

// A secure PDU is watched from its last packet on: the secure element's answer may take the
// caller's time-out (300 ms when it gave none), counted once the whole PDU is out.
void secureFragmentSent(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    if (pipe->txPending) --pipe->txPending;
    TRACE(kTrc, "ehci: secure tx fragment completed (tx pending %d)", static_cast<int>(pipe->txPending));
    if (pipe->txPending || e->txSent < e->txLength) return;
    TRACE(kTrc, "ehci: secure tx frame completed, wait for PDU response");
    ehciTimerStart(e, EHCI_TIMER_IO, e->secureTimeout ? e->secureTimeout : kSecureTimeoutMs);
}

}  // namespace

void ehciPipeTransmit(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    const bool secure = (pipe->flags & EHCI_P_SECURE) != 0;
    const bool withSlots = secure || (!(pipe->flags & (EHCI_P_CARD | EHCI_P_RAW)) &&
                                      !((e->flags & EHCI_F_ST21) && e->lastTagType == 0x400000));
    e->txResume = nullptr;
    if (e->txSent == 0) pipe->txPending = 0;
    while (e->txSent < e->txLength) {
        const uint32_t left = e->txLength - e->txSent;
        int32_t slot = -1;
        uint8_t* packet = takePacket(e, EHCI_PACKET_BUFFER, withSlots, slot);
        if (!packet) {
            // The message goes on at the next TX completion: the buffers come back there.
            TRACE(kErr, "ehci: RNR, send rest %d later", static_cast<int>(left));
            e->txResume = pipe;
            return;
        }
        const bool first = e->txSent == 0;
        const uint32_t header = first && pipe->writeHeader ? pipe->writeHeader(pipe, packet) : 1;
        const uint32_t n = std::min(EHCI_PACKET_MAX - header, left);
        const bool last = n == left;
        packet[0] = static_cast<uint8_t>((last ? EHCI_CB : 0) | pipe->id);
        std::memcpy(packet + header, e->txData + e->txSent, n);
        if (first && !last) pipe->flags |= EHCI_P_TX_MORE;
        if (last) pipe->flags &= ~EHCI_P_TX_MORE;
        TRACE(kTrc, "ehci: raw data len %d, first %d , last %d, left %d %s", static_cast<int>(n), first, last,
              static_cast<int>(left - n), pipe->name);
        if (slot >= 0 && secure) e->slots[slot] = TEhciTxSlot{pipe, 1, 0, &secureFragmentSent};
        else if (slot >= 0) e->slots[slot] = TEhciTxSlot{pipe, 1, last ? 1u : 0u, nullptr};
        if (slot >= 0 && last && !secure) e->flags |= EHCI_F_WAITING;
        e->txSent += n;
        etsiHciSendFrame(packet, pipe, header + n);
        if (pipe->flags & EHCI_P_RAW) ehciTimerStart(e, EHCI_TIMER_WATCHDOG, ehciWatchdogMs(e));
        pipe->state = 34;
    }
}

// ---- TX completion -----------------------------------------------------------------------------------
void etsiHciTxCompleted(TEhciInstance* e, uint32_t index) {
    if (index >= EHCI_TX_SLOTS) return;
    TEhciTxSlot slot = e->slots[index];
    e->slots[index] = TEhciTxSlot{};
    if (!slot.pipe) {
        TRACE(kErr, "ehci: ! pPipe is null in etsiHciTxCompleted. Got downstream data during early reset?");
        return;
    }
    if (slot.startWatchdog) ehciTimerStart(e, EHCI_TIMER_WATCHDOG, ehciWatchdogMs(e));
    TRACE(kTrc, "ehci: tx completed, pipe 0x%X (tx length %d, tx sent %d), state %d",
          static_cast<unsigned>(slot.pipe->id), static_cast<int>(e->txLength), static_cast<int>(e->txSent),
          static_cast<int>(slot.pipe->state));
    if (slot.continuation) slot.continuation(slot.pipe);
    if (e->txResume && e->txSent < e->txLength) ehciPipeTransmit(e->txResume);
}

// ---- Receiving -----------------------------------------------------------------------------------------
namespace {

TEhciPipe* pipeById(TEhciInstance* e, uint8_t id) {
    if (id <= 1) return &e->pipe[id];
    for (uint32_t i = 2; i < EHCI_PIPES; ++i)
        if (e->pipe[i].id == id) return &e->pipe[i];
    return nullptr;
}

void deferAnswer(TEhciInstance* e, TEhciPipe* pipe) {
    // Each waiting host command keeps its place; one that finds the queue full is answered now.
    if (e->deferredCount == EHCI_DEFERRED_MAX) {
        ehciSendAnyOk(pipe);
        return;
    }
    e->deferredPipe[e->deferredCount++] = pipe;
    e->flags |= EHCI_F_DEFERRED_DUE;
}

void sendDeferred(TEhciInstance* e) {
    if (!(e->flags & EHCI_F_DEFERRED_DUE)) return;
    e->flags &= ~EHCI_F_DEFERRED_DUE;
    for (uint8_t i = 0; i < e->deferredCount; ++i) {
        TRACE(kTrc, "ehci: send  deferred response");
        ehciSendAnyOk(e->deferredPipe[i]);
    }
    e->deferredCount = 0;
}

void followMore(TEhciPipe* pipe, bool more) {
    if (more) pipe->flags |= EHCI_P_RX_MORE;
    else pipe->flags &= ~EHCI_P_RX_MORE;
}

void hostCommand(TEhciInstance* e, TEhciPipe* pipe, uint8_t header, const uint8_t* data, uint32_t length, bool more) {
    followMore(pipe, more);
    // With the stack's mode byte set, a controller's set-parameter ends the driver's wait.
    if ((e->flags & EHCI_F_WAITING) && header == EHCI_ANY_SET_PARAMETER && nfcmanP2pRawMode())
        e->flags &= ~EHCI_F_WAITING;
    const bool waiting = (e->flags & EHCI_F_WAITING) != 0;
    TRACE(kTrc, "ehci: Dispatch command 0x%X for pipe 0x%X %s%s", static_cast<unsigned>(header),
          static_cast<unsigned>(pipe->id), pipe->name, waiting ? ",! pending request active" : "");
    if (waiting) deferAnswer(e, pipe);
    else ehciSendAnyOk(pipe);
    if (e->hooks.hostCommand) e->hooks.hostCommand(pipe, header, data, length);
}

void response(TEhciInstance* e, TEhciPipe* pipe, bool continued, uint8_t header, const uint8_t* data, uint32_t length,
              bool more) {
    ehciTimerStop(e, EHCI_TIMER_WATCHDOG);
    if (!continued && pipe->answersIgnored) {
        // The answer to a command sent without waiting: the pipe's own step is not disturbed.
        --pipe->answersIgnored;
        followMore(pipe, false);
        e->flags &= ~EHCI_F_WAITING;
        TRACE(kTrc, "ehci: pipe %d <%s>, answer 0x%X not waited for", static_cast<int>(pipe->id), pipe->name,
              static_cast<unsigned>(header & kResponseMask));
        sendDeferred(e);
        return;
    }
    if (continued) {
        TRACE(kTrc, "ehci: additional PDU data (rx %d) %s", static_cast<int>(length), more ? "" : "last frame");
        followMore(pipe, more);
        pipe->response(pipe, data, length, 0);
    } else {
        followMore(pipe, more);
        e->flags &= ~EHCI_F_WAITING;
        uint32_t code = header & kResponseMask;
        if ((e->flags & EHCI_F_PN544) && header == 0x90) code = 7;
        if ((e->flags & EHCI_F_DEMO) && code == 0 && length == 1 && data[0] == 0x01) code = 9;
        if (code == 0)
            TRACE(kTrc, "ehci: pipe %d <%s>, state %d, response OK, length %d, in %d ms", static_cast<int>(pipe->id),
                  pipe->name, static_cast<int>(pipe->state), static_cast<int>(length), static_cast<int>(pipe->responseTime));
        else
            TRACE(kErr, "ehci: pipe %d <%s>, state %d, response error 0x%X (%s) in %d ms", static_cast<int>(pipe->id),
                  pipe->name, static_cast<int>(pipe->state), static_cast<unsigned>(code), ehciResponseText(code),
                  static_cast<int>(pipe->responseTime));
        pipe->response(pipe, data, length, code);
    }
    if (more) ehciTimerStart(e, EHCI_TIMER_WATCHDOG, ehciWatchdogMs(e));
    else sendDeferred(e);
}

void adoptAsConnectivity(TEhciInstance* e, uint8_t id, const uint8_t* packet, uint32_t length) {
    TRACE(kErr, "ehci: ! no pipe found for ID 0x%X", static_cast<unsigned>(id));
    TEhciPipe* pipe = e->pipes.connectivity;
    if (!pipe) return;
    pipe->id = id;
    pipe->name = "Connectivity pipe";
    pipe->state = 11;
    const auto event = static_cast<uint8_t>(packet[1] & 0xBF);
    TRACE(kTrc, "ehci: pipe %d <%s>, state %d, event 0x%X, length %d", static_cast<int>(id), pipe->name,
          static_cast<int>(pipe->state), static_cast<unsigned>(event), static_cast<int>(length - 2));
    pipe->event(pipe, event, packet + 2, length - 2);
}

}  // namespace

void etsiHciReceiveFrame(TEhciInstance* e, const uint8_t* packet, uint32_t length) {
    if (!e || !packet || length == 0) return;
    if (debugOn(NFCLL_TRC_DUMP)) debugDump(packet, "ehci: RX HFP Frame", length);
    const auto id = static_cast<uint8_t>(packet[0] & 0x7F);
    const bool more = !(packet[0] & EHCI_CB);
    TEhciPipe* pipe = pipeById(e, id);
    const bool continued = pipe && (pipe->flags & EHCI_P_RX_MORE);
    // A packet that starts a message carries its header: without one there is nothing to read.
    if (!continued && length < 2) {
        TRACE(kErr, "ehci: ! packet of %d byte on pipe 0x%X dropped", static_cast<int>(length), static_cast<unsigned>(id));
        return;
    }
    if (!pipe) {
        adoptAsConnectivity(e, id, packet, length);
        return;
    }
    if (continued) pipe->flags |= EHCI_P_RX_CONTINUED;
    else pipe->flags &= ~EHCI_P_RX_CONTINUED;
    pipe->responseTime = now() - e->sentTick;
    if (!continued) pipe->lastHeader = packet[1];
    const uint8_t header = pipe->lastHeader;
    const uint32_t skip = continued ? 1 : 2;
    const uint8_t* data = packet + skip;
    const uint32_t n = length - skip;
    switch (header & 0xC0) {
    case EHCI_TYPE_COMMAND: hostCommand(e, pipe, header, data, n, more); break;
    case EHCI_TYPE_EVENT:
        followMore(pipe, more);
        TRACE(kTrc, "ehci: pipe %d <%s>, state %d, event 0x%X, length %d %s", static_cast<int>(pipe->id), pipe->name,
              static_cast<int>(pipe->state), static_cast<unsigned>(header & 0xBF), static_cast<int>(n),
              more ? "more" : "");
        pipe->event(pipe, static_cast<uint8_t>(header & 0xBF), data, n);
        break;
    case EHCI_TYPE_RESPONSE: response(e, pipe, continued, header, data, n, more); break;
    default: TRACE(kErr, "ehci: ! header 0x%X of unknown type", static_cast<unsigned>(header)); break;
    }
}

bool ehciJoin(TEhciJoin& join, const TEhciPipe* pipe, uint8_t* into, uint32_t size, const uint8_t*& data,
              uint32_t& length, uint32_t& code) {
    const bool more = (pipe->flags & EHCI_P_RX_MORE) != 0;
    if (!(pipe->flags & EHCI_P_RX_CONTINUED)) {
        join = TEhciJoin{0, code, false, false};
        if (!more) return true;
    } else if (join.dropped) {
        if (!more) TRACE(kErr, "ehci: ! RX message on <%s> left unfinished", pipe->name);
        return false;
    }
    const uint32_t room = into && size > join.length ? size - join.length : 0;
    if (length > room) {
        if (into) TRACE(kErr, "! Chaining length exceeds cache size");
        join.cut = true;
    }
    const uint32_t n = into ? std::min(length, room) : 0;
    if (n) std::memcpy(into + join.length, data, n);
    join.length += n;
    if (more) return false;
    data = into;
    length = join.length;
    code = join.code;
    return true;
}

bool ehciJoinInPipe(TEhciPipe* pipe, const uint8_t*& data, uint32_t& length, uint32_t& code) {
    // The buffer is taken with a message's first packet; a later one finds it or finds it gone.
    const bool first = (pipe->flags & (EHCI_P_RX_CONTINUED | EHCI_P_RX_MORE)) == EHCI_P_RX_MORE;
    if (first && !ehciTakeRxBuffer(pipe)) TRACE(kErr, "! No RX buffer present");
    return ehciJoin(pipe->join, pipe, pipe->rxBuffer, pipe->rxBuffer ? EHCI_RX_SIZE : 0, data, length, code);
}

bool ehciJoinInPipe(TEhciPipe* pipe, const uint8_t*& data, uint32_t& length) {
    uint32_t none = 0;
    return ehciJoinInPipe(pipe, data, length, none);
}

bool ehciTakeRxBuffer(TEhciPipe* pipe) {
    if (pipe->rxBuffer) return true;
    void* buffer = nullptr;
    ehciUp(pipe->owner, EV_EHCI_GET_BUFFER, &buffer, EHCI_RX_SIZE);
    pipe->rxBuffer = static_cast<uint8_t*>(buffer);
    pipe->rxSize = pipe->rxBuffer ? EHCI_RX_SIZE : 0;
    return pipe->rxBuffer != nullptr;
}

void ehciReleaseRxBuffer(TEhciPipe* pipe) {
    if (!pipe->rxBuffer) return;
    ehciUp(pipe->owner, EV_EHCI_RELEASE_BUFFER, pipe->rxBuffer);
    pipe->rxBuffer = nullptr;
    pipe->rxSize = 0;
    if (pipe->flags & EHCI_P_RX_MORE) pipe->join.dropped = true;
}

// ---- Pipe creation -----------------------------------------------------------------------------------
void ehciCreateByGate(TEhciPipe* pipe) { ehciCreatePipe(pipe->name, pipe, pipe->gate, pipe->adminState); }

TEhciPipe* ehciNextPipe(TEhciInstance* e, uint32_t mask) {
    for (const PassRow& row : kPassOrder)
        if ((mask & row.mask) && e->pipes.*(row.pipe)) return e->pipes.*(row.pipe);
    return nullptr;
}

void ehciCreateNextReader(TEhciInstance* e) {
    for (;;) {
        TRACE(kTrc, "ehci: CreateNextReader() 0x%02X, pending mask 0x%.08X", static_cast<unsigned>(e->flags & 0xFF),
              static_cast<unsigned>(e->pendingMask));
        if (!e->pendingMask) {
            ehciSaveIdentity(e);
            return;
        }
        TEhciPipe* pipe = ehciNextPipe(e, e->pendingMask);
        if (!pipe) {
            // Bits that no pipe serves would stall the start: they are given up.
            TRACE(kErr, "! Cannot get next pipe from mask 0x%X", static_cast<unsigned>(e->pendingMask));
            e->pendingMask = 0;
            continue;
        }
        if (pipe->flags & EHCI_P_ON_DEMAND) {
            e->pendingMask &= ~pipe->processMask;
            continue;
        }
        pipe->create(pipe);
        return;
    }
}

namespace {

void readerCreated(TEhciInstance* e, const char* trace, const uint8_t* data, uint32_t length) {
    TEhciPipe* pipe = e->currentPipe;
    pipe->id = length >= 5 ? data[4] : 0;
    TRACE(kTrc, trace, static_cast<int>(pipe->id));
    e->pendingMask &= ~pipe->processMask;
    ehciCreateNextReader(e);
}

void cardCreated(TEhciInstance* e, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciPipe* pipe = e->currentPipe;
    if (code) {
        e->pendingMask &= ~pipe->processMask;
        e->requestedMask &= ~pipe->processMask;
        e->supportedMask &= ~pipe->processMask;
        TRACE(kErr, "ehci: ! <%s> create failed, assume UICC is enabled", pipe->name);
        if (pipe->flags & EHCI_P_ON_DEMAND) ehciUp(e, EV_EHCI_LISTEN_CONF, nullptr, 7, e->requestedMask);
        else ehciCreateNextReader(e);
        return;
    }
    pipe->id = length >= 5 ? data[4] : 0;
    TRACE(kTrc, "ehci: <%s>, ID=%d", pipe->name, static_cast<int>(pipe->id));
    if (pipe->flags & EHCI_P_ON_DEMAND) {
        pipe->open(pipe);
        return;
    }
    e->pendingMask &= ~pipe->processMask;
    ehciCreateNextReader(e);
}

}  // namespace

void ehciCreatedResponse(TEhciPipe* admin, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = admin->owner;
    const uint32_t state = admin->state;
    if (state >= kAdmCardFirst && state <= kAdmCardLast) {
        cardCreated(e, data, length, code);
        return;
    }
    switch (state) {
    case kAdmReaderA: readerCreated(e, "ehci: Reader-A pipe created, ID=%d", data, length); return;
    case kAdmReaderB: readerCreated(e, "ehci: Reader-B pipe created, ID=%d", data, length); return;
    case kAdmIso15693: readerCreated(e, "ehci: 15693 pipe created, ID=%d", data, length); return;
    case kAdmFelica:
        e->pendingMask &= ~((e->flags & EHCI_F_ST21) ? 0x1300u : 0x300u);
        readerCreated(e, "ehci: Felica pipe created, ID=%d", data, length);
        return;
    case kAdmHostList:
        if (e->seOps && e->seOps->hostList) e->seOps->hostList(e->seContext, data, length);
        return;
    case kAdmPipeDeleted: ehciPipeDeleted(e); return;
    default: break;
    }
    if (e->hooks.adminResponse) e->hooks.adminResponse(admin, data, length, code);
    else TRACE(kErr, "! unexpected response for pipe <%s> in state %d", admin->name, static_cast<int>(state));
}

// ---- The variants' pipe tables -------------------------------------------------------------------------
void ehciVariantPipes(TEhciInstance* e, const TEhciVariantPipe* rows, uint32_t count, uint32_t firstRecord) {
    constexpr uint32_t kRowFlags = EHCI_P_CARD | EHCI_P_ON_DEMAND | EHCI_P_DELETE_AFTER_CLOSE;
    for (uint32_t i = 0; i < count && firstRecord + i < EHCI_PIPES; ++i) {
        const TEhciVariantPipe& row = rows[i];
        TEhciPipe* pipe = &e->pipe[firstRecord + i];
        e->pipes.*(row.pipe) = pipe;
        pipe->name = row.name;
        pipe->gate = row.gate;
        pipe->adminState = row.adminState;
        pipe->processMask = row.mask;
        pipe->flags = (pipe->flags & ~kRowFlags) | row.flags;
        pipe->create = &ehciCreateByGate;
        pipe->writeHeader = (row.flags & EHCI_P_CARD) ? &ehciCardHeader : &ehciReaderHeader;
        if ((row.flags & EHCI_P_CARD) && row.mask) ehciCardInstall(pipe);
        else if (row.mask) ehciRfInstall(pipe);
    }
}

uint32_t ehciVariantMask(const TEhciVariantPipe* rows, uint32_t count, const uint8_t* gates, uint32_t gateCount) {
    uint32_t mask = 0;
    for (uint32_t r = 0; r < count; ++r) {
        bool listed = rows[r].always;
        for (uint32_t i = 0; i < gateCount && !listed; ++i) listed = gates[i] == rows[r].gate;
        if (listed) mask |= rows[r].mask;
    }
    return mask;
}
