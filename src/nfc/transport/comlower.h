// The contract between the com layer and the lower interfaces below it: the handle, the
// callback with its events, the status codes and the property codes every lower interface
// shares.
#pragma once

#include "corvane.h"

// An open lower interface, as its open operation handed it out.
using TComHandle = void*;

// callback(context, event, status, buffer, length); runs on the lower interface's threads.
using TComCallBack = void (*)(void* context, DWORD event, DWORD status, BYTE* buffer, DWORD length);

enum TComCallbackEvent : DWORD {
    comeOpenCompleted = 1,
    comeCloseCompleted = 2,
    comeDataReceived = 3,
    comeTransmitCompleted = 4,   // buffer is the one handed to write, as a token only
    comeDeviceError = 5,
    comeResetCompleted = 7,
    comeBreak = 16,
    comeDsr = 17,
    comeCts = 18,
    comeDcd = 19,
    comeRing = 20,
    comeConnect = 64,
    comeDisconnect = 66,
    comeIncomingCall = 68,
    comeAdapterPlugin = 80,
    comeAdapterPlugout = 81,
    comeAdapterSupspend = 82,
    comeAdapterResumed = 83,
    comeTimerStart = 96,
    comeTimerStop = 97,
};

// Results: 0 to 15 mean success (1: the open completes later by event 1), 16 and above failure.
enum : DWORD {
    COM_SUCCESS = 0,
    COM_PENDING = 1,
    COM_ERR_CONTROL_BLOCK = 0x10,
    COM_ERR_NO_RESOURCES = 0x11,
    COM_ERR_OPEN = 0x12,
    COM_ERR_HANDLE = 0x15,
    COM_ERR_TOO_LONG = 0x16,
    COM_ERR_STATE = 0x17,
    COM_ERR_PROPERTY = 0x30,
    COM_ERR_UNSUPPORTED = 0x31,    // like 0x30 for a reset: the interface cannot do it
    COM_ERR_SETTER = 0x33,
};

// A reset's answer that says it failed: an interface that cannot reset (0x30, 0x31) has not.
inline bool comResetFailed(DWORD status) {
    return status >= COM_ERR_CONTROL_BLOCK && status != COM_ERR_PROPERTY && status != COM_ERR_UNSUPPORTED;
}

// Properties every lower interface knows of.
enum : DWORD {
    compResetController = 3,
    compTraceFlags = 0x302,
    compTimerExpired = 0x303,      // value: the timer slot, one byte
    compFlushTx = 0x305,
};
