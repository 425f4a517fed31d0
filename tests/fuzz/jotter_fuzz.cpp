// Fuzz target: jotter_c against a board driver whose every answer comes from the input: whether
// the device opens, the length answer, the return values, the errno values and the bytes it
// writes. The module's source is compiled in with its open, ioctl and close bound to the fake
// driver below (board_driver_seam.h). Each call's results must be exactly what the driver's
// answers mean (messages byte for byte, never more than 1024 list bytes, bytes it was not given
// are zero), every request record must be well formed, its buffer addressable for the count it
// claims, and every descriptor closed. LeakSanitizer watches the error paths.
//
// Input, read from the front (zeros once it runs out): per call an operation byte (0 list,
// 1 read, 2 write, 3 read with a nil key, 4 write with a table as data), for read and write a
// key (length byte, bytes) and for write the data (16-bit length, bytes); then the driver's
// answers in the order the module asks: open (a byte below 16 fails, then an errno byte),
// the length answer (a number), the bytes a request writes (16-bit count, cut to the buffer,
// then the bytes), the return value (a byte: odd gives -1 and an errno byte, even a number).
// A number is a selector byte and then: 0 a 32-bit value; 1 the request's own limit plus a
// signed byte; 2 a signed byte; 3 INT_MIN plus a byte; 4 INT_MAX minus a byte. Off-by-one
// answers around the limits are thus a byte away for the fuzzer, not a 32-bit guess.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <lua.hpp>
#include <sanitizer/asan_interface.h>

#include "board_driver_seam.h"
#include "board_ioctl.h"

extern "C" int luaopen_jotter_c(lua_State *L);

namespace {

// The input, consumed from the front; past its end every value is 0.
struct reader {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;

    bool empty() const { return pos >= size; }
    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    int32_t i32() { return static_cast<int32_t>(u16() | static_cast<uint32_t>(u16()) << 16); }
    int number(int limit)
    {
        switch (u8() % 5) {
        case 1: return static_cast<int>(static_cast<int64_t>(limit) + static_cast<int8_t>(u8()));
        case 2: return static_cast<int8_t>(u8());
        case 3: return INT32_MIN + u8();
        case 4: return INT32_MAX - u8();
        default: return i32();
        }
    }
    std::string bytes(size_t n)
    {
        n = std::min(n, size - std::min(pos, size));
        std::string s(reinterpret_cast<const char *>(data + pos), n);
        pos += n;
        return s;
    }
};

constexpr int LIST_SIZE = 1024;
constexpr int64_t ENTRY_MAX = 8192;
constexpr int FAKE_FD = 1000;

[[noreturn]] void fail(const std::string &what)
{
    fprintf(stderr, "jotter_fuzz: %s\n", what.c_str());
    abort();
}

// What the fake driver did during one Lua call.
struct request {
    unsigned long code;
    BOARD_IOCTL_PARMS parms; // as the module passed it
    int ret;
    int error;       // errno set with a -1 return, else untouched
    int answer;      // the length answer (length query only)
    std::string wrote; // bytes put into buf (for a write: the bytes the module passed)
};

struct fake_driver {
    reader *in = nullptr;
    bool open_failed = false;
    int open_error = 0;
    int opens = 0;
    int open_now = 0;
    std::string key; // the key the script passes
    std::vector<request> requests;

    int error_code() { return 1 + in->u8() % 200; }
} drv;

void check_buffer(const BOARD_IOCTL_PARMS &p, const char *what)
{
    if (!p.buf || p.offset < 0)
        fail(std::string(what) + ": no buffer or a negative count");
    if (void *bad = __asan_region_is_poisoned(p.buf, static_cast<size_t>(p.offset)))
        fail(std::string(what) + ": buffer shorter than its count (" +
             std::to_string(static_cast<char *>(bad) - p.buf) + " of " +
             std::to_string(p.offset) + " bytes usable)");
}

void check_common(const BOARD_IOCTL_PARMS &p, bool with_key)
{
    if (p.strLen != 0 || p.action != SCRATCH_PAD || p.result != 0)
        fail("request record: strLen, action or result not as sent by the module");
    if (with_key ? (!p.string || drv.key != p.string) : p.string != nullptr)
        fail("request record: wrong key");
}

// The driver fills up to count bytes of buf with input bytes.
std::string fill(char *buf, int count)
{
    std::string bytes = drv.in->bytes(std::min<size_t>(drv.in->u16(), static_cast<size_t>(count)));
    memcpy(buf, bytes.data(), bytes.size());
    return bytes;
}

} // namespace

int fake_board_open(const char *path, int flags)
{
    if (strcmp(path, "/dev/brcmboard") != 0 || (flags & O_ACCMODE) != O_RDWR)
        fail("opened something other than /dev/brcmboard read-write");
    if (drv.open_now)
        fail("opened the device twice in one call");
    drv.opens++;
    if (drv.in->u8() < 16) {
        drv.open_failed = true;
        drv.open_error = errno = drv.error_code();
        return -1;
    }
    drv.open_now = 1;
    return FAKE_FD;
}

int fake_board_close(int fd)
{
    if (fd != FAKE_FD || !drv.open_now)
        fail("closed a descriptor that is not open");
    drv.open_now = 0;
    return 0;
}

int fake_board_ioctl(int fd, unsigned long code, void *arg)
{
    if (fd != FAKE_FD || !drv.open_now)
        fail("request on a descriptor that is not open");
    auto *p = static_cast<BOARD_IOCTL_PARMS *>(arg);
    request r{code, *p, 0, 0, 0, {}};
    if (code == BOARD_IOCTL_FLASH_READ && !p->buf) {
        check_common(*p, true);
        if (p->offset != 0)
            fail("length query with a count");
        r.answer = p->result = drv.in->number(-static_cast<int>(ENTRY_MAX));
    } else if (code == BOARD_IOCTL_FLASH_READ) {
        check_common(*p, true);
        check_buffer(*p, "flash read");
        r.wrote = fill(p->buf, p->offset);
    } else if (code == BOARD_IOCTL_FLASH_LIST) {
        check_common(*p, false);
        check_buffer(*p, "list");
        if (p->offset != LIST_SIZE)
            fail("list request with a count other than 1024");
        r.wrote = fill(p->buf, p->offset);
    } else if (code == BOARD_IOCTL_FLASH_WRITE) {
        check_common(*p, true);
        check_buffer(*p, "flash write");
        // Taken now: the Lua string the buffer belongs to may be gone after the call.
        r.wrote.assign(p->buf, static_cast<size_t>(p->offset));
    } else {
        fail("unknown request " + std::to_string(code));
    }
    if (drv.in->u8() & 1) {
        r.ret = -1;
        r.error = errno = drv.error_code();
    } else {
        r.ret = drv.in->number(p->offset);
        if (r.ret == -1)
            r.error = errno = drv.error_code();
    }
    drv.requests.push_back(r);
    return r.ret;
}

namespace {

struct outcome {
    bool raised = false;
    std::vector<std::string> values; // "nil", "true", or the string's bytes quoted
};

std::string text(const std::string &s) { return "'" + s + "'"; }

outcome nil_and(const std::string &message) { return {false, {"nil", text(message)}}; }

outcome call(lua_State *L, const char *name, int nargs)
{
    int base = lua_gettop(L) - nargs;
    lua_getglobal(L, "jotter_c");
    lua_getfield(L, -1, name);
    lua_remove(L, -2);
    lua_insert(L, base + 1);
    outcome o;
    if (lua_pcall(L, nargs, LUA_MULTRET, 0) != 0) {
        o.raised = true;
        o.values.push_back(lua_tostring(L, -1));
    } else {
        for (int i = base + 1; i <= lua_gettop(L); i++) {
            if (lua_isnil(L, i))
                o.values.push_back("nil");
            else if (lua_isboolean(L, i))
                o.values.push_back(lua_toboolean(L, i) ? "true" : "false");
            else if (lua_type(L, i) == LUA_TSTRING) {
                size_t len = 0;
                const char *s = lua_tolstring(L, i, &len);
                o.values.push_back(text(std::string(s, len)));
            } else
                o.values.push_back(lua_typename(L, lua_type(L, i)));
        }
    }
    lua_settop(L, base);
    return o;
}

const request &only(size_t n, size_t index)
{
    if (drv.requests.size() != n)
        fail("expected " + std::to_string(n) + " requests, the module made " +
             std::to_string(drv.requests.size()));
    return drv.requests[index];
}

// The bytes the driver put into a zeroed buffer, the first count of them.
std::string received(const request &r, size_t count)
{
    std::string s = r.wrote;
    s.resize(count, '\0');
    return s;
}

outcome expect_list()
{
    if (drv.open_failed)
        return nil_and(strerror(drv.open_error));
    const request &r = only(1, 0);
    if (r.code != BOARD_IOCTL_FLASH_LIST)
        fail("list made another request");
    if (r.ret <= 0)
        return nil_and(strerror(r.error));
    return {false, {text(received(r, std::min(r.ret, LIST_SIZE)))}};
}

outcome expect_read()
{
    if (drv.open_failed)
        return nil_and(std::string("open: ") + strerror(drv.open_error));
    const request &query = drv.requests.at(0);
    if (query.code != BOARD_IOCTL_FLASH_READ || query.parms.buf)
        fail("read did not start with the length query");
    if (query.answer == 0) {
        only(1, 0);
        return nil_and(std::string("BOARD_IOCTL_FLASH_READ len: ") + strerror(query.error));
    }
    // The length comes negated; a positive answer is no length at all.
    int64_t length = -static_cast<int64_t>(query.answer);
    if (query.answer > 0 || length > ENTRY_MAX) {
        only(1, 0);
        return nil_and("Size too big");
    }
    const request &fetch = only(2, 1);
    if (fetch.code != BOARD_IOCTL_FLASH_READ || fetch.parms.offset != length)
        fail("data request with a count other than the length answer");
    if (fetch.ret == -1)
        return nil_and(std::string("BOARD_IOCTL_FLASH_READ data: ") + strerror(fetch.error));
    return {false, {text(received(fetch, static_cast<size_t>(length)))}};
}

outcome expect_write(const std::string &data)
{
    if (drv.open_failed)
        return nil_and(strerror(drv.open_error));
    const request &r = only(1, 0);
    if (r.code != BOARD_IOCTL_FLASH_WRITE || r.parms.offset != static_cast<int>(data.size()) ||
        r.wrote != data)
        fail("write request does not carry the data");
    if (r.ret == -1)
        return nil_and(strerror(r.error));
    return {false, {"true"}};
}

std::string show(const outcome &o)
{
    std::string s = o.raised ? "error" : "";
    for (const auto &v : o.values)
        s += " " + v;
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool verbose = getenv("FUZZ_VERBOSE") != nullptr;
    reader in{data, size};
    drv = fake_driver{};
    drv.in = &in;

    lua_State *L = luaL_newstate();
    lua_pushcfunction(L, luaopen_jotter_c);
    lua_call(L, 0, 0);

    for (int step = 0; step < 8 && !in.empty(); step++) {
        drv.open_failed = false;
        drv.opens = 0;
        drv.requests.clear();
        int op = in.u8() % 5;
        const char *name = op == 0 ? "list" : (op == 1 || op == 3) ? "read" : "write";
        std::string value;
        if (op == 1 || op == 2) {
            drv.key = in.bytes(in.u8());
            lua_pushlstring(L, drv.key.data(), drv.key.size());
            drv.key = drv.key.c_str(); // the driver sees the key as a C text
            if (op == 2) {
                value = in.bytes(in.u16() % 9000);
                lua_pushlstring(L, value.data(), value.size());
            }
        } else if (op == 3) {
            lua_pushnil(L); // a key that is not a string: Lua's argument error, nothing opened
        } else if (op == 4) {
            lua_pushstring(L, "key");
            lua_newtable(L);
        }
        int nargs = op == 0 ? 0 : (op == 1 || op == 3) ? 1 : 2;
        outcome got = call(L, name, nargs);

        if (drv.open_now)
            fail(std::string(name) + " left the device open");
        if (op >= 3) {
            if (verbose)
                fprintf(stderr, "%s:%s\n", name, show(got).c_str());
            if (!got.raised || got.values[0].find(op == 3 ? "bad argument #1" : "bad argument #2") ==
                                   std::string::npos)
                fail(std::string(name) + " with a bad argument gave:" + show(got));
            if (drv.opens)
                fail(std::string(name) + " opened the device despite a bad argument");
            continue;
        }
        if (drv.opens != 1)
            fail(std::string(name) + " opened the device " + std::to_string(drv.opens) + " times");
        outcome want = op == 0 ? expect_list() : op == 1 ? expect_read() : expect_write(value);
        if (verbose)
            fprintf(stderr, "%s:%s\n", name, show(got).substr(0, 120).c_str());
        if (got.raised || got.values != want.values)
            fail(std::string(name) + ": got" + show(got) + ", expected" + show(want));
    }
    lua_close(L);
    return 0;
}
