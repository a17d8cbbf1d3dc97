#include "sim/scale_main.h"

#include "sim/scale_devices.h"
#include "sim/scale_engine.h"
#include "sim/scale_options.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

void PrintErr(const QString& Text) {
    std::fprintf(stderr, "orvexfm-sim: %s\n", Text.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

int RunScaleSimulator(const QStringList& Arguments, const sigset_t& StopSignals) {
    const ScaleSimOptionsResult parsed = ParseScaleSimOptions(Arguments);
    if (parsed.HelpRequested) {
        std::fputs(parsed.HelpText.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!parsed.Options) {
        PrintErr(parsed.Error);
        return 2;
    }
    const ScaleSimOptions& o = *parsed.Options;

    ScaleEngine engine(o.Scale);
    if (o.Verbose)
        engine.OnLog = [](const QString& Text) { PrintErr(Text); };

    QString error;
    std::unique_ptr<ScalePtyDevice> pty;
    std::unique_ptr<ScaleUdpDevice> udp;
    QString firstLine;
    if (o.LinkMode == ScaleSimOptions::Mode::Pty) {
        pty = std::make_unique<ScalePtyDevice>(engine);
        if (!pty->Open(&error)) {
            PrintErr(error);
            return 1;
        }
        firstLine = QStringLiteral("PTY %1").arg(pty->SlavePath());
    } else {
        udp = std::make_unique<ScaleUdpDevice>(engine);
        if (!udp->Open(o.BindAddress, static_cast<quint16>(o.Port), &error)) {
            PrintErr(error);
            return 1;
        }
        firstLine =
            QStringLiteral("UDP %1:%2").arg(udp->LocalAddress().toString()).arg(udp->LocalPort());
    }
    std::printf("%s\n", firstLine.toLocal8Bit().constData());
    std::fflush(stdout);

    const int signalFd = signalfd(-1, &StopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [signalFd] {
        signalfd_siginfo info{};
        while (read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        QCoreApplication::quit();
    });

    std::unique_ptr<QSocketNotifier> stdinNotifier;
    if (o.ExitOnStdinEof) {
        stdinNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(stdinNotifier.get(), &QSocketNotifier::activated,
                         [n = stdinNotifier.get()] {
                             char buffer[512];
                             if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
                                 n->setEnabled(false);
                                 QCoreApplication::quit();
                             }
                         });
    }

    const int rc = QCoreApplication::exec();
    PrintErr(engine.SummaryLine());
    close(signalFd);
    return rc;
}
