// Event loop: watches, timers, signals, the pass order, the fault restart and the clock guard.
#include "mainloop.h"
#include "mainloop_view.h"

#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

// A replaceable clock: fixed unless `tick_usec` makes every reading move it on.
mainloop_time fake_now{1000, 0};
int32_t tick_usec;

void fake_clock(mainloop_time *now)
{
    *now = fake_now;
    fake_now.usec += tick_usec;
    while (fake_now.usec >= 1000000) {
        fake_now.usec -= 1000000;
        fake_now.sec++;
    }
}

// The due time of the INDEX-th timer, earliest first.
mainloop_time due(int index)
{
    mainloop_time t{-1, -1};
    mainloop_view_timer(index, &t);
    return t;
}

bool has_timer(int index)
{
    mainloop_time t;
    return mainloop_view_timer(index, &t) == 0;
}

std::vector<std::string> logged;

void capture_log(unsigned, const char *func, const char *fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    logged.push_back(std::string(func) + ": " + buf);
}

void stderr_log(unsigned, const char *func, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", func);
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
}

void reset_loop()
{
    mainloop_stop();
    mainloop_cleanup();
    mainloop_init();
    mainloop_set_restart_on_fault(0);
    mainloop_set_logger(capture_log);
    mainloop_set_clock(fake_clock);
    fake_now = {1000, 0};
    tick_usec = 0;
    logged.clear();
}

struct Loop : ::testing::Test {
    void SetUp() override { reset_loop(); }
    void TearDown() override
    {
        reset_loop();
        mainloop_set_clock(nullptr);
    }
};

std::vector<std::string> calls;

int record_fd(int, void *data)
{
    calls.push_back(static_cast<const char *>(data));
    return 0;
}

int record_timer(void *data)
{
    calls.push_back(static_cast<const char *>(data));
    return 0;
}

struct Pipe {
    int fd[2];
    Pipe()
    {
        EXPECT_EQ(pipe(fd), 0);
    }
    ~Pipe()
    {
        close(fd[0]);
        close(fd[1]);
    }
    void fill() const { EXPECT_EQ(write(fd[1], "x", 1), 1); }
};

TEST_F(Loop, OneLiveWatchPerDescriptor)
{
    Pipe p;
    EXPECT_EQ(mainloop_fd_add(p.fd[0], MAINLOOP_WRITE, record_fd, nullptr), 0);
    EXPECT_EQ(mainloop_fd_add(p.fd[0], MAINLOOP_READ, record_fd, nullptr), -1);
    EXPECT_EQ(mainloop_fd_del(p.fd[0], MAINLOOP_READ, record_fd, nullptr), -1) << "type must match";
    EXPECT_EQ(mainloop_fd_del(p.fd[0], MAINLOOP_WRITE, record_fd, nullptr), 0);
    // Deleted but not yet swept: the descriptor is free again at once.
    EXPECT_EQ(mainloop_fd_add(p.fd[0], MAINLOOP_READ, record_fd, nullptr), 0);

    EXPECT_EQ(mainloop_fd_add(MAINLOOP_MAX_FD, MAINLOOP_READ, record_fd, nullptr), -1);
    EXPECT_EQ(mainloop_fd_add(-1, MAINLOOP_READ, record_fd, nullptr), -1);
    EXPECT_EQ(mainloop_fd_add(p.fd[1], 3, record_fd, nullptr), -1) << "no such kind of readiness";
}

struct DeletingWatch {
    Pipe *self, *later;
};

int delete_self_and_later(int fd, void *data)
{
    auto *d = static_cast<DeletingWatch *>(data);
    calls.push_back("deleter");
    mainloop_fd_del(fd, MAINLOOP_READ, delete_self_and_later, data);
    mainloop_fd_del(d->later->fd[0], MAINLOOP_READ, record_fd, const_cast<char *>("later"));
    return 0;
}

TEST_F(Loop, CallbackDeletesItselfAndALaterWatch)
{
    Pipe first, later, added;
    DeletingWatch d{&first, &later};
    calls.clear();
    // The list runs newest first: "later" is added first so it is visited after the deleter.
    ASSERT_EQ(mainloop_fd_add(later.fd[0], MAINLOOP_READ, record_fd, const_cast<char *>("later")), 0);
    ASSERT_EQ(mainloop_fd_add(first.fd[0], MAINLOOP_READ, delete_self_and_later, &d), 0);
    first.fill();
    later.fill();
    fake_now = {2000, 0};
    ASSERT_EQ(mainloop_timer_add(1, 0, record_timer, const_cast<char *>("t")), 0); // keeps select short

    EXPECT_EQ(mainloop_poll(), 0);
    EXPECT_EQ(calls, std::vector<std::string>{"deleter"});
    EXPECT_EQ(mainloop_view_watches(), 0) << "both watches freed by the sweep";

    // The descriptors are free for new watches after the pass.
    EXPECT_EQ(mainloop_fd_add(first.fd[0], MAINLOOP_READ, record_fd, const_cast<char *>("again")), 0);
    fake_now = {2001, 1};
    calls.clear();
    EXPECT_EQ(mainloop_poll(), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"again", "t"}));
}

int add_watch_during_pass(int, void *data)
{
    auto *p = static_cast<Pipe *>(data);
    calls.push_back("adder");
    mainloop_fd_add(p->fd[0], MAINLOOP_READ, record_fd, const_cast<char *>("new"));
    return 0;
}

TEST_F(Loop, WatchAddedDuringPassWaitsForNextPass)
{
    Pipe a, b;
    a.fill();
    b.fill();
    ASSERT_EQ(mainloop_fd_add(a.fd[0], MAINLOOP_READ, add_watch_during_pass, &b), 0);
    ASSERT_EQ(mainloop_timer_add(0, 0, record_timer, const_cast<char *>("t")), 0);
    fake_now.usec = 1;
    calls.clear();
    mainloop_poll();
    EXPECT_EQ(calls, (std::vector<std::string>{"adder", "t"}));
    mainloop_fd_del(a.fd[0], MAINLOOP_READ, add_watch_during_pass, &b);
    ASSERT_EQ(mainloop_timer_add(0, 0, record_timer, const_cast<char *>("t")), 0);
    fake_now.usec = 2;
    calls.clear();
    mainloop_poll();
    EXPECT_EQ(calls, (std::vector<std::string>{"new", "t"}));
}

TEST_F(Loop, ReAddingATimerReplacesIt)
{
    calls.clear();
    ASSERT_EQ(mainloop_timer_add(1, 0, record_timer, const_cast<char *>("a")), 0);
    ASSERT_EQ(mainloop_timer_add(5, 0, record_timer, const_cast<char *>("a")), 0);
    fake_now = {1002, 0};
    mainloop_poll();
    EXPECT_TRUE(calls.empty()) << "the first due time was cancelled";
    fake_now = {1005, 1};
    mainloop_poll();
    EXPECT_EQ(calls, std::vector<std::string>{"a"});
    EXPECT_FALSE(has_timer(0));
    EXPECT_EQ(mainloop_timer_del(record_timer, const_cast<char *>("a")), -1);
}

TEST_F(Loop, EqualDueTimesRunNewestFirst)
{
    calls.clear();
    ASSERT_EQ(mainloop_timer_add(0, 500, record_timer, const_cast<char *>("old")), 0);
    ASSERT_EQ(mainloop_timer_add(0, 500, record_timer, const_cast<char *>("new")), 0);
    ASSERT_EQ(mainloop_timer_add(0, 100, record_timer, const_cast<char *>("early")), 0);
    fake_now = {1001, 0};
    mainloop_poll();
    EXPECT_EQ(calls, (std::vector<std::string>{"early", "new", "old"}));
}

TEST_F(Loop, LongAndHugeIntervalsNeitherOverflowNorWrap)
{
    ASSERT_EQ(mainloop_timer_add(0, 2500, record_timer, const_cast<char *>("a")), 0);
    EXPECT_EQ(due(0).sec, 1002);
    EXPECT_EQ(due(0).usec, 500000);
    ASSERT_EQ(mainloop_timer_add(2147483647, 999999999, record_timer, const_cast<char *>("b")), 0);
    EXPECT_EQ(due(1).sec, 2147483647) << "saturates in the far future";
    fake_now = {1003, 0};
    calls.clear();
    mainloop_poll();
    EXPECT_EQ(calls, std::vector<std::string>{"a"});
    mainloop_timer_del(record_timer, const_cast<char *>("b"));
}

TEST_F(Loop, TimerDueExactlyNowRunsInTheNextPass)
{
    calls.clear();
    ASSERT_EQ(mainloop_timer_add(0, 250, record_timer, const_cast<char *>("t")), 0);
    fake_now = {1000, 250000};
    mainloop_poll(); // select gets a zero time-out, the timer is not strictly earlier than now
    EXPECT_TRUE(calls.empty());
    fake_now.usec++;
    mainloop_poll();
    EXPECT_EQ(calls, std::vector<std::string>{"t"});
}

int periodic_count;
int periodic(void *)
{
    periodic_count++;
    return periodic_count < 3;
}

TEST_F(Loop, NonZeroResultRearmsFromTheMomentOfTheCall)
{
    periodic_count = 0;
    ASSERT_EQ(mainloop_timer_add(1, 0, periodic, nullptr), 0);
    fake_now = {1001, 500000};
    mainloop_poll();
    ASSERT_EQ(periodic_count, 1);
    ASSERT_TRUE(has_timer(0));
    EXPECT_EQ(due(0).sec, 1002);
    EXPECT_EQ(due(0).usec, 500000);
    fake_now = {1003, 0};
    mainloop_poll();
    fake_now = {1004, 1};
    mainloop_poll();
    EXPECT_EQ(periodic_count, 3);
    EXPECT_FALSE(has_timer(0)) << "a zero result ends the timer";
}

int always_again(void *) { return 1; }

TEST_F(Loop, SubSecondIntervalsAreRearmedExactly)
{
    fake_now = {1000, 500000};
    ASSERT_EQ(mainloop_timer_add(0, 500, always_again, nullptr), 0);
    ASSERT_TRUE(has_timer(0));
    EXPECT_EQ(due(0).sec, 1001) << "a whole second of microseconds carried";
    EXPECT_EQ(due(0).usec, 0);

    fake_now = {1000, 0};
    ASSERT_EQ(mainloop_timer_add(0, 250, always_again, nullptr), 0);
    fake_now = {1000, 300000};
    mainloop_poll();
    ASSERT_TRUE(has_timer(0));
    EXPECT_EQ(due(0).sec, 1000);
    EXPECT_EQ(due(0).usec, 550000);

    ASSERT_EQ(mainloop_timer_add(1, 700, always_again, nullptr), 0);
    fake_now = {1002, 400000};
    mainloop_poll();
    ASSERT_TRUE(has_timer(0));
    EXPECT_EQ(due(0).sec, 1004) << "microseconds carried into seconds";
    EXPECT_EQ(due(0).usec, 100000);
}

int delete_other_timer(void *)
{
    mainloop_timer_del(record_timer, const_cast<char *>("victim"));
    return 0;
}

TEST_F(Loop, TimerDeletedByAnEarlierTimerNeverRuns)
{
    calls.clear();
    ASSERT_EQ(mainloop_timer_add(0, 100, delete_other_timer, nullptr), 0);
    ASSERT_EQ(mainloop_timer_add(0, 200, record_timer, const_cast<char *>("victim")), 0);
    fake_now = {1001, 0};
    mainloop_poll();
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(has_timer(0));
}

int sig_count;
int on_usr1(int, void *)
{
    sig_count++;
    fake_now = {1100, 0}; // time moves on while the loop was interrupted
    return 0;
}

TEST_F(Loop, InterruptedSelectRunsSignalsThenTimers)
{
    Pipe p;
    calls.clear();
    sig_count = 0;
    ASSERT_EQ(mainloop_fd_add(p.fd[0], MAINLOOP_READ, record_fd, const_cast<char *>("fd")), 0);
    ASSERT_EQ(mainloop_signal_add(SIGUSR1, on_usr1, nullptr), 0);
    ASSERT_EQ(mainloop_timer_add(30, 0, record_timer, const_cast<char *>("t")), 0);

    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        usleep(100 * 1000);
        kill(parent, SIGUSR1);
        _exit(0);
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mainloop_poll(), 0);
    auto took = std::chrono::steady_clock::now() - start;
    waitpid(child, nullptr, 0);

    EXPECT_LT(took, std::chrono::seconds(10)) << "select must be cut short by the signal";
    EXPECT_EQ(sig_count, 1);
    EXPECT_EQ(calls, std::vector<std::string>{"t"});

    EXPECT_EQ(mainloop_signal_del(SIGUSR1, on_usr1), 0);
    struct sigaction sa;
    sigaction(SIGUSR1, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_DFL) << "last callback gone: default disposition";
}

std::chrono::steady_clock::time_point raised_at, handled_at;

int raise_usr2(void *)
{
    raised_at = std::chrono::steady_clock::now();
    raise(SIGUSR2);
    return 0;
}

int on_usr2(int, void *)
{
    handled_at = std::chrono::steady_clock::now();
    return 0;
}

// A signal that arrives after the signal step of a pass (here: from a timer callback) must not
// wait in its flag until the next timer falls due.
TEST_F(Loop, SignalAfterTheSignalStepIsHandledInTheNextPassAtOnce)
{
    mainloop_set_clock(nullptr);
    ASSERT_EQ(mainloop_signal_add(SIGUSR2, on_usr2, nullptr), 0);
    ASSERT_EQ(mainloop_timer_add(3, 0, record_timer, const_cast<char *>("far")), 0);
    for (int round = 0; round < 50; round++) {
        handled_at = {};
        ASSERT_EQ(mainloop_timer_add(0, 1, raise_usr2, nullptr), 0);
        while (handled_at == std::chrono::steady_clock::time_point{})
            ASSERT_EQ(mainloop_poll(), 0);
        ASSERT_LT(handled_at - raised_at, std::chrono::milliseconds(100)) << "round " << round;
    }
}

int self_raise_count;
int raise_self_once(int signum, void *)
{
    if (++self_raise_count == 1)
        raise(signum);
    return 0;
}

// The flag is cleared before the callback runs, so the same signal arriving during the
// callback is not lost.
TEST_F(Loop, SignalArrivingDuringItsOwnCallbackRunsItAgain)
{
    self_raise_count = 0;
    ASSERT_EQ(mainloop_signal_add(SIGUSR1, raise_self_once, nullptr), 0);
    ASSERT_EQ(mainloop_timer_add(0, 0, record_timer, const_cast<char *>("t")), 0); // no waiting
    raise(SIGUSR1);
    mainloop_poll();
    EXPECT_EQ(self_raise_count, 1);
    mainloop_poll();
    EXPECT_EQ(self_raise_count, 2);
}

// A wait for a full pipe to take data: a time-out gives 0, another signal does not end it, a
// stop signal does (-1) and keeps its flag for the loop's next pass.
TEST_F(Loop, WaitForRoomEndsOnTimeOutOrStopSignalOnly)
{
    Pipe p;
    fcntl(p.fd[1], F_SETFL, O_NONBLOCK);
    while (write(p.fd[1], "xxxxxxxx", 8) > 0) {
    }
    sig_count = 0;
    handled_at = {};
    ASSERT_EQ(mainloop_signal_add(SIGUSR1, on_usr1, nullptr), 0);
    ASSERT_EQ(mainloop_signal_add(SIGUSR2, on_usr2, nullptr), 0);
    const int stop[] = {SIGUSR1};
    mainloop_set_stop_signals(stop, 1);
    EXPECT_EQ(mainloop_wait_writable(p.fd[1], 50), 0);
    raise(SIGUSR2);
    EXPECT_EQ(mainloop_wait_writable(p.fd[1], 50), 0) << "not a stop signal";

    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        usleep(50 * 1000);
        kill(parent, SIGUSR1);
        _exit(0);
    }
    EXPECT_EQ(mainloop_wait_writable(p.fd[1], 10000), -1);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(sig_count, 0) << "no callback runs in a wait";
    EXPECT_EQ(handled_at, std::chrono::steady_clock::time_point{});
    ASSERT_EQ(mainloop_timer_add(0, 0, record_timer, const_cast<char *>("t")), 0); // no waiting
    mainloop_poll();
    EXPECT_EQ(sig_count, 1);
    EXPECT_NE(handled_at, std::chrono::steady_clock::time_point{});
    mainloop_set_stop_signals(nullptr, 0);
    mainloop_signal_del(SIGUSR1, on_usr1);
    mainloop_signal_del(SIGUSR2, on_usr2);
}

TEST_F(Loop, StopEndsPollWithoutWaitingAndCleanupWaitsForIt)
{
    ASSERT_EQ(mainloop_timer_add(100, 0, record_timer, const_cast<char *>("t")), 0);
    mainloop_cleanup(); // the loop still counts as running: nothing is freed
    ASSERT_TRUE(has_timer(0));

    mainloop_stop();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mainloop_poll(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    mainloop_cleanup();
    EXPECT_FALSE(has_timer(0));
}

TEST_F(Loop, ClockJumpOfMoreThan100SecondsIsReportedAndReread)
{
    mainloop_set_restart_on_fault(1);
    fake_now = {5000, 0};
    ASSERT_EQ(mainloop_timer_add(1, 0, record_timer, const_cast<char *>("a")), 0);
    fake_now = {5100, 0};
    ASSERT_EQ(mainloop_timer_add(1, 0, record_timer, const_cast<char *>("a")), 0);
    EXPECT_TRUE(logged.empty()) << "exactly 100 seconds is not a jump";
    fake_now = {4999, 0};
    ASSERT_EQ(mainloop_timer_add(1, 0, record_timer, const_cast<char *>("a")), 0);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "_gettimeofday: gettimeofday() seems off 101 seconds, retrying");

    mainloop_set_restart_on_fault(0); // without the guard the clock is read as it is
    fake_now = {9999, 0};
    ASSERT_EQ(mainloop_timer_add(1, 0, record_timer, const_cast<char *>("a")), 0);
    EXPECT_EQ(logged.size(), 1u);
    mainloop_timer_del(record_timer, const_cast<char *>("a"));
}

// --- Fault restart. Each scenario runs in a fresh copy of this test program, started with
// MAINLOOP_PROBE naming it; a restarted copy finds MAINLOOP_RESTARTED set and reports it.

int runaway(void *)
{
    mainloop_timer_add(0, 0, runaway, nullptr);
    return 0;
}

int quiet_timer(void *) { return 0; }

// Runs chain_left times in one pass, each run arming the next.
int chain_left;
int chain(void *)
{
    if (--chain_left > 0)
        mainloop_timer_add(0, 0, chain, nullptr);
    return 0;
}

int probe_scenario(const char *name)
{
    mainloop_set_restart_on_fault(1);
    mainloop_set_logger(stderr_log);
    mainloop_set_clock(fake_clock);
    if (strcmp(name, "runaway") == 0) {
        tick_usec = 1000; // every reading moves the clock on
        mainloop_timer_add(0, 0, runaway, nullptr);
        for (int i = 0; i < 5; i++)
            mainloop_poll();
    } else if (strncmp(name, "chain-", 6) == 0) {
        tick_usec = 1000;
        chain_left = atoi(name + 6);
        mainloop_timer_add(0, 0, chain, nullptr);
        mainloop_timer_add(60, 0, quiet_timer, nullptr);
        mainloop_poll();
    } else if (strcmp(name, "many-timers") == 0) {
        static int data[40];
        for (int &d : data)
            mainloop_timer_add(1, 0, quiet_timer, &d);
        mainloop_timer_add(60, 0, quiet_timer, nullptr);
        fake_now.sec += 2;
        mainloop_poll();
        if (has_timer(0) && !has_timer(1))
            fprintf(stdout, "all ran\n");
    } else if (strcmp(name, "empty") == 0) {
        mainloop_stop(); // no select wait if the restart is refused
        mainloop_poll();
    }
    fprintf(stdout, "carried on\n");
    return 0;
}

struct ProbeMain {
    ProbeMain()
    {
        const char *probe = getenv("MAINLOOP_PROBE");
        if (!probe)
            return;
        if (getenv("MAINLOOP_RESTARTED")) {
            printf("restarted\n");
            fflush(stdout);
            _exit(42);
        }
        setenv("MAINLOOP_RESTARTED", "1", 1);
        probe_scenario(probe);
        fflush(stdout);
        _exit(0);
    }
} probe_main;

struct ProbeResult {
    int status;
    std::string out, err;
};

ProbeResult run_probe(const char *name, int extra_args = 0, size_t arg_len = 4)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    std::vector<std::string> argv{self};
    for (int i = 0; i < extra_args; i++)
        argv.push_back(std::string(arg_len, static_cast<char>('a' + i % 26)));
    harness::Process p(argv, {std::string("MAINLOOP_PROBE=") + name});
    int status = p.wait_exit(harness::ms(10000));
    return {status, p.out(), p.all_lines()};
}

struct Restart : ::testing::Test {
    void SetUp() override
    {
        if (!harness::kernel_runs_target())
            GTEST_SKIP() << "re-executing a target binary needs the emulator registered with the kernel";
    }
};

TEST_F(Restart, RunawayTimerReexecutesTheProgram)
{
    auto r = run_probe("runaway");
    EXPECT_EQ(r.status, 42) << r.out << r.err;
    EXPECT_NE(r.err.find("bug: WRN: loop in timer handling"), std::string::npos) << r.err;
}

// The first timer was armed before the pass; the twelfth armed within it is the limit.
TEST_F(Restart, TwelfthTimerArmedInThePassIsTheLimit)
{
    auto below = run_probe("chain-12");
    EXPECT_EQ(below.status, 0) << below.err;
    EXPECT_NE(below.out.find("carried on"), std::string::npos);
    auto at = run_probe("chain-13");
    EXPECT_EQ(at.status, 42) << at.out << at.err;
}

TEST_F(Restart, FortyIndependentTimersDueTogetherAreNotARunaway)
{
    auto r = run_probe("many-timers");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "all ran\ncarried on\n");
    EXPECT_EQ(r.err.find("WRN"), std::string::npos) << r.err;
}

TEST_F(Restart, EmptyTimerListReexecutesTheProgram)
{
    auto r = run_probe("empty");
    EXPECT_EQ(r.status, 42) << r.out << r.err;
    EXPECT_NE(r.err.find("bug: WRN: mainloop_timer_list == NULL"), std::string::npos) << r.err;
}

TEST_F(Restart, CommandLineOfMoreThan32ArgumentsIsNotRestarted)
{
    auto fits = run_probe("empty", 31); // program name and 31 arguments
    EXPECT_EQ(fits.status, 42) << fits.out << fits.err;

    auto r = run_probe("empty", 32);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "carried on\n");
    EXPECT_NE(r.err.find("WRN: mainloop_timer_list == NULL"), std::string::npos);
}

TEST_F(Restart, CommandLineOfMoreThan1024BytesIsNotRestarted)
{
    auto r = run_probe("empty", 5, 250);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "carried on\n");
}

} // namespace
