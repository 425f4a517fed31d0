// herald_c: Lua sends a gratuitous ARP reply on a named network interface.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <lua.hpp>

namespace {

constexpr size_t MAC_SIZE = 6;
constexpr size_t IP_SIZE = 4;
constexpr size_t FRAME_SIZE = 42;
constexpr uint16_t ARP_HW_ETHERNET = 1;
constexpr uint16_t ARP_OP_REPLY = 2;
constexpr uint8_t BROADCAST[MAC_SIZE] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// The index of the interface called exactly NAME (LEN bytes), or 0 when there is none.
unsigned interface_index(const char *name, size_t len)
{
    struct if_nameindex *list = if_nameindex();
    if (list == nullptr)
        return 0;
    unsigned index = 0;
    for (const struct if_nameindex *i = list; i->if_index != 0; i++) {
        if (strlen(i->if_name) == len && memcmp(i->if_name, name, len) == 0) {
            index = i->if_index;
            break;
        }
    }
    if_freenameindex(list);
    return index;
}

uint8_t *put(uint8_t *at, const void *bytes, size_t n)
{
    memcpy(at, bytes, n);
    return at + n;
}

uint8_t *put16(uint8_t *at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
    return at + 2;
}

// The broadcast ARP reply announcing that IP belongs to MAC.
void build_frame(uint8_t *frame, const uint8_t *mac, const in_addr &ip)
{
    uint8_t *at = put(frame, BROADCAST, MAC_SIZE);
    at = put(at, mac, MAC_SIZE);
    at = put16(at, ETHERTYPE_ARP);
    at = put16(at, ARP_HW_ETHERNET);
    at = put16(at, ETHERTYPE_IP);
    *at++ = MAC_SIZE;
    *at++ = IP_SIZE;
    at = put16(at, ARP_OP_REPLY);
    at = put(at, mac, MAC_SIZE);
    at = put(at, &ip.s_addr, IP_SIZE);
    at = put(at, BROADCAST, MAC_SIZE);
    put(at, &ip.s_addr, IP_SIZE);
}

int fail(lua_State *L, const char *format, const char *what)
{
    lua_pushnil(L);
    lua_pushfstring(L, format, what);
    return 2;
}

// send(interface, hwaddr, ip)
int l_send(lua_State *L)
{
    size_t name_len = 0;
    const char *name = luaL_checklstring(L, 1, &name_len);
    const char *hwaddr = luaL_checklstring(L, 2, nullptr);
    const char *ip = luaL_checklstring(L, 3, nullptr);

    unsigned index = interface_index(name, name_len);
    if (index == 0)
        return fail(L, "no such interface %s", name);
    unsigned parts[MAC_SIZE];
    if (sscanf(hwaddr, "%x:%x:%x:%x:%x:%x", &parts[0], &parts[1], &parts[2], &parts[3],
               &parts[4], &parts[5]) != static_cast<int>(MAC_SIZE))
        return fail(L, "Invalid mac address %s", hwaddr);
    in_addr address{};
    if (inet_aton(ip, &address) == 0)
        return fail(L, "Invalid IP address %s", ip);

    uint8_t mac[MAC_SIZE];
    for (size_t i = 0; i < MAC_SIZE; i++)
        mac[i] = static_cast<uint8_t>(parts[i]);
    uint8_t frame[FRAME_SIZE];
    build_frame(frame, mac, address);

    sockaddr_ll to;
    memset(&to, 0, sizeof to);
    to.sll_family = AF_PACKET;
    to.sll_protocol = 0;
    to.sll_ifindex = static_cast<int>(index);
    to.sll_hatype = 0;
    to.sll_pkttype = 0;
    to.sll_halen = MAC_SIZE;
    memcpy(to.sll_addr, BROADCAST, MAC_SIZE);

    // A socket that could not be made shows up as the failure of sendto.
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ssize_t sent = sendto(fd, frame, sizeof frame, 0, reinterpret_cast<const sockaddr *>(&to),
                          sizeof to);
    int error = errno;
    if (fd >= 0)
        close(fd);
    if (sent < 0)
        return fail(L, "sendto: %s", strerror(error));
    lua_pushboolean(L, 1);
    return 1;
}

const luaL_Reg herald_table[] = {
    {"send", l_send},
    {nullptr, nullptr},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_herald_c(lua_State *L)
{
    luaL_register(L, "herald_c", herald_table);
    return 1;
}
