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

// Serial data full of 255s for a telnet client that reads slower than the line, through small
// socket buffers: sends are cut short all the time, some between the two bytes of a doubled
// 255, and still the client never sees an odd run of 255s (a lone IAC would start a command).
TEST(TelnetServer, SendsCutShortNeverLeaveALoneIac)
{
    PrivateNetwork net;
    if (!net.refused.empty())
        GTEST_SKIP() << "no network namespace of our own here: " << net.refused;
    harness::write_file("/proc/sys/net/ipv4/tcp_wmem", "4096 4096 4096\n");
    Ferrod f;
    f.start("ferrod_mode=\"5\"\nferrod_tx_bufsize=\"1024\"\n");
    ASSERT_GE(f.wait("[dbg] main       Mainloop starting"), 0) << f.proc->all_lines();
    int slow = socket(AF_INET, SOCK_STREAM, 0);
    int small = 2048;
    setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a = harness::loopback(f.port);
    ASSERT_EQ(connect(slow, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_GE(f.wait("TCP client accepted 1"), 0);
    int fast = f.connect_client(2); // two clients: sends no longer wait

    std::string pattern;
    for (int i = 0; i < 512; i++)
        pattern += "\xff" "A";
    std::string seen;
    char buf[65536];
    for (int round = 0; round < 400; round++) {
        f.pty.write(pattern);
        while (recv(fast, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
        ssize_t n = recv(slow, buf, 1500, MSG_DONTWAIT);
        if (n > 0)
            seen.append(buf, static_cast<size_t>(n));
    }
    // Drained, then one more byte: a 255 the last send cut in half is owed until the next
    // block, which brings it.
    seen += harness::recv_bytes(slow, 1 << 20, ms(500));
    f.pty.write("Z");
    ASSERT_TRUE(harness::eventually([&] {
        seen += harness::recv_bytes(slow, 2, ms(10));
        return seen.back() == 'Z';
    }, ms(3000)));
    ASSERT_GT(seen.size(), 20000u);
    ASSERT_EQ(seen.compare(0, 9, ANNOUNCEMENT), 0);
    size_t odd = 0, run = 0;
    for (size_t i = 9; i <= seen.size(); i++) {
        if (i < seen.size() && seen[i] == '\xff') {
            run++;
            continue;
        }
        odd += run % 2;
        run = 0;
    }
    EXPECT_EQ(odd, 0u) << "odd runs of 255 in " << seen.size() << " bytes";
    close(slow);
    close(fast);
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
            return out.find(step + "\n") != std::string::npos ||
                   out.find("FAIL") != std::string::npos;
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


// COM port commands as bytes, answers as bytes.
std::string com(const std::string &body) { return "\xff\xfa\x2c" + body + "\xff\xf0"; }
const std::string OFFER = ANNOUNCEMENT + "\xff\xfb\x2c\xff\xfd\x2c";

// A client that skips the negotiation (as pyserial does when the offers cross its requests) is
// answered at once; values the port cannot take are answered with the current one; malformed,
// cut and unknown subnegotiations change nothing and put nothing on the port.
TEST_F(ComPort, AnswersWithTheValueInEffectAndIgnoresBadCommands)
{
    int c = f.connect_client(1);
    ASSERT_EQ(harness::recv_bytes(c, OFFER.size(), ms(5000)), OFFER);
    harness::send_all(c, com(std::string("\x01\x00\x03\x84\x00", 5)));
    EXPECT_EQ(harness::recv_bytes(c, 7 + 10, ms(5000)),
              com(std::string("\x6b\x00", 2)) + com(std::string("\x65\x00\x03\x84\x00", 5)))
        << "the modem lines, then the rate";
    termios t{};
    ASSERT_EQ(tcgetattr(f.pty.master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B230400));

    harness::send_all(c, com(std::string("\x01\x00\x00\x30\x39", 5)) + com("") +
                             com("\x02\x07\x07") + com("\x63") +
                             "\xff\xfa\x2c\x02\x06\xff\xf1" + "Z" + com("\x02\x07"));
    EXPECT_EQ(harness::recv_bytes(c, 10 + 7, ms(5000)),
              com(std::string("\x65\x00\x03\x84\x00", 5)) + com("\x66\x07"))
        << "12345 has no termios code; the bad ones get no answer";
    EXPECT_EQ(f.pty.read_quiet(ms(300), ms(5000)), "Z");
    for (const char *line : {"Client 1: baud rate 12345 not supported",
                             "Client 1: empty COM port subnegotiation, ignored",
                             "Client 1: COM port command 2 with 2 value bytes, ignored",
                             "Client 1: unknown COM port command 99, ignored",
                             "Client 1: COM port subnegotiation cut short, ignored",
                             "[inf] set_datasi Client 1 set data size 7"})
        EXPECT_GE(f.wait(line), 0) << line << "\n" << f.proc->all_lines();
    EXPECT_EQ(board("line"), "230400 7N2");
    close(c);
}

// DTR set by a client holds while other clients come, and ends with that client; only clients
// with the option on hear of modem-line changes, through their mask; the others keep the
// telnet line ends.
TEST_F(ComPort, HeldLinesAndNotificationsBelongToTheClientThatAsked)
{
    int com_client = f.connect_client(1);
    ASSERT_EQ(harness::recv_bytes(com_client, OFFER.size(), ms(5000)), OFFER);
    harness::send_all(com_client, "\xff\xfd\x2c" + com("\x05\x09") + com("\x0b\xff\xff"));
    EXPECT_EQ(harness::recv_bytes(com_client, 7 + 7 + 8, ms(5000)),
              com(std::string("\x6b\x00", 2)) + com("\x69\x09") + com("\x6f\xff\xff"));
    EXPECT_EQ(board("dtr") + board("rts"), "01");

    int plain = f.connect_client(2);
    ASSERT_EQ(harness::recv_bytes(plain, OFFER.size(), ms(5000)), OFFER);
    harness::send_all(plain, "\xff\xfc\x2c\xff\xfe\x2c" "a\r\nb");
    EXPECT_EQ(f.pty.read_bytes(3, ms(5000)), "a\rb");
    EXPECT_EQ(board("dtr") + board("rts"), "01") << "the hold outlasts a new client";

    f.set_line("dcd", 1);
    EXPECT_EQ(harness::recv_bytes(com_client, 7, ms(5000)), com(std::string("\x6b\x88", 2)));
    harness::send_all(com_client, com(std::string("\x0b\x08", 2)));
    EXPECT_EQ(harness::recv_bytes(com_client, 7, ms(5000)), com(std::string("\x6f\x08", 2)));
    f.set_line("cts", 1);
    f.set_line("dcd", 0);
    EXPECT_EQ(harness::recv_bytes(com_client, 7, ms(5000)), com(std::string("\x6b\x08", 2)))
        << "the mask keeps only delta DCD";
    f.pty.write("s");
    EXPECT_EQ(harness::recv_bytes(plain, 1, ms(5000)), "s") << "no command before the data";
    EXPECT_EQ(harness::recv_bytes(com_client, 1, ms(5000)), "s");

    close(com_client);
    EXPECT_GE(f.wait("Client 1 closed by remote peer"), 0) << f.proc->all_lines();
    EXPECT_TRUE(harness::eventually([&] { return board("dtr") + board("rts") == "11"; }, ms(5000)))
        << "client 2 is still there";
    close(plain);
}

} // namespace
