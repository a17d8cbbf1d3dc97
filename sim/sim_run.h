#pragma once

#include <QString>

#include <csignal>
#include <cstdio>
#include <optional>

// The run of a simulator front end (fiscal device or scale), the same for both.

// A line on standard error, led by "orvexfm-sim: ".
void PrintSimError(const QString& Text);

// What to do with parsed options: an exit status when the simulator should not run (help
// printed: 0; bad options, said on standard error: 2), nothing when it should.
template <class Result> std::optional<int> SimExitForOptions(const Result& Parsed) {
    if (Parsed.HelpRequested) {
        std::fputs(Parsed.HelpText.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!Parsed.Options) {
        PrintSimError(Parsed.Error);
        return 2;
    }
    return std::nullopt;
}

// Opens a device on its pseudo-terminal: its line "PTY /dev/pts/N", or nothing once the
// reason was said on standard error.
template <class PtyDev> std::optional<QString> OpenSimPty(PtyDev& Device) {
    QString error;
    if (!Device.Open(&error)) {
        PrintSimError(error);
        return std::nullopt;
    }
    return QStringLiteral("PTY %1").arg(Device.SlavePath());
}

// Opens a device on UDP: its line "UDP ADDRESS:PORT" (the port it got when Port is 0), or
// nothing once the reason was said on standard error.
template <class UdpDev>
std::optional<QString> OpenSimUdp(UdpDev& Device, const QString& Address, int Port) {
    QString error;
    if (!Device.Open(Address, static_cast<quint16>(Port), &error)) {
        PrintSimError(error);
        return std::nullopt;
    }
    return QStringLiteral("UDP %1:%2")
        .arg(Device.LocalAddress().toString())
        .arg(Device.LocalPort());
}

// Prints the device's line ("PTY /dev/pts/N", "UDP ADDRESS:PORT") as the first line of
// standard output, then runs the event loop until one of StopSignals (blocked by the caller
// before any thread started) arrives, or, with ExitOnStdinEof, standard input ends. Returns
// the event loop's status.
int RunSimUntilStopped(const QString& FirstLine, const sigset_t& StopSignals, bool ExitOnStdinEof);
