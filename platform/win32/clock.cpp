// platform/win32/clock.cpp: the tick count, local time, calendar seconds.
#include "platform/clock.h"

#include <windows.h>

#include <ctime>

namespace plat
{

uint32_t tick_ms()
{
    return GetTickCount();  // wraps after 49.7 days, as the callers expect
}

LocalTime local_time()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    return LocalTime{t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, t.wYear, t.wMonth, t.wDay};
}

int64_t time_seconds()
{
    return static_cast<int64_t>(time(nullptr));
}

}  // namespace plat
