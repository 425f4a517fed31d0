// Test plumbing shared by the end-to-end tests.
#include "harness.h"

#include <arpa/inet.h>
#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace harness {

namespace {

using clock = std::chrono::steady_clock;

int remaining_ms(clock::time_point end)
{
    auto left = std::chrono::duration_cast<ms>(end - clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for fd to become readable until `end`; false on time-out.
bool wait_readable(int fd, clock::time_point end)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, remaining_ms(end));
        if (r > 0)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

std::vector<std::string> split_prefix(const char *text)
{
    std::vector<std::string> parts;
    std::string cur;
    for (const char *p = text; *p; p++) {
        if (*p == ';') {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty())
        parts.push_back(cur);
    return parts;
}

// Writes all of `bytes`, failing the test on an error.
void write_all(int fd, const std::string &bytes, const char *what)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        ASSERT_GT(n, 0) << what << ": " << strerror(errno);
        off += static_cast<size_t>(n);
    }
}

} // namespace

const std::vector<std::string> &emulator()
{
    static const std::vector<std::string> prefix = split_prefix(HARNESS_EMULATOR);
    return prefix;
}

bool kernel_runs_target()
{
    return emulator().empty() || getenv("FERRO_KERNEL_RUNS_TARGET") != nullptr;
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/ferro-test-XXXXXX";
    if (!mkdtemp(tmpl))
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path = tmpl;
}

TempDir::~TempDir()
{
    nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path << ": " << strerror(errno);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

std::string capture_stderr(const std::function<void()> &f)
{
    TempDir dir;
    std::string path = dir.file("err");
    fflush(stderr);
    int saved = dup(2);
    FILE *tmp = fopen(path.c_str(), "w");
    dup2(fileno(tmp), 2);
    f();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    fclose(tmp);
    return read_file(path);
}

std::string read_file(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

Pty::Pty()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "pty: " << strerror(errno);
        return;
    }
    slave = ptsname(master);
    // Raw on the master side too, so the test sees exactly the bytes the program wrote.
    termios t;
    if (tcgetattr(master, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
}

Pty::~Pty() { close_master(); }

void Pty::close_master()
{
    if (master >= 0)
        close(master);
    master = -1;
}

void Pty::write(const std::string &bytes) const { write_all(master, bytes, "pty write"); }

std::string Pty::read_bytes(size_t count, ms timeout) const { return recv_bytes(master, count, timeout); }

std::string Pty::read_quiet(ms quiet, ms timeout) const
{
    std::string got;
    auto end = clock::now() + timeout;
    while (clock::now() < end) {
        auto step = std::min(clock::now() + quiet, end);
        if (!wait_readable(master, step))
            break;
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

Process::Process(const std::vector<std::string> &argv, const std::vector<std::string> &env, bool emulated,
                 const ProcessOptions &options)
{
    int err[2], out[2], in[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
        (options.stdin_pipe && pipe2(in, O_CLOEXEC) != 0)) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return;
    }
    std::vector<std::string> args;
    if (emulated)
        args = emulator();
    // Variables for the emulated program go through the emulator's -E, so that an
    // LD_PRELOAD meant for the target program never reaches the emulator itself.
    std::vector<std::string> child_env;
    for (const auto &e : env) {
        if (emulated && !emulator().empty()) {
            args.push_back("-E");
            args.push_back(e);
        } else {
            child_env.push_back(e);
        }
    }
    args.insert(args.end(), argv.begin(), argv.end());

    pid_ = fork();
    if (pid_ == 0) {
        if (in[0] >= 0)
            dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (options.terminal.empty()) {
            setpgid(0, 0);
        } else {
            // A new session has no controlling terminal: the first terminal it opens becomes it.
            setsid();
            int tty = open(options.terminal.c_str(), O_RDWR);
            if (tty < 0) {
                dprintf(2, "open %s: %s\n", options.terminal.c_str(), strerror(errno));
                _exit(127);
            }
            dup2(tty, 0);
            dup2(tty, 1);
            if (tty > 2)
                close(tty);
        }
        if (options.stdout_fd >= 0)
            dup2(options.stdout_fd, 1);
        // A test that dies must not leave its programs behind: a daemon that lost its pty
        // reopens the path, and would take over the next test's pty of the same number.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
            dprintf(2, "chdir %s: %s\n", options.cwd.c_str(), strerror(errno));
            _exit(127);
        }
        // An emulator hands its environment on to the program, so this covers both.
        for (const auto &name : options.unset)
            unsetenv(name.c_str());
        for (const auto &e : child_env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> cargv;
        for (auto &a : args)
            cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        // A clean signal state: the test runner may have signals ignored or blocked.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(cargv[0], cargv.data());
        dprintf(2, "exec %s: %s\n", cargv[0], strerror(errno));
        _exit(127);
    }
    close(err[1]);
    close(out[1]);
    if (in[0] >= 0)
        close(in[0]);
    err_fd_ = err[0];
    out_fd_ = out[0];
    in_fd_ = in[1];
    reader_ = std::thread([this] { reader(); });
}

Process::~Process()
{
    close_stdin();
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable())
        reader_.join();
    if (err_fd_ >= 0)
        close(err_fd_);
    if (out_fd_ >= 0)
        close(out_fd_);
}

void Process::signal(int sig) const
{
    if (pid_ > 0)
        kill(pid_, sig);
}

void Process::write_stdin(const std::string &bytes)
{
    ASSERT_GE(in_fd_, 0) << "no pipe to standard input";
    write_all(in_fd_, bytes, "write to standard input");
}

void Process::close_stdin()
{
    if (in_fd_ >= 0)
        close(in_fd_);
    in_fd_ = -1;
}

void Process::reader()
{
    struct Done {
        Process *p;
        ~Done()
        {
            std::lock_guard<std::mutex> lock(p->mu_);
            p->reader_done_ = true;
            p->cv_.notify_all();
        }
    } done{this};
    pollfd p[2] = {{err_fd_, POLLIN, 0}, {out_fd_, POLLIN, 0}};
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; i++) {
            if (p[i].fd < 0 || !p[i].revents)
                continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                p[i].fd = -1; // the program and everything it started have closed it
                continue;
            }
            std::lock_guard<std::mutex> lock(mu_);
            if (i == 1) {
                out_.append(buf, static_cast<size_t>(n));
            } else {
                err_partial_.append(buf, static_cast<size_t>(n));
                size_t nl;
                while ((nl = err_partial_.find('\n')) != std::string::npos) {
                    lines_.push_back(err_partial_.substr(0, nl));
                    err_partial_.erase(0, nl + 1);
                }
            }
            cv_.notify_all();
        }
    }
}

std::vector<std::string> Process::lines()
{
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
}

int Process::count(const std::string &text)
{
    int n = 0;
    for (const auto &l : lines())
        n += l.find(text) != std::string::npos;
    return n;
}

std::string Process::all_lines()
{
    std::string s;
    for (const auto &l : lines())
        s += l + "\n";
    return s;
}

std::string Process::err()
{
    std::lock_guard<std::mutex> lock(mu_);
    std::string s;
    for (const auto &l : lines_)
        s += l + "\n";
    return s + err_partial_;
}

std::string Process::out()
{
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
}

int Process::wait_line(const std::string &text, ms timeout, size_t from)
{
    auto end = clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        for (size_t i = from; i < lines_.size(); i++)
            if (lines_[i].find(text) != std::string::npos)
                return static_cast<int>(i);
        if (cv_.wait_until(lock, end) == std::cv_status::timeout) {
            for (size_t i = from; i < lines_.size(); i++)
                if (lines_[i].find(text) != std::string::npos)
                    return static_cast<int>(i);
            return -1;
        }
    }
}

bool Process::running()
{
    if (status_ >= 0)
        return false;
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

int Process::wait_exit(ms timeout)
{
    auto end = clock::now() + timeout;
    while (running()) {
        if (clock::now() >= end)
            return -1;
        struct timespec ts{0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
    // The last lines: the reader ends when every writer of the pipes has closed them.
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, ms(2000), [this] { return reader_done_; });
    return status_;
}

// Below the kernel's ephemeral range (32768 and up), so that no connection's source port can
// take it between this check and the program's bind.
int count_fds(pid_t pid)
{
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

std::string describe_fds(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd", text;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return text;
    while (dirent *e = readdir(d)) {
        char target[256] = {};
        if (e->d_name[0] != '.' && readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0)
            text += std::string(e->d_name) + " -> " + target + "\n";
    }
    closedir(d);
    return text;
}

long resident_kib(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

int free_port(int type)
{
    static unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u ^ static_cast<unsigned>(time(nullptr));
    for (int attempt = 0; attempt < 1000; attempt++) {
        seed = seed * 1103515245u + 12345u;
        int port = 20000 + static_cast<int>((seed >> 8) % 12000);
        int fd = socket(AF_INET, type, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        int ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        close(fd);
        if (ok == 0)
            return port;
    }
    ADD_FAILURE() << "no free port";
    return 0;
}

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int tcp_connect(int port, ms timeout)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a = loopback(port);
    int r = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    if (r != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            r = err == 0 ? 0 : -1;
        }
    }
    if (r != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int udp_bind(int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string recv_bytes(int fd, size_t count, ms timeout)
{
    std::string got;
    auto end = clock::now() + timeout;
    while (got.size() < count && wait_readable(fd, end)) {
        char buf[4096];
        ssize_t n = read(fd, buf, std::min(sizeof buf, count - got.size()));
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

bool wait_closed(int fd, ms timeout)
{
    auto end = clock::now() + timeout;
    while (wait_readable(fd, end)) {
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return true;
    }
    return false;
}

void send_all(int fd, const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        ASSERT_GT(n, 0) << "send: " << strerror(errno);
        off += static_cast<size_t>(n);
    }
}

} // namespace harness
