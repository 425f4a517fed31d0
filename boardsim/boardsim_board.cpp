// The simulated board driver, /dev/brcmboard: the flash scratch pad, entries kept as files.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board_ioctl.h"
#include "boardsim_devices.h"
#include "boardsim_state.h"

namespace {

// Room for a signed decimal number and its sign.
constexpr size_t SIGNED_MAX = BOARDSIM_NUMBER_MAX + 1;

int fail(int error)
{
    errno = error;
    return -1;
}

// The injected failure of REQUEST ("write", "read_len", ...), or 0.
int board_fault(const char *dir, const char *request)
{
    char name[32] = "brcmboard.";
    strncat(name, request, sizeof name - strlen(name) - 1);
    return boardsim_fault(dir, name);
}

// The answer the length query is told to give instead of the entry's; false when there is
// none.
bool forced_length_answer(const char *dir, int *answer)
{
    char file[BOARDSIM_PATH_MAX];
    size_t len = strlen(dir);
    static const char NAME[] = BOARDSIM_LEN_ANSWER;
    if (len + sizeof NAME > sizeof file)
        return false;
    memcpy(file, dir, len);
    memcpy(file + len, NAME, sizeof NAME);
    int fd = boardsim_open_fn(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[SIGNED_MAX + 1];
    ssize_t n = read(fd, text, sizeof text - 1);
    boardsim_close_fn(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    bool negative = text[0] == '-';
    long long value = 0;
    for (const char *c = text + (negative ? 1 : 0); *c >= '0' && *c <= '9'; c++)
        if (value <= LLONG_MAX / 10 - 10)
            value = value * 10 + (*c - '0');
    value = negative ? -value : value;
    *answer = static_cast<int>(value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value);
    return true;
}

// Opens entry KEY for reading; -1 with errno (ENOENT when there is no such entry).
int open_entry(const char *dir, const char *key, off_t *size)
{
    char file[BOARDSIM_PATH_MAX];
    if (!boardsim_scratch_path(file, sizeof file, dir, key))
        return -1;
    int fd = boardsim_open_fn(file, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) != 0) {
        int error = errno;
        boardsim_close_fn(fd);
        return fail(error);
    }
    if (fd >= 0)
        *size = st.st_size;
    return fd;
}

int flash_write(const char *dir, BOARD_IOCTL_PARMS *parms)
{
    if (parms->string == nullptr || (parms->buf == nullptr && parms->offset > 0))
        return fail(EFAULT);
    if (parms->offset < 0)
        return fail(EINVAL);
    char file[BOARDSIM_PATH_MAX];
    if (!boardsim_scratch_path(file, sizeof file, dir, nullptr) || !boardsim_mkdirs(file) ||
        !boardsim_scratch_path(file, sizeof file, dir, parms->string) ||
        !boardsim_write_file(file, parms->buf, static_cast<size_t>(parms->offset)))
        return -1;
    return 0;
}

// Without a buffer, the length query: the entry's length, negated, in result. With one, the
// entry's bytes, as many as it holds up to offset.
int flash_read(const char *dir, BOARD_IOCTL_PARMS *parms)
{
    if (parms->string == nullptr)
        return fail(EFAULT);
    if (parms->buf == nullptr && forced_length_answer(dir, &parms->result))
        return 0;
    off_t size = 0;
    int fd = open_entry(dir, parms->string, &size);
    if (fd < 0)
        return -1;
    if (parms->buf == nullptr) {
        boardsim_close_fn(fd);
        if (size == 0)
            return fail(ENODATA);
        parms->result = size > INT_MAX ? -INT_MAX : -static_cast<int>(size);
        return 0;
    }
    if (parms->offset <= 0) {
        boardsim_close_fn(fd);
        return fail(EINVAL);
    }
    size_t want = size < parms->offset ? static_cast<size_t>(size)
                                       : static_cast<size_t>(parms->offset);
    size_t got = 0;
    int error = EIO;  // the file ended early
    while (got < want) {
        ssize_t n = pread(fd, parms->buf + got, want - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    boardsim_close_fn(fd);
    return got == want ? 0 : fail(error);
}

// The names of the entries in byte order, each followed by a zero byte. Writes as much as
// offset allows and returns the length of the whole list.
int flash_list(const char *dir, BOARD_IOCTL_PARMS *parms)
{
    if (parms->buf == nullptr || parms->offset <= 0)
        return fail(EINVAL);
    char folder_path[BOARDSIM_PATH_MAX];
    if (!boardsim_scratch_path(folder_path, sizeof folder_path, dir, nullptr))
        return -1;
    int folder = boardsim_open_fn(folder_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return fail(ENOENT);
    size_t room = static_cast<size_t>(parms->offset);
    size_t total = 0;
    char name[BOARDSIM_SCRATCH_NAME_MAX];
    char previous[BOARDSIM_SCRATCH_NAME_MAX];
    bool first = true;
    while (boardsim_scratch_next(folder, first ? nullptr : previous, name)) {
        size_t len = strlen(name) + 1;
        for (size_t i = 0; i < len && total + i < room; i++)
            parms->buf[total + i] = name[i];
        total += len;
        memcpy(previous, name, len);
        first = false;
    }
    boardsim_close_fn(folder);
    if (total == 0)
        return fail(ENOENT);
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

// The scratch-pad requests: each can be made to fail from outside, the length query and the
// data request of a read separately. A request that succeeds leaves errno as it was.
int scratch_pad(const char *dir, unsigned long request, BOARD_IOCTL_PARMS *parms)
{
    int saved = errno;
    if (parms == nullptr)
        return fail(EFAULT);
    if (parms->action != SCRATCH_PAD)
        return fail(EINVAL);
    const char *name = request == BOARD_IOCTL_FLASH_WRITE  ? "write"
                       : request == BOARD_IOCTL_FLASH_LIST ? "list"
                       : parms->buf == nullptr             ? "read_len"
                                                           : "read";
    if (int error = board_fault(dir, name))
        return fail(error);
    int r = request == BOARD_IOCTL_FLASH_WRITE  ? flash_write(dir, parms)
            : request == BOARD_IOCTL_FLASH_LIST ? flash_list(dir, parms)
                                                : flash_read(dir, parms);
    if (r != -1)
        errno = saved;
    return r;
}

}  // namespace

int boardsim_board_open(const char *dir)
{
    return board_fault(dir, "open");
}

int boardsim_board_ioctl(const char *dir, int, unsigned long request, void *arg)
{
    if (request == BOARD_IOCTL_DYING_GASP)
        return boardsim_board_dying_gasp(dir);
    switch (request) {
    case BOARD_IOCTL_FLASH_WRITE:
    case BOARD_IOCTL_FLASH_READ:
    case BOARD_IOCTL_FLASH_LIST:
        return scratch_pad(dir, request, static_cast<BOARD_IOCTL_PARMS *>(arg));
    default:
        return fail(ENOTTY);
    }
}
