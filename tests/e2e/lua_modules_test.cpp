// The Lua modules loaded by the real lua5.1 interpreter under the simulated board: what scripts
// get back, what lands in the board's state (the physical-memory file, scratch-pad entries),
// and the frame herald_c puts on a wire in a network namespace of the test's own.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

const harness::ms RUN_TIMEOUT(20000);

// Lines every script starts with. show(...) prints its arguments on one line: strings quoted
// as Lua's %q does (zero bytes as \000), everything else as tostring gives it. pause(tag)
// prints the tag and waits for a line on standard input, so the test can look at the process.
const char PRELUDE[] = R"lua(
local function quote(v)
  if type(v) == "string" then return (string.format("%q", v)) end
  return tostring(v)
end
function show(...)
  local t = {}
  for i = 1, select("#", ...) do t[i] = quote((select(i, ...))) end
  io.write(table.concat(t, " "), "\n")
end
function pause(tag)
  io.write(tag, "\n")
  io.stdout:flush()
  io.read()
end
function board_file(name, text)
  local f = assert(io.open(os.getenv("BOARDSIM_DIR") .. "/" .. name, "w"))
  f:write(text)
  f:close()
end
require "physmem_c"
require "jotter_c"
require "herald_c"
)lua";

struct lua_result {
    int status = -1;
    std::string out;
    std::string err;
};

long open_descriptors(pid_t pid) { return harness::count_fds(pid); }

class LuaModules : public ::testing::Test {
protected:
    harness::TempDir tmp_;
    const std::string board_ = tmp_.file("board");

    // The interpreter running PRELUDE and SCRIPT with the modules of this build, under the
    // simulated board; the variables go through env, so that wrappers (unshare, the capture)
    // see none of them.
    std::vector<std::string> lua_command(const std::string &script) const
    {
        std::string preload = LUA_PRELOAD_FIRST;
        preload += (preload.empty() ? "" : ":") + std::string(BOARDSIM_LIB);
        return {"env",
                "LUA_CPATH=" LUA_MODULE_DIR "/?.so",
                "LD_PRELOAD=" + preload,
                "BOARDSIM_DIR=" + board_,
                LUA_INTERPRETER,
                "-e",
                PRELUDE + script};
    }

    harness::ProcessOptions options(bool stdin_pipe = false) const
    {
        harness::ProcessOptions o;
        o.cwd = tmp_.path;
        o.stdin_pipe = stdin_pipe;
        o.unset = {"LUA_INIT", "LUA_PATH", "LUA_CPATH", "LD_PRELOAD", "BOARDSIM_DIR"};
        return o;
    }

    static lua_result finish(harness::Process &p)
    {
        p.close_stdin();
        int status = p.wait_exit(RUN_TIMEOUT);
        return {status, p.out(), p.err()};
    }

    lua_result run(const std::vector<std::string> &argv) const
    {
        harness::Process p(argv, {}, false, options());
        return finish(p);
    }

    // Runs SCRIPT; expects it to end well and returns its standard output.
    std::string lua(const std::string &script) const
    {
        lua_result r = run(lua_command(script));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    }

    void ctl(const std::vector<std::string> &args) const
    {
        std::vector<std::string> argv = {"env", "BOARDSIM_DIR=" + board_, BOARDSIMCTL_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        lua_result r = run(argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // The 32-bit word at physical ADDRESS in the simulated memory, in this machine's order.
    uint32_t physical_word(uint64_t address) const
    {
        uint32_t word = 0;
        int fd = open((board_ + "/mem").c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(pread(fd, &word, sizeof word, static_cast<off_t>(address)), 4);
        close(fd);
        return word;
    }

    void set_physical_word(uint64_t address, uint32_t word) const
    {
        mkdir(board_.c_str(), 0755);
        int fd = open((board_ + "/mem").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, &word, sizeof word, static_cast<off_t>(address)), 4);
        close(fd);
    }

    std::string entry(const std::string &name) const
    {
        return harness::read_file(board_ + "/brcmboard/scratch/" + name);
    }

    // Runs ARGV, a script that prints its results and pauses at "before" and "after"; returns
    // MEASURE of the interpreter at both pauses and checks the output and a clean end.
    template <typename F>
    std::pair<long, long> measure(const std::vector<std::string> &argv, const std::string &output,
                                  F measure_process) const
    {
        std::pair<long, long> m{-1, -1};
        harness::Process p(argv, {}, false, options(true));
        if (!harness::eventually([&] { return p.out() == "before\n"; }, RUN_TIMEOUT)) {
            ADD_FAILURE() << p.out() << p.err();
            return m;
        }
        m.first = measure_process(p.pid());
        p.write_stdin("\n");
        if (!harness::eventually([&] { return p.out() == "before\n" + output + "after\n"; },
                                 RUN_TIMEOUT)) {
            ADD_FAILURE() << p.out() << p.err();
            return m;
        }
        m.second = measure_process(p.pid());
        EXPECT_EQ(finish(p).status, 0);
        return m;
    }
};

// --- physmem_c ---

TEST_F(LuaModules, WindowStartsAt64KiBAndOffsetsCountFromThere)
{
    set_physical_word(0x10000100, 0xCAFEF00D);
    EXPECT_EQ(lua(R"(
        local a = physmem_c.open(0x10000000, 4096)
        local b = physmem_c.open(0x10000100, 4096)
        show(type(a), type(b))
        show(physmem_c.peek(a, 0x100), physmem_c.peek(b, 0x100))
        physmem_c.poke(b, 0x104, 0x01020304)
        physmem_c.poke(a, 0x108, 4294967295)
        physmem_c.poke(a, 0x10C, -1)
        show(physmem_c.peek(a, 0x104), physmem_c.peek(b, 0x108), physmem_c.peek(b, 0x10C))
    )"),
              "\"userdata\" \"userdata\"\n"
              "3405705229 3405705229\n"
              "16909060 4294967295 4294967295\n");
    EXPECT_EQ(physical_word(0x10000104), 0x01020304u);
    EXPECT_EQ(physical_word(0x10000108), 0xFFFFFFFFu);
    EXPECT_EQ(physical_word(0x1000010C), 0xFFFFFFFFu);
    EXPECT_EQ(physical_word(0x10000204), 0u);
}

TEST_F(LuaModules, WindowReachesTheEndOfTheRequestedRange)
{
    // Asked for 0x1000F000..0x1000FFFF: the window starts at 0x10000000, so the last word is
    // at offset 0xFFFC from it.
    EXPECT_EQ(lua(R"(
        local h = physmem_c.open(0x1000F000, 0x1000)
        physmem_c.poke(h, 0xFFFC, 0x5A5A0001)
        show(physmem_c.peek(h, 0xFFFC))
    )"),
              "1515847681\n");
    EXPECT_EQ(physical_word(0x1000FFFC), 0x5A5A0001u);
}

TEST_F(LuaModules, AddressesFrom2GiBUpMapWhereTheySay)
{
    EXPECT_EQ(lua(R"(
        local h = physmem_c.open(0x90000000, 16)
        physmem_c.poke(h, 4, 0x80000001)
        local top = physmem_c.open(0xFFFF0000, 0x10000)
        physmem_c.poke(top, 0xFFFC, 0xA5A5A5A5)
        show(physmem_c.peek(h, 4), physmem_c.peek(top, 0xFFFC))
    )"),
              "2147483649 2779096485\n");
    EXPECT_EQ(physical_word(0x90000004), 0x80000001u);
    EXPECT_EQ(physical_word(0xFFFFFFFC), 0xA5A5A5A5u);
}

TEST_F(LuaModules, PeekAndPokeWantAHandle)
{
    EXPECT_EQ(lua(R"(
        local v = physmem_c.peek("0x10000000", 0)
        show(v, select("#", physmem_c.poke({}, 0, 1)), select("#", physmem_c.peek(nil, 0)))
    )"),
              "Not light userdata\nNot light userdata\nNot light userdata\nnil 0 0\n");
}

TEST_F(LuaModules, PhysmemFailuresCarryTheSystemsReason)
{
    ctl({"fail", "mem.open", "13"});
    EXPECT_EQ(lua(R"(show(physmem_c.open(0x10000000, 0x1000)))"),
              "nil \"Can't open /dev/mem: Permission denied\"\n");
    ctl({"fail", "mem.open", "0"});
    ctl({"fail", "mem.mmap", "1"});
    EXPECT_EQ(lua(R"(
        show(physmem_c.open(0x10000000, 0x1000))
        show(physmem_c.open(0xF0001234, 16))
        show(physmem_c.open(-1, -1))
    )"),
              "nil \"Can't mmap /dev/mem 1000@10000000: Operation not permitted\"\n"
              "nil \"Can't mmap /dev/mem 10@f0001234: Operation not permitted\"\n"
              // cut at 63 characters
              "nil \"Can't mmap /dev/mem ffffffff@ffffffff: Operation not permitted\"\n");
    ctl({"fail", "mem.mmap", "0"});
    EXPECT_EQ(lua(R"(
        show(type(physmem_c.open(0x10000000, 0x1000)))
        show(physmem_c.open(0x10000100, 0))
    )"),
              "\"userdata\"\n"
              // an empty range stays empty, whatever bits the alignment cuts off
              "nil \"Can't mmap /dev/mem 0@10000100: Invalid argument\"\n");
}

TEST_F(LuaModules, RepeatedOpensKeepNoDescriptor)
{
    auto fds = measure(lua_command(R"(
        physmem_c.open(0x10000000, 4096)
        pause("before")
        local mapped = 0
        for i = 1, 300 do
          mapped = mapped + (physmem_c.open(0x10000000 + i * 0x10000, 4096) and 1 or 0)
        end
        show(mapped)
        pause("after")
    )"),
                       "300\n", open_descriptors);
    EXPECT_EQ(fds.second, fds.first);
}

// --- jotter_c ---

TEST_F(LuaModules, WriteAndReadBackAnyBytes)
{
    EXPECT_EQ(lua(R"(
        local data = "a\0b\255\0\n" .. string.rep("z", 5000)
        show(jotter_c.write("wan/cfg 1", data))
        local back = jotter_c.read("wan/cfg 1")
        show(back == data, #back)
        show(jotter_c.write("empty", ""))
        show(jotter_c.list())
    )"),
              "true\ntrue 5006\ntrue\n\"empty\\000wan/cfg 1\\000\"\n");
    EXPECT_EQ(entry("wan%2Fcfg%201"), std::string("a\0b\xff\0\n", 6) + std::string(5000, 'z'));
    EXPECT_TRUE(harness::file_exists(board_ + "/brcmboard/scratch/empty"));
    EXPECT_EQ(entry("empty"), "");
}

TEST_F(LuaModules, EntriesUpTo8192BytesAreRead)
{
    harness::write_file(tmp_.file("8192"), std::string(8191, 'x') + "y");
    harness::write_file(tmp_.file("8193"), std::string(8193, 'x'));
    ctl({"board", "put", "full", tmp_.file("8192")});
    ctl({"board", "put", "over", tmp_.file("8193")});
    EXPECT_EQ(lua(R"(
        local v = jotter_c.read("full")
        show(#v, v == string.rep("x", 8191) .. "y")
        show(jotter_c.read("over"))
    )"),
              "8192 true\nnil \"Size too big\"\n");
}

TEST_F(LuaModules, LengthAnswersOtherThanANegativeLength)
{
    harness::write_file(tmp_.file("abcd"), "abcd");
    ctl({"board", "put", "short", tmp_.file("abcd")});
    harness::write_file(tmp_.file("x"), std::string(8192, 'x'));
    ctl({"board", "put", "long", tmp_.file("x")});
    EXPECT_EQ(lua(R"(
        local filler = jotter_c.read("long")
        -- the driver fills 4 of the 10 bytes it announced: the rest reads as zero bytes
        board_file("brcmboard/len_answer", "-10\n")
        show(jotter_c.read("short"))
        board_file("brcmboard/len_answer", "5\n")
        show(jotter_c.read("short"))
        board_file("brcmboard/len_answer", "-2147483648\n")
        show(jotter_c.read("short"))
        board_file("brcmboard/len_answer", "0\n")
        show(jotter_c.read("short"))
    )"),
              "\"abcd\\000\\000\\000\\000\\000\\000\"\n"
              "nil \"Size too big\"\n"
              "nil \"Size too big\"\n"
              "nil \"BOARD_IOCTL_FLASH_READ len: Success\"\n");
}

TEST_F(LuaModules, ScratchPadFailuresCarryTheDriversReason)
{
    ASSERT_EQ(mkdir(board_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((board_ + "/fail").c_str(), 0755), 0);
    EXPECT_EQ(lua(R"(
        show(jotter_c.list())
        show(jotter_c.read("missing"))
        show(jotter_c.write("k", "v"))
        board_file("fail/brcmboard.read_len", "5\n")
        show(jotter_c.read("k"))
        board_file("fail/brcmboard.read_len", "0\n")
        board_file("fail/brcmboard.read", "5\n")
        show(jotter_c.read("k"))
        board_file("fail/brcmboard.write", "28\n")
        show(jotter_c.write("k", "w"))
        board_file("fail/brcmboard.list", "74\n")
        show(jotter_c.list())
        board_file("fail/brcmboard.open", "13\n")
        show(jotter_c.read("k"))
        show(jotter_c.write("k", "w"))
        show(jotter_c.list())
    )"),
              "nil \"No such file or directory\"\n"
              "nil \"BOARD_IOCTL_FLASH_READ len: No such file or directory\"\n"
              "true\n"
              "nil \"BOARD_IOCTL_FLASH_READ len: Input/output error\"\n"
              "nil \"BOARD_IOCTL_FLASH_READ data: Input/output error\"\n"
              "nil \"No space left on device\"\n"
              "nil \"Bad message\"\n"
              "nil \"open: Permission denied\"\n"
              "nil \"Permission denied\"\n"
              "nil \"Permission denied\"\n");
}

TEST_F(LuaModules, ListIsTheDriversBytesCutAt1024)
{
    EXPECT_EQ(lua(R"(
        for _, k in ipairs({"b", "a", "c/d"}) do jotter_c.write(k, k) end
        show(jotter_c.list())
        local names = {}
        for i = 1, 100 do
          names[i] = string.format("entry-%03d-----------", i)
          jotter_c.write(names[i], "x")
        end
        local expected = "a\0b\0c/d\0" .. table.concat(names, "\0") .. "\0"
        local list = jotter_c.list()
        show(#expected, #list, list == expected:sub(1, 1024))
    )"),
              "\"a\\000b\\000c/d\\000\"\n2108 1024 true\n");
}

TEST_F(LuaModules, JotterArgumentsMustBeStrings)
{
    // Checked before the device is opened: the errors leave no descriptor behind.
    auto fds = measure(lua_command(R"(
        pause("before")
        for i = 1, 300 do
          assert(not pcall(jotter_c.read, {}))
          assert(not pcall(jotter_c.write, "k", nil))
        end
        show(pcall(jotter_c.read))
        show(pcall(jotter_c.write, "k", {}))
        pause("after")
    )"),
                       "false \"bad argument #1 to '?' (string expected, got no value)\"\n"
                       "false \"bad argument #2 to '?' (string expected, got table)\"\n",
                       open_descriptors);
    EXPECT_EQ(fds.second, fds.first);
}

// --- herald_c ---

TEST_F(LuaModules, HeraldChecksInterfaceThenAddressThenIp)
{
    // Only failures before anything is sent: this runs in the machine's own namespace.
    EXPECT_EQ(lua(R"(
        show(herald_c.send("LO", "0:1:2:3:4", "1.2.3"))
        show(herald_c.send("lo", "0:1:2:3:4", "300.2.3.4"))
        show(herald_c.send("lo", "0:1:2:3:4:5", "300.2.3.4"))
        show(herald_c.send("lo", "0-1-2-3-4-5", "1.2.3.4"))
        show(herald_c.send("lo\0", "0:1:2:3:4:5", "1.2.3.4"))
        show(pcall(herald_c.send, "no-such-if", "0:1:2:3:4:5"))
    )"),
              "nil \"no such interface LO\"\n"
              "nil \"Invalid mac address 0:1:2:3:4\"\n"
              "nil \"Invalid IP address 300.2.3.4\"\n"
              "nil \"Invalid mac address 0-1-2-3-4-5\"\n"
              "nil \"no such interface lo\"\n"
              "false \"bad argument #3 to '?' (string expected, got no value)\"\n");
}

TEST_F(LuaModules, HeraldFreesTheInterfaceList)
{
    std::vector<std::string> argv = lua_command(R"(
        local function round()
          for i = 1, 20000 do herald_c.send("no-such-if", "0:1:2:3:4:5", "1.2.3.4") end
        end
        round()
        pause("before")
        round()
        pause("after")
    )");
    // A sanitizer holds freed memory back for a while; here it must be reused at once.
    argv.insert(argv.begin() + 1, "ASAN_OPTIONS=quarantine_size_mb=0");
    auto kib = measure(argv, "", harness::resident_kib);
    // A list kept per call would be several megabytes by now.
    EXPECT_LT(kib.second - kib.first, 512) << kib.first << " KiB before, " << kib.second;
}

// The unshare options that give a command a network namespace of its own, or none here.
std::vector<std::string> private_network()
{
    for (const char *how : {"-rn", "-n"}) {
        harness::Process p({"unshare", how, "true"}, {}, false);
        if (p.wait_exit(RUN_TIMEOUT) == 0)
            return {"unshare", how};
    }
    return {};
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

TEST_F(LuaModules, GratuitousArpOnTheWire)
{
    std::vector<std::string> argv = private_network();
    if (argv.empty())
        GTEST_SKIP() << "no network namespace of our own can be made here (unshare -rn, -n)";
    // eth0 is one end of a veth pair; the capture listens on the other end, wire0.
    argv.insert(argv.end(),
                {"sh", "-c",
                 "ip link add eth0 type veth peer name wire0 && ip link set eth0 up && "
                 "ip link set wire0 up || exit 77; exec \"$@\"",
                 "sh", PACKET_CAPTURE, "wire0", "2"});
    std::vector<std::string> script = lua_command(R"(
        show(herald_c.send("eth0", "0:1:2:3:4:5", "192.168.1.1"))
        show(herald_c.send("ETH0", "0:1:2:3:4:5", "192.168.1.1"))
        show(herald_c.send("eth0", "1ff:2:3:4:5:6 and more", "10.1"))
    )");
    argv.insert(argv.end(), script.begin(), script.end());
    lua_result r = run(argv);
    if (r.status == 77)
        GTEST_SKIP() << "no veth pair or packet socket in the namespace: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    std::string broadcast(6, '\xff');
    std::string mac1("\x00\x01\x02\x03\x04\x05", 6), ip1("\xc0\xa8\x01\x01", 4);
    std::string mac2("\xff\x02\x03\x04\x05\x06", 6), ip2("\x0a\x00\x00\x01", 4);
    std::string arp_reply("\x08\x06\x00\x01\x08\x00\x06\x04\x00\x02", 10);
    EXPECT_EQ(r.out, "true\n"
                     "nil \"no such interface ETH0\"\n"
                     "true\n"
                     "frame " + hex(broadcast + mac1 + arp_reply + mac1 + ip1 + broadcast + ip1) +
                         "\n"
                     "frame " + hex(broadcast + mac2 + arp_reply + mac2 + ip2 + broadcast + ip2) +
                         "\n");
}

}  // namespace
