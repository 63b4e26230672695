// platform/fake/fake_files.cpp: the file calls of the fake backend. Real files (the tests run in
// a temporary directory) through the C library; the checks an open makes first, the sharing and
// the served root are kept here, the same on every OS; one-shot failures that a test injects
// with fake_file_fail() come before all of it. Failures are given in the OS's numbers
// (platform/errors.h), so that the statuses and texts they make are the backend's.
//
// Sharing is kept by name as the Linux backend locks: readers share, the other opens for
// writing are exclusive, and a log or capture file (FO_WRITE_PLAIN) takes no part. With a root
// set, a name the device gives is taken below it and a name that leads out of it, as text, is a
// missing file; links are not looked at (the backends' own tests meet them).
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/fake/fake.h"
#include "platform/files.h"

namespace plat
{

int fake_take_file_failure(const char* op);

namespace
{

namespace fs = std::filesystem;

enum class Hold : uint8_t { NONE, SHARED, EXCLUSIVE };

struct OpenFile {
    std::FILE* f = nullptr;  // nullptr: a free handle
    std::string path;        // absolute, for the sharing and the size
    Hold hold = Hold::NONE;
};

// Open files and the served root outlive fake_reset(): a module of the test before may still
// hold a file, and closes it in the next test's set-up.
std::vector<OpenFile>& open_files()
{
    static std::vector<OpenFile> files;
    return files;
}

fs::path& served_root()
{
    static fs::path root;  // absolute; empty for none
    return root;
}

OpenFile* file_of(int fd)
{
    std::vector<OpenFile>& files = open_files();
    if (fd < 0 || static_cast<size_t>(fd) >= files.size() || files[fd].f == nullptr) {
        return nullptr;
    }
    return &files[fd];
}

// A failure of the C library that the checks of an open did not foresee, in the OS's numbers
// where it has one of its own (on Linux errno is the OS's number already).
int c_library_failure()
{
    const int e = errno;
    const std::pair<int, int> known[] = {
        {ENOENT, FAIL_NO_FILE}, {ENOTDIR, FAIL_NO_PATH},  {EACCES, FAIL_DENIED},
        {EEXIST, FAIL_EXISTS},  {EBADF, FAIL_BAD_HANDLE},
    };
    for (const auto& [c, os] : known) {
        if (e == c) {
            return -os;
        }
    }
    return e != 0 ? -e : -FAIL_DENIED;
}

// 0 when an open that holds the file as hold may join those who hold it now, else the
// failure.
int share(const std::string& path, Hold hold)
{
    if (hold == Hold::NONE) {
        return 0;
    }
    for (const OpenFile& o : open_files()) {
        if (o.f != nullptr && o.path == path && o.hold != Hold::NONE &&
            (hold == Hold::EXCLUSIVE || o.hold == Hold::EXCLUSIVE)) {
            return -FAIL_IN_USE;
        }
    }
    return 0;
}

int open_path(const fs::path& name, FileOpen how, bool served)
{
    std::error_code ec;
    const fs::path path = fs::absolute(name, ec).lexically_normal();
    if (ec) {
        return -FAIL_NO_FILE;
    }
    const fs::file_status st = fs::status(path, ec);
    if (fs::exists(st)) {
        if (how == FO_RW_NEW) {
            return -FAIL_EXISTS;
        }
        if (fs::is_directory(st) || (served && !fs::is_regular_file(st))) {
            return -FAIL_DENIED;
        }
    } else {
        if (!fs::is_directory(path.parent_path(), ec)) {
            return -FAIL_NO_PATH;
        }
        if (how == FO_READ_SHARED || how == FO_RW_EXISTING) {
            return -FAIL_NO_FILE;
        }
    }
    const char* mode = "rb";
    Hold hold = Hold::EXCLUSIVE;
    switch (how) {
    case FO_READ_SHARED:
        hold = Hold::SHARED;
        break;
    case FO_RW_NEW:
        mode = "w+b";
        break;
    case FO_RW_EXISTING:
        mode = "r+b";
        break;
    case FO_WRITE_EXCLUSIVE:
        mode = "wb";  // emptied only once the sharing allows it
        break;
    case FO_WRITE_PLAIN:
        mode = "wb";
        hold = Hold::NONE;
        break;
    case FO_APPEND_PLAIN:
        mode = "ab";
        hold = Hold::NONE;
        break;
    }
    if (const int err = share(path.string(), hold); err != 0) {
        return err;
    }
    std::FILE* f = std::fopen(path.string().c_str(), mode);
    if (f == nullptr) {
        return c_library_failure();
    }
    // Unbuffered, as the system's calls are: what is written is in the file at once.
    (void)std::setvbuf(f, nullptr, _IONBF, 0);
    std::vector<OpenFile>& files = open_files();
    size_t fd = 0;
    while (fd < files.size() && files[fd].f != nullptr) {
        ++fd;
    }
    if (fd == files.size()) {
        files.emplace_back();
    }
    files[fd] = OpenFile{f, path.string(), hold};
    return static_cast<int>(fd);
}

}  // namespace

// Called by fake_reset().
void fake_files_reset()
{
    served_root().clear();
}

int file_open(const char* name, FileOpen how)
{
    const int err = fake_take_file_failure("open");
    return err != 0 ? err : open_path(name, how, false);
}

int file_serve_root(const char* dir)
{
    std::error_code ec;
    const fs::path root = fs::absolute(dir, ec).lexically_normal();
    if (ec || !fs::exists(root, ec)) {
        return -FAIL_NO_FILE;
    }
    if (!fs::is_directory(root, ec)) {
        return -FAIL_NO_PATH;
    }
    served_root() = root;
    return 0;
}

int file_serve_open(const char* name, FileOpen how)
{
    const int err = fake_take_file_failure("open");
    if (err != 0) {
        return err;
    }
    const fs::path& root = served_root();
    if (root.empty()) {
        return open_path(name, how, true);
    }
    const fs::path given(name);
    if (given.has_root_path()) {
        return -FAIL_NO_FILE;  // absolute: outside the root
    }
    const fs::path path = (root / given).lexically_normal();
    const fs::path inside = path.lexically_relative(root);
    if (inside.empty() || *inside.begin() == "..") {
        return -FAIL_NO_FILE;
    }
    return open_path(path, how, true);
}

int file_read(int fd, void* buf, uint32_t n)
{
    const int err = fake_take_file_failure("read");
    if (err != 0) {
        return err;
    }
    OpenFile* o = file_of(fd);
    if (o == nullptr) {
        return -FAIL_BAD_HANDLE;
    }
    (void)std::fseek(o->f, 0, SEEK_CUR);  // a read may follow a write
    errno = 0;
    const size_t got = std::fread(buf, 1, n, o->f);
    if (got < n && std::ferror(o->f) != 0) {
        const int failure = c_library_failure();
        std::clearerr(o->f);
        return failure;
    }
    std::clearerr(o->f);  // the end of the file now: more may be written to it later
    return static_cast<int>(got);
}

int file_write(int fd, const void* buf, uint32_t n)
{
    const int err = fake_take_file_failure("write");
    if (err != 0) {
        return err;
    }
    OpenFile* o = file_of(fd);
    if (o == nullptr) {
        return -FAIL_BAD_HANDLE;
    }
    (void)std::fseek(o->f, 0, SEEK_CUR);  // a write may follow a read
    errno = 0;
    if (std::fwrite(buf, 1, n, o->f) != n) {
        const int failure = c_library_failure();
        std::clearerr(o->f);
        return failure;
    }
    return static_cast<int>(n);
}

int64_t file_size(int fd)
{
    const int err = fake_take_file_failure("size");
    if (err != 0) {
        return err;
    }
    const OpenFile* o = file_of(fd);
    if (o == nullptr) {
        return -FAIL_BAD_HANDLE;
    }
    std::error_code ec;
    const uintmax_t size = fs::file_size(o->path, ec);
    return ec ? -FAIL_NO_FILE : static_cast<int64_t>(size);
}

int file_close(int fd)
{
    // An injected failure fails only the result: the file is closed all the same.
    const int err = fake_take_file_failure("close");
    OpenFile* o = file_of(fd);
    if (o == nullptr) {
        return err != 0 ? err : -FAIL_BAD_HANDLE;
    }
    const int r = std::fclose(o->f) == 0 ? 0 : c_library_failure();
    *o = OpenFile{};
    return err != 0 ? err : r;
}

}  // namespace plat
