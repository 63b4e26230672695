// The served root on Linux, both ways the backend keeps a name below it: openat2 with
// RESOLVE_BENEATH and, as on a kernel without it, component by component. Both must answer
// the device alike: what leads out of the root is a missing file or path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"

namespace plat::posix
{
void file_serve_by_steps(bool on);
void file_serve_unconfined();
}  // namespace plat::posix

namespace
{

namespace fs = std::filesystem;

// The status of opening name below the root as how; 0 when it opens (and is closed again).
uint32_t served(const std::string& name, plat::FileOpen how)
{
    const int fd = plat::file_serve_open(name.c_str(), how);
    if (fd < 0) {
        return plat::file_status(fd, name.c_str());
    }
    (void)plat::file_close(fd);
    return 0;
}

std::string contents(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

TEST(ServedRoot, NamesLeadingOutAreMissingWithAndWithoutOpenat2)
{
    std::random_device rd;
    const fs::path top = fs::temp_directory_path() / ("kivet-root-" + std::to_string(rd()));
    ASSERT_TRUE(fs::create_directory(top));
    const fs::path srv = top / "srv";
    ASSERT_TRUE(fs::create_directory(srv));
    std::ofstream(srv / "in.txt") << "inside";
    std::ofstream(top / "out.txt") << "outside";
    fs::create_symlink("../out.txt", srv / "link.txt");
    fs::create_directory_symlink("..", srv / "up");
    ASSERT_EQ(plat::file_serve_root(srv.c_str()), 0);

    for (const bool by_steps : {false, true}) {
        SCOPED_TRACE(by_steps ? "component by component" : "openat2");
        plat::posix::file_serve_by_steps(by_steps);
        const int fd = plat::file_serve_open("in.txt", plat::FO_READ_SHARED);
        ASSERT_GE(fd, 0);
        char buf[16];
        EXPECT_EQ(plat::file_read(fd, buf, sizeof buf), 6);
        EXPECT_EQ(std::string(buf, 6), "inside");
        (void)plat::file_close(fd);
        EXPECT_EQ(served((top / "out.txt").string(), plat::FO_READ_SHARED), 3u);
        EXPECT_EQ(served("../out.txt", plat::FO_READ_SHARED), 3u);
        EXPECT_EQ(served("link.txt", plat::FO_READ_SHARED), 2u);
        EXPECT_EQ(served("link.txt", plat::FO_WRITE_EXCLUSIVE), 2u);
        EXPECT_EQ(served("up/out.txt", plat::FO_READ_SHARED), 3u);
        EXPECT_EQ(served("../new.txt", plat::FO_RW_NEW), 3u);
        EXPECT_FALSE(fs::exists(top / "new.txt"));
        EXPECT_EQ(served("sub.txt", plat::FO_WRITE_EXCLUSIVE), 0u);
        EXPECT_TRUE(fs::exists(srv / "sub.txt"));
        fs::remove(srv / "sub.txt");
    }
    EXPECT_EQ(contents(top / "out.txt"), "outside");
    plat::posix::file_serve_by_steps(false);
    plat::posix::file_serve_unconfined();
    std::error_code ec;
    fs::remove_all(top, ec);
}
