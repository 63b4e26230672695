// The serial ports present, listed from a made-up /dev and sysfs tree.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/serial_list_dirs.h"

namespace
{

namespace fs = std::filesystem;

std::vector<std::string> shown;

void record(const char* path, const char* target)
{
    shown.push_back(*target != '\0' ? std::string(path) + " -> " + target : std::string(path));
}

void touch(const fs::path& p, const std::string& text = "")
{
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

TEST(SerialList, ByIdLinksThenUsbAcmAndTheUartsInNumberOrder)
{
    const fs::path root = fs::temp_directory_path() / ("serial_list." + std::to_string(getpid()));
    fs::remove_all(root);
    const fs::path dev = root / "dev";
    const fs::path sys = root / "sys";
    for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyUSB1", "ttyACM0", "ttyS1", "ttyS0", "tty0",
                             "ttyUSB", "null"}) {
        touch(dev / name);
    }
    fs::create_directories(dev / "serial" / "by-id");
    fs::create_symlink("../../ttyUSB1", dev / "serial" / "by-id" / "usb-Maker_Board_42-if00-port0");
    touch(sys / "ttyS0" / "type", "4\n");  // a 16550A
    touch(sys / "ttyS1" / "type", "0\n");  // no UART behind it

    shown.clear();
    EXPECT_EQ(plat::posix::serial_list_dirs(dev.c_str(), sys.c_str(), record), 6);
    const std::vector<std::string> want = {
        (dev / "serial/by-id/usb-Maker_Board_42-if00-port0").string() + " -> " +
            (dev / "ttyUSB1").string(),
        (dev / "ttyUSB1").string(),
        (dev / "ttyUSB2").string(),
        (dev / "ttyUSB10").string(),
        (dev / "ttyACM0").string(),
        (dev / "ttyS0").string(),
    };
    EXPECT_EQ(shown, want);

    shown.clear();
    EXPECT_EQ(plat::posix::serial_list_dirs((root / "none").c_str(), sys.c_str(), record), 0);
    EXPECT_TRUE(shown.empty());
    fs::remove_all(root);
}

}  // namespace
