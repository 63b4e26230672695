// platform/keydecode.cpp: terminal bytes to key events. One parser instance (the console
// thread's); state at file scope, set by keydecode_init().
#include "platform/keydecode.h"

namespace plat
{

namespace
{

enum KdState : uint8_t {
    KD_GROUND = 0,   // no sequence open
    KD_ESC = 1,      // ESC seen (or ESC ESC: kd_alt)
    KD_SS3 = 2,      // ESC O seen, collecting parameters
    KD_CSI = 3,      // ESC [ seen, collecting parameters
    KD_LINUX_F = 4,  // ESC [ [ seen (Linux console F1-F5)
};

// Bytes the terminal sends.
constexpr uint8_t KD_BS = 0x08;          // Backspace (Ctrl+H)
constexpr uint8_t KD_TAB = 0x09;         // Tab
constexpr uint8_t KD_CR = 0x0D;          // Enter
constexpr uint8_t KD_ESC_BYTE = 0x1B;    // Esc, and the start of every sequence
constexpr uint8_t KD_CTRL_CARET = 0x1E;  // Ctrl+^
constexpr uint8_t KD_DEL = 0x7F;         // what most terminals send for Backspace
constexpr uint8_t KD_CTRL_A = 0x01;      // Ctrl+A .. Ctrl+Z are 0x01 .. 0x1A
constexpr uint8_t KD_CTRL_Z = 0x1A;
constexpr uint8_t KD_CTRL_MASK = 0x1F;    // a letter with Ctrl held
constexpr uint8_t KD_PARAM_FIRST = 0x20;  // parameter and intermediate bytes of a sequence
constexpr uint8_t KD_PARAM_LAST = 0x3F;
constexpr uint8_t KD_PRIVATE_FIRST = 0x3C;  // '<' .. '?' first: a report, never a key
constexpr uint8_t KD_FINAL_FIRST = 0x40;    // the final byte of a sequence
constexpr uint8_t KD_FINAL_LAST = 0x7E;
constexpr uint8_t KD_ASCII_END = 0x80;  // a CSI u or modifyOtherKeys character beyond: dropped

constexpr int KD_PARAM_MAX = 4;      // parameters kept; more are parsed and ignored
constexpr int KD_SEQ_MAX = 32;       // bytes of one sequence before it is dropped as junk
constexpr int KD_OTHER_KEYS = 27;    // ESC [ 27 ; m ; c ~: xterm's modifyOtherKeys
constexpr int KD_EVENT_RELEASE = 3;  // kitty's event type of a key release (m:3)

KdState kd_state;
int kd_params[KD_PARAM_MAX];  // parameters
int kd_nparams;               // parameters started
int kd_seq_len;               // bytes of the open sequence
bool kd_alt;                  // the sequence came after an extra ESC: Alt held
bool kd_private;              // a private marker began the parameters: a report
bool kd_sub;                  // in a ':' sub-parameter
int kd_event;                 // the modifier's sub-parameter (kitty's event type), 0 if none
bool kd_junk;                 // an intermediate byte was seen: no key

KeyEvent key(uint16_t vk, uint8_t ch, uint32_t ctrl)
{
    return KeyEvent{1, vk, ch, ctrl};
}

// Control-key flags from an xterm modifier parameter (1 + shift 1, alt 2, ctrl 4, meta 8). Meta
// counts as Alt: iTerm2 sends it for Option, xterm for a Meta key; higher bits add no flag.
uint32_t modifier_flags(int m)
{
    if (m < 2) {
        return 0;
    }
    m -= 1;
    uint32_t f = 0;
    if (m & 1) {
        f |= KEY_SHIFT;
    }
    if (m & (2 | 8)) {
        f |= KEY_LEFT_ALT;
    }
    if (m & 4) {
        f |= KEY_LEFT_CTRL;
    }
    return f;
}

// A plain byte (not part of a sequence) as the key that produces it.
KeyEvent plain_key(uint8_t b, uint32_t extra)
{
    if (b == KD_DEL || b == KD_BS) {
        return key(KEY_BACK, KD_BS, extra);
    }
    if (b == KD_CR) {
        return key(KEY_RETURN, KD_CR, extra);
    }
    if (b == KD_TAB) {
        return key(KEY_TAB, KD_TAB, extra);
    }
    if (b == KD_ESC_BYTE) {
        return key(KEY_ESCAPE, KD_ESC_BYTE, extra);
    }
    if (b == KD_CTRL_CARET) {  // Ctrl+^ is Ctrl+Shift+6 on a US keyboard
        return key(KEY_6, KD_CTRL_CARET, extra | KEY_SHIFT | KEY_LEFT_CTRL);
    }
    if (b >= KD_CTRL_A && b <= KD_CTRL_Z) {  // Ctrl+letter
        return key(static_cast<uint16_t>('A' + b - KD_CTRL_A), b, extra | KEY_LEFT_CTRL);
    }
    if (b >= 'a' && b <= 'z') {
        return key(static_cast<uint16_t>(b - 'a' + 'A'), b, extra);
    }
    if (b >= 'A' && b <= 'Z') {
        return key(b, b, extra | KEY_SHIFT);
    }
    if (b >= '0' && b <= '9') {
        return key(b, b, extra);
    }
    if (b == '^') {
        return key(KEY_6, b, extra | KEY_SHIFT);
    }
    if (b == '-') {  // with ESC before it, Alt+- (F11 to the key handler)
        return key(KEY_OEM_MINUS, b, extra);
    }
    return key(KEY_OTHER, b, extra);
}

// A character key named by its code with a modifier parameter (kitty's and foot's ESC [ c ; m u,
// xterm's ESC [ 27 ; m ; c ~): as if typed. KEY_OTHER without a character when c is no ASCII
// character or a control code no key types alone.
KeyEvent char_key(int c, int m)
{
    const uint32_t mods = modifier_flags(m);
    if (c <= 0 || c >= KD_ASCII_END ||
        (c < KD_PARAM_FIRST && c != KD_BS && c != KD_TAB && c != KD_CR && c != KD_ESC_BYTE)) {
        return key(KEY_OTHER, 0, 0);
    }
    auto b = static_cast<uint8_t>(c);
    if ((mods & KEY_SHIFT) != 0 && b >= 'a' && b <= 'z') {
        b = static_cast<uint8_t>(b - 'a' + 'A');
    }
    if ((mods & KEY_LEFT_CTRL) != 0 && ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z'))) {
        b = static_cast<uint8_t>(b & KD_CTRL_MASK);
    }
    return plain_key(b, mods);
}

// The key of a letter after ESC [ or ESC O, and the modifiers the letter itself implies;
// KEY_OTHER when the letter names none.
uint16_t final_letter_key(uint8_t b, bool ss3, uint32_t* implied)
{
    switch (b) {
    case 'A':
        return KEY_UP;
    case 'B':
        return KEY_DOWN;
    case 'C':
        return KEY_RIGHT;
    case 'D':
        return KEY_LEFT;
    case 'F':
        return KEY_END;
    case 'H':
        return KEY_HOME;
    case 'P':
        return KEY_F1;
    case 'Q':
        return KEY_F2;
    case 'R':
        return KEY_F3;
    case 'S':
        return KEY_F4;
    case 'L':  // ANSI.SYS and SCO consoles
        return ss3 ? KEY_OTHER : KEY_INSERT;
    default:
        break;
    }
    if (b >= 'a' && b <= 'd') {  // rxvt: ESC O a .. d with Ctrl, ESC [ a .. d with Shift
        *implied = ss3 ? KEY_LEFT_CTRL : KEY_SHIFT;
        static constexpr uint16_t arrows[] = {KEY_UP, KEY_DOWN, KEY_RIGHT, KEY_LEFT};
        return arrows[b - 'a'];
    }
    if (ss3 && b >= 'T' && b <= 'Z') {  // PuTTY's VT100+ keys: ESC O T .. Z are F5 .. F11
        return static_cast<uint16_t>(KEY_F5 + (b - 'T'));
    }
    return KEY_OTHER;
}

// The key of ESC [ n ~ (or rxvt's ESC [ n $, ^, @), and the modifiers n itself implies;
// KEY_OTHER when n names none.
uint16_t tilde_key(int n, uint32_t* implied)
{
    switch (n) {
    case 1:
    case 7:
        return KEY_HOME;
    case 2:
        return KEY_INSERT;
    case 3:
        return KEY_DELETE;
    case 4:
    case 8:
        return KEY_END;
    case 5:
        return KEY_PRIOR;
    case 6:
        return KEY_NEXT;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
        return static_cast<uint16_t>(KEY_F1 + (n - 11));
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
        return static_cast<uint16_t>(KEY_F6 + (n - 17));
    case 23:
        return KEY_F11;
    case 24:
        return KEY_F12;
    default:
        break;
    }
    // F13 .. F20 of a VT220 keyboard: what rxvt, PuTTY and the Linux console send for Shift+F3
    // .. Shift+F10 (their Shift+F1 and Shift+F2 are F11 and F12).
    static constexpr int vt220_f13[] = {25, 26, 28, 29, 31, 32, 33, 34};
    for (int i = 0; i < 8; ++i) {
        if (n == vt220_f13[i]) {
            *implied = KEY_SHIFT;
            return static_cast<uint16_t>(KEY_F3 + i);
        }
    }
    return KEY_OTHER;
}

void to_ground()
{
    kd_state = KD_GROUND;
    kd_nparams = 0;
    kd_seq_len = 0;
    kd_alt = false;
    kd_private = false;
    kd_sub = false;
    kd_event = 0;
    kd_junk = false;
    for (int& p : kd_params) {
        p = 0;
    }
}

// A recognised sequence: a key without a character (Delete gives none either; the key
// handler translates the keys it knows by their code), with Alt when an extra ESC led it.
int emit_seq_key(uint16_t vk, uint32_t ctrl, KeyEvent* out)
{
    const bool alt = kd_alt;
    to_ground();
    if (vk == KEY_OTHER) {
        return 0;  // a sequence we do not know: dropped whole
    }
    out[0] = key(vk, 0, ctrl | (alt ? KEY_LEFT_ALT : 0));
    return 1;
}

// A character key from a sequence (see char_key), dropped when it names none or is a release.
int emit_char_key(int c, int m, KeyEvent* out)
{
    const bool alt = kd_alt;
    const bool release = kd_event == KD_EVENT_RELEASE;
    to_ground();
    KeyEvent ev = char_key(c, m);
    if (release || (ev.vk == KEY_OTHER && ev.ch == 0)) {
        return 0;
    }
    ev.ctrl |= alt ? KEY_LEFT_ALT : 0;
    out[0] = ev;
    return 1;
}

// A parameter byte of ESC [ or ESC O: digits, ';' between parameters, ':' before a
// sub-parameter (only the modifier's is kept: kitty's event type).
void param_byte(uint8_t b)
{
    if (b >= '0' && b <= '9') {
        if (kd_nparams == 0) {
            kd_nparams = 1;
        }
        if (kd_sub) {
            if (kd_nparams == 2) {
                kd_event = kd_event < 1000 ? kd_event * 10 + (b - '0') : kd_event;
            }
        } else if (kd_nparams <= KD_PARAM_MAX) {
            int& p = kd_params[kd_nparams - 1];
            p = p < 1000 ? p * 10 + (b - '0') : p;
        }
    } else if (b == ';') {
        kd_nparams = kd_nparams == 0 ? 2 : kd_nparams + 1;
        kd_sub = false;
    } else if (b == ':') {
        kd_nparams = kd_nparams == 0 ? 1 : kd_nparams;
        kd_sub = true;
        if (kd_nparams == 2) {
            kd_event = 0;
        }
    } else if (b >= KD_PRIVATE_FIRST && b <= KD_PARAM_LAST && kd_nparams == 0) {
        kd_private = true;  // ESC [ < .. ?: a report (mouse, a reply), not a key
    } else {
        kd_junk = true;  // an intermediate byte: no key of ours
    }
}

// The final byte of ESC [ ... (ss3 false) or ESC O ... (ss3 true).
int final_byte(uint8_t b, bool ss3, KeyEvent* out)
{
    if (kd_private || kd_junk) {
        return emit_seq_key(KEY_OTHER, 0, out);
    }
    // The modifier: the second parameter (ESC [ 1 ; 5 A), or ESC O's only one (ESC O 5 P).
    int m = kd_nparams >= 2 ? kd_params[1] : 0;
    if (ss3 && kd_nparams == 1) {
        m = kd_params[0];
    }
    uint32_t ctrl = modifier_flags(m);
    uint32_t implied = 0;
    if (ss3) {
        uint16_t vk = final_letter_key(b, true, &implied);
        return emit_seq_key(vk, ctrl | implied, out);
    }
    if (b == 'u' && kd_nparams >= 1) {  // ESC [ c ; m u
        return emit_char_key(kd_params[0], m, out);
    }
    if (b == '~' && kd_params[0] == KD_OTHER_KEYS && kd_nparams >= 3) {  // ESC [ 27 ; m ; c ~
        return emit_char_key(kd_params[2], m, out);
    }
    if (b == '~' || ((b == '^' || b == '@' || b == '$') && kd_nparams >= 1)) {
        uint16_t vk = tilde_key(kd_params[0], &implied);
        if (b == '^' || b == '@') {  // rxvt: ESC [ n ^ with Ctrl, ESC [ n @ with Ctrl+Shift
            implied |= KEY_LEFT_CTRL;
        }
        if (b == '@' || b == '$') {  // ESC [ n $ with Shift
            implied |= KEY_SHIFT;
        }
        return emit_seq_key(vk, ctrl | implied, out);
    }
    uint16_t vk = final_letter_key(b, false, &implied);
    return emit_seq_key(vk, ctrl | implied, out);
}

// A byte of ESC [ ... or ESC O ... after its introducer.
int sequence_byte(uint8_t b, bool ss3, KeyEvent* out)
{
    if (b == '$' && !ss3 && kd_nparams >= 1 && !kd_private && !kd_sub) {
        return final_byte(b, false, out);  // rxvt's shifted keys end in '$' after a number
    }
    if (b >= KD_PARAM_FIRST && b <= KD_PARAM_LAST) {
        param_byte(b);
        return 0;
    }
    if (b >= KD_FINAL_FIRST && b <= KD_FINAL_LAST) {
        return final_byte(b, ss3, out);
    }
    return -1;  // a control byte (or DEL, or a byte above ASCII): the sequence is junk
}

}  // namespace

void keydecode_init()
{
    to_ground();
}

bool keydecode_pending()
{
    return kd_state != KD_GROUND;
}

int keydecode_idle(KeyEvent* out)
{
    const bool lone_esc = kd_state == KD_ESC;
    const bool two = kd_alt;
    to_ground();
    if (!lone_esc) {
        return 0;
    }
    out[0] = key(KEY_ESCAPE, KD_ESC_BYTE, 0);
    if (two) {  // ESC ESC alone: Esc twice
        out[1] = out[0];
        return 2;
    }
    return 1;
}

// NOLINTNEXTLINE(misc-no-recursion): a junk sequence hands its byte back once, in the ground state
int keydecode_byte(uint8_t b, KeyEvent* out)
{
    if (kd_state != KD_GROUND && ++kd_seq_len > KD_SEQ_MAX) {
        to_ground();  // junk that never ends: drop it and start afresh with this byte
    }
    switch (kd_state) {
    case KD_GROUND:
        if (b == KD_ESC_BYTE) {
            kd_state = KD_ESC;
            kd_seq_len = 1;
            return 0;
        }
        out[0] = plain_key(b, 0);
        return 1;
    case KD_ESC:
        if (b == '[') {
            kd_state = KD_CSI;
            return 0;
        }
        if (b == 'O') {
            kd_state = KD_SS3;
            return 0;
        }
        if (b == KD_ESC_BYTE) {
            if (!kd_alt) {  // ESC ESC: Alt and the key of the sequence that follows, or two Escs
                kd_alt = true;
                return 0;
            }
            out[0] = key(KEY_ESCAPE, KD_ESC_BYTE, 0);  // a third: the first was the Esc key
            return 1;
        }
        {
            // ESC + key: the key with Alt held (after ESC ESC: Esc, then that).
            int n = 0;
            if (kd_alt) {
                out[n++] = key(KEY_ESCAPE, KD_ESC_BYTE, 0);
            }
            to_ground();
            out[n++] = plain_key(b, KEY_LEFT_ALT);
            return n;
        }
    case KD_LINUX_F:
        if (b >= 'A' && b <= 'E') {
            return emit_seq_key(static_cast<uint16_t>(KEY_F1 + (b - 'A')), 0, out);
        }
        to_ground();  // ESC [ [ and no F-key letter: dropped, the byte is a key of its own
        return keydecode_byte(b, out);
    case KD_SS3:
    case KD_CSI: {
        if (kd_state == KD_CSI && b == '[' && kd_nparams == 0 && !kd_private) {
            kd_state = KD_LINUX_F;
            return 0;
        }
        int n = sequence_byte(b, kd_state == KD_SS3, out);
        if (n >= 0) {
            return n;
        }
        to_ground();  // a control byte inside a sequence: the sequence is junk
        return keydecode_byte(b, out);
    }
    }
    return 0;
}

static bool is_end(const KeyEvent& ev)
{
    return ev.key_down != 0 && ev.vk == KEY_END;
}

void keyqueue_push(KeyQueue* q, const KeyEvent* ev, int n)
{
    for (int i = 0; i < n && keyqueue_room(q) > 0; ++i) {
        q->ev.push_back(ev[i]);
        q->ends += is_end(ev[i]) ? 1 : 0;
    }
}

int keyqueue_count(const KeyQueue* q)
{
    return static_cast<int>(q->ev.size());
}

int keyqueue_room(const KeyQueue* q)
{
    return KeyQueue::MAX - keyqueue_count(q);
}

bool keyqueue_has_end(const KeyQueue* q)
{
    return q->ends > 0;
}

int keyqueue_take(KeyQueue* q, KeyEvent* ev, int max)
{
    int n = 0;
    while (n < max && !q->ev.empty()) {
        ev[n] = q->ev.front();
        q->ev.pop_front();
        q->ends -= is_end(ev[n]) ? 1 : 0;
        ++n;
    }
    return n;
}

}  // namespace plat
