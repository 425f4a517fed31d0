// Single-threaded event loop over descriptor watches, timers and signals, built on select().
#pragma once

#include <stdint.h>

#define MAINLOOP_READ 0
#define MAINLOOP_WRITE 1
#define MAINLOOP_EXCEPT 2

// select() sets hold descriptors below this number.
#define MAINLOOP_MAX_FD 1024

// Timers that may run in one pass after being armed in that same pass before the loop
// declares a runaway and restarts.
#define MAINLOOP_TIMER_LOOP_LIMIT 12

typedef int (*mainloop_fd_cb)(int fd, void *data);
typedef int (*mainloop_timer_cb)(void *data);
typedef int (*mainloop_signal_cb)(int signum, void *data);

// A point or span on the loop's clock: seconds and microseconds.
struct mainloop_time {
    int32_t sec;
    int32_t usec;
};

// One watch per descriptor; a timer is known by its (callback, data) pair, and adding it again
// restarts it; a timer callback returns non-zero to run again after the same interval.
int mainloop_fd_add(int fd, int type, mainloop_fd_cb callback, void *data);
int mainloop_fd_del(int fd, int type, mainloop_fd_cb callback, void *data);
int mainloop_timer_add(int seconds, int milliseconds, mainloop_timer_cb callback, void *data);
int mainloop_timer_del(mainloop_timer_cb callback, void *data);
int mainloop_signal_add(int signum, mainloop_signal_cb callback, void *data);
int mainloop_signal_del(int signum, mainloop_signal_cb callback);

void mainloop_init();
void mainloop_stop();
int mainloop_poll();
// Runs passes until mainloop_stop. It first lets through every signal the loop has a callback
// for: a program holds them (sigprocmask) during its start-up, so that none meets its default
// action before its callback exists.
void mainloop_run();
void mainloop_cleanup();

// Waits until FD takes data, for at most TIMEOUT_MS (-1: no limit), so that a write that would
// block can wait without shutting out the stop signals. Returns 1 when FD is writable (or
// select reports it in error: the write then says what is wrong), 0 on time-out, and -1 when
// the loop is stopping: mainloop_stop was called or a stop signal has arrived, whose callback
// then runs in the loop's next pass as usual.
int mainloop_wait_writable(int fd, int timeout_ms);

// Program settings, made before mainloop_run.

// The signals that end a mainloop_wait_writable; none by default.
void mainloop_set_stop_signals(const int *signums, int count);

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
