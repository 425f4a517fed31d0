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

#include <algorithm>
#include <new>

#include "config.h"
#include "log.h"
#include "mainloop.h"
#include "rfc2217.h"
#include "serial.h"
#include "telnet.h"

namespace {

// Microseconds: checks a whole number of seconds apart must not tie with the time-out.
int64_t monotonic_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
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
    int64_t now = monotonic_us();
    int outq = 0;
    ioctl(c->fd, TIOCOUTQ, &outq);
    // Progress is an empty queue or bytes that left it since the last look: the socket took
    // more than the queue grew by. A reader slower than the line has a full queue at every
    // look and still makes progress; a peer that takes nothing does not.
    if (outq == 0 || c->last_outq + c->sent_since_check > static_cast<uint64_t>(outq))
        c->last_progress = now;
    c->last_outq = outq;
    c->sent_since_check = 0;

    daemon_config *cfg = c->cfg;
    if (cfg->keepalive_enabled && now - c->last_progress > int64_t{cfg->keepalive_timeout} * 1000000) {
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

// How long a lone client's send may wait without the socket taking a byte: with keep-alive a
// peer that stops reading must not hold the daemon for ever.
int send_wait_ms(const client *c)
{
    const daemon_config *cfg = c->cfg;
    if (!cfg->keepalive_enabled || c->type != SOCK_STREAM)
        return -1;
    int seconds = std::max(1, std::min(cfg->keepalive_timeout, INT32_MAX / 1000));
    return seconds * 1000;
}

// How much of a send must go out before it returns.
enum send_policy {
    SEND_ONCE,    // one try: a client that does not read must not stall the others
    SEND_WHOLE,   // everything, as a blocking send would (a lone client's socket blocks)
    SEND_STARTED, // nothing when there is no room, everything once the socket took a part
};

// Sends LEN bytes of WIRE under POLICY. Waits for room are the loop's, so that a stop signal
// ends them (-1 with EINTR when nothing was taken), and a wait of WAIT_MS (-1: no limit)
// without progress ends them too (EAGAIN). Returns the bytes taken, or -1 with errno.
ssize_t client_send(client *c, const unsigned char *wire, size_t len, send_policy policy,
                    int wait_ms)
{
    // Only a datagram needs its destination; a connection has one.
    const sockaddr *to = nullptr;
    socklen_t to_len = 0;
    if (c->type == SOCK_DGRAM) {
        to = reinterpret_cast<const sockaddr *>(&c->addr);
        to_len = sizeof c->addr;
    }
    size_t sent = 0;
    for (;;) {
        ssize_t n = sendto(c->fd, wire + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT, to, to_len);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            if (sent == len || policy == SEND_ONCE)
                return static_cast<ssize_t>(sent);
            continue;
        }
        if (n == 0)
            return static_cast<ssize_t>(sent);
        if (errno == EINTR)
            continue;
        bool waits = policy == SEND_WHOLE || (policy == SEND_STARTED && sent > 0);
        if (waits && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = mainloop_wait_writable(c->fd, wait_ms);
            if (ready > 0)
                continue;
            errno = ready < 0 ? EINTR : EAGAIN;
        }
        return sent > 0 ? static_cast<ssize_t>(sent) : -1;
    }
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

// A block for a telnet client with every 255 doubled, after the IAC its previous block still
// owes. Only touched when there is a 255 to double or an IAC owed.
unsigned char escape_buf[2 * CLIENT_READ_MAX + 1];

// Copies DATA into escape_buf, the owed IAC first and every 255 doubled, as much as fits;
// returns the length.
size_t telnet_escape(const client *c, const unsigned char *data, size_t len)
{
    size_t out = 0;
    if (c->iac_pending)
        escape_buf[out++] = TELNET_CMD_IAC;
    for (size_t i = 0; i < len && out + 2 <= sizeof escape_buf; i++) {
        escape_buf[out++] = data[i];
        if (data[i] == TELNET_CMD_IAC)
            escape_buf[out++] = TELNET_CMD_IAC;
    }
    return out;
}

// How many bytes of DATA the first SENT bytes of escape_buf carry (SENT > 0, so an owed IAC
// went out first). A doubled 255 that the send cut in half is owed: its second IAC goes out in
// front of the client's next block, so the peer never reads a lone IAC followed by data.
size_t telnet_sent_bytes(client *c, const unsigned char *data, size_t sent)
{
    size_t i = 0, pos = c->iac_pending ? 1 : 0;
    c->iac_pending = 0;
    for (; pos < sent; i++) {
        pos += data[i] == TELNET_CMD_IAC ? 2 : 1;
        if (pos > sent)
            c->iac_pending = 1;
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

    auto *c = fr_new(client, "Not enough memory to allocate client");
    c->cfg = cfg;
    c->fd = fd;
    c->type = type;
    c->addr = *addr;
    // Ids grow for the whole run; after INT_MAX clients they start again at 1.
    cfg->last_client_id = cfg->last_client_id < INT32_MAX ? cfg->last_client_id + 1 : 1;
    c->id = cfg->last_client_id;
    c->created = time(nullptr);
    // Progress counts from creation, so the first send-queue check cannot find it stale.
    c->last_progress = monotonic_us();

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
    const unsigned char *wire = block;
    size_t wire_len = static_cast<size_t>(len);
    bool escaped = c->telnet && (c->iac_pending || memchr(block, TELNET_CMD_IAC, wire_len));
    if (escaped) {
        wire_len = telnet_escape(c, block, wire_len);
        wire = escape_buf;
    }

    // With keep-alive a lone client's wait gives up after keepalive_timeout without progress.
    bool lone = c->cfg->num_clients < 2;
    ssize_t n = client_send(c, wire, wire_len, lone ? SEND_WHOLE : SEND_ONCE, send_wait_ms(c));
    if (n < 0) {
        if (errno == EINTR)
            return 0; // the daemon is stopping
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            c->error = errno;
            fr_log(LG_WRN, "Error sending to client %d: %s", c->id, strerror(errno));
            client_del(c);
        } else if (lone && send_wait_ms(c) >= 0) {
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
    c->sent_since_check += static_cast<uint64_t>(n);
    size_t accepted = escaped ? telnet_sent_bytes(c, block, static_cast<size_t>(n))
                              : static_cast<size_t>(n);
    c->bytes_tx += accepted;
    client_restart_timeout(c);
    return static_cast<int>(accepted);
}

// A command that finds no room at all is dropped whole, like data. One the socket took in part
// is finished before anything else is sent, waiting up to a second for room; a client that
// cannot take the rest by then has a stream that no longer parses, and is shut down. An IAC
// the last block owes goes first, or the peer would take the command's IAC for its pair.
int client_send_command(client *c, const unsigned char *cmd, size_t len)
{
    constexpr int WAIT_MS = 1000;
    unsigned char wire[1 + CLIENT_COMMAND_MAX];
    size_t owed = c->iac_pending ? 1 : 0;
    if (len > CLIENT_COMMAND_MAX)
        return -1;
    wire[0] = TELNET_CMD_IAC;
    memcpy(wire + owed, cmd, len);
    dump_client(__func__, "tx", c, wire, owed + len);

    ssize_t n = client_send(c, wire, owed + len, SEND_STARTED, WAIT_MS);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        fr_log(LG_WRN, "Error sending to client %d: %s", c->id, strerror(errno));
        shutdown(c->fd, SHUT_RDWR);
    }
    if (n <= 0)
        return -1;
    c->iac_pending = 0;
    c->sent_since_check += static_cast<uint64_t>(n);
    if (static_cast<size_t>(n) < owed + len) {
        fr_log(LG_WRN, "Timeout sending to client %d", c->id);
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
        c->error = errno;
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
