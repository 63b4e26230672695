// sending/scheme.h: the scheme-task table (files sent on a schedule) and its countdown step,
// which names the tasks that are due; the sending thread sends them (send_scheme_step).
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
// The countdown step from task `from` on, in order: counts each active task down by one and
// stops at the first that reaches 0. Returns its number with its file name copied into name
// (FILE_NAME_MAX + 1 bytes), or -1 when none from `from` on is due in this cycle. A cycle's
// step is from 0, then from each due task's number + 1 once it is served.
int scheme_next_due(int from, char* name) EXCLUDES(link_lock);
// After task i's firing is served: reloads its countdown from its interval, unless the record
// was deleted or entered anew meanwhile (the dialog's values then stand).
void scheme_reload(int i) EXCLUDES(link_lock);
