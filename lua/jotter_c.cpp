// jotter_c: Lua access to the flash scratch pad of the board driver, /dev/brcmboard.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <lua.hpp>

#include "board_ioctl.h"

// Lua errors unwind with longjmp: nothing here may hold a descriptor or memory across a call
// that can raise one. Arguments are taken before the device is opened, results are pushed
// after it is closed, and buffers live on the stack.

namespace {

constexpr char BOARD_DEVICE[] = "/dev/brcmboard";
constexpr int LIST_SIZE = 1024;
constexpr uint32_t ENTRY_MAX = 8192;

BOARD_IOCTL_PARMS scratch_request(const char *key, char *buf, int count)
{
    BOARD_IOCTL_PARMS parms{};
    parms.string = const_cast<char *>(key);
    parms.buf = buf;
    parms.strLen = 0;
    parms.offset = count;
    parms.action = SCRATCH_PAD;
    parms.result = 0;
    return parms;
}

int open_board()
{
    return open(BOARD_DEVICE, O_RDWR | O_CLOEXEC);
}

int fail(lua_State *L, const char *message)
{
    lua_pushnil(L);
    lua_pushstring(L, message);
    return 2;
}

int fail_with(lua_State *L, const char *format, int error)
{
    lua_pushnil(L);
    lua_pushfstring(L, format, strerror(error));
    return 2;
}

// read(key): the entry's bytes.
int l_read(lua_State *L)
{
    const char *key = luaL_checklstring(L, 1, nullptr);
    int fd = open_board();
    if (fd < 0)
        return fail_with(L, "open: %s", errno);

    // The length query: the driver answers in result, with the length negated. The request's
    // own result says nothing; errno is cleared so that a stale value is never reported.
    BOARD_IOCTL_PARMS query = scratch_request(key, nullptr, 0);
    errno = 0;
    ioctl(fd, BOARD_IOCTL_FLASH_READ, &query);
    int error = errno;
    if (query.result == 0) {
        close(fd);
        return fail_with(L, "BOARD_IOCTL_FLASH_READ len: %s", error);
    }
    // Negated in unsigned arithmetic: a positive answer, or the most negative one, comes out
    // above the limit instead of overflowing.
    uint32_t length = 0u - static_cast<uint32_t>(query.result);
    if (length > ENTRY_MAX) {
        close(fd);
        return fail(L, "Size too big");
    }

    // Zeroed, so that bytes the driver does not fill are never someone else's memory.
    char data[ENTRY_MAX];
    memset(data, 0, length);
    BOARD_IOCTL_PARMS fetch = scratch_request(key, data, static_cast<int>(length));
    int r = ioctl(fd, BOARD_IOCTL_FLASH_READ, &fetch);
    error = errno;
    close(fd);
    if (r == -1)
        return fail_with(L, "BOARD_IOCTL_FLASH_READ data: %s", error);
    lua_pushlstring(L, data, length);
    return 1;
}

// write(key, data): stores data, any bytes, as the entry.
int l_write(lua_State *L)
{
    const char *key = luaL_checklstring(L, 1, nullptr);
    size_t size = 0;
    const char *data = luaL_checklstring(L, 2, &size);
    int fd = open_board();
    if (fd < 0)
        return fail_with(L, "%s", errno);

    BOARD_IOCTL_PARMS store =
        scratch_request(key, const_cast<char *>(data), static_cast<int>(size));
    int r = ioctl(fd, BOARD_IOCTL_FLASH_WRITE, &store);
    int error = errno;
    close(fd);
    if (r == -1)
        return fail_with(L, "%s", error);
    lua_pushboolean(L, 1);
    return 1;
}

// list(): the driver's list of entries, as it gives it.
int l_list(lua_State *L)
{
    int fd = open_board();
    if (fd < 0)
        return fail_with(L, "%s", errno);

    char list[LIST_SIZE] = {};
    BOARD_IOCTL_PARMS parms = scratch_request(nullptr, list, LIST_SIZE);
    errno = 0;
    int r = ioctl(fd, BOARD_IOCTL_FLASH_LIST, &parms);
    int error = errno;
    close(fd);
    if (r <= 0)
        return fail_with(L, "%s", error);
    // The count is the driver's; only the buffer is ours to read.
    lua_pushlstring(L, list, static_cast<size_t>(r < LIST_SIZE ? r : LIST_SIZE));
    return 1;
}

const luaL_Reg jotter_table[] = {
    {"read", l_read},
    {"write", l_write},
    {"list", l_list},
    {nullptr, nullptr},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_jotter_c(lua_State *L)
{
    luaL_register(L, "jotter_c", jotter_table);
    return 1;
}
