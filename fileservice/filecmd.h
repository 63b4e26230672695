// fileservice/filecmd.h: the host file service commands (open, close, read, write, command 5):
// their argument collectors, the files they hold open for the device and the wire status
// numbers of failures.
#pragma once

#include <cstdint>

#include "platform/threads.h"

// Command codes after CMD_INTRO.
constexpr uint8_t FS_OPEN = 0x00;
constexpr uint8_t FS_CLOSE = 0x01;
constexpr uint8_t FS_READ = 0x03;
constexpr uint8_t FS_WRITE = 0x04;
constexpr uint8_t FS_CMD5 = 0x05;

constexpr uint16_t FS_BAD_HANDLE = 0xFFFF;  // open reply for a failed open
constexpr uint32_t FS_NAME_MAX = 255;       // name bytes
constexpr uint32_t FS_READ_MAX = 256;       // bytes one read replies at most
constexpr uint32_t FS_WRITE_MAX = 250;      // bytes of one write buffer

// Wire status numbers (the error numbers of the platform the devices were written for).
constexpr uint32_t ST_OK = 0;
constexpr uint32_t ST_FILE_NOT_FOUND = 2;
constexpr uint32_t ST_PATH_NOT_FOUND = 3;
constexpr uint32_t ST_TOO_MANY_OPEN = 4;
constexpr uint32_t ST_ACCESS_DENIED = 5;
constexpr uint32_t ST_INVALID_HANDLE = 6;
constexpr uint32_t ST_SHARING_VIOLATION = 32;
constexpr uint32_t ST_FILE_EXISTS = 80;
constexpr uint32_t ST_INVALID_PARAMETER = 87;
constexpr uint32_t ST_DISK_FULL = 112;
constexpr uint32_t ST_NAME_TOO_LONG = 206;
constexpr uint32_t ST_GENERAL_FAILURE = 31;  // any failure the table does not name

// Files the device may hold open at once; handles are 1..FS_FILES_MAX.
constexpr uint32_t FS_FILES_MAX = 64;

// Files the device holds open through the service.
extern uint32_t open_file_count GUARDED_BY(link_lock);

// Wire status for a failure given as -errno or errno.
uint32_t status_from_errno(int err);

// A device's file name made into a path: '\' becomes '/'; nothing else changes.
void device_name_to_path(char* name);

void filecmd_init() REQUIRES(link_lock);
// Argument collectors: each takes the next byte of its command (arg_step counts them) and,
// on the last one, performs the command and sends its reply and the status reply.
void open_collect(uint8_t b) REQUIRES(link_lock);
void close_collect(uint8_t b) REQUIRES(link_lock);
void read_collect(uint8_t b) REQUIRES(link_lock);
void write_collect(uint8_t b) REQUIRES(link_lock);
void cmd5_collect(uint8_t b) REQUIRES(link_lock);
