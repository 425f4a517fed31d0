// The board driver's dying-gasp request: each one is logged with its time.
#include <errno.h>
#include <string.h>

#include "boardsim_devices.h"
#include "boardsim_state.h"

int boardsim_board_dying_gasp(const char *dir)
{
    char file[BOARDSIM_PATH_MAX];
    if (!boardsim_dir_path(file, sizeof file, dir, BOARDSIM_GASP_LOG)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // The log's folder: the file path cut at its last '/'.
    char folder[BOARDSIM_PATH_MAX];
    size_t len = static_cast<size_t>(strrchr(file, '/') - file);
    memcpy(folder, file, len);
    folder[len] = '\0';
    if (!boardsim_mkdirs(folder) || !boardsim_append_stamp(file, ""))
        return -1;
    return 0;
}
