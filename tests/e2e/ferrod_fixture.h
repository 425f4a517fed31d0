// Starts ferrod on a pseudo-terminal with a generated configuration, under the simulated board.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

// This thread, and the programs it starts, in a network namespace of its own with only the
// loopback up, so that a test may change the network (routes, socket buffer sizes) without
// touching the machine's, and no name lookup leaves it; the thread goes back to its own
// namespace at the end. REFUSED says why there is none (not root), empty when there is.
struct PrivateNetwork {
    int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    std::string refused;
    PrivateNetwork()
    {
        if (unshare(CLONE_NEWNET) != 0)
            refused = std::string("unshare: ") + strerror(errno);
        else if (ip({"link", "set", "lo", "up"}) != 0)
            refused = "ip link set lo up failed";
    }
    ~PrivateNetwork()
    {
        setns(home, CLONE_NEWNET);
        close(home);
    }
    static int ip(std::vector<std::string> args)
    {
        args.insert(args.begin(), "ip");
        harness::Process p(args, {}, false);
        return p.wait_exit(harness::ms(5000));
    }
};

struct Ferrod {
    harness::TempDir dir;
    harness::Pty pty;
    int port = harness::free_port(SOCK_STREAM);
    std::vector<std::string> env;     // more variables for the daemon
    std::vector<std::string> wrapper; // a command the daemon runs under (valgrind)
    std::unique_ptr<harness::Process> proc;

    std::string conf_path() const { return dir.file("tarvix.conf"); }
    std::string stats_path() const { return dir.file("stats"); }
    std::string boardsim_dir() const { return dir.file("board"); }

    // Writes the configuration (LEDs off unless the text turns them on) and starts the daemon
    // at debug level on the pty, with the statistics file in the test's folder.
    void start(const std::string &conf, std::vector<std::string> args = {})
    {
        harness::write_file(conf_path(), "ferrod_do_leds=\"0\"\nferrod_port=\"" +
                                             std::to_string(port) + "\"\n" + conf);
        std::vector<std::string> argv = wrapper;
        argv.insert(argv.end(), {FERROD_BIN, "-c", conf_path(), "-s", stats_path(), "-l", "4"});
        bool has_device = false;
        for (const auto &a : args)
            has_device |= a == "-d";
        if (!has_device) {
            argv.push_back("-d");
            argv.push_back(pty.slave);
        }
        argv.insert(argv.end(), args.begin(), args.end());
        mkdir(boardsim_dir().c_str(), 0755);
        std::vector<std::string> vars{"LD_PRELOAD=" BOARDSIM_LIB, "BOARDSIM_DIR=" + boardsim_dir(),
                                      "ASAN_OPTIONS=verify_asan_link_order=0"};
        vars.insert(vars.end(), env.begin(), env.end());
        proc = std::make_unique<harness::Process>(argv, vars);
    }

    int wait(const std::string &text, int ms = 5000, size_t from = 0)
    {
        return proc->wait_line(text, harness::ms(ms), from);
    }

    void start_server(const std::string &conf = "", std::vector<std::string> args = {})
    {
        start("ferrod_mode=\"1\"\n" + conf, args);
        ASSERT_GE(wait("TCP server listening on port"), 0) << proc->all_lines();
        // Set up completely: descriptors counted from here on are the idle daemon's.
        ASSERT_GE(wait("[dbg] main       Mainloop starting"), 0) << proc->all_lines();
    }

    // Connects and waits until the daemon has taken the connection as client `id`.
    int connect_client(int id)
    {
        int fd = harness::tcp_connect(port);
        EXPECT_GE(fd, 0);
        EXPECT_GE(wait("TCP client accepted " + std::to_string(id) + " from 127.0.0.1"), 0)
            << proc->all_lines();
        return fd;
    }

    // The simulated board's folder for a device (the primary pty by default).
    std::string device_dir(const std::string &device = "") const
    {
        std::string key = device.empty() ? pty.slave : device;
        for (auto &ch : key)
            if (ch == '/')
                ch = '_';
        return boardsim_dir() + "/tty/" + key;
    }
    // A modem line as the simulated board holds it: "0", "1", or "" before it exists.
    std::string line(const std::string &name, const std::string &device = "") const
    {
        return harness::read_file(device_dir(device) + "/" + name).substr(0, 1);
    }
    // Sets an input line (cts, dcd, dsr, ri) of the primary device from outside.
    void set_line(const std::string &name, int value) const
    {
        std::string d = device_dir();
        for (const std::string &path : {boardsim_dir(), boardsim_dir() + "/tty", d})
            mkdir(path.c_str(), 0755);
        harness::write_file(d + "/" + name + ".tmp", std::to_string(value) + "\n");
        rename((d + "/" + name + ".tmp").c_str(), (d + "/" + name).c_str());
    }

    // A new connection is taken and data flows both ways on it. Its byte on the port shows
    // the daemon has taken this very connection (earlier clients' bytes may come first).
    void expect_serves_new_client()
    {
        int c = harness::tcp_connect(port, harness::ms(3000));
        ASSERT_GE(c, 0);
        harness::send_all(c, "!");
        std::string seen;
        ASSERT_TRUE(harness::eventually([&] {
            seen += pty.read_quiet(harness::ms(50), harness::ms(200));
            return seen.find('!') != std::string::npos;
        }, harness::ms(5000))) << proc->all_lines();
        pty.write("still here");
        EXPECT_EQ(harness::recv_bytes(c, 10, harness::ms(3000)), "still here");
        close(c);
    }

    std::string stats() { return harness::read_file(stats_path()); }

    // A daemon still running at the end must shut down cleanly: status 0, and under the
    // sanitizers nothing leaked.
    ~Ferrod()
    {
        if (proc && proc->running()) {
            proc->signal(SIGTERM);
            EXPECT_EQ(proc->wait_exit(harness::ms(5000)), 0) << proc->all_lines();
        }
    }
};
