// The link over UDP: no bit-rate step, each answer releases the next request.

#include "link_test_support.h"

namespace {

class UdpLink : public LinkFixture {
protected:
    void Start(TEnumVarnCmd Cmd, const QString& File) {
        link.SetMode(tmTCPIP);
        link.SetIP(QStringLiteral("127.0.0.2"));
        link.EnumVarnCmd = Cmd;
        std::copy_n(WholeRequest().constData(), 5, link.RequestData.begin());
        link.RequestDataLen = 5;
        link.StopAfter = 0;
        link.BaudReady = false;
        link.RetriesLeft = 6;
        link.BeginSession(1, kBaudIndex115200, true);
        EXPECT_TRUE(udp->Writes.empty()) << "no H_SETBAUD over UDP";
        EXPECT_FALSE(link.BaudReady);
        EXPECT_EQ(link.SessionResult(), 0);
        ASSERT_TRUE(link.PrepareCommand(File));
        link.SendRequest();
    }
};

TEST_F(UdpLink, EachCompleteAnswerReleasesTheNextRequest) {
    Start(H_UPLOAD_Detail, FilePath("udp.hex"));
    EXPECT_TRUE(udp->IsOpen()) << "the session opens its socket";
    EXPECT_EQ(udp->EndpointValue, QStringLiteral("127.0.0.2"));
    EXPECT_TRUE(serial->Writes.empty());
    ASSERT_EQ(udp->Writes.size(), 1u);
    // The table was never reloaded with the session's address.
    EXPECT_EQ(udp->Writes[0].Bytes.left(7).toHex(' '), QByteArray("aa 00 00 00 01 80 10"));
    EXPECT_EQ(LastRequest().Sequence, 1);

    // The time-out in force is the link's AckTimeoutMs, not 0: ticks right after the
    // request are not expiries.
    for (int i = 0; i < 10; ++i)
        Advance(10);
    EXPECT_EQ(udp->Writes.size(), 1u);
    EXPECT_EQ(link.RetriesLeft, 6);

    QByteArray badCrc = EncodeFrame(Answer(0x80, 0x10, 1, PacketData(1)));
    badCrc[badCrc.size() - 2] = static_cast<char>(badCrc[badCrc.size() - 2] ^ 0xFF);
    QByteArray badHeader = EncodeFrame(Answer(0x80, 0x10, 1, PacketData(1)));
    badHeader[12] = static_cast<char>(badHeader[12] ^ 0x01);

    struct Step {
        const char* name;
        QByteArray datagram;
        std::size_t requestsAfter; // requests on the line afterwards
        int lastBlock;             // block of the last request
    };
    const Step steps[] = {
        {"packet 1", EncodeFrame(Answer(0x80, 0x10, 1, PacketData(1))), 2, 1},
        {"packet 2 with a bad CRC", badCrc, 2, 1},
        {"packet 2 with a bad header checksum", badHeader, 2, 1},
        {"packet 2", EncodeFrame(Answer(0x90, 0x10, 2, PacketData(2))), 3, 2},
        {"a late copy of packet 2", EncodeFrame(Answer(0x90, 0x10, 2, PacketData(2))), 3, 2},
        {"packet 3, the last", EncodeFrame(Answer(0x80, 0x10, 3, PacketData(3, true))), 3, 2},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        udp->Deliver(s.datagram);
        EXPECT_EQ(udp->Writes.size(), s.requestsAfter);
        EXPECT_EQ(LastRequest().Param2, s.lastBlock);
    }
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(ReadFile(FilePath("udp.hex")), PacketData(1) + PacketData(2) + PacketData(3, true));
}

TEST_F(UdpLink, SilenceRetransmitsAndFailsAfterTheRetries) {
    link.AckTimeoutMs = 3000;
    Start(H_UPLOAD_Summary, FilePath("quiet.hex"));
    const QByteArray request = udp->Writes.back().Bytes;
    for (int expiry = 1; expiry <= 5; ++expiry) {
        Advance(2999);
        EXPECT_EQ(udp->Writes.size(), static_cast<std::size_t>(expiry));
        Advance(1);
        EXPECT_EQ(udp->Writes.back().Bytes, request);
    }
    EXPECT_EQ(udp->Writes.size(), 6u);
    Advance(3000);
    EXPECT_EQ(link.SessionResult(), 2);
    EXPECT_EQ(udp->Writes.size(), 6u);
    EXPECT_FALSE(link.OutputFile().isOpen());
}

TEST_F(UdpLink, EpromBlocksArriveWithoutASequenceCheckStep) {
    Start(H_UPLOAD_EPROM, FilePath("eprom-udp.hex"));
    QByteArray expected;
    for (int k = 0; k <= 10; ++k) {
        ASSERT_EQ(udp->Writes.size(), static_cast<std::size_t>(k + 1));
        const DeviceFrame req = LastRequest();
        EXPECT_EQ(req.Class, 0x83);
        EXPECT_EQ(req.Param1 | (req.Param2 << 8), 2038 + k);
        const QByteArray data = PacketData(k);
        udp->Deliver(EncodeFrame(Answer(0x83, 0x00, req.Sequence, data)));
        if (k < 10)
            expected += data;
    }
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(ReadFile(FilePath("eprom-udp.hex")), expected);
    EXPECT_EQ(steps, 10);
}

} // namespace

namespace {

TEST_F(UdpLink, ASocketThatDoesNotOpenIsReportedOnceAndOnlyForTheDatagramLine) {
    udp->FailOpen = true;
    serial->FailOpen = true;
    link.SetMode(tmTCPIP);
    link.SetIP(QStringLiteral("127.0.0.2"));
    link.EnumVarnCmd = H_UPLOAD_Detail;
    link.BeginSession(1, kBaudIndex115200, true);
    EXPECT_EQ(udp->Opens, 1);
    EXPECT_EQ(statuses,
              std::vector<QString>{QStringLiteral("Open UDP 127.0.0.2 fail: no such port")});

    // A serial line is opened, and its failure reported, by its owner: the link stays quiet.
    statuses.clear();
    EXPECT_FALSE(serial->Open());
    EXPECT_TRUE(statuses.empty());
}

} // namespace
