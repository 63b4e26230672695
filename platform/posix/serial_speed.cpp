// platform/posix/serial_speed.cpp: any baud rate, through the kernel's termios2 (BOTHER).
// Kept apart because <asm/termbits.h> clashes with <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace plat::posix
{

int serial_set_any_speed(int fd, int baud)
{
    struct termios2 t2;
    if (ioctl(fd, TCGETS2, &t2) != 0) {
        return -errno;
    }
    t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    t2.c_cflag |= BOTHER;
    t2.c_ispeed = static_cast<speed_t>(baud);
    t2.c_ospeed = static_cast<speed_t>(baud);
    if (ioctl(fd, TCSETS2, &t2) != 0) {
        return -errno;
    }
    return 0;
}

}  // namespace plat::posix
