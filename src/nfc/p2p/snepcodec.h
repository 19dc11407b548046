// SNEP 1.0 messages: building a request or response into a send buffer, and reassembling a
// received one from its fragments under a length cap.
#pragma once

#include <cstdint>
#include <vector>

#include "corvane.h"

constexpr uint8_t SNEP_VERSION = 0x10;
constexpr uint32_t SNEP_HEADER_SIZE = 6;
constexpr uint32_t SNEP_GET_FIELD = 4;           // the acceptable length of a GET
constexpr uint32_t SNEP_DEFAULT_MAX_LENGTH = 64 * 1024;

// The largest information field a received message may announce.
uint32_t snepMaxLength();
void snepSetMaxLength(uint32_t bytes);

const char* snepCodeName(uint8_t code);

// A message being sent fragment by fragment.
struct SnepTx {
    std::vector<uint8_t> buffer;
    uint32_t size = 0, sent = 0;
};

// Builds the message (a GET carries the acceptable length); false when memory is short.
bool snepBuild(SnepTx& tx, uint8_t code, const uint8_t* data, uint32_t length, bool get = false,
               uint32_t acceptable = 0);

enum class SnepRxResult { Complete, More, TooShort, WrongVersion, TooLong, BadGet, NoMemory };

// A message being received.
struct SnepRx {
    std::vector<uint8_t> buffer;
    uint32_t held = 0, ndefLength = 0, acceptable = 0;
    uint8_t code = 0;
};

SnepRxResult snepReceiveFirst(SnepRx& rx, const uint8_t* data, uint32_t length);
SnepRxResult snepReceiveNext(SnepRx& rx, const uint8_t* data, uint32_t length);

// Sends the next fragment (at most the fragment size) on the connection: 17 when bytes remain
// after it, 0 when it was the last, 1 when the send failed.
NfcApiStatus snepSendFragment(P2pLinkHandle connection, SnepTx& tx, uint32_t fragment);
