// What the exports share: their exit trace; and for tags, secure elements, routing and device
// I/O control, the request whose answer lands in the caller's buffer.
#pragma once

#include <cstdint>

#include "core/nfaceapi.h"

// Traces "<name>() exit, status=0x%X" and returns the status.
NfcApiStatus nfcapiExit(const char* name, NfcApiStatus status);

// nfcStatusOk when the PDU, the answer's room and its length can be used, else a "!" trace
// naming the first that cannot and nfcStatusBadParameter.
NfcApiStatus nfcapiCheckPduBuffers(const BYTE* input, BYTE* output, WORD* outputLength);

// Posts the request with the application's I/O block set to the transfer and waits for its
// answer, for timeoutMs when it is not 0, else for the application's request time-out. The
// block is emptied before the call returns, whatever the outcome, so that nothing the stack
// answers later can be copied through it into a buffer its caller has given up.
// answerLength (may be null) receives the length of the answer that came up; the caller's room
// took at most its own size of it.
NfcApiStatus nfcapiTransferRequest(TNfcApiInstance* instance, TnfcapiMsg* message, const TNfaceTransfer& transfer,
                                   uint32_t timeoutMs, uint16_t* answerLength);
