// Included ahead of lua/jotter_c.cpp in jotter_fuzz only: the module's open, ioctl and close
// calls go to the fake board driver of the fuzz target (jotter_fuzz.cpp). The system headers
// come first, so that their own declarations keep the real names.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int fake_board_open(const char *path, int flags);
int fake_board_ioctl(int fd, unsigned long request, void *arg);
int fake_board_close(int fd);

#define open(...) fake_board_open(__VA_ARGS__)
#define ioctl(...) fake_board_ioctl(__VA_ARGS__)
#define close(...) fake_board_close(__VA_ARGS__)
