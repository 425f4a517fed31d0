// Name resolution and the IP filter with its lazily resolved, cached filter addresses.
#include "resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <string.h>

#include "config.h"
#include "log.h"

namespace {

const char *dotted(uint32_t ip)
{
    in_addr a{ip};
    return inet_ntoa(a);
}

} // namespace

uint32_t resolve(const char *name)
{
    if (!name || !*name)
        return 0;
    hostent *h = gethostbyname(name);
    if (!h || h->h_addrtype != AF_INET || !h->h_addr_list[0]) {
        fr_log(LG_WRN, "Could not resolve %s: %s", name, hstrerror(h_errno));
        return 0;
    }
    uint32_t ip;
    memcpy(&ip, h->h_addr_list[0], sizeof ip);
    fr_log(LG_DBG, "Resolved %s to %s", name, dotted(ip));
    return ip;
}

int match_ip_filter(daemon_config *cfg, uint32_t peer)
{
    if (!cfg->ip_filter_enabled)
        return 1;

    for (int i = 0; i < FERROD_FILTER_ADDRESSES; i++) {
        const std::string &name = cfg->filter_address[i];
        if (cfg->filter_ip[i] == 0 && !name.empty()) {
            fr_log(LG_INF, "Trying to resolve filter address %s", name.c_str());
            cfg->filter_ip[i] = resolve(name.c_str());
        }
    }
    for (int i = 0; i < FERROD_FILTER_ADDRESSES; i++) {
        if (cfg->filter_ip[i] != 0 && cfg->filter_ip[i] == peer) {
            fr_log(LG_DBG, "IP address %s matches filter", cfg->filter_address[i].c_str());
            return 1;
        }
    }
    fr_log(LG_WRN, "IP address %s does not match filter", dotted(peer));
    return 0;
}
