// orvexfm-cli command: runs one command of the device link's command set (report uploads,
// memory dumps, the device check, program downloads ...) over a serial port or UDP, the way
// an owner of the link does: BeginSession, PrepareCommand with the file, SendRequest, then
// wait for the session's result.

#include "link/default_transports.h"
#include "link/port_manager.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 2,
    kExitPort = 3,
    kExitTimeout = 4,
    kExitRefused = 5,
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
    "  error 94), 130 interrupted\n"
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

void Error(const QString& Message) {
    std::fprintf(stderr, "orvexfm-cli command: %s\n", Message.toUtf8().constData());
}

int UsageError(const QString& Message) {
    Error(Message);
    std::fprintf(stderr, "try 'orvexfm-cli command --help'\n");
    return kExitUsage;
}

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
    TMode Mode = tmRS232;
    QString Port;
    QString UdpHost;
    int UdpPort = TBsPort::kUdpPort;
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

// Ctrl-C: the handler only writes a byte; the wait reads it and ends the session.
int g_interruptPipe[2] = {-1, -1};

extern "C" void OnCommandInterrupt(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_interruptPipe[1], &byte, 1);
    errno = saved;
}

bool InstallInterrupt() {
    if (pipe2(g_interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = OnCommandInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &sa, nullptr) == 0;
}

// Parses the arguments; returns an exit status when the command should not run.
std::optional<int> Parse(const QStringList& Args, Options& Opt) {
    for (qsizetype i = 0; i < Args.size(); ++i) {
        const QString& arg = Args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            PrintUsage(stdout);
            return kExitOk;
        }
        if (!arg.startsWith(QLatin1String("--"))) {
            if (Opt.Command)
                return UsageError(QStringLiteral("unexpected argument '%1'").arg(arg));
            Opt.Command = CommandByName(arg);
            if (!Opt.Command)
                return UsageError(QStringLiteral("unknown command '%1'").arg(arg));
            continue;
        }
        QString name = arg;
        QString value;
        const bool flag = arg == QLatin1String("--verbose");
        if (const qsizetype eq = arg.indexOf(QLatin1Char('=')); eq >= 0) {
            name = arg.left(eq);
            value = arg.mid(eq + 1);
        } else if (!flag) {
            if (i + 1 >= Args.size())
                return UsageError(QStringLiteral("%1 needs a value").arg(name));
            value = Args[++i];
        }
        bool ok = true;
        if (flag) {
            Opt.Verbose = true;
        } else if (name == QLatin1String("--port")) {
            if (!Opt.UdpHost.isEmpty())
                return UsageError(QStringLiteral("--port and --udp exclude each other"));
            Opt.Port = value;
            Opt.Mode = tmRS232;
        } else if (name == QLatin1String("--udp")) {
            if (!Opt.Port.isEmpty())
                return UsageError(QStringLiteral("--port and --udp exclude each other"));
            Opt.UdpHost = value;
            Opt.Mode = tmTCPIP;
        } else if (name == QLatin1String("--udp-port")) {
            Opt.UdpPort = value.toInt(&ok);
            if (!ok || Opt.UdpPort < 1 || Opt.UdpPort > 65535)
                return UsageError(QStringLiteral("bad UDP port '%1'").arg(value));
        } else if (name == QLatin1String("--in")) {
            Opt.In = value;
        } else if (name == QLatin1String("--out")) {
            Opt.Out = value;
        } else if (name == QLatin1String("--dump-start") || name == QLatin1String("--dump-end")) {
            const auto v = HexAddress(value);
            if (!v)
                return UsageError(QStringLiteral("%1 needs a hex address up to FFFFFF").arg(name));
            (name == QLatin1String("--dump-start") ? Opt.DumpStart : Opt.DumpEnd) = *v;
        } else if (name == QLatin1String("--fiscal-mode")) {
            Opt.FiscalMode = value.toInt(&ok);
            if (!ok || Opt.FiscalMode < 0 || Opt.FiscalMode > 2)
                return UsageError(QStringLiteral("--fiscal-mode must be 0, 1 or 2"));
        } else if (name == QLatin1String("--fiscal-params")) {
            const QByteArray hex = value.trimmed().toLatin1();
            static const QByteArray digits("0123456789abcdefABCDEF");
            for (const char c : hex)
                ok = ok && digits.contains(c);
            if (!ok || hex.isEmpty() || hex.size() % 2 != 0 || hex.size() > 12)
                return UsageError(QStringLiteral("--fiscal-params needs 1 to 6 bytes in hex"));
            Opt.FiscalParams = QByteArray::fromHex(hex);
        } else if (name == QLatin1String("--stop-after")) {
            Opt.StopAfter = value.toInt(&ok);
            if (!ok || Opt.StopAfter < 1 || Opt.StopAfter > 2)
                return UsageError(QStringLiteral("--stop-after must be 1 or 2"));
        } else if (name == QLatin1String("--ack-timeout")) {
            Opt.AckTimeoutMs = value.toInt(&ok);
            if (!ok || Opt.AckTimeoutMs < 1 || Opt.AckTimeoutMs > 600000)
                return UsageError(QStringLiteral("--ack-timeout needs 1 to 600000 ms"));
        } else {
            return UsageError(QStringLiteral("unknown option '%1'").arg(name));
        }
    }
    if (!Opt.Command)
        return UsageError(QStringLiteral("a command NAME is required"));
    if (Opt.Port.isEmpty() && Opt.UdpHost.isEmpty())
        return UsageError(QStringLiteral("--port or --udp is required"));
    const FileDirection file = TemplateOf(*Opt.Command).File;
    const char* name = CommandName(*Opt.Command);
    if (file == FileDirection::Read && (Opt.In.isEmpty() || !Opt.Out.isEmpty()))
        return UsageError(QStringLiteral("%1 sends a file: give --in FILE").arg(name));
    if (file == FileDirection::Write && (Opt.Out.isEmpty() || !Opt.In.isEmpty()))
        return UsageError(QStringLiteral("%1 writes a file: give --out FILE").arg(name));
    if (file == FileDirection::None && (!Opt.In.isEmpty() || !Opt.Out.isEmpty()))
        return UsageError(QStringLiteral("%1 takes no file").arg(name));
    return std::nullopt;
}

// The session's result is final: nothing further will change it by itself.
bool IsFinal(const TBsPort& Link) {
    const int r = Link.SessionResult();
    if (r == 5)
        return Link.LinkState == '0'; // the task-done exchange is still running
    return r >= 3 || r == 2 || r < 0;
}

// Ends a session the owner gives up on, so that no further request or retransmission goes
// out and the files are closed.
void AbandonSession(TBsPort& Link) {
    Link.OutputFile().close();
    Link.InputFile().close();
    Link.FileState = 0;
    Link.LinkState = '0';
    Link.RequestPending = -1;
    Link.DownloadState = -1;
}

} // namespace

int RunCommandCommand(const QStringList& Args) {
    Options opt;
    if (const auto exit = Parse(Args, opt))
        return *exit;
    const TEnumVarnCmd cmd = *opt.Command;

    static int argc = 1;
    static char arg0[] = "orvexfm-cli";
    static char* argv[] = {arg0, nullptr};
    QCoreApplication app(argc, argv);

    QEventLoop loop;
    bool interrupted = false;
    std::unique_ptr<QSocketNotifier> interrupt;
    if (InstallInterrupt()) {
        interrupt = std::make_unique<QSocketNotifier>(g_interruptPipe[0], QSocketNotifier::Read);
        QObject::connect(interrupt.get(), &QSocketNotifier::activated, [&] {
            char buf[16];
            while (read(g_interruptPipe[0], buf, sizeof buf) > 0) {
            }
            interrupted = true;
            loop.quit();
        });
    }

    TVarnMPComm ports(DefaultTransportFactory(opt.UdpPort));
    ports.SetMode(opt.Mode);
    TBsPort* link = nullptr;
    if (opt.Mode == tmRS232) {
        if (ports.FindPort(opt.Port) == -1) {
            Error(QStringLiteral("no free link for %1").arg(opt.Port));
            return kExitPort;
        }
        if (!ports.OpenPort(opt.Port)) {
            Error(QStringLiteral("cannot open %1: %2").arg(opt.Port, ports.LastError()));
            return kExitPort;
        }
        link = ports.Port(ports.FindPort(opt.Port));
        link->SetMode(tmRS232);
        link->IsModem = false;
    } else {
        link = ports.Port(0);
        link->SetIP(opt.UdpHost);
        link->SetMode(tmTCPIP);
    }
    if (opt.AckTimeoutMs > 0)
        link->AckTimeoutMs = opt.AckTimeoutMs;

    bool refused = false;
    link->OnStatus = [&](const QString& Text, StatusKind Kind) {
        if (Kind == StatusKind::ReceivedChunk)
            return;
        if (Text == QLatin1String("Receive VARN answer: command err") ||
            Text == QLatin1String("Can not upload Z report.(Ecr Error 94)"))
            refused = true;
        if (opt.Verbose)
            std::fprintf(stderr, "%s\n", Text.toUtf8().constData());
    };
    link->OnSessionResult = [&](int) {
        if (IsFinal(*link))
            loop.quit();
    };

    link->EnumVarnCmd = cmd;
    link->StopAfter = opt.StopAfter;
    link->BaudReady = false;
    link->RetriesLeft = kBaudRetries;
    link->DumpStart = opt.DumpStart;
    link->DumpEnd = opt.DumpEnd;
    link->FiscalMode = static_cast<std::uint8_t>(opt.FiscalMode);
    link->FiscalParams.fill(0);
    std::copy(opt.FiscalParams.begin(), opt.FiscalParams.end(), link->FiscalParams.begin());

    ports.StartWorker();
    link->BeginSession(kDeviceAddress, kBaudIndex, true);
    const QString file = !opt.In.isEmpty() ? opt.In : opt.Out;
    if (!link->PrepareCommand(file)) {
        Error(link->StatusText);
        AbandonSession(*link);
        ports.StopWorker();
        return kExitUsage;
    }
    link->SendRequest();
    if (!IsFinal(*link))
        loop.exec();
    ports.StopWorker();

    const int result = link->SessionResult();
    if (interrupted && !IsFinal(*link)) {
        AbandonSession(*link);
        Error(QStringLiteral("interrupted"));
        return kExitInterrupted;
    }
    std::fprintf(stdout, "SessionResult %d\n", result);
    if (result >= 3 && !link->FinishText.isEmpty())
        std::fprintf(stdout, "%s\n", link->FinishText.toUtf8().constData());
    else if (!link->StatusText.isEmpty())
        std::fprintf(stdout, "%s\n", link->StatusText.toUtf8().constData());
    std::fflush(stdout);
    link->OnStatus = nullptr;
    link->OnSessionResult = nullptr;
    if (opt.Mode == tmRS232)
        ports.ClosePort(opt.Port);

    if (result >= 3)
        return kExitOk;
    if (result < 0 || refused)
        return kExitRefused;
    return kExitTimeout;
}
