// platform/posix/serial_name.cpp: port names to Linux device paths (no OS contact; the fake
// backend uses it too).
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/serial.h"

namespace plat
{

void serial_path(const char* name, char* path)
{
    // COMn, n >= 1 in any case, is the n-th serial port: /dev/ttyS(n-1).
    bool com = (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
               (name[2] == 'M' || name[2] == 'm') && name[3] >= '1' && name[3] <= '9';
    for (const char* p = name + 3; com && *p != '\0'; ++p) {
        com = std::isdigit(static_cast<unsigned char>(*p)) != 0;
    }
    if (com) {
        std::snprintf(path, SERIAL_PATH_MAX, "/dev/ttyS%ld",
                      std::strtol(name + 3, nullptr, 10) - 1);
    } else if (name[0] == '/' || name[0] == '.') {
        std::snprintf(path, SERIAL_PATH_MAX, "%s", name);
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
