// Log line format, level filtering, the fatal level and the hex dump.
#include "log.h"

#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::capture_stderr;

struct Log : ::testing::Test {
    void SetUp() override
    {
        log_level = LG_INF;
        log_to_stderr = 1;
        log_to_syslog = 0;
    }
};

TEST_F(Log, LineFormatPadsOrCutsTheNameToTenColumns)
{
    auto out = capture_stderr([] {
        _fr_log(LG_INF, "main", "Ferrod starting");
        _fr_log(LG_WRN, "match_ip_filter", "x");
        _fr_log(LG_INF, "abcdefghij", "%d-%s", 7, "y");
    });
    EXPECT_EQ(out, "[inf] main       Ferrod starting\n"
                   "[wrn] match_ip_f x\n"
                   "[inf] abcdefghij 7-y\n");
}

TEST_F(Log, LevelFiltersAndTagsFollowTheLevel)
{
    log_level = LG_DBG;
    auto out = capture_stderr([] {
        _fr_log(LG_DMP, "f", "hidden");
        _fr_log(LG_DBG, "f", "d");
        _fr_log(LG_INF, "f", "i");
        fr_log(LG_DMP, "hidden too");
        fr_log(LG_WRN, "w");
    });
    EXPECT_EQ(out, "[dbg] f          d\n[inf] f          i\n[wrn] operator() w\n");
}

TEST_F(Log, MessageIsCutAt255CharactersAndLineBreaksBecomeBlanks)
{
    std::string exact(255, 'a'), longer(300, 'b');
    auto out = capture_stderr([&] {
        _fr_log(LG_INF, "f", "%s", exact.c_str());
        _fr_log(LG_INF, "f", "%s", longer.c_str());
        _fr_log(LG_INF, "f", "one\r\ntwo\n");
    });
    EXPECT_EQ(out, "[inf] f          " + exact + "\n" + "[inf] f          " + std::string(255, 'b') +
                       "\n" + "[inf] f          one  two \n");
}

TEST_F(Log, FatalEndsTheProcessEvenWhenFiltered)
{
    EXPECT_EXIT(
        {
            log_level = 0;
            _fr_log(LG_FTL, "main", "bye");
        },
        ::testing::ExitedWithCode(1), "^$");
    EXPECT_EXIT(fr_log(LG_FTL, "Could not open %s", "x"), ::testing::ExitedWithCode(1),
                "\\[ftl\\] TestBody   Could not open x");
}

TEST_F(Log, SetLevelChoosesLevelAndSinks)
{
    fr_log_set_level(LG_WRN, 0, 0);
    auto out = capture_stderr([] { _fr_log(LG_WRN, "f", "not on stderr"); });
    EXPECT_EQ(out, "");
    fr_log_set_level(LG_WRN, 1, 0);
    out = capture_stderr([] {
        _fr_log(LG_INF, "f", "filtered");
        _fr_log(LG_WRN, "f", "shown");
    });
    EXPECT_EQ(out, "[wrn] f          shown\n");
}

TEST_F(Log, HexDumpOfEighteenBytes)
{
    log_level = LG_DMP;
    auto out = capture_stderr([] { _fr_loghex("serial", "rx serial", "0123456789ABCDEF\r\n", 18); });
    std::string l1 = "| 0000  30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46  |0123456789ABCDEF|";
    std::string l2 = "| 0010  0D 0A " + std::string(14 * 3, ' ') + " |.." + std::string(14, ' ') + "|";
    EXPECT_EQ(l1.size(), 75u);
    EXPECT_EQ(l2.size(), 75u);
    EXPECT_EQ(out, "[dmp] serial     +------- rx serial -------\n"
                   "[dmp] serial     " + l1 + "\n" +
                   "[dmp] serial     " + l2 + "\n");
}

TEST_F(Log, HexDumpEdges)
{
    log_level = LG_DMP;
    const unsigned char bytes[17] = {0x7f, 0x80, 0x1f, 0x20, 0xff, 'a', 'b', 'c', 'd',
                                     'e',  'f',  'g',  'h',  'i',  'j', 'k', 'z'};
    auto out = capture_stderr([&] {
        _fr_loghex("f", "t", bytes, 0);
        _fr_loghex("f", "t", bytes, 16);
        _fr_loghex("f", "t", bytes, 17);
    });
    std::string full = "| 0000  7F 80 1F 20 FF 61 62 63 64 65 66 67 68 69 6A 6B  |\x7f.. .abcdefghijk|";
    std::string one = "| 0010  7A " + std::string(15 * 3, ' ') + " |z" + std::string(15, ' ') + "|";
    EXPECT_EQ(out, "[dmp] f          +------- t -------\n[dmp] f          " + full + "\n" +
                       "[dmp] f          +------- t -------\n[dmp] f          " + full + "\n" +
                       "[dmp] f          " + one + "\n");

    log_level = LG_DBG;
    EXPECT_EQ(capture_stderr([&] { _fr_loghex("f", "t", bytes, 17); }), "");
}

} // namespace
