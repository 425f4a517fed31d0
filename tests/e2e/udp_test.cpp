// UDP modes end to end: clients learned from sources, the fixed peer of the client mode, cut
// and empty datagrams, the IP filter and the client limit.
#include <arpa/inet.h>
#include <netinet/in.h>

#include "ferrod_fixture.h"

namespace {

using harness::ms;

// A UDP socket bound to IP on a port of the system's choosing.
int udp_from(const char *ip)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    return fd;
}

void send_to(int fd, int port, const std::string &bytes)
{
    sockaddr_in a = harness::loopback(port);
    EXPECT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a),
              static_cast<ssize_t>(bytes.size()));
}

void start_udp(Ferrod &f, const std::string &conf)
{
    f.port = harness::free_port(SOCK_DGRAM);
    f.start(conf);
    ASSERT_GE(f.wait("[inf] udp_init   UDP server listening on port " + std::to_string(f.port)), 0)
        << f.proc->all_lines();
}

TEST(Udp, EverySourceAddressAndPortIsAClient)
{
    Ferrod f;
    start_udp(f, "ferrod_mode=\"3\"\n");
    EXPECT_GE(f.wait("[inf] main       UDP server mode"), 0);
    int a = udp_from("127.0.0.1"), b = udp_from("127.0.0.1");

    send_to(a, f.port, "from a");
    EXPECT_GE(f.wait("[inf] on_udp_rea Accepted new udp client 1 from 127.0.0.1"), 0) << f.proc->all_lines();
    EXPECT_EQ(f.pty.read_bytes(6, ms(3000)), "from a");
    send_to(b, f.port, "from b");
    EXPECT_GE(f.wait("Accepted new udp client 2 from 127.0.0.1"), 0) << f.proc->all_lines();
    EXPECT_EQ(f.pty.read_bytes(6, ms(3000)), "from b");
    send_to(a, f.port, "again");
    EXPECT_EQ(f.pty.read_bytes(5, ms(3000)), "again");
    EXPECT_EQ(f.proc->count("Accepted new udp client"), 2) << "a known source stays its client";

    f.pty.write("reading");
    EXPECT_EQ(harness::recv_bytes(a, 7, ms(3000)), "reading");
    EXPECT_EQ(harness::recv_bytes(b, 7, ms(3000)), "reading");
    close(a);
    close(b);
}

TEST(Udp, LongDatagramIsCutAndAnEmptyOneEndsTheClient)
{
    Ferrod f;
    start_udp(f, "ferrod_mode=\"3\"\n");
    int a = udp_from("127.0.0.1");
    send_to(a, f.port, std::string(300, 'x') + std::string(200, 'y'));
    EXPECT_EQ(f.pty.read_quiet(ms(500), ms(3000)), std::string(300, 'x'));

    send_to(a, f.port, "");
    EXPECT_GE(f.wait("[inf] on_client_ Client 1 closed by remote peer"), 0) << f.proc->all_lines();
    EXPECT_TRUE(harness::eventually(
        [&] { return f.stats().find("num_clients=0\n") != std::string::npos; }, ms(3000)));
    send_to(a, f.port, "back");
    EXPECT_GE(f.wait("Accepted new udp client 2 from 127.0.0.1"), 0) << "deleted, then learned anew";
    close(a);
}

// The fixed peer is the daemon's own address and port: what it sends to the peer comes back
// from the peer, so serial data returns to the port through the one client the daemon made.
TEST(Udp, ClientModeSendsToTheFixedPeerFromTheStart)
{
    Ferrod f;
    start_udp(f, "ferrod_mode=\"4\"\nferrod_address=\"127.0.0.1\"\n");
    EXPECT_GE(f.wait("[inf] main       UDP client mode"), 0);
    ASSERT_TRUE(harness::eventually(
        [&] { return f.stats().find("num_clients=1\n") != std::string::npos; }, ms(3000)));
    EXPECT_NE(f.stats().find("address=127.0.0.1\nport=" + std::to_string(f.port) + "\n"), std::string::npos)
        << f.stats();

    f.pty.write("ping");
    EXPECT_EQ(f.pty.read_bytes(4, ms(3000)), "ping") << f.proc->all_lines();
    EXPECT_EQ(f.proc->count("Accepted new udp client"), 0) << "the reply came through the fixed client";
}

TEST(Udp, ClientModeWithoutAddressServesAsUdpServer)
{
    Ferrod f;
    start_udp(f, "ferrod_mode=\"4\"\n");
    EXPECT_GE(f.wait("[wrn] udp_add_cl No address configured (ferrod_address), not adding udp client"), 0)
        << f.proc->all_lines();
    int a = udp_from("127.0.0.1");
    send_to(a, f.port, "hi");
    EXPECT_EQ(f.pty.read_bytes(2, ms(3000)), "hi");
    close(a);
}

TEST(Udp, FilterAndLimitRefuseNewSourcesWhileKnownOnesWork)
{
    Ferrod f;
    start_udp(f, "ferrod_mode=\"3\"\nferrod_max_clients=\"1\"\nferrod_ip_filter_enabled=\"1\"\n"
                 "ferrod_filter_address_0=\"127.0.0.3\"\nferrod_filter_address_2=\"127.0.0.5\"\n");
    int stranger = udp_from("127.0.0.4");
    send_to(stranger, f.port, "no");
    EXPECT_GE(f.wait("[wrn] match_ip_f IP address 127.0.0.4 does not match filter"), 0) << f.proc->all_lines();

    int listed = udp_from("127.0.0.3");
    send_to(listed, f.port, "yes");
    EXPECT_EQ(f.pty.read_bytes(3, ms(3000)), "yes") << "the refused datagram was dropped";

    int second = udp_from("127.0.0.5");
    send_to(second, f.port, "full");
    EXPECT_GE(f.wait("[wrn] client_new Maximum number of clients (1) reached, not adding new client"), 0);
    send_to(listed, f.port, "still");
    EXPECT_EQ(f.pty.read_bytes(5, ms(3000)), "still");
    EXPECT_EQ(f.proc->count("Accepted new udp client"), 1);
    close(stranger);
    close(listed);
    close(second);
}

} // namespace
