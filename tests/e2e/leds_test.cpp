// Activity LED datagrams to 127.0.0.1:9876: exact payloads, the 0.2-second gate, the off switch.
#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <map>
#include <thread>

#include "ferrod_fixture.h"

namespace {

using harness::ms;

const std::string TXD = "gpio:set('led_txd', 0.2)";
const std::string RXD = "gpio:set('led_rxd', 0.2)";

// Datagrams that arrive within `window`.
std::vector<std::string> receive(int fd, ms window)
{
    std::vector<std::string> got;
    auto end = std::chrono::steady_clock::now() + window;
    for (;;) {
        auto left = std::chrono::duration_cast<ms>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return got;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            return got;
        char buf[128];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n >= 0)
            got.emplace_back(buf, static_cast<size_t>(n));
    }
}

TEST(Leds, TrafficBlinksEachLedAtMostFiveTimesASecond)
{
    int led = harness::udp_bind(9876);
    ASSERT_GE(led, 0);
    Ferrod f;
    f.start_server("ferrod_do_leds=\"1\"\n");
    int c = f.connect_client(1);

    f.pty.write("a");
    ASSERT_EQ(harness::recv_bytes(c, 1, ms(3000)), "a");
    auto got = receive(led, ms(500));
    ASSERT_EQ(got, std::vector<std::string>{TXD});
    EXPECT_EQ(got[0].size(), 24u);

    harness::send_all(c, "b");
    ASSERT_EQ(f.pty.read_bytes(1, ms(3000)), "b");
    EXPECT_EQ(receive(led, ms(500)), std::vector<std::string>{RXD});

    // Ten reads within 0.1 s (each waits for its flush) make one blink, not ten.
    usleep(300 * 1000);
    for (int i = 0; i < 10; i++) {
        f.pty.write("x");
        harness::recv_bytes(c, 1, ms(1000));
    }
    auto burst = receive(led, ms(150));
    EXPECT_LE(burst.size(), 2u);
    EXPECT_GE(burst.size(), 1u);
    close(c);
    close(led);
}

// Traffic both ways every few milliseconds: each LED has its own gate of 0.2 s, so each sends
// about five commands a second, never two within 0.2 s. Load only stretches the gaps, so the
// shortest gap of each LED shows the gate itself.
TEST(Leds, EachLedHasItsOwnGateOfTwoTenthsOfASecond)
{
    int led = harness::udp_bind(9876);
    ASSERT_GE(led, 0);
    Ferrod f;
    f.start_server("ferrod_do_leds=\"1\"\nferrod_tx_timeout=\"0\"\n");
    int c = f.connect_client(1);
    std::map<std::string, std::vector<double>> seen;
    auto start = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    // Each datagram's time is the kernel's receive stamp, taken as the daemon sends it on the
    // loopback: the listener may be scheduled late on a busy machine, and reading the clock
    // when it wakes showed gaps a few milliseconds short of the daemon's.
    int on = 1;
    ASSERT_EQ(setsockopt(led, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on), 0) << strerror(errno);
    std::thread listener([&] {
        char buf[128];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
        pollfd p{led, POLLIN, 0};
        while (seconds() < 2.6) {
            if (poll(&p, 1, 50) <= 0)
                continue;
            iovec iov{buf, sizeof buf};
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            ssize_t n = recvmsg(led, &msg, 0);
            if (n <= 0)
                continue;
            cmsghdr *stamp = CMSG_FIRSTHDR(&msg);
            if (stamp == nullptr || stamp->cmsg_level != SOL_SOCKET ||
                stamp->cmsg_type != SCM_TIMESTAMP) {
                ADD_FAILURE() << "datagram without a receive time stamp";
                continue;
            }
            timeval tv;
            memcpy(&tv, CMSG_DATA(stamp), sizeof tv);
            seen[std::string(buf, static_cast<size_t>(n))].push_back(
                static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6);
        }
    });
    while (seconds() < 2.5) {
        f.pty.write("t");
        harness::send_all(c, "r");
        harness::recv_bytes(c, 1, ms(100));
        f.pty.read_bytes(1, ms(100));
    }
    listener.join();
    for (const std::string &cmd : {TXD, RXD}) {
        const auto &t = seen[cmd];
        ASSERT_GE(t.size(), 5u) << cmd;
        double shortest = 10;
        for (size_t i = 1; i < t.size(); i++)
            shortest = std::min(shortest, t[i] - t[i - 1]);
        EXPECT_GE(shortest, 0.195) << cmd << ": two commands within the gate";
        EXPECT_LT(shortest, 0.24) << cmd << ": the gate is longer than 0.2 s, or shared";
    }
    close(c);
    close(led);
}

TEST(Leds, OffMeansNoDatagramAtAll)
{
    int led = harness::udp_bind(9876);
    ASSERT_GE(led, 0);
    Ferrod f;
    f.start_server(); // the fixture turns LEDs off
    int c = f.connect_client(1);
    f.pty.write("quiet");
    ASSERT_EQ(harness::recv_bytes(c, 5, ms(3000)), "quiet");
    harness::send_all(c, "back");
    ASSERT_EQ(f.pty.read_bytes(4, ms(3000)), "back");
    EXPECT_TRUE(receive(led, ms(700)).empty());
    close(c);
    close(led);
}

} // namespace
