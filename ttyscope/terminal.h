// ttyscope's terminal side: the program-wide state, display of received and echoed bytes,
// the keys the user types (escape commands, hex entry), the log file and status messages.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Signals that end the session in order (terminal restored, status 0): an interrupt, kill,
// a hang-up (closed ssh session), or the reader of our output going away.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Width of a hex display line: "\r", offset, 16 bytes in hex and as characters.
constexpr size_t HEXLINE_LEN = 79;

extern int serial_fd;
extern int stdout_is_tty;        // status messages appear only when set
extern int hexmode;
extern uint32_t hexcount;        // bytes shown since hex display was switched on (wraps at 4 GiB)
extern char hexline[HEXLINE_LEN + 1]; // empty: no line yet
extern int echo;
extern int timestamps;
extern int newline_to_cr;
extern int logging;
extern FILE *logfile;            // open from the first switch-on until a write fails
extern int escape_pending;
extern int hexentry_count;       // 0 none, 1 after "~x", 2 after the first digit
extern int hexentry_value;
extern int exit_status;          // 1 once the loop is stopped by an error

// "115200" → 115200, "115k2" → 115200, "9k6" → 9600; 0 for a text that does not begin with a
// digit (a port name). Saturates at INT_MAX.
int parse_baudrate(const char *text);

void usage(const char *prog);

// A status line "> TEXT" in dark grey on its own line, only when standard output is a
// terminal. Longer texts are cut to 127 characters.
void show_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
// An error: a status line when standard output is a terminal, otherwise a plain line on
// standard error.
void show_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Shows one byte in the current display mode; show_flush() puts it on the screen.
void show_char(uint8_t c);
void show_flush();

// Writes one byte to the serial port, waiting for room as long as it takes; gives the byte up
// when a stop signal comes meanwhile. -1 when not written.
int send_char(uint8_t c);

void log_data(const void *data, size_t len);
void set_logging(int on, const char *path);
void set_hexmode(int on);

// One byte typed by the user, as read from the terminal.
void handle_key(uint8_t c);

// Event-loop callbacks.
int serial_input(int fd, void *data);
int terminal_input(int fd, void *data);
int quit_on_sigint(int signum, void *data);
