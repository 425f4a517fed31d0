// Fuzz target: ttyscope's keyboard side, keys read one at a time by terminal_input from a pipe
// on standard input, as the program reads them. The serial port is a pipe whose modem lines and
// break this binary emulates (its ioctl and tcsendbreak stand in for the C library's on that
// descriptor only), so everything that reaches the port, bytes, breaks and line changes, is
// recorded in order and must equal what a plain reading of the keys says. So must the log file
// (keys as typed while logging is on) and, while nothing but plain display is on, standard
// output (the echoed bytes).
//
// Input: a flags byte (bit 0 newline to CR, 1 echo, 2 hex display, 3 time stamps, 4 standard
// output is a terminal, 5 modem lines unreadable, 6 logging on), the modem-line word the port
// starts with, then the keys.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mainloop.h"
#include "mainloop_view.h"
#include "terminal.h"

namespace {

constexpr uint32_t BREAK = 0x100;
constexpr uint32_t LINES = 0x10000; // | the new modem-line word
constexpr size_t PIPE_SIZE = 1 << 20;

int port_read = -1;    // our end of the serial port
int lines_word = 0;    // the emulated modem lines
bool lines_readable = true;
std::vector<uint32_t> port; // what reached the port, in order
int keys_write = -1;   // the keyboard: standard input's other end
int stdout_read = -1;  // the screen

void drain_port()
{
    unsigned char buf[4096];
    ssize_t n;
    while ((n = read(port_read, buf, sizeof buf)) > 0)
        for (ssize_t i = 0; i < n; i++)
            port.push_back(buf[i]);
}

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

void make_pipe(int fds[2])
{
    if (pipe2(fds, O_NONBLOCK) != 0 || fcntl(fds[1], F_SETPIPE_SZ, PIPE_SIZE) < 0) {
        perror("keys_fuzz: pipe");
        exit(1);
    }
}

[[noreturn]] void fail(const char *what, const std::string &got, const std::string &want)
{
    fprintf(stderr, "keys_fuzz: %s\n  got  %s\n  want %s\n", what, got.c_str(), want.c_str());
    abort();
}

std::string show(const std::vector<uint32_t> &events)
{
    std::string s;
    char item[24];
    for (uint32_t e : events) {
        if (e == BREAK)
            snprintf(item, sizeof item, " break");
        else if (e & LINES)
            snprintf(item, sizeof item, " lines=%03x", e & 0xffff);
        else
            snprintf(item, sizeof item, " %02x", e);
        s += item;
    }
    return s;
}

// What the keys should do, read plainly: "~" starts a command (the next key, either case),
// "~x" and two keys enter a byte, any other key is sent (newline as CR with -n).
struct expectation {
    std::vector<uint32_t> port;
    std::string log;
    std::string screen;
    bool screen_known = true; // false once anything but plain display is on
};

unsigned digit(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10u;
    // Not a hex digit: the same arithmetic, in bytes.
    unsigned v = static_cast<uint8_t>(c - '0');
    return v >= 10 ? static_cast<uint8_t>(v - 39) : v;
}

expectation read_keys(unsigned flags, int word, const uint8_t *keys, size_t n)
{
    expectation e;
    bool nl_to_cr = flags & 1, echo_on = flags & 2, hex_on = flags & 4, stamps_on = flags & 8;
    bool log_on = flags & 64, readable = !(flags & 32), escape = false;
    int hex_digits = 0;
    unsigned hex_value = 0;
    e.screen_known = !(flags & 16) && !hex_on && !stamps_on;
    auto send = [&](uint8_t b) {
        e.port.push_back(b);
        if (echo_on)
            e.screen += static_cast<char>(b);
    };
    auto toggle = [&](int bit) {
        if (readable) {
            word ^= bit;
            e.port.push_back(LINES | static_cast<uint32_t>(word));
        }
    };
    for (size_t i = 0; i < n; i++) {
        uint8_t c = keys[i];
        if (log_on)
            e.log += static_cast<char>(c);
        if (escape) {
            escape = false;
            switch (c >= 'A' && c <= 'Z' ? c + 32 : c) {
            case '~': send('~'); break;
            case '.':
            case '>': e.screen += '\n'; return e;
            case 'b': e.port.push_back(BREAK); break;
            case 'r': toggle(TIOCM_RTS); break;
            case 'd': toggle(TIOCM_DTR); break;
            case 'x': hex_digits = 1, hex_value = 0; break;
            case 'e': echo_on = !echo_on; break;
            case 'h': hex_on = !hex_on, e.screen_known &= !hex_on; break;
            case 't': stamps_on = !stamps_on, e.screen_known &= !stamps_on; break;
            case 'l': log_on = !log_on; break;
            default: break; // m shows the lines, anything else the help
            }
        } else if (hex_digits) {
            hex_value = hex_value * 16 + digit(c >= 'A' && c <= 'Z' ? c + 32 : c);
            if (++hex_digits == 3) {
                hex_digits = 0;
                send(static_cast<uint8_t>(hex_value));
            }
        } else if (c == '~') {
            escape = true;
        } else {
            send(c == '\n' && nl_to_cr ? '\r' : c);
        }
    }
    return e;
}

} // namespace

// The port's stand-ins. Every other descriptor goes to the kernel as usual.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd != serial_fd || serial_fd < 0)
        return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    if (request == TIOCMGET) {
        if (!lines_readable) {
            errno = ENOTTY;
            return -1;
        }
        *static_cast<int *>(arg) = lines_word;
        return 0;
    }
    if (request == TIOCMSET) {
        drain_port();
        lines_word = *static_cast<int *>(arg);
        port.push_back(LINES | static_cast<uint32_t>(lines_word));
        return 0;
    }
    fprintf(stderr, "keys_fuzz: unexpected request %#lx on the serial port\n", request);
    abort();
}

extern "C" int tcsendbreak(int fd, int duration) noexcept
{
    if (fd != serial_fd || duration != 0) {
        fprintf(stderr, "keys_fuzz: break on descriptor %d, duration %d\n", fd, duration);
        abort();
    }
    drain_port();
    port.push_back(BREAK);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    int fds[2];
    make_pipe(fds);
    port_read = fds[0];
    serial_fd = fds[1];
    // Keys come on standard input, the screen is a pipe (a full one drops output, never blocks).
    make_pipe(fds);
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    keys_write = fds[1];
    make_pipe(fds);
    stdout_read = fds[0];
    fflush(stdout);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    // The l command would open ttyscope.log in the working directory, where libFuzzer keeps
    // its files: the log is opened here once, elsewhere, and the program keeps using it. Nothing
    // is left behind.
    char dir[] = "/tmp/keys_fuzz.XXXXXX";
    if (!mkdtemp(dir)) {
        perror("keys_fuzz: mkdtemp");
        exit(1);
    }
    std::string path = std::string(dir) + "/ttyscope.log";
    stdout_is_tty = 0;
    set_logging(1, path.c_str());
    unlink(path.c_str());
    rmdir(dir);
    if (!logfile) {
        fprintf(stderr, "keys_fuzz: no log file\n");
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > PIPE_SIZE / 2)
        return -1;
    const unsigned flags = data[0];
    const uint8_t *keys = data + 2;
    const size_t n = size - 2;

    // The program's state as its options leave it.
    mainloop_init();
    stdout_is_tty = flags & 16 ? 1 : 0;
    set_hexmode(1);
    hexmode = flags & 4 ? 1 : 0;
    echo = flags & 2 ? 1 : 0;
    timestamps = flags & 8 ? 1 : 0;
    newline_to_cr = flags & 1;
    logging = 0;
    if (flags & 64)
        set_logging(1, nullptr);
    escape_pending = 0;
    hexentry_count = 0;
    hexentry_value = 0;
    exit_status = 0;
    lines_word = data[1] & (TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_CAR | TIOCM_RNG | TIOCM_DSR);
    const int start_word = lines_word;
    lines_readable = !(flags & 32);
    port.clear();
    if (ftruncate(fileno(logfile), 0) != 0)
        abort();
    fflush(stdout);
    clearerr(stdout);
    drain(stdout_read);

    if (write(keys_write, keys, n) != static_cast<ssize_t>(n))
        abort();
    size_t typed = 0;
    while (typed < n && mainloop_view_running()) {
        terminal_input(STDIN_FILENO, nullptr);
        typed++;
    }
    drain(STDIN_FILENO); // keys after the exit command stay unread by the program
    fflush(stdout);
    drain_port();

    expectation want = read_keys(flags, start_word, keys, n);
    if (port != want.port)
        fail("serial port", show(port), show(want.port));
    std::string logged;
    char buf[4096];
    ssize_t r;
    for (off_t off = 0; (r = pread(fileno(logfile), buf, sizeof buf, off)) > 0; off += r)
        logged.append(buf, static_cast<size_t>(r));
    if (logged != want.log)
        fail("log file", logged, want.log);
    std::string screen = drain(stdout_read);
    if (want.screen_known && screen != want.screen)
        fail("screen", screen, want.screen);
    if (exit_status != 0)
        fail("exit status", std::to_string(exit_status), "0");
    return 0;
}
