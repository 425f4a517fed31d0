// Fuzz target: the configuration reader on arbitrary file contents. The input becomes the file
// (a memory file opened by its /proc path, so read_config opens and reads it as the daemon does),
// and the record it fills must equal what a plain reading of the file rule gives, field by field.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config.h"
#include "log.h"

namespace {

int conf_fd = -1;
char conf_path[64];

[[noreturn]] void fail(const char *what, const std::string &got, const std::string &want)
{
    fprintf(stderr, "config_fuzz: %s: got '%s', expected '%s'\n", what, got.c_str(), want.c_str());
    abort();
}

#define CHECK_INT(field)                                                                         \
    do {                                                                                         \
        if (got.field != want.field)                                                             \
            fail(#field, std::to_string(got.field), std::to_string(want.field));                \
    } while (0)
#define CHECK_TEXT(field)                                                                        \
    do {                                                                                         \
        if (got.field != want.field)                                                             \
            fail(#field, got.field, want.field);                                                 \
    } while (0)

// A number as atoi reads it (blanks, sign, digits), saturated to int.
int number(const std::string &value)
{
    long long v = strtoll(value.c_str(), nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// What one key/value pair does to the record.
void apply(daemon_config &c, const std::string &key, const std::string &value)
{
    struct int_field {
        const char *key;
        int *field;
    } ints[] = {
        {"ferrod_mode", &c.mode},
        {"ferrod_keepalive", &c.keepalive_enabled},
        {"ferrod_keepalive_enabled", &c.keepalive_enabled},
        {"ferrod_port", &c.port},
        {"ferrod_max_clients", &c.max_clients},
        {"ferrod_drop_oldest", &c.drop_oldest},
        {"ferrod_baudrate", &c.baudrate},
        {"ferrod_databits", &c.databits},
        {"ferrod_stopbits", &c.stopbits},
        {"ferrod_flow", &c.flow},
        {"ferrod_tx_timeout", &c.tx_timeout},
        {"ferrod_tx_bufsize", &c.tx_bufsize},
        {"ferrod_do_leds", &c.do_leds},
        {"ferrod_keepalive_timeout", &c.keepalive_timeout},
        {"ferrod_inactivity_enabled", &c.inactivity_enabled},
        {"ferrod_inactivity_timeout", &c.inactivity_timeout},
        {"ferrod_ip_filter_enabled", &c.ip_filter_enabled},
        {"ferrod_dcd_connection_control", &c.dcd_connection_control},
    };
    for (auto &f : ints)
        if (key == f.key)
            *f.field = number(value);
    if (key == "ferrod_address")
        c.address = value;
    if (key == "ferrod_routers")
        c.routers = value;
    for (int i = 0; i < FERROD_FILTER_ADDRESSES; i++)
        if (key == "ferrod_filter_address_" + std::to_string(i))
            c.filter_address[i] = value;
    if (key == "ferrod_parity")
        c.parity = value.empty() ? '\0' : value[0];
    if (c.max_clients > 32)
        c.max_clients = 32;
}

// The file rule: lines of at most 255 bytes (a longer one is read in pieces), each a C text (it
// ends at a zero byte); key="value" with the key before the first '=', one opening quote
// skipped, the value ending at the next quote or else at the end of the line.
daemon_config expected(const uint8_t *data, size_t size)
{
    daemon_config c;
    const std::string file(reinterpret_cast<const char *>(data), size);
    for (size_t pos = 0; pos < size;) {
        size_t nl = file.find('\n', pos);
        size_t len = nl == std::string::npos ? size - pos : nl + 1 - pos;
        if (len > 255)
            len = 255;
        std::string line = file.substr(pos, len);
        pos += len;
        line = line.substr(0, line.find('\0'));
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (!value.empty() && value[0] == '"')
            value.erase(0, 1);
        size_t quote = value.find('"');
        value = quote != std::string::npos ? value.substr(0, quote)
                                           : value.substr(0, value.find_first_of("\r\n"));
        apply(c, line.substr(0, eq), value);
    }
    return c;
}

void check_text(const char *what, const std::string &s)
{
    if (s.size() > 253 || s.find_first_of(std::string("\"\n\0", 3)) != std::string::npos)
        fail(what, s, "at most 253 bytes without quote, line feed or zero byte");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Every log line is formatted, none is written.
    log_level = LG_DMP;
    log_to_stderr = 0;
    log_to_syslog = 0;
    conf_fd = memfd_create("tarvix.conf", 0);
    if (conf_fd < 0) {
        perror("memfd_create");
        exit(1);
    }
    snprintf(conf_path, sizeof conf_path, "/proc/self/fd/%d", conf_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(conf_fd, 0) != 0 ||
        (size > 0 && pwrite(conf_fd, data, size, 0) != static_cast<ssize_t>(size))) {
        perror("config file");
        abort();
    }

    daemon_config got;
    read_config(&got, conf_path);
    // The file is gone before the record is looked at: the texts must be the record's own.
    if (ftruncate(conf_fd, 0) != 0)
        abort();
    daemon_config want = expected(data, size);

    CHECK_INT(mode);
    CHECK_INT(max_clients);
    CHECK_INT(drop_oldest);
    CHECK_INT(baudrate);
    CHECK_INT(parity);
    CHECK_INT(databits);
    CHECK_INT(stopbits);
    CHECK_INT(flow);
    CHECK_INT(tx_timeout);
    CHECK_INT(tx_bufsize);
    CHECK_TEXT(address);
    CHECK_TEXT(routers);
    CHECK_INT(keepalive_enabled);
    CHECK_INT(keepalive_timeout);
    CHECK_INT(inactivity_enabled);
    CHECK_INT(inactivity_timeout);
    CHECK_INT(port);
    CHECK_INT(do_leds);
    CHECK_INT(ip_filter_enabled);
    CHECK_INT(dcd_connection_control);
    for (int i = 0; i < FERROD_FILTER_ADDRESSES; i++) {
        CHECK_TEXT(filter_address[i]);
        CHECK_INT(filter_ip[i]);
    }
    // The file has no keys for these.
    CHECK_INT(daemonize);
    CHECK_INT(loglevel);
    CHECK_INT(last_client_id);
    CHECK_INT(num_clients);
    if (strcmp(got.device, "/dev/ttyS0") != 0 || got.device2[0] != '\0' ||
        strcmp(got.stats_file, FERROD_STATS_FILE) != 0 || got.serial || got.serial2 ||
        got.clients || got.stats)
        fail("fields the file has no key for", got.device, "unchanged");

    if (got.max_clients > FERROD_MAX_CLIENTS)
        fail("max_clients", std::to_string(got.max_clients), "32 at most");
    check_text("address", got.address);
    check_text("routers", got.routers);
    for (const auto &f : got.filter_address)
        check_text("filter_address", f);
    return 0;
}
