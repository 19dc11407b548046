#include "L1/common/nfcll_listen.h"

bool nfcllListenAtr(const TNfcListenParam* params, TNfcllAtrView& view) {
    view = TNfcllAtrView{false, 0, nullptr, 0};
    if (!params || !(params->p2pFlags & NFC_P2P_GENERAL_BYTES)) return true;
    if (params->atrLength > sizeof params->atrBytes) return false;
    view.given = true;
    view.config = params->atr.config;
    view.bytes = params->atr.generalBytes;
    view.length = params->atrLength ? static_cast<uint16_t>(params->atrLength - 1) : 0;
    return true;
}

uint8_t nfcllListenP2pDataRate(const TNfcListenParam* params) {
    return params && (params->p2pFlags & NFC_P2P_DATA_RATE) ? params->p2pDataRate : 0;
}
