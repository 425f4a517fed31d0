// Serial channels: an open, configured device with its receive buffer.
#pragma once

#include <termios.h>

struct daemon_config;

struct serial_settings {
    int baudrate;
    char parity;
    int databits;
    int stopbits;
    int flow;
    int exact_baud = 0; // baudrate is a line speed a remote client chose, not a configured value
};

struct serial_channel {
    char name[32];
    daemon_config *cfg;
    int fd; // -1 while the device is gone and being reopened
    int bufsize; // a block: handed on when full, or earlier when the line goes quiet
    int room;    // what one read may take: a few whole blocks, so a busy line costs fewer reads
    int fill;
    unsigned char *buf; // room bytes
    serial_settings settings;
    int primary; // drives DTR/RTS and is polled for DCD
    int tx_abandoned; // a stop signal ended a write the device was not draining
};

serial_channel *serial_init(daemon_config *cfg, const char *device, int baudrate, char parity,
                            int databits, int stopbits, int flow, int bufsize, int primary);
void serial_exit(serial_channel *ch);
void serial_tx(serial_channel *ch, const void *data, int len);
void serial_update_dtr(serial_channel *ch);
int serial_get_control_signals(serial_channel *ch);

// Remote port control (rfc2217.cpp) on the primary channel. New line settings, kept for a
// reopened device too: 0, or -1 when the device refused them (the old ones stay).
int serial_set_line(serial_channel *ch, const serial_settings &s);
void serial_break(serial_channel *ch, int on);
// Discards what waits in the device's input (and the block not yet handed on) and/or output.
void serial_purge(serial_channel *ch, int input, int output);

// The line speed for a configured baud rate (unknown rates give 115200).
speed_t serial_speed(int baudrate);
// The line settings the daemon applies to its ports.
termios serial_termios(const serial_settings &s);
