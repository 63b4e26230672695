// platform/clock.h: the millisecond tick count, local time and calendar time.
#pragma once

#include <cstdint>

namespace plat
{

// Milliseconds since an arbitrary start; wraps modulo 2^32 like the system tick count.
uint32_t tick_ms();

struct LocalTime {
    int hour;
    int minute;
    int second;
    int millisecond;
    int year;   // e.g. 2026
    int month;  // 1..12
    int day;    // 1..31
};
LocalTime local_time();

// Calendar time in seconds (for seeding the random generator).
int64_t time_seconds();

}  // namespace plat
