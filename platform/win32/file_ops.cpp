// platform/win32/file_ops.cpp: CreateFileA with the access, sharing and disposition of each
// FileOpen; read, write (all bytes), size and close; names the device gives are opened as disk
// files only, never on another machine or through a device path, and below the served root
// when one is set. Sharing is the system's own, so two openers in this process or in another
// one are refused as the access modes say (error 32). A handle goes out as an int: kernel
// handles are 32-bit values on 64-bit Windows too.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/files.h"

namespace plat
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

// The served root as the system resolves it (GetFinalPathNameByHandleA: "\\?\" first, links
// followed), without a '\' at its end; and the root held open, without delete sharing, so that
// it is not renamed or replaced while the program runs.
constexpr DWORD FINAL_MAX = 1024;
char serve_final[FINAL_MAX];
HANDLE serve_root_handle = INVALID_HANDLE_VALUE;

// Every open of a name the device gave: a pipe it leads to learns who we are, nothing more.
constexpr DWORD DEVICE_NAME_FLAGS = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

bool is_sep(char c)
{
    return c == '\\' || c == '/';
}

// Two separators first: "\\server\share", "\\?\", "\\.\" and their "//" and mixed forms. Such a
// name reaches another machine (with the user's credentials), a pipe or a device, not a file.
bool two_seps(const char* path)
{
    return is_sep(path[0]) && is_sep(path[1]);
}

// A directory opened to look at, not to read: links are not followed where the system can
// help it.
HANDLE open_dir(const char* path, DWORD share)
{
    return CreateFileA(path, FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | DEVICE_NAME_FLAGS, nullptr);
}

// True when what h is open on, as the system resolves it, lies in the served root (or, with
// root_too, is the root itself).
bool final_in_root(HANDLE h, bool root_too)
{
    char final[FINAL_MAX];
    const DWORD n = GetFinalPathNameByHandleA(h, final, FINAL_MAX, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= FINAL_MAX) {
        return false;
    }
    const size_t root_len = std::strlen(serve_final);
    if (_strnicmp(final, serve_final, root_len) != 0) {
        return false;
    }
    return final[root_len] == '\\' || (root_too && final[root_len] == '\0');
}

int open_with(const char* name, FileOpen how, DWORD flags)
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
    case FO_APPEND_PLAIN:
        // Append data only: every write goes to the end of the file.
        access = FILE_APPEND_DATA;
        share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        disposition = OPEN_ALWAYS;
        break;
    }
    // A directory cannot be opened this way: it fails with error 5.
    HANDLE h = CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
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

// The directory that holds full, a path below the served root, is in the root as the system
// resolves it; *dir is then that directory held open (without delete sharing, so that it
// stays where it is until the file is open), or INVALID_HANDLE_VALUE for the root itself.
// Returns 0, or -ERROR_PATH_NOT_FOUND as for a directory on the way that is not there.
int hold_parent_in_root(const char* full, HANDLE* dir)
{
    *dir = INVALID_HANDLE_VALUE;
    const size_t root_len = std::strlen(serve_root);
    const char* last = std::strrchr(full, '\\');
    const size_t n = static_cast<size_t>(last - full);
    if (n + 1 <= root_len) {
        return 0;  // the root's own file: the root is held open already
    }
    char parent[MAX_PATH];
    std::memcpy(parent, full, n);
    parent[n] = '\0';
    // A device's name (COM1, NUL) as a directory on the way is turned into the device's own
    // path: not opened, since the open alone acts on a device.
    char again[MAX_PATH];
    const DWORD m = GetFullPathNameA(parent, MAX_PATH, again, nullptr);
    if (m == 0 || m >= MAX_PATH || std::strcmp(again, parent) != 0) {
        return -static_cast<int>(ERROR_PATH_NOT_FOUND);
    }
    const HANDLE h = open_dir(parent, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (h == INVALID_HANDLE_VALUE) {
        const int err = last_error();
        return err == -static_cast<int>(ERROR_FILE_NOT_FOUND)
                   ? -static_cast<int>(ERROR_PATH_NOT_FOUND)
                   : err;
    }
    if (!final_in_root(h, true)) {
        CloseHandle(h);
        return -static_cast<int>(ERROR_PATH_NOT_FOUND);  // a link on the way leads out
    }
    *dir = h;
    return 0;
}

}  // namespace

int file_open(const char* name, FileOpen how)
{
    return open_with(name, how, FILE_ATTRIBUTE_NORMAL);
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
    const HANDLE h = open_dir(full, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    char final[FINAL_MAX];
    const DWORD f = GetFinalPathNameByHandleA(h, final, FINAL_MAX, FILE_NAME_NORMALIZED);
    if (f == 0 || f >= FINAL_MAX) {
        const int err = f == 0 ? last_error() : -static_cast<int>(ERROR_FILENAME_EXCED_RANGE);
        CloseHandle(h);
        return err;
    }
    if (final[f - 1] == '\\') {
        final[f - 1] = '\0';  // a drive's root
    }
    if (serve_root_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(serve_root_handle);
    }
    serve_root_handle = h;
    std::memcpy(serve_final, final, sizeof serve_final);
    std::memcpy(serve_root, full, sizeof serve_root);
    return 0;
}

// With a root, names are confined to it in three steps: the name as text (GetFullPathNameA)
// must lie below it; the directory that holds the file, opened and resolved by the system
// (GetFinalPathNameByHandleA), must lie in it, so that a junction or link on the way that leads
// out is refused before anything is created or emptied there; and the file as opened, resolved
// the same way, must lie in it too, which also catches a link put in place meanwhile. Links are
// compared by where they lead rather than looked for component by component with
// FILE_FLAG_OPEN_REPARSE_POINT: Wine follows a link in such an open and shows no reparse point
// on its handle, while the final path is right under Wine and on Windows alike.
int file_serve_open(const char* name, FileOpen how)
{
    // Refused before the name is looked at by the system at all: even a look at a UNC name
    // connects to that server.
    if (two_seps(name)) {
        return -static_cast<int>(ERROR_ACCESS_DENIED);
    }
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
    const size_t root_len = std::strlen(serve_root);
    // A device path ("\\.\", "\\?\"), or without a root another machine's name: refused alike.
    // Below a root the user gave on another machine, its files are the root's own.
    if (two_seps(full) && (root_len == 0 || full[2] == '.' || full[2] == '?')) {
        return -static_cast<int>(ERROR_ACCESS_DENIED);
    }
    const bool relative = name[0] != '\\' && name[0] != '/' && (name[0] == '\0' || name[1] != ':');
    if (root_len > 0 && (!relative || _strnicmp(full, serve_root, root_len) != 0)) {
        return -static_cast<int>(ERROR_FILE_NOT_FOUND);
    }
    HANDLE parent = INVALID_HANDLE_VALUE;
    if (root_len > 0) {
        const int r = hold_parent_in_root(full, &parent);
        if (r < 0) {
            return r;
        }
    }
    // Looked at before the open: a directory is refused, and with a root a link (a reparse
    // point, a link to a directory too) is not followed, since it may lead out of the root.
    int refused = 0;
    const DWORD a = GetFileAttributesA(full);
    if (a != INVALID_FILE_ATTRIBUTES) {
        if ((a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && root_len > 0) {
            refused = -static_cast<int>(ERROR_FILE_NOT_FOUND);
        } else if (how == FO_RW_NEW) {
            refused = -static_cast<int>(ERROR_FILE_EXISTS);
        } else if ((a & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            refused = -static_cast<int>(ERROR_ACCESS_DENIED);
        }
    }
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | DEVICE_NAME_FLAGS |
                        (root_len > 0 ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    int fd = refused != 0 ? refused : open_with(full, how, flags);
    if (fd >= 0 && GetFileType(handle_of(fd)) != FILE_TYPE_DISK) {
        CloseHandle(handle_of(fd));  // a pipe or a device after all
        fd = -static_cast<int>(ERROR_ACCESS_DENIED);
    }
    if (fd >= 0 && root_len > 0) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(handle_of(fd), &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            !final_in_root(handle_of(fd), false)) {
            CloseHandle(handle_of(fd));  // a link after all
            fd = -static_cast<int>(ERROR_FILE_NOT_FOUND);
        }
    }
    if (parent != INVALID_HANDLE_VALUE) {
        CloseHandle(parent);
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

}  // namespace plat
