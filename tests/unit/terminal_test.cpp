// ttyscope's terminal side: rate arguments, the hex display line across counter wrap-around,
// and hex entry.
#include "terminal.h"

#include <limits.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(ParseBaudrate, NumbersAndKiloNotation)
{
    EXPECT_EQ(parse_baudrate("115k2"), 115200);
    EXPECT_EQ(parse_baudrate("9k6"), 9600);
    EXPECT_EQ(parse_baudrate("460k8"), 460800);
    EXPECT_EQ(parse_baudrate("57600"), 57600);
    EXPECT_EQ(parse_baudrate("ttyS1"), 0);
    EXPECT_EQ(parse_baudrate("/dev/serial/by-id/usb-FTDI_k2-if00"), 0) << "a port, not 200 bps";
    EXPECT_EQ(parse_baudrate("99999999999"), INT_MAX);
    EXPECT_EQ(parse_baudrate("4000k99999999999"), INT_MAX);
}

// Shows BYTES in hex mode from byte counter START on and returns what reached the screen.
std::string hex_display(uint32_t start, const std::string &bytes)
{
    stdout_is_tty = 0;
    set_hexmode(1);
    hexcount = start;
    testing::internal::CaptureStdout();
    for (char c : bytes)
        show_char(static_cast<uint8_t>(c));
    show_flush();
    std::string shown = testing::internal::GetCapturedStdout();
    hexmode = 0;
    return shown;
}

TEST(HexDisplay, LinesAcrossTheSignedAndUnsignedWrap)
{
    const std::string bytes = "0123456789abcdef\x7f~A";
    const std::string first_tail = "  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n";
    const std::string second_tail = "  7f 7e 41" + std::string(42, ' ') + "|.~A" + std::string(13, ' ') + "|";
    EXPECT_EQ(hex_display(0x7ffffff0u, bytes), "\r7ffffff0" + first_tail + "\r80000000" + second_tail);
    EXPECT_EQ(hex_display(0xfffffff0u, bytes), "\rfffffff0" + first_tail + "\r00000000" + second_tail);
}

TEST(HexDisplay, SwitchedOnAgainStartsAfresh)
{
    stdout_is_tty = 0;
    testing::internal::CaptureStdout();
    set_hexmode(1);
    for (char c : std::string("0123456789abcdefgh"))
        show_char(static_cast<uint8_t>(c));
    show_flush();
    set_hexmode(0);
    set_hexmode(1);
    show_char('A');
    show_flush();
    set_hexmode(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\r00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
              "\r00000010  67 68" + std::string(45, ' ') + "|gh" + std::string(14, ' ') + "|\n"
              "\r00000000  41" + std::string(48, ' ') + "|A" + std::string(15, ' ') + "|\n");
}

TEST(HexEntry, EachEntryStartsFromZero)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    serial_fd = p[1];
    echo = 0;
    std::string keys;
    for (int i = 0; i < 12; i++)
        keys += "~x4" + std::string(1, static_cast<char>('1' + i % 3));
    keys += "~X4F~~~xzz";
    for (char c : keys)
        handle_key(static_cast<uint8_t>(c));
    EXPECT_EQ(hexentry_value, 35 * 16 + 35) << "z counts as 35: the last entry alone";
    std::string expected;
    for (int i = 0; i < 12; i++)
        expected += static_cast<char>(0x41 + i % 3);
    expected += "O~S";
    char buf[64];
    ssize_t n = read(p[0], buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), expected);
    close(p[0]);
    close(p[1]);
    serial_fd = -1;
}

} // namespace
