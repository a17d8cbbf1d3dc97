// The scale bus link over a pseudo-terminal against the simulated scale: the wake-up with rate
// stepping, the information block, exchanges with retries, Finish, Cancel, tracing.

#include "scale_fixture.h"
#include "transport/spcomm.h"

#include <QTimer>

using namespace scalebus;

namespace {

ScaleConfig Config() {
    return ScaleConfig{};
}

// Wake-ups the host sent at a rate the scale does not listen at never reach the engine as
// frames; each leaves its 302 bytes among the ignored ones.
int WakeUpsSent(const ScaleEngine& E) {
    return E.Stats().WakeUps + int(E.Stats().IgnoredBytes / 302);
}

TEST(ScaleSerial, HandshakeStepsThroughTheRatesAndEndsAtBaudRate) {
    const struct {
        int OnlyRate;
        TBaudRate Working;
        int Attempts;
    } cases[] = {
        {9600, tbr115200, 1},
        {19200, tbr9600, 3},
        {38400, tbr57600, 4}, // 9600, 9600, 19200, 38400
        {0, tbr19200, 1},     // a scale that hears any rate answers the first
    };
    for (const auto& c : cases) {
        ScaleConfig config;
        config.Faults.OnlyRate = c.OnlyRate;
        SerialScale s(config);
        ASSERT_TRUE(s.Ok);
        s.Link.SetBaudRate(c.Working);
        s.Link.SetActive(true);
        ASSERT_TRUE(s.Link.Connect(1234, true)) << "only at " << c.OnlyRate;
        EXPECT_EQ(WakeUpsSent(s.Engine), c.Attempts) << "only at " << c.OnlyRate;
        EXPECT_EQ(s.Engine.Stats().WakeUps, 1);
        EXPECT_EQ(s.Link.SerialRate(), BaudRateBits(c.Working));
        EXPECT_EQ(s.Engine.Stats().LastWakeUpRateOrdinal, int(c.Working));
        EXPECT_EQ(s.Engine.Stats().LastScaleNo, 1234);
        EXPECT_EQ(s.Engine.Stats().LastWakeUpFlag, 0);
        // The information block was read at the working rate: the scale listens only there.
        EXPECT_EQ(s.Engine.Stats().InfoReads, 1);
        EXPECT_EQ(s.Device.HostRate(), int(BaudRateBits(c.Working)));
        s.Link.SetActive(false);
    }
}

TEST(ScaleSerial, NegativeWakeUpWithFlagEndsTheHandshakeAtOnce) {
    ScaleConfig config;
    config.Faults.NegativeWakeUp = true;
    SerialScale s(config);
    ASSERT_TRUE(s.Ok);
    s.Link.SetActive(true);
    EXPECT_FALSE(s.Link.Connect(1234, true));
    EXPECT_TRUE(s.Link.Cancelled());
    EXPECT_EQ(WakeUpsSent(s.Engine), 1);
    EXPECT_EQ(s.Engine.Stats().InfoReads, 0);
}

TEST(ScaleSerial, BroadcastWakeUpGoesOutOnceAtTheWorkingRate) {
    const struct {
        bool Negative;
        TBroadCastScaleType Type;
        bool Connected;
        int Flag14;
    } cases[] = {
        {false, tbs1024, true, 0x5A},
        {false, tbs5120, true, 0xA5},
        {true, tbs1024, false, 0x5A},
    };
    for (const auto& c : cases) {
        ScaleConfig config;
        config.Faults.NegativeWakeUp = c.Negative;
        SerialScale s(config);
        ASSERT_TRUE(s.Ok);
        s.Link.SetBroadCast(true);
        s.Link.SetBroadCastScaleType(c.Type);
        s.Link.SetBaudRate(tbr19200);
        s.Link.BroadcastList()[0] = {1234, 7};
        s.Link.SetActive(true);
        EXPECT_EQ(s.Link.Connect(55, true), c.Connected);
        EXPECT_EQ(WakeUpsSent(s.Engine), 1);
        EXPECT_EQ(s.Engine.Stats().WakeUpsByRate.at(19200), 1);
        EXPECT_EQ(s.Engine.Stats().LastScaleNo, 0); // the list names the scales
        EXPECT_EQ(s.Engine.Stats().LastWakeUpFlag, c.Flag14);
        EXPECT_EQ(s.Link.BroadcastList()[0].Status, 0);
    }
}

TEST(ScaleSerial, InformationBlockValueDependsOnTheQxtText) {
    const struct {
        bool WithQxt;
        int Value;
    } cases[] = {{true, 1024}, {false, 360}};
    for (const auto& c : cases) {
        ScaleConfig config;
        config.WithQxt = c.WithQxt;
        config.InfoValue = 1024;
        SerialScale s(config);
        ASSERT_TRUE(s.Ok);
        s.Link.SetActive(true);
        ASSERT_TRUE(s.Link.Connect(1234, true));
        const auto& info = s.Link.ScaleInfo();
        EXPECT_EQ(info[12] | (info[13] << 8), c.Value) << "QXT " << c.WithQxt;
        const QByteArray sent = ScaleInfoBlock(c.WithQxt, 1024);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(&info[16]), 16), sent.mid(16, 16));
    }
}

TEST(ScaleSerial, CorruptedAnswersAreRetriedUpToRetryCount) {
    // Answer 1 is the wake-up's 0x02, answer 2 the information block; the exchange under test
    // gets answers from 3 on. Each corrupted answer has the top bit of frame byte 150 cleared.
    const struct {
        int RetryCount;
        std::set<int> Corrupted;
        bool Ok;
        int Attempts;
    } cases[] = {
        {0, {}, true, 1},     {0, {3}, false, 1},       {2, {3}, true, 2},
        {2, {3, 4}, true, 3}, {2, {3, 4, 5}, false, 3},
    };
    for (const auto& c : cases) {
        ScaleConfig config;
        config.Faults.ClearTopBit = c.Corrupted;
        SerialScale s(config);
        ASSERT_TRUE(s.Ok);
        s.Link.SetRetryInterval(500); // ample for a good answer; spoilt ones wait it out
        s.Link.SetActive(true);
        ASSERT_TRUE(s.Link.Connect(1234, true));
        s.Link.SetRetryCount(c.RetryCount);
        s.Link.ClearData();
        s.Link.Data()[0] = 0x05; // block 261
        s.Link.Data()[1] = 0x01;
        s.Link.Data()[2] = kReadMemoryBlock;
        const bool ok = s.Link.Exchange(kCommandScale, kParamRead);
        EXPECT_EQ(ok, c.Ok) << "retries " << c.RetryCount << ", bad " << c.Corrupted.size();
        EXPECT_EQ(s.Link.LastAttempts(), c.Attempts);
        EXPECT_EQ(s.Engine.Stats().BlockReads.at(261), c.Attempts);
        EXPECT_EQ(s.Link.Cancelled(), !c.Ok);
        if (ok) {
            EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(s.Link.Data()), 256),
                      ScaleMemoryBlock(config.ContentSeed, 261));
        }
    }
}

TEST(ScaleSerial, CancelEndsTheWaitAndTheExchange) {
    ScaleConfig config;
    config.Faults.SilentAfter = 2; // wake-up and information block only
    SerialScale s(config);
    ASSERT_TRUE(s.Ok);
    s.Link.SetRetryInterval(60000); // only Cancel can end this exchange in a test's time
    s.Link.SetActive(true);
    ASSERT_TRUE(s.Link.Connect(1234, true));
    s.Link.ClearData();
    s.Link.Data()[2] = kReadMemoryBlock;
    QTimer::singleShot(50, &s.Link, [&s] { s.Link.Cancel(); });
    EXPECT_FALSE(s.Link.Exchange(kCommandScale, kParamRead));
    EXPECT_TRUE(s.Link.Cancelled());
    EXPECT_EQ(s.Link.LastAttempts(), 1);
    EXPECT_EQ(s.Engine.Stats().BlockReads.at(0), 1);
}

TEST(ScaleSerial, FinishSendsTheFlagOrTheOverride) {
    const struct {
        std::uint32_t Override;
        std::uint8_t Flag;
        int Seen;
    } cases[] = {{0, 0, 0}, {0, 1, 1}, {0x107, 0, 0x07}};
    for (const auto& c : cases) {
        SerialScale s(Config());
        ASSERT_TRUE(s.Ok);
        s.Link.SetActive(true);
        ASSERT_TRUE(s.Link.Connect(1234, true));
        s.Link.SetFinishOverride(c.Override);
        EXPECT_TRUE(s.Link.Finish(1234, c.Flag));
        EXPECT_EQ(s.Engine.Stats().FinishFlags, std::vector<int>{c.Seen});
        EXPECT_FALSE(s.Engine.Awake());
    }
}

TEST(ScaleSerial, TracingRecordsSendsAnswersAndRetries) {
    ScaleConfig config;
    config.Faults.DropAnswers = {3};
    SerialScale s(config);
    ASSERT_TRUE(s.Ok);
    s.Link.SetRetryInterval(500);
    s.Link.SetActive(true);
    ASSERT_TRUE(s.Link.Connect(1234, true));
    EXPECT_TRUE(s.Link.TraceList().isEmpty()); // off from creation

    s.Link.SetTracing(true);
    s.Link.ClearData();
    s.Link.Data()[2] = kReadMemoryBlock;
    ASSERT_TRUE(s.Link.Exchange(kCommandScale, kParamRead));
    const QStringList& t = s.Link.TraceList();
    ASSERT_GE(t.size(), 4);
    EXPECT_EQ(t[0], QStringLiteral(">>>>>>Send data<<<<<<<<"));
    EXPECT_EQ(t[1], QStringLiteral("03 8e 90 80 80 80 a0 80 80 80 80 80 80 80 80 80 "));
    // 302 bytes: 18 full lines and one of 14.
    EXPECT_EQ(t[19].split(QLatin1Char(' '), Qt::SkipEmptyParts).size(), 14);
    EXPECT_EQ(t[20], QString());
    const qsizetype retry = t.indexOf(QStringLiteral("Retry:1"));
    ASSERT_GT(retry, 0);
    EXPECT_EQ(t[retry - 1], QString());
    EXPECT_EQ(t.count(QStringLiteral(">>>>>>Send data<<<<<<<<")), 2);
    EXPECT_EQ(t.count(QStringLiteral(">>>>>>Receive data<<<<<<<<")), 1);
    EXPECT_GT(t.indexOf(QStringLiteral(">>>>>>Receive data<<<<<<<<")), retry);

    s.Link.SetActive(true); // reopening clears the list
    EXPECT_TRUE(s.Link.TraceList().isEmpty());
}

TEST(ScaleSerial, PortThatCannotOpenReportsAndRethrows) {
    TVarnIBusComm link;
    link.SetLocalPort(0);
    link.SetMode(tmRS232);
    link.SetCommName(QStringLiteral("/dev/orvex-no-such-port"));
    QString shown;
    link.OnError = [&shown](const QString& Text) { shown = Text; };
    EXPECT_THROW(link.SetActive(true), ECommsError);
    EXPECT_EQ(shown, QStringLiteral("Error opening /dev/orvex-no-such-port!\nplease select other "
                                    "ports."));
}

TEST(ScaleSerial, ExchangeOnAClosedPortTimesOutInsteadOfHanging) {
    TVarnIBusComm link;
    link.SetLocalPort(0);
    link.SetMode(tmRS232);
    link.SetRetryCount(1);
    link.SetRetryInterval(50);
    EXPECT_FALSE(link.Exchange(kCommandScale, kParamRead));
    EXPECT_EQ(link.LastAttempts(), 2);
}

} // namespace
