// The serial-to-TCP bridge end to end: data, batching, modem lines, limits, supervision,
// the IP filter, device loss and connection floods.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <netinet/in.h>

#include "ferrod_fixture.h"

namespace {

using harness::ms;

using harness::count_fds;

// A connection with a tiny receive window, so that a peer that never reads fills its queue fast.
int connect_small_window(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int small = 2048;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a = harness::loopback(port);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    return fd;
}

// The daemon's sockets with O_NONBLOCK set, as /proc shows them.
int nonblocking_sockets(pid_t pid)
{
    // The kernel shows the flags in its own terms: under emulation that is the host's O_NONBLOCK
    // (octal 4000 on x86 and ARM), not the target's.
    const unsigned long nonblock = harness::emulator().empty() ? O_NONBLOCK : 04000;
    std::string dir = "/proc/" + std::to_string(pid);
    DIR *d = opendir((dir + "/fd").c_str());
    int n = 0;
    while (dirent *e = readdir(d)) {
        char target[64] = {};
        if (e->d_name[0] == '.' ||
            readlink((dir + "/fd/" + e->d_name).c_str(), target, sizeof target - 1) < 0 ||
            strncmp(target, "socket:", 7) != 0)
            continue;
        std::string info = harness::read_file(dir + "/fdinfo/" + e->d_name);
        size_t flags = info.find("flags:");
        if (flags != std::string::npos && (std::stoul(info.substr(flags + 6), nullptr, 8) & nonblock))
            n++;
    }
    closedir(d);
    return n;
}

int connect_from(const char *source, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, source, &a.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    return fd;
}

TEST(Bridge, DataBothWaysWithModemLinesFollowingClients)
{
    Ferrod f;
    f.start_server();
    EXPECT_TRUE(harness::eventually([&] { return f.line("dtr") == "0"; }, ms(2000)))
        << "lowered after opening";
    EXPECT_EQ(f.line("rts"), "0");

    int c = f.connect_client(1);
    EXPECT_TRUE(harness::eventually([&] { return f.line("dtr") == "1" && f.line("rts") == "1"; }, ms(2000)));

    f.pty.write("reading 42.0\r\n");
    EXPECT_EQ(harness::recv_bytes(c, 14, ms(3000)), "reading 42.0\r\n");
    harness::send_all(c, "MEAS?\r");
    EXPECT_EQ(f.pty.read_bytes(6, ms(3000)), "MEAS?\r");
    EXPECT_TRUE(harness::eventually(
        [&] { return f.stats().find("port=") != std::string::npos &&
                     f.stats().find("\nbytes_rx=6\nbytes_tx=14\n") != std::string::npos; },
        ms(3000)))
        << "the client's own counters" << f.stats();

    close(c);
    EXPECT_GE(f.wait("[inf] on_client_ Client 1 closed by remote peer"), 0) << f.proc->all_lines();
    EXPECT_TRUE(harness::eventually([&] { return f.line("dtr") == "0" && f.line("rts") == "0"; }, ms(2000)));

    EXPECT_TRUE(harness::eventually(
        [&] {
            auto s = f.stats();
            return s.find("bytes_rx=14\nbytes_tx=6\nnum_clients=0\n") != std::string::npos;
        },
        ms(3000)))
        << f.stats();
}

// One client waits for its sends; with two or more no client may hold up the others.
TEST(Bridge, SocketsTurnNonBlockingWithTheSecondClientAndBackWithTheLast)
{
    Ferrod f;
    f.start_server();
    pid_t pid = f.proc->pid();
    int a = f.connect_client(1);
    EXPECT_EQ(nonblocking_sockets(pid), 0);
    int b = f.connect_client(2);
    EXPECT_EQ(nonblocking_sockets(pid), 2);
    close(b);
    ASSERT_GE(f.wait("Client 2 closed by remote peer"), 0);
    EXPECT_TRUE(harness::eventually([&] { return nonblocking_sockets(pid) == 0; }, ms(2000)));
    close(a);
}

TEST(Bridge, SighupZeroesEveryCounterButKeepsTheClients)
{
    Ferrod f;
    f.start_server();
    int c = f.connect_client(1);
    f.pty.write("12345");
    EXPECT_EQ(harness::recv_bytes(c, 5, ms(3000)), "12345");
    harness::send_all(c, "abc");
    EXPECT_EQ(f.pty.read_bytes(3, ms(3000)), "abc");
    ASSERT_TRUE(harness::eventually(
        [&] { return f.stats().find("bytes_rx=5\nbytes_tx=3\nnum_clients=1\n") != std::string::npos; },
        ms(3000))) << f.stats();
    std::string before = f.stats();
    std::string created = before.substr(before.find("[client 0]\ntime="), 30);

    f.proc->signal(SIGHUP);
    ASSERT_GE(f.wait("[inf] on_sighup  Received SIGHUP, resetting statistics"), 0);
    EXPECT_TRUE(harness::eventually(
        [&] {
            std::string s = f.stats();
            return s.find("bytes_rx=0\nbytes_tx=0\nnum_clients=1\n") != std::string::npos &&
                   s.find("\nbytes_rx=0\nbytes_tx=0\n", s.find("[client 0]")) != std::string::npos;
        },
        ms(3000))) << f.stats();
    EXPECT_NE(f.stats().find(created), std::string::npos) << "the client's time stays";
    close(c);
}

TEST(Bridge, QuietGapFlushesAndBurstsGoOutInChunksOfBufsize)
{
    Ferrod f;
    f.start_server("ferrod_tx_timeout=\"300\"\nferrod_tx_bufsize=\"10\"\n", {"-l", "5"});
    int c = f.connect_client(1);

    f.pty.write("abc");
    EXPECT_EQ(harness::recv_bytes(c, 3, ms(150)), "") << "held back while the line may go on";
    EXPECT_EQ(harness::recv_bytes(c, 3, ms(3000)), "abc");

    // A stream with gaps shorter than the quiet time is held until the buffer fills.
    for (char ch : std::string("12345")) {
        f.pty.write(std::string(1, ch));
        usleep(30 * 1000);
    }
    EXPECT_EQ(harness::recv_bytes(c, 5, ms(3000)), "12345");

    size_t mark = f.proc->line_count();
    f.pty.write("ABCDEFGHIJKLMNOPQRSTUVWXY");
    EXPECT_EQ(harness::recv_bytes(c, 25, ms(3000)), "ABCDEFGHIJKLMNOPQRSTUVWXY");
    ASSERT_GE(f.wait("[dmp] client_wri | 0000  55 56 57 58 59", 3000, mark), 0) << f.proc->all_lines();
    std::vector<std::string> sent;
    const auto &l = f.proc->lines();
    for (size_t i = mark; i + 1 < l.size(); i++)
        if (l[i].find("+------- tx client 1 -------") != std::string::npos)
            sent.push_back(l[i + 1].substr(17));
    ASSERT_EQ(sent.size(), 3u) << f.proc->all_lines();
    EXPECT_EQ(sent[0].substr(0, 38), "| 0000  41 42 43 44 45 46 47 48 49 4A ");
    EXPECT_EQ(sent[0].substr(38, 3), "   ") << "exactly ten bytes";
    EXPECT_EQ(sent[1].substr(0, 38), "| 0000  4B 4C 4D 4E 4F 50 51 52 53 54 ");
    EXPECT_EQ(sent[2].substr(0, 26), "| 0000  55 56 57 58 59    ");
}

// The sizes of the data blocks dumped under TITLE from line MARK on, in order.
std::vector<size_t> dumped_blocks(harness::Process &proc, size_t mark, const std::string &title)
{
    std::vector<size_t> sizes;
    const std::vector<std::string> l = proc.lines();
    for (size_t i = mark; i < l.size(); i++) {
        if (l[i].find("+------- " + title + " -------") == std::string::npos)
            continue;
        size_t n = 0;
        // Each dump line: "| OFFS  " then sixteen "XX " columns, blank where the block ends.
        for (size_t j = i + 1; j < l.size() && l[j].find("| ") != std::string::npos; j++) {
            std::string hex = l[j].substr(l[j].find("| ") + 8, 48);
            for (size_t k = 0; k + 1 < hex.size(); k += 3)
                n += hex[k] != ' ';
        }
        sizes.push_back(n);
    }
    return sizes;
}

TEST(Bridge, BurstsLongerThanOneReadStillGoOutInBlocksOfBufsize)
{
    Ferrod f;
    f.start_server("ferrod_tx_timeout=\"1000\"\nferrod_tx_bufsize=\"10\"\n", {"-l", "5"});
    int c = f.connect_client(1);

    // A full block goes out at once, without waiting for the line to go quiet.
    f.pty.write("0123456789");
    EXPECT_EQ(harness::recv_bytes(c, 10, ms(600)), "0123456789");
    // Its dumps (read, then sent) are in the log before the burst's are counted.
    ASSERT_TRUE(harness::eventually(
        [&] { return f.proc->count("| 0000  30 31 32 33 34 35 36 37 38 39") >= 2; }, ms(3000)));

    // Far more than one read takes: every full block at once, the rest after the quiet time.
    std::string burst;
    for (int i = 0; i < 247; i++)
        burst += static_cast<char>('A' + i % 26);
    size_t mark = f.proc->line_count();
    f.pty.write(burst);
    EXPECT_EQ(harness::recv_bytes(c, 240, ms(600)), burst.substr(0, 240));
    EXPECT_EQ(harness::recv_bytes(c, 7, ms(300)), "") << "the tail waits for the quiet time";
    EXPECT_EQ(harness::recv_bytes(c, 7, ms(3000)), burst.substr(240));
    std::vector<size_t> sent;
    ASSERT_TRUE(harness::eventually([&] {
        sent = dumped_blocks(*f.proc, mark, "tx client 1");
        return sent.size() >= 25;
    }, ms(3000))) << f.proc->all_lines();
    ASSERT_EQ(sent.size(), 25u) << f.proc->all_lines();
    for (size_t i = 0; i < 24; i++)
        EXPECT_EQ(sent[i], 10u) << "block " << i;
    EXPECT_EQ(sent[24], 7u);

    // The other way: a client's burst reaches the port whole and in order, in writes of at
    // most a buffer.
    mark = f.proc->line_count();
    harness::send_all(c, burst);
    std::string port;
    EXPECT_TRUE(harness::eventually([&] {
        port += f.pty.read_quiet(ms(50), ms(200));
        return port.size() >= burst.size();
    }, ms(5000)));
    EXPECT_EQ(port, burst);
    std::vector<size_t> written = dumped_blocks(*f.proc, mark, "tx serial");
    size_t total = 0;
    for (size_t n : written) {
        EXPECT_LE(n, 10u);
        total += n;
    }
    EXPECT_EQ(total, burst.size());
    EXPECT_TRUE(harness::eventually([&] {
        std::string st = f.stats();
        return st.find("bytes_rx=257\n") != std::string::npos &&
               st.find("bytes_tx=247\n") != std::string::npos;
    }, ms(3000))) << f.stats();

    // Exactly three whole reads waiting at once (the daemon stopped while they arrive): the
    // empty read after the last full one means a quiet line, not a device that went away.
    f.proc->signal(SIGSTOP);
    f.pty.write(burst.substr(0, 240));
    f.proc->signal(SIGCONT);
    EXPECT_EQ(harness::recv_bytes(c, 240, ms(3000)), burst.substr(0, 240));
    f.pty.write("more");
    EXPECT_EQ(harness::recv_bytes(c, 4, ms(3000)), "more");
    EXPECT_EQ(f.proc->count("closed (end of file)"), 0) << f.proc->all_lines();
    close(c);
}

TEST(Bridge, SecondaryDeviceIsBridgedAndCountedTwice)
{
    Ferrod f;
    harness::Pty second;
    f.start_server("", {"-e", second.slave});
    int c = f.connect_client(1);

    harness::send_all(c, "both");
    EXPECT_EQ(f.pty.read_bytes(4, ms(3000)), "both");
    EXPECT_EQ(second.read_bytes(4, ms(3000)), "both");
    second.write("from two");
    EXPECT_EQ(harness::recv_bytes(c, 8, ms(3000)), "from two");
    EXPECT_TRUE(harness::eventually(
        [&] { return f.stats().find("bytes_rx=8\nbytes_tx=8\n") != std::string::npos; }, ms(3000)))
        << f.stats();
    EXPECT_EQ(f.line("dtr", second.slave), "0") << "only the primary follows the clients";
    close(c);
}

TEST(Bridge, DcdPollLogsEveryChange)
{
    Ferrod f;
    f.set_line("dcd", 1);
    f.start("ferrod_mode=\"0\"\n");
    EXPECT_GE(f.wait("[inf] poll_dcd   DCD state changed: -1 -> 1 ", 4000), 0) << f.proc->all_lines();
    EXPECT_TRUE(harness::eventually(
        [&] { return f.stats().find("control_signals=dtr rts cts DCD \n") != std::string::npos; }, ms(3000)))
        << f.stats();
    f.set_line("dcd", 0);
    EXPECT_GE(f.wait("[inf] poll_dcd   DCD state changed: 1 -> 0 ", 4000), 0) << f.proc->all_lines();
    EXPECT_TRUE(harness::eventually(
        [&] { return f.stats().find("control_signals=dtr rts cts dcd \n") != std::string::npos; }, ms(3000)));
}

TEST(Bridge, LimitStopsListeningUntilThereIsRoom)
{
    Ferrod f;
    f.start_server("ferrod_max_clients=\"2\"\n");
    int a = f.connect_client(1);
    int b = f.connect_client(2);
    int accepted = f.wait("TCP client accepted 2");
    int stopped = f.wait("[inf] tcp_server TCP server stopped listening ");
    ASSERT_GE(stopped, 0) << f.proc->all_lines();
    EXPECT_EQ(stopped, accepted + 1) << "closed in the same callback";
    EXPECT_EQ(harness::tcp_connect(f.port, ms(1000)), -1) << "no listening socket: refused";

    size_t mark = f.proc->line_count();
    close(a);
    auto closed_at = std::chrono::steady_clock::now();
    ASSERT_GE(f.wait("TCP server listening on port", 3000, mark), 0) << f.proc->all_lines();
    EXPECT_LT(std::chrono::steady_clock::now() - closed_at, std::chrono::milliseconds(2500));
    int c = f.connect_client(3);
    close(b);
    close(c);
}

// A port another program holds: the bind fails (no listening claimed), and is tried again
// every second until the port is free.
TEST(Bridge, PortInUseIsTriedAgainUntilItIsFree)
{
    Ferrod f;
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<uint16_t>(f.port));
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    f.start("ferrod_mode=\"1\"\n");
    const std::string refused = "[wrn] tcp_server Could not bind to TCP port " + std::to_string(f.port) +
                                ": Address already in use";
    int first = f.wait(refused);
    ASSERT_GE(first, 0) << f.proc->all_lines();
    EXPECT_GE(f.wait(refused, 3000, static_cast<size_t>(first) + 1), 0) << "tried again";
    EXPECT_EQ(f.proc->count("TCP server listening"), 0) << f.proc->all_lines();
    close(taken);
    EXPECT_GE(f.wait("[inf] tcp_server TCP server listening on port " + std::to_string(f.port), 3000), 0)
        << f.proc->all_lines();
    f.expect_serves_new_client();
}

TEST(Bridge, DropOldestMakesRoomForTheNewcomer)
{
    Ferrod f;
    f.start_server("ferrod_max_clients=\"1\"\nferrod_drop_oldest=\"1\"\n");
    int a = f.connect_client(1);
    int b = f.connect_client(2);
    EXPECT_GE(f.wait("[wrn] client_new Maximum number of clients (1) reached, dropping oldest client"), 0);
    EXPECT_TRUE(harness::wait_closed(a, ms(3000)));
    EXPECT_EQ(f.proc->count("stopped listening"), 0);
    f.pty.write("x");
    EXPECT_EQ(harness::recv_bytes(b, 1, ms(3000)), "x");
    close(a);
    close(b);
}

TEST(Bridge, DropOldestAboveOneDropsTheOldestOnly)
{
    Ferrod f;
    f.start_server("ferrod_max_clients=\"3\"\nferrod_drop_oldest=\"1\"\n");
    int a = f.connect_client(1);
    int b = f.connect_client(2);
    int c = f.connect_client(3);
    int d = f.connect_client(4);
    EXPECT_GE(f.wait("[wrn] client_new Maximum number of clients (3) reached, dropping oldest client"), 0);
    EXPECT_TRUE(harness::wait_closed(a, ms(3000)));
    f.pty.write("y");
    for (int fd : {b, c, d})
        EXPECT_EQ(harness::recv_bytes(fd, 1, ms(3000)), "y");
    for (int fd : {a, b, c, d})
        close(fd);
}

// With keep-alive on, a lone client's socket blocks only for keepalive_timeout seconds: a peer
// that stops reading cannot hold the daemon for ever.
TEST(Bridge, LoneClientThatStopsReadingTimesOutInsteadOfBlockingTheDaemon)
{
    Ferrod f;
    f.start_server("ferrod_keepalive=\"1\"\nferrod_keepalive_timeout=\"2\"\nferrod_tx_bufsize=\"4096\"\n");
    int stalled = connect_small_window(f.port);
    ASSERT_GE(f.wait("TCP client accepted 1"), 0);

    // The daemon may stop reading the port while it waits: write only what fits.
    int flags = fcntl(f.pty.master, F_GETFL);
    fcntl(f.pty.master, F_SETFL, flags | O_NONBLOCK);
    std::string chunk(4096, 'z');
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (f.proc->count("Timeout sending to client 1") == 0 && std::chrono::steady_clock::now() < end) {
        ssize_t ignored = write(f.pty.master, chunk.data(), chunk.size());
        (void)ignored;
        usleep(5000);
    }
    fcntl(f.pty.master, F_SETFL, flags);
    ASSERT_GE(f.wait("Timeout sending to client 1", 1000), 0) << f.proc->all_lines();
    f.pty.read_quiet(ms(200), ms(1000)); // whatever the daemon had no time to read is stale

    int fresh = f.connect_client(2);
    f.pty.write("alive");
    EXPECT_NE(harness::recv_bytes(fresh, 1 << 16, ms(2000)).find("alive"), std::string::npos);
    close(stalled);
    close(fresh);
}

// A reader slower than the line has a full send queue at every check, yet bytes leave it: it
// is kept. Once it stops reading, it goes within keepalive_timeout and a little.
TEST(Bridge, SteadySlowReaderIsKeptUntilItStopsReading)
{
    Ferrod f;
    f.start_server("ferrod_keepalive=\"1\"\nferrod_keepalive_timeout=\"2\"\nferrod_tx_bufsize=\"4096\"\n");
    int c = connect_small_window(f.port);
    ASSERT_GE(f.wait("TCP client accepted 1"), 0);
    int flags = fcntl(f.pty.master, F_GETFL);
    fcntl(f.pty.master, F_SETFL, flags | O_NONBLOCK);
    std::string chunk(65536, 's');
    char buf[2048];
    size_t got = 0;
    auto feed = [&] {
        ssize_t ignored = write(f.pty.master, chunk.data(), chunk.size());
        (void)ignored;
        usleep(100 * 1000);
    };
    // 2 KB every 0.1 s: 20 KB/s for three and a half time-outs.
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(7);
         std::chrono::steady_clock::now() < end;) {
        feed();
        ssize_t n = recv(c, buf, sizeof buf, MSG_DONTWAIT);
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    EXPECT_EQ(f.proc->count("Timeout sending to client 1"), 0) << f.proc->all_lines();
    EXPECT_GT(got, 60000u);

    auto stopped = std::chrono::steady_clock::now();
    while (f.proc->count("Timeout sending to client 1") == 0 &&
           std::chrono::steady_clock::now() - stopped < std::chrono::seconds(6))
        feed();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(4)) << f.proc->all_lines();
    fcntl(f.pty.master, F_SETFL, flags);
    close(c);
}

// A stop signal ends a write to a port that takes nothing and a send to a lone client that
// reads nothing (keep-alive off: no time-out would ever end it), and the daemon stops in order.
TEST(Bridge, SigtermEndsAWriteOrSendThatWouldWaitForEver)
{
    for (bool port_stuck : {true, false}) {
        SCOPED_TRACE(port_stuck ? "port never read" : "client never reads");
        Ferrod f;
        f.start_server("ferrod_tx_bufsize=\"4096\"\n");
        int c = connect_small_window(f.port);
        ASSERT_GE(f.wait("TCP client accepted 1"), 0);
        ASSERT_TRUE(harness::eventually([&] { return f.line("dtr") == "1"; }, ms(3000)));
        int fd = port_stuck ? c : f.pty.master;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        std::string chunk(16384, 'w');
        // Stuck once nothing more goes in for half a second.
        auto last = std::chrono::steady_clock::now(), give_up = last + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() - last < std::chrono::milliseconds(500)) {
            if (write(fd, chunk.data(), chunk.size()) > 0)
                last = std::chrono::steady_clock::now();
            ASSERT_LT(last, give_up) << "the daemon kept taking data it cannot hand on";
            usleep(10 * 1000);
        }
        auto start = std::chrono::steady_clock::now();
        f.proc->signal(SIGTERM);
        EXPECT_EQ(f.proc->wait_exit(ms(1000)), 0) << f.proc->all_lines();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(f.line("dtr"), "0") << "the client deleted before the port closed";
        close(c);
    }
}

TEST(Bridge, LimitWithoutDroppingRefusesAndClosesTheNewcomer)
{
    Ferrod f;
    // A limit of 0: the first connection meets the limit in client_new and is closed.
    f.start_server("ferrod_max_clients=\"0\"\n");
    int a = harness::tcp_connect(f.port);
    ASSERT_GE(a, 0);
    EXPECT_GE(f.wait("Maximum number of clients (0) reached, not adding new client"), 0);
    EXPECT_TRUE(harness::wait_closed(a, ms(3000)));
    EXPECT_GE(f.wait("TCP server stopped listening"), 0);
    close(a);
}

TEST(Bridge, IdleClientIsRemovedOneSecondAfterTheTimeout)
{
    Ferrod f;
    f.start_server("ferrod_inactivity_enabled=\"1\"\nferrod_inactivity_timeout=\"1\"\n");
    int c = f.connect_client(1);
    auto start = std::chrono::steady_clock::now();
    ASSERT_GE(f.wait("[inf] on_client_ Removing client 1 due to timeout", 6000), 0) << f.proc->all_lines();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1700));
    EXPECT_LT(took, std::chrono::milliseconds(3500));
    EXPECT_TRUE(harness::wait_closed(c, ms(2000)));
    close(c);
}

TEST(Bridge, ClientInputRestartsTheInactivityTimer)
{
    Ferrod f;
    f.start_server("ferrod_inactivity_enabled=\"1\"\nferrod_inactivity_timeout=\"2\"\n");
    int c = f.connect_client(1);
    for (int i = 0; i < 5; i++) {
        usleep(1000 * 1000);
        harness::send_all(c, "k");
    }
    auto last_input = std::chrono::steady_clock::now();
    EXPECT_EQ(f.proc->count("Removing client 1"), 0) << "kept alive by its input";
    ASSERT_GE(f.wait("[inf] on_client_ Removing client 1 due to timeout", 6000), 0) << f.proc->all_lines();
    auto idle = std::chrono::steady_clock::now() - last_input;
    EXPECT_GE(idle, std::chrono::milliseconds(2700));
    EXPECT_LT(idle, std::chrono::milliseconds(4500));
    close(c);
}

TEST(Bridge, ClientThatNeverReadsIsDroppedWithoutStallingTheOthers)
{
    Ferrod f;
    f.start_server("ferrod_keepalive=\"1\"\nferrod_keepalive_timeout=\"2\"\nferrod_tx_bufsize=\"4096\"\n");
    int stalled = connect_small_window(f.port);
    ASSERT_GE(f.wait("TCP client accepted 1"), 0);
    int reader = f.connect_client(2);

    std::string chunk(4096, 'z');
    size_t received = 0;
    bool dropped = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!dropped && std::chrono::steady_clock::now() < end) {
        f.pty.write(chunk);
        received += harness::recv_bytes(reader, 1 << 20, ms(20)).size();
        dropped = f.proc->count("[wrn] on_client_ Timeout sending to client 1") > 0;
    }
    ASSERT_TRUE(dropped) << f.proc->all_lines();
    EXPECT_GT(received, 200000u) << "the reading client kept being served";
    EXPECT_EQ(f.proc->count("client 2"), 0) << "the reader was not dropped";
    f.pty.write("after");
    EXPECT_NE(harness::recv_bytes(reader, 1 << 20, ms(2000)).find("after"), std::string::npos);
    close(stalled);
    close(reader);
}

TEST(Bridge, IpFilterAdmitsConfiguredAddressesOnly)
{
    Ferrod f;
    f.start_server("ferrod_ip_filter_enabled=\"1\"\nferrod_filter_address_1=\"127.0.0.3\"\n");
    int ok = connect_from("127.0.0.3", f.port);
    EXPECT_GE(f.wait("[inf] match_ip_f Trying to resolve filter address 127.0.0.3"), 0) << f.proc->all_lines();
    EXPECT_GE(f.wait("[dbg] match_ip_f IP address 127.0.0.3 matches filter"), 0) << f.proc->all_lines();
    EXPECT_GE(f.wait("TCP client accepted 1 from 127.0.0.3"), 0);

    int refused = connect_from("127.0.0.4", f.port);
    EXPECT_GE(f.wait("[wrn] match_ip_f IP address 127.0.0.4 does not match filter"), 0);
    EXPECT_GE(f.wait("[wrn] on_tcp_ser Incoming IP address 127.0.0.4 does not match IP filter"), 0);
    EXPECT_TRUE(harness::wait_closed(refused, ms(3000)));
    EXPECT_EQ(f.proc->count("Trying to resolve"), 1) << "resolved once, then cached";
    close(ok);
    close(refused);
}

TEST(Bridge, LostDeviceIsReopenedWithoutSpinning)
{
    Ferrod f;
    std::string link = "/tmp/fr" + std::to_string(getpid() % 100000);
    unlink(link.c_str());
    ASSERT_EQ(symlink(f.pty.slave.c_str(), link.c_str()), 0);
    f.start_server("", {"-d", link});
    int c = f.connect_client(1);

    // The far side going away reads as an error or as end of file, depending on the driver.
    // The link goes first: the pty's number may be reused by a parallel test at once.
    unlink(link.c_str());
    f.pty.close_master();
    auto lost = [&] {
        return f.proc->count("[wrn] on_serial_ Error reading from serial port") +
               f.proc->count("[wrn] on_serial_ Serial port " + link + " closed (end of file)");
    };
    ASSERT_TRUE(harness::eventually([&] { return lost() > 0; }, ms(3000))) << f.proc->all_lines();
    usleep(1500 * 1000);
    EXPECT_EQ(lost(), 1) << "no error flood";
    harness::send_all(c, "dropped while gone");

    harness::Pty replacement;
    ASSERT_EQ(symlink(replacement.slave.c_str(), link.c_str()), 0);
    ASSERT_GE(f.wait("[inf] on_serial_ Serial port " + link + " is back", 4000), 0) << f.proc->all_lines();
    replacement.write("hello again");
    EXPECT_EQ(harness::recv_bytes(c, 11, ms(3000)), "hello again") << f.proc->all_lines();
    harness::send_all(c, "up");
    EXPECT_EQ(replacement.read_bytes(2, ms(3000)), "up");
    EXPECT_EQ(f.line("dtr", link), "1") << "DTR follows the connected client again";
    close(c);
    unlink(link.c_str());
}

void flood(const std::string &conf)
{
    Ferrod f;
    f.start_server(conf);
    int idle = count_fds(f.proc->pid());
    for (int round = 0; round < 300; round++) {
        int fd = harness::tcp_connect(f.port, ms(200));
        if (fd >= 0 && round % 2 == 0)
            harness::send_all(fd, "x");
        if (fd >= 0)
            close(fd);
    }
    // Everything the daemon took on is let go again, and it still serves.
    EXPECT_TRUE(harness::eventually([&] { return f.proc->running() && count_fds(f.proc->pid()) <= idle; },
                                    ms(10000)))
        << count_fds(f.proc->pid()) << " descriptors, idle " << idle << ":\n"
        << harness::describe_fds(f.proc->pid());
    f.expect_serves_new_client();
}

TEST(BridgeLoad, ConnectionFloodAtTheLimit) { flood("ferrod_max_clients=\"32\"\n"); }

TEST(BridgeLoad, ConnectionFloodWithDropOldest) { flood("ferrod_max_clients=\"4\"\nferrod_drop_oldest=\"1\"\n"); }

} // namespace
