// Activity LED commands for kestreld: one datagram per blink, at most five a second per LED.
#include "leds.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

namespace {

constexpr double BLINK_GATE = 0.2;
constexpr char RXD_COMMAND[] = "gpio:set('led_rxd', 0.2)";
constexpr char TXD_COMMAND[] = "gpio:set('led_txd', 0.2)";

int command_socket; // 0: not created yet; -1: creation failed, never retried
sockaddr_in command_addr;
double last_rxd, last_txd;

} // namespace

double hirestime()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void led_blink(int which)
{
    if (command_socket == 0) {
        command_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        command_addr.sin_family = AF_INET;
        command_addr.sin_port = htons(LED_COMMAND_PORT);
        command_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }

    double now = hirestime();
    const char *cmd = nullptr;
    size_t len = 0;
    if (which == LED_RXD && last_rxd + BLINK_GATE < now) {
        last_rxd = now;
        cmd = RXD_COMMAND;
        len = sizeof RXD_COMMAND - 1;
    } else if (which == LED_TXD && last_txd + BLINK_GATE < now) {
        last_txd = now;
        cmd = TXD_COMMAND;
        len = sizeof TXD_COMMAND - 1;
    }
    if (!cmd)
        return;

    if (sendto(command_socket, cmd, len, 0, reinterpret_cast<sockaddr *>(&command_addr),
               sizeof command_addr) < 0)
        printf("Error sending cmd to kestreld: %s\n", strerror(errno));
}
