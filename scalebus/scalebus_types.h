#pragma once

#include <cstdint>

// Types of the scale bus link. They live in their own namespace because the device link
// already has a global TBaudRate with different values.
namespace scalebus {

// Working rate of a scale session; the ordinal is what the wake-up packet carries.
enum TBaudRate : std::uint8_t { tbr9600, tbr19200, tbr38400, tbr57600, tbr115200 };
inline constexpr int kBaudRateCount = 5;

// Bits per second of a rate ordinal; ordinals outside the table give 9600.
constexpr std::uint32_t BaudRateBits(int Ordinal) {
    constexpr std::uint32_t kRates[kBaudRateCount] = {9600, 19200, 38400, 57600, 115200};
    return (Ordinal >= 0 && Ordinal < kBaudRateCount) ? kRates[Ordinal] : 9600;
}

// Scale type code sent in a broadcast wake-up.
enum TBroadCastScaleType : std::uint8_t { tbs1024, tbs5120 };

// Extra exchange attempts after the first: 0..10.
using TRetryCount = std::uint8_t;
inline constexpr TRetryCount kMaxRetryCount = 10;

} // namespace scalebus
