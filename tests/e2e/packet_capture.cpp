// packet_capture IFACE COUNT COMMAND [ARGS...]: runs COMMAND and prints the ARP frames that
// arrive on IFACE meanwhile, one line "frame <hex>" each, after COMMAND's own output. Waits
// up to five seconds for COUNT frames, then takes whatever else is already there. Exits with
// COMMAND's status (or 1 if fewer frames came), 77 when no packet socket can be opened.
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

namespace {

constexpr int SKIPPED = 77;
constexpr long WAIT_MS = 5000;

long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void print_frame(const unsigned char *frame, ssize_t len)
{
    printf("frame ");
    for (ssize_t i = 0; i < len; i++)
        printf("%02x", frame[i]);
    printf("\n");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: packet_capture IFACE COUNT COMMAND [ARGS...]\n");
        return 2;
    }
    unsigned index = if_nametoindex(argv[1]);
    if (index == 0) {
        fprintf(stderr, "packet_capture: %s: %s\n", argv[1], strerror(errno));
        return 2;
    }
    int expected = atoi(argv[2]);
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ARP));
    if (fd < 0) {
        fprintf(stderr, "packet_capture: packet socket: %s\n", strerror(errno));
        return SKIPPED;
    }
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ARP);
    at.sll_ifindex = static_cast<int>(index);
    if (bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        fprintf(stderr, "packet_capture: bind to %s: %s\n", argv[1], strerror(errno));
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

    int got = 0;
    long end = now_ms() + WAIT_MS;
    for (;;) {
        long left = got < expected ? end - now_ms() : 0;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left > 0 ? static_cast<int>(left) : 0) <= 0)
            break;
        unsigned char frame[2048];
        ssize_t n = recv(fd, frame, sizeof frame, 0);
        if (n < 0)
            break;
        print_frame(frame, n);
        got++;
    }
    if (result == 0 && got < expected)
        result = 1;
    return result;
}
