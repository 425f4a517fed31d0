// ferrod's command line, configuration, signals, daemonizing and restart, seen from outside.
#include <dirent.h>
#include <signal.h>

#include <fstream>

#include "ferrod_fixture.h"

namespace {

using harness::ms;

const char *const USAGE =
    "usage: %s [OPTIONS]\n\noptions:\n  -c CFGFILE    Read config from CFGFILE (/var/tarvix.conf)\n"
    "  -d DEVICE     Use primary serial device DEV (/dev/ttyS0)\n"
    "  -e DEVICE     Use secondary serial device DEV (/dev/ttyS1)\n"
    "  -l LOGLEVEL   Loglevel (3)\n  -D            Daemonize at startup\n"
    "  -h            Show help (this)\n";

TEST(Startup, HelpPrintsUsageAndExitsBeforeAnythingElse)
{
    harness::Process p({FERROD_BIN, "-c", "/nonexistent", "-h"});
    EXPECT_EQ(p.wait_exit(ms(5000)), 0);
    char expected[1024];
    snprintf(expected, sizeof expected, USAGE, FERROD_BIN);
    EXPECT_EQ(p.out(), expected);
    EXPECT_EQ(p.all_lines(), "") << "nothing logged: -h acts before start-up";
}

TEST(Startup, StartsLogsTheModeAndStopsOnSigtermAndSigint)
{
    for (int sig : {SIGTERM, SIGINT}) {
        Ferrod f;
        f.start("ferrod_mode=\"0\"\n");
        ASSERT_GE(f.wait("[dbg] main       Mainloop starting"), 0) << f.proc->all_lines();
        const auto &l = f.proc->lines();
        ASSERT_GE(l.size(), 2u);
        EXPECT_EQ(l[0], "[inf] main       Ferrod starting");
        EXPECT_GE(f.wait("[inf] main       Zevadivi disabled"), 0);
        f.proc->signal(sig);
        EXPECT_EQ(f.proc->wait_exit(ms(5000)), 0);
        EXPECT_GE(f.wait("[inf] on_sigint  Received SIGINT/SIGTERM, stopping ferrod"), 0);
        EXPECT_GE(f.wait("[dbg] main       Mainloop stopping"), 0);
    }
}

TEST(Startup, ConfigurationValuesAsLogged)
{
    Ferrod f;
    f.start("ferrod_mode=6\n"
            "ferrod_address=\"unterminated\n"
            "# ferrod_mode=\"1\"\n"
            " ferrod_mode=\"1\"\n"
            "ferrod_max_clients=\"100\"\n");
    ASSERT_GE(f.wait("Mainloop starting"), 0) << f.proc->all_lines();
    EXPECT_GE(f.wait("[dbg] handle_opt option ferrod_mode = '6'"), 0) << "unquoted value kept whole";
    EXPECT_GE(f.wait("option ferrod_address = 'unterminated'"), 0);
    EXPECT_GE(f.wait("option # ferrod_mode = '1'"), 0);
    EXPECT_GE(f.wait("option  ferrod_mode = '1'"), 0);
    for (const char *mode : {"Zevadivi disabled", "TCP server mode", "TCP client mode", "UDP"})
        EXPECT_EQ(f.proc->count(mode), 0) << "mode 6 logs no mode line";
    // The serial side and statistics still run in mode 6.
    EXPECT_GE(f.wait("DCD state changed: -1 -> 0", 3000), 0);
    EXPECT_TRUE(harness::eventually([&] { return f.stats().find("num_clients=0") != std::string::npos; },
                                    ms(3000)));
}

TEST(Startup, UnopenableSerialPortIsFatal)
{
    Ferrod f;
    f.start("", {"-d", "/nonexistent/x"});
    EXPECT_EQ(f.proc->wait_exit(ms(5000)), 1);
    EXPECT_GE(f.wait("[ftl] serial_ini Could not open serial port: No such file or directory"), 0)
        << f.proc->all_lines();
}

TEST(Startup, PortOutsideOneTo65535IsFatalInTheModesThatUseOne)
{
    for (const auto &bad : {std::pair<const char *, const char *>{"1", "65536"}, {"3", "0"}, {"2", "-1"}}) {
        Ferrod f;
        f.start(std::string("ferrod_mode=\"") + bad.first + "\"\nferrod_address=\"127.0.0.1\"\n"
                "ferrod_port=\"" + bad.second + "\"\n");
        EXPECT_EQ(f.proc->wait_exit(ms(5000)), 1) << f.proc->all_lines();
        EXPECT_GE(f.wait(std::string("[ftl] main       ferrod_port=\"") + bad.second +
                         "\" out of range (1 to 65535)"), 0) << f.proc->all_lines();
    }
    // Both ends are ports (the TCP client binds nothing); mode 0 uses no port at all.
    for (const char *edge : {"1", "65535"}) {
        Ferrod f;
        f.start(std::string("ferrod_mode=\"2\"\nferrod_address=\"127.0.0.1\"\nferrod_port=\"") + edge + "\"\n");
        EXPECT_GE(f.wait(std::string("TCP client connecting to server 127.0.0.1:") + edge), 0) << f.proc->all_lines();
        EXPECT_GE(f.wait("Mainloop starting"), 0);
    }
    Ferrod idle;
    idle.start("ferrod_mode=\"0\"\nferrod_port=\"65536\"\n");
    EXPECT_GE(idle.wait("Mainloop starting"), 0) << idle.proc->all_lines();
}

TEST(Startup, Sigusr1StopsStandardErrorOutput)
{
    Ferrod f;
    f.start("ferrod_mode=\"0\"\n");
    ASSERT_GE(f.wait("Mainloop starting"), 0);
    f.proc->signal(SIGUSR1);
    // Its own line still reaches standard error: the level changes after it is written.
    ASSERT_GE(f.wait("[inf] on_sigusr1 Received SIGUSR1, setting loglevel to LG_DMP"), 0);
    size_t seen = f.proc->line_count();
    f.proc->signal(SIGHUP);
    f.pty.write("data");
    f.proc->signal(SIGTERM);
    EXPECT_EQ(f.proc->wait_exit(ms(5000)), 0);
    EXPECT_EQ(f.proc->line_count(), seen) << f.proc->all_lines();
}

// Signals whose default action ends a process, sent while the daemon still awaits its
// configuration file: held until the loop runs, then handled.
TEST(Startup, SignalsDuringStartUpWaitForTheLoop)
{
    Ferrod f;
    std::string later = f.dir.file("later.conf");
    f.start("", {"-c", later});
    ASSERT_GE(f.wait("Ferrod starting"), 0) << f.proc->all_lines();
    for (int sig : {SIGHUP, SIGUSR1, SIGUSR2})
        f.proc->signal(sig);
    harness::write_file(later, "ferrod_mode=\"0\"\nferrod_do_leds=\"0\"\n");
    // SIGUSR2's callback runs first (the newest) and turns standard error off after its line.
    EXPECT_GE(f.wait("[inf] on_sigusr2 Received SIGUSR2, setting loglevel to LG_INF"), 0)
        << f.proc->all_lines();
    EXPECT_TRUE(f.proc->running());
    f.proc->signal(SIGTERM);
    EXPECT_EQ(f.proc->wait_exit(ms(5000)), 0);
}

TEST(Startup, SigquitReexecutesWithTheSameCommandLine)
{
    if (!harness::kernel_runs_target())
        GTEST_SKIP() << "re-executing a target binary needs the emulator registered with the kernel";
    Ferrod f;
    f.start_server();
    int c = f.connect_client(1);
    f.proc->signal(SIGQUIT);
    f.proc->signal(SIGHUP); // while the new image starts: held for it, not its end
    EXPECT_GE(f.wait("[wrn] bug        WRN: received SIGQUIT"), 0) << f.proc->all_lines();
    EXPECT_GE(f.wait("Received SIGHUP, resetting statistics"), 0) << f.proc->all_lines();
    EXPECT_TRUE(harness::wait_closed(c, ms(5000))) << "the old client socket is not inherited";
    close(c);
    ASSERT_TRUE(harness::eventually([&] { return f.proc->count("Ferrod starting") == 2; }, ms(5000)))
        << f.proc->all_lines();
    // The new image listens on the same port again and serves clients.
    int second = f.proc->wait_line("TCP server listening on port", ms(5000),
                                   static_cast<size_t>(f.wait("WRN: received SIGQUIT")));
    ASSERT_GE(second, 0) << f.proc->all_lines();
    int c2 = harness::tcp_connect(f.port);
    ASSERT_GE(c2, 0);
    EXPECT_GE(f.wait("TCP client accepted 1 from 127.0.0.1", 5000, static_cast<size_t>(second)), 0);
    close(c2);
}

// The daemon's pid: the process whose command line names our configuration.
pid_t find_daemon(const std::string &conf)
{
    DIR *d = opendir("/proc");
    pid_t found = -1;
    while (dirent *e = readdir(d)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::string cmd = harness::read_file("/proc/" + std::string(e->d_name) + "/cmdline");
        if (cmd.find(conf) != std::string::npos && cmd.find("-D") != std::string::npos)
            found = pid;
    }
    closedir(d);
    return found;
}

TEST(Startup, DaemonizeDetachesAndStopsOnSigterm)
{
    Ferrod f;
    f.start("ferrod_mode=\"0\"\n", {"-D"});
    EXPECT_EQ(f.proc->wait_exit(ms(5000)), 0) << "the parent returns at once";
    pid_t daemon = -1;
    ASSERT_TRUE(harness::eventually([&] { return (daemon = find_daemon(f.conf_path())) > 0; }, ms(5000)));
    // It runs on: the statistics file appears, then it ends on SIGTERM.
    EXPECT_TRUE(harness::eventually([&] { return harness::file_exists(f.stats_path()); }, ms(4000)));
    std::string fd0 = harness::read_file("/proc/" + std::to_string(daemon) + "/fd/0");
    char link[256] = {};
    EXPECT_GT(readlink(("/proc/" + std::to_string(daemon) + "/fd/2").c_str(), link, sizeof link - 1), 0);
    EXPECT_STREQ(link, "/dev/null") << "standard error is not left closed for reuse";
    kill(daemon, SIGTERM);
    EXPECT_TRUE(harness::eventually([&] { return kill(daemon, 0) != 0; }, ms(5000)));
    EXPECT_EQ(f.proc->all_lines(), "") << "nothing on standard error once detached";
}

// In the background the daemon runs in /, where a relative path names another file (and a
// restart reads the same command line there): it refuses one on standard error, exit 1, before
// it detaches. In the foreground relative paths work from the working folder.
TEST(Startup, DaemonizeRefusesRelativePathsBeforeDetaching)
{
    Ferrod f;
    harness::write_file(f.conf_path(), "ferrod_mode=\"0\"\nferrod_do_leds=\"0\"\n");
    harness::ProcessOptions in_dir;
    in_dir.cwd = f.dir.path;
    // A stats folder that does not exist in /: nothing is written there if the refusal fails.
    for (const auto &rel : {std::pair<const char *, const char *>{"-c", "tarvix.conf"}, {"-s", "nodir/stats"},
                            {"-d", "tty"}, {"-e", "tty2"}}) {
        harness::Process p({FERROD_BIN, "-D", "-c", f.conf_path(), "-s", f.stats_path(), "-d", f.pty.slave,
                            rel.first, rel.second}, {}, true, in_dir);
        EXPECT_EQ(p.wait_exit(ms(5000)), 1) << rel.first;
        EXPECT_EQ(p.all_lines(), std::string("[ftl] main       Option ") + rel.first + ": relative path " +
                                     rel.second + " cannot be used with -D (the daemon runs in /)\n");
        pid_t left = find_daemon(f.dir.path);
        EXPECT_EQ(left, -1) << "nothing detached";
        if (left > 0)
            kill(left, SIGKILL);
    }
    harness::Process fg({FERROD_BIN, "-c", "tarvix.conf", "-s", "stats", "-d", f.pty.slave}, {}, true, in_dir);
    EXPECT_TRUE(harness::eventually([&] { return harness::file_exists(f.stats_path()); }, ms(4000)))
        << fg.all_lines();
    fg.signal(SIGTERM);
    EXPECT_EQ(fg.wait_exit(ms(5000)), 0);
}

} // namespace
