// platform/serial_list.h: the serial ports present on the machine, for the port list and for
// the message about a port that does not exist.
#pragma once

namespace plat
{

// Calls show once for each serial port present, in the backend's order: path is the port's name
// as the program takes it, target what the name leads to where the system tells (else empty).
// Returns how many were shown.
int serial_list(void (*show)(const char* path, const char* target));

}  // namespace plat
