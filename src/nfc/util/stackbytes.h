// The two stack-wide bytes of the NFC manager's I/O control 0x120B: the P2P raw mode and the
// option byte. The manager writes them; LLCP, the P2P interface, the tag handlers and the
// controller drivers read them, so they live below all of those. Both start as 0.
#pragma once

#include <cstdint>

uint8_t nfcmanP2pRawMode();
uint8_t nfcmanOptionByte();
void nfcmanSetStackBytes(uint8_t rawMode, uint8_t optionByte);
