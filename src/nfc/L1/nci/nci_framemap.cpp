// How frames look on each RF interface: the hooks chosen when an endpoint is activated, and the
// bit rates of the activation in kbit/s.
#include <iterator>

#include "L1/nci/nci.h"
#include "util/trace.h"

namespace {

constexpr uint32_t kTrcNci = 0x10000000u;

constexpr uint32_t kBitRates[] = {106, 212, 424, 848, 1695, 3390, 6780};

// The Frame RF interface ends every frame with a status byte of its own.
uint16_t takeFrameStatus(TNciContext*, const uint8_t** data, uint32_t* length) {
    if (*length == 0) {
        TRACE(NFCLL_TRC_ERROR, "nci: ! Insufficient bytes received, cannot remap frame");
        return NCI_CAUSE_INVALID_DATA;
    }
    const uint8_t status = (*data)[*length - 1];
    TRACE(kTrcNci, "nci: Frame status %s", status == 0 ? "STATUS_OK" : "ERROR");
    if (status != 0) return NCI_CAUSE_FRAME_STATUS;
    --*length;
    return 0;
}

} // namespace

uint16_t nciMapIncomingWhole(TNciContext*, const uint8_t**, uint32_t*) { return 0; }

uint32_t nciBitRateKbps(uint8_t code, uint8_t maker) {
    if (code < std::size(kBitRates)) return kBitRates[code];
    if (code == 0x80 && maker != 0x04) return 7;
    if (code == 0x81) return 26;
    TRACE(NFCLL_TRC_ERROR, "nci: ! Data rate not recognized");
    return 0;
}

uint16_t nciSetFrameMapping(TNciContext* nci, uint8_t rfInterface, uint8_t protocol) {
    switch (rfInterface) {
    case 0: return 0;   // NFCEE Direct keeps the hooks it has
    case 1:
    case 5:
        nciDefaultHooks(nci);
        // ISO 15693 frames come whole from every maker but one.
        if (protocol != 0x86 || nci->maker == 0x07) nci->mapIncoming = &takeFrameStatus;
        return 0;
    case 6:
        nciDefaultHooks(nci);
        nci->mapIncoming = &takeFrameStatus;
        return 0;
    case 2:
    case 3: nciDefaultHooks(nci); return 0;
    default:
        TRACE(NFCLL_TRC_ERROR, "nci: ! Unknown interface %#x, no mapping available", static_cast<unsigned>(rfInterface));
        return NCI_CAUSE_INVALID_DATA;
    }
}
