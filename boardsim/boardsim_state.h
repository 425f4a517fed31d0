// State files of the simulated board: where they live, how they are named, read and written.
#pragma once

#include <stddef.h>
#include <sys/ioctl.h>

// Environment variable naming the state folder; without it the simulation is off.
#define BOARDSIM_ENV "BOARDSIM_DIR"

// Room for a device key (the device path as passed to open, every '/' replaced by '_').
constexpr size_t BOARDSIM_KEY_MAX = 256;
// Room for any state file path built from the state folder, a key and a file name.
constexpr size_t BOARDSIM_PATH_MAX = 4096;

// One modem line of a serial device and the file that holds it.
struct boardsim_tty_line {
    const char *name;   // file name in the device folder, also the name boardsimctl takes
    const char *label;  // as boardsimctl prints it
    int bit;            // TIOCM_* bit
    bool external;      // set from outside the program (an input), not driven by it
};

constexpr boardsim_tty_line boardsim_tty_lines[] = {
    {"dtr", "DTR", TIOCM_DTR, false}, {"rts", "RTS", TIOCM_RTS, false},
    {"cts", "CTS", TIOCM_CTS, true},  {"dcd", "DCD", TIOCM_CAR, true},
    {"dsr", "DSR", TIOCM_DSR, true},  {"ri", "RI", TIOCM_RNG, true},
};

#define BOARDSIM_TTY_BREAKS "breaks"
#define BOARDSIM_TTY_BREAK_LOG "break_log"
// Holding a number other than 0: TIOCMGET fails with EIO (an adapter going away).
#define BOARDSIM_TTY_FAIL_TIOCMGET "fail_tiocmget"

// The open and close the helpers below use for state files. They start as the C library's;
// the preloaded library points them past its own interposers so its file accesses are plain.
extern int (*boardsim_open_fn)(const char *path, int flags, ...);
extern int (*boardsim_close_fn)(int fd);

// The modem line called NAME, or null.
const boardsim_tty_line *boardsim_tty_line_find(const char *name);

// Writes the key of the device opened as PATH into OUT; false if it does not fit.
bool boardsim_key(const char *path, char *out, size_t size);

// Writes DIR "/tty/" KEY into OUT, followed by "/" NAME when NAME is not null; false if it
// does not fit.
bool boardsim_tty_path(char *out, size_t size, const char *dir, const char *key,
                       const char *name);

// Creates FOLDER and every missing parent; false (errno set) on failure.
bool boardsim_mkdirs(const char *folder);

// The decimal number at the start of FILE; 0 when the file is missing or holds none.
unsigned long boardsim_read_number(const char *file);

// Replaces FILE with "VALUE\n" through a temporary file and a rename, so that a reader sees
// either the old or the new content; false (errno set) on failure.
bool boardsim_write_number(const char *file, unsigned long value);

// Appends LEN bytes of TEXT to FILE, creating it; false (errno set) on failure.
bool boardsim_append(const char *file, const char *text, size_t len);

// Room for a decimal unsigned long.
constexpr size_t BOARDSIM_NUMBER_MAX = 21;

// Writes VALUE in decimal to OUT (room for BOARDSIM_NUMBER_MAX), without a terminator; returns
// the length.
size_t boardsim_format_number(char *out, unsigned long value);
