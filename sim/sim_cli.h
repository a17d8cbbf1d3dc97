#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// Command-line pieces the simulator's front ends (fiscal device, scale) share.

// Which line a simulated device serves on.
enum class SimLinkMode { Pty, Udp };

// A whole number from Low to High, decimal or with a 0x prefix (surrounding blanks allowed).
std::optional<int> ParseSimInt(const QString& Text, int Low, int High);
// "3,7,12" into numbers from Low to High, in the order given; empty parts are skipped, but at
// least one number must be there.
std::optional<std::vector<int>> ParseSimIntList(const QString& Text, int Low, int High);

// --pty (the default), --udp, --bind ADDRESS and --port N.
struct SimLinkOptions {
    // PortHelp describes --port with its default.
    explicit SimLinkOptions(const QString& PortHelp);

    // Reads them; returns the error text, empty when they are sound.
    QString Read(const QCommandLineParser& P, SimLinkMode& Mode, QString& BindAddress,
                 int& Port) const;

    QCommandLineOption Pty;
    QCommandLineOption Udp;
    QCommandLineOption Bind;
    QCommandLineOption Port;
};

// Parses Arguments into P and fills the result's HelpText, Error and HelpRequested. False when
// the caller is done: the parser refused the arguments or help was asked for. A request for the
// version counts as one for help whose text is the program's name and version.
template <class Result>
bool ParseSimArguments(QCommandLineParser& P, const QStringList& Arguments, Result& R) {
    R.HelpText = P.helpText();
    if (!P.parse(Arguments)) {
        R.Error = P.errorText();
        return false;
    }
    if (P.isSet(QStringLiteral("help"))) {
        R.HelpRequested = true;
        return false;
    }
    if (P.isSet(QStringLiteral("version"))) {
        R.HelpRequested = true;
        R.HelpText = QCoreApplication::applicationName() + QLatin1Char(' ') +
                     QCoreApplication::applicationVersion() + QLatin1Char('\n');
        return false;
    }
    return true;
}
