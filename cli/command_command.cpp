// orvexfm-cli command: runs one command of the device link's command set (report uploads,
// memory dumps, the device check, program downloads ...) over a serial port or UDP, the way
// an owner of the link does: StartSession with the command and its file, then wait until
// the link reports how the session ended.

#include "cli/cli_options.h"
#include "cli/interrupt.h"
#include "fm/file_writer.h"
#include "link/default_transports.h"
#include "link/port_manager.h"

#include <QEventLoop>
#include <QStringList>

#include <cstdio>
#include <optional>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 2,
    kExitPort = 3,
    kExitTimeout = 4,
    kExitRefused = 5,
    kExitFile = 7, // the --out file could not be written while the data came
    kExitInterrupted = 130,
};

constexpr int kDeviceAddress = 1;
constexpr int kBaudIndex = kBaudIndex115200;
constexpr int kBaudRetries = 6;

const char kUsageHead[] =
    "usage: orvexfm-cli command NAME (--port NAME | --udp HOST [--udp-port N])\n"
    "            [--in FILE | --out FILE] [--dump-start HEX --dump-end HEX]\n"
    "            [--fiscal-mode 0|1|2 --fiscal-params HEX] [--stop-after 1|2]\n"
    "            [--ack-timeout MS] [--verbose]\n"
    "\n"
    "Runs one command of the device link's command set and prints the session's result\n"
    "(\"SessionResult N\") and its completion text on standard output.\n"
    "  --port        serial port of the device; --udp its network address (--udp-port 5002)\n"
    "  --in          file a download sends (commands marked 'read' below)\n"
    "  --out         file an upload writes (commands marked 'write' below)\n"
    "  --dump-start, --dump-end\n"
    "                first and last address (hex, up to FFFFFF) of a ROM, RAM or NAND dump\n"
    "  --fiscal-mode H_UPLOAD_FISCAL: 0 sends 4 parameter bytes, 1 all 6, 2 none\n"
    "  --fiscal-params\n"
    "                the 6 parameter bytes of H_UPLOAD_FISCAL as hex (missing bytes are 0)\n"
    "  --stop-after  1: end after the device check; 2: end once the bit rate is agreed\n"
    "  --ack-timeout time-out of each answer in ms once the bit rate is agreed (default 5000)\n"
    "  --verbose     print the link's status texts on standard error\n"
    "\n"
    "exit status: 0 finished (SessionResult 3 or more), 2 bad usage or unusable file,\n"
    "  3 port cannot be opened, 4 time-out or connect fail (SessionResult 2),\n"
    "  5 refused by the device (SessionResult -1 or -2, a refusal, or the Z report's\n"
    "  error 94), 7 the --out file cannot be written (\"Write file FILE fail: reason\"),\n"
    "  130 interrupted\n"
    "\n"
    "commands:\n";

void PrintUsage(std::FILE* Out) {
    std::fputs(kUsageHead, Out);
    for (int i = 0; i < kCommandCount; ++i) {
        const CommandTemplate& t = CommandTemplates[i];
        const char* file = t.File == FileDirection::Read    ? "read"
                           : t.File == FileDirection::Write ? "write"
                                                            : "-";
        std::fprintf(Out, "  %-22s %-5s class 0x%02X code 0x%02X\n", t.Name, file, t.Class, t.Code);
    }
}

const CliCommand kCli("command", kExitUsage);

std::optional<TEnumVarnCmd> CommandByName(const QString& Name) {
    for (int i = 0; i < kCommandCount; ++i) {
        if (Name.compare(QLatin1String(CommandTemplates[i].Name), Qt::CaseInsensitive) == 0)
            return static_cast<TEnumVarnCmd>(i);
    }
    return std::nullopt;
}

std::optional<int> HexAddress(QString Text) {
    Text = Text.trimmed();
    if (Text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        Text = Text.mid(2);
    bool ok = false;
    const uint v = Text.toUInt(&ok, 16);
    if (!ok || Text.isEmpty() || v > TBsPort::kDumpAddressMask)
        return std::nullopt;
    return static_cast<int>(v);
}

struct Options {
    std::optional<TEnumVarnCmd> Command;
    DeviceAddress Device{tmRS232, {}, {}, TBsPort::kUdpPort};
    QString In;
    QString Out;
    int DumpStart = 0;
    int DumpEnd = 0;
    int FiscalMode = 0;
    QByteArray FiscalParams;
    int StopAfter = 0;
    int AckTimeoutMs = 0; // 0: the port manager's
    bool Verbose = false;
};

// Parses the arguments; returns an exit status when the command should not run.
std::optional<int> Parse(const QStringList& Args, Options& Opt) {
    ArgumentReader reader(Args, {QStringLiteral("--verbose")});
    for (auto kind = reader.Next(); kind != ArgumentReader::Kind::End; kind = reader.Next()) {
        const QString& name = reader.Name();
        const QString& value = reader.Value();
        if (kind == ArgumentReader::Kind::Help) {
            PrintUsage(stdout);
            return kExitOk;
        }
        if (kind == ArgumentReader::Kind::Plain) {
            if (Opt.Command)
                return kCli.UsageError(QStringLiteral("unexpected argument '%1'").arg(name));
            Opt.Command = CommandByName(name);
            if (!Opt.Command)
                return kCli.UsageError(QStringLiteral("unknown command '%1'").arg(name));
            continue;
        }
        if (kind == ArgumentReader::Kind::MissingValue)
            return kCli.UsageError(QStringLiteral("%1 needs a value").arg(name));
        bool ok = true;
        if (kind == ArgumentReader::Kind::Flag) {
            Opt.Verbose = true;
        } else if (IsDeviceOption(name)) {
            if (const QString error = SetDeviceOption(name, value, Opt.Device); !error.isEmpty())
                return kCli.UsageError(error);
        } else if (name == QLatin1String("--udp-port")) {
            const auto port = PortNumberOption(value);
            if (!port)
                return kCli.UsageError(QStringLiteral("bad UDP port '%1'").arg(value));
            Opt.Device.UdpPort = *port;
        } else if (name == QLatin1String("--in")) {
            Opt.In = value;
        } else if (name == QLatin1String("--out")) {
            Opt.Out = value;
        } else if (name == QLatin1String("--dump-start") || name == QLatin1String("--dump-end")) {
            const auto v = HexAddress(value);
            if (!v)
                return kCli.UsageError(
                    QStringLiteral("%1 needs a hex address up to FFFFFF").arg(name));
            (name == QLatin1String("--dump-start") ? Opt.DumpStart : Opt.DumpEnd) = *v;
        } else if (name == QLatin1String("--fiscal-mode")) {
            Opt.FiscalMode = value.toInt(&ok);
            if (!ok || Opt.FiscalMode < 0 || Opt.FiscalMode > 2)
                return kCli.UsageError(QStringLiteral("--fiscal-mode must be 0, 1 or 2"));
        } else if (name == QLatin1String("--fiscal-params")) {
            const QByteArray hex = value.trimmed().toLatin1();
            static const QByteArray digits("0123456789abcdefABCDEF");
            for (const char c : hex)
                ok = ok && digits.contains(c);
            if (!ok || hex.isEmpty() || hex.size() % 2 != 0 || hex.size() > 12)
                return kCli.UsageError(QStringLiteral("--fiscal-params needs 1 to 6 bytes in hex"));
            Opt.FiscalParams = QByteArray::fromHex(hex);
        } else if (name == QLatin1String("--stop-after")) {
            Opt.StopAfter = value.toInt(&ok);
            if (!ok || Opt.StopAfter < 1 || Opt.StopAfter > 2)
                return kCli.UsageError(QStringLiteral("--stop-after must be 1 or 2"));
        } else if (name == QLatin1String("--ack-timeout")) {
            Opt.AckTimeoutMs = value.toInt(&ok);
            if (!ok || Opt.AckTimeoutMs < 1 || Opt.AckTimeoutMs > 600000)
                return kCli.UsageError(QStringLiteral("--ack-timeout needs 1 to 600000 ms"));
        } else {
            return kCli.UsageError(QStringLiteral("unknown option '%1'").arg(name));
        }
    }
    if (!Opt.Command)
        return kCli.UsageError(QStringLiteral("a command NAME is required"));
    if (!Opt.Device.Given())
        return kCli.UsageError(QStringLiteral("--port or --udp is required"));
    const FileDirection file = TemplateOf(*Opt.Command).File;
    const char* name = CommandName(*Opt.Command);
    if (file == FileDirection::Read && (Opt.In.isEmpty() || !Opt.Out.isEmpty()))
        return kCli.UsageError(QStringLiteral("%1 sends a file: give --in FILE").arg(name));
    if (file == FileDirection::Write && (Opt.Out.isEmpty() || !Opt.In.isEmpty()))
        return kCli.UsageError(QStringLiteral("%1 writes a file: give --out FILE").arg(name));
    if (file == FileDirection::None && (!Opt.In.isEmpty() || !Opt.Out.isEmpty()))
        return kCli.UsageError(QStringLiteral("%1 takes no file").arg(name));
    // The link opens --out for writing: a named pipe would block that for ever (Ctrl-C
    // included), and a device or a folder is no place for an upload. A symbolic link is
    // written through.
    if (file == FileDirection::Write) {
        if (const QString problem = WriteTargetProblem(Opt.Out); !problem.isEmpty()) {
            kCli.Error(QStringLiteral("cannot write %1: %2").arg(Opt.Out, problem));
            return kExitUsage;
        }
    }
    return std::nullopt;
}

// The exit status of a session that ended. A refusal counts even when a resend got past it
// and the session ended otherwise.
int ExitStatusOf(SessionEnd End, const TBsPort& Link) {
    if (End == SessionEnd::Finished)
        return kExitOk;
    if (End == SessionEnd::FileFailed)
        return kExitFile;
    if (End == SessionEnd::Refused || End == SessionEnd::NotPossible || Link.RefusalsSeen() > 0)
        return kExitRefused;
    // The line went away under the session: it failed as a port that does not open.
    if (End == SessionEnd::Disconnected)
        return kExitPort;
    return kExitTimeout;
}

} // namespace

int RunCommandCommand(const QStringList& Args) {
    Options opt;
    if (const auto exit = Parse(Args, opt))
        return *exit;
    const TEnumVarnCmd cmd = *opt.Command;

    CliApplication app;

    QEventLoop loop;
    // Ctrl-C ends the wait; the session is cancelled below. Without the handler Ctrl-C simply
    // ends the process, which loses nothing here.
    InterruptWatch interrupt;
    interrupt.Install([&] { loop.quit(); });

    TVarnMPComm ports(DefaultTransportFactory(opt.Device.UdpPort));
    ports.SetMode(opt.Device.Mode);
    TBsPort* link = nullptr;
    if (opt.Device.Mode == tmRS232) {
        if (ports.FindPort(opt.Device.Port) == -1) {
            kCli.Error(QStringLiteral("no free link for %1").arg(opt.Device.Port));
            return kExitPort;
        }
        if (!ports.OpenPort(opt.Device.Port)) {
            kCli.Error(
                QStringLiteral("cannot open %1: %2").arg(opt.Device.Port, ports.LastError()));
            return kExitPort;
        }
        link = ports.Port(ports.FindPort(opt.Device.Port));
        link->SetMode(tmRS232);
        link->IsModem = false;
    } else {
        link = ports.Port(0);
        link->SetIP(opt.Device.UdpHost);
        link->SetMode(tmTCPIP);
    }
    if (opt.AckTimeoutMs > 0)
        link->AckTimeoutMs = opt.AckTimeoutMs;

    if (opt.Verbose) {
        link->OnStatus = [](const QString& Text, StatusKind Kind) {
            if (Kind != StatusKind::ReceivedChunk)
                std::fprintf(stderr, "%s\n", Text.toUtf8().constData());
        };
    }
    std::optional<SessionEnd> ended;
    link->OnSessionEnded = [&](SessionEnd End) {
        ended = End;
        loop.quit();
    };

    SessionRequest session;
    session.Command = cmd;
    session.FileName = !opt.In.isEmpty() ? opt.In : opt.Out;
    session.Retries = kBaudRetries;
    session.StopAfter = opt.StopAfter;
    session.Address = kDeviceAddress;
    session.BaudIndex = kBaudIndex;
    session.StartAt9600 = true;
    session.DumpStart = opt.DumpStart;
    session.DumpEnd = opt.DumpEnd;
    session.FiscalMode = static_cast<std::uint8_t>(opt.FiscalMode);
    std::copy(opt.FiscalParams.begin(), opt.FiscalParams.end(), session.FiscalParams.begin());

    ports.StartWorker();
    if (link->StartSession(session) != SessionStart::Started) {
        kCli.Error(link->StatusText);
        ports.StopWorker();
        return kExitUsage;
    }
    if (!ended)
        loop.exec();
    ports.StopWorker();

    const int result = link->SessionResult();
    if (!ended) {
        // Only Ctrl-C ends the wait before the session ends.
        link->CancelSession();
        kCli.Error(QStringLiteral("interrupted"));
        return kExitInterrupted;
    }
    std::fprintf(stdout, "SessionResult %d\n", result);
    if (result >= 3 && !link->FinishText.isEmpty())
        std::fprintf(stdout, "%s\n", link->FinishText.toUtf8().constData());
    else if (!link->StatusText.isEmpty())
        std::fprintf(stdout, "%s\n", link->StatusText.toUtf8().constData());
    std::fflush(stdout);
    link->OnStatus = nullptr;
    link->OnSessionEnded = nullptr;
    if (opt.Device.Mode == tmRS232)
        ports.ClosePort(opt.Device.Port);
    return ExitStatusOf(*ended, *link);
}
