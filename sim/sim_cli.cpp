#include "sim/sim_cli.h"

std::optional<int> ParseSimInt(const QString& Text, int Low, int High) {
    bool ok = false;
    const int value = Text.trimmed().toInt(&ok, 0);
    if (!ok || value < Low || value > High)
        return std::nullopt;
    return value;
}

std::optional<std::vector<int>> ParseSimIntList(const QString& Text, int Low, int High) {
    std::vector<int> values;
    for (const QString& part : Text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const auto n = ParseSimInt(part, Low, High);
        if (!n)
            return std::nullopt;
        values.push_back(*n);
    }
    if (values.empty())
        return std::nullopt;
    return values;
}

SimLinkOptions::SimLinkOptions(const QString& PortHelp)
    : Pty(QStringLiteral("pty"), QStringLiteral("Serve on a new pseudo-terminal (the default).")),
      Udp(QStringLiteral("udp"), QStringLiteral("Serve on UDP.")),
      Bind(QStringLiteral("bind"), QStringLiteral("UDP address to bind (default 127.0.0.2)."),
           QStringLiteral("address")),
      Port(QStringLiteral("port"), PortHelp, QStringLiteral("port")) {}

QString SimLinkOptions::Read(const QCommandLineParser& P, SimLinkMode& Mode, QString& BindAddress,
                             int& PortNumber) const {
    if (P.isSet(Pty) && P.isSet(Udp))
        return QStringLiteral("--pty and --udp exclude each other");
    Mode = P.isSet(Udp) ? SimLinkMode::Udp : SimLinkMode::Pty;
    if (P.isSet(Bind))
        BindAddress = P.value(Bind);
    if (P.isSet(Port)) {
        const auto v = ParseSimInt(P.value(Port), 0, 65535);
        if (!v)
            return QStringLiteral("--port needs a number from 0 to 65535, not %1")
                .arg(P.value(Port));
        PortNumber = *v;
    }
    return {};
}
