// ttyscope: an interactive terminal on a serial port. Command line, start-up and shutdown.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "mainloop.h"
#include "serial.h"
#include "terminal.h"

int main(int argc, char **argv)
{
    stdout_is_tty = isatty(STDOUT_FILENO);

    std::string port = "/dev/ttyS0";
    int rate = 115200;
    int rtscts = 0, xonxoff = 0;

    // Options act as they are read: -h and -l print their messages at once.
    int opt;
    while ((opt = getopt(argc, argv, "b:ehl:nrtx")) != -1) {
        switch (opt) {
        case 'b':
            rate = parse_baudrate(optarg);
            break;
        case 'e':
            echo = 1;
            break;
        case 'h':
            set_hexmode(1);
            break;
        case 'l':
            set_logging(1, optarg);
            break;
        case 'n':
            newline_to_cr++;
            break;
        case 'r':
            rtscts = 1;
            break;
        case 't':
            timestamps = 1;
            break;
        case 'x':
            xonxoff = 1;
            break;
        default:
            usage(argv[0]);
            return 1;
        }
    }
    // A number is the rate, anything else the port; the last of each wins.
    for (int i = optind; i < argc; i++) {
        int r = parse_baudrate(argv[i]);
        if (r > 0)
            rate = r;
        else
            port = argv[i];
    }
    if (port.find('/') == std::string::npos)
        port = "/dev/" + port;

    serial_fd = serial_open(port.c_str(), rate, rtscts, xonxoff);
    show_message("Connect to %s at %d bps%s%s", port.c_str(), rate, rtscts ? " (RTSCTS)" : "",
                 xonxoff ? " (XON/XOFF)" : "");

    for (int sig : STOP_SIGNALS)
        mainloop_signal_add(sig, quit_on_sigint, nullptr);
    mainloop_set_stop_signals(STOP_SIGNALS, sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0]);
    set_noncanonical(serial_fd, nullptr);
    termios saved;
    bool restore = set_noncanonical(STDIN_FILENO, &saved) == 0;

    if (mainloop_fd_add(serial_fd, MAINLOOP_READ, serial_input, nullptr) != 0 ||
        mainloop_fd_add(STDIN_FILENO, MAINLOOP_READ, terminal_input, nullptr) != 0) {
        show_error("Error watching the serial port and the terminal");
        exit_status = 1;
    } else {
        mainloop_timer_add(0, 100, poll_modemstatus, nullptr);
        mainloop_run();
    }

    show_message("Exit");
    if (restore)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return exit_status;
}
