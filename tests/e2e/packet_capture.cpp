// packet_capture IFACE COUNT COMMAND [ARGS...]: runs COMMAND and then prints the ARP frames
// that arrived on IFACE meanwhile, one line "frame <hex>" each, after COMMAND's own output.
// Waits up to five seconds for COUNT frames, then takes whatever else is already there.
// Exits with COMMAND's status (1 if fewer frames came), 77 when no packet socket is allowed.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: packet_capture IFACE COUNT COMMAND [ARGS...]\n");
        return 2;
    }
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ARP);
    at.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ARP));
    if (fd < 0) {
        fprintf(stderr, "packet_capture: packet socket: %s\n", strerror(errno));
        return 77;
    }
    if (at.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        fprintf(stderr, "packet_capture: %s: %s\n", argv[1], strerror(errno));
        return 2;
    }

    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(fd);
        execvp(argv[3], argv + 3);
        fprintf(stderr, "packet_capture: %s: %s\n", argv[3], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    int expected = atoi(argv[2]);
    int got = 0;
    time_t end = time(nullptr) + 5;
    for (;;) {
        int wait_ms = got < expected && time(nullptr) < end ? 100 : 0;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, wait_ms);
        if (ready == 0 && wait_ms > 0)
            continue;
        unsigned char frame[2048];
        ssize_t n = ready > 0 ? recv(fd, frame, sizeof frame, 0) : -1;
        if (n < 0)
            break;
        printf("frame ");
        for (ssize_t i = 0; i < n; i++)
            printf("%02x", frame[i]);
        printf("\n");
        got++;
    }
    return result == 0 && got < expected ? 1 : result;
}
