#include "link/crc16.h"
#include "link/frame.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

QByteArray Hex(const char* text) {
    return QByteArray::fromHex(text);
}

std::vector<FrameEvent> FeedInChunks(const QByteArray& wire, const std::vector<int>& sizes) {
    FrameFinder finder;
    std::vector<FrameEvent> events;
    qsizetype pos = 0;
    std::size_t k = 0;
    while (pos < wire.size()) {
        const qsizetype n = std::min<qsizetype>(sizes[k++ % sizes.size()], wire.size() - pos);
        finder.Feed(wire.constData() + pos, n, [&](const FrameEvent& e) { events.push_back(e); });
        pos += n;
    }
    return events;
}

} // namespace

TEST(Crc16Xmodem, KnownVectors) {
    struct Case {
        QByteArray data;
        std::uint16_t crc;
    };
    const Case cases[] = {
        {"123456789", kCrc16XmodemCheck},
        {"abc", 0x9DD6},
        {QByteArray(), 0x0000},
        {Hex("00000121"
             "00"),
         0x02E7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Crc16Xmodem(reinterpret_cast<const std::uint8_t*>(c.data.constData()),
                              static_cast<std::size_t>(c.data.size())),
                  c.crc)
            << c.data.toHex().constData();
    }
}

TEST(Crc16Xmodem, UpdateMatchesBitwiseDefinition) {
    // The table-driven step must agree with the bit-by-bit rule for every CRC and byte pair
    // that matters: all bytes against a spread of CRC values.
    auto bitwise = [](std::uint16_t crc, std::uint8_t byte) {
        std::uint16_t word = static_cast<std::uint16_t>(byte << 8);
        for (int i = 0; i < 8; ++i) {
            const bool top = ((crc ^ word) & 0x8000) != 0;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (top)
                crc ^= 0x1021;
            word = static_cast<std::uint16_t>(word << 1);
        }
        return crc;
    };
    for (unsigned crc = 0; crc < 0x10000; crc += 257) {
        for (unsigned b = 0; b < 256; ++b) {
            std::uint16_t c = static_cast<std::uint16_t>(crc);
            Crc16Update(c, static_cast<std::uint8_t>(b));
            ASSERT_EQ(c, bitwise(static_cast<std::uint16_t>(crc), static_cast<std::uint8_t>(b)));
        }
    }
}

TEST(EncodeFrame, WorkedExamples) {
    // H_SETBAUD asking for 115200 bit/s, device address 1, sequence 0.
    EXPECT_EQ(EncodeFrame({0x01, 0, 0, 0, 0x80, 0x00, 0x01, 0x00, 0x00}, {}).toHex(' '),
              QByteArray("aa 01 00 00 00 80 00 01 00 00 00 00 2c"));
    // First Detail request for Z numbers 0001..2100.
    EXPECT_EQ(
        EncodeFrame({0x01, 0, 0, 0, 0x80, 0x10, 0x00, 0x00, 0x01}, Hex("0000012100")).toHex(' '),
        QByteArray("aa 01 00 00 00 80 10 00 00 01 05 00 41 00 00 01 21 00 e7 02"));
}

TEST(EncodeFrame, RefusesDataBeyondTheLengthField) {
    EXPECT_EQ(EncodeFrame(FrameHeaderBytes{}, QByteArray(0xFFFF, 'x')).size(), 0xFFFF + 15);
    EXPECT_TRUE(EncodeFrame(FrameHeaderBytes{}, QByteArray(0x10000, 'x')).isEmpty());
}

TEST(FrameFinder, RoundTripsFramesUnderAnyChunking) {
    DeviceFrame ack{1, 0x80, 0x0E, 0, 0, 7, {}};
    QByteArray block(256, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7 + 3); // contains 0xAA bytes inside the data
    DeviceFrame packet{1, 0x90, 0x10, 0, 3, 8, block};
    const QByteArray wire = QByteArray("\x01\x02junk") + EncodeFrame(ack) + EncodeFrame(packet) +
                            QByteArray("\x55") + EncodeFrame(ack);

    const std::vector<std::vector<int>> chunkings = {
        {static_cast<int>(wire.size())}, {1}, {2, 3}, {13}, {14}, {64}, {1, 64, 7, 300}};
    for (const auto& sizes : chunkings) {
        const auto events = FeedInChunks(wire, sizes);
        ASSERT_EQ(events.size(), 3u);
        EXPECT_EQ(events[0].Kind, FrameEventKind::Frame);
        EXPECT_EQ(events[0].Frame, ack);
        EXPECT_EQ(events[1].Kind, FrameEventKind::Frame);
        EXPECT_EQ(events[1].Frame, packet);
        EXPECT_EQ(events[2].Frame, ack);
    }
}

TEST(FrameFinder, RandomChunkingNeverLosesAFrame) {
    std::mt19937 rng(12345);
    QByteArray wire;
    std::vector<DeviceFrame> sent;
    for (int i = 0; i < 200; ++i) {
        QByteArray data(static_cast<int>(rng() % 300), '\0');
        for (auto& c : data)
            c = static_cast<char>(rng());
        sent.push_back(
            {1, 0x90, 0x10, 0, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i), data});
        wire += EncodeFrame(sent.back());
    }
    FrameFinder finder;
    std::vector<DeviceFrame> got;
    for (qsizetype pos = 0; pos < wire.size();) {
        const qsizetype n = std::min<qsizetype>(1 + rng() % 64, wire.size() - pos);
        finder.Feed(wire.constData() + pos, n, [&](const FrameEvent& e) {
            ASSERT_EQ(e.Kind, FrameEventKind::Frame);
            got.push_back(e.Frame);
        });
        pos += n;
    }
    EXPECT_EQ(got, sent);
    EXPECT_FALSE(finder.InFrame());
}

TEST(FrameFinder, DropsDamagedFramesAndResynchronises) {
    const DeviceFrame good{1, 0x90, 0x10, 0, 0, 1, QByteArray("abc")};
    QByteArray badHeader = EncodeFrame(good);
    badHeader[12] = static_cast<char>(badHeader[12] + 1);
    QByteArray badCrc = EncodeFrame(good);
    badCrc[badCrc.size() - 1] = static_cast<char>(badCrc[badCrc.size() - 1] ^ 0x01);

    struct Case {
        const char* name;
        QByteArray wire;
        std::vector<FrameEventKind> kinds;
    };
    const Case cases[] = {
        {"bad header checksum",
         badHeader.left(kFrameHeaderSize) + EncodeFrame(good),
         {FrameEventKind::BadHeaderChecksum, FrameEventKind::Frame}},
        {"bad crc", badCrc + EncodeFrame(good), {FrameEventKind::BadCrc, FrameEventKind::Frame}},
    };
    for (const auto& c : cases) {
        const auto events = FeedInChunks(c.wire, {5});
        ASSERT_EQ(events.size(), c.kinds.size()) << c.name;
        for (std::size_t i = 0; i < events.size(); ++i)
            EXPECT_EQ(events[i].Kind, c.kinds[i]) << c.name << " event " << i;
        EXPECT_EQ(events.back().Frame, good) << c.name;
    }

    const auto crcEvents = FeedInChunks(badCrc, {100});
    ASSERT_EQ(crcEvents.size(), 1u);
    EXPECT_EQ(crcEvents[0].ComputedCrc, 0x9DD6);
    EXPECT_EQ(crcEvents[0].ReceivedCrc, 0x9DD6 ^ 0x0100);
    EXPECT_EQ(crcEvents[0].DataLength, 3);
}

TEST(FrameFinder, OversizeLengthIsDroppedAtTheHeader) {
    // A header announcing 4095 data bytes would need 4097 bytes of buffer.
    std::array<std::uint8_t, kFrameHeaderSize> h{0xAA, 1, 0, 0,    0,    0x90, 0x10,
                                                 0,    0, 1, 0xFF, 0x0F, 0};
    h[12] = HeaderChecksum(h.data());
    const DeviceFrame good{1, 0x80, 0x0E, 0, 0, 2, {}};
    const QByteArray wire =
        QByteArray(reinterpret_cast<const char*>(h.data()), h.size()) + EncodeFrame(good);
    const auto events = FeedInChunks(wire, {3});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Kind, FrameEventKind::Oversize);
    EXPECT_EQ(events[0].DataLength, 4095);
    EXPECT_EQ(events[1].Kind, FrameEventKind::Frame);
    EXPECT_EQ(events[1].Frame, good);

    // The largest frame the buffer holds is still accepted.
    const DeviceFrame largest{1, 0x90, 0x10, 0, 0, 3, QByteArray(kMaxFrameDataLength, 'z')};
    const auto bigEvents = FeedInChunks(EncodeFrame(largest), {64});
    ASSERT_EQ(bigEvents.size(), 1u);
    EXPECT_EQ(bigEvents[0].Kind, FrameEventKind::Frame);
    EXPECT_EQ(bigEvents[0].Frame, largest);
}

namespace {

// Noise that looks like a header: start byte, valid header sum, a claim of DataLength bytes.
QByteArray FalseHeader(std::uint16_t DataLength) {
    std::array<std::uint8_t, kFrameHeaderSize> h{0xAA,
                                                 0x37,
                                                 0x00,
                                                 0x00,
                                                 0x00,
                                                 0x90,
                                                 0x10,
                                                 0x00,
                                                 0x00,
                                                 0x5C,
                                                 static_cast<std::uint8_t>(DataLength & 0xFF),
                                                 static_cast<std::uint8_t>(DataLength >> 8)};
    h[12] = HeaderChecksum(h.data());
    return QByteArray(reinterpret_cast<const char*>(h.data()), kFrameHeaderSize);
}

// Answers as a device sends them: 256-byte blocks with rising sequence bytes; the blocks hold
// start bytes and whole encoded frames of their own, as fiscal memory may.
std::vector<DeviceFrame> Blocks(int Count) {
    std::vector<DeviceFrame> out;
    for (int i = 0; i < Count; ++i) {
        QByteArray block(256, '\0');
        for (int k = 0; k < block.size(); ++k)
            block[k] = static_cast<char>((k * 31 + i * 7) & 0xFF);
        out.push_back({1, 0x90, 0x10, 0, static_cast<std::uint8_t>(i),
                       static_cast<std::uint8_t>(i + 1), block});
    }
    return out;
}

QByteArray Encoded(const std::vector<DeviceFrame>& Frames) {
    QByteArray wire;
    for (const DeviceFrame& f : Frames)
        wire += EncodeFrame(f);
    return wire;
}

// A finder fed a line in two chunks, cut at Split, and the events it reported.
struct SplitFeed {
    FrameFinder Finder;
    std::vector<FrameEvent> Events;
    FrameFinder::Sink Sink = [this](const FrameEvent& e) { Events.push_back(e); };

    SplitFeed(const QByteArray& Wire, qsizetype Split) {
        Finder.Feed(Wire.left(Split), Sink);
        Finder.Feed(Wire.mid(Split), Sink);
    }
};

std::vector<DeviceFrame> FramesOf(const std::vector<FrameEvent>& Events) {
    std::vector<DeviceFrame> out;
    for (const FrameEvent& e : Events)
        if (e.Kind == FrameEventKind::Frame)
            out.push_back(e.Frame);
    return out;
}

} // namespace

// A false header claiming 4094 bytes swallows the answers behind it. Once its CRC fails (or
// its body is given up as overdue) the swallowed bytes are searched again and every real
// frame is found, wherever the line's chunks happen to end.
TEST(FrameFinder, FalseHeaderGivesBackTheFramesItSwallowed) {
    const std::vector<DeviceFrame> many = Blocks(18); // more than 4096 bytes: the CRC decides
    const QByteArray lead = QByteArray("\x13\x55") + FalseHeader(4094);
    const QByteArray wire = lead + Encoded(many);
    ASSERT_GT(wire.size(), lead.size() + 4096);
    for (qsizetype split = 0; split <= wire.size(); ++split) {
        SplitFeed fed(wire, split);
        const auto& events = fed.Events;
        ASSERT_FALSE(events.empty()) << "split " << split;
        ASSERT_EQ(events.front().Kind, FrameEventKind::BadCrc) << "split " << split;
        EXPECT_EQ(events.front().DataLength, 4094);
        ASSERT_EQ(events.size(), many.size() + 1) << "split " << split;
        ASSERT_EQ(FramesOf(events), many) << "split " << split;
        ASSERT_FALSE(fed.Finder.InFrame());
    }
    // Byte by byte the same.
    EXPECT_EQ(FramesOf(FeedInChunks(wire, {1})), many);

    // Fewer answers than the claim: the body never completes and the caller gives it up.
    const std::vector<DeviceFrame> few = Blocks(3);
    const QByteArray shortWire = lead + Encoded(few);
    for (qsizetype split = 0; split <= shortWire.size(); ++split) {
        SplitFeed fed(shortWire, split);
        FrameFinder& finder = fed.Finder;
        ASSERT_TRUE(fed.Events.empty()) << "split " << split;
        ASSERT_TRUE(finder.CollectingData());
        EXPECT_EQ(finder.PendingDataLength(), 4094);
        EXPECT_EQ(finder.CollectedBytes(), shortWire.size() - 2);
        EXPECT_EQ(finder.AbandonFrame(fed.Sink), shortWire.size() - 3);
        ASSERT_EQ(FramesOf(fed.Events), few) << "split " << split;
        EXPECT_EQ(fed.Events.size(), few.size());
        EXPECT_FALSE(finder.InFrame());
    }
}

TEST(FrameFinder, FailedFrameBodyIsSearchedAgainButAValidOneIsNot) {
    const DeviceFrame ack{1, 0x80, 0x0E, 0, 0, 9, {}};
    const DeviceFrame block = Blocks(1).front(); // holds start bytes in its data
    const DeviceFrame next{1, 0x90, 0x10, 0, 1, 2, QByteArray("abc")};
    // A frame whose data holds whole frames (a device may store anything in its memory).
    const DeviceFrame carrier{
        1, 0x90, 0x10, 0, 5, 6, QByteArray("xy") + EncodeFrame(ack) + EncodeFrame(next) + "z"};
    // A start byte close to the end of the data: a header begun there reaches into the
    // frame behind.
    const DeviceFrame lateStart{1,
                                0x90,
                                0x10,
                                0,
                                2,
                                3,
                                QByteArray(20, 'd') + QByteArray("\xAA"
                                                                 "12345")};

    auto spoilt = [](const DeviceFrame& F, qsizetype At) {
        QByteArray wire = EncodeFrame(F);
        wire[At < 0 ? wire.size() + At : At] =
            static_cast<char>(wire[At < 0 ? wire.size() + At : At] ^ 0x24);
        return wire;
    };

    struct Case {
        const char* Name;
        QByteArray Wire;
        bool FirstFails; // the first event is the failed frame
        std::vector<DeviceFrame> Frames;
    };
    const Case cases[] = {
        {"a data byte spoilt, then a good frame",
         spoilt(block, kFrameHeaderSize + 100) + EncodeFrame(next),
         true,
         {next}},
        {"frames inside a failed frame's body",
         spoilt(carrier, -1) + EncodeFrame(block),
         true,
         {ack, next, block}},
        {"a start byte near the end of a failed body",
         spoilt(lateStart, -2) + EncodeFrame(next),
         true,
         {next}},
        {"frames inside a valid frame stay its data",
         EncodeFrame(carrier) + EncodeFrame(ack),
         false,
         {carrier, ack}},
    };
    for (const Case& c : cases) {
        for (const std::vector<int>& sizes : {std::vector<int>{1}, {7}, {int(c.Wire.size())}}) {
            SCOPED_TRACE(testing::Message() << c.Name << ", chunks of " << sizes[0]);
            const auto events = FeedInChunks(c.Wire, sizes);
            ASSERT_FALSE(events.empty());
            EXPECT_EQ(events.front().Kind == FrameEventKind::BadCrc, c.FirstFails);
            // Between the failure and the frames only dropped headers of noise, if any.
            for (std::size_t i = 1; i < events.size(); ++i) {
                EXPECT_NE(events[i].Kind, FrameEventKind::BadCrc);
            }
            EXPECT_EQ(FramesOf(events), c.Frames);
        }
    }
}

TEST(FrameFinder, AbandoningSearchesWhatAPartFrameCollected) {
    const DeviceFrame ack{1, 0x80, 0x0E, 0, 0, 4, {}};
    FrameFinder finder;
    std::vector<FrameEvent> events;
    const auto sink = [&](const FrameEvent& e) { events.push_back(e); };
    EXPECT_EQ(finder.AbandonFrame(sink), 0); // idle: nothing to give up
    EXPECT_EQ(finder.CollectedBytes(), 0);

    // A start byte in noise right before a frame, cut off by the line going quiet: the frame
    // sits in the header bytes collected so far.
    const QByteArray ackWire = EncodeFrame(ack);
    finder.Feed(QByteArray("\xAA") + ackWire.left(11), sink);
    EXPECT_TRUE(finder.InFrame());
    EXPECT_FALSE(finder.CollectingData());
    EXPECT_EQ(finder.CollectedBytes(), 12);
    EXPECT_EQ(finder.AbandonFrame(sink), 11);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(finder.InFrame()); // the real frame's start, still waiting for its rest
    finder.Feed(ackWire.mid(11), sink);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Frame, ack);
    EXPECT_FALSE(finder.InFrame());
}
