// The reset controller on the I2C bus: bus set-up, register access, the register map and the
// decoders of its version, board revision, board annex and date.
#pragma once

#include <stddef.h>

// The controller's 7-bit address.
constexpr int CONTROLLER_ADDRESS = 0x10;

// Registers (all 8 bits wide).
enum controller_register : int {
    REG_COMMAND = 0,          // write a command byte
    REG_VERSION_MAJOR = 1,
    REG_VERSION_MINOR_HI = 2, // minor = high * 256 + low
    REG_VERSION_MINOR_LO = 3,
    REG_STATUS = 5,           // STATUS_* bits
    REG_WDT_RESETS = 6,
    REG_BROWNOUT_RESETS = 7,
    REG_POWERON_RESETS = 8,
    REG_WDT_EDGE_MAX = 9,     // longest time between two watchdog edges, in ticks
    REG_YEAR = 10,            // years after 2000
    REG_MONTH = 11,           // 1 to 12; 0 while the date was never set
    REG_DAY = 12,
    REG_TESTPOINTS = 13,      // bit 0 board annex, bits 1 to 3 board revision index
    REG_EXTERNAL_RESETS = 24,
    REG_MAX_TEMPERATURE = 25, // degrees Celsius
};

// The years REG_YEAR can hold: 0 is 2000, 255 is 2255.
constexpr int YEAR_FIRST = 2000;
constexpr int YEAR_LAST = YEAR_FIRST + 255;

// Command bytes for REG_COMMAND.
constexpr int CMD_SOFT_RESET = '0';
constexpr int CMD_HARD_RESET = '1';
constexpr int CMD_RESET_TINY = '2';
constexpr int CMD_CLEAR_COUNTERS = '5';
constexpr int CMD_CONSOLE_MODE = '6';

constexpr int STATUS_WDT_ENABLED = 1 << 0;
constexpr int STATUS_CONSOLE_MODE = 1 << 1;
constexpr int STATUS_WDT_ACTIVE = 1 << 3;

// Watchdog edge ticks per second (REG_WDT_EDGE_MAX).
constexpr double WDT_TICKS_PER_SECOND = 3.814;

// Room for the version text.
constexpr size_t VERSION_TEXT_SIZE = 32;

// The open bus every register access goes through.
extern int i2c_fd;

extern const char *const board_revision_names[8];

enum i2c_bus_result { I2C_BUS_OK, I2C_BUS_OPEN_FAILED, I2C_BUS_ADDRESS_FAILED };

// Opens PATH read-write and addresses the controller on it (retries 2, time-out 40 ms). On
// success the new descriptor is in *FD; on failure errno tells why and nothing stays open.
i2c_bus_result open_i2c_bus(const char *path, int *fd);

// Register REG's value (0 to 255), or -1 after a failed read, reported with perror.
int read_register(int reg);
// Writes VALUE (taken modulo 256) to REG; false after a failed write, reported with perror.
bool write_register(int reg, int value);

// Fills OUT (VERSION_TEXT_SIZE bytes) with "MAJOR.MINOR", or "pre-1.0" when a version
// register cannot be read.
void read_version_string(char *out);
// Fills OUT with the board revision name; empty when register 13 cannot be read.
void read_board_revision(char *out);
// 'A' or 'B', or '?' when register 13 cannot be read.
char read_board_annex();

// The pure decoders behind them.
void format_version(char *out, int major, int minor_hi, int minor_lo);
const char *board_revision_name(int testpoints);
char board_annex(int testpoints);
double wdt_edge_seconds(int ticks);

// True when the date registers hold a real calendar date of 2000 to 2099 (month 1 to 12, a
// day that month has).
bool date_registers_valid(int year, int month, int day);
