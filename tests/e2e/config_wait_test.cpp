// A missing configuration file: ferrod waits about 31 seconds for it, then gives up.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::ms;

TEST(StartupSlow, MissingConfigurationIsFatalAfter31Attempts)
{
    harness::Process p({FERROD_BIN, "-c", "/nonexistent/tarvix.conf", "-d", "/dev/null"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.wait_exit(ms(45000)), 1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(29));
    EXPECT_GE(p.wait_line("[ftl] read_confi Could not open config file /nonexistent/tarvix.conf: "
                          "No such file or directory",
                          ms(100)),
              0)
        << p.all_lines();
}

} // namespace
