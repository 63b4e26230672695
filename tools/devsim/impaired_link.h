// tools/devsim/impaired_link.h: a Link wrapper that spoils traffic on purpose: drops, corrupts,
// duplicates or delays frames (or single bytes) at set rates, the same way every run for the
// same seed. Used by the device emulator and the end-to-end tests, wrapped around either side.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "tools/devsim/link.h"

namespace devsim
{

// Rates are chances from 0 to 1, drawn independently for each unit. With whole_frames a unit is
// one frame (END to END) and the text between frames passes untouched; otherwise every byte is
// a unit. A corrupted frame keeps its framing and fails its checksum; a dropped unit is gone; a
// duplicated one goes twice in a row; a delayed one is held back delay_ms, and everything after
// it waits behind it (the order never changes). With every rate 0 nothing is cut or held: bytes
// pass as they come.
struct Impairment {
    double drop = 0;
    double corrupt = 0;
    double duplicate = 0;
    double delay = 0;
    int delay_ms = 0;
    bool whole_frames = true;
};

class ImpairedLink : public Link
{
  public:
    // outgoing spoils what is written through this wrapper, incoming what is read through it.
    // Each direction draws from its own generator (seeded with seed and seed + 1), so the
    // spoiling of one does not depend on the timing of the other.
    ImpairedLink(Link& inner, Impairment outgoing, Impairment incoming, uint32_t seed);

    // A frame not yet complete at the end of a write is held until a later write completes it.
    // A delayed unit makes the writer sleep.
    bool write(const Bytes& bytes) override;
    Bytes read_some(size_t max, int timeout_ms) override;

    struct Counts {
        int units = 0;  // units that could be spoiled (frames, or bytes)
        int dropped = 0;
        int corrupted = 0;
        int duplicated = 0;
        int delayed = 0;
    };
    Counts outgoing_counts() const;
    Counts incoming_counts() const;

    // Spoils from now on as given (a script changes it between transfers), drawing anew from
    // seed and seed + 1; the counts go on. A frame cut in half by the change is finished as the
    // old setting cut it.
    void set(Impairment outgoing, Impairment incoming, uint32_t seed);

  private:
    using Clock = std::chrono::steady_clock;

    // One direction: splits its stream into units and spoils them.
    class Side
    {
      public:
        Side(const Impairment& impairment, uint32_t seed);
        // Complete units found in bytes; a frame's start is kept for the next call.
        std::vector<Bytes> cut(const Bytes& bytes);
        // The copies of unit that go on (none, one or two); delayed tells whether to hold them.
        std::vector<Bytes> spoil(Bytes unit, bool& delayed);
        Counts counts() const;
        void set(const Impairment& impairment, uint32_t seed);
        bool sound() const;  // no chance of any damage: units pass as they come
        int delay_ms() const
        {
            return impairment_.delay_ms;
        }

      private:
        double draw();
        void corrupt_frame(Bytes& frame);

        Impairment impairment_;
        std::mt19937 rng_;
        bool inside_ = false;  // the splitter is inside a frame
        bool esc_ = false;     // the previous byte inside the frame was ESC
        Bytes unit_;           // the frame being cut
        std::atomic<int> units_{0}, dropped_{0}, corrupted_{0}, duplicated_{0}, delayed_{0};
    };

    Link& inner_;
    std::mutex out_mutex_;  // one writer at a time
    Side out_;
    std::mutex in_mutex_;  // one reader at a time
    Side in_;
    std::deque<std::pair<Clock::time_point, Bytes>> ready_;  // spoiled input, release time
};

}  // namespace devsim
