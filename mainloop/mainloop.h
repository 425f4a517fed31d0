// Single-threaded event loop over descriptor watches, timers and signals, built on select().
#pragma once

#include <signal.h>
#include <stdint.h>

#define MAINLOOP_READ 0
#define MAINLOOP_WRITE 1
#define MAINLOOP_EXCEPT 2

// select() sets hold descriptors below this number.
#define MAINLOOP_MAX_FD 1024

typedef int (*mainloop_fd_cb)(int fd, void *data);
typedef int (*mainloop_timer_cb)(void *data);
typedef int (*mainloop_signal_cb)(int signum, void *data);

// A point or span on the loop's clock: seconds and microseconds.
struct mainloop_time {
    int32_t sec;
    int32_t usec;
};

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
    volatile sig_atomic_t pending;
    int deleted;
    mainloop_signal *prev, *next;
};

extern mainloop_fd *mainloop_fd_list;
extern mainloop_timer *mainloop_timer_list;
extern mainloop_signal *mainloop_signal_list;
extern int mainloop_running;

int mainloop_fd_add(int fd, int type, mainloop_fd_cb callback, void *data);
int mainloop_fd_del(int fd, int type, mainloop_fd_cb callback, void *data);
int mainloop_timer_add(int seconds, int milliseconds, mainloop_timer_cb callback, void *data);
int mainloop_timer_del(mainloop_timer_cb callback, void *data);
int mainloop_signal_add(int signum, mainloop_signal_cb callback, void *data);
int mainloop_signal_del(int signum, mainloop_signal_cb callback);
void mainloop_init();
void mainloop_stop();
int mainloop_poll();
void mainloop_run();
void mainloop_cleanup();

// Program settings, made before mainloop_run.

// Fault restart: guard clock readings, re-execute the program on SIGQUIT, on an empty timer
// list and on a runaway timer. Off by default.
void mainloop_set_restart_on_fault(int on);

// Where the loop's own messages go; none by default (the loop is silent).
typedef void (*mainloop_log_fn)(unsigned level, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void mainloop_set_logger(mainloop_log_fn log);

// The clock the loop reads (monotonic by default); tests replace it.
typedef void (*mainloop_clock_fn)(mainloop_time *now);
void mainloop_set_clock(mainloop_clock_fn clock);

// Re-execute the program with its own command line; returns only when that is not possible.
void mainloop_restart(const char *reason);

// Timers that may run in one pass after being armed in that same pass before the loop
// declares a runaway and restarts.
#define MAINLOOP_TIMER_LOOP_LIMIT 12
