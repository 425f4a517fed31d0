// The statistics file: its exact content, 64-bit counters, and replacement by rename.
#include "stats.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Fills what is left of the file system holding PATH.
void fill(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::string block(512, 'f');
    while (fwrite(block.data(), block.size(), 1, f) == 1 && fflush(f) == 0) {
    }
    fclose(f);
}

// A full disk: the previous file stays whole and the cut temporary file goes; one warning, and
// the next only after a write has succeeded again.
TEST(Stats, FullDiskKeepsThePreviousFileAndWarnsOncePerSpell)
{
    harness::TempDir dir;
    // In a mount namespace of this process's own, so that the machine never sees the mount.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=16k") != 0)
        GTEST_SKIP() << "cannot mount a 16 KB tmpfs here: " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{dir.path};

    daemon_config cfg;
    stats_record record{};
    cfg.stats = &record;
    copy_field(cfg.stats_file, dir.file("stats").c_str());
    log_level = LG_INF;
    log_to_stderr = 1;
    log_to_syslog = 0;
    const std::string warning = "[wrn] stats_dump Could not write statistics to " + dir.file("stats.tmp") +
                                ": No space left on device\n";
    ASSERT_EQ(stats_dump(&cfg), 1);
    const std::string good = harness::read_file(cfg.stats_file);
    ASSERT_NE(good.find("bytes_rx=0\n"), std::string::npos) << good;

    fill(dir.file("fill"));
    record.bytes_rx = 7;
    EXPECT_EQ(harness::capture_stderr([&] {
        for (int i = 0; i < 3; i++)
            stats_dump(&cfg);
    }), warning);
    EXPECT_EQ(harness::read_file(cfg.stats_file), good);
    EXPECT_FALSE(harness::file_exists(dir.file("stats.tmp")));

    unlink(dir.file("fill").c_str());
    EXPECT_EQ(harness::capture_stderr([&] { stats_dump(&cfg); }), "");
    EXPECT_NE(harness::read_file(cfg.stats_file).find("bytes_rx=7\n"), std::string::npos);
    fill(dir.file("fill"));
    EXPECT_EQ(harness::capture_stderr([&] {
        stats_dump(&cfg);
        stats_dump(&cfg);
    }), warning) << "a new spell, a new warning";
    unlink(dir.file("fill").c_str());
    stats_dump(&cfg); // leaves the warning flag clear for the other cases
}

} // namespace
