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
    "  tty PATH get LINE             print one of: dtr rts cts dcd dsr ri breaks\n"
    "  tty PATH set LINE=V [...]     set input lines (cts dcd dsr ri) to V (0 or 1)\n"
    "  board                         list the scratch-pad entries: size in bytes and name\n"
    "  board put NAME [FILE]         store FILE (default: standard input) as entry NAME\n"
    "  board show NAME               write the bytes of entry NAME to standard output\n"
    "  board answer N|off            the length query answers N for every entry, or as usual\n"
    "  fail REQUEST ERRNO            make REQUEST fail with errno value ERRNO (0: succeed), one of\n"
    "                                mem.open mem.mmap brcmboard.open brcmboard.write\n"
    "                                brcmboard.read_len brcmboard.read brcmboard.list\n"
    "  help                          show this text\n"
    "PATH is the device path exactly as the program opens it, NAME a scratch-pad entry, ERRNO\n"
    "a number (13 is EACCES, 5 EIO). The state lives in $" BOARDSIM_ENV ".\n";

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
    bool breaks = strcmp(name, BOARDSIM_TTY_BREAKS) == 0;
    if (!breaks && boardsim_tty_line_find(name) == nullptr)
        return fail("unknown line '%s' (dtr rts cts dcd dsr ri breaks)", name);
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
    long long error;
    if (!parse_number(argv[3], 0, 4095, &error))
        return fail("ERRNO must be a number from 0 to 4095, got '%s'", argv[3]);
    char file[BOARDSIM_PATH_MAX];
    if (!boardsim_fail_path(file, sizeof file, dir, ""))
        return fail("path too long: %s", dir);
    if (!boardsim_mkdirs(file))
        return fail("cannot create %s: %s", file, strerror(errno));
    if (!boardsim_fail_path(file, sizeof file, dir, request) ||
        !boardsim_write_number(file, static_cast<unsigned long>(error)))
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
