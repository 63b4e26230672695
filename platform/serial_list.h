// platform/serial_list.h: the serial ports present on the machine, for the port list and for
// the message about a port that does not exist.
#pragma once

namespace plat
{

// Calls show once for each serial port present, in this order: the names under
// dev_dir/serial/by-id/ (stable names of USB ports) with the device each leads to as target,
// then dev_dir/ttyUSB*, dev_dir/ttyACM*, and the dev_dir/ttyS* whose sys_dir/<name>/type is
// not 0 (a UART is behind them); target is empty for those. Numbers in a name sort as numbers
// (ttyUSB2 before ttyUSB10). Returns how many were shown.
int serial_list(const char* dev_dir, const char* sys_dir,
                void (*show)(const char* path, const char* target));

constexpr const char SERIAL_DEV_DIR[] = "/dev";
constexpr const char SERIAL_SYS_DIR[] = "/sys/class/tty";  // one folder per tty, with its type

}  // namespace plat
