// Preloaded library standing in for board devices this machine lacks: the modem lines of
// serial devices, the board driver, i2c-dev buses and physical memory, kept as small files under
// $BOARDSIM_DIR.
// Our definitions of open and ioctl must keep their plain names: no header redirection.
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
// Loaded into every process of a test, C++ or not: nothing may come from libstdc++, not even
// the assertion handler that the release build's checks would link in.
#undef _GLIBCXX_ASSERTIONS

#include "boardsim_state.h"
#include "boardsim_devices.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#define BOARDSIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// What a tracked descriptor stands for. Each kind has its own open, ioctl and close handling;
// an untracked descriptor (none) passes every call through. Serial devices are recognised by
// being terminals after the real open; the others by their path, before it.
enum class dev_kind : uint8_t { none, tty, board, i2c, mem };

constexpr int FD_MAX = 1024;
constexpr int DEVICES_MAX = 64;

struct fd_entry {
    std::atomic<dev_kind> kind;
    std::atomic<uint8_t> dev;  // index into devices, valid while kind is not none
};

// A device with tracked descriptors; refs counts them so that the last close is known.
struct device {
    int refs;
    dev_kind kind;
    char key[BOARDSIM_KEY_MAX];
};

fd_entry fds[FD_MAX];
// Written only under table_lock; a slot's key stays put while any descriptor refers to it, so
// the ioctl path reads it without the lock.
device devices[DEVICES_MAX];
std::atomic_flag table_lock = ATOMIC_FLAG_INIT;

// Holds table_lock with signals blocked, so that a signal handler closing a descriptor cannot
// find the lock taken by the code it interrupted.
class table_guard {
public:
    table_guard()
    {
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &saved_);
        while (table_lock.test_and_set(std::memory_order_acquire))
            sched_yield();
    }
    ~table_guard()
    {
        table_lock.clear(std::memory_order_release);
        sigprocmask(SIG_SETMASK, &saved_, nullptr);
    }
    table_guard(const table_guard &) = delete;
    table_guard &operator=(const table_guard &) = delete;

private:
    sigset_t saved_;
};

struct real_functions {
    int (*open)(const char *, int, ...);
    int (*open64)(const char *, int, ...);
    int (*openat)(int, const char *, int, ...);
    int (*openat64)(int, const char *, int, ...);
    int (*open_2)(const char *, int);
    int (*open64_2)(const char *, int);
    int (*openat_2)(int, const char *, int);
    int (*openat64_2)(int, const char *, int);
    int (*close)(int);
    int (*ioctl)(int, unsigned long, ...);
    int (*tcsendbreak)(int, int);
    int (*tcsetattr)(int, int, const termios *);
    void *(*mmap)(void *, size_t, int, int, int, off_t);
    void *(*mmap64)(void *, size_t, int, int, int, off64_t);
};

real_functions real;
std::atomic<int> real_state;  // 0 unresolved, 1 resolving, 2 resolved

template <typename F>
void lookup(F *fn, const char *name)
{
    *fn = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void resolve()
{
    if (real_state.load(std::memory_order_acquire) == 2)
        return;
    int expected = 0;
    if (!real_state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
        while (real_state.load(std::memory_order_acquire) != 2)
            sched_yield();
        return;
    }
    lookup(&real.open, "open");
    lookup(&real.open64, "open64");
    lookup(&real.openat, "openat");
    lookup(&real.openat64, "openat64");
    lookup(&real.open_2, "__open_2");
    lookup(&real.open64_2, "__open64_2");
    lookup(&real.openat_2, "__openat_2");
    lookup(&real.openat64_2, "__openat64_2");
    lookup(&real.close, "close");
    lookup(&real.ioctl, "ioctl");
    lookup(&real.tcsendbreak, "tcsendbreak");
    lookup(&real.tcsetattr, "tcsetattr");
    lookup(&real.mmap, "mmap");
    lookup(&real.mmap64, "mmap64");
    if (real.open != nullptr)
        boardsim_open_fn = real.open;
    if (real.close != nullptr)
        boardsim_close_fn = real.close;
    real_state.store(2, std::memory_order_release);
}

__attribute__((constructor)) void boardsim_init()
{
    resolve();
}

char state_dir[BOARDSIM_PATH_MAX];
std::atomic<int> env_state;  // 0 unread, 1 reading, 2 off, 3 on

// Copies the folder named by the environment to state_dir, made absolute so that a program
// changing its working folder (a daemon does) keeps using the same state; false if unset.
bool read_state_dir()
{
    const char *dir = getenv(BOARDSIM_ENV);
    if (dir == nullptr || *dir == '\0')
        return false;
    size_t len = 0;
    if (*dir != '/') {
        if (getcwd(state_dir, sizeof state_dir) == nullptr)
            return false;
        len = strlen(state_dir);
        if (len > 0 && state_dir[len - 1] != '/')
            state_dir[len++] = '/';
    }
    size_t n = strlen(dir);
    if (len + n >= sizeof state_dir)
        return false;
    memcpy(state_dir + len, dir, n + 1);
    return true;
}

// The state folder, or null when the simulation is off. The environment is read once.
const char *boardsim_dir()
{
    int state = env_state.load(std::memory_order_acquire);
    if (state == 0) {
        if (env_state.compare_exchange_strong(state, 1, std::memory_order_acquire)) {
            state = read_state_dir() ? 3 : 2;
            env_state.store(state, std::memory_order_release);
        }
    }
    while (state == 1) {
        sched_yield();
        state = env_state.load(std::memory_order_acquire);
    }
    return state == 3 ? state_dir : nullptr;
}

int fail(int error)
{
    errno = error;
    return -1;
}

void warn(const char *what, const char *path, const char *why)
{
    iovec parts[] = {
        {const_cast<char *>("boardsim: "), 10},
        {const_cast<char *>(what), strlen(what)},
        {const_cast<char *>(" "), 1},
        {const_cast<char *>(path), strlen(path)},
        {const_cast<char *>(": "), 2},
        {const_cast<char *>(why), strlen(why)},
        {const_cast<char *>("\n"), 1},
    };
    ssize_t ignored = writev(STDERR_FILENO, parts, sizeof parts / sizeof parts[0]);
    (void)ignored;
}

dev_kind kind_of(int fd)
{
    if (fd < 0 || fd >= FD_MAX)
        return dev_kind::none;
    return fds[fd].kind.load(std::memory_order_acquire);
}

const char *key_of(int fd)
{
    return devices[fds[fd].dev.load(std::memory_order_relaxed)].key;
}

// Tracks FD as a descriptor of the device KIND called KEY; false when the table is full.
bool track(int fd, dev_kind kind, const char *key)
{
    table_guard guard;
    int found = -1;
    int free_slot = -1;
    for (int i = 0; i < DEVICES_MAX && found < 0; i++) {
        if (devices[i].refs == 0) {
            if (free_slot < 0)
                free_slot = i;
        } else if (devices[i].kind == kind && strcmp(devices[i].key, key) == 0) {
            found = i;
        }
    }
    if (found < 0) {
        if (free_slot < 0)
            return false;
        found = free_slot;
        devices[found].kind = kind;
        memcpy(devices[found].key, key, strlen(key) + 1);
    }
    devices[found].refs++;
    fds[fd].dev.store(static_cast<uint8_t>(found), std::memory_order_relaxed);
    fds[fd].kind.store(kind, std::memory_order_release);
    return true;
}

// Forgets FD. Returns true when it was the last descriptor of its device, with the device's
// key copied to KEY (room for BOARDSIM_KEY_MAX).
bool untrack(int fd, char *key)
{
    table_guard guard;
    if (fds[fd].kind.load(std::memory_order_relaxed) == dev_kind::none)
        return false;
    device &dev = devices[fds[fd].dev.load(std::memory_order_relaxed)];
    fds[fd].kind.store(dev_kind::none, std::memory_order_release);
    if (--dev.refs > 0)
        return false;
    memcpy(key, dev.key, sizeof dev.key);
    return true;
}

// Serial devices: modem lines as files under DIR/tty/KEY/.

bool tty_file(char *file, size_t size, const char *key, const char *name)
{
    if (boardsim_tty_path(file, size, state_dir, key, name))
        return true;
    errno = ENAMETOOLONG;
    return false;
}

bool tty_set(const char *key, const char *name, unsigned long value)
{
    char file[BOARDSIM_PATH_MAX];
    return tty_file(file, sizeof file, key, name) && boardsim_write_number(file, value);
}

unsigned long tty_get(const char *key, const char *name)
{
    char file[BOARDSIM_PATH_MAX];
    return tty_file(file, sizeof file, key, name) ? boardsim_read_number(file) : 0;
}

// Counts a break and logs its time as "<seconds>.<microseconds>".
bool tty_break(const char *key)
{
    char file[BOARDSIM_PATH_MAX];
    if (!tty_file(file, sizeof file, key, BOARDSIM_TTY_BREAKS) ||
        !boardsim_write_number(file, boardsim_read_number(file) + 1))
        return false;

    return tty_file(file, sizeof file, key, BOARDSIM_TTY_BREAK_LOG) &&
           boardsim_append_stamp(file, "");
}

constexpr struct {
    speed_t speed;
    unsigned long baud;
} tty_speeds[] = {
    {B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},
    {B134, 134},       {B150, 150},       {B200, 200},       {B300, 300},
    {B600, 600},       {B1200, 1200},     {B1800, 1800},     {B2400, 2400},
    {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
#ifdef B500000
    {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
    {B1152000, 1152000}, {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
    {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
#endif
};

// Keeps the line settings of T as the device's own, in the form BOARDSIM_TTY_LINE describes.
bool tty_record_line(const char *key, const termios *t)
{
    char text[BOARDSIM_NUMBER_MAX + 16];
    unsigned long baud = 0;
    speed_t speed = cfgetospeed(t);
    for (const auto &s : tty_speeds)
        if (s.speed == speed)
            baud = s.baud;
    size_t n = boardsim_format_number(text, baud);
    text[n++] = ' ';
    tcflag_t size = t->c_cflag & CSIZE;
    text[n++] = size == CS5 ? '5' : size == CS6 ? '6' : size == CS7 ? '7' : '8';
    char parity = 'N';
    if (t->c_cflag & PARENB) {
        bool odd = (t->c_cflag & PARODD) != 0;
#ifdef CMSPAR
        if (t->c_cflag & CMSPAR)
            parity = odd ? 'M' : 'S';
        else
#endif
            parity = odd ? 'O' : 'E';
    }
    text[n++] = parity;
    text[n++] = (t->c_cflag & CSTOPB) ? '2' : '1';
    if (t->c_cflag & CRTSCTS) {
        memcpy(text + n, " rtscts", 7);
        n += 7;
    }
    text[n++] = '\n';
    char file[BOARDSIM_PATH_MAX];
    return tty_file(file, sizeof file, key, BOARDSIM_TTY_LINE) &&
           boardsim_write_file(file, text, n);
}

// A pty refuses a change of parity or character size alone (and drops them from any other
// change): true when the device FD took everything of T but those.
bool tty_took_all_but_framing(int fd, const termios *t)
{
    constexpr tcflag_t framing = CSIZE | PARENB | PARODD
#ifdef CMSPAR
                                 | CMSPAR
#endif
        ;
    termios now;
    if (tcgetattr(fd, &now) != 0)
        return false;
    return now.c_iflag == t->c_iflag && now.c_oflag == t->c_oflag && now.c_lflag == t->c_lflag &&
           (now.c_cflag & ~framing) == (t->c_cflag & ~framing) &&
           cfgetospeed(&now) == cfgetospeed(t) && cfgetispeed(&now) == cfgetispeed(t);
}

void tty_opened(int fd, const char *path)
{
    char key[BOARDSIM_KEY_MAX];
    char folder[BOARDSIM_PATH_MAX];
    if (!boardsim_key(path, key, sizeof key) ||
        !boardsim_tty_path(folder, sizeof folder, state_dir, key, nullptr)) {
        warn("not simulating", path, "path too long");
        return;
    }
    if (!boardsim_mkdirs(folder)) {
        warn("cannot create", folder, strerror(errno));
        return;
    }
    if (!track(fd, dev_kind::tty, key)) {
        warn("not simulating", path, "too many devices");
        return;
    }
    // Like the serial driver, every open raises DTR and RTS.
    if (!tty_set(key, "dtr", 1) || !tty_set(key, "rts", 1))
        warn("cannot write the lines of", path, strerror(errno));
}

void tty_close(int fd)
{
    // The termios flags must be read while the descriptor is still open.
    termios tio;
    bool hupcl = tcgetattr(fd, &tio) == 0 && (tio.c_cflag & HUPCL) != 0;
    char key[BOARDSIM_KEY_MAX];
    if (untrack(fd, key) && hupcl) {
        tty_set(key, "dtr", 0);
        tty_set(key, "rts", 0);
    }
}

int tty_ioctl(int fd, unsigned long request, void *arg)
{
    const char *key = key_of(fd);
    int saved = errno;
    switch (request) {
    case TIOCMGET: {
        if (arg == nullptr)
            return fail(EFAULT);
        if (tty_get(key, BOARDSIM_TTY_FAIL_TIOCMGET) != 0)
            return fail(EIO);
        int mask = 0;
        for (const boardsim_tty_line &line : boardsim_tty_lines)
            if (tty_get(key, line.name) != 0)
                mask |= line.bit;
        *static_cast<int *>(arg) = mask;
        break;
    }
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: {
        if (arg == nullptr)
            return fail(EFAULT);
        if (tty_get(key, BOARDSIM_TTY_FAIL_TIOCMSET) != 0)
            return fail(EIO);
        int bits = *static_cast<const int *>(arg);
        for (const boardsim_tty_line &line : boardsim_tty_lines) {
            if (line.external || (request != TIOCMSET && (bits & line.bit) == 0))
                continue;
            bool on = request == TIOCMSET ? (bits & line.bit) != 0 : request == TIOCMBIS;
            if (!tty_set(key, line.name, on ? 1 : 0))
                return fail(EIO);
        }
        break;
    }
    case TCSBRK:
        // A nonzero argument asks only to wait until the output is sent.
        if (reinterpret_cast<uintptr_t>(arg) != 0)
            return real.ioctl(fd, request, arg);
        [[fallthrough]];
    case TCSBRKP:
    case TIOCSBRK:
        if (!tty_break(key))
            return fail(EIO);
        break;
    case TIOCCBRK:
        break;
    default:
        return real.ioctl(fd, request, arg);
    }
    errno = saved;
    return 0;
}

// A new descriptor whose number we still track was closed behind our back (dup2, fclose) and
// reused: forget what we knew about the old one, a bus's slave address included.
void forget_stale(int fd)
{
    dev_kind kind = kind_of(fd);
    if (kind == dev_kind::none)
        return;
    if (kind == dev_kind::i2c)
        boardsim_i2c_close(fd);
    char key[BOARDSIM_KEY_MAX];
    untrack(fd, key);
}

// Called with the result of every open: decides whether the new descriptor is a device we
// simulate. Kinds recognised by path before the real open is tried will slot in beside this.
int opened(int fd, const char *path)
{
    if (fd < 0 || fd >= FD_MAX || path == nullptr || boardsim_dir() == nullptr)
        return fd;
    int saved = errno;
    forget_stale(fd);
    if (isatty(fd))
        tty_opened(fd, path);
    errno = saved;
    return fd;
}

constexpr char BOARD_PATH[] = "/dev/brcmboard";
constexpr char I2C_PREFIX[] = "/dev/i2c-";
constexpr char MEM_PATH[] = "/dev/mem";
constexpr off64_t MEM_SIZE = off64_t{1} << 32;
constexpr size_t DEV_PREFIX_LEN = 5;  // "/dev/"

bool is_i2c_bus(const char *path)
{
    if (strncmp(path, I2C_PREFIX, sizeof I2C_PREFIX - 1) != 0)
        return false;
    const char *n = path + sizeof I2C_PREFIX - 1;
    if (*n == '\0')
        return false;
    for (; *n != '\0'; n++)
        if (*n < '0' || *n > '9')
            return false;
    return true;
}

// Opens a device recognised by its path instead of the real one: true when PATH is such a
// device (the result, a descriptor or -1 with errno, is then in *RESULT). The board driver and
// the buses are backed by a descriptor of /dev/null, physical memory by a sparse file.
bool simulated_open(const char *path, int flags, int *result)
{
    const char *dir = path != nullptr ? boardsim_dir() : nullptr;
    if (dir == nullptr)
        return false;
    dev_kind kind;
    int error;
    if (strcmp(path, BOARD_PATH) == 0) {
        kind = dev_kind::board;
        error = boardsim_board_open(dir);
    } else if (is_i2c_bus(path)) {
        kind = dev_kind::i2c;
        error = boardsim_i2c_open(dir, path + DEV_PREFIX_LEN);
    } else if (strcmp(path, MEM_PATH) == 0) {
        kind = dev_kind::mem;
        error = boardsim_mem_open(dir);
    } else {
        return false;
    }
    if (error != 0) {
        *result = fail(error);
        return true;
    }

    int fd;
    if (kind == dev_kind::mem) {
        char file[BOARDSIM_PATH_MAX];
        if (!boardsim_mem_file(dir, file, sizeof file)) {
            *result = fail(ENAMETOOLONG);
            return true;
        }
        if (!boardsim_mkdirs(dir)) {
            *result = -1;
            return true;
        }
        fd = real.open(file, (flags & (O_ACCMODE | O_CLOEXEC | O_SYNC)) | O_CREAT, 0644);
        // The whole 32-bit physical address space, as a hole until written: any window maps.
        struct stat64 st;
        if (fd >= 0 && fstat64(fd, &st) == 0 && st.st_size < MEM_SIZE &&
            ftruncate64(fd, MEM_SIZE) != 0) {
            int truncate_error = errno;
            real.close(fd);
            *result = fail(truncate_error);
            return true;
        }
    } else {
        fd = real.open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    }
    if (fd < 0) {
        *result = -1;
        return true;
    }
    if (fd < FD_MAX)
        forget_stale(fd);
    if (fd >= FD_MAX || !track(fd, kind, path + DEV_PREFIX_LEN)) {
        real.close(fd);
        *result = fail(ENFILE);
        return true;
    }
    *result = fd;
    return true;
}

mode_t mode_arg(int flags, va_list ap)
{
    bool with_mode = (flags & O_CREAT) != 0;
#ifdef O_TMPFILE
    // A C library without the flag (uClibc-ng) reads no mode for it either.
    with_mode = with_mode || (flags & O_TMPFILE) == O_TMPFILE;
#endif
    if (with_mode)
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}

// Whether a mapping of FD goes ahead: false, with errno set, when it is to be refused.
bool mapping_allowed(int fd)
{
    int error = kind_of(fd) == dev_kind::mem ? boardsim_mem_mmap(state_dir) : 0;
    if (error != 0)
        errno = error;
    return error == 0;
}

}  // namespace

BOARDSIM_EXPORT int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    resolve();
    if (real.open == nullptr)
        return fail(ENOSYS);
    int sim;
    if (simulated_open(path, flags, &sim))
        return sim;
    return opened(real.open(path, flags, mode), path);
}

BOARDSIM_EXPORT int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    resolve();
    if (real.open64 == nullptr)
        return fail(ENOSYS);
    int sim;
    if (simulated_open(path, flags, &sim))
        return sim;
    return opened(real.open64(path, flags, mode), path);
}

BOARDSIM_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    resolve();
    if (real.openat == nullptr)
        return fail(ENOSYS);
    int sim;
    if (simulated_open(path, flags, &sim))
        return sim;
    return opened(real.openat(dirfd, path, flags, mode), path);
}

BOARDSIM_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    resolve();
    if (real.openat64 == nullptr)
        return fail(ENOSYS);
    int sim;
    if (simulated_open(path, flags, &sim))
        return sim;
    return opened(real.openat64(dirfd, path, flags, mode), path);
}

// The checked variants that fortified builds call when the flags are not known at compile time.
BOARDSIM_EXPORT int __open_2(const char *path, int flags)
{
    resolve();
    if (real.open_2 == nullptr)
        return fail(ENOSYS);
    int sim;
    if (simulated_open(path, flags, &sim))
        return sim;
    return opened(real.open_2(path, flags), path);
}

BOARDSIM_EXPORT int __open64_2(const char *path, int flags)
{
    resolve();
    if (real.open64_2 == nullptr)
        return fail(ENOSYS);
    int sim;
    if (simulated_open(path, flags, &sim))
        return sim;
    return opened(real.open64_2(path, flags), path);
}

BOARDSIM_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
    resolve();
    if (real.openat_2 == nullptr)
        return fail(ENOSYS);
    int sim;
    if (simulated_open(path, flags, &sim))
        return sim;
    return opened(real.openat_2(dirfd, path, flags), path);
}

BOARDSIM_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
    resolve();
    if (real.openat64_2 == nullptr)
        return fail(ENOSYS);
    int sim;
    if (simulated_open(path, flags, &sim))
        return sim;
    return opened(real.openat64_2(dirfd, path, flags), path);
}

BOARDSIM_EXPORT int close(int fd)
{
    resolve();
    if (real.close == nullptr)
        return fail(ENOSYS);
    // Forget the descriptor before the real close frees its number for reuse.
    switch (kind_of(fd)) {
    case dev_kind::tty: {
        int saved = errno;
        tty_close(fd);
        errno = saved;
        break;
    }
    case dev_kind::i2c:
        boardsim_i2c_close(fd);
        [[fallthrough]];
    case dev_kind::board:
    case dev_kind::mem: {
        char key[BOARDSIM_KEY_MAX];
        untrack(fd, key);
        break;
    }
    case dev_kind::none:
        break;
    }
    return real.close(fd);
}

BOARDSIM_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    resolve();
    if (real.ioctl == nullptr)
        return fail(ENOSYS);
    switch (kind_of(fd)) {
    case dev_kind::tty:
        return tty_ioctl(fd, request, arg);
    case dev_kind::board:
        return boardsim_board_ioctl(state_dir, fd, request, arg);
    case dev_kind::i2c:
        return boardsim_i2c_ioctl(state_dir, key_of(fd), fd, request, arg);
    case dev_kind::mem:
    case dev_kind::none:
        break;
    }
    return real.ioctl(fd, request, arg);
}

BOARDSIM_EXPORT int tcsendbreak(int fd, int duration) noexcept
{
    resolve();
    if (real.tcsendbreak == nullptr)
        return fail(ENOSYS);
    if (kind_of(fd) == dev_kind::tty) {
        int saved = errno;
        if (!tty_break(key_of(fd)))
            return fail(EIO);
        errno = saved;
        return 0;
    }
    return real.tcsendbreak(fd, duration);
}

// A serial device keeps parity and character size where a pty cannot: the settings are
// recorded, and a change that only the pty's framing refused succeeds.
BOARDSIM_EXPORT int tcsetattr(int fd, int actions, const termios *t) noexcept
{
    resolve();
    if (real.tcsetattr == nullptr)
        return fail(ENOSYS);
    int result = real.tcsetattr(fd, actions, t);
    if (kind_of(fd) != dev_kind::tty || t == nullptr)
        return result;
    int saved = errno;
    if (result != 0 && saved == EINVAL && tty_took_all_but_framing(fd, t))
        result = 0;
    if (result == 0 && !tty_record_line(key_of(fd), t))
        warn("cannot record the line settings of", key_of(fd), strerror(errno));
    errno = saved;
    return result;
}

// Mappings of physical memory can be refused from outside. Every other mapping, in every
// process the library is loaded into, goes straight on to the C library.
BOARDSIM_EXPORT void *mmap(void *addr, size_t length, int prot, int flags, int fd,
                           off_t offset) noexcept
{
    resolve();
    if (real.mmap == nullptr) {
        errno = ENOSYS;
        return MAP_FAILED;
    }
    if (!mapping_allowed(fd))
        return MAP_FAILED;
    return real.mmap(addr, length, prot, flags, fd, offset);
}

BOARDSIM_EXPORT void *mmap64(void *addr, size_t length, int prot, int flags, int fd,
                             off64_t offset) noexcept
{
    resolve();
    if (real.mmap64 == nullptr) {
        errno = ENOSYS;
        return MAP_FAILED;
    }
    if (!mapping_allowed(fd))
        return MAP_FAILED;
    return real.mmap64(addr, length, prot, flags, fd, offset);
}
