// The ST21NFCA and ST21NFCB controllers: the chip's device manager on its fixed pipe (NFC mode,
// CLF configuration, the pipes the chip kept across resets), the pipe table and its set-up, the
// start-up that reuses kept pipes, the Admin notifications, the chip's I/O controls and the
// secure-element requests that the activator, the card pipe and the routing table serve.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "L1/ehci/ehci.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kStripLastByte = 0x4C7;
constexpr uint32_t kFeatureWord = 3;
constexpr uint32_t kVariantFlags = EHCI_F_LISTEN_DIFF | EHCI_F_ST21 | EHCI_F_STAY_OPEN;
constexpr uint8_t kManagerId = 0x02;
constexpr uint8_t kClfItem = 0xD0;
constexpr uint8_t kModeItem = 0xF0;
constexpr uint32_t kClfLength = 7;
constexpr uint32_t kPipeListMax = 24;
constexpr uint8_t kHostTerminal = 0x01, kHostUicc = 0x02, kHostSe = 0xC0;
constexpr uint8_t kHosts[] = {kHostTerminal, kHostUicc, kHostSe};
constexpr uint8_t kGateConnectivity = 0x41, kGateCard = 0xF0;
constexpr uint8_t kPipeOpen = 0x06, kPipeOpenAlso = 0x86;

// Device-manager instructions and events.
enum : uint8_t { kDmRead = 0x10, kDmWrite = 0x11, kDmPipes = 0x13, kDmReboot = 0x30, kDmCustom = 0x32,
                 kDmSubInfo = 0x01, kDmSubList = 0x02, kEvtNfcMode = 0x11, kEvtSoftReset = 0x11 };

// Device-manager and Admin states (each names the answer it waits for): 177 is the card pipe's
// creation step, the others are the variant's own (an Admin step is a byte, so its own ones sit
// above every step the start and the other chips number).
enum : uint32_t {
    kOpened = 11, kAdmCard = 177, kAdmType12 = 240, kAdmTarget = 241, kAdmInitiator = 242,
    kDmClfRead = EHCI_STATE_PRIVATE + 300, kDmClfWritten, kDmPipeList, kDmPipeInfo, kDmIdle, kDmIoAnswer, kDmIoClfRead,
    kDmIoClfWritten,
};

enum : uint16_t { kCauseShort = 2, kCauseFailed = 3, kCauseUnsupported = 7 };

#define ST21_GATES(X)                                                                                            \
    X(0x00, "ADMINISTRATION") X(0x01, "STM_MANAGER") X(0x04, "LOOPBACK") X(0x05, "IDENTITY_MANAGMENT")            \
    X(0x06, "LINK_MANAGMENT") X(0x11, "RF_READER_B") X(0x12, "RF_READER_15693") X(0x13, "RF_READER_A")             \
    X(0x14, "STM_RF_READER_F") X(0x15, "READER_TYPE_1_2") X(0x21, "RF_CARD_B") X(0x22, "RF_CARD_B2")              \
    X(0x23, "RF_CARD_A") X(0x24, "RF_CARD_F/IP1_TARGET") X(0x25, "MARVELD_RF_CARD_UL") X(0x31, "7816_READER")     \
    X(0x41, "CONNECTIVITY") X(0xF0, "STM_CARD")
struct Name {
    uint8_t id;
    const char* text;
};
#define ST21_NAME_ROW(id, text) {id, text},
constexpr Name kGateNames[] = {ST21_GATES(ST21_NAME_ROW)};
#undef ST21_NAME_ROW
constexpr Name kHostNames[] = {{0x00, "CLF"}, {0x01, "TH"}, {0x02, "UICC"}, {0xC0, "SE"}};

const char* nameOf(const Name* begin, const Name* end, uint8_t id, const char* unknown) {
    const Name* it = std::find_if(begin, end, [id](const Name& n) { return n.id == id; });
    return it == end ? unknown : it->text;
}

// The pipes by record, from the fifth record on; the card pipe is supported on every chip.
constexpr uint32_t kCard = EHCI_P_CARD;
constexpr TEhciVariantPipe kPipes[] = {
    {&TEhciPipeNames::readerA, "Reader pipe-A", 0x13, 20, 0x1, 0, false},
    {&TEhciPipeNames::readerB, "Reader pipe-B", 0x11, 21, 0x2, 0, false},
    {&TEhciPipeNames::iso15693, "15693 pipe", 0x12, 170, 0x4, 0, false},
    {&TEhciPipeNames::mifare, "type 1/2 pipe", 0x15, kAdmType12, 0x440, 0, false},
    {&TEhciPipeNames::felica, "IP-1 Initiator/Felica", 0x14, kAdmInitiator, 0x1300, 0, false},
    {&TEhciPipeNames::nfcipTarget, "IP-1 Target", 0x24, kAdmTarget, 0x402000, kCard, false},
    {&TEhciPipeNames::cardA, "Card pipe-A", 0x23, 24, 0x100000, kCard, false},
    {&TEhciPipeNames::cardB, "Card pipe-B", 0x21, 25, 0x200000, kCard, false},
    {&TEhciPipeNames::cardB2, "Card pipe-B'", 0x22, 26, 0, kCard, false},
    {&TEhciPipeNames::se, "Card pipe", kGateCard, kAdmCard, 0x20000, EHCI_P_SECURE, true},
    {&TEhciPipeNames::connectivity, "Connectivity pipe", kGateConnectivity, 0, 0, 0, false},
    {&TEhciPipeNames::variant, "Connectivity pipe", kGateConnectivity, 0, 0, 0, false},
    {&TEhciPipeNames::loopback, "Loopback", EHCI_GATE_LOOPBACK, 0, 0, 0, false},
};
constexpr uint32_t kManagerRecord = 3;
constexpr uint32_t kFirstRecord = 4;
static_assert(kFirstRecord + std::size(kPipes) <= EHCI_PIPES);

// The pipes of the terminal host that the device manager's pipe info binds, by gate.
struct Binding {
    uint8_t gate;
    TEhciPipe* TEhciPipeNames::*pipe;
    uint32_t bit;   // added to the last listen mask while the pipe is open
};
constexpr Binding kTerminalBindings[] = {
    {0x04, &TEhciPipeNames::loopback, 0},    {0x05, &TEhciPipeNames::identity, 0},
    {0x11, &TEhciPipeNames::readerB, 0x2},   {0x12, &TEhciPipeNames::iso15693, 0x4},
    {0x13, &TEhciPipeNames::readerA, 0x1},   {0x15, &TEhciPipeNames::mifare, 0x400},
    {0x21, &TEhciPipeNames::cardB, 0x200000}, {0x22, &TEhciPipeNames::cardB2, 0},
    {0x23, &TEhciPipeNames::cardA, 0x100000}, {0x24, &TEhciPipeNames::nfcipTarget, 0x2000},
    {0x14, &TEhciPipeNames::felica, 0x1000},
};

// What the device manager learns during the start and what its I/O controls work on.
struct Manager {
    uint8_t clf[kClfLength];
    uint16_t pipeList[kPipeListMax];   // host << 8 | pipe id
    uint8_t pipeCount;
    uint8_t hostIndex;
    uint8_t infoIndex;
    uint8_t answer[EHCI_PACKET_MAX * 2];   // an answer that came in several packets
    TEhciJoin join;
};
Manager g_manager;

TEhciPipe* manager(TEhciInstance* e) { return e->pipes.variant2; }
bool isB(const TEhciInstance* e) { return (e->flags & EHCI_F_ST21B) != 0; }

void sendMode(TEhciInstance* e, uint8_t mode) {
    TRACE(kTrc, "ehci: send event NFC-Mode: %d", static_cast<int>(mode));
    ehciSendEvent(manager(e), kEvtNfcMode, manager(e)->state, &mode, 1);
}

// ---- Device-manager start ----------------------------------------------------------------------------
void nextPipeInfo(TEhciInstance* e) {
    Manager& g = g_manager;
    if (g.infoIndex >= g.pipeCount) {
        // The start's answers are all in: one that comes again finds no step to take.
        manager(e)->state = kDmIdle;
        ehciPreInitCompleted(e);
        return;
    }
    const uint16_t entry = g.pipeList[g.infoIndex];
    const uint8_t request[3] = {kDmSubInfo, static_cast<uint8_t>(entry >> 8), static_cast<uint8_t>(entry)};
    TRACE(kTrc, "ehci: Get info for %d. pipe ID %d - 0x%.2X", static_cast<int>(g.infoIndex), entry & 0xFF,
          static_cast<unsigned>(entry & 0xFF));
    if (ehciSendCommand(manager(e), kDmPipes, request, sizeof request, kDmPipeInfo) < 0) ehciInitFailed(e, kCauseFailed);
}

void nextPipeList(TEhciInstance* e) {
    Manager& g = g_manager;
    if (g.hostIndex >= std::size(kHosts)) {
        g.infoIndex = 0;
        nextPipeInfo(e);
        return;
    }
    const uint8_t host = kHosts[g.hostIndex];
    TRACE(kTrc, "ehci: STM get pipe info list, host 0x%X", static_cast<unsigned>(host));
    const uint8_t request[2] = {kDmSubList, host};
    if (ehciSendCommand(manager(e), kDmPipes, request, sizeof request, kDmPipeList) < 0) ehciInitFailed(e, kCauseFailed);
}

void pipeListRead(const uint8_t* data, uint32_t length, uint32_t code) {
    Manager& g = g_manager;
    const uint8_t host = kHosts[g.hostIndex++];
    for (uint32_t i = 0; !code && i < length && g.pipeCount < kPipeListMax; ++i) {
        const auto entry = static_cast<uint16_t>(host << 8 | data[i]);
        if (std::find(g.pipeList, g.pipeList + g.pipeCount, entry) == g.pipeList + g.pipeCount)
            g.pipeList[g.pipeCount++] = entry;
    }
}

void bind(TEhciInstance* e, TEhciPipe* pipe, uint8_t id, uint8_t state, uint32_t bit) {
    if (!pipe) return;
    pipe->id = id;
    if (state == kPipeOpen || state == kPipeOpenAlso) pipe->flags |= EHCI_P_OPEN;
    if (state == kPipeOpen) e->lastListenMask |= bit;
    if (id) pipe->flags &= ~EHCI_P_ON_DEMAND;
}

void bindTerminal(TEhciInstance* e, uint8_t id, uint8_t state, uint8_t gate) {
    for (const Binding& b : kTerminalBindings)
        if (b.gate == gate) bind(e, e->pipes.*(b.pipe), id, state, b.bit);
}

void bindSecure(TEhciInstance* e, uint8_t host, uint8_t id, uint8_t state, uint8_t gate) {
    if (gate == kGateConnectivity) {
        TRACE(kTrc, "%s", host == kHostUicc ? "ehci: Connectivity pipe for UICC is open" : "ehci: Connectivity pipe for SE open");
        bind(e, host == kHostUicc ? e->pipes.connectivity : e->pipes.variant, id, state, 0);
        return;
    }
    if (host == kHostUicc) TRACE(kErr, "! ehci: found WireSE-pipe on UICC Host? This ought to be impossible");
    else TRACE(kTrc, "ehci: WiredSE pipe is open");
    if (gate == kGateCard) bind(e, e->pipes.se, id, state, 0);
}

// {state, source host, source gate, destination host}; a shorter answer binds nothing.
void pipeInfoRead(TEhciInstance* e, const uint8_t* data, uint32_t length, uint32_t code) {
    Manager& g = g_manager;
    const uint16_t entry = g.pipeList[g.infoIndex++];
    const auto host = static_cast<uint8_t>(entry >> 8);
    const auto id = static_cast<uint8_t>(entry);
    CByteReader r(data, code ? 0 : length);
    uint8_t state = 0, source = 0, gate = 0, destination = 0;
    if (!r.u8(state) || !r.u8(source) || !r.u8(gate) || !r.u8(destination)) {
        TRACE(kErr, "ehci: ! pipe info of pipe 0x%X ignored, %d bytes", static_cast<unsigned>(id), static_cast<int>(length));
        return;
    }
    TRACE(kTrc, "ehci: Pipe ID: 0x%02X, state 0x%X, SGate: %s, SHost: %s, DHost %s", static_cast<unsigned>(id),
          static_cast<unsigned>(state), ehciSt21GateName(gate), ehciSt21HostName(source), ehciSt21HostName(destination));
    if (host == kHostTerminal) bindTerminal(e, id, state, gate);
    else if (host == kHostUicc || host == kHostSe) bindSecure(e, host, id, state, gate);
    else TRACE(kTrc, "ehci: HID 0x%X not handled", static_cast<unsigned>(host));
}

// The CLF configuration: the end-of-operation bit is set once (never on the ST21NFCB), and only a
// whole configuration is written back.
void clfRead(TEhciInstance* e, const uint8_t* data, uint32_t length, uint32_t code) {
    Manager& g = g_manager;
    TEhciPipe* dm = manager(e);
    if (!code && length) debugDump(data, "ehci:CLF_CONFIG is", length);
    if (code || length != kClfLength) {
        TRACE(kErr, "ehci: ! CLF_CONFIG of %d bytes, not written", static_cast<int>(code ? 0 : length));
    } else if (isB(e)) {
        TRACE(kTrc, "ehci: skip writing to CLF_CONF on ST21NFCB");
    } else if (!(data[2] & 0x01)) {
        TRACE(kTrc, "ehci: setting CLF Config HCI_END_OF_OPERATION");
        std::memcpy(g.clf, data, kClfLength);
        g.clf[2] |= 0x01;
        debugDump(g.clf, "ehci:CLF_CONFIG now", kClfLength);
        uint8_t request[1 + kClfLength] = {kClfItem};
        std::memcpy(request + 1, g.clf, kClfLength);
        if (ehciSendCommand(dm, kDmWrite, request, sizeof request, kDmClfWritten) == 0) return;
    }
    nextPipeList(e);
}

// ---- Device-manager I/O controls ------------------------------------------------------------------------
// The CLF configuration bit that an I/O control changes: byte, bit, set; written even when so.
struct ClfChange {
    uint32_t code;
    uint8_t byte;
    uint8_t bit;
    bool set;
    bool always;
};
constexpr ClfChange kClfChanges[] = {
    {0x1106, 3, 0x02, true, true},  {0x1107, 3, 0x02, false, true},
    {0x1108, 2, 0x20, true, false}, {0x1109, 2, 0x20, false, false},
};

const ClfChange* clfChangeOf(uint32_t code) {
    for (const ClfChange& c : kClfChanges)
        if (c.code == code) return &c;
    return nullptr;
}

void ioClfRead(TEhciInstance* e, const uint8_t* data, uint32_t length, uint32_t code) {
    Manager& g = g_manager;
    const ClfChange* change = clfChangeOf(e->ioCode);
    if (code || length != kClfLength || !change) {
        TRACE(kErr, "ehci: ! CLF_CONFIG of %d bytes, not changed", static_cast<int>(code ? 0 : length));
        ehciIoAnswer(e, code ? kCauseFailed : kCauseShort);
        return;
    }
    std::memcpy(g.clf, data, kClfLength);
    const uint8_t before = g.clf[change->byte];
    g.clf[change->byte] = static_cast<uint8_t>(change->set ? before | change->bit : before & ~change->bit);
    if (!change->always && g.clf[change->byte] == before) {
        ehciIoAnswer(e, 0, g.clf, kClfLength);
        return;
    }
    uint8_t request[1 + kClfLength] = {kClfItem};
    std::memcpy(request + 1, g.clf, kClfLength);
    if (ehciSendCommand(manager(e), kDmWrite, request, sizeof request, kDmIoClfWritten) < 0)
        ehciIoAnswer(e, kCauseUnsupported);
}

int32_t sendOrRefuse(TEhciPipe* dm, uint8_t instruction, const uint8_t* data, uint32_t length, uint32_t state) {
    return ehciSendCommand(dm, instruction, data, length, state) < 0 ? kCauseUnsupported : 0;
}

int32_t deviceIo(TEhciInstance* e, uint32_t code, const uint8_t* input, uint32_t inputLength, uint8_t*,
                 uint32_t outputSize) {
    TEhciPipe* dm = manager(e);
    if (clfChangeOf(code)) {
        if (isB(e)) {
            TRACE(kErr, "ehci: IoControl 0x%08x not supported for ST21NFCB", static_cast<unsigned>(code));
            return kCauseUnsupported;
        }
        // The configuration goes back to the caller whole, or not at all.
        if (outputSize < kClfLength) return kCauseShort;
        return sendOrRefuse(dm, kDmRead, &kClfItem, 1, kDmIoClfRead);
    }
    switch (code) {
    case 0x1000:
    case 0x1001: {
        const uint8_t request[3] = {kModeItem, 0x00, static_cast<uint8_t>(code == 0x1000 ? 0x04 : 0x03)};
        return sendOrRefuse(dm, kDmWrite, request, sizeof request, kDmIoAnswer);
    }
    case 0x1005: {
        const uint8_t one = 0x01;
        return sendOrRefuse(dm, kDmReboot, &one, isB(e) ? 1 : 0, kDmIoAnswer);
    }
    case 0x1006:
    case 0x1007: {
        TRACE(kTrc, "ehci: %snable NFC Radio", code == 0x1006 ? "E" : "Dis");
        const uint8_t on = code == 0x1006 ? 1 : 0;
        return ehciSetParam(dm, 0x03, &on, 1, kDmIoAnswer) < 0 ? kCauseUnsupported : 0;
    }
    case 0x1201: return sendOrRefuse(dm, kDmCustom, input, inputLength, kDmIoAnswer);
    default: return kCauseUnsupported;
    }
}

// ---- Device-manager pipe -----------------------------------------------------------------------------
// The steps read whole answers: the packets of one are joined first (cut at the buffer's size).
bool joined(TEhciPipe* dm, const uint8_t*& data, uint32_t& length, uint32_t& code) {
    return ehciJoin(g_manager.join, dm, g_manager.answer, sizeof g_manager.answer, data, length, code);
}

void managerResponse(TEhciPipe* dm, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = dm->owner;
    if (!joined(dm, data, length, code)) return;
    TRACE(kTrc, "ehci: device manager pipe dispatch response, state %d", static_cast<int>(dm->state));
    if (ehciSt21RouteAnswer(dm, data, length, code)) return;
    switch (dm->state) {
    case kOpened:
        if (code) {
            ehciInitFailed(e, code);
            return;
        }
        sendMode(e, 0);
        if (ehciSendCommand(dm, kDmRead, &kClfItem, 1, kDmClfRead) < 0) ehciInitFailed(e, kCauseFailed);
        break;
    case kDmClfRead: clfRead(e, data, length, code); break;
    case kDmClfWritten: nextPipeList(e); break;
    case kDmPipeList:
        pipeListRead(data, length, code);
        nextPipeList(e);
        break;
    case kDmPipeInfo:
        pipeInfoRead(e, data, length, code);
        nextPipeInfo(e);
        break;
    case kDmIoAnswer: ehciIoAnswer(e, code ? kCauseFailed : 0); break;
    case kDmIoClfRead: ioClfRead(e, data, length, code); break;
    case kDmIoClfWritten:
        if (code) ehciIoAnswer(e, kCauseFailed);
        else ehciIoAnswer(e, 0, g_manager.clf, kClfLength);
        break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", dm->name, static_cast<int>(dm->state));
        break;
    }
}

void managerEvent(TEhciPipe* dm, uint8_t event, const uint8_t*, uint32_t) {
    TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), dm->name,
          static_cast<int>(dm->state));
}

// ---- Card pipe -------------------------------------------------------------------------------------------
void createCardPipe(TEhciPipe* pipe) {
    TEhciInstance* e = pipe->owner;
    // Only a fresh session creates it: a kept one was bound by the device manager.
    if (!(e->flags & EHCI_F_CREATE_PIPES) || pipe->id) {
        e->pendingMask &= ~pipe->processMask;
        ehciCreateNextReader(e);
        return;
    }
    TRACE(kTrc, "ehci:  Create pipe <%s> on Gate 0x%X, admin state %d", pipe->name, static_cast<unsigned>(kGateCard),
          static_cast<int>(kAdmCard));
    e->currentPipe = pipe;
    const uint8_t request[3] = {kGateCard, kHostSe, kGateCard};
    if (ehciSendAdmin(e, EHCI_ADM_CREATE_PIPE, request, sizeof request, kAdmCard) < 0) ehciInitFailed(e, kCauseFailed);
}

// ---- Start-up pipes ------------------------------------------------------------------------------------
// The supported pipes that the chip did not keep, to be created now.
uint32_t missingPipes(const TEhciInstance* e) {
    uint32_t mask = 0;
    for (const TEhciVariantPipe& row : kPipes) {
        const TEhciPipe* pipe = e->pipes.*(row.pipe);
        if (pipe && !pipe->id && row.mask && (row.mask & e->supportedMask)) mask |= row.mask & e->supportedMask;
    }
    return mask;
}

void initAllPipes(TEhciInstance* e) {
    if (e->flags & EHCI_F_CREATE_PIPES) {
        e->pendingMask = e->supportedMask;
        ehciCreateNextReader(e);
        return;
    }
    TRACE(kTrc, "ehci: ehciInitAllPipes, listen mask 0x%.08X", static_cast<unsigned>(e->lastListenMask));
    e->pipes.se->name = "Card pipe";
    e->pendingMask = missingPipes(e);
    ehciCreateNextReader(e);
}

void created(TEhciInstance* e, const char* trace, uint32_t clear, const uint8_t* data, uint32_t length) {
    TEhciPipe* pipe = e->currentPipe;
    pipe->id = length >= 5 ? data[4] : 0;
    TRACE(kTrc, trace, static_cast<int>(pipe->id));
    e->pendingMask &= ~clear;
    ehciCreateNextReader(e);
}

void adminResponse(TEhciPipe* admin, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = admin->owner;
    switch (admin->state) {
    case kAdmType12: created(e, "ehci: type 1/2 pipe created, ID=%d", 0x440, data, code ? 0 : length); return;
    case kAdmTarget: created(e, "ehci: IP1 target pipe created, ID=%d", 0x402000, data, code ? 0 : length); return;
    case kAdmInitiator: created(e, "ehci: IP1 initiator pipe created, ID=%d", 0x1300, data, code ? 0 : length); return;
    case kAdmCard:
        if (!code && length >= 5) {
            e->pipes.se->id = data[4];
            e->pipes.se->state = kAdmCard;
            TRACE(kTrc, "ehci: Card pdu gate pipe created, ID=%d", static_cast<int>(data[4]));
        }
        e->pendingMask &= ~e->pipes.se->processMask;
        ehciCreateNextReader(e);
        return;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", admin->name, static_cast<int>(admin->state));
        ehciInitFailed(e, kCauseFailed);
        return;
    }
}

// ---- Hooks -----------------------------------------------------------------------------------------------
void listenStop(TEhciInstance* e) {
    ehciStopPolling(e);
    ehciStopNextReader(e);
}

void listenStartWheel(TEhciInstance* e) {
    ehciStartPolling(e);
    e->flags &= ~(EHCI_F_LISTEN | EHCI_F_CANCEL);
    ehciUp(e, EV_EHCI_LISTEN_CONF, nullptr, 0, e->requestedMask);
}

void loopbackOpened(TEhciInstance* e) {
    sendMode(e, 1);
    ehciInitCompleted(e);
}

void relisten(TEhciInstance*) {}

void notifyCreated(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    CByteReader r(data, length);
    uint8_t sourceHost = 0, sourceGate = 0, destHost = 0, gate = 0, id = 0;
    if (!r.u8(sourceHost) || !r.u8(sourceGate) || !r.u8(destHost) || !r.u8(gate) || !r.u8(id)) {
        TRACE(kErr, "ehci: ! pipe notification of %d bytes ignored", static_cast<int>(length));
        return;
    }
    TRACE(kTrc, "ehci: Notify pipe on GATE 0x%X HOST 0x%X created, ID %d (0x%X)", static_cast<unsigned>(gate),
          static_cast<unsigned>(sourceHost), static_cast<int>(id), static_cast<unsigned>(id));
    TEhciPipe* pipe = nullptr;
    if (gate == kGateConnectivity && sourceHost == kHostUicc) {
        TRACE(kTrc, "ehci: Connectivity pipe for UICC created, ID 0x%X", static_cast<unsigned>(id));
        pipe = e->pipes.connectivity;
    } else if (gate == kGateConnectivity && sourceHost == kHostSe) {
        TRACE(kTrc, "ehci: Connectivity pipe for ESE created, ID 0x%X", static_cast<unsigned>(id));
        pipe = e->pipes.variant;
    } else if (gate == kGateConnectivity) {
        TRACE(kErr, "!ehci: Connectivity pipe for unknown host created. ID 0x%X", static_cast<unsigned>(id));
    } else if (gate == kGateCard) {
        TRACE(kTrc, "ehci: Card pipe is created ID 0x%X", static_cast<unsigned>(id));
        pipe = e->pipes.se;
    } else {
        TRACE(kTrc, "ehci: GATE 0x%X on HOST 0x%X unknown", static_cast<unsigned>(gate), static_cast<unsigned>(sourceHost));
    }
    if (!pipe) return;
    pipe->id = id;
    pipe->state = kOpened;
    if (e->seOps && e->seOps->pipeNotification) e->seOps->pipeNotification(e->seContext, pipe);
}

void hostCommand(TEhciPipe* pipe, uint8_t instruction, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    switch (instruction) {
    case EHCI_ANY_OPEN_PIPE:
        TRACE(kTrc, "ehci: got Open Event for pipe 0x%02x", static_cast<unsigned>(pipe->id));
        if (e->seOps && e->seOps->pipeNotification) e->seOps->pipeNotification(e->seContext, pipe);
        break;
    case 0x12: notifyCreated(e, data, length); break;
    case 0x15: TRACE(kTrc, "ehci: Notify all pipes cleard on host 0x%X", length ? data[0] : 0u); break;
    case 0x10:
    case 0x11:
    case 0x13:
    case 0x14: break;
    default: TRACE(kErr, "ehci: Unknown command 0x%X", static_cast<unsigned>(instruction)); break;
    }
}

// The activator's operation, when the chip has one wired in.
void activatorCall(TEhciInstance* e, void (*TSeActivatorOps::*op)(void*, TNfcInfoSE*), TNfcInfoSE* se) {
    if (e->seOps && e->seOps->*op) (e->seOps->*op)(e->seContext, se);
    else ehciIoAnswer(e, kCauseUnsupported);
}

// Answers on its own when it cannot serve the request.
uint16_t secureHandler(TEhciInstance* e, uint32_t code, TNfcInfoSE* se, const uint8_t* data, uint32_t length) {
    TRACE(kTrc, "ehci: ehciStmSecureHandlerProc called for command 0x%08x", static_cast<unsigned>(code));
    switch (code) {
    case 0x8002: activatorCall(e, &TSeActivatorOps::secureOpen, se); break;
    case 0x8003: ehciSt21SecureExchange(e, data, length); break;
    case 0x8004: activatorCall(e, &TSeActivatorOps::secureClose, se); break;
    case 0x8008: activatorCall(e, &TSeActivatorOps::enableSe, se); break;
    case 0x800A: activatorCall(e, &TSeActivatorOps::disableSe, se); break;
    case 0x800D:
    case 0x800E:
    case 0x800F:
        if (const uint16_t cause = ehciSt21Routing(e, code, data, length)) ehciIoAnswer(e, cause);
        break;
    default: ehciIoAnswer(e, kCauseUnsupported); break;
    }
    return 0;
}

// The eSE is there unless the hardware bytes are 00 02 00, or the first is 5 and the second
// below 0x30.
bool hasEse(const uint8_t* hw) {
    if (hw[0] == 0x00 && hw[1] == 0x02 && hw[2] == 0x00) return false;
    return hw[0] != 0x05 || hw[1] >= 0x30;
}

void setup(TEhciInstance* e) {
    TRACE(kTrc, "ehci: ## ehciStmSetDefaultProperties ##");
    e->flags |= kVariantFlags;
    e->capabilities->flags = kFeatureWord;
    e->stripLastByteMask = kStripLastByte;
    e->supportedMask = ehciVariantMask(kPipes, std::size(kPipes), e->gateList, e->gateCount);
    if (!(e->flags & EHCI_F_REINIT)) {
        ehciSeAppend(e, 0, 0xA001, 1, kHostUicc);
        if (hasEse(e->capabilities->hardwareVersion)) ehciSeAppend(e, 1, 0x1003, 1, kHostSe);
    }
    e->hooks.adminResponse = &adminResponse;
    e->hooks.startPipes = &initAllPipes;
    e->hooks.listenStop = &listenStop;
    e->hooks.listenStartWheel = &listenStartWheel;
    e->hooks.loopbackOpened = &loopbackOpened;
    e->hooks.checkRequest = &ehciSt21CheckRequest;
    e->hooks.hostCommand = &hostCommand;
    e->hooks.deviceIo = &deviceIo;
    e->hooks.secureHandler = &secureHandler;
    e->hooks.relisten = &relisten;
}

void bindPipes(TEhciInstance* e) {
    ehciVariantPipes(e, kPipes, std::size(kPipes), kFirstRecord);
    e->pipes.jewel = e->pipes.mifare;
    e->pipes.nfcipInitiator = e->pipes.felica;
    e->pipes.cardF = e->pipes.nfcipTarget;
    ehciSt21ReaderInstall(e->pipes.mifare);
    ehciSt21Ip1Install(e->pipes.felica, e->pipes.nfcipTarget);
    ehciConnectivityInstall(e->pipes.connectivity);
    ehciConnectivityInstall(e->pipes.variant);
    TEhciPipe* card = e->pipes.se;
    e->pipes.ese = card;
    card->create = &createCardPipe;
    ehciSt21CardInstall(card);
}

}  // namespace

const char* ehciSt21GateName(uint8_t gate) {
    return nameOf(std::begin(kGateNames), std::end(kGateNames), gate, "!unknown gate");
}

const char* ehciSt21HostName(uint8_t host) {
    return nameOf(std::begin(kHostNames), std::end(kHostNames), host, "!unknown host");
}

void ehciSt21SoftReset(TEhciInstance* e) {
    TRACE(kTrc, "ehci: Secure soft reset");
    ehciSendEvent(manager(e), kEvtSoftReset, manager(e)->state);
}

void ehciSt21PreInit(TEhciInstance* e) {
    g_manager = Manager{};
    ehciSt21RouteReset();
    ehciSt21ClearP2pPolls();
    bindPipes(e);
    e->hooks.variantSetup = &setup;
    TEhciPipe* dm = &e->pipe[kManagerRecord];
    e->pipes.variant2 = dm;
    dm->name = "STM Device Manager";
    dm->id = kManagerId;
    dm->response = &managerResponse;
    dm->event = &managerEvent;
    ehciOpenPipe(dm);
}
