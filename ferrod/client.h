// Client connections: one network peer bridged to the serial port.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <time.h>

struct daemon_config;
struct client;
struct telnet_state;

typedef void (*client_del_cb)(client *c, void *data);

struct client {
    daemon_config *cfg;
    int id;
    int fd;
    int type; // SOCK_STREAM or SOCK_DGRAM
    sockaddr_in addr;
    client_del_cb on_del;
    void *on_del_data;
    int inactivity_enabled;
    int inactivity_timeout;
    int use_telnet;
    telnet_state *telnet;
    time_t created; // wall clock, shown in the statistics
    uint64_t bytes_rx;
    uint64_t bytes_tx; // bytes of the serial stream the socket accepted
    int last_outq;
    int64_t last_progress; // monotonic microseconds
    uint64_t sent_since_check; // bytes the socket took since the last send-queue check
    int iac_pending; // telnet: the second IAC of a 255 that a send cut in half is still owed
    int error; // errno of the send or receive whose failure ended the client; 0 otherwise
    client *prev, *next;
};

client *client_new(daemon_config *cfg, int fd, int type, const sockaddr_in *addr);
// Starts the client's timers (and telnet). Returns -1 when the client was deleted on the way.
int client_start(client *c);
void client_on_del(client *c, client_del_cb callback, void *data);
// Sends one block with one send; returns the bytes of the block the socket accepted, or 0 when
// nothing was sent (the client may have been deleted then). A telnet client gets every 255
// doubled; the count is still of the block's bytes.
int client_write(client *c, const void *data, int len);
// Sends a telnet command of at most CLIENT_COMMAND_MAX bytes whole, as it is (its 255s are not
// doubled): 0 when sent, -1 when not. Never deletes the client; a socket that failed is shut
// down, and its read callback ends it.
int client_send_command(client *c, const unsigned char *cmd, size_t len);
#define CLIENT_COMMAND_MAX 160
int on_client_readable(int fd, void *data);
void client_del(client *c);

// Largest read from a client; tx_bufsize is limited to this at start-up.
#define CLIENT_READ_MAX 65536
