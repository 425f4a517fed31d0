// Test plumbing: child processes with captured output, ptys, sockets, temporary folders.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using ms = std::chrono::milliseconds;

// A temporary folder, removed with its contents at the end of the test.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

void write_file(const std::string &path, const std::string &content);
// Runs `f` with this process's standard error sent to a file; returns what was written.
std::string capture_stderr(const std::function<void()> &f);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

// A pseudo-terminal pair in raw mode; the test holds the master and plays the device.
struct Pty {
    int master = -1;
    std::string slave;
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    void write(const std::string &bytes) const;
    // Reads until `count` bytes arrived or the deadline passed; returns what arrived.
    std::string read_bytes(size_t count, ms timeout) const;
    // Reads whatever arrives until the line has been quiet for `quiet`.
    std::string read_quiet(ms quiet, ms timeout) const;
    // Closes the master: the slave side sees a hang-up.
    void close_master();
};

// Less common settings for a started program.
struct ProcessOptions {
    std::string cwd;                // working folder; empty: this process's
    bool stdin_pipe = false;        // standard input fed by write_stdin; otherwise inherited
    std::vector<std::string> unset; // inherited variables the program must not see
    // A terminal (a pty's slave) as standard input and output and as the controlling terminal
    // of a session of the program's own, as when a user starts it; empty: none.
    std::string terminal{};
    int stdout_fd = -1;             // standard output goes here instead of being captured
};

// A program started with extra environment; standard error (and output) captured as lines.
class Process {
public:
    // argv[0] is the program path. Target binaries are started through the build's emulator.
    Process(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
            bool emulated = true, const ProcessOptions &options = {});
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;

    // Waits for a standard-error line containing `text`, looking at lines from index `from`
    // on; returns its index, or -1 after the deadline.
    int wait_line(const std::string &text, ms timeout, size_t from = 0);
    // Lines of standard error read so far (a copy: a reader thread keeps adding).
    std::vector<std::string> lines();
    size_t line_count() { return lines().size(); }
    int count(const std::string &text);
    std::string all_lines();
    std::string out(); // standard output read so far
    std::string err(); // standard error read so far, an unfinished last line included

    void write_stdin(const std::string &bytes);
    void close_stdin();

    // Waits for the process to end; returns its exit status, 128+signal, or -1 on time-out.
    int wait_exit(ms timeout);
    bool running();

private:
    // Drains both pipes as the program writes, so that it never blocks on a full pipe.
    void reader();
    pid_t pid_ = -1;
    int err_fd_ = -1, out_fd_ = -1, in_fd_ = -1;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string err_partial_, out_;
    std::vector<std::string> lines_;
    std::thread reader_;
    bool reader_done_ = false;
    int status_ = -1;
};

// Descriptors a process has open (from /proc), or -1 when it cannot be read.
int count_fds(pid_t pid);
// What they are, "N -> target" one a line, for failure messages.
std::string describe_fds(pid_t pid);
// Resident memory of a process in KiB (VmRSS), or -1.
long resident_kib(pid_t pid);

// The emulator prefix of this build, empty on the host.
const std::vector<std::string> &emulator();

// True when the kernel starts target programs by itself, so that one can re-execute itself:
// always on the host; under emulation only inside scripts/with-target-binfmt.
bool kernel_runs_target();

// Sockets on 127.0.0.1.
int free_port(int type); // SOCK_STREAM or SOCK_DGRAM
sockaddr_in loopback(int port); // 127.0.0.1:PORT
int tcp_connect(int port, ms timeout = ms(5000)); // -1 when refused or timed out
int udp_bind(int port); // -1 on failure
// Reads until `count` bytes arrived, the peer closed, or the deadline; returns the bytes.
std::string recv_bytes(int fd, size_t count, ms timeout);
// True when the peer closed the connection (read returned 0 or reset) before the deadline.
bool wait_closed(int fd, ms timeout);
void send_all(int fd, const std::string &bytes);

// Polls `cond` every 10 ms until it holds or the deadline passes.
template <typename F> bool eventually(F cond, ms timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        struct timespec ts{0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

} // namespace harness
