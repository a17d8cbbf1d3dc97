// Report uploads of the command set over a serial line: clerk, hourly, X, Z, broadcast,
// financial and fiscal reports with their busy answers, thresholds and follow-up exchanges.

#include "link_test_support.h"

namespace {

using ReportExchanges = LinkFixture;

QByteArray ReportBytes(int Salt, int Size) {
    QByteArray d(Size, '\0');
    for (int i = 0; i < Size; ++i)
        d[i] = static_cast<char>((Salt * 17 + i * 5 + 3) & 0xFF);
    return d;
}

enum class FollowUp { ComData, None, PeriodFinancial };

struct ClerkCase {
    const char* name;
    TEnumVarnCmd cmd;
    std::uint8_t code;
    std::uint8_t byte7;
    int packetSize;
    int packets; // data packets until the threshold is reached
    QString busyText;
    FollowUp follow;
    QString finish;
};

// The reports that ask packet by packet: a busy answer leaves the session waiting for the
// retransmission; data packets are written until the threshold, then the follow-up runs.
TEST_F(ReportExchanges, ClerkLikeReportsRunToTheirFollowUp) {
    const ClerkCase cases[] = {
        {"clerk, 32-byte answers", H_UPLOAD_CLERKRPT, 0x07, 0, 32, 2,
         "Varn/Fiscal Printer is busy,can not upload cashier report", FollowUp::ComData,
         "Finish upload clerk report!"},
        {"hourly", H_UPLOAD_PERIOD, 0x09, 0, 64, 3,
         "Varn/Fiscal Printer is busy,can not upload hourly report", FollowUp::ComData,
         "Finish upload hourly report!"},
        {"Z report", H_UPLOAD_ZRPT, 0x06, 1, 256, 3,
         "Varn/Fiscal Printer is busy,can not clear Z report", FollowUp::None,
         "Finish upload Z report!"},
        {"X report, then the period financial report", H_UPLOAD_XRPT, 0x06, 0, 256, 3,
         "Varn/Fiscal Printer is busy,can not upload X report", FollowUp::PeriodFinancial,
         "Finish upload period financial affairs report!"},
    };
    for (const ClerkCase& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        results.clear();
        const QString file = FilePath(c.name);
        StartSerialUpload(c.cmd, file);
        EXPECT_EQ(link.RetriesLeft, link.LongRetries) << "long retries until the first data";

        DeviceFrame req = LastRequest();
        EXPECT_EQ(req.Class, 0x80);
        EXPECT_EQ(req.Code, c.code);
        EXPECT_EQ(req.Param1, c.byte7);
        EXPECT_TRUE(req.Data.isEmpty());

        // Busy: nothing is sent until the time-out repeats the same request.
        serial->Deliver(EncodeFrame(Answer(0x80, c.code, req.Sequence, {}, 0, 0xFF)));
        EXPECT_EQ(link.DeviceBusy, 1);
        EXPECT_TRUE(HasStatus(c.busyText));
        EXPECT_EQ(serial->Writes.size(), 2u);
        Advance(link.AckTimeoutMs);
        ASSERT_EQ(serial->Writes.size(), 3u);
        EXPECT_EQ(serial->Writes[2].Bytes, serial->Writes[1].Bytes);

        QByteArray expected;
        for (int k = 0; k < c.packets; ++k) {
            SCOPED_TRACE(k);
            req = LastRequest();
            ASSERT_EQ(req.Code, c.code);
            const QByteArray data = ReportBytes(k, c.packetSize);
            serial->Deliver(EncodeFrame(Answer(0x80, c.code, req.Sequence, data)));
            expected += data;
            if (k + 1 < c.packets) {
                EXPECT_EQ(link.RetriesLeft, TBsPort::kDefaultRetries);
                EXPECT_EQ(LastRequest().Sequence, static_cast<std::uint8_t>(req.Sequence + 1));
            }
        }
        const std::uint8_t lastSeq = req.Sequence;
        const std::size_t writesAtEnd = serial->Writes.size();

        switch (c.follow) {
        case FollowUp::ComData: {
            const DeviceFrame com = LastRequest();
            EXPECT_EQ(com.Class, 0x80);
            EXPECT_EQ(com.Code, 0x08);
            EXPECT_EQ(com.Sequence, static_cast<std::uint8_t>(lastSeq + 2));
            EXPECT_EQ(link.CurrentCommand, H_UPLOAD_COMDATA);
            EXPECT_NE(link.SessionResult(), 3);
            serial->Deliver(EncodeFrame(Answer(0x80, 0x08, com.Sequence))); // no data: ignored
            EXPECT_EQ(link.LinkState, 'L');
            const QByteArray comData = ReportBytes(99, 40);
            serial->Deliver(EncodeFrame(Answer(0x80, 0x08, com.Sequence, comData)));
            expected += comData;
            EXPECT_EQ(serial->Writes.size(), writesAtEnd);
            break;
        }
        case FollowUp::None:
            EXPECT_EQ(serial->Writes.size(), writesAtEnd) << "no request after the end";
            break;
        case FollowUp::PeriodFinancial: {
            EXPECT_EQ(link.CurrentCommand, H_UPLOAD_PFIN);
            EXPECT_EQ(link.EnumVarnCmd, H_UPLOAD_PFIN);
            EXPECT_EQ(link.SessionResult(), 1);
            // The device sends the period report on its own, numbering on from the X report.
            for (int k = 0; k < 3; ++k) {
                const QByteArray data = ReportBytes(50 + k, 100);
                serial->Deliver(
                    EncodeFrame(Answer(0x80, 0x08, static_cast<std::uint8_t>(lastSeq + k), data)));
                expected += data;
            }
            EXPECT_EQ(serial->Writes.size(), writesAtEnd) << "the period report is not asked for";
            break;
        }
        }
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(link.LinkState, '0');
        EXPECT_EQ(link.FileState, 0);
        EXPECT_FALSE(link.OutputFile().isOpen());
        EXPECT_EQ(statuses.back(), c.finish);
        EXPECT_EQ(link.FinishText, c.finish);
        EXPECT_EQ(ReadFile(file), expected);
    }
}

struct EmptyAnswerCase {
    const char* name;
    TEnumVarnCmd cmd;
    std::uint8_t code;
    std::uint8_t byte8;
    int result;
    QString status; // empty: none expected
};

// An answer without data that is not a busy answer ends the report: normally as finished,
// for a Z report with the device's error 94 as failed.
TEST_F(ReportExchanges, EmptyAnswerEndsTheReport) {
    const EmptyAnswerCase cases[] = {
        {"clerk, nothing more", H_UPLOAD_CLERKRPT, 0x07, 0x00, 3, {}},
        {"hourly, nothing more", H_UPLOAD_PERIOD, 0x09, 0x01, 3, {}},
        {"Z report, nothing more", H_UPLOAD_ZRPT, 0x06, 0x00, 3, "Finish upload Z report!"},
        {"Z report, error 94", H_UPLOAD_ZRPT, 0x06, 0xFE, 2,
         "Can not upload Z report.(Ecr Error 94)"},
    };
    for (const EmptyAnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        const QString file = FilePath(c.name);
        StartSerialUpload(c.cmd, file);
        const QByteArray first = ReportBytes(1, 20);
        serial->Deliver(EncodeFrame(Answer(0x80, c.code, LastRequest().Sequence, first)));
        ASSERT_EQ(serial->Writes.size(), 3u);
        serial->Deliver(EncodeFrame(Answer(0x80, c.code, LastRequest().Sequence, {}, 0, c.byte8)));
        EXPECT_EQ(link.SessionResult(), c.result);
        EXPECT_EQ(link.LinkState, '0');
        EXPECT_EQ(link.RequestPending, -1);
        EXPECT_EQ(link.DeviceBusy, 0);
        EXPECT_FALSE(link.OutputFile().isOpen());
        EXPECT_EQ(ReadFile(file), first);
        if (!c.status.isEmpty()) {
            EXPECT_TRUE(HasStatus(c.status));
        }
        Advance(60000);
        EXPECT_EQ(serial->Writes.size(), 3u) << "nothing is sent after the end";
    }
}

TEST_F(ReportExchanges, BusyDeviceFailsOnceTheLongRetriesAreUsedUp) {
    StartSerialUpload(H_UPLOAD_CLERKRPT, FilePath("busy.hex"));
    const DeviceFrame req = LastRequest();
    int expiries = 0;
    while (link.SessionResult() != 2 && expiries < 200) {
        serial->Deliver(EncodeFrame(Answer(0x80, 0x07, req.Sequence, {}, 0, 0xFF)));
        Advance(link.AckTimeoutMs);
        ++expiries;
    }
    EXPECT_EQ(expiries, link.LongRetries);
    EXPECT_EQ(link.SessionResult(), 2);
    EXPECT_FALSE(link.OutputFile().isOpen());
    // Every retransmission repeated the one request.
    for (std::size_t i = 2; i < serial->Writes.size(); ++i)
        EXPECT_EQ(serial->Writes[i].Bytes, serial->Writes[1].Bytes) << i;
}

struct StreamCase {
    const char* name;
    TEnumVarnCmd cmd;
    std::uint8_t code;
    bool asks; // has a request of its own
    int packetSize;
    int packets;
    QString finish;
};

// Broadcast and financial reports count the bytes of every packet; the ones without a
// request take what the device sends after the bit-rate agreement.
TEST_F(ReportExchanges, CountedReportsEndAtTheirThreshold) {
    const StreamCase cases[] = {
        {"broadcast", H_UPLOAD_BC, 0x01, true, 3, 1, "Finish upload broadcast result data!"},
        {"broadcast, two short packets", H_UPLOAD_BC, 0x01, true, 2, 2,
         "Finish upload broadcast result data!"},
        {"financial", H_UPLOAD_FIN, 0x06, false, 100, 5, "Finish upload financial affairs report!"},
        {"period department", H_UPLOAD_PDEP, 0x07, false, 8, 2,
         "Finish upload period department report!"},
        {"period financial", H_UPLOAD_PFIN, 0x08, false, 145, 2,
         "Finish upload period financial affairs report!"},
    };
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        const QString file = FilePath(c.name);
        link.EnumVarnCmd = c.cmd;
        link.RetriesLeft = 6;
        link.BaudReady = false;
        link.BeginSession(1, kBaudIndex115200, true);
        ASSERT_TRUE(link.PrepareCommand(file));
        serial->Deliver(Ack(0));
        Advance(TBsPort::kBaudSettleMs);
        EXPECT_EQ(link.CurrentCommand, c.cmd);
        ASSERT_EQ(serial->Writes.size(), c.asks ? 2u : 1u);
        QByteArray expected;
        for (int k = 0; k < c.packets; ++k) {
            SCOPED_TRACE(k);
            std::uint8_t seq = link.SequenceByte(c.cmd);
            if (c.asks) {
                const DeviceFrame req = LastRequest();
                EXPECT_EQ(req.Code, c.code);
                EXPECT_EQ(req.Param1, 0);
                EXPECT_EQ(req.Param2, 0);
                EXPECT_TRUE(req.Data.isEmpty());
                seq = req.Sequence;
            }
            const QByteArray data = ReportBytes(k, c.packetSize);
            serial->Deliver(EncodeFrame(Answer(0x80, c.code, seq, data)));
            expected += data;
        }
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(link.LinkState, '0');
        EXPECT_EQ(statuses.back(), c.finish);
        EXPECT_EQ(ReadFile(file), expected);
    }
}

struct FiscalCase {
    const char* name;
    std::uint8_t mode;
    QByteArray requestData;
    bool lastHasData;
};

TEST_F(ReportExchanges, FiscalReportSendsItsParametersAndEndsOnMark15) {
    const QByteArray params = QByteArray::fromHex("240101241231");
    const FiscalCase cases[] = {
        {"mode 0: four bytes", 0, params.left(4), true},
        {"mode 1: six bytes", 1, params, false},
        {"mode 2: no data", 2, {}, true},
    };
    for (const FiscalCase& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        link.RequestData.fill(0x77); // leftovers must not travel
        link.FiscalMode = c.mode;
        std::copy(params.begin(), params.end(), link.FiscalParams.begin());
        const QString file = FilePath(c.name);
        StartSerialUpload(H_UPLOAD_FISCAL, file);
        DeviceFrame req = LastRequest();
        EXPECT_EQ(req.Code, 0x0A);
        EXPECT_EQ(req.Param2, 0);
        EXPECT_EQ(req.Data, c.requestData);

        const QByteArray first = ReportBytes(1, 200);
        serial->Deliver(EncodeFrame(Answer(0x80, 0x0A, req.Sequence, first)));
        ASSERT_EQ(serial->Writes.size(), 3u);
        req = LastRequest();
        EXPECT_EQ(req.Param2, 1) << "the continuation is asked for";
        EXPECT_EQ(req.Data, c.requestData);

        const QByteArray last = c.lastHasData ? ReportBytes(2, 50) : QByteArray();
        serial->Deliver(EncodeFrame(Answer(0x80, 0x0A, req.Sequence, last, 15)));
        const DeviceFrame com = LastRequest();
        ASSERT_EQ(com.Code, 0x08) << "H_UPLOAD_COMDATA follows";
        const QByteArray comData = ReportBytes(3, 10);
        serial->Deliver(EncodeFrame(Answer(0x80, 0x08, com.Sequence, comData)));
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(statuses.back(), QStringLiteral("Finish upload FISCAL report!"));
        EXPECT_EQ(ReadFile(file), first + last + comData);
    }
}

// After the data of a trade upload the device is told the task is done; the session reports
// 5 in between and 3 once the device acknowledges.
TEST_F(ReportExchanges, SecondFiscalReportOverUdpAsksForItsFirstPacket) {
    link.SetMode(tmTCPIP);
    udp->Open();
    link.FiscalMode = 2;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        link.EnumVarnCmd = H_UPLOAD_FISCAL;
        link.BeginSession(1, kBaudIndex115200, true);
        ASSERT_TRUE(link.PrepareCommand(FilePath("fiscal.hex")));
        link.SendRequest();
        DeviceFrame req = LastRequest();
        EXPECT_EQ(req.Param2, 0) << "a new report";
        udp->Deliver(EncodeFrame(Answer(0x80, 0x0A, req.Sequence, ReportBytes(1, 30))));
        req = LastRequest();
        EXPECT_EQ(req.Param2, 1) << "its continuation";
        udp->Deliver(EncodeFrame(Answer(0x80, 0x0A, req.Sequence, ReportBytes(2, 30), 15)));
        req = LastRequest();
        ASSERT_EQ(req.Code, 0x08);
        udp->Deliver(EncodeFrame(Answer(0x80, 0x08, req.Sequence, ReportBytes(3, 5))));
        EXPECT_EQ(link.SessionResult(), 3);
    }
}

TEST_F(ReportExchanges, TradeFollowUpReportsFiveThenAcknowledges) {
    const QString file = FilePath("trade.hex");
    StartSerialUpload(H_UPLOAD_CLERKRPT, file);
    serial->Deliver(EncodeFrame(Answer(0x80, 0x07, LastRequest().Sequence, ReportBytes(1, 64))));
    const DeviceFrame com = LastRequest();
    ASSERT_EQ(com.Code, 0x08);
    link.EnumVarnCmd = H_UPLOAD_TRADE; // the running upload is the trade upload
    serial->Deliver(EncodeFrame(Answer(0x80, 0x08, com.Sequence, ReportBytes(2, 8))));
    EXPECT_EQ(results.back(), 5);
    EXPECT_FALSE(link.OutputFile().isOpen());
    const DeviceFrame done = LastRequest();
    EXPECT_EQ(done.Class, 0x90);
    EXPECT_EQ(done.Code, 0x0C);
    EXPECT_EQ(link.LinkState, 'L');
    serial->Deliver(Ack(static_cast<std::uint8_t>(done.Sequence + 1))); // not its acknowledge
    EXPECT_EQ(link.SessionResult(), 5);
    serial->Deliver(Ack(done.Sequence));
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(link.LinkState, '0');
    EXPECT_EQ(link.StatusText, QStringLiteral("Finish upload clerk report!"));
}

TEST_F(ReportExchanges, TaskDoneCommandEndsAtItsAcknowledge) {
    link.EnumVarnCmd = H_DN_UpTrTaskOk;
    link.RetriesLeft = 6;
    link.BeginSession(1, kBaudIndex115200, true);
    ASSERT_TRUE(link.PrepareCommand(QString()));
    serial->Deliver(Ack(0));
    Advance(TBsPort::kBaudSettleMs);
    ASSERT_EQ(serial->Writes.size(), 2u);
    const DeviceFrame done = LastRequest();
    EXPECT_EQ(done.Class, 0x90);
    EXPECT_EQ(done.Code, 0x0C);
    serial->Deliver(Ack(done.Sequence));
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(link.LinkState, '0');
}

} // namespace
