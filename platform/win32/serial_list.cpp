// platform/win32/serial_list.cpp: the COM ports present, by the names the system has defined
// for them (QueryDosDeviceA), COM1 first.
#include "platform/serial_list.h"

#include <windows.h>

#include <cstdio>

namespace plat
{

constexpr int COM_PORTS_MAX = 256;  // COM1..COM256
constexpr DWORD TARGET_MAX = 512;   // bytes of a device's target name

int serial_list(void (*show)(const char* path, const char* target))
{
    int shown = 0;
    for (int n = 1; n <= COM_PORTS_MAX; ++n) {
        char name[16];
        char target[TARGET_MAX];
        std::snprintf(name, sizeof name, "COM%d", n);
        if (QueryDosDeviceA(name, target, TARGET_MAX) != 0) {
            show(name, target);
            ++shown;
        }
    }
    return shown;
}

}  // namespace plat
