// platform/win32/serial_name.cpp: port names to Windows device names (no OS contact; the fake
// backend uses it too). COM1..COM9 are opened by their names; a longer COMn only through the
// device namespace, \\.\COMn. Any other name is opened as given.
#include <cctype>
#include <cstdio>

#include "platform/serial.h"

namespace plat
{

void serial_path(const char* name, char* path)
{
    bool com = (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
               (name[2] == 'M' || name[2] == 'm') && name[3] >= '1' && name[3] <= '9';
    for (const char* p = name + 3; com && *p != '\0'; ++p) {
        com = std::isdigit(static_cast<unsigned char>(*p)) != 0;
    }
    if (com && name[4] != '\0') {
        std::snprintf(path, SERIAL_PATH_MAX, "\\\\.\\%s", name);
    } else {
        std::snprintf(path, SERIAL_PATH_MAX, "%s", name);
    }
}

int serial_reopenable(const char* name)
{
    (void)name;  // a COM port that was lost (an adapter pulled out) may come back by its name
    return 1;
}

}  // namespace plat
