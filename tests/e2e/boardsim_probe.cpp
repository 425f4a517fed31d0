// Test program for the simulated board: opens a serial device the way ferrod and ttyscope do
// (or an i2c-dev bus) and performs the operations named on its command line, one result line
// each.
#include "boardsim_state.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

// The checked open variants that fortified programs call; not declared without fortification.
// glibc has them; a C library without them (uClibc-ng) leaves them out of the build.
#if PROBE_CHECKED_OPEN
extern "C" int __open_2(const char *path, int flags);
extern "C" int __open64_2(const char *path, int flags);
extern "C" int __openat_2(int dirfd, const char *path, int flags);
extern "C" int __openat64_2(int dirfd, const char *path, int flags);
#endif

namespace {

const char USAGE[] =
    "usage: boardsim_probe [--via open|open64|openat|openat64|open_2|open64_2|openat_2|openat64_2]"
    " PATH OP...\n"
    "ops: get, get-null, set DTR RTS, tiocmset MASK, bis dtr|rts, bic dtr|rts, break,\n"
    "     tcsbrk ARG, tcsbrkp ARG, sbrk, cbrk, hupcl on|off, winsz, chdir DIR,\n"
    "     wait (for a line on stdin),\n"
    "     open (again; later ops use it), close (later ops use the previous one),\n"
    "     close-keep (close but keep using the number),\n"
    "     slave ADDR, rd REG, wr REG VALUE (i2c-dev: address, byte-data read and write)\n";

// The errors the simulated board can be made to answer with and those the device calls give
// by themselves, by name; any other as its number.
const char *error_name(int error)
{
    static const boardsim_errno_name more[] = {
        {"ENOTTY", ENOTTY}, {"EBADF", EBADF}, {"EFAULT", EFAULT}, {"ENOSYS", ENOSYS}};
    for (const boardsim_errno_name &e : boardsim_errno_names)
        if (e.value == error)
            return e.name;
    for (const boardsim_errno_name &e : more)
        if (e.value == error)
            return e.name;
    static char number[32];
    snprintf(number, sizeof number, "errno %d", error);
    return number;
}

int open_via(const char *via, const char *path)
{
    const int flags = O_RDWR | O_NOCTTY;
    if (strcmp(via, "open") == 0)
        return open(path, flags);
    if (strcmp(via, "open64") == 0)
        return open64(path, flags);
    if (strcmp(via, "openat") == 0)
        return openat(AT_FDCWD, path, flags);
    if (strcmp(via, "openat64") == 0)
        return openat64(AT_FDCWD, path, flags);
#if PROBE_CHECKED_OPEN
    if (strcmp(via, "open_2") == 0)
        return __open_2(path, flags);
    if (strcmp(via, "open64_2") == 0)
        return __open64_2(path, flags);
    if (strcmp(via, "openat_2") == 0)
        return __openat_2(AT_FDCWD, path, flags);
    if (strcmp(via, "openat64_2") == 0)
        return __openat64_2(AT_FDCWD, path, flags);
#endif
    fprintf(stderr, "unknown open variant %s\n", via);
    exit(2);
}

int line_bit(const char *name)
{
    if (strcmp(name, "dtr") == 0)
        return TIOCM_DTR;
    if (strcmp(name, "rts") == 0)
        return TIOCM_RTS;
    fprintf(stderr, "unknown line %s\n", name);
    exit(2);
}

void report(const char *op, int rc)
{
    if (rc == 0)
        printf("%s: ok\n", op);
    else
        printf("%s: %s\n", op, error_name(errno));
}

void print_lines(int mask)
{
    printf("get: DTR=%d RTS=%d CTS=%d DCD=%d DSR=%d RI=%d\n", (mask & TIOCM_DTR) != 0,
           (mask & TIOCM_RTS) != 0, (mask & TIOCM_CTS) != 0, (mask & TIOCM_CAR) != 0,
           (mask & TIOCM_DSR) != 0, (mask & TIOCM_RNG) != 0);
}

const char *next_arg(int argc, char **argv, int *i)
{
    if (*i + 1 >= argc) {
        fprintf(stderr, "%s needs an argument\n", argv[*i]);
        exit(2);
    }
    return argv[++*i];
}

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int i = 1;
    const char *via = "open";
    if (i + 1 < argc && strcmp(argv[i], "--via") == 0) {
        via = argv[i + 1];
        i += 2;
    }
    if (i >= argc) {
        fputs(USAGE, stderr);
        return 2;
    }
    const char *path = argv[i++];
    std::vector<int> fds;
    int fd = open_via(via, path);
    if (fd < 0) {
        printf("open: %s\n", error_name(errno));
        return 1;
    }
    fds.push_back(fd);

    for (; i < argc; i++) {
        const char *op = argv[i];
        fd = fds.empty() ? -1 : fds.back();
        if (strcmp(op, "get") == 0) {
            int mask = 0;
            if (ioctl(fd, TIOCMGET, &mask) == 0)
                print_lines(mask);
            else
                report(op, -1);
        } else if (strcmp(op, "get-null") == 0) {
            report(op, ioctl(fd, TIOCMGET, static_cast<int *>(nullptr)));
        } else if (strcmp(op, "set") == 0) {
            int mask = atoi(next_arg(argc, argv, &i)) != 0 ? TIOCM_DTR : 0;
            mask |= atoi(next_arg(argc, argv, &i)) != 0 ? TIOCM_RTS : 0;
            report(op, ioctl(fd, TIOCMSET, &mask));
        } else if (strcmp(op, "tiocmset") == 0) {
            int mask = atoi(next_arg(argc, argv, &i));
            report(op, ioctl(fd, TIOCMSET, &mask));
        } else if (strcmp(op, "bis") == 0 || strcmp(op, "bic") == 0) {
            int mask = line_bit(next_arg(argc, argv, &i));
            report(op, ioctl(fd, op[2] == 's' ? TIOCMBIS : TIOCMBIC, &mask));
        } else if (strcmp(op, "break") == 0) {
            report(op, tcsendbreak(fd, 0));
        } else if (strcmp(op, "tcsbrk") == 0 || strcmp(op, "tcsbrkp") == 0) {
            int arg = atoi(next_arg(argc, argv, &i));
            report(op, ioctl(fd, op[6] == 'p' ? TCSBRKP : TCSBRK, arg));
        } else if (strcmp(op, "sbrk") == 0) {
            report(op, ioctl(fd, TIOCSBRK));
        } else if (strcmp(op, "cbrk") == 0) {
            report(op, ioctl(fd, TIOCCBRK));
        } else if (strcmp(op, "hupcl") == 0) {
            bool on = strcmp(next_arg(argc, argv, &i), "on") == 0;
            termios tio;
            int rc = tcgetattr(fd, &tio);
            if (rc == 0) {
                tio.c_cflag = on ? (tio.c_cflag | HUPCL) : (tio.c_cflag & ~tcflag_t{HUPCL});
                rc = tcsetattr(fd, TCSANOW, &tio);
            }
            report(op, rc);
        } else if (strcmp(op, "winsz") == 0) {
            winsize ws{};
            if (ioctl(fd, TIOCGWINSZ, &ws) == 0)
                printf("winsz: %u %u\n", ws.ws_row, ws.ws_col);
            else
                report(op, -1);
        } else if (strcmp(op, "chdir") == 0) {
            report(op, chdir(next_arg(argc, argv, &i)));
        } else if (strcmp(op, "wait") == 0) {
            printf("wait: ready\n");
            char line[16];
            if (fgets(line, sizeof line, stdin) == nullptr)
                return 1;
        } else if (strcmp(op, "open") == 0) {
            int again = open_via(via, path);
            if (again >= 0)
                fds.push_back(again);
            report(op, again < 0 ? -1 : 0);
        } else if (strcmp(op, "close") == 0 || strcmp(op, "close-keep") == 0) {
            int rc = close(fd);
            if (strcmp(op, "close") == 0 && !fds.empty())
                fds.pop_back();
            report(op, rc);
        } else if (strcmp(op, "slave") == 0) {
            report(op, ioctl(fd, I2C_SLAVE, strtoul(next_arg(argc, argv, &i), nullptr, 0)));
        } else if (strcmp(op, "rd") == 0 || strcmp(op, "wr") == 0) {
            bool write = op[0] == 'w';
            i2c_smbus_data value{};
            i2c_smbus_ioctl_data args{};
            args.read_write = write ? I2C_SMBUS_WRITE : I2C_SMBUS_READ;
            args.command = static_cast<__u8>(atoi(next_arg(argc, argv, &i)));
            args.size = I2C_SMBUS_BYTE_DATA;
            args.data = &value;
            if (write)
                value.byte = static_cast<__u8>(atoi(next_arg(argc, argv, &i)));
            int rc = ioctl(fd, I2C_SMBUS, &args);
            if (rc == 0 && !write)
                printf("rd: %d\n", value.byte);
            else
                report(op, rc);
        } else {
            fprintf(stderr, "unknown op %s\n%s", op, USAGE);
            return 2;
        }
    }
    // Close the way a program shutting down does, newest first.
    while (!fds.empty()) {
        close(fds.back());
        fds.pop_back();
    }
    return 0;
}
