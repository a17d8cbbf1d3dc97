#pragma once

#include "sim/command_play.h"
#include "sim/device_engine.h"
#include "sim/sim_cli.h"
#include "sim/sim_content.h"

#include <QString>
#include <QStringList>

#include <optional>

// Command line of orvexfm-sim, parsed without touching any device so it can be tested.
struct SimOptions {
    using Mode = SimLinkMode;
    Mode LinkMode = Mode::Pty;
    QString BindAddress = QStringLiteral("127.0.0.2");
    int Port = 5002;

    QString DetailFile, SummaryFile, HeaderFile, FooterFile, EpromFile;

    GeneratedContentSettings Content; // what the device holds where no file is given
    EngineConfig Engine;
    CommandPlaySettings Commands; // report uploads, device check, dumps, downloads

    bool Pace = false;
    int UdpPaceRate = 115200; // bits per second a paced UDP device sends at
    bool ExitOnStdinEof = false;
    bool Verbose = false;
};

struct SimOptionsResult {
    std::optional<SimOptions> Options; // empty on error or when help was asked for
    bool HelpRequested = false;
    QString Error;
    QString HelpText;
};

// Arguments as main receives them, program name first.
SimOptionsResult ParseSimOptions(const QStringList& Arguments);
