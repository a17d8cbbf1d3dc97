#include "crc16.h"

#include <array>

namespace {

// One table entry per high byte: the bitwise step of Crc16Update applied eight times.
constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned hi = 0; hi < 256; ++hi) {
        std::uint16_t crc = 0;
        std::uint16_t word = static_cast<std::uint16_t>(hi << 8);
        for (int bit = 0; bit < 8; ++bit) {
            const bool top = ((crc ^ word) & 0x8000) != 0;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (top)
                crc ^= 0x1021;
            word = static_cast<std::uint16_t>(word << 1);
        }
        table[hi] = crc;
    }
    return table;
}

constexpr auto kCrcTable = MakeCrcTable();

} // namespace

void Crc16Update(std::uint16_t& Crc, std::uint8_t Byte) {
    Crc = static_cast<std::uint16_t>((Crc << 8) ^ kCrcTable[((Crc >> 8) ^ Byte) & 0xFF]);
}

std::uint16_t Crc16Xmodem(const std::uint8_t* Data, std::size_t Count) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < Count; ++i)
        Crc16Update(crc, Data[i]);
    return crc;
}
