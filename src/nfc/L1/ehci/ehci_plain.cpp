// The plain ETSI HCI controller: the common readers and card gates that its gate list names,
// no secure-element activator and no polling loop of its own.
#include <iterator>

#include "L1/ehci/ehci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kStripLastByte = 131;     // tag types 0x1, 0x2 and 0x80 end in a status byte
constexpr uint32_t kFeatureWord = 1;

// The pipes by record, from the fifth record on, with their gates; reader A is supported
// whatever the gate list says.
constexpr uint32_t kCardOnDemand = EHCI_P_CARD | EHCI_P_ON_DEMAND | EHCI_P_DELETE_AFTER_CLOSE;
constexpr TEhciVariantPipe kPipes[] = {
    {&TEhciPipeNames::readerA, "Reader pipe-A", 0x13, 20, 0x1, 0, true},
    {&TEhciPipeNames::readerB, "Reader pipe-B", 0x11, 21, 0x2, 0, false},
    {&TEhciPipeNames::cardA, "Card pipe-A", 0x23, 24, 0x100000, kCardOnDemand, false},
    {&TEhciPipeNames::cardB, "Card pipe-B", 0x21, 25, 0x200000, kCardOnDemand, false},
    {&TEhciPipeNames::cardF, "Card pipe-F", 0x24, 27, 0x400000, EHCI_P_CARD, false},
    {&TEhciPipeNames::cardB2, "Card pipe-B'", 0x22, 26, 0x800000, EHCI_P_CARD | EHCI_P_ON_DEMAND, false},
};
constexpr uint32_t kFirstRecord = 4;
constexpr uint32_t kConnectivityRecord = kFirstRecord + std::size(kPipes);
constexpr uint32_t kLoopbackRecord = kConnectivityRecord + 1;
static_assert(kLoopbackRecord < EHCI_PIPES);

void plainStartPipes(TEhciInstance* e) {
    e->pendingMask = (e->flags & EHCI_F_CREATE_PIPES) ? e->supportedMask : 0;
    ehciCreateNextReader(e);
}

// The plain controller polls with the common readers only: no wheel of its own to run or stop.
void plainStartWheel(TEhciInstance* e) {
    ehciStartPolling(e);
    e->flags &= ~(EHCI_F_LISTEN | EHCI_F_CANCEL);
    ehciUp(e, EV_EHCI_LISTEN_CONF, nullptr, 0, e->requestedMask);
}

void plainListenStop(TEhciInstance* e) {
    ehciStopPolling(e);
    ehciStopNextReader(e);
}

void plainSetup(TEhciInstance* e) {
    e->flags |= EHCI_F_CLOSE_ON_STOP | EHCI_F_STAY_OPEN;
    e->supportedMask = ehciPlainSupportedMask(e->gateList, e->gateCount);
    e->capabilities->flags = kFeatureWord;
    e->stripLastByteMask = kStripLastByte;
    ehciVariantPipes(e, kPipes, std::size(kPipes), kFirstRecord);
    e->pipes.connectivity = &e->pipe[kConnectivityRecord];
    e->pipes.connectivity->name = "Connectivity pipe";
    ehciConnectivityInstall(e->pipes.connectivity);
    e->pipes.loopback = &e->pipe[kLoopbackRecord];
    e->pipes.loopback->name = "Loopback";
    if (!(e->flags & EHCI_F_CREATE_PIPES)) e->pipes.loopback->id = e->sessionIdentity[2];
    e->hooks.startPipes = &plainStartPipes;
    e->hooks.listenStartWheel = &plainStartWheel;
    e->hooks.listenStop = &plainListenStop;
    e->hooks.checkRequest = &ehciTransactionRequest;
}

}  // namespace

uint32_t ehciPlainSupportedMask(const uint8_t* gates, uint32_t count) {
    return ehciVariantMask(kPipes, std::size(kPipes), gates, count);
}

void ehciPlainPreInit(TEhciInstance* e) {
    e->flags |= EHCI_F_PLAIN;
    e->hooks.variantSetup = &plainSetup;
    ehciPreInitCompleted(e);
}
