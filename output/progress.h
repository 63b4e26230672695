// output/progress.h: the transfer progress display: counters that the host file service and
// the packet transfer advance through the calls below, and the display that prints them on one
// console line rewritten in place.
#pragma once

#include <cstdint>

#include "platform/threads.h"

// Where the transfer stands, as far as the display cares; its caller says.
enum LinkPhase : uint8_t {
    LP_BUSY = 0,       // a packet transfer runs that is not a receive
    LP_RECEIVING = 1,  // the device sends a file over the packet link
    LP_IDLE = 2,       // no packet transfer runs
    LP_FILE_READ = 3,  // the device read a block of a file through the file service
};

// The counters as they stand.
struct ProgressCounters {
    uint32_t total;    // file size; 0: no total known
    uint32_t done;     // bytes transferred so far
    uint32_t start;    // tick (ms) when the transfer started
    uint32_t elapsed;  // ms, as of the last computation
    uint32_t last_s;   // elapsed whole seconds last shown
    uint32_t shown;    // file-service reads show the line
};

void progress_init() REQUIRES(link_lock);
// A file opened through the file service: its size (0: none known), the clock from now,
// nothing done, and its reads show the line.
void progress_begin(uint32_t total) REQUIRES(link_lock);
// A file opened through the file service whose reads show nothing; the counters stay.
void progress_quiet() REQUIRES(link_lock);
// A file closed through the file service: no total, nothing done, nothing shown.
void progress_end() REQUIRES(link_lock);
// The packet transfer's file size (0: none known); done and the clock stay.
void progress_size(uint32_t total) REQUIRES(link_lock);
// n more bytes transferred.
void progress_add(uint32_t n) REQUIRES(link_lock);
// Prints the received-bytes line or the total line, at most once per elapsed second; an idle
// packet link restarts the counters, and a file-service read shows only after progress_begin.
void progress_show(LinkPhase phase) REQUIRES(link_lock);
// The end of a file the device sent over the packet link: the bytes received and the time.
void progress_received_end() REQUIRES(link_lock);
const ProgressCounters& progress_counters() REQUIRES(link_lock);
