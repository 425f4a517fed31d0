// TCP client mode: one outgoing connection to a server, kept up by a one-second state machine
// that switches a host route between two routers and may wait for the modem's DCD line.
#pragma once

#include <netinet/in.h>

#include <string>

struct daemon_config;
struct client;

// The step the connection's one-second machine takes next.
enum outgoing_state {
    OUTGOING_ROUTE,
    OUTGOING_ROUTE_WAIT,
    OUTGOING_ROUTE_READY,
    OUTGOING_DCD_WAIT,
    OUTGOING_CONNECT,
    OUTGOING_CONNECTING,
    OUTGOING_CONNECTED,
    OUTGOING_FAILED,
    OUTGOING_CLOSED,
};

struct tcp_client {
    daemon_config *cfg;
    struct client *client; // the established connection, or none
    std::string host;   // the server as configured
    std::string router; // router of the last route set-up; empty before the first
    int port;
    int fd; // socket of the attempt in progress, -1 when there is none
    sockaddr_in addr;
    outgoing_state state;
};

// Starts the machine (its first tick is a second away). Without a server address nothing is
// started: a warning is logged and none is returned.
tcp_client *tcp_client_init(daemon_config *cfg, const char *address, int port);
void tcp_client_exit(tcp_client *tc);
