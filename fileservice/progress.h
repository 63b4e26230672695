// fileservice/progress.h: the transfer progress counters that the host file service and the
// packet transfer advance, and the display that prints them on one rewritten console line.
#pragma once

#include <cstdint>

#include "platform/threads.h"

extern uint32_t prog_total GUARDED_BY(link_lock);    // file size; 0: no total known
extern uint32_t prog_done GUARDED_BY(link_lock);     // bytes transferred so far
extern uint32_t prog_start GUARDED_BY(link_lock);    // tick (ms) when the transfer started
extern uint32_t prog_elapsed GUARDED_BY(link_lock);  // ms, as of the last computation
extern uint32_t prog_last_s GUARDED_BY(link_lock);   // elapsed whole seconds last shown
extern uint32_t prog_flag GUARDED_BY(link_lock);     // a KIVET read shows progress

// Where the packet transfer stands, as far as the display cares; its caller says.
enum LinkPhase : uint8_t {
    LP_BUSY = 0,       // a transfer runs that is not a receive, or the file service's read
    LP_RECEIVING = 1,  // the device sends a file
    LP_IDLE = 2,       // no transfer runs
};

void progress_init() REQUIRES(link_lock);
// Prints the received-bytes line or the total line, at most once per elapsed second, and in
// PASEL mode while no transfer runs restarts the counters.
void progress_show(LinkPhase phase) REQUIRES(link_lock);
