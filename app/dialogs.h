// app/dialogs.h: the prompt dialogs of F5 (send a file), F6/F7/F8 (scheme tasks) and
// F9/F10 (capture file). They run in the key handler, one character per key press, under the
// link lock, and keep their progress in the prompt flags between presses.
#pragma once

#include <cstdint>

#include "platform/files.h"
#include "platform/threads.h"

// Name of the capture file (shown by F10 and at shutdown).
extern char capture_name[plat::FILE_NAME_MAX + 1] GUARDED_BY(link_lock);

void dialogs_init() REQUIRES(link_lock);
// True while any prompt flag is on.
bool prompt_active() REQUIRES(link_lock);
// Hands one character (nonzero) to the first prompt that is on.
void prompt_input(uint8_t c) REQUIRES(link_lock);

void dialog_send_file_start() REQUIRES(link_lock);    // F5
void dialog_add_task_start() REQUIRES(link_lock);     // F6
void dialog_delete_task_start() REQUIRES(link_lock);  // F7
void dialog_task_list() REQUIRES(link_lock);          // F8
void dialog_capture_start() REQUIRES(link_lock);      // F9
void dialog_capture_end() REQUIRES(link_lock);        // F10
