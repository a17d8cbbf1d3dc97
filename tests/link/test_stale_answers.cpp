// Answers left over from an earlier exchange: a late copy of a final packet, a frame cut off
// when its device stopped. Neither may change the next exchange's file or swallow its answers.

#include "link_test_support.h"

namespace {

class StaleAnswers : public LinkFixture {
protected:
    void StartUdp(TEnumVarnCmd Cmd, const QString& File) {
        link.SetMode(tmTCPIP);
        link.SetIP(QStringLiteral("127.0.0.2"));
        link.EnumVarnCmd = Cmd;
        link.RequestDataLen = 0;
        link.StopAfter = 0;
        link.BaudReady = false;
        link.RetriesLeft = 6;
        link.BeginSession(1, kBaudIndex115200, true);
        ASSERT_TRUE(link.PrepareCommand(File));
        link.SendRequest();
    }
};

// Two uploads in a row on one UDP link: a header upload and the footer upload of a change
// report, or one Detail upload after another. The device sent the first upload's final packet
// twice; the copy arrives once the second upload's first request is out.
TEST_F(StaleAnswers, LateCopyOfAnEarlierFinalPacketNeitherEndsNorFillsTheNextUpload) {
    struct Case {
        const char* Name;
        TEnumVarnCmd First;
        std::uint8_t FirstCode;
        int FirstBlocks;
        TEnumVarnCmd Second;
        std::uint8_t SecondCode;
    };
    const Case cases[] = {
        {"header, then footer", H_UPLOAD_Header, 0x12, 2, H_UPLOAD_Footer, 0x13},
        {"detail, then detail", H_UPLOAD_Detail, 0x10, 3, H_UPLOAD_Detail, 0x10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        now += 60000; // each case is an upload of its own, made a while after the one before
        StartUdp(c.First, FilePath("first.hex"));
        QByteArray last;
        for (int k = 1; k <= c.FirstBlocks; ++k) {
            last = EncodeFrame(Answer(0x90, c.FirstCode, LastRequest().Sequence,
                                      PacketData(k, k == c.FirstBlocks)));
            udp->Deliver(last);
        }
        ASSERT_EQ(link.SessionResult(), 3);

        StartUdp(c.Second, FilePath("second.hex"));
        // The copy is told apart by its sequence byte; one that carries the new request's
        // sequence byte cannot be told apart on the wire at all.
        ASSERT_NE(LastRequest().Sequence, DecodeWrite(last).Sequence);
        udp->Deliver(last); // the late copy
        EXPECT_EQ(link.SessionResult(), 1) << "the second upload goes on";
        const QByteArray one = PacketData(101);
        const QByteArray two = PacketData(102, true);
        udp->Deliver(EncodeFrame(Answer(0x90, c.SecondCode, LastRequest().Sequence, one)));
        udp->Deliver(EncodeFrame(Answer(0x90, c.SecondCode, LastRequest().Sequence, two)));
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(ReadFile(FilePath("second.hex")), one + two);
    }
}

// An answer cut off part-way (its device stopped sending) must not swallow the answers of the
// next session on the link, on either line.
TEST_F(StaleAnswers, FrameCutOffInAnEarlierSessionDoesNotSwallowTheNextAcknowledge) {
    const QByteArray cut = EncodeFrame(Answer(0x90, 0x10, 9, PacketData(1))).left(40);
    // Serial: the H_SETBAUD acknowledge of the next session is taken.
    serial->Deliver(cut);
    StartSerialUpload(H_UPLOAD_Detail, FilePath("serial.hex"), WholeRequest());
    EXPECT_TRUE(link.BaudReady);
    // UDP: the first packet of the next session is taken.
    udp->Deliver(cut);
    StartUdp(H_UPLOAD_Detail, FilePath("udp.hex"));
    const QByteArray data = PacketData(1, true);
    udp->Deliver(EncodeFrame(Answer(0x90, 0x10, LastRequest().Sequence, data)));
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(ReadFile(FilePath("udp.hex")), data);
}

// The device sent the header's one-block final packet twice, and the copy is still waiting on
// the line when the footer upload begins. The footer's first request carries the same sequence
// byte (each exchange counts from the device's value again), so only its arrival time tells
// the copy apart: whatever waits on the line when a session begins is dropped.
TEST_F(StaleAnswers, WhatWaitsOnTheLineWhenASessionBeginsIsDropped) {
    StartUdp(H_UPLOAD_Header, FilePath("header.hex"));
    const QByteArray header = PacketData(1, true);
    const QByteArray last = EncodeFrame(Answer(0x90, 0x12, LastRequest().Sequence, header));
    udp->Deliver(last);
    ASSERT_EQ(link.SessionResult(), 3);
    udp->Arrive(last);

    StartUdp(H_UPLOAD_Footer, FilePath("footer.hex"));
    ASSERT_EQ(LastRequest().Sequence, DecodeWrite(last).Sequence);
    udp->DeliverWaiting();
    EXPECT_EQ(link.SessionResult(), 1) << "the copy ended the footer upload";
    const QByteArray one = PacketData(201);
    const QByteArray two = PacketData(202, true);
    udp->Deliver(EncodeFrame(Answer(0x90, 0x13, LastRequest().Sequence, one)));
    udp->Deliver(EncodeFrame(Answer(0x90, 0x13, LastRequest().Sequence, two)));
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(ReadFile(FilePath("footer.hex")), one + two);
    EXPECT_EQ(ReadFile(FilePath("header.hex")), header);

    // A serial session drops what waits in the driver's queue before its H_SETBAUD goes out.
    link.SetMode(tmRS232);
    serial->Arrive(last);
    StartSerialUpload(H_UPLOAD_Detail, FilePath("serial.hex"), WholeRequest());
    EXPECT_TRUE(serial->Waiting.empty());
    EXPECT_EQ(serial->Discards, 1);
}

// The copy carries the new request's sequence byte: the header had two blocks, the footer's
// second request is out (its answer lost) when the header's final packet comes once more. On
// the wire it is that request's answer; only its bytes, those of a packet the header exchange
// accepted a moment ago, give it away. The footer waits for the true answer.
TEST_F(StaleAnswers, LateCopyWithTheNewRequestsSequenceByteIsToldApartByItsBytes) {
    link.AckTimeoutMs = 300;
    StartUdp(H_UPLOAD_Header, FilePath("header.hex"));
    QByteArray copy;
    for (int k = 1; k <= 2; ++k) {
        copy = EncodeFrame(Answer(0x90, 0x12, LastRequest().Sequence, PacketData(k, k == 2)));
        udp->Deliver(copy);
    }
    ASSERT_EQ(link.SessionResult(), 3);

    now += 100; // the pause between the exchanges
    StartUdp(H_UPLOAD_Footer, FilePath("footer.hex"));
    const QByteArray one = PacketData(201);
    udp->Deliver(EncodeFrame(Answer(0x90, 0x13, LastRequest().Sequence, one)));
    ASSERT_EQ(LastRequest().Sequence, DecodeWrite(copy).Sequence);
    const std::size_t sent = udp->Writes.size();
    now += 50;
    udp->Deliver(copy);
    EXPECT_EQ(link.SessionResult(), 1) << "the header's packet ended the footer";
    EXPECT_EQ(udp->Writes.size(), sent) << "the copy released another request";
    EXPECT_EQ(link.StatusText.left(13), QStringLiteral("Late copy of "));

    Advance(link.AckTimeoutMs); // the lost answer's time-out sends the request again
    ASSERT_EQ(udp->Writes.size(), sent + 1);
    const QByteArray two = PacketData(202, true);
    udp->Deliver(EncodeFrame(Answer(0x90, 0x13, LastRequest().Sequence, two)));
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(ReadFile(FilePath("footer.hex")), one + two);
}

// A packet that repeats the exchange before's is still the device's answer when it comes
// again after the request went out once more (blank areas read alike), when the earlier one
// is too old to have a copy still under way, or when another exchange came in between (the
// same upload made again). A packet whose request had been sent twice can have its second
// copy come about a time-out later, so it is watched for longer.
TEST_F(StaleAnswers, RepeatedBytesAreTakenOnceACopyCannotExplainThem) {
    struct Case {
        const char* Name;
        bool FirstResent;     // the first exchange's request timed out and went out again
        bool ExchangeBetween; // another exchange with other data came in between
        qint64 PauseMs;       // from the first exchange's end to the repeat's first answer
        bool IgnoredAtFirst;  // the repeat's first arrival waits for a retransmission
    };
    constexpr qint64 kAck = 2000;
    const Case cases[] = {
        {"at once: taken after the retransmission", false, false, 100, true},
        {"after the window: taken at once", false, false, TBsPort::kLateCopyWindowMs + 1, false},
        {"another exchange between: taken at once", false, true, 100, false},
        {"first request resent: watched two time-outs long", true, false, kAck, true},
        {"first request resent, after two time-outs: taken at once", true, false, 2 * kAck + 1,
         false},
    };
    link.AckTimeoutMs = kAck;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        now += 60000;
        const QByteArray blank = PacketData(0, true);
        StartUdp(H_UPLOAD_Header, FilePath("header.hex"));
        if (c.FirstResent)
            Advance(kAck);
        udp->Deliver(EncodeFrame(Answer(0x90, 0x12, LastRequest().Sequence, blank)));
        ASSERT_EQ(link.SessionResult(), 3);
        if (c.ExchangeBetween) {
            StartUdp(H_UPLOAD_Footer, FilePath("between.hex"));
            const QByteArray other = PacketData(7, true);
            udp->Deliver(EncodeFrame(Answer(0x90, 0x13, LastRequest().Sequence, other)));
            ASSERT_EQ(link.SessionResult(), 3);
        }

        now += c.PauseMs;
        StartUdp(H_UPLOAD_Footer, FilePath("footer.hex"));
        const QByteArray answer = EncodeFrame(Answer(0x90, 0x13, LastRequest().Sequence, blank));
        udp->Deliver(answer);
        EXPECT_EQ(link.SessionResult(), c.IgnoredAtFirst ? 1 : 3);
        if (c.IgnoredAtFirst) {
            Advance(kAck);
            udp->Deliver(answer);
            EXPECT_EQ(link.SessionResult(), 3);
        }
        EXPECT_EQ(ReadFile(FilePath("footer.hex")), blank);
    }
}

} // namespace
