// platform/posix/file_ops.h: the file calls themselves, shared by the Linux backend and the
// fake one (unit tests use real files in a temporary directory, with failures injected on top).
#pragma once

#include <cstdint>

#include "platform/files.h"

namespace plat::posix
{

int file_open(const char* name, FileOpen how);
int file_serve_root(const char* dir);
int file_serve_open(const char* name, FileOpen how);
int file_read(int fd, void* buf, uint32_t n);
int file_write(int fd, const void* buf, uint32_t n);
int64_t file_size(int fd);
int file_close(int fd);

}  // namespace plat::posix
