// Mode 5 end to end: the announcement comes first, serial 255 is escaped for telnet peers only,
// and the input filter sits between the socket and the port; with ferrod_rfc2217, clients
// control the port.
#include <termios.h>

#include "ferrod_fixture.h"

namespace {

using harness::ms;

const std::string ANNOUNCEMENT = "\xff\xfb\x01\xff\xfb\x03\xff\xfe\x1f";

TEST(TelnetServer, AnnouncementFirstThenSerialDataWithEveryIacDoubled)
{
    Ferrod f;
    harness::Pty second;
    f.start("ferrod_mode=\"5\"\n", {"-e", second.slave});
    ASSERT_GE(f.wait("[inf] tcp_server TCP server listening on port " + std::to_string(f.port) +
                     ", telnet enabled"), 0) << f.proc->all_lines();
    int c = f.connect_client(1);
    f.pty.write("A\xff" "B\xff\xff");
    EXPECT_EQ(harness::recv_bytes(c, 9 + 8, ms(3000)), ANNOUNCEMENT + "A\xff\xff" "B\xff\xff\xff\xff");
    // The client's count is of the serial bytes, plus the announcement.
    EXPECT_TRUE(harness::eventually(
        [&] {
            std::string s = f.stats();
            size_t client = s.find("[client 0]");
            return client != std::string::npos && s.find("bytes_tx=14\n", client) != std::string::npos;
        },
        ms(3000)))
        << f.stats();

    harness::send_all(c, "ab\r\n\xff\xfd\x01" "c\xff\xff");
    harness::send_all(c, "d\r");
    EXPECT_EQ(f.pty.read_quiet(ms(300), ms(3000)), "ab\rc\xff" "d") << "the last CR waits for its next byte";
    harness::send_all(c, std::string("\0", 1));
    EXPECT_EQ(f.pty.read_bytes(1, ms(3000)), "\r");
    EXPECT_EQ(second.read_quiet(ms(300), ms(3000)), "ab\rc\xff" "d\r") << "the secondary port too";
    close(c);
}

TEST(TelnetServer, RawClientsGetSerialBytesUnchanged)
{
    Ferrod f;
    f.start_server();
    int c = f.connect_client(1);
    f.pty.write("A\xff" "B");
    EXPECT_EQ(harness::recv_bytes(c, 3, ms(3000)), "A\xff" "B");
    harness::send_all(c, "\xff\xff\r\n");
    EXPECT_EQ(f.pty.read_bytes(4, ms(3000)), "\xff\xff\r\n");
    close(c);
}

// Peers that reset their connection before the daemon takes it: the announcement fails and
// deletes the client inside its start, and nothing may touch it afterwards.
TEST(TelnetServer, ClientLostDuringTheAnnouncementIsNeverTouchedAgain)
{
    Ferrod f;
    f.start("ferrod_mode=\"5\"\n");
    ASSERT_GE(f.wait("[dbg] main       Mainloop starting"), 0) << f.proc->all_lines();
    f.proc->signal(SIGSTOP); // the connections wait unaccepted until they are reset
    for (int i = 0; i < 5; i++) {
        int fd = harness::tcp_connect(f.port);
        ASSERT_GE(fd, 0);
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    f.proc->signal(SIGCONT);
    EXPECT_GE(f.wait("[wrn] client_wri Error sending to client 5: Connection reset by peer"), 0)
        << f.proc->all_lines();
    EXPECT_EQ(f.proc->count("TCP client accepted"), 0);
    int c = f.connect_client(6);
    EXPECT_EQ(harness::recv_bytes(c, 9, ms(3000)), ANNOUNCEMENT);
    close(c);
}


// COM port control (ferrod_rfc2217) end to end: pyserial's own RFC 2217 client, as a user's
// script drives it (tests/e2e/rfc2217_client.py), one step at a time.
class ComPort : public ::testing::Test {
protected:
    Ferrod f;
    std::unique_ptr<harness::Process> py;

    void SetUp() override
    {
        f.start("ferrod_mode=\"5\"\nferrod_rfc2217=\"1\"\nferrod_baudrate=\"115200\"\n"
                "ferrod_stopbits=\"2\"\n");
        ASSERT_GE(f.wait("[dbg] main       Mainloop starting"), 0) << f.proc->all_lines();
    }
    void start_script()
    {
        harness::ProcessOptions options;
        options.stdin_pipe = true;
        py = std::make_unique<harness::Process>(
            std::vector<std::string>{PYTHON3, RFC2217_CLIENT, std::to_string(f.port)},
            std::vector<std::string>{}, false, options);
    }
    // Waits until the script has printed STEP (a line of its own); a failure shows its reason.
    ::testing::AssertionResult reached(const std::string &step)
    {
        bool seen = harness::eventually([&] {
            std::string out = py->out();
            return out.find(step + "\n") != std::string::npos || out.find("FAIL") != std::string::npos;
        }, ms(30000));
        if (seen && py->out().find("FAIL") == std::string::npos)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "script at \"" << step << "\":\n" << py->out()
                                             << py->err() << "\nferrod:\n" << f.proc->all_lines();
    }
    void go() { py->write_stdin("\n"); }
    std::string board(const std::string &what)
    {
        harness::Process ctl({BOARDSIMCTL_BIN, "tty", f.pty.slave, "get", what},
                             {"BOARDSIM_DIR=" + f.boardsim_dir()});
        EXPECT_EQ(ctl.wait_exit(ms(20000)), 0) << ctl.err();
        std::string out = ctl.out();
        return out.empty() ? out : out.substr(0, out.size() - 1);
    }
};

TEST_F(ComPort, PyserialSetsTheLineDrivesTheModemLinesBreaksAndMovesEveryByte)
{
    start_script();
    ASSERT_TRUE(reached("open 9600 8E1"));
    termios t{};
    ASSERT_EQ(tcgetattr(f.pty.master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600)) << "configured 115200";
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << "configured two stop bits";
    EXPECT_EQ(board("line"), "9600 8E1") << "the parity a pty does not keep";
    EXPECT_GE(f.wait("[inf] set_parity Client 1 set parity even"), 0) << f.proc->all_lines();

    go();
    ASSERT_TRUE(reached("dtr 0 rts 1"));
    EXPECT_EQ(board("dtr") + board("rts"), "01") << "a client holds DTR low while connected";
    go();
    ASSERT_TRUE(reached("dtr 1 rts 0"));
    EXPECT_EQ(board("dtr") + board("rts"), "10");

    f.set_line("dcd", 1);
    f.set_line("cts", 1);
    go();
    ASSERT_TRUE(reached("cd 1 cts 1"));

    go();
    ASSERT_TRUE(reached("break"));
    EXPECT_EQ(board("breaks"), "1");
    EXPECT_GE(f.wait("[inf] set_break  Client 1 set break off"), 0) << f.proc->all_lines();

    std::string pattern;
    for (int round = 0; round < 2; round++)
        for (int b = 0; b < 256; b++)
            pattern += static_cast<char>(b);
    pattern += std::string("\r\n\r\0\xff\xff\r", 7);
    go();
    ASSERT_TRUE(reached("written"));
    EXPECT_EQ(f.pty.read_bytes(pattern.size(), ms(20000)), pattern) << "client to port";
    f.pty.write(pattern);
    go();
    ASSERT_TRUE(reached("closed")) << "port to client";
    EXPECT_EQ(py->wait_exit(ms(20000)), 0);
    EXPECT_GE(f.wait("Client 1 closed by remote peer"), 0) << f.proc->all_lines();
    EXPECT_EQ(board("dtr") + board("rts"), "00") << "the hold ends with the client";
}

} // namespace
