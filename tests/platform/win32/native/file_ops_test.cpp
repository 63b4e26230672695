// The file service's opens on Windows: names that lead to another machine, a pipe or a device
// path, and links in the served root that lead out of it.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/files.h"

namespace
{

namespace fs = std::filesystem;

// A fresh directory under the system's temporary one, removed at the end (a served root in it,
// which is held open, moved to the temporary directory first).
struct TempBase {
    TempBase()
    {
        std::random_device rd;
        for (int tries = 0; path.empty() && tries < 100; ++tries) {
            const fs::path p = fs::temp_directory_path() / ("kivet-files-" + std::to_string(rd()));
            if (fs::create_directory(p)) {
                path = p.string();
            }
        }
    }
    ~TempBase()
    {
        (void)plat::file_serve_root(fs::temp_directory_path().string().c_str());
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

// The mount-point (junction) form of the system's reparse data.
struct MountPointData {
    DWORD tag;
    WORD data_length;
    WORD reserved;
    WORD target_offset;
    WORD target_length;
    WORD print_offset;
    WORD print_length;
    WCHAR names[MAX_PATH * 2];
};

bool is_reparse_point(const std::string& path)
{
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A link from link to the directory target, removed again at the end: a junction where the
// system makes one. Wine makes none (FSCTL_SET_REPARSE_POINT fails with error 50) but shows a
// Unix symbolic link as a reparse point; there the link is one of those, made and removed by
// the Unix ln and rm, which Wine starts as it starts a Windows program but without a process
// to wait for: the link is looked for until it is there, or gone.
class DirLink
{
  public:
    DirLink(const std::string& link, const std::string& target) : link_(link)
    {
        made_ = make_junction(target) || run_unix("/bin/ln", "-s", {target, link_}, true);
    }
    ~DirLink()
    {
        if (made_ && !RemoveDirectoryA(link_.c_str())) {
            (void)run_unix("/bin/rm", "-f", {link_}, false);
        }
    }
    bool made() const
    {
        return made_;
    }

  private:
    bool make_junction(const std::string& target)
    {
        if (!CreateDirectoryA(link_.c_str(), nullptr)) {
            return false;
        }
        const HANDLE h =
            CreateFileA(link_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        MountPointData d = {};
        const int n = std::swprintf(d.names, MAX_PATH, L"\\??\\%hs", target.c_str());
        const WORD bytes = static_cast<WORD>(n * sizeof(WCHAR));
        d.tag = IO_REPARSE_TAG_MOUNT_POINT;
        d.target_length = bytes;
        d.print_offset = static_cast<WORD>(bytes + sizeof(WCHAR));  // an empty print name
        d.data_length = static_cast<WORD>(8 + bytes + 2 * sizeof(WCHAR));
        DWORD got = 0;
        const BOOL ok = h != INVALID_HANDLE_VALUE &&
                        DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &d, 8 + d.data_length, nullptr,
                                        0, &got, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
        if (!ok) {
            RemoveDirectoryA(link_.c_str());
        }
        return ok != 0;
    }

    // Runs the Unix program with opt and the Unix names of paths; true once link_ is a
    // reparse point (shown) or is gone (!shown).
    bool run_unix(const char* program, const char* opt, const std::vector<std::string>& paths,
                  bool shown)
    {
        using ToUnix = char*(CDECL*)(LPCWSTR);
        using ToDos = WCHAR*(CDECL*)(LPCSTR);
        const HMODULE k32 = GetModuleHandleA("kernel32.dll");
        const auto to_unix = reinterpret_cast<ToUnix>(
            reinterpret_cast<void*>(GetProcAddress(k32, "wine_get_unix_file_name")));
        const auto to_dos = reinterpret_cast<ToDos>(
            reinterpret_cast<void*>(GetProcAddress(k32, "wine_get_dos_file_name")));
        if (to_unix == nullptr || to_dos == nullptr) {
            return false;  // not Wine
        }
        std::wstring cmd = L"x " + std::wstring(opt, opt + std::strlen(opt));
        for (const std::string& p : paths) {
            const std::wstring w(p.begin(), p.end());
            char* u = to_unix(w.c_str());
            if (u == nullptr) {
                return false;
            }
            cmd += L" \"" + std::wstring(u, u + std::strlen(u)) + L"\"";
            HeapFree(GetProcessHeap(), 0, u);
        }
        WCHAR* exe = to_dos(program);
        if (exe == nullptr) {
            return false;
        }
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        const BOOL ok =
            CreateProcessW(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        HeapFree(GetProcessHeap(), 0, exe);
        for (int i = 0; ok && i < 500 && is_reparse_point(link_) != shown; ++i) {
            Sleep(10);
        }
        return is_reparse_point(link_) == shown;
    }

    std::string link_;
    bool made_ = false;
};

// True when a client has connected to pipe since the last call; it then waits for the next.
bool was_connected(HANDLE pipe, OVERLAPPED* ov)
{
    DWORD n = 0;
    if (!GetOverlappedResult(pipe, ov, &n, FALSE)) {
        return false;
    }
    DisconnectNamedPipe(pipe);
    ResetEvent(ov->hEvent);
    ConnectNamedPipe(pipe, ov);
    return true;
}

// Refused before anything is opened: no pipe client, no look at another machine. The part
// without a root comes first, before anything in this process has set one (ctest starts each
// test in a process of its own).
TEST(ServeOpen, DevicePathsAndOtherMachinesAreRefusedWithAndWithoutRoot)
{
    const std::string pipe_name = "kivet-serve-" + std::to_string(GetCurrentProcessId());
    const HANDLE pipe = CreateNamedPipeA(("\\\\.\\pipe\\" + pipe_name).c_str(),
                                         PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, 0,
                                         PIPE_UNLIMITED_INSTANCES, 512, 512, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(ConnectNamedPipe(pipe, &ov));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));

    // As the device's names arrive (its '\' made '/'), and as the interface may be given them.
    const std::string names[] = {
        "//?/pipe/" + pipe_name,     "//./pipe/" + pipe_name,  "\\\\?\\pipe\\" + pipe_name,
        "\\\\.\\pipe\\" + pipe_name, "//?/UNC/server/share/x", "//server/share/x",
        "\\\\server\\share\\x",      "/\\server/share\\x",     "\\/server\\share/x",
    };
    TempBase root;
    ASSERT_FALSE(root.path.empty());
    for (const bool with_root : {false, true}) {
        if (with_root) {
            ASSERT_EQ(plat::file_serve_root(root.path.c_str()), 0);
        }
        for (const std::string& name : names) {
            EXPECT_EQ(plat::file_serve_open(name.c_str(), plat::FO_READ_SHARED),
                      -static_cast<int>(ERROR_ACCESS_DENIED))
                << name << (with_root ? " with a root" : " without a root");
            EXPECT_FALSE(was_connected(pipe, &ov)) << name << " reached the pipe";
        }
    }
    CloseHandle(ov.hEvent);
    CloseHandle(pipe);
}

TEST(ServeOpen, JunctionInTheRootLeadingOutIsAMissingPath)
{
    TempBase base;
    ASSERT_FALSE(base.path.empty());
    const std::string root = base.path + "\\root";
    const std::string out = base.path + "\\outside";
    ASSERT_TRUE(fs::create_directory(root));
    ASSERT_TRUE(fs::create_directory(out));
    ASSERT_TRUE(fs::create_directory(root + "\\sub"));
    std::ofstream(out + "\\secret.txt") << "secret";
    std::ofstream(root + "\\sub\\in.txt") << "inside";
    const DirLink link(root + "\\j", out);
    if (!link.made()) {
        GTEST_SKIP() << "neither a junction nor a link could be made here";
    }
    ASSERT_EQ(plat::file_serve_root(root.c_str()), 0);

    const int in = plat::file_serve_open("sub/in.txt", plat::FO_READ_SHARED);
    EXPECT_GE(in, 0);
    (void)plat::file_close(in);
    const int missing_path = -static_cast<int>(ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(plat::file_serve_open("j/secret.txt", plat::FO_READ_SHARED), missing_path);
    EXPECT_EQ(plat::file_serve_open("j/secret.txt", plat::FO_WRITE_EXCLUSIVE), missing_path);
    EXPECT_EQ(plat::file_serve_open("j/new.txt", plat::FO_RW_NEW), missing_path);
    EXPECT_EQ(fs::file_size(out + "\\secret.txt"), 6u) << "emptied through the link";
    EXPECT_FALSE(fs::exists(out + "\\new.txt")) << "made through the link";
    EXPECT_EQ(plat::file_serve_open("j", plat::FO_READ_SHARED),
              -static_cast<int>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
