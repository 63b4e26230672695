// app/keys.h: the console loop and the key handler.
#pragma once

#include "platform/console.h"
#include "platform/threads.h"

constexpr int KEY_BATCH = 20;  // key events handled in one hold of the link lock

// True when typed bytes may go to the device: PASEL mode with no transfer running, or KIVET
// mode with no file held open by the device.
bool line_free() REQUIRES(link_lock);

// Handles one key press (events with key_down 0 are the caller's to skip).
void key_handle(const plat::KeyEvent& ev) REQUIRES(link_lock);

// One pass of the console loop: flush waiting input, read a batch, handle it under the lock.
void console_batch() EXCLUDES(link_lock);
// The console loop; never returns.
[[noreturn]] void console_loop() EXCLUDES(link_lock);
