// ttyscope's serial-port layer: opening at the supported rates, non-canonical mode, the
// modem-control lines, the modem status line and its 100 ms watch.
#pragma once

#include <termios.h>

// The speed constant of RATE, or B0 when RATE is not one of the supported rates.
speed_t serial_speed(int rate);

// Opens PATH at RATE, 8N1, with RTS/CTS and/or XON/XOFF flow control when asked, and returns
// the descriptor. Does not return when the rate is not supported ("Illegal baudrate supplied")
// or the device cannot be opened (perror): the process exits with status 1.
int serial_open(const char *path, int rate, int rtscts, int xonxoff);

// Clears the local-mode flags of FD (no canonical input, echo or signal keys) and makes reads
// return each byte at once. When SAVED is not null, the settings found are stored there first.
// Returns 0, or -1 when FD's settings cannot be read (nothing is changed then).
int set_noncanonical(int fd, termios *saved);

// Raise the line when ON is exactly 1, drop it otherwise. -1 when the lines cannot be read
// (nothing written then) or written; errno tells why.
int serial_set_rts(int fd, int on);
int serial_set_dtr(int fd, int on);

// The modem-line word (TIOCM_* bits), or -1 when the request fails.
int serial_get_mctrl(int fd);

// Prints the modem status line of the terminal's serial port, "[DTR] [dsr] ..." (capitals:
// line active), or the error when the lines cannot be read.
void show_modemstatus();

// Timer callback: prints the status line when the lines changed since the last poll. The first
// successful poll only records the state; a failed one changes nothing. Returns 1 (repeat).
int poll_modemstatus(void *data);
