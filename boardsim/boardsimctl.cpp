// boardsimctl: reads and sets the state of the simulated board from outside the programs.
#include "boardsim_state.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char USAGE[] =
    "usage: boardsimctl COMMAND ...\n"
    "  tty PATH                      show the modem lines and break count of serial device PATH\n"
    "  tty PATH get LINE             print one of: dtr rts cts dcd dsr ri breaks\n"
    "  tty PATH set LINE=V [...]     set input lines (cts dcd dsr ri) to V (0 or 1)\n"
    "  help                          show this text\n"
    "PATH is the device path exactly as the program opens it. The state lives in $" BOARDSIM_ENV
    ".\n";

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
    fail("unknown command '%s'", command);
    fputs(USAGE, stderr);
    return 1;
}
