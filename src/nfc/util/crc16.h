// The frame check of the HDLC-style link protocols: CRC-16/X.25 (reflected polynomial 0x8408,
// initial value 0xFFFF, result complemented). The links append it low byte first.
#pragma once

#include <cstddef>
#include <cstdint>

uint16_t crc16X25(const uint8_t* data, size_t length);
