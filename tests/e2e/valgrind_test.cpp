// Memory checks: the programs under valgrind's memcheck report no error and no leak, from the
// first byte to an orderly end.
#include <sys/stat.h>
#include <termios.h>

#include "ferrod_fixture.h"

namespace {

using harness::ms;

const std::vector<std::string> MEMCHECK = {
    "valgrind", "--quiet", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect,possible",
    "--error-exitcode=99"};
const ms SLOW(20000); // everything takes longer under valgrind

void stop_cleanly(Ferrod &f)
{
    f.proc->signal(SIGTERM);
    EXPECT_EQ(f.proc->wait_exit(SLOW), 0) << f.proc->all_lines();
    EXPECT_EQ(f.proc->all_lines().find("=="), std::string::npos) << f.proc->all_lines();
}

TEST(Memcheck, FerrodTelnetServerWithTwoClients)
{
    Ferrod f;
    f.wrapper = MEMCHECK;
    f.start("ferrod_mode=\"5\"\nferrod_max_clients=\"2\"\nferrod_keepalive=\"1\"\n");
    ASSERT_GE(f.wait("TCP server listening on port", 20000), 0) << f.proc->all_lines();
    int a = harness::tcp_connect(f.port, SLOW);
    ASSERT_GE(f.wait("TCP client accepted 1", 20000), 0) << f.proc->all_lines();
    int b = harness::tcp_connect(f.port, SLOW);
    ASSERT_GE(f.wait("TCP client accepted 2", 20000), 0) << f.proc->all_lines();
    f.pty.write("reading \xff\r\n");
    EXPECT_EQ(harness::recv_bytes(a, 9 + 12, SLOW).size(), 21u);
    harness::send_all(b, "MEAS?\r\n\xff\xfd\x01\xff\xfa\x18\x01\xff\xf0");
    EXPECT_EQ(f.pty.read_bytes(6, SLOW), "MEAS?\r");
    close(a);
    ASSERT_GE(f.wait("Client 1 closed by remote peer", 20000), 0);
    stop_cleanly(f);
    close(b);
}

TEST(Memcheck, FerrodUdpAndTcpClientModes)
{
    {
        Ferrod f;
        f.wrapper = MEMCHECK;
        f.port = harness::free_port(SOCK_DGRAM);
        f.start("ferrod_mode=\"4\"\nferrod_address=\"127.0.0.1\"\n");
        ASSERT_GE(f.wait("UDP server listening", 20000), 0) << f.proc->all_lines();
        f.pty.write("ping");
        EXPECT_EQ(f.pty.read_bytes(4, SLOW), "ping");
        stop_cleanly(f);
    }
    {
        Ferrod f;
        f.wrapper = MEMCHECK;
        f.start("ferrod_mode=\"2\"\nferrod_address=\"127.0.0.1\"\n");
        ASSERT_GE(f.wait("Client connection failed", 20000), 0) << f.proc->all_lines();
        stop_cleanly(f);
    }
}

// Every option of sentryctl against a healthy simulated controller.
TEST(Memcheck, SentryctlEveryOption)
{
    harness::TempDir dir;
    std::string board = dir.file("board");
    mkdir(board.c_str(), 0755);
    std::vector<std::string> env{"LD_PRELOAD=" BOARDSIM_LIB, "BOARDSIM_DIR=" + board,
                                 "PATH=" + dir.file("bin") + ":" + getenv("PATH"), "TZ=UTC0"};
    mkdir(dir.file("bin").c_str(), 0755);
    harness::write_file(dir.file("bin/date"), "#!/bin/sh\nexit 0\n");
    chmod(dir.file("bin/date").c_str(), 0755);
    harness::Process setup({BOARDSIMCTL_BIN, "i2c", "/dev/i2c-0", "set", "1=1", "3=5", "10=26",
                            "11=3", "12=7", "13=3"},
                           {"BOARDSIM_DIR=" + board});
    ASSERT_EQ(setup.wait_exit(SLOW), 0) << setup.err();
    harness::Process second({BOARDSIMCTL_BIN, "i2c", "/dev/i2c-1", "add"}, {"BOARDSIM_DIR=" + board});
    ASSERT_EQ(second.wait_exit(SLOW), 0);

    for (std::vector<std::string> options :
         {std::vector<std::string>{"-i"}, {"-z"}, {"-c"}, {"-d"}, {"-r"}, {"-R"}, {"-T"}, {"-t", "n"},
          {"-t", "r"}, {"-t", "w"}, {"-m", "40"}, {"-b", "/dev/i2c-1", "-i"}, {"-h"}, {"-t", "x"}}) {
        std::vector<std::string> argv = MEMCHECK;
        argv.push_back(SENTRYCTL_BIN);
        argv.insert(argv.end(), options.begin(), options.end());
        harness::Process p(argv, env);
        int status = p.wait_exit(SLOW);
        EXPECT_NE(status, 99) << options[0] << ": " << p.err();
        EXPECT_EQ(p.err().find("=="), std::string::npos) << options[0] << ": " << p.err();
    }
}

// A short terminal session: typed bytes out, device bytes in, a break, the modem lines, ~.
TEST(Memcheck, TtyscopeSessionEndingWithTildeDot)
{
    harness::TempDir dir;
    harness::Pty device, user;
    std::string board = dir.file("board");
    mkdir(board.c_str(), 0755);
    std::vector<std::string> argv = MEMCHECK;
    argv.insert(argv.end(), {TTYSCOPE_BIN, "-e", device.slave, "9600"});
    harness::ProcessOptions o;
    o.cwd = dir.path;
    o.terminal = user.slave;
    harness::Process p(argv, {"LD_PRELOAD=" BOARDSIM_LIB, "BOARDSIM_DIR=" + board}, true, o);
    ASSERT_TRUE(harness::eventually([&] {
        termios t;
        return tcgetattr(user.master, &t) == 0 && t.c_lflag == 0;
    }, SLOW)) << "the terminal was never taken";
    user.write("hello");
    EXPECT_EQ(device.read_bytes(5, SLOW), "hello");
    device.write("world");
    user.write("~b~m~h~x41~h~l~l~t");
    EXPECT_EQ(device.read_bytes(1, SLOW), "A");
    user.write("~.");
    EXPECT_EQ(p.wait_exit(SLOW), 0) << p.err();
    EXPECT_EQ(p.err().find("=="), std::string::npos) << p.err();
}

} // namespace
