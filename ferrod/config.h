// The daemon's one configuration and shared-state record, and the configuration file reader.
#pragma once

#include <stdint.h>

#include <string>

struct serial_channel;
struct client;
struct stats_record;

#define FERROD_CONFIG_FILE "/var/tarvix.conf"
#define FERROD_STATS_FILE "/var/ferrod2.stats"
#define FERROD_MAX_CLIENTS 32
#define FERROD_FILTER_ADDRESSES 3

// ferrod_mode: the network side, as the manual's table of modes numbers it. Other numbers
// leave the network side off without a word.
enum ferrod_mode {
    MODE_NONE = 0,
    MODE_TCP_SERVER = 1,
    MODE_TCP_CLIENT = 2,
    MODE_UDP_SERVER = 3,
    MODE_UDP_CLIENT = 4,
    MODE_TELNET_SERVER = 5,
};

struct daemon_config {
    int mode = MODE_NONE; // a ferrod_mode, or any other number the file holds
    int max_clients = FERROD_MAX_CLIENTS;
    int drop_oldest = 0;
    char device[16] = "/dev/ttyS0";
    char device2[16] = "";
    int baudrate = 9600;
    char parity = 'n';
    int databits = 8;
    int stopbits = 1;
    int flow = 0;
    int tx_timeout = 5;
    int tx_bufsize = 300;
    std::string address;
    std::string routers;
    int daemonize = 0;
    int loglevel = 3;
    int keepalive_enabled = 0;
    int keepalive_timeout = 60;
    int inactivity_enabled = 0;
    int inactivity_timeout = 0;
    int port = 6363;
    int do_leds = 1;
    int ip_filter_enabled = 0;
    std::string filter_address[FERROD_FILTER_ADDRESSES];
    uint32_t filter_ip[FERROD_FILTER_ADDRESSES] = {};
    int dcd_connection_control = 0;
    int rfc2217 = 0; // mode 5: telnet clients may control the primary port (COM-PORT-OPTION)
    int last_client_id = 0;
    serial_channel *serial = nullptr;
    serial_channel *serial2 = nullptr;
    int num_clients = 0;
    client *clients = nullptr;
    char stats_file[64] = FERROD_STATS_FILE;
    stats_record *stats = nullptr;
};

// Copies src into a fixed field, cut to fit and always terminated.
template <size_t N> void copy_field(char (&field)[N], const char *src)
{
    size_t i = 0;
    for (; i + 1 < N && src[i]; i++)
        field[i] = src[i];
    field[i] = '\0';
}

// atoi's reading of a number (blanks, sign, digits); out-of-range values saturate.
int config_atoi(const char *s);

// Logs one key/value pair and applies it; a key that is not one of ours changes nothing.
void handle_option(daemon_config *cfg, const char *key, const char *value);

// Reads the file once; waits up to about 31 seconds for it to appear, then gives up (fatal).
void read_config(daemon_config *cfg, const char *path);
