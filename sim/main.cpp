// orvexfm-sim: a simulated Orvex fiscal device on a pseudo-terminal or on UDP.

#include "sim/command_play.h"
#include "sim/content_source.h"
#include "sim/device_engine.h"
#include "sim/pty_device.h"
#include "sim/scale_main.h"
#include "sim/sim_content.h"
#include "sim/sim_options.h"
#include "sim/sim_run.h"
#include "sim/udp_device.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>

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
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    if (QCoreApplication::arguments().contains(QStringLiteral("--scale")))
        return RunScaleSimulator(QCoreApplication::arguments(), stopSignals);

    const SimOptionsResult parsed = ParseSimOptions(QCoreApplication::arguments());
    if (const auto exit = SimExitForOptions(parsed))
        return *exit;
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
            PrintSimError(error);
            return 2;
        }
    }
    if (!o.EpromFile.isEmpty() && !content->LoadChangeData(o.EpromFile, &error)) {
        PrintSimError(error);
        return 2;
    }

    DeviceEngine engine(o.Engine, content);
    CommandPlayer commands(engine, o.Commands);
    if (!commands.Load(&error)) {
        PrintSimError(error);
        return 2;
    }
    commands.Install();
    if (o.Verbose)
        engine.OnLog = [](const QString& text) { PrintSimError(text); };

    std::unique_ptr<PtyDevice> pty;
    std::unique_ptr<UdpDevice> udp;
    std::optional<QString> firstLine;
    if (o.LinkMode == SimOptions::Mode::Pty) {
        pty = std::make_unique<PtyDevice>(engine, o.Pace, o.Engine.Faults.SplitChunks);
        firstLine = OpenSimPty(*pty);
    } else {
        udp =
            std::make_unique<UdpDevice>(engine, o.Pace, o.UdpPaceRate, o.Engine.Faults.SplitChunks);
        firstLine = OpenSimUdp(*udp, o.BindAddress, o.Port);
    }
    if (!firstLine)
        return 1;
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
    const int rc = RunSimUntilStopped(*firstLine, stopSignals, o.ExitOnStdinEof);
    PrintSimError(engine.SummaryLine());
    return rc;
}
