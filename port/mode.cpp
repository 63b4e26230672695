// port/mode.cpp: the mode flag and the program label that follows it.
#include "port/mode.h"

std::atomic<uint8_t> mode_flag{MODE_PASEL};

const char* program_label()
{
    return mode_flag.load() != MODE_PASEL ? "KIVET32" : "PASEL32";
}
