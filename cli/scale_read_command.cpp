// orvexfm-cli scale-read: reads a weighing scale's whole memory (2048 blocks of 256 bytes)
// over the scale bus link, the same read the window's hidden scale test runs, and writes it
// to a file.

#include "cli/cli_options.h"
#include "cli/interrupt.h"
#include "fm/file_writer.h"
#include "scalebus/scale_memory_read.h"
#include "scalebus/varn_ibus.h"
#include "transport/spcomm.h"

#include <QStringList>

#include <cstdio>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 2,
    kExitPort = 3,
    kExitFailed = 4,
    kExitInterrupted = 130,
};

const char kUsage[] =
    "usage: orvexfm-cli scale-read (--port NAME | --udp HOST [--udp-port N])\n"
    "            --scale NUMBER --out FILE\n"
    "            [--rate 9600|19200|38400|57600|115200] [--retries 0..10]\n"
    "            [--retry-interval MS] [--local-port N] [--no-ping] [--trace FILE]\n"
    "\n"
    "Reads the whole memory of a weighing scale (2048 blocks of 256 bytes) into FILE.\n"
    "  --port            serial port of the scale (e.g. /dev/ttyUSB0): the scale is woken\n"
    "                    up (trying each rate in turn) and its information block is read\n"
    "  --udp             the scale's address; --udp-port its port (5001)\n"
    "  --scale           the scale's number (the window's test reads scale 1234)\n"
    "  --out             the file written; it is replaced only by a complete read\n"
    "  --rate            working rate of a serial session (default 9600)\n"
    "  --retries         extra attempts of each block (default 6); --retry-interval the\n"
    "                    wait for each answer in ms (default 800)\n"
    "  --local-port      local UDP port (default 5001; 0 picks a free one)\n"
    "  --no-ping         over UDP, skip the echo (ping) check that stands for the connect\n"
    "  --trace           writes every frame sent and received to FILE\n"
    "\n"
    "Status lines go to standard error.\n"
    "exit status: 0 read and written, 2 bad usage or the file cannot be written,\n"
    "  3 port cannot be opened, 4 connect or block read failed, 130 interrupted\n";

const CliCommand kCli("scale-read", kExitUsage);

void StatusLine(const QString& Text) {
    std::fprintf(stderr, "%s\n", Text.toLocal8Bit().constData());
    std::fflush(stderr);
}

struct Options {
    DeviceAddress Device{tmRS232, {}, {}, scalebus::kScaleUdpPort};
    int LocalPort = scalebus::kScaleUdpPort;
    long long ScaleNo = -1;
    QString Out;
    scalebus::TBaudRate Rate = scalebus::tbr9600;
    int Retries = 6;
    int RetryInterval = 800;
    bool Ping = true;
    QString Trace;
};

bool ParseRate(const QString& Text, scalebus::TBaudRate& Rate) {
    for (int i = 0; i < scalebus::kBaudRateCount; ++i) {
        if (Text == QString::number(scalebus::BaudRateBits(i))) {
            Rate = static_cast<scalebus::TBaudRate>(i);
            return true;
        }
    }
    return false;
}

} // namespace

int RunScaleReadCommand(const QStringList& Args) {
    Options opt;
    ArgumentReader reader(Args, {QStringLiteral("--no-ping")});
    for (auto kind = reader.Next(); kind != ArgumentReader::Kind::End; kind = reader.Next()) {
        const QString& name = reader.Name();
        const QString& value = reader.Value();
        if (kind == ArgumentReader::Kind::Help) {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (kind == ArgumentReader::Kind::Plain)
            return kCli.UsageError(QStringLiteral("unexpected argument '%1'").arg(name));
        if (kind == ArgumentReader::Kind::Flag) {
            opt.Ping = false;
            continue;
        }
        if (kind == ArgumentReader::Kind::MissingValue)
            return kCli.UsageError(QStringLiteral("%1 needs a value").arg(name));
        bool ok = false;
        if (IsDeviceOption(name)) {
            if (const QString error = SetDeviceOption(name, value, opt.Device); !error.isEmpty())
                return kCli.UsageError(error);
        } else if (name == QLatin1String("--udp-port") || name == QLatin1String("--local-port")) {
            const bool local = name == QLatin1String("--local-port");
            const auto port = PortNumberOption(value, local ? 0 : 1);
            if (!port)
                return kCli.UsageError(QStringLiteral("bad %1 '%2'").arg(name, value));
            (local ? opt.LocalPort : opt.Device.UdpPort) = *port;
        } else if (name == QLatin1String("--scale")) {
            opt.ScaleNo = value.toLongLong(&ok);
            if (!ok || opt.ScaleNo < 0 || opt.ScaleNo > 99999999)
                return kCli.UsageError(QStringLiteral("scale number must be 0..99999999"));
        } else if (name == QLatin1String("--out")) {
            opt.Out = value;
        } else if (name == QLatin1String("--rate")) {
            if (!ParseRate(value, opt.Rate))
                return kCli.UsageError(QStringLiteral("unknown rate '%1'").arg(value));
        } else if (name == QLatin1String("--retries")) {
            opt.Retries = value.toInt(&ok);
            if (!ok || opt.Retries < 0 || opt.Retries > scalebus::kMaxRetryCount)
                return kCli.UsageError(QStringLiteral("retries must be 0..10"));
        } else if (name == QLatin1String("--retry-interval")) {
            opt.RetryInterval = value.toInt(&ok);
            if (!ok || opt.RetryInterval < 1 || opt.RetryInterval > 600000)
                return kCli.UsageError(QStringLiteral("bad retry interval '%1'").arg(value));
        } else if (name == QLatin1String("--trace")) {
            opt.Trace = value;
        } else {
            return kCli.UsageError(QStringLiteral("unknown option '%1'").arg(name));
        }
    }
    if (!opt.Device.Given())
        return kCli.UsageError(QStringLiteral("--port or --udp is required"));
    if (opt.ScaleNo < 0)
        return kCli.UsageError(QStringLiteral("--scale is required"));
    if (opt.Out.isEmpty())
        return kCli.UsageError(QStringLiteral("--out is required"));
    // Refused before the scale is woken: a pipe, a device or a folder is replaced by nothing.
    for (const QString& file : {opt.Out, opt.Trace}) {
        if (const QString problem = file.isEmpty() ? QString() : WriteTargetProblem(file);
            !problem.isEmpty()) {
            kCli.Error(QStringLiteral("cannot write %1: %2").arg(file, problem));
            return kExitUsage;
        }
    }

    CliApplication app;

    scalebus::TVarnIBusComm link;
    link.SetMode(opt.Device.Mode);
    link.SetLocalPort(opt.Device.Mode == tmTCPIP ? opt.LocalPort : 0);
    link.SetRemotePort(opt.Device.UdpPort);
    link.SetIP(opt.Device.UdpHost);
    link.SetCommName(opt.Device.Port);
    link.SetBaudRate(opt.Rate);
    link.SetRetryCount(opt.Retries);
    link.SetRetryInterval(opt.RetryInterval);
    link.SetTracing(!opt.Trace.isEmpty());
    if (!opt.Ping)
        link.PingAddress = [](const QString&) { return true; };
    link.OnError = [](const QString& Text) {
        kCli.Error(QString(Text).replace(QLatin1Char('\n'), ' '));
    };
    if (opt.Device.Mode == tmTCPIP && opt.LocalPort != 0 && link.BoundLocalPort() == 0)
        kCli.Error(
            QStringLiteral("local UDP port %1 is taken; answers cannot arrive (try --local-port 0)")
                .arg(opt.LocalPort));

    try {
        link.SetActive(true);
    } catch (const ECommsError&) {
        return kExitPort;
    }

    bool interrupted = false;
    // Ctrl-C: the link's wait sees the cancel, as with the dialog's Cancel button.
    InterruptWatch interrupt;
    if (!interrupt.Install([&] {
            interrupted = true;
            link.Cancel();
        })) {
        kCli.Error(QStringLiteral("Ctrl-C cannot be caught; it ends the read without clean-up"));
    }

    scalebus::ScaleMemoryReadHooks hooks;
    hooks.SetStatus = [&interrupted](bool IsError, const QString& Text) {
        // An interrupted read reports its end once, below, not as a failure of the scale.
        if (!(IsError && interrupted))
            StatusLine(Text);
    };
    hooks.SetProgress = [](int Current) {
        if (Current % 256 == 0)
            StatusLine(
                QStringLiteral("block %1/%2").arg(Current).arg(scalebus::kScaleMemoryBlocks));
    };
    const scalebus::ScaleReadResult result =
        scalebus::ReadScaleMemory(link, opt.ScaleNo, opt.Out, hooks);

    if (!opt.Trace.isEmpty()) {
        const QString error = ReplaceFileContents(
            opt.Trace, link.TraceList().join(QLatin1Char('\n')).toUtf8() + '\n');
        if (!error.isEmpty())
            kCli.Error(QStringLiteral("cannot write the trace file %1: %2").arg(opt.Trace, error));
    }

    switch (result.Outcome) {
    case scalebus::ScaleReadOutcome::Written:
        StatusLine(
            QStringLiteral("wrote %1 bytes to %2").arg(scalebus::kScaleMemoryBytes).arg(opt.Out));
        return kExitOk;
    case scalebus::ScaleReadOutcome::WriteFailed:
        kCli.Error(QStringLiteral("cannot write %1: %2").arg(opt.Out, result.WriteError));
        return kExitUsage;
    case scalebus::ScaleReadOutcome::ConnectFailed:
    case scalebus::ScaleReadOutcome::BlockFailed:
        if (interrupted) {
            StatusLine(QStringLiteral("interrupted; nothing written"));
            return kExitInterrupted;
        }
        return kExitFailed;
    }
    return kExitFailed;
}
