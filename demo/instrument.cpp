// A simulated serial instrument on a pseudo-terminal: a thermometer that prints a reading every
// second and answers a few commands. The demo bridges it to the network with ferrod.
//   instrument [PATH-FILE]   writes the device path (the pty's slave) to PATH-FILE, or stdout
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop;

void on_signal(int) { stop = 1; }

void say(int fd, const char *text)
{
    size_t len = strlen(text);
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

double temperature(unsigned tick) { return 21.5 + 1.5 * sin(tick / 10.0); }

void answer(int fd, const char *cmd, unsigned tick)
{
    char reply[192];
    if (strcmp(cmd, "*IDN?") == 0)
        snprintf(reply, sizeof reply, "FERRO-SIM,THERMO-1,0001,1.0\r\n");
    else if (strcmp(cmd, "MEAS?") == 0)
        snprintf(reply, sizeof reply, "T=%.2f C\r\n", temperature(tick));
    else if (cmd[0] == '\0')
        return;
    else
        snprintf(reply, sizeof reply, "ERR unknown command '%s'\r\n", cmd);
    say(fd, reply);
}

} // namespace

int main(int argc, char **argv)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        fprintf(stderr, "instrument: no pseudo-terminal: %s\n", strerror(errno));
        return 1;
    }
    termios t;
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    // Hold the slave open ourselves, so the device stays while the bridge reopens it.
    int keep = open(ptsname(master), O_RDWR | O_NOCTTY);

    FILE *out = argc > 1 ? fopen(argv[1], "w") : stdout;
    if (!out) {
        fprintf(stderr, "instrument: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    fprintf(out, "%s\n", ptsname(master));
    if (out != stdout)
        fclose(out);
    fflush(stdout);

    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    char line[128];
    size_t fill = 0;
    unsigned tick = 0;
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!stop) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long wait_ms = (next.tv_sec - now.tv_sec) * 1000 + (next.tv_nsec - now.tv_nsec) / 1000000;
        if (wait_ms <= 0) {
            char reading[64];
            snprintf(reading, sizeof reading, "#%u T=%.2f C\r\n", tick, temperature(tick));
            say(master, reading);
            tick++;
            next.tv_sec += 1;
            continue;
        }
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait_ms)) <= 0)
            continue;
        char c;
        if (read(master, &c, 1) != 1)
            continue;
        if (c == '\r' || c == '\n') {
            line[fill] = '\0';
            answer(master, line, tick);
            fill = 0;
        } else if (fill < sizeof line - 1) {
            line[fill++] = c;
        }
    }
    close(keep);
    return 0;
}
