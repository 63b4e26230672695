// packet/timer.h: the retransmission timer: counts an armed time down in 100 ms ticks and
// then runs the timeout action.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t TIMER_TICK_MS = 100;

extern uint32_t timeout_value GUARDED_BY(link_lock);  // ms armed; 0: not armed
extern bool timeout_flag GUARDED_BY(link_lock);       // a countdown ran out
extern plat::Event* timer_event;

void timer_init() REQUIRES(link_lock);
void timer_arm(uint32_t ms) REQUIRES(link_lock);
void timer_disarm() REQUIRES(link_lock);
// One pass of the timer thread: wait for the event, count down, run the timeout action.
void timer_pass() EXCLUDES(link_lock);
void timer_thread();
