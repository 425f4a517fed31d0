// TCP client mode: route set-up, optional wait for DCD, a non-blocking connect with a time-out,
// and a new attempt whenever one fails or the connection ends.
#include "tcp_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include "client.h"
#include "config.h"
#include "log.h"
#include "mainloop.h"
#include "resolve.h"
#include "serial.h"

extern char **environ;

namespace {

constexpr int ROUTE_WAIT_SECONDS = 5;
constexpr int CONNECT_TIMEOUT_SECONDS = 25;

int on_outgoing_connect_callback(int fd, void *data);
int on_outgoing_connect_timeout(void *data);

// Runs the system's route command with ARGV (found on PATH, no shell involved, so a host or
// router value is always exactly one argument) and waits for it; its result is not examined.
// QUIET sends its output to /dev/null. Only this child is waited for: the SIGCHLD reaper
// never waits for a particular one, so the two cannot take each other's children.
void run_route(const char *const argv[], bool quiet)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    pid_t pid;
    int err = posix_spawnp(&pid, "route", &actions, nullptr, const_cast<char *const *>(argv),
                           environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        // Said for the addition only: the deletions' output, this included, is not wanted.
        if (!quiet)
            fr_log(LG_WRN, "Could not run route: %s", strerror(err));
        return;
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

int on_route_setup_timer(void *data)
{
    static_cast<tcp_client *>(data)->state = OUTGOING_ROUTE_READY;
    return 0;
}

// Points the server's host route at one of the routers, the other one than last time.
void switch_route(tcp_client *tc)
{
    const std::string &routers = tc->cfg->routers;
    if (routers.empty()) {
        tc->state = OUTGOING_ROUTE_READY;
        return;
    }
    size_t comma = routers.find(',');
    if (comma != std::string::npos) {
        std::string first = routers.substr(0, comma);
        tc->router = tc->router != first ? first : routers.substr(comma + 1);
    } else if (tc->router.empty()) {
        tc->router = routers;
    }
    fr_log(LG_DBG, "Setting router for host %s to %s", tc->host.c_str(), tc->router.c_str());

    const char *host = tc->host.c_str();
    const char *del[] = {"route", "del", "-host", host, nullptr};
    const char *add[] = {"route", "add", "-host", host, "gateway", tc->router.c_str(), nullptr};
    run_route(del, true);
    run_route(del, true);
    run_route(add, false);

    mainloop_timer_add(ROUTE_WAIT_SECONDS, 0, on_route_setup_timer, tc);
    tc->state = OUTGOING_ROUTE_WAIT;
}

void close_attempt(tcp_client *tc)
{
    close(tc->fd);
    tc->fd = -1;
    tc->state = OUTGOING_FAILED;
}

void open_outgoing_socket(tcp_client *tc)
{
    uint32_t ip = resolve(tc->host.c_str());
    if (ip == 0) {
        tc->state = OUTGOING_FAILED;
        return;
    }
    tc->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    tc->addr = sockaddr_in{};
    tc->addr.sin_family = AF_INET;
    tc->addr.sin_port = htons(static_cast<uint16_t>(tc->port));
    tc->addr.sin_addr.s_addr = ip;

    if (tc->fd < 0) {
        fr_log(LG_WRN, "Error connecting: %s", strerror(errno));
        tc->state = OUTGOING_FAILED;
        return;
    }
    if (connect(tc->fd, reinterpret_cast<const sockaddr *>(&tc->addr), sizeof tc->addr) == 0) {
        fr_log(LG_WRN, "Can not happen, socket is non-blocking");
        close_attempt(tc);
        return;
    }
    if (errno != EINPROGRESS) {
        fr_log(LG_WRN, "Error connecting: %s", strerror(errno));
        close_attempt(tc);
        return;
    }
    if (mainloop_fd_add(tc->fd, MAINLOOP_WRITE, on_outgoing_connect_callback, tc) != 0) {
        fr_log(LG_WRN, "Error connecting: descriptor %d beyond what can be watched", tc->fd);
        close_attempt(tc);
        return;
    }
    mainloop_timer_add(CONNECT_TIMEOUT_SECONDS, 0, on_outgoing_connect_timeout, tc);
    tc->state = OUTGOING_CONNECTING;
}

void on_outgoing_client_del(client *, void *data)
{
    auto *tc = static_cast<tcp_client *>(data);
    tc->state = OUTGOING_CLOSED;
    tc->client = nullptr;
}

int on_outgoing_connect_callback(int fd, void *data)
{
    auto *tc = static_cast<tcp_client *>(data);
    mainloop_fd_del(fd, MAINLOOP_WRITE, on_outgoing_connect_callback, tc);
    mainloop_timer_del(on_outgoing_connect_timeout, tc);

    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = errno;
    if (error != 0) {
        if (error == ECONNREFUSED)
            fr_log(LG_DBG, "Client connection failed: %s", strerror(error));
        else
            fr_log(LG_WRN, "Client connection failed: %s", strerror(error));
        close_attempt(tc);
        return 0;
    }

    client *c = client_new(tc->cfg, fd, SOCK_STREAM, &tc->addr);
    tc->fd = -1; // the socket is the client's now, or closed below
    if (!c) {
        close(fd);
        tc->state = OUTGOING_FAILED;
        return 0;
    }
    client_on_del(c, on_outgoing_client_del, tc);
    tc->state = OUTGOING_CONNECTED;
    mainloop_fd_add(c->fd, MAINLOOP_READ, on_client_readable, c);
    fr_log(LG_INF, "TCP client %d connection establised to %s:%d", c->id, tc->host.c_str(),
           tc->port);
    tc->client = c;
    return 0;
}

int on_outgoing_connect_timeout(void *data)
{
    auto *tc = static_cast<tcp_client *>(data);
    fr_log(LG_WRN, "Timeout during connect");
    mainloop_fd_del(tc->fd, MAINLOOP_WRITE, on_outgoing_connect_callback, tc);
    close_attempt(tc);
    return 0;
}

// One step of the machine a second; DCD is read on every tick whatever the state.
int on_outgoing_connect_timer(void *data)
{
    auto *tc = static_cast<tcp_client *>(data);
    daemon_config *cfg = tc->cfg;
    bool dcd = (serial_get_control_signals(cfg->serial) & TIOCM_CAR) != 0;

    switch (tc->state) {
    case OUTGOING_ROUTE: switch_route(tc); break;
    case OUTGOING_ROUTE_WAIT: break;
    case OUTGOING_ROUTE_READY:
        if (cfg->dcd_connection_control == 0) {
            tc->state = OUTGOING_CONNECT;
        } else {
            fr_log(LG_DBG, "Route setup, waiting for DCD to become active");
            tc->state = OUTGOING_DCD_WAIT;
        }
        break;
    case OUTGOING_DCD_WAIT:
        if (dcd) {
            fr_log(LG_INF, "DCD active, initating connection");
            tc->state = OUTGOING_CONNECT;
        }
        break;
    case OUTGOING_CONNECT: open_outgoing_socket(tc); break;
    case OUTGOING_CONNECTING: break;
    case OUTGOING_CONNECTED:
        if (cfg->dcd_connection_control != 0 && !dcd && tc->client) {
            fr_log(LG_INF, "DCD is down, disconnecting client");
            client_del(tc->client); // its deletion callback moves on to OUTGOING_CLOSED
            tc->client = nullptr;
        }
        break;
    case OUTGOING_FAILED:
        fr_log(LG_DBG, "Connection failed, retrying");
        tc->state = OUTGOING_ROUTE;
        break;
    case OUTGOING_CLOSED:
        fr_log(LG_INF, "TCP client connection closed, retrying");
        tc->state = OUTGOING_ROUTE;
        break;
    }
    return 1;
}

} // namespace

tcp_client *tcp_client_init(daemon_config *cfg, const char *address, int port)
{
    if (address == nullptr || *address == '\0') {
        fr_log(LG_WRN, "No server address configured (ferrod_address), not connecting");
        return nullptr;
    }
    auto *tc = fr_new(tcp_client, "Not enough memory for the TCP client");
    tc->cfg = cfg;
    tc->host = address;
    tc->port = port;
    tc->fd = -1;
    tc->state = OUTGOING_ROUTE;
    mainloop_timer_add(1, 0, on_outgoing_connect_timer, tc);
    fr_log(LG_INF, "TCP client connecting to server %s:%d", address, port);
    return tc;
}

void tcp_client_exit(tcp_client *tc)
{
    if (!tc)
        return;
    mainloop_timer_del(on_outgoing_connect_timer, tc);
    mainloop_timer_del(on_route_setup_timer, tc);
    mainloop_timer_del(on_outgoing_connect_timeout, tc);
    if (tc->fd >= 0) {
        mainloop_fd_del(tc->fd, MAINLOOP_WRITE, on_outgoing_connect_callback, tc);
        close(tc->fd);
    }
    if (tc->client)
        client_del(tc->client);
    delete tc;
}
