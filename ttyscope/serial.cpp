// ttyscope's serial-port layer: port settings, modem lines and the modem-line watch.
#include "serial.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "line_speeds.h"
#include "terminal.h"

namespace {

constexpr cc_t XON = 0x11;
constexpr cc_t XOFF = 0x13;

// No word has been read yet.
constexpr uint32_t MCTRL_NONE = 0xffffffffu;
uint32_t last_mctrl = MCTRL_NONE;

// A failed tcgetattr or tcsetattr: the message names tcsetattr either way.
void report_termios_error(int error)
{
    fprintf(stdout_is_tty ? stdout : stderr, "tcsetattr : %s\n", strerror(error));
    fflush(stdout);
}

int set_line(int fd, int bit, int on)
{
    int word = serial_get_mctrl(fd);
    if (word < 0)
        return -1; // writing back a word we never read could drop the other lines
    if (on == 1)
        word |= bit;
    else
        word &= ~bit;
    return ioctl(fd, TIOCMSET, &word) == 0 ? 0 : -1;
}

} // namespace

speed_t serial_speed(int rate)
{
    return line_speed_of(rate, SPEED_TTYSCOPE, B0);
}

int serial_open(const char *path, int rate, int rtscts, int xonxoff)
{
    // Checked first: opening a port raises DTR, which resets some attached boards.
    speed_t speed = serial_speed(rate);
    if (speed == B0) {
        fputs("Illegal baudrate supplied\n", stderr);
        exit(1);
    }
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        perror(path);
        exit(1);
    }

    // Built from nothing: no earlier setting of the port survives.
    termios t{};
    t.c_iflag = IGNPAR;
    if (xonxoff) {
        t.c_iflag |= IXON | IXOFF | IXANY;
        t.c_cc[VSTART] = XON;
        t.c_cc[VSTOP] = XOFF;
    }
    t.c_oflag = OPOST;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    if (rtscts)
        t.c_cflag |= CRTSCTS;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        report_termios_error(errno);
    return fd;
}

int set_noncanonical(int fd, termios *saved)
{
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        report_termios_error(errno);
        return -1;
    }
    if (saved)
        *saved = t;
    t.c_lflag = 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        report_termios_error(errno);
    return 0;
}

int serial_set_rts(int fd, int on) { return set_line(fd, TIOCM_RTS, on); }

int serial_set_dtr(int fd, int on) { return set_line(fd, TIOCM_DTR, on); }

int serial_get_mctrl(int fd)
{
    int word = 0;
    if (ioctl(fd, TIOCMGET, &word) != 0)
        return -1;
    return word;
}

void show_modemstatus()
{
    static constexpr struct {
        int bit;
        const char *on, *off;
    } lines[] = {
        {TIOCM_DTR, "DTR", "dtr"}, {TIOCM_DSR, "DSR", "dsr"}, {TIOCM_CAR, "DCD", "dcd"},
        {TIOCM_RTS, "RTS", "rts"}, {TIOCM_CTS, "CTS", "cts"}, {TIOCM_RNG, "RI", "ri"},
    };
    int word = serial_get_mctrl(serial_fd);
    if (word < 0) {
        int error = errno;
        show_error("Error reading modem lines: %s", strerror(error));
        return;
    }
    char text[64];
    size_t len = 0;
    for (const auto &l : lines)
        len += static_cast<size_t>(
            snprintf(text + len, sizeof text - len, "[%s] ", (word & l.bit) ? l.on : l.off));
    show_message("%s", text);
}

int poll_modemstatus(void *)
{
    int word = serial_get_mctrl(serial_fd);
    if (word < 0)
        return 1; // unknown: as if nothing changed
    uint32_t now = static_cast<uint32_t>(word);
    if (last_mctrl != MCTRL_NONE && now != last_mctrl)
        show_modemstatus();
    last_mctrl = now;
    return 1;
}
