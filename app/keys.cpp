// app/keys.cpp: the console loop and the key handler. Each key press becomes a hot-key action,
// a character for an active prompt, or a byte for the device, the latter only while the line
// is free. Runs on the console thread; a batch of keys is handled in one hold of the link lock,
// and the bytes a device that does not read leaves waiting are sent after the lock is given up.
#include "app/keys.h"

#include "app/dialogs.h"
#include "app/options.h"
#include "fileservice/filecmd.h"
#include "output/drops.h"
#include "output/logfile.h"
#include "output/text.h"
#include "output/trace.h"
#include "output/view.h"
#include "packet/transfer.h"
#include "port/mode.h"
#include "port/port.h"
#include "sending/sender.h"

constexpr uint8_t KEY_CR = 0x0D;   // most hot keys end with one to the device
constexpr uint8_t KEY_ESC = 0x1B;  // a cursor key goes out as ESC '[' letter
constexpr uint8_t KEY_CSI = 0x5B;
constexpr uint8_t KEY_DEL_CHAR = 0x08;     // what the Delete key sends
constexpr uint8_t KEY_CTRL_CARET = 0x1E;   // Ctrl+Shift+6
constexpr uint32_t LOCK_TRY_MS = 10;       // a batch waits for the link lock in tries this long,
                                           // taking in keys, End and the signals between them
constexpr uint32_t END_KEY_WAIT_MS = 300;  // a batch that holds End waits this long at most

// Console thread only: a batch is under way, and the "press End" advice has been printed in it
// (a key handled on its own is a batch of its own).
static bool in_batch;
static bool busy_said;

bool line_free()
{
    if (mode_flag.load() == MODE_PASEL) {
        return transfer_state == TS_IDLE;
    }
    return open_file_count == 0;
}

static void hot_status() REQUIRES(link_lock)
{
    plat::console_print("\r\n%s Mode, <Backspace>=%02x, timestamp=%d, ", program_label(),
                        backspace_char, timestamp_option);
    if (log_is_open()) {
        plat::console_print("Log file \"%s\" size : %ld K\n", log_name, log_kb());
    } else {
        plat::console_print("No Log file\n");
    }
    if (drop_any()) {
        char list[DROP_LIST_MAX];
        plat::console_print("Dropped: %s\n", drop_list(list, sizeof list));
    }
    plat::console_print("%s", HOTKEY_TEXT);
    port_key_byte(KEY_CR);
}

static void hot_backspace() REQUIRES(link_lock)
{
    backspace_char = backspace_char == 0x08 ? 0x7F : 0x08;
    plat::console_print("\r\n%s: Backspace key: %02x\n", program_label(), backspace_char);
    port_key_byte(KEY_CR);
}

static void hot_timestamp() REQUIRES(link_lock)
{
    timestamp_option ^= 1;
    plat::console_print("\r\n%s: Timestamp is %s.\n", program_label(),
                        timestamp_option != 0 ? "Enabled" : "Disabled");
    port_key_byte(KEY_CR);
}

// Alt+H: the device's text on the console as hex lines, or as text again. Sends nothing: the
// view is the console's alone.
static void hot_hex() REQUIRES(link_lock)
{
    plat::console_print("\r\n%s: Hex view %s.\n", program_label(),
                        hex_view_toggle() != 0 ? "on" : "off");
}

static void hot_mode() REQUIRES(link_lock)
{
    mode_flag = mode_flag.load() == MODE_PASEL ? MODE_KIVET : MODE_PASEL;
    trace_event("mode %s", mode_flag.load() == MODE_PASEL ? "PASEL" : "KIVET");
    backspace_char = mode_flag.load() == MODE_KIVET ? 0x7F : 0x08;
    plat::console_print("\r\n%s: File transfer mode change to %s, Backspace key: %02x\n",
                        program_label(), program_label(), backspace_char);
    port_key_byte(KEY_CR);
}

// Alt+R: a reset pulse on DTR and RTS, for the boards that wire them to their reset pin.
static void hot_reset() REQUIRES(link_lock)
{
    plat::console_print("\r\n%s: Reset pulse on DTR and RTS.\n", program_label());
    port_reset_pulse();
}

// F11: random characters to the device, or none; the sending thread wakes to see it.
static void hot_random() REQUIRES(link_lock)
{
    random_mode = random_mode.load() == 0 ? 1 : 0;
    sender_wake();
}

// The hot keys. A row that needs a free line does nothing while the device holds a file or a
// transfer runs: the mode switch and the file send. The actions are called from key_handle
// alone, which holds the link lock.
static const HotKey HOT_KEYS[] = {
    {'R', true, false, hot_reset},
    {'H', true, false, hot_hex},
    {plat::KEY_F1, false, false, hot_status},
    {plat::KEY_F2, false, false, hot_backspace},
    {plat::KEY_F3, false, false, hot_timestamp},
    {plat::KEY_F4, false, true, hot_mode},
    {plat::KEY_F5, false, true, dialog_send_file_start},
    {plat::KEY_F6, false, false, dialog_add_task_start},
    {plat::KEY_F7, false, false, dialog_delete_task_start},
    {plat::KEY_F8, false, false, dialog_task_list},
    {plat::KEY_F9, false, false, dialog_capture_start},
    {plat::KEY_F10, false, false, dialog_capture_end},
    {plat::KEY_F11, false, false, hot_random},
};

const HotKey* hot_key_find(uint16_t vk, bool alt)
{
    for (const HotKey& k : HOT_KEYS) {
        if (k.vk == vk && (alt || !k.alt)) {
            return &k;
        }
    }
    return nullptr;
}

// Alt held without Ctrl: Right Alt with Ctrl is AltGr, which types characters on many layouts.
static bool alt_only(const plat::KeyEvent& ev)
{
    return (ev.ctrl & (plat::KEY_LEFT_ALT | plat::KEY_RIGHT_ALT)) != 0 &&
           (ev.ctrl & (plat::KEY_LEFT_CTRL | plat::KEY_RIGHT_CTRL)) == 0;
}

// Alt+1 .. Alt+9, Alt+0 and Alt+-: the function key F1 .. F11 they stand for, since many
// terminals keep F1, F10 and F11 for themselves; 0 for any other key.
static uint16_t alt_function_key(uint16_t vk)
{
    if (vk >= '1' && vk <= '9') {
        return static_cast<uint16_t>(plat::KEY_F1 + (vk - '1'));
    }
    if (vk == '0') {
        return plat::KEY_F10;
    }
    return vk == plat::KEY_OEM_MINUS ? plat::KEY_F11 : 0;
}

// A cursor key: ESC '[' goes out now when the line is free; the letter takes the path of a
// typed character.
static uint8_t cursor_key(uint8_t letter) REQUIRES(link_lock)
{
    if (line_free()) {
        port_key_byte(KEY_ESC);
        port_key_byte(KEY_CSI);
    }
    return letter;
}

// The character a key that is no hot key types: the Backspace byte, a cursor key's letter,
// Delete's 0x08, Ctrl+Shift+6's 0x1E; every other key keeps its own (0 for none).
static uint8_t key_char(const plat::KeyEvent& ev) REQUIRES(link_lock)
{
    switch (ev.vk) {
    case plat::KEY_BACK:
        return backspace_char;
    case plat::KEY_LEFT:
        return cursor_key('D');
    case plat::KEY_UP:
        return cursor_key('A');
    case plat::KEY_RIGHT:
        return cursor_key('C');
    case plat::KEY_DOWN:
        return cursor_key('B');
    case plat::KEY_DELETE:
        return KEY_DEL_CHAR;
    case plat::KEY_6:
        if ((ev.ctrl & plat::KEY_SHIFT) != 0 &&
            (ev.ctrl & (plat::KEY_LEFT_CTRL | plat::KEY_RIGHT_CTRL)) != 0) {
            return KEY_CTRL_CARET;
        }
        return ev.ch;
    default:
        return ev.ch;
    }
}

// A typed character: to the active prompt, or to the device while the line is free (and in
// KIVET mode to the console text buffer), or the advice to press End.
static void key_typed(uint8_t c) REQUIRES(link_lock)
{
    if (prompt_active()) {
        prompt_input(c);
    } else if (line_free()) {
        port_key_byte(c);
        if (mode_flag.load() == MODE_KIVET) {
            text_append(c);
        }
    } else if (!busy_said) {
        plat::console_print("\r\nPress <End> key to exit\n");  // once for a whole paste
        busy_said = in_batch;
    }
}

KeyResult key_handle(const plat::KeyEvent& ev)
{
    const bool alt = alt_only(ev);
    uint16_t vk = ev.vk;
    uint8_t c = ev.ch;
    if (alt && alt_function_key(vk) != 0) {
        vk = alt_function_key(vk);
        c = 0;  // a function key types nothing
    }
    if (const HotKey* hot = hot_key_find(vk, alt); hot != nullptr) {
        if (!hot->needs_free_line || line_free()) {
            hot->action();
        }
        if (hot->alt) {
            return KEY_GO_ON;  // its letter is not typed
        }
    } else if (vk == plat::KEY_END) {
        return KEY_QUIT;
    } else {
        c = key_char(ev);
    }
    if (c != 0) {
        key_typed(c);
    }
    return KEY_GO_ON;
}

// Hands the keys of one batch to the key handler in order, up to End.
static KeyResult batch_handle(const plat::KeyEvent* ev, int n) REQUIRES(link_lock)
{
    in_batch = true;
    busy_said = false;
    KeyResult r = KEY_GO_ON;
    for (int i = 0; i < n && r != KEY_QUIT; ++i) {
        if (ev[i].key_down != 0) {
            r = key_handle(ev[i]);  // the keys after End are never handled
        }
    }
    in_batch = false;
    busy_said = false;
    return r;
}

// What a batch left waiting for a device that does not read goes out in slices, without the
// link lock; End or a signal meanwhile ends the program. The keys typed meanwhile wait in the
// console's queue and then in the terminal: none is lost.
static bool keys_sent()
{
    while (port_keys_send() > 0) {
        if (plat::console_end_waiting()) {
            return false;
        }
    }
    return true;
}

KeyResult console_batch()
{
    if (!keys_sent()) {
        return KEY_QUIT;
    }
    // Keys typed while the last batch was handled wait in the console's queue: none is lost.
    plat::KeyEvent ev[KEY_BATCH];
    const int n = plat::console_read_keys(ev, KEY_BATCH);
    bool end = false;
    for (int i = 0; i < n; ++i) {
        end = end || (ev[i].key_down != 0 && ev[i].vk == plat::KEY_END);
    }
    // Another thread may hold the link lock for long (a thread stuck in a port write, a device
    // that floods a console nobody reads): the lock is waited for in short tries, and End or a
    // signal meanwhile ends the program without the keys of this batch.
    uint32_t waited = 0;
    while (!link_lock.take_within(LOCK_TRY_MS)) {
        waited += LOCK_TRY_MS;
        if ((end && waited >= END_KEY_WAIT_MS) || plat::console_end_waiting()) {
            return KEY_QUIT;
        }
    }
    KeyResult r = batch_handle(ev, n);
    link_lock.give();
    if (r == KEY_QUIT) {
        (void)port_keys_send();  // the keys before End: one slice, not a wait for the device
    }
    return r;
}

void console_loop()
{
    while (console_batch() != KEY_QUIT) {
    }
}
