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

} // namespace
