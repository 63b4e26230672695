// platform/native_files.h: the file calls of the OS the program is built for, shared by its
// backend and the fake one (unit tests use real files in a temporary directory, with failures
// injected on top). platform/posix/file_ops.cpp and platform/win32/file_ops.cpp define them.
#pragma once

#include <cstdint>

#include "platform/files.h"

namespace plat::native
{

int file_open(const char* name, FileOpen how);
int file_serve_root(const char* dir);
int file_serve_open(const char* name, FileOpen how);
int file_read(int fd, void* buf, uint32_t n);
int file_write(int fd, const void* buf, uint32_t n);
int64_t file_size(int fd);
int file_close(int fd);

}  // namespace plat::native
