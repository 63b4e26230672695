// platform/native_files.cpp: the file service of the OS backends, handed to their native calls
// (platform/posix/file_ops.cpp or platform/win32/file_ops.cpp); the fake backend has its own.
#include "platform/files.h"

#include "platform/native_files.h"

namespace plat
{

int file_open(const char* name, FileOpen how)
{
    return native::file_open(name, how);
}

int file_serve_root(const char* dir)
{
    return native::file_serve_root(dir);
}

int file_serve_open(const char* name, FileOpen how)
{
    return native::file_serve_open(name, how);
}

int file_read(int fd, void* buf, uint32_t n)
{
    return native::file_read(fd, buf, n);
}

int file_write(int fd, const void* buf, uint32_t n)
{
    return native::file_write(fd, buf, n);
}

int64_t file_size(int fd)
{
    return native::file_size(fd);
}

int file_close(int fd)
{
    return native::file_close(fd);
}

}  // namespace plat
