// platform/win32/file_ops.cpp: CreateFileA with the access, sharing and disposition of each
// FileOpen; read, write (all bytes), size and close. Sharing is the system's own, so two openers
// in this process or in another one are refused as the access modes say (error 32). A handle
// goes out as an int: kernel handles are 32-bit values on 64-bit Windows too.
#include <windows.h>

#include "platform/native_files.h"

namespace plat::native
{

namespace
{

int last_error()
{
    DWORD e = GetLastError();
    return e == 0 ? -static_cast<int>(ERROR_GEN_FAILURE) : -static_cast<int>(e);
}

HANDLE handle_of(int fd)
{
    return LongToHandle(fd);
}

}  // namespace

int file_open(const char* name, FileOpen how)
{
    DWORD access = 0;
    DWORD share = 0;
    DWORD disposition = 0;
    switch (how) {
    case FO_READ_SHARED:
        access = GENERIC_READ;
        share = FILE_SHARE_READ;
        disposition = OPEN_EXISTING;
        break;
    case FO_RW_NEW:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = CREATE_NEW;
        break;
    case FO_RW_EXISTING:
        access = GENERIC_READ | GENERIC_WRITE;
        disposition = OPEN_EXISTING;
        break;
    case FO_WRITE_EXCLUSIVE:
        // A file another opener holds is refused before anything is truncated.
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    case FO_WRITE_PLAIN:
        access = GENERIC_WRITE;
        share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    }
    // A directory cannot be opened this way: it fails with error 5.
    HANDLE h =
        CreateFileA(name, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    const long fd = HandleToLong(h);
    if (fd < 0) {
        CloseHandle(h);  // not representable as a handle of ours
        return -static_cast<int>(ERROR_TOO_MANY_OPEN_FILES);
    }
    return static_cast<int>(fd);
}

int file_read(int fd, void* buf, uint32_t n)
{
    DWORD got = 0;
    if (!ReadFile(handle_of(fd), buf, n, &got, nullptr)) {
        return last_error();
    }
    return static_cast<int>(got);
}

int file_write(int fd, const void* buf, uint32_t n)
{
    const auto* p = static_cast<const uint8_t*>(buf);
    uint32_t done = 0;
    while (done < n) {
        DWORD put = 0;
        if (!WriteFile(handle_of(fd), p + done, n - done, &put, nullptr)) {
            return last_error();
        }
        if (put == 0) {
            return -static_cast<int>(ERROR_WRITE_FAULT);
        }
        done += put;
    }
    return static_cast<int>(n);
}

int64_t file_size(int fd)
{
    DWORD high = 0;
    DWORD low = GetFileSize(handle_of(fd), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        return last_error();
    }
    return (static_cast<int64_t>(high) << 32) | low;
}

int file_close(int fd)
{
    return CloseHandle(handle_of(fd)) ? 0 : last_error();
}

}  // namespace plat::native
