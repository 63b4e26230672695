// sending/scheme.h: the scheme-task table (files sent on a schedule) and its countdown step.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/files.h"
#include "platform/threads.h"

constexpr int SCHEME_TASKS = 10;

// Written by the F6/F7 dialogs under the link lock; counted down by the sending thread without
// it. A record is filled while inactive and activated last (release store of active).
struct SchemeTask {
    std::atomic<uint8_t> active;         // 1 while the task runs
    std::atomic<uint8_t> interval;       // cycles between firings
    std::atomic<uint8_t> countdown;      // cycles left to the next firing
    char name[plat::FILE_NAME_MAX + 1];  // file to send, zero-terminated
};

extern SchemeTask scheme_table[SCHEME_TASKS];

// Clears the whole table: no task active.
void scheme_clear();
// Clears one record (interval, countdown and name 0, inactive).
void scheme_clear_task(int i);
// Whether any task is active (the sending thread idles when none is and nothing else is due).
bool scheme_any_active();
// One countdown step, tasks 0 to 9 in order; a task that reaches 0 sends its file in byte
// mode and reloads its countdown from its interval.
void scheme_step() EXCLUDES(link_lock);
