// platform/keydecode.cpp: terminal bytes to key events. One parser instance (the console
// thread's); state at file scope, set by keydecode_init().
#include "platform/keydecode.h"

namespace plat
{

namespace
{

enum KdState : uint8_t {
    KD_GROUND = 0,   // no sequence open
    KD_ESC = 1,      // ESC seen
    KD_SS3 = 2,      // ESC O seen
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
constexpr uint8_t KD_PARAM_FIRST = 0x20;  // parameter and intermediate bytes of a sequence
constexpr uint8_t KD_PARAM_LAST = 0x3F;
constexpr uint8_t KD_FINAL_FIRST = 0x40;  // the final byte of a sequence
constexpr uint8_t KD_FINAL_LAST = 0x7E;

constexpr int KD_PARAM_MAX = 4;  // parameters kept; more are parsed and ignored
constexpr int KD_SEQ_MAX = 32;   // bytes of one sequence before it is dropped as junk

KdState kd_state;
int kd_params[KD_PARAM_MAX];  // CSI parameters
int kd_nparams;               // parameters started
int kd_seq_len;               // bytes of the open sequence

KeyEvent key(uint16_t vk, uint8_t ch, uint32_t ctrl)
{
    return KeyEvent{1, vk, ch, ctrl};
}

// Control-key flags from an xterm modifier parameter (1 + shift 1, alt 2, ctrl 4).
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
    if (m & 2) {
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

// The key of a letter after ESC [ or ESC O; KEY_OTHER when the letter names none.
uint16_t final_letter_key(uint8_t b)
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
    default:
        return KEY_OTHER;
    }
}

// The key of ESC [ n ~; KEY_OTHER when n names none.
uint16_t tilde_key(int n)
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
        return KEY_OTHER;
    }
}

void to_ground()
{
    kd_state = KD_GROUND;
    kd_nparams = 0;
    kd_seq_len = 0;
    for (int& p : kd_params) {
        p = 0;
    }
}

// A recognised sequence: a key without a character (Delete gives none either; the key
// handler translates the keys it knows by their code).
int emit_seq_key(uint16_t vk, uint32_t ctrl, KeyEvent* out)
{
    to_ground();
    if (vk == KEY_OTHER) {
        return 0;  // a sequence we do not know: dropped whole
    }
    out[0] = key(vk, 0, ctrl);
    return 1;
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
    bool lone_esc = kd_state == KD_ESC;
    to_ground();
    if (lone_esc) {
        out[0] = key(KEY_ESCAPE, KD_ESC_BYTE, 0);
        return 1;
    }
    return 0;
}

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
        if (b == KD_ESC_BYTE) {  // ESC ESC: the first was the Esc key; the second opens a sequence
            out[0] = key(KEY_ESCAPE, KD_ESC_BYTE, 0);
            to_ground();
            kd_state = KD_ESC;
            kd_seq_len = 1;
            return 1;
        }
        to_ground();  // ESC + key: the key with Alt held
        out[0] = plain_key(b, KEY_LEFT_ALT);
        return 1;
    case KD_SS3:
        return emit_seq_key(final_letter_key(b), 0, out);
    case KD_LINUX_F:
        if (b >= 'A' && b <= 'E') {
            return emit_seq_key(static_cast<uint16_t>(KEY_F1 + (b - 'A')), 0, out);
        }
        return emit_seq_key(KEY_OTHER, 0, out);
    case KD_CSI:
        if (b == '[' && kd_nparams == 0) {
            kd_state = KD_LINUX_F;
            return 0;
        }
        if (b >= '0' && b <= '9') {
            if (kd_nparams == 0) {
                kd_nparams = 1;
            }
            if (kd_nparams <= KD_PARAM_MAX) {
                int& p = kd_params[kd_nparams - 1];
                p = p < 1000 ? p * 10 + (b - '0') : p;
            }
            return 0;
        }
        if (b == ';') {
            kd_nparams = kd_nparams == 0 ? 2 : kd_nparams + 1;
            return 0;
        }
        if (b >= KD_PARAM_FIRST && b <= KD_PARAM_LAST) {
            return 0;  // other parameter and intermediate bytes: kept out of the key
        }
        if (b >= KD_FINAL_FIRST && b <= KD_FINAL_LAST) {
            uint32_t ctrl = modifier_flags(kd_nparams >= 2 ? kd_params[1] : 0);
            if (b == '~') {
                return emit_seq_key(tilde_key(kd_params[0]), ctrl, out);
            }
            return emit_seq_key(final_letter_key(b), ctrl, out);
        }
        to_ground();  // a control byte inside a sequence: the sequence is junk
        return keydecode_byte(b, out);
    }
    return 0;
}

void keyqueue_push(KeyQueue* q, const KeyEvent* ev, int n)
{
    for (int i = 0; i < n && q->count < KeyQueue::MAX; ++i) {
        q->ev[q->count++] = ev[i];
    }
}

int keyqueue_room(const KeyQueue* q)
{
    return KeyQueue::MAX - q->count;
}

bool keyqueue_has_end(const KeyQueue* q)
{
    for (int i = 0; i < q->count; ++i) {
        if (q->ev[i].key_down != 0 && q->ev[i].vk == KEY_END) {
            return true;
        }
    }
    return false;
}

int keyqueue_take(KeyQueue* q, KeyEvent* ev, int max)
{
    const int n = q->count < max ? q->count : max;
    for (int i = 0; i < n; ++i) {
        ev[i] = q->ev[i];
    }
    for (int i = n; i < q->count; ++i) {
        q->ev[i - n] = q->ev[i];
    }
    q->count -= n;
    return n;
}

}  // namespace plat
