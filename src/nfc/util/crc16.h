// The frame check sequence of the HDLC-family links (reflected polynomial 0x8408, start 0xFFFF,
// result complemented), shared by every link layer that frames with it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t CRC16_X25_RESIDUE = 0xF0B8;   // what the register holds after a good frame and its FCS

// The register after running `length` bytes through it from `crc` (0xFFFF to start a frame);
// not complemented, so a receiver can run the FCS through as well and compare with the residue.
uint16_t crc16X25Update(uint16_t crc, const uint8_t* data, size_t length);

// The frame check sequence of `length` bytes, to be sent low byte first.
uint16_t crc16X25(const uint8_t* data, size_t length);
