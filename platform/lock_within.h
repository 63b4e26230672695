// platform/lock_within.h: taking a lock with a time limit, for the backends (the link lock,
// the port's write lock). try_lock and short pauses rather than a timed lock, which the
// sanitizers do not follow.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace plat
{

constexpr uint32_t LOCK_WITHIN_PAUSE_MS = 2;  // between two tries

// Takes m (a mutex, a std::unique_lock: anything with try_lock) if it comes free within ms
// milliseconds; true when taken.
template <class Lockable> bool lock_within(Lockable& m, uint32_t ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!m.try_lock()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(LOCK_WITHIN_PAUSE_MS));
    }
    return true;
}

}  // namespace plat
