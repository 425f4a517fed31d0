// UDP modes: one socket shared by every peer; each new source address and port is a client.
#pragma once

#include <netinet/in.h>

struct daemon_config;

struct udp_socket {
    int fd;
    int port;
    daemon_config *cfg;
    sockaddr_in peer; // the fixed peer of UDP client mode, once resolved
};

// Binds the shared socket to PORT; none when that fails (logged).
udp_socket *udp_init(daemon_config *cfg, int port);
void udp_exit(udp_socket *u);
// Makes HOST:PORT a client from the start (UDP client mode).
void udp_add_client(udp_socket *u, const char *host, int port);
