// platform/posix/serial_name.cpp: port names to Linux device paths (no OS contact; the fake
// backend uses it too). COMn (n >= 1, any case) is /dev/ttyS(n-1), a name starting with '/' or
// '.' is a path, any other name is looked up under /dev/ (ttyUSB0, pts/7). A pseudo-terminal
// slave named directly (/dev/pts/N) is not opened again once lost: its number goes to the next
// terminal that asks for one.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/serial.h"

namespace plat
{

void serial_path(const char* name, char* path)
{
    // The n-th serial port is /dev/ttyS(n-1); a network port's name is its own.
    // A path starts with '/' or '.', which no COMn name does.
    if (serial_is_net_name(name) != 0 || name[0] == '/' || name[0] == '.') {
        std::snprintf(path, SERIAL_PATH_MAX, "%s", name);
    } else if (serial_is_com_name(name)) {
        std::snprintf(path, SERIAL_PATH_MAX, "/dev/ttyS%ld",
                      std::strtol(name + 3, nullptr, 10) - 1);
    } else {
        std::snprintf(path, SERIAL_PATH_MAX, "/dev/%s", name);
    }
}

int serial_reopenable(const char* name)
{
    char path[SERIAL_PATH_MAX];
    serial_path(name, path);
    static const char PTS[] = "/dev/pts/";
    return std::strncmp(path, PTS, sizeof PTS - 1) == 0 ? 0 : 1;
}

}  // namespace plat
