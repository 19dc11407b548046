// Turns the NFC manager's indications into calls of the application's callback. Runs on the
// OS worker thread inside the upcall lock.
#pragma once

#include "core/nfaceapi.h"

// The listener-mask test of a tag type: whether the listener takes a tag of that type.
bool nfcapiListenerMatches(const TNfcListener& listener, uint32_t tagType);

// Event 1 to the first listener of the instance that takes the tag.
void nfcSignalTagIndication(TNfcApiInstance* instance, const TNfcTagInfo& tag);
// Event 14 to each secure-element listener of the instance.
void nfcSignalTransaction(TNfcApiInstance* instance, NfcSecureHandle hSecure, const TNfcTransaction* transaction);
// Event 16 to each listener of the instance that asked for RF-field events.
void nfcSignalRFIndication(TNfcApiInstance* instance, uint32_t state);
// Event 18 to the application.
void nfcSignalSecureNotification(TNfcApiInstance* instance, NfcSecureHandle hSecure, uint32_t kind, uint32_t value);
