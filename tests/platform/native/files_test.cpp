// The backend's file calls on real files, as the file service relies on them: the statuses of
// the opens that fail, the sharing between openers, and what reads and writes leave behind. The
// unit tests of the modules meet the fake backend's files instead.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"

namespace plat
{
#ifdef _WIN32
namespace win32
#else
namespace posix
#endif
{
void file_serve_unconfined();
}
}  // namespace plat

namespace
{

namespace fs = std::filesystem;

class NativeFiles : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::random_device rd;
        for (int tries = 0; dir_.empty() && tries < 100; ++tries) {
            const fs::path p = fs::temp_directory_path() / ("kivet-native-" + std::to_string(rd()));
            if (fs::create_directory(p)) {
                dir_ = p;
            }
        }
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override
    {
        for (const int fd : open_) {
            (void)plat::file_close(fd);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string path(const std::string& name) const
    {
        return (dir_ / name).string();
    }
    void write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    std::string contents(const std::string& name) const
    {
        std::ifstream f(path(name), std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    // 0 when name opens as how (it is kept open to the end), else the status of the failure.
    uint32_t open_status(const std::string& name, plat::FileOpen how)
    {
        const std::string p = path(name);
        const int fd = plat::file_serve_open(p.c_str(), how);
        if (fd < 0) {
            return plat::file_status(fd, p.c_str());
        }
        open_.push_back(fd);
        return 0;
    }

    fs::path dir_;
    std::vector<int> open_;
};

TEST_F(NativeFiles, FailedOpensGiveTheStatusesOfTheDevice)
{
    write("f", "0123456789");
    ASSERT_TRUE(fs::create_directory(dir_ / "sub"));
    EXPECT_EQ(open_status("none", plat::FO_READ_SHARED), 2u);
    EXPECT_EQ(open_status("none", plat::FO_RW_EXISTING), 2u);
    EXPECT_EQ(open_status("nodir/f", plat::FO_READ_SHARED), 3u);
    EXPECT_EQ(open_status("nodir/f", plat::FO_RW_NEW), 3u);
    EXPECT_EQ(open_status("f/x", plat::FO_READ_SHARED), 3u);
    EXPECT_EQ(open_status("sub", plat::FO_READ_SHARED), 5u);
    EXPECT_EQ(open_status("f", plat::FO_RW_NEW), 80u);
    EXPECT_EQ(contents("f"), "0123456789");
}

// Names that lead out of a served root, as the file service hands them on (the device's '\'
// made '/'): nothing out there is opened, and both systems answer the device alike.
TEST_F(NativeFiles, NamesOutOfTheRootGiveTheSameStatusOnBothSystems)
{
    ASSERT_TRUE(fs::create_directory(dir_ / "srv"));
    write("out.txt", "outside");
    ASSERT_EQ(plat::file_serve_root(path("srv").c_str()), 0);
    const std::pair<std::string, uint32_t> cases[] = {
        {path("out.txt"), 3u}, {"/etc/x", 3u}, {"C:\\x", 3u},    {"../out.txt", 3u},
        {"\\x", 2u},           {"..", 2u},     {"/new.txt", 2u}, {".", 5u},
    };
    for (const auto& [given, status] : cases) {
        std::string name = given;
        plat::device_name_to_path(name.data());
        const int fd = plat::file_serve_open(name.c_str(), plat::FO_READ_SHARED);
        EXPECT_EQ(fd < 0 ? plat::file_status(fd, name.c_str()) : 0u, status) << given;
        if (fd >= 0) {
            (void)plat::file_close(fd);
        }
    }
#ifdef _WIN32
    plat::win32::file_serve_unconfined();
#else
    plat::posix::file_serve_unconfined();
#endif
}

TEST_F(NativeFiles, ReadersShareAndWritersHoldTheFileAlone)
{
    EXPECT_EQ(open_status("w", plat::FO_RW_NEW), 0u);
    EXPECT_EQ(open_status("w", plat::FO_READ_SHARED), 32u);
    EXPECT_EQ(open_status("w", plat::FO_RW_EXISTING), 32u);

    write("r", "kept");
    EXPECT_EQ(open_status("r", plat::FO_READ_SHARED), 0u);
    EXPECT_EQ(open_status("r", plat::FO_READ_SHARED), 0u);
    EXPECT_EQ(open_status("r", plat::FO_RW_EXISTING), 32u);
    EXPECT_EQ(open_status("r", plat::FO_WRITE_EXCLUSIVE), 32u);
    EXPECT_EQ(contents("r"), "kept") << "emptied under its readers";
}

TEST_F(NativeFiles, UpdateOverwritesFromTheStartAndKeepsTheRest)
{
    write("f", "0123456789");
    const int fd = plat::file_serve_open(path("f").c_str(), plat::FO_RW_EXISTING);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::file_size(fd), 10);
    EXPECT_EQ(plat::file_write(fd, "ab", 2), 2);
    char buf[16];
    EXPECT_EQ(plat::file_read(fd, buf, sizeof buf), 8);
    EXPECT_EQ(std::string(buf, 8), "23456789");
    EXPECT_EQ(plat::file_read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(plat::file_close(fd), 0);
    EXPECT_EQ(contents("f"), "ab23456789");

    const int w = plat::file_serve_open(path("f").c_str(), plat::FO_WRITE_EXCLUSIVE);
    ASSERT_GE(w, 0);
    EXPECT_EQ(plat::file_size(w), 0);
    EXPECT_EQ(plat::file_close(w), 0);
}

#ifndef _WIN32
TEST_F(NativeFiles, WriteTheDiskRefusesIsItsErrorNotACount)
{
    // /dev/full takes no byte: a full disk, without filling one.
    const int fd = plat::file_open("/dev/full", plat::FO_WRITE_PLAIN);
    ASSERT_GE(fd, 0);
    open_.push_back(fd);
    const int r = plat::file_write(fd, "data", 4);
    ASSERT_LT(r, 0);
    EXPECT_EQ(plat::file_status(r, nullptr), 112u);  // disk full
}
#endif

}  // namespace
