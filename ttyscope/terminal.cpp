// ttyscope's terminal side: display modes, escape commands, hex entry, log file and messages.
#include "terminal.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "mainloop.h"
#include "serial.h"

int serial_fd = -1;
int stdout_is_tty;
int hexmode;
uint32_t hexcount;
char hexline[HEXLINE_LEN + 1];
int echo;
int timestamps;
int newline_to_cr;
int logging;
FILE *logfile;
int escape_pending;
int hexentry_count;
int hexentry_value;
int exit_status;

namespace {

constexpr size_t MESSAGE_MAX = 128;
constexpr size_t SERIAL_CHUNK = 128;
constexpr uint8_t ESCAPE = '~';
constexpr char GREY[] = "\033[1;30m";
constexpr char RESET[] = "\033[0m";

// Hex line columns: offset after the carriage return, byte k at 11 + 3k (one more blank
// before the second half), the character column between the two bars.
constexpr size_t HEX_COL = 11;
constexpr size_t BAR_LEFT = 61;
constexpr size_t CHAR_COL = 62;
constexpr size_t BAR_RIGHT = 78;

// The hex line holds bytes not yet drawn.
bool hexline_dirty;

// The log file's name, once one has been opened.
std::string logname;

uint8_t lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + ('a' - 'A')) : c; }

const char *enabled(int on) { return on ? "enabled" : "disabled"; }

void hexline_start(uint32_t offset)
{
    memset(hexline, ' ', HEXLINE_LEN);
    hexline[HEXLINE_LEN] = '\0';
    char head[16];
    snprintf(head, sizeof head, "\r%08x", static_cast<unsigned>(offset));
    memcpy(hexline, head, strlen(head));
    hexline[BAR_LEFT] = '|';
    hexline[BAR_RIGHT] = '|';
}

void hexline_put(unsigned k, uint8_t c)
{
    static const char digits[] = "0123456789abcdef";
    size_t col = HEX_COL + 3 * k + (k >= 8 ? 1 : 0);
    hexline[col] = digits[c >> 4];
    hexline[col + 1] = digits[c & 15];
    hexline[CHAR_COL + k] = c >= 0x20 && c <= 0x7e ? static_cast<char>(c) : '.';
}

void hexline_draw()
{
    if (hexline_dirty)
        fputs(hexline, stdout);
    hexline_dirty = false;
}

void show_timestamp()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    time_t secs = tv.tv_sec;
    tm local;
    localtime_r(&secs, &local);
    char clock[32];
    strftime(clock, sizeof clock, "%H:%M:%S", &local);
    printf("%s%s.%03d%s ", GREY, clock, static_cast<int>(tv.tv_usec / 1000), RESET);
}

__attribute__((format(printf, 1, 0))) void vshow_message(const char *format, va_list ap)
{
    char text[MESSAGE_MAX];
    vsnprintf(text, sizeof text, format, ap);
    printf("\r\033[K%s> %s%s\n", GREY, text, RESET);
    fflush(stdout);
}

void show_help()
{
    static const char *const help[] = {
        "~    send tilde",
        ".    exit",
        "b    send break",
        "d    toggle dtr",
        "m    show modem status lines",
        "h    toggle hex mode",
        "e    toggle echo",
        "l    toggle logging",
        "t    toggle timestamp",
        "xNN  enter hex character NN",
    };
    for (const char *line : help)
        show_message("%s", line);
}

void toggle_line(int bit)
{
    int word = serial_get_mctrl(serial_fd);
    if (word < 0) {
        int error = errno;
        show_error("Error reading modem lines: %s", strerror(error));
        return;
    }
    int on = (word & bit) ? 0 : 1;
    if ((bit == TIOCM_RTS ? serial_set_rts(serial_fd, on) : serial_set_dtr(serial_fd, on)) != 0) {
        int error = errno;
        show_error("Error setting modem lines: %s", strerror(error));
    }
}

void run_command(uint8_t key)
{
    switch (key) {
    case ESCAPE:
        send_char(ESCAPE);
        break;
    case '.':
    case '>':
        hexline_draw();
        putchar('\n');
        fflush(stdout);
        mainloop_stop();
        break;
    case 'm':
        show_modemstatus();
        break;
    case 'b':
        tcsendbreak(serial_fd, 0);
        fflush(stdout);
        show_message("Break");
        break;
    case 'r':
        toggle_line(TIOCM_RTS);
        break;
    case 'd':
        toggle_line(TIOCM_DTR);
        break;
    case 'h':
        set_hexmode(!hexmode);
        break;
    case 'e':
        echo = !echo;
        show_message("Echo %s", enabled(echo));
        break;
    case 't':
        timestamps = !timestamps;
        show_message("Timestamps %s", enabled(timestamps));
        break;
    case 'l':
        set_logging(!logging, nullptr);
        show_message("Logging %s", enabled(logging));
        break;
    case 'x':
        hexentry_count = 1;
        hexentry_value = 0;
        break;
    default:
        show_help();
        break;
    }
}

} // namespace

int parse_baudrate(const char *text)
{
    auto number = [](const char *p) {
        long long n = 0;
        for (; *p >= '0' && *p <= '9'; p++)
            if ((n = n * 10 + (*p - '0')) > INT_MAX)
                n = INT_MAX;
        return n;
    };
    // Port names never begin with a digit, and "/dev/serial/by-id/..." names may hold a "k".
    if (*text < '0' || *text > '9')
        return 0;
    long long rate = number(text);
    if (const char *k = strchr(text, 'k'))
        rate = rate * 1000 + 100 * number(k + 1);
    return rate > INT_MAX ? INT_MAX : static_cast<int>(rate);
}

void usage(const char *prog)
{
    printf("usage: %s [-r] [port] [baudrate]\n\n"
           "  -b RATE   Set baudrate to RATE\n"
           "  -e        Enable local echo\n"
           "  -n        translate newline to cr\n"
           "  -l PATH   Log to given file\n"
           "  -r\t    use RTS/CTS hardware handshaking\n"
           "  -h\t    HEX mode\n"
           "  -x\t    Enable XON/XOFF flow control\n",
           prog);
}

void show_message(const char *format, ...)
{
    if (!stdout_is_tty)
        return;
    va_list ap;
    va_start(ap, format);
    vshow_message(format, ap);
    va_end(ap);
}

void show_error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    if (stdout_is_tty) {
        vshow_message(format, ap);
    } else {
        fflush(stdout);
        vfprintf(stderr, format, ap);
        fputc('\n', stderr);
    }
    va_end(ap);
}

void show_char(uint8_t c)
{
    if (hexmode) {
        unsigned k = hexcount & 15;
        if (k == 0) {
            if (hexline[0] != '\0') {
                hexline_dirty = true;
                hexline_draw();
                putchar('\n');
            }
            hexline_start(hexcount);
        }
        hexline_put(k, c);
        hexcount++;
        // Drawn once per batch of bytes rather than after each: the same picture, a fraction
        // of the output on a slow console.
        hexline_dirty = true;
        return;
    }
    putchar(c);
    if (timestamps && c == '\n')
        show_timestamp();
}

void show_flush()
{
    hexline_draw();
    fflush(stdout);
}

int send_char(uint8_t c)
{
    for (;;) {
        if (mainloop_wait_writable(serial_fd, -1) < 0)
            return -1;
        ssize_t n = write(serial_fd, &c, 1);
        if (n == 1)
            break;
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            int error = errno;
            show_error("Error writing to serial port: %s", strerror(error));
            exit_status = 1;
            mainloop_stop();
            return -1;
        }
    }
    if (echo) {
        show_char(c);
        show_flush();
    }
    return 0;
}

void log_data(const void *data, size_t len)
{
    if (!logging || !logfile)
        return;
    // The error flag too: a C library may report a failed write there alone (uClibc's fflush
    // returns success after a write that failed).
    if (fwrite(data, 1, len, logfile) == len && fflush(logfile) == 0 && !ferror(logfile))
        return;
    // A full disk or a failing device: said once, then logging is off until the next ~l
    // opens the file again. The close cannot succeed where the flush failed.
    int error = errno;
    show_error("Error writing log file: %s", strerror(error));
    fclose(logfile);
    logfile = nullptr;
    logging = 0;
    show_message("Logging %s", enabled(logging));
}

void set_logging(int on, const char *path)
{
    if (!on) {
        logging = 0;
        return;
    }
    if (!logfile) {
        // After a write error the file that was in use is opened again, not a new one.
        std::string name = path ? path : !logname.empty() ? logname : "ttyscope.log";
        logfile = fopen(name.c_str(), "a+");
        if (logfile) {
            logname = name;
            show_message("Writing log to %s", name.c_str());
        } else {
            show_error("Error opening log: %s", strerror(errno));
        }
    }
    if (logfile)
        logging = 1;
}

void set_hexmode(int on)
{
    if (on) {
        hexline[0] = '\0';
        hexline_dirty = false;
        hexcount = 0;
        hexmode = 1;
    } else {
        hexline_draw();
        putchar('\n');
        hexmode = 0;
    }
    show_message("Hex mode %s", enabled(hexmode));
    fflush(stdout);
}

void handle_key(uint8_t c)
{
    if (escape_pending) {
        run_command(lower(c));
        escape_pending = 0;
        return;
    }
    if (hexentry_count) {
        // Any two keys make a byte: '0'..'9' and 'a'..'f' are the digits, others land where
        // the arithmetic puts them.
        unsigned v = static_cast<uint8_t>(lower(c) - '0');
        if (v >= 10)
            v = static_cast<uint8_t>(v - 39);
        hexentry_value = hexentry_value * 16 + static_cast<int>(v);
        if (++hexentry_count == 3) {
            hexentry_count = 0;
            send_char(static_cast<uint8_t>(hexentry_value & 0xff));
        }
        return;
    }
    if (c == ESCAPE) {
        escape_pending = 1;
        return;
    }
    if (c == '\n' && newline_to_cr)
        c = '\r';
    send_char(c);
}

int serial_input(int fd, void *)
{
    uint8_t buf[SERIAL_CHUNK];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) {
        show_error("Serial port closed");
        exit_status = 1;
        mainloop_stop();
        return -1;
    }
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return 0;
        int error = errno;
        show_error("Error reading from serial port: %s", strerror(error));
        exit_status = 1;
        mainloop_stop();
        return -1;
    }
    log_data(buf, static_cast<size_t>(n));
    for (ssize_t i = 0; i < n; i++)
        show_char(buf[i]);
    show_flush();
    return 0;
}

int terminal_input(int fd, void *)
{
    uint8_t c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    if (n != 1) {
        // The end of the input (commands piped in) ends the session normally: a status line
        // on a terminal and nothing on standard error. Only a failed read is an error.
        if (n < 0) {
            exit_status = 1;
            show_error("Error reading from terminal");
        } else {
            show_message("Error reading from terminal");
        }
        mainloop_stop();
        return -1;
    }
    log_data(&c, 1);
    handle_key(c);
    return 0;
}

int quit_on_sigint(int, void *)
{
    mainloop_stop();
    return 0;
}
