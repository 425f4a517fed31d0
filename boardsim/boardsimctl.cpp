// boardsimctl: reads and sets the state of the simulated board from outside the programs.
#include "boardsim_state.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

const char USAGE[] =
    "usage: boardsimctl COMMAND ...\n"
    "  tty PATH                      show the modem lines and break count of serial device PATH\n"
    "  tty PATH get LINE             print one of: dtr rts cts dcd dsr ri breaks, or line\n"
    "                                (the line settings the program gave, as 9600 8E1)\n"
    "  tty PATH set LINE=V [...]     set input lines (cts dcd dsr ri) to V (0 or 1)\n"
    "  i2c BUS                       show the reset controller on bus BUS (/dev/i2c-N)\n"
    "  i2c BUS add                   make the bus exist (a controller with every register 0)\n"
    "  i2c BUS get REG               print register REG (0 to 255)\n"
    "  i2c BUS set REG=V [...]       set registers to V (0 to 255, decimal or 0x hex)\n"
    "  i2c BUS fail open|address [E] make opening the bus or addressing 0x10 fail\n"
    "  i2c BUS fail read|write REG [E]\n"
    "                                make reading or writing register REG fail\n"
    "  i2c BUS log                   print the command bytes written to register 0\n"
    "  gasp                          print the times of the dying-gasp requests\n"
    "  board                         list the scratch-pad entries: size in bytes and name\n"
    "  board put NAME [FILE]         store FILE (default: standard input) as entry NAME\n"
    "  board show NAME               write the bytes of entry NAME to standard output\n"
    "  board answer N|off            the length query answers N for every entry, or as usual\n"
    "  fail REQUEST ERRNO            make REQUEST fail with errno value ERRNO (0: succeed), one of\n"
    "                                mem.open mem.mmap brcmboard.open brcmboard.write\n"
    "                                brcmboard.read_len brcmboard.read brcmboard.list\n"
    "  help                          show this text\n"
    "PATH is the device path exactly as the program opens it, NAME a scratch-pad entry. E and\n"
    "ERRNO are an errno name (EIO, ENXIO, ETIMEDOUT, ...) or number; 0 ends the fault. The state\n"
    "lives in $" BOARDSIM_ENV ".\n";

__attribute__((format(printf, 1, 2))) int fail(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fputs("boardsimctl: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
    return 1;
}

// Reads all of FD into OUT; false (errno set) on a read error.
bool read_all(int fd, std::string *out)
{
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out->append(chunk, static_cast<size_t>(n));
    }
}

// Builds the path of NAME in the folder of the device opened as PATH.
bool tty_file(char *file, size_t size, const char *dir, const char *path, const char *name)
{
    char key[BOARDSIM_KEY_MAX];
    return boardsim_key(path, key, sizeof key) && boardsim_tty_path(file, size, dir, key, name);
}

int tty_show(const char *dir, const char *path)
{
    char file[BOARDSIM_PATH_MAX];
    for (const boardsim_tty_line &line : boardsim_tty_lines) {
        if (!tty_file(file, sizeof file, dir, path, line.name))
            return fail("path too long: %s", path);
        printf("%s=%d ", line.label, boardsim_read_number(file) != 0 ? 1 : 0);
    }
    if (!tty_file(file, sizeof file, dir, path, BOARDSIM_TTY_BREAKS))
        return fail("path too long: %s", path);
    printf("breaks=%lu\n", boardsim_read_number(file));
    return 0;
}

int tty_get(const char *dir, const char *path, const char *name)
{
    if (strcmp(name, BOARDSIM_TTY_LINE) == 0) {
        char file[BOARDSIM_PATH_MAX];
        if (!tty_file(file, sizeof file, dir, path, name))
            return fail("path too long: %s", path);
        std::string text;
        int fd = open(file, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            read_all(fd, &text);
            close(fd);
        }
        printf("%s", text.empty() ? "unset\n" : text.c_str());
        return 0;
    }
    bool breaks = strcmp(name, BOARDSIM_TTY_BREAKS) == 0;
    if (!breaks && boardsim_tty_line_find(name) == nullptr)
        return fail("unknown line '%s' (dtr rts cts dcd dsr ri breaks line)", name);
    char file[BOARDSIM_PATH_MAX];
    if (!tty_file(file, sizeof file, dir, path, name))
        return fail("path too long: %s", path);
    unsigned long value = boardsim_read_number(file);
    printf("%lu\n", breaks ? value : (value != 0 ? 1UL : 0UL));
    return 0;
}

// The settable line named by "LINE=V" in ARG, with V stored in *VALUE; null (after a message)
// when ARG is not such an assignment.
const boardsim_tty_line *parse_assignment(const char *arg, unsigned long *value)
{
    const char *eq = strchr(arg, '=');
    if (eq == nullptr) {
        fail("expected LINE=V, got '%s'", arg);
        return nullptr;
    }
    int len = static_cast<int>(eq - arg);
    const boardsim_tty_line *found = nullptr;
    for (const boardsim_tty_line &line : boardsim_tty_lines)
        if (strncmp(line.name, arg, static_cast<size_t>(len)) == 0 && line.name[len] == '\0')
            found = &line;
    if (found == nullptr || !found->external) {
        fail("'%.*s' cannot be set: the settable lines are cts dcd dsr ri", len, arg);
        return nullptr;
    }
    if (strcmp(eq + 1, "0") != 0 && strcmp(eq + 1, "1") != 0) {
        fail("value of %s must be 0 or 1, got '%s'", found->name, eq + 1);
        return nullptr;
    }
    *value = eq[1] == '1' ? 1 : 0;
    return found;
}

// Sets every LINE=V of ARGS; checks them all before writing any.
int tty_set(const char *dir, const char *path, int count, char **args)
{
    if (count == 0)
        return fail("set needs LINE=V");
    unsigned long value;
    for (int i = 0; i < count; i++)
        if (parse_assignment(args[i], &value) == nullptr)
            return 1;
    char file[BOARDSIM_PATH_MAX];
    if (!tty_file(file, sizeof file, dir, path, nullptr))
        return fail("path too long: %s", path);
    if (!boardsim_mkdirs(file))
        return fail("cannot create %s: %s", file, strerror(errno));
    for (int i = 0; i < count; i++) {
        const boardsim_tty_line *line = parse_assignment(args[i], &value);
        if (!tty_file(file, sizeof file, dir, path, line->name) ||
            !boardsim_write_number(file, value))
            return fail("cannot write %s: %s", file, strerror(errno));
    }
    return 0;
}

int tty_command(int argc, char **argv)
{
    if (argc < 3)
        return fail("tty needs PATH (see boardsimctl help)");
    const char *dir = getenv(BOARDSIM_ENV);
    if (dir == nullptr || *dir == '\0')
        return fail(BOARDSIM_ENV " is not set: it names the simulated board's state folder");
    const char *path = argv[2];
    if (argc == 3)
        return tty_show(dir, path);
    const char *action = argv[3];
    if (strcmp(action, "get") == 0) {
        if (argc != 5)
            return fail("usage: boardsimctl tty PATH get LINE");
        return tty_get(dir, path, argv[4]);
    }
    if (strcmp(action, "set") == 0)
        return tty_set(dir, path, argc - 4, argv + 4);
    return fail("unknown tty action '%s' (get, set)", action);
}

// The board driver's scratch pad.

int board_list(const char *dir)
{
    char folder_path[BOARDSIM_PATH_MAX];
    if (!boardsim_scratch_path(folder_path, sizeof folder_path, dir, nullptr))
        return fail("path too long: %s", dir);
    int folder = open(folder_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return errno == ENOENT ? 0 : fail("%s: %s", folder_path, strerror(errno));
    char name[BOARDSIM_SCRATCH_NAME_MAX];
    char previous[BOARDSIM_SCRATCH_NAME_MAX] = "";
    while (boardsim_scratch_next(folder, previous[0] != '\0' ? previous : nullptr, name)) {
        char file[BOARDSIM_PATH_MAX];
        struct stat st;
        if (boardsim_scratch_path(file, sizeof file, dir, name) && stat(file, &st) == 0)
            printf("%lld %s\n", static_cast<long long>(st.st_size), name);
        memcpy(previous, name, sizeof name);
    }
    close(folder);
    return 0;
}

int board_put(const char *dir, const char *name, const char *source)
{
    int fd = source != nullptr ? open(source, O_RDONLY | O_CLOEXEC) : STDIN_FILENO;
    if (fd < 0)
        return fail("%s: %s", source, strerror(errno));
    std::string data;
    bool ok = read_all(fd, &data);
    int error = errno;
    if (fd != STDIN_FILENO)
        close(fd);
    if (!ok)
        return fail("%s: %s", source != nullptr ? source : "standard input", strerror(error));
    char file[BOARDSIM_PATH_MAX];
    if (!boardsim_scratch_path(file, sizeof file, dir, nullptr) || !boardsim_mkdirs(file))
        return fail("cannot create %s: %s", file, strerror(errno));
    if (!boardsim_scratch_path(file, sizeof file, dir, name))
        return fail("bad entry name '%s': %s", name, strerror(errno));
    if (!boardsim_write_file(file, data.data(), data.size()))
        return fail("cannot write %s: %s", file, strerror(errno));
    return 0;
}

int board_show(const char *dir, const char *name)
{
    char file[BOARDSIM_PATH_MAX];
    if (!boardsim_scratch_path(file, sizeof file, dir, name))
        return fail("bad entry name '%s': %s", name, strerror(errno));
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return fail("no entry '%s'", name);
    if (fd < 0)
        return fail("cannot read entry '%s': %s", name, strerror(errno));
    std::string data;
    bool ok = read_all(fd, &data);
    close(fd);
    if (!ok)
        return fail("cannot read entry '%s': %s", name, strerror(errno));
    fwrite(data.data(), 1, data.size(), stdout);
    return 0;
}

// Parses a whole decimal number, optionally signed, within [MIN, MAX].
bool parse_number(const char *text, long long min, long long max, long long *value)
{
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return false;
    *value = v;
    return true;
}

int board_answer(const char *dir, const char *value)
{
    char file[BOARDSIM_PATH_MAX];
    int n = snprintf(file, sizeof file, "%s" BOARDSIM_LEN_ANSWER, dir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof file)
        return fail("path too long: %s", dir);
    if (strcmp(value, "off") == 0) {
        if (unlink(file) != 0 && errno != ENOENT)
            return fail("cannot remove %s: %s", file, strerror(errno));
        return 0;
    }
    long long answer;
    if (!parse_number(value, INT_MIN, INT_MAX, &answer))
        return fail("answer must be a whole number from %d to %d, or off: '%s'", INT_MIN, INT_MAX,
                    value);
    std::string text = std::to_string(answer) + "\n";
    char folder[BOARDSIM_PATH_MAX];
    snprintf(folder, sizeof folder, "%s/brcmboard", dir);
    if (!boardsim_mkdirs(folder) || !boardsim_write_file(file, text.data(), text.size()))
        return fail("cannot write %s: %s", file, strerror(errno));
    return 0;
}

int board_command(const char *dir, int argc, char **argv)
{
    if (argc == 2)
        return board_list(dir);
    const char *action = argv[2];
    if (strcmp(action, "put") == 0 && (argc == 4 || argc == 5))
        return board_put(dir, argv[3], argc == 5 ? argv[4] : nullptr);
    if (strcmp(action, "show") == 0 && argc == 4)
        return board_show(dir, argv[3]);
    if (strcmp(action, "answer") == 0 && argc == 4)
        return board_answer(dir, argv[3]);
    return fail("usage: boardsimctl board [put NAME [FILE] | show NAME | answer N|off]");
}

// Requests whose failure can be injected.
const char *const fail_requests[] = {
    "mem.open", "mem.mmap", "brcmboard.open", "brcmboard.write", "brcmboard.read_len",
    "brcmboard.read", "brcmboard.list",
};

bool valid_errno(const char *text);
bool write_text(const char *file, const char *text);

int fail_command(const char *dir, int argc, char **argv)
{
    if (argc != 4)
        return fail("usage: boardsimctl fail REQUEST ERRNO");
    const char *request = argv[2];
    bool known = false;
    for (const char *r : fail_requests)
        known = known || strcmp(r, request) == 0;
    if (!known)
        return fail("unknown request '%s' (see boardsimctl help)", request);
    const char *error = argv[3];
    if (!valid_errno(error))
        return fail("unknown errno '%s' (a name such as EIO, or a number)", error);
    char file[BOARDSIM_PATH_MAX];
    if (!boardsim_fail_path(file, sizeof file, dir, ""))
        return fail("path too long: %s", dir);
    if (!boardsim_mkdirs(file))
        return fail("cannot create %s: %s", file, strerror(errno));
    if (!boardsim_fail_path(file, sizeof file, dir, request) || !write_text(file, error))
        return fail("cannot write %s: %s", file, strerror(errno));
    return 0;
}

// The state folder, or null after the message.
const char *state_folder()
{
    const char *dir = getenv(BOARDSIM_ENV);
    if (dir == nullptr || *dir == '\0') {
        fail(BOARDSIM_ENV " is not set: it names the simulated board's state folder");
        return nullptr;
    }
    return dir;
}

// The folder named by BOARDSIM_DIR, or null after a message.
const char *state_dir()
{
    const char *dir = getenv(BOARDSIM_ENV);
    if (dir == nullptr || *dir == '\0') {
        fail(BOARDSIM_ENV " is not set: it names the simulated board's state folder");
        return nullptr;
    }
    return dir;
}

// Prints FILE as it is; a missing file prints nothing.
int print_file(const char *file)
{
    FILE *f = fopen(file, "r");
    if (f == nullptr)
        return errno == ENOENT ? 0 : fail("cannot read %s: %s", file, strerror(errno));
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        fwrite(buf, 1, n, stdout);
    fclose(f);
    return 0;
}

// Replaces FILE with TEXT and a newline through a temporary file and a rename.
bool write_text(const char *file, const char *text)
{
    char tmp[BOARDSIM_PATH_MAX];
    if (snprintf(tmp, sizeof tmp, "%s.tmp", file) >= static_cast<int>(sizeof tmp)) {
        errno = ENAMETOOLONG;
        return false;
    }
    FILE *f = fopen(tmp, "w");
    if (f == nullptr)
        return false;
    bool ok = fprintf(f, "%s\n", text) >= 0;
    ok = fclose(f) == 0 && ok;
    if (ok && rename(tmp, file) == 0)
        return true;
    int saved = errno;
    unlink(tmp);
    errno = saved;
    return false;
}

int gasp_command(int argc)
{
    if (argc != 2)
        return fail("usage: boardsimctl gasp");
    const char *dir = state_dir();
    char file[BOARDSIM_PATH_MAX];
    if (dir == nullptr)
        return 1;
    if (!boardsim_dir_path(file, sizeof file, dir, BOARDSIM_GASP_LOG))
        return fail("path too long: %s", dir);
    return print_file(file);
}

// The controller's registers as the tools use them, shown by "i2c BUS".
constexpr int I2C_SHOWN[] = {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 24, 25};

// A bus of the simulated board, "/dev/i2c-N" or "i2c-N".
struct i2c_bus {
    const char *dir;
    const char *name;  // "i2c-N"

    bool file(char *out, const char *what, int reg = -1) const
    {
        return boardsim_i2c_path(out, BOARDSIM_PATH_MAX, dir, name, what, reg);
    }
};

bool parse_byte(const char *text, int max, int *value)
{
    char *end;
    errno = 0;
    long v = strtol(text, &end, 0);
    if (*text == '\0' || *end != '\0' || errno != 0 || v < 0 || v > max)
        return false;
    *value = static_cast<int>(v);
    return true;
}

int parse_register(const char *text)
{
    int reg;
    if (!parse_byte(text, BOARDSIM_I2C_REGISTERS - 1, &reg)) {
        fail("register must be 0 to 255, got '%s'", text);
        return -1;
    }
    return reg;
}

// Checks an errno name or number for a fault file; "0" ends the fault.
bool valid_errno(const char *text)
{
    for (const boardsim_errno_name &e : boardsim_errno_names)
        if (strcmp(e.name, text) == 0)
            return true;
    size_t len = strlen(text);
    return len > 0 && len <= 4 && strspn(text, "0123456789") == len;
}

bool bus_exists(const i2c_bus &bus)
{
    char folder[BOARDSIM_PATH_MAX];
    struct stat st;
    return bus.file(folder, nullptr) && stat(folder, &st) == 0 && S_ISDIR(st.st_mode);
}

int i2c_add(const i2c_bus &bus)
{
    char folder[BOARDSIM_PATH_MAX];
    if (!bus.file(folder, BOARDSIM_I2C_REG))
        return fail("path too long: %s", bus.dir);
    if (!boardsim_mkdirs(folder))
        return fail("cannot create %s: %s", folder, strerror(errno));
    return 0;
}

// Prints " REG=E" for every register with a fault of kind WHAT.
void show_faults(const i2c_bus &bus, const char *label, const char *what)
{
    bool any = false;
    char file[BOARDSIM_PATH_MAX];
    for (int reg = 0; reg < BOARDSIM_I2C_REGISTERS; reg++) {
        if (!bus.file(file, what, reg) || boardsim_read_errno(file) == 0)
            continue;
        char text[32] = "";
        FILE *f = fopen(file, "r");
        if (f != nullptr) {
            if (fscanf(f, "%31s", text) != 1)
                text[0] = '\0';
            fclose(f);
        }
        printf("%s%d=%s", any ? " " : label, reg, text);
        any = true;
    }
    if (any)
        putchar('\n');
}

void show_fault(const i2c_bus &bus, const char *label, const char *what)
{
    char file[BOARDSIM_PATH_MAX];
    if (!bus.file(file, what) || boardsim_read_errno(file) == 0)
        return;
    fputs(label, stdout);
    print_file(file);
}

int i2c_show(const i2c_bus &bus)
{
    char file[BOARDSIM_PATH_MAX];
    const char *sep = "registers: ";
    for (int reg : I2C_SHOWN) {
        if (!bus.file(file, BOARDSIM_I2C_REG, reg))
            return fail("path too long: %s", bus.dir);
        printf("%s%d=%lu", sep, reg, boardsim_read_number(file) & 0xff);
        sep = " ";
    }
    putchar('\n');
    show_faults(bus, "read fails: ", BOARDSIM_I2C_READ_ERROR);
    show_faults(bus, "write fails: ", BOARDSIM_I2C_WRITE_ERROR);
    show_fault(bus, "address fails: ", BOARDSIM_I2C_ADDRESS_ERROR);
    show_fault(bus, "open fails: ", BOARDSIM_I2C_OPEN_ERROR);
    int commands = 0;
    if (bus.file(file, BOARDSIM_I2C_COMMAND_LOG)) {
        if (FILE *f = fopen(file, "r")) {
            for (int c; (c = fgetc(f)) != EOF;)
                commands += c == '\n';
            fclose(f);
        }
    }
    unsigned long retries = 0, timeout = 0;
    if (bus.file(file, BOARDSIM_I2C_RETRIES))
        retries = boardsim_read_number(file);
    if (bus.file(file, BOARDSIM_I2C_TIMEOUT))
        timeout = boardsim_read_number(file);
    printf("retries=%lu timeout=%lu commands=%d\n", retries, timeout, commands);
    return 0;
}

int i2c_get(const i2c_bus &bus, const char *reg_text)
{
    int reg = parse_register(reg_text);
    if (reg < 0)
        return 1;
    char file[BOARDSIM_PATH_MAX];
    if (!bus.file(file, BOARDSIM_I2C_REG, reg))
        return fail("path too long: %s", bus.dir);
    printf("%lu\n", boardsim_read_number(file) & 0xff);
    return 0;
}

// Sets every REG=V of ARGS; checks them all before writing any.
int i2c_set(const i2c_bus &bus, int count, char **args)
{
    if (count == 0)
        return fail("set needs REG=V");
    for (int pass = 0; pass < 2; pass++) {
        for (int i = 0; i < count; i++) {
            char reg_text[8];
            const char *eq = strchr(args[i], '=');
            size_t len = eq != nullptr ? static_cast<size_t>(eq - args[i]) : 0;
            int reg, value;
            if (eq == nullptr || len == 0 || len >= sizeof reg_text)
                return fail("expected REG=V, got '%s'", args[i]);
            memcpy(reg_text, args[i], len);
            reg_text[len] = '\0';
            if (!parse_byte(reg_text, BOARDSIM_I2C_REGISTERS - 1, &reg) ||
                !parse_byte(eq + 1, 0xff, &value))
                return fail("expected REG=V with both 0 to 255, got '%s'", args[i]);
            if (pass == 0)
                continue;
            char file[BOARDSIM_PATH_MAX];
            if (!bus.file(file, BOARDSIM_I2C_REG, reg) ||
                !boardsim_write_number(file, static_cast<unsigned long>(value)))
                return fail("cannot write register %d: %s", reg, strerror(errno));
        }
        if (pass == 0 && i2c_add(bus) != 0)
            return 1;
    }
    return 0;
}

int i2c_fail(const i2c_bus &bus, int count, char **args)
{
    if (count < 1)
        return fail("usage: boardsimctl i2c BUS fail open|address|read REG|write REG [E]");
    const char *kind = args[0];
    const char *what;
    const char *fallback;
    int reg = -1;
    if (strcmp(kind, "open") == 0) {
        what = BOARDSIM_I2C_OPEN_ERROR;
        fallback = "EACCES";
    } else if (strcmp(kind, "address") == 0) {
        what = BOARDSIM_I2C_ADDRESS_ERROR;
        fallback = "EBUSY";
    } else if (strcmp(kind, "read") == 0 || strcmp(kind, "write") == 0) {
        what = kind[0] == 'r' ? BOARDSIM_I2C_READ_ERROR : BOARDSIM_I2C_WRITE_ERROR;
        fallback = "EIO";
        if (count < 2)
            return fail("fail %s needs REG", kind);
        reg = parse_register(args[1]);
        if (reg < 0)
            return 1;
    } else {
        return fail("unknown fault '%s' (open, address, read, write)", kind);
    }
    int used = reg < 0 ? 1 : 2;
    if (count > used + 1)
        return fail("too many arguments after 'fail %s'", kind);
    const char *error = count > used ? args[used] : fallback;
    if (!valid_errno(error))
        return fail("unknown errno '%s' (a name such as EIO, or a number)", error);
    if (i2c_add(bus) != 0)
        return 1;
    char file[BOARDSIM_PATH_MAX];
    char folder[BOARDSIM_PATH_MAX];
    if (!bus.file(file, what, reg) || !bus.file(folder, what))
        return fail("path too long: %s", bus.dir);
    if (reg >= 0 && !boardsim_mkdirs(folder))
        return fail("cannot create %s: %s", folder, strerror(errno));
    if (!write_text(file, error))
        return fail("cannot write %s: %s", file, strerror(errno));
    return 0;
}

int i2c_command(int argc, char **argv)
{
    if (argc < 3)
        return fail("i2c needs BUS (see boardsimctl help)");
    const char *dir = state_dir();
    if (dir == nullptr)
        return 1;
    const char *name = argv[2];
    if (strncmp(name, "/dev/", 5) == 0)
        name += 5;
    if (strncmp(name, "i2c-", 4) != 0 || name[4] == '\0' ||
        strspn(name + 4, "0123456789") != strlen(name + 4))
        return fail("not an i2c bus: '%s' (expected /dev/i2c-N)", argv[2]);
    i2c_bus bus{dir, name};
    const char *action = argc > 3 ? argv[3] : "";
    if (strcmp(action, "add") == 0 && argc == 4)
        return i2c_add(bus);
    if (strcmp(action, "set") == 0)
        return i2c_set(bus, argc - 4, argv + 4);
    if (strcmp(action, "fail") == 0)
        return i2c_fail(bus, argc - 4, argv + 4);
    if (!bus_exists(bus))
        return fail("no bus %s on the simulated board ('boardsimctl i2c %s add' makes one)", name,
                    argv[2]);
    if (argc == 3)
        return i2c_show(bus);
    if (strcmp(action, "get") == 0 && argc == 5)
        return i2c_get(bus, argv[4]);
    char file[BOARDSIM_PATH_MAX];
    if (strcmp(action, "log") == 0 && argc == 4)
        return bus.file(file, BOARDSIM_I2C_COMMAND_LOG) ? print_file(file)
                                                         : fail("path too long: %s", dir);
    return fail("unknown i2c action (add, get REG, set REG=V, fail ..., log)");
}


}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs(USAGE, stdout);
        return 1;
    }
    const char *command = argv[1];
    if (strcmp(command, "help") == 0 || strcmp(command, "--help") == 0 ||
        strcmp(command, "-h") == 0) {
        fputs(USAGE, stdout);
        return 0;
    }
    if (strcmp(command, "tty") == 0)
        return tty_command(argc, argv);
    if (strcmp(command, "i2c") == 0)
        return i2c_command(argc, argv);
    if (strcmp(command, "gasp") == 0)
        return gasp_command(argc);
    if (strcmp(command, "board") == 0 || strcmp(command, "fail") == 0) {
        const char *dir = state_folder();
        if (dir == nullptr)
            return 1;
        return command[0] == 'b' ? board_command(dir, argc, argv) : fail_command(dir, argc, argv);
    }
    fail("unknown command '%s'", command);
    fputs(USAGE, stderr);
    return 1;
}
