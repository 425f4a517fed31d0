// Fuzz target: the telnet input filter on arbitrary byte streams cut into reads at arbitrary
// points. What reaches the serial port(s) (pipes here) after every read must be exactly what a
// separate reading of the whole stream says has been completed by then, and the subnegotiation
// buffer must end as that reading says.
//
// Input: a flags byte (bit 0: a secondary port; bit 1: logging at the dump level, formatted
// but written nowhere), a count k (0 to 7), k read sizes used in turn (a 0 makes an empty
// read, then one byte), then the stream.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client.h"
#include "config.h"
#include "log.h"
#include "serial.h"
#include "telnet.h"

namespace {

constexpr unsigned char IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253,
                        DONT = 254, CR = 13, LF = 10, NUL = 0;
constexpr size_t PIPE_SIZE = 1 << 20;

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

// The reading of the whole stream: each data byte with the stream position after which the
// filter can have written it, and what the subnegotiation buffer holds at the end.
struct reading {
    std::string out;
    std::vector<size_t> written_after;
    std::string subneg;
    int subneg_option = 0;

    void emit(unsigned char b, size_t after)
    {
        out += static_cast<char>(b);
        written_after.push_back(after);
    }
    void store(unsigned char b)
    {
        if (subneg.size() < TELNET_SUBNEG_MAX)
            subneg += static_cast<char>(b);
    }
};

// RFC 854 as the daemon takes it: IAC IAC is a data 255; WILL, WONT, DO and DONT take one option
// byte; SB takes an option byte and runs to IAC SE (IAC IAC inside is a stored 255, IAC and
// anything else ends it, that byte consumed); any other command is two bytes. CR LF and CR NUL
// are one CR; CR and any other byte is a CR, then that byte in its own right. A sequence cut
// off by the end of the stream has written nothing (yet).
reading read_stream(const std::string &s)
{
    reading r;
    const size_t n = s.size();
    auto at = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    size_t i = 0;
    while (i < n) {
        unsigned char b = at(i);
        if (b == CR) {
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
            i += 3;
        } else if (at(i + 1) != SB) {
            i += 2;
        } else {
            if (i + 2 >= n)
                break;
            r.subneg_option = at(i + 2);
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
                if (at(j + 1) == SE)
                    r.subneg.clear();
                i = j + 2;
                break;
            }
        }
    }
    return r;
}

[[noreturn]] void fail(const char *what, size_t pos, const std::string &got, const std::string &want)
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

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    primary.open_pipe();
    secondary.open_pipe();
    log_to_stderr = 0;
    log_to_syslog = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > PIPE_SIZE)
        return -1;
    const bool two_ports = data[0] & 1;
    log_level = (data[0] & 2) ? LG_DMP : 0;
    size_t k = data[1] % 8;
    if (size < 2 + k)
        return -1;
    const uint8_t *sizes = data + 2;
    const std::string stream(reinterpret_cast<const char *>(data + 2 + k), size - 2 - k);

    daemon_config cfg;
    cfg.do_leds = 0;
    serial_channel ch1{}, ch2{};
    ch1.cfg = &cfg;
    ch1.fd = primary.fd[1];
    strcpy(ch1.name, "primary");
    ch2.cfg = &cfg;
    ch2.fd = secondary.fd[1];
    strcpy(ch2.name, "secondary");
    cfg.serial = &ch1;
    cfg.serial2 = two_ports ? &ch2 : nullptr;
    client peer{};
    peer.cfg = &cfg;
    peer.id = 1;
    peer.use_telnet = 1;
    telnet_state state{};
    state.client = &peer;
    state.state = TELNET_STATE_DATA;
    primary.out.clear();
    secondary.out.clear();

    const reading want = read_stream(stream);
    auto check = [&](size_t pos) {
        primary.drain();
        secondary.drain();
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
    return 0;
}
