// Telnet: a fixed option announcement, then a byte-at-a-time filter that removes commands and
// subnegotiations and turns the telnet end of line into a single CR.
#include "telnet.h"

#include <string.h>

#include <new>

#include "client.h"
#include "config.h"
#include "log.h"
#include "rfc2217.h"
#include "serial.h"

namespace {

constexpr unsigned char CR = 13;
constexpr unsigned char LF = 10;
constexpr unsigned char NUL = 0;

// IAC WILL ECHO, IAC WILL SUPPRESS-GO-AHEAD, IAC DONT NAWS.
constexpr unsigned char announcement[] = {
    TELNET_CMD_IAC, TELNET_CMD_WILL, 1, TELNET_CMD_IAC, TELNET_CMD_WILL, 3,
    TELNET_CMD_IAC, TELNET_CMD_DONT, 31,
};

// With remote port control on, the announcement goes on with IAC WILL and IAC DO
// COM-PORT-OPTION, in the same send.
constexpr unsigned char com_offer[] = {
    TELNET_CMD_IAC, TELNET_CMD_WILL, RFC2217_OPTION, TELNET_CMD_IAC, TELNET_CMD_DO, RFC2217_OPTION,
};

// Every data byte goes to the port(s) on its own.
void put_byte(telnet_state *t, unsigned char ch)
{
    daemon_config *cfg = t->client->cfg;
    serial_tx(cfg->serial, &ch, 1);
    serial_tx(cfg->serial2, &ch, 1);
}

void store_subneg(telnet_state *t, unsigned char ch)
{
    if (t->subneg_len < TELNET_SUBNEG_MAX)
        t->subneg_buf[t->subneg_len++] = ch;
}

void handle_data(telnet_state *t, unsigned char ch)
{
    if (ch == TELNET_CMD_IAC)
        t->state = TELNET_STATE_IAC;
    else if (ch == CR && !rfc2217_active(t->com)) // a COM port's CR is just a byte
        t->state = TELNET_STATE_CR;
    else
        put_byte(t, ch);
}

} // namespace

telnet_state *telnet_new(client *c)
{
    auto *t = fr_new(telnet_state, "Not enough memory to allocate telnet state");
    t->client = c;
    t->state = TELNET_STATE_DATA;
    t->com = rfc2217_new(c);
    unsigned char first[sizeof announcement + sizeof com_offer];
    memcpy(first, announcement, sizeof announcement);
    int len = sizeof announcement;
    if (t->com) {
        memcpy(first + len, com_offer, sizeof com_offer);
        len += sizeof com_offer;
    }
    // May delete the client; nothing touches it afterwards.
    client_write(c, first, len);
    return t;
}

void telnet_free(telnet_state *t)
{
    rfc2217_free(t->com);
    delete t;
}

void telnet_handle(telnet_state *t, const unsigned char *data, size_t len)
{
    for (size_t i = 0; i < len; i++)
        telnet_handle_char(t, data[i]);
}

void telnet_handle_char(telnet_state *t, unsigned char ch)
{
    int id = t->client->id;
    if (t->state == TELNET_STATE_IAC && ch >= TELNET_CMD_WILL && ch <= TELNET_CMD_DONT)
        t->option_cmd = ch;
    switch (t->state) {
    case TELNET_STATE_DATA:
        handle_data(t, ch);
        break;
    case TELNET_STATE_IAC:
        t->state = TELNET_STATE_DATA;
        switch (ch) {
        case TELNET_CMD_SB: t->state = TELNET_STATE_SB; break;
        case TELNET_CMD_IP: fr_log(LG_DMP, "telnet %d> Ctrl-C", id); break;
        case TELNET_CMD_WILL:
            fr_log(LG_DMP, "telnet %d> WILL", id);
            t->state = TELNET_STATE_OPTION;
            break;
        case TELNET_CMD_DO:
            fr_log(LG_DMP, "telnet %d> DO", id);
            t->state = TELNET_STATE_OPTION;
            break;
        case TELNET_CMD_DONT:
            fr_log(LG_DMP, "telnet %d> DONT", id);
            t->state = TELNET_STATE_OPTION;
            break;
        case TELNET_CMD_WONT:
            fr_log(LG_DMP, "telnet %d> WONT", id);
            t->state = TELNET_STATE_OPTION;
            break;
        case TELNET_CMD_IAC: put_byte(t, ch); break; // the escaped data byte 255
        default: fr_log(LG_DMP, "telnet %d> Unhandled command", id); break;
        }
        break;
    case TELNET_STATE_OPTION:
        fr_log(LG_DMP, "telnet %d> Option %d", id, ch);
        t->state = TELNET_STATE_DATA;
        if (t->com && ch == RFC2217_OPTION)
            rfc2217_option(t->com, t->option_cmd);
        break;
    case TELNET_STATE_SB:
        fr_log(LG_DMP, "telnet %d> Got sub %d", id, ch);
        t->subneg_option = ch;
        if (t->com)
            t->subneg_len = 0; // each subnegotiation is read on its own
        t->state = TELNET_STATE_SB_DATA;
        break;
    case TELNET_STATE_SB_DATA:
        if (ch == TELNET_CMD_IAC)
            t->state = TELNET_STATE_SB_IAC;
        else
            store_subneg(t, ch);
        break;
    case TELNET_STATE_SB_IAC:
        if (ch == TELNET_CMD_SE) {
            fr_loghex("Substuff", t->subneg_buf, static_cast<size_t>(t->subneg_len));
            if (t->com && t->subneg_option == RFC2217_OPTION)
                rfc2217_subneg(t->com, t->subneg_buf, t->subneg_len);
            t->subneg_len = 0;
            t->state = TELNET_STATE_DATA;
        } else if (ch == TELNET_CMD_IAC) {
            store_subneg(t, ch); // an escaped 255 inside the subnegotiation
            t->state = TELNET_STATE_SB_DATA;
        } else {
            fr_log(LG_DMP, "telnet %d> Expcted TELNET_CMD_SE", id);
            t->state = TELNET_STATE_DATA;
            if (t->com && t->subneg_option == RFC2217_OPTION)
                rfc2217_subneg_cut(t->com);
        }
        break;
    case TELNET_STATE_CR:
        // The held CR goes out now; CR LF and CR NUL are one end of line, any other byte is
        // data (or a command) in its own right.
        put_byte(t, CR);
        t->state = TELNET_STATE_DATA;
        if (ch != LF && ch != NUL)
            handle_data(t, ch);
        break;
    }
}
