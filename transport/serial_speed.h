#pragma once

#include <cstdint>
#include <optional>

// Line speeds outside the classic Bxxx table need the kernel's termios2 interface, whose
// structure clashes with the C library's <termios.h>; it therefore lives in a file of its own.

// Sets both directions of the open terminal Fd to Baud bit/s. False when the driver refuses.
bool SetArbitraryLineSpeed(int Fd, std::uint32_t Baud);

// The output line speed the driver holds for Fd, in bit/s, whatever way it was set.
std::optional<std::uint32_t> ReadLineSpeed(int Fd);
