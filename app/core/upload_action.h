#pragma once

#include "app/core/message_table.h"
#include "app/core/report_decoding.h"
#include "app/core/upload_progress.h"
#include "app/core/work_folders.h"
#include "fm/report_kinds.h"
#include "link/bsport.h"
#include "link/link_events.h"
#include "link/link_transport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QEventLoop;
class TVarnMPComm;

// What one upload is asked to do: the window's selectors and fields, or the command line.
struct UploadRequest {
    ReportKind Kind = ReportKind::Detail;
    int RangeKind = 2; // 0 by Z count, 1 by date (yymmdd), 2 whole fiscal memory
    QString FromText;  // range fields as typed
    QString ToText;
    TMode Mode = tmRS232;
    QString PortName;      // serial mode: "COM1", "/dev/ttyUSB0", ...
    QString UdpHost;       // UDP mode: the device's address
    QString OutputFile;    // the .hex file the main exchange writes
    int MachineIndex = 2;  // printout width of Detail/Summary
    QString ReportCaption; // list entry's report type; empty: ReportTypeCaption
    QChar DecimalSeparator = QLatin1Char('.');
};

// How an upload ended. The window has already been told everything through the events; the
// command-line tool turns this into its exit status.
enum class UploadOutcome {
    Finished,       // uploaded and decoded (or nothing to decode: NoReport)
    BadRange,       // range fields rejected before anything was opened
    PortOpenFailed, // the serial port is unknown or does not open, or the UDP socket
    OutputFailed,   // an upload file could not be created (or the name is no regular file)
    TimedOut,       // no answer, or the link gave up: "timeout...", "connect fail..."
    Disconnected,   // the serial line went away mid-upload (the device closed its side, the
                    // adapter was unplugged): "Line ... disconnected: ...", "connect fail..."
    Refused,        // the device refused a request: "upload fail..."
    Cancelled,      // Cancel (or Close) ended the wait
    DecodeFailed,   // uploaded, but the report could not be made
    WriteFailed,    // a file on this computer could not be written: an upload file while
                    // the data came (the memo has the link's "Write file ... fail: reason"),
                    // or after it the joined upload, the report, the list
                    // (LastDecode().Detail says which and why)
    Busy,           // an upload was already running; nothing was done
};

enum class UploadState {
    Idle,       // Upload enabled, Cancel hidden
    Preparing,  // port open, link being chosen: Upload disabled, machine selector disabled
    Exchanging, // an exchange runs: Cancel shown instead of Upload
};

struct UploadLimits {
    // Serial: the wait ends when the bit rate is not agreed within this time.
    int ComNoProgressMs = 40000;
    // UDP: from this time on, the reachability check (when attached) runs while the link has
    // made no progress (SessionResult 0 or below), at most once every ReachabilityRepeatMs.
    // Every check sends echo requests to the device, so it is not repeated any sooner.
    int UdpCheckAfterMs = 4000;
    int ReachabilityRepeatMs = 4000;
    // Pause between the exchanges of one change-report upload (header, footer, change data).
    // A device may send its last answer twice, or in pieces that are still on their way;
    // each exchange counts its sequence bytes from the device's value again, so a late copy
    // of the header's last packet could pass for the footer's first. The pause lets such
    // stragglers arrive and be dropped before the next exchange begins.
    int SettleBetweenExchangesMs = 100;
};

struct ProgressBar {
    bool Visible = false;
    int Position = 0;
    int Maximum = 10;
};

// The upload road of the "Upload data" button, without any widget: range check, port,
// header and footer exchanges for the change reports, the request, the wait, joining and
// decoding, the list entry. The window and the command-line tool both drive it and attach
// the events they need.
//
// Run() returns when the upload has ended; meanwhile it waits in nested event loops, so the
// owner's events (a Cancel click, a signal notifier, the transports' receive events, the
// port manager's tick timer) keep running. Waits never spin: they sleep in QEventLoop until
// the link reports a new SessionResult, Cancel() is called or a time limit expires.
//
// Everything happens in the thread that owns the port manager.
class UploadAction : public QObject {
    Q_OBJECT
public:
    static constexpr int kBaudIndex = 7; // 115200
    static constexpr int kDeviceAddress = 1;
    static constexpr int kBaudRetries = 6; // H_SETBAUD attempts
    static constexpr int kProgressSteps = 10;

    UploadAction(TVarnMPComm& PortManager, WorkFolders Folders, const MessageTable& Messages,
                 QObject* Parent = nullptr);
    ~UploadAction() override;

    UploadLimits Limits;

    // Runs the whole upload. The port manager's tick driver is started if it is not running.
    // With an empty OutputFile (the operator cancelled the save dialog) it ends right after
    // the range check: BadRange with its message box, or Cancelled with nothing shown - the
    // window uses this to check the range before it asks for the file.
    UploadOutcome Run(const UploadRequest& Request);

    // Cancel button: ends the wait at once; the partial .hex file stays. Announce adds
    // MsgCancelUpload to the memo (the Close button ends the wait without it). Nothing
    // happens while no upload runs. The one way an owner stops an upload.
    void Cancel(bool Announce = true);
    // The last upload was stopped before its end: Cancel, a refused request, or a device
    // that did not answer the reachability check before the upload.
    bool Stopped() const { return m_stopped; }

    bool Running() const { return m_running; }
    UploadState State() const { return m_state; }
    // The result of the last decoding of this upload (cleared when an upload starts).
    const ReportDecodeResult& LastDecode() const { return m_decode; }
    bool DecodeFailed() const { return m_decode.Failed; }
    // The header and footer files of the last change-report upload.
    QString HeaderFile() const { return m_headerFile; }
    QString FooterFile() const { return m_footerFile; }
    // Why the serial port did not open (the system's text), when it did not.
    QString PortError() const { return m_portError; }
    // The figures of the running (or the last) upload; they stop when it ends.
    UploadProgress Progress() const;

    // --- Hooks the owner attaches ---------------------------------------------------------
    // Adds a report to the list of reports; returns an error text, empty on success.
    std::function<QString(const QString& ReportPath, const QString& Caption)> AddListEntry;
    // UDP reachability check of the device's address (ICMP echo, see
    // app/core/reachability.h). Unattached: skipped. It runs before the first request (false:
    // "timeout...", "connect fail...", the request still goes out and the wait ends at once)
    // and during the wait (see UploadLimits). A check that cannot be made at all throws a
    // std::exception: its what() goes to the memo as a line and the upload ends as
    // PortOpenFailed, before the first request when it is the check before the upload.
    std::function<bool(const QString& Host)> ReachabilityCheck;

    // --- Events ---------------------------------------------------------------------------
    std::function<void()> OnMemoClear;                   // the memo is cleared
    std::function<void(const QString& Line)> OnMemoLine; // a line is appended to the memo
    std::function<void(ProgressDotKind Kind)> OnProgressDot;
    std::function<void(const ProgressBar& Bar)> OnProgressBar;
    std::function<void(const DecodeMessage& Message)> OnMessage; // a message box
    std::function<void(UploadState State)> OnStateChanged;
    // A report was written: the window shows it (ReportPath) in the memo and the upload file
    // in its status line.
    std::function<void(const ReportDecodeResult& Result, const QString& HexFile)> OnReport;
    // A Detail or Summary upload brought no report: the device had nothing in the range.
    std::function<void(const QString& HexFile)> OnNoReport;
    // The link's status texts; chunk texts are formatted only while this is attached.
    std::function<void(const QString& Text, StatusKind Kind)> OnStatus;
    // Every frame sent and received, with the serial line's rate at that moment (0 on UDP).
    std::function<void(FrameDirection Direction, const QByteArray& Bytes, int LineRate)>
        OnFrameTrace;
    std::function<void(UploadOutcome Outcome)> OnFinished;

    // --- The steps (public so the window's other commands and tests can reach them) --------
    bool OpenDevicePort(const QString& PortName);
    void ReportPortError(const QString& PortName);
    void CloseDevicePort(const QString& PortName);
    // One header (H_UPLOAD_Header) or footer (H_UPLOAD_Footer) exchange into FileName.
    bool UploadHeaderFooter(int Command, const QString& FileName);
    // The header and footer exchanges end on the end marker; a part of another size than the
    // layout gives it is not what the device holds (a packet went missing, or a stray copy of
    // another ended the exchange) and would put wrong text into the report.
    bool PartHasItsLayoutSize(int Command, const QString& FileName);
    // Waits for the link's session to end, or gives it up (stop, time limit, reachability
    // check); returns its last SessionResult. How it ended is in m_end.
    int WaitForLink(int PortIndex);

private:
    // The range check of the Detail and Summary uploads; the message-box text on failure.
    QString CheckRange(const UploadRequest& Request) const;
    // The request data of the Detail/Summary range; nothing, with the message, on bad input.
    std::optional<QByteArray> RangeRequest(const UploadRequest& Request, QString& Problem) const;
    int ChooseLink(bool WithReachabilityCheck);
    // Starts one exchange on the link; Range unset leaves the link's request data as it is.
    bool StartExchange(int PortIndex, TEnumVarnCmd Command, const QString& FileName,
                       const std::optional<QByteArray>& Range);
    // Ends the wait in progress and every later one of this upload.
    void Stop();
    // Waits SettleBetweenExchangesMs in an event loop; false when Cancel ended the wait.
    bool LetLineSettle();
    void AttachLink(TBsPort& Link);
    void DetachLink(TBsPort& Link);
    bool ReserveFile(const QString& Prefix, QString& Path);
    // The attached check (true when none is attached). A check that throws counts as not
    // reachable and leaves its text in m_checkError.
    bool Reachable(const QString& Host);
    UploadOutcome RunSteps(const UploadRequest& Request);
    UploadOutcome Decode(const UploadRequest& Request);

    // The upload's figures stop here (the first call counts).
    void EndFigures();
    void SetState(UploadState State);
    void MemoLine(const QString& Line);
    void TimeoutLines();
    // After the time-out lines of an exchange that had received data: the device fell silent,
    // and what arrived is kept in the exchange's file.
    void SilenceLine();
    void Message(const QString& Text, const QString& Caption = {}, bool Information = false);

    TVarnMPComm& m_ports;
    WorkFolders m_folders;
    const MessageTable& m_messages;

    UploadRequest m_request;
    bool m_running = false;
    UploadState m_state = UploadState::Idle;
    ProgressBar m_bar;
    QEventLoop* m_loop = nullptr;    // the wait in progress
    std::optional<SessionEnd> m_end; // how the session of the last exchange ended
    bool m_stopped = false;
    bool m_cancelled = false;
    bool m_refused = false;
    bool m_timedOut = false;
    bool m_outputFailed = false;
    bool m_writeFailed = false; // an upload file could not be written while the data came
    bool m_portFailed = false;
    bool m_damagedPart = false; // a header or footer of the wrong size arrived
    QString m_headerFile;
    QString m_footerFile;
    QString m_portError;
    QString m_checkError; // why the last reachability check could not be made
    ReportDecodeResult m_decode;
    // Figures of the status line: times in ns of m_clock, which starts with the upload.
    QElapsedTimer m_clock;
    int m_exchangeLink = -1;   // the link of the exchange that runs; -1 none
    QString m_exchangeFile;    // the file the exchange that runs (or ran last) writes
    int m_exchangePackets = 0; // packets that exchange has written
    int m_packets = 0;
    qint64 m_bytes = 0;
    qint64 m_firstPacketNs = -1;
    qint64 m_firstPacketBytes = 0;
    qint64 m_endNs = -1;
};
