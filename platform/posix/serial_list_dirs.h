// platform/posix/serial_list_dirs.h: the Linux port listing over the directories it reads, so
// that a test can hand in a made-up tree; serial_list is this over /dev and /sys/class/tty.
#pragma once

namespace plat::posix
{

// Calls show once for each serial port present, in this order: the names under
// dev_dir/serial/by-id/ (stable names of USB ports) with the device each leads to as target,
// then dev_dir/ttyUSB*, dev_dir/ttyACM*, and the dev_dir/ttyS* whose sys_dir/<name>/type is
// not 0 (a UART is behind them); target is empty for those. Numbers in a name sort as numbers
// (ttyUSB2 before ttyUSB10). Returns how many were shown.
int serial_list_dirs(const char* dev_dir, const char* sys_dir,
                     void (*show)(const char* path, const char* target));

}  // namespace plat::posix
