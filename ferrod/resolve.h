// Host name resolution and the IP filter for incoming peers.
#pragma once

#include <stdint.h>

struct daemon_config;

// The first IPv4 address of a name or dotted address (network order), 0 when there is none.
uint32_t resolve(const char *name);

// 1 when the peer (network order) may become a client, 0 when it is refused.
int match_ip_filter(daemon_config *cfg, uint32_t peer);
