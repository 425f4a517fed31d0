// TCP server mode: listens while there is room for clients and accepts them.
#include "tcp_server.h"

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

constexpr int LISTEN_BACKLOG = 128;

// With the limit reached (and no dropping) the socket is closed altogether, so the system
// refuses newcomers instead of queueing them.
int on_tcp_server_timer(void *data)
{
    auto *srv = static_cast<tcp_server *>(data);
    daemon_config *cfg = srv->cfg;
    if (cfg->drop_oldest == 0 && cfg->num_clients >= cfg->max_clients)
        tcp_server_unlisten(srv);
    else
        tcp_server_listen(srv);
    return 1;
}

int on_tcp_server_accept(int fd, void *data)
{
    auto *srv = static_cast<tcp_server *>(data);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int conn = accept4(fd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
    if (conn < 0) {
        fr_log(LG_WRN, "Error accepting new client: %s", strerror(errno));
        return -1;
    }
    if (!match_ip_filter(srv->cfg, peer.sin_addr.s_addr)) {
        fr_log(LG_WRN, "Incoming IP address %s does not match IP filter", inet_ntoa(peer.sin_addr));
        close(conn);
        return 0;
    }

    client *c = client_new(srv->cfg, conn, SOCK_STREAM, &peer);
    if (!c) {
        close(conn);
    } else {
        if (srv->use_telnet)
            c->use_telnet = 1;
        if (client_start(c) == 0) {
            fr_log(LG_INF, "TCP client accepted %d from %s", c->id, inet_ntoa(c->addr.sin_addr));
            if (mainloop_fd_add(c->fd, MAINLOOP_READ, on_client_readable, c) != 0) {
                fr_log(LG_WRN, "Client %d: descriptor %d beyond what can be watched", c->id, c->fd);
                client_del(c);
            }
        }
    }
    on_tcp_server_timer(srv);
    return 0;
}

} // namespace

tcp_server *tcp_server_init(daemon_config *cfg, int port, int use_telnet)
{
    auto *srv = fr_new(tcp_server, "Not enough memory for the TCP server");
    srv->cfg = cfg;
    srv->port = port;
    srv->use_telnet = use_telnet;
    srv->fd = -1;
    mainloop_timer_add(1, 0, on_tcp_server_timer, srv);
    tcp_server_listen(srv);
    return srv;
}

void tcp_server_exit(tcp_server *srv)
{
    if (!srv)
        return;
    mainloop_timer_del(on_tcp_server_timer, srv);
    tcp_server_unlisten(srv);
    delete srv;
}

void tcp_server_listen(tcp_server *srv)
{
    if (srv->listening)
        return;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fr_log(LG_WRN, "Could not open socket: %s", strerror(errno));
        return;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(srv->port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        fr_log(LG_WRN, "Could not bind to TCP port %d: %s", srv->port, strerror(errno));
        close(fd);
        return;
    }
    if (listen(fd, LISTEN_BACKLOG) != 0) {
        fr_log(LG_WRN, "Could not listen on port %d: %s", srv->port, strerror(errno));
        close(fd);
        return;
    }
    if (mainloop_fd_add(fd, MAINLOOP_READ, on_tcp_server_accept, srv) != 0) {
        fr_log(LG_WRN, "Could not watch listening socket on port %d", srv->port);
        close(fd);
        return;
    }
    srv->fd = fd;
    fr_log(LG_INF, "TCP server listening on port %d, telnet %s", srv->port,
           srv->use_telnet ? "enabled" : "disabled");
    srv->listening = 1;
}

void tcp_server_unlisten(tcp_server *srv)
{
    if (!srv->listening)
        return;
    mainloop_fd_del(srv->fd, MAINLOOP_READ, on_tcp_server_accept, srv);
    close(srv->fd);
    srv->fd = -1;
    srv->listening = 0;
    fr_log(LG_INF, "TCP server stopped listening\n");
}
