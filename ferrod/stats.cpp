// The statistics file: a snapshot of counters, modem lines and clients, replaced as a whole.
#include "stats.h"

#include <arpa/inet.h>
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <new>

#include "client.h"
#include "log.h"
#include "mainloop.h"
#include "serial.h"

namespace {

int stats_error_reported;

void snapshot(daemon_config *cfg, stats_record *s)
{
    s->time = time(nullptr);
    s->control_signals = serial_get_control_signals(cfg->serial);
    s->num_clients = cfg->num_clients;
    memset(s->clients, 0, sizeof s->clients);
    int i = 0;
    for (client *c = cfg->clients; c && i < FERROD_MAX_CLIENTS; c = c->next, i++) {
        s->clients[i] = {c->created, c->addr.sin_addr.s_addr, ntohs(c->addr.sin_port),
                         c->bytes_rx, c->bytes_tx};
    }
}

const char *line_word(int mask, int bit, const char *on, const char *off)
{
    return (mask & bit) ? on : off;
}

} // namespace

void stats_init(daemon_config *cfg)
{
    cfg->stats = fr_new(stats_record, "Not enough memory for statistics");
    mainloop_timer_add(1, 0, stats_dump, cfg);
}

void stats_exit(daemon_config *cfg)
{
    mainloop_timer_del(stats_dump, cfg);
    delete cfg->stats;
    cfg->stats = nullptr;
}

int stats_dump(void *data)
{
    auto *cfg = static_cast<daemon_config *>(data);
    stats_record *s = cfg->stats;
    snapshot(cfg, s);

    char tmp[256];
    snprintf(tmp, sizeof tmp, "%s.tmp", cfg->stats_file);
    FILE *f = fopen(tmp, "w");
    if (!f) {
        if (!stats_error_reported)
            fr_log(LG_WRN, "Could not write statistics to %s: %s", tmp, strerror(errno));
        stats_error_reported = 1;
        return 1;
    }

    // Every write and the close are checked (a full disk shows at the close, when the buffer
    // is written out): a cut file never replaces a whole one.
    int err = 0;
    int m = s->control_signals;
    if (fprintf(f,
                "[global]\ntime=%ld\nbytes_rx=%" PRIu64 "\nbytes_tx=%" PRIu64 "\nnum_clients=%d\n"
                "control_signals=%s %s %s %s \n",
                static_cast<long>(s->time), s->bytes_rx, s->bytes_tx, s->num_clients,
                line_word(m, TIOCM_DTR, "DTR", "dtr"), line_word(m, TIOCM_RTS, "RTS", "rts"),
                line_word(m, TIOCM_CTS, "CTS", "cts"), line_word(m, TIOCM_CAR, "DCD", "dcd")) < 0)
        err = errno != 0 ? errno : EIO;
    for (int i = 0; i < s->num_clients && i < FERROD_MAX_CLIENTS && err == 0; i++) {
        const stats_client &c = s->clients[i];
        in_addr ip{c.ip};
        if (fprintf(f,
                    "[client %d]\ntime=%ld\naddress=%s\nport=%d\nbytes_rx=%" PRIu64
                    "\nbytes_tx=%" PRIu64 "\n",
                    i, static_cast<long>(c.created), inet_ntoa(ip), c.port, c.bytes_rx,
                    c.bytes_tx) < 0)
            err = errno != 0 ? errno : EIO;
    }
    // The stream's error flag too: a C library may report a failed write there alone (uClibc's
    // fflush and fclose return success after a write that failed).
    if (err == 0 && (fflush(f) != 0 || ferror(f)))
        err = errno != 0 ? errno : EIO;
    if (fclose(f) != 0 && err == 0)
        err = errno != 0 ? errno : EIO;
    if (err != 0) {
        unlink(tmp);
        if (!stats_error_reported)
            fr_log(LG_WRN, "Could not write statistics to %s: %s", tmp, strerror(err));
        stats_error_reported = 1;
        return 1;
    }

    if (rename(tmp, cfg->stats_file) != 0) {
        if (!stats_error_reported)
            fr_log(LG_WRN, "Could not rename stats file: %s", strerror(errno));
        stats_error_reported = 1;
        return 1;
    }
    // Written whole: the next failure is a new spell and is reported again.
    stats_error_reported = 0;
    return 1;
}
