// Fuzz target: a hostile server's stream through the telnet engine of a network port.
//
// The input is read as what the server sends: a byte other than IAC is the device's, IAC IAC
// the device's 0xFF, and IAC starts a telnet command that goes on the wire as it is (option
// requests of every kind, subnegotiations with IAC inside, unfinished ones, stray commands).
// From it the target builds the stream: the device's bytes encoded as the server must send them
// (IAC doubled, CR as CR NUL while the server does not send binary), the commands between them;
// a generator seeded by the input floods some commands, stretches some subnegotiations past
// the engine's limit and chooses where each read ends. Then:
// - what the engine hands on is exactly the device's bytes, whatever the splits;
// - every answer in the control queue is a well-formed command, agrees to nothing but BINARY,
//   SGA and the com port option, and no option is answered more than TN_ANSWERS_MAX times;
// - every note is printable text that fits the buffer given;
// - the encoder fills no more than it is given, always takes a byte, and its bytes decode back.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <sanitizer/asan_interface.h>

#include "platform/telnet.h"

namespace
{

using namespace plat;

constexpr uint8_t CR = 13;
constexpr size_t STREAM_MAX = 1 << 18;
constexpr size_t STEP_ROOM = 2048;  // room kept for one step of the input

uint8_t stream[STREAM_MAX];
size_t stream_len;
uint8_t expect[STREAM_MAX];
size_t expect_len;
uint8_t out[STREAM_MAX];  // what a call may fill; the sanitizer guards the rest
// The engine's direction state, as the stream left it: the server sends binary (it said WILL
// BINARY), takes binary (it said DO BINARY).
bool binary_rx;
bool binary_tx;

void check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

struct Rng {
    uint64_t s;
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 11);
    }
    uint32_t below(uint32_t n)
    {
        return next() % n;
    }
};

void emit(uint8_t b)
{
    stream[stream_len++] = b;
}

// Room for one more loop of a command (a flood, a doubled byte, a stretch).
bool room()
{
    return stream_len + STEP_ROOM / 2 < STREAM_MAX;
}

void device(uint8_t b)
{
    expect[expect_len++] = b;
    emit(b);
    if (b == TN_IAC) {
        emit(TN_IAC);
    } else if (b == CR && !binary_rx) {
        emit(0);
    }
}

void option(uint8_t verb, uint8_t opt)
{
    emit(TN_IAC);
    emit(verb);
    emit(opt);
    if (opt == TN_OPT_BINARY) {
        if (verb == TN_WILL || verb == TN_WONT) {
            binary_rx = verb == TN_WILL;
        } else {
            binary_tx = verb == TN_DO;
        }
    }
}

// The command after an IAC in the input, whose next byte is data[*i]: copied to the stream.
// A command inside a subnegotiation ends it unfinished and counts as a command of its own.
void command(const uint8_t* data, size_t size, size_t* i, Rng& rng)
{
    if (*i == size) {
        return;
    }
    uint8_t verb = data[(*i)++];
    while (room()) {
        if (verb >= TN_WILL) {
            if (*i == size) {
                return;
            }
            const uint8_t opt = data[(*i)++];
            const uint32_t times = rng.below(8) == 0 ? 1 + rng.below(300) : 1;
            for (uint32_t k = 0; k < times; ++k) {
                option(verb, opt);
            }
            return;
        }
        emit(TN_IAC);
        emit(verb);
        if (verb != TN_SB) {
            return;  // a stray command: NOP, GA, a lone SE, or no command at all
        }
        for (;;) {
            if (*i == size || !room()) {
                return;
            }
            const uint8_t b = data[(*i)++];
            if (b != TN_IAC) {
                emit(b);
                continue;
            }
            if (*i == size) {
                return;
            }
            const uint8_t b2 = data[(*i)++];
            if (b2 == TN_IAC) {
                emit(TN_IAC);
                emit(TN_IAC);
                continue;
            }
            if (b2 == TN_SE) {
                if (rng.below(8) == 0) {
                    for (uint32_t k = rng.below(TN_SB_MAX + 64); k > 0; --k) {
                        const uint8_t f = static_cast<uint8_t>(rng.next());
                        emit(f);
                        if (f == TN_IAC) {
                            emit(TN_IAC);
                        }
                    }
                }
                emit(TN_IAC);
                emit(TN_SE);
                return;
            }
            verb = b2;  // the subnegotiation ends unfinished at this command
            break;
        }
    }
}

void build(const uint8_t* data, size_t size, Rng& rng)
{
    stream_len = 0;
    expect_len = 0;
    binary_rx = false;
    binary_tx = false;
    size_t i = 0;
    while (i < size && stream_len + STEP_ROOM < STREAM_MAX) {
        const uint8_t c = data[i++];
        if (c != TN_IAC) {
            device(c);
        } else if (i < size && data[i] == TN_IAC) {
            ++i;
            device(TN_IAC);
        } else {
            command(data, size, &i, rng);
        }
    }
}

// The control queue, read as the server would: its state across the backend's partial sends.
enum class Ctl : uint8_t { START, VERB, OPTION, SB, SB_IAC };
Ctl ctl;
uint8_t ctl_verb;
uint32_t answers[256];

void control_byte(uint8_t b)
{
    switch (ctl) {
    case Ctl::START:
        check(b == TN_IAC);
        ctl = Ctl::VERB;
        return;
    case Ctl::VERB:
        check(b == TN_SB || b >= TN_WILL);
        ctl_verb = b;
        ctl = b == TN_SB ? Ctl::SB : Ctl::OPTION;
        return;
    case Ctl::OPTION: {
        const bool ours = b == TN_OPT_BINARY || b == TN_OPT_SGA || b == TN_OPT_COM_PORT;
        check(ctl_verb != TN_WILL || ours);
        check(ctl_verb != TN_DO || b == TN_OPT_BINARY || b == TN_OPT_SGA);
        check(++answers[b] <= TN_ANSWERS_MAX);
        ctl = Ctl::START;
        return;
    }
    case Ctl::SB:
        if (b == TN_IAC) {
            ctl = Ctl::SB_IAC;
        }
        return;
    case Ctl::SB_IAC:
        check(b == TN_IAC || b == TN_SE);
        ctl = b == TN_SE ? Ctl::START : Ctl::SB;
        return;
    }
}

void drain_control(Rng& rng, bool count)
{
    const uint8_t* p = nullptr;
    const uint32_t n = telnet_control(&p);
    check(n <= TN_CONTROL_SIZE);
    const uint32_t sent = count && n > 0 && rng.below(4) == 0 ? rng.below(n + 1) : n;
    for (uint32_t k = 0; k < sent && count; ++k) {
        control_byte(p[k]);
    }
    telnet_control_sent(sent);
}

void drain_notes(Rng& rng)
{
    char text[TN_NOTE_SIZE + 8];
    bool console = false;
    for (;;) {
        const uint32_t size = 1 + rng.below(sizeof text);
        std::memset(text, 0x55, sizeof text);
        if (!telnet_take_note(text, size, &console)) {
            return;
        }
        const size_t len = strnlen(text, size);
        check(len < size);
        for (size_t k = 0; k < len; ++k) {
            check(text[k] >= 0x20 && text[k] < 0x7F);
        }
        check(size == sizeof text || static_cast<uint8_t>(text[size]) == 0x55);
    }
}

// The device's bytes the other way, through the encoder with small buffers.
void encode_back(Rng& rng)
{
    size_t at = 0;
    while (at < expect_len) {
        const uint32_t cap = 2 + rng.below(64);
        uint32_t made = 0;
        const uint32_t left = static_cast<uint32_t>(expect_len - at);
        ASAN_POISON_MEMORY_REGION(out + cap, sizeof out - cap);
        const uint32_t took = telnet_encode(expect + at, left, out, cap, &made);
        ASAN_UNPOISON_MEMORY_REGION(out, sizeof out);
        check(took >= 1 && took <= left && made <= cap);
        uint32_t k = 0;
        for (uint32_t j = 0; j < took; ++j) {
            const uint8_t b = expect[at + j];
            check(k < made && out[k++] == b);
            if (b == TN_IAC || (b == CR && !binary_tx)) {
                check(k < made && out[k++] == (b == TN_IAC ? TN_IAC : 0));
            }
        }
        check(k == made);
        at += took;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint64_t seed = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) {
        seed = (seed ^ data[i]) * 1099511628211ull;
    }
    Rng rng{seed | 1};
    build(data, size, rng);

    uint32_t now = 0xFFFFF000u + rng.below(0x2000);  // the clock wraps during some runs
    telnet_start(true, now);
    drain_control(rng, false);  // the client's own offers
    drain_notes(rng);
    ctl = Ctl::START;
    std::memset(answers, 0, sizeof answers);
    if (rng.below(2) == 0) {
        const int32_t rates[] = {115200, 0x0001C2FF, 0x7FFFFFFF,
                                 static_cast<int32_t>(rng.next() & 0x7FFFFFFF)};
        telnet_settings(rates[rng.below(4)], rng.below(2) == 0, now);
    }

    const uint32_t longest[] = {1, 8, 64, STREAM_MAX};
    const uint32_t read_max = longest[rng.below(4)];
    size_t pos = 0;
    size_t checked = 0;
    while (pos < stream_len) {
        const uint32_t left = static_cast<uint32_t>(stream_len - pos);
        const uint32_t n = 1 + rng.below(read_max < left ? read_max : left);
        ASAN_POISON_MEMORY_REGION(out + n, sizeof out - n);
        const uint32_t got = telnet_receive(stream + pos, n, out, now);
        ASAN_UNPOISON_MEMORY_REGION(out, sizeof out);
        check(got <= n && checked + got <= expect_len);
        check(std::memcmp(out, expect + checked, got) == 0);
        checked += got;
        pos += n;
        now += rng.below(2000);
        if (rng.below(8) == 0) {
            telnet_lines(rng.below(2) == 0, now);
        }
        if (rng.below(4) == 0) {
            (void)telnet_check_replies(now);
        }
        (void)telnet_suspended();
        drain_control(rng, true);
        drain_notes(rng);
    }
    check(checked == expect_len);
    encode_back(rng);
    return 0;
}
