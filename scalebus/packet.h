#pragma once

// Byte layout of the scale bus: 259-byte packets with a 16-bit sum, and the 302-byte 7-bit
// serial frames that carry them. Pure functions, no I/O.

#include <QByteArray>
#include <QDate>
#include <QTime>

#include <array>
#include <cstdint>
#include <optional>

namespace scalebus {

inline constexpr int kPacketSize = 259;      // command, 2 parameter bytes, 256 data bytes
inline constexpr int kPacketWithSum = 261;   // packet plus the sum, low byte first
inline constexpr int kDataSize = 256;        // data bytes of a packet
inline constexpr int kDataAreaSize = 312;    // the link's data area as its callers clear it
inline constexpr int kFrameSize = 302;       // serial frame as sent
inline constexpr int kFrameAnswerSize = 301; // serial frame as received (no trailing 0xFF)
inline constexpr int kUdpBufferSize = 313;   // largest datagram the link takes
inline constexpr int kScaleInfoSize = 64;

inline constexpr std::uint8_t kFrameStart = 0x03;
inline constexpr std::uint8_t kFrameEnd = 0x04;
inline constexpr std::uint8_t kFrameTrailer = 0xFF;
inline constexpr std::uint8_t kAnswerPositive = 0x02;
inline constexpr std::uint8_t kAnswerNegative = 0x55;

inline constexpr std::uint8_t kCommandScale = 0x0E;
inline constexpr std::uint8_t kSubWakeUp = 0x01;
inline constexpr std::uint8_t kSubFinish = 0x02;
inline constexpr std::uint16_t kParamRead = 0x0010;
inline constexpr std::uint8_t kReadScaleInfo = 0x10;
inline constexpr std::uint8_t kReadMemoryBlock = 0x20;

using Packet = std::array<std::uint8_t, kPacketWithSum>;
using SerialFrame = std::array<std::uint8_t, kFrameSize>;

// Sum of packet bytes 0..258 as a 16-bit number.
std::uint16_t PacketSum(const Packet& P);
// Writes the sum into bytes 259 (low) and 260 (high).
void PutPacketSum(Packet& P);
bool PacketSumMatches(const Packet& P);

// One byte of packed BCD for the last two decimal digits of Value (2024 -> 0x24).
std::uint8_t BcdByte(int Value);
// A scale number as 8 packed-BCD digits over 4 bytes, lowest digit pair first
// (1234 -> 34 12 00 00). Only the last 8 decimal digits of a larger number count; a negative
// number is written as 0.
void PutScaleNumber(std::uint8_t* Out, long long ScaleNo);

// The 302-byte frame of a packet (sum included): start byte, 37 groups of seven low-7-bit bytes
// plus a byte of their top bits, the two sum bytes the same way, end byte, trailer. Bytes 1..299
// go out with their top bit set.
SerialFrame EncodeFrame(const Packet& P);
// Reverses EncodeFrame for frame bytes 1..299 (at least 300 bytes must be given). The packet
// comes back even when its sum does not match; check with PacketSumMatches.
Packet DecodeFrame(const std::uint8_t* Frame);

// Wake-up packet (command 0x0E, sub-command 0x01), sum included.
struct WakeUpFields {
    long long ScaleNo = 0;
    QDate Date;
    QTime Time;
    std::uint8_t RateOrdinal = 0;
    std::uint8_t Flag14 = 0;                      // 0 / 1, or the broadcast scale type code
    const std::uint32_t* BroadcastList = nullptr; // 56 scale numbers when broadcasting
};
inline constexpr int kBroadcastEntries = 56;
Packet BuildWakeUpPacket(const WakeUpFields& F);

// End-of-session packet (command 0x0E, sub-command 0x02), sum included.
Packet BuildFinishPacket(long long ScaleNo, std::uint8_t Flag);

// Exchange request: Command, Param low byte first, then the first 256 bytes of Data; with
// WithSum the sum is added (serial), otherwise bytes 259/260 stay 0.
Packet BuildRequest(std::uint8_t Command, std::uint16_t Param, const std::uint8_t* Data,
                    bool WithSum);

QByteArray ToByteArray(const std::uint8_t* Bytes, int Count);

} // namespace scalebus
