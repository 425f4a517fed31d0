// The line speeds termios has a code for, and which settings take each: one table for the
// daemon's configured rate, the terminal's command line and a remote client's choice.
#pragma once

#include <termios.h>

// Who takes a rate. Each caller names its fallback for the rates it does not take.
enum line_speed_taker : unsigned char {
    SPEED_FERROD = 1,   // ferrod_baudrate (others fall back to 115200)
    SPEED_TTYSCOPE = 2, // ttyscope's rate (others are refused)
    SPEED_REMOTE = 4,   // a telnet client's COM port control (others get the rate in effect)
};

struct line_speed {
    int rate;
    speed_t speed;
    unsigned char takers;
};

constexpr line_speed LINE_SPEEDS[] = {
    {0, B0, SPEED_FERROD},
    {50, B50, SPEED_FERROD | SPEED_TTYSCOPE | SPEED_REMOTE},
    {75, B75, SPEED_FERROD | SPEED_REMOTE},
    {110, B110, SPEED_REMOTE},
    {134, B134, SPEED_REMOTE},
    {150, B150, SPEED_FERROD | SPEED_REMOTE},
    {200, B200, SPEED_REMOTE},
    {300, B300, SPEED_FERROD | SPEED_TTYSCOPE | SPEED_REMOTE},
    {600, B600, SPEED_FERROD | SPEED_REMOTE},
    {1200, B1200, SPEED_FERROD | SPEED_TTYSCOPE | SPEED_REMOTE},
    {1800, B1800, SPEED_REMOTE},
    {2400, B2400, SPEED_FERROD | SPEED_TTYSCOPE | SPEED_REMOTE},
    {4800, B4800, SPEED_FERROD | SPEED_TTYSCOPE | SPEED_REMOTE},
    {9600, B9600, SPEED_FERROD | SPEED_TTYSCOPE | SPEED_REMOTE},
    {19200, B19200, SPEED_FERROD | SPEED_TTYSCOPE | SPEED_REMOTE},
    {38400, B38400, SPEED_FERROD | SPEED_TTYSCOPE | SPEED_REMOTE},
    {57600, B57600, SPEED_FERROD | SPEED_TTYSCOPE | SPEED_REMOTE},
    {115200, B115200, SPEED_TTYSCOPE | SPEED_REMOTE},
    {230400, B230400, SPEED_TTYSCOPE | SPEED_REMOTE},
    {460800, B460800, SPEED_TTYSCOPE | SPEED_REMOTE},
    {500000, B500000, SPEED_TTYSCOPE | SPEED_REMOTE},
    {576000, B576000, SPEED_TTYSCOPE | SPEED_REMOTE},
    {921600, B921600, SPEED_TTYSCOPE | SPEED_REMOTE},
    {1000000, B1000000, SPEED_TTYSCOPE | SPEED_REMOTE},
    {1152000, B1152000, SPEED_TTYSCOPE | SPEED_REMOTE},
    {1500000, B1500000, SPEED_TTYSCOPE | SPEED_REMOTE},
    {2000000, B2000000, SPEED_TTYSCOPE | SPEED_REMOTE},
    {2500000, B2500000, SPEED_TTYSCOPE | SPEED_REMOTE},
    {3000000, B3000000, SPEED_TTYSCOPE | SPEED_REMOTE},
    {3500000, B3500000, SPEED_TTYSCOPE | SPEED_REMOTE},
    {4000000, B4000000, SPEED_TTYSCOPE | SPEED_REMOTE},
};

// The speed code of RATE when TAKER takes it, else FALLBACK.
inline speed_t line_speed_of(int rate, line_speed_taker taker, speed_t fallback)
{
    for (const line_speed &s : LINE_SPEEDS)
        if (s.rate == rate && (s.takers & taker))
            return s.speed;
    return fallback;
}

// The rate of a speed code (0 for B0 and for a code the table does not hold).
inline int line_rate_of(speed_t speed)
{
    for (const line_speed &s : LINE_SPEEDS)
        if (s.speed == speed)
            return s.rate;
    return 0;
}
