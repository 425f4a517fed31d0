// The simulated board's modem lines: a probe program on a pseudo-terminal, with and without the
// preloaded library, checked through the probe's results, the state files and boardsimctl.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#ifndef BOARDSIM_EMULATOR
#define BOARDSIM_EMULATOR ""
#endif

extern char **environ;

namespace {

constexpr int RUN_DEADLINE_MS = 5000;

struct run_result {
    bool finished = false;  // false: killed at the deadline
    int status = -1;        // exit status, or -1 if it did not exit normally
    std::string out;
    std::string err;
};

long long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The environment of this process without the variables the tests control.
std::vector<std::string> base_environment()
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        std::string var = *e;
        if (var.rfind("LD_PRELOAD=", 0) != 0 && var.rfind("BOARDSIM_DIR=", 0) != 0)
            env.push_back(var);
    }
    return env;
}

// A started program with pipes to its standard input, output and error.
class child {
public:
    // Starts ARGS in folder CWD with VARS added to this process's environment. Under the
    // target emulator VARS go through its -E, so that an LD_PRELOAD meant for the program
    // never reaches the emulator itself.
    child(const std::vector<std::string> &args, const std::vector<std::string> &vars,
          const std::string &cwd)
        : name_(args[0]), deadline_(now_ms() + RUN_DEADLINE_MS)
    {
        std::vector<std::string> words;
        std::vector<std::string> env = base_environment();
        std::string emulator = BOARDSIM_EMULATOR;
        for (size_t start = 0; start < emulator.size();) {
            size_t end = emulator.find(' ', start);
            if (end == std::string::npos)
                end = emulator.size();
            if (end > start)
                words.push_back(emulator.substr(start, end - start));
            start = end + 1;
        }
        for (const std::string &var : vars) {
            if (words.empty()) {
                env.push_back(var);
            } else {
                words.push_back("-E");
                words.push_back(var);
            }
        }
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        std::vector<char *> envp;
        for (std::string &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        int in_pipe[2], out_pipe[2], err_pipe[2];
        if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
            pipe2(err_pipe, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in_pipe[0], STDIN_FILENO);
            dup2(out_pipe[1], STDOUT_FILENO);
            dup2(err_pipe[1], STDERR_FILENO);
            if (chdir(cwd.c_str()) != 0)
                _exit(126);
            execvpe(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(in_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        in_ = in_pipe[1];
        pipes_[0] = {out_pipe[0], POLLIN, 0};
        pipes_[1] = {err_pipe[0], POLLIN, 0};
        if (pid_ < 0)
            ADD_FAILURE() << "fork: " << strerror(errno);
    }

    ~child()
    {
        close_input();
        for (pollfd &p : pipes_)
            if (p.fd >= 0)
                close(p.fd);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            reap();
        }
    }

    child(const child &) = delete;
    child &operator=(const child &) = delete;

    // Waits until the standard output holds TEXT; false at the deadline or end of output.
    bool wait_output(const std::string &text)
    {
        while (result_.out.find(text) == std::string::npos)
            if (!pump())
                return false;
        return true;
    }

    void send(const std::string &text)
    {
        if (in_ >= 0 && write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            ADD_FAILURE() << "write to " << name_ << ": " << strerror(errno);
    }

    // Closes standard input and collects everything until the program exits.
    run_result finish()
    {
        close_input();
        while (pipes_[0].fd >= 0 || pipes_[1].fd >= 0)
            if (!pump())
                break;
        if (pipes_[0].fd >= 0 || pipes_[1].fd >= 0) {
            ADD_FAILURE() << name_ << " did not exit within " << RUN_DEADLINE_MS << " ms";
            kill(pid_, SIGKILL);
            reap();
            return result_;
        }
        int status = reap();
        result_.finished = true;
        if (WIFEXITED(status))
            result_.status = WEXITSTATUS(status);
        return result_;
    }

private:
    void close_input()
    {
        if (in_ >= 0)
            close(in_);
        in_ = -1;
    }

    int reap()
    {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

    // Reads what is there once output arrives; false at the deadline or when both pipes ended.
    bool pump()
    {
        if (pipes_[0].fd < 0 && pipes_[1].fd < 0)
            return false;
        long long left = deadline_ - now_ms();
        if (left <= 0)
            return false;
        int n = poll(pipes_.data(), pipes_.size(), static_cast<int>(left));
        if (n < 0 && errno != EINTR)
            return false;
        std::string *sink[2] = {&result_.out, &result_.err};
        for (int i = 0; i < 2 && n > 0; i++) {
            if (pipes_[i].fd < 0 || pipes_[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t got = read(pipes_[i].fd, buf, sizeof buf);
            if (got > 0) {
                sink[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(pipes_[i].fd);
                pipes_[i].fd = -1;
            }
        }
        return true;
    }

    std::string name_;
    long long deadline_;
    pid_t pid_ = -1;
    int in_ = -1;
    std::array<pollfd, 2> pipes_ = {{{-1, POLLIN, 0}, {-1, POLLIN, 0}}};
    run_result result_;
};

run_result run(const std::vector<std::string> &args, const std::vector<std::string> &vars,
               const std::string &cwd)
{
    return child(args, vars, cwd).finish();
}

std::string read_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return "<missing>";
    std::string text;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool folder_is_empty(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return false;
    bool empty = true;
    while (dirent *entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            empty = false;
    closedir(dir);
    return empty;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

int remove_entry(const char *path, const struct stat *, int, FTW *)
{
    return remove(path);
}

// A temporary folder holding the board state (not created beforehand: the library must create
// it) and whatever files a test needs.
class BoardsimBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/boardsim_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
        tmp_ = pattern;
        board_ = tmp_ + "/board";
    }

    void TearDown() override
    {
        if (!tmp_.empty())
            nftw(tmp_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // The file NAME of the device opened as PATH, in the documented layout.
    std::string state_file(const std::string &path, const char *name) const
    {
        std::string key = path;
        std::replace(key.begin(), key.end(), '/', '_');
        return board_ + "/tty/" + key + "/" + name;
    }

    run_result ctl(const std::vector<std::string> &args, bool with_dir = true) const
    {
        std::vector<std::string> argv = {BOARDSIMCTL_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> vars;
        if (with_dir)
            vars.push_back("BOARDSIM_DIR=" + board_);
        return run(argv, vars, tmp_);
    }

    std::string tmp_;
    std::string board_;
};

// A pseudo-terminal whose master the test holds, standing in for a serial port.
class BoardsimTty : public BoardsimBase {
protected:
    void SetUp() override
    {
        BoardsimBase::SetUp();
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0) << strerror(errno);
        ASSERT_EQ(grantpt(master_), 0) << strerror(errno);
        ASSERT_EQ(unlockpt(master_), 0) << strerror(errno);
        pts_ = ptsname(master_);
    }

    void TearDown() override
    {
        if (master_ >= 0)
            close(master_);
        BoardsimBase::TearDown();
    }

    struct probe_env {
        bool preload = true;
        bool with_dir = true;
        std::string dir;  // BOARDSIM_DIR as given; empty: the test's state folder
        std::string cwd;
    };

    std::vector<std::string> probe_variables(const probe_env &how) const
    {
        std::vector<std::string> extra;
        if (how.preload) {
            extra.push_back(std::string("LD_PRELOAD=") + BOARDSIM_LIB);
            // An instrumented probe must accept an uninstrumented library loaded before the
            // sanitizer runtime; the option is ignored by uninstrumented programs.
            const char *asan = getenv("ASAN_OPTIONS");
            extra.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                            (asan != nullptr && *asan != '\0' ? ":" : "") +
                            "verify_asan_link_order=0");
        }
        if (how.with_dir)
            extra.push_back("BOARDSIM_DIR=" + (how.dir.empty() ? board_ : how.dir));
        return extra;
    }

    std::vector<std::string> probe_args(const std::vector<std::string> &args) const
    {
        std::vector<std::string> argv = {BOARDSIM_PROBE};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    run_result probe(const std::vector<std::string> &args, const probe_env &how) const
    {
        run_result r =
            run(probe_args(args), probe_variables(how), how.cwd.empty() ? tmp_ : how.cwd);
        EXPECT_EQ(r.status, 0) << "probe " << args.back() << " stderr: " << r.err;
        return r;
    }

    run_result probe(const std::vector<std::string> &args) const { return probe(args, {}); }

    std::string line(const char *name) const { return read_file(state_file(pts_, name)); }

    int master_ = -1;
    std::string pts_;
};

TEST_F(BoardsimTty, WithoutTheLibraryAPtyHasNoModemLines)
{
    probe_env plain;
    plain.preload = false;
    EXPECT_EQ(probe({pts_, "get"}, plain).out, "get: ENOTTY\n");
    EXPECT_FALSE(exists(board_));
}

TEST_F(BoardsimTty, EveryOpenRaisesDtrAndRts)
{
    run_result r = probe({pts_, "hupcl", "off", "get"});
    EXPECT_EQ(r.out, "hupcl: ok\nget: DTR=1 RTS=1 CTS=0 DCD=0 DSR=0 RI=0\n");
    EXPECT_EQ(line("dtr"), "1\n");
    EXPECT_EQ(line("rts"), "1\n");

    probe({pts_, "set", "0", "0"});
    ASSERT_EQ(line("dtr"), "0\n");
    ASSERT_EQ(line("rts"), "0\n");
    EXPECT_EQ(probe({pts_, "get"}).out, "get: DTR=1 RTS=1 CTS=0 DCD=0 DSR=0 RI=0\n");
}

TEST_F(BoardsimTty, TiocmsetDrivesOnlyDtrAndRts)
{
    EXPECT_EQ(probe({pts_, "hupcl", "off", "set", "0", "1"}).out, "hupcl: ok\nset: ok\n");
    EXPECT_EQ(line("dtr"), "0\n");
    EXPECT_EQ(line("rts"), "1\n");
    EXPECT_EQ(ctl({"tty", pts_}).out, "DTR=0 RTS=1 CTS=0 DCD=0 DSR=0 RI=0 breaks=0\n");

    int all_but_rts = TIOCM_DTR | TIOCM_CTS | TIOCM_CAR | TIOCM_DSR | TIOCM_RNG;
    EXPECT_EQ(probe({pts_, "tiocmset", std::to_string(all_but_rts), "get"}).out,
              "tiocmset: ok\nget: DTR=1 RTS=0 CTS=0 DCD=0 DSR=0 RI=0\n");
    EXPECT_EQ(ctl({"tty", pts_}).out, "DTR=1 RTS=0 CTS=0 DCD=0 DSR=0 RI=0 breaks=0\n");
    for (const char *input : {"cts", "dcd", "dsr", "ri"})
        EXPECT_EQ(line(input), "<missing>") << input;
}

TEST_F(BoardsimTty, BisAndBicChangeOnlyTheirLine)
{
    run_result r = probe({pts_, "hupcl", "off", "set", "0", "0", "bis", "dtr", "get", "bis", "rts",
                          "get", "bic", "dtr", "get"});
    EXPECT_EQ(r.out, "hupcl: ok\nset: ok\n"
                     "bis: ok\nget: DTR=1 RTS=0 CTS=0 DCD=0 DSR=0 RI=0\n"
                     "bis: ok\nget: DTR=1 RTS=1 CTS=0 DCD=0 DSR=0 RI=0\n"
                     "bic: ok\nget: DTR=0 RTS=1 CTS=0 DCD=0 DSR=0 RI=0\n");
    EXPECT_EQ(ctl({"tty", pts_, "get", "dtr"}).out, "0\n");
    EXPECT_EQ(ctl({"tty", pts_, "get", "rts"}).out, "1\n");
}

TEST_F(BoardsimTty, InputLinesSetFromOutsideShowInTiocmget)
{
    run_result set = ctl({"tty", pts_, "set", "dcd=1", "cts=1"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(line("dcd"), "1\n");
    EXPECT_EQ(probe({pts_, "get"}).out, "get: DTR=1 RTS=1 CTS=1 DCD=1 DSR=0 RI=0\n");

    EXPECT_EQ(ctl({"tty", pts_, "set", "dsr=1", "ri=1", "dcd=0"}).status, 0);
    EXPECT_EQ(probe({pts_, "get"}).out, "get: DTR=1 RTS=1 CTS=1 DCD=0 DSR=1 RI=1\n");
    EXPECT_EQ(ctl({"tty", pts_, "get", "dcd"}).out, "0\n");
    EXPECT_EQ(ctl({"tty", pts_, "get", "ri"}).out, "1\n");
}

TEST_F(BoardsimTty, InputLinesAreReadAtEveryRequest)
{
    // One descriptor, as a daemon polling carrier detect keeps it: the lines change between
    // two requests.
    child p(probe_args({pts_, "get", "wait", "get", "wait", "get"}), probe_variables({}), tmp_);
    ASSERT_TRUE(p.wait_output("wait: ready\n"));
    ASSERT_EQ(ctl({"tty", pts_, "set", "dcd=1", "cts=1"}).status, 0);
    p.send("\n");
    ASSERT_TRUE(
        p.wait_output("wait: ready\nget: DTR=1 RTS=1 CTS=1 DCD=1 DSR=0 RI=0\nwait: ready\n"));
    ASSERT_EQ(ctl({"tty", pts_, "set", "dcd=0"}).status, 0);
    p.send("\n");
    run_result r = p.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "get: DTR=1 RTS=1 CTS=0 DCD=0 DSR=0 RI=0\n"
                     "wait: ready\n"
                     "get: DTR=1 RTS=1 CTS=1 DCD=1 DSR=0 RI=0\n"
                     "wait: ready\n"
                     "get: DTR=1 RTS=1 CTS=1 DCD=0 DSR=0 RI=0\n");
}

TEST_F(BoardsimTty, BreaksAreCountedAndLogged)
{
    time_t before = time(nullptr);
    run_result r = probe({pts_, "break", "tcsbrk", "0", "tcsbrkp", "0", "sbrk", "cbrk", "tcsbrk",
                          "1"});
    time_t after = time(nullptr);
    EXPECT_EQ(r.out, "break: ok\ntcsbrk: ok\ntcsbrkp: ok\nsbrk: ok\ncbrk: ok\ntcsbrk: ok\n");
    EXPECT_EQ(line("breaks"), "4\n");
    EXPECT_EQ(ctl({"tty", pts_, "get", "breaks"}).out, "4\n");

    std::vector<std::string> log = split_lines(line("break_log"));
    ASSERT_EQ(log.size(), 4u) << line("break_log");
    double previous = 0;
    for (const std::string &entry : log) {
        long long sec = 0;
        char usec[16] = "";
        int used = 0;
        ASSERT_EQ(sscanf(entry.c_str(), "%lld.%15[0-9]%n", &sec, usec, &used), 2) << entry;
        EXPECT_EQ(static_cast<size_t>(used), entry.size()) << entry;
        EXPECT_EQ(strlen(usec), 6u) << entry;
        EXPECT_GE(sec, static_cast<long long>(before));
        EXPECT_LE(sec, static_cast<long long>(after));
        double stamp = static_cast<double>(sec) + atof(usec) / 1e6;
        EXPECT_GE(stamp, previous) << entry;
        previous = stamp;
    }

    EXPECT_EQ(probe({pts_, "hupcl", "off", "break"}).out, "hupcl: ok\nbreak: ok\n");
    EXPECT_EQ(ctl({"tty", pts_}).out, "DTR=1 RTS=1 CTS=0 DCD=0 DSR=0 RI=0 breaks=5\n");
    EXPECT_EQ(split_lines(line("break_log")).size(), 5u);
}

TEST_F(BoardsimTty, LastCloseWithHupclLowersDtrAndRts)
{
    // Closing a second descriptor leaves the lines up; the last close drops them.
    EXPECT_EQ(probe({pts_, "hupcl", "on", "open", "close", "get"}).out,
              "hupcl: ok\nopen: ok\nclose: ok\nget: DTR=1 RTS=1 CTS=0 DCD=0 DSR=0 RI=0\n");
    EXPECT_EQ(line("dtr"), "0\n");
    EXPECT_EQ(line("rts"), "0\n");

    probe({pts_, "hupcl", "off"});
    EXPECT_EQ(line("dtr"), "1\n");
    EXPECT_EQ(line("rts"), "1\n");
}

TEST_F(BoardsimTty, ClosedDescriptorIsForgotten)
{
    EXPECT_EQ(probe({pts_, "close-keep", "get"}).out, "close-keep: ok\nget: EBADF\n");
}

TEST_F(BoardsimTty, OtherRequestsReachTheDevice)
{
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = 80;
    ASSERT_EQ(ioctl(master_, TIOCSWINSZ, &ws), 0) << strerror(errno);
    EXPECT_EQ(probe({pts_, "winsz", "get-null"}).out, "winsz: 24 80\nget-null: EFAULT\n");
}

TEST_F(BoardsimTty, SymlinkIsKeyedByTheLinkPath)
{
    std::string link = tmp_ + "/fx1";
    ASSERT_EQ(symlink(pts_.c_str(), link.c_str()), 0) << strerror(errno);
    EXPECT_EQ(probe({link, "hupcl", "off", "set", "1", "0"}).out, "hupcl: ok\nset: ok\n");
    EXPECT_EQ(read_file(state_file(link, "dtr")), "1\n");
    EXPECT_EQ(read_file(state_file(link, "rts")), "0\n");
    EXPECT_FALSE(exists(state_file(pts_, "dtr")));
    EXPECT_EQ(ctl({"tty", link}).out, "DTR=1 RTS=0 CTS=0 DCD=0 DSR=0 RI=0 breaks=0\n");
}

TEST_F(BoardsimTty, EveryOpenVariantIsSimulated)
{
    // RI alternates from one variant to the next so that each answer is fresh.
    int ri = 0;
    for (const char *via : {"open", "open64", "openat", "openat64", "open_2", "open64_2",
                            "openat_2", "openat64_2"}) {
        ri = !ri;
        ASSERT_EQ(ctl({"tty", pts_, "set", "ri=" + std::to_string(ri)}).status, 0);
        EXPECT_EQ(probe({"--via", via, pts_, "get"}).out,
                  "get: DTR=1 RTS=1 CTS=0 DCD=0 DSR=0 RI=" + std::to_string(ri) + "\n")
            << via;
    }
}

TEST_F(BoardsimTty, WithoutBoardsimDirEverythingPassesThrough)
{
    std::string cwd = tmp_ + "/cwd";
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    probe_env no_dir;
    no_dir.with_dir = false;
    no_dir.cwd = cwd;
    EXPECT_EQ(probe({pts_, "get", "set", "0", "0", "break"}, no_dir).out,
              "get: ENOTTY\nset: ENOTTY\nbreak: ok\n");
    EXPECT_FALSE(exists(board_));
    EXPECT_TRUE(folder_is_empty(cwd));
}

TEST_F(BoardsimTty, RelativeStateFolderSurvivesAChangeOfWorkingFolder)
{
    probe_env relative;
    relative.dir = "board";
    EXPECT_EQ(probe({pts_, "hupcl", "off", "chdir", "/", "set", "0", "1"}, relative).out,
              "hupcl: ok\nchdir: ok\nset: ok\n");
    EXPECT_EQ(line("dtr"), "0\n");
    EXPECT_EQ(line("rts"), "1\n");
}

TEST_F(BoardsimTty, RegularFilesAreNotSimulated)
{
    std::string plain = tmp_ + "/plain";
    FILE *f = fopen(plain.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(probe({plain, "get", "break"}).out, "get: ENOTTY\nbreak: ENOTTY\n");
    EXPECT_FALSE(exists(board_));
}

using Boardsimctl = BoardsimBase;

TEST_F(Boardsimctl, UnknownDeviceReadsAsAllZeroWithoutCreatingIt)
{
    run_result r = ctl({"tty", "/dev/ttyS9"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "DTR=0 RTS=0 CTS=0 DCD=0 DSR=0 RI=0 breaks=0\n");
    EXPECT_EQ(ctl({"tty", "/dev/ttyS9", "get", "breaks"}).out, "0\n");
    EXPECT_FALSE(exists(board_));
}

TEST_F(Boardsimctl, SetWritesTheDocumentedFiles)
{
    run_result r = ctl({"tty", "/dev/ttyS1", "set", "cts=1", "dsr=0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(board_ + "/tty/_dev_ttyS1/cts"), "1\n");
    EXPECT_EQ(read_file(board_ + "/tty/_dev_ttyS1/dsr"), "0\n");
    EXPECT_EQ(ctl({"tty", "/dev/ttyS1"}).out, "DTR=0 RTS=0 CTS=1 DCD=0 DSR=0 RI=0 breaks=0\n");
}

TEST_F(Boardsimctl, RejectsBadAssignmentsAndWritesNothing)
{
    for (const std::vector<std::string> &bad :
         std::vector<std::vector<std::string>>{{"dcd=1", "dtr=1"},
                                               {"dcd=1", "rts=0"},
                                               {"dcd=1", "breaks=3"},
                                               {"dcd=2"},
                                               {"dcd=1", "cts="},
                                               {"dcd"},
                                               {"dcd=1", "bogus=1"},
                                               {}}) {
        std::vector<std::string> args = {"tty", "/dev/ttyS2", "set"};
        args.insert(args.end(), bad.begin(), bad.end());
        run_result r = ctl(args);
        std::string what = bad.empty() ? "(none)" : bad.back();
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_NE(r.err, "") << what;
        EXPECT_FALSE(exists(board_ + "/tty/_dev_ttyS2/dcd")) << what;
    }
}

TEST_F(Boardsimctl, RejectsUnknownLinesAndCommands)
{
    for (const std::vector<std::string> &bad :
         std::vector<std::vector<std::string>>{{"tty", "/dev/ttyS0", "get", "foo"},
                                               {"tty", "/dev/ttyS0", "get"},
                                               {"tty", "/dev/ttyS0", "flip"},
                                               {"tty"},
                                               {"i2c"}}) {
        run_result r = ctl(bad);
        EXPECT_EQ(r.status, 1) << bad.back();
        EXPECT_NE(r.err, "") << bad.back();
        EXPECT_EQ(r.out, "") << bad.back();
    }
}

TEST_F(Boardsimctl, NeedsBoardsimDir)
{
    run_result r = ctl({"tty", "/dev/ttyS0"}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("BOARDSIM_DIR"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(Boardsimctl, HelpGoesToStandardOutput)
{
    run_result help = ctl({"help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: boardsimctl", 0), 0u) << help.out;
    run_result none = ctl({});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, help.out);
}

}  // namespace
