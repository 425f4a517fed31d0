// The event loop: descriptor watches, timers and signals multiplexed with select().
#include "mainloop.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "mainloop_view.h"

namespace {

struct mainloop_fd {
    int fd;
    int type;
    mainloop_fd_cb callback;
    void *data;
    int deleted;
    mainloop_fd *prev, *next;
};

struct mainloop_timer {
    mainloop_time expires;
    mainloop_time interval;
    mainloop_timer_cb callback;
    void *data;
    int deleted;
    mainloop_timer *prev, *next;
    // Pass number in which the timer was (re-)armed; the runaway guard counts only
    // timers that fall due in the very pass that armed them.
    unsigned armed_pass;
};

struct mainloop_signal {
    int signum;
    mainloop_signal_cb callback;
    void *data;
    volatile sig_atomic_t pending; // written by the process-level handler
    int deleted;
    mainloop_signal *prev, *next;
};

mainloop_fd *mainloop_fd_list;
mainloop_timer *mainloop_timer_list;
mainloop_signal *mainloop_signal_list;
int mainloop_running = 1;

constexpr unsigned LOG_WRN = 2;
constexpr int32_t USEC_PER_SEC = 1000000;
constexpr int CLOCK_JUMP_LIMIT = 100;
constexpr int RESTART_CMDLINE_MAX = 1024;
constexpr int RESTART_ARGS_MAX = 32;
constexpr int RESTART_CLOSE_FROM = 3;
constexpr int RESTART_CLOSE_TO = 63;

int restart_on_fault;
mainloop_log_fn loop_log;
unsigned pass_number;

sigset_t stop_signals = [] {
    sigset_t none;
    sigemptyset(&none);
    return none;
}();

// The select() sets of the live watches, kept up to date by add and delete, so that a pass
// copies them instead of rebuilding them from the list.
fd_set watch_sets[3];
int watch_maxfd = -1;
bool watch_maxfd_stale;

// Whether anything was marked deleted since the last sweep of each list.
bool fds_deleted, timers_deleted, signals_deleted;

// Timer records are reused: re-arming the flush or inactivity timer on every read or send
// then costs no allocation.
constexpr int TIMER_SPARES_MAX = 64;
mainloop_timer *timer_spares;
int timer_spare_count;

mainloop_timer *timer_alloc()
{
    mainloop_timer *t = timer_spares;
    if (!t)
        return new (std::nothrow) mainloop_timer{};
    timer_spares = t->next;
    timer_spare_count--;
    *t = mainloop_timer{};
    return t;
}

void timer_free(mainloop_timer *t)
{
    if (timer_spare_count >= TIMER_SPARES_MAX) {
        delete t;
        return;
    }
    t->next = timer_spares;
    timer_spares = t;
    timer_spare_count++;
}

void monotonic_clock(mainloop_time *now)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    now->sec = static_cast<int32_t>(ts.tv_sec);
    now->usec = static_cast<int32_t>(ts.tv_nsec / 1000);
}

mainloop_clock_fn read_clock = monotonic_clock;

// With fault restart on, every reading is checked against the previous one: a jump of more
// than CLOCK_JUMP_LIMIT seconds either way is reported and the clock is read once more.
void _gettimeofday(mainloop_time *now)
{
    static int32_t last_sec;

    read_clock(now);
    if (last_sec != 0) {
        int64_t diff = int64_t{now->sec} - last_sec;
        if (diff < 0)
            diff = -diff;
        if (diff > CLOCK_JUMP_LIMIT) {
            if (loop_log)
                loop_log(LOG_WRN, "_gettimeofday", "gettimeofday() seems off %d seconds, retrying",
                         static_cast<int>(diff > INT32_MAX ? INT32_MAX : diff));
            read_clock(now);
        }
    }
    last_sec = now->sec;
}

void loop_now(mainloop_time *now)
{
    if (restart_on_fault)
        _gettimeofday(now);
    else
        read_clock(now);
}

bool earlier(const mainloop_time &a, const mainloop_time &b)
{
    return a.sec < b.sec || (a.sec == b.sec && a.usec < b.usec);
}

// a + b, both normalised; saturates instead of overflowing.
mainloop_time time_add(const mainloop_time &a, const mainloop_time &b)
{
    int64_t sec = int64_t{a.sec} + b.sec;
    int64_t usec = int64_t{a.usec} + b.usec;
    if (usec >= USEC_PER_SEC) {
        sec += 1;
        usec -= USEC_PER_SEC;
    }
    if (sec > INT32_MAX)
        return {INT32_MAX, USEC_PER_SEC - 1};
    if (sec < INT32_MIN)
        return {INT32_MIN, 0};
    return {static_cast<int32_t>(sec), static_cast<int32_t>(usec)};
}

// The wake-up pipe: the signal handler writes a byte after setting a pending flag, and the
// loop watches the read end, so a signal that arrives after the signal step of a pass and
// before select() starts waiting still ends that wait at once.
int wake_pipe[2] = {-1, -1};

void wake_pipe_open()
{
    if (wake_pipe[0] >= 0)
        return;
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    if (p[0] >= MAINLOOP_MAX_FD) {
        close(p[0]);
        close(p[1]);
        return;
    }
    wake_pipe[1] = p[1];
    std::atomic_signal_fence(std::memory_order_release);
    wake_pipe[0] = p[0];
}

void wake_pipe_drain()
{
    char buf[64];
    while (read(wake_pipe[0], buf, sizeof buf) > 0) {
    }
}

void mainloop_signal_handler(int signum)
{
    int saved = errno;
    for (mainloop_signal *s = mainloop_signal_list; s; s = s->next)
        if (s->signum == signum)
            s->pending = 1;
    // A full pipe already holds a wake-up; the write may fail harmlessly.
    if (wake_pipe[1] >= 0) {
        char byte = 0;
        ssize_t ignored = write(wake_pipe[1], &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

int on_sigquit(int, void *)
{
    if (restart_on_fault)
        mainloop_restart("received SIGQUIT");
    return 0;
}

// True when the loop is to end: it was stopped, or a stop signal waits for its callback.
bool stop_pending()
{
    if (!mainloop_running)
        return true;
    for (mainloop_signal *s = mainloop_signal_list; s; s = s->next)
        if (s->pending && !s->deleted && sigismember(&stop_signals, s->signum) == 1)
            return true;
    return false;
}

// Every signal the loop has a callback for.
sigset_t handled_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (mainloop_signal *s = mainloop_signal_list; s; s = s->next)
        sigaddset(&set, s->signum);
    return set;
}

// The time from now until DEADLINE on the monotonic clock; false when it has passed.
bool time_left(const timespec &deadline, timespec *left)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    left->tv_sec = deadline.tv_sec - now.tv_sec;
    left->tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (left->tv_nsec < 0) {
        left->tv_sec--;
        left->tv_nsec += 1000000000L;
    }
    return left->tv_sec > 0 || (left->tv_sec == 0 && left->tv_nsec > 0);
}

template <typename T> void unlink_node(T *&head, T *node)
{
    if (node->prev)
        node->prev->next = node->next;
    else
        head = node->next;
    if (node->next)
        node->next->prev = node->prev;
}

void release(mainloop_fd *w) { delete w; }
void release(mainloop_signal *s) { delete s; }
void release(mainloop_timer *t) { timer_free(t); }

template <typename T> void sweep(T *&head)
{
    T *next;
    for (T *n = head; n; n = next) {
        next = n->next;
        if (n->deleted) {
            unlink_node(head, n);
            release(n);
        }
    }
}

template <typename T> void free_all(T *&head)
{
    T *next;
    for (T *n = head; n; n = next) {
        next = n->next;
        delete n;
    }
    head = nullptr;
}

// The process-level handler walks the signal list, so entries are freed with signals held.
template <typename F> void with_signals_blocked(F f)
{
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    f();
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

} // namespace

void mainloop_set_restart_on_fault(int on) { restart_on_fault = on; }
void mainloop_set_logger(mainloop_log_fn log) { loop_log = log; }
void mainloop_set_clock(mainloop_clock_fn clock) { read_clock = clock ? clock : monotonic_clock; }

int mainloop_fd_add(int fd, int type, mainloop_fd_cb callback, void *data)
{
    if (fd < 0 || fd >= MAINLOOP_MAX_FD || type < MAINLOOP_READ || type > MAINLOOP_EXCEPT)
        return -1;
    for (mainloop_fd *w = mainloop_fd_list; w; w = w->next)
        if (w->fd == fd && !w->deleted)
            return -1;

    auto *w = new (std::nothrow) mainloop_fd{};
    if (!w)
        return -1;
    w->fd = fd;
    w->type = type;
    w->callback = callback;
    w->data = data;
    w->next = mainloop_fd_list;
    if (mainloop_fd_list)
        mainloop_fd_list->prev = w;
    mainloop_fd_list = w;
    FD_SET(fd, &watch_sets[type]);
    if (fd > watch_maxfd)
        watch_maxfd = fd;
    return 0;
}

int mainloop_fd_del(int fd, int type, mainloop_fd_cb callback, void *data)
{
    int found = -1;
    for (mainloop_fd *w = mainloop_fd_list; w; w = w->next) {
        if (w->fd == fd && w->type == type && w->callback == callback && w->data == data) {
            // Only a live watch owns the bit: an older, deleted one may share fd and type.
            if (!w->deleted) {
                FD_CLR(fd, &watch_sets[type]);
                watch_maxfd_stale |= fd == watch_maxfd;
                fds_deleted = true;
            }
            w->deleted = 1;
            found = 0;
        }
    }
    return found;
}

int mainloop_timer_del(mainloop_timer_cb callback, void *data)
{
    int found = -1;
    for (mainloop_timer *t = mainloop_timer_list; t; t = t->next) {
        if (t->callback == callback && t->data == data) {
            t->deleted = 1;
            timers_deleted = true;
            found = 0;
        }
    }
    return found;
}

int mainloop_timer_add(int seconds, int milliseconds, mainloop_timer_cb callback, void *data)
{
    mainloop_timer_del(callback, data);

    mainloop_time now;
    loop_now(&now);

    mainloop_timer *t = timer_alloc();
    if (!t)
        return -1;
    // Milliseconds of a second or more are carried into the seconds, without overflow (and
    // without 64-bit division, which a 32-bit target would pull in from its runtime).
    int32_t ms = milliseconds % 1000;
    int64_t sec = int64_t{seconds} + milliseconds / 1000;
    if (ms < 0) {
        ms += 1000;
        sec -= 1;
    }
    int32_t usec = ms * 1000;
    sec = sec > INT32_MAX ? INT32_MAX : sec < INT32_MIN ? INT32_MIN : sec;
    t->interval = {static_cast<int32_t>(sec), static_cast<int32_t>(usec)};
    t->expires = time_add(now, t->interval);
    t->callback = callback;
    t->data = data;
    t->armed_pass = pass_number;

    // Sorted by expiry; a new timer goes in front of others due at the same moment.
    mainloop_timer *prev = nullptr, *cur = mainloop_timer_list;
    while (cur && earlier(cur->expires, t->expires)) {
        prev = cur;
        cur = cur->next;
    }
    t->prev = prev;
    t->next = cur;
    if (cur)
        cur->prev = t;
    if (prev)
        prev->next = t;
    else
        mainloop_timer_list = t;
    return 0;
}

int mainloop_signal_add(int signum, mainloop_signal_cb callback, void *data)
{
    auto *s = new (std::nothrow) mainloop_signal{};
    if (!s)
        return -1;
    s->signum = signum;
    s->callback = callback;
    s->data = data;
    s->next = mainloop_signal_list;
    if (mainloop_signal_list)
        mainloop_signal_list->prev = s;
    // Fully linked before the handler can see it.
    std::atomic_signal_fence(std::memory_order_release);
    mainloop_signal_list = s;
    wake_pipe_open();

    // Restarting semantics like signal(): a blocking write is not cut short by a signal.
    struct sigaction sa{};
    sa.sa_handler = mainloop_signal_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signum, &sa, nullptr);
    return 0;
}

int mainloop_signal_del(int signum, mainloop_signal_cb callback)
{
    int found = -1, others = 0;
    for (mainloop_signal *s = mainloop_signal_list; s; s = s->next) {
        if (s->signum != signum)
            continue;
        if (s->callback == callback) {
            s->deleted = 1;
            signals_deleted = true;
            found = 0;
        } else {
            others++;
        }
    }
    if (others == 0)
        signal(signum, SIG_DFL);
    return found;
}

void mainloop_init() { mainloop_running = 1; }

void mainloop_stop() { mainloop_running = 0; }

void mainloop_set_stop_signals(const int *signums, int count)
{
    sigemptyset(&stop_signals);
    for (int i = 0; i < count; i++)
        sigaddset(&stop_signals, signums[i]);
}

int mainloop_wait_writable(int fd, int timeout_ms)
{
    if (fd < 0 || fd >= MAINLOOP_MAX_FD)
        return 1;
    timespec deadline{};
    if (timeout_ms >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeout_ms / 1000;
        deadline.tv_nsec += (timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    // The stop signals are held while the flags are checked and let through only inside
    // pselect(), so one that comes at any moment either is seen by the check or ends the wait.
    sigset_t old;
    sigprocmask(SIG_BLOCK, &stop_signals, &old);
    int result;
    for (;;) {
        if (stop_pending()) {
            result = -1;
            break;
        }
        timespec left{}, *limit = nullptr;
        if (timeout_ms >= 0) {
            if (!time_left(deadline, &left)) {
                result = 0;
                break;
            }
            limit = &left;
        }
        fd_set w;
        FD_ZERO(&w);
        FD_SET(fd, &w);
        int r = pselect(fd + 1, nullptr, &w, nullptr, limit, &old);
        if (r > 0 || (r < 0 && errno != EINTR)) {
            result = 1;
            break;
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return result;
}

namespace {

// The largest live watched descriptor, found again after the largest one was deleted.
int live_maxfd()
{
    if (watch_maxfd_stale) {
        watch_maxfd = -1;
        for (mainloop_fd *w = mainloop_fd_list; w; w = w->next)
            if (!w->deleted && w->fd > watch_maxfd)
                watch_maxfd = w->fd;
        watch_maxfd_stale = false;
    }
    return watch_maxfd;
}

// The sets of the live watches and the wake-up pipe; returns the largest descriptor.
int prepare_sets(fd_set sets[3])
{
    memcpy(sets, watch_sets, sizeof watch_sets);
    int maxfd = std::max(live_maxfd(), 0);
    if (wake_pipe[0] >= 0) {
        FD_SET(wake_pipe[0], &sets[MAINLOOP_READ]);
        maxfd = std::max(maxfd, wake_pipe[0]);
    }
    return maxfd;
}

// How long select() may wait: until the first timer is due, at once when it is overdue.
timeval wait_time()
{
    timeval timeout{};
    if (!mainloop_timer_list) {
        if (restart_on_fault)
            mainloop_restart("mainloop_timer_list == NULL");
        timeout.tv_sec = 10000;
        return timeout;
    }
    mainloop_time now;
    loop_now(&now);
    const mainloop_time &due = mainloop_timer_list->expires;
    if (earlier(due, now))
        return timeout;
    int64_t sec = int64_t{due.sec} - now.sec;
    int64_t usec = int64_t{due.usec} - now.usec;
    if (usec < 0) {
        sec -= 1;
        usec += USEC_PER_SEC;
    }
    timeout.tv_sec = static_cast<time_t>(sec);
    timeout.tv_usec = static_cast<suseconds_t>(usec);
    return timeout;
}

// Whether signals may be pending. A signal shows as the wake-up pipe (taken out of the ready
// count) or an interrupted wait; without the pipe the flags are looked at in every pass.
bool take_wakeup(int ready, const fd_set sets[3], int *descriptors)
{
    *descriptors = std::max(ready, 0);
    if (wake_pipe[0] < 0 || ready < 0)
        return true;
    if (ready > 0 && FD_ISSET(wake_pipe[0], &sets[MAINLOOP_READ])) {
        (*descriptors)--;
        return true;
    }
    return false;
}

void run_descriptors(const fd_set sets[3], int ready)
{
    // Watches added by callbacks land at the head, in front of this walk. Each ready
    // descriptor belongs to one live watch, so the walk ends with the last of them.
    mainloop_fd *next;
    for (mainloop_fd *w = mainloop_fd_list; w && ready > 0; w = next) {
        next = w->next;
        if (!w->deleted && FD_ISSET(w->fd, &sets[w->type])) {
            ready--;
            if (w->callback)
                w->callback(w->fd, w->data);
        }
    }
}

void run_signals()
{
    // Drained before the flags are read: a signal that comes later leaves a byte behind and
    // wakes the next select() at once.
    if (wake_pipe[0] >= 0)
        wake_pipe_drain();
    mainloop_signal *next;
    for (mainloop_signal *s = mainloop_signal_list; s; s = next) {
        next = s->next;
        if (s->pending) {
            s->pending = 0;
            s->callback(s->signum, s->data);
        }
    }
}

// Runs every timer due by now, re-reading the clock after each, so that timers that fell due
// while callbacks ran are taken in the same pass. A timer armed in this pass that runs in it
// counts towards the runaway limit.
void run_timers()
{
    int runaway = 0;
    mainloop_time now;
    loop_now(&now);
    while (mainloop_timer_list && earlier(mainloop_timer_list->expires, now)) {
        mainloop_timer *t = mainloop_timer_list;
        int again = 0;
        if (!t->deleted) {
            if (t->armed_pass == pass_number)
                runaway++;
            again = t->callback(t->data);
        }
        if (again)
            mainloop_timer_add(t->interval.sec, t->interval.usec / 1000, t->callback, t->data);
        unlink_node(mainloop_timer_list, t);
        timer_free(t);

        if (restart_on_fault && runaway >= MAINLOOP_TIMER_LOOP_LIMIT)
            mainloop_restart("loop in timer handling");
        loop_now(&now);
    }
}

void sweep_deleted()
{
    if (fds_deleted) {
        sweep(mainloop_fd_list);
        fds_deleted = false;
    }
    if (signals_deleted) {
        with_signals_blocked([] { sweep(mainloop_signal_list); });
        signals_deleted = false;
    }
    if (timers_deleted) {
        sweep(mainloop_timer_list);
        timers_deleted = false;
    }
}

} // namespace

int mainloop_poll()
{
    pass_number++;
    fd_set sets[3];
    int maxfd = prepare_sets(sets);
    timeval timeout = wait_time();
    if (!mainloop_running)
        return 0;

    int ready = select(maxfd + 1, &sets[MAINLOOP_READ], &sets[MAINLOOP_WRITE],
                       &sets[MAINLOOP_EXCEPT], &timeout);
    if (ready < 0 && errno != EINTR)
        return -1;

    int descriptors;
    bool woken = take_wakeup(ready, sets, &descriptors);
    if (descriptors > 0)
        run_descriptors(sets, descriptors);
    if (woken)
        run_signals();
    run_timers();
    sweep_deleted();
    return 0;
}

void mainloop_run()
{
    mainloop_running = 1;
    mainloop_signal_add(SIGQUIT, on_sigquit, nullptr);
    // Signals a program held during its start-up (or that a restart held across the exec)
    // are let through now that each has its callback; those that came meanwhile run in the
    // first pass.
    sigset_t handled = handled_signals();
    sigprocmask(SIG_UNBLOCK, &handled, nullptr);
    while (mainloop_running) {
        if (mainloop_poll() < 0) {
            // A descriptor that keeps select() failing must not spin the CPU.
            timespec pause{0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
}

void mainloop_cleanup()
{
    if (mainloop_running)
        return;
    free_all(mainloop_fd_list);
    free_all(mainloop_timer_list);
    free_all(timer_spares);
    timer_spare_count = 0;
    with_signals_blocked([] { free_all(mainloop_signal_list); });
    for (auto &set : watch_sets)
        FD_ZERO(&set);
    watch_maxfd = -1;
    watch_maxfd_stale = false;
    fds_deleted = timers_deleted = signals_deleted = false;
}

void mainloop_restart(const char *reason)
{
    if (loop_log)
        loop_log(LOG_WRN, "bug", "WRN: %s", reason);

    // One byte more than allowed tells an over-long command line from one that just fits.
    char cmdline[RESTART_CMDLINE_MAX + 1];
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t len = 0, n;
    while (len < static_cast<ssize_t>(sizeof cmdline) &&
           (n = read(fd, cmdline + len, sizeof cmdline - static_cast<size_t>(len))) > 0)
        len += n;
    close(fd);
    if (len <= 0 || len > RESTART_CMDLINE_MAX)
        return;

    char *argv[RESTART_ARGS_MAX + 1];
    int argc = 0;
    for (ssize_t i = 0; i < len; i++) {
        if (i == 0 || cmdline[i - 1] == '\0') {
            if (argc == RESTART_ARGS_MAX)
                return;
            argv[argc++] = &cmdline[i];
        }
    }
    if (cmdline[len - 1] != '\0')
        return; // cut off in the middle of an argument
    argv[argc] = nullptr;

    // The new image must not inherit our serial port and sockets; 0, 1 and 2 stay, so its
    // log lines go where ours went. Close-on-exec rather than close: should execvp fail, the
    // loop carries on with every descriptor intact.
    for (int d = RESTART_CLOSE_FROM; d <= RESTART_CLOSE_TO; d++) {
        int flags = fcntl(d, F_GETFD);
        if (flags >= 0)
            fcntl(d, F_SETFD, flags | FD_CLOEXEC);
    }
    // The signals the loop handles are held across the exec: one that arrives while the new
    // image starts stays pending for it, instead of meeting the default action (which ends
    // the process for most of them) before the new image has installed its handlers. Those
    // that arrived but whose callbacks have not run yet are raised again, to be held too.
    sigset_t handled = handled_signals(), old;
    sigprocmask(SIG_BLOCK, &handled, &old);
    for (mainloop_signal *s = mainloop_signal_list; s; s = s->next)
        if (s->pending && !s->deleted)
            raise(s->signum);
    execvp(argv[0], argv);
    // A relative program path no longer resolves once a daemon has changed to "/".
    execv("/proc/self/exe", argv);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

int mainloop_view_watches()
{
    int n = 0;
    for (mainloop_fd *w = mainloop_fd_list; w; w = w->next)
        n++;
    return n;
}

int mainloop_view_timer(int index, mainloop_time *expires)
{
    mainloop_timer *t = mainloop_timer_list;
    for (; t && index > 0; index--)
        t = t->next;
    if (!t)
        return -1;
    *expires = t->expires;
    return 0;
}

int mainloop_view_running() { return mainloop_running; }
