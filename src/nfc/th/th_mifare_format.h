// The erase of a MIFARE Classic or Plus tag: every sector back to the transport configuration.
// A small sequencer of steps driven by the tag's answers; each step sends one command and names
// the step that takes its answer. It finds its own keys and sends by itself, apart from the
// handler's key lists.
#pragma once

#include <cstdint>

#include "th/th_handler.h"

constexpr uint16_t TMF_PENDING = 25; // a command was handed on; the answer decides
constexpr uint8_t TMF_FINISHED = 255;

struct TmfEraseState {
    uint8_t step;
    uint8_t sector;
    uint8_t sectorCount;
    uint8_t blockIndex;
    uint8_t blockCount;
    uint8_t counter;  // keys tried in the current search
    uint8_t keyStart; // the search's first key in the erase key list
    uint8_t key[6];
    uint8_t trailer[16]; // as read
};

// The number of sectors of the tag type (mini 5, 1K 16, Plus 2K 32, 4K and Plus 4K 40); 0 for
// any other type.
uint8_t tmfSectorCount(uint32_t tagType);
// Which of blocks 0-3 the trailer lets be written with key A, and with key B.
void tmfWritableBlocks(const uint8_t* trailer, bool withA[4], bool withB[4]);

// Sends a PDU from the handler's own buffer: layer 1 reads it after sendPdu has returned.
uint16_t tmfSendKept(TTagHandler* handler, const uint8_t* pdu, uint16_t size, uint8_t flags);

// Starts an erase; TMF_PENDING, or the result when it ended at once.
uint16_t tmfStart(TTagHandler* handler, TmfEraseState* state);
// The cause of the answer to the last command; TMF_PENDING, or the result.
uint16_t tmfAnswer(TTagHandler* handler, TmfEraseState* state, uint16_t cause);
