// The reset controller's decoders: version text, board revision and annex, watchdog seconds and
// the date check.
#include "controller.h"

#include <gtest/gtest.h>

namespace {

TEST(Controller, VersionJoinsTheTwoMinorBytes)
{
    char text[VERSION_TEXT_SIZE];
    format_version(text, 1, 0, 5);
    EXPECT_STREQ(text, "1.5");
    format_version(text, 2, 1, 2);
    EXPECT_STREQ(text, "2.258");
    format_version(text, 255, 255, 255);
    EXPECT_STREQ(text, "255.65535");
}

TEST(Controller, RevisionAndAnnexFromTheTestPoints)
{
    struct {
        int testpoints;
        const char *revision;
        char annex;
    } cases[] = {{0x00, "1.0", 'A'}, {0x01, "1.0", 'B'}, {0x03, "1.2", 'B'}, {0x02, "1.2", 'A'},
                 {0x04, "1.x", 'A'}, {0x0e, "1.x", 'A'}, {0x0f, "1.x", 'B'}, {0xf2, "1.2", 'A'}};
    for (const auto &c : cases) {
        EXPECT_STREQ(board_revision_name(c.testpoints), c.revision) << c.testpoints;
        EXPECT_EQ(board_annex(c.testpoints), c.annex) << c.testpoints;
    }
}

TEST(Controller, WatchdogTicksInSeconds)
{
    char text[16];
    for (auto c : {std::make_pair(0, "0.0"), std::make_pair(38, "10.0"),
                   std::make_pair(255, "66.9"), std::make_pair(-1, "-0.3")}) {
        snprintf(text, sizeof text, "%.1f", wdt_edge_seconds(c.first));
        EXPECT_STREQ(text, c.second) << c.first;
    }
}

TEST(Controller, OnlyCalendarDatesOfThisCenturyAreValid)
{
    EXPECT_TRUE(date_registers_valid(26, 3, 7));
    EXPECT_TRUE(date_registers_valid(0, 1, 1));
    EXPECT_TRUE(date_registers_valid(99, 12, 31));
    EXPECT_TRUE(date_registers_valid(24, 2, 29));  // 2024 is a leap year
    EXPECT_TRUE(date_registers_valid(0, 2, 29));   // so is 2000
    EXPECT_FALSE(date_registers_valid(26, 2, 29));
    EXPECT_FALSE(date_registers_valid(26, 4, 31));
    EXPECT_FALSE(date_registers_valid(26, 13, 1));
    EXPECT_FALSE(date_registers_valid(26, 0, 1));
    EXPECT_FALSE(date_registers_valid(26, 3, 0));
    EXPECT_FALSE(date_registers_valid(100, 1, 1));
    EXPECT_FALSE(date_registers_valid(226, 1, 1));
}

} // namespace
