// fileservice/filecmd.h: the host file service commands (open, close, read, write, command 5):
// their argument collectors, the files they hold open for the device and the wire status
// numbers of failures.
#pragma once

#include <cstdint>

#include "platform/threads.h"
#include "platform/wire_status.h"

// Command codes after CMD_INTRO.
constexpr uint8_t FS_OPEN = 0x00;
constexpr uint8_t FS_CLOSE = 0x01;
constexpr uint8_t FS_READ = 0x03;
constexpr uint8_t FS_WRITE = 0x04;
constexpr uint8_t FS_CMD5 = 0x05;

constexpr uint16_t FS_BAD_HANDLE = 0xFFFF;  // open reply for a failed open
constexpr uint32_t FS_READ_MAX = 256;       // bytes one read replies at most
constexpr uint32_t FS_WRITE_MAX = 250;      // bytes of one write buffer

// Files the device may hold open at once; handles are 1..FS_FILES_MAX, every 16-bit value but
// 0 and 0xFFFF, so that the service sets no limit of its own: the process's limit on open
// files is met first, and answered with status 4.
constexpr uint32_t FS_FILES_MAX = 0xFFFE;

// Files the device holds open through the service.
extern uint32_t open_file_count GUARDED_BY(link_lock);

// Sends a 16-bit number low byte first in one write: every number the service replies, the
// status word included.
void reply_u16(uint32_t v);

void filecmd_init() REQUIRES(link_lock);
// The device is gone: a device that comes back has rebooted and knows none of its handles.
// Closes every file it held open, says how many on the console, and ends a command under way.
void filecmd_link_lost() REQUIRES(link_lock);

// A collector's result while its command wants more argument bytes; any other result is the
// command's status word, for the status reply that ends it.
constexpr uint32_t FS_MORE = 0xFFFFFFFF;

// Argument collectors: each takes byte b at position step (0 at the command's first argument
// byte) of its command and, on the last one, performs the command, sends its reply bytes and
// returns the status word.
uint32_t open_collect(uint32_t step, uint8_t b) REQUIRES(link_lock);
uint32_t close_collect(uint32_t step, uint8_t b) REQUIRES(link_lock);
uint32_t read_collect(uint32_t step, uint8_t b) REQUIRES(link_lock);
uint32_t write_collect(uint32_t step, uint8_t b) REQUIRES(link_lock);
uint32_t cmd5_collect(uint32_t step, uint8_t b) REQUIRES(link_lock);
