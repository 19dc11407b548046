#include "th/th_kovio.h"

#include "th/th_frame.h"

namespace {

constexpr char kPrefix[] = "th_kovio_bc:";
constexpr uint16_t kIdentifierLength = 16;
constexpr uint32_t kSize = 14;

uint32_t tkbcStateIdle(TStateMachine* m, uint16_t event);
uint32_t tkbcStateLegacyTag(TStateMachine* m, uint16_t event);

const SmStateEntry kStates[] = {
    {&tkbcStateIdle, "tkbcStateIdle"},
    {&tkbcStateLegacyTag, "tkbcStateLegacyTag"},
};

uint32_t tkbcStateIdle(TStateMachine* m, uint16_t event) {
    if (event != EV_TH_DEVICE_IND) return SM_NOT_HANDLED;
    TTagHandler* h = thOf(m);
    if (!thIdentify(h, kIdentifierLength, kIdentifierLength)) return SM_DONE;
    h->confirm(h, TH_DEVICE_CONF, nfcCauseOk, 0);
    m->next = &tkbcStateLegacyTag;
    return SM_CHANGE;
}

uint32_t tkbcStateLegacyTag(TStateMachine* m, uint16_t event) {
    switch (event) {
    case EV_TH_CMD_CHECK_NDEF: thSendTransactionIndication(thOf(m), nfcCauseNotNfcForumTag); return SM_DONE;
    case EV_TH_CMD_TEST: thSendTransactionIndication(thOf(m), nfcCauseOk); return SM_DONE;
    default: return SM_NOT_HANDLED;
    }
}

bool isCommand(uint16_t event) { return event >= EV_TH_CMD_CHECK_NDEF && event <= EV_TH_CMD_SET_READONLY; }

// The barcode goes nowhere on any event. A command it cannot carry out is still answered, so that
// its caller does not wait for the time-out.
uint32_t tkbcDefaultHandler(TStateMachine* m, uint16_t event) {
    thUnhandled(m, event);
    if (isCommand(event)) thSendTransactionIndication(thOf(m), nfcCauseNotImplemented);
    return SM_DONE;
}

} // namespace

uint32_t tkbcGetProperty(TTagHandler* h, uint32_t id, int* found) {
    *found = 1;
    switch (id) {
    case 0: return 0;
    case 3: return h->physicalSize;
    case 4: return h->access & TH_ACCESS_READ ? 1 : 0;
    case 5: return h->access & TH_ACCESS_WRITE ? 1 : 0;
    default: *found = 0; return 0;
    }
}

uint32_t tkbcInit(TTagHandler* h) {
    h->access = TH_ACCESS_READ | TH_ACCESS_WRITE | TH_ACCESS_FORMATTABLE;
    h->physicalSize = kSize;
    h->maxNdefSize = kSize;
    h->getProperty = &tkbcGetProperty;
    h->setProperty = &thNoSetProperty;
    return thStartMachine(h, &tkbcStateIdle, &tkbcDefaultHandler, kStates, 2, kPrefix);
}
