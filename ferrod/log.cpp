// Log line formatting, the two sinks and the hex dump.
#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

unsigned log_level = LG_INF;
int log_to_stderr = 1;
int log_to_syslog = 1;

namespace {

constexpr const char *level_tag(unsigned level)
{
    switch (level) {
    case LG_FTL: return "ftl";
    case LG_WRN: return "wrn";
    case LG_INF: return "inf";
    case LG_DBG: return "dbg";
    case LG_DMP: return "dmp";
    default: return "???";
    }
}

constexpr size_t MESSAGE_MAX = 256;   // 255 characters and the terminator
constexpr size_t HEX_LINE_MAX = 80;
constexpr size_t HEX_PER_LINE = 16;

// Appends to a fixed line, never past its end.
struct line_buf {
    char text[HEX_LINE_MAX];
    size_t len = 0;

    __attribute__((format(printf, 2, 3))) void add(const char *fmt, ...)
    {
        if (len >= sizeof text - 1)
            return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(text + len, sizeof text - len, fmt, ap);
        va_end(ap);
        if (n > 0)
            len += static_cast<size_t>(n) < sizeof text - len ? static_cast<size_t>(n)
                                                               : sizeof text - 1 - len;
    }
};

} // namespace

void fr_log_set_level(unsigned level, int to_stderr, int to_syslog)
{
    log_level = level;
    log_to_stderr = to_stderr;
    log_to_syslog = to_syslog;
    openlog("ferrod", 0, LOG_DAEMON);
}

void _fr_log(unsigned level, const char *func, const char *fmt, ...)
{
    if (log_level >= level) {
        char msg[MESSAGE_MAX];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(msg, sizeof msg, fmt, ap);
        va_end(ap);
        for (char *p = msg; *p; p++)
            if (*p == '\n' || *p == '\r')
                *p = ' ';

        const char *tag = level_tag(level);
        if (log_to_stderr)
            fprintf(stderr, "[%s] %-10.10s %s\n", tag, func, msg);
        if (log_to_syslog)
            syslog(LOG_DAEMON | LOG_INFO, "[%s] %-10.10s %s\n", tag, func, msg);
    }
    if (level == LG_FTL)
        exit(1);
}

void _fr_loghex(const char *func, const char *title, const void *data, size_t len)
{
    if (len == 0 || log_level < LG_DMP)
        return;
    const auto *bytes = static_cast<const unsigned char *>(data);

    _fr_log(LG_DMP, func, "+------- %s -------", title);
    for (size_t off = 0; off < len; off += HEX_PER_LINE) {
        line_buf line;
        line.add("| %04zX  ", off);
        for (size_t i = 0; i < HEX_PER_LINE; i++) {
            if (off + i < len)
                line.add("%02X ", bytes[off + i]);
            else
                line.add("   ");
        }
        line.add(" |");
        for (size_t i = 0; i < HEX_PER_LINE; i++) {
            if (off + i < len) {
                unsigned char c = bytes[off + i];
                line.add("%c", c >= 0x20 && c <= 0x7f ? c : '.');
            } else {
                line.add(" ");
            }
        }
        line.add("|");
        _fr_log(LG_DMP, func, "%s", line.text);
    }
}
