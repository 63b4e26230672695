// packet/transfer.h: the transfer state machine of the packet link: answers each received
// packet by the transfer state, moves a file block by block, resends on time-outs.
#pragma once

#include <cstdint>

#include "output/progress.h"
#include "packet/format.h"
#include "packet/pool.h"
#include "platform/threads.h"

enum TransferState : uint8_t {
    TS_IDLE = 0,
    TS_SEND_START = 1,
    TS_SEND_DATA = 2,
    TS_RECV_START = 3,
    TS_RECV_DATA = 4,
    TS_SEND_END = 5,
    TS_ERROR = 6,
};

constexpr uint32_t RETRY_MAX = 3;

extern TransferState transfer_state GUARDED_BY(link_lock);
// A countdown ran out and the timeout action has not yet acted on it (it acts only in PASEL
// mode: one that runs out in KIVET mode waits for the next pass in PASEL mode).
extern bool timeout_flag GUARDED_BY(link_lock);
// Block size of the last request (capped at 128); the deframer is told it.
extern uint16_t block_size GUARDED_BY(link_lock);

void transfer_init() REQUIRES(link_lock);
// The transfer's phase for the progress display.
LinkPhase transfer_phase() REQUIRES(link_lock);
// Runs the handler of the current state for p, then gives p back to the pool.
void packet_dispatch(Packet* p) REQUIRES(link_lock);
// Called by the timer thread after every countdown: resend or give up when the timeout flag
// is raised.
void timeout_action() REQUIRES(link_lock);
// One pass of the timer thread: a countdown of the timer (packet/timer), the flag raised when
// it ran out, and in PASEL mode the timeout action, all in one hold of the lock at the end.
void timeout_pass() EXCLUDES(link_lock);
void timeout_thread();
// The device is gone: a transfer under way ends at once (its file closed; a file being
// received keeps what was written) and says so on the console; the line is free again.
void transfer_link_lost() REQUIRES(link_lock);
// Closes the transfer file if one is open (shutdown).
void transfer_close_file() REQUIRES(link_lock);
