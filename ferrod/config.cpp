// Configuration file reader and the key table.
#include "config.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "log.h"

namespace {

constexpr int OPEN_ATTEMPTS = 31;
constexpr size_t LINE_MAX_LEN = 256;

struct int_key {
    const char *key;
    int daemon_config::*field;
};

constexpr int_key int_keys[] = {
    {"ferrod_mode", &daemon_config::mode},
    {"ferrod_keepalive", &daemon_config::keepalive_enabled},
    {"ferrod_port", &daemon_config::port},
    {"ferrod_max_clients", &daemon_config::max_clients},
    {"ferrod_drop_oldest", &daemon_config::drop_oldest},
    {"ferrod_baudrate", &daemon_config::baudrate},
    {"ferrod_databits", &daemon_config::databits},
    {"ferrod_stopbits", &daemon_config::stopbits},
    {"ferrod_flow", &daemon_config::flow},
    {"ferrod_tx_timeout", &daemon_config::tx_timeout},
    {"ferrod_tx_bufsize", &daemon_config::tx_bufsize},
    {"ferrod_do_leds", &daemon_config::do_leds},
    {"ferrod_keepalive_enabled", &daemon_config::keepalive_enabled},
    {"ferrod_keepalive_timeout", &daemon_config::keepalive_timeout},
    {"ferrod_inactivity_enabled", &daemon_config::inactivity_enabled},
    {"ferrod_inactivity_timeout", &daemon_config::inactivity_timeout},
    {"ferrod_ip_filter_enabled", &daemon_config::ip_filter_enabled},
    {"ferrod_dcd_connection_control", &daemon_config::dcd_connection_control},
    {"ferrod_rfc2217", &daemon_config::rfc2217},
};

struct text_key {
    const char *key;
    std::string *(*field)(daemon_config *);
};

constexpr text_key text_keys[] = {
    {"ferrod_address", [](daemon_config *c) { return &c->address; }},
    {"ferrod_routers", [](daemon_config *c) { return &c->routers; }},
    {"ferrod_filter_address_0", [](daemon_config *c) { return &c->filter_address[0]; }},
    {"ferrod_filter_address_1", [](daemon_config *c) { return &c->filter_address[1]; }},
    {"ferrod_filter_address_2", [](daemon_config *c) { return &c->filter_address[2]; }},
};

} // namespace

int config_atoi(const char *s)
{
    while (isspace(static_cast<unsigned char>(*s)))
        s++;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        s++;
    long long v = 0;
    for (; isdigit(static_cast<unsigned char>(*s)); s++) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    return static_cast<int>(v);
}

void handle_option(daemon_config *cfg, const char *key, const char *value)
{
    fr_log(LG_DBG, "option %s = '%s'", key, value);

    for (const auto &k : int_keys)
        if (strcmp(key, k.key) == 0)
            cfg->*k.field = config_atoi(value);
    for (const auto &k : text_keys)
        if (strcmp(key, k.key) == 0)
            *k.field(cfg) = value;
    if (strcmp(key, "ferrod_parity") == 0)
        cfg->parity = value[0];

    if (cfg->max_clients > FERROD_MAX_CLIENTS)
        cfg->max_clients = FERROD_MAX_CLIENTS;
}

void read_config(daemon_config *cfg, const char *path)
{
    FILE *f = nullptr;
    for (int attempt = 1;; attempt++) {
        f = fopen(path, "r");
        if (f)
            break;
        if (attempt == OPEN_ATTEMPTS)
            fr_log(LG_FTL, "Could not open config file %s: %s", path, strerror(errno));
        sleep(1);
    }

    char line[LINE_MAX_LEN];
    while (fgets(line, sizeof line, f)) {
        char *eq = strchr(line, '=');
        if (!eq)
            continue;
        *eq = '\0';

        // key="value"; an unquoted value starts right after '=' and ends at the line's end.
        char *value = eq + 1;
        if (*value == '"')
            value++;
        char *end = strchr(value, '"');
        if (!end)
            end = value + strcspn(value, "\r\n");
        *end = '\0';
        handle_option(cfg, line, value);
    }
    fclose(f);
}
