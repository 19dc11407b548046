#include "util/crc16.h"

uint16_t crc16X25Update(uint16_t crc, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

uint16_t crc16X25(const uint8_t* data, size_t length) {
    return static_cast<uint16_t>(~crc16X25Update(0xFFFF, data, length));
}
