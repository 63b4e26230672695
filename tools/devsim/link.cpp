// tools/devsim/link.cpp: read_exactly over any Link, and the in-memory channel pair.
// Used by the device-side clients and the tests; each Pipe carries its own lock.
#include "tools/devsim/link.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace devsim
{

using Clock = std::chrono::steady_clock;

Bytes to_bytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

std::string to_string(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

Bytes Link::read_exactly(size_t n, int timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Bytes out;
    while (out.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const Bytes got = read_some(n - out.size(), std::max<int>(0, int(left.count())));
        if (got.empty()) {  // read_some waited out the deadline, or the channel is closed
            break;
        }
        out.insert(out.end(), got.begin(), got.end());
    }
    return out;
}

MemoryLink::MemoryLink(std::shared_ptr<Pipe> in, std::shared_ptr<Pipe> out)
    : in_(std::move(in)), out_(std::move(out))
{
}

bool MemoryLink::write(const Bytes& bytes)
{
    std::lock_guard<std::mutex> hold(out_->mutex);
    if (out_->closed) {
        return false;
    }
    out_->bytes.insert(out_->bytes.end(), bytes.begin(), bytes.end());
    out_->readable.notify_all();
    return true;
}

Bytes MemoryLink::read_some(size_t max, int timeout_ms)
{
    std::unique_lock<std::mutex> hold(in_->mutex);
    in_->readable.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return !in_->bytes.empty() || in_->closed; });
    const size_t n = std::min(max, in_->bytes.size());
    Bytes out(in_->bytes.begin(), in_->bytes.begin() + long(n));
    in_->bytes.erase(in_->bytes.begin(), in_->bytes.begin() + long(n));
    return out;
}

void MemoryLink::close()
{
    for (const auto& pipe : {in_, out_}) {
        std::lock_guard<std::mutex> hold(pipe->mutex);
        pipe->closed = true;
        pipe->readable.notify_all();
    }
}

std::pair<MemoryLink, MemoryLink> make_memory_pair()
{
    auto a_to_b = std::make_shared<MemoryLink::Pipe>();
    auto b_to_a = std::make_shared<MemoryLink::Pipe>();
    return {MemoryLink(b_to_a, a_to_b), MemoryLink(a_to_b, b_to_a)};
}

PacedLink::PacedLink(Link& inner, int32_t baud)
    : inner_(inner), byte_time_(10.0 / baud), slice_(std::max<size_t>(1, size_t(baud / 1000))),
      out_free_(Clock::now()), in_free_(Clock::now())
{
}

bool PacedLink::write(const Bytes& bytes)
{
    std::lock_guard<std::mutex> hold(out_mutex_);
    out_free_ = std::max(out_free_, Clock::now());  // an idle line is free now, not in the past
    for (size_t at = 0; at < bytes.size(); at += slice_) {
        std::this_thread::sleep_until(out_free_);
        const size_t n = std::min(slice_, bytes.size() - at);
        if (!inner_.write(Bytes(bytes.begin() + long(at), bytes.begin() + long(at + n)))) {
            return false;
        }
        out_free_ += std::chrono::duration_cast<Clock::duration>(byte_time_ * double(n));
    }
    return true;
}

Bytes PacedLink::read_some(size_t max, int timeout_ms)
{
    std::lock_guard<std::mutex> hold(in_mutex_);
    std::this_thread::sleep_until(in_free_);
    Bytes got = inner_.read_some(std::min(max, slice_), timeout_ms);
    in_free_ = std::max(in_free_, Clock::now()) +
               std::chrono::duration_cast<Clock::duration>(byte_time_ * double(got.size()));
    return got;
}

}  // namespace devsim
