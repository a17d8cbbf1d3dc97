// Scale bus answers as serial chunks or datagrams, in the chosen chunking, through the
// receive-side assembler, plus the 7-bit frame coding of packets taken from the input.
// Payload byte 0 picks the line (bit 0: UDP) and the awaited answer (bit 1: a single byte);
// bytes 1..3 are the request's first bytes the answer must repeat.

#include "fuzz_input.h"
#include "scalebus/answer_assembler.h"
#include "scalebus/packet.h"

#include <algorithm>
#include <cstring>

namespace {

using fuzzinput::Require;
using namespace scalebus;

void CheckCoding(const Packet& P) {
    const SerialFrame f = EncodeFrame(P);
    Require(f[0] == kFrameStart && f[kFrameAnswerSize - 1] == kFrameEnd &&
            f[kFrameSize - 1] == kFrameTrailer);
    for (int i = 1; i < kFrameAnswerSize - 1; ++i)
        Require(f[i] & 0x80);
    Require(DecodeFrame(f.data()) == P);
    Packet summed = P;
    PutPacketSum(summed);
    Require(PacketSumMatches(summed));
}

} // namespace

int FuzzScaleOneInput(const std::uint8_t* Data, std::size_t Size) {
    fuzzinput::Chunking chunking(Data, Size);
    const QByteArray& payload = chunking.Payload();
    if (payload.size() < 4)
        return 0;
    const auto* p = reinterpret_cast<const std::uint8_t*>(payload.constData());
    const bool udp = p[0] & 1;
    const bool singleByte = p[0] & 2;
    std::uint8_t header[3] = {p[1], p[2], p[3]};
    const QByteArray line = payload.mid(4);

    // Any 261 bytes are a packet the frame coding must carry unchanged.
    for (qsizetype pos = 0; pos + kPacketWithSum <= line.size(); pos += kPacketWithSum) {
        Packet packet;
        std::memcpy(packet.data(), line.constData() + pos, kPacketWithSum);
        CheckCoding(packet);
    }

    AnswerAssembler a;
    auto expect = [&] {
        a.Begin();
        if (singleByte)
            a.ExpectSingleByte();
        else
            a.ExpectFrame(header);
    };
    expect();
    auto piece = [&](const QByteArray& bytes) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.constData());
        if (udp)
            a.FeedDatagram(b, int(bytes.size()));
        else
            a.FeedSerial(b, int(bytes.size()));
        Require(a.State() >= AnswerAssembler::kNothingSeen &&
                a.State() <= AnswerAssembler::kComplete);
        Require(a.Position() >= 0 && a.Position() < (udp ? kPacketSize : kFrameAnswerSize));
        if (a.State() != AnswerAssembler::kComplete)
            return;
        if (singleByte) {
            Require(a.AnswerByte() == kAnswerPositive || a.AnswerByte() == kAnswerNegative);
        } else if (udp) {
            Require(std::equal(header, header + 3, a.PacketBytes()));
        } else {
            const std::uint8_t* f = a.SerialFrameBytes();
            Require(f[0] == kFrameStart && f[kFrameAnswerSize - 1] == kFrameEnd);
            Require(std::equal(header, header + 3, f + 1));
            for (int i = 4; i < kFrameAnswerSize - 1; ++i)
                Require(f[i] & 0x80);
            CheckCoding(DecodeFrame(f));
        }
        expect(); // the waiting step took the answer; the next request's wait begins
    };
    chunking.Split(line, piece, udp ? 2 : 1);
    return 0;
}
