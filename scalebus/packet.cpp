#include "scalebus/packet.h"

#include <algorithm>

namespace scalebus {

namespace {

constexpr int kGroups = 37; // 37 * 7 = 259 packet bytes
constexpr int kSumLowAt = 297;
constexpr int kSumHighAt = 298;
constexpr int kSumTopBitsAt = 299;
constexpr int kEndAt = 300;

} // namespace

std::uint16_t PacketSum(const Packet& P) {
    std::uint32_t sum = 0;
    for (int i = 0; i < kPacketSize; ++i)
        sum += P[i];
    return static_cast<std::uint16_t>(sum);
}

void PutPacketSum(Packet& P) {
    const std::uint16_t sum = PacketSum(P);
    P[kPacketSize] = static_cast<std::uint8_t>(sum & 0xFF);
    P[kPacketSize + 1] = static_cast<std::uint8_t>(sum >> 8);
}

bool PacketSumMatches(const Packet& P) {
    const std::uint16_t sum = PacketSum(P);
    return P[kPacketSize] == (sum & 0xFF) && P[kPacketSize + 1] == (sum >> 8);
}

std::uint8_t BcdByte(int Value) {
    if (Value < 0)
        Value = -Value;
    Value %= 100;
    return static_cast<std::uint8_t>(((Value / 10) << 4) | (Value % 10));
}

void PutScaleNumber(std::uint8_t* Out, long long ScaleNo) {
    long long rest = ScaleNo < 0 ? 0 : ScaleNo % 100000000LL;
    for (int i = 0; i < 4; ++i) {
        Out[i] = BcdByte(static_cast<int>(rest % 100));
        rest /= 100;
    }
}

SerialFrame EncodeFrame(const Packet& P) {
    SerialFrame f{};
    f[0] = kFrameStart;
    for (int g = 0; g < kGroups; ++g) {
        std::uint8_t topBits = 0;
        for (int b = 0; b < 7; ++b) {
            const std::uint8_t byte = P[7 * g + b];
            f[1 + 8 * g + b] = byte & 0x7F;
            if (byte & 0x80)
                topBits |= static_cast<std::uint8_t>(1u << b);
        }
        f[1 + 8 * g + 7] = topBits;
    }
    f[kSumLowAt] = P[kPacketSize] & 0x7F;
    f[kSumHighAt] = P[kPacketSize + 1] & 0x7F;
    f[kSumTopBitsAt] = static_cast<std::uint8_t>(((P[kPacketSize] >> 7) & 1) |
                                                 (((P[kPacketSize + 1] >> 7) & 1) << 1));
    for (int i = 1; i <= kSumTopBitsAt; ++i)
        f[i] |= 0x80;
    f[kEndAt] = kFrameEnd;
    f[kFrameSize - 1] = kFrameTrailer;
    return f;
}

Packet DecodeFrame(const std::uint8_t* Frame) {
    Packet p{};
    for (int g = 0; g < kGroups; ++g) {
        const std::uint8_t topBits = Frame[1 + 8 * g + 7] & 0x7F;
        for (int b = 0; b < 7; ++b) {
            std::uint8_t byte = Frame[1 + 8 * g + b] & 0x7F;
            if (topBits & (1u << b))
                byte |= 0x80;
            p[7 * g + b] = byte;
        }
    }
    const std::uint8_t sumTop = Frame[kSumTopBitsAt] & 0x7F;
    p[kPacketSize] = static_cast<std::uint8_t>((Frame[kSumLowAt] & 0x7F) | ((sumTop & 1) << 7));
    p[kPacketSize + 1] =
        static_cast<std::uint8_t>((Frame[kSumHighAt] & 0x7F) | (((sumTop >> 1) & 1) << 7));
    return p;
}

Packet BuildWakeUpPacket(const WakeUpFields& F) {
    Packet p{};
    p[0] = kCommandScale;
    p[1] = kSubWakeUp;
    p[2] = 0;
    PutScaleNumber(&p[3], F.BroadcastList ? 0 : F.ScaleNo);
    p[7] = BcdByte(F.Date.year());
    p[8] = BcdByte(F.Date.month());
    p[9] = BcdByte(F.Date.day());
    p[10] = BcdByte(F.Time.hour());
    p[11] = BcdByte(F.Time.minute());
    p[12] = BcdByte(F.Time.second());
    p[13] = F.RateOrdinal;
    p[14] = F.Flag14;
    if (F.BroadcastList) {
        for (int i = 0; i < kBroadcastEntries; ++i)
            PutScaleNumber(&p[35 + 4 * i], F.BroadcastList[i]);
    }
    PutPacketSum(p);
    return p;
}

Packet BuildFinishPacket(long long ScaleNo, std::uint8_t Flag) {
    Packet p{};
    p[0] = kCommandScale;
    p[1] = kSubFinish;
    p[2] = 0;
    PutScaleNumber(&p[3], ScaleNo);
    p[7] = Flag;
    PutPacketSum(p);
    return p;
}

Packet BuildRequest(std::uint8_t Command, std::uint16_t Param, const std::uint8_t* Data,
                    bool WithSum) {
    Packet p{};
    p[0] = Command;
    p[1] = static_cast<std::uint8_t>(Param & 0xFF);
    p[2] = static_cast<std::uint8_t>(Param >> 8);
    std::copy(Data, Data + kDataSize, p.begin() + 3);
    if (WithSum)
        PutPacketSum(p);
    return p;
}

QByteArray ToByteArray(const std::uint8_t* Bytes, int Count) {
    return QByteArray(reinterpret_cast<const char*>(Bytes), Count);
}

} // namespace scalebus
