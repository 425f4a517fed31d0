// The simulated board driver, /dev/brcmboard.
#include <errno.h>

#include "boardsim_devices.h"

int boardsim_board_open(const char *)
{
    return 0;
}

int boardsim_board_ioctl(const char *, int, unsigned long, void *)
{
    errno = ENOTTY;
    return -1;
}
