// The I/O controls an application sends to the controller driver.
#pragma once

#include <cstdint>

#include "core/nfaceapi.h"

struct NfcapiIoControl {
    uint32_t code;
    NfcSecureHandle hSecure;          // the secure element it is for, 0 for none
    const uint8_t* input;
    uint16_t inputLength;
    uint8_t* output;
    uint16_t outputSize;
    uint16_t timeoutMs;               // for the controller driver; 0 its default
};

// Sends the I/O control and waits for its answer. answerLength (may be null) receives what the
// output took of the answer: on 0 its length, at most the output size; 0 on any failure but 17,
// which leaves it.
NfcApiStatus nfcapiIoControl(TNfcApiInstance* instance, const NfcapiIoControl& request, uint16_t* answerLength);
