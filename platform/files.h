// platform/files.h: files on the PC, by small integer handles.
// Every procedure returns 0 or a count on success and -err otherwise, err being
// the OS's number of the failure taken at the failing call (platform/errors.h).
#pragma once

#include <cstdint>

namespace plat
{

// How a file is opened. Sharing holds against other processes too (the system's locks or
// sharing); an open refused for sharing fails with the status 32 on the wire.
enum FileOpen : uint8_t {
    FO_READ_SHARED = 1,      // read; must exist; others may read (shared lock)
    FO_RW_NEW = 2,           // read+write; created, fails (status 80) if it exists; exclusive
    FO_RW_EXISTING = 3,      // read+write; must exist; not truncated; exclusive
    FO_WRITE_EXCLUSIVE = 4,  // write; created or truncated; exclusive (a file received)
    FO_WRITE_PLAIN = 5,      // write; created or truncated; no lock (log and capture: "wb")
    FO_APPEND_PLAIN = 6,     // write at the end; created or kept; no lock (the log with /APPEND)
};

// The longest file name the program takes (a device's request or command, a prompt), in bytes
// without its terminating zero: every name buffer holds FILE_NAME_MAX + 1.
constexpr uint32_t FILE_NAME_MAX = 255;

// Opens name as given (relative to the current directory). Returns a handle >= 0 or -err.
// A directory opened for reading fails (status 5).
int file_open(const char* name, FileOpen how);
// Confines the names of file_serve_open to the directory dir (once, at start-up, before any
// thread). Returns 0 or -err when dir is no directory that can be opened.
int file_serve_root(const char* dir);
// Opens a name the device gave, as file_open does, but only a regular file: a directory, FIFO,
// device or socket fails as access denied (status 5), and the open never waits. Where the
// system has names that reach another machine or go through a device path, such a name fails
// as access denied too, root or not, before anything is opened. With a root set the name is
// taken relative to it, and an absolute name, ".." that climbs out of it or a link that leads
// out of it fails as a missing file does (status 2; 3 for a link on the way).
int file_serve_open(const char* name, FileOpen how);
// A device's file name made into a path, in place: '\' separates folders on the device's side
// too, and becomes '/'; nothing else changes.
inline void device_name_to_path(char* name)
{
    for (; *name != '\0'; ++name) {
        if (*name == '\\') {
            *name = '/';
        }
    }
}
// Reads up to n bytes at the current position; 0 at end of file. An interrupted read is retried.
int file_read(int fd, void* buf, uint32_t n);
// Writes all n bytes (short writes are continued); returns n or -err.
int file_write(int fd, const void* buf, uint32_t n);
// Size of the open file in bytes, or -err.
int64_t file_size(int fd);
int file_close(int fd);

}  // namespace plat
