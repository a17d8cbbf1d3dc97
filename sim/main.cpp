// orvexfm-sim: a simulated Orvex fiscal device on a pseudo-terminal or on UDP.

#include "sim/command_play.h"
#include "sim/content_source.h"
#include "sim/device_engine.h"
#include "sim/pty_device.h"
#include "sim/scale_main.h"
#include "sim/sim_content.h"
#include "sim/sim_options.h"
#include "sim/udp_device.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

void PrintErr(const QString& Text) {
    std::fprintf(stderr, "orvexfm-sim: %s\n", Text.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

int main(int argc, char** argv) {
    // SIGINT and SIGTERM arrive as readable events on a descriptor, so the event loop ends
    // cleanly and the summary is written. Blocked before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvexfm-sim"));
    if (QCoreApplication::arguments().contains(QStringLiteral("--scale")))
        return RunScaleSimulator(QCoreApplication::arguments(), stopSignals);

    const SimOptionsResult parsed = ParseSimOptions(QCoreApplication::arguments());
    if (parsed.HelpRequested) {
        std::fputs(parsed.HelpText.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!parsed.Options) {
        PrintErr(parsed.Error);
        return 2;
    }
    const SimOptions& o = *parsed.Options;

    auto content = std::make_shared<FileContent>(MakeDefaultContent(o.Content));
    QString error;
    const struct {
        const QString& Path;
        FmArea Area;
    } files[] = {{o.DetailFile, FmArea::Detail},
                 {o.SummaryFile, FmArea::Summary},
                 {o.HeaderFile, FmArea::Header},
                 {o.FooterFile, FmArea::Footer}};
    for (const auto& f : files) {
        if (!f.Path.isEmpty() && !content->LoadArea(f.Area, f.Path, &error)) {
            PrintErr(error);
            return 2;
        }
    }
    if (!o.EpromFile.isEmpty() && !content->LoadChangeData(o.EpromFile, &error)) {
        PrintErr(error);
        return 2;
    }

    DeviceEngine engine(o.Engine, content);
    CommandPlayer commands(engine, o.Commands);
    if (!commands.Load(&error)) {
        PrintErr(error);
        return 2;
    }
    commands.Install();
    if (o.Verbose)
        engine.OnLog = [](const QString& text) { PrintErr(text); };

    std::unique_ptr<PtyDevice> pty;
    std::unique_ptr<UdpDevice> udp;
    QString firstLine;
    if (o.LinkMode == SimOptions::Mode::Pty) {
        pty = std::make_unique<PtyDevice>(engine, o.Pace, o.Engine.Faults.SplitChunks);
        if (!pty->Open(&error)) {
            PrintErr(error);
            return 1;
        }
        firstLine = QStringLiteral("PTY %1").arg(pty->SlavePath());
    } else {
        udp =
            std::make_unique<UdpDevice>(engine, o.Pace, o.UdpPaceRate, o.Engine.Faults.SplitChunks);
        if (!udp->Open(o.BindAddress, static_cast<quint16>(o.Port), &error)) {
            PrintErr(error);
            return 1;
        }
        firstLine =
            QStringLiteral("UDP %1:%2").arg(udp->LocalAddress().toString()).arg(udp->LocalPort());
    }
    // Answers the device sends on its own a while after a request.
    engine.Defer = [&app, &pty, &udp](int Ms, std::function<void()> Work) {
        QTimer::singleShot(Ms, &app, [&pty, &udp, Work = std::move(Work)] {
            Work();
            if (pty)
                pty->KickOutput();
            if (udp)
                udp->KickOutput();
        });
    };
    std::printf("%s\n", firstLine.toLocal8Bit().constData());
    std::fflush(stdout);

    const int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [signalFd] {
        signalfd_siginfo info{};
        while (read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        QCoreApplication::quit();
    });

    std::unique_ptr<QSocketNotifier> stdinNotifier;
    if (o.ExitOnStdinEof) {
        stdinNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(stdinNotifier.get(), &QSocketNotifier::activated, &app,
                         [n = stdinNotifier.get()] {
                             char buffer[512];
                             const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
                             if (got <= 0) {
                                 n->setEnabled(false);
                                 QCoreApplication::quit();
                             }
                         });
    }

    const int rc = app.exec();
    PrintErr(engine.SummaryLine());
    close(signalFd);
    return rc;
}
