#include "transport/serial_speed.h"

// Only the kernel's own terminal definitions here: <termios.h> must not be included.
#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int Fd, unsigned long Request, ...);

bool SetArbitraryLineSpeed(int Fd, std::uint32_t Baud) {
    struct termios2 t {};
    if (ioctl(Fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = Baud;
    t.c_ospeed = Baud;
    return ioctl(Fd, TCSETS2, &t) == 0;
}

std::optional<std::uint32_t> ReadLineSpeed(int Fd) {
    struct termios2 t {};
    if (ioctl(Fd, TCGETS2, &t) != 0)
        return std::nullopt;
    return t.c_ospeed;
}
