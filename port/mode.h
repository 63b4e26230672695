// port/mode.h: the mode the program runs in, KIVET or PASEL, and the label it goes by in it.
// Every thread reads the mode; only start-up and F4 switch it.
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint8_t MODE_PASEL = 0;
constexpr uint8_t MODE_KIVET = 1;

// 1 in KIVET mode, 0 in PASEL mode.
extern std::atomic<uint8_t> mode_flag;

// "KIVET32" or "PASEL32" by the mode in force now.
const char* program_label();
