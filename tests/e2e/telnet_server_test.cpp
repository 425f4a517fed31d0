// Mode 5 end to end: the announcement comes first, serial 255 is escaped for telnet peers only,
// and the input filter sits between the socket and the port.
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
    std::string why;
    if (!enter_private_network(&why))
        GTEST_SKIP() << why;
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

} // namespace
