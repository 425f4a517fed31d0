// Register access to the reset controller over i2c-dev SMBus byte-data transfers.
#include "controller.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern "C" {
#include <i2c/smbus.h>
}

int i2c_fd = -1;

const char *const board_revision_names[8] = {"1.0", "1.2", "1.x", "1.x",
                                             "1.x", "1.x", "1.x", "1.x"};

namespace {

constexpr unsigned long BUS_RETRIES = 2;
constexpr unsigned long BUS_TIMEOUT = 4; // units of 10 ms
constexpr char VERSION_UNKNOWN[] = "pre-1.0";
constexpr int LAST_YEAR_REG = 99;
constexpr int MONTHS = 12;

bool is_leap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

} // namespace

i2c_bus_result open_i2c_bus(const char *path, int *fd)
{
    int bus = open(path, O_RDWR);
    if (bus < 0)
        return I2C_BUS_OPEN_FAILED;
    // Retries and time-out are best effort: a driver without them still works.
    ioctl(bus, I2C_RETRIES, BUS_RETRIES);
    ioctl(bus, I2C_TIMEOUT, BUS_TIMEOUT);
    if (ioctl(bus, I2C_SLAVE, static_cast<unsigned long>(CONTROLLER_ADDRESS)) < 0) {
        int error = errno;
        close(bus);
        errno = error;
        return I2C_BUS_ADDRESS_FAILED;
    }
    *fd = bus;
    return I2C_BUS_OK;
}

int read_register(int reg)
{
    // libi2c answers a failed transfer with the negative errno value, not always -1.
    int value = i2c_smbus_read_byte_data(i2c_fd, static_cast<__u8>(reg));
    if (value < 0) {
        perror("i2c_smbus_read_byte_data");
        return -1;
    }
    return value;
}

bool write_register(int reg, int value)
{
    if (i2c_smbus_write_byte_data(i2c_fd, static_cast<__u8>(reg), static_cast<__u8>(value)) < 0) {
        perror("i2c_smbus_write_byte_data");
        return false;
    }
    return true;
}

void format_version(char *out, int major, int minor_hi, int minor_lo)
{
    snprintf(out, VERSION_TEXT_SIZE, "%d.%d", major, (minor_hi << 8) | minor_lo);
}

void read_version_string(char *out)
{
    char text[VERSION_TEXT_SIZE];
    memcpy(text, VERSION_UNKNOWN, sizeof VERSION_UNKNOWN);
    // A version made of half-read registers would be wrong: any failure keeps "pre-1.0".
    int major = read_register(REG_VERSION_MAJOR);
    int minor_hi = major < 0 ? -1 : read_register(REG_VERSION_MINOR_HI);
    int minor_lo = minor_hi < 0 ? -1 : read_register(REG_VERSION_MINOR_LO);
    if (minor_lo >= 0)
        format_version(text, major, minor_hi, minor_lo);
    memcpy(out, text, sizeof text);
}

const char *board_revision_name(int testpoints)
{
    return board_revision_names[(testpoints >> 1) & 7];
}

char board_annex(int testpoints)
{
    return (testpoints & 1) != 0 ? 'B' : 'A';
}

void read_board_revision(char *out)
{
    out[0] = '\0';
    int testpoints = read_register(REG_TESTPOINTS);
    if (testpoints >= 0)
        strcpy(out, board_revision_name(testpoints));
}

char read_board_annex()
{
    int testpoints = read_register(REG_TESTPOINTS);
    return testpoints < 0 ? '?' : board_annex(testpoints);
}

double wdt_edge_seconds(int ticks)
{
    return static_cast<double>(ticks) / WDT_TICKS_PER_SECOND;
}

bool date_registers_valid(int year, int month, int day)
{
    static const int days[MONTHS] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 0 || year > LAST_YEAR_REG || month < 1 || month > MONTHS || day < 1)
        return false;
    int last = days[month - 1] + (month == 2 && is_leap(YEAR_FIRST + year) ? 1 : 0);
    return day <= last;
}
