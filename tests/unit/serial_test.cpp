// Line settings of the serial channel: the speed table and the termios flags.
#include "serial.h"

#include <gtest/gtest.h>

namespace {

TEST(SerialSettings, SpeedTableFallsBackTo115200)
{
    EXPECT_EQ(serial_speed(0), B0);
    EXPECT_EQ(serial_speed(50), B50);
    EXPECT_EQ(serial_speed(9600), B9600);
    EXPECT_EQ(serial_speed(57600), B57600);
    for (int unknown : {115200, 230400, 110, 134, 200, 1800, -9600})
        EXPECT_EQ(serial_speed(unknown), B115200) << unknown;
}

TEST(SerialSettings, RawEightNoneOneByDefault)
{
    termios t = serial_termios({9600, 'n', 8, 1, 0});
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_oflag, static_cast<tcflag_t>(OPOST));
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cflag & ~static_cast<tcflag_t>(CBAUD),
              static_cast<tcflag_t>(CREAD | HUPCL | CLOCAL | CS8));
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(cfgetospeed(&t), B9600);
}

TEST(SerialSettings, ParitySizeStopBitsAndFlow)
{
    EXPECT_EQ(serial_termios({9600, 'e', 8, 1, 0}).c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB));
    EXPECT_EQ(serial_termios({9600, 'o', 8, 1, 0}).c_cflag & (PARENB | PARODD),
              static_cast<tcflag_t>(PARENB | PARODD));
    EXPECT_EQ(serial_termios({9600, 'E', 8, 1, 0}).c_cflag & PARENB, 0u) << "upper case is none";
    EXPECT_EQ(serial_termios({9600, 'n', 5, 1, 0}).c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_EQ(serial_termios({9600, 'n', 7, 1, 0}).c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_EQ(serial_termios({9600, 'n', 9, 1, 0}).c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(serial_termios({9600, 'n', 8, 2, 0}).c_cflag & CSTOPB, 0u);
    EXPECT_EQ(serial_termios({9600, 'n', 8, 3, 0}).c_cflag & CSTOPB, 0u);
    EXPECT_NE(serial_termios({9600, 'n', 8, 1, 1}).c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(serial_termios({9600, 'n', 8, 1, 2}).c_cflag & CRTSCTS, 0u);
    EXPECT_NE(serial_termios({9600, 'n', 8, 1, 2}).c_cflag & CLOCAL, 0u) << "modem lines never gate I/O";
}

} // namespace
