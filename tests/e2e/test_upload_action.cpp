// The upload road inside one process: UploadAction on a port manager whose links talk to the
// simulated device's engine through a fake transport.

#include "app/core/upload_action.h"
#include "fake_device_transport.h"

#include "fm/detail_report.h"
#include "fm/report_file.h"
#include "fm/sample_content.h"
#include "link/bsport.h"
#include "link/frame.h"
#include "link/port_manager.h"
#include "tests/support/file_bytes.h"
#include "tests/support/file_size_limit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

constexpr std::uint32_t kSeed = 5;

// Lets the event loop run for a while (timers, deliveries), without spinning.
void RunEventsFor(int Ms) {
    QEventLoop loop;
    QTimer::singleShot(Ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct SentRequest {
    std::uint8_t Class;
    std::uint8_t Code;
    QByteArray Data;
};

class UploadActionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        Folders = WorkFoldersBelow(m_dir.path());
        ASSERT_TRUE(CreateWorkFolders(Folders).isEmpty());
        Content = std::make_shared<FixedContent>();
        Content->SetArea(FmArea::Detail, SampleDetailUpload(kSeed, 40, 3));
        Content->SetArea(FmArea::Summary, SampleSummaryUpload(kSeed, 40, 2));
        Content->SetArea(FmArea::Header, SampleHeaderBlocks(kSeed, 1));
        Content->SetArea(FmArea::Footer, SampleFooterBlocks(kSeed));
        Content->SetChangeData(SampleChangeDataArea(kSeed));
        MakeDevice({});
    }

    // A fresh device with the given faults, and a port manager whose links reach it.
    void MakeDevice(const FaultPlan& Faults) {
        Action.reset();
        Ports.reset();
        EngineConfig config;
        config.Faults = Faults;
        if (Faults.OnlyRate > 0)
            config.StartRate = Faults.OnlyRate;
        Engine = std::make_shared<DeviceEngine>(config, Content);
        Transports.clear();
        Ports = std::make_unique<TVarnMPComm>([this](TMode Mode) {
            auto t = std::make_unique<FakeDeviceTransport>(Engine, Mode == tmRS232);
            Transports.push_back(t.get());
            return t;
        });
        Action = std::make_unique<UploadAction>(*Ports, Folders, Messages);
        Action->OnMemoLine = [this](const QString& L) { Memo.append(L); };
        Action->OnProgressDot = [this](ProgressDotKind) { ++Dots; };
        Action->OnMessage = [this](const DecodeMessage& M) { Boxes.append(M.Text); };
        Action->OnStateChanged = [this](UploadState S) { States.push_back(S); };
        Action->OnProgressBar = [this](const ProgressBar& B) { Bars.push_back(B); };
        Action->AddListEntry = [this](const QString& Path, const QString& Caption) {
            Listed.append(Caption + QLatin1Char('|') + Path);
            return ListError;
        };
        Action->OnFrameTrace = [this](FrameDirection D, const QByteArray& Bytes, int) {
            if (D != FrameDirection::Sent)
                return;
            FrameFinder finder;
            finder.Feed(Bytes, [this](const FrameEvent& E) {
                if (E.Kind == FrameEventKind::Frame)
                    Sent.push_back({E.Frame.Class, E.Frame.Code, E.Frame.Data});
            });
        };
    }

    UploadRequest Request(int ReportType, const QString& Out = QString()) const {
        UploadRequest r;
        r.Kind = static_cast<ReportKind>(ReportType);
        r.Mode = tmRS232;
        r.PortName = QStringLiteral("COM1");
        r.OutputFile = Out.isEmpty() ? m_dir.filePath(QStringLiteral("up.hex")) : Out;
        r.MachineIndex = 1;
        return r;
    }

    // The same over UDP, to the device at Host.
    UploadRequest UdpRequest(int ReportType, const char* Host) const {
        UploadRequest r = Request(ReportType);
        r.Mode = tmTCPIP;
        r.UdpHost = QLatin1String(Host);
        return r;
    }

    std::vector<SentRequest> SentWithCode(std::uint8_t Class, std::uint8_t Code) const {
        std::vector<SentRequest> out;
        for (const SentRequest& s : Sent)
            if (s.Class == Class && s.Code == Code)
                out.push_back(s);
        return out;
    }

    QString Path(const char* Name) const { return m_dir.filePath(QLatin1String(Name)); }

    WorkFolders Folders;
    MessageTable Messages;
    std::shared_ptr<FixedContent> Content;
    std::shared_ptr<DeviceEngine> Engine;
    std::vector<FakeDeviceTransport*> Transports;
    std::unique_ptr<TVarnMPComm> Ports;
    std::unique_ptr<UploadAction> Action;

    QStringList Memo;
    QStringList Boxes;
    QStringList Listed;
    QString ListError;
    int Dots = 0;
    std::vector<UploadState> States;
    std::vector<ProgressBar> Bars;
    std::vector<SentRequest> Sent;

private:
    QTemporaryDir m_dir;
};

TEST_F(UploadActionTest, DetailUploadRunsTheWholeRoad) {
    const UploadOutcome outcome = Action->Run(Request(0));
    ASSERT_EQ(outcome, UploadOutcome::Finished) << Memo.join(u'\n').toStdString();
    const QByteArray expected = ToFiscalBlocks(SampleDetailUpload(kSeed, 40, 3));
    EXPECT_EQ(ReadAll(Path("up.hex")), expected);
    // A dot per packet but the last (only header and footer uploads dot their last packet).
    EXPECT_EQ(Dots, expected.size() / 256 - 1);
    EXPECT_TRUE(Memo.isEmpty());
    EXPECT_EQ(Boxes, QStringList{QStringLiteral("Finish")});
    EXPECT_EQ(States, (std::vector<UploadState>{UploadState::Preparing, UploadState::Exchanging,
                                                UploadState::Idle}));
    // The bar is shown at 0 of 10 and hidden again by the Detail decoder.
    ASSERT_EQ(Bars.size(), 2u);
    EXPECT_TRUE(Bars[0].Visible);
    EXPECT_EQ(Bars[0].Maximum, 10);
    EXPECT_FALSE(Bars[1].Visible);
    ASSERT_EQ(Listed.size(), 1);
    const QString report = Action->LastDecode().ReportPath;
    EXPECT_EQ(Listed[0], QStringLiteral("Detail|") + report);
    EXPECT_TRUE(report.startsWith(Folders.TxtfileDir));
    QList<QByteArray> lines = CutDetailSummary(expected, 40).Lines;
    EXPECT_EQ(ReadAll(report), ReportFileBytes(lines));
    // The line is closed and its link stops being serviced afterwards.
    EXPECT_EQ(Ports->FindPort(QStringLiteral("COM1")), -2);
}

// The range goes to the device as packed BCD exactly as the table of the action says.
TEST_F(UploadActionTest, RangeFillsTheRequestData) {
    struct Case {
        int RangeKind;
        QString From, To;
        QByteArray Data;
    };
    const Case cases[] = {
        {0, QStringLiteral("12"), QStringLiteral("345"), QByteArray::fromHex("0000120345")},
        {1, QStringLiteral("240101"), QStringLiteral("241231"),
         QByteArray::fromHex("01240101241231")},
        // A first date after the last is sent as it is.
        {1, QStringLiteral("241231"), QStringLiteral("240101"),
         QByteArray::fromHex("01241231240101")},
        // Whole memory: whatever the fields hold.
        {2, QStringLiteral("77"), QStringLiteral("x"), QByteArray::fromHex("0000012100")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Data.toHex().toStdString());
        Sent.clear();
        UploadRequest r = Request(1);
        r.RangeKind = c.RangeKind;
        r.FromText = c.From;
        r.ToText = c.To;
        EXPECT_EQ(Action->Run(r), UploadOutcome::Finished) << Memo.join(u'\n').toStdString();
        const auto requests = SentWithCode(0x80, 0x11);
        ASSERT_FALSE(requests.empty());
        for (const SentRequest& s : requests)
            EXPECT_EQ(s.Data.toHex(), c.Data.toHex());
    }
}

// Detail and Summary ranges are checked before anything is opened. Of a change report's
// range only a backwards one is refused here (it could select nothing); every other fault is
// left to its decoder, which applies the range to the whole memory.
TEST_F(UploadActionTest, RangeCheckUsesTheMessageTable) {
    Messages.MsgInputZCountError = QStringLiteral("Z?");
    Messages.MsgInputDateError = QStringLiteral("date?");
    Messages.MsgDateFormatError = QStringLiteral("yymmdd!");
    struct Case {
        int Kind, RangeKind;
        QString From, To;
        QString Box; // message box; for an upload that runs, the decoder's
        UploadOutcome Outcome = UploadOutcome::BadRange;
    };
    const Case cases[] = {
        {0, 0, QStringLiteral("  "), QStringLiteral("5"), QStringLiteral("Z?")},
        {1, 0, QStringLiteral("1"), QString(), QStringLiteral("Z?")},
        {0, 0, QStringLiteral("1"), QStringLiteral("10000"), QStringLiteral("Z?")},
        {0, 0, QStringLiteral("-1"), QStringLiteral("3"), QStringLiteral("Z?")},
        {0, 0, QStringLiteral("a"), QStringLiteral("3"),
         QStringLiteral("'a' is not a valid integer value")},
        {0, 1, QString(), QStringLiteral("240101"), QStringLiteral("date?")},
        {0, 1, QStringLiteral("24011"), QStringLiteral("240101"), QStringLiteral("yymmdd!")},
        {0, 1, QStringLiteral(" 240101"), QStringLiteral("240101"), QStringLiteral("yymmdd!")},
        {0, 2, QString(), QString(), QStringLiteral("Finish"), UploadOutcome::Finished},
        // The upload runs; only its decoder finds that the range is no number.
        {4, 0, QString(), QString(), QStringLiteral("'' is not a valid integer value"),
         UploadOutcome::DecodeFailed},
        {2, 0, QStringLiteral("6"), QStringLiteral("5"), QStringLiteral("Data Error")},
        {3, 1, QStringLiteral("241231"), QStringLiteral("240101"), QStringLiteral("Data Error")},
        {4, 0, QStringLiteral("5"), QStringLiteral("5"), QStringLiteral("Finish"),
         UploadOutcome::Finished},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1 %2 '%3' '%4'")
                         .arg(c.Kind)
                         .arg(c.RangeKind)
                         .arg(c.From, c.To)
                         .toStdString());
        Boxes.clear();
        States.clear();
        Memo.clear();
        Sent.clear();
        UploadRequest r = Request(c.Kind);
        r.RangeKind = c.RangeKind;
        r.FromText = c.From;
        r.ToText = c.To;
        const UploadOutcome outcome = Action->Run(r);
        EXPECT_EQ(outcome, c.Outcome) << Memo.join(u'\n').toStdString();
        EXPECT_EQ(Boxes, QStringList{c.Box});
        EXPECT_EQ(States.empty(), c.Outcome == UploadOutcome::BadRange);
        // A refused range sends nothing at all.
        EXPECT_EQ(Sent.empty(), c.Outcome == UploadOutcome::BadRange);
        EXPECT_TRUE(Memo.isEmpty());
    }
}

// The status line's figures: while the bit rate is agreed, the attempt under way and the
// line's rate; then the packets and bytes that went into the file; they stop with the upload.
TEST_F(UploadActionTest, ProgressFollowsTheRateAttemptsAndTheData) {
    FaultPlan faults;
    faults.OnlyRate = 9600; // the third attempt (9600 asking for 9600) is the first answered
    MakeDevice(faults);
    Ports->Port(0)->BaudTimeoutMs = 40;
    struct Attempt {
        int FrameRate; // the rate the H_SETBAUD went out at
        UploadProgress Progress;
    };
    std::vector<Attempt> attempts;
    Action->OnFrameTrace = [&](FrameDirection D, const QByteArray& Bytes, int Rate) {
        FrameFinder finder;
        finder.Feed(Bytes, [&](const FrameEvent& E) {
            if (D == FrameDirection::Sent && E.Kind == FrameEventKind::Frame &&
                E.Frame.Class == 0x80 && E.Frame.Code == 0x00)
                attempts.push_back({Rate, Action->Progress()});
        });
    };
    std::vector<UploadProgress> duringData;
    Action->OnProgressDot = [&](ProgressDotKind) { duringData.push_back(Action->Progress()); };

    ASSERT_EQ(Action->Run(Request(0)), UploadOutcome::Finished) << Memo.join(u'\n').toStdString();

    ASSERT_EQ(attempts.size(), 3u);
    for (std::size_t i = 0; i < attempts.size(); ++i) {
        SCOPED_TRACE(i + 1);
        const UploadProgress& p = attempts[i].Progress;
        EXPECT_TRUE(p.Connecting);
        EXPECT_EQ(p.Attempt, int(i) + 1);
        EXPECT_EQ(p.Attempts, UploadAction::kBaudRetries);
        EXPECT_EQ(p.LineRate, attempts[i].FrameRate);
        EXPECT_EQ(p.Packets, 0);
    }
    EXPECT_EQ(attempts[0].FrameRate, 9600);
    EXPECT_EQ(attempts[1].FrameRate, 115200);
    EXPECT_EQ(attempts[2].FrameRate, 9600);

    // Packets and bytes grow with every packet; the rate is known from the second one on.
    ASSERT_GE(duringData.size(), 2u);
    for (std::size_t i = 0; i < duringData.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(duringData[i].Connecting);
        EXPECT_EQ(duringData[i].Packets, int(i) + 1);
        EXPECT_EQ(duringData[i].Bytes, 256 * qint64(i + 1));
    }
    const QByteArray file = ReadAll(Path("up.hex"));
    const UploadProgress end = Action->Progress();
    EXPECT_FALSE(end.Connecting);
    EXPECT_EQ(end.Packets, file.size() / 256);
    EXPECT_EQ(end.Bytes, file.size());
    EXPECT_GT(end.BytesPerSecond, 0.0);
    EXPECT_GE(end.ElapsedMs, 80); // two attempts expired before the third was answered
    RunEventsFor(30);
    EXPECT_EQ(Action->Progress().ElapsedMs, end.ElapsedMs) << "the clock stops with the upload";

    // UDP has no bit rate to agree: never "connecting", no packet yet at the first request.
    std::vector<UploadProgress> atRequests;
    Action->OnFrameTrace = [&](FrameDirection D, const QByteArray&, int) {
        if (D == FrameDirection::Sent)
            atRequests.push_back(Action->Progress());
    };
    duringData.clear();
    ASSERT_EQ(Action->Run(UdpRequest(0, "192.0.2.1")), UploadOutcome::Finished)
        << Memo.join(u'\n').toStdString();
    ASSERT_FALSE(atRequests.empty());
    EXPECT_EQ(atRequests.front().Packets, 0);
    for (const UploadProgress& p : atRequests)
        EXPECT_FALSE(p.Connecting);
    EXPECT_EQ(Action->Progress().Bytes, ReadAll(Path("up.hex")).size());
}

// A Detail range the device holds nothing for: the owner hears of it, with the upload's file,
// before "Finish".
TEST_F(UploadActionTest, NoReportIsAnnouncedBeforeFinish) {
    Content->SetArea(FmArea::Detail, QByteArray());
    QStringList events;
    Action->OnNoReport = [&](const QString& HexFile) {
        events << QStringLiteral("none ") + HexFile;
    };
    Action->OnMessage = [&](const DecodeMessage& M) { events << M.Text; };
    EXPECT_EQ(Action->Run(Request(0)), UploadOutcome::Finished) << Memo.join(u'\n').toStdString();
    EXPECT_EQ(events,
              (QStringList{QStringLiteral("none ") + Path("up.hex"), QStringLiteral("Finish")}));
    EXPECT_TRUE(Listed.isEmpty());
    // A report that came is not announced as missing.
    events.clear();
    Content->SetArea(FmArea::Detail, SampleDetailUpload(kSeed, 40, 3));
    EXPECT_EQ(Action->Run(Request(0)), UploadOutcome::Finished);
    EXPECT_EQ(events, QStringList{QStringLiteral("Finish")});
}

// Cancel while the header of a tax-rate report is fetched: no footer and no main exchange,
// the buttons return to idle, and the link sends nothing more.
TEST_F(UploadActionTest, CancelDuringTheHeaderEndsTheWholeAction) {
    FaultPlan faults;
    faults.SilentAfter = 1; // the bit-rate acknowledge only: the header never comes
    MakeDevice(faults);
    Action->OnStateChanged = [this](UploadState S) {
        States.push_back(S);
        if (S == UploadState::Exchanging)
            QTimer::singleShot(100, Action.get(), [this] { Action->Cancel(); });
    };
    const UploadOutcome outcome = Action->Run(Request(2));
    EXPECT_EQ(outcome, UploadOutcome::Cancelled);
    EXPECT_EQ(Memo, QStringList{QStringLiteral("cancel upload...")});
    EXPECT_TRUE(Boxes.isEmpty());
    EXPECT_TRUE(Listed.isEmpty());
    EXPECT_EQ(States.back(), UploadState::Idle);
    EXPECT_FALSE(SentWithCode(0x80, 0x12).empty());
    EXPECT_TRUE(SentWithCode(0x80, 0x13).empty());
    EXPECT_TRUE(SentWithCode(0x83, 0x00).empty());
    EXPECT_FALSE(QFile::exists(Path("up.hex")));
    const std::size_t sent = Sent.size();
    RunEventsFor(300);
    EXPECT_EQ(Sent.size(), sent);
}

// The UDP link keeps being ticked after an upload; a cancelled session must not go on
// retransmitting into a closed file.
TEST_F(UploadActionTest, CancelledUdpSessionSendsNothingMore) {
    FaultPlan faults;
    faults.SilentAfter = 2;
    MakeDevice(faults);
    Ports->Port(0)->AckTimeoutMs = 40;
    Ports->Port(0)->BaudTimeoutMs = 40;
    Action->OnStateChanged = [this](UploadState S) {
        if (S == UploadState::Exchanging)
            QTimer::singleShot(100, Action.get(), [this] { Action->Cancel(); });
    };
    UploadRequest r = UdpRequest(0, "192.0.2.1");
    EXPECT_EQ(Action->Run(r), UploadOutcome::Cancelled);
    EXPECT_EQ(ReadAll(Path("up.hex")),
              ToFiscalBlocks(SampleDetailUpload(kSeed, 40, 3)).left(2 * 256));
    const std::size_t sent = Sent.size();
    Action->OnFrameTrace = nullptr;
    int writesBefore = 0;
    for (const FakeDeviceTransport* t : Transports)
        writesBefore += t->Writes;
    RunEventsFor(300);
    int writesAfter = 0;
    for (const FakeDeviceTransport* t : Transports)
        writesAfter += t->Writes;
    EXPECT_EQ(writesAfter, writesBefore);
    EXPECT_GT(sent, 2u);
}

TEST_F(UploadActionTest, RefusalShowsUploadFailOnly) {
    FaultPlan faults;
    faults.RefuseCommands.push_back({0x80, 0x10});
    MakeDevice(faults);
    EXPECT_EQ(Action->Run(Request(0)), UploadOutcome::Refused);
    EXPECT_EQ(Memo, QStringList{QStringLiteral("upload fail...")});
    EXPECT_TRUE(Boxes.isEmpty());
    EXPECT_TRUE(Listed.isEmpty());
    EXPECT_FALSE(Ports->Port(0)->OutputFile().isOpen());
    EXPECT_TRUE(Action->Stopped());
}

// No bit-rate acknowledge within the serial limit: the action's own limit ends the wait
// (the link, with 5 s per attempt, has not given up yet).
TEST_F(UploadActionTest, SerialLimitEndsAWaitWithoutProgress) {
    FaultPlan faults;
    faults.SilentAfter = 0;
    MakeDevice(faults);
    Action->Limits.ComNoProgressMs = 150;
    EXPECT_EQ(Action->Run(Request(0)), UploadOutcome::TimedOut);
    EXPECT_EQ(Memo, (QStringList{QStringLiteral("timeout..."), QStringLiteral("connect fail...")}));
    EXPECT_LE(Ports->Port(0)->SessionResult(), 1);
    EXPECT_FALSE(Ports->Port(0)->OutputFile().isOpen());
    EXPECT_TRUE(Boxes.isEmpty());
}

// The device hangs up its serial line (an adapter pulled out). In the middle of an exchange
// the upload ends at once with the line named, what arrived stays in the file; between the
// exchanges of a change report the next exchange finds the port gone.
TEST_F(UploadActionTest, SerialHangUpEndsTheUploadAtOnce) {
    struct Case {
        const char* Name;
        int ReportType;
        int HangUpAfter; // answers, the bit-rate acknowledge included
        UploadOutcome Outcome;
        QStringList Memo;
        qsizetype HexBytes;
    };
    const Case cases[] = {
        {"in the middle of a Detail upload",
         0,
         3,
         UploadOutcome::Disconnected,
         {QStringLiteral("Line COM1 disconnected: hung up"), QStringLiteral("connect fail...")},
         2 * 256},
        {"after the header of a tax report",
         2,
         2,
         UploadOutcome::PortOpenFailed,
         {QStringLiteral("port COM1 open fail!")},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FaultPlan faults;
        faults.HangUpAfter = c.HangUpAfter;
        MakeDevice(faults);
        Memo.clear();
        QFile::remove(Path("up.hex"));
        QElapsedTimer took;
        took.start();
        EXPECT_EQ(Action->Run(Request(c.ReportType)), c.Outcome);
        EXPECT_LT(took.elapsed(), 5000) << "waited for time-outs";
        EXPECT_EQ(Memo, c.Memo);
        EXPECT_EQ(QFileInfo(Path("up.hex")).size(), c.HexBytes);
        EXPECT_TRUE(Listed.isEmpty());
        EXPECT_FALSE(Ports->Port(0)->Transport(tmRS232)->IsOpen());
    }
}

TEST_F(UploadActionTest, UnknownOrClosedPortGivesOpenFail) {
    Transports.front()->Openable = false; // entry 0 takes the name and fails to open
    EXPECT_EQ(Action->Run(Request(0)), UploadOutcome::PortOpenFailed);
    EXPECT_EQ(Memo, QStringList{QStringLiteral("port COM1 open fail!")});
    EXPECT_TRUE(States.empty());
}

// Reachability check before a UDP upload fails: the two lines, the first request still goes
// out, the wait ends at once and nothing is decoded.
TEST_F(UploadActionTest, UdpReachabilityCheckFailureEndsTheWait) {
    QStringList checked;
    Action->ReachabilityCheck = [&](const QString& Host) {
        checked.append(Host);
        return false;
    };
    UploadRequest r = UdpRequest(0, "192.0.2.7");
    EXPECT_EQ(Action->Run(r), UploadOutcome::TimedOut);
    EXPECT_EQ(checked, QStringList{QStringLiteral("192.0.2.7")});
    EXPECT_EQ(Memo, (QStringList{QStringLiteral("timeout..."), QStringLiteral("connect fail...")}));
    EXPECT_EQ(SentWithCode(0x80, 0x10).size(), 1u);
    EXPECT_TRUE(Listed.isEmpty());
    EXPECT_TRUE(Boxes.isEmpty());
}

// A failed decode keeps "Finish" away from that upload only. A list entry that cannot be
// written is a local file error: the operator is told the list's own reason, not blamed for
// the machine.
TEST_F(UploadActionTest, DecodeFailureSuppressesFinishForThatUploadOnly) {
    ListError = QStringLiteral("list file is read-only");
    EXPECT_EQ(Action->Run(Request(0)), UploadOutcome::WriteFailed);
    EXPECT_EQ(Boxes, QStringList{QStringLiteral("list file is read-only")});
    EXPECT_TRUE(Action->DecodeFailed());
    EXPECT_FALSE(Action->LastDecode().ReportPath.isEmpty());

    Boxes.clear();
    ListError.clear();
    EXPECT_EQ(Action->Run(Request(3)), UploadOutcome::Finished);
    EXPECT_FALSE(Action->DecodeFailed());
    EXPECT_EQ(Boxes, QStringList{QStringLiteral("Finish")});

    // The change-report decoder's failure counts too.
    Boxes.clear();
    ListError = QStringLiteral("disk full");
    EXPECT_EQ(Action->Run(Request(4)), UploadOutcome::WriteFailed);
    EXPECT_EQ(Boxes, QStringList{QStringLiteral("disk full")});
    EXPECT_TRUE(Action->DecodeFailed());
}

TEST_F(UploadActionTest, SecondRunWhileOneWaitsIsRefused) {
    UploadOutcome nested = UploadOutcome::Finished;
    Action->OnStateChanged = [&](UploadState S) {
        if (S == UploadState::Exchanging && nested == UploadOutcome::Finished)
            nested = Action->Run(Request(1, Path("other.hex")));
    };
    EXPECT_EQ(Action->Run(Request(0)), UploadOutcome::Finished);
    EXPECT_EQ(nested, UploadOutcome::Busy);
    EXPECT_FALSE(QFile::exists(Path("other.hex")));
}

} // namespace

namespace {

// Without an output file (the save dialog was cancelled) the action stops after the range
// check: nothing is opened, cleared or sent.
TEST_F(UploadActionTest, NoOutputFileStopsAfterTheRangeCheck) {
    int cleared = 0;
    Action->OnMemoClear = [&] { ++cleared; };
    UploadRequest r = Request(0);
    r.OutputFile.clear();
    r.RangeKind = 0;
    r.FromText = QStringLiteral("1");
    r.ToText = QStringLiteral("2");
    EXPECT_EQ(Action->Run(r), UploadOutcome::Cancelled);
    r.ToText.clear();
    EXPECT_EQ(Action->Run(r), UploadOutcome::BadRange);
    EXPECT_EQ(Boxes, QStringList{QStringLiteral("input Z Count No. error")});
    EXPECT_EQ(cleared, 0);
    EXPECT_TRUE(States.empty());
    EXPECT_TRUE(Sent.empty());
    EXPECT_FALSE(Ports->WorkerRunning());
}

} // namespace

namespace {

TEST_F(UploadActionTest, UdpSocketThatCannotOpenFailsAtOnce) {
    Transports.at(1)->Openable = false; // link 0's UDP socket
    UploadRequest r = UdpRequest(2, "192.0.2.7");
    EXPECT_EQ(Action->Run(r), UploadOutcome::PortOpenFailed);
    EXPECT_EQ(Memo, QStringList{QStringLiteral("port UDP open fail!")});
    EXPECT_TRUE(Sent.empty());
    EXPECT_FALSE(Action->PortError().isEmpty());
}

// A silent device over UDP: the check before the upload passes; during the wait the
// reachability check applies only while no request has gone out, so here the link's own
// retries end the session, with the two time-out lines.
// The device sends the header's only packet twice, the copy a little later, over UDP. The
// footer's first request carries the same sequence byte as that packet (each exchange counts
// from the device's value again), so a copy arriving once the footer exchange has begun would
// end it with the header's block. The pause between the exchanges lets the copy arrive first.
TEST_F(UploadActionTest, LateCopyOfTheHeaderPacketDoesNotBecomeTheFooter) {
    FaultPlan faults;
    faults.DuplicateAnswers = {1};
    MakeDevice(faults);
    UploadRequest request = UdpRequest(2, "127.0.0.2");
    ASSERT_FALSE(Transports.empty());
    for (FakeDeviceTransport* t : Transports)
        t->WriteGapMs = 30;
    const UploadOutcome outcome = Action->Run(request);
    ASSERT_EQ(outcome, UploadOutcome::Finished) << Memo.join(u'\n').toStdString();
    EXPECT_EQ(ReadAll(Action->HeaderFile()), ToFiscalBlocks(SampleHeaderBlocks(kSeed, 1)));
    EXPECT_EQ(ReadAll(Action->FooterFile()), ToFiscalBlocks(SampleFooterBlocks(kSeed)));
    EXPECT_EQ(ReadAll(Path("up.hex")), ToFiscalBlocks(SampleHeaderBlocks(kSeed, 1)) +
                                           SampleChangeDataArea(kSeed) +
                                           ToFiscalBlocks(SampleFooterBlocks(kSeed)));
}

// A header or footer of another size than the layout gives ended on its end marker all the
// same (a packet missing, or a stray one that ended the exchange). No report is made from it,
// and the change data is not even asked for.
TEST_F(UploadActionTest, HeaderOrFooterOfTheWrongSizeMakesNoReport) {
    struct Case {
        const char* Name;
        QByteArray Header;
        QByteArray Footer;
        const char* Told;
    };
    const Case cases[] = {
        {"footer of one block", SampleHeaderBlocks(kSeed, 1), SampleFooterBlocks(kSeed).left(256),
         "footer came as 256 bytes"},
        {"footer of three blocks", SampleHeaderBlocks(kSeed, 1),
         SampleFooterBlocks(kSeed) + QByteArray(256, ' '), "footer came as 768 bytes"},
        {"header of five blocks", SampleHeaderBlocks(kSeed, 3) + QByteArray(512, ' '),
         SampleFooterBlocks(kSeed), "header came as 1280 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Content->SetArea(FmArea::Header, c.Header);
        Content->SetArea(FmArea::Footer, c.Footer);
        MakeDevice({});
        Boxes.clear();
        UploadRequest request = UdpRequest(2, "127.0.0.2");
        EXPECT_EQ(Action->Run(request), UploadOutcome::DecodeFailed);
        ASSERT_EQ(Boxes.size(), 1) << Boxes.join(u'\n').toStdString();
        EXPECT_TRUE(Boxes[0].contains(QLatin1String(c.Told))) << Boxes[0].toStdString();
        EXPECT_TRUE(SentWithCode(0x83, 0x00).empty()) << "the change data was asked for";
        EXPECT_FALSE(QFileInfo::exists(Path("up.hex")) && QFileInfo(Path("up.hex")).size() > 0);
    }
}

// The device falls silent after two blocks had arrived. Next to the time-out lines the memo
// says that the device stopped answering, names the partial file and how many packets it
// holds.
TEST_F(UploadActionTest, SilenceAfterDataNamesThePartialFileAndItsPackets) {
    FaultPlan faults;
    faults.SilentAfter = 2;
    MakeDevice(faults);
    Ports->Port(0)->AckTimeoutMs = 40;
    UploadRequest r = UdpRequest(0, "192.0.2.1");
    EXPECT_EQ(Action->Run(r), UploadOutcome::TimedOut);
    EXPECT_EQ(ReadAll(Path("up.hex")),
              ToFiscalBlocks(SampleDetailUpload(kSeed, 40, 3)).left(2 * 256));
    EXPECT_TRUE(Memo.contains(QStringLiteral("timeout...")));
    EXPECT_TRUE(Memo.contains(QStringLiteral("connect fail...")));
    const QRegularExpression two(QStringLiteral("\\b2\\b"));
    const bool told = std::any_of(Memo.begin(), Memo.end(), [&](const QString& Line) {
        return Line.contains(Path("up.hex")) && Line.contains(two);
    });
    EXPECT_TRUE(told) << Memo.join(u'\n').toStdString();
}

// An upload file stops taking data in the middle of an exchange (a full disk, played by a
// file-size limit): the memo names the file and the system's reason, the upload ends as a
// write failure, not as "timeout...", "connect fail...", and no later exchange starts.
TEST_F(UploadActionTest, FileThatFailsMidUploadIsAWriteFailureNotATimeOut) {
    const struct {
        const char* name;
        int reportType;
        rlim_t limit; // the failing file's size limit
        bool header;  // the header file fails, else the main upload file
    } cases[] = {
        {"Detail, third block", 0, 2 * 256 + 10, false},
        {"tax rate, header's first block", 2, 10, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MakeDevice({});
        Memo.clear();
        Boxes.clear();
        UploadOutcome outcome = UploadOutcome::Finished;
        {
            testsupport::FileSizeLimit limit(c.limit);
            ASSERT_TRUE(limit.Active());
            outcome = Action->Run(UdpRequest(c.reportType, "192.0.2.1"));
        }
        EXPECT_EQ(outcome, UploadOutcome::WriteFailed);
        const QString file = c.header ? Action->HeaderFile() : Path("up.hex");
        EXPECT_EQ(Memo,
                  QStringList{
                      QStringLiteral("Write file %1 fail: %2").arg(file, qt_error_string(EFBIG))});
        EXPECT_TRUE(Boxes.isEmpty()) << Boxes.join(u'\n').toStdString();
        EXPECT_TRUE(Listed.isEmpty());
        if (c.header) {
            EXPECT_EQ(ReadAll(Action->FooterFile()).size(), 0);
        }
    }
}

TEST_F(UploadActionTest, UdpSilentDeviceEndsThroughTheLinkRetries) {
    FaultPlan faults;
    faults.SilentAfter = 0;
    MakeDevice(faults);
    Ports->Port(0)->AckTimeoutMs = 20;
    Action->Limits.UdpCheckAfterMs = 10;
    Action->Limits.ReachabilityRepeatMs = 10;
    int checks = 0;
    Action->ReachabilityCheck = [&](const QString& Host) {
        EXPECT_EQ(Host, QStringLiteral("192.0.2.9"));
        ++checks;
        return true;
    };
    UploadRequest r = UdpRequest(0, "192.0.2.9");
    EXPECT_EQ(Action->Run(r), UploadOutcome::TimedOut);
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(Ports->Port(0)->SessionResult(), 2);
    // The first request and its retransmissions: six expiries end the session.
    EXPECT_EQ(SentWithCode(0x80, 0x10).size(), 6u);
    EXPECT_EQ(Memo, (QStringList{QStringLiteral("timeout..."), QStringLiteral("connect fail...")}));
    EXPECT_FALSE(Ports->Port(0)->OutputFile().isOpen());
}

} // namespace
