// tools/devsim/link.h: the byte channel the device side talks through, and an in-memory pair.
// Owns the Link interface (write bytes, read with a deadline) that the pseudo-terminal, the
// impairment wrapper and the in-memory pair implement. Used by the KIVET client, the packet
// engine, the device emulator and the tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace devsim
{

using Bytes = std::vector<uint8_t>;

Bytes to_bytes(const std::string& s);
std::string to_string(const Bytes& b);

// One end of a byte channel. One thread reads at a time; another may write meanwhile.
class Link
{
  public:
    virtual ~Link() = default;

    // Writes all bytes, in order; false when the channel failed or was closed.
    virtual bool write(const Bytes& bytes) = 0;
    // Returns 1 to max bytes as soon as any are there, or nothing when none came within
    // timeout_ms (0: only what is already there) or the channel is closed.
    virtual Bytes read_some(size_t max, int timeout_ms) = 0;

    // Reads exactly n bytes; when the deadline passes first, returns the fewer bytes that came
    // (they are consumed all the same).
    Bytes read_exactly(size_t n, int timeout_ms);
};

// One end of an in-memory channel: what one end writes the other reads. Made in pairs by
// make_memory_pair(); closing either end wakes readers on both, which then get what was
// already written and after that nothing.
class MemoryLink : public Link
{
  public:
    bool write(const Bytes& bytes) override;
    Bytes read_some(size_t max, int timeout_ms) override;
    void close();

  private:
    struct Pipe {
        std::mutex mutex;
        std::condition_variable readable;
        std::deque<uint8_t> bytes;  // written, not yet read
        bool closed = false;
    };
    MemoryLink(std::shared_ptr<Pipe> in, std::shared_ptr<Pipe> out);
    friend std::pair<MemoryLink, MemoryLink> make_memory_pair();

    std::shared_ptr<Pipe> in_;   // the other end writes here
    std::shared_ptr<Pipe> out_;  // the other end reads here
};

// Two connected ends: first.write() reaches second.read_some() and back.
std::pair<MemoryLink, MemoryLink> make_memory_pair();

// A serial line's pace on a link: bytes go each way no faster than a line at baud carries them,
// baud / 10 bytes per second (8 data bits, a start and a stop bit), in slices of about 10 ms,
// like a UART draining its FIFO. A write returns when its last slice is handed on; a read
// takes at most one slice, no sooner than the line has carried the bytes read before it.
class PacedLink : public Link
{
  public:
    PacedLink(Link& inner, int32_t baud);
    bool write(const Bytes& bytes) override;
    Bytes read_some(size_t max, int timeout_ms) override;

  private:
    using Clock = std::chrono::steady_clock;

    Link& inner_;
    std::chrono::duration<double> byte_time_;  // one byte on the line
    size_t slice_;                             // bytes carried at once
    std::mutex out_mutex_;                     // one writer at a time
    Clock::time_point out_free_;               // the line has sent everything written by then
    std::mutex in_mutex_;                      // one reader at a time
    Clock::time_point in_free_;                // the line has carried everything read by then
};

}  // namespace devsim
