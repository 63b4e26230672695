// app/receive.h: the receive thread, the only reader of the port. It waits for bytes, reads
// them a chunk at a time and hands each chunk to the current mode's front door: kivet_chunk
// (the stream interpreter) or pasel_chunk (the packet link), with pasel_drain at the head of
// each loop in PASEL mode.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t READ_CHUNK = 4096;  // bytes read from the port at most at a time

// PASEL loop head: the text received so far is shown, then each packet received dispatched.
void receive_drain() REQUIRES(link_lock);
// Reads and hands on chunks until the port's input buffer is empty.
void read_pump() REQUIRES(link_lock);
// One loop of the thread: drain (PASEL), wait for a port event, pump; a lost port is waited for.
void receive_pass() EXCLUDES(link_lock);
// Thread body; never returns.
void receive_thread();
