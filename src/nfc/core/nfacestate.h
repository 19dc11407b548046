// The stack's state as the API core reads it: 0/1/2, the OS worker's thread, the lock held while
// an application's callback runs and the semaphore of a confirmed release. The start-up creates
// and sets them; every export and the upcalls read them.
#pragma once

#include "platform.h"

enum NfcapiState : int {
    NFCAPI_STATE_IDLE = 0,
    NFCAPI_STATE_STARTING = 1,     // the stack was started, the worker has not run yet
    NFCAPI_STATE_RUNNING = 2,
};

NfcapiState nfcapiState();
void nfcapiSetState(NfcapiState state);

bool nfcapiOnWorkerThread();
// Called once by the OS worker thread as it starts.
void nfcapiMarkWorkerThread();

// Held while an application's callback runs.
PlatLock& nfcapiUpcallLock();
// Released once an application's release is confirmed.
PlatSemaphore& nfcapiReleaseSemaphore();
