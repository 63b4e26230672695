// packet/timer.h: the retransmission timer: counts an armed time down in 100 ms ticks and tells
// its caller, the timer thread's pass (packet/transfer), whether it ran out.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t TIMER_TICK_MS = 100;

extern uint32_t timeout_value GUARDED_BY(link_lock);  // ms armed; 0: not armed
extern plat::Event* timer_event;

void timer_init() REQUIRES(link_lock);
void timer_arm(uint32_t ms) REQUIRES(link_lock);
void timer_disarm() REQUIRES(link_lock);
// Waits for the event, takes link_lock and counts the armed time down, giving the lock up
// during each tick. Returns with link_lock held: true when the countdown ran out, false when
// it was disarmed or armed below one tick.
bool timer_countdown() ACQUIRE(link_lock);
