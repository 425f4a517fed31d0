// TCP server mode: every accepted connection becomes a client, within the client limit.
#pragma once

struct daemon_config;

struct tcp_server {
    daemon_config *cfg;
    int port;
    int use_telnet;
    int fd;
    int listening;
};

tcp_server *tcp_server_init(daemon_config *cfg, int port, int use_telnet);
void tcp_server_exit(tcp_server *srv);
void tcp_server_listen(tcp_server *srv);
void tcp_server_unlisten(tcp_server *srv);
