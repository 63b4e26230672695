// platform/win32/file_ops.cpp: CreateFileA with the access, sharing and disposition of each
// FileOpen; read, write (all bytes), size and close; names the device gives are opened as disk
// files only, and below the served root when one is set. Sharing is the system's own, so two
// openers in this process or in another one are refused as the access modes say (error 32). A
// handle goes out as an int: kernel handles are 32-bit values on 64-bit Windows too.
#include <windows.h>

#include <cstdio>
#include <cstring>

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

char serve_root[MAX_PATH];  // full path of the directory device names are confined to, with a
                            // '\' at its end; empty for none

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

int file_serve_root(const char* dir)
{
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(dir, MAX_PATH - 1, full, nullptr);
    if (n == 0) {
        return last_error();
    }
    if (n >= MAX_PATH - 1) {
        return -static_cast<int>(ERROR_FILENAME_EXCED_RANGE);
    }
    const DWORD a = GetFileAttributesA(full);
    if (a == INVALID_FILE_ATTRIBUTES) {
        return last_error();
    }
    if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return -static_cast<int>(ERROR_DIRECTORY);
    }
    const size_t len = std::strlen(full);
    if (full[len - 1] != '\\') {
        full[len] = '\\';
        full[len + 1] = '\0';
    }
    std::memcpy(serve_root, full, sizeof serve_root);
    return 0;
}

int file_serve_open(const char* name, FileOpen how)
{
    char path[MAX_PATH];
    if (std::snprintf(path, sizeof path, "%s%s", serve_root, name) >=
        static_cast<int>(sizeof path)) {
        return -static_cast<int>(ERROR_FILENAME_EXCED_RANGE);
    }
    // The name as the system will resolve it: ".." taken out, a device name (COM1, NUL, CON)
    // turned into the device's. Neither a device nor anything outside the root is a file of
    // the device's to open; an absolute name is outside the root too.
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path, MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) {
        return -static_cast<int>(ERROR_FILE_NOT_FOUND);
    }
    if (std::strncmp(full, "\\\\.\\", 4) == 0) {
        return -static_cast<int>(ERROR_ACCESS_DENIED);
    }
    const size_t root_len = std::strlen(serve_root);
    const bool relative = name[0] != '\\' && name[0] != '/' && (name[0] == '\0' || name[1] != ':');
    if (root_len > 0 && (!relative || _strnicmp(full, serve_root, root_len) != 0)) {
        return -static_cast<int>(ERROR_FILE_NOT_FOUND);
    }
    // Looked at before the open: a directory is refused, and with a root a link (a reparse
    // point) is not followed, since it may lead out of the root.
    const DWORD a = GetFileAttributesA(full);
    if (a != INVALID_FILE_ATTRIBUTES) {
        if (how == FO_RW_NEW) {
            return -static_cast<int>(ERROR_FILE_EXISTS);
        }
        if ((a & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return -static_cast<int>(ERROR_ACCESS_DENIED);
        }
        if ((a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && root_len > 0) {
            return -static_cast<int>(ERROR_FILE_NOT_FOUND);
        }
    }
    const int fd = native::file_open(full, how);
    if (fd >= 0 && GetFileType(handle_of(fd)) != FILE_TYPE_DISK) {
        CloseHandle(handle_of(fd));  // a pipe or a device after all
        return -static_cast<int>(ERROR_ACCESS_DENIED);
    }
    return fd;
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
