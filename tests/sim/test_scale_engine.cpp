// The simulated scale's engine (what it hears at which rate, what it answers, the faults it
// commits on request) and its command line.

#include "scalebus/packet.h"
#include "scalebus/scalebus_types.h"
#include "sim/scale_engine.h"
#include "sim/scale_options.h"

#include <gtest/gtest.h>

using namespace scalebus;

namespace {

QByteArray Frame(const Packet& P) {
    const SerialFrame f = EncodeFrame(P);
    return ToByteArray(f.data(), kFrameSize);
}

Packet WakeUp(int RateOrdinal) {
    WakeUpFields w;
    w.ScaleNo = 1234;
    w.Date = QDate(2025, 1, 2);
    w.Time = QTime(3, 4, 5);
    w.RateOrdinal = std::uint8_t(RateOrdinal);
    return BuildWakeUpPacket(w);
}

Packet BlockRequest(int Block, bool WithSum) {
    std::uint8_t data[kDataSize] = {std::uint8_t(Block & 0xFF), std::uint8_t(Block >> 8),
                                    kReadMemoryBlock};
    return BuildRequest(kCommandScale, kParamRead, data, WithSum);
}

TEST(ScaleEngine, WakeUpOnlyAtItsRateThenWorksAtTheAskedRate) {
    ScaleConfig config;
    config.Faults.OnlyRate = 38400;
    ScaleEngine e(config);
    for (const int rate : {9600, 19200, 57600})
        e.FeedSerial(Frame(WakeUp(4)), rate);
    EXPECT_FALSE(e.HasOutput());
    EXPECT_EQ(e.Stats().IgnoredBytes, 3 * 302);

    e.FeedSerial(Frame(WakeUp(4)), 38400);
    ASSERT_TRUE(e.HasOutput());
    const ScaleWrite answer = e.TakeWrite();
    EXPECT_EQ(answer.Bytes, QByteArray(1, '\x02'));
    EXPECT_EQ(answer.Rate, 38400); // answered at the rate it was heard at
    EXPECT_EQ(e.ListenRate(), 115200);
    EXPECT_EQ(e.Stats().LastScaleNo, 1234);

    // At the old rate the block request is not heard; at the working rate it is answered.
    e.FeedSerial(Frame(BlockRequest(300, true)), 38400);
    EXPECT_FALSE(e.HasOutput());
    e.FeedSerial(Frame(BlockRequest(300, true)), 115200);
    ASSERT_TRUE(e.HasOutput());
    const ScaleWrite block = e.TakeWrite();
    ASSERT_EQ(block.Bytes.size(), kFrameAnswerSize);
    const Packet p = DecodeFrame(reinterpret_cast<const std::uint8_t*>(block.Bytes.constData()));
    EXPECT_TRUE(PacketSumMatches(p));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(p.data() + 3), kDataSize),
              ScaleMemoryBlock(config.ContentSeed, 300));

    e.FeedSerial(Frame(BuildFinishPacket(1234, 0)), 115200);
    EXPECT_EQ(e.TakeWrite().Bytes, QByteArray(1, '\x02'));
    EXPECT_FALSE(e.Awake());
    EXPECT_EQ(e.ListenRate(), 38400);
}

TEST(ScaleEngine, FramesWithABadSumOrLayoutAreNotAnswered) {
    ScaleEngine e(ScaleConfig{});
    QByteArray badSum = Frame(WakeUp(0));
    badSum[20] = char(badSum[20] ^ 0x01);
    QByteArray broken = Frame(WakeUp(0));
    broken[150] = char(broken[150] & 0x7F);
    for (const QByteArray& bytes : {badSum, broken}) {
        e.FeedSerial(bytes, 9600);
        EXPECT_FALSE(e.HasOutput());
    }
    EXPECT_EQ(e.Stats().BadFrames, 2);
    EXPECT_EQ(e.Stats().WakeUps, 0);
}

TEST(ScaleEngine, UdpAnswersRawPacketsInTheAskedPieces) {
    const struct {
        std::vector<int> Split;
        std::vector<int> Sizes;
    } cases[] = {
        {{}, {259}},
        {{100, 100, 59}, {100, 100, 59}},
        {{100}, {100, 100, 59}},
    };
    for (const auto& c : cases) {
        ScaleConfig config;
        config.Faults.SplitSizes = c.Split;
        ScaleEngine e(config);
        const Packet request = BlockRequest(7, false);
        e.FeedDatagram(ToByteArray(request.data(), kPacketSize));
        std::vector<int> sizes;
        QByteArray joined;
        while (e.HasOutput()) {
            const QByteArray piece = e.TakeWrite().Bytes;
            sizes.push_back(int(piece.size()));
            joined += piece;
        }
        EXPECT_EQ(sizes, c.Sizes);
        EXPECT_EQ(joined.left(3), ToByteArray(request.data(), 3));
        EXPECT_EQ(joined.mid(3), ScaleMemoryBlock(config.ContentSeed, 7));
    }
}

TEST(ScaleEngine, FaultsByAnswerNumber) {
    ScaleConfig config;
    config.Faults.ClearTopBit = {2};
    config.Faults.DropAnswers = {3};
    config.Faults.SilentAfter = 4;
    ScaleEngine e(config);
    e.FeedSerial(Frame(WakeUp(0)), 9600); // answer 1
    EXPECT_EQ(e.TakeWrite().Bytes.size(), 1);
    std::vector<qsizetype> sizes;
    for (int block = 0; block < 4; ++block) { // answers 2..5
        e.FeedSerial(Frame(BlockRequest(block, true)), 9600);
        sizes.push_back(e.HasOutput() ? e.TakeWrite().Bytes.size() : 0);
    }
    EXPECT_EQ(sizes, (std::vector<qsizetype>{301, 0, 301, 0}));
    EXPECT_EQ(e.Stats().Dropped, 2);

    ScaleEngine again(config);
    again.FeedSerial(Frame(WakeUp(0)), 9600);
    again.TakeWrite();
    again.FeedSerial(Frame(BlockRequest(0, true)), 9600);
    const QByteArray spoilt = again.TakeWrite().Bytes;
    EXPECT_EQ(spoilt[150] & 0x80, 0);
    EXPECT_NE(spoilt[149] & 0x80, 0);
}

TEST(ScaleEngine, InformationBlockWithAndWithoutQxt) {
    EXPECT_EQ(ScaleInfoBlock(true, 0x1234).mid(16, 3), QByteArray("QXT"));
    EXPECT_NE(ScaleInfoBlock(false, 0x1234).mid(16, 3), QByteArray("QXT"));
    EXPECT_EQ(ScaleInfoBlock(true, 0x1234).mid(12, 2), QByteArray("\x34\x12"));
}

TEST(ScaleSimOptions, ParsesEveryOption) {
    const auto r =
        ParseScaleSimOptions({QStringLiteral("orvexfm-sim"), QStringLiteral("--scale"),
                              QStringLiteral("--udp"),       QStringLiteral("--bind"),
                              QStringLiteral("127.0.0.3"),   QStringLiteral("--port"),
                              QStringLiteral("0"),           QStringLiteral("--only-rate"),
                              QStringLiteral("57600"),       QStringLiteral("--negative"),
                              QStringLiteral("--no-qxt"),    QStringLiteral("--info-value"),
                              QStringLiteral("99"),          QStringLiteral("--content-seed"),
                              QStringLiteral("5"),           QStringLiteral("--clear-top-bit"),
                              QStringLiteral("3,4"),         QStringLiteral("--drop"),
                              QStringLiteral("7"),           QStringLiteral("--silent-after"),
                              QStringLiteral("10"),          QStringLiteral("--split"),
                              QStringLiteral("100,100,59")});
    ASSERT_TRUE(r.Options) << r.Error.toStdString();
    const ScaleSimOptions& o = *r.Options;
    EXPECT_EQ(o.LinkMode, ScaleSimOptions::Mode::Udp);
    EXPECT_EQ(o.BindAddress, QStringLiteral("127.0.0.3"));
    EXPECT_EQ(o.Port, 0);
    EXPECT_EQ(o.Scale.Faults.OnlyRate, 57600);
    EXPECT_TRUE(o.Scale.Faults.NegativeWakeUp);
    EXPECT_FALSE(o.Scale.WithQxt);
    EXPECT_EQ(o.Scale.InfoValue, 99);
    EXPECT_EQ(o.Scale.ContentSeed, 5u);
    EXPECT_EQ(o.Scale.Faults.ClearTopBit, (std::set<int>{3, 4}));
    EXPECT_EQ(o.Scale.Faults.DropAnswers, (std::set<int>{7}));
    EXPECT_EQ(o.Scale.Faults.SilentAfter, 10);
    EXPECT_EQ(o.Scale.Faults.SplitSizes, (std::vector<int>{100, 100, 59}));
}

TEST(ScaleSimOptions, RefusesBadValues) {
    const QStringList bad[] = {
        {QStringLiteral("--only-rate"), QStringLiteral("4800")},
        {QStringLiteral("--split"), QStringLiteral("0")},
        {QStringLiteral("--split"), QStringLiteral("400")},
        {QStringLiteral("--drop"), QStringLiteral("x")},
        {QStringLiteral("--pty"), QStringLiteral("--udp")},
        {QStringLiteral("--port"), QStringLiteral("70000")},
        {QStringLiteral("--detail"), QStringLiteral("f")}, // a fiscal-device option
    };
    for (const QStringList& args : bad) {
        const auto r = ParseScaleSimOptions(
            QStringList{QStringLiteral("orvexfm-sim"), QStringLiteral("--scale")} + args);
        EXPECT_FALSE(r.Options) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_FALSE(r.Error.isEmpty());
    }
    const auto defaults =
        ParseScaleSimOptions({QStringLiteral("orvexfm-sim"), QStringLiteral("--scale")});
    ASSERT_TRUE(defaults.Options);
    EXPECT_EQ(defaults.Options->LinkMode, ScaleSimOptions::Mode::Pty);
    EXPECT_EQ(defaults.Options->Port, 5001);
}

} // namespace
