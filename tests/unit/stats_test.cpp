// The statistics file: its exact content, 64-bit counters, and replacement by rename.
#include "stats.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "client.h"
#include "config.h"
#include "harness.h"
#include "log.h"

namespace {

// Everything after the time line of the global section.
std::string after_time(const std::string &file)
{
    size_t line = file.find("\nbytes_rx=");
    return line == std::string::npos ? file : file.substr(line + 1);
}

client make_client(daemon_config &cfg, const char *ip, int port, time_t created)
{
    client c{};
    c.cfg = &cfg;
    c.addr.sin_family = AF_INET;
    c.addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &c.addr.sin_addr);
    c.created = created;
    return c;
}

TEST(Stats, FileShowsCountersBeyond32BitsAndClientsNewestFirst)
{
    harness::TempDir dir;
    daemon_config cfg;
    stats_record record{};
    cfg.stats = &record;
    copy_field(cfg.stats_file, dir.file("stats").c_str());
    record.bytes_rx = 5000000000ull;
    record.bytes_tx = 4294967296ull;

    client older = make_client(cfg, "10.1.2.3", 4001, 1700000000);
    client newer = make_client(cfg, "192.168.7.9", 65001, 1700000100);
    older.bytes_rx = 1;
    older.bytes_tx = 2;
    newer.bytes_rx = 3000000000ull;
    newer.bytes_tx = 4;
    newer.next = &older;
    older.prev = &newer;
    cfg.clients = &newer;
    cfg.num_clients = 2;

    EXPECT_EQ(stats_dump(&cfg), 1);
    std::string file = harness::read_file(cfg.stats_file);
    EXPECT_EQ(file.rfind("[global]\ntime=", 0), 0u) << file;
    EXPECT_EQ(after_time(file), "bytes_rx=5000000000\nbytes_tx=4294967296\nnum_clients=2\n"
                                "control_signals=dtr rts cts dcd \n"
                                "[client 0]\ntime=1700000100\naddress=192.168.7.9\nport=65001\n"
                                "bytes_rx=3000000000\nbytes_tx=4\n"
                                "[client 1]\ntime=1700000000\naddress=10.1.2.3\nport=4001\n"
                                "bytes_rx=1\nbytes_tx=2\n");
}

TEST(Stats, FileIsReplacedAsAWholeNeverRewrittenInPlace)
{
    harness::TempDir dir;
    daemon_config cfg;
    stats_record record{};
    cfg.stats = &record;
    copy_field(cfg.stats_file, dir.file("stats").c_str());

    ASSERT_EQ(stats_dump(&cfg), 1);
    struct stat first, second;
    ASSERT_EQ(stat(cfg.stats_file, &first), 0);
    // A reader holding the old file keeps seeing a whole old file.
    FILE *reader = fopen(cfg.stats_file, "r");
    ASSERT_NE(reader, nullptr);
    record.bytes_rx = 99;
    ASSERT_EQ(stats_dump(&cfg), 1);
    ASSERT_EQ(stat(cfg.stats_file, &second), 0);
    EXPECT_NE(first.st_ino, second.st_ino);
    char old[256] = {};
    EXPECT_GT(fread(old, 1, sizeof old - 1, reader), 0u);
    fclose(reader);
    EXPECT_NE(std::string(old).find("bytes_rx=0\n"), std::string::npos);
    EXPECT_NE(harness::read_file(cfg.stats_file).find("bytes_rx=99\n"), std::string::npos);
    EXPECT_FALSE(harness::file_exists(dir.file("stats.tmp")));
}

// One warning for the first failure, then silence, however long the condition lasts.
TEST(Stats, UnwritableFolderIsReportedOnce)
{
    daemon_config cfg;
    stats_record record{};
    cfg.stats = &record;
    copy_field(cfg.stats_file, "/nonexistent-ferro-folder/stats");
    log_level = LG_INF;
    log_to_stderr = 1;
    log_to_syslog = 0;
    std::string out = harness::capture_stderr([&] {
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(stats_dump(&cfg), 1);
    });
    EXPECT_EQ(out, "[wrn] stats_dump Could not write statistics to /nonexistent-ferro-folder/stats.tmp: "
                   "No such file or directory\n");
}

} // namespace
