// Link session over a serial line: bit-rate agreement, acknowledges, time-outs with
// retransmission, refusals, modem lines.

#include "link/fm_request.h"
#include "link_test_support.h"

#include <functional>

namespace {

using Session = LinkFixture;

TEST_F(Session, BitRateAttemptsAlternateAndFailAfterTheSixthExpiry) {
    // The owner's call: address 1, ask 115200, start at 9600, six attempts of 5 s.
    struct Attempt {
        int lineRate;
        std::uint8_t asked; // header byte 7: divisor of 115200
    };
    const Attempt attempts[] = {{9600, 1},   {115200, 1}, {9600, 12},
                                {115200, 1}, {9600, 12},  {115200, 1}};

    link.EnumVarnCmd = H_UPLOAD_Detail;
    link.RetriesLeft = 6;
    link.BeginSession(1, kBaudIndex115200, true);
    ASSERT_TRUE(link.PrepareCommand(FilePath("detail.hex")));
    link.SendRequest(); // nothing to send before the rate is agreed
    EXPECT_TRUE(HasStatus(QStringLiteral("Set baudrate: try baudrate: 7")));
    EXPECT_EQ(serial->Writes.front().Bytes.toHex(' '),
              QByteArray("aa 01 00 00 00 80 00 01 00 00 00 00 2c"));

    const qint64 start = now;
    for (std::size_t i = 0; i < std::size(attempts); ++i) {
        SCOPED_TRACE(i + 1);
        ASSERT_EQ(serial->Writes.size(), i + 1);
        const FakeTransport::Written& w = serial->Writes.back();
        EXPECT_EQ(w.BitRate, attempts[i].lineRate);
        const DeviceFrame f = DecodeWrite(w.Bytes);
        EXPECT_EQ(f.Class, 0x80);
        EXPECT_EQ(f.Code, 0x00);
        EXPECT_EQ(f.Param1, attempts[i].asked);
        EXPECT_EQ(f.Sequence, 0);
        EXPECT_EQ(f.Address, 1u);
        EXPECT_TRUE(f.Data.isEmpty());
        EXPECT_EQ(link.SessionResult(), 0) << "each attempt restarts the session";
        Advance(4999);
        EXPECT_EQ(serial->Writes.size(), i + 1) << "no retry before the time-out";
        Advance(1);
    }
    EXPECT_EQ(serial->Writes.size(), std::size(attempts)) << "no seventh attempt";
    EXPECT_EQ(now - start, 30000);
    EXPECT_EQ(link.SessionResult(), 2);
    EXPECT_EQ(link.LinkState, '0');
    EXPECT_TRUE(HasStatus(QStringLiteral("Varn Command: catch ack fail")));
    EXPECT_TRUE(HasStatus(QStringLiteral("Elapse 5000 ms, try again: 5")));
    EXPECT_FALSE(link.OutputFile().isOpen());
    EXPECT_EQ(link.FileState, 0);
    EXPECT_FALSE(link.BaudReady);
    // Ticks after the failure send nothing more.
    Advance(60000);
    EXPECT_EQ(serial->Writes.size(), std::size(attempts));
}

TEST_F(Session, AcknowledgeAgreesTheRateOnlyWithTheMatchingSequence) {
    struct Case {
        const char* name;
        int ackAttempt;     // attempt (1-based) whose H_SETBAUD gets the acknowledge
        std::uint8_t seq;   // sequence byte of the acknowledge
        bool agreed;        // the link then runs at
        int lineRate;       //   this rate
        bool firstDetailAt; // and sends the first Detail request
    };
    const Case cases[] = {
        {"first attempt, right sequence", 1, 0, true, 115200, true},
        {"first attempt, wrong sequence", 1, 1, false, 0, false},
        {"third attempt (9600 asking 9600)", 3, 0, true, 9600, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        link.EnumVarnCmd = H_UPLOAD_Detail;
        link.BaudReady = false;
        link.RetriesLeft = 6;
        link.BeginSession(1, kBaudIndex115200, true);
        ASSERT_TRUE(link.PrepareCommand(FilePath("a.hex")));
        for (int a = 1; a < c.ackAttempt; ++a)
            Advance(5000);
        const std::size_t before = serial->Writes.size();
        serial->Deliver(Ack(c.seq));
        Advance(TBsPort::kBaudSettleMs);
        EXPECT_EQ(link.BaudReady, c.agreed);
        if (c.agreed) {
            EXPECT_EQ(serial->BitRate, c.lineRate);
            EXPECT_EQ(link.SessionResult(), 1);
            EXPECT_EQ(link.CurrentCommand, H_UPLOAD_Detail);
            EXPECT_EQ(link.RetriesLeft, 8);
            EXPECT_EQ(link.AckTimeout, 5000u);
            ASSERT_EQ(serial->Writes.size(), before + 1);
            const DeviceFrame req = LastRequest();
            EXPECT_EQ(req.Code, 0x10);
            EXPECT_EQ(req.Sequence, 1);
            EXPECT_EQ(serial->Writes.back().BitRate, c.lineRate);
        } else {
            // Ignored: the attempt times out as if nothing had come.
            EXPECT_EQ(serial->Writes.size(), before);
            EXPECT_EQ(link.CurrentCommand, H_SETBAUD);
            Advance(5000 - TBsPort::kBaudSettleMs);
            EXPECT_EQ(serial->Writes.size(), before + 1);
            EXPECT_EQ(serial->Writes.back().BitRate, 115200);
        }
        link.OutputFile().close();
    }
}

TEST_F(Session, FirstRequestWaitsForTheDeviceToSwitchItsLine) {
    // The device switches its line after acknowledging; the first request follows 25 ms
    // later, also when the agreement needed retries that took longer than a time-out.
    struct Case {
        int ackAttempt;
        qint64 ackDelay; // ms into that attempt
    };
    for (const Case c : {Case{1, 0}, Case{3, 0}, Case{1, 4990}}) {
        SCOPED_TRACE(testing::Message() << c.ackAttempt << " after " << c.ackDelay);
        const int ackAttempt = c.ackAttempt;
        serial->Writes.clear();
        link.EnumVarnCmd = H_UPLOAD_Summary;
        link.BaudReady = false;
        link.RetriesLeft = 6;
        link.BeginSession(1, kBaudIndex115200, true);
        ASSERT_TRUE(link.PrepareCommand(FilePath("s.hex")));
        for (int a = 1; a < ackAttempt; ++a)
            Advance(5000);
        const std::size_t attempts = serial->Writes.size();
        ASSERT_EQ(attempts, static_cast<std::size_t>(ackAttempt));
        Advance(c.ackDelay);
        serial->Deliver(Ack(0));
        Advance(TBsPort::kBaudSettleMs - 1);
        EXPECT_EQ(serial->Writes.size(), attempts) << "nothing while the line settles";
        Advance(1);
        ASSERT_EQ(serial->Writes.size(), attempts + 1);
        EXPECT_EQ(LastRequest().Code, 0x11);
        // The first request's time-out runs from its sending.
        Advance(4999);
        EXPECT_EQ(serial->Writes.size(), attempts + 1);
        Advance(1);
        EXPECT_EQ(serial->Writes.size(), attempts + 2);
        EXPECT_EQ(LastRequest().Code, 0x11);
        link.OutputFile().close();
    }
}

TEST_F(Session, TimeOutsRetransmitTheSameFrameAndFailAfterEightExpiries) {
    struct Case {
        const char* name;
        int expiriesBeforePacket; // -1: no packet at all
    };
    const Case cases[] = {{"silent device", -1}, {"one packet after three expiries", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        serial->Open();
        StartSerialUpload(H_UPLOAD_Detail, FilePath("t.hex"), WholeRequest());
        QByteArray request = serial->Writes.back().Bytes;
        std::uint8_t seq = DecodeWrite(request).Sequence;

        if (c.expiriesBeforePacket >= 0) {
            for (int i = 0; i < c.expiriesBeforePacket; ++i)
                Advance(5000);
            serial->Deliver(EncodeFrame(Answer(0x90, 0x10, seq, PacketData(1))));
            request = serial->Writes.back().Bytes; // the next request, sent at once
            seq = DecodeWrite(request).Sequence;
            EXPECT_EQ(link.RetriesLeft, 8) << "an accepted packet restarts the count";
        }
        const qint64 lastProgress = now;
        const std::size_t before = serial->Writes.size();
        for (int expiry = 1; expiry <= 8; ++expiry) {
            SCOPED_TRACE(expiry);
            Advance(4999);
            EXPECT_EQ(serial->Writes.size(), before + expiry - 1);
            Advance(1);
            const QString delay = QStringLiteral("延迟 5000 毫秒, 再试: %1 次").arg(9 - expiry);
            if (expiry < 8) {
                EXPECT_EQ(statuses.back(), delay);
                ASSERT_EQ(serial->Writes.size(), before + expiry);
                EXPECT_EQ(serial->Writes.back().Bytes, request) << "same header, sequence, data";
                EXPECT_EQ(link.SessionResult(), 1);
            }
        }
        EXPECT_EQ(serial->Writes.size(), before + 7) << "seven retransmissions";
        EXPECT_EQ(now - lastProgress, 40000);
        EXPECT_EQ(link.SessionResult(), 2);
        ASSERT_GE(statuses.size(), 2u);
        EXPECT_EQ(statuses[statuses.size() - 2], QStringLiteral("延迟 5000 毫秒, 再试: 1 次"));
        EXPECT_EQ(statuses.back(), QStringLiteral("VARN 命令: ack 失败"));
        EXPECT_FALSE(link.OutputFile().isOpen());
        EXPECT_EQ(link.FileState, 0);
        EXPECT_FALSE(serial->IsOpen()) << "the line is closed after the final time-out";
        EXPECT_EQ(ReadFile(FilePath("t.hex")).size(), c.expiriesBeforePacket >= 0 ? 256 : 0);
    }
}

TEST_F(Session, RefusalResendsOnceAndFailsOnlyTheUploadCommands) {
    // A refused Detail request ends the upload at once; a refused H_SETBAUD does not.
    StartSerialUpload(H_UPLOAD_Detail, FilePath("r.hex"), WholeRequest());
    const QByteArray request = serial->Writes.back().Bytes;
    serial->Deliver(Refusal(DecodeWrite(request).Sequence));

    ASSERT_EQ(serial->Writes.size(), 3u) << "exactly one resend";
    EXPECT_EQ(serial->Writes.back().Bytes, request);
    EXPECT_TRUE(HasStatus(QStringLiteral("Receive VARN answer: command err")));
    EXPECT_EQ(link.SessionResult(), 2);
    EXPECT_EQ(refusedEvents, 1);
    EXPECT_EQ(stopRequests, 1);
    EXPECT_EQ(link.RequestPending, -1);
    EXPECT_EQ(link.LinkState, '0');
    EXPECT_EQ(link.FileState, 0);
    EXPECT_TRUE(link.OutputFile().isOpen()) << "left for the owner to close";
    // The answer to the resend finds no running upload and is not written.
    serial->Deliver(EncodeFrame(Answer(0x90, 0x10, DecodeWrite(request).Sequence, PacketData(1))));
    Advance(60000);
    EXPECT_EQ(serial->Writes.size(), 3u);
    EXPECT_EQ(link.SessionResult(), 2);
    link.OutputFile().close();
    EXPECT_EQ(ReadFile(FilePath("r.hex")).size(), 0);

    // H_SETBAUD refused: one resend, the negotiation goes on.
    serial->Writes.clear();
    refusedEvents = 0;
    link.EnumVarnCmd = H_UPLOAD_Detail;
    link.RetriesLeft = 6;
    link.BeginSession(1, kBaudIndex115200, true);
    ASSERT_TRUE(link.PrepareCommand(FilePath("r2.hex")));
    serial->Deliver(Refusal(0));
    ASSERT_EQ(serial->Writes.size(), 2u);
    EXPECT_EQ(serial->Writes[1].Bytes, serial->Writes[0].Bytes);
    EXPECT_EQ(link.SessionResult(), 0);
    EXPECT_EQ(refusedEvents, 0);
    EXPECT_EQ(link.LinkState, 'L');
}

TEST_F(Session, DataAcknowledgeWithWrongSequenceChangesNothing) {
    StartSerialUpload(H_UPLOAD_Detail, FilePath("w.hex"), WholeRequest());
    const int checked = link.CheckedCommand;
    const int pending = link.RequestPending;
    serial->Deliver(Ack(static_cast<std::uint8_t>(LastRequest().Sequence + 5)));
    EXPECT_EQ(link.CheckedCommand, checked);
    EXPECT_EQ(link.RequestPending, pending);
    EXPECT_EQ(link.SessionResult(), 1);
    EXPECT_EQ(serial->Writes.size(), 2u);
}

TEST_F(Session, ModemLinesAndStopAfterTheBitRate) {
    // A modem line keeps its rate on the acknowledge and never retries H_SETBAUD.
    link.IsModem = true;
    link.EnumVarnCmd = H_UPLOAD_Detail;
    link.RetriesLeft = 6;
    link.BeginSession(1, kBaudIndex115200, true);
    ASSERT_TRUE(link.PrepareCommand(FilePath("m.hex")));
    Advance(60000);
    EXPECT_EQ(serial->Writes.size(), 1u) << "no retry on a modem line";
    serial->Deliver(Ack(0));
    Advance(TBsPort::kBaudSettleMs);
    EXPECT_TRUE(link.BaudReady);
    EXPECT_EQ(serial->BitRate, 9600);
    EXPECT_EQ(serial->Writes.size(), 2u);
    link.OutputFile().close();

    // Exactly CTS and DSR on (no ring, no carrier) drops the agreement; other states keep it.
    struct Lines {
        std::uint32_t status;
        bool keepsAgreement;
    };
    const Lines lines[] = {{0x30, false}, {0x10, true}, {0xB0, true}, {0x00, true}};
    for (const Lines& l : lines) {
        link.BaudReady = true;
        serial->Modem = l.status;
        serial->OnModemLines(8);
        EXPECT_EQ(link.BaudReady, l.keepsAgreement) << std::hex << l.status;
    }

    // StopAfter 2: the session ends with the agreed rate.
    link.IsModem = false;
    link.StopAfter = 2;
    link.BaudReady = false;
    link.RetriesLeft = 6;
    link.EnumVarnCmd = H_UPLOAD_Detail;
    const std::size_t before = serial->Writes.size();
    link.BeginSession(1, kBaudIndex115200, true);
    serial->Deliver(Ack(0));
    Advance(TBsPort::kBaudSettleMs);
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(link.LinkState, '0');
    EXPECT_EQ(serial->BitRate, 115200);
    EXPECT_TRUE(HasStatus(QStringLiteral("Set Baudrate successful.")));
    EXPECT_EQ(serial->Writes.size(), before + 1) << "only H_SETBAUD";
}

TEST_F(Session, DamagedFramesAreReportedAndTraced) {
    std::vector<std::pair<FrameDirection, QByteArray>> trace;
    link.OnFrameTrace = [&](FrameDirection d, const QByteArray& b) { trace.emplace_back(d, b); };

    QByteArray badCrc = EncodeFrame(Answer(0x90, 0x10, 1, "abc"));
    badCrc[badCrc.size() - 1] = static_cast<char>(0x9C); // CRC D6 9D sent as D6 9C
    QByteArray badHeader = EncodeFrame(Answer(0x80, 0x0E, 0));
    badHeader[12] = static_cast<char>(badHeader[12] + 1);
    QByteArray oversize = EncodeFrame(Answer(0x90, 0x10, 1));
    oversize[10] = static_cast<char>(0xFF);
    oversize[11] = static_cast<char>(0x0F);
    oversize[12] = static_cast<char>(
        HeaderChecksum(reinterpret_cast<const std::uint8_t*>(oversize.constData())));

    struct Case {
        QByteArray wire;
        QString status;
    };
    const Case cases[] = {
        {badCrc, QStringLiteral("Bad DataPack data len=3 CRCValue:9dd6<>d69c")},
        {badHeader, QStringLiteral("Bad DataPack command ChkSum")},
        {oversize, QStringLiteral("Bad DataPack data len=4095 exceeds buffer 4094")},
    };
    for (const Case& c : cases) {
        statuses.clear();
        trace.clear();
        serial->Deliver(c.wire, {4});
        EXPECT_EQ(statuses, std::vector<QString>{c.status});
        ASSERT_EQ(trace.size(), 1u);
        EXPECT_EQ(trace[0].first, FrameDirection::Received);
        EXPECT_EQ(trace[0].second, c.wire.left(trace[0].second.size()));
    }
    // The damaged frame is traced byte for byte as it came.
    serial->Deliver(badCrc);
    EXPECT_EQ(trace.back().second, badCrc);

    // Sent frames are traced too.
    link.BeginSession(1, kBaudIndex115200, true);
    EXPECT_EQ(trace.back().first, FrameDirection::Sent);
    EXPECT_EQ(trace.back().second, serial->Writes.back().Bytes);
}

TEST_F(Session, RequestsLongerThanTheWorkBufferAreRefused) {
    const QByteArray data(kMaxRequestDataLength + 1, 'x');
    const auto* p = reinterpret_cast<const std::uint8_t*>(data.constData());
    EXPECT_FALSE(link.SendFrame(TemplateRow(H_UPLOAD_Detail), p, true, kMaxRequestDataLength + 1));
    EXPECT_TRUE(serial->Writes.empty());
    EXPECT_TRUE(link.LastFrame.IsEmpty());
    EXPECT_TRUE(link.SendFrame(TemplateRow(H_UPLOAD_Detail), p, true, kMaxRequestDataLength));
    ASSERT_EQ(serial->Writes.size(), 1u);
    EXPECT_EQ(serial->Writes[0].Bytes.size(), 4096);
    EXPECT_EQ(link.LastFrame.Data.size(), kMaxRequestDataLength);
}

} // namespace

namespace {

std::vector<QString>* g_frameLog = nullptr;

void CaptureFrameLog(QtMsgType type, const QMessageLogContext& ctx, const QString& msg) {
    if (g_frameLog && type == QtDebugMsg && ctx.category &&
        QByteArray(ctx.category) == "orvexfm.link.frames")
        g_frameLog->push_back(msg);
}

TEST_F(Session, FrameTraceCategoryIsOffUntilEnabled) {
    std::vector<QString> log;
    g_frameLog = &log;
    const QtMessageHandler previous = qInstallMessageHandler(CaptureFrameLog);

    link.BeginSession(1, kBaudIndex115200, true);
    serial->Deliver(Ack(5));
    EXPECT_TRUE(log.empty()) << "debug level is off by default";

    QLoggingCategory::setFilterRules(QStringLiteral("orvexfm.link.frames.debug=true"));
    link.BeginSession(1, kBaudIndex115200, true);
    serial->Deliver(Ack(5));
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);
    g_frameLog = nullptr;

    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].contains(QStringLiteral("send aa 01 00 00 00 80 00 01 00 00 00 00 2c")))
        << log[0].toStdString();
    EXPECT_TRUE(log[1].contains(QStringLiteral("recv ") + HexDump(Ack(5)).trimmed()))
        << log[1].toStdString();
}

} // namespace

namespace {

using StartActions = LinkFixture;

TEST_F(StartActions, WhatEachCommandDoesOnceTheRateIsAgreed) {
    struct Case {
        TEnumVarnCmd prepared;
        TEnumVarnCmd current;  // CurrentCommand after the start
        int retries;           // RetriesLeft after the acknowledge
        int reportKind;        // set by PrepareCommand
        int requestPending;    // after the start (and any first request)
        std::uint8_t sentCode; // code of the frame sent after the start; 0xFF none
        bool file;             // PrepareCommand opened an output file
    };
    const Case cases[] = {
        {H_UPLOAD_Detail, H_UPLOAD_Detail, 8, 0, 1, 0x10, true},
        {H_UPLOAD_EPROM, H_UPLOAD_EPROM, 8, 0, 1, 0x00, true},
        {H_UPLOAD_CLERKRPT, H_UPLOAD_CLERKRPT, 90, 0, 1, 0x07, true},
        {H_UPLOAD_PERIOD, H_UPLOAD_PERIOD, 90, 0, 1, 0x09, true},
        // X and Z reports are prepared as H_UPLOAD_DEP with the report kind beside it; the
        // report itself starts (H_UPLOAD_DEP has no exchange of its own).
        {H_UPLOAD_XRPT, H_UPLOAD_XRPT, 90, 1, 1, 0x06, true},
        {H_UPLOAD_ZRPT, H_UPLOAD_ZRPT, 90, 2, 1, 0x06, true},
        {H_UPLOAD_PLU, H_CHK_ECR, 90, 0, 0, 0x0C, true},
        {H_DN_UpTrTaskOk, H_DN_UpTrTaskOk, 8, 0, 0, 0x0C, false},
        {H_LINE_OFF, H_SETBAUD, 8, 0, 0, 0xFF, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CommandName(c.prepared));
        serial->Writes.clear();
        link.EnumVarnCmd = c.prepared;
        link.BaudReady = false;
        link.RetriesLeft = 6;
        link.BeginSession(1, kBaudIndex115200, true);
        ASSERT_TRUE(link.PrepareCommand(FilePath("start.bin")));
        EXPECT_EQ(link.ReportKind, c.reportKind);
        EXPECT_EQ(link.OutputFile().isOpen(), c.file);
        serial->Deliver(Ack(0));
        EXPECT_EQ(link.RetriesLeft, c.retries);
        Advance(TBsPort::kBaudSettleMs);
        EXPECT_EQ(link.CurrentCommand, c.current);
        EXPECT_EQ(link.CheckedCommand, c.current);
        EXPECT_EQ(link.RequestPending, c.requestPending);
        if (c.sentCode == 0xFF) {
            EXPECT_EQ(serial->Writes.size(), 1u);
        } else {
            ASSERT_EQ(serial->Writes.size(), 2u);
            EXPECT_EQ(LastRequest().Code, c.sentCode);
        }
        link.OutputFile().close();
    }
}

TEST_F(StartActions, ReceivedChunksAreReportedAsHex) {
    std::vector<std::pair<QString, StatusKind>> all;
    link.OnStatus = [&](const QString& t, StatusKind k) { all.emplace_back(t, k); };
    serial->Deliver(QByteArray("\x01\xAB\x00", 3));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].first, QStringLiteral("receive data(len=3):01 ab 00 "));
    EXPECT_EQ(all[0].second, StatusKind::ReceivedChunk);
    EXPECT_EQ(link.RxCount, 3);
}

} // namespace

namespace {

using SessionEnds = LinkFixture;

// Every way a session ends is reported once, with its reason and the result readers see.
TEST_F(SessionEnds, EachEndIsReportedOnceWithItsReason) {
    const auto answer = [this](std::uint8_t Class, std::uint8_t Code, QByteArray Data,
                               std::uint8_t P2 = 0) {
        serial->Deliver(EncodeFrame(Answer(Class, Code, LastRequest().Sequence, Data, 0, P2)));
    };
    struct Case {
        const char* name;
        TEnumVarnCmd cmd;
        const char* file;         // in the test folder; "/dev/full" as is
        std::function<void()> Do; // what happens after the first request
        SessionEnd end;
        int result;
    };
    const Case cases[] = {
        {"end marker", H_UPLOAD_Detail, "f.hex", [&] { answer(0x90, 0x10, PacketData(1, true)); },
         SessionEnd::Finished, 3},
        {"silence", H_UPLOAD_Detail, "t.hex",
         [this] {
             for (int i = 0; i < 8; ++i)
                 Advance(5000);
         },
         SessionEnd::TimedOut, 2},
        {"refused request", H_UPLOAD_Detail, "r.hex",
         [this] { serial->Deliver(Refusal(LastRequest().Sequence)); }, SessionEnd::Refused, 2},
        {"Z report error 94", H_UPLOAD_ZRPT, "z.hex", [&] { answer(0x80, 0x06, {}, 0xFE); },
         SessionEnd::NotPossible, 2},
        {"file cannot be written", H_UPLOAD_Detail, "/dev/full",
         [&] { answer(0x90, 0x10, PacketData(1, true)); }, SessionEnd::FileFailed, 2},
        {"owner cancels", H_UPLOAD_Detail, "c.hex", [this] { link.CancelSession(); },
         SessionEnd::Cancelled, 1},
        {"line hangs up", H_UPLOAD_Detail, "h.hex",
         [this] { serial->OnHangUp(QStringLiteral("Input/output error")); },
         SessionEnd::Disconnected, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool devFull = c.file[0] == '/';
        if (devFull && !QFile::exists(QString::fromLatin1(c.file)))
            continue;
        ends.clear();
        serial->Writes.clear();
        serial->Open();
        StartSerialUpload(c.cmd, devFull ? QString::fromLatin1(c.file) : FilePath(c.file),
                          c.cmd == H_UPLOAD_Detail ? WholeRequest() : QByteArray());
        EXPECT_TRUE(link.SessionOpen());
        c.Do();
        EXPECT_EQ(ends, std::vector<SessionEnd>{c.end});
        EXPECT_EQ(link.SessionResult(), c.result);
        EXPECT_FALSE(link.SessionOpen());
        EXPECT_EQ(link.LinkState, '0');
        EXPECT_EQ(link.RequestPending, -1);
        EXPECT_EQ(link.FileState, 0);
        // Nothing after the end reports it again: not the ticks, not a cancel.
        Advance(60000);
        link.CancelSession();
        EXPECT_EQ(ends.size(), 1u);
        link.OutputFile().close();
    }
}

TEST_F(SessionEnds, RateThatIsNeverAgreedEndsAsRateFailed) {
    SessionRequest r;
    r.Command = H_UPLOAD_Detail;
    r.RequestData = WholeRequest();
    r.FileName = FilePath("rate.hex");
    r.Retries = 2;
    ASSERT_EQ(link.StartSession(r), SessionStart::Started);
    Advance(5000);
    EXPECT_TRUE(ends.empty()) << "the second attempt is still running";
    Advance(5000);
    EXPECT_EQ(ends, std::vector<SessionEnd>{SessionEnd::RateFailed});
    EXPECT_EQ(link.SessionResult(), 2);
}

// StartSession does what an owner's start sequence did: the settings, H_SETBAUD, the file,
// and - once the rate is agreed - the request carrying the request data.
TEST_F(SessionEnds, StartSessionRunsTheOwnersStartSequence) {
    SessionRequest r;
    r.Command = H_UPLOAD_Summary;
    r.RequestData = *DateRangeRequest(240101, 241231);
    r.FileName = FilePath("s.hex");
    ASSERT_EQ(link.StartSession(r), SessionStart::Started);
    EXPECT_EQ(link.RetriesLeft, 6);
    EXPECT_EQ(link.StopAfter, 0);
    EXPECT_TRUE(link.OutputFile().isOpen());
    ASSERT_EQ(serial->Writes.size(), 1u);
    EXPECT_EQ(DecodeWrite(serial->Writes[0].Bytes).Code, 0x00);
    serial->Deliver(Ack(0));
    Advance(TBsPort::kBaudSettleMs);
    ASSERT_EQ(serial->Writes.size(), 2u);
    EXPECT_EQ(LastRequest().Code, 0x11);
    EXPECT_EQ(LastRequest().Data.toHex(), QByteArray("01240101241231"));

    // Unset request data leaves the link's as it is (a header request after a range).
    r.Command = H_UPLOAD_Header;
    r.RequestData.reset();
    r.FileName = FilePath("h.hex");
    link.CancelSession();
    serial->Writes.clear();
    ASSERT_EQ(link.StartSession(r), SessionStart::Started);
    serial->Deliver(Ack(0));
    Advance(TBsPort::kBaudSettleMs);
    ASSERT_EQ(serial->Writes.size(), 2u);
    EXPECT_EQ(LastRequest().Data.toHex(), QByteArray("01240101241231"));
    link.CancelSession();

    // A file that cannot be created sends nothing after H_SETBAUD and reports no end.
    serial->Writes.clear();
    ends.clear();
    r.FileName = FilePath("no/such/folder/x.hex");
    EXPECT_EQ(link.StartSession(r), SessionStart::FileFailed);
    EXPECT_FALSE(link.SessionOpen());
    EXPECT_TRUE(ends.empty());
    Advance(60000);
    EXPECT_EQ(serial->Writes.size(), 1u);

    // An owner that needs an open line gets LineFailed, and nothing is created or sent.
    serial->Close();
    serial->Writes.clear();
    serial->FailOpen = true;
    link.SetMode(tmTCPIP);
    udp->FailOpen = true;
    r.FileName = FilePath("udp.hex");
    r.RequireOpenLine = true;
    EXPECT_EQ(link.StartSession(r), SessionStart::LineFailed);
    EXPECT_FALSE(QFile::exists(FilePath("udp.hex")));
    EXPECT_TRUE(udp->Writes.empty());
    EXPECT_FALSE(link.SessionOpen());
}

} // namespace
