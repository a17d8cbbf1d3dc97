// Receive side of the scale bus link: serial frame assembly, single-byte answers, UDP answers
// over several datagrams, and what is dropped.

#include "scalebus/answer_assembler.h"

#include <gtest/gtest.h>

#include <vector>

using namespace scalebus;

namespace {

Packet AnswerPacket(std::uint8_t Fill) {
    std::uint8_t data[kDataSize];
    for (int i = 0; i < kDataSize; ++i)
        data[i] = static_cast<std::uint8_t>(Fill + i);
    return BuildRequest(0x0E, 0x0010, data, true);
}

std::vector<std::uint8_t> FrameBytes(const Packet& P, int Count = kFrameAnswerSize) {
    const SerialFrame f = EncodeFrame(P);
    return std::vector<std::uint8_t>(f.begin(), f.begin() + Count);
}

void FeedInChunks(AnswerAssembler& A, const std::vector<std::uint8_t>& Bytes, int Chunk) {
    for (std::size_t at = 0; at < Bytes.size(); at += std::size_t(Chunk)) {
        const int n = int(std::min<std::size_t>(std::size_t(Chunk), Bytes.size() - at));
        A.FeedSerial(Bytes.data() + at, n);
    }
}

class SerialAssembly : public ::testing::Test {
protected:
    void SetUp() override {
        good = AnswerPacket(0x40);
        const SerialFrame request = EncodeFrame(good);
        asm_.ExpectFrame(&request[1]);
        asm_.Begin();
    }
    Packet good;
    AnswerAssembler asm_;
};

TEST_F(SerialAssembly, WholeFrameInAnyChunkingCompletes) {
    for (const int chunk : {1, 7, 64, 301, 302}) {
        asm_.Begin();
        std::vector<std::uint8_t> bytes = FrameBytes(good, kFrameSize); // trailer included
        FeedInChunks(asm_, bytes, chunk);
        ASSERT_EQ(asm_.State(), AnswerAssembler::kComplete) << "chunk " << chunk;
        EXPECT_EQ(DecodeFrame(asm_.SerialFrameBytes()), good) << "chunk " << chunk;
    }
}

TEST_F(SerialAssembly, BrokenFramesDoNotComplete) {
    const struct {
        const char* Name;
        int At;
        std::uint8_t Value;
    } cases[] = {
        {"top bit cleared at 150", 150, 0x15},
        {"header byte 2 differs", 2, 0x91},
        {"no end byte", 300, 0x84},
        {"no start byte", 0, 0x02},
    };
    for (const auto& c : cases) {
        asm_.Begin();
        std::vector<std::uint8_t> bytes = FrameBytes(good);
        bytes[std::size_t(c.At)] = c.Value;
        asm_.FeedSerial(bytes.data(), int(bytes.size()));
        EXPECT_NE(asm_.State(), AnswerAssembler::kComplete) << c.Name;
        EXPECT_EQ(asm_.State(), AnswerAssembler::kArriving) << c.Name;
    }
}

TEST_F(SerialAssembly, CorruptedByteRestartsAssemblyAtTheNextStart) {
    // A frame spoilt at position 150, then a good frame right behind it in the same chunk.
    std::vector<std::uint8_t> bytes = FrameBytes(good);
    bytes[150] &= 0x7F;
    const Packet second = AnswerPacket(0x90);
    const std::vector<std::uint8_t> tail = FrameBytes(second);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    asm_.FeedSerial(bytes.data(), int(bytes.size()));
    ASSERT_EQ(asm_.State(), AnswerAssembler::kComplete);
    EXPECT_EQ(DecodeFrame(asm_.SerialFrameBytes()), second);

    // A start byte that breaks a frame begins the next one itself.
    asm_.Begin();
    std::vector<std::uint8_t> restart = FrameBytes(good, 120);
    const std::vector<std::uint8_t> whole = FrameBytes(good);
    restart.insert(restart.end(), whole.begin(), whole.end());
    asm_.FeedSerial(restart.data(), int(restart.size()));
    ASSERT_EQ(asm_.State(), AnswerAssembler::kComplete);
    EXPECT_EQ(DecodeFrame(asm_.SerialFrameBytes()), good);
}

TEST_F(SerialAssembly, CompleteAnswerIsNotOverwrittenByLaterChunks) {
    const std::vector<std::uint8_t> bytes = FrameBytes(good);
    asm_.FeedSerial(bytes.data(), int(bytes.size()));
    ASSERT_EQ(asm_.State(), AnswerAssembler::kComplete);
    const std::vector<std::uint8_t> other = FrameBytes(AnswerPacket(0x11));
    asm_.FeedSerial(other.data(), int(other.size()));
    EXPECT_EQ(DecodeFrame(asm_.SerialFrameBytes()), good);
}

TEST(SingleByteAnswer, FirstPositiveOrNegativeByteOfTheChunkCounts) {
    const struct {
        std::vector<std::uint8_t> Chunk;
        int State;
        std::uint8_t Answer;
    } cases[] = {
        {{0x02}, AnswerAssembler::kComplete, 0x02},
        {{0xFF, 0x00, 0x55, 0x02}, AnswerAssembler::kComplete, 0x55},
        {{0x7F, 0x03, 0x04}, AnswerAssembler::kArriving, 0x00},
    };
    for (const auto& c : cases) {
        for (const bool udp : {false, true}) {
            AnswerAssembler a;
            a.ExpectSingleByte();
            a.Begin();
            EXPECT_EQ(a.State(), AnswerAssembler::kNothingSeen);
            if (udp)
                a.FeedDatagram(c.Chunk.data(), int(c.Chunk.size()));
            else
                a.FeedSerial(c.Chunk.data(), int(c.Chunk.size()));
            EXPECT_EQ(a.State(), c.State) << (udp ? "udp" : "serial");
            EXPECT_EQ(a.AnswerByte(), c.Answer) << (udp ? "udp" : "serial");
        }
    }
}

class UdpAssembly : public ::testing::Test {
protected:
    void SetUp() override {
        answer = AnswerPacket(0x20);
        asm_.ExpectFrame(answer.data());
        asm_.Begin();
    }
    void Feed(int From, int Count) { asm_.FeedDatagram(answer.data() + From, Count); }
    Packet answer;
    AnswerAssembler asm_;
};

TEST_F(UdpAssembly, AnswerSplitOverDatagramsCompletes) {
    Feed(0, 100);
    EXPECT_EQ(asm_.State(), AnswerAssembler::kArriving);
    Feed(100, 100);
    EXPECT_EQ(asm_.State(), AnswerAssembler::kArriving);
    Feed(200, 59);
    ASSERT_EQ(asm_.State(), AnswerAssembler::kComplete);
    EXPECT_TRUE(std::equal(answer.begin(), answer.begin() + kPacketSize, asm_.PacketBytes()));
}

TEST_F(UdpAssembly, DatagramOfAnotherCommandIsIgnored) {
    std::vector<std::uint8_t> stranger(answer.begin(), answer.begin() + kPacketSize);
    stranger[0] = 0x0F;
    asm_.FeedDatagram(stranger.data(), int(stranger.size()));
    EXPECT_EQ(asm_.State(), AnswerAssembler::kArriving);
    EXPECT_EQ(asm_.Position(), 0);
    Feed(0, kPacketSize);
    EXPECT_EQ(asm_.State(), AnswerAssembler::kComplete);
}

TEST_F(UdpAssembly, OversizedDatagramIsDroppedWhole) {
    // 314 bytes beginning like the right answer: without the size check its first 259 bytes
    // would complete the answer with the wrong data.
    std::vector<std::uint8_t> big(314, 0xAA);
    std::copy_n(answer.begin(), 3, big.begin());
    asm_.FeedDatagram(big.data(), int(big.size()));
    EXPECT_EQ(asm_.State(), AnswerAssembler::kNothingSeen);
    EXPECT_EQ(asm_.Position(), 0);

    // 313 bytes is the buffer's size and still taken; what follows the 259 answer bytes is not.
    std::vector<std::uint8_t> fits(313, 0xBB);
    std::copy_n(answer.begin(), kPacketSize, fits.begin());
    asm_.FeedDatagram(fits.data(), int(fits.size()));
    ASSERT_EQ(asm_.State(), AnswerAssembler::kComplete);
    EXPECT_TRUE(std::equal(answer.begin(), answer.begin() + kPacketSize, asm_.PacketBytes()));
}

} // namespace
