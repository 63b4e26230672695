// platform/link_mutex.h: the link lock's mutex, for both backends. A plain mutex whose timed
// take is urgent: while a thread waits in lock_within (the console thread with a key to hand
// over, the end of the program), lock() waits until it is through, so that the waiter gets the
// lock the next time its holder gives it up, however soon the holder wants it back. The receive
// thread gives the lock up between two chunks it reads, so a key waits for one chunk at most,
// not for the end of a flood.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/lock_within.h"

namespace plat
{

class LinkMutex
{
  public:
    void lock()
    {
        {
            std::unique_lock<std::mutex> g(gate_);
            way_.wait(g, [this] { return urgent_ == 0; });
        }
        m_.lock();
    }
    // Takes the mutex if it comes free within ms milliseconds; true when taken.
    bool lock_within(uint32_t ms)
    {
        {
            std::lock_guard<std::mutex> g(gate_);
            ++urgent_;
        }
        const bool taken = plat::lock_within(m_, ms);
        {
            std::lock_guard<std::mutex> g(gate_);
            --urgent_;
        }
        way_.notify_all();
        return taken;
    }
    void unlock()
    {
        m_.unlock();
    }

  private:
    std::mutex m_;
    std::mutex gate_;              // guards urgent_
    std::condition_variable way_;  // urgent_ fell to 0
    int urgent_ = 0;               // threads in lock_within
};

}  // namespace plat
