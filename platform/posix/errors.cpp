// platform/posix/errors.cpp: errno as the console and the device see it: strerror_r() for
// the text, and one table from errno to the status numbers of the device's first platform.
#include "platform/errors.h"

#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "platform/wire_status.h"

namespace plat
{

const int FAIL_NO_FILE = ENOENT;
const int FAIL_NO_PATH = ENOTDIR;
const int FAIL_DENIED = EACCES;
const int FAIL_IN_USE = EWOULDBLOCK;
const int FAIL_EXISTS = EEXIST;
const int FAIL_BAD_HANDLE = EBADF;
const int FAIL_PORT_BUSY = EBUSY;
const int FAIL_TIMED_OUT = ETIMEDOUT;

namespace
{

constexpr size_t DIR_MAX = 4096;  // a longer directory part is taken to exist

struct ErrnoStatus {
    int err;
    uint32_t status;
};
// clang-format off
constexpr ErrnoStatus ERRNO_STATUS[] = {
    {ENOENT, ST_FILE_NOT_FOUND},  // ST_PATH_NOT_FOUND when a directory on the way is missing
    {ENOTDIR, ST_PATH_NOT_FOUND},
    {EMFILE, ST_TOO_MANY_OPEN},
    {ENFILE, ST_TOO_MANY_OPEN},
    {EACCES, ST_ACCESS_DENIED},
    {EPERM, ST_ACCESS_DENIED},
    {EISDIR, ST_ACCESS_DENIED},
    {EROFS, ST_ACCESS_DENIED},
    {EBADF, ST_INVALID_HANDLE},
    {EWOULDBLOCK, ST_SHARING_VIOLATION},  // a lock held by another opener
    {EAGAIN, ST_SHARING_VIOLATION},
    {EBUSY, ST_SHARING_VIOLATION},
    {EEXIST, ST_FILE_EXISTS},
    {EINVAL, ST_INVALID_PARAMETER},
    {ENOSPC, ST_DISK_FULL},
    {EDQUOT, ST_DISK_FULL},
    {EFBIG, ST_DISK_FULL},  // the file-size limit: no more room for this file
    {ENAMETOOLONG, ST_NAME_TOO_LONG},
};
// clang-format on

// True when the directory part of path does not exist. ENOENT alone does not say whether the
// file or a directory on its way is missing; the device tells them apart. A path without '/'
// lies in the current (or served) directory, which exists.
bool dir_missing(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || slash == path) {
        return false;
    }
    char dir[DIR_MAX];
    const size_t n = static_cast<size_t>(slash - path);
    if (n >= sizeof dir) {
        return false;
    }
    std::memcpy(dir, path, n);
    dir[n] = '\0';
    // Looked up as the device's names are, below the served root; a directory fails as one.
    const int fd = file_serve_open(dir, FO_READ_SHARED);
    if (fd >= 0) {
        (void)file_close(fd);
        return false;
    }
    return fd == -ENOENT || fd == -ENOTDIR;
}

}  // namespace

// The text of a number the C library does not know ("Unknown error 1234") is made in a buffer;
// strerror's own is one for the process, and error texts are made on several threads.
thread_local char error_buf[64];

const char* error_text(int err)
{
    return strerror_r(err, error_buf, sizeof error_buf);  // GNU's: a constant text, or error_buf
}

uint32_t file_status(int err, const char* name)
{
    const long long e = err < 0 ? -static_cast<long long>(err) : err;
    if (e == ENOENT && name != nullptr && dir_missing(name)) {
        return ST_PATH_NOT_FOUND;
    }
    for (const ErrnoStatus& m : ERRNO_STATUS) {
        if (m.err == e) {
            return m.status;
        }
    }
    // Every failure must reach the device as nonzero, 0 included (no call fails with 0).
    return ST_GENERAL_FAILURE;
}

OpenFailure open_failure(int err)
{
    const int e = err < 0 ? -err : err;
    if (e == EBUSY || e == EWOULDBLOCK) {
        return OPEN_FAILED_BUSY;  // TIOCEXCL or another opener's lock
    }
    if (e == EACCES || e == EPERM) {
        return OPEN_FAILED_DENIED;
    }
    return e == ENOENT ? OPEN_FAILED_MISSING : OPEN_FAILED_OTHER;
}

}  // namespace plat
