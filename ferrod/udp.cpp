// UDP modes: datagrams from a new source (that passes the IP filter) make a client; every
// client's datagrams go to the serial port and every serial block goes to every client.
#include "udp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "client.h"
#include "config.h"
#include "log.h"
#include "mainloop.h"
#include "resolve.h"

namespace {

// The oldest client with this address and port (the list runs newest first), or none.
client *find_client(daemon_config *cfg, const sockaddr_in &src)
{
    client *found = nullptr;
    for (client *c = cfg->clients; c; c = c->next)
        if (c->addr.sin_addr.s_addr == src.sin_addr.s_addr && c->addr.sin_port == src.sin_port)
            found = c;
    return found;
}

int on_udp_peer_retry(void *data);

// A send or receive error (no route yet, a link gone down) ends the fixed peer's client for
// a while only: it is looked for again every second. Ended otherwise (time-out, the peer's
// empty datagram, the client limit, shutdown) it stays away, as a learned client would.
void on_fixed_peer_del(client *c, void *data)
{
    if (c->error != 0)
        mainloop_timer_add(1, 0, on_udp_peer_retry, data);
}

client *add_fixed_peer(udp_socket *u)
{
    client *c = client_new(u->cfg, u->fd, SOCK_DGRAM, &u->peer);
    if (c)
        client_on_del(c, on_fixed_peer_del, u);
    return c;
}

// While the fixed peer is away: it is added again as soon as the system has a route to it,
// asked by connecting a spare socket (which sends nothing). Until then the retry is silent, so
// that an outage gives one warning (its send error), not one a second.
int on_udp_peer_retry(void *data)
{
    auto *u = static_cast<udp_socket *>(data);
    daemon_config *cfg = u->cfg;
    if (find_client(cfg, u->peer))
        return 0; // it wrote first and was learned
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return 1; // out of descriptors for now: the next second tries again
    int routed = connect(probe, reinterpret_cast<const sockaddr *>(&u->peer), sizeof u->peer);
    close(probe);
    if (routed != 0)
        return 1;
    if (cfg->num_clients >= cfg->max_clients && !cfg->drop_oldest)
        return 1; // no room for it yet
    if (!add_fixed_peer(u))
        return 1;
    fr_log(LG_INF, "UDP peer %s:%d is back", inet_ntoa(u->peer.sin_addr), ntohs(u->peer.sin_port));
    return 0;
}

// The socket may be blocking (a single client makes it so), and a datagram that select()
// reported may be gone by now: receives never wait.
int on_udp_readable(int fd, void *data)
{
    auto *u = static_cast<udp_socket *>(data);
    daemon_config *cfg = u->cfg;
    sockaddr_in src{};
    socklen_t len = sizeof src;
    if (recvfrom(fd, nullptr, 0, MSG_PEEK | MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&src),
                 &len) < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            fr_log(LG_WRN, "Error reading from udp socket: %s", strerror(errno));
        return 0;
    }

    client *c = find_client(cfg, src);
    if (!c && match_ip_filter(cfg, src.sin_addr.s_addr)) {
        c = client_new(cfg, fd, SOCK_DGRAM, &src);
        if (c)
            fr_log(LG_INF, "Accepted new udp client %d from %s", c->id, inet_ntoa(src.sin_addr));
    }
    if (!c) {
        recv(fd, nullptr, 0, MSG_DONTWAIT);
        return 0;
    }
    on_client_readable(fd, c);
    return 0;
}

} // namespace

udp_socket *udp_init(daemon_config *cfg, int port)
{
    auto *u = fr_new(udp_socket, "Not enough memory for the UDP socket");
    u->port = port;
    u->cfg = cfg;
    u->fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (u->fd < 0) {
        fr_log(LG_WRN, "Could not open socket: %s", strerror(errno));
        delete u;
        return nullptr;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(u->port));
    if (bind(u->fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fr_log(LG_WRN, "Could not bind to UDP port %d: %s", u->port, strerror(errno));
        close(u->fd);
        delete u;
        return nullptr;
    }
    if (mainloop_fd_add(u->fd, MAINLOOP_READ, on_udp_readable, u) != 0) {
        fr_log(LG_WRN, "Could not watch UDP socket on port %d", u->port);
        close(u->fd);
        delete u;
        return nullptr;
    }
    fr_log(LG_INF, "UDP server listening on port %d", u->port);
    return u;
}

void udp_exit(udp_socket *u)
{
    if (!u)
        return;
    mainloop_fd_del(u->fd, MAINLOOP_READ, on_udp_readable, u);
    mainloop_timer_del(on_udp_peer_retry, u);
    close(u->fd);
    delete u;
}

void udp_add_client(udp_socket *u, const char *host, int port)
{
    if (host == nullptr || *host == '\0') {
        fr_log(LG_WRN, "No address configured (ferrod_address), not adding udp client");
        return;
    }
    uint32_t ip = resolve(host);
    if (ip == 0) {
        fr_log(LG_WRN, "Could not resolve udp name %s, not adding udp client", host);
        return;
    }
    u->peer.sin_family = AF_INET;
    u->peer.sin_port = htons(static_cast<uint16_t>(port));
    u->peer.sin_addr.s_addr = ip;
    add_fixed_peer(u);
}
