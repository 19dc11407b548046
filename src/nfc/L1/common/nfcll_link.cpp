// Layer 1's upward signals about the link to a device that a chip driver gives: the end of the
// link and the sign of life of a running DEP exchange.
#include "L1/common/nfcll.h"

void nfcllSendUsDeactInd(TNfcllContext* ll, const TNfcTagInfo* device) {
    nfcllSendUs(ll, nfcllMsgMake<NFCLL_DEACT_IND>(ll->queueWord, {device}));
}

void nfcllSendUsLlcpTriggerInd(TNfcllContext* ll) { nfcllSendUs(ll, nfcllMsgMake<NFCLL_LLCP_TRIGGER_IND>(ll->queueWord)); }
