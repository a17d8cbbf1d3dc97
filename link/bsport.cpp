#include "link/bsport.h"
#include "link/status_texts.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <utility>

Q_LOGGING_CATEGORY(lcLinkFrames, "orvexfm.link.frames", QtWarningMsg)

QString HexDump(const QByteArray& Bytes) {
    static const char digits[] = "0123456789abcdef";
    QString out;
    out.reserve(Bytes.size() * 3);
    for (const char c : Bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 0x0F]);
        out += QLatin1Char(' ');
    }
    return out;
}

namespace {

qint64 MonotonicMs() {
    static QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer.elapsed();
}

// Keeps the debug list from growing without bound on a link left in debug mode.
constexpr qsizetype kDebugLinesMax = 100000;

} // namespace

TBsPort::TBsPort(QObject* Parent) : QObject(Parent), Commands(DefaultCommandTable()) {
    Clock = MonotonicMs;
    m_startTimer = new QTimer(this);
    m_startTimer->setSingleShot(true);
    m_startTimer->setTimerType(Qt::PreciseTimer);
    connect(m_startTimer, &QTimer::timeout, this, [this] { RunDueStart(); });
    m_frameSink = [this](const FrameEvent& Event) { OnFrameEvent(Event); };
    m_frameTimer = new QTimer(this);
    m_frameTimer->setSingleShot(true);
    connect(m_frameTimer, &QTimer::timeout, this, [this] { AbandonOverdueFrame(); });
}

TBsPort::~TBsPort() {
    if (m_serial) {
        m_serial->OnBytes = nullptr;
        m_serial->OnModemLines = nullptr;
    }
    if (m_udp)
        m_udp->OnBytes = nullptr;
    for (LinkTransport* line : {m_serial.get(), m_udp.get()}) {
        if (line)
            line->OnHangUp = nullptr;
    }
}

bool TBsPort::LineAgreesBitRate() const {
    const LinkTransport* line = ActiveTransport();
    return !line || line->AgreesBitRate();
}

bool TBsPort::LineIsDatagram() const {
    const LinkTransport* line = ActiveTransport();
    return line && line->IsDatagram();
}

qint64 TBsPort::Now() const {
    return Clock ? Clock() : MonotonicMs();
}

void TBsPort::SetTransport(TMode TransportMode, std::unique_ptr<LinkTransport> Transport) {
    auto& slot = TransportMode == tmRS232 ? m_serial : m_udp;
    slot = std::move(Transport);
    if (!slot)
        return;
    slot->OnBytes = [this](const QByteArray& bytes) { ReceiveBytes(bytes); };
    slot->OnHangUp = [this, line = slot.get()](const QString& reason) {
        LineHungUp(*line, reason);
    };
    // A serial line is opened by its owner, who reports a failure; a datagram line opens with
    // its session, so the session's status says when it could not.
    LinkTransport* line = slot.get();
    slot->OnOpened = [this, line](const QString& error) {
        if (!error.isEmpty() && line->IsDatagram())
            ReportStatus(LinkStatusText(LinkText::UdpOpenFailed, line->Endpoint(), error));
    };
    if (TransportMode == tmRS232) {
        slot->OnModemLines = [this](std::uint32_t event) { OnModemLines(event); };
        slot->SetEndpoint(m_commName);
        slot->SetBaudRate(BaudRateOfIndex(m_baudRate));
    } else {
        slot->SetEndpoint(m_ip);
    }
}

LinkTransport* TBsPort::Transport(TMode TransportMode) const {
    return TransportMode == tmRS232 ? m_serial.get() : m_udp.get();
}

void TBsPort::SetCommName(const QString& Name) {
    m_commName = Name;
    if (m_serial)
        m_serial->SetEndpoint(Name);
}

void TBsPort::SetIP(const QString& Address) {
    m_ip = Address;
    if (m_udp)
        m_udp->SetEndpoint(Address);
}

void TBsPort::SetBaudRate(TBaudRate Value) {
    m_baudRate = Value;
    if (m_serial)
        m_serial->SetBaudRate(BaudRateOfIndex(Value & 0x7F));
}

void TBsPort::ApplyLineRate(int BaudIndex) {
    SetBaudRate(static_cast<TBaudRate>(
        BaudIndex >= 0 && BaudIndex < kBaudRateCount ? BaudIndex : kBaudIndex9600));
}

void TBsPort::SetSessionResult(int Value) {
    if (m_sessionResult == Value)
        return;
    m_sessionResult = Value;
    if (OnSessionResult)
        OnSessionResult(Value);
}

// ---------------------------------------------------------------------------------------
// Session start and end

void TBsPort::OpenSession() {
    if (m_sessionOpen)
        return;
    m_sessionOpen = true;
    m_refusals = 0;
    emit SessionOpened();
}

void TBsPort::EndSession(SessionEnd End, int Result) {
    LinkState = '0';
    RequestPending = -1;
    m_startDueAt.reset();
    m_startTimer->stop();
    if (End == SessionEnd::Refused) {
        // The refused upload's file stays open: its owner closes it.
        if (FileState == 2)
            FileState = 0;
    } else {
        CloseFileByState();
    }
    if (Result != kKeepResult)
        SetSessionResult(Result);
    if (!std::exchange(m_sessionOpen, false))
        return;
    emit SessionClosed();
    if (OnSessionEnded)
        OnSessionEnded(End);
}

SessionStart TBsPort::StartSession(const SessionRequest& Request) {
    EnumVarnCmd = Request.Command;
    StopAfter = Request.StopAfter;
    BaudReady = false;
    RetriesLeft = Request.Retries;
    if (Request.RequestData) {
        const auto n = std::min<qsizetype>(Request.RequestData->size(), kRequestDataSize);
        std::copy_n(Request.RequestData->begin(), n, RequestData.begin());
        RequestDataLen = static_cast<int>(n);
    }
    DumpStart = Request.DumpStart;
    DumpEnd = Request.DumpEnd;
    FiscalMode = Request.FiscalMode;
    FiscalParams = Request.FiscalParams;
    BeginSession(Request.Address, Request.BaudIndex, Request.StartAt9600);
    const LinkTransport* line = ActiveTransport();
    // A session that cannot run ends without a report: the owner learns it from the result.
    if (Request.RequireOpenLine && line && !line->IsOpen()) {
        m_sessionOpen = false;
        CancelSession();
        return SessionStart::LineFailed;
    }
    if (!PrepareCommand(Request.FileName)) {
        m_sessionOpen = false;
        CancelSession();
        return SessionStart::FileFailed;
    }
    SendRequest();
    return SessionStart::Started;
}

void TBsPort::CancelSession() {
    m_outputFile.close();
    m_inputFile.close();
    FileState = 0;
    DownloadState = -1;
    EndSession(SessionEnd::Cancelled, kKeepResult);
}

void TBsPort::PacketAccepted() {
    RetriesLeft = kDefaultRetries;
    SentAt = Now();
    if (RequestPending == 1)
        RequestPending = 0;
}

bool TBsPort::TimeoutExpired(qint64 At) const {
    return LinkState != '0' && At - SentAt >= static_cast<qint64>(AckTimeout);
}

bool TBsPort::ReportStatus(const QString& Text, StatusKind Kind) {
    if (Kind != StatusKind::ReceivedChunk)
        StatusText = Text;
    if (IsDebug) {
        if (DebugLines.size() >= kDebugLinesMax)
            DebugLines.removeFirst();
        DebugLines.append(Text);
    }
    if (OnStatus)
        OnStatus(Text, Kind);
    return true;
}

void TBsPort::BumpSequence(int Cmd) {
    Commands[Cmd][8] = (Commands[Cmd][8] + 1) & 0xFFFF;
}

bool TBsPort::IsEchoOfLastRequest(const FrameEvent& Event) const {
    const QByteArray& sent = m_lastSentFrame;
    const qsizetype dataLength = Event.Frame.Data.size();
    // Without data a frame has no CRC either. Such an echo (a header or footer request on a
    // fresh link) is told apart only where every answer carries a packet: an empty answer to a
    // report or dump request can repeat the request byte for byte, and it ends the exchange.
    if (dataLength == 0 && !IsFiscalMemoryCommand(CurrentCommand))
        return false;
    if (sent.size() != kFrameHeaderSize + (dataLength > 0 ? dataLength + 2 : 0))
        return false;
    const auto* header = reinterpret_cast<const char*>(Event.RawHeader.data());
    return sent.startsWith(QByteArrayView(header, kFrameHeaderSize)) &&
           QByteArrayView(sent).sliced(kFrameHeaderSize, dataLength) == Event.Frame.Data;
}

bool TBsPort::SequenceMatches(const DeviceFrame& Frame) const {
    return Frame.Sequence == SequenceByte(CheckedCommand);
}

// ---------------------------------------------------------------------------------------
// Sending

bool TBsPort::SendFrame(const CommandRow& Row, const std::uint8_t* Data, bool Remember, int Count) {
    if (Count < 0 || Count > kMaxRequestDataLength || (Count > 0 && !Data)) {
        ReportStatus(LinkStatusText(LinkText::BadRequestDataLength, Count, kMaxRequestDataLength));
        return false;
    }
    const QByteArray data =
        Count > 0 ? QByteArray(reinterpret_cast<const char*>(Data), Count) : QByteArray();
    if (Remember) {
        m_resends = 0;
        m_lateCopyAtResend.reset();
        LastFrame.Row = Row;
        LastFrame.Data = data;
        LastFrame.Valid = true;
    }
    FrameHeaderBytes header;
    for (int i = 0; i < 9; ++i)
        header[i] = static_cast<std::uint8_t>(Row[i] & 0xFF);
    WriteFrame(EncodeFrame(header, data));
    return true;
}

void TBsPort::ResendLastFrame() {
    if (!LastFrame.Valid)
        return;
    ++m_resends;
    FrameHeaderBytes header;
    for (int i = 0; i < 9; ++i)
        header[i] = static_cast<std::uint8_t>(LastFrame.Row[i] & 0xFF);
    WriteFrame(EncodeFrame(header, LastFrame.Data));
}

void TBsPort::WriteFrame(const QByteArray& Bytes) {
    RxCount = 0;
    m_lastSentFrame = Bytes;
    if (OnFrameTrace)
        OnFrameTrace(FrameDirection::Sent, Bytes);
    qCDebug(lcLinkFrames).noquote() << m_commName << "send" << HexDump(Bytes);
    LinkTransport* t = ActiveTransport();
    if (!t || !t->Write(Bytes))
        ReportStatus(LinkStatusText(LinkText::SendFailed, Bytes.size(),
                                    t ? t->LastError() : LinkStatusText(LinkText::NoTransport)));
}

// ---------------------------------------------------------------------------------------
// Receiving

void TBsPort::ReceiveBytes(const QByteArray& Chunk) {
    if (Chunk.isEmpty())
        return;
    RxCount += static_cast<int>(Chunk.size());
    // Every chunk is parsed, whatever its size: the frame finder reassembles frames across
    // chunk borders, so how the line happens to split an answer never loses it.
    if (OnStatus || IsDebug)
        ReportStatus(LinkStatusText(LinkText::ReceivedChunk, Chunk.size(), HexDump(Chunk)),
                     StatusKind::ReceivedChunk);
    ParseBytes(Chunk.constData(), Chunk.size());
}

void TBsPort::ParseBytes(const char* Chunk, qsizetype Length) {
    m_lastBytesAt = Now();
    if (m_parsing) {
        // A handler's write made a transport deliver bytes synchronously: finish the frame in
        // hand first so the finder's state is never entered twice.
        m_pendingChunks.append(Chunk, Length);
        return;
    }
    m_parsing = true;
    m_finder.Feed(Chunk, Length, m_frameSink);
    FinishParse();
}

void TBsPort::FinishParse() {
    while (!m_pendingChunks.isEmpty()) {
        const QByteArray more = std::exchange(m_pendingChunks, QByteArray());
        m_finder.Feed(more, m_frameSink);
    }
    m_parsing = false;
    if (LinkTransport* line = ActiveTransport())
        line->ExpectBytes(m_finder.DataStillMissing());
    WatchFrameDeadline();
}

std::optional<qint64> TBsPort::FrameDeadline() const {
    if (!m_finder.InFrame())
        return std::nullopt;
    const qint64 missing = m_finder.CollectingData() ? m_finder.DataStillMissing()
                                                     : kFrameHeaderSize - m_finder.CollectedBytes();
    const bool datagram = LineIsDatagram();
    const qint64 rate = datagram ? kDatagramFrameRate : BaudRateOfIndex(m_baudRate & 0x7F);
    constexpr qint64 kBitsPerByte = 10; // 8N1
    const qint64 wireMs = (missing * kBitsPerByte * 1000 + rate - 1) / std::max<qint64>(rate, 1);
    // A slow adapter or a clock a little off stretches a long rest: a quarter more for it.
    const qint64 margin = datagram ? kDatagramFrameMarginMs : kFrameMarginMs + wireMs / 4;
    return m_lastBytesAt + wireMs + margin;
}

void TBsPort::WatchFrameDeadline() {
    const std::optional<qint64> due = FrameDeadline();
    if (!due) {
        m_frameTimer->stop();
        return;
    }
    // While bytes keep coming the deadline moves on; the timer is not restarted for each
    // chunk but looks again when it fires.
    if (!m_frameTimer->isActive())
        m_frameTimer->start(static_cast<int>(std::max<qint64>(0, *due - Now())));
}

void TBsPort::AbandonOverdueFrame() {
    const std::optional<qint64> due = FrameDeadline();
    if (!due || m_parsing)
        return;
    const qint64 now = Now();
    if (now < *due) {
        WatchFrameDeadline();
        return;
    }
    const qint64 expected = m_finder.CollectingData()
                                ? kFrameHeaderSize + m_finder.PendingDataLength() + 2
                                : kFrameHeaderSize;
    ReportStatus(LinkStatusText(LinkText::FrameOverdue, now - m_lastBytesAt,
                                m_finder.CollectedBytes(), expected));
    m_parsing = true;
    m_finder.AbandonFrame(m_frameSink);
    FinishParse();
}

void TBsPort::OnFrameEvent(const FrameEvent& Event) {
    if (OnFrameTrace || lcLinkFrames().isDebugEnabled()) {
        QByteArray raw(reinterpret_cast<const char*>(Event.RawHeader.data()),
                       static_cast<qsizetype>(Event.RawHeader.size()));
        if (Event.Kind == FrameEventKind::Frame || Event.Kind == FrameEventKind::BadCrc) {
            raw += Event.Frame.Data;
            if (Event.DataLength > 0) {
                raw += static_cast<char>(Event.ReceivedCrc & 0xFF);
                raw += static_cast<char>(Event.ReceivedCrc >> 8);
            }
        }
        if (OnFrameTrace)
            OnFrameTrace(FrameDirection::Received, raw);
        qCDebug(lcLinkFrames).noquote() << m_commName << "recv" << HexDump(raw);
    }

    switch (Event.Kind) {
    case FrameEventKind::BadHeaderChecksum:
        // Not a frame: nothing is released, the time-out recovers.
        ReportStatus(LinkStatusText(LinkText::BadHeaderSum));
        return;
    case FrameEventKind::Oversize:
        ReportStatus(LinkStatusText(LinkText::FrameTooLong, Event.DataLength, kMaxFrameDataLength));
        return;
    case FrameEventKind::BadCrc: {
        // The received CRC is shown with its first byte high, as the device's tools print it.
        const auto shown = static_cast<std::uint16_t>(((Event.ReceivedCrc & 0xFF) << 8) |
                                                      (Event.ReceivedCrc >> 8));
        const auto hex4 = [](unsigned Value) {
            return QStringLiteral("%1").arg(Value, 4, 16, QLatin1Char('0'));
        };
        ReportStatus(LinkStatusText(LinkText::BadFrameCrc, int(Event.DataLength),
                                    hex4(Event.ComputedCrc), hex4(shown)));
        AfterCompleteFrame();
        return;
    }
    case FrameEventKind::Frame:
        // A line that echoes (a half-duplex adapter, a modem, a loop-back) hands the request
        // back; it is never the device's answer, whatever its sequence byte says.
        if (IsEchoOfLastRequest(Event))
            return;
        HandleFrame(Event.Frame);
        AfterCompleteFrame();
        return;
    }
}

// A complete frame has been handled (or dropped for its CRC). If it released the next
// request, send it now rather than at the next tick, so the transfer runs at line speed.
void TBsPort::AfterCompleteFrame() {
    if (m_sessionResult == 3 || LinkState != 'L')
        return;
    if (!LineAgreesBitRate() || BaudReady)
        SendRequest();
}

void TBsPort::HandleFrame(const DeviceFrame& Frame) {
    const std::uint8_t cls = Frame.Class;
    if (cls == 0x80 && Frame.Code == 0x0D) {
        // Refusal.
        ReportStatus(LinkStatusText(LinkText::Refused));
        m_refusals += 1;
        RetriesLeft -= 1;
        if (RetriesLeft > 0) {
            ResendLastFrame();
            SentAt = Now();
        }
        if (IsUploadRefusalFatal(CurrentCommand) && LinkState == 'L')
            EndSession(SessionEnd::Refused, 2);
        return;
    }
    if (cls == 0x80 && Frame.Code == 0x0E) {
        // Acknowledge.
        if (!SequenceMatches(Frame)) {
            if (CurrentCommand == H_DOWNLOAD_APLU)
                DownloadState = 0;
            return;
        }
        if (CurrentCommand == H_SETBAUD) {
            OnSetBaudAcknowledged();
            return;
        }
        if (CurrentCommand == H_DN_UpTrTaskOk) {
            StatusText = FinishText;
            EndSession(SessionEnd::Finished, 3);
            return;
        }
        if (DownloadState == -1) {
            if (LinkState == 'L') {
                ApplyLineRate(kBaudIndex9600);
                EndSession(SessionEnd::Finished, 3);
            }
        } else if (DownloadState == 1) {
            DownloadState = 0;
        }
        CheckedCommand = CurrentCommand;
        return;
    }

    const PacketHandler handler = HandlerFor(CurrentCommand);
    if (!handler && cls != 0x91)
        return;
    if (cls == 0x80) {
        // Data of the current command. Over UDP the fiscal-memory and EPROM packets are
        // taken without the sequence test (each answer there follows its own request).
        const bool direct = LineIsDatagram() && (IsFiscalMemoryCommand(CurrentCommand) ||
                                                 CurrentCommand == H_UPLOAD_EPROM);
        if (direct || (SequenceMatches(Frame) && FileState != 0))
            (this->*handler)(Frame);
    } else if (cls == 0x81 || cls == 0x82 || cls == 0x83) {
        // Memory dump data.
        const bool dump = CurrentCommand == H_UPLOAD_EPROM || CurrentCommand == H_UPLOAD_ROM ||
                          CurrentCommand == H_UPLOAD_RAM;
        const bool direct = LineIsDatagram() && CurrentCommand == H_UPLOAD_EPROM;
        if (dump && (direct || (SequenceMatches(Frame) && FileState != 0)))
            (this->*handler)(Frame);
    } else if (cls == 0x90) {
        // Fiscal-memory data.
        if (IsFiscalMemoryCommand(CurrentCommand))
            (this->*handler)(Frame);
    } else if (cls == 0x91) {
        if (!OnResponseVarn)
            return;
        if (Frame.Code == 2)
            OnResponseVarn(H_RESPONSE_PLU, Frame);
        else if (Frame.Code == 3)
            OnResponseVarn(H_RESPONSE_TRADE, Frame);
    }
}

// ---------------------------------------------------------------------------------------
// Owner calls

bool TBsPort::PrepareCommand(const QString& FileName) {
    OpenSession();
    const TEnumVarnCmd cmd = EnumVarnCmd;
    const CommandTemplate& t = TemplateOf(cmd);
    LastWrittenSeq = -1;
    BytesReceived = 0;
    FileState = 0;
    m_endMarkerSeen = false;
    m_earlierAnswers.BeginExchange();
    PacketSize = t.PacketSize;
    if (m_outputFile.isOpen())
        m_outputFile.close();
    if (m_inputFile.isOpen())
        m_inputFile.close();

    if (t.File == FileDirection::Read) {
        m_inputFile.setFileName(FileName);
        if (!m_inputFile.open(QIODevice::ReadOnly)) {
            ReportStatus(
                LinkStatusText(LinkText::CannotOpenFile, FileName, m_inputFile.errorString()));
            return false;
        }
        FileState = 1;
        if ((cmd == H_PROGRAM64K || cmd == H_PROGRAM60K) && !ReadProgramVersion()) {
            m_inputFile.close();
            FileState = 0;
            return false;
        }
    } else if (t.File == FileDirection::Write) {
        PacketSize = 256;
        m_outputFile.setFileName(FileName);
        // Unbuffered: every accepted packet goes to the system at once, so a crash or a kill
        // keeps what arrived, and a full disk shows at the packet that does not fit.
        if (!m_outputFile.open(QIODevice::WriteOnly | QIODevice::Truncate |
                               QIODevice::Unbuffered)) {
            ReportStatus(
                LinkStatusText(LinkText::CannotCreateFile, FileName, m_outputFile.errorString()));
            return false;
        }
        FileState = 2;
    }

    LinkState = 'L';
    SentAt = Now();
    BlockCounter = 0;
    Commands[cmd][8] = static_cast<std::uint32_t>(DeviceSequence) & 0xFFFF;
    if (cmd == H_UPLOAD_FISCAL) {
        // A new fiscal report asks for its first packet, not for a continuation: over UDP the
        // table is not reloaded between sessions, so the flag of the last report would stay.
        Commands[cmd][7] = TemplateOf(cmd).Byte8;
    }
    if (cmd == H_PROGRAM60K) {
        // The 60K image leaves out the first 4 KiB (16 blocks) of the device's program area.
        BlockCounter = kProgram60KFirstBlock;
        m_inputFile.seek(kProgram60KFirstBlock * 256);
    }
    DownloadState = 0;
    RequestPending = 0;
    if (cmd == H_UPLOAD_XRPT || cmd == H_UPLOAD_ZRPT) {
        ReportKind = cmd == H_UPLOAD_XRPT ? 1 : 2;
        EnumVarnCmd = H_UPLOAD_DEP;
    } else {
        ReportKind = 0;
    }
    if (cmd == H_UPLOAD_EPROM) {
        BlockCounter = kEpromFirstBlock;
        PageCount = 0;
    }
    if (cmd == H_UPLOAD_ROM || cmd == H_UPLOAD_RAM || cmd == H_UP_NANDFLASH) {
        const auto start = static_cast<std::uint32_t>(DumpStart) & kDumpAddressMask;
        BlockCounter = static_cast<std::uint16_t>(start & 0xFFFF);
        PageCount = 0;
        SetDumpAddress(start);
    }
    return true;
}

void TBsPort::SendRequest() {
    if (const RequestBuilder builder = BuilderFor(CurrentCommand))
        (this->*builder)();
}

void TBsPort::Tick() {
    AbandonOverdueFrame();
    RunDueStart();
    if (!LineAgreesBitRate()) {
        CheckAckTimeout();
        if (LinkState == 'L')
            SendRequest();
        return;
    }
    if (BaudReady) {
        CheckAckTimeout();
        if (LinkState == 'L' && !m_startDueAt)
            SendRequest();
        return;
    }
    if (IsModem)
        return; // an unanswered H_SETBAUD on a modem line is never retried
    CheckBaudTimeout();
    if (Renegotiate)
        BeginSession(EcrAddress, LineBaudIndex, false);
}

std::optional<qint64> TBsPort::MsUntilDue() const {
    if (!m_sessionOpen)
        return std::nullopt;
    const qint64 now = Now();
    // A modem line never retries an unanswered H_SETBAUD: nothing of that step is timed.
    const bool untimedRateAgreement = IsModem && LineAgreesBitRate() && !BaudReady;
    if (Renegotiate && !BaudReady && !IsModem)
        return 0;
    std::optional<qint64> due;
    const auto consider = [&](qint64 At) { due = std::min(due.value_or(At), At); };
    if (m_startDueAt)
        consider(*m_startDueAt);
    if (const std::optional<qint64> frameDue = FrameDeadline())
        consider(*frameDue);
    if (LinkState != '0' && !untimedRateAgreement)
        consider(SentAt + static_cast<qint64>(AckTimeout));
    if (!due)
        return kIdleSessionCheckMs;
    return std::max<qint64>(0, *due - now);
}

void TBsPort::CheckAckTimeout() {
    const qint64 now = Now();
    if (!TimeoutExpired(now))
        return;
    RetriesLeft -= 1;
    ReportStatus(LinkStatusText(LinkText::AckTimeoutRetry, AckTimeout, RetriesLeft + 1));
    SentAt = now;
    if (RetriesLeft > 0) {
        ResendLastFrame();
        return;
    }
    ReportStatus(LinkStatusText(LinkText::AckFailed));
    if (LinkState == 'L')
        DownloadState = -1;
    CloseSerialLine();
    EndSession(SessionEnd::TimedOut, 2);
}

void TBsPort::LineHungUp(LinkTransport& Line, const QString& Reason) {
    ReportStatus(LinkStatusText(LinkText::LineDisconnected, Line.Endpoint(), Reason));
    // Closed at once: the port is free again, and the next open finds out whether the
    // device (or the adapter) is back.
    Line.Close();
    if (&Line != ActiveTransport() || !m_sessionOpen)
        return;
    DownloadState = -1;
    EndSession(SessionEnd::Disconnected, 2);
}

void TBsPort::OnModemLines(std::uint32_t /*Event*/) {
    if (!m_serial)
        return;
    if (m_serial->ModemStatus() == (LinkTransport::kModemCts | LinkTransport::kModemDsr))
        BaudReady = false;
}

// ---------------------------------------------------------------------------------------
// Files

void TBsPort::CloseFileByState() {
    if (FileState == 1)
        m_inputFile.close();
    else if (FileState == 2)
        m_outputFile.close();
    FileState = 0;
}

void TBsPort::CloseSerialLine() {
    if (m_serial && m_serial->IsOpen())
        m_serial->Close();
}

bool TBsPort::AppendOutput(const QByteArray& Data) {
    if (Data.isEmpty())
        return true;
    // A short write (the disk filled up within the packet) is followed by another for the
    // rest: that one fails and leaves the system's reason in errorString().
    for (qsizetype done = 0; done < Data.size();) {
        const qint64 n = m_outputFile.write(Data.constData() + done, Data.size() - done);
        if (n <= 0) {
            FailOnFileError();
            return false;
        }
        done += n;
    }
    if (OnDataWritten)
        OnDataWritten(static_cast<int>(Data.size()));
    return true;
}

bool TBsPort::FlushOutput() {
    if (m_outputFile.flush())
        return true;
    FailOnFileError();
    return false;
}

// A write to the upload file failed (disk full, file gone): the data can no longer be kept,
// so the session ends as failed instead of reporting a short file as finished.
void TBsPort::FailOnFileError() {
    ReportStatus(LinkStatusText(LinkText::WriteFailedReason, m_outputFile.fileName(),
                                m_outputFile.errorString()));
    m_outputFile.close();
    FileState = 0;
    EndSession(SessionEnd::FileFailed, 2);
}
