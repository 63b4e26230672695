// platform/fake/fake.h: the scripted backend that unit tests link instead of platform/posix.
// Port: bytes the test queues are what the device sent; every write is recorded as one record.
// Console: output is collected as text; key events are queued by the test.
// Clock: set by the test; sleep_ms advances it and is recorded.
// Files: real files (tests run in a temporary directory) with the sharing and the served root
// kept by the fake, and failures injected on demand.
// Threads: thread_start records the body and runs nothing. Events: a flag each.
// process_exit throws FakeExit, so that a test can watch a shutdown.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/threads.h"

namespace plat
{

struct FakeExit {
    int code;
};

// Resets every fake to its start: no port open, nothing queued or recorded, clock 0,
// local time 2000-01-01 00:00:00.000, no injected failures, no served root (files left open
// stay open).
void fake_reset();

// Port.
void fake_port_feed(const void* bytes, size_t n);
void fake_port_feed(const std::string& bytes);
size_t fake_port_queued();
std::string fake_port_written();              // every byte written, in order
std::vector<std::string> fake_port_writes();  // one entry per write call (a byte write is one)
void fake_port_clear_written();
int fake_port_purges();                        // serial_purge calls so far
bool fake_port_open();                         // serial_open succeeded and no close since
bool fake_port_lines_up();                     // DTR/RTS raised (set_state) and not dropped
std::string fake_port_line_changes();          // 'U' for each raise of DTR/RTS, 'D' for each drop
void fake_port_fail(const char* op, int err);  // the next call of op ("open", "get_state",
                                               // "set_state", "wait", "read", "queued",
                                               // "write": every write call, keys' too)
                                               // fails with -err
void fake_port_set_kind(int is_directory, int is_regular_file);

// Console.
std::string fake_console_output();  // all text printed, written and put
void fake_console_clear_output();
int fake_console_clears();  // console_clear calls
void fake_keys_push(const KeyEvent& ev);

// Clock.
void fake_clock_set(uint32_t ms);
void fake_clock_advance(uint32_t ms);
void fake_local_time_set(int hour, int minute, int second, int millisecond);  // keeps the date
void fake_local_date_set(int year, int month, int day);                       // keeps the time
std::vector<uint32_t> fake_sleeps();                     // every sleep_ms argument, in order
void fake_on_sleep(std::function<void(uint32_t)> hook);  // runs after each sleep (may be empty)

// Files: the next call of op ("open", "read", "write", "close", "size") fails with -err.
void fake_file_fail(const char* op, int err);
// Every open fails with -EACCES until turned off (fuzz targets: no input reaches the disk).
void fake_files_refuse(bool on);

// Threads and events.
int fake_threads_started();
bool fake_event_is_set(Event* e);
// Event waits that found the event not set (a real thread would have blocked there).
int fake_blocking_waits();
bool fake_lock_held();  // the link lock is taken

}  // namespace plat
