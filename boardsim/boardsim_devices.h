// Devices the simulated board recognises by path before any real open: the board driver, i2c-dev
// buses and physical memory. Each decides whether an open succeeds and answers the requests of
// its descriptors. Called from inside the program's open, ioctl and close: system calls only,
// no allocation, state in files under the state folder DIR.
#pragma once

#include <stddef.h>

// The board driver, /dev/brcmboard. Open: 0 to let it succeed, or an errno value to fail with.
int boardsim_board_open(const char *dir);
// Answers REQUEST with ARG on a descriptor of the board driver; the ioctl result, errno set on -1.
int boardsim_board_ioctl(const char *dir, int fd, unsigned long request, void *arg);
// The dying-gasp request: logged with its time in DIR; 0, or -1 with errno set.
int boardsim_board_dying_gasp(const char *dir);

// An i2c-dev bus; BUS is the device name without "/dev/" (for example "i2c-0"). Only buses the
// state folder knows are simulated; the machine's own buses are never opened.
int boardsim_i2c_open(const char *dir, const char *bus);
int boardsim_i2c_ioctl(const char *dir, const char *bus, int fd, unsigned long request, void *arg);
// The descriptor FD of an i2c bus is being closed.
void boardsim_i2c_close(int fd);

// Physical memory, /dev/mem: the path of the sparse file standing in for it (false if it does
// not fit), and 0 or an errno value for an open.
bool boardsim_mem_file(const char *dir, char *out, size_t size);
int boardsim_mem_open(const char *dir);
// 0 to let a mapping of /dev/mem go ahead, or an errno value to refuse it with.
int boardsim_mem_mmap(const char *dir);
