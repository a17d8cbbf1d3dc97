#pragma once

#include <QStringList>

#include <csignal>

// "orvexfm-sim --scale ...": runs the simulated scale until one of StopSignals (already
// blocked by the caller) arrives. Needs the QCoreApplication; returns the exit status.
int RunScaleSimulator(const QStringList& Arguments, const sigset_t& StopSignals);
