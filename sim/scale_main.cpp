#include "sim/scale_main.h"

#include "sim/scale_devices.h"
#include "sim/scale_engine.h"
#include "sim/scale_options.h"
#include "sim/sim_run.h"

#include <memory>

int RunScaleSimulator(const QStringList& Arguments, const sigset_t& StopSignals) {
    const ScaleSimOptionsResult parsed = ParseScaleSimOptions(Arguments);
    if (const auto exit = SimExitForOptions(parsed))
        return *exit;
    const ScaleSimOptions& o = *parsed.Options;

    ScaleEngine engine(o.Scale);
    if (o.Verbose)
        engine.OnLog = [](const QString& Text) { PrintSimError(Text); };

    std::unique_ptr<ScalePtyDevice> pty;
    std::unique_ptr<ScaleUdpDevice> udp;
    std::optional<QString> firstLine;
    if (o.LinkMode == ScaleSimOptions::Mode::Pty) {
        pty = std::make_unique<ScalePtyDevice>(engine);
        firstLine = OpenSimPty(*pty);
    } else {
        udp = std::make_unique<ScaleUdpDevice>(engine);
        firstLine = OpenSimUdp(*udp, o.BindAddress, o.Port);
    }
    if (!firstLine)
        return 1;
    const int rc = RunSimUntilStopped(*firstLine, StopSignals, o.ExitOnStdinEof);
    PrintSimError(engine.SummaryLine());
    return rc;
}
