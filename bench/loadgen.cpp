// Load generator of the benchmark: plays the serial device on a pty master and the network
// clients on loopback TCP, checks every byte that arrives and measures the bridge process.
//
//   loadgen s2n     --master FD --port P --pid PID --clients N --bytes B
//   loadgen n2s     --master FD --port P --pid PID --bytes B
//   loadgen latency --master FD --port P --pid PID --samples S
//   more options:   --sync-ms MS   wait of one synchronisation round (300)
//                   --idle-ms MS   this long without progress fails the run (10000)
//                   --seed X       content of the stream
//
// Prints one JSON object on standard output. Exit status 0 only when every byte arrived,
// complete and in order, on every client (or on the pty); otherwise 1 with "error" set.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string mode;
    int master = -1;
    int port = 0;
    int pid = 0;
    int clients = 1;
    long long bytes = 1 << 20;
    int samples = 200;
    int sync_ms = 300;
    int idle_ms = 10000;
    uint64_t seed = 0x9e3779b97f4a7c15ull;
};

Options opt;

[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

void fail(const char *fmt, ...)
{
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    std::string esc;
    for (const char *p = msg; *p; p++) {
        if (*p == '"' || *p == '\\')
            esc += '\\';
        esc += *p >= ' ' ? *p : ' ';
    }
    printf("{\"ok\": false, \"mode\": \"%s\", \"error\": \"%s\"}\n", opt.mode.c_str(),
           esc.c_str());
    exit(1);
}

double now_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_ms(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// The stream: xorshift64* output, so that a lost, doubled or reordered block anywhere shows up
// as a mismatch at that offset (no period to hide in), and every byte value occurs, the
// terminal's special characters (NUL, CR, LF, XON, XOFF, ^C, DEL, 0xff) included.
std::vector<unsigned char> make_stream(size_t n, uint64_t seed)
{
    std::vector<unsigned char> v(n);
    uint64_t x = seed ? seed : 1;
    for (size_t i = 0; i < n; i += 8) {
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        uint64_t r = x * 0x2545f4914f6cdd1dull;
        for (size_t k = 0; k < 8 && i + k < n; k++)
            v[i + k] = static_cast<unsigned char>(r >> (8 * k));
    }
    return v;
}

// Where the bytes that arrived at `at` belong in the stream, if they are found nearby: tells a
// lost or repeated block from altered bytes.
std::string locate(const std::vector<unsigned char> &stream, long long at, const unsigned char *got,
                   size_t n)
{
    n = std::min<size_t>(n, 32);
    if (n < 8)
        return "";
    const long long window = 4 << 20;
    long long lo = std::max<long long>(0, at - window);
    long long hi = std::min<long long>(static_cast<long long>(stream.size() - n), at + window);
    for (long long d = 0; at + d <= hi || at - d >= lo; d++) {
        for (long long pos : {at + d, at - d}) {
            if (d == 0 && pos != at + d)
                continue;
            if (pos >= lo && pos <= hi && memcmp(stream.data() + pos, got, n) == 0)
                return pos > at ? "; " + std::to_string(pos - at) + " bytes missing there"
                                : "; " + std::to_string(at - pos) + " bytes repeated there";
        }
    }
    return "; the bytes that came are not in the stream nearby (altered)";
}

// CPU time of the bridge process (all its threads): user + system from /proc/PID/stat, in
// clock ticks (10 ms), and the same time at nanosecond resolution, summed over the threads'
// /proc/PID/task/TID/schedstat (time on the CPU, user and system together).
struct Cpu {
    long long user = 0, sys = 0, ns = 0, vcsw = 0, ivcsw = 0;
};

long long proc_kb(int pid, const char *file, const char *key);

long long read_cpu_ns(int pid)
{
    char path[96];
    snprintf(path, sizeof path, "/proc/%d/task", pid);
    DIR *d = opendir(path);
    if (!d)
        return -1;
    long long sum = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        snprintf(path, sizeof path, "/proc/%d/task/%.20s/schedstat", pid, e->d_name);
        FILE *f = fopen(path, "re");
        long long ns = 0;
        if (!f || fscanf(f, "%lld", &ns) != 1) {
            if (f)
                fclose(f);
            closedir(d);
            return -1;
        }
        fclose(f);
        sum += ns;
    }
    closedir(d);
    return sum;
}

Cpu read_cpu(int pid)
{
    char path[64], buf[4096];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("bridge process %d is gone: %s", pid, strerror(errno));
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        fail("cannot read %s", path);
    buf[n] = '\0';
    // The command name may hold blanks and parentheses: fields count from the last ')'.
    char *p = strrchr(buf, ')');
    if (!p)
        fail("unexpected %s", path);
    Cpu c;
    // After ')': state(3) ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt
    // utime(14) stime(15).
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &c.user,
               &c.sys) != 2)
        fail("unexpected %s", path);
    c.ns = read_cpu_ns(pid);
    c.vcsw = proc_kb(pid, "status", "voluntary_ctxt_switches");
    c.ivcsw = proc_kb(pid, "status", "nonvoluntary_ctxt_switches");
    return c;
}

// A "Key:   123 kB" (or plain "Key: 123") value from a /proc file, -1 when missing.
long long proc_kb(int pid, const char *file, const char *key)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/%s", pid, file);
    FILE *f = fopen(path, "re");
    if (!f)
        return -1;
    char line[256];
    long long v = -1;
    size_t klen = strlen(key);
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, key, klen) == 0 && line[klen] == ':') {
            v = atoll(line + klen + 1);
            break;
        }
    }
    fclose(f);
    return v;
}

void set_nonblock(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
        fail("fcntl: %s", strerror(errno));
}

int tcp_connect(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    double deadline = now_s() + 10;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            fail("socket: %s", strerror(errno));
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            return fd;
        int e = errno;
        close(fd);
        if (e != ECONNREFUSED || now_s() > deadline)
            fail("connect to port %d: %s", port, strerror(e));
        sleep_ms(20);
    }
}

struct Client {
    int fd = -1;
    long long got = 0; // stream bytes received and checked
    long long sync = 0; // bytes received during synchronisation
};

int ep = -1;

void ep_add(int fd, uint32_t events, uint64_t tag)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tag;
    if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0)
        fail("epoll_ctl: %s", strerror(errno));
}

void ep_mod(int fd, uint32_t events, uint64_t tag)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tag;
    if (epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev) != 0)
        fail("epoll_ctl: %s", strerror(errno));
}

void write_all_master(const unsigned char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(opt.master, p, n);
        if (w < 0 && errno == EAGAIN) {
            sleep_ms(1);
            continue;
        }
        if (w <= 0)
            fail("write to pty: %s", strerror(errno));
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Until the bridge has taken every client, bytes written to the pty may miss some of them.
// One byte per round goes in; a round in which every client received a byte proves every
// client registered, and, since each round waits for its byte, nothing older is still under
// way. Everything received so far is discarded: the stream starts after it.
void synchronise(std::vector<Client> &clients)
{
    static unsigned char buf[65536];
    const unsigned char marker = 0x5a;
    double deadline = now_s() + 30 + opt.sync_ms / 1000.0 * 20;
    for (int round = 0;; round++) {
        if (now_s() > deadline)
            fail("clients not served by the bridge within the synchronisation time (%d rounds)",
                 round);
        std::vector<long long> before;
        for (auto &c : clients)
            before.push_back(c.sync);
        write_all_master(&marker, 1);
        double until = now_s() + opt.sync_ms / 1000.0;
        size_t served = 0;
        while (served < clients.size() && now_s() < until) {
            epoll_event evs[64];
            int n = epoll_wait(ep, evs, 64, 10);
            for (int i = 0; i < n; i++) {
                uint64_t tag = evs[i].data.u64;
                if (tag == 0) {
                    ssize_t r = read(opt.master, buf, sizeof buf);
                    if (r > 0)
                        fail("the bridge wrote %zd bytes to the serial port unasked "
                             "(echo?)", r);
                    continue;
                }
                Client &c = clients[tag - 1];
                ssize_t r = recv(c.fd, buf, sizeof buf, 0);
                if (r == 0)
                    fail("client %llu closed by the bridge during synchronisation",
                         static_cast<unsigned long long>(tag));
                if (r < 0 && errno != EAGAIN)
                    fail("recv: %s", strerror(errno));
                if (r > 0) {
                    for (ssize_t k = 0; k < r; k++)
                        if (buf[k] != marker)
                            fail("client %llu: synchronisation byte 0x%02x changed to 0x%02x",
                                 static_cast<unsigned long long>(tag), marker, buf[k]);
                    c.sync += r;
                }
            }
            served = 0;
            for (size_t k = 0; k < clients.size(); k++)
                served += clients[k].sync > before[k];
        }
        if (served == clients.size())
            return;
    }
}

struct Result {
    double wall = 0;
    Cpu cpu0, cpu1;
};

void print_common(const char *mode, const Result &r, long long bytes)
{
    long tck = sysconf(_SC_CLK_TCK);
    long long ticks = (r.cpu1.user - r.cpu0.user) + (r.cpu1.sys - r.cpu0.sys);
    double stat_s = static_cast<double>(ticks) / static_cast<double>(tck);
    // The fine reading where the kernel offers it; the tick count stays for comparison.
    bool fine = r.cpu0.ns >= 0 && r.cpu1.ns >= r.cpu0.ns;
    double cpu_s = fine ? static_cast<double>(r.cpu1.ns - r.cpu0.ns) / 1e9 : stat_s;
    printf("{\"ok\": true, \"mode\": \"%s\", \"clients\": %d, \"bytes\": %lld, "
           "\"wall_s\": %.6f, \"cpu_user_ticks\": %lld, \"cpu_sys_ticks\": %lld, "
           "\"clk_tck\": %ld, \"cpu_stat_s\": %.4f, \"cpu_s\": %.6f, \"cpu_source\": \"%s\"",
           mode, opt.clients, bytes, r.wall, r.cpu1.user - r.cpu0.user,
           r.cpu1.sys - r.cpu0.sys, tck, stat_s, cpu_s, fine ? "schedstat" : "stat");
    printf(", \"voluntary_switches\": %lld, \"involuntary_switches\": %lld",
           r.cpu1.vcsw - r.cpu0.vcsw, r.cpu1.ivcsw - r.cpu0.ivcsw);
}

void print_memory()
{
    printf(", \"vm_hwm_kb\": %lld, \"vm_rss_kb\": %lld, \"private_dirty_kb\": %lld",
           proc_kb(opt.pid, "status", "VmHWM"), proc_kb(opt.pid, "status", "VmRSS"),
           proc_kb(opt.pid, "smaps_rollup", "Private_Dirty"));
}

std::vector<Client> connect_clients(int n)
{
    std::vector<Client> clients(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
        clients[static_cast<size_t>(i)].fd = tcp_connect(opt.port);
        set_nonblock(clients[static_cast<size_t>(i)].fd);
        ep_add(clients[static_cast<size_t>(i)].fd, EPOLLIN, static_cast<uint64_t>(i) + 1);
    }
    return clients;
}

std::string client_counts(const std::vector<Client> &clients)
{
    std::string s;
    for (size_t i = 0; i < clients.size(); i++)
        s += (i ? "," : "") + std::to_string(clients[i].got);
    return s;
}

// Serial to network: the stream goes into the pty as fast as the bridge takes it; every client
// must receive all of it, byte for byte.
void run_s2n()
{
    std::vector<unsigned char> stream = make_stream(static_cast<size_t>(opt.bytes), opt.seed);
    auto clients = connect_clients(opt.clients);
    synchronise(clients);

    static unsigned char buf[1 << 18];
    const long long total = opt.bytes;
    long long written = 0;
    size_t complete = 0;
    Result res;
    res.cpu0 = read_cpu(opt.pid);
    double t0 = now_s(), last_progress = t0;
    ep_mod(opt.master, EPOLLIN | EPOLLOUT, 0);
    bool writing = true;
    while (complete < clients.size()) {
        epoll_event evs[64];
        int n = epoll_wait(ep, evs, 64, 100);
        if (n < 0 && errno != EINTR)
            fail("epoll_wait: %s", strerror(errno));
        for (int i = 0; i < n; i++) {
            uint64_t tag = evs[i].data.u64;
            if (tag == 0) {
                if (evs[i].events & EPOLLIN) {
                    ssize_t r = read(opt.master, buf, sizeof buf);
                    if (r > 0)
                        fail("the bridge wrote %zd bytes to the serial port unasked (echo?)", r);
                }
                if (writing && (evs[i].events & EPOLLOUT)) {
                    size_t chunk = static_cast<size_t>(std::min<long long>(total - written, 65536));
                    ssize_t w = write(opt.master, stream.data() + written, chunk);
                    if (w < 0 && errno != EAGAIN)
                        fail("write to pty: %s", strerror(errno));
                    if (w > 0) {
                        written += w;
                        last_progress = now_s();
                    }
                    if (written == total) {
                        writing = false;
                        ep_mod(opt.master, EPOLLIN, 0);
                    }
                }
                continue;
            }
            Client &c = clients[tag - 1];
            ssize_t r = recv(c.fd, buf, sizeof buf, 0);
            if (r == 0)
                fail("client %llu closed by the bridge after %lld of %lld bytes",
                     static_cast<unsigned long long>(tag), c.got, total);
            if (r < 0) {
                if (errno == EAGAIN)
                    continue;
                fail("recv: %s", strerror(errno));
            }
            if (c.got + r > total)
                fail("client %llu received %lld bytes, more than the %lld sent",
                     static_cast<unsigned long long>(tag), c.got + r, total);
            if (memcmp(buf, stream.data() + c.got, static_cast<size_t>(r)) != 0) {
                ssize_t k = 0;
                while (buf[k] == stream[static_cast<size_t>(c.got + k)])
                    k++;
                fail("client %llu: byte %lld is 0x%02x, expected 0x%02x (data lost, "
                     "reordered or altered%s)",
                     static_cast<unsigned long long>(tag), c.got + k, buf[k],
                     stream[static_cast<size_t>(c.got + k)],
                     locate(stream, c.got + k, buf + k, static_cast<size_t>(r - k)).c_str());
            }
            c.got += r;
            last_progress = now_s();
            if (c.got == total)
                complete++;
        }
        if (now_s() - last_progress > opt.idle_ms / 1000.0)
            fail("no progress for %d ms: %lld of %lld bytes written to the pty; received per "
                 "client: %s",
                 opt.idle_ms, written, total, client_counts(clients).c_str());
    }
    res.wall = now_s() - t0;
    res.cpu1 = read_cpu(opt.pid);
    print_common("s2n", res, total);
    print_memory();
    printf("}\n");
}

// Network to serial: one client writes the stream; the pty must receive all of it.
void run_n2s()
{
    std::vector<unsigned char> stream = make_stream(static_cast<size_t>(opt.bytes), opt.seed);
    auto clients = connect_clients(1);
    synchronise(clients);
    Client &c = clients[0];

    static unsigned char buf[1 << 18];
    const long long total = opt.bytes;
    long long sent = 0, got = 0;
    Result res;
    res.cpu0 = read_cpu(opt.pid);
    double t0 = now_s(), last_progress = t0;
    ep_mod(opt.master, EPOLLIN, 0);
    ep_mod(c.fd, EPOLLIN | EPOLLOUT, 1);
    bool writing = true;
    while (got < total) {
        epoll_event evs[8];
        int n = epoll_wait(ep, evs, 8, 100);
        if (n < 0 && errno != EINTR)
            fail("epoll_wait: %s", strerror(errno));
        for (int i = 0; i < n; i++) {
            if (evs[i].data.u64 == 1) {
                if (evs[i].events & EPOLLIN) {
                    ssize_t r = recv(c.fd, buf, sizeof buf, 0);
                    if (r == 0)
                        fail("the bridge closed the client after %lld of %lld bytes", got,
                             total);
                    if (r > 0)
                        fail("the bridge sent %zd bytes to the client unasked (echo?)", r);
                }
                if (writing && (evs[i].events & EPOLLOUT)) {
                    size_t chunk = static_cast<size_t>(std::min<long long>(total - sent, 65536));
                    ssize_t w = send(c.fd, stream.data() + sent, chunk, MSG_NOSIGNAL);
                    if (w < 0 && errno != EAGAIN)
                        fail("send: %s", strerror(errno));
                    if (w > 0) {
                        sent += w;
                        last_progress = now_s();
                    }
                    if (sent == total) {
                        writing = false;
                        ep_mod(c.fd, EPOLLIN, 1);
                    }
                }
                continue;
            }
            ssize_t r = read(opt.master, buf, sizeof buf);
            if (r < 0) {
                if (errno == EAGAIN)
                    continue;
                fail("read from pty: %s", strerror(errno));
            }
            if (got + r > total)
                fail("the pty received %lld bytes, more than the %lld sent", got + r, total);
            if (memcmp(buf, stream.data() + got, static_cast<size_t>(r)) != 0) {
                ssize_t k = 0;
                while (buf[k] == stream[static_cast<size_t>(got + k)])
                    k++;
                fail("pty byte %lld is 0x%02x, expected 0x%02x (data lost, reordered or "
                     "altered%s)",
                     got + k, buf[k], stream[static_cast<size_t>(got + k)],
                     locate(stream, got + k, buf + k, static_cast<size_t>(r - k)).c_str());
            }
            got += r;
            last_progress = now_s();
        }
        if (now_s() - last_progress > opt.idle_ms / 1000.0)
            fail("no progress for %d ms: %lld of %lld bytes sent, %lld arrived on the pty",
                 opt.idle_ms, sent, total, got);
    }
    res.wall = now_s() - t0;
    res.cpu1 = read_cpu(opt.pid);
    print_common("n2s", res, total);
    print_memory();
    printf("}\n");
}

// One byte at a time into the pty, timed until it arrives at the client.
void run_latency()
{
    auto clients = connect_clients(1);
    synchronise(clients);
    Client &c = clients[0];
    std::vector<double> us;
    for (int i = 0; i < opt.samples; i++) {
        unsigned char b = static_cast<unsigned char>(i * 37 + 11), got;
        double t0 = now_s();
        write_all_master(&b, 1);
        for (;;) {
            epoll_event ev;
            int n = epoll_wait(ep, &ev, 1, opt.idle_ms);
            if (n == 0)
                fail("sample %d: the byte did not arrive within %d ms", i, opt.idle_ms);
            if (n < 0 && errno != EINTR)
                fail("epoll_wait: %s", strerror(errno));
            if (n == 1 && ev.data.u64 == 1)
                break;
            if (n == 1 && ev.data.u64 == 0) {
                unsigned char junk[256];
                if (read(opt.master, junk, sizeof junk) > 0)
                    fail("the bridge wrote to the serial port unasked (echo?)");
            }
        }
        ssize_t r = recv(c.fd, &got, 1, 0);
        double t1 = now_s();
        if (r != 1)
            fail("sample %d: recv returned %zd (%s)", i, r, r < 0 ? strerror(errno) : "closed");
        if (got != b)
            fail("sample %d: received 0x%02x, sent 0x%02x", i, got, b);
        us.push_back((t1 - t0) * 1e6);
        // Quiet between samples, varied so that no periodic timer of the bridge lines up.
        sleep_ms(2 + i % 3);
        unsigned char extra[16];
        ssize_t more = recv(c.fd, extra, sizeof extra, MSG_DONTWAIT);
        if (more > 0)
            fail("sample %d: %zd bytes more than sent", i, more);
    }
    printf("{\"ok\": true, \"mode\": \"latency\", \"clients\": 1, \"samples\": %d, "
           "\"latency_us\": [",
           opt.samples);
    for (size_t i = 0; i < us.size(); i++)
        printf("%s%.1f", i ? ", " : "", us[i]);
    printf("]");
    print_memory();
    printf("}\n");
}

long long number(const char *flag, const char *v)
{
    char *end;
    errno = 0;
    long long x = strtoll(v, &end, 0);
    if (errno || *end || x < 0)
        fail("bad value for %s: %s", flag, v);
    return x;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: loadgen s2n|n2s|latency --master FD --port P --pid PID "
                        "[--clients N] [--bytes B] [--samples S] [--sync-ms MS] "
                        "[--idle-ms MS] [--seed X]\n");
        return 2;
    }
    opt.mode = argv[1];
    for (int i = 2; i < argc; i++) {
        std::string f = argv[i];
        if (i + 1 >= argc)
            fail("%s needs a value", f.c_str());
        const char *v = argv[++i];
        if (f == "--master")
            opt.master = static_cast<int>(number(argv[i - 1], v));
        else if (f == "--port")
            opt.port = static_cast<int>(number(argv[i - 1], v));
        else if (f == "--pid")
            opt.pid = static_cast<int>(number(argv[i - 1], v));
        else if (f == "--clients")
            opt.clients = static_cast<int>(number(argv[i - 1], v));
        else if (f == "--bytes")
            opt.bytes = number(argv[i - 1], v);
        else if (f == "--samples")
            opt.samples = static_cast<int>(number(argv[i - 1], v));
        else if (f == "--sync-ms")
            opt.sync_ms = static_cast<int>(number(argv[i - 1], v));
        else if (f == "--idle-ms")
            opt.idle_ms = static_cast<int>(number(argv[i - 1], v));
        else if (f == "--seed")
            opt.seed = static_cast<uint64_t>(number(argv[i - 1], v));
        else
            fail("unknown option %s", f.c_str());
    }
    if (opt.master < 0 || opt.port <= 0 || opt.pid <= 0 || opt.clients < 1 || opt.bytes < 1)
        fail("--master, --port, --pid are required; --clients and --bytes must be positive");
    set_nonblock(opt.master);
    ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0)
        fail("epoll_create1: %s", strerror(errno));
    ep_add(opt.master, EPOLLIN, 0);

    if (opt.mode == "s2n")
        run_s2n();
    else if (opt.mode == "n2s")
        run_n2s();
    else if (opt.mode == "latency")
        run_latency();
    else
        fail("unknown mode %s", opt.mode.c_str());
    return 0;
}
