// platform/fake/fake_files.cpp: real files (tests run in a temporary directory) with one-shot
// failures that a test injects with fake_file_fail().
#include "platform/fake/fake.h"
#include "platform/files.h"
#include "platform/native_files.h"

namespace plat
{

int fake_take_file_failure(const char* op);

int file_open(const char* name, FileOpen how)
{
    int err = fake_take_file_failure("open");
    return err != 0 ? err : native::file_open(name, how);
}

int file_serve_root(const char* dir)
{
    return native::file_serve_root(dir);
}

int file_serve_open(const char* name, FileOpen how)
{
    int err = fake_take_file_failure("open");
    return err != 0 ? err : native::file_serve_open(name, how);
}

int file_read(int fd, void* buf, uint32_t n)
{
    int err = fake_take_file_failure("read");
    return err != 0 ? err : native::file_read(fd, buf, n);
}

int file_write(int fd, const void* buf, uint32_t n)
{
    int err = fake_take_file_failure("write");
    return err != 0 ? err : native::file_write(fd, buf, n);
}

int64_t file_size(int fd)
{
    int err = fake_take_file_failure("size");
    return err != 0 ? err : native::file_size(fd);
}

int file_close(int fd)
{
    int err = fake_take_file_failure("close");
    if (err != 0) {
        native::file_close(fd);  // the file is closed all the same; only the result is failed
        return err;
    }
    return native::file_close(fd);
}

}  // namespace plat
