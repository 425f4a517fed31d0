// The simulated board's modem lines: a probe program on a pseudo-terminal, with and without the
// preloaded library, checked through the probe's results, the state files and boardsimctl.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::file_exists;
using harness::read_file;

const harness::ms RUN_TIMEOUT(5000);

struct run_result {
    int status = -1; // exit status, 128+signal, or -1 when it did not end in time
    std::string out;
    std::string err;
};

// A target program in folder CWD with VARS added, standard input a pipe, and none of the
// variables the tests control inherited from this process.
class child : public harness::Process {
public:
    child(const std::vector<std::string> &args, const std::vector<std::string> &vars,
          const std::string &cwd)
        : Process(args, vars, true, {cwd, true, {"LD_PRELOAD", "BOARDSIM_DIR"}}), name_(args[0])
    {
    }

    // Waits until the standard output holds TEXT.
    bool wait_output(const std::string &text)
    {
        return harness::eventually([&] { return out().find(text) != std::string::npos; },
                                   RUN_TIMEOUT);
    }

    // Closes standard input and collects everything once the program has exited.
    run_result finish()
    {
        close_stdin();
        run_result r;
        r.status = wait_exit(RUN_TIMEOUT);
        if (r.status < 0)
            ADD_FAILURE() << name_ << " did not exit within " << RUN_TIMEOUT.count() << " ms";
        r.out = out();
        r.err = err();
        return r;
    }

private:
    std::string name_;
};

run_result run(const std::vector<std::string> &args, const std::vector<std::string> &vars,
               const std::string &cwd)
{
    return child(args, vars, cwd).finish();
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

// A temporary folder holding the board state (not created beforehand: the library must create
// it) and whatever files a test needs.
class BoardsimBase : public ::testing::Test {
protected:
    harness::TempDir dir_;
    const std::string tmp_ = dir_.path;
    const std::string board_ = dir_.file("board");

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
};

// A pseudo-terminal whose master the test holds, standing in for a serial port.
class BoardsimTty : public BoardsimBase {
protected:
    harness::Pty pty_;
    const std::string pts_ = pty_.slave;

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
};

// The simulated bus: only the controller's address answers, a transfer before an address is set
// is not acknowledged either, console mode clears both watchdog bits, an injected read fault
// fails that register alone.
TEST_F(BoardsimTty, I2cBusAnswersOnlyAtTheControllersAddress)
{
    const std::string bus = board_ + "/i2c/i2c-0";
    for (const std::string &d : {board_, board_ + "/i2c", bus, bus + "/reg", bus + "/read_error"})
        mkdir(d.c_str(), 0755);
    harness::write_file(bus + "/reg/5", "11\n"); // watchdog enabled, console mode, watchdog active
    harness::write_file(bus + "/reg/6", "3\n");
    run_result r = probe({"/dev/i2c-0", "rd", "5", "slave", "0x11", "rd", "5", "slave", "0x10",
                          "rd", "5", "wr", "0", "54", "rd", "5"});
    EXPECT_EQ(r.out, "rd: ENXIO\nslave: ENXIO\nrd: ENXIO\nslave: ok\nrd: 11\nwr: ok\nrd: 2\n");

    harness::write_file(bus + "/read_error/5", "EIO\n");
    r = probe({"/dev/i2c-0", "slave", "0x10", "rd", "5", "rd", "6"});
    EXPECT_EQ(r.out, "slave: ok\nrd: EIO\nrd: 3\n");
}

TEST_F(BoardsimTty, WithoutTheLibraryAPtyHasNoModemLines)
{
    probe_env plain;
    plain.preload = false;
    EXPECT_EQ(probe({pts_, "get"}, plain).out, "get: ENOTTY\n");
    EXPECT_FALSE(file_exists(board_));
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
        EXPECT_FALSE(file_exists(state_file(pts_, input))) << input;
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
    p.write_stdin("\n");
    ASSERT_TRUE(
        p.wait_output("wait: ready\nget: DTR=1 RTS=1 CTS=1 DCD=1 DSR=0 RI=0\nwait: ready\n"));
    ASSERT_EQ(ctl({"tty", pts_, "set", "dcd=0"}).status, 0);
    p.write_stdin("\n");
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
    // time() reads a coarse clock that can lag the stamps' clock into the previous second.
    time_t after = time(nullptr) + 1;
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
    ASSERT_EQ(ioctl(pty_.master, TIOCSWINSZ, &ws), 0) << strerror(errno);
    EXPECT_EQ(probe({pts_, "winsz", "get-null"}).out, "winsz: 24 80\nget-null: EFAULT\n");
}

TEST_F(BoardsimTty, SymlinkIsKeyedByTheLinkPath)
{
    std::string link = tmp_ + "/fx1";
    ASSERT_EQ(symlink(pts_.c_str(), link.c_str()), 0) << strerror(errno);
    EXPECT_EQ(probe({link, "hupcl", "off", "set", "1", "0"}).out, "hupcl: ok\nset: ok\n");
    EXPECT_EQ(read_file(state_file(link, "dtr")), "1\n");
    EXPECT_EQ(read_file(state_file(link, "rts")), "0\n");
    EXPECT_FALSE(file_exists(state_file(pts_, "dtr")));
    EXPECT_EQ(ctl({"tty", link}).out, "DTR=1 RTS=0 CTS=0 DCD=0 DSR=0 RI=0 breaks=0\n");
}

TEST_F(BoardsimTty, EveryOpenVariantIsSimulated)
{
    // RI alternates from one variant to the next so that each answer is fresh.
    int ri = 0;
    std::vector<const char *> variants = {"open", "open64", "openat", "openat64"};
    if (PROBE_CHECKED_OPEN)  // glibc's, for fortified programs; not in every C library
        variants.insert(variants.end(), {"open_2", "open64_2", "openat_2", "openat64_2"});
    for (const char *via : variants) {
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
    EXPECT_FALSE(file_exists(board_));
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
    harness::write_file(plain, "");
    EXPECT_EQ(probe({plain, "get", "break"}).out, "get: ENOTTY\nbreak: ENOTTY\n");
    EXPECT_FALSE(file_exists(board_));
}

using Boardsimctl = BoardsimBase;

TEST_F(Boardsimctl, UnknownDeviceReadsAsAllZeroWithoutCreatingIt)
{
    run_result r = ctl({"tty", "/dev/ttyS9"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "DTR=0 RTS=0 CTS=0 DCD=0 DSR=0 RI=0 breaks=0\n");
    EXPECT_EQ(ctl({"tty", "/dev/ttyS9", "get", "breaks"}).out, "0\n");
    EXPECT_FALSE(file_exists(board_));
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
        EXPECT_FALSE(file_exists(board_ + "/tty/_dev_ttyS2/dcd")) << what;
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

// The listing reads the scratch-pad folder with the getdents64 system call (every C library
// has syscall(); not every one has the getdents64 wrapper).
TEST_F(Boardsimctl, BoardListsEntriesInByteOrderWithTheirSizes)
{
    harness::write_file(tmp_ + "/three", "xyz");
    harness::write_file(tmp_ + "/one", "q");
    ASSERT_EQ(ctl({"board", "put", "b", tmp_ + "/three"}).status, 0);
    ASSERT_EQ(ctl({"board", "put", "a b", tmp_ + "/one"}).status, 0);
    EXPECT_EQ(ctl({"board"}).out, "1 a b\n3 b\n");
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
