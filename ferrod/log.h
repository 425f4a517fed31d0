// Logging of ferrod: one line per message to standard error and/or syslog, and hex dumps.
#pragma once

#include <stddef.h>

#include <new>

#define LG_FTL 1u
#define LG_WRN 2u
#define LG_INF 3u
#define LG_DBG 4u
#define LG_DMP 5u

extern unsigned log_level;
extern int log_to_stderr;
extern int log_to_syslog;

void fr_log_set_level(unsigned level, int to_stderr, int to_syslog);
void _fr_log(unsigned level, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void _fr_loghex(const char *func, const char *title, const void *data, size_t len);

// Logs under a given name. A message below the current level costs one comparison (the test
// against LG_FTL folds away for constant levels); a fatal message never returns.
#define fr_log_as(name, level, ...)                                                              \
    do {                                                                                         \
        if ((level) == LG_FTL || (level) <= log_level) {                                         \
            _fr_log((level), (name), __VA_ARGS__);                                               \
            if ((level) == LG_FTL)                                                               \
                __builtin_unreachable();                                                         \
        }                                                                                        \
    } while (0)

// Every call passes its caller's name.
#define fr_log(level, ...) fr_log_as(__func__, (level), __VA_ARGS__)

// Allocation in ferrod: the result of EXPR (a new (std::nothrow) ...), or the end of the daemon.
// Out of memory is fatal, logged at LG_FTL under the caller's name with the caller's message.
#define fr_need(expr, ...)                                                                       \
    __extension__({                                                                              \
        auto *fr_need_result = (expr);                                                           \
        if (!fr_need_result)                                                                     \
            fr_log(LG_FTL, __VA_ARGS__);                                                         \
        fr_need_result;                                                                          \
    })

// A value-initialised record of TYPE, or the end of the daemon (see fr_need).
#define fr_new(type, ...) fr_need(new (std::nothrow) type{}, __VA_ARGS__)

#define fr_dumping() (log_level >= LG_DMP)

#define fr_loghex(title, data, len)                                                              \
    do {                                                                                         \
        if (fr_dumping())                                                                        \
            _fr_loghex(__func__, (title), (data), (len));                                        \
    } while (0)
