#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "pty_pair.h"

TEST(PtyPair, BytesTravelBothWaysAndHangUpIsSeen) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    int slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);

    ASSERT_TRUE(pty.write({1, 2, 3}));
    uint8_t buf[8];
    EXPECT_EQ(::read(slave, buf, sizeof buf), 3);
    ASSERT_EQ(::write(slave, "\x10\x20", 2), 2);
    EXPECT_EQ(pty.readExact(2, 2000), (std::vector<uint8_t>{0x10, 0x20}));
    pty.hangUp();
    EXPECT_FALSE(pty.write({5}));
    EXPECT_LE(::read(slave, buf, sizeof buf), 0);   // hang-up: end of file or error
    ::close(slave);
}
