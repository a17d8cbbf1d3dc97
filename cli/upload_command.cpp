// orvexfm-cli upload: reads a report from a device over a serial port or UDP, the same road
// the main window's "Upload data" button takes: header and footer uploads into Dufile/ for
// the change reports, the .hex file, the text report in Txtfile/, the entry in
// Data/FMList.txt.

#include "app/core/message_table.h"
#include "app/core/reachability.h"
#include "app/core/report_decoding.h"
#include "app/core/report_list.h"
#include "app/core/upload_action.h"
#include "app/core/upload_exit_status.h"
#include "app/core/work_folders.h"
#include "cli/cli_options.h"
#include "cli/interrupt.h"
#include "fm/change_report.h"
#include "fm/file_writer.h"
#include "link/default_transports.h"
#include "link/port_manager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QStringList>

#include <clocale>
#include <cstdio>

namespace {

const char kUsage[] =
    "usage: orvexfm-cli upload (--port NAME | --udp HOST [--udp-port N])\n"
    "            --report detail|summary|tax|currency|ram\n"
    "            [--range all|z:FROM-TO|date:YYMMDD-YYMMDD] --out FILE.hex\n"
    "            [--machine 0|1|2] [--work-dir DIR] [--trace FILE]\n"
    "\n"
    "Uploads a report from the device and decodes it, as the main window does.\n"
    "  --port      serial port of the device (e.g. /dev/ttyUSB0)\n"
    "  --udp       the device's address on the network; --udp-port its port (5002).\n"
    "              The address is checked with ICMP echo requests before the upload and\n"
    "              while the device has not answered: no answer ends the upload\n"
    "              (\"timeout...\", \"connect fail...\")\n"
    "  --report    detail, summary: printout reports; tax, currency, ram: change reports\n"
    "              (header and footer are uploaded first, into DIR/Dufile/)\n"
    "  --range     all (default), by Z number z:FROM-TO, or by date date:YYMMDD-YYMMDD;\n"
    "              detail and summary ask the device for it, change reports select\n"
    "              their entries with it\n"
    "  --out       the raw upload file (.hex); a change report's file ends up joined\n"
    "              (header, change data, footer)\n"
    "  --machine   printout width: 0 Lumo (20), 1 Pelta (40, default), 2 ZT9/ZT7 (42)\n"
    "  --work-dir  DIR holding Data/, Dufile/, Txtfile/ (default: the current folder)\n"
    "  --trace     writes every frame sent and received and every status text to FILE\n"
    "\n"
    "The memo's lines and the progress dots go to standard error; the report's full path is\n"
    "the last line of standard output.\n"
    "exit status: 0 finished, 2 bad usage or bad range, 3 port (or, with --udp, the\n"
    "  ICMP echo socket: \"ICMP运行错误\") cannot be opened,\n"
    "  4 time-out or connect fail, 5 refused by the device, 6 decoding failed,\n"
    "  7 a file on this computer cannot be written (the .hex file while the data\n"
    "  comes, report, list, joined upload, trace; the system's reason is told),\n"
    "  130 Ctrl-C, 143 SIGTERM, 129 SIGHUP\n"
    "  (each cancels like the Cancel button; the partial .hex file stays)\n";

struct Options {
    DeviceAddress Device{tmRS232, {}, {}, 5002};
    std::optional<ReportKind> Kind;
    RangeOption Range;
    QString Out;
    int Machine = 1;
    QString WorkDir = QStringLiteral(".");
    QString Trace;
};

const CliCommand kCli("upload", kUploadExitUsage);

// The memo on standard error: lines as they come, progress dots on a line of their own.
class StderrMemo {
public:
    void Line(const QString& Text) {
        EndDots();
        std::fprintf(stderr, "%s\n", Text.toLocal8Bit().constData());
        std::fflush(stderr);
    }
    void Dot(ProgressDotKind Kind) {
        m_dots = ApplyProgressDot(m_dots, Kind);
        std::fputs(m_dots.isEmpty() ? "\n" : ".", stderr);
        std::fflush(stderr);
    }
    void EndDots() {
        if (!m_dots.isEmpty())
            std::fputc('\n', stderr);
        m_dots.clear();
    }

private:
    QString m_dots;
};

// --trace: one line per frame, status text and line-rate change, with the seconds since start.
// A trace that cannot be written does not stop the upload (the device's data matter more);
// the reason is told at once and the run ends with kUploadExitFile.
class TraceFile {
public:
    bool Open(const QString& Path) {
        m_path = Path;
        m_clock.start();
        return m_file.Open(Path);
    }
    QString OpenError() const { return m_file.Error(); }
    // False when any line was lost; the reason has been told then.
    bool Close() { return m_file.Close(); }
    void Frame(FrameDirection Direction, const QByteArray& Bytes, int LineRate) {
        if (LineRate != 0 && LineRate != m_rate) {
            m_rate = LineRate;
            Write(QStringLiteral("rate %1").arg(LineRate));
        }
        Write((Direction == FrameDirection::Sent ? QStringLiteral("send ")
                                                 : QStringLiteral("recv ")) +
              HexDump(Bytes).trimmed());
    }
    void Status(const QString& Text) { Write(QStringLiteral("status ") + Text); }

private:
    void Write(const QString& Line) {
        if (m_file.Failed())
            return;
        const qint64 ms = m_clock.elapsed();
        // Written through at once, so the trace is complete up to the moment a run is ended.
        if (!m_file.Write(QStringLiteral("%1.%2 ")
                              .arg(ms / 1000)
                              .arg(ms % 1000, 3, 10, QLatin1Char('0'))
                              .toUtf8() +
                          Line.toUtf8() + '\n'))
            kCli.Error(QStringLiteral("cannot write the trace file %1: %2; the upload goes on")
                           .arg(m_path, m_file.Error()));
    }

    StreamFile m_file;
    QString m_path;
    QElapsedTimer m_clock;
    int m_rate = 0;
};

} // namespace

int RunUploadCommand(const QStringList& Args) {
    std::setlocale(LC_ALL, "");
    Options opt;
    ArgumentReader reader(Args);
    for (auto kind = reader.Next(); kind != ArgumentReader::Kind::End; kind = reader.Next()) {
        const QString& name = reader.Name();
        const QString& value = reader.Value();
        if (kind == ArgumentReader::Kind::Help) {
            std::fputs(kUsage, stdout);
            return kUploadExitOk;
        }
        if (kind == ArgumentReader::Kind::Plain)
            return kCli.UsageError(QStringLiteral("unexpected argument '%1'").arg(name));
        if (kind == ArgumentReader::Kind::MissingValue)
            return kCli.UsageError(QStringLiteral("%1 needs a value").arg(name));
        if (IsDeviceOption(name)) {
            if (const QString error = SetDeviceOption(name, value, opt.Device); !error.isEmpty())
                return kCli.UsageError(error);
        } else if (name == QLatin1String("--udp-port")) {
            const auto port = PortNumberOption(value);
            if (!port)
                return kCli.UsageError(QStringLiteral("bad UDP port '%1'").arg(value));
            opt.Device.UdpPort = *port;
        } else if (name == QLatin1String("--report")) {
            const auto report = ReportKindOption(value);
            if (!report)
                return kCli.UsageError(QStringLiteral("unknown report '%1'").arg(value));
            opt.Kind = *report;
        } else if (name == QLatin1String("--range")) {
            // The texts themselves are judged by the upload's range check, with the program's
            // messages.
            const auto range = SplitRangeOption(value, false);
            if (!range)
                return kCli.UsageError(QStringLiteral("bad range '%1'").arg(value));
            opt.Range = *range;
        } else if (name == QLatin1String("--out")) {
            opt.Out = value;
        } else if (name == QLatin1String("--machine")) {
            const auto machine = MachineOption(value);
            if (!machine)
                return kCli.UsageError(QStringLiteral("machine must be 0, 1 or 2"));
            opt.Machine = *machine;
        } else if (name == QLatin1String("--work-dir")) {
            opt.WorkDir = value;
        } else if (name == QLatin1String("--trace")) {
            opt.Trace = value;
        } else {
            return kCli.UsageError(QStringLiteral("unknown option '%1'").arg(name));
        }
    }
    if (!opt.Device.Given())
        return kCli.UsageError(QStringLiteral("--port or --udp is required"));
    if (!opt.Kind)
        return kCli.UsageError(QStringLiteral("--report is required"));
    if (opt.Out.isEmpty())
        return kCli.UsageError(QStringLiteral("--out is required"));
    if (opt.WorkDir.isEmpty())
        return kCli.UsageError(QStringLiteral("--work-dir needs a folder"));

    const MessageTable messages;
    // A change report's range is applied to the decoded entries; a range that cannot select
    // anything is refused before the device is asked for a whole upload.
    if (!ReportKindOf(*opt.Kind).Printout && opt.Range.QueryType != 2) {
        const RangeParse parsed =
            ParseReportRange(opt.Range.QueryType, opt.Range.From, opt.Range.To);
        if (parsed.Error != ReportError::None) {
            kCli.Error(ReportOutcome{parsed.Error, parsed.Detail, {}}.message());
            return kUploadExitUsage;
        }
    }

    CliApplication app;

    // Absolute, so the list entry and the printed path name the report wherever it is read.
    const WorkFolders folders = WorkFoldersBelow(QDir(opt.WorkDir).absolutePath());
    if (const QStringList problems = CreateWorkFolders(folders); !problems.isEmpty()) {
        for (const QString& p : problems)
            kCli.Error(p);
        return kUploadExitUsage;
    }

    TraceFile trace;
    if (!opt.Trace.isEmpty() && !trace.Open(opt.Trace))
        return kCli.UsageError(
            QStringLiteral("cannot write the trace file %1: %2").arg(opt.Trace, trace.OpenError()));

    // Ctrl-C, SIGTERM and SIGHUP cancel like the Cancel button.
    UploadAction* actionPtr = nullptr;
    InterruptWatch interrupt;
    if (!interrupt.Install([&actionPtr] {
            if (actionPtr)
                actionPtr->Cancel();
        })) {
        kCli.Error(QStringLiteral("Ctrl-C cannot be caught; it ends the upload without clean-up"));
    }

    TVarnMPComm ports(DefaultTransportFactory(opt.Device.UdpPort));
    ports.SetMode(opt.Device.Mode);
    ports.StartWorker();

    UploadAction action(ports, folders, messages);
    actionPtr = &action;
    StderrMemo memo;
    action.OnMemoLine = [&memo](const QString& Line) { memo.Line(Line); };
    action.OnProgressDot = [&memo](ProgressDotKind Kind) { memo.Dot(Kind); };
    action.OnMessage = [&memo](const DecodeMessage& M) { memo.Line(M.Text); };
    // As the main window does: the device's address must answer echo requests.
    if (opt.Device.Mode == tmTCPIP)
        action.ReachabilityCheck = MakeIcmpReachabilityCheck();
    action.AddListEntry = [&folders](const QString& Path, const QString& Caption) {
        const ReportListUpdateResult r =
            AddReportToListFile(folders.ReportListPath(), Path, Caption);
        return r.Ok ? QString() : r.Error;
    };
    if (!opt.Trace.isEmpty()) {
        action.OnStatus = [&trace](const QString& Text, StatusKind) { trace.Status(Text); };
        action.OnFrameTrace = [&trace](FrameDirection D, const QByteArray& B, int Rate) {
            trace.Frame(D, B, Rate);
        };
    }

    UploadRequest request;
    request.Kind = *opt.Kind;
    request.RangeKind = opt.Range.QueryType;
    request.FromText = opt.Range.From;
    request.ToText = opt.Range.To;
    request.Mode = opt.Device.Mode;
    request.PortName = opt.Device.Port;
    request.UdpHost = opt.Device.UdpHost;
    request.OutputFile = opt.Out;
    request.MachineIndex = opt.Machine;
    request.DecimalSeparator = LocaleDecimalSeparator();

    // A signal that came while all this was set up ends the run before the device is asked.
    const UploadOutcome outcome =
        InterruptWatch::Signal() != 0 ? UploadOutcome::Cancelled : action.Run(request);
    actionPtr = nullptr;
    memo.EndDots();
    const bool traced = opt.Trace.isEmpty() || trace.Close();

    switch (outcome) {
    case UploadOutcome::Finished:
        if (action.LastDecode().ReportPath.isEmpty()) {
            kCli.Error(QStringLiteral("no report: %1 holds no printout block").arg(opt.Out));
        } else {
            std::fprintf(stdout, "%s\n", action.LastDecode().ReportPath.toLocal8Bit().constData());
            std::fflush(stdout);
        }
        break;
    case UploadOutcome::PortOpenFailed:
        if (!action.PortError().isEmpty())
            kCli.Error(action.PortError());
        break;
    case UploadOutcome::DecodeFailed:
        if (!action.LastDecode().Detail.isEmpty())
            kCli.Error(action.LastDecode().Detail);
        break;
    case UploadOutcome::Cancelled:
        if (const int signal = InterruptWatch::Signal(); signal != 0) {
            kCli.Error(QStringLiteral("ended by %1; the files written so far are kept")
                           .arg(QLatin1String(InterruptWatch::SignalName(signal))));
            return ExitStatusForSignal(signal);
        }
        break;
    default:
        break;
    }
    if (outcome == UploadOutcome::Finished && !traced)
        return kUploadExitFile;
    return ExitStatusFor(outcome);
}
