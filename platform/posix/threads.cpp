// platform/posix/threads.cpp: the link lock, manual-reset events, threads, sleep and exit on
// the standard library's threads.
#include "platform/threads.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/console.h"
#include "platform/link_mutex.h"

#ifdef KIVET_COVERAGE
extern "C" void __gcov_dump(void);
#endif

plat::LinkLock link_lock;

namespace plat
{

namespace
{
LinkMutex link_mutex;  // a timed take has precedence (platform/link_mutex.h)
}

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
    std::mutex m;
    std::condition_variable cv;
    bool signalled = false;
};

Event* event_create()
{
    return new Event;  // lives for the whole run
}

void event_set(Event* e)
{
    {
        std::lock_guard<std::mutex> g(e->m);
        e->signalled = true;
    }
    e->cv.notify_all();
}

void event_reset(Event* e)
{
    std::lock_guard<std::mutex> g(e->m);
    e->signalled = false;
}

void event_wait(Event* e)
{
    std::unique_lock<std::mutex> g(e->m);
    e->cv.wait(g, [e] { return e->signalled; });
}

int thread_start(void (*body)(), ThreadPriority prio)
{
    // Raising a thread's priority needs privileges on Linux; the receive and packet sender
    // threads run at the normal priority when the process may not raise it.
    (void)prio;
    try {
        std::thread t(body);
        t.detach();
    } catch (const std::system_error& e) {
        return -e.code().value();
    }
    return 0;
}

void sleep_ms(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void process_exit(int code)
{
    console_restore();
    std::fflush(stdout);
#ifdef KIVET_COVERAGE
    __gcov_dump();  // the coverage build's counts, which the exit handlers would have written
#endif
    std::_Exit(code);  // static destructors would race the threads that still run
}

}  // namespace plat
