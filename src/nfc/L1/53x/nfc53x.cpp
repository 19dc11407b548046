// The PN53x driver's entry points: its miniport slots, the controller's bring-up and the state
// machine that the frame reader's events drive.
#include "L1/53x/nfc53x.h"

#include <cstring>
#include <new>

#include "util/trace.h"

namespace {

constexpr uint16_t kReaderPn532 = 0x102;
constexpr uint16_t kCausePending = 25;
constexpr uint32_t kListenMaskPn532 = 0x503703;
constexpr uint32_t kListenMaskOther = 0x503301;   // no type B, no Jewel
constexpr uint32_t kCapabilityValue = 32;
constexpr char kVendor[] = "NXP";

struct InitCommand {
    uint32_t state;
    uint32_t request;
};
constexpr InitCommand kInitCommands[] = {
    {NFC53X_STATE_INIT1, NFC53X_REQ_SAM_CONFIG_INIT},
    {NFC53X_STATE_INIT2, NFC53X_REQ_RF_ITEM2},
    {NFC53X_STATE_INIT3, NFC53X_REQ_RF_ITEM5},
    {NFC53X_STATE_INIT4, NFC53X_REQ_GET_FIRMWARE_VERSION},
};

const InitCommand* initCommandOf(uint32_t state) {
    for (const InitCommand& step : kInitCommands)
        if (step.state == state) return &step;
    return nullptr;
}

void fillCapabilities(const TNfcllContext* ll, const TNfc53xPart* part, TNfcCapabilityBlock* capabilities) {
    if (!capabilities) return;
    capabilities->supportedMask = ll->readerType == kReaderPn532 ? kListenMaskPn532 : kListenMaskOther;
    for (int i = 0; i < 4; ++i)
        capabilities->softwareVersion[i] = static_cast<uint8_t>(part->firmware >> (24 - 8 * i));
    std::memcpy(capabilities->vendorName, kVendor, sizeof kVendor);
    capabilities->flags = kCapabilityValue;
}

// While the controller is brought up a NACK, an error frame or a silent controller changes
// nothing: the step stays pending and layer 1's activation timer decides.
uint16_t initializationStep(TNfcllContext* ll, TNfcCapabilityBlock* capabilities) {
    TNfc53xPart* part = nfc53xPart(ll);
    if (const InitCommand* step = initCommandOf(part->state)) {
        if (!nfc53xSendDsCommand(ll, step->request, nullptr, 0))
            TRACE(NFCLL_TRC_ERROR, "nfc53x: ! start-up command %u not sent", static_cast<unsigned>(step->request));
        return kCausePending;
    }
    fillCapabilities(ll, part, capabilities);
    part->state = NFC53X_STATE_INACTIVE;
    return 0;
}

}  // namespace

int32_t nfc53xInit(TNfcllContext* ll) {
    TRACE(NFCLL_TRC_STARTUP, "nfc53x: nfc53xInit()");
    auto* part = new (ll->driver) TNfc53xPart{};
    part->state = NFC53X_STATE_INIT1;
    part->handleEvent = &nfc53xHandleEvent;
    TNfcllMiniport& mp = ll->miniport;
    mp.initializationStep = &initializationStep;
    mp.dataIndication = &nfc53xDataIndication;
    mp.listenRequest = &nfc53xHandleListenReq;
    mp.transactionRequest = &nfc53xHandleTransactionReq;
    mp.ioControlRequest = &nfc53xHandleIoControlReq;
    mp.selectRequest = &nfc53xHandleSelectReq;
    mp.timerExpired = &nfc53xHandleTimerExpired;
    mp.lineSignal = &nfc53xHandleLineSignal;
    mp.otherMessage = &nfc53xHandleOtherMessage;
    return 1;
}
