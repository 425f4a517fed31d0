// State files of the simulated board. Only system calls and no allocation: the preloaded
// library calls these from inside the program's open, ioctl and close.
#include "boardsim_state.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

int (*boardsim_open_fn)(const char *path, int flags, ...) = open;
int (*boardsim_close_fn)(int fd) = close;

namespace {

constexpr mode_t FILE_MODE = 0644;
constexpr mode_t FOLDER_MODE = 0755;

// Distinguishes temporary files of concurrent writers in one process.
std::atomic<unsigned long> tmp_counter;

// Appends TEXT to OUT at *LEN; false if it does not fit with a terminator.
bool put(char *out, size_t size, size_t *len, const char *text)
{
    size_t n = strlen(text);
    if (*len + n >= size)
        return false;
    memcpy(out + *len, text, n + 1);
    *len += n;
    return true;
}

bool put_number(char *out, size_t size, size_t *len, unsigned long value)
{
    char digits[BOARDSIM_NUMBER_MAX + 1];
    digits[boardsim_format_number(digits, value)] = '\0';
    return put(out, size, len, digits);
}

bool write_all(int fd, const char *text, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

const boardsim_tty_line *boardsim_tty_line_find(const char *name)
{
    for (const boardsim_tty_line &line : boardsim_tty_lines)
        if (strcmp(line.name, name) == 0)
            return &line;
    return nullptr;
}

bool boardsim_key(const char *path, char *out, size_t size)
{
    size_t i = 0;
    for (; path[i] != '\0'; i++) {
        if (i + 1 >= size)
            return false;
        out[i] = path[i] == '/' ? '_' : path[i];
    }
    if (i >= size)
        return false;
    out[i] = '\0';
    return true;
}

bool boardsim_tty_path(char *out, size_t size, const char *dir, const char *key,
                       const char *name)
{
    size_t len = 0;
    if (size == 0)
        return false;
    out[0] = '\0';
    if (!put(out, size, &len, dir) || !put(out, size, &len, "/tty/") ||
        !put(out, size, &len, key))
        return false;
    return name == nullptr || (put(out, size, &len, "/") && put(out, size, &len, name));
}

bool boardsim_mkdirs(const char *folder)
{
    char path[BOARDSIM_PATH_MAX];
    size_t len = strlen(folder);
    if (len == 0 || len >= sizeof path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(path, folder, len + 1);
    // Create each parent in turn: cut the path at every '/' after the first character.
    for (size_t i = 1; i <= len; i++) {
        if (path[i] != '/' && path[i] != '\0')
            continue;
        char saved = path[i];
        path[i] = '\0';
        if (mkdir(path, FOLDER_MODE) != 0 && errno != EEXIST)
            return false;
        path[i] = saved;
    }
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

unsigned long boardsim_read_number(const char *file)
{
    int fd = boardsim_open_fn(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[BOARDSIM_NUMBER_MAX + 1];
    ssize_t n;
    do {
        n = read(fd, text, sizeof text - 1);
    } while (n < 0 && errno == EINTR);
    boardsim_close_fn(fd);
    unsigned long value = 0;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; i++)
        value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    return value;
}

bool boardsim_write_number(const char *file, unsigned long value)
{
    char text[BOARDSIM_NUMBER_MAX + 1];
    size_t n = boardsim_format_number(text, value);
    text[n++] = '\n';
    return boardsim_write_file(file, text, n);
}

bool boardsim_write_file(const char *file, const void *data, size_t size)
{
    char tmp[BOARDSIM_PATH_MAX];
    size_t len = 0;
    tmp[0] = '\0';
    if (!put(tmp, sizeof tmp, &len, file) || !put(tmp, sizeof tmp, &len, ".") ||
        !put_number(tmp, sizeof tmp, &len, static_cast<unsigned long>(getpid())) ||
        !put(tmp, sizeof tmp, &len, ".") ||
        !put_number(tmp, sizeof tmp, &len, tmp_counter.fetch_add(1)) ||
        !put(tmp, sizeof tmp, &len, ".tmp")) {
        errno = ENAMETOOLONG;
        return false;
    }

    int fd = boardsim_open_fn(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, FILE_MODE);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, static_cast<const char *>(data), size);
    int saved = errno;
    if (boardsim_close_fn(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(tmp, file) == 0)
        return true;
    if (ok)
        saved = errno;
    unlink(tmp);
    errno = saved;
    return false;
}

bool boardsim_append(const char *file, const char *text, size_t len)
{
    int fd = boardsim_open_fn(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, FILE_MODE);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, text, len);
    int saved = errno;
    if (boardsim_close_fn(fd) != 0 && ok)
        return false;
    errno = saved;
    return ok;
}

size_t boardsim_format_number(char *out, unsigned long value)
{
    char reversed[BOARDSIM_NUMBER_MAX];
    size_t n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < n; i++)
        out[i] = reversed[n - 1 - i];
    return n;
}

bool boardsim_i2c_path(char *out, size_t size, const char *dir, const char *bus, const char *name,
                       int reg)
{
    size_t len = 0;
    if (size == 0)
        return false;
    out[0] = '\0';
    if (!put(out, size, &len, dir) || !put(out, size, &len, "/i2c/") ||
        !put(out, size, &len, bus))
        return false;
    if (name != nullptr && (!put(out, size, &len, "/") || !put(out, size, &len, name)))
        return false;
    return reg < 0 || (put(out, size, &len, "/") &&
                       put_number(out, size, &len, static_cast<unsigned long>(reg)));
}

bool boardsim_dir_path(char *out, size_t size, const char *dir, const char *name)
{
    size_t len = 0;
    if (size == 0)
        return false;
    out[0] = '\0';
    return put(out, size, &len, dir) && put(out, size, &len, "/") && put(out, size, &len, name);
}

bool boardsim_append_stamp(const char *file, const char *tail)
{
    constexpr long NSEC_PER_USEC = 1000;
    constexpr size_t USEC_DIGITS = 6;
    constexpr size_t TAIL_MAX = 64;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char line[2 * BOARDSIM_NUMBER_MAX + TAIL_MAX + 2];
    size_t len = boardsim_format_number(line, static_cast<unsigned long>(now.tv_sec));
    line[len++] = '.';
    char usec[BOARDSIM_NUMBER_MAX];
    size_t digits =
        boardsim_format_number(usec, static_cast<unsigned long>(now.tv_nsec / NSEC_PER_USEC));
    for (size_t i = digits; i < USEC_DIGITS; i++)
        line[len++] = '0';
    memcpy(line + len, usec, digits);
    len += digits;
    size_t tail_len = strlen(tail);
    if (tail_len > TAIL_MAX) {
        errno = EINVAL;
        return false;
    }
    memcpy(line + len, tail, tail_len);
    len += tail_len;
    line[len++] = '\n';
    return boardsim_append(file, line, len);
}

int boardsim_read_errno(const char *file)
{
    constexpr size_t WORD_MAX = 16;
    int fd = boardsim_open_fn(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char word[WORD_MAX + 1];
    ssize_t n;
    do {
        n = read(fd, word, WORD_MAX);
    } while (n < 0 && errno == EINTR);
    boardsim_close_fn(fd);
    size_t len = 0;
    while (n > 0 && len < static_cast<size_t>(n) && word[len] > ' ')
        len++;
    word[len] = '\0';
    if (len == 0)
        return 0;
    if (word[0] >= '0' && word[0] <= '9') {
        unsigned long value = 0;
        for (size_t i = 0; i < len && word[i] >= '0' && word[i] <= '9' && value < 4096; i++)
            value = value * 10 + static_cast<unsigned long>(word[i] - '0');
        return value < 4096 ? static_cast<int>(value) : EIO;
    }
    for (const boardsim_errno_name &e : boardsim_errno_names)
        if (strcmp(e.name, word) == 0)
            return e.value;
    return EIO;
}

bool boardsim_fail_path(char *out, size_t size, const char *dir, const char *request)
{
    size_t len = 0;
    if (size == 0)
        return false;
    out[0] = '\0';
    return put(out, size, &len, dir) && put(out, size, &len, "/fail/") &&
           put(out, size, &len, request);
}

int boardsim_fault(const char *dir, const char *request)
{
    char file[BOARDSIM_PATH_MAX];
    if (!boardsim_fail_path(file, sizeof file, dir, request))
        return 0;
    return boardsim_read_errno(file);
}

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
constexpr size_t ESCAPED_SIZE = 3;  // "%XX"

bool plain_name_char(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-';
}

int hex_value(char c)
{
    for (int i = 0; i < 16; i++)
        if (HEX_DIGITS[i] == c)
            return i;
    return -1;
}

}  // namespace

bool boardsim_scratch_path(char *out, size_t size, const char *dir, const char *name)
{
    size_t len = 0;
    if (size == 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    out[0] = '\0';
    if (!put(out, size, &len, dir) || !put(out, size, &len, BOARDSIM_SCRATCH_DIR)) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (name == nullptr)
        return true;
    if (*name == '\0') {
        errno = EINVAL;
        return false;
    }
    if (!put(out, size, &len, "/")) {
        errno = ENAMETOOLONG;
        return false;
    }
    size_t start = len;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c != '\0';
         c++) {
        size_t need = plain_name_char(*c) ? 1 : ESCAPED_SIZE;
        if (len + need >= size || len + need - start >= BOARDSIM_SCRATCH_NAME_MAX) {
            errno = ENAMETOOLONG;
            return false;
        }
        if (need == 1) {
            out[len++] = static_cast<char>(*c);
        } else {
            out[len++] = '%';
            out[len++] = HEX_DIGITS[*c >> 4];
            out[len++] = HEX_DIGITS[*c & 0xF];
        }
    }
    out[len] = '\0';
    return true;
}

bool boardsim_scratch_name(const char *file, char *out)
{
    size_t len = 0;
    for (const char *c = file; *c != '\0'; c++) {
        if (len + 1 >= BOARDSIM_SCRATCH_NAME_MAX)
            return false;
        if (plain_name_char(static_cast<unsigned char>(*c))) {
            out[len++] = *c;
            continue;
        }
        int high = *c == '%' ? hex_value(c[1]) : -1;
        int low = high >= 0 ? hex_value(c[2]) : -1;
        if (low < 0 || (high == 0 && low == 0))
            return false;
        out[len++] = static_cast<char>(high << 4 | low);
        c += 2;
    }
    out[len] = '\0';
    return len > 0;
}

bool boardsim_scratch_next(int folder, const char *after, char *out)
{
    constexpr size_t DIRENT_BUFFER = 4096;
    alignas(dirent64) char buffer[DIRENT_BUFFER];
    char name[BOARDSIM_SCRATCH_NAME_MAX];
    bool found = false;
    if (lseek(folder, 0, SEEK_SET) != 0)
        return false;
    for (;;) {
        // The system call itself: getdents64() is a wrapper only newer C libraries have.
        ssize_t n = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const dirent64 *entry = reinterpret_cast<const dirent64 *>(buffer + at);
            at += entry->d_reclen;
            if (!boardsim_scratch_name(entry->d_name, name))
                continue;
            if ((after == nullptr || strcmp(name, after) > 0) &&
                (!found || strcmp(name, out) < 0)) {
                memcpy(out, name, strlen(name) + 1);
                found = true;
            }
        }
    }
    return found;
}
