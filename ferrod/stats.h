// Traffic counters and the statistics file, rewritten every second.
#pragma once

#include <stdint.h>
#include <time.h>

#include "config.h"

struct stats_client {
    time_t created;
    uint32_t ip; // network byte order
    int port;
    uint64_t bytes_rx;
    uint64_t bytes_tx;
};

// Counters are 64 bits: years of traffic at line speed never wrap them.
struct stats_record {
    uint64_t bytes_rx; // serial to network, once per flush
    uint64_t bytes_tx; // network to serial, once per channel written
    time_t time;
    int control_signals;
    int num_clients;
    stats_client clients[FERROD_MAX_CLIENTS];
};

void stats_init(daemon_config *cfg);
void stats_exit(daemon_config *cfg);
int stats_dump(void *data);
