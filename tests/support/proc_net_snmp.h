#pragma once

#include <QString>
#include <QStringList>

// One counter of the "Icmp:" lines of /proc/net/snmp (a line of names, then a line of values);
// -1 when the text has no such counter.
inline long IcmpCounterFromSnmp(const QString& Snmp, const QString& Field) {
    QStringList names;
    for (const QString& line : Snmp.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QStringLiteral("Icmp: ")))
            continue;
        const QStringList parts = line.mid(6).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (names.isEmpty()) {
            names = parts;
            continue;
        }
        const qsizetype index = names.indexOf(Field);
        return index >= 0 && index < parts.size() ? parts[index].toLong() : -1;
    }
    return -1;
}
