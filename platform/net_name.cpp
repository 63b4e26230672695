// platform/net_name.cpp: the names of network ports, and their notes, for both backends (no OS
// contact).
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/serial.h"
#include "platform/telnet.h"

namespace plat
{

namespace
{

constexpr char RFC2217[] = "rfc2217://";
constexpr char TCP[] = "tcp://";

// name starts with prefix (lower case, n bytes), in any case.
bool starts(const char* name, const char* prefix, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const char c = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] + 32) : name[i];
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

int serial_is_net_name(const char* name)
{
    return starts(name, RFC2217, sizeof RFC2217 - 1) || starts(name, TCP, sizeof TCP - 1) ? 1 : 0;
}

bool serial_net_name(const char* name, NetName* out)
{
    const char* p = nullptr;
    if (starts(name, RFC2217, sizeof RFC2217 - 1)) {
        p = name + sizeof RFC2217 - 1;
        out->telnet = true;
    } else if (starts(name, TCP, sizeof TCP - 1)) {
        p = name + sizeof TCP - 1;
        out->telnet = false;
    } else {
        return false;
    }
    const char* host = p;
    const char* host_end = nullptr;
    const char* colon = nullptr;
    if (*p == '[') {
        host = p + 1;
        host_end = std::strchr(host, ']');
        if (host_end == nullptr || host_end[1] != ':') {
            return false;
        }
        colon = host_end + 1;
    } else {
        colon = std::strrchr(p, ':');
        if (colon == nullptr || std::memchr(p, ':', static_cast<size_t>(colon - p)) != nullptr) {
            return false;  // an IPv6 address goes in brackets
        }
        host_end = colon;
    }
    const size_t host_n = static_cast<size_t>(host_end - host);
    const char* port = colon + 1;
    const size_t port_n = std::strlen(port);
    if (host_n == 0 || host_n >= sizeof out->host || port_n == 0 || port_n > 5) {
        return false;
    }
    long number = 0;
    for (const char* q = port; *q != '\0'; ++q) {
        if (*q < '0' || *q > '9') {
            return false;
        }
        number = number * 10 + (*q - '0');
    }
    if (number < 1 || number > 65535) {
        return false;
    }
    std::memcpy(out->host, host, host_n);
    out->host[host_n] = '\0';
    std::snprintf(out->port, sizeof out->port, "%ld", number);
    return true;
}

namespace
{
std::atomic<bool (*)()> open_give_up{nullptr};
}

void serial_open_give_up(bool (*give_up)())
{
    open_give_up = give_up;
}

bool net_connect_give_up()
{
    bool (*f)() = open_give_up.load();
    return f != nullptr && f();
}

int net_busy_match(const uint8_t* b, uint32_t n)
{
    const uint32_t busy_n = sizeof NET_BUSY_TEXT - 1;
    const uint32_t k = n < busy_n ? n : busy_n;
    if (std::memcmp(b, NET_BUSY_TEXT, k) != 0) {
        return 0;
    }
    return n >= busy_n ? 2 : 1;
}

bool serial_take_note(char* text, uint32_t size, bool* console)
{
    return telnet_take_note(text, size, console);
}

}  // namespace plat
