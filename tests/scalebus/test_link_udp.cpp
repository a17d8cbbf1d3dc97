// The scale bus link over UDP: Connect is the echo check, requests go out as 259 bytes, answers
// may come in pieces, strangers and oversized datagrams are dropped.

#include "scale_fixture.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

using namespace scalebus;

namespace {

TEST(ScaleUdp, ConnectIsTheEchoCheckOfTheAddress) {
    for (const bool answers : {true, false}) {
        UdpScale s(ScaleConfig{});
        ASSERT_TRUE(s.Ok);
        s.PingAnswers = answers;
        EXPECT_EQ(s.Link.Connect(1234, true), answers);
        EXPECT_EQ(s.PingedAddress, QStringLiteral("127.0.0.1"));
        EXPECT_EQ(s.Engine.Stats().WakeUps, 0); // nothing is sent to the scale
    }
}

TEST(ScaleUdp, AnswerInPiecesCompletesTheExchange) {
    const struct { std::vector<int> Split; } cases[] = {{{}}, {{100, 100, 59}}, {{7}}, {{258, 1}}};
    for (const auto& c : cases) {
        ScaleConfig config;
        config.Faults.SplitSizes = c.Split;
        UdpScale s(config);
        ASSERT_TRUE(s.Ok);
        s.Link.SetRetryCount(0);
        s.Link.ClearData();
        s.Link.Data()[0] = 0x2C;
        s.Link.Data()[1] = 0x07; // block 1836
        s.Link.Data()[2] = kReadMemoryBlock;
        ASSERT_TRUE(s.Link.Exchange(kCommandScale, kParamRead)) << c.Split.size();
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(s.Link.Data()), 256),
                  ScaleMemoryBlock(config.ContentSeed, 1836));
        EXPECT_EQ(s.Engine.Stats().BlockReads.at(1836), 1);
    }
}

TEST(ScaleUdp, RetryCountZeroMakesOneAttempt) {
    const struct {
        int RetryCount;
        int Attempts;
    } cases[] = {{0, 1}, {3, 4}};
    for (const auto& c : cases) {
        ScaleConfig config;
        config.Faults.SilentAfter = 0;
        UdpScale s(config);
        ASSERT_TRUE(s.Ok);
        s.Link.SetRetryInterval(60);
        s.Link.SetRetryCount(c.RetryCount);
        s.Link.ClearData();
        s.Link.Data()[2] = kReadMemoryBlock;
        EXPECT_FALSE(s.Link.Exchange(kCommandScale, kParamRead));
        EXPECT_TRUE(s.Link.Cancelled());
        EXPECT_EQ(s.Link.LastAttempts(), c.Attempts);
        EXPECT_EQ(s.Engine.Stats().BlockReads.at(0), c.Attempts);
    }
}

// A hand-played scale: the test answers the link's request itself.
TEST(ScaleUdp, StrangersAndOversizedDatagramsDoNotMakeTheAnswer) {
    QUdpSocket scale;
    ASSERT_TRUE(scale.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    TVarnIBusComm link;
    link.SetLocalPort(0);
    link.SetRemotePort(scale.localPort());
    link.SetIP(QStringLiteral("127.0.0.1"));
    link.SetRetryCount(0);
    link.SetRetryInterval(5000);

    QObject::connect(&scale, &QUdpSocket::readyRead, [&scale] {
        while (scale.hasPendingDatagrams()) {
            const QNetworkDatagram request = scale.receiveDatagram();
            const QByteArray head = request.data().left(3);
            auto reply = [&](const QByteArray& Bytes) {
                scale.writeDatagram(Bytes, request.senderAddress(), quint16(request.senderPort()));
            };
            // Too long for the receive buffer, though it starts like the answer.
            reply(head + QByteArray(400, char(0xAA)));
            // Another command's answer.
            reply(QByteArray(1, char(0x0F)) + head.mid(1) + QByteArray(256, char(0xBB)));
            // The answer.
            reply(head + QByteArray(256, char(0x3C)));
        }
    });
    link.ClearData();
    link.Data()[2] = kReadMemoryBlock;
    ASSERT_TRUE(link.Exchange(kCommandScale, kParamRead));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(link.Data()), 256),
              QByteArray(256, char(0x3C)));
}

TEST(ScaleUdp, FinishGoesOutAsASerialFrame) {
    UdpScale s(ScaleConfig{});
    ASSERT_TRUE(s.Ok);
    EXPECT_TRUE(s.Link.Finish(1234, 1));
    EXPECT_EQ(s.Engine.Stats().Finishes, 1); // answered at once: one attempt
    EXPECT_EQ(s.Engine.Stats().FinishFlags, std::vector<int>{1});
    EXPECT_EQ(s.Engine.Stats().LastScaleNo, 1234);
}

TEST(ScaleUdp, UnansweredFinishIsSentThreeTimesAndStillSucceeds) {
    ScaleConfig config;
    config.Faults.SilentAfter = 0;
    UdpScale s(config);
    ASSERT_TRUE(s.Ok);
    EXPECT_TRUE(s.Link.Finish(1234, 0));
    EXPECT_EQ(s.Engine.Stats().Finishes, 3);
}

} // namespace

namespace {

// The link's own echo check, not a test double: the loopback address answers, a host name is
// refused without sending. Skipped where the system grants no echo socket.
TEST(ScaleUdpEcho, DefaultConnectPingsTheAddress) {
    scalebus::TVarnIBusComm link;
    link.SetLocalPort(0);
    link.SetIP(QStringLiteral("127.0.0.1"));
    if (!link.Connect(1234, true))
        GTEST_SKIP() << "no ICMP echo socket or loopback echo here";
    link.SetIP(QStringLiteral("localhost"));
    EXPECT_FALSE(link.Connect(1234, true));
}

} // namespace
