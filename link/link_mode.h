#pragma once

#include <cstdint>

// Transport of a link: serial line or UDP. Shared by the device link and the scale bus link.
enum TMode : std::uint8_t { tmRS232, tmTCPIP };
