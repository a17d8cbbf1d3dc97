// Lines that fail the link in ways no time-out should have to cover: a line that hands every
// request back, noise that passes for a frame header and claims thousands of data bytes, and a
// line that hangs up mid-upload.

#include "link/status_texts.h"
#include "link_test_support.h"

namespace {

// A header that passes every check but claims DataLength bytes the device never sends.
QByteArray FalseHeader(std::uint16_t DataLength) {
    QByteArray h = EncodeFrame(Answer(0x90, 0x10, 0x33)).left(kFrameHeaderSize);
    h[10] = static_cast<char>(DataLength & 0xFF);
    h[11] = static_cast<char>(DataLength >> 8);
    h[12] = static_cast<char>(HeaderChecksum(reinterpret_cast<const std::uint8_t*>(h.data())));
    return h;
}

bool StartsWith(const std::vector<QString>& Texts, const QString& Prefix) {
    return std::any_of(Texts.begin(), Texts.end(),
                       [&](const QString& t) { return t.startsWith(Prefix); });
}

class LineFaults : public LinkFixture {
protected:
    void StartUdpUpload(const QString& File) {
        link.SetMode(tmTCPIP);
        link.SetIP(QStringLiteral("127.0.0.2"));
        link.EnumVarnCmd = H_UPLOAD_Detail;
        std::copy_n(WholeRequest().begin(), 5, link.RequestData.begin());
        link.RequestDataLen = 5;
        link.BeginSession(1, kBaudIndex115200, true);
        ASSERT_TRUE(link.PrepareCommand(File));
        link.SendRequest();
    }
    void Start(bool Udp, const QString& File) {
        if (Udp)
            StartUdpUpload(File);
        else
            StartSerialUpload(H_UPLOAD_Detail, File, WholeRequest());
    }
    QByteArray Packet(const QByteArray& Data) {
        return EncodeFrame(Answer(0x90, 0x10, LastRequest().Sequence, Data));
    }
};

// A loop-back in front of the device hands each request back before the answer. The echo is
// byte for byte the request just sent, with data (a Detail range) or without (a header request
// on a link that never ran a ranged upload): never the answer, so the block counter stays and
// no further request goes out until the device's packet comes.
TEST_F(LineFaults, EchoOfTheRequestJustSentIsNeverItsAnswer) {
    struct Case {
        const char* Name;
        TEnumVarnCmd Command;
        std::uint8_t Code;
        QByteArray RequestData;
    };
    const Case cases[] = {
        {"detail, with request data", H_UPLOAD_Detail, 0x10, WholeRequest()},
        {"header, without request data", H_UPLOAD_Header, 0x12, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        now += 60000;
        serial->Writes.clear();
        const QString file = FilePath("echo.hex");
        StartSerialUpload(c.Command, file, c.RequestData);
        for (int block = 0; block < 2; ++block) {
            const std::size_t sent = serial->Writes.size();
            serial->Deliver(serial->Writes.back().Bytes); // the echo
            EXPECT_EQ(serial->Writes.size(), sent) << "the echo released a request";
            EXPECT_EQ(link.BlockCounter, block);
            serial->Deliver(EncodeFrame(
                Answer(0x90, c.Code, LastRequest().Sequence, PacketData(block, block == 1))));
        }
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(ReadFile(file), PacketData(0) + PacketData(1, true));
    }
}

// Noise passes for a header claiming 4094 bytes and the real answer follows at once, inside
// what it claims. Once the missing bytes are overdue at the line's rate the header is given
// up and the answer found in what it collected, long before the request's time-out.
TEST_F(LineFaults, FalseHeaderIsGivenUpWhenItsRestIsOverdueAndTheAnswerInsideIsTaken) {
    struct Case {
        const char* Name;
        bool Udp;
        qint64 WireMs; // the missing bytes at the line's rate (UDP: counted at 115200)
        qint64 MarginMs;
    };
    // The false frame holds the 271 bytes of the answer; 3825 of its 4096 are missing.
    const qint64 missingMs = (3825 * 10 * 1000 + 115199) / 115200;
    const Case cases[] = {
        {"serial at 115200", false, missingMs, TBsPort::kFrameMarginMs},
        {"udp", true, missingMs, TBsPort::kDatagramFrameMarginMs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        statuses.clear();
        Start(c.Udp, FilePath("false.hex"));
        const std::size_t requests = WriteCount();
        const QByteArray one = PacketData(1);
        Line().Deliver(FalseHeader(4094) + Packet(one));
        EXPECT_EQ(link.BlockCounter, 0) << "swallowed at first";

        // The deadline is what the tick driver sleeps for: well within the time-out.
        const std::optional<qint64> due = link.MsUntilDue();
        ASSERT_TRUE(due);
        EXPECT_GE(*due, c.WireMs + c.MarginMs);
        EXPECT_LT(*due, qint64(link.AckTimeout));
        Advance(*due - 1);
        EXPECT_EQ(WriteCount(), requests) << "given up too early";
        EXPECT_FALSE(StartsWith(statuses, QStringLiteral("Frame incomplete")));
        Advance(1);
        EXPECT_TRUE(StartsWith(statuses, QStringLiteral("Frame incomplete")));
        EXPECT_EQ(link.BlockCounter, 1) << "the answer inside was taken";
        ASSERT_EQ(WriteCount(), requests + 1) << "the next request, not a retransmission";
        EXPECT_EQ(LastRequest().Param2, 1) << "block 1 is asked for";

        const QByteArray two = PacketData(2, true);
        Line().Deliver(Packet(two));
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(ReadFile(FilePath("false.hex")), one + two);
        EXPECT_FALSE(link.MsUntilDue()) << "an ended session sets nothing due";
        link.SetMode(tmRS232);
    }
}

// A real frame whose bytes come in with pauses is never given up while they keep coming: the
// deadline counts from the last bytes, not from the header.
TEST_F(LineFaults, SlowFrameIsKeptWhileItsBytesKeepComing) {
    StartSerialUpload(H_UPLOAD_Detail, FilePath("slow.hex"), WholeRequest());
    const QByteArray data = PacketData(1, true);
    const QByteArray wire = Packet(data);
    for (qsizetype pos = 0; pos < wire.size(); pos += 30) {
        serial->Deliver(wire.mid(pos, 30));
        if (pos + 30 < wire.size())
            Advance(TBsPort::kFrameMarginMs - 10);
    }
    EXPECT_FALSE(StartsWith(statuses, QStringLiteral("Frame incomplete")));
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(ReadFile(FilePath("slow.hex")), data);
}

// The line hangs up after two packets: the session ends at once, not after the retries; the
// packets stay in the file, the line is closed and nothing more is sent.
TEST_F(LineFaults, HangUpEndsTheSessionAtOnceAndKeepsWhatArrived) {
    StartSerialUpload(H_UPLOAD_Detail, FilePath("hang.hex"), WholeRequest());
    const QByteArray one = PacketData(1);
    const QByteArray two = PacketData(2);
    serial->Deliver(Packet(one));
    serial->Deliver(Packet(two));
    ASSERT_TRUE(serial->OnHangUp);
    serial->OnHangUp(QStringLiteral("Input/output error"));

    EXPECT_EQ(ends, std::vector<SessionEnd>{SessionEnd::Disconnected});
    EXPECT_EQ(link.SessionResult(), 2);
    EXPECT_EQ(link.FileState, 0);
    EXPECT_FALSE(link.OutputFile().isOpen());
    EXPECT_EQ(ReadFile(FilePath("hang.hex")), one + two);
    EXPECT_FALSE(serial->IsOpen());
    EXPECT_TRUE(HasStatus(LinkStatusText(LinkText::LineDisconnected, QStringLiteral("COM1"),
                                         QStringLiteral("Input/output error"))));
    const std::size_t writes = WriteCount();
    Advance(60000);
    EXPECT_EQ(WriteCount(), writes);
    EXPECT_EQ(ends.size(), 1u);
}

// A hang-up with no session running, or of the serial line while the link runs over UDP,
// closes that line and ends nothing.
TEST_F(LineFaults, HangUpOutsideTheRunningSessionOnlyClosesTheLine) {
    serial->OnHangUp(QStringLiteral("hung up"));
    EXPECT_FALSE(serial->IsOpen());
    EXPECT_TRUE(ends.empty());

    serial->Open();
    StartUdpUpload(FilePath("udp.hex"));
    serial->OnHangUp(QStringLiteral("hung up"));
    EXPECT_FALSE(serial->IsOpen());
    EXPECT_TRUE(ends.empty());
    EXPECT_TRUE(link.SessionOpen());
    const QByteArray data = PacketData(1, true);
    udp->Deliver(Packet(data));
    EXPECT_EQ(ends, std::vector<SessionEnd>{SessionEnd::Finished});
}

} // namespace
