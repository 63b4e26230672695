// platform/console_text.cpp: the console's formatted messages and single characters, for every
// backend, over its console_write: each is one write, in call order with the device's text.
#include <cstdarg>
#include <cstdio>

#include "platform/console.h"

namespace plat
{

void console_print(const char* fmt, ...)
{
    char buf[8192];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0) {
        console_write(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n)
                                                               : sizeof buf - 1);
    }
}

void console_putc(uint8_t c)
{
    console_write(&c, 1);
}

}  // namespace plat
