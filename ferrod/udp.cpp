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
    auto *u = new (std::nothrow) udp_socket{};
    if (!u)
        fr_log(LG_FTL, "Not enough memory for the UDP socket");
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
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(u->fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fr_log(LG_WRN, "Could not bind to UDP port %d: %s", port, strerror(errno));
        close(u->fd);
        delete u;
        return nullptr;
    }
    if (mainloop_fd_add(u->fd, MAINLOOP_READ, on_udp_readable, u) != 0) {
        fr_log(LG_WRN, "Could not watch UDP socket on port %d", port);
        close(u->fd);
        delete u;
        return nullptr;
    }
    fr_log(LG_INF, "UDP server listening on port %d", port);
    return u;
}

void udp_exit(udp_socket *u)
{
    if (!u)
        return;
    mainloop_fd_del(u->fd, MAINLOOP_READ, on_udp_readable, u);
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
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = ip;
    client_new(u->cfg, u->fd, SOCK_DGRAM, &addr);
}
