// ferrod: bridges a serial port to TCP and UDP peers. Start-up, signals and shutdown.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client.h"
#include "config.h"
#include "log.h"
#include "mainloop.h"
#include "serial.h"
#include "stats.h"
#include "tcp_client.h"
#include "tcp_server.h"
#include "udp.h"

namespace {

void usage(const char *prog)
{
    printf("usage: %s [OPTIONS]\n\n"
           "options:\n"
           "  -c CFGFILE    Read config from CFGFILE (/var/tarvix.conf)\n"
           "  -d DEVICE     Use primary serial device DEV (/dev/ttyS0)\n"
           "  -e DEVICE     Use secondary serial device DEV (/dev/ttyS1)\n"
           "  -l LOGLEVEL   Loglevel (3)\n"
           "  -D            Daemonize at startup\n"
           "  -h            Show help (this)\n",
           prog);
}

// Detaches from the terminal: double fork around setsid, standard descriptors on /dev/null so
// that nothing written to them later can land in a serial port or socket that reuses them.
void daemonize()
{
    fr_log_as("main", LG_DBG, "Daemonizing");
    if (chdir("/") != 0) {
        // Nothing depends on the working directory; carry on where we are.
    }
    if (fork() > 0)
        exit(0);
    setsid(); // the first child is never a process group leader, so this succeeds
    if (fork() > 0)
        exit(0);
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; fd++)
        if (null >= 0 && null != fd)
            dup2(null, fd);
    if (null > 2)
        close(null);
}

// The daemon runs in "/", where a relative path names another file than the user meant, and a
// restart re-reads the same command line there: so a relative path given with -D is refused
// while standard error still reaches the user, before anything detaches. Absolute paths that
// do not fit their field are cut as ever.
void refuse_relative_paths(const char *const paths[4])
{
    static const char options[] = "cdes";
    for (int i = 0; i < 4; i++)
        if (paths[i] && paths[i][0] != '\0' && paths[i][0] != '/')
            fr_log_as("main", LG_FTL,
                      "Option -%c: relative path %s cannot be used with -D (the daemon runs in /)",
                      options[i], paths[i]);
}

// The network side the mode started; main stops it at shutdown.
tcp_server *server;
tcp_client *outgoing;
udp_socket *udp;

int on_sighup(int, void *data)
{
    auto *cfg = static_cast<daemon_config *>(data);
    fr_log(LG_INF, "Received SIGHUP, resetting statistics");
    if (cfg->stats) {
        cfg->stats->bytes_rx = 0;
        cfg->stats->bytes_tx = 0;
    }
    for (client *c = cfg->clients; c; c = c->next) {
        c->bytes_rx = 0;
        c->bytes_tx = 0;
    }
    return 0;
}

int on_sigint(int, void *)
{
    fr_log(LG_INF, "Received SIGINT/SIGTERM, stopping ferrod");
    mainloop_stop();
    return 0;
}

int on_sigusr1(int, void *)
{
    fr_log(LG_INF, "Received SIGUSR1, setting loglevel to LG_DMP");
    fr_log_set_level(LG_DMP, 0, 1);
    return 0;
}

int on_sigusr2(int, void *)
{
    fr_log(LG_INF, "Received SIGUSR2, setting loglevel to LG_INF");
    fr_log_set_level(LG_INF, 0, 1);
    return 0;
}

// Reaps every child that has ended (signals of several children may arrive as one), and never
// waits for one that is still running.
int on_sigchld(int, void *)
{
    int status;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
    return 0;
}

void start_mode(daemon_config *cfg)
{
    switch (cfg->mode) {
    case MODE_NONE: fr_log_as("main", LG_INF, "Zevadivi disabled"); break;
    case MODE_TCP_SERVER:
    case MODE_TELNET_SERVER:
        fr_log_as("main", LG_INF, "TCP server mode");
        server = tcp_server_init(cfg, cfg->port, cfg->mode == MODE_TELNET_SERVER);
        break;
    case MODE_TCP_CLIENT:
        fr_log_as("main", LG_INF, "TCP client mode");
        outgoing = tcp_client_init(cfg, cfg->address.c_str(), cfg->port);
        break;
    case MODE_UDP_SERVER:
    case MODE_UDP_CLIENT:
        fr_log_as("main", LG_INF,
                  cfg->mode == MODE_UDP_SERVER ? "UDP server mode" : "UDP client mode");
        udp = udp_init(cfg, cfg->port);
        if (udp && cfg->mode == MODE_UDP_CLIENT)
            udp_add_client(udp, cfg->address.c_str(), cfg->port);
        break;
    default: break;
    }
}

void stop_mode()
{
    tcp_server_exit(server);
    tcp_client_exit(outgoing);
    udp_exit(udp);
    server = nullptr;
    outgoing = nullptr;
    udp = nullptr;
}

// The largest UDP payload over IPv4: 65535 less the IP and UDP headers.
constexpr int UDP_DATAGRAM_MAX = 65507;

// Values the data path cannot work with are brought into range, with a warning; a port that
// cannot be one is fatal, since no guess would be the port the user meant.
void check_limits(daemon_config *cfg)
{
    bool network = cfg->mode >= MODE_TCP_SERVER && cfg->mode <= MODE_TELNET_SERVER;
    if (network && (cfg->port < 1 || cfg->port > 65535))
        fr_log_as("main", LG_FTL, "ferrod_port=\"%d\" out of range (1 to 65535)", cfg->port);
    if (cfg->tx_bufsize < 1 || cfg->tx_bufsize > CLIENT_READ_MAX) {
        int fixed = cfg->tx_bufsize < 1 ? 1 : CLIENT_READ_MAX;
        fr_log_as("main", LG_WRN, "tx_bufsize %d out of range, using %d", cfg->tx_bufsize, fixed);
        cfg->tx_bufsize = fixed;
    }
    // A serial block goes out as one datagram: a larger one could never be sent.
    bool udp_mode = cfg->mode == MODE_UDP_SERVER || cfg->mode == MODE_UDP_CLIENT;
    if (udp_mode && cfg->tx_bufsize > UDP_DATAGRAM_MAX) {
        fr_log_as("main", LG_WRN, "tx_bufsize %d above the largest UDP datagram, using %d",
                  cfg->tx_bufsize, UDP_DATAGRAM_MAX);
        cfg->tx_bufsize = UDP_DATAGRAM_MAX;
    }
    if (cfg->tx_timeout < 0) {
        fr_log_as("main", LG_WRN, "tx_timeout %d out of range, using 0", cfg->tx_timeout);
        cfg->tx_timeout = 0;
    }
}

// Signals that would end the daemon by their default action before their callbacks exist (the
// configuration file may be awaited for half a minute): held from the start, handled once the
// loop runs. SIGINT and SIGTERM keep their default action until then: a stop is a stop.
constexpr int HELD_SIGNALS[] = {SIGHUP, SIGUSR1, SIGUSR2, SIGQUIT};

// Signals that end a write or send waiting on a port or client that does not drain.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM};

void hold_signals()
{
    sigset_t held;
    sigemptyset(&held);
    for (int sig : HELD_SIGNALS)
        sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    hold_signals();
    static daemon_config cfg;
    const char *config_path = FERROD_CONFIG_FILE;
    // The paths as given, for the check below: the fields may hold them cut.
    const char *paths[4] = {};

    int opt;
    while ((opt = getopt(argc, argv, "c:Dd:e:l:fhs:")) != -1) {
        switch (opt) {
        case 'c': config_path = paths[0] = optarg; break;
        case 'd': copy_field(cfg.device, paths[1] = optarg); break;
        case 'e': copy_field(cfg.device2, paths[2] = optarg); break;
        case 'l': cfg.loglevel = config_atoi(optarg); break;
        case 'D': cfg.daemonize = 1; break;
        case 's': copy_field(cfg.stats_file, paths[3] = optarg); break;
        case 'h': usage(argv[0]); return 0;
        default: break; // -f and unknown options
        }
    }
    if (cfg.daemonize)
        refuse_relative_paths(paths);
    signal(SIGPIPE, SIG_IGN);

    if (cfg.daemonize) {
        daemonize();
        fr_log_set_level(static_cast<unsigned>(cfg.loglevel), 0, 1);
    } else {
        fr_log_set_level(static_cast<unsigned>(cfg.loglevel), 1, 1);
    }
    mainloop_set_logger(_fr_log);
    mainloop_set_restart_on_fault(1);

    fr_log(LG_INF, "Ferrod starting");
    read_config(&cfg, config_path);
    check_limits(&cfg);

    cfg.serial = serial_init(&cfg, cfg.device, cfg.baudrate, cfg.parity, cfg.databits,
                             cfg.stopbits, cfg.flow, cfg.tx_bufsize, 1);
    if (cfg.device2[0])
        cfg.serial2 = serial_init(&cfg, cfg.device2, cfg.baudrate, cfg.parity, cfg.databits,
                                  cfg.stopbits, cfg.flow, cfg.tx_bufsize, 0);
    start_mode(&cfg);
    stats_init(&cfg);

    mainloop_signal_add(SIGHUP, on_sighup, &cfg);
    mainloop_signal_add(SIGCHLD, on_sigchld, &cfg);
    mainloop_signal_add(SIGINT, on_sigint, &cfg);
    mainloop_signal_add(SIGTERM, on_sigint, &cfg);
    mainloop_signal_add(SIGUSR1, on_sigusr1, &cfg);
    mainloop_signal_add(SIGUSR2, on_sigusr2, &cfg);
    mainloop_set_stop_signals(STOP_SIGNALS, sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0]);

    fr_log(LG_DBG, "Mainloop starting");
    mainloop_run();
    fr_log(LG_DBG, "Mainloop stopping");

    client *next;
    for (client *c = cfg.clients; c; c = next) {
        next = c->next;
        client_del(c);
    }
    stop_mode();
    serial_exit(cfg.serial);
    serial_exit(cfg.serial2);
    stats_exit(&cfg);
    mainloop_cleanup();
    return 0;
}
