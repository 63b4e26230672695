// platform/posix/file_ops.cpp: open with the access, sharing and disposition of each FileOpen;
// read, write (all bytes), size and close. Sharing is a non-blocking flock() on the open file:
// readers take it shared, writers exclusive, so that two openers in this process or in another
// one are refused as the access modes say.
#include "platform/posix/file_ops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plat::posix
{

int file_open(const char* name, FileOpen how)
{
    int flags = O_CLOEXEC;
    int lock = 0;
    switch (how) {
    case FO_READ_SHARED:
        flags |= O_RDONLY;
        lock = LOCK_SH;
        break;
    case FO_RW_NEW:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        lock = LOCK_EX;
        break;
    case FO_RW_EXISTING:
        flags |= O_RDWR;
        lock = LOCK_EX;
        break;
    case FO_WRITE_EXCLUSIVE:
        // Not O_TRUNC here: a file another opener holds must not be emptied under it; it is
        // truncated once the lock is ours.
        flags |= O_WRONLY | O_CREAT;
        lock = LOCK_EX;
        break;
    case FO_WRITE_PLAIN:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        break;
    }
    int fd = ::open(name, flags, 0666);
    if (fd < 0) {
        return -errno;
    }
    struct stat sb;
    if (fstat(fd, &sb) == 0 && S_ISDIR(sb.st_mode)) {
        ::close(fd);
        return -EISDIR;
    }
    if (lock != 0 && flock(fd, lock | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        if (how == FO_RW_NEW) {
            ::unlink(name);  // we created it a moment ago; leave nothing behind
        }
        return -err;
    }
    if (how == FO_WRITE_EXCLUSIVE && ftruncate(fd, 0) != 0) {
        int err = errno;
        ::close(fd);
        return -err;
    }
    return fd;
}

int file_read(int fd, void* buf, uint32_t n)
{
    for (;;) {
        ssize_t r = ::read(fd, buf, n);
        if (r >= 0) {
            return static_cast<int>(r);
        }
        if (errno != EINTR) {
            return -errno;
        }
    }
}

int file_write(int fd, const void* buf, uint32_t n)
{
    const auto* p = static_cast<const uint8_t*>(buf);
    uint32_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -errno;
        }
        done += static_cast<uint32_t>(w);
    }
    return static_cast<int>(n);
}

int64_t file_size(int fd)
{
    struct stat sb;
    if (fstat(fd, &sb) != 0) {
        return -errno;
    }
    return sb.st_size;
}

int file_close(int fd)
{
    return ::close(fd) == 0 ? 0 : -errno;
}

}  // namespace plat::posix
