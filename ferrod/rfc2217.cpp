// COM port control for telnet clients (option 44): line settings, flow control, DTR, RTS,
// break and purge of the primary serial port on a client's request, the answers, and
// notifications of the modem lines.
#include "rfc2217.h"

#include <ctype.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/ioctl.h>

#include <new>

#include "client.h"
#include "config.h"
#include "line_speeds.h"
#include "log.h"
#include "mainloop.h"
#include "serial.h"
#include "telnet.h"

namespace {

// RFC 1143's states of one side of the option, without the queue bits: a request is never
// repeated while one is pending, so no more are needed.
enum : unsigned char { OPT_NO, OPT_WANTYES, OPT_YES };

constexpr unsigned char IAC = TELNET_CMD_IAC;

} // namespace

struct rfc2217_state {
    daemon_config *cfg;
    client *c; // the owner; not touched by rfc2217_free
    int id;
    unsigned char us;  // the server's side (WILL)
    unsigned char him; // the client's side
    unsigned char modemstate_mask; // line-state changes are never sent, so that mask is not kept
    bool suspended;
    bool counted; // one of active_clients
};

namespace {

// A DTR or RTS value set by a client; it lasts until that client goes or another one sets it.
struct hold {
    int id; // 0: nobody holds the line
    int on;
};

hold held_dtr, held_rts;
int break_id;       // the client whose break is on, 0 for none
int active_clients; // clients with the option on; the modem lines are polled while there are any
int modem_last;     // modem-state bits at the last poll

// The line as the primary port has it now, in the option's terms.
struct line_values {
    uint32_t baud;
    int datasize; // 5 to 8
    int parity;   // 1 none, 2 odd, 3 even
    int stopsize; // 1 or 2
    bool hardware_flow;
};

// Read from the termios the settings give, so the answer is what the port was given.
line_values line_now(serial_channel *ch)
{
    termios t = serial_termios(ch->settings);
    line_values v{};
    v.baud = static_cast<uint32_t>(line_rate_of(cfgetospeed(&t)));
    switch (t.c_cflag & CSIZE) {
    case CS5: v.datasize = 5; break;
    case CS6: v.datasize = 6; break;
    case CS7: v.datasize = 7; break;
    default: v.datasize = 8; break;
    }
    v.parity = !(t.c_cflag & PARENB) ? 1 : (t.c_cflag & PARODD) ? 2 : 3;
    v.stopsize = (t.c_cflag & CSTOPB) ? 2 : 1;
    v.hardware_flow = (t.c_cflag & CRTSCTS) != 0;
    return v;
}

const char *on_off(int on) { return on ? "on" : "off"; }

// Sends IAC SB COM-PORT-OPTION CODE VALUE IAC SE, with any 255 in the value doubled.
void answer(rfc2217_state *s, int code, const unsigned char *value, int len)
{
    constexpr int VALUE_MAX = 64;
    unsigned char msg[4 + 2 * VALUE_MAX + 2];
    static_assert(sizeof msg <= CLIENT_COMMAND_MAX, "a command fits what clients send whole");
    int n = 0;
    msg[n++] = IAC;
    msg[n++] = TELNET_CMD_SB;
    msg[n++] = RFC2217_OPTION;
    msg[n++] = static_cast<unsigned char>(code);
    for (int i = 0; i < len && i < VALUE_MAX; i++) {
        msg[n++] = value[i];
        if (value[i] == IAC)
            msg[n++] = IAC;
    }
    msg[n++] = IAC;
    msg[n++] = TELNET_CMD_SE;
    client_send_command(s->c, msg, static_cast<size_t>(n));
}

void answer_byte(rfc2217_state *s, int code, int value)
{
    unsigned char b = static_cast<unsigned char>(value);
    answer(s, code, &b, 1);
}

void send_option(rfc2217_state *s, unsigned char cmd)
{
    const unsigned char msg[] = {IAC, cmd, RFC2217_OPTION};
    client_send_command(s->c, msg, sizeof msg);
}

int modem_state(daemon_config *cfg)
{
    int bits = serial_get_control_signals(cfg->serial);
    return ((bits & TIOCM_CAR) ? RFC2217_MODEM_DCD : 0) |
           ((bits & TIOCM_RNG) ? RFC2217_MODEM_RI : 0) |
           ((bits & TIOCM_DSR) ? RFC2217_MODEM_DSR : 0) |
           ((bits & TIOCM_CTS) ? RFC2217_MODEM_CTS : 0);
}

// Tells every client with the option on (and not suspended) of a change of the modem lines,
// when the change passes its mask.
int on_rfc2217_poll(void *data)
{
    auto *cfg = static_cast<daemon_config *>(data);
    int now = modem_state(cfg);
    int changed = now ^ modem_last;
    if (changed == 0)
        return 1;
    int value = now;
    if (changed & RFC2217_MODEM_CTS)
        value |= RFC2217_MODEM_DELTA_CTS;
    if (changed & RFC2217_MODEM_DSR)
        value |= RFC2217_MODEM_DELTA_DSR;
    if (changed & RFC2217_MODEM_DCD)
        value |= RFC2217_MODEM_DELTA_DCD;
    if ((changed & RFC2217_MODEM_RI) && !(now & RFC2217_MODEM_RI))
        value |= RFC2217_MODEM_RI_TRAILING;
    modem_last = now;
    // Sending a command never deletes a client.
    for (client *c = cfg->clients; c; c = c->next) {
        rfc2217_state *s = c->telnet ? c->telnet->com : nullptr;
        if (rfc2217_active(s) && !s->suspended && (value & s->modemstate_mask))
            answer_byte(s, RFC2217_SERVER + RFC2217_NOTIFY_MODEMSTATE, value & s->modemstate_mask);
    }
    return 1;
}

// Counts the client in or out of those with the option on; a client coming in is told the
// modem lines as they are.
void update_active(rfc2217_state *s)
{
    bool active = rfc2217_active(s);
    if (active == s->counted)
        return;
    s->counted = active;
    fr_log(LG_DBG, "Client %d: COM port control %s", s->id, on_off(active));
    if (!active) {
        if (--active_clients == 0)
            mainloop_timer_del(on_rfc2217_poll, s->cfg);
        return;
    }
    if (active_clients++ == 0) {
        modem_last = modem_state(s->cfg);
        mainloop_timer_add(0, RFC2217_POLL_MS, on_rfc2217_poll, s->cfg);
    }
    if (s->modemstate_mask)
        answer_byte(s, RFC2217_SERVER + RFC2217_NOTIFY_MODEMSTATE,
                    modem_state(s->cfg) & s->modemstate_mask);
}

// Applies new line settings to the primary port; false when the port refused them.
bool set_line(rfc2217_state *s, const serial_settings &settings)
{
    return serial_set_line(s->cfg->serial, settings) == 0;
}

void set_baudrate(rfc2217_state *s, const unsigned char *v)
{
    serial_channel *ch = s->cfg->serial;
    uint32_t want = static_cast<uint32_t>(v[0]) << 24 | static_cast<uint32_t>(v[1]) << 16 |
                    static_cast<uint32_t>(v[2]) << 8 | v[3];
    speed_t speed;
    if (want != 0) {
        if (want > INT_MAX || !rfc2217_speed(static_cast<int>(want), &speed)) {
            fr_log(LG_DBG, "Client %d: baud rate %u not supported", s->id, want);
        } else {
            serial_settings next = ch->settings;
            next.baudrate = static_cast<int>(want);
            next.exact_baud = 1;
            if (set_line(s, next))
                fr_log(LG_INF, "Client %d set baud rate %u", s->id, want);
        }
    }
    uint32_t now = line_now(ch).baud;
    const unsigned char value[] = {static_cast<unsigned char>(now >> 24),
                                   static_cast<unsigned char>(now >> 16),
                                   static_cast<unsigned char>(now >> 8),
                                   static_cast<unsigned char>(now)};
    answer(s, RFC2217_SERVER + RFC2217_SET_BAUDRATE, value, 4);
}

void set_datasize(rfc2217_state *s, int want)
{
    serial_channel *ch = s->cfg->serial;
    if (want >= 5 && want <= 8) {
        serial_settings next = ch->settings;
        next.databits = want;
        if (set_line(s, next))
            fr_log(LG_INF, "Client %d set data size %d", s->id, want);
    } else if (want != 0) {
        fr_log(LG_DBG, "Client %d: data size %d not supported", s->id, want);
    }
    answer_byte(s, RFC2217_SERVER + RFC2217_SET_DATASIZE, line_now(ch).datasize);
}

void set_parity(rfc2217_state *s, int want)
{
    static const char *const names[] = {"", "none", "odd", "even"};
    serial_channel *ch = s->cfg->serial;
    if (want >= 1 && want <= 3) {
        serial_settings next = ch->settings;
        next.parity = "noe"[want - 1];
        if (set_line(s, next))
            fr_log(LG_INF, "Client %d set parity %s", s->id, names[want]);
    } else if (want != 0) {
        fr_log(LG_DBG, "Client %d: parity %d not supported", s->id, want);
    }
    answer_byte(s, RFC2217_SERVER + RFC2217_SET_PARITY, line_now(ch).parity);
}

void set_stopsize(rfc2217_state *s, int want)
{
    serial_channel *ch = s->cfg->serial;
    if (want == 1 || want == 2) {
        serial_settings next = ch->settings;
        next.stopbits = want;
        if (set_line(s, next))
            fr_log(LG_INF, "Client %d set stop bits %d", s->id, want);
    } else if (want != 0) {
        fr_log(LG_DBG, "Client %d: stop size %d not supported", s->id, want);
    }
    answer_byte(s, RFC2217_SERVER + RFC2217_SET_STOPSIZE, line_now(ch).stopsize);
}

void set_flow(rfc2217_state *s, bool hardware)
{
    serial_channel *ch = s->cfg->serial;
    serial_settings next = ch->settings;
    next.flow = hardware ? 1 : 0;
    if (set_line(s, next))
        fr_log(LG_INF, "Client %d set flow control %s", s->id, hardware ? "RTS/CTS" : "none");
}

void hold_line(rfc2217_state *s, int bit, int on)
{
    hold &h = bit == TIOCM_DTR ? held_dtr : held_rts;
    h = {s->id, on};
    serial_update_dtr(s->cfg->serial);
    fr_log(LG_INF, "Client %d set %s %s", s->id, bit == TIOCM_DTR ? "DTR" : "RTS", on_off(on));
}

void set_break(rfc2217_state *s, int on)
{
    serial_break(s->cfg->serial, on);
    break_id = on ? s->id : 0;
    fr_log(LG_INF, "Client %d set break %s", s->id, on_off(on));
}

// SET-CONTROL: values 0 to 19. Flow control applies to both directions at once (the port has
// one RTS/CTS switch); XON/XOFF, DCD, DTR and DSR flow control are not offered.
void set_control(rfc2217_state *s, int value)
{
    enum { OUT_NONE = 1, OUT_HW = 3, BREAK_ON = 5, BREAK_OFF = 6, DTR_ON = 8, DTR_OFF = 9,
           RTS_ON = 11, RTS_OFF = 12, IN_NONE = 14, IN_HW = 16 };
    if (value > 19) {
        fr_log(LG_DBG, "Client %d: unknown COM port control value %d, ignored", s->id, value);
        return;
    }
    bool outbound = true; // which flow-control value is answered
    switch (value) {
    case 1: set_flow(s, false); break;
    case 3: set_flow(s, true); break;
    case 5: set_break(s, 1); break;
    case 6: set_break(s, 0); break;
    case 8: hold_line(s, TIOCM_DTR, 1); break;
    case 9: hold_line(s, TIOCM_DTR, 0); break;
    case 11: hold_line(s, TIOCM_RTS, 1); break;
    case 12: hold_line(s, TIOCM_RTS, 0); break;
    case 14: set_flow(s, false); outbound = false; break;
    case 16: set_flow(s, true); outbound = false; break;
    case 13: outbound = false; break;
    case 15:
    case 18:
        outbound = false;
        fr_log(LG_DBG, "Client %d: control value %d not supported", s->id, value);
        break;
    case 2:
    case 17:
    case 19: fr_log(LG_DBG, "Client %d: control value %d not supported", s->id, value); break;
    default: break; // the queries 0, 4, 7 and 10
    }

    int now;
    int clients_on = s->cfg->num_clients > 0;
    if (value >= 4 && value <= 6)
        now = break_id ? BREAK_ON : BREAK_OFF;
    else if (value >= 7 && value <= 9)
        now = rfc2217_line(TIOCM_DTR, clients_on) ? DTR_ON : DTR_OFF;
    else if (value >= 10 && value <= 12)
        now = rfc2217_line(TIOCM_RTS, clients_on) ? RTS_ON : RTS_OFF;
    else if (outbound)
        now = line_now(s->cfg->serial).hardware_flow ? OUT_HW : OUT_NONE;
    else
        now = line_now(s->cfg->serial).hardware_flow ? IN_HW : IN_NONE;
    answer_byte(s, RFC2217_SERVER + RFC2217_SET_CONTROL, now);
}

void purge(rfc2217_state *s, int value)
{
    static const char *const names[] = {"", "input", "output", "input and output"};
    if (value < 1 || value > 3) {
        fr_log(LG_DBG, "Client %d: unknown purge value %d, ignored", s->id, value);
        return;
    }
    serial_purge(s->cfg->serial, value & 1, value & 2);
    fr_log(LG_INF, "Client %d purged %s", s->id, names[value]);
    answer_byte(s, RFC2217_SERVER + RFC2217_PURGE_DATA, value);
}

void signature(rfc2217_state *s, const unsigned char *text, int len)
{
    if (len > 0 && log_level >= LG_DBG) {
        char shown[TELNET_SUBNEG_MAX + 1];
        int n = 0;
        for (; n < len && n < TELNET_SUBNEG_MAX; n++)
            shown[n] = isprint(text[n]) ? static_cast<char>(text[n]) : '.';
        shown[n] = '\0';
        fr_log(LG_DBG, "Client %d signature: %s", s->id, shown);
    }
    char mine[48];
    int n = snprintf(mine, sizeof mine, "ferrod %s", s->cfg->serial->name);
    n = n < 0 ? 0 : n >= static_cast<int>(sizeof mine) ? static_cast<int>(sizeof mine) - 1 : n;
    answer(s, RFC2217_SERVER + RFC2217_SIGNATURE, reinterpret_cast<unsigned char *>(mine), n);
}

} // namespace

rfc2217_state *rfc2217_new(client *c)
{
    daemon_config *cfg = c->cfg;
    if (!cfg->rfc2217 || cfg->mode != MODE_TELNET_SERVER || !cfg->serial)
        return nullptr;
    auto *s = fr_new(rfc2217_state, "Not enough memory to allocate telnet state");
    s->cfg = cfg;
    s->c = c;
    s->id = c->id;
    // Both offered with the announcement; a client that agrees to neither never gets a
    // COM port command.
    s->us = OPT_WANTYES;
    s->him = OPT_WANTYES;
    s->modemstate_mask = 0xff;
    return s;
}

void rfc2217_free(rfc2217_state *s)
{
    if (!s)
        return;
    if (held_dtr.id == s->id)
        held_dtr = {};
    if (held_rts.id == s->id)
        held_rts = {};
    if (break_id == s->id) {
        break_id = 0;
        serial_break(s->cfg->serial, 0);
    }
    if (s->counted && --active_clients == 0)
        mainloop_timer_del(on_rfc2217_poll, s->cfg);
    delete s;
}

void rfc2217_option(rfc2217_state *s, int cmd)
{
    switch (cmd) {
    case TELNET_CMD_DO:
        if (s->us == OPT_NO)
            send_option(s, TELNET_CMD_WILL);
        s->us = OPT_YES;
        break;
    case TELNET_CMD_DONT:
        if (s->us == OPT_YES)
            send_option(s, TELNET_CMD_WONT);
        s->us = OPT_NO;
        break;
    case TELNET_CMD_WILL:
        if (s->him == OPT_NO)
            send_option(s, TELNET_CMD_DO);
        s->him = OPT_YES;
        break;
    case TELNET_CMD_WONT:
        if (s->him == OPT_YES)
            send_option(s, TELNET_CMD_DONT);
        s->him = OPT_NO;
        break;
    default: break;
    }
    update_active(s);
}

void rfc2217_subneg(rfc2217_state *s, const unsigned char *buf, int len)
{
    if (len < 1) {
        fr_log(LG_DBG, "Client %d: empty COM port subnegotiation, ignored", s->id);
        return;
    }
    int cmd = buf[0];
    const unsigned char *v = buf + 1;
    int n = len - 1;
    if (s->us == OPT_NO && s->him == OPT_NO) {
        fr_log(LG_DBG, "Client %d: COM port command %d without the option, ignored", s->id, cmd);
        return;
    }
    // A client whose own requests crossed our offers may take the offers as its answers and
    // never answer them: its first command shows that it has the option on.
    if (!rfc2217_active(s)) {
        if (s->us == OPT_WANTYES)
            s->us = OPT_YES;
        if (s->him == OPT_WANTYES)
            s->him = OPT_YES;
        update_active(s);
    }
    // Every command but the signature has a fixed length.
    static const signed char lengths[] = {-1, 4, 1, 1, 1, 1, -2, 0, 0, 0, 1, 1, 1};
    if (cmd >= static_cast<int>(sizeof lengths) || lengths[cmd] == -2) {
        fr_log(LG_DBG, "Client %d: unknown COM port command %d, ignored", s->id, cmd);
        return;
    }
    if (lengths[cmd] >= 0 && n != lengths[cmd]) {
        fr_log(LG_DBG, "Client %d: COM port command %d with %d value bytes, ignored", s->id, cmd,
               n);
        return;
    }
    switch (cmd) {
    case RFC2217_SIGNATURE: signature(s, v, n); break;
    case RFC2217_SET_BAUDRATE: set_baudrate(s, v); break;
    case RFC2217_SET_DATASIZE: set_datasize(s, v[0]); break;
    case RFC2217_SET_PARITY: set_parity(s, v[0]); break;
    case RFC2217_SET_STOPSIZE: set_stopsize(s, v[0]); break;
    case RFC2217_SET_CONTROL: set_control(s, v[0]); break;
    case RFC2217_NOTIFY_MODEMSTATE:
        // Asked for by clients that poll: the lines as they are now.
        answer_byte(s, RFC2217_SERVER + RFC2217_NOTIFY_MODEMSTATE, modem_state(s->cfg));
        break;
    case RFC2217_FLOWCONTROL_SUSPEND:
    case RFC2217_FLOWCONTROL_RESUME:
        s->suspended = cmd == RFC2217_FLOWCONTROL_SUSPEND;
        fr_log(LG_DBG, "Client %d: output %s", s->id, s->suspended ? "suspended" : "resumed");
        answer(s, RFC2217_SERVER + cmd, nullptr, 0);
        break;
    case RFC2217_SET_LINESTATE_MASK:
    case RFC2217_SET_MODEMSTATE_MASK:
        if (cmd == RFC2217_SET_MODEMSTATE_MASK)
            s->modemstate_mask = v[0];
        fr_log(LG_DBG, "Client %d: %s state mask 0x%02x", s->id,
               cmd == RFC2217_SET_LINESTATE_MASK ? "line" : "modem", v[0]);
        answer_byte(s, RFC2217_SERVER + cmd, v[0]);
        break;
    case RFC2217_PURGE_DATA: purge(s, v[0]); break;
    default: break;
    }
}

void rfc2217_subneg_cut(rfc2217_state *s)
{
    fr_log(LG_DBG, "Client %d: COM port subnegotiation cut short, ignored", s->id);
}

bool rfc2217_active(const rfc2217_state *s)
{
    return s && (s->us == OPT_YES || s->him == OPT_YES);
}

bool rfc2217_suspended(const rfc2217_state *s) { return s && s->suspended; }

int rfc2217_line(int bit, int on)
{
    const hold &h = bit == TIOCM_DTR ? held_dtr : held_rts;
    return h.id ? h.on : on;
}

bool rfc2217_speed(int baud, speed_t *speed)
{
    speed_t code = line_speed_of(baud, SPEED_REMOTE, B0);
    if (code == B0)
        return false;
    *speed = code;
    return true;
}
