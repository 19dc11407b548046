// What the parts of layer 1 call of each other; not for the drivers.
#pragma once

#include "L1/common/nfcll.h"

// Handlers of the task's commands (ll->message is the one being handled).
void nfcllHandleTimerExpiry(TNfcllContext* ll);
void nfcllHandleDataRequest(TNfcllContext* ll);
void nfcllHandleTransactionRequest(TNfcllContext* ll);
void nfcllHandleCheckRequest(TNfcllContext* ll);

void nfcllActivationTimedOut(TNfcllContext* ll);

// Upward messages held while a device indication waits: sent in order, or dropped with their buffers.
void nfcllFlushDeferred(TNfcllContext* ll);
void nfcllDropDeferred(TNfcllContext* ll);
