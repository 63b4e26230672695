// platform/posix/file_ops.cpp: open with the access, sharing and disposition of each FileOpen;
// read, write (all bytes), size and close. Sharing is a non-blocking flock() on the open file:
// readers take it shared, writers exclusive, so that two openers in this process or in another
// one are refused as the access modes say. Names the device gives are opened as regular files
// only, never waiting in the open, and below the served root when one is set.
#include "platform/files.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace plat
{

namespace
{

int serve_root = -1;    // the directory device names are confined to (O_PATH), -1 for none
bool by_steps = false;  // the way without openat2 taken always (the tests of that way)

// open() flags and flock() lock of each way to open.
int open_flags(FileOpen how, int* lock)
{
    *lock = 0;
    switch (how) {
    case FO_READ_SHARED:
        *lock = LOCK_SH;
        return O_RDONLY;
    case FO_RW_NEW:
        *lock = LOCK_EX;
        return O_RDWR | O_CREAT | O_EXCL;
    case FO_RW_EXISTING:
        *lock = LOCK_EX;
        return O_RDWR;
    case FO_WRITE_EXCLUSIVE:
        // Not O_TRUNC here: a file another opener holds must not be emptied under it; it is
        // truncated once the lock is ours.
        *lock = LOCK_EX;
        return O_WRONLY | O_CREAT;
    case FO_WRITE_PLAIN:
        return O_WRONLY | O_CREAT | O_TRUNC;
    case FO_APPEND_PLAIN:
        return O_WRONLY | O_CREAT | O_APPEND;
    }
    return O_RDONLY;
}

// Without openat2(): every directory on the way and the file itself are opened without
// following a symbolic link, and ".." is refused, so that nothing leads out of the root. A link
// is refused as one that leads out, as openat2 refuses one that does: a look with O_PATH opens
// the link itself, so the file so found is checked not to be one.
int open_beneath_by_steps(const char* name, int flags)
{
    char part[4096];
    int dir = serve_root;
    const char* p = name;
    for (;;) {
        const char* slash = std::strchr(p, '/');
        const size_t n = slash != nullptr ? static_cast<size_t>(slash - p) : std::strlen(p);
        if (n >= sizeof part) {
            if (dir != serve_root) {
                ::close(dir);
            }
            return -ENAMETOOLONG;
        }
        std::memcpy(part, p, n);
        part[n] = '\0';
        if (std::strcmp(part, "..") == 0) {
            if (dir != serve_root) {
                ::close(dir);
            }
            return -EXDEV;
        }
        int fd = slash != nullptr
                     ? (n == 0 ? ::dup(dir)
                               : ::openat(dir, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
                     : ::openat(dir, part, flags | O_NOFOLLOW, 0666);
        const int err = errno;
        if (dir != serve_root) {
            ::close(dir);
        }
        if (fd < 0) {
            return err == ELOOP ? -EXDEV : -err;
        }
        if (slash == nullptr) {
            struct stat sb;
            if ((flags & O_PATH) != 0 && fstat(fd, &sb) == 0 && S_ISLNK(sb.st_mode)) {
                ::close(fd);
                return -EXDEV;
            }
            return fd;
        }
        dir = fd;
        p = slash + 1;
    }
}

// Opens name with flags below the root: absolute names, ".." out of it and symbolic links
// that lead out of it fail with -EXDEV.
int open_beneath(const char* name, int flags)
{
    if (name[0] == '/') {
        return -EXDEV;
    }
    if (by_steps) {
        return open_beneath_by_steps(name, flags);
    }
    open_how h = {};
    h.flags = static_cast<uint64_t>(flags);
    h.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
    h.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, serve_root, name, &h, sizeof h);
    if (fd >= 0) {
        return static_cast<int>(fd);
    }
    if (errno == ENOSYS || errno == EPERM) {  // an older kernel, or openat2 filtered out
        return open_beneath_by_steps(name, flags);
    }
    return -errno;
}

// Opens a name the device gave: below the root when there is one.
int open_named(const char* name, int flags)
{
    if (serve_root < 0) {
        const int fd = ::open(name, flags, 0666);
        return fd >= 0 ? fd : -errno;
    }
    const int fd = open_beneath(name, flags);
    return fd == -EXDEV ? -ENOENT : fd;  // outside the root there is nothing to find
}

// Locks an open file as how says and empties one opened for writing; closes it on failure.
int lock_and_truncate(int fd, FileOpen how, int lock, const char* name, bool served)
{
    if (lock != 0 && flock(fd, lock | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        if (how == FO_RW_NEW) {
            // We created it a moment ago; leave nothing behind.
            if (served && serve_root >= 0) {
                ::unlinkat(serve_root, name, 0);
            } else {
                ::unlink(name);
            }
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

// A directory is refused as one; any other file that is not a regular one as access denied.
int refuse_special(const struct stat& sb)
{
    return S_ISDIR(sb.st_mode) ? -EISDIR : -EACCES;
}

}  // namespace

namespace posix
{
// For the tests: names below the root are opened as on a kernel without openat2 (on), and the
// root is let go (the names are the device's as given again).
void file_serve_by_steps(bool on)
{
    by_steps = on;
}
void file_serve_unconfined()
{
    if (serve_root >= 0) {
        ::close(serve_root);
        serve_root = -1;
    }
}
}  // namespace posix

int file_open(const char* name, FileOpen how)
{
    int lock = 0;
    const int flags = open_flags(how, &lock) | O_CLOEXEC;
    // The user may name a FIFO or a device: opened without waiting (for a FIFO's reader, for a
    // line's carrier), then used as any file. A FIFO without a reader fails with ENXIO.
    int fd = ::open(name, flags | O_NONBLOCK, 0666);
    if (fd < 0) {
        return -errno;
    }
    struct stat sb;
    if (fstat(fd, &sb) == 0 && S_ISDIR(sb.st_mode)) {
        ::close(fd);
        return -EISDIR;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return lock_and_truncate(fd, how, lock, name, false);
}

int file_serve_root(const char* dir)
{
    const int fd = ::open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    if (serve_root >= 0) {
        ::close(serve_root);
    }
    serve_root = fd;
    return 0;
}

int file_serve_open(const char* name, FileOpen how)
{
    int lock = 0;
    const int flags = open_flags(how, &lock) | O_CLOEXEC;
    // Looked at first without opening it for use: the open of a device file can act on the
    // device, and that of a FIFO can wait for a writer.
    const int probe = open_named(name, O_PATH | O_CLOEXEC);
    if (probe >= 0) {
        struct stat sb;
        const int r = fstat(probe, &sb) == 0 ? 0 : -errno;
        ::close(probe);
        if (r < 0) {
            return r;
        }
        if ((flags & O_EXCL) != 0) {
            return -EEXIST;  // a new file was asked for: whatever is there is in the way
        }
        if (!S_ISREG(sb.st_mode)) {
            return refuse_special(sb);
        }
    } else if (probe != -ENOENT || (flags & O_CREAT) == 0) {
        return probe;
    }
    // Non-blocking all the same: the name may have changed to a FIFO meanwhile.
    const int fd = open_named(name, flags | O_NONBLOCK);
    if (fd < 0) {
        return fd == -ENXIO ? -EACCES : fd;  // a FIFO opened for writing without a reader
    }
    struct stat sb;
    const int err = fstat(fd, &sb) != 0 ? -errno : S_ISREG(sb.st_mode) ? 0 : refuse_special(sb);
    if (err != 0) {
        ::close(fd);
        return err;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return lock_and_truncate(fd, how, lock, name, true);
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

}  // namespace plat
