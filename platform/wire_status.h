// platform/wire_status.h: the status numbers of the host file service on the wire (the error
// numbers of the system the devices were written for). The file service replies them; each
// backend's file_status (platform/errors.h) maps the OS's failures onto them.
#pragma once

#include <cstdint>

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
constexpr uint32_t ST_GENERAL_FAILURE = 31;  // any failure without a number of its own
