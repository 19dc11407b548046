#include <gtest/gtest.h>

#include "util/crc16.h"

// The published check value of CRC-16/X.25 over "123456789", and the empty input.
TEST(Crc16X25, MatchesTheCheckValues) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16X25(digits, sizeof digits), 0x906E);
    EXPECT_EQ(crc16X25(nullptr, 0), 0x0000);
}
