// sending/scheme.cpp: the scheme-task table (up to ten files sent again and again at an
// interval counted in cycles of the sending thread) and its countdown step.
// The F6/F7 dialogs fill and switch records on the console thread under the link lock
// (scheme_clear_task, the fields); start-up clears the table (scheme_clear). The sending thread
// runs the countdown step once a cycle (scheme_next_due, and scheme_reload after each send):
// active, interval and countdown are atomics it reads and counts down without the lock; the file
// name it copies under the link lock, briefly, since a dialog may clear and refill the record at
// any time. It never holds the lock while it sends.
#include "sending/scheme.h"

#include <cstring>

SchemeTask scheme_table[SCHEME_TASKS];

void scheme_clear()
{
    for (int i = 0; i < SCHEME_TASKS; i++) {
        scheme_clear_task(i);
    }
}

void scheme_clear_task(int i)
{
    if (i < 0 || i >= SCHEME_TASKS) {
        return;
    }
    SchemeTask& t = scheme_table[i];
    t.active.store(0, std::memory_order_release);  // inactive first: the step leaves it alone
    t.interval.store(0);
    t.countdown.store(0);
    memset(t.name, 0, sizeof t.name);
}

// Copies the task's file name while the dialogs cannot change it.
static void scheme_copy_name(const SchemeTask& t, char* out) EXCLUDES(link_lock)
{
    plat::LockHold hold(link_lock);
    memcpy(out, t.name, sizeof t.name);
    out[sizeof t.name - 1] = '\0';
}

// The send may have taken minutes; if the task was deleted or cleared and entered anew
// meanwhile, its countdown is no longer 0.
void scheme_reload(int i)
{
    if (i < 0 || i >= SCHEME_TASKS) {
        return;
    }
    SchemeTask& t = scheme_table[i];
    plat::LockHold hold(link_lock);
    if (t.active.load() != 0 && t.countdown.load() == 0) {
        t.countdown.store(t.interval.load());
    }
}

bool scheme_any_active()
{
    for (const SchemeTask& t : scheme_table) {
        if (t.active.load(std::memory_order_acquire) != 0) {
            return true;
        }
    }
    return false;
}

int scheme_next_due(int from, char* name)
{
    for (int i = from < 0 ? 0 : from; i < SCHEME_TASKS; i++) {
        SchemeTask& t = scheme_table[i];
        if (t.active.load(std::memory_order_acquire) == 0) {
            continue;  // an inactive record keeps its countdown
        }
        // Count down by 1 modulo 256. Should a dialog clear the record between the load and
        // the store, the exchange fails and the dialog's value stands.
        uint8_t left = t.countdown.load();
        const uint8_t next = static_cast<uint8_t>(left - 1);
        if (!t.countdown.compare_exchange_strong(left, next) || next != 0) {
            continue;
        }
        scheme_copy_name(t, name);
        return i;
    }
    return -1;
}
