// ttyscope end to end: one pty plays the serial device, a second one the user's terminal (the
// test types on it and reads the screen), under the simulated board.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::ms;

const ms WAIT(8000);
const std::string ESC = "\033";

// How a status line reaches the screen (the terminal turns "\n" into "\r\n").
std::string status_start(const std::string &text) { return "\r" + ESC + "[K" + ESC + "[1;30m> " + text; }
std::string status_line(const std::string &text) { return status_start(text) + ESC + "[0m\r\n"; }

// The length of a time stamp "ESC[1;30mHH:MM:SS.mmmESC[0m " at AT in TEXT, 0 when there is
// none there; its second of the day goes to *SECOND.
size_t stamp_at(const std::string &text, size_t at, int *second = nullptr)
{
    const std::string grey = ESC + "[1;30m", reset = ESC + "[0m ";
    const std::string shape = "dd:dd:dd.ddd";
    if (at > text.size() || text.compare(at, grey.size(), grey) != 0)
        return 0;
    size_t p = at + grey.size();
    for (size_t i = 0; i < shape.size(); i++) {
        unsigned char c = p + i < text.size() ? static_cast<unsigned char>(text[p + i]) : 0;
        if (shape[i] == 'd' ? !isdigit(c) : c != shape[i])
            return 0;
    }
    if (text.compare(p + shape.size(), reset.size(), reset) != 0)
        return 0;
    if (second)
        *second = std::stoi(text.substr(p, 2)) * 3600 + std::stoi(text.substr(p + 3, 2)) * 60 +
                  std::stoi(text.substr(p + 6, 2));
    return grey.size() + shape.size() + reset.size();
}

bool any_stamp(const std::string &text)
{
    for (size_t at = text.find(ESC); at != std::string::npos; at = text.find(ESC, at + 1))
        if (stamp_at(text, at))
            return true;
    return false;
}

bool same_settings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::vector<std::string> board_env(const std::string &board)
{
    return {"LD_PRELOAD=" BOARDSIM_LIB, "BOARDSIM_DIR=" + board,
            "ASAN_OPTIONS=verify_asan_link_order=0"};
}

struct Scope {
    harness::TempDir dir;
    harness::Pty serial; // the device
    harness::Pty user;   // the user's terminal
    int user_slave = -1;
    termios before{};
    std::string screen;
    std::unique_ptr<harness::Process> proc;

    Scope()
    {
        // As a shell leaves a terminal: line editing, echo and signal keys; CR to NL on input,
        // NL to CR NL on output. (Settings made on a pty's master apply to its slave.)
        termios t;
        tcgetattr(user.master, &t);
        t.c_iflag = ICRNL | IXON;
        t.c_oflag = OPOST | ONLCR;
        t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
        tcsetattr(user.master, TCSANOW, &t);
        tcgetattr(user.master, &before);
        // Held open so that what the program wrote can be read after it is gone.
        user_slave = open(user.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        mkdir(board().c_str(), 0755);
    }
    ~Scope() { close(user_slave); }

    std::string board() const { return dir.file("board"); }

    // Starts ttyscope in the test's folder, the serial pty last on its command line unless
    // PORT is false; standard output on the user's terminal unless STDOUT_FD is given.
    void start(std::vector<std::string> args, int stdout_fd = -1, bool port = true,
               const std::vector<std::string> &env = {})
    {
        std::vector<std::string> argv{TTYSCOPE_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        if (port)
            argv.push_back(serial.slave);
        harness::ProcessOptions o;
        o.cwd = dir.path;
        o.terminal = user.slave;
        o.stdout_fd = stdout_fd;
        std::vector<std::string> vars = board_env(board());
        vars.insert(vars.end(), env.begin(), env.end());
        proc = std::make_unique<harness::Process>(argv, vars, true, o);
    }

    // The program has taken the user's terminal: no local-mode flags left.
    bool raw()
    {
        return harness::eventually(
            [&] {
                termios t;
                return tcgetattr(user.master, &t) == 0 && t.c_lflag == 0;
            },
            WAIT);
    }

    bool connect(std::vector<std::string> args = {})
    {
        start(args);
        return wait_screen("Connect to ") && raw();
    }

    // Reads the screen until it holds TEXT (COUNT times).
    bool wait_screen(const std::string &text, int count = 1, ms timeout = WAIT)
    {
        auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (occurrences(text) >= count)
                return true;
            auto left = std::chrono::duration_cast<ms>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_screen(left))
                return occurrences(text) >= count;
        }
    }
    // Takes in what arrives on the screen until it has been quiet for QUIET.
    void settle(ms quiet = ms(400))
    {
        while (read_screen(quiet)) {
        }
    }
    bool read_screen(ms timeout)
    {
        pollfd p{user.master, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(user.master, buf, sizeof buf);
        if (n <= 0)
            return false;
        screen.append(buf, static_cast<size_t>(n));
        return true;
    }
    int occurrences(const std::string &text) const
    {
        int n = 0;
        for (size_t at = screen.find(text); at != std::string::npos; at = screen.find(text, at + 1))
            n++;
        return n;
    }

    void type(const std::string &keys) { user.write(keys); }
    std::string port_read(size_t count, ms timeout = WAIT) { return serial.read_bytes(count, timeout); }

    termios port_settings() const
    {
        termios t{};
        tcgetattr(serial.master, &t);
        return t;
    }
    bool restored() const
    {
        termios now{};
        return tcgetattr(user.master, &now) == 0 && same_settings(before, now);
    }
    int exit_status() { return proc->wait_exit(WAIT); }

    // boardsimctl on the serial device; its output without the newline.
    std::string ctl(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{BOARDSIMCTL_BIN, "tty", serial.slave};
        argv.insert(argv.end(), args.begin(), args.end());
        harness::Process p(argv, {"BOARDSIM_DIR=" + board()});
        EXPECT_EQ(p.wait_exit(WAIT), 0) << p.err();
        std::string out = p.out();
        return out.empty() ? out : out.substr(0, out.size() - 1);
    }
    void set_line(const std::string &assignment) { ctl({"set", assignment}); }
    // Flips CTS until the modem watch reports it, so that the watch holds a recorded state
    // (its first poll only records); leaves CTS on.
    bool watching()
    {
        for (int i = 0; i < 40; i++) {
            bool on = i % 2 == 0;
            std::string shown = on ? "[CTS] [ri] " : "[cts] [ri] ";
            int seen = occurrences(shown);
            set_line(on ? "cts=1" : "cts=0");
            if (wait_screen(shown, seen + 1, ms(300))) {
                if (on)
                    return true;
                seen = occurrences("[CTS] [ri] ");
                set_line("cts=1");
                return wait_screen("[CTS] [ri] ", seen + 1);
            }
        }
        return false;
    }
    std::string line(const std::string &name) { return ctl({"get", name}); }
};

TEST(TtyscopeCommandLine, BadOptionPrintsUsageAndFails)
{
    harness::Process p({TTYSCOPE_BIN, "-z"});
    EXPECT_EQ(p.wait_exit(WAIT), 1);
    EXPECT_EQ(p.out(), std::string("usage: ") + TTYSCOPE_BIN +
                           " [-r] [port] [baudrate]\n\n"
                           "  -b RATE   Set baudrate to RATE\n"
                           "  -e        Enable local echo\n"
                           "  -n        translate newline to cr\n"
                           "  -l PATH   Log to given file\n"
                           "  -r\t    use RTS/CTS hardware handshaking\n"
                           "  -h\t    HEX mode\n"
                           "  -x\t    Enable XON/XOFF flow control\n");
    EXPECT_NE(p.err().find("invalid option"), std::string::npos) << p.err();
}

TEST(TtyscopeCommandLine, RatesOutsideTheTableAreRefusedBeforeThePortIsOpened)
{
    harness::Pty serial;
    harness::TempDir dir;
    for (const std::vector<std::string> &rate :
         {std::vector<std::string>{"-b", "75"}, {"600"}, {"-b", "0"}}) {
        std::vector<std::string> argv{TTYSCOPE_BIN};
        argv.insert(argv.end(), rate.begin(), rate.end());
        argv.push_back(serial.slave);
        harness::Process p(argv, board_env(dir.path));
        EXPECT_EQ(p.wait_exit(WAIT), 1) << rate.back();
        EXPECT_EQ(p.err(), "Illegal baudrate supplied\n") << rate.back();
    }
    EXPECT_FALSE(harness::file_exists(dir.file("tty"))) << "the port was opened (DTR raised)";
}

TEST(TtyscopeCommandLine, UnopenablePortGetsDevPrefixAndFails)
{
    harness::Process p({TTYSCOPE_BIN, "9600", "no-such-ttyscope-port"});
    EXPECT_EQ(p.wait_exit(WAIT), 1);
    EXPECT_EQ(p.err(), "/dev/no-such-ttyscope-port: No such file or directory\n");
}

TEST(TtyscopeSession, PortPathsAndRatesInEitherOrder)
{
    struct Case {
        std::vector<std::string> args;
        const char *rate;
        speed_t speed;
    };
    // The link stands for the port; a name far beyond 31 characters must be opened whole.
    const std::string name = "serial-by-id-usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    for (const Case &c : {Case{{"LINK", "9600"}, "9600", B9600},
                          Case{{"-b", "9600", "115k2", "LINK"}, "115200", B115200},
                          Case{{"-b", "50"}, "50", B50}, Case{{"-b", "4000000"}, "4000000", B4000000}}) {
        Scope s;
        std::string link = s.dir.file(name);
        ASSERT_EQ(symlink(s.serial.slave.c_str(), link.c_str()), 0);
        ASSERT_GT(link.size(), 40u);
        std::vector<std::string> args = c.args;
        bool own_port = false;
        for (auto &a : args)
            if (a == "LINK")
                a = link, own_port = true;
        s.start(args, -1, !own_port);
        std::string port = own_port ? link : s.serial.slave;
        ASSERT_TRUE(s.wait_screen(status_line("Connect to " + port + " at " + c.rate + " bps")))
            << s.screen;
        ASSERT_TRUE(s.raw());
        termios t = s.port_settings();
        // qemu-mips (7.2) carries speed codes up to B460800 only; above that the emulated
        // program sets, and this emulated test reads, B0.
        if (harness::emulator().empty() || c.speed <= B460800) {
            EXPECT_EQ(cfgetospeed(&t), c.speed) << c.rate;
            EXPECT_EQ(cfgetispeed(&t), c.speed) << c.rate;
        }
        EXPECT_EQ(t.c_cflag & (CSIZE | CREAD | CLOCAL | CRTSCTS | PARENB | CSTOPB),
                  static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
        s.type("k");
        EXPECT_EQ(s.port_read(1), "k");
        s.type("~.");
        EXPECT_EQ(s.exit_status(), 0);
    }
}

TEST(TtyscopeSession, TypingEscapesEchoAndExit)
{
    Scope s;
    ASSERT_TRUE(s.connect({"-e"})) << s.screen;
    EXPECT_NE(s.screen.find(status_line("Connect to " + s.serial.slave + " at 115200 bps")),
              std::string::npos)
        << s.screen;

    s.type("hi");
    EXPECT_EQ(s.port_read(2), "hi");
    s.serial.write("there");
    s.type("~~");
    EXPECT_EQ(s.port_read(1), "~");
    s.type("~x41~X4");
    s.type("1");
    EXPECT_EQ(s.port_read(2), "AA");
    EXPECT_TRUE(s.wait_screen("hithere~AA")) << "echo shows the tilde once: " << s.screen;
    EXPECT_EQ(s.port_read(1, ms(300)), "") << "nothing more was sent";

    s.type("~?");
    std::string help;
    for (const char *l : {"~    send tilde", ".    exit", "b    send break", "d    toggle dtr",
                          "m    show modem status lines", "h    toggle hex mode", "e    toggle echo",
                          "l    toggle logging", "t    toggle timestamp",
                          "xNN  enter hex character NN"})
        help += status_line(l);
    EXPECT_TRUE(s.wait_screen(help)) << s.screen;

    s.type("~.");
    EXPECT_EQ(s.exit_status(), 0);
    EXPECT_TRUE(s.wait_screen("\r\n" + status_line("Exit"))) << s.screen;
    EXPECT_TRUE(s.restored());
}

TEST(TtyscopeSession, NewlineTranslationSparesHexEntryAndTildeGreaterExits)
{
    Scope s;
    ASSERT_TRUE(s.connect({"-n"})) << s.screen;
    s.type("\r"); // Enter: the terminal hands it over as a newline
    EXPECT_EQ(s.port_read(1), "\r");
    s.type("~x0a");
    EXPECT_EQ(s.port_read(1), "\n");
    s.type("~>");
    EXPECT_EQ(s.exit_status(), 0);
    EXPECT_TRUE(s.wait_screen(status_line("Exit"))) << s.screen;
    EXPECT_TRUE(s.restored());
}

TEST(TtyscopeSession, StopSignalsEndInOrder)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        Scope s;
        ASSERT_TRUE(s.connect()) << s.screen;
        s.proc->signal(sig);
        EXPECT_EQ(s.exit_status(), 0) << strsignal(sig);
        EXPECT_TRUE(s.wait_screen(status_line("Exit"))) << strsignal(sig) << ": " << s.screen;
        EXPECT_TRUE(s.restored()) << strsignal(sig);
    }
}

TEST(TtyscopeSession, EndOfStandardInputEndsWithStatus0)
{
    Scope s;
    harness::ProcessOptions o;
    o.cwd = s.dir.path;
    o.stdin_pipe = true;
    harness::Process p({TTYSCOPE_BIN, s.serial.slave}, board_env(s.board()), true, o);
    p.write_stdin("ab");
    EXPECT_EQ(s.port_read(2), "ab");
    p.close_stdin();
    EXPECT_EQ(p.wait_exit(WAIT), 0) << p.err();
    EXPECT_EQ(p.err().find("Error"), std::string::npos) << "no error at the end of input: " << p.err();
}

TEST(TtyscopeSession, ReaderOfOutputGoingAwayEndsInOrder)
{
    Scope s;
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    s.start({}, p[1]);
    close(p[1]);
    ASSERT_TRUE(s.raw());
    close(p[0]);
    s.serial.write("reading\r\n");
    EXPECT_EQ(s.exit_status(), 0);
    EXPECT_TRUE(s.restored());
}

TEST(TtyscopeSession, SerialSideClosingFailsWithMessage)
{
    {
        Scope s;
        ASSERT_TRUE(s.connect()) << s.screen;
        s.serial.close_master();
        EXPECT_EQ(s.exit_status(), 1);
        EXPECT_TRUE(s.wait_screen(status_line("Serial port closed") + status_line("Exit"))) << s.screen;
        EXPECT_TRUE(s.restored());
    }
    {
        // Output captured in a file: the message goes to standard error instead.
        Scope s;
        int out = open(s.dir.file("capture").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        s.start({}, out);
        close(out);
        ASSERT_TRUE(s.raw());
        s.serial.close_master();
        EXPECT_EQ(s.exit_status(), 1);
        EXPECT_EQ(s.proc->err(), "Serial port closed\n");
        EXPECT_EQ(harness::read_file(s.dir.file("capture")), "");
        EXPECT_TRUE(s.restored());
    }
}

TEST(TtyscopeDisplay, HexLinesWinOverTimestamps)
{
    Scope s;
    s.start({"-h", "-t"});
    ASSERT_TRUE(s.wait_screen(status_line("Hex mode enabled") + status_start("Connect to "))) << s.screen;
    ASSERT_TRUE(s.raw());
    const std::string first =
        "\r00000000  41 0a 62 63 64 65 66 67  68 69 6a 6b 6c 6d 6e 6f  |A.bcdefghijklmno|";
    s.serial.write("A\nbcdefghijklmno");
    ASSERT_TRUE(s.wait_screen(first)) << s.screen;
    s.serial.write("p");
    EXPECT_TRUE(s.wait_screen(first + "\r\n\r00000010  70" + std::string(48, ' ') + "|p" +
                              std::string(15, ' ') + "|"))
        << s.screen;
    EXPECT_FALSE(any_stamp(s.screen)) << s.screen;

    // Hex off: the time stamps asked for with -t appear.
    s.type("~h");
    ASSERT_TRUE(s.wait_screen(status_line("Hex mode disabled"))) << s.screen;
    s.serial.write("q\n");
    EXPECT_TRUE(s.wait_screen("q\r\n" + ESC + "[1;30m")) << s.screen;
    s.type("~.");
    EXPECT_EQ(s.exit_status(), 0);
}

TEST(TtyscopeDisplay, TimestampStartsEachLineAfterANewline)
{
    Scope s;
    s.start({"-t"}, -1, true, {"TZ=FER-5"}); // five hours east of UTC
    ASSERT_TRUE(s.wait_screen("Connect to ") && s.raw()) << s.screen;
    s.serial.write("one\ntwo\n");
    ASSERT_TRUE(s.wait_screen(ESC + "[0m ", 2)) << s.screen;
    // No stamp on the first line; one after each newline.
    size_t one = s.screen.find(" bps" + ESC + "[0m\r\none\r\n");
    ASSERT_NE(one, std::string::npos) << s.screen;
    size_t at = one + 4 + ESC.size() + 3 + 7;
    int second = 0;
    size_t len = stamp_at(s.screen, at, &second);
    ASSERT_GT(len, 0u) << s.screen.substr(at);
    EXPECT_EQ(s.screen.compare(at + len, 5, "two\r\n"), 0) << s.screen.substr(at);
    EXPECT_GT(stamp_at(s.screen, at + len + 5), 0u) << s.screen.substr(at);
    // Local time of day.
    // Either way round: time() reads a coarse clock that can still show the second before the
    // one the stamp was taken in.
    int local = static_cast<int>((time(nullptr) + 5 * 3600) % 86400);
    int diff = (local - second + 86400) % 86400;
    EXPECT_LE(std::min(diff, 86400 - diff), 30) << s.screen.substr(at, len);

    s.type("~t");
    ASSERT_TRUE(s.wait_screen(status_line("Timestamps disabled"))) << s.screen;
    s.serial.write("three\nfour");
    EXPECT_TRUE(s.wait_screen("three\r\nfour")) << s.screen;
    EXPECT_FALSE(any_stamp(s.screen.substr(s.screen.find("three")))) << s.screen;
    s.type("~.");
    EXPECT_EQ(s.exit_status(), 0);
}

TEST(TtyscopeDisplay, OutputToAFileHoldsDataButNoStatusLines)
{
    Scope s;
    std::string capture = s.dir.file("capture");
    int out = open(capture.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    s.start({}, out);
    close(out);
    ASSERT_TRUE(s.raw());
    s.serial.write("reading 1\r\n");
    EXPECT_TRUE(harness::eventually([&] { return harness::read_file(capture) == "reading 1\r\n"; }, WAIT))
        << harness::read_file(capture);
    s.type("~m~e~?~.");
    EXPECT_EQ(s.exit_status(), 0);
    EXPECT_EQ(harness::read_file(capture), "reading 1\r\n\n");
    EXPECT_EQ(s.proc->err(), "");
    EXPECT_TRUE(s.restored());
}

TEST(TtyscopeLog, HoldsSerialAndTypedBytesAndOpensOnce)
{
    Scope s;
    std::string log = s.dir.file("session.log");
    s.start({"-l", log});
    ASSERT_TRUE(s.wait_screen(status_line("Writing log to " + log))) << s.screen;
    ASSERT_TRUE(s.raw());
    s.type("ab");
    EXPECT_EQ(s.port_read(2), "ab");
    s.serial.write("xyz");
    ASSERT_TRUE(s.wait_screen("xyz"));
    EXPECT_EQ(harness::read_file(log), "abxyz") << "written through, not held until the end";
    s.type("~m");
    ASSERT_TRUE(s.wait_screen("[DTR]")) << s.screen;
    s.type("~l");
    ASSERT_TRUE(s.wait_screen(status_line("Logging disabled"))) << s.screen;
    s.type("q");
    EXPECT_EQ(s.port_read(1), "q");
    s.type("~l");
    ASSERT_TRUE(s.wait_screen(status_line("Logging enabled"))) << s.screen;
    s.type("z");
    EXPECT_EQ(s.port_read(1), "z");
    s.type("~.");
    EXPECT_EQ(s.exit_status(), 0);
    EXPECT_EQ(s.occurrences("Writing log to"), 1) << "opened once";
    EXPECT_EQ(harness::read_file(log), "abxyz~m~lz~.");
}

TEST(TtyscopeLog, UnopenableLogLeavesLoggingOffAndIsTriedAgain)
{
    Scope s;
    s.start({"-l", s.dir.file("missing/session.log")});
    ASSERT_TRUE(s.wait_screen(status_line("Error opening log: No such file or directory"))) << s.screen;
    ASSERT_TRUE(s.raw());
    s.type("a");
    EXPECT_EQ(s.port_read(1), "a");
    s.type("~l");
    ASSERT_TRUE(s.wait_screen(status_line("Writing log to ttyscope.log") +
                              status_line("Logging enabled")))
        << s.screen;
    s.type("k~.");
    EXPECT_EQ(s.exit_status(), 0);
    EXPECT_EQ(harness::read_file(s.dir.file("ttyscope.log")), "k~.");
}

TEST(TtyscopeLog, FullDiskStopsLoggingWithAMessageAndLIsTriedAgain)
{
    Scope s;
    // A 16 KB disk in a mount namespace of this test's own, so that nothing outside sees it.
    std::string disk = s.dir.file("disk");
    mkdir(disk.c_str(), 0755);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=16k") != 0)
        GTEST_SKIP() << "no small tmpfs of our own can be mounted here: " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};

    std::string log = disk + "/session.log";
    ASSERT_TRUE(s.connect({"-l", log})) << s.screen;
    const std::string error = status_line("Error writing log file: No space left on device") +
                              status_line("Logging disabled");
    int chunk = 0;
    auto send_chunk = [&] {
        std::string mark = "<" + std::to_string(chunk++) + ">";
        s.serial.write(std::string(1000, '.') + mark);
        return s.wait_screen(mark);
    };
    while (chunk < 40 && s.occurrences(error) == 0)
        ASSERT_TRUE(send_chunk()) << s.screen.substr(s.screen.size() > 300 ? s.screen.size() - 300 : 0);
    ASSERT_EQ(s.occurrences(error), 1) << "no message after 40 KB on a 16 KB disk";
    ASSERT_TRUE(send_chunk() && send_chunk());
    EXPECT_EQ(s.occurrences(error), 1) << "reported once, then logging is off";

    // Room again: the next ~l opens the same file and logs.
    ASSERT_EQ(truncate(log.c_str(), 0), 0);
    s.type("~l");
    ASSERT_TRUE(s.wait_screen(status_line("Writing log to " + log) + status_line("Logging enabled")))
        << s.screen;
    s.type("z~.");
    EXPECT_EQ(s.exit_status(), 0);
    EXPECT_EQ(harness::read_file(log), "z~.");
}

TEST(TtyscopeModem, WatchStatusLineTogglesAndBreak)
{
    Scope s;
    s.set_line("dcd=1");
    ASSERT_TRUE(s.connect()) << s.screen;
    s.settle(ms(600));
    EXPECT_EQ(s.occurrences("> ["), 0) << "the first poll only records: " << s.screen;

    ASSERT_TRUE(s.watching()) << s.screen;
    EXPECT_GE(s.occurrences(status_line("[DTR] [dsr] [DCD] [RTS] [CTS] [ri] ")), 1) << s.screen;
    s.settle();
    int shown = s.occurrences("> [");
    s.set_line("dcd=0");
    EXPECT_TRUE(s.wait_screen(status_line("[DTR] [dsr] [dcd] [RTS] [CTS] [ri] "))) << s.screen;
    s.settle();
    EXPECT_EQ(s.occurrences("> ["), shown + 1) << "one line per change: " << s.screen;

    s.type("~m");
    EXPECT_TRUE(s.wait_screen("[DTR] [dsr] [dcd] [RTS] [CTS] [ri] ", 2)) << s.screen;

    s.type("~r");
    EXPECT_TRUE(harness::eventually([&] { return s.line("rts") == "0"; }, WAIT));
    EXPECT_TRUE(s.wait_screen(status_line("[DTR] [dsr] [dcd] [rts] [CTS] [ri] "))) << s.screen;
    s.type("~d");
    EXPECT_TRUE(harness::eventually([&] { return s.line("dtr") == "0"; }, WAIT));
    s.type("~R");
    EXPECT_TRUE(harness::eventually([&] { return s.line("rts") == "1"; }, WAIT));
    EXPECT_EQ(s.line("dtr"), "0");

    s.type("~b");
    EXPECT_TRUE(s.wait_screen(status_line("Break"))) << s.screen;
    EXPECT_EQ(s.line("breaks"), "1");
    s.type("~.");
    EXPECT_EQ(s.exit_status(), 0);
}

TEST(TtyscopeModem, WatchSeesAChangeOnePeriodAfterTheLastPoll)
{
    Scope s;
    ASSERT_TRUE(s.connect()) << s.screen;
    ASSERT_TRUE(s.watching()) << s.screen;
    // A change made as soon as a status line is on the screen is seen by the next poll, 100 ms
    // after the one that printed it. The line's file is replaced whole, so that no poll reads
    // it half written.
    std::string dev = s.serial.slave;
    for (auto &ch : dev)
        if (ch == '/')
            ch = '_';
    std::string cts = s.board() + "/tty/" + dev + "/cts";
    std::vector<long> took;
    for (int i = 0; i < 6; i++) {
        bool on = i % 2 != 0;
        std::string shown = on ? "[CTS] [ri] " : "[cts] [ri] ";
        int seen = s.occurrences(shown);
        harness::write_file(cts + ".new", on ? "1\n" : "0\n");
        ASSERT_EQ(rename((cts + ".new").c_str(), cts.c_str()), 0);
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(s.wait_screen(shown, seen + 1)) << s.screen;
        took.push_back(static_cast<long>(
            std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - start).count()));
    }
    std::sort(took.begin(), took.end());
    std::string all;
    for (long t : took)
        all += " " + std::to_string(t);
    // A busy machine only delays the test's and the program's reactions, on either side.
    EXPECT_LE(took.front(), 160) << "ms:" << all;
    EXPECT_GE(took.back(), 50) << "ms:" << all;
    s.type("~.");
    EXPECT_EQ(s.exit_status(), 0);
}

TEST(TtyscopeModem, FailingLineRequestsAreReportedAndChangeNothing)
{
    Scope s;
    ASSERT_TRUE(s.connect()) << s.screen;
    ASSERT_TRUE(s.watching()) << s.screen;
    s.settle();
    int shown = s.occurrences("> [");
    std::string dev = s.serial.slave;
    for (auto &ch : dev)
        if (ch == '/')
            ch = '_';
    std::string fail = s.board() + "/tty/" + dev + "/fail_tiocmget";
    harness::write_file(fail, "1\n");

    // ~m, ~d and ~r each say that the lines cannot be read, instead of "all lines off" or
    // nothing at all.
    s.type("~m~d~r");
    EXPECT_TRUE(s.wait_screen(status_line("Error reading modem lines: Input/output error"), 3)) << s.screen;
    s.set_line("dcd=1");
    s.settle(ms(600));
    EXPECT_EQ(s.line("dtr"), "1") << "nothing written back";
    EXPECT_EQ(s.line("rts"), "1") << "nothing written back";
    EXPECT_EQ(s.occurrences("> ["), shown) << "no status line while the lines cannot be read: " << s.screen;

    unlink(fail.c_str());
    EXPECT_TRUE(s.wait_screen(status_line("[DTR] [dsr] [DCD] [RTS] [CTS] [ri] "))) << s.screen;

    // Lines that can be read but not changed.
    std::string refuse = s.board() + "/tty/" + dev + "/fail_tiocmset";
    harness::write_file(refuse, "1\n");
    s.type("~d");
    EXPECT_TRUE(s.wait_screen(status_line("Error setting modem lines: Input/output error"))) << s.screen;
    EXPECT_EQ(s.line("dtr"), "1");
    unlink(refuse.c_str());
    s.type("~.");
    EXPECT_EQ(s.exit_status(), 0);
}

TEST(TtyscopeFlow, XonXoffCharactersHoldAndReleaseTypedBytes)
{
    Scope s;
    ASSERT_TRUE(s.connect({"-x"})) << s.screen;
    EXPECT_NE(s.screen.find(" bps (XON/XOFF)"), std::string::npos) << s.screen;
    termios t = s.port_settings();
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), static_cast<tcflag_t>(IXON | IXOFF | IXANY));

    // Stopped output shows as a port that takes no byte.
    int port = open(s.serial.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    auto stopped = [&] {
        pollfd p{port, POLLOUT, 0};
        return poll(&p, 1, 0) == 0;
    };
    s.serial.write("\x13");
    ASSERT_TRUE(harness::eventually(stopped, WAIT));
    s.type("abc");
    EXPECT_EQ(s.port_read(3, ms(400)), "") << "held while stopped";
    s.serial.write("\x11");
    EXPECT_EQ(s.port_read(3), "abc") << "nothing dropped";

    // A write waiting on a stopped port does not keep a signal from ending the program.
    s.serial.write("\x13");
    ASSERT_TRUE(harness::eventually(stopped, WAIT));
    s.type("d");
    s.proc->signal(SIGTERM);
    EXPECT_EQ(s.exit_status(), 0);
    EXPECT_TRUE(s.wait_screen(status_line("Exit"))) << s.screen;
    EXPECT_TRUE(s.restored());
    close(port);
}

TEST(TtyscopeFlow, SigtermEndsAWriteBlockedByAPasteToAnUnreadPort)
{
    Scope s;
    ASSERT_TRUE(s.connect()) << s.screen;
    // Paste until the program stops taking keys: the port's buffer is full and its write waits.
    int flags = fcntl(s.user.master, F_GETFL);
    fcntl(s.user.master, F_SETFL, flags | O_NONBLOCK);
    const std::string paste(1024, 'p');
    auto refused_since = std::chrono::steady_clock::now();
    bool refusing = false;
    auto end = refused_since + ms(60000);
    while (std::chrono::steady_clock::now() < end) {
        if (write(s.user.master, paste.data(), paste.size()) > 0) {
            refusing = false;
        } else if (!refusing) {
            refusing = true;
            refused_since = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - refused_since > ms(1000)) {
            break;
        }
        timespec pause{0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    fcntl(s.user.master, F_SETFL, flags);
    ASSERT_TRUE(refusing) << "the paste never filled the port";

    s.proc->signal(SIGTERM);
    EXPECT_EQ(s.exit_status(), 0);
    EXPECT_TRUE(s.wait_screen(status_line("Exit"))) << s.screen;
    EXPECT_TRUE(s.restored());
    EXPECT_GT(s.serial.read_quiet(ms(300), WAIT).size(), 1000u) << "the paste went out until the port was full";
}

} // namespace
