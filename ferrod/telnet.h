// Telnet handling of mode 5 clients: the option announcement and the input filter.
#pragma once

#include <stddef.h>

struct client;
struct rfc2217_state;

#define TELNET_CMD_SE 240
#define TELNET_CMD_IP 244
#define TELNET_CMD_SB 250
#define TELNET_CMD_WILL 251
#define TELNET_CMD_WONT 252
#define TELNET_CMD_DO 253
#define TELNET_CMD_DONT 254
#define TELNET_CMD_IAC 255

// Where the input filter stands between two bytes.
enum telnet_input_state {
    TELNET_STATE_DATA,
    TELNET_STATE_IAC,
    TELNET_STATE_OPTION,
    TELNET_STATE_SB,
    TELNET_STATE_SB_DATA,
    TELNET_STATE_SB_IAC,
    TELNET_STATE_CR,
};

#define TELNET_SUBNEG_MAX 32

struct telnet_state {
    struct client *client; // the owning client (borrowed)
    telnet_input_state state;
    int subneg_option;
    unsigned char subneg_buf[TELNET_SUBNEG_MAX];
    int subneg_len;
    int option_cmd;     // WILL, WONT, DO or DONT, whose option byte comes next
    rfc2217_state *com; // remote port control (rfc2217.cpp); only with ferrod_rfc2217 on
};

// Creates the state and sends the announcement. The client may be deleted by that send (the
// caller checks); the state is returned either way and must then be freed by the caller.
telnet_state *telnet_new(client *c);
void telnet_free(telnet_state *t);
// Feeds bytes read from the client through the filter; data bytes go to the serial port(s).
void telnet_handle(telnet_state *t, const unsigned char *data, size_t len);
void telnet_handle_char(telnet_state *t, unsigned char ch);
