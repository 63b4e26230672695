// packet/timer.cpp: the retransmission timer. Owns the timeout value that the transfer state
// machine arms, the timer event and the countdown that the timer thread runs. timer_arm and
// timer_disarm are called by the state machine with link_lock held; the countdown holds
// link_lock except while it waits for the event and sleeps a tick.
#include "packet/timer.h"

uint32_t timeout_value;
plat::Event* timer_event;

// Counts every arm and disarm, so that the countdown sees an arming that happened during a
// tick even when it set the same value again.
static uint32_t timer_generation GUARDED_BY(link_lock);

void timer_init()
{
    if (timer_event == nullptr) {
        timer_event = plat::event_create();
    }
    plat::event_reset(timer_event);
    timeout_value = 0;
    timer_generation = 0;
}

void timer_arm(uint32_t ms)
{
    timeout_value = ms;
    timer_generation++;
    plat::event_set(timer_event);
}

void timer_disarm()
{
    timeout_value = 0;
    timer_generation++;
    plat::event_reset(timer_event);
}

bool timer_countdown()
{
    plat::event_wait(timer_event);
    // Reset before the lock: an arming between here and the lock is the value read below.
    plat::event_reset(timer_event);
    link_lock.take();
    uint32_t ticks = timeout_value / TIMER_TICK_MS;  // below one tick: no countdown at all
    uint32_t generation = timer_generation;
    bool expired = false;
    while (ticks > 0) {
        // The lock is free during the tick, so packets are handled (and the timer armed or
        // disarmed) meanwhile.
        link_lock.give();
        plat::sleep_ms(TIMER_TICK_MS);
        link_lock.take();
        if (timer_generation != generation) {
            generation = timer_generation;
            if (timeout_value == 0) {
                break;  // disarmed: ends without running out
            }
            // Armed again: this countdown serves the new arming, so its signal is used up here
            // (all arming is under the lock) and no second countdown follows for it.
            plat::event_reset(timer_event);
            ticks = timeout_value / TIMER_TICK_MS;
        } else if (--ticks == 0) {
            expired = true;
        }
    }
    return expired;
}
