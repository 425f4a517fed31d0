// physmem_c: Lua access to physical memory through /dev/mem, one 32-bit word at a time.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <lua.hpp>

namespace {

constexpr uint32_t WINDOW_MASK = 0xFFFF0000u;
constexpr double TWO_TO_63 = 9223372036854775808.0;

// A Lua number as the 32 bits a register holds: truncated toward zero to a 64-bit integer,
// then its low 32 bits, so that -1 and 4294967295 are the same word and 2^31 and above keep
// their value. Numbers no 64-bit integer holds (NaN, infinities) are 0.
uint32_t to_u32(lua_Number n)
{
    if (!(n > -TWO_TO_63 && n < TWO_TO_63))
        return 0;
    return static_cast<uint32_t>(static_cast<int64_t>(n));
}

// A byte offset into a window: the same 32 bits, read as signed.
int32_t to_offset(lua_Number n)
{
    return static_cast<int32_t>(to_u32(n));
}

// The word at offset argument 2 from the handle in argument 1, or null (after the message on
// standard output) when argument 1 is not a handle.
volatile uint32_t *word_at(lua_State *L)
{
    if (lua_type(L, 1) != LUA_TLIGHTUSERDATA) {
        puts("Not light userdata");
        return nullptr;
    }
    auto *base = static_cast<volatile uint8_t *>(lua_touserdata(L, 1));
    return reinterpret_cast<volatile uint32_t *>(base + to_offset(lua_tonumber(L, 2)));
}

// open(address, size): maps the 64 KiB-aligned window holding [address, address + size).
int l_open(lua_State *L)
{
    uint32_t address = to_u32(lua_tonumber(L, 1));
    uint32_t size = to_u32(lua_tonumber(L, 2));

    int fd = open("/dev/mem", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        lua_pushnil(L);
        lua_pushfstring(L, "Can't open /dev/mem: %s", strerror(error));
        return 2;
    }
    // The window starts at the aligned address, so it must reach past the requested start by
    // the bits cut off, or the last words asked for would lie outside it. An empty request
    // stays empty (and is refused by the system).
    uint32_t start = address & WINDOW_MASK;
    uint64_t length = size == 0 ? 0 : uint64_t{size} + (address - start);
    void *window = MAP_FAILED;
    int error = ENOMEM;
    if (length <= SIZE_MAX) {
        window = mmap64(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED,
                        fd, static_cast<off64_t>(start));
        error = errno;
    }
    // The mapping keeps what it needs of the file; the descriptor is no longer needed.
    close(fd);
    if (window == MAP_FAILED) {
        char message[64];
        snprintf(message, sizeof message, "Can't mmap /dev/mem %x@%x: %s", size, address,
                 strerror(error));
        lua_pushnil(L);
        lua_pushstring(L, message);
        return 2;
    }
    lua_pushlightuserdata(L, window);
    return 1;
}

// peek(handle, offset): the word, 0 to 4294967295.
int l_peek(lua_State *L)
{
    volatile uint32_t *word = word_at(L);
    if (word == nullptr)
        return 0;
    lua_pushnumber(L, static_cast<lua_Number>(*word));
    return 1;
}

// poke(handle, offset, value)
int l_poke(lua_State *L)
{
    volatile uint32_t *word = word_at(L);
    if (word != nullptr)
        *word = to_u32(lua_tonumber(L, 3));
    return 0;
}

const luaL_Reg physmem_table[] = {
    {"open", l_open},
    {"peek", l_peek},
    {"poke", l_poke},
    {nullptr, nullptr},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_physmem_c(lua_State *L)
{
    luaL_register(L, "physmem_c", physmem_table);
    return 1;
}
