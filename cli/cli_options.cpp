#include "cli/cli_options.h"

#include <clocale>
#include <cstdio>

void CliCommand::Error(const QString& Message) const {
    std::fprintf(stderr, "orvexfm-cli %s: %s\n", m_name, Message.toLocal8Bit().constData());
    std::fflush(stderr);
}

int CliCommand::UsageError(const QString& Message) const {
    Error(Message);
    std::fprintf(stderr, "try 'orvexfm-cli %s --help'\n", m_name);
    return m_usageStatus;
}

ArgumentReader::Kind ArgumentReader::Next() {
    m_name.clear();
    m_value.clear();
    if (m_next >= m_args.size())
        return Kind::End;
    const QString& arg = m_args[m_next++];
    m_name = arg;
    if (arg == QLatin1String("--help") || arg == QLatin1String("-h"))
        return Kind::Help;
    if (m_endOfOptions && arg == QLatin1String("--"))
        return Kind::EndOfOptions;
    if (!arg.startsWith(QLatin1String("--")))
        return Kind::Plain;
    if (m_flags.contains(arg))
        return Kind::Flag;
    if (const qsizetype eq = arg.indexOf(QLatin1Char('=')); eq >= 0) {
        m_name = arg.left(eq);
        m_value = arg.mid(eq + 1);
        return Kind::Option;
    }
    if (m_next >= m_args.size())
        return Kind::MissingValue;
    m_value = m_args[m_next++];
    return Kind::Option;
}

std::optional<QString> ArgumentReader::TakeRaw() {
    if (m_next >= m_args.size())
        return std::nullopt;
    return m_args[m_next++];
}

bool IsDeviceOption(const QString& Name) {
    return Name == QLatin1String("--port") || Name == QLatin1String("--udp");
}

QString SetDeviceOption(const QString& Name, const QString& Value, DeviceAddress& Where) {
    const bool port = Name == QLatin1String("--port");
    if (!(port ? Where.UdpHost : Where.Port).isEmpty())
        return QStringLiteral("--port and --udp exclude each other");
    (port ? Where.Port : Where.UdpHost) = Value;
    Where.Mode = port ? tmRS232 : tmTCPIP;
    return {};
}

std::optional<int> PortNumberOption(const QString& Value, int Lowest) {
    bool ok = false;
    const int port = Value.toInt(&ok);
    if (!ok || port < Lowest || port > 65535)
        return std::nullopt;
    return port;
}

std::optional<ReportKind> ReportKindOption(const QString& Name) {
    return ReportKindByCliName(Name);
}

std::optional<int> MachineOption(const QString& Value) {
    if (Value != QLatin1String("0") && Value != QLatin1String("1") && Value != QLatin1String("2"))
        return std::nullopt;
    return Value.toInt();
}

std::optional<RangeOption> SplitRangeOption(const QString& Text, bool SignedFrom) {
    RangeOption range;
    if (Text == QLatin1String("all"))
        return range;
    QString body;
    if (Text.startsWith(QLatin1String("z:"))) {
        range.QueryType = 0;
        body = Text.mid(2);
    } else if (Text.startsWith(QLatin1String("date:"))) {
        range.QueryType = 1;
        body = Text.mid(5);
    } else {
        return std::nullopt;
    }
    const qsizetype dash = body.indexOf(QLatin1Char('-'), SignedFrom ? 1 : 0);
    if (dash < 0)
        return std::nullopt;
    range.From = body.left(dash);
    range.To = body.mid(dash + 1);
    return range;
}

QChar LocaleDecimalSeparator() {
    const char* point = std::localeconv()->decimal_point;
    if (point == nullptr || point[0] == '\0')
        return QLatin1Char('.');
    const QString text = QString::fromLocal8Bit(point);
    return text.isEmpty() ? QLatin1Char('.') : text.front();
}

namespace {
int g_appArgc = 1;
char g_appName[] = "orvexfm-cli";
char* g_appArgv[] = {g_appName, nullptr};
} // namespace

CliApplication::CliApplication() : QCoreApplication(g_appArgc, g_appArgv) {}
