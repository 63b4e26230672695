// platform/posix/clock.cpp: monotonic milliseconds, local time, calendar seconds.
#include "platform/clock.h"

#include <ctime>

namespace plat
{

uint32_t tick_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);  // wraps like the system tick count
}

LocalTime local_time()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t;
    localtime_r(&ts.tv_sec, &t);
    return LocalTime{
        t.tm_hour,        t.tm_min,     t.tm_sec, static_cast<int>(ts.tv_nsec / 1000000),
        t.tm_year + 1900, t.tm_mon + 1, t.tm_mday};
}

int64_t time_seconds()
{
    return static_cast<int64_t>(time(nullptr));
}

}  // namespace plat
