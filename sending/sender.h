// sending/sender.h: the unattended sending thread: the file of a send request (F5), random
// printable characters (F11) and the scheme tasks' countdown, all without the link lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/files.h"
#include "platform/threads.h"

constexpr uint32_t CHUNK_SIZE = 100;
constexpr uint8_t SEND_MAX_DELAY_MS = 200;
constexpr uint32_t RANDOM_BATCH = 10;
constexpr uint32_t CYCLE_PAUSE_MS = 1000;

// The send request: written by the F5 dialog under the link lock while request_ready is 0;
// read by the sending thread after it sees request_ready 1.
extern char request_name[plat::FILE_NAME_MAX + 1];
extern std::atomic<uint8_t> request_ready;
// Toggled by F11.
extern std::atomic<uint8_t> random_mode;
// Set by sender_wake; the sending thread waits on it while it has nothing to do.
extern plat::Event* sender_event;

void sender_init();
// Tells the sending thread that there is work: a send request (F5), a scheme task activated
// (F6), random mode (F11). Call it after the flag is set.
void sender_wake();
// Sends a file paced with random pauses: chunk mode (one buffer write per 100 bytes) or byte
// mode (one byte write per byte). 0 when the whole file went out, -1 otherwise.
int send_file(const char* name, uint8_t max_delay, uint8_t chunk_mode) EXCLUDES(link_lock);
// n random printable characters (32..126), each followed by a pause of 1..1000/n ms.
int send_random(uint32_t n) EXCLUDES(link_lock);
// The scheme tasks' countdown step, tasks 0 to 9 in order; a task that reaches 0 sends its file
// in byte mode and reloads its countdown from its interval.
void send_scheme_step() EXCLUDES(link_lock);
// One pass of the thread's loop. With no send request, no active scheme task and random mode
// off it first waits for sender_wake; otherwise it runs as always.
void sending_pass() EXCLUDES(link_lock);
void sending_thread();
