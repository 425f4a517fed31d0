// Fuzz target: the telnet input filter on arbitrary byte streams cut into reads at arbitrary
// points. What reaches the serial port(s) (pipes here) after every read must be exactly what a
// separate reading of the whole stream says has been completed by then, and the subnegotiation
// buffer must end as that reading says. With COM port control on, the same holds for what is
// sent back to the client (option replies, answers, modem state) and for the primary port's
// line settings, break, DTR/RTS and purges, which this binary emulates on the primary pipe (its
// tcsetattr, tcflush and ioctl stand in for the C library's on that descriptor); a setting
// termios does not know fails at once. With it off, nothing at all is sent back.
//
// Input: a flags byte (bit 0: a secondary port; bit 1: logging at the dump level, formatted
// but written nowhere; bit 2: COM port control on; bit 3: the primary port refuses every new
// setting; bits 4 to 7: CTS, DSR, RI and DCD of the primary port are on), a count k (0 to 7),
// k read sizes used in turn (a 0 makes an empty read, then one byte), then the stream.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client.h"
#include "config.h"
#include "log.h"
#include "mainloop.h"
#include "rfc2217.h"
#include "serial.h"
#include "telnet.h"

namespace {

constexpr unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253,
                        DONT = 254, CR = 13, LF = 10, NUL = 0, COM = 44;
constexpr size_t PIPE_SIZE = 1 << 20;
// Answers can be a few times longer than the requests; they must fit the client's socket.
constexpr size_t COM_STREAM_MAX = 16384;

struct port {
    int fd[2] = {-1, -1};
    std::string out;

    void open_pipe()
    {
        if (pipe2(fd, O_NONBLOCK) != 0 || fcntl(fd[1], F_SETPIPE_SZ, PIPE_SIZE) < 0) {
            perror("pipe");
            exit(1);
        }
    }
    void drain()
    {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd[0], buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
    }
};

port primary, secondary;
int peer_fd[2] = {-1, -1}; // the client's socket: the filter's end, ours
std::string peer_out;

// The primary port's device as the daemon has set it.
struct {
    termios line;
    int lines;     // TIOCM_ word: the inputs from the flags, DTR and RTS as set
    bool brk;
    int purges[3]; // TCIFLUSH, TCOFLUSH, TCIOFLUSH
    bool refuse;
} device;

[[noreturn]] void fail(const char *what, size_t pos, const std::string &got,
                       const std::string &want)
{
    fprintf(stderr, "telnet_fuzz: %s after %zu stream bytes:\n  got ", what, pos);
    for (unsigned char c : got)
        fprintf(stderr, " %02x", c);
    fprintf(stderr, "\n  want");
    for (unsigned char c : want)
        fprintf(stderr, " %02x", c);
    fprintf(stderr, "\n");
    abort();
}

[[noreturn]] void fail_port(const char *what)
{
    fprintf(stderr, "telnet_fuzz: %s\n", what);
    abort();
}

// Rates with a termios code, the only ones a client may set.
constexpr struct {
    uint32_t baud;
    speed_t speed;
} rates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

bool known_speed(speed_t s)
{
    for (const auto &r : rates)
        if (r.speed == s)
            return true;
    return false;
}

// COM port control as the client sees it: option states, the port, and the answers.
struct com_model {
    enum { NO, WANTYES, YES };
    int us = WANTYES, him = WANTYES;
    bool counted = false;
    int mask = 0xff;
    int modem = 0; // the lines in NOTIFY-MODEMSTATE bits
    bool refuse = false;
    uint32_t baud = 9600;
    int size = 8, parity = 1, stop = 1;
    bool hardware = false, brk = false;
    int dtr = -1, rts = -1; // held value, -1 none
    int purges[3] = {};

    bool active() const { return us == YES || him == YES; }

    termios line() const
    {
        termios t{};
        t.c_iflag = IGNPAR;
        t.c_oflag = OPOST;
        t.c_cflag = CREAD | HUPCL | CLOCAL;
        t.c_cflag |= size == 5 ? CS5 : size == 6 ? CS6 : size == 7 ? CS7 : CS8;
        if (parity != 1)
            t.c_cflag |= PARENB | (parity == 2 ? PARODD : 0);
        if (stop == 2)
            t.c_cflag |= CSTOPB;
        if (hardware)
            t.c_cflag |= CRTSCTS;
        for (const auto &r : rates)
            if (r.baud == baud) {
                cfsetispeed(&t, r.speed);
                cfsetospeed(&t, r.speed);
            }
        return t;
    }
};

// The reading of the whole stream: each data byte with the stream position after which the
// filter can have written it, each byte sent back likewise, and what the subnegotiation buffer
// holds at the end.
struct reading {
    std::string out;
    std::vector<size_t> written_after;
    std::string back;
    std::vector<size_t> sent_after;
    std::string subneg;
    int subneg_option = 0;
    // The port after each position: (position, model) whenever it changed.
    std::vector<std::pair<size_t, com_model>> port_after;

    void emit(unsigned char b, size_t after)
    {
        out += static_cast<char>(b);
        written_after.push_back(after);
    }
    void send(const std::string &bytes, size_t after)
    {
        back += bytes;
        sent_after.insert(sent_after.end(), bytes.size(), after);
    }
    void store(unsigned char b)
    {
        if (subneg.size() < TELNET_SUBNEG_MAX)
            subneg += static_cast<char>(b);
    }
};

std::string command(int code, const std::string &value)
{
    std::string s = {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(COM),
                     static_cast<char>(code)};
    for (char c : value) {
        s += c;
        if (static_cast<unsigned char>(c) == IAC)
            s += c;
    }
    return s + static_cast<char>(IAC) + static_cast<char>(SE);
}

std::string byte(int v) { return std::string(1, static_cast<char>(v)); }

// The option went on or off for the client: one coming on hears the modem lines.
void com_update(com_model &m, reading &r, size_t after)
{
    if (m.active() == m.counted)
        return;
    m.counted = m.active();
    if (m.counted && m.mask)
        r.send(command(107, byte(m.modem & m.mask)), after);
}

void com_option(com_model &m, reading &r, int verb, size_t after)
{
    auto reply = [&](unsigned char v) {
        r.send({static_cast<char>(IAC), static_cast<char>(v), static_cast<char>(COM)}, after);
    };
    if (verb == DO) {
        if (m.us == com_model::NO)
            reply(WILL);
        m.us = com_model::YES;
    } else if (verb == DONT) {
        if (m.us == com_model::YES)
            reply(WONT);
        m.us = com_model::NO;
    } else if (verb == WILL) {
        if (m.him == com_model::NO)
            reply(DO);
        m.him = com_model::YES;
    } else {
        if (m.him == com_model::YES)
            reply(DONT);
        m.him = com_model::NO;
    }
    com_update(m, r, after);
}

// A whole COM port subnegotiation, as the client means it (RFC 2217) and the port can take it.
void com_subneg(com_model &m, reading &r, const std::string &sub, size_t after)
{
    if (sub.empty() || (m.us == com_model::NO && m.him == com_model::NO))
        return;
    if (!m.active()) {
        m.us = m.us == com_model::WANTYES ? com_model::YES : m.us;
        m.him = m.him == com_model::WANTYES ? com_model::YES : m.him;
        com_update(m, r, after);
    }
    int cmd = static_cast<unsigned char>(sub[0]);
    std::string value = sub.substr(1);
    size_t n = value.size();
    int v = n ? static_cast<unsigned char>(value[0]) : -1;
    auto answer = [&](int code, const std::string &val) { r.send(command(code, val), after); };
    switch (cmd) {
    case 0: answer(100, "ferrod primary"); break;
    case 1: {
        if (n != 4)
            return;
        uint32_t want = 0;
        for (char c : value)
            want = want << 8 | static_cast<unsigned char>(c);
        bool known = false;
        for (const auto &rate : rates)
            known |= rate.baud == want;
        if (want && known && !m.refuse)
            m.baud = want;
        answer(101, byte(m.baud >> 24) + byte(m.baud >> 16 & 255) + byte(m.baud >> 8 & 255) +
                        byte(m.baud & 255));
        break;
    }
    case 2:
    case 3:
    case 4: {
        if (n != 1)
            return;
        int &field = cmd == 2 ? m.size : cmd == 3 ? m.parity : m.stop;
        int lo = cmd == 2 ? 5 : 1, hi = cmd == 2 ? 8 : cmd == 3 ? 3 : 2;
        if (v >= lo && v <= hi && !m.refuse)
            field = v;
        answer(100 + cmd, byte(field));
        break;
    }
    case 5: {
        if (n != 1 || v > 19)
            return;
        if ((v == 1 || v == 14 || v == 3 || v == 16) && !m.refuse)
            m.hardware = v == 3 || v == 16;
        if (v == 5 || v == 6)
            m.brk = v == 5;
        if (v == 8 || v == 9)
            m.dtr = v == 8;
        if (v == 11 || v == 12)
            m.rts = v == 11;
        int now;
        if (v >= 4 && v <= 6)
            now = m.brk ? 5 : 6;
        else if (v >= 7 && v <= 9)
            now = m.dtr == 1 ? 8 : 9; // no client counted: the rule gives off
        else if (v >= 10 && v <= 12)
            now = m.rts == 1 ? 11 : 12;
        else if ((v >= 13 && v <= 16) || v == 18)
            now = m.hardware ? 16 : 14;
        else
            now = m.hardware ? 3 : 1;
        answer(105, byte(now));
        break;
    }
    case 7:
        if (n == 0)
            answer(107, byte(m.modem));
        break;
    case 8:
    case 9:
        if (n == 0)
            answer(100 + cmd, "");
        break;
    case 10:
    case 11:
        if (n != 1)
            return;
        if (cmd == 11)
            m.mask = v;
        answer(100 + cmd, byte(v));
        break;
    case 12:
        if (n != 1 || v < 1 || v > 3)
            return;
        m.purges[v - 1]++;
        answer(112, byte(v));
        break;
    default: break;
    }
}

// RFC 854 as the daemon takes it: IAC IAC is a data 255; WILL, WONT, DO and DONT take one option
// byte; SB takes an option byte and runs to IAC SE (IAC IAC inside is a stored 255, IAC and
// anything else ends it, that byte consumed); any other command is two bytes. CR LF and CR NUL
// are one CR; CR and any other byte is a CR, then that byte in its own right. A sequence cut
// off by the end of the stream has written nothing (yet). With COM port control (option 44,
// offered both ways with the announcement): replies and answers as RFC 2217 has them, each
// subnegotiation read on its own, and CR a plain byte while the option is on.
reading read_stream(const std::string &s, bool com_on, com_model m)
{
    reading r;
    const size_t n = s.size();
    auto at = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    auto changed = [&](size_t after) { r.port_after.emplace_back(after, m); };
    size_t i = 0;
    while (i < n) {
        unsigned char b = at(i);
        if (b == CR && !(com_on && m.active())) {
            if (i + 1 >= n)
                break;
            r.emit(CR, i + 2);
            i += (at(i + 1) == LF || at(i + 1) == NUL) ? 2 : 1;
        } else if (b != IAC) {
            r.emit(b, i + 1);
            i++;
        } else if (i + 1 >= n) {
            break;
        } else if (at(i + 1) == IAC) {
            r.emit(IAC, i + 2);
            i += 2;
        } else if (at(i + 1) == WILL || at(i + 1) == WONT || at(i + 1) == DO || at(i + 1) == DONT) {
            if (i + 2 >= n)
                break;
            if (com_on && at(i + 2) == COM) {
                com_option(m, r, at(i + 1), i + 3);
                changed(i + 3);
            }
            i += 3;
        } else if (at(i + 1) != SB) {
            i += 2;
        } else {
            if (i + 2 >= n)
                break;
            r.subneg_option = at(i + 2);
            if (com_on)
                r.subneg.clear();
            size_t j = i + 3;
            for (;;) {
                if (j >= n) {
                    i = n;
                    break;
                }
                if (at(j) != IAC) {
                    r.store(at(j++));
                    continue;
                }
                if (j + 1 >= n) {
                    i = n;
                    break;
                }
                if (at(j + 1) == IAC) {
                    r.store(IAC);
                    j += 2;
                    continue;
                }
                if (at(j + 1) == SE) {
                    if (com_on && r.subneg_option == COM) {
                        com_subneg(m, r, r.subneg, j + 2);
                        changed(j + 2);
                    }
                    r.subneg.clear();
                }
                i = j + 2;
                break;
            }
        }
    }
    return r;
}

// Whatever the daemon asks of the primary port must be a setting termios has.
void check_line(const termios *t)
{
    constexpr tcflag_t known = CBAUD | CBAUDEX | CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS |
                               CREAD | HUPCL | CLOCAL;
    constexpr tcflag_t always = CREAD | HUPCL | CLOCAL;
    if (t->c_iflag != IGNPAR || t->c_oflag != OPOST || t->c_lflag != 0 ||
        (t->c_cflag & ~known) != 0 || (t->c_cflag & always) != always ||
        !known_speed(cfgetospeed(t)) || cfgetispeed(t) != cfgetospeed(t))
        fail_port("a line setting termios does not have");
}

} // namespace

// The primary port's device. Every other descriptor is left to the system.
extern "C" int tcsetattr(int fd, int, const termios *t) noexcept
{
    if (fd != primary.fd[1])
        fail_port("line settings for a descriptor other than the primary port");
    check_line(t);
    if (device.refuse) {
        errno = EIO;
        return -1;
    }
    device.line = *t;
    return 0;
}

extern "C" int tcflush(int fd, int queue) noexcept
{
    if (fd != primary.fd[1] || queue < TCIFLUSH || queue > TCIOFLUSH)
        fail_port("a purge of another descriptor or of no queue");
    device.purges[queue - TCIFLUSH]++;
    return 0;
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd != primary.fd[1] || fd < 0)
        return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    switch (request) {
    case TIOCMGET: *static_cast<int *>(arg) = device.lines; return 0;
    case TIOCMSET: {
        int out = TIOCM_DTR | TIOCM_RTS;
        device.lines = (device.lines & ~out) | (*static_cast<int *>(arg) & out);
        return 0;
    }
    case TIOCSBRK: device.brk = true; return 0;
    case TIOCCBRK: device.brk = false; return 0;
    default: fail_port("an unexpected request on the primary port");
    }
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    primary.open_pipe();
    secondary.open_pipe();
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, peer_fd) != 0 ||
        fcntl(peer_fd[1], F_SETFL, O_NONBLOCK) != 0) {
        perror("socketpair");
        exit(1);
    }
    log_to_stderr = 0;
    log_to_syslog = 0;
    mainloop_stop(); // the loop never runs here, and cleaning up is for a loop that has stopped
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > PIPE_SIZE)
        return -1;
    const bool two_ports = data[0] & 1;
    log_level = (data[0] & 2) ? LG_DMP : 0;
    const bool com_on = data[0] & 4;
    size_t k = data[1] % 8;
    if (size < 2 + k || (com_on && size > COM_STREAM_MAX))
        return -1;
    const uint8_t *sizes = data + 2;
    const std::string stream(reinterpret_cast<const char *>(data + 2 + k), size - 2 - k);

    daemon_config cfg;
    cfg.do_leds = 0;
    cfg.mode = 5;
    cfg.rfc2217 = com_on;
    serial_channel ch1{}, ch2{};
    ch1.cfg = &cfg;
    ch1.fd = primary.fd[1];
    ch1.settings = {cfg.baudrate, cfg.parity, cfg.databits, cfg.stopbits, cfg.flow};
    strcpy(ch1.name, "primary");
    ch2.cfg = &cfg;
    ch2.fd = secondary.fd[1];
    strcpy(ch2.name, "secondary");
    cfg.serial = &ch1;
    cfg.serial2 = two_ports ? &ch2 : nullptr;
    client peer{};
    peer.cfg = &cfg;
    peer.id = 1;
    peer.fd = peer_fd[0];
    peer.use_telnet = 1;
    telnet_state state{};
    state.client = &peer;
    state.state = TELNET_STATE_DATA;
    state.com = rfc2217_new(&peer);
    primary.out.clear();
    secondary.out.clear();
    peer_out.clear();

    com_model start;
    start.refuse = (data[0] & 8) != 0;
    static const int inputs[] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CAR};
    device = {};
    device.line = start.line();
    device.refuse = start.refuse;
    for (int bit = 0; bit < 4; bit++) {
        if (data[0] & (16 << bit)) {
            device.lines |= inputs[bit];
            start.modem |= 0x10 << bit;
        }
    }

    const reading want = read_stream(stream, com_on, start);
    auto check = [&](size_t pos) {
        primary.drain();
        secondary.drain();
        char buf[4096];
        ssize_t got;
        while ((got = read(peer_fd[1], buf, sizeof buf)) > 0)
            peer_out.append(buf, static_cast<size_t>(got));
        size_t count = static_cast<size_t>(
            std::upper_bound(want.written_after.begin(), want.written_after.end(), pos) -
            want.written_after.begin());
        std::string expect = want.out.substr(0, count);
        if (primary.out != expect)
            fail("primary port", pos, primary.out, expect);
        if (secondary.out != (two_ports ? expect : std::string()))
            fail("secondary port", pos, secondary.out, two_ports ? expect : std::string());
        if (state.subneg_len < 0 || state.subneg_len > TELNET_SUBNEG_MAX)
            fail("subnegotiation length out of range", pos, "", "");

        size_t sent = static_cast<size_t>(
            std::upper_bound(want.sent_after.begin(), want.sent_after.end(), pos) -
            want.sent_after.begin());
        if (peer_out != want.back.substr(0, sent))
            fail("sent back to the client", pos, peer_out, want.back.substr(0, sent));

        com_model m = start;
        for (const auto &change : want.port_after)
            if (change.first <= pos)
                m = change.second;
        termios line = m.line();
        auto cflag = [](const termios &t) {
            return std::string(reinterpret_cast<const char *>(&t.c_cflag), sizeof t.c_cflag);
        };
        if (device.line.c_cflag != line.c_cflag)
            fail("primary port's line (c_cflag)", pos, cflag(device.line), cflag(line));
        std::string lines_want = byte(m.dtr == 1) + byte(m.rts == 1) + byte(m.brk);
        std::string lines_got = byte((device.lines & TIOCM_DTR) != 0) +
                                byte((device.lines & TIOCM_RTS) != 0) + byte(device.brk);
        if (lines_got != lines_want)
            fail("primary port's DTR, RTS and break", pos, lines_got, lines_want);
        std::string purges_want, purges_got;
        for (int q = 0; q < 3; q++) {
            purges_want += byte(m.purges[q]);
            purges_got += byte(device.purges[q]);
        }
        if (purges_got != purges_want)
            fail("purges (input, output, both)", pos, purges_got, purges_want);
    };

    const auto *p = reinterpret_cast<const unsigned char *>(stream.data());
    size_t pos = 0;
    for (size_t turn = 0; pos < stream.size(); turn++) {
        size_t len = k ? sizes[turn % k] : stream.size();
        if (len == 0) {
            telnet_handle(&state, p + pos, 0);
            check(pos);
            len = 1;
        }
        len = std::min(len, stream.size() - pos);
        telnet_handle(&state, p + pos, len);
        pos += len;
        check(pos);
    }

    std::string subneg(reinterpret_cast<const char *>(state.subneg_buf),
                       static_cast<size_t>(state.subneg_len));
    if (subneg != want.subneg)
        fail("subnegotiation buffer", pos, subneg, want.subneg);
    if (state.subneg_option != want.subneg_option)
        fail("subnegotiation option", pos, std::to_string(state.subneg_option),
             std::to_string(want.subneg_option));

    // A client going gives up its break and held lines.
    rfc2217_free(state.com);
    if (device.brk)
        fail("break left on after the client went", pos, "", "");
    if (rfc2217_line(TIOCM_DTR, 0) || rfc2217_line(TIOCM_RTS, 0))
        fail("DTR or RTS still held after the client went", pos, "", "");
    mainloop_cleanup();
    return 0;
}
