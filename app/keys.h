// app/keys.h: the console loop and the key handler.
#pragma once

#include <cstdint>

#include "platform/console.h"
#include "platform/threads.h"
#include "port/port.h"

constexpr int KEY_BATCH = 20;  // key events handled in one hold of the link lock
// A key sends at most three bytes (a cursor key's ESC [ letter): a batch fits the port's key
// buffer, which is empty when a batch starts.
static_assert(KEY_BATCH * 3 <= static_cast<int>(KEY_BUF_SIZE));

// True when typed bytes may go to the device: PASEL mode with no transfer running, or KIVET
// mode with no file held open by the device.
bool line_free() REQUIRES(link_lock);

enum KeyResult : uint8_t {
    KEY_GO_ON = 0,  // the console loop goes on
    KEY_QUIT = 1,   // End: the console loop returns and the program shuts down
};

// A hot key: the key (Alt+1 .. Alt+- already made the function key they stand for), whether it
// counts only with Alt alone held (its letter is then never typed), whether it needs a free line
// (while the line is busy it does nothing), and what it does.
struct HotKey {
    uint16_t vk;
    bool alt;
    bool needs_free_line;
    void (*action)();
};
// The hot key's row, or nullptr for a key that is none (with alt, Alt alone is held).
const HotKey* hot_key_find(uint16_t vk, bool alt);

// Handles one key press (events with key_down 0 are the caller's to skip).
KeyResult key_handle(const plat::KeyEvent& ev) REQUIRES(link_lock);

// One pass of the console loop: flush waiting input, read a batch, handle it under the lock.
// KEY_QUIT after End, whose batch ends there.
KeyResult console_batch() EXCLUDES(link_lock);
// The console loop; returns after End.
void console_loop() EXCLUDES(link_lock);
