// A settable wall clock: while $BOARDSIM_DIR/clock exists, time() answers the seconds it holds,
// so that a test can pick the date a program sees. Every other clock is left alone.
// Our definition of time must keep its plain name: no header redirection.
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include "boardsim_state.h"

extern "C" __attribute__((visibility("default"))) time_t time(time_t *out) noexcept
{
    time_t now;
    const char *dir = getenv(BOARDSIM_ENV);
    char file[BOARDSIM_PATH_MAX];
    struct stat st;
    if (dir != nullptr && *dir != '\0' && boardsim_dir_path(file, sizeof file, dir, BOARDSIM_CLOCK) &&
        stat(file, &st) == 0) {
        now = static_cast<time_t>(boardsim_read_number(file));
    } else {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (out != nullptr)
        *out = now;
    return now;
}
