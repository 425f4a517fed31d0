// The telnet input filter: what reaches the serial port and what is logged, byte by byte and
// across reads.
#include "telnet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "client.h"
#include "config.h"
#include "harness.h"
#include "log.h"
#include "serial.h"

namespace {

const std::string IAC = "\xff", SB = "\xfa", SE = "\xf0", DO = "\xfd", WILL = "\xfb";

// A client whose serial port is a pipe, so the bytes the filter writes can be read back.
struct Filter : ::testing::Test {
    int port[2] = {-1, -1};
    daemon_config cfg;
    serial_channel channel{};
    client peer{};
    telnet_state state{};

    void SetUp() override
    {
        ASSERT_EQ(pipe2(port, O_NONBLOCK), 0);
        cfg.do_leds = 0;
        cfg.serial = &channel;
        channel.cfg = &cfg;
        channel.fd = port[1];
        strcpy(channel.name, "pipe");
        peer.cfg = &cfg;
        peer.id = 7;
        state.client = &peer;
        state.state = TELNET_STATE_DATA;
        log_level = LG_DMP;
        log_to_stderr = 1;
        log_to_syslog = 0;
    }
    void TearDown() override
    {
        log_level = LG_INF;
        close(port[0]);
        close(port[1]);
    }

    // Feeds one read's worth of bytes; returns the log lines it caused (serial writes left out).
    std::string feed(const std::string &bytes)
    {
        std::string log = harness::capture_stderr([&] {
            telnet_handle(&state, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        });
        std::string kept;
        size_t pos = 0;
        while (pos < log.size()) {
            size_t end = log.find('\n', pos);
            std::string line = log.substr(pos, end - pos + 1);
            if (line.find("serial_tx") == std::string::npos)
                kept += line.substr(17); // without the tag and the name
            pos = end + 1;
        }
        return kept;
    }
    std::string serial()
    {
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = read(port[0], buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
};

TEST_F(Filter, EndOfLineBecomesOneCarriageReturn)
{
    feed("abc\r\n");
    EXPECT_EQ(serial(), "abc\r");
    feed(std::string("\r\0", 2));
    EXPECT_EQ(serial(), "\r");
    feed("\rx\r\r\n");
    EXPECT_EQ(serial(), "\rx\r\r") << "a byte after CR is data in its own right";

    feed("z\r");
    EXPECT_EQ(serial(), "z") << "the CR waits for the next byte";
    feed("\n");
    EXPECT_EQ(serial(), "\r");

    EXPECT_EQ(feed("\r" + IAC + DO + "\x01" + "q"), "telnet 7> DO\ntelnet 7> Option 1\n");
    EXPECT_EQ(serial(), "\rq") << "a command right after CR is still a command";
}

TEST_F(Filter, CommandsAreLoggedAndNeverReachThePort)
{
    EXPECT_EQ(feed(IAC + DO + "\x01"), "telnet 7> DO\ntelnet 7> Option 1\n");
    EXPECT_EQ(feed(IAC + WILL + "\x18" + IAC + "\xfc\x03" + IAC + "\xfe\x1f"),
              "telnet 7> WILL\ntelnet 7> Option 24\ntelnet 7> WONT\ntelnet 7> Option 3\n"
              "telnet 7> DONT\ntelnet 7> Option 31\n");
    EXPECT_EQ(feed(IAC + "\xf4" + IAC + "\xf1" + "a" + IAC + SE + "b"),
              "telnet 7> Ctrl-C\ntelnet 7> Unhandled command\ntelnet 7> Unhandled command\n");
    EXPECT_EQ(serial(), "ab") << "two-byte commands take no option byte";

    feed(IAC + IAC + "x");
    EXPECT_EQ(serial(), "\xffx") << "IAC IAC is the data byte 255";

    // A command split over three reads is handled as if it came in one.
    EXPECT_EQ(feed(IAC), "");
    EXPECT_EQ(feed(DO), "telnet 7> DO\n");
    EXPECT_EQ(feed("\x01y"), "telnet 7> Option 1\n");
    EXPECT_EQ(serial(), "y");
}

TEST_F(Filter, SubnegotiationsAreDumpedUpToThirtyTwoBytes)
{
    EXPECT_EQ(feed(IAC + SB + "\x18\x01" + IAC + SE),
              "telnet 7> Got sub 24\n+------- Substuff -------\n"
              "| 0000  01                                               |.               |\n");
    EXPECT_EQ(feed(IAC + SB + "\x18" + IAC + SE), "telnet 7> Got sub 24\n") << "empty: no dump";

    std::string forty;
    for (int i = 0; i < 40; i++)
        forty += static_cast<char>('A' + i % 26);
    std::string log = feed(IAC + SB + "\x1f" + forty.substr(0, 13));
    log += feed(forty.substr(13) + IAC + SE);
    EXPECT_NE(log.find("| 0010  51 52 53 54 55 56 57 58 59 5A 41 42 43 44 45 46  |QRSTUVWXYZABCDEF|"),
              std::string::npos) << log;
    EXPECT_EQ(log.find("| 0020"), std::string::npos) << "bytes past 32 are dropped";

    // An escaped 255 is part of the subnegotiation; nothing of it reaches the port.
    log = feed(IAC + SB + "\x1f" + std::string("\x00\x50", 2) + IAC + IAC + std::string("\x00\x18", 2) +
               IAC + SE);
    EXPECT_NE(log.find("| 0000  00 50 FF 00 18 "), std::string::npos) << log;
    EXPECT_EQ(serial(), "");

    // IAC followed by anything but SE or IAC ends it (that byte is consumed); what follows
    // is data.
    EXPECT_EQ(feed(IAC + SB + "\x01" + "k" + IAC + "zq"),
              "telnet 7> Got sub 1\ntelnet 7> Expcted TELNET_CMD_SE\n");
    EXPECT_EQ(serial(), "q");
}

// An IAC that a cut-short send owes goes out first, in front of the next block and in front of
// a command, which would otherwise be read as the second half of a doubled 255.
TEST_F(Filter, TheOwedIacGoesInFrontOfTheNextBlockAndOfACommand)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = harness::loopback(0);
    socklen_t alen = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &alen);
    int far = harness::tcp_connect(ntohs(a.sin_port));
    peer.fd = accept(listener, nullptr, nullptr);
    close(listener);
    peer.type = SOCK_STREAM;
    peer.telnet = &state;
    cfg.num_clients = 2;

    peer.iac_pending = 1;
    EXPECT_EQ(client_write(&peer, "A\xff", 2), 2) << "serial bytes counted, not the owed one";
    peer.iac_pending = 1;
    const unsigned char notify[] = {0xff, 0xfa, 0x2c, 0x6b, 0x00, 0xff, 0xf0};
    EXPECT_EQ(client_send_command(&peer, notify, sizeof notify), 0);
    EXPECT_EQ(peer.iac_pending, 0);
    EXPECT_EQ(harness::recv_bytes(far, 12, harness::ms(3000)),
              IAC + "A" + IAC + IAC + IAC + std::string(reinterpret_cast<const char *>(notify), 7));
    close(far);
    close(peer.fd);
    peer.telnet = nullptr;
}

} // namespace
