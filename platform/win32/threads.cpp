// platform/win32/threads.cpp: the link lock (a std::mutex: not recursive, as the program
// expects), manual-reset events, threads by CreateThread, Sleep and the exit.
#include "platform/threads.h"
#include "platform/console.h"
#include "platform/link_mutex.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

plat::LinkLock link_lock;

namespace plat
{

namespace
{

LinkMutex link_mutex;  // a timed take has precedence (platform/link_mutex.h)

DWORD WINAPI thread_entry(LPVOID body)
{
    reinterpret_cast<void (*)()>(body)();
    return 0;
}

}  // namespace

void LinkLock::take()
{
    link_mutex.lock();
}

bool LinkLock::take_within(uint32_t ms)
{
    return link_mutex.lock_within(ms);
}

void LinkLock::give()
{
    link_mutex.unlock();
}

void LinkLock::assert_held() {}

struct Event {
    HANDLE h;
};

Event* event_create()
{
    // Lives for the whole run.
    return new Event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
}

void event_set(Event* e)
{
    SetEvent(e->h);
}

void event_reset(Event* e)
{
    ResetEvent(e->h);
}

void event_wait(Event* e)
{
    WaitForSingleObject(e->h, INFINITE);
}

int thread_start(void (*body)(), ThreadPriority prio)
{
    HANDLE t = CreateThread(nullptr, 0, thread_entry, reinterpret_cast<LPVOID>(body),
                            CREATE_SUSPENDED, nullptr);
    if (t == nullptr) {
        return -static_cast<int>(GetLastError());
    }
    if (prio == PRIO_HIGHEST) {
        (void)SetThreadPriority(t, THREAD_PRIORITY_HIGHEST);
    }
    ResumeThread(t);
    CloseHandle(t);  // detached: the thread runs on
    return 0;
}

void sleep_ms(uint32_t ms)
{
    Sleep(ms);
}

void process_exit(int code)
{
    console_restore();
    std::fflush(stdout);
    std::_Exit(code);  // static destructors would race the threads that still run
}

}  // namespace plat
