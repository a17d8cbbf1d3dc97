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
#include "fm/change_report.h"
#include "link/default_transports.h"
#include "link/port_manager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

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
    "  130 interrupted (the partial .hex file stays)\n";

struct Options {
    TMode Mode = tmRS232;
    QString Port;
    QString UdpHost;
    int UdpPort = 5002;
    int Kind = -1;
    int RangeKind = 2;
    QString From;
    QString To;
    QString Out;
    int Machine = 1;
    QString WorkDir = QStringLiteral(".");
    QString Trace;
};

void Error(const QString& Message) {
    std::fprintf(stderr, "orvexfm-cli upload: %s\n", Message.toLocal8Bit().constData());
}

int UsageError(const QString& Message) {
    Error(Message);
    std::fprintf(stderr, "try 'orvexfm-cli upload --help'\n");
    return kUploadExitUsage;
}

std::optional<int> KindOf(const QString& Name) {
    static const char* const names[] = {"detail", "summary", "tax", "currency", "ram"};
    for (int i = 0; i < 5; ++i) {
        if (Name == QLatin1String(names[i]))
            return i;
    }
    return std::nullopt;
}

// "all", "z:FROM-TO" or "date:YYMMDD-YYMMDD" into the range kind and the two texts. The
// texts themselves are judged by the upload's range check, with the program's messages.
bool ParseRange(const QString& Text, Options& Opt) {
    if (Text == QLatin1String("all")) {
        Opt.RangeKind = 2;
        return true;
    }
    QString body;
    if (Text.startsWith(QLatin1String("z:"))) {
        Opt.RangeKind = 0;
        body = Text.mid(2);
    } else if (Text.startsWith(QLatin1String("date:"))) {
        Opt.RangeKind = 1;
        body = Text.mid(5);
    } else {
        return false;
    }
    const qsizetype dash = body.indexOf(QLatin1Char('-'));
    if (dash < 0)
        return false;
    Opt.From = body.left(dash);
    Opt.To = body.mid(dash + 1);
    return true;
}

QChar LocaleDecimalSeparator() {
    const char* point = std::localeconv()->decimal_point;
    if (point == nullptr || point[0] == '\0')
        return QLatin1Char('.');
    const QString text = QString::fromLocal8Bit(point);
    return text.isEmpty() ? QLatin1Char('.') : text.front();
}

// Ctrl-C: the handler only writes a byte; the event loop reads it and cancels like the
// Cancel button.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnInterrupt(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool InstallInterruptHandler() {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &sa, nullptr) == 0;
}

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
class TraceFile {
public:
    bool Open(const QString& Path) {
        m_file.setFileName(Path);
        m_clock.start();
        return m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
    }
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
    void Close() { m_file.close(); }

private:
    void Write(const QString& Line) {
        const qint64 ms = m_clock.elapsed();
        m_file.write(QStringLiteral("%1.%2 ")
                         .arg(ms / 1000)
                         .arg(ms % 1000, 3, 10, QLatin1Char('0'))
                         .toUtf8() +
                     Line.toUtf8() + '\n');
        // Written through at once, so the trace is complete up to the moment a run is ended.
        m_file.flush();
    }

    QFile m_file;
    QElapsedTimer m_clock;
    int m_rate = 0;
};

} // namespace

int RunUploadCommand(const QStringList& Args) {
    std::setlocale(LC_ALL, "");
    Options opt;
    for (qsizetype i = 0; i < Args.size(); ++i) {
        const QString& arg = Args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return kUploadExitOk;
        }
        if (!arg.startsWith(QLatin1String("--")))
            return UsageError(QStringLiteral("unexpected argument '%1'").arg(arg));
        QString name = arg;
        QString value;
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        if (eq >= 0) {
            name = arg.left(eq);
            value = arg.mid(eq + 1);
        } else {
            if (i + 1 >= Args.size())
                return UsageError(QStringLiteral("%1 needs a value").arg(name));
            value = Args[++i];
        }
        if (name == QLatin1String("--port")) {
            if (!opt.UdpHost.isEmpty())
                return UsageError(QStringLiteral("--port and --udp exclude each other"));
            opt.Port = value;
            opt.Mode = tmRS232;
        } else if (name == QLatin1String("--udp")) {
            if (!opt.Port.isEmpty())
                return UsageError(QStringLiteral("--port and --udp exclude each other"));
            opt.UdpHost = value;
            opt.Mode = tmTCPIP;
        } else if (name == QLatin1String("--udp-port")) {
            bool ok = false;
            opt.UdpPort = value.toInt(&ok);
            if (!ok || opt.UdpPort < 1 || opt.UdpPort > 65535)
                return UsageError(QStringLiteral("bad UDP port '%1'").arg(value));
        } else if (name == QLatin1String("--report")) {
            const auto kind = KindOf(value);
            if (!kind)
                return UsageError(QStringLiteral("unknown report '%1'").arg(value));
            opt.Kind = *kind;
        } else if (name == QLatin1String("--range")) {
            if (!ParseRange(value, opt))
                return UsageError(QStringLiteral("bad range '%1'").arg(value));
        } else if (name == QLatin1String("--out")) {
            opt.Out = value;
        } else if (name == QLatin1String("--machine")) {
            if (value != QLatin1String("0") && value != QLatin1String("1") &&
                value != QLatin1String("2"))
                return UsageError(QStringLiteral("machine must be 0, 1 or 2"));
            opt.Machine = value.toInt();
        } else if (name == QLatin1String("--work-dir")) {
            opt.WorkDir = value;
        } else if (name == QLatin1String("--trace")) {
            opt.Trace = value;
        } else {
            return UsageError(QStringLiteral("unknown option '%1'").arg(name));
        }
    }
    if (opt.Port.isEmpty() && opt.UdpHost.isEmpty())
        return UsageError(QStringLiteral("--port or --udp is required"));
    if (opt.Kind < 0)
        return UsageError(QStringLiteral("--report is required"));
    if (opt.Out.isEmpty())
        return UsageError(QStringLiteral("--out is required"));
    if (opt.WorkDir.isEmpty())
        return UsageError(QStringLiteral("--work-dir needs a folder"));

    const MessageTable messages;
    // A change report's range is applied to the decoded entries; a range that cannot select
    // anything is refused before the device is asked for a whole upload.
    if (opt.Kind >= 2 && opt.RangeKind != 2) {
        const RangeParse parsed = ParseReportRange(opt.RangeKind, opt.From, opt.To);
        if (parsed.Error != ReportError::None) {
            Error(ReportOutcome{parsed.Error, parsed.Detail, {}}.message());
            return kUploadExitUsage;
        }
    }

    static int argc = 1;
    static char arg0[] = "orvexfm-cli";
    static char* argv[] = {arg0, nullptr};
    QCoreApplication app(argc, argv);

    // Absolute, so the list entry and the printed path name the report wherever it is read.
    const WorkFolders folders = WorkFoldersBelow(QDir(opt.WorkDir).absolutePath());
    if (const QStringList problems = CreateWorkFolders(folders); !problems.isEmpty()) {
        for (const QString& p : problems)
            Error(p);
        return kUploadExitUsage;
    }

    TraceFile trace;
    if (!opt.Trace.isEmpty() && !trace.Open(opt.Trace))
        return UsageError(QStringLiteral("cannot write the trace file %1").arg(opt.Trace));

    std::unique_ptr<QSocketNotifier> interrupt;
    UploadAction* actionPtr = nullptr;
    if (InstallInterruptHandler()) {
        interrupt = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(interrupt.get(), &QSocketNotifier::activated, [&actionPtr] {
            char buf[16];
            while (read(g_signalPipe[0], buf, sizeof buf) > 0) {
            }
            if (actionPtr)
                actionPtr->Cancel();
        });
    } else {
        Error(QStringLiteral("Ctrl-C cannot be caught; it ends the upload without clean-up"));
    }

    TVarnMPComm ports(DefaultTransportFactory(opt.UdpPort));
    ports.SetMode(opt.Mode);
    ports.StartWorker();

    UploadAction action(ports, folders, messages);
    actionPtr = &action;
    StderrMemo memo;
    action.OnMemoLine = [&memo](const QString& Line) { memo.Line(Line); };
    action.OnProgressDot = [&memo](ProgressDotKind Kind) { memo.Dot(Kind); };
    action.OnMessage = [&memo](const DecodeMessage& M) { memo.Line(M.Text); };
    // As the main window does: the device's address must answer echo requests.
    if (opt.Mode == tmTCPIP)
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
    request.ReportType = opt.Kind;
    request.RangeKind = opt.RangeKind;
    request.FromText = opt.From;
    request.ToText = opt.To;
    request.Mode = opt.Mode;
    request.PortName = opt.Port;
    request.UdpHost = opt.UdpHost;
    request.OutputFile = opt.Out;
    request.MachineIndex = opt.Machine;
    request.DecimalSeparator = LocaleDecimalSeparator();

    const UploadOutcome outcome = action.Run(request);
    actionPtr = nullptr;
    memo.EndDots();
    trace.Close();

    switch (outcome) {
    case UploadOutcome::Finished:
        if (action.LastDecode().ReportPath.isEmpty()) {
            Error(QStringLiteral("no report: %1 holds no printout block").arg(opt.Out));
        } else {
            std::fprintf(stdout, "%s\n", action.LastDecode().ReportPath.toLocal8Bit().constData());
            std::fflush(stdout);
        }
        break;
    case UploadOutcome::PortOpenFailed:
        if (!action.PortError().isEmpty())
            Error(action.PortError());
        break;
    case UploadOutcome::DecodeFailed:
        if (!action.LastDecode().Detail.isEmpty())
            Error(action.LastDecode().Detail);
        break;
    default:
        break;
    }
    return ExitStatusFor(outcome);
}
