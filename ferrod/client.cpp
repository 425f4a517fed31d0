// Client connections: admission, the blocking switch, supervision timers, send and receive.
#include "client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "config.h"
#include "log.h"
#include "mainloop.h"
#include "serial.h"

namespace {

time_t monotonic_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

// With two or more clients a client that does not read must not stall the others; a single
// client gets blocking sends and the daemon waits for it.
void set_nonblock(daemon_config *cfg)
{
    bool nonblock = cfg->num_clients >= 2;
    if (nonblock)
        fr_log(LG_DBG, "Setting all clients to nonblocking mode");
    else
        fr_log(LG_DBG, "Setting single client to blocking mode");
    for (client *c = cfg->clients; c; c = c->next) {
        int flags = fcntl(c->fd, F_GETFL);
        if (flags < 0)
            continue;
        fcntl(c->fd, F_SETFL, nonblock ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
    }
}

int on_client_timeout(void *data)
{
    auto *c = static_cast<client *>(data);
    fr_log(LG_INF, "Removing client %d due to timeout", c->id);
    client_del(c);
    return 0;
}

void client_restart_timeout(client *c)
{
    if (c->inactivity_enabled) {
        // One second more than configured; the timer is one-shot and re-armed on traffic.
        int seconds = c->inactivity_timeout < INT32_MAX ? c->inactivity_timeout + 1 : INT32_MAX;
        mainloop_timer_add(seconds, 0, on_client_timeout, c);
    }
}

int on_client_check_txbuf(void *data)
{
    auto *c = static_cast<client *>(data);
    time_t now = monotonic_seconds();
    int outq = 0;
    ioctl(c->fd, TIOCOUTQ, &outq);
    if (outq == 0 || outq < c->last_outq)
        c->last_progress = now;
    c->last_outq = outq;

    daemon_config *cfg = c->cfg;
    if (cfg->keepalive_enabled && now - c->last_progress > cfg->keepalive_timeout) {
        fr_log(LG_WRN, "Timeout sending to client %d", c->id);
        client_del(c);
        return 0;
    }
    return 1;
}

void set_keepalive(int fd, int timeout)
{
    int on = 1, count = 3, idle = timeout / 3;
    if (idle < 1)
        idle = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &idle, sizeof idle);
}

// Dumps traffic of a client under the title "rx client N" or "tx client N"; the title is
// only formatted when dumps are on.
void dump_client(const char *func, const char *dir, const client *c, const void *data, size_t len)
{
    if (!fr_dumping())
        return;
    char title[16];
    snprintf(title, sizeof title, "%s client %d", dir, c->id);
    _fr_loghex(func, title, data, len);
}

// One read buffer for all clients: sized once, never per read, and never on the stack, where a
// large tx_bufsize would not fit.
unsigned char read_buf[CLIENT_READ_MAX];

} // namespace

client *client_new(daemon_config *cfg, int fd, int type, const sockaddr_in *addr)
{
    if (cfg->num_clients >= cfg->max_clients) {
        if (!cfg->drop_oldest) {
            fr_log(LG_WRN, "Maximum number of clients (%d) reached, not adding new client",
                   cfg->max_clients);
            return nullptr;
        }
        fr_log(LG_WRN, "Maximum number of clients (%d) reached, dropping oldest client",
               cfg->max_clients);
        client *next;
        for (client *c = cfg->clients; c; c = next) {
            next = c->next;
            if (!next)
                client_del(c);
        }
    }

    auto *c = new (std::nothrow) client{};
    if (!c)
        fr_log(LG_FTL, "Not enough memory to allocate client");
    c->cfg = cfg;
    c->fd = fd;
    c->type = type;
    c->addr = *addr;
    // Ids grow for the whole run; after INT_MAX clients they start again at 1.
    cfg->last_client_id = cfg->last_client_id < INT32_MAX ? cfg->last_client_id + 1 : 1;
    c->id = cfg->last_client_id;
    c->created = time(nullptr);
    // Progress counts from creation, so the first send-queue check cannot find it stale.
    c->last_progress = monotonic_seconds();

    if (cfg->keepalive_enabled && type == SOCK_STREAM)
        set_keepalive(fd, cfg->keepalive_timeout);
    c->inactivity_enabled = cfg->inactivity_enabled;
    c->inactivity_timeout = cfg->inactivity_timeout;

    c->next = cfg->clients;
    if (cfg->clients)
        cfg->clients->prev = c;
    cfg->clients = c;

    client_restart_timeout(c);
    cfg->num_clients++;
    serial_update_dtr(cfg->serial);
    set_nonblock(cfg);
    mainloop_timer_add(1, 0, on_client_check_txbuf, c);
    return c;
}

int client_start(client *c)
{
    client_restart_timeout(c);
    // Telnet negotiation for use_telnet clients plugs in here.
    return 0;
}

void client_on_del(client *c, client_del_cb callback, void *data)
{
    c->on_del = callback;
    c->on_del_data = data;
}

void client_del(client *c)
{
    daemon_config *cfg = c->cfg;
    if (c->on_del)
        c->on_del(c, c->on_del_data);
    if (c->type == SOCK_STREAM)
        close(c->fd);
    mainloop_fd_del(c->fd, MAINLOOP_READ, on_client_readable, c);
    mainloop_timer_del(on_client_timeout, c);
    mainloop_timer_del(on_client_check_txbuf, c);

    if (c->prev)
        c->prev->next = c->next;
    else
        cfg->clients = c->next;
    if (c->next)
        c->next->prev = c->prev;

    cfg->num_clients--;
    serial_update_dtr(cfg->serial);
    set_nonblock(cfg);
    delete c;
}

int client_write(client *c, const void *data, int len)
{
    dump_client(__func__, "tx", c, data, static_cast<size_t>(len));
    ssize_t n = sendto(c->fd, data, static_cast<size_t>(len), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(&c->addr), sizeof c->addr);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        fr_log(LG_WRN, "Error sending to client %d: %s", c->id, strerror(errno));
        client_del(c);
        return 0;
    }
    if (n == 0) {
        fr_log(LG_INF, "Client %d closed by remote peer", c->id);
        client_del(c);
        return 0;
    }
    c->bytes_tx += static_cast<uint32_t>(n);
    client_restart_timeout(c);
    return static_cast<int>(n);
}

int on_client_readable(int, void *data)
{
    auto *c = static_cast<client *>(data);
    daemon_config *cfg = c->cfg;
    ssize_t n = read(c->fd, read_buf, static_cast<size_t>(cfg->tx_bufsize));
    if (n == 0) {
        fr_log(LG_INF, "Client %d closed by remote peer", c->id);
        client_del(c);
        return 0;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        fr_log(LG_WRN, "Error reading from client %d: %s", c->id, strerror(errno));
        client_del(c);
        return 0;
    }
    c->bytes_rx += static_cast<uint32_t>(n);
    dump_client(__func__, "rx", c, read_buf, static_cast<size_t>(n));
    client_restart_timeout(c);
    // Telnet clients' input goes through the telnet filter here once it exists.
    serial_tx(cfg->serial, read_buf, static_cast<int>(n));
    serial_tx(cfg->serial2, read_buf, static_cast<int>(n));
    return 0;
}
