// Port names to Windows device names.
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

TEST(SerialName, TwoDigitPortsGoThroughTheDeviceNamespace)
{
    EXPECT_EQ(path_of("COM3"), "COM3");
    EXPECT_EQ(path_of("com12"), "\\\\.\\com12");
    EXPECT_EQ(path_of("COM1x"), "COM1x");
    EXPECT_EQ(path_of("COM0"), "COM0");
}

}  // namespace
