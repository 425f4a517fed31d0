// sentryctl: the reset controller's command-line tool. Each option is one action, run in the
// order given against the open bus.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "board_ioctl.h"
#include "controller.h"

namespace {

constexpr char DEFAULT_BUS[] = "/dev/i2c-0";
constexpr char BOARD_DEVICE[] = "/dev/brcmboard";
constexpr long DYING_GASP_PAUSE_NS = 200L * 1000 * 1000;
constexpr size_t DATE_COMMAND_SIZE = 64;
constexpr int EXIT_BUS = 255;

void usage()
{
    puts("Tarvix Resetcontroller tool\n"
         "usage: sentryctl [options]\n"
         "options:\n"
         " -b     I2C bus to use [/dev/i2c-0]\n"
         " -i     Show resetcontroller info\n"
         " -z     Zero all counters\n"
         " -d     Initiate dying gasp\n"
         " -c     Enable console mode/Disable watchdog\n"
         " -r     Reset host (soft)\n"
         " -R     Reset host (hard)\n"
         " -T     Reset tiny\n"
         " -t n   Read time from resetcontroller and write to stdout\n"
         " -t r   Read time from resetcontroller and set system clock accordingly\n"
         " -t w   Write system time to resetcontroller");
}

// Opens PATH as the bus for the options that follow; exits on failure.
void use_bus(const char *path)
{
    int fd;
    switch (open_i2c_bus(path, &fd)) {
    case I2C_BUS_OK:
        i2c_fd = fd;
        return;
    case I2C_BUS_OPEN_FAILED:
        fprintf(stderr, "Can't open %s: %s\n", path, strerror(errno));
        break;
    case I2C_BUS_ADDRESS_FAILED:
        fprintf(stderr, "Could not set I2C address: %s\n", strerror(errno));
        break;
    }
    exit(EXIT_BUS);
}

// Writes REG or ends the run: nothing after a failed write may look like success.
void write_or_exit(int reg, int value)
{
    if (!write_register(reg, value))
        exit(1);
}

// Announces an imminent power loss through the board driver, then gives the board 200 ms to
// act on it. Nothing here is checked: the reset that follows must happen regardless.
void trigger_dying_gasp()
{
    int fd = open(BOARD_DEVICE, O_RDWR);
    ioctl(fd, BOARD_IOCTL_DYING_GASP, nullptr);
    close(fd);
    timespec pause{0, DYING_GASP_PAUSE_NS};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

void reset(int command)
{
    trigger_dying_gasp();
    write_or_exit(REG_COMMAND, command);
}

void show_info()
{
    char text[VERSION_TEXT_SIZE];
    read_version_string(text);
    printf("Resetcontroller version:        %s\n", text);
    read_board_revision(text);
    printf("Board revision:                 %s\n", text);
    printf("Board annex:                    %c\n", read_board_annex());

    int status = read_register(REG_STATUS);
    printf("Resetcontroller status bits:    0x%02x", status);
    if (status & STATUS_WDT_ENABLED)
        printf(" wdt_enabled");
    if (status & STATUS_CONSOLE_MODE)
        printf(" console_mode");
    if (status & STATUS_WDT_ACTIVE)
        printf(" wdt_active");
    printf("\n");

    printf("Watchdog resets:                %d\n", read_register(REG_WDT_RESETS));
    printf("Brown-out resets:               %d\n", read_register(REG_BROWNOUT_RESETS));
    printf("External resets:                %d\n", read_register(REG_EXTERNAL_RESETS));
    printf("Power-on resets:                %d\n", read_register(REG_POWERON_RESETS));
    printf("Max time between WDT edges:     %.1f sec\n",
           wdt_edge_seconds(read_register(REG_WDT_EDGE_MAX)));
    printf("Testpoints:                     0x%02x\n", read_register(REG_TESTPOINTS));
    printf("Max temperature:                %d \xc2\xb0"
           "C\n",
           read_register(REG_MAX_TEMPERATURE));
}

// Reads the controller's date; exits when a register cannot be read or holds no date.
void read_date(int *year, int *month, int *day)
{
    *year = read_register(REG_YEAR);
    if (*year < 0)
        exit(1);
    *month = read_register(REG_MONTH);
    if (*month < 0)
        exit(1);
    *day = read_register(REG_DAY);
    if (*day < 0)
        exit(1);
    if (*month == 0) {
        fputs("Date not initialized in resetcontroller\n", stderr);
        exit(1);
    }
    if (!date_registers_valid(*year, *month, *day)) {
        fprintf(stderr, "Invalid date in resetcontroller (year %d, month %d, day %d)\n", *year,
                *month, *day);
        exit(1);
    }
}

void print_date()
{
    int year, month, day;
    read_date(&year, &month, &day);
    printf("20%02d-%02d-%02d\n", year, month, day);
}

void set_system_date()
{
    int year, month, day;
    read_date(&year, &month, &day);
    char command[DATE_COMMAND_SIZE];
    snprintf(command, sizeof command, "date %02d%02d000020%02d", month, day, year);
    printf("Running command '%s'\n", command);
    // The shell's output must come after ours.
    fflush(stdout);
    if (system(command) != 0) {
        fputs("Error setting system date\n", stderr);
        exit(1);
    }
}

void write_date()
{
    time_t now = time(nullptr);
    tm local;
    if (localtime_r(&now, &local) == nullptr) {
        perror("localtime_r");
        exit(1);
    }
    int year = local.tm_year + 1900;
    if (year < YEAR_FIRST || year > YEAR_LAST) {
        fprintf(stderr,
                "System date %04d-%02d-%02d is outside the years the resetcontroller can hold "
                "(%d to %d)\n",
                year, local.tm_mon + 1, local.tm_mday, YEAR_FIRST, YEAR_LAST);
        exit(1);
    }
    write_or_exit(REG_YEAR, year - YEAR_FIRST);
    write_or_exit(REG_MONTH, local.tm_mon + 1);
    write_or_exit(REG_DAY, local.tm_mday);
}

void date_option(const char *how)
{
    if (strcmp(how, "n") == 0) {
        print_date();
    } else if (strcmp(how, "r") == 0) {
        set_system_date();
    } else if (strcmp(how, "w") == 0) {
        write_date();
    } else {
        fputs("Illegal option to -t\n", stderr);
        usage();
        exit(1);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage();
        return 1;
    }
    use_bus(DEFAULT_BUS);

    int opt;
    while ((opt = getopt(argc, argv, "b:dihzcrRTt:m:")) != -1) {
        switch (opt) {
        case 'b':
            // The previous bus stays open, as it always has.
            use_bus(optarg);
            break;
        case 'i':
            show_info();
            break;
        case 'z':
            write_or_exit(REG_COMMAND, CMD_CLEAR_COUNTERS);
            break;
        case 'd':
            trigger_dying_gasp();
            break;
        case 'c':
            write_or_exit(REG_COMMAND, CMD_CONSOLE_MODE);
            break;
        case 'r':
            reset(CMD_SOFT_RESET);
            break;
        case 'R':
            reset(CMD_HARD_RESET);
            break;
        case 'T':
            reset(CMD_RESET_TINY);
            break;
        case 't':
            date_option(optarg);
            break;
        case 'm':
            write_or_exit(REG_MAX_TEMPERATURE, static_cast<int>(static_cast<unsigned>(atoi(optarg)) % 256u));
            break;
        case 'h':
            usage();
            return 0;
        default:
            usage();
            return 1;
        }
    }
    close(i2c_fd);
    return 0;
}
