#include <gtest/gtest.h>

#include "util/crc16.h"

TEST(Crc16X25, CheckValueOfTheDigitString) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16X25(digits, sizeof digits), 0x906E);
}

TEST(Crc16X25, AFrameFollowedByItsFcsLeavesTheResidue) {
    uint8_t frame[] = {0x00, 0xC1, 0x7E, 0x7D, 0, 0};
    const uint16_t fcs = crc16X25(frame, 4);
    frame[4] = static_cast<uint8_t>(fcs);
    frame[5] = static_cast<uint8_t>(fcs >> 8);
    EXPECT_EQ(crc16X25Update(0xFFFF, frame, sizeof frame), CRC16_X25_RESIDUE);
    frame[2] ^= 0x01;
    EXPECT_NE(crc16X25Update(0xFFFF, frame, sizeof frame), CRC16_X25_RESIDUE);
}

TEST(Crc16X25, NoBytesGiveTheComplementOfTheStart) {
    EXPECT_EQ(crc16X25(nullptr, 0), 0x0000);
}
