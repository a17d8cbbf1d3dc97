#include "app/core/upload_action.h"

#include "fm/change_report.h"
#include "fm/field_decoder.h"
#include "fm/file_writer.h"
#include "fm/report_file.h"
#include "fm/upload_layout.h"
#include "link/bsport.h"
#include "link/commands.h"
#include "link/fm_request.h"
#include "link/link_transport.h"
#include "link/port_manager.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <utility>

namespace {

std::optional<std::int32_t> WholeNumber(const QString& Text) {
    return ParseDecimalInt(Text.trimmed().toLatin1());
}

} // namespace

UploadAction::UploadAction(TVarnMPComm& PortManager, WorkFolders Folders,
                           const MessageTable& Messages, QObject* Parent)
    : QObject(Parent), m_ports(PortManager), m_folders(std::move(Folders)), m_messages(Messages) {}

UploadAction::~UploadAction() {
    if (m_loop)
        m_loop->quit();
}

// ---------------------------------------------------------------------------------------
// Events

void UploadAction::SetState(UploadState State) {
    if (m_state == State)
        return;
    m_state = State;
    if (OnStateChanged)
        OnStateChanged(State);
}

void UploadAction::MemoLine(const QString& Line) {
    if (OnMemoLine)
        OnMemoLine(Line);
}

void UploadAction::TimeoutLines() {
    m_timedOut = true;
    MemoLine(m_messages.MsgTimeout);
    MemoLine(m_messages.MsgConnectFail);
}

void UploadAction::SilenceLine() {
    MemoLine(FillNumbered(m_messages.MsgDeviceSilent,
                          {QString::number(m_exchangePackets), m_exchangeFile}));
}

void UploadAction::Message(const QString& Text, const QString& Caption, bool Information) {
    if (OnMessage)
        OnMessage(DecodeMessage{Text, Caption, Information});
}

// ---------------------------------------------------------------------------------------
// The road

UploadOutcome UploadAction::Run(const UploadRequest& Request) {
    // A second upload started from the event queue while one waits would take over the same
    // link and file; it is refused instead.
    if (m_running)
        return UploadOutcome::Busy;
    m_running = true;
    m_request = Request;
    m_stopped = m_cancelled = m_refused = m_timedOut = m_outputFailed = m_writeFailed =
        m_portFailed = m_damagedPart = false;
    m_headerFile.clear();
    m_footerFile.clear();
    m_portError.clear();
    m_decode = {}; // a failed decode counts for this upload only
    m_clock.start();
    m_exchangeLink = -1;
    m_packets = 0;
    m_bytes = m_firstPacketBytes = 0;
    m_firstPacketNs = m_endNs = -1;
    const UploadOutcome outcome = RunSteps(Request);
    EndFigures();
    m_running = false;
    SetState(UploadState::Idle);
    if (OnFinished)
        OnFinished(outcome);
    return outcome;
}

UploadOutcome UploadAction::RunSteps(const UploadRequest& Request) {
    m_ports.SetMode(Request.Mode);

    if (const QString problem = CheckRange(Request); !problem.isEmpty()) {
        Message(problem);
        return UploadOutcome::BadRange;
    }
    if (Request.OutputFile.isEmpty())
        return UploadOutcome::Cancelled; // no file chosen: nothing to do, nothing to say
    // The link opens the file for writing: a FIFO would block that for ever, and a device or
    // a folder is no place for an upload.
    if (const QString problem = WriteTargetProblem(Request.OutputFile); !problem.isEmpty()) {
        Message(QStringLiteral("Cannot create file %1: %2").arg(Request.OutputFile, problem));
        return UploadOutcome::OutputFailed;
    }

    if (OnMemoClear)
        OnMemoClear();
    const bool serial = Request.Mode == tmRS232;
    if (serial && !OpenDevicePort(Request.PortName)) {
        MemoLine(FormatPortMessage(m_messages.MsgPortOpenFail, Request.PortName));
        return UploadOutcome::PortOpenFailed;
    }

    m_bar = ProgressBar{true, 0, kProgressSteps};
    if (OnProgressBar)
        OnProgressBar(m_bar);
    SetState(UploadState::Preparing);
    if (!m_ports.WorkerRunning())
        m_ports.StartWorker();
    int index = -1;
    const auto cleanUp = qScopeGuard([&] {
        if (TBsPort* link = m_ports.Port(index)) {
            link->CancelSession();
            DetachLink(*link);
        }
        EndFigures();
        SetState(UploadState::Idle);
        CloseDevicePort(Request.PortName);
    });

    index = ChooseLink(true);
    if (index < 0)
        return UploadOutcome::PortOpenFailed;

    const auto failure = [this] {
        if (m_cancelled)
            return UploadOutcome::Cancelled;
        if (m_refused)
            return UploadOutcome::Refused;
        if (m_outputFailed)
            return UploadOutcome::OutputFailed;
        if (m_writeFailed)
            return UploadOutcome::WriteFailed;
        if (m_portFailed)
            return UploadOutcome::PortOpenFailed;
        if (m_damagedPart)
            return UploadOutcome::DecodeFailed;
        if (m_end == SessionEnd::Disconnected)
            return UploadOutcome::Disconnected;
        return UploadOutcome::TimedOut;
    };

    const ReportKindInfo& kind = ReportKindOf(Request.Kind);
    if (kind.NeedsHeaderFooter) {
        if (!ReserveFile(QStringLiteral("Header"), m_headerFile) ||
            !ReserveFile(QStringLiteral("Footer"), m_footerFile)) {
            m_outputFailed = true;
            return UploadOutcome::OutputFailed;
        }
        if (!UploadHeaderFooter(H_UPLOAD_Header, m_headerFile) || !LetLineSettle())
            return failure();
        if (!UploadHeaderFooter(H_UPLOAD_Footer, m_footerFile) || !LetLineSettle())
            return failure();
    }

    std::optional<QByteArray> range;
    if (kind.Printout) {
        QString problem;
        range = RangeRequest(Request, problem);
        if (!range) {
            Message(problem);
            return UploadOutcome::BadRange;
        }
    }
    if (!StartExchange(index, kind.Command, Request.OutputFile, range))
        return failure();
    WaitForLink(index);
    EndFigures();
    if (m_end != SessionEnd::Finished)
        return failure();

    const UploadOutcome decoded = Decode(Request);
    if (decoded == UploadOutcome::Finished)
        Message(m_messages.MsgFinish);
    return decoded;
}

QString UploadAction::CheckRange(const UploadRequest& Request) const {
    if (Request.RangeKind != 0 && Request.RangeKind != 1)
        return {};
    if (!ReportKindOf(Request.Kind).Printout) {
        // A change report picks its records from the whole memory when it is decoded; a
        // range that runs backwards would select nothing, so the upload is not worth making.
        // Any other fault of the fields is still the decoder's to report.
        const RangeParse range =
            ParseReportRange(Request.RangeKind, Request.FromText, Request.ToText);
        if (range.Error == ReportError::RangeError)
            return ReportOutcome{range.Error, {}, {}}.message();
        return {};
    }
    const bool byZ = Request.RangeKind == 0;
    if (Request.FromText.trimmed().isEmpty() || Request.ToText.trimmed().isEmpty())
        return byZ ? m_messages.MsgInputZCountError : m_messages.MsgInputDateError;
    if (!byZ && (Request.FromText.size() != kDateDigits || Request.ToText.size() != kDateDigits))
        return m_messages.MsgDateFormatError;
    // The numbers must fit their BCD digits: a Z number of five digits or a negative one
    // would otherwise reach the device as a different number.
    for (const QString& text : {Request.FromText, Request.ToText}) {
        const auto value = WholeNumber(text);
        if (!value)
            return QStringLiteral("'%1' is not a valid integer value").arg(text);
        if (*value < 0 || *value > (byZ ? kMaxZNumber : kMaxDateNumber))
            return byZ ? m_messages.MsgInputZCountError : m_messages.MsgDateFormatError;
    }
    return {};
}

std::optional<QByteArray> UploadAction::RangeRequest(const UploadRequest& Request,
                                                     QString& Problem) const {
    if (Request.RangeKind != 0 && Request.RangeKind != 1)
        return WholeMemoryRequest();
    const auto from = WholeNumber(Request.FromText);
    const auto to = WholeNumber(Request.ToText);
    if (!from || !to) {
        Problem = QStringLiteral("'%1' is not a valid integer value")
                      .arg(from ? Request.ToText : Request.FromText);
        return std::nullopt;
    }
    // CheckRange has kept the numbers within their digits.
    return Request.RangeKind == 0 ? ZRangeRequest(*from, *to) : DateRangeRequest(*from, *to);
}

bool UploadAction::OpenDevicePort(const QString& PortName) {
    if (m_ports.FindPort(PortName) == -1) {
        ReportPortError(PortName);
        return false;
    }
    const bool opened = m_ports.OpenPort(PortName);
    if (!opened)
        m_portError = m_ports.LastError();
    const int index = m_ports.FindPort(PortName);
    if (!opened || index < 0)
        return false;
    TBsPort& link = *m_ports.Port(index);
    link.SetBaudRate(tbr115200);
    link.IsDebug = false;
    link.IsModem = false;
    link.MaxBaudIndex = kBaudIndex115200;
    return true;
}

void UploadAction::ReportPortError(const QString& PortName) {
    MemoLine(FormatPortMessage(m_messages.MsgPortNotExist, PortName));
}

void UploadAction::CloseDevicePort(const QString& PortName) {
    m_ports.ClosePort(PortName);
}

int UploadAction::ChooseLink(bool WithReachabilityCheck) {
    if (m_request.Mode == tmTCPIP) {
        TBsPort& link = *m_ports.Port(0);
        link.SetIP(m_request.UdpHost);
        link.SetMode(tmTCPIP);
        if (WithReachabilityCheck && !Reachable(m_request.UdpHost)) {
            if (!m_checkError.isEmpty()) {
                // Without a working check (no echo socket) the upload does not start at all:
                // the operator learns why instead of watching an upload that cannot be judged.
                m_portFailed = true;
                MemoLine(m_checkError);
                return -1;
            }
            // The upload still starts (its first request goes out); its wait ends at once.
            TimeoutLines();
            Stop();
        }
        return 0;
    }
    const int index = m_ports.FindPort(m_request.PortName);
    if (index < 0)
        return -1;
    m_ports.Port(index)->SetMode(tmRS232);
    return index;
}

bool UploadAction::Reachable(const QString& Host) {
    m_checkError.clear();
    if (!ReachabilityCheck)
        return true;
    try {
        return ReachabilityCheck(Host);
    } catch (const std::exception& e) {
        m_checkError = QString::fromUtf8(e.what());
        if (m_checkError.isEmpty())
            m_checkError = QStringLiteral("The reachability check of %1 failed").arg(Host);
        return false;
    }
}

bool UploadAction::ReserveFile(const QString& Prefix, QString& Path) {
    // The name is taken by creating the file, so a file made meanwhile is never emptied.
    for (int attempt = 0; attempt < 100; ++attempt) {
        Path = UniqueTimestampedPath(m_folders.DufileDir, Prefix, QStringLiteral(".hex"),
                                     QDateTime::currentDateTime());
        QFile file(Path);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true;
        if (!QFileInfo::exists(Path)) {
            Message(QStringLiteral("Cannot create file %1: %2").arg(Path, file.errorString()));
            return false;
        }
    }
    Message(QStringLiteral("Cannot create a %1 file in %2").arg(Prefix, m_folders.DufileDir));
    return false;
}

bool UploadAction::UploadHeaderFooter(int Command, const QString& FileName) {
    const int index = ChooseLink(false);
    if (index < 0)
        return false;
    if (!StartExchange(index, static_cast<TEnumVarnCmd>(Command), FileName, std::nullopt))
        return false;
    WaitForLink(index);
    TBsPort& link = *m_ports.Port(index);
    link.CancelSession();
    DetachLink(link);
    if (m_end == SessionEnd::Finished)
        return PartHasItsLayoutSize(Command, FileName);
    SetState(UploadState::Preparing);
    return false;
}

bool UploadAction::PartHasItsLayoutSize(int Command, const QString& FileName) {
    const qint64 size = QFileInfo(FileName).size();
    const bool header = Command == H_UPLOAD_Header;
    const bool fits = header ? size > 0 && size % kHeaderBlockSize == 0 && size <= kMaxHeaderArea
                             : size == kFooterArea;
    if (fits)
        return true;
    m_damagedPart = true;
    Message(QStringLiteral("The device's %1 came as %2 bytes where %3 belong: the upload is "
                           "incomplete and no report is made")
                .arg(header ? QStringLiteral("header") : QStringLiteral("footer"))
                .arg(size)
                .arg(header ? QStringLiteral("256 to %1, in whole blocks,").arg(kMaxHeaderArea)
                            : QString::number(kFooterArea)));
    return false;
}

bool UploadAction::LetLineSettle() {
    if (Limits.SettleBetweenExchangesMs > 0 && !m_cancelled) {
        QEventLoop loop;
        QEventLoop* const outer = std::exchange(m_loop, &loop);
        const auto restore = qScopeGuard([&] { m_loop = outer; });
        QTimer::singleShot(Limits.SettleBetweenExchangesMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return !m_cancelled;
}

bool UploadAction::StartExchange(int PortIndex, TEnumVarnCmd Command, const QString& FileName,
                                 const std::optional<QByteArray>& Range) {
    // A serial line that hung up after the last exchange was closed by its link: it is
    // opened again, or the operator learns why it cannot be (the adapter is gone).
    if (m_request.Mode == tmRS232 && !m_ports.OpenPort(m_request.PortName)) {
        m_portFailed = true;
        m_portError = m_ports.LastError();
        MemoLine(FormatPortMessage(m_messages.MsgPortOpenFail, m_request.PortName));
        return false;
    }
    TBsPort& link = *m_ports.Port(PortIndex);
    SessionRequest session;
    session.Command = Command;
    session.RequestData = Range;
    session.FileName = FileName;
    session.Retries = kBaudRetries;
    session.Address = kDeviceAddress;
    session.BaudIndex = kBaudIndex;
    session.StartAt9600 = true;
    // A line that cannot open (over UDP the session binds the socket itself) would only show
    // up as silence, ending in "timeout..." half a minute later: say so at once.
    session.RequireOpenLine = true;
    m_end.reset();
    m_exchangeFile = FileName;
    m_exchangePackets = 0;
    AttachLink(link);
    // Before the session starts: its first bit-rate attempt goes out right away.
    m_exchangeLink = PortIndex;
    switch (link.StartSession(session)) {
    case SessionStart::Started:
        SetState(UploadState::Exchanging);
        return true;
    case SessionStart::LineFailed:
        m_portFailed = true;
        m_portError = link.ActiveTransport()->LastError();
        MemoLine(FormatPortMessage(m_messages.MsgPortOpenFail, QStringLiteral("UDP")));
        break;
    case SessionStart::FileFailed:
        m_outputFailed = true;
        Message(QStringLiteral("Cannot create file %1: %2")
                    .arg(FileName, link.OutputFile().errorString()));
        break;
    }
    DetachLink(link);
    return false;
}

void UploadAction::AttachLink(TBsPort& Link) {
    Link.OnSessionResult = [this](int) {
        if (m_loop)
            m_loop->quit();
    };
    Link.OnSessionEnded = [this, &Link](SessionEnd End) {
        m_end = End;
        // The device went on past the last block a request can name: say so, the time-out
        // lines that follow every failure would send the operator looking at the cable.
        // A line that went away names itself and the system's reason.
        if (End == SessionEnd::Overrun || End == SessionEnd::Disconnected)
            MemoLine(Link.StatusText);
        if (End == SessionEnd::FileFailed) {
            // The disk (or the file) failed, not the device: the link's text names the file
            // and the system's reason.
            m_writeFailed = true;
            MemoLine(Link.StatusText);
        }
        if (End == SessionEnd::Refused) {
            // The device refused the request: the upload stops with "upload fail".
            m_refused = true;
            MemoLine(m_messages.MsgUploadFail);
            Stop();
        }
        if (m_loop)
            m_loop->quit();
    };
    Link.OnProgressDot = [this](ProgressDotKind Kind) {
        if (OnProgressDot)
            OnProgressDot(Kind);
    };
    Link.OnDataWritten = [this](int Bytes) {
        if (m_packets == 0) {
            m_firstPacketNs = m_clock.nsecsElapsed();
            m_firstPacketBytes = Bytes;
        }
        ++m_packets;
        ++m_exchangePackets;
        m_bytes += Bytes;
    };
    Link.OnProgressStep = [this] {
        m_bar.Position = std::min(m_bar.Position + 1, m_bar.Maximum);
        if (OnProgressBar)
            OnProgressBar(m_bar);
    };
    // Status and trace texts cost a formatting per received chunk: only when someone reads.
    if (OnStatus)
        Link.OnStatus = [this](const QString& Text, StatusKind Kind) { OnStatus(Text, Kind); };
    else
        Link.OnStatus = nullptr;
    if (OnFrameTrace) {
        Link.OnFrameTrace = [this, link = &Link](FrameDirection Direction,
                                                 const QByteArray& Bytes) {
            const int rate =
                link->LineAgreesBitRate() ? BaudRateOfIndex(link->BaudRate() & 0x7F) : 0;
            OnFrameTrace(Direction, Bytes, rate);
        };
    } else {
        Link.OnFrameTrace = nullptr;
    }
}

void UploadAction::DetachLink(TBsPort& Link) {
    Link.OnSessionResult = nullptr;
    Link.OnSessionEnded = nullptr;
    Link.OnProgressDot = nullptr;
    Link.OnProgressStep = nullptr;
    Link.OnDataWritten = nullptr;
    Link.OnStatus = nullptr;
    Link.OnFrameTrace = nullptr;
    m_exchangeLink = -1;
}

int UploadAction::WaitForLink(int PortIndex) {
    TBsPort& link = *m_ports.Port(PortIndex);
    // The port manager's mode is the window's COM/UDP choice (Run sets it from the request).
    const bool serial = m_ports.Mode() == tmRS232;

    QEventLoop loop;
    QEventLoop* const outer = std::exchange(m_loop, &loop);
    const auto restore = qScopeGuard([&] { m_loop = outer; });

    // The serial limit: the bit rate must be agreed in time.
    bool comExpired = false;
    QTimer comLimit;
    comLimit.setSingleShot(true);
    connect(&comLimit, &QTimer::timeout, &loop, [&] {
        comExpired = true;
        loop.quit();
    });
    // UDP: once the device has been silent for a while, check that it is there at all, and
    // again ReachabilityRepeatMs after each check that passed. Each check sends echo requests,
    // so it must not run on every wake-up of the wait: the timer is armed again only after a
    // check has ended, and a precise timer never fires early, so two checks are never closer
    // than the limit.
    bool checkDue = false;
    QTimer udpCheck;
    udpCheck.setSingleShot(true);
    udpCheck.setTimerType(Qt::PreciseTimer);
    connect(&udpCheck, &QTimer::timeout, &loop, [&] {
        checkDue = true;
        loop.quit();
    });
    if (serial)
        comLimit.start(std::max(0, Limits.ComNoProgressMs));
    else if (ReachabilityCheck)
        udpCheck.start(std::max(0, Limits.UdpCheckAfterMs));

    // A wait that gives up ends the session: it would otherwise go on sending requests and
    // retransmissions into a file that is closed.
    for (;;) {
        const int r = link.SessionResult();
        if (m_stopped) {
            link.CancelSession();
            return r;
        }
        if (m_end) {
            // Every failure of the line or the device reads "timeout...", "connect fail...";
            // a file that could not be written has said so already, and a line that went
            // away did not time out.
            const SessionEnd end = *m_end;
            if (end == SessionEnd::Disconnected)
                MemoLine(m_messages.MsgConnectFail);
            else if (end != SessionEnd::Finished && end != SessionEnd::Cancelled &&
                     end != SessionEnd::FileFailed)
                TimeoutLines();
            if (end == SessionEnd::TimedOut && m_exchangePackets > 0)
                SilenceLine();
            return r;
        }
        if (serial && comExpired && r <= 0) {
            TimeoutLines();
            link.CancelSession();
            return r;
        }
        if (!serial && checkDue) {
            checkDue = false;
            // Once the first request has gone out (result 1) the link's own time-outs decide;
            // over UDP the result never falls back to 0, so the checks are over.
            if (r <= 0) {
                if (!Reachable(link.IP())) {
                    if (m_checkError.isEmpty()) {
                        TimeoutLines();
                    } else {
                        m_portFailed = true;
                        MemoLine(m_checkError);
                    }
                    link.CancelSession();
                    return r;
                }
                udpCheck.start(std::max(1, Limits.ReachabilityRepeatMs));
            }
        }
        loop.exec();
    }
}

UploadOutcome UploadAction::Decode(const UploadRequest& Request) {
    ReportDecodeSettings settings;
    settings.TxtfileDir = m_folders.TxtfileDir;
    settings.MachineIndex = Request.MachineIndex;
    settings.QueryType = Request.RangeKind;
    settings.FromText = Request.FromText;
    settings.ToText = Request.ToText;
    settings.DecimalSeparator = Request.DecimalSeparator;
    settings.ReportCaption = Request.ReportCaption;
    settings.AddListEntry = AddListEntry;

    if (!ReportKindOf(Request.Kind).NeedsHeaderFooter) {
        if (QFileInfo::exists(Request.OutputFile)) {
            m_bar.Visible = false;
            if (OnProgressBar)
                OnProgressBar(m_bar);
        }
        m_decode = DecodeDetailSummary(Request.OutputFile, Request.Kind, settings, m_messages);
        if (m_decode.Error == ReportError::NoReport && OnNoReport)
            OnNoReport(Request.OutputFile);
    } else {
        try {
            JoinUploadFiles(m_headerFile, m_footerFile, Request.OutputFile);
        } catch (const FileError& e) {
            WriteFailed(m_decode, QStringLiteral("Cannot join the upload files: %1")
                                      .arg(QString::fromStdString(e.what())));
        }
        if (!m_decode.Failed)
            m_decode = DecodeChangeReport(Request.OutputFile, Request.Kind, settings, m_messages);
    }
    if (!m_decode.ReportPath.isEmpty() && OnReport)
        OnReport(m_decode, Request.OutputFile);
    if (!m_decode.Message.Text.isEmpty() && OnMessage)
        OnMessage(m_decode.Message);
    if (m_decode.Error == ReportError::WriteFailed)
        return UploadOutcome::WriteFailed;
    return m_decode.Failed ? UploadOutcome::DecodeFailed : UploadOutcome::Finished;
}

void UploadAction::EndFigures() {
    if (m_endNs < 0 && m_clock.isValid())
        m_endNs = m_clock.nsecsElapsed();
}

UploadProgress UploadAction::Progress() const {
    UploadProgress p;
    p.Packets = m_packets;
    p.Bytes = m_bytes;
    const qint64 now = m_endNs >= 0 ? m_endNs : (m_clock.isValid() ? m_clock.nsecsElapsed() : 0);
    p.ElapsedMs = now / 1000000;
    // The first packet marks the start of the flow: the rate counts what came after it.
    if (m_packets > 1 && now > m_firstPacketNs) {
        p.BytesPerSecond =
            double(m_bytes - m_firstPacketBytes) * 1e9 / double(now - m_firstPacketNs);
    }
    const TBsPort* link = m_endNs < 0 ? m_ports.Port(m_exchangeLink) : nullptr;
    if (link && link->SessionOpen() && link->LineAgreesBitRate() && !link->BaudReady) {
        p.Connecting = true;
        p.LineRate = BaudRateOfIndex(link->LineBaudIndex);
        p.Attempts = kBaudRetries;
        // Each expired attempt takes one of the retries the session began with.
        p.Attempt = std::clamp(kBaudRetries - link->RetriesLeft + 1, 1, kBaudRetries);
    }
    return p;
}

void UploadAction::Cancel(bool Announce) {
    if (!m_running)
        return;
    m_cancelled = true;
    if (Announce)
        MemoLine(m_messages.MsgCancelUpload);
    Stop();
}

void UploadAction::Stop() {
    m_stopped = true;
    if (m_loop)
        m_loop->quit();
}
