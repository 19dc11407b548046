// MIFARE Classic (mini, 1K, 4K) and MIFARE Plus (2K, 4K) tags: NDEF in the sectors that the
// MIFARE Application Directory gives to the NFC Forum application. Every block access is an
// authentication of its sector with a key from shared candidate lists, then the read or write.
#pragma once

#include <cstdint>

#include "th/th_handler.h"

uint32_t tmsInit(TTagHandler* handler);
uint32_t tmsGetProperty(TTagHandler* handler, uint32_t id, int* found);
uint32_t tmsSetProperty(TTagHandler* handler, uint32_t id, uint32_t value);
// An application's own authenticate command ({0x60 or 0x61, block, 4 UID bytes, 6 key bytes}):
// its key is tried first by the handler's later operations.
void tmsSetKeyFromAuthCommand(TTagHandler* handler, const uint8_t* pdu, uint32_t length);

// The key lists are shared by every MIFARE handler and kept across tags; tests start from the
// built-in lists.
void tmsResetKeyLists();
enum TmsKeyList : uint8_t { TMS_MAD_KEY_A, TMS_MAD_KEY_B, TMS_NFC_KEY_A, TMS_NFC_KEY_B, TMS_NO_LIST };
const uint8_t* tmsKey(TmsKeyList list, unsigned index);

// Geometry and the MAD check value.
uint8_t tmsSectorOfBlock(uint8_t block);
uint16_t tmsSectorTrailerBlock(uint8_t sector);
uint16_t tmsCalcDatablockNum(uint8_t endSector, uint8_t firstSector);
uint32_t tmsNdefCapacity(uint32_t dataBlocks);
uint16_t tmsDataBlockOfPosition(uint32_t position);
uint8_t tmsMadCrc(const uint8_t* data, uint32_t length);
// For blocks 0-3: C1 + 2 C2 + 4 C3 from trailer bytes 7 and 8.
void tmsDecodeAccessBits(const uint8_t* trailer, uint8_t values[4]);
