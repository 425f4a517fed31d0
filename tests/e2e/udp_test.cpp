// UDP modes end to end: clients learned from sources, the fixed peer of the client mode, cut
// and empty datagrams, the IP filter and the client limit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string.h>

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

// One datagram whole (up to the largest there is), or "" after the deadline.
std::string datagram(int fd, ms timeout)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return "";
    std::string buf(65536, '\0');
    ssize_t n = recv(fd, &buf[0], buf.size(), 0);
    return buf.substr(0, n > 0 ? static_cast<size_t>(n) : 0);
}

// A name that cannot resolve: a label longer than 63 characters. Some resolvers refuse it at
// once, others send a query; the test that uses it keeps queries from leaving.
const std::string UNRESOLVABLE = std::string(64, 'x') + ".invalid";

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

// The statistics file's time stamp, 0 before there is one.
long stats_time(Ferrod &f)
{
    std::string s = f.stats();
    size_t at = s.find("time=");
    return at == std::string::npos ? 0L : atol(s.c_str() + at + 5);
}

// The fixed peer is the daemon's own address and port: what it sends to the peer comes back
// from the peer, so serial data returns to the port through the one client the daemon made.
// Ended by its inactivity time-out, which is no error, it stays away.
TEST(Udp, ClientModeSendsToTheFixedPeerFromTheStart)
{
    Ferrod f;
    start_udp(f, "ferrod_mode=\"4\"\nferrod_address=\"127.0.0.1\"\n"
                 "ferrod_inactivity_enabled=\"1\"\nferrod_inactivity_timeout=\"2\"\n");
    EXPECT_GE(f.wait("[inf] main       UDP client mode"), 0);
    ASSERT_TRUE(harness::eventually(
        [&] { return f.stats().find("num_clients=1\n") != std::string::npos; }, ms(3000)));
    EXPECT_NE(f.stats().find("address=127.0.0.1\nport=" + std::to_string(f.port) + "\n"), std::string::npos)
        << f.stats();

    f.pty.write("ping");
    EXPECT_EQ(f.pty.read_bytes(4, ms(3000)), "ping") << f.proc->all_lines();
    EXPECT_EQ(f.proc->count("Accepted new udp client"), 0) << "the reply came through the fixed client";

    ASSERT_GE(f.wait("[inf] on_client_ Removing client 1 due to timeout", 6000), 0) << f.proc->all_lines();
    EXPECT_EQ(f.wait("is back", 2500), -1) << "looked for again once a second after errors only";
    EXPECT_NE(f.stats().find("num_clients=0\n"), std::string::npos) << f.stats();
}

TEST(Udp, ClientModeWithoutAddressServesAsUdpServer)
{
    PrivateNetwork net; // where it can be made, the lookup fails at once whatever the resolver
    for (const std::string &address : {std::string(), UNRESOLVABLE}) {
        Ferrod f;
        start_udp(f, "ferrod_mode=\"4\"\nferrod_address=\"" + address + "\"\n");
        if (address.empty()) {
            EXPECT_GE(f.wait("[wrn] udp_add_cl No address configured (ferrod_address), not adding udp client"), 0)
                << f.proc->all_lines();
        } else {
            EXPECT_GE(f.wait("[wrn] resolve    Could not resolve " + address + ": "), 0) << f.proc->all_lines();
            EXPECT_GE(f.wait("[wrn] udp_add_cl Could not resolve udp name " + address + ", not adding udp client"), 0)
                << f.proc->all_lines();
        }
        ASSERT_TRUE(harness::eventually([&] { return !f.stats().empty(); }, ms(3000)));
        EXPECT_NE(f.stats().find("num_clients=0\n"), std::string::npos) << f.stats();
        int a = udp_from("127.0.0.1");
        send_to(a, f.port, "hi");
        EXPECT_EQ(f.pty.read_bytes(2, ms(3000)), "hi");
        close(a);
    }
}

// A port taken by another socket: no network side at all (no fixed peer either), the serial
// port and the statistics go on.
TEST(Udp, PortInUseLeavesTheDaemonWithTheSerialPortAlone)
{
    Ferrod f;
    f.port = harness::free_port(SOCK_DGRAM);
    int taken = harness::udp_bind(f.port);
    ASSERT_GE(taken, 0);
    f.start("ferrod_mode=\"4\"\nferrod_address=\"127.0.0.1\"\n");
    EXPECT_GE(f.wait("[wrn] udp_init   Could not bind to UDP port " + std::to_string(f.port) +
                     ": Address already in use"), 0) << f.proc->all_lines();
    ASSERT_GE(f.wait("Mainloop starting"), 0) << f.proc->all_lines();
    EXPECT_EQ(f.proc->count("UDP server listening"), 0);
    ASSERT_TRUE(harness::eventually([&] { return !f.stats().empty(); }, ms(3000)));
    EXPECT_NE(f.stats().find("num_clients=0\n"), std::string::npos) << f.stats();
    close(taken);
}

// A block larger than any UDP datagram could never be sent: in both UDP modes the buffer is
// brought down to the largest datagram.
TEST(Udp, BufsizeAboveTheDatagramLimitIsBroughtDownToIt)
{
    for (const char *mode : {"3", "4"}) {
        Ferrod f;
        start_udp(f, std::string("ferrod_mode=\"") + mode +
                         "\"\nferrod_tx_bufsize=\"65536\"\nferrod_tx_timeout=\"1000\"\n");
        EXPECT_GE(f.wait("[wrn] main       tx_bufsize 65536 above the largest UDP datagram, using 65507"), 0)
            << f.proc->all_lines();
        int a = udp_from("127.0.0.1");
        send_to(a, f.port, "hi");
        EXPECT_EQ(f.pty.read_bytes(2, ms(3000)), "hi");
        f.pty.write(std::string(65536, 'u'));
        EXPECT_EQ(datagram(a, ms(5000)).size(), 65507u) << f.proc->all_lines();
        EXPECT_EQ(datagram(a, ms(3000)), std::string(29, 'u'));
        close(a);
    }
}

// The fixed peer deleted by a send error (no route to it yet) is added again once the route
// is there: one warning for the whole outage, an information line when it is back.
TEST(Udp, ClientModeAddsTheFixedPeerAgainOnceItsRouteIsBack)
{
    PrivateNetwork net;
    if (!net.refused.empty())
        GTEST_SKIP() << "no network namespace of our own here: " << net.refused;
    Ferrod f;
    start_udp(f, "ferrod_mode=\"4\"\nferrod_address=\"10.9.8.7\"\n");
    f.pty.write("nowhere");
    ASSERT_GE(f.wait("[wrn] client_wri Error sending to client 1: Network is unreachable"), 0)
        << f.proc->all_lines();
    // The line goes on talking through the outage for two statistics periods.
    long first = stats_time(f);
    size_t written = 7;
    ASSERT_TRUE(harness::eventually([&] {
        f.pty.write("x");
        written++;
        return stats_time(f) >= first + 2;
    }, ms(5000)));
    // Every byte of the outage handed on (to nobody) before the route comes back, so that none
    // of them can reach the peer afterwards.
    ASSERT_TRUE(harness::eventually([&] {
        return f.stats().find("bytes_rx=" + std::to_string(written) + "\n") != std::string::npos;
    }, ms(5000))) << f.stats();
    EXPECT_NE(f.stats().find("num_clients=0\n"), std::string::npos) << f.stats();
    EXPECT_EQ(f.proc->count("[wrn]"), 1) << f.proc->all_lines();
    EXPECT_EQ(f.proc->count("is back"), 0) << "nothing to come back to without a route";

    // The peer's address appears on this machine: a route to it, and the daemon's own socket
    // answers for it, so what reaches the peer comes back to the port.
    ASSERT_EQ(PrivateNetwork::ip({"addr", "add", "10.9.8.7/32", "dev", "lo"}), 0);
    ASSERT_GE(f.wait("[inf] on_udp_pee UDP peer 10.9.8.7:" + std::to_string(f.port) + " is back", 3000), 0)
        << f.proc->all_lines();
    f.pty.write("ping");
    EXPECT_EQ(f.pty.read_bytes(4, ms(3000)), "ping") << f.proc->all_lines();
    EXPECT_EQ(f.proc->count("Accepted new udp client"), 0) << "the reply came through the fixed client";
    EXPECT_EQ(f.proc->count("[wrn]"), 1) << f.proc->all_lines();
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
