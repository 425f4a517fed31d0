// Name resolution and the IP filter: what is looked up, what is logged, what is admitted.
#include "resolve.h"

#include <arpa/inet.h>

#include <string>

#include <gtest/gtest.h>

#include "config.h"
#include "harness.h"
#include "log.h"

namespace {

struct Resolve : ::testing::Test {
    void SetUp() override
    {
        log_level = LG_DBG;
        log_to_stderr = 1;
        log_to_syslog = 0;
    }
    void TearDown() override { log_level = LG_INF; }
};

uint32_t ip(const char *dotted) { return inet_addr(dotted); }

TEST_F(Resolve, AbsentAndEmptyNamesAreNoAddressAndNoLookup)
{
    uint32_t got = 1;
    EXPECT_EQ(harness::capture_stderr([&] { got = resolve(nullptr); }), "");
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(harness::capture_stderr([&] { got = resolve(""); }), "");
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(harness::capture_stderr([&] { got = resolve("127.0.0.9"); }),
              "[dbg] resolve    Resolved 127.0.0.9 to 127.0.0.9\n");
    EXPECT_EQ(got, ip("127.0.0.9"));
}

// The match line names the filter entry as configured, a host name included.
TEST_F(Resolve, FilterMatchesByAddressAndNamesTheConfiguredEntry)
{
    daemon_config cfg;
    cfg.ip_filter_enabled = 1;
    cfg.filter_address[2] = "localhost";
    int admitted = 0;
    std::string log = harness::capture_stderr([&] { admitted = match_ip_filter(&cfg, ip("127.0.0.1")); });
    EXPECT_EQ(admitted, 1);
    EXPECT_NE(log.find("[inf] match_ip_f Trying to resolve filter address localhost\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[dbg] match_ip_f IP address localhost matches filter\n"), std::string::npos) << log;
    EXPECT_EQ(cfg.filter_ip[2], ip("127.0.0.1"));

    log = harness::capture_stderr([&] { admitted = match_ip_filter(&cfg, ip("127.0.0.2")); });
    EXPECT_EQ(admitted, 0);
    EXPECT_EQ(log, "[wrn] match_ip_f IP address 127.0.0.2 does not match filter\n") << "resolved once, kept";

    daemon_config off;
    EXPECT_EQ(harness::capture_stderr([&] { admitted = match_ip_filter(&off, ip("10.0.0.1")); }), "");
    EXPECT_EQ(admitted, 1) << "the filter off admits everyone, silently";
}

// A filter name that does not resolve admits nobody and stays unresolved: it is looked up
// again for the next peer, while the other entries work.
TEST_F(Resolve, UnresolvableFilterNameIsTriedAgainForEveryPeer)
{
    const std::string name = std::string(64, 'x') + ".invalid"; // refused without a query
    daemon_config cfg;
    cfg.ip_filter_enabled = 1;
    cfg.filter_address[0] = name;
    cfg.filter_address[1] = "127.0.0.3";
    for (const char *peer : {"127.0.0.4", "127.0.0.3"}) {
        int admitted = -1;
        std::string log = harness::capture_stderr([&] { admitted = match_ip_filter(&cfg, ip(peer)); });
        EXPECT_EQ(admitted, std::string(peer) == "127.0.0.3" ? 1 : 0) << peer;
        EXPECT_EQ(log.find("[inf] match_ip_f Trying to resolve filter address " + name + "\n[wrn] resolve    "
                           "Could not resolve " + name + ": "), 0u) << log;
        EXPECT_EQ(cfg.filter_ip[0], 0u);
    }
}

} // namespace
