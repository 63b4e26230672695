// port/receive.h: the receive thread, the only reader of the port. It hands each byte to the
// consumer of the current mode: the stream interpreter (KIVET) or the deframer (PASEL), and in
// PASEL mode shows the text between frames and dispatches the received packets.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t READ_CHUNK = 4096;  // bytes read from the port at most at a time

// PASEL loop head: drains the text ring to the console, log and capture, then each received
// packet to the progress display and to packet dispatch.
void receive_drain() REQUIRES(link_lock);
// Reads and dispatches chunks until the port's input buffer is empty.
void read_pump() REQUIRES(link_lock);
// One loop of the thread: drain (PASEL), wait for a port event, pump.
void receive_pass() EXCLUDES(link_lock);
// Thread body; never returns.
void receive_thread();
