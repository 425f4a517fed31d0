// Serial channels: line settings, batched reception, transmission, modem lines, DCD watch,
// and recovery of a device that disappears.
#include "serial.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "client.h"
#include "config.h"
#include "leds.h"
#include "line_speeds.h"
#include "log.h"
#include "mainloop.h"
#include "rfc2217.h"
#include "stats.h"

namespace {

int dcd_state = -1;

void serial_set_dtr_rts(int fd, int dtr, int rts)
{
    int bits = 0;
    ioctl(fd, TIOCMGET, &bits);
    bits = dtr ? bits | TIOCM_DTR : bits & ~TIOCM_DTR;
    bits = rts ? bits | TIOCM_RTS : bits & ~TIOCM_RTS;
    ioctl(fd, TIOCMSET, &bits);
}

// Opens and configures the device; -1 when it cannot be opened.
int serial_open(const char *device, const serial_settings &s)
{
    // Non-blocking: a write to a device that does not drain waits in the loop, where a stop
    // signal can end it (serial_tx); reads never wait (the line settings return at once).
    int fd = open(device, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios t = serial_termios(s);
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        fr_log(LG_WRN, "Error configuring serial port: %s", strerror(errno));
    serial_set_dtr_rts(fd, 0, 0);
    return fd;
}

int on_serial_read(int fd, void *data);
int on_serial_reopen(void *data);

void add_bytes(uint64_t &counter, int n) { counter += static_cast<uint64_t>(n); }

// One block to every client, counted once.
void hand_on(serial_channel *ch, const unsigned char *block, int len)
{
    daemon_config *cfg = ch->cfg;
    client *next;
    for (client *c = cfg->clients; c; c = next) {
        next = c->next;
        client_write(c, block, len);
    }
    if (cfg->stats)
        add_bytes(cfg->stats->bytes_rx, len);
}

int serial_flush(void *data)
{
    auto *ch = static_cast<serial_channel *>(data);
    if (ch->fill == 0)
        return 0;
    hand_on(ch, ch->buf, ch->fill);
    ch->fill = 0;
    return 0;
}

// Every full block in the buffer goes out on its own, as if each had been read by itself;
// the rest, less than a block, moves to the front.
void hand_on_full_blocks(serial_channel *ch)
{
    int off = 0;
    for (; ch->fill - off >= ch->bufsize; off += ch->bufsize)
        hand_on(ch, ch->buf + off, ch->bufsize);
    if (off > 0) {
        ch->fill -= off;
        memmove(ch->buf, ch->buf + off, static_cast<size_t>(ch->fill));
    }
}

// The device failed or went away: stop watching it and try to open it again every second
// rather than spinning on a descriptor that stays readable with an error.
void serial_lost(serial_channel *ch)
{
    mainloop_fd_del(ch->fd, MAINLOOP_READ, on_serial_read, ch);
    close(ch->fd);
    ch->fd = -1;
    mainloop_timer_add(1, 0, on_serial_reopen, ch);
}

int on_serial_reopen(void *data)
{
    auto *ch = static_cast<serial_channel *>(data);
    int fd = serial_open(ch->name, ch->settings);
    if (fd < 0)
        return 1;
    ch->fd = fd;
    mainloop_fd_add(fd, MAINLOOP_READ, on_serial_read, ch);
    if (ch->primary)
        serial_update_dtr(ch);
    fr_log(LG_INF, "Serial port %s is back", ch->name);
    return 0;
}

// A read takes up to a few blocks at once, and while the line keeps filling the room the next
// read follows at once, a few times, instead of a trip through select() for every block.
constexpr int READS_PER_EVENT = 8;
constexpr int ROOM_MAX = 16384;

int on_serial_read(int fd, void *data)
{
    auto *ch = static_cast<serial_channel *>(data);
    for (int reads = 0; reads < READS_PER_EVENT; reads++) {
        int room = ch->room - ch->fill;
        ssize_t n = read(fd, ch->buf + ch->fill, static_cast<size_t>(room));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                return 0;
            fr_log(LG_WRN, "Error reading from serial port: %s", strerror(errno));
            serial_lost(ch);
            return -1;
        }
        if (n == 0) {
            // After a read that filled the room an empty one only means the line is quiet
            // (reads return at once); as the first read it means the device is gone.
            if (reads > 0)
                return 0;
            fr_log(LG_WRN, "Serial port %s closed (end of file)", ch->name);
            serial_lost(ch);
            return -1;
        }

        fr_log(LG_DBG, "Rx serial %s", ch->name);
        fr_loghex("rx serial", ch->buf + ch->fill, static_cast<size_t>(n));
        ch->fill += static_cast<int>(n);
        if (ch->cfg->do_leds)
            led_blink(LED_TXD);

        hand_on_full_blocks(ch);
        if (n < room) {
            // The line paused: what is left waits for the quiet time.
            if (ch->fill > 0) {
                int ms = ch->cfg->tx_timeout;
                mainloop_timer_add(ms / 1000, ms % 1000, serial_flush, ch);
            }
            return 0;
        }
    }
    return 0;
}

int poll_dcd(void *data)
{
    auto *ch = static_cast<serial_channel *>(data);
    int dcd = (serial_get_control_signals(ch) & TIOCM_CAR) ? 1 : 0;
    if (dcd != dcd_state) {
        fr_log(LG_INF, "DCD state changed: %d -> %d\n", dcd_state, dcd);
        dcd_state = dcd;
    }
    return 1;
}

} // namespace

speed_t serial_speed(int baudrate)
{
    return line_speed_of(baudrate, SPEED_FERROD, B115200);
}

termios serial_termios(const serial_settings &s)
{
    termios t{};
    t.c_iflag = IGNPAR;
    t.c_oflag = OPOST;
    t.c_cflag = CREAD | HUPCL | CLOCAL;
    if (s.parity == 'e')
        t.c_cflag |= PARENB;
    else if (s.parity == 'o')
        t.c_cflag |= PARENB | PARODD;
    switch (s.databits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
    }
    if (s.stopbits == 2)
        t.c_cflag |= CSTOPB;
    if (s.flow == 1)
        t.c_cflag |= CRTSCTS;
    speed_t speed = serial_speed(s.baudrate);
    if (s.exact_baud)
        rfc2217_speed(s.baudrate, &speed);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return t;
}

serial_channel *serial_init(daemon_config *cfg, const char *device, int baudrate, char parity,
                            int databits, int stopbits, int flow, int bufsize, int primary)
{
    fr_log(LG_DBG, "Opening serial port %s at %d baud", device, baudrate);
    serial_settings settings{baudrate, parity, databits, stopbits, flow};
    int fd = serial_open(device, settings);
    if (fd < 0)
        fr_log(LG_FTL, "Could not open serial port: %s", strerror(errno));

    auto *ch = fr_new(serial_channel, "Not enough memory for serial port %s", device);
    // A few whole blocks per read, within ROOM_MAX unless one block is larger. Whole blocks:
    // a read that fills the room leaves nothing behind that would need the flush timer.
    int room = bufsize * std::max(1, std::min(READS_PER_EVENT, ROOM_MAX / bufsize));
    auto *buf = fr_need(new (std::nothrow) unsigned char[static_cast<size_t>(room)],
                        "Not enough memory for serial port %s", device);
    copy_field(ch->name, device);
    ch->cfg = cfg;
    ch->fd = fd;
    ch->bufsize = bufsize;
    ch->room = room;
    ch->buf = buf;
    ch->settings = settings;
    ch->primary = primary;

    mainloop_fd_add(fd, MAINLOOP_READ, on_serial_read, ch);
    if (primary)
        mainloop_timer_add(1, 0, poll_dcd, ch);
    return ch;
}

void serial_exit(serial_channel *ch)
{
    if (!ch)
        return;
    if (ch->fd >= 0) {
        mainloop_fd_del(ch->fd, MAINLOOP_READ, on_serial_read, ch);
        // What a stopped write left in the device's queue is dropped: a close would wait for
        // it to drain, and it does not (that is why the write was waiting).
        if (ch->tx_abandoned)
            tcflush(ch->fd, TCOFLUSH);
        close(ch->fd);
    }
    mainloop_timer_del(poll_dcd, ch);
    mainloop_timer_del(serial_flush, ch);
    mainloop_timer_del(on_serial_reopen, ch);
    delete[] ch->buf;
    delete ch;
}

void serial_tx(serial_channel *ch, const void *data, int len)
{
    if (!ch || !ch->cfg)
        return;
    fr_log(LG_DBG, "Tx serial %s", ch->name);
    fr_loghex("tx serial", data, static_cast<size_t>(len));
    daemon_config *cfg = ch->cfg;
    if (cfg->stats)
        add_bytes(cfg->stats->bytes_tx, len);

    // While the device is gone the bytes are dropped (still counted).
    const auto *p = static_cast<const unsigned char *>(data);
    for (int left = len; left > 0 && ch->fd >= 0;) {
        ssize_t n = write(ch->fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                // The device is not taking data (flow control, a full queue): wait for room
                // as a blocking write would, unless the daemon is told to stop meanwhile.
                if (mainloop_wait_writable(ch->fd, -1) >= 0)
                    continue;
                ch->tx_abandoned = 1;
                break;
            }
            fr_log(LG_WRN, "Error writing to serial port: %s", strerror(errno));
            break;
        }
        p += n;
        left -= static_cast<int>(n);
    }
    if (cfg->do_leds)
        led_blink(LED_RXD);
}

void serial_update_dtr(serial_channel *ch)
{
    if (ch && ch->fd >= 0) {
        // A line that a remote client set (rfc2217) keeps its value while that client stays.
        int on = ch->cfg->num_clients > 0;
        serial_set_dtr_rts(ch->fd, rfc2217_line(TIOCM_DTR, on), rfc2217_line(TIOCM_RTS, on));
    }
}

int serial_set_line(serial_channel *ch, const serial_settings &s)
{
    if (ch->fd >= 0) {
        termios t = serial_termios(s);
        if (tcsetattr(ch->fd, TCSANOW, &t) != 0) {
            fr_log(LG_WRN, "Error configuring serial port: %s", strerror(errno));
            return -1;
        }
    }
    ch->settings = s;
    return 0;
}

void serial_break(serial_channel *ch, int on)
{
    if (ch->fd >= 0)
        ioctl(ch->fd, on ? TIOCSBRK : TIOCCBRK);
}

void serial_purge(serial_channel *ch, int input, int output)
{
    if (input) {
        ch->fill = 0;
        mainloop_timer_del(serial_flush, ch);
    }
    if (ch->fd >= 0 && (input || output))
        tcflush(ch->fd, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH);
}

int serial_get_control_signals(serial_channel *ch)
{
    int bits = 0;
    if (ch && ch->fd >= 0)
        ioctl(ch->fd, TIOCMGET, &bits);
    return bits;
}
