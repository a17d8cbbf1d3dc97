#pragma once

#include "sim/scale_engine.h"
#include "sim/sim_cli.h"

#include <QString>
#include <QStringList>

#include <optional>

// Command line of "orvexfm-sim --scale", parsed without touching any device.
struct ScaleSimOptions {
    using Mode = SimLinkMode;
    Mode LinkMode = Mode::Pty;
    QString BindAddress = QStringLiteral("127.0.0.2");
    int Port = 5001;
    ScaleConfig Scale;
    bool ExitOnStdinEof = false;
    bool Verbose = false;
};

struct ScaleSimOptionsResult {
    std::optional<ScaleSimOptions> Options; // empty on error or when help was asked for
    bool HelpRequested = false;
    QString Error;
    QString HelpText;
};

// Arguments as main receives them, program name first; "--scale" must be among them.
ScaleSimOptionsResult ParseScaleSimOptions(const QStringList& Arguments);
