// sentryctl against the simulated reset controller: output, exit statuses and the register
// file, command log and dying-gasp log the simulated board keeps.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using harness::read_file;
using harness::write_file;

const harness::ms RUN_TIMEOUT(20000);

const char USAGE[] =
    "Tarvix Resetcontroller tool\n"
    "usage: sentryctl [options]\n"
    "options:\n"
    " -b     I2C bus to use [/dev/i2c-0]\n"
    " -i     Show resetcontroller info\n"
    " -z     Zero all counters\n"
    " -d     Initiate dying gasp\n"
    " -c     Enable console mode/Disable watchdog\n"
    " -r     Reset host (soft)\n"
    " -R     Reset host (hard)\n"
    " -T     Reset tiny\n"
    " -t n   Read time from resetcontroller and write to stdout\n"
    " -t r   Read time from resetcontroller and set system clock accordingly\n"
    " -t w   Write system time to resetcontroller\n";

const char READ_FAILED[] = "i2c_smbus_read_byte_data: Input/output error\n";
const char WRITE_FAILED[] = "i2c_smbus_write_byte_data: Input/output error\n";

// A controller with every line of the information block telling its register apart.
const std::map<int, int> HEALTHY = {{1, 1},  {2, 0},  {3, 5},  {5, 0x0b}, {6, 3},
                                    {7, 1},  {8, 2},  {9, 38}, {10, 26},  {11, 3},
                                    {12, 7}, {13, 3}, {24, 4}, {25, 44}};

const std::vector<std::string> HEALTHY_INFO = {
    "Resetcontroller version:        1.5\n",
    "Board revision:                 1.2\n",
    "Board annex:                    B\n",
    "Resetcontroller status bits:    0x0b wdt_enabled console_mode wdt_active\n",
    "Watchdog resets:                3\n",
    "Brown-out resets:               1\n",
    "External resets:                4\n",
    "Power-on resets:                2\n",
    "Max time between WDT edges:     10.0 sec\n",
    "Testpoints:                     0x03\n",
    "Max temperature:                44 \xc2\xb0" "C\n",
};

// The information block with line I (0-based) replaced by each pair's text.
std::string info(const std::map<size_t, std::string> &changes = {})
{
    std::string text;
    for (size_t i = 0; i < HEALTHY_INFO.size(); i++) {
        auto c = changes.find(i);
        text += c == changes.end() ? HEALTHY_INFO[i] : c->second + "\n";
    }
    return text;
}

struct result {
    int status = -1;
    std::string out;
    std::string err;
};

struct logged {
    double stamp;
    std::string what;
};

// Lines "<seconds>.<microseconds>[ WHAT]".
std::vector<logged> parse_log(const std::string &text)
{
    std::vector<logged> entries;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        size_t space = line.find(' ');
        entries.push_back({atof(line.substr(0, space).c_str()),
                           space == std::string::npos ? "" : line.substr(space + 1)});
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return entries;
}

class Sentryctl : public ::testing::Test {
protected:
    harness::TempDir dir_;
    const std::string board_ = dir_.file("board");
    const std::string bin_ = dir_.file("bin");
    std::string tz_ = "UTC0";

    void SetUp() override
    {
        ASSERT_EQ(mkdir(bin_.c_str(), 0755), 0);
        // Stands in for the system's date: records its arguments, exits with the chosen status.
        std::string script = bin_ + "/date";
        write_file(script, "#!/bin/sh\necho \"$@\" >> '" + dir_.file("date.args") +
                               "'\nexit $(cat '" + dir_.file("date.status") + "' 2>/dev/null)\n");
        ASSERT_EQ(chmod(script.c_str(), 0755), 0);
        add_bus("i2c-0", HEALTHY);
    }

    std::string bus_dir(const std::string &bus) const { return board_ + "/i2c/" + bus; }

    void add_bus(const std::string &bus, const std::map<int, int> &regs) const
    {
        for (const std::string &d : {board_, board_ + "/i2c", bus_dir(bus), bus_dir(bus) + "/reg"})
            mkdir(d.c_str(), 0755);
        for (const auto &r : regs)
            set_reg(r.first, r.second, bus);
    }

    void set_reg(int reg, int value, const std::string &bus = "i2c-0") const
    {
        write_file(bus_dir(bus) + "/reg/" + std::to_string(reg), std::to_string(value) + "\n");
    }

    int reg(int reg, const std::string &bus = "i2c-0") const
    {
        std::string text = read_file(bus_dir(bus) + "/reg/" + std::to_string(reg));
        return text.empty() ? -1 : atoi(text.c_str());
    }

    // Makes WHAT ("read_error", "write_error") of REG, or the bus-wide fault file WHAT, fail.
    void inject(const std::string &what, int reg, const std::string &error = "EIO") const
    {
        std::string folder = bus_dir("i2c-0") + "/" + what;
        if (reg < 0) {
            write_file(folder, error + "\n");
            return;
        }
        mkdir(folder.c_str(), 0755);
        write_file(folder + "/" + std::to_string(reg), error + "\n");
    }

    std::vector<logged> commands(const std::string &bus = "i2c-0") const
    {
        return parse_log(read_file(bus_dir(bus) + "/command_log"));
    }
    std::vector<logged> gasps() const { return parse_log(read_file(board_ + "/board/gasp_log")); }
    std::string date_args() const { return read_file(dir_.file("date.args")); }

    result run(const std::vector<std::string> &args) const
    {
        std::vector<std::string> argv = {SENTRYCTL_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        const char *asan = getenv("ASAN_OPTIONS");
        std::vector<std::string> env = {
            std::string("LD_PRELOAD=") + BOARDSIM_LIB, "BOARDSIM_DIR=" + board_,
            "PATH=" + bin_ + ":/usr/bin:/bin", "TZ=" + tz_,
            // A sanitized program must accept the uninstrumented library loaded first.
            std::string("ASAN_OPTIONS=") + (asan != nullptr && *asan != '\0' ? asan : "") +
                (asan != nullptr && *asan != '\0' ? ":" : "") + "verify_asan_link_order=0"};
        harness::Process p(argv, env, true, {dir_.path, false, {"LD_PRELOAD", "BOARDSIM_DIR"}});
        result r;
        r.status = p.wait_exit(RUN_TIMEOUT);
        EXPECT_GE(r.status, 0) << "sentryctl did not end";
        r.out = p.out();
        // Under emulation the host's shell that runs date cannot load the target's library and
        // says so; that line is the emulator's business, not the tool's.
        for (const std::string &line : p.lines())
            if (line.find("from LD_PRELOAD cannot be preloaded") == std::string::npos)
                r.err += line + "\n";
        return r;
    }
};

TEST_F(Sentryctl, UsageAndExitStatuses)
{
    result none = run({});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, USAGE);

    result help = run({"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, USAGE);
    EXPECT_EQ(help.err, "");

    result unknown = run({"-x"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, USAGE);

    result bad_t = run({"-t", "q"});
    EXPECT_EQ(bad_t.status, 1);
    EXPECT_EQ(bad_t.err, "Illegal option to -t\n");
    EXPECT_EQ(bad_t.out, USAGE);

    result word = run({"foo"});
    EXPECT_EQ(word.status, 0);
    EXPECT_EQ(word.out + word.err, "");
    // The bus was set up as the controller expects, and no byte was written.
    EXPECT_EQ(read_file(bus_dir("i2c-0") + "/retries"), "2\n");
    EXPECT_EQ(read_file(bus_dir("i2c-0") + "/timeout"), "4\n");
    EXPECT_TRUE(commands().empty());
}

TEST_F(Sentryctl, BusFailuresExitWith255)
{
    result other_missing = run({"-i", "-b", "/dev/i2c-1", "-i"});
    EXPECT_EQ(other_missing.status, 255);
    EXPECT_EQ(other_missing.out, info()); // the first -i ran on the default bus
    EXPECT_EQ(other_missing.err, "Can't open /dev/i2c-1: No such file or directory\n");

    inject("address_error", -1, "EBUSY");
    result refused = run({"-i"});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "Could not set I2C address: Device or resource busy\n");

    inject("open_error", -1, "EACCES");
    result denied = run({"-h"});
    EXPECT_EQ(denied.status, 255);
    EXPECT_EQ(denied.err, "Can't open /dev/i2c-0: Permission denied\n");

    // The default bus is opened first even when -b names one that works.
    add_bus("i2c-1", HEALTHY);
    ASSERT_EQ(rename(bus_dir("i2c-0").c_str(), dir_.file("gone").c_str()), 0);
    result missing = run({"-b", "/dev/i2c-1", "-i"});
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Can't open /dev/i2c-0: No such file or directory\n");
}

TEST_F(Sentryctl, InformationBlockOfAHealthyController)
{
    result r = run({"-i"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, info());
    EXPECT_EQ(r.err, "");

    for (const auto &c : {std::make_pair(0x00, 0), std::make_pair(0x0e, 255)}) {
        set_reg(13, c.first);
        set_reg(9, c.second);
        char testpoints[64];
        snprintf(testpoints, sizeof testpoints, "Testpoints:                     0x%02x", c.first);
        EXPECT_EQ(run({"-i"}).out,
                  info({{1, std::string("Board revision:                 ") +
                                (c.first == 0 ? "1.0" : "1.x")},
                        {2, "Board annex:                    A"},
                        {8, std::string("Max time between WDT edges:     ") +
                                (c.second == 0 ? "0.0" : "66.9") + " sec"},
                        {9, testpoints}}));
    }
}

TEST_F(Sentryctl, FailedReadsShowMinusOneAndPreVersion)
{
    struct {
        int reg;
        const char *error;
        std::map<size_t, std::string> lines;
        int reports;
    } cases[] = {
        {1, "EIO", {{0, "Resetcontroller version:        pre-1.0"}}, 1},
        // libi2c answers -ETIMEDOUT here; the value shown is still -1.
        {2, "ETIMEDOUT", {{0, "Resetcontroller version:        pre-1.0"}}, 1},
        {3, "EIO", {{0, "Resetcontroller version:        pre-1.0"}}, 1},
        {13, "EIO",
         {{1, "Board revision:                 "},
          {2, "Board annex:                    ?"},
          {9, "Testpoints:                     0xffffffff"}},
         3},
        {5, "EIO",
         {{3, "Resetcontroller status bits:    0xffffffff wdt_enabled console_mode wdt_active"}},
         1},
        {9, "ETIMEDOUT", {{8, "Max time between WDT edges:     -0.3 sec"}}, 1},
        {25, "EIO", {{10, "Max temperature:                -1 \xc2\xb0" "C"}}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("register " + std::to_string(c.reg));
        inject("read_error", c.reg, c.error);
        result r = run({"-i"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, info(c.lines));
        std::string report = std::string("i2c_smbus_read_byte_data: ") +
                             (c.error == std::string("EIO") ? "Input/output error\n"
                                                            : "Connection timed out\n");
        std::string reports;
        for (int i = 0; i < c.reports; i++)
            reports += report;
        EXPECT_EQ(r.err, reports);
        inject("read_error", c.reg, "0");
    }
}

TEST_F(Sentryctl, CommandsWriteTheirBytesAfterTheDyingGasp)
{
    result r = run({"-z", "-c", "-r", "-R", "-T", "-m", "300"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    std::vector<logged> sent = commands();
    std::vector<logged> gasped = gasps();
    ASSERT_EQ(sent.size(), 5u);
    ASSERT_EQ(gasped.size(), 3u);
    const char *bytes[] = {"0x35", "0x36", "0x30", "0x31", "0x32"};
    for (size_t i = 0; i < sent.size(); i++)
        EXPECT_EQ(sent[i].what, bytes[i]) << i;
    for (size_t i = 0; i < gasped.size(); i++) {
        EXPECT_GE(gasped[i].stamp, sent[i + 1].stamp) << "gasp " << i << " before its command";
        EXPECT_GE(sent[i + 2].stamp - gasped[i].stamp, 0.2) << "reset " << i << " too early";
    }
    // The simulated controller acted on them: counters cleared, console mode, watchdog off.
    for (int counter : {6, 7, 8, 24})
        EXPECT_EQ(reg(counter), 0) << counter;
    EXPECT_EQ(reg(5), 0x02);
    EXPECT_EQ(reg(25), 44);

    EXPECT_EQ(run({"-d"}).status, 0);
    EXPECT_EQ(gasps().size(), 4u);
    EXPECT_EQ(commands().size(), 5u);
    EXPECT_EQ(run({"-m", "-1"}).status, 0);
    EXPECT_EQ(reg(25), 255);
}

TEST_F(Sentryctl, OptionsRunInOrderOnTheCurrentBus)
{
    std::map<int, int> second = HEALTHY;
    second[1] = 2;
    add_bus("i2c-1", second);
    result two = run({"-i", "-b", "/dev/i2c-1", "-i", "-c"});
    EXPECT_EQ(two.status, 0);
    EXPECT_EQ(two.out, info() + info({{0, "Resetcontroller version:        2.5"}}));
    EXPECT_EQ(commands("i2c-1").size(), 1u);
    EXPECT_TRUE(commands("i2c-0").empty());

    result r = run({"-i", "-z", "-i"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, info() + info({{4, "Watchdog resets:                0"},
                                    {5, "Brown-out resets:               0"},
                                    {6, "External resets:                0"},
                                    {7, "Power-on resets:                0"}}));
}

TEST_F(Sentryctl, AFailedWriteEndsTheRun)
{
    inject("write_error", 0);
    for (const char *option : {"-z", "-c", "-r", "-R", "-T"}) {
        result r = run({option, "-i"});
        EXPECT_EQ(r.status, 1) << option;
        EXPECT_EQ(r.out, "") << option;
        EXPECT_EQ(r.err, WRITE_FAILED) << option;
    }
    EXPECT_EQ(gasps().size(), 3u); // announced, but the reset byte was refused
    EXPECT_TRUE(commands().empty());

    inject("write_error", 25);
    result m = run({"-m", "7", "-t", "n"});
    EXPECT_EQ(m.status, 1);
    EXPECT_EQ(m.out + m.err, WRITE_FAILED);

    inject("write_error", 11);
    set_reg(10, 0);
    write_file(board_ + "/clock", "1772827200\n"); // 2026-03-06
    result w = run({"-t", "w", "-t", "n"});
    EXPECT_EQ(w.status, 1);
    EXPECT_EQ(w.out + w.err, WRITE_FAILED);
    EXPECT_EQ(reg(10), 26); // the year went in before the month was refused
    EXPECT_EQ(reg(12), 7);
}

TEST_F(Sentryctl, ReadingTheDate)
{
    result n = run({"-t", "n"});
    EXPECT_EQ(n.status, 0);
    EXPECT_EQ(n.out, "2026-03-07\n");

    result r = run({"-t", "r"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Running command 'date 030700002026'\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(date_args(), "030700002026\n");

    write_file(dir_.file("date.status"), "3\n");
    result refused = run({"-t", "r", "-i"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "Running command 'date 030700002026'\n");
    EXPECT_EQ(refused.err, "Error setting system date\n");

    // No date, an unreadable one or an impossible one: nothing printed, date not run.
    unlink(dir_.file("date.args").c_str());
    struct {
        int year, month, day;
        int failing; // register whose read fails, or -1
        std::string err;
    } cases[] = {
        {26, 0, 7, -1, "Date not initialized in resetcontroller\n"},
        {26, 3, 7, 12, READ_FAILED},
        {26, 2, 30, -1, "Invalid date in resetcontroller (year 26, month 2, day 30)\n"},
        {26, 13, 1, -1, "Invalid date in resetcontroller (year 26, month 13, day 1)\n"},
        {226, 1, 1, -1, "Invalid date in resetcontroller (year 226, month 1, day 1)\n"},
    };
    for (const auto &c : cases) {
        set_reg(10, c.year);
        set_reg(11, c.month);
        set_reg(12, c.day);
        if (c.failing >= 0)
            inject("read_error", c.failing);
        for (const char *how : {"n", "r"}) {
            result bad = run({"-t", how});
            EXPECT_EQ(bad.status, 1) << how << " " << c.err;
            EXPECT_EQ(bad.out, "") << how;
            EXPECT_EQ(bad.err, c.err) << how;
        }
        if (c.failing >= 0)
            inject("read_error", c.failing, "0");
    }
    EXPECT_EQ(date_args(), "");
}

TEST_F(Sentryctl, WritingTheLocalDate)
{
    // 2026-03-06 20:00 UTC is already March 7 ten hours east.
    write_file(board_ + "/clock", "1772827200\n");
    tz_ = "XYZ-10";
    EXPECT_EQ(run({"-t", "w"}).status, 0);
    EXPECT_EQ(reg(10), 26);
    EXPECT_EQ(reg(11), 3);
    EXPECT_EQ(reg(12), 7);

    // The year register holds 2000 to 2255, in local time: 1999-12-31 20:00 UTC is already
    // 2000 ten hours east, and 2255-12-31 is the last day.
    write_file(board_ + "/clock", "946670400\n");
    EXPECT_EQ(run({"-t", "w"}).status, 0);
    EXPECT_EQ(reg(10), 0);
    EXPECT_EQ(reg(11), 1);
    EXPECT_EQ(reg(12), 1);
    // A 32-bit clock ends in 2038.
    const bool wide_clock = sizeof(time_t) >= 8;
    if (wide_clock) {
        write_file(board_ + "/clock", "9025200000\n"); // 2255-12-31 08:00 UTC
        EXPECT_EQ(run({"-t", "w"}).status, 0);
        EXPECT_EQ(reg(10), 255);
        EXPECT_EQ(reg(11), 12);
        EXPECT_EQ(reg(12), 31);
    }
    // Outside them: refused, nothing written.
    tz_ = "UTC0";
    set_reg(10, 26);
    set_reg(11, 3);
    set_reg(12, 7);
    struct {
        const char *clock, *date;
    } outside[] = {{"946684799", "1999-12-31"}, {"9025257600", "2256-01-01"}};
    for (const auto &c : outside) {
        if (c.date[0] == '2' && !wide_clock)
            continue;
        write_file(board_ + "/clock", std::string(c.clock) + "\n");
        result r = run({"-t", "w", "-i"});
        EXPECT_EQ(r.status, 1) << c.date;
        EXPECT_EQ(r.out, "") << c.date;
        EXPECT_EQ(r.err, std::string("System date ") + c.date +
                             " is outside the years the resetcontroller can hold (2000 to 2255)\n");
        EXPECT_EQ(reg(10), 26);
        EXPECT_EQ(reg(11), 3);
        EXPECT_EQ(reg(12), 7);
    }
    EXPECT_TRUE(commands().empty());
}

TEST_F(Sentryctl, BoardsimctlShowsAndSetsTheController)
{
    auto ctl = [this](const std::vector<std::string> &args) {
        std::vector<std::string> argv = {BOARDSIMCTL_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        harness::Process p(argv, {"BOARDSIM_DIR=" + board_}, true,
                           {dir_.path, false, {"LD_PRELOAD"}});
        result r;
        r.status = p.wait_exit(RUN_TIMEOUT);
        r.out = p.out();
        r.err = p.err();
        return r;
    };
    EXPECT_EQ(ctl({"i2c", "/dev/i2c-1"}).status, 1); // no such bus
    EXPECT_EQ(ctl({"i2c", "/dev/i2c-1", "set", "11=0", "12=256"}).status, 1);
    EXPECT_EQ(ctl({"i2c", "/dev/i2c-1", "fail", "read", "5", "EBOGUS"}).status, 1);
    EXPECT_FALSE(harness::file_exists(bus_dir("i2c-1")));
    EXPECT_EQ(ctl({"i2c", "/dev/i2c-0", "set", "11=0", "25=0x2a"}).status, 0);
    EXPECT_EQ(ctl({"i2c", "i2c-0", "get", "25"}).out, "42\n");
    EXPECT_EQ(ctl({"i2c", "/dev/i2c-0", "fail", "read", "12"}).status, 0);
    EXPECT_EQ(ctl({"i2c", "/dev/i2c-0", "fail", "address"}).status, 0);
    EXPECT_EQ(run({"-t", "n"}).err, "Could not set I2C address: Device or resource busy\n");
    EXPECT_EQ(ctl({"i2c", "/dev/i2c-0", "fail", "address", "0"}).status, 0);
    EXPECT_EQ(run({"-t", "n"}).err, READ_FAILED);
    EXPECT_EQ(run({"-z", "-d"}).status, 0);

    EXPECT_EQ(ctl({"i2c", "/dev/i2c-0"}).out,
              "registers: 1=1 2=0 3=5 5=11 6=0 7=0 8=0 9=38 10=26 11=0 12=7 13=3 24=0 25=42\n"
              "read fails: 12=EIO\n"
              "retries=2 timeout=4 commands=1\n");
    std::vector<logged> log = parse_log(ctl({"i2c", "/dev/i2c-0", "log"}).out);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].what, "0x35");
    std::vector<logged> gasp = parse_log(ctl({"gasp"}).out);
    ASSERT_EQ(gasp.size(), 1u);
    EXPECT_GE(gasp[0].stamp, log[0].stamp);
}

} // namespace
