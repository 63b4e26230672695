// platform/keydecode.h: terminal bytes to key events, for the keys of the common terminals
// (xterm, VTE, konsole, rxvt/urxvt, the Linux console, screen/tmux, PuTTY, st, alacritty, kitty,
// foot and their like). A byte-at-a-time parser with no OS contact: the console backend feeds it
// what it reads and calls keydecode_idle() when no byte came for a short pause, so that a lone
// ESC becomes the Esc key. Recognised: F1-F11 (ESC O P..S, ESC [ 11~..15~, 17~..21~, 23~, ESC [
// [ A..E, PuTTY's ESC O T..Z), End (ESC [ F, ESC O F, ESC [ 4~, ESC [ 8~), Home, Insert, Delete,
// Page Up/Down, arrows (ESC [ A..D, ESC O A..D), each with its modifiers: xterm's parameter
// (ESC [ 1;5A, ESC [ 15;2~, ESC O 2 P, ESC O 1;2 P; Meta counts as Alt), rxvt's forms (ESC [ n $
// Shift, ^ Ctrl, @ Ctrl+Shift; ESC [ a..d Shift, ESC O a..d Ctrl+cursor; ESC [ 25~..34~ Shift+F3
// ..F10, as on the Linux console and PuTTY) and an extra ESC before a sequence (Alt). Character
// keys named by code (kitty's and foot's ESC [ c;m u, xterm's modifyOtherKeys ESC [ 27;m;c ~)
// are that character as typed with its modifiers (releases and non-ASCII codes dropped).
// Backspace (0x7F or 0x08), Enter (0x0D), Ctrl+^ (0x1E, Ctrl+Shift+6), ESC and a key (that key
// with Alt held; the digits and '-' keep their own key codes). F12 (ESC [ 24~) and Insert as
// ESC [ L (ANSI.SYS) too. Every other sequence (keypad keys in application mode, Back Tab ESC
// [ Z, the SCO console's function keys, mouse reports, replies) is dropped whole: no byte of it
// becomes a key, and the byte after it is a key of its own.
#pragma once

#include <cstdint>
#include <deque>

#include "platform/console.h"

namespace plat
{

constexpr int KEYDECODE_MAX_EVENTS = 4;  // most events one byte can complete

void keydecode_init();
// Feeds one byte; stores the events it completes in out and returns their count.
int keydecode_byte(uint8_t b, KeyEvent* out);
// No byte came for a while: a pending lone ESC becomes the Esc key; any other unfinished
// sequence is dropped. Returns the count of events stored.
int keydecode_idle(KeyEvent* out);
// True while a sequence is unfinished (the caller should then time the pause).
bool keydecode_pending();

// Key events decoded but not yet read, oldest first, one queue per backend, used by the console
// thread only. It grows as keys come (a paste typed while the link lock is held for long waits
// here whole, and an End behind it is still seen); the backends read input only while the queue
// has room for all it may decode, so that none is dropped, and MAX is far beyond any paste.
struct KeyQueue {
    static constexpr int MAX = 1 << 20;
    std::deque<KeyEvent> ev;
    int ends = 0;  // End key presses among them
};
void keyqueue_push(KeyQueue* q, const KeyEvent* ev, int n);
// Events waiting, and events the queue can still take.
int keyqueue_count(const KeyQueue* q);
int keyqueue_room(const KeyQueue* q);
// True when an End key press waits in the queue.
bool keyqueue_has_end(const KeyQueue* q);
// Moves up to max of the oldest events to ev; returns how many.
int keyqueue_take(KeyQueue* q, KeyEvent* ev, int max);

}  // namespace plat
