// platform/threads.h: threads, the link lock, manual-reset events and sleeping.
// The link lock is the one lock of the program; module state that it guards is marked
// GUARDED_BY(link_lock) and procedures that need it say REQUIRES(link_lock), so that clang's
// -Wthread-safety reports an unlocked access at compile time (the macros are empty for g++).
#pragma once

#include <cstdint>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) THREAD_ANNOTATION(assert_capability(x))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

namespace plat
{

// The link lock: a plain (non-recursive) mutex. The object only names the capability for the
// analysis; the mutex itself lives in the backend.
struct CAPABILITY("mutex") LinkLock {
    void take() ACQUIRE();
    // Takes the lock if it comes free within ms milliseconds; true when taken.
    bool take_within(uint32_t ms) TRY_ACQUIRE(true);
    void give() RELEASE();
    // Says that the calling thread holds the lock, where the analysis cannot see it taken (a
    // test body, whose fixture took it): held from here on. The fake backend checks it; the OS
    // backends' mutex cannot tell who holds it, and they check nothing.
    void assert_held() ASSERT_CAPABILITY(this);
};

// Holds the link lock for a scope.
class SCOPED_CAPABILITY LockHold
{
  public:
    explicit LockHold(LinkLock& l) ACQUIRE(l) : lock_(l)
    {
        lock_.take();
    }
    ~LockHold() RELEASE()
    {
        lock_.give();
    }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

  private:
    LinkLock& lock_;
};

// Manual-reset event: stays signalled until reset; starts not signalled.
struct Event;
Event* event_create();
void event_set(Event* e);
void event_reset(Event* e);
// Waits without limit until the event is signalled (does not reset it).
void event_wait(Event* e);

enum ThreadPriority : uint8_t { PRIO_NORMAL = 0, PRIO_HIGHEST = 1 };

// Starts body on a new detached thread. Returns 0, or -err when the thread cannot be created.
// A priority the process may not set is ignored (raising it may need privileges).
int thread_start(void (*body)(), ThreadPriority prio);

// Sleeps at least ms milliseconds.
void sleep_ms(uint32_t ms);

// Ends the process with the exit code: restores the console first, then ends without running
// static destructors (other threads are still running). Never returns.
[[noreturn]] void process_exit(int code);

}  // namespace plat

// The link lock of the program (defined by the backend).
extern plat::LinkLock link_lock;
