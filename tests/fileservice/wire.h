// tests/fileservice/wire.h: building the device's bytes and feeding them to the interpreter.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "fileservice/interpreter.h"

// Bytes from numbers, so that no hex escape runs into the character after it.
inline std::string bytes(std::initializer_list<int> v)
{
    std::string s;
    for (const int b : v) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

inline std::string le16(uint32_t v)
{
    return bytes({static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF)});
}

inline void feed(const std::string& s) REQUIRES(link_lock)
{
    for (const char c : s) {
        interp_byte(static_cast<uint8_t>(c));
    }
}

inline std::string open_cmd(int mode, const std::string& name)
{
    return bytes({0x02, 0x00, mode, static_cast<int>(name.size())}) + name;
}
inline std::string close_cmd(uint32_t h)
{
    return bytes({0x02, 0x01}) + le16(h);
}
inline std::string read_cmd(uint32_t h, uint32_t count)
{
    return bytes({0x02, 0x03}) + le16(h) + le16(count);
}
inline std::string write_cmd(uint32_t h, const std::string& data)
{
    return bytes({0x02, 0x04}) + le16(h) + le16(static_cast<uint32_t>(data.size())) + data;
}
