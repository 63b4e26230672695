// platform/telnet.cpp: the telnet and com port control side of a network port (see telnet.h).
#include "platform/telnet.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace plat
{

namespace
{

constexpr uint8_t TN_CR = 13;
constexpr uint8_t TN_NUL = 0;
constexpr uint32_t ASKED_MAX = 16;  // settings waiting for their replies

enum class Rx : uint8_t { DATA, CR, IAC, OPTION, SB, SB_IAC };

// One option's state: agreed each way, asked for by us and not answered yet, refused once.
struct Option {
    bool us;          // we do it (the server said DO)
    bool him;         // the server does it (it said WILL)
    bool us_asked;    // our WILL waits for its answer
    bool him_asked;   // our DO waits for its answer
    bool us_refused;  // the server's DO was refused with WONT
    bool him_refused;
    uint8_t answers;
};

// A setting sent and not yet answered.
struct Asked {
    uint8_t code;
    uint8_t value;
    uint32_t sent_at;
};

struct Note {
    char text[TN_NOTE_SIZE];
    bool console;
};

std::mutex engine_mutex;

bool on;
Rx rx = Rx::DATA;
uint8_t verb;  // the WILL, WONT, DO or DONT whose option comes next
Option options[256];
uint8_t sb_buf[TN_SB_MAX];
uint32_t sb_len;
bool sb_overflow;
bool suspended;

// The settings wanted, sent once the server takes the com port option.
bool settings_wanted;
int32_t want_baud;
bool lines_wanted;  // a lines request waits with the settings
bool want_lines_up;
bool settings_sent;

Asked asked[ASKED_MAX];
uint32_t asked_count;

uint8_t control[TN_CONTROL_SIZE];
uint32_t control_len;
bool control_overflow_noted;

Note notes[TN_NOTES];
uint32_t note_first;
uint32_t note_count;

__attribute__((format(printf, 2, 0))) void note_v(bool console, const char* fmt, va_list ap)
{
    if (note_count == TN_NOTES) {
        note_first = (note_first + 1) % TN_NOTES;  // the oldest goes
        --note_count;
    }
    Note& n = notes[(note_first + note_count) % TN_NOTES];
    std::vsnprintf(n.text, sizeof n.text, fmt, ap);
    n.console = console;
    ++note_count;
}

__attribute__((format(printf, 2, 3))) void note(bool console, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    note_v(console, fmt, ap);
    va_end(ap);
}

void put(const uint8_t* b, uint32_t n)
{
    if (control_len + n > TN_CONTROL_SIZE) {
        if (!control_overflow_noted) {
            control_overflow_noted = true;
            note(false, "net: the server reads nothing; telnet answers dropped");
        }
        return;
    }
    std::memcpy(control + control_len, b, n);
    control_len += n;
}

void put_command(uint8_t v, uint8_t opt)
{
    const uint8_t b[3] = {TN_IAC, v, opt};
    put(b, 3);
}

// One com port control command with its payload, IAC doubled inside it, waiting for its reply.
void put_cpc(uint8_t code, const uint8_t* payload, uint32_t n, uint32_t now)
{
    uint8_t b[4 + 2 * 4 + 2];
    uint32_t len = 0;
    b[len++] = TN_IAC;
    b[len++] = TN_SB;
    b[len++] = TN_OPT_COM_PORT;
    b[len++] = code;
    for (uint32_t i = 0; i < n && i < 4; ++i) {
        b[len++] = payload[i];
        if (payload[i] == TN_IAC) {
            b[len++] = TN_IAC;
        }
    }
    b[len++] = TN_IAC;
    b[len++] = TN_SE;
    put(b, len);
    if (asked_count < ASKED_MAX) {
        asked[asked_count++] = Asked{code, n > 0 ? payload[n - 1] : uint8_t{0}, now};
    }
}

void put_control(uint8_t value, uint32_t now)
{
    put_cpc(CPC_SET_CONTROL, &value, 1, now);
}

void put_lines(bool up, uint32_t now)
{
    put_control(up ? CPC_DTR_ON : CPC_DTR_OFF, now);
    put_control(up ? CPC_RTS_ON : CPC_RTS_OFF, now);
}

void send_settings(uint32_t now)
{
    const uint32_t b = static_cast<uint32_t>(want_baud);
    const uint8_t rate[4] = {static_cast<uint8_t>(b >> 24), static_cast<uint8_t>(b >> 16),
                             static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)};
    put_cpc(CPC_SET_BAUDRATE, rate, 4, now);
    const uint8_t eight = 8;
    const uint8_t one = 1;
    put_cpc(CPC_SET_DATASIZE, &eight, 1, now);
    put_cpc(CPC_SET_PARITY, &one, 1, now);  // none
    put_cpc(CPC_SET_STOPSIZE, &one, 1, now);
    put_control(CPC_FLOW_NONE, now);
    if (lines_wanted) {
        put_lines(want_lines_up, now);
    }
    settings_sent = true;
}

const char* setting_name(uint8_t code, uint8_t value)
{
    switch (code) {
    case CPC_SET_BAUDRATE:
        return "the rate";
    case CPC_SET_DATASIZE:
        return "the data size";
    case CPC_SET_PARITY:
        return "the parity";
    case CPC_SET_STOPSIZE:
        return "the stop size";
    default:
        break;
    }
    switch (value) {
    case CPC_FLOW_NONE:
        return "no flow control";
    case CPC_DTR_ON:
        return "DTR on";
    case CPC_DTR_OFF:
        return "DTR off";
    case CPC_RTS_ON:
        return "RTS on";
    case CPC_RTS_OFF:
        return "RTS off";
    default:
        return "a control setting";
    }
}

// The reply to code: the oldest request it answers (for SET-CONTROL the one of that value, else
// the oldest SET-CONTROL) is no longer waited for. Returns the value that request asked for.
bool answered(uint8_t code, uint8_t value, uint8_t* asked_value)
{
    uint32_t hit = ASKED_MAX;
    for (uint32_t i = 0; i < asked_count; ++i) {
        if (asked[i].code == code) {
            if (hit == ASKED_MAX) {
                hit = i;
            }
            if (code != CPC_SET_CONTROL || asked[i].value == value) {
                hit = i;
                break;
            }
        }
    }
    if (hit == ASKED_MAX) {
        return false;
    }
    *asked_value = asked[hit].value;
    std::memmove(asked + hit, asked + hit + 1, (asked_count - hit - 1) * sizeof asked[0]);
    --asked_count;
    return true;
}

// A com port control message from the server: sb_buf[1] is its code, the rest its payload.
void com_port_message()
{
    if (sb_len < 2) {
        return;
    }
    const uint8_t code = sb_buf[1];
    const uint8_t* v = sb_buf + 2;
    const uint32_t n = sb_len - 2;
    uint8_t asked_value = 0;
    switch (code) {
    case CPC_REPLY + CPC_SET_BAUDRATE: {
        if (n < 4) {
            return;
        }
        const uint32_t baud = static_cast<uint32_t>(v[0]) << 24 |
                              static_cast<uint32_t>(v[1]) << 16 | static_cast<uint32_t>(v[2]) << 8 |
                              v[3];
        (void)answered(CPC_SET_BAUDRATE, 0, &asked_value);
        if (!settings_sent) {
            note(false, "net: server reports the rate %u baud", baud);  // no rate asked yet
        } else if (baud != static_cast<uint32_t>(want_baud)) {
            note(true, "the server set the line to %u baud, not the %d asked for", baud, want_baud);
        } else {
            note(false, "net: server rate %u baud", baud);
        }
        return;
    }
    case CPC_REPLY + CPC_SET_DATASIZE:
    case CPC_REPLY + CPC_SET_PARITY:
    case CPC_REPLY + CPC_SET_STOPSIZE:
    case CPC_REPLY + CPC_SET_CONTROL: {
        if (n < 1) {
            return;
        }
        const uint8_t asked_code = code - CPC_REPLY;
        if (!answered(asked_code, v[0], &asked_value)) {
            note(false, "net: server reports %s %u", setting_name(asked_code, v[0]), v[0]);
        } else if (v[0] != asked_value) {
            note(asked_code != CPC_SET_CONTROL, "the server set %s to %u, not the %u asked for",
                 setting_name(asked_code, asked_value), v[0], asked_value);
        } else {
            note(false, "net: server sets %s (%u)", setting_name(asked_code, asked_value), v[0]);
        }
        return;
    }
    case CPC_SUSPEND:
        if (!suspended) {
            suspended = true;
            note(false, "net: server suspends sending");
        }
        return;
    case CPC_RESUME:
        if (suspended) {
            suspended = false;
            note(false, "net: server resumes sending");
        }
        return;
    case CPC_NOTIFY_MODEMSTATE:
    case CPC_NOTIFY_LINESTATE:
        if (n >= 1) {
            note(false, "net: server %s state 0x%02x",
                 code == CPC_NOTIFY_MODEMSTATE ? "modem" : "line", v[0]);
        }
        return;
    case CPC_REPLY: {
        char sig[48];
        uint32_t k = 0;
        for (uint32_t i = 0; i < n && k + 1 < sizeof sig; ++i) {
            sig[k++] = v[i] >= 0x20 && v[i] < 0x7F ? static_cast<char>(v[i]) : '.';
        }
        sig[k] = '\0';
        note(false, "net: server signature \"%s\"", sig);
        return;
    }
    default:
        return;  // the masks' and the purge's replies: nothing asked them
    }
}

void subnegotiation_end()
{
    if (sb_overflow) {
        note(false, "net: a subnegotiation over %u bytes dropped", TN_SB_MAX);
    } else if (sb_len > 0 && sb_buf[0] == TN_OPT_COM_PORT) {
        com_port_message();
    }
    sb_len = 0;
    sb_overflow = false;
}

bool answer_allowed(Option& o)
{
    if (o.answers >= TN_ANSWERS_MAX) {
        return false;
    }
    ++o.answers;
    return true;
}

void option_request(uint8_t v, uint8_t opt, uint32_t now)
{
    Option& o = options[opt];
    const bool we_do = opt == TN_OPT_BINARY || opt == TN_OPT_SGA || opt == TN_OPT_COM_PORT;
    const bool he_does = opt == TN_OPT_BINARY || opt == TN_OPT_SGA;
    switch (v) {
    case TN_DO:
        if (!we_do) {
            if (!o.us_refused && answer_allowed(o)) {
                put_command(TN_WONT, opt);
            }
            o.us_refused = true;
        } else if (!o.us) {
            o.us = true;
            if (!o.us_asked && answer_allowed(o)) {
                put_command(TN_WILL, opt);
            }
            o.us_asked = false;
            if (opt == TN_OPT_COM_PORT) {
                note(false, "net: server takes the com port option");
                if (settings_wanted && !settings_sent) {
                    send_settings(now);
                }
            }
        } else {
            o.us_asked = false;
        }
        return;
    case TN_DONT:
        if (o.us) {
            o.us = false;
            if (answer_allowed(o)) {
                put_command(TN_WONT, opt);
            }
        } else if (o.us_asked) {
            o.us_asked = false;
            if (opt == TN_OPT_COM_PORT) {
                note(true, "the server does not take port settings: the line runs as the server "
                           "set it");
            } else if (opt == TN_OPT_BINARY) {
                note(false, "net: server refuses binary from us: CR goes as CR NUL");
            }
        }
        return;
    case TN_WILL:
        if (!he_does) {
            if (!o.him_refused && answer_allowed(o)) {
                put_command(TN_DONT, opt);
            }
            o.him_refused = true;
        } else if (!o.him) {
            o.him = true;
            if (!o.him_asked && answer_allowed(o)) {
                put_command(TN_DO, opt);
            }
            o.him_asked = false;
        } else {
            o.him_asked = false;
        }
        return;
    default:  // TN_WONT
        if (o.him) {
            o.him = false;
            if (answer_allowed(o)) {
                put_command(TN_DONT, opt);
            }
        } else if (o.him_asked) {
            o.him_asked = false;
            if (opt == TN_OPT_BINARY) {
                note(false, "net: server refuses to send binary: a NUL after CR is dropped");
            }
        }
        return;
    }
}

void ask(uint8_t v, uint8_t opt)
{
    Option& o = options[opt];
    if (v == TN_WILL) {
        o.us_asked = true;
    } else {
        o.him_asked = true;
    }
    put_command(v, opt);
}

// One byte of the stream: appended to out when it is the device's.
// NOLINTNEXTLINE(misc-no-recursion): a command that ends a subnegotiation comes back once, as IAC
void receive_byte(uint8_t c, uint8_t* out, uint32_t* got, uint32_t now)
{
    switch (rx) {
    case Rx::CR:
        rx = Rx::DATA;
        if (c == TN_NUL) {
            return;  // CR NUL is a CR
        }
        [[fallthrough]];
    case Rx::DATA:
        if (c == TN_IAC) {
            rx = Rx::IAC;
            return;
        }
        out[(*got)++] = c;
        if (c == TN_CR && !options[TN_OPT_BINARY].him) {
            rx = Rx::CR;
        }
        return;
    case Rx::IAC:
        if (c == TN_IAC) {
            out[(*got)++] = c;
            rx = Rx::DATA;
        } else if (c >= TN_WILL) {
            verb = c;
            rx = Rx::OPTION;
        } else if (c == TN_SB) {
            sb_len = 0;
            sb_overflow = false;
            rx = Rx::SB;
        } else {
            rx = Rx::DATA;  // NOP, DM, BRK, IP, AYT, GA, a stray SE: nothing for the device
        }
        return;
    case Rx::OPTION:
        rx = Rx::DATA;
        option_request(verb, c, now);
        return;
    case Rx::SB:
        if (c == TN_IAC) {
            rx = Rx::SB_IAC;
            return;
        }
        break;
    case Rx::SB_IAC:
        if (c == TN_SE) {
            rx = Rx::DATA;
            subnegotiation_end();
            return;
        }
        if (c != TN_IAC) {
            // A command inside a subnegotiation: the subnegotiation ends unfinished, and the
            // command is taken as it comes.
            sb_len = 0;
            sb_overflow = false;
            rx = Rx::IAC;
            receive_byte(c, out, got, now);
            return;
        }
        rx = Rx::SB;
        break;
    }
    if (sb_len < TN_SB_MAX) {
        sb_buf[sb_len++] = c;
    } else {
        sb_overflow = true;
    }
}

}  // namespace

void telnet_start(bool telnet, uint32_t now)
{
    (void)now;
    std::lock_guard<std::mutex> g(engine_mutex);
    on = telnet;
    rx = Rx::DATA;
    std::memset(options, 0, sizeof options);
    sb_len = 0;
    sb_overflow = false;
    suspended = false;
    settings_wanted = false;
    settings_sent = false;
    lines_wanted = false;
    asked_count = 0;
    control_len = 0;
    control_overflow_noted = false;
    if (telnet) {
        ask(TN_WILL, TN_OPT_COM_PORT);
        ask(TN_WILL, TN_OPT_BINARY);
        ask(TN_DO, TN_OPT_BINARY);
        ask(TN_WILL, TN_OPT_SGA);
        ask(TN_DO, TN_OPT_SGA);
    }
}

bool telnet_on()
{
    std::lock_guard<std::mutex> g(engine_mutex);
    return on;
}

void telnet_settings(int32_t baud, bool raise_lines, uint32_t now)
{
    std::lock_guard<std::mutex> g(engine_mutex);
    if (!on) {
        return;
    }
    settings_wanted = true;
    settings_sent = false;
    want_baud = baud;
    lines_wanted = raise_lines;
    want_lines_up = true;
    if (options[TN_OPT_COM_PORT].us) {
        send_settings(now);
    }
}

void telnet_lines(bool up, uint32_t now)
{
    std::lock_guard<std::mutex> g(engine_mutex);
    if (!on) {
        return;
    }
    if (options[TN_OPT_COM_PORT].us) {
        put_lines(up, now);
    } else {
        lines_wanted = true;
        want_lines_up = up;
    }
}

uint32_t telnet_receive(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t now)
{
    std::lock_guard<std::mutex> g(engine_mutex);
    if (!on) {
        std::memmove(out, in, n);
        return n;
    }
    uint32_t got = 0;
    for (uint32_t i = 0; i < n; ++i) {
        receive_byte(in[i], out, &got, now);
    }
    return got;
}

uint32_t telnet_encode(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t cap, uint32_t* out_n)
{
    std::lock_guard<std::mutex> g(engine_mutex);
    if (!on) {
        const uint32_t k = n < cap ? n : cap;
        std::memcpy(out, in, k);
        *out_n = k;
        return k;
    }
    const bool binary = options[TN_OPT_BINARY].us;
    uint32_t i = 0;
    uint32_t len = 0;
    for (; i < n && len + 2 <= cap; ++i) {
        out[len++] = in[i];
        if (in[i] == TN_IAC) {
            out[len++] = TN_IAC;
        } else if (in[i] == TN_CR && !binary) {
            out[len++] = TN_NUL;
        }
    }
    *out_n = len;
    return i;
}

uint32_t telnet_control(const uint8_t** p)
{
    std::lock_guard<std::mutex> g(engine_mutex);
    *p = control;
    return control_len;
}

void telnet_control_sent(uint32_t n)
{
    std::lock_guard<std::mutex> g(engine_mutex);
    if (n >= control_len) {
        control_len = 0;
        return;
    }
    std::memmove(control, control + n, control_len - n);
    control_len -= n;
}

bool telnet_suspended()
{
    std::lock_guard<std::mutex> g(engine_mutex);
    return suspended;
}

uint32_t telnet_check_replies(uint32_t now)
{
    std::lock_guard<std::mutex> g(engine_mutex);
    uint32_t next = 0;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < asked_count; ++i) {
        const uint32_t age = now - asked[i].sent_at;
        if (age >= TN_REPLY_WAIT_MS) {
            note(false, "net: no reply from the server to %s",
                 setting_name(asked[i].code, asked[i].value));
            continue;
        }
        const uint32_t left = TN_REPLY_WAIT_MS - age;
        next = next == 0 || left < next ? left : next;
        asked[kept++] = asked[i];
    }
    asked_count = kept;
    return next;
}

void telnet_note(bool console, const char* fmt, ...)
{
    std::lock_guard<std::mutex> g(engine_mutex);
    va_list ap;
    va_start(ap, fmt);
    note_v(console, fmt, ap);
    va_end(ap);
}

bool telnet_notes_waiting()
{
    std::lock_guard<std::mutex> g(engine_mutex);
    return note_count > 0;
}

bool telnet_take_note(char* text, uint32_t size, bool* console)
{
    std::lock_guard<std::mutex> g(engine_mutex);
    if (note_count == 0) {
        return false;
    }
    const Note& n = notes[note_first];
    std::snprintf(text, size, "%s", n.text);
    *console = n.console;
    note_first = (note_first + 1) % TN_NOTES;
    --note_count;
    return true;
}

}  // namespace plat
