// The maker's demo board: the common readers and card gates its gate list names, and a
// polling-loop gate of its own (0x94) whose registry runs the reader wheel over the phases the
// listen mask asks for. It has no secure-element activator.
#include <iterator>

#include "L1/ehci/ehci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kStripLastByte = 135;     // tag types 0x1, 0x2, 0x4 and 0x80 end in a status byte
constexpr uint32_t kFeatureWord = 1;
constexpr uint8_t kPollingGate = 0x94;
constexpr uint8_t kPhases = 0x06;            // the polling loop's registry of phases
constexpr uint8_t kLoopReset = 0x80;
constexpr uint8_t kVicinityExchange = 0x11;

// Polling-pipe and Admin states of the board.
enum : uint32_t { kAdmPollingCreated = 50, kOpened = 11, kStarted = 307, kReset = 308, kStopped = 309 };
enum : uint32_t { kAdmTarget = 143, kAdmInitiator = 144, kAdmMifare = 162 };

// The records after the identity pipe, in order; the FeliCa reader and the NFC-IP-1 pipes are set
// up as on the PN544, the Jewel reader keeps its record unused.
constexpr uint32_t kCard = EHCI_P_CARD;
constexpr TEhciVariantPipe kPipes[] = {
    {&TEhciPipeNames::readerA, "Reader pipe-A", 0x13, 20, 0x1, 0, false},
    {&TEhciPipeNames::readerB, "Reader pipe-B", 0x11, 21, 0x2, 0, false},
    {&TEhciPipeNames::felica, "Reader Felica", 0x14, 53, 0x300, 0, false},
    {&TEhciPipeNames::cardA, "Card pipe-A", 0x23, 24, 0x100000, kCard, false},
    {&TEhciPipeNames::cardB, "Card pipe-B", 0x21, 25, 0x200000, kCard, false},
    {&TEhciPipeNames::cardB2, "Card pipe-B'", 0x22, 26, 0x800000, kCard, false},
    {&TEhciPipeNames::cardF, "Card pipe-F", 0x24, 27, 0x400000, kCard, false},
    {&TEhciPipeNames::jewel, "Jewel pipe", 0, 0, 0, 0, false},
    {&TEhciPipeNames::iso15693, "15693 pipe", 0x12, 170, 0x4, 0, false},
    {&TEhciPipeNames::connectivity, "Connectivity pipe", 0, 0, 0, 0, false},
    {&TEhciPipeNames::nfcipInitiator, "IP1 initiator pipe", 0x30, kAdmInitiator, 0x1000, 0, false},
    {&TEhciPipeNames::nfcipTarget, "IP1 target pipe", 0x31, kAdmTarget, 0, 0, false},
    {&TEhciPipeNames::se, "SE pipe", 0, 0, 0, 0, false},
    {&TEhciPipeNames::polling, "544 Polling pipe", kPollingGate, kAdmPollingCreated, 0, 0, false},
    {&TEhciPipeNames::variant, "Variant pipe", 0, 0, 0, 0, false},
    {&TEhciPipeNames::loopback, "Loopback", 0, 0, 0, 0, false},
};
constexpr uint32_t kFirstRecord = 4;   // the extra pipe is the third record after the Admin pipe
static_assert(kFirstRecord + std::size(kPipes) <= EHCI_PIPES);

void setPhases(TEhciInstance* e, uint8_t phases, uint32_t state) {
    ehciSetParam(e->pipes.polling, kPhases, &phases, 1, state);
}

void createReaders(TEhciInstance* e) {
    e->pendingMask = (e->flags & EHCI_F_CREATE_PIPES) ? e->supportedMask : 0;
    ehciCreateNextReader(e);
}

void pollingResponse(TEhciPipe* pipe, const uint8_t*, uint32_t, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    switch (pipe->state) {
    case kOpened:
        if (code) {
            ehciInitFailed(e, code);
            return;
        }
        TRACE(kTrc, "ehci: ## Open Marveld Polling pipe completed, pipe ID %d", static_cast<int>(pipe->id));
        pipe->state = 34;
        setPhases(e, kLoopReset, kReset);
        break;
    case kReset:
        TRACE(kTrc, "ehci: ## polling loop reseted");
        createReaders(e);
        break;
    case kStarted:
        // A relisten restarts the wheel too: only a listen being served is confirmed here.
        if (!(e->flags & EHCI_F_LISTEN)) break;
        e->flags &= ~(EHCI_F_LISTEN | EHCI_F_CANCEL);
        ehciUp(e, EV_EHCI_LISTEN_CONF, nullptr, 0, e->requestedMask);
        break;
    case kStopped:
        TRACE(kTrc, "ehci: ## polling loop stopped");
        ehciStopNextReader(e);
        break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
        break;
    }
}

void demoStartPipes(TEhciInstance* e) {
    TEhciPipe* polling = e->pipes.polling;
    polling->response = &pollingResponse;
    if (e->flags & EHCI_F_CREATE_PIPES) {
        ehciCreateByGate(polling);
        return;
    }
    e->pendingMask = 0;
    ehciCreateNextReader(e);
}

// An NFC-IP-1 or MIFARE pipe was created: its bit leaves the pending mask and the next one follows.
void readerCreated(TEhciInstance* e, TEhciPipe* pipe, uint8_t id, uint32_t bit) {
    if (pipe) {
        pipe->id = id;
        TRACE(kTrc, "ehci: %s with ID %d created", pipe->name, static_cast<int>(id));
    } else {
        TRACE(kTrc, "ehci: type Mifare pipe created, ID=%d", static_cast<int>(id));
    }
    e->pendingMask &= ~bit;
    ehciCreateNextReader(e);
}

void demoAdminResponse(TEhciPipe* admin, const uint8_t* data, uint32_t length, uint32_t) {
    TEhciInstance* e = admin->owner;
    const uint8_t id = length >= 5 ? data[4] : 0;
    switch (admin->state) {
    case kAdmPollingCreated: {
        TEhciPipe* polling = e->pipes.polling;
        polling->id = id;
        TRACE(kTrc, "ehci: %s with ID %d created", polling->name, static_cast<int>(polling->id));
        ehciOpenPipe(polling);
        return;
    }
    case kAdmTarget: readerCreated(e, e->pipes.nfcipTarget, id, 0x2000); return;
    case kAdmInitiator: readerCreated(e, e->pipes.nfcipInitiator, id, 0x1000); return;
    case kAdmMifare: readerCreated(e, nullptr, id, 0x40); return;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", admin->name, static_cast<int>(admin->state));
        return;
    }
}

void demoStartWheel(TEhciInstance* e) {
    ehciStartPolling(e);
    const auto phases = static_cast<uint8_t>((e->listenMask & 0x7) | ((e->listenMask & 0x300) ? 0x8 : 0));
    TRACE(kTrc, "ehci: Start polling loop, setup phases 0x%X first for listen mask 0x%.08X",
          static_cast<unsigned>(phases), static_cast<unsigned>(e->listenMask));
    setPhases(e, phases, kStarted);
}

void demoListenStop(TEhciInstance* e) {
    ehciStopPolling(e);
    TRACE(kTrc, "ehci: STOP Marveld polling loop");
    setPhases(e, 0, kStopped);
}

void demoSetup(TEhciInstance* e) {
    e->flags |= EHCI_F_DEMO | EHCI_F_STAY_OPEN;
    e->supportedMask = ehciDemoSupportedMask(e->gateList, e->gateCount);
    e->capabilities->flags = kFeatureWord;
    e->stripLastByteMask = kStripLastByte;
    e->pipes.extra = &e->pipe[3];
    ehciVariantPipes(e, kPipes, std::size(kPipes), kFirstRecord);
    e->pipes.ese = e->pipes.se;
    ehciConnectivityInstall(e->pipes.connectivity);
    e->pipes.iso15693->writeHeader = &ehciDemoVicinityHeader;
    ehci544FelicaIp1Setup(e);
    if (!(e->flags & EHCI_F_CREATE_PIPES)) e->pipes.loopback->id = e->sessionIdentity[2];
    e->hooks.startPipes = &demoStartPipes;
    e->hooks.adminResponse = &demoAdminResponse;
    e->hooks.listenStartWheel = &demoStartWheel;
    e->hooks.listenStop = &demoListenStop;
    e->hooks.checkRequest = &ehciTransactionRequest;
}

}  // namespace

uint32_t ehciDemoVicinityHeader(TEhciPipe* pipe, uint8_t* packet) {
    pipe->owner->commandWatchTimeout = pipe->timeout;
    packet[1] = kVicinityExchange;
    packet[2] = ehciReaderTimeoutByte(pipe->timeout);
    return 3;
}

uint32_t ehciDemoSupportedMask(const uint8_t* gates, uint32_t count) {
    return ehciVariantMask(kPipes, std::size(kPipes), gates, count);
}

void ehciDemoPreInit(TEhciInstance* e) {
    e->flags |= EHCI_F_DEMO;
    e->hooks.variantSetup = &demoSetup;
    ehciPreInitCompleted(e);
}
