// The PN544 controller: the common reader and card gates, its own device manager (EEPROM, self
// tests, GPIO), a polling loop that runs the readers, the UICC over SWP and the wired interface to
// the SmartMX, two secure-element records, and the hooks the ETSI HCI core calls for them.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "L1/ehci/ehci.h"
#include "util/bytereader.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrc = NFCLL_TRC_STATE;
constexpr uint32_t kErr = NFCLL_TRC_ERROR;
constexpr uint32_t kStripLastByte = 0x83;
constexpr uint32_t kFeatureWord = 33;
constexpr uint32_t kBaseMask = 0x703;
constexpr uint32_t kSeMask = 0x20000;
constexpr uint32_t kMifareClassic = 16 | 32 | 64 | 0x1000000 | 0x2000000 | 0x4000000;
constexpr uint32_t kWiTransactions = 0x400000;   // WI pipe flag: transaction events are on
constexpr uint8_t kLongRidFirmware = 0x62;         // firmware from which the Jewel RID takes its long form
constexpr uint32_t kSmartMxMs = 150;               // how long the SmartMX may take to show on reader A
constexpr uint16_t kCapsUicc = 0x2000, kCapsSmartMx = 0x4000;

enum : uint8_t { kManagerGate = 0x90, kPollingGate = 0x94, kUiccGate = 0xA0, kWiGate = 0xA1 };
enum : uint8_t { kEepromRead = 0x3E, kEepromWrite = 0x3F, kSelfAntenna = 0x20, kSelfSwp = 0x21, kSelfPattern = 0x25,
                 kActivateId = 0x32, kPresence = 0x30, kWiModeEvent = 0x03,
                 kReleaseTarget = 0x35 };   // events: headers 0x43 and 0x75
enum : uint8_t { kPhaseParam = 6, kPollParam7 = 7, kPollParam9 = 9, kLoopIdle = 0x80 };
enum : uint8_t { kWiWired = 0, kWiDefault = 1, kWiVirtual = 2 };
constexpr uint16_t kOk = 0, kNoRecord = 1, kBadLength = 2, kUnsupported = 7, kClosed = 9, kUndefined = 10;

// Admin states of this chip's creations.
constexpr uint32_t kAdmPolling = 50, kAdmUicc = 54, kAdmWi = 55, kAdmManager = 56, kAdmJewel = 57, kAdmTarget = 143,
                   kAdmInitiator = 144;

// Pipe states (each names the answer it waits for): the variant's own steps count from the private
// base; the common ones keep the numbers the reader and polling-loop steps give them.
enum : uint32_t {
    kOpened = 11, kPolling = 30, kExchange = 34, kPollStarted = 307, kPollReset = 308, kPollStopped = 309,
    kMgrStartWrite = EHCI_STATE_PRIVATE + 100, kMgrParam2, kMgrConfig, kMgrIoRead, kMgrIoWrite, kMgrGpioRead,
    kMgrGpioFetch, kMgrGpioStore, kMgrSelfTest,
    kUiccEnabled, kUiccActive,
    kWiWiredSet, kWiVirtualSet, kWiEvents,
    kSmxOpen, kJewelRid, kFelSystem, kFelId, kFelPmm, kFelCodeSet,
    kPollStop7, kPollStop9, kPollStart7, kPollStart9, kPollRestarted, kPollModeStop, kPollIoDone, kPollRewrite,
};

// The cold start's EEPROM settings, in the order they are written.
struct EepromByte {
    uint32_t address;
    uint8_t value;
};
constexpr EepromByte kStartWrites[] = {{0x9E71, 0x00}, {0x9809, 0x00}, {0x9EAA, 0x01}, {0x9EB4, 0x00},
                                       {0x9F9A, 0x00}, {0x9C01, 0x08}, {0x9FF0, 0xFF}};
constexpr uint32_t kSeConfigAddress = 0x9800, kGpioIn = 0xF82A, kGpioOut = 0xF82B;

// Listen bits that each gate of the list adds to what every PN544 supports.
struct GateBits {
    uint8_t gate;
    uint32_t bits;
};
constexpr GateBits kGateBits[] = {{0x21, 0x200000}, {0x23, 0x100000}, {0x22, 0x800000}, {0x24, 0x400000},
                                  {0x30, 0x41000},  {0x31, 0xA000},   {0x16, 0x4000},   {0x12, 0x4}};

// The polling loop's phase bits by listen bits.
constexpr GateBits kPhaseBits[] = {{0x01, 0x401}, {0x02, 0x2}, {0x04, 0x100}, {0x08, 0x200}, {0x10, 0x4}, {0x20, 0x1000}};

constexpr uint32_t kCard = EHCI_P_CARD;
constexpr TEhciVariantPipe kPipes[] = {
    {&TEhciPipeNames::readerA, "Reader pipe-A", 0x13, 20, 0x1, 0, false},
    {&TEhciPipeNames::readerB, "Reader pipe-B", 0x11, 21, 0x2, 0, false},
    {&TEhciPipeNames::felica, "Reader Felica", 0x14, 53, 0x300, 0, false},
    {&TEhciPipeNames::iso15693, "15693 pipe", 0x12, 170, 0x4, 0, false},
    {&TEhciPipeNames::jewel, "Reader Jewel", 0x15, kAdmJewel, 0x400, 0, false},
    {&TEhciPipeNames::nfcipInitiator, "IP-1 Initiator", 0x30, kAdmInitiator, 0x41000, 0, false},
    {&TEhciPipeNames::nfcipTarget, "IP-1 Target", 0x31, kAdmTarget, 0xA000, 0, false},
    {&TEhciPipeNames::cardA, "Card pipe-A", 0x23, 24, 0x100000, kCard, false},
    {&TEhciPipeNames::cardB, "Card pipe-B", 0x21, 25, 0x200000, kCard, false},
    {&TEhciPipeNames::cardB2, "Card pipe-B'", 0x22, 26, 0x800000, kCard, false},
    {&TEhciPipeNames::cardF, "Card pipe-F", 0x24, 27, 0x400000, kCard, false},
    {&TEhciPipeNames::se, "544 UICC pipe", kUiccGate, kAdmUicc, kSeMask, 0, false},
    {&TEhciPipeNames::variant2, "544 WI pipe", kWiGate, kAdmWi, 0, 0, false},
    {&TEhciPipeNames::polling, "544 Polling pipe", kPollingGate, kAdmPolling, 0, 0, false},
    {&TEhciPipeNames::connectivity, "Connectivity pipe", 0, 0, 0, 0, false},
    {&TEhciPipeNames::loopback, "Loopback", 0, 0, 0, 0, false},
};
constexpr uint32_t kManagerRecord = 3;   // the extra pipe, whose id the session identity keeps
constexpr uint32_t kFirstRecord = 4;
static_assert(kFirstRecord + std::size(kPipes) <= EHCI_PIPES);

// The variant's own state beside the instance (there is one instance).
struct Pn544 {
    uint8_t seConfiguration = 0;
    uint8_t startStep = 0;
    // An EEPROM transfer of I/O control: the next address, what is left, and what is done.
    uint32_t address = 0;
    uint32_t left = 0;
    uint32_t done = 0;
    uint8_t bytes[EHCI_RX_SIZE] = {};
    uint32_t gpioMask = 0;
    uint8_t gpioValue = 0;
    // The pending secure request.
    TNfcInfoSE* pending = nullptr;
    uint16_t requested = 0;
    uint32_t restartBits = 0;          // listen bits added to the next restart only
    void (*wiTransaction)(TEhciPipe*, uint8_t, const uint8_t*, uint32_t) = nullptr;
    void (*readerAResponse)(TEhciPipe*, const uint8_t*, uint32_t, uint32_t) = nullptr;
    void (*readerResponse)(TEhciPipe*, const uint8_t*, uint32_t, uint32_t) = nullptr;   // the core's
    bool jewelPending = false;         // a Jewel tag was found while its pipe was being opened
};
Pn544 g;

TNfcInfoSE* uiccRecord(TEhciInstance* e) { return &e->seRecords[0]; }
TNfcInfoSE* smartMxRecord(TEhciInstance* e) { return &e->seRecords[1]; }

int32_t sendBytes(TEhciPipe* pipe, uint8_t instruction, std::initializer_list<uint8_t> data, uint32_t state) {
    return ehciSendCommand(pipe, instruction, data.begin(), static_cast<uint32_t>(data.size()), state);
}

void writeEeprom(TEhciInstance* e, uint32_t address, uint8_t value, uint32_t state) {
    TRACE(kTrc, "ehci: Write EEPROM at 0x%X,0x%X", static_cast<unsigned>(address), static_cast<unsigned>(value));
    sendBytes(e->pipes.extra, kEepromWrite,
              {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), value},
              state);
}

void readEeprom(TEhciInstance* e, uint32_t address, uint32_t state) {
    TRACE(kTrc, "ehci: Read EEPROM memory at 0x%X", static_cast<unsigned>(address));
    sendBytes(e->pipes.extra, kEepromRead,
              {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)},
              state);
}

void setByte(TEhciPipe* pipe, uint8_t index, uint8_t value, uint32_t state) { ehciSetParam(pipe, index, &value, 1, state); }
void setTwo(TEhciPipe* pipe, uint8_t index, uint8_t a, uint8_t b, uint32_t state) {
    const uint8_t value[2] = {a, b};
    ehciSetParam(pipe, index, value, 2, state);
}

void ioDone(TEhciInstance* e, uint16_t cause, const uint8_t* data = nullptr, uint32_t length = 0) {
    ehciIoAnswer(e, cause, data, length);
}

// ---- Polling loop --------------------------------------------------------------------------------
uint8_t phasesFor(const TEhciInstance* e, uint32_t mask) {
    uint8_t phases = 0;
    for (const GateBits& row : kPhaseBits)
        if (mask & row.bits) phases |= row.gate;
    if (!(mask & 0xF02000) && !(e->flags & (EHCI_F_UICC_HOST | EHCI_F_SE_HOST))) phases |= kLoopIdle;
    // Any card-emulation option for type A in the listen request needs phase 0 too.
    if (e->listenParams && e->listenParams->listenAFlags) phases |= 0x01;
    return phases;
}

void startLoop(TEhciInstance* e, const char* text, uint8_t phases, uint32_t mask, uint32_t state) {
    TRACE(kTrc, text, static_cast<unsigned>(phases), static_cast<unsigned>(mask));
    setByte(e->pipes.polling, kPhaseParam, phases, state);
}

void restartLoop(TEhciInstance* e, uint32_t state) {
    const uint32_t mask = e->listenMask | g.restartBits;
    g.restartBits = 0;
    uint8_t phases = phasesFor(e, mask);
    if (e->flags & EHCI_F_SMARTMX) phases |= 0x01;
    startLoop(e, "ehci: Restart polling loop, setup phases 0x%X first for listen maks 0x%.08X", phases, mask, state);
}

void createReaders(TEhciInstance* e) {
    e->pendingMask = (e->flags & EHCI_F_CREATE_PIPES) ? e->supportedMask : 0;
    ehciCreateNextReader(e);
}

void signalSmartMx(TEhciInstance* e) {
    TNfcInfoSE* smx = smartMxRecord(e);
    ehciUp(e, EV_EHCI_SE_STATE, nullptr, g.requested == 1 ? NFCLL_SE_ACTIVATED : NFCLL_SE_DEACTIVATED,
           static_cast<uintptr_t>(smx->handle));
}

void restarted(TEhciInstance* e) {
    g.pending = nullptr;
    if (e->flags & EHCI_F_SE_CLOSED) {
        e->flags &= ~EHCI_F_SE_CLOSED;
        ioDone(e, kClosed);
        return;
    }
    signalSmartMx(e);
    // A wired session is open once the SmartMX shows itself on reader A, which answers the
    // request; the secure watchdog closes it again when it does not come.
    if ((e->flags & EHCI_F_SMARTMX) && g.requested == 2) {
        ehciTimerStart(e, EHCI_TIMER_SECURE, kSmartMxMs);
        return;
    }
    ioDone(e, kOk);
}

void modeStopped(TEhciInstance* e) {
    TNfcInfoSE* se = g.pending;
    if (se && (se->capabilities & kCapsUicc)) {
        g.pending = nullptr;
        const bool on = g.requested != 0;
        if (!e->seOps || !(on ? e->seOps->enableSe : e->seOps->disableSe)) {
            ioDone(e, kUnsupported);
            return;
        }
        if (on) e->seOps->enableSe(e->seContext, se);
        else e->seOps->disableSe(e->seContext, se);
        return;
    }
    ehci544ProcessNextSE(e);
}

void pollingResponse(TEhciPipe* pipe, const uint8_t*, uint32_t, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    switch (pipe->state) {
    case kOpened:
        if (code) {
            ehciInitFailed(e, code);
            return;
        }
        setByte(pipe, kPhaseParam, kLoopIdle, kPollReset);
        break;
    case kPollReset:
        TRACE(kTrc, "ehci: ## polling loop reseted");
        createReaders(e);
        break;
    case kPollStart7: setByte(pipe, kPollParam9, 0, kPollStart9); break;
    case kPollStart9:
        startLoop(e, "ehci: Start polling loop, setup phases 0x%X first for listen maks 0x%.08X",
                  phasesFor(e, e->listenMask), e->listenMask, kPollStarted);
        break;
    case kPollStarted:
        if (!(e->flags & EHCI_F_LISTEN)) break;
        e->flags &= ~(EHCI_F_LISTEN | EHCI_F_CANCEL);
        ehciUp(e, EV_EHCI_LISTEN_CONF, nullptr, 0, e->requestedMask);
        break;
    case kPollStop7: setByte(pipe, kPollParam9, 1, kPollStop9); break;
    case kPollStop9: setByte(pipe, kPhaseParam, kLoopIdle, kPollStopped); break;
    case kPollStopped:
        TRACE(kTrc, "ehci: ## polling loop stopped");
        ehciStopNextReader(e);
        break;
    case kPollModeStop: modeStopped(e); break;
    case kPollRestarted: restarted(e); break;
    case kPollIoDone: ioDone(e, code ? kUnsupported : kOk); break;
    case kPollRewrite: ehciGetParam(e->pipes.se, 0x02, EHCI_544_UICC_STATUS); break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
        break;
    }
}

void pollingEvent(TEhciPipe* pipe, uint8_t event, const uint8_t*, uint32_t) {
    TRACE(kTrc, "ehci: Polling event 0x%X", static_cast<unsigned>(event));
    if (event < 0x01 || event > 0x04)
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
}

void pn544StartWheel(TEhciInstance* e) { setTwo(e->pipes.polling, kPollParam7, 0x18, 0x6A, kPollStart7); }

void pn544ListenStop(TEhciInstance* e) {
    ehciStopPolling(e);
    TRACE(kTrc, "ehci: STOP PN544 polling loop");
    setTwo(e->pipes.polling, kPollParam7, 0xFF, 0xF0, kPollStop7);
}

// ---- Device manager ------------------------------------------------------------------------------
void startWrite(TEhciInstance* e) {
    if (g.startStep < std::size(kStartWrites)) {
        const EepromByte& w = kStartWrites[g.startStep++];
        writeEeprom(e, w.address, w.value, kMgrStartWrite);
        return;
    }
    setByte(e->pipes.extra, 0x02, 2, kMgrParam2);
}

// The next step of an I/O control's EEPROM transfer; the answer once nothing is left.
void transferStep(TEhciInstance* e, uint32_t state) {
    if (!g.left) {
        if (state == kMgrIoRead) ioDone(e, kOk, g.bytes, g.done);
        else ioDone(e, kOk);
        return;
    }
    --g.left;
    const uint32_t address = g.address++;
    if (state == kMgrIoRead) readEeprom(e, address, state);
    else writeEeprom(e, address, g.bytes[g.done], state);
}

void gpioFetched(TEhciInstance* e, uint8_t value) {
    // Value 1 clears the pin's bit; value 0 writes the byte back as it was read.
    const uint8_t next = g.gpioValue ? static_cast<uint8_t>(value & ~g.gpioMask) : value;
    writeEeprom(e, kGpioOut, next, kMgrGpioStore);
}

void managerResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    const uint8_t first = length ? data[0] : 0;
    switch (pipe->state) {
    case kOpened:
        if (code) {
            ehciInitFailed(e, code);
            return;
        }
        g.startStep = (e->flags & EHCI_F_OWN_IDENTITY) ? static_cast<uint8_t>(std::size(kStartWrites)) : 0;
        startWrite(e);
        break;
    case kMgrStartWrite: startWrite(e); break;
    case kMgrParam2: readEeprom(e, kSeConfigAddress, kMgrConfig); break;
    case kMgrConfig:
        g.seConfiguration = first;
        TRACE(kTrc, "ehci: SE Configuration is 0x%X", static_cast<unsigned>(g.seConfiguration));
        ehciCreateByGate(e->pipes.polling);
        break;
    case kMgrIoRead:
    case kMgrIoWrite:
        if (code || (pipe->state == kMgrIoRead && !length)) {
            ioDone(e, code ? static_cast<uint16_t>(code) : kBadLength);
            return;
        }
        if (pipe->state == kMgrIoRead) g.bytes[g.done] = first;
        ++g.done;
        transferStep(e, pipe->state);
        break;
    case kMgrGpioRead: {
        const uint8_t pin = (first & g.gpioMask) ? 1 : 0;
        TRACE(kTrc, "PIN 0x%.02X mask 0x%X -> %d", static_cast<unsigned>(first), static_cast<unsigned>(g.gpioMask), pin);
        if (code) ioDone(e, static_cast<uint16_t>(code));
        else ioDone(e, kOk, &pin, 1);
        break;
    }
    case kMgrGpioFetch:
        if (code) ioDone(e, static_cast<uint16_t>(code));
        else gpioFetched(e, first);
        break;
    case kMgrGpioStore: ioDone(e, static_cast<uint16_t>(code)); break;
    case kMgrSelfTest:
        if (code) ioDone(e, static_cast<uint16_t>(code));
        else ioDone(e, kOk, data, std::min(length, e->ioBufferSize));
        break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
        break;
    }
}

void managerEvent(TEhciPipe* pipe, uint8_t event, const uint8_t*, uint32_t) {
    switch (event) {
    case 0x10: break;
    case 0x11: TRACE(kTrc, "Info PMU Vcc"); break;
    case 0x12: TRACE(kTrc, "External RF Field present"); break;
    default:
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
        break;
    }
}

// ---- UICC and wired interface --------------------------------------------------------------------
void uiccResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    const uint8_t first = !code && length ? data[0] : 0;
    switch (pipe->state) {
    case kOpened: ehciGetParam(pipe, 0x01, kUiccEnabled); break;
    case kUiccEnabled:
        TRACE(kTrc, "ehci: UICC is in %s mode", first ? "enabled" : "disabled");
        ehciGetParam(pipe, 0x02, kUiccActive);
        break;
    case kUiccActive:
        TRACE(kTrc, "%s", first == 2 ? "ehci: Active UICC detected" : "ehci: UICC is not active");
        uiccRecord(e)->mode = first == 2 ? 1 : 0;
        ehciCreateByGate(e->pipes.variant2);
        break;
    case EHCI_544_UICC_STATUS:
        if (e->seOps && e->seOps->uiccStatus) e->seOps->uiccStatus(e->seContext, first);
        break;
    case EHCI_544_UICC_ENABLE: break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
        break;
    }
}

void uiccEvent(TEhciPipe* pipe, uint8_t event, const uint8_t*, uint32_t) {
    TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
          static_cast<int>(pipe->state));
}

void wiModeEvent(TEhciInstance* e, uint8_t mode) {
    constexpr const char* kTexts[] = {"ehci: Set WI wired mode", "ehci: Set WI default mode", "ehci: Set WI virtual mode"};
    TRACE(kTrc, "%s", kTexts[mode]);
    ehciSendEventData(e->pipes.variant2, kWiModeEvent, &mode, 1);
}

void wiredOn(TEhciInstance* e) {
    smartMxRecord(e)->mode = 2;
    wiModeEvent(e, kWiWired);
    restartLoop(e, kPollRestarted);
}

void virtualOn(TEhciInstance* e) {
    TEhciPipe* wi = e->pipes.variant2;
    smartMxRecord(e)->mode = 1;
    wi->flags |= kWiTransactions;
    wiModeEvent(e, kWiVirtual);
    TRACE(kTrc, "ehci: Reader-A for polling loop required");
    g.restartBits = 0x1 | 0x100000;
    restartLoop(e, kPollRestarted);
}

void switchOff(TEhciInstance* e) {
    TRACE(kTrc, "ehci: switch off WI");
    smartMxRecord(e)->mode = 0;
    wiModeEvent(e, kWiDefault);
    restartLoop(e, kPollRestarted);
}

void wiResponse(TEhciPipe* pipe, const uint8_t*, uint32_t, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    if (code && pipe->state != kOpened) {
        g.pending = nullptr;
        ioDone(e, static_cast<uint16_t>(code));
        return;
    }
    switch (pipe->state) {
    case kOpened:
        if (code) {
            g.pending = nullptr;
            ioDone(e, static_cast<uint16_t>(code));
            return;
        }
        TRACE(kTrc, "ehci: ## OPEN WI pipe SUCCESSFULLY, pipe ID %d", static_cast<int>(pipe->id));
        if (g.requested == 2) TRACE(kTrc, "ehci: WI enable wired mode, set default mode normal");
        setByte(pipe, 0x01, 0, g.requested == 2 ? kWiWiredSet : kWiVirtualSet);
        break;
    case kWiWiredSet: wiredOn(e); break;
    case kWiVirtualSet:
        TRACE(kTrc, "ehci: WI enable transaction events");
        setByte(pipe, 0x05, 4, kWiEvents);
        break;
    case kWiEvents: virtualOn(e); break;
    default:
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", pipe->name, static_cast<int>(pipe->state));
        break;
    }
}

void wiEvent(TEhciPipe* pipe, uint8_t event, const uint8_t* data, uint32_t length) {
    switch (event) {
    case 0x01: TRACE(kTrc, "ehci: SE Start of transaction"); break;
    case 0x02: TRACE(kTrc, "ehci: SE End of transaction"); break;
    case 0x03: TRACE(kTrc, "ehci: SE Switch mode 0x%X", static_cast<unsigned>(length ? data[0] : 0)); break;
    case 0x04:
        // The transaction reaches the application as the connectivity pipe's would, for the SmartMX.
        if (g.wiTransaction) g.wiTransaction(pipe, 0x12, data, length);
        break;
    default:
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
        break;
    }
}

// A mode request stops the polling loop first; its answer carries the request on.
uint16_t requestMode(TEhciInstance* e, TNfcInfoSE* se, uint16_t mode) {
    g.pending = se;
    g.requested = mode;
    setByte(e->pipes.polling, kPhaseParam, kLoopIdle, kPollModeStop);
    return kOk;
}

// ---- Wired SmartMX through reader A --------------------------------------------------------------
void readerAResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    if (pipe->state == kSmxOpen) {
        if (code) {
            g.pending = nullptr;
            ioDone(e, static_cast<uint16_t>(code));
            return;
        }
        // Reader A runs for the SmartMX alone: it waits for the SmartMX to show.
        pipe->state = kPolling;
        pipe->flags |= EHCI_P_RUNNING;
        requestMode(e, smartMxRecord(e), 2);
        return;
    }
    if (!(e->flags & EHCI_F_SMARTMX) || pipe->state != kExchange) {
        if (g.readerAResponse) g.readerAResponse(pipe, data, length, code);
        return;
    }
    if (!ehciJoinInPipe(pipe, data, length, code)) return;
    const uint32_t n = length > 0 ? length - 1 : 0;   // the RF status byte ends the answer
    ioDone(e, code ? static_cast<uint16_t>(code) : kOk, data, std::min(n, e->ioBufferSize));
}

uint16_t openWired(TEhciInstance* e, TNfcInfoSE* se) {
    TRACE(kTrc, "ehci: Open wired SmartMX connection, current mode 0x%X", static_cast<unsigned>(se->mode));
    TEhciPipe* a = e->pipes.readerA;
    if (!(se->capabilities & kCapsSmartMx) || !a || !a->id) return kUnsupported;
    if (!ehciTakeRxBuffer(a)) return kUnsupported;
    e->currentSe = se;
    e->flags |= EHCI_F_SMARTMX;
    if (a->flags & EHCI_P_OPEN) {
        a->state = kPolling;
        a->flags |= EHCI_P_RUNNING;
        return requestMode(e, se, 2);
    }
    a->flags |= EHCI_P_OPEN | EHCI_P_OPENED;
    g.requested = 2;
    ehciSendCommand(a, EHCI_ANY_OPEN_PIPE, nullptr, 0, kSmxOpen);
    return kOk;
}

uint16_t closeWired(TEhciInstance* e, TNfcInfoSE* se) {
    TRACE(kTrc, "ehci: Close wired SMX connection, current mode %d", static_cast<int>(se ? se->mode : 0));
    if (!se) {
        ehci544ProcessNextSE(e);
        return kOk;
    }
    e->pipes.variant2->txPending = 0;
    e->flags &= ~EHCI_F_SMARTMX;
    return requestMode(e, se, 0);
}

uint16_t exchangeWired(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    TRACE(kTrc, "ehci: ehci544SecureElementExchange");
    TEhciPipe* a = e->pipes.readerA;
    if (!(e->flags & EHCI_F_SMARTMX) || !a || !length) return kUnsupported;
    return ehciPipeSend(a, data, length) ? kOk : kBadLength;
}

uint16_t pn544Secure(TEhciInstance* e, uint32_t code, TNfcInfoSE* se, const uint8_t* data, uint32_t length) {
    uint16_t cause = kUnsupported;
    switch (code) {
    case 0x8002: cause = se ? openWired(e, se) : kUnsupported; break;
    case 0x8003: cause = exchangeWired(e, data, length); break;
    case 0x8004: cause = closeWired(e, se); break;
    case 0x8008:
        if (se && (se->capabilities & kCapsSmartMx) && se->mode == 2) break;
        cause = se ? requestMode(e, se, 1) : kUnsupported;
        break;
    case 0x8009:
        TRACE(kTrc, "ehci: Secure set wired mode ignored ! , SE_OPEN required");
        cause = kOk;
        ioDone(e, kOk);
        break;
    case 0x800A:
        if (!se) break;
        if (se->capabilities & kCapsSmartMx) e->pipes.variant2->flags &= ~kWiTransactions;
        cause = requestMode(e, se, 0);
        break;
    default: break;
    }
    if (cause) ioDone(e, cause);
    return cause;
}

// ---- Jewel and FeliCa readers --------------------------------------------------------------------
void discovered(TEhciInstance* e, TEhciPipe* pipe) {
    e->pendingMask = 0;
    e->currentPipe = pipe;
    e->tagRecord = TNfcTagInfo{};
}

void jewelDiscovered(TEhciInstance* e, TEhciPipe* pipe) {
    TRACE(kTrc, "ehci: JEWEL tag discovered, read RID");
    discovered(e, pipe);
    if (e->flags & EHCI_F_VARIANT) sendBytes(pipe, 0x23, {0x78, 0, 0, 0, 0, 0, 0}, kJewelRid);
    else sendBytes(pipe, 0x20, {0x78}, kJewelRid);
}

void jewelEvent(TEhciPipe* pipe, uint8_t event, const uint8_t*, uint32_t) {
    TEhciInstance* e = pipe->owner;
    if (event != EHCI_EVT_TARGET_DISCOVERED) {
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
    } else if (pipe->state == kPolling && !(e->flags & EHCI_F_CANCEL)) {
        jewelDiscovered(e, pipe);
    } else if (pipe->state == kOpened) {
        TRACE(kTrc, "ehci: JEWEL tag discovered, but open is pending");
        g.jewelPending = true;
    } else {
        TRACE(kErr, "ehci: JEWEL tag discovered in bad state %d, ignored", static_cast<int>(pipe->state));
    }
}

void jewelResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    if (pipe->state != kJewelRid) {
        g.readerResponse(pipe, data, length, code);
        if (g.jewelPending && pipe->state == kPolling) {
            g.jewelPending = false;
            jewelDiscovered(e, pipe);
        }
        return;
    }
    if (code) {
        ehciHandleRelisten(e);
        return;
    }
    TRACE(kTrc, "ehci: JEWEL RID");
    // HR0, HR1, then the first four bytes of the identifier.
    const uint32_t n = length > 2 ? std::min<uint32_t>(length - 2, 4) : 0;
    if (n) std::memcpy(e->tagRecord.uid, data + 2, n);
    e->tagRecord.uidLength = static_cast<uint16_t>(n);
    e->activated = 1;
    ehciTargetReady(e, pipe, 0x400);
}

bool nfcDepId(const TNfcTagInfo& tag) { return tag.uidLength >= 2 && tag.uid[0] == 0x01 && tag.uid[1] == 0xFE; }

// An NFC-DEP target behind the FeliCa reader: the initiator pipe takes it over when the listen
// asks for it, else the reader lets it go (saying so when given a text) and goes on polling.
void felicaNfcDep(TEhciPipe* pipe, const char* withoutInitiator) {
    TEhciInstance* e = pipe->owner;
    pipe->state = kPolling;
    if ((e->listenMask & 0x1000) && e->pipes.nfcipInitiator && e->pipes.nfcipInitiator->id) {
        ehci544IP1Activate(e);
        return;
    }
    if (withoutInitiator) TRACE(kTrc, "%s", withoutInitiator);
    ehciSendEventData(pipe, kReleaseTarget, nullptr, 0);
}

void felicaEvent(TEhciPipe* pipe, uint8_t event, const uint8_t*, uint32_t) {
    TEhciInstance* e = pipe->owner;
    if (event != EHCI_EVT_TARGET_DISCOVERED || pipe->state != kPolling || (e->flags & EHCI_F_CANCEL)) {
        TRACE(kErr, "! unexpected event 0x%X for pipe <%s> in state %d", static_cast<unsigned>(event), pipe->name,
              static_cast<int>(pipe->state));
        return;
    }
    TRACE(kTrc, "ehci: Felica tag discovered in %d ms, get sytem code", static_cast<int>(pipe->responseTime));
    discovered(e, pipe);
    ehciGetParam(pipe, 0x01, kFelSystem);
}

void felicaResponse(TEhciPipe* pipe, const uint8_t* data, uint32_t length, uint32_t code) {
    TEhciInstance* e = pipe->owner;
    const TNfcListenParam* p = e->listenParams;
    TNfcTagInfo& tag = e->tagRecord;
    const uint32_t n = code ? 0 : length;
    switch (pipe->state) {
    case kOpened:
        if (!code && p && (p->listenFFlags & NFC_LISTEN_F_IDENTIFIERS)) {
            setTwo(pipe, 0x02, static_cast<uint8_t>(p->systemCode >> 8), static_cast<uint8_t>(p->systemCode), kFelCodeSet);
            return;
        }
        g.readerResponse(pipe, data, length, code);
        return;
    case kFelCodeSet: ehciOpenRFPipeCompleted(pipe); return;
    case kFelSystem:
        if (n < 2) {
            ehciHandleRelisten(e);
            return;
        }
        tag.felica.systemCode = static_cast<uint16_t>(data[0] << 8 | data[1]);
        TRACE(kTrc, "ehci: Felica system code 0x%.04X", static_cast<unsigned>(tag.felica.systemCode));
        if (tag.felica.systemCode == 0x01FE) {
            felicaNfcDep(pipe, "ehci: we assume IP-1 target detected without IP-1 initiator active");
            return;
        }
        ehciGetParam(pipe, 0x04, kFelId);
        return;
    case kFelId: {
        const uint32_t m = std::min<uint32_t>(n, 15);
        std::memcpy(tag.uid, data, m);
        tag.uidLength = static_cast<uint16_t>(m);
        if (nfcDepId(tag)) felicaNfcDep(pipe, nullptr);
        else ehciGetParam(pipe, 0x05, kFelPmm);
        return;
    }
    case kFelPmm:
        // PMm as far as it came: a short answer leaves the rest zero.
        TRACE(kTrc, "ehci: Felica PMM");
        std::memcpy(tag.felica.pmm, data, std::min<uint32_t>(n, sizeof tag.felica.pmm));
        e->activated = 1;
        ehciTargetReady(e, pipe, 0x100);
        return;
    default: g.readerResponse(pipe, data, length, code); return;
    }
}

// ---- Hooks -----------------------------------------------------------------------------------------
// The chip checks ISO-DEP cards with its presence command and the others by activating their
// identifier again; both answer the check itself, not a transaction.
int32_t pn544Check(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    TEhciPipe* pipe = e->currentPipe;
    const uint32_t type = e->tagRecord.tagType;
    int32_t sent = -1;
    if (pipe && (type == 4 || type == 2 || type == 256 || type == 1024)) {
        sent = ehciTransactionRequest(e, data, length);
    } else if (pipe && (type == 1 || type == 128)) {
        sent = ehciSendCheck(pipe, kPresence, nullptr, 0);
    } else if (pipe) {
        TRACE(kTrc, "ehci: Activate ID");
        const uint32_t n = std::min<uint32_t>(e->tagRecord.uidLength, EHCI_PACKET_MAX - 2);
        sent = ehciSendCheck(pipe, kActivateId, e->tagRecord.uid, n);
    }
    if (sent < 0) {
        const uint16_t cause = 1;
        ehciUp(e, EV_EHCI_TRANSACTION_RESULT, nullptr, 0, reinterpret_cast<uintptr_t>(&cause));
    }
    return 0;
}

void pipeCreatedByHost(TEhciInstance* e, const uint8_t* data, uint32_t length) {
    // Creating host, its gate, the host and gate the pipe leads to, the pipe id.
    if (length < 5) {
        TRACE(kErr, "ehci: ! pipe notification of %d bytes ignored", static_cast<int>(length));
        return;
    }
    TRACE(kTrc, "ehci: Notify pipe on GATE 0x%X HOST %X created, ID %d (0x%X)", static_cast<unsigned>(data[1]),
          static_cast<unsigned>(data[0]), static_cast<int>(data[4]), static_cast<unsigned>(data[4]));
    TEhciPipe* pipe = e->pipes.connectivity;
    if (data[0] != 2 || !pipe) return;
    pipe->id = data[4];
    pipe->name = "Connectivity pipe";
    pipe->state = 11;
    ehciConnectivityInstall(pipe);
}

void pn544HostCommand(TEhciPipe* pipe, uint8_t instruction, const uint8_t* data, uint32_t length) {
    TEhciInstance* e = pipe->owner;
    switch (instruction) {
    case 0x03:
        TRACE(kTrc, "ehci: got Open Event for pipe 0x%02x", static_cast<unsigned>(pipe->id));
        if (e->seOps && e->seOps->pipeNotification) e->seOps->pipeNotification(e->seContext, pipe);
        break;
    case 0x12: pipeCreatedByHost(e, data, length); break;
    case 0x15:
        TRACE(kTrc, "ehci: Notify all pipes cleard on host 0x%X", static_cast<unsigned>(length ? data[0] : 0));
        break;
    case 0x10:
    case 0x11:
    case 0x13:
    case 0x14: break;
    default: TRACE(kErr, "Unknown command 0x%X", static_cast<unsigned>(instruction)); break;
    }
}

// Address (32 bits) and count (16 bits), little-endian; false when the input is shorter.
bool transferHead(CByteReader& r) {
    const uint8_t* p = nullptr;
    uint16_t count = 0;
    if (!r.take(4, p) || !r.u16le(count)) return false;
    uint32_t address = 0;
    std::memcpy(&address, p, sizeof address);
    g.address = address;
    g.left = count;
    g.done = 0;
    return true;
}

int32_t eepromRead(TEhciInstance* e, const uint8_t* input, uint32_t length, uint32_t outputSize) {
    CByteReader r(input, length);
    if (!transferHead(r) || g.left > outputSize || g.left > sizeof g.bytes) return kBadLength;
    transferStep(e, kMgrIoRead);
    return 0;
}

int32_t eepromWrite(TEhciInstance* e, const uint8_t* input, uint32_t length) {
    CByteReader r(input, length);
    const uint8_t* bytes = nullptr;
    if (!transferHead(r) || g.left > sizeof g.bytes || !r.take(g.left, bytes)) return kBadLength;
    std::memcpy(g.bytes, bytes, g.left);
    transferStep(e, kMgrIoWrite);
    return 0;
}

int32_t selfTest(TEhciInstance* e, uint8_t command, const uint8_t* input, uint32_t length) {
    ehciSendCommand(e->pipes.extra, command, input, length, kMgrSelfTest);
    return 0;
}

int32_t pn544DeviceIo(TEhciInstance* e, uint32_t code, const uint8_t* input, uint32_t length, uint8_t* output,
                      uint32_t outputSize) {
    const uint32_t room = output ? outputSize : 0;
    switch (code) {
    case 0x0001: return eepromRead(e, input, length, room);
    case 0x0002: return eepromWrite(e, input, length);
    case 0x1003:
        // Nothing goes to the chip: the caller would otherwise wait out its whole time-out.
        ioDone(e, kOk);
        return 0;
    case 0x1006: restartLoop(e, kPollIoDone); return 0;
    case 0x1007: setByte(e->pipes.polling, kPhaseParam, kLoopIdle, kPollIoDone); return 0;
    case 0x1009:
        if (length != 1 || !room) return kBadLength;
        if (input[0] > 7) return kUnsupported;
        g.gpioMask = 1u << input[0];
        readEeprom(e, kGpioIn, kMgrGpioRead);
        return 0;
    case 0x100A:
        if (length < 2) return kBadLength;
        if (input[0] > 7 || input[1] > 1) return kUnsupported;
        g.gpioMask = 1u << input[0];
        g.gpioValue = input[1];
        readEeprom(e, kGpioOut, kMgrGpioFetch);
        return 0;
    case 0x1200:
        if (length != 4) {
            TRACE(kErr, "ehci: Self test antenna, 4 byte input required !");
            return kUnsupported;
        }
        return selfTest(e, kSelfAntenna, input, length);
    case 0x1201:
        if (length != 2) {
            TRACE(kErr, "ehci: Self test pattern, 2 byte input required !");
            return kUnsupported;
        }
        ehciTimerStop(e, EHCI_TIMER_WATCHDOG);
        return selfTest(e, kSelfPattern, input, length);
    case 0x1202:
        if (room < 2) {
            TRACE(kErr, "ehci: Self test SWP, 2 byte output required !");
            return kUnsupported;
        }
        return selfTest(e, kSelfSwp, nullptr, 0);
    default: return kUnsupported;
    }
}

void pn544AdminResponse(TEhciPipe* admin, const uint8_t* data, uint32_t length, uint32_t) {
    TEhciInstance* e = admin->owner;
    const uint8_t id = length >= 5 ? data[4] : 0;
    TEhciPipe* pipe = nullptr;
    uint32_t bits = 0;
    switch (admin->state) {
    case kAdmManager: pipe = e->pipes.extra; break;
    case kAdmPolling: pipe = e->pipes.polling; break;
    case kAdmUicc: pipe = e->pipes.se; break;
    case kAdmWi: pipe = e->pipes.variant2; bits = kSeMask; break;
    case kAdmTarget: pipe = e->pipes.nfcipTarget; bits = 0xA000; break;
    case kAdmInitiator: pipe = e->pipes.nfcipInitiator; bits = 0x41000; break;
    case kAdmJewel: pipe = e->pipes.jewel; bits = 0x400; break;
    default: break;
    }
    if (!pipe) {
        TRACE(kErr, "! unexpected response for pipe <%s> in state %d", admin->name, static_cast<int>(admin->state));
        ehciInitFailed(e, 3);
        return;
    }
    pipe->id = id;
    if (admin->state == kAdmJewel) TRACE(kTrc, "ehci: 544 Jewel pipe created, ID=%d", static_cast<int>(id));
    else TRACE(kTrc, "ehci: %s with ID %d created", pipe->name, static_cast<int>(id));
    if (admin->state == kAdmManager || admin->state == kAdmPolling || admin->state == kAdmUicc) {
        if (admin->state == kAdmUicc) e->pendingMask &= ~kSeMask;
        pipe->flags &= ~EHCI_P_OPEN;
        ehciOpenPipe(pipe);
        return;
    }
    e->pendingMask &= ~bits;
    ehciCreateNextReader(e);
}

void pn544StartPipes(TEhciInstance* e) {
    TEhciPipe* manager = e->pipes.extra;
    if (e->flags & EHCI_F_CREATE_PIPES) {
        ehciCreateByGate(manager);
        return;
    }
    manager->id = e->sessionIdentity[1];
    e->pendingMask = 0;
    ehciCreateNextReader(e);
}

// ---- Header writers ------------------------------------------------------------------------------
// While an NFC-IP-1 message is being sent, the reader pipes' packets carry no header of their own.
constexpr uint32_t kHeaderOnly = 1;

uint32_t readerAHeader(TEhciPipe* pipe, uint8_t* packet) {
    if (ehci544IP1Sending()) return kHeaderOnly;
    if (!(pipe->owner->tagRecord.tagType & kMifareClassic)) return ehciReaderHeader(pipe, packet);
    pipe->owner->commandWatchTimeout = pipe->timeout;
    packet[1] = 0x21;
    return 2;
}

uint32_t vicinityHeader(TEhciPipe* pipe, uint8_t* packet) {
    if (ehci544IP1Sending()) return kHeaderOnly;
    pipe->owner->commandWatchTimeout = pipe->timeout;
    packet[1] = 0x20;
    return 2;
}

uint32_t jewelHeader(TEhciPipe* pipe, uint8_t* packet) {
    if (ehci544IP1Sending()) return kHeaderOnly;
    pipe->owner->commandWatchTimeout = pipe->timeout;
    packet[1] = 0x23;
    return 2;
}

// The FeliCa exchange carries its time-out as a count of milliseconds split in two bytes.
uint32_t felicaHeader(TEhciPipe* pipe, uint8_t* packet) {
    if (ehci544IP1Sending()) return kHeaderOnly;
    const uint16_t split = ehciSplitCount(pipe->timeout);
    pipe->owner->commandWatchTimeout = pipe->timeout;
    packet[1] = 0x20;
    packet[2] = static_cast<uint8_t>(split >> 8);
    packet[3] = static_cast<uint8_t>(split);
    return 4;
}

uint32_t supportedMask(const uint8_t* gates, uint32_t count) {
    uint32_t mask = kBaseMask | kSeMask;
    for (const GateBits& row : kGateBits)
        if (std::find(gates, gates + count, row.gate) != gates + count) mask |= row.bits;
    return mask;
}

void bindPipes(TEhciInstance* e) {
    e->pipes.extra = &e->pipe[kManagerRecord];
    TEhciPipe* manager = e->pipes.extra;
    manager->name = "544 Manager pipe";
    manager->gate = kManagerGate;
    manager->adminState = kAdmManager;
    manager->create = &ehciCreateByGate;
    manager->response = &managerResponse;
    manager->event = &managerEvent;
    ehciVariantPipes(e, kPipes, std::size(kPipes), kFirstRecord);
    TEhciPipe* polling = e->pipes.polling;
    polling->response = &pollingResponse;
    polling->event = &pollingEvent;
    TEhciPipe* uicc = e->pipes.se;
    uicc->response = &uiccResponse;
    uicc->event = &uiccEvent;
    uicc->open = &ehciOpenPipe;
    uicc->stop = nullptr;
    TEhciPipe* wi = e->pipes.variant2;
    ehciConnectivityInstall(wi);
    g.wiTransaction = wi->event;
    wi->response = &wiResponse;
    wi->event = &wiEvent;
    wi->create = &ehciCreateByGate;
    e->pipes.ese = wi;
    ehciConnectivityInstall(e->pipes.connectivity);
    TEhciPipe* a = e->pipes.readerA;
    g.readerAResponse = a->response;
    a->response = &readerAResponse;
    a->writeHeader = &readerAHeader;
    e->pipes.iso15693->writeHeader = &vicinityHeader;
    e->pipes.jewel->writeHeader = &jewelHeader;
    ehci544FelicaIp1Setup(e);
    TEhciPipe* jewel = e->pipes.jewel;
    jewel->response = &jewelResponse;
    jewel->event = &jewelEvent;
}

void pn544Setup(TEhciInstance* e) {
    e->flags |= EHCI_F_PN544 | EHCI_F_STAY_OPEN | EHCI_F_CLOSE_ON_STOP;
    const TNfcCapabilityBlock& caps = *e->capabilities;
    if (caps.chipValues[0] == 0x10) TRACE(kTrc, "ehci: PN65N detected");
    if (caps.chipValues[0] == 0x10 || caps.softwareVersion[0] >= kLongRidFirmware) e->flags |= EHCI_F_VARIANT;
    e->capabilities->flags = kFeatureWord;
    e->stripLastByteMask = kStripLastByte;
    e->supportedMask = supportedMask(e->gateList, e->gateCount);
    // After a reset the records keep their modes: the completion brings the elements back to them.
    if (!(e->flags & EHCI_F_REINIT)) {
        e->capabilities->secureElementCount = 0;
        ehciSeAppend(e, 0, 0xA001, 16, 1);
        ehciSeAppend(e, 1, 0x4003, 16, 2);
    }
    bindPipes(e);
    if (!(e->flags & EHCI_F_CREATE_PIPES)) e->pipes.loopback->id = e->sessionIdentity[2];
    e->hooks.startPipes = &pn544StartPipes;
    e->hooks.adminResponse = &pn544AdminResponse;
    e->hooks.listenStartWheel = &pn544StartWheel;
    e->hooks.listenStop = &pn544ListenStop;
    e->hooks.checkRequest = &pn544Check;
    e->hooks.hostCommand = &pn544HostCommand;
    e->hooks.deviceIo = &pn544DeviceIo;
    e->hooks.secureHandler = &pn544Secure;
}

}  // namespace

void ehci544ProcessNextSE(TEhciInstance* e) {
    TNfcInfoSE* se = g.pending;
    if (!se) {
        ioDone(e, kNoRecord);
        return;
    }
    TEhciPipe* wi = e->pipes.variant2;
    const uint16_t m = smartMxRecord(e)->mode, r = g.requested;
    TRACE(kTrc, "ehci: ehci544ProcessNextSE, mode %d -> next mode %d", static_cast<int>(m), static_cast<int>(r));
    if (m == 0 && (r == 1 || r == 2)) {
        wi->flags &= ~EHCI_P_OPEN;
        ehciOpenPipe(wi);
    } else if ((m == 1 && r == 0) || (m == 2 && r == 0 && !(wi->flags & kWiTransactions))) {
        switchOff(e);
    } else if (m == 1 && r == 2) {
        setByte(wi, 0x01, 0, kWiWiredSet);
    } else if (m == 2 && r == 0) {
        smartMxRecord(e)->mode = 1;
        g.requested = 1;
        TRACE(kTrc, "ehci: WI enable transaction events");
        setByte(wi, 0x05, 4, kWiEvents);
    } else {
        TRACE(kErr, "ehci: ! undefined SE mode %d -> next mode %d change", static_cast<int>(m), static_cast<int>(r));
        g.pending = nullptr;
        ioDone(e, kUndefined);
    }
}

uint8_t ehci544Phases(const TEhciInstance* e) { return phasesFor(e, e->listenMask); }

void ehci544FelicaIp1Setup(TEhciInstance* e) {
    TEhciPipe* felica = e->pipes.felica;
    g.readerResponse = felica->response;
    felica->writeHeader = &felicaHeader;
    felica->response = &felicaResponse;
    felica->event = &felicaEvent;
    ehci544IP1Install(e);
}

void ehci544RewritePhases(TEhciInstance* e, bool withoutIdleBit) {
    uint8_t phases = ehci544Phases(e);
    if (withoutIdleBit) phases &= static_cast<uint8_t>(~kLoopIdle);
    setByte(e->pipes.polling, kPhaseParam, phases, kPollRewrite);
}

void ehciPn544PreInit(TEhciInstance* e) {
    g = Pn544{};
    e->flags |= EHCI_F_PN544;
    e->hooks.variantSetup = &pn544Setup;
    ehciPreInitCompleted(e);
}
