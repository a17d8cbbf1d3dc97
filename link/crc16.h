#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
// It protects the data field of every device frame (never the header).
inline constexpr std::uint16_t kCrc16XmodemCheck = 0x31C3; // over ASCII "123456789"

// Advances Crc by one byte, most significant bit first.
void Crc16Update(std::uint16_t& Crc, std::uint8_t Byte);

std::uint16_t Crc16Xmodem(const std::uint8_t* Data, std::size_t Count);
