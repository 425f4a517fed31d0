// Simulated i2c-dev buses.
#include <errno.h>

#include "boardsim_devices.h"

int boardsim_i2c_open(const char *, const char *)
{
    return ENOENT;
}

int boardsim_i2c_ioctl(const char *, const char *, int, unsigned long, void *)
{
    errno = ENOTTY;
    return -1;
}

void boardsim_i2c_close(int)
{
}
