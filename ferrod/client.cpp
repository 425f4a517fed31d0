// Client connections: admission, the blocking switch, supervision timers, send and receive.
#include "client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "config.h"
#include "log.h"
#include "mainloop.h"
#include "rfc2217.h"
#include "serial.h"
#include "telnet.h"

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

// Keep-alive probes, and a send time-out of the same length: a lone client's socket blocks,
// and a peer that stops reading must not hold the daemon in a send for ever.
void set_keepalive(int fd, int timeout)
{
    int on = 1, count = 3, idle = timeout / 3;
    if (idle < 1)
        idle = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &idle, sizeof idle);
    timeval send_timeout{timeout > 1 ? timeout : 1, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
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

// A stream client's read takes up to this many buffers at once.
constexpr size_t BUFFERS_PER_READ = 8;

// One read buffer for all clients: sized once, never per read, and never on the stack, where a
// large tx_bufsize would not fit.
unsigned char read_buf[CLIENT_READ_MAX];

// A block for a telnet client with every 255 doubled. Only touched when a block holds a 255.
unsigned char escape_buf[2 * CLIENT_READ_MAX];

// Copies DATA into escape_buf with every 255 doubled, as much as fits; returns the length.
size_t telnet_escape(const unsigned char *data, size_t len)
{
    size_t out = 0;
    for (size_t i = 0; i < len && out + 2 <= sizeof escape_buf; i++) {
        escape_buf[out++] = data[i];
        if (data[i] == TELNET_CMD_IAC)
            escape_buf[out++] = TELNET_CMD_IAC;
    }
    return out;
}

// How many bytes of DATA the first SENT escaped bytes stand for. A doubled 255 cut in half is
// completed, so that the peer never sees a lone IAC followed by data.
size_t telnet_accepted(client *c, const unsigned char *data, size_t sent)
{
    size_t i = 0, pos = 0;
    for (; pos < sent; i++) {
        pos += data[i] == TELNET_CMD_IAC ? 2 : 1;
        if (pos > sent) {
            const unsigned char iac = TELNET_CMD_IAC;
            send(c->fd, &iac, 1, MSG_NOSIGNAL);
        }
    }
    return i;
}

// True when a client with this id is still in the list.
bool client_exists(daemon_config *cfg, int id)
{
    for (client *c = cfg->clients; c; c = c->next)
        if (c->id == id)
            return true;
    return false;
}

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
    if (c->use_telnet) {
        // The announcement may fail and delete the client: find out by its id, which no other
        // client has, instead of touching the record.
        daemon_config *cfg = c->cfg;
        int id = c->id;
        telnet_state *t = telnet_new(c);
        if (!client_exists(cfg, id)) {
            telnet_free(t);
            return -1;
        }
        c->telnet = t;
    }
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
    if (c->telnet)
        telnet_free(c->telnet);
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
    if (c->telnet && rfc2217_suspended(c->telnet->com))
        return 0; // the client asked to be sent nothing for now
    dump_client(__func__, "tx", c, data, static_cast<size_t>(len));
    const auto *block = static_cast<const unsigned char *>(data);
    const void *wire = data;
    size_t wire_len = static_cast<size_t>(len);
    bool escaped = c->telnet && memchr(block, TELNET_CMD_IAC, wire_len) != nullptr;
    if (escaped) {
        wire_len = telnet_escape(block, wire_len);
        wire = escape_buf;
    }

    ssize_t n = sendto(c->fd, wire, wire_len, MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(&c->addr), sizeof c->addr);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            fr_log(LG_WRN, "Error sending to client %d: %s", c->id, strerror(errno));
            client_del(c);
        } else if (c->type == SOCK_STREAM && c->cfg->keepalive_enabled &&
                   c->cfg->num_clients < 2) {
            // A lone client's socket blocks: would-block here is its send time-out.
            fr_log(LG_WRN, "Timeout sending to client %d", c->id);
            client_del(c);
        }
        return 0;
    }
    if (n == 0) {
        fr_log(LG_INF, "Client %d closed by remote peer", c->id);
        client_del(c);
        return 0;
    }
    size_t accepted = escaped ? telnet_accepted(c, block, static_cast<size_t>(n))
                              : static_cast<size_t>(n);
    c->bytes_tx += accepted;
    client_restart_timeout(c);
    return static_cast<int>(accepted);
}

// A command that finds no room at all is dropped whole, like data. One the socket took in part
// is finished before anything else is sent, waiting up to a second for room; a client that
// cannot take the rest by then has a stream that no longer parses, and is shut down.
int client_send_command(client *c, const unsigned char *cmd, size_t len)
{
    constexpr int WAIT_MS = 1000;
    dump_client(__func__, "tx", c, cmd, len);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t deadline = int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000 + WAIT_MS;
    size_t sent = 0;
    while (sent < len) {
        ssize_t n = send(c->fd, cmd + sent, len - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            fr_log(LG_WRN, "Error sending to client %d: %s", c->id, strerror(errno));
            break;
        }
        if (sent == 0)
            return -1;
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t left = deadline - (int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000);
        pollfd p{c->fd, POLLOUT, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
            fr_log(LG_WRN, "Timeout sending to client %d", c->id);
            break;
        }
    }
    if (sent < len) {
        shutdown(c->fd, SHUT_RDWR); // its read callback sees the end and deletes it
        return -1;
    }
    client_restart_timeout(c);
    return 0;
}

int on_client_readable(int, void *data)
{
    auto *c = static_cast<client *>(data);
    daemon_config *cfg = c->cfg;
    size_t size = static_cast<size_t>(cfg->tx_bufsize);
    // A stream is read a few buffers at once and handled buffer by buffer, as if each had been
    // read by itself; a UDP client has just the one datagram, cut to a buffer.
    size_t room = c->type == SOCK_STREAM ? std::min(size * BUFFERS_PER_READ, sizeof read_buf) : size;
    // Never waits: a datagram that select() reported may have been dropped by the kernel since.
    ssize_t n = recv(c->fd, read_buf, room, MSG_DONTWAIT);
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
    c->bytes_rx += static_cast<uint64_t>(n);
    client_restart_timeout(c);
    for (size_t off = 0; off < static_cast<size_t>(n); off += size) {
        const unsigned char *block = read_buf + off;
        size_t len = std::min(size, static_cast<size_t>(n) - off);
        dump_client(__func__, "rx", c, block, len);
        if (c->telnet) {
            telnet_handle(c->telnet, block, len);
        } else {
            serial_tx(cfg->serial, block, static_cast<int>(len));
            serial_tx(cfg->serial2, block, static_cast<int>(len));
        }
    }
    return 0;
}
