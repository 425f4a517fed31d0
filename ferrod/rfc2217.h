// Remote control of the primary serial port by telnet clients: the COM-PORT-OPTION (option 44).
#pragma once

#include <termios.h>

struct client;

#define RFC2217_OPTION 44

// Commands a client sends; the server answers with the command plus RFC2217_SERVER.
enum {
    RFC2217_SIGNATURE = 0,
    RFC2217_SET_BAUDRATE = 1,
    RFC2217_SET_DATASIZE = 2,
    RFC2217_SET_PARITY = 3,
    RFC2217_SET_STOPSIZE = 4,
    RFC2217_SET_CONTROL = 5,
    RFC2217_NOTIFY_LINESTATE = 6,
    RFC2217_NOTIFY_MODEMSTATE = 7,
    RFC2217_FLOWCONTROL_SUSPEND = 8,
    RFC2217_FLOWCONTROL_RESUME = 9,
    RFC2217_SET_LINESTATE_MASK = 10,
    RFC2217_SET_MODEMSTATE_MASK = 11,
    RFC2217_PURGE_DATA = 12,
};
#define RFC2217_SERVER 100

// Modem-state bits of NOTIFY-MODEMSTATE.
#define RFC2217_MODEM_DCD 0x80
#define RFC2217_MODEM_RI 0x40
#define RFC2217_MODEM_DSR 0x20
#define RFC2217_MODEM_CTS 0x10
#define RFC2217_MODEM_DELTA_DCD 0x08
#define RFC2217_MODEM_RI_TRAILING 0x04
#define RFC2217_MODEM_DELTA_DSR 0x02
#define RFC2217_MODEM_DELTA_CTS 0x01

// How often the modem lines are looked at while a client has the option on, in milliseconds.
#define RFC2217_POLL_MS 100

struct rfc2217_state;

// The port-control state of a new telnet client, with the option offered both ways; null
// unless ferrod_rfc2217 is on in mode 5.
rfc2217_state *rfc2217_new(client *c);
// Ends a client's control: a break or a DTR/RTS value it holds is given up. Accepts null; never
// touches the client record, which may be gone already.
void rfc2217_free(rfc2217_state *s);
// The client sent WILL, WONT, DO or DONT (CMD) for the option.
void rfc2217_option(rfc2217_state *s, int cmd);
// A whole subnegotiation of the option: BUF holds the bytes after the option code, with
// doubled IACs undone.
void rfc2217_subneg(rfc2217_state *s, const unsigned char *buf, int len);
// A subnegotiation of the option that an IAC not followed by SE cut short.
void rfc2217_subneg_cut(rfc2217_state *s);

// True when the option is on for this client (null: false). Its byte stream is then the
// serial stream itself: CR is an ordinary byte.
bool rfc2217_active(const rfc2217_state *s);
// True while the client has asked to receive nothing (FLOWCONTROL-SUSPEND).
bool rfc2217_suspended(const rfc2217_state *s);

// DTR or RTS (the TIOCM_ bit) as it is to be driven: the value a client holds, else ON.
int rfc2217_line(int bit, int on);
// The termios code of a baud rate; false when there is none.
bool rfc2217_speed(int baud, speed_t *speed);
