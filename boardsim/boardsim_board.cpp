// The simulated board driver, /dev/brcmboard.
#include <errno.h>

#include "boardsim_devices.h"
#include "board_ioctl.h"

int boardsim_board_open(const char *)
{
    return 0;
}

int boardsim_board_ioctl(const char *dir, int, unsigned long request, void *)
{
    if (request == BOARD_IOCTL_DYING_GASP)
        return boardsim_board_dying_gasp(dir);
    errno = ENOTTY;
    return -1;
}
