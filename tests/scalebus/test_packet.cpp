// Byte layout of scale bus packets and serial frames, checked against hand-worked bytes.

#include "scalebus/packet.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace scalebus;

namespace {

std::vector<int> Bytes(const std::uint8_t* P, int From, int Count) {
    return std::vector<int>(P + From, P + From + Count);
}

TEST(ScaleNumber, PackedBcdLowestPairFirst) {
    const struct {
        long long ScaleNo;
        std::vector<int> Expected;
    } cases[] = {
        {1234, {0x34, 0x12, 0x00, 0x00}},
        {12345678, {0x78, 0x56, 0x34, 0x12}},
        {0, {0, 0, 0, 0}},
        {7, {0x07, 0, 0, 0}},
        {912345678, {0x78, 0x56, 0x34, 0x12}}, // only the last eight digits fit
    };
    for (const auto& c : cases) {
        std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        PutScaleNumber(out, c.ScaleNo);
        EXPECT_EQ(Bytes(out, 0, 4), c.Expected) << c.ScaleNo;
    }
}

TEST(Packet, FinishFrameBytesAsWorkedByHand) {
    // 0E 02 00 | 34 12 00 00 | 01: sum 0x0E + 0x02 + 0x34 + 0x12 + 0x01 = 0x57.
    const Packet p = BuildFinishPacket(1234, 1);
    EXPECT_EQ(Bytes(p.data(), 0, 8), (std::vector<int>{0x0E, 0x02, 0x00, 0x34, 0x12, 0, 0, 1}));
    EXPECT_EQ(p[259], 0x57);
    EXPECT_EQ(p[260], 0x00);

    const SerialFrame f = EncodeFrame(p);
    EXPECT_EQ(f[0], 0x03);
    // Group 0: packet bytes 0..6 with the top bit set, then their (empty) top bits.
    EXPECT_EQ(Bytes(f.data(), 1, 8),
              (std::vector<int>{0x8E, 0x82, 0x80, 0xB4, 0x92, 0x80, 0x80, 0x80}));
    // Group 1: packet bytes 7..13.
    EXPECT_EQ(Bytes(f.data(), 9, 8),
              (std::vector<int>{0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}));
    EXPECT_EQ(Bytes(f.data(), 297, 5), (std::vector<int>{0xD7, 0x80, 0x80, 0x04, 0xFF}));
}

TEST(Packet, TopBitsOfDataAndSumTravelInTheEighthByte) {
    // Data FF 07 20: packet 0E 10 00 FF 07 20 00; sum 0x0E + 0x10 + 0xFF + 0x07 + 0x20 = 0x144.
    std::uint8_t data[kDataSize] = {0xFF, 0x07, 0x20};
    Packet p = BuildRequest(0x0E, 0x0010, data, true);
    EXPECT_EQ(p[259], 0x44);
    EXPECT_EQ(p[260], 0x01);
    SerialFrame f = EncodeFrame(p);
    EXPECT_EQ(Bytes(f.data(), 1, 8),
              (std::vector<int>{0x8E, 0x90, 0x80, 0xFF, 0x87, 0xA0, 0x80, 0x88}));
    EXPECT_EQ(Bytes(f.data(), 297, 3), (std::vector<int>{0xC4, 0x81, 0x80}));

    // All data 0xFF: sum 0x0E + 0x10 + 256 * 0xFF = 0xFF1E, so the high sum byte has its top
    // bit set (bit 1 of frame byte 299).
    std::fill(std::begin(data), std::end(data), 0xFF);
    p = BuildRequest(0x0E, 0x0010, data, true);
    EXPECT_EQ(p[259], 0x1E);
    EXPECT_EQ(p[260], 0xFF);
    f = EncodeFrame(p);
    EXPECT_EQ(Bytes(f.data(), 297, 3), (std::vector<int>{0x9E, 0xFF, 0x82}));
    // Packet byte 258 (the last) is byte 6 of group 36.
    EXPECT_EQ(f[1 + 8 * 36 + 6], 0xFF);
    EXPECT_EQ(f[1 + 8 * 36 + 7], 0xFF);

    // Without the sum (a UDP request) bytes 259 and 260 stay 0.
    p = BuildRequest(0x0E, 0x1234, data, false);
    EXPECT_EQ(Bytes(p.data(), 0, 3), (std::vector<int>{0x0E, 0x34, 0x12}));
    EXPECT_EQ(p[259], 0);
    EXPECT_EQ(p[260], 0);
}

TEST(Packet, WakeUpFieldsAsPackedBcd) {
    WakeUpFields w;
    w.ScaleNo = 1234;
    w.Date = QDate(2024, 3, 5);
    w.Time = QTime(13, 7, 59);
    w.RateOrdinal = 2;
    w.Flag14 = 0;
    const Packet p = BuildWakeUpPacket(w);
    EXPECT_EQ(Bytes(p.data(), 0, 16),
              (std::vector<int>{0x0E, 0x01, 0x00, 0x34, 0x12, 0x00, 0x00, 0x24, 0x03, 0x05, 0x13,
                                0x07, 0x59, 0x02, 0x00, 0x00}));
    EXPECT_TRUE(PacketSumMatches(p));

    // Broadcasting: scale number 0, the list from byte 35 on.
    std::uint32_t list[kBroadcastEntries] = {};
    list[0] = 1234;
    list[55] = 87654321;
    w.BroadcastList = list;
    w.Flag14 = 0x5A;
    const Packet b = BuildWakeUpPacket(w);
    EXPECT_EQ(Bytes(b.data(), 3, 4), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(b[14], 0x5A);
    EXPECT_EQ(Bytes(b.data(), 35, 4), (std::vector<int>{0x34, 0x12, 0, 0}));
    EXPECT_EQ(Bytes(b.data(), 35 + 4 * 55, 4), (std::vector<int>{0x21, 0x43, 0x65, 0x87}));
    EXPECT_TRUE(PacketSumMatches(b));
}

TEST(Packet, FrameRoundTripAndOnlyMarkersLackTheTopBit) {
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        Packet p{};
        for (int i = 0; i < kPacketSize; ++i)
            p[i] = static_cast<std::uint8_t>(rng());
        PutPacketSum(p);
        const SerialFrame f = EncodeFrame(p);
        for (int i = 1; i <= 299; ++i)
            ASSERT_NE(f[i] & 0x80, 0) << "frame byte " << i;
        ASSERT_EQ(f[0], 0x03);
        ASSERT_EQ(f[300], 0x04);
        const Packet back = DecodeFrame(f.data());
        ASSERT_EQ(back, p);
        ASSERT_TRUE(PacketSumMatches(back));
    }
}

TEST(Packet, ChangedFrameByteSpoilsTheSum) {
    std::uint8_t data[kDataSize] = {1, 2, 3};
    const Packet p = BuildRequest(0x0E, 0x0010, data, true);
    for (const int at : {1, 4, 8, 150, 296, 297, 299}) {
        SerialFrame f = EncodeFrame(p);
        f[at] ^= 0x01;
        EXPECT_FALSE(PacketSumMatches(DecodeFrame(f.data()))) << "frame byte " << at;
    }
}

TEST(Packet, BcdByteKeepsTheLastTwoDigits) {
    EXPECT_EQ(BcdByte(2024), 0x24);
    EXPECT_EQ(BcdByte(59), 0x59);
    EXPECT_EQ(BcdByte(0), 0x00);
    EXPECT_EQ(BcdByte(1999), 0x99);
}

} // namespace
