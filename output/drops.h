// output/drops.h: the drop counter: every frame, packet, write and key the link throws away,
// counted by reason, for the F1 status, the trace and the shutdown report.
#pragma once

#include <cstdint>

#include "platform/threads.h"

enum DropReason : uint8_t {
    DROP_BAD_CHECKSUM = 0,  // a frame whose checksum did not hold
    DROP_TOO_LONG = 1,      // a frame longer than the block size allows
    DROP_NO_BUFFER = 2,     // a frame received or a packet to send with no packet buffer free
    DROP_UNEXPECTED = 3,    // a packet the transfer state had no use for
    DROP_STALLED = 4,  // a write (a reply, a frame, a file's piece) a stalled device did not take
    DROP_KEY = 5,      // a typed key the line could not take
    DROP_REASONS = 6,
};

// Every count 0.
void drop_init() REQUIRES(link_lock);
// n more thrown away for reason r; any thread, with or without the link lock.
void drop_count(DropReason r, uint32_t n = 1);
uint32_t drop_total(DropReason r);
// True when any count is above 0.
bool drop_any();
// The counts above 0 as "bad checksum 2, key not taken 1" into out (size bytes); "" when
// there are none. Returns out.
const char* drop_list(char* out, uint32_t size);
constexpr uint32_t DROP_LIST_MAX = 200;  // room for every reason with the largest count

// The counts that grew since the last call and are not traced where they are counted (the
// writes and keys, counted without the lock): a repeat line each in the trace. Called by the
// receive thread after each read.
void drop_trace() REQUIRES(link_lock);
// The trace's closing words on them: "dropped: <the list>" or "dropped: nothing".
void drop_trace_end() REQUIRES(link_lock);
