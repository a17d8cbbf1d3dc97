#pragma once

#include "fm/report_kinds.h"

#include "link/link_transport.h"

#include <QChar>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <optional>

// A subcommand's voice on standard error: every line starts "orvexfm-cli NAME: ", and a
// usage error points at the subcommand's --help.
class CliCommand {
public:
    CliCommand(const char* Name, int UsageStatus) : m_name(Name), m_usageStatus(UsageStatus) {}

    void Error(const QString& Message) const;
    // Says Message and the --help hint; returns the subcommand's usage exit status.
    int UsageError(const QString& Message) const;

private:
    const char* m_name;
    int m_usageStatus;
};

// Walks a subcommand's arguments: "--name value" and "--name=value" options, value-less
// flags (named when made), "--help" / "-h" and plain arguments.
class ArgumentReader {
public:
    enum class Kind {
        End,
        Help,
        Plain,        // an argument that is no option: Name() holds it
        Option,       // Name() and Value()
        Flag,         // one of the flags, given as it is: Name()
        MissingValue, // an option at the end without its value: Name()
        EndOfOptions, // "--", only when AcceptEndOfOptions() was called
    };

    explicit ArgumentReader(const QStringList& Args, QStringList Flags = {})
        : m_args(Args), m_flags(std::move(Flags)) {}

    // "--" then ends the options (TakeRaw() gives what follows) instead of being an option.
    void AcceptEndOfOptions() { m_endOfOptions = true; }

    Kind Next();
    // The next argument as it stands, whatever it looks like; none at the end.
    std::optional<QString> TakeRaw();

    const QString& Name() const { return m_name; }
    const QString& Value() const { return m_value; }

private:
    const QStringList& m_args;
    QStringList m_flags;
    bool m_endOfOptions = false;
    qsizetype m_next = 0;
    QString m_name;
    QString m_value;
};

// Where the device is: a serial port or a UDP address, never both.
struct DeviceAddress {
    TMode Mode = tmRS232;
    QString Port;
    QString UdpHost;
    int UdpPort = 0;

    bool Given() const { return !Port.isEmpty() || !UdpHost.isEmpty(); }
};

// --port and --udp.
bool IsDeviceOption(const QString& Name);
// Takes --port NAME or --udp HOST into Where; returns the usage error, empty when taken.
QString SetDeviceOption(const QString& Name, const QString& Value, DeviceAddress& Where);
// A UDP port number from Lowest to 65535.
std::optional<int> PortNumberOption(const QString& Value, int Lowest = 1);

// --report NAME: detail, summary, tax, currency, ram (the report kinds' command-line names).
std::optional<ReportKind> ReportKindOption(const QString& Name);
// --machine 0|1|2.
std::optional<int> MachineOption(const QString& Value);

// --range all|z:FROM-TO|date:FROM-TO as the window's query type (0 Z numbers, 1 dates, 2 all)
// and the two texts, not yet judged.
struct RangeOption {
    int QueryType = 2;
    QString From;
    QString To;
};
// SignedFrom: a sign leading FROM is not taken for the separator.
std::optional<RangeOption> SplitRangeOption(const QString& Text, bool SignedFrom);

// The decimal separator of the user's locale (after setlocale), '.' when it has none.
QChar LocaleDecimalSeparator();

// The application object a subcommand's event loop needs, named like the program.
class CliApplication : public QCoreApplication {
public:
    CliApplication();
};
