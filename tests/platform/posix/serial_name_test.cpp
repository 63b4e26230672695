// Port names to device paths.
#include <gtest/gtest.h>

#include <string>

#include "platform/serial.h"

namespace
{

std::string path_of(const char* name)
{
    char path[plat::SERIAL_PATH_MAX];
    plat::serial_path(name, path);
    return path;
}

TEST(SerialName, ComNamesPathsAndDeviceNames)
{
    EXPECT_EQ(path_of("COM1"), "/dev/ttyS0");
    EXPECT_EQ(path_of("com12"), "/dev/ttyS11");
    EXPECT_EQ(path_of("COM0"), "/dev/COM0");  // there is no port 0
    EXPECT_EQ(path_of("COM1x"), "/dev/COM1x");
    EXPECT_EQ(path_of("COM"), "/dev/COM");
    EXPECT_EQ(path_of("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(path_of("pts/7"), "/dev/pts/7");
    EXPECT_EQ(path_of("./port"), "./port");
    EXPECT_EQ(path_of("/dev/ttyACM0"), "/dev/ttyACM0");
}

}  // namespace
