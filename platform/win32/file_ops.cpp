// platform/win32/file_ops.cpp: CreateFileW with the access, sharing and disposition of each
// FileOpen; read, write (all bytes), size and close; names the device gives are opened as disk
// files only, never on another machine or through a device path, and below the served root
// when one is set. Sharing is the system's own, so two openers in this process or in another
// one are refused as the access modes say (error 32). A handle goes out as an int: kernel
// handles are 32-bit values on 64-bit Windows too. Names go to the system's wide calls, made
// wide as its narrow calls make them; a full path of MAX_PATH characters or more goes in its
// long form ("\\?\C:\...", "\\?\UNC\server\share\..."), which the system takes up to 32767
// characters, so that a long name opens as it does on Linux.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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

// Room for the longest path the system takes, its terminating zero included.
constexpr DWORD WIDE_PATH_MAX = 32768;

std::wstring serve_root;  // full path of the directory device names are confined to, with a '\'
                          // at its end; empty for none

// The served root as the system resolves it (GetFinalPathNameByHandleW: "\\?\" first, links
// followed), without a '\' at its end; and the root held open, without delete sharing, so that
// it is not renamed or replaced while the program runs.
std::wstring serve_final;
HANDLE serve_root_handle = INVALID_HANDLE_VALUE;

// Every open of a name the device gave: a pipe it leads to learns who we are, nothing more.
constexpr DWORD DEVICE_NAME_FLAGS = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

template <typename C> bool is_sep(C c)
{
    return c == '\\' || c == '/';
}

// Two separators first: "\\server\share", "\\?\", "\\.\" and their "//" and mixed forms. Such a
// name reaches another machine (with the user's credentials), a pipe or a device, not a file.
template <typename C> bool two_seps(const C* path)
{
    return is_sep(path[0]) && is_sep(path[1]);
}

// A name as the system's narrow calls take it: in the ANSI code page, or the OEM one where the
// program's file calls were set to it.
std::wstring wide(const char* name)
{
    const UINT cp = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int n = MultiByteToWideChar(cp, 0, name, -1, nullptr, 0);
    if (n <= 0) {
        return std::wstring();
    }
    std::wstring w(static_cast<size_t>(n), L'\0');
    (void)MultiByteToWideChar(cp, 0, name, -1, w.data(), n);
    w.resize(static_cast<size_t>(n) - 1);
    return w;
}

// *full = the full path of name (GetFullPathNameW): from the current directory, '/' made '\',
// "." and ".." taken out, a device name (COM1, NUL) made the device's path. Returns 0 or -err,
// 206 for a path longer than the system takes.
int full_path(const std::wstring& name, std::wstring* full)
{
    full->assign(WIDE_PATH_MAX, L'\0');
    const DWORD n = GetFullPathNameW(name.c_str(), WIDE_PATH_MAX, full->data(), nullptr);
    if (n == 0) {
        return last_error();
    }
    if (n >= WIDE_PATH_MAX) {
        return -static_cast<int>(ERROR_FILENAME_EXCED_RANGE);
    }
    full->resize(n);
    return 0;
}

// A full path as the system's calls are given it: as it is while it is shorter than MAX_PATH,
// else in its long form ("C:\..." as "\\?\C:\...", "\\server\share\..." as
// "\\?\UNC\server\share\..."). The system takes the long form as it stands, so it is made of a
// full path only (GetFullPathNameW's: no "." or "..", only '\'); a device path ("\\.\", "\\?\")
// is already as the system takes it.
std::wstring system_name(const std::wstring& full)
{
    if (full.size() < MAX_PATH) {
        return full;
    }
    if (two_seps(full.c_str())) {
        const bool device =
            full.size() >= 4 && (full[2] == L'?' || full[2] == L'.') && full[3] == L'\\';
        return device ? full : L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

// A directory opened to look at, not to read: links are not followed where the system can
// help it.
HANDLE open_dir(const std::wstring& full, DWORD share)
{
    return CreateFileW(system_name(full).c_str(), FILE_READ_ATTRIBUTES, share, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | DEVICE_NAME_FLAGS, nullptr);
}

// *name = the system's own name of what h is open on, as Wine gives it ("\??\Z:\..."), made
// the form GetFinalPathNameByHandleW gives ("\\?\Z:\..."); false for any other form (Windows
// names the device, "\Device\HarddiskVolume3\...").
bool object_name(HANDLE h, std::wstring* name)
{
    constexpr ULONG bytes = sizeof(OBJECT_NAME_INFORMATION) + WIDE_PATH_MAX * sizeof(WCHAR);
    std::vector<ULONGLONG> buf(bytes / sizeof(ULONGLONG) + 1);  // aligned for the structure
    ULONG got = 0;
    if (NtQueryObject(h, ObjectNameInformation, buf.data(), bytes, &got) < 0) {
        return false;
    }
    const auto* info = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buf.data());
    const std::wstring_view nt(info->Name.Buffer, info->Name.Length / sizeof(WCHAR));
    if (nt.substr(0, 4) != L"\\??\\") {
        return false;
    }
    *name = L"\\\\?\\";
    *name += nt.substr(4);
    return true;
}

// *final = what h is open on, as the system resolves it (GetFinalPathNameByHandleW); false when
// the system cannot say. Wine answers a path of MAX_PATH characters or more with
// ERROR_MORE_DATA whatever the room given; there its own name for the handle, which it makes
// the final path of a shorter one of, is taken instead.
bool final_path(HANDLE h, std::wstring* final)
{
    final->assign(WIDE_PATH_MAX, L'\0');
    const DWORD n =
        GetFinalPathNameByHandleW(h, final->data(), WIDE_PATH_MAX, FILE_NAME_NORMALIZED);
    if (n > 0 && n < WIDE_PATH_MAX) {
        final->resize(n);
        return true;
    }
    return n == 0 && GetLastError() == ERROR_MORE_DATA && object_name(h, final);
}

// True when what h is open on, as the system resolves it, lies in the served root (or, with
// root_too, is the root itself).
bool final_in_root(HANDLE h, bool root_too)
{
    std::wstring final;
    if (!final_path(h, &final)) {
        return false;
    }
    const size_t root_len = serve_final.size();
    if (final.size() < root_len || _wcsnicmp(final.c_str(), serve_final.c_str(), root_len) != 0) {
        return false;
    }
    return final.size() == root_len ? root_too : final[root_len] == L'\\';
}

int open_with(const std::wstring& name, FileOpen how, DWORD flags)
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
    HANDLE h = CreateFileW(name.c_str(), access, share, nullptr, disposition, flags, nullptr);
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
int hold_parent_in_root(const std::wstring& full, HANDLE* dir)
{
    *dir = INVALID_HANDLE_VALUE;
    const size_t n = full.rfind(L'\\');
    if (n == std::wstring::npos || n + 1 <= serve_root.size()) {
        return 0;  // the root's own file: the root is held open already
    }
    const std::wstring parent = full.substr(0, n);
    // A device's name (COM1, NUL) as a directory on the way is turned into the device's own
    // path: not opened, since the open alone acts on a device.
    std::wstring again;
    if (full_path(parent, &again) != 0 || again != parent) {
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

// A name that leads out of the served root opens nothing, and the device hears what Linux tells
// it, where the name is looked up below the root and what is not there is missing: a file (2)
// for a name without a folder part ("x", "..", "/x", "C:x"), a path (3) for one whose folder
// part leads out with it ("/etc/x", "C:/x", "../x").
int outside_root(const char* name)
{
    for (const char* p = name + 1; *p != '\0'; ++p) {
        if (is_sep(*p)) {
            return -static_cast<int>(ERROR_PATH_NOT_FOUND);
        }
    }
    return -static_cast<int>(ERROR_FILE_NOT_FOUND);
}

}  // namespace

namespace win32
{
// For the tests: the root let go (the names are the device's as given again).
void file_serve_unconfined()
{
    if (serve_root_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(serve_root_handle);
        serve_root_handle = INVALID_HANDLE_VALUE;
    }
    serve_root.clear();
    serve_final.clear();
}
}  // namespace win32

// A name that is long only as a full path (a name in a deep current directory) is opened by its
// long form; any other as it is given, so that CON, NUL, CONOUT$ and COM3 keep their meaning.
int file_open(const char* name, FileOpen how)
{
    const std::wstring given = wide(name);
    std::wstring full;
    const bool long_name = full_path(given, &full) == 0 && full.size() >= MAX_PATH;
    return open_with(long_name ? system_name(full) : given, how, FILE_ATTRIBUTE_NORMAL);
}

int file_serve_root(const char* dir)
{
    std::wstring full;
    const int r = full_path(wide(dir), &full);
    if (r < 0) {
        return r;
    }
    const DWORD a = GetFileAttributesW(system_name(full).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        return last_error();
    }
    if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return -static_cast<int>(ERROR_DIRECTORY);
    }
    if (full.back() != L'\\') {
        full += L'\\';
    }
    const HANDLE h = open_dir(full, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    std::wstring final;
    if (!final_path(h, &final)) {
        const int err = last_error();
        CloseHandle(h);
        return err;
    }
    if (final.back() == L'\\') {
        final.pop_back();  // a drive's root
    }
    if (serve_root_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(serve_root_handle);
    }
    serve_root_handle = h;
    serve_final = final;
    serve_root = full;
    return 0;
}

// With a root, names are confined to it in three steps: the name as text (GetFullPathNameW)
// must lie below it; the directory that holds the file, opened and resolved by the system
// (GetFinalPathNameByHandleW), must lie in it, so that a junction or link on the way that leads
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
    // The name as the system will resolve it: ".." taken out, a device name (COM1, NUL, CON)
    // turned into the device's. Neither a device nor anything outside the root is a file of
    // the device's to open; an absolute name is outside the root too.
    std::wstring full;
    const int r = full_path(serve_root + wide(name), &full);
    if (r < 0) {
        return r == -static_cast<int>(ERROR_FILENAME_EXCED_RANGE)
                   ? r
                   : -static_cast<int>(ERROR_FILE_NOT_FOUND);
    }
    const size_t root_len = serve_root.size();
    // A device path ("\\.\", "\\?\"), or without a root another machine's name: refused alike.
    // Below a root the user gave on another machine, its files are the root's own.
    if (two_seps(full.c_str()) && (root_len == 0 || full[2] == L'.' || full[2] == L'?')) {
        return -static_cast<int>(ERROR_ACCESS_DENIED);
    }
    if (root_len > 0) {
        const bool relative = !is_sep(name[0]) && (name[0] == '\0' || name[1] != ':');
        // The root itself, named as "." or "sub/..": a directory, as every other one.
        if (relative && full.size() + 1 == root_len &&
            _wcsnicmp(full.c_str(), serve_root.c_str(), full.size()) == 0) {
            return -static_cast<int>(how == FO_RW_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
        }
        if (!relative || _wcsnicmp(full.c_str(), serve_root.c_str(), root_len) != 0) {
            return outside_root(name);
        }
    }
    HANDLE parent = INVALID_HANDLE_VALUE;
    if (root_len > 0) {
        const int held = hold_parent_in_root(full, &parent);
        if (held < 0) {
            return held;
        }
    }
    // Looked at before the open: a directory is refused, and with a root a link (a reparse
    // point, a link to a directory too) is not followed, since it may lead out of the root.
    const std::wstring sys = system_name(full);
    int refused = 0;
    const DWORD a = GetFileAttributesW(sys.c_str());
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
    int fd = refused != 0 ? refused : open_with(sys, how, flags);
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
