// State files of the simulated board: where they live, how they are named, read and written.
#pragma once

#include <errno.h>
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
// The line settings the program last gave, as "9600 8E1" (speed, data bits, parity N O E M S,
// stop bits), followed by " rtscts" with hardware flow control: a pty keeps neither the parity
// nor the character size.
#define BOARDSIM_TTY_LINE "line"
// Holding a number other than 0: TIOCMGET fails with EIO (an adapter going away).
#define BOARDSIM_TTY_FAIL_TIOCMGET "fail_tiocmget"
// The same for TIOCMSET, TIOCMBIS and TIOCMBIC (lines that cannot be changed).
#define BOARDSIM_TTY_FAIL_TIOCMSET "fail_tiocmset"

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

// The simulated reset controller on i2c-dev bus BUS ("i2c-0" for /dev/i2c-0) lives in
// DIR "/i2c/" BUS; the bus exists while that folder does.
#define BOARDSIM_I2C_OPEN_ERROR "open_error"        // errno an open fails with; 0: opens
#define BOARDSIM_I2C_ADDRESS_ERROR "address_error"  // errno I2C_SLAVE 0x10 fails with
#define BOARDSIM_I2C_RETRIES "retries"              // last I2C_RETRIES value
#define BOARDSIM_I2C_TIMEOUT "timeout"              // last I2C_TIMEOUT value (10 ms units)
#define BOARDSIM_I2C_REG "reg"                      // reg/N: register N, 0 to 255
#define BOARDSIM_I2C_READ_ERROR "read_error"        // read_error/N: errno a read of N fails with
#define BOARDSIM_I2C_WRITE_ERROR "write_error"      // write_error/N: the same for writes
#define BOARDSIM_I2C_COMMAND_LOG "command_log"      // "<stamp> 0xNN" per byte written to reg 0
// The board driver's dying-gasp requests, one "<stamp>" line each, in DIR.
#define BOARDSIM_GASP_LOG "board/gasp_log"
// While DIR/clock exists, time() answers the number of seconds it holds.
#define BOARDSIM_CLOCK "clock"

constexpr int BOARDSIM_I2C_ADDRESS = 0x10;  // the reset controller's address
constexpr int BOARDSIM_I2C_REGISTERS = 256;

// Writes DIR "/i2c/" BUS into OUT, followed by "/" NAME when NAME is not null and by "/" REG
// when REG is not negative; false if it does not fit.
bool boardsim_i2c_path(char *out, size_t size, const char *dir, const char *bus, const char *name,
                       int reg);

// Writes DIR "/" NAME into OUT; false if it does not fit.
bool boardsim_dir_path(char *out, size_t size, const char *dir, const char *name);

// Fault files name the errno value to fail with ("EIO"), so that the same folder serves the
// host and the target builds, whose numbers differ; a decimal number is taken as it is.
struct boardsim_errno_name {
    const char *name;
    int value;
};

constexpr boardsim_errno_name boardsim_errno_names[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},       {"EIO", EIO},
    {"ENXIO", ENXIO},   {"EAGAIN", EAGAIN},       {"EACCES", EACCES},
    {"EBUSY", EBUSY},   {"ENODEV", ENODEV},       {"EINVAL", EINVAL},
    {"EPROTO", EPROTO}, {"ETIMEDOUT", ETIMEDOUT}, {"EREMOTEIO", EREMOTEIO},
};

// The errno value FILE names: 0 when the file is missing, empty or holds 0; EIO for a name
// not in the table.
int boardsim_read_errno(const char *file);

// Appends "<unix seconds>.<microseconds>" (the real-time clock, six digits after the point),
// then TAIL and a newline, to FILE; false (errno set) on failure.
bool boardsim_append_stamp(const char *file, const char *tail);
// Replaces FILE with SIZE bytes of DATA, as boardsim_write_number does; false (errno set) on
// failure.
bool boardsim_write_file(const char *file, const void *data, size_t size);

// Fault injection: the file DIR "/fail/" REQUEST (for example "mem.mmap") holds the errno name
// or number REQUEST fails with; missing or 0, it succeeds. Writes that path into OUT; false if it
// does not fit.
bool boardsim_fail_path(char *out, size_t size, const char *dir, const char *request);
// The errno value REQUEST is to fail with, or 0.
int boardsim_fault(const char *dir, const char *request);

// The board driver's scratch pad: one file per entry in DIR "/brcmboard/scratch/". Entry names
// are stored with every byte other than A-Z a-z 0-9 _ - written as %XX, so any name is one
// plain file name and a name holding '.' is never an entry (temporary files are).
#define BOARDSIM_SCRATCH_DIR "/brcmboard/scratch"
// When present, the signed decimal number in this file (below DIR) is what the length query
// answers for every entry, in place of the entry's negated length.
#define BOARDSIM_LEN_ANSWER "/brcmboard/len_answer"
// Room for an entry name and its terminator.
constexpr size_t BOARDSIM_SCRATCH_NAME_MAX = 256;

// Writes the path of entry NAME (of the folder when NAME is null) into OUT; false with errno
// EINVAL (empty name) or ENAMETOOLONG when there is none.
bool boardsim_scratch_path(char *out, size_t size, const char *dir, const char *name);
// The entry name stored as file name FILE, into OUT (room for BOARDSIM_SCRATCH_NAME_MAX);
// false when FILE is not an entry.
bool boardsim_scratch_name(const char *file, char *out);
// The name of the entry following AFTER in byte order (the first one when AFTER is null) in
// the open scratch folder FOLDER, into OUT (room for BOARDSIM_SCRATCH_NAME_MAX); false when
// there is none. Allocates nothing.
bool boardsim_scratch_next(int folder, const char *after, char *out);
