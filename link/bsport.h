#pragma once

#include "link/commands.h"
#include "link/earlier_answers.h"
#include "link/frame.h"
#include "link/link_events.h"
#include "link/link_transport.h"

#include <QFile>
#include <QObject>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

class QTimer;

// The last request sent with Remember set; time-outs and refusals send it again unchanged
// (same header, same sequence byte, same data).
struct LastFrameStore {
    CommandRow Row{};
    QByteArray Data; // Count bytes
    bool IsEmpty() const { return !Valid; }
    bool Valid = false;
};

// How a session ended. Each session reports its end once, through TBsPort::OnSessionEnded;
// the SessionResult value beside each reason is what readers of the result see.
enum class SessionEnd {
    Finished,    // the command's exchange is complete (3; StopAfter reached included)
    TimedOut,    // the device stopped answering and the retries ran out (2)
    RateFailed,  // the bit rate could not be agreed (2)
    Refused,     // the device refused a request of an upload that cannot go on (2)
    NotPossible, // the device cannot run the command now: Z report error 94 (2), receipt open
                 // or Z report due (-1), Z report due before a download (-2)
    FileFailed,  // the session's file could not be written or read (2)
    Overrun,     // the device gave more than any memory holds: no end marker by the last
                 // block number a request can name (2)
    // The line went away under the session (the device closed its side, an adapter was
    // unplugged); the line is closed (2).
    Disconnected,
    Cancelled, // the owner ended the session (SessionResult stays as it was)
};

// What one session needs: everything an owner used to write into the link before it began.
struct SessionRequest {
    TEnumVarnCmd Command = H_PACK_OK;
    // Request data of the fiscal-memory uploads (the range). Unset: the link's RequestData
    // stays as it is (header and footer requests carry what the last range left there).
    std::optional<QByteArray> RequestData;
    QString FileName;  // the upload's target or the download's source; empty: none
    int Retries = 6;   // H_SETBAUD attempts before the session fails
    int StopAfter = 0; // 0 run the command; 1 end after the device check; 2 after the rate
    int Address = 1;   // device address written into every request header
    int BaudIndex = kBaudIndex115200; // rate to agree
    bool StartAt9600 = true;          // ask for it at 9600 bit/s
    // An owner that cannot use a session whose line did not open (UDP socket not bound) has
    // it end before anything is created or sent; otherwise the session runs and times out.
    bool RequireOpenLine = false;
    // Memory dumps: first and last 24-bit address.
    int DumpStart = 0;
    int DumpEnd = 0;
    // H_UPLOAD_FISCAL: mode 0 sends FiscalParams[0..3], 1 all six, 2 none.
    std::uint8_t FiscalMode = 0;
    std::array<std::uint8_t, 6> FiscalParams{};
};

// What StartSession did.
enum class SessionStart {
    Started,    // the session runs; OnSessionEnded reports its end
    LineFailed, // RequireOpenLine and the line did not open: nothing was created or sent
    FileFailed, // the file could not be created or opened (StatusText says why); nothing sent
};

// One link to one device over a serial line or UDP, with the protocol session that runs on
// it: bit-rate agreement, requests, acknowledges, refusals, time-outs with retransmission,
// dispatch of answers to the running command's packet handler and the result value.
//
// Threading: a TBsPort is a QObject living in its owner's thread. Every entry point (owner
// calls, received bytes, Tick) must be called in that thread; nothing else touches the
// session, so no locks are needed and frames can never interleave.
//
// Running one command (what an owner does):
//   link.OnSessionEnded = [&](SessionEnd End) { ... };     // attach once
//   SessionRequest r; r.Command = H_UPLOAD_Detail; r.RequestData = range; r.FileName = hex;
//   if (link.StartSession(r) != SessionStart::Started) ...  // nothing went out
//   ... wait (event loop) until OnSessionEnded reports how the session ended ...
//   link.CancelSession();                                   // when the owner gives up first
// Something must call Tick() while a session runs, when MsUntilDue() says (the port
// manager's tick driver sleeps until then).
class TBsPort : public QObject {
    Q_OBJECT
public:
    static constexpr int kUdpPort = 5002;
    static constexpr int kRequestDataSize = 4097;
    static constexpr int kDefaultRetries = 8;
    static constexpr std::uint16_t kEpromFirstBlock = 2038;
    static constexpr int kEpromBlocks = 10;
    static constexpr int kBaudSettleMs = 25;
    static constexpr std::uint16_t kProgram60KFirstBlock = 16;
    static constexpr std::uint32_t kDumpAddressMask = 0xFFFFFF;

    explicit TBsPort(QObject* Parent = nullptr);
    ~TBsPort() override;

    // --- Transports ---------------------------------------------------------------------
    // A link owns one transport per mode; Mode() selects the one in use. The link attaches
    // itself to the transport's events.
    void SetTransport(TMode TransportMode, std::unique_ptr<LinkTransport> Transport);
    LinkTransport* Transport(TMode TransportMode) const;
    LinkTransport* ActiveTransport() const { return Transport(m_mode); }
    // What the line in use can do (a link without a transport counts as a serial line).
    bool LineAgreesBitRate() const;
    bool LineIsDatagram() const;

    // --- Published properties ------------------------------------------------------------
    QString CommName() const { return m_commName; }
    void SetCommName(const QString& Name); // also the serial transport's endpoint
    TMode Mode() const { return m_mode; }
    void SetMode(TMode Value) { m_mode = Value; }
    QString IP() const { return m_ip; }
    void SetIP(const QString& Address); // also the UDP transport's endpoint
    TBaudRate BaudRate() const { return m_baudRate; }
    // Stores the value and sets the serial line to its rate, also when it did not change.
    void SetBaudRate(TBaudRate Value);

    bool IsModem = false;
    bool IsDebug = false; // keep status texts in DebugLines (saved by the port manager)
    TEnumVarnCmd EnumVarnCmd = H_PACK_OK; // the command the next session runs
    int EcrID = 0;                        // stored only

    // --- Session state (read by owners; the ones marked "owner" are written by owners) ---
    int SessionResult() const { return m_sessionResult; }
    char LinkState = '0'; // '0' no exchange; 'L' an exchange runs and answers are awaited
    TEnumVarnCmd CurrentCommand = H_PACK_OK;
    int CheckedCommand = H_PACK_OK; // command whose sequence counter answers must echo
    int RequestPending = -1;        // -1 over; 0 next request may go; 1 request outstanding
    int RetriesLeft = 0;            // owner: time-outs (or refusals) left before failing
    std::uint32_t AckTimeout = 0;   // time-out in force, ms
    qint64 SentAt = 0;              // start of the current time-out period (Clock ms)
    int AckTimeoutMs = 5000;        // time-out once the bit rate is agreed
    int BaudTimeoutMs = 5000;       // time-out of H_SETBAUD
    int LongRetries = 90;           // retries of the long report uploads
    bool BaudReady = false;         // owner: false before BeginSession
    int StopAfter = 0; // owner: 0 run the command; 1 stop after device check; 2 after bit rate

    int EcrAddress = 0;
    int LineBaudIndex = 0;
    int TargetBaudIndex = 0;
    std::uint8_t MaxBaudIndex = 0; // owner
    bool Renegotiate = false;

    std::array<std::uint8_t, kRequestDataSize> RequestData{}; // owner
    int RequestDataLen = 0;                                   // owner

    std::uint16_t BlockCounter = 0;
    int PageCount = 0;
    int LastWrittenSeq = 0; // sequence byte of the last packet written; -1 none
    int FileState = 0;      // 0 no file; 1 InputFile open; 2 OutputFile open
    int PacketSize = 0;
    int BytesReceived = 0;
    int DownloadState = -1;
    int DeviceSequence = 0;
    int DeviceBusy = 0;
    int ReportKind = 0;      // 1 or 2 while an X or Z report is prepared
    bool ZReportDue = false; // the last device check said a Z report must be taken first

    // Device check and program downloads.
    std::uint16_t SwVersion = 0;  // device software version from the device-check answer
    std::uint16_t PrgVersion = 0; // version of the program image being downloaded
    // Memory dumps (owner): 24-bit start and end address; DumpAddress is the address of the
    // next request, most significant byte first.
    int DumpStart = 0;
    int DumpEnd = 0;
    std::array<std::uint8_t, 3> DumpAddress{};
    // H_UPLOAD_FISCAL request data (owner): mode 0 sends FiscalParams[0..3], 1 all six, 2 none.
    std::uint8_t FiscalMode = 0;
    std::array<std::uint8_t, 6> FiscalParams{};
    int RxCount = 0; // bytes received since the last frame was sent
    QString StatusText;
    QString FinishText;
    LastFrameStore LastFrame;
    CommandTable Commands; // this link's modifiable copy of CommandTemplates
    QStringList DebugLines;

    // The upload target and download source. The owner closes OutputFile after a refusal,
    // a cancel or its own time-out; closing a closed file does nothing.
    QFile& OutputFile() { return m_outputFile; }
    QFile& InputFile() { return m_inputFile; }

    // Time source in milliseconds (monotonic). Tests replace it to step time by hand.
    std::function<qint64()> Clock;

    // --- Owner calls ---------------------------------------------------------------------
    // Starts a session: takes the request's settings, agrees the bit rate (serial), prepares
    // the command with its file and sends the first request that is due. See SessionStart.
    SessionStart StartSession(const SessionRequest& Request);
    // The owner gives up on the running session: nothing more is sent, the files are closed,
    // OnSessionEnded reports Cancelled. Does nothing while no session is open.
    void CancelSession();

    // The steps StartSession takes, in its order (tests drive them one by one):
    // Starts a session for EnumVarnCmd. Serial: reloads the command table with the device
    // address, sets the line (9600 when StartAt9600, else the rate of BaudIndex) and sends
    // H_SETBAUD asking for BaudIndex. UDP: makes EnumVarnCmd current, sends nothing.
    void BeginSession(int Address, int BaudIndex, bool StartAt9600);
    // Prepares EnumVarnCmd: creates (write commands) or opens (read commands) FileName and
    // resets the per-command counters. False, with a status text, when the file fails.
    bool PrepareCommand(const QString& FileName);
    // Sends the next request of CurrentCommand if one is due; otherwise does nothing.
    void SendRequest();
    // Time-outs, retransmissions, bit-rate retries. Call while SessionOpen(), at the latest
    // when MsUntilDue() says something falls due (calling it earlier does no harm).
    void Tick();
    // How long until Tick() has something to do: a time-out expires, a start falls due or a
    // bit-rate retry waits (0: now). Empty while no session is open. A session that has
    // nothing timed yet asks to be looked at again after kIdleSessionCheckMs.
    std::optional<qint64> MsUntilDue() const;
    static constexpr qint64 kIdleSessionCheckMs = 500;
    // A packet that repeats one the exchange before accepted this long ago counts as a late
    // copy of it (two time-outs if that packet's request had been sent more than once).
    static constexpr qint64 kLateCopyWindowMs = 1000;
    // A frame whose rest stops coming is given up once the missing bytes are overdue: the
    // time they take at the line's rate after the last bytes came, plus a margin for USB
    // adapters (they hand bytes over in packets) and devices that pause while they read their
    // memory. Noise that passes for a header and claims thousands of bytes would otherwise
    // swallow every answer behind it. A datagram line has no rate: its frames come whole or
    // in datagrams sent back to back, so the rest is counted at the device's fastest rate with
    // a margin for the network.
    static constexpr qint64 kFrameMarginMs = 250;
    static constexpr qint64 kDatagramFrameMarginMs = 1000;
    static constexpr int kDatagramFrameRate = 115200;

    // --- Transport entry points (public so tests and other transports can feed them) --------
    void ReceiveBytes(const QByteArray& Chunk);
    // The line hung up (see LinkTransport::OnHangUp): it is closed, and a session running on
    // it ends at once as Disconnected instead of waiting out its retries.
    void LineHungUp(LinkTransport& Line, const QString& Reason);
    // Modem lines changed: exactly CTS and DSR on (no ring, no carrier) drops BaudReady.
    void OnModemLines(std::uint32_t Event);

    // --- Protocol steps (public for tests) ------------------------------------------------
    // Builds a frame from Row and Count bytes of Data and writes it. Remember keeps it in
    // LastFrame. False (nothing sent) when Count exceeds kMaxRequestDataLength.
    bool SendFrame(const CommandRow& Row, const std::uint8_t* Data, bool Remember, int Count);
    void ParseBytes(const char* Chunk, qsizetype Length);
    void HandleFrame(const DeviceFrame& Frame);
    void CheckAckTimeout();
    void CheckBaudTimeout();
    void ResetCommandTable(int Address);
    bool ReportStatus(const QString& Text, StatusKind Kind = StatusKind::Info);
    // A session is open: started and not yet ended (the tick driver runs while one is).
    bool SessionOpen() const { return m_sessionOpen; }
    // Refusals the device sent since the session began (also those a resend got past).
    int RefusalsSeen() const { return m_refusals; }
    // Starts the H_UPLOAD_COMDATA exchange that follows the clerk, hourly and fiscal reports.
    void StartComDataFollowUp();
    // Starts the H_DN_UpTrTaskOk exchange that follows a trade upload.
    void StartUpTrTaskOkFollowUp();
    // The sequence byte answers to `Cmd` must carry now.
    std::uint8_t SequenceByte(int Cmd) const { return Commands[Cmd][8] & 0xFF; }

    // --- Events the owner attaches (all raised in the link's thread) ---------------------
    std::function<void(const QString& Text, StatusKind Kind)> OnStatus;
    // SessionResult changed (to the new value): progress of the running session.
    std::function<void(int Result)> OnSessionResult;
    // The session ended, once per session, after SessionResult and the files are final.
    // Owners wait on this instead of polling.
    std::function<void(SessionEnd End)> OnSessionEnded;

    // A packet was accepted (or repeated): the progress text gets a dot of this kind.
    std::function<void(ProgressDotKind Kind)> OnProgressDot;
    // One EPROM block written: the progress bar advances one step.
    std::function<void()> OnProgressStep;
    // A packet's data went into OutputFile (Bytes of it): figures of a running upload.
    std::function<void(int Bytes)> OnDataWritten;
    // Every frame sent and every complete frame received (also damaged ones), raw bytes.
    std::function<void(FrameDirection Direction, const QByteArray& Bytes)> OnFrameTrace;
    // Unsolicited class 0x91 frames: code 2 as H_RESPONSE_PLU, code 3 as H_RESPONSE_TRADE.
    std::function<void(TEnumVarnCmd Cmd, const DeviceFrame& Frame)> OnResponseVarn;

signals:
    // A session opened (StartSession, or BeginSession/PrepareCommand while none was open):
    // whoever drives Tick() starts doing so.
    void SessionOpened();
    // The session ended (raised just before OnSessionEnded): the tick driver may sleep.
    void SessionClosed();

private:
    using RequestBuilder = void (TBsPort::*)();
    using PacketHandler = void (TBsPort::*)(const DeviceFrame&);
    // Per-command request builders and packet handlers; commands without one give nullptr.
    static RequestBuilder BuilderFor(TEnumVarnCmd Cmd);
    static PacketHandler HandlerFor(TEnumVarnCmd Cmd);

    qint64 Now() const;
    void SetSessionResult(int Value);
    void OpenSession();
    // The one place a session ends: the exchange is over (LinkState '0', RequestPending -1),
    // the file is closed (a refused upload's OutputFile stays open, for its owner), Result
    // becomes SessionResult unless it is kKeepResult, and OnSessionEnded reports End.
    static constexpr int kKeepResult = std::numeric_limits<int>::min();
    void EndSession(SessionEnd End, int Result);
    // The time-out of the request in flight starts afresh after a packet was accepted; the
    // next request may go.
    void PacketAccepted();
    // A time-out period has passed without an answer: false while it has not.
    bool TimeoutExpired(qint64 Now) const;
    void WriteFrame(const QByteArray& Bytes);
    // Feeds what arrived during the parse just done, then lets the line and the frame
    // deadline know what the frame in progress still lacks.
    void FinishParse();
    // When the frame in progress becomes overdue; nothing while none is in progress.
    std::optional<qint64> FrameDeadline() const;
    void WatchFrameDeadline();
    // Gives up an overdue frame: its start byte is dropped and the bytes after it are searched
    // again, so the frames they hold are still handled.
    void AbandonOverdueFrame();
    void ResendLastFrame();
    void OnFrameEvent(const FrameEvent& Event);
    void AfterCompleteFrame();
    void CloseFileByState();
    void CloseSerialLine();
    bool AppendOutput(const QByteArray& Data);
    // Flushes the upload file; a failure ends the session as FileFailed (false).
    bool FlushOutput();
    void FailOnFileError();
    void ApplyLineRate(int BaudIndex);
    bool SequenceMatches(const DeviceFrame& Frame) const;
    // The frame is byte for byte the last one sent (header, data and, being complete, CRC).
    bool IsEchoOfLastRequest(const FrameEvent& Event) const;
    void BumpSequence(int Cmd);

    // Bit-rate agreement.
    void OnSetBaudAcknowledged();
    void FinishBaudAgreement();
    void PerformStartAction(TEnumVarnCmd Cmd);
    void RunDueStart();

    // Fiscal-memory and EPROM exchanges.
    void BuildFiscalMemoryRequest();
    void BuildEpromRequest();
    void HandleFiscalMemoryPacket(const DeviceFrame& Frame);
    void HandleEpromPacket(const DeviceFrame& Frame);
    // The packet is a late copy of one an earlier exchange accepted (see EarlierAnswers) and
    // must neither be written nor move the upload on. The same bytes coming again after the
    // request was sent once more are the device's true answer (areas that read alike).
    bool IgnoreAsLateCopy(const DeviceFrame& Frame);
    void RememberAccepted(const DeviceFrame& Frame);

    // Report uploads (clerk, hourly, X, Z, fiscal, broadcast, financial) and follow-ups.
    void BuildPlainReportRequest();
    void BuildBlockReportRequest();
    void BuildFiscalReportRequest();
    void HandleClerkLikePacket(const DeviceFrame& Frame);
    void HandleStreamedReportPacket(const DeviceFrame& Frame);
    void HandleFiscalReportPacket(const DeviceFrame& Frame);
    void HandleComDataPacket(const DeviceFrame& Frame);
    void EndReport(SessionEnd End, const QString& Finish);

    // Memory dumps.
    void SetDumpAddress(std::uint32_t Address);
    std::uint32_t CurrentDumpAddress() const;
    void BuildDumpRequest();
    void HandleDumpPacket(const DeviceFrame& Frame);

    // Device check and program downloads.
    void HandleDeviceCheckAnswer(const DeviceFrame& Frame);
    bool ReadProgramVersion();
    void BuildProgramPacket();

    QString m_commName;
    QString m_ip;
    TMode m_mode = tmRS232;
    TBaudRate m_baudRate = tbr9600;
    int m_sessionResult = 0;
    std::unique_ptr<LinkTransport> m_serial;
    std::unique_ptr<LinkTransport> m_udp;
    QFile m_outputFile;
    QFile m_inputFile;
    FrameFinder m_finder;
    bool m_parsing = false;
    QByteArray m_lastSentFrame; // the bytes of the last frame written
    QByteArray m_pendingChunks; // bytes that arrived while a chunk was being parsed
    // Hands every finder event to OnFrameEvent.
    FrameFinder::Sink m_frameSink;
    // When the last received bytes were parsed (Clock ms), and the timer that runs while a
    // frame is in progress, until its deadline.
    qint64 m_lastBytesAt = 0;
    QTimer* m_frameTimer = nullptr;
    bool m_endMarkerSeen = false;
    EarlierAnswers m_earlierAnswers;
    int m_resends = 0;                     // of the request in flight
    std::optional<int> m_lateCopyAtResend; // m_resends when a late copy for it was ignored
    std::optional<qint64> m_startDueAt;    // bit rate agreed; the command starts at this time
    bool m_sessionOpen = false;
    int m_refusals = 0;
    QTimer* m_startTimer = nullptr;
};
