// platform/win32/serial_name.cpp: port names to Windows device names (no OS contact; the fake
// backend uses it too). COM1..COM9 are opened by their names; a longer COMn only through the
// device namespace, \\.\COMn. Any other name is opened as given.
#include <cstdio>

#include "platform/serial.h"

namespace plat
{

void serial_path(const char* name, char* path)
{
    if (serial_is_com_name(name) && name[4] != '\0') {
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
